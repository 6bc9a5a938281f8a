/*
 * diff_apply.h - applying a binary delta.
 *
 * A delta is CBOR items back to back: a pair of unsigned integers copies
 * (offset, length) bytes of the old value, a byte or text string inserts
 * its bytes, anything else is skipped.  The delta that is exactly the
 * single byte 0xF6 is the "no change" delta and yields a copy of the old
 * value; a 0xF6 item inside a longer delta is skipped like any other.
 *
 * The format has no terminator, so a delta that stops between two items
 * cannot be told from a shorter one; a delta that stops inside an item can,
 * and is refused.
 */
#ifndef TOVAREL_DIFF_APPLY_H
#define TOVAREL_DIFF_APPLY_H

#include <stdint.h>

#include "buf.h"
#include "export.h"

TOVAREL_BEGIN_DECLS

/* The delta that says the new value equals the old one (CBOR null). */
#define DIFF_NO_CHANGE 0xF6

/* Why diff_apply_binary_ex() gave null, or DIFF_APPLY_OK. */
#define DIFF_APPLY_OK 0
#define DIFF_APPLY_BAD_COPY 1  /* a copy pair incomplete or outside the old value */
#define DIFF_APPLY_CUT_SHORT 2 /* an item whose head or bytes run past the end */
#define DIFF_APPLY_NO_MEMORY 3
#define DIFF_APPLY_NO_INPUT 4 /* a null record, or one claiming bytes it has not */
/* Refusals of a checked delta (diff_patch), and of the check itself. */
#define DIFF_APPLY_WRONG_OLD 5    /* the old value is not the one the check names */
#define DIFF_APPLY_WRONG_RESULT 6 /* the value built is not the one the check names */
#define DIFF_APPLY_BAD_CHECK 7    /* the check's tag over anything but its four integers */
#define DIFF_APPLY_NO_CHECK 8     /* no check where one was required */

/* What the items of a delta hold, told without the old value. */
#define DIFF_FORM_PLAIN 0       /* copy pairs and strings */
#define DIFF_FORM_REPLACEMENT 1 /* one byte string that is the whole delta */
#define DIFF_FORM_NO_CHANGE 2   /* the lone byte 0xF6 */
#define DIFF_FORM_COMPACT 3     /* the entropy-coded form of diff_compact_apply.h */

typedef struct diff_summary {
    int32_t form;            /* a DIFF_FORM_ value */
    uint64_t copies;         /* copy pairs */
    uint64_t copied_bytes;   /* bytes they copy */
    uint64_t inserted_bytes; /* bytes of the strings */
} diff_summary;

/* Returns the new value as a fresh buffer owned by the caller, or null for a
 * malformed delta (an incomplete copy pair, one that reaches outside the old
 * value, an item cut short) or when memory runs out. */
TOVAREL_API buf *diff_apply_binary(const buf *old_value, const buf *delta);

/* The same, telling why in *status (which may be null). */
TOVAREL_API buf *diff_apply_binary_ex(const buf *old_value, const buf *delta, int32_t *status);

/*
 * Reads a delta as diff_apply_binary_ex() would, without an old value and
 * without building anything, into *summary: DIFF_APPLY_OK, or the status
 * the reader would give for an old value of old_size bytes (UINT64_MAX
 * when the size is not known: then only a copy pair that no value could
 * hold is refused, and so is one that would make the result longer than
 * 2^64 - 1 bytes).  Nothing is allocated.
 */
TOVAREL_API int32_t diff_apply_summarize(const buf *delta, uint64_t old_size,
                                         diff_summary *summary);

TOVAREL_END_DECLS

#endif /* TOVAREL_DIFF_APPLY_H */
