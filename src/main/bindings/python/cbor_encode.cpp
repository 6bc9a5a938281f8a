/*
 * cbor_encode.cpp - the walk of cbor.Encoder.
 *
 * Values made only of exact built-in types first go to dumps' fast path,
 * which writes exactly what this walk would (its sorting form for the
 * deterministic encodings, which also takes exact sets); it gives up on
 * anything else, and this walk then does the whole value.  The walk dispatches on the
 * exact type first (the common case), then on the subclasses of the
 * built-in types, the CBOR-only values and the standard library's types,
 * then on dumps' conversion (numpy scalars, bytes-like objects, objects
 * with __index__ or __int__), and only then on the caller's default hook;
 * so every value dumps accepts is written as dumps writes it.
 *
 * The default hook and the conversions run Python code, which may change
 * the containers being walked: as in dumps' general encoder, lists are
 * walked by index with their size read again at each step, dicts by
 * position with their size checked, and each element is held while it is
 * encoded.
 *
 * A value that cannot be encoded is reported with its place in the whole
 * value, e.g. value["a"][3]: the failure is thrown from where it is found,
 * and each container it passes on its way out puts its own step in front.
 * Nothing of this costs anything on the way in.
 */
#include "cbor_encode.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include <datetime.h>
#include <pybind11/pybind11.h>

#include "cbor_convert.h"
#include "cbor_fast.h"
#include "cbor_generator.h"
#include "cbor_out_block.h"
#include "cbor_stack.h"
#include "cbor_stdlib.h"
#include "cbor_tags_decode.h"
#include "cbor_time.h"
#include "cbor_types.h"

namespace py = pybind11;

namespace tovarel::cbor {

namespace {

constexpr uint8_t major_tag = 6;
constexpr uint8_t major_simple = 7;
constexpr uint8_t false_item = 0xF4;
constexpr uint8_t true_item = 0xF5;
constexpr uint8_t null_item = 0xF6;
constexpr uint8_t undefined_item = 0xF7;
constexpr uint8_t indefinite_array = 0x9F;
constexpr uint8_t indefinite_map = 0xBF;
constexpr uint8_t break_item = 0xFF;
constexpr uint64_t positive_bignum = 2;
constexpr uint64_t negative_bignum = 3;
/* The longest head or float item. */
constexpr std::size_t max_head = 9;
constexpr std::size_t first_capacity = 256;
constexpr std::size_t uuid_size = 16;
constexpr long seconds_per_day = 86400;
constexpr long seconds_per_minute = 60;
constexpr double microseconds_per_second = 1e6;
/* Room below the walk's own frame for the fast path's first levels. */
constexpr std::uintptr_t fast_start_bytes = 16 * 1024;
/* An upper bound of the native stack one level of the fast path takes. */
constexpr std::uintptr_t fast_level_bytes = 1024;

/* A value that cannot be encoded, on its way out to the top, gathering the
 * steps that lead to it. */
struct Unencodable {
    PyObject *type; /* TypeError or ValueError */
    std::string message;
    std::string path;
};

[[noreturn]] void unencodable(PyObject *type, std::string message) {
    throw Unencodable{type, std::move(message), std::string()};
}

std::string type_name(PyObject *value) {
    return Py_TYPE(value)->tp_name;
}

/* repr(value) as UTF-8, or a stand-in when repr fails. */
std::string repr_text(PyObject *value) {
    PyObject *text = PyObject_Repr(value);
    if (text != nullptr) {
        Py_ssize_t size = 0;
        const char *bytes = PyUnicode_AsUTF8AndSize(text, &size);
        if (bytes != nullptr) {
            std::string result(bytes, static_cast<std::size_t>(size));
            Py_DECREF(text);
            return result;
        }
        Py_DECREF(text);
    }
    PyErr_Clear();
    return "<" + type_name(value) + " object>";
}

/* How many containers deep the fast path may nest from here on this
 * thread's stack. */
std::size_t fast_nesting_headroom() {
    const std::uintptr_t floor = stack_floor();
    if (floor == 0) {
        return SIZE_MAX;
    }
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (here < floor + fast_start_bytes) {
        return 0;
    }
    return (here - floor - fast_start_bytes) / fast_level_bytes;
}

class Walk {
public:
    Walk(const EncodeOptions &settings, const StdlibTypes *stdlib)
        : options(settings), types(stdlib) {}
    ~Walk() {
        if (!block) {
            free(buffer);
        }
    }
    Walk(const Walk &) = delete;
    Walk &operator=(const Walk &) = delete;

    /* The bytes go into the thread's kept block when it is free (a hook
     * encoding again from inside this walk finds it taken and uses a block
     * of its own), else into one allocated for this call. */
    PyObject *run(PyObject *value) {
        block.emplace(first_capacity);
        if (block->held()) {
            buffer = block->data();
            capacity = block->capacity();
        } else {
            block.reset();
        }
        encode(value);
        return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(buffer),
                                         static_cast<Py_ssize_t>(length));
    }

private:
    /* ------------------------------------------------------------ output */

    void reserve(std::size_t count) {
        if (capacity - length < count) {
            grow(count);
        }
    }

    void grow(std::size_t count) {
        std::size_t wanted = capacity == 0 ? first_capacity : capacity;
        while (wanted - length < count) {
            if (wanted > SIZE_MAX / 2) {
                throw std::bad_alloc();
            }
            wanted *= 2;
        }
        if (block) {
            if (!block->grow(wanted)) {
                throw std::bad_alloc();
            }
            buffer = block->data();
            capacity = block->capacity();
            return;
        }
        auto *grown = static_cast<uint8_t *>(realloc(buffer, wanted));
        if (grown == nullptr) {
            throw std::bad_alloc();
        }
        buffer = grown;
        capacity = wanted;
    }

    void put_byte(uint8_t byte) {
        reserve(1);
        buffer[length++] = byte;
    }

    void put_head(uint8_t major_type, uint64_t argument) {
        reserve(max_head);
        length += static_cast<std::size_t>(cbor_head_encode(buffer + length, major_type, argument));
    }

    void put_string(uint8_t major_type, const char *bytes, std::size_t size) {
        if (size > SIZE_MAX - max_head) {
            throw std::bad_alloc();
        }
        reserve(max_head + size);
        length += static_cast<std::size_t>(cbor_head_encode(buffer + length, major_type, size));
        memcpy(buffer + length, bytes, size);
        length += size;
    }

    void put_float(double value) {
        reserve(max_head);
        length += static_cast<std::size_t>(cbor_float_item(value, buffer + length));
    }

    void open(uint8_t major_type, uint8_t indefinite_head, std::size_t count) {
        if (options.indefinite) {
            put_byte(indefinite_head);
        } else {
            put_head(major_type, count);
        }
    }

    void close() {
        if (options.indefinite) {
            put_byte(break_item);
        }
    }

    /* ------------------------------------------------------------ levels */

    /* One level deeper for the elements of a container (or a tag's
     * content), counted against max_depth as dumps counts it. */
    class Level {
    public:
        explicit Level(Walk &owner) : walk(owner) {
            if (walk.options.max_depth != 0 && ++walk.depth > walk.options.max_depth) {
                --walk.depth;
                throw std::runtime_error("Exceeded recursion limit:" +
                                         std::to_string(walk.options.max_depth));
            }
        }
        ~Level() {
            if (walk.options.max_depth != 0) {
                --walk.depth;
            }
        }
        Level(const Level &) = delete;
        Level &operator=(const Level &) = delete;

    private:
        Walk &walk;
    };

    /* ------------------------------------------------------------ dispatch */

    void encode(PyObject *value) {
        PyTypeObject *type = Py_TYPE(value);
        if (type == &PyUnicode_Type) {
            write_str(value);
        } else if (type == &PyLong_Type) {
            write_int(value);
        } else if (type == &PyFloat_Type) {
            put_float(PyFloat_AS_DOUBLE(value));
        } else if (type == &PyDict_Type) {
            write_dict(value);
        } else if (type == &PyList_Type) {
            write_list(value);
        } else if (type == &PyTuple_Type) {
            write_tuple(value);
        } else if (type == &PyBytes_Type) {
            put_string(CBOR_MAJOR_BYTE_STRING, PyBytes_AS_STRING(value),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
        } else if (value == Py_None) {
            put_byte(null_item);
        } else if (value == Py_True) {
            put_byte(true_item);
        } else if (value == Py_False) {
            put_byte(false_item);
        } else if (PyDateTime_CheckExact(value)) {
            write_datetime(value);
        } else {
            encode_other(value);
        }
    }

    /* Subclasses, in dumps' order of alternatives, then the tagged types,
     * then dumps' conversion, then the default hook. */
    void encode_other(PyObject *value) {
        if (PyFloat_Check(value)) {
            put_float(PyFloat_AS_DOUBLE(value));
        } else if (PyLong_Check(value)) {
            write_int(value);
        } else if (PyList_Check(value)) {
            write_list(value);
        } else if (PyTuple_Check(value)) {
            write_tuple(value);
        } else if (PyDict_Check(value)) {
            write_dict(value);
        } else if (PyBytes_Check(value)) {
            put_string(CBOR_MAJOR_BYTE_STRING, PyBytes_AS_STRING(value),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
        } else if (PyUnicode_Check(value)) {
            write_str(value);
        } else if (!write_cbor_only(value) && !write_tagged(value) && !write_converted(value)) {
            write_by_default(value);
        }
    }

    bool write_cbor_only(PyObject *value) {
        const CborOnlyValue found = cbor_only_value(value);
        switch (found.kind) {
        case CborOnlyValue::undefined:
            put_byte(undefined_item);
            return true;
        case CborOnlyValue::simple:
            put_head(major_simple, found.number);
            return true;
        case CborOnlyValue::tag: {
            RecursionGuard guard;
            py::object content = py::reinterpret_borrow<py::object>(found.value);
            put_head(major_tag, found.number);
            Level level(*this);
            encode(content.ptr());
            return true;
        }
        default:
            return false;
        }
    }

    bool write_tagged(PyObject *value) {
        if (PyDateTime_Check(value)) {
            write_datetime(value);
        } else if (PyDate_Check(value)) {
            write_date(value);
        } else if (PyAnySet_Check(value)) {
            write_set(value);
        } else if (PyObject_TypeCheck(value, as_type(types->decimal))) {
            write_decimal(value);
        } else if (PyObject_TypeCheck(value, as_type(types->uuid))) {
            write_uuid(value);
        } else if (PyObject_TypeCheck(value, as_type(types->fraction))) {
            write_fraction(value);
        } else {
            return write_ip(value);
        }
        return true;
    }

    /* What dumps' conversion makes of the rest. */
    bool write_converted(PyObject *value) {
        DumpsValue converted;
        if (!convert_dumps_value(value, true, converted)) {
            return false;
        }
        if (const bool *truth = std::get_if<bool>(&converted.alternative)) {
            put_byte(*truth ? true_item : false_item);
        } else if (const auto *number = std::get_if<unsigned long>(&converted.alternative)) {
            put_head(CBOR_MAJOR_UINT, *number);
        } else if (const auto *signed_number = std::get_if<long>(&converted.alternative)) {
            const long n = *signed_number;
            if (n < 0) {
                put_head(CBOR_MAJOR_NEGINT, static_cast<uint64_t>(-1 - n));
            } else {
                put_head(CBOR_MAJOR_UINT, static_cast<uint64_t>(n));
            }
        } else if (const double *real = std::get_if<double>(&converted.alternative)) {
            put_float(*real);
        } else if (const auto *bytes = std::get_if<ByteString>(&converted.alternative)) {
            ByteView view;
            if (!view.open(bytes->source.ptr())) {
                return false;
            }
            put_string(CBOR_MAJOR_BYTE_STRING, view.data(), view.size());
        } else {
            return false; /* the built-in types were all taken above */
        }
        return true;
    }

    /* The hook's result is encoded in the value's place; a result of the
     * value's own type would only ask the hook again. */
    void write_by_default(PyObject *value) {
        if (options.default_hook == nullptr) {
            unencodable(PyExc_TypeError, "cannot encode an object of type " + type_name(value));
        }
        RecursionGuard guard;
        py::object result =
            py::reinterpret_steal<py::object>(PyObject_CallOneArg(options.default_hook, value));
        if (!result) {
            throw py::error_already_set();
        }
        if (Py_TYPE(result.ptr()) == Py_TYPE(value)) {
            unencodable(PyExc_TypeError, "default returned an object of the type it was given, " +
                                             type_name(value) + ", which it cannot encode");
        }
        encode(result.ptr());
    }

    static PyTypeObject *as_type(PyObject *type) { return reinterpret_cast<PyTypeObject *>(type); }

    /* ------------------------------------------------------------ scalars */

    /* A str that holds a lone surrogate has no UTF-8 form. */
    void write_str(PyObject *value) {
        if (PyUnicode_IS_COMPACT_ASCII(value)) {
            put_string(CBOR_MAJOR_TEXT_STRING, static_cast<const char *>(PyUnicode_DATA(value)),
                       static_cast<std::size_t>(PyUnicode_GET_LENGTH(value)));
            return;
        }
        Py_ssize_t size = 0;
        const char *text = PyUnicode_AsUTF8AndSize(value, &size);
        if (text == nullptr) {
            PyErr_Clear();
            unencodable(PyExc_ValueError, "cannot encode a str holding a lone surrogate");
        }
        put_string(CBOR_MAJOR_TEXT_STRING, text, static_cast<std::size_t>(size));
    }

    /* Integers in the 64-bit ranges as heads, the others as bignums:
     * tag 2 around n, tag 3 around -1 - n, big-endian and without leading
     * zero bytes. */
    void write_int(PyObject *value) {
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow == 0) {
            if (number < 0) {
                put_head(CBOR_MAJOR_NEGINT, static_cast<uint64_t>(-1 - number));
            } else {
                put_head(CBOR_MAJOR_UINT, static_cast<uint64_t>(number));
            }
            return;
        }
        if (overflow > 0) {
            const unsigned long long large = PyLong_AsUnsignedLongLong(value);
            if (!(large == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
                put_head(CBOR_MAJOR_UINT, large);
                return;
            }
            PyErr_Clear();
            write_bignum(value, positive_bignum);
            return;
        }
        /* -1 - n is the magnitude beyond 2^63 that tag 3 carries. */
        py::object magnitude = py::reinterpret_steal<py::object>(PyNumber_Invert(value));
        if (!magnitude) {
            throw py::error_already_set();
        }
        const unsigned long long large = PyLong_AsUnsignedLongLong(magnitude.ptr());
        if (!(large == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
            put_head(CBOR_MAJOR_NEGINT, large);
            return;
        }
        PyErr_Clear();
        write_bignum(magnitude.ptr(), negative_bignum);
    }

    /* magnitude is a non-negative int. */
    void write_bignum(PyObject *magnitude, uint64_t tag) {
        const std::size_t bits = _PyLong_NumBits(magnitude);
        if (bits == static_cast<std::size_t>(-1)) {
            throw py::error_already_set();
        }
        const std::size_t size = (bits + 7) / 8;
        put_head(major_tag, tag);
        put_head(CBOR_MAJOR_BYTE_STRING, size);
        reserve(size);
        if (_PyLong_AsByteArray(reinterpret_cast<PyLongObject *>(magnitude), buffer + length, size,
                                0, 0) != 0) {
            throw py::error_already_set();
        }
        length += size;
    }

    /* ------------------------------------------------------------ containers */

    /* By index, re-reading the size at every step: an element's hook or
     * conversion may grow or shrink the list. */
    void write_list(PyObject *list) {
        RecursionGuard guard;
        const Py_ssize_t count = PyList_GET_SIZE(list);
        open(CBOR_MAJOR_ARRAY, indefinite_array, static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; i++) {
            if (PyList_GET_SIZE(list) != count) {
                break;
            }
            py::object element = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(list, i));
            Level level(*this);
            encode_at(element.ptr(), i);
        }
        if (PyList_GET_SIZE(list) != count) {
            throw std::runtime_error("list changed size during iteration");
        }
        close();
    }

    void write_tuple(PyObject *tuple) {
        RecursionGuard guard;
        const Py_ssize_t count = PyTuple_GET_SIZE(tuple);
        open(CBOR_MAJOR_ARRAY, indefinite_array, static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; i++) {
            Level level(*this);
            encode_at(PyTuple_GET_ITEM(tuple, i), i);
        }
        close();
    }

    /* An element at index i of a sequence. */
    void encode_at(PyObject *element, Py_ssize_t i) {
        try {
            encode(element);
        } catch (Unencodable &failure) {
            failure.path.insert(0, "[" + std::to_string(i) + "]");
            throw;
        }
    }

    /* By position, holding each key and value; a change of size, or a
     * removal paired with an insertion, is caught as in dumps. */
    void write_dict(PyObject *dict) {
        RecursionGuard guard;
        const Py_ssize_t count = PyDict_GET_SIZE(dict);
        open(CBOR_MAJOR_MAP, indefinite_map, static_cast<std::size_t>(count));
        Py_ssize_t position = 0;
        Py_ssize_t written = 0;
        PyObject *key_ref = nullptr;
        PyObject *value_ref = nullptr;
        std::vector<EncodedEntry> entries;
        if (options.order != KeyOrder::none) {
            entries.reserve(static_cast<std::size_t>(count));
        }
        while (PyDict_GET_SIZE(dict) == count &&
               PyDict_Next(dict, &position, &key_ref, &value_ref)) {
            if (written == count) {
                throw std::runtime_error("dictionary keys changed during iteration");
            }
            py::object key = py::reinterpret_borrow<py::object>(key_ref);
            py::object item = py::reinterpret_borrow<py::object>(value_ref);
            Level level(*this);
            EncodedEntry entry{length, 0, 0};
            try {
                encode(key.ptr());
            } catch (Unencodable &failure) {
                failure.message += " (a map key)";
                failure.path.insert(0, "[" + repr_text(key.ptr()) + "]");
                throw;
            }
            entry.key_end = length;
            try {
                encode(item.ptr());
            } catch (Unencodable &failure) {
                failure.path.insert(0, "[" + repr_text(key.ptr()) + "]");
                throw;
            }
            entry.end = length;
            if (options.order != KeyOrder::none) {
                entries.push_back(entry);
            }
            ++written;
        }
        if (PyDict_GET_SIZE(dict) != count) {
            throw std::runtime_error("dictionary changed size during iteration");
        }
        if (written != count) {
            throw std::runtime_error("dictionary keys changed during iteration");
        }
        put_in_order(entries, "map keys");
        close();
    }

    /* Deterministic encodings: the entries just written, sorted by their
     * keys' bytes.  Two distinct keys with one encoding (a default hook may
     * map two objects to one value) would make the choice between them
     * arbitrary, and a map with a key twice invalid. */
    void put_in_order(std::vector<EncodedEntry> &entries, const char *what) {
        if (options.order != KeyOrder::none && !order_entries(buffer, entries, options.order)) {
            unencodable(PyExc_ValueError, std::string("cannot encode deterministically: two ") +
                                              what + " have the same encoding");
        }
    }

    /* Tag 258 around an array of the elements, taken into a list first:
     * a set has no order to walk by index, and an element's hook may
     * change it. */
    void write_set(PyObject *set) {
        RecursionGuard guard;
        py::object elements = py::reinterpret_steal<py::object>(PySequence_List(set));
        if (!elements) {
            throw py::error_already_set();
        }
        put_head(major_tag, tag_set);
        const Py_ssize_t count = PyList_GET_SIZE(elements.ptr());
        open(CBOR_MAJOR_ARRAY, indefinite_array, static_cast<std::size_t>(count));
        std::vector<EncodedEntry> entries;
        for (Py_ssize_t i = 0; i < count; i++) {
            Level level(*this);
            PyObject *element = PyList_GET_ITEM(elements.ptr(), i);
            const std::size_t start = length;
            try {
                encode(element);
            } catch (Unencodable &failure) {
                /* A set's elements have no index: the step names the element. */
                failure.path.insert(0, "{" + repr_text(element) + "}");
                throw;
            }
            if (options.order != KeyOrder::none) {
                entries.push_back(EncodedEntry{start, length, length});
            }
        }
        put_in_order(entries, "set elements");
        close();
    }

    /* ------------------------------------------------------------ tagged types */

    /* The time zone of a naive datetime is the Encoder's, if it has one. */
    py::object aware(PyObject *value) {
        if (PyDateTime_DATE_GET_TZINFO(value) != Py_None) {
            return py::reinterpret_borrow<py::object>(value);
        }
        if (options.timezone == nullptr) {
            unencodable(PyExc_ValueError, "cannot encode the naive datetime " + repr_text(value) +
                                              " without an Encoder timezone");
        }
        py::object replace = attribute(value, "replace");
        py::object no_arguments = py::reinterpret_steal<py::object>(PyTuple_New(0));
        py::object zone =
            py::reinterpret_steal<py::object>(Py_BuildValue("{sO}", "tzinfo", options.timezone));
        if (!no_arguments || !zone) {
            throw py::error_already_set();
        }
        PyObject *replaced = PyObject_Call(replace.ptr(), no_arguments.ptr(), zone.ptr());
        if (replaced == nullptr) {
            throw py::error_already_set();
        }
        return py::reinterpret_steal<py::object>(replaced);
    }

    /* Its offset from UTC in seconds, which its time zone says. */
    long utc_offset_seconds(PyObject *value, long *microseconds) {
        *microseconds = 0;
        if (PyDateTime_DATE_GET_TZINFO(value) == types->utc) {
            return 0;
        }
        py::object offset =
            py::reinterpret_steal<py::object>(PyObject_CallMethod(value, "utcoffset", nullptr));
        if (!offset) {
            throw py::error_already_set();
        }
        if (offset.is_none()) {
            unencodable(PyExc_ValueError, "cannot encode the datetime " + repr_text(value) +
                                              ": its time zone gives no UTC offset");
        }
        *microseconds = PyDateTime_DELTA_GET_MICROSECONDS(offset.ptr());
        return PyDateTime_DELTA_GET_DAYS(offset.ptr()) * seconds_per_day +
               PyDateTime_DELTA_GET_SECONDS(offset.ptr());
    }

    static cbor_time_fields fields_of(PyObject *value) {
        cbor_time_fields fields{};
        fields.year = PyDateTime_GET_YEAR(value);
        fields.month = static_cast<uint8_t>(PyDateTime_GET_MONTH(value));
        fields.day = static_cast<uint8_t>(PyDateTime_GET_DAY(value));
        fields.hour = static_cast<uint8_t>(PyDateTime_DATE_GET_HOUR(value));
        fields.minute = static_cast<uint8_t>(PyDateTime_DATE_GET_MINUTE(value));
        fields.second = static_cast<uint8_t>(PyDateTime_DATE_GET_SECOND(value));
        fields.microsecond = static_cast<uint32_t>(PyDateTime_DATE_GET_MICROSECOND(value));
        return fields;
    }

    /*
     * Tag 0 with RFC 3339 text in the datetime's own offset, or, with
     * datetime_as_timestamp, tag 1 with the seconds since the epoch.  RFC
     * 3339 offsets are whole minutes; a datetime whose zone is finer is
     * written in UTC, the same instant.
     */
    void write_datetime(PyObject *given) {
        py::object held = aware(given);
        PyObject *value = held.ptr();
        long offset_microseconds = 0;
        long offset = utc_offset_seconds(value, &offset_microseconds);
        if (offset % seconds_per_minute != 0 || offset_microseconds != 0) {
            PyObject *in_utc = PyObject_CallMethod(value, "astimezone", "(O)", types->utc);
            if (in_utc == nullptr) {
                throw py::error_already_set();
            }
            held = py::reinterpret_steal<py::object>(in_utc);
            value = in_utc;
            offset = 0;
        }
        cbor_time_fields fields = fields_of(value);
        if (options.datetime_as_timestamp) {
            const long long seconds =
                cbor_time_days_from_civil(fields.year, fields.month, fields.day) * seconds_per_day +
                fields.hour * 3600LL + fields.minute * 60LL + fields.second - offset;
            put_head(major_tag, tag_epoch_time);
            if (fields.microsecond == 0) {
                write_int64(seconds);
            } else {
                const long long microseconds = seconds * 1000000LL + fields.microsecond;
                const double stamp = static_cast<double>(microseconds) / microseconds_per_second;
                check_timestamp(value, stamp);
                put_float(stamp);
            }
            return;
        }
        fields.offset_minutes = static_cast<int32_t>(offset / seconds_per_minute);
        char text[CBOR_TIME_TEXT_MAX];
        const std::size_t size = cbor_time_format_datetime(&fields, text);
        put_head(major_tag, tag_datetime_text);
        put_string(CBOR_MAJOR_TEXT_STRING, text, size);
    }

    /* A double holds microseconds exactly only within some 140 years of
     * 1970; beyond, the timestamp would decode to another instant, and an
     * encoder that writes a value must not write a different one.  The
     * check decodes it as the decoders do. */
    void check_timestamp(PyObject *value, double stamp) {
        py::object arguments =
            py::reinterpret_steal<py::object>(Py_BuildValue("(dO)", stamp, types->utc));
        if (!arguments) {
            throw py::error_already_set();
        }
        py::object decoded =
            py::reinterpret_steal<py::object>(PyDateTimeAPI->DateTime_FromTimestamp(
                reinterpret_cast<PyObject *>(PyDateTimeAPI->DateTimeType), arguments.ptr(),
                nullptr));
        const int equal = decoded ? PyObject_RichCompareBool(decoded.ptr(), value, Py_EQ) : -1;
        if (equal < 0) {
            PyErr_Clear();
        }
        if (equal != 1) {
            unencodable(PyExc_ValueError,
                        "cannot encode the datetime " + repr_text(value) +
                            " as a timestamp: a float does not hold its microseconds");
        }
    }

    void write_int64(long long number) {
        if (number < 0) {
            put_head(CBOR_MAJOR_NEGINT, static_cast<uint64_t>(-1 - number));
        } else {
            put_head(CBOR_MAJOR_UINT, static_cast<uint64_t>(number));
        }
    }

    void write_date(PyObject *value) {
        cbor_time_fields fields{};
        fields.year = PyDateTime_GET_YEAR(value);
        fields.month = static_cast<uint8_t>(PyDateTime_GET_MONTH(value));
        fields.day = static_cast<uint8_t>(PyDateTime_GET_DAY(value));
        char text[CBOR_TIME_TEXT_MAX];
        const std::size_t size = cbor_time_format_date(&fields, text);
        put_head(major_tag, tag_date_text);
        put_string(CBOR_MAJOR_TEXT_STRING, text, size);
    }

    /*
     * Tag 4 around [exponent, mantissa], read from the Decimal's text,
     * which holds its digits and exponent exactly: "-12.345", "1.2E+7",
     * "0E-8".  NaNs and infinities have no such form and are written as
     * the floats.
     */
    void write_decimal(PyObject *value) {
        py::object text_object = py::reinterpret_steal<py::object>(PyObject_Str(value));
        if (!text_object) {
            throw py::error_already_set();
        }
        Py_ssize_t size = 0;
        const char *text = PyUnicode_AsUTF8AndSize(text_object.ptr(), &size);
        if (text == nullptr) {
            throw py::error_already_set();
        }
        const char *end = text + size;
        const bool negative = *text == '-';
        const char *at = negative ? text + 1 : text;
        if (at < end && (*at == 'N' || *at == 's')) {
            put_float(std::numeric_limits<double>::quiet_NaN());
            return;
        }
        if (at < end && *at == 'I') {
            put_float(negative ? -std::numeric_limits<double>::infinity()
                               : std::numeric_limits<double>::infinity());
            return;
        }
        std::string digits;
        long long exponent = 0;
        bool in_fraction = false;
        for (; at < end && *at != 'E'; at++) {
            if (*at == '.') {
                in_fraction = true;
            } else {
                digits.push_back(*at);
                exponent -= in_fraction ? 1 : 0;
            }
        }
        if (at < end) {
            exponent += std::strtoll(at + 1, nullptr, 10);
        }
        put_head(major_tag, tag_decimal_fraction);
        put_head(CBOR_MAJOR_ARRAY, 2);
        write_int64(exponent);
        write_mantissa(digits, negative);
    }

    void write_mantissa(const std::string &digits, bool negative) {
        constexpr std::size_t int64_digits = 18;
        if (digits.size() <= int64_digits) {
            const long long magnitude = std::strtoll(digits.c_str(), nullptr, 10);
            write_int64(negative ? -magnitude : magnitude);
            return;
        }
        py::object number = py::reinterpret_steal<py::object>(
            PyLong_FromString((negative ? "-" + digits : digits).c_str(), nullptr, 10));
        if (!number) {
            throw py::error_already_set();
        }
        write_int(number.ptr());
    }

    void write_fraction(PyObject *value) {
        py::object numerator =
            py::reinterpret_steal<py::object>(PyObject_GetAttrString(value, "numerator"));
        py::object denominator =
            py::reinterpret_steal<py::object>(PyObject_GetAttrString(value, "denominator"));
        if (!numerator || !denominator) {
            throw py::error_already_set();
        }
        if (!PyLong_Check(numerator.ptr()) || !PyLong_Check(denominator.ptr())) {
            unencodable(PyExc_TypeError, "cannot encode the Fraction " + repr_text(value) +
                                             ": its terms are not ints");
        }
        put_head(major_tag, tag_rational);
        put_head(CBOR_MAJOR_ARRAY, 2);
        write_int(numerator.ptr());
        write_int(denominator.ptr());
    }

    void write_uuid(PyObject *value) {
        py::object number = py::reinterpret_steal<py::object>(PyObject_GetAttrString(value, "int"));
        if (!number) {
            throw py::error_already_set();
        }
        unsigned char bytes[uuid_size];
        if (!PyLong_Check(number.ptr()) ||
            _PyLong_AsByteArray(reinterpret_cast<PyLongObject *>(number.ptr()), bytes, uuid_size, 0,
                                0) != 0) {
            PyErr_Clear();
            unencodable(PyExc_ValueError, "cannot encode the UUID " + repr_text(value));
        }
        put_head(major_tag, tag_uuid);
        put_string(CBOR_MAJOR_BYTE_STRING, reinterpret_cast<const char *>(bytes), uuid_size);
    }

    /* RFC 9164: an address as its bytes; an interface as [bytes, prefix
     * length]; a network as [prefix length, bytes without their trailing
     * zero bytes].  Interfaces derive from addresses, so they come first. */
    bool write_ip(PyObject *value) {
        for (int family = 0; family <= ip_version_6; family += ip_version_6) {
            const uint64_t tag = family == 0 ? tag_ipv4 : tag_ipv6;
            const std::size_t size = family == 0 ? 4 : 16;
            if (PyObject_TypeCheck(value, as_type(types->ip_types[family + ip_interface]))) {
                py::object address = attribute(value, "ip");
                py::object network = attribute(value, "network");
                put_head(major_tag, tag);
                put_head(CBOR_MAJOR_ARRAY, 2);
                write_address(address.ptr(), size, false);
                write_int(attribute(network.ptr(), "prefixlen").ptr());
                return true;
            }
            if (PyObject_TypeCheck(value, as_type(types->ip_types[family + ip_network]))) {
                py::object address = attribute(value, "network_address");
                put_head(major_tag, tag);
                put_head(CBOR_MAJOR_ARRAY, 2);
                write_int(attribute(value, "prefixlen").ptr());
                write_address(address.ptr(), size, true);
                return true;
            }
            if (PyObject_TypeCheck(value, as_type(types->ip_types[family + ip_address]))) {
                put_head(major_tag, tag);
                write_address(value, size, false);
                return true;
            }
        }
        return false;
    }

    static py::object attribute(PyObject *value, const char *name) {
        py::object found = py::reinterpret_steal<py::object>(PyObject_GetAttrString(value, name));
        if (!found) {
            throw py::error_already_set();
        }
        return found;
    }

    /* An address's bytes, from its integer value.  An IPv6 address with a
     * zone would lose the zone, so it is refused. */
    void write_address(PyObject *address, std::size_t size, bool strip_trailing_zeros) {
        if (size == 16) {
            py::object zone = attribute(address, "scope_id");
            if (!zone.is_none()) {
                unencodable(PyExc_ValueError, "cannot encode the IPv6 address " +
                                                  repr_text(address) + " with its zone");
            }
        }
        py::object number = py::reinterpret_steal<py::object>(PyNumber_Long(address));
        if (!number) {
            throw py::error_already_set();
        }
        unsigned char bytes[16];
        if (_PyLong_AsByteArray(reinterpret_cast<PyLongObject *>(number.ptr()), bytes, size, 0,
                                0) != 0) {
            throw py::error_already_set();
        }
        std::size_t kept = size;
        while (strip_trailing_zeros && kept > 0 && bytes[kept - 1] == 0) {
            kept--;
        }
        put_string(CBOR_MAJOR_BYTE_STRING, reinterpret_cast<const char *>(bytes), kept);
    }

    const EncodeOptions &options;
    const StdlibTypes *types;
    std::optional<OutBlock> block; /* held: buffer is its memory */
    uint8_t *buffer = nullptr;
    std::size_t length = 0;
    std::size_t capacity = 0;
    uint64_t depth = 0;
};

} // namespace

PyObject *encode_value(PyObject *value, const EncodeOptions &options, bool fast_path) {
    if (fast_path) {
        PyObject *fast =
            options.order == KeyOrder::none
                ? tovarel_cbor_dumps_fast(value, options.indefinite, options.max_depth,
                                          fast_nesting_headroom())
                : tovarel_cbor_dumps_fast_sorted(value, options.order, options.max_depth,
                                                 fast_nesting_headroom());
        if (fast != nullptr) {
            return fast;
        }
    }
    const StdlibTypes *types = stdlib_types();
    if (types == nullptr) {
        return nullptr;
    }
    if (PyDateTimeAPI == nullptr) {
        PyDateTime_IMPORT;
        if (PyDateTimeAPI == nullptr) {
            return nullptr;
        }
    }
    try {
        Walk walk(options, types);
        return walk.run(value);
    } catch (const Unencodable &failure) {
        const std::string where = failure.path.empty() ? "" : " at value" + failure.path;
        PyErr_Format(failure.type, "%s%s", failure.message.c_str(), where.c_str());
    } catch (py::error_already_set &error) {
        error.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::runtime_error &error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    }
    return nullptr;
}

} // namespace tovarel::cbor
