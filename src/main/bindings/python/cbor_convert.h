/*
 * cbor_convert.h - what dumps makes of each Python value it is given.
 *
 * dumps first takes the value, and then every element, key and dict value
 * inside it, into one of the alternatives of DumpsValue.  The exact
 * built-in types, their subclasses and numpy's booleans land where the
 * binding library's sum-type conversion puts them (the order of that
 * conversion decides: True is a bool, not an int).  The conversion is ours
 * for the objects that the library would hand to a truth value: a
 * bytes-like object becomes a byte string, an object with __index__ the
 * integer it stands for, a numpy floating scalar its float, and any other
 * object with a truth value is refused instead of being written as true or
 * false.
 */
#ifndef TOVAREL_BINDINGS_PYTHON_CBOR_CONVERT_H
#define TOVAREL_BINDINGS_PYTHON_CBOR_CONVERT_H

#include <cstdint>
#include <string_view>
#include <variant>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

namespace tovarel::cbor {

/* A bytes-like object other than bytes, written as a byte string. */
struct ByteString {
    pybind11::object source;
};

using DumpsAlternative =
    std::variant<pybind11::bool_, pybind11::float_, pybind11::int_, pybind11::list, pybind11::tuple,
                 pybind11::dict, pybind11::bytes, pybind11::str, pybind11::none, bool,
                 unsigned long, long, double, ByteString>;

struct DumpsValue {
    DumpsAlternative alternative;
};

/* The sum type that dumps' signature names (its last alternative is how a
 * bytearray was once taken). */
using DumpsSignature =
    std::variant<pybind11::bool_, pybind11::float_, pybind11::int_, pybind11::list, pybind11::tuple,
                 pybind11::dict, pybind11::bytes, pybind11::str, pybind11::none, bool,
                 unsigned long, long, std::string_view>;

/* Converts source; false (with no Python error set) when it is refused.
 * convert false takes only what needs no conversion, as the binding
 * library's first pass does. */
bool convert_dumps_value(pybind11::handle source, bool convert, DumpsValue &value);

/* A C-contiguous buffer of one-byte items (format "B", "b" or "c"), for as
 * long as the view lives. */
class ByteView {
public:
    ByteView() = default;
    ~ByteView();
    ByteView(const ByteView &) = delete;
    ByteView &operator=(const ByteView &) = delete;

    /* False, with no Python error set, for an object that exports no such
     * buffer. */
    bool open(PyObject *object);
    const char *data() const { return static_cast<const char *>(view.buf); }
    uint64_t size() const { return static_cast<uint64_t>(view.len); }

private:
    Py_buffer view{};
    bool held = false;
};

} // namespace tovarel::cbor

namespace pybind11::detail {

template <> struct type_caster<tovarel::cbor::DumpsValue> {
    PYBIND11_TYPE_CASTER(tovarel::cbor::DumpsValue,
                         make_caster<tovarel::cbor::DumpsSignature>::name);

    bool load(handle source, bool convert) {
        return tovarel::cbor::convert_dumps_value(source, convert, value);
    }
};

} // namespace pybind11::detail

#endif /* TOVAREL_BINDINGS_PYTHON_CBOR_CONVERT_H */
