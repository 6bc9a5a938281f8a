/*
 * delta.cpp - the tovarel_core.delta submodule: binary deltas for Python.
 *
 * diff() and patch() hand the core views of the callers' bytes objects (no
 * copy on the way in) and return the core's result inside a PythonOutBuf,
 * which owns it and shows it through the buffer protocol (no copy on the
 * way out until the caller asks for one, e.g. with bytes()).
 *
 * The core signals failure only with a null result.  Each function raises
 * at once in that case, with a message that says what went wrong, so a
 * PythonOutBuf that Python can see always holds a result.
 */
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <typeinfo>

#include <pybind11/pybind11.h>

#include "buffer.hpp"
#include "diff_apply.h"
#include "diff_generate.h"
#include "registration.h"

namespace py = pybind11;

namespace {

using InBuf = tovarel::InBuffer<tovarel::InProxy>;
using OutBuf = tovarel::OutBuffer<tovarel::OutProxy, py::bytes>;

constexpr const char *delta_doc = R"(
        Tovarel Delta
        -----------------------

        .. currentmodule:: tovarel_delta

        .. autosummary::
           :toctree: _generate

           diff
    )";

constexpr const char *diff_doc = R"(
    Diff between 'old_value' and 'new_value'
    )";

constexpr const char *patch_doc = R"(
    Apply 'diff' to 'old_value'
    )";

/* Whether value is the C++ side of a constructed Python object.  pybind11
 * hands a function the storage of an object made by __new__ without
 * __init__ as if it were one: lazily allocated and never initialised.
 * Only constructed objects are in its registry of instances. */
template <typename T> bool constructed(const T *value) {
    const py::detail::type_info *type = py::detail::get_type_info(typeid(T));
    return py::reinterpret_steal<py::object>(
               py::detail::find_registered_python_instance(const_cast<T *>(value), type))
               .ptr() != nullptr;
}

/* The arguments are taken by pointer because pybind11 binds None to a null
 * pointer but refuses it for a reference; None is then refused here, before
 * the core is reached, with an empty RuntimeError. */
const buf *view_of(const InBuf *holder) {
    if (holder == nullptr) {
        throw std::runtime_error("");
    }
    if (!constructed(holder)) {
        throw py::type_error("PythonInBuf was not initialised");
    }
    return holder->get();
}

/* The core refuses values it cannot index with signed 32-bit positions;
 * any other null result means memory ran out. */
OutBuf diff(const InBuf *old_value, const InBuf *new_value) {
    const buf *old_view = view_of(old_value);
    const buf *new_view = view_of(new_value);
    OutBuf result(diff_generate_binary(old_view, new_view));
    if (result.get() != nullptr) {
        return result;
    }
    if (old_view->len >= DIFF_MAX_VALUE_SIZE || new_view->len >= DIFF_MAX_VALUE_SIZE) {
        throw py::value_error("diff supports values of at most " +
                              std::to_string(DIFF_MAX_VALUE_SIZE - 1) + " bytes");
    }
    throw std::bad_alloc();
}

/* A null result means the delta holds a copy pair that is incomplete or
 * reaches outside the old value.  Returning it as an empty or partial value
 * would pass a damaged value off as the patched one. */
OutBuf patch(const InBuf *old_value, const InBuf *delta) {
    const buf *old_view = view_of(old_value);
    const buf *delta_view = view_of(delta);
    OutBuf result(diff_apply_binary(old_view, delta_view));
    if (result.get() == nullptr) {
        throw py::value_error("patch received a malformed delta: a copy pair is incomplete "
                              "or reaches outside the old value");
    }
    return result;
}

/* The buffer request of PythonOutBuf.  pybind11's own handler assumes a
 * constructed object holding a result and cannot report a failure of ours,
 * so this guard refuses, with BufferError, an object made by __new__ alone
 * or one without a result, and hands every other request to it. */
extern "C" int out_buf_getbuffer(PyObject *self, Py_buffer *view, int flags) {
    auto *instance = reinterpret_cast<py::detail::instance *>(self);
    py::detail::value_and_holder holder =
        instance->get_value_and_holder(py::detail::get_type_info(typeid(OutBuf)), false);
    if (!holder || !holder.holder_constructed() || holder.value_ptr<OutBuf>()->get() == nullptr) {
        if (view != nullptr) {
            view->obj = nullptr;
        }
        PyErr_SetString(PyExc_BufferError, "PythonOutBuf holds no result");
        return -1;
    }
    return py::detail::pybind11_getbuffer(self, view, flags);
}

void guard_buffer_requests(PyHeapTypeObject *heap_type) {
    heap_type->as_buffer.bf_getbuffer = out_buf_getbuffer;
}

} // namespace

void tovarel_register_delta(py::module_ &m) {
    py::module_ delta = m.def_submodule("delta");
    delta.doc() = delta_doc;

    py::class_<OutBuf>(delta, "PythonOutBuf", py::buffer_protocol(),
                       py::custom_type_setup(guard_buffer_requests))
        .def_buffer([](const OutBuf &self) { return self.describe(); });

    py::class_<InBuf>(delta, "PythonInBuf").def(py::init<py::bytes>());
    py::implicitly_convertible<py::bytes, InBuf>();

    delta.def("diff", &diff, diff_doc, py::arg("old_value"), py::arg("new_value"));
    delta.def("patch", &patch, patch_doc, py::arg("old_value"), py::arg("diff"));

    delta.attr("__version__") = "dev";
}
