// The one road every routine method takes.
#pragma once

#include "routine.hpp"

namespace raw {

// Arguments of one routine, counted as the routine's argument list writes them.
inline constexpr int max_arguments = 12;

// Body of every routine method: `fn->data` is its Routine.
PyObject* routine_body(pycore::Function* fn, PyObject* const* args);

// What EquilexProxy._check_error does with a holder whose `value` is the number.
bool record_error(PyObject* self, PyObject* holder);

}  // namespace raw
