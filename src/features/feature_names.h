// The suffixes of feature labels: each field of a record's entries, by its
// place in the entry.  The pandas path and the kernel's layer build the
// same labels from them.
#pragma once

#include "fe_kernel.h"

#include <iterator>

namespace movra {

// fe_kernel::Stat's statistics, then fe_kernel::Field's counts and ACOR.
inline const char *const kFieldNames[] = {"MAX",  "MIN", "MEDIAN", "Q3",    "Q1", "MEAN", "STD",
                                          "SKEW", "KURT", "NB_0",  "NB_NA", "NB", "ACOR"};
static_assert(std::size(kFieldNames) == fe_kernel::kLagWidth, "a name for every field of the widest entry");

}  // namespace movra
