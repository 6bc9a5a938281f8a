/*
 * bit_stream.hpp - the bit writer and bit reader under the entropy coders.
 *
 * Bits are packed least significant first: the first bit written is bit 0
 * of the first byte.  A field of n bits is written with its own bit 0
 * first, so a reader that keeps a little-endian window of the bytes takes
 * a field with one shift and one mask.
 *
 * Internal to the core (C++ only): the decoders inline these on their
 * hottest path, and nothing outside the core reads bits.
 */
#ifndef TOVAREL_BIT_STREAM_HPP
#define TOVAREL_BIT_STREAM_HPP

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "buf_compare.hpp"

namespace tovarel {

/* The widest field that put() and take() move at once: after a refill the
 * window holds at least 56 bits, enough for a code and its extra bits. */
constexpr unsigned BIT_FIELD_MAX = 32;
constexpr unsigned BIT_WINDOW_FULL = 56;

/*
 * Collects bits into a block from the C allocator.  A block that cannot
 * grow sets `failed` and drops every later write, so the caller checks
 * once, at the end, and never mistakes a failed write for a short stream.
 */
struct bit_writer {
    uint8_t *data = nullptr;
    uint64_t len = 0;
    uint64_t capacity = 0;
    uint64_t window = 0;
    unsigned count = 0;
    bool failed = false;

    bit_writer() = default;
    bit_writer(const bit_writer &) = delete;
    bit_writer &operator=(const bit_writer &) = delete;
    ~bit_writer() { free(data); }

    /* Room for `more` bytes beyond len; doubles, so appends stay linear. */
    bool reserve(uint64_t more) {
        if (failed) {
            return false;
        }
        if (len + more <= capacity) {
            return true;
        }
        uint64_t grown = (len + more) * 2 + 64;
        auto *block = static_cast<uint8_t *>(realloc(data, grown));
        if (block == nullptr) {
            failed = true;
            return false;
        }
        data = block;
        capacity = grown;
        return true;
    }

    /* Appends the low `bits` bits of value (bits <= BIT_FIELD_MAX). */
    void put(uint64_t value, unsigned bits) {
        window |= (value & ((uint64_t{1} << bits) - 1)) << count;
        count += bits;
        if (count >= 32) {
            spill();
        }
    }

    /* Moves the window's low 32 bits out as four bytes, lowest first, in
     * one store: stored a byte at a time through `data`, each byte could
     * alias the writer's own fields, which were loaded again after it. */
    void spill() {
        uint64_t at = len;
        if (at + 4 <= capacity || reserve(4)) {
            auto word = static_cast<uint32_t>(window);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
            word = __builtin_bswap32(word);
#endif
            memcpy(data + at, &word, sizeof word);
            len = at + 4;
        }
        window >>= 32;
        count -= 32;
    }

    /* Writes out the bits still held, padding the last byte with zeros. */
    void flush() {
        while (count > 0) {
            if (!reserve(1)) {
                return;
            }
            data[len++] = static_cast<uint8_t>(window);
            window >>= 8;
            count = count >= 8 ? count - 8 : 0;
        }
        window = 0;
    }

    uint64_t bits_written() const { return len * 8 + count; }
};

/*
 * Reads fields from a span of bytes that it never reads outside.  Past the
 * end it supplies zero bytes and counts them, so a decoder can run its
 * loop without a bounds test per field and ask once, at a point where a
 * stream may end, whether it read more bits than there were.
 */
struct bit_reader {
    const uint8_t *data;
    uint64_t size;
    uint64_t next; /* the next byte to load, possibly past size */
    uint64_t window;
    unsigned count; /* valid bits in window */

    bit_reader(const uint8_t *bytes, uint64_t length)
        : data(bytes), size(length), next(0), window(0), count(0) {}

    /* Tops the window up to at least BIT_WINDOW_FULL bits.  Far from the
     * end it loads eight bytes at once and keeps the whole bytes that fit. */
    void refill() {
        if (count >= BIT_WINDOW_FULL) {
            return;
        }
        if (next + 8 <= size) {
            // The first byte of the stream is the window's lowest.
            window |= buf_load_little(data + next) << count;
            next += (63 - count) >> 3;
            count |= BIT_WINDOW_FULL;
            return;
        }
        while (count < BIT_WINDOW_FULL) {
            uint64_t byte = next < size ? data[next] : 0;
            window |= byte << count;
            next++;
            count += 8;
        }
    }

    /* The next `bits` bits without consuming them; needs a refill first. */
    uint64_t peek(unsigned bits) const { return window & ((uint64_t{1} << bits) - 1); }

    void skip(unsigned bits) {
        window >>= bits;
        count -= bits;
    }

    /* Takes a field of `bits` bits (at most BIT_FIELD_MAX). */
    uint64_t take(unsigned bits) {
        refill();
        uint64_t value = peek(bits);
        skip(bits);
        return value;
    }

    uint64_t bits_consumed() const { return next * 8 - count; }

    /* Whether the decoder has consumed bits that the span does not have. */
    bool overrun() const { return bits_consumed() > size * 8; }

    /* Whether the stream ended exactly here: every byte used, and the bits
     * left in the last one (the writer's padding) all zero. */
    bool ends_cleanly() {
        uint64_t used = bits_consumed();
        if (used > size * 8 || (used + 7) / 8 != size) {
            return false;
        }
        unsigned padding = static_cast<unsigned>(size * 8 - used);
        return padding == 0 || take(padding) == 0;
    }
};

} // namespace tovarel

#endif /* TOVAREL_BIT_STREAM_HPP */
