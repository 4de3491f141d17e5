// The ctypes road: the routine is called with the ctypes objects ctypes itself would
// be given, made through module raw's `ctypes` as bound at each holder; what they hold
// afterwards is copied back into the call's own memory.
#include <algorithm>
#include <cstring>

#include "conversions.hpp"
#include "road_parts.hpp"

namespace raw::road {
namespace {

RememberedRead ctypes_read;

// A member of module raw's `ctypes` as bound now: looked up for every holder, so a
// rebinding in the middle of a call reaches the next holder.
Ref ctypes_member(const char* name) {
    Ref module = remembered_global(context.ctypes, ctypes_read);
    return module ? Ref::steal(PyObject_GetAttrString(module.get(), name)) : Ref();
}

Ref ctypes_call(const char* name, PyObject* argument) {
    Ref member = ctypes_member(name);
    return member ? Ref::steal(PyObject_CallOneArg(member.get(), argument)) : Ref();
}

}  // namespace

PyObject* ctypes_now() {
    return remembered(ctypes_read, context.globals, context.ctypes);
}

Ref ctypes_call(const char* name, Ref argument) {
    return argument ? ctypes_call(name, argument.get()) : Ref();
}

namespace {

// (`element` * n) * rows, instantiated: a zero-filled ctypes array (rows 0: element * n).
Ref ctypes_array(const char* element, std::size_t n, std::size_t rows = 0) {
    Ref type = ctypes_member(element);
    auto times = [&](std::size_t length) {
        Ref count = Ref::steal(PyLong_FromSize_t(length));
        type = type && count ? Ref::steal(PyNumber_Multiply(type.get(), count.get())) : Ref();
    };
    times(n);
    if (rows > 0) times(rows);
    return type ? Ref::steal(PyObject_CallNoArgs(type.get())) : Ref();
}

Ref length_of(std::size_t n) {
    return Ref::steal(PyLong_FromSize_t(n));
}

// Copies what a ctypes object holds back into the call's own memory (or, `in`, the
// call's memory into the object).
bool copy_back(PyObject* holder, void* at, std::size_t bytes, bool in = false) {
    Py_buffer view;
    if (PyObject_GetBuffer(holder, &view, in ? PyBUF_WRITABLE : PyBUF_SIMPLE) < 0) return false;
    std::size_t length = std::min(bytes, static_cast<std::size_t>(view.len));
    if (in)
        std::memcpy(view.buf, at, length);
    else
        std::memcpy(at, view.buf, length);
    PyBuffer_Release(&view);
    return true;
}

}  // namespace

// The ctypes road: the routine gets the holders ctypes itself would be given: byref()
// of c_int and c_double holders, c_char_p for texts, c_void_p addresses of string
// buffers, arrays. The holders are made in the routine's order of making them, the
// rest while the call is put together in argument order. A foreign routine (a function
// pointer) gets arrays with room for whatever it may write; a Python callable exactly
// the elements asked for.
PyObject* call_with_ctypes(const Routine& routine, PyObject* const* args, PyObject* function,
                           bool foreign, const std::function<Ref()>* fetch) {
    CallMemory memory;
    Slot slots[max_arguments];
    KeptTexts kept;
    Ref holders[max_arguments];
    Ref found;

    // Argument i's slot, and its ctypes object where it has one of its own.
    auto make = [&](std::size_t i) {
        const Arg& arg = routine.args[i];
        Slot& slot = slots[i];
        if (!make_slot(routine, i, args, memory, slot, kept)) return false;
        switch (arg.kind) {
            case ArgKind::int_in:
            case ArgKind::double_in:
                holders[i] = ctypes_call(arg.kind == ArgKind::int_in ? "c_int" : "c_double",
                                         args[arg.param]);
                break;
            case ArgKind::int_out:
            case ArgKind::error:
                holders[i] = ctypes_call(
                    "c_int", Ref::steal(PyLong_FromLong(*static_cast<std::int32_t*>(slot.at))));
                break;
            case ArgKind::double_out:
                holders[i] = ctypes_call("c_double", Ref::steal(PyFloat_FromDouble(0.0)));
                break;
            case ArgKind::text_in:
                return true;  // its c_char_p comes with the call
            case ArgKind::text_out:
            case ArgKind::fields:
                holders[i] = ctypes_call("create_string_buffer", length_of(slot.count));
                break;
            case ArgKind::doubles:
            case ArgKind::ints:
                holders[i] = ctypes_array(arg.kind == ArgKind::doubles ? "c_double" : "c_int",
                                          foreign ? slot.room : slot.count);
                break;
            case ArgKind::pair:
                holders[i] = ctypes_array("c_double", 2);
                return holders[i] && copy_back(holders[i].get(), slot.at, 2 * sizeof(double), true);
            case ArgKind::names:
                holders[i] = ctypes_array("c_char", static_cast<std::size_t>(arg.size),
                                          static_cast<std::size_t>(arg.rows));
                return holders[i] && copy_back(holders[i].get(), slot.at, slot.count, true);
        }
        return static_cast<bool>(holders[i]);
    };
    bool made[max_arguments] = {};
    for (std::size_t k = 0; k < routine.made_before_call; ++k) {
        auto i = static_cast<std::size_t>(routine.order[k]);
        if (!make(i)) return nullptr;
        made[i] = true;
    }
    if (function == nullptr) {
        found = (*fetch)();
        if (!found) return nullptr;
        function = found.get();
    }

    // The call, put together in argument order.
    Ref call_args = Ref::steal(PyList_New(0));
    if (!call_args) return nullptr;
    auto append = [&](Ref item) { return item && PyList_Append(call_args.get(), item.get()) == 0; };
    auto address_of = [&](PyObject* holder) {
        return ctypes_call("c_void_p", ctypes_call("addressof", holder));
    };
    for (std::size_t i = 0; i < routine.args.size(); ++i) {
        const Arg& arg = routine.args[i];
        if (!made[i] && !make(i)) return nullptr;
        PyObject* holder = holders[i].get();
        bool appended = true;
        switch (arg.kind) {
            case ArgKind::int_in:
            case ArgKind::double_in:
            case ArgKind::int_out:
            case ArgKind::error:
            case ArgKind::double_out:
                appended = append(ctypes_call("byref", holder));
                break;
            case ArgKind::text_in: {
                auto* text = static_cast<PyObject*>(slots[i].at);
                Ref bytes = PyUnicode_Check(text) ? Ref::steal(PyUnicode_AsASCIIString(text))
                                                  : Ref::borrow(text);
                appended =
                    append(ctypes_call("c_char_p", bytes)) && append(length_of(slots[i].count));
                break;
            }
            case ArgKind::text_out:
            case ArgKind::fields:
                appended = append(address_of(holder)) &&
                           append(length_of(arg.whole_length || arg.kind == ArgKind::text_out
                                                ? slots[i].count
                                                : static_cast<std::size_t>(arg.size)));
                break;
            case ArgKind::doubles:
            case ArgKind::ints:
                appended = append(holders[i]);
                break;
            case ArgKind::pair:
                appended = append(arg.by_address ? address_of(holder) : holders[i]);
                break;
            case ArgKind::names:
                appended =
                    append(holders[i]) && append(length_of(static_cast<std::size_t>(arg.size)));
                break;
        }
        if (!appended) return nullptr;
    }
    Ref arg_tuple = Ref::steal(PyList_AsTuple(call_args.get()));
    if (!arg_tuple) return nullptr;
    Ref ignored = Ref::steal(PyObject_Call(function, arg_tuple.get(), nullptr));
    if (!ignored) return nullptr;

    // The error number is recorded before any output is read.
    int error = error_index(routine);
    std::int32_t number = 0;
    Ref error_value = Ref::steal(PyObject_GetAttr(holders[error].get(), context.value));
    if (!error_value || !to_int32(error_value.get(), number)) return nullptr;
    if (!record(args[0], routine, number, holders[error].get())) return nullptr;

    for (std::size_t i = 0; i < routine.args.size(); ++i) {
        const Arg& arg = routine.args[i];
        if (static_cast<int>(i) == error || arg.kind == ArgKind::int_in ||
            arg.kind == ArgKind::double_in || arg.kind == ArgKind::text_in ||
            arg.kind == ArgKind::pair || arg.kind == ArgKind::names)
            continue;
        if (arg.kind == ArgKind::int_out) {
            Ref value = Ref::steal(PyObject_GetAttr(holders[i].get(), context.value));
            if (!value || !to_int32(value.get(), *static_cast<std::int32_t*>(slots[i].at)))
                return nullptr;
        } else if (arg.kind == ArgKind::double_out) {
            Ref value = Ref::steal(PyObject_GetAttr(holders[i].get(), context.value));
            if (!value || !to_double(value.get(), *static_cast<double*>(slots[i].at)))
                return nullptr;
        } else {
            std::size_t element = arg.kind == ArgKind::doubles ? sizeof(double)
                                  : arg.kind == ArgKind::ints  ? sizeof(std::int32_t)
                                                               : 1;
            if (!copy_back(holders[i].get(), slots[i].at, slots[i].count * element)) return nullptr;
        }
    }
    return check_declared(routine, build_result(routine, slots));
}

}  // namespace raw::road
