/*
 * fuzz_activity_history.cpp - drives an activity history with arbitrary
 * sequences of starts, stops and utilisation reads at arbitrary times
 * (forwards, backwards, near zero, near the top of the 64-bit range), and
 * compares every field after every step with a model written here from the
 * bucket rules.  busy_total must equal the sum of the counters throughout.
 *
 * Input: one byte for the bucket count, one for the width (a power of two
 * or an arbitrary value near one), then steps of one operation byte and
 * eight bytes of time; the operation's top bit chooses between an absolute
 * time and a signed step from the previous time.
 */
#include <cstdint>
#include <cstring>
#include <vector>

#include "activity_history.h"
#include "reference_cbor.h"

namespace {

constexpr uint64_t largest_width = uint64_t{1} << 62;
constexpr int32_t largest_count = 1 << 30;
constexpr unsigned max_modelled_count = 1024;

struct model {
    std::vector<uint64_t> buckets;
    uint64_t width;
    int shift;
    uint64_t current = 0;
    uint64_t start_time = 0;
    uint64_t busy = 0;

    uint64_t &slot(uint64_t bucket) { return buckets[bucket & (buckets.size() - 1)]; }

    /* Bucket numbers from `first` to `last` inclusive, none when first is
     * beyond last (the lower bound may have wrapped round). */
    template <typename Visit> void each(uint64_t first, uint64_t last, Visit visit) {
        for (uint64_t i = first; i <= last; i++) {
            visit(i);
            if (i == UINT64_MAX) {
                break;
            }
        }
    }

    void start(uint64_t now) {
        uint64_t b = now >> shift;
        uint64_t count = buckets.size();
        uint64_t first = b - count + 1 > current + 1 ? b - count + 1 : current + 1;
        each(first, b, [&](uint64_t i) {
            busy -= slot(i);
            slot(i) = 0;
        });
        current = b;
        start_time = now;
    }

    void stop(uint64_t now) {
        uint64_t elapsed = now - start_time;
        if (elapsed < width) {
            busy += elapsed;
            slot(current) += elapsed;
            return;
        }
        uint64_t b = now >> shift;
        uint64_t count = buckets.size();
        uint64_t first = b - count + 1 > current ? b - count + 1 : current;
        each(first, b, [&](uint64_t i) {
            busy += width - slot(i);
            slot(i) = width;
        });
    }
};

void compare(const tovarel_activity_history *history, const model &m, size_t step) {
    REFERENCE_CHECK(history->current_bucket == m.current, step);
    REFERENCE_CHECK(history->start_time == m.start_time, step);
    REFERENCE_CHECK(history->busy_total == m.busy, step);
    uint64_t sum = 0;
    for (uint64_t i = 0; i < history->bucket_count; i++) {
        REFERENCE_CHECK(history->buckets[i] == m.buckets[i], step);
        sum += history->buckets[i];
    }
    REFERENCE_CHECK(sum == history->busy_total, step);
}

uint64_t power_of_two_at_least(uint64_t value) {
    uint64_t power = 1;
    while (power < value) {
        power <<= 1;
    }
    return power;
}

int log2_of(uint64_t power) {
    int log = 0;
    while ((uint64_t{1} << log) < power) {
        log++;
    }
    return log;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) {
        return 0;
    }
    /* Mostly small counts, some up to 960, and one negative. */
    int32_t count = data[0] == 0xEF ? -1 : data[0] < 0xF0 ? data[0] % 64 : (data[0] & 0x0F) << 6;
    uint8_t w = data[1];
    uint64_t width = (w & 0x40) ? (uint64_t{1} << (w & 0x3F)) + (w >> 7) : (w & 0x3F) * 37u;
    tovarel_activity_history *history = tovarel_activity_history_create(count, width);
    if (width > largest_width) {
        /* No power of two of 64 bits is at or above it. */
        REFERENCE_CHECK(history == nullptr, 0);
        return 0;
    }
    if (count < 0) {
        REFERENCE_CHECK(history == nullptr, 0);
        return 0;
    }
    uint64_t rounded_count = power_of_two_at_least(count < 1 ? 1 : count);
    uint64_t rounded_width = power_of_two_at_least(width);
    int window_log = log2_of(rounded_count) + log2_of(rounded_width);
    if (history == nullptr) {
        /* Only requests that cannot be rounded up, or whose window is too
         * short for the utilisation scale, may be refused. */
        REFERENCE_CHECK(count < 0 || count > largest_count || window_log < 8, 0);
        return 0;
    }
    REFERENCE_CHECK(tovarel_activity_history_get_last_delta_quality(history) == 0, 0);
    REFERENCE_CHECK(tovarel_activity_history_get_last_delta_quality(nullptr) == -1, 0);

    model m;
    m.buckets.assign(rounded_count, 0);
    m.width = rounded_width;
    m.shift = log2_of(m.width);
    REFERENCE_CHECK(m.buckets.size() <= max_modelled_count, 0);
    REFERENCE_CHECK(history->bucket_count == m.buckets.size(), 0);
    REFERENCE_CHECK(history->bucket_mask == static_cast<int32_t>(m.buckets.size() - 1), 0);
    REFERENCE_CHECK(history->bucket_width == m.width, 0);
    REFERENCE_CHECK(history->bucket_shift == m.shift, 0);
    REFERENCE_CHECK(history->utilisation_shift == window_log - 8, 0);
    compare(history, m, 0);

    uint64_t now = 0;
    size_t step = 0;
    for (size_t at = 2; at + 9 <= size; at += 9, step++) {
        uint8_t op = data[at];
        uint64_t time;
        memcpy(&time, data + at + 1, sizeof time);
        if (op & 0x80) {
            now = time;
        } else {
            now += static_cast<uint64_t>(static_cast<int64_t>(static_cast<int16_t>(time)));
        }
        switch (op % 3) {
        case 0:
            _activity_history_start(history, now);
            m.start(now);
            break;
        case 1:
            _activity_history_stop(history, now);
            m.stop(now);
            break;
        default: {
            int32_t figure = tovarel_activity_history_utilisation(history);
            /* The figure only has a meaning for windows of 256 ms to 2^39
             * ms; outside them it must merely be computed without fault. */
            if (window_log >= 8 && window_log - 8 < 32) {
                uint64_t sum = m.busy + m.slot(m.current - 1) - m.slot(m.current);
                int32_t low = static_cast<int32_t>(static_cast<uint32_t>(sum));
                REFERENCE_CHECK(figure == (low >> (window_log - 8)), step);
            }
            break;
        }
        }
        compare(history, m, step);
    }
    tovarel_activity_history_free(history);
    return 0;
}
