// The road of one routine call, for every routine method: the engine's use_eqpy,
// read at every call, chooses the basic road through equilex.basic or the library
// road through the loaded library (road_parts.hpp lists the parts, one file each).
#include "road.hpp"

#include "road_parts.hpp"

namespace raw {

using pycore::Ref;

PyObject* routine_body(pycore::Function* fn, PyObject* const* args) {
    const auto& routine = *static_cast<const Routine*>(fn->data);
    road::EngineView engine(args[0]);
    Ref flag = engine.read(names.use_eqpy, road::engine_reads.use_eqpy);
    if (!flag) return nullptr;
    int basic = road::truth(flag.get(), engine);
    if (basic < 0) return nullptr;
    return basic ? road::basic_road(routine, args) : road::library_road(routine, args, engine);
}

bool record_error(PyObject* self, PyObject* holder) {
    Ref value = Ref::steal(PyObject_GetAttr(holder, names.value));
    if (!value) return false;
    int positive = PyObject_RichCompareBool(value.get(), names.zero, Py_GT);
    if (positive < 0) return false;
    road::EngineView engine(self);
    return road::notify(engine, value.get(), positive != 0);
}

}  // namespace raw
