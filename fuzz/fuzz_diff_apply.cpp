/*
 * fuzz_diff_apply.cpp - applies arbitrary deltas to arbitrary old values and
 * compares diff_apply_binary, and diff_patch with its checks, with a small
 * reference reader written here.
 *
 * Input layout: two bytes (little-endian) choose how many of the following
 * bytes form the old value; the rest is the delta.  Both live in heap blocks
 * of exactly their size, so a copy pair that reaches past the old value, or
 * a string that reaches past the delta, is caught by AddressSanitizer even
 * where the oracle would not notice.
 *
 * Random bytes almost never carry a check whose CRCs hold, so every delta
 * that the reference reads to a value is also sealed: the harness writes
 * the check for that value in front of it, by its own encoder, and the
 * sealed delta must give the value; with one byte of it changed, nothing
 * or the value itself; and for any other old value, a refusal.
 */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "buf.h"
#include "diff_apply.h"
#include "diff_check.h"
#include "diff_patch.h"
#include "reference_cbor.h"
#include "reference_crc64.h"

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

/* The check that the reference finds at the front of a delta. */
enum class check_state { absent, present, malformed };

struct reference_check {
    check_state state = check_state::absent;
    uint64_t fields[4] = {}; /* old size, old CRC, new size, new CRC */
    size_t body = 0;         /* where the items after it begin */
};

static bool definite(const reference::item &it, int major) {
    return it.ok && it.initial >> 5 == major && (it.initial & 0x1F) < 28;
}

static reference_check read_check(const uint8_t *delta, size_t length) {
    reference_check check;
    if (length == 0) {
        return check;
    }
    reference::item tag = reference::decode(delta, length, 0);
    if (!definite(tag, 6) || tag.argument != DIFF_CHECK_TAG) {
        return check;
    }
    check.state = check_state::malformed;
    size_t position = tag.consumed;
    if (position >= length) {
        return check;
    }
    reference::item array = reference::decode(delta, length, position);
    if (!definite(array, 4) || array.argument != 4) {
        return check;
    }
    position += array.consumed;
    for (uint64_t &field : check.fields) {
        if (position >= length) {
            return check;
        }
        reference::item integer = reference::decode(delta, length, position);
        if (!definite(integer, 1)) {
            return check;
        }
        field = integer.argument;
        position += integer.consumed;
    }
    check.state = check_state::present;
    check.body = position;
    return check;
}

/* The shortest head of a major type and argument, as RFC 8949 gives it. */
static void put_head(std::vector<uint8_t> &out, int major, uint64_t argument) {
    int width = argument < 24            ? 0
                : argument < 256         ? 1
                : argument < 65536       ? 2
                : argument <= UINT32_MAX ? 4
                                         : 8;
    static const uint8_t info[] = {0, 24, 25, 0, 26, 0, 0, 0, 27};
    out.push_back(static_cast<uint8_t>(major << 5 | (width == 0 ? argument : info[width])));
    for (int i = width - 1; i >= 0; i--) {
        out.push_back(static_cast<uint8_t>(argument >> (8 * i)));
    }
}

static std::vector<uint8_t> sealed(const uint8_t *old_value, size_t old_length,
                                   const std::vector<uint8_t> &value, const uint8_t *delta,
                                   size_t length) {
    std::vector<uint8_t> out;
    put_head(out, 6, DIFF_CHECK_TAG);
    put_head(out, 4, 4);
    put_head(out, 1, old_length);
    put_head(out, 1, reference::crc64(old_value, old_length));
    put_head(out, 1, value.size());
    put_head(out, 1, reference::crc64(value.data(), value.size()));
    out.insert(out.end(), delta, delta + length);
    return out;
}

/* diff_patch on exact copies of both; false for null, with the status. */
static bool patch_exactly(const uint8_t *old_bytes, size_t old_length, const uint8_t *delta_bytes,
                          size_t length, uint32_t flags, std::vector<uint8_t> &out,
                          int32_t &status);

static uint8_t *exact_copy(const uint8_t *data, size_t size) {
    uint8_t *block = static_cast<uint8_t *>(malloc(size == 0 ? 1 : size));
    if (block != nullptr && size > 0) {
        memcpy(block, data, size);
    }
    return block;
}

static bool patch_exactly(const uint8_t *old_bytes, size_t old_length, const uint8_t *delta_bytes,
                          size_t length, uint32_t flags, std::vector<uint8_t> &out,
                          int32_t &status) {
    buf old_value{exact_copy(old_bytes, old_length), old_length, old_length};
    buf delta{exact_copy(delta_bytes, length), length, length};
    REFERENCE_CHECK(old_value.data != nullptr && delta.data != nullptr, 0);
    buf *got = diff_patch(&old_value, &delta, flags, &status);
    if (got != nullptr) {
        out.assign(got->data, got->data + got->len);
        buf_free(got);
    }
    free(old_value.data);
    free(delta.data);
    return got != nullptr;
}

/*
 * diff_patch on the delta as it came, against the reference: a check that
 * is there only in part is refused; a whole one makes the body's value
 * stand only if the old value and the value built are the ones it names.
 * Inspection must agree: it refuses a damaged check, never what patching
 * builds, and counts what was built.
 */
static void check_whole_delta(const buf &old_value, const buf &delta) {
    reference_check check = read_check(delta.data, delta.len);
    std::vector<uint8_t> body_value;
    bool body_ok =
        check.state == check_state::present
            ? reference_apply(old_value.data, old_value.len, delta.data + check.body,
                              delta.len - check.body, body_value)
            : reference_apply(old_value.data, old_value.len, delta.data, delta.len, body_value);
    int32_t want_status = DIFF_APPLY_OK;
    if (check.state == check_state::malformed) {
        want_status = DIFF_APPLY_BAD_CHECK;
    } else if (check.state == check_state::present && old_value.len != check.fields[0]) {
        want_status = DIFF_APPLY_WRONG_OLD;
    } else if (!body_ok) {
        want_status = -1; /* one of the reader's own refusals */
    } else if (check.state == check_state::present &&
               reference::crc64(old_value.data, old_value.len) != check.fields[1]) {
        want_status = DIFF_APPLY_WRONG_OLD;
    } else if (check.state == check_state::present &&
               (body_value.size() != check.fields[2] ||
                reference::crc64(body_value.data(), body_value.size()) != check.fields[3])) {
        want_status = DIFF_APPLY_WRONG_RESULT;
    }
    std::vector<uint8_t> got;
    int32_t status = DIFF_APPLY_OK;
    bool built =
        patch_exactly(old_value.data, old_value.len, delta.data, delta.len, 0, got, status);
    REFERENCE_CHECK(built == (want_status == DIFF_APPLY_OK), 0);
    if (built) {
        REFERENCE_CHECK(got == body_value, 0);
    } else if (want_status != -1) {
        REFERENCE_CHECK(status == want_status, 0);
    }
    diff_inspection inspection = {};
    int32_t inspected = diff_patch_inspect(&delta, &inspection);
    REFERENCE_CHECK((inspected == DIFF_APPLY_BAD_CHECK) == (check.state == check_state::malformed),
                    0);
    if (built) {
        REFERENCE_CHECK(inspected == DIFF_APPLY_OK, 0);
        REFERENCE_CHECK(inspection.checked == (check.state == check_state::present), 0);
        if (inspection.body.form != DIFF_FORM_NO_CHANGE) {
            REFERENCE_CHECK(
                inspection.body.copied_bytes + inspection.body.inserted_bytes == got.size(), 0);
        }
    }
}

/*
 * The value's check written in front of a delta without one: the sealed
 * delta gives the value, also where a check is required; the core writes
 * the same check; a changed byte gives a refusal or the value; any other
 * old value is refused.
 */
static void check_sealed(const buf &old_value, const buf &delta, const std::vector<uint8_t> &value,
                         size_t choice) {
    std::vector<uint8_t> checked =
        sealed(old_value.data, old_value.len, value, delta.data, delta.len);
    std::vector<uint8_t> got;
    int32_t status = DIFF_APPLY_OK;
    REFERENCE_CHECK(patch_exactly(old_value.data, old_value.len, checked.data(), checked.size(),
                                  DIFF_PATCH_REQUIRE_CHECK, got, status),
                    0);
    REFERENCE_CHECK(got == value, 0);

    buf *written = buf_create();
    REFERENCE_CHECK(written != nullptr && _buf_append(written, delta.data, delta.len), 0);
    buf value_view{const_cast<uint8_t *>(value.data()), value.size(), value.size()};
    diff_check check = diff_check_of(&old_value, &value_view);
    REFERENCE_CHECK(diff_check_prepend(written, &check), 0);
    REFERENCE_CHECK(written->len == checked.size() &&
                        memcmp(written->data, checked.data(), checked.size()) == 0,
                    0);
    buf_free(written);

    std::vector<uint8_t> damaged = checked;
    size_t at = choice % damaged.size();
    damaged[at] = static_cast<uint8_t>(damaged[at] ^ (1 + choice % 255));
    if (patch_exactly(old_value.data, old_value.len, damaged.data(), damaged.size(),
                      DIFF_PATCH_REQUIRE_CHECK, got, status)) {
        REFERENCE_CHECK(got == value, at);
    }

    if (old_value.len > 0) {
        std::vector<uint8_t> other(old_value.data, old_value.data + old_value.len);
        other[choice % other.size()] ^= 0x5A;
        REFERENCE_CHECK(!patch_exactly(other.data(), other.size(), checked.data(), checked.size(),
                                       0, got, status) &&
                            status == DIFF_APPLY_WRONG_OLD,
                        0);
    }
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
    check_whole_delta(old_value, delta);
    if (want_value && read_check(delta.data, delta_length).state == check_state::absent) {
        check_sealed(old_value, delta, want, data[0] ^ data[1] << 8);
    }
    free(old_value.data);
    free(delta.data);
    return 0;
}
