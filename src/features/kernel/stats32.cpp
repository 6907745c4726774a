// Statistics of a float32 Series (see stats.h).
//
// pandas returns every statistic of a float32 Series as a float32; the
// values arrive widened, so every float32 step below is exact on them.
// Built, as the whole kernel is, without FMA contraction.
#include "pairwise.h"
#include "stats.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace movra::fe_kernel::stats {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

float narrow(double x) { return static_cast<float>(x); }
double rounded(double x) { return static_cast<double>(narrow(x)); }

// The filled values as float32, for float32 sums.
const float *narrowed(const Masked &m, Scratch &s) {
    s.narrow.resize(m.n);
    for (int64_t i = 0; i < m.n; i++) s.narrow[i] = narrow(m.filled[i]);
    return s.narrow.data();
}

bool blocked(Precision p) { return p == Precision::Float32Legacy; }
}  // namespace

// nanmean sums in float32 and divides by a float32 count.
double nanmean32(const Masked &m, Precision p, Scratch &s) {
    if (m.count == 0) return kNaN;
    return numpy_sum32(narrowed(m, s), m.n, blocked(p)) / narrow(static_cast<double>(m.count));
}

// nanvar: a float64 mean over a float32 count; the deviations are float64
// under numpy 2, and float32 under numpy 1.x, which casts the mean to the
// array's type; the variance is rounded to float32 before its square root.
double nanstd32(const Masked &m, Precision p, Scratch &s) {
    if (m.count <= 1) return kNaN;
    const float count = narrow(static_cast<double>(m.count));
    const double avg = widened_sum(m.filled, m.n) / count;
    s.w1.resize(m.n);
    double sum;
    if (p == Precision::Float32Legacy) {
        const float mean = narrow(avg);
        for (int64_t i = 0; i < m.n; i++) {
            const float d = mean - narrow(m.filled[i]);
            s.w1[i] = std::isnan(m.values[i]) ? 0.0 : d * d;
        }
        sum = widened_sum(s.w1.data(), m.n);
    } else {
        for (int64_t i = 0; i < m.n; i++) {
            const double d = avg - m.filled[i];
            s.w1[i] = std::isnan(m.values[i]) ? 0.0 : d * d;
        }
        sum = numpy_sum(s.w1.data(), m.n);
    }
    return std::sqrt(narrow(sum / (count - 1.0f)));
}

// pandas 2.2's nanskew and nankurt keep a float32 array: the deviations from
// the mean (cast to float32) and their powers are float32, their sums float64.
CentralSums narrow_zeroed_sums(const Masked &m, Scratch &s) {
    const float count = narrow(static_cast<double>(m.count));
    const float mean = narrow(widened_sum(m.filled, m.n) / count);
    s.w1.resize(m.n);
    s.w2.resize(m.n);
    s.w3.resize(m.n);
    for (int64_t i = 0; i < m.n; i++) {
        const float adj = std::isnan(m.values[i]) ? 0.0f : narrow(m.filled[i]) - mean;
        const float a2 = adj * adj;
        s.w1[i] = a2;
        s.w2[i] = a2 * adj;
        s.w3[i] = a2 * a2;
    }
    CentralSums c;
    c.count = count;
    c.s2 = widened_sum(s.w1.data(), m.n);
    c.s3 = widened_sum(s.w2.data(), m.n);
    c.s4 = widened_sum(s.w3.data(), m.n);
    return c;
}

Tally describe32(const double *v, int64_t n, Precision p, Scratch &s, double *out) {
    const Masked m = mask(v, n, s, true);
    const Tally tally{m.zeros, m.n - m.count};
    if (m.count == 0) {
        std::fill(out, out + kStats, kNaN);
        return tally;
    }
    const auto [mx, mn] = nanextremes(m);
    s.clock.lap(StageTimes::Masking);
    const Ranked r = rank_for_quartiles(m, mn, mx, s);
    out[Stat::Median] = nanmedian32(r);
    out[Stat::Q3] = nanquantile32(r, 0.75, m.count < m.n);
    out[Stat::Q1] = nanquantile32(r, 0.25, m.count < m.n);
    s.clock.lap(StageTimes::OrderStatistics);
    // pandas 3.1 takes the moments of the values widened to float64.
    double skew = kNaN, kurt = kNaN;
    if (p == Precision::Float32Legacy) {
        if (m.count >= 3) {
            const CentralSums c = narrow_zeroed_sums(m, s);
            skew = nanskew_zeroed(c);
            kurt = nankurt_zeroed(c);
        }
    } else if (m.count >= 3 && mn != mx) {
        const CentralSums c = corrected_sums(m, pairwise(m.valid, m.count));
        skew = nanskew_corrected(c);
        kurt = nankurt_corrected(c);
    }
    out[Stat::Max] = mx;
    out[Stat::Min] = mn;
    out[Stat::Mean] = nanmean32(m, p, s);
    out[Stat::Std] = nanstd32(m, p, s);
    out[Stat::Skew] = rounded(skew);
    out[Stat::Kurt] = rounded(kurt);
    s.clock.lap(StageTimes::Sums);
    return tally;
}

}  // namespace movra::fe_kernel::stats
