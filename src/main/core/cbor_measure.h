/*
 * cbor_measure.h - how long the first CBOR item of some bytes is, or how
 * many more bytes it needs, without building anything.
 *
 * A reader of a stream (a file read in chunks, a socket fed piece by piece)
 * must tell "the item is not complete yet" apart from "the item is
 * malformed", and must know where a complete item ends, so that it can hand
 * exactly that slice to a decoder.  The measurer answers both from the
 * bytes received so far, and resumes where it stopped when more arrive, so
 * an item that comes in a thousand pieces is still scanned once.
 *
 * It follows the checking walker (cbor_walker.h) rule for rule on the
 * structure of an item: the same heads, the same counts checked against the
 * bytes at hand, the same refusals of reserved bytes, misplaced breaks,
 * bad chunks, two-byte simple values below 32, bignum tags around anything
 * but a byte string, and nesting deeper than max_depth.  It does not check
 * the UTF-8 of text, which never changes where an item ends: a decoder of
 * the measured slice does.  So over the same bytes:
 *
 *   - the walker reads a whole first item of n bytes -> COMPLETE, n;
 *   - the walker finds the bytes end inside the item  -> NEEDS_MORE;
 *   - the walker refuses the item for its structure   -> MALFORMED.
 *
 * The measurer's memory is one frame per open array, map or tag, at most
 * max_depth + 1 of them and never more than the bytes given.
 */
#ifndef TOVAREL_CBOR_MEASURE_H
#define TOVAREL_CBOR_MEASURE_H

#include <stdint.h>

#include "export.h"

TOVAREL_BEGIN_DECLS

enum cbor_measure_status {
    CBOR_MEASURE_COMPLETE = 0,   /* length: the item's size in bytes */
    CBOR_MEASURE_NEEDS_MORE = 1, /* length: at least this many more bytes are needed */
    CBOR_MEASURE_MALFORMED = -1, /* no more bytes can make the item well-formed */
    CBOR_MEASURE_NO_MEMORY = -2
};

typedef struct cbor_measure_frame {
    uint64_t remaining; /* items still to come in a definite array, map or tag */
    uint8_t indefinite;
    uint8_t is_map;
    uint8_t awaiting_value; /* indefinite map: a key was read, its value not yet */
} cbor_measure_frame;

typedef struct cbor_measure {
    uint64_t max_depth;
    uint64_t offset; /* bytes of the item accepted: whole heads and strings only */
    cbor_measure_frame *frames;
    uint64_t depth;
    uint64_t frame_capacity;
    uint8_t string_major;   /* 2 or 3 inside the chunks of an indefinite string, else 0 */
    uint8_t bignum_content; /* a bignum tag's head was read; its byte string is next */
    int status;             /* MALFORMED or NO_MEMORY once found: final until reset */
} cbor_measure;

/* Items may nest max_depth levels, as with cbor_walker_create. */
TOVAREL_API cbor_measure *cbor_measure_create(uint64_t max_depth);
TOVAREL_API void cbor_measure_free(cbor_measure *measure);
/* Forgets the item measured so far, to measure the next one. */
TOVAREL_API void cbor_measure_reset(cbor_measure *measure);
/*
 * Measures the item that starts at data[0].  Every call until the next
 * reset must pass the bytes of the previous call (they may have moved)
 * followed by any that arrived since; the scan resumes where it stopped.
 * Returns a cbor_measure_status and sets *length as it describes.
 */
TOVAREL_API int cbor_measure_item(cbor_measure *measure, const void *data, uint64_t size,
                                  uint64_t *length);

TOVAREL_END_DECLS

#endif /* TOVAREL_CBOR_MEASURE_H */
