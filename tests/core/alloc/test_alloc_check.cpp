/*
 * Allocation failures around checked deltas: putting the check in front
 * either succeeds or leaves the delta exactly as it was, and patching a
 * checked delta gives null for a lack of memory (never a refusal of the
 * old value or of the result, which would blame the wrong thing) or the
 * whole value.
 */
#include <gtest/gtest.h>

#include <vector>

#include "buf.h"
#include "diff_check.h"
#include "diff_generate.h"
#include "diff_patch.h"
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

bytes sample(size_t length, uint8_t salt) {
    bytes value(length);
    for (size_t i = 0; i < length; i++) {
        value[i] = static_cast<uint8_t>("lorem ipsum dolor "[i % 18] + (i % 131 == salt ? 1 : 0));
    }
    return value;
}

TEST(AllocCheck, PrependingTheCheckSucceedsOrChangesNothing) {
    const bytes old_value = sample(500, 3), new_value = sample(520, 7);
    buf old_view = view(old_value), new_view = view(new_value);
    const diff_check check = diff_check_of(&old_view, &new_view);
    const bytes body = {0x00, 0x18, 0x40, 0x43, 'a', 'b', 'c'};
    uint64_t allocations = exhaust([&](const failure &f) {
        buf *delta = buf_create();
        ASSERT_NE(delta, nullptr);
        ASSERT_TRUE(_buf_append(delta, body.data(), body.size()));
        bool written = armed(f, [&] { return diff_check_prepend(delta, &check); });
        if (!written) {
            EXPECT_EQ(contents(delta), body);
        } else {
            diff_check read = {};
            uint64_t at = 0;
            ASSERT_EQ(diff_check_read(delta, &read, &at), DIFF_CHECK_PRESENT);
            EXPECT_EQ(bytes(delta->data + at, delta->data + delta->len), body);
        }
        buf_free(delta);
    });
    EXPECT_GE(allocations, 1u);
}

TEST(AllocCheck, PatchingACheckedDeltaGivesNullOrTheWholeValue) {
    const bytes old_value = sample(3000, 5), new_value = sample(3100, 9);
    buf old_view = view(old_value), new_view = view(new_value);
    buf *delta = diff_generate_binary(&old_view, &new_view);
    ASSERT_NE(delta, nullptr);
    const diff_check check = diff_check_of(&old_view, &new_view);
    ASSERT_TRUE(diff_check_prepend(delta, &check));
    uint64_t allocations = exhaust([&](const failure &f) {
        int32_t status = -1;
        buf *got = armed(
            f, [&] { return diff_patch(&old_view, delta, DIFF_PATCH_REQUIRE_CHECK, &status); });
        EXPECT_EQ(status, got == nullptr ? DIFF_APPLY_NO_MEMORY : DIFF_APPLY_OK);
        if (got != nullptr) {
            EXPECT_EQ(contents(got), new_value);
        }
        buf_free(got);
    });
    buf_free(delta);
    EXPECT_GE(allocations, 3u);
}

} // namespace
