/*
 * cbor_load_options.cpp - the arguments every CBOR decoding call shares:
 * max_depth, the hooks, deterministic and duplicate_keys, read once here so
 * that loads and the stream readers take them alike and say alike what is
 * wrong with them.
 */
#include "cbor_load_options.h"

#include <cstddef>

namespace tovarel::cbor {

namespace {

/* Deep enough for any value that recursive Python code (repr, ==, dumps)
 * handles at the interpreter's default recursion limit; every nesting level
 * beyond it would only be a risk: hashing a tuple key recurses natively. */
constexpr uint64_t default_max_depth = 1000;

bool parse_max_depth(PyObject *depth, uint64_t *max_depth) {
    if (!PyLong_Check(depth)) {
        PyErr_Format(PyExc_TypeError, "max_depth must be an int, not %.100s",
                     Py_TYPE(depth)->tp_name);
        return false;
    }
    *max_depth = PyLong_AsUnsignedLongLong(depth);
    if (PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "max_depth must be from 0 to 2**64-1");
        return false;
    }
    return true;
}

/* A hook argument: a callable, or None for none. */
bool parse_hook(const char *what, PyObject *given, PyObject **hook) {
    if (given == Py_None) {
        *hook = nullptr;
        return true;
    }
    if (!PyCallable_Check(given)) {
        PyErr_Format(PyExc_TypeError, "%s must be callable or None, not %.100s", what,
                     Py_TYPE(given)->tp_name);
        return false;
    }
    *hook = given;
    return true;
}

/* deterministic: None, "core" or "length_first". */
bool parse_deterministic(PyObject *given, DecodeChecks *checks) {
    if (given == Py_None) {
        return true;
    }
    if (PyUnicode_Check(given) && PyUnicode_CompareWithASCIIString(given, "core") == 0) {
        checks->order = KeyOrder::core;
        checks->mode = "core";
        return true;
    }
    if (PyUnicode_Check(given) && PyUnicode_CompareWithASCIIString(given, "length_first") == 0) {
        checks->order = KeyOrder::length_first;
        checks->mode = "length_first";
        return true;
    }
    PyErr_Format(PyExc_ValueError, "deterministic must be None, 'core' or 'length_first', not %R",
                 given);
    return false;
}

/* duplicate_keys: "last" (a repeated key keeps its last value) or "error". */
bool parse_duplicates(PyObject *given, DecodeChecks *checks) {
    if (PyUnicode_Check(given) && PyUnicode_CompareWithASCIIString(given, "last") == 0) {
        return true;
    }
    if (PyUnicode_Check(given) && PyUnicode_CompareWithASCIIString(given, "error") == 0) {
        checks->refuse_duplicates = true;
        return true;
    }
    PyErr_Format(PyExc_ValueError, "duplicate_keys must be 'last' or 'error', not %R", given);
    return false;
}

constexpr std::size_t option_count = 5;
const char *const option_names[option_count] = {"max_depth", "tag_hook", "object_hook",
                                                "deterministic", "duplicate_keys"};

/* Sets the keyword's slot among given (options first, then the extra
 * keyword); false with TypeError for a name the call does not take or one
 * given twice. */
bool take_keyword(const CallShape &shape, PyObject *keyword, PyObject *value, PyObject **given,
                  PyObject **positional) {
    std::size_t which = 0;
    while (which < option_count &&
           PyUnicode_CompareWithASCIIString(keyword, option_names[which]) != 0) {
        which++;
    }
    PyObject **slot = nullptr;
    if (which < option_count) {
        slot = &given[which];
    } else if (shape.extra_keyword != nullptr &&
               PyUnicode_CompareWithASCIIString(keyword, shape.extra_keyword) == 0) {
        slot = &given[option_count];
    } else if (shape.positional != nullptr &&
               PyUnicode_CompareWithASCIIString(keyword, shape.positional) == 0) {
        slot = positional;
    }
    if (slot == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     shape.function, keyword);
        return false;
    }
    if (*slot != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", shape.function,
                     keyword);
        return false;
    }
    *slot = value;
    return true;
}

bool read_options(PyObject *const *given, LoadOptions *options) {
    options->max_depth = default_max_depth;
    return (given[0] == nullptr || parse_max_depth(given[0], &options->max_depth)) &&
           (given[1] == nullptr || parse_hook("tag_hook", given[1], &options->hooks.tag_hook)) &&
           (given[2] == nullptr ||
            parse_hook("object_hook", given[2], &options->hooks.object_hook)) &&
           (given[3] == nullptr || parse_deterministic(given[3], &options->checks)) &&
           (given[4] == nullptr || parse_duplicates(given[4], &options->checks));
}

} // namespace

bool parse_call(const CallShape &shape, PyObject *const *args, Py_ssize_t count,
                PyObject *keyword_names, PyObject **positional, PyObject **extra,
                LoadOptions *options) {
    const Py_ssize_t positional_count = shape.positional == nullptr ? 0 : 1;
    if (count > positional_count) {
        if (positional_count == 0) {
            PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments", shape.function);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() takes 1 positional argument but %zd were given",
                         shape.function, count);
        }
        return false;
    }
    PyObject *given[option_count + 1] = {};
    *positional = count == 1 ? args[0] : nullptr;
    const Py_ssize_t keyword_count = keyword_names == nullptr ? 0 : PyTuple_GET_SIZE(keyword_names);
    for (Py_ssize_t i = 0; i < keyword_count; i++) {
        if (!take_keyword(shape, PyTuple_GET_ITEM(keyword_names, i), args[count + i], given,
                          positional)) {
            return false;
        }
    }
    if (shape.positional != nullptr && *positional == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", shape.function,
                     shape.positional);
        return false;
    }
    *extra = given[option_count];
    return read_options(given, options);
}

bool parse_call_keywords(const CallShape &shape, PyObject *keywords, PyObject **extra,
                         LoadOptions *options) {
    PyObject *given[option_count + 1] = {};
    PyObject *unused = nullptr;
    if (keywords != nullptr) {
        Py_ssize_t position = 0;
        PyObject *keyword = nullptr;
        PyObject *value = nullptr;
        while (PyDict_Next(keywords, &position, &keyword, &value)) {
            if (!take_keyword(shape, keyword, value, given, &unused)) {
                return false;
            }
        }
    }
    *extra = given[option_count];
    return read_options(given, options);
}

} // namespace tovarel::cbor
