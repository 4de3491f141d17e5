#include "equilibrium/units.hpp"

#include <algorithm>

#include "core/library.hpp"

namespace eqx::equilibrium {

namespace {

struct UnitRow {
    std::string_view name;
    double factor;  // to SI (temperature: unused)
};

constexpr std::array<std::string_view, quantity_count> quantity_names = {
    "Temperature", "Pressure", "Volume", "Energy", "Amount"};

constexpr std::array<UnitRow, 3> temperature_units = {{{"K", 1}, {"C", 1}, {"F", 1}}};
constexpr std::array<UnitRow, 6> pressure_units = {{{"bar", 1e5},
                                                    {"atm", 101325.0},
                                                    {"Pa", 1.0},
                                                    {"kPa", 1e3},
                                                    {"psi", 6894.75729},
                                                    {"torr", 101325.0 / 760.0}}};
constexpr std::array<UnitRow, 5> volume_units = {
    {{"dm3", 1e-3}, {"cm3", 1e-6}, {"m3", 1.0}, {"ft3", 0.028316846592}, {"in3", 1.6387064e-5}}};
constexpr std::array<UnitRow, 4> energy_units = {
    {{"J", 1.0}, {"cal", 4.184}, {"Btu", 1055.05585262}, {"kWh", 3.6e6}}};
// Masses in kg ("mol" has no mass factor).
constexpr std::array<UnitRow, 5> amount_units = {
    {{"mol", 1.0}, {"gram", 1e-3}, {"kg", 1.0}, {"tonne", 1e3}, {"pound", 0.45359237}}};

struct Table {
    const UnitRow* rows;
    int count;
};

Table table(Quantity quantity) {
    switch (quantity) {
        case Quantity::temperature:
            return {temperature_units.data(), static_cast<int>(temperature_units.size())};
        case Quantity::pressure:
            return {pressure_units.data(), static_cast<int>(pressure_units.size())};
        case Quantity::volume:
            return {volume_units.data(), static_cast<int>(volume_units.size())};
        case Quantity::energy:
            return {energy_units.data(), static_cast<int>(energy_units.size())};
        case Quantity::amount:
            break;
    }
    return {amount_units.data(), static_cast<int>(amount_units.size())};
}

// Option texts arrive from fixed-length buffers: trailing blanks and NULs are padding.
std::string_view trimmed(std::string_view text) {
    std::size_t end = text.size();
    while (end > 0 && (text[end - 1] == ' ' || text[end - 1] == '\0')) --end;
    return text.substr(0, end);
}

bool same_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return ascii_lower(x) == ascii_lower(y);
           });
}

}  // namespace

std::string_view quantity_name(Quantity quantity) {
    return quantity_names[static_cast<int>(quantity)];
}

std::optional<Quantity> quantity_from_text(std::string_view text) {
    text = trimmed(text);
    for (int i = 0; i < quantity_count; ++i)
        if (same_ignoring_case(text, quantity_names[i])) return static_cast<Quantity>(i);
    return std::nullopt;
}

std::string_view unit_name(Quantity quantity, int unit) {
    const Table t = table(quantity);
    return unit >= 0 && unit < t.count ? t.rows[unit].name : std::string_view{};
}

int unit_from_text(Quantity quantity, std::string_view text) {
    text = trimmed(text);
    const Table t = table(quantity);
    for (int i = 0; i < t.count; ++i)
        if (same_ignoring_case(text, t.rows[i].name)) return i;
    return -1;
}

bool is_mass_unit(int amount_unit) {
    return amount_unit != 0;
}

bool Units::all_default() const {
    return std::all_of(unit.begin(), unit.end(), [](int u) { return u == 0; });
}

double Units::temperature_in(double value) const {
    switch (of(Quantity::temperature)) {
        case 1:
            return value + 273.15;
        case 2:
            return (value + 459.67) * 5.0 / 9.0;
        default:
            return value;
    }
}

double Units::temperature_out(double kelvin) const {
    switch (of(Quantity::temperature)) {
        case 1:
            return kelvin - 273.15;
        case 2:
            return kelvin * 9.0 / 5.0 - 459.67;
        default:
            return kelvin;
    }
}

double Units::pressure_factor() const {
    return pressure_units[of(Quantity::pressure)].factor;
}
double Units::volume_factor() const {
    return volume_units[of(Quantity::volume)].factor;
}
double Units::energy_factor() const {
    return energy_units[of(Quantity::energy)].factor;
}
double Units::mass_unit_factor() const {
    return amount_units[of(Quantity::amount)].factor;
}

double Units::amount_in(double value, double molar_mass) const {
    if (!mass_amounts()) return value;
    return value * mass_unit_factor() / molar_mass;
}

double Units::amount_out(double moles, double molar_mass) const {
    if (!mass_amounts()) return moles;
    return moles * molar_mass / mass_unit_factor();
}

double Units::per_amount_out(double per_mole, double molar_mass) const {
    if (!mass_amounts()) return per_mole;
    return per_mole * mass_unit_factor() / molar_mass;
}

}  // namespace eqx::equilibrium
