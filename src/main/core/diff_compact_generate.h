/*
 * diff_compact_generate.h - computing a compact delta.
 *
 * The index method's copies, or where they leave much of the new value
 * to literals the compact match finder's, are extended across the bytes
 * that differ (an address that moved, a counter that changed) by the
 * approximate pass, and entropy-coded by the compact writer.  Whichever
 * is smaller of that and the index method's own plain delta is returned,
 * so a compact delta is never longer than the plain one, and so never
 * longer than the replacement delta.  (For a new value of 32 KiB or more
 * that is not noise, the index stage runs at its level 1, and the plain
 * delta of level 0 is made as well only where it may be the smaller
 * result; see diff_compact_generate.cpp.)  Both are applied by
 * delta.patch; the no-change delta 0xF6 is returned for equal values of 2
 * bytes or more, as by the plain methods.
 */
#ifndef TOVAREL_DIFF_COMPACT_GENERATE_H
#define TOVAREL_DIFF_COMPACT_GENERATE_H

#include "buf.h"
#include "export.h"

TOVAREL_BEGIN_DECLS

/* Null for a value of 2147483648 bytes or more, a record without its
 * bytes, or exhausted memory. */
TOVAREL_API buf *diff_compact_generate_binary(const buf *old_value, const buf *new_value);

/* The compact form itself, even where the plain delta is smaller: for
 * tests and measurements.  Null as above. */
TOVAREL_API buf *_diff_compact_generate_form(const buf *old_value, const buf *new_value);

TOVAREL_END_DECLS

#endif /* TOVAREL_DIFF_COMPACT_GENERATE_H */
