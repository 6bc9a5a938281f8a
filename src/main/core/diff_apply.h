/*
 * diff_apply.h - applying a binary delta.
 *
 * A delta is CBOR items back to back: a pair of unsigned integers copies
 * (offset, length) bytes of the old value, a byte or text string inserts
 * its bytes, anything else is skipped.  The single byte 0xF6 is the
 * "no change" delta; it means nothing to the reader and yields an empty
 * value, so a caller that receives it keeps its old value.
 */
#ifndef TOVAREL_DIFF_APPLY_H
#define TOVAREL_DIFF_APPLY_H

#include "buf.h"
#include "export.h"

TOVAREL_BEGIN_DECLS

/* The delta that says the new value equals the old one (CBOR null). */
#define DIFF_NO_CHANGE 0xF6

/* Returns the new value as a fresh buffer owned by the caller, or null for a
 * malformed delta (an incomplete copy pair, or one that reaches outside the
 * old value) or when memory runs out. */
TOVAREL_API buf *diff_apply_binary(const buf *old_value, const buf *delta);

TOVAREL_END_DECLS

#endif /* TOVAREL_DIFF_APPLY_H */
