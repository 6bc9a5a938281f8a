/*
 * buffer.hpp - C++ holders that carry bytes between Python and the core.
 *
 * InBuffer lends the core a read-only view of a Python bytes object: the
 * view's data points into the object's own storage, and the holder keeps a
 * strong reference to the object, so the storage neither moves nor changes
 * while the core reads it.  Nothing is copied on the way in.  It can also
 * lend the content of an object that owns a core result, kept alive the
 * same way.
 *
 * BufferExport lends the core the storage of any object that exports a
 * C-contiguous buffer of bytes (bytearray, memoryview, mmap, arrays), and
 * holds the export for as long as it lives, so that the exporter can
 * neither resize nor release that storage meanwhile.
 *
 * OutBuffer owns a buffer that the core returned and frees it with
 * buf_free() when it dies.  It is move-only: exactly one holder ever owns a
 * given result, so it is freed exactly once.
 *
 * Both are parameterised by an adapter (InProxy, OutProxy) that knows how to
 * talk to the Python side, so the ownership logic here stays independent of
 * the C API calls it needs.
 */
#ifndef TOVAREL_CXX_API_BUFFER_HPP
#define TOVAREL_CXX_API_BUFFER_HPP

#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <utility>

#include <pybind11/pybind11.h>

#include "buf.h"

namespace tovarel {

/* Reads the storage of a bytes object for InBuffer. */
struct InProxy {
    /* Points view at the storage of value.  A failure carries no text of
     * its own: it can only happen for an object that is not bytes, which
     * the binding's argument check has already excluded. */
    static void attach(const pybind11::bytes &value, buf &view) {
        char *data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(value.ptr(), &data, &size) != 0) {
            PyErr_Clear();
            throw std::exception();
        }
        view.data = reinterpret_cast<uint8_t *>(data);
        view.len = static_cast<uint64_t>(size);
        view.capacity = view.len;
    }
};

/* Describes a core result to Python's buffer protocol for OutBuffer. */
struct OutProxy {
    /* A one-dimensional array of signed bytes over the result's content.
     * An empty result may have no storage block at all; it is shown as an
     * empty array over a valid address so that consumers that copy zero
     * bytes from the pointer never see null. */
    static pybind11::buffer_info describe(const buf &result) {
        static uint8_t empty;
        uint8_t *data = result.data != nullptr ? result.data : &empty;
        return pybind11::buffer_info(data, 1, "b", 1, {static_cast<Py_ssize_t>(result.len)}, {1},
                                     false);
    }
};

/* A read-only view of a bytes object that keeps the object alive. */
template <typename Proxy> class InBuffer {
public:
    explicit InBuffer(pybind11::bytes value) : owner(value), view{} { Proxy::attach(value, view); }
    /* A view of bytes that `keeper` owns and does not move or resize while
     * it lives (a core result inside its Python object). */
    InBuffer(pybind11::object keeper, const buf &borrowed)
        : owner(std::move(keeper)), view(borrowed) {}
    /* A copy refers to the same immutable object, so sharing the view's
     * pointer is safe for as long as either copy holds its reference. */
    InBuffer(const InBuffer &) = default;
    InBuffer &operator=(const InBuffer &) = default;

    /* The view is cleared before the reference goes (members are destroyed
     * after this body), so it never points at storage that may be gone. */
    ~InBuffer() {
        view.data = nullptr;
        view.len = 0;
        view.capacity = 0;
    }

    const buf *get() const { return &view; }

    pybind11::object owner; /* a bytes object, or the keeper of the bytes */
    buf view;
};

/* The item formats of a buffer of bytes: unsigned, signed and char, in any
 * byte order (one byte has none); no format at all means unsigned bytes. */
inline bool is_byte_format(const char *format) {
    if (format == nullptr) {
        return true;
    }
    if (format[0] != 0 && std::strchr("@=<>!", format[0]) != nullptr) {
        format++;
    }
    return format[0] != 0 && std::strchr("Bbc", format[0]) != nullptr && format[1] == 0;
}

/* An export of a C-contiguous buffer of bytes, held while this lives.  It
 * is made and dropped with the interpreter lock held. */
class BufferExport {
public:
    /* Exports `object`'s buffer.  An object that has none, or whose buffer
     * is not C-contiguous or not made of bytes, raises TypeError that names
     * `argument` (for example "Differ.diff() argument 'old_value'") and
     * what was given. */
    BufferExport(pybind11::handle object, const std::string &argument) : exported{}, view{} {
        std::string given = Py_TYPE(object.ptr())->tp_name;
        if (PyObject_GetBuffer(object.ptr(), &exported, PyBUF_RECORDS_RO) != 0) {
            PyErr_Clear();
            throw pybind11::type_error(argument + " must be a buffer of bytes (bytes, bytearray, " +
                                       "memoryview, mmap, ...) or a PythonInBuf, not " + given);
        }
        held = true;
        if (!PyBuffer_IsContiguous(&exported, 'C')) {
            release();
            throw pybind11::type_error(argument + " must be C-contiguous; the " + given +
                                       " given is not");
        }
        if (exported.itemsize != 1 || !is_byte_format(exported.format)) {
            std::string format = exported.format != nullptr ? exported.format : "B";
            std::string size = std::to_string(exported.itemsize);
            release();
            throw pybind11::type_error(argument + " must hold bytes; the " + given +
                                       " given holds items of format '" + format + "' (" + size +
                                       (size == "1" ? " byte" : " bytes") + " each)");
        }
        view.data = static_cast<uint8_t *>(exported.buf);
        view.len = static_cast<uint64_t>(exported.len);
        view.capacity = view.len;
    }
    BufferExport(const BufferExport &) = delete;
    BufferExport &operator=(const BufferExport &) = delete;
    ~BufferExport() { release(); }

    const buf *get() const { return &view; }

private:
    void release() {
        if (held) {
            view = buf{};
            PyBuffer_Release(&exported);
            held = false;
        }
    }

    Py_buffer exported;
    bool held = false;
    buf view;
};

/* Releases a core result; buf_free() accepts null. */
struct BufFree {
    void operator()(buf *result) const { buf_free(result); }
};

/* The exclusive owner of one core result.  Content names the Python type
 * the result stands for; this module hands it out only through the buffer
 * protocol, described by Proxy. */
template <typename Proxy, typename Content> class OutBuffer {
public:
    using content_type = Content;

    explicit OutBuffer(buf *owned) : result(owned) {}
    OutBuffer(OutBuffer &&) noexcept = default;
    OutBuffer &operator=(OutBuffer &&) noexcept = default;
    OutBuffer(const OutBuffer &) = delete;
    OutBuffer &operator=(const OutBuffer &) = delete;

    /* Null when the core reported failure. */
    const buf *get() const { return result.get(); }

    pybind11::buffer_info describe() const { return Proxy::describe(*result); }

private:
    std::unique_ptr<buf, BufFree> result;
};

} // namespace tovarel

#endif /* TOVAREL_CXX_API_BUFFER_HPP */
