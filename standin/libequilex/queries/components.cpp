// System components: count, names, look-up by name, stoichiometry and renaming.
#include <algorithm>

#include "equilex.h"
#include "queries/lookup.hpp"

using namespace eqx;
using namespace eqx::queries;

namespace {

Component* component_at(std::int32_t* error, System& system, const std::int32_t* number) {
    const std::int32_t index = value_of(number);
    if (!in_range(index, system.components.size())) {
        fail(error, err::component_index);
        return nullptr;
    }
    return &system.components[static_cast<std::size_t>(index - 1)];
}

bool has_control_character(std::string_view name) {
    return std::any_of(name.begin(), name.end(), [](char ch) {
        const auto byte = static_cast<unsigned char>(ch);
        return byte < 32 || byte == 127;
    });
}

}  // namespace

extern "C" {

EQX_API void TQNOSC(std::int32_t* count, std::int32_t* error) {
    const eqx::LibraryLock lock;
    with_system(error, [&](System& system) {
        put(count, static_cast<std::int32_t>(system.components.size()));
        ok(error);
    });
}

EQX_API void TQGNSC(const std::int32_t* index, char* name, std::int32_t name_len,
                    std::int32_t* error) {
    const eqx::LibraryLock lock;
    with_system(error, [&](System& system) {
        const Component* component = component_at(error, system, index);
        if (!component) return;
        text_out(name, name_len, component->name);
        ok(error);
    });
}

EQX_API void TQINSC(const char* name, std::int32_t name_len, std::int32_t* index,
                    std::int32_t* error) {
    const eqx::LibraryLock lock;
    with_system(error, [&](System& system) {
        const int found = find_name(
            error, text_in(name, name_len), static_cast<int>(system.components.size()),
            [&](int i) -> std::string_view { return system.components[i].name; },
            err::component_not_found);
        if (found < 0) return;
        put(index, found + 1);
        ok(error);
    });
}

// A component expressed in the components is the unit vector of its own index.
EQX_API void TQSTSC(const std::int32_t* index, double* stoichiometry, double* molar_mass,
                    std::int32_t* error) {
    const eqx::LibraryLock lock;
    with_system(error, [&](System& system) {
        const Component* component = component_at(error, system, index);
        if (!component) return;
        if (stoichiometry) {
            for (std::size_t k = 0; k < system.components.size(); ++k)
                stoichiometry[k] = &system.components[k] == component ? 1.0 : 0.0;
        }
        put(molar_mass, component->molar_mass);
        ok(error);
    });
}

// The new name must keep every component findable by name and the system writable as a
// data-file that reads back: it is refused (nothing renamed) when, trailing blanks removed, it
// is longer than 24 characters (301), empty or holds control characters, NULs or bytes above
// 127 (201: names are ASCII, as the callers read them), or equals the name of another component
// regardless of letter case (302: the look-ups ignore case, so the name would no longer be
// unique). Leading blanks are part of the name. Renaming a component to its own name, in any
// case, is allowed.
EQX_API void TQCNSC(const std::int32_t* index, const char* name, std::int32_t name_len,
                    std::int32_t* error) {
    const eqx::LibraryLock lock;
    with_system(error, [&](System& system) {
        Component* component = component_at(error, system, index);
        if (!component) return;
        const std::string_view new_name = trim_right(text_in(name, name_len));
        if (new_name.size() > max_name_length) return fail(error, eqx::err::name_too_long);
        if (new_name.empty() || has_control_character(new_name) || !eqx::is_ascii(new_name))
            return fail(error, eqx::err::bad_option, "not a usable component name");
        for (const Component& other : system.components) {
            if (&other != component && same_text(other.name, new_name))
                return fail(error, eqx::err::ambiguous_name,
                            "another system component has the name " + other.name);
        }
        component->name.assign(new_name);
        ok(error);
    });
}

}  // extern "C"
