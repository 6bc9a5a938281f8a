/*
 * diff_compact_parse.h - the compact delta's front end: a parse of the new
 * value into copies, with literal bytes between them.
 *
 * Whatever finds matches hands the compact writer a parse: copies sorted
 * by their place in the new value, not overlapping there.  A source below
 * the old value's length is a position in the old value, and the copy
 * lies wholly inside it; a source of old length + s is byte s of the new
 * value itself, with s before the copy's target (the copy may overlap its
 * own output).  A copy may be approximate, its new bytes differing from
 * the source's here and there: the writer carries the differences.  Today the
 * parse is read back from the index method's plain delta
 * (diff_compact_parse_from_delta); any other match finder can fill one
 * with diff_compact_parse_add.
 */
#ifndef TOVAREL_DIFF_COMPACT_PARSE_H
#define TOVAREL_DIFF_COMPACT_PARSE_H

#include <stdbool.h>
#include <stdint.h>

#include "buf.h"
#include "export.h"

TOVAREL_BEGIN_DECLS

typedef struct diff_compact_copy {
    uint64_t target; /* where the copy starts in the new value */
    uint64_t source; /* where it starts: old value, then new value */
    uint64_t length;
} diff_compact_copy;

typedef struct diff_compact_parse {
    diff_compact_copy *copies; /* from the C allocator */
    uint64_t count;
    uint64_t capacity;
} diff_compact_parse;

/* Room for at least one more copy: the block doubled; false (and the
 * parse unchanged) when memory runs out. */
TOVAREL_API bool diff_compact_parse_grow(diff_compact_parse *parse);

/* Appends a copy; false (and the parse unchanged) when memory runs out.
 * Inline, with only the growth out of line: the match finder appends
 * every copy it finds, hundreds of thousands on a large binary, and the
 * call cost more than the append itself. */
static inline bool diff_compact_parse_add(diff_compact_parse *parse, uint64_t target,
                                          uint64_t source, uint64_t length) {
    if (parse->count == parse->capacity && !diff_compact_parse_grow(parse)) {
        return false;
    }
    diff_compact_copy *copy = &parse->copies[parse->count++];
    copy->target = target;
    copy->source = source;
    copy->length = length;
    return true;
}

/* Frees the copies and empties the parse. */
TOVAREL_API void diff_compact_parse_release(diff_compact_parse *parse);

/* Whether the copies are sorted, apart, and their sources as above. */
TOVAREL_API bool diff_compact_parse_valid(const diff_compact_parse *parse, uint64_t old_length,
                                          uint64_t new_length);

/*
 * Reads the copies of a plain delta of old_value into an empty parse: the
 * edit script's copy pairs and insert strings, in order.  The no-change
 * delta reads as one copy of the whole old value.  Returns DIFF_APPLY_OK,
 * or the plain reader's code for a delta it would refuse
 * (DIFF_APPLY_BAD_COPY, DIFF_APPLY_CUT_SHORT, DIFF_APPLY_NO_INPUT) or
 * DIFF_APPLY_NO_MEMORY; the parse is empty after a failure.
 */
TOVAREL_API int32_t diff_compact_parse_from_delta(diff_compact_parse *parse, const buf *old_value,
                                                  const buf *delta);

TOVAREL_END_DECLS

#endif /* TOVAREL_DIFF_COMPACT_PARSE_H */
