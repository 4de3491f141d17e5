// The non-public interfaces that take more than a line (see internals.hpp).
#include "internals.hpp"

#include <cstring>

namespace pycore::internals {
namespace {

// A class attribute by its name as a C text; null when absent or when the name cannot
// be made.
PyObject* class_attribute(PyTypeObject* type, const char* name) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    if (!key) {
        PyErr_Clear();
        return nullptr;
    }
    return type_lookup(type, key.get());
}

// The words of `object` from after its header to the end of its type's layout.
struct ObjectWords {
    PyObject* object;
    Py_ssize_t end;

    // The one place holding `value`, or 0 when it is nowhere or in several places.
    Py_ssize_t only(PyObject* value) const {
        Py_ssize_t found = 0;
        for (Py_ssize_t at = sizeof(PyObject); at + Py_ssize_t{sizeof(void*)} <= end;
             at += sizeof(void*))
            if (object_field(object, at) == value) {
                if (found != 0) return 0;
                found = at;
            }
        return found;
    }
};

}  // namespace

Ref object_getattribute(PyObject* name) {
    Ref found = Ref::borrow(type_lookup(&PyBaseObject_Type, name));
    if (!found) PyErr_SetString(PyExc_SystemError, "object has no __getattribute__");
    return found;
}

Ref ctypes_function_base(PyObject* ctypes) {
    Ref base = Ref::steal(PyObject_GetAttrString(ctypes, "_CFuncPtr"));
    if (base && !PyType_Check(base.get())) {
        PyErr_SetString(PyExc_ImportError, "ctypes._CFuncPtr is not a type");
        return Ref();
    }
    return base;
}

FunctionPointerClass function_pointer_class(PyTypeObject* type) {
    FunctionPointerClass facts;
    facts.argtypes = class_attribute(type, "_argtypes_");
    facts.restype = class_attribute(type, "_restype_");
    PyObject* flags = class_attribute(type, "_flags_");
    if (flags != nullptr && PyLong_CheckExact(flags)) {
        facts.flags = PyLong_AsLong(flags);
        if (facts.flags == -1) PyErr_Clear();
    }
    return facts;
}

// A function pointer keeps its storage behind a pointer right after the object header,
// and what is set as errcheck, argtypes and restype in fields of its own. Both are
// confirmed here on function pointers of known address and attributes.
bool probe_function_pointer_layout(PyObject* ctypes, PyObject* c_int,
                                   FunctionPointerLayout& layout) {
    layout = FunctionPointerLayout{};
    Ref prototype = Ref::steal(PyObject_CallMethod(ctypes, "CFUNCTYPE", "O", Py_None));
    Ref address =
        Ref::steal(PyLong_FromVoidPtr(reinterpret_cast<void*>(&probe_function_pointer_layout)));
    if (!prototype || !address) return false;
    Ref plain = Ref::steal(PyObject_CallOneArg(prototype.get(), address.get()));
    Ref probed = Ref::steal(PyObject_CallOneArg(prototype.get(), address.get()));
    if (!plain || !probed) return false;

    Py_buffer view;
    if (PyObject_GetBuffer(plain.get(), &view, PyBUF_SIMPLE) < 0) return false;
    void* storage = view.buf;
    PyBuffer_Release(&view);
    void* stored = nullptr;
    if (storage != nullptr) std::memcpy(&stored, storage, sizeof(stored));
    constexpr Py_ssize_t after_header = sizeof(PyObject);
    if (object_field(plain.get(), after_header) == storage &&
        stored == reinterpret_cast<void*>(&probe_function_pointer_layout))
        layout.storage = after_header;

    // Fresh objects, found nowhere else in the function pointer.
    Ref errcheck = Ref::steal(PyObject_CallOneArg(prototype.get(), address.get()));
    Ref argtypes = Ref::steal(PyTuple_Pack(1, c_int));
    if (!errcheck || !argtypes) return false;
    if (PyObject_SetAttrString(probed.get(), "errcheck", errcheck.get()) < 0 ||
        PyObject_SetAttrString(probed.get(), "argtypes", argtypes.get()) < 0 ||
        PyObject_SetAttrString(probed.get(), "restype", c_int) < 0)
        return false;
    const ObjectWords words{probed.get(), Py_TYPE(probed.get())->tp_basicsize};
    Py_ssize_t at[] = {words.only(errcheck.get()), words.only(argtypes.get()), words.only(c_int)};
    bool found = at[0] > 0 && at[1] > 0 && at[2] > 0;
    for (Py_ssize_t offset : at) found = found && object_field(plain.get(), offset) == nullptr;
    if (PyObject_DelAttrString(probed.get(), "errcheck") < 0 ||
        PyObject_DelAttrString(probed.get(), "argtypes") < 0 ||
        PyObject_DelAttrString(probed.get(), "restype") < 0)
        return false;
    for (Py_ssize_t offset : at) found = found && object_field(probed.get(), offset) == nullptr;
    if (found) {
        layout.errcheck = at[0];
        layout.argtypes = at[1];
        layout.restype = at[2];
    }
    return true;
}

void* function_pointer_address_read(PyObject* function) {
    void* address = nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(function, &view, PyBUF_SIMPLE) < 0) return nullptr;
    if (view.len >= static_cast<Py_ssize_t>(sizeof(void*)))
        std::memcpy(&address, view.buf, sizeof(void*));
    PyBuffer_Release(&view);
    if (address == nullptr) PyErr_SetString(PyExc_ValueError, "NULL function pointer");
    return address;
}

}  // namespace pycore::internals
