/*
 * cbor_walker.h - a checking, non-recursive walk over CBOR (RFC 8949) items.
 *
 * Where the parser hands out heads one by one and leaves their meaning to
 * the caller, the walker follows the nesting and refuses anything that is
 * not a well-formed, valid item: a caller that builds values from its tokens
 * needs no checks of its own.  Each cbor_walker_next() call yields one token:
 * a scalar, the head of an array, map or tag, or the END that closes the
 * innermost open one (definite containers get their END too, so a builder
 * never counts).  Chunked strings arrive joined; text is checked UTF-8;
 * tags 2 and 3 arrive as one BIGNUM token.
 *
 * The nesting is kept on an explicit stack in heap memory, never on the
 * native stack, so input cannot deepen the walker's recursion.  Nothing is
 * allocated by a declared length: a string, array or map that declares more
 * than the unread bytes can hold is refused as truncated before anything is
 * reserved, and the walker's own memory (the stack and the buffer that joins
 * chunks) stays below the size of the input.
 *
 * The input is borrowed and must stay unchanged while the walker is used;
 * string tokens point into it (or into the join buffer, valid until the
 * next call).
 */
#ifndef TOVAREL_CBOR_WALKER_H
#define TOVAREL_CBOR_WALKER_H

#include <stddef.h>
#include <stdint.h>

#include "cbor_parser.h"
#include "export.h"

TOVAREL_BEGIN_DECLS

/* The count of an indefinite-length array or map. */
#define CBOR_WALKER_INDEFINITE UINT64_MAX

enum cbor_walker_kind {
    CBOR_WALKER_UINT,   /* argument: the value */
    CBOR_WALKER_NEGINT, /* argument n: the value is -1 - n */
    CBOR_WALKER_BIGNUM, /* argument: tag 2 (value = m) or 3 (value = -1 - m); bytes: m, big-endian
                         */
    CBOR_WALKER_BYTES,  /* bytes, length */
    CBOR_WALKER_TEXT,   /* bytes, length: valid UTF-8; ascii when every byte is below 0x80 */
    CBOR_WALKER_FLOAT,  /* real */
    CBOR_WALKER_SIMPLE, /* argument: 0..19, 20 false, 21 true, 22 null, 23 undefined, 32..255 */
    CBOR_WALKER_ARRAY,  /* argument: element count or CBOR_WALKER_INDEFINITE */
    CBOR_WALKER_MAP,    /* argument: pair count or CBOR_WALKER_INDEFINITE */
    CBOR_WALKER_TAG,    /* argument: the tag number (never 2 or 3); the tagged item follows */
    CBOR_WALKER_END     /* closes the innermost open array, map or tag */
};

/* Results of cbor_walker_next(); every failure is final for the walker. */
enum cbor_walker_status {
    CBOR_WALKER_OK = 0,
    CBOR_WALKER_TRUNCATED = -1,        /* the input ends inside an item */
    CBOR_WALKER_TRAILING = -2,         /* bytes after the item (cbor_walker_finish) */
    CBOR_WALKER_UNEXPECTED_BREAK = -3, /* a break where no indefinite item can end */
    CBOR_WALKER_BAD_CHUNK = -4,        /* not a definite string of the outer kind */
    CBOR_WALKER_BAD_UTF8 = -5,         /* text that is not UTF-8 */
    CBOR_WALKER_RESERVED = -6,         /* additional information 28, 29 or 30 */
    CBOR_WALKER_BAD_INDEFINITE = -7,   /* 0x1F, 0x3F, 0xDF: no indefinite form exists */
    CBOR_WALKER_BAD_SIMPLE = -8,       /* 0xF8 followed by a value below 32 */
    CBOR_WALKER_TOO_DEEP = -9,         /* an item nested deeper than max_depth */
    CBOR_WALKER_BAD_BIGNUM = -10,      /* tag 2 or 3 around something other than bytes */
    CBOR_WALKER_NO_MEMORY = -11
};

/* Fields that a token's kind does not use hold no meaning. */
typedef struct cbor_walker_token {
    int kind;
    uint8_t key;   /* 0: not in a map key; 1: the item is a key; 2: it lies inside one */
    uint8_t ascii; /* TEXT: every byte is below 0x80 */
    uint64_t offset;
    uint64_t argument;
    const uint8_t *bytes;
    uint64_t length;
    double real;
} cbor_walker_token;

typedef struct cbor_walker_frame {
    uint64_t remaining; /* items still to come in a definite container or tag */
    uint8_t kind;       /* CBOR_WALKER_ARRAY, _MAP or _TAG */
    uint8_t key;        /* the frame is a map key or lies inside one */
    uint8_t indefinite;
    uint8_t awaiting_value; /* indefinite map: a key was read, its value not yet */
} cbor_walker_frame;

typedef struct cbor_walker {
    cbor_parser parser;
    uint64_t max_depth;
    cbor_walker_frame *frames;
    uint64_t depth; /* open frames; an item starting now is at this depth */
    uint64_t frame_capacity;
    uint8_t *joined; /* the chunks of the last chunked string */
    uint64_t joined_capacity;
    int status;              /* the failure, once there is one */
    uint64_t error_offset;   /* where it was found */
    uint64_t error_argument; /* the initial byte, simple value, tag or limit it names */
    /* Set by a caller that checks the UTF-8 of definite text strings itself
     * (as a string constructor that validates anyway does): their tokens then
     * come unchecked, with ascii 0.  Chunks are checked regardless, since a
     * character split between two chunks would pass a check of the join. */
    uint8_t text_checked_by_caller;
} cbor_walker;

/* Items may nest max_depth levels: the elements of a top-level container
 * are at depth 1, a tag's content one deeper than the tag. */
TOVAREL_API cbor_walker *cbor_walker_create(const void *data, uint64_t size, uint64_t max_depth);
TOVAREL_API void cbor_walker_free(cbor_walker *walker);
/* Fills token and returns CBOR_WALKER_OK, or returns a failure status. */
TOVAREL_API int cbor_walker_next(cbor_walker *walker, cbor_walker_token *token);
/* The offset of the next unread byte. */
TOVAREL_API uint64_t cbor_walker_offset(const cbor_walker *walker);
/* CBOR_WALKER_OK when every byte is read, else the TRAILING failure. */
TOVAREL_API int cbor_walker_finish(cbor_walker *walker);
/* The failure as a sentence naming its byte offset; the length written. */
TOVAREL_API size_t cbor_walker_error_message(const cbor_walker *walker, char *out, size_t size);

TOVAREL_END_DECLS

#endif /* TOVAREL_CBOR_WALKER_H */
