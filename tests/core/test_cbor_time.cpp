/*
 * Tests of the date and time text forms: RFC 3339's own examples and the
 * near misses of each rule, formatting and parsing as inverses over random
 * fields, and the day count against counting day by day.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "cbor_time.h"

namespace {

int parse(const std::string &text, cbor_time_fields *fields) {
    return cbor_time_parse_datetime(reinterpret_cast<const uint8_t *>(text.data()), text.size(),
                                    fields);
}

struct Accepted {
    const char *text;
    int32_t year;
    unsigned month, day, hour, minute, second;
    uint32_t microsecond;
    int32_t offset;
};

TEST(CborTime, AcceptsRfc3339DateTimes) {
    const Accepted cases[] = {
        {"1985-04-12T23:20:50.52Z", 1985, 4, 12, 23, 20, 50, 520000, 0},
        {"1996-12-19T16:39:57-08:00", 1996, 12, 19, 16, 39, 57, 0, -480},
        {"1990-12-31T23:59:60Z", 1990, 12, 31, 23, 59, 60, 0, 0},
        {"1937-01-01T12:00:27.87+00:20", 1937, 1, 1, 12, 0, 27, 870000, 20},
        {"2013-03-21t20:04:00z", 2013, 3, 21, 20, 4, 0, 0, 0},
        {"2000-02-29T00:00:00.1234567891-00:00", 2000, 2, 29, 0, 0, 0, 123456, 0},
        {"0000-01-01T00:00:00+23:59", 0, 1, 1, 0, 0, 0, 0, 1439},
    };
    for (const Accepted &c : cases) {
        cbor_time_fields fields{};
        ASSERT_EQ(parse(c.text, &fields), 0) << c.text;
        EXPECT_EQ(fields.year, c.year) << c.text;
        EXPECT_EQ(fields.month, c.month) << c.text;
        EXPECT_EQ(fields.day, c.day) << c.text;
        EXPECT_EQ(fields.hour, c.hour) << c.text;
        EXPECT_EQ(fields.minute, c.minute) << c.text;
        EXPECT_EQ(fields.second, c.second) << c.text;
        EXPECT_EQ(fields.microsecond, c.microsecond) << c.text;
        EXPECT_EQ(fields.offset_minutes, c.offset) << c.text;
    }
}

TEST(CborTime, RefusesEverythingElse) {
    const char *refused[] = {
        "",
        "2013-03-21",
        "2013-03-21T20:04:00",       /* no offset */
        "2013-03-21 20:04:00Z",      /* space for T */
        "2013-3-21T20:04:00Z",       /* short month */
        "2013-13-21T20:04:00Z",      /* month 13 */
        "2013-02-29T20:04:00Z",      /* not a leap year */
        "1900-02-29T20:04:00Z",      /* century */
        "2013-04-31T20:04:00Z",      /* April has 30 days */
        "2013-03-00T20:04:00Z",      /* day 0 */
        "2013-03-21T24:00:00Z",      /* hour 24 */
        "2013-03-21T20:60:00Z",      /* minute 60 */
        "2013-03-21T20:04:61Z",      /* second 61 */
        "2013-03-21T20:04:00.Z",     /* empty fraction */
        "2013-03-21T20:04:00+0100",  /* offset without colon */
        "2013-03-21T20:04:00+24:00", /* offset hour 24 */
        "2013-03-21T20:04:00+01:60", /* offset minute 60 */
        "2013-03-21T20:04:00Zjunk",  /* trailing bytes */
        "+2013-03-21T20:04:00Z",     /* signed year */
        "2013-03-21T20:04:00.5+01:00x",
        "2013_03-21T20:04:00Z",
    };
    for (const char *text : refused) {
        cbor_time_fields fields{};
        EXPECT_EQ(parse(text, &fields), -1) << text;
    }
    cbor_time_fields date{};
    const auto *full = reinterpret_cast<const uint8_t *>("2024-02-29");
    EXPECT_EQ(cbor_time_parse_date(full, 10, &date), 0);
    EXPECT_EQ(date.day, 29);
    EXPECT_EQ(cbor_time_parse_date(reinterpret_cast<const uint8_t *>("2023-02-29"), 10, &date), -1);
    EXPECT_EQ(cbor_time_parse_date(full, 9, &date), -1);
}

TEST(CborTime, FormatAndParseAreInverses) {
    std::mt19937_64 rng(3339);
    for (int trial = 0; trial < 20000; trial++) {
        cbor_time_fields fields{};
        fields.year = static_cast<int32_t>(rng() % 10000);
        fields.month = static_cast<uint8_t>(1 + rng() % 12);
        fields.day = static_cast<uint8_t>(1 + rng() % 31);
        if (cbor_time_valid_date(fields.year, fields.month, fields.day) == 0) {
            continue;
        }
        fields.hour = static_cast<uint8_t>(rng() % 24);
        fields.minute = static_cast<uint8_t>(rng() % 60);
        fields.second = static_cast<uint8_t>(rng() % 60);
        fields.microsecond = rng() % 2 ? static_cast<uint32_t>(rng() % 1000000) : 0;
        fields.offset_minutes = rng() % 2 ? static_cast<int32_t>(rng() % 2879) - 1439 : 0;
        char text[CBOR_TIME_TEXT_MAX];
        const size_t length = cbor_time_format_datetime(&fields, text);
        ASSERT_LT(length, sizeof text);
        ASSERT_EQ(strlen(text), length);
        cbor_time_fields parsed{};
        ASSERT_EQ(parse(std::string(text, length), &parsed), 0) << text;
        EXPECT_EQ(memcmp(&parsed, &fields, sizeof fields), 0) << text;
    }
}

TEST(CborTime, DayCountAgreesWithCountingDays) {
    int64_t days = cbor_time_days_from_civil(0, 1, 1);
    for (int32_t year = 0; year <= 9999; year++) {
        for (unsigned month = 1; month <= 12; month++) {
            for (unsigned day = 1; cbor_time_valid_date(year, month, day) != 0; day++) {
                ASSERT_EQ(cbor_time_days_from_civil(year, month, day), days)
                    << year << "-" << month << "-" << day;
                days++;
            }
        }
    }
    EXPECT_EQ(cbor_time_days_from_civil(1970, 1, 1), 0);
    EXPECT_EQ(cbor_time_days_from_civil(1969, 12, 31), -1);
    EXPECT_EQ(cbor_time_days_from_civil(2000, 3, 1), 11017);
}

} // namespace
