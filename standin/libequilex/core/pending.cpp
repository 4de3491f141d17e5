// Routines whose work is not built yet. Each answers as a routine of its kind does while it has
// nothing to work on: 101 before TQINI, 104 while no data-file is read, and 203 once a system is
// loaded. A routine moves out of this file when it is built.
#include "core/library.hpp"
#include "equilex.h"

namespace {
void not_yet(std::int32_t* error) {
    if (!error || !eqx::need_system(error)) return;
    eqx::fail(error, eqx::err::option_not_implemented);
}
}  // namespace

// clang-format off
extern "C" {
EQX_API void TQCSC(const char*, std::int32_t, std::int32_t* error) { const eqx::LibraryLock lock; not_yet(error); }
EQX_API void TQCHAR(const std::int32_t*, const std::int32_t*, std::int32_t*, std::int32_t* error) { const eqx::LibraryLock lock; not_yet(error); }
EQX_API void TQBOND(const std::int32_t*, const std::int32_t*, const std::int32_t*, const std::int32_t*, const std::int32_t*, double*, std::int32_t* error) { const eqx::LibraryLock lock; not_yet(error); }
EQX_API void TQSTTP(const char*, std::int32_t, const double*, std::int32_t* error) { const eqx::LibraryLock lock; not_yet(error); }
EQX_API void TQSTRM(const char*, std::int32_t, std::int32_t* error) { const eqx::LibraryLock lock; not_yet(error); }
EQX_API void TQSTCA(const char*, std::int32_t, const std::int32_t*, const std::int32_t*, const double*, std::int32_t* error) { const eqx::LibraryLock lock; not_yet(error); }
EQX_API void TQSTEC(const char*, std::int32_t, const std::int32_t*, const double*, std::int32_t* error) { const eqx::LibraryLock lock; not_yet(error); }
EQX_API void TQSTXP(const char*, std::int32_t, const char*, std::int32_t, double*, std::int32_t* error) { const eqx::LibraryLock lock; not_yet(error); }
}  // extern "C"
// clang-format on
