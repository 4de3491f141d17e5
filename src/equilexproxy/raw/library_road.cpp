// The library road: the routine fetched from lib through func_aliases at every call,
// then called through its address (a function pointer ctypes would call the same way)
// or through ctypes holders (ctypes_road.cpp).
#include "conversions.hpp"
#include "native.hpp"
#include "road_parts.hpp"

namespace raw::road {
namespace {

DictRead func_aliases_read;

// A ctypes function pointer: called natively through its address.
PyObject* call_native(const Routine& routine, PyObject* const* args, PyObject* function) {
    void* address = routine_address(function);
    if (address == nullptr) return nullptr;
    CallMemory memory;
    Slot slots[max_arguments];
    KeptTexts kept;
    CallWords call_words;
    if (!make_holders(routine, args, memory, slots, call_words, kept)) return nullptr;
    // Other Python threads run meanwhile, as they do during a ctypes call: the call
    // touches only its own memory and the texts it holds, and the library guards its
    // own state. (A function that asks for the Python API never comes here.)
    PyThreadState* thread = PyEval_SaveThread();
    callers[call_words.count](address, call_words.word);
    PyEval_RestoreThread(thread);
    std::int32_t number = *static_cast<std::int32_t*>(slots[error_index(routine)].at);
    if (!record(args[0], routine, number, nullptr)) return nullptr;
    return check_declared(routine, build_result(routine, slots));
}

// lib, then module raw's func_aliases as bound now, its row, and that export of lib.
Ref fetch_routine(const Routine& routine, EngineView& engine) {
    Ref lib = engine.read(names.lib, engine_reads.lib);
    if (!lib) return Ref();
    Ref aliases = remembered_global(names.func_aliases, func_aliases_read);
    if (!aliases) return Ref();
    Ref export_name;
    if (PyDict_CheckExact(aliases.get())) {
        export_name = Ref::borrow(routine.row.get(aliases.get(), routine.name_object));
        if (!export_name) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, routine.name_object);
            return Ref();
        }
    } else {
        export_name = Ref::steal(PyObject_GetItem(aliases.get(), routine.name_object));
        if (!export_name) return Ref();
    }
    return fetch_export(routine, lib.get(), export_name.get());
}

}  // namespace

PyObject* library_road(const Routine& routine, PyObject* const* args, EngineView& engine) {
    if (routine.fetch_after_holders) {
        // Only ctypes holders can tell that they were made first; made through a ctypes
        // other than the one raw was loaded with, they are.
        PyObject* ctypes = ctypes_now();
        if (ctypes == nullptr && PyErr_Occurred()) return nullptr;
        if (!ctypes_as_loaded(ctypes)) {
            const std::function<Ref()> fetch = [&] {
                engine.python_ran();
                return fetch_routine(routine, engine);
            };
            return call_with_ctypes(routine, args, nullptr, false, &fetch);
        }
    }
    Ref function = fetch_routine(routine, engine);
    if (!function) return nullptr;
    // Compared by identity only: nothing runs between the look-up and the test.
    PyObject* ctypes = ctypes_now();
    if (ctypes == nullptr && PyErr_Occurred()) return nullptr;
    switch (callee_of(ctypes, function.get())) {
        case Callee::native:
            return call_native(routine, args, function.get());
        case Callee::foreign:
            return call_with_ctypes(routine, args, function.get(), true);
        case Callee::python:
            break;
    }
    return call_with_ctypes(routine, args, function.get(), false);
}

}  // namespace raw::road
