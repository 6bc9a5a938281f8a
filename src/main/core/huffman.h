/*
 * huffman.h - canonical Huffman codes, limited in length, decoded through
 * a lookup table.
 *
 * A code is given by the length of each symbol's code word alone (0: the
 * symbol does not occur); the words themselves follow from the lengths in
 * the canonical order of RFC 1951, section 3.2.2: shorter words first, and
 * among words of one length, the smaller symbol first.  Words are written
 * into a least-significant-bit-first stream with their first bit lowest,
 * as in that RFC, so the decoder's table is indexed by the next
 * HUFFMAN_MAX_BITS bits of the stream as they come.
 *
 * Two decoders read the same codes: the table decoder, one lookup per
 * symbol, and the scalar decoder, one bit at a time through the counts of
 * words per length, which is the reference the table is tested against.
 *
 * The whole-stream functions at the end write and read a self-contained
 * stream: the code's description (its lengths) followed by the symbols'
 * words.  They serve C callers and the tests; the compact delta uses the
 * same pieces on streams of its own.
 */
#ifndef TOVAREL_HUFFMAN_H
#define TOVAREL_HUFFMAN_H

#include <stdbool.h>
#include <stdint.h>

#include "buf.h"
#include "export.h"

TOVAREL_BEGIN_DECLS

/* The longest code word.  Twelve bits keep the decoder's table at 8 KiB,
 * inside the first-level cache, and cost well under 1% of size against
 * unlimited lengths on byte alphabets. */
#define HUFFMAN_MAX_BITS 12
/* The largest alphabet. */
#define HUFFMAN_MAX_SYMBOLS 256

typedef struct huffman_decoder {
    /* Indexed by the next bits of the stream, as many as the code's
     * longest word has (masked with `mask`): symbol << 4 | length, or 0
     * where no word begins with those bits.  Only the first mask + 1
     * entries are filled: a code whose words are short (the control
     * stream's, or any code of a short stream) then costs a few hundred
     * stores to prepare, not 4096, which on a small delta is most of the
     * reader's time. */
    uint16_t table[1 << HUFFMAN_MAX_BITS];
    uint32_t mask;
    /* Whether every entry up to the mask holds a word (the lengths fill
     * the code): then no lookup can fail, and a reader may skip the test. */
    uint32_t complete;
    /* The scalar decoder's view: words per length, and the symbols in
     * canonical order. */
    uint16_t count[HUFFMAN_MAX_BITS + 1];
    uint16_t sorted[HUFFMAN_MAX_SYMBOLS];
} huffman_decoder;

/*
 * Fills lengths[0..symbols) with code lengths of at most max_bits for
 * symbols occurring counts[i] times: Huffman's lengths where they fit,
 * otherwise lengths made to fit by lengthening the shallowest-cost words.
 * A lone occurring symbol gets length 1, so that every decoded symbol
 * costs at least one bit.  False for symbols beyond HUFFMAN_MAX_SYMBOLS,
 * max_bits beyond HUFFMAN_MAX_BITS, or more occurring symbols than
 * max_bits can tell apart.
 */
TOVAREL_API bool huffman_build_lengths(const uint64_t *counts, uint32_t symbols, uint32_t max_bits,
                                       uint8_t *lengths);

/* The code words for the lengths, each with its bits reversed so that it
 * goes into the stream first bit lowest. */
TOVAREL_API void huffman_codes(const uint8_t *lengths, uint32_t symbols, uint16_t *codes);

/*
 * Prepares a decoder for the lengths.  False when they do not describe a
 * prefix code (a length beyond HUFFMAN_MAX_BITS, or more words than the
 * lengths leave room for).  A code with room to spare is accepted: the
 * words it lacks are errors when met.
 */
TOVAREL_API bool huffman_decoder_init(huffman_decoder *decoder, const uint8_t *lengths,
                                      uint32_t symbols);

/* A stream of `count` symbols below `alphabet`, with its code, in a fresh
 * buffer; null for a bad symbol or alphabet, or when memory runs out. */
TOVAREL_API buf *huffman_encode(const uint16_t *symbols, uint64_t count, uint32_t alphabet);

/* Reads back `count` symbols of such a stream into out, through the table
 * (huffman_decode) or bit by bit (huffman_decode_scalar).  False for a
 * stream that is not exactly such a stream: a bad code, a word that no
 * symbol has, too few bits, or bytes left over. */
TOVAREL_API bool huffman_decode(const uint8_t *data, uint64_t size, uint32_t alphabet,
                                uint16_t *out, uint64_t count);
TOVAREL_API bool huffman_decode_scalar(const uint8_t *data, uint64_t size, uint32_t alphabet,
                                       uint16_t *out, uint64_t count);

TOVAREL_END_DECLS

#endif /* TOVAREL_HUFFMAN_H */
