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
    /* checks: what a validating decode refuses (its input must be this
     * input); the direct path gives up at each such form, and the walker's
     * decoder names it. */
    DirectDecoder(const uint8_t *input, uint64_t input_size, uint64_t depth_limit,
                  const DecodeChecks &decode_checks)
        : start(input), end(input + input_size), cursor(input), max_depth(depth_limit),
          validating(decode_checks.order != KeyOrder::none), builder(no_hooks, decode_checks) {}
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
    bool open_tag(uint64_t number, const uint8_t *head, PyObject **object);
    PyObject *give_up();

    uint64_t offset_of(const uint8_t *at) const { return static_cast<uint64_t>(at - start); }

    const uint8_t *start;
    const uint8_t *end;
    const uint8_t *cursor;
    uint64_t max_depth;
    bool validating; /* deterministic forms only */
    Builder builder;
};

} // namespace tovarel::cbor

#endif /* TOVAREL_BINDINGS_PYTHON_CBOR_DECODE_DIRECT_H */
