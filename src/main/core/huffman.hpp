/*
 * huffman.hpp - the Huffman coder's pieces that work on bit streams: a
 * code's description, and one symbol at a time in each direction.
 *
 * Internal to the core (C++ only); huffman.h is the C interface.
 */
#ifndef TOVAREL_HUFFMAN_HPP
#define TOVAREL_HUFFMAN_HPP

#include <cstdint>

#include "bit_stream.hpp"
#include "huffman.h"

namespace tovarel {

/* What a failed decode answers. */
constexpr int32_t HUFFMAN_BAD_WORD = -1;

/* Low bits of a table entry: the word's length. */
constexpr uint16_t HUFFMAN_LENGTH_MASK = 0xF;
constexpr unsigned HUFFMAN_SYMBOL_SHIFT = 4;

/* Writes the description of a code of `symbols` lengths; see
 * huffman_read_lengths for its form. */
void huffman_write_lengths(bit_writer &out, const uint8_t *lengths, uint32_t symbols);

/* Reads a code's description for an alphabet of `alphabet` symbols into
 * lengths[0..alphabet).  False when it is malformed or runs past the end;
 * whether the lengths form a prefix code is huffman_decoder_init's test. */
bool huffman_read_lengths(bit_reader &in, uint32_t alphabet, uint8_t *lengths);

/* Bits that the description of these lengths takes. */
uint64_t huffman_lengths_cost(const uint8_t *lengths, uint32_t symbols);

/* Writes one symbol's word. */
inline void huffman_put(bit_writer &out, const uint16_t *codes, const uint8_t *lengths,
                        uint32_t symbol) {
    out.put(codes[symbol], lengths[symbol]);
}

/* How many words the window holds for certain after a refill. */
constexpr unsigned HUFFMAN_WORDS_PER_REFILL = BIT_WINDOW_FULL / HUFFMAN_MAX_BITS;

/* One symbol through the table, or HUFFMAN_BAD_WORD, from a window that
 * the caller knows to hold HUFFMAN_MAX_BITS bits. */
inline int32_t huffman_take_refilled(const huffman_decoder *decoder, bit_reader &in) {
    uint16_t entry = decoder->table[in.window & decoder->mask];
    if (entry == 0) {
        return HUFFMAN_BAD_WORD;
    }
    in.skip(entry & HUFFMAN_LENGTH_MASK);
    return entry >> HUFFMAN_SYMBOL_SHIFT;
}

/* One symbol through the table, or HUFFMAN_BAD_WORD. */
inline int32_t huffman_take(const huffman_decoder *decoder, bit_reader &in) {
    in.refill();
    return huffman_take_refilled(decoder, in);
}

/*
 * Two words of two codes read in one lookup: where a stream alternates
 * between two codes whose words are mostly short, decoding them one at a
 * time makes the second lookup wait for the first word's length.  The
 * pair table is indexed by the next bits of the stream, like a code's own
 * table, and holds both symbols where both are below HUFFMAN_PAIR_SYMBOLS
 * and their words end inside the table's width; elsewhere 0, and the
 * caller reads the two words one by one.
 */
constexpr unsigned HUFFMAN_PAIR_MAX_BITS = HUFFMAN_MAX_BITS;
constexpr uint32_t HUFFMAN_PAIR_SYMBOLS = 16;
/* An entry: both words' bits in the low four (at least two, so a filled
 * entry is never 0), then the first symbol, then the second. */
constexpr uint16_t HUFFMAN_PAIR_BITS_MASK = 0xF;
constexpr unsigned HUFFMAN_PAIR_FIRST_SHIFT = 4;
constexpr unsigned HUFFMAN_PAIR_SECOND_SHIFT = 8;
constexpr uint16_t HUFFMAN_PAIR_SYMBOL_MASK = 0xF;

struct huffman_pair_decoder {
    uint16_t table[1 << HUFFMAN_PAIR_MAX_BITS];
    uint32_t mask;
};

/* The width the pair table of these two codes takes: both codes' longest
 * words, up to HUFFMAN_PAIR_MAX_BITS; 0 when either code has no word. */
uint32_t huffman_pair_width(const huffman_decoder *first, const huffman_decoder *second);

/* Fills the pair table `width` bits wide (at most huffman_pair_width);
 * width 0 leaves one empty entry, which sends every read to the codes. */
void huffman_pair_init(huffman_pair_decoder *pair, const huffman_decoder *first,
                       const huffman_decoder *second, uint32_t width);

/*
 * One symbol, bit by bit, or HUFFMAN_BAD_WORD: the reference for
 * huffman_take.  A canonical code's words of one length are consecutive
 * numbers, read first bit highest, so after each bit the word read so far
 * either falls in that length's range or goes one bit longer.
 */
inline int32_t huffman_take_scalar(const huffman_decoder *decoder, bit_reader &in) {
    int32_t code = 0;
    int32_t first = 0;
    int32_t index = 0;
    for (int length = 1; length <= HUFFMAN_MAX_BITS; length++) {
        code |= static_cast<int32_t>(in.take(1));
        int32_t count = decoder->count[length];
        if (code - first < count) {
            return decoder->sorted[index + code - first];
        }
        index += count;
        first = (first + count) << 1;
        code <<= 1;
    }
    return HUFFMAN_BAD_WORD;
}

} // namespace tovarel

#endif /* TOVAREL_HUFFMAN_HPP */
