// The memory of one routine call: its holders, buffers and arrays, the encoded texts
// it keeps alive, the words the routine receives, and the calls of each arity.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "internals.hpp"
#include "road.hpp"

namespace raw::road {

using pycore::Ref;

// Memory for one call: holders, buffers and arrays, zero-filled. Small calls
// (the common case) stay inside the object; big tables go to the heap.
class CallMemory {
  public:
    CallMemory() = default;
    CallMemory(const CallMemory&) = delete;
    CallMemory& operator=(const CallMemory&) = delete;
    ~CallMemory() {
        for (int i = 0; i < heap_count_; ++i) std::free(heap_[i]);
    }

    void* zeroed(std::size_t bytes) {
        std::size_t aligned = (used_ + 15) & ~std::size_t{15};
        if (aligned + bytes <= sizeof(inline_)) {
            void* at = inline_ + aligned;
            std::memset(at, 0, bytes);
            used_ = aligned + bytes;
            return at;
        }
        if (heap_count_ == max_arguments) return nullptr;
        void* at = std::calloc(bytes == 0 ? 1 : bytes, 1);
        if (at != nullptr) heap_[heap_count_++] = at;
        return at;
    }

    // A holder of one value, set at once. Never more than the arguments of a call.
    template <typename T>
    T* holder(T value) {
        std::size_t aligned = (used_ + 15) & ~std::size_t{15};
        if (aligned + sizeof(T) > sizeof(inline_)) return static_cast<T*>(zeroed(sizeof(T)));
        used_ = aligned + sizeof(T);
        T* at = reinterpret_cast<T*>(inline_ + aligned);
        *at = value;
        return at;
    }

  private:
    alignas(16) unsigned char inline_[768];
    std::size_t used_ = 0;
    void* heap_[max_arguments];
    int heap_count_ = 0;
};

// Where one argument's holder lives, for reading it back.
// Left unset until make_holders() fills it: a call sets up only what it uses.
struct Slot {
    void* at;
    std::size_t count;  // elements (arrays) or bytes (buffers, fields); a text's length
                        // (an input text's slot is an ASCII str or an encoded bytes object)
    std::size_t room;   // arrays: elements a foreign routine may write (at least count)
};

// Stoichiometry arrays hold room for this many components, whatever tqnosc() answered:
// the count may be stale (a listener or another thread loads another data-file, an
// override answers less), while a library writes one value per component it holds.
// No library holds more: TQCSC names the components in 30 fields, and the stand-in's
// TQSIZE reports 30.
inline constexpr std::int32_t component_room = 30;

// The bytes of an input text's slot: an ASCII str's own, or an encoded bytes object's.
inline const char* text_bytes(PyObject* holder) {
    return PyUnicode_Check(holder) ? pycore::internals::ascii_in_place(holder)
                                   : PyBytes_AS_STRING(holder);
}

// The encoded input texts of one call, alive until the call has returned.
class KeptTexts {
  public:
    // Takes the new reference; null passes through as a failure.
    PyObject* keep(Ref bytes) {
        PyObject* kept = bytes.get();
        return texts_.push(std::move(bytes)) ? kept : nullptr;
    }

  private:
    pycore::RefArray<max_arguments> texts_;
};

// The words handed to the routine: pointers, and the lengths by value.
struct CallWords {
    std::uintptr_t word[2 * max_arguments];
    int count = 0;
    void pointer(const void* at) { word[count++] = reinterpret_cast<std::uintptr_t>(at); }
    void length(std::int32_t n) { word[count++] = static_cast<std::uint32_t>(n); }
};

// Routines take up to 12 words (pointers and 32-bit lengths). Each arity gets a
// call of its exact type, which keeps the callee-cleans convention of 32-bit
// Windows correct; elsewhere there is one convention.
#if defined(_WIN32) && !defined(_WIN64)
#define EQX_ROAD_STDCALL __stdcall
#else
#define EQX_ROAD_STDCALL
#endif

template <std::size_t... I>
void call_exact(void* address, const std::uintptr_t* w, std::index_sequence<I...>) {
    using Routine = void(EQX_ROAD_STDCALL*)(decltype((void)I, std::uintptr_t{})...);
    reinterpret_cast<Routine>(address)(w[I]...);
}

template <std::size_t... N>
constexpr auto make_callers(std::index_sequence<N...>) {
    using Caller = void (*)(void*, const std::uintptr_t*);
    return std::array<Caller, sizeof...(N)>{[](void* address, const std::uintptr_t* w) {
        call_exact(address, w, std::make_index_sequence<N>{});
    }...};
}

inline constexpr auto callers = make_callers(std::make_index_sequence<2 * max_arguments + 1>{});

}  // namespace raw::road
