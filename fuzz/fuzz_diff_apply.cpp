/*
 * fuzz_diff_apply.cpp - applies arbitrary deltas to arbitrary old values and
 * compares diff_apply_binary with a small reference reader written here.
 *
 * Input layout: two bytes (little-endian) choose how many of the following
 * bytes form the old value; the rest is the delta.  Both live in heap blocks
 * of exactly their size, so a copy pair that reaches past the old value, or
 * a string that reaches past the delta, is caught by AddressSanitizer even
 * where the oracle would not notice.
 */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "buf.h"
#include "diff_apply.h"
#include "reference_cbor.h"

using reference::kind;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (getenv("TOVAREL_FUZZ_VERBOSE") == nullptr) {
        FILE *sink = fopen("/dev/null", "w");
        if (sink != nullptr) {
            stderr = sink; /* the parser's notes on unimplemented codes */
        }
    }
    return 0;
}

/*
 * What the delta must give: false for a null result.  The lone byte 0xF6
 * gives the old value.  A copy pair that is incomplete, or that does not lie
 * within the old value, fails the whole delta, and so does an item cut
 * short anywhere.  An indefinite-length string head carries no bytes and is
 * skipped, so its chunks are applied one after the other.
 */
static bool reference_apply(const uint8_t *old_value, size_t old_length, const uint8_t *delta,
                            size_t length, std::vector<uint8_t> &out) {
    if (length == 1 && delta[0] == 0xF6) {
        out.assign(old_value, old_value + old_length);
        return true;
    }
    size_t position = 0;
    while (position < length) {
        reference::item it = reference::decode(delta, length, position);
        if (!it.ok) {
            return false;
        }
        position += it.consumed;
        if (it.what == kind::uint_item) {
            if (position >= length) {
                return false;
            }
            reference::item count = reference::decode(delta, length, position);
            if (!count.ok || count.what != kind::uint_item) {
                return false;
            }
            position += count.consumed;
            if (count.argument > old_length || it.argument > old_length - count.argument) {
                return false;
            }
            out.insert(out.end(), old_value + it.argument,
                       old_value + it.argument + count.argument);
        } else if (it.what == kind::string) {
            const uint8_t *bytes = delta + position - it.argument;
            out.insert(out.end(), bytes, bytes + it.argument);
        }
    }
    return true;
}

static uint8_t *exact_copy(const uint8_t *data, size_t size) {
    uint8_t *block = static_cast<uint8_t *>(malloc(size == 0 ? 1 : size));
    if (block != nullptr && size > 0) {
        memcpy(block, data, size);
    }
    return block;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) {
        return 0;
    }
    size_t old_length = (data[0] | (data[1] << 8)) % (size - 1);
    const uint8_t *old_bytes = data + 2;
    size_t delta_length = size - 2 - old_length;
    const uint8_t *delta_bytes = old_bytes + old_length;

    buf old_value{exact_copy(old_bytes, old_length), old_length, old_length};
    buf delta{exact_copy(delta_bytes, delta_length), delta_length, delta_length};
    if (old_value.data == nullptr || delta.data == nullptr) {
        free(old_value.data);
        free(delta.data);
        return 0;
    }

    std::vector<uint8_t> want;
    bool want_value = reference_apply(old_value.data, old_length, delta.data, delta_length, want);
    buf *got = diff_apply_binary(&old_value, &delta);
    REFERENCE_CHECK((got != nullptr) == want_value, 0);
    if (got != nullptr) {
        REFERENCE_CHECK(got->len == want.size(), 0);
        REFERENCE_CHECK(got->len <= got->capacity, 0);
        REFERENCE_CHECK(want.empty() || memcmp(got->data, want.data(), want.size()) == 0, 0);
        buf_free(got);
    }
    free(old_value.data);
    free(delta.data);
    return 0;
}
