// The basic road: the function of the method's own name of equilex.basic, bound to
// module raw's `eqb`, called with the arguments its declaration converts, and its
// answer returned as the declaration says.
#include <utility>

#include "conversions.hpp"
#include "road_parts.hpp"

namespace raw::road {

namespace {

// answer[index], as subscription does it for any object.
Ref item(PyObject* answer, long index) {
    Ref key = Ref::steal(PyLong_FromLong(index));
    return key ? Ref::steal(PyObject_GetItem(answer, key.get())) : Ref();
}

// eqb.<name>, eqb looked up afresh for each member it gives.
Ref eqb_attribute(const char* name) {
    Ref module = global(names.eqb);
    return module ? Ref::steal(PyObject_GetAttrString(module.get(), name)) : Ref();
}

// A new list of value[0] and value[1], taken in this order.
Ref first_two(PyObject* value) {
    Ref list = Ref::steal(PyList_New(2));
    for (long k = 0; list && k < 2; ++k) {
        Ref found = item(value, k);
        if (!found) return Ref();
        PyList_SET_ITEM(list.get(), k, found.release());
    }
    return list;
}

// The unit enumeration a Quantity member chooses: compared with ==, each result
// tested for truth, in this order; any other quantity takes its units from EnergyUnit.
Ref unit_enumeration(PyObject* quantity) {
    static constexpr std::pair<const char*, const char*> choices[] = {
        {"Temperature", "TemperatureUnit"},
        {"Pressure", "PressureUnit"},
        {"Volume", "VolumeUnit"},
        {"Amount", "AmountUnit"},
    };
    for (auto [name, units] : choices) {
        Ref quantities = eqb_attribute("Quantity");
        Ref member =
            quantities ? Ref::steal(PyObject_GetAttrString(quantities.get(), name)) : Ref();
        Ref equal =
            member ? Ref::steal(PyObject_RichCompare(quantity, member.get(), Py_EQ)) : Ref();
        int chosen = equal ? PyObject_IsTrue(equal.get()) : -1;
        if (chosen < 0) return Ref();
        if (chosen) return eqb_attribute(units);
    }
    return eqb_attribute("EnergyUnit");
}

}  // namespace

PyObject* basic_road(const Routine& routine, PyObject* const* args) {
    if (routine.basic_result == BasicResult::not_called) return pycore::none();
    if (routine.print_param >= 0) {
        Ref shown = Ref::steal(PyObject_Format(args[routine.print_param], nullptr));
        if (!shown) return nullptr;
        Ref line = Ref::steal(PyUnicode_FromFormat(
            "%s = %U", routine.param_names[routine.print_param].c_str(), shown.get()));
        if (!line) return nullptr;
        Ref print = global_or_builtin(names.print);
        if (!print) return nullptr;
        Ref printed = Ref::steal(PyObject_CallOneArg(print.get(), line.get()));
        if (!printed) return nullptr;
    }
    auto fetch = [&routine] {
        Ref eqb = global(names.eqb);
        return eqb ? Ref::steal(PyObject_GetAttr(eqb.get(), routine.name_object)) : Ref();
    };
    Ref function;
    if (!routine.basic_fetch_last && !(function = fetch())) return nullptr;

    pycore::RefArray<max_arguments> arguments;
    for (const BasicArg& arg : routine.basic_args) {
        PyObject* value = args[arg.param];
        Ref made;
        switch (arg.conv) {
            case BasicConv::same:
                made = Ref::borrow(value);
                break;
            case BasicConv::minus_one:
                made = Ref::steal(PyNumber_Subtract(value, names.one));
                break;
            case BasicConv::member: {
                Ref enumeration = eqb_attribute(arg.enumeration.c_str());
                if (!enumeration) return nullptr;
                if (!arg.fallback.empty() && PyUnicode_Check(value) &&
                    PyUnicode_CompareWithASCIIString(value, " ") == 0)
                    made =
                        Ref::steal(PyObject_GetAttrString(enumeration.get(), arg.fallback.c_str()));
                else
                    made = Ref::steal(PyObject_GetItem(enumeration.get(), value));
                break;
            }
            case BasicConv::items:
                made = first_two(value);
                break;
            case BasicConv::unit: {
                Ref enumeration = unit_enumeration(arguments[arguments.size() - 1]);
                if (!enumeration) return nullptr;
                made = Ref::steal(PyObject_GetItem(enumeration.get(), value));
                break;
            }
        }
        if (!arguments.push(std::move(made))) return nullptr;
    }
    if (routine.basic_fetch_last && !(function = fetch())) return nullptr;
    Ref answer = arguments.call(function.get());
    if (!answer) return nullptr;

    PyObject* result = nullptr;
    switch (routine.basic_result) {
        case BasicResult::same:
            result = answer.release();
            break;
        case BasicResult::plus_one:
            result = PyNumber_Add(answer.get(), names.one);
            break;
        case BasicResult::member_name:
            result = PyObject_GetAttr(answer.get(), names.name);
            break;
        case BasicResult::second_item:
            result = item(answer.get(), 1).release();
            break;
        case BasicResult::swapped_pair: {
            Ref second = item(answer.get(), 1);
            Ref first = second ? item(answer.get(), 0) : Ref();
            result = first ? PyTuple_Pack(2, second.get(), first.get()) : nullptr;
            break;
        }
        case BasicResult::discard:
        case BasicResult::not_called:
            result = pycore::none();
            break;
    }
    return check_declared(routine, result);
}

}  // namespace raw::road
