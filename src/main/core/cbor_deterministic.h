/*
 * cbor_deterministic.h - whether CBOR input is in the form a deterministic
 * encoder writes (RFC 8949 section 4.2.1, and the length-first order of
 * section 4.2.3), rule by rule.
 *
 * Signatures and cache keys are computed over encoded bytes, so a reader
 * that relies on them must refuse input that the same value's deterministic
 * encoding would not reproduce.  That input is well-formed: each rule here
 * is checked on what the checking walker (cbor_walker.h) has already
 * accepted, and names the first byte that breaks it.
 *
 * The rules come in two layers.  cbor_deterministic_token and
 * cbor_deterministic_follows judge one walker token and one map key or set
 * element, for decoders that build values as they walk and must raise each
 * fault at the point they reach it.  cbor_deterministic_check walks whole
 * items with them, raising each fault at those same points: the answer a
 * decoder of the same bytes gives, without building anything.
 */
#ifndef TOVAREL_CBOR_DETERMINISTIC_H
#define TOVAREL_CBOR_DETERMINISTIC_H

#include <stdint.h>

#include "cbor_walker.h"
#include "export.h"

TOVAREL_BEGIN_DECLS

/* How a map's keys, and a set's elements, are ordered by their encodings. */
enum cbor_deterministic_order {
    CBOR_DETERMINISTIC_CORE = 0,        /* bytewise lexicographic */
    CBOR_DETERMINISTIC_LENGTH_FIRST = 1 /* shorter first, then bytewise */
};

/* The rule broken, or why no rule could be checked. */
enum cbor_deterministic_rule {
    CBOR_DETERMINISTIC_OK = 0,
    CBOR_DETERMINISTIC_LONG_HEAD = 1,     /* a head longer than its argument needs */
    CBOR_DETERMINISTIC_INDEFINITE = 2,    /* an indefinite length */
    CBOR_DETERMINISTIC_FLOAT_WIDTH = 3,   /* a float not in the width the encoder picks */
    CBOR_DETERMINISTIC_BIGNUM_FORM = 4,   /* leading zero bytes, or a plain integer form */
    CBOR_DETERMINISTIC_KEY_ORDER = 5,     /* a map key before its predecessor */
    CBOR_DETERMINISTIC_DUPLICATE_KEY = 6, /* a map key with its predecessor's encoding */
    CBOR_DETERMINISTIC_SET_ORDER = 7,     /* a tag 258 element before its predecessor */
    CBOR_DETERMINISTIC_DUPLICATE_ELEMENT =
        8,                             /* a tag 258 element with its predecessor's encoding */
    CBOR_DETERMINISTIC_MALFORMED = -1, /* the walker refused the input; offset: where */
    CBOR_DETERMINISTIC_NO_MEMORY = -2
};

/* The tag whose array content is a set, ordered like a map's keys. */
#define CBOR_DETERMINISTIC_SET_TAG 258

/* An entry already accepted in a map (its key) or a set: input[start, end).
 * start == end before the first. */
typedef struct cbor_deterministic_entry {
    uint64_t start;
    uint64_t end;
} cbor_deterministic_entry;

/* Negative, zero or positive as encoding a comes before, equals or follows
 * encoding b in the order. */
TOVAREL_API int cbor_deterministic_compare(int order, const uint8_t *a, uint64_t a_size,
                                           const uint8_t *b, uint64_t b_size);

/*
 * The form rules (head length, indefinite length, float width, bignum form)
 * for the token the walker has just read from input[0, size).  Returns
 * CBOR_DETERMINISTIC_OK or the rule, with *offset where it is broken.
 */
TOVAREL_API int cbor_deterministic_token(const uint8_t *input, uint64_t size,
                                         const cbor_walker_token *token, uint64_t *offset);

/*
 * The order rule for the entry input[start, end) after *last in its map
 * (in_set 0: the entry is a key) or set (in_set 1).  In order, it becomes
 * *last and the result is CBOR_DETERMINISTIC_OK; otherwise the result is
 * the rule broken, at start.
 */
TOVAREL_API int cbor_deterministic_follows(int order, const uint8_t *input,
                                           cbor_deterministic_entry *last, uint64_t start,
                                           uint64_t end, int in_set);

/*
 * Checks input[0, size) as one item (sequence 0: nothing may follow it) or
 * as a CBOR sequence of any number of items (sequence 1), nested at most
 * max_depth levels as with cbor_walker_create.  Returns the first rule
 * broken, in the order a decoder meets them (a form at its token, a key
 * once its value is read, a set element once it is read), with *offset
 * where; CBOR_DETERMINISTIC_MALFORMED with the walker's error offset for
 * input that is not well-formed before any rule is broken.
 */
TOVAREL_API int cbor_deterministic_check(const void *input, uint64_t size, int order,
                                         uint64_t max_depth, int sequence, uint64_t *offset);

TOVAREL_END_DECLS

#endif /* TOVAREL_CBOR_DETERMINISTIC_H */
