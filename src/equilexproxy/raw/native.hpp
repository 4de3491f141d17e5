// When a routine may be called through its address instead of through ctypes, and
// its address.
#pragma once

#include "ref.hpp"

namespace raw {

// Start-up, with the ctypes module the module was loaded with: remembers it and the
// names the ctypes road uses, and confirms where a ctypes function pointer keeps its
// storage and the attributes set on it.
bool init_native(PyObject* ctypes);

// Whether `ctypes` (module raw's now; null when unbound) is the module raw was loaded
// with, the names the ctypes road takes from it unchanged. Never raises.
bool ctypes_as_loaded(PyObject* ctypes);

// How a routine fetched from `lib` is called.
enum class Callee : unsigned char {
    python,   // not a ctypes function pointer: it gets ctypes holders, arrays of N
    native,   // a function pointer called through its address
    foreign,  // a function pointer called through ctypes, arrays with room
};

// A function pointer is called through its address only where that gives what calling
// it through ctypes would, `ctypes` being module raw's `ctypes` now (null when unbound).
// Never raises.
Callee callee_of(PyObject* ctypes, PyObject* function);

// The address a ctypes function pointer calls; null with ValueError for a null one.
void* routine_address(PyObject* function);

}  // namespace raw
