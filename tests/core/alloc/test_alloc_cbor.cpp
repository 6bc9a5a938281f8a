/*
 * Allocation failures in the CBOR codec: every allocation that parsing a
 * document, writing items or choosing a float's width makes is failed in
 * turn.  Each run must end in the documented failure (null or -1) or in the
 * right bytes, must leave the generator with a prefix of what a clean run
 * writes, and must leak nothing (LeakSanitizer checks that in the sanitized
 * build).
 */
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "cbor_generator.h"
#include "cbor_parser.h"
#include "cbor_walker.h"
#include "failing_allocator.h"

using failing_allocator::armed;
using failing_allocator::exhaust;
using failing_allocator::failure;
using failing_allocator::paused;

namespace {

using bytes = std::vector<uint8_t>;

bytes contents(const cbor_generator *generator) {
    return generator->len == 0 ? bytes{} : bytes(generator->data, generator->data + generator->len);
}

bool is_prefix(const bytes &part, const bytes &whole) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

/* What a test keeps of an item, so that runs can be compared. */
struct item_record {
    uint8_t initial_byte;
    uint64_t value;
    uint64_t length;
    bytes content;

    bool operator==(const item_record &) const = default;
};

item_record record_of(const cbor_val *item) {
    item_record r{item->initial_byte, 0, item->length, {}};
    bool is_string = item->major_type == 2 || item->major_type == 3;
    if (is_string && item->value.bytes != nullptr) {
        r.content.assign(item->value.bytes, item->value.bytes + item->length);
    } else {
        r.value = item->value.uint;
    }
    return r;
}

/* Parses the whole document; stops at the first null. */
std::vector<item_record> parse_all(const bytes &document) {
    std::vector<item_record> items;
    cbor_parser *parser = cbor_parser_create(document.data(), document.size());
    if (parser == nullptr) {
        return items;
    }
    while (cbor_val *item = cbor_next_val(parser)) {
        {
            paused guard; /* the record's vector is the test's, not the parser's */
            items.push_back(record_of(item));
        }
        cbor_val_free(item);
    }
    cbor_parser_free(parser);
    return items;
}

const bytes document = {
    0x18, 0x18,                                     /* 24 */
    0x43, 'a',  'b',  'c',                          /* byte string */
    0x63, 'x',  'y',  'z',                          /* text string */
    0x9F, 0x01, 0x5F, 0x41, 'p',  0xFF, 0xFF,       /* indefinite array and string */
    0xC1, 0x1A, 0x51, 0x4B, 0x67, 0xB0,             /* tag and 32-bit integer */
    0xF9, 0x3C, 0x00, 0xFB, 0x3F, 0xF1, 0x99, 0x99, /* 1.0, then 1.1 */
    0x99, 0x99, 0x99, 0x9A, 0x38, 0x63,             /* ... and -100 */
    0x58, 0x20, 0,    1,    2,    3,    4,    5,    /* a 32-byte string */
    6,    7,    8,    9,    10,   11,   12,   13,   14, 15, 16, 17, 18,
    19,   20,   21,   22,   23,   24,   25,   26,   27, 28, 29, 30, 31,
};

TEST(AllocCbor, ParsingGivesAPrefixOfTheItemsOrAll) {
    const std::vector<item_record> clean = parse_all(document);
    ASSERT_EQ(clean.size(), 15u);
    uint64_t allocations = exhaust([&](const failure &f) {
        std::vector<item_record> got = armed(f, [&] { return parse_all(document); });
        ASSERT_LE(got.size(), clean.size());
        EXPECT_TRUE(std::equal(got.begin(), got.end(), clean.begin()));
        if (!failing_allocator_fired()) {
            EXPECT_EQ(got.size(), clean.size());
        }
    });
    /* The parser, each item, and each string copy. */
    EXPECT_GE(allocations, 1u + 15u + 4u);
}

/* One write of every kind; each returns 0 on success (the fixed-width float
 * writers 1). */
const std::vector<std::function<int(cbor_generator *)>> writes = {
    [](cbor_generator *g) { return cbor_write_uint(g, 7); },
    [](cbor_generator *g) { return cbor_write_uint(g, 4294967296ULL); },
    [](cbor_generator *g) { return cbor_write_negint(g, static_cast<uint64_t>(INT64_MIN)); },
    [](cbor_generator *g) { return cbor_write_byte_string(g, "abcdefghijklmnopqrstuvwxyz", 26); },
    [](cbor_generator *g) { return cbor_write_text_string(g, "", 0); },
    [](cbor_generator *g) { return cbor_write_byte_string(g, nullptr, CBOR_INDEFINITE); },
    [](cbor_generator *g) { return cbor_write_array(g, 300); },
    [](cbor_generator *g) { return cbor_write_map(g, CBOR_INDEFINITE); },
    [](cbor_generator *g) { return cbor_write_break(g); },
    [](cbor_generator *g) { return cbor_write_true(g); },
    [](cbor_generator *g) { return cbor_write_false(g); },
    [](cbor_generator *g) { return cbor_write_null(g); },
    [](cbor_generator *g) { return cbor_write_undefined(g); },
    [](cbor_generator *g) { return cbor_write_float32(g, 100000.0); },
    [](cbor_generator *g) { return cbor_write_float64(g, 0.1); },
};

TEST(AllocCbor, WritersFailWithMinusOneAndKeepWhatWasWritten) {
    cbor_generator *reference = cbor_generator_create();
    ASSERT_NE(reference, nullptr);
    for (const auto &write : writes) {
        ASSERT_GE(write(reference), 0);
    }
    const bytes clean = contents(reference);
    cbor_generator_free(reference);

    uint64_t allocations = exhaust([&](const failure &f) {
        failing_allocator_arm(f.nth, f.persistent);
        cbor_generator *generator = cbor_generator_create();
        size_t written = 0;
        bool failed = generator == nullptr;
        while (!failed && written < writes.size()) {
            failed = writes[written](generator) < 0;
            written += !failed;
        }
        failing_allocator_disarm();

        if (!failing_allocator_fired()) {
            ASSERT_FALSE(failed);
            EXPECT_EQ(contents(generator), clean);
        } else if (generator != nullptr) {
            EXPECT_TRUE(is_prefix(contents(generator), clean));
            EXPECT_EQ(generator->data == nullptr, generator->len == 0);
        }
        cbor_generator_free(generator);
    });
    /* The record, the first block and at least one growth of it. */
    EXPECT_GE(allocations, 3u);
}

uint64_t bits_of(double value) {
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    return bits;
}

struct float_case {
    double value;
    bytes encoding; /* what a run without failures writes */
};

const std::vector<float_case> float_cases = {
    {0.0, {0xF9, 0x00, 0x00}},
    {-0.0, {0xF9, 0x80, 0x00}},
    {1.5, {0xF9, 0x3E, 0x00}},
    {65504.0, {0xF9, 0x7B, 0xFF}},
    {65520.0, {0xFA, 0x47, 0x7F, 0xF0, 0x00}},
    {0x1p-24, {0xFA, 0x33, 0x80, 0x00, 0x00}},
    {0.1, {0xFB, 0x3F, 0xB9, 0x99, 0x99, 0x99, 0x99, 0x99, 0x9A}},
    {3e38, {0xFB, 0x47, 0xEC, 0x36, 0x3C, 0xBF, 0x21, 0xF2, 0x8A}},
    {NAN, {0xF9, 0x7E, 0x00}},
    {-INFINITY, {0xF9, 0xFC, 0x00}},
};

/*
 * cbor_write_float proves a narrow form by writing the candidates into a
 * scratch generator and parsing them back.  Failing any of those steps may
 * make it fall back to a wider form (still the same value) or give -1; it
 * must never write a narrower form it could not prove.
 */
TEST(AllocCbor, FloatWidthFallsBackWiderOrFailsWithoutWriting) {
    for (const float_case &c : float_cases) {
        SCOPED_TRACE(c.value);
        uint64_t allocations = exhaust([&](const failure &f) {
            cbor_generator *generator = cbor_generator_create();
            ASSERT_NE(generator, nullptr);
            ASSERT_EQ(cbor_write_null(generator), 0); /* something to keep */
            int result = armed(f, [&] { return cbor_write_float(generator, c.value); });
            bytes got = contents(generator);
            ASSERT_GE(got.size(), 1u);
            EXPECT_EQ(got[0], 0xF6);
            bytes item(got.begin() + 1, got.end());
            if (!failing_allocator_fired()) {
                EXPECT_GE(result, 0);
                EXPECT_EQ(item, c.encoding);
            } else if (result < 0) {
                EXPECT_TRUE(item.empty()); /* a failed write keeps what was there */
            } else {
                ASSERT_FALSE(item.empty());
                EXPECT_GE(item[0], c.encoding[0]); /* the same width or a wider one */
                cbor_parser *parser = cbor_parser_create(item.data(), item.size());
                cbor_val *decoded = cbor_next_val(parser);
                ASSERT_NE(decoded, nullptr);
                uint64_t want = std::isnan(c.value) ? 0x7FF8000000000000ULL : bits_of(c.value);
                EXPECT_EQ(bits_of(decoded->value.real), want);
                EXPECT_EQ(cbor_parser_available_bytes(parser), 0);
                cbor_val_free(decoded);
                cbor_parser_free(parser);
            }
            cbor_generator_free(generator);
        });
        /* NaNs and infinities fit the block the null made; the rest need a
         * scratch proof. */
        EXPECT_GE(allocations, std::isfinite(c.value) ? 5u : 0u);
    }
}

/* Walks a sequence to its end or first failure: each token as its kind,
 * offset and content, then the status. */
std::vector<std::string> walk_all(const bytes &input) {
    std::vector<std::string> tokens;
    cbor_walker *walker = cbor_walker_create(input.data(), input.size(), 100);
    if (walker == nullptr) {
        return tokens;
    }
    cbor_walker_token token;
    int status = CBOR_WALKER_OK;
    while (cbor_walker_offset(walker) < input.size() || walker->depth > 0) {
        status = cbor_walker_next(walker, &token);
        if (status != CBOR_WALKER_OK) {
            break;
        }
        paused guard;
        std::string text = std::to_string(token.kind) + "@" + std::to_string(token.offset);
        if (token.kind == CBOR_WALKER_BYTES || token.kind == CBOR_WALKER_TEXT) {
            text.append(":").append(reinterpret_cast<const char *>(token.bytes), token.length);
        }
        tokens.push_back(text);
    }
    paused guard;
    tokens.push_back("status " + std::to_string(status));
    cbor_walker_free(walker);
    return tokens;
}

TEST(AllocCbor, WalkingFailsWithNoMemoryAfterAPrefixOfTheTokens) {
    bytes input(40, 0x81); /* nested deeper than the first stack block */
    input.push_back(0x01);
    const bytes chunked = {0x7F, 0x61, 'a', 0x62, 'b', 'c', 0x63, 'd', 'e', 'f', 0xFF, /* text */
                           0x5F, 0x41, 'x', 0xFF};                                     /* bytes */
    input.insert(input.end(), chunked.begin(), chunked.end());
    const std::vector<std::string> clean = walk_all(input);
    ASSERT_EQ(clean.back(), "status 0");
    uint64_t allocations = exhaust([&](const failure &f) {
        std::vector<std::string> got = armed(f, [&] { return walk_all(input); });
        if (!failing_allocator_fired()) {
            EXPECT_EQ(got, clean);
        } else if (!got.empty()) {
            EXPECT_EQ(got.back(), "status " + std::to_string(CBOR_WALKER_NO_MEMORY));
            ASSERT_LT(got.size(), clean.size());
            EXPECT_TRUE(std::equal(got.begin(), got.end() - 1, clean.begin()));
        }
    });
    /* The walker, its stack twice, the join buffer once per growth. */
    EXPECT_GE(allocations, 4u);
}

} // namespace
