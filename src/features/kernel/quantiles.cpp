// The median and the quartiles of a Series (see stats.h): the few order
// statistics they read, and numpy's, pandas' float32 and pyarrow's ways of
// interpolating between them.
//
// The order statistics are found without ordering the values: one pass
// counts the values into buckets of equal width between the smallest and
// the largest value, which tells the bucket of every rank wanted; a second
// pass copies out the few values of those buckets, which are then sorted.
// The map from value to bucket is monotone (a difference and a product,
// each rounded), so the buckets keep the values' order and equal values
// share one.
// Values bunched in a few buckets (an outlier far from the rest, infinite
// values) leave such a bucket large: it is narrowed by a selection instead.
#include "stats.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace movra::fe_kernel::stats {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

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

void insertion_sort(double *a, int64_t n) {
    for (int64_t i = 1; i < n; i++) {
        const double v = a[i];
        int64_t j = i;
        while (j > 0 && v < a[j - 1]) {
            a[j] = a[j - 1];
            j--;
        }
        a[j] = v;
    }
}

// Puts the k-th smallest of a[lo .. hi) at position k (quickselect).  The
// partitions are branch-free, which matters on unordered values, and split
// off the values equal to the pivot so that repeated values (zeros, rounded
// readings) cannot make it quadratic.
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
    insertion_sort(a + lo, hi - lo);
}

// Puts the k-th smallest of a[0 .. n) at position k for every k of ks
// (ascending), the rest left unsorted: each rank selected within the part
// the one before it left above it.
void select_ranks(double *a, int64_t n, const int64_t *ks, int nk) {
    int64_t lo = 0;
    for (int i = 0; i < nk; i++) {
        if (ks[i] < lo) continue;  // placed already
        select_rank(a, lo, n, ks[i]);
        lo = ks[i] + 1;
    }
}

// Values up to this many are sorted outright.
constexpr int64_t kSortUpTo = 40;

// Bucket counts: about two values a bucket, within bounds.
int bucket_count(int64_t n) {
    int b = 16;
    while (b < 1024 && 2 * b < n) b *= 2;
    return b;
}

// The wanted order statistics of v[0 .. n), whose smallest and largest
// values are lo and hi (lo < hi), by counting into buckets.  Returns false,
// having done nothing, when the values are too far apart (hi - lo
// overflows) or too close (the buckets' scale does) for buckets.
bool select_by_buckets(const double *v, int64_t n, double lo, double hi, Ranked &r, Scratch &s) {
    const int buckets = bucket_count(n);
    const double width = hi - lo, scale = buckets / width;
    if (!std::isfinite(width) || !std::isfinite(scale)) return false;
    auto &code = s.bucket_of;  // each value's bucket, as counted
    auto &count = s.bucket_count;
    code.resize(static_cast<size_t>(n));
    count.assign(static_cast<size_t>(buckets), 0);
    for (int64_t i = 0; i < n; i++) code[i] = std::min(static_cast<int32_t>((v[i] - lo) * scale), buckets - 1);
    for (int64_t i = 0; i < n; i++) count[code[i]]++;
    // The wanted ranks lie in at most three runs of buckets (a quartile or
    // the median reads two adjacent ranks, mostly of one bucket): each run's
    // first and last bucket, and the values below its first.
    constexpr int kRuns = 3;
    int first[kRuns], last[kRuns], run_of[Ranked::kMost];
    int64_t below[kRuns];
    int runs = 0, b = 0;
    int64_t seen = 0;
    for (int j = 0; j < r.m; j++) {
        while (seen + count[b] <= r.rank[j]) seen += count[b++];
        const bool joins = runs > 0 && (b <= last[runs - 1] + 1 || runs == kRuns);
        if (!joins) {
            first[runs] = b;
            below[runs] = seen;
            runs++;
        }
        last[runs - 1] = b;
        run_of[j] = runs - 1;
    }
    // Each run's values copied out.  Only a few buckets are wanted, so the
    // test for one is mostly false, and cheap to predict.
    auto &run_at = s.bucket_run;  // 1 + the run of a wanted bucket, else 0
    run_at.assign(static_cast<size_t>(buckets), 0);
    int64_t start[kRuns + 1] = {0};
    for (int k = 0; k < runs; k++) {
        int64_t size = 0;
        for (int c = first[k]; c <= last[k]; c++) {
            size += count[c];
            run_at[c] = static_cast<uint8_t>(k + 1);
        }
        start[k + 1] = start[k] + size;
    }
    auto &picked = s.ranked;
    picked.resize(static_cast<size_t>(start[runs]));
    int64_t size[kRuns] = {0};
    for (int64_t i = 0; i < n; i++) {
        const int k = run_at[code[i]];
        if (k == 0) continue;
        picked[start[k - 1] + size[k - 1]++] = v[i];
    }
    // Within its run a rank is found by sorting a few values, or selecting
    // among many.
    for (int k = 0; k < runs; k++) {
        double *values = picked.data() + start[k];
        if (size[k] <= kSortUpTo) {
            insertion_sort(values, size[k]);
            continue;
        }
        int64_t within[Ranked::kMost];
        int nw = 0;
        for (int j = 0; j < r.m; j++)
            if (run_of[j] == k) within[nw++] = r.rank[j] - below[k];
        select_ranks(values, size[k], within, nw);
    }
    for (int j = 0; j < r.m; j++) r.value[j] = picked[start[run_of[j]] + r.rank[j] - below[run_of[j]]];
    return true;
}

}  // namespace

double Ranked::at(int64_t k) const {
    for (int j = 0; j < m; j++)
        if (rank[j] == k) return value[j];
    return kNaN;  // never read: every rank a quantile reads is among them
}

// The median and the quartiles read at most six order statistics.
Ranked rank_for_quartiles(const Masked &m, double lo, double hi, Scratch &s) {
    const int64_t n = m.count;
    Ranked r;
    r.count = n;
    if (n == 0) return r;
    const QuantileAt q3 = quantile_at(n, 0.75), q1 = quantile_at(n, 0.25);
    int64_t ks[Ranked::kMost] = {q1.prev, q1.next, (n - 1) / 2, n / 2, q3.prev, q3.next};
    std::sort(ks, ks + Ranked::kMost);
    r.m = static_cast<int>(std::unique(ks, ks + Ranked::kMost) - ks);
    std::copy(ks, ks + r.m, r.rank);
    if (n > kSortUpTo && lo < hi && select_by_buckets(m.valid, n, lo, hi, r, s)) return r;
    s.ranked.assign(m.valid, m.valid + n);
    if (n <= kSortUpTo)
        insertion_sort(s.ranked.data(), n);
    else
        select_ranks(s.ranked.data(), n, r.rank, r.m);
    for (int j = 0; j < r.m; j++) r.value[j] = s.ranked[r.rank[j]];
    return r;
}

// np.median: the mean of the middle one or two values.
double nanmedian(const Ranked &r) {
    const int64_t n = r.count;
    if (n == 0) return kNaN;
    if (n % 2) return (0.0 + r.at(n / 2)) / 1.0;
    return (0.0 + r.at(n / 2 - 1) + r.at(n / 2)) / 2.0;
}

double nanquantile(const Ranked &r, double q) {
    if (r.count == 0) return kNaN;
    const QuantileAt at = quantile_at(r.count, q);
    const double a = r.at(at.prev), b = r.at(at.next);
    return lerp(a, b, b - a, at.gamma);
}

// The order statistics at the floor of (n - 1) * q and the one above,
// weighted by the fraction between them.
double arrow_quantile(const Ranked &r, double q) {
    if (r.count == 0) return kNaN;
    const double index = static_cast<double>(r.count - 1) * q;
    const auto lower = static_cast<int64_t>(index);
    const double fraction = index - static_cast<double>(lower);
    if (fraction == 0) return r.at(lower);
    return fraction * r.at(lower + 1) + (1 - fraction) * r.at(lower);
}

// ---- float32 Series: pandas rounds the results to float32 ----------------------

namespace {
float narrow(double x) { return static_cast<float>(x); }
}  // namespace

// np.median: the mean of the middle values, summed in float32.
double nanmedian32(const Ranked &r) {
    const int64_t n = r.count;
    if (n == 0) return kNaN;
    if (n % 2) return 0.0f + narrow(r.at(n / 2));
    return ((0.0f + narrow(r.at(n / 2 - 1))) + narrow(r.at(n / 2))) / 2.0f;
}

// The difference of the two neighbours is a float32; the interpolation, with
// a float64 weight, is float64.  pandas rounds it to float32 only where it
// removed missing values first.
double nanquantile32(const Ranked &r, double q, bool any_missing) {
    if (r.count == 0) return kNaN;
    const QuantileAt at = quantile_at(r.count, q);
    const double a = r.at(at.prev), b = r.at(at.next);
    const double x = lerp(a, b, narrow(b) - narrow(a), at.gamma);
    return any_missing ? static_cast<double>(narrow(x)) : x;
}

}  // namespace movra::fe_kernel::stats
