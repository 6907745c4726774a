// pyarrow's statistics of an Arrow-backed Series (see stats.h).
//
// pandas hands an Arrow-backed Series' reductions to pyarrow.compute, whose
// kernels see the valid values as runs between nulls.  Built, as the whole
// kernel is, without FMA contraction.
#include "stats.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
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

bool exact_integer_variance() {
#if defined(__SIZEOF_INT128__)
    return true;
#else
    return false;
#endif
}

void arrow_series_stats(const double *v, int64_t n, double *out, const std::vector<int64_t> &chunks,
                        bool narrow_integers) {
    stats::Scratch s;
    stats::describe_arrow(v, n, s, out, {chunks.data(), chunks.size()}, narrow_integers);
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

// Each chunk of v[0 .. n) in turn, as a Series of its own; `count`: the
// valid values of all of them.
template <class F>
void each_chunk(const double *v, int64_t n, int64_t count, ChunkCuts chunks, F f) {
    int64_t begin = 0;
    for (size_t c = 0; c <= chunks.count; c++) {
        const int64_t end = c < chunks.count ? chunks.at[c] : n;
        Masked piece;
        piece.values = v + begin;
        piece.n = end - begin;
        if (chunks.count == 0)
            piece.count = count;
        else
            for (int64_t i = begin; i < end; i++) piece.count += !std::isnan(v[i]);
        f(piece);
        begin = end;
    }
}

int64_t valid_count(const double *v, int64_t n) {
    int64_t count = 0;
    for (int64_t i = 0; i < n; i++) count += !std::isnan(v[i]);
    return count;
}

// The count, sum, mean and central moment sums of some valid values, as
// pyarrow keeps them for a chunk and merges them over chunks (the sum only
// for one chunk: the sum and the mean of several add up their sums).
struct ArrowMoments {
    int64_t count = 0;
    double sum = 0, mean = 0, m2 = 0, m3 = 0, m4 = 0;
};

// Two passes over one chunk: the moment sums around its pyarrow mean.
ArrowMoments chunk_moments(const Masked &m) {
    ArrowMoments a;
    if (m.count == 0) return a;
    a.count = m.count;
    a.sum += arrow_sum(m);
    const double mean = a.sum / static_cast<double>(m.count);
    a.mean = mean;
    a.m2 = arrow_pairwise(m, [mean](double v) { return (v - mean) * (v - mean); });
    a.m3 = arrow_pairwise(m, [mean](double v) { return (v - mean) * (v - mean) * (v - mean); });
    a.m4 = arrow_pairwise(m, [mean](double v) { return (v - mean) * (v - mean) * (v - mean) * (v - mean); });
    return a;
}

#if defined(__SIZEOF_INT128__)
__extension__ typedef __int128 Int128;

// The variance of a chunk of integers of at most 4 bytes: an exact sum and
// sum of squares, m2 = sum of squares - sum * sum / count, its integral
// part taken in integers and its fraction apart.
ArrowMoments chunk_integer_variance(const Masked &m) {
    ArrowMoments a;
    if (m.count == 0) return a;
    int64_t sum = 0;
    Int128 squares = 0;
    for (int64_t i = 0; i < m.n; i++) {
        if (std::isnan(m.values[i])) continue;
        const auto x = static_cast<int64_t>(m.values[i]);
        sum += x;
        squares += static_cast<Int128>(x) * x;
    }
    const auto count = static_cast<Int128>(m.count);
    const Int128 sum_square = static_cast<Int128>(sum) * sum;
    const double fractions = static_cast<double>(sum_square % count) / static_cast<double>(m.count);
    a.count = m.count;
    a.mean = static_cast<double>(sum) / static_cast<double>(m.count);
    a.m2 = static_cast<double>(squares - sum_square / count) - fractions;
    return a;
}
#else
// Without 128-bit integers the layer keeps such readings off the kernel
// (exact_integer_variance()).
ArrowMoments chunk_integer_variance(const Masked &) { return ArrowMoments(); }
#endif

// Neumaier's compensated sum of a few terms, in order; a term whose
// running sum is not finite adds no compensation.
double compensated(std::initializer_list<double> terms) {
    double sum = 0, c = 0;
    for (const double x : terms) {
        const double t = sum + x;
        if (std::isfinite(t)) c += std::fabs(sum) >= std::fabs(x) ? (sum - t) + x : (x - t) + sum;
        sum = t;
    }
    return sum + c;
}

// pyarrow's merge of the moments of two runs of values (a before b): the
// pooled mean, and each moment sum corrected by the means' difference.
// The counts enter as integers where pyarrow multiplies them as such.
ArrowMoments merged(const ArrowMoments &a, const ArrowMoments &b) {
    if (a.count == 0) return b;
    if (b.count == 0) return a;
    const int64_t na = a.count, nb = b.count, n = na + nb;
    const double da = static_cast<double>(na), db = static_cast<double>(nb), dn = static_cast<double>(n);
    ArrowMoments out;
    out.count = n;
    out.mean = (a.mean * da + b.mean * db) / dn;
    const double mean = out.mean;
    out.m2 = compensated({a.m2, b.m2, da * (a.mean - mean) * (a.mean - mean), db * (b.mean - mean) * (b.mean - mean)});
    const double delta = b.mean - a.mean, delta2 = delta * delta;
    out.m3 = compensated({a.m3, b.m3, delta2 * delta * da * db * static_cast<double>(na - nb) / static_cast<double>(n * n),
                          3 * delta * (da * b.m2 - db * a.m2) / dn});
    out.m4 = compensated(
        {a.m4, b.m4,
         (delta2 * delta2) * da * db * static_cast<double>(na * na - na * nb + nb * nb) / static_cast<double>(n * n * n),
         6 * delta2 * (static_cast<double>(na * na) * b.m2 + static_cast<double>(nb * nb) * a.m2) /
             static_cast<double>(n * n),
         4 * delta * (da * b.m3 - db * a.m3) / dn});
    return out;
}

// The moments of every chunk, merged in order, with `of_chunk` the moments
// of one; their sums added up in order.
template <class F>
ArrowMoments arrow_moments(const Masked &m, ChunkCuts chunks, F of_chunk) {
    ArrowMoments all;
    double sum = 0.0;
    each_chunk(m.values, m.n, m.count, chunks, [&](const Masked &piece) {
        const ArrowMoments one = of_chunk(piece);
        sum += one.sum;
        all = merged(all, one);
    });
    all.sum = sum;
    return all;
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

// Each chunk is summed into a state of its own, which is added to the total.
double arrow_sum(const double *v, int64_t n, ChunkCuts chunks) {
    double total = 0.0;
    const int64_t count = chunks.count == 0 ? valid_count(v, n) : 0;
    each_chunk(v, n, count, chunks, [&total](const Masked &piece) {
        double chunk = 0.0;
        chunk += arrow_sum(piece);
        total += chunk;
    });
    return total;
}

Tally describe_arrow(const double *v, int64_t n, Scratch &s, double *out, ChunkCuts chunks, bool narrow_integers) {
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
    // The mean is the chunks' sum over the count; the moments are merged.
    const ArrowMoments a = arrow_moments(m, chunks, chunk_moments);
    out[Stat::Mean] = a.sum / static_cast<double>(m.count);
    const double m2 = narrow_integers ? arrow_moments(m, chunks, chunk_integer_variance).m2 : a.m2;
    if (m.count >= 2) out[Stat::Std] = computed(std::sqrt(m2 / static_cast<double>(m.count - 1)));
    if (m.count >= 3) out[Stat::Skew] = computed(arrow_skew(a));
    if (m.count >= 4) out[Stat::Kurt] = computed(arrow_kurt(a));
    s.clock.lap(StageTimes::Sums);
    return tally;
}

}  // namespace stats
}  // namespace movra::fe_kernel
