/*
 * cbor_loads.h - CBOR decoding for the cbor submodule, and the value types
 * that only CBOR has (Tag, Simple, undefined), which dumps writes back.
 */
#ifndef TOVAREL_BINDINGS_PYTHON_CBOR_LOADS_H
#define TOVAREL_BINDINGS_PYTHON_CBOR_LOADS_H

#include <cstdint>
#include <utility>

#include <pybind11/pybind11.h>

#include "cbor_types.h"

/* Adds loads, loads_sequence, CBORDecodeError, Tag, Simple and undefined. */
void tovarel_register_cbor_loads(pybind11::module_ &cbor);

namespace tovarel {

/* An argument that is either a CBOR-only value or whatever Value's own
 * conversion accepts.  Its conversion bears Value's name, so a function
 * signature that takes it reads exactly as one taking Value. */
template <typename Value> struct ValueOrCborOnly {
    pybind11::object cbor_only;
    Value value;
};

} // namespace tovarel

namespace pybind11::detail {

template <typename Value> struct type_caster<tovarel::ValueOrCborOnly<Value>> {
    PYBIND11_TYPE_CASTER(tovarel::ValueOrCborOnly<Value>, make_caster<Value>::name);

    bool load(handle source, bool convert) {
        if (tovarel::cbor_only_value(source.ptr()).kind != tovarel::CborOnlyValue::none) {
            value.cbor_only = reinterpret_borrow<object>(source);
            return true;
        }
        make_caster<Value> inner;
        if (!inner.load(source, convert)) {
            return false;
        }
        value.value = cast_op<Value &&>(std::move(inner));
        return true;
    }
};

} // namespace pybind11::detail

#endif /* TOVAREL_BINDINGS_PYTHON_CBOR_LOADS_H */
