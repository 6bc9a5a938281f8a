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

/* Returns the new value as a fresh buffer owned by the caller, or null for a
 * malformed delta (an incomplete copy pair, one that reaches outside the old
 * value, an item cut short) or when memory runs out. */
TOVAREL_API buf *diff_apply_binary(const buf *old_value, const buf *delta);

/* The same, telling why in *status (which may be null). */
TOVAREL_API buf *diff_apply_binary_ex(const buf *old_value, const buf *delta, int32_t *status);

TOVAREL_END_DECLS

#endif /* TOVAREL_DIFF_APPLY_H */
