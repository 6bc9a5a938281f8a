/*
 * diff_check.cpp - writing, reading and verifying a delta's check.
 *
 * The check goes in front of the items, so that a reader meets it before
 * anything it would apply.  Writing it in place moves the delta's bytes up
 * by the check's size instead of copying them into a new block: a delta
 * that carries a large value whole is moved within memory it already has.
 *
 * Reading is strict once the tag is seen: a check whose tag is there but
 * whose integers are not is damage, and a damaged check must not pass for
 * a delta that has none.
 */
#include "diff_check.h"

#include <cstring>

#include "cbor_generator.h"
#include "cbor_parser.h"
#include "crc64.h"
#include "diff_apply.h"

namespace {

constexpr uint8_t MAJOR_NEGINT = 1;
constexpr uint8_t MAJOR_ARRAY = 4;
constexpr uint8_t MAJOR_TAG = 6;
constexpr int MAJOR_TYPE_SHIFT = 5;
constexpr uint8_t ADDITIONAL_INFO_MASK = 0x1F;
/* Additional information above this is a reserved or indefinite head. */
constexpr uint8_t LAST_DEFINITE_INFO = 27;
constexpr uint64_t CHECK_FIELDS = 4;

/* The check's items, written into out (room for DIFF_CHECK_MAX_SIZE bytes);
 * returns their size. */
uint64_t encode(const diff_check *check, uint8_t *out) {
    int size = cbor_head_encode(out, MAJOR_TAG, DIFF_CHECK_TAG);
    size += cbor_head_encode(out + size, MAJOR_ARRAY, CHECK_FIELDS);
    const uint64_t fields[CHECK_FIELDS] = {check->old_size, check->old_hash, check->new_size,
                                           check->new_hash};
    for (uint64_t field : fields) {
        size += cbor_head_encode(out + size, MAJOR_NEGINT, field);
    }
    return static_cast<uint64_t>(size);
}

/* Reads one definite head of the given major type; false for any other
 * head, or none. */
bool read_definite(cbor_parser *parser, uint8_t major_type, uint64_t *argument) {
    uint8_t initial = 0;
    if (cbor_parse_head(parser, &initial, argument) != 0) {
        return false;
    }
    return initial >> MAJOR_TYPE_SHIFT == major_type &&
           (initial & ADDITIONAL_INFO_MASK) <= LAST_DEFINITE_INFO;
}

/* Whether a value is the one of this size and hash.  The size is compared
 * first: it costs nothing, and a value of another size needs no hash. */
bool is_value(const buf *value, uint64_t size, uint64_t hash) {
    return buf_has_its_bytes(value) && value->len == size && crc64(value->data, value->len) == hash;
}

} // namespace

TOVAREL_BEGIN_DECLS

diff_check diff_check_of(const buf *old_value, const buf *new_value) {
    return {old_value->len, crc64(old_value->data, old_value->len), new_value->len,
            crc64(new_value->data, new_value->len)};
}

bool diff_check_prepend(buf *delta, const diff_check *check) {
    uint8_t items[DIFF_CHECK_MAX_SIZE];
    uint64_t size = encode(check, items);
    uint64_t body = delta->len;
    /* Appending the items grows the block (and leaves the delta as it was
     * when it cannot); then the body moves up behind them. */
    if (!_buf_append(delta, items, size)) {
        return false;
    }
    if (body > 0) {
        memmove(delta->data + size, delta->data, body);
    }
    memcpy(delta->data, items, size);
    return true;
}

int32_t diff_check_read(const buf *delta, diff_check *check, uint64_t *body) {
    *body = 0;
    cbor_parser parser = {delta->data, delta->len, delta->data, 0};
    uint64_t tag = 0;
    if (!read_definite(&parser, MAJOR_TAG, &tag) || tag != DIFF_CHECK_TAG) {
        return DIFF_CHECK_ABSENT;
    }
    uint64_t count = 0;
    uint64_t fields[CHECK_FIELDS] = {};
    if (!read_definite(&parser, MAJOR_ARRAY, &count) || count != CHECK_FIELDS) {
        return DIFF_CHECK_MALFORMED;
    }
    for (uint64_t &field : fields) {
        if (!read_definite(&parser, MAJOR_NEGINT, &field)) {
            return DIFF_CHECK_MALFORMED;
        }
    }
    *check = {fields[0], fields[1], fields[2], fields[3]};
    *body = static_cast<uint64_t>(parser.cursor - parser.start);
    return DIFF_CHECK_PRESENT;
}

int32_t diff_check_verify(const diff_check *check, const buf *old_value, const buf *result) {
    if (!is_value(old_value, check->old_size, check->old_hash)) {
        return DIFF_APPLY_WRONG_OLD;
    }
    if (!is_value(result, check->new_size, check->new_hash)) {
        return DIFF_APPLY_WRONG_RESULT;
    }
    return DIFF_APPLY_OK;
}

TOVAREL_END_DECLS
