/*
 * cbor_deterministic_errors.h - the decode error for each rule of
 * deterministic CBOR that the core's checks report, and the orders of the
 * decoding options as the core names them.
 */
#ifndef TOVAREL_BINDINGS_PYTHON_CBOR_DETERMINISTIC_ERRORS_H
#define TOVAREL_BINDINGS_PYTHON_CBOR_DETERMINISTIC_ERRORS_H

#include <cstdint>

#include <Python.h>

#include "cbor_deterministic.h"
#include "cbor_order.h"
#include "cbor_types.h"

namespace tovarel::cbor {

inline int deterministic_order(KeyOrder order) {
    return order == KeyOrder::length_first ? CBOR_DETERMINISTIC_LENGTH_FIRST
                                           : CBOR_DETERMINISTIC_CORE;
}

/* Raises CBORDecodeError for rule, broken at offset of the input, under the
 * order named mode; always false, for the callers' returns. */
inline bool raise_not_deterministic(int rule, uint64_t offset, const char *mode) {
    const unsigned long long at = reported_offset(offset);
    const char *form = nullptr;
    switch (rule) {
    case CBOR_DETERMINISTIC_LONG_HEAD:
        form = "a head longer than its argument needs";
        break;
    case CBOR_DETERMINISTIC_INDEFINITE:
        form = "an indefinite length";
        break;
    case CBOR_DETERMINISTIC_FLOAT_WIDTH:
        form = "a float that fits a shorter width";
        break;
    case CBOR_DETERMINISTIC_BIGNUM_FORM:
        form = "a bignum that is not in its shortest form";
        break;
    case CBOR_DETERMINISTIC_KEY_ORDER:
        PyErr_Format(decode_error, "map key at byte %llu is out of %s deterministic order", at,
                     mode);
        return false;
    case CBOR_DETERMINISTIC_DUPLICATE_KEY:
        PyErr_Format(decode_error, "duplicate map key at byte %llu", at);
        return false;
    case CBOR_DETERMINISTIC_SET_ORDER:
        PyErr_Format(decode_error, "set element at byte %llu is out of %s deterministic order", at,
                     mode);
        return false;
    case CBOR_DETERMINISTIC_DUPLICATE_ELEMENT:
        PyErr_Format(decode_error, "duplicate set element at byte %llu", at);
        return false;
    default:
        /* The binding asks the core only about well-formed input, where
         * every other answer is one of the rules above. */
        PyErr_Format(PyExc_SystemError, "unknown deterministic rule %d at byte %llu", rule, at);
        return false;
    }
    PyErr_Format(decode_error, "not deterministic: %s at byte %llu", form, at);
    return false;
}

} // namespace tovarel::cbor

#endif /* TOVAREL_BINDINGS_PYTHON_CBOR_DETERMINISTIC_ERRORS_H */
