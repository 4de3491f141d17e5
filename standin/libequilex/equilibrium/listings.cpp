#include "equilibrium/listings.hpp"

#include <charconv>
#include <cmath>
#include <string>
#include <vector>

#include "core/library.hpp"
#include "equilex.h"

namespace eqx::equilibrium {

namespace {
// Joins texts (the operator+ chains of std::string draw false warnings from GCC 12).
template <class... Parts>
std::string join(const Parts&... parts) {
    std::string out;
    (out.append(parts), ...);
    return out;
}

// A table: a header row and rows of cells; each column as wide as its widest cell, the first
// column left-aligned and the others right-aligned.
class Table {
  public:
    explicit Table(std::vector<std::string> header) : rows_{std::move(header)} {}

    void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }

    std::string text(const std::string& indent = "  ") const {
        std::vector<std::size_t> widths;
        for (const auto& row : rows_) {
            if (widths.size() < row.size()) widths.resize(row.size(), 0);
            for (std::size_t i = 0; i < row.size(); ++i)
                widths[i] = std::max(widths[i], row[i].size());
        }
        std::string out;
        for (std::size_t r = 0; r < rows_.size(); ++r) {
            std::string line = indent;
            for (std::size_t i = 0; i < rows_[r].size(); ++i) {
                const std::string& cell = rows_[r][i];
                const std::string pad(widths[i] - cell.size(), ' ');
                if (i > 0) line += "  ";
                line += i == 0 ? join(cell, pad) : join(pad, cell);
            }
            while (!line.empty() && line.back() == ' ') line.pop_back();
            out += join(line, "\n");
            if (r == 0) {
                std::size_t total = 0;
                for (std::size_t i = 0; i < widths.size(); ++i) total += widths[i] + (i ? 2 : 0);
                out += join(indent, std::string(total, '-'), "\n");
            }
        }
        return out;
    }

  private:
    std::vector<std::vector<std::string>> rows_;
};

// As "%.*g" writes it, but in every locale: the host program may have set one whose decimal
// separator is a comma, and a listing reads the same wherever it was written.
std::string number(double value, int digits) {
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    if (std::isnan(value)) return "nan";
    char buffer[64];
    const auto written =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, digits);
    return std::string(buffer, written.ptr);
}

// exp(ln_value) as text, also beyond the largest double: the activity of a phase far from
// stable at a low temperature is listed as the number it is (a decimal exponent above 308),
// not as "inf". An ELIMINATED phase's ln a of minus infinity reads 0.
std::string exp_number(double ln_value, int digits) {
    const double value = std::exp(ln_value);
    if (std::isfinite(value) || !std::isfinite(ln_value)) return number(value, digits);
    const double decimal = ln_value / std::log(10.0);
    double exponent = std::floor(decimal);
    std::string mantissa = number(std::pow(10.0, decimal - exponent), digits);
    if (mantissa.rfind("10", 0) == 0 && mantissa.find_first_not_of("10.") == std::string::npos) {
        mantissa.assign(1, '1');  // 9.9999... rounded up to the next power of ten
        exponent += 1.0;
    }
    return join(mantissa, "e+", number(exponent, 17));
}

std::string unit_of(const Units& units, Quantity quantity) {
    return std::string(unit_name(quantity, units.of(quantity)));
}

}  // namespace

void list_result(const System& system, const CalculationState& state, const Result& result) {
    const Units& u = state.units;
    const int digits = state.configuration.list_digits;
    const std::string amount = unit_of(u, Quantity::amount);
    const std::string energy = unit_of(u, Quantity::energy);
    const std::string pressure = unit_of(u, Quantity::pressure);
    std::string text = "Equilibrium\n";
    text += join("  T = ", number(u.temperature_out(result.temperature), digits), " ",
                 unit_of(u, Quantity::temperature),
                 "   P = ", number(result.pressure / u.pressure_factor(), digits), " ", pressure,
                 "   V = ", number(result.volume / u.volume_factor(), digits), " ",
                 unit_of(u, Quantity::volume), "\n\n");

    Table phases({"Phase / constituent", join("Amount/", amount), "Mole fraction", "Activity"});
    const double rt = gas_constant * result.temperature;
    for (std::size_t p = 0; p < system.phases.size(); ++p) {
        const Phase& phase = system.phases[p];
        const PhaseResult& r = result.phases[p];
        if (r.eliminated) continue;
        if (!state.configuration.list_all_phases && !r.present) continue;
        const double phase_amount = u.mass_amounts() ? r.mass / u.mass_unit_factor() : r.moles;
        phases.add(
            {phase.name, number(phase_amount, digits), "", exp_number(r.ln_activity, digits)});
        if (!phase.is_mixture()) continue;
        for (std::size_t c = 0; c < phase.constituents.size(); ++c) {
            const ConstituentResult& cr = r.constituents[c];
            if (!cr.calculated) continue;
            double ln_activity = cr.ln_activity;
            if (phase.gas) ln_activity += std::log(standard_pressure / u.pressure_factor());
            phases.add({join("  ", phase.constituents[c].name),
                        number(u.amount_out(cr.moles, cr.molar_mass), digits),
                        number(cr.fraction, digits),
                        join(exp_number(ln_activity, digits),
                             phase.gas ? join(" ", pressure) : std::string())});
        }
    }
    (void)rt;
    text += phases.text();

    Table totals({"System", "Value", "Unit"});
    auto add = [&](const char* name, double si, double factor, const std::string& unit) {
        totals.add({name, number(si / factor, digits), unit});
    };
    const bool balances = result.streams;
    add(balances ? "G (reaction)" : "G", result.g - result.stream_g, u.energy_factor(), energy);
    add(balances ? "H (reaction)" : "H", result.h - result.stream_h, u.energy_factor(), energy);
    add(balances ? "S (reaction)" : "S", result.s - result.stream_s, u.energy_factor(),
        join(energy, "/K"));
    add(balances ? "Cp (reaction)" : "Cp", result.cp - result.stream_cp, u.energy_factor(),
        join(energy, "/K"));
    add("V", result.volume, u.volume_factor(), unit_of(u, Quantity::volume));
    text += join("\n", totals.text());

    Table potentials(
        {"Component", join("Amount/", amount), join("Potential/", energy), "Activity"});
    for (std::size_t k = 0; k < system.components.size(); ++k) {
        const int i = static_cast<int>(k);
        potentials.add(
            {system.components[k].name,
             number(u.amount_out(result.incoming[i], result.component_masses[i]), digits),
             number(result.potentials[i] / u.energy_factor(), digits),
             exp_number(result.potentials[i] / (gas_constant * result.temperature), digits)});
    }
    text += join("\n", potentials.text());
    write_list(text);
}

void list_settings(const System& system, const CalculationState& state) {
    const Units& u = state.units;
    const Conditions& c = state.conditions;
    std::string text = "Present settings\n";
    Table conditions({"No.", "Condition", "Phase / constituent", "Value", "Unit"});
    const std::string t_unit = unit_of(u, Quantity::temperature);
    conditions.add({std::to_string(condition_number::temperature), "T", "",
                    number(u.temperature_out(c.temperature), 8), t_unit});
    if (c.volume_in_force)
        conditions.add({std::to_string(condition_number::pressure_or_volume), "VT", "",
                        number(c.volume / u.volume_factor(), 8), unit_of(u, Quantity::volume)});
    else
        conditions.add({std::to_string(condition_number::pressure_or_volume), "P", "",
                        number(c.pressure / u.pressure_factor(), 8),
                        unit_of(u, Quantity::pressure)});
    auto where = [&](int phase, int index) {
        if (phase < 0) return system.components[index].name;
        if (index < 0) return system.phases[phase].name;
        return join(system.phases[phase].name, " ", system.phases[phase].constituents[index].name);
    };
    if (c.target) {
        static const char* names[] = {"A", "A", "CP", "H", "S", "G", "V", "AT", "XT", "XPT"};
        const Target& t = *c.target;
        std::string subject = t.phase < 0 ? "system" : system.phases[t.phase].name;
        if (t.kind == TargetKind::activity || t.kind == TargetKind::fraction)
            subject = where(t.phase, t.index);
        if (t.kind == TargetKind::component_fraction)
            subject = join(subject, " ", system.components[t.index].name);
        conditions.add({std::to_string(condition_number::target), names[static_cast<int>(t.kind)],
                        subject, number(t.value, 8), "(target, SI)"});
    }
    for (const IncomingAmount& a : c.amounts)
        conditions.add(
            {std::to_string(a.number), "IA", where(a.phase, a.index), number(a.moles, 8), "mol"});
    for (const HeldPotential& h : c.potentials)
        conditions.add(
            {std::to_string(h.number), h.activity ? "AC" : "MU", where(h.phase, h.index),
             number(h.activity ? h.value : h.value / u.energy_factor(), 8),
             h.activity ? (system.phases[h.phase].gas ? "Pa" : "") : unit_of(u, Quantity::energy)});
    text += conditions.text();

    if (!state.streams.empty()) {
        Table streams({"Stream", join("T/", t_unit), join("P/", unit_of(u, Quantity::pressure)),
                       "Phase / constituent", "Amount/mol"});
        for (const Stream& s : state.streams) {
            streams.add({s.name, number(u.temperature_out(s.temperature), 8),
                         number(s.pressure / u.pressure_factor(), 8), "", ""});
            for (const StreamAmount& a : s.amounts)
                streams.add({"", "", "", where(a.phase, a.constituent), number(a.moles, 8)});
        }
        text += join("\n", streams.text());
    }
    if (!u.all_default()) {
        Table units({"Quantity", "Unit"});
        for (int q = 0; q < quantity_count; ++q) {
            const Quantity quantity = static_cast<Quantity>(q);
            units.add({std::string(quantity_name(quantity)), unit_of(u, quantity)});
        }
        text += join("\n", units.text());
    }
    if (!state.limits.is_default()) {
        const Limits& l = state.limits;
        Table limits({"Limit", "Value", "Unit"});
        const std::string p_unit = unit_of(u, Quantity::pressure);
        const std::string v_unit = unit_of(u, Quantity::volume);
        limits.add({"TLOW", number(u.temperature_out(l.temperature_low), 8), t_unit});
        limits.add({"THIGH", number(u.temperature_out(l.temperature_high), 8), t_unit});
        limits.add({"PLOW", number(l.pressure_low / u.pressure_factor(), 8), p_unit});
        limits.add({"PHIGH", number(l.pressure_high / u.pressure_factor(), 8), p_unit});
        limits.add({"VLOW", number(l.volume_low / u.volume_factor(), 8), v_unit});
        limits.add({"VHIGH", number(l.volume_high / u.volume_factor(), 8), v_unit});
        text += join("\n", limits.text());
    }
    Table statuses({"Phase / constituent", "Status"});
    bool any_status = false;
    for (const Phase& phase : system.phases) {
        if (phase.status != Status::entered) {
            statuses.add({phase.name, status_text(phase.status)});
            any_status = true;
        }
        for (const Constituent& constituent : phase.constituents) {
            if (constituent.status == Status::entered || !phase.is_mixture()) continue;
            statuses.add(
                {join(phase.name, " ", constituent.name), status_text(constituent.status)});
            any_status = true;
        }
    }
    if (any_status) text += join("\n", statuses.text());
    write_list(text);
}

}  // namespace eqx::equilibrium
