#include "names.hpp"

namespace pycore {

Names names;

bool make_names() {
    if (names.minus_one != nullptr) return true;
#define PYCORE_INTERN(member, text)                                                              \
    if (names.member == nullptr && (names.member = PyUnicode_InternFromString(text)) == nullptr) \
        return false;
    PYCORE_NAMES(PYCORE_INTERN)
#undef PYCORE_INTERN
    struct Number {
        PyObject** slot;
        long value;
    };
    const Number numbers[] = {
        {&names.zero, 0}, {&names.one, 1}, {&names.two, 2}, {&names.minus_one, -1}};
    for (const Number& number : numbers)
        if (*number.slot == nullptr && (*number.slot = PyLong_FromLong(number.value)) == nullptr)
            return false;
    return true;
}

}  // namespace pycore
