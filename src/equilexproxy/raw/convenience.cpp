// The one mechanism that turns the convenience tables into members of the class,
// and what their bodies share.
#include "convenience.hpp"

#include <string>

#include "context.hpp"

namespace raw {

ConvenienceValues convenience_values;

namespace {

using pycore::Kind;
using pycore::Ref;

bool make_constants() {
    if (convenience_values.by_activity != nullptr) return true;
    if (convenience_values.no_activity == nullptr &&
        (convenience_values.no_activity = PyFloat_FromDouble(0.0)) == nullptr)
        return false;
    if (convenience_values.stable == nullptr &&
        (convenience_values.stable = PyFloat_FromDouble(0.9999)) == nullptr)
        return false;
    if (convenience_values.index_engine == nullptr &&
        (convenience_values.index_engine = Py_BuildValue("(ss)", "index", "engine")) == nullptr)
        return false;
    Ref operator_module = Ref::steal(PyImport_ImportModule("operator"));
    Ref attrgetter = operator_module
                         ? Ref::steal(PyObject_GetAttrString(operator_module.get(), "attrgetter"))
                         : Ref();
    if (!attrgetter) return false;
    if (convenience_values.by_eq_amount == nullptr &&
        (convenience_values.by_eq_amount =
             pycore::pin(pycore::call(attrgetter.get(), names.eq_amount))) == nullptr)
        return false;
    convenience_values.by_activity = pycore::pin(pycore::call(attrgetter.get(), names.activity));
    return convenience_values.by_activity != nullptr;
}

// The annotations a member shows: "float" for the parameters converted to a float
// on entry, "int" for those that must be exactly an int.
Ref annotations_of(const ConvenienceMember& member) {
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

const ConvenienceMember* convenience_member(std::string_view name) {
    for (auto table : {state_members(), condition_members(), lookup_members(),
                       calculation_members(), collection_members()})
        for (const ConvenienceMember& member : table)
            if (name == member.name) return &member;
    return nullptr;
}

bool add_convenience_member(pycore::ClassBuilder& builder, const ConvenienceMember& member) {
    if (!make_constants()) return builder.add(member.name, Ref());
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

Ref make_entity(PyObject* class_name, PyObject* index, PyObject* engine, bool keywords) {
    Ref module = global(names.entities);
    if (!module) return Ref();
    Ref cls = Ref::steal(PyObject_GetAttr(module.get(), class_name));
    if (!cls) return cls;
    PyObject* args[] = {index, engine};
    return Ref::steal(PyObject_Vectorcall(cls.get(), args, keywords ? 0 : 2,
                                          keywords ? convenience_values.index_engine : nullptr));
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
    return Ref::steal(PyObject_Format(value, names.empty));
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
    Ref text = Ref::steal(PyUnicode_Join(names.empty, parts.get()));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

}  // namespace raw
