#include "system.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <set>

#include "thermo.hpp"

namespace eqx {

namespace {

// Shortest text that reads back as the same number.
std::string number_text(double value) {
    char buffer[32];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string describe_index(const char* what, int index) {
    return std::string(what) + " " + std::to_string(index + 1);
}

// Names are printable ASCII: callers read them as ASCII, so a byte above 127 would make every
// query that hands the name out fail in the caller. No trailing blank: look-ups ignore trailing
// blanks, callers strip them from the names they read and TQCNSC drops them, so such a name (or
// one of blanks only) would read back as another name, or as none. Leading blanks belong to the
// name, as they do for TQCNSC.
std::optional<std::string> name_defect(const std::string& name) {
    if (name.empty()) return "empty name";
    if (name.size() > max_data_name_length)
        return "name \"" + name + "\" longer than " + std::to_string(max_data_name_length) +
               " characters";
    for (unsigned char byte : name)
        if (byte < 32 || byte == 127) return "control character in a name";
    if (!is_ascii(name)) return "name \"" + name + "\" holds a byte above 127 (names are ASCII)";
    if (name.find_first_not_of(' ') == std::string::npos) return "name of blanks only";
    if (name.back() == ' ') return "name \"" + name + "\" ends with a blank";
    return std::nullopt;
}

bool above(std::size_t count, int limit) {
    return count > static_cast<std::size_t>(limit);
}

// "more than 30 system components (the most the library holds)"
std::string beyond_limit(int limit, const char* what) {
    return "more than " + std::to_string(limit) + " " + what + " (the most the library holds)";
}

bool all_finite(std::initializer_list<double> values) {
    return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

template <std::size_t N>
bool all_finite(const double (&values)[N]) {
    return std::all_of(std::begin(values), std::end(values),
                       [](double v) { return std::isfinite(v); });
}

using limits::representable;

bool all_representable(std::initializer_list<double> values) {
    return std::all_of(values.begin(), values.end(), [](double v) { return representable(v); });
}

// A bound on the magnitude of an excess Gibbs coefficient
// L = A + B T + C T ln T + D T^2 + E T^3 + F / T + G P + H P^2 at 1 bar: the sum of its terms'
// magnitudes. From 298.15 K upwards each term of its first two temperature derivatives is
// smaller than the term of L it comes from, so the bound holds for what the calculation reads.
// An absent term (a coefficient of 0) adds nothing, as in the standard functions, even where
// its power of T overflows.
double excess_coefficient_bound(const std::vector<double>& expression, double t) {
    double e[8] = {};
    for (std::size_t k = 0; k < std::size(e) && k < expression.size(); ++k)
        e[k] = std::abs(expression[k]);
    auto term = [](double coefficient, double factor) {
        return coefficient == 0.0 ? 0.0 : coefficient * factor;
    };
    return e[0] + term(e[1], t) + term(e[2], t * std::log(t)) + term(e[3], t * t) +
           term(e[4], t * t * t) + term(e[5], 1 / t) + e[6] + e[7];
}

bool is_ascii_letter_or_digit(unsigned char ch) {
    return (ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z');
}

// 1-based line of the first byte above 127 in a text, or 0.
int line_above_127(std::string_view text) {
    int line = 1;
    for (char ch : text) {
        if (static_cast<unsigned char>(ch) > 127) return line;
        if (ch == '\n') ++line;
    }
    return 0;
}

bool is_quasichemical_model(const std::string& model) {
    return model == "QUAS" || model == "QUSL" || model == "GAYE" || model == "SUBG";
}

// The two copies of a de-mixing phase hold one set of data; statuses are their own.
bool same_data_but_statuses(Phase first, Phase second) {
    first.name = second.name;
    first.demixing_copy = second.demixing_copy;
    first.status = second.status;
    if (first.constituents.size() != second.constituents.size()) return false;
    for (std::size_t i = 0; i < first.constituents.size(); ++i)
        first.constituents[i].status = second.constituents[i].status;
    return first == second;
}

struct Checker {
    const System& system;

    DataError error(DataSection section, int phase, std::string what, int constituent = -1,
                    int parameter = -1) const {
        DataError e;
        e.section = section;
        e.phase = phase;
        e.constituent = constituent;
        e.parameter = parameter;
        if (phase >= 0) {
            std::string where = describe_index("phase", phase);
            if (constituent >= 0) where += ", " + describe_index("constituent", constituent);
            if (parameter >= 0)
                where += section == DataSection::excess_gibbs ? ", excess Gibbs parameter "
                                                              : ", excess magnetic parameter ";
            if (parameter >= 0) where += std::to_string(parameter + 1);
            what = where + ": " + what;
        }
        e.what = std::move(what);
        return e;
    }

    std::optional<DataError> components() const {
        if (system.components.empty())
            return error(DataSection::general, -1, "no system components");
        std::set<std::string> seen;
        for (std::size_t i = 0; i < system.components.size(); ++i) {
            const Component& component = system.components[i];
            std::string where = describe_index("component", static_cast<int>(i)) + ": ";
            auto fault = [&](std::string what) {
                DataError e = error(DataSection::general, -1, where + what);
                e.component = static_cast<int>(i);
                return e;
            };
            if (auto defect = name_defect(component.name)) return fault(*defect);
            if (!seen.insert(component.name).second)
                return fault("duplicate name " + component.name);
            if (!std::isfinite(component.molar_mass) || component.molar_mass < 0)
                return fault("molar mass must be a number >= 0");
        }
        return std::nullopt;
    }

    std::optional<DataError> cp_ranges(int p, int c, const Constituent& constituent) const {
        if (constituent.cp_ranges.empty()) return error(DataSection::phase, p, "no Cp range", c);
        double lower = reference_temperature;
        for (std::size_t r = 0; r < constituent.cp_ranges.size(); ++r) {
            const CpRange& range = constituent.cp_ranges[r];
            std::string where = describe_index("Cp range", static_cast<int>(r)) + ": ";
            if (!all_finite({range.a, range.b, range.c, range.d, range.upper_temperature,
                             range.transformation_enthalpy}))
                return error(DataSection::phase, p, where + "values must be finite numbers", c);
            if (range.extra_terms.size() > max_extra_cp_terms)
                return error(DataSection::phase, p, where + "more than 3 extra terms", c);
            for (const PowerTerm& term : range.extra_terms)
                if (!all_finite({term.coefficient, term.power}))
                    return error(DataSection::phase, p, where + "values must be finite numbers", c);
            if (!(range.upper_temperature > lower))
                return error(DataSection::phase, p,
                             where + "upper temperature must exceed " + number_text(lower) + " K",
                             c);
            lower = range.upper_temperature;
        }
        return std::nullopt;
    }

    // Finite numbers can still overflow in the functions a calculation reads (a transformation
    // enthalpy of -1e308, a Curie temperature of 1e-306 K): those must be representable (what
    // a calculation may report, limits::largest_reported_value) where the data hold, at 298.15 K
    // and at the upper temperature of each Cp range, at 1 bar; else no calculation could use
    // the constituent, whatever its temperature.
    std::optional<std::string> functions_defect(const Phase& phase,
                                                const Constituent& constituent) const {
        auto fits = [](const thermo::StandardFunctions& f) {
            return all_representable({f.g, f.h, f.s, f.cp});
        };
        const double mass = constituent_molar_mass(system, constituent);
        for (double t : data_temperatures(constituent)) {
            const std::string at = " must be representable at " + number_text(t) + " K";
            if (!fits(thermo::standard_functions(constituent, t)))
                return "H, S, Cp and G of the Cp ranges" + at;
            if (!fits(thermo::constituent_functions(system, phase, constituent, t,
                                                    reference_pressure)))
                return "the magnetic contribution" + at;
            if (!representable(thermo::molar_volume(constituent, mass, t, reference_pressure)))
                return "the molar volume" + at;
        }
        return std::nullopt;
    }

    // 298.15 K and the upper temperature of each Cp range: where a constituent's data hold.
    static std::vector<double> data_temperatures(const Constituent& constituent) {
        std::vector<double> temperatures{reference_temperature};
        for (const CpRange& range : constituent.cp_ranges)
            temperatures.push_back(range.upper_temperature);
        return temperatures;
    }

    std::optional<DataError> constituent(int p, int c, const Phase& phase) const {
        const Constituent& constituent = phase.constituents[c];
        auto fault = [&](std::string what) {
            return error(DataSection::phase, p, std::move(what), c);
        };
        if (auto defect = name_defect(constituent.name)) return fault(*defect);
        if (constituent.stoichiometry.size() != system.components.size())
            return fault("stoichiometry needs " + std::to_string(system.components.size()) +
                         " coefficients, has " + std::to_string(constituent.stoichiometry.size()));
        for (double coefficient : constituent.stoichiometry)
            if (!std::isfinite(coefficient)) return fault("stoichiometry must be finite numbers");
        if (!all_finite({constituent.charge, constituent.h298, constituent.s298}))
            return fault("charge, H298 and S298 must be finite numbers");
        if (auto defect = cp_ranges(p, c, constituent)) return defect;
        if (constituent.molar_volume) {
            const MolarVolumeData& volume = *constituent.molar_volume;
            if (phase.gas) return fault("molar-volume data in the gas phase (use critical data)");
            if (!std::isfinite(volume.density) || volume.density <= 0)
                return fault("density must be a number > 0");
            if (!all_finite(volume.expansion) || !all_finite(volume.compressibility) ||
                !all_finite(volume.bulk_modulus_derivative))
                return fault("molar-volume data must be finite numbers");
        }
        if (constituent.critical) {
            const CriticalData& critical = *constituent.critical;
            if (!phase.gas) return fault("critical data outside the gas phase");
            if (!all_finite({critical.temperature, critical.pressure, critical.volume,
                             critical.acentric_factor, critical.dipole_moment}))
                return fault("critical data must be finite numbers");
        }
        if (constituent.magnetic &&
            !all_finite({constituent.magnetic->critical_temperature, constituent.magnetic->moment}))
            return fault("magnetic data must be finite numbers");
        if (!std::isfinite(constituent_molar_mass(system, constituent)))
            return fault("molar mass (coefficients times component masses) must be finite");
        if (auto defect = functions_defect(phase, constituent)) return fault(*defect);
        if (phase.sublattices.empty()) {
            if (!constituent.sublattice_species.empty())
                return fault("sublattice species in a phase without sublattices");
        } else {
            if (constituent.sublattice_species.size() != phase.sublattices.size())
                return fault("needs one species on each of the " +
                             std::to_string(phase.sublattices.size()) + " sublattices");
            for (std::size_t s = 0; s < phase.sublattices.size(); ++s) {
                int species = constituent.sublattice_species[s];
                if (species < 0 || species >= static_cast<int>(phase.sublattices[s].species.size()))
                    return fault("species on sublattice " + std::to_string(s + 1) + " unknown");
            }
        }
        return std::nullopt;
    }

    std::optional<DataError> excess(int p, const Phase& phase, bool gibbs) const {
        const auto& list = gibbs ? phase.excess_gibbs : phase.excess_magnetic;
        DataSection section = gibbs ? DataSection::excess_gibbs : DataSection::excess_magnetic;
        if (list.empty()) return std::nullopt;
        if (!phase.is_mixture())
            return error(section, p, "excess parameters in a stoichiometric phase", -1, 0);
        std::size_t min_values = gibbs ? min_gibbs_values : min_magnetic_values;
        int sublattices = phase.sublattice_count();
        for (std::size_t k = 0; k < list.size(); ++k) {
            const ExcessParameter& parameter = list[k];
            auto fault = [&](std::string what) {
                return error(section, p, std::move(what), -1, static_cast<int>(k));
            };
            if (static_cast<int>(parameter.groups.size()) != sublattices)
                return fault("needs one species group per sublattice (" +
                             std::to_string(sublattices) + ")");
            bool interacting = false;
            for (int g = 0; g < sublattices; ++g) {
                const auto& group = parameter.groups[g];
                if (group.empty()) return fault("empty species group");
                if (group.size() > 1) interacting = true;
                std::set<int> seen;
                for (const SpeciesTerm& term : group) {
                    if (phase.species_position(term.species).first != g)
                        return fault("species " + std::to_string(term.species + 1) +
                                     " is not on sublattice " + std::to_string(g + 1));
                    if (!seen.insert(term.species).second) return fault("species given twice");
                    if (term.power < 0 || term.power > 99) return fault("power outside 0..99");
                }
            }
            if (!interacting) return fault("no two species interact");
            if (parameter.kind.empty() || parameter.kind.size() > 8 ||
                !std::all_of(parameter.kind.begin(), parameter.kind.end(),
                             [](unsigned char ch) { return is_ascii_letter_or_digit(ch); }))
                return fault("kind must be 1 to 8 letters or digits");
            if (!parameter.model_word.empty() && parameter.model_word != "Guts" &&
                parameter.model_word != "Quasichemical" && parameter.model_word != "Bragg-Williams")
                return fault("model word must be Guts, Quasichemical or Bragg-Williams");
            if (parameter.expressions.empty() ||
                parameter.expressions.size() > max_excess_expressions)
                return fault("needs 1 to 20 expressions");
            std::size_t length = parameter.expressions.front().size();
            if (length < min_values || length > max_expression_values)
                return fault("expressions need " + std::to_string(min_values) + " to 28 values");
            for (const auto& expression : parameter.expressions) {
                if (expression.size() != length)
                    return fault("expressions of one parameter must have the same length");
                for (double value : expression)
                    if (!std::isfinite(value)) return fault("values must be finite numbers");
            }
            // The excess Gibbs energy is read where the phase's data hold, as its constituents'
            // functions are (the magnetic parameters are only stored). Each term's magnitude
            // grows or falls with T above 298.15 K, so between the two ends the coefficient
            // stays below the sum of its bounds there.
            if (!gibbs) continue;
            for (double t : {reference_temperature, highest_data_temperature(phase)})
                for (const auto& expression : parameter.expressions)
                    if (!representable(excess_coefficient_bound(expression, t)))
                        return fault("the coefficient must be representable at " + number_text(t) +
                                     " K");
        }
        return std::nullopt;
    }

    static double highest_data_temperature(const Phase& phase) {
        double highest = reference_temperature;
        for (const Constituent& constituent : phase.constituents)
            for (const CpRange& range : constituent.cp_ranges)
                highest = std::max(highest, range.upper_temperature);
        return highest;
    }

    std::optional<DataError> phase(int p) const {
        const Phase& phase = system.phases[p];
        auto fault = [&](std::string what) {
            return error(DataSection::phase, p, std::move(what));
        };
        if (auto defect = name_defect(phase.name)) return fault(*defect);
        if (phase.demixing_copy != 0)
            if (auto defect = name_defect(phase.base_name())) return fault(*defect);
        if (phase.model.empty() || phase.model.size() > 8 ||
            !std::all_of(phase.model.begin(), phase.model.end(),
                         [](unsigned char ch) { return ch > 32 && ch < 127; }))
            return fault("model identifier must be 1 to 8 printable characters");
        if (phase.gas && p != 0) return fault("only the first phase can be the gas phase");
        if (phase.demixing_copy < 0 || phase.demixing_copy > 2) return fault("bad de-mixing copy");
        if (phase.demixing_copy != 0) {
            if (!phase.is_mixture() || phase.gas)
                return fault("only a condensed mixture phase can be included twice");
            std::string suffix = phase.demixing_copy == 1 ? "#1" : "#2";
            if (phase.name.size() < 3 || phase.name.compare(phase.name.size() - 2, 2, suffix) != 0)
                return fault("a de-mixing copy must be named with " + suffix);
            if (phase.demixing_copy == 1) {
                if (p + 1 >= static_cast<int>(system.phases.size()) ||
                    system.phases[p + 1].demixing_copy != 2 ||
                    system.phases[p + 1].base_name() != phase.base_name())
                    return fault("de-mixing copy #1 without its copy #2");
            } else if (p == 0 || system.phases[p - 1].demixing_copy != 1 ||
                       !same_data_but_statuses(system.phases[p - 1], phase)) {
                return fault("de-mixing copy #2 differs from its copy #1");
            }
        }
        if (!std::isfinite(phase.magnetic_structure_factor))
            return fault("magnetic structure factor must be a finite number");
        if (phase.constituents.empty()) return fault("no constituents");
        if (!phase.is_mixture()) {
            if (phase.constituents.size() != 1)
                return fault("a stoichiometric phase has exactly one constituent");
            if (!phase.sublattices.empty()) return fault("sublattices in a stoichiometric phase");
        }
        for (std::size_t s = 0; s < phase.sublattices.size(); ++s) {
            const Sublattice& sublattice = phase.sublattices[s];
            std::string where = describe_index("sublattice", static_cast<int>(s)) + ": ";
            if (!std::isfinite(sublattice.sites) || sublattice.sites <= 0)
                return fault(where + "sites must be a number > 0");
            if (sublattice.species.empty()) return fault(where + "no species");
            std::set<std::string> seen;
            for (const std::string& species : sublattice.species) {
                if (auto defect = name_defect(species)) return fault(where + *defect);
                if (!seen.insert(species).second)
                    return fault(where + "duplicate species " + species);
            }
        }
        std::set<std::string> names;
        std::set<std::vector<int>> end_members;
        for (std::size_t c = 0; c < phase.constituents.size(); ++c) {
            if (auto defect = constituent(p, static_cast<int>(c), phase)) return defect;
            const Constituent& constituent = phase.constituents[c];
            if (!names.insert(constituent.name).second)
                return error(DataSection::phase, p, "duplicate name " + constituent.name,
                             static_cast<int>(c));
            if (!phase.sublattices.empty() &&
                !end_members.insert(constituent.sublattice_species).second)
                return error(DataSection::phase, p, "same species as an earlier constituent",
                             static_cast<int>(c));
        }
        return std::nullopt;
    }

    // The maxima TQSIZE reports, counted as TQUSED counts (System::sizes); each excess names the
    // item where its count passes the limit. Cp ranges in all (limits::gibbs_equations) need no
    // check of their own: constituents and Cp ranges per constituent bound them.
    std::optional<DataError> sizes() const {
        if (above(system.components.size(), limits::components)) {
            DataError e = error(DataSection::general, -1,
                                describe_index("component", limits::components) + ": " +
                                    beyond_limit(limits::components, "system components"));
            e.component = limits::components;
            return e;
        }
        int mixture_phases = 0;
        int constituents = 0;
        int volume_constituents = 0;
        for (std::size_t i = 0; i < system.phases.size(); ++i) {
            const int p = static_cast<int>(i);
            const Phase& phase = system.phases[i];
            auto fault = [&](int limit, const char* what) {
                return error(DataSection::phase, p, beyond_limit(limit, what));
            };
            if (phase.is_mixture()) {
                if (++mixture_phases > limits::mixture_phases)
                    return fault(limits::mixture_phases, "mixture phases");
                if (phase.sublattice_count() > limits::sublattices_per_phase)
                    return fault(limits::sublattices_per_phase, "sublattices in a phase");
                for (int s = 0; s < phase.sublattice_count(); ++s)
                    if (phase.sublattice_species_count(s) > limits::constituents_per_sublattice)
                        return fault(limits::constituents_per_sublattice,
                                     phase.sublattices.empty()
                                         ? "constituents in a phase without sublattices"
                                         : "species on a sublattice");
            }
            if (is_quasichemical_model(phase.model) &&
                above(phase.constituents.size(), limits::quasichemical_constituents))
                return fault(limits::quasichemical_constituents,
                             "constituents in a phase of a quasichemical model");
            if (above(phase.excess_gibbs.size(), limits::excess_gibbs_coefficients))
                return error(DataSection::excess_gibbs, p,
                             beyond_limit(limits::excess_gibbs_coefficients,
                                          "excess Gibbs parameters in a phase"),
                             -1, limits::excess_gibbs_coefficients);
            if (above(phase.excess_magnetic.size(), limits::excess_magnetic_coefficients))
                return error(DataSection::excess_magnetic, p,
                             beyond_limit(limits::excess_magnetic_coefficients,
                                          "excess magnetic parameters in a phase"),
                             -1, limits::excess_magnetic_coefficients);
            for (std::size_t c = 0; c < phase.constituents.size(); ++c) {
                const Constituent& constituent = phase.constituents[c];
                auto constituent_fault = [&](int limit, const char* what) {
                    return error(DataSection::phase, p, beyond_limit(limit, what),
                                 static_cast<int>(c));
                };
                if (++constituents > limits::constituents)
                    return constituent_fault(limits::constituents, "constituents in all phases");
                if (above(constituent.cp_ranges.size(), limits::gibbs_equations_per_constituent))
                    return constituent_fault(limits::gibbs_equations_per_constituent,
                                             "Cp ranges of a constituent");
                if (constituent.molar_volume && ++volume_constituents > limits::volume_constituents)
                    return constituent_fault(limits::volume_constituents,
                                             "constituents with molar-volume data");
            }
        }
        return std::nullopt;
    }

    std::optional<DataError> run() const {
        // Sizes first: a system the library cannot hold is refused as such, whatever else it holds.
        if (auto defect = sizes()) return defect;
        // The title and the commentary block are handed out again (TQWASC writes them).
        if (!is_ascii(system.title))
            return error(DataSection::general, -1,
                         "title \"" + system.title + "\" holds a byte above 127 (texts are ASCII)");
        if (int line = line_above_127(system.commentary))
            return error(DataSection::general, -1,
                         "commentary block, its line " + std::to_string(line) +
                             ": a byte above 127 (texts are ASCII)");
        if (auto defect = components()) return defect;
        if (system.phases.empty()) return error(DataSection::general, -1, "no phases");
        std::set<std::string> names;
        for (std::size_t p = 0; p < system.phases.size(); ++p) {
            if (auto defect = phase(static_cast<int>(p))) return defect;
            if (!names.insert(system.phases[p].name).second)
                return error(DataSection::phase, static_cast<int>(p),
                             "duplicate name " + system.phases[p].name);
        }
        // Excess data last: the phase structure they refer to is then known to be sound.
        for (std::size_t p = 0; p < system.phases.size(); ++p) {
            if (auto defect = excess(static_cast<int>(p), system.phases[p], false)) return defect;
            if (auto defect = excess(static_cast<int>(p), system.phases[p], true)) return defect;
        }
        return std::nullopt;
    }
};

}  // namespace

std::string Phase::base_name() const {
    if (demixing_copy != 0 && name.size() >= 2) return name.substr(0, name.size() - 2);
    return name;
}

int Phase::sublattice_count() const {
    if (!sublattices.empty()) return static_cast<int>(sublattices.size());
    return is_mixture() ? 1 : 0;
}

int Phase::sublattice_species_count(int sublattice) const {
    if (sublattice < 0 || sublattice >= sublattice_count()) return -1;
    if (sublattices.empty()) return static_cast<int>(constituents.size());
    return static_cast<int>(sublattices[sublattice].species.size());
}

const std::string* Phase::sublattice_species_name(int sublattice, int species) const {
    int count = sublattice_species_count(sublattice);
    if (species < 0 || species >= count) return nullptr;
    if (sublattices.empty()) return &constituents[species].name;
    return &sublattices[sublattice].species[species];
}

std::pair<int, int> Phase::species_position(int species) const {
    if (species < 0) return {-1, -1};
    if (sublattices.empty()) {
        if (species < static_cast<int>(constituents.size())) return {0, species};
        return {-1, -1};
    }
    for (std::size_t s = 0; s < sublattices.size(); ++s) {
        int count = static_cast<int>(sublattices[s].species.size());
        if (species < count) return {static_cast<int>(s), species};
        species -= count;
    }
    return {-1, -1};
}

int Phase::species_number(int sublattice, int species) const {
    int count = sublattice_species_count(sublattice);
    if (species < 0 || species >= count) return -1;
    int number = species;
    for (int s = 0; s < sublattice && !sublattices.empty(); ++s)
        number += static_cast<int>(sublattices[s].species.size());
    return number;
}

void System::sizes(int* out) const {
    for (int i = 0; i < size_item_count; ++i) out[i] = 0;
    auto item = [out](SizeItem which) -> int& { return out[static_cast<int>(which)]; };
    auto raise = [&](SizeItem which, std::size_t value) {
        item(which) = std::max(item(which), static_cast<int>(value));
    };
    item(SizeItem::components) = static_cast<int>(components.size());
    for (const Phase& phase : phases) {
        if (phase.is_mixture()) {
            ++item(SizeItem::solutions);
            raise(SizeItem::solution_sublattices,
                  static_cast<std::size_t>(phase.sublattice_count()));
            for (int s = 0; s < phase.sublattice_count(); ++s)
                raise(SizeItem::sublattice_constituents,
                      static_cast<std::size_t>(phase.sublattice_species_count(s)));
        }
        raise(SizeItem::excess_gibbs_coeff, phase.excess_gibbs.size());
        raise(SizeItem::excess_magnetic_coeff, phase.excess_magnetic.size());
        if (is_quasichemical_model(phase.model))
            raise(SizeItem::mqf_constituents, phase.constituents.size());
        for (const Constituent& constituent : phase.constituents) {
            ++item(SizeItem::constituents);
            raise(SizeItem::g_eq_constituent, constituent.cp_ranges.size());
            item(SizeItem::g_eq) += static_cast<int>(constituent.cp_ranges.size());
            if (constituent.molar_volume) ++item(SizeItem::constituents_vdep);
        }
    }
}

int read_error_number(DataSection section) {
    switch (section) {
        case DataSection::phase:
            return 110;
        case DataSection::excess_magnetic:
            return 111;
        case DataSection::excess_gibbs:
            return 112;
        case DataSection::general:
            break;
    }
    return 103;
}

std::optional<DataError> check_system(const System& system) {
    return Checker{system}.run();
}

bool is_ascii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char ch) { return static_cast<unsigned char>(ch) < 128; });
}

std::string ascii_escaped(std::string_view text) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte < 128) {
            out += ch;
        } else {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 15];
        }
    }
    return out;
}

double constituent_molar_mass(const System& system, const Constituent& constituent) {
    double mass = 0.0;
    std::size_t count = std::min(system.components.size(), constituent.stoichiometry.size());
    for (std::size_t i = 0; i < count; ++i)
        mass += constituent.stoichiometry[i] * system.components[i].molar_mass;
    return mass;
}

std::string status_text(Status status) {
    switch (status) {
        case Status::dormant:
            return "DORMANT";
        case Status::eliminated:
            return "ELIMINATED";
        case Status::entered:
            break;
    }
    return "ENTERED";
}

std::optional<Status> status_from_text(std::string_view text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.remove_suffix(1);
    std::string upper(text);
    // ASCII letters only, whatever the locale (a Turkish one would make "i" a dotted capital).
    for (char& ch : upper)
        if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
    if (upper == "ENTERED") return Status::entered;
    if (upper == "DORMANT") return Status::dormant;
    if (upper == "ELIMINATED") return Status::eliminated;
    return std::nullopt;
}

}  // namespace eqx
