/*
 * cbor_types.cpp - the types Tag, Simple and UndefinedType, the one
 * undefined object, and CBORDecodeError.
 *
 * They are static types of C, so that the decoders make them without a
 * call into Python and dumps recognises them by their exact type.
 */
#include "cbor_types.h"

#include <structmember.h>

namespace py = pybind11;

namespace tovarel::cbor {

PyObject *decode_error = nullptr;
thread_local uint64_t error_offset_base = 0;
PyObject undefined_object{};

} // namespace tovarel::cbor

namespace {

using tovarel::cbor::undefined_object;

struct TagObject {
    PyObject_HEAD unsigned long long tag;
    PyObject *value;
};

struct SimpleObject {
    PyObject_HEAD unsigned char value;
};

/* Static types; their headers, and the undefined object's, are filled in
 * by ready_types(). */
PyTypeObject tag_type{};
PyTypeObject simple_type{};
PyTypeObject undefined_type{};

/* Simple values 20 to 23 are false, true, null and undefined, and 24 to 31
 * have no encoding; a Simple holds only the others, so that it always
 * decodes back to itself. */
bool is_plain_simple_value(unsigned long long number) {
    return number < 20 || (number >= 32 && number <= 255);
}

PyObject *make_tag(unsigned long long number, PyObject *value) {
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

PyObject *make_simple(unsigned number) {
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
    return make_tag(number, value);
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
    return make_simple(static_cast<unsigned>(number));
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

} // namespace

namespace tovarel::cbor {

PyObject *new_tag(uint64_t number, PyObject *value) {
    return make_tag(number, value);
}

PyObject *new_simple(unsigned number) {
    return make_simple(number);
}

bool is_tag(PyObject *object) {
    return Py_TYPE(object) == &tag_type;
}

uint64_t tag_number(PyObject *tag) {
    return reinterpret_cast<TagObject *>(tag)->tag;
}

PyObject *tag_content(PyObject *tag) {
    return reinterpret_cast<TagObject *>(tag)->value;
}

void register_types(py::module_ &cbor) {
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
}

} // namespace tovarel::cbor

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
