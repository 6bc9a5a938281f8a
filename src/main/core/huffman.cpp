/*
 * huffman.cpp - building length-limited canonical Huffman codes, their
 * description, and the two decoders' tables.
 *
 * A code's description lists the lengths of the first `used` symbols (the
 * rest are 0): `used` in 9 bits, then 4-bit items, each a length from 0 to
 * 12, or a run: 13 is 3 to 10 zeros (3 more bits), 14 is 11 to 138 zeros
 * (7 more bits), 15 repeats the length before it 3 to 6 times (2 more
 * bits).  Byte alphabets of text use about a hundred symbols scattered
 * among 256, so the runs of zeros are what keeps the description short.
 */
#include "huffman.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "huffman.hpp"

namespace {

constexpr unsigned USED_BITS = 9;
constexpr unsigned ITEM_BITS = 4;
constexpr uint8_t ZEROS_SHORT = 13;
constexpr uint8_t ZEROS_LONG = 14;
constexpr uint8_t REPEAT = 15;
constexpr uint32_t ZEROS_SHORT_MIN = 3;
constexpr unsigned ZEROS_SHORT_BITS = 3;
constexpr uint32_t ZEROS_LONG_MIN = 11;
constexpr uint32_t ZEROS_LONG_MAX = 138;
constexpr unsigned ZEROS_LONG_BITS = 7;
constexpr uint32_t REPEAT_MIN = 3;
constexpr uint32_t REPEAT_MAX = 6;
constexpr unsigned REPEAT_BITS = 2;

/* How many of the lengths the description must list. */
uint32_t used_symbols(const uint8_t *lengths, uint32_t symbols) {
    while (symbols > 0 && lengths[symbols - 1] == 0) {
        symbols--;
    }
    return symbols;
}

/* A run of `run` equal lengths starting at `at`, up to `limit`. */
uint32_t run_at(const uint8_t *lengths, uint32_t at, uint32_t limit) {
    uint32_t run = 1;
    while (at + run < limit && lengths[at + run] == lengths[at]) {
        run++;
    }
    return run;
}

/*
 * Walks the description of the lengths once, handing each item to `emit`
 * (value, bits).  Writing and costing share it, so the
 * cost is exactly what is written.
 */
template <typename Emit> void describe(const uint8_t *lengths, uint32_t symbols, Emit emit) {
    uint32_t used = used_symbols(lengths, symbols);
    emit(used, USED_BITS);
    uint32_t at = 0;
    while (at < used) {
        uint32_t run = run_at(lengths, at, used);
        if (lengths[at] == 0 && run >= ZEROS_SHORT_MIN) {
            if (run >= ZEROS_LONG_MIN) {
                run = std::min(run, ZEROS_LONG_MAX);
                emit(ZEROS_LONG, ITEM_BITS);
                emit(run - ZEROS_LONG_MIN, ZEROS_LONG_BITS);
            } else {
                emit(ZEROS_SHORT, ITEM_BITS);
                emit(run - ZEROS_SHORT_MIN, ZEROS_SHORT_BITS);
            }
            at += run;
            continue;
        }
        emit(lengths[at], ITEM_BITS);
        at++;
        // The length just written, repeated, as long as it pays.
        run--;
        while (lengths[at - 1] != 0 && run >= REPEAT_MIN) {
            uint32_t take = std::min(run, REPEAT_MAX);
            emit(REPEAT, ITEM_BITS);
            emit(take - REPEAT_MIN, REPEAT_BITS);
            at += take;
            run -= take;
        }
    }
}

struct leaf {
    uint64_t count;
    uint32_t symbol;
};

/*
 * Huffman's lengths for leaves sorted by count, by the two-queue method:
 * the two lightest of the unmerged leaves and the merged nodes (which come
 * out in order of weight) are merged until one node is left.  Depths are
 * then read from the root down; a node's parent always has a larger index.
 */
void huffman_depths(const leaf *leaves, uint32_t n, uint32_t *depth) {
    uint64_t weight[2 * HUFFMAN_MAX_SYMBOLS];
    uint32_t parent[2 * HUFFMAN_MAX_SYMBOLS];
    for (uint32_t i = 0; i < n; i++) {
        weight[i] = leaves[i].count;
    }
    uint32_t next_leaf = 0;
    uint32_t next_node = n;
    uint32_t nodes = n;
    auto lightest = [&]() {
        bool take_leaf =
            next_leaf < n && (next_node >= nodes || weight[next_leaf] <= weight[next_node]);
        return take_leaf ? next_leaf++ : next_node++;
    };
    while (nodes < 2 * n - 1) {
        uint32_t a = lightest();
        uint32_t b = lightest();
        weight[nodes] = weight[a] + weight[b];
        parent[a] = nodes;
        parent[b] = nodes;
        nodes++;
    }
    depth[nodes - 1] = 0;
    for (uint32_t i = nodes - 1; i-- > 0;) {
        depth[i] = depth[parent[i]] + 1;
    }
}

/*
 * Makes lengths no longer than max_bits while keeping a prefix code.
 * Clamping leaves the Kraft sum too large; each lengthening of the word
 * just short of the limit takes back the least, so those go first.  Then
 * any room left is given back to the most frequent symbols.  The leaves
 * are in order of increasing count, so "most frequent" is the far end.
 */
void limit_lengths(uint32_t *length, uint32_t n, uint32_t max_bits) {
    uint64_t kraft = 0; /* in units of 2^-max_bits */
    const uint64_t full = uint64_t{1} << max_bits;
    for (uint32_t i = 0; i < n; i++) {
        length[i] = std::min(length[i], max_bits);
        kraft += full >> length[i];
    }
    while (kraft > full) {
        uint32_t pick = n;
        for (uint32_t i = 0; i < n; i++) {
            if (length[i] < max_bits && (pick == n || length[i] > length[pick])) {
                pick = i;
            }
        }
        kraft -= full >> (length[pick] + 1);
        length[pick]++;
    }
    for (uint32_t i = n; i-- > 0;) {
        while (length[i] > 1 && kraft + (full >> length[i]) <= full) {
            kraft += full >> length[i];
            length[i]--;
        }
    }
}

/* The low `bits` bits of code in reverse order (bits <= 16): the whole
 * 16-bit field reversed by swapping ever larger halves, then the unwanted
 * low end shifted out.  Every reader prepares its codes' words afresh, so
 * a loop per bit cost a twentieth of patching a small delta. */
uint16_t reversed(uint32_t code, uint32_t bits) {
    uint32_t x = code & 0xFFFFu;
    x = ((x >> 1) & 0x5555u) | ((x & 0x5555u) << 1);
    x = ((x >> 2) & 0x3333u) | ((x & 0x3333u) << 2);
    x = ((x >> 4) & 0x0F0Fu) | ((x & 0x0F0Fu) << 4);
    x = ((x >> 8) | (x << 8)) & 0xFFFFu;
    return static_cast<uint16_t>(x >> (16 - bits));
}

/*
 * Fills a decoder's table of 2^width entries from words handed over in
 * order of length (`each` calls place(bits, code, entry) for each, the
 * code first bit lowest): a word's entry belongs at every index whose low
 * bits are its code, and 0 wherever no word begins.  The table is built
 * by doubling: while it is 2^b entries wide it holds every word of b bits
 * or fewer, so copying it onto its upper half widens it by a bit, and the
 * words one bit longer each go in one slot, which no shorter word holds.
 * A store per entry, as filling each word's slots one by one takes, was
 * most of preparing a reader for a small delta; copies of whole halves
 * are many entries to an instruction.
 */
template <typename Each> void fill_table(uint16_t *table, uint32_t width, Each each) {
    table[0] = 0;
    uint32_t filled = 0;
    auto widen_to = [&](uint32_t bits) {
        for (; filled < bits; filled++) {
            memcpy(table + (size_t{1} << filled), table, sizeof *table << filled);
        }
    };
    each([&](uint32_t bits, uint32_t code, uint16_t entry) {
        widen_to(bits);
        table[code] = entry;
    });
    widen_to(width);
}

/* Hands each word of a decoder's code to fn(symbol, bits, code), in the
 * canonical order, shorter words first, with its code first bit lowest as
 * the stream holds it; the counts and sorted symbols are the scalar
 * decoder's view of the code, which is all its words need. */
template <typename Fn> void each_word(const huffman_decoder *decoder, Fn fn) {
    uint32_t code = 0;
    uint32_t index = 0;
    for (uint32_t bits = 1; bits <= HUFFMAN_MAX_BITS; bits++) {
        for (uint32_t k = 0; k < decoder->count[bits]; k++) {
            fn(decoder->sorted[index++], bits, reversed(code++, bits));
        }
        code <<= 1;
    }
}

bool valid_alphabet(uint32_t alphabet) {
    return alphabet >= 1 && alphabet <= HUFFMAN_MAX_SYMBOLS;
}

/* Reads a whole stream written by huffman_encode, with either decoder. */
template <bool Scalar>
bool decode_stream(const uint8_t *data, uint64_t size, uint32_t alphabet, uint16_t *out,
                   uint64_t count) {
    using namespace tovarel;
    if (!valid_alphabet(alphabet) || (data == nullptr && size > 0) ||
        (out == nullptr && count > 0)) {
        return false;
    }
    bit_reader in(data, size);
    uint8_t lengths[HUFFMAN_MAX_SYMBOLS];
    huffman_decoder table;
    huffman_decoder *decoder = &table;
    bool ok = huffman_read_lengths(in, alphabet, lengths) &&
              huffman_decoder_init(decoder, lengths, alphabet);
    for (uint64_t i = 0; ok && i < count; i++) {
        int32_t symbol = Scalar ? huffman_take_scalar(decoder, in) : huffman_take(decoder, in);
        // Every word is at least one bit: past the end, stop at once.
        ok = symbol != HUFFMAN_BAD_WORD && !in.overrun();
        if (ok) {
            out[i] = static_cast<uint16_t>(symbol);
        }
    }
    return ok && in.ends_cleanly();
}

} // namespace

namespace tovarel {

void huffman_write_lengths(bit_writer &out, const uint8_t *lengths, uint32_t symbols) {
    describe(lengths, symbols, [&](uint32_t value, unsigned bits) { out.put(value, bits); });
}

uint64_t huffman_lengths_cost(const uint8_t *lengths, uint32_t symbols) {
    uint64_t bits = 0;
    describe(lengths, symbols, [&](uint32_t, unsigned width) { bits += width; });
    return bits;
}

bool huffman_read_lengths(bit_reader &in, uint32_t alphabet, uint8_t *lengths) {
    auto used = static_cast<uint32_t>(in.take(USED_BITS));
    if (used > alphabet) {
        return false;
    }
    uint32_t at = 0;
    while (at < used) {
        auto item = static_cast<uint8_t>(in.take(ITEM_BITS));
        uint32_t run = 1;
        uint8_t length = item;
        if (item == ZEROS_SHORT) {
            run = ZEROS_SHORT_MIN + static_cast<uint32_t>(in.take(ZEROS_SHORT_BITS));
            length = 0;
        } else if (item == ZEROS_LONG) {
            run = ZEROS_LONG_MIN + static_cast<uint32_t>(in.take(ZEROS_LONG_BITS));
            length = 0;
        } else if (item == REPEAT) {
            if (at == 0) {
                return false;
            }
            run = REPEAT_MIN + static_cast<uint32_t>(in.take(REPEAT_BITS));
            length = lengths[at - 1];
        }
        if (run > used - at || in.overrun()) {
            return false;
        }
        for (uint32_t i = 0; i < run; i++) {
            lengths[at++] = length;
        }
    }
    for (; at < alphabet; at++) {
        lengths[at] = 0;
    }
    return !in.overrun();
}

namespace {

/* The bits of a code's table index: its longest word. */
uint32_t table_width(const huffman_decoder *decoder) {
    return static_cast<uint32_t>(__builtin_popcount(decoder->mask));
}

} // namespace

uint32_t huffman_pair_width(const huffman_decoder *first, const huffman_decoder *second) {
    uint32_t a = table_width(first);
    uint32_t b = table_width(second);
    if (a == 0 || b == 0) {
        return 0;
    }
    return a + b < HUFFMAN_PAIR_MAX_BITS ? a + b : HUFFMAN_PAIR_MAX_BITS;
}

void huffman_pair_init(huffman_pair_decoder *pair, const huffman_decoder *first,
                       const huffman_decoder *second, uint32_t width) {
    pair->mask = (1u << width) - 1;
    // The short words of each code that a pair could hold: symbols below
    // HUFFMAN_PAIR_SYMBOLS, a word short enough to leave a bit at least.
    struct word {
        uint32_t symbol;
        uint32_t bits;
        uint32_t code;
    };
    word words[2][HUFFMAN_PAIR_SYMBOLS];
    uint32_t found[2] = {0, 0};
    const huffman_decoder *codes[2] = {first, second};
    for (int c = 0; c < 2; c++) {
        each_word(codes[c], [&](uint32_t symbol, uint32_t bits, uint32_t code) {
            if (symbol < HUFFMAN_PAIR_SYMBOLS && bits < width) {
                words[c][found[c]++] = {symbol, bits, code};
            }
        });
    }
    // Every pair that ends inside the width, in order of its two words'
    // bits (a counting sort, as fill_table wants them).
    uint32_t start[HUFFMAN_PAIR_MAX_BITS + 2] = {};
    for (uint32_t i = 0; i < found[0]; i++) {
        for (uint32_t j = 0; j < found[1]; j++) {
            uint32_t both = words[0][i].bits + words[1][j].bits;
            if (both <= width) {
                start[both + 1]++;
            }
        }
    }
    for (uint32_t bits = 1; bits <= width + 1; bits++) {
        start[bits] += start[bits - 1];
    }
    struct placed {
        uint32_t code;
        uint16_t entry;
    };
    placed sorted[HUFFMAN_PAIR_SYMBOLS * HUFFMAN_PAIR_SYMBOLS];
    uint32_t next[HUFFMAN_PAIR_MAX_BITS + 1];
    memcpy(next, start, sizeof next);
    for (uint32_t i = 0; i < found[0]; i++) {
        for (uint32_t j = 0; j < found[1]; j++) {
            const word &a = words[0][i];
            const word &b = words[1][j];
            uint32_t both = a.bits + b.bits;
            if (both <= width) {
                sorted[next[both]++] = {
                    a.code | b.code << a.bits,
                    static_cast<uint16_t>(both | a.symbol << HUFFMAN_PAIR_FIRST_SHIFT |
                                          b.symbol << HUFFMAN_PAIR_SECOND_SHIFT)};
            }
        }
    }
    fill_table(pair->table, width, [&](auto place) {
        for (uint32_t bits = 0; bits <= width; bits++) {
            for (uint32_t k = start[bits]; k < start[bits + 1]; k++) {
                place(bits, sorted[k].code, sorted[k].entry);
            }
        }
    });
}

} // namespace tovarel

TOVAREL_BEGIN_DECLS

bool huffman_build_lengths(const uint64_t *counts, uint32_t symbols, uint32_t max_bits,
                           uint8_t *lengths) {
    if (symbols > HUFFMAN_MAX_SYMBOLS || max_bits > HUFFMAN_MAX_BITS || max_bits == 0) {
        return false;
    }
    leaf leaves[HUFFMAN_MAX_SYMBOLS];
    uint32_t n = 0;
    for (uint32_t i = 0; i < symbols; i++) {
        lengths[i] = 0;
        if (counts[i] > 0) {
            leaves[n++] = {counts[i], i};
        }
    }
    if (n > (uint32_t{1} << max_bits)) {
        return false;
    }
    if (n == 1) {
        lengths[leaves[0].symbol] = 1;
    }
    if (n <= 1) {
        return true;
    }
    // By count, and among equal counts by symbol, the order they were
    // gathered in: the order of a stable sort by count, without the
    // buffer that std::stable_sort asks the allocator for at every code.
    std::sort(leaves, leaves + n, [](const leaf &a, const leaf &b) {
        return a.count < b.count || (a.count == b.count && a.symbol < b.symbol);
    });
    uint32_t depth[2 * HUFFMAN_MAX_SYMBOLS];
    huffman_depths(leaves, n, depth);
    limit_lengths(depth, n, max_bits);
    for (uint32_t i = 0; i < n; i++) {
        lengths[leaves[i].symbol] = static_cast<uint8_t>(depth[i]);
    }
    return true;
}

/* RFC 1951, 3.2.2: the first word of each length follows the last word of
 * the length before, shifted one bit longer. */
void huffman_codes(const uint8_t *lengths, uint32_t symbols, uint16_t *codes) {
    uint32_t per_length[HUFFMAN_MAX_BITS + 1] = {};
    for (uint32_t i = 0; i < symbols; i++) {
        per_length[lengths[i]]++;
    }
    per_length[0] = 0;
    uint32_t next[HUFFMAN_MAX_BITS + 2] = {};
    uint32_t code = 0;
    for (uint32_t bits = 1; bits <= HUFFMAN_MAX_BITS; bits++) {
        code = (code + per_length[bits - 1]) << 1;
        next[bits] = code;
    }
    for (uint32_t i = 0; i < symbols; i++) {
        codes[i] = lengths[i] == 0 ? 0 : reversed(next[lengths[i]]++, lengths[i]);
    }
}

bool huffman_decoder_init(huffman_decoder *decoder, const uint8_t *lengths, uint32_t symbols) {
    if (symbols > HUFFMAN_MAX_SYMBOLS) {
        return false;
    }
    for (uint16_t &count : decoder->count) {
        count = 0;
    }
    for (uint32_t i = 0; i < symbols; i++) {
        if (lengths[i] > HUFFMAN_MAX_BITS) {
            return false;
        }
        decoder->count[lengths[i]]++;
    }
    decoder->count[0] = 0;
    int32_t room = 1;
    uint16_t offset[HUFFMAN_MAX_BITS + 2] = {};
    for (int bits = 1; bits <= HUFFMAN_MAX_BITS; bits++) {
        room = room * 2 - decoder->count[bits];
        if (room < 0) {
            return false;
        }
        offset[bits + 1] = static_cast<uint16_t>(offset[bits] + decoder->count[bits]);
    }
    for (uint32_t i = 0; i < symbols; i++) {
        if (lengths[i] != 0) {
            decoder->sorted[offset[lengths[i]]++] = static_cast<uint16_t>(i);
        }
    }
    // The table is as wide as the longest word: every word's entries then
    // repeat across the bits that follow it, up to that width.
    uint32_t width = 0;
    for (uint32_t bits = 1; bits <= HUFFMAN_MAX_BITS; bits++) {
        if (decoder->count[bits] != 0) {
            width = bits;
        }
    }
    decoder->mask = (1u << width) - 1;
    decoder->complete = room == 0 && width > 0;
    fill_table(decoder->table, width, [&](auto place) {
        each_word(decoder, [&](uint32_t symbol, uint32_t bits, uint32_t code) {
            place(bits, code,
                  static_cast<uint16_t>(symbol << tovarel::HUFFMAN_SYMBOL_SHIFT | bits));
        });
    });
    return true;
}

buf *huffman_encode(const uint16_t *symbols, uint64_t count, uint32_t alphabet) {
    if (!valid_alphabet(alphabet) || (symbols == nullptr && count > 0)) {
        return nullptr;
    }
    uint64_t counts[HUFFMAN_MAX_SYMBOLS] = {};
    for (uint64_t i = 0; i < count; i++) {
        if (symbols[i] >= alphabet) {
            return nullptr;
        }
        counts[symbols[i]]++;
    }
    uint8_t lengths[HUFFMAN_MAX_SYMBOLS];
    uint16_t codes[HUFFMAN_MAX_SYMBOLS];
    huffman_build_lengths(counts, alphabet, HUFFMAN_MAX_BITS, lengths);
    huffman_codes(lengths, alphabet, codes);
    tovarel::bit_writer out;
    tovarel::huffman_write_lengths(out, lengths, alphabet);
    for (uint64_t i = 0; i < count; i++) {
        tovarel::huffman_put(out, codes, lengths, symbols[i]);
    }
    out.flush();
    buf *result = buf_create();
    if (out.failed || result == nullptr || !_buf_append(result, out.data, out.len)) {
        buf_free(result);
        return nullptr;
    }
    return result;
}

bool huffman_decode(const uint8_t *data, uint64_t size, uint32_t alphabet, uint16_t *out,
                    uint64_t count) {
    return decode_stream<false>(data, size, alphabet, out, count);
}

bool huffman_decode_scalar(const uint8_t *data, uint64_t size, uint32_t alphabet, uint16_t *out,
                           uint64_t count) {
    return decode_stream<true>(data, size, alphabet, out, count);
}

TOVAREL_END_DECLS
