/*
 * diff_compact_write.cpp - the compact delta's writer.
 *
 * The commands are walked twice with the same walk: once to count how
 * often each symbol of each alphabet occurs, once to write the symbols
 * with the codes built from those counts.  Walking again costs less than
 * keeping every symbol of a large value, and the two walks cannot
 * disagree.  Only the differences inside the copies, which the first walk
 * finds by comparing every copied byte, are kept from it: as the runs and
 * bytes that version 2 nests anyway, a byte or two for each difference,
 * from which the second walk writes their codes without comparing again
 * (a third of the writer's instructions on compiled binaries went to
 * comparing the same bytes twice, or three times with the nested form).
 */
#include "diff_compact_write.h"

#include <cstring>
#include <initializer_list>

#include "diff_compact_format.hpp"
#include "diff_compact_match.h"
#include "diff_generate.h"
#include "diff_index_compare.h"
#include "huffman.hpp"
#include "work_pool.h"

namespace {

using namespace tovarel;
using namespace tovarel::compact;

constexpr uint8_t MAJOR_UINT = 0;
constexpr uint8_t MAJOR_BYTE_STRING = 2;

/* A difference stream shorter than this is kept as codes: the events of
 * so few differences hold no patterns worth the match finder's time, nor
 * the nested delta's heads and codes. */
constexpr uint64_t NESTED_MIN_STREAM = 256;

/* Streams of the nested deltas, together, from which each is built on a
 * thread of its own. */
constexpr uint64_t NESTED_APART_FROM = 64 << 10;

/* No bound on a delta's size. */
constexpr uint64_t NO_LIMIT = UINT64_MAX;

/* The first position in [from, to) where the two spans differ, or to:
 * sixteen bytes at a time, with the index method's forward extension,
 * since copies are mostly equal bytes. */
uint64_t next_difference(const uint8_t *a, const uint8_t *b, uint64_t from, uint64_t to) {
    return from + diff_index::extend_forward_wide(a + from, b + from, to - from);
}

/* Set by the test hook: the second walk compares the copies' bytes again
 * rather than reading the first walk's differences. */
bool compare_twice = false;

/* One alphabet's counts, and then its code. */
struct alphabet {
    uint32_t symbols;
    uint64_t counts[HUFFMAN_MAX_SYMBOLS] = {};
    uint8_t lengths[HUFFMAN_MAX_SYMBOLS] = {};
    uint16_t codes[HUFFMAN_MAX_SYMBOLS] = {};

    explicit alphabet(uint32_t size) : symbols(size) {}

    bool used() const {
        for (uint32_t i = 0; i < symbols; i++) {
            if (counts[i] != 0) {
                return true;
            }
        }
        return false;
    }

    void build() {
        huffman_build_lengths(counts, symbols, HUFFMAN_MAX_BITS, lengths);
        huffman_codes(lengths, symbols, codes);
    }
};

struct alphabets {
    alphabet literal_run{BIN_SYMBOLS};
    alphabet copy_length{BIN_SYMBOLS};
    alphabet source{OFFSET_SYMBOLS};
    alphabet literal{LITERAL_SYMBOLS};
    /* Each by context: whether the run before is empty (inside a cluster
     * of differing bytes) or not. */
    alphabet zero_run[CONTEXTS] = {alphabet{BIN_SYMBOLS}, alphabet{BIN_SYMBOLS}};
    alphabet difference[CONTEXTS] = {alphabet{DIFFERENCE_SYMBOLS}, alphabet{DIFFERENCE_SYMBOLS}};
};

/* The runs and difference bytes of version 2: each run of equal bytes
 * as a little-endian number of RUN_DIGIT_BITS digits, RUN_MORE marking
 * each digit but the last, and each difference as its byte. */
void put_run(bit_writer &runs, uint64_t n) {
    while (n >= RUN_MORE) {
        runs.put((n & (RUN_MORE - 1)) | RUN_MORE, 8);
        n >>= RUN_DIGIT_BITS;
    }
    runs.put(n, 8);
}

/* The first walk: counts symbols, and the extra bits of the control and
 * difference streams, and keeps the differences' runs and bytes. */
struct counter {
    alphabets &a;
    bit_writer &runs;
    bit_writer &bytes;
    uint64_t control_extra = 0;
    uint64_t difference_extra = 0;

    void literal_run(uint64_t n) { control_extra += count_binned(a.literal_run, n); }
    void copy_length(uint64_t n) { control_extra += count_binned(a.copy_length, n); }
    void source(uint32_t symbol, binned distance) {
        a.source.counts[symbol]++;
        control_extra += distance.extra_bits;
    }
    static unsigned count_binned(alphabet &code, uint64_t n) {
        binned b = bin_of(n);
        code.counts[b.symbol]++;
        return b.extra_bits;
    }
    void literals(const uint8_t *bytes_from, uint64_t n) {
        for (uint64_t i = 0; i < n; i++) {
            a.literal.counts[bytes_from[i]]++;
        }
    }
    void zero_run(uint64_t n, int context) {
        difference_extra += count_binned(a.zero_run[context], n);
        put_run(runs, n);
    }
    void difference(uint8_t byte, int context) {
        a.difference[context].counts[byte - 1]++;
        bytes.put(byte, 8);
    }
};

/* The second walk: writes them. */
struct writer {
    alphabets &a;
    bit_writer &control_bits;
    bit_writer &literal_bits;
    bit_writer &difference_bits;

    /* A symbol's word and the extra bits after it, as one field where
     * they fit in one: the bits come out as from two puts, in one. */
    static void put_with_extra(bit_writer &out, const alphabet &code, uint32_t symbol,
                               uint32_t extra, unsigned extra_bits) {
        unsigned length = code.lengths[symbol];
        if (length + extra_bits <= BIT_FIELD_MAX) {
            out.put(code.codes[symbol] | static_cast<uint64_t>(extra) << length,
                    length + extra_bits);
        } else {
            huffman_put(out, code.codes, code.lengths, symbol);
            out.put(extra, extra_bits);
        }
    }
    static void put_binned(bit_writer &out, const alphabet &code, uint64_t n) {
        binned b = bin_of(n);
        put_with_extra(out, code, b.symbol, b.extra, b.extra_bits);
    }
    void literal_run(uint64_t n) { put_binned(control_bits, a.literal_run, n); }
    void copy_length(uint64_t n) { put_binned(control_bits, a.copy_length, n); }
    void source(uint32_t symbol, binned distance) {
        put_with_extra(control_bits, a.source, symbol, distance.extra, distance.extra_bits);
    }
    /* Two words at a time: two of HUFFMAN_MAX_BITS fit in one field, and
     * literals are most of the puts of a value that changed much. */
    void literals(const uint8_t *bytes, uint64_t n) {
        static_assert(2 * HUFFMAN_MAX_BITS <= BIT_FIELD_MAX);
        const uint16_t *codes = a.literal.codes;
        const uint8_t *lengths = a.literal.lengths;
        uint64_t i = 0;
        for (; i + 2 <= n; i += 2) {
            unsigned first = lengths[bytes[i]];
            literal_bits.put(codes[bytes[i]] | static_cast<uint64_t>(codes[bytes[i + 1]]) << first,
                             first + lengths[bytes[i + 1]]);
        }
        if (i < n) {
            huffman_put(literal_bits, codes, lengths, bytes[i]);
        }
    }
    void zero_run(uint64_t n, int context) { put_binned(difference_bits, a.zero_run[context], n); }
    void difference(uint8_t byte, int context) {
        const alphabet &code = a.difference[context];
        huffman_put(difference_bits, code.codes, code.lengths, byte - 1u);
    }
};

/* Hands the symbols of the control and literal streams to the sink, in
 * stream order. */
template <typename Sink>
void walk_commands(const buf *old_value, const buf *new_value, const diff_compact_parse *parse,
                   Sink &sink) {
    source_state state;
    uint64_t at = 0;
    for (uint64_t i = 0; i < parse->count; i++) {
        const diff_compact_copy &copy = parse->copies[i];
        sink.literal_run(copy.target - at);
        sink.copy_length(copy.length - 1);
        auto shift = static_cast<int64_t>(copy.source - copy.target);
        uint32_t k = 0;
        while (k < REPEATS && state.shift[k] != shift) {
            k++;
        }
        if (k < REPEATS) {
            sink.source(k, binned{0, 0, 0});
            state.reuse(k);
        } else if (copy.source < old_value->len) {
            binned distance = bin_of(zigzag(static_cast<int64_t>(copy.source - state.old_end)));
            sink.source(REPEATS + distance.symbol, distance);
            state.remember(shift);
        } else {
            binned behind = bin_of(copy.target - (copy.source - old_value->len) - 1);
            sink.source(BEHIND_FIRST + behind.symbol, behind);
            state.remember(shift);
        }
        state.old_end = copy.source + copy.length;
        at = copy.target + copy.length;
    }
    // The literal bytes go to their own stream, so they are handed over
    // in one piece per run, once the commands are through.
    at = 0;
    for (uint64_t i = 0; i < parse->count; i++) {
        sink.literals(new_value->data + at, parse->copies[i].target - at);
        at = parse->copies[i].target + parse->copies[i].length;
    }
    sink.literals(new_value->data + at, new_value->len - at);
}

/* Hands the symbols of the difference stream to the sink, in stream
 * order: the copies' differing bytes and the runs of equal bytes between
 * them.  It shares no state with walk_commands, so the two may run at
 * once. */
template <typename Sink>
void walk_differences(const buf *old_value, const buf *new_value, const diff_compact_parse *parse,
                      Sink &sink) {
    uint64_t zeros = 0;
    int context = LONE;
    for (uint64_t i = 0; i < parse->count; i++) {
        const diff_compact_copy &copy = parse->copies[i];
        const uint8_t *old_bytes = copy.source < old_value->len
                                       ? old_value->data + copy.source
                                       : new_value->data + (copy.source - old_value->len);
        const uint8_t *new_bytes = new_value->data + copy.target;
        uint64_t from = 0;
        while (true) {
            uint64_t j = next_difference(old_bytes, new_bytes, from, copy.length);
            zeros += j - from;
            if (j == copy.length) {
                break;
            }
            sink.zero_run(zeros, context);
            context = zeros == 0 ? CLUSTER : LONE;
            sink.difference(static_cast<uint8_t>(new_bytes[j] - old_bytes[j]), context);
            zeros = 0;
            from = j + 1;
        }
    }
    if (parse->count > 0) {
        sink.zero_run(zeros, context);
    }
}

/* A CBOR head in its shortest form. */
bool put_head(buf *out, uint8_t major, uint64_t value) {
    uint8_t head[9];
    size_t size = 1;
    auto type = static_cast<uint8_t>(major << 5);
    if (value < 24) {
        head[0] = static_cast<uint8_t>(type | value);
    } else {
        int bytes = value <= 0xFF ? 1 : value <= 0xFFFF ? 2 : value <= 0xFFFFFFFF ? 4 : 8;
        head[0] = static_cast<uint8_t>(type | (bytes == 1   ? 24
                                               : bytes == 2 ? 25
                                               : bytes == 4 ? 26
                                                            : 27));
        for (int i = 0; i < bytes; i++) {
            head[size++] = static_cast<uint8_t>(value >> (8 * (bytes - 1 - i)));
        }
    }
    return _buf_append(out, head, size);
}

bool put_stream(buf *out, const bit_writer &stream) {
    return put_head(out, MAJOR_BYTE_STRING, stream.len) &&
           _buf_append(out, stream.data, stream.len);
}

/* A stream's codes, when the stream has symbols at all: an empty stream
 * is an empty byte string. */
void write_codes(bit_writer &out, std::initializer_list<const alphabet *> codes) {
    bool any = false;
    for (const alphabet *code : codes) {
        any = any || code->used();
    }
    if (!any) {
        return;
    }
    for (const alphabet *code : codes) {
        huffman_write_lengths(out, code->lengths, code->symbols);
    }
}

buf *assemble(uint8_t version, uint64_t new_length, uint64_t commands, const bit_writer &control,
              const bit_writer &literal, const uint8_t *difference, uint64_t difference_size) {
    buf *out = buf_create();
    bool ok = out != nullptr && _buf_append(out, &version, 1) &&
              _buf_append(out, SIGNATURE + 1, sizeof SIGNATURE - 1) &&
              put_head(out, MAJOR_UINT, new_length) && put_head(out, MAJOR_UINT, commands) &&
              put_stream(out, control) && put_stream(out, literal) &&
              put_head(out, MAJOR_BYTE_STRING, difference_size) &&
              _buf_append(out, difference, difference_size);
    if (!ok) {
        buf_free(out);
        return nullptr;
    }
    return out;
}

buf *write_form(const buf *old_value, const buf *new_value, const diff_compact_parse *parse,
                bool may_nest, uint64_t limit);

/* A version-1 delta that builds `value` from nothing, by the match
 * finder's exact copies, or null. */
buf *from_nothing(const bit_writer &value) {
    if (value.failed || value.len >= DIFF_MAX_VALUE_SIZE) {
        return nullptr;
    }
    const buf events = {value.data, value.len, value.capacity};
    const buf nothing = {nullptr, 0, 0};
    diff_compact_parse found = {nullptr, 0, 0};
    bool found_any = diff_compact_match(&found, &nothing, &events) &&
                     diff_compact_parse_valid(&found, 0, events.len);
    buf *nested = found_any ? write_form(&nothing, &events, &found, false, NO_LIMIT) : nullptr;
    diff_compact_parse_release(&found);
    return nested;
}

/* The streams of the two nested deltas, and the deltas built from them. */
struct nested_pair {
    const bit_writer *streams[2];
    buf *built[2];
};

/* A pool task: the nested delta of stream i. */
void build_nested(void *context, uint32_t i) {
    auto &pair = *static_cast<nested_pair *>(context);
    pair.built[i] = from_nothing(*pair.streams[i]);
}

/* The two nested deltas one after the other, or null where either is
 * missing; frees them. */
buf *joined(nested_pair &pair) {
    buf *first = pair.built[0];
    buf *second = pair.built[1];
    bool both =
        first != nullptr && second != nullptr && _buf_append(first, second->data, second->len);
    buf_free(second);
    if (!both) {
        buf_free(first);
        return nullptr;
    }
    return first;
}

/*
 * The difference stream of version 2 from the first walk's runs and
 * bytes, or null when memory runs out, which leaves the codes: correct,
 * only larger.  The nested deltas never nest again: with no old value
 * their copies are exact, without differences.
 */
buf *nested_differences(const bit_writer &runs, const bit_writer &bytes) {
    // The two nested deltas are independent: a thread each, once they are
    // long enough to be worth waking one for.
    nested_pair pair = {{&runs, &bytes}, {nullptr, nullptr}};
    bool apart = runs.len + bytes.len >= NESTED_APART_FROM && work_pool_cores() > 1;
    work_pool_run(apart ? 1 : 0, 2, build_nested, &pair);
    return joined(pair);
}

/* The run that put_run wrote from `at` on in the first walk's runs, and
 * `at` moved past it. */
uint64_t take_run(const uint8_t *runs, uint64_t &at) {
    uint64_t n = 0;
    unsigned shift = 0;
    while (true) {
        uint8_t digit = runs[at++];
        n |= static_cast<uint64_t>(digit & (RUN_MORE - 1)) << shift;
        if ((digit & RUN_MORE) == 0) {
            return n;
        }
        shift += RUN_DIGIT_BITS;
    }
}

/* The difference stream's symbols, from the first walk's runs and bytes
 * in the order and contexts that walk gave them. */
void replay_differences(writer &write, const bit_writer &runs, const bit_writer &bytes) {
    uint64_t at = 0;
    int context = LONE;
    for (uint64_t i = 0; i < bytes.len; i++) {
        uint64_t zeros = take_run(runs.data, at);
        write.zero_run(zeros, context);
        context = zeros == 0 ? CLUSTER : LONE;
        write.difference(bytes.data[i], context);
    }
    if (at < runs.len) {
        write.zero_run(take_run(runs.data, at), context);
    }
}

/* Bytes of a CBOR head in its shortest form. */
uint64_t head_size(uint64_t value) {
    return value < 24 ? 1 : value <= 0xFF ? 2 : value <= 0xFFFF ? 3 : value <= 0xFFFFFFFF ? 5 : 9;
}

/* Bits of a stream's symbols under their codes, extra bits left out. */
uint64_t coded_bits(std::initializer_list<const alphabet *> codes) {
    bool any = false;
    uint64_t bits = 0;
    for (const alphabet *code : codes) {
        any = any || code->used();
        bits += huffman_lengths_cost(code->lengths, code->symbols);
        for (uint32_t i = 0; i < code->symbols; i++) {
            bits += code->counts[i] * code->lengths[i];
        }
    }
    return any ? bits : 0;
}

/* Nesting has not brought a difference stream below half of its codes'
 * size on any pair measured (0.54 to 0.91 on compiled binaries). */
constexpr uint64_t NESTED_FLOOR_SHIFT = 1;

/*
 * The fewest bytes the delta can be expected to take once its codes are
 * known: the control and literal streams exactly, and the difference
 * stream as its codes would make it or, where it may be nested, half of
 * that.  Where this already reaches the caller's limit the rest of the
 * writing is skipped: on noise, whose literals cost 8 bits each whatever
 * the code, or for the second of two candidates when the first is much
 * smaller, the rest would only produce a delta that the caller throws
 * away.
 */
uint64_t least_size(const alphabets &codes, const counter &count, uint64_t new_length,
                    uint64_t commands, bool may_nest) {
    uint64_t control = (coded_bits({&codes.literal_run, &codes.copy_length, &codes.source}) +
                        count.control_extra + 7) /
                       8;
    uint64_t literal = (coded_bits({&codes.literal}) + 7) / 8;
    uint64_t difference = (coded_bits({&codes.zero_run[LONE], &codes.zero_run[CLUSTER],
                                       &codes.difference[LONE], &codes.difference[CLUSTER]}) +
                           count.difference_extra + 7) /
                          8;
    if (may_nest && difference >= NESTED_MIN_STREAM) {
        difference >>= NESTED_FLOOR_SHIFT;
    }
    return sizeof SIGNATURE + head_size(new_length) + head_size(commands) + head_size(control) +
           control + head_size(literal) + literal + head_size(difference) + difference;
}

/* Bytes of the difference stream as its codes make it, worked out from
 * the counts alone: its lengths and symbols exactly, padded to a byte as
 * the stream's flush pads them. */
uint64_t difference_codes_size(const alphabets &codes, const counter &count) {
    uint64_t bits = coded_bits({&codes.zero_run[LONE], &codes.zero_run[CLUSTER],
                                &codes.difference[LONE], &codes.difference[CLUSTER]});
    return (bits + count.difference_extra + 7) / 8;
}

/* The difference stream as codes, from the first walk's runs and bytes. */
void write_difference_codes(writer &write, const bit_writer &runs, const bit_writer &bytes) {
    write_codes(write.difference_bits, {&write.a.zero_run[LONE], &write.a.zero_run[CLUSTER],
                                        &write.a.difference[LONE], &write.a.difference[CLUSTER]});
    replay_differences(write, runs, bytes);
    write.difference_bits.flush();
}

/* The first walk in two tasks that share nothing they write: the control
 * and literal streams' counts, and the difference stream's counts with
 * its runs and bytes, each with a counter of its own so that their extra
 * bits are not summed on one cache line. */
struct first_stage {
    const buf *old_value;
    const buf *new_value;
    const diff_compact_parse *parse;
    counter *commands;
    counter *differences;
};

/* A pool task: the differences (0), which compare every copied byte, or
 * the commands and literals (1). */
void run_first_stage(void *context, uint32_t i) {
    auto &stage = *static_cast<first_stage *>(context);
    if (i == 0) {
        walk_differences(stage.old_value, stage.new_value, stage.parse, *stage.differences);
    } else {
        walk_commands(stage.old_value, stage.new_value, stage.parse, *stage.commands);
    }
}

/* Copies from which the first walk's two tasks are shared out to a
 * helper thread: each takes some 50 to 100 instructions a copy, and
 * below this a helper's wake would cost about as much as it saves. */
constexpr uint64_t FIRST_STAGE_APART_FROM = 2048;

/* The second walk's control and literal streams, and the two nested
 * deltas, which read only the first walk's runs and bytes: three tasks
 * that share nothing they write. */
struct second_stage {
    const buf *old_value;
    const buf *new_value;
    const diff_compact_parse *parse;
    writer *write;
    nested_pair nested;
};

/* A pool task: the streams (0), or the nested delta of stream i - 1. */
void run_second_stage(void *context, uint32_t i) {
    auto &stage = *static_cast<second_stage *>(context);
    if (i == 0) {
        walk_commands(stage.old_value, stage.new_value, stage.parse, *stage.write);
        stage.write->control_bits.flush();
        stage.write->literal_bits.flush();
        return;
    }
    build_nested(&stage.nested, i - 1);
}

/* Streams of the nested deltas, together, from which the second walk and
 * the two nested deltas are shared out to a helper thread: a helper wakes
 * in tens of microseconds, and below this the nested deltas take about as
 * long themselves. */
constexpr uint64_t SECOND_STAGE_APART_FROM = 8 << 10;

/* The delta of version 2 where the nested deltas (null where there are
 * none) come out shorter than the `size` bytes of the difference codes,
 * or else of version 1 with the codes, which `difference` then holds;
 * frees the nested deltas. */
buf *assemble_shorter(const buf *new_value, const diff_compact_parse *parse,
                      const bit_writer &control, const bit_writer &literal, buf *nested,
                      const bit_writer &difference, uint64_t size) {
    buf *out = nested != nullptr && nested->len < size
                   ? assemble(VERSION_NESTED, new_value->len, parse->count, control, literal,
                              nested->data, nested->len)
                   : assemble(VERSION, new_value->len, parse->count, control, literal,
                              difference.data, difference.len);
    buf_free(nested);
    return out;
}

/*
 * The writer as it was before it kept the first walk's differences, for
 * the test hook: the second walk compares every copied byte again and
 * writes the difference stream's codes, and the nested deltas, where they
 * may be, are built after it and kept where they are shorter.  The kept
 * path below must give the same bytes; it chooses between the two by the
 * size `predicted` from the counts, so a stream that comes out of another
 * size fails here rather than pass unseen where no choice was close.
 */
buf *write_compared_twice(const buf *old_value, const buf *new_value,
                          const diff_compact_parse *parse, bool may_nest, alphabets &codes,
                          const bit_writer &runs, const bit_writer &bytes, uint64_t predicted) {
    bit_writer control;
    bit_writer literal;
    bit_writer difference;
    write_codes(control, {&codes.literal_run, &codes.copy_length, &codes.source});
    write_codes(literal, {&codes.literal});
    write_codes(difference, {&codes.zero_run[LONE], &codes.zero_run[CLUSTER],
                             &codes.difference[LONE], &codes.difference[CLUSTER]});
    writer write{codes, control, literal, difference};
    walk_commands(old_value, new_value, parse, write);
    walk_differences(old_value, new_value, parse, write);
    control.flush();
    literal.flush();
    difference.flush();
    if (control.failed || literal.failed || difference.failed || difference.len != predicted) {
        return nullptr;
    }
    buf *nested =
        may_nest && difference.len >= NESTED_MIN_STREAM ? nested_differences(runs, bytes) : nullptr;
    return assemble_shorter(new_value, parse, control, literal, nested, difference, difference.len);
}

buf *write_form(const buf *old_value, const buf *new_value, const diff_compact_parse *parse,
                bool may_nest, uint64_t limit) {
    // About 17 KiB: the counts and codes of the six alphabets.
    alphabets table;
    alphabets *codes = &table;
    bit_writer runs;
    bit_writer bytes;
    counter count{*codes, runs, bytes};
    counter differences{*codes, runs, bytes};
    first_stage stage = {old_value, new_value, parse, &count, &differences};
    bool two_cores = work_pool_cores() > 1;
    bool apart = parse->count >= FIRST_STAGE_APART_FROM && two_cores && !compare_twice;
    work_pool_run(apart ? 1 : 0, 2, run_first_stage, &stage);
    count.difference_extra = differences.difference_extra;
    runs.flush();
    bytes.flush();
    if (runs.failed || bytes.failed) {
        return nullptr;
    }
    for (alphabet *code : {&codes->literal_run, &codes->copy_length, &codes->source,
                           &codes->literal, &codes->zero_run[LONE], &codes->zero_run[CLUSTER],
                           &codes->difference[LONE], &codes->difference[CLUSTER]}) {
        code->build();
    }
    if (limit != NO_LIMIT &&
        least_size(*codes, count, new_value->len, parse->count, may_nest) >= limit) {
        return nullptr;
    }
    // The difference stream's size is known from its counts, so the nested
    // deltas, where they may replace it, are built alongside the second
    // walk rather than after it, and its codes are written only where the
    // nested deltas come out no shorter (on no compiled pair measured).
    uint64_t difference_size = difference_codes_size(*codes, count);
    if (compare_twice) {
        return write_compared_twice(old_value, new_value, parse, may_nest, *codes, runs, bytes,
                                    difference_size);
    }
    bool nest = may_nest && difference_size >= NESTED_MIN_STREAM;
    bit_writer control;
    bit_writer literal;
    bit_writer difference;
    write_codes(control, {&codes->literal_run, &codes->copy_length, &codes->source});
    write_codes(literal, {&codes->literal});
    writer write{*codes, control, literal, difference};
    second_stage next = {
        old_value, new_value, parse, &write, {{&runs, &bytes}, {nullptr, nullptr}}};
    apart = nest && runs.len + bytes.len >= SECOND_STAGE_APART_FROM && two_cores;
    work_pool_run(apart ? 1 : 0, nest ? 3 : 1, run_second_stage, &next);
    buf *nested = joined(next.nested);
    if (nested == nullptr || nested->len >= difference_size) {
        write_difference_codes(write, runs, bytes);
    }
    if (control.failed || literal.failed || difference.failed) {
        buf_free(nested);
        return nullptr;
    }
    return assemble_shorter(new_value, parse, control, literal, nested, difference,
                            difference_size);
}

} // namespace

TOVAREL_BEGIN_DECLS

buf *diff_compact_write(const buf *old_value, const buf *new_value,
                        const diff_compact_parse *parse) {
    if (!buf_has_its_bytes(old_value) || !buf_has_its_bytes(new_value) || parse == nullptr ||
        old_value->len >= DIFF_MAX_VALUE_SIZE || new_value->len >= DIFF_MAX_VALUE_SIZE ||
        !diff_compact_parse_valid(parse, old_value->len, new_value->len)) {
        return nullptr;
    }
    return write_form(old_value, new_value, parse, true, NO_LIMIT);
}

buf *diff_compact_write_below(const buf *old_value, const buf *new_value,
                              const diff_compact_parse *parse, uint64_t limit) {
    if (!buf_has_its_bytes(old_value) || !buf_has_its_bytes(new_value) || parse == nullptr ||
        old_value->len >= DIFF_MAX_VALUE_SIZE || new_value->len >= DIFF_MAX_VALUE_SIZE ||
        !diff_compact_parse_valid(parse, old_value->len, new_value->len)) {
        return nullptr;
    }
    buf *out = write_form(old_value, new_value, parse, true, limit);
    if (out != nullptr && out->len >= limit) {
        buf_free(out);
        return nullptr;
    }
    return out;
}

void _diff_compact_write_force_compare_twice(bool twice) {
    compare_twice = twice;
}

TOVAREL_END_DECLS
