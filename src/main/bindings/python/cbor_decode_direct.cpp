/*
 * cbor_decode_direct.cpp - the direct path of loads.
 *
 * What encoders write is almost always definite-length items of the common
 * kinds, and for those the walker's tokens cost more than the objects they
 * describe.  The direct path reads such input straight from the bytes in one
 * loop.  It decodes only what it is sure of: at anything else (an indefinite
 * length, a reserved or malformed head, a length beyond the input, a simple
 * value written in two bytes below 32, text that is not UTF-8, a key that
 * will not hash, nesting beyond max_depth, an allocation that fails) it
 * gives up, releases what it built, and the walker's decoder reads the
 * input again from its first byte.  That decoder is therefore the one that
 * raises every error and decodes every rarer form, and a value the direct
 * path returns is the one it would have returned: both build their objects
 * through the same builder and the same scalar conversions.
 */
#include "cbor_decode_direct.h"

#include "cbor_generator.h"
#include "cbor_objects.h"
#include "cbor_parser.h"
#include "cbor_text.h"

namespace tovarel::cbor {

namespace {

constexpr int major_bytes = 2;
constexpr int major_text = 3;
constexpr int major_simple = 7;
constexpr uint8_t two_byte_simple = 0xF8;
constexpr uint8_t first_float = 0xF9;
constexpr uint8_t last_float = 0xFB;
/* Simple values below this have a one-byte encoding only. */
constexpr uint8_t first_two_byte_simple = 32;

} // namespace

PyObject *DirectDecoder::give_up() {
    builder.release();
    PyErr_Clear();
    return nullptr;
}

PyObject *DirectDecoder::item() {
    for (;;) {
        PyObject *object = nullptr;
        /* Where the item begins: a validating builder compares keys by
         * their bytes. */
        uint64_t offset = offset_of(cursor);
        if (!read_item(&object)) {
            return give_up();
        }
        if (object == nullptr) {
            /* A container or tag was opened: it is finished at once only
             * when empty. */
            if (!builder.full()) {
                continue;
            }
            object = builder.close(&offset);
            if (object == nullptr) {
                return give_up();
            }
        }
        for (;;) {
            if (builder.empty()) {
                return object;
            }
            if (!builder.add(object, offset, offset_of(cursor))) {
                return give_up();
            }
            if (!builder.full()) {
                break;
            }
            object = builder.close(&offset);
            if (object == nullptr) {
                return give_up();
            }
        }
    }
}

/* Reads one item: a finished object, or (object left null) the head of a
 * container or tag, whose frame is then on top.  False to give up. */
bool DirectDecoder::read_item(PyObject **object) {
    if (builder.levels() > max_depth || cursor == end) {
        return false;
    }
    const uint8_t initial = *cursor;
    const int major = initial >> 5;
    if (major == major_simple) {
        return read_simple_or_float(initial, object);
    }
    const uint8_t *head = cursor;
    uint64_t argument = 0;
    if (!read_argument(&argument)) {
        return false;
    }
    const auto unread = static_cast<uint64_t>(end - cursor);
    switch (major) {
    case 0:
        *object = uint_object(argument);
        break;
    case 1:
        *object = negint_object(argument);
        break;
    case major_bytes:
    case major_text: {
        if (argument > unread) {
            return false;
        }
        const uint8_t *content = cursor;
        cursor += argument;
        if (major == major_bytes) {
            *object = bytes_object(content, argument);
        } else {
            *object = text_object(content, argument, builder.next_is_key(), false);
        }
        break;
    }
    case 4:
        return argument <= unread && builder.open_array(argument, true, offset_of(head));
    case 5:
        return argument <= unread / 2 && builder.open_map(argument, true, offset_of(head));
    default:
        return open_tag(argument, head, object);
    }
    return *object != nullptr;
}

/* The head's argument; false for a head the direct path leaves alone
 * (indefinite, reserved) or one the input cuts short. */
bool DirectDecoder::read_argument(uint64_t *argument) {
    const unsigned size = cbor_head_decode(cursor, end, argument);
    cursor += size;
    return size != 0 && (!validating || size == static_cast<unsigned>(cbor_head_size(*argument)));
}

bool DirectDecoder::read_simple_or_float(uint8_t initial, PyObject **object) {
    const uint8_t info = initial & 0x1F;
    if (info < 24) {
        cursor++;
        *object = simple_object(info);
        return *object != nullptr;
    }
    if (initial == two_byte_simple) {
        if (end - cursor < 2 || cursor[1] < first_two_byte_simple) {
            return false;
        }
        *object = simple_object(cursor[1]);
        cursor += 2;
        return *object != nullptr;
    }
    if (initial < first_float || initial > last_float) {
        return false;
    }
    /* The parser's table reads the three widths exactly as the walker does. */
    cbor_parser parser{cursor, static_cast<uint64_t>(end - cursor), cursor, 0};
    cbor_val value{};
    if (cbor_jump_table[initial](&parser, &value, initial) < 0) {
        return false;
    }
    if (validating && static_cast<uint64_t>(parser.cursor - cursor) - 1 !=
                          static_cast<uint64_t>(cbor_float_width(value.value.real))) {
        return false;
    }
    cursor = parser.cursor;
    *object = float_object(value.value.real);
    return *object != nullptr;
}

/* Tags 2 and 3 around a definite byte string are bignums, read whole; any
 * other tag takes a frame for its one item. */
bool DirectDecoder::open_tag(uint64_t number, const uint8_t *head, PyObject **object) {
    constexpr uint64_t positive_bignum = 2;
    constexpr uint64_t negative_bignum = 3;
    /* A bignum whose magnitude fits 8 bytes has a plain integer form. */
    constexpr uint64_t longest_plain_magnitude = 8;
    if (number != positive_bignum && number != negative_bignum) {
        return builder.open_tag(number, offset_of(head));
    }
    if (cursor == end || *cursor >> 5 != major_bytes) {
        return false;
    }
    uint64_t length = 0;
    if (!read_argument(&length) || length > static_cast<uint64_t>(end - cursor)) {
        return false;
    }
    if (validating && (length <= longest_plain_magnitude || cursor[0] == 0)) {
        return false;
    }
    *object = bignum_object(cursor, length, number == negative_bignum);
    cursor += length;
    return *object != nullptr;
}

} // namespace tovarel::cbor
