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
 * memory between calls is per thread.  With checked=True its deltas carry
 * a check (the old and new values' sizes and CRC-64s) that patch verifies.
 *
 * Differ.diff, Differ.patch and inspect take any C-contiguous buffer of
 * bytes and hold its export for the whole call; results pickle as their
 * bytes, differs as their settings.  compact=True (index method only)
 * gives the compact form, which patch applies, checked or not.
 */
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <typeinfo>

#include <pybind11/pybind11.h>

#include "buffer.hpp"
#include "diff_apply.h"
#include "diff_compact_apply.h"
#include "diff_compact_generate.h"
#include "diff_generate.h"
#include "diff_index.h"
#include "diff_patch.h"
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
    adaptive=False, method="myers", checked=False, compact=False).  level is
    the engine's quality level, 0 (most thorough) to 4 (common prefix and
    suffix only); step_budget bounds each search.  With adaptive=True the
    level follows this differ's recent load instead.  method="index" copies
    from anywhere in the old value, in linear time, on every core for large
    values; level then trades delta size for speed too, and step_budget and
    adaptive keep their defaults.  With checked=True each delta carries the
    sizes and CRC-64s of both values, and patch() refuses deltas without
    them.  compact=True (index method only) entropy-codes the delta and lets
    copies differ from the old bytes at a few places: smaller deltas, for a
    little more time; delta.patch applies them.
    diff() and patch() take any C-contiguous buffer of bytes and release the
    interpreter lock while they compute; calls on one Myers Differ from
    several threads are serialized.
    )";

constexpr const char *differ_diff_doc = R"(
    Diff between 'old_value' and 'new_value' with this differ's settings
    )";

constexpr const char *differ_patch_doc = R"(
    Apply 'delta' to 'old_value', verifying the delta's check
    )";

constexpr const char *inspect_doc = R"(
    What 'delta' holds, read without the old value: a DeltaInfo
    )";

constexpr const char *delta_info_doc =
    "What a delta holds: form ('plain', 'checked', 'replacement' or 'no-change'), "
    "old_size and new_size (from its check; None without one), copies (copy pairs), "
    "copied_bytes, inserted_bytes, and body (the form of the items after any check).";

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

/* The size of the value a delta's items build from an old value of
 * old_size bytes, as far as they can be read. */
uint64_t built_size(const buf *delta_view, uint64_t old_size) {
    diff_check check = {};
    uint64_t offset = 0;
    diff_check_read(delta_view, &check, &offset);
    buf body = {delta_view->data + offset, delta_view->len - offset, delta_view->len - offset};
    diff_summary summary = {};
    diff_patch_body_reader(&body)->summarize(&body, old_size, &summary);
    if (summary.form == DIFF_FORM_NO_CHANGE) {
        return old_size;
    }
    return summary.copied_bytes + summary.inserted_bytes;
}

/* Why a compact body was refused, in words. */
const char *compact_failure(int32_t status) {
    switch (status) {
    case DIFF_COMPACT_BAD_CONTROL:
        return "its control stream is damaged";
    case DIFF_COMPACT_BAD_LITERALS:
        return "its literal stream is damaged";
    case DIFF_COMPACT_BAD_DIFFERENCES:
        return "its difference stream is damaged";
    case DIFF_COMPACT_BAD_COPY:
        return "a copy reaches outside the old value";
    case DIFF_COMPACT_BAD_LENGTH:
        return "it does not rebuild the length it declares";
    default:
        return "its heads are not those of the compact form";
    }
}

/* Why a check refused the old value: its size, else its CRC. */
std::string wrong_old(const buf *old_view, const diff_check &check) {
    if (old_view->len != check.old_size) {
        return "the delta is for a value of " + std::to_string(check.old_size) +
               " bytes and this one has " + std::to_string(old_view->len);
    }
    return "its CRC-64 differs from the one the delta names";
}

/*
 * Raises the exception for a delta that `function` ("patch", "inspect")
 * refused with `status`; inspect has no old value (old_view is null).  A damaged delta and a wrong
 * old value are the caller's to handle (ValueError); a lack of memory is MemoryError.  The check's
 * refusals say which size or CRC differed, read again here: the core reports only why it failed.
 */
[[noreturn]] void refuse(int32_t status, const std::string &function, const buf *old_view,
                         const buf *delta_view) {
    diff_check check = {};
    uint64_t body = 0;
    diff_check_read(delta_view, &check, &body);
    if (status >= DIFF_COMPACT_BAD_HEADER && status <= DIFF_COMPACT_BAD_LENGTH) {
        throw py::value_error(function +
                              " received a malformed compact delta: " + compact_failure(status));
    }
    switch (status) {
    case DIFF_APPLY_NO_MEMORY:
        throw std::bad_alloc();
    case DIFF_APPLY_CUT_SHORT:
        throw py::value_error(function + " received a malformed delta: an item is cut short");
    case DIFF_APPLY_BAD_CHECK:
        throw py::value_error(function + " received a malformed delta: its check is damaged (the "
                                         "check's tag is not followed by four negative integers)");
    case DIFF_APPLY_NO_CHECK:
        throw py::value_error(function + " received a delta without a check, and this Differ "
                                         "applies checked deltas only");
    case DIFF_APPLY_WRONG_OLD:
        throw py::value_error(
            function + " received a delta for another old value: " + wrong_old(old_view, check));
    case DIFF_APPLY_WRONG_RESULT: {
        uint64_t size = built_size(delta_view, check.old_size);
        if (old_view == nullptr) {
            throw py::value_error(
                function + " received a delta whose items do not match its " + "check: " +
                (size != check.new_size
                     ? "they build " + std::to_string(size) + " bytes where the check says " +
                           std::to_string(check.new_size)
                     : std::string("they give the old value back, but the "
                                   "check names two different values")));
        }
        throw py::value_error(
            function + " produced a value that does not match the delta's " + "check: " +
            (size != check.new_size ? std::to_string(size) + " bytes where the check says " +
                                          std::to_string(check.new_size)
                                    : std::string("its CRC-64 differs from the check's")));
    }
    default:
        throw py::value_error(function + " received a malformed delta: a copy pair is incomplete "
                                         "or reaches outside the old value");
    }
}

/* A null result means a damaged delta, a wrong old value (for a checked
 * delta), or exhausted memory.  Returning it as an empty or partial value
 * would pass a damaged value off as the patched one. */
OutBuf patch(const InBuf *old_value, const InBuf *delta) {
    const buf *old_view = view_of(old_value);
    const buf *delta_view = view_of(delta);
    int32_t status = DIFF_APPLY_OK;
    OutBuf result(diff_patch(old_view, delta_view, 0, &status));
    if (result.get() == nullptr) {
        refuse(status, "patch", old_view, delta_view);
    }
    return result;
}

/*
 * The settings of a Differ, fixed at construction.  Each diff() reads them
 * in one place (Differ::generate), which picks the core entry to call.
 */
struct DifferSettings {
    int32_t level = 0;
    int32_t step_budget = DIFF_DEFAULT_COST_LIMIT;
    bool adaptive = false;
    bool index = false;   /* method="index" */
    bool checked = false; /* deltas carry a check, and patch requires one */
    bool compact = false; /* the compact form, index method only */
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
     * which the caller keeps alive, and this differ's own state.  A checked
     * differ puts the check in front of whatever delta the method gives. */
    buf *generate(const buf *old_view, const buf *new_view) {
        buf *delta = generate_plain(old_view, new_view);
        if (delta == nullptr || !settings.checked) {
            return delta;
        }
        diff_check check = diff_check_of(old_view, new_view);
        if (!diff_check_prepend(delta, &check)) {
            buf_free(delta);
            return nullptr;
        }
        return delta;
    }

    const DifferSettings settings;
    /* The level of the last call, -1 before the first; atomic so that it
     * can be read without waiting for a call in progress. */
    std::atomic<int32_t> last{-1};

private:
    buf *generate_plain(const buf *old_view, const buf *new_view) {
        /* The index method shares nothing between threads (what it keeps
         * between calls is per thread): nothing to serialize, so threads
         * sharing the differ run side by side. */
        if (settings.index) {
            last.store(settings.level);
            if (settings.compact) {
                return diff_compact_generate_binary(old_view, new_view);
            }
            diff_index_options options{0, settings.level, 0};
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
                                    const py::bool_ &adaptive, const py::str &method,
                                    const py::bool_ &checked, const py::bool_ &compact) {
    DifferSettings chosen;
    chosen.level = setting(level, "level", 0, DIFF_MAX_LEVEL);
    chosen.step_budget = setting(step_budget, "step_budget", 1, INT32_MAX);
    chosen.adaptive = adaptive.ptr() == Py_True;
    std::string name = method.cast<std::string>();
    if (name != myers_method && name != index_method) {
        throw py::value_error("method must be 'myers' or 'index'");
    }
    chosen.index = name == index_method;
    chosen.checked = checked.ptr() == Py_True;
    chosen.compact = compact.ptr() == Py_True;
    if (chosen.compact && !chosen.index) {
        throw py::value_error("compact=True needs method='index'");
    }
    /* The compact form searches as deep as it needs itself: a level would
     * be ignored. */
    if (chosen.compact && chosen.level != 0) {
        throw py::value_error("level cannot be chosen with compact=True");
    }
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
 * An input of the Differ's methods and of inspect: a PythonInBuf (the
 * bytes it holds, kept alive by a copy of the holder), or any object that
 * exports a C-contiguous buffer of bytes, whose export is held.  Either
 * way the storage stays where it is and as large as it is until the input
 * is dropped, so the core may read it with the interpreter lock released.
 * Made and dropped with the lock held.
 */
class Input {
public:
    Input(const py::handle &object, const std::string &argument) {
        if (py::isinstance<InBuf>(object)) {
            holder.emplace(holder_of(&object.cast<const InBuf &>()));
        } else {
            exported.emplace(object, argument);
        }
    }

    const buf *get() const { return holder ? holder->get() : exported->get(); }

private:
    std::optional<InBuf> holder;
    std::optional<tovarel::BufferExport> exported;
};

/* The interpreter lock is released before the differ's mutex is taken, so
 * a thread waiting for the mutex never holds up the interpreter. */
OutBuf differ_diff(Differ &differ, const py::object &old_value, const py::object &new_value) {
    Differ &self = constructed_differ(differ);
    const Input old_input(old_value, "Differ.diff() argument 'old_value'");
    const Input new_input(new_value, "Differ.diff() argument 'new_value'");
    buf *delta = nullptr;
    {
        py::gil_scoped_release released;
        delta = self.generate(old_input.get(), new_input.get());
    }
    /* The index method takes values of any size: null is memory alone. */
    if (delta == nullptr && self.settings.index && !self.settings.compact) {
        throw std::bad_alloc();
    }
    return checked_delta(delta, old_input.get(), new_input.get());
}

/* A checked differ applies checked deltas only: a delta that has lost its
 * check cannot be told from one that never had it. */
OutBuf differ_patch(Differ &differ, const py::object &old_value, const py::object &delta) {
    Differ &self = constructed_differ(differ);
    const Input old_input(old_value, "Differ.patch() argument 'old_value'");
    const Input delta_input(delta, "Differ.patch() argument 'delta'");
    uint32_t flags = self.settings.checked ? DIFF_PATCH_REQUIRE_CHECK : 0;
    int32_t status = DIFF_APPLY_OK;
    buf *result = nullptr;
    {
        py::gil_scoped_release released;
        result = diff_patch(old_input.get(), delta_input.get(), flags, &status);
    }
    if (result == nullptr) {
        refuse(status, "patch", old_input.get(), delta_input.get());
    }
    return OutBuf(result);
}

py::object differ_last_level(Differ &differ) {
    int32_t level = constructed_differ(differ).last.load();
    return level < 0 ? py::object(py::none()) : py::object(py::int_(level));
}

std::string differ_repr(Differ &differ) {
    const DifferSettings &settings = constructed_differ(differ).settings;
    /* checked is shown only when set, so the repr of every other differ
     * stays what it was. */
    std::string checked = settings.checked ? ", checked=True" : "";
    if (settings.index) {
        std::string level =
            settings.level == 0 ? "" : "level=" + std::to_string(settings.level) + ", ";
        return "Differ(" + level + "method='index'" + (settings.compact ? ", compact=True" : "") +
               checked + ")";
    }
    return "Differ(level=" + std::to_string(settings.level) +
           ", step_budget=" + std::to_string(settings.step_budget) +
           ", adaptive=" + (settings.adaptive ? "True" : "False") + checked + ")";
}

/*
 * A differ travels as its settings, by name, and is made again from them
 * as if they were given to Differ(); a setting missing from the state (one
 * written before the setting existed) takes its default.  An adaptive differ's history starts
 * afresh: the load it measured belongs to the process it ran in.
 */
py::dict differ_state(Differ &differ) {
    const DifferSettings &settings = constructed_differ(differ).settings;
    py::dict state;
    state["level"] = settings.level;
    state["step_budget"] = settings.step_budget;
    state["adaptive"] = settings.adaptive;
    state["method"] = settings.index ? index_method : myers_method;
    state["checked"] = settings.checked;
    state["compact"] = settings.compact;
    return state;
}

std::unique_ptr<Differ> differ_from_state(const py::dict &state) {
    /* Through the constructor itself, keywords and all, so that a state is
     * checked exactly as the same settings given by hand. */
    py::object made = py::type::of<Differ>()(**state);
    return std::make_unique<Differ>(made.cast<Differ &>().settings);
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

/* r[i] is an int from 0 to 255 and r[a:b] (any step) is bytes, as for
 * bytes: the view's signed items are for the buffer protocol only. */
py::object out_buf_getitem(const OutBuf &out, const py::object &key) {
    const buf &result = result_of(out);
    auto size = static_cast<Py_ssize_t>(result.len);
    if (PySlice_Check(key.ptr())) {
        Py_ssize_t start = 0, stop = 0, step = 0;
        if (PySlice_Unpack(key.ptr(), &start, &stop, &step) < 0) {
            throw py::error_already_set();
        }
        Py_ssize_t length = PySlice_AdjustIndices(size, &start, &stop, step);
        if (step == 1) {
            return py::bytes(reinterpret_cast<const char *>(result.data) + start, length);
        }
        py::object sliced =
            py::reinterpret_steal<py::object>(PyBytes_FromStringAndSize(nullptr, length));
        if (!sliced) {
            throw py::error_already_set();
        }
        char *into = PyBytes_AS_STRING(sliced.ptr());
        for (Py_ssize_t i = 0; i < length; i++) {
            into[i] = static_cast<char>(result.data[start + i * step]);
        }
        return sliced;
    }
    if (!PyIndex_Check(key.ptr())) {
        throw py::type_error(std::string("PythonOutBuf indices must be integers or slices, not ") +
                             Py_TYPE(key.ptr())->tp_name);
    }
    Py_ssize_t index = PyNumber_AsSsize_t(key.ptr(), PyExc_IndexError);
    if (index == -1 && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    if (index < 0) {
        index += size;
    }
    if (index < 0 || index >= size) {
        throw py::index_error("PythonOutBuf index out of range");
    }
    return py::int_(result.data[index]);
}

/* The bytes of `first` followed by those of `second`, or NotImplemented when
 * either exports no buffer (so that Python asks the other operand). */
py::object concatenated(const py::handle &first, const py::handle &second) {
    Py_buffer views[2];
    if (PyObject_GetBuffer(first.ptr(), &views[0], PyBUF_SIMPLE) != 0) {
        PyErr_Clear();
        return py::reinterpret_borrow<py::object>(Py_NotImplemented);
    }
    if (PyObject_GetBuffer(second.ptr(), &views[1], PyBUF_SIMPLE) != 0) {
        PyErr_Clear();
        PyBuffer_Release(&views[0]);
        return py::reinterpret_borrow<py::object>(Py_NotImplemented);
    }
    PyObject *joined = nullptr;
    if (views[0].len <= PY_SSIZE_T_MAX - views[1].len) {
        joined = PyBytes_FromStringAndSize(nullptr, views[0].len + views[1].len);
    } else {
        PyErr_NoMemory();
    }
    if (joined != nullptr) {
        char *into = PyBytes_AS_STRING(joined);
        memcpy(into, views[0].buf, static_cast<size_t>(views[0].len));
        memcpy(into + views[0].len, views[1].buf, static_cast<size_t>(views[1].len));
    }
    PyBuffer_Release(&views[0]);
    PyBuffer_Release(&views[1]);
    if (joined == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(joined);
}

/* A result travels (pickle, copy) as its bytes, and comes back as a result
 * of its own: a copy never shares storage that a writable view may change. */
py::bytes out_buf_state(const OutBuf &out) {
    const buf &result = result_of(out);
    return py::bytes(reinterpret_cast<const char *>(result.data),
                     static_cast<py::ssize_t>(result.len));
}

OutBuf out_buf_from_state(const py::bytes &state) {
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(state.ptr(), &data, &size) != 0) {
        throw py::error_already_set();
    }
    OutBuf result(buf_create());
    if (result.get() == nullptr || (size > 0 && !_buf_append(const_cast<buf *>(result.get()), data,
                                                             static_cast<uint64_t>(size)))) {
        throw std::bad_alloc();
    }
    return result;
}

/* A holder travels as the bytes it holds. */
py::bytes in_buf_state(const InBuf &holder) {
    const buf *view = holder_of(&holder).get();
    if (py::isinstance<py::bytes>(holder.owner)) {
        return py::reinterpret_borrow<py::bytes>(holder.owner);
    }
    return py::bytes(reinterpret_cast<const char *>(view->data),
                     static_cast<py::ssize_t>(view->len));
}

/*
 * patch() (and diff()) take a result where a PythonInBuf is expected,
 * without copying it: the holder lends the core the result's own bytes and
 * keeps the result alive.  This is pybind11's implicit conversion made by
 * hand: its own would call PythonInBuf(result), which would need a second
 * constructor, and that would show in PythonInBuf's signature and in the
 * message for a wrong argument.  Returns a new holder, or null when the
 * object is not a result (the argument then does not match).
 */
PyObject *in_buf_from_result(PyObject *object, PyTypeObject *) {
    /* Called from pybind11's argument loader as a plain C function: no
     * exception may leave it. */
    try {
        if (!py::isinstance<OutBuf>(object)) {
            return nullptr;
        }
        const OutBuf *out = py::handle(object).cast<const OutBuf *>();
        if (out == nullptr || !constructed(out) || out->get() == nullptr) {
            return nullptr;
        }
        return py::cast(InBuf(py::reinterpret_borrow<py::object>(object), *out->get()))
            .release()
            .ptr();
    } catch (...) {
        PyErr_Clear();
        return nullptr;
    }
}

/* The record inspect returns: a named tuple, registered as DeltaInfo.  The
 * module keeps the class; this handle borrows it. */
py::handle delta_info_type;

const char *form_name(int32_t form) {
    switch (form) {
    case DIFF_FORM_REPLACEMENT:
        return "replacement";
    case DIFF_FORM_NO_CHANGE:
        return "no-change";
    case DIFF_FORM_COMPACT:
        return "compact";
    default:
        return "plain";
    }
}

py::object inspect(const py::object &delta) {
    const Input input(delta, "inspect() argument 'delta'");
    diff_inspection inspection = {};
    int32_t status = diff_patch_inspect(input.get(), &inspection);
    if (status != DIFF_APPLY_OK) {
        refuse(status, "inspect", nullptr, input.get());
    }
    const char *body = form_name(inspection.body.form);
    py::object no_size = py::none();
    /* A compact body declares the length it builds, so it carries its new
     * size even without a check. */
    py::object new_size = no_size;
    if (inspection.checked) {
        new_size = py::int_(inspection.check.new_size);
    } else if (inspection.body.form == DIFF_FORM_COMPACT) {
        new_size = py::int_(inspection.body.copied_bytes + inspection.body.inserted_bytes);
    }
    return delta_info_type(
        inspection.checked ? "checked" : body,
        inspection.checked ? py::object(py::int_(inspection.check.old_size)) : no_size, new_size,
        inspection.body.copies, inspection.body.copied_bytes, inspection.body.inserted_bytes, body);
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
        .def("__getitem__", &out_buf_getitem)
        .def(
            "__iter__",
            [](const OutBuf &self) {
                const buf &result = result_of(self);
                return py::make_iterator(result.data, result.data + result.len);
            },
            py::keep_alive<0, 1>())
        .def("hex",
             [](const py::object &self, const py::args &args) {
                 return py::module_::import("builtins").attr("memoryview")(self).attr("hex")(*args);
             })
        .def("__add__", [](const py::object &self,
                           const py::object &other) { return concatenated(self, other); })
        .def("__radd__", [](const py::object &self,
                            const py::object &other) { return concatenated(other, self); })
        .def(py::pickle(&out_buf_state, &out_buf_from_state))
        // A writable view can change the content, so a hash could go stale.
        .attr("__hash__") = py::none();

    py::class_<InBuf>(delta, "PythonInBuf")
        .def(py::init<py::bytes>())
        .def(py::pickle(&in_buf_state, [](const py::bytes &state) { return InBuf(state); }));
    py::implicitly_convertible<py::bytes, InBuf>();
    py::detail::get_type_info(typeid(InBuf))->implicit_conversions.push_back(&in_buf_from_result);

    delta.def("diff", &diff, diff_doc, py::arg("old_value"), py::arg("new_value"));
    delta.def("patch", &patch, patch_doc, py::arg("old_value"), py::arg("diff"));
    py::class_<Differ>(delta, "Differ", differ_doc)
        .def(py::init(&make_differ), py::kw_only(), py::arg("level") = py::int_(0),
             py::arg("step_budget") = py::int_(DIFF_DEFAULT_COST_LIMIT),
             py::arg("adaptive") = py::bool_(false), py::arg("method") = py::str(myers_method),
             py::arg("checked") = py::bool_(false), py::arg("compact") = py::bool_(false))
        .def("diff", &differ_diff, differ_diff_doc, py::arg("old_value"), py::arg("new_value"))
        .def("patch", &differ_patch, differ_patch_doc, py::arg("old_value"), py::arg("delta"))
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
        .def_property_readonly(
            "checked", [](Differ &self) { return constructed_differ(self).settings.checked; })
        .def_property_readonly(
            "compact", [](Differ &self) { return constructed_differ(self).settings.compact; })
        .def_property_readonly("last_level", &differ_last_level)
        .def("__repr__", &differ_repr)
        .def(py::pickle(&differ_state, &differ_from_state));

    py::object named_tuple = py::module_::import("collections").attr("namedtuple");
    py::object delta_info = named_tuple("DeltaInfo",
                                        py::make_tuple("form", "old_size", "new_size", "copies",
                                                       "copied_bytes", "inserted_bytes", "body"),
                                        py::arg("module") = "tovarel_core.delta");
    delta_info.attr("__doc__") = delta_info_doc;
    delta.attr("DeltaInfo") = delta_info;
    delta_info_type = delta_info;
    delta.def("inspect", &inspect, inspect_doc, py::arg("delta"));

    delta.attr("__version__") = "dev";
}
