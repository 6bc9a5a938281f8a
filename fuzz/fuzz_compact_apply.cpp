/*
 * fuzz_compact_apply.cpp - the compact delta's reader on hostile input:
 * the block pipeline, the table decoder and the scalar reference must give
 * the same outcome (the same value, or the same refusal), a delta that
 * rebuilds a value must be summarized as one of its length (inspection
 * reads the control stream alone), and sanitizers watch every read and
 * allocation.
 *
 * Header (5 bytes): mode, then two 16-bit numbers a and b.
 *   mode bit 0 clear: random deltas.  The old value is the first a bytes
 *     of the tail (modulo its length), the delta is the rest, after the
 *     compact signature when mode bit 1 is set (so the bytes reach the
 *     streams, not only the heads), of version 2 when mode bit 4 is set
 *     too (so they reach the nested difference stream's reader).
 *   mode bit 0 set: mutated valid deltas.  The tail splits at a into an
 *     old and a new value; their compact delta must rebuild the new one,
 *     (through the pipeline alone too, which must not leave it to the
 *     table reader), then a copy damaged at position b (mode bits 2-3: a flipped bit, a
 *     cut, an inserted byte, a replaced byte) goes through both readers.
 */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "buf.h"
#include "diff_compact_apply.h"
#include "diff_compact_generate.h"

namespace {

constexpr size_t header_size = 5;
constexpr uint8_t signature[] = {0x01, 0xD9, 0x74, 0x63};

using bytes = std::vector<uint8_t>;

buf view(const bytes &value) {
    return buf{const_cast<uint8_t *>(value.data()), value.size(), value.size()};
}

[[noreturn]] void fail(const char *what) {
    fprintf(stderr, "oracle: %s\n", what);
    abort();
}

struct outcome {
    bool ok;
    int32_t status;
    bytes value;
};

/* Through the pipeline (0), the table path alone (1), or bit by bit (2). */
outcome read(const bytes &old_value, const bytes &delta, int path) {
    buf o = view(old_value);
    buf d = view(delta);
    int32_t status = -1;
    buf *out = path == 0   ? diff_compact_apply_binary(&o, &d, &status)
               : path == 1 ? _diff_compact_apply_binary_table(&o, &d, &status)
                           : _diff_compact_apply_binary_scalar(&o, &d, &status);
    outcome result{out != nullptr, status, {}};
    if (out != nullptr && out->len > 0) {
        result.value.assign(out->data, out->data + out->len);
    }
    buf_free(out);
    return result;
}

bool same(const outcome &a, const outcome &b) {
    return a.ok == b.ok && a.status == b.status && a.value == b.value;
}

/* The three readers, which must agree, and the summary, which must accept
 * what they accept and count what they build. */
outcome read_both(const bytes &old_value, const bytes &delta) {
    outcome fast = read(old_value, delta, 0);
    outcome table = read(old_value, delta, 1);
    outcome scalar = read(old_value, delta, 2);
    if (!same(fast, table)) {
        fail("the pipeline and the table reader disagree");
    }
    if (!same(table, scalar)) {
        fail("the table reader and the scalar reader disagree");
    }
    buf d = view(delta);
    diff_summary summary = {};
    int32_t status = diff_compact_summarize(&d, old_value.size(), &summary);
    if (fast.ok && (status != DIFF_APPLY_OK || summary.form != DIFF_FORM_COMPACT ||
                    summary.copied_bytes + summary.inserted_bytes != fast.value.size())) {
        fail("the summary disagrees with the reader");
    }
    return fast;
}

void damage(bytes &delta, uint8_t how, size_t at, uint8_t byte) {
    if (delta.empty()) {
        return;
    }
    at %= delta.size();
    switch (how % 4) {
    case 0:
        delta[at] = static_cast<uint8_t>(delta[at] ^ (1u << (byte % 8)));
        break;
    case 1:
        delta.resize(at);
        break;
    case 2:
        delta.insert(delta.begin() + static_cast<long>(at), byte);
        break;
    default:
        delta[at] = byte;
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < header_size) {
        return 0;
    }
    uint8_t mode = data[0];
    size_t a = data[1] | (data[2] << 8);
    size_t b = data[3] | (data[4] << 8);
    const uint8_t *tail = data + header_size;
    size_t rest = size - header_size;
    size_t split = a % (rest + 1);
    bytes first(tail, tail + split);
    bytes second(tail + split, tail + rest);

    if ((mode & 1) == 0) {
        bytes delta;
        if (mode & 2) {
            delta.assign(signature, signature + sizeof signature);
            delta[0] = (mode & 16) != 0 ? 2 : 1;
        }
        delta.insert(delta.end(), second.begin(), second.end());
        read_both(first, delta);
        return 0;
    }
    buf o = view(first);
    buf n = view(second);
    buf *form = _diff_compact_generate_form(&o, &n);
    if (form == nullptr) {
        fail("no compact delta for values within the limits");
    }
    bytes delta(form->data, form->data + form->len);
    buf_free(form);
    outcome rebuilt = read_both(first, delta);
    if (!rebuilt.ok || rebuilt.value != second) {
        fail("a compact delta does not rebuild its new value");
    }
    buf d = view(delta);
    buf *piped = _diff_compact_apply_binary_pipeline(&o, &d);
    bool piped_ok = piped != nullptr && piped->len == second.size() &&
                    (second.empty() || memcmp(piped->data, second.data(), second.size()) == 0);
    buf_free(piped);
    if (!piped_ok) {
        fail("the pipeline leaves a delta of the writer's to the table reader");
    }
    damage(delta, static_cast<uint8_t>(mode >> 2), b, static_cast<uint8_t>(a >> 8));
    read_both(first, delta);
    return 0;
}
