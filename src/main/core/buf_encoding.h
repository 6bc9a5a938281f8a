/*
 * buf_encoding.h - encoded forms written into and read from byte buffers:
 * varints (7-bit groups, least significant first), length-prefixed strings,
 * booleans, floats, lists, formatted text and hexadecimal renderings.
 *
 * Writers append through the buffer's growth rule; readers follow the read
 * cursor convention of buf.h (position in, position after out, null for a
 * null position or unacceptable bytes).
 */
#ifndef TOVAREL_BUF_ENCODING_H
#define TOVAREL_BUF_ENCODING_H

#include <stdbool.h>
#include <stdint.h>

#include "buf.h"
#include "export.h"
#include "list.h"

TOVAREL_BEGIN_DECLS

/* Called once per list node by buf_write_list with the node's data. */
typedef void (*buf_element_writer)(buf *buffer, void *data);

TOVAREL_API void buf_write_uint32_enc(buf *buffer, uint32_t value);
TOVAREL_API void buf_write_uint64_enc(buf *buffer, uint64_t value);
TOVAREL_API void buf_write_string_length_enc(buf *buffer, const void *bytes, uint64_t length);
TOVAREL_API void buf_write_string_enc(buf *buffer, const char *text);
TOVAREL_API void buf_write_bool(buf *buffer, bool value);
TOVAREL_API void buf_write_float(buf *buffer, float value);
TOVAREL_API void buf_write_list(buf *buffer, const list *l, buf_element_writer writer);

TOVAREL_API const uint8_t *buf_read_uint32_enc(const uint8_t *position, uint32_t *out);
TOVAREL_API const uint8_t *buf_read_uint64_enc(const uint8_t *position, uint64_t *out);
TOVAREL_API const uint8_t *buf_read_string_length_enc(const uint8_t *position, char **text,
                                                      uint64_t *length);
TOVAREL_API const uint8_t *buf_read_bool(const uint8_t *position, bool *out);
TOVAREL_API const uint8_t *buf_read_float(const uint8_t *position, float *out);

TOVAREL_API int buf_sprintf(buf *buffer, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
TOVAREL_API char *buf_as_hex(const buf *buffer);
TOVAREL_API void hexdump_buf(const buf *buffer);

TOVAREL_END_DECLS

#endif /* TOVAREL_BUF_ENCODING_H */
