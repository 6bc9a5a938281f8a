#include "buf_encoding.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes content(const buf *b) {
    return b->len == 0 ? Bytes{} : Bytes(b->data, b->data + b->len);
}

/* Runs a writer against a fresh buffer and returns what it appended. */
template <typename Write> Bytes written(Write write) {
    buf *b = buf_create();
    write(b);
    Bytes out = content(b);
    buf_free(b);
    return out;
}

struct VarintCase {
    uint64_t value;
    Bytes bytes;
};

const VarintCase varint_cases[] = {
    {0, {0x00}},
    {1, {0x01}},
    {127, {0x7F}},
    {128, {0x80, 0x01}},
    {300, {0xAC, 0x02}},
    {16383, {0xFF, 0x7F}},
    {16384, {0x80, 0x80, 0x01}},
    {2097151, {0xFF, 0xFF, 0x7F}},
    {2097152, {0x80, 0x80, 0x80, 0x01}},
    {268435455, {0xFF, 0xFF, 0xFF, 0x7F}},
    {268435456, {0x80, 0x80, 0x80, 0x80, 0x01}},
    {4294967295u, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
    {4294967296u, {0x80, 0x80, 0x80, 0x80, 0x10}},
    {1ull << 63, {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}},
    {UINT64_MAX, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}},
};

TEST(BufEncoding, VarintWritersProduceTheShortestForm) {
    for (const VarintCase &c : varint_cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(written([&](buf *b) { buf_write_uint64_enc(b, c.value); }), c.bytes);
        if (c.value <= UINT32_MAX) {
            EXPECT_EQ(
                written([&](buf *b) { buf_write_uint32_enc(b, static_cast<uint32_t>(c.value)); }),
                c.bytes);
        }
    }
}

TEST(BufEncoding, VarintReadersDecodeTheExamples) {
    for (const VarintCase &c : varint_cases) {
        SCOPED_TRACE(c.value);
        uint64_t v64 = 12345;
        EXPECT_EQ(buf_read_uint64_enc(c.bytes.data(), &v64), c.bytes.data() + c.bytes.size());
        EXPECT_EQ(v64, c.value);
        EXPECT_EQ(buf_read_uint64_enc(c.bytes.data(), nullptr), c.bytes.data() + c.bytes.size());
        if (c.bytes.size() <= 5) {
            uint32_t v32 = 12345;
            EXPECT_EQ(buf_read_uint32_enc(c.bytes.data(), &v32), c.bytes.data() + c.bytes.size());
            EXPECT_EQ(v32, static_cast<uint32_t>(c.value));
        }
    }
}

/* Forms whose last possible byte carries more bits than the width holds,
 * and forms that never end within the width. */
TEST(BufEncoding, VarintReadersAtTheLastPossibleByte) {
    struct Case {
        const char *name;
        Bytes bytes;
        bool ok;
        uint64_t value;
    };
    const Case cases32[] = {
        {"all ones", {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, true, 0xFFFFFFFF},
        {"bits 4-6 dropped", {0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, true, 0xFFFFFFFF},
        {"only high bits in 5th byte", {0x80, 0x80, 0x80, 0x80, 0x70}, true, 0},
        {"5th byte continues", {0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0x00}, false, 0},
        {"5th byte 0x8F", {0x80, 0x80, 0x80, 0x80, 0x8F, 0x00}, false, 0},
    };
    for (const Case &c : cases32) {
        SCOPED_TRACE(c.name);
        uint32_t v = 777;
        const uint8_t *after = buf_read_uint32_enc(c.bytes.data(), &v);
        EXPECT_EQ(after, c.ok ? c.bytes.data() + 5 : nullptr);
        EXPECT_EQ(v, c.ok ? static_cast<uint32_t>(c.value) : 777u);
    }
    const Bytes nine_ff(9, 0xFF);
    auto with_tenth = [&](uint8_t last) {
        Bytes b = nine_ff;
        b.push_back(last);
        b.push_back(0x00);
        return b;
    };
    const Case cases64[] = {
        {"all ones", with_tenth(0x01), true, UINT64_MAX},
        {"only bit 0 of the 10th byte counts", with_tenth(0x7F), true, UINT64_MAX},
        {"10th byte without bit 0", with_tenth(0x02), true, UINT64_MAX >> 1},
        {"10th byte zero", with_tenth(0x00), true, UINT64_MAX >> 1},
        {"10th byte 81 continues", with_tenth(0x81), false, 0},
        {"10th byte 80 continues", with_tenth(0x80), false, 0},
    };
    for (const Case &c : cases64) {
        SCOPED_TRACE(c.name);
        uint64_t v = 777;
        const uint8_t *after = buf_read_uint64_enc(c.bytes.data(), &v);
        EXPECT_EQ(after, c.ok ? c.bytes.data() + 10 : nullptr);
        EXPECT_EQ(v, c.ok ? c.value : 777u);
    }
}

/* Pads value's shortest form with zero groups to exactly `length` bytes. */
Bytes overlong(uint64_t value, size_t length) {
    Bytes b = written([&](buf *x) { buf_write_uint64_enc(x, value); });
    while (b.size() < length) {
        b.back() |= 0x80;
        b.push_back(0x00);
    }
    return b;
}

TEST(BufEncoding, VarintReadersAcceptOverlongFormsThatEndInTime) {
    const uint64_t values[] = {0, 1, 127, 300, 16384, 0xFFFFFFF};
    for (uint64_t value : values) {
        for (size_t length = 1; length <= 12; length++) {
            Bytes b = overlong(value, length);
            if (b.size() != length) {
                continue; /* the value needs more bytes than this */
            }
            SCOPED_TRACE(testing::Message() << value << " in " << length << " bytes");
            uint32_t v32 = 777;
            const uint8_t *after32 = buf_read_uint32_enc(b.data(), &v32);
            EXPECT_EQ(after32, length <= 5 ? b.data() + length : nullptr);
            EXPECT_EQ(v32, length <= 5 ? value : 777u);
            uint64_t v64 = 777;
            const uint8_t *after64 = buf_read_uint64_enc(b.data(), &v64);
            EXPECT_EQ(after64, length <= 10 ? b.data() + length : nullptr);
            EXPECT_EQ(v64, length <= 10 ? value : 777u);
        }
    }
}

/* A varint cut short: every byte up to the width's limit asks for more. */
TEST(BufEncoding, VarintReadersRefuseFormsThatDoNotEndInTime) {
    for (uint8_t fill : {0x80, 0xFF, 0xAA}) {
        for (size_t continued = 1; continued <= 10; continued++) {
            SCOPED_TRACE(testing::Message() << int(fill) << " x " << continued);
            Bytes b(continued, fill);
            b.resize(16, 0x00); /* a terminator after the continued bytes */
            uint32_t v32 = 777;
            EXPECT_EQ(buf_read_uint32_enc(b.data(), &v32) == nullptr, continued >= 5);
            if (continued >= 5) {
                EXPECT_EQ(v32, 777u);
            }
            uint64_t v64 = 777;
            EXPECT_EQ(buf_read_uint64_enc(b.data(), &v64) == nullptr, continued >= 10);
            if (continued >= 10) {
                EXPECT_EQ(v64, 777u);
            }
        }
    }
}

TEST(BufEncoding, ReadersGiveNullForANullPosition) {
    uint32_t v32 = 7;
    uint64_t v64 = 7;
    bool flag = true;
    float f = 7.0f;
    char *text = nullptr;
    uint64_t length = 7;
    EXPECT_EQ(buf_read_uint32_enc(nullptr, &v32), nullptr);
    EXPECT_EQ(buf_read_uint64_enc(nullptr, &v64), nullptr);
    EXPECT_EQ(buf_read_bool(nullptr, &flag), nullptr);
    EXPECT_EQ(buf_read_float(nullptr, &f), nullptr);
    EXPECT_EQ(buf_read_string_length_enc(nullptr, &text, &length), nullptr);
    EXPECT_EQ(v32, 7u);
    EXPECT_EQ(v64, 7u);
    EXPECT_TRUE(flag);
    EXPECT_EQ(f, 7.0f);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(length, 7u);
}

TEST(BufEncoding, VarintWriteThenReadOverRandomValues) {
    std::mt19937_64 rng(0x70A2E1);
    std::vector<uint64_t> values;
    for (int bit = 0; bit < 64; bit++) {
        uint64_t p = 1ull << bit;
        values.insert(values.end(), {p - 1, p, p + 1});
    }
    values.push_back(UINT64_MAX);
    for (int i = 0; i < 5000; i++) {
        values.push_back(rng() >> (rng() % 64)); /* all magnitudes */
    }
    buf *b = buf_create();
    for (uint64_t v : values) {
        buf_write_uint64_enc(b, v);
        buf_write_uint32_enc(b, static_cast<uint32_t>(v));
    }
    const uint8_t *p = b->data;
    for (uint64_t v : values) {
        SCOPED_TRACE(v);
        uint64_t v64 = 0;
        uint32_t v32 = 0;
        const uint8_t *start = p;
        p = buf_read_uint64_enc(p, &v64);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(v64, v);
        /* Shortest form: one byte per started 7-bit group. */
        int bits = v == 0 ? 1 : 64 - __builtin_clzll(v);
        EXPECT_EQ(p - start, (bits + 6) / 7);
        p = buf_read_uint32_enc(p, &v32);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(v32, static_cast<uint32_t>(v));
    }
    EXPECT_EQ(p, b->data + b->len);
    buf_free(b);
}

/* The varint goes in one append, so the buffer grows once per value:
 * byte-by-byte appends would leave a different capacity behind. */
TEST(BufEncoding, AVarintGrowsTheBufferOnce) {
    buf *b = buf_create();
    buf_write_uint64_enc(b, UINT64_MAX);
    EXPECT_EQ(b->len, 10u);
    EXPECT_EQ(b->capacity, 20u);
    buf_write_uint32_enc(b, UINT32_MAX);
    EXPECT_EQ(b->capacity, 20u);
    buf_write_uint32_enc(b, UINT32_MAX);
    EXPECT_EQ(b->capacity, 20u); /* a need equal to the capacity fits */
    buf_write_uint32_enc(b, 300);
    EXPECT_EQ(b->capacity, 44u);
    buf_free(b);
}

TEST(BufEncoding, LengthPrefixedStringWriters) {
    const std::string long_text(200, 'z');
    struct Case {
        const char *name;
        const char *text; /* for buf_write_string_enc */
        Bytes expected;
    };
    Bytes long_expected = {0xC8, 0x01};
    long_expected.insert(long_expected.end(), long_text.begin(), long_text.end());
    const Case cases[] = {
        {"abc", "abc", {0x03, 'a', 'b', 'c'}},
        {"empty", "", {0x00}},
        {"null", nullptr, {0x00}},
        {"two-byte prefix", long_text.c_str(), long_expected},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(written([&](buf *b) { buf_write_string_enc(b, c.text); }), c.expected);
        const size_t n = c.text == nullptr ? 0 : strlen(c.text);
        EXPECT_EQ(written([&](buf *b) { buf_write_string_length_enc(b, c.text, n); }), c.expected);
    }
    /* Embedded NULs travel with an explicit length. */
    const char with_nul[] = {'a', '\0', 'b'};
    EXPECT_EQ(written([&](buf *b) { buf_write_string_length_enc(b, with_nul, 3); }),
              (Bytes{0x03, 'a', 0x00, 'b'}));
}

/* A length the 32-bit prefix cannot carry is refused: writing its low 32
 * bits would misframe everything that follows.  The pointer is not read. */
TEST(BufEncoding, LengthsOfFourGigabytesOrMoreAreNotWritten) {
    const uint64_t lengths[] = {1ull << 32, (1ull << 32) + 3, UINT64_MAX};
    for (uint64_t length : lengths) {
        SCOPED_TRACE(length);
        buf *b = buf_create();
        buf_write_byte(b, 0x55);
        const uint64_t capacity = b->capacity;
        buf_write_string_length_enc(b, nullptr, length);
        EXPECT_EQ(content(b), Bytes{0x55});
        EXPECT_EQ(b->capacity, capacity);
        buf_free(b);
    }
}

TEST(BufEncoding, LengthPrefixedStringReader) {
    struct Case {
        const char *name;
        Bytes bytes;
        bool ok;
        Bytes text; /* expected copy, without its NUL */
        size_t consumed;
    };
    const Case cases[] = {
        {"abc", {0x03, 'a', 'b', 'c', 0xEE}, true, {'a', 'b', 'c'}, 4},
        {"empty", {0x00, 0xEE}, true, {}, 1},
        {"embedded NUL", {0x03, 'a', 0x00, 'b'}, true, {'a', 0x00, 'b'}, 4},
        {"over-long prefix", {0x83, 0x00, 'x', 'y', 'z'}, true, {'x', 'y', 'z'}, 5},
        {"malformed prefix", Bytes(11, 0xFF), false, {}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        char *text = nullptr;
        uint64_t length = 999;
        const uint8_t *after = buf_read_string_length_enc(c.bytes.data(), &text, &length);
        if (!c.ok) {
            EXPECT_EQ(after, nullptr);
            EXPECT_EQ(text, nullptr);
            EXPECT_EQ(length, 999u);
            continue;
        }
        EXPECT_EQ(after, c.bytes.data() + c.consumed);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(length, c.text.size());
        EXPECT_EQ(Bytes(text, text + length), c.text);
        EXPECT_EQ(text[length], '\0');
        free(text);
        /* Either output may be left out. */
        length = 999;
        EXPECT_EQ(buf_read_string_length_enc(c.bytes.data(), nullptr, &length), after);
        EXPECT_EQ(length, c.text.size());
        text = nullptr;
        EXPECT_EQ(buf_read_string_length_enc(c.bytes.data(), &text, nullptr), after);
        free(text);
        EXPECT_EQ(buf_read_string_length_enc(c.bytes.data(), nullptr, nullptr), after);
    }
}

TEST(BufEncoding, LengthPrefixedStringsWriteThenRead) {
    std::mt19937 rng(42);
    std::vector<std::string> texts = {"", "a", std::string(127, 'q'), std::string(128, 'r'),
                                      std::string(16384, 's')};
    for (int i = 0; i < 300; i++) {
        std::string s(rng() % 400, '\0');
        for (char &ch : s) {
            ch = static_cast<char>(rng()); /* any byte, NUL included */
        }
        texts.push_back(s);
    }
    buf *b = buf_create();
    for (const std::string &s : texts) {
        buf_write_string_length_enc(b, s.data(), s.size());
    }
    const uint8_t *p = b->data;
    for (const std::string &s : texts) {
        char *text = nullptr;
        uint64_t length = 0;
        p = buf_read_string_length_enc(p, &text, &length);
        ASSERT_NE(p, nullptr);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(std::string(text, length), s);
        free(text);
    }
    EXPECT_EQ(p, b->data + b->len);
    buf_free(b);
}

TEST(BufEncoding, Booleans) {
    EXPECT_EQ(written([](buf *b) { buf_write_bool(b, true); }), Bytes{0x01});
    EXPECT_EQ(written([](buf *b) { buf_write_bool(b, false); }), Bytes{0x00});
    buf_write_bool(nullptr, true);

    struct Case {
        uint8_t byte;
        bool ok;
        bool value;
    };
    const Case cases[] = {{0x00, true, false},
                          {0x01, true, true},
                          {0x02, false, false},
                          {0x80, false, false},
                          {0xFF, false, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(int(c.byte));
        for (bool initial : {false, true}) {
            bool out = initial;
            const uint8_t *after = buf_read_bool(&c.byte, &out);
            EXPECT_EQ(after, c.ok ? &c.byte + 1 : nullptr);
            EXPECT_EQ(out, c.ok ? c.value : initial);
        }
        /* Without an output any byte is skipped. */
        EXPECT_EQ(buf_read_bool(&c.byte, nullptr), &c.byte + 1);
    }
}

uint32_t bits_of(float f) {
    uint32_t u;
    memcpy(&u, &f, sizeof u);
    return u;
}

TEST(BufEncoding, FloatsAreWrittenRawAndReadAsVarints) {
    struct Case {
        float value;
        Bytes raw;
    };
    const Case cases[] = {
        {1.0f, {0x00, 0x00, 0x80, 0x3F}},
        {-0.0f, {0x00, 0x00, 0x00, 0x80}},
        {-2.5f, {0x00, 0x00, 0x20, 0xC0}},
        {INFINITY, {0x00, 0x00, 0x80, 0x7F}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(written([&](buf *b) { buf_write_float(b, c.value); }), c.raw);
    }

    /* The raw bytes of 1.0 start with the one-byte varint 00. */
    const Bytes one = {0x00, 0x00, 0x80, 0x3F};
    float f = 9.0f;
    EXPECT_EQ(buf_read_float(one.data(), &f), one.data() + 1);
    EXPECT_EQ(bits_of(f), 0u);

    /* What the reader round-trips is the bit pattern written as a varint. */
    const float patterns[] = {1.0f, -2.5f, 3.14159f, NAN, -INFINITY, 1e-45f};
    for (float value : patterns) {
        buf *b = buf_create();
        buf_write_uint32_enc(b, bits_of(value));
        float back = 0.0f;
        EXPECT_EQ(buf_read_float(b->data, &back), b->data + b->len);
        EXPECT_EQ(bits_of(back), bits_of(value));
        EXPECT_EQ(buf_read_float(b->data, nullptr), b->data + b->len);
        buf_free(b);
    }
    const Bytes malformed(6, 0xFF);
    f = 9.0f;
    EXPECT_EQ(buf_read_float(malformed.data(), &f), nullptr);
    EXPECT_EQ(f, 9.0f);
}

int writer_calls = 0;
void write_element(buf *b, void *data) {
    writer_calls++;
    buf_write_string_enc(b, static_cast<const char *>(data));
}

TEST(BufEncoding, Lists) {
    static char a[] = "a", bc[] = "bc", empty[] = "";
    struct Case {
        const char *name;
        bool null_list;
        std::vector<char *> elements;
        bool with_writer;
        Bytes expected;
    };
    const Case cases[] = {
        {"null list", true, {}, true, {0x00}},
        {"empty list", false, {}, true, {0x00}},
        {"no writer", false, {a, bc, empty}, false, {0x03}},
        {"with writer", false, {a, bc, empty}, true, {0x03, 0x01, 'a', 0x02, 'b', 'c', 0x00}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        list *l = c.null_list ? nullptr : list_create();
        for (char *e : c.elements) {
            list_append_last(l, e);
        }
        writer_calls = 0;
        EXPECT_EQ(
            written([&](buf *b) { buf_write_list(b, l, c.with_writer ? write_element : nullptr); }),
            c.expected);
        EXPECT_EQ(writer_calls, c.with_writer ? static_cast<int>(c.elements.size()) : 0);
        list_free(l, nullptr);
    }

    /* Counts above 127 take a two-byte varint. */
    list *many = list_create();
    for (int i = 0; i < 200; i++) {
        list_append_last(many, empty);
    }
    Bytes out = written([&](buf *b) { buf_write_list(b, many, write_element); });
    Bytes expected = {0xC8, 0x01};
    expected.resize(2 + 200, 0x00);
    EXPECT_EQ(out, expected);
    list_free(many, nullptr);
}

TEST(BufEncoding, Sprintf) {
    buf *b = buf_create();
    EXPECT_EQ(buf_sprintf(b, "%d-%s", 42, "x"), 4);
    EXPECT_EQ(content(b), (Bytes{'4', '2', '-', 'x'}));
    EXPECT_EQ(buf_sprintf(b, "%s", ""), 0);
    EXPECT_EQ(b->len, 4u);

    /* Output far beyond the first scratch size arrives whole, after what
     * was there; no NUL is appended. */
    const std::string big(5000, 'k');
    EXPECT_EQ(buf_sprintf(b, "[%s]", big.c_str()), 5002);
    ASSERT_EQ(b->len, 5006u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(b->data), b->len), "42-x[" + big + "]");

    /* Around the first scratch size: "%s" leaves room for 101 bytes and
     * the NUL, so 102 bytes take a second attempt. */
    for (size_t n : {101, 102, 103}) {
        SCOPED_TRACE(n);
        const std::string text(n, 'e');
        const uint64_t before = b->len;
        EXPECT_EQ(buf_sprintf(b, "%s", text.c_str()), static_cast<int>(n));
        ASSERT_EQ(b->len, before + n);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(b->data) + before, n), text);
    }
    buf_free(b);
}

TEST(BufEncoding, SprintfFailureLeavesTheBufferUnchanged) {
    /* The C locale cannot convert this wide character, so formatting fails. */
    const wchar_t unconvertible[] = {0x4E2D, 0};
    buf *b = buf_create();
    buf_write_byte(b, 'z');
    EXPECT_LT(buf_sprintf(b, "abc%lsdef", unconvertible), 0);
    EXPECT_EQ(content(b), Bytes{'z'});
    buf_free(b);
}

TEST(BufEncoding, AsHex) {
    EXPECT_EQ(buf_as_hex(nullptr), nullptr);
    struct Case {
        Bytes bytes;
        const char *hex;
    };
    const Case cases[] = {
        {{}, ""},
        {{0x00, 0xAB, 0xFF}, "00abff"},
        {{0x01, 0x23, 0x45, 0x67, 0x89, 0xCD, 0xEF, 0x10}, "0123456789cdef10"},
    };
    for (const Case &c : cases) {
        buf *b = buf_create();
        buf_write_bytes(b, c.bytes.data(), c.bytes.size());
        char *hex = buf_as_hex(b);
        ASSERT_NE(hex, nullptr);
        EXPECT_STREQ(hex, c.hex);
        free(hex);
        buf_free(b);
    }
    buf *all = buf_create();
    std::string expected;
    for (int i = 0; i < 256; i++) {
        buf_write_byte(all, i);
        char pair[3];
        snprintf(pair, sizeof pair, "%02x", i);
        expected += pair;
    }
    char *hex = buf_as_hex(all);
    EXPECT_EQ(std::string(hex), expected);
    free(hex);
    buf_free(all);
}

std::string hexdump_of(size_t count) {
    buf *b = buf_create();
    for (size_t i = 0; i < count; i++) {
        buf_write_byte(b, static_cast<int>(i));
    }
    testing::internal::CaptureStdout();
    hexdump_buf(b);
    fflush(stdout);
    buf_free(b);
    return testing::internal::GetCapturedStdout();
}

TEST(BufEncoding, HexdumpLayout) {
    struct Case {
        size_t count;
        const char *expected;
    };
    const Case cases[] = {
        {0, "\n"},
        {1, "| 00 \n"},
        {8, "| 00 01 02 03 04 05 06 07 \n"},
        {9, "| 00 01 02 03 04 05 06 07 . 08 \n"},
        {16, "| 00 01 02 03 04 05 06 07 . 08 09 0a 0b 0c 0d 0e 0f \n"},
        {17, "| 00 01 02 03 04 05 06 07 . 08 09 0a 0b 0c 0d 0e 0f |\n"
             "| 10 \n"},
        {20, "| 00 01 02 03 04 05 06 07 . 08 09 0a 0b 0c 0d 0e 0f |\n"
             "| 10 11 12 13 \n"},
        {33, "| 00 01 02 03 04 05 06 07 . 08 09 0a 0b 0c 0d 0e 0f |\n"
             "| 10 11 12 13 14 15 16 17 . 18 19 1a 1b 1c 1d 1e 1f |\n"
             "| 20 \n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.count);
        EXPECT_EQ(hexdump_of(c.count), c.expected);
    }
}

} // namespace
