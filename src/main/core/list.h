/*
 * list.h - a doubly linked list of untyped elements.
 *
 * The list owns its nodes (calloc'd, freed with free); it never owns the
 * elements, which are released only where a release function is passed.
 * There is no count field: sizes and positions are found by walking from
 * the front.
 */
#ifndef TOVAREL_LIST_H
#define TOVAREL_LIST_H

#include <stdbool.h>
#include <stdint.h>

#include "export.h"

TOVAREL_BEGIN_DECLS

typedef struct list_node {
    struct list_node *prev; /* null for the first node */
    struct list_node *next; /* null for the last node */
    void *data;             /* the element; may be null */
} list_node;

typedef struct list {
    list_node *first; /* null when empty */
    list_node *last;  /* null when empty */
} list;

typedef void (*list_data_release)(void *data);
typedef void *(*list_data_copier)(void *data);
typedef bool (*list_data_comparator)(void *first_list_data, void *second_list_data);

TOVAREL_API list *list_create(void);
TOVAREL_API void list_clear(list *l, list_data_release release);
TOVAREL_API void list_free(list *l, list_data_release release);
TOVAREL_API void list_of_lists_free(list *lists, list_data_release release);
TOVAREL_API list *list_dup(const list *l, list_data_copier copier);
TOVAREL_API void list_append_list(list *target, const list *source);

TOVAREL_API list_node *list_insert(list *l, list_node *before, void *data);
TOVAREL_API list_node *list_append(list *l, list_node *after, void *data);
TOVAREL_API list_node *list_insert_first(list *l, void *data);
TOVAREL_API list_node *list_append_last(list *l, void *data);

TOVAREL_API int32_t list_get_size(const list *l);
TOVAREL_API void *list_get_data_first(const list *l);
TOVAREL_API void *list_get_data_last(const list *l);
TOVAREL_API list_node *list_get_node_indexed(const list *l, int32_t index);
TOVAREL_API void *list_get_data_indexed(const list *l, int32_t index);
TOVAREL_API int list_cmp(const list *a, const list *b, list_data_comparator comparator);
TOVAREL_API void list_debug(const list *l);

TOVAREL_API void list_set_data_indexed(list *l, int32_t index, void *data,
                                       list_data_release release);
TOVAREL_API void list_remove(list *l, list_node *node, list_data_release release);
TOVAREL_API void list_remove_data_indexed(list *l, int32_t index, list_data_release release);

TOVAREL_END_DECLS

#endif /* TOVAREL_LIST_H */
