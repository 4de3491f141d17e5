// The holders of one library call, made from the method's arguments.
#include <algorithm>
#include <cstring>
#include <limits>

#include "conversions.hpp"
#include "road_parts.hpp"

namespace raw::road {

namespace {

bool need_more(Py_ssize_t count) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", count,
                 count == 1 ? "" : "s");
    return false;
}

bool too_many() {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    return false;
}

// `first, second = value`: a tuple or list judged by its length, anything else
// iterated for two items and a probe for a third.
bool unpack_two(PyObject* value, Ref& first, Ref& second) {
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
        Py_ssize_t count = PySequence_Fast_GET_SIZE(value);
        if (count > 2) return too_many();
        if (count < 2) return need_more(count);
        first = Ref::borrow(PySequence_Fast_GET_ITEM(value, 0));
        second = Ref::borrow(PySequence_Fast_GET_ITEM(value, 1));
        return true;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(value));
    if (!iterator) return false;
    first = Ref::steal(PyIter_Next(iterator.get()));
    if (!first) return !PyErr_Occurred() && need_more(0);
    second = Ref::steal(PyIter_Next(iterator.get()));
    if (!second) return !PyErr_Occurred() && need_more(1);
    Ref third = Ref::steal(PyIter_Next(iterator.get()));
    if (third) return too_many();
    return !PyErr_Occurred();
}

// The two items of a pair parameter, each handed to `store(k, item)` (false with an
// exception when it refuses the item): vals[0] stored before vals[1] is looked at, or
// both unpacked before either is stored.
template <typename Store>
bool take_pair(PyObject* value, PairItems items, Store store) {
    if (items == PairItems::subscripts) {
        for (long k = 0; k < 2; ++k) {
            Ref key = Ref::steal(PyLong_FromLong(k));
            Ref item = key ? Ref::steal(PyObject_GetItem(value, key.get())) : Ref();
            if (!item || !store(k, item.get())) return false;
        }
        return true;
    }
    Ref first, second;
    return unpack_two(value, first, second) && store(0, first.get()) && store(1, second.get());
}

// The two doubles of a pair parameter.
bool pair_values(PyObject* value, PairItems items, double* out) {
    return take_pair(value, items,
                     [out](long k, PyObject* item) { return to_double(item, out[k]); });
}

// Field k holds the ASCII bytes of names[k] from its first byte and blanks after them,
// as storing field[0:len(name)] and then blanks from len(name) on into ctypes' c_char
// arrays does; fields without a name stay zero.
bool fill_names(PyObject* names, const Arg& arg, char* fields) {
    Py_ssize_t count = PyObject_Length(names);
    if (count < 0) return false;
    const auto size = static_cast<Py_ssize_t>(arg.size);
    for (Py_ssize_t k = 0; k < count; ++k) {
        Ref key = Ref::steal(PyLong_FromSsize_t(k));
        Ref name = key ? Ref::steal(PyObject_GetItem(names, key.get())) : Ref();
        Ref bytes = name ? ascii_bytes(name.get()) : Ref();
        if (!bytes) return false;
        if (k >= arg.rows) {
            PyErr_SetString(PyExc_IndexError, "invalid index");
            return false;
        }
        Py_ssize_t length = PyUnicode_CheckExact(name.get()) ? PyUnicode_GET_LENGTH(name.get())
                                                             : PyObject_Length(name.get());
        if (length < 0) return false;
        Py_ssize_t stored = std::min(length, size);
        if (PyBytes_GET_SIZE(bytes.get()) != stored) {
            PyErr_SetString(PyExc_ValueError, "Can only assign sequence of same size");
            return false;
        }
        char* field = fields + k * size;
        std::memcpy(field, PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(stored));
        for (Py_ssize_t at = length; at < size; ++at) field[at] = ' ';
    }
    return true;
}

}  // namespace

bool store_pair(PyObject* value, PairItems items, PyObject* array) {
    return take_pair(value, items, [array](long k, PyObject* item) {
        return PySequence_SetItem(array, k, item) == 0;
    });
}

bool make_slot(const Routine& routine, std::size_t i, PyObject* const* args, CallMemory& memory,
               Slot& slot, KeptTexts& kept) {
    const Arg& arg = routine.args[i];
    std::int32_t size = arg.size;
    switch (arg.kind) {
        case ArgKind::int_in:
        case ArgKind::int_out:
        case ArgKind::error: {
            std::int32_t value = arg.kind == ArgKind::int_out ? arg.start : 0;
            if (arg.kind == ArgKind::int_in && !to_int32(args[arg.param], value)) return false;
            std::int32_t* at = memory.holder(value);
            if (at == nullptr) return PyErr_NoMemory(), false;
            *at = value;
            slot.at = at;
            slot.count = 1;
            return true;
        }
        case ArgKind::double_in:
        case ArgKind::double_out: {
            double value = 0.0;
            if (arg.kind == ArgKind::double_in && !to_double(args[arg.param], value)) return false;
            double* at = memory.holder(value);
            if (at == nullptr) return PyErr_NoMemory(), false;
            *at = value;
            slot.at = at;
            slot.count = 1;
            return true;
        }
        case ArgKind::text_in: {
            PyObject* text = args[arg.param];
            if (PyUnicode_CheckExact(text) && pycore::internals::ascii_in_place(text) != nullptr &&
                PyUnicode_GET_LENGTH(text) <= std::numeric_limits<std::int32_t>::max()) {
                // An ASCII str holds its bytes, NUL-terminated, itself; the caller keeps it
                // alive for the call.
                slot.at = text;
                slot.count = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
                return true;
            }
            PyObject* bytes = kept.keep(ascii_bytes(text));
            if (bytes == nullptr) return false;
            // len(text), never more than the bytes there are.
            Py_ssize_t length = PyBytes_GET_SIZE(bytes);
            if (!PyUnicode_CheckExact(text)) {
                Py_ssize_t claimed = PyObject_Length(text);
                if (claimed < 0) return false;
                length = std::min(length, claimed);
            }
            slot.at = bytes;
            slot.count = static_cast<std::size_t>(length);
            return true;
        }
        case ArgKind::text_out:
        case ArgKind::fields: {
            if (arg.created) {
                Ref length = buffer_length_object();
                if (!length || !string_buffer_size(length.get(), size)) return false;
            } else if (size == size_from_buffer_length && !buffer_length(size)) {
                return false;
            }
            std::size_t rows = arg.kind == ArgKind::fields ? static_cast<std::size_t>(arg.rows) : 1;
            slot.count = rows * static_cast<std::size_t>(size);
            slot.at = memory.zeroed(slot.count);
            if (slot.at == nullptr) return PyErr_NoMemory(), false;
            return true;
        }
        case ArgKind::doubles:
        case ArgKind::ints: {
            slot.room = static_cast<std::size_t>(size);
            if (size == size_from_components) {
                if (!component_count(args[0], size)) return false;
                slot.room = static_cast<std::size_t>(std::max(size, component_room));
            }
            std::size_t element =
                arg.kind == ArgKind::doubles ? sizeof(double) : sizeof(std::int32_t);
            slot.count = static_cast<std::size_t>(size);
            slot.at = memory.zeroed(slot.room * element);
            if (slot.at == nullptr) return PyErr_NoMemory(), false;
            return true;
        }
        case ArgKind::pair: {
            auto* values = static_cast<double*>(memory.zeroed(2 * sizeof(double)));
            if (values == nullptr) return PyErr_NoMemory(), false;
            if (!pair_values(args[arg.param], arg.items, values)) return false;
            slot.at = values;
            slot.count = 2;
            return true;
        }
        case ArgKind::names:
            slot.count = static_cast<std::size_t>(arg.rows) * static_cast<std::size_t>(size);
            slot.at = memory.zeroed(slot.count);
            if (slot.at == nullptr) return PyErr_NoMemory(), false;
            return fill_names(args[arg.param], arg, static_cast<char*>(slot.at));
    }
    return true;
}

bool make_holders(const Routine& routine, PyObject* const* args, CallMemory& memory, Slot* slots,
                  CallWords& call_words, KeptTexts& kept) {
    for (int i : routine.order)
        if (!make_slot(routine, static_cast<std::size_t>(i), args, memory, slots[i], kept))
            return false;
    // The words the routine receives, in argument order.
    for (std::size_t i = 0; i < routine.args.size(); ++i) {
        const Arg& arg = routine.args[i];
        const Slot& slot = slots[i];
        switch (arg.kind) {
            case ArgKind::text_in:
                call_words.pointer(text_bytes(static_cast<PyObject*>(slot.at)));
                call_words.length(static_cast<std::int32_t>(slot.count));
                break;
            case ArgKind::text_out:
                call_words.pointer(slot.at);
                call_words.length(static_cast<std::int32_t>(slot.count));
                break;
            case ArgKind::fields:
                call_words.pointer(slot.at);
                call_words.length(arg.whole_length ? static_cast<std::int32_t>(slot.count)
                                                   : arg.size);
                break;
            case ArgKind::names:
                call_words.pointer(slot.at);
                call_words.length(arg.size);
                break;
            default:
                call_words.pointer(slot.at);
                break;
        }
    }
    return true;
}

}  // namespace raw::road
