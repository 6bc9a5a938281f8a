/*
 * cbor_stream_reader.h - the items of a CBOR sequence that arrives in
 * pieces: bytes are appended as they come, and each complete item is cut
 * off the front and decoded.
 *
 * The measurer (cbor_measure.h) finds where the first item ends, or says
 * that it needs more bytes, without building anything; exactly that slice
 * then goes to loads, so a value, an error and its message are those loads
 * gives for the same item, with offsets counted from the start of the
 * stream.  A fed item is scanned once, however many pieces it comes in.
 */
#ifndef TOVAREL_BINDINGS_PYTHON_CBOR_STREAM_READER_H
#define TOVAREL_BINDINGS_PYTHON_CBOR_STREAM_READER_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include <pybind11/pybind11.h>

#include "cbor_load_options.h"
#include "cbor_measure.h"

namespace tovarel::cbor {

/* The options of a call, holding references to its hooks for as long as a
 * reader lives past the call. */
class HeldOptions {
public:
    explicit HeldOptions(const LoadOptions &given);

    const LoadOptions &get() const { return options; }

private:
    pybind11::object tag_hook;
    pybind11::object object_hook;
    LoadOptions options;
};

/* Bytes received and not yet decoded, in one block from the C allocator. */
class StreamBuffer {
public:
    StreamBuffer() = default;
    ~StreamBuffer();
    StreamBuffer(const StreamBuffer &) = delete;
    StreamBuffer &operator=(const StreamBuffer &) = delete;

    const uint8_t *data() const { return block + begin; }
    std::size_t size() const { return end - begin; }
    /* Throws std::bad_alloc. */
    void append(const void *bytes, std::size_t count);
    void consume(std::size_t count);

private:
    uint8_t *block = nullptr;
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t capacity = 0;
};

struct MeasureFree {
    void operator()(cbor_measure *measure) const { cbor_measure_free(measure); }
};

class StreamReader {
public:
    explicit StreamReader(const LoadOptions &options);

    void append(const void *bytes, std::size_t count) { buffer.append(bytes, count); }

    /* The next item when the bytes at hand complete it, else a null object
     * and *needed set to a lower bound of the bytes still missing.  Raises
     * (pybind11::error_already_set) the error loads gives for a faulty
     * item. */
    pybind11::object next(uint64_t *needed);

    /* At the end of the stream: raises the error loads gives for the bytes
     * of an item left incomplete, if any. */
    void finish() {
        if (buffer.size() > 0) {
            end_of_input();
        }
    }

    /* Raises the error loads gives for the bytes at hand as the whole
     * rest of the stream (loads(b'') for none). */
    [[noreturn]] void end_of_input() const;

    /* The item's bytes as loads reads them, its errors counted from the
     * item's place in the stream. */
    pybind11::object decode(std::size_t length) const;

    std::size_t buffered() const { return buffer.size(); }
    uint64_t position() const { return stream_offset; }
    void start_at(uint64_t offset) { stream_offset = offset; }

private:
    HeldOptions options;
    std::unique_ptr<cbor_measure, MeasureFree> measure;
    StreamBuffer buffer;
    uint64_t stream_offset = 0; /* of the buffer's first byte */
};

/* Adds SequenceDecoder, load and iter_load to the cbor submodule. */
void register_streams(pybind11::module_ &cbor);

} // namespace tovarel::cbor

#endif /* TOVAREL_BINDINGS_PYTHON_CBOR_STREAM_READER_H */
