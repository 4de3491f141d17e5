// The stored data of phase constituents and excess parameters as the ASCII data-file entered
// them: read one kind at a time (TQGDAT), change one datum (TQCDAT). Changes go into the loaded
// system itself, so later reads, TQWASC and every calculation see them.
#include <array>
#include <iterator>
#include <optional>
#include <utility>
#include <vector>

#include "equilex.h"
#include "queries/lookup.hpp"

using namespace eqx;
using namespace eqx::queries;

namespace {

// --- TQGDAT ------------------------------------------------------------------------------------

enum class DataKind {
    h298,
    s298,
    cp,
    upper_temperature,
    transformation_enthalpy,
    volume,
    critical,
    magnetic,
    charge
};

std::optional<DataKind> data_option(std::string_view option) {
    static constexpr std::array<std::pair<std::string_view, DataKind>, 9> options = {{
        {"H", DataKind::h298},
        {"S", DataKind::s298},
        {"Cp", DataKind::cp},
        {"Tt", DataKind::upper_temperature},
        {"Ht", DataKind::transformation_enthalpy},
        {"V", DataKind::volume},
        {"Gc", DataKind::critical},
        {"M", DataKind::magnetic},
        {"Ch", DataKind::charge},
    }};
    for (const auto& [text, kind] : options)
        if (is_option(option, text)) return kind;
    return std::nullopt;
}

// The caller's array holds this many values; nothing is ever written beyond them.
struct StoredValues {
    std::array<double, limits::stored_values> values{};
    int count = 0;

    void add(double value) {
        if (count < limits::stored_values) values[static_cast<std::size_t>(count++)] = value;
    }
    template <std::size_t N>
    void add(const double (&list)[N]) {
        for (double value : list) add(value);
    }
};

// The values of one kind, or the error number when the constituent has none of that kind.
int collect(StoredValues& out, DataKind kind, const Phase& phase, const Constituent& constituent,
            std::int32_t range_number) {
    switch (kind) {
        case DataKind::h298:
            out.add(constituent.h298);
            return 0;
        case DataKind::s298:
            out.add(constituent.s298);
            return 0;
        case DataKind::cp:
        case DataKind::upper_temperature:
        case DataKind::transformation_enthalpy: {
            if (!in_range(range_number, constituent.cp_ranges.size())) return err::cp_range_index;
            const CpRange& range =
                constituent.cp_ranges[static_cast<std::size_t>(range_number - 1)];
            if (kind == DataKind::upper_temperature) {
                out.add(range.upper_temperature);
            } else if (kind == DataKind::transformation_enthalpy) {
                out.add(range.transformation_enthalpy);
            } else {
                out.add({range.a, range.b, range.c, range.d});
                for (const PowerTerm& term : range.extra_terms)
                    out.add({term.coefficient, term.power});
            }
            return 0;
        }
        case DataKind::volume: {
            if (!constituent.molar_volume) return err::no_molar_volume;
            const MolarVolumeData& volume = *constituent.molar_volume;
            out.add(volume.density);
            out.add(volume.expansion);
            out.add(volume.compressibility);
            out.add(volume.bulk_modulus_derivative);
            return 0;
        }
        case DataKind::critical: {
            if (!constituent.critical) return err::no_real_gas;
            const CriticalData& critical = *constituent.critical;
            out.add({critical.temperature, critical.pressure, critical.volume,
                     critical.acentric_factor, critical.dipole_moment});
            return 0;
        }
        case DataKind::magnetic:
            if (!constituent.magnetic) return err::no_magnetic;
            out.add({constituent.magnetic->critical_temperature, constituent.magnetic->moment});
            return 0;
        case DataKind::charge:
            if (!phase.aqueous) return err::not_aqueous;
            out.add(constituent.charge);
            return 0;
    }
    return eqx::err::bad_option;
}

// --- TQCDAT ------------------------------------------------------------------------------------

struct Selector {
    std::int32_t datum_code = 0;
    std::int32_t second = 0;
    std::int32_t third = 0;
    std::int32_t fourth = 0;
};

bool known_datum_code(std::int32_t datum_code) {
    return datum_code == 1 || datum_code == 4 || datum_code == 7 || datum_code == 10 ||
           datum_code == 13;
}

// Code 1: H298 and S298 (second 0), or a datum of Cp range `second`: a to d (third 1 to 4), the
// coefficients of the extra terms (5 up to 4 + terms) and the transformation enthalpy (5 +
// terms). The powers of the extra terms are not data that can be changed.
double* thermodynamic_datum(Constituent& constituent, const Selector& s, int& failure) {
    if (s.second == 0) {
        if (s.third == 0) return &constituent.h298;
        if (s.third == 1) return &constituent.s298;
        failure = err::third_index;
        return nullptr;
    }
    if (!in_range(s.second, constituent.cp_ranges.size())) {
        failure = err::cp_range_index;
        return nullptr;
    }
    CpRange& range = constituent.cp_ranges[static_cast<std::size_t>(s.second - 1)];
    const auto terms = static_cast<std::int32_t>(range.extra_terms.size());
    switch (s.third) {
        case 1:
            return &range.a;
        case 2:
            return &range.b;
        case 3:
            return &range.c;
        case 4:
            return &range.d;
        default:
            break;
    }
    if (s.third >= 5 && s.third < 5 + terms)
        return &range.extra_terms[static_cast<std::size_t>(s.third - 5)].coefficient;
    if (s.third == 5 + terms) return &range.transformation_enthalpy;
    failure = err::third_index;
    return nullptr;
}

// Code 4: real-gas data of a constituent of the gas phase, molar-volume data of any other (the
// phase decides, not the datum).
double* volume_datum(const Phase& phase, Constituent& constituent, const Selector& s,
                     int& failure) {
    auto refuse = [&](int number) -> double* {
        failure = number;
        return nullptr;
    };
    if (phase.gas) {
        if (!constituent.critical) return refuse(err::no_real_gas);
        if (s.second != 1) return refuse(err::second_index);
        CriticalData& critical = *constituent.critical;
        std::array<double*, 5> data = {&critical.temperature, &critical.pressure, &critical.volume,
                                       &critical.acentric_factor, &critical.dipole_moment};
        if (!in_range(s.third, data.size())) return refuse(err::third_index);
        return data[static_cast<std::size_t>(s.third - 1)];
    }
    if (!constituent.molar_volume) return refuse(err::no_molar_volume);
    // The groups in the order of TQGDAT "V": density, expansion, compressibility, bulk modulus.
    MolarVolumeData& volume = *constituent.molar_volume;
    const std::array<std::pair<double*, std::size_t>, 4> groups = {{
        {&volume.density, 1},
        {volume.expansion, std::size(volume.expansion)},
        {volume.compressibility, std::size(volume.compressibility)},
        {volume.bulk_modulus_derivative, std::size(volume.bulk_modulus_derivative)},
    }};
    if (!in_range(s.second, groups.size())) return refuse(err::second_index);
    const auto [group, group_size] = groups[static_cast<std::size_t>(s.second - 1)];
    if (!in_range(s.third, group_size)) return refuse(err::third_index);
    return group + (s.third - 1);
}

// Code 7: the constituent's Curie or Neel temperature (third 1) and magnetic moment (third 2).
double* magnetic_datum(Constituent& constituent, const Selector& s, int& failure) {
    auto refuse = [&](int number) -> double* {
        failure = number;
        return nullptr;
    };
    if (!constituent.magnetic) return refuse(err::no_magnetic);
    if (s.second != 1) return refuse(err::second_index);
    if (s.third == 1) return &constituent.magnetic->critical_temperature;
    if (s.third == 2) return &constituent.magnetic->moment;
    return refuse(err::third_index);
}

// Codes 10 and 13: value `fourth` of expression `third` of excess magnetic / Gibbs-energy
// parameter `second` (its TQLPAR number).
double* excess_datum(Phase& phase, const Selector& s, int& failure) {
    auto refuse = [&](int number) -> double* {
        failure = number;
        return nullptr;
    };
    const bool gibbs = s.datum_code == 13;
    auto& parameters = gibbs ? phase.excess_gibbs : phase.excess_magnetic;
    if (parameters.empty()) return refuse(gibbs ? err::no_excess_gibbs : err::no_excess_magnetic);
    if (!in_range(s.second, parameters.size())) return refuse(err::second_index);
    ExcessParameter& parameter = parameters[static_cast<std::size_t>(s.second - 1)];
    if (!in_range(s.third, parameter.expressions.size())) return refuse(err::third_index);
    std::vector<double>& expression = parameter.expressions[static_cast<std::size_t>(s.third - 1)];
    if (!in_range(s.fourth, expression.size())) return refuse(err::fourth_index);
    return &expression[static_cast<std::size_t>(s.fourth - 1)];
}

// The datum a selector names in a phase, or nullptr with the error number in failure.
double* selected_datum(Phase& phase, const Selector& s, int& failure) {
    if (s.datum_code == 10 || s.datum_code == 13) return excess_datum(phase, s, failure);
    if (!in_range(s.fourth, phase.constituents.size())) {
        failure = err::fourth_index;
        return nullptr;
    }
    Constituent& constituent = phase.constituents[static_cast<std::size_t>(s.fourth - 1)];
    if (s.datum_code == 1) return thermodynamic_datum(constituent, s, failure);
    if (s.datum_code == 4) return volume_datum(phase, constituent, s, failure);
    return magnetic_datum(constituent, s, failure);
}

// The other copy of a phase included twice for de-mixing (both hold one set of data), or -1.
int twin_of(const System& system, std::size_t phase) {
    const int copy = system.phases[phase].demixing_copy;
    if (copy == 1 && phase + 1 < system.phases.size()) return static_cast<int>(phase + 1);
    if (copy == 2 && phase > 0) return static_cast<int>(phase - 1);
    return -1;
}

}  // namespace

extern "C" {

EQX_API void TQGDAT(const std::int32_t* phase, const std::int32_t* constituent, const char* option,
                    std::int32_t option_len, const std::int32_t* range, std::int32_t* count,
                    double* values, std::int32_t* error) {
    const eqx::LibraryLock lock;
    with_ascii_system(error, [&](System& system) {
        Phase* found_phase = phase_at(error, system, phase);
        if (!found_phase) return;
        const Constituent* found = constituent_at(error, *found_phase, constituent);
        if (!found) return;
        const std::optional<DataKind> kind = data_option(text_in(option, option_len));
        if (!kind) return fail(error, eqx::err::bad_option);
        StoredValues out;
        if (const int failure = collect(out, *kind, *found_phase, *found, value_of(range)))
            return fail(error, failure);
        if (values) {
            for (int i = 0; i < out.count; ++i) values[i] = out.values[static_cast<std::size_t>(i)];
        }
        put(count, out.count);
        ok(error);
    });
}

// A change that the rules of a loaded system refuse (a value that is not finite, a density that
// is not positive, an upper temperature out of order, ...) gives 201 with the rule on the ERROR
// unit and leaves the datum as it was.
EQX_API void TQCDAT(const std::int32_t* selector1, const std::int32_t* selector2,
                    const std::int32_t* selector3, const std::int32_t* selector4,
                    const std::int32_t* selector5, const double* value, std::int32_t* error) {
    const eqx::LibraryLock lock;
    with_ascii_system(error, [&](System& system) {
        const Selector selector{value_of(selector1), value_of(selector2), value_of(selector3),
                                value_of(selector4)};
        if (!known_datum_code(selector.datum_code)) return fail(error, err::first_index);
        Phase* found_phase = phase_at(error, system, selector5);
        if (!found_phase) return;
        int failure = 0;
        double* datum = selected_datum(*found_phase, selector, failure);
        if (!datum) return fail(error, failure);
        const std::size_t phase_index = static_cast<std::size_t>(value_of(selector5) - 1);
        const int twin = twin_of(system, phase_index);
        double* twin_datum =
            twin < 0
                ? nullptr
                : selected_datum(system.phases[static_cast<std::size_t>(twin)], selector, failure);
        const double old_value = *datum;
        auto set = [&](double new_value) {
            *datum = new_value;
            if (twin_datum) *twin_datum = new_value;
        };
        set(value_of(value));
        std::optional<DataError> defect;
        try {
            defect = check_system(system);
        } catch (...) {
            set(old_value);
            throw;
        }
        if (defect) {
            set(old_value);
            return fail(error, eqx::err::bad_option, defect->what);
        }
        ok(error);
    });
}

}  // extern "C"
