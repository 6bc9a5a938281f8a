/*
 * Tests of the CBOR tokenizer: the dispatch table byte by byte, what each
 * kind of item decodes to, items cut short at every length, and random input
 * (every input sits in an exactly sized heap block, so a read past its end
 * is an AddressSanitizer error).
 */
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cinttypes>
#include <cstdio>
#include <random>

#include "cbor_parser.h"
#include "cbor_test_support.h"

namespace {

/* One line per item, e.g. "18 uint 24" or "63 text 3:abc"; the initial byte
 * first, then what a reader of the item's kind sees. */
std::string describe(const cbor_val *item) {
    char line[160];
    uint8_t initial = item->initial_byte;
    EXPECT_EQ(item->major_type, initial >> 5);
    switch (item->major_type) {
    case 0:
        snprintf(line, sizeof line, "%02x uint %" PRIu64, initial, item->value.uint);
        break;
    case 1:
        snprintf(line, sizeof line, "%02x negint %" PRId64, initial, item->value.sint);
        break;
    case 2:
    case 3: {
        const char *kind = item->major_type == 2 ? "bytes" : "text";
        std::string content = "null";
        if (item->value.bytes != nullptr) {
            content = hex(item->value.bytes, item->length);
            if (item->major_type == 3) {
                EXPECT_EQ(item->value.bytes[item->length], 0) << "text copy is terminated";
            }
        }
        snprintf(line, sizeof line, "%02x %s %" PRIu64 ":%s", initial, kind, item->length,
                 content.c_str());
        break;
    }
    case 4:
    case 5:
        EXPECT_EQ(item->value.uint, 0u);
        snprintf(line, sizeof line, "%02x %s %" PRIu64, initial,
                 item->major_type == 4 ? "array" : "map", item->length);
        break;
    case 6:
        EXPECT_EQ(item->length, 0u);
        snprintf(line, sizeof line, "%02x tag %" PRIu64, initial, item->value.uint);
        break;
    default:
        if (initial >= 0xF9 && initial <= 0xFB) {
            snprintf(line, sizeof line, "%02x float %.17g", initial, item->value.real);
        } else {
            snprintf(line, sizeof line, "%02x simple %" PRIu64 " %" PRIu64, initial,
                     item->value.uint, item->length);
        }
    }
    return line;
}

/*
 * Parses the whole input and describes every item; the last line gives the
 * unread count when the parser stopped: 0 at the end of the input, and the
 * bytes from where a failed item left the cursor otherwise.
 */
std::vector<std::string> parse_all(const Bytes &input) {
    HeapBytes heap(input);
    cbor_parser *parser = cbor_parser_create(heap.data(), heap.size());
    std::vector<std::string> lines;
    while (cbor_val *item = cbor_next_val(parser)) {
        lines.push_back(describe(item));
        cbor_val_free(item);
    }
    int32_t left = cbor_parser_available_bytes(parser);
    lines.push_back("left " + std::to_string(left));
    cbor_parser_free(parser);
    return lines;
}

Bytes repeat(Bytes head, size_t count, uint8_t byte) {
    head.insert(head.end(), count, byte);
    return head;
}

struct TableRange {
    int first, last;
    cbor_parse_function function;
    const char *name;
};

const TableRange table_ranges[] = {
    {0x00, 0x17, cbor_parse_uint_small, "uint_small"},
    {0x18, 0x18, cbor_parse_uint8, "uint8"},
    {0x19, 0x19, cbor_parse_uint16, "uint16"},
    {0x1A, 0x1A, cbor_parse_uint32, "uint32"},
    {0x1B, 0x1B, cbor_parse_uint64, "uint64"},
    {0x1C, 0x1F, cbor_parse_reserved, "reserved"},
    {0x20, 0x37, cbor_parse_negint_small, "negint_small"},
    {0x38, 0x38, cbor_parse_negint8, "negint8"},
    {0x39, 0x39, cbor_parse_negint16, "negint16"},
    {0x3A, 0x3A, cbor_parse_negint32, "negint32"},
    {0x3B, 0x3B, cbor_parse_negint64, "negint64"},
    {0x3C, 0x3F, cbor_parse_reserved, "reserved"},
    {0x40, 0x57, cbor_parse_byte_string_small, "byte_string_small"},
    {0x58, 0x58, cbor_parse_byte_string_uint8, "byte_string_uint8"},
    {0x59, 0x59, cbor_parse_byte_string_uint16, "byte_string_uint16"},
    {0x5A, 0x5A, cbor_parse_byte_string_uint32, "byte_string_uint32"},
    {0x5B, 0x5B, cbor_parse_byte_string_uint64, "byte_string_uint64"},
    {0x5C, 0x5E, cbor_parse_reserved, "reserved"},
    {0x5F, 0x5F, cbor_parse_byte_string_indefinite, "byte_string_indefinite"},
    {0x60, 0x77, cbor_parse_text_string_small, "text_string_small"},
    {0x78, 0x78, cbor_parse_text_string_uint8, "text_string_uint8"},
    {0x79, 0x79, cbor_parse_text_string_uint16, "text_string_uint16"},
    {0x7A, 0x7A, cbor_parse_text_string_uint32, "text_string_uint32"},
    {0x7B, 0x7B, cbor_parse_text_string_uint64, "text_string_uint64"},
    {0x7C, 0x7E, cbor_parse_reserved, "reserved"},
    {0x7F, 0x7F, cbor_parse_text_string_indefinite, "text_string_indefinite"},
    {0x80, 0x97, cbor_parse_array_small, "array_small"},
    {0x98, 0x98, cbor_parse_array_uint8, "array_uint8"},
    {0x99, 0x99, cbor_parse_array_uint16, "array_uint16"},
    {0x9A, 0x9A, cbor_parse_array_uint32, "array_uint32"},
    {0x9B, 0x9B, cbor_parse_array_uint64, "array_uint64"},
    {0x9C, 0x9E, cbor_parse_reserved, "reserved"},
    {0x9F, 0x9F, cbor_parse_array_indefinite, "array_indefinite"},
    {0xA0, 0xB7, cbor_parse_map_small, "map_small"},
    {0xB8, 0xB8, cbor_parse_map_uint8, "map_uint8"},
    {0xB9, 0xB9, cbor_parse_map_uint16, "map_uint16"},
    {0xBA, 0xBA, cbor_parse_map_uint32, "map_uint32"},
    {0xBB, 0xBB, cbor_parse_map_uint64, "map_uint64"},
    {0xBC, 0xBE, cbor_parse_reserved, "reserved"},
    {0xBF, 0xBF, cbor_parse_map_indefinite, "map_indefinite"},
    {0xC0, 0xDB, cbor_parse_semantic_tag, "semantic_tag"},
    {0xDC, 0xDF, cbor_parse_reserved, "reserved"},
    {0xE0, 0xF3, cbor_parse_unimplemented, "unimplemented"},
    {0xF4, 0xF4, cbor_parse_false, "false"},
    {0xF5, 0xF5, cbor_parse_true, "true"},
    {0xF6, 0xF6, cbor_parse_null, "null"},
    {0xF7, 0xF7, cbor_parse_undefined, "undefined"},
    {0xF8, 0xF8, cbor_parse_unimplemented, "unimplemented"},
    {0xF9, 0xF9, cbor_parse_float16, "float16"},
    {0xFA, 0xFA, cbor_parse_float32, "float32"},
    {0xFB, 0xFB, cbor_parse_float64, "float64"},
    {0xFC, 0xFE, cbor_parse_reserved, "reserved"},
    {0xFF, 0xFF, cbor_parse_break, "break"},
};

TEST(CborJumpTable, EveryInitialByteHasItsParseFunction) {
    int covered[256] = {};
    for (const TableRange &range : table_ranges) {
        for (int byte = range.first; byte <= range.last; byte++) {
            covered[byte]++;
            EXPECT_EQ(cbor_jump_table[byte], range.function)
                << "initial byte " << std::hex << byte << " should go to " << range.name;
        }
    }
    for (int byte = 0; byte < 256; byte++) {
        EXPECT_EQ(covered[byte], 1) << "byte " << std::hex << byte << " in the ranges";
    }
}

struct ParseCase {
    const char *name;
    Bytes input;
    std::vector<std::string> expected;
};

const ParseCase parse_cases[] = {
    {"empty input", {}, {"left 0"}},
    {"uint in initial byte", {0x00, 0x17}, {"00 uint 0", "17 uint 23", "left 0"}},
    {"uint8", {0x18, 0x18}, {"18 uint 24", "left 0"}},
    {"uint16", {0x19, 0x01, 0x00}, {"19 uint 256", "left 0"}},
    {"uint32", {0x1A, 0x51, 0x4B, 0x67, 0xB0}, {"1a uint 1363896240", "left 0"}},
    {"uint64 all ones", repeat({0x1B}, 8, 0xFF), {"1b uint 18446744073709551615", "left 0"}},
    {"uint16 cut short", {0x19, 0x01}, {"left 1"}},
    {"negint small", {0x20, 0x37}, {"20 negint -1", "37 negint -24", "left 0"}},
    {"negint8", {0x38, 0x63}, {"38 negint -100", "left 0"}},
    {"negint8 cut short", {0x38}, {"left 0"}},
    {"negint64 largest signed",
     {0x3B, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
     {"3b negint -9223372036854775808", "left 0"}},
    {"negint64 beyond signed keeps complement bits",
     repeat({0x3B}, 8, 0xFF),
     {"3b negint 0", "left 0"}},
    {"byte string", {0x43, 0x61, 0x62, 0x63}, {"43 bytes 3:616263", "left 0"}},
    {"empty byte string", {0x40}, {"40 bytes 0:", "left 0"}},
    {"text string", {0x63, 0x61, 0x62, 0x63}, {"63 text 3:616263", "left 0"}},
    {"byte string one byte short", {0x44, 0x61, 0x62, 0x63}, {"left 3"}},
    {"byte string uint8 length",
     repeat({0x58, 0x18}, 24, 0x41),
     {"58 bytes 24:" + hex(Bytes(24, 0x41)), "left 0"}},
    {"text string uint16 length", {0x79, 0x00, 0x02, 0x68, 0x69}, {"79 text 2:6869", "left 0"}},
    {"length beyond input is refused before allocating", repeat({0x5B}, 8, 0xFF), {"left 0"}},
    {"string length beyond int32 with bytes present",
     {0x5A, 0x80, 0x00, 0x00, 0x00, 0x61},
     {"left 1"}},
    {"array head alone", {0x83, 0x01}, {"83 array 3", "01 uint 1", "left 0"}},
    {"array sized", {0x99, 0x01, 0x00}, {"99 array 256", "left 0"}},
    {"map", {0xA2}, {"a2 map 2", "left 0"}},
    {"map uint32", {0xBA, 0x00, 0x01, 0x00, 0x00}, {"ba map 65536", "left 0"}},
    {"indefinite byte string and its chunks",
     {0x5F, 0x41, 0x61, 0x41, 0x62, 0xFF},
     {"5f bytes 18446744073709551615:null", "41 bytes 1:61", "41 bytes 1:62", "ff simple 0 0",
      "left 0"}},
    {"indefinite text, array and map heads",
     {0x7F, 0x9F, 0xBF},
     {"7f text 18446744073709551615:null", "9f array 18446744073709551615",
      "bf map 18446744073709551615", "left 0"}},
    {"half one", {0xF9, 0x3C, 0x00}, {"f9 float 1", "left 0"}},
    {"half infinities",
     {0xF9, 0x7C, 0x00, 0xF9, 0xFC, 0x00},
     {"f9 float inf", "f9 float -inf", "left 0"}},
    {"half smallest subnormal", {0xF9, 0x00, 0x01}, {"f9 float 5.9604644775390625e-08", "left 0"}},
    {"half largest", {0xF9, 0x7B, 0xFF}, {"f9 float 65504", "left 0"}},
    {"half negative zero", {0xF9, 0x80, 0x00}, {"f9 float -0", "left 0"}},
    {"single", {0xFA, 0x47, 0xC3, 0x50, 0x00}, {"fa float 100000", "left 0"}},
    {"single infinity", {0xFA, 0x7F, 0x80, 0x00, 0x00}, {"fa float inf", "left 0"}},
    {"single cut short", {0xFA, 0x00, 0x00, 0x01}, {"left 3"}},
    {"double",
     {0xFB, 0x3F, 0xF1, 0x99, 0x99, 0x99, 0x99, 0x99, 0x9A},
     {"fb float 1.1000000000000001", "left 0"}},
    {"half cut short", {0xF9, 0x3C}, {"left 1"}},
    {"simple values",
     {0xF4, 0xF5, 0xF6, 0xF7},
     {"f4 simple 0 0", "f5 simple 0 0", "f6 simple 0 0", "f7 simple 0 0", "left 0"}},
    {"tag then its content",
     {0xC1, 0x1A, 0x51, 0x4B, 0x67, 0xB0},
     {"c1 tag 0", "1a uint 1363896240", "left 0"}},
    {"sized tag keeps its number", {0xD8, 0x20, 0x60}, {"d8 tag 32", "60 text 0:", "left 0"}},
    {"tag16", {0xD9, 0xD9, 0xF7, 0x80}, {"d9 tag 55799", "80 array 0", "left 0"}},
    {"tag64 cut short", {0xDB, 0x00, 0x00}, {"left 2"}},
    {"reserved bytes keep their major type",
     {0x1C, 0x3D, 0x5C, 0x7E, 0x9C, 0xBE, 0xDC, 0xFC},
     {"1c uint 0", "3d negint 0", "5c bytes 0:null", "7e text 0:null", "9c array 0", "be map 0",
      "dc tag 0", "fc simple 0 0", "left 0"}},
    {"unimplemented 0xf8 leaves its value byte",
     {0xF8, 0x20},
     {"f8 simple 0 0", "20 negint -1", "left 0"}},
    {"a failure stops nothing that came before",
     {0x01, 0x02, 0x19},
     {"01 uint 1", "02 uint 2", "left 0"}},
};

TEST(CborParser, DecodesEachKindOfItem) {
    for (const ParseCase &test : parse_cases) {
        testing::internal::CaptureStderr();
        std::vector<std::string> lines = parse_all(test.input);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(lines, test.expected) << test.name;
    }
}

/* Every NaN pattern of every width decodes to the one quiet NaN, keeping
 * only the sign of a half; other single NaNs widen with their payload. */
TEST(CborParser, NaNBits) {
    struct {
        Bytes input;
        uint64_t bits;
    } cases[] = {
        {{0xF9, 0x7E, 0x00}, 0x7FF8000000000000},
        {{0xF9, 0x7C, 0x01}, 0x7FF8000000000000},
        {{0xF9, 0xFE, 0x00}, 0xFFF8000000000000},
        {{0xFA, 0x7F, 0xFC, 0x00, 0x00}, 0x7FF8000000000000},
        {{0xFA, 0x7F, 0xC0, 0x00, 0x01}, 0x7FF8000020000000},
        {{0xFB, 0x7F, 0xF0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}, 0x7FF0000000000001},
    };
    for (const auto &test : cases) {
        HeapBytes heap(test.input);
        cbor_parser *parser = cbor_parser_create(heap.data(), heap.size());
        cbor_val *item = cbor_next_val(parser);
        ASSERT_NE(item, nullptr) << hex(test.input);
        EXPECT_EQ(double_bits(item->value.real), test.bits) << hex(test.input);
        cbor_val_free(item);
        cbor_parser_free(parser);
    }
}

TEST(CborParser, EveryHalfPatternDecodesAsTheReference) {
    for (uint32_t half = 0; half <= 0xFFFF; half++) {
        Bytes input = {0xF9, static_cast<uint8_t>(half >> 8), static_cast<uint8_t>(half)};
        cbor_parser *parser = cbor_parser_create(input.data(), input.size());
        cbor_val *item = cbor_next_val(parser);
        ASSERT_NE(item, nullptr);
        ASSERT_EQ(double_bits(item->value.real),
                  double_bits(reference_half(static_cast<uint16_t>(half))))
            << std::hex << half;
        cbor_val_free(item);
        cbor_parser_free(parser);
    }
}

TEST(CborParser, IndefiniteFlagFollowsHeadsAndBreaks) {
    Bytes input = {0x9F, 0x01, 0xFF, 0x02, 0xBF, 0x7F, 0xFF};
    int32_t expected[] = {1, 1, 0, 0, 1, 1, 0};
    cbor_parser *parser = cbor_parser_create(input.data(), input.size());
    EXPECT_EQ(parser->in_indefinite, 0);
    for (int32_t flag : expected) {
        cbor_val_free(cbor_next_val(parser));
        EXPECT_EQ(parser->in_indefinite, flag);
    }
    cbor_parser_free(parser);
}

/* The line goes to standard error for exactly the simple values that have
 * no meaning here, and the item is still delivered. */
TEST(CborParser, UnimplementedLineForEachInitialByte) {
    for (int byte = 0; byte < 256; byte++) {
        Bytes input = repeat({static_cast<uint8_t>(byte)}, 24, 0x00);
        cbor_parser *parser = cbor_parser_create(input.data(), input.size());
        testing::internal::CaptureStderr();
        cbor_val *item = cbor_next_val(parser);
        std::string printed = testing::internal::GetCapturedStderr();
        bool unimplemented = (byte >= 0xE0 && byte <= 0xF3) || byte == 0xF8;
        char line[40];
        snprintf(line, sizeof line, "Unimplemented CBOR code: %02x\n", byte);
        EXPECT_EQ(printed, unimplemented ? std::string(line) : "") << byte;
        ASSERT_NE(item, nullptr) << byte;
        if (unimplemented) {
            EXPECT_EQ(cbor_parser_available_bytes(parser), 24);
        }
        cbor_val_free(item);
        cbor_parser_free(parser);
    }
}

/*
 * Every prefix of a whole item fails cleanly: null, and the cursor just
 * after the initial byte, or after the whole head once a string's head is
 * complete.  The whole item parses and uses every byte.
 */
TEST(CborParser, ItemsCutShortAtEveryLength) {
    struct {
        Bytes item;
        size_t string_head; /* 0 for items that are not strings */
    } cases[] = {
        {{0x18, 0x20}, 0},
        {{0x19, 0x01, 0x02}, 0},
        {{0x1A, 0x01, 0x02, 0x03, 0x04}, 0},
        {repeat({0x1B}, 8, 0x07), 0},
        {{0x38, 0x20}, 0},
        {{0x39, 0x01, 0x02}, 0},
        {{0x3A, 0x01, 0x02, 0x03, 0x04}, 0},
        {repeat({0x3B}, 8, 0x07), 0},
        {{0x43, 0x61, 0x62, 0x63}, 1},
        {{0x58, 0x02, 0x61, 0x62}, 2},
        {{0x59, 0x00, 0x02, 0x61, 0x62}, 3},
        {{0x5A, 0x00, 0x00, 0x00, 0x02, 0x61, 0x62}, 5},
        {repeat({0x5B, 0, 0, 0, 0, 0, 0, 0, 3}, 3, 0x61), 9},
        {{0x62, 0x61, 0x62}, 1},
        {{0x78, 0x02, 0x61, 0x62}, 2},
        {{0x79, 0x00, 0x02, 0x61, 0x62}, 3},
        {{0x7A, 0x00, 0x00, 0x00, 0x02, 0x61, 0x62}, 5},
        {repeat({0x7B, 0, 0, 0, 0, 0, 0, 0, 3}, 3, 0x61), 9},
        {{0x98, 0x20}, 0},
        {{0x99, 0x01, 0x02}, 0},
        {{0x9A, 0x01, 0x02, 0x03, 0x04}, 0},
        {repeat({0x9B}, 8, 0x07), 0},
        {{0xB8, 0x20}, 0},
        {{0xB9, 0x01, 0x02}, 0},
        {{0xBA, 0x01, 0x02, 0x03, 0x04}, 0},
        {repeat({0xBB}, 8, 0x07), 0},
        {{0xD8, 0x20}, 0},
        {{0xD9, 0x01, 0x02}, 0},
        {{0xDA, 0x01, 0x02, 0x03, 0x04}, 0},
        {repeat({0xDB}, 8, 0x07), 0},
        {{0xF9, 0x3C, 0x00}, 0},
        {{0xFA, 0x47, 0xC3, 0x50, 0x00}, 0},
        {repeat({0xFB}, 8, 0x3F), 0},
    };
    for (const auto &test : cases) {
        for (size_t cut = 1; cut <= test.item.size(); cut++) {
            HeapBytes heap(Bytes(test.item.begin(), test.item.begin() + cut));
            cbor_parser *parser = cbor_parser_create(heap.data(), heap.size());
            cbor_val *item = cbor_next_val(parser);
            int32_t left = cbor_parser_available_bytes(parser);
            if (cut == test.item.size()) {
                EXPECT_NE(item, nullptr) << hex(test.item);
                EXPECT_EQ(left, 0) << hex(test.item);
            } else {
                size_t resume =
                    test.string_head != 0 && cut >= test.string_head ? test.string_head : 1;
                EXPECT_EQ(item, nullptr) << hex(test.item) << " cut at " << cut;
                EXPECT_EQ(left, static_cast<int32_t>(cut - resume))
                    << hex(test.item) << " cut at " << cut;
            }
            cbor_val_free(item);
            cbor_parser_free(parser);
        }
    }
}

/* Parse functions are exported for direct calls; on an exhausted parser
 * they must fail without moving the cursor past the end. */
TEST(CborParser, DirectCallsOnExhaustedInputFail) {
    uint8_t byte = 0;
    for (int initial = 0; initial < 256; initial++) {
        cbor_parser *parser = cbor_parser_create(&byte, 0);
        cbor_val *item = cbor_val_create();
        testing::internal::CaptureStderr();
        int result = cbor_jump_table[initial](parser, item, static_cast<uint8_t>(initial));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(result, -1) << initial;
        EXPECT_EQ(parser->cursor, parser->start) << initial;
        cbor_val_free(item);
        cbor_parser_free(parser);
    }
}

/* An input longer than 2^31 bytes is read to its real end: a count cut to
 * 32 bits would end it early.  The input is a sparse mapping, so only the
 * pages touched cost memory. */
TEST(CborParser, InputsBeyond2GiBAreReadToTheirEnd) {
    const uint64_t size = (1ULL << 31) + 3;
    void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    auto *bytes = static_cast<uint8_t *>(map);
    bytes[size - 3] = 0x01; // the unsigned integer 1
    bytes[size - 2] = 0x41; // a one-byte string "z"
    bytes[size - 1] = 0x7A;

    cbor_parser *parser = cbor_parser_create(bytes, size);
    EXPECT_EQ(cbor_parser_available_bytes(parser), INT32_MAX);
    cbor_val *item = cbor_next_val(parser);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->major_type, 0);
    cbor_val_free(item);

    parser->cursor = bytes + size - 3;
    item = cbor_next_val(parser);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->value.uint, 1u);
    cbor_val_free(item);
    item = cbor_next_val(parser);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->length, 1u);
    EXPECT_EQ(item->value.bytes[0], 0x7A);
    cbor_val_free(item);
    EXPECT_EQ(cbor_next_val(parser), nullptr);
    EXPECT_EQ(cbor_parser_available_bytes(parser), 0);
    cbor_parser_free(parser);
    munmap(map, size);
}

TEST(CborParser, StringItemOutlivesItsInput) {
    cbor_val *item;
    {
        HeapBytes heap({0x62, 0x68, 0x69});
        cbor_parser *parser = cbor_parser_create(heap.data(), heap.size());
        item = cbor_next_val(parser);
        cbor_parser_free(parser);
    }
    ASSERT_NE(item, nullptr);
    EXPECT_STREQ(reinterpret_cast<const char *>(item->value.bytes), "hi");
    cbor_val_free(item);
}

TEST(CborParser, NullArgumentsAreHarmless) {
    cbor_parser_free(nullptr);
    cbor_val_free(nullptr);
    EXPECT_EQ(cbor_next_val(nullptr), nullptr);
    EXPECT_EQ(cbor_parser_available_bytes(nullptr), 0);
}

/*
 * Random input, biased toward heads with sized arguments and strings, must
 * never make the parser read outside the block, and every item it accepts
 * must lie inside the input.
 */
TEST(CborParser, RandomInputStaysInBounds) {
    std::mt19937_64 random(20261208);
    const uint8_t interesting[] = {0x18, 0x19, 0x1A, 0x1B, 0x58, 0x59, 0x5A, 0x5B, 0x78, 0x7B,
                                   0x5F, 0xD8, 0xDB, 0xF8, 0xF9, 0xFA, 0xFB, 0xFF, 0x00, 0x57};
    testing::internal::CaptureStderr();
    for (int round = 0; round < 20000; round++) {
        Bytes input(random() % 40);
        for (uint8_t &byte : input) {
            byte = random() % 3 == 0 ? interesting[random() % sizeof interesting]
                                     : static_cast<uint8_t>(random());
        }
        HeapBytes heap(input);
        cbor_parser *parser = cbor_parser_create(heap.data(), heap.size());
        int32_t before = cbor_parser_available_bytes(parser);
        while (cbor_val *item = cbor_next_val(parser)) {
            int32_t after = cbor_parser_available_bytes(parser);
            ASSERT_LT(after, before);
            ASSERT_GE(after, 0);
            if (item->major_type == 2 || item->major_type == 3) {
                ASSERT_TRUE(item->value.bytes != nullptr || item->length == 0 ||
                            item->length == UINT64_MAX);
                if (item->value.bytes != nullptr) {
                    ASSERT_LE(item->length, static_cast<uint64_t>(before - after));
                }
            }
            before = after;
            cbor_val_free(item);
        }
        ASSERT_GE(cbor_parser_available_bytes(parser), 0);
        cbor_parser_free(parser);
    }
    testing::internal::GetCapturedStderr();
}

} // namespace

/* The inline head reader agrees with cbor_parse_head on every initial byte,
 * every argument width and every cut of the head, each input in a block of
 * exactly its size. */
TEST(CborHeadDecode, AgreesWithTheParsersHeadReader) {
    std::mt19937_64 rng(21);
    for (int initial = 0; initial < 256; initial++) {
        for (int trial = 0; trial < 8; trial++) {
            std::vector<uint8_t> head(9);
            head[0] = static_cast<uint8_t>(initial);
            for (std::size_t i = 1; i < head.size(); i++) {
                head[i] = static_cast<uint8_t>(rng());
            }
            for (std::size_t size = 1; size <= head.size(); size++) {
                std::vector<uint8_t> input(head.begin(), head.begin() + static_cast<long>(size));
                const uint8_t *data = input.data();
                cbor_parser parser{data, size, data, 0};
                uint8_t parsed_initial = 0;
                uint64_t expected = 0;
                const bool parsed = cbor_parse_head(&parser, &parsed_initial, &expected) == 0;
                uint64_t argument = 0;
                const unsigned read = cbor_head_decode(data, data + size, &argument);
                if ((initial & 0x1F) > 27) {
                    EXPECT_EQ(read, 0u) << initial;
                    continue;
                }
                ASSERT_EQ(read != 0, parsed) << initial << " cut to " << size;
                if (parsed) {
                    EXPECT_EQ(read, static_cast<unsigned>(parser.cursor - data)) << initial;
                    EXPECT_EQ(argument, expected) << initial;
                }
            }
        }
    }
}
