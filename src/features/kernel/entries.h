// The entries of a window's record: one per tactic, periodic and lag entry,
// and the span of its times.  Internal to the kernel.
#pragma once

#include "window_work.h"

#include <cstdint>
#include <vector>

namespace movra::fe_kernel {

// The statistics of the per-period aggregates of value[a .. e), by `key`.
void period_entry(const Column &key, const double *value, int64_t a, int64_t e, const Options &o, Work &w,
                  Result &out);

// The statistics of the readings [a, e) of each key.
void profile_entry(const Column &key, const double *value, int64_t a, int64_t e, const Options &o, Work &w,
                   Result &out);

// The statistics of the differences between each reading of [a, e) and the
// readings `lags[l]` earlier, and their correlation; timed_end: where the
// readings without a time begin.
template <class T>
void lag_entries(const T *t, const double *value, int64_t a, int64_t e, int64_t timed_end,
                 const std::vector<Scalar> &lags, const Options &o, Work &w, Result &out);

// The smallest and the largest time of [a, timed_end).
template <class T>
void span_entry(const T *t, int64_t a, int64_t timed_end, Result &out);

}  // namespace movra::fe_kernel
