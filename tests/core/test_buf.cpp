#include "buf.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

/* Requests the allocator cannot meet must come back as null under the
 * address checker too, so that the failure paths run instead of aborting. */
extern "C" const char *__asan_default_options() {
    return "allocator_may_return_null=1";
}

namespace {

using Bytes = std::vector<uint8_t>;

Bytes content(const buf *b) {
    return b->len == 0 ? Bytes{} : Bytes(b->data, b->data + b->len);
}

buf *make_buf(const std::string &text) {
    buf *b = buf_create();
    buf_write_bytes(b, text.data(), text.size());
    return b;
}

TEST(Buf, CreateAndFree) {
    buf *b = buf_create();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->data, nullptr);
    EXPECT_EQ(b->len, 0u);
    EXPECT_EQ(b->capacity, 0u);
    buf_free(b);
    buf_free(nullptr);
}

TEST(Buf, GrowthDoublesTheNeededLength) {
    struct Case {
        const char *name;
        std::vector<uint64_t> appends;    /* sizes appended in turn */
        std::vector<uint64_t> capacities; /* capacity after each */
    };
    const Case cases[] = {
        {"one byte at a time", {1, 1, 1, 1, 1, 1, 1}, {2, 2, 6, 6, 6, 6, 14}},
        {"five bytes", {5}, {10}},
        {"need equal to capacity does not grow", {4, 1, 3}, {8, 8, 8}},
        {"one past capacity grows", {4, 1, 4}, {8, 8, 18}},
        {"empty appends never grow", {0, 0, 3, 0}, {0, 0, 6, 6}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        buf *b = buf_create();
        Bytes model;
        for (size_t i = 0; i < c.appends.size(); i++) {
            Bytes chunk(c.appends[i]);
            for (size_t j = 0; j < chunk.size(); j++) {
                chunk[j] = static_cast<uint8_t>(model.size() + j);
            }
            buf_write_bytes(b, chunk.data(), chunk.size());
            model.insert(model.end(), chunk.begin(), chunk.end());
            EXPECT_EQ(b->capacity, c.capacities[i]) << "after append " << i;
        }
        EXPECT_EQ(content(b), model);
        buf_free(b);
    }
}

/* The capacities one byte at a time: 2, 6, 14, 30, 62, ... (2^(k+1) - 2). */
TEST(Buf, ByteAtATimeCapacities) {
    buf *b = buf_create();
    std::vector<uint64_t> seen;
    for (int i = 0; i < 1000; i++) {
        uint64_t before = b->capacity;
        buf_write_byte(b, i);
        if (b->capacity != before) {
            seen.push_back(b->capacity);
        }
    }
    EXPECT_EQ(seen, (std::vector<uint64_t>{2, 6, 14, 30, 62, 126, 254, 510, 1022}));
    for (int i = 0; i < 1000; i++) {
        ASSERT_EQ(b->data[i], static_cast<uint8_t>(i));
    }
    buf_free(b);
}

TEST(Buf, Writers) {
    struct Case {
        const char *name;
        void (*write)(buf *);
        Bytes expected;
    };
    const Case cases[] = {
        {"string without its NUL", [](buf *b) { buf_write_string(b, "abc"); }, {'a', 'b', 'c'}},
        {"empty string", [](buf *b) { buf_write_string(b, ""); }, {}},
        {"byte keeps the low 8 bits",
         [](buf *b) {
             buf_write_byte(b, 0x1FF);
             buf_write_byte(b, -1);
             buf_write_byte(b, 0x100);
         },
         {0xFF, 0xFF, 0x00}},
        {"bytes with NULs",
         [](buf *b) {
             const uint8_t raw[] = {0, 1, 0};
             buf_write_bytes(b, raw, sizeof raw);
         },
         {0, 1, 0}},
        {"buf",
         [](buf *b) {
             buf *source = make_buf("xyz");
             buf_write_byte(b, '<');
             buf_write_buf(b, source);
             EXPECT_EQ(content(source), (Bytes{'x', 'y', 'z'})) << "source changed";
             buf_free(source);
         },
         {'<', 'x', 'y', 'z'}},
        {"empty buf",
         [](buf *b) {
             buf *source = buf_create();
             buf_write_buf(b, source);
             buf_free(source);
         },
         {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        buf *b = buf_create();
        c.write(b);
        EXPECT_EQ(content(b), c.expected);
        buf_free(b);
    }
}

TEST(Buf, DupCopiesWithCapacityZero) {
    EXPECT_EQ(buf_dup(nullptr), nullptr);

    buf *b = make_buf("abc");
    buf *copy = buf_dup(b);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->len, 3u);
    EXPECT_EQ(copy->capacity, 0u);
    EXPECT_NE(copy->data, b->data);
    EXPECT_EQ(content(copy), content(b));
    buf_write_byte(copy, 'd');
    EXPECT_EQ(copy->capacity, 8u);
    EXPECT_EQ(content(copy), (Bytes{'a', 'b', 'c', 'd'}));
    EXPECT_EQ(content(b), (Bytes{'a', 'b', 'c'})) << "the original changed with its copy";
    buf_free(copy);

    buf *empty = buf_create();
    buf *empty_copy = buf_dup(empty);
    ASSERT_NE(empty_copy, nullptr);
    EXPECT_EQ(empty_copy->len, 0u);
    EXPECT_EQ(empty_copy->capacity, 0u);
    buf_write_byte(empty_copy, 1);
    EXPECT_EQ(content(empty_copy), Bytes{1});
    buf_free(empty_copy);
    buf_free(empty);
    buf_free(b);
}

TEST(Buf, Substr) {
    buf *b = make_buf("hello");
    struct Case {
        int32_t offset;
        int32_t length;
        int expected; /* offset from data, or -1 for null */
    };
    const Case cases[] = {
        {2, 3, 2},  {2, 4, -1},         {5, 0, 5},          {0, 5, 0},
        {0, 6, -1}, {4, 1, 4},          {5, 1, -1},         {1, -3, 1},
        {0, 0, 0},  {INT32_MAX, 1, -1}, {1, INT32_MAX, -1}, {INT32_MAX, INT32_MAX, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.offset << ", " << c.length);
        uint8_t *p = buf_substr(b, c.offset, c.length);
        EXPECT_EQ(p, c.expected < 0 ? nullptr : b->data + c.expected);
    }
    EXPECT_EQ(buf_substr(nullptr, 0, 0), nullptr);
    buf *empty = buf_create();
    EXPECT_EQ(buf_substr(empty, 0, 0), nullptr);
    EXPECT_EQ(buf_substr(empty, 0, 1), nullptr);
    buf_free(empty);
    buf_free(b);
}

TEST(Buf, Compare) {
    struct Case {
        const char *a; /* null for a null buffer */
        const char *b;
        int sign;
    };
    const Case cases[] = {
        {nullptr, nullptr, 0}, {nullptr, "", -1},   {"", nullptr, -1},   {nullptr, "a", -1},
        {"a", nullptr, -1},    {"", "", 0},         {"abc", "abc", 0},   {"abc", "abd", -1},
        {"abd", "abc", 1},     {"ab", "abc", -1},   {"abc", "ab", -1},   {"b", "abc", -1},
        {"\x7f", "\x80", -1},  {"\x80", "\x7f", 1}, {"\xff", "\x01", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << (c.a ? c.a : "(null)") << " vs " << (c.b ? c.b : "(null)"));
        buf *a = c.a ? make_buf(c.a) : nullptr;
        buf *b = c.b ? make_buf(c.b) : nullptr;
        int result = buf_cmp(a, b);
        EXPECT_EQ((result > 0) - (result < 0), c.sign);
        if (c.a == nullptr || c.b == nullptr || strlen(c.a) != strlen(c.b)) {
            EXPECT_EQ(result, c.sign) << "null and length mismatches are exactly -1";
        }
        buf_free(a);
        buf_free(b);
    }
}

TEST(Buf, DiscardFront) {
    struct Case {
        const char *start;
        int32_t count;
        const char *left;
    };
    const Case cases[] = {
        {"hello", 2, "llo"}, {"hello", 0, "hello"}, {"hello", 5, ""},
        {"hello", 4, "o"},   {"", 0, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.start << " - " << c.count);
        buf *b = make_buf(c.start);
        buf_discard_front(b, c.count);
        const size_t left = strlen(c.left);
        EXPECT_EQ(content(b), Bytes(c.left, c.left + left));
        EXPECT_EQ(b->len, left);
        EXPECT_EQ(b->capacity, left);
        buf_write_string(b, "!!");
        EXPECT_EQ(b->capacity, 2 * (left + 2)) << "growth after a discard";
        EXPECT_EQ(std::string(reinterpret_cast<char *>(b->data), b->len),
                  std::string(c.left) + "!!");
        buf_free(b);
    }
}

TEST(Buf, AsString) {
    char *empty = buf_as_string(nullptr);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], '\0');
    free(empty);

    const uint8_t raw[] = {0x61, 0x00, 0x62};
    buf *b = buf_create();
    buf_write_bytes(b, raw, sizeof raw);
    char *s = buf_as_string(b);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(memcmp(s, "\x61\x00\x62\x00", 4), 0);
    EXPECT_STREQ(s, "a");
    free(s);
    buf_free(b);

    buf *fresh = buf_create();
    char *none = buf_as_string(fresh);
    ASSERT_NE(none, nullptr);
    EXPECT_STREQ(none, "");
    free(none);
    buf_free(fresh);
}

TEST(Buf, FixedWidthReaders) {
    /* One spare byte in front, so the multi-byte reads are unaligned. */
    const uint8_t bytes[] = {0xEE, 0x00, 0x00, 0x01, 0x02, 0xFF, 0x80, 0x7F, 0x01, 0xAA};
    const uint8_t *p = bytes + 1;

    uint32_t v32 = 0;
    EXPECT_EQ(buf_read_uint32(p, &v32), p + 4);
    EXPECT_EQ(v32, 258u);
    EXPECT_EQ(buf_read_uint32(p + 4, &v32), p + 8);
    EXPECT_EQ(v32, 0xFF807F01u);

    uint64_t v64 = 0;
    EXPECT_EQ(buf_read_uint64(p, &v64), p + 8);
    EXPECT_EQ(v64, 0x00000102FF807F01ull);
    EXPECT_EQ(buf_read_uint64(p + 1, &v64), p + 9);
    EXPECT_EQ(v64, 0x000102FF807F01AAull);

    uint8_t v8 = 0;
    EXPECT_EQ(buf_read_byte(bytes, &v8), bytes + 1);
    EXPECT_EQ(v8, 0xEE);

    /* No output: the value is skipped.  Null position: null, nothing stored. */
    EXPECT_EQ(buf_read_byte(p, nullptr), p + 1);
    EXPECT_EQ(buf_read_uint32(p, nullptr), p + 4);
    EXPECT_EQ(buf_read_uint64(p, nullptr), p + 8);
    v8 = 7;
    v32 = 7;
    v64 = 7;
    EXPECT_EQ(buf_read_byte(nullptr, &v8), nullptr);
    EXPECT_EQ(buf_read_uint32(nullptr, &v32), nullptr);
    EXPECT_EQ(buf_read_uint64(nullptr, &v64), nullptr);
    EXPECT_EQ(v8, 7);
    EXPECT_EQ(v32, 7u);
    EXPECT_EQ(v64, 7u);

    /* Chained reads are tested once at the end. */
    const uint8_t *end = buf_read_uint32(buf_read_byte(bytes, nullptr), &v32);
    end = buf_read_uint32(end, &v32);
    EXPECT_EQ(end, bytes + 9);
}

/* An append whose new length overflows, or whose block cannot be had, is
 * refused and leaves every field of the record as it was. */
TEST(Buf, FailedAppendsLeaveTheRecordUnchanged) {
    buf *b = make_buf("hello");
    const uint8_t *data = b->data;
    const uint64_t len = b->len;
    const uint64_t capacity = b->capacity;
    const uint8_t source[8] = {};
    const uint64_t counts[] = {
        UINT64_MAX,           UINT64_MAX - len + 1, /* len + count wraps to 0 */
        UINT64_MAX - len, /* len + count is all ones; twice that overflows */
        UINT64_MAX / 2,   /* twice the need overflows */
        1ull << 62,       /* fits the arithmetic; no allocator grants it */
        (1ull << 62) + 12345,
    };
    for (uint64_t count : counts) {
        SCOPED_TRACE(count);
        EXPECT_FALSE(_buf_append(b, source, count));
        buf_write_bytes(b, source, count);
        EXPECT_EQ(b->data, data);
        EXPECT_EQ(b->len, len);
        EXPECT_EQ(b->capacity, capacity);
        EXPECT_EQ(content(b), (Bytes{'h', 'e', 'l', 'l', 'o'}));
    }
    EXPECT_TRUE(_buf_append(b, source, 0));
    EXPECT_EQ(b->len, len);
    EXPECT_TRUE(_buf_append(b, "!", 1));
    EXPECT_EQ(content(b), (Bytes{'h', 'e', 'l', 'l', 'o', '!'}));
    buf_free(b);
}

/* Random appends of every kind against a byte-vector model; the capacity
 * must follow the doubling rule at every step. */
TEST(Buf, RandomAppendsMatchAModel) {
    std::mt19937 rng(77);
    buf *b = buf_create();
    Bytes model;
    for (int step = 0; step < 2000; step++) {
        const uint64_t old_capacity = b->capacity;
        const size_t before = model.size();
        switch (rng() % 4) {
        case 0: {
            int v = static_cast<int>(rng());
            buf_write_byte(b, v);
            model.push_back(static_cast<uint8_t>(v));
            break;
        }
        case 1: {
            Bytes chunk(rng() % 40);
            for (uint8_t &x : chunk) {
                x = static_cast<uint8_t>(rng());
            }
            buf_write_bytes(b, chunk.data(), chunk.size());
            model.insert(model.end(), chunk.begin(), chunk.end());
            break;
        }
        case 2: {
            std::string s(rng() % 10, 'a' + static_cast<char>(rng() % 26));
            buf_write_string(b, s.c_str());
            model.insert(model.end(), s.begin(), s.end());
            break;
        }
        default: {
            buf *other = buf_create();
            buf_write_bytes(other, "xy", rng() % 3);
            buf_write_buf(b, other);
            model.insert(model.end(), other->data, other->data + other->len);
            buf_free(other);
            break;
        }
        }
        const uint64_t need = model.size();
        ASSERT_EQ(b->capacity, need > old_capacity ? 2 * need : old_capacity)
            << "step " << step << ", grew from " << before;
        ASSERT_EQ(content(b), model);
    }
    buf_free(b);
}

} // namespace

// Appending a buffer to itself, or a slice of its own content, must survive
// the block moving while it grows.
TEST(Buf, AppendFromItsOwnContentWhileGrowing) {
    buf *b = buf_create();
    buf_write_bytes(b, "hello", 5);
    buf_discard_front(b, 0); // len 5, capacity 5: the next append must grow
    buf_write_buf(b, b);
    ASSERT_EQ(b->len, 10u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(b->data), 10), "hellohello");
    buf_discard_front(b, 0);
    buf_write_bytes(b, b->data + 5, 5);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(b->data), b->len), "hellohellohello");
    buf_free(b);
}

// A reserved block takes the appends that fit it without moving, and a
// fitted one keeps its content at exactly its size; neither ever loses or
// changes a byte.
TEST(Buf, ReserveAndFitKeepTheContent) {
    struct Case {
        const char *name;
        uint64_t before;  /* bytes appended first */
        uint64_t reserve; /* capacity asked for */
        uint64_t after;   /* bytes appended next */
    };
    const Case cases[] = {
        {"reserved on an empty buffer", 0, 100, 100},
        {"reserved below the capacity changes nothing", 10, 4, 5},
        {"appends past the reservation grow as before", 3, 8, 20},
        {"reserved, nothing written, fitted to none", 0, 64, 0},
        {"large block", 1000, 3 << 20, (3 << 20) - 1000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        buf *b = buf_create();
        Bytes model;
        auto write = [&](uint64_t count) {
            for (uint64_t i = 0; i < count; i++) {
                model.push_back(static_cast<uint8_t>(model.size() * 7 + 1));
            }
            buf_write_bytes(b, model.data() + model.size() - count, count);
        };
        write(c.before);
        uint64_t had = b->capacity;
        ASSERT_TRUE(_buf_reserve(b, c.reserve));
        EXPECT_EQ(b->capacity, c.reserve > had ? c.reserve : had);
        const uint8_t *block = b->data;
        uint64_t room = b->capacity - b->len;
        write(c.after);
        if (c.after <= room) {
            EXPECT_EQ(b->data, block) << "moved while it had room";
        }
        _buf_fit(b);
        EXPECT_EQ(b->capacity, b->len);
        EXPECT_EQ(b->data == nullptr, model.empty());
        EXPECT_EQ(content(b), model);
        write(3);
        EXPECT_EQ(content(b), model) << "a fitted buffer takes appends";
        buf_free(b);
    }
    EXPECT_FALSE(_buf_reserve(nullptr, 1));
    _buf_fit(nullptr);
}
