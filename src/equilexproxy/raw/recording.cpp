// Recording a library call's error number: last_error and the error listeners.
#include "internals.hpp"
#include "road_parts.hpp"

namespace raw::road {

bool notify(EngineView& engine, PyObject* code, bool positive) {
    if (positive && !engine.set_last_error(code)) return false;
    Ref listeners = engine.read(names.error_listeners, engine_reads.error_listeners);
    if (!listeners) return false;
    if (PyList_CheckExact(listeners.get())) {
        // Index by index, re-reading the size, as iterating a list does: a
        // listener may change the list.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(listeners.get()); ++i) {
            Ref listener = Ref::borrow(PyList_GET_ITEM(listeners.get(), i));
            Ref ignored = Ref::steal(PyObject_CallOneArg(listener.get(), code));
            if (!ignored) return false;
        }
        return true;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(listeners.get()));
    if (!iterator) return false;
    while (Ref listener = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref ignored = Ref::steal(PyObject_CallOneArg(listener.get(), code));
        if (!ignored) return false;
    }
    return !PyErr_Occurred();
}

namespace {

bool record_natively(EngineView& engine, std::int32_t number) {
    if (number == 0) return notify(engine, names.zero, false);
    Ref code = Ref::steal(PyLong_FromLong(number));
    return code && notify(engine, code.get(), number > 0);
}

}  // namespace

// The class's own _check_error is done natively; anything else gets a ctypes c_int.
bool record(PyObject* self, const Routine& routine, std::int32_t number, PyObject* holder) {
    EngineView engine(self);
    int own = engine.has_own_check_error();
    if (own < 0) return false;
    if (own) return record_natively(engine, number);
    Ref method;
    int unbound = pycore::internals::method_lookup(self, names.check_error, method);
    if (!method) return false;
    Ref made;
    if (holder == nullptr) {
        made = ctypes_call("c_int", Ref::steal(PyLong_FromLong(number)));
        if (!made) return false;
        holder = made.get();
    }
    Ref result;
    if (unbound) {
        PyObject* args[] = {self, holder, routine.name_object};
        result = Ref::steal(PyObject_Vectorcall(method.get(), args, 3, nullptr));
    } else {
        PyObject* args[] = {holder, routine.name_object};
        result = Ref::steal(PyObject_Vectorcall(method.get(), args, 2, nullptr));
    }
    return static_cast<bool>(result);
}

}  // namespace raw::road
