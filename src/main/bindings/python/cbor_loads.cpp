/*
 * cbor_loads.cpp - cbor.loads and cbor.loads_sequence, and the types Tag,
 * Simple and undefined.
 *
 * The core's walker checks the input and hands out one token per item; this
 * file turns the tokens straight into Python objects in the same pass, with
 * no intermediate tree.  Containers being filled sit on a heap stack of
 * their own, mirroring the walker's, so neither walk recurses on the native
 * stack however deep the input nests.  Definite lists, tuples and dicts are
 * created at their final size: the walker has already refused a count that
 * the remaining input could not hold.
 *
 * No Python code of the caller's runs during a decode: every object built
 * is of a built-in type or one of the types here, whose hashing and
 * comparison only reach other such objects.  The input therefore stays as
 * the walker checked it until the string made from it is copied out.
 */
#include "cbor_loads.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include <structmember.h>

#include "cbor_walker.h"

namespace py = pybind11;

namespace {

/* ---------------------------------------------------------------- types */

PyObject *decode_error = nullptr; /* cbor.CBORDecodeError */

struct TagObject {
    PyObject_HEAD unsigned long long tag;
    PyObject *value;
};

struct SimpleObject {
    PyObject_HEAD unsigned char value;
};

/* Static types and the one undefined object; their headers are filled in
 * by ready_types(). */
PyTypeObject tag_type{};
PyTypeObject simple_type{};
PyTypeObject undefined_type{};
PyObject undefined_object{};

/* Simple values 20 to 23 are false, true, null and undefined, and 24 to 31
 * have no encoding; a Simple holds only the others, so that it always
 * decodes back to itself. */
bool is_plain_simple_value(unsigned long long number) {
    return number < 20 || (number >= 32 && number <= 255);
}

PyObject *new_tag(unsigned long long number, PyObject *value) {
    auto *tag = PyObject_GC_New(TagObject, &tag_type);
    if (tag == nullptr) {
        return nullptr;
    }
    tag->tag = number;
    Py_INCREF(value);
    tag->value = value;
    PyObject_GC_Track(tag);
    return reinterpret_cast<PyObject *>(tag);
}

PyObject *new_simple(unsigned number) {
    auto *simple = PyObject_New(SimpleObject, &simple_type);
    if (simple != nullptr) {
        simple->value = static_cast<unsigned char>(number);
    }
    return reinterpret_cast<PyObject *>(simple);
}

/* An int argument in [0, limit], else ValueError (TypeError if no int). */
bool number_argument(PyObject *object, const char *what, unsigned long long limit,
                     unsigned long long *number) {
    if (!PyLong_Check(object)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int, not %.100s", what,
                     Py_TYPE(object)->tp_name);
        return false;
    }
    *number = PyLong_AsUnsignedLongLong(object);
    if (PyErr_Occurred() || *number > limit) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "%s must be from 0 to %llu", what, limit);
        return false;
    }
    return true;
}

PyObject *tag_new(PyTypeObject *, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"tag", "value", nullptr};
    PyObject *number_object = nullptr;
    PyObject *value = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:Tag", const_cast<char **>(keywords),
                                     &number_object, &value)) {
        return nullptr;
    }
    unsigned long long number = 0;
    if (!number_argument(number_object, "tag", UINT64_MAX, &number)) {
        return nullptr;
    }
    return new_tag(number, value);
}

int tag_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(reinterpret_cast<TagObject *>(self)->value);
    return 0;
}

int tag_clear(PyObject *self) {
    Py_CLEAR(reinterpret_cast<TagObject *>(self)->value);
    return 0;
}

/* A chain of tags is freed without recursing once per link. */
void tag_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, tag_dealloc) tag_clear(self);
    PyObject_GC_Del(self);
    Py_TRASHCAN_END
}

/* Tags nest without bound when built by hand, so the methods that follow
 * the content count against the interpreter's recursion limit. */
PyObject *tag_repr(PyObject *self) {
    auto *tag = reinterpret_cast<TagObject *>(self);
    if (Py_EnterRecursiveCall(" in Tag.__repr__") != 0) {
        return nullptr;
    }
    PyObject *text = PyUnicode_FromFormat("Tag(%llu, %R)", tag->tag, tag->value);
    Py_LeaveRecursiveCall();
    return text;
}

/* The hash of (tag, value): a tag is hashable exactly when its content is. */
Py_hash_t tag_hash(PyObject *self) {
    auto *tag = reinterpret_cast<TagObject *>(self);
    if (Py_EnterRecursiveCall(" in Tag.__hash__") != 0) {
        return -1;
    }
    Py_hash_t hash = -1;
    PyObject *pair = Py_BuildValue("(KO)", tag->tag, tag->value);
    if (pair != nullptr) {
        hash = PyObject_Hash(pair);
        Py_DECREF(pair);
    }
    Py_LeaveRecursiveCall();
    return hash;
}

PyObject *tag_richcompare(PyObject *self, PyObject *other, int op) {
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, &tag_type)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    auto *left = reinterpret_cast<TagObject *>(self);
    auto *right = reinterpret_cast<TagObject *>(other);
    int equal = 0;
    if (left->tag == right->tag) {
        if (Py_EnterRecursiveCall(" in Tag.__eq__") != 0) {
            return nullptr;
        }
        equal = PyObject_RichCompareBool(left->value, right->value, Py_EQ);
        Py_LeaveRecursiveCall();
        if (equal < 0) {
            return nullptr;
        }
    }
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

PyObject *tag_reduce(PyObject *self, PyObject *) {
    auto *tag = reinterpret_cast<TagObject *>(self);
    return Py_BuildValue("(O(KO))", &tag_type, tag->tag, tag->value);
}

PyMemberDef tag_members[] = {
    {"tag", T_ULONGLONG, offsetof(TagObject, tag), READONLY, "The tag number."},
    {"value", T_OBJECT, offsetof(TagObject, value), READONLY, "The tagged value."},
    {nullptr, 0, 0, 0, nullptr}};

PyMethodDef tag_methods[] = {{"__reduce__", tag_reduce, METH_NOARGS, nullptr},
                             {nullptr, nullptr, 0, nullptr}};

PyObject *simple_new(PyTypeObject *, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"value", nullptr};
    PyObject *number_object = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Simple", const_cast<char **>(keywords),
                                     &number_object)) {
        return nullptr;
    }
    unsigned long long number = 0;
    if (!number_argument(number_object, "simple value", 255, &number)) {
        return nullptr;
    }
    if (!is_plain_simple_value(number)) {
        PyErr_SetString(PyExc_ValueError,
                        "simple value must be from 0 to 19 or from 32 to 255 (20 to 23 are "
                        "False, True, None and undefined; 24 to 31 have no encoding)");
        return nullptr;
    }
    return new_simple(static_cast<unsigned>(number));
}

unsigned simple_value(PyObject *self) {
    return reinterpret_cast<SimpleObject *>(self)->value;
}

PyObject *simple_repr(PyObject *self) {
    return PyUnicode_FromFormat("Simple(%u)", simple_value(self));
}

Py_hash_t simple_hash(PyObject *self) {
    return static_cast<Py_hash_t>(simple_value(self)) + 0x5173;
}

PyObject *simple_richcompare(PyObject *self, PyObject *other, int op) {
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, &simple_type)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    const bool equal = simple_value(self) == simple_value(other);
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

PyObject *simple_reduce(PyObject *self, PyObject *) {
    return Py_BuildValue("(O(I))", &simple_type, simple_value(self));
}

PyMemberDef simple_members[] = {
    {"value", T_UBYTE, offsetof(SimpleObject, value), READONLY, "The simple value's number."},
    {nullptr, 0, 0, 0, nullptr}};

PyMethodDef simple_methods[] = {{"__reduce__", simple_reduce, METH_NOARGS, nullptr},
                                {nullptr, nullptr, 0, nullptr}};

/* There is one undefined: calling its type gives it again. */
PyObject *undefined_new(PyTypeObject *, PyObject *args, PyObject *kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "UndefinedType takes no arguments");
        return nullptr;
    }
    Py_INCREF(&undefined_object);
    return &undefined_object;
}

PyObject *undefined_repr(PyObject *) {
    return PyUnicode_FromString("undefined");
}

/* Pickled by name, so that it unpickles as the one undefined. */
PyObject *undefined_reduce(PyObject *, PyObject *) {
    return PyUnicode_FromString("undefined");
}

PyMethodDef undefined_methods[] = {{"__reduce__", undefined_reduce, METH_NOARGS, nullptr},
                                   {nullptr, nullptr, 0, nullptr}};

/* What differs between the three types; the rest is left at its default. */
struct TypeShape {
    PyTypeObject *type;
    const char *name;
    const char *doc;
    Py_ssize_t size;
    newfunc make;
    reprfunc repr;
    hashfunc hash;
    richcmpfunc compare;
    PyMemberDef *members;
    PyMethodDef *methods;
};

void ready_types() {
    const TypeShape shapes[] = {
        {&tag_type, "tovarel_core.cbor.Tag",
         "Tag(tag, value): a CBOR tag number and the value it tags.\n\n"
         "Equal to another Tag with an equal number and value; hashable when the value is.",
         sizeof(TagObject), tag_new, tag_repr, tag_hash, tag_richcompare, tag_members, tag_methods},
        {&simple_type, "tovarel_core.cbor.Simple",
         "Simple(value): a CBOR simple value other than false, true, null and undefined "
         "(0 to 19, 32 to 255).",
         sizeof(SimpleObject), simple_new, simple_repr, simple_hash, simple_richcompare,
         simple_members, simple_methods},
        {&undefined_type, "tovarel_core.cbor.UndefinedType",
         "The type of cbor.undefined, CBOR's undefined value.", sizeof(PyObject), undefined_new,
         undefined_repr, nullptr, nullptr, nullptr, undefined_methods},
    };
    /* A tag holds any object, so it may close a reference cycle. */
    tag_type.tp_flags = Py_TPFLAGS_HAVE_GC;
    tag_type.tp_dealloc = tag_dealloc;
    tag_type.tp_traverse = tag_traverse;
    tag_type.tp_clear = tag_clear;
    for (const TypeShape &shape : shapes) {
        PyTypeObject *type = shape.type;
        Py_SET_REFCNT(reinterpret_cast<PyObject *>(type), 1);
        Py_SET_TYPE(reinterpret_cast<PyObject *>(type), &PyType_Type);
        type->tp_name = shape.name;
        type->tp_doc = shape.doc;
        type->tp_basicsize = shape.size;
        type->tp_flags |= Py_TPFLAGS_DEFAULT;
        type->tp_new = shape.make;
        type->tp_repr = shape.repr;
        type->tp_hash = shape.hash;
        type->tp_richcompare = shape.compare;
        type->tp_members = shape.members;
        type->tp_methods = shape.methods;
        if (PyType_Ready(type) < 0) {
            throw py::error_already_set();
        }
    }
    Py_SET_REFCNT(&undefined_object, 1);
    Py_SET_TYPE(&undefined_object, &undefined_type);
}

/* ---------------------------------------------------------------- strings */

/*
 * Map keys repeat (every record of a list has the same field names), so the
 * str objects of short ASCII keys are kept in a small table indexed by a
 * hash of their bytes and handed out again.  Strings are immutable, so
 * sharing one object among many dicts changes nothing a caller can see.
 */
constexpr std::size_t key_cache_size = 1024;
constexpr uint64_t longest_cached_key = 32;
PyObject *key_cache[key_cache_size];

std::size_t key_slot(const uint8_t *bytes, uint64_t length) {
    uint64_t hash = 0xCBF29CE484222325ULL ^ length;
    for (uint64_t i = 0; i < length; i++) {
        hash = (hash ^ bytes[i]) * 0x100000001B3ULL;
    }
    return static_cast<std::size_t>(hash ^ (hash >> 29)) & (key_cache_size - 1);
}

/* The walker has checked that the bytes are ASCII: they are the string's
 * one-byte storage as they are. */
PyObject *ascii_string(const uint8_t *bytes, uint64_t length) {
    PyObject *text = PyUnicode_New(static_cast<Py_ssize_t>(length), 127);
    if (text != nullptr && length > 0) {
        memcpy(PyUnicode_1BYTE_DATA(text), bytes, length);
    }
    return text;
}

PyObject *cached_key(const uint8_t *bytes, uint64_t length) {
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
bool is_ascii(const uint8_t *bytes, uint64_t length) {
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

/* The interpreter's strict decoder is the check of definite text (the
 * walker leaves it to us rather than validate twice); its complaint is
 * turned into a decode error at the offending byte. */
PyObject *decode_text(const cbor_walker_token &token, const uint8_t *input) {
    PyObject *text = PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(token.bytes),
                                          static_cast<Py_ssize_t>(token.length), "strict");
    if (text != nullptr || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        return text;
    }
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Py_ssize_t start = 0;
    if (value == nullptr || PyUnicodeDecodeError_GetStart(value, &start) != 0) {
        PyErr_Clear();
        start = 0;
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    const auto offset = static_cast<unsigned long long>(token.bytes - input) +
                        static_cast<unsigned long long>(start);
    PyErr_Format(decode_error, "invalid UTF-8 in a text string at byte %llu", offset);
    return nullptr;
}

PyObject *text_object(const cbor_walker_token &token, const uint8_t *input) {
    if (token.key == 1 && token.length <= longest_cached_key &&
        (token.ascii || is_ascii(token.bytes, token.length))) {
        return cached_key(token.bytes, token.length);
    }
    if (token.ascii) {
        return ascii_string(token.bytes, token.length);
    }
    return decode_text(token, input);
}

/* ---------------------------------------------------------------- decoding */

/* -1 - argument, for arguments that do not fit a signed 64-bit value. */
PyObject *negative_from(PyObject *magnitude) {
    if (magnitude == nullptr) {
        return nullptr;
    }
    PyObject *value = PyNumber_Invert(magnitude);
    Py_DECREF(magnitude);
    return value;
}

PyObject *scalar_object(const cbor_walker_token &token, const uint8_t *input) {
    switch (token.kind) {
    case CBOR_WALKER_UINT:
        return PyLong_FromUnsignedLongLong(token.argument);
    case CBOR_WALKER_NEGINT:
        if (token.argument <= static_cast<uint64_t>(INT64_MAX)) {
            return PyLong_FromLongLong(-1 - static_cast<long long>(token.argument));
        }
        return negative_from(PyLong_FromUnsignedLongLong(token.argument));
    case CBOR_WALKER_BIGNUM: {
        PyObject *magnitude = _PyLong_FromByteArray(token.bytes, token.length, 0, 0);
        return token.argument == 2 ? magnitude : negative_from(magnitude);
    }
    case CBOR_WALKER_BYTES:
        return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(token.bytes),
                                         static_cast<Py_ssize_t>(token.length));
    case CBOR_WALKER_TEXT:
        return text_object(token, input);
    case CBOR_WALKER_FLOAT:
        return PyFloat_FromDouble(token.real);
    default: /* CBOR_WALKER_SIMPLE */
        switch (token.argument) {
        case 20:
            Py_RETURN_FALSE;
        case 21:
            Py_RETURN_TRUE;
        case 22:
            Py_RETURN_NONE;
        case 23:
            Py_INCREF(&undefined_object);
            return &undefined_object;
        default:
            return new_simple(static_cast<unsigned>(token.argument));
        }
    }
}

/* A container being filled, or a tag waiting for its content. */
struct Frame {
    PyObject *container; /* list, tuple or dict; null for a tag */
    PyObject *pending;   /* a map's key awaiting its value; a tag's content */
    Py_ssize_t filled;   /* slots set in a definite list or tuple */
    uint64_t offset;     /* where the container or tag begins */
    uint64_t key_offset; /* where the pending key begins */
    uint64_t tag;
    int kind;
    bool definite;
    bool tuple; /* an array in a map key */
};

void raise_decode_error(const char *message) {
    PyErr_SetString(decode_error, message);
}

void raise_walker_error(const cbor_walker *walker) {
    if (walker->status == CBOR_WALKER_NO_MEMORY) {
        PyErr_NoMemory();
        return;
    }
    char message[256];
    cbor_walker_error_message(walker, message, sizeof message);
    raise_decode_error(message);
}

class Decoder {
public:
    explicit Decoder(cbor_walker *source) : walker(source) {}
    Decoder(const Decoder &) = delete;
    Decoder &operator=(const Decoder &) = delete;

    ~Decoder() {
        for (Frame &frame : frames) {
            Py_XDECREF(frame.container);
            Py_XDECREF(frame.pending);
        }
    }

    /* The next whole item as a new reference, or null with an exception. */
    PyObject *item() {
        cbor_walker_token token;
        for (;;) {
            if (cbor_walker_next(walker, &token) != CBOR_WALKER_OK) {
                raise_walker_error(walker);
                return nullptr;
            }
            PyObject *object = nullptr;
            uint64_t offset = token.offset;
            switch (token.kind) {
            case CBOR_WALKER_ARRAY:
            case CBOR_WALKER_MAP:
            case CBOR_WALKER_TAG:
                if (!open(token)) {
                    return nullptr;
                }
                continue;
            case CBOR_WALKER_END:
                object = close(&offset);
                break;
            default:
                object = scalar_object(token, walker->parser.start);
                break;
            }
            if (object == nullptr) {
                return nullptr;
            }
            if (frames.empty()) {
                return object;
            }
            if (!add(frames.back(), object, offset)) {
                return nullptr;
            }
        }
    }

private:
    bool open(const cbor_walker_token &token) {
        Frame frame{};
        frame.kind = token.kind;
        frame.offset = token.offset;
        frame.definite = token.argument != CBOR_WALKER_INDEFINITE;
        frame.tuple = token.key != 0;
        if (token.kind == CBOR_WALKER_TAG) {
            frame.tag = token.argument;
        } else if (token.kind == CBOR_WALKER_MAP) {
            /* The walker bounds a definite count by the unread bytes. */
            frame.container = frame.definite
                                  ? _PyDict_NewPresized(static_cast<Py_ssize_t>(token.argument))
                                  : PyDict_New();
        } else {
            const Py_ssize_t size = frame.definite ? static_cast<Py_ssize_t>(token.argument) : 0;
            frame.container = frame.tuple && frame.definite ? PyTuple_New(size) : PyList_New(size);
        }
        if (token.kind != CBOR_WALKER_TAG && frame.container == nullptr) {
            return false;
        }
        try {
            frames.push_back(frame);
        } catch (const std::bad_alloc &) {
            Py_XDECREF(frame.container);
            PyErr_NoMemory();
            return false;
        }
        return true;
    }

    /* The finished container or tag on top, as a new reference. */
    PyObject *close(uint64_t *offset) {
        Frame frame = frames.back();
        frames.pop_back();
        *offset = frame.offset;
        if (frame.kind == CBOR_WALKER_TAG) {
            PyObject *tag = new_tag(frame.tag, frame.pending);
            Py_DECREF(frame.pending);
            return tag;
        }
        if (frame.kind == CBOR_WALKER_ARRAY && frame.tuple && !frame.definite) {
            PyObject *tuple = PyList_AsTuple(frame.container);
            Py_DECREF(frame.container);
            return tuple;
        }
        return frame.container;
    }

    /* Puts a finished item into the frame on top; takes the reference. */
    bool add(Frame &frame, PyObject *object, uint64_t offset) {
        switch (frame.kind) {
        case CBOR_WALKER_ARRAY:
            if (!frame.definite) {
                const int failed = PyList_Append(frame.container, object);
                Py_DECREF(object);
                return failed == 0;
            }
            if (frame.tuple) {
                PyTuple_SET_ITEM(frame.container, frame.filled++, object);
            } else {
                PyList_SET_ITEM(frame.container, frame.filled++, object);
            }
            return true;
        case CBOR_WALKER_MAP: {
            if (frame.pending == nullptr) {
                frame.pending = object;
                frame.key_offset = offset;
                return true;
            }
            PyObject *key = frame.pending;
            frame.pending = nullptr;
            const int failed = PyDict_SetItem(frame.container, key, object);
            Py_DECREF(object);
            if (failed != 0 && PyErr_ExceptionMatches(PyExc_TypeError)) {
                /* Decoded objects raise TypeError on hashing only when
                 * they are unhashable. */
                PyErr_Clear();
                PyErr_Format(decode_error, "unhashable map key of type %.100s at byte %llu",
                             Py_TYPE(key)->tp_name,
                             static_cast<unsigned long long>(frame.key_offset));
            }
            Py_DECREF(key);
            return failed == 0;
        }
        default: /* a tag's one item */
            frame.pending = object;
            return true;
        }
    }

    cbor_walker *walker;
    std::vector<Frame> frames;
};

/* ---------------------------------------------------------------- direct path */

/*
 * What encoders write is almost always definite-length items of the common
 * kinds, and for those the walker's tokens cost more than the objects they
 * describe.  The direct path reads such input straight from the bytes in one
 * loop, with the builder's stack in its own hands.  It decodes only what it
 * is sure of: at anything else (an indefinite length, a reserved or malformed
 * head, a length beyond the input, a simple value written in two bytes below
 * 32, text that is not UTF-8, a key that will not hash, nesting beyond
 * max_depth, an allocation that fails) it gives up, releases what it built,
 * and the decoder above reads the input again from its first byte.  That
 * decoder is therefore the one that raises every error and decodes every
 * rarer form, and a value the direct path returns is the one it would have
 * returned.
 *
 * Heads are read as the walker reads them: the argument in the initial byte
 * taken here, wider ones by the parser's head reader, floats by its table.
 */

enum DirectKind : uint8_t { direct_list, direct_tuple, direct_map, direct_tag };

struct DirectFrame {
    PyObject *container; /* list, tuple or dict; null for a tag */
    PyObject *key;       /* a map's key awaiting its value */
    Py_ssize_t next;     /* list or tuple: the slot to fill next */
    Py_ssize_t left;     /* list or tuple: its size; map: pairs still to come */
    uint64_t tag;
    DirectKind kind;
    bool in_key; /* the frame is a map key or lies inside one */
};

/* Frames beyond this many move to the heap; most data nests far less. */
constexpr std::size_t direct_local_frames = 32;

class DirectDecoder {
public:
    DirectDecoder(const uint8_t *input, uint64_t input_size, uint64_t depth_limit)
        : start(input), end(input + input_size), cursor(input), size(input_size),
          max_depth(depth_limit) {}
    DirectDecoder(const DirectDecoder &) = delete;
    DirectDecoder &operator=(const DirectDecoder &) = delete;

    ~DirectDecoder() {
        release();
        if (frames != local) {
            free(frames);
        }
    }

    bool at_end() const { return cursor == end; }

    /* The next item as a new reference; null, with no exception set, when
     * the direct path leaves the input to the walker. */
    PyObject *item() {
        for (;;) {
            PyObject *object = nullptr;
            if (!read_item(&object)) {
                return give_up();
            }
            if (object == nullptr) {
                continue; /* a container or tag was opened */
            }
            for (;;) {
                if (depth == 0) {
                    return object;
                }
                DirectFrame &top = frames[depth - 1];
                if (top.kind == direct_list || top.kind == direct_tuple) {
                    if (top.kind == direct_list) {
                        PyList_SET_ITEM(top.container, top.next, object);
                    } else {
                        PyTuple_SET_ITEM(top.container, top.next, object);
                    }
                    if (++top.next < top.left) {
                        break;
                    }
                    object = top.container;
                } else if (top.kind == direct_map) {
                    if (top.key == nullptr) {
                        top.key = object;
                        break;
                    }
                    const int failed = PyDict_SetItem(top.container, top.key, object);
                    Py_DECREF(object);
                    Py_CLEAR(top.key);
                    if (failed != 0) {
                        return give_up();
                    }
                    if (--top.left > 0) {
                        break;
                    }
                    object = top.container;
                } else {
                    PyObject *tag = new_tag(top.tag, object);
                    Py_DECREF(object);
                    if (tag == nullptr) {
                        depth--;
                        return give_up();
                    }
                    object = tag;
                }
                top.container = nullptr;
                depth--;
            }
        }
    }

private:
    /* Reads one item: a finished object, or (object left null) the head of
     * a container or tag, whose frame is then on top.  False to give up. */
    bool read_item(PyObject **object) {
        if (depth > max_depth || cursor == end) {
            return false;
        }
        bool is_key = false;
        bool in_key = false;
        if (depth > 0) {
            const DirectFrame &top = frames[depth - 1];
            in_key = top.in_key;
            is_key = !in_key && top.kind == direct_map && top.key == nullptr;
        }
        const uint8_t initial = *cursor;
        const int major = initial >> 5;
        if (major == 7) {
            return read_simple_or_float(initial, object);
        }
        uint64_t argument = 0;
        if (!read_argument(&argument)) {
            return false;
        }
        const auto unread = static_cast<uint64_t>(end - cursor);
        switch (major) {
        case 0:
            /* PyLong_FromLong serves the interpreter's cached small ints and
             * one-digit values at once; the unsigned conversion would first
             * test the size and then call it. */
            *object = argument <= static_cast<uint64_t>(LONG_MAX)
                          ? PyLong_FromLong(static_cast<long>(argument))
                          : PyLong_FromUnsignedLongLong(argument);
            break;
        case 1:
            *object = argument <= static_cast<uint64_t>(INT64_MAX)
                          ? PyLong_FromLongLong(-1 - static_cast<long long>(argument))
                          : negative_from(PyLong_FromUnsignedLongLong(argument));
            break;
        case 2:
        case 3: {
            if (argument > unread) {
                return false;
            }
            const uint8_t *content = cursor;
            cursor += argument;
            if (major == 2) {
                *object = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(content),
                                                    static_cast<Py_ssize_t>(argument));
            } else {
                *object = direct_text(content, argument, is_key);
            }
            break;
        }
        case 4:
            if (argument > unread) {
                return false;
            }
            return open_array(argument, is_key || in_key, object);
        case 5:
            if (argument > unread / 2) {
                return false;
            }
            return open_map(argument, is_key || in_key, object);
        default:
            return open_tag(argument, is_key || in_key, object);
        }
        return *object != nullptr;
    }

    /* The head's argument; false for a head the direct path leaves alone
     * (indefinite, reserved) or one the input cuts short. */
    bool read_argument(uint64_t *argument) {
        const uint8_t info = *cursor & 0x1F;
        if (info < 24) {
            cursor++;
            *argument = info;
            return true;
        }
        if (info >= 28) {
            return false;
        }
        cbor_parser parser{start, size, cursor, 0};
        uint8_t initial = 0;
        if (cbor_parse_head(&parser, &initial, argument) < 0) {
            return false;
        }
        cursor = parser.cursor;
        return true;
    }

    bool read_simple_or_float(uint8_t initial, PyObject **object) {
        const uint8_t info = initial & 0x1F;
        if (info < 24) {
            cursor++;
            switch (info) {
            case 20:
                *object = Py_NewRef(Py_False);
                return true;
            case 21:
                *object = Py_NewRef(Py_True);
                return true;
            case 22:
                *object = Py_NewRef(Py_None);
                return true;
            case 23:
                *object = Py_NewRef(&undefined_object);
                return true;
            default:
                *object = new_simple(info);
                return *object != nullptr;
            }
        }
        if (initial == 0xF8) {
            if (end - cursor < 2 || cursor[1] < 32) {
                return false;
            }
            *object = new_simple(cursor[1]);
            cursor += 2;
            return *object != nullptr;
        }
        if (initial < 0xF9 || initial > 0xFB) {
            return false;
        }
        cbor_parser parser{start, size, cursor, 0};
        cbor_val value{};
        if (cbor_jump_table[initial](&parser, &value, initial) < 0) {
            return false;
        }
        cursor = parser.cursor;
        *object = PyFloat_FromDouble(value.value.real);
        return *object != nullptr;
    }

    /* Text as the walker-driven decoder makes it: short ASCII map keys from
     * the cache, the rest by the interpreter's strict decoder (whose refusal
     * is left to the walker to report). */
    static PyObject *direct_text(const uint8_t *content, uint64_t length, bool is_key) {
        if (is_key && length <= longest_cached_key && is_ascii(content, length)) {
            return cached_key(content, length);
        }
        return PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(content),
                                    static_cast<Py_ssize_t>(length), "strict");
    }

    bool open_array(uint64_t count, bool in_key, PyObject **object) {
        const auto length = static_cast<Py_ssize_t>(count);
        PyObject *container = in_key ? PyTuple_New(length) : PyList_New(length);
        if (container == nullptr) {
            return false;
        }
        if (count == 0) {
            *object = container;
            return true;
        }
        return push(in_key ? direct_tuple : direct_list, container, length, 0, in_key);
    }

    bool open_map(uint64_t count, bool in_key, PyObject **object) {
        PyObject *container = _PyDict_NewPresized(static_cast<Py_ssize_t>(count));
        if (container == nullptr) {
            return false;
        }
        if (count == 0) {
            *object = container;
            return true;
        }
        return push(direct_map, container, static_cast<Py_ssize_t>(count), 0, in_key);
    }

    /* Tags 2 and 3 around a definite byte string are bignums, read whole;
     * any other tag takes a frame for its one item. */
    bool open_tag(uint64_t number, bool in_key, PyObject **object) {
        if (number != 2 && number != 3) {
            return push(direct_tag, nullptr, 0, number, in_key);
        }
        if (cursor == end || *cursor >> 5 != 2) {
            return false;
        }
        uint64_t length = 0;
        if (!read_argument(&length) || length > static_cast<uint64_t>(end - cursor)) {
            return false;
        }
        PyObject *magnitude = _PyLong_FromByteArray(cursor, length, 0, 0);
        cursor += length;
        *object = number == 2 ? magnitude : negative_from(magnitude);
        return *object != nullptr;
    }

    bool push(DirectKind kind, PyObject *container, Py_ssize_t left, uint64_t tag, bool in_key) {
        if (depth == capacity && !grow()) {
            Py_XDECREF(container);
            return false;
        }
        DirectFrame &frame = frames[depth++];
        frame.container = container;
        frame.key = nullptr;
        frame.next = 0;
        frame.left = left;
        frame.tag = tag;
        frame.kind = kind;
        frame.in_key = in_key;
        return true;
    }

    bool grow() {
        const std::size_t grown_capacity = capacity * 2;
        auto *grown = static_cast<DirectFrame *>(
            frames == local ? malloc(grown_capacity * sizeof(DirectFrame))
                            : realloc(frames, grown_capacity * sizeof(DirectFrame)));
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

    void release() {
        for (std::size_t i = 0; i < depth; i++) {
            Py_XDECREF(frames[i].container);
            Py_XDECREF(frames[i].key);
        }
        depth = 0;
    }

    PyObject *give_up() {
        release();
        PyErr_Clear();
        return nullptr;
    }

    const uint8_t *start;
    const uint8_t *end;
    const uint8_t *cursor;
    uint64_t size;
    uint64_t max_depth;
    DirectFrame local[direct_local_frames];
    DirectFrame *frames = local;
    std::size_t capacity = direct_local_frames;
    std::size_t depth = 0;
};

/* The input's bytes for the duration of a call. */
class InputView {
public:
    explicit InputView(PyObject *data) {
        if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) != 0) {
            throw py::error_already_set();
        }
    }
    ~InputView() { PyBuffer_Release(&view); }
    InputView(const InputView &) = delete;
    InputView &operator=(const InputView &) = delete;

    const void *data() const { return view.buf; }
    uint64_t size() const { return static_cast<uint64_t>(view.len); }

private:
    Py_buffer view{};
};

/*
 * Decoding creates containers by the thousand, each of which counts towards
 * the cyclic garbage collector's next run, and every run would walk the
 * growing, cycle-free result again.  The collector is held off while one
 * call decodes (no Python code runs meanwhile that could need it) and
 * handed back in the state it was in; its next run sees the result once.
 */
class CollectorPause {
public:
    CollectorPause() : was_enabled(PyGC_Disable()) {}
    ~CollectorPause() {
        if (was_enabled) {
            PyGC_Enable();
        }
    }
    CollectorPause(const CollectorPause &) = delete;
    CollectorPause &operator=(const CollectorPause &) = delete;

private:
    int was_enabled;
};

struct WalkerFree {
    void operator()(cbor_walker *walker) const { cbor_walker_free(walker); }
};

using WalkerOwner = std::unique_ptr<cbor_walker, WalkerFree>;

WalkerOwner make_walker(const InputView &input, uint64_t max_depth) {
    WalkerOwner walker(cbor_walker_create(input.data(), input.size(), max_depth));
    if (!walker) {
        throw std::bad_alloc();
    }
    walker->text_checked_by_caller = 1;
    return walker;
}

/* One call's decoding by the walker: a walker over the input, and the
 * decoder. */
class Session {
public:
    Session(const InputView &input, uint64_t max_depth)
        : size(input.size()), walker(make_walker(input, max_depth)), decoder(walker.get()) {}

    py::object next_item() {
        py::object value = py::reinterpret_steal<py::object>(decoder.item());
        if (!value) {
            throw py::error_already_set();
        }
        return value;
    }

    bool at_end() const { return cbor_walker_offset(walker.get()) >= size; }

    void refuse_trailing_bytes() {
        if (cbor_walker_finish(walker.get()) != CBOR_WALKER_OK) {
            raise_walker_error(walker.get());
            throw py::error_already_set();
        }
    }

private:
    uint64_t size;
    WalkerOwner walker;
    Decoder decoder;
};

py::object walked_loads(const InputView &input, uint64_t max_depth) {
    Session session(input, max_depth);
    py::object value = session.next_item();
    session.refuse_trailing_bytes();
    return value;
}

py::object walked_loads_sequence(const InputView &input, uint64_t max_depth) {
    Session session(input, max_depth);
    py::list items;
    while (!session.at_end()) {
        items.append(session.next_item());
    }
    return items;
}

const uint8_t *input_bytes(const InputView &input) {
    return static_cast<const uint8_t *>(input.data());
}

/* The direct path first; the walker when it gives up (see DirectDecoder). */
py::object loads(PyObject *data, uint64_t max_depth) {
    InputView input(data);
    CollectorPause pause;
    {
        DirectDecoder direct(input_bytes(input), input.size(), max_depth);
        auto value = py::reinterpret_steal<py::object>(direct.item());
        if (value && direct.at_end()) {
            return value;
        }
    }
    return walked_loads(input, max_depth);
}

py::object loads_sequence(PyObject *data, uint64_t max_depth) {
    InputView input(data);
    CollectorPause pause;
    {
        DirectDecoder direct(input_bytes(input), input.size(), max_depth);
        py::list items;
        bool whole = true;
        while (whole && !direct.at_end()) {
            PyObject *value = direct.item();
            whole = value != nullptr && PyList_Append(items.ptr(), value) == 0;
            Py_XDECREF(value);
        }
        if (whole) {
            return items;
        }
        PyErr_Clear();
    }
    return walked_loads_sequence(input, max_depth);
}

/* loads by the walker alone: the reference the direct path is tested against. */
py::object loads_plain(PyObject *data, uint64_t max_depth) {
    InputView input(data);
    CollectorPause pause;
    return walked_loads(input, max_depth);
}

/* Deep enough for any value that recursive Python code (repr, ==, dumps)
 * handles at the interpreter's default recursion limit; every nesting level
 * beyond it would only be a risk: hashing a tuple key recurses natively. */
constexpr uint64_t default_max_depth = 1000;

/* The arguments (data, *, max_depth=1000); data may come by keyword too. */
bool parse_arguments(const char *name, PyObject *const *args, Py_ssize_t count, PyObject *keywords,
                     PyObject **data, uint64_t *max_depth) {
    if (count > 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes 1 positional argument but %zd were given", name,
                     count);
        return false;
    }
    *data = count == 1 ? args[0] : nullptr;
    PyObject *depth = nullptr;
    const Py_ssize_t keyword_count = keywords == nullptr ? 0 : PyTuple_GET_SIZE(keywords);
    for (Py_ssize_t i = 0; i < keyword_count; i++) {
        PyObject *keyword = PyTuple_GET_ITEM(keywords, i);
        PyObject **slot = nullptr;
        if (PyUnicode_CompareWithASCIIString(keyword, "data") == 0) {
            slot = data;
        } else if (PyUnicode_CompareWithASCIIString(keyword, "max_depth") == 0) {
            slot = &depth;
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name,
                         keyword);
            return false;
        }
        if (*slot != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", name,
                         keyword);
            return false;
        }
        *slot = args[count + i];
    }
    if (*data == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() missing required argument 'data'", name);
        return false;
    }
    *max_depth = default_max_depth;
    if (depth != nullptr) {
        if (!PyLong_Check(depth)) {
            PyErr_Format(PyExc_TypeError, "max_depth must be an int, not %.100s",
                         Py_TYPE(depth)->tp_name);
            return false;
        }
        *max_depth = PyLong_AsUnsignedLongLong(depth);
        if (PyErr_Occurred()) {
            PyErr_Clear();
            PyErr_SetString(PyExc_ValueError, "max_depth must be from 0 to 2**64-1");
            return false;
        }
    }
    return true;
}

/* The functions are plain vectorcall built-ins: decoding small items is
 * common, and a generic binding's dispatch would cost more than they do. */
template <py::object (*Decode)(PyObject *, uint64_t)>
PyObject *entry(const char *name, PyObject *const *args, Py_ssize_t count, PyObject *keywords) {
    PyObject *data = nullptr;
    uint64_t max_depth = 0;
    if (!parse_arguments(name, args, PyVectorcall_NARGS(count), keywords, &data, &max_depth)) {
        return nullptr;
    }
    try {
        return Decode(data, max_depth).release().ptr();
    } catch (py::error_already_set &error) {
        error.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    }
    return nullptr;
}

PyObject *loads_entry(PyObject *, PyObject *const *args, Py_ssize_t count, PyObject *keywords) {
    return entry<loads>("loads", args, count, keywords);
}

PyObject *loads_plain_entry(PyObject *, PyObject *const *args, Py_ssize_t count,
                            PyObject *keywords) {
    return entry<loads_plain>("_loads_plain", args, count, keywords);
}

PyObject *loads_sequence_entry(PyObject *, PyObject *const *args, Py_ssize_t count,
                               PyObject *keywords) {
    return entry<loads_sequence>("loads_sequence", args, count, keywords);
}

/* The first line of each docstring is the signature the interpreter shows. */
PyMethodDef functions[] = {
    {"loads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(loads_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "loads(data, *, max_depth=1000)\n--\n\n"
     "Decode one CBOR data item from a bytes-like object.\n\n"
     "Raises CBORDecodeError (a ValueError) naming the byte offset when the\n"
     "input is not exactly one well-formed item, or nests deeper than\n"
     "max_depth (the elements of a top-level array or map are at depth 1)."},
    {"loads_sequence",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(loads_sequence_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "loads_sequence(data, *, max_depth=1000)\n--\n\n"
     "Decode a CBOR sequence (zero or more items back to back) into a list."},
    {"_loads_plain", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(loads_plain_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "_loads_plain(data, *, max_depth=1000)\n--\n\n"
     "loads without its direct path: every item through the checking walker."},
    {nullptr, nullptr, 0, nullptr}};

} // namespace

namespace tovarel {

CborOnlyValue cbor_only_value(PyObject *object) {
    CborOnlyValue found;
    PyTypeObject *type = Py_TYPE(object);
    if (type == &tag_type) {
        found.kind = CborOnlyValue::tag;
        found.number = reinterpret_cast<TagObject *>(object)->tag;
        found.value = reinterpret_cast<TagObject *>(object)->value;
    } else if (type == &simple_type) {
        found.kind = CborOnlyValue::simple;
        found.number = simple_value(object);
    } else if (object == &undefined_object) {
        found.kind = CborOnlyValue::undefined;
    }
    return found;
}

} // namespace tovarel

void tovarel_register_cbor_loads(py::module_ &cbor) {
    ready_types();
    decode_error = PyErr_NewExceptionWithDoc(
        "tovarel_core.cbor.CBORDecodeError",
        "Raised by loads and loads_sequence for input that is not well-formed CBOR.",
        PyExc_ValueError, nullptr);
    if (decode_error == nullptr) {
        throw py::error_already_set();
    }
    cbor.add_object("CBORDecodeError", py::reinterpret_borrow<py::object>(decode_error));
    cbor.add_object("Tag",
                    py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&tag_type)));
    cbor.add_object("Simple",
                    py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&simple_type)));
    cbor.add_object("undefined", py::reinterpret_borrow<py::object>(&undefined_object));
    for (PyMethodDef &function : functions) {
        if (function.ml_name == nullptr) {
            break;
        }
        py::object callable = py::reinterpret_steal<py::object>(
            PyCFunction_NewEx(&function, nullptr, cbor.attr("__name__").ptr()));
        if (!callable) {
            throw py::error_already_set();
        }
        cbor.add_object(function.ml_name, callable);
    }
}
