/*
 * cbor_streams.cpp - CBOR from files and streams: cbor.SequenceDecoder
 * (bytes pushed in by the caller), cbor.iter_load (a file read in chunks)
 * and cbor.load (one item from a file).
 *
 * Each reader is guarded against being entered again while it decodes: a
 * hook, or a file object's read, may call back into the same reader, and
 * its buffer must not change under the decoder.
 */
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#include <pybind11/pybind11.h>

#include "cbor_stream_reader.h"
#include "cbor_types.h"
#include "registration.h"

namespace py = pybind11;

namespace tovarel::cbor {

namespace {

/* Runs body with C++ failures turned into the pending Python exception. */
template <typename Body> PyObject *guarded(Body body) {
    try {
        return body();
    } catch (py::error_already_set &error) {
        error.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    }
    return nullptr;
}

/* Marks a reader busy for one call. */
class Busy {
public:
    Busy(bool *flag, const char *what) : busy(flag) {
        if (*busy) {
            PyErr_Format(PyExc_RuntimeError, "%s was called again while it was decoding", what);
            throw py::error_already_set();
        }
        *busy = true;
    }
    ~Busy() { *busy = false; }
    Busy(const Busy &) = delete;
    Busy &operator=(const Busy &) = delete;

private:
    bool *busy;
};

/* The bytes a file object's read returned, checked to be bytes-like. */
class ReadBytes {
public:
    ReadBytes(const char *function, py::handle fp, uint64_t count) {
        result = fp.attr("read")(count);
        if (result.is_none()) {
            PyErr_Format(PyExc_BlockingIOError,
                         "%s(): the stream has no data ready (a non-blocking file); "
                         "feed its bytes to a SequenceDecoder instead",
                         function);
            throw py::error_already_set();
        }
        if (PyObject_GetBuffer(result.ptr(), &view, PyBUF_SIMPLE) != 0) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError,
                         "%s() needs a binary file object, but its read() returned %.100s",
                         function, Py_TYPE(result.ptr())->tp_name);
            throw py::error_already_set();
        }
    }
    ~ReadBytes() { PyBuffer_Release(&view); }
    ReadBytes(const ReadBytes &) = delete;
    ReadBytes &operator=(const ReadBytes &) = delete;

    const void *data() const { return view.buf; }
    std::size_t size() const { return static_cast<std::size_t>(view.len); }

private:
    py::object result;
    Py_buffer view{};
};

/* ---- SequenceDecoder ---------------------------------------------------- */

constexpr const char *decoder_doc =
    R"(SequenceDecoder(*, max_depth=1000, tag_hook=None, object_hook=None, deterministic=None, duplicate_keys='last')

Decodes a CBOR sequence that arrives in pieces (a socket, an asyncio
stream): feed(data) returns the items completed so far and keeps the
bytes of an incomplete one for the next call; close() says the stream has
ended.  Takes the options of loads; values and errors are those of
loads_sequence over the whole stream, offsets counted from its start.

A faulty item raises CBORDecodeError; the items completed before it in the
same feed() are the exception's attribute items.  After an error, feed()
and close() raise it again.)";

class SequenceDecoder {
public:
    explicit SequenceDecoder(const LoadOptions &options) : reader(options) {}

    py::list feed(const py::buffer &data) {
        Busy busy(&decoding, "SequenceDecoder.feed()");
        check_usable();
        py::list items;
        try {
            append(data);
            uint64_t needed = 0;
            for (py::object item = reader.next(&needed); item; item = reader.next(&needed)) {
                items.append(item);
            }
        } catch (py::error_already_set &error) {
            fail(error, items);
            throw;
        }
        return items;
    }

    void close() {
        Busy busy(&decoding, "SequenceDecoder.close()");
        check_usable();
        try {
            reader.finish();
        } catch (py::error_already_set &error) {
            fail(error, py::list());
            throw;
        }
    }

    std::size_t pending() const { return reader.buffered(); }
    uint64_t position() const { return reader.position(); }

private:
    /* Any contiguous buffer, taken as its bytes, as loads takes it. */
    void append(const py::buffer &data) {
        Py_buffer view{};
        if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) != 0) {
            throw py::error_already_set();
        }
        try {
            reader.append(view.buf, static_cast<std::size_t>(view.len));
        } catch (...) {
            PyBuffer_Release(&view);
            throw;
        }
        PyBuffer_Release(&view);
    }

    void check_usable() const {
        if (failure) {
            PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(failure.ptr())), failure.ptr());
            throw py::error_already_set();
        }
    }

    /* Keeps a decode error for the calls after it; items decoded before
     * it in the same call go with it, never silently dropped. */
    void fail(py::error_already_set &error, const py::list &items) {
        if (!error.matches(decode_error)) {
            /* A hook's own exception leaves the decoder as it was: the
             * item stays buffered and is decoded again by the next call. */
            if (items.size() > 0) {
                error.value().attr("items") = items;
            }
            return;
        }
        failure = error.value();
        failure.attr("items") = items;
    }

    StreamReader reader;
    py::object failure;
    bool decoding = false;
};

bool is_seekable(py::handle fp) {
    if (!py::hasattr(fp, "seekable")) {
        return false;
    }
    return py::bool_(fp.attr("seekable")());
}

/* ---- iter_load ---------------------------------------------------------- */

constexpr uint64_t default_chunk_size = 65536;

class LoadIterator {
public:
    LoadIterator(py::object file, uint64_t chunk, const LoadOptions &options)
        : fp(std::move(file)), chunk_size(chunk), reader(options) {}

    /* Offsets count from the start of a seekable file, as load's do. */
    void start() {
        if (is_seekable(fp)) {
            reader.start_at(py::cast<uint64_t>(fp.attr("tell")()));
        }
    }

    py::object next() {
        Busy busy(&decoding, "iter_load()'s iterator");
        if (done) {
            throw py::stop_iteration();
        }
        try {
            for (;;) {
                uint64_t needed = 0;
                py::object item = reader.next(&needed);
                if (item) {
                    return item;
                }
                if (at_end) {
                    done = true;
                    fp = py::none();
                    reader.finish();
                    throw py::stop_iteration();
                }
                ReadBytes chunk("iter_load", fp, chunk_size);
                if (chunk.size() == 0) {
                    at_end = true;
                } else {
                    reader.append(chunk.data(), chunk.size());
                }
            }
        } catch (py::error_already_set &) {
            /* As a generator that raised: finished. */
            done = true;
            fp = py::none();
            throw;
        }
    }

private:
    py::object fp;
    uint64_t chunk_size;
    StreamReader reader;
    bool at_end = false;
    bool done = false;
    bool decoding = false;
};

bool parse_chunk_size(PyObject *given, uint64_t *chunk_size) {
    if (given == nullptr) {
        *chunk_size = default_chunk_size;
        return true;
    }
    if (!PyLong_Check(given)) {
        PyErr_Format(PyExc_TypeError, "chunk_size must be an int, not %.100s",
                     Py_TYPE(given)->tp_name);
        return false;
    }
    const long long size = PyLong_AsLongLong(given);
    if (size < 1 || PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "chunk_size must be from 1 to 2**63-1");
        return false;
    }
    *chunk_size = static_cast<uint64_t>(size);
    return true;
}

PyObject *iter_load_entry(PyObject *, PyObject *const *args, Py_ssize_t count, PyObject *keywords) {
    PyObject *fp = nullptr;
    PyObject *chunk = nullptr;
    LoadOptions options{};
    uint64_t chunk_size = 0;
    if (!parse_call(CallShape{"iter_load", "fp", "chunk_size"}, args, PyVectorcall_NARGS(count),
                    keywords, &fp, &chunk, &options) ||
        !parse_chunk_size(chunk, &chunk_size)) {
        return nullptr;
    }
    return guarded([&] {
        auto iterator = std::make_unique<LoadIterator>(py::reinterpret_borrow<py::object>(fp),
                                                       chunk_size, options);
        iterator->start();
        return py::cast(std::move(iterator)).release().ptr();
    });
}

/* ---- load --------------------------------------------------------------- */

/* How much a seekable file is read at a time: small first, as records are
 * often small and the excess is sought back over; growing, so a large item
 * takes few reads. */
constexpr uint64_t first_seekable_read = 512;
constexpr uint64_t largest_seekable_read = 1 << 20;
constexpr uint64_t largest_stream_read = 1 << 16;

py::object load_item(py::handle fp, const LoadOptions &options) {
    StreamReader reader(options);
    const bool seekable = is_seekable(fp);
    /* Offsets count from the start of a seekable file, so repeated calls
     * name them as loads_sequence over the file would. */
    const uint64_t start = seekable ? py::cast<uint64_t>(fp.attr("tell")()) : 0;
    reader.start_at(start);
    try {
        uint64_t reading = first_seekable_read;
        for (;;) {
            uint64_t needed = 0;
            py::object item = reader.next(&needed);
            if (item) {
                if (seekable && reader.buffered() > 0) {
                    fp.attr("seek")(reader.position());
                }
                return item;
            }
            /* A stream that cannot seek back is asked for no more than the
             * item still needs, so the next item's bytes stay in it. */
            uint64_t ask = needed;
            if (seekable) {
                ask = needed > reading ? needed : reading;
                reading = reading < largest_seekable_read ? reading * 2 : reading;
            }
            /* A head may claim more bytes than any file holds; each read
             * stays small enough to allocate, and the file's end answers. */
            const uint64_t largest = seekable ? largest_seekable_read : largest_stream_read;
            ask = ask < largest ? ask : largest;
            ReadBytes piece("load", fp, ask);
            if (piece.size() == 0) {
                reader.end_of_input();
            }
            if (!seekable && piece.size() > ask) {
                PyErr_Format(PyExc_ValueError, "load(): read(%llu) returned %zu bytes",
                             static_cast<unsigned long long>(ask), piece.size());
                throw py::error_already_set();
            }
            reader.append(piece.data(), piece.size());
        }
    } catch (py::error_already_set &error) {
        /* A seekable file is left where the item began, as if not read. */
        if (seekable) {
            fp.attr("seek")(start);
        }
        throw;
    }
}

PyObject *load_entry(PyObject *, PyObject *const *args, Py_ssize_t count, PyObject *keywords) {
    PyObject *fp = nullptr;
    PyObject *unused = nullptr;
    LoadOptions options{};
    if (!parse_call(CallShape{"load", "fp", nullptr}, args, PyVectorcall_NARGS(count), keywords,
                    &fp, &unused, &options)) {
        return nullptr;
    }
    return guarded([&] { return load_item(fp, options).release().ptr(); });
}

PyMethodDef functions[] = {
    {"load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(load_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "load(fp, *, max_depth=1000, tag_hook=None, object_hook=None, deterministic=None, "
     "duplicate_keys='last')\n--\n\n"
     "Decode one CBOR data item from a binary file object.\n\n"
     "Takes the options of loads and gives its values and errors.  A seekable\n"
     "file is left just after the item (on an error, where the item began),\n"
     "so repeated calls read a file of records, and error offsets count from\n"
     "the start of the file.  A stream that cannot seek is read no further\n"
     "than the item, its offsets counted from where the call began; the bytes\n"
     "of an item it ends inside are lost with the error that names them."},
    {"iter_load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(iter_load_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "iter_load(fp, *, chunk_size=65536, max_depth=1000, tag_hook=None, object_hook=None, "
     "deterministic=None, duplicate_keys='last')\n--\n\n"
     "Iterate over the items of a CBOR sequence read from a binary file object.\n\n"
     "The file is read chunk_size bytes at a time to its end; at most the\n"
     "largest item and one chunk are held.  Takes the options of loads and\n"
     "gives the values and errors of loads_sequence over the same bytes,\n"
     "offsets counted from the start of a seekable file, else from where\n"
     "reading began."},
    {nullptr, nullptr, 0, nullptr}};

} // namespace

void register_streams(py::module_ &cbor) {
    py::class_<LoadIterator>(cbor, "_LoadIterator")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", &LoadIterator::next);

    py::class_<SequenceDecoder>(cbor, "SequenceDecoder", decoder_doc)
        .def(py::init([](const py::kwargs &keywords) {
            LoadOptions options{};
            PyObject *unused = nullptr;
            if (!parse_call_keywords(CallShape{"SequenceDecoder", nullptr, nullptr}, keywords.ptr(),
                                     &unused, &options)) {
                throw py::error_already_set();
            }
            return std::make_unique<SequenceDecoder>(options);
        }))
        .def("feed", &SequenceDecoder::feed, py::arg("data"),
             "feed(data) -> list\n\nAppend bytes of the stream; return the items they "
             "complete.")
        .def("close", &SequenceDecoder::close,
             "close() -> None\n\nEnd the stream: raises CBORDecodeError when an item is "
             "incomplete.")
        .def_property_readonly("pending", &SequenceDecoder::pending,
                               "Bytes received that no complete item holds yet.")
        .def_property_readonly("position", &SequenceDecoder::position,
                               "Offset in the stream of the first byte not yet decoded.");

    tovarel_add_functions(cbor, functions);
}

} // namespace tovarel::cbor
