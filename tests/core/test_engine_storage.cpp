/*
 * The difference engine's working storage: slot layout, fill pattern,
 * growth, the allowance and the neighbour rules.
 */
#include <gtest/gtest.h>

#include <climits>
#include <memory>

#include "storage.h"

namespace {

struct storage_deleter {
    void operator()(storage *s) const { storage_free(s); }
};
using storage_ptr = std::unique_ptr<storage, storage_deleter>;

storage_ptr make_storage(int32_t allowance = INT32_MAX) {
    return storage_ptr(storage_create(allowance));
}

TEST(EngineStorage, SlotNumbersInterleaveDirectionsAndSigns) {
    const struct {
        int32_t diagonal;
        uint64_t forward, reverse;
    } cases[] = {{0, 0, 2},
                 {-1, 3, 5},
                 {1, 4, 6},
                 {-2, 7, 9},
                 {2, 8, 10},
                 {-5, 19, 21},
                 {INT32_MAX, 8589934588ull, 8589934590ull},
                 {INT32_MIN, 8589934591ull, 8589934593ull}};
    for (const auto &c : cases) {
        EXPECT_EQ(storage_key_forward(c.diagonal), c.forward) << c.diagonal;
        EXPECT_EQ(storage_key_reverse(c.diagonal), c.reverse) << c.diagonal;
    }
}

TEST(EngineStorage, AllowanceGivesMaxStepsInUnsignedArithmetic) {
    const struct {
        int32_t allowance;
        uint32_t max_steps;
    } cases[] = {{3, 0},          {6, 0},          {7, 1},           {10, 1},
                 {11, 2},         {14, 2},         {15, 3},          {INT32_MAX, 0x1FFFFFFF},
                 {2, 0x3FFFFFFF}, {0, 0x3FFFFFFF}, {-1, 0x3FFFFFFF}, {INT32_MIN, 0x1FFFFFFF}};
    for (const auto &c : cases) {
        storage_ptr s = make_storage(c.allowance);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->allowance, static_cast<uint32_t>(c.allowance));
        EXPECT_EQ(s->max_steps, c.max_steps) << c.allowance;
    }
}

/* A new storage is sized for one step: 22 slots, slots 3 to 14 filled with
 * -1 on forward and INT32_MAX on reverse slots, the rest zero. */
TEST(EngineStorage, CreationFillsThroughSlot14) {
    storage_ptr s = make_storage();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->slot_capacity, 22u);
    EXPECT_EQ(s->slots_in_use, 11u);
    for (uint32_t slot = 0; slot < s->slot_capacity; slot++) {
        int32_t expected = 0;
        if (slot >= 3 && slot <= 14) {
            expected = (slot % 4 == 0 || slot % 4 == 3) ? -1 : INT32_MAX;
        }
        EXPECT_EQ(s->slots[slot], expected) << slot;
    }
}

/* Growth to 8n + 14 happens only when fewer than 4n + 11 slots exist;
 * values survive it, and extending fills just the newly covered slots. */
TEST(EngineStorage, GrowsGeometricallyAndKeepsValues) {
    storage_ptr s = make_storage();
    ASSERT_TRUE(storage_key_forward_set(s.get(), 2, 42));
    ASSERT_TRUE(storage_key_reverse_set(s.get(), -2, 17));
    const struct {
        int32_t steps;
        uint32_t capacity, in_use;
    } steps[] = {{2, 22, 15}, {3, 38, 19}, {4, 38, 23}, {6, 38, 31}, {7, 70, 35}, {15, 134, 67}};
    for (const auto &c : steps) {
        ASSERT_TRUE(storage_extend(s.get(), c.steps));
        EXPECT_EQ(s->slot_capacity, c.capacity) << c.steps;
        EXPECT_EQ(s->slots_in_use, c.in_use) << c.steps;
    }
    /* Slots 8 and 9 were filled before the writes and not refilled since. */
    EXPECT_EQ(storage_key_forward_get(s.get(), 2), 42);
    EXPECT_EQ(storage_key_reverse_get(s.get(), -2), 17);
    EXPECT_EQ(s->slots[70], STORAGE_REVERSE_FILL); /* 4n + 10, the last filled slot */
    EXPECT_EQ(s->slots[71], 0);                    /* allocated but not yet filled */
}

TEST(EngineStorage, InitialiseResetsOnlyTheFirstSlots) {
    storage_ptr s = make_storage();
    ASSERT_TRUE(storage_extend(s.get(), 3));
    storage_key_forward_set(s.get(), 0, 5);
    storage_key_forward_set(s.get(), 1, 6);
    storage_key_forward_set(s.get(), 4, 7); /* slot 16, above 14 */
    ASSERT_TRUE(storage_initialise(s.get(), 1));
    EXPECT_EQ(s->slots_in_use, 11u);
    EXPECT_EQ(storage_key_forward_get(s.get(), 0), 5); /* seeds are the search's own */
    EXPECT_EQ(storage_key_forward_get(s.get(), 1), STORAGE_FORWARD_FILL);
    EXPECT_EQ(storage_key_forward_get(s.get(), 4), 7);
    EXPECT_FALSE(storage_initialise(s.get(), 0));
    EXPECT_FALSE(storage_initialise(s.get(), -1));
}

TEST(EngineStorage, RefusedRequestsLeaveTheStorageAlone) {
    storage_ptr s = make_storage(14);
    const int32_t *slots = s->slots;
    for (int32_t steps : {3, -1, INT32_MIN}) {
        EXPECT_FALSE(storage_extend(s.get(), steps)) << steps;
    }
    storage_ptr big = make_storage();
    /* 8n + 14 slots do not fit a 32-bit count; n = -1 is no size at all. */
    for (int32_t steps : {INT32_MAX, 536870911, -1}) {
        EXPECT_FALSE(storage_ensure(big.get(), steps)) << steps;
    }
    EXPECT_EQ(s->slots, slots);
    EXPECT_EQ(s->slot_capacity, 22u);
    EXPECT_EQ(s->slots_in_use, 11u);
    EXPECT_EQ(big->slot_capacity, 22u);
    EXPECT_EQ(big->slots_in_use, 11u);
    EXPECT_TRUE(storage_extend(s.get(), 2));
}

TEST(EngineStorage, MissingSlotsAndNullStorage) {
    storage_ptr s = make_storage();
    EXPECT_EQ(storage_key_forward_get(s.get(), 5), 0);               /* slot 20, not filled */
    EXPECT_EQ(storage_key_forward_get(s.get(), 6), STORAGE_MISSING); /* slot 24 of 22 */
    EXPECT_EQ(storage_key_reverse_get(s.get(), -6), STORAGE_MISSING);
    EXPECT_FALSE(storage_key_reverse_set(s.get(), 6, 1));
    EXPECT_EQ(storage_key_forward_get(nullptr, 0), STORAGE_MISSING);
    EXPECT_FALSE(storage_key_forward_set(nullptr, 0, 1));
    EXPECT_EQ(storage_key_forward_get_next(nullptr, 0), INT32_MIN + 1);
    EXPECT_FALSE(storage_ensure(nullptr, 1));
    storage_free(nullptr);
}

/* Forward: the larger x of a deletion from k+1 (x + 1) and an insertion
 * from k-1; a tie goes to the deletion.  Reverse: the smaller x of an
 * insertion from k'+1 and a deletion from k'-1 (x - 1); a tie goes to the
 * deletion. */
TEST(EngineStorage, NeighbourRules) {
    const struct {
        int32_t above, below, forward, reverse;
    } cases[] = {{3, 5, 5, 3},
                 {5, 3, 6, 2},
                 {4, 4, 5, 3},
                 {-1, -1, 0, -2},
                 {-1, 0, 0, -1},
                 {INT32_MAX, 7, INT32_MIN, 6},
                 {2, INT32_MAX, INT32_MAX, 2}};
    storage_ptr s = make_storage();
    for (const auto &c : cases) {
        storage_key_forward_set(s.get(), 2, c.above);
        storage_key_forward_set(s.get(), 0, c.below);
        storage_key_reverse_set(s.get(), 2, c.above);
        storage_key_reverse_set(s.get(), 0, c.below);
        EXPECT_EQ(storage_key_forward_get_next(s.get(), 1), c.forward) << c.above << " " << c.below;
        EXPECT_EQ(storage_key_reverse_get_next(s.get(), 1), c.reverse) << c.above << " " << c.below;
    }
}

} // namespace
