/*
 * main.cpp - the entry of the tovarel_core extension module.
 *
 * The entry is assembled from the binding library's own module-definition
 * pieces (version check, registry, module creation, translation of
 * registration failures into ImportError), in the order its module macro
 * uses, with one addition: it refuses to run a second time in a process.
 *
 * The interpreter runs the entry once and caches the module, but anything
 * that calls PyInit_tovarel_core again (for example through ctypes) would
 * rebuild the static module definition in place while the interpreter's
 * table of extensions still refers to it, resetting its reference count;
 * the interpreter then frees that static record at exit and aborts.  A
 * second run would fail anyway (the delta classes are registered once per
 * process), so it is refused before anything is touched.
 *
 * The top-level module carries only the package's version (the one pip
 * shows, handed in by the build as TOVAREL_VERSION); everything else lives
 * in the two submodules, registered cbor first, then delta.
 */
#include <exception>

#include <pybind11/pybind11.h>

#include "registration.h"

namespace py = pybind11;

namespace {

py::module_::module_def module_definition;
bool entered = false;

} // namespace

extern "C" PYBIND11_EXPORT PyObject *PyInit_tovarel_core();

extern "C" PYBIND11_EXPORT PyObject *PyInit_tovarel_core() {
    PYBIND11_CHECK_PYTHON_VERSION
    if (entered) {
        PyErr_SetString(PyExc_ImportError,
                        "tovarel_core is already initialised in this process: its classes "
                        "cannot be registered twice");
        return nullptr;
    }
    entered = true;
    PYBIND11_ENSURE_INTERNALS_READY
    auto m = py::module_::create_extension_module("tovarel_core", nullptr, &module_definition);
    try {
        tovarel_register_cbor(m);
        tovarel_register_delta(m);
        m.attr("__version__") = TOVAREL_VERSION;
        return m.ptr(); // the module was created with an extra reference
    }
    PYBIND11_CATCH_INIT_EXCEPTIONS
    return nullptr; // some versions of the handlers above do not return themselves
}
