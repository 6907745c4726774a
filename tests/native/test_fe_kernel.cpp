// Unit tests of the fe4ts kernel, without Python.  Expected values are the
// ones pandas returns for the same Series and windows (small cases, worked
// out once and written down here).
#include "checks.h"
#include "fe_kernel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <stdexcept>
#include <type_traits>
#include <string>
#include <vector>

using namespace movra::fe_kernel;
using movra_tests::check;

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();

bool same(double want, double got, double rel = 1e-12) {
    if (std::isnan(want) || std::isnan(got)) return std::isnan(want) && std::isnan(got);
    if (want == got) return true;
    return std::fabs(want - got) <= rel * std::max(std::fabs(want), std::fabs(got));
}

void check_values(const std::vector<double> &want, const std::vector<double> &got,
                  const std::string &what) {
    check(want.size() == got.size(),
          what + ": " + std::to_string(got.size()) + " values, want " + std::to_string(want.size()));
    for (size_t i = 0; i < want.size() && i < got.size(); i++)
        check(same(want[i], got[i]), what + " [" + std::to_string(i) + "]: got " +
                                         std::to_string(got[i]) + ", want " + std::to_string(want[i]));
}

std::vector<double> stats_of(std::vector<double> v, Moments m = Moments::CorrectedTwoPass) {
    std::vector<double> out(kStats);
    series_stats(v.data(), static_cast<int64_t>(v.size()), m, out.data());
    return out;
}

// ---- statistics -----------------------------------------------------------

void test_pairwise_sum() {
    std::vector<double> ints;
    for (int n : {0, 5, 8, 100, 1000}) {
        ints.clear();
        double want = 0;
        for (int i = 1; i <= n; i++) {
            ints.push_back(i);
            want += i;
        }
        check(pairwise_sum(ints.data(), n) == want, "sum of 1.." + std::to_string(n));
    }
    // Summation order shows: a plain loop leaves 1e16 unchanged, numpy's
    // pairwise blocks keep the ones.
    std::vector<double> big{1e16};
    big.resize(201, 1.0);
    check(pairwise_sum(big.data(), 201) == 1.0000000000000188e+16, "pairwise order of 1e16 + 200 ones");
    std::vector<double> tenths;
    for (int i = 1; i <= 300; i++) tenths.push_back(0.1 * i);
    check(pairwise_sum(tenths.data(), 300) == 4515.0, "pairwise sum of 0.1 i");
}

// float32 readings (widened): pandas' float32 arithmetic, each result a
// float32.  Values from pandas 3.1 on numpy 2 and pandas 2.2 on numpy 1.26;
// the moments of the second take float32 deviations.
void test_float32_stats() {
    std::vector<double> v;
    for (float x : {1000.123f, 1003.7f, NAN, 997.31f, 1001.9f, 999.99f, 1002.45f, 998.8f, 1000.07f, 996.5f, 1004.2f})
        v.push_back(x);
    std::vector<double> out(kStats);
    const std::vector<double> common{1004.2000122070312, 996.5, 1000.0964965820312, 1002.3125, 999.0974731445312,
                                     1000.50439453125, 2.5678763389587402};
    auto with = [&](double skew, double kurt) {
        std::vector<double> all = common;
        all.push_back(skew);
        all.push_back(kurt);
        return all;
    };
    series_stats(v.data(), static_cast<int64_t>(v.size()), Moments::CorrectedTwoPass, out.data(), Precision::Float32);
    check_values(with(-0.0723930299282074, -0.9322484731674194), out, "float32 stats, pandas 3.1");
    series_stats(v.data(), static_cast<int64_t>(v.size()), Moments::ZeroedTwoPass, out.data(),
                 Precision::Float32Legacy);
    check_values(with(-0.0723484605550766, -0.932253897190094), out, "float32 stats, pandas 2.2");
}

void test_series_stats() {
    // MAX MIN MEDIAN Q3 Q1 MEAN STD SKEW KURT, missing values skipped.
    check_values({8.0, 1.0, 3.0, 5.0, 1.75, 3.75, 3.095695936834452, 1.1376243669576889, 0.7576559546313781},
                 stats_of({1, NaN, 2, 4, 8}), "stats with a missing value");
    check_values({7.0, -1.0, 2.5, 2.875, 0.625, 2.3333333333333335, 2.7868739954771304, 0.7234250360342143,
                  1.0326677595829725},
                 stats_of({3.0, -1.0, 2.5, 7.0, 0.0, 2.5}), "stats, even count");
    // Small counts: one value has no spread, skewness needs 3, kurtosis 4.
    check_values({3, 3, 3, 3, 3, 3, NaN, NaN, NaN}, stats_of({3}), "one value");
    check_values({4, 2, 3, 3.5, 2.5, 3, 1.4142135623730951, NaN, NaN}, stats_of({2, 4}), "two values");
    check(std::isnan(stats_of({1, 2, 4})[8]) && !std::isnan(stats_of({1, 2, 4})[7]), "three values: skew, no kurt");
    check_values(std::vector<double>(kStats, NaN), stats_of({NaN, NaN}), "all missing");
    check_values(std::vector<double>(kStats, NaN), stats_of({}), "empty");
    // Constant data: no skewness or kurtosis (pandas >= 3.1) ...
    check_values({5, 5, 5, 5, 5, 5, 0, NaN, NaN}, stats_of({5, 5, 5, 5}), "constant, corrected moments");
    // ... against 0 under the zero-variance rule of earlier pandas,
    check_values({5, 5, 5, 5, 5, 5, 0, 0, 0}, stats_of({5, 5, 5, 5}, Moments::ZeroedTwoPass),
                 "constant, zeroed moments");
    // which also zeroes a second moment below 1e-14 however real the spread.
    check_values({4e-08, 1e-08, 2e-08, 3.0000000000000004e-08, 1.5000000000000002e-08, 2.3333333333333334e-08,
                  1.5275252316519467e-08, 0.0, NaN},
                 stats_of({1e-8, 2e-8, 4e-8}, Moments::ZeroedTwoPass), "tiny spread, zeroed moments");
    check(same(0.9352195295828247, stats_of({1e-8, 2e-8, 4e-8})[7], 1e-9), "tiny spread, corrected moments");
    // Infinite values take part like numpy's arithmetic makes them.
    const auto inf = stats_of({1, std::numeric_limits<double>::infinity(), 2});
    check(std::isinf(inf[0]) && inf[1] == 1 && inf[2] == 2 && std::isinf(inf[5]) && std::isnan(inf[6]),
          "infinite value");
}

std::vector<double> arrow_stats_of(std::vector<double> v) {
    std::vector<double> out(kStats);
    arrow_series_stats(v.data(), static_cast<int64_t>(v.size()), out.data());
    return out;
}

void test_arrow_stats() {
    // pyarrow's MAX MIN MEDIAN Q3 Q1 MEAN STD SKEW KURT (its kurtosis formula rounds otherwise than pandas').
    check_values({8.0, 1.0, 3.0, 5.0, 1.75, 3.75, 3.095695936834452, 1.1376243669576889, 0.7576559546313799},
                 arrow_stats_of({1, NaN, 2, 4, 8}), "arrow stats with a null");
    // Thirds in runs split by two nulls: pyarrow's blocks of 16 within each run give a mean and a
    // deviation one unit in the last place away from numpy's pairwise sums.
    std::vector<double> thirds;
    for (int j = 0; j < 40; j++) thirds.push_back(((j * 7) % 13 + 1) / 3.0);
    thirds[5] = thirds[20] = NaN;
    const auto got = arrow_stats_of(thirds);
    const std::vector<double> want{4.333333333333333, 0.3333333333333333, 2.166666666666667, 3.25, 1.0833333333333333,
                                   2.219298245614035, 1.288144872267398, 0.12932546619170943, -1.1815314101286871};
    for (int s = 0; s < kStats; s++)
        check(got[s] == want[s], "arrow stats of thirds [" + std::to_string(s) + "] to the last bit");
    // A null where pyarrow lacks the values; a NaN that it computes is another NaN.
    const auto one = arrow_stats_of({3}), two = arrow_stats_of({2, 4}), constant = arrow_stats_of({5, 5, 5, 5});
    check(std::isnan(one[6]) && !is_arrow_nan(one[6]) && std::isnan(two[7]) && !is_arrow_nan(two[7]),
          "too few values: null");
    check(constant[6] == 0 && is_arrow_nan(constant[7]) && is_arrow_nan(constant[8]), "constant: computed NaN");
    check(!is_arrow_nan(NaN) && std::isnan(arrow_nan()), "computed NaN is a NaN of its own");
}

// ---- order statistics against sorting ------------------------------------------

// numpy's median and linear quartiles, and pyarrow's, read off the valid
// values sorted: the plain computation that the kernel's selection must
// reproduce to the last bit.
struct SortedQuartiles {
    std::vector<double> s;
    explicit SortedQuartiles(const std::vector<double> &v) {
        for (double x : v)
            if (!std::isnan(x)) s.push_back(x);
        std::sort(s.begin(), s.end());
    }
    double median() const {
        const size_t n = s.size();
        if (n == 0) return NaN;
        return n % 2 ? (0.0 + s[n / 2]) / 1.0 : (0.0 + s[n / 2 - 1] + s[n / 2]) / 2.0;
    }
    double numpy(double q) const {
        const size_t n = s.size();
        if (n == 0) return NaN;
        const double vi = static_cast<double>(n - 1) * q;
        const size_t prev = static_cast<size_t>(std::floor(vi)), next = std::min(prev + 1, n - 1);
        const double gamma = vi - std::floor(vi), a = s[prev], b = s[next], diff = b - a;
        return gamma >= 0.5 ? b - diff * (1 - gamma) : a + diff * gamma;
    }
    double arrow(double q) const {
        if (s.empty()) return NaN;
        const double index = static_cast<double>(s.size() - 1) * q;
        const size_t lower = static_cast<size_t>(index);
        const double fraction = index - static_cast<double>(lower);
        return fraction == 0 ? s[lower] : fraction * s[lower + 1] + (1 - fraction) * s[lower];
    }
};

bool identical(double want, double got) { return (std::isnan(want) && std::isnan(got)) || want == got; }

// Random Series of every shape the selection treats apart: tiny and large,
// many ties or none, missing values, one value repeated, an outlier far
// from the rest, infinities, values too close or too far apart for buckets.
void test_order_statistics_against_sorting() {
    uint64_t state = 99;
    auto next = [&] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return state >> 11;
    };
    auto uniform = [&] { return static_cast<double>(next()) / 9007199254740992.0; };
    const double inf = std::numeric_limits<double>::infinity();
    const int64_t sizes[] = {0, 1, 2, 3, 4, 5, 7, 39, 40, 41, 42, 64, 100, 148, 257, 1035, 5000};
    int cases = 0;
    for (int shape = 0; shape < 9; shape++)
        for (int64_t n : sizes)
            for (int rep = 0; rep < 3; rep++) {
                std::vector<double> v(static_cast<size_t>(n));
                for (double &x : v) {
                    switch (shape) {
                        case 0: x = std::round(uniform() * 4000) / 100; break;  // rounded readings
                        case 1: x = static_cast<double>(next() % 3); break;    // three values
                        case 2: x = 7.25; break;                               // one value
                        case 3: x = uniform() - 0.5; break;                    // no ties
                        case 4: x = uniform() < 0.02 ? 1e300 : uniform(); break;  // outliers
                        case 5: x = uniform() < 0.05 ? (uniform() < 0.5 ? -inf : inf) : uniform(); break;
                        case 6: x = (1 + static_cast<double>(next() % 50)) * 1e-320; break;  // subnormal
                        case 7: x = (uniform() - 0.5) * 1.5e308; break;  // hi - lo overflows
                        default: x = uniform() < 0.3 ? 0.0 : -std::floor(uniform() * 9); break;  // zeros
                    }
                    if (rep > 0 && uniform() < 0.15 * rep) x = NaN;
                }
                const SortedQuartiles want(v);
                std::vector<double> out(kStats), arrow(kStats);
                series_stats(v.data(), n, Moments::CorrectedTwoPass, out.data());
                arrow_series_stats(v.data(), n, arrow.data());
                const std::string what = " of shape " + std::to_string(shape) + ", " + std::to_string(n) + " values";
                check(identical(want.median(), out[Stat::Median]), "median" + what);
                check(identical(want.numpy(0.75), out[Stat::Q3]) && identical(want.numpy(0.25), out[Stat::Q1]),
                      "quartiles" + what);
                check(identical(want.arrow(0.5), arrow[Stat::Median]) && identical(want.arrow(0.75), arrow[Stat::Q3]) &&
                          identical(want.arrow(0.25), arrow[Stat::Q1]),
                      "arrow quartiles" + what);
                cases++;
            }
    check(cases == 9 * 17 * 3, "every shape tried");
}

void test_corr() {
    // Pairs with a missing or infinite member are left out.
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> x{2, 4, 6, 9, 1, NaN, 3}, y{1, 2, 3, 4, NaN, 5, inf};
    check(same(0.9943767126843689, pairwise_corr(x.data(), y.data(), 7)), "corr");
    std::vector<double> c{1, 1, 1};
    check(std::isnan(pairwise_corr(c.data(), y.data(), 3)), "corr with a constant column");
    check(std::isnan(pairwise_corr(x.data(), y.data(), 1)), "corr of one pair");
    check(std::isnan(pairwise_corr(x.data(), y.data(), 0)), "corr of no pairs");
}

// ---- windows --------------------------------------------------------------

Column ints(const std::vector<int64_t> &v) { return Column{nullptr, v.data()}; }
Column floats(const std::vector<double> &v) { return Column{v.data(), nullptr}; }

// The readings of `unit`, `time` and `value` (the columns stay the caller's);
// the time is key column 0, followed by `keys`.
Table table_of(const std::vector<int64_t> &unit, Column time, const std::vector<double> &value,
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

Options options(bool del_t_maximin) {
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
std::vector<double> record(const Result &r, int64_t w, std::vector<int64_t> *keys = nullptr) {
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

std::vector<Window> windows() {
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

const std::vector<std::vector<double>> kWant = {
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

void test_windows() {
    Readings data;
    Kernel kernel(data.table());
    check(kernel.reordered(), "shuffled readings are reordered");
    const auto ws = windows();
    Result r;
    check(kernel.run(ws.data(), static_cast<int64_t>(ws.size()), options(false), r) == Kernel::Status::Ok,
          "run succeeds");
    check(r.windows == 5, "one record per window");
    const std::vector<int64_t> rows{9, 6, 3, 0, 2};
    for (int w = 0; w < 5; w++) {
        check(r.rows[w] == rows[w], "readings in window " + std::to_string(w));
        check_values(kWant[w], record(r, w), "record of window " + std::to_string(w));
    }
    std::vector<int64_t> keys;
    record(r, 0, &keys);
    check(keys == std::vector<int64_t>({0, 1, 2}), "profile keys ascending");
    // The two readings at time 5 repeat the lag-1 pairing of time 6: NB 10.
    check(r.lag[kLagWidth - 2] == 10, "lag rows include the repeated pairing");

    // Appending further windows to the same result keeps earlier records.
    check(kernel.run(ws.data(), 1, options(false), r) == Kernel::Status::Ok && r.windows == 6,
          "results accumulate");
    check_values(kWant[0], record(r, 5), "record appended after others");
}

void test_del_t_maximin() {
    Readings data;
    Kernel kernel(data.table());
    const auto ws = windows();
    Result r;
    check(kernel.run(ws.data(), static_cast<int64_t>(ws.size()), options(true), r) == Kernel::Status::Ok, "run");
    // Window 0: the first and last day and week are left out of the aggregates,
    // while NB still counts them; the profiles and lags do not change.
    check_values({6.0, 0.0, 4.0, 5.0, 0.75, 3.1666666666666665, 2.6394443859772205, -0.4640675095420218,
                  -2.0940454659920804, 2.0, 0.0, 8.0, 10.0, 10.0, 10.0, 10.0, 10.0, 10.0, NaN, NaN, NaN, 0.0, 0.0,
                  3.0},
                 std::vector<double>(r.period.begin(), r.period.begin() + 2 * kPeriodWidth), "dropped extremes");
    // Window 4 holds two days and two weeks: nothing is left, no entries.
    check(r.period_kept[4 * 2] == 0 && r.period_kept[4 * 2 + 1] == 0, "two periods leave nothing");
    check(record(r, 4).size() == 2 * kStats + 2 * kLagWidth + 2, "record without period entries");
}

std::vector<unsigned char> bytes_of(const Result &r);

void test_order_and_ties() {
    // The same readings already in order need no copy and give the same records.
    Readings shuffled;
    std::vector<size_t> order(shuffled.unit.size());
    for (size_t i = 0; i < order.size(); i++) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return shuffled.unit[a] != shuffled.unit[b] ? shuffled.unit[a] < shuffled.unit[b]
                                                     : shuffled.time[a] < shuffled.time[b];
    });
    Readings sorted;
    for (size_t i = 0; i < order.size(); i++) {
        sorted.unit[i] = shuffled.unit[order[i]];
        sorted.time[i] = shuffled.time[order[i]];
        sorted.value[i] = shuffled.value[order[i]];
        sorted.w[i] = shuffled.w[order[i]];
        sorted.wd[i] = shuffled.wd[order[i]];
    }
    Kernel kernel(sorted.table());
    check(!kernel.reordered(), "ordered readings are used in place");
    const auto ws = windows();
    Result r;
    check(kernel.run(ws.data(), static_cast<int64_t>(ws.size()), options(false), r) == Kernel::Status::Ok, "run");
    for (int w = 0; w < 5; w++) check_values(kWant[w], record(r, w), "ordered input, window " + std::to_string(w));

    // A positional cut between the two readings at time 5 depends on how the
    // tie is ordered: the kernel declines the window.
    Window cut;
    cut.unit = 7;
    cut.has_forward_r = true;
    cut.forward_r = 4;  // times 5 | 5 6 7 8
    check(kernel.locate(cut).ambiguous, "cut inside a tie");
    int64_t at = -1;
    Result r2;
    Window both[2] = {ws[0], cut};
    check(kernel.run(both, 2, options(false), r2, &at) == Kernel::Status::Ambiguous && at == 1 && r2.windows == 1,
          "run stops at the ambiguous window");
    // On several threads too, with ambiguous windows here and there (the
    // first at the end of the first run handed out, while the other threads
    // go on): the records before the first, and only those, as on one thread.
    for (int first : {36, 137}) {
        std::vector<Window> many;
        for (int i = 0; i < 300; i++) many.push_back(i == first || i == 210 || i == 299 ? cut : ws[i % 5]);
        Result one;
        check(kernel.run(many.data(), first, options(false), one) == Kernel::Status::Ok, "run");
        for (int threads : {2, 3}) {
            Kernel shared(sorted.table(), nullptr, threads);
            Result got;
            int64_t stopped = -1;
            check(shared.run(many.data(), 300, options(false), got, &stopped) == Kernel::Status::Ambiguous &&
                      stopped == first && bytes_of(got) == bytes_of(one),
                  "run on " + std::to_string(threads) + " threads stops at the first ambiguous window");
        }
    }
    cut.forward_r = 5;  // times 4 | 5 5 6 7 8: the tie stays whole
    check(!kernel.locate(cut).ambiguous, "cut beside a tie");
    cut.has_backward_r = true;
    cut.backward_r = 1;  // then the first of 5 5 6 7 8: inside the tie again
    check(kernel.locate(cut).ambiguous, "second cut inside a tie");
    // Python slice rules for the counts.
    Window w;
    w.unit = 7;
    w.has_forward_r = true;
    w.forward_r = 0;  // rows[-0:] keeps everything
    check(kernel.locate(w).end - kernel.locate(w).begin == 9, "FORWARD_R 0 keeps all");
    w.forward_r = -7;  // rows[7:]
    check(kernel.locate(w).end - kernel.locate(w).begin == 2, "negative FORWARD_R");
    w.forward_r = std::numeric_limits<int64_t>::min();
    check(kernel.locate(w).end == kernel.locate(w).begin, "FORWARD_R at the int64 limit");
    w.has_forward_r = false;
    w.has_backward_r = true;
    w.backward_r = 0;  // rows[:0] keeps nothing
    check(kernel.locate(w).end == kernel.locate(w).begin, "BACKWARD_R 0 keeps none");
    w.backward_r = -2;  // rows[:-2]
    check(kernel.locate(w).end - kernel.locate(w).begin == 7, "negative BACKWARD_R");
    w.backward_r = 100;
    check(kernel.locate(w).end - kernel.locate(w).begin == 9, "BACKWARD_R beyond the end");
    Window none;
    none.unit = 7;
    none.matches_nothing = true;
    check(kernel.locate(none).end == kernel.locate(none).begin, "a window that matches nothing");
}

void test_float_time() {
    // Times 1 2 NaN 2 NaN 3 with lag 1: a missing time pairs with every
    // missing time (pandas merge matches NaN keys), 2 pairs with 1, 3 with both 2s.
    std::vector<int64_t> unit(6, 1);
    std::vector<double> time{1, 2, NaN, 2, NaN, 3}, value{1, 2, 3, 4, 5, 6};
    Kernel kernel(table_of(unit, floats(time), value));
    Options o;
    o.tactic = {0};
    Scalar one;
    one.f = 1;
    o.lags = {one};
    Window all, timed;
    all.unit = timed.unit = 1;
    timed.has_start = true;
    timed.start.f = -std::numeric_limits<double>::infinity();
    Result r;
    check(kernel.run(&all, 1, o, r) == Kernel::Status::Ok && kernel.run(&timed, 1, o, r) == Kernel::Status::Ok,
          "run");
    check(r.rows[0] == 6 && r.rows[1] == 4, "missing times only without a time filter");
    // Period over the times: 1 -> 1, 2 -> 2 + 4, 3 -> 6; NB counts NaN once.
    check_values({6, 1, 6, 6, 3.5, 13.0 / 3, 2.886751345948129, -1.7320508075688776, NaN, 0, 0, 4},
                 std::vector<double>(r.period.begin(), r.period.begin() + kPeriodWidth), "float periods");
    // diffs in time order: 1 none; 2 -> 2-1; 2 -> 4-1; 3 -> 6-2, 6-4;
    // NaN -> 3-3, 3-5; NaN -> 5-3, 5-5
    const double *lag = r.lag.data();
    check(lag[11] == 9 && lag[10] == 1 && lag[9] == 2, "NaN times pair with each other");
    check(lag[0] == 4 && lag[1] == -2, "lag extremes");
    check(r.span[0].f == 1 && r.span[1].f == 3, "span skips missing times");
    check(r.lag[kLagWidth + 11] == 5, "time filter drops missing times");
    // A missing bound keeps nothing.
    Window nan_bound;
    nan_bound.unit = 1;
    nan_bound.has_end = true;
    nan_bound.end.f = NaN;
    check(kernel.locate(nan_bound).end == kernel.locate(nan_bound).begin, "missing bound");
}

void test_unsorted_units_and_keys() {
    // Units interleaved, a float key column with missing keys, out of order.
    std::vector<int64_t> unit{2, 1, 2, 1, 2, 1, 2};
    std::vector<int64_t> time{3, 2, 1, 1, 2, 3, 4};
    std::vector<double> value{3, 20, 1, 10, 2, 30, 4};
    std::vector<double> key{0.5, NaN, 1.5, 0.5, NaN, 1.5, 0.5};
    Kernel kernel(table_of(unit, ints(time), value, {floats(key)}));
    Options o;
    o.tactic = {0, 1};
    o.periodic = {1};
    Window w;
    w.unit = 2;
    Result r;
    check(kernel.run(&w, 1, o, r) == Kernel::Status::Ok, "run");
    // Unit 2 in time order: values 1 2 3 4, keys 1.5 NaN 0.5 0.5.
    check(r.rows[0] == 4, "unit 2 readings");
    check(r.profile_groups[0] == 2 && r.profile_keys[0].f == 0.5 && r.profile_keys[1].f == 1.5,
          "float profile keys ascending, missing key dropped");
    check(r.profile_stats[0] == 4 && r.profile_stats[1] == 3 && r.profile_stats[kStats] == 1, "profile groups");
    // Period over the key: 0.5 -> 7, 1.5 -> 1; NB 3 (NaN counted once).
    check(r.period[kPeriodWidth + 0] == 7 && r.period[kPeriodWidth + 1] == 1 && r.period[kPeriodWidth + 11] == 3,
          "float period keys");
}

// ---- records against plain computations ------------------------------------------

// A random unit's readings in time order, with repeated times, missing and
// signed-zero values, and key columns of every kind the grouping treats
// apart; its record is checked against groups, pairs and sums formed the
// plain way: a map from key to values, every pair of times searched,
// series_stats of each Series.
void test_records_against_plain_computation() {
    uint64_t state = 7;
    auto next = [&] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return state >> 33;
    };
    const std::vector<int64_t> sizes{1, 2, 9, 40, 200, 700};
    for (int64_t n : sizes)
        for (int variant = 0; variant < 4; variant++) {
            const bool repeats = variant % 2 == 1;
            std::vector<int64_t> unit(n, 1), time(n), ascending(n), small(n), wide(n), codes(n);
            std::vector<double> value(n), floating(n);
            int64_t t = 0;
            for (int64_t i = 0; i < n; i++) {
                // Variant 2: one time step apart, as daily readings without a gap.
                t += repeats ? static_cast<int64_t>(next() % 3) : variant == 2 ? 1 : 1 + static_cast<int64_t>(next() % 2);
                time[i] = t;
                ascending[i] = t / 4;
                small[i] = static_cast<int64_t>(next() % 5);
                wide[i] = (static_cast<int64_t>(next() % 1000) - 500) * 1000003;  // both signs
                codes[i] = static_cast<int64_t>(next() % 7) - 1;  // -1: no category
                // Both signs, and -0.0, which is 0.0's key.
                const uint64_t f = next() % 12;
                floating[i] = f < 2 ? NaN : f == 2 ? -0.0 : static_cast<double>(static_cast<int64_t>(next() % 8) - 4) / 2;
                const uint64_t r = next() % 20;
                value[i] = r == 0 ? NaN : r == 1 ? 0.0 : r == 2 ? -0.0 : static_cast<double>(next() % 2000) / 100 - 5;
            }
            if (variant >= 2)  // no missing values at all: the sums take their shortcuts
                for (double &v : value)
                    if (std::isnan(v)) v = 1.5;
            std::vector<Column> keys{ints(ascending), ints(small), ints(wide), floats(floating), ints(codes)};
            keys.back().categories = 6;
            Kernel kernel(table_of(unit, ints(time), value, keys));
            Options o;
            for (int k = 0; k <= 5; k++) {
                o.tactic.push_back(k);
                if (k > 0) o.periodic.push_back(k);
            }
            for (int64_t lag : {1, 2, 0, -1, 7, 1000}) {
                Scalar l;
                l.i = lag;
                o.lags.push_back(l);
            }
            Window w;
            w.unit = 1;
            Result r;
            check(kernel.run(&w, 1, o, r) == Kernel::Status::Ok, "run");
            const std::string what = std::to_string(n) + " readings, variant " + std::to_string(variant);

            // Groups by key value, or by category (every one a group).
            auto groups_of = [&](size_t k) {
                std::map<double, std::vector<double>> by_key;
                const Column &c = k == 0 ? ints(time) : keys[k - 1];
                if (c.categories)
                    for (int64_t g = 0; g < c.categories; g++) by_key[static_cast<double>(g)];
                for (int64_t i = 0; i < n; i++) {
                    const double key = c.f64 ? c.f64[i] : static_cast<double>(c.i64[i]);
                    if (std::isnan(key) || (c.categories && (key < 0 || key >= c.categories))) continue;
                    by_key[key].push_back(value[i]);
                }
                return by_key;
            };
            bool all_same = true;
            auto same_bits = [&](const double *want, const double *got, int count) {
                for (int j = 0; j < count; j++) all_same = all_same && identical(want[j], got[j]);
            };
            std::vector<double> want(kStats);
            for (size_t k = 0; k < o.tactic.size(); k++) {
                std::vector<double> sums;
                for (const auto &[key, values] : groups_of(o.tactic[k])) {
                    std::vector<double> filled(values);
                    for (double &v : filled) v = std::isnan(v) ? 0.0 : v;
                    sums.push_back(0.0 + pairwise_sum(filled.data(), static_cast<int64_t>(filled.size())));
                }
                all_same = all_same && r.period_kept[k] == !sums.empty();  // no key at all: no entry
                if (sums.empty()) continue;
                series_stats(sums.data(), static_cast<int64_t>(sums.size()), o.moments, want.data());
                same_bits(want.data(), &r.period[k * kPeriodWidth], kStats);
                const double zeros = static_cast<double>(std::count(sums.begin(), sums.end(), 0.0));
                all_same = all_same && r.period[k * kPeriodWidth + Field::Nb0] == zeros;
            }
            check(all_same, "period entries of " + what);
            all_same = true;
            size_t group = 0;
            for (size_t k = 0; k < o.periodic.size(); k++) {
                const auto by_key = groups_of(o.periodic[k]);
                all_same = all_same && r.profile_groups[k] == static_cast<int64_t>(by_key.size());
                for (const auto &[key, values] : by_key) {
                    if (group >= r.profile_rows.size()) break;
                    series_stats(values.data(), static_cast<int64_t>(values.size()), o.moments, want.data());
                    same_bits(want.data(), &r.profile_stats[group * kStats], kStats);
                    const Scalar got = r.profile_keys[group];
                    all_same = all_same && (keys[o.periodic[k] - 1].f64 ? got.f == key : got.i == key) &&
                               r.profile_rows[group] == static_cast<int64_t>(values.size());
                    group++;
                }
            }
            check(all_same, "profile entries of " + what);
            all_same = true;
            for (size_t k = 0; k < o.lags.size(); k++) {
                std::vector<double> diffs, earlier, later;
                for (int64_t i = 0; i < n; i++) {
                    bool paired = false;
                    for (int64_t j = 0; j < n; j++)
                        if (time[j] == time[i] - o.lags[k].i) {
                            diffs.push_back(value[i] - value[j]);
                            earlier.push_back(value[j]);
                            later.push_back(value[i]);
                            paired = true;
                        }
                    if (!paired) diffs.push_back(NaN);
                }
                series_stats(diffs.data(), static_cast<int64_t>(diffs.size()), o.moments, want.data());
                const double *entry = &r.lag[k * kLagWidth];
                same_bits(want.data(), entry, kStats);
                const double corr = pairwise_corr(earlier.data(), later.data(), static_cast<int64_t>(earlier.size()));
                all_same = all_same && entry[Field::Nb] == static_cast<double>(diffs.size()) &&
                           identical(corr, entry[Field::Acor]);
            }
            check(all_same, "lag entries of " + what);

            // The same readings interleaved with another unit's are reordered,
            // their keys copied narrowed (to offsets of 1, 2 or 4 bytes from the
            // smallest, the category codes' -1 included): the same record.
            auto interleaved = [&](auto &column) {
                std::remove_reference_t<decltype(column)> both;
                for (int64_t i = 0; i < n; i++) {
                    both.push_back(column[i]);
                    both.push_back(column[n - 1 - i]);
                }
                return both;
            };
            std::vector<int64_t> units2(2 * n);
            for (int64_t i = 0; i < 2 * n; i++) units2[i] = i % 2 ? 2 : 1;
            const auto time2 = interleaved(time), ascending2 = interleaved(ascending), small2 = interleaved(small),
                       wide2 = interleaved(wide), codes2 = interleaved(codes);
            const auto value2 = interleaved(value), floating2 = interleaved(floating);
            std::vector<Column> keys2{ints(ascending2), ints(small2), ints(wide2), floats(floating2), ints(codes2)};
            keys2.back().categories = 6;
            Kernel mixed(table_of(units2, ints(time2), value2, keys2), nullptr, 2);
            Result r2;
            check(mixed.run(&w, 1, o, r2) == Kernel::Status::Ok, "run");
            check(n < 2 || (mixed.reordered() && bytes_of(r2) == bytes_of(r)), "reordered record of " + what);
        }
}

// Maxima and minima keep the last of equal extremes, which tells 0.0 from
// -0.0 apart.
void test_signed_zero_extremes() {
    uint64_t state = 3;
    for (int64_t n : {1, 3, 4, 5, 17, 100}) {
        for (int rep = 0; rep < 20; rep++) {
            std::vector<double> v(static_cast<size_t>(n));
            for (double &x : v) {
                state = state * 6364136223846793005ull + 1442695040888963407ull;
                const uint64_t r = state >> 60;
                x = r < 6 ? 0.0 : r < 12 ? -0.0 : r < 14 ? NaN : (rep % 2 ? -1.0 : 1.0);
            }
            double mx = NaN, mn = NaN;
            for (double x : v)
                if (!std::isnan(x)) {
                    if (std::isnan(mx) || !(mx > x)) mx = x;
                    if (std::isnan(mn) || !(mn < x)) mn = x;
                }
            const auto got = stats_of(v);
            check(identical(mx, got[Stat::Max]) && std::signbit(mx) == std::signbit(got[Stat::Max]) &&
                      identical(mn, got[Stat::Min]) && std::signbit(mn) == std::signbit(got[Stat::Min]),
                  "signed zero extremes of " + std::to_string(n) + " values");
        }
    }
}

// The first occurrences of each distinct value against a plain search: few
// values (the cache holds them), many (they collide in it and fall through
// to the set), floats with NaN and signed zeros, on 1 to 3 threads, over
// enough values that the threads split them.
// Readings in order are used in place, found so by the threads side by side
// past the first rows; a second run of a unit or a time out of order far
// into the table sends them to be reordered.  Every way, the records are
// those of one thread.
void test_order_found_by_threads() {
    const int64_t units = 700, days = 500, n = units * days;
    std::vector<int64_t> unit(n), time(n), wd(n);
    std::vector<double> value(n);
    for (int64_t i = 0; i < n; i++) {
        unit[i] = i / days + 1;
        time[i] = i % days;
        wd[i] = time[i] % 7;
        value[i] = static_cast<double>((i * 7919) % 1000) / 8;
    }
    Options o;
    o.tactic = {0, 1};
    o.periodic = {1};
    std::vector<Window> ws;
    for (int64_t u = 1; u <= units; u++) {
        Window w;
        w.unit = u;
        ws.push_back(w);
    }
    auto records = [&](int threads, bool *reordered) {
        Table t = table_of(unit, ints(time), value, {ints(wd)});
        t.wanted_units.emplace();
        for (int64_t u = 1; u <= units; u++) t.wanted_units->push_back(u);
        Kernel k(t, nullptr, threads);
        *reordered = k.reordered();
        Result r;
        check(k.run(ws.data(), units, o, r) == Kernel::Status::Ok, "run");
        return bytes_of(r);
    };
    auto same_on_threads = [&](const std::string &what, bool want_reordered) {
        bool one_reordered = false, two_reordered = true;
        const auto one = records(1, &one_reordered);
        check(records(2, &two_reordered) == one && one_reordered == want_reordered &&
                  two_reordered == want_reordered,
              what);
    };
    same_on_threads("readings in order, in place", false);
    std::swap(unit[n - 3 * days], unit[n - 5 * days]);  // two units each split in two runs, far in
    std::swap(value[n - 3 * days], value[n - 5 * days]);
    same_on_threads("a second run of a unit far into the table", true);
    std::swap(unit[n - 3 * days], unit[n - 5 * days]);
    std::swap(value[n - 3 * days], value[n - 5 * days]);
    std::swap(time[n - 10], time[n - 20]);  // out of time order in the last unit
    same_on_threads("a time out of order far into the table", true);
}

void test_first_occurrences_against_plain_search() {
    uint64_t state = 11;
    auto next = [&] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return state >> 33;
    };
    const int64_t n = 300000;
    auto plain = [&](auto &v, auto same) {
        std::vector<int64_t> at;
        std::map<double, bool> seen_numbers;
        bool seen_nan = false;
        for (int64_t i = 0; i < n; i++) {
            const double x = static_cast<double>(v[i]);
            if (std::isnan(x) ? seen_nan : seen_numbers.count(same(x)) > 0) continue;
            if (std::isnan(x))
                seen_nan = true;
            else
                seen_numbers[same(x)] = true;
            at.push_back(i);
        }
        return at;
    };
    for (uint64_t distinct : {1ull, 7ull, 5000ull, 200000ull}) {
        std::vector<int64_t> ints(n);
        std::vector<double> floats(n);
        for (int64_t i = 0; i < n; i++) {
            const uint64_t k = i < 3 ? 1 : next() % distinct;  // the first value repeats at once
            ints[i] = static_cast<int64_t>(k * 2654435761ull) - (int64_t{1} << 40);
            const uint64_t r = next() % 64;
            floats[i] = r == 0 ? NaN : r == 1 ? -0.0 : r == 2 ? 0.0 : static_cast<double>(k) / 4;
        }
        const auto want_ints = plain(ints, [](double x) { return x; });
        const auto want_floats = plain(floats, [](double x) { return x == 0 ? 0.0 : x; });
        for (int threads : {1, 2, 3}) {
            const std::string what = std::to_string(distinct) + " values on " + std::to_string(threads) + " threads";
            check(first_occurrences(ints.data(), n, threads) == want_ints, "first occurrences of " + what);
            check(first_occurrences(floats.data(), n, threads) == want_floats, "first occurrences of float " + what);
        }
    }
    // Keys that fill a short range, as weekdays do: once a part has seen
    // every one, its blocks are only checked to stay within the range, so
    // a value met late just above it, below it, far from it, or at the
    // narrow types' extremes must still be found where it first is.
    for (int64_t late : {int64_t{5000}, n / 2 + 17, n - 9}) {
        std::vector<int64_t> dense(n);
        for (int64_t i = 0; i < n; i++) dense[i] = static_cast<int64_t>(next() % 7) - 3;
        const int64_t news[] = {4, -4, 100, -128, 127};
        for (int64_t k = 0; k < 5; k++) dense[std::min(n - 1, late + k * (k + 1))] = news[k];
        std::vector<int8_t> narrow(dense.begin(), dense.end());
        std::vector<uint16_t> unsigned_narrow(n);
        for (int64_t i = 0; i < n; i++) unsigned_narrow[i] = static_cast<uint16_t>(dense[i]);  // -3 .. -1 wrap
        const auto want = plain(dense, [](double x) { return x; });
        const auto want_unsigned = plain(unsigned_narrow, [](double x) { return x; });
        for (int threads : {1, 2, 3}) {
            const std::string what = " met late at " + std::to_string(late) + " on " + std::to_string(threads);
            check(first_occurrences(dense.data(), n, threads) == want, "first occurrences of a range" + what);
            check(first_occurrences(narrow.data(), n, threads) == want, "first occurrences of an int8 range" + what);
            check(first_occurrences(unsigned_narrow.data(), n, threads) == want_unsigned,
                  "first occurrences of a uint16 range" + what);
        }
    }
}

void test_aggregates() {
    // Period aggregates other than the sum: per-week means, maxima, minima
    // of unit 7 (weeks 0: 2 3; 1: NaN 5 1 4; 2: 0 6 2), then their MAX.
    Readings data;
    Kernel kernel(data.table());
    Window w;
    w.unit = 7;
    const std::pair<Aggregate, double> cases[] = {
        {Aggregate::NanSum, 10.0}, {Aggregate::Mean, 10.0 / 3}, {Aggregate::Max, 6.0}, {Aggregate::Min, 2.0}};
    for (const auto &c : cases) {
        Options o = options(false);
        o.aggregate = c.first;
        Result r;
        check(kernel.run(&w, 1, o, r) == Kernel::Status::Ok, "run");
        check(same(c.second, r.period[kPeriodWidth]), "weekly aggregate " + std::to_string(int(c.first)));
    }
    // A period whose readings are all missing: 0 for the sum, missing otherwise.
    std::vector<int64_t> unit(4, 1), time{0, 0, 1, 1};
    std::vector<double> value{NaN, NaN, 1, 2};
    Kernel k2(table_of(unit, ints(time), value));
    Options o;
    o.tactic = {0};
    Window all;
    all.unit = 1;
    Result sums, means;
    check(k2.run(&all, 1, o, sums) == Kernel::Status::Ok, "run");
    o.aggregate = Aggregate::Mean;
    check(k2.run(&all, 1, o, means) == Kernel::Status::Ok, "run");
    check(sums.period[9] == 1 && sums.period[10] == 0 && sums.period[0] == 3, "all-missing period sums to 0");
    check(means.period[9] == 0 && means.period[10] == 1 && means.period[0] == 1.5, "all-missing period mean is missing");
}

void test_categories() {
    // A key column of category codes groups as pandas 2 groups a categorical:
    // each of the 5 categories is a period and a profile group of every
    // window, also without readings there.  Unit 1 holds categories 1 and 3
    // and a reading without one; unit 2 only readings without one.
    std::vector<int64_t> unit{1, 1, 1, 1, 1, 1, 2, 2}, time{0, 1, 2, 3, 4, 5, 0, 1};
    std::vector<double> value{1, 2, NaN, 4, 5, 6, 1, 2}, codes{1, 1, NaN, 3, 1, 3, NaN, NaN};
    Column category = floats(codes);
    category.categories = 5;
    Kernel kernel(table_of(unit, ints(time), value, {category}));
    std::vector<Window> ws(2);
    ws[0].unit = 1;
    ws[1].unit = 2;
    auto run = [&](Aggregate how, bool del_t_maximin) {
        Options o;
        o.tactic = {1};
        o.periodic = {1};
        o.aggregate = how;
        o.del_t_maximin = del_t_maximin;
        Result r;
        check(kernel.run(ws.data(), 2, o, r) == Kernel::Status::Ok, "run over categories");
        return r;
    };
    auto period = [](const Result &r, int64_t w) {
        return std::vector<double>(r.period.begin() + w * kPeriodWidth, r.period.begin() + (w + 1) * kPeriodWidth);
    };
    // NB counts the categories present and the missing one; NB_0 the empty periods' zero sums.
    auto with_counts = [](std::vector<double> stats, double zeros, double missing, double distinct) {
        stats.insert(stats.end(), {zeros, missing, distinct});
        return stats;
    };
    Result sums = run(Aggregate::NanSum, false);
    check_values(with_counts(stats_of({0, 8, 0, 10, 0}), 3, 0, 3), period(sums, 0), "sums of every category");
    check_values(with_counts(stats_of({0, 0, 0, 0, 0}), 5, 0, 1), period(sums, 1), "no reading has a category");
    check(sums.period_kept[0] == 1 && sums.period_kept[1] == 1, "periods without readings are entries");
    check(sums.profile_groups[0] == 5 && sums.profile_groups[1] == 5, "a profile group per category");
    check(sums.profile_rows == std::vector<int64_t>({0, 3, 0, 2, 0, 0, 0, 0, 0, 0}), "readings per profile group");
    std::vector<double> profiles(sums.profile_stats.begin(), sums.profile_stats.begin() + 5 * kStats);
    std::vector<double> want;
    for (const auto &group : std::vector<std::vector<double>>{{}, {1, 2, 5}, {}, {4, 6}, {}}) {
        const std::vector<double> stats = group.empty() ? std::vector<double>(kStats, NaN) : stats_of(group);
        want.insert(want.end(), stats.begin(), stats.end());
    }
    check_values(want, profiles, "profiles of every category");
    for (size_t g = 0; g < 5; g++) check(sums.profile_keys[g].f == static_cast<double>(g), "category codes as keys");

    // Means: a period without readings has none.
    check_values(with_counts(stats_of({NaN, 8.0 / 3, NaN, 5, NaN}), 0, 3, 3), period(run(Aggregate::Mean, false), 0),
                 "means of every category");
    // del_t_maximin empties the smallest and largest category present; the
    // periods stay.
    check_values(with_counts(stats_of({0, 0, 0, 0, 0}), 5, 0, 3), period(run(Aggregate::NanSum, true), 0),
                 "extremes emptied");
}

void test_interrupted_ordering() {
    // Asked to stop while ordering, the kernel gives up and runs nothing.
    Readings data;
    int asked = 0;
    Kernel kernel(data.table(), [&] { return ++asked > 0; });
    check(asked > 0 && kernel.interrupted(), "ordering stops when asked");
    Window w;
    w.unit = 7;
    Result r;
    check(kernel.run(&w, 1, options(false), r) == Kernel::Status::BadOptions && r.windows == 0,
          "an interrupted kernel runs nothing");
    Kernel unasked(data.table(), [] { return false; });
    check(!unasked.interrupted() && unasked.run(&w, 1, options(false), r) == Kernel::Status::Ok, "not asked to stop");
}

void test_key_changed_while_ordered() {
    // A key column that another thread changes after the ordering found its
    // range, and before it copies the key narrowed to that range: the copy
    // raises rather than cut a key down to its low bytes.  Every reading
    // dealt, or a few units' gathered; the question whether to stop, asked
    // between the passes, stands in for the other thread.  A time that no
    // longer fits the keys planned raises too.
    for (bool gathered : {false, true}) {
        for (bool time : {false, true}) {
            if (gathered && time) continue;  // the gather copies the time whole
            Readings data;
            Table t = data.table();
            if (gathered) t.wanted_units = std::vector<int64_t>{3};
            std::vector<int64_t> &changed = time ? data.time : data.w;
            int asked = 0;
            auto change = [&] {
                if (asked++ == 0)
                    for (int64_t &v : changed) v += 1000;
                return false;
            };
            std::string error;
            try {
                Kernel kernel(t, change);
            } catch (const std::runtime_error &e) {
                error = e.what();
            }
            const std::string what = time ? "the time column" : "a key column";
            check(asked > 0 && error == what + " changed while it was read",
                  what + (gathered ? " gathered" : " dealt") + ": '" + error + "'");
        }
    }
}


// Records as raw bytes, for comparisons to the last bit.
std::vector<unsigned char> bytes_of(const Result &r) {
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

void test_readings_of_units_against_plain_scan() {
    // The readings of a few units, found by the threads part by part
    // (kCheckRows readings a part: several parts here), against a plain scan:
    // units in runs and shuffled, near and far apart (a table of a byte or
    // a bit per unit, or a hash), wanted units repeated or absent; and nothing once
    // they are more than the share asked for, found by the sample or by the
    // whole look.
    const int64_t n = (int64_t{1} << 22) * 2 + 12345;
    uint64_t state = 99;
    auto next = [&] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return state >> 33;
    };
    for (int64_t scale : {int64_t{1}, int64_t{1} << 40}) {
        for (bool shuffled : {false, true}) {
            std::vector<int64_t> unit(n);
            for (int64_t i = 0; i < n; i++)
                unit[i] = (shuffled ? static_cast<int64_t>(next() % 5000) : i * 5000 / n) * scale - 7;
            const std::vector<std::vector<int64_t>> asked = {
                {},
                {3 * scale - 7},
                {4999 * scale - 7, 0 * scale - 7, 4999 * scale - 7, 123456789},  // repeated; 123456789 absent
                {-1, 5001 * scale},                                               // absent
                {2 * scale - 7, 70000 * scale},  // a range wider than a byte table's, narrower than a bit table's
            };
            for (const auto &units : asked) {
                std::vector<int64_t> want;
                for (int64_t i = 0; i < n; i++)
                    if (std::find(units.begin(), units.end(), unit[i]) != units.end()) want.push_back(i);
                const std::string what = std::to_string(units.size()) + " units of scale " + std::to_string(scale) +
                                         (shuffled ? ", shuffled" : ", in runs");
                for (int threads : {1, 2, 3}) {
                    const auto got = readings_of_units(unit.data(), n, units, n / 8, threads);
                    check(got && *got == want, "readings of " + what + " on " + std::to_string(threads) + " threads");
                    if (want.empty()) continue;
                    const auto over = readings_of_units(unit.data(), n, units, static_cast<int64_t>(want.size()) - 1,
                                                        threads);
                    check(!over, "one reading more than asked for: nothing, " + what);
                    const auto exact = readings_of_units(unit.data(), n, units, static_cast<int64_t>(want.size()),
                                                         threads);
                    check(exact && *exact == want, "exactly as many as asked for, " + what);
                }
            }
            // Most units wanted: the sample gives up, and so would the look.
            std::vector<int64_t> most;
            for (int64_t u = 0; u < 4000; u++) most.push_back(u * scale - 7);
            check(!readings_of_units(unit.data(), n, most, n / 8, 2), "most of the table wanted: nothing");
        }
    }
    // A short table: no sample, every reading looked at.
    const std::vector<int64_t> few = {5, 1, 5, 2, 5};
    const auto got = readings_of_units(few.data(), 5, {5}, 3, 2);
    check(got && *got == std::vector<int64_t>({0, 2, 4}), "a short table's readings");
    check(!readings_of_units(few.data(), 5, {5}, 2, 2), "a short table, more than asked for");
}

void test_large_tables_threads_and_wanted_units() {
    // Enough readings for the ordering to split its passes between threads:
    // shuffled, in order, with units far apart (no direct unit table), on
    // 1, 2 and 3 threads, and with only some units wanted, every run gives
    // the same records to the last bit.
    const int64_t units = 300, days = 500, n = units * days;
    std::vector<int64_t> order(n);
    for (int64_t i = 0; i < n; i++) order[i] = i;
    uint64_t state = 12345;
    for (int64_t i = n - 1; i > 0; i--) {  // Fisher-Yates on a fixed LCG
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        std::swap(order[i], order[static_cast<int64_t>((state >> 33) % static_cast<uint64_t>(i + 1))]);
    }
    struct Columns {
        std::vector<int64_t> unit, time, wd;
        std::vector<double> value, float_time;  // float_time: a float axis instead, when filled
        Table table() const {
            return table_of(unit, float_time.empty() ? ints(time) : floats(float_time), value, {ints(wd)});
        }
    };
    auto build = [&](bool shuffled, int64_t unit_scale, bool float_time = false, int64_t time_scale = 1,
                     int64_t key_scale = 1) {
        Columns c;
        for (int64_t j = 0; j < n; j++) {
            const int64_t i = shuffled ? order[j] : j;
            c.unit.push_back((i / days + 1) * unit_scale);
            c.time.push_back(i % days * time_scale);
            if (float_time) c.float_time.push_back(static_cast<double>(i % days) + 0.5);
            c.wd.push_back((i % days) % 7 * key_scale);
            c.value.push_back(i % 37 == 0 ? NaN : static_cast<double>((i * 7919) % 1000) / 8);
        }
        return c;
    };
    Options o;
    o.tactic = {0, 1};
    o.periodic = {1};
    Scalar one, seven;
    one.i = 1;
    seven.i = 7;
    o.lags = {one, seven};
    auto windows_for = [&](int64_t unit_scale) {
        std::vector<Window> ws;
        for (int64_t u = 1; u <= units; u++) {
            Window w;
            w.unit = u * unit_scale;
            w.has_start = w.has_end = true;
            w.start.i = u % 50;
            w.end.i = days - u % 70;
            ws.push_back(w);
        }
        return ws;
    };
    auto records = [&](const Table &t, int threads, const std::vector<Window> &ws) {
        Kernel k(t, nullptr, threads);
        Result r;
        check(k.run(ws.data(), static_cast<int64_t>(ws.size()), o, r) == Kernel::Status::Ok, "large run");
        return bytes_of(r);
    };
    const Columns in_order = build(false, 1), shuffled = build(true, 1), far = build(true, int64_t{1} << 40);
    const auto ws = windows_for(1);
    const auto want = records(in_order.table(), 1, ws);
    // A float axis is sorted unit by unit after the units are dealt out.
    const Columns float_in_order = build(false, 1, true), float_shuffled = build(true, 1, true);
    std::vector<Window> float_ws = ws;
    for (Window &w : float_ws) {
        w.start.f = static_cast<double>(w.start.i);
        w.end.f = static_cast<double>(w.end.i);
    }
    o.lags[0].f = 1;
    o.lags[1].f = 7;
    const auto float_want = records(float_in_order.table(), 1, float_ws);
    for (int threads : {1, 2, 3}) {
        const std::string on = " on " + std::to_string(threads) + " threads";
        check(records(float_shuffled.table(), threads, float_ws) == float_want, "float times shuffled" + on);
    }
    o.lags[0].i = 1;
    o.lags[1].i = 7;
    for (int threads : {1, 2, 3}) {
        const std::string on = " on " + std::to_string(threads) + " threads";
        check(records(in_order.table(), threads, ws) == want, "in order" + on);
        check(records(shuffled.table(), threads, ws) == want, "shuffled" + on);
        check(records(far.table(), threads, windows_for(int64_t{1} << 40)) == want, "units far apart" + on);
    }
    // Times far apart leave the keys sparse in each bucket, which sorts by
    // radix passes instead of counting; a key too large for 32 bits keeps
    // its 64-bit copy.
    const Columns sparse_in_order = build(false, 1, false, 1000, int64_t{1} << 33),
                  sparse = build(true, 1, false, 1000, int64_t{1} << 33);
    std::vector<Window> sparse_ws = ws;
    for (Window &w : sparse_ws) {
        w.start.i *= 1000;
        w.end.i *= 1000;
    }
    const auto sparse_want = records(sparse_in_order.table(), 1, sparse_ws);
    for (int threads : {1, 2})
        check(records(sparse.table(), threads, sparse_ws) == sparse_want, "sparse times shuffled");
    // Only units 5 and 17 wanted (17 twice), or unit 5 alone (few enough
    // units for the ordering to list their readings rather than keep every
    // reading's code): their windows find the same readings.
    const std::vector<std::pair<std::vector<int64_t>, std::vector<Window>>> wanted{
        {{17, 5, 17}, {ws[4], ws[16]}}, {{5}, {ws[4]}}};
    for (const Columns *c : {&in_order, &shuffled}) {
        for (const auto &[units_wanted, their_windows] : wanted) {
            Table t = c->table();
            t.wanted_units = units_wanted;
            Kernel k(t, nullptr, 2);
            check(k.reordered() == (c == &shuffled), "wanted units: reordered only when shuffled");
            Result got, full;
            const int64_t count = static_cast<int64_t>(their_windows.size());
            check(k.run(their_windows.data(), count, o, got) == Kernel::Status::Ok, "run");
            Kernel all(c->table());
            check(all.run(their_windows.data(), count, o, full) == Kernel::Status::Ok, "run");
            check(bytes_of(got) == bytes_of(full), "wanted units give the same records");
            check(k.locate(ws[5]).end == k.locate(ws[5]).begin, "an unwanted unit finds nothing");
        }
    }
}

// pyarrow sums and takes the moments of each chunk of a Series on its own
// and merges them in order: the last bits move with the chunks.
void test_arrow_chunks() {
    std::vector<double> thirds;
    for (int j = 0; j < 40; j++) thirds.push_back(((j * 7) % 13 + 1) / 3.0);
    thirds[5] = thirds[20] = NaN;
    std::vector<double> got(kStats);
    arrow_series_stats(thirds.data(), 40, got.data(), {13, 29});
    check_values({4.333333333333333, 0.3333333333333333, 2.166666666666667, 3.25, 1.0833333333333333,
                  2.219298245614035, 1.2881448722673978, 0.12932546619170943, -1.1815314101286865},
                 got, "arrow stats of thirds in three chunks");
    const auto one = arrow_stats_of(thirds);
    check(got[Stat::Std] != one[Stat::Std] && got[Stat::Kurt] != one[Stat::Kurt], "the chunks show in the last bits");
    // Integers of 16 bits: pyarrow's variance in integer arithmetic, merged over the chunks.
    std::vector<double> int16s;
    for (int j = 0; j < 40; j++) int16s.push_back(((j * 37) % 201) - 100);
    int16s[3] = int16s[17] = NaN;
    arrow_series_stats(int16s.data(), 40, got.data(), {9, 30}, true);
    check_values({100, -100, -2.5, 51.75, -51.75, -0.02631578947368421, 60.71621487067442, 0.019439474848466684,
                  -1.2417967439794568},
                 got, "arrow stats of int16 in three chunks");
    arrow_series_stats(int16s.data(), 40, got.data(), {9, 30}, false);
    check(got[Stat::Std] == 60.71621487067443, "the same as doubles");

    // In the kernel: one unit whose readings are in order, one profile group.  A window of all of
    // them, or a positional slice of them, keeps the chunks; a time bound that drops a reading
    // takes the rest into one chunk, and so does a table of more than one unit.
    std::vector<int64_t> unit(40, 1), time, key(40, 0);
    for (int64_t j = 0; j < 40; j++) time.push_back(j);
    Table t = table_of(unit, ints(time), thirds, {ints(key)});
    t.chunks = {13, 29};
    Options o;
    o.periodic = {1};
    o.arrow_stats = true;
    std::vector<Window> ws(3);
    for (Window &w : ws) w.unit = 1;
    ws[1].has_forward_r = true;  // rows 10 .. 40: chunks at 3 and 19
    ws[1].forward_r = 30;
    ws[2].has_start = true;  // rows 1 .. 40 in one chunk
    ws[2].start.i = 1;
    // The bits of kStats statistics from `at` against `want`.
    auto same_bits = [](const std::vector<double> &got, size_t at, const std::vector<double> &want) {
        return got.size() >= at + kStats && std::memcmp(got.data() + at, want.data(), kStats * sizeof(double)) == 0;
    };
    auto profile_of = [&](const Table &table) {
        Kernel k(table);
        Result r;
        check(k.run(ws.data(), 3, o, r) == Kernel::Status::Ok, "run");
        return r.profile_stats;
    };
    const std::vector<double> kept = profile_of(t);
    std::vector<double> whole(kStats), slice(kStats), taken(kStats);
    arrow_series_stats(thirds.data(), 40, whole.data(), {13, 29});
    arrow_series_stats(thirds.data() + 10, 30, slice.data(), {3, 19});
    arrow_series_stats(thirds.data() + 1, 39, taken.data());
    check(same_bits(kept, 0, whole), "whole unit");
    check(same_bits(kept, kStats, slice), "positional slice");
    check(same_bits(kept, 2 * kStats, taken), "time bound");
    std::vector<int64_t> two_units = unit;
    two_units.push_back(2);
    time.push_back(0);
    key.push_back(0);
    std::vector<double> more = thirds;
    more.push_back(1);
    Table other = table_of(two_units, ints(time), more, {ints(key)});
    other.chunks = {13, 29};
    const std::vector<double> taken_all = profile_of(other);
    check(same_bits(taken_all, 0, one), "another unit: one chunk");
}

}  // namespace

int main() {
    test_pairwise_sum();
    test_series_stats();
    test_float32_stats();
    test_arrow_stats();
    test_arrow_chunks();
    test_order_statistics_against_sorting();
    test_corr();
    test_windows();
    test_del_t_maximin();
    test_order_and_ties();
    test_float_time();
    test_unsorted_units_and_keys();
    test_records_against_plain_computation();
    test_signed_zero_extremes();
    test_order_found_by_threads();
    test_first_occurrences_against_plain_search();
    test_aggregates();
    test_categories();
    test_interrupted_ordering();
    test_key_changed_while_ordered();
    test_large_tables_threads_and_wanted_units();
    test_readings_of_units_against_plain_scan();
    return movra_tests::report("fe_kernel");
}
