/*
 * cbor_objects.h - the Python object for each decoded scalar, shared by
 * both decoders so that they build the very same values.
 *
 * Each returns a new reference, or null with the interpreter's exception
 * set.
 */
#ifndef TOVAREL_BINDINGS_PYTHON_CBOR_OBJECTS_H
#define TOVAREL_BINDINGS_PYTHON_CBOR_OBJECTS_H

#include <climits>
#include <cstdint>

#include <Python.h>

#include "cbor_types.h"

namespace tovarel::cbor {

/* The simple values with a Python value of their own. */
constexpr unsigned simple_false = 20;
constexpr unsigned simple_true = 21;
constexpr unsigned simple_null = 22;
constexpr unsigned simple_undefined = 23;

/* Major type 0. */
inline PyObject *uint_object(uint64_t argument) {
    /* PyLong_FromLong serves the interpreter's cached small ints and
     * one-digit values at once; the unsigned conversion would first test
     * the size and then call it. */
    return argument <= static_cast<uint64_t>(LONG_MAX)
               ? PyLong_FromLong(static_cast<long>(argument))
               : PyLong_FromUnsignedLongLong(argument);
}

/* -1 - magnitude, consuming the reference (null passes through). */
inline PyObject *negative_from(PyObject *magnitude) {
    if (magnitude == nullptr) {
        return nullptr;
    }
    PyObject *value = PyNumber_Invert(magnitude);
    Py_DECREF(magnitude);
    return value;
}

/* Major type 1: -1 - argument. */
inline PyObject *negint_object(uint64_t argument) {
    if (argument <= static_cast<uint64_t>(INT64_MAX)) {
        return PyLong_FromLongLong(-1 - static_cast<long long>(argument));
    }
    return negative_from(PyLong_FromUnsignedLongLong(argument));
}

/* Tags 2 and 3: a big-endian magnitude m, the value m or -1 - m. */
inline PyObject *bignum_object(const uint8_t *bytes, uint64_t length, bool negative) {
    PyObject *magnitude = _PyLong_FromByteArray(bytes, length, 0, 0);
    return negative ? negative_from(magnitude) : magnitude;
}

inline PyObject *bytes_object(const uint8_t *bytes, uint64_t length) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(bytes),
                                     static_cast<Py_ssize_t>(length));
}

/* Major type 7 other than floats: 0..19 and 32..255 are Simple. */
inline PyObject *simple_object(unsigned number) {
    switch (number) {
    case simple_false:
        return Py_NewRef(Py_False);
    case simple_true:
        return Py_NewRef(Py_True);
    case simple_null:
        return Py_NewRef(Py_None);
    case simple_undefined:
        return Py_NewRef(&undefined_object);
    default:
        return new_simple(number);
    }
}

inline PyObject *float_object(double value) {
    return PyFloat_FromDouble(value);
}

} // namespace tovarel::cbor

#endif /* TOVAREL_BINDINGS_PYTHON_CBOR_OBJECTS_H */
