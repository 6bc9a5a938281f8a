/*
 * cbor_generator.h - CBOR (RFC 8949) output in one growable block.
 *
 * The generator owns its block; callers read data and len to copy the
 * result out and then free the generator.  The block grows geometrically,
 * so it may hold spare room beyond len; only the first len bytes count.
 * Writers append one head or one simple item and know nothing of nesting.
 * Integers and lengths always take the shortest head; CBOR_INDEFINITE as a
 * string length or container count asks for the indefinite-length form.
 *
 * Writers return 0 on success and -1 on failure (the fixed-width float
 * writers 1 and -1).  A failed write keeps the bytes and length the
 * generator had before that write; a head or string cut off after its first
 * byte leaves what was written, and the content is then unusable.
 */
#ifndef TOVAREL_CBOR_GENERATOR_H
#define TOVAREL_CBOR_GENERATOR_H

#include <stdint.h>
#include <string.h>

#include "export.h"

TOVAREL_BEGIN_DECLS

/* A length or count of all ones selects the indefinite-length form. */
#define CBOR_INDEFINITE UINT64_MAX

typedef struct cbor_generator {
    uint8_t *data; /* at least len bytes; null while nothing is written */
    uint64_t len;
    uint64_t capacity; /* bytes the block holds; len <= capacity */
} cbor_generator;

TOVAREL_API cbor_generator *cbor_generator_create(void);
TOVAREL_API void cbor_generator_free(cbor_generator *generator);

TOVAREL_API int _cbor_generator_write_byte(cbor_generator *generator, int byte);
TOVAREL_API int _cbor_generator_write_bytes(cbor_generator *generator, const void *source,
                                            uint64_t count);

TOVAREL_API int _cbor_write_uint_helper(cbor_generator *generator, uint8_t major_type,
                                        uint64_t argument);
TOVAREL_API int _cbor_write_uint_sized(cbor_generator *generator, uint8_t initial_byte,
                                       uint64_t argument);

TOVAREL_API int cbor_write_uint(cbor_generator *generator, uint64_t value);
/* value is a negative int64 passed as its two's-complement bits */
TOVAREL_API int cbor_write_negint(cbor_generator *generator, uint64_t value);
TOVAREL_API int cbor_write_byte_string(cbor_generator *generator, const void *source,
                                       uint64_t length);
TOVAREL_API int cbor_write_text_string(cbor_generator *generator, const void *source,
                                       uint64_t length);
TOVAREL_API int cbor_write_array(cbor_generator *generator, uint64_t count);
TOVAREL_API int cbor_write_map(cbor_generator *generator, uint64_t count);
TOVAREL_API int cbor_write_break(cbor_generator *generator);
TOVAREL_API int cbor_write_false(cbor_generator *generator);
TOVAREL_API int cbor_write_true(cbor_generator *generator);
TOVAREL_API int cbor_write_null(cbor_generator *generator);
TOVAREL_API int cbor_write_undefined(cbor_generator *generator);
TOVAREL_API int cbor_write_float32(cbor_generator *generator, double value);
TOVAREL_API int cbor_write_float64(cbor_generator *generator, double value);
TOVAREL_API int cbor_write_float(cbor_generator *generator, double value);

/* The size in bytes (1, 2, 3, 5 or 9) of the shortest head whose argument
 * is value: what every item with that count, length or integer costs
 * besides its content.  Inline: the delta searches price candidates by it. */
static inline int cbor_head_size(uint64_t value) {
    /* 1, 2, 3, 5 or 9 as a sum of comparisons: no branches to mispredict
     * where the searches price candidates of random sizes. */
    return 1 + (value >= 24) + (value > 0xFF) + 2 * (value > 0xFFFF) + 4 * (value > 0xFFFFFFFFu);
}

/* The major types, as cbor_head_encode and _cbor_write_uint_helper take
 * them and as readers find them in an initial byte's top three bits. */
enum {
    CBOR_MAJOR_UINT = 0,
    CBOR_MAJOR_NEGINT = 1,
    CBOR_MAJOR_BYTE_STRING = 2,
    CBOR_MAJOR_TEXT_STRING = 3,
    CBOR_MAJOR_ARRAY = 4,
    CBOR_MAJOR_MAP = 5,
    CBOR_MAJOR_TAG = 6,
    CBOR_MAJOR_SIMPLE = 7
};

/* Writes the shortest head of the major type (0-7) with this argument to
 * out, which has room for 9 bytes, and returns its size (as cbor_head_size).
 * For writers that place heads straight into their own storage, without a
 * generator. */
static inline __attribute__((always_inline)) int cbor_head_encode(uint8_t *out, uint8_t major_type,
                                                                  uint64_t argument) {
    /* Always inlined, and each width in one byte swap and one store: the
     * dumps fast path writes a head per value, and a call, or a store per
     * byte, cost it a tenth to a third more time on lists of integers. */
    uint8_t initial = (uint8_t)(major_type << 5);
    if (argument < 24) {
        out[0] = (uint8_t)(initial | argument);
        return 1;
    }
    if (argument <= 0xFF) {
        out[0] = (uint8_t)(initial | 24);
        out[1] = (uint8_t)argument;
        return 2;
    }
    if (argument <= 0xFFFF) {
        uint16_t big = (uint16_t)argument;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        big = __builtin_bswap16(big);
#endif
        out[0] = (uint8_t)(initial | 25);
        memcpy(out + 1, &big, sizeof big);
        return 3;
    }
    if (argument <= 0xFFFFFFFFu) {
        uint32_t big = (uint32_t)argument;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        big = __builtin_bswap32(big);
#endif
        out[0] = (uint8_t)(initial | 26);
        memcpy(out + 1, &big, sizeof big);
        return 5;
    }
    {
        uint64_t big = argument;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        big = __builtin_bswap64(big);
#endif
        out[0] = (uint8_t)(initial | 27);
        memcpy(out + 1, &big, sizeof big);
        return 9;
    }
}

/* The width in bytes (2, 4 or 8) of the float form cbor_write_float picks
 * for value, worked out from its bits alone. */
TOVAREL_API int cbor_float_width(double value);
/* Stores the whole item cbor_write_float would write for value (at most 9
 * bytes) and returns its length. */
TOVAREL_API int cbor_float_item(double value, uint8_t *item);

TOVAREL_END_DECLS

#endif /* TOVAREL_CBOR_GENERATOR_H */
