// Attribute reads: what is decided once per class version.
#include "attributes.hpp"

namespace raw::road {

EngineClassFacts engine_facts;
EngineReads engine_reads;

using pycore::internals::type_lookup;

const EngineClassFacts& learn_facts(PyTypeObject* type) {
    EngineClassFacts facts;
    if (type->tp_getattro == PyObject_GenericGetAttr) {
        facts.plain = type_lookup(type, names.use_eqpy) == nullptr &&
                      type_lookup(type, names.lib) == nullptr &&
                      type_lookup(type, names.error_listeners) == nullptr;
        facts.own_check_error = type_lookup(type, names.check_error) == context.own_check_error;
        facts.plain_last_error = type->tp_setattro == PyObject_GenericSetAttr &&
                                 type_lookup(type, names.last_error) == nullptr;
    }
    facts.seen.see(type);
    engine_facts = facts;
    return engine_facts;
}

Ref fetch_export(const Routine& routine, PyObject* lib, PyObject* export_name) {
    // A row that holds no text is refused as getattr refuses it.
    if (!PyUnicode_Check(export_name)) return Ref::steal(PyObject_GetAttr(lib, export_name));
    ExportClassFacts& known = routine.export_class;
    PyTypeObject* type = Py_TYPE(lib);
    if (!(known.seen.holds(type) && known.name.get() == export_name)) {
        known.plain = type_lookup(type, names.getattribute) == context.object_getattribute &&
                      type_lookup(type, export_name) == nullptr;
        known.seen.see(type);
        known.name = Ref::borrow(export_name);
    }
    return instance_attribute(lib, export_name, known.seen.holds(type) && known.plain,
                              routine.routine);
}

}  // namespace raw::road
