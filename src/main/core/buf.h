/*
 * buf.h - the growable byte buffer.
 *
 * Ownership: a buffer made by buf_create() or buf_dup() owns both its record
 * and its storage block; both come from the C allocator and go back with
 * buf_free() (or plain free(), field by field).  A record may also describe
 * storage owned by someone else (the Python bindings point one at a bytes
 * object); such a record is read-only and is never handed to a writer,
 * buf_discard_front() or buf_free().
 *
 * Writers append only.  To append n bytes the block grows, when len + n
 * exceeds capacity, to exactly 2 * (len + n) bytes.  When the block cannot
 * grow the writer leaves the record exactly as it was; _buf_append() is the
 * same append with a result, for callers that must not mistake a failed
 * append for a short one.
 *
 * Readers take the position of the next unread byte and return the position
 * after what they read, or null for a null position.  They do not know where
 * the data ends: the caller guarantees that enough bytes follow.
 */
#ifndef TOVAREL_BUF_H
#define TOVAREL_BUF_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "export.h"

TOVAREL_BEGIN_DECLS

typedef struct buf {
    uint8_t *data;     /* storage block; null while nothing is allocated */
    uint64_t len;      /* bytes in use, counted from data */
    uint64_t capacity; /* bytes the writers may fill before growing */
} buf;

/* Whether a record can be read: it exists, and it points at its bytes
 * unless it has none.  A record that claims bytes without them cannot. */
static inline bool buf_has_its_bytes(const buf *value) {
    return value != NULL && (value->data != NULL || value->len == 0);
}

TOVAREL_API buf *buf_create(void);
TOVAREL_API void buf_free(buf *buffer);
TOVAREL_API buf *buf_dup(const buf *buffer);

/* Appends count bytes and reports whether it could; on false the buffer is
 * unchanged. */
TOVAREL_API bool _buf_append(buf *buffer, const void *source, uint64_t count);

/* Grows the block to exactly capacity bytes when it holds fewer, and
 * reports whether it could; on false the buffer is unchanged. */
TOVAREL_API bool _buf_reserve(buf *buffer, uint64_t capacity);

/* Shrinks the block to the content's size (none for an empty buffer);
 * where the allocator cannot, the buffer stays as it was. */
TOVAREL_API void _buf_fit(buf *buffer);

TOVAREL_API void buf_write_bytes(buf *buffer, const void *source, uint64_t count);
TOVAREL_API void buf_write_byte(buf *buffer, int value);
TOVAREL_API void buf_write_string(buf *buffer, const char *text);
TOVAREL_API void buf_write_buf(buf *destination, const buf *source);

TOVAREL_API uint8_t *buf_substr(const buf *buffer, int32_t offset, int32_t length);
TOVAREL_API int buf_cmp(const buf *a, const buf *b);
TOVAREL_API void buf_discard_front(buf *buffer, int32_t count);
TOVAREL_API char *buf_as_string(const buf *buffer);

TOVAREL_API const uint8_t *buf_read_byte(const uint8_t *position, uint8_t *out);
TOVAREL_API const uint8_t *buf_read_uint32(const uint8_t *position, uint32_t *out);
TOVAREL_API const uint8_t *buf_read_uint64(const uint8_t *position, uint64_t *out);

TOVAREL_END_DECLS

#endif /* TOVAREL_BUF_H */
