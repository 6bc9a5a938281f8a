/*
 * cbor_convert.cpp - dumps' conversion of one Python value.
 *
 * The library's sum-type conversion tries every alternative without
 * implicit conversions, then every one again with them; in that second
 * pass its bool alternative takes any object whose type has a truth value
 * (Decimal, Fraction, complex, ranges, arrays, numpy's other scalars),
 * ahead of the integer alternatives.  So the first pass stays the
 * library's, and the second is taken apart here: the objects it would
 * have written as true or false are converted to what they stand for, or
 * refused, and the rest go on to the integer conversions as before (an
 * object with __int__ and no truth value is still written as its int).
 */
#include "cbor_convert.h"

#include <cstring>

namespace py = pybind11;

namespace tovarel::cbor {

namespace {

/* numpy's boolean scalar type, by its names before and since numpy 2. */
bool is_numpy_bool(PyTypeObject *type) {
    return std::strcmp(type->tp_name, "numpy.bool_") == 0 ||
           std::strcmp(type->tp_name, "numpy.bool") == 0;
}

/* numpy's floating scalars (float16, float32, longdouble; float64 is a
 * float already) derive from numpy.floating; numpy is never imported for
 * this, the name in the type's ancestry is enough. */
bool is_numpy_floating(PyTypeObject *type) {
    PyObject *ancestry = type->tp_mro;
    if (ancestry == nullptr) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(ancestry); i++) {
        auto *base = reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(ancestry, i));
        if (std::strcmp(base->tp_name, "numpy.floating") == 0) {
            return true;
        }
    }
    return false;
}

/* Whether any alternative could take an object that is no built-in type
 * and no subclass of one: through the number protocol (a truth value, an
 * index, an int or float conversion) or a buffer.  Objects with none of
 * them, an application's own classes, are refused without asking every
 * alternative, each of which would raise and clear an error of its own. */
bool offers_a_conversion(PyObject *object, PyTypeObject *type) {
    const PyNumberMethods *number = type->tp_as_number;
    return (number != nullptr && (number->nb_bool != nullptr || number->nb_index != nullptr ||
                                  number->nb_int != nullptr || number->nb_float != nullptr)) ||
           PyObject_CheckBuffer(object) || PyLong_Check(object) || PyFloat_Check(object) ||
           PyList_Check(object) || PyTuple_Check(object) || PyDict_Check(object) ||
           PyBytes_Check(object) || PyUnicode_Check(object) || object == Py_None;
}

bool has_truth_value(PyTypeObject *type) {
    return type->tp_as_number != nullptr && type->tp_as_number->nb_bool != nullptr;
}

/* An object with __index__ (numpy's integers among them) as the integer it
 * stands for, when that is in the 64-bit range. */
bool convert_index(PyObject *object, DumpsValue &value) {
    py::object number = py::reinterpret_steal<py::object>(PyNumber_Index(object));
    if (!number) {
        PyErr_Clear();
        return false;
    }
    int overflow = 0;
    const long long as_signed = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (overflow == 0 && !(as_signed == -1 && PyErr_Occurred())) {
        value.alternative.emplace<long>(as_signed);
        return true;
    }
    PyErr_Clear();
    if (overflow > 0) {
        const unsigned long long as_unsigned = PyLong_AsUnsignedLongLong(number.ptr());
        if (!(as_unsigned == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
            value.alternative.emplace<unsigned long>(as_unsigned);
            return true;
        }
        PyErr_Clear();
    }
    return false;
}

/* A numpy floating scalar as a double, when the double holds its value
 * exactly (a longdouble may hold more): dumps never rounds a number. */
bool convert_numpy_floating(PyObject *object, DumpsValue &value) {
    const double real = PyFloat_AsDouble(object);
    if (real == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if (real == real) { /* NaN is NaN at any width */
        py::object back = py::reinterpret_steal<py::object>(PyFloat_FromDouble(real));
        if (!back) {
            PyErr_Clear();
            return false;
        }
        const int equal = PyObject_RichCompareBool(back.ptr(), object, Py_EQ);
        if (equal != 1) {
            PyErr_Clear();
            return false;
        }
    }
    value.alternative.emplace<double>(real);
    return true;
}

/* The library's integer alternatives on their own, with conversions (an
 * object's __int__), in the order of the sum type. */
bool convert_integer(py::handle source, DumpsValue &value) {
    py::detail::make_caster<unsigned long> as_unsigned;
    if (as_unsigned.load(source, true)) {
        value.alternative.emplace<unsigned long>(static_cast<unsigned long>(as_unsigned));
        return true;
    }
    py::detail::make_caster<long> as_signed;
    if (as_signed.load(source, true)) {
        value.alternative.emplace<long>(as_signed);
        return true;
    }
    return false;
}

/* The library's first pass: every alternative without conversions.  Its
 * bytearray alternative is never reached, a bytearray being taken before. */
bool convert_without_conversions(py::handle source, DumpsValue &value) {
    py::detail::make_caster<DumpsSignature> caster;
    if (!caster.load(source, false)) {
        return false;
    }
    DumpsSignature converted = py::detail::cast_op<DumpsSignature &&>(std::move(caster));
    return std::visit(
        [&value](auto &&alternative) {
            using Alternative = std::decay_t<decltype(alternative)>;
            if constexpr (std::is_same_v<Alternative, std::string_view>) {
                return false;
            } else {
                value.alternative.template emplace<Alternative>(std::move(alternative));
                return true;
            }
        },
        std::move(converted));
}

} // namespace

bool convert_dumps_value(py::handle source, bool convert, DumpsValue &value) {
    PyObject *object = source.ptr();
    PyTypeObject *type = Py_TYPE(object);
    if (PyByteArray_Check(object)) {
        value.alternative.emplace<ByteString>(
            ByteString{py::reinterpret_borrow<py::object>(source)});
        return true;
    }
    if (!offers_a_conversion(object, type)) {
        return false;
    }
    if (is_numpy_bool(type)) {
        const int truth = PyObject_IsTrue(object);
        if (truth < 0) {
            PyErr_Clear();
            return false;
        }
        value.alternative.emplace<bool>(truth == 1);
        return true;
    }
    if (convert_without_conversions(source, value)) {
        return true;
    }
    if (!convert) {
        return false;
    }
    if (PyIndex_Check(object)) {
        return convert_index(object, value);
    }
    if (PyObject_CheckBuffer(object)) {
        ByteView view;
        if (view.open(object)) {
            value.alternative.emplace<ByteString>(
                ByteString{py::reinterpret_borrow<py::object>(source)});
            return true;
        }
    }
    if (has_truth_value(type)) {
        if (is_numpy_floating(type)) {
            return convert_numpy_floating(object, value);
        }
        /* The truth value would have taken it: refused, as a value that
         * no alternative takes.  Its __bool__ is not called. */
        return false;
    }
    return convert_integer(source, value);
}

ByteView::~ByteView() {
    if (held) {
        PyBuffer_Release(&view);
    }
}

bool ByteView::open(PyObject *object) {
    if (PyObject_GetBuffer(object, &view, PyBUF_FULL_RO) != 0) {
        PyErr_Clear();
        return false;
    }
    held = true;
    const char *format = view.format == nullptr ? "B" : view.format;
    if (*format == '@' || *format == '=' || *format == '<' || *format == '>' || *format == '!') {
        format++;
    }
    const bool one_byte =
        view.itemsize == 1 && (std::strcmp(format, "B") == 0 || std::strcmp(format, "b") == 0 ||
                               std::strcmp(format, "c") == 0);
    return one_byte && PyBuffer_IsContiguous(&view, 'C') != 0;
}

} // namespace tovarel::cbor
