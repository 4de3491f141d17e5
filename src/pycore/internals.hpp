// Every use of an interface that CPython 3.11 or ctypes does not publish, in one place.
// Each entry says why the modules need it and what the public way would be, so that an
// interpreter that changes one is met here and nowhere else. No other file names these
// interfaces (tests/test_c_api_use.py holds that).
#pragma once

#include <cstdint>
#include <cstring>

#include "ref.hpp"

namespace pycore::internals {

// ---------------------------------------------------------------------------
// Versions: what lets a look-up be remembered and still be exact.

// A type's version tag, and whether it has a valid one. CPython gives a type a new tag,
// unique in the process and never 0, whenever the type or a base changes (the key of its
// attribute cache). Needed: what a class contributes to an attribute read is decided once
// per tag instead of walking the MRO at every routine call. Public way: none in 3.11
// (3.12 has type watchers); decide at every call.
inline bool has_version_tag(PyTypeObject* type) {
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0;
}
inline unsigned int version_tag(PyTypeObject* type) {
    return type->tp_version_tag;
}

// A dictionary's version (PEP 509): every change of any dictionary gives it a new number,
// unique in the process and never 0. Needed: a dictionary read is repeated only when the
// dictionary has changed. Public way: none in 3.11 (3.12 has dictionary watchers); read the
// dictionary at every use.
inline std::uint64_t dict_version(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

// ---------------------------------------------------------------------------
// Attribute look-up steps that the public API only offers as a whole.

// `name` in the type's MRO, as the attribute rules find it: borrowed, or null when absent;
// never raises. Needed: telling a class attribute (and whether it is a data descriptor)
// from an instance attribute without running descriptors. Public way: each class of
// `type.__mro__` read through its `__dict__` mapping.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
    return _PyType_Lookup(type, name);
}

// The place of an object's instance dictionary (null when its type has none; the place may
// hold null before a first attribute is stored). Needed: reading an instance attribute
// without the generic look-up's class walk. Public way: PyObject_GenericGetDict, which
// makes a dictionary where there was none.
inline PyObject** dict_place(PyObject* obj) {
    return _PyObject_GetDictPtr(obj);
}

// obj.name for a call, as Python's method calls look it up: 1 and the plain function
// (unbound) when the name is a method of the type not hidden by the instance, to be called
// with obj first; 0 and the attribute otherwise; 0 and null with an exception set when the
// look-up fails. Needed: calling a hook without making a bound method. Public way:
// PyObject_GetAttr and a call of what it gives.
inline int method_lookup(PyObject* obj, PyObject* name, Ref& found) {
    PyObject* method = nullptr;
    int unbound = _PyObject_GetMethod(obj, name, &method);
    found = Ref::steal(method);
    return unbound;
}

// object.__getattribute__ as a class attribute, owned; null with SystemError if it is
// missing. Needed: recognising a class whose attribute reads are the generic ones. Public
// way: PyObject_GetAttrString(&PyBaseObject_Type, "__getattribute__") gives the same slot
// wrapper.
Ref object_getattribute(PyObject* name);

// ---------------------------------------------------------------------------
// Exceptions.

// Raises the exception now set with `saved` as its __context__, as an exception raised
// while another is handled shows both. Needed: an error while reporting an error keeps
// the first. Public way: fetch the second, normalise both, PyException_SetContext,
// restore the second.
inline void chain_exceptions(SavedError& saved) {
    PyObject *type, *value, *traceback;
    saved.release(type, value, traceback);
    _PyErr_ChainExceptions(type, value, traceback);
}

// ---------------------------------------------------------------------------
// Texts.

// The characters of an exact str that holds ASCII only, NUL-terminated in the object
// itself (the compact ASCII layout), or null for any other str. Needed: a routine gets a
// text's bytes without a copy. Public way: PyUnicode_AsUTF8AndSize, which gives the same
// pointer for such a str and makes a cached copy for others.
inline const char* ascii_in_place(PyObject* str) {
    return PyUnicode_IS_COMPACT_ASCII(str) ? static_cast<const char*>(PyUnicode_DATA(str))
                                           : nullptr;
}

// ---------------------------------------------------------------------------
// ctypes: what the native road needs to know of a function pointer.

// ctypes' base class of every function pointer (ctypes._CFuncPtr), owned; null with
// ImportError when it is missing or not a class. Needed: recognising a function pointer
// whatever prototype made it. Public way: none; every prototype's class would have to be
// known.
Ref ctypes_function_base(PyObject* ctypes);

// What a function-pointer class declares for its instances (its prototype's facts):
// `_argtypes_` and `_restype_` (borrowed: the unchanged class holds them; null when it has
// none) and `_flags_` (the calling convention and error handling; -1 when it has none).
// Never raises. Needed: a call through the routine's address is what ctypes would do only
// for the plain convention without conversions. Public way: none.
struct FunctionPointerClass {
    PyObject* argtypes = nullptr;
    PyObject* restype = nullptr;
    long flags = -1;
};
FunctionPointerClass function_pointer_class(PyTypeObject* type);

// Where a function pointer keeps the address it calls (a pointer to it, right after the
// object header) and the errcheck, argtypes and restype set on it (object fields), in
// bytes from the object's start; 0 where start-up could not confirm the place. Needed:
// reading them costs a load instead of the buffer interface and three attribute reads.
// Public way: the buffer interface for the address, the attributes for the others (which
// is what a 0 here leads to).
struct FunctionPointerLayout {
    Py_ssize_t storage = 0;
    Py_ssize_t errcheck = 0;
    Py_ssize_t argtypes = 0;
    Py_ssize_t restype = 0;
};

// Confirms the places on function pointers of known address and attributes, made with
// `ctypes` (`c_int` its c_int). False with an exception set when making the probes fails;
// places that do not hold stay 0.
bool probe_function_pointer_layout(PyObject* ctypes, PyObject* c_int,
                                   FunctionPointerLayout& layout);

// The object pointer stored at `offset` bytes from the start of `object` (borrowed; an
// offset confirmed by probe_function_pointer_layout).
inline PyObject* object_field(PyObject* object, Py_ssize_t offset) {
    PyObject* value = nullptr;
    std::memcpy(&value, reinterpret_cast<char*>(object) + offset, sizeof(value));
    return value;
}

// The address a function pointer calls, through the buffer interface; null with
// ValueError for a null function pointer.
void* function_pointer_address_read(PyObject* function);

// The address a function pointer calls; null with ValueError for a null function pointer.
inline void* function_pointer_address(PyObject* function, const FunctionPointerLayout& layout) {
    if (layout.storage == 0) return function_pointer_address_read(function);
    void* address = nullptr;
    auto* storage = reinterpret_cast<char*>(object_field(function, layout.storage));
    if (storage != nullptr) std::memcpy(&address, storage, sizeof(address));
    if (address == nullptr) PyErr_SetString(PyExc_ValueError, "NULL function pointer");
    return address;
}

}  // namespace pycore::internals
