// The engine's unit properties and the whole system's results of the last
// calculation: each read or assignment is one routine call, nothing is kept.
#include "convenience.hpp"

namespace raw {
namespace {

using pycore::Param;
using pycore::Ref;

// unitX: tqgsu(quantity).
PyObject* unit_get(pycore::Function* fn, PyObject* const* args) {
    return call_method(args[0], names.tqgsu, names.*row(fn).text).release();
}

// unitX = value: tqcsu(quantity, value), its result dropped.
PyObject* unit_set(pycore::Function* fn, PyObject* const* args) {
    if (!call_method(args[0], names.tqcsu, names.*row(fn).text, args[1])) return nullptr;
    return pycore::none();
}

// tqgetr(option, 0, 0): the entire system.
PyObject* result_get(pycore::Function* fn, PyObject* const* args) {
    return call_method(args[0], names.tqgetr, names.*row(fn).text, names.zero, names.zero)
        .release();
}

constexpr Param self_only[] = {{"self"}};

constexpr ConvenienceMember members[] = {
    {.name = "unitT",
     .shape = Shape::writable_property,
     .body = unit_get,
     .params = self_only,
     .text = &Names::temperature,
     .setter = unit_set},
    {.name = "unitP",
     .shape = Shape::writable_property,
     .body = unit_get,
     .params = self_only,
     .text = &Names::pressure,
     .setter = unit_set},
    {.name = "unitV",
     .shape = Shape::writable_property,
     .body = unit_get,
     .params = self_only,
     .text = &Names::volume,
     .setter = unit_set},
    {.name = "unitE",
     .shape = Shape::writable_property,
     .body = unit_get,
     .params = self_only,
     .text = &Names::energy,
     .setter = unit_set},
    {.name = "unitA",
     .shape = Shape::writable_property,
     .body = unit_get,
     .params = self_only,
     .text = &Names::amount,
     .setter = unit_set},
    {.name = "pressure_total",
     .shape = Shape::property,
     .body = result_get,
     .params = self_only,
     .text = &Names::p},
    {.name = "volume_total",
     .shape = Shape::property,
     .body = result_get,
     .params = self_only,
     .text = &Names::vt},
    {.name = "temperature",
     .shape = Shape::property,
     .body = result_get,
     .params = self_only,
     .text = &Names::t},
    {.name = "equilibrium_amount",
     .shape = Shape::property,
     .body = result_get,
     .params = self_only,
     .text = &Names::a},
    {.name = "heat_capacity",
     .shape = Shape::property,
     .body = result_get,
     .params = self_only,
     .text = &Names::cp},
    {.name = "enthalpy",
     .shape = Shape::property,
     .body = result_get,
     .params = self_only,
     .text = &Names::h},
    {.name = "entropy",
     .shape = Shape::property,
     .body = result_get,
     .params = self_only,
     .text = &Names::s},
};

}  // namespace

std::span<const ConvenienceMember> state_members() {
    return members;
}

}  // namespace raw
