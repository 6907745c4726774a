// The order of readings in time within a unit: missing times last, each run
// of equal times in reading order.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

#include "fe_kernel.h"
#include "ordering_common.h"

namespace movra::fe_kernel {

template <class T>
bool time_less(T a, T b) {
    if constexpr (std::is_floating_point_v<T>)
        return !std::isnan(a) && (std::isnan(b) || a < b);
    else
        return a < b;
}

// Whether t[begin .. end) is in time order.
template <class T>
bool in_time_order(const T *t, int64_t begin, int64_t end) {
    for (int64_t i = begin + 1; i < end; i++)
        if (time_less(t[i], t[i - 1])) return false;
    return true;
}

// f(t) with the time axis' values typed as they are held: int64, the
// narrower signed integers a caller may give, or double.
template <class F>
auto with_times(const Column &time, F &&f) {
    if (time.i64) return f(time.i64);
    if (time.i32) return f(time.i32);
    if (time.i16) return f(time.i16);
    if (time.i8) return f(time.i8);
    return f(time.f64);
}

// A time as stored in a column, integer or float.
union TimeBits {
    int64_t i;
    double f;
};

// Puts the readings pos[0 .. count) in time order, stably.  The time of
// reading p is the `width` bytes at times + width * p, a signed integer
// when `integer_time` (of 1, 2, 4 or 8 bytes), else a float (of 8).
// Readings already in order are only read.
// A sort reads each time once, into a list of its own: the times may be the
// caller's, which a thread outside the interpreter's lock could change
// meanwhile, and a sort whose comparisons contradict each other may step
// outside its range.
template <class Pos>
void sort_by_time(Pos *pos, int64_t count, const char *times, bool integer_time, int width = 8) {
    auto time_at = [times, width](Pos p) {
        TimeBits v;
        v.i = static_cast<int64_t>(load(times + width * static_cast<int64_t>(p), width, true));
        return v;
    };
    auto before = [integer_time](TimeBits a, TimeBits b) {
        return integer_time ? time_less(a.i, b.i) : time_less(a.f, b.f);
    };
    for (int64_t i = 1; i < count; i++)
        if (before(time_at(pos[i]), time_at(pos[i - 1]))) {
            std::vector<std::pair<TimeBits, Pos>> timed(static_cast<size_t>(count));
            for (int64_t r = 0; r < count; r++) timed[static_cast<size_t>(r)] = {time_at(pos[r]), pos[r]};
            std::stable_sort(timed.begin(), timed.end(),
                             [&](const auto &a, const auto &b) { return before(a.first, b.first); });
            for (int64_t r = 0; r < count; r++) pos[r] = timed[static_cast<size_t>(r)].second;
            return;
        }
}

}  // namespace movra::fe_kernel
