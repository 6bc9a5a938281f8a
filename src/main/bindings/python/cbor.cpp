/*
 * cbor.cpp - the tovarel_core.cbor submodule: CBOR encoding of Python values.
 *
 * dumps() converts its argument, and then every element, key and dict value
 * inside it, into DumpsValue (cbor_convert.cpp), and writes each piece
 * through the core's CBOR writers into one generator.
 *
 * The walk runs Python code of the values' own types (integer and index
 * conversions), which may change the containers being walked.  The
 * encoder therefore holds a strong reference to whatever it is encoding,
 * walks lists and tuples by index and dicts by position, and stops with
 * RuntimeError when a container's size changes under it, so an array or
 * map head never disagrees with what follows it.
 *
 * Values built only from exact built-in types go through a faster encoder
 * first (cbor_fast.cpp), which hands every other case back to this one;
 * _dumps_plain is this encoder alone, the reference the fast one is tested
 * against.
 */
#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "cbor_convert.h"
#include "cbor_encoder.h"
#include "cbor_stream_reader.h"
#include "cbor_fast.h"
#include "cbor_generator.h"
#include "cbor_loads.h"
#include "cbor_stack.h"
#include "registration.h"

namespace py = pybind11;

using tovarel::cbor::RecursionGuard;
using tovarel::cbor::stack_floor;

namespace {

using tovarel::cbor::ByteString;
using tovarel::cbor::ByteView;
using tovarel::cbor::DumpsValue;

/* The top-level argument: Tag, Simple and undefined are taken before the
 * sum-type conversion (which would refuse them); the signature is
 * DumpsValue's. */
using DumpsArgument = tovarel::ValueOrCborOnly<DumpsValue>;

constexpr const char *cbor_doc = R"(
            Tovarel cbor
            -----------------------

            .. currentmodule:: tovarel_cbor

            .. autosummary::
               :toctree: _generate

               dumps
        )";

constexpr const char *dumps_doc = R"(
        Dump a Python object to cbor
        )";

/* The text of a failed element conversion.  pybind11's own wording varies
 * with its version and build type; callers match on this one. */
constexpr const char *cast_error_text =
    "Unable to cast Python instance to C++ type (#define PYBIND11_DETAILED_ERROR_MESSAGES "
    "or compile in debug mode for details)";

constexpr const char *range_error_text =
    "dumps received an integer out of range for both int64_t and uint64_t";

/* How many bytes of a value's text an error message quotes. */
constexpr std::size_t max_text_length = 40;

/* Every writer reports a failure to grow the generator with a negative
 * result; the bytes written so far are then unusable, so the call fails
 * as a whole rather than returning a damaged encoding. */
void check(int written) {
    if (written < 0) {
        throw std::bad_alloc();
    }
}

struct GeneratorFree {
    void operator()(cbor_generator *generator) const { cbor_generator_free(generator); }
};

/* The depth count of the depth-limited encoders.  The unlimited ones use
 * the empty specialisation below, so they carry no counting at all. */
template <bool Limited> struct DepthLimit {
    uint64_t depth = 0;
    uint64_t max_depth;

    explicit DepthLimit(uint64_t limit) : max_depth(limit) {}

    void enter() {
        ++depth;
        check_level();
    }
    void check_level() const {
        if (depth > max_depth) {
            throw std::runtime_error("Exceeded recursion limit:" + std::to_string(max_depth));
        }
    }
    void leave() { --depth; }
};

template <> struct DepthLimit<false> {
    explicit DepthLimit(uint64_t) {}
    void enter() {}
    void check_level() const {}
    void leave() {}
};

/* UTF-8 continuation bytes have the form 10xxxxxx. */
bool is_continuation_byte(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

/* Recursion levels that the binding library's text of a Python error
 * needs: it runs str() on the error. */
constexpr int error_text_recursion = 10;

/*
 * "Type: message" and the traceback, as the binding library words a Python
 * error.  It makes that text with Python calls, and when one of them fails
 * it makes the text of that failure the same way; at the interpreter's
 * recursion limit every one fails and that retry recurses until the native
 * stack overflows.  So within reach of the limit only the type is named.
 */
std::string python_error_text(const py::error_already_set &error) {
    if (PyThreadState_Get()->recursion_remaining > error_text_recursion) {
        return error.what();
    }
    return reinterpret_cast<PyTypeObject *>(error.type().ptr())->tp_name;
}

/* str(value) cut to at most max_text_length bytes, for the integer-range
 * message.  A cut that would fall inside a multi-byte character moves back
 * to that character's start: Python decodes the message strictly, and half
 * a character would turn the RuntimeError into a UnicodeDecodeError. */
std::string value_text(const py::handle &value) {
    std::string text;
    try {
        text = py::str(value).cast<std::string>();
    } catch (const py::error_already_set &e) {
        text = "failed with " + python_error_text(e);
    } catch (const std::exception &e) {
        text = std::string("failed with ") + e.what();
    } catch (...) {
        text = "failed with unknown exception";
    }
    std::size_t cut = max_text_length;
    if (text.size() <= cut) {
        return text;
    }
    while (cut > 0 && is_continuation_byte(text[cut])) {
        --cut;
    }
    return text.substr(0, cut);
}

/* Whether converted, turned back into a Python int, equals value.  Any
 * failure (including one raised by a subclass's __eq__) counts as no. */
bool same_integer(const py::int_ &value, py::object converted) {
    if (!converted) {
        PyErr_Clear();
        return false;
    }
    int equal = PyObject_RichCompareBool(converted.ptr(), value.ptr(), Py_EQ);
    if (equal < 0) {
        PyErr_Clear();
    }
    return equal == 1;
}

template <bool Indefinite, bool Limited> class Encoder {
public:
    explicit Encoder(uint64_t max_depth) : generator(cbor_generator_create()), limit(max_depth) {
        if (!generator) {
            throw std::bad_alloc();
        }
    }

    void encode(const DumpsValue &value) {
        std::visit([this](const auto &alternative) { write(alternative); }, value.alternative);
    }

    void encode(const DumpsArgument &argument) {
        if (argument.cbor_only) {
            encode_element(argument.cbor_only);
        } else {
            encode(argument.value);
        }
    }

    py::bytes result() const {
        return py::bytes(reinterpret_cast<const char *>(generator->data),
                         static_cast<py::ssize_t>(generator->len));
    }

private:
    /* Converts one element, key or dict value; the caller holds it. */
    static DumpsValue convert(const py::handle &element) {
        py::detail::make_caster<DumpsValue> caster;
        if (!caster.load(element, true)) {
            throw py::cast_error(cast_error_text);
        }
        return py::detail::cast_op<DumpsValue &&>(std::move(caster));
    }

    void encode_element(const py::handle &element) {
        const tovarel::CborOnlyValue cbor_only = tovarel::cbor_only_value(element.ptr());
        if (cbor_only.kind != tovarel::CborOnlyValue::none) {
            write(cbor_only);
            return;
        }
        encode(convert(element));
    }

    /* A tag's content is one level deeper than the tag, as a container's
     * elements are. */
    void write(const tovarel::CborOnlyValue &value) {
        constexpr uint8_t major_tag = 6;
        constexpr uint8_t major_simple = 7;
        if (value.kind == tovarel::CborOnlyValue::undefined) {
            check(cbor_write_undefined(gen()));
        } else if (value.kind == tovarel::CborOnlyValue::simple) {
            check(_cbor_write_uint_helper(gen(), major_simple, value.number));
        } else {
            RecursionGuard guard;
            py::object content = py::reinterpret_borrow<py::object>(value.value);
            check(_cbor_write_uint_helper(gen(), major_tag, value.number));
            limit.enter();
            encode_element(content);
            limit.leave();
        }
    }

    void write(const py::bool_ &value) {
        check(value.ptr() == Py_True ? cbor_write_true(gen()) : cbor_write_false(gen()));
    }
    void write(bool value) { check(value ? cbor_write_true(gen()) : cbor_write_false(gen())); }
    void write(const py::none &) { check(cbor_write_null(gen())); }
    void write(const py::float_ &value) {
        check(cbor_write_float(gen(), PyFloat_AS_DOUBLE(value.ptr())));
    }
    void write(unsigned long value) { check(cbor_write_uint(gen(), value)); }
    void write(long value) {
        uint64_t bits = static_cast<uint64_t>(value);
        check(value < 0 ? cbor_write_negint(gen(), bits) : cbor_write_uint(gen(), bits));
    }
    void write(const py::bytes &value) {
        check(cbor_write_byte_string(gen(), PyBytes_AS_STRING(value.ptr()),
                                     static_cast<uint64_t>(PyBytes_GET_SIZE(value.ptr()))));
    }
    /* A str must be valid UTF-8 to be written; a lone surrogate is not. */
    void write(const py::str &value) {
        Py_ssize_t size = 0;
        const char *text = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
        if (text == nullptr) {
            PyErr_Clear();
            throw py::cast_error(cast_error_text);
        }
        check(cbor_write_text_string(gen(), text, static_cast<uint64_t>(size)));
    }
    /* A numpy floating scalar, whose value a double holds exactly. */
    void write(double value) { check(cbor_write_float(gen(), value)); }

    /* A bytes-like object: its buffer was one-byte and contiguous when it
     * was converted, and no code has run since. */
    void write(const ByteString &value) {
        ByteView view;
        if (!view.open(value.source.ptr())) {
            throw py::cast_error(cast_error_text);
        }
        check(cbor_write_byte_string(gen(), view.data(), view.size()));
    }

    /* Integers from -2^63 to 2^64 - 1 are written; each conversion is
     * proved by converting back and comparing, so a subclass's odd
     * conversion never passes as another number. */
    void write(const py::int_ &value) {
        py::detail::make_caster<unsigned long> as_unsigned;
        if (as_unsigned.load(value, true)) {
            unsigned long number = as_unsigned;
            if (same_integer(value,
                             py::reinterpret_steal<py::object>(PyLong_FromUnsignedLong(number)))) {
                check(cbor_write_uint(gen(), number));
                return;
            }
        }
        PyErr_Clear();
        py::detail::make_caster<long> as_signed;
        if (as_signed.load(value, true)) {
            long number = as_signed;
            if (same_integer(value, py::reinterpret_steal<py::object>(PyLong_FromLong(number)))) {
                write(number);
                return;
            }
        }
        PyErr_Clear();
        throw std::runtime_error(range_error_text + value_text(value));
    }

    void open_array(std::size_t count) {
        check(cbor_write_array(gen(), Indefinite ? CBOR_INDEFINITE : count));
    }
    void open_map(std::size_t count) {
        check(cbor_write_map(gen(), Indefinite ? CBOR_INDEFINITE : count));
    }
    void close() {
        if (Indefinite) {
            check(cbor_write_break(gen()));
        }
    }

    /* By index, re-reading the size at every step: converting an element
     * may run code that grows or shrinks the list. */
    void write(const py::list &value) {
        RecursionGuard guard;
        PyObject *list = value.ptr();
        const Py_ssize_t count = PyList_GET_SIZE(list);
        open_array(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (PyList_GET_SIZE(list) != count) {
                break;
            }
            py::object element = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(list, i));
            limit.enter();
            encode_element(element);
            limit.leave();
        }
        if (PyList_GET_SIZE(list) != count) {
            throw std::runtime_error("list changed size during iteration");
        }
        close();
    }

    void write(const py::tuple &value) {
        RecursionGuard guard;
        PyObject *tuple = value.ptr();
        const Py_ssize_t count = PyTuple_GET_SIZE(tuple);
        open_array(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            limit.enter();
            encode_element(PyTuple_GET_ITEM(tuple, i));
            limit.leave();
        }
        close();
    }

    /* By position with PyDict_Next, taking a reference to each key and
     * value before any code runs.  Items added or removed on the way are
     * caught by the size check; a removal paired with an insertion keeps
     * the size but may yield one item too many, caught by the count. */
    void write(const py::dict &value) {
        RecursionGuard guard;
        PyObject *dict = value.ptr();
        const Py_ssize_t count = PyDict_GET_SIZE(dict);
        open_map(static_cast<std::size_t>(count));
        Py_ssize_t position = 0;
        Py_ssize_t written = 0;
        PyObject *key_ref = nullptr;
        PyObject *value_ref = nullptr;
        while (PyDict_GET_SIZE(dict) == count &&
               PyDict_Next(dict, &position, &key_ref, &value_ref)) {
            if (written == count) {
                throw std::runtime_error("dictionary keys changed during iteration");
            }
            py::object key = py::reinterpret_borrow<py::object>(key_ref);
            py::object item = py::reinterpret_borrow<py::object>(value_ref);
            limit.enter();
            encode_element(key);
            limit.check_level();
            encode_element(item);
            limit.leave();
            ++written;
        }
        if (PyDict_GET_SIZE(dict) != count) {
            throw std::runtime_error("dictionary changed size during iteration");
        }
        if (written != count) {
            throw std::runtime_error("dictionary keys changed during iteration");
        }
        close();
    }

    cbor_generator *gen() const { return generator.get(); }

    std::unique_ptr<cbor_generator, GeneratorFree> generator;
    DepthLimit<Limited> limit;
};

template <bool Indefinite, bool Limited>
py::bytes encode_with(const DumpsArgument &value, uint64_t max_depth) {
    Encoder<Indefinite, Limited> encoder(max_depth);
    encoder.encode(value);
    return encoder.result();
}

/* Upper bounds of the native stack the walk above takes below dumps'
 * frame: once for getting started, and per container level (about 250
 * bytes when measured; a test finds where the walk's stack check fails and
 * checks that dumps with its fast attempt fails exactly there too). */
constexpr std::uintptr_t plain_start_bytes = 16 * 1024;
constexpr std::uintptr_t plain_level_bytes = 2 * 1024;

/* How many containers deep the walk above could nest from here before its
 * stack check fails, at the least. */
std::size_t plain_nesting_headroom() {
    const std::uintptr_t floor = stack_floor();
    if (floor == 0) {
        return SIZE_MAX; /* unknown bounds: the walk above has no check either */
    }
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (here < floor + plain_start_bytes) {
        return 0;
    }
    return (here - floor - plain_start_bytes) / plain_level_bytes;
}

/* The object behind a value that the conversion took as one of the Python
 * types; the native alternatives (numpy scalars, other objects with an
 * integer value, bytes-like objects) are the general encoder's. */
PyObject *python_object(const DumpsValue &value) {
    return std::visit(
        [](const auto &alternative) -> PyObject * {
            if constexpr (std::is_base_of_v<py::handle, std::decay_t<decltype(alternative)>>) {
                return alternative.ptr();
            } else {
                return nullptr;
            }
        },
        value.alternative);
}

/* The fast attempt, kept out of the frame that the general walk starts
 * from: null when the general encoders must do the call. */
[[gnu::noinline]] PyObject *encode_fast(const DumpsValue &value, bool indefinite,
                                        unsigned long max_depth) {
    PyObject *object = python_object(value);
    if (object == nullptr) {
        return nullptr;
    }
    return tovarel_cbor_dumps_fast(object, indefinite, max_depth, plain_nesting_headroom());
}

/*
 * The two options are resolved here, once per call, into one of four
 * encoders; nothing inside the walk tests them again.
 *
 * Values built from exact built-in types first take the fast encoder
 * (cbor_fast.cpp) when try_fast is set; it gives up on anything else and on
 * every failure, leaving the call to the encoders above, whose bytes and
 * errors are the reference (a Tag, Simple or undefined at the top goes to
 * them directly).  dumps and _dumps_plain both come through this
 * one function, so that the general walk starts at the same stack depth
 * either way and its stack check fails at the same nesting.
 */
[[gnu::noinline]] py::bytes dumps_entry(const DumpsArgument &value, bool indefinite,
                                        unsigned long max_depth, bool try_fast) {
    if (try_fast && !value.cbor_only) {
        if (PyObject *encoded = encode_fast(value.value, indefinite, max_depth)) {
            return py::reinterpret_steal<py::bytes>(encoded);
        }
    }
    const bool limited = max_depth != 0;
    if (indefinite) {
        return limited ? encode_with<true, true>(value, max_depth)
                       : encode_with<true, false>(value, max_depth);
    }
    return limited ? encode_with<false, true>(value, max_depth)
                   : encode_with<false, false>(value, max_depth);
}

py::bytes dumps(const DumpsArgument &value, bool indefinite, unsigned long max_depth) {
    return dumps_entry(value, indefinite, max_depth, true);
}

py::bytes dumps_plain(const DumpsArgument &value, bool indefinite, unsigned long max_depth) {
    return dumps_entry(value, indefinite, max_depth, false);
}

constexpr const char *dumps_plain_doc = R"(
        dumps without its fast path for built-in types: the reference the
        fast path is tested against
        )";

} // namespace

void tovarel_register_cbor(py::module_ &m) {
    py::module_ cbor = m.def_submodule("cbor");
    cbor.doc() = cbor_doc;
    cbor.def("dumps", &dumps, dumps_doc, py::arg("value"), py::arg("indefinite") = true,
             py::arg("max_depth") = 0);
    cbor.def("_dumps_plain", &dumps_plain, dumps_plain_doc, py::arg("value"),
             py::arg("indefinite") = true, py::arg("max_depth") = 0);
    cbor.attr("__version__") = "dev";
    tovarel_register_cbor_loads(cbor);
    tovarel::cbor::register_encoder(cbor);
    tovarel::cbor::register_streams(cbor);
}
