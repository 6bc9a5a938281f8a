/*
 * cbor_stdlib.cpp - importing the standard library's types for the tags.
 *
 * They are imported on first use rather than with the module, so that
 * plain dumps and loads never pay for modules they do not need.  The
 * references are kept for the life of the process, as the interpreter
 * keeps the modules themselves.
 */
#include "cbor_stdlib.h"

#include <datetime.h>

namespace tovarel::cbor {

namespace {

PyObject *attribute_of(const char *module_name, const char *name) {
    PyObject *module = PyImport_ImportModule(module_name);
    if (module == nullptr) {
        return nullptr;
    }
    PyObject *value = PyObject_GetAttrString(module, name);
    Py_DECREF(module);
    return value;
}

/* A member descriptor of one of the type's slots, or null (no error). */
PyObject *slot_of(PyObject *type, const char *name) {
    PyObject *descriptor =
        PyDict_GetItemString(reinterpret_cast<PyTypeObject *>(type)->tp_dict, name);
    if (descriptor == nullptr || Py_TYPE(descriptor) != &PyMemberDescr_Type) {
        return nullptr;
    }
    return Py_NewRef(descriptor);
}

bool import_all(StdlibTypes &types) {
    static const char *ip_names[6] = {"IPv4Address", "IPv4Network", "IPv4Interface",
                                      "IPv6Address", "IPv6Network", "IPv6Interface"};
    types.decimal = attribute_of("decimal", "Decimal");
    types.fraction = attribute_of("fractions", "Fraction");
    types.uuid = attribute_of("uuid", "UUID");
    if (types.decimal == nullptr || types.fraction == nullptr || types.uuid == nullptr ||
        !PyType_Check(types.uuid)) {
        return false;
    }
    for (int i = 0; i < 6; i++) {
        types.ip_types[i] = attribute_of("ipaddress", ip_names[i]);
        if (types.ip_types[i] == nullptr) {
            return false;
        }
    }
    PyObject *safety = attribute_of("uuid", "SafeUUID");
    if (safety == nullptr) {
        return false;
    }
    types.uuid_unknown_safety = PyObject_GetAttrString(safety, "unknown");
    Py_DECREF(safety);
    if (types.uuid_unknown_safety == nullptr) {
        return false;
    }
    types.uuid_int_slot = slot_of(types.uuid, "int");
    types.uuid_is_safe_slot = slot_of(types.uuid, "is_safe");
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr) {
        return false;
    }
    types.utc = Py_NewRef(PyDateTime_TimeZone_UTC);
    return true;
}

} // namespace

const StdlibTypes *stdlib_types() {
    static StdlibTypes types{};
    static bool ready = false;
    if (!ready) {
        if (!import_all(types)) {
            return nullptr; /* a later call tries again */
        }
        ready = true;
    }
    return &types;
}

} // namespace tovarel::cbor
