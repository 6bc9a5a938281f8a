/*
 * cbor_encoder.h - cbor.Encoder, the encoder with settings: the standard
 * library's types as CBOR tags, a default hook, and dumps' options.
 */
#ifndef TOVAREL_BINDINGS_PYTHON_CBOR_ENCODER_H
#define TOVAREL_BINDINGS_PYTHON_CBOR_ENCODER_H

#include <string>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "cbor_encode.h"

namespace tovarel::cbor {

class Encoder {
public:
    Encoder(pybind11::object default_hook, bool datetime_as_timestamp, pybind11::object time_zone,
            bool indefinite, unsigned long long max_depth, pybind11::object deterministic);

    pybind11::bytes encode(pybind11::handle value) const;
    /* encode without the fast path: the reference the tests hold it to. */
    pybind11::bytes encode_plain(pybind11::handle value) const;
    void dump(pybind11::handle value, pybind11::handle fp) const;
    std::string repr() const;

    /* The settings' objects are held here; options borrows them. */
    pybind11::object hook;
    pybind11::object zone;
    pybind11::object deterministic; /* None, "core" or "length_first" */
    EncodeOptions options;
};

/* Adds Encoder to the cbor submodule. */
void register_encoder(pybind11::module_ &cbor);

} // namespace tovarel::cbor

#endif /* TOVAREL_BINDINGS_PYTHON_CBOR_ENCODER_H */
