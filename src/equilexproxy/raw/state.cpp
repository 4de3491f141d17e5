// The engine's unit properties and the whole system's results of the last
// calculation: each read or assignment is one routine call, nothing is kept.
#include "convenience.hpp"

namespace raw {
namespace {

using pycore::Param;
using pycore::Ref;

// unitX: tqgsu(quantity).
PyObject* unit_get(pycore::Function* fn, PyObject* const* args) {
    return call(args[0], words.tqgsu, {words.*row(fn).text}).release();
}

// unitX = value: tqcsu(quantity, value), its result dropped.
PyObject* unit_set(pycore::Function* fn, PyObject* const* args) {
    if (!call(args[0], words.tqcsu, {words.*row(fn).text, args[1]})) return nullptr;
    return pycore::none();
}

// tqgetr(option, 0, 0): the entire system.
PyObject* result_get(pycore::Function* fn, PyObject* const* args) {
    return call(args[0], words.tqgetr, {words.*row(fn).text, words.zero, words.zero}).release();
}

constexpr Param self_only[] = {{"self"}};

constexpr Member members[] = {
    {.name = "unitT",
     .shape = Shape::writable_property,
     .body = unit_get,
     .params = self_only,
     .text = &Words::temperature,
     .setter = unit_set},
    {.name = "unitP",
     .shape = Shape::writable_property,
     .body = unit_get,
     .params = self_only,
     .text = &Words::pressure,
     .setter = unit_set},
    {.name = "unitV",
     .shape = Shape::writable_property,
     .body = unit_get,
     .params = self_only,
     .text = &Words::volume,
     .setter = unit_set},
    {.name = "unitE",
     .shape = Shape::writable_property,
     .body = unit_get,
     .params = self_only,
     .text = &Words::energy,
     .setter = unit_set},
    {.name = "unitA",
     .shape = Shape::writable_property,
     .body = unit_get,
     .params = self_only,
     .text = &Words::amount,
     .setter = unit_set},
    {.name = "pressure_total",
     .shape = Shape::property,
     .body = result_get,
     .params = self_only,
     .text = &Words::p},
    {.name = "volume_total",
     .shape = Shape::property,
     .body = result_get,
     .params = self_only,
     .text = &Words::vt},
    {.name = "temperature",
     .shape = Shape::property,
     .body = result_get,
     .params = self_only,
     .text = &Words::t},
    {.name = "equilibrium_amount",
     .shape = Shape::property,
     .body = result_get,
     .params = self_only,
     .text = &Words::a},
    {.name = "heat_capacity",
     .shape = Shape::property,
     .body = result_get,
     .params = self_only,
     .text = &Words::cp},
    {.name = "enthalpy",
     .shape = Shape::property,
     .body = result_get,
     .params = self_only,
     .text = &Words::h},
    {.name = "entropy",
     .shape = Shape::property,
     .body = result_get,
     .params = self_only,
     .text = &Words::s},
};

}  // namespace

std::span<const Member> state_members() {
    return members;
}

}  // namespace raw
