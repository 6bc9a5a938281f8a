/*
 * cbor_encode.h - the encoder behind cbor.Encoder: everything dumps writes,
 * the standard library's types as their CBOR tags, and a caller's default
 * hook for anything else.
 */
#ifndef TOVAREL_BINDINGS_PYTHON_CBOR_ENCODE_H
#define TOVAREL_BINDINGS_PYTHON_CBOR_ENCODE_H

#include <cstdint>

#include <Python.h>

#include "cbor_order.h"

namespace tovarel::cbor {

/* An Encoder's settings; the objects are borrowed from it. */
struct EncodeOptions {
    PyObject *default_hook = nullptr; /* null: none */
    bool datetime_as_timestamp = false;
    PyObject *timezone = nullptr; /* a tzinfo for naive datetimes; null: none */
    bool indefinite = false;
    uint64_t max_depth = 0;          /* 0: no limit */
    KeyOrder order = KeyOrder::none; /* deterministic: map keys and set elements sorted */
};

/* The encoding of value as a new bytes object, or null with an exception.
 * Without fast_path only the general walk runs: the reference the fast
 * path is tested against. */
PyObject *encode_value(PyObject *value, const EncodeOptions &options, bool fast_path = true);

} // namespace tovarel::cbor

#endif /* TOVAREL_BINDINGS_PYTHON_CBOR_ENCODE_H */
