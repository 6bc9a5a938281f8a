/*
 * edit_script.cpp - the size-bounded writer of delta items.
 *
 * The coalescing script hands over finished runs: copies from the old value
 * and insertions from the new one.  The script keeps at most one of each
 * pending, so that a short copy can still be folded into the insertion next
 * to it when its literal bytes are cheaper than a copy pair.  Every item is
 * charged at its exact encoded size before it is written; the budget starts
 * at the new value's size, so the first item that would use it up proves
 * that no delta built this way can beat sending the new value whole, and
 * the comparison is abandoned.
 *
 * Sums of lengths and budget charges are computed in 64 bits: the record's
 * fields are 32-bit, and values near 2147483647 bytes must not overflow.
 */
#include "edit_script.h"

#include <stdlib.h>

#include "cbor_generator.h"

/* Marks an empty slot for the pending insertion or the pending copy. */
static const int32_t NONE_PENDING = -1;

/* A copy pair's length head is charged as one byte when the two forms are
 * compared: literal bytes only win for copies of at most 6 bytes, and such a
 * length always fits the initial byte. */
static const int64_t SHORT_LENGTH_HEAD = 1;

/*
 * Encoded size of the shortest CBOR head for a value of this magnitude.
 * Every value that reaches a head here fits 32 bits, so 5 bytes is the top.
 */
static int64_t head_size(int64_t value) {
    return cbor_head_size((uint64_t)(value < 0 ? -value : value));
}

static bool insertion_pending(const edit_script *script) {
    return script->insert_offset != NONE_PENDING;
}

static bool copy_pending(const edit_script *script) {
    return script->match_offset != NONE_PENDING;
}

/* A merged length that no longer fits 32 bits exceeds any budget, so the
 * caller can refuse it exactly as the flush would. */
static bool fits_int32(int64_t value) {
    return value >= INT32_MIN && value <= INT32_MAX;
}

/*
 * Takes `cost` bytes from the budget and says whether the item may be
 * written.  The charge stays on the record even when it is refused, as the
 * script is not used after a refusal; it is only kept from wrapping.
 */
static bool charge(edit_script *script, int64_t cost) {
    int64_t left = (int64_t)script->budget - cost;
    script->budget = (int32_t)(left < INT32_MIN ? INT32_MIN : left);
    return left > 0;
}

/* Room for the longest head, twice over for a copy pair. */
enum { ITEM_HEADS_MAX = 18 };

/* An empty new value may have no storage at all; an empty insertion then
 * still needs a valid source pointer. */
static const uint8_t NO_BYTES[1] = {0};

/*
 * The items are written straight into the output: heads from a small
 * array, an insertion's bytes from the new value.  A failed append fails
 * the item, so a failed allocation ends in the replacement delta rather
 * than in a delta with an item missing.
 */
static bool append_insertion(edit_script *script) {
    const buf *value = script->new_value;
    const uint8_t *bytes = value->data ? value->data + script->insert_offset : NO_BYTES;
    uint8_t head[ITEM_HEADS_MAX];
    int size = cbor_head_encode(head, CBOR_MAJOR_BYTE_STRING, (uint64_t)script->insert_length);
    return _buf_append(script->output, head, (uint64_t)size) &&
           _buf_append(script->output, bytes, (uint64_t)script->insert_length);
}

static bool append_copy(edit_script *script) {
    uint8_t heads[ITEM_HEADS_MAX];
    int size = cbor_head_encode(heads, CBOR_MAJOR_UINT, (uint64_t)script->match_offset);
    size += cbor_head_encode(heads + size, CBOR_MAJOR_UINT, (uint64_t)script->match_length);
    return _buf_append(script->output, heads, (uint64_t)size);
}

/* The pending insertion must lie inside the new value; anything else would
 * read beyond it, so it is refused like an item over budget. */
static bool insertion_in_new_value(const edit_script *script) {
    const buf *value = script->new_value;
    if (script->insert_offset < 0 || script->insert_length < 0)
        return false;
    if (value->data == nullptr)
        return script->insert_length == 0;
    return (uint64_t)script->insert_offset + (uint64_t)script->insert_length <= value->len;
}

/*
 * Creates a script over both values; the budget is the new value's size,
 * read as a 32-bit count like every length in the delta code.
 */
edit_script *edit_script_create(const buf *old_value, const buf *new_value) {
    if (new_value == nullptr)
        return nullptr;
    edit_script *script = (edit_script *)calloc(1, sizeof(edit_script));
    if (script == nullptr)
        return nullptr;
    script->output = buf_create();
    if (script->output == nullptr) {
        free(script);
        return nullptr;
    }
    script->insert_offset = NONE_PENDING;
    script->match_offset = NONE_PENDING;
    script->old_value = old_value;
    script->new_value = new_value;
    script->budget = (int32_t)(uint32_t)new_value->len;
    return script;
}

void edit_script_free(edit_script *script) {
    if (script == nullptr)
        return;
    buf_free(script->output);
    free(script);
}

/*
 * Writes the pending insertion, then the pending copy (that is their order
 * in the new value), each only after its size has been charged.
 */
bool edit_script_flush(edit_script *script) {
    if (insertion_pending(script)) {
        int64_t length = script->insert_length;
        if (!charge(script, length + head_size(length)))
            return false;
        if (!insertion_in_new_value(script) || !append_insertion(script))
            return false;
        script->insert_offset = NONE_PENDING;
    }
    if (copy_pending(script)) {
        if (!charge(script, head_size(script->match_offset) + head_size(script->match_length)))
            return false;
        if (!append_copy(script))
            return false;
        script->match_offset = NONE_PENDING;
    }
    return true;
}

bool edit_script_close(edit_script *script) {
    return edit_script_flush(script);
}

/*
 * A copy of `length` bytes from `offset`.  Right after an insertion it may
 * be cheaper to send the bytes literally: the copy pair costs its offset's
 * head plus a one-byte length, the literal bytes cost themselves plus
 * whatever the insertion's length head grows by.  Ties go to the literal
 * bytes, which leave one item fewer.
 */
bool edit_script_match(edit_script *script, int32_t offset, int32_t length) {
    if (copy_pending(script)) {
        if (!edit_script_flush(script))
            return false;
    } else if (insertion_pending(script)) {
        int64_t grown = (int64_t)script->insert_length + length;
        int64_t copy_cost = head_size(offset) + SHORT_LENGTH_HEAD;
        int64_t growth_cost = length + head_size(grown) - head_size(script->insert_length);
        if (copy_cost >= growth_cost) {
            if (!fits_int32(grown))
                return false;
            script->insert_length = (int32_t)grown;
            return true;
        }
    }
    script->match_offset = offset;
    script->match_length = length;
    return true;
}

/*
 * `length` new bytes from `start`.  A pending copy right before them may be
 * dropped in favour of its bytes taken literally from the new value; the
 * merge is priced against a fresh insertion of `length` bytes, even when an
 * earlier insertion is pending too.
 */
bool edit_script_insert(edit_script *script, int32_t start, int32_t length) {
    int64_t first = start;
    int64_t total = length;
    if (copy_pending(script)) {
        int64_t merged = (int64_t)script->match_length + length;
        int64_t copy_cost = head_size(script->match_offset) + SHORT_LENGTH_HEAD;
        int64_t merge_cost = script->match_length + head_size(merged) - head_size(length);
        if (copy_cost >= merge_cost) {
            script->match_offset = NONE_PENDING;
            first = (int64_t)start - script->match_length;
            total = merged;
        } else if (!edit_script_flush(script)) {
            return false;
        }
    }
    if (insertion_pending(script)) {
        int64_t grown = script->insert_length + total;
        if (!fits_int32(grown))
            return false;
        script->insert_length = (int32_t)grown;
        return true;
    }
    /* A start before the new value cannot be written and must not be taken
     * for the empty marker. */
    if (first < 0 || !fits_int32(first) || !fits_int32(total))
        return false;
    script->insert_offset = (int32_t)first;
    script->insert_length = (int32_t)total;
    return true;
}
