/*
 * diff_compact_generate.cpp - the compact delta: index method, approximate
 * pass, compact writer, and the choice between its result and the plain
 * delta.
 */
#include "diff_compact_generate.h"

#include "diff_apply.h"
#include "diff_compact_approx.h"
#include "diff_compact_parse.h"
#include "diff_compact_write.h"
#include "diff_index.h"

namespace {

bool is_no_change(const buf *delta) {
    return delta->len == 1 && delta->data[0] == DIFF_NO_CHANGE;
}

/* The compact form built on the index method's plain delta. */
buf *compact_from(const buf *old_value, const buf *new_value, const buf *plain) {
    diff_compact_parse parse = {nullptr, 0, 0};
    buf *compact = nullptr;
    if (diff_compact_parse_from_delta(&parse, old_value, plain) == DIFF_APPLY_OK &&
        diff_compact_approx_extend(&parse, old_value, new_value)) {
        compact = diff_compact_write(old_value, new_value, &parse);
    }
    diff_compact_parse_release(&parse);
    return compact;
}

} // namespace

TOVAREL_BEGIN_DECLS

buf *diff_compact_generate_binary(const buf *old_value, const buf *new_value) {
    buf *plain = diff_index_generate_binary(old_value, new_value);
    if (plain == nullptr || is_no_change(plain)) {
        return plain;
    }
    buf *compact = compact_from(old_value, new_value, plain);
    if (compact == nullptr || compact->len >= plain->len) {
        // Exhausted memory in the compact stage still leaves a correct,
        // if larger, delta; a smaller plain delta is simply the better one.
        buf_free(compact);
        return plain;
    }
    buf_free(plain);
    return compact;
}

buf *_diff_compact_generate_form(const buf *old_value, const buf *new_value) {
    buf *plain = diff_index_generate_binary(old_value, new_value);
    if (plain == nullptr) {
        return nullptr;
    }
    buf *compact = compact_from(old_value, new_value, plain);
    buf_free(plain);
    return compact;
}

TOVAREL_END_DECLS
