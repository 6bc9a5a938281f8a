/*
 * diff_apply.cpp - rebuilding a new value from an old one and a delta.
 *
 * The delta is read one CBOR item at a time: a pair of unsigned integers
 * copies a stretch of the old value, a byte or text string is inserted, and
 * every other item is skipped.  The lone byte 0xF6 stands for the old value
 * itself.
 *
 * Deltas may come from anywhere, so the reader trusts none of their numbers:
 * a copy pair must lie inside the old value, and an indefinite-length string
 * head (which carries no bytes of its own) is skipped while its chunks are
 * applied as strings.  An item cut short (a head missing bytes, or a string
 * declaring more bytes than remain) makes the whole delta unusable: a value
 * built up to that point would pass a damaged delta off as a shorter value.
 * Running out of memory gives null too, never a value that is silently
 * short, and the status says which of these happened.
 */
#include "diff_apply.h"

#include "cbor_parser.h"

constexpr int MAJOR_TYPE_SHIFT = 5;
constexpr int32_t MAJOR_UINT = 0;
constexpr int32_t MAJOR_BYTE_STRING = 2;
constexpr int32_t MAJOR_TEXT_STRING = 3;
constexpr uint8_t ADDITIONAL_INFO_MASK = 0x1F;
constexpr uint8_t ADDITIONAL_INFO_INDEFINITE = 31;
/* Additional information of the widest definite head, an 8-byte argument. */
constexpr uint8_t LAST_SIZED_ADDITIONAL_INFO = 27;

/* Reading goes on while a step answers this; the end of the delta answers
 * DIFF_APPLY_OK and every failure its DIFF_APPLY_ code. */
constexpr int32_t KEEP_READING = -1;

static bool is_string(const cbor_val *item) {
    return item->major_type == MAJOR_BYTE_STRING || item->major_type == MAJOR_TEXT_STRING;
}

/*
 * The parser answers null both for a malformed item and when memory ran
 * out.  Both fail the delta, but a caller must be able to tell a damaged
 * delta from a lack of memory.  Every parse function moves past
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

/* The next item, or null with *status telling the clean end of the delta
 * (DIFF_APPLY_OK) from an item cut short and from a lack of memory. */
static cbor_val *next_item(cbor_parser *parser, int32_t *status) {
    const uint8_t *item_start = parser->cursor;
    cbor_val *item = cbor_next_val(parser);
    if (item != nullptr || item_start == parser->start + parser->size) {
        *status = DIFF_APPLY_OK;
    } else {
        *status =
            failed_for_memory(parser, item_start) ? DIFF_APPLY_NO_MEMORY : DIFF_APPLY_CUT_SHORT;
    }
    return item;
}

/* Whether old[offset, offset + length) lies inside the old value; the sum is
 * never formed, so it cannot overflow. */
static bool inside(const buf *old_value, uint64_t offset, uint64_t length) {
    return old_value != nullptr && offset <= old_value->len && length <= old_value->len - offset &&
           (length == 0 || old_value->data != nullptr);
}

/*
 * Completes a copy pair whose offset has been read: the next item must be
 * its length.  Anything else, or nothing, makes the delta unusable; a
 * length cut short leaves the pair incomplete too.
 */
static int32_t apply_copy(cbor_parser *parser, buf *result, const buf *old_value, uint64_t offset) {
    int32_t status = DIFF_APPLY_OK;
    cbor_val *item = next_item(parser, &status);
    int32_t outcome = status == DIFF_APPLY_NO_MEMORY ? status : DIFF_APPLY_BAD_COPY;
    if (item != nullptr && item->major_type == MAJOR_UINT &&
        inside(old_value, offset, item->value.uint)) {
        uint64_t length = item->value.uint;
        bool copied = length == 0 || _buf_append(result, old_value->data + offset, length);
        outcome = copied ? KEEP_READING : DIFF_APPLY_NO_MEMORY;
    }
    cbor_val_free(item);
    return outcome;
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
static int32_t apply_next(cbor_parser *parser, buf *result, const buf *old_value) {
    int32_t status = DIFF_APPLY_OK;
    cbor_val *item = next_item(parser, &status);
    if (item == nullptr) {
        return status;
    }
    int32_t outcome = KEEP_READING;
    if (item->major_type == MAJOR_UINT) {
        uint64_t offset = item->value.uint;
        cbor_val_free(item);
        return apply_copy(parser, result, old_value, offset);
    }
    if (is_string(item) && !append_string(result, item)) {
        outcome = DIFF_APPLY_NO_MEMORY;
    }
    cbor_val_free(item);
    return outcome;
}

/* The no-change delta: the old value's own bytes, all `len` of them. */
static buf *copy_of(const buf *old_value, int32_t *status) {
    if (!buf_has_its_bytes(old_value)) {
        *status = DIFF_APPLY_NO_INPUT;
        return nullptr;
    }
    buf *result = buf_create();
    if (result == nullptr ||
        (old_value->len > 0 && !_buf_append(result, old_value->data, old_value->len))) {
        buf_free(result);
        *status = DIFF_APPLY_NO_MEMORY;
        return nullptr;
    }
    return result;
}

/*
 * The summary walks the items as the reader does, with the same parse
 * functions, but reads string heads alone: it needs their lengths, not a
 * copy of their bytes, so a delta that carries a large value whole costs
 * nothing to summarize.  The parse functions of every other kind allocate
 * nothing, so an item record on the stack serves them.
 */
struct summary_walk {
    cbor_parser parser;
    uint64_t old_size;
    diff_summary *summary;
    uint64_t items;            /* items read */
    bool first_is_byte_string; /* a definite byte string came first */
};

/* Reads one item that is not a string into *item; false when it is cut
 * short. */
static bool parse_other(cbor_parser *parser, cbor_val *item) {
    uint8_t initial_byte = *parser->cursor;
    *item = {};
    item->initial_byte = initial_byte;
    item->major_type = initial_byte >> MAJOR_TYPE_SHIFT;
    return cbor_jump_table[initial_byte](parser, item, initial_byte) == 0;
}

/* Passes over a string: its head, and for a definite one its bytes, which
 * must all be there.  Indefinite heads and reserved bytes carry none. */
static int32_t summarize_string(summary_walk *walk) {
    cbor_parser *parser = &walk->parser;
    uint8_t initial_byte = 0;
    uint64_t length = 0;
    if (cbor_parse_head(parser, &initial_byte, &length) != 0) {
        return DIFF_APPLY_CUT_SHORT;
    }
    uint8_t additional_info = initial_byte & ADDITIONAL_INFO_MASK;
    if (additional_info >= LAST_SIZED_ADDITIONAL_INFO + 1) {
        return KEEP_READING;
    }
    uint64_t left = parser->size - static_cast<uint64_t>(parser->cursor - parser->start);
    if (length > left) {
        return DIFF_APPLY_CUT_SHORT;
    }
    parser->cursor += length;
    walk->summary->inserted_bytes += length;
    walk->first_is_byte_string =
        walk->items == 1 && initial_byte >> MAJOR_TYPE_SHIFT == MAJOR_BYTE_STRING;
    return KEEP_READING;
}

/* Completes a copy pair whose offset has been read, as apply_copy() does. */
static int32_t summarize_copy(summary_walk *walk, uint64_t offset) {
    cbor_parser *parser = &walk->parser;
    cbor_val length = {};
    if (cbor_parser_available_bytes(parser) == 0 ||
        *parser->cursor >> MAJOR_TYPE_SHIFT != MAJOR_UINT || !parse_other(parser, &length)) {
        return DIFF_APPLY_BAD_COPY;
    }
    uint64_t count = length.value.uint;
    diff_summary *summary = walk->summary;
    if (offset > walk->old_size || count > walk->old_size - offset ||
        count > UINT64_MAX - summary->copied_bytes) {
        return DIFF_APPLY_BAD_COPY;
    }
    summary->copies++;
    summary->copied_bytes += count;
    return KEEP_READING;
}

static int32_t summarize_next(summary_walk *walk) {
    cbor_parser *parser = &walk->parser;
    if (cbor_parser_available_bytes(parser) == 0) {
        return DIFF_APPLY_OK;
    }
    walk->items++;
    int32_t major_type = *parser->cursor >> MAJOR_TYPE_SHIFT;
    if (major_type == MAJOR_BYTE_STRING || major_type == MAJOR_TEXT_STRING) {
        return summarize_string(walk);
    }
    cbor_val item = {};
    if (!parse_other(parser, &item)) {
        return DIFF_APPLY_CUT_SHORT;
    }
    return major_type == MAJOR_UINT ? summarize_copy(walk, item.value.uint) : KEEP_READING;
}

TOVAREL_BEGIN_DECLS

buf *diff_apply_binary_ex(const buf *old_value, const buf *delta, int32_t *status) {
    int32_t ignored = DIFF_APPLY_OK;
    int32_t &outcome = status != nullptr ? *status : ignored;
    if (!buf_has_its_bytes(delta)) {
        outcome = DIFF_APPLY_NO_INPUT;
        return nullptr;
    }
    if (delta->len == 1 && delta->data[0] == DIFF_NO_CHANGE) {
        outcome = DIFF_APPLY_OK;
        return copy_of(old_value, &outcome);
    }
    buf *result = buf_create();
    cbor_parser *parser = cbor_parser_create(delta->data, delta->len);
    outcome = result != nullptr && parser != nullptr ? KEEP_READING : DIFF_APPLY_NO_MEMORY;
    while (outcome == KEEP_READING) {
        outcome = apply_next(parser, result, old_value);
    }
    cbor_parser_free(parser);
    if (outcome != DIFF_APPLY_OK) {
        buf_free(result);
        return nullptr;
    }
    return result;
}

int32_t diff_apply_summarize(const buf *delta, uint64_t old_size, diff_summary *summary) {
    *summary = {};
    if (!buf_has_its_bytes(delta)) {
        return DIFF_APPLY_NO_INPUT;
    }
    if (delta->len == 1 && delta->data[0] == DIFF_NO_CHANGE) {
        summary->form = DIFF_FORM_NO_CHANGE;
        return DIFF_APPLY_OK;
    }
    summary_walk walk = {{delta->data, delta->len, delta->data, 0}, old_size, summary, 0, false};
    int32_t outcome = KEEP_READING;
    while (outcome == KEEP_READING) {
        outcome = summarize_next(&walk);
    }
    if (outcome != DIFF_APPLY_OK) {
        *summary = {};
        return outcome;
    }
    summary->form =
        walk.items == 1 && walk.first_is_byte_string ? DIFF_FORM_REPLACEMENT : DIFF_FORM_PLAIN;
    return DIFF_APPLY_OK;
}

buf *diff_apply_binary(const buf *old_value, const buf *delta) {
    return diff_apply_binary_ex(old_value, delta, nullptr);
}

TOVAREL_END_DECLS
