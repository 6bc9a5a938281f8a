/*
 * Allocation failures in the deterministic check: every allocation it makes
 * (the walker, its stack, the check's own frames, the join buffer) is failed
 * in turn.  A failed run must say NO_MEMORY, never pass input it has not
 * checked nor name a rule it has not seen broken, and must leak nothing.
 */
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "cbor_deterministic.h"
#include "failing_allocator.h"

using failing_allocator::armed;
using failing_allocator::exhaust;
using failing_allocator::failure;

namespace {

struct Answer {
    int rule;
    uint64_t offset;
    bool operator==(const Answer &) const = default;
};

Answer check(const std::vector<uint8_t> &input) {
    uint64_t offset = 0;
    const int rule = cbor_deterministic_check(input.data(), input.size(), CBOR_DETERMINISTIC_CORE,
                                              100, 0, &offset);
    return {rule, rule == CBOR_DETERMINISTIC_OK ? 0 : offset};
}

TEST(AllocDeterministic, FailsWithNoMemoryOrGivesTheCleanAnswer) {
    /* Deeper than the first blocks of both stacks, with a chunked string
     * (joined in a buffer of the walker's) before the last item. */
    std::vector<uint8_t> deterministic(40, 0x82);
    deterministic.push_back(0x01);
    for (int i = 0; i < 40; i++) {
        deterministic.push_back(0x02);
    }
    std::vector<uint8_t> broken(40, 0x81);
    for (const int byte : {0x5F, 0x41, static_cast<int>('x'), 0xFF}) {
        broken.push_back(static_cast<uint8_t>(byte));
    }
    for (const auto &input : {deterministic, broken}) {
        const Answer clean = check(input);
        EXPECT_EQ(clean.rule, input == broken ? CBOR_DETERMINISTIC_INDEFINITE : 0);
        const uint64_t allocations = exhaust([&](const failure &f) {
            const Answer got = armed(f, [&] { return check(input); });
            if (failing_allocator_fired() && got.rule == CBOR_DETERMINISTIC_NO_MEMORY) {
                return;
            }
            EXPECT_EQ(got, clean);
        });
        EXPECT_GE(allocations, 3u);
    }
}

} // namespace
