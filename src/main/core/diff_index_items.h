/*
 * diff_index_items.h - the copies the index method's scan chooses, and the
 * writer that turns them into delta items.  Internal to the index method's
 * sources (C++ only).
 *
 * A scan records its copies in the order of the new value; the bytes
 * between them are literal.  The writer then walks the copies of every
 * part of the scan in turn, so that parts scanned apart (on several
 * threads) still make one delta: a copy that the next part continues on
 * the same diagonal is joined with it, also across literal bytes that
 * equal the old bytes on that diagonal (a part's scan starts afresh and
 * finds the diagonal a little late), and literal bytes on both sides of a
 * part's border become one insert string.  Positions and lengths are
 * 64-bit throughout.
 */
#ifndef TOVAREL_DIFF_INDEX_ITEMS_H
#define TOVAREL_DIFF_INDEX_ITEMS_H

#include <stdint.h>

#include "buf.h"

namespace diff_index {

struct copy {
    uint64_t new_start;
    uint64_t old_start;
    uint64_t length;
};

/* A growable list of copies on the C allocator. */
struct copy_list {
    copy *items = nullptr;
    uint64_t count = 0;
    uint64_t capacity = 0;
};

/* Appends a copy; false when memory runs out (the list is then unchanged). */
bool copies_push(copy_list *list, const copy &item);
void copies_free(copy_list *list);

/*
 * The writer: at most one insertion and one copy pending, an output, and
 * what is left of the budget.  Parts are fed in the order of the new value.
 */
struct item_writer {
    const uint8_t *old_bytes;
    const uint8_t *new_bytes;
    uint64_t new_length;
    buf *output;
    int64_t budget;
    uint64_t done; /* the new value is covered up to here */
    copy joined;   /* the last copy, still open to the next part's first */
    bool fits;     /* false once the budget is used up */
    bool out_of_memory;
    bool reserved; /* the output took its whole size at once (see append) */
    bool insert_pending;
    uint64_t insert_start;
    uint64_t insert_length;
    bool copy_pending;
    uint64_t copy_offset;
    uint64_t copy_length;
};

/* False when memory runs out. */
bool items_begin(item_writer *writer, const uint8_t *old_bytes, const uint8_t *new_bytes,
                 uint64_t new_length);
/* Takes a part's copies in; false when memory runs out (the writer is then
 * only good for items_abandon). */
bool items_feed(item_writer *writer, const copy_list *part);
/* The delta: null when memory runs out, the replacement delta when the
 * items would not be shorter than the new value.  Frees the writer. */
buf *items_finish(item_writer *writer);
void items_abandon(item_writer *writer);

} // namespace diff_index

#endif /* TOVAREL_DIFF_INDEX_ITEMS_H */
