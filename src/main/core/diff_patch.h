/*
 * diff_patch.h - applying and inspecting a whole delta: its check, if it
 * carries one, and its body.
 *
 * A delta is an optional check (diff_check.h) followed by a body.  Patching
 * reads the check, applies the body with the reader for its form, and
 * verifies: the old value against the check before and after the body is
 * applied (its size first, since that costs nothing; its CRC once the body
 * is known to be well formed), then the value built.  A delta without a
 * check is applied exactly as diff_apply_binary_ex() applies it.
 *
 * Which reader a body needs is decided in one place, diff_patch_body_reader(),
 * so that a body form added later is read, inspected and checked like the
 * plain one.
 */
#ifndef TOVAREL_DIFF_PATCH_H
#define TOVAREL_DIFF_PATCH_H

#include <stdbool.h>
#include <stdint.h>

#include "buf.h"
#include "diff_apply.h"
#include "diff_check.h"
#include "export.h"

TOVAREL_BEGIN_DECLS

/* Flags of diff_patch(). */
#define DIFF_PATCH_REQUIRE_CHECK 1u /* refuse a delta without a check (DIFF_APPLY_NO_CHECK) */

/* How to read one form of body.  Both functions follow the conventions of
 * the plain form's diff_apply_binary_ex() and diff_apply_summarize(). */
typedef struct diff_body_reader {
    buf *(*apply)(const buf *old_value, const buf *body, int32_t *status);
    int32_t (*summarize)(const buf *body, uint64_t old_size, diff_summary *summary);
} diff_body_reader;

/* The reader for this body (the items after any check). */
TOVAREL_API const diff_body_reader *diff_patch_body_reader(const buf *body);

/* The new value as a fresh buffer owned by the caller, or null with the
 * reason in *status (which may be null): one of the DIFF_APPLY_ codes. */
TOVAREL_API buf *diff_patch(const buf *old_value, const buf *delta, uint32_t flags,
                            int32_t *status);

/* What a delta says, told without the old value. */
typedef struct diff_inspection {
    bool checked;      /* the delta carries a check, in `check` */
    diff_check check;  /* zero without one */
    diff_summary body; /* the body's form and counts */
} diff_inspection;

/*
 * Reads the delta into *inspection without applying it.  Returns
 * DIFF_APPLY_OK, or the status diff_patch() would give for every old value
 * (for a checked delta: for the old value its check names), and then
 * leaves *inspection zero.  Nothing is allocated.
 */
TOVAREL_API int32_t diff_patch_inspect(const buf *delta, diff_inspection *inspection);

TOVAREL_END_DECLS

#endif /* TOVAREL_DIFF_PATCH_H */
