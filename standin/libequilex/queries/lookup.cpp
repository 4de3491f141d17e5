#include "queries/lookup.hpp"

namespace eqx::queries {

Phase* phase_at(std::int32_t* error, System& system, const std::int32_t* number) {
    const std::int32_t index = value_of(number);
    if (!in_range(index, system.phases.size())) {
        fail(error, err::phase_index);
        return nullptr;
    }
    return &system.phases[static_cast<std::size_t>(index - 1)];
}

Constituent* constituent_at(std::int32_t* error, Phase& phase, const std::int32_t* number) {
    const std::int32_t index = value_of(number);
    if (!in_range(index, phase.constituents.size())) {
        fail(error, err::constituent_index);
        return nullptr;
    }
    return &phase.constituents[static_cast<std::size_t>(index - 1)];
}

int sublattice_at(std::int32_t* error, const Phase& phase, const std::int32_t* number) {
    const std::int32_t index = value_of(number);
    if (!in_range(index, static_cast<std::size_t>(phase.sublattice_count()))) {
        fail(error, err::sublattice_index);
        return -1;
    }
    return index - 1;
}

}  // namespace eqx::queries
