// When a routine may be called through its address instead of through ctypes, and
// its address.
#pragma once

#include "ref.hpp"

namespace raw {

// Start-up, with the ctypes module the module was loaded with: remembers it and the
// names the ctypes road uses, and confirms where a ctypes function pointer keeps its
// storage and the attributes set on it.
bool init_native(PyObject* ctypes);

// Whether calling `function` (a ctypes function pointer) through its address gives
// what calling it through ctypes would, `ctypes` being module raw's `ctypes` now (null
// when unbound). Never raises.
bool native_serves(PyObject* ctypes, PyObject* function);

// The address a ctypes function pointer calls; null with ValueError for a null one.
void* routine_address(PyObject* function);

}  // namespace raw
