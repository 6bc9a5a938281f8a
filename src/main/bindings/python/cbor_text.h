/*
 * cbor_text.h - text strings for the decoders: map keys shared through a
 * small cache, ASCII copied as it is, the rest by the interpreter's strict
 * UTF-8 decoder.
 */
#ifndef TOVAREL_BINDINGS_PYTHON_CBOR_TEXT_H
#define TOVAREL_BINDINGS_PYTHON_CBOR_TEXT_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include <Python.h>

namespace tovarel::cbor {

/*
 * Map keys repeat (every record of a list has the same field names), so the
 * str objects of short ASCII keys are kept in a small table indexed by a
 * hash of their bytes and handed out again.  Strings are immutable, so
 * sharing one object among many dicts changes nothing a caller can see.
 */
constexpr std::size_t key_cache_size = 1024;
constexpr uint64_t longest_cached_key = 32;
extern PyObject *key_cache[key_cache_size];

inline std::size_t key_slot(const uint8_t *bytes, uint64_t length) {
    uint64_t hash = 0xCBF29CE484222325ULL ^ length;
    for (uint64_t i = 0; i < length; i++) {
        hash = (hash ^ bytes[i]) * 0x100000001B3ULL;
    }
    return static_cast<std::size_t>(hash ^ (hash >> 29)) & (key_cache_size - 1);
}

/* Bytes known to be ASCII: they are the string's one-byte storage as they
 * are. */
inline PyObject *ascii_string(const uint8_t *bytes, uint64_t length) {
    PyObject *text = PyUnicode_New(static_cast<Py_ssize_t>(length), 127);
    if (text != nullptr && length > 0) {
        memcpy(PyUnicode_1BYTE_DATA(text), bytes, length);
    }
    return text;
}

inline PyObject *cached_key(const uint8_t *bytes, uint64_t length) {
    PyObject *&slot = key_cache[key_slot(bytes, length)];
    if (slot != nullptr && static_cast<uint64_t>(PyUnicode_GET_LENGTH(slot)) == length &&
        memcmp(PyUnicode_1BYTE_DATA(slot), bytes, length) == 0) {
        Py_INCREF(slot);
        return slot;
    }
    PyObject *text = ascii_string(bytes, length);
    if (text != nullptr) {
        Py_INCREF(text);
        Py_XSETREF(slot, text);
    }
    return text;
}

/* Eight bytes at a time: the text of typical data is long runs of ASCII. */
inline bool is_ascii(const uint8_t *bytes, uint64_t length) {
    constexpr uint64_t high_bits = 0x8080808080808080ULL;
    uint64_t any = 0;
    uint64_t i = 0;
    for (; i + sizeof(uint64_t) <= length; i += sizeof(uint64_t)) {
        uint64_t word;
        memcpy(&word, bytes + i, sizeof word);
        any |= word;
    }
    for (; i < length; i++) {
        any |= bytes[i];
    }
    return (any & high_bits) == 0;
}

/* A text string's content as a str.  is_key: the string is a map key (not
 * inside one), which is looked up in the cache when short and ASCII;
 * known_ascii: the caller has seen that every byte is below 0x80. */
inline PyObject *text_object(const uint8_t *bytes, uint64_t length, bool is_key, bool known_ascii) {
    if (is_key && length <= longest_cached_key && (known_ascii || is_ascii(bytes, length))) {
        return cached_key(bytes, length);
    }
    if (known_ascii) {
        return ascii_string(bytes, length);
    }
    return PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(bytes),
                                static_cast<Py_ssize_t>(length), "strict");
}

/* After text_object failed on the content that starts offset bytes into
 * the input: the interpreter's complaint about invalid UTF-8 becomes a
 * decode error naming the offending byte (any other failure stays). */
void raise_text_error(uint64_t offset);

} // namespace tovarel::cbor

#endif /* TOVAREL_BINDINGS_PYTHON_CBOR_TEXT_H */
