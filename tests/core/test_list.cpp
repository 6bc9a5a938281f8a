#include "list.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

/* Elements are small integers stored in the data pointer itself. */
void *item(intptr_t value) {
    return reinterpret_cast<void *>(value);
}
intptr_t value_of(void *data) {
    return reinterpret_cast<intptr_t>(data);
}

/* Checks every structural invariant and returns the elements front to back.
 * A failure names the broken invariant. */
std::vector<intptr_t> walk_checked(const list *l) {
    std::vector<intptr_t> forward;
    EXPECT_EQ(l->first == nullptr, l->last == nullptr) << "first and last disagree on emptiness";
    if (l->first != nullptr) {
        EXPECT_EQ(l->first->prev, nullptr) << "first node has a predecessor";
        EXPECT_EQ(l->last->next, nullptr) << "last node has a successor";
    }
    const list_node *previous = nullptr;
    for (const list_node *node = l->first; node != nullptr; node = node->next) {
        EXPECT_EQ(node->prev, previous) << "prev does not point back";
        forward.push_back(value_of(node->data));
        previous = node;
    }
    EXPECT_EQ(previous, l->last) << "forward walk does not end at last";
    std::vector<intptr_t> backward;
    for (const list_node *node = l->last; node != nullptr; node = node->prev) {
        backward.insert(backward.begin(), value_of(node->data));
    }
    EXPECT_EQ(forward, backward) << "forward and backward walks differ";
    EXPECT_EQ(list_get_size(l), static_cast<int32_t>(forward.size()));
    return forward;
}

list *make_list(const std::vector<intptr_t> &values) {
    list *l = list_create();
    for (intptr_t v : values) {
        EXPECT_NE(list_append_last(l, item(v)), nullptr);
    }
    return l;
}

/* A release function that records what it was given. */
std::vector<intptr_t> released;
void record_release(void *data) {
    released.push_back(value_of(data));
}

bool equal_items(void *a, void *b) {
    return a == b;
}

TEST(List, NullListsAndEmptyLists) {
    EXPECT_EQ(list_get_size(nullptr), -1);
    EXPECT_EQ(list_get_data_first(nullptr), nullptr);
    EXPECT_EQ(list_get_data_last(nullptr), nullptr);
    EXPECT_EQ(list_get_node_indexed(nullptr, 0), nullptr);
    EXPECT_EQ(list_get_data_indexed(nullptr, 0), nullptr);
    EXPECT_EQ(list_insert_first(nullptr, item(1)), nullptr);
    EXPECT_EQ(list_append_last(nullptr, item(1)), nullptr);
    EXPECT_EQ(list_insert(nullptr, nullptr, item(1)), nullptr);
    EXPECT_EQ(list_append(nullptr, nullptr, item(1)), nullptr);
    EXPECT_EQ(list_dup(nullptr, nullptr), nullptr);
    list_set_data_indexed(nullptr, 0, item(1), record_release);
    list_remove(nullptr, nullptr, record_release);
    list_remove_data_indexed(nullptr, 0, record_release);
    list_clear(nullptr, record_release);
    list_free(nullptr, record_release);
    list_of_lists_free(nullptr, record_release);
    list_append_list(nullptr, nullptr);

    list *l = list_create();
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(list_get_size(l), 0);
    EXPECT_EQ(list_get_data_first(l), nullptr);
    EXPECT_EQ(list_get_data_last(l), nullptr);
    EXPECT_EQ(list_get_node_indexed(l, 0), nullptr);
    list_append_list(l, nullptr);
    list_append_list(nullptr, l);
    list_remove_data_indexed(l, 0, record_release);
    EXPECT_TRUE(walk_checked(l).empty());
    list_free(l, nullptr);
}

TEST(List, InsertFirstThenAppendLast) {
    list *l = list_create();
    list_node *a = list_insert_first(l, item(10));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(l->first, a);
    EXPECT_EQ(l->last, a);
    list_node *b = list_append_last(l, item(20));
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(list_get_data_indexed(l, 0), item(10));
    EXPECT_EQ(list_get_data_indexed(l, 1), item(20));
    EXPECT_EQ(list_get_data_first(l), item(10));
    EXPECT_EQ(list_get_data_last(l), item(20));
    list_insert_first(l, item(5));
    EXPECT_EQ(walk_checked(l), (std::vector<intptr_t>{5, 10, 20}));
    list_free(l, nullptr);
}

TEST(List, InsertAndAppendAroundAGivenNode) {
    struct Case {
        const char *name;
        bool insert;  /* list_insert (before) or list_append (after) */
        int position; /* index of the reference node in {1, 2, 3}, -1 for none */
        std::vector<intptr_t> expected;
    };
    const Case cases[] = {
        {"before first", true, 0, {9, 1, 2, 3}},
        {"before middle", true, 1, {1, 9, 2, 3}},
        {"before last", true, 2, {1, 2, 9, 3}},
        {"after first", false, 0, {1, 9, 2, 3}},
        {"after middle", false, 1, {1, 2, 9, 3}},
        {"after last", false, 2, {1, 2, 3, 9}},
        /* Without a reference node the new node has no neighbour on the
         * named side, so it joins the list at the other end rather than
         * orphan the nodes already there. */
        {"insert before nothing", true, -1, {1, 2, 3, 9}},
        {"append after nothing", false, -1, {9, 1, 2, 3}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        list *l = make_list({1, 2, 3});
        list_node *reference = c.position < 0 ? nullptr : list_get_node_indexed(l, c.position);
        list_node *added =
            c.insert ? list_insert(l, reference, item(9)) : list_append(l, reference, item(9));
        ASSERT_NE(added, nullptr);
        EXPECT_EQ(added->data, item(9));
        EXPECT_EQ(walk_checked(l), c.expected);
        list_free(l, nullptr);
    }
}

TEST(List, IndexedReads) {
    struct Case {
        int32_t index;
        bool found;
        intptr_t expected;
    };
    const Case cases[] = {
        {INT32_MIN, true, 1}, {-5, true, 1}, {0, true, 1},  {1, true, 2},
        {2, true, 3},         {3, false, 0}, {4, false, 0}, {INT32_MAX, false, 0},
    };
    list *l = make_list({1, 2, 3});
    for (const Case &c : cases) {
        SCOPED_TRACE(c.index);
        list_node *node = list_get_node_indexed(l, c.index);
        EXPECT_EQ(node != nullptr, c.found);
        EXPECT_EQ(list_get_data_indexed(l, c.index), c.found ? item(c.expected) : nullptr);
        if (node != nullptr) {
            EXPECT_EQ(node->data, item(c.expected));
        }
    }
    list_free(l, nullptr);
}

TEST(List, SetDataIndexed) {
    struct Case {
        const char *name;
        int32_t index;
        std::vector<intptr_t> start;
        std::vector<intptr_t> expected;
        std::vector<intptr_t> released;
    };
    const Case cases[] = {
        {"first", 0, {1, 2, 3}, {9, 2, 3}, {1}},
        {"last", 2, {1, 2, 3}, {1, 2, 9}, {3}},
        {"at size", 3, {1, 2, 3}, {1, 2, 3}, {}},
        {"past size", 7, {1, 2, 3}, {1, 2, 3}, {}},
        {"negative", -1, {1, 2, 3}, {1, 2, 3}, {}},
        {"null element is not released", 1, {1, 0, 3}, {1, 9, 3}, {}},
        {"empty list", 0, {}, {}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        list *l = make_list(c.start);
        released.clear();
        list_set_data_indexed(l, c.index, item(9), record_release);
        EXPECT_EQ(walk_checked(l), c.expected);
        EXPECT_EQ(released, c.released);
        list_free(l, nullptr);
    }
    /* Without a release function the element is replaced all the same. */
    list *l = make_list({1, 2});
    released.clear();
    list_set_data_indexed(l, 1, item(9), nullptr);
    EXPECT_EQ(walk_checked(l), (std::vector<intptr_t>{1, 9}));
    EXPECT_TRUE(released.empty());
    list_free(l, nullptr);
}

TEST(List, RemoveDataIndexed) {
    struct Case {
        int32_t index;
        std::vector<intptr_t> expected;
        std::vector<intptr_t> released;
    };
    const Case cases[] = {
        {-3, {2, 3}, {1}}, {0, {2, 3}, {1}}, {1, {1, 3}, {2}}, {2, {1, 2}, {3}}, {3, {1, 2, 3}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.index);
        list *l = make_list({1, 2, 3});
        released.clear();
        list_remove_data_indexed(l, c.index, record_release);
        EXPECT_EQ(walk_checked(l), c.expected);
        EXPECT_EQ(released, c.released);
        list_free(l, nullptr);
    }
}

TEST(List, RemovingTheOnlyNodeEmptiesTheList) {
    list *l = make_list({7});
    list_remove(l, l->first, nullptr);
    EXPECT_EQ(l->first, nullptr);
    EXPECT_EQ(l->last, nullptr);
    list_remove(l, nullptr, nullptr);
    EXPECT_EQ(list_get_size(l), 0);
    list_free(l, nullptr);
}

TEST(List, AppendList) {
    struct Case {
        std::vector<intptr_t> target;
        std::vector<intptr_t> source;
        std::vector<intptr_t> expected;
    };
    const Case cases[] = {
        {{1, 2, 3}, {4, 5}, {1, 2, 3, 4, 5}},
        {{1, 2, 3}, {}, {1, 2, 3}},
        {{}, {4, 5}, {4, 5}},
        {{}, {}, {}},
        {{1}, {2}, {1, 2}},
    };
    for (const Case &c : cases) {
        list *target = make_list(c.target);
        list *source = make_list(c.source);
        list_node *first_before = target->first;
        list_append_list(target, source);
        EXPECT_EQ(walk_checked(target), c.expected);
        EXPECT_EQ(walk_checked(source), c.source) << "source changed";
        if (c.source.empty()) {
            EXPECT_EQ(target->first, first_before);
        }
        /* The appended nodes are copies: freeing the source leaves the
         * target intact. */
        list_free(source, nullptr);
        EXPECT_EQ(walk_checked(target), c.expected);
        list_free(target, nullptr);
    }
}

TEST(List, AppendListToItselfDoublesIt) {
    list *l = make_list({1, 2});
    list_append_list(l, l);
    EXPECT_EQ(walk_checked(l), (std::vector<intptr_t>{1, 2, 1, 2}));
    list_free(l, nullptr);
}

TEST(List, Compare) {
    struct Case {
        const char *name;
        bool a_null;
        std::vector<intptr_t> a;
        bool b_null;
        std::vector<intptr_t> b;
        bool with_comparator;
        int expected;
    };
    const Case cases[] = {
        {"two nulls", true, {}, true, {}, true, 1},
        {"two empties", false, {}, false, {}, true, 1},
        {"null and empty", true, {}, false, {}, true, 0},
        {"empty and null", false, {}, true, {}, true, 0},
        {"identical", false, {1, 2, 3}, false, {1, 2, 3}, true, 1},
        {"identical, no comparator", false, {1, 2, 3}, false, {1, 2, 3}, false, 0},
        {"two nulls, no comparator", true, {}, true, {}, false, 0},
        {"last element differs", false, {1, 2, 3}, false, {1, 2, 4}, true, 0},
        {"first element differs", false, {0, 2, 3}, false, {1, 2, 3}, true, 0},
        {"prefix", false, {1, 2}, false, {1, 2, 3}, true, 0},
        {"longer", false, {1, 2, 3}, false, {1, 2}, true, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        list *a = c.a_null ? nullptr : make_list(c.a);
        list *b = c.b_null ? nullptr : make_list(c.b);
        EXPECT_EQ(list_cmp(a, b, c.with_comparator ? equal_items : nullptr), c.expected);
        list_free(a, nullptr);
        list_free(b, nullptr);
    }
}

std::vector<intptr_t> compared;
bool record_compare(void *a, void *b) {
    compared.push_back(value_of(a));
    compared.push_back(value_of(b));
    return value_of(a) + 10 == value_of(b);
}

TEST(List, CompareCallsTheComparatorInOrderAndStopsAtTheFirstMismatch) {
    list *a = make_list({1, 2, 3, 4});
    list *b = make_list({11, 12, 99, 14});
    compared.clear();
    EXPECT_EQ(list_cmp(a, b, record_compare), 0);
    EXPECT_EQ(compared, (std::vector<intptr_t>{1, 11, 2, 12, 3, 99}));
    list_free(a, nullptr);
    list_free(b, nullptr);
}

std::vector<intptr_t> copied;
void *record_copy(void *data) {
    copied.push_back(value_of(data));
    return item(value_of(data) * 100);
}

TEST(List, DupCopiesInOrder) {
    list *l = make_list({1, 2, 3});
    copied.clear();
    list *with_copier = list_dup(l, record_copy);
    EXPECT_EQ(copied, (std::vector<intptr_t>{1, 2, 3}));
    EXPECT_EQ(walk_checked(with_copier), (std::vector<intptr_t>{100, 200, 300}));
    list *shallow = list_dup(l, nullptr);
    EXPECT_EQ(walk_checked(shallow), (std::vector<intptr_t>{1, 2, 3}));
    EXPECT_NE(shallow->first, l->first);
    list *empty = list_create();
    list *empty_copy = list_dup(empty, record_copy);
    ASSERT_NE(empty_copy, nullptr);
    EXPECT_TRUE(walk_checked(empty_copy).empty());
    for (list *x : {l, with_copier, shallow, empty, empty_copy}) {
        list_free(x, nullptr);
    }
}

/* Release functions that free the element's storage: the leak checker and
 * the address checker catch a node freed before its next pointer is read or
 * an element released twice or not at all. */
void free_text(void *data) {
    free(data);
}
void *text(const char *s) {
    return strdup(s);
}

TEST(List, ClearAndFreeReleaseEveryElementOnce) {
    list *l = list_create();
    for (const char *s : {"a", "b", "c"}) {
        list_append_last(l, text(s));
    }
    list_clear(l, free_text);
    EXPECT_EQ(l->first, nullptr);
    EXPECT_EQ(l->last, nullptr);
    list_append_last(l, text("d"));
    EXPECT_EQ(list_get_size(l), 1);
    list_free(l, free_text);

    released.clear();
    list *order = make_list({1, 0, 3});
    list_free(order, record_release);
    EXPECT_EQ(released, (std::vector<intptr_t>{1, 0, 3}));
}

TEST(List, ListOfListsFree) {
    list *outer = list_create();
    list *inner_a = list_create();
    list_append_last(inner_a, text("x"));
    list_append_last(inner_a, text("y"));
    list *inner_b = list_create();
    list_append_last(outer, inner_a);
    list_append_last(outer, nullptr); /* passed over */
    list_append_last(outer, inner_b);
    list_of_lists_free(outer, free_text);

    /* Without a release function the elements survive their lists. */
    char *kept = static_cast<char *>(text("kept"));
    list *outer2 = list_create();
    list *inner = list_create();
    list_append_last(inner, kept);
    list_append_last(outer2, inner);
    list_of_lists_free(outer2, nullptr);
    EXPECT_STREQ(kept, "kept");
    free(kept);
}

std::string debug_output(const list *l) {
    testing::internal::CaptureStdout();
    list_debug(l);
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(List, DebugPrintsEachElementFollowedByASpace) {
    EXPECT_EQ(debug_output(nullptr), "");
    list *l = list_create();
    EXPECT_EQ(debug_output(l), "\n");
    list_append_last(l, const_cast<char *>("alpha"));
    EXPECT_EQ(debug_output(l), "alpha \n");
    list_append_last(l, const_cast<char *>(""));
    list_append_last(l, const_cast<char *>("b c"));
    EXPECT_EQ(debug_output(l), "alpha  b c \n");
    list_append_last(l, nullptr);
    EXPECT_EQ(debug_output(l), "alpha  b c (null) \n");
    list_free(l, nullptr);
}

/* Random operations against a plain vector model; after every step the
 * list must hold the model's elements and satisfy every invariant. */
TEST(List, RandomOperationsKeepTheInvariants) {
    std::mt19937 rng(20261208);
    list *l = list_create();
    std::vector<intptr_t> model;
    intptr_t next_value = 1;
    for (int step = 0; step < 4000; step++) {
        const int size = static_cast<int>(model.size());
        const int at = size == 0 ? 0 : static_cast<int>(rng() % static_cast<unsigned>(size));
        const intptr_t v = next_value++;
        SCOPED_TRACE(step);
        switch (rng() % 9) {
        case 0:
            list_insert_first(l, item(v));
            model.insert(model.begin(), v);
            break;
        case 1:
            list_append_last(l, item(v));
            model.push_back(v);
            break;
        case 2:
            if (size > 0) {
                list_insert(l, list_get_node_indexed(l, at), item(v));
                model.insert(model.begin() + at, v);
            }
            break;
        case 3:
            if (size > 0) {
                list_append(l, list_get_node_indexed(l, at), item(v));
                model.insert(model.begin() + at + 1, v);
            }
            break;
        case 4:
        case 5:
            if (size > 0) {
                list_remove_data_indexed(l, at, nullptr);
                model.erase(model.begin() + at);
            }
            break;
        case 6:
            if (size > 0) {
                list_set_data_indexed(l, at, item(v), nullptr);
                model[static_cast<size_t>(at)] = v;
            }
            break;
        case 7:
            if (size < 40) {
                list *copy = list_dup(l, nullptr);
                list_append_list(l, copy);
                list_free(copy, nullptr);
                std::vector<intptr_t> twice = model;
                model.insert(model.end(), twice.begin(), twice.end());
            }
            break;
        default:
            if (rng() % 8 == 0) {
                list_clear(l, nullptr);
                model.clear();
            }
            break;
        }
        ASSERT_EQ(walk_checked(l), model);
        if (!model.empty()) {
            ASSERT_EQ(list_get_data_first(l), item(model.front()));
            ASSERT_EQ(list_get_data_last(l), item(model.back()));
        }
    }
    list_free(l, nullptr);
}

} // namespace
