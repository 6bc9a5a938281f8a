/*
 * cbor_parser.h - an item-by-item CBOR (RFC 8949) tokenizer.
 *
 * Each cbor_next_val() call decodes one head (and a string's bytes) into a
 * fresh cbor_val owned by the caller.  Containers, tags and indefinite
 * items come back as their head alone; what they hold follows as the next
 * items.  Dispatch goes through cbor_jump_table, one parse function per
 * initial byte.
 *
 * The input is borrowed and must stay unchanged while the parser is used.
 * The parser never reads outside it; string items carry their own heap copy
 * of the bytes, so they outlive the input.
 */
#ifndef TOVAREL_CBOR_PARSER_H
#define TOVAREL_CBOR_PARSER_H

#include <stdint.h>
#include <string.h>

#include "export.h"

TOVAREL_BEGIN_DECLS

typedef struct cbor_parser {
    const uint8_t *start;  /* first input byte (borrowed) */
    uint64_t size;         /* number of input bytes */
    const uint8_t *cursor; /* next unread byte */
    int32_t in_indefinite; /* 1 after an indefinite head, 0 after a break */
} cbor_parser;

typedef struct cbor_val {
    uint8_t initial_byte;
    int32_t major_type; /* initial_byte >> 5 */
    union {
        uint64_t uint;  /* major type 0 */
        int64_t sint;   /* major type 1: -1 - argument */
        uint8_t *bytes; /* major types 2 and 3: owned copy (text: NUL after) */
        double real;    /* 0xF9, 0xFA, 0xFB */
    } value;
    uint64_t length; /* string bytes, array elements, map pairs; all ones for
                        an indefinite head */
} cbor_val;

typedef int (*cbor_parse_function)(cbor_parser *parser, cbor_val *item, uint8_t initial_byte);

TOVAREL_API extern const cbor_parse_function cbor_jump_table[256];

TOVAREL_API cbor_parser *cbor_parser_create(const void *data, uint64_t size);
TOVAREL_API void cbor_parser_free(cbor_parser *parser);
TOVAREL_API int32_t cbor_parser_available_bytes(const cbor_parser *parser);
TOVAREL_API cbor_val *cbor_val_create(void);
TOVAREL_API void cbor_val_free(cbor_val *item);
TOVAREL_API cbor_val *cbor_next_val(cbor_parser *parser);

/*
 * Reads the head under the cursor (initial byte and argument) and moves past
 * it, leaving a string's content unread and uncopied for the caller.  The
 * argument is the low five bits for additional information 0..23 and the
 * following 1, 2, 4 or 8 bytes for 24..27; 28..31 carry none (0).  Returns
 * 0, or -1 when the input ends inside the head.
 */
TOVAREL_API int cbor_parse_head(cbor_parser *parser, uint8_t *initial_byte, uint64_t *argument);

/*
 * Reads the head that starts at cursor, which must lie before end, for
 * readers that take heads straight from their input (as cbor_head_encode
 * writes them for writers).  Stores the argument and returns the head's
 * size: 1 for additional information 0..23, 2, 3, 5 or 9 for 24..27.
 * Returns 0 when the head needs bytes beyond end, and for 28..31, which
 * carry no argument (reserved, or an indefinite length or break that the
 * caller tells apart by the initial byte).
 */
static inline __attribute__((always_inline)) unsigned
cbor_head_decode(const uint8_t *cursor, const uint8_t *end, uint64_t *argument) {
    /* Always inlined, each width one load and one byte swap: the decoders
     * read a head per item, and a call per head is a tenth of their time
     * on lists of small values. */
    const unsigned info = cursor[0] & 0x1Fu;
    if (info < 24) {
        *argument = info;
        return 1;
    }
    if (info > 27) {
        return 0;
    }
    const unsigned width = 1u << (info - 24);
    if ((uint64_t)(end - cursor) <= width) {
        return 0;
    }
    if (width == 1) {
        *argument = cursor[1];
    } else if (width == 2) {
        uint16_t big;
        memcpy(&big, cursor + 1, sizeof big);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        big = __builtin_bswap16(big);
#endif
        *argument = big;
    } else if (width == 4) {
        uint32_t big;
        memcpy(&big, cursor + 1, sizeof big);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        big = __builtin_bswap32(big);
#endif
        *argument = big;
    } else {
        uint64_t big;
        memcpy(&big, cursor + 1, sizeof big);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        big = __builtin_bswap64(big);
#endif
        *argument = big;
    }
    return 1 + width;
}

/* The table's entries; each returns 0 on success, -1 on failure. */
#define TOVAREL_CBOR_PARSE(name)                                                                   \
    TOVAREL_API int name(cbor_parser *parser, cbor_val *item, uint8_t initial_byte)
TOVAREL_CBOR_PARSE(cbor_parse_uint_small);
TOVAREL_CBOR_PARSE(cbor_parse_uint8);
TOVAREL_CBOR_PARSE(cbor_parse_uint16);
TOVAREL_CBOR_PARSE(cbor_parse_uint32);
TOVAREL_CBOR_PARSE(cbor_parse_uint64);
TOVAREL_CBOR_PARSE(cbor_parse_negint_small);
TOVAREL_CBOR_PARSE(cbor_parse_negint8);
TOVAREL_CBOR_PARSE(cbor_parse_negint16);
TOVAREL_CBOR_PARSE(cbor_parse_negint32);
TOVAREL_CBOR_PARSE(cbor_parse_negint64);
TOVAREL_CBOR_PARSE(cbor_parse_byte_string_small);
TOVAREL_CBOR_PARSE(cbor_parse_byte_string_uint8);
TOVAREL_CBOR_PARSE(cbor_parse_byte_string_uint16);
TOVAREL_CBOR_PARSE(cbor_parse_byte_string_uint32);
TOVAREL_CBOR_PARSE(cbor_parse_byte_string_uint64);
TOVAREL_CBOR_PARSE(cbor_parse_byte_string_indefinite);
TOVAREL_CBOR_PARSE(cbor_parse_text_string_small);
TOVAREL_CBOR_PARSE(cbor_parse_text_string_uint8);
TOVAREL_CBOR_PARSE(cbor_parse_text_string_uint16);
TOVAREL_CBOR_PARSE(cbor_parse_text_string_uint32);
TOVAREL_CBOR_PARSE(cbor_parse_text_string_uint64);
TOVAREL_CBOR_PARSE(cbor_parse_text_string_indefinite);
TOVAREL_CBOR_PARSE(cbor_parse_array_small);
TOVAREL_CBOR_PARSE(cbor_parse_array_uint8);
TOVAREL_CBOR_PARSE(cbor_parse_array_uint16);
TOVAREL_CBOR_PARSE(cbor_parse_array_uint32);
TOVAREL_CBOR_PARSE(cbor_parse_array_uint64);
TOVAREL_CBOR_PARSE(cbor_parse_array_indefinite);
TOVAREL_CBOR_PARSE(cbor_parse_map_small);
TOVAREL_CBOR_PARSE(cbor_parse_map_uint8);
TOVAREL_CBOR_PARSE(cbor_parse_map_uint16);
TOVAREL_CBOR_PARSE(cbor_parse_map_uint32);
TOVAREL_CBOR_PARSE(cbor_parse_map_uint64);
TOVAREL_CBOR_PARSE(cbor_parse_map_indefinite);
TOVAREL_CBOR_PARSE(cbor_parse_semantic_tag);
TOVAREL_CBOR_PARSE(cbor_parse_unimplemented);
TOVAREL_CBOR_PARSE(cbor_parse_false);
TOVAREL_CBOR_PARSE(cbor_parse_true);
TOVAREL_CBOR_PARSE(cbor_parse_null);
TOVAREL_CBOR_PARSE(cbor_parse_undefined);
TOVAREL_CBOR_PARSE(cbor_parse_float16);
TOVAREL_CBOR_PARSE(cbor_parse_float32);
TOVAREL_CBOR_PARSE(cbor_parse_float64);
TOVAREL_CBOR_PARSE(cbor_parse_break);
TOVAREL_CBOR_PARSE(cbor_parse_reserved);
#undef TOVAREL_CBOR_PARSE

TOVAREL_END_DECLS

#endif /* TOVAREL_CBOR_PARSER_H */
