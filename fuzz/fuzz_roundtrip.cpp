/*
 * fuzz_roundtrip.cpp - generates a delta between two values cut from the
 * input, at a quality level, step budget and storage allowance also taken
 * from the input, and checks everything a caller may rely on (the promises
 * of every delta generator, in delta_checks.h) and:
 *
 *   - with an activity history, the level recorded matches its utilisation
 *     and the history keeps busy_total equal to the sum of its counters.
 *
 * Header (8 bytes): utilisation figure, flags (bit 0: no history; bit 1:
 * the new value is an edit of the old one), step budget (2 bytes), storage
 * allowance (2 bytes), length of the old value (2 bytes).  The rest is the
 * old value followed by the new value, or by an edit script for it.
 */
#include <sys/time.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "activity_history.h"
#include "buf.h"
#include "delta_checks.h"
#include "diff_apply.h"
#include "diff_generate.h"
#include "reference_cbor.h"

namespace {

constexpr size_t header_size = 8;
/* 16 buckets of 2^20 ms: the wall clock stays in one bucket for about 17
 * minutes, so the driver's own start seldom moves the ring, and an evenly
 * filled ring reads the same figure when it does. */
constexpr int bucket_count_log = 4;
constexpr int32_t bucket_count = 1 << bucket_count_log;
constexpr uint64_t bucket_width = uint64_t{1} << 20;
constexpr int utilisation_shift = 16; /* log2(16 * 2^20) - 8 */

uint16_t read16(const uint8_t *at) {
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

uint64_t wall_clock_ms() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_usec) / 1000;
}

int32_t level_for(int32_t utilisation) {
    static const int32_t lower_bounds[] = {128, 166, 204, 243};
    int32_t level = 0;
    for (int32_t bound : lower_bounds) {
        level += utilisation >= bound;
    }
    return level;
}

/* A history whose utilisation now reads `utilisation`: every bucket holds
 * the same busy time, so the figure stays the same even if the driver's own
 * start falls in the next bucket and clears one. */
tovarel_activity_history *history_at(int32_t utilisation) {
    tovarel_activity_history *history = tovarel_activity_history_create(bucket_count, bucket_width);
    REFERENCE_CHECK(history != nullptr, 0);
    REFERENCE_CHECK(history->utilisation_shift == utilisation_shift, 0);
    _activity_history_start(history, wall_clock_ms());
    uint64_t busy = static_cast<uint64_t>(utilisation) << (utilisation_shift - bucket_count_log);
    for (uint64_t i = 0; i < history->bucket_count; i++) {
        history->buckets[i] = busy;
    }
    history->busy_total = busy * history->bucket_count;
    REFERENCE_CHECK(tovarel_activity_history_utilisation(history) == utilisation, 0);
    return history;
}

void check_history(const tovarel_activity_history *history) {
    uint64_t sum = 0;
    for (uint64_t i = 0; i < history->bucket_count; i++) {
        sum += history->buckets[i];
    }
    REFERENCE_CHECK(sum == history->busy_total, 0);
}

/*
 * Random old and new values share little, so most runs would end in the
 * replacement delta.  An edit script keeps them alike: groups of 4 bytes
 * (kind, position, count, byte) insert, erase or overwrite a few bytes, as
 * real versions of a value differ.
 */
std::vector<uint8_t> edit(const uint8_t *old_value, size_t old_length, const uint8_t *script,
                          size_t script_length) {
    constexpr size_t group = 4;
    constexpr unsigned max_count = 48;
    std::vector<uint8_t> value(old_value, old_value + old_length);
    for (size_t at = 0; at + group <= script_length; at += group) {
        size_t position = script[at + 1] * (value.size() + 1) / 256;
        size_t count = script[at + 2] % max_count;
        uint8_t byte = script[at + 3];
        switch (script[at] % 3) {
        case 0:
            value.insert(value.begin() + position, count, byte);
            break;
        case 1:
            count = count < value.size() - position ? count : value.size() - position;
            value.erase(value.begin() + position, value.begin() + position + count);
            break;
        default:
            for (size_t i = position; i < value.size() && i < position + count; i++) {
                value[i] = static_cast<uint8_t>(byte + i);
            }
        }
    }
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < header_size) {
        return 0;
    }
    int32_t utilisation = data[0] + data[0] / 4; /* 0 to 318: every level */
    bool with_history = (data[1] & 1) == 0;
    uint16_t cost = read16(data + 2);
    int32_t cost_limit = (cost & 0x8000) ? DIFF_DEFAULT_COST_LIMIT : (cost % 1024) - 1;
    uint16_t storage = read16(data + 4);
    int32_t storage_allowance =
        (storage & 0x8000) ? DIFF_DEFAULT_STORAGE_ALLOWANCE : storage % 4096;
    size_t rest = size - header_size;
    size_t old_length = read16(data + 6) % (rest + 1);

    const uint8_t *old_bytes = data + header_size;
    const uint8_t *tail = old_bytes + old_length;
    size_t tail_length = rest - old_length;
    std::vector<uint8_t> edited;
    if (data[1] & 2) {
        edited = edit(old_bytes, old_length, tail, tail_length);
        tail = edited.data();
        tail_length = edited.size();
    }
    buf old_value{delta_checks::exact_copy(old_bytes, old_length), old_length, old_length};
    buf new_value{delta_checks::exact_copy(tail, tail_length), tail_length, tail_length};

    buf *delta;
    if (with_history) {
        tovarel_activity_history *history = history_at(utilisation);
        delta = diff_generate_binary_with_activity_history_ex(history, &old_value, &new_value,
                                                              storage_allowance, cost_limit);
        REFERENCE_CHECK(
            tovarel_activity_history_get_last_delta_quality(history) == level_for(utilisation), 0);
        check_history(history);
        tovarel_activity_history_free(history);
    } else {
        delta = diff_generate_binary_ex(&old_value, &new_value, storage_allowance, cost_limit);
    }
    REFERENCE_CHECK(delta != nullptr, 0);
    delta_checks::check_delta(old_value, new_value, *delta);
    buf_free(delta);
    free(old_value.data);
    free(new_value.data);
    return 0;
}
