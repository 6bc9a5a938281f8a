/*
 * delta_checks.h - what every delta generator promises its callers,
 * checked item by item against a reference decoder; shared by the
 * harnesses that generate deltas.
 *
 *   - applying the delta to the old value gives the new value back; the
 *     no-change delta 0xF6 must come exactly for equal values of 2 bytes or
 *     more, and applying it gives the old value;
 *   - the delta is never longer than the replacement delta, and any delta
 *     other than the replacement delta is strictly shorter than the new
 *     value;
 *   - the delta is made only of what the writer promises: copy pairs of
 *     non-zero length inside the old value and definite byte strings of
 *     non-zero length, all with shortest heads, no two strings adjacent.
 */
#ifndef TOVAREL_FUZZ_DELTA_CHECKS_H
#define TOVAREL_FUZZ_DELTA_CHECKS_H

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "buf.h"
#include "diff_apply.h"
#include "reference_cbor.h"

namespace delta_checks {

using reference::kind;

inline size_t head_size(uint64_t argument) {
    return argument < 24            ? 1
           : argument < 256         ? 2
           : argument < 65536       ? 3
           : argument <= UINT32_MAX ? 5
                                    : 9;
}

/* Walks a delta that is neither whole-value form and checks the writer's
 * promises item by item; returns the value it rebuilds. */
inline std::vector<uint8_t> strict_apply(const buf &old_value, const buf &delta) {
    std::vector<uint8_t> out;
    size_t position = 0;
    bool last_was_string = false;
    while (position < delta.len) {
        reference::item it = reference::decode(delta.data, delta.len, position);
        REFERENCE_CHECK(it.ok, position);
        if (it.what == kind::uint_item) {
            REFERENCE_CHECK((it.initial & 0x1F) < 28, position);
            REFERENCE_CHECK(it.consumed == head_size(it.argument), position);
            position += it.consumed;
            REFERENCE_CHECK(position < delta.len, position);
            reference::item count = reference::decode(delta.data, delta.len, position);
            REFERENCE_CHECK(count.ok && count.what == kind::uint_item, position);
            REFERENCE_CHECK(count.initial >> 5 == 0 && (count.initial & 0x1F) < 28, position);
            REFERENCE_CHECK(count.consumed == head_size(count.argument), position);
            REFERENCE_CHECK(count.argument > 0, position);
            REFERENCE_CHECK(it.argument < old_value.len &&
                                count.argument <= old_value.len - it.argument,
                            position);
            out.insert(out.end(), old_value.data + it.argument,
                       old_value.data + it.argument + count.argument);
            position += count.consumed;
            last_was_string = false;
        } else {
            REFERENCE_CHECK(it.what == kind::string && (it.initial >> 5) == 2, position);
            REFERENCE_CHECK((it.initial & 0x1F) < 28 && it.argument > 0, position);
            REFERENCE_CHECK(it.consumed - it.argument == head_size(it.argument), position);
            REFERENCE_CHECK(!last_was_string, position);
            const uint8_t *bytes = delta.data + position + it.consumed - it.argument;
            out.insert(out.end(), bytes, bytes + it.argument);
            position += it.consumed;
            last_was_string = true;
        }
    }
    return out;
}

inline void check_delta(const buf &old_value, const buf &new_value, const buf &delta) {
    size_t replacement_length = head_size(new_value.len) + new_value.len;
    REFERENCE_CHECK(delta.len > 0 && delta.len <= replacement_length, 0);
    bool equal = old_value.len == new_value.len &&
                 (new_value.len == 0 || memcmp(old_value.data, new_value.data, new_value.len) == 0);
    bool no_change = equal && new_value.len >= 2;
    if (no_change) {
        REFERENCE_CHECK(delta.len == 1 && delta.data[0] == DIFF_NO_CHANGE, 0);
    }
    bool replacement =
        delta.len == replacement_length && delta.data[0] >> 5 == 2 &&
        delta.len - head_size(new_value.len) == new_value.len &&
        memcmp(delta.data + head_size(new_value.len), new_value.data, new_value.len) == 0;
    if (!replacement && !no_change) {
        REFERENCE_CHECK(delta.len < new_value.len, 0);
        std::vector<uint8_t> rebuilt = strict_apply(old_value, delta);
        REFERENCE_CHECK(rebuilt.size() == new_value.len, 0);
        REFERENCE_CHECK(memcmp(rebuilt.data(), new_value.data, new_value.len) == 0, 0);
    }
    /* Whatever the form, the reader of the core must agree. */
    buf *applied = diff_apply_binary(&old_value, &delta);
    REFERENCE_CHECK(applied != nullptr, 0);
    REFERENCE_CHECK(applied->len == new_value.len, 0);
    REFERENCE_CHECK(new_value.len == 0 || memcmp(applied->data, new_value.data, new_value.len) == 0,
                    0);
    buf_free(applied);
}

/* A copy in a block of exactly its size, so that a read past its end is
 * caught. */
inline uint8_t *exact_copy(const uint8_t *data, size_t size) {
    uint8_t *block = static_cast<uint8_t *>(malloc(size == 0 ? 1 : size));
    REFERENCE_CHECK(block != nullptr, 0);
    if (size > 0) {
        memcpy(block, data, size);
    }
    return block;
}

} // namespace delta_checks

#endif /* TOVAREL_FUZZ_DELTA_CHECKS_H */
