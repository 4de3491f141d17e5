// Compile-time check that every routine of EQX_ROUTINES is declared with the number of
// arguments the table gives (on 32-bit Windows that number makes the decorated export name).
#include <cstddef>

#include "equilex.h"

namespace {

template <class Function>
struct argument_count;

template <class... Arguments>
struct argument_count<void(Arguments...)> {
    static constexpr std::size_t value = sizeof...(Arguments);
};

#define EQX_CHECK_ARGUMENT_COUNT(name, count)                             \
    static_assert(argument_count<decltype(name)>::value == (count), #name \
                  " is declared with another number of arguments than "   \
                  "EQX_ROUTINES gives");
EQX_ROUTINES(EQX_CHECK_ARGUMENT_COUNT)
#undef EQX_CHECK_ARGUMENT_COUNT

#define EQX_COUNT_ROUTINE(name, count) +1
static_assert(0 EQX_ROUTINES(EQX_COUNT_ROUTINE) == 67, "the library has 67 routines");
#undef EQX_COUNT_ROUTINE

}  // namespace
