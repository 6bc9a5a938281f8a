/*
 * diff_compact_apply.cpp - the compact delta's reader.
 *
 * The heads are read first and checked against what the streams could
 * produce at most: every literal takes a bit of its stream at least,
 * every command three bits of the control stream, and a copy at most its
 * largest length (a copy from the new value itself may repeat its own
 * output, so the old value's size does not bound it).  A declared length
 * beyond that bound is refused before anything is allocated; below it,
 * the value grows only as commands produce bytes, doubling, so memory
 * stays within twice what the delta has really produced.  Then the commands are read in
 * order, each drawing on the literal and difference streams as it needs.
 *
 * One template serves three paths.  The scalar one decodes bit by bit and
 * is the reference; the table path decodes a symbol per lookup and checks
 * every field where it is read, so its refusal names the first fault.
 * The pipeline, which patch tries first, plans a block of commands ahead
 * (the control stream's lookups back to back), decodes the block's
 * literals, then carries the block out with whole-chunk copies; it
 * checks everything the table path checks but gives up rather than say
 * why, and the delta is then read again by the table path.
 */
#include "diff_compact_apply.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "cbor_parser.h"
#include "diff_apply.h"
#include "diff_compact_format.hpp"
#include "huffman.hpp"

namespace {

using namespace tovarel;
using namespace tovarel::compact;

constexpr int MAJOR_TYPE_SHIFT = 5;
constexpr uint8_t MAJOR_UINT = 0;
constexpr uint8_t MAJOR_BYTE_STRING = 2;
constexpr uint8_t ADDITIONAL_INFO_MASK = 0x1F;
/* Additional information 28 to 31: reserved, or indefinite. */
constexpr uint8_t ADDITIONAL_INFO_FIRST_UNUSED = 28;
/* The value's first block; it doubles from there, up to the declared length. */
constexpr uint64_t FIRST_OUTPUT_BLOCK = 64 << 10;
/* Copies move in chunks of this many bytes.  A short copy or literal run,
 * up to SHORT_RUN bytes, goes in that many whatever its length, so that no
 * branch depends on it (most of a rebuilt binary's are a few bytes to a
 * few dozen); both may write (never return) up to SHORT_RUN bytes past the
 * value's end, so every block has that much more. */
constexpr uint64_t COPY_CHUNK = 16;
constexpr uint64_t SHORT_RUN = 2 * COPY_CHUNK;
constexpr uint64_t OUTPUT_SLACK = SHORT_RUN;
/* Runs up to this long go chunk by chunk; longer ones, where the C
 * library's copy is faster than its call costs, through memcpy. */
constexpr uint64_t CHUNKED_RUN_MAX = 128;

/* The three ways through the reader: bit by bit (the reference), one
 * table lookup per symbol with every check where the field is read (the
 * reference for refusals), and the block pipeline, which gives up on
 * anything unusual and leaves it to the table path, so that a damaged
 * delta is refused with the same reason whichever path read it. */
enum class path { scalar, table, fast };

/* What the pipeline answers when it leaves a delta to the table path. */
constexpr int32_t GAVE_UP = -1;
/* Commands the pipeline decodes ahead of carrying them out.  Enough that
 * the control stream's lookups run back to back, few enough that the
 * plan stays in the first-level cache. */
constexpr uint64_t PLAN_COMMANDS = 128;
/* The literals a block decodes ahead, to begin with. */
constexpr uint64_t PLAN_LITERALS = 16 << 10;
/* What a source takes at most: its word and the extra bits of the last
 * octave.  A window topped up holds BIT_WINDOW_FULL bits, so up to a
 * pair's bits may go before the source is read without a top-up. */
constexpr unsigned SOURCE_BITS_MAX = HUFFMAN_MAX_BITS + BIN_LAST_OCTAVE - 1;
constexpr unsigned SOURCE_AFTER_TOP_UP = BIT_WINDOW_FULL - SOURCE_BITS_MAX;
static_assert(HUFFMAN_PAIR_MAX_BITS <= SOURCE_AFTER_TOP_UP);
/* How many entries of the pair table each command to read pays for. */
constexpr uint64_t PAIR_COMMANDS_PER_ENTRY = 1;
constexpr uint32_t PAIR_MIN_BITS = 2;
/* A pair's symbols are read as the numbers themselves: bins without
 * extra bits. */
static_assert(HUFFMAN_PAIR_SYMBOLS <= BIN_DIRECT);
/* Values from this long on have their copies' sources prefetched while
 * a block is planned: below it the caches hold most of the value, and the
 * prefetches cost more than they save (measured on rebuilt binaries). */
constexpr uint64_t PREFETCH_VALUE_MIN = 8 << 20;
/* The literal buffer's spare bytes: what a short run's copy reads whole. */
constexpr uint64_t LITERAL_SLACK = SHORT_RUN;

/* Tops the window up as bit_reader::refill does, without first asking
 * whether it needs it: loading again is harmless (the bits above the
 * count are the stream's own), and cheaper than a branch that the
 * lengths of the words just read make unpredictable. */
[[gnu::always_inline]] inline void top_up(bit_reader &in) {
    if (in.next + 8 <= in.size) {
        // Little-endian on every host, as refill reads: read in the host's
        // order, a big-endian host would take the stream's bytes reversed.
        in.window |= buf_load_little(in.data + in.next) << in.count;
        in.next += (63 - in.count) >> 3;
        in.count |= BIT_WINDOW_FULL;
        return;
    }
    in.refill();
}

/*
 * A binned number whose word is `length` bits of the window and whose bin
 * is `bin`: its extra bits follow the word, and both leave the window in
 * one shift.  The bin's extra bits and first value are worked out here
 * (as bin_extra_bits and bin_value work them out: bin 2k + h above the
 * direct ones is the half h of octave k + BIN_FIRST_OCTAVE, starting at
 * (2 + h) << bits) rather than looked up: the lookups of a command form
 * one chain, each waiting for the one before, and a load takes longer
 * than these few operations.
 */
[[gnu::always_inline]] inline uint64_t take_binned_bits(bit_reader &in, uint64_t window,
                                                        unsigned length, uint32_t bin) {
    bool direct = bin < BIN_DIRECT;
    unsigned bits = direct ? 0 : (bin >> 1) - (BIN_DIRECT / 2 - BIN_FIRST_OCTAVE + 1);
    uint64_t base = direct ? bin : (uint64_t{2} + (bin & 1)) << bits;
    uint64_t extra = (window >> length) & ((uint64_t{1} << bits) - 1);
    in.window = window >> (length + bits);
    in.count -= length + bits;
    return base + extra;
}

/* A binned number through the table; a word that no symbol has sets
 * `bad` (when the code can lack one) and reads as 0. */
template <bool Checked>
[[gnu::always_inline]] inline uint64_t take_number(const huffman_decoder &decoder, bit_reader &in,
                                                   bool &bad) {
    top_up(in);
    uint64_t window = in.window;
    uint16_t entry = decoder.table[window & decoder.mask];
    if constexpr (Checked) {
        bad |= entry == 0;
    }
    return take_binned_bits(in, window, entry & HUFFMAN_LENGTH_MASK, entry >> HUFFMAN_SYMBOL_SHIFT);
}

/* A source symbol and the number that follows it (none for a repeat,
 * which reads as 0), as take_number reads it, from a window that the
 * caller has topped up since at most SOURCE_AFTER_TOP_UP bits were taken. */
template <bool Checked>
[[gnu::always_inline]] inline uint64_t take_source(const huffman_decoder &decoder, bit_reader &in,
                                                   uint32_t &symbol, bool &bad) {
    uint64_t window = in.window;
    uint16_t entry = decoder.table[window & decoder.mask];
    if constexpr (Checked) {
        bad |= entry == 0;
    }
    symbol = entry >> HUFFMAN_SYMBOL_SHIFT;
    uint32_t bin = symbol < REPEATS        ? 0
                   : symbol < BEHIND_FIRST ? symbol - REPEATS
                                           : symbol - BEHIND_FIRST;
    uint64_t value = take_binned_bits(in, window, entry & HUFFMAN_LENGTH_MASK, bin);
    return symbol < REPEATS ? 0 : value;
}

/* n literal bytes at `to`, four words to a refill; false for a word that
 * no symbol has (never met in a code that fills its table, for which
 * Checked is false and the test is left out).  Overrunning the stream is
 * the caller's to ask.  The stream and the table are read into locals:
 * the bytes stored may alias anything behind a reference, which would
 * then be loaded again after each. */
template <bool Checked>
bool take_literals(const huffman_decoder &decoder, bit_reader &stream, uint8_t *to, uint64_t n) {
    bit_reader in = stream;
    const uint16_t *table = decoder.table;
    const uint32_t mask = decoder.mask;
    bool bad = false;
    uint64_t i = 0;
    for (; i + HUFFMAN_WORDS_PER_REFILL <= n; i += HUFFMAN_WORDS_PER_REFILL) {
        top_up(in);
        for (unsigned k = 0; k < HUFFMAN_WORDS_PER_REFILL; k++) {
            uint16_t entry = table[in.window & mask];
            if constexpr (Checked) {
                bad |= entry == 0;
            }
            in.skip(entry & HUFFMAN_LENGTH_MASK);
            to[i + k] = static_cast<uint8_t>(entry >> HUFFMAN_SYMBOL_SHIFT);
        }
    }
    top_up(in);
    for (; i < n; i++) {
        uint16_t entry = table[in.window & mask];
        if constexpr (Checked) {
            bad |= entry == 0;
        }
        in.skip(entry & HUFFMAN_LENGTH_MASK);
        to[i] = static_cast<uint8_t>(entry >> HUFFMAN_SYMBOL_SHIFT);
    }
    stream = in;
    return !bad;
}

/* A command read ahead: its literal run, its copy's length and source. */
struct planned {
    uint64_t run;
    uint64_t length;
    uint64_t source;
};

struct span {
    const uint8_t *data;
    uint64_t size;
};

struct header {
    uint8_t version;
    uint64_t new_length;
    uint64_t commands;
    span control;
    span literals;
    span differences;
};

/* A head of the given major type, definite and not reserved. */
bool read_head(cbor_parser &parser, uint8_t major, uint64_t &value) {
    uint8_t initial = 0;
    return cbor_parse_head(&parser, &initial, &value) == 0 &&
           initial >> MAJOR_TYPE_SHIFT == major &&
           (initial & ADDITIONAL_INFO_MASK) < ADDITIONAL_INFO_FIRST_UNUSED;
}

bool read_stream(cbor_parser &parser, span &out) {
    uint64_t size = 0;
    if (!read_head(parser, MAJOR_BYTE_STRING, size)) {
        return false;
    }
    uint64_t left = parser.size - static_cast<uint64_t>(parser.cursor - parser.start);
    if (size > left) {
        return false;
    }
    out = {parser.cursor, size};
    parser.cursor += size;
    return true;
}

/* The heads of the compact delta that the bytes begin with, and how many
 * bytes it takes: a version-2 difference stream holds two of them. */
bool read_leading_header(const buf *delta, header &h, uint64_t &extent) {
    if (!diff_compact_is_compact(delta)) {
        return false;
    }
    cbor_parser parser = {delta->data, delta->len, delta->data + sizeof SIGNATURE, 0};
    h.version = delta->data[0];
    bool ok = read_head(parser, MAJOR_UINT, h.new_length) &&
              read_head(parser, MAJOR_UINT, h.commands) && read_stream(parser, h.control) &&
              read_stream(parser, h.literals) && read_stream(parser, h.differences);
    extent = static_cast<uint64_t>(parser.cursor - parser.start);
    return ok;
}

bool read_header(const buf *delta, header &h) {
    uint64_t extent = 0;
    return read_leading_header(delta, h, extent) && extent == delta->len;
}

uint64_t saturating_add(uint64_t a, uint64_t b) {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

uint64_t saturating_mul(uint64_t a, uint64_t b) {
    return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b;
}

/* The most that the delta's streams can produce. */
uint64_t producible(const header &h) {
    return saturating_add(saturating_mul(h.literals.size, 8),
                          saturating_mul(h.commands, BIN_LIMIT));
}

/* The value being rebuilt: never beyond its declared length. */
struct output {
    uint8_t *data = nullptr;
    uint64_t len = 0;
    uint64_t capacity = 0;
    uint64_t limit = 0;

    output() = default;
    output(const output &) = delete;
    output &operator=(const output &) = delete;
    ~output() { free(data); }

    /* Room for `more` bytes, which the caller has checked fit the limit. */
    bool reserve(uint64_t more) {
        if (more <= capacity - len) {
            return true;
        }
        uint64_t grown = std::min(limit, std::max({capacity * 2, len + more, FIRST_OUTPUT_BLOCK}));
        if (grown > SIZE_MAX - OUTPUT_SLACK) {
            return false;
        }
        auto *block =
            static_cast<uint8_t *>(realloc(data, static_cast<size_t>(grown + OUTPUT_SLACK)));
        if (block == nullptr) {
            return false;
        }
        data = block;
        capacity = grown;
        return true;
    }
};

struct codes {
    huffman_decoder literal_run;
    huffman_decoder copy_length;
    /* A command's literal run and copy length in one lookup, where both
     * are short (the pipeline's alone). */
    huffman_pair_decoder run_and_length;
    huffman_decoder source;
    huffman_decoder literal;
    huffman_decoder zero_run[CONTEXTS];
    huffman_decoder difference[CONTEXTS];
};

/* Reads a stream's codes; an empty stream has codes without words. */
bool read_codes(bit_reader &in, uint64_t size,
                std::initializer_list<std::pair<huffman_decoder *, uint32_t>> wanted) {
    uint8_t lengths[HUFFMAN_MAX_SYMBOLS] = {};
    for (auto [decoder, symbols] : wanted) {
        if (size > 0 && !huffman_read_lengths(in, symbols, lengths)) {
            return false;
        }
        if (!huffman_decoder_init(decoder, lengths, symbols)) {
            return false;
        }
    }
    return !in.overrun();
}

template <bool Scalar>
[[gnu::always_inline]] inline int32_t take_symbol(const huffman_decoder *decoder, bit_reader &in) {
    return Scalar ? huffman_take_scalar(decoder, in) : huffman_take(decoder, in);
}

/* A binned number.  Either decoder leaves at least 44 bits in the window,
 * more than the 31 extra bits at most, so they are taken without a
 * refill. */
template <bool Scalar>
[[gnu::always_inline]] inline bool take_binned(const huffman_decoder *decoder, bit_reader &in,
                                               uint64_t &value) {
    int32_t symbol = take_symbol<Scalar>(decoder, in);
    if (symbol < 0) {
        return false;
    }
    auto code = static_cast<uint32_t>(symbol);
    unsigned bits = bin_extra_bits(code);
    value = bin_value(code, in.peek(bits));
    in.skip(bits);
    return true;
}

/* Copies a run whose source may overlap it from behind: byte by byte
 * then, so that the bytes just written are read again, as in LZ77. */
inline void copy_run(uint8_t *to, const uint8_t *from, uint64_t run) {
    if (from + run <= to || to + run <= from) {
        memcpy(to, from, run);
        return;
    }
    for (uint64_t i = 0; i < run; i++) {
        to[i] = from[i];
    }
}

/*
 * The same as copy_run, faster on the short runs that rebuilt binaries
 * are made of (a dozen bytes between two changed addresses): whole chunks
 * of COPY_CHUNK bytes, without the C library's call and its dispatch on
 * the length, and a run up to SHORT_RUN bytes in that many, without a
 * loop.  The last chunk may write past the run, into bytes that later
 * commands overwrite or the block's slack; it reads no further than
 * `readable` bytes from `from`.  A source less than a chunk behind its
 * target would read bytes that this very chunk writes, so such runs, and
 * those too near the end of their source, take copy_run.  (A source a
 * chunk or more behind is read a chunk at a time, each after the chunks
 * before it are written: the bytes it repeats are already there.)
 */
inline void copy_run_wide(uint8_t *to, const uint8_t *from, uint64_t run, uint64_t readable) {
    auto source = reinterpret_cast<uintptr_t>(from);
    auto target = reinterpret_cast<uintptr_t>(to);
    bool apart = source + COPY_CHUNK <= target || target + run <= source;
    if (run <= SHORT_RUN && apart && readable >= SHORT_RUN) {
        memcpy(to, from, COPY_CHUNK);
        memcpy(to + COPY_CHUNK, from + COPY_CHUNK, COPY_CHUNK);
        return;
    }
    uint64_t chunks = (run + COPY_CHUNK - 1) / COPY_CHUNK;
    if (run > CHUNKED_RUN_MAX || !apart || chunks * COPY_CHUNK > readable) {
        copy_run(to, from, run);
        return;
    }
    for (uint64_t i = 0; i < chunks; i++) {
        memcpy(to + i * COPY_CHUNK, from + i * COPY_CHUNK, COPY_CHUNK);
    }
}

/*
 * A copy without differences from a source of the unified space: the old
 * value's bytes (old_data, old_length), then the new value's block from
 * new_data, readable up to new_end (its capacity and slack).  The fields
 * come as arguments so that a caller holding them in locals keeps them
 * there across the copy's stores.
 */
inline void copy_unaltered(uint8_t *to, uint64_t source, uint64_t n, const uint8_t *old_data,
                           uint64_t old_length, const uint8_t *new_data, const uint8_t *new_end) {
    bool old = source < old_length;
    const uint8_t *from = old ? old_data + source : new_data + (source - old_length);
    const uint8_t *end = old ? old_data + old_length : new_end;
    copy_run_wide(to, from, n, static_cast<uint64_t>(end - from));
}

/* The decoder's whole state: the streams, the value, the recent shifts,
 * and how much of the current run of zero differences is left. */
template <path P> struct reader {
    static constexpr bool Scalar = P == path::scalar;
    const buf *old_value;
    const codes &code;
    bit_reader control;
    bit_reader literal;
    bit_reader difference;
    output &out;
    source_state state;
    uint64_t zeros = 0;
    int context = LONE; /* whether the run of zeros just read is empty */
    /* A version-2 delta's runs and difference bytes (null for version 1). */
    const buf *runs = nullptr;
    const buf *bytes = nullptr;
    uint64_t run_at = 0;
    uint64_t byte_at = 0;
    /* The pipeline's runs of a version-2 stream, read ahead by list_runs
     * (null on the other paths, and where it gave up): then run_next is
     * always byte_at + 1, the first run coming before any byte. */
    uint32_t *run_list = nullptr;
    uint64_t run_count = 0;
    uint64_t run_next = 0;

    /* The next run of a version-2 stream: shortest LEB128, so that one
     * stream has one reading. */
    bool take_run() {
        if (run_list != nullptr) {
            if (run_next == run_count) {
                return false;
            }
            zeros = run_list[run_next++];
            return true;
        }
        uint64_t value = 0;
        for (unsigned i = 0; i < RUN_BYTES_MAX && run_at < runs->len; i++) {
            uint8_t byte = runs->data[run_at++];
            value |= static_cast<uint64_t>(byte & ~RUN_MORE) << (RUN_DIGIT_BITS * i);
            if ((byte & RUN_MORE) == 0) {
                zeros = value;
                return i == 0 || byte != 0;
            }
        }
        return false;
    }

    /* The next nonzero difference, less one, or a negative number. */
    int32_t take_difference() {
        if (bytes != nullptr) {
            if (byte_at == bytes->len || bytes->data[byte_at] == 0) {
                return -1;
            }
            return bytes->data[byte_at++] - 1;
        }
        return take_symbol<Scalar>(&code.difference[context], difference);
    }

    bool take_zeros() {
        if (runs != nullptr) {
            return take_run();
        }
        if (!take_binned<Scalar>(&code.zero_run[context], difference, zeros)) {
            return false;
        }
        context = zeros == 0 ? CLUSTER : LONE;
        return true;
    }

    bool differences_end_cleanly() {
        if (zeros != 0) {
            return false;
        }
        if (run_list != nullptr) {
            return run_next == run_count && byte_at == bytes->len;
        }
        if (runs != nullptr) {
            return run_at == runs->len && byte_at == bytes->len;
        }
        return difference.ends_cleanly();
    }

    /*
     * Reads a version-2 stream's runs ahead into run_list, for the
     * pipeline: one test per run in a loop of its own, rather than a
     * reading of LEB128 behind every difference, which a rebuilt binary
     * has one of every few bytes.  False, and nothing listed, for a stream
     * that could not end cleanly whatever the commands: a run that is not
     * shortest LEB128 or does not fit 32 bits (the table path, which reads
     * them one by one, then says where), a zero difference byte, or other
     * than one run more than bytes (the first run comes before any byte,
     * and one follows each).
     */
    bool list_runs() {
        // Each run takes a byte at least: a stream too short for the runs
        // it owes is given up before the list is allocated, which is then
        // never larger than four times the runs' own bytes.
        uint64_t wanted = bytes->len + 1;
        if (runs->len < wanted ||
            (bytes->len > 0 && memchr(bytes->data, 0, bytes->len) != nullptr)) {
            return false;
        }
        auto *list = static_cast<uint32_t *>(malloc(wanted * sizeof(uint32_t)));
        if (list == nullptr) {
            return false;
        }
        const uint8_t *data = runs->data;
        uint64_t size = runs->len;
        uint64_t count = 0;
        bool good = true;
        for (uint64_t at = 0; good && at < size;) {
            uint8_t byte = data[at++];
            // Most runs are below 128, a byte each.
            if (byte < RUN_MORE && count < wanted) {
                list[count++] = byte;
                continue;
            }
            uint64_t value = byte & ~RUN_MORE;
            for (unsigned i = 1; good && (byte & RUN_MORE) != 0; i++) {
                good = i < RUN_BYTES_MAX && at < size;
                byte = good ? data[at++] : 0;
                value |= static_cast<uint64_t>(byte & ~RUN_MORE) << (RUN_DIGIT_BITS * i);
                good &= byte != 0;
            }
            good &= value <= UINT32_MAX && count < wanted;
            if (good) {
                list[count++] = static_cast<uint32_t>(value);
            }
        }
        if (!good || count != wanted) {
            free(list);
            return false;
        }
        run_list = list;
        run_count = count;
        return true;
    }

    /* Appends n literal bytes.  Each takes a bit at least, so a run
     * longer than the bits left is refused before any is decoded. */
    int32_t literals(uint64_t n) {
        if (n == 0) {
            return DIFF_APPLY_OK;
        }
        uint64_t left = literal.size * 8 - std::min(literal.size * 8, literal.bits_consumed());
        if (n > left || n > out.limit - out.len) {
            return n > left ? DIFF_COMPACT_BAD_LITERALS : DIFF_COMPACT_BAD_LENGTH;
        }
        if (!out.reserve(n)) {
            return DIFF_APPLY_NO_MEMORY;
        }
        uint8_t *at = out.data + out.len;
        uint64_t i = 0;
        if (!Scalar) {
            // One refill serves four words.
            for (; i + HUFFMAN_WORDS_PER_REFILL <= n; i += HUFFMAN_WORDS_PER_REFILL) {
                literal.refill();
                for (unsigned k = 0; k < HUFFMAN_WORDS_PER_REFILL; k++) {
                    int32_t symbol = huffman_take_refilled(&code.literal, literal);
                    if (symbol < 0) {
                        return DIFF_COMPACT_BAD_LITERALS;
                    }
                    at[i + k] = static_cast<uint8_t>(symbol);
                }
            }
        }
        for (; i < n; i++) {
            int32_t symbol = take_symbol<Scalar>(&code.literal, literal);
            if (symbol < 0) {
                return DIFF_COMPACT_BAD_LITERALS;
            }
            at[i] = static_cast<uint8_t>(symbol);
        }
        out.len += n;
        return literal.overrun() ? DIFF_COMPACT_BAD_LITERALS : DIFF_APPLY_OK;
    }

    /* Appends n bytes from the source with the differences added: runs of
     * zeros are plain copies, and each nonzero difference is followed by
     * the length of the next run.  A source in the new value may overlap
     * the bytes being written, which then repeat as they are produced. */
    int32_t copy(uint64_t source, uint64_t n) {
        if (!out.reserve(n)) {
            return DIFF_APPLY_NO_MEMORY;
        }
        uint8_t *to = out.data + out.len;
        out.len += n;
        return copy_to(to, source, n);
    }

    /* The bytes of a copy, written at `to`, inside the value's block. */
    int32_t copy_to(uint8_t *to, uint64_t source, uint64_t n) {
        uint64_t old_length = old_value->len;
        const uint8_t *from =
            source < old_length ? old_value->data + source : out.data + (source - old_length);
        // What a chunk may read from the source: the old value ends where
        // it ends; the new value's block, a chunk beyond its capacity.
        const uint8_t *readable_end = source < old_length ? old_value->data + old_length
                                                          : out.data + out.capacity + OUTPUT_SLACK;
        while (n > 0) {
            if (zeros > 0) {
                uint64_t run = std::min(zeros, n);
                if (Scalar) {
                    copy_run(to, from, run);
                } else {
                    copy_run_wide(to, from, run, static_cast<uint64_t>(readable_end - from));
                }
                to += run;
                from += run;
                n -= run;
                zeros -= run;
                continue;
            }
            int32_t symbol = take_difference();
            if (symbol < 0 || !take_zeros() || difference.overrun()) {
                return DIFF_COMPACT_BAD_DIFFERENCES;
            }
            *to++ = static_cast<uint8_t>(*from++ + symbol + 1);
            n--;
        }
        return DIFF_APPLY_OK;
    }

    /* Where a copy of n bytes comes from: a recent shift, a distance from
     * the end of the previous copy, or a distance behind the target. */
    int32_t locate(uint64_t n, uint64_t &source) {
        int32_t symbol = take_symbol<Scalar>(&code.source, control);
        if (symbol < 0) {
            return DIFF_COMPACT_BAD_CONTROL;
        }
        auto kind = static_cast<uint32_t>(symbol);
        uint64_t target = out.len;
        uint64_t old_length = old_value->len;
        if (kind < REPEATS) {
            source = target + static_cast<uint64_t>(state.shift[kind]);
            state.reuse(kind);
        } else if (kind < BEHIND_FIRST) {
            uint32_t bin = kind - REPEATS;
            uint64_t distance = bin_value(bin, control.take(bin_extra_bits(bin)));
            source = state.old_end + static_cast<uint64_t>(unzigzag(distance));
            state.remember(static_cast<int64_t>(source - target));
        } else {
            uint32_t bin = kind - BEHIND_FIRST;
            uint64_t behind = bin_value(bin, control.take(bin_extra_bits(bin))) + 1;
            if (behind > target) {
                return DIFF_COMPACT_BAD_COPY;
            }
            source = old_length + (target - behind);
            state.remember(static_cast<int64_t>(source - target));
        }
        bool inside = source < old_length ? n <= old_length - source : source - old_length < target;
        if (!inside) {
            return DIFF_COMPACT_BAD_COPY;
        }
        state.old_end = source + n;
        return DIFF_APPLY_OK;
    }

    int32_t command() {
        uint64_t run = 0;
        uint64_t length = 0;
        if (!take_binned<Scalar>(&code.literal_run, control, run) ||
            !take_binned<Scalar>(&code.copy_length, control, length)) {
            return DIFF_COMPACT_BAD_CONTROL;
        }
        length++;
        int32_t status = literals(run);
        uint64_t source = 0;
        if (status == DIFF_APPLY_OK) {
            status =
                length > out.limit - out.len ? DIFF_COMPACT_BAD_LENGTH : locate(length, source);
        }
        if (status == DIFF_APPLY_OK && control.overrun()) {
            status = DIFF_COMPACT_BAD_CONTROL;
        }
        return status == DIFF_APPLY_OK ? copy(source, length) : status;
    }

    /*
     * Plans up to PLAN_COMMANDS commands from the control stream: their
     * numbers, their sources resolved and checked against the old value
     * and the value as it will be by then.  Reading a block of commands
     * in one loop lets the lookups of one command overlap those of the
     * next, which interleaving them with the copies would stall.  The
     * block's literals, whose count comes back in literal_total (and the
     * bytes the block builds in produced), are
     * decoded after, in a loop of their own: decoding them here as they
     * fell due, alongside the control stream's lookups, cost more in
     * instructions than the overlap of the two chains gained.  The number
     * of planned commands, or 0 for anything the table path must look at.
     */
    template <bool Checked>
    uint64_t plan(planned *into, uint64_t most, uint64_t &literal_total, uint64_t &produced) {
        uint64_t literal_count = 0;
        const uint64_t limit = out.limit;
        bit_reader in = control;
        source_state at = state;
        uint64_t target = out.len;
        uint64_t old_length = old_value->len;
        const auto old_address = reinterpret_cast<uintptr_t>(old_value->data);
        const auto new_address = reinterpret_cast<uintptr_t>(out.data);
        const bool prefetch = limit >= PREFETCH_VALUE_MIN;
        bool bad = false;
        // Every literal takes a bit at least: runs beyond the bits left are
        // refused before any is decoded, as the table path refuses them.
        uint64_t bits_left = literal.size * 8 - std::min(literal.size * 8, literal.bits_consumed());
        // The target and the literal count start from bytes really held in
        // memory, and a block adds less than this to them: neither wraps.
        static_assert(PLAN_COMMANDS * 2 * BIN_LIMIT < (uint64_t{1} << 48));
        for (uint64_t k = 0; k < most; k++) {
            uint32_t symbol = 0;
            uint64_t run = 0;
            uint64_t length = 0;
            // The run and the length in one lookup where the pair table
            // has them (most commands of a rebuilt binary: short runs
            // between changed addresses, short copies), which takes one
            // lookup out of the chain that each command waits on; the
            // branch goes the same way for most commands.
            top_up(in);
            uint16_t both = code.run_and_length.table[in.window & code.run_and_length.mask];
            // A pair leaves enough bits in the window for the source,
            // which then needs no top-up of its own: one step less again.
            if (both != 0) {
                run = (both >> HUFFMAN_PAIR_FIRST_SHIFT) & HUFFMAN_PAIR_SYMBOL_MASK;
                length = ((both >> HUFFMAN_PAIR_SECOND_SHIFT) & HUFFMAN_PAIR_SYMBOL_MASK) + 1;
                in.skip(both & HUFFMAN_PAIR_BITS_MASK);
            } else {
                run = take_number<Checked>(code.literal_run, in, bad);
                length = take_number<Checked>(code.copy_length, in, bad) + 1;
                top_up(in);
            }
            uint64_t value = take_source<Checked>(code.source, in, symbol, bad);
            // The value's length and the literal stream's bits are held to
            // once, after the block (both sums only grow, and from the
            // bytes really built a block of numbers below BIN_LIMIT cannot
            // wrap them): a block that breaks either is given up whole.
            target += run;
            literal_count += run;
            // All three ways are worked out and one is chosen, and the
            // recent shifts move as the table path's reuse and remember
            // move them: which way a command takes is as good as random,
            // and a branch on it would be mispredicted on every other.
            bool repeat = symbol < REPEATS;
            bool behind = symbol >= BEHIND_FIRST;
            if (behind && value + 1 > target) {
                return 0;
            }
            int64_t recent = at.shift[repeat ? symbol : 0];
            uint64_t source = repeat   ? target + static_cast<uint64_t>(recent)
                              : behind ? old_length + (target - (value + 1))
                                       : at.old_end + static_cast<uint64_t>(unzigzag(value));
            int64_t second = repeat && symbol == 0 ? at.shift[1] : at.shift[0];
            int64_t third = repeat && symbol < 2 ? at.shift[2] : at.shift[1];
            at.shift[0] = static_cast<int64_t>(source - target);
            at.shift[1] = second;
            at.shift[2] = third;
            bool inside =
                source < old_length ? length <= old_length - source : source - old_length < target;
            if (!inside) {
                return 0;
            }
            at.old_end = source + length;
            into[k] = {run, length, source};
            target += length;
            // The copy's first bytes, asked of memory a block ahead of the
            // copy, in a value too large for the caches: most copies of a
            // rebuilt binary repeat bytes of the new value from far
            // behind.  (A block the value outgrows moves before it is
            // written; a prefetch of where it was is only wasted, never a
            // fault.)
            if (prefetch) {
                uintptr_t base = source < old_length ? old_address : new_address - old_length;
                __builtin_prefetch(reinterpret_cast<const void *>(base + source));
            }
        }
        if (bad || in.overrun() || target > limit || literal_count > bits_left) {
            return 0;
        }
        control = in;
        state = at;
        literal_total = literal_count;
        produced = target - out.len;
        return most;
    }

    /* Carries out planned commands, their literals decoded ahead into
     * `literals`. */
    int32_t carry_out(const planned *commands, uint64_t count, const uint8_t *literals) {
        // What the loop reads of the reader is held in locals, the run of
        // zeros too (handed back around the calls that take differences):
        // the bytes it copies may alias anything behind `this`, which
        // would be loaded again after each copy.
        uint8_t *const data = out.data;
        const uint8_t *const old_data = old_value->data;
        const uint64_t old_length = old_value->len;
        const uint8_t *const block_end = data + out.capacity + OUTPUT_SLACK;
        uint8_t *to = data + out.len;
        uint64_t run_of_zeros = zeros;
        int32_t status = DIFF_APPLY_OK;
        for (uint64_t k = 0; k < count; k++) {
            const planned &c = commands[k];
            // Whole chunks, the first SHORT_RUN bytes whether the run has
            // them or not (most runs are a few bytes, and a loop's exit
            // would be mispredicted on every other): the buffer and the
            // value's block both have that much to spare, and what a chunk
            // writes past the run the copy that follows overwrites.
            memcpy(to, literals, COPY_CHUNK);
            memcpy(to + COPY_CHUNK, literals + COPY_CHUNK, COPY_CHUNK);
            for (uint64_t i = SHORT_RUN; i < c.run; i += COPY_CHUNK) {
                memcpy(to + i, literals + i, COPY_CHUNK);
            }
            literals += c.run;
            to += c.run;
            if (run_of_zeros >= c.length) {
                run_of_zeros -= c.length;
                copy_unaltered(to, c.source, c.length, old_data, old_length, data, block_end);
            } else {
                zeros = run_of_zeros;
                bool done = c.source < old_length
                                ? copy_altered(to, c.source, c.length)
                                : copy_to(to, c.source, c.length) == DIFF_APPLY_OK;
                run_of_zeros = zeros;
                if (!done) {
                    status = GAVE_UP;
                    break;
                }
            }
            to += c.length;
        }
        zeros = run_of_zeros;
        out.len = static_cast<uint64_t>(to - data);
        return status;
    }

    /*
     * A copy from the old value with differences, as copy_to makes it:
     * the old value never overlaps the bytes being written, so the whole
     * copy goes at once and the differences are added after, each where
     * its run of zeros ends, rather than a copy for every run between two
     * differences (a few bytes apart in a rebuilt binary, where every
     * moved address differs).  False for a difference the stream lacks.
     */
    bool copy_altered(uint8_t *to, uint64_t source, uint64_t n) {
        copy_plain(to, source, n);
        if (run_list != nullptr) {
            return add_listed(to, n);
        }
        for (uint64_t at = 0;;) {
            if (zeros >= n - at) {
                zeros -= n - at;
                return true;
            }
            at += zeros;
            int32_t symbol = take_difference();
            if (symbol < 0 || !take_zeros() || difference.overrun()) {
                return false;
            }
            to[at] = static_cast<uint8_t>(to[at] + symbol + 1);
            at++;
        }
    }

    /* The differences of n copied bytes at `to` from a version-2 stream
     * whose runs are listed: every byte is nonzero and there is a run after
     * each (list_runs checked both), so a difference needs no test but
     * that one is left. */
    bool add_listed(uint8_t *to, uint64_t n) {
        const uint8_t *difference_bytes = bytes->data;
        const uint32_t *listed = run_list;
        const uint64_t last = bytes->len;
        uint64_t next = byte_at;
        uint64_t run = zeros;
        uint64_t at = 0;
        while (run < n - at) {
            at += run;
            if (next == last) {
                return false;
            }
            to[at] = static_cast<uint8_t>(to[at] + difference_bytes[next]);
            next++;
            run = listed[next];
            at++;
        }
        zeros = run - (n - at);
        byte_at = next;
        run_next = next + 1;
        return true;
    }

    /* A copy without differences. */
    void copy_plain(uint8_t *to, uint64_t source, uint64_t n) {
        copy_unaltered(to, source, n, old_value->data, old_value->len, out.data,
                       out.data + out.capacity + OUTPUT_SLACK);
    }

    /* The commands through the pipeline: plan a block, decode its
     * literals, carry it out.  Anything amiss gives up, and the table path
     * reads the delta again to say what. */
    int32_t run_planned(uint64_t commands) {
        if (runs != nullptr && commands > 0 && !list_runs()) {
            return GAVE_UP;
        }
        int32_t status = commands > 0 && !take_zeros() ? GAVE_UP : planned_commands(commands);
        free(run_list);
        run_list = nullptr;
        return status;
    }

    int32_t planned_commands(uint64_t commands) {
        // The block's literals; it grows for a block whose runs need more,
        // which the literal stream's bits bound (plan checks every run
        // against them).
        uint64_t room = PLAN_LITERALS;
        auto *block = static_cast<uint8_t *>(malloc(room + LITERAL_SLACK));
        if (block == nullptr) {
            return GAVE_UP;
        }
        planned ahead[PLAN_COMMANDS];
        // Codes that fill their tables cannot meet a word that no symbol
        // has, and most do: planning then leaves out the test per lookup.
        bool checked = !(code.literal_run.complete && code.copy_length.complete &&
                         code.source.complete && code.literal.complete);
        int32_t status = DIFF_APPLY_OK;
        for (uint64_t done = 0; status == DIFF_APPLY_OK && done < commands;) {
            uint64_t literal_count = 0;
            uint64_t produced = 0;
            uint64_t most = std::min(PLAN_COMMANDS, commands - done);
            uint64_t count = checked ? plan<true>(ahead, most, literal_count, produced)
                                     : plan<false>(ahead, most, literal_count, produced);
            if (count == 0 || !out.reserve(produced)) {
                status = GAVE_UP;
                break;
            }
            if (literal_count > room) {
                auto *grown = static_cast<uint8_t *>(realloc(block, literal_count + LITERAL_SLACK));
                if (grown == nullptr) {
                    status = GAVE_UP;
                    break;
                }
                block = grown;
                room = literal_count;
            }
            bool words = code.literal.complete
                             ? take_literals<false>(code.literal, literal, block, literal_count)
                             : take_literals<true>(code.literal, literal, block, literal_count);
            if (!words || literal.overrun()) {
                status = GAVE_UP;
                break;
            }
            status = carry_out(ahead, count, block);
            done += count;
        }
        free(block);
        if (status != DIFF_APPLY_OK) {
            return GAVE_UP;
        }
        return finish();
    }

    /* The literals after the last command, and every stream used up. */
    int32_t finish() {
        int32_t status = literals(out.limit - out.len);
        if (status != DIFF_APPLY_OK) {
            return status;
        }
        if (!control.ends_cleanly()) {
            return DIFF_COMPACT_BAD_CONTROL;
        }
        if (!literal.ends_cleanly()) {
            return DIFF_COMPACT_BAD_LITERALS;
        }
        if (!differences_end_cleanly()) {
            return DIFF_COMPACT_BAD_DIFFERENCES;
        }
        return DIFF_APPLY_OK;
    }

    int32_t run(uint64_t commands) {
        if constexpr (P == path::fast) {
            return run_planned(commands);
        }
        if (commands > 0 && !take_zeros()) {
            return DIFF_COMPACT_BAD_DIFFERENCES;
        }
        for (uint64_t i = 0; i < commands; i++) {
            int32_t status = command();
            if (status != DIFF_APPLY_OK) {
                return status;
            }
        }
        return finish();
    }
};

template <path P> buf *apply(const buf *old_value, const buf *delta, int32_t *status);

/*
 * One of a version-2 delta's nested deltas, which builds from nothing at
 * most `most` bytes: its declared length is held to that before anything
 * is built, and its own reader then grows as it produces.
 */
template <path P> int32_t read_nested(const buf &nested, uint64_t most, buf *&built) {
    header inner = {};
    if (!read_header(&nested, inner) || inner.version != VERSION || inner.new_length > most) {
        return DIFF_COMPACT_BAD_DIFFERENCES;
    }
    const buf nothing = {nullptr, 0, 0};
    int32_t status = DIFF_APPLY_OK;
    built = apply<P>(&nothing, &nested, &status);
    if (built == nullptr) {
        return status == DIFF_APPLY_NO_MEMORY ? DIFF_APPLY_NO_MEMORY : DIFF_COMPACT_BAD_DIFFERENCES;
    }
    return DIFF_APPLY_OK;
}

/* A version-2 delta's difference stream: the delta of the runs, then the
 * delta of the difference bytes.  A value of N bytes has N differences at
 * most, and one run more than differences. */
template <path P> int32_t read_events(const header &h, buf *&runs, buf *&bytes) {
    buf stream = {const_cast<uint8_t *>(h.differences.data), h.differences.size,
                  h.differences.size};
    header first = {};
    uint64_t extent = 0;
    if (!read_leading_header(&stream, first, extent)) {
        return DIFF_COMPACT_BAD_DIFFERENCES;
    }
    buf leading = {stream.data, extent, extent};
    buf trailing = {stream.data + extent, stream.len - extent, stream.len - extent};
    uint64_t most_runs = saturating_mul(RUN_BYTES_MAX, saturating_add(h.new_length, 1));
    int32_t status = read_nested<P>(leading, most_runs, runs);
    if (status == DIFF_APPLY_OK) {
        status = read_nested<P>(trailing, h.new_length, bytes);
    }
    return status;
}

/*
 * The pipeline's pair table for the runs and lengths.  Filling an entry
 * costs about what reading a command through the table saves, so the
 * table is no wider than there are commands to read: a narrower one still
 * holds the pairs of the shortest words, which are the most frequent.
 * Below PAIR_MIN_BITS (a pair takes a bit per word at least) it is left
 * empty, which sends every command to the two codes.
 */
void prepare_pairs(codes &table, uint64_t commands) {
    uint32_t width = huffman_pair_width(&table.literal_run, &table.copy_length);
    while (width > 0 && (uint64_t{1} << width) > commands * PAIR_COMMANDS_PER_ENTRY) {
        width--;
    }
    huffman_pair_init(&table.run_and_length, &table.literal_run, &table.copy_length,
                      width < PAIR_MIN_BITS ? 0 : width);
}

template <path P> int32_t decode(const buf *old_value, const header &h, output &out) {
    buf *runs = nullptr;
    buf *bytes = nullptr;
    if (h.version == VERSION_NESTED) {
        int32_t status = read_events<P>(h, runs, bytes);
        if (status != DIFF_APPLY_OK) {
            buf_free(runs);
            buf_free(bytes);
            return status;
        }
    }
    auto *table = static_cast<codes *>(malloc(sizeof(codes)));
    if (table == nullptr) {
        buf_free(runs);
        buf_free(bytes);
        return DIFF_APPLY_NO_MEMORY;
    }
    reader<P> r{old_value,
                *table,
                bit_reader(h.control.data, h.control.size),
                bit_reader(h.literals.data, h.literals.size),
                bit_reader(h.differences.data, h.differences.size),
                out,
                {},
                0};
    r.runs = runs;
    r.bytes = bytes;
    int32_t status = DIFF_APPLY_OK;
    if (!read_codes(r.control, h.control.size,
                    {{&table->literal_run, BIN_SYMBOLS},
                     {&table->copy_length, BIN_SYMBOLS},
                     {&table->source, OFFSET_SYMBOLS}})) {
        status = DIFF_COMPACT_BAD_CONTROL;
    } else if (!read_codes(r.literal, h.literals.size, {{&table->literal, LITERAL_SYMBOLS}})) {
        status = DIFF_COMPACT_BAD_LITERALS;
    } else if (runs == nullptr &&
               !read_codes(r.difference, h.differences.size,
                           {{&table->zero_run[LONE], BIN_SYMBOLS},
                            {&table->zero_run[CLUSTER], BIN_SYMBOLS},
                            {&table->difference[LONE], DIFFERENCE_SYMBOLS},
                            {&table->difference[CLUSTER], DIFFERENCE_SYMBOLS}})) {
        status = DIFF_COMPACT_BAD_DIFFERENCES;
    } else {
        if constexpr (P == path::fast) {
            prepare_pairs(*table, h.commands);
        }
        status = r.run(h.commands);
    }
    free(table);
    buf_free(runs);
    buf_free(bytes);
    return status;
}

template <path P> buf *apply(const buf *old_value, const buf *delta, int32_t *status) {
    int32_t ignored = DIFF_APPLY_OK;
    int32_t &outcome = status != nullptr ? *status : ignored;
    if (!buf_has_its_bytes(old_value) || !buf_has_its_bytes(delta)) {
        outcome = DIFF_APPLY_NO_INPUT;
        return nullptr;
    }
    header h = {};
    if (!read_header(delta, h)) {
        outcome = DIFF_COMPACT_BAD_HEADER;
        return nullptr;
    }
    if (h.commands > saturating_mul(h.control.size, 8) / MIN_COMMAND_BITS) {
        outcome = DIFF_COMPACT_BAD_CONTROL;
        return nullptr;
    }
    if (h.new_length > producible(h)) {
        outcome = DIFF_COMPACT_BAD_LENGTH;
        return nullptr;
    }
    output out;
    out.limit = h.new_length;
    // A new version is mostly as long as the old one: a block that the old
    // value and the delta's own bytes account for is taken at once, which
    // saves the copies of growing, and anything longer grows as produced.
    uint64_t expected = saturating_add(old_value->len, saturating_mul(delta->len, 8));
    if (!out.reserve(std::min(h.new_length, expected))) {
        outcome = DIFF_APPLY_NO_MEMORY;
        return nullptr;
    }
    outcome = decode<P>(old_value, h, out);
    buf *result = outcome == DIFF_APPLY_OK ? buf_create() : nullptr;
    if (outcome == DIFF_APPLY_OK && result == nullptr) {
        outcome = DIFF_APPLY_NO_MEMORY;
    }
    if (result != nullptr) {
        *result = {out.data, out.len, out.capacity};
        out.data = nullptr;
    }
    return result;
}

/*
 * Tells what a compact delta holds without its old value: the control
 * stream alone is read, command by command, as the reader reads it, and
 * the literals are what the commands leave of the declared length.  The
 * other streams' damage, and copies that only the old value's size could
 * refuse, are for the reader to find.
 */
int32_t summarize(const buf *delta, diff_summary *summary) {
    header h = {};
    if (!buf_has_its_bytes(delta)) {
        return DIFF_APPLY_NO_INPUT;
    }
    if (!read_header(delta, h)) {
        return DIFF_COMPACT_BAD_HEADER;
    }
    if (h.commands > saturating_mul(h.control.size, 8) / MIN_COMMAND_BITS) {
        return DIFF_COMPACT_BAD_CONTROL;
    }
    if (h.new_length > producible(h)) {
        return DIFF_COMPACT_BAD_LENGTH;
    }
    auto *table = static_cast<codes *>(malloc(sizeof(codes)));
    if (table == nullptr) {
        return DIFF_APPLY_NO_MEMORY;
    }
    bit_reader control(h.control.data, h.control.size);
    int32_t status = read_codes(control, h.control.size,
                                {{&table->literal_run, BIN_SYMBOLS},
                                 {&table->copy_length, BIN_SYMBOLS},
                                 {&table->source, OFFSET_SYMBOLS}})
                         ? DIFF_APPLY_OK
                         : DIFF_COMPACT_BAD_CONTROL;
    uint64_t built = 0;
    uint64_t copied = 0;
    for (uint64_t i = 0; status == DIFF_APPLY_OK && i < h.commands; i++) {
        uint64_t run = 0;
        uint64_t length = 0;
        int32_t kind = -1;
        if (!take_binned<false>(&table->literal_run, control, run) ||
            !take_binned<false>(&table->copy_length, control, length) ||
            (kind = take_symbol<false>(&table->source, control)) < 0) {
            status = DIFF_COMPACT_BAD_CONTROL;
            break;
        }
        auto source = static_cast<uint32_t>(kind);
        if (source >= REPEATS) {
            uint32_t bin = source < BEHIND_FIRST ? source - REPEATS : source - BEHIND_FIRST;
            control.take(bin_extra_bits(bin));
        }
        length++;
        if (run > h.new_length - built || length > h.new_length - built - run) {
            status = DIFF_COMPACT_BAD_LENGTH;
            break;
        }
        built += run + length;
        copied += length;
        if (control.overrun()) {
            status = DIFF_COMPACT_BAD_CONTROL;
        }
    }
    if (status == DIFF_APPLY_OK && !control.ends_cleanly()) {
        status = DIFF_COMPACT_BAD_CONTROL;
    }
    free(table);
    if (status == DIFF_APPLY_OK) {
        *summary = {DIFF_FORM_COMPACT, h.commands, copied, h.new_length - copied};
    }
    return status;
}

} // namespace

TOVAREL_BEGIN_DECLS

bool diff_compact_is_compact(const buf *delta) {
    return buf_has_its_bytes(delta) && delta->len >= sizeof SIGNATURE &&
           (delta->data[0] == VERSION || delta->data[0] == VERSION_NESTED) &&
           memcmp(delta->data + 1, SIGNATURE + 1, sizeof SIGNATURE - 1) == 0;
}

buf *diff_compact_apply_binary(const buf *old_value, const buf *delta, int32_t *status) {
    // The pipeline takes every delta it can rebuild; whatever it balks at
    // (damage, or memory it could not have) is read again from the start
    // by the table path, whose refusal names the first fault in order.
    buf *built = apply<path::fast>(old_value, delta, nullptr);
    if (built != nullptr) {
        if (status != nullptr) {
            *status = DIFF_APPLY_OK;
        }
        return built;
    }
    return apply<path::table>(old_value, delta, status);
}

buf *_diff_compact_apply_binary_table(const buf *old_value, const buf *delta, int32_t *status) {
    return apply<path::table>(old_value, delta, status);
}

buf *_diff_compact_apply_binary_pipeline(const buf *old_value, const buf *delta) {
    return apply<path::fast>(old_value, delta, nullptr);
}

buf *_diff_compact_apply_binary_scalar(const buf *old_value, const buf *delta, int32_t *status) {
    return apply<path::scalar>(old_value, delta, status);
}

int32_t diff_compact_summarize(const buf *delta, uint64_t old_size, diff_summary *summary) {
    (void)old_size;
    return summarize(delta, summary);
}

TOVAREL_END_DECLS
