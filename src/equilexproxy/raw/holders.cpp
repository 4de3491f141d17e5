// The holders of one library call, made from the method's arguments.
#include <algorithm>

#include "conversions.hpp"
#include "road_parts.hpp"

namespace raw::road {

bool make_holders(const Routine& routine, PyObject* const* args, CallMemory& memory, Slot* slots,
                  Words& words, KeptTexts& kept) {
    PyObject* self = args[0];
    const std::size_t count = routine.args.size();
    for (std::size_t i = 0; i < count; ++i) {
        const Arg& arg = routine.args[i];
        Slot& slot = slots[i];
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
                words.pointer(slot.at);
                break;
            }
            case ArgKind::double_in:
            case ArgKind::double_out: {
                double value = 0.0;
                if (arg.kind == ArgKind::double_in && !to_double(args[arg.param], value))
                    return false;
                double* at = memory.holder(value);
                if (at == nullptr) return PyErr_NoMemory(), false;
                *at = value;
                slot.at = at;
                slot.count = 1;
                words.pointer(slot.at);
                break;
            }
            case ArgKind::text_in: {
                PyObject* text = args[arg.param];
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
                words.pointer(PyBytes_AS_STRING(bytes));
                words.length(static_cast<std::int32_t>(length));
                break;
            }
            case ArgKind::text_out:
            case ArgKind::fields: {
                if (size == size_from_buffer_length && !buffer_length(size)) return false;
                std::size_t rows =
                    arg.kind == ArgKind::fields ? static_cast<std::size_t>(arg.rows) : 1;
                slot.count = rows * static_cast<std::size_t>(size);
                slot.at = memory.zeroed(slot.count);
                if (slot.at == nullptr) return PyErr_NoMemory(), false;
                words.pointer(slot.at);
                words.length(arg.whole_length ? static_cast<std::int32_t>(slot.count) : size);
                break;
            }
            case ArgKind::doubles:
            case ArgKind::ints: {
                slot.room = static_cast<std::size_t>(size);
                if (size == size_from_components) {
                    if (!component_count(self, size)) return false;
                    slot.room = static_cast<std::size_t>(std::max(size, component_room));
                }
                std::size_t element =
                    arg.kind == ArgKind::doubles ? sizeof(double) : sizeof(std::int32_t);
                slot.count = static_cast<std::size_t>(size);
                slot.at = memory.zeroed(slot.room * element);
                if (slot.at == nullptr) return PyErr_NoMemory(), false;
                words.pointer(slot.at);
                break;
            }
        }
    }
    return true;
}

}  // namespace raw::road
