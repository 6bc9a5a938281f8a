/*
 * cbor_order.cpp - sorting encoded entries by their keys' bytes.
 *
 * The entries are sorted as spans of the buffer already written (each key
 * is encoded once, as it goes out), then copied once into their order.
 */
#include "cbor_order.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace tovarel::cbor {

bool key_before(const uint8_t *buffer, const EncodedEntry &a, const EncodedEntry &b,
                KeyOrder order) {
    const std::size_t a_size = a.key_end - a.start;
    const std::size_t b_size = b.key_end - b.start;
    if (order == KeyOrder::length_first && a_size != b_size) {
        return a_size < b_size;
    }
    const int compared = memcmp(buffer + a.start, buffer + b.start, std::min(a_size, b_size));
    return compared != 0 ? compared < 0 : a_size < b_size;
}

namespace {

bool same_key(const uint8_t *buffer, const EncodedEntry &a, const EncodedEntry &b) {
    return a.key_end - a.start == b.key_end - b.start &&
           memcmp(buffer + a.start, buffer + b.start, a.key_end - a.start) == 0;
}

} // namespace

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
        if (same_key(buffer, entries[i - 1], entries[i])) {
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

} // namespace tovarel::cbor
