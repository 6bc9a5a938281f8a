/*
 * cbor_builder.h - the arrays, maps and tags being filled while one item
 * is decoded, shared by both decoders.
 *
 * The open containers sit on a heap stack of their own, so that decoding
 * never recurses on the native stack however deep the input nests.  A
 * decoder opens a frame at each container or tag head, adds each finished
 * item to the innermost frame, and closes the frame when its input says
 * so (the walker's END) or when it is full (a definite count reached).
 * Definite lists, tuples and dicts are created at their final size: both
 * decoders refuse a count that the remaining input could not hold before
 * opening it.
 */
#ifndef TOVAREL_BINDINGS_PYTHON_CBOR_BUILDER_H
#define TOVAREL_BINDINGS_PYTHON_CBOR_BUILDER_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <Python.h>

#include "cbor_deterministic.h"
#include "cbor_deterministic_errors.h"
#include "cbor_order.h"
#include "cbor_tags_decode.h"
#include "cbor_types.h"

namespace tovarel::cbor {

/* set_tuple: a tuple (as inside any set) whose elements a validating
 * decode holds to the deterministic order and refuses when two are equal;
 * a kind of its own, so that no other frame pays for the checks. */
enum class FrameKind : uint8_t { list, tuple, map, tag, set_tuple };

/* A container being filled, or a tag waiting for its content. */
struct Frame {
    PyObject *container; /* list, tuple or dict; null for a tag */
    /* A map's key awaiting its value; a tag's content; a set_tuple's
     * elements so far, as a set (see distinct_element). */
    PyObject *pending;
    Py_ssize_t filled;   /* slots set in a definite list or tuple */
    uint64_t remaining;  /* definite: items still to come (keys and values count) */
    uint64_t offset;     /* where the container or tag begins */
    uint64_t key_offset; /* where the pending key begins */
    /* Checked order: the last key, or set element, accepted. */
    cbor_deterministic_entry last;
    uint64_t tag;
    FrameKind kind;
    bool definite;
    bool frozen;   /* a map key or inside one: arrays become tuples */
    bool unhashed; /* set_tuple: an element would not hash; no more are compared */
};

/* The caller's functions for decoded values; null when not given. */
struct DecodeHooks {
    PyObject *tag_hook = nullptr;    /* called with each Tag of a number without a type */
    PyObject *object_hook = nullptr; /* called with each decoded dict */
};

/* What a validating decode refuses besides malformed input. */
struct DecodeChecks {
    KeyOrder order = KeyOrder::none; /* map keys out of this order (none: any) */
    bool refuse_duplicates = false;  /* a map key seen before in its map */
    const uint8_t *input = nullptr;  /* the bytes the offsets count in */
    const char *mode = "";           /* the order's name, for messages */

    /* Whether a set's elements are checked: in a deterministic mode, whose
     * point is to refuse anything ambiguous, and wherever duplicates are. */
    bool checks_sets() const { return order != KeyOrder::none || refuse_duplicates; }

    /* Whether a map key equal in Python to an earlier one (1 and 1.0 have
     * distinct encodings) is refused: by the same reasoning, since keeping
     * the last value would lose an entry that no deterministic encoder of a
     * Python dict could have written. */
    bool refuses_equal_keys() const { return checks_sets(); }
};

/* Frames beyond this many move to the heap; most data nests far less. */
constexpr std::size_t local_frames = 32;

class Builder {
public:
    Builder(const DecodeHooks &decode_hooks, const DecodeChecks &decode_checks)
        : hooks(decode_hooks), checks(decode_checks) {}
    Builder(const Builder &) = delete;
    Builder &operator=(const Builder &) = delete;
    ~Builder() {
        release();
        if (frames != local) {
            free(frames);
        }
    }

    bool empty() const { return depth == 0; }
    std::size_t levels() const { return depth; }

    /* Whether the next item is a map key (not one inside a key): short
     * keys come from the key cache. */
    bool next_is_key() const {
        if (depth == 0) {
            return false;
        }
        const Frame &top = frames[depth - 1];
        return top.kind == FrameKind::map && top.pending == nullptr && !top.frozen;
    }

    /* Whether the next item must hash: a map key, a set's content, or
     * anything inside one. */
    bool next_frozen() const {
        if (depth == 0) {
            return false;
        }
        const Frame &top = frames[depth - 1];
        return top.frozen || (top.kind == FrameKind::map && top.pending == nullptr) ||
               (top.kind == FrameKind::tag && top.tag == tag_set);
    }

    /* count is the element count of a definite array; offset is where its
     * head begins. */
    bool open_array(uint64_t count, bool definite, uint64_t offset) {
        const bool frozen = next_frozen();
        /* A set's content is always frozen. */
        const bool checked_set = checks.checks_sets() && depth != 0 &&
                                 frames[depth - 1].kind == FrameKind::tag &&
                                 frames[depth - 1].tag == tag_set;
        const auto size = static_cast<Py_ssize_t>(definite ? count : 0);
        PyObject *container = frozen && definite ? PyTuple_New(size) : PyList_New(size);
        if (container == nullptr) {
            return false;
        }
        const FrameKind kind = checked_set ? FrameKind::set_tuple
                               : frozen    ? FrameKind::tuple
                                           : FrameKind::list;
        return push(kind, container, count, definite, frozen, offset);
    }

    bool open_map(uint64_t count, bool definite, uint64_t offset) {
        const bool frozen = next_frozen();
        PyObject *container =
            definite ? _PyDict_NewPresized(static_cast<Py_ssize_t>(count)) : PyDict_New();
        if (container == nullptr) {
            return false;
        }
        return push(FrameKind::map, container, 2 * count, definite, frozen, offset);
    }

    bool open_tag(uint64_t number, uint64_t offset) {
        if (!push(FrameKind::tag, nullptr, 1, true, next_frozen(), offset)) {
            return false;
        }
        frames[depth - 1].tag = number;
        return true;
    }

    /* Whether the innermost frame has all its items (never for an
     * indefinite one, which its break closes). */
    bool full() const {
        const Frame &top = frames[depth - 1];
        return top.definite && top.remaining == 0;
    }

    /* Puts a finished item, input[offset, end), into the innermost frame;
     * takes the reference, even on failure.  A set's elements are judged
     * as they arrive, a map's keys once their value is there. */
    bool add(PyObject *object, uint64_t offset, uint64_t end) {
        Frame &top = frames[depth - 1];
        top.remaining -= top.definite;
        switch (top.kind) {
        case FrameKind::list:
            if (top.definite) {
                PyList_SET_ITEM(top.container, top.filled++, object);
                return true;
            }
            return append(top.container, object);
        case FrameKind::set_tuple:
            if (!checked_set_element(top, object, offset, end)) {
                return false;
            }
            [[fallthrough]];
        case FrameKind::tuple:
            if (top.definite) {
                PyTuple_SET_ITEM(top.container, top.filled++, object);
                return true;
            }
            return append(top.container, object);
        case FrameKind::map:
            if (top.pending == nullptr) {
                top.pending = object;
                top.key_offset = offset;
                return true;
            }
            return set_item(top, object, offset);
        default: /* a tag's one item */
            top.pending = object;
            return true;
        }
    }

    /* The innermost frame's finished value, as a new reference, and where
     * it began; the frame is gone either way. */
    PyObject *close(uint64_t *offset) {
        Frame &frame = frames[--depth];
        *offset = frame.offset;
        if (frame.kind == FrameKind::tag) {
            PyObject *value =
                tag_value(frame.tag, frame.pending, frame.frozen, frame.offset, hooks.tag_hook);
            Py_CLEAR(frame.pending);
            return value;
        }
        PyObject *container = frame.container;
        frame.container = nullptr;
        Py_CLEAR(frame.pending); /* only a set_tuple's elements seen */
        if ((frame.kind == FrameKind::tuple || frame.kind == FrameKind::set_tuple) &&
            !frame.definite) {
            PyObject *tuple = PyList_AsTuple(container);
            Py_DECREF(container);
            return tuple;
        }
        if (frame.kind == FrameKind::map && hooks.object_hook != nullptr) {
            PyObject *value = PyObject_CallOneArg(hooks.object_hook, container);
            Py_DECREF(container);
            return value;
        }
        return container;
    }

    /* Drops every open frame and what it holds. */
    void release() {
        for (std::size_t i = 0; i < depth; i++) {
            Py_XDECREF(frames[i].container);
            Py_XDECREF(frames[i].pending);
        }
        depth = 0;
    }

private:
    static bool append(PyObject *list, PyObject *object) {
        const int failed = PyList_Append(list, object);
        Py_DECREF(object);
        return failed == 0;
    }

    /* A key that will not hash raises TypeError, which names no place in
     * the input: the decode error says where the key begins.  offset is
     * where the value begins, so the key's bytes end there. */
    bool set_item(Frame &frame, PyObject *value, uint64_t offset) {
        PyObject *key = frame.pending;
        frame.pending = nullptr;
        if (checks.order != KeyOrder::none && !in_order(frame, offset)) {
            Py_DECREF(value);
            Py_DECREF(key);
            return false;
        }
        const Py_ssize_t size = checks.refuses_equal_keys() ? PyDict_GET_SIZE(frame.container) : 0;
        const int failed = PyDict_SetItem(frame.container, key, value);
        Py_DECREF(value);
        if (failed != 0 && PyErr_ExceptionMatches(PyExc_TypeError)) {
            /* Decoded objects raise TypeError on hashing only when they
             * are unhashable. */
            PyErr_Clear();
            PyErr_Format(decode_error, "unhashable map key of type %.100s at byte %llu",
                         Py_TYPE(key)->tp_name, reported_offset(frame.key_offset));
        }
        Py_DECREF(key);
        if (failed == 0 && checks.refuses_equal_keys() && PyDict_GET_SIZE(frame.container) == size) {
            PyErr_Format(decode_error, "duplicate map key at byte %llu",
                         reported_offset(frame.key_offset));
            return false;
        }
        return failed == 0;
    }

    /* A deterministic map has its keys' encodings in strictly increasing
     * order: an equal one is a duplicate. */
    bool in_order(Frame &frame, uint64_t key_end) {
        const int rule = cbor_deterministic_follows(deterministic_order(checks.order), checks.input,
                                                    &frame.last, frame.key_offset, key_end, 0);
        return rule == CBOR_DETERMINISTIC_OK ||
               raise_not_deterministic(rule, frame.key_offset, checks.mode);
    }

    /* A deterministic set has its elements' encodings in the keys' order. */
    bool set_element_in_order(Frame &frame, uint64_t offset, uint64_t end) {
        const int rule = cbor_deterministic_follows(deterministic_order(checks.order), checks.input,
                                                    &frame.last, offset, end, 1);
        return rule == CBOR_DETERMINISTIC_OK || raise_not_deterministic(rule, offset, checks.mode);
    }

    /* A validated set's element, input[offset, end): in the order, and
     * unlike those before it; on refusal the reference is dropped.  Kept
     * out of add, which every item of every decode goes through: inlined,
     * it made the decoders' loops larger and slower. */
    [[gnu::noinline]] bool checked_set_element(Frame &frame, PyObject *element, uint64_t offset,
                                               uint64_t end) {
        if ((checks.order != KeyOrder::none && !set_element_in_order(frame, offset, end)) ||
            !distinct_element(frame, element, offset)) {
            Py_DECREF(element);
            return false;
        }
        return true;
    }

    /*
     * Two elements with distinct encodings may be equal in Python (1 and
     * 1.0, 0 and false): the set would silently hold one of them.  Each
     * element is added to a set of those before it as it arrives; one that
     * does not grow it is refused where it begins, as a duplicate encoding
     * is.  An element that will not hash (or whose hash or comparison
     * raises) stops the comparing: the set built at the close then reports
     * it, as it does in every mode.
     */
    bool distinct_element(Frame &frame, PyObject *element, uint64_t offset) {
        if (frame.unhashed) {
            return true;
        }
        if (frame.pending == nullptr) {
            frame.pending = PySet_New(nullptr);
            if (frame.pending == nullptr) {
                return false;
            }
        }
        const Py_ssize_t before = PySet_GET_SIZE(frame.pending);
        if (PySet_Add(frame.pending, element) != 0) {
            if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
                return false;
            }
            PyErr_Clear();
            Py_CLEAR(frame.pending);
            frame.unhashed = true;
            return true;
        }
        if (PySet_GET_SIZE(frame.pending) == before) {
            PyErr_Format(decode_error, "duplicate set element at byte %llu",
                         reported_offset(offset));
            return false;
        }
        return true;
    }

    bool push(FrameKind kind, PyObject *container, uint64_t items, bool definite, bool frozen,
              uint64_t offset) {
        if (depth == capacity && !grow()) {
            Py_XDECREF(container);
            PyErr_NoMemory();
            return false;
        }
        Frame &frame = frames[depth++];
        frame.container = container;
        frame.pending = nullptr;
        frame.filled = 0;
        frame.remaining = items;
        frame.offset = offset;
        frame.last = cbor_deterministic_entry{0, 0};
        frame.kind = kind;
        frame.definite = definite;
        frame.frozen = frozen;
        frame.unhashed = false;
        return true;
    }

    bool grow() {
        const std::size_t grown_capacity = capacity * 2;
        auto *grown =
            static_cast<Frame *>(frames == local ? malloc(grown_capacity * sizeof(Frame))
                                                 : realloc(frames, grown_capacity * sizeof(Frame)));
        if (grown == nullptr) {
            return false;
        }
        if (frames == local) {
            memcpy(grown, local, sizeof local);
        }
        frames = grown;
        capacity = grown_capacity;
        return true;
    }

    const DecodeHooks &hooks;
    const DecodeChecks &checks;
    Frame local[local_frames];
    Frame *frames = local;
    std::size_t capacity = local_frames;
    std::size_t depth = 0;
};

} // namespace tovarel::cbor

#endif /* TOVAREL_BINDINGS_PYTHON_CBOR_BUILDER_H */
