/*
 * diff_compact_generate.cpp - the compact delta: which copies to start
 * from, the approximate pass, the compact writer, and the choice of the
 * smallest correct result.
 *
 * The index method runs first.  Where its copies cover nearly all of the
 * new value (sparse edits, a new build of the same code), they are what
 * the compact form is built on: the match finder could only find the same
 * long copies, more slowly.  Elsewhere the compact form's own match finder
 * runs as well, since most of such a value is short copies and repeats of
 * itself, which the index method does not look for, unless the value is
 * noise.  Either way the index
 * method's plain delta is at hand, and is returned where it is smaller.
 */
#include "diff_compact_generate.h"

#include <cmath>

#include "diff_apply.h"
#include "diff_compact_approx.h"
#include "diff_compact_match.h"
#include "diff_compact_parse.h"
#include "diff_compact_write.h"
#include "diff_generate.h"
#include "diff_index.h"

namespace {

/* The index method's copies suffice when they leave at most this share
 * of the new value (1/16) to literals: a new build of the same code (a
 * 10 MB extension module between two patch releases leaves 4%) gains
 * little from the match finder, which there costs as much time again. */
constexpr uint64_t SPARSE_LITERAL_SHIFT = 4;

/* Bytes that carry this many bits each are taken for
 * noise (compressed or encrypted data): nothing in them repeats, and the
 * match finder would only spend its time to find that out. */
constexpr double NOISE_BITS = 7.9;

/* Whether the new value's order-0 entropy is that of noise. */
bool incompressible(const buf *value) {
    uint64_t counts[256] = {};
    for (uint64_t i = 0; i < value->len; i++) {
        counts[value->data[i]]++;
    }
    double bits = 0;
    for (uint64_t count : counts) {
        if (count > 0) {
            double share = static_cast<double>(count) / static_cast<double>(value->len);
            bits -= share * std::log2(share);
        }
    }
    return bits >= NOISE_BITS;
}

bool is_no_change(const buf *delta) {
    return delta->len == 1 && delta->data[0] == DIFF_NO_CHANGE;
}

/* The compact form of a parse, after the approximate pass; null when
 * memory runs out. */
buf *write_parse(diff_compact_parse *parse, const buf *old_value, const buf *new_value) {
    if (!diff_compact_approx_extend(parse, old_value, new_value)) {
        return nullptr;
    }
    return diff_compact_write(old_value, new_value, parse);
}

uint64_t covered(const diff_compact_parse &parse) {
    uint64_t bytes = 0;
    for (uint64_t i = 0; i < parse.count; i++) {
        bytes += parse.copies[i].length;
    }
    return bytes;
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

/* The compact form from the index method's plain delta, and, unless that
 * covered nearly everything, from the match finder's copies; the smaller
 * of the two (or null when memory ran out for both). */
buf *compact_form(const buf *old_value, const buf *new_value, const buf *plain) {
    diff_compact_parse parse = {nullptr, 0, 0};
    buf *from_index = nullptr;
    uint64_t literals = new_value->len;
    if (diff_compact_parse_from_delta(&parse, old_value, plain) == DIFF_APPLY_OK) {
        literals = new_value->len - covered(parse);
        from_index = write_parse(&parse, old_value, new_value);
    }
    diff_compact_parse_release(&parse);
    if (from_index != nullptr &&
        (literals <= new_value->len >> SPARSE_LITERAL_SHIFT || incompressible(new_value))) {
        return from_index;
    }
    buf *from_matcher = nullptr;
    if (diff_compact_match(&parse, old_value, new_value)) {
        from_matcher = write_parse(&parse, old_value, new_value);
    }
    diff_compact_parse_release(&parse);
    return smaller(from_index, from_matcher);
}

} // namespace

TOVAREL_BEGIN_DECLS

buf *diff_compact_generate_binary(const buf *old_value, const buf *new_value) {
    buf *plain = diff_index_generate_binary(old_value, new_value);
    if (plain == nullptr || is_no_change(plain)) {
        return plain;
    }
    // A compact stage that ran out of memory leaves the plain delta, which
    // is correct, only larger.
    return smaller(plain, compact_form(old_value, new_value, plain));
}

buf *_diff_compact_generate_form(const buf *old_value, const buf *new_value) {
    buf *plain = diff_index_generate_binary(old_value, new_value);
    if (plain == nullptr) {
        return nullptr;
    }
    buf *compact = compact_form(old_value, new_value, plain);
    buf_free(plain);
    return compact;
}

TOVAREL_END_DECLS
