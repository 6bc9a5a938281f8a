/*
 * Tests of the item measurer: one row per way an item can end, fall short
 * or be refused, each also fed one byte at a time, where the resumed scan
 * must end with the same answer and never ask for a byte past the item.
 * The fuzz harness compares it with the walker on arbitrary input.
 */
#include <gtest/gtest.h>

#include <string>

#include "cbor_measure.h"

namespace {

struct Row {
    const char *name;
    std::string bytes;
    int status;
    uint64_t length; /* COMPLETE: the item's size; NEEDS_MORE: the bytes asked for */
};

TEST(CborMeasure, EndsFallsShortOrRefuses) {
    using std::string;
    const Row rows[] = {
        {"uint", string("\x18\x64\x01", 3), CBOR_MEASURE_COMPLETE, 2},
        {"text",
         string("\x63"
                "abc"
                "\x00",
                5),
         CBOR_MEASURE_COMPLETE, 4},
        {"nested", string("\xa1\x82\x01\x02\xf6\x00", 6), CBOR_MEASURE_COMPLETE, 5},
        {"indefinite", string("\xbf\x9f\x01\xff\xc1\x81\x01\xff", 8), CBOR_MEASURE_COMPLETE, 8},
        {"chunked", string("\x5f\x41\x01\x40\xff", 5), CBOR_MEASURE_COMPLETE, 5},
        {"bignum", string("\xc2\x42\x01\x00", 4), CBOR_MEASURE_COMPLETE, 4},
        {"empty input", string(), CBOR_MEASURE_NEEDS_MORE, 1},
        {"cut head", string("\x1a\x00", 2), CBOR_MEASURE_NEEDS_MORE, 3},
        {"cut string",
         string("\x65"
                "ab",
                3),
         CBOR_MEASURE_NEEDS_MORE, 3},
        {"array count", string("\x84\x01", 2), CBOR_MEASURE_NEEDS_MORE, 3},
        {"map count", string("\xa2\x01", 2), CBOR_MEASURE_NEEDS_MORE, 3},
        {"open indefinite", string("\x9f\x01", 2), CBOR_MEASURE_NEEDS_MORE, 1},
        {"map awaits value", string("\xbf\x01", 2), CBOR_MEASURE_NEEDS_MORE, 2},
        {"reserved", string("\x1c", 1), CBOR_MEASURE_MALFORMED, 0},
        {"stray break", string("\x81\xff", 2), CBOR_MEASURE_MALFORMED, 0},
        {"break after key", string("\xbf\x01\xff", 3), CBOR_MEASURE_MALFORMED, 0},
        {"bad chunk", string("\x5f\x61\x61\xff", 4), CBOR_MEASURE_MALFORMED, 0},
        {"two-byte simple", string("\xf8\x10", 2), CBOR_MEASURE_MALFORMED, 0},
        {"bignum of text", string("\xc2\x61\x61", 3), CBOR_MEASURE_MALFORMED, 0},
        {"bignum reserved", string("\xc2\x5c", 2), CBOR_MEASURE_MALFORMED, 0},
        {"too deep", string("\x81\x81\x81\x81\x00", 5), CBOR_MEASURE_MALFORMED, 0},
    };
    constexpr uint64_t max_depth = 3;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        cbor_measure *whole = cbor_measure_create(max_depth);
        ASSERT_NE(whole, nullptr);
        uint64_t length = 0;
        EXPECT_EQ(cbor_measure_item(whole, row.bytes.data(), row.bytes.size(), &length),
                  row.status);
        if (row.status >= 0) {
            EXPECT_EQ(length, row.length);
        }
        cbor_measure_free(whole);

        cbor_measure *resumed = cbor_measure_create(max_depth);
        ASSERT_NE(resumed, nullptr);
        int status = CBOR_MEASURE_NEEDS_MORE;
        for (size_t size = 0; size <= row.bytes.size() && status == CBOR_MEASURE_NEEDS_MORE;
             size++) {
            status = cbor_measure_item(resumed, row.bytes.data(), size, &length);
            if (status == CBOR_MEASURE_NEEDS_MORE && row.status == CBOR_MEASURE_COMPLETE) {
                EXPECT_LE(size + length, row.length) << "at " << size;
            }
        }
        EXPECT_EQ(status, row.status);
        cbor_measure_reset(resumed);
        EXPECT_EQ(cbor_measure_item(resumed, row.bytes.data(), row.bytes.size(), &length),
                  row.status);
        cbor_measure_free(resumed);
    }
}

} // namespace
