/*
 * cbor_decode_direct.h - the decoder that reads the common forms of CBOR
 * straight from the bytes, and leaves every other input to the walker's.
 */
#ifndef TOVAREL_BINDINGS_PYTHON_CBOR_DECODE_DIRECT_H
#define TOVAREL_BINDINGS_PYTHON_CBOR_DECODE_DIRECT_H

#include <cstdint>

#include <Python.h>

#include "cbor_builder.h"

namespace tovarel::cbor {

class DirectDecoder {
    static constexpr DecodeHooks no_hooks{};

public:
    DirectDecoder(const uint8_t *input, uint64_t input_size, uint64_t depth_limit)
        : end(input + input_size), cursor(input), max_depth(depth_limit), builder(no_hooks) {}
    DirectDecoder(const DirectDecoder &) = delete;
    DirectDecoder &operator=(const DirectDecoder &) = delete;

    bool at_end() const { return cursor == end; }

    /* The next item as a new reference; null, with no exception set, when
     * the direct path leaves the input to the walker.  It calls no hooks:
     * a value it gives up on is decoded again. */
    PyObject *item();

private:
    bool read_item(PyObject **object);
    bool read_argument(uint64_t *argument);
    bool read_simple_or_float(uint8_t initial, PyObject **object);
    bool open_tag(uint64_t number, PyObject **object);
    PyObject *give_up();

    const uint8_t *end;
    const uint8_t *cursor;
    uint64_t max_depth;
    Builder builder;
};

} // namespace tovarel::cbor

#endif /* TOVAREL_BINDINGS_PYTHON_CBOR_DECODE_DIRECT_H */
