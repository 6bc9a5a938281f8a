/*
 * diff_check.h - the check that a delta may carry: the old and the new
 * value's sizes and CRC-64s, so that applying the delta to the wrong old
 * value, or a damaged delta, is refused instead of giving a wrong value.
 *
 * The check is one CBOR item at the very front of the delta: the tag
 * 1953915755 (its four bytes spell "tvck") over an array of four negative
 * integers whose arguments are, in order, the old value's size, its
 * CRC-64, the new value's size and its CRC-64 (an argument n is the integer
 * -1 - n).  Every head is definite; the writer uses the shortest ones.  A
 * reader of the plain format skips tags, array heads and negative integers,
 * so it applies a checked delta exactly as the same delta without its
 * check.
 */
#ifndef TOVAREL_DIFF_CHECK_H
#define TOVAREL_DIFF_CHECK_H

#include <stdbool.h>
#include <stdint.h>

#include "buf.h"
#include "export.h"

TOVAREL_BEGIN_DECLS

#define DIFF_CHECK_TAG 1953915755ULL /* 0x7476636B, "tvck" */
/* The most bytes the check takes: the tag's head of 5, the array's of 1,
 * and four integers of up to 9. */
#define DIFF_CHECK_MAX_SIZE 42

typedef struct diff_check {
    uint64_t old_size;
    uint64_t old_hash; /* crc64() of the old value */
    uint64_t new_size;
    uint64_t new_hash; /* crc64() of the new value */
} diff_check;

/* What diff_check_read() found at the front of a delta. */
#define DIFF_CHECK_ABSENT 0    /* no check: the delta is read as it is */
#define DIFF_CHECK_PRESENT 1   /* a check, and the body after it */
#define DIFF_CHECK_MALFORMED 2 /* the check's tag over anything but four whole integers */

/* The check of a delta from old_value to new_value (records with their
 * bytes). */
TOVAREL_API diff_check diff_check_of(const buf *old_value, const buf *new_value);

/* Puts the check's items in front of the delta's bytes, in place.  False
 * when memory runs out, and the delta is then unchanged. */
TOVAREL_API bool diff_check_prepend(buf *delta, const diff_check *check);

/* Reads the check at the front of the delta into *check and sets *body to
 * the offset of the items after it (0 when there is none).  A delta that
 * begins with any other item, or ends inside the tag's head, has no check. */
TOVAREL_API int32_t diff_check_read(const buf *delta, diff_check *check, uint64_t *body);

/* DIFF_APPLY_OK when old_value and result are the values the check
 * describes, else DIFF_APPLY_WRONG_OLD or DIFF_APPLY_WRONG_RESULT (the old
 * value is looked at first: a wrong old value gives a wrong result too). */
TOVAREL_API int32_t diff_check_verify(const diff_check *check, const buf *old_value,
                                      const buf *result);

TOVAREL_END_DECLS

#endif /* TOVAREL_DIFF_CHECK_H */
