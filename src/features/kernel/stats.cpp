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

// ---- order statistics --------------------------------------------------------------

namespace {

// numpy's linear quantile: the virtual index (n - 1) * q and the two
// neighbouring order statistics it interpolates.
struct QuantileAt {
    int64_t prev, next;
    double gamma;
};

QuantileAt quantile_at(int64_t n, double q) {
    const double vi = static_cast<double>(n - 1) * q;
    double prev = std::floor(vi);
    double next = prev + 1;
    if (vi >= static_cast<double>(n - 1)) prev = next = -1;  // the last value
    if (vi < 0) prev = next = 0;
    const double gamma = vi - prev;
    return {prev < 0 ? n - 1 : static_cast<int64_t>(prev), next < 0 ? n - 1 : static_cast<int64_t>(next),
            gamma};
}

// numpy's _lerp, given b - a as computed in the values' type.
double lerp(double a, double b, double diff, double gamma) {
    if (gamma >= 0.5) return b - diff * (1 - gamma);
    return a + diff * gamma;
}

// Puts the k-th smallest of a[lo .. hi) at position k (quickselect).  The
// partitions are branch-free, which matters on unordered readings, and
// split off the values equal to the pivot so that repeated values (zeros,
// rounded readings) cannot make it quadratic.
void select_rank(double *a, int64_t lo, int64_t hi, int64_t k) {
    while (hi - lo > 16) {
        const int64_t mid = lo + (hi - lo) / 2;
        double x = a[lo], y = a[mid], z = a[hi - 1];
        if (x > y) std::swap(x, y);
        if (y > z) std::swap(y, z);
        if (x > y) std::swap(x, y);
        const double pivot = y;  // median of three
        int64_t j = lo;
        for (int64_t i = lo; i < hi; i++) {
            const double v = a[i];
            const bool less = v < pivot;
            a[i] = a[j];
            a[j] = v;
            j += less;
        }
        if (k < j) {
            hi = j;
            continue;
        }
        int64_t m = j;
        for (int64_t i = j; i < hi; i++) {
            const double v = a[i];
            const bool equal = !(pivot < v);
            a[i] = a[m];
            a[m] = v;
            m += equal;
        }
        if (k < m) return;  // a[j .. m) all equal the pivot
        lo = m;
    }
    for (int64_t i = lo + 1; i < hi; i++) {  // insertion sort of the rest
        const double v = a[i];
        int64_t j = i;
        while (j > lo && v < a[j - 1]) {
            a[j] = a[j - 1];
            j--;
        }
        a[j] = v;
    }
}

// Puts the k-th smallest of b[0 .. n) at position k for every k of ks
// (ascending, distinct), leaving the rest unsorted.  A rank right after one
// already placed is the smallest value above it: a scan, not a selection.
void select_ranks(double *b, int64_t n, const int64_t *ks, int nk) {
    int64_t primary[6];
    int np = 0;
    for (int i = 0; i < nk; i++)
        if (i == 0 || ks[i] != ks[i - 1] + 1) primary[np++] = ks[i];
    // Select the primary ranks, middle first, each within its bracket.
    struct Span {
        int64_t lo, hi;
        int first, count;
    };
    Span stack[8];
    int top = 0;
    stack[top++] = {0, n, 0, np};
    while (top > 0) {
        const Span sp = stack[--top];
        if (sp.count == 0 || sp.lo >= sp.hi) continue;
        const int mid = sp.first + sp.count / 2;
        const int64_t k = primary[mid];
        select_rank(b, sp.lo, sp.hi, k);
        stack[top++] = {sp.lo, k, sp.first, mid - sp.first};
        stack[top++] = {k + 1, sp.hi, mid + 1, sp.first + sp.count - mid - 1};
    }
    // Then every rank that directly follows a placed one.
    int p = 0;
    for (int i = 0; i < nk; i++) {
        const int64_t k = ks[i];
        if (p < np && primary[p] == k) {
            p++;
            continue;
        }
        // b[k-1] is placed; everything from k up to the next primary rank
        // (or the end) is not smaller than it.
        const int64_t stop = p < np ? primary[p] : n;
        int64_t best = k;
        for (int64_t j = k + 1; j < stop; j++)
            if (b[j] < b[best]) best = j;
        std::swap(b[k], b[best]);
    }
}

}  // namespace

// The median and the quartiles read at most six order statistics: those are
// selected, the rest is left unsorted.
Ranked rank_for_quartiles(const Masked &m, Scratch &s) {
    const int64_t n = m.count;
    Ranked r;
    r.count = n;
    if (n == 0) return r;
    const QuantileAt q3 = quantile_at(n, 0.75), q1 = quantile_at(n, 0.25);
    int64_t ks[6] = {q1.prev, q1.next, (n - 1) / 2, n / 2, q3.prev, q3.next};
    std::sort(ks, ks + 6);
    const int nk = static_cast<int>(std::unique(ks, ks + 6) - ks);
    s.ranked.assign(m.valid, m.valid + n);
    select_ranks(s.ranked.data(), n, ks, nk);
    r.at = s.ranked.data();
    return r;
}

// np.median: the mean of the middle one or two values.
double nanmedian(const Ranked &r) {
    const int64_t n = r.count;
    if (n == 0) return kNaN;
    if (n % 2) return (0.0 + r.at[n / 2]) / 1.0;
    return (0.0 + r.at[n / 2 - 1] + r.at[n / 2]) / 2.0;
}

double nanquantile(const Ranked &r, double q) {
    if (r.count == 0) return kNaN;
    const QuantileAt at = quantile_at(r.count, q);
    const double a = r.at[at.prev], b = r.at[at.next];
    return lerp(a, b, b - a, at.gamma);
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
    const Ranked r = rank_for_quartiles(m, s);
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

// The order statistics at the floor of (n - 1) * q and the one above,
// weighted by the fraction between them.
double arrow_quantile(const Ranked &r, double q) {
    if (r.count == 0) return kNaN;
    const double index = static_cast<double>(r.count - 1) * q;
    const auto lower = static_cast<int64_t>(index);
    const double fraction = index - static_cast<double>(lower);
    if (fraction == 0) return r.at[lower];
    return fraction * r.at[lower + 1] + (1 - fraction) * r.at[lower];
}

void describe_arrow(const double *v, int64_t n, Scratch &s, double *out) {
    const Masked m = mask(v, n, s);
    std::fill(out, out + kStats, kNaN);  // null below the counts pyarrow needs
    if (m.count == 0) return;
    const Ranked r = rank_for_quartiles(m, s);
    out[Stat::Max] = nanmax(m);
    out[Stat::Min] = nanmin(m);
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

// np.median: the mean of the middle values, summed in float32.
double nanmedian32(const Ranked &r) {
    const int64_t n = r.count;
    if (n == 0) return kNaN;
    if (n % 2) return 0.0f + narrow(r.at[n / 2]);
    return ((0.0f + narrow(r.at[n / 2 - 1])) + narrow(r.at[n / 2])) / 2.0f;
}

// The difference of the two neighbours is a float32; the interpolation, with
// a float64 weight, is float64.  pandas rounds it to float32 only where it
// removed missing values first.
double nanquantile32(const Ranked &r, double q, bool any_missing) {
    if (r.count == 0) return kNaN;
    const QuantileAt at = quantile_at(r.count, q);
    const double a = r.at[at.prev], b = r.at[at.next];
    const double x = lerp(a, b, narrow(b) - narrow(a), at.gamma);
    return any_missing ? rounded(x) : x;
}

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
    const Ranked r = rank_for_quartiles(m, s);
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
