/*
 * cbor_load_options.h - what every CBOR decoding call takes besides its
 * input (max_depth, the hooks, the deterministic checks), how its arguments
 * are read, and the decoding of one item held in memory, which the stream
 * readers share with loads.
 */
#ifndef TOVAREL_BINDINGS_PYTHON_CBOR_LOAD_OPTIONS_H
#define TOVAREL_BINDINGS_PYTHON_CBOR_LOAD_OPTIONS_H

#include <cstdint>

#include <pybind11/pybind11.h>

#include "cbor_builder.h"

namespace tovarel::cbor {

/* What a call was asked for, besides its input.  The hooks are borrowed. */
struct LoadOptions {
    uint64_t max_depth = 0;
    DecodeHooks hooks;
    DecodeChecks checks;

    /* Hooks run the caller's code on values as they are made, so their
     * values must be made once: only the walker's decoder, which never
     * starts over, may call them. */
    bool direct_path_allowed() const {
        return hooks.tag_hook == nullptr && hooks.object_hook == nullptr;
    }
};

/* The shape of one decoding function's arguments: its name for messages,
 * the name of its one positional argument (null: it takes none), and one
 * keyword of its own besides the options (null: none). */
struct CallShape {
    const char *function;
    const char *positional;
    const char *extra_keyword;
};

/* Reads a vectorcall's arguments into *positional, *extra (left null when
 * not given) and *options; false with the exception set. */
bool parse_call(const CallShape &shape, PyObject *const *args, Py_ssize_t count,
                PyObject *keyword_names, PyObject **positional, PyObject **extra,
                LoadOptions *options);

/* The same for keyword arguments gathered in a dict (or null). */
bool parse_call_keywords(const CallShape &shape, PyObject *keywords, PyObject **extra,
                         LoadOptions *options);

/* loads over size bytes at data, which stay unchanged for the call: one
 * item and nothing after it, or CBORDecodeError. */
pybind11::object loads_region(const uint8_t *data, uint64_t size, const LoadOptions &options);

} // namespace tovarel::cbor

#endif /* TOVAREL_BINDINGS_PYTHON_CBOR_LOAD_OPTIONS_H */
