/*
 * cbor_time.h - the text and day-count forms of dates and times that CBOR
 * tags carry: RFC 3339 date-time text (tag 0), RFC 8943 full-date text
 * (tag 1004) and days since 1970-01-01 (tag 100), all in the proleptic
 * Gregorian calendar.
 *
 * Parsing checks the whole syntax and every field's range (the day against
 * its month, leap years included), so that a caller building a date from
 * the fields needs no checks of its own beyond what its own type cannot
 * hold (a leap second, the year 0).
 */
#ifndef TOVAREL_CBOR_TIME_H
#define TOVAREL_CBOR_TIME_H

#include <stddef.h>
#include <stdint.h>

#include "export.h"

TOVAREL_BEGIN_DECLS

/* The longest text cbor_time_format_datetime writes, with its NUL:
 * "YYYY-MM-DDTHH:MM:SS.ffffff+hh:mm". */
#define CBOR_TIME_TEXT_MAX 33

typedef struct cbor_time_fields {
    int32_t year;           /* 0..9999 */
    uint8_t month;          /* 1..12 */
    uint8_t day;            /* 1..the month's length */
    uint8_t hour;           /* 0..23 */
    uint8_t minute;         /* 0..59 */
    uint8_t second;         /* 0..60 (60: a leap second) */
    uint32_t microsecond;   /* 0..999999: a longer fraction is cut to six digits */
    int32_t offset_minutes; /* east of UTC, -1439..1439; "Z" and "-00:00" are 0 */
} cbor_time_fields;

/* Parses an RFC 3339 date-time ("2013-03-21T20:04:00Z",
 * "1985-04-12T23:20:50.52+01:00"; "T" and "Z" in either case).  Returns 0
 * and fills fields, or -1 when the text is anything else. */
TOVAREL_API int cbor_time_parse_datetime(const uint8_t *text, uint64_t length,
                                         cbor_time_fields *fields);

/* Parses an RFC 3339 full-date ("2013-03-21") into the date fields (the
 * time fields are set to 0).  Returns 0, or -1. */
TOVAREL_API int cbor_time_parse_date(const uint8_t *text, uint64_t length,
                                     cbor_time_fields *fields);

/* Writes fields (in the ranges above, second at most 59, offset_minutes
 * within a day) as RFC 3339 date-time text: "Z" for offset 0, a fraction
 * of six digits only when microsecond is not 0.  Returns the length, out
 * having room for CBOR_TIME_TEXT_MAX bytes (a NUL follows the text). */
TOVAREL_API size_t cbor_time_format_datetime(const cbor_time_fields *fields, char *out);

/* Writes the date fields as a full-date, "YYYY-MM-DD"; returns 10. */
TOVAREL_API size_t cbor_time_format_date(const cbor_time_fields *fields, char *out);

/* Whether year/month/day is a day of the calendar (year 0..9999). */
TOVAREL_API int cbor_time_valid_date(int32_t year, unsigned month, unsigned day);

/* Days from 1970-01-01 to the date, negative before it, for any year that
 * fits an int32_t. */
TOVAREL_API int64_t cbor_time_days_from_civil(int32_t year, unsigned month, unsigned day);

TOVAREL_END_DECLS

#endif /* TOVAREL_CBOR_TIME_H */
