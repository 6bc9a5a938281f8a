/*
 * diff_apply.cpp - rebuilding a new value from an old one and a delta.
 *
 * The delta is read one CBOR item at a time: a pair of unsigned integers
 * copies a stretch of the old value, a byte or text string is inserted, and
 * every other item is skipped.  A delta cut short simply ends, except inside
 * a copy pair, which must be complete.
 *
 * Deltas may come from anywhere, so the reader trusts none of their numbers:
 * a copy pair must lie inside the old value, and an indefinite-length string
 * head (which carries no bytes of its own) is skipped while its chunks are
 * applied as strings.  Running out of memory gives null, never a value that
 * is silently short.
 */
#include "diff_apply.h"

#include "cbor_parser.h"

constexpr int MAJOR_TYPE_SHIFT = 5;
constexpr int32_t MAJOR_UINT = 0;
constexpr int32_t MAJOR_BYTE_STRING = 2;
constexpr int32_t MAJOR_TEXT_STRING = 3;
constexpr uint8_t ADDITIONAL_INFO_MASK = 0x1F;
constexpr uint8_t ADDITIONAL_INFO_INDEFINITE = 31;

/* Outcome of reading one step of the delta. */
enum class step { next, end, fail };

static bool is_string(const cbor_val *item) {
    return item->major_type == MAJOR_BYTE_STRING || item->major_type == MAJOR_TEXT_STRING;
}

/*
 * The parser answers null both for a malformed item and when memory ran
 * out, and the two must not be confused: the first ends the delta, the
 * second must not pass for a shorter value.  Every parse function moves past
 * the initial byte before it can fail, so a cursor that has not moved means
 * the item record itself could not be had.  A string whose head is whole and
 * whose bytes are all there failed only for its copy; to know, its head is
 * read again as an unsigned integer with the same argument, which needs no
 * memory.
 */
static bool failed_for_memory(const cbor_parser *parser, const uint8_t *item_start) {
    if (parser->cursor == item_start) {
        return cbor_parser_available_bytes(parser) > 0;
    }
    uint8_t initial_byte = *item_start;
    int32_t major_type = initial_byte >> MAJOR_TYPE_SHIFT;
    if (major_type != MAJOR_BYTE_STRING && major_type != MAJOR_TEXT_STRING) {
        return false;
    }
    auto as_length = static_cast<uint8_t>(initial_byte & ADDITIONAL_INFO_MASK);
    cbor_parser probe = *parser;
    probe.cursor = item_start;
    cbor_val head = {};
    if (cbor_jump_table[as_length](&probe, &head, as_length) < 0) {
        return false;
    }
    uint64_t left = probe.size - static_cast<uint64_t>(probe.cursor - probe.start);
    return head.value.uint <= left;
}

/* The next item, or null; *failed tells a lack of memory from the end of the
 * delta or a malformed item. */
static cbor_val *next_item(cbor_parser *parser, bool *failed) {
    const uint8_t *item_start = parser->cursor;
    cbor_val *item = cbor_next_val(parser);
    *failed = item == nullptr && failed_for_memory(parser, item_start);
    return item;
}

/* Appends old[offset, offset + length) after checking that it lies inside
 * the old value; the sum is never formed, so it cannot overflow. */
static bool append_copy(buf *result, const buf *old_value, uint64_t offset, uint64_t length) {
    if (old_value == nullptr || offset > old_value->len || length > old_value->len - offset) {
        return false;
    }
    if (length == 0) {
        return true;
    }
    return old_value->data != nullptr && _buf_append(result, old_value->data + offset, length);
}

/*
 * Completes a copy pair whose offset has been read: the next item must be
 * its length.  Anything else, or nothing, makes the delta unusable.
 */
static step apply_copy(cbor_parser *parser, buf *result, const buf *old_value, uint64_t offset) {
    cbor_val *item = cbor_next_val(parser);
    bool applied = item != nullptr && item->major_type == MAJOR_UINT &&
                   append_copy(result, old_value, offset, item->value.uint);
    cbor_val_free(item);
    return applied ? step::next : step::fail;
}

/* An indefinite-length head has no bytes; its chunks follow as strings. */
static bool append_string(buf *result, const cbor_val *item) {
    if ((item->initial_byte & ADDITIONAL_INFO_MASK) == ADDITIONAL_INFO_INDEFINITE ||
        item->length == 0) {
        return true;
    }
    return _buf_append(result, item->value.bytes, item->length);
}

/* Reads and applies one item, or the two of a copy pair. */
static step apply_next(cbor_parser *parser, buf *result, const buf *old_value) {
    bool failed = false;
    cbor_val *item = next_item(parser, &failed);
    if (item == nullptr) {
        return failed ? step::fail : step::end;
    }
    step outcome = step::next;
    if (item->major_type == MAJOR_UINT) {
        uint64_t offset = item->value.uint;
        cbor_val_free(item);
        return apply_copy(parser, result, old_value, offset);
    }
    if (is_string(item) && !append_string(result, item)) {
        outcome = step::fail;
    }
    cbor_val_free(item);
    return outcome;
}

TOVAREL_BEGIN_DECLS

buf *diff_apply_binary(const buf *old_value, const buf *delta) {
    if (delta == nullptr || (delta->data == nullptr && delta->len != 0)) {
        return nullptr;
    }
    buf *result = buf_create();
    cbor_parser *parser = cbor_parser_create(delta->data, delta->len);
    step outcome = result != nullptr && parser != nullptr ? step::next : step::fail;
    while (outcome == step::next) {
        outcome = apply_next(parser, result, old_value);
    }
    cbor_parser_free(parser);
    if (outcome == step::fail) {
        buf_free(result);
        return nullptr;
    }
    return result;
}

TOVAREL_END_DECLS
