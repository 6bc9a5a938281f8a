/*
 * buf_encoding.cpp - encoded forms in byte buffers.
 *
 * Varints carry 7 bits per byte, least significant group first, with bit 7
 * set on every byte but the last.  Writers encode into a stack scratch area
 * and append it in one go, so a buffer grows at most once per value and a
 * value is either appended whole or not at all.  Readers follow the read
 * cursor convention of buf.h and store nothing when they refuse the bytes.
 */
#include "buf_encoding.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

TOVAREL_BEGIN_DECLS

static constexpr int VARINT_GROUP_BITS = 7;
static constexpr uint8_t VARINT_GROUP_MASK = 0x7F;
static constexpr uint8_t VARINT_CONTINUE = 0x80;
static constexpr int VARINT32_MAX_BYTES = 5;
static constexpr int VARINT64_MAX_BYTES = 10;

/* A length-prefixed string's prefix is written as a 32-bit varint. */
static constexpr uint64_t STRING_LENGTH_LIMIT = 1ull << 32;

/* buf_sprintf's first scratch block has this much room beyond the format. */
static constexpr size_t SPRINTF_HEADROOM = 100;

/* Hex dump rows hold 16 bytes, split into two groups of 8. */
static constexpr uint64_t HEXDUMP_ROW = 16;
static constexpr uint64_t HEXDUMP_GROUP = 8;

/* Encodes value into out (room for VARINT64_MAX_BYTES) and returns the
 * number of bytes used: the shortest form, at least one byte. */
static int varint_encode(uint64_t value, uint8_t *out) {
    int n = 0;
    while (value > VARINT_GROUP_MASK) {
        out[n++] = static_cast<uint8_t>((value & VARINT_GROUP_MASK) | VARINT_CONTINUE);
        value >>= VARINT_GROUP_BITS;
    }
    out[n++] = static_cast<uint8_t>(value);
    return n;
}

static bool append_varint(buf *buffer, uint64_t value) {
    uint8_t scratch[VARINT64_MAX_BYTES];
    int n = varint_encode(value, scratch);
    return _buf_append(buffer, scratch, static_cast<uint64_t>(n));
}

/*
 * Decodes a varint of at most max_bytes bytes.  Every byte but the last
 * possible one contributes its low 7 bits; the last possible byte is shifted
 * as a whole, so the bits that do not fit the width fall off unremarked.  A
 * last possible byte that still asks for more makes the varint malformed:
 * null, and nothing stored.  Over-long forms that end in time are accepted.
 */
static const uint8_t *varint_decode(const uint8_t *position, int max_bytes, uint64_t *out) {
    uint64_t value = 0;
    for (int i = 0; i < max_bytes; i++) {
        uint8_t byte = position[i];
        int shift = VARINT_GROUP_BITS * i;
        if (i < max_bytes - 1) {
            value |= static_cast<uint64_t>(byte & VARINT_GROUP_MASK) << shift;
        } else {
            value |= static_cast<uint64_t>(byte) << shift;
        }
        if ((byte & VARINT_CONTINUE) == 0) {
            *out = value;
            return position + i + 1;
        }
    }
    return nullptr;
}

void buf_write_uint32_enc(buf *buffer, uint32_t value) {
    (void)append_varint(buffer, value);
}

void buf_write_uint64_enc(buf *buffer, uint64_t value) {
    (void)append_varint(buffer, value);
}

/*
 * The prefix, then the bytes.  A length the 32-bit prefix cannot hold would
 * be written as its low 32 bits and misframe everything after it, so such a
 * string is not written at all.  If the bytes cannot be appended after the
 * prefix, the prefix is taken back, so the buffer never ends in a prefix
 * without its string.
 */
void buf_write_string_length_enc(buf *buffer, const void *bytes, uint64_t length) {
    if (length >= STRING_LENGTH_LIMIT) {
        return;
    }
    const uint64_t old_len = buffer->len;
    if (!append_varint(buffer, length) || length == 0) {
        return;
    }
    if (!_buf_append(buffer, bytes, length)) {
        buffer->len = old_len;
    }
}

void buf_write_string_enc(buf *buffer, const char *text) {
    buf_write_string_length_enc(buffer, text, text != nullptr ? strlen(text) : 0);
}

void buf_write_bool(buf *buffer, bool value) {
    if (buffer != nullptr) {
        buf_write_byte(buffer, value ? 1 : 0);
    }
}

/* The float's own bytes in memory order, unconverted. */
void buf_write_float(buf *buffer, float value) {
    uint8_t bytes[sizeof value];
    memcpy(bytes, &value, sizeof value);
    buf_write_bytes(buffer, bytes, sizeof bytes);
}

/* The count, then each element as the writer renders it.  Elements are
 * only written after their count, so a count that cannot be appended stops
 * the list before any element lands unannounced. */
void buf_write_list(buf *buffer, const list *l, buf_element_writer writer) {
    if (l == nullptr) {
        (void)append_varint(buffer, 0);
        return;
    }
    int32_t count = list_get_size(l);
    if (!append_varint(buffer, static_cast<uint32_t>(count)) || count == 0 || writer == nullptr) {
        return;
    }
    for (const list_node *node = l->first; node != nullptr; node = node->next) {
        writer(buffer, node->data);
    }
}

const uint8_t *buf_read_uint32_enc(const uint8_t *position, uint32_t *out) {
    if (position == nullptr) {
        return nullptr;
    }
    uint64_t value;
    const uint8_t *after = varint_decode(position, VARINT32_MAX_BYTES, &value);
    if (after != nullptr && out != nullptr) {
        *out = static_cast<uint32_t>(value);
    }
    return after;
}

const uint8_t *buf_read_uint64_enc(const uint8_t *position, uint64_t *out) {
    if (position == nullptr) {
        return nullptr;
    }
    uint64_t value;
    const uint8_t *after = varint_decode(position, VARINT64_MAX_BYTES, &value);
    if (after != nullptr && out != nullptr) {
        *out = value;
    }
    return after;
}

/*
 * Reads a 64-bit length prefix and the string after it.  The copy gets a
 * terminating NUL; when it cannot be allocated (or its size would not fit)
 * the read fails as a whole and neither output is stored, rather than hand
 * back a string that is not there.
 */
const uint8_t *buf_read_string_length_enc(const uint8_t *position, char **text, uint64_t *length) {
    uint64_t n;
    const uint8_t *start = buf_read_uint64_enc(position, &n);
    if (start == nullptr) {
        return nullptr;
    }
    if (text != nullptr) {
        if (n >= SIZE_MAX) {
            return nullptr;
        }
        char *copy = static_cast<char *>(calloc(n + 1, 1));
        if (copy == nullptr) {
            return nullptr;
        }
        memcpy(copy, start, n);
        *text = copy;
    }
    if (length != nullptr) {
        *length = n;
    }
    return start + n;
}

/* Without an output any byte passes; with one, only 00 and 01 do. */
const uint8_t *buf_read_bool(const uint8_t *position, bool *out) {
    if (position == nullptr) {
        return nullptr;
    }
    if (out == nullptr) {
        return position + 1;
    }
    if (position[0] > 1) {
        return nullptr;
    }
    *out = position[0] == 1;
    return position + 1;
}

/* A float stored as a 32-bit varint of its bit pattern; this is not the
 * inverse of buf_write_float, which appends the raw bytes.  Stored data
 * relies on this reading, so it stays. */
const uint8_t *buf_read_float(const uint8_t *position, float *out) {
    uint32_t bits;
    const uint8_t *after = buf_read_uint32_enc(position, &bits);
    if (after != nullptr && out != nullptr) {
        memcpy(out, &bits, sizeof bits);
    }
    return after;
}

/*
 * Formats into a scratch block first, starting a little larger than the
 * format and doubling until vsnprintf's output fits, then appends the text
 * without its NUL.  On any failure the buffer is unchanged and the result
 * is negative.
 */
int buf_sprintf(buf *buffer, const char *format, ...) {
    size_t size = strlen(format) + SPRINTF_HEADROOM;
    char *scratch = static_cast<char *>(malloc(size));
    if (scratch == nullptr) {
        return -1;
    }
    for (;;) {
        va_list args;
        va_start(args, format);
        int n = vsnprintf(scratch, size, format, args);
        va_end(args);
        if (n < 0) {
            free(scratch);
            return n;
        }
        if (static_cast<size_t>(n) < size) {
            bool appended = _buf_append(buffer, scratch, static_cast<uint64_t>(n));
            free(scratch);
            return appended ? n : -1;
        }
        size *= 2;
        char *grown = static_cast<char *>(realloc(scratch, size));
        if (grown == nullptr) {
            free(scratch);
            return -1;
        }
        scratch = grown;
    }
}

/* Two lower-case hex digits per byte, NUL-terminated; null when the text
 * cannot be allocated. */
char *buf_as_hex(const buf *buffer) {
    static const char digits[] = "0123456789abcdef";
    if (buffer == nullptr || buffer->len > (SIZE_MAX - 1) / 2) {
        return nullptr;
    }
    char *text = static_cast<char *>(calloc(2 * buffer->len + 1, 1));
    if (text == nullptr) {
        return nullptr;
    }
    for (uint64_t i = 0; i < buffer->len; i++) {
        text[2 * i] = digits[buffer->data[i] >> 4];
        text[2 * i + 1] = digits[buffer->data[i] & 0x0F];
    }
    return text;
}

/* Rows of 16 bytes between bars, a dot between the two halves of a row;
 * the last row is left open. */
void hexdump_buf(const buf *buffer) {
    for (uint64_t i = 0; i < buffer->len; i++) {
        if (i == 0) {
            printf("| ");
        } else if (i % HEXDUMP_ROW == 0) {
            puts("|");
            printf("| ");
        } else if (i % HEXDUMP_GROUP == 0) {
            printf(". ");
        }
        printf("%02x ", buffer->data[i]);
    }
    putchar('\n');
}

TOVAREL_END_DECLS
