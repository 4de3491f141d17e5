// The one mechanism that turns the convenience tables into members of the class,
// and what their bodies share.
#include "convenience.hpp"

#include <string>

#include "context.hpp"

namespace raw {

Words words;

namespace {

using pycore::Kind;
using pycore::Ref;

bool make_words() {
    if (words.by_activity != nullptr) return true;
    struct Text {
        PyObject** slot;
        const char* text;
    };
    const Text texts[] = {
        {&words.tqsetc, "tqsetc"},
        {&words.tqremc, "tqremc"},
        {&words.tqgetr, "tqgetr"},
        {&words.tqgsu, "tqgsu"},
        {&words.tqcsu, "tqcsu"},
        {&words.tqinsc, "tqinsc"},
        {&words.tqinp, "tqinp"},
        {&words.tqinpc, "tqinpc"},
        {&words.tqnosc, "tqnosc"},
        {&words.tqnop, "tqnop"},
        {&words.tqmodl, "tqmodl"},
        {&words.tqcsp, "tqcsp"},
        {&words.tqce, "tqce"},
        {&words.tqcel, "tqcel"},
        {&words.tqcen, "tqcen"},
        {&words.tqcenl, "tqcenl"},
        {&words.tqmap, "tqmap"},
        {&words.tqmapl, "tqmapl"},
        {&words.last_error, "last_error"},
        {&words.get_phase, "get_phase"},
        {&words.number_components, "number_components"},
        {&words.number_phases, "number_phases"},
        {&words.phases, "phases"},
        {&words.get_constituent, "get_constituent"},
        {&words.status, "status"},
        {&words.model_name, "model_name"},
        {&words.activity, "activity"},
        {&words.eq_amount, "eq_amount"},
        {&words.entities, "entities"},
        {&words.system_component, "SystemComponent"},
        {&words.phase, "Phase"},
        {&words.t, "T"},
        {&words.p, "P"},
        {&words.v, "V"},
        {&words.vt, "VT"},
        {&words.cp, "CP"},
        {&words.h, "H"},
        {&words.s, "S"},
        {&words.g, "G"},
        {&words.a, "A"},
        {&words.ia, "IA"},
        {&words.blank, " "},
        {&words.tf, "TF"},
        {&words.tn, "TN"},
        {&words.pure, "PURE"},
        {&words.temperature, "Temperature"},
        {&words.pressure, "Pressure"},
        {&words.volume, "Volume"},
        {&words.energy, "Energy"},
        {&words.amount, "Amount"},
        {&words.empty, ""},
    };
    for (const Text& text : texts)
        if (*text.slot == nullptr &&
            (*text.slot = PyUnicode_InternFromString(text.text)) == nullptr)
            return false;
    struct Integer {
        PyObject** slot;
        long value;
    };
    const Integer integers[] = {
        {&words.zero, 0}, {&words.one, 1}, {&words.two, 2}, {&words.minus_one, -1}};
    for (const Integer& integer : integers)
        if (*integer.slot == nullptr && (*integer.slot = PyLong_FromLong(integer.value)) == nullptr)
            return false;
    if (words.no_activity == nullptr && (words.no_activity = PyFloat_FromDouble(0.0)) == nullptr)
        return false;
    if (words.stable == nullptr && (words.stable = PyFloat_FromDouble(0.9999)) == nullptr)
        return false;
    if (words.index_engine == nullptr &&
        (words.index_engine = Py_BuildValue("(ss)", "index", "engine")) == nullptr)
        return false;
    Ref operator_module = Ref::steal(PyImport_ImportModule("operator"));
    Ref attrgetter = operator_module
                         ? Ref::steal(PyObject_GetAttrString(operator_module.get(), "attrgetter"))
                         : Ref();
    if (!attrgetter) return false;
    if (words.by_eq_amount == nullptr &&
        (words.by_eq_amount = PyObject_CallOneArg(attrgetter.get(), words.eq_amount)) == nullptr)
        return false;
    words.by_activity = PyObject_CallOneArg(attrgetter.get(), words.activity);
    return words.by_activity != nullptr;
}

// The annotations a member shows: "float" for the parameters converted to a float
// on entry, "int" for those that must be exactly an int.
Ref annotations_of(const Member& member) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return dict;
    for (const pycore::Param& param : member.params) {
        const char* text = param.kind == Kind::real   ? "float"
                           : param.kind == Kind::int_ ? "int"
                                                      : nullptr;
        if (text == nullptr) continue;
        Ref value = Ref::steal(PyUnicode_FromString(text));
        if (!value || PyDict_SetItemString(dict.get(), param.name, value.get()) < 0) return Ref();
    }
    return dict;
}

}  // namespace

const Member* convenience_member(std::string_view name) {
    for (auto table : {state_members(), condition_members(), lookup_members(),
                       calculation_members(), collection_members()})
        for (const Member& member : table)
            if (name == member.name) return &member;
    return nullptr;
}

bool add_convenience_member(pycore::ClassBuilder& builder, const Member& member) {
    if (!make_words()) return builder.add(member.name, Ref());
    Ref defaults = member.defaults ? member.defaults() : Ref::borrow(Py_None);
    Ref annotations = defaults ? annotations_of(member) : Ref();
    if (!annotations) return builder.add(member.name, Ref());
    pycore::FunctionDef definition{member.name,
                                   nullptr,
                                   member.doc,
                                   {member.params},
                                   member.body,
                                   &member,
                                   member.defaults ? defaults.get() : nullptr,
                                   annotations.get()};
    switch (member.shape) {
        case Shape::method:
            return builder.method(definition);
        case Shape::property:
            return builder.property(definition);
        case Shape::writable_property: {
            static constexpr pycore::Param setter_params[] = {{"self"}, {"value"}};
            pycore::FunctionDef setter{member.name,     nullptr,       nullptr,
                                       {setter_params}, member.setter, &member};
            return builder.property(definition, &setter);
        }
    }
    return false;
}

Ref call(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args) {
    PyObject* stack[6] = {obj};
    std::size_t n = 1;
    for (PyObject* arg : args) stack[n++] = arg;
    return Ref::steal(PyObject_VectorcallMethod(name, stack, n, nullptr));
}

Ref make_entity(PyObject* class_name, PyObject* index, PyObject* engine, bool keywords) {
    Ref module = global(words.entities);
    if (!module) return Ref();
    Ref cls = Ref::steal(PyObject_GetAttr(module.get(), class_name));
    if (!cls) return cls;
    PyObject* args[] = {index, engine};
    return Ref::steal(PyObject_Vectorcall(cls.get(), args, keywords ? 0 : 2,
                                          keywords ? words.index_engine : nullptr));
}

bool range_length(PyObject* count, Py_ssize_t& length) {
    Ref index = Ref::steal(PyNumber_Index(count));
    if (!index) return false;
    length = PyLong_AsSsize_t(index.get());
    if (length == -1 && PyErr_Occurred()) return false;
    if (length < 0) length = 0;
    return true;
}

Ref plain_text(PyObject* value) {
    return Ref::steal(PyObject_Format(value, words.empty));
}

int instance_of(PyObject* obj, PyTypeObject* type) {
    return PyObject_IsInstance(obj, reinterpret_cast<PyObject*>(type));
}

int compare(PyObject* a, PyObject* b, int op) {
    if (a == nullptr || b == nullptr) return -1;
    return PyObject_RichCompareBool(a, b, op);
}

PyObject* raise_with(PyObject* type, const char* message, std::initializer_list<PyObject*> values) {
    Ref parts = Ref::steal(PyList_New(0));
    if (!parts) return nullptr;
    auto value = values.begin();
    std::string_view rest = message;
    while (true) {
        auto at = rest.find("{}");
        Ref piece = Ref::steal(PyUnicode_FromStringAndSize(
            rest.data(), static_cast<Py_ssize_t>(at == std::string_view::npos ? rest.size() : at)));
        if (!piece || PyList_Append(parts.get(), piece.get()) < 0) return nullptr;
        if (at == std::string_view::npos || value == values.end()) break;
        Ref shown = plain_text(*value++);
        if (!shown || PyList_Append(parts.get(), shown.get()) < 0) return nullptr;
        rest.remove_prefix(at + 2);
    }
    Ref text = Ref::steal(PyUnicode_Join(words.empty, parts.get()));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

}  // namespace raw
