/*
 * diff_compact_generate.cpp - the compact delta: match finder, approximate
 * pass, compact writer, and the choice of the smallest correct result.
 */
#include "diff_compact_generate.h"

#include "diff_apply.h"
#include "diff_compact_approx.h"
#include "diff_compact_match.h"
#include "diff_compact_parse.h"
#include "diff_compact_write.h"
#include "diff_generate.h"
#include "diff_index.h"

namespace {

/* Up to this size of new value the index method's plain delta is made as
 * well and the smaller one kept: there the compact form's codes (some
 * hundred bytes) can outweigh what they save, and the index method takes
 * well under a millisecond. */
constexpr uint64_t COMPARE_WITH_PLAIN_BELOW = 64 << 10;

/* The replacement delta's length: the value and its byte string's head. */
uint64_t replacement_length(uint64_t length) {
    uint64_t head = length < 24             ? 1
                    : length < 256          ? 2
                    : length < 65536        ? 3
                    : length < (1ULL << 32) ? 5
                                            : 9;
    return length + head;
}

bool equal(const buf *a, const buf *b) {
    return a->len == b->len && buf_cmp(a, b) == 0;
}

buf *no_change_delta() {
    buf *result = buf_create();
    const uint8_t no_change = DIFF_NO_CHANGE;
    if (result != nullptr && !_buf_append(result, &no_change, 1)) {
        buf_free(result);
        return nullptr;
    }
    return result;
}

/* The compact form, or null when memory runs out. */
buf *compact_form(const buf *old_value, const buf *new_value) {
    diff_compact_parse parse = {nullptr, 0, 0};
    buf *compact = nullptr;
    if (diff_compact_match(&parse, old_value, new_value) &&
        diff_compact_approx_extend(&parse, old_value, new_value)) {
        compact = diff_compact_write(old_value, new_value, &parse);
    }
    diff_compact_parse_release(&parse);
    return compact;
}

/* The smaller of two candidates, freeing the other; either may be null. */
buf *smaller(buf *a, buf *b) {
    if (a == nullptr || (b != nullptr && b->len < a->len)) {
        buf_free(a);
        return b;
    }
    buf_free(b);
    return a;
}

} // namespace

TOVAREL_BEGIN_DECLS

buf *diff_compact_generate_binary(const buf *old_value, const buf *new_value) {
    if (!diff_generate_comparable(old_value) || !diff_generate_comparable(new_value)) {
        return nullptr;
    }
    if (new_value->len >= 2 && equal(old_value, new_value)) {
        return no_change_delta();
    }
    buf *compact = compact_form(old_value, new_value);
    // Exhausted memory in the compact stage still leaves a correct, if
    // larger, delta: the plain one, or the replacement delta.
    if (new_value->len < COMPARE_WITH_PLAIN_BELOW || compact == nullptr) {
        return smaller(compact, diff_index_generate_binary(old_value, new_value));
    }
    if (compact->len < replacement_length(new_value->len)) {
        return compact;
    }
    buf_free(compact);
    return _write_replacement_delta(new_value);
}

buf *_diff_compact_generate_form(const buf *old_value, const buf *new_value) {
    if (!diff_generate_comparable(old_value) || !diff_generate_comparable(new_value)) {
        return nullptr;
    }
    return compact_form(old_value, new_value);
}

TOVAREL_END_DECLS
