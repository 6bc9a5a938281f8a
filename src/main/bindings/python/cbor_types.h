/*
 * cbor_types.h - the values that only CBOR has (Tag, Simple, undefined) and
 * the decoding error, as the decoders build them and dumps writes them back.
 */
#ifndef TOVAREL_BINDINGS_PYTHON_CBOR_TYPES_H
#define TOVAREL_BINDINGS_PYTHON_CBOR_TYPES_H

#include <cstdint>

#include <pybind11/pybind11.h>

namespace tovarel::cbor {

extern PyObject *decode_error; /* cbor.CBORDecodeError */

/* Decode errors name offsets from the start of the caller's input.  A
 * stream reader decodes one item at a time from its own buffer, so while
 * it decodes an item that begins at byte N of its stream, N is added to
 * every offset an error names.  Per thread: a hook may let other threads
 * decode meanwhile. */
extern thread_local uint64_t error_offset_base;

inline unsigned long long reported_offset(uint64_t offset) {
    return static_cast<unsigned long long>(offset + error_offset_base);
}

/* Sets the base for one decoding call and restores the caller's after it,
 * so a loads inside a hook of a stream reader counts from its own input. */
class ErrorOffsetBase {
public:
    explicit ErrorOffsetBase(uint64_t base) : saved(error_offset_base) { error_offset_base = base; }
    ~ErrorOffsetBase() { error_offset_base = saved; }
    ErrorOffsetBase(const ErrorOffsetBase &) = delete;
    ErrorOffsetBase &operator=(const ErrorOffsetBase &) = delete;

private:
    uint64_t saved;
};
extern PyObject undefined_object;

/* A new Tag holding value (a new reference to it is taken), or null. */
PyObject *new_tag(uint64_t number, PyObject *value);

/* A new Simple of a number from 0 to 19 or 32 to 255, or null. */
PyObject *new_simple(unsigned number);

/* Whether object is a Tag; a Tag's number and content (borrowed). */
bool is_tag(PyObject *object);
uint64_t tag_number(PyObject *tag);
PyObject *tag_content(PyObject *tag);

/* Readies the types and adds CBORDecodeError, Tag, Simple and undefined. */
void register_types(pybind11::module_ &cbor);

} // namespace tovarel::cbor

namespace tovarel {

/* What dumps needs to write one of the CBOR-only values. */
struct CborOnlyValue {
    enum Kind { none, tag, simple, undefined } kind = none;
    uint64_t number = 0;       /* the tag number or simple value */
    PyObject *value = nullptr; /* a tag's content (borrowed) */
};

/* Recognises a Tag, Simple or undefined; kind none for anything else. */
CborOnlyValue cbor_only_value(PyObject *object);

} // namespace tovarel

#endif /* TOVAREL_BINDINGS_PYTHON_CBOR_TYPES_H */
