/*
 * main.cpp - the entry of the tovarel_core extension module.
 *
 * The binding library's module definition supplies the version check (the
 * module refuses any interpreter but the one it was built for), the module
 * object and the translation of registration failures into ImportError.
 * The top-level module carries nothing of its own: everything lives in the
 * two submodules, registered cbor first, then delta.
 */
#include <pybind11/pybind11.h>

#include "registration.h"

PYBIND11_MODULE(tovarel_core, m) {
    tovarel_register_cbor(m);
    tovarel_register_delta(m);
}
