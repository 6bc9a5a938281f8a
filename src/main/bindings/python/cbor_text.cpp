/*
 * cbor_text.cpp - the key cache's table, and the decode error for text
 * that is not UTF-8.
 */
#include "cbor_text.h"

#include "cbor_types.h"

namespace tovarel::cbor {

PyObject *key_cache[key_cache_size];

/* The interpreter's strict decoder is the check of definite text (the
 * walker leaves it to us rather than validate twice). */
void raise_text_error(uint64_t offset) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        return;
    }
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Py_ssize_t start = 0;
    if (value == nullptr || PyUnicodeDecodeError_GetStart(value, &start) != 0) {
        PyErr_Clear();
        start = 0;
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    PyErr_Format(decode_error, "invalid UTF-8 in a text string at byte %llu",
                 reported_offset(offset + static_cast<uint64_t>(start)));
}

} // namespace tovarel::cbor
