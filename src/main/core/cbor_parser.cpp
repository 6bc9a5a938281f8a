/*
 * cbor_parser.cpp - the item-by-item CBOR tokenizer and its dispatch table.
 *
 * One call of cbor_next_val() looks up the parse function of the byte under
 * the cursor in cbor_jump_table and lets it fill a fresh item.  Every parse
 * function checks the bytes it needs against the unread count before it
 * touches them, so no input, however cut or corrupted, makes the parser read
 * outside [start, start + size).
 */
#include "cbor_parser.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

constexpr uint8_t ADDITIONAL_INFO_MASK = 0x1F;
constexpr int MAJOR_TYPE_SHIFT = 5;
constexpr uint64_t INDEFINITE_LENGTH = UINT64_MAX;

/* Width of an argument carried by the initial byte itself. */
constexpr unsigned IN_INITIAL_BYTE = 0;

/* Bits of the NaN that every NaN of a narrower width decodes to. */
constexpr uint64_t CANONICAL_NAN_BITS = 0x7FF8000000000000ULL;
constexpr uint64_t DOUBLE_SIGN_BIT = 0x8000000000000000ULL;
constexpr int DOUBLE_EXPONENT_BIAS = 1023;
constexpr unsigned DOUBLE_FRACTION_BITS = 52;

/* Single-precision patterns that get a decoding of their own. */
constexpr uint32_t SINGLE_POSITIVE_INFINITY = 0x7F800000;
constexpr uint32_t SINGLE_CANONICAL_NAN = 0x7FFC0000;

/* Half precision: 1 sign bit, 5 exponent bits, 10 fraction bits. */
constexpr unsigned HALF_FRACTION_BITS = 10;
constexpr unsigned HALF_EXPONENT_MASK = 0x1F;
constexpr unsigned HALF_FRACTION_MASK = 0x3FF;
constexpr unsigned HALF_SIGN_BIT = 0x8000;
constexpr unsigned HALF_EXPONENT_ALL_ONES = 0x1F;
constexpr int HALF_SUBNORMAL_SCALE = -24; /* fraction x 2^-24 */
constexpr int HALF_NORMAL_BIAS = 25;      /* (fraction + 1024) x 2^(exponent - 25) */

/* Tag heads 0xD8..0xDB carry the tag number in the following bytes. */
constexpr uint8_t FIRST_SIZED_ADDITIONAL_INFO = 24;
constexpr uint8_t LAST_SIZED_ADDITIONAL_INFO = 27;

/*
 * The unread count.  It is kept in 64 bits: a delta that replaces a value
 * of nearly 2 GiB is itself longer than 2^31 bytes, and a count cut to 32
 * bits would end such an input early and pass a truncated value for a whole
 * one.
 */
static uint64_t readable(const cbor_parser *parser) {
    uint64_t consumed = static_cast<uint64_t>(parser->cursor - parser->start);
    return parser->size - consumed;
}

/*
 * cbor_next_val() has always seen the initial byte, but the parse functions
 * are exported and may be called directly on an exhausted parser; they then
 * fail instead of stepping past the end.
 */
static int step_over_initial_byte(cbor_parser *parser) {
    if (readable(parser) < 1) {
        return -1;
    }
    parser->cursor++;
    return 0;
}

/*
 * Reads a head: the initial byte, then `width` argument bytes, most
 * significant first (or, for IN_INITIAL_BYTE, the low five bits of the
 * initial byte).  When the argument bytes are missing the cursor stays just
 * after the initial byte.
 */
static int read_head(cbor_parser *parser, uint8_t initial_byte, unsigned width,
                     uint64_t *argument) {
    if (step_over_initial_byte(parser) < 0) {
        return -1;
    }
    if (width == IN_INITIAL_BYTE) {
        *argument = initial_byte & ADDITIONAL_INFO_MASK;
        return 0;
    }
    if (readable(parser) < width) {
        return -1;
    }
    uint64_t value = 0;
    for (unsigned i = 0; i < width; i++) {
        value = value << 8 | parser->cursor[i];
    }
    parser->cursor += width;
    *argument = value;
    return 0;
}

static int parse_uint(cbor_parser *parser, cbor_val *item, uint8_t initial_byte, unsigned width) {
    uint64_t argument = 0;
    if (read_head(parser, initial_byte, width, &argument) < 0) {
        return -1;
    }
    item->value.uint = argument;
    return 0;
}

/* An argument of 2^63 or more has no signed value; its complement is kept
 * bit for bit, which the modular conversion to int64_t does. */
static int parse_negint(cbor_parser *parser, cbor_val *item, uint8_t initial_byte, unsigned width) {
    uint64_t argument = 0;
    if (read_head(parser, initial_byte, width, &argument) < 0) {
        return -1;
    }
    item->value.sint = static_cast<int64_t>(~argument);
    return 0;
}

/* Arrays and maps: the count is all the head holds; the elements follow. */
static int parse_count(cbor_parser *parser, cbor_val *item, uint8_t initial_byte, unsigned width) {
    uint64_t count = 0;
    if (read_head(parser, initial_byte, width, &count) < 0) {
        return -1;
    }
    item->length = count;
    return 0;
}

/*
 * A string gets a heap copy of its own, so that the item outlives the input.
 * The declared length is checked against the unread bytes before anything
 * is allocated: a corrupt head claiming 2^64 bytes costs nothing.  A text
 * string's copy carries a terminating zero for C readers.  The block is
 * never of size 0, so a null result always means the allocator refused.
 */
static int parse_string(cbor_parser *parser, cbor_val *item, uint8_t initial_byte, unsigned width,
                        bool is_text) {
    uint64_t length = 0;
    if (read_head(parser, initial_byte, width, &length) < 0) {
        return -1;
    }
    item->length = length;
    if (length > readable(parser)) {
        return -1;
    }
    uint64_t block_size = is_text || length == 0 ? length + 1 : length;
    auto *copy = static_cast<uint8_t *>(malloc(block_size));
    if (copy == nullptr) {
        return -1;
    }
    memcpy(copy, parser->cursor, length);
    if (is_text) {
        copy[length] = 0;
    }
    item->value.bytes = copy;
    parser->cursor += length;
    return 0;
}

static int parse_byte_string(cbor_parser *parser, cbor_val *item, uint8_t initial_byte,
                             unsigned width) {
    return parse_string(parser, item, initial_byte, width, false);
}

static int parse_text_string(cbor_parser *parser, cbor_val *item, uint8_t initial_byte,
                             unsigned width) {
    return parse_string(parser, item, initial_byte, width, true);
}

/* The chunks or elements of an indefinite item are the following items. */
static int parse_indefinite(cbor_parser *parser, cbor_val *item) {
    if (step_over_initial_byte(parser) < 0) {
        return -1;
    }
    item->length = INDEFINITE_LENGTH;
    parser->in_indefinite = 1;
    return 0;
}

/* Items that are their initial byte alone: simple values, reserved bytes. */
static int parse_one_byte(cbor_parser *parser) {
    return step_over_initial_byte(parser);
}

static double double_from_bits(uint64_t bits) {
    double value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

static uint64_t bits_from_double(double value) {
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    return bits;
}

/* 2^exponent, for exponents of normal doubles: built from its bits, since
 * a library call per decoded float costs more than the rest of its work. */
static double power_of_two(int exponent) {
    return double_from_bits(static_cast<uint64_t>(exponent + DOUBLE_EXPONENT_BIAS)
                            << DOUBLE_FRACTION_BITS);
}

/*
 * Half precision has no C type, so it is decoded by hand.  The magnitude is
 * built first and the sign bit copied onto it afterwards, which gives -0.0
 * and keeps the sign of a NaN.  Scaling an integer of at most 11 bits by a
 * power of two is exact, as ldexp would be.
 */
static double decode_half(unsigned half) {
    unsigned exponent = half >> HALF_FRACTION_BITS & HALF_EXPONENT_MASK;
    unsigned fraction = half & HALF_FRACTION_MASK;
    double magnitude;
    if (exponent == 0) {
        magnitude = fraction * power_of_two(HALF_SUBNORMAL_SCALE);
    } else if (exponent == HALF_EXPONENT_ALL_ONES) {
        magnitude = fraction == 0 ? INFINITY : double_from_bits(CANONICAL_NAN_BITS);
    } else {
        magnitude = (fraction + (1u << HALF_FRACTION_BITS)) *
                    power_of_two(static_cast<int>(exponent) - HALF_NORMAL_BIAS);
    }
    uint64_t bits = bits_from_double(magnitude);
    if (half & HALF_SIGN_BIT) {
        bits |= DOUBLE_SIGN_BIT;
    }
    return double_from_bits(bits);
}

static double decode_single(uint32_t bits) {
    if (bits == SINGLE_POSITIVE_INFINITY) {
        return INFINITY;
    }
    if (bits == SINGLE_CANONICAL_NAN) {
        return double_from_bits(CANONICAL_NAN_BITS);
    }
    float value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

TOVAREL_BEGIN_DECLS

cbor_parser *cbor_parser_create(const void *data, uint64_t size) {
    auto *parser = static_cast<cbor_parser *>(calloc(1, sizeof(cbor_parser)));
    if (parser == nullptr) {
        return nullptr;
    }
    parser->start = static_cast<const uint8_t *>(data);
    parser->size = size;
    parser->cursor = parser->start;
    return parser;
}

void cbor_parser_free(cbor_parser *parser) {
    free(parser);
}

int32_t cbor_parser_available_bytes(const cbor_parser *parser) {
    if (parser == nullptr) {
        return 0;
    }
    // Larger counts saturate rather than wrap to a small or negative one.
    uint64_t count = readable(parser);
    return count > INT32_MAX ? INT32_MAX : static_cast<int32_t>(count);
}

cbor_val *cbor_val_create(void) {
    return static_cast<cbor_val *>(calloc(1, sizeof(cbor_val)));
}

/* Only strings own memory besides the record; every other kind keeps a
 * number in the union, which must not be taken for a pointer. */
void cbor_val_free(cbor_val *item) {
    if (item == nullptr) {
        return;
    }
    if (item->major_type == 2 || item->major_type == 3) {
        free(item->value.bytes);
    }
    free(item);
}

cbor_val *cbor_next_val(cbor_parser *parser) {
    if (parser == nullptr || readable(parser) == 0) {
        return nullptr;
    }
    uint8_t initial_byte = *parser->cursor;
    cbor_val *item = cbor_val_create();
    if (item == nullptr) {
        return nullptr;
    }
    item->initial_byte = initial_byte;
    item->major_type = initial_byte >> MAJOR_TYPE_SHIFT;
    if (cbor_jump_table[initial_byte](parser, item, initial_byte) < 0) {
        cbor_val_free(item);
        return nullptr;
    }
    return item;
}

int cbor_parse_head(cbor_parser *parser, uint8_t *initial_byte, uint64_t *argument) {
    if (readable(parser) == 0) {
        return -1;
    }
    uint8_t initial = *parser->cursor;
    uint8_t additional_info = initial & ADDITIONAL_INFO_MASK;
    unsigned width = IN_INITIAL_BYTE;
    if (additional_info >= FIRST_SIZED_ADDITIONAL_INFO &&
        additional_info <= LAST_SIZED_ADDITIONAL_INFO) {
        width = 1u << (additional_info - FIRST_SIZED_ADDITIONAL_INFO);
    }
    *initial_byte = initial;
    if (read_head(parser, initial, width, argument) < 0) {
        return -1;
    }
    if (additional_info > LAST_SIZED_ADDITIONAL_INFO) {
        *argument = 0;
    }
    return 0;
}

/*
 * The parse functions of the sized heads differ only in the handler and the
 * argument width, so each is defined by one line below.
 */
#define PARSE_WITH(name, handler, width)                                                           \
    int name(cbor_parser *parser, cbor_val *item, uint8_t initial_byte) {                          \
        return handler(parser, item, initial_byte, width);                                         \
    }

PARSE_WITH(cbor_parse_uint_small, parse_uint, IN_INITIAL_BYTE)
PARSE_WITH(cbor_parse_uint8, parse_uint, 1)
PARSE_WITH(cbor_parse_uint16, parse_uint, 2)
PARSE_WITH(cbor_parse_uint32, parse_uint, 4)
PARSE_WITH(cbor_parse_uint64, parse_uint, 8)
PARSE_WITH(cbor_parse_negint_small, parse_negint, IN_INITIAL_BYTE)
PARSE_WITH(cbor_parse_negint8, parse_negint, 1)
PARSE_WITH(cbor_parse_negint16, parse_negint, 2)
PARSE_WITH(cbor_parse_negint32, parse_negint, 4)
PARSE_WITH(cbor_parse_negint64, parse_negint, 8)
PARSE_WITH(cbor_parse_byte_string_small, parse_byte_string, IN_INITIAL_BYTE)
PARSE_WITH(cbor_parse_byte_string_uint8, parse_byte_string, 1)
PARSE_WITH(cbor_parse_byte_string_uint16, parse_byte_string, 2)
PARSE_WITH(cbor_parse_byte_string_uint32, parse_byte_string, 4)
PARSE_WITH(cbor_parse_byte_string_uint64, parse_byte_string, 8)
PARSE_WITH(cbor_parse_text_string_small, parse_text_string, IN_INITIAL_BYTE)
PARSE_WITH(cbor_parse_text_string_uint8, parse_text_string, 1)
PARSE_WITH(cbor_parse_text_string_uint16, parse_text_string, 2)
PARSE_WITH(cbor_parse_text_string_uint32, parse_text_string, 4)
PARSE_WITH(cbor_parse_text_string_uint64, parse_text_string, 8)
PARSE_WITH(cbor_parse_array_small, parse_count, IN_INITIAL_BYTE)
PARSE_WITH(cbor_parse_array_uint8, parse_count, 1)
PARSE_WITH(cbor_parse_array_uint16, parse_count, 2)
PARSE_WITH(cbor_parse_array_uint32, parse_count, 4)
PARSE_WITH(cbor_parse_array_uint64, parse_count, 8)
PARSE_WITH(cbor_parse_map_small, parse_count, IN_INITIAL_BYTE)
PARSE_WITH(cbor_parse_map_uint8, parse_count, 1)
PARSE_WITH(cbor_parse_map_uint16, parse_count, 2)
PARSE_WITH(cbor_parse_map_uint32, parse_count, 4)
PARSE_WITH(cbor_parse_map_uint64, parse_count, 8)

#undef PARSE_WITH

int cbor_parse_byte_string_indefinite(cbor_parser *parser, cbor_val *item, uint8_t) {
    return parse_indefinite(parser, item);
}

int cbor_parse_text_string_indefinite(cbor_parser *parser, cbor_val *item, uint8_t) {
    return parse_indefinite(parser, item);
}

int cbor_parse_array_indefinite(cbor_parser *parser, cbor_val *item, uint8_t) {
    return parse_indefinite(parser, item);
}

int cbor_parse_map_indefinite(cbor_parser *parser, cbor_val *item, uint8_t) {
    return parse_indefinite(parser, item);
}

/*
 * A tag head stands alone; the tagged item is the next one.  The one-byte
 * heads keep their number in the initial byte.  The sized heads keep it in
 * `value`, as an unsigned integer keeps its argument, since it could not be
 * had otherwise once the bytes are consumed.
 */
int cbor_parse_semantic_tag(cbor_parser *parser, cbor_val *item, uint8_t initial_byte) {
    uint8_t additional_info = initial_byte & ADDITIONAL_INFO_MASK;
    if (additional_info < FIRST_SIZED_ADDITIONAL_INFO ||
        additional_info > LAST_SIZED_ADDITIONAL_INFO) {
        return parse_one_byte(parser);
    }
    unsigned width = 1u << (additional_info - FIRST_SIZED_ADDITIONAL_INFO);
    return parse_uint(parser, item, initial_byte, width);
}

/*
 * Simple values this parser has no meaning for are still delivered, so a
 * reader that skips what it does not know keeps going; the line on standard
 * error is the only trace.  For 0xF8 the value byte is left to be read as
 * the next item.
 */
int cbor_parse_unimplemented(cbor_parser *parser, cbor_val *, uint8_t initial_byte) {
    if (parse_one_byte(parser) < 0) {
        return -1;
    }
    fprintf(stderr, "Unimplemented CBOR code: %02x\n", initial_byte);
    return 0;
}

int cbor_parse_false(cbor_parser *parser, cbor_val *, uint8_t) {
    return parse_one_byte(parser);
}

int cbor_parse_true(cbor_parser *parser, cbor_val *, uint8_t) {
    return parse_one_byte(parser);
}

int cbor_parse_null(cbor_parser *parser, cbor_val *, uint8_t) {
    return parse_one_byte(parser);
}

int cbor_parse_undefined(cbor_parser *parser, cbor_val *, uint8_t) {
    return parse_one_byte(parser);
}

int cbor_parse_float16(cbor_parser *parser, cbor_val *item, uint8_t initial_byte) {
    uint64_t bits = 0;
    if (read_head(parser, initial_byte, 2, &bits) < 0) {
        return -1;
    }
    item->value.real = decode_half(static_cast<unsigned>(bits));
    return 0;
}

int cbor_parse_float32(cbor_parser *parser, cbor_val *item, uint8_t initial_byte) {
    uint64_t bits = 0;
    if (read_head(parser, initial_byte, 4, &bits) < 0) {
        return -1;
    }
    item->value.real = decode_single(static_cast<uint32_t>(bits));
    return 0;
}

int cbor_parse_float64(cbor_parser *parser, cbor_val *item, uint8_t initial_byte) {
    uint64_t bits = 0;
    if (read_head(parser, initial_byte, 8, &bits) < 0) {
        return -1;
    }
    item->value.real = double_from_bits(bits);
    return 0;
}

int cbor_parse_break(cbor_parser *parser, cbor_val *, uint8_t) {
    if (step_over_initial_byte(parser) < 0) {
        return -1;
    }
    parser->in_indefinite = 0;
    return 0;
}

/* Reserved bytes are skipped as one-byte items; their major type stays, so
 * 0x1C..0x1F read as the integer 0 and 0x5C..0x5E as empty strings. */
int cbor_parse_reserved(cbor_parser *parser, cbor_val *, uint8_t) {
    return parse_one_byte(parser);
}

/*
 * The table by initial byte.  Major types 0 to 5 share one layout:
 * additional information 0..23 small, 24..27 sized, 28..30 reserved, 31
 * indefinite (reserved for the integers).
 */
#define REPEAT4(f) f, f, f, f
#define REPEAT20(f) REPEAT4(f), REPEAT4(f), REPEAT4(f), REPEAT4(f), REPEAT4(f)
#define REPEAT24(f) REPEAT20(f), REPEAT4(f)
#define MAJOR_TYPE_ROW(small, sized8, sized16, sized32, sized64, last)                             \
    REPEAT24(small), sized8, sized16, sized32, sized64, cbor_parse_reserved, cbor_parse_reserved,  \
        cbor_parse_reserved, last

const cbor_parse_function cbor_jump_table[256] = {
    /* 0x00..0x1F unsigned integers */
    MAJOR_TYPE_ROW(cbor_parse_uint_small, cbor_parse_uint8, cbor_parse_uint16, cbor_parse_uint32,
                   cbor_parse_uint64, cbor_parse_reserved),
    /* 0x20..0x3F negative integers */
    MAJOR_TYPE_ROW(cbor_parse_negint_small, cbor_parse_negint8, cbor_parse_negint16,
                   cbor_parse_negint32, cbor_parse_negint64, cbor_parse_reserved),
    /* 0x40..0x5F byte strings */
    MAJOR_TYPE_ROW(cbor_parse_byte_string_small, cbor_parse_byte_string_uint8,
                   cbor_parse_byte_string_uint16, cbor_parse_byte_string_uint32,
                   cbor_parse_byte_string_uint64, cbor_parse_byte_string_indefinite),
    /* 0x60..0x7F text strings */
    MAJOR_TYPE_ROW(cbor_parse_text_string_small, cbor_parse_text_string_uint8,
                   cbor_parse_text_string_uint16, cbor_parse_text_string_uint32,
                   cbor_parse_text_string_uint64, cbor_parse_text_string_indefinite),
    /* 0x80..0x9F arrays */
    MAJOR_TYPE_ROW(cbor_parse_array_small, cbor_parse_array_uint8, cbor_parse_array_uint16,
                   cbor_parse_array_uint32, cbor_parse_array_uint64, cbor_parse_array_indefinite),
    /* 0xA0..0xBF maps */
    MAJOR_TYPE_ROW(cbor_parse_map_small, cbor_parse_map_uint8, cbor_parse_map_uint16,
                   cbor_parse_map_uint32, cbor_parse_map_uint64, cbor_parse_map_indefinite),
    /* 0xC0..0xDF tags */
    REPEAT24(cbor_parse_semantic_tag), REPEAT4(cbor_parse_semantic_tag),
    REPEAT4(cbor_parse_reserved),
    /* 0xE0..0xFF simple values and floats */
    REPEAT20(cbor_parse_unimplemented), cbor_parse_false, cbor_parse_true, cbor_parse_null,
    cbor_parse_undefined, cbor_parse_unimplemented, cbor_parse_float16, cbor_parse_float32,
    cbor_parse_float64, cbor_parse_reserved, cbor_parse_reserved, cbor_parse_reserved,
    cbor_parse_break};

#undef MAJOR_TYPE_ROW
#undef REPEAT24
#undef REPEAT20
#undef REPEAT4

TOVAREL_END_DECLS
