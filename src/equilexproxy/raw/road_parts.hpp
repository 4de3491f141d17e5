// The parts of the road of one routine call, one file each:
//
//   road.cpp          the entry: reads use_eqpy and takes the basic or the library road
//   attributes.*      the reads of attributes and globals every call makes, remembered
//   library_road.cpp  fetching the routine from lib; the native call through its address
//   ctypes_road.cpp   the call through ctypes holders, for any other callable
//   holders.cpp       the holders, buffers and arrays made from the arguments
//   call_memory.hpp   the memory they live in, and the calls of each arity
//   conversions.*     arguments into holders, outputs back into Python values
//   recording.cpp     the error number: last_error and the listeners
//   outputs.cpp       the outputs read back and shaped into the method's result
//   basic_road.cpp    the call of equilex.basic
//   native.*          when a function pointer may be called through its address
#pragma once

#include <functional>

#include "attributes.hpp"
#include "call_memory.hpp"

namespace raw::road {

// holders.cpp: every holder, buffer and array of a call, in the routine's order of
// making them, with the words the routine receives. False with an exception set;
// nothing is called then.
bool make_holders(const Routine& routine, PyObject* const* args, CallMemory& memory, Slot* slots,
                  CallWords& call_words, KeptTexts& kept);
// The holder, buffer or array of argument `i` alone (an input text: its bytes).
bool make_slot(const Routine& routine, std::size_t i, PyObject* const* args, CallMemory& memory,
               Slot& slot, KeptTexts& kept);

// Stores the two items of a pair parameter into a ctypes array, as `array[0] = vals[0]`
// (then [1]) or `array[0], array[1] = vals` would: the array converts each item.
bool store_pair(PyObject* value, PairItems items, PyObject* array);

// The slot of the error number: always the last argument.
inline int error_index(const Routine& routine) {
    return static_cast<int>(routine.args.size()) - 1;
}

// recording.cpp: hands the number to the engine's _check_error as found at this call
// (`holder`: the call's own ctypes holder, if it made one).
bool record(PyObject* self, const Routine& routine, std::int32_t number, PyObject* holder);
// Sets last_error for a number above 0, then tells every listener, in order.
bool notify(EngineView& engine, PyObject* code, bool positive);

// outputs.cpp: the method's result from the outputs of the call (a new reference).
PyObject* build_result(const Routine& routine, const Slot* slots);

// library_road.cpp
PyObject* library_road(const Routine& routine, PyObject* const* args, EngineView& engine);

// ctypes_road.cpp: the call through ctypes holders; `foreign` for a function pointer.
// Without a function, `fetch` gives it once the holders are made (fetch_after_holders).
PyObject* call_with_ctypes(const Routine& routine, PyObject* const* args, PyObject* function,
                           bool foreign, const std::function<Ref()>* fetch = nullptr);
// Module raw's ctypes as bound now, for an identity test (borrowed; null when unbound,
// with an exception only if the look-up itself failed).
PyObject* ctypes_now();
// ctypes.<name>(argument), module raw's ctypes looked up now; null with an exception.
Ref ctypes_call(const char* name, Ref argument);

// basic_road.cpp
PyObject* basic_road(const Routine& routine, PyObject* const* args);

}  // namespace raw::road
