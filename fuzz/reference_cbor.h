/*
 * reference_cbor.h - a deliberately naive reader of single CBOR heads, used
 * by the fuzz harnesses as an oracle for the parser and the delta reader.
 *
 * It is written from the item rules alone, without the dispatch table, so a
 * mistake in one table entry or in one sized reader shows up as a
 * disagreement rather than being shared by the code and its check.
 */
#ifndef TOVAREL_FUZZ_REFERENCE_CBOR_H
#define TOVAREL_FUZZ_REFERENCE_CBOR_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace reference {

/* Stops the run with a message; libFuzzer turns the abort into a finding.
 * Written to descriptor 2 itself: the harnesses may point the stdio stream
 * stderr elsewhere to silence the parser. */
[[noreturn]] inline void fail(const char *what, size_t position) {
    dprintf(2, "oracle: %s (at input byte %zu)\n", what, position);
    abort();
}

#define REFERENCE_CHECK(condition, position)                                                       \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            reference::fail(#condition, (position));                                               \
        }                                                                                          \
    } while (0)

enum class kind {
    uint_item,  /* major type 0, reserved 0x1C..0x1F included (as 0) */
    negint,     /* major type 1 */
    string,     /* major types 2 and 3, definite or reserved (empty) */
    indefinite, /* 0x5F, 0x7F, 0x9F, 0xBF */
    container,  /* definite array or map head */
    float_item, /* 0xF9, 0xFA, 0xFB */
    brk,        /* 0xFF */
    other,      /* tags, simple values, reserved bytes of other types */
};

struct item {
    bool ok;         /* false: the parser must refuse this item */
    size_t consumed; /* bytes taken on success (head plus string bytes) */
    size_t resume;   /* where the cursor stands after a refusal */
    uint8_t initial;
    kind what;
    uint64_t argument; /* integer value, string length or element count */
    double real;       /* float value */
};

constexpr uint8_t additional_mask = 0x1F;
constexpr uint8_t first_sized = 24; /* additional information of a 1-byte argument */
constexpr uint8_t last_sized = 27;  /* ... of an 8-byte argument */
constexpr uint8_t indefinite_ai = 31;

inline uint64_t big_endian(const uint8_t *at, size_t width) {
    uint64_t value = 0;
    for (size_t i = 0; i < width; i++) {
        value = (value << 8) | at[i];
    }
    return value;
}

/* Half precision as RFC 8949 Appendix D decodes it, NaNs canonical. */
inline double half_to_double(uint16_t half) {
    int exponent = (half >> 10) & 0x1F;
    int fraction = half & 0x3FF;
    double value;
    if (exponent == 0) {
        value = std::ldexp(fraction, -24);
    } else if (exponent != 31) {
        value = std::ldexp(fraction + 1024, exponent - 25);
    } else if (fraction == 0) {
        value = INFINITY;
    } else {
        uint64_t bits = 0x7FF8000000000000ULL;
        memcpy(&value, &bits, sizeof value);
    }
    return (half & 0x8000) ? std::copysign(value, -1.0) : value;
}

inline double single_to_double(uint32_t bits) {
    if (bits == 0x7FFC0000U) {
        uint64_t canonical = 0x7FF8000000000000ULL;
        double value;
        memcpy(&value, &canonical, sizeof value);
        return value;
    }
    float single;
    memcpy(&single, &bits, sizeof single);
    return single;
}

/* Decodes the item at data[position]; position must be below size. */
inline item decode(const uint8_t *data, size_t size, size_t position) {
    item it{};
    it.initial = data[position];
    int major = it.initial >> 5;
    uint8_t ai = it.initial & additional_mask;
    size_t left = size - position - 1; /* bytes after the initial byte */
    it.resume = position + 1;
    it.consumed = 1;
    it.ok = true;

    if (major == 7) {
        size_t width = it.initial == 0xF9 ? 2 : it.initial == 0xFA ? 4 : it.initial == 0xFB ? 8 : 0;
        it.what = it.initial == 0xFF ? kind::brk : width ? kind::float_item : kind::other;
        if (width == 0) {
            return it;
        }
        if (left < width) {
            it.ok = false;
            return it;
        }
        uint64_t bits = big_endian(data + position + 1, width);
        if (width == 2) {
            it.real = half_to_double(static_cast<uint16_t>(bits));
        } else if (width == 4) {
            it.real = single_to_double(static_cast<uint32_t>(bits));
        } else {
            memcpy(&it.real, &bits, sizeof it.real);
        }
        it.consumed = 1 + width;
        return it;
    }

    bool reserved = ai > last_sized && !(ai == indefinite_ai && major >= 2 && major <= 5);
    if (major == 6 && ai == indefinite_ai) {
        reserved = true;
    }
    static const kind by_major[6] = {kind::uint_item, kind::negint,    kind::string,
                                     kind::string,    kind::container, kind::container};
    it.what = major == 6 ? kind::other : by_major[major];
    if (reserved) {
        /* One byte, read by its major type with a zero argument: an
         * unsigned 0, an empty string, nothing of any other kind. */
        if (major != 0 && major != 2 && major != 3) {
            it.what = kind::other;
        }
        return it;
    }
    if (ai == indefinite_ai) {
        it.what = kind::indefinite;
        it.argument = UINT64_MAX;
        return it;
    }
    size_t width = ai < first_sized ? 0 : size_t{1} << (ai - first_sized);
    if (left < width) {
        it.ok = false;
        return it;
    }
    it.argument = width ? big_endian(data + position + 1, width) : ai;
    it.consumed = 1 + width;
    if (it.what == kind::string) {
        it.resume = position + 1 + width;
        if (it.argument > left - width) {
            it.ok = false;
            return it;
        }
        it.consumed += static_cast<size_t>(it.argument);
    }
    return it;
}

} // namespace reference

#endif /* TOVAREL_FUZZ_REFERENCE_CBOR_H */
