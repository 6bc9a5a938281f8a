/*
 * cbor_order.cpp - sorting encoded entries by their keys' bytes.
 *
 * The entries are sorted as spans of the buffer already written (each key
 * is encoded once, as it goes out), then copied once into their order.
 */
#include "cbor_order.h"

#include "cbor_deterministic.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace tovarel::cbor {

namespace {

/* The encoder's orders are the ones the deterministic reader checks, so
 * both go through one comparison. */
int compare_entries(const uint8_t *buffer, const EncodedEntry &a, const EncodedEntry &b,
                    KeyOrder order) {
    const int mode =
        order == KeyOrder::length_first ? CBOR_DETERMINISTIC_LENGTH_FIRST : CBOR_DETERMINISTIC_CORE;
    return cbor_deterministic_compare(mode, buffer + a.start, a.key_end - a.start, buffer + b.start,
                                      b.key_end - b.start);
}

} // namespace

bool key_before(const uint8_t *buffer, const EncodedEntry &a, const EncodedEntry &b,
                KeyOrder order) {
    return compare_entries(buffer, a, b, order) < 0;
}

bool order_entries(uint8_t *buffer, std::vector<EncodedEntry> &entries, KeyOrder order) {
    if (entries.size() < 2) {
        return true;
    }
    const auto before = [buffer, order](const EncodedEntry &a, const EncodedEntry &b) {
        return key_before(buffer, a, b, order);
    };
    const bool sorted = std::is_sorted(entries.begin(), entries.end(), before);
    if (!sorted) {
        std::sort(entries.begin(), entries.end(), before);
    }
    for (std::size_t i = 1; i < entries.size(); i++) {
        if (compare_entries(buffer, entries[i - 1], entries[i], order) == 0) {
            return false;
        }
    }
    if (sorted) {
        return true;
    }
    std::size_t first = entries[0].start;
    std::size_t last = entries[0].end;
    for (const EncodedEntry &entry : entries) {
        first = std::min(first, entry.start);
        last = std::max(last, entry.end);
    }
    std::vector<uint8_t> ordered;
    ordered.reserve(last - first);
    for (const EncodedEntry &entry : entries) {
        ordered.insert(ordered.end(), buffer + entry.start, buffer + entry.end);
    }
    memcpy(buffer + first, ordered.data(), ordered.size());
    return true;
}

namespace {

/* Maps up to this size are sorted by insertion: JSON-like objects have a
 * handful of keys, for which it makes fewer comparisons and moves than
 * std::sort's setup, and it is linear on keys already in order. */
constexpr std::size_t insertion_sort_limit = 16;

/* Three-way comparison of two keys in the order: the prefixes decide
 * unless they are equal, and then only the bytes past them are read. */
template <bool LengthFirst>
int compare_keys(const uint8_t *area, const SortKey &a, const SortKey &b) {
    if (LengthFirst && a.size != b.size) {
        return a.size < b.size ? -1 : 1;
    }
    if (a.prefix != b.prefix) {
        return a.prefix < b.prefix ? -1 : 1;
    }
    /* Equal prefixes: the first min(8, shorter) bytes are equal (the
     * padding of a short key matches only zero bytes of the other). */
    constexpr std::size_t prefix_bytes = sizeof(uint64_t);
    const std::size_t shorter = std::min(a.size, b.size);
    if (shorter > prefix_bytes) {
        const int compared = memcmp(area + a.offset + prefix_bytes, area + b.offset + prefix_bytes,
                                    shorter - prefix_bytes);
        if (compared != 0) {
            return compared;
        }
    }
    if (a.size == b.size) {
        return 0;
    }
    return a.size < b.size ? -1 : 1;
}

template <bool LengthFirst>
bool sort_keys_in(const uint8_t *area, SortKey *keys, std::size_t count) {
    const auto before = [area](const SortKey &a, const SortKey &b) {
        return compare_keys<LengthFirst>(area, a, b) < 0;
    };
    if (count <= insertion_sort_limit) {
        for (std::size_t i = 1; i < count; i++) {
            const SortKey key = keys[i];
            std::size_t j = i;
            while (j > 0 && before(key, keys[j - 1])) {
                keys[j] = keys[j - 1];
                --j;
            }
            keys[j] = key;
        }
    } else {
        std::sort(keys, keys + count, before);
    }
    for (std::size_t i = 1; i < count; i++) {
        if (compare_keys<LengthFirst>(area, keys[i - 1], keys[i]) == 0) {
            return false;
        }
    }
    return true;
}

} // namespace

bool sort_keys(const uint8_t *area, SortKey *keys, std::size_t count, KeyOrder order) {
    return order == KeyOrder::length_first ? sort_keys_in<true>(area, keys, count)
                                           : sort_keys_in<false>(area, keys, count);
}

} // namespace tovarel::cbor
