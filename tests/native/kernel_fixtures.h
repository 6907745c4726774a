// What the kernel's tests share: comparisons of values, small tables of
// readings with their windows and the records pandas gives for them.
#pragma once

#include "checks.h"
#include "fe_kernel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace movra_tests {

using namespace movra::fe_kernel;

inline const double NaN = std::numeric_limits<double>::quiet_NaN();

inline bool same(double want, double got, double rel = 1e-12) {
    if (std::isnan(want) || std::isnan(got)) return std::isnan(want) && std::isnan(got);
    if (want == got) return true;
    return std::fabs(want - got) <= rel * std::max(std::fabs(want), std::fabs(got));
}

inline void check_values(const std::vector<double> &want, const std::vector<double> &got, const std::string &what) {
    check(want.size() == got.size(),
          what + ": " + std::to_string(got.size()) + " values, want " + std::to_string(want.size()));
    for (size_t i = 0; i < want.size() && i < got.size(); i++)
        check(same(want[i], got[i]), what + " [" + std::to_string(i) + "]: got " +
                                         std::to_string(got[i]) + ", want " + std::to_string(want[i]));
}

inline std::vector<double> stats_of(std::vector<double> v, Moments m = Moments::CorrectedTwoPass) {
    std::vector<double> out(kStats);
    series_stats(v.data(), static_cast<int64_t>(v.size()), m, out.data());
    return out;
}

inline bool identical(double want, double got) { return (std::isnan(want) && std::isnan(got)) || want == got; }

inline Column ints(const std::vector<int64_t> &v) { return Column{nullptr, v.data()}; }
inline Column floats(const std::vector<double> &v) { return Column{v.data(), nullptr}; }

// The readings of `unit`, `time` and `value` (the columns stay the caller's);
// the time is key column 0, followed by `keys`.
inline Table table_of(const std::vector<int64_t> &unit, Column time, const std::vector<double> &value,
                      const std::vector<Column> &keys = {}) {
    Table t;
    t.rows = static_cast<int64_t>(unit.size());
    t.unit = unit.data();
    t.time = time;
    t.value = value.data();
    t.keys = {time};
    t.keys.insert(t.keys.end(), keys.begin(), keys.end());
    return t;
}

// Readings of units 7 and 3, shuffled, with two readings at time 5 and a
// missing value; W = T / 3 and WD = T % 3 are the period and profile keys.
struct Readings {
    std::vector<int64_t> unit{7, 3, 7, 7, 7, 3, 7, 7, 7, 7, 7, 3};
    std::vector<int64_t> time{5, 11, 1, 3, 2, 10, 8, 5, 4, 7, 6, 13};
    std::vector<double> value{1, 1, 2, NaN, 3, 1, 2, 4, 5, 6, 0, 1};
    std::vector<int64_t> w, wd;
    Readings() {
        for (int64_t t : time) {
            w.push_back(t / 3);
            wd.push_back(t % 3);
        }
    }
    Table table() const { return table_of(unit, ints(time), value, {ints(w), ints(wd)}); }
};

inline Options options(bool del_t_maximin) {
    Options o;
    o.tactic = {0, 1};  // T, W
    o.periodic = {2};   // WD
    Scalar one, two;
    one.i = 1;
    two.i = 2;
    o.lags = {one, two};
    o.del_t_maximin = del_t_maximin;
    return o;
}

// A window's record in feature order: kept period entries, profile groups,
// lags, span; the profile keys go to `keys`.
inline std::vector<double> record(const Result &r, int64_t w, std::vector<int64_t> *keys = nullptr) {
    const size_t T = r.period_kept.size() / r.windows, P = r.profile_groups.size() / r.windows,
                 L = r.lag.size() / r.windows / kLagWidth;
    size_t group = 0;
    for (int64_t i = 0; i < w; i++)
        for (size_t p = 0; p < P; p++) group += r.profile_groups[i * P + p];
    std::vector<double> out;
    if (r.rows[w] == 0) return out;
    for (size_t t = 0; t < T; t++)
        if (r.period_kept[w * T + t])
            out.insert(out.end(), r.period.begin() + (w * T + t) * kPeriodWidth,
                       r.period.begin() + (w * T + t + 1) * kPeriodWidth);
    for (size_t p = 0; p < P; p++)
        for (int64_t g = 0; g < r.profile_groups[w * P + p]; g++, group++) {
            if (keys) keys->push_back(r.profile_keys[group].i);
            out.insert(out.end(), r.profile_stats.begin() + group * kStats,
                       r.profile_stats.begin() + (group + 1) * kStats);
        }
    for (size_t l = 0; l < L; l++)
        out.insert(out.end(), r.lag.begin() + (w * L + l) * kLagWidth, r.lag.begin() + (w * L + l + 1) * kLagWidth);
    out.push_back(static_cast<double>(r.span[2 * w].i));
    out.push_back(static_cast<double>(r.span[2 * w + 1].i));
    return out;
}

inline std::vector<Window> windows() {
    std::vector<Window> ws(5);
    ws[0].unit = 7;  // every reading of unit 7
    ws[1].unit = 7;  // START 2, END 6
    ws[1].has_start = ws[1].has_end = true;
    ws[1].start.i = 2;
    ws[1].end.i = 6;
    ws[2].unit = 7;  // the last 3 readings
    ws[2].has_forward_r = true;
    ws[2].forward_r = 3;
    ws[3].unit = 99;  // no such unit
    ws[4].unit = 3;   // START 10, END 13, BACKWARD_T 1: time >= 11
    ws[4].has_start = ws[4].has_end = ws[4].has_backward_t = true;
    ws[4].start.i = 10;
    ws[4].end.i = 13;
    ws[4].backward_t_from.i = 11;
    return ws;
}

inline const std::vector<std::vector<double>> kWant = {
    {6.0, 0.0, 2.5, 5.0, 1.5, 2.875, 2.295181287579947, 0.01329240297547019, -1.5151692042516516, 2.0, 0.0, 8.0,
     10.0, 5.0, 8.0, 9.0, 6.5, 7.666666666666667, 2.516611478423583, -0.5855827262813879, NaN, 0.0, 0.0, 3.0,
     0.0, 0.0, 0.0, 0.0, 0.0, 0.0, NaN, NaN, NaN, 6.0, 2.0, 5.0, 5.5, 3.5, 4.333333333333333, 2.0816659994661326,
     -1.2933427807333964, NaN, 4.0, 1.0, 2.5, 3.25, 1.75, 2.5, 1.2909944487358056, 0.0, -1.200000000000001, 6.0,
     -4.0, -1.0, 0.0, -4.0, -1.0, 3.6514837167011076, 1.2939945421059547, 1.5825000000000007, 0.0, 3.0, 10.0,
     -0.3147239926140359, 5.0, -5.0, 2.0, 2.0, 2.0, 1.2, 3.7013511046643495, -1.4948181242131051,
     3.237785710480047, 0.0, 5.0, 10.0, -0.19769341753963707, 1.0, 8.0},
    {5.0, 0.0, 3.0, 5.0, 0.0, 2.6, 2.5099800796022267, -0.1960427877744244, -3.030990173847316, 2.0, 0.0, 5.0,
     10.0, 0.0, 3.0, 6.5, 1.5, 4.333333333333333, 5.131601439446884, 1.0902905798280031, NaN, 1.0, 0.0, 3.0, 0.0,
     0.0, 0.0, 0.0, 0.0, 0.0, NaN, NaN, NaN, 5.0, 5.0, 5.0, 5.0, 5.0, 5.0, NaN, NaN, NaN, 4.0, 1.0, 3.0, 3.5,
     2.0, 2.6666666666666665, 1.5275252316519465, -0.9352195295828246, NaN, -1.0, -4.0, -2.5, -1.0, -4.0, -2.5,
     1.7320508075688772, 0.0, -6.0, 0.0, 3.0, 7.0, 0.5813953488372093, 2.0, -5.0, -1.5, 0.25, -3.25, -1.5,
     4.949747468305833, NaN, NaN, 0.0, 4.0, 6.0, -1.0, 2.0, 6.0},
    {6.0, 0.0, 2.0, 4.0, 1.0, 2.6666666666666665, 3.055050463303893, 0.9352195295828248, NaN, 1.0, 0.0, 3.0, 8.0,
     8.0, 8.0, 8.0, 8.0, 8.0, NaN, NaN, NaN, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, NaN, NaN, NaN, 6.0, 6.0,
     6.0, 6.0, 6.0, 6.0, NaN, NaN, NaN, 2.0, 2.0, 2.0, 2.0, 2.0, 2.0, NaN, NaN, NaN, 6.0, -4.0, 1.0, 3.5, -1.5,
     1.0, 7.0710678118654755, NaN, NaN, 0.0, 1.0, 3.0, -1.0, 2.0, 2.0, 2.0, 2.0, 2.0, 2.0, NaN, NaN, NaN, 0.0,
     2.0, 3.0, NaN, 6.0, 8.0},
    {},
    {1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 0.0, NaN, NaN, 0.0, 0.0, 2.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 0.0, NaN, NaN, 0.0,
     0.0, 2.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, NaN, NaN, NaN, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, NaN, NaN, NaN, NaN, NaN,
     NaN, NaN, NaN, NaN, NaN, NaN, NaN, 0.0, 2.0, 2.0, NaN, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, NaN, NaN, NaN, 1.0, 1.0,
     2.0, NaN, 11.0, 13.0},
};

// Records as raw bytes, for comparisons to the last bit.
inline std::vector<unsigned char> bytes_of(const Result &r) {
    std::vector<unsigned char> out;
    auto put = [&](const auto &v) {
        const auto *p = reinterpret_cast<const unsigned char *>(v.data());
        out.insert(out.end(), p, p + v.size() * sizeof(v[0]));
    };
    put(r.rows);
    put(r.period_kept);
    put(r.period);
    put(r.profile_groups);
    put(r.profile_keys);
    put(r.profile_stats);
    put(r.lag);
    put(r.span);
    return out;
}

inline std::vector<double> arrow_stats_of(std::vector<double> v) {
    std::vector<double> out(kStats);
    arrow_series_stats(v.data(), static_cast<int64_t>(v.size()), out.data());
    return out;
}

}  // namespace movra_tests
