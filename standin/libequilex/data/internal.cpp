#include "internal.hpp"

#include <algorithm>

namespace eqx::datafile {

void expand_demixing_copies(System& system, const std::vector<int>& copies) {
    std::vector<Phase> phases;
    phases.reserve(system.phases.size());
    for (std::size_t p = 0; p < system.phases.size(); ++p) {
        Phase& phase = system.phases[p];
        if (p < copies.size() && copies[p] == 2) {
            Phase second = phase;
            phase.name += "#1";
            phase.demixing_copy = 1;
            second.name += "#2";
            second.demixing_copy = 2;
            phases.push_back(std::move(phase));
            phases.push_back(std::move(second));
        } else {
            phases.push_back(std::move(phase));
        }
    }
    system.phases = std::move(phases);
}

std::string default_kind(const ExcessParameter& parameter) {
    std::size_t largest = 0;
    int interacting_groups = 0;
    for (const auto& group : parameter.groups) {
        largest = std::max(largest, group.size());
        if (group.size() > 1) ++interacting_groups;
    }
    if (interacting_groups > 1) return "R";
    return std::to_string(largest);
}

void pad_expressions(ExcessParameter& parameter, std::size_t min_values) {
    std::size_t length = min_values;
    for (const auto& expression : parameter.expressions)
        length = std::max(length, expression.size());
    if (length > max_expression_values) return;  // refused by check_system; no huge padding
    for (auto& expression : parameter.expressions) expression.resize(length, 0.0);
}

}  // namespace eqx::datafile
