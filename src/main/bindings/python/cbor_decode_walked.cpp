/*
 * cbor_decode_walked.cpp - Python objects from the walker's tokens.
 *
 * The walker checks the input and hands out one token per item; this
 * decoder turns each into its object in the same pass, with no
 * intermediate tree.  The walker bounds every definite count by the unread
 * bytes, so the builder may create containers at their final size.
 */
#include "cbor_decode_walked.h"

#include "cbor_deterministic.h"
#include "cbor_deterministic_errors.h"
#include "cbor_objects.h"
#include "cbor_text.h"

namespace tovarel::cbor {

void raise_walker_error(const cbor_walker *walker) {
    if (walker->status == CBOR_WALKER_NO_MEMORY) {
        PyErr_NoMemory();
        return;
    }
    /* The walker names offsets in the bytes it was given; a copy of its
     * state, moved by the base, names them in the caller's stream. */
    cbor_walker shifted = *walker;
    shifted.error_offset += error_offset_base;
    char message[256];
    cbor_walker_error_message(&shifted, message, sizeof message);
    PyErr_SetString(decode_error, message);
}

PyObject *WalkedDecoder::scalar_object(const cbor_walker_token &token) {
    switch (token.kind) {
    case CBOR_WALKER_UINT:
        return uint_object(token.argument);
    case CBOR_WALKER_NEGINT:
        return negint_object(token.argument);
    case CBOR_WALKER_BIGNUM:
        return bignum_object(token.bytes, token.length, token.argument == 3);
    case CBOR_WALKER_BYTES:
        return bytes_object(token.bytes, token.length);
    case CBOR_WALKER_TEXT: {
        PyObject *text = text_object(token.bytes, token.length, token.key == 1, token.ascii != 0);
        if (text == nullptr) {
            /* Only definite text, whose content lies in the input, is left
             * unchecked by the walker and can fail here. */
            raise_text_error(static_cast<uint64_t>(token.bytes - walker->parser.start));
        }
        return text;
    }
    case CBOR_WALKER_FLOAT:
        return float_object(token.real);
    default: /* CBOR_WALKER_SIMPLE */
        return simple_object(static_cast<unsigned>(token.argument));
    }
}

/* The forms a deterministic encoder never writes, judged by the core at
 * each token before its object is made. */
bool WalkedDecoder::deterministic_form(const cbor_walker_token &token) {
    uint64_t offset = 0;
    const int rule =
        cbor_deterministic_token(walker->parser.start, walker->parser.size, &token, &offset);
    return rule == CBOR_DETERMINISTIC_OK || raise_not_deterministic(rule, offset, checks.mode);
}

PyObject *WalkedDecoder::item() {
    cbor_walker_token token;
    for (;;) {
        if (cbor_walker_next(walker, &token) != CBOR_WALKER_OK) {
            raise_walker_error(walker);
            return nullptr;
        }
        if (checks.order != KeyOrder::none && !deterministic_form(token)) {
            return nullptr;
        }
        PyObject *object = nullptr;
        uint64_t offset = token.offset;
        const bool definite = token.argument != CBOR_WALKER_INDEFINITE;
        switch (token.kind) {
        case CBOR_WALKER_ARRAY:
            if (!builder.open_array(token.argument, definite, token.offset)) {
                return nullptr;
            }
            continue;
        case CBOR_WALKER_MAP:
            if (!builder.open_map(token.argument, definite, token.offset)) {
                return nullptr;
            }
            continue;
        case CBOR_WALKER_TAG:
            if (!builder.open_tag(token.argument, token.offset)) {
                return nullptr;
            }
            continue;
        case CBOR_WALKER_END:
            object = builder.close(&offset);
            break;
        default:
            object = scalar_object(token);
            break;
        }
        if (object == nullptr) {
            return nullptr;
        }
        if (builder.empty()) {
            return object;
        }
        /* Where the item ends, read in place: only a set's elements need
         * it, and a call per item would cost every decode. */
        const auto end = static_cast<uint64_t>(walker->parser.cursor - walker->parser.start);
        if (!builder.add(object, offset, end)) {
            return nullptr;
        }
    }
}

} // namespace tovarel::cbor
