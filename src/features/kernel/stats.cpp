// Statistics of one Series, as pandas computes them (see stats.h).
//
// Floating-point expressions are written in the order in which numpy and
// pandas evaluate them, so that results agree to the last bit wherever the
// libraries' own algorithm is known; the target that builds this file turns
// off every value-changing optimisation (no FMA contraction).
#include "stats.h"

#include "pairwise.h"

#include <algorithm>
#include <cmath>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace movra::fe_kernel {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
}  // namespace

using stats::pairwise;

double pairwise_sum(const double *a, int64_t n) { return pairwise(a, n); }

float float32_sum(const float *a, int64_t n, bool blocked) { return stats::numpy_sum32(a, n, blocked); }

void series_stats(const double *v, int64_t n, Moments moments, double *out, Precision precision) {
    stats::Scratch s;
    if (precision == Precision::Float64)
        stats::describe(v, n, moments, s, out);
    else
        stats::describe32(v, n, precision, s, out);
}

double pairwise_corr(const double *x, const double *y, int64_t n) {
    stats::Welford w;
    for (int64_t i = 0; i < n; i++) w.add(x[i], y[i]);
    return w.result();
}

namespace stats {

// The sum of negative zeros is a positive zero, as numpy has it.
double numpy_sum(const double *a, int64_t n) { return 0.0 + pairwise_sum(a, n); }

float numpy_sum32(const float *a, int64_t n, bool blocked) {
    return blocked ? blocked_sum(a, n) : 0.0f + pairwise(a, n);
}

double widened_sum(const double *a, int64_t n) { return blocked_sum(a, n); }

// The Series with its missing values as 0, summed as it is read.
double filled_sum(const double *a, int64_t n) {
    double sum;
    pairwise_terms<1>(0, n, [a](int64_t i, double *t) { t[0] = std::isnan(a[i]) ? 0.0 : a[i]; }, &sum);
    return sum;
}

namespace {
double filled_sum(const Masked &m) { return m.count == m.n ? pairwise(m.values, m.n) : stats::filled_sum(m.values, m.n); }
}  // namespace

// ---- masking -----------------------------------------------------------------

// The missing values and the zeros of v[0 .. n), two at a time where the
// processor can: the compiler leaves such counts in scalar code.
Tally tally(const double *v, int64_t n) {
    Tally t;
    int64_t i = 0;
#if defined(__SSE2__)
    const __m128d zero = _mm_setzero_pd();
    __m128i missing = _mm_setzero_si128(), zeros = _mm_setzero_si128();
    for (; i + 2 <= n; i += 2) {  // a lane that matches is -1
        const __m128d x = _mm_loadu_pd(v + i);
        missing = _mm_sub_epi64(missing, _mm_castpd_si128(_mm_cmpunord_pd(x, x)));
        zeros = _mm_sub_epi64(zeros, _mm_castpd_si128(_mm_cmpeq_pd(x, zero)));
    }
    int64_t lanes[2];
    _mm_storeu_si128(reinterpret_cast<__m128i *>(lanes), missing);
    t.missing = lanes[0] + lanes[1];
    _mm_storeu_si128(reinterpret_cast<__m128i *>(lanes), zeros);
    t.zeros = lanes[0] + lanes[1];
#endif
    for (; i < n; i++) {
        t.missing += std::isnan(v[i]);
        t.zeros += v[i] == 0;
    }
    return t;
}

Masked mask(const double *v, int64_t n, Scratch &s, bool fill) {
    Masked m;
    m.values = v;
    m.n = n;
    const Tally t = tally(v, n);
    const int64_t missing = t.missing;
    m.zeros = t.zeros;
    m.count = n - missing;
    m.valid = m.filled = v;
    if (missing > 0) {
        s.valid.resize(n);
        int64_t count = 0;
        for (int64_t i = 0; i < n; i++) {  // branch-free: missing values are overwritten
            s.valid[count] = v[i];
            count += !std::isnan(v[i]);
        }
        m.valid = s.valid.data();
        m.filled = nullptr;
        if (!fill) return m;
        s.filled.resize(n);
        for (int64_t i = 0; i < n; i++) s.filled[i] = std::isnan(v[i]) ? 0.0 : v[i];
        m.filled = s.filled.data();
    }
    return m;
}

// ---- location and spread ---------------------------------------------------------

namespace {
// The last of the values equal to x.
double last_equal(const double *v, int64_t n, double x) {
    int64_t i = n - 1;
    while (v[i] != x) i--;
    return v[i];
}
}  // namespace

// Among equal extremes numpy's reduction keeps the last.  Four lanes run
// side by side; equal values other than zeros are the same bits, so only a
// zero extreme, which may be 0.0 or -0.0, is looked up again.
Extremes nanextremes(const Masked &m) {
    const double *v = m.valid;
    const int64_t n = m.count;
    if (n == 0) return {kNaN, kNaN};
    double hi[4], lo[4];
    for (int j = 0; j < 4; j++) hi[j] = lo[j] = v[0];
    int64_t i = 0;
    for (; i + 4 <= n; i += 4)
        for (int j = 0; j < 4; j++) {
            hi[j] = hi[j] > v[i + j] ? hi[j] : v[i + j];
            lo[j] = lo[j] < v[i + j] ? lo[j] : v[i + j];
        }
    for (; i < n; i++) {
        hi[0] = hi[0] > v[i] ? hi[0] : v[i];
        lo[0] = lo[0] < v[i] ? lo[0] : v[i];
    }
    Extremes e{hi[0], lo[0]};
    for (int j = 1; j < 4; j++) {
        e.max = e.max > hi[j] ? e.max : hi[j];
        e.min = e.min < lo[j] ? e.min : lo[j];
    }
    if (e.max == 0) e.max = last_equal(v, n, e.max);
    if (e.min == 0) e.min = last_equal(v, n, e.min);
    return e;
}

// pandas sums the filled array and divides by the count of valid values.
double nanmean(const Masked &m) {
    if (m.count == 0) return kNaN;
    return (0.0 + filled_sum(m)) / static_cast<double>(m.count);
}

namespace {
// The standard deviation (ddof 1) from numpy's sum of the squared
// deviations.
double std_of(double squares, int64_t count) { return std::sqrt(squares / (static_cast<double>(count) - 1)); }
}  // namespace

// nanvar: squared deviations of the filled array, the missing ones zeroed.
double nanstd(const Masked &m, double mean) {
    if (m.count <= 1) return kNaN;
    const double *v = m.values;
    double sum;
    pairwise_terms<1>(0, m.n, [v, mean](int64_t i, double *t) {
        const double d = mean - v[i];
        t[0] = std::isnan(v[i]) ? 0.0 : d * d;
    }, &sum);
    return std_of(0.0 + sum, m.count);
}

double where_sum(const double *a, int64_t n) {
    double total = 0.0;
    for (int64_t i = 0; i < n;) {
        while (i < n && std::isnan(a[i])) i++;
        int64_t end = i;
        while (end < n && !std::isnan(a[end])) end++;
        if (end > i) total += pairwise_sum(a + i, end - i);
        i = end;
    }
    return total;
}

double masked_mean(const Masked &m) {
    if (m.count == 0) return kNaN;
    return where_sum(m.values, m.n) / static_cast<double>(m.count);
}

// np.var with where=: squares of the deviations from the where= mean,
// summed over the same runs.
double masked_std(const Masked &m, double mean, Scratch &s) {
    if (m.count <= 1) return kNaN;
    s.w1.resize(m.n);
    for (int64_t i = 0; i < m.n; i++) {
        const double d = m.values[i] - mean;
        s.w1[i] = d * d;  // NaN where missing, which where_sum skips
    }
    return std::sqrt(where_sum(s.w1.data(), m.n) / (static_cast<double>(m.count) - 1));
}

// ---- higher moments --------------------------------------------------------------

namespace {
// pandas < 3.1 counts a moment below 1e-14 as exactly zero.
double zero_small(double x) { return std::fabs(x) < 1e-14 ? 0.0 : x; }
}  // namespace

CentralSums zeroed_sums(const Masked &m, double mean) {
    const double *v = m.values;
    double sums[3];
    pairwise_terms<3>(0, m.n, [v, mean](int64_t i, double *t) {
        const double adj = std::isnan(v[i]) ? 0.0 : v[i] - mean;
        const double a2 = adj * adj;
        t[0] = a2;
        t[1] = a2 * adj;
        t[2] = a2 * a2;
    }, sums);
    CentralSums c;
    c.count = static_cast<double>(m.count);
    c.s2 = 0.0 + sums[0];
    c.s3 = 0.0 + sums[1];
    c.s4 = 0.0 + sums[2];
    return c;
}

double nanskew_zeroed(const CentralSums &c) {
    const double count = c.count;
    if (count < 3) return kNaN;
    const double m2 = zero_small(c.s2), m3 = zero_small(c.s3);
    if (m2 == 0) return 0.0;
    return (count * std::pow(count - 1, 0.5) / (count - 2)) * (m3 / std::pow(m2, 1.5));
}

double nankurt_zeroed(const CentralSums &c) {
    const double count = c.count;
    if (count < 4) return kNaN;
    const double adj = 3 * std::pow(count - 1, 2) / ((count - 2) * (count - 3));
    const double numerator = zero_small(count * (count + 1) * (count - 1) * c.s4);
    const double denominator = zero_small((count - 2) * (count - 3) * std::pow(c.s2, 2));
    return denominator == 0 ? 0.0 : numerator / denominator - adj;
}

// Deviations from the valid values' own mean; their sum s1 corrects the
// error of that mean in the central moments (Pébay).
CentralSums corrected_sums(const Masked &m, double valid_sum) {
    const int64_t n = m.count;
    CentralSums c;
    c.count = static_cast<double>(n);
    const double mean = valid_sum / c.count;
    const double *v = m.valid;
    double sums[4];
    pairwise_terms<4>(0, n, [v, mean](int64_t i, double *t) {
        const double d = v[i] - mean;
        const double d2 = d * d;
        t[0] = d;
        t[1] = d2;
        t[2] = d2 * d;
        t[3] = d2 * d2;
    }, sums);
    c.s1 = sums[0];
    c.s2 = sums[1];
    c.s3 = sums[2];
    c.s4 = sums[3];
    return c;
}

namespace {
double corrected_m2(const CentralSums &c) { return c.s2 - c.s1 * c.s1 / c.count; }
}  // namespace

double nanskew_corrected(const CentralSums &c) {
    const double count = c.count;
    if (count < 3) return kNaN;
    const double m2 = corrected_m2(c);
    const double m3 = c.s3 - 3 * c.s1 * c.s2 / count + 2 * c.s1 * c.s1 * c.s1 / (count * count);
    return (m3 / (m2 * std::sqrt(m2))) * ((count * std::sqrt(count - 1.0)) / (count - 2.0));
}

double nankurt_corrected(const CentralSums &c) {
    const double count = c.count;
    if (count < 4) return kNaN;
    const double m2 = corrected_m2(c);
    const double m4 = c.s4 - 4 * c.s1 * c.s3 / count + 6 * c.s1 * c.s1 * c.s2 / (count * count) -
                      3 * c.s1 * c.s1 * c.s1 * c.s1 / (count * count * count);
    const double inner = count * (count + 1.0) * (m4 / (m2 * m2)) - 3.0 * (count - 1.0);
    return ((count - 1.0) / ((count - 2.0) * (count - 3.0))) * inner;
}

// ---- the nine statistics -----------------------------------------------------------

// Several statistics share their passes: the sum of the values is both the
// mean's and, without missing values, the corrected moments' own; the
// squared deviations that the moments sum are, squared alike, those of the
// variance whenever both sum them over the same places.
Tally describe(const double *v, int64_t n, Moments moments, Scratch &s, double *out, bool where_sums) {
    const Masked m = mask(v, n, s, false);
    const Tally tally{m.zeros, m.n - m.count};
    if (m.count == 0) {
        std::fill(out, out + kStats, kNaN);
        return tally;
    }
    const bool complete = m.count == m.n;
    const auto [mx, mn] = nanextremes(m);
    s.clock.lap(StageTimes::Masking);
    const Ranked r = rank_for_quartiles(m, mn, mx, s);
    out[Stat::Median] = nanmedian(r);
    out[Stat::Q3] = nanquantile(r, 0.75);
    out[Stat::Q1] = nanquantile(r, 0.25);
    s.clock.lap(StageTimes::OrderStatistics);
    const double total = filled_sum(m);
    const double mean = (0.0 + total) / static_cast<double>(m.count);
    double skew = kNaN, kurt = kNaN;
    double squares = kNaN;  // numpy's sum of the squared deviations from the mean, once known
    if (moments == Moments::ZeroedTwoPass) {
        if (m.count >= 3) {
            const CentralSums c = zeroed_sums(m, mean);
            skew = nanskew_zeroed(c);
            kurt = nankurt_zeroed(c);
            squares = c.s2;
        }
    } else if (m.count >= 3 && mn != mx) {  // constant data: no skewness or kurtosis
        const CentralSums c = corrected_sums(m, complete ? total : pairwise(m.valid, m.count));
        skew = nanskew_corrected(c);
        kurt = nankurt_corrected(c);
        if (complete) squares = 0.0 + c.s2;  // deviations from the same mean, as the sum is the mean's
    }
    out[Stat::Max] = mx;
    out[Stat::Min] = mn;
    if (where_sums) {
        const double where_mean = masked_mean(m);
        out[Stat::Mean] = where_mean;
        out[Stat::Std] = masked_std(m, where_mean, s);
    } else {
        out[Stat::Mean] = mean;
        out[Stat::Std] = std::isnan(squares) ? nanstd(m, mean) : std_of(squares, m.count);
    }
    out[Stat::Skew] = skew;
    out[Stat::Kurt] = kurt;
    s.clock.lap(StageTimes::Sums);
    return tally;
}

double Welford::result() const {
    if (nobs < 1) return kNaN;
    const double divisor = std::sqrt(ssqdmx * ssqdmy);
    return divisor != 0 ? covxy / divisor : kNaN;
}

}  // namespace stats
}  // namespace movra::fe_kernel
