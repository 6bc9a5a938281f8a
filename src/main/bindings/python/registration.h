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
void tovarel_register_delta(pybind11::module_ &m);

#endif /* TOVAREL_BINDINGS_PYTHON_REGISTRATION_H */
