/*
 * diff_compact_format.hpp - what the compact delta's writer and reader
 * agree on: its signature, its alphabets, how numbers are binned into
 * symbols, and how copies name their source.
 *
 * A compact delta is a CBOR sequence:
 *
 *   1 or 2                unsigned integer: the form's version
 *   tag 29795 (N)         the new value's length N, tagged
 *   C                     unsigned integer: the number of commands
 *   control               byte string: three codes, then C commands
 *   literals              byte string: a code, then the literal bytes
 *   differences           byte string: four codes, then the difference runs
 *                         (version 2: a nested delta, see VERSION_NESTED)
 *
 * A plain delta that began so would be a copy pair whose length is a tag,
 * which the plain reader refuses: a compact delta can never be applied as
 * a plain one.  Each command appends a run of literal bytes, then a copy
 * from the old value whose bytes the difference stream may alter; after
 * the last command, literal bytes fill the value up to N.
 *
 * Internal to the core (C++ only).
 */
#ifndef TOVAREL_DIFF_COMPACT_FORMAT_HPP
#define TOVAREL_DIFF_COMPACT_FORMAT_HPP

#include <cstdint>

namespace tovarel::compact {

/* The four bytes every compact delta starts with: the unsigned integer 1
 * or 2 (the version), then the head of tag 29795 ("tc", three bytes). */
constexpr uint8_t SIGNATURE[4] = {0x01, 0xD9, 0x74, 0x63};
constexpr uint64_t VERSION = 1;
constexpr uint64_t TAG = 0x7463;

/*
 * Version 2 differs in the difference stream alone.  Between two builds of
 * the same code the differing bytes come in patterns that repeat (a table
 * of pointers that all moved by one amount, a call to a moved function
 * every few dozen bytes), which a code per symbol cannot see and a match
 * finder can: there the difference stream is two version-1 compact
 * deltas, one after the other, against an empty old value.  The first
 * builds the runs of zeros, each an unsigned LEB128 number (seven bits a
 * byte, low bits first, the high bit set on every byte but the last;
 * shortest form, at most RUN_BYTES_MAX bytes); the second builds the
 * nonzero differences, a byte each.  Runs and bytes are apart because
 * each repeats in patterns of its own, and each nested delta's literal
 * code then fits one kind of byte.  On the 10 MB module of a numeric
 * package between two patch releases the stream is 0.6x the codes' size.
 */
constexpr uint8_t VERSION_NESTED = 2;
constexpr unsigned RUN_BYTES_MAX = 9;
constexpr uint8_t RUN_MORE = 0x80;
constexpr unsigned RUN_DIGIT_BITS = 7;

/*
 * Binned numbers: 0 to 15 are symbols of their own; above, each octave
 * [2^b, 2^(b+1)) has two symbols, one per half, followed by the b - 1
 * bits below the half's bit.  Lengths and distances spread over many
 * octaves, and two symbols per octave let the code learn their shape at
 * a cost of one extra bit fewer per number than one symbol would.
 */
constexpr uint32_t BIN_DIRECT = 16;
constexpr uint32_t BIN_FIRST_OCTAVE = 4;
constexpr uint32_t BIN_LAST_OCTAVE = 32;
constexpr uint32_t BIN_SYMBOLS = BIN_DIRECT + 2 * (BIN_LAST_OCTAVE - BIN_FIRST_OCTAVE + 1);
/* Every binned number is below this. */
constexpr uint64_t BIN_LIMIT = uint64_t{1} << (BIN_LAST_OCTAVE + 1);

struct binned {
    uint32_t symbol;
    uint32_t extra;      /* the bits that follow the symbol */
    unsigned extra_bits; /* how many */
};

inline binned bin_of(uint64_t value) {
    if (value < BIN_DIRECT) {
        return {static_cast<uint32_t>(value), 0, 0};
    }
    auto octave = static_cast<uint32_t>(63 - __builtin_clzll(value));
    auto half = static_cast<uint32_t>((value >> (octave - 1)) & 1);
    unsigned bits = octave - 1;
    return {BIN_DIRECT + 2 * (octave - BIN_FIRST_OCTAVE) + half,
            static_cast<uint32_t>(value & ((uint64_t{1} << bits) - 1)), bits};
}

/* The extra bits a symbol is followed by. */
inline unsigned bin_extra_bits(uint32_t symbol) {
    return symbol < BIN_DIRECT ? 0 : (symbol - BIN_DIRECT) / 2 + BIN_FIRST_OCTAVE - 1;
}

inline uint64_t bin_value(uint32_t symbol, uint64_t extra) {
    if (symbol < BIN_DIRECT) {
        return symbol;
    }
    uint32_t octave = (symbol - BIN_DIRECT) / 2 + BIN_FIRST_OCTAVE;
    uint64_t half = (symbol - BIN_DIRECT) & 1;
    return (uint64_t{1} << octave) | (half << (octave - 1)) | extra;
}

/*
 * Sources are positions in the old value followed by the new value as
 * far as it is built: position old_length + s is byte s of the new value,
 * which a copy may take from once it has been produced (a copy at target t
 * reads new bytes from s < t on, and may overlap its own output, as in
 * LZ77).  A copy from the old value must lie wholly inside it.
 *
 * Copies name their source in one of three ways.  A repeat code k (0 to
 * 2) reuses the k-th most recent distinct shift, source minus target:
 * code that moved keeps its shift, so after an edit the next copy usually
 * repeats the last shift, and after an excursion elsewhere one of the two
 * before.  An explicit source is a distance from the end of the previous
 * copy, zigzag-coded (0, -1, 1, -2, ... as 0, 1, 2, 3, ...) and binned.  A
 * source in the new value may instead be given as how far it lies behind
 * the target, less one, binned: repeats within the new value are near.
 */
constexpr uint32_t REPEATS = 3;
constexpr uint32_t EXPLICIT_SYMBOLS = BIN_SYMBOLS;
constexpr uint32_t BEHIND_FIRST = REPEATS + EXPLICIT_SYMBOLS;
constexpr uint32_t OFFSET_SYMBOLS = BEHIND_FIRST + BIN_SYMBOLS;

inline uint64_t zigzag(int64_t value) {
    return (static_cast<uint64_t>(value) << 1) ^ static_cast<uint64_t>(value >> 63);
}

inline int64_t unzigzag(uint64_t value) {
    return static_cast<int64_t>(value >> 1) ^ -static_cast<int64_t>(value & 1);
}

/* The recent shifts, most recent first, and where the previous copy
 * ended in the old value; both start at 0. */
struct source_state {
    int64_t shift[REPEATS] = {0, 0, 0};
    uint64_t old_end = 0;

    /* Moves the k-th shift to the front. */
    void reuse(uint32_t k) {
        int64_t chosen = shift[k];
        for (uint32_t i = k; i > 0; i--) {
            shift[i] = shift[i - 1];
        }
        shift[0] = chosen;
    }

    /* A new shift goes to the front; the oldest is forgotten. */
    void remember(int64_t fresh) {
        for (uint32_t i = REPEATS - 1; i > 0; i--) {
            shift[i] = shift[i - 1];
        }
        shift[0] = fresh;
    }
};

/* The alphabets: literal-run lengths, copy lengths less one, sources;
 * literal bytes; zero runs and nonzero differences (the byte less one). */
constexpr uint32_t LITERAL_SYMBOLS = 256;
constexpr uint32_t DIFFERENCE_SYMBOLS = 255;

/*
 * The difference stream has two codes for each of its alphabets, chosen
 * by whether the run of zeros read last was empty: differing bytes come
 * in clusters (an address's changed bytes), and the byte inside a
 * cluster, and the run that follows it, are distributed quite unlike a
 * lone one.  The first run is read in the LONE context.
 */
constexpr int LONE = 0;
constexpr int CLUSTER = 1;
constexpr int CONTEXTS = 2;

/* Every command's three symbols take a bit at least. */
constexpr uint64_t MIN_COMMAND_BITS = 3;

} // namespace tovarel::compact

#endif /* TOVAREL_DIFF_COMPACT_FORMAT_HPP */
