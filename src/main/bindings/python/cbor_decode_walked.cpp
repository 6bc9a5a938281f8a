/*
 * cbor_decode_walked.cpp - Python objects from the walker's tokens.
 *
 * The walker checks the input and hands out one token per item; this
 * decoder turns each into its object in the same pass, with no
 * intermediate tree.  The walker bounds every definite count by the unread
 * bytes, so the builder may create containers at their final size.
 */
#include "cbor_decode_walked.h"

#include "cbor_generator.h"
#include "cbor_objects.h"
#include "cbor_parser.h"
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

namespace {

constexpr unsigned indefinite_info = 31;
constexpr unsigned first_float_info = 25;
/* A bignum whose magnitude fits 8 bytes has a plain integer form. */
constexpr uint64_t longest_plain_magnitude = 8;

bool not_deterministic(const char *rule, uint64_t offset) {
    PyErr_Format(decode_error, "not deterministic: %s at byte %llu", rule, reported_offset(offset));
    return false;
}

/* Whether the head at offset is the shortest for its argument. */
bool shortest_head(const uint8_t *input, const uint8_t *end, uint64_t offset) {
    uint64_t argument = 0;
    const unsigned size = cbor_head_decode(input + offset, end, &argument);
    return size == static_cast<unsigned>(cbor_head_size(argument));
}

} // namespace

/* The forms a deterministic encoder never writes (RFC 8949 section 4.2.1,
 * preferred serialization): a head longer than its argument needs, an
 * indefinite length, a float that a shorter width holds, a bignum with
 * leading zero bytes or with a plain integer form. */
bool WalkedDecoder::deterministic_form(const cbor_walker_token &token) {
    const uint8_t *input = walker->parser.start;
    const uint8_t *end = input + walker->parser.size;
    const uint64_t offset = token.offset;
    const unsigned info = input[offset] & 0x1Fu;
    switch (token.kind) {
    case CBOR_WALKER_END:
    case CBOR_WALKER_SIMPLE:
        return true; /* the walker refuses two-byte forms of one-byte values */
    case CBOR_WALKER_FLOAT:
        if (static_cast<int>(1u << (info - first_float_info + 1)) != cbor_float_width(token.real)) {
            return not_deterministic("a float that fits a shorter width", offset);
        }
        return true;
    case CBOR_WALKER_BIGNUM: {
        if (!shortest_head(input, end, offset)) {
            return not_deterministic("a head longer than its argument needs", offset);
        }
        const uint64_t string = offset + 1;
        if ((input[string] & 0x1Fu) == indefinite_info) {
            return not_deterministic("an indefinite length", string);
        }
        if (!shortest_head(input, end, string)) {
            return not_deterministic("a head longer than its argument needs", string);
        }
        if (token.length <= longest_plain_magnitude || token.bytes[0] == 0) {
            return not_deterministic("a bignum that is not in its shortest form", offset);
        }
        return true;
    }
    default:
        if (info == indefinite_info) {
            return not_deterministic("an indefinite length", offset);
        }
        if (!shortest_head(input, end, offset)) {
            return not_deterministic("a head longer than its argument needs", offset);
        }
        return true;
    }
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
        if (!builder.add(object, offset)) {
            return nullptr;
        }
    }
}

} // namespace tovarel::cbor
