/*
 * cbor_stdlib.h - the standard library's types that CBOR tags stand for,
 * imported once, on first use.
 */
#ifndef TOVAREL_BINDINGS_PYTHON_CBOR_STDLIB_H
#define TOVAREL_BINDINGS_PYTHON_CBOR_STDLIB_H

#include <Python.h>

namespace tovarel::cbor {

struct StdlibTypes {
    PyObject *decimal;  /* decimal.Decimal */
    PyObject *fraction; /* fractions.Fraction */
    PyObject *uuid;     /* uuid.UUID */
    /* uuid.UUID's slots and the is_safe value of a UUID read from bytes;
     * null when the class is not laid out as expected (then it is called). */
    PyObject *uuid_int_slot;
    PyObject *uuid_is_safe_slot;
    PyObject *uuid_unknown_safety;
    /* ipaddress: IPv4Address, IPv4Network, IPv4Interface, then IPv6 */
    PyObject *ip_types[6];
    PyObject *utc; /* datetime.timezone.utc */
};

/* Indices into ip_types. */
enum IpKind { ip_address = 0, ip_network = 1, ip_interface = 2 };
constexpr int ip_version_6 = 3; /* added to an IpKind for IPv6 */

/* The types, imported on the first call; null with the import's error. */
const StdlibTypes *stdlib_types();

} // namespace tovarel::cbor

#endif /* TOVAREL_BINDINGS_PYTHON_CBOR_STDLIB_H */
