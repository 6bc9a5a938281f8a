/*
 * diff_compact_apply.h - applying a compact delta.
 *
 * A compact delta begins with the unsigned integer 1 or 2 (its version)
 * and the head of tag 29795 (the bytes 01 D9 74 63 or 02 D9 74 63), which
 * no plain delta can apply: the plain reader takes the integer for a
 * copy's offset and refuses the tag in place of its length.  diff_compact_is_compact tells the two
 * forms apart by those four bytes, and diff_compact_apply_binary reads the compact one.
 *
 * Deltas may come from anywhere.  The reader trusts no number in one: the
 * new value grows only as its commands produce bytes (a declared length
 * that the streams cannot produce is refused before anything is
 * allocated), every copy must lie inside the old value or the part of the
 * new value already built, every stream is read inside its bytes, and a
 * delta that does not rebuild exactly its declared length with every
 * stream used up is refused.  As with any format whose copies may repeat
 * their own output, a delta of a few bytes can rebuild a value of many
 * gigabytes: a caller that applies untrusted deltas and cannot afford
 * that reads the declared length (the tagged integer) first.
 */
#ifndef TOVAREL_DIFF_COMPACT_APPLY_H
#define TOVAREL_DIFF_COMPACT_APPLY_H

#include <stdbool.h>
#include <stdint.h>

#include "buf.h"
#include "diff_apply.h"
#include "export.h"

TOVAREL_BEGIN_DECLS

/* Why diff_compact_apply_binary() gave null, besides the plain reader's
 * DIFF_APPLY_NO_MEMORY and DIFF_APPLY_NO_INPUT. */
#define DIFF_COMPACT_BAD_HEADER 16      /* not the sequence of heads the form has */
#define DIFF_COMPACT_BAD_CONTROL 17     /* a command or a code that cannot be */
#define DIFF_COMPACT_BAD_LITERALS 18    /* the literal stream */
#define DIFF_COMPACT_BAD_DIFFERENCES 19 /* the difference stream */
#define DIFF_COMPACT_BAD_COPY 20        /* a copy reaching outside the old value */
#define DIFF_COMPACT_BAD_LENGTH 21      /* more or fewer bytes than declared */

/* Whether the delta starts with the compact form's signature. */
TOVAREL_API bool diff_compact_is_compact(const buf *delta);

/* The new value in a fresh buffer owned by the caller, or null with the
 * reason in *status (which may be null).  On success *status is
 * DIFF_APPLY_OK. */
TOVAREL_API buf *diff_compact_apply_binary(const buf *old_value, const buf *delta, int32_t *status);

/* The same through the table decoder alone, one lookup and every check
 * per field, without the block pipeline that diff_compact_apply_binary
 * tries first: the reference the pipeline is tested against. */
TOVAREL_API buf *_diff_compact_apply_binary_table(const buf *old_value, const buf *delta,
                                                  int32_t *status);

/* The block pipeline alone: null, without a reason, wherever it would
 * leave the delta to the table decoder.  Every delta the writer makes is
 * within its reach, which is what this entry lets the tests see. */
TOVAREL_API buf *_diff_compact_apply_binary_pipeline(const buf *old_value, const buf *delta);

/* The same through the scalar Huffman decoder, one bit at a time: the
 * reference the table decoder is tested against. */
TOVAREL_API buf *_diff_compact_apply_binary_scalar(const buf *old_value, const buf *delta,
                                                   int32_t *status);

/* What a compact delta holds, told without the old value, as
 * diff_apply_summarize() tells it of a plain one: its commands are the
 * copies, and the literals what they leave of the declared length.  The
 * old value's size is not needed (copies are checked against it when the
 * delta is applied); the argument is there so that both forms summarize
 * through one signature.  Nothing is allocated but the codes' tables. */
TOVAREL_API int32_t diff_compact_summarize(const buf *delta, uint64_t old_size,
                                           diff_summary *summary);

TOVAREL_END_DECLS

#endif /* TOVAREL_DIFF_COMPACT_APPLY_H */
