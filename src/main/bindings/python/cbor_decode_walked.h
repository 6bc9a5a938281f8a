/*
 * cbor_decode_walked.h - the decoder that builds Python objects from the
 * core walker's tokens: it takes every form of input, and it is the one
 * that raises every decoding error.
 */
#ifndef TOVAREL_BINDINGS_PYTHON_CBOR_DECODE_WALKED_H
#define TOVAREL_BINDINGS_PYTHON_CBOR_DECODE_WALKED_H

#include <Python.h>

#include "cbor_builder.h"
#include "cbor_walker.h"

namespace tovarel::cbor {

/* Raises the walker's failure (MemoryError or a decode error). */
void raise_walker_error(const cbor_walker *walker);

class WalkedDecoder {
public:
    WalkedDecoder(cbor_walker *source, const DecodeHooks &hooks, const DecodeChecks &decode_checks)
        : walker(source), checks(decode_checks), builder(hooks, decode_checks) {}
    WalkedDecoder(const WalkedDecoder &) = delete;
    WalkedDecoder &operator=(const WalkedDecoder &) = delete;

    /* The next whole item as a new reference, or null with an exception. */
    PyObject *item();

private:
    PyObject *scalar_object(const cbor_walker_token &token);
    bool deterministic_form(const cbor_walker_token &token);

    cbor_walker *walker;
    const DecodeChecks &checks;
    Builder builder;
};

} // namespace tovarel::cbor

#endif /* TOVAREL_BINDINGS_PYTHON_CBOR_DECODE_WALKED_H */
