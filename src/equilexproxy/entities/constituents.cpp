// Constituent entities: heat-capacity ranges, phase constituents with their stored
// data, sublattices and species.
#include "context.hpp"
#include "helpers.hpp"
#include "members.hpp"

namespace entities {

using pycore::Ref;

namespace {

using enum MemberKind;

// ---------------------------------------------------------------------------
// CpRange: D = tqgdat(P, C, "Cp", R) holds a, b, c, d, then (coefficient, power)
// pairs: e, i, f, j, g, k. A pair missing from D reads as 0.0.

constexpr const char* cp_range_symbols =
    "E = constituent.parent.engine, P = constituent.parent.index, C = constituent.index, "
    "R = index";

constexpr MemberRow cp_range_members[] = {
    {"a", settable, "E.tqgdat(P, C, 'Cp', R)", "[0]", "E.tqcdat(1, R, 1, C, P, value)"},
    {"b", settable, "E.tqgdat(P, C, 'Cp', R)", "[1]", "E.tqcdat(1, R, 2, C, P, value)"},
    {"c", settable, "E.tqgdat(P, C, 'Cp', R)", "[2]", "E.tqcdat(1, R, 3, C, P, value)"},
    {"d", settable, "E.tqgdat(P, C, 'Cp', R)", "[3]", "E.tqcdat(1, R, 4, C, P, value)"},
    {"e", property, "E.tqgdat(P, C, 'Cp', R)", "[4]", nullptr, "len(D) < 5 -> 0.0"},
    {"f", property, "E.tqgdat(P, C, 'Cp', R)", "[6]", nullptr, "len(D) < 7 -> 0.0"},
    {"g", property, "E.tqgdat(P, C, 'Cp', R)", "[8]", nullptr, "len(D) < 9 -> 0.0"},
    {"i", property, "E.tqgdat(P, C, 'Cp', R)", "[5]", nullptr, "len(D) < 5 -> 0.0"},
    {"j", property, "E.tqgdat(P, C, 'Cp', R)", "[7]", nullptr, "len(D) < 7 -> 0.0"},
    {"k", property, "E.tqgdat(P, C, 'Cp', R)", "[9]", nullptr, "len(D) < 9 -> 0.0"},
    {"Tupper", property, "E.tqgdat(P, C, 'Tt', R)", "[0]"},
    {"Tlower", property, "298.15 if R == 1 else E.tqgdat(P, C, 'Tt', R - 1)[0]"},
    // The transformation enthalpy follows the four coefficients and the pairs.
    {"Ht", settable, "E.tqgdat(P, C, 'Ht', R)", "[0]",
     "n = len(E.tqgdat(P, C, 'Cp', R)); E.tqcdat(1, R, int((n - 4) / 2) + 5, C, P, value)"},
    {"__init__(index, constituent)", init, "index, constituent"},
    {"__repr__", text, "Cp = {a:+#.8}{b:+#.8}*T{c:+#.8}*T^2{d:+#.8}T^-2 [{Tlower}-{Tupper}(K)]"},
    {"a_value", method, "ValueCp(constituent, R, 1)"},
    {"b_value", method, "ValueCp(constituent, R, 2)"},
    {"c_value", method, "ValueCp(constituent, R, 3)"},
    {"d_value", method, "ValueCp(constituent, R, 4)"},
};

// ---------------------------------------------------------------------------
// Constituent

constexpr const char* constituent_symbols = "E = parent.engine, P = parent.index, C = index";

// After a read of the "V" data, error 1004 (no molar volume data) recorded on the
// engine, by this read or an earlier one, gives the fall-back.
constexpr const char* no_volume = "E.last_error == 1004 -> 0.0";

constexpr MemberRow constituent_members[] = {
    {"name", property, "E.tqgnpc(P, C)"},
    {"wmass", property, "E.tqstpc(P, C)", "[0]"},
    {"coeffs", property, "E.tqstpc(P, C)", "[1]"},
    {"incoming", property, "E.tqpcis(P, C)"},
    {"status", settable, "E.tqgspc(P, C)", "", "E.tqcspc(P, C, value)"},
    {"heat_capacity", property, "E.tqgdpc('CP', P, C)"},
    {"enthalpy", property, "E.tqgdpc('H', P, C)"},
    {"entropy", property, "E.tqgdpc('S', P, C)"},
    {"gibbs_energy", property, "E.tqgdpc('G', P, C)"},
    {"volume", property, "E.tqgdpc('V', P, C)"},
    {"temperature_upper", property, "E.tqgdpc('T', P, C)"},
    {"__init__(index, phase)", init, "index, parent = phase"},
    // Reference, magnetic and critical data; the critical data are written with
    // phase argument 1, the gas phase.
    {"H298", settable, "E.tqgdat(P, C, 'H', 1)", "[0]", "E.tqcdat(1, 0, 0, C, P, value)"},
    {"S298", settable, "E.tqgdat(P, C, 'S', 1)", "[0]", "E.tqcdat(1, 0, 1, C, P, value)"},
    {"magnetic_temperature", settable, "E.tqgdat(P, C, 'M', 1)", "[0]",
     "E.tqcdat(7, 1, 1, C, P, value)"},
    {"magnetic_moment", settable, "E.tqgdat(P, C, 'M', 1)", "[1]",
     "E.tqcdat(7, 1, 2, C, P, value)"},
    {"critical_temperature", settable, "E.tqgdat(P, C, 'Gc', 1)", "[0]",
     "E.tqcdat(4, 1, 1, C, 1, value)"},
    {"critical_pressure", settable, "E.tqgdat(P, C, 'Gc', 1)", "[1]",
     "E.tqcdat(4, 1, 2, C, 1, value)"},
    {"critical_volume", settable, "E.tqgdat(P, C, 'Gc', 1)", "[2]",
     "E.tqcdat(4, 1, 3, C, 1, value)"},
    {"acentric_factor", settable, "E.tqgdat(P, C, 'Gc', 1)", "[3]",
     "E.tqcdat(4, 1, 4, C, 1, value)"},
    {"dipole_moment", settable, "E.tqgdat(P, C, 'Gc', 1)", "[4]", "E.tqcdat(4, 1, 5, C, 1, value)"},
    // Molar-volume data: density, then the groups 2 (thermal expansion a-d),
    // 3 (compressibility a-d) and 4 (bulk modulus derivative a, b).
    {"density", settable, "E.tqgdat(P, C, 'V', 1)", "[0]", "E.tqcdat(4, 1, 1, C, P, value)",
     "E.last_error == 1004 -> 0"},
    {"thermal_expansion_a", settable, "E.tqgdat(P, C, 'V', 1)", "[1]",
     "E.tqcdat(4, 2, 1, C, P, value)", no_volume},
    {"thermal_expansion_b", settable, "E.tqgdat(P, C, 'V', 1)", "[2]",
     "E.tqcdat(4, 2, 2, C, P, value)", no_volume},
    {"thermal_expansion_c", settable, "E.tqgdat(P, C, 'V', 1)", "[3]",
     "E.tqcdat(4, 2, 3, C, P, value)", no_volume},
    {"thermal_expansion_d", settable, "E.tqgdat(P, C, 'V', 1)", "[4]",
     "E.tqcdat(4, 2, 4, C, P, value)", no_volume},
    {"thermal_expansion", settable, "E.tqgdat(P, C, 'V', 1)", "[1:5]",
     "E.tqcdat(4, 2, k + 1, C, P, value[k])", "E.last_error == 1004 -> [0.0, 0.0, 0.0, 0.0]", 4},
    {"compressibility_a", settable, "E.tqgdat(P, C, 'V', 1)", "[5]",
     "E.tqcdat(4, 3, 1, C, P, value)", no_volume},
    {"compressibility_b", settable, "E.tqgdat(P, C, 'V', 1)", "[6]",
     "E.tqcdat(4, 3, 2, C, P, value)", no_volume},
    {"compressibility_c", settable, "E.tqgdat(P, C, 'V', 1)", "[7]",
     "E.tqcdat(4, 3, 3, C, P, value)", no_volume},
    {"compressibility_d", settable, "E.tqgdat(P, C, 'V', 1)", "[8]",
     "E.tqcdat(4, 3, 4, C, P, value)", no_volume},
    {"compressibility", settable, "E.tqgdat(P, C, 'V', 1)", "[5:9]",
     "E.tqcdat(4, 3, k + 1, C, P, value[k])", no_volume, 4},
    {"bulk_modulus_derivative_a", settable, "E.tqgdat(P, C, 'V', 1)", "[9]",
     "E.tqcdat(4, 4, 1, C, P, value)", no_volume},
    {"bulk_modulus_derivative_b", settable, "E.tqgdat(P, C, 'V', 1)", "[10]",
     "E.tqcdat(4, 4, 2, C, P, value)", no_volume},
    {"bulk_modulus_derivative", settable, "E.tqgdat(P, C, 'V', 1)", "[9:11]",
     "E.tqcdat(4, 4, k + 1, C, P, value[k])", no_volume, 2},
    {"__str__", text,
     "constituent at: {parent.name} <{index:3}, name: {name:25}, mw: {wmass:6.2}>"},
    {"__repr__", method, "self.__str__()"},
    {"get_Cp_at(index)", method, "CpRange(index, self)"},
    {"H298_value", method, "ValueH(self)"},
    {"S298_value", method, "ValueS(self)"},
};

// ---------------------------------------------------------------------------
// Sublattice, Species

constexpr MemberRow sublattice_members[] = {
    documented("equivalent to `equilex.raw.Equilex.tqnolc`",
               {"number_species", property, "E.tqnolc(P, L)"}),
    {"__init__(index, phase)", init, "index, parent = phase"},
    {"__str__", text,
     "sublattice at {parent.name} <index: {index}, number of species: {number_species}>"},
    {"__repr__", method, "self.__str__()"},
    documented("returns a `equilex.utils.Species` object with a given index",
               {"get_species(index: int)", method, "Species(index, self)"}),
    documented("a list of all species in the sublattice",
               {"species", property, "[Species(k + 1, self) for k in range(number_species)]"}),
    {"species_by_name(name)", method, "Species(E.tqinlc(name, P, L), self)"},
};

// The species' number among all species of its phase: its own index after the
// species of the sublattices before its own.
PyObject* index_global(pycore::Function*, PyObject* const* args) {
    PyObject* self = args[0];
    Ref sublattice = attr(self, "parent");
    Ref position = sublattice ? attr(sublattice.get(), "index") : Ref();
    Ref total = position ? attr(self, "index") : Ref();
    Ref range = total ? global("range") : Ref();
    Ref one = range ? integer(1) : Ref();
    Ref before = one ? call(range.get(), one.get(), position.get()) : Ref();
    Ref iterator = before ? Ref::steal(PyObject_GetIter(before.get())) : Ref();
    if (!iterator) return nullptr;
    while (Ref k = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref parent = attr(self, "parent");
        Ref phase = parent ? attr(parent.get(), "parent") : Ref();
        Ref other = phase ? call_method(phase.get(), "get_sublattice", k.get()) : Ref();
        Ref count = other ? attr(other.get(), "number_species") : Ref();
        total = count ? Ref::steal(PyNumber_InPlaceAdd(total.get(), count.get())) : Ref();
        if (!total) return nullptr;
    }
    return PyErr_Occurred() ? nullptr : total.release();
}

constexpr MemberRow species_members[] = {
    documented("equivalent to `equilex.raw.Equilex.tqgnlc`",
               {"name", property, "E.tqgnlc(P, L, I)"}),
    documented("equivalent to `equilex.raw.Equilex.tqgtlc`",
               {"molar_fraction", property, "E.tqgtlc(P, L, I)"}),
    native("index_global", property, index_global),
    {"__init__(index, sublattice)", init, "index, parent = sublattice"},
    {"__str__", text,
     "species at sublattice {parent.index} of {parent.parent.name} <index: {index}, name: {name}>"},
    {"__repr__", method, "self.__str__()"},
};

}  // namespace

bool make_constituent_classes(PyObject* module) {
    return make_class(module,
                      {"CpRange", nullptr, "Cp(T) = a + b*T + c*T^2+d/T^2+e*T^i+f*T^j+g*T^k",
                       cp_range_symbols, cp_range_members}) &&
           make_class(module, {"Constituent", nullptr, nullptr, constituent_symbols,
                               constituent_members}) &&
           make_class(module,
                      {"Sublattice", nullptr, nullptr,
                       "E = parent.engine, P = parent.index, L = index", sublattice_members}) &&
           make_class(module, {"Species", nullptr, nullptr,
                               "E = parent.parent.engine, P = parent.parent.index, "
                               "L = parent.index, I = index",
                               species_members});
}

}  // namespace entities
