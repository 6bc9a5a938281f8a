/*
 * diff_patch.cpp - a whole delta: read the check, apply or summarize the
 * body with the reader for its form, verify.
 *
 * The check makes three promises about the body: the old value it reads
 * has old_size bytes, the value it builds has new_size bytes, and both have
 * the CRCs named.  Patching keeps all three; inspecting keeps those it can
 * without the old value (every copy inside old_size, new_size bytes built),
 * so that a delta that inspection accepts fails to patch only for a wrong
 * old value or a damaged body whose damage only the CRCs reveal.
 */
#include "diff_patch.h"

#include "diff_compact_apply.h"

namespace {

const diff_body_reader PLAIN_READER = {diff_apply_binary_ex, diff_apply_summarize};
const diff_body_reader COMPACT_READER = {diff_compact_apply_binary, diff_compact_summarize};

/* The body of a delta: its bytes after the check, in place. */
buf body_of(const buf *delta, uint64_t offset) {
    if (offset == 0) {
        return *delta;
    }
    return {delta->data + offset, delta->len - offset, delta->len - offset};
}

/* Whether a summarized body builds a value of `size` bytes from an old
 * value of old_size bytes. */
bool builds_size(const diff_summary &summary, uint64_t old_size, uint64_t size) {
    if (summary.form == DIFF_FORM_NO_CHANGE) {
        return old_size == size;
    }
    return summary.copied_bytes <= size && summary.inserted_bytes == size - summary.copied_bytes;
}

} // namespace

TOVAREL_BEGIN_DECLS

/*
 * A body is compact when it begins with the compact form's signature (an
 * offset followed by a tag, which the plain reader refuses), and plain
 * otherwise; this is the only place that needs to know.
 */
const diff_body_reader *diff_patch_body_reader(const buf *body) {
    return diff_compact_is_compact(body) ? &COMPACT_READER : &PLAIN_READER;
}

buf *diff_patch(const buf *old_value, const buf *delta, uint32_t flags, int32_t *status) {
    int32_t ignored = DIFF_APPLY_OK;
    int32_t &outcome = status != nullptr ? *status : ignored;
    if (!buf_has_its_bytes(delta)) {
        outcome = DIFF_APPLY_NO_INPUT;
        return nullptr;
    }
    diff_check check = {};
    uint64_t offset = 0;
    int32_t found = diff_check_read(delta, &check, &offset);
    if (found == DIFF_CHECK_MALFORMED) {
        outcome = DIFF_APPLY_BAD_CHECK;
        return nullptr;
    }
    if (found == DIFF_CHECK_ABSENT && (flags & DIFF_PATCH_REQUIRE_CHECK) != 0) {
        outcome = DIFF_APPLY_NO_CHECK;
        return nullptr;
    }
    if (found == DIFF_CHECK_PRESENT &&
        (!buf_has_its_bytes(old_value) || old_value->len != check.old_size)) {
        outcome = buf_has_its_bytes(old_value) ? DIFF_APPLY_WRONG_OLD : DIFF_APPLY_NO_INPUT;
        return nullptr;
    }
    buf body = body_of(delta, offset);
    buf *result = diff_patch_body_reader(&body)->apply(old_value, &body, &outcome);
    if (result == nullptr || found == DIFF_CHECK_ABSENT) {
        return result;
    }
    outcome = diff_check_verify(&check, old_value, result);
    if (outcome != DIFF_APPLY_OK) {
        buf_free(result);
        return nullptr;
    }
    return result;
}

int32_t diff_patch_inspect(const buf *delta, diff_inspection *inspection) {
    *inspection = {};
    if (!buf_has_its_bytes(delta)) {
        return DIFF_APPLY_NO_INPUT;
    }
    diff_check check = {};
    uint64_t offset = 0;
    int32_t found = diff_check_read(delta, &check, &offset);
    if (found == DIFF_CHECK_MALFORMED) {
        return DIFF_APPLY_BAD_CHECK;
    }
    bool checked = found == DIFF_CHECK_PRESENT;
    uint64_t old_size = checked ? check.old_size : UINT64_MAX;
    buf body = body_of(delta, offset);
    diff_summary summary = {};
    int32_t outcome = diff_patch_body_reader(&body)->summarize(&body, old_size, &summary);
    if (outcome != DIFF_APPLY_OK) {
        return outcome;
    }
    /* The no-change body gives the old value back: its check must name the
     * same value twice. */
    if (checked && (!builds_size(summary, old_size, check.new_size) ||
                    (summary.form == DIFF_FORM_NO_CHANGE && check.new_hash != check.old_hash))) {
        return DIFF_APPLY_WRONG_RESULT;
    }
    *inspection = {checked, check, summary};
    return DIFF_APPLY_OK;
}

TOVAREL_END_DECLS
