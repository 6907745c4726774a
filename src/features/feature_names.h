// The pieces of feature labels.  A period entry's labels are value + "_" +
// its tactic column + "_" + a field's name; a profile group's value + "_" +
// its periodic column + "_" + str(key) + "_" + a field's name; a lag entry's
// value + kDiffInfix + str(lag) + "_" + a field's name; the span's value +
// each of kSpanSuffixes.  The pandas path, the kernel's layer
// (record_layout.cpp) and the derived columns build them from these.
#pragma once

#include "fe_kernel.h"

#include <iterator>

namespace movra {

// fe_kernel::Stat's statistics, then fe_kernel::Field's counts and ACOR.
inline const char *const kFieldNames[] = {"MAX",  "MIN", "MEDIAN", "Q3",    "Q1", "MEAN", "STD",
                                          "SKEW", "KURT", "NB_0",  "NB_NA", "NB", "ACOR"};
static_assert(std::size(kFieldNames) == fe_kernel::kLagWidth, "a name for every field of the widest entry");

inline const char *const kDiffInfix = "_DIFF_";
inline const char *const kSpanSuffixes[] = {"_START", "_END"};

}  // namespace movra
