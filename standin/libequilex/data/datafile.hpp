// Readers and writers of the three data-file formats. Pure functions over bytes: no library
// state, so the converter and the tests' fixture generator use exactly the library's code.
//
//   .dat  YAML document in the schema of data/README.md, optionally followed by a line "..." and
//         a free commentary block.
//   .cst  transparent: a fixed header (magic, version, sizes, CRC-32 of the payload) and a
//         payload of little-endian fixed-width fields.
//   .bin  binary: magic, version and the same payload in a compact variable-length encoding.
//
// Every reader bounds every count by the bytes that remain, so malformed, truncated or
// bit-flipped input ends in an error number, never in a crash, a hang or a huge allocation.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "system.hpp"

namespace eqx::datafile {

enum class Format { dat, cst, bin };

// Error numbers of the readers besides the section numbers of read_error_number().
inline constexpr int error_read = 103;
inline constexpr int error_checksum = 155;
inline constexpr int error_header_sizes = 156;
inline constexpr int error_magic = 161;
inline constexpr int error_version = 162;

inline constexpr std::uint32_t cst_version = 1;
inline constexpr std::uint32_t bin_version = 1;
inline constexpr std::uint32_t dat_schema_version = 1;
inline constexpr char cst_magic[8] = {'\x7f', 'E', 'Q', 'X', 'C', 'S', 'T', '\n'};
inline constexpr char bin_magic[8] = {'\x7f', 'E', 'Q', 'X', 'B', 'I', 'N', '\n'};
inline constexpr std::size_t cst_header_size = 44;

// Larger files are refused (103) before they are read.
inline constexpr std::size_t max_file_size = std::size_t{64} << 20;

struct ReadResult {
    std::unique_ptr<System> system;  // set exactly when error == 0
    int error = 0;
    std::string message;  // where and what, e.g. "line 12: phase 2, constituent 1: no Cp range"
};

ReadResult read_dat(std::string_view bytes);
ReadResult read_cst(std::string_view bytes);
ReadResult read_bin(std::string_view bytes);
ReadResult read(Format format, std::string_view bytes);

// The .dat text of a system; the commentary block follows its "..." line when asked for and
// not empty.
std::string write_dat(const System& system, bool with_commentary);
// The .cst bytes; version is what the header states (tests write unknown versions with it).
std::string write_cst(const System& system, std::uint32_t version = cst_version);
std::string write_bin(const System& system);
std::string write(Format format, const System& system);

// Whole content of an open file from its start, at most max_file_size bytes. false when it
// cannot be read or is too large.
bool read_whole_file(std::FILE* file, std::string& bytes);

}  // namespace eqx::datafile
