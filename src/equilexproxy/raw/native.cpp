// The native road calls a ctypes function pointer through its address with holders in
// the call's own memory. It serves only where the outcome is what the ctypes road
// gives: module raw's `ctypes` is the module it was loaded with and the names the
// ctypes road takes from it are unchanged; the function's type adds no __call__ of its
// own and asks for nothing but the plain C convention (no Python API, errno or
// last-error handling, no declared argument or result conversions); and the function
// has no errcheck, argtypes or restype of its own. Everything else takes the ctypes
// road, which honours all of it.
#include "native.hpp"

#include <array>
#include <cstdint>
#include <cstring>

#include "context.hpp"

namespace raw {
namespace {

using pycore::Ref;

// The names the ctypes road takes from module raw's `ctypes`.
constexpr std::array<const char*, 8> road_names{
    "c_int",     "c_double", "c_char", "c_char_p", "c_void_p", "byref", "create_string_buffer",
    "addressof",
};

// The one calling convention the native callers use: cdecl, which is every
// platform's but 32-bit Windows', where the routines are stdcall (flag 0).
#if defined(_WIN32) && !defined(_WIN64)
constexpr long plain_flags = 0;
#else
constexpr long plain_flags = 1;  // ctypes' FUNCFLAG_CDECL
#endif

struct CtypesAsLoaded {
    Ref module;
    PyObject* dict = nullptr;  // the module's own dictionary, fixed for its lifetime
    std::array<Ref, road_names.size()> originals;
    std::array<Ref, road_names.size()> keys;
    std::uint64_t checked_version = 0;  // a version of `dict` with every original in place
    Ref c_int;
    PyTypeObject* function_type = nullptr;  // ctypes' function pointer base (held by `module`)
    ternaryfunc function_call = nullptr;    // its tp_call
    // Where a function pointer keeps its storage, errcheck, argtypes and restype, when
    // start-up could confirm it (0: read through the buffer interface and attributes).
    Py_ssize_t storage = 0;
    Py_ssize_t errcheck = 0;
    Py_ssize_t argtypes = 0;
    Py_ssize_t restype = 0;
};
// Never destroyed: the interpreter is gone by the time static objects are.
CtypesAsLoaded& loaded = *new CtypesAsLoaded;

std::uint64_t version_of(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

struct TypeFacts {
    PyTypeObject* type = nullptr;
    unsigned int tag = 0;
    bool function_pointer = false;
    bool serves = false;
    PyObject* argtypes = nullptr;  // the class's declared argtypes and restype (borrowed:
    PyObject* restype = nullptr;   // the unchanged class holds them)
};
TypeFacts type_facts;

PyObject* class_attribute(PyTypeObject* type, const char* name) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    if (!key) {
        PyErr_Clear();
        return nullptr;
    }
    return _PyType_Lookup(type, key.get());
}

void learn_function_type(PyTypeObject* type, TypeFacts& facts);

// Decided once per version of the class.
const TypeFacts& facts_of(PyTypeObject* type) {
    if (type_facts.type == type && (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) &&
        type->tp_version_tag == type_facts.tag)
        return type_facts;
    TypeFacts facts;
    facts.function_pointer = PyType_IsSubtype(type, loaded.function_type);
    if (facts.function_pointer) learn_function_type(type, facts);
    if (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) {
        facts.type = type;
        facts.tag = type->tp_version_tag;
    }
    type_facts = facts;
    return type_facts;
}

void learn_function_type(PyTypeObject* type, TypeFacts& facts) {
    facts.argtypes = class_attribute(type, "_argtypes_");
    facts.restype = class_attribute(type, "_restype_");
    PyObject* flags = class_attribute(type, "_flags_");
    long value = flags != nullptr && PyLong_CheckExact(flags) ? PyLong_AsLong(flags) : -1;
    if (value == -1) PyErr_Clear();
    bool no_argtypes =
        facts.argtypes == nullptr || facts.argtypes == Py_None ||
        (PyTuple_CheckExact(facts.argtypes) && PyTuple_GET_SIZE(facts.argtypes) == 0 &&
         (value & 1) != 0);  // cdecl takes more arguments than it declares, unconverted
    facts.serves = type->tp_call == loaded.function_call && value == plain_flags && no_argtypes &&
                   (facts.restype == nullptr || facts.restype == Py_None ||
                    facts.restype == loaded.c_int.get());
}

PyObject* field(PyObject* object, Py_ssize_t offset) {
    PyObject* value = nullptr;
    std::memcpy(&value, reinterpret_cast<char*>(object) + offset, sizeof(value));
    return value;
}

// Whether errcheck, argtypes and restype are as the class gives them.
bool own_attributes_unset(PyObject* function, const TypeFacts& facts) {
    if (loaded.errcheck > 0)
        return field(function, loaded.errcheck) == nullptr &&
               field(function, loaded.argtypes) == nullptr &&
               field(function, loaded.restype) == nullptr;
    auto is = [&](const char* name, PyObject* expected) {
        Ref value = Ref::steal(PyObject_GetAttrString(function, name));
        if (!value) PyErr_Clear();
        return value && value.get() == expected;
    };
    return is("errcheck", Py_None) && is("argtypes", facts.argtypes ? facts.argtypes : Py_None) &&
           is("restype", facts.restype ? facts.restype : Py_None);
}

// ---------------------------------------------------------------------------
// Start-up.

bool remember_ctypes(PyObject* ctypes) {
    loaded.module = Ref::borrow(ctypes);
    loaded.dict = PyModule_GetDict(ctypes);
    if (loaded.dict == nullptr) return false;
    for (std::size_t i = 0; i < road_names.size(); ++i) {
        loaded.keys[i] = Ref::steal(PyUnicode_InternFromString(road_names[i]));
        if (!loaded.keys[i]) return false;
        loaded.originals[i] =
            Ref::borrow(PyDict_GetItemWithError(loaded.dict, loaded.keys[i].get()));
        if (!loaded.originals[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ImportError, "ctypes has no %s", road_names[i]);
            return false;
        }
    }
    loaded.checked_version = version_of(loaded.dict);
    loaded.c_int = loaded.originals[0];
    Ref base = Ref::steal(PyObject_GetAttrString(ctypes, "_CFuncPtr"));
    if (!base) return false;
    if (!PyType_Check(base.get())) {
        PyErr_SetString(PyExc_ImportError, "ctypes._CFuncPtr is not a type");
        return false;
    }
    loaded.function_type = reinterpret_cast<PyTypeObject*>(base.get());
    loaded.function_call = loaded.function_type->tp_call;
    return true;
}

// The words of `object` from after its header to the end of its type's layout.
struct Words {
    PyObject* object;
    Py_ssize_t end;

    // The one place holding `value`, or 0 when it is nowhere or in several places.
    Py_ssize_t only(PyObject* value) const {
        Py_ssize_t found = 0;
        for (Py_ssize_t at = sizeof(PyObject); at + Py_ssize_t{sizeof(void*)} <= end;
             at += sizeof(void*))
            if (field(object, at) == value) {
                if (found != 0) return 0;
                found = at;
            }
        return found;
    }
};

// A function pointer keeps its storage behind a pointer right after the object
// header, and what is set as errcheck, argtypes and restype in fields of its own.
// Both are confirmed here on function pointers of known address and attributes;
// what does not hold is read through the buffer interface and the attributes.
bool locate_fields(PyObject* ctypes) {
    Ref prototype = Ref::steal(PyObject_CallMethod(ctypes, "CFUNCTYPE", "O", Py_None));
    Ref address = Ref::steal(PyLong_FromVoidPtr(reinterpret_cast<void*>(&locate_fields)));
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
    if (field(plain.get(), after_header) == storage &&
        stored == reinterpret_cast<void*>(&locate_fields))
        loaded.storage = after_header;

    // Fresh objects, found nowhere else in the function pointer.
    Ref errcheck = Ref::steal(PyObject_CallOneArg(prototype.get(), address.get()));
    Ref argtypes = Ref::steal(PyTuple_Pack(1, loaded.c_int.get()));
    if (!errcheck || !argtypes) return false;
    if (PyObject_SetAttrString(probed.get(), "errcheck", errcheck.get()) < 0 ||
        PyObject_SetAttrString(probed.get(), "argtypes", argtypes.get()) < 0 ||
        PyObject_SetAttrString(probed.get(), "restype", loaded.c_int.get()) < 0)
        return false;
    const Words words{probed.get(), Py_TYPE(probed.get())->tp_basicsize};
    Py_ssize_t at[] = {words.only(errcheck.get()), words.only(argtypes.get()),
                       words.only(loaded.c_int.get())};
    bool found = at[0] > 0 && at[1] > 0 && at[2] > 0;
    for (Py_ssize_t offset : at) found = found && field(plain.get(), offset) == nullptr;
    if (PyObject_DelAttrString(probed.get(), "errcheck") < 0 ||
        PyObject_DelAttrString(probed.get(), "argtypes") < 0 ||
        PyObject_DelAttrString(probed.get(), "restype") < 0)
        return false;
    for (Py_ssize_t offset : at) found = found && field(probed.get(), offset) == nullptr;
    if (found) {
        loaded.errcheck = at[0];
        loaded.argtypes = at[1];
        loaded.restype = at[2];
    }
    return true;
}

}  // namespace

bool ctypes_as_loaded(PyObject* ctypes) {
    if (ctypes != loaded.module.get()) return false;
    std::uint64_t version = version_of(loaded.dict);
    if (version == loaded.checked_version) return true;
    // Changed since (a submodule bound, a name patched and restored): the road's
    // names are compared one by one; no Python code runs for interned string keys.
    for (std::size_t i = 0; i < road_names.size(); ++i)
        if (PyDict_GetItemWithError(loaded.dict, loaded.keys[i].get()) !=
            loaded.originals[i].get()) {
            PyErr_Clear();
            return false;
        }
    loaded.checked_version = version;
    return true;
}

bool init_native(PyObject* ctypes) {
    loaded = CtypesAsLoaded{};
    type_facts = TypeFacts{};
    return remember_ctypes(ctypes) && locate_fields(ctypes);
}

Callee callee_of(PyObject* ctypes, PyObject* function) {
    const TypeFacts& facts = facts_of(Py_TYPE(function));
    if (!facts.function_pointer) return Callee::python;
    return facts.serves && ctypes_as_loaded(ctypes) && own_attributes_unset(function, facts)
               ? Callee::native
               : Callee::foreign;
}

void* routine_address(PyObject* function) {
    void* address = nullptr;
    if (loaded.storage > 0) {
        auto* storage = reinterpret_cast<char*>(field(function, loaded.storage));
        if (storage != nullptr) std::memcpy(&address, storage, sizeof(address));
    } else {
        Py_buffer view;
        if (PyObject_GetBuffer(function, &view, PyBUF_SIMPLE) < 0) return nullptr;
        if (view.len >= static_cast<Py_ssize_t>(sizeof(void*)))
            std::memcpy(&address, view.buf, sizeof(void*));
        PyBuffer_Release(&view);
    }
    if (address == nullptr) PyErr_SetString(PyExc_ValueError, "NULL function pointer");
    return address;
}

}  // namespace raw
