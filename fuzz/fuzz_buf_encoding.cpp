/*
 * fuzz_buf_encoding.cpp - drives the varint, string, boolean and float
 * readers of the buffer encodings over arbitrary bytes, and the writers
 * over values taken from them, against a reference written from the byte
 * rules.
 *
 * These readers trust the caller for the end of the data.  The harness is
 * that careful caller: the input sits in a block followed by zero padding
 * (a zero byte ends any varint, and no varint is longer than the padding),
 * and a string is read only after its declared length has been checked
 * against what the real input still holds.  Any read beyond the padding is
 * then the readers' own fault and an AddressSanitizer report.
 */
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "buf.h"
#include "buf_encoding.h"
#include "reference_cbor.h"

namespace {

constexpr size_t padding = 16;
constexpr size_t max_varint32 = 5;
constexpr size_t max_varint64 = 10;
constexpr uint8_t continuation = 0x80;
constexpr uint8_t group_mask = 0x7F;

struct varint {
    bool ok;
    uint64_t value;
    size_t length;
};

/* Groups of 7 bits, least significant first.  The last possible byte is
 * shifted in whole (its excess bits fall off the top) and must not ask for
 * another byte. */
varint read_varint(const uint8_t *at, size_t max_bytes) {
    unsigned width = max_bytes == max_varint32 ? 32 : 64;
    varint result{true, 0, 0};
    for (size_t i = 0; i < max_bytes; i++) {
        uint8_t byte = at[i];
        unsigned shift = static_cast<unsigned>(7 * i);
        uint64_t part = i + 1 == max_bytes ? byte : (byte & group_mask);
        if (shift < width) {
            result.value |= part << shift;
        }
        if (width == 32) {
            result.value &= UINT32_MAX;
        }
        if ((byte & continuation) == 0) {
            result.length = i + 1;
            return result;
        }
    }
    return varint{false, 0, 0};
}

size_t write_varint(uint8_t *out, uint64_t value) {
    size_t length = 0;
    do {
        uint8_t group = value & group_mask;
        value >>= 7;
        out[length++] = static_cast<uint8_t>(group | (value != 0 ? continuation : 0));
    } while (value != 0);
    return length;
}

uint64_t load64(const uint8_t *at, size_t available) {
    uint64_t value = 0;
    memcpy(&value, at, available < sizeof value ? available : sizeof value);
    return value;
}

/* Writes the value both ways and as a length-prefixed string of `text`,
 * then reads everything back. */
void check_writers(uint64_t value, const uint8_t *text, size_t text_length) {
    buf *out = buf_create();
    REFERENCE_CHECK(out != nullptr, 0);
    uint8_t expected[3 * max_varint64];
    size_t expected_length = write_varint(expected, static_cast<uint32_t>(value));
    expected_length += write_varint(expected + expected_length, value);
    expected_length += write_varint(expected + expected_length, text_length);

    buf_write_uint32_enc(out, static_cast<uint32_t>(value));
    buf_write_uint64_enc(out, value);
    buf_write_string_length_enc(out, text_length == 0 ? nullptr : text, text_length);
    REFERENCE_CHECK(out->len == expected_length + text_length, 0);
    REFERENCE_CHECK(out->len <= out->capacity, 0);
    REFERENCE_CHECK(memcmp(out->data, expected, expected_length) == 0, 0);
    REFERENCE_CHECK(text_length == 0 || memcmp(out->data + expected_length, text, text_length) == 0,
                    0);

    uint32_t small = 0;
    uint64_t large = 0;
    char *copy = nullptr;
    uint64_t length = UINT64_MAX;
    const uint8_t *at = buf_read_uint32_enc(out->data, &small);
    REFERENCE_CHECK(at != nullptr && small == static_cast<uint32_t>(value), 0);
    at = buf_read_uint64_enc(at, &large);
    REFERENCE_CHECK(at != nullptr && large == value, 0);
    at = buf_read_string_length_enc(at, &copy, &length);
    REFERENCE_CHECK(at == out->data + out->len, 0);
    REFERENCE_CHECK(length == text_length && copy != nullptr, 0);
    REFERENCE_CHECK(memcmp(copy, text, text_length) == 0 && copy[text_length] == '\0', 0);
    free(copy);
    buf_free(out);
}

/* Reads one item of the kind `selector` at input[position]; returns the
 * position after it, or size to stop the walk. */
size_t read_one(uint8_t selector, const uint8_t *input, size_t size, size_t position) {
    const uint8_t *at = input + position;
    size_t left = size - position;
    switch (selector % 6) {
    case 0: {
        varint want = read_varint(at, max_varint32);
        uint32_t got = 0;
        const uint8_t *after = buf_read_uint32_enc(at, &got);
        REFERENCE_CHECK((after != nullptr) == want.ok, position);
        if (!want.ok) {
            return position + max_varint32;
        }
        REFERENCE_CHECK(after == at + want.length && got == want.value, position);
        return position + want.length;
    }
    case 1: {
        varint want = read_varint(at, max_varint64);
        uint64_t got = 0;
        const uint8_t *after = buf_read_uint64_enc(at, &got);
        REFERENCE_CHECK((after != nullptr) == want.ok, position);
        if (!want.ok) {
            return position + max_varint64;
        }
        REFERENCE_CHECK(after == at + want.length && got == want.value, position);
        return position + want.length;
    }
    case 2: {
        varint prefix = read_varint(at, max_varint64);
        if (!prefix.ok) {
            REFERENCE_CHECK(buf_read_string_length_enc(at, nullptr, nullptr) == nullptr, position);
            return position + max_varint64;
        }
        if (prefix.length > left || prefix.value > left - prefix.length) {
            return size; /* the declared string is not all there */
        }
        char *copy = nullptr;
        uint64_t length = UINT64_MAX;
        bool want_copy = (selector & 0x40) != 0;
        const uint8_t *after = buf_read_string_length_enc(at, want_copy ? &copy : nullptr, &length);
        REFERENCE_CHECK(after == at + prefix.length + prefix.value, position);
        REFERENCE_CHECK(length == prefix.value, position);
        if (want_copy) {
            REFERENCE_CHECK(copy != nullptr, position);
            REFERENCE_CHECK(memcmp(copy, at + prefix.length, prefix.value) == 0, position);
            REFERENCE_CHECK(copy[prefix.value] == '\0', position);
            free(copy);
        }
        return position + prefix.length + prefix.value;
    }
    case 3: {
        bool got = (selector & 0x40) != 0;
        bool before = got;
        bool with_output = (selector & 0x80) != 0;
        const uint8_t *after = buf_read_bool(at, with_output ? &got : nullptr);
        if (with_output && *at > 1) {
            REFERENCE_CHECK(after == nullptr && got == before, position);
        } else {
            REFERENCE_CHECK(after == at + 1, position);
            REFERENCE_CHECK(!with_output || got == (*at == 1), position);
        }
        return position + 1;
    }
    case 4: {
        varint want = read_varint(at, max_varint32);
        float got = 0;
        const uint8_t *after = buf_read_float(at, &got);
        REFERENCE_CHECK((after != nullptr) == want.ok, position);
        if (!want.ok) {
            return position + max_varint32;
        }
        uint32_t bits;
        memcpy(&bits, &got, sizeof bits);
        REFERENCE_CHECK(after == at + want.length && bits == want.value, position);
        return position + want.length;
    }
    default: {
        size_t text_length = left < 64 ? left : (selector & 0x3F);
        check_writers(load64(at, left), at, text_length);
        return position + text_length + 1;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint8_t *input = static_cast<uint8_t *>(calloc(size + padding, 1));
    REFERENCE_CHECK(input != nullptr, 0);
    if (size > 0) {
        memcpy(input, data, size);
    }
    REFERENCE_CHECK(buf_read_uint32_enc(nullptr, nullptr) == nullptr, 0);
    REFERENCE_CHECK(buf_read_uint64_enc(nullptr, nullptr) == nullptr, 0);
    REFERENCE_CHECK(buf_read_string_length_enc(nullptr, nullptr, nullptr) == nullptr, 0);
    size_t position = 0;
    while (position < size) {
        uint8_t selector = input[position++];
        if (position >= size) {
            break;
        }
        position = read_one(selector, input, size, position);
    }
    free(input);
    return 0;
}
