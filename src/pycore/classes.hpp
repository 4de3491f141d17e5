// Classes assembled the way a class statement makes them: the metaclass prepares
// the namespace, members go in in order, the metaclass makes the class.
#pragma once

#include <initializer_list>

#include "function.hpp"

namespace pycore {

class ClassBuilder {
  public:
    // `bases` is a tuple (borrowed); `doc` may be null (no __doc__ entry).
    ClassBuilder(const char* name, PyObject* module_name, PyObject* bases,
                 const char* doc = nullptr);

    bool ok() const { return static_cast<bool>(namespace_); }
    PyObject* ns() const { return namespace_.get(); }
    PyObject* module_name() const { return module_name_; }
    const char* name() const { return name_; }

    // Each adder returns false with an exception set; later adders then do nothing.
    bool add(const char* member, Ref value);
    bool method(const FunctionDef& definition);
    bool property(const FunctionDef& getter, const FunctionDef* setter = nullptr);

    // The finished class, or null with an exception set.
    Ref make();

  private:
    Ref function(const FunctionDef& definition);

    const char* name_;
    PyObject* module_name_;
    Ref bases_;
    Ref metaclass_;
    Ref namespace_;
};

}  // namespace pycore
