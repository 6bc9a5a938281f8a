/*
 * Allocation failures in the toolkit: the test allocator itself, the
 * linked list and the buffer with its encodings.  After each failed
 * allocation the record must still be valid (a list whose links agree in
 * both directions, a buffer whose length fits its capacity) and hold
 * either what a clean run holds at that point or what it held before the
 * step that failed.
 */
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "buf.h"
#include "buf_encoding.h"
#include "failing_allocator.h"
#include "list.h"

using failing_allocator::armed;
using failing_allocator::exhaust;
using failing_allocator::failure;
using failing_allocator::paused;

namespace {

using bytes = std::vector<uint8_t>;

TEST(FailingAllocator, FailsTheChosenAllocationAloneOrWithAllAfterIt) {
    const struct {
        bool persistent;
        bool want[4]; /* which of malloc, calloc, realloc, malloc succeed */
    } cases[] = {{false, {true, false, true, true}}, {true, {true, false, false, false}}};
    for (const auto &c : cases) {
        failing_allocator_arm(2, c.persistent);
        void *blocks[4] = {malloc(8), calloc(2, 8), realloc(nullptr, 8), malloc(1)};
        EXPECT_EQ(failing_allocator_disarm(), 4u);
        EXPECT_TRUE(failing_allocator_fired());
        for (int i = 0; i < 4; i++) {
            EXPECT_EQ(blocks[i] != nullptr, c.want[i]) << i;
            free(blocks[i]);
        }
    }
}

/* GoogleTest and the checks allocate through operator new, which must not
 * be counted, or every scenario would fail inside the test instead. */
TEST(FailingAllocator, OperatorNewAndPausedCallsAreNotCounted) {
    failing_allocator_arm(1, true);
    auto numbers = std::make_unique<std::vector<int>>(1000, 7);
    std::string text(5000, 'x');
    void *block;
    {
        paused guard;
        block = malloc(16);
    }
    EXPECT_EQ(failing_allocator_disarm(), 0u);
    EXPECT_FALSE(failing_allocator_fired());
    EXPECT_NE(block, nullptr);
    free(block);
}

/* Walks the list both ways: the links must agree, and the elements, read
 * front to back, are returned. */
std::vector<intptr_t> elements_checked(const list *l) {
    std::vector<intptr_t> forward;
    const list_node *previous = nullptr;
    for (const list_node *node = l->first; node != nullptr; node = node->next) {
        EXPECT_EQ(node->prev, previous);
        forward.push_back(reinterpret_cast<intptr_t>(node->data));
        previous = node;
    }
    EXPECT_EQ(l->last, previous);
    EXPECT_EQ(list_get_size(l), static_cast<int32_t>(forward.size()));
    return forward;
}

void *element(intptr_t value) {
    return reinterpret_cast<void *>(value);
}

TEST(AllocToolkit, ListKeepsEveryElementThatWasAddedAndNothingElse) {
    uint64_t allocations = exhaust([&](const failure &f) {
        failing_allocator_arm(f.nth, f.persistent);
        list *l = list_create();
        std::vector<intptr_t> want; /* what the successful calls added */
        list *copy = nullptr;
        if (l != nullptr) {
            for (intptr_t i = 1; i <= 6; i++) {
                bool added = (i % 2 ? list_append_last(l, element(i))
                                    : list_insert_first(l, element(i))) != nullptr;
                paused guard;
                if (added) {
                    want.insert(i % 2 ? want.end() : want.begin(), i);
                }
            }
            list_node *second = list_get_node_indexed(l, 1);
            bool added = second != nullptr && list_insert(l, second, element(100)) != nullptr;
            if (added) {
                paused guard;
                want.insert(want.begin() + 1, 100);
            }
            copy = list_dup(l, nullptr);
            list source{nullptr, nullptr};
            list_append_list(l, &source);
        }
        failing_allocator_disarm();

        if (l == nullptr) {
            EXPECT_TRUE(failing_allocator_fired());
            return;
        }
        EXPECT_EQ(elements_checked(l), want);
        if (!failing_allocator_fired()) {
            EXPECT_EQ(want.size(), 7u);
            EXPECT_NE(copy, nullptr);
        }
        if (copy != nullptr) {
            EXPECT_EQ(elements_checked(copy), want);
        }
        list_free(copy, nullptr);
        list_free(l, nullptr);
    });
    EXPECT_GE(allocations, 1u + 7u + 1u + 7u); /* record, nodes, the copy's record and nodes */
}

TEST(AllocToolkit, AppendingAListToItselfFailsWhole) {
    list *l = list_create();
    ASSERT_NE(l, nullptr);
    for (intptr_t i = 1; i <= 4; i++) {
        ASSERT_NE(list_append_last(l, element(i)), nullptr);
    }
    const std::vector<intptr_t> before = elements_checked(l);
    exhaust([&](const failure &f) {
        list *target = list_dup(l, nullptr);
        ASSERT_NE(target, nullptr);
        armed(f, [&] {
            list_append_list(target, target);
            return 0;
        });
        std::vector<intptr_t> got = elements_checked(target);
        std::vector<intptr_t> doubled = before;
        doubled.insert(doubled.end(), before.begin(), before.end());
        EXPECT_TRUE(got == doubled || (failing_allocator_fired() && got == before));
        list_free(target, nullptr);
    });
    list_free(l, nullptr);
}

bytes contents(const buf *b) {
    return b->len == 0 ? bytes{} : bytes(b->data, b->data + b->len);
}

void expect_valid(const buf *b) {
    EXPECT_LE(b->len, b->capacity);
    EXPECT_TRUE(b->len == 0 || b->data != nullptr);
}

void write_element(buf *buffer, void *data) {
    buf_write_uint32_enc(buffer, static_cast<uint32_t>(reinterpret_cast<intptr_t>(data)));
}

const std::string long_text(300, 'z');

/* One step of every writer; a failed step must leave the buffer as it was
 * before the step, or, for the writers made of several appends, with a
 * prefix of the step's bytes. */
struct buffer_step {
    const char *name;
    void (*write)(buf *buffer, const list *l);
    bool whole; /* all or nothing */
};

const buffer_step buffer_steps[] = {
    {"bytes", [](buf *b, const list *) { buf_write_bytes(b, "0123456789", 10); }, true},
    {"byte", [](buf *b, const list *) { buf_write_byte(b, 0xAB); }, true},
    {"varint32", [](buf *b, const list *) { buf_write_uint32_enc(b, 4294967295U); }, true},
    {"varint64", [](buf *b, const list *) { buf_write_uint64_enc(b, UINT64_MAX); }, true},
    {"string", [](buf *b, const list *) { buf_write_string_enc(b, long_text.c_str()); }, true},
    {"bool", [](buf *b, const list *) { buf_write_bool(b, true); }, true},
    {"float", [](buf *b, const list *) { buf_write_float(b, 1.0f); }, true},
    {"list", [](buf *b, const list *l) { buf_write_list(b, l, write_element); }, false},
    {"sprintf", [](buf *b, const list *) { (void)buf_sprintf(b, "%d-%s", 42, long_text.c_str()); },
     true},
    {"discard", [](buf *b, const list *) { buf_discard_front(b, 3); }, true},
};

TEST(AllocToolkit, BufferWritersLeaveTheRecordValidAndTheirBytesWholeOrAbsent) {
    list *numbers = list_create();
    ASSERT_NE(numbers, nullptr);
    for (intptr_t i = 0; i < 5; i++) {
        ASSERT_NE(list_append_last(numbers, element(i * 1000)), nullptr);
    }
    /* The buffer after each step of a clean run. */
    std::vector<bytes> clean;
    buf *reference = buf_create();
    ASSERT_NE(reference, nullptr);
    for (const buffer_step &step : buffer_steps) {
        step.write(reference, numbers);
        clean.push_back(contents(reference));
    }
    buf_free(reference);

    exhaust([&](const failure &f) {
        failing_allocator_arm(f.nth, f.persistent);
        buf *b = buf_create();
        if (b != nullptr) {
            bytes before;
            for (size_t i = 0; i < std::size(buffer_steps); i++) {
                buffer_steps[i].write(b, numbers);
                paused guard;
                SCOPED_TRACE(buffer_steps[i].name);
                expect_valid(b);
                bytes now = contents(b);
                if (now != clean[i]) {
                    /* The step failed: the buffer is as before it, or holds
                     * part of the step's bytes; either way the run stops. */
                    EXPECT_TRUE(failing_allocator_fired());
                    bool partial = !buffer_steps[i].whole && now.size() > before.size() &&
                                   now.size() < clean[i].size() &&
                                   std::equal(now.begin(), now.end(), clean[i].begin());
                    EXPECT_TRUE(now == before || partial);
                    break;
                }
                before = now;
            }
        }
        failing_allocator_disarm();
        EXPECT_TRUE(b != nullptr || failing_allocator_fired());
        buf_free(b);
    });
    list_free(numbers, nullptr);
}

TEST(AllocToolkit, CopiesAndRenderingsAreNullOrComplete) {
    const bytes content = {0x00, 0xAB, 0xFF, 0x03, 'a', 'b', 'c'};
    buf source{const_cast<uint8_t *>(content.data()), content.size(), content.size()};
    exhaust([&](const failure &f) {
        failing_allocator_arm(f.nth, f.persistent);
        buf *copy = buf_dup(&source);
        char *hex = buf_as_hex(&source);
        char *text = buf_as_string(&source);
        char *string_copy = nullptr;
        uint64_t length = 0;
        const uint8_t *after =
            buf_read_string_length_enc(content.data() + 3, &string_copy, &length);
        failing_allocator_disarm();

        bool fired = failing_allocator_fired();
        EXPECT_TRUE(fired || (copy && hex && text && after));
        if (copy != nullptr) {
            EXPECT_EQ(contents(copy), content);
        }
        if (hex != nullptr) {
            EXPECT_STREQ(hex, "00abff03616263");
        }
        if (text != nullptr) {
            EXPECT_EQ(memcmp(text, content.data(), content.size()), 0);
            EXPECT_EQ(text[content.size()], '\0');
        }
        if (after != nullptr) {
            EXPECT_EQ(after, content.data() + content.size());
            ASSERT_NE(string_copy, nullptr);
            EXPECT_STREQ(string_copy, "abc");
            EXPECT_EQ(length, 3u);
        } else {
            EXPECT_EQ(string_copy, nullptr);
        }
        buf_free(copy);
        free(hex);
        free(text);
        free(string_copy);
    });
}

} // namespace
