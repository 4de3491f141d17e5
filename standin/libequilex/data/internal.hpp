// Steps the readers of all three formats share.
#pragma once

#include <vector>

#include "system.hpp"

namespace eqx::datafile {

// Data-files hold a phase included twice once, with a count of 2; the loaded system holds both
// copies, named "<name>#1" and "<name>#2". copies has one count (1 or 2) per phase of system.
void expand_demixing_copies(System& system, const std::vector<int>& copies);

// Kind word of a parameter whose file gives none: "R" when more than one sublattice has
// interacting species, else the number of interacting species.
std::string default_kind(const ExcessParameter& parameter);

// All expressions of a parameter get the same length, at least min_values, padded with zeros.
void pad_expressions(ExcessParameter& parameter, std::size_t min_values);

}  // namespace eqx::datafile
