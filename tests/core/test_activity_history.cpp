// Activity history: rounding at creation, the ring's bookkeeping over a
// worked sequence of busy periods, wrap-around near time 0, a clock that
// goes back, and the utilisation figure at both ends of its shift.
#include <gtest/gtest.h>

#include <sys/time.h>

#include <cstdint>
#include <memory>

#include "activity_history.h"

namespace {

struct HistoryDeleter {
    void operator()(tovarel_activity_history *history) const {
        tovarel_activity_history_free(history);
    }
};
using History = std::unique_ptr<tovarel_activity_history, HistoryDeleter>;

History make(int32_t count, uint64_t width) {
    return History(tovarel_activity_history_create(count, width));
}

// A multiple of the 2048 ms window of create(16, 100), so that its bucket
// number N = 1000000 lives in slot 0.
constexpr uint64_t T = 1000000ULL * 128;

uint64_t sum_of_buckets(const tovarel_activity_history *history) {
    uint64_t sum = 0;
    for (uint64_t i = 0; i < history->bucket_count; i++)
        sum += history->buckets[i];
    return sum;
}

TEST(ActivityHistoryCreate, RoundsToPowersOfTwo) {
    struct Case {
        int32_t count;
        uint64_t width;
        uint64_t bucket_count, bucket_width;
        int32_t bucket_shift, bucket_mask, utilisation_shift;
    } cases[] = {
        {16, 100, 16, 128, 7, 15, 3}, {0, 100, 1, 128, 7, 0, -1},
        {1, 100, 1, 128, 7, 0, -1},   {2, 128, 2, 128, 7, 1, 0},
        {3, 129, 4, 256, 8, 3, 2},    {1000, 1, 1024, 1, 0, 1023, 2},
        {1, 0, 1, 1, 0, 0, -8},       {1, 1ULL << 62, 1, 1ULL << 62, 62, 0, 54},
    };
    for (const Case &c : cases) {
        History history = make(c.count, c.width);
        ASSERT_NE(history, nullptr) << c.count << "x" << c.width;
        EXPECT_EQ(history->bucket_count, c.bucket_count) << c.count;
        EXPECT_EQ(history->bucket_width, c.bucket_width) << c.width;
        EXPECT_EQ(history->bucket_shift, c.bucket_shift) << c.width;
        EXPECT_EQ(history->bucket_mask, c.bucket_mask) << c.count;
        EXPECT_EQ(history->utilisation_shift, c.utilisation_shift) << c.count << "x" << c.width;
        EXPECT_EQ(history->last_delta_quality, 0);
        EXPECT_EQ(history->current_bucket, 0u);
        EXPECT_EQ(history->start_time, 0u);
        EXPECT_EQ(history->busy_total, 0u);
        EXPECT_EQ(sum_of_buckets(history.get()), 0u);
        EXPECT_EQ(tovarel_activity_history_utilisation(history.get()), 0);
    }
}

TEST(ActivityHistoryCreate, RefusesWhatCannotBeRounded) {
    struct Case {
        int32_t count;
        uint64_t width;
    } cases[] = {
        {-1, 100},        {INT32_MIN, 100},       {(1 << 30) + 1, 100},
        {INT32_MAX, 100}, {16, (1ULL << 62) + 1}, {16, UINT64_MAX},
    };
    for (const Case &c : cases)
        EXPECT_EQ(make(c.count, c.width), nullptr) << c.count << "x" << c.width;
    tovarel_activity_history_free(nullptr);
    EXPECT_EQ(tovarel_activity_history_get_last_delta_quality(nullptr), -1);
}

// Starts and stops at given times on create(16, 100), checked step by step.
TEST(ActivityHistoryRing, WorkedSequence) {
    enum Op { START, STOP };
    struct Step {
        Op op;
        uint64_t at;
        uint64_t busy_total;
        int32_t utilisation;
    } steps[] = {
        {START, T, 0, 0},
        {STOP, T + 100, 100, 0},    // the current bucket does not count yet
        {START, T + 128, 100, 25},  // bucket N counted twice: 200 >> 3
        {STOP, T + 178, 150, 25},   // 150 + 100 - 50
        {START, T + 640, 150, 18},  // bucket N + 5
        {STOP, T + 940, 534, 50},   // N + 5 to N + 7 fully busy
        {START, T + 1152, 278, 34}, // N + 6 to N + 9 cleared
        {STOP, T + 1152, 278, 34},  // a period of 0 ms
        {START, T + 4096, 0, 0},    // a whole ring later: everything cleared
        {STOP, T + 4096 + 5, 5, 0},
    };
    History history = make(16, 100);
    for (const Step &step : steps) {
        if (step.op == START)
            _activity_history_start(history.get(), step.at);
        else
            _activity_history_stop(history.get(), step.at);
        EXPECT_EQ(history->busy_total, step.busy_total) << step.at - T;
        EXPECT_EQ(sum_of_buckets(history.get()), history->busy_total) << step.at - T;
        EXPECT_EQ(tovarel_activity_history_utilisation(history.get()), step.utilisation)
            << step.at - T;
    }
}

TEST(ActivityHistoryRing, LongPeriodKeepsOnlyItsFirstBucketAfterTheNextStart) {
    History history = make(16, 100);
    _activity_history_start(history.get(), T + 640);
    _activity_history_stop(history.get(), T + 940);
    for (uint64_t slot : {5, 6, 7})
        EXPECT_EQ(history->buckets[slot], 128u) << slot;
    _activity_history_start(history.get(), T + 1152);
    for (uint64_t slot = 0; slot < 16; slot++)
        EXPECT_EQ(history->buckets[slot], slot == 5 ? 128u : 0u) << slot;
}

TEST(ActivityHistoryRing, NearlyAlwaysBusyReads254) {
    History history = make(16, 100);
    for (uint64_t bucket = 0; bucket < 40; bucket++) {
        _activity_history_start(history.get(), T + bucket * 128);
        _activity_history_stop(history.get(), T + bucket * 128 + 127);
    }
    _activity_history_start(history.get(), T + 40 * 128);
    EXPECT_EQ(tovarel_activity_history_utilisation(history.get()), 254);
}

TEST(ActivityHistoryRing, StopWithoutStartMarksTheWholeRing) {
    History history = make(16, 100);
    _activity_history_stop(history.get(), T);
    EXPECT_EQ(history->busy_total, 2048u);
    for (uint64_t slot = 0; slot < 16; slot++)
        EXPECT_EQ(history->buckets[slot], 128u) << slot;
}

// A stop earlier than its start counts as a period longer than a bucket.
TEST(ActivityHistoryRing, ClockGoingBack) {
    struct Case {
        const char *name;
        uint64_t start, stop;
        uint64_t busy_total;
    } cases[] = {
        {"back within the start's bucket", T + 150, T + 130, 128},
        {"back to an earlier bucket", T + 150, T + 10, 0},
    };
    for (const Case &c : cases) {
        History history = make(16, 100);
        _activity_history_start(history.get(), c.start);
        _activity_history_stop(history.get(), c.stop);
        EXPECT_EQ(history->busy_total, c.busy_total) << c.name;
        EXPECT_EQ(sum_of_buckets(history.get()), c.busy_total) << c.name;
    }
}

// Below one ring turn after the epoch the lower bound wraps around: a start
// clears nothing and a long stop marks nothing.
TEST(ActivityHistoryRing, TimesNearZeroWrapTheLowerBound) {
    History history = make(16, 100);
    history->buckets[2] = 5;
    history->busy_total = 5;
    _activity_history_start(history.get(), 300);
    EXPECT_EQ(history->current_bucket, 2u);
    EXPECT_EQ(history->busy_total, 5u);
    _activity_history_stop(history.get(), 1000);
    EXPECT_EQ(history->busy_total, 5u);
    EXPECT_EQ(history->buckets[2], 5u);
}

// Bucket numbers up to the largest 64-bit value still end the loops.
TEST(ActivityHistoryRing, LargestTimesEndTheLoops) {
    History history = make(4, 1);
    _activity_history_start(history.get(), UINT64_MAX - 5);
    _activity_history_stop(history.get(), UINT64_MAX);
    EXPECT_EQ(history->busy_total, 4u);
    _activity_history_start(history.get(), UINT64_MAX);
    EXPECT_EQ(history->current_bucket, UINT64_MAX);
    EXPECT_EQ(history->busy_total, 0u);
    EXPECT_EQ(sum_of_buckets(history.get()), 0u);
}

// The figure means busy ms × 256 / window at every shift: windows below
// 256 ms scale up, and huge shifts leave only the sign.
TEST(ActivityHistoryUtilisation, ScalesForEveryWindow) {
    struct Case {
        const char *name;
        int32_t count;
        uint64_t width;
        uint64_t busy;
        int32_t utilisation;
    } cases[] = {
        {"half of 2048 ms", 16, 100, 1024, 128},
        {"half of one 128 ms bucket", 1, 100, 64, 128},
        {"all of one 1 ms bucket", 1, 1, 1, 256},
        {"half of 256 ms", 2, 128, 128, 128},
        {"saturates upwards", 1, 1, 0x7FFFFFFF, INT32_MAX},
        {"saturates downwards", 1, 1, 0x80000000, INT32_MIN},
        {"only the low 32 bits count", 16, 100, 0x100000000ULL + 2048, 256},
        {"negative low half", 16, 100, 0xFFFFFFF8ULL, -1},
        {"shift beyond 32 bits, positive", 16, 1ULL << 62, 0x7FFFFFFF, 0},
        {"shift beyond 32 bits, negative", 16, 1ULL << 62, 0x80000000, -1},
    };
    for (const Case &c : cases) {
        History history = make(c.count, c.width);
        ASSERT_NE(history, nullptr) << c.name;
        // With the current bucket and its predecessor empty, the figure is
        // busy_total scaled.
        history->busy_total = c.busy;
        EXPECT_EQ(tovarel_activity_history_utilisation(history.get()), c.utilisation) << c.name;
    }
}

TEST(ActivityHistoryUtilisation, ShiftsOfAnyWidthAreDefined) {
    uint64_t bucket = 0;
    tovarel_activity_history history = {};
    history.buckets = &bucket;
    history.bucket_count = 1;
    history.utilisation_shift = 84; // 2^30 buckets of 2^62 ms
    history.busy_total = 0xFFFFFFFF;
    EXPECT_EQ(tovarel_activity_history_utilisation(&history), -1);
    history.busy_total = 5;
    EXPECT_EQ(tovarel_activity_history_utilisation(&history), 0);
}

uint64_t now_ms() {
    timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_usec) / 1000;
}

TEST(ActivityHistoryClock, StartAndStopReadTheWallClockInMilliseconds) {
    History history = make(16, 100);
    uint64_t before = now_ms();
    tovarel_activity_history_start(history.get());
    uint64_t after = now_ms();
    EXPECT_GE(history->start_time, before);
    EXPECT_LE(history->start_time, after);
    EXPECT_EQ(history->current_bucket, history->start_time >> 7);
    uint64_t started = history->start_time;
    tovarel_activity_history_stop(history.get());
    EXPECT_EQ(history->start_time, started);
    EXPECT_EQ(sum_of_buckets(history.get()), history->busy_total);
    tovarel_activity_history_start(nullptr);
    tovarel_activity_history_stop(nullptr);
}

} // namespace
