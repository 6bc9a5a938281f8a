/*
 * edit_script.h - turns finished runs of copies and insertions into delta
 * items, charging each item's encoded size against a byte budget equal to
 * the new value's size.  Once an item would use the budget up, operations
 * return false and the comparison is abandoned for the replacement delta.
 *
 * At most one insertion and one copy are pending; a short copy is folded
 * into a neighbouring insertion when its literal bytes cost no more.
 */
#ifndef TOVAREL_EDIT_SCRIPT_H
#define TOVAREL_EDIT_SCRIPT_H

#include <stdbool.h>
#include <stdint.h>

#include "buf.h"
#include "export.h"

TOVAREL_BEGIN_DECLS

typedef struct edit_script {
    int32_t insert_offset; /* start in the new value; -1 when none pending */
    int32_t insert_length;
    int32_t match_offset; /* offset into the old value; -1 when none pending */
    int32_t match_length;
    const buf *old_value; /* not owned, not read */
    const buf *new_value; /* not owned; source of inserted bytes */
    int32_t budget;       /* bytes still allowed */
    buf *output;          /* owned: the items written so far */
} edit_script;

TOVAREL_API edit_script *edit_script_create(const buf *old_value, const buf *new_value);
TOVAREL_API void edit_script_free(edit_script *script);
TOVAREL_API bool edit_script_match(edit_script *script, int32_t offset, int32_t length);
TOVAREL_API bool edit_script_insert(edit_script *script, int32_t start, int32_t length);
TOVAREL_API bool edit_script_flush(edit_script *script);
TOVAREL_API bool edit_script_close(edit_script *script);

TOVAREL_END_DECLS

#endif /* TOVAREL_EDIT_SCRIPT_H */
