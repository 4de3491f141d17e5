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
// buffers, arrays. A foreign routine (a function pointer) gets arrays with room for
// whatever it may write; a Python callable exactly the elements asked for.
PyObject* call_with_ctypes(const Routine& routine, PyObject* const* args, PyObject* function,
                           bool foreign) {
    CallMemory memory;
    Slot slots[max_arguments];
    KeptTexts kept;
    Words words;
    if (!make_holders(routine, args, memory, slots, words, kept)) return nullptr;

    Ref holders[max_arguments];
    Ref call_args = Ref::steal(PyList_New(0));
    if (!call_args) return nullptr;
    auto append = [&](Ref item) { return item && PyList_Append(call_args.get(), item.get()) == 0; };
    auto address_of = [&](PyObject* holder) {
        return ctypes_call("c_void_p", ctypes_call("addressof", holder));
    };

    for (std::size_t i = 0; i < routine.args.size(); ++i) {
        const Arg& arg = routine.args[i];
        Slot& slot = slots[i];
        switch (arg.kind) {
            case ArgKind::int_in:
            case ArgKind::double_in:
                holders[i] = ctypes_call(arg.kind == ArgKind::int_in ? "c_int" : "c_double",
                                         args[arg.param]);
                if (!holders[i] || !append(ctypes_call("byref", holders[i].get()))) return nullptr;
                break;
            case ArgKind::int_out:
            case ArgKind::error:
                holders[i] = ctypes_call(
                    "c_int", Ref::steal(PyLong_FromLong(*static_cast<std::int32_t*>(slot.at))));
                if (!holders[i] || !append(ctypes_call("byref", holders[i].get()))) return nullptr;
                break;
            case ArgKind::double_out:
                holders[i] = ctypes_call("c_double", Ref::steal(PyFloat_FromDouble(0.0)));
                if (!holders[i] || !append(ctypes_call("byref", holders[i].get()))) return nullptr;
                break;
            case ArgKind::text_in: {
                auto* text = static_cast<PyObject*>(slot.at);
                Ref bytes = PyUnicode_Check(text) ? Ref::steal(PyUnicode_AsASCIIString(text))
                                                  : Ref::borrow(text);
                if (!append(ctypes_call("c_char_p", bytes)) || !append(length_of(slot.count)))
                    return nullptr;
                break;
            }
            case ArgKind::text_out:
            case ArgKind::fields:
                holders[i] = ctypes_call("create_string_buffer", length_of(slot.count));
                if (!holders[i] || !append(address_of(holders[i].get())) ||
                    !append(length_of(arg.whole_length || arg.kind == ArgKind::text_out
                                          ? slot.count
                                          : static_cast<std::size_t>(arg.size))))
                    return nullptr;
                break;
            case ArgKind::doubles:
            case ArgKind::ints:
                holders[i] = ctypes_array(arg.kind == ArgKind::doubles ? "c_double" : "c_int",
                                          foreign ? slot.room : slot.count);
                if (!holders[i] || !append(holders[i])) return nullptr;
                break;
            case ArgKind::pair:
                holders[i] = ctypes_array("c_double", 2);
                if (!holders[i] ||
                    !copy_back(holders[i].get(), slot.at, 2 * sizeof(double), true) ||
                    !append(arg.by_address ? address_of(holders[i].get()) : holders[i]))
                    return nullptr;
                break;
            case ArgKind::names:
                holders[i] = ctypes_array("c_char", static_cast<std::size_t>(arg.size),
                                          static_cast<std::size_t>(arg.rows));
                if (!holders[i] || !copy_back(holders[i].get(), slot.at, slot.count, true) ||
                    !append(holders[i]) || !append(length_of(static_cast<std::size_t>(arg.size))))
                    return nullptr;
                break;
        }
    }
    Ref arg_tuple = Ref::steal(PyList_AsTuple(call_args.get()));
    if (!arg_tuple) return nullptr;
    Ref ignored = Ref::steal(PyObject_Call(function, arg_tuple.get(), nullptr));
    if (!ignored) return nullptr;

    for (std::size_t i = 0; i < routine.args.size(); ++i) {
        const Arg& arg = routine.args[i];
        if (!holders[i] || arg.kind == ArgKind::int_in || arg.kind == ArgKind::double_in ||
            arg.kind == ArgKind::pair || arg.kind == ArgKind::names)
            continue;
        if (arg.kind == ArgKind::int_out || arg.kind == ArgKind::error) {
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
    std::int32_t number = *static_cast<std::int32_t*>(slots[error_index(routine)].at);
    if (!record(args[0], routine, number, holders[error_index(routine)].get())) return nullptr;
    return check_declared(routine, build_result(routine, slots));
}

}  // namespace raw::road
