/*
 * fuzz_compact_roundtrip.cpp - diff-then-patch of the compact delta: the
 * delta Differ(method="index", compact=True) gives must rebuild the new
 * value through the reader patch uses for it, must be no longer than the
 * index method's plain delta, and must be the same bytes on a second run;
 * the compact form itself must rebuild the new value too, and be the form
 * that the approximate pass's byte loops in one pass give.
 *
 * Header (4 bytes): flags, a step, a shift, and the old value's length
 * modulo the rest.  Flags bit 0: the new value is the old one as the next
 * build of a program would be, every little-endian 32-bit word at the
 * step's positions grown by the shift, with the tail inserted at its
 * middle; otherwise the tail is the new value.  Flags bit 1: the compact
 * form's approximate pass splits parses of a few copies (1 to 64, from
 * the step's byte) into two halves, as it does long ones.
 */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "buf.h"
#include "diff_apply.h"
#include "diff_compact_apply.h"
#include "diff_compact_approx.h"
#include "diff_compact_generate.h"
#include "diff_index.h"

namespace {

constexpr size_t header_size = 4;
constexpr size_t word = 4;
constexpr uint64_t default_split_from = 65536;

using bytes = std::vector<uint8_t>;

buf view(const bytes &value) {
    return buf{const_cast<uint8_t *>(value.data()), value.size(), value.size()};
}

[[noreturn]] void fail(const char *what) {
    fprintf(stderr, "oracle: %s\n", what);
    abort();
}

bytes relocated(const bytes &old_value, size_t step, uint32_t shift, const bytes &inserted) {
    bytes value = old_value;
    for (size_t at = 0; at + word <= value.size(); at += step) {
        uint32_t address = 0;
        memcpy(&address, value.data() + at, word);
        address += shift;
        memcpy(value.data() + at, &address, word);
    }
    size_t middle = value.size() / 2;
    value.insert(value.begin() + static_cast<long>(middle), inserted.begin(), inserted.end());
    return value;
}

/* What delta.patch gives: the compact reader for the compact form, the
 * plain reader otherwise, and the old value for the no-change delta. */
bytes patched(const bytes &old_value, const buf *delta) {
    buf o = view(old_value);
    if (delta->len == 1 && delta->data[0] == DIFF_NO_CHANGE) {
        return old_value;
    }
    buf *out = diff_compact_is_compact(delta) ? diff_compact_apply_binary(&o, delta, nullptr)
                                              : diff_apply_binary(&o, delta);
    if (out == nullptr) {
        fail("a generated delta is refused");
    }
    bytes value = out->len > 0 ? bytes(out->data, out->data + out->len) : bytes{};
    buf_free(out);
    return value;
}

bool same(const buf *a, const buf *b) {
    return a->len == b->len && (a->len == 0 || memcmp(a->data, b->data, a->len) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < header_size) {
        return 0;
    }
    uint8_t flags = data[0];
    size_t step = word + data[1] % 32;
    uint32_t shift = data[2];
    size_t rest = size - header_size;
    size_t old_length = data[3] % (rest + 1);
    const uint8_t *tail = data + header_size;
    bytes old_value(tail, tail + old_length);
    bytes tail_bytes(tail + old_length, tail + rest);
    bytes new_value = flags & 1 ? relocated(old_value, step, shift, tail_bytes) : tail_bytes;

    buf o = view(old_value);
    buf n = view(new_value);
    buf *chosen = diff_compact_generate_binary(&o, &n);
    buf *again = diff_compact_generate_binary(&o, &n);
    buf *plain = diff_index_generate_binary(&o, &n);
    _diff_compact_approx_split_from(flags & 2 ? 1 + data[1] % 64 : default_split_from);
    buf *form = _diff_compact_generate_form(&o, &n);
    _diff_compact_approx_split_from(default_split_from);
    _diff_compact_approx_force_scalar(true);
    buf *scalar_form = _diff_compact_generate_form(&o, &n);
    _diff_compact_approx_force_scalar(false);
    if (chosen == nullptr || again == nullptr || plain == nullptr || form == nullptr ||
        scalar_form == nullptr) {
        fail("no delta for values within the limits");
    }
    if (patched(old_value, chosen) != new_value) {
        fail("the delta does not rebuild the new value");
    }
    if (chosen->len > plain->len) {
        fail("the compact delta is longer than the plain one");
    }
    if (!same(chosen, again)) {
        fail("two runs give different deltas");
    }
    if (!diff_compact_is_compact(form) || patched(old_value, form) != new_value) {
        fail("the compact form does not rebuild the new value");
    }
    if (!same(form, scalar_form)) {
        fail("the approximate pass's fast paths change the compact form");
    }
    buf_free(scalar_form);
    buf_free(chosen);
    buf_free(again);
    buf_free(plain);
    buf_free(form);
    return 0;
}
