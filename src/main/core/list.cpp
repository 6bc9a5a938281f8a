/*
 * list.cpp - a doubly linked list of untyped elements.
 *
 * The list owns its nodes and nothing else: an element is released only
 * when the caller hands in a release function.  Every function that adds a
 * node allocates it first and links it only once the allocation worked, so
 * a failed allocation returns null and leaves the list exactly as it was.
 */
#include "list.h"

#include <cstdio>
#include <cstdlib>

TOVAREL_BEGIN_DECLS

/* A fresh, unlinked node holding data, or null when memory is exhausted. */
static list_node *node_new(void *data) {
    list_node *node = static_cast<list_node *>(calloc(1, sizeof(list_node)));
    if (node != nullptr) {
        node->data = data;
    }
    return node;
}

/* A node without a neighbour on one side is the end of the list there. */
static void adopt_ends(list *l, list_node *node) {
    if (node->prev == nullptr) {
        l->first = node;
    }
    if (node->next == nullptr) {
        l->last = node;
    }
}

/* Frees every node from first onwards, saving each next pointer before the
 * node goes, so that release may free the element's storage as it likes. */
static void free_nodes(list_node *node, list_data_release release) {
    while (node != nullptr) {
        list_node *next = node->next;
        if (release != nullptr) {
            release(node->data);
        }
        free(node);
        node = next;
    }
}

list *list_create(void) {
    return static_cast<list *>(calloc(1, sizeof(list)));
}

/* Empties the list but keeps the record, ready for reuse. */
void list_clear(list *l, list_data_release release) {
    if (l == nullptr) {
        return;
    }
    free_nodes(l->first, release);
    l->first = nullptr;
    l->last = nullptr;
}

void list_free(list *l, list_data_release release) {
    if (l == nullptr) {
        return;
    }
    free_nodes(l->first, release);
    free(l);
}

/* Frees a list whose elements are lists, each with its own elements.  A null
 * element owns nothing, so it is passed over (list_free accepts null). */
void list_of_lists_free(list *lists, list_data_release release) {
    if (lists == nullptr) {
        return;
    }
    for (list_node *node = lists->first; node != nullptr; node = node->next) {
        list_free(static_cast<list *>(node->data), release);
    }
    list_free(lists, nullptr);
}

/* Copies the list node by node.  The node is allocated before the copier
 * runs, so a copy is never made for a node that cannot be stored.  If a node
 * cannot be allocated the partial copy's nodes and record are freed and null
 * returned; elements already copied cannot be released without a release
 * function, so they stay the copier's business. */
list *list_dup(const list *l, list_data_copier copier) {
    if (l == nullptr) {
        return nullptr;
    }
    list *copy = list_create();
    if (copy == nullptr) {
        return nullptr;
    }
    for (const list_node *node = l->first; node != nullptr; node = node->next) {
        list_node *added = list_append_last(copy, node->data);
        if (added == nullptr) {
            list_free(copy, nullptr);
            return nullptr;
        }
        if (copier != nullptr) {
            added->data = copier(node->data);
        }
    }
    return copy;
}

/* Appends shallow copies of the source's nodes.  The whole copy is built
 * before it is spliced on, so a failed allocation leaves the target as it
 * was, and a list may be appended to itself. */
void list_append_list(list *target, const list *source) {
    if (target == nullptr || source == nullptr) {
        return;
    }
    list *copy = list_dup(source, nullptr);
    if (copy == nullptr) {
        return;
    }
    if (copy->first != nullptr) {
        if (target->last == nullptr) {
            target->first = copy->first;
        } else {
            target->last->next = copy->first;
            copy->first->prev = target->last;
        }
        target->last = copy->last;
    }
    free(copy);
}

/* Links a new node so that `before` follows it.  Without `before` nothing
 * follows the new node, so it goes after the current last node; on an empty
 * list that makes it the only node. */
list_node *list_insert(list *l, list_node *before, void *data) {
    if (l == nullptr) {
        return nullptr;
    }
    list_node *node = node_new(data);
    if (node == nullptr) {
        return nullptr;
    }
    if (before != nullptr) {
        node->prev = before->prev;
        node->next = before;
        if (before->prev != nullptr) {
            before->prev->next = node;
        }
        before->prev = node;
    } else if (l->last != nullptr) {
        node->prev = l->last;
        l->last->next = node;
    }
    adopt_ends(l, node);
    return node;
}

/* Mirror of list_insert: without `after` nothing precedes the new node, so
 * it goes before the current first node. */
list_node *list_append(list *l, list_node *after, void *data) {
    if (l == nullptr) {
        return nullptr;
    }
    list_node *node = node_new(data);
    if (node == nullptr) {
        return nullptr;
    }
    if (after != nullptr) {
        node->prev = after;
        node->next = after->next;
        if (after->next != nullptr) {
            after->next->prev = node;
        }
        after->next = node;
    } else if (l->first != nullptr) {
        node->next = l->first;
        l->first->prev = node;
    }
    adopt_ends(l, node);
    return node;
}

list_node *list_insert_first(list *l, void *data) {
    if (l == nullptr) {
        return nullptr;
    }
    return list_insert(l, l->first, data);
}

list_node *list_append_last(list *l, void *data) {
    if (l == nullptr) {
        return nullptr;
    }
    return list_append(l, l->last, data);
}

/* The list keeps no count, so the size is a walk.  The count saturates at
 * INT32_MAX rather than overflow on a list too long for the result type. */
int32_t list_get_size(const list *l) {
    if (l == nullptr) {
        return -1;
    }
    int32_t size = 0;
    for (const list_node *node = l->first; node != nullptr && size < INT32_MAX; node = node->next) {
        size++;
    }
    return size;
}

void *list_get_data_first(const list *l) {
    if (l == nullptr || l->first == nullptr) {
        return nullptr;
    }
    return l->first->data;
}

void *list_get_data_last(const list *l) {
    if (l == nullptr || l->last == nullptr) {
        return nullptr;
    }
    return l->last->data;
}

/* Walks index steps from the front; any index of 0 or less is the front. */
list_node *list_get_node_indexed(const list *l, int32_t index) {
    if (l == nullptr) {
        return nullptr;
    }
    list_node *node = l->first;
    for (int32_t i = 0; i < index && node != nullptr; i++) {
        node = node->next;
    }
    return node;
}

void *list_get_data_indexed(const list *l, int32_t index) {
    list_node *node = list_get_node_indexed(l, index);
    return node != nullptr ? node->data : nullptr;
}

/* Two lists are equal when they have the same count (a null list counts -1)
 * and the comparator accepts every pair at the same position.  Both lists
 * are walked side by side: the same comparisons, in the same order, as
 * fetching each position afresh, in linear rather than quadratic time. */
int list_cmp(const list *a, const list *b, list_data_comparator comparator) {
    if (comparator == nullptr || list_get_size(a) != list_get_size(b)) {
        return 0;
    }
    if (a == nullptr) {
        return 1;
    }
    const list_node *x = a->first;
    const list_node *y = b->first;
    for (; x != nullptr && y != nullptr; x = x->next, y = y->next) {
        if (!comparator(x->data, y->data)) {
            return 0;
        }
    }
    return 1;
}

/* Prints every element as a C string, each followed by a space, then a line
 * feed.  A null element prints as "(null)" rather than reach printf. */
void list_debug(const list *l) {
    if (l == nullptr) {
        return;
    }
    for (const list_node *node = l->first; node != nullptr; node = node->next) {
        const char *text = static_cast<const char *>(node->data);
        printf("%s ", text != nullptr ? text : "(null)");
    }
    putchar('\n');
}

/* Replaces an element in place.  Unlike the node readers, a negative index
 * is no alias for the front here: it changes nothing. */
void list_set_data_indexed(list *l, int32_t index, void *data, list_data_release release) {
    if (index < 0) {
        return;
    }
    list_node *node = list_get_node_indexed(l, index);
    if (node == nullptr) {
        return;
    }
    if (node->data != nullptr && release != nullptr) {
        release(node->data);
    }
    node->data = data;
}

/* Unlinks a node the caller vouches belongs to this list, then frees it. */
void list_remove(list *l, list_node *node, list_data_release release) {
    if (l == nullptr || node == nullptr) {
        return;
    }
    if (node->prev != nullptr) {
        node->prev->next = node->next;
    } else {
        l->first = node->next;
    }
    if (node->next != nullptr) {
        node->next->prev = node->prev;
    } else {
        l->last = node->prev;
    }
    if (release != nullptr) {
        release(node->data);
    }
    free(node);
}

void list_remove_data_indexed(list *l, int32_t index, list_data_release release) {
    list_remove(l, list_get_node_indexed(l, index), release);
}

TOVAREL_END_DECLS
