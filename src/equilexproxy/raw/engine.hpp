// EquilexProxy's members that are not routine methods.
#pragma once

#include <string_view>

#include "classes.hpp"

namespace raw {

// Adds the member `name` (a method or property of the engine itself) to the class.
bool add_engine_member(pycore::ClassBuilder& builder, std::string_view name);

}  // namespace raw
