/*
 * buffer.hpp - C++ holders that carry bytes between Python and the core.
 *
 * InBuffer lends the core a read-only view of a Python bytes object: the
 * view's data points into the object's own storage, and the holder keeps a
 * strong reference to the object, so the storage neither moves nor changes
 * while the core reads it.  Nothing is copied on the way in.
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
#include <exception>
#include <memory>
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
    explicit InBuffer(pybind11::bytes value) : owner(std::move(value)), view{} {
        Proxy::attach(owner, view);
    }
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

    pybind11::bytes owner;
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
