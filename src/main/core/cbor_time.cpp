/*
 * cbor_time.cpp - RFC 3339 date-time and full-date text, and day counts.
 *
 * The grammar is RFC 3339 section 5.6: every field has its fixed number of
 * digits, so the parser reads by position and checks each separator where
 * it must be, with no scanning and no locale.
 */
#include "cbor_time.h"

namespace {

constexpr int32_t largest_year = 9999;
constexpr unsigned months = 12;
constexpr unsigned hours = 24;
constexpr unsigned minutes_per_hour = 60;
constexpr unsigned leap_second = 60;
constexpr unsigned fraction_digits = 6;
constexpr uint64_t full_date_length = 10;     /* YYYY-MM-DD */
constexpr uint64_t partial_time_length = 8;   /* HH:MM:SS */
constexpr uint64_t numeric_offset_length = 6; /* +hh:mm */

bool is_digit(uint8_t byte) {
    return byte >= '0' && byte <= '9';
}

/* The number written by count digits at text, or -1 if one is not a digit. */
int32_t digits(const uint8_t *text, unsigned count) {
    int32_t value = 0;
    for (unsigned i = 0; i < count; i++) {
        if (!is_digit(text[i])) {
            return -1;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

bool is_leap_year(int32_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

unsigned month_length(int32_t year, unsigned month) {
    static const uint8_t lengths[months] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return lengths[month - 1] + (month == 2 && is_leap_year(year) ? 1 : 0);
}

/* YYYY-MM-DD at text, which holds at least full_date_length bytes. */
bool parse_full_date(const uint8_t *text, cbor_time_fields *fields) {
    const int32_t year = digits(text, 4);
    const int32_t month = digits(text + 5, 2);
    const int32_t day = digits(text + 8, 2);
    if (year < 0 || month < 0 || day < 0 || text[4] != '-' || text[7] != '-' ||
        cbor_time_valid_date(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) == 0) {
        return false;
    }
    fields->year = year;
    fields->month = static_cast<uint8_t>(month);
    fields->day = static_cast<uint8_t>(day);
    return true;
}

/* "+hh:mm" or "-hh:mm" at text, which holds numeric_offset_length bytes. */
bool parse_numeric_offset(const uint8_t *text, int32_t *offset) {
    const int32_t hour = digits(text + 1, 2);
    const int32_t minute = digits(text + 4, 2);
    if ((text[0] != '+' && text[0] != '-') || text[3] != ':' || hour < 0 || minute < 0 ||
        hour >= static_cast<int32_t>(hours) || minute >= static_cast<int32_t>(minutes_per_hour)) {
        return false;
    }
    const int32_t magnitude = hour * static_cast<int32_t>(minutes_per_hour) + minute;
    *offset = text[0] == '-' ? -magnitude : magnitude;
    return true;
}

void put_digits(char *out, uint32_t value, unsigned count) {
    for (unsigned i = count; i > 0; i--) {
        out[i - 1] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

} // namespace

TOVAREL_BEGIN_DECLS

int cbor_time_valid_date(int32_t year, unsigned month, unsigned day) {
    return year >= 0 && year <= largest_year && month >= 1 && month <= months && day >= 1 &&
           day <= month_length(year, month);
}

int cbor_time_parse_date(const uint8_t *text, uint64_t length, cbor_time_fields *fields) {
    cbor_time_fields parsed{};
    if (length != full_date_length || !parse_full_date(text, &parsed)) {
        return -1;
    }
    *fields = parsed;
    return 0;
}

int cbor_time_parse_datetime(const uint8_t *text, uint64_t length, cbor_time_fields *fields) {
    constexpr uint64_t shortest = full_date_length + 1 + partial_time_length + 1;
    if (length < shortest) {
        return -1;
    }
    cbor_time_fields parsed{};
    if (!parse_full_date(text, &parsed) || (text[10] != 'T' && text[10] != 't')) {
        return -1;
    }
    const uint8_t *time = text + full_date_length + 1;
    const int32_t hour = digits(time, 2);
    const int32_t minute = digits(time + 3, 2);
    const int32_t second = digits(time + 6, 2);
    if (hour < 0 || minute < 0 || second < 0 || time[2] != ':' || time[5] != ':' ||
        hour >= static_cast<int32_t>(hours) || minute >= static_cast<int32_t>(minutes_per_hour) ||
        second > static_cast<int32_t>(leap_second)) {
        return -1;
    }
    parsed.hour = static_cast<uint8_t>(hour);
    parsed.minute = static_cast<uint8_t>(minute);
    parsed.second = static_cast<uint8_t>(second);
    uint64_t at = full_date_length + 1 + partial_time_length;
    if (text[at] == '.') {
        at++;
        const uint64_t first = at;
        uint32_t microsecond = 0;
        while (at < length && is_digit(text[at])) {
            if (at - first < fraction_digits) {
                microsecond = microsecond * 10 + static_cast<uint32_t>(text[at] - '0');
            }
            at++;
        }
        if (at == first) {
            return -1; /* a fraction has at least one digit */
        }
        for (uint64_t kept = at - first; kept < fraction_digits; kept++) {
            microsecond *= 10;
        }
        parsed.microsecond = microsecond;
    }
    const uint64_t rest = length - at;
    if (rest == 1 && (text[at] == 'Z' || text[at] == 'z')) {
        parsed.offset_minutes = 0;
    } else if (rest != numeric_offset_length ||
               !parse_numeric_offset(text + at, &parsed.offset_minutes)) {
        return -1;
    }
    *fields = parsed;
    return 0;
}

size_t cbor_time_format_date(const cbor_time_fields *fields, char *out) {
    put_digits(out, static_cast<uint32_t>(fields->year), 4);
    out[4] = '-';
    put_digits(out + 5, fields->month, 2);
    out[7] = '-';
    put_digits(out + 8, fields->day, 2);
    out[full_date_length] = '\0';
    return full_date_length;
}

size_t cbor_time_format_datetime(const cbor_time_fields *fields, char *out) {
    size_t at = cbor_time_format_date(fields, out);
    out[at++] = 'T';
    put_digits(out + at, fields->hour, 2);
    out[at + 2] = ':';
    put_digits(out + at + 3, fields->minute, 2);
    out[at + 5] = ':';
    put_digits(out + at + 6, fields->second, 2);
    at += partial_time_length;
    if (fields->microsecond != 0) {
        out[at++] = '.';
        put_digits(out + at, fields->microsecond, fraction_digits);
        at += fraction_digits;
    }
    if (fields->offset_minutes == 0) {
        out[at++] = 'Z';
    } else {
        const int32_t offset = fields->offset_minutes;
        const auto magnitude = static_cast<uint32_t>(offset < 0 ? -offset : offset);
        out[at] = offset < 0 ? '-' : '+';
        put_digits(out + at + 1, magnitude / minutes_per_hour, 2);
        out[at + 3] = ':';
        put_digits(out + at + 4, magnitude % minutes_per_hour, 2);
        at += numeric_offset_length;
    }
    out[at] = '\0';
    return at;
}

/* The count of days of the proleptic Gregorian calendar in eras of 400
 * years (146097 days each), shifted so that years begin on March 1 and the
 * leap day is the last of its year. */
int64_t cbor_time_days_from_civil(int32_t year, unsigned month, unsigned day) {
    constexpr int64_t days_per_era = 146097;
    constexpr int64_t epoch_shift = 719468; /* days from 0000-03-01 to 1970-01-01 */
    const int64_t shifted_year = static_cast<int64_t>(year) - (month <= 2 ? 1 : 0);
    const int64_t era = (shifted_year >= 0 ? shifted_year : shifted_year - 399) / 400;
    const int64_t year_of_era = shifted_year - era * 400;
    const int64_t month_from_march = month > 2 ? month - 3 : month + 9;
    const int64_t day_of_year = (153 * month_from_march + 2) / 5 + day - 1;
    const int64_t day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * days_per_era + day_of_era - epoch_shift;
}

TOVAREL_END_DECLS
