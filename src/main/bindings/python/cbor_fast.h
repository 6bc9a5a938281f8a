/*
 * cbor_fast.h - dumps' encoder for values built from exact built-in types.
 *
 * It reads None, bool, int, float, str, bytes, bytearray, list, tuple and
 * dict through their storage and writes straight into the result bytes
 * object.
 * It runs no Python code of any value and changes nothing, so when it meets
 * anything else (another type, a subclass, an integer out of range, a str
 * that is not valid UTF-8, a level too deep, memory it cannot get) it can
 * give up and let the general encoder do the whole call again with the very
 * same outcome.
 */
#ifndef TOVAREL_BINDINGS_PYTHON_CBOR_FAST_H
#define TOVAREL_BINDINGS_PYTHON_CBOR_FAST_H

#include <cstddef>
#include <cstdint>

#include <Python.h>

#include "cbor_order.h"

/*
 * Returns a new bytes object holding value's encoding, or null, with no
 * Python error set, to ask for the general encoder.  max_depth is dumps'
 * option (0: no limit); max_nesting is how many containers deep the
 * general encoder could certainly nest on this thread's stack: the fast
 * encoder gives up beyond it rather than succeed where that one would not.
 */
PyObject *tovarel_cbor_dumps_fast(PyObject *value, bool indefinite, uint64_t max_depth,
                                  std::size_t max_nesting);

/*
 * The same for a deterministic encoding: definite lengths, each map's
 * entries and each set's elements (exact set and frozenset, as tag 258)
 * in the order (not none) of their keys' encodings.  Null, with no error
 * set, also where two keys have one encoding: the general encoder's walk
 * then raises its error.
 */
PyObject *tovarel_cbor_dumps_fast_sorted(PyObject *value, tovarel::cbor::KeyOrder order,
                                         uint64_t max_depth, std::size_t max_nesting);

#endif /* TOVAREL_BINDINGS_PYTHON_CBOR_FAST_H */
