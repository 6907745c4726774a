// Statistics of one Series of float64 readings (NaN = missing), as pandas
// computes them: one small function per statistic over a shared masking
// step, in the manner of pandas' own nanops.
//
// Internal to the kernel; the tests reach them through fe_kernel.h.
#pragma once

#include "fe_kernel.h"
#include "profile.h"

#include <cmath>
#include <cstdint>
#include <vector>

namespace movra::fe_kernel::stats {

// Buffers reused from one Series to the next.
struct Scratch {
    std::vector<double> valid, filled, ranked, dev, w1, w2, w3;
    std::vector<float> narrow;
    std::vector<int32_t> bucket_of, bucket_count;
    std::vector<uint8_t> bucket_run;
    StageClock clock;  // the thread's stages, when timed
};

// The shared masking step: the Series as given, with its missing values
// filled with 0 (what pandas sums), and its valid values alone, in order.
struct Masked {
    const double *values = nullptr;  // n values, NaN = missing
    const double *filled = nullptr;  // n values, missing as 0 (when asked for, or none is missing)
    const double *valid = nullptr;   // count values, none missing
    int64_t n = 0, count = 0;
    int64_t zeros = 0;               // values equal to 0
};
// A Series' zeros and missing values (NB_0 and NB_NA), which the masking
// step counts.
struct Tally {
    int64_t zeros = 0, missing = 0;
};

Tally tally(const double *v, int64_t n);
Masked mask(const double *v, int64_t n, Scratch &s, bool fill);

// add.reduce over float64: the identity 0.0 plus numpy's pairwise sum.
double numpy_sum(const double *a, int64_t n);
// numpy's pairwise sum of a[0 .. n) with its missing values as 0, the
// identity not added.
double filled_sum(const double *a, int64_t n);
// add.reduce over float32: float32 accumulators, in blocks of 8192 values
// where numpy 1.x buffers the reduction.
float numpy_sum32(const float *a, int64_t n, bool blocked);
// add.reduce(dtype=float64) over float32: the values are cast in buffers of
// 8192 and each buffer is summed pairwise.
double widened_sum(const double *a, int64_t n);

struct Extremes {
    double max, min;
};
Extremes nanextremes(const Masked &m);
double nanmean(const Masked &m);
double nanstd(const Masked &m, double mean);  // ddof 1

// add.reduce over float64 with a where= mask (numpy's masked reduction):
// the pairwise sums of the runs of valid values, added one after another.
// pandas' nullable arrays take their mean and variance this way.
double where_sum(const double *a, int64_t n);
double masked_mean(const Masked &m);
double masked_std(const Masked &m, double mean, Scratch &s);  // ddof 1

// The order statistics that the median and the quartiles read, found once.
struct Ranked {
    static constexpr int kMost = 6;  // two for each quartile and the median
    int64_t count = 0;               // the valid values
    int m = 0;
    int64_t rank[kMost];  // ascending
    double value[kMost];  // the rank[j]-th smallest valid value (zeros of either sign equal)
    double at(int64_t k) const;  // the value of rank k, one of those
};
// lo and hi: the smallest and the largest valid value.
Ranked rank_for_quartiles(const Masked &m, double lo, double hi, Scratch &s);
double nanmedian(const Ranked &r);
double nanquantile(const Ranked &r, double q);  // numpy's "linear" method

// Skewness and excess kurtosis under pandas' two rules (Moments).
struct CentralSums {
    double count = 0, s1 = 0, s2 = 0, s3 = 0, s4 = 0;
};
// pandas < 3.1: plain sums of powers of the deviations from `mean`.
CentralSums zeroed_sums(const Masked &m, double mean);
double nanskew_zeroed(const CentralSums &c);
double nankurt_zeroed(const CentralSums &c);
// pandas >= 3.1: deviations from a second mean (valid_sum, the pairwise sum
// of the valid values, over their count), corrected by their own sum.
CentralSums corrected_sums(const Masked &m, double valid_sum);
double nanskew_corrected(const CentralSums &c);
double nankurt_corrected(const CentralSums &c);

// The same statistics of a float32 Series (values widened), rounded to
// float32 as pandas returns them.
double nanmedian32(const Ranked &r);
double nanquantile32(const Ranked &r, double q, bool any_missing);
double nanmean32(const Masked &m, Precision p, Scratch &s);
double nanstd32(const Masked &m, Precision p, Scratch &s);
// pandas 2.2 on numpy 1.x: deviations from the float32 mean in float32.
CentralSums narrow_zeroed_sums(const Masked &m, Scratch &s);

// pyarrow's statistics of an Arrow-backed Series (pyarrow.compute).  Sums
// are pairwise over blocks of 16 values, each run of valid values split
// into its own blocks; the moments are two-pass sums of powers of the
// deviations from that mean.  A Series in several chunks is summed and its
// moments taken chunk by chunk, and the chunks' results merged in order.
// The pandas path's filters, sorts and joins take a Series' values into
// one chunk; only a Series that it copies or slices keeps the column's.
double arrow_sum(const Masked &m);  // one chunk
// Where a Series' chunks begin among its values (ascending, none at 0).
// Empty: one chunk.
struct ChunkCuts {
    const int64_t *at = nullptr;
    size_t count = 0;
};
double arrow_sum(const double *v, int64_t n, ChunkCuts chunks);
double arrow_quantile(const Ranked &r, double q);  // "linear", the median included

// MAX, MIN, MEDIAN, Q3, Q1, MEAN, STD, SKEW, KURT into out[0 .. kStats).
// `where_sums`: MEAN and STD as a nullable Series has them.
Tally describe(const double *v, int64_t n, Moments moments, Scratch &s, double *out, bool where_sums = false);
// As pyarrow computes them: a statistic pyarrow returns as null is NaN; a
// NaN it computes (the skewness and kurtosis of data without spread) is
// arrow_nan(), which tells the two apart.
// `narrow_integers`: Options::arrow_narrow_integers.
Tally describe_arrow(const double *v, int64_t n, Scratch &s, double *out, ChunkCuts chunks = {},
                     bool narrow_integers = false);
// Of a float32 Series (p is not Float64).
Tally describe32(const double *v, int64_t n, Precision p, Scratch &s, double *out);

// DataFrame.corr (libalgos.nancorr, Pearson, min_periods 1) of two columns:
// Welford's recurrence over the rows where both values are finite.
// Inline, so that the recurrences of several lags interleave: each is one
// chain of dependent steps.
struct Welford {
    int64_t nobs = 0;
    double meanx = 0, meany = 0, ssqdmx = 0, ssqdmy = 0, covxy = 0;
    void add(double vx, double vy) {
        if (std::isfinite(vx) && std::isfinite(vy)) add_finite(vx, vy, 1. / static_cast<double>(nobs + 1));
    }
    // A pair of finite values, with `reciprocal` = 1. / (nobs + 1), which
    // the caller may have divided out beforehand.
    void add_finite(double vx, double vy, double reciprocal) {
        nobs += 1;
        const double dx = vx - meanx;
        const double dy = vy - meany;
        meanx += reciprocal * dx;
        meany += reciprocal * dy;
        ssqdmx += (vx - meanx) * dx;
        ssqdmy += (vy - meany) * dy;
        covxy += (vx - meanx) * dy;
    }
    double result() const;
};

}  // namespace movra::fe_kernel::stats
