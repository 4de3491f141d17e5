#include "equilibrium/access.hpp"

#include <algorithm>

namespace eqx::equilibrium {

int phase_index(std::int32_t* error, const System& system, std::int32_t number) {
    if (number < 1 || number > static_cast<std::int32_t>(system.phases.size())) {
        fail(error, err::phase_index);
        return -1;
    }
    return number - 1;
}

int constituent_index(std::int32_t* error, const System& system, int phase, std::int32_t number) {
    if (number < 1 ||
        number > static_cast<std::int32_t>(system.phases[phase].constituents.size())) {
        fail(error, err::constituent_index);
        return -1;
    }
    return number - 1;
}

int component_index(std::int32_t* error, const System& system, std::int32_t number) {
    if (number < 1 || number > static_cast<std::int32_t>(system.components.size())) {
        fail(error, err::component_index);
        return -1;
    }
    return number - 1;
}

bool is_option(std::string_view text, std::string_view option) {
    std::size_t end = text.size();
    while (end > 0 && (text[end - 1] == ' ' || text[end - 1] == '\0')) --end;
    text = text.substr(0, end);
    return text.size() == option.size() &&
           std::equal(text.begin(), text.end(), option.begin(),
                      [](char a, char b) { return ascii_lower(a) == ascii_lower(b); });
}

double component_molar_mass(const System& system, int component) {
    return system.components[component].molar_mass * 1e-3;
}

double constituent_molar_mass_kg(const System& system, int phase, int constituent) {
    return constituent_molar_mass(system, system.phases[phase].constituents[constituent]) * 1e-3;
}

}  // namespace eqx::equilibrium
