/*
 * cbor_loads.cpp - cbor.loads and cbor.loads_sequence: their arguments, the
 * choice between the two decoders, and their registration.
 *
 * Each call first tries the direct decoder (cbor_decode_direct.cpp), which
 * reads the common forms straight from the bytes; when it gives up, the
 * walker's decoder (cbor_decode_walked.cpp) reads the input again and
 * decodes every form or raises the error.
 *
 * Without hooks, no Python code of the caller's runs during a decode:
 * every object built is of a built-in or standard library type or one of
 * the types here, whose hashing and comparison only reach other such
 * objects.  A hook may run anything, but the input's buffer is held for
 * the call, so it cannot shrink, and the walker checks each byte as it
 * reads it.
 */
#include "cbor_loads.h"

#include <cstdint>
#include <memory>
#include <new>

#include "cbor_decode_direct.h"
#include "cbor_decode_walked.h"
#include "cbor_load_options.h"
#include "cbor_types.h"
#include "cbor_walker.h"
#include "registration.h"

namespace py = pybind11;

using tovarel::cbor::CallShape;
using tovarel::cbor::DecodeChecks;
using tovarel::cbor::DecodeHooks;
using tovarel::cbor::DirectDecoder;
using tovarel::cbor::ErrorOffsetBase;
using tovarel::cbor::LoadOptions;
using tovarel::cbor::raise_walker_error;
using tovarel::cbor::WalkedDecoder;

namespace {

/* Bytes to decode: a caller's buffer, or a stream reader's own memory. */
class Region {
public:
    Region(const void *bytes, uint64_t count) : start(bytes), length(count) {}

    const void *data() const { return start; }
    uint64_t size() const { return length; }

protected:
    Region() = default;
    const void *start = nullptr;
    uint64_t length = 0;
};

/* The input's bytes for the duration of a call. */
class InputView : public Region {
public:
    explicit InputView(PyObject *data) {
        if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) != 0) {
            throw py::error_already_set();
        }
        start = view.buf;
        length = static_cast<uint64_t>(view.len);
    }
    ~InputView() { PyBuffer_Release(&view); }
    InputView(const InputView &) = delete;
    InputView &operator=(const InputView &) = delete;

private:
    Py_buffer view{};
};

/*
 * Decoding creates containers by the thousand, each of which counts towards
 * the cyclic garbage collector's next run, and every run would walk the
 * growing, cycle-free result again.  The collector is held off while one
 * call decodes (no Python code runs meanwhile that could need it) and
 * handed back in the state it was in; its next run sees the result once.
 */
class CollectorPause {
public:
    CollectorPause() : was_enabled(PyGC_Disable()) {}
    ~CollectorPause() {
        if (was_enabled) {
            PyGC_Enable();
        }
    }
    CollectorPause(const CollectorPause &) = delete;
    CollectorPause &operator=(const CollectorPause &) = delete;

private:
    int was_enabled;
};

struct WalkerFree {
    void operator()(cbor_walker *walker) const { cbor_walker_free(walker); }
};

using WalkerOwner = std::unique_ptr<cbor_walker, WalkerFree>;

WalkerOwner make_walker(const Region &input, uint64_t max_depth) {
    WalkerOwner walker(cbor_walker_create(input.data(), input.size(), max_depth));
    if (!walker) {
        throw std::bad_alloc();
    }
    walker->text_checked_by_caller = 1;
    return walker;
}

/* One call's decoding by the walker: a walker over the input, and the
 * decoder. */
class Session {
public:
    Session(const Region &input, const LoadOptions &options)
        : size(input.size()), walker(make_walker(input, options.max_depth)),
          checks(checks_over(options.checks, input)), decoder(walker.get(), options.hooks, checks) {
    }

    py::object next_item() {
        py::object value = py::reinterpret_steal<py::object>(decoder.item());
        if (!value) {
            throw py::error_already_set();
        }
        return value;
    }

    bool at_end() const { return cbor_walker_offset(walker.get()) >= size; }

    void refuse_trailing_bytes() {
        if (cbor_walker_finish(walker.get()) != CBOR_WALKER_OK) {
            raise_walker_error(walker.get());
            throw py::error_already_set();
        }
    }

private:
    static DecodeChecks checks_over(DecodeChecks checks, const Region &input) {
        checks.input = static_cast<const uint8_t *>(input.data());
        return checks;
    }

    uint64_t size;
    WalkerOwner walker;
    DecodeChecks checks;
    WalkedDecoder decoder;
};

py::object walked_loads(const Region &input, const LoadOptions &options) {
    Session session(input, options);
    py::object value = session.next_item();
    session.refuse_trailing_bytes();
    return value;
}

py::object walked_loads_sequence(const InputView &input, const LoadOptions &options) {
    Session session(input, options);
    py::list items;
    while (!session.at_end()) {
        items.append(session.next_item());
    }
    return items;
}

const uint8_t *input_bytes(const Region &input) {
    return static_cast<const uint8_t *>(input.data());
}

/* The direct path first; the walker when it gives up (see DirectDecoder). */
py::object loads_over(const Region &input, const LoadOptions &options) {
    CollectorPause pause;
    if (options.direct_path_allowed()) {
        DecodeChecks checks = options.checks;
        checks.input = input_bytes(input);
        DirectDecoder direct(input_bytes(input), input.size(), options.max_depth, checks);
        auto value = py::reinterpret_steal<py::object>(direct.item());
        if (value && direct.at_end()) {
            return value;
        }
    }
    return walked_loads(input, options);
}

py::object loads(PyObject *data, const LoadOptions &options) {
    InputView input(data);
    return loads_over(input, options);
}

py::object loads_sequence(PyObject *data, const LoadOptions &options) {
    InputView input(data);
    CollectorPause pause;
    if (options.direct_path_allowed()) {
        DecodeChecks checks = options.checks;
        checks.input = input_bytes(input);
        DirectDecoder direct(input_bytes(input), input.size(), options.max_depth, checks);
        py::list items;
        bool whole = true;
        while (whole && !direct.at_end()) {
            PyObject *value = direct.item();
            whole = value != nullptr && PyList_Append(items.ptr(), value) == 0;
            Py_XDECREF(value);
        }
        if (whole) {
            return items;
        }
        PyErr_Clear();
    }
    return walked_loads_sequence(input, options);
}

/* loads by the walker alone: the reference the direct path is tested against. */
py::object loads_plain(PyObject *data, const LoadOptions &options) {
    InputView input(data);
    CollectorPause pause;
    return walked_loads(input, options);
}

/* The functions are plain vectorcall built-ins: decoding small items is
 * common, and a generic binding's dispatch would cost more than they do. */
template <py::object (*Decode)(PyObject *, const LoadOptions &)>
PyObject *entry(const char *name, PyObject *const *args, Py_ssize_t count, PyObject *keywords) {
    PyObject *data = nullptr;
    PyObject *unused = nullptr;
    LoadOptions options{};
    if (!tovarel::cbor::parse_call(CallShape{name, "data", nullptr}, args,
                                   PyVectorcall_NARGS(count), keywords, &data, &unused, &options)) {
        return nullptr;
    }
    /* Offsets count from this call's input, also inside a stream
     * reader's hook. */
    ErrorOffsetBase base(0);
    try {
        return Decode(data, options).release().ptr();
    } catch (py::error_already_set &error) {
        error.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    }
    return nullptr;
}

PyObject *loads_entry(PyObject *, PyObject *const *args, Py_ssize_t count, PyObject *keywords) {
    return entry<loads>("loads", args, count, keywords);
}

PyObject *loads_plain_entry(PyObject *, PyObject *const *args, Py_ssize_t count,
                            PyObject *keywords) {
    return entry<loads_plain>("_loads_plain", args, count, keywords);
}

PyObject *loads_sequence_entry(PyObject *, PyObject *const *args, Py_ssize_t count,
                               PyObject *keywords) {
    return entry<loads_sequence>("loads_sequence", args, count, keywords);
}

/* The first line of each docstring is the signature the interpreter shows. */
PyMethodDef functions[] = {
    {"loads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(loads_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "loads(data, *, max_depth=1000, tag_hook=None, object_hook=None, deterministic=None, "
     "duplicate_keys='last')\n--\n\n"
     "Decode one CBOR data item from a bytes-like object.\n\n"
     "Tags 0 and 1 become aware datetimes, 100 and 1004 dates, 4 Decimals,\n"
     "30 Fractions, 37 UUIDs, 52 and 54 ipaddress values, 258 sets (frozensets\n"
     "inside map keys and sets); other tags become Tag, or tag_hook(tag) when\n"
     "given.  object_hook(dict), when given, replaces each decoded map.\n\n"
     "deterministic='core' or 'length_first' refuses input that the\n"
     "Encoder with that setting would not write (a longer head than needed,\n"
     "an indefinite length, a float that fits a shorter width, keys out of\n"
     "order, a duplicate key); duplicate_keys='error' refuses a repeated\n"
     "map key in any mode.\n\n"
     "Raises CBORDecodeError (a ValueError) naming the byte offset when the\n"
     "input is not exactly one well-formed item, when a tag's content does\n"
     "not fit it, or when it nests deeper than max_depth (the elements of a\n"
     "top-level array or map are at depth 1)."},
    {"loads_sequence",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(loads_sequence_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "loads_sequence(data, *, max_depth=1000, tag_hook=None, object_hook=None, deterministic=None, "
     "duplicate_keys='last')\n--\n\n"
     "Decode a CBOR sequence (zero or more items back to back) into a list."},
    {"_loads_plain", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(loads_plain_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "_loads_plain(data, *, max_depth=1000, tag_hook=None, object_hook=None, deterministic=None, "
     "duplicate_keys='last')\n--\n\n"
     "loads without its direct path: every item through the checking walker."},
    {nullptr, nullptr, 0, nullptr}};

} // namespace

namespace tovarel::cbor {

py::object loads_region(const uint8_t *data, uint64_t size, const LoadOptions &options) {
    return loads_over(Region(data, size), options);
}

} // namespace tovarel::cbor

void tovarel_register_cbor_loads(py::module_ &cbor) {
    tovarel::cbor::register_types(cbor);
    tovarel_add_functions(cbor, functions);
}
