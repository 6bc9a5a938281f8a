/*
 * The compact delta over generated pairs: text under edits, binaries whose
 * addresses shift when code moves, small alphabets, empty and tiny values.
 * Every delta must rebuild the new value through both Huffman decoders,
 * must be no larger than the index method's plain delta, and damaged
 * copies of it must give the table reader and the scalar one the same
 * outcome.  Hand-made deltas check the refusals that generation never
 * reaches.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "buf.h"
#include "cbor_parser.h"
#include "diff_apply.h"
#include "diff_compact_apply.h"
#include "diff_compact_approx.h"
#include "diff_compact_generate.h"
#include "diff_compact_match.h"
#include "diff_compact_parse.h"
#include "diff_compact_probe.h"
#include "diff_compact_table_memory.h"
#include "diff_compact_write.h"
#include "diff_index.h"
#include "test_random.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
const int PAIRS = 400;
#else
const int PAIRS = 2000;
#endif

using bytes = std::vector<uint8_t>;

buf view(const bytes &value) {
    return buf{const_cast<uint8_t *>(value.data()), value.size(), value.size()};
}

bytes contents(const buf *b) {
    return b == nullptr || b->len == 0 ? bytes{} : bytes(b->data, b->data + b->len);
}

bytes text(generator &g, size_t length) {
    static const char *const words[] = {"def ", "self.", "return ", "    ",  "None", "(self)",
                                        ":\n",  "if ",   "else",    "_name", ", ",   "class "};
    bytes out;
    while (out.size() < length) {
        const char *word = words[g.below(sizeof words / sizeof words[0])];
        out.insert(out.end(), word, word + strlen(word));
    }
    out.resize(length);
    return out;
}

/* Edits of every kind: insertions, deletions, replaced bytes, moves. */
bytes edit(generator &g, bytes value) {
    size_t edits = 1 + g.below(20);
    for (size_t e = 0; e < edits && !value.empty(); e++) {
        size_t at = g.below(value.size());
        size_t count = std::min<size_t>(1 + g.below(g.below(6) == 0 ? 300 : 12), value.size() - at);
        switch (g.below(4)) {
        case 0: {
            bytes fresh = text(g, count);
            value.insert(value.begin() + static_cast<long>(at), fresh.begin(), fresh.end());
            break;
        }
        case 1:
            value.erase(value.begin() + static_cast<long>(at),
                        value.begin() + static_cast<long>(at + count));
            break;
        case 2:
            for (size_t i = at; i < at + count; i++) {
                value[i] = static_cast<uint8_t>(g.next());
            }
            break;
        default: {
            bytes block(value.begin() + static_cast<long>(at),
                        value.begin() + static_cast<long>(at + count));
            value.erase(value.begin() + static_cast<long>(at),
                        value.begin() + static_cast<long>(at + count));
            size_t to = g.below(value.size() + 1);
            value.insert(value.begin() + static_cast<long>(to), block.begin(), block.end());
        }
        }
    }
    return value;
}

/*
 * A build and the next one: machine code with a 4-byte address every few
 * bytes.  The next build inserts code somewhere, and every address past
 * that point grows by the inserted size, as a linker would relocate it.
 * With `table`, the addresses are those of a table of consecutive entries
 * (a jump table, a table of functions), whose differences repeat.
 */
void binaries(generator &g, size_t length, bytes &old_value, bytes &new_value, bool table = false) {
    size_t insert_at = g.below(length + 1);
    size_t inserted = 1 + g.below(200);
    bytes code;
    bytes moved;
    while (code.size() < length) {
        size_t gap = table ? 4 : 3 + g.below(24);
        for (size_t i = 0; i < gap; i++) {
            code.push_back(static_cast<uint8_t>(table ? 0 : g.below(64)));
        }
        uint32_t address = static_cast<uint32_t>(table ? code.size() * 3 : g.below(length * 2));
        uint32_t relocated =
            address > insert_at ? address + static_cast<uint32_t>(inserted) : address;
        bytes a(4), b(4);
        memcpy(a.data(), &address, 4);
        memcpy(b.data(), &relocated, 4);
        size_t at = code.size();
        code.insert(code.end(), a.begin(), a.end());
        moved.resize(code.size());
        memcpy(moved.data() + at, b.data(), 4);
        for (size_t i = at - gap; i < at; i++) {
            moved[i] = code[i];
        }
    }
    old_value = code;
    new_value = moved;
    bytes fresh = g.noise(inserted, 64);
    size_t at = std::min(insert_at, new_value.size());
    new_value.insert(new_value.begin() + static_cast<long>(at), fresh.begin(), fresh.end());
}

void make_pair(generator &g, int round, bytes &old_value, bytes &new_value) {
    switch (round % 5) {
    case 0:
        old_value = text(g, g.below(6000));
        new_value = edit(g, old_value);
        break;
    case 1:
        binaries(g, 64 + g.below(8000), old_value, new_value, round % 10 == 6);
        break;
    case 2:
        old_value = g.noise(g.below(3000), 1 + static_cast<unsigned>(g.below(4)));
        new_value = edit(g, old_value);
        break;
    case 3:
        old_value = g.noise(g.below(4), 3);
        new_value = g.noise(g.below(4), 3);
        break;
    default:
        old_value = text(g, g.below(2000));
        new_value = g.below(2) == 0 ? old_value : edit(g, old_value);
        break;
    }
}

struct outcome {
    bool ok;
    int32_t status;
    bytes value;
};

outcome apply_compact(const bytes &old_value, const bytes &delta, bool scalar) {
    buf o = view(old_value);
    buf d = view(delta);
    int32_t status = -1;
    buf *out = scalar ? _diff_compact_apply_binary_scalar(&o, &d, &status)
                      : diff_compact_apply_binary(&o, &d, &status);
    outcome result{out != nullptr, status, contents(out)};
    buf_free(out);
    return result;
}

/* What delta.patch does: the compact reader for the compact form, the
 * plain one for anything else. */
bytes patched(const bytes &old_value, const bytes &delta) {
    buf o = view(old_value);
    buf d = view(delta);
    buf *out = diff_compact_is_compact(&d) ? diff_compact_apply_binary(&o, &d, nullptr)
                                           : diff_apply_binary(&o, &d);
    EXPECT_NE(out, nullptr);
    bytes value = contents(out);
    if (delta.size() == 1 && delta[0] == DIFF_NO_CHANGE) {
        value = old_value;
    }
    buf_free(out);
    return value;
}

/* Bytes of the new value that the parse's copies cover. */
std::vector<bool> coverage(const diff_compact_parse &parse, size_t length) {
    std::vector<bool> covered(length);
    for (uint64_t i = 0; i < parse.count; i++) {
        for (uint64_t at = 0; at < parse.copies[i].length; at++) {
            covered[parse.copies[i].target + at] = true;
        }
    }
    return covered;
}

/* The match finder around the index method's copies: a valid parse that
 * leaves no anchored byte to literals, and a delta that rebuilds the new
 * value. */
void check_around(const bytes &old_value, const bytes &new_value, const std::string &what) {
    buf o = view(old_value);
    buf n = view(new_value);
    buf *plain = diff_index_generate_binary(&o, &n);
    ASSERT_NE(plain, nullptr) << what;
    diff_compact_parse anchors = {nullptr, 0, 0};
    ASSERT_EQ(diff_compact_parse_from_delta(&anchors, &o, plain), DIFF_APPLY_OK) << what;
    buf_free(plain);
    diff_compact_parse found = {nullptr, 0, 0};
    ASSERT_TRUE(diff_compact_match_around(&found, &o, &n, &anchors)) << what;
    EXPECT_TRUE(diff_compact_parse_valid(&found, o.len, n.len)) << what;
    std::vector<bool> anchored = coverage(anchors, n.len);
    std::vector<bool> covered = coverage(found, n.len);
    for (size_t at = 0; at < n.len; at++) {
        ASSERT_TRUE(covered[at] || !anchored[at]) << what << ": byte " << at;
    }
    buf *form = diff_compact_write(&o, &n, &found);
    ASSERT_NE(form, nullptr) << what;
    EXPECT_EQ(apply_compact(old_value, contents(form), false).value, new_value) << what;
    buf_free(form);
    diff_compact_parse_release(&anchors);
    diff_compact_parse_release(&found);
}

TEST(DiffCompact, GeneratedPairsRoundTripAndNeverExceedThePlainDelta) {
    generator g{0xc0ffee};
    int compact_chosen = 0;
    int nested = 0;
    for (int round = 0; round < PAIRS; round++) {
        bytes old_value, new_value;
        make_pair(g, round, old_value, new_value);
        buf o = view(old_value);
        buf n = view(new_value);
        buf *chosen = diff_compact_generate_binary(&o, &n);
        buf *plain = diff_index_generate_binary(&o, &n);
        buf *form = _diff_compact_generate_form(&o, &n);
        ASSERT_NE(chosen, nullptr);
        ASSERT_NE(plain, nullptr);
        ASSERT_NE(form, nullptr) << "round " << round << " sizes " << old_value.size() << " "
                                 << new_value.size();
        EXPECT_LE(chosen->len, plain->len) << "round " << round;
        EXPECT_EQ(patched(old_value, contents(chosen)), new_value) << "round " << round;
        check_around(old_value, new_value, "round " + std::to_string(round));
        compact_chosen += diff_compact_is_compact(chosen);

        bytes delta = contents(form);
        ASSERT_TRUE(diff_compact_is_compact(form));
        nested += delta[0] == 2;
        outcome fast = apply_compact(old_value, delta, false);
        outcome scalar = apply_compact(old_value, delta, true);
        ASSERT_TRUE(fast.ok) << "round " << round << " status " << fast.status;
        ASSERT_TRUE(scalar.ok) << "round " << round;
        EXPECT_EQ(fast.value, new_value) << "round " << round;
        EXPECT_EQ(scalar.value, new_value) << "round " << round;

        // The plain reader refuses the compact form, as a copy pair whose
        // length is not an integer.
        int32_t status = DIFF_APPLY_OK;
        EXPECT_EQ(diff_apply_binary_ex(&o, form, &status), nullptr);
        EXPECT_EQ(status, DIFF_APPLY_BAD_COPY);

        // Damaged copies: both decoders must agree on every one.
        for (int damage = 0; damage < 4 && !delta.empty(); damage++) {
            bytes broken = delta;
            size_t at = g.below(broken.size());
            switch (damage) {
            case 0:
                broken[at] = static_cast<uint8_t>(broken[at] ^ (1u << g.below(8)));
                break;
            case 1:
                broken.resize(at);
                break;
            case 2:
                broken.insert(broken.begin() + static_cast<long>(at),
                              static_cast<uint8_t>(g.next()));
                break;
            default:
                broken[at] = static_cast<uint8_t>(g.next());
                break;
            }
            outcome a = apply_compact(old_value, broken, false);
            outcome b = apply_compact(old_value, broken, true);
            ASSERT_EQ(a.ok, b.ok) << "round " << round << " damage " << damage;
            EXPECT_EQ(a.status, b.status);
            EXPECT_EQ(a.value, b.value);
        }
        buf_free(chosen);
        buf_free(plain);
        buf_free(form);
    }
    // The generated material is meant to favour the compact form.
    EXPECT_GT(compact_chosen, PAIRS / 5);
    // And the relocated builds to write their differences as a nested delta.
    EXPECT_GT(nested, 0);
}

/* Approximate copies are what make shifted addresses cheap: the compact
 * delta of a relocated build must be well below the plain one. */
TEST(DiffCompact, RelocatedBuildCostsFarLessThanThePlainDelta) {
    generator g{7};
    bytes old_value, new_value;
    binaries(g, 200000, old_value, new_value);
    buf o = view(old_value);
    buf n = view(new_value);
    buf *compact = diff_compact_generate_binary(&o, &n);
    buf *plain = diff_index_generate_binary(&o, &n);
    EXPECT_TRUE(diff_compact_is_compact(compact));
    EXPECT_LT(compact->len * 4, plain->len) << compact->len << " vs " << plain->len;
    EXPECT_EQ(patched(old_value, contents(compact)), new_value);
    buf_free(compact);
    buf_free(plain);
}

/* Blocks of the old value, and now and then of the new value so far, in
 * a shuffled order, each byte changed with a chance that differs from
 * block to block (from none to most): runs of equal and of differing
 * bytes of every length, across the scores at which the approximate pass
 * extends, bridges or gives up, among copies of both kinds. */
void worn(generator &g, size_t length, bytes &old_value, bytes &new_value) {
    old_value = g.noise(length, 1 + static_cast<unsigned>(g.below(200)));
    new_value.clear();
    while (new_value.size() < length && !old_value.empty()) {
        bool repeat = new_value.size() > 64 && g.below(3) == 0;
        const bytes source = repeat ? new_value : old_value;
        size_t piece = 1 + g.below(g.below(4) == 0 ? 2000 : g.below(2) == 0 ? 16 : 100);
        size_t from = g.below(source.size());
        piece = std::min(piece, source.size() - from);
        size_t chance = g.below(8) == 0 ? 0 : 1 + g.below(g.below(2) == 0 ? 40 : 3);
        for (size_t i = from; i < from + piece; i++) {
            bool change = chance != 0 && g.below(chance) == 0;
            new_value.push_back(static_cast<uint8_t>(source[i] + (change ? 1 + g.below(255) : 0)));
        }
    }
}

/* The approximate pass over a copy of `start`: a byte at a time (split_from
 * 0), or a word at a time, in two halves from `split_from` copies on. */
std::vector<diff_compact_copy> extended(diff_compact_parse start, const bytes &old_value,
                                        const bytes &new_value, uint64_t split_from) {
    diff_compact_parse parse = {nullptr, 0, 0};
    for (uint64_t i = 0; i < start.count; i++) {
        const diff_compact_copy &copy = start.copies[i];
        EXPECT_TRUE(diff_compact_parse_add(&parse, copy.target, copy.source, copy.length));
    }
    buf o = view(old_value);
    buf n = view(new_value);
    _diff_compact_approx_force_scalar(split_from == 0);
    _diff_compact_approx_split_from(split_from);
    EXPECT_TRUE(diff_compact_approx_extend(&parse, &o, &n));
    _diff_compact_approx_force_scalar(false);
    _diff_compact_approx_split_from(65536);
    EXPECT_TRUE(diff_compact_parse_valid(&parse, o.len, n.len));
    std::vector<diff_compact_copy> copies(parse.copies, parse.copies + parse.count);
    diff_compact_parse_release(&parse);
    return copies;
}

/* The approximate pass scores runs of equal and of differing bytes a word
 * at a time, and extends long parses in two halves at once; from the
 * match finder's copies and from the index method's, it must give the
 * parse that scoring a byte at a time, in one pass, gives, whether the
 * halves join early, late or not at all. */
TEST(DiffCompact, ApproximatePassScoresWordsAsItScoresBytes) {
    generator g{0xa9970};
    for (int round = 0; round < PAIRS; round++) {
        bytes old_value, new_value;
        if (round % 3 == 0) {
            worn(g, g.below(round % 30 == 0 ? 60000 : 6000), old_value, new_value);
        } else {
            make_pair(g, round, old_value, new_value);
        }
        buf o = view(old_value);
        buf n = view(new_value);
        diff_compact_parse found = {nullptr, 0, 0};
        ASSERT_TRUE(diff_compact_match(&found, &o, &n));
        diff_compact_parse indexed = {nullptr, 0, 0};
        buf *plain = diff_index_generate_binary(&o, &n);
        ASSERT_NE(plain, nullptr);
        ASSERT_EQ(diff_compact_parse_from_delta(&indexed, &o, plain), DIFF_APPLY_OK);
        buf_free(plain);
        for (const diff_compact_parse *start : {&found, &indexed}) {
            std::vector<diff_compact_copy> plain_copies = extended(*start, old_value, new_value, 0);
            for (uint64_t split_from : {UINT64_MAX, 1 + g.below(64)}) {
                std::vector<diff_compact_copy> fast =
                    extended(*start, old_value, new_value, split_from);
                ASSERT_EQ(fast.size(), plain_copies.size()) << "round " << round;
                for (size_t i = 0; i < fast.size(); i++) {
                    ASSERT_EQ(fast[i].target, plain_copies[i].target) << round << " " << i;
                    ASSERT_EQ(fast[i].source, plain_copies[i].source) << round << " " << i;
                    ASSERT_EQ(fast[i].length, plain_copies[i].length) << round << " " << i;
                }
            }
        }
        diff_compact_parse_release(&found);
        diff_compact_parse_release(&indexed);
    }
}

TEST(DiffCompact, HandMadeDeltasAreRefusedWithTheirReason) {
    const bytes old_value = {'a', 'b', 'c', 'd'};
    /* 01 D9 7463, N, C, then three byte strings. */
    struct {
        const char *what;
        bytes delta;
        int32_t status;
    } cases[] = {
        {"nothing after the signature", {0x01, 0xD9, 0x74, 0x63}, DIFF_COMPACT_BAD_HEADER},
        {"empty value, no streams used",
         {0x01, 0xD9, 0x74, 0x63, 0x00, 0x00, 0x40, 0x40, 0x40},
         DIFF_APPLY_OK},
        {"a byte after the streams",
         {0x01, 0xD9, 0x74, 0x63, 0x00, 0x00, 0x40, 0x40, 0x40, 0x00},
         DIFF_COMPACT_BAD_HEADER},
        {"an indefinite stream",
         {0x01, 0xD9, 0x74, 0x63, 0x00, 0x00, 0x5F, 0xFF, 0x40, 0x40},
         DIFF_COMPACT_BAD_HEADER},
        {"a length that nothing can produce",
         {0x01, 0xD9, 0x74, 0x63, 0x1B, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x40,
          0x40, 0x40},
         DIFF_COMPACT_BAD_LENGTH},
        {"more commands than control bits",
         {0x01, 0xD9, 0x74, 0x63, 0x01, 0x18, 0x40, 0x41, 0x00, 0x40, 0x40},
         DIFF_COMPACT_BAD_CONTROL},
        {"literals declared, none coded",
         {0x01, 0xD9, 0x74, 0x63, 0x01, 0x00, 0x40, 0x40, 0x40},
         DIFF_COMPACT_BAD_LENGTH},
        {"a stream longer than the delta",
         {0x01, 0xD9, 0x74, 0x63, 0x00, 0x00, 0x45, 0x40, 0x40},
         DIFF_COMPACT_BAD_HEADER},
    };
    for (const auto &c : cases) {
        for (bool scalar : {false, true}) {
            outcome r = apply_compact(old_value, c.delta, scalar);
            EXPECT_EQ(r.status, c.status) << c.what;
            EXPECT_EQ(r.ok, c.status == DIFF_APPLY_OK) << c.what;
        }
    }
}

/* Copies from the new value itself, written by hand: the reader must
 * repeat bytes it has just written when a copy overlaps its own output,
 * and may take a copy from the old value's last byte up to the first of
 * the new value's. */
/* Bytes that repeat with the given period. */
bytes pattern(size_t period, size_t length) {
    bytes value(length);
    for (size_t i = 0; i < length; i++) {
        value[i] = static_cast<uint8_t>('a' + i % period);
    }
    return value;
}

TEST(DiffCompact, CopiesFromTheNewValueRepeatTheirOwnOutput) {
    const bytes old_value = {'x', 'y', 'z'};
    struct {
        const char *what;
        bytes new_value;
        std::vector<diff_compact_copy> copies;
    } cases[] = {
        {"a run, one byte behind", bytes(40, 'a'), {{1, 3 + 0, 39}}},
        {"a pair, two behind", {'a', 'b', 'a', 'b', 'a', 'b', 'a', 'b', 'a'}, {{2, 3 + 0, 7}}},
        {"apart, no overlap", {'p', 'q', 'r', 's', 'p', 'q', 'r'}, {{4, 3 + 0, 3}}},
        {"old, then new, same shift", {'z', 'z', 'z', 'z'}, {{0, 2, 1}, {1, 3 + 0, 3}}},
        {"approximate: one byte differs", {'k', 'k', 'k', 'j', 'k'}, {{1, 3 + 0, 4}}},
        {"a block, fifteen behind", pattern(15, 100), {{15, 3 + 0, 85}}},
        {"a block, sixteen behind", pattern(16, 100), {{16, 3 + 0, 84}}},
        {"a block, seventeen behind", pattern(17, 300), {{17, 3 + 0, 283}}},
        {"the old value's last bytes", {'y', 'z', 'y', 'z'}, {{0, 1, 2}, {2, 1, 2}}},
    };
    for (const auto &c : cases) {
        buf o = view(old_value);
        buf n = view(c.new_value);
        std::vector<diff_compact_copy> copies = c.copies;
        diff_compact_parse parse = {copies.data(), copies.size(), copies.size()};
        buf *delta = diff_compact_write(&o, &n, &parse);
        ASSERT_NE(delta, nullptr) << c.what;
        for (bool scalar : {false, true}) {
            outcome r = apply_compact(old_value, contents(delta), scalar);
            EXPECT_TRUE(r.ok) << c.what;
            EXPECT_EQ(r.value, c.new_value) << c.what;
        }
        buf_free(delta);
    }
}

/* Values large enough for the match finder to search in two parts at
 * once: each part's copies must fit the values, the seam must not lose
 * the copies a single search finds (the second part reaches back into the
 * first), and the delta must rebuild the new value. */
TEST(DiffCompact, LargeValuesSearchedInPartsRoundTrip) {
    const size_t length = (1u << 20) + 77777;
    generator g{31};
    bytes noise = g.noise(length / 2, 256);
    bytes repeated = noise;
    repeated.insert(repeated.end(), noise.begin(), noise.end());
    repeated[length / 2 + 1234] ^= 1;
    struct {
        const char *what;
        bytes old_value;
        bytes new_value;
        size_t most; /* the match finder's form may take this many bytes */
    } cases[] = {
        {"text under edits", text(g, length), {}, length / 10},
        {"a relocated build", {}, {}, length / 4},
        // The first half is noise, to be sent as it is; the second half
        // must be found behind the seam.
        {"noise whose second half repeats the first", {'x'}, repeated, length / 2 + length / 50},
        // Parts of more than a million positions each, where the chain
        // has a head for each position it reaches back.  Searched whole,
        // without the index method's copies, the old value's table keeps
        // too few of each common window's places for the long copies:
        // a quarter of the value is its bound.
        {"text in parts of two million positions", text(g, 4 * length), {}, length},
    };
    cases[0].new_value = edit(g, cases[0].old_value);
    cases[3].new_value = edit(g, cases[3].old_value);
    binaries(g, length, cases[1].old_value, cases[1].new_value);
    for (const auto &c : cases) {
        buf o = view(c.old_value);
        buf n = view(c.new_value);
        diff_compact_parse parse = {nullptr, 0, 0};
        ASSERT_TRUE(diff_compact_match(&parse, &o, &n)) << c.what;
        EXPECT_TRUE(diff_compact_parse_valid(&parse, o.len, n.len)) << c.what;
        buf *form = diff_compact_write(&o, &n, &parse);
        diff_compact_parse_release(&parse);
        ASSERT_NE(form, nullptr) << c.what;
        EXPECT_LE(form->len, c.most) << c.what;
        EXPECT_EQ(apply_compact(c.old_value, contents(form), false).value, c.new_value) << c.what;
        buf_free(form);
        buf *chosen = diff_compact_generate_binary(&o, &n);
        ASSERT_NE(chosen, nullptr) << c.what;
        EXPECT_EQ(patched(c.old_value, contents(chosen)), c.new_value) << c.what;
        buf_free(chosen);
        check_around(c.old_value, c.new_value, c.what);
    }
}

/* The match finder tests the ways of the old value's table four at once,
 * and fills the table a group of ways at a time; one by one, and by the
 * plain fill, they must give the same copies, on small values (16 ways),
 * on compiled code (8 ways) and on old values past the deep table's bound
 * (4 ways). */
TEST(DiffCompact, VectorWayTestFindsTheScalarCopies) {
    generator g{0x5ca1a};
    auto copies_of = [](const bytes &old_value, const bytes &new_value, bool scalar) {
        buf o = view(old_value);
        buf n = view(new_value);
        diff_compact_parse parse = {nullptr, 0, 0};
        _diff_compact_match_force_scalar(scalar);
        EXPECT_TRUE(diff_compact_match(&parse, &o, &n));
        _diff_compact_match_force_scalar(false);
        std::vector<diff_compact_copy> found(parse.copies, parse.copies + parse.count);
        diff_compact_parse_release(&parse);
        return found;
    };
    auto same = [](const std::vector<diff_compact_copy> &a,
                   const std::vector<diff_compact_copy> &b) {
        return a.size() == b.size() &&
               std::equal(a.begin(), a.end(), b.begin(), [](const auto &x, const auto &y) {
                   return x.target == y.target && x.source == y.source && x.length == y.length;
               });
    };
    for (int round = 0; round < PAIRS / 4; round++) {
        bytes old_value, new_value;
        make_pair(g, round, old_value, new_value);
        EXPECT_TRUE(
            same(copies_of(old_value, new_value, true), copies_of(old_value, new_value, false)))
            << "round " << round;
    }
    bytes large = text(g, (2u << 20) + 4321);
    bytes edited = edit(g, large);
    EXPECT_TRUE(same(copies_of(large, edited, true), copies_of(large, edited, false)));
    // The scalar switch also fills the old table by its plain loop: text
    // of 1.5 MiB (16 ways, the buckets asked for ahead), compiled code
    // (8 ways within the caches and beyond them, 4 past 2 MiB).
    bytes middle = text(g, 3u << 19);
    bytes middle_edited = edit(g, middle);
    EXPECT_TRUE(
        same(copies_of(middle, middle_edited, true), copies_of(middle, middle_edited, false)));
    for (size_t length : {size_t{96} << 10, size_t{700} << 10, (size_t{5} << 19) + 333}) {
        bytes old_code, new_code;
        binaries(g, length, old_code, new_code);
        EXPECT_TRUE(same(copies_of(old_code, new_code, true), copies_of(old_code, new_code, false)))
            << length;
    }
}

/* The compact delta rebuilds the new value and comes no larger than the
 * plain index method's delta (at level 0), unless that delta is under
 * 1/64 of the value: level 1's is then kept (see FAST_INDEX_LEVEL). */
void expect_within_the_plain_delta(const bytes &old_value, const bytes &new_value, int round) {
    buf o = view(old_value);
    buf n = view(new_value);
    buf *chosen = diff_compact_generate_binary(&o, &n);
    buf *plain = diff_index_generate_binary(&o, &n);
    ASSERT_NE(chosen, nullptr);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(patched(old_value, contents(chosen)), new_value) << "round " << round;
    if (plain->len >= new_value.size() / 64) {
        EXPECT_LE(chosen->len, plain->len) << "round " << round;
    }
    buf_free(chosen);
    buf_free(plain);
}

/* The old value's table must hold the sampled positions where their
 * windows' buckets are: pieces of 16 bytes (the noise is compiled code to
 * the match finder, whose table is keyed by 8 bytes there and holds one
 * position in two, one in four from 1 MiB) from anywhere in an old value
 * of noise, where each window occurs once, are found whole unless a later
 * sample took the way of each of their sampled windows;
 * a position filed under another window's bucket, or a share of the
 * samples skipped, loses most of them.  Old values below and past the
 * caches' bound (the fill asks for buckets ahead), filled by one thread
 * and by two (from 512 KiB), with 8 ways and with 4 (past 2 MiB). */
TEST(DiffCompact, OldTableFilesEachSampleUnderItsWindow) {
    const size_t piece = 16;
    generator g{0x7ab1e};
    for (size_t old_length : {size_t{64} << 10, size_t{1} << 20, size_t{3} << 20}) {
        bytes old_value = g.noise(old_length, 256);
        bytes new_value;
        while (new_value.size() < (64u << 10)) {
            size_t at = g.below(old_length - piece);
            new_value.insert(new_value.end(), old_value.begin() + static_cast<long>(at),
                             old_value.begin() + static_cast<long>(at + piece));
        }
        buf o = view(old_value);
        buf n = view(new_value);
        diff_compact_parse parse = {nullptr, 0, 0};
        ASSERT_TRUE(diff_compact_match(&parse, &o, &n)) << old_length;
        EXPECT_TRUE(diff_compact_parse_valid(&parse, o.len, n.len)) << old_length;
        std::vector<bool> covered = coverage(parse, n.len);
        diff_compact_parse_release(&parse);
        auto found = static_cast<size_t>(std::count(covered.begin(), covered.end(), true));
        EXPECT_GE(found, new_value.size() * 4 / 5) << old_length;
    }
}

/* Each thread keeps its tables for its next search, holding that search's
 * entries: a search must find the same copies whatever ran before it on
 * the thread.  The generated pairs and a few larger ones (two parts from
 * 512 KiB, a deep table and a shallow one) in one order and then in the
 * reverse one, so that each follows a search of other sizes and bytes. */
TEST(DiffCompact, KeptTablesLeaveNoTraceInTheNextSearch) {
    generator g{0x4ee9};
    std::vector<std::pair<bytes, bytes>> pairs(PAIRS / 8);
    for (size_t round = 0; round < pairs.size(); round++) {
        make_pair(g, static_cast<int>(round), pairs[round].first, pairs[round].second);
    }
    for (size_t length : {size_t{700} << 10, size_t{96} << 10, (size_t{5} << 19) + 333}) {
        pairs.emplace_back();
        binaries(g, length, pairs.back().first, pairs.back().second);
    }
    pairs.emplace_back(text(g, 3u << 20), bytes{});
    pairs.back().second = edit(g, pairs.back().first);
    auto copies_of = [](const std::pair<bytes, bytes> &pair) {
        buf o = view(pair.first);
        buf n = view(pair.second);
        diff_compact_parse parse = {nullptr, 0, 0};
        EXPECT_TRUE(diff_compact_match(&parse, &o, &n));
        std::vector<diff_compact_copy> found(parse.copies, parse.copies + parse.count);
        diff_compact_parse_release(&parse);
        return found;
    };
    std::vector<std::vector<diff_compact_copy>> first;
    for (const auto &pair : pairs) {
        first.push_back(copies_of(pair));
    }
    for (size_t i = pairs.size(); i-- > 0;) {
        std::vector<diff_compact_copy> again = copies_of(pairs[i]);
        EXPECT_TRUE(again.size() == first[i].size() &&
                    std::equal(again.begin(), again.end(), first[i].begin(),
                               [](const auto &x, const auto &y) {
                                   return x.target == y.target && x.source == y.source &&
                                          x.length == y.length;
                               }))
            << "pair " << i << " of " << pairs[i].second.size() << " bytes";
    }
}

/* A table handed back is written all over, as a search leaves it; the
 * next one taken of its kind must hold the bytes asked for, zeroed where
 * asked and on a large page from one on, whether it is the kept one (as
 * large or larger), a fresh one in place of one too small, or a second one
 * while the first is still in use.  On a fresh thread, which keeps
 * nothing yet. */
TEST(DiffCompact, KeptTablesComeBackZeroedAndLargeEnough) {
    constexpr size_t MIB = size_t{1} << 20;
    const struct {
        diff_compact_table_kind kind;
        size_t bytes;
        bool cleared;
        bool nested; /* taken while the step before still holds its own */
    } steps[] = {
        {DIFF_COMPACT_TABLE_HEADS, MIB, true, false},
        {DIFF_COMPACT_TABLE_HEADS, MIB / 2 + 12, true, false},
        {DIFF_COMPACT_TABLE_HEADS, 4 * MIB, true, false},
        {DIFF_COMPACT_TABLE_HEADS, 3 * MIB, true, false},
        {DIFF_COMPACT_TABLE_HEADS, 64 << 10, true, true},
        {DIFF_COMPACT_TABLE_CHAIN, 8 * MIB, false, false},
        {DIFF_COMPACT_TABLE_OLD, 8 * MIB, true, false},
        {DIFF_COMPACT_TABLE_OLD, 2 * MIB, true, false},
        {DIFF_COMPACT_TABLE_CHAIN, 10 * MIB, false, false},
        {DIFF_COMPACT_TABLE_HEADS, 16 * MIB, true, false},
        {DIFF_COMPACT_TABLE_HEADS, 4 * MIB, true, false},
        {DIFF_COMPACT_TABLE_OLD, 0, true, false},
    };
    std::thread([&] {
        void *held = nullptr;
        size_t held_bytes = 0;
        diff_compact_table_kind held_kind = DIFF_COMPACT_TABLE_OLD;
        for (size_t i = 0; i < std::size(steps); i++) {
            const auto &step = steps[i];
            if (!step.nested && held != nullptr) {
                diff_compact_table_give(held_kind, held, held_bytes);
                held = nullptr;
            }
            auto *table = static_cast<uint8_t *>(
                step.cleared ? diff_compact_table_take(step.kind, step.bytes)
                             : diff_compact_table_take_uncleared(step.kind, step.bytes));
            ASSERT_NE(table, nullptr) << "step " << i;
            if (step.bytes >= 2 * MIB) {
                EXPECT_EQ(reinterpret_cast<uintptr_t>(table) % (2 * MIB), 0u) << "step " << i;
            }
            if (step.cleared) {
                EXPECT_EQ(std::count(table, table + step.bytes, 0), static_cast<long>(step.bytes))
                    << "step " << i;
            }
            memset(table, 0xA5, step.bytes);
            if (step.nested) {
                diff_compact_table_give(step.kind, table, step.bytes);
            } else {
                held = table;
                held_bytes = step.bytes;
                held_kind = step.kind;
            }
        }
        diff_compact_table_give(held_kind, held, held_bytes);
    }).join();
}

/* From 32 KiB on the index stage runs at a faster level; the delta must
 * still patch back, and where the plain delta is more than a sliver of
 * the value, come no larger than the plain index method's at level 0:
 * text and builds under edits, and bytes of nearly full entropy that the
 * compact form cannot shrink. */
TEST(DiffCompact, FasterIndexStageKeepsThePlainBound) {
    generator g{0xfa57};
    for (int round = 0; round < 24; round++) {
        size_t length = (32u << 10) + g.below(96u << 10);
        bytes old_value, new_value;
        switch (round % 3) {
        case 0:
            old_value = text(g, length);
            new_value = edit(g, edit(g, old_value));
            break;
        case 1:
            binaries(g, length, old_value, new_value);
            break;
        default:
            old_value = g.noise(length, 200 + static_cast<unsigned>(g.below(50)));
            new_value = g.below(2) == 0 ? g.noise(length, 230) : edit(g, old_value);
            break;
        }
        expect_within_the_plain_delta(old_value, new_value, round);
    }
}

TEST(DiffCompact, WriterRefusesParsesThatDoNotFitTheValues) {
    const bytes old_value(10, 'x');
    const bytes new_value(10, 'y');
    struct {
        const char *what;
        std::vector<diff_compact_copy> copies;
    } cases[] = {
        {"empty copy", {{0, 0, 0}}},
        {"past the old value", {{0, 5, 6}}},
        {"past the new value", {{8, 0, 3}}},
        {"overlapping", {{0, 0, 4}, {3, 0, 2}}},
        {"out of order", {{5, 0, 2}, {0, 0, 2}}},
        {"from the new value, not yet built", {{2, 10 + 2, 3}}},
        {"across the old value's end", {{0, 8, 4}}},
    };
    buf o = view(old_value);
    buf n = view(new_value);
    for (auto &c : cases) {
        diff_compact_parse parse = {c.copies.data(), c.copies.size(), c.copies.size()};
        EXPECT_EQ(diff_compact_write(&o, &n, &parse), nullptr) << c.what;
    }
}

/* A CBOR head at `at`, which it passes. */
uint64_t take_head(const bytes &delta, size_t &at) {
    uint8_t info = delta[at++] & 0x1F;
    if (info < 24) {
        return info;
    }
    size_t size = size_t{1} << (info - 24);
    uint64_t value = 0;
    for (size_t i = 0; i < size; i++) {
        value = value << 8 | delta[at++];
    }
    return value;
}

bytes byte_string_head(uint64_t size) {
    bytes head = {0x5B};
    for (int i = 7; i >= 0; i--) {
        head.push_back(static_cast<uint8_t>(size >> (8 * i)));
    }
    return head;
}

/* Where the compact delta that starts at `at` ends. */
size_t past_delta(const bytes &delta, size_t at) {
    at += 4;
    take_head(delta, at);
    take_head(delta, at);
    for (int stream = 0; stream < 3; stream++) {
        at += take_head(delta, at);
    }
    return at;
}

/* A version-1 delta from nothing to `value`, as the writer nests it. */
bytes from_nothing(const bytes &value) {
    buf v = view(value);
    const buf nothing = {nullptr, 0, 0};
    diff_compact_parse parse = {nullptr, 0, 0};
    EXPECT_TRUE(diff_compact_match(&parse, &nothing, &v));
    buf *inner = diff_compact_write(&nothing, &v, &parse);
    diff_compact_parse_release(&parse);
    bytes out = contents(inner);
    buf_free(inner);
    return out;
}

bytes joined(std::initializer_list<bytes> parts) {
    bytes out;
    for (const bytes &part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

/*
 * A version-2 delta carries its runs and its difference bytes in two
 * nested deltas: they are re-encoded here, intact or damaged, and put back
 * in place.  Each damage must be refused by both readers as the
 * difference stream's.
 */
TEST(DiffCompact, NestedDifferenceEventsAreReadExactly) {
    generator g{11};
    bytes old_value, new_value;
    binaries(g, 20000, old_value, new_value, true);
    buf o = view(old_value);
    buf n = view(new_value);
    buf *form = _diff_compact_generate_form(&o, &n);
    bytes delta = contents(form);
    buf_free(form);
    ASSERT_EQ(delta[0], 2);
    size_t at = 4;
    take_head(delta, at);
    take_head(delta, at);
    for (int stream = 0; stream < 2; stream++) {
        at += take_head(delta, at);
    }
    const bytes before(delta.begin(), delta.begin() + static_cast<long>(at));
    take_head(delta, at);
    size_t middle = past_delta(delta, at);
    outcome runs = apply_compact(
        {}, bytes(delta.begin() + static_cast<long>(at), delta.begin() + static_cast<long>(middle)),
        false);
    outcome differences =
        apply_compact({}, bytes(delta.begin() + static_cast<long>(middle), delta.end()), false);
    ASSERT_TRUE(runs.ok);
    ASSERT_TRUE(differences.ok);
    ASSERT_FALSE(differences.value.empty());
    size_t first_run_end = 0;
    while (runs.value[first_run_end] & 0x80) {
        first_run_end++;
    }

    auto rebuilt = [&](const bytes &stream) {
        return joined({before, byte_string_head(stream.size()), stream});
    };
    auto nested = [&](const bytes &r, const bytes &d) {
        return rebuilt(joined({from_nothing(r), from_nothing(d)}));
    };
    bytes run_left_over = joined({runs.value, {0}});
    bytes run_cut(runs.value.begin(), runs.value.end() - 1);
    bytes long_run = runs.value;
    long_run[first_run_end] |= 0x80;
    long_run.insert(long_run.begin() + static_cast<long>(first_run_end) + 1, 0);
    bytes zero_difference = differences.value;
    zero_difference[0] = 0;
    bytes nests_again = from_nothing(runs.value);
    nests_again[0] = 2;
    struct {
        const char *what;
        bytes delta;
        int32_t status;
    } cases[] = {
        {"the events as written", nested(runs.value, differences.value), DIFF_APPLY_OK},
        {"a run left over", nested(run_left_over, differences.value), DIFF_COMPACT_BAD_DIFFERENCES},
        {"the last run cut", nested(run_cut, differences.value), DIFF_COMPACT_BAD_DIFFERENCES},
        {"a run not in its shortest form", nested(long_run, differences.value),
         DIFF_COMPACT_BAD_DIFFERENCES},
        {"a zero difference", nested(runs.value, zero_difference), DIFF_COMPACT_BAD_DIFFERENCES},
        {"a difference left over", nested(runs.value, joined({differences.value, {1}})),
         DIFF_COMPACT_BAD_DIFFERENCES},
        {"a nested delta that nests again",
         rebuilt(joined({nests_again, from_nothing(differences.value)})),
         DIFF_COMPACT_BAD_DIFFERENCES},
        {"one nested delta only", rebuilt(from_nothing(runs.value)), DIFF_COMPACT_BAD_DIFFERENCES},
        {"no nested delta", rebuilt({}), DIFF_COMPACT_BAD_DIFFERENCES},
    };
    for (const auto &c : cases) {
        for (bool scalar : {false, true}) {
            outcome r = apply_compact(old_value, c.delta, scalar);
            EXPECT_EQ(r.status, c.status) << c.what;
            EXPECT_EQ(r.ok, c.status == DIFF_APPLY_OK) << c.what;
            if (r.ok) {
                EXPECT_EQ(r.value, new_value) << c.what;
            }
        }
    }
}

/* The reader's three paths on one delta: the pipeline that patch uses
 * (which hands anything it balks at to the table path), the table path
 * alone, and the scalar reference. */
void expect_paths_agree(const bytes &old_value, const bytes &delta, const char *what, int round) {
    buf o = view(old_value);
    buf d = view(delta);
    outcome seen[3];
    for (int path = 0; path < 3; path++) {
        int32_t status = -1;
        buf *out = path == 0   ? diff_compact_apply_binary(&o, &d, &status)
                   : path == 1 ? _diff_compact_apply_binary_table(&o, &d, &status)
                               : _diff_compact_apply_binary_scalar(&o, &d, &status);
        seen[path] = {out != nullptr, status, contents(out)};
        buf_free(out);
    }
    for (int path = 1; path < 3; path++) {
        ASSERT_EQ(seen[0].ok, seen[path].ok) << what << " round " << round << " path " << path;
        ASSERT_EQ(seen[0].status, seen[path].status) << what << " round " << round;
        ASSERT_EQ(seen[0].value, seen[path].value) << what << " round " << round;
    }
}

/*
 * Values large enough for the pipeline's blocks of commands and of
 * literals to fill and run over (relocated builds, text under many edits,
 * noise that leaves long literal runs, value-sized literal runs), every
 * delta read by the three paths whole and damaged.
 */
TEST(DiffCompact, ThePipelineAgreesWithTheTablePathWholeAndDamaged) {
#if defined(__SANITIZE_ADDRESS__)
    const int rounds = 24;
#else
    const int rounds = 120;
#endif
    generator g{0x5eed};
    for (int round = 0; round < rounds; round++) {
        bytes old_value, new_value;
        size_t length = 2000 + g.below(round % 8 == 0 ? 200000 : 40000);
        switch (round % 4) {
        case 0:
            binaries(g, length, old_value, new_value, round % 8 == 4);
            break;
        case 1:
            old_value = text(g, length);
            new_value = old_value;
            for (int pass = 0; pass < 20; pass++) {
                new_value = edit(g, new_value);
            }
            break;
        case 2:
            old_value = g.noise(length, 1 + static_cast<unsigned>(g.below(8)));
            new_value = edit(g, old_value);
            new_value.resize(new_value.size() / 2);
            {
                bytes fresh = g.noise(length / 2, 256);
                new_value.insert(new_value.end(), fresh.begin(), fresh.end());
            }
            break;
        default:
            old_value = text(g, length / 4);
            new_value = joined({g.noise(length, 200), old_value, text(g, length / 8)});
            break;
        }
        buf o = view(old_value);
        buf n = view(new_value);
        buf *form = _diff_compact_generate_form(&o, &n);
        ASSERT_NE(form, nullptr);
        bytes delta = contents(form);
        buf_free(form);
        expect_paths_agree(old_value, delta, "whole", round);
        // What the writer makes, the pipeline reads by itself: a pipeline
        // that gave up on it would still agree, through the table path.
        buf whole_delta = view(delta);
        buf *piped = _diff_compact_apply_binary_pipeline(&o, &whole_delta);
        ASSERT_NE(piped, nullptr) << "round " << round;
        EXPECT_EQ(contents(piped), new_value) << "round " << round;
        buf_free(piped);
        outcome whole = apply_compact(old_value, delta, false);
        ASSERT_TRUE(whole.ok) << "round " << round;
        ASSERT_EQ(whole.value, new_value) << "round " << round;
        for (int damage = 0; damage < 12 && !delta.empty(); damage++) {
            bytes broken = delta;
            size_t at = g.below(broken.size());
            if (damage % 3 == 0) {
                broken.resize(at);
            } else if (damage % 3 == 1) {
                broken[at] = static_cast<uint8_t>(broken[at] ^ (1u << g.below(8)));
            } else {
                broken[at] = static_cast<uint8_t>(g.next());
            }
            expect_paths_agree(old_value, broken, "damaged", round);
        }
    }
}

/* A new value spliced from thousands of short pieces of the old one,
 * now and then with a byte changed inside, between a few fresh bytes:
 * a parse long enough that the writer shares its walks out to threads. */
void spliced(generator &g, size_t length, bytes &old_value, bytes &new_value) {
    old_value = g.noise(length, 16);
    new_value.clear();
    while (new_value.size() < length) {
        size_t piece = 24 + g.below(60);
        size_t from = g.below(length - piece);
        size_t at = new_value.size();
        new_value.insert(new_value.end(), old_value.begin() + static_cast<long>(from),
                         old_value.begin() + static_cast<long>(from + piece));
        if (g.below(3) == 0) {
            new_value[at + g.below(piece)] ^= 1;
        }
        bytes fresh = g.noise(1 + g.below(6), 16);
        new_value.insert(new_value.end(), fresh.begin(), fresh.end());
    }
}

/* The writer's second walk reads the differences that its first walk
 * kept; comparing the copies' bytes again, in one thread, must give the
 * same delta, byte for byte, nested or not. */
TEST(DiffCompact, WriterKeepsWhatItsSecondWalkWouldCompare) {
    generator g{0x7a1c};
    int nested = 0;
    for (int round = 0; round < PAIRS / 4; round++) {
        bytes old_value, new_value;
        if (round % 32 == 7) {
            spliced(g, 100000 + g.below(200000), old_value, new_value);
        } else if (round % 4 == 3) {
            binaries(g, 20000 + g.below(80000), old_value, new_value, round % 8 == 3);
        } else {
            make_pair(g, round, old_value, new_value);
        }
        buf o = view(old_value);
        buf n = view(new_value);
        buf *kept = _diff_compact_generate_form(&o, &n);
        _diff_compact_write_force_compare_twice(true);
        buf *compared = _diff_compact_generate_form(&o, &n);
        _diff_compact_write_force_compare_twice(false);
        ASSERT_NE(kept, nullptr) << "round " << round;
        ASSERT_NE(compared, nullptr) << "round " << round;
        EXPECT_EQ(contents(kept), contents(compared)) << "round " << round;
        nested += kept->data[0] == 2;
        buf_free(kept);
        buf_free(compared);
    }
    EXPECT_GT(nested, 0);
}

/* Values of 128 KiB and more, where the probe decides whether the index
 * stage runs: new code against old (the index stage is spared), builds
 * under changed addresses and sparse edits (it runs), and literals of
 * seven bits that the compact form cannot bring below the probe's bound
 * (spared, and then run after all).  Every result must rebuild the new
 * value and stay within the plain index method's delta, as the faster
 * index stage does. */
TEST(DiffCompact, ProbedPairsKeepThePlainBound) {
    generator g{0x9b0be};
    for (int round = 0; round < 12; round++) {
        size_t length = (128u << 10) + g.below(200u << 10);
        bytes old_value, new_value;
        switch (round % 4) {
        case 0:
            old_value = text(g, length);
            new_value = joined(
                {g.noise(length / 2, 64),
                 bytes(old_value.begin(), old_value.begin() + static_cast<long>(length / 3))});
            break;
        case 1:
            binaries(g, length, old_value, new_value);
            break;
        case 2:
            old_value = text(g, length);
            new_value = edit(g, old_value);
            break;
        default:
            old_value = g.noise(length, 128);
            new_value = joined(
                {g.noise(length / 2, 128),
                 bytes(old_value.begin(), old_value.begin() + static_cast<long>(length / 2))});
            break;
        }
        buf o = view(old_value);
        buf n = view(new_value);
        diff_compact_probe_result probe = diff_compact_probe_literals(&o, &n);
        ASSERT_GT(probe.points, 0u) << "round " << round;
        double literal =
            1.0 - static_cast<double>(probe.copied) / static_cast<double>(probe.points);
        // New code and seven-bit literals are half or more literal; builds
        // and edits are copied nearly whole.
        if (round % 4 == 0 || round % 4 == 3) {
            EXPECT_GT(literal, 0.4) << "round " << round;
        } else {
            EXPECT_LT(literal, 0.1) << "round " << round;
        }
        expect_within_the_plain_delta(old_value, new_value, round);
    }
}

/* The copies of a plain delta read through the CBOR parser's heads: what
 * diff_compact_parse_from_delta must find, status and copies alike. */
int32_t copies_through_the_parser(const bytes &old_value, const bytes &delta,
                                  std::vector<diff_compact_copy> &copies) {
    cbor_parser parser = {delta.data(), delta.size(), delta.data(), 0};
    auto next = [&](uint8_t &major, uint64_t &argument, bool &indefinite, int32_t &status) {
        status = DIFF_APPLY_OK;
        if (parser.cursor == parser.start + parser.size) {
            return false;
        }
        uint8_t initial = 0;
        if (cbor_parse_head(&parser, &initial, &argument) != 0) {
            status = DIFF_APPLY_CUT_SHORT;
            return false;
        }
        major = static_cast<uint8_t>(initial >> 5);
        indefinite = (initial & 0x1F) == 31;
        argument = indefinite ? 0 : argument;
        return true;
    };
    uint64_t target = 0;
    uint8_t major = 0;
    uint64_t argument = 0;
    bool indefinite = false;
    int32_t status = DIFF_APPLY_OK;
    while (next(major, argument, indefinite, status)) {
        if (major == 0) {
            uint64_t offset = argument;
            if (!next(major, argument, indefinite, status) || major != 0 ||
                offset > old_value.size() || argument > old_value.size() - offset) {
                return DIFF_APPLY_BAD_COPY;
            }
            if (argument > 0) {
                copies.push_back({target, offset, argument});
            }
            target += argument;
        } else if ((major == 2 || major == 3) && !indefinite) {
            auto left = static_cast<uint64_t>(parser.start + parser.size - parser.cursor);
            if (argument > left) {
                return DIFF_APPLY_CUT_SHORT;
            }
            parser.cursor += argument;
            target += argument;
        }
    }
    return status;
}

/* Plain deltas of generated pairs, whole and damaged, and random bytes:
 * the compact stage's own reading of the heads against the parser's. */
TEST(DiffCompact, PlainDeltasReadAsTheParserReadsThem) {
    generator g{0x9a75e};
    for (int round = 0; round < PAIRS; round++) {
        bytes old_value, new_value;
        make_pair(g, round, old_value, new_value);
        buf o = view(old_value);
        buf n = view(new_value);
        buf *plain = diff_index_generate_binary(&o, &n);
        ASSERT_NE(plain, nullptr);
        bytes delta = contents(plain);
        buf_free(plain);
        switch (round % 4) {
        case 1:
            delta.resize(g.below(delta.size() + 1));
            break;
        case 2:
            if (!delta.empty()) {
                delta[g.below(delta.size())] = static_cast<uint8_t>(g.next());
            }
            break;
        case 3:
            delta = g.noise(g.below(64), 256);
            for (uint8_t &byte : delta) {
                byte = static_cast<uint8_t>(byte + g.next());
            }
            break;
        default:
            break;
        }
        if (delta.size() == 1 && delta[0] == DIFF_NO_CHANGE) {
            continue;
        }
        std::vector<diff_compact_copy> want;
        int32_t want_status = copies_through_the_parser(old_value, delta, want);
        buf d = view(delta);
        diff_compact_parse parse = {nullptr, 0, 0};
        int32_t status = diff_compact_parse_from_delta(&parse, &o, &d);
        ASSERT_EQ(status, want_status) << "round " << round;
        if (status == DIFF_APPLY_OK) {
            ASSERT_EQ(parse.count, want.size()) << "round " << round;
            for (uint64_t i = 0; i < parse.count; i++) {
                EXPECT_EQ(parse.copies[i].target, want[i].target) << "round " << round;
                EXPECT_EQ(parse.copies[i].source, want[i].source) << "round " << round;
                EXPECT_EQ(parse.copies[i].length, want[i].length) << "round " << round;
            }
        }
        diff_compact_parse_release(&parse);
    }
}

} // namespace

/* Both probes at the edges of their grids (a value just long enough for
 * one window, or for a point's windows, or not), and their reading of a
 * value against itself (every point copied) and against unrelated bytes
 * (none): points within the probe's limit, and never more copied than
 * tested. */
TEST(DiffCompact, ProbesReadEveryPointOnceAndOnlyTheirValues) {
    using probe_fn = diff_compact_probe_result (*)(const buf *, const buf *);
    const struct {
        const char *name;
        probe_fn probe;
        uint64_t most;
    } probes[] = {{"fine", diff_compact_probe_literals, DIFF_COMPACT_PROBE_POINTS},
                  {"coarse", diff_compact_probe_coarse, DIFF_COMPACT_PROBE_POINTS / 4}};
    generator g{0x50be};
    const size_t lengths[] = {0, 15, 16, 17, 79, 80, 81, 527, 528, 529, 4096, 300000};
    for (const auto &p : probes) {
        for (size_t old_length : lengths) {
            for (size_t new_length : lengths) {
                // Exact sizes, so that a read past either end is one that
                // the sanitizers see.
                bytes old_value = g.noise(old_length, 256);
                bytes same(old_value.begin(),
                           old_value.begin() + static_cast<long>(std::min(old_length, new_length)));
                bytes other = g.noise(new_length, 256);
                buf o = view(old_value);
                for (const bytes *value : {&same, &other}) {
                    buf n = view(*value);
                    diff_compact_probe_result r = p.probe(&o, &n);
                    std::string what = std::string(p.name) + " " + std::to_string(old_length) +
                                       " / " + std::to_string(value->size());
                    EXPECT_LE(r.points, p.most) << what;
                    EXPECT_LE(r.copied, r.points) << what;
                    if (value == &other) {
                        EXPECT_EQ(r.copied, 0u) << what;
                    } else if (value->size() >= 4096) {
                        EXPECT_EQ(r.copied, r.points) << what;
                        EXPECT_GT(r.points, 0u) << what;
                    }
                }
            }
        }
    }
}
