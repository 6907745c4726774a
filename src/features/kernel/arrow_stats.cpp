// pyarrow's statistics of an Arrow-backed Series (see stats.h).
//
// pandas hands an Arrow-backed Series' reductions to pyarrow.compute, whose
// kernels see the valid values as runs between nulls.  Built, as the whole
// kernel is, without FMA contraction.
#include "stats.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace movra::fe_kernel {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// A quiet NaN whose payload no arithmetic produces.
constexpr uint64_t kArrowNaNBits = 0x7ff80000000a7a0eULL;
}  // namespace

double arrow_nan() {
    double x;
    std::memcpy(&x, &kArrowNaNBits, sizeof x);
    return x;
}

bool is_arrow_nan(double x) {
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits == kArrowNaNBits;
}

void arrow_series_stats(const double *v, int64_t n, double *out) {
    stats::Scratch s;
    stats::describe_arrow(v, n, s, out);
}

namespace stats {

// kernels see the valid values as runs between nulls.

namespace {

// pyarrow's pairwise summation of f(v) over the valid values: each run is
// cut into blocks of 16 summed in turn, and the block sums merge as a
// binary counter merges carries; what is left merges from the lowest level
// up.
template <class F>
double arrow_pairwise(const Masked &m, F f) {
    if (m.count == 0) return 0.0;
    double level[65] = {0.0};
    uint64_t full = 0;  // bit l: level l holds a sum waiting for its pair
    int root = 0;
    auto merge = [&](double block) {
        int l = 0;
        level[0] += block;
        full ^= 1;
        while ((full & (uint64_t{1} << l)) == 0) {
            block = level[l];
            level[l] = 0.0;
            l++;
            level[l] += block;
            full ^= uint64_t{1} << l;
        }
        root = std::max(root, l);
    };
    const double *v = m.values;
    for (int64_t i = 0; i < m.n;) {
        while (i < m.n && std::isnan(v[i])) i++;
        int64_t end = i;
        while (end < m.n && !std::isnan(v[end])) end++;
        for (int64_t b = i; b < end; b += 16) {
            double block = 0.0;
            for (int64_t j = b; j < std::min(b + 16, end); j++) block += f(v[j]);
            merge(block);
        }
        i = end;
    }
    for (int l = 1; l <= root; l++) level[l] += level[l - 1];
    return level[root];
}

// The central moment sums of the valid values around their pyarrow mean.
struct ArrowMoments {
    int64_t count = 0;
    double mean = 0, m2 = 0, m3 = 0, m4 = 0;
};

ArrowMoments arrow_moments(const Masked &m) {
    ArrowMoments a;
    a.count = m.count;
    const double mean = arrow_sum(m) / static_cast<double>(m.count);
    a.mean = mean;
    a.m2 = arrow_pairwise(m, [mean](double v) { return (v - mean) * (v - mean); });
    a.m3 = arrow_pairwise(m, [mean](double v) { return (v - mean) * (v - mean) * (v - mean); });
    a.m4 = arrow_pairwise(m, [mean](double v) { return (v - mean) * (v - mean) * (v - mean) * (v - mean); });
    return a;
}

// Unbiased skewness and excess kurtosis, with pyarrow's integer steps on
// the count.
double arrow_skew(const ArrowMoments &a) {
    const int64_t n = a.count;
    const double avg = a.m2 / static_cast<double>(n);
    return std::sqrt(static_cast<double>(n * (n - 1))) / static_cast<double>(n - 2) *
           (a.m3 / static_cast<double>(n)) / std::sqrt(avg * avg * avg);
}

double arrow_kurt(const ArrowMoments &a) {
    const int64_t n = a.count;
    const double avg = a.m2 / static_cast<double>(n);
    return 1.0 / static_cast<double>((n - 2) * (n - 3)) *
           ((static_cast<double>(n * n) - 1.0) * (a.m4 / static_cast<double>(n)) / (avg * avg) -
            static_cast<double>(3 * ((n - 1) * (n - 1))));
}

// A computed NaN keeps its place as a value: it is told apart from a null.
double computed(double x) { return std::isnan(x) ? arrow_nan() : x; }

}  // namespace

double arrow_sum(const Masked &m) {
    return arrow_pairwise(m, [](double v) { return v; });
}

Tally describe_arrow(const double *v, int64_t n, Scratch &s, double *out) {
    const Masked m = mask(v, n, s, false);
    const Tally tally{m.zeros, m.n - m.count};
    std::fill(out, out + kStats, kNaN);  // null below the counts pyarrow needs
    if (m.count == 0) return tally;
    const auto [mx, mn] = nanextremes(m);
    s.clock.lap(StageTimes::Masking);
    const Ranked r = rank_for_quartiles(m, mn, mx, s);
    out[Stat::Max] = mx;
    out[Stat::Min] = mn;
    out[Stat::Median] = arrow_quantile(r, 0.5);
    out[Stat::Q3] = arrow_quantile(r, 0.75);
    out[Stat::Q1] = arrow_quantile(r, 0.25);
    s.clock.lap(StageTimes::OrderStatistics);
    const ArrowMoments a = arrow_moments(m);
    out[Stat::Mean] = a.mean;
    if (m.count >= 2) out[Stat::Std] = computed(std::sqrt(a.m2 / static_cast<double>(m.count - 1)));
    if (m.count >= 3) out[Stat::Skew] = computed(arrow_skew(a));
    if (m.count >= 4) out[Stat::Kurt] = computed(arrow_kurt(a));
    s.clock.lap(StageTimes::Sums);
    return tally;
}

}  // namespace stats
}  // namespace movra::fe_kernel
