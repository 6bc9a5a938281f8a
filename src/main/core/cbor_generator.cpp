/*
 * cbor_generator.cpp - CBOR output: heads in shortest form, strings, simple
 * values and floats in the narrowest exact width.
 *
 * The block grows geometrically, so a document of n bytes costs O(log n)
 * resizes rather than one per append.  A failed resize leaves data, len and
 * capacity as they were, so a writer that fails on its first byte leaves the
 * generator unchanged.
 */
#include "cbor_generator.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "cbor_parser.h"

static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559,
              "floats are written as their IEEE 754 bits");

constexpr int MAJOR_TYPE_SHIFT = 5;
constexpr uint64_t LARGEST_IMMEDIATE_ARGUMENT = 23;

/* Additional information of the sized heads. */
constexpr uint8_t ARGUMENT_UINT8 = 24;
constexpr uint8_t ARGUMENT_UINT16 = 25;
constexpr uint8_t ARGUMENT_UINT32 = 26;
constexpr uint8_t ARGUMENT_UINT64 = 27;
constexpr uint8_t ADDITIONAL_INFO_MASK = 0x1F;

constexpr uint8_t INITIAL_INDEFINITE_BYTE_STRING = 0x5F;
constexpr uint8_t INITIAL_INDEFINITE_TEXT_STRING = 0x7F;
constexpr uint8_t INITIAL_INDEFINITE_ARRAY = 0x9F;
constexpr uint8_t INITIAL_INDEFINITE_MAP = 0xBF;
constexpr uint8_t INITIAL_FALSE = 0xF4;
constexpr uint8_t INITIAL_TRUE = 0xF5;
constexpr uint8_t INITIAL_NULL = 0xF6;
constexpr uint8_t INITIAL_UNDEFINED = 0xF7;
constexpr uint8_t INITIAL_FLOAT16 = 0xF9;
constexpr uint8_t INITIAL_FLOAT32 = 0xFA;
constexpr uint8_t INITIAL_FLOAT64 = 0xFB;
constexpr uint8_t INITIAL_BREAK = 0xFF;

/* Single precision: 1 sign bit, 8 exponent bits, 23 fraction bits. */
constexpr unsigned SINGLE_SIGN_SHIFT = 31;
constexpr unsigned SINGLE_EXPONENT_SHIFT = 23;
constexpr uint32_t SINGLE_EXPONENT_MASK = 0xFF;
constexpr uint32_t SINGLE_FRACTION_MASK = 0x7FFFFF;
constexpr uint32_t SINGLE_EXPONENT_ALL_ONES = 0xFF;
constexpr uint32_t SINGLE_BIAS = 127;

/* Half precision: 1 sign bit, 5 exponent bits, 10 fraction bits. */
constexpr unsigned HALF_SIGN_SHIFT = 15;
constexpr unsigned HALF_EXPONENT_SHIFT = 10;
constexpr unsigned FRACTION_BITS_DROPPED = 23 - 10;
constexpr uint32_t HALF_EXPONENT_ZERO = 0x3C00; /* biased exponent of 2^0 */
constexpr uint32_t HALF_INFINITY = 0x7C00;
constexpr uint32_t HALF_NAN_CANDIDATE = 0xFC00;
constexpr uint32_t HALF_MASK = 0xFFFF;
/* The single exponents that the half's normal exponents 1..30 cover. */
constexpr uint32_t SINGLE_EXPONENT_SMALLEST_HALF = SINGLE_BIAS - 14;
constexpr uint32_t SINGLE_EXPONENT_LARGEST_HALF = SINGLE_BIAS + 15;
constexpr uint32_t DROPPED_FRACTION_MASK = (1u << FRACTION_BITS_DROPPED) - 1;
constexpr uint32_t SINGLE_MAGNITUDE_MASK = 0x7FFFFFFF;

/* The fixed forms of the values that have no finite bits to keep. */
constexpr uint8_t HALF_CANONICAL_NAN[] = {INITIAL_FLOAT16, 0x7E, 0x00};
constexpr uint8_t HALF_POSITIVE_INFINITY[] = {INITIAL_FLOAT16, 0x7C, 0x00};
constexpr uint8_t HALF_NEGATIVE_INFINITY[] = {INITIAL_FLOAT16, 0xFC, 0x00};

/* The fixed-width float writers report success with 1, the others with 0. */
constexpr int FLOAT_WRITTEN = 1;

/* Stores the initial byte and then `width` bytes of `value`, most
 * significant first; returns the item's length. */
static int store_fixed_width(uint8_t *item, uint8_t initial_byte, uint64_t value, unsigned width) {
    item[0] = initial_byte;
    for (unsigned i = 0; i < width; i++) {
        item[1 + i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
    }
    return static_cast<int>(1 + width);
}

/*
 * Writes a fixed-width float item as one append: a float item is either
 * written whole or not at all, which cbor_write_float relies on when it
 * reads its scratch items back.
 */
static int write_fixed_width(cbor_generator *generator, uint8_t initial_byte, uint64_t value,
                             unsigned width) {
    uint8_t item[1 + sizeof(uint64_t)];
    int length = store_fixed_width(item, initial_byte, value, width);
    if (_cbor_generator_write_bytes(generator, item, static_cast<uint64_t>(length)) < 0) {
        return -1;
    }
    return FLOAT_WRITTEN;
}

/* IEEE 754 round to nearest, ties to even; too large a value becomes an
 * infinity. */
static uint32_t single_bits(double value) {
    return std::bit_cast<uint32_t>(static_cast<float>(value));
}

/*
 * The half-precision candidate of a value, taken by truncation from its
 * single-precision rounding with no range check.  It is right for zeros and
 * for the values whose single exponent falls in the half's normal range and
 * whose dropped fraction bits are clear; for any other value it is some
 * other pattern (wrong magnitude or sign, or an infinity), which is why
 * cbor_write_float decodes it again before trusting it.  The exponent sum
 * is taken modulo 2^16 in unsigned arithmetic, where a wrap is defined.
 */
static uint32_t half_candidate(double value) {
    uint32_t bits = single_bits(value);
    uint32_t sign = bits >> SINGLE_SIGN_SHIFT;
    uint32_t exponent = bits >> SINGLE_EXPONENT_SHIFT & SINGLE_EXPONENT_MASK;
    uint32_t fraction = bits & SINGLE_FRACTION_MASK;
    if (exponent == SINGLE_EXPONENT_ALL_ONES) {
        return fraction != 0 ? HALF_NAN_CANDIDATE : sign << HALF_SIGN_SHIFT | HALF_INFINITY;
    }
    uint32_t half = sign << HALF_SIGN_SHIFT | fraction >> FRACTION_BITS_DROPPED;
    if (exponent != 0) {
        uint32_t rebiased = (exponent << HALF_EXPONENT_SHIFT) + HALF_EXPONENT_ZERO -
                            (SINGLE_BIAS << HALF_EXPONENT_SHIFT);
        half |= rebiased & HALF_MASK;
    }
    return half;
}

static int _cbor_write_float16(cbor_generator *generator, double value) {
    return write_fixed_width(generator, INITIAL_FLOAT16, half_candidate(value), 2);
}

/* Reads the next scratch item back as a double, provided that it is the
 * float kind that was written. */
static bool read_back(cbor_parser *parser, uint8_t initial_byte, double *value) {
    cbor_val *item = cbor_next_val(parser);
    bool found = item != nullptr && item->initial_byte == initial_byte;
    if (found) {
        *value = item->value.real;
    }
    cbor_val_free(item);
    return found;
}

/*
 * Writes a finite value in the narrowest exact width.  The three candidates
 * are written to a scratch generator and decoded again by the parser, so the
 * proof of exactness is the very decoding a reader will apply.  A candidate
 * whose write failed is simply not there, and the choice falls to the next
 * wider form; without the double item nothing can be proven.
 */
static int write_finite_float(cbor_generator *generator, double value) {
    cbor_generator *scratch = cbor_generator_create();
    if (scratch == nullptr) {
        return -1;
    }
    bool wrote_half = _cbor_write_float16(scratch, value) >= 0;
    bool wrote_single = cbor_write_float32(scratch, value) >= 0;
    bool wrote_double = cbor_write_float64(scratch, value) >= 0;

    double half = 0, single = 0, full = 0;
    bool have_half = false, have_single = false, have_double = false;
    cbor_parser *parser = cbor_parser_create(scratch->data, scratch->len);
    if (parser != nullptr) {
        have_half = wrote_half && read_back(parser, INITIAL_FLOAT16, &half);
        have_single = wrote_single && read_back(parser, INITIAL_FLOAT32, &single);
        have_double = wrote_double && read_back(parser, INITIAL_FLOAT64, &full);
    }
    cbor_parser_free(parser);
    cbor_generator_free(scratch);

    if (!have_double) {
        return -1;
    }
    if (!have_single || single != full) {
        return cbor_write_float64(generator, value);
    }
    if (!have_half || half != single) {
        return cbor_write_float32(generator, value);
    }
    return _cbor_write_float16(generator, value);
}

TOVAREL_BEGIN_DECLS

cbor_generator *cbor_generator_create(void) {
    return static_cast<cbor_generator *>(calloc(1, sizeof(cbor_generator)));
}

void cbor_generator_free(cbor_generator *generator) {
    if (generator == nullptr) {
        return;
    }
    free(generator->data);
    free(generator);
}

int _cbor_generator_write_byte(cbor_generator *generator, int byte) {
    uint8_t value = static_cast<uint8_t>(byte & 0xFF);
    return _cbor_generator_write_bytes(generator, &value, 1);
}

/* The first block is big enough for a few items, so that a generator
 * holding one small item (as the delta writers' do) is resized once. */
constexpr uint64_t FIRST_BLOCK = 64;
/* No object can be larger than the largest pointer difference. */
constexpr uint64_t LARGEST_BLOCK = PTRDIFF_MAX;

/*
 * Makes room for count more bytes.  The block at least doubles, so appends
 * cost amortised constant time; when the doubled block cannot be had, the
 * exact size is tried before giving up, so that the spare room never makes
 * a write fail that would fit.
 */
static bool reserve(cbor_generator *generator, uint64_t count) {
    if (count > LARGEST_BLOCK - generator->len) {
        return false;
    }
    uint64_t needed = generator->len + count;
    if (needed <= generator->capacity) {
        return true;
    }
    uint64_t doubled =
        generator->capacity <= LARGEST_BLOCK / 2 ? generator->capacity * 2 : LARGEST_BLOCK;
    uint64_t capacity = std::max({needed, doubled, FIRST_BLOCK});
    auto *block = static_cast<uint8_t *>(realloc(generator->data, capacity));
    if (block == nullptr && capacity != needed) {
        capacity = needed;
        block = static_cast<uint8_t *>(realloc(generator->data, capacity));
    }
    if (block == nullptr) {
        return false;
    }
    generator->data = block;
    generator->capacity = capacity;
    return true;
}

/* Nothing to append needs no room (and leaves a new generator's data null). */
int _cbor_generator_write_bytes(cbor_generator *generator, const void *source, uint64_t count) {
    if (generator == nullptr) {
        return -1;
    }
    if (count == 0) {
        return 0;
    }
    if (!reserve(generator, count)) {
        return -1;
    }
    memcpy(generator->data + generator->len, source, count);
    generator->len += count;
    return 0;
}

/* The head's bytes go out one at a time; the first that cannot be written
 * stops the head. */
int _cbor_write_uint_sized(cbor_generator *generator, uint8_t initial_byte, uint64_t argument) {
    unsigned width;
    switch (initial_byte & ADDITIONAL_INFO_MASK) {
    case ARGUMENT_UINT8:
        width = 1;
        break;
    case ARGUMENT_UINT16:
        width = 2;
        break;
    case ARGUMENT_UINT32:
        width = 4;
        break;
    case ARGUMENT_UINT64:
        width = 8;
        break;
    default:
        return _cbor_generator_write_byte(generator,
                                          static_cast<int>((initial_byte | argument) & 0xFF));
    }
    if (_cbor_generator_write_byte(generator, initial_byte) < 0) {
        return -1;
    }
    for (unsigned i = width; i-- > 0;) {
        if (_cbor_generator_write_byte(generator, static_cast<int>(argument >> (8 * i) & 0xFF)) <
            0) {
            return -1;
        }
    }
    return 0;
}

/* The shortest head for the argument: in the initial byte up to 23, else
 * the narrowest of 1, 2, 4 and 8 bytes that holds it. */
int _cbor_write_uint_helper(cbor_generator *generator, uint8_t major_type, uint64_t argument) {
    auto initial_byte = static_cast<uint8_t>(major_type << MAJOR_TYPE_SHIFT);
    if (argument <= LARGEST_IMMEDIATE_ARGUMENT) {
        return _cbor_write_uint_sized(generator, initial_byte, argument);
    }
    uint8_t additional_info = argument <= UINT8_MAX    ? ARGUMENT_UINT8
                              : argument <= UINT16_MAX ? ARGUMENT_UINT16
                              : argument <= UINT32_MAX ? ARGUMENT_UINT32
                                                       : ARGUMENT_UINT64;
    return _cbor_write_uint_sized(generator, initial_byte | additional_info, argument);
}

int cbor_write_uint(cbor_generator *generator, uint64_t value) {
    return _cbor_write_uint_helper(generator, CBOR_MAJOR_UINT, value);
}

/* The argument of a negative integer n is -1 - n, which in two's complement
 * is the bitwise complement of n. */
int cbor_write_negint(cbor_generator *generator, uint64_t value) {
    return _cbor_write_uint_helper(generator, CBOR_MAJOR_NEGINT, ~value);
}

/* A string's content is written only after its whole head. */
static int write_string(cbor_generator *generator, uint8_t major_type, uint8_t indefinite_head,
                        const void *source, uint64_t length) {
    if (length == CBOR_INDEFINITE) {
        return _cbor_generator_write_byte(generator, indefinite_head);
    }
    if (_cbor_write_uint_helper(generator, major_type, length) < 0) {
        return -1;
    }
    return _cbor_generator_write_bytes(generator, source, length);
}

int cbor_write_byte_string(cbor_generator *generator, const void *source, uint64_t length) {
    return write_string(generator, CBOR_MAJOR_BYTE_STRING, INITIAL_INDEFINITE_BYTE_STRING, source,
                        length);
}

int cbor_write_text_string(cbor_generator *generator, const void *source, uint64_t length) {
    return write_string(generator, CBOR_MAJOR_TEXT_STRING, INITIAL_INDEFINITE_TEXT_STRING, source,
                        length);
}

static int write_container(cbor_generator *generator, uint8_t major_type, uint8_t indefinite_head,
                           uint64_t count) {
    if (count == CBOR_INDEFINITE) {
        return _cbor_generator_write_byte(generator, indefinite_head);
    }
    return _cbor_write_uint_helper(generator, major_type, count);
}

int cbor_write_array(cbor_generator *generator, uint64_t count) {
    return write_container(generator, CBOR_MAJOR_ARRAY, INITIAL_INDEFINITE_ARRAY, count);
}

int cbor_write_map(cbor_generator *generator, uint64_t count) {
    return write_container(generator, CBOR_MAJOR_MAP, INITIAL_INDEFINITE_MAP, count);
}

int cbor_write_break(cbor_generator *generator) {
    return _cbor_generator_write_byte(generator, INITIAL_BREAK);
}

int cbor_write_false(cbor_generator *generator) {
    return _cbor_generator_write_byte(generator, INITIAL_FALSE);
}

int cbor_write_true(cbor_generator *generator) {
    return _cbor_generator_write_byte(generator, INITIAL_TRUE);
}

int cbor_write_null(cbor_generator *generator) {
    return _cbor_generator_write_byte(generator, INITIAL_NULL);
}

int cbor_write_undefined(cbor_generator *generator) {
    return _cbor_generator_write_byte(generator, INITIAL_UNDEFINED);
}

int cbor_write_float32(cbor_generator *generator, double value) {
    return write_fixed_width(generator, INITIAL_FLOAT32, single_bits(value), 4);
}

int cbor_write_float64(cbor_generator *generator, double value) {
    return write_fixed_width(generator, INITIAL_FLOAT64, std::bit_cast<uint64_t>(value), 8);
}

/*
 * NaNs and infinities have one fixed half form each (every NaN the same, so
 * payloads and signs do not leak into the output); they report 0 rather
 * than 1, and callers test only for a negative result.
 */
int cbor_write_float(cbor_generator *generator, double value) {
    if (generator == nullptr) {
        return -1;
    }
    if (std::isnan(value)) {
        return _cbor_generator_write_bytes(generator, HALF_CANONICAL_NAN,
                                           sizeof HALF_CANONICAL_NAN);
    }
    if (std::isinf(value)) {
        const uint8_t *form = value > 0 ? HALF_POSITIVE_INFINITY : HALF_NEGATIVE_INFINITY;
        return _cbor_generator_write_bytes(generator, form, sizeof HALF_POSITIVE_INFINITY);
    }
    return write_finite_float(generator, value);
}

/*
 * The width cbor_write_float proves by decoding, found from the bits: a
 * value keeps its single rounding exactly or needs a double; a single is
 * exact as a half when it is a zero or when its exponent lies in the half's
 * normal range and the fraction bits the half lacks are clear.  The half
 * candidate of any other single decodes to a different value (its exponent
 * wraps or lands on a subnormal or an infinity), so the proof rejects it
 * too; half subnormals are never written.
 */
int cbor_float_width(double value) {
    if (!std::isfinite(value)) {
        return 2;
    }
    float single = static_cast<float>(value);
    if (static_cast<double>(single) != value) {
        return 8;
    }
    uint32_t bits = std::bit_cast<uint32_t>(single);
    uint32_t exponent = bits >> SINGLE_EXPONENT_SHIFT & SINGLE_EXPONENT_MASK;
    bool zero = (bits & SINGLE_MAGNITUDE_MASK) == 0;
    bool half_normal = exponent >= SINGLE_EXPONENT_SMALLEST_HALF &&
                       exponent <= SINGLE_EXPONENT_LARGEST_HALF &&
                       (bits & DROPPED_FRACTION_MASK) == 0;
    return zero || half_normal ? 2 : 4;
}

int cbor_float_item(double value, uint8_t *item) {
    const uint8_t *fixed = std::isnan(value)    ? HALF_CANONICAL_NAN
                           : !std::isinf(value) ? nullptr
                           : value > 0          ? HALF_POSITIVE_INFINITY
                                                : HALF_NEGATIVE_INFINITY;
    if (fixed != nullptr) {
        memcpy(item, fixed, sizeof HALF_CANONICAL_NAN);
        return sizeof HALF_CANONICAL_NAN;
    }
    switch (cbor_float_width(value)) {
    case 2:
        return store_fixed_width(item, INITIAL_FLOAT16, half_candidate(value), 2);
    case 4:
        return store_fixed_width(item, INITIAL_FLOAT32, single_bits(value), 4);
    default:
        return store_fixed_width(item, INITIAL_FLOAT64, std::bit_cast<uint64_t>(value), 8);
    }
}

TOVAREL_END_DECLS
