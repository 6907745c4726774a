// Statistics of one Series, as pandas computes them (see stats.h).
//
// Floating-point expressions are written in the order in which numpy and
// pandas evaluate them, so that results agree to the last bit wherever the
// libraries' own algorithm is known; the target that builds this file turns
// off every value-changing optimisation (no FMA contraction).
#include "stats.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace movra::fe_kernel {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
}

namespace {

// numpy's pairwise_sum (loops_utils.h), whose accumulators are of the array's
// type: 8 accumulators in blocks of at most 128, halves split on a multiple
// of 8 above that.
template <class T>
T pairwise(const T *a, int64_t n) {
    if (n < 8) {
        T res = 0.;
        for (int64_t i = 0; i < n; i++) res += a[i];
        return res;
    }
    if (n <= 128) {
        T r[8];
        for (int j = 0; j < 8; j++) r[j] = a[j];
        int64_t i;
        for (i = 8; i < n - (n % 8); i += 8)
            for (int j = 0; j < 8; j++) r[j] += a[i + j];
        T res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; i++) res += a[i];
        return res;
    }
    int64_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise(a, n2) + pairwise(a + n2, n - n2);
}

// A buffered reduction: the identity 0, plus each block's pairwise sum in turn.
constexpr int64_t kNumpyBuffer = 8192;

template <class T>
T blocked_sum(const T *a, int64_t n) {
    T out = 0.;
    for (int64_t i = 0; i < n; i += kNumpyBuffer) out += pairwise(a + i, std::min(kNumpyBuffer, n - i));
    return out;
}

}  // namespace

double pairwise_sum(const double *a, int64_t n) { return pairwise(a, n); }

float float32_sum(const float *a, int64_t n, bool blocked) { return stats::numpy_sum32(a, n, blocked); }

void series_stats(const double *v, int64_t n, Moments moments, double *out, Precision precision) {
    stats::Scratch s;
    if (precision == Precision::Float64)
        stats::describe(v, n, moments, s, out);
    else
        stats::describe32(v, n, precision, s, out);
}

void arrow_series_stats(const double *v, int64_t n, double *out) {
    stats::Scratch s;
    stats::describe_arrow(v, n, s, out);
}

// A quiet NaN whose payload no arithmetic produces.
namespace {
constexpr uint64_t kArrowNaNBits = 0x7ff80000000a7a0eULL;
}

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

// ---- masking -----------------------------------------------------------------

Masked mask(const double *v, int64_t n, Scratch &s) {
    Masked m;
    m.values = v;
    m.n = n;
    s.valid.resize(n);
    int64_t count = 0;
    for (int64_t i = 0; i < n; i++) {  // branch-free: missing values are overwritten
        s.valid[count] = v[i];
        count += !std::isnan(v[i]);
    }
    m.valid = s.valid.data();
    m.count = count;
    m.filled = v;
    if (count < n) {
        s.filled.resize(n);
        for (int64_t i = 0; i < n; i++) s.filled[i] = std::isnan(v[i]) ? 0.0 : v[i];
        m.filled = s.filled.data();
    }
    return m;
}

// ---- location and spread ---------------------------------------------------------

// Among equal extremes (0.0 and -0.0) numpy's reduction keeps the last.
double nanmax(const Masked &m) {
    if (m.count == 0) return kNaN;
    double best = m.valid[0];
    for (int64_t i = 0; i < m.count; i++)
        if (!(best > m.valid[i])) best = m.valid[i];
    return best;
}

double nanmin(const Masked &m) {
    if (m.count == 0) return kNaN;
    double best = m.valid[0];
    for (int64_t i = 0; i < m.count; i++)
        if (!(best < m.valid[i])) best = m.valid[i];
    return best;
}

// pandas sums the filled array and divides by the count of valid values.
double nanmean(const Masked &m) {
    if (m.count == 0) return kNaN;
    return numpy_sum(m.filled, m.n) / static_cast<double>(m.count);
}

// nanvar: squared deviations of the filled array, the missing ones zeroed.
double nanstd(const Masked &m, double mean, Scratch &s) {
    if (m.count <= 1) return kNaN;
    s.w1.resize(m.n);
    for (int64_t i = 0; i < m.n; i++) {
        const double d = mean - m.filled[i];
        s.w1[i] = std::isnan(m.values[i]) ? 0.0 : d * d;
    }
    return std::sqrt(numpy_sum(s.w1.data(), m.n) / (static_cast<double>(m.count) - 1));
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

CentralSums zeroed_sums(const Masked &m, double mean, Scratch &s) {
    s.w1.resize(m.n);
    s.w2.resize(m.n);
    s.w3.resize(m.n);
    for (int64_t i = 0; i < m.n; i++) {
        const double adj = std::isnan(m.values[i]) ? 0.0 : m.filled[i] - mean;
        const double a2 = adj * adj;
        s.w1[i] = a2;
        s.w2[i] = a2 * adj;
        s.w3[i] = a2 * a2;
    }
    CentralSums c;
    c.count = static_cast<double>(m.count);
    c.s2 = numpy_sum(s.w1.data(), m.n);
    c.s3 = numpy_sum(s.w2.data(), m.n);
    c.s4 = numpy_sum(s.w3.data(), m.n);
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
CentralSums corrected_sums(const Masked &m, Scratch &s) {
    const int64_t n = m.count;
    CentralSums c;
    c.count = static_cast<double>(n);
    const double mean = pairwise_sum(m.valid, n) / c.count;
    s.dev.resize(n);
    s.w1.resize(n);
    s.w2.resize(n);
    s.w3.resize(n);
    for (int64_t i = 0; i < n; i++) {
        const double d = m.valid[i] - mean;
        const double d2 = d * d;
        s.dev[i] = d;
        s.w1[i] = d2;
        s.w2[i] = d2 * d;
        s.w3[i] = d2 * d2;
    }
    c.s1 = pairwise_sum(s.dev.data(), n);
    c.s2 = pairwise_sum(s.w1.data(), n);
    c.s3 = pairwise_sum(s.w2.data(), n);
    c.s4 = pairwise_sum(s.w3.data(), n);
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

void describe(const double *v, int64_t n, Moments moments, Scratch &s, double *out, bool where_sums) {
    const Masked m = mask(v, n, s);
    if (m.count == 0) {
        std::fill(out, out + kStats, kNaN);
        return;
    }
    const double mx = nanmax(m), mn = nanmin(m), mean = nanmean(m);
    const Ranked r = rank_for_quartiles(m, mn, mx, s);
    double skew = kNaN, kurt = kNaN;
    if (moments == Moments::ZeroedTwoPass) {
        if (m.count >= 3) {
            const CentralSums c = zeroed_sums(m, mean, s);
            skew = nanskew_zeroed(c);
            kurt = nankurt_zeroed(c);
        }
    } else if (m.count >= 3 && mn != mx) {  // constant data: no skewness or kurtosis
        const CentralSums c = corrected_sums(m, s);
        skew = nanskew_corrected(c);
        kurt = nankurt_corrected(c);
    }
    out[Stat::Max] = mx;
    out[Stat::Min] = mn;
    out[Stat::Median] = nanmedian(r);
    out[Stat::Q3] = nanquantile(r, 0.75);
    out[Stat::Q1] = nanquantile(r, 0.25);
    if (where_sums) {
        const double where_mean = masked_mean(m);
        out[Stat::Mean] = where_mean;
        out[Stat::Std] = masked_std(m, where_mean, s);
    } else {
        out[Stat::Mean] = mean;
        out[Stat::Std] = nanstd(m, mean, s);
    }
    out[Stat::Skew] = skew;
    out[Stat::Kurt] = kurt;
}

// ---- pyarrow's statistics ---------------------------------------------------------
//
// pandas hands an Arrow-backed Series' reductions to pyarrow.compute, whose
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

void describe_arrow(const double *v, int64_t n, Scratch &s, double *out) {
    const Masked m = mask(v, n, s);
    std::fill(out, out + kStats, kNaN);  // null below the counts pyarrow needs
    if (m.count == 0) return;
    const double mx = nanmax(m), mn = nanmin(m);
    const Ranked r = rank_for_quartiles(m, mn, mx, s);
    out[Stat::Max] = mx;
    out[Stat::Min] = mn;
    out[Stat::Median] = arrow_quantile(r, 0.5);
    out[Stat::Q3] = arrow_quantile(r, 0.75);
    out[Stat::Q1] = arrow_quantile(r, 0.25);
    const ArrowMoments a = arrow_moments(m);
    out[Stat::Mean] = a.mean;
    if (m.count >= 2) out[Stat::Std] = computed(std::sqrt(a.m2 / static_cast<double>(m.count - 1)));
    if (m.count >= 3) out[Stat::Skew] = computed(arrow_skew(a));
    if (m.count >= 4) out[Stat::Kurt] = computed(arrow_kurt(a));
}

// ---- float32 Series ------------------------------------------------------------
//
// pandas returns every statistic of a float32 Series as a float32; the
// values arrive widened, so every float32 step below is exact on them.

namespace {
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

void describe32(const double *v, int64_t n, Precision p, Scratch &s, double *out) {
    const Masked m = mask(v, n, s);
    if (m.count == 0) {
        std::fill(out, out + kStats, kNaN);
        return;
    }
    const double mx = nanmax(m), mn = nanmin(m);
    const Ranked r = rank_for_quartiles(m, mn, mx, s);
    // pandas 3.1 takes the moments of the values widened to float64.
    double skew = kNaN, kurt = kNaN;
    if (p == Precision::Float32Legacy) {
        if (m.count >= 3) {
            const CentralSums c = narrow_zeroed_sums(m, s);
            skew = nanskew_zeroed(c);
            kurt = nankurt_zeroed(c);
        }
    } else if (m.count >= 3 && mn != mx) {
        const CentralSums c = corrected_sums(m, s);
        skew = nanskew_corrected(c);
        kurt = nankurt_corrected(c);
    }
    out[Stat::Max] = mx;
    out[Stat::Min] = mn;
    out[Stat::Median] = nanmedian32(r);
    out[Stat::Q3] = nanquantile32(r, 0.75, m.count < m.n);
    out[Stat::Q1] = nanquantile32(r, 0.25, m.count < m.n);
    out[Stat::Mean] = nanmean32(m, p, s);
    out[Stat::Std] = nanstd32(m, p, s);
    out[Stat::Skew] = rounded(skew);
    out[Stat::Kurt] = rounded(kurt);
}

void zeros_and_missing(const double *v, int64_t n, double *entry) {
    int64_t zeros = 0, nans = 0;
    for (int64_t i = 0; i < n; i++) {
        zeros += v[i] == 0;
        nans += std::isnan(v[i]);
    }
    entry[Field::Nb0] = static_cast<double>(zeros);
    entry[Field::NbNa] = static_cast<double>(nans);
}

void Welford::add(double vx, double vy) {
    if (!std::isfinite(vx) || !std::isfinite(vy)) return;
    nobs += 1;
    const double dx = vx - meanx;
    const double dy = vy - meany;
    meanx += 1. / static_cast<double>(nobs) * dx;
    meany += 1. / static_cast<double>(nobs) * dy;
    ssqdmx += (vx - meanx) * dx;
    ssqdmy += (vy - meany) * dy;
    covxy += (vx - meanx) * dy;
}

double Welford::result() const {
    if (nobs < 1) return kNaN;
    const double divisor = std::sqrt(ssqdmx * ssqdmy);
    return divisor != 0 ? covxy / divisor : kNaN;
}

}  // namespace stats
}  // namespace movra::fe_kernel
