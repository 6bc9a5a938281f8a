/*
 * cbor_stream_reader.cpp - the buffer and item cutting shared by the
 * stream readers (see cbor_stream_reader.h).
 */
#include "cbor_stream_reader.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "cbor_types.h"

namespace py = pybind11;

namespace tovarel::cbor {

HeldOptions::HeldOptions(const LoadOptions &given)
    : tag_hook(py::reinterpret_borrow<py::object>(given.hooks.tag_hook)),
      object_hook(py::reinterpret_borrow<py::object>(given.hooks.object_hook)), options(given) {}

StreamBuffer::~StreamBuffer() {
    std::free(block);
}

void StreamBuffer::append(const void *bytes, std::size_t count) {
    if (count == 0) {
        return;
    }
    if (capacity - end < count && begin > 0) {
        /* Decoded bytes at the front make room before the block grows. */
        std::memmove(block, block + begin, end - begin);
        end -= begin;
        begin = 0;
    }
    if (capacity - end < count) {
        if (count > SIZE_MAX / 2 - end) {
            throw std::bad_alloc();
        }
        /* Half again: an item fed in many small pieces is copied a bounded
         * number of times, and the block stays near the largest item plus
         * one piece. */
        std::size_t grown = capacity + capacity / 2;
        if (grown < end + count) {
            grown = end + count;
        }
        auto *moved = static_cast<uint8_t *>(std::realloc(block, grown));
        if (moved == nullptr) {
            throw std::bad_alloc();
        }
        block = moved;
        capacity = grown;
    }
    std::memcpy(block + end, bytes, count);
    end += count;
}

void StreamBuffer::consume(std::size_t count) {
    begin += count;
    if (begin == end) {
        begin = 0;
        end = 0;
    }
}

StreamReader::StreamReader(const LoadOptions &given)
    : options(given), measure(cbor_measure_create(given.max_depth)) {
    if (!measure) {
        throw std::bad_alloc();
    }
}

py::object StreamReader::decode(std::size_t length) const {
    /* An empty buffer has no block; loads still needs an address. */
    static const uint8_t nothing = 0;
    ErrorOffsetBase base(stream_offset);
    return loads_region(length == 0 ? &nothing : buffer.data(), length, options.get());
}

py::object StreamReader::next(uint64_t *needed) {
    *needed = 1;
    if (buffer.size() == 0) {
        return py::object();
    }
    uint64_t length = 0;
    const int status = cbor_measure_item(measure.get(), buffer.data(), buffer.size(), &length);
    if (status == CBOR_MEASURE_NEEDS_MORE) {
        *needed = length;
        return py::object();
    }
    if (status == CBOR_MEASURE_NO_MEMORY) {
        throw std::bad_alloc();
    }
    if (status == CBOR_MEASURE_MALFORMED) {
        /* loads over what is at hand names the fault as it would; the
         * measurer and the walker agree on what is malformed. */
        end_of_input();
    }
    py::object value;
    try {
        value = decode(static_cast<std::size_t>(length));
    } catch (...) {
        /* The item stays buffered; a later call measures it afresh. */
        cbor_measure_reset(measure.get());
        throw;
    }
    buffer.consume(static_cast<std::size_t>(length));
    stream_offset += length;
    cbor_measure_reset(measure.get());
    return value;
}

void StreamReader::end_of_input() const {
    decode(buffer.size());
    /* loads taking the bytes as an item would mean the measurer disagreed
     * with it; they are never reported as decoded. */
    PyErr_Format(decode_error, "malformed CBOR item at byte %llu",
                 static_cast<unsigned long long>(stream_offset));
    throw py::error_already_set();
}

} // namespace tovarel::cbor
