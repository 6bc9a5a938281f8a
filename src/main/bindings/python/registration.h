/*
 * registration.h - the routines that fill the submodules of tovarel_core.
 *
 * Each takes the new top-level module, creates its submodule in it and
 * registers everything the submodule offers.  Failures are raised as
 * exceptions, which the module entry turns into ImportError.
 */
#ifndef TOVAREL_BINDINGS_PYTHON_REGISTRATION_H
#define TOVAREL_BINDINGS_PYTHON_REGISTRATION_H

#include <pybind11/pybind11.h>

void tovarel_register_cbor(pybind11::module_ &m);

/* Adds the functions of a table ending in a null name to the module, as
 * built-in functions of its own (for entries written against the C API,
 * where pybind11's wrapping would cost a call's worth of argument
 * handling). */
inline void tovarel_add_functions(pybind11::module_ &m, PyMethodDef *functions) {
    for (PyMethodDef *function = functions; function->ml_name != nullptr; function++) {
        pybind11::object callable = pybind11::reinterpret_steal<pybind11::object>(
            PyCFunction_NewEx(function, nullptr, m.attr("__name__").ptr()));
        if (!callable) {
            throw pybind11::error_already_set();
        }
        m.add_object(function->ml_name, callable);
    }
}
void tovarel_register_delta(pybind11::module_ &m);

#endif /* TOVAREL_BINDINGS_PYTHON_REGISTRATION_H */
