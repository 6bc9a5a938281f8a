/*
 * buf.cpp - the growable byte buffer and its fixed-width readers.
 */
#include "buf.h"

#include <cstdlib>
#include <cstring>

TOVAREL_BEGIN_DECLS

buf *buf_create(void) {
    return static_cast<buf *>(calloc(1, sizeof(buf)));
}

void buf_free(buf *buffer) {
    if (buffer == nullptr) {
        return;
    }
    free(buffer->data);
    free(buffer);
}

/*
 * A copy gets a block of exactly the content's size and capacity 0, so the
 * first write to the copy always grows it.  An empty source needs no block.
 */
buf *buf_dup(const buf *buffer) {
    if (buffer == nullptr) {
        return nullptr;
    }
    buf *copy = buf_create();
    if (copy == nullptr) {
        return nullptr;
    }
    if (buffer->len > 0) {
        copy->data = static_cast<uint8_t *>(malloc(buffer->len));
        if (copy->data == nullptr) {
            free(copy);
            return nullptr;
        }
        memcpy(copy->data, buffer->data, buffer->len);
    }
    copy->len = buffer->len;
    return copy;
}

/*
 * Every writer appends through here.  When the new length exceeds the
 * capacity the block grows to twice the new length, which keeps appends
 * amortised constant per byte.  A length or capacity that would not fit in
 * 64 bits, or a block the allocator refuses, leaves the record untouched.
 * The source may lie inside the destination's own block (appending a
 * buffer to itself): it is found again after the block moves.
 */
bool _buf_append(buf *buffer, const void *source, uint64_t count) {
    if (buffer == nullptr) {
        return false;
    }
    if (count == 0) {
        return true;
    }
    if (count > UINT64_MAX - buffer->len) {
        return false;
    }
    auto *from = static_cast<const uint8_t *>(source);
    uint64_t need = buffer->len + count;
    if (need > buffer->capacity) {
        // A source inside the block itself moves with it when it grows.
        uintptr_t at = reinterpret_cast<uintptr_t>(from);
        uintptr_t base = reinterpret_cast<uintptr_t>(buffer->data);
        bool inside = buffer->data != nullptr && at >= base && at - base < buffer->capacity;
        if (need > UINT64_MAX / 2 || need * 2 > SIZE_MAX) {
            return false;
        }
        uint64_t capacity = need * 2;
        auto *block = static_cast<uint8_t *>(realloc(buffer->data, capacity));
        if (block == nullptr) {
            return false;
        }
        if (inside) {
            from = block + (at - base);
        }
        buffer->data = block;
        buffer->capacity = capacity;
    }
    memmove(buffer->data + buffer->len, from, count);
    buffer->len = need;
    return true;
}

bool _buf_reserve(buf *buffer, uint64_t capacity) {
    if (buffer == nullptr) {
        return false;
    }
    if (capacity <= buffer->capacity) {
        return true;
    }
    if (capacity > SIZE_MAX) {
        return false;
    }
    auto *block = static_cast<uint8_t *>(realloc(buffer->data, capacity));
    if (block == nullptr) {
        return false;
    }
    buffer->data = block;
    buffer->capacity = capacity;
    return true;
}

void _buf_fit(buf *buffer) {
    if (buffer == nullptr || buffer->capacity == buffer->len) {
        return;
    }
    if (buffer->len == 0) {
        free(buffer->data);
        buffer->data = nullptr;
        buffer->capacity = 0;
        return;
    }
    auto *block = static_cast<uint8_t *>(realloc(buffer->data, buffer->len));
    if (block != nullptr) {
        buffer->data = block;
        buffer->capacity = buffer->len;
    }
}

void buf_write_bytes(buf *buffer, const void *source, uint64_t count) {
    (void)_buf_append(buffer, source, count);
}

void buf_write_byte(buf *buffer, int value) {
    uint8_t byte = static_cast<uint8_t>(value & 0xFF);
    (void)_buf_append(buffer, &byte, 1);
}

void buf_write_string(buf *buffer, const char *text) {
    (void)_buf_append(buffer, text, strlen(text));
}

void buf_write_buf(buf *destination, const buf *source) {
    (void)_buf_append(destination, source->data, source->len);
}

/*
 * A pointer into the content, with a range check when a positive length is
 * asked for.  Offsets before the block or past its end are refused even for
 * an empty range; no caller asks for them, and the pointer would be
 * meaningless.
 */
uint8_t *buf_substr(const buf *buffer, int32_t offset, int32_t length) {
    if (buffer == nullptr || buffer->data == nullptr || offset < 0 ||
        static_cast<uint64_t>(offset) > buffer->len) {
        return nullptr;
    }
    if (length > 0 && static_cast<uint64_t>(offset) + static_cast<uint64_t>(length) > buffer->len) {
        return nullptr;
    }
    return buffer->data + offset;
}

int buf_cmp(const buf *a, const buf *b) {
    if (a == nullptr && b == nullptr) {
        return 0;
    }
    if (a == nullptr || b == nullptr || a->len != b->len) {
        return -1;
    }
    if (a->len == 0) {
        return 0;
    }
    return memcmp(a->data, b->data, a->len);
}

/*
 * Moves the remaining content into a block of exactly its size.  A count
 * outside 0..len is refused, and so is a failed allocation: the record
 * then stays as it was.
 */
void buf_discard_front(buf *buffer, int32_t count) {
    if (count < 0 || static_cast<uint64_t>(count) > buffer->len) {
        return;
    }
    uint64_t remaining = buffer->len - static_cast<uint64_t>(count);
    uint8_t *block = nullptr;
    if (remaining > 0) {
        block = static_cast<uint8_t *>(calloc(remaining, 1));
        if (block == nullptr) {
            return;
        }
        memcpy(block, buffer->data + count, remaining);
    }
    free(buffer->data);
    buffer->data = block;
    buffer->len = remaining;
    buffer->capacity = remaining;
}

char *buf_as_string(const buf *buffer) {
    if (buffer == nullptr) {
        return static_cast<char *>(calloc(1, 1));
    }
    if (buffer->len == UINT64_MAX) {
        return nullptr;
    }
    char *text = static_cast<char *>(calloc(buffer->len + 1, 1));
    if (text != nullptr && buffer->len > 0) {
        memcpy(text, buffer->data, buffer->len);
    }
    return text;
}

const uint8_t *buf_read_byte(const uint8_t *position, uint8_t *out) {
    if (position == nullptr) {
        return nullptr;
    }
    if (out != nullptr) {
        *out = position[0];
    }
    return position + 1;
}

/* Big-endian, assembled byte by byte so the position need not be aligned. */
static uint64_t read_big_endian(const uint8_t *position, int width) {
    uint64_t value = 0;
    for (int i = 0; i < width; i++) {
        value = (value << 8) | position[i];
    }
    return value;
}

const uint8_t *buf_read_uint32(const uint8_t *position, uint32_t *out) {
    if (position == nullptr) {
        return nullptr;
    }
    if (out != nullptr) {
        *out = static_cast<uint32_t>(read_big_endian(position, 4));
    }
    return position + 4;
}

const uint8_t *buf_read_uint64(const uint8_t *position, uint64_t *out) {
    if (position == nullptr) {
        return nullptr;
    }
    if (out != nullptr) {
        *out = read_big_endian(position, 8);
    }
    return position + 8;
}

TOVAREL_END_DECLS
