/*
 * Allocation failures in the index method: its tables, the edit script and
 * the items it writes, each failed in turn.  A failure may only show as
 * null or as another delta that still rebuilds the new value (the edit
 * script gives up and the replacement delta is written); never as a delta
 * with an item missing.
 */
#include <gtest/gtest.h>

#include <vector>

#include "buf.h"
#include "diff_apply.h"
#include "diff_index.h"
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

TEST(AllocIndex, GivesNullOrADeltaThatRebuilds) {
    bytes old_value(3000);
    for (size_t i = 0; i < old_value.size(); i++)
        old_value[i] = static_cast<uint8_t>("moved blocks and runs "[i % 22] + i / 300);
    /* A block moved to the front, a run, an edit and the equal case. */
    bytes moved(old_value.begin() + 2000, old_value.begin() + 2600);
    moved.insert(moved.end(), old_value.begin(), old_value.begin() + 2000);
    moved.insert(moved.end(), 40, 0);
    moved[700] ^= 0x33;
    for (const bytes &new_value : {moved, old_value}) {
        buf old_view = view(old_value), new_view = view(new_value);
        for (uint64_t allowance : {uint64_t{0}, uint64_t{4000}}) {
            buf *clean = diff_index_generate_binary_ex(&old_view, &new_view, allowance);
            ASSERT_NE(clean, nullptr);
            uint64_t allocations = exhaust([&](const failure &f) {
                buf *got = armed(f, [&] {
                    return diff_index_generate_binary_ex(&old_view, &new_view, allowance);
                });
                if (!failing_allocator_fired()) {
                    ASSERT_NE(got, nullptr);
                    EXPECT_EQ(contents(got), contents(clean));
                }
                if (got != nullptr && contents(got) != bytes{0xF6}) {
                    buf *rebuilt = diff_apply_binary(&old_view, got);
                    ASSERT_NE(rebuilt, nullptr);
                    EXPECT_EQ(contents(rebuilt), new_value);
                    buf_free(rebuilt);
                }
                buf_free(got);
            });
            EXPECT_GE(allocations, 2u);
            buf_free(clean);
        }
    }
}

} // namespace
