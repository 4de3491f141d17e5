// Excess Gibbs-energy ("G") and excess magnetic ("M") parameters of a phase: the list of their
// interaction strings (TQLPAR) and the values of one parameter (TQGPAR).
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "equilex.h"
#include "queries/lookup.hpp"

using namespace eqx;
using namespace eqx::queries;

namespace {

// The parameter list an option names, or nullptr after failing with 201.
// The parameters of kind `option` ("G" or "M") of the phase a routine names; null after failing
// with the phase's or the option's number.
struct ParameterList {
    Phase* phase = nullptr;
    std::vector<ExcessParameter>* parameters = nullptr;
};

ParameterList parameter_list(std::int32_t* error, System& system, const std::int32_t* phase,
                             std::string_view option) {
    Phase* found = phase_at(error, system, phase);
    if (!found) return {};
    if (is_option(option, "G")) return {found, &found->excess_gibbs};
    if (is_option(option, "M")) return {found, &found->excess_magnetic};
    fail(error, eqx::err::bad_option);
    return {};
}

// The interaction string of parameter `number` (1-based), e.g. "1: *3 ( 1)-( 2)-( 4) : ( 8)":
// the number, ": *", the kind word, one blank, one group of terms per sublattice joined by
// " : ", the terms of a group joined by "-", each the phase-wide species number right-aligned
// in two columns within parentheses (wider when it needs more) and its power as "^[p]" when it
// has one, and the model word in parentheses after one blank when there is one. Callers compare
// these texts whole, so the layout never varies with the data's values.
std::string interaction_string(std::size_t number, const ExcessParameter& parameter) {
    std::string text = std::to_string(number) + ": *" + parameter.kind + " ";
    for (std::size_t g = 0; g < parameter.groups.size(); ++g) {
        if (g > 0) text += " : ";
        const std::vector<SpeciesTerm>& group = parameter.groups[g];
        for (std::size_t t = 0; t < group.size(); ++t) {
            if (t > 0) text += '-';
            char term[24];
            std::snprintf(term, sizeof term, "(%2d)", group[t].species + 1);
            text += term;
            if (group[t].power != 0) text += "^[" + std::to_string(group[t].power) + "]";
        }
    }
    if (!parameter.model_word.empty()) text += " (" + parameter.model_word + ")";
    return text;
}

}  // namespace

extern "C" {

// A phase without parameters of the kind (a stoichiometric phase among them) lists none: count
// 0, no error. The integer beside each text is the number of expressions of that parameter, the
// rows TQGPAR gives for it.
EQX_API void TQLPAR(const std::int32_t* phase, const char* option, std::int32_t option_len,
                    std::int32_t* count, char* texts, std::int32_t text_len, std::int32_t* numbers,
                    std::int32_t* error) {
    const eqx::LibraryLock lock;
    with_ascii_system(error, [&](System& system) {
        const auto [found_phase, parameters] =
            parameter_list(error, system, phase, text_in(option, option_len));
        if (!parameters) return;
        std::vector<std::string> strings;
        strings.reserve(parameters->size());
        for (std::size_t k = 0; k < parameters->size(); ++k)
            strings.push_back(interaction_string(k + 1, (*parameters)[k]));
        if (texts && text_len > 0) {
            const auto stride = static_cast<std::size_t>(text_len);
            for (std::size_t k = 0; k < strings.size(); ++k)
                text_out(texts + k * stride, text_len, strings[k]);
        }
        if (numbers) {
            for (std::size_t k = 0; k < parameters->size(); ++k)
                numbers[k] = static_cast<std::int32_t>((*parameters)[k].expressions.size());
        }
        put(count, static_cast<std::int32_t>(parameters->size()));
        ok(error);
    });
}

// values is the caller's table of 20 expressions x 28 values, column by column: value j of
// expression k (both 0-based) at values[k + 20 j]. A parameter number out of range is the first
// index number the routine takes (1021).
EQX_API void TQGPAR(const std::int32_t* phase, const char* option, std::int32_t option_len,
                    const std::int32_t* parameter, std::int32_t* expression_count,
                    std::int32_t* value_count, double* values, std::int32_t* error) {
    const eqx::LibraryLock lock;
    with_ascii_system(error, [&](System& system) {
        const auto [found_phase, parameters] =
            parameter_list(error, system, phase, text_in(option, option_len));
        if (!parameters) return;
        if (parameters->empty())
            return fail(error, parameters == &found_phase->excess_gibbs ? err::no_excess_gibbs
                                                                        : err::no_excess_magnetic);
        const std::int32_t number = value_of(parameter);
        if (!in_range(number, parameters->size())) return fail(error, err::first_index);
        const ExcessParameter& found = (*parameters)[static_cast<std::size_t>(number - 1)];
        constexpr auto rows_room = static_cast<std::size_t>(limits::parameter_expressions);
        constexpr auto columns_room = static_cast<std::size_t>(limits::expression_values);
        const std::size_t rows = std::min(found.expressions.size(), rows_room);
        const std::size_t columns =
            rows == 0 ? 0 : std::min(found.expressions.front().size(), columns_room);
        if (values) {
            for (std::size_t k = 0; k < rows; ++k) {
                const std::vector<double>& expression = found.expressions[k];
                for (std::size_t j = 0; j < columns && j < expression.size(); ++j)
                    values[k + rows_room * j] = expression[j];
            }
        }
        put(expression_count, static_cast<std::int32_t>(rows));
        put(value_count, static_cast<std::int32_t>(columns));
        ok(error);
    });
}

}  // extern "C"
