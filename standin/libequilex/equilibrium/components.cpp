// System components and charges: TQCSC re-bases the system on other components, TQCHAR gives a
// constituent's charge, TQBOND the pair and quadruplet fractions no model here calculates.
//
// TQCSC takes 30 fields of `names_len` bytes; a field whose first byte is NUL is unused, a used
// one ends at its first NUL and loses its trailing blanks. Each name is a present component or
// a phase constituent (the first of that name, phases in order), matched regardless of letter
// case; the new components are those compositions, under the names as given. The stoichiometry
// of every constituent, the molar masses of the components, the incoming amounts of components
// and the last result are re-expressed in the new basis (the matter they stand for is the
// same); a phase map in progress ends. The system keeps each component's composition in the
// file's components, in which equilibria are calculated (components.hpp).
#include "equilibrium/components.hpp"

#include <cmath>
#include <limits>

#include "equilex.h"
#include "equilibrium/access.hpp"

using namespace eqx;
using namespace eqx::equilibrium;

namespace {

constexpr int component_fields = 30;
constexpr double electron_like_mass = 0.01;  // g/mol: below this a component is an electron

Eigen::VectorXd constituent_vector(const System& system, const Constituent& constituent) {
    const int k = static_cast<int>(system.components.size());
    Eigen::VectorXd v = Eigen::VectorXd::Zero(k);
    for (int c = 0; c < k && c < static_cast<int>(constituent.stoichiometry.size()); ++c)
        v[c] = constituent.stoichiometry[c];
    return v;
}

// The composition a name stands for, or an error number (301, 306).
int composition_of(const System& system, std::string_view name, Eigen::VectorXd& vector) {
    if (name.size() > max_name_length) return err::name_too_long;
    if (name.empty()) return 306;
    const int k = static_cast<int>(system.components.size());
    for (int c = 0; c < k; ++c) {
        if (same_text(system.components[c].name, name)) {
            vector = Eigen::VectorXd::Unit(k, c);
            return 0;
        }
    }
    for (const Phase& phase : system.phases) {
        for (const Constituent& constituent : phase.constituents) {
            if (same_text(constituent.name, name)) {
                vector = constituent_vector(system, constituent);
                return 0;
            }
        }
    }
    return 306;
}

void rebase(System& system, CalculationState& state, const Eigen::MatrixXd& basis,
            const std::vector<std::string>& names) {
    const int k = static_cast<int>(system.components.size());
    // The inverse of a basis of whole coefficients is exact but for rounding, which a step of
    // refinement brings to that of its entries; then its entries that are whole numbers or 0
    // but for rounding are those. An entry of 1e-17 where the exact one is 0 made an amount of
    // terms that were all 0: without calcium, CaCO3 in CaCO3, CO2 and CO got 3e-17 mol from
    // the carbon and oxygen, and CaO held it at activity 1.
    Eigen::MatrixXd inverse = basis.fullPivLu().inverse();
    inverse += inverse * (Eigen::MatrixXd::Identity(k, k) - basis * inverse);
    inverse = tidied(inverse);
    auto transform = [&](const Eigen::VectorXd& v) -> Eigen::VectorXd {
        return tidied(inverse * v);
    };
    // Amounts are not coefficients: 5e-13 mol of CaO is an input to be held, not a rounding of
    // 0, and 1.0000000000005 mol is not 1. Only what the transform's own rounding leaves where
    // the terms cancel (4 epsilon of the terms' magnitudes) becomes 0.
    auto transform_amounts = [&](const Eigen::VectorXd& v) {
        Eigen::VectorXd out = inverse * v;
        const Eigen::VectorXd magnitudes = inverse.cwiseAbs() * v.cwiseAbs();
        for (int c = 0; c < k; ++c)
            if (std::abs(out[c]) <= 4.0 * std::numeric_limits<double>::epsilon() * magnitudes[c])
                out[c] = 0.0;
        return out;
    };
    Eigen::VectorXd masses(k);
    for (int c = 0; c < k; ++c) masses[c] = system.components[c].molar_mass;
    for (Phase& phase : system.phases) {
        for (Constituent& constituent : phase.constituents) {
            const Eigen::VectorXd a = transform(constituent_vector(system, constituent));
            constituent.stoichiometry.assign(a.data(), a.data() + k);
        }
    }
    for (int c = 0; c < k; ++c) {
        system.components[c].name = names[c];
        system.components[c].molar_mass = tidy_coefficient(basis.col(c).dot(masses));
    }
    const Eigen::MatrixXd before = file_basis(system);
    const Eigen::MatrixXd composed =
        tidied(before.size() == 0 ? basis : Eigen::MatrixXd(before * basis));
    system.file_basis.clear();
    if (!composed.isIdentity(0.0))
        system.file_basis.assign(composed.data(), composed.data() + composed.size());
    for (IncomingAmount& amount : state.conditions.amounts)
        if (amount.phase < 0 && amount.components.size() == k)
            amount.components = transform_amounts(amount.components);
    if (state.result) {
        Result& r = *state.result;
        r.incoming = transform_amounts(r.incoming);
        r.potentials = basis.transpose() * r.potentials;
        r.equilibrium.zeta = basis.transpose() * r.equilibrium.zeta;
        r.component_masses = basis.transpose() * r.component_masses;
        for (PhaseResult& phase : r.phases) phase.components = transform_amounts(phase.components);
    }
    state.map = MapProgress{};
}

}  // namespace

namespace eqx::equilibrium {

double tidy_coefficient(double x) {
    const double nearest = std::round(x);
    if (std::abs(x - nearest) < 1e-12 * std::max(1.0, std::abs(x))) return nearest;
    return std::abs(x) < 1e-14 ? 0.0 : x;
}

Eigen::MatrixXd tidied(const Eigen::MatrixXd& a) {
    return a.unaryExpr([](double x) { return tidy_coefficient(x); });
}

Eigen::MatrixXd file_basis(const System& system) {
    const auto k = static_cast<Eigen::Index>(system.components.size());
    if (static_cast<Eigen::Index>(system.file_basis.size()) != k * k) return {};
    return Eigen::Map<const Eigen::MatrixXd>(system.file_basis.data(), k, k);
}

Eigen::VectorXd component_in_file(const System& system, int c, double moles) {
    const auto k = static_cast<Eigen::Index>(system.components.size());
    if (static_cast<Eigen::Index>(system.file_basis.size()) != k * k)
        return moles * Eigen::VectorXd::Unit(k, c);
    return moles * Eigen::Map<const Eigen::MatrixXd>(system.file_basis.data(), k, k).col(c);
}

}  // namespace eqx::equilibrium

extern "C" {

EQX_API void TQCSC(const char* names, std::int32_t names_len, std::int32_t* error) {
    const LibraryLock lock;
    with_calculation(error, [&](System& system, CalculationState& state) {
        std::vector<std::string> given;
        if (names && names_len > 0) {
            for (int field = 0; field < component_fields; ++field) {
                const char* start = names + static_cast<std::ptrdiff_t>(field) * names_len;
                if (start[0] == '\0') continue;
                std::string_view text(start, static_cast<std::size_t>(names_len));
                text = text.substr(0, std::min(text.find('\0'), text.size()));
                given.emplace_back(trim_right(text));
            }
        }
        const int k = static_cast<int>(system.components.size());
        if (static_cast<int>(given.size()) != k) return fail(error, 307);
        Eigen::MatrixXd basis(k, k);
        for (int c = 0; c < k; ++c) {
            Eigen::VectorXd vector;
            const int code = composition_of(system, given[c], vector);
            if (code != 0) return fail(error, code);
            basis.col(c) = vector;
        }
        Eigen::FullPivLU<Eigen::MatrixXd> lu(basis);
        lu.setThreshold(1e-10);
        if (lu.rank() < k) return fail(error, 308);
        rebase(system, state, basis, given);
        ok(error);
    });
}

// The stored charge where the data give one (an aqueous phase, or a constituent with a charge);
// otherwise minus the constituent's coefficients of electron-like components (molar mass below
// 0.01 g/mol), as the nearest whole number.
EQX_API void TQCHAR(const std::int32_t* phase_ptr, const std::int32_t* constituent_ptr,
                    std::int32_t* charge, std::int32_t* error) {
    const LibraryLock lock;
    with_calculation(error, [&](System& system, CalculationState&) {
        const int p = phase_index(error, system, value_of(phase_ptr));
        if (p < 0) return;
        const int c = constituent_index(error, system, p, value_of(constituent_ptr));
        if (c < 0) return;
        const Phase& phase = system.phases[p];
        const Constituent& constituent = phase.constituents[c];
        double value = constituent.charge;
        if (!phase.aqueous && value == 0.0) {
            for (std::size_t k = 0; k < system.components.size(); ++k)
                if (k < constituent.stoichiometry.size() &&
                    system.components[k].molar_mass < electron_like_mass)
                    value -= constituent.stoichiometry[k];
        }
        put(charge, static_cast<std::int32_t>(std::lround(value)));
        ok(error);
    });
}

// No phase model of the stand-in calculates pair or quadruplet fractions: 607 for every phase
// (402 for a phase number out of range), the fraction left as it was.
EQX_API void TQBOND(const std::int32_t* phase_ptr, const std::int32_t*, const std::int32_t*,
                    const std::int32_t*, const std::int32_t*, double*, std::int32_t* error) {
    const LibraryLock lock;
    with_calculation(error, [&](System& system, CalculationState&) {
        if (phase_index(error, system, value_of(phase_ptr)) < 0) return;
        fail(error, err::no_pair_fractions);
    });
}

}  // extern "C"
