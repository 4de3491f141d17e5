// Phases: count, names, statuses, models, numbers of constituents and sublattices, look-up by
// name. The two copies of a de-mixing phase are phases of their own here, named with "#1" and
// "#2": the bare name abbreviates both and is therefore ambiguous (302).
#include "equilex.h"
#include "queries/lookup.hpp"

using namespace eqx;
using namespace eqx::queries;

extern "C" {

EQX_API void TQNOP(std::int32_t* count, std::int32_t* error) {
    const eqx::LibraryLock lock;
    with_system(error, [&](System& system) {
        put(count, static_cast<std::int32_t>(system.phases.size()));
        ok(error);
    });
}

EQX_API void TQGSP(const std::int32_t* phase, char* status, std::int32_t status_len,
                   std::int32_t* error) {
    const eqx::LibraryLock lock;
    with_system(error, [&](System& system) {
        const Phase* found = phase_at(error, system, phase);
        if (!found) return;
        text_out(status, status_len, status_text(found->status));
        ok(error);
    });
}

// Accepts what TQGSP writes (also blank- or NUL-padded to a buffer's length) in any letter case.
EQX_API void TQCSP(const std::int32_t* phase, const char* status, std::int32_t status_len,
                   std::int32_t* error) {
    const eqx::LibraryLock lock;
    with_system(error, [&](System& system) {
        Phase* found = phase_at(error, system, phase);
        if (!found) return;
        const std::optional<Status> new_status = status_from_text(text_in(status, status_len));
        if (!new_status) return fail(error, eqx::err::bad_option, "not a status");
        found->status = *new_status;
        ok(error);
    });
}

EQX_API void TQGNP(const std::int32_t* phase, char* name, std::int32_t name_len,
                   std::int32_t* error) {
    const eqx::LibraryLock lock;
    with_system(error, [&](System& system) {
        const Phase* found = phase_at(error, system, phase);
        if (!found) return;
        text_out(name, name_len, found->name);
        ok(error);
    });
}

EQX_API void TQMODL(const std::int32_t* phase, char* model, std::int32_t model_len,
                    std::int32_t* error) {
    const eqx::LibraryLock lock;
    with_system(error, [&](System& system) {
        const Phase* found = phase_at(error, system, phase);
        if (!found) return;
        text_out(model, model_len, found->model);
        ok(error);
    });
}

EQX_API void TQNOPC(const std::int32_t* phase, std::int32_t* count, std::int32_t* error) {
    const eqx::LibraryLock lock;
    with_system(error, [&](System& system) {
        const Phase* found = phase_at(error, system, phase);
        if (!found) return;
        put(count, static_cast<std::int32_t>(found->constituents.size()));
        ok(error);
    });
}

// Every mixture phase has at least one sublattice; a stoichiometric phase has none (0).
EQX_API void TQNOSL(const std::int32_t* phase, std::int32_t* count, std::int32_t* error) {
    const eqx::LibraryLock lock;
    with_system(error, [&](System& system) {
        const Phase* found = phase_at(error, system, phase);
        if (!found) return;
        put(count, found->sublattice_count());
        ok(error);
    });
}

EQX_API void TQINP(const char* name, std::int32_t name_len, std::int32_t* phase,
                   std::int32_t* error) {
    const eqx::LibraryLock lock;
    with_system(error, [&](System& system) {
        const int found = find_name(
            error, text_in(name, name_len), static_cast<int>(system.phases.size()),
            [&](int i) -> std::string_view { return system.phases[i].name; }, err::phase_not_found);
        if (found < 0) return;
        put(phase, found + 1);
        ok(error);
    });
}

}  // extern "C"
