// The outputs of a library call read back and shaped into the method's result.
#include <algorithm>
#include <cstring>

#include "conversions.hpp"
#include "road_parts.hpp"

namespace raw::road {

namespace {

PyObject* output_value(const Arg& arg, const Slot& slot) {
    switch (arg.kind) {
        case ArgKind::int_out:
            return PyLong_FromLong(*static_cast<std::int32_t*>(slot.at));
        case ArgKind::double_out:
            return PyFloat_FromDouble(*static_cast<double*>(slot.at));
        case ArgKind::text_out:
            return read_text(static_cast<const char*>(slot.at), slot.count);
        default:
            PyErr_SetString(PyExc_SystemError, "not a single output");
            return nullptr;
    }
}

bool same_bytes(const char* a, const char* b, std::size_t length) {
    if (length == sizeof(std::uint32_t) || length == sizeof(std::uint64_t)) {
        std::uint64_t x = 0;
        std::uint64_t y = 0;
        std::memcpy(&x, a, length);
        std::memcpy(&y, b, length);
        return x == y;
    }
    return std::memcmp(a, b, length) == 0;
}

// The only output of a routine. The same answer as last time (the same bytes: an int,
// a double's bits, a text up to its first NUL) gives the same immutable object again,
// so a value read in a loop costs no new object.
PyObject* only_output(const Routine& routine, const Arg& arg, const Slot& slot) {
    std::size_t length = arg.kind == ArgKind::int_out      ? sizeof(std::int32_t)
                         : arg.kind == ArgKind::double_out ? sizeof(double)
                                                           : slot.count;
    const char* at = static_cast<const char*>(slot.at);
    if (arg.kind == ArgKind::text_out)
        if (const void* nul = std::memchr(at, 0, length))
            length = static_cast<std::size_t>(static_cast<const char*>(nul) - at);
    LastValue& last = routine.last_value;
    if (last.value && length == last.bytes.size() && same_bytes(at, last.bytes.data(), length))
        return Ref(last.value).release();
    PyObject* value = output_value(arg, slot);
    if (value != nullptr && length <= last_value_bytes) {
        last.bytes.assign(at, length);
        last.value = Ref::borrow(value);
    }
    return value;
}

bool is_output(ArgKind kind) {
    return kind == ArgKind::int_out || kind == ArgKind::double_out || kind == ArgKind::text_out;
}

PyObject* double_tuple(const double* values, Py_ssize_t count) {
    Ref tuple = Ref::steal(PyTuple_New(count));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (item == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), i, item);
    }
    return tuple.release();
}

struct Outputs {
    const Routine& routine;
    const Slot* slots;

    // The index of the n-th argument of `kind` (n from 0), or -1.
    int find(ArgKind kind, int n = 0) const {
        for (std::size_t i = 0; i < routine.args.size(); ++i)
            if (routine.args[i].kind == kind && n-- == 0) return static_cast<int>(i);
        return -1;
    }
    std::int32_t int_at(int index) const { return *static_cast<std::int32_t*>(slots[index].at); }
};

// Expression counts beyond this are no library's: refused before allocating.
constexpr std::int32_t max_plausible_expressions = 1 << 20;

}  // namespace

PyObject* build_result(const Routine& routine, const Slot* slots) {
    Outputs out{routine, slots};
    switch (routine.result) {
        case Result::none:
            return pycore::none();
        case Result::value: {
            for (std::size_t i = 0; i < routine.args.size(); ++i)
                if (is_output(routine.args[i].kind))
                    return only_output(routine, routine.args[i], slots[i]);
            return pycore::none();
        }
        case Result::outputs: {
            Py_ssize_t count = 0;
            for (const Arg& arg : routine.args) count += is_output(arg.kind) ? 1 : 0;
            Ref tuple = Ref::steal(PyTuple_New(count));
            if (!tuple) return nullptr;
            Py_ssize_t at = 0;
            for (std::size_t i = 0; i < routine.args.size(); ++i) {
                if (!is_output(routine.args[i].kind)) continue;
                PyObject* item = output_value(routine.args[i], slots[i]);
                if (item == nullptr) return nullptr;
                PyTuple_SET_ITEM(tuple.get(), at++, item);
            }
            return tuple.release();
        }
        case Result::truth:
            return PyBool_FromLong(out.int_at(out.find(ArgKind::int_out)) != 0);
        case Result::mass_first: {
            int array = out.find(ArgKind::doubles);
            Ref mass = Ref::steal(
                PyFloat_FromDouble(*static_cast<double*>(slots[out.find(ArgKind::double_out)].at)));
            Ref coeffs = Ref::steal(double_tuple(static_cast<double*>(slots[array].at),
                                                 static_cast<Py_ssize_t>(slots[array].count)));
            if (!mass || !coeffs) return nullptr;
            return PyTuple_Pack(2, mass.get(), coeffs.get());
        }
        case Result::counted: {
            int array = out.find(ArgKind::doubles);
            auto size = static_cast<Py_ssize_t>(slots[array].count);
            Py_ssize_t end = out.int_at(out.find(ArgKind::int_out));
            if (end < 0) end += size;  // a slice end: negative counts from the back
            if (end < 0) end = 0;
            if (end > size) end = size;
            return double_tuple(static_cast<double*>(slots[array].at), end);
        }
        case Result::field_list: {
            int text = out.find(ArgKind::fields);
            const Arg& arg = routine.args[text];
            std::int32_t count = out.int_at(out.find(ArgKind::int_out));
            Ref list = Ref::steal(PyList_New(0));
            if (!list) return nullptr;
            const char* base = static_cast<const char*>(slots[text].at);
            for (std::int32_t k = 0; k < count; ++k) {
                if (k >= arg.rows) {
                    PyErr_SetString(PyExc_IndexError, "invalid index");
                    return nullptr;
                }
                Ref field = Ref::steal(read_text(base + static_cast<std::size_t>(k) * arg.size,
                                                 static_cast<std::size_t>(arg.size)));
                if (!field || PyList_Append(list.get(), field.get()) < 0) return nullptr;
            }
            return list.release();
        }
        case Result::table: {
            int array = out.find(ArgKind::doubles);
            const auto* table = static_cast<const double*>(slots[array].at);
            const auto total = static_cast<std::int64_t>(slots[array].count);
            constexpr std::int64_t rows = 20;
            std::int32_t expressions = out.int_at(out.find(ArgKind::int_out, 0));
            std::int64_t values = out.int_at(out.find(ArgKind::int_out, 1));
            if (expressions > max_plausible_expressions) {
                PyErr_Format(PyExc_MemoryError, "the library reports %d expressions",
                             static_cast<int>(expressions));
                return nullptr;
            }
            Ref list = Ref::steal(PyList_New(expressions > 0 ? expressions : 0));
            if (!list) return nullptr;
            for (std::int32_t k = 0; k < expressions; ++k) {
                Ref row = Ref::steal(PyList_New(0));
                if (!row) return nullptr;
                // The slice k : k + 20*values : 20 of the array.
                std::int64_t stop = std::min<std::int64_t>(k + rows * values, total);
                for (std::int64_t at = k; at < stop; at += rows) {
                    Ref item = Ref::steal(PyFloat_FromDouble(table[at]));
                    if (!item || PyList_Append(row.get(), item.get()) < 0) return nullptr;
                }
                PyList_SET_ITEM(list.get(), k, row.release());
            }
            return list.release();
        }
        case Result::joined: {
            int text = out.find(ArgKind::fields);
            const Arg& arg = routine.args[text];
            Ref joined = Ref::steal(PyUnicode_FromString(""));
            const char* base = static_cast<const char*>(slots[text].at);
            for (std::int32_t k = 0; joined && k < arg.rows; ++k) {
                Ref field = Ref::steal(read_text(base + static_cast<std::size_t>(k) * arg.size,
                                                 static_cast<std::size_t>(arg.size)));
                if (!field) return nullptr;
                joined = Ref::steal(PyUnicode_Concat(joined.get(), field.get()));
            }
            return joined.release();
        }
    }
    return pycore::none();
}

}  // namespace raw::road
