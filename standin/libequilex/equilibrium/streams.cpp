// Streams: named portions of unreacted matter at their own temperature and pressure (TQSTTP,
// TQSTCA, TQSTEC, TQSTXP, TQSTRM). While any stream holds matter, a calculation takes its input
// from the streams, and the extensive results of the system are balances: the equilibrium's
// values minus the streams'.
//
// Names: at most 150 characters (longer, or empty: 202), trailing blanks dropped, letter case
// ignored. At most as many streams as TQSIZE's most constituents, and as many stream
// constituents in all (405). Temperatures, pressures and amounts are in the current units.
// TQSTEC options: "T", "P", "VT" (the final state), "A" (a phase target, indexp the phase),
// "CP", "H", "S", "G", "V" (targets of the reaction, indexp 0 or a phase); "IA", "IA0", "MU",
// "AC" give 504. TQSTXP options: "T", "P", "A", "CP", "H", "S", "G", "V" of the stream, from the
// stream alone (never from the last result); a value that is not representable is refused: 510
// or 509 when the stream's temperature or pressure makes its constituents' functions so, else
// 513 (its amounts are too large). TQSTCA refuses an amount that is not finite in mol (503).
#include <algorithm>
#include <cmath>

#include "equilex.h"
#include "equilibrium/access.hpp"
#include "equilibrium/results.hpp"

using namespace eqx;
using namespace eqx::equilibrium;

namespace {

constexpr std::size_t max_stream_name = 150;

// The stream of that name, or nullptr after failing with 202.
Stream* find_stream(std::int32_t* error, CalculationState& state, std::string_view name) {
    name = trim_right(name);
    if (!name.empty() && name.size() <= max_stream_name) {
        for (Stream& stream : state.streams)
            if (same_text(stream.name, name)) return &stream;
    }
    fail(error, 202);
    return nullptr;
}

std::size_t stream_constituents(const CalculationState& state) {
    std::size_t count = 0;
    for (const Stream& stream : state.streams) count += stream.amounts.size();
    return count;
}

}  // namespace

extern "C" {

EQX_API void TQSTTP(const char* ident, std::int32_t ident_len, const double* vals,
                    std::int32_t* error) {
    const LibraryLock lock;
    with_calculation(error, [&](System&, CalculationState& state) {
        const std::string_view name = trim_right(text_in(ident, ident_len));
        // Listings show the name: ASCII, as every text the library hands out.
        if (name.empty() || name.size() > max_stream_name || name.find('\0') != name.npos ||
            !is_ascii(name))
            return fail(error, 202);
        const double temperature = state.units.temperature_in(vals ? vals[0] : 0.0);
        const double pressure = (vals ? vals[1] : 0.0) * state.units.pressure_factor();
        if (!(temperature > 0.0) || !std::isfinite(temperature))
            return fail(error, err::bad_temperature);
        if (!(pressure > 0.0) || !std::isfinite(pressure)) return fail(error, err::bad_pressure);
        Stream* stream = nullptr;
        for (Stream& s : state.streams)
            if (same_text(s.name, name)) stream = &s;
        if (!stream) {
            if (state.streams.size() >= static_cast<std::size_t>(limits::constituents))
                return fail(error, 405);
            stream = &state.streams.emplace_back();
            stream->name.assign(name);
        }
        stream->temperature = temperature;
        stream->pressure = pressure;
        ok(error);
    });
}

EQX_API void TQSTRM(const char* ident, std::int32_t ident_len, std::int32_t* error) {
    const LibraryLock lock;
    with_calculation(error, [&](System&, CalculationState& state) {
        Stream* stream = find_stream(error, state, text_in(ident, ident_len));
        if (!stream) return;
        state.streams.erase(state.streams.begin() + (stream - state.streams.data()));
        ok(error);
    });
}

EQX_API void TQSTCA(const char* ident, std::int32_t ident_len, const std::int32_t* phase_ptr,
                    const std::int32_t* constituent_ptr, const double* value, std::int32_t* error) {
    const LibraryLock lock;
    with_calculation(error, [&](System& system, CalculationState& state) {
        Stream* stream = find_stream(error, state, text_in(ident, ident_len));
        if (!stream) return;
        const int p = phase_index(error, system, value_of(phase_ptr));
        if (p < 0) return;
        const int c = constituent_index(error, system, p, value_of(constituent_ptr));
        if (c < 0) return;
        const double amount = value_of(value);
        if (!(amount >= 0.0) || !std::isfinite(amount))
            return fail(error, err::negative_stream_amount);
        if (!state.conditions.amounts.empty() || !state.conditions.potentials.empty())
            return fail(error, err::conditions_and_streams);
        if (!system.phases[p].constituents[c].incoming) return fail(error, err::not_incoming);
        const double moles = state.units.amount_in(amount, constituent_molar_mass_kg(system, p, c));
        if (!std::isfinite(moles)) return fail(error, err::negative_stream_amount);
        auto found =
            std::find_if(stream->amounts.begin(), stream->amounts.end(),
                         [&](const StreamAmount& a) { return a.phase == p && a.constituent == c; });
        if (found != stream->amounts.end()) {
            found->moles = moles;
            return ok(error);
        }
        if (stream_constituents(state) >= static_cast<std::size_t>(limits::constituents))
            return fail(error, 405);
        stream->amounts.push_back({p, c, moles});
        ok(error);
    });
}

EQX_API void TQSTEC(const char* option, std::int32_t option_len, const std::int32_t* phase_ptr,
                    const double* value_ptr, std::int32_t* error) {
    const LibraryLock lock;
    with_calculation(error, [&](System& system, CalculationState& state) {
        const std::string_view name = text_in(option, option_len);
        const std::int32_t phase = value_of(phase_ptr);
        const double value = value_of(value_ptr);
        const Units& u = state.units;
        Conditions& c = state.conditions;
        for (const char* refused : {"IA", "IA0", "MU", "AC"})
            if (is_option(name, refused)) return fail(error, err::stream_option_refused);
        if (is_option(name, "T") || is_option(name, "P") || is_option(name, "VT")) {
            if (phase != 0) return fail(error, err::phase_index);
            if (is_option(name, "T")) {
                c.temperature = u.temperature_in(value);
                c.temperature_set = true;
            } else if (is_option(name, "P")) {
                c.pressure = value * u.pressure_factor();
                c.pressure_set = true;
                c.volume_in_force = false;
            } else {
                c.volume = value * u.volume_factor();
                c.volume_in_force = true;
            }
            return ok(error);
        }
        if (is_option(name, "A")) {
            const int p = phase_index(error, system, phase);
            if (p < 0) return;
            c.target = Target{value >= 0.0 ? TargetKind::formation : TargetKind::precipitation, p,
                              -1, value};
            return ok(error);
        }
        static constexpr std::pair<std::string_view, TargetKind> extensive[] = {
            {"CP", TargetKind::heat_capacity}, {"H", TargetKind::enthalpy},
            {"S", TargetKind::entropy},        {"G", TargetKind::gibbs_energy},
            {"V", TargetKind::volume},
        };
        for (const auto& [text, kind] : extensive) {
            if (!is_option(name, text)) continue;
            int p = -1;
            if (phase != 0) {
                p = phase_index(error, system, phase);
                if (p < 0) return;
            }
            const double factor =
                kind == TargetKind::volume ? u.volume_factor() : u.energy_factor();
            c.target = Target{kind, p, -1, value * factor};
            return ok(error);
        }
        fail(error, err::bad_option);
    });
}

EQX_API void TQSTXP(const char* ident, std::int32_t ident_len, const char* option,
                    std::int32_t option_len, double* value, std::int32_t* error) {
    const LibraryLock lock;
    with_calculation(error, [&](System& system, CalculationState& state) {
        Stream* stream = find_stream(error, state, text_in(ident, ident_len));
        if (!stream) return;
        const std::string_view name = text_in(option, option_len);
        const Units& u = state.units;
        if (is_option(name, "T")) {
            put(value, u.temperature_out(stream->temperature));
            return ok(error);
        }
        if (is_option(name, "P")) {
            put(value, stream->pressure / u.pressure_factor());
            return ok(error);
        }
        const StreamProperties sums = stream_properties(system, *stream);
        // The SI value and the factor of its unit.
        double si = 0.0;
        double factor = u.energy_factor();
        if (is_option(name, "A")) {
            si = u.mass_amounts() ? sums.mass : sums.moles;
            factor = u.mass_amounts() ? u.mass_unit_factor() : 1.0;
        } else if (is_option(name, "CP")) {
            si = sums.cp;
        } else if (is_option(name, "H")) {
            si = sums.h;
        } else if (is_option(name, "S")) {
            si = sums.s;
        } else if (is_option(name, "G")) {
            si = sums.g;
        } else if (is_option(name, "V")) {
            si = sums.v;
            factor = u.volume_factor();
        } else {
            return fail(error, err::bad_option);
        }
        if (!representable(si)) return fail(error, stream_error(system, *stream));
        put(value, si / factor);
        ok(error);
    });
}

}  // extern "C"
