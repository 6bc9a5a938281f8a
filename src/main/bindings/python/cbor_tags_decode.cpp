/*
 * cbor_tags_decode.cpp - tags 0, 1, 4, 30, 37, 52, 54, 100, 258 and 1004
 * into datetime, date, Decimal, Fraction, UUID, ipaddress and set values.
 *
 * Each content is checked completely before a value is made of it, and a
 * content that does not fit its tag is a decode error at the tag: a value
 * of the wrong shape never passes for the type.  A failure of the type's
 * own constructor on checked content (a date beyond year 9999) is reported
 * the same way, since it too is a property of the input.
 */
#include "cbor_tags_decode.h"

#include <cstring>

#include <datetime.h>

#include "cbor_stdlib.h"
#include "cbor_time.h"
#include "cbor_types.h"

namespace tovarel::cbor {

namespace {

constexpr std::size_t uuid_size = 16;
constexpr std::size_t ipv4_size = 4;
constexpr std::size_t ipv6_size = 16;
constexpr long seconds_per_minute = 60;
/* date.toordinal() of 1970-01-01, the day tag 100 counts from. */
constexpr long long epoch_ordinal = 719163;
constexpr int largest_leap_second = 60;

/* A decode error for content that does not fit its tag; returns null. */
PyObject *malformed(uint64_t number, uint64_t offset, const char *expected) {
    PyErr_Format(decode_error, "tag %llu at byte %llu must hold %s",
                 static_cast<unsigned long long>(number), reported_offset(offset), expected);
    return nullptr;
}

/* A constructor that refused checked content: the same decode error, with
 * the constructor's complaint as its cause.  Memory errors stay. */
PyObject *refused(uint64_t number, uint64_t offset, const char *expected) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError) || PyErr_ExceptionMatches(PyExc_RecursionError)) {
        return nullptr;
    }
    PyObject *type = nullptr;
    PyObject *cause = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &cause, &traceback);
    PyErr_NormalizeException(&type, &cause, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    malformed(number, offset, expected);
    PyObject *error_type = nullptr;
    PyObject *error = nullptr;
    PyObject *error_traceback = nullptr;
    PyErr_Fetch(&error_type, &error, &error_traceback);
    PyErr_NormalizeException(&error_type, &error, &error_traceback);
    if (error != nullptr && cause != nullptr) {
        PyException_SetCause(error, cause); /* steals cause */
        cause = nullptr;
    }
    Py_XDECREF(cause);
    PyErr_Restore(error_type, error, error_traceback);
    return nullptr;
}

bool is_integer(PyObject *object) {
    return PyLong_CheckExact(object);
}

/* A decoded array: a list, or a tuple inside a map key. */
bool pair_of_integers(PyObject *content, PyObject **first, PyObject **second) {
    if (!(PyList_CheckExact(content) || PyTuple_CheckExact(content)) ||
        PySequence_Fast_GET_SIZE(content) != 2) {
        return false;
    }
    *first = PySequence_Fast_GET_ITEM(content, 0);
    *second = PySequence_Fast_GET_ITEM(content, 1);
    return is_integer(*first) && is_integer(*second);
}

PyObject *timezone_of(const StdlibTypes &types, int32_t offset_minutes) {
    if (offset_minutes == 0) {
        return Py_NewRef(types.utc);
    }
    PyObject *delta = PyDelta_FromDSU(0, offset_minutes * seconds_per_minute, 0);
    if (delta == nullptr) {
        return nullptr;
    }
    PyObject *zone = PyTimeZone_FromOffset(delta);
    Py_DECREF(delta);
    return zone;
}

constexpr const char *datetime_text = "RFC 3339 date-time text";

PyObject *datetime_from_text(const StdlibTypes &types, PyObject *content, uint64_t offset) {
    Py_ssize_t length = 0;
    const char *text =
        PyUnicode_Check(content) ? PyUnicode_AsUTF8AndSize(content, &length) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return malformed(tag_datetime_text, offset, datetime_text);
    }
    cbor_time_fields fields{};
    if (cbor_time_parse_datetime(reinterpret_cast<const uint8_t *>(text),
                                 static_cast<uint64_t>(length), &fields) != 0) {
        return malformed(tag_datetime_text, offset, datetime_text);
    }
    if (fields.second == largest_leap_second || fields.year == 0) {
        return malformed(tag_datetime_text, offset,
                         "a date-time from year 1 on, without a leap second");
    }
    PyObject *zone = timezone_of(types, fields.offset_minutes);
    if (zone == nullptr) {
        return nullptr;
    }
    PyObject *value = PyDateTimeAPI->DateTime_FromDateAndTime(
        fields.year, fields.month, fields.day, fields.hour, fields.minute, fields.second,
        static_cast<int>(fields.microsecond), zone, PyDateTimeAPI->DateTimeType);
    Py_DECREF(zone);
    return value;
}

/* Seconds since the epoch (an integer or a float) as an aware UTC datetime,
 * as datetime.fromtimestamp makes it (rounding a float to microseconds). */
PyObject *datetime_from_epoch(const StdlibTypes &types, PyObject *content, uint64_t offset) {
    constexpr const char *expected = "an integer or float number of seconds since 1970";
    if (!is_integer(content) && !PyFloat_CheckExact(content)) {
        return malformed(tag_epoch_time, offset, expected);
    }
    PyObject *arguments = PyTuple_Pack(2, content, types.utc);
    if (arguments == nullptr) {
        return nullptr;
    }
    PyObject *value = PyDateTimeAPI->DateTime_FromTimestamp(
        reinterpret_cast<PyObject *>(PyDateTimeAPI->DateTimeType), arguments, nullptr);
    Py_DECREF(arguments);
    return value != nullptr ? value : refused(tag_epoch_time, offset, expected);
}

PyObject *date_from_text(PyObject *content, uint64_t offset) {
    constexpr const char *expected = "RFC 3339 full-date text from year 1 on";
    Py_ssize_t length = 0;
    const char *text =
        PyUnicode_Check(content) ? PyUnicode_AsUTF8AndSize(content, &length) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return malformed(tag_date_text, offset, expected);
    }
    cbor_time_fields fields{};
    if (cbor_time_parse_date(reinterpret_cast<const uint8_t *>(text), static_cast<uint64_t>(length),
                             &fields) != 0 ||
        fields.year == 0) {
        return malformed(tag_date_text, offset, expected);
    }
    return PyDate_FromDate(fields.year, fields.month, fields.day);
}

PyObject *date_from_days(PyObject *content, uint64_t offset) {
    constexpr const char *expected = "an integer number of days since 1970-01-01";
    if (!is_integer(content)) {
        return malformed(tag_epoch_date, offset, expected);
    }
    int overflow = 0;
    const long long days = PyLong_AsLongLongAndOverflow(content, &overflow);
    /* Far beyond the range of dates, whatever the count. */
    constexpr long long any_date = 1LL << 40;
    if (overflow != 0 || days > any_date || days < -any_date) {
        return malformed(tag_epoch_date, offset, "a day count within the years 1 to 9999");
    }
    PyObject *value = PyObject_CallMethod(reinterpret_cast<PyObject *>(PyDateTimeAPI->DateType),
                                          "fromordinal", "L", days + epoch_ordinal);
    return value != nullptr
               ? value
               : refused(tag_epoch_date, offset, "a day count within the years 1 to 9999");
}

/* [exponent, mantissa] as the Decimal mantissa * 10**exponent, built from
 * its text, which the constructor takes exactly (a context would round). */
PyObject *decimal_from_pair(const StdlibTypes &types, PyObject *content, uint64_t offset) {
    constexpr const char *expected = "[exponent, mantissa], two integers";
    PyObject *exponent = nullptr;
    PyObject *mantissa = nullptr;
    if (!pair_of_integers(content, &exponent, &mantissa)) {
        return malformed(tag_decimal_fraction, offset, expected);
    }
    PyObject *text = PyUnicode_FromFormat("%SE%S", mantissa, exponent);
    if (text == nullptr) {
        return nullptr;
    }
    PyObject *value = PyObject_CallOneArg(types.decimal, text);
    Py_DECREF(text);
    return value != nullptr ? value : refused(tag_decimal_fraction, offset, expected);
}

PyObject *fraction_from_pair(const StdlibTypes &types, PyObject *content, uint64_t offset) {
    constexpr const char *expected =
        "[numerator, denominator], integers with a denominator above 0";
    PyObject *numerator = nullptr;
    PyObject *denominator = nullptr;
    if (!pair_of_integers(content, &numerator, &denominator)) {
        return malformed(tag_rational, offset, expected);
    }
    PyObject *zero = PyLong_FromLong(0);
    if (zero == nullptr) {
        return nullptr;
    }
    const int positive = PyObject_RichCompareBool(denominator, zero, Py_GT);
    Py_DECREF(zero);
    if (positive != 1) {
        return positive < 0 ? nullptr : malformed(tag_rational, offset, expected);
    }
    return PyObject_CallFunctionObjArgs(types.fraction, numerator, denominator, nullptr);
}

/* UUID objects are immutable, and their constructor is Python code that
 * checks what is already checked here; the value's two slots are set
 * directly when the class has them, as its constructor would set them. */
PyObject *uuid_from_bytes(const StdlibTypes &types, PyObject *content, uint64_t offset) {
    if (!PyBytes_CheckExact(content) || PyBytes_GET_SIZE(content) != uuid_size) {
        return malformed(tag_uuid, offset, "a byte string of 16 bytes");
    }
    PyObject *number = _PyLong_FromByteArray(
        reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(content)), uuid_size, 0, 0);
    if (number == nullptr) {
        return nullptr;
    }
    PyObject *value = nullptr;
    if (types.uuid_int_slot != nullptr && types.uuid_is_safe_slot != nullptr) {
        auto *type = reinterpret_cast<PyTypeObject *>(types.uuid);
        value = type->tp_alloc(type, 0);
        if (value != nullptr &&
            (Py_TYPE(types.uuid_int_slot)->tp_descr_set(types.uuid_int_slot, value, number) != 0 ||
             Py_TYPE(types.uuid_is_safe_slot)
                     ->tp_descr_set(types.uuid_is_safe_slot, value, types.uuid_unknown_safety) !=
                 0)) {
            Py_CLEAR(value);
        }
    } else {
        PyObject *arguments = PyTuple_New(0);
        PyObject *keywords = Py_BuildValue("{sO}", "int", number);
        if (arguments != nullptr && keywords != nullptr) {
            value = PyObject_Call(types.uuid, arguments, keywords);
        }
        Py_XDECREF(arguments);
        Py_XDECREF(keywords);
    }
    Py_DECREF(number);
    return value;
}

/* A set's elements were decoded as a map key's are (arrays as tuples, sets
 * as frozensets), so each can hash. */
PyObject *set_from_array(PyObject *content, bool frozen, uint64_t offset) {
    if (!PyList_CheckExact(content) && !PyTuple_CheckExact(content)) {
        return malformed(tag_set, offset, "an array");
    }
    PyObject *value = frozen ? PyFrozenSet_New(content) : PySet_New(content);
    if (value == nullptr && PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        return malformed(tag_set, offset, "an array of hashable elements");
    }
    return value;
}

/* The bytes of an address of size bytes, zeros after the given ones, as an
 * int; false when more bytes are given than the address has. */
PyObject *address_number(PyObject *bytes, std::size_t size) {
    const Py_ssize_t given = PyBytes_GET_SIZE(bytes);
    if (given > static_cast<Py_ssize_t>(size)) {
        return nullptr;
    }
    unsigned char full[ipv6_size] = {};
    memcpy(full, PyBytes_AS_STRING(bytes), static_cast<std::size_t>(given));
    return _PyLong_FromByteArray(full, size, 0, 0);
}

/* Whether bits at and beyond prefix (of a size-byte address) are all 0. */
bool host_bits_clear(PyObject *bytes, long prefix) {
    const auto *data = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(bytes));
    for (Py_ssize_t i = 0; i < PyBytes_GET_SIZE(bytes); i++) {
        const long first_bit = i * 8;
        unsigned mask = 0xFF;
        if (first_bit + 8 <= prefix) {
            mask = 0;
        } else if (first_bit < prefix) {
            mask = 0xFFu >> (prefix - first_bit);
        }
        if ((data[i] & mask) != 0) {
            return false;
        }
    }
    return true;
}

/*
 * RFC 9164: an address is its bytes; a network [prefix length, the
 * address's bytes with trailing zero bytes left out, no bits set beyond the
 * prefix]; an interface [the address's bytes, prefix length].  The forms
 * with a zone identifier have no value here and stay a Tag.
 */
PyObject *ip_value(const StdlibTypes &types, uint64_t number, PyObject *content, uint64_t offset,
                   bool *no_type) {
    const bool six = number == tag_ipv6;
    const std::size_t size = six ? ipv6_size : ipv4_size;
    const long longest_prefix = static_cast<long>(size * 8);
    const int family = six ? ip_version_6 : 0;
    const char *expected = six ? "a 16-byte IPv6 address, or an RFC 9164 prefix or interface"
                               : "a 4-byte IPv4 address, or an RFC 9164 prefix or interface";
    if (PyBytes_CheckExact(content)) {
        if (PyBytes_GET_SIZE(content) != static_cast<Py_ssize_t>(size)) {
            return malformed(number, offset, expected);
        }
        PyObject *address = address_number(content, size);
        if (address == nullptr) {
            return nullptr;
        }
        PyObject *value = PyObject_CallOneArg(types.ip_types[family + ip_address], address);
        Py_DECREF(address);
        return value;
    }
    if (!(PyList_CheckExact(content) || PyTuple_CheckExact(content))) {
        return malformed(number, offset, expected);
    }
    if (PySequence_Fast_GET_SIZE(content) != 2) {
        *no_type = PySequence_Fast_GET_SIZE(content) == 3;
        return *no_type ? nullptr : malformed(number, offset, expected);
    }
    PyObject *first = PySequence_Fast_GET_ITEM(content, 0);
    PyObject *second = PySequence_Fast_GET_ITEM(content, 1);
    const bool network = is_integer(first) && PyBytes_CheckExact(second);
    const bool interface = PyBytes_CheckExact(first) && is_integer(second);
    if (!network && !interface) {
        return malformed(number, offset, expected);
    }
    PyObject *bytes = network ? second : first;
    const long prefix = PyLong_AsLong(network ? first : second);
    if (prefix == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return malformed(number, offset, expected);
    }
    const bool fits = prefix >= 0 && prefix <= longest_prefix &&
                      PyBytes_GET_SIZE(bytes) <= static_cast<Py_ssize_t>(size) &&
                      (network ? host_bits_clear(bytes, prefix)
                               : PyBytes_GET_SIZE(bytes) == static_cast<Py_ssize_t>(size));
    if (!fits) {
        return malformed(number, offset, expected);
    }
    PyObject *address = address_number(bytes, size);
    if (address == nullptr) {
        return nullptr;
    }
    PyObject *value = nullptr;
    PyObject *pair = Py_BuildValue("(Ol)", address, prefix);
    Py_DECREF(address);
    if (pair != nullptr) {
        value = PyObject_CallOneArg(types.ip_types[family + (network ? ip_network : ip_interface)],
                                    pair);
        Py_DECREF(pair);
    }
    return value;
}

PyObject *plain_tag(uint64_t number, PyObject *content, PyObject *tag_hook) {
    PyObject *tag = new_tag(number, content);
    if (tag == nullptr || tag_hook == nullptr) {
        return tag;
    }
    PyObject *value = PyObject_CallOneArg(tag_hook, tag);
    Py_DECREF(tag);
    return value;
}

} // namespace

PyObject *tag_value(uint64_t number, PyObject *content, bool frozen, uint64_t offset,
                    PyObject *tag_hook) {
    switch (number) {
    case tag_datetime_text:
    case tag_epoch_time:
    case tag_decimal_fraction:
    case tag_rational:
    case tag_uuid:
    case tag_ipv4:
    case tag_ipv6:
    case tag_epoch_date:
    case tag_set:
    case tag_date_text:
        break;
    default:
        return plain_tag(number, content, tag_hook);
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
    switch (number) {
    case tag_datetime_text:
        return datetime_from_text(*types, content, offset);
    case tag_epoch_time:
        return datetime_from_epoch(*types, content, offset);
    case tag_decimal_fraction:
        return decimal_from_pair(*types, content, offset);
    case tag_rational:
        return fraction_from_pair(*types, content, offset);
    case tag_uuid:
        return uuid_from_bytes(*types, content, offset);
    case tag_epoch_date:
        return date_from_days(content, offset);
    case tag_set:
        return set_from_array(content, frozen, offset);
    case tag_date_text:
        return date_from_text(content, offset);
    default: {
        bool no_type = false;
        PyObject *value = ip_value(*types, number, content, offset, &no_type);
        return no_type ? plain_tag(number, content, tag_hook) : value;
    }
    }
}

} // namespace tovarel::cbor
