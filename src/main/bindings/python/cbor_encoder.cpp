/*
 * cbor_encoder.cpp - the Python type cbor.Encoder: its settings, checked
 * once when it is made and read-only afterwards, and its methods.
 */
#include "cbor_encoder.h"

#include <string>
#include <tuple>

#include <datetime.h>

#include "cbor_encode.h"

namespace py = pybind11;

namespace {

constexpr const char *encoder_doc =
    R"(Encoder(*, default=None, datetime_as_timestamp=False, timezone=None, indefinite=False, max_depth=0, deterministic=None)

Encodes Python values to CBOR: everything dumps(value, indefinite=False)
encodes, byte for byte, and besides
  datetime (with a time zone)   tag 0, RFC 3339 text; tag 1, epoch seconds,
                                with datetime_as_timestamp
  naive datetime                as if in timezone, when one is given
  date                          tag 1004, RFC 3339 full-date text
  Decimal                       tag 4, [exponent, mantissa]; NaN and
                                infinities as floats
  Fraction                      tag 30, [numerator, denominator]
  UUID                          tag 37, its 16 bytes
  set, frozenset                tag 258 around an array
  ipaddress addresses, networks, interfaces
                                tags 52 and 54 (RFC 9164)
  int beyond 64 bits            tags 2 and 3 (bignums)
and anything else as default(value) encodes, when default is given.

deterministic="core" sorts map keys, and set elements, by the bytes of their
encodings (RFC 8949 section 4.2.1); "length_first" by their length first,
then their bytes (section 4.2.3).  Both write definite lengths only, and
refuse two distinct keys that encode alike.
Raises TypeError (or ValueError) naming the type and where in the value it
sits, e.g. value["a"][3].)";

py::object checked_default(py::object hook) {
    if (!hook.is_none() && !PyCallable_Check(hook.ptr())) {
        throw py::type_error(std::string("default must be callable or None, not ") +
                             Py_TYPE(hook.ptr())->tp_name);
    }
    return hook;
}

py::object checked_timezone(py::object zone) {
    if (PyDateTimeAPI == nullptr) {
        PyDateTime_IMPORT;
        if (PyDateTimeAPI == nullptr) {
            throw py::error_already_set();
        }
    }
    if (!zone.is_none() && !PyTZInfo_Check(zone.ptr())) {
        throw py::type_error(std::string("timezone must be a datetime.tzinfo or None, not ") +
                             Py_TYPE(zone.ptr())->tp_name);
    }
    return zone;
}

std::string repr_of(const py::object &value) {
    return py::repr(value).cast<std::string>();
}

/* The deterministic setting's key order; ValueError for any other value,
 * and for indefinite lengths, which deterministic encodings do not have. */
tovarel::cbor::KeyOrder key_order(const py::object &mode, bool indefinite) {
    using tovarel::cbor::KeyOrder;
    KeyOrder order = KeyOrder::none;
    if (!mode.is_none()) {
        const std::string name = PyUnicode_Check(mode.ptr()) ? mode.cast<std::string>() : "";
        if (name == "core") {
            order = KeyOrder::core;
        } else if (name == "length_first") {
            order = KeyOrder::length_first;
        } else {
            throw py::value_error("deterministic must be None, 'core' or 'length_first', not " +
                                  repr_of(mode));
        }
    }
    if (order != KeyOrder::none && indefinite) {
        throw py::value_error("a deterministic encoding has definite lengths only: indefinite "
                              "must be False");
    }
    return order;
}

using EncoderState = std::tuple<py::object, bool, py::object, bool, unsigned long long, py::object>;

} // namespace

namespace tovarel::cbor {

Encoder::Encoder(py::object default_hook, bool datetime_as_timestamp, py::object time_zone,
                 bool indefinite, unsigned long long max_depth, py::object mode)
    : hook(checked_default(std::move(default_hook))), zone(checked_timezone(std::move(time_zone))),
      deterministic(std::move(mode)) {
    options.order = key_order(deterministic, indefinite);
    options.default_hook = hook.is_none() ? nullptr : hook.ptr();
    options.datetime_as_timestamp = datetime_as_timestamp;
    options.timezone = zone.is_none() ? nullptr : zone.ptr();
    options.indefinite = indefinite;
    options.max_depth = max_depth;
}

namespace {

py::bytes encoded_or_raise(PyObject *encoded) {
    if (encoded == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::bytes>(encoded);
}

} // namespace

py::bytes Encoder::encode(py::handle value) const {
    return encoded_or_raise(encode_value(value.ptr(), options));
}

py::bytes Encoder::encode_plain(py::handle value) const {
    return encoded_or_raise(encode_value(value.ptr(), options, false));
}

void Encoder::dump(py::handle value, py::handle fp) const {
    /* Encoded whole first: a value that cannot be encoded writes nothing. */
    const py::bytes encoded = encode(value);
    const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr()));
    const py::object write = fp.attr("write");
    const py::memoryview all = py::memoryview(encoded);
    std::size_t written = 0;
    /* A raw file may write less than it was given; the rest follows. */
    while (written < size) {
        py::object part = written == 0 ? py::object(all)
                                       : all[py::slice(static_cast<py::ssize_t>(written),
                                                       static_cast<py::ssize_t>(size), 1)];
        const py::object count = write(part);
        if (count.is_none()) {
            /* Only a raw file says None for "nothing taken" (it would
             * block); writers of other kinds often return None for all. */
            if (!py::isinstance(fp, py::module_::import("io").attr("RawIOBase"))) {
                return;
            }
            PyErr_Format(PyExc_BlockingIOError,
                         "dump(): the stream took %zu of %zu bytes and no more (a non-blocking "
                         "file)",
                         written, size);
            throw py::error_already_set();
        }
        const auto step = py::cast<long long>(count);
        if (step <= 0 || static_cast<unsigned long long>(step) > size - written) {
            PyErr_Format(PyExc_OSError,
                         "dump(): write() of %zu bytes returned %lld after %zu were written",
                         size - written, step, written);
            throw py::error_already_set();
        }
        written += static_cast<std::size_t>(step);
    }
}

std::string Encoder::repr() const {
    return "Encoder(default=" + repr_of(hook) +
           ", datetime_as_timestamp=" + (options.datetime_as_timestamp ? "True" : "False") +
           ", timezone=" + repr_of(zone) +
           ", indefinite=" + (options.indefinite ? "True" : "False") +
           ", max_depth=" + std::to_string(options.max_depth) +
           ", deterministic=" + repr_of(deterministic) + ")";
}

void register_encoder(py::module_ &cbor) {
    py::class_<Encoder>(cbor, "Encoder", encoder_doc)
        .def(py::init<py::object, bool, py::object, bool, unsigned long long, py::object>(),
             py::kw_only(), py::arg("default") = py::none(),
             py::arg("datetime_as_timestamp") = false, py::arg("timezone") = py::none(),
             py::arg("indefinite") = false, py::arg("max_depth") = 0,
             py::arg("deterministic") = py::none())
        .def("encode", &Encoder::encode, py::arg("value"),
             "encode(value) -> bytes\n\nThe CBOR encoding of value.")
        .def("_encode_plain", &Encoder::encode_plain, py::arg("value"),
             "_encode_plain(value) -> bytes\n\nencode(value) by the general walk alone, without "
             "the fast path\nfor built-in types: the same bytes and errors, for testing and "
             "measuring.")
        .def("dump", &Encoder::dump, py::arg("value"), py::arg("fp"),
             "dump(value, fp) -> None\n\nWrite the CBOR encoding of value to the binary file "
             "object fp.\nNothing is written when value cannot be encoded.")
        .def_property_readonly("default", [](const Encoder &self) { return self.hook; })
        .def_property_readonly(
            "datetime_as_timestamp",
            [](const Encoder &self) { return self.options.datetime_as_timestamp; })
        .def_property_readonly("timezone", [](const Encoder &self) { return self.zone; })
        .def_property_readonly("indefinite",
                               [](const Encoder &self) { return self.options.indefinite; })
        .def_property_readonly("max_depth",
                               [](const Encoder &self) {
                                   return static_cast<unsigned long long>(self.options.max_depth);
                               })
        .def_property_readonly("deterministic",
                               [](const Encoder &self) { return self.deterministic; })
        .def("__repr__", &Encoder::repr)
        .def(py::pickle(
            [](const Encoder &self) {
                return EncoderState(self.hook, self.options.datetime_as_timestamp, self.zone,
                                    self.options.indefinite, self.options.max_depth,
                                    self.deterministic);
            },
            [](const EncoderState &state) {
                return Encoder(std::get<0>(state), std::get<1>(state), std::get<2>(state),
                               std::get<3>(state), std::get<4>(state), std::get<5>(state));
            }));
}

} // namespace tovarel::cbor
