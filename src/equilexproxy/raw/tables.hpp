#pragma once

#include <array>

namespace raw {

struct VersionRow {
    const char* name;
    int min_version;
};

struct ErrorRow {
    long number;
    const char* message;
};

extern const std::array<VersionRow, 67> version_rows;
extern const std::array<ErrorRow, 93> error_rows;

}  // namespace raw
