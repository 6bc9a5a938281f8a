/*
 * Allocation failures in the compact delta: generating one and applying
 * one, with each allocation failed in turn.  Generation may fall back to
 * the plain delta (still correct, only larger) or give null; applying may
 * only give null with DIFF_APPLY_NO_MEMORY, never a damaged-delta status
 * and never a value cut short.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "buf.h"
#include "diff_apply.h"
#include "diff_compact_apply.h"
#include "diff_compact_generate.h"
#include "failing_allocator.h"

using failing_allocator::armed;
using failing_allocator::exhaust;
using failing_allocator::failure;

namespace {

using bytes = std::vector<uint8_t>;

buf view(const bytes &value) {
    return buf{const_cast<uint8_t *>(value.data()), value.size(), value.size()};
}

bytes contents(const buf *b) {
    return b->len == 0 ? bytes{} : bytes(b->data, b->data + b->len);
}

/* Code with an address every 13 bytes; the next build moves every address
 * and inserts a few bytes, so the delta has approximate copies, literals
 * and differences. */
void builds(bytes &old_value, bytes &new_value) {
    for (uint32_t i = 0; i < 400; i++) {
        const uint8_t code[9] = {0x48, 0x8B, 0x05, static_cast<uint8_t>(i),    0x90,
                                 0x31, 0xC0, 0xC3, static_cast<uint8_t>(i * 7)};
        uint32_t address = 0x1000 + 16 * i;
        uint32_t moved = address + 0x24;
        old_value.insert(old_value.end(), code, code + sizeof code);
        new_value.insert(new_value.end(), code, code + sizeof code);
        old_value.insert(old_value.end(), reinterpret_cast<uint8_t *>(&address),
                         reinterpret_cast<uint8_t *>(&address) + 4);
        new_value.insert(new_value.end(), reinterpret_cast<uint8_t *>(&moved),
                         reinterpret_cast<uint8_t *>(&moved) + 4);
    }
    const char inserted[] = "a few fresh bytes";
    new_value.insert(new_value.begin() + 1000, inserted, inserted + sizeof inserted);
}

bytes rebuilt(const bytes &old_value, const buf *delta) {
    buf old_view = view(old_value);
    buf *out = diff_compact_is_compact(delta) ? diff_compact_apply_binary(&old_view, delta, nullptr)
                                              : diff_apply_binary(&old_view, delta);
    bytes value = out != nullptr ? contents(out) : bytes{0xFF};
    buf_free(out);
    return value;
}

TEST(AllocCompact, GenerationGivesNullOrADeltaThatRebuilds) {
    bytes old_value, new_value;
    builds(old_value, new_value);
    buf old_view = view(old_value), new_view = view(new_value);
    uint64_t allocations = exhaust([&](const failure &f) {
        buf *got = armed(f, [&] { return diff_compact_generate_binary(&old_view, &new_view); });
        if (!failing_allocator_fired()) {
            ASSERT_NE(got, nullptr);
            EXPECT_TRUE(diff_compact_is_compact(got));
        }
        if (got != nullptr) {
            EXPECT_EQ(rebuilt(old_value, got), new_value);
        }
        buf_free(got);
    });
    EXPECT_GE(allocations, 4u);
}

TEST(AllocCompact, ApplyGivesNullOrTheWholeValue) {
    bytes old_value, new_value;
    builds(old_value, new_value);
    buf old_view = view(old_value), new_view = view(new_value);
    buf *delta = _diff_compact_generate_form(&old_view, &new_view);
    ASSERT_NE(delta, nullptr);
    uint64_t allocations = exhaust([&](const failure &f) {
        int32_t status = -1;
        buf *got = armed(f, [&] { return diff_compact_apply_binary(&old_view, delta, &status); });
        if (!failing_allocator_fired()) {
            ASSERT_NE(got, nullptr);
        }
        EXPECT_EQ(status, got == nullptr ? DIFF_APPLY_NO_MEMORY : DIFF_APPLY_OK);
        if (got != nullptr) {
            EXPECT_EQ(contents(got), new_value);
        }
        buf_free(got);
    });
    EXPECT_GE(allocations, 2u); /* the codes, the value, the result record */
    buf_free(delta);
}

} // namespace
