#include "classes.hpp"

#include <string>

namespace pycore {

ClassBuilder::ClassBuilder(const char* name, PyObject* module_name, PyObject* bases,
                           const char* doc)
    : name_(name), module_name_(module_name), bases_(Ref::borrow(bases)) {
    // The metaclass of a class with bases is the type of its first base; the
    // system's classes never mix metaclasses.
    metaclass_ = Ref::borrow(PyTuple_GET_SIZE(bases) > 0
                                 ? reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(bases, 0)))
                                 : reinterpret_cast<PyObject*>(&PyType_Type));
    Ref prepared =
        Ref::steal(PyObject_CallMethod(metaclass_.get(), "__prepare__", "sO", name, bases));
    if (!prepared) return;
    Ref qualname = Ref::steal(PyUnicode_FromString(name));
    namespace_ = std::move(prepared);
    if (!add("__module__", Ref::borrow(module_name)) || !add("__qualname__", std::move(qualname))) {
        namespace_ = Ref();
        return;
    }
    if (doc != nullptr && !add("__doc__", Ref::steal(PyUnicode_FromString(doc))))
        namespace_ = Ref();
}

bool ClassBuilder::add(const char* member, Ref value) {
    if (!namespace_) return false;
    if (!value) {
        namespace_ = Ref();
        return false;
    }
    Ref key = Ref::steal(PyUnicode_InternFromString(member));
    if (key && PyObject_SetItem(namespace_.get(), key.get(), value.get()) == 0) return true;
    namespace_ = Ref();  // make() then reports the failure
    return false;
}

Ref ClassBuilder::function(const FunctionDef& definition) {
    std::string qualname = std::string(name_) + "." + definition.name;
    FunctionDef qualified = definition;
    qualified.qualname = qualname.c_str();
    return make_function(qualified, module_name_);
}

bool ClassBuilder::method(const FunctionDef& definition) {
    if (!namespace_) return false;
    return add(definition.name, function(definition));
}

bool ClassBuilder::property(const FunctionDef& getter, const FunctionDef* setter) {
    if (!namespace_) return false;
    Ref fget = function(getter);
    if (!fget) return add(getter.name, Ref());
    Ref prop =
        Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), fget.get()));
    if (prop && setter != nullptr) {
        Ref fset = function(*setter);
        if (!fset) return add(getter.name, Ref());
        prop = Ref::steal(PyObject_CallMethod(prop.get(), "setter", "O", fset.get()));
    }
    return add(getter.name, std::move(prop));
}

Ref ClassBuilder::make() {
    if (!namespace_) return Ref();
    Ref name = Ref::steal(PyUnicode_FromString(name_));
    if (!name) return Ref();
    return Ref::steal(PyObject_CallFunctionObjArgs(metaclass_.get(), name.get(), bases_.get(),
                                                   namespace_.get(), nullptr));
}

}  // namespace pycore
