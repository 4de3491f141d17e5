// The routines that read and write data-files and report the sizes of the loaded system.
#include <cstdio>

#include "core/library.hpp"
#include "data/datafile.hpp"
#include "data/system.hpp"
#include "equilex.h"
#include "equilibrium/state.hpp"

namespace {

using eqx::DataFormat;
using eqx::Library;
namespace datafile = eqx::datafile;

// The bytes of the file open on the FILE unit. A unit opened for writing is read through its
// path, so that its own stream keeps its position.
bool read_file_unit(std::int32_t* error, std::string& bytes) {
    Library& lib = eqx::library();
    eqx::OpenUnit* unit = eqx::open_unit(lib.file_unit);
    if (!unit || !unit->file) {
        eqx::fail(error, eqx::err::unit_not_open,
                  "no file is open on unit " + std::to_string(lib.file_unit) + " (option FILE)");
        return false;
    }
    bool read = false;
    if (unit->writable) {
        std::fflush(unit->file);
        if (std::FILE* file = std::fopen(unit->path.c_str(), "rb")) {
            read = datafile::read_whole_file(file, bytes);
            std::fclose(file);
        }
    } else {
        read = datafile::read_whole_file(unit->file, bytes);
    }
    if (!read) {
        eqx::fail(error, eqx::err::bad_data_file, "cannot read " + unit->path);
        return false;
    }
    return true;
}

// Reading replaces the loaded system; a failed read leaves none, so that later queries report
// 104 instead of answering from a half-read or an earlier system.
void read_data_file(std::int32_t* error, datafile::Format format, DataFormat kind) {
    if (!error || !eqx::need_init(error)) return;
    Library& lib = eqx::library();
    lib.system.reset();
    eqx::equilibrium::calculation_state().forget_system();
    lib.data_format = DataFormat::none;
    lib.data_unit = 0;
    lib.data_path.clear();
    std::string bytes;
    if (!read_file_unit(error, bytes)) return;
    datafile::ReadResult result = datafile::read(format, bytes);
    if (result.error != 0) {
        eqx::fail(error, result.error, result.message);
        return;
    }
    lib.system = std::move(result.system);
    lib.data_format = kind;
    lib.data_unit = lib.file_unit;
    lib.data_path = eqx::open_unit(lib.file_unit)->path;
    eqx::ok(error);
}

}  // namespace

extern "C" {

EQX_API void TQRFIL(std::int32_t* error) {
    const eqx::LibraryLock lock;
    eqx::guarded(error, eqx::err::bad_data_file,
                 [&] { read_data_file(error, datafile::Format::dat, DataFormat::ascii); });
}

EQX_API void TQRCST(std::int32_t* error) {
    const eqx::LibraryLock lock;
    eqx::guarded(error, eqx::err::bad_data_file,
                 [&] { read_data_file(error, datafile::Format::cst, DataFormat::transparent); });
}

EQX_API void TQRBIN(std::int32_t* error) {
    const eqx::LibraryLock lock;
    eqx::guarded(error, eqx::err::bad_data_file,
                 [&] { read_data_file(error, datafile::Format::bin, DataFormat::binary); });
}

EQX_API void TQUSED(std::int32_t* constituents, std::int32_t* components,
                    std::int32_t* mixture_phases, std::int32_t* excess_gibbs_coefficients,
                    std::int32_t* excess_magnetic_coefficients, std::int32_t* sublattices_per_phase,
                    std::int32_t* constituents_per_sublattice,
                    std::int32_t* quasichemical_constituents,
                    std::int32_t* gibbs_equations_per_constituent, std::int32_t* gibbs_equations,
                    std::int32_t* volume_constituents, std::int32_t* error) {
    const eqx::LibraryLock lock;
    if (!error || !eqx::need_init(error)) return;
    int sizes[eqx::size_item_count] = {};
    if (const eqx::System* system = eqx::library().system.get()) system->sizes(sizes);
    std::int32_t* outputs[eqx::size_item_count] = {constituents,
                                                   components,
                                                   mixture_phases,
                                                   excess_gibbs_coefficients,
                                                   excess_magnetic_coefficients,
                                                   sublattices_per_phase,
                                                   constituents_per_sublattice,
                                                   quasichemical_constituents,
                                                   gibbs_equations_per_constituent,
                                                   gibbs_equations,
                                                   volume_constituents};
    for (int i = 0; i < eqx::size_item_count; ++i) eqx::put(outputs[i], sizes[i]);
    eqx::ok(error);
}

EQX_API void TQWASC(const char* filename, std::int32_t filename_len, std::int32_t* error) {
    const eqx::LibraryLock lock;
    if (!error || !eqx::need_system(error)) return;
    eqx::guarded(error, eqx::err::cannot_write, [&] {
        Library& lib = eqx::library();
        if (lib.data_format != DataFormat::ascii) {
            eqx::fail(error, eqx::err::no_ascii_data);
            return;
        }
        // Blank-padded names from fixed-length buffers are common; NULs cannot be in a path.
        std::string name(eqx::trim_right(eqx::text_in(filename, filename_len)));
        if (name.empty() || name.find('\0') != std::string::npos) {
            eqx::fail(error, eqx::err::cannot_open, "no usable file name");
            return;
        }
        std::string text = datafile::write_dat(*lib.system, eqx::ascii_source_open());
        std::FILE* file = std::fopen(name.c_str(), "wb");
        if (!file) {
            eqx::fail(error, eqx::err::cannot_open, "cannot create " + name);
            return;
        }
        bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
        written = std::fclose(file) == 0 && written;
        if (!written) {
            eqx::fail(error, eqx::err::cannot_write, "cannot write " + name);
            return;
        }
        eqx::ok(error);
    });
}

}  // extern "C"
