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
 *
 * Differ is a reusable diff configuration.  Unlike diff(), its diff()
 * releases the interpreter lock while the core compares, so deltas on
 * several threads use several cores; calls on one Myers Differ are
 * serialized on its own mutex, since its activity history has no lock.
 * With method="index" it uses the core's index method instead, whose only
 * memory between calls is per thread.
 */
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <typeinfo>

#include <pybind11/pybind11.h>

#include "buffer.hpp"
#include "diff_apply.h"
#include "diff_generate.h"
#include "diff_index.h"
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

constexpr const char *differ_doc = R"(
    A reusable diff configuration: Differ(*, level=0, step_budget=10000,
    adaptive=False, method="myers").  level is the engine's quality level, 0
    (most thorough) to 4 (common prefix and suffix only); step_budget bounds
    each search.  With adaptive=True the level follows this differ's recent
    load instead.  method="index" copies from anywhere in the old value, in
    linear time, on every core for large values; level then trades delta
    size for speed too, and step_budget and adaptive keep their defaults.
    diff() releases the interpreter lock while it computes; calls on one
    Myers Differ from several threads are serialized.
    )";

constexpr const char *differ_diff_doc = R"(
    Diff between 'old_value' and 'new_value' with this differ's settings
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
const InBuf &holder_of(const InBuf *holder) {
    if (holder == nullptr) {
        throw std::runtime_error("");
    }
    if (!constructed(holder)) {
        throw py::type_error("PythonInBuf was not initialised");
    }
    return *holder;
}

const buf *view_of(const InBuf *holder) {
    return holder_of(holder).get();
}

/* The core refuses values it cannot index with signed 32-bit positions;
 * any other null result means memory ran out. */
OutBuf checked_delta(buf *delta, const buf *old_view, const buf *new_view) {
    OutBuf result(delta);
    if (result.get() != nullptr) {
        return result;
    }
    if (old_view->len >= DIFF_MAX_VALUE_SIZE || new_view->len >= DIFF_MAX_VALUE_SIZE) {
        throw py::value_error("diff supports values of at most " +
                              std::to_string(DIFF_MAX_VALUE_SIZE - 1) + " bytes");
    }
    throw std::bad_alloc();
}

OutBuf diff(const InBuf *old_value, const InBuf *new_value) {
    const buf *old_view = view_of(old_value);
    const buf *new_view = view_of(new_value);
    return checked_delta(diff_generate_binary(old_view, new_view), old_view, new_view);
}

/* A null result means a damaged delta (or exhausted memory).  Returning it
 * as an empty or partial value would pass a damaged value off as the
 * patched one. */
OutBuf patch(const InBuf *old_value, const InBuf *delta) {
    const buf *old_view = view_of(old_value);
    const buf *delta_view = view_of(delta);
    int32_t status = DIFF_APPLY_OK;
    OutBuf result(diff_apply_binary_ex(old_view, delta_view, &status));
    if (result.get() != nullptr) {
        return result;
    }
    switch (status) {
    case DIFF_APPLY_NO_MEMORY:
        throw std::bad_alloc();
    case DIFF_APPLY_CUT_SHORT:
        throw py::value_error("patch received a malformed delta: an item is cut short");
    default:
        throw py::value_error("patch received a malformed delta: a copy pair is incomplete "
                              "or reaches outside the old value");
    }
}

/*
 * The settings of a Differ, fixed at construction.  Each diff() reads them
 * in one place (Differ::generate), which picks the core entry to call.
 */
struct DifferSettings {
    int32_t level = 0;
    int32_t step_budget = DIFF_DEFAULT_COST_LIMIT;
    bool adaptive = false;
    bool index = false; /* method="index" */
};

constexpr const char *myers_method = "myers";
constexpr const char *index_method = "index";

/*
 * The adaptive history: 16 buckets of 128 ms, a window of about 2 s.  A
 * bucket is 1/16 of the window, under half the gap of about 15% between
 * two quality levels, so the estimate's coarseness (one bucket counted
 * twice in place of the unfinished one) cannot move the level by more than
 * one step; 128 ms is far longer than a default diff of edited values of
 * a few MB, so nearly every comparison is charged exactly to its own bucket
 * (the history counts a longer one as one full bucket); and a load is
 * noticed, and forgotten, within about two seconds.
 */
constexpr int32_t history_buckets = 16;
constexpr uint64_t history_bucket_ms = 128;

struct HistoryFree {
    void operator()(tovarel_activity_history *history) const {
        tovarel_activity_history_free(history);
    }
};

class Differ {
public:
    explicit Differ(const DifferSettings &chosen) : settings(chosen) {
        if (settings.adaptive) {
            history.reset(tovarel_activity_history_create(history_buckets, history_bucket_ms));
            if (!history) {
                throw std::bad_alloc();
            }
        }
    }

    /* Runs with the interpreter lock released: it touches only the views,
     * which the caller keeps alive, and this differ's own state. */
    buf *generate(const buf *old_view, const buf *new_view) {
        /* The index method shares nothing between threads (what it keeps
         * between calls is per thread): nothing to serialize, so threads
         * sharing the differ run side by side. */
        if (settings.index) {
            diff_index_options options{0, settings.level, 0};
            last.store(settings.level);
            return diff_index_generate_binary_with_options(old_view, new_view, &options);
        }
        std::lock_guard<std::mutex> serialized(lock);
        buf *delta = nullptr;
        if (settings.adaptive) {
            delta = diff_generate_binary_with_activity_history_ex(history.get(), old_view, new_view,
                                                                  DIFF_DEFAULT_STORAGE_ALLOWANCE,
                                                                  settings.step_budget);
            last.store(tovarel_activity_history_get_last_delta_quality(history.get()));
        } else {
            delta =
                diff_generate_binary_at_level(old_view, new_view, DIFF_DEFAULT_STORAGE_ALLOWANCE,
                                              settings.step_budget, settings.level);
            last.store(settings.level);
        }
        return delta;
    }

    const DifferSettings settings;
    /* The level of the last call, -1 before the first; atomic so that it
     * can be read without waiting for a call in progress. */
    std::atomic<int32_t> last{-1};

private:
    std::unique_ptr<tovarel_activity_history, HistoryFree> history;
    std::mutex lock;
};

/* An int argument within [low, high].  bool is an int to Python, but a
 * level of True is a mistake, not a request for level 1. */
int32_t setting(const py::int_ &value, const char *name, long long low, long long high) {
    if (PyBool_Check(value.ptr())) {
        throw py::type_error(std::string(name) + " must be an int, not " +
                             Py_TYPE(value.ptr())->tp_name);
    }
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (number == -1 && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    if (overflow != 0 || number < low || number > high) {
        throw py::value_error(std::string(name) + " must be from " + std::to_string(low) + " to " +
                              std::to_string(high));
    }
    return static_cast<int32_t>(number);
}

/* The settings are checked here, at construction, so that a Differ that
 * exists can always diff.  An adaptive differ picks its own level; a level
 * given alongside would be silently ignored, so it is refused.  The index
 * method has levels of its own but no step budget, and so nothing to
 * adapt: those settings would be ignored as well. */
std::unique_ptr<Differ> make_differ(const py::int_ &level, const py::int_ &step_budget,
                                    const py::bool_ &adaptive, const py::str &method) {
    DifferSettings chosen;
    chosen.level = setting(level, "level", 0, DIFF_MAX_LEVEL);
    chosen.step_budget = setting(step_budget, "step_budget", 1, INT32_MAX);
    chosen.adaptive = adaptive.ptr() == Py_True;
    std::string name = method.cast<std::string>();
    if (name != myers_method && name != index_method) {
        throw py::value_error("method must be 'myers' or 'index'");
    }
    chosen.index = name == index_method;
    if (chosen.adaptive && chosen.level != 0) {
        throw py::value_error("level cannot be chosen when adaptive is True: the load picks it");
    }
    if (chosen.index && (chosen.step_budget != DIFF_DEFAULT_COST_LIMIT || chosen.adaptive)) {
        throw py::value_error("step_budget and adaptive belong to the myers method; "
                              "method='index' takes neither of them");
    }
    return std::make_unique<Differ>(chosen);
}

Differ &constructed_differ(Differ &differ) {
    if (!constructed(&differ)) {
        throw py::type_error("Differ was not initialised");
    }
    return differ;
}

/*
 * The inputs are held by copies of their holders, which keep the bytes
 * objects alive (and unchangeable) while the interpreter lock is released;
 * the copies are made and dropped with the lock held.  The interpreter lock
 * is released before the differ's mutex is taken, so a thread waiting for
 * the mutex never holds up the interpreter.
 */
OutBuf differ_diff(Differ &differ, const InBuf *old_value, const InBuf *new_value) {
    Differ &self = constructed_differ(differ);
    const InBuf old_holder(holder_of(old_value));
    const InBuf new_holder(holder_of(new_value));
    buf *delta = nullptr;
    {
        py::gil_scoped_release released;
        delta = self.generate(old_holder.get(), new_holder.get());
    }
    /* The index method takes values of any size: null is memory alone. */
    if (delta == nullptr && self.settings.index) {
        throw std::bad_alloc();
    }
    return checked_delta(delta, old_holder.get(), new_holder.get());
}

py::object differ_last_level(Differ &differ) {
    int32_t level = constructed_differ(differ).last.load();
    return level < 0 ? py::object(py::none()) : py::object(py::int_(level));
}

std::string differ_repr(Differ &differ) {
    const DifferSettings &settings = constructed_differ(differ).settings;
    if (settings.index) {
        return settings.level == 0
                   ? "Differ(method='index')"
                   : "Differ(level=" + std::to_string(settings.level) + ", method='index')";
    }
    return "Differ(level=" + std::to_string(settings.level) +
           ", step_budget=" + std::to_string(settings.step_budget) +
           ", adaptive=" + (settings.adaptive ? "True" : "False") + ")";
}

/* The result of a PythonOutBuf that Python may read: objects made by
 * __new__ alone, or (never seen) without a result, are refused. */
const buf &result_of(const OutBuf &out) {
    if (!constructed(&out) || out.get() == nullptr) {
        throw py::type_error("PythonOutBuf holds no result");
    }
    return *out.get();
}

/* Equality with any object that exposes its bytes contiguously (bytes,
 * bytearray, another result, ...), byte for byte.  Anything else is left
 * to the other operand.  bytes == result comes here too: bytes declines
 * objects of other types, and Python then asks the right-hand side. */
py::object out_buf_eq(const OutBuf &out, const py::object &other) {
    const buf &result = result_of(out);
    Py_buffer view;
    if (PyObject_GetBuffer(other.ptr(), &view, PyBUF_SIMPLE) != 0) {
        PyErr_Clear();
        return py::reinterpret_borrow<py::object>(Py_NotImplemented);
    }
    bool equal = static_cast<uint64_t>(view.len) == result.len &&
                 (result.len == 0 || memcmp(view.buf, result.data, result.len) == 0);
    PyBuffer_Release(&view);
    return py::bool_(equal);
}

/* How many leading bytes the repr shows. */
constexpr uint64_t repr_bytes = 16;

std::string out_buf_repr(const OutBuf &out) {
    const buf &result = result_of(out);
    uint64_t shown = result.len < repr_bytes ? result.len : repr_bytes;
    py::bytes head(reinterpret_cast<const char *>(result.data), static_cast<py::ssize_t>(shown));
    return "<PythonOutBuf of " + std::to_string(result.len) +
           " bytes: " + py::repr(head).cast<std::string>() + (shown < result.len ? "...>" : ">");
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
        .def_buffer([](const OutBuf &self) { return self.describe(); })
        .def("__len__", [](const OutBuf &self) { return result_of(self).len; })
        .def("__eq__", &out_buf_eq, py::is_operator())
        .def("__repr__", &out_buf_repr)
        // A writable view can change the content, so a hash could go stale.
        .attr("__hash__") = py::none();

    py::class_<InBuf>(delta, "PythonInBuf").def(py::init<py::bytes>());
    py::implicitly_convertible<py::bytes, InBuf>();

    delta.def("diff", &diff, diff_doc, py::arg("old_value"), py::arg("new_value"));
    delta.def("patch", &patch, patch_doc, py::arg("old_value"), py::arg("diff"));
    py::class_<Differ>(delta, "Differ", differ_doc)
        .def(py::init(&make_differ), py::kw_only(), py::arg("level") = py::int_(0),
             py::arg("step_budget") = py::int_(DIFF_DEFAULT_COST_LIMIT),
             py::arg("adaptive") = py::bool_(false), py::arg("method") = py::str(myers_method))
        .def("diff", &differ_diff, differ_diff_doc, py::arg("old_value"), py::arg("new_value"))
        .def_property_readonly("level",
                               [](Differ &self) { return constructed_differ(self).settings.level; })
        .def_property_readonly(
            "step_budget",
            [](Differ &self) { return constructed_differ(self).settings.step_budget; })
        .def_property_readonly(
            "adaptive", [](Differ &self) { return constructed_differ(self).settings.adaptive; })
        .def_property_readonly("method",
                               [](Differ &self) {
                                   return constructed_differ(self).settings.index ? index_method
                                                                                  : myers_method;
                               })
        .def_property_readonly("last_level", &differ_last_level)
        .def("__repr__", &differ_repr);

    delta.attr("__version__") = "dev";
}
