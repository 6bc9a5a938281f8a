/*
 * cbor_order.h - the orders of deterministic CBOR (RFC 8949 section 4.2):
 * map entries, and a set's elements, rearranged by their keys' encodings.
 */
#ifndef TOVAREL_BINDINGS_PYTHON_CBOR_ORDER_H
#define TOVAREL_BINDINGS_PYTHON_CBOR_ORDER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tovarel::cbor {

enum class KeyOrder : uint8_t {
    none,         /* insertion order */
    core,         /* section 4.2.1: bytewise lexicographic */
    length_first, /* section 4.2.3: shorter first, then bytewise */
};

/* One entry written into a buffer: its key's encoding is [start, key_end),
 * the whole entry (key and value) [start, end). */
struct EncodedEntry {
    std::size_t start;
    std::size_t key_end;
    std::size_t end;
};

/* Whether key a comes before key b in the order (both in buffer). */
bool key_before(const uint8_t *buffer, const EncodedEntry &a, const EncodedEntry &b,
                KeyOrder order);

/*
 * Rearranges the entries, which lie back to back in buffer from
 * entries[0].start to entries.back().end, into the order.  Returns false,
 * leaving the buffer as it was, when two keys have the same encoding
 * (a map with that key twice would not be valid CBOR).
 */
bool order_entries(uint8_t *buffer, std::vector<EncodedEntry> &entries, KeyOrder order);

/*
 * A key (or a set element) whose encoding lies in a scratch area at
 * [offset, offset + size), as dumps' fast path sorts them.  prefix holds
 * its first eight bytes as a big-endian number, zero-padded, so that most
 * comparisons are one integer comparison and never read the scratch area;
 * index is the caller's (where the map value to write after it is).
 */
struct SortKey {
    uint64_t prefix;
    std::size_t offset;
    std::size_t size;
    std::size_t index;
};

/* The prefix of a SortKey for the encoding [key, key + size). */
inline uint64_t sort_key_prefix(const uint8_t *key, std::size_t size) {
    constexpr std::size_t prefix_bytes = sizeof(uint64_t);
    uint64_t prefix = 0;
    const std::size_t taken = size < prefix_bytes ? size : prefix_bytes;
    for (std::size_t i = 0; i < prefix_bytes; i++) {
        prefix = (prefix << 8) | (i < taken ? key[i] : 0);
    }
    return prefix;
}

/*
 * Sorts keys[0, count) into the order (not none) by the encodings they
 * point to in area.  Returns false when two of them have the same
 * encoding; the keys are then sorted but the caller must not write them.
 */
bool sort_keys(const uint8_t *area, SortKey *keys, std::size_t count, KeyOrder order);

} // namespace tovarel::cbor

#endif /* TOVAREL_BINDINGS_PYTHON_CBOR_ORDER_H */
