/*
 * activity_history.cpp - how busy the owner has been over a recent window.
 *
 * Time is cut into buckets of a power-of-two width, and a ring of a
 * power-of-two number of them holds the busy milliseconds of the last turn,
 * so that bucket numbers, slots and the final scaling are shifts and masks.
 * A start clears the buckets that have passed since the previous start; a
 * stop charges the busy period.  The utilisation figure is busy ms × 256 /
 * window, so 256 means busy throughout.
 *
 * Bucket numbers are unsigned 64-bit and may wrap on purpose: near time 0
 * the lower bound "one ring turn back" wraps to a huge number, which makes
 * the ranges below empty instead of reaching before the epoch.
 */
#include "activity_history.h"

#include <stdlib.h>
#include <sys/time.h>

#include "bits.h"

/* Largest bucket count and width that can be rounded up to a power of two. */
static const int32_t MAX_BUCKET_COUNT = 1 << 30;
static const uint64_t MAX_BUCKET_WIDTH = UINT64_C(1) << 62;

/* The utilisation scale: a fully busy window reads 256 = 2^8. */
static const int32_t SCALE_BITS = 8;

/* Shifts at or beyond the width of the intermediate result. */
static const int32_t WIDEST_SHIFT = 63;

static const uint64_t MS_PER_SECOND = 1000;
static const uint64_t US_PER_MS = 1000;

static uint64_t wall_clock_ms(void) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    return (uint64_t)now.tv_sec * MS_PER_SECOND + (uint64_t)now.tv_usec / US_PER_MS;
}

static uint64_t *slot_of(const tovarel_activity_history *history, uint64_t bucket) {
    return &history->buckets[bucket & (uint64_t)history->bucket_mask];
}

static uint64_t max_u64(uint64_t a, uint64_t b) {
    return a > b ? a : b;
}

/*
 * First bucket number of the ring turn that ends at bucket `b`, or later
 * when `floor` is later.  Near time 0 the first term wraps, and the range
 * from it to `b` is then empty.
 */
static uint64_t range_start(const tovarel_activity_history *history, uint64_t b, uint64_t floor) {
    return max_u64(b - history->bucket_count + 1, floor);
}

/*
 * A history with `count` buckets of `width` milliseconds, both rounded up
 * to powers of two.  Counts that are negative or above 2^30 and widths
 * above 2^62 have no power of two to round to, and are refused like a
 * failed allocation, with null.
 */
tovarel_activity_history *tovarel_activity_history_create(int32_t count, uint64_t width) {
    if (count < 0 || count > MAX_BUCKET_COUNT || width > MAX_BUCKET_WIDTH)
        return nullptr;
    tovarel_activity_history *history =
        (tovarel_activity_history *)calloc(1, sizeof(tovarel_activity_history));
    if (history == nullptr)
        return nullptr;
    int32_t bucket_count = find_next_power_of_two_int(count);
    history->bucket_width = find_next_power_of_two_long(width);
    history->bucket_shift = highest_bit_long(history->bucket_width) - 1;
    history->bucket_count = (uint64_t)bucket_count;
    history->bucket_mask = bucket_count - 1;
    history->utilisation_shift =
        highest_bit_int(bucket_count) + history->bucket_shift - 1 - SCALE_BITS;
    history->buckets = (uint64_t *)calloc(history->bucket_count, sizeof(uint64_t));
    if (history->buckets == nullptr) {
        free(history);
        return nullptr;
    }
    return history;
}

void tovarel_activity_history_free(tovarel_activity_history *history) {
    if (history == nullptr)
        return;
    free(history->buckets);
    free(history);
}

/*
 * A busy period begins at `now`.  Buckets between the previous start and
 * now have gone by and are cleared, at most one ring turn of them.
 */
void _activity_history_start(tovarel_activity_history *history, uint64_t now) {
    uint64_t b = now >> history->bucket_shift;
    uint64_t first = range_start(history, b, history->current_bucket + 1);
    for (uint64_t i = first; i <= b; i++) {
        uint64_t *slot = slot_of(history, i);
        history->busy_total -= *slot;
        *slot = 0;
        if (i == b)
            break; /* b may be the largest bucket number */
    }
    history->current_bucket = b;
    history->start_time = now;
}

/*
 * The busy period that began at the last start ends at `now`.  A short one
 * is charged whole to the bucket where it began, even if it ended in the
 * next; a period of a bucket's width or more marks every bucket it touched
 * as fully busy.  A clock that went back gives a huge elapsed time and so
 * takes the second road.
 */
void _activity_history_stop(tovarel_activity_history *history, uint64_t now) {
    uint64_t elapsed = now - history->start_time;
    if (elapsed < history->bucket_width) {
        history->busy_total += elapsed;
        *slot_of(history, history->current_bucket) += elapsed;
        return;
    }
    uint64_t b = now >> history->bucket_shift;
    uint64_t first = range_start(history, b, history->current_bucket);
    for (uint64_t i = first; i <= b; i++) {
        uint64_t *slot = slot_of(history, i);
        history->busy_total = history->busy_total - *slot + history->bucket_width;
        *slot = history->bucket_width;
        if (i == b)
            break;
    }
}

void tovarel_activity_history_start(tovarel_activity_history *history) {
    if (history != nullptr)
        _activity_history_start(history, wall_clock_ms());
}

void tovarel_activity_history_stop(tovarel_activity_history *history) {
    if (history != nullptr)
        _activity_history_stop(history, wall_clock_ms());
}

/*
 * Busy milliseconds of one window on the 256 scale.  The current bucket is
 * still filling, so the previous one stands in for it.  Windows below
 * 256 ms have a negative shift; they are scaled up by the opposite count
 * instead, and the product saturates rather than wrapping into a figure of
 * the wrong sign.
 */
int32_t tovarel_activity_history_utilisation(const tovarel_activity_history *history) {
    if (history == nullptr)
        return 0;
    uint64_t sum = history->busy_total + *slot_of(history, history->current_bucket - 1) -
                   *slot_of(history, history->current_bucket);
    int64_t busy = (int32_t)(uint32_t)sum;
    int32_t shift = history->utilisation_shift;
    if (shift >= 0)
        return (int32_t)(busy >> (shift < WIDEST_SHIFT ? shift : WIDEST_SHIFT));
    /* -shift is at most SCALE_BITS, so the product fits 64 bits. */
    int64_t scaled = busy * ((int64_t)1 << -shift);
    if (scaled > INT32_MAX)
        return INT32_MAX;
    if (scaled < INT32_MIN)
        return INT32_MIN;
    return (int32_t)scaled;
}

int32_t tovarel_activity_history_get_last_delta_quality(const tovarel_activity_history *history) {
    return history == nullptr ? -1 : history->last_delta_quality;
}
