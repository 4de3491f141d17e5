// The ctypes road: the routine is called with the ctypes objects ctypes itself would
// be given, made through module raw's `ctypes` as bound at each holder; what they hold
// afterwards is copied back into the call's own memory.
#include <algorithm>
#include <cstring>

#include "conversions.hpp"
#include "road_parts.hpp"

namespace raw::road {
namespace {

DictRead ctypes_read;

// A member of module raw's `ctypes` as bound now: looked up for every holder, so a
// rebinding in the middle of a call reaches the next holder.
Ref ctypes_member(const char* name) {
    Ref module = remembered_global(names.ctypes, ctypes_read);
    return module ? Ref::steal(PyObject_GetAttrString(module.get(), name)) : Ref();
}

Ref ctypes_call(const char* name, PyObject* argument) {
    Ref member = ctypes_member(name);
    return member ? Ref::steal(PyObject_CallOneArg(member.get(), argument)) : Ref();
}

}  // namespace

PyObject* ctypes_now() {
    return ctypes_read.get(context.globals, names.ctypes);
}

Ref ctypes_call(const char* name, Ref argument) {
    return argument ? ctypes_call(name, argument.get()) : Ref();
}

namespace {

// (`type` * n) * rows, instantiated: a zero-filled ctypes array (rows 0: type * n).
Ref ctypes_array(Ref type, std::size_t n, std::size_t rows = 0) {
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

Ref called(const Ref& function, PyObject* argument) {
    return function && argument ? Ref::steal(PyObject_CallOneArg(function.get(), argument)) : Ref();
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
// rest while the call is put together in argument order. Each is made as its Python
// expression evaluates: the names of ctypes it uses are looked up, outermost first
// (byref before c_int, c_void_p before addressof), before the argument that fills it
// is read, and the holder converts the argument itself. A foreign routine (a function
// pointer) gets arrays with room for whatever it may write; a Python callable exactly
// the elements asked for.
PyObject* call_with_ctypes(const Routine& routine, PyObject* const* args, PyObject* function,
                           bool foreign, const std::function<Ref()>* fetch) {
    CallMemory memory;
    Slot slots[max_arguments] = {};
    KeptTexts kept;
    Ref holders[max_arguments];
    Ref lengths[max_arguments];  // string_buffer: the length as it stood
    Ref found;

    // Argument i's slot, and its ctypes object where it has one of its own.
    auto make = [&](std::size_t i) {
        const Arg& arg = routine.args[i];
        Slot& slot = slots[i];
        switch (arg.kind) {
            case ArgKind::int_in:
            case ArgKind::double_in:
                // ctypes.c_int(x): the holder alone converts x; nothing of it is kept here.
                holders[i] = ctypes_call(arg.kind == ArgKind::int_in ? "c_int" : "c_double",
                                         args[arg.param]);
                break;
            case ArgKind::int_out:
            case ArgKind::error: {
                Ref type = ctypes_member("c_int");
                if (!type || !make_slot(routine, i, args, memory, slot, kept)) return false;
                holders[i] = called(
                    type, Ref::steal(PyLong_FromLong(*static_cast<std::int32_t*>(slot.at))).get());
                break;
            }
            case ArgKind::double_out: {
                Ref type = ctypes_member("c_double");
                if (!type || !make_slot(routine, i, args, memory, slot, kept)) return false;
                holders[i] = called(type, Ref::steal(PyFloat_FromDouble(0.0)).get());
                break;
            }
            case ArgKind::text_in:
                return make_slot(routine, i, args, memory, slot, kept);  // c_char_p with the call
            case ArgKind::text_out:
            case ArgKind::fields: {
                Ref make_buffer = ctypes_member("create_string_buffer");
                if (!make_buffer) return false;
                if (arg.created) {
                    // The global as it stands, read after the function it goes to.
                    std::int32_t size = 0;
                    lengths[i] = buffer_length_object();
                    if (!lengths[i] || !string_buffer_size(lengths[i].get(), size)) return false;
                    slot.count = static_cast<std::size_t>(size);
                    slot.at = memory.zeroed(slot.count);
                    if (slot.at == nullptr) return PyErr_NoMemory(), false;
                    holders[i] = called(make_buffer, lengths[i].get());
                    break;
                }
                if (!make_slot(routine, i, args, memory, slot, kept)) return false;
                holders[i] = called(make_buffer, length_of(slot.count).get());
                break;
            }
            case ArgKind::doubles:
            case ArgKind::ints: {
                Ref type = ctypes_member(arg.kind == ArgKind::doubles ? "c_double" : "c_int");
                if (!type || !make_slot(routine, i, args, memory, slot, kept)) return false;
                holders[i] = ctypes_array(std::move(type), foreign ? slot.room : slot.count);
                break;
            }
            case ArgKind::pair:
                // (ctypes.c_double * 2)() made before the items of the pair are read.
                holders[i] = ctypes_array(ctypes_member("c_double"), 2);
                return holders[i] && store_pair(args[arg.param], arg.items, holders[i].get());
            case ArgKind::names:
                // ((ctypes.c_char * L) * R)() made before the names are read.
                holders[i] =
                    ctypes_array(ctypes_member("c_char"), static_cast<std::size_t>(arg.size),
                                 static_cast<std::size_t>(arg.rows));
                return holders[i] && make_slot(routine, i, args, memory, slot, kept) &&
                       copy_back(holders[i].get(), slot.at, slot.count, true);
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
    auto ready = [&](std::size_t i) { return made[i] || make(i); };
    // ctypes.c_void_p(ctypes.addressof(holder i)), holder i made after the two look-ups.
    auto address_of = [&](std::size_t i) {
        Ref void_p = ctypes_member("c_void_p");
        Ref addressof = void_p ? ctypes_member("addressof") : Ref();
        if (!addressof || !ready(i)) return Ref();
        return called(void_p, called(addressof, holders[i].get()).get());
    };
    for (std::size_t i = 0; i < routine.args.size(); ++i) {
        const Arg& arg = routine.args[i];
        bool appended = true;
        switch (arg.kind) {
            case ArgKind::int_in:
            case ArgKind::double_in:
            case ArgKind::int_out:
            case ArgKind::error:
            case ArgKind::double_out: {
                Ref byref = ctypes_member("byref");
                appended = byref && ready(i) && append(called(byref, holders[i].get()));
                break;
            }
            case ArgKind::text_in: {
                Ref char_p = ctypes_member("c_char_p");
                if (!char_p || !ready(i)) return nullptr;
                auto* text = static_cast<PyObject*>(slots[i].at);
                Ref bytes = PyUnicode_Check(text) ? Ref::steal(PyUnicode_AsASCIIString(text))
                                                  : Ref::borrow(text);
                appended = append(called(char_p, bytes.get())) && append(length_of(slots[i].count));
                break;
            }
            case ArgKind::text_out:
            case ArgKind::fields:
                appended =
                    append(address_of(i)) &&
                    append(arg.created ? lengths[i]
                                       : length_of(arg.whole_length || arg.kind == ArgKind::text_out
                                                       ? slots[i].count
                                                       : static_cast<std::size_t>(arg.size)));
                break;
            case ArgKind::doubles:
            case ArgKind::ints:
                appended = ready(i) && append(holders[i]);
                break;
            case ArgKind::pair:
                appended = append(arg.by_address ? address_of(i) : ready(i) ? holders[i] : Ref());
                break;
            case ArgKind::names:
                appended = ready(i) && append(holders[i]) &&
                           append(length_of(static_cast<std::size_t>(arg.size)));
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
    Ref error_value = Ref::steal(PyObject_GetAttr(holders[error].get(), names.value));
    if (!error_value || !to_int32(error_value.get(), number)) return nullptr;
    if (!record(args[0], routine, number, holders[error].get())) return nullptr;

    for (std::size_t i = 0; i < routine.args.size(); ++i) {
        const Arg& arg = routine.args[i];
        if (static_cast<int>(i) == error || arg.kind == ArgKind::int_in ||
            arg.kind == ArgKind::double_in || arg.kind == ArgKind::text_in ||
            arg.kind == ArgKind::pair || arg.kind == ArgKind::names)
            continue;
        if (arg.kind == ArgKind::int_out) {
            Ref value = Ref::steal(PyObject_GetAttr(holders[i].get(), names.value));
            if (!value || !to_int32(value.get(), *static_cast<std::int32_t*>(slots[i].at)))
                return nullptr;
        } else if (arg.kind == ArgKind::double_out) {
            Ref value = Ref::steal(PyObject_GetAttr(holders[i].get(), names.value));
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
