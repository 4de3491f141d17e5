// System units: the five quantities, the units the library accepts for each, and the
// conversions between the current units and the SI values kept inside (K, Pa, m3, J, mol, kg).
// Every value that crosses the call interface is converted here and nowhere else.
#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace eqx::equilibrium {

enum class Quantity { temperature, pressure, volume, energy, amount };
inline constexpr int quantity_count = 5;

// The option texts of TQGSU/TQCSU, in the order of Quantity.
std::string_view quantity_name(Quantity quantity);
std::optional<Quantity> quantity_from_text(std::string_view text);

// The units of a quantity, the default first; their canonical spellings.
std::string_view unit_name(Quantity quantity, int unit);
// Case and trailing blanks or NULs do not matter; -1 when the text names no unit.
int unit_from_text(Quantity quantity, std::string_view text);

// Whether a unit of amount is a mass (every one but "mol").
bool is_mass_unit(int amount_unit);

// The current unit of each quantity (indices into the tables; 0 is the default).
struct Units {
    std::array<int, quantity_count> unit{};

    int of(Quantity quantity) const { return unit[static_cast<int>(quantity)]; }
    bool all_default() const;

    // Temperature: absolute values (C and F have offsets).
    double temperature_in(double value) const;    // current unit -> K
    double temperature_out(double kelvin) const;  // K -> current unit
    // Factors: SI value = value in current unit * factor.
    double pressure_factor() const;  // -> Pa
    double volume_factor() const;    // -> m3
    double energy_factor() const;    // -> J
    // Amounts: mol in, mol out, for a substance of molar mass M (kg/mol). With "mol" M is not
    // used; with a mass unit the value is the substance's mass.
    bool mass_amounts() const { return is_mass_unit(of(Quantity::amount)); }
    double amount_in(double value, double molar_mass) const;  // current unit -> mol
    double amount_out(double moles, double molar_mass) const;
    // Per amount unit: the SI value per mol becomes a value per current amount unit.
    double per_amount_out(double per_mole, double molar_mass) const;
    // Mass of one current amount unit in kg (only for mass units).
    double mass_unit_factor() const;
};

// The gas constant used by every calculation (J/(mol K)) and the standard pressure.
inline constexpr double gas_constant = 8.3144621;
inline constexpr double faraday_constant = 96485.3365;  // C/mol
inline constexpr double standard_pressure = 1e5;        // Pa (1 bar)
inline constexpr double pascal_per_bar = 1e5;

}  // namespace eqx::equilibrium
