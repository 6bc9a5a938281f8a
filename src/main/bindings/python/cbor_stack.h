/*
 * cbor_stack.h - the bound on the nesting of the values the encoders walk.
 */
#ifndef TOVAREL_BINDINGS_PYTHON_CBOR_STACK_H
#define TOVAREL_BINDINGS_PYTHON_CBOR_STACK_H

#include <cstdint>

#include <pybind11/pybind11.h>

namespace tovarel::cbor {

/* The lowest stack address this thread may walk down to (leaving room for
 * raising an error), or 0 when the stack's bounds are unknown. */
std::uintptr_t stack_floor();

/* Whether the caller's frame is below the floor. */
bool stack_exhausted();

/* Bounds the nesting of one container being walked; without a bound a list
 * may even hold itself.  The interpreter's recursion check gives the usual
 * RecursionError at its limit, but that limit can be raised past what the
 * native stack holds (or a thread may have a small stack), so the stack's
 * own headroom is checked as well. */
class RecursionGuard {
public:
    RecursionGuard() {
        if (stack_exhausted()) {
            PyErr_SetString(PyExc_RecursionError,
                            "native stack exhausted while encoding a Python object to cbor");
            throw pybind11::error_already_set();
        }
        if (Py_EnterRecursiveCall(" while encoding a Python object to cbor") != 0) {
            throw pybind11::error_already_set();
        }
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
};

} // namespace tovarel::cbor

#endif /* TOVAREL_BINDINGS_PYTHON_CBOR_STACK_H */
