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

} // namespace tovarel::cbor

#endif /* TOVAREL_BINDINGS_PYTHON_CBOR_ORDER_H */
