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

#include "context.hpp"
#include "internals.hpp"

namespace raw {
namespace {

namespace internals = pycore::internals;
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
    pycore::DictVersion checked;  // a version of `dict` with every original in place
    Ref c_int;
    Ref function_base;                    // ctypes' function pointer base class
    ternaryfunc function_call = nullptr;  // its tp_call
    internals::FunctionPointerLayout layout;
};
// Never destroyed: the interpreter is gone by the time static objects are.
CtypesAsLoaded& loaded = *new CtypesAsLoaded;

struct TypeFacts {
    pycore::TypeVersion seen;
    bool function_pointer = false;
    bool serves = false;
    internals::FunctionPointerClass declared;  // the class's argtypes, restype and flags
};
TypeFacts type_facts;

void learn_function_type(PyTypeObject* type, TypeFacts& facts);

// Decided once per version of the class.
const TypeFacts& facts_of(PyTypeObject* type) {
    if (type_facts.seen.holds(type)) return type_facts;
    TypeFacts facts;
    facts.function_pointer =
        PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(loaded.function_base.get()));
    if (facts.function_pointer) learn_function_type(type, facts);
    facts.seen.see(type);
    type_facts = facts;
    return type_facts;
}

void learn_function_type(PyTypeObject* type, TypeFacts& facts) {
    facts.declared = internals::function_pointer_class(type);
    const PyObject* argtypes = facts.declared.argtypes;
    const PyObject* restype = facts.declared.restype;
    const long flags = facts.declared.flags;
    bool no_argtypes =
        argtypes == nullptr || argtypes == Py_None ||
        (PyTuple_CheckExact(argtypes) && PyTuple_GET_SIZE(argtypes) == 0 &&
         (flags & 1) != 0);  // cdecl takes more arguments than it declares, unconverted
    facts.serves = type->tp_call == loaded.function_call && flags == plain_flags && no_argtypes &&
                   (restype == nullptr || restype == Py_None || restype == loaded.c_int.get());
}

// Whether errcheck, argtypes and restype are as the class gives them.
bool own_attributes_unset(PyObject* function, const TypeFacts& facts) {
    const internals::FunctionPointerLayout& layout = loaded.layout;
    if (layout.errcheck > 0)
        return internals::object_field(function, layout.errcheck) == nullptr &&
               internals::object_field(function, layout.argtypes) == nullptr &&
               internals::object_field(function, layout.restype) == nullptr;
    auto is = [&](const char* name, PyObject* expected) {
        Ref value = Ref::steal(PyObject_GetAttrString(function, name));
        if (!value) PyErr_Clear();
        return value && value.get() == expected;
    };
    PyObject* argtypes = facts.declared.argtypes;
    PyObject* restype = facts.declared.restype;
    return is("errcheck", Py_None) && is("argtypes", argtypes ? argtypes : Py_None) &&
           is("restype", restype ? restype : Py_None);
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
    loaded.checked.see(loaded.dict);
    loaded.c_int = loaded.originals[0];
    loaded.function_base = internals::ctypes_function_base(ctypes);
    if (!loaded.function_base) return false;
    loaded.function_call = reinterpret_cast<PyTypeObject*>(loaded.function_base.get())->tp_call;
    return true;
}

}  // namespace

bool ctypes_as_loaded(PyObject* ctypes) {
    if (ctypes != loaded.module.get()) return false;
    if (loaded.checked.holds(loaded.dict)) return true;
    // Changed since (a submodule bound, a name patched and restored): the road's
    // names are compared one by one; no Python code runs for interned string keys.
    for (std::size_t i = 0; i < road_names.size(); ++i)
        if (PyDict_GetItemWithError(loaded.dict, loaded.keys[i].get()) !=
            loaded.originals[i].get()) {
            PyErr_Clear();
            return false;
        }
    loaded.checked.see(loaded.dict);
    return true;
}

bool init_native(PyObject* ctypes) {
    loaded = CtypesAsLoaded{};
    type_facts = TypeFacts{};
    return remember_ctypes(ctypes) &&
           internals::probe_function_pointer_layout(ctypes, loaded.c_int.get(), loaded.layout);
}

Callee callee_of(PyObject* ctypes, PyObject* function) {
    const TypeFacts& facts = facts_of(Py_TYPE(function));
    if (!facts.function_pointer) return Callee::python;
    return facts.serves && ctypes_as_loaded(ctypes) && own_attributes_unset(function, facts)
               ? Callee::native
               : Callee::foreign;
}

void* routine_address(PyObject* function) {
    return internals::function_pointer_address(function, loaded.layout);
}

}  // namespace raw
