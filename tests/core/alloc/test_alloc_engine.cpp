/*
 * Allocation failures inside the difference engine: its execution record,
 * its storage and the storage's growth, and its task stack.  Whatever
 * fails, the comparison must end in the replacement answer (1) or in a
 * delta that still rebuilds the new value; the engine's own first three
 * allocations failing must give 1.
 */
#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "buf.h"
#include "diff_apply.h"
#include "edit_script.h"
#include "execution_search.h"
#include "failing_allocator.h"
#include "myers_binary_diff.h"

using failing_allocator::armed;
using failing_allocator::exhaust;
using failing_allocator::failure;

namespace {

using bytes = std::vector<uint8_t>;

buf view(const bytes &value) {
    return buf{const_cast<uint8_t *>(value.data()), value.size(), value.size()};
}

/* Text with scattered edits: deltas well inside the budget. */
bytes text(size_t length, unsigned edit_every) {
    bytes value(length);
    for (size_t i = 0; i < length; i++) {
        value[i] = static_cast<uint8_t>("lorem ipsum dolor sit amet, "[i % 28]);
        if (edit_every != 0 && i % edit_every == 3) {
            value[i] = static_cast<uint8_t>('A' + i % 26);
        }
    }
    return value;
}

/* Random bytes: searches bail out and splits nest deeply. */
bytes noise(size_t length, uint32_t seed) {
    bytes value(length);
    for (uint8_t &byte : value) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(seed >> 16);
    }
    return value;
}

void check_path_under_failures(const bytes &old_value, const bytes &new_value, int32_t level) {
    buf old_view = view(old_value), new_view = view(new_value);
    uint64_t allocations = exhaust([&](const failure &f) {
        edit_script *script = edit_script_create(&old_view, &new_view);
        ASSERT_NE(script, nullptr);
        int32_t result = armed(f, [&] {
            return myers_binary_diff(&old_view, 0, static_cast<int32_t>(old_value.size()),
                                     &new_view, 0, static_cast<int32_t>(new_value.size()), script,
                                     INT32_MAX, 10000, level);
        });
        if (f.nth <= 3 && failing_allocator_fired()) {
            EXPECT_EQ(result, MYERS_REPLACE) << "allocation " << f.nth;
        }
        ASSERT_TRUE(result == MYERS_DELTA || result == MYERS_REPLACE) << result;
        if (result == MYERS_DELTA) {
            buf *rebuilt = diff_apply_binary(&old_view, script->output);
            ASSERT_NE(rebuilt, nullptr);
            EXPECT_EQ(bytes(rebuilt->data, rebuilt->data + rebuilt->len), new_value)
                << "allocation " << f.nth << (f.persistent ? " on" : "");
            buf_free(rebuilt);
        }
        edit_script_free(script);
    });
    EXPECT_GE(allocations, 3u);
}

/* The plain search and the fast one, whose private arrays can fail too. */
void check_engine_under_failures(const bytes &old_value, const bytes &new_value, int32_t level) {
    for (int32_t path : {EXECUTION_SEARCH_PLAIN, EXECUTION_SEARCH_AUTO}) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(_execution_search_force_path(path));
        check_path_under_failures(old_value, new_value, level);
    }
}

TEST(AllocEngine, EditedTextAtEveryLevel) {
    const bytes old_value = text(3000, 0);
    const bytes new_value = text(3000, 41);
    for (int32_t level : {0, 1, 2, 3, 4, 9}) {
        SCOPED_TRACE(level);
        check_engine_under_failures(old_value, new_value, level);
    }
}

TEST(AllocEngine, DeeplyNestedSplits) {
    check_engine_under_failures(noise(6000, 1), noise(1500, 2), 3);
}

} // namespace
