// The order of readings in time within a unit: missing times last, each run
// of equal times in reading order.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

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

// A time as stored in a column, integer or float.
union TimeBits {
    int64_t i;
    double f;
};

// Puts the readings pos[0 .. count) in time order, stably.  The time of
// reading p is the 8 bytes at times + 8 * p, an integer when
// `integer_time`, else a float.  Readings already in order are only read.
template <class Pos>
void sort_by_time(Pos *pos, int64_t count, const char *times, bool integer_time) {
    auto time_at = [times](Pos p) {
        TimeBits v;
        std::memcpy(&v, times + 8 * static_cast<int64_t>(p), 8);
        return v;
    };
    auto before = [&](Pos a, Pos b) {
        if (integer_time) return time_less(time_at(a).i, time_at(b).i);
        return time_less(time_at(a).f, time_at(b).f);
    };
    for (int64_t i = 1; i < count; i++)
        if (before(pos[i], pos[i - 1])) {
            std::stable_sort(pos, pos + count, before);
            return;
        }
}

}  // namespace movra::fe_kernel
