/*
 * cbor_tags_decode.h - the Python value of a decoded tag: the standard
 * library's type for the tags that have one, else a Tag (or what the
 * caller's tag_hook makes of it).
 */
#ifndef TOVAREL_BINDINGS_PYTHON_CBOR_TAGS_DECODE_H
#define TOVAREL_BINDINGS_PYTHON_CBOR_TAGS_DECODE_H

#include <cstdint>

#include <Python.h>

namespace tovarel::cbor {

/* Tag numbers with a Python type of their own (2 and 3, bignums, are read
 * whole by the decoders). */
enum SemanticTag : uint64_t {
    tag_datetime_text = 0,
    tag_epoch_time = 1,
    tag_decimal_fraction = 4,
    tag_rational = 30,
    tag_uuid = 37,
    tag_ipv4 = 52,
    tag_ipv6 = 54,
    tag_epoch_date = 100,
    tag_set = 258,
    tag_date_text = 1004,
};

/*
 * The value of tag number around content (both decoded), as a new
 * reference; null with an exception on failure, a CBORDecodeError naming
 * offset (where the tag begins) when the content does not fit the tag.
 * frozen: the value is a map key or inside one (a set becomes a
 * frozenset).  tag_hook (may be null) is called with the Tag of a number
 * that has no type here, and its result is the value.
 */
PyObject *tag_value(uint64_t number, PyObject *content, bool frozen, uint64_t offset,
                    PyObject *tag_hook);

} // namespace tovarel::cbor

#endif /* TOVAREL_BINDINGS_PYTHON_CBOR_TAGS_DECODE_H */
