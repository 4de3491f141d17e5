#pragma once

#include <array>

namespace raw {

struct RoutineRow {
    const char* name;
    int argument_bytes;
    int min_version;
};

struct ErrorRow {
    long number;
    const char* message;
};

extern const std::array<RoutineRow, 67> routine_rows;
extern const std::array<ErrorRow, 93> error_rows;

}  // namespace raw
