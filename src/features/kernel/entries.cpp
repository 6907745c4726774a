// The entries of a window's record (see entries.h).
//
// Floating-point expressions here are written in the order in which numpy and
// pandas evaluate them; the kernel is built without value-changing
// optimisations (no FMA contraction).
#include "entries.h"

#include "column_values.h"
#include "grouping.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>
#include <type_traits>
#include <utility>

namespace movra::fe_kernel {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// numpy.nansum and Series.sum / Series.mean of float32 readings: float32
// accumulators, and a float32 count.
double aggregate32(const double *v, int64_t size, Aggregate how, Precision precision, std::vector<float> &buf) {
    buf.resize(size);
    int64_t count = 0;
    for (int64_t j = 0; j < size; j++) {
        buf[j] = std::isnan(v[j]) ? 0.0f : static_cast<float>(v[j]);
        count += !std::isnan(v[j]);
    }
    const float sum = stats::numpy_sum32(buf.data(), size, precision == Precision::Float32Legacy);
    if (how == Aggregate::NanSum) return sum;
    return count > 0 ? sum / static_cast<float>(count) : kNaN;
}

int64_t valid_count(const double *v, int64_t size) {
    int64_t count = 0;
    for (int64_t j = 0; j < size; j++) count += !std::isnan(v[j]);
    return count;
}

// Series.sum and Series.mean of Arrow-backed readings: pyarrow's sum over
// the runs of valid values, chunk by chunk; an all-null period sums to 0.
double arrow_aggregate(const double *v, int64_t size, Aggregate how, stats::ChunkCuts chunks) {
    const double sum = stats::arrow_sum(v, size, chunks);
    if (how == Aggregate::NanSum) return sum;
    const int64_t count = valid_count(v, size);
    return count > 0 ? sum / static_cast<double>(count) : kNaN;
}

// The aggregate of one period's readings v[0 .. size), in reading order
// (an Arrow column's in `chunks`).  Sums and means of float32 readings are
// float32.
inline double aggregate(const double *v, int64_t size, const Options &o, Work &w, stats::ChunkCuts chunks = {}) {
    const Aggregate how = o.aggregate;
    const bool sums = how == Aggregate::NanSum || how == Aggregate::Mean;
    const bool plain = sums && !o.arrow_sums && o.precision == Precision::Float64;
    if (plain && size == 1 && how == Aggregate::NanSum)  // one reading a period (days)
        return 0.0 + (std::isnan(v[0]) ? 0.0 : v[0]);
    if (!sums) {
        // Series.max / min: missing values skipped, the last of equal extremes.
        double best = kNaN;
        for (int64_t j = 0; j < size; j++) {
            if (std::isnan(v[j])) continue;
            if (std::isnan(best) || (how == Aggregate::Max ? !(best > v[j]) : !(best < v[j]))) best = v[j];
        }
        return best;
    }
    if (o.arrow_sums) return arrow_aggregate(v, size, how, chunks);
    if (o.precision != Precision::Float64) return aggregate32(v, size, how, o.precision, w.narrow);
    // Sums: missing values as 0 (the mean counts only the others).
    const double sum = 0.0 + stats::filled_sum(v, size);
    if (how == Aggregate::NanSum) return sum;
    const int64_t count = valid_count(v, size);
    return count > 0 ? sum / static_cast<double>(count) : kNaN;
}

// The nine statistics of a Series of the readings' type.  `own_dtype`: the
// Series keeps the readings' column type (a profile group, the lag
// differences), whose library computes them, an Arrow column's over
// `chunks`; the period aggregates are numpy numbers whatever the readings
// are.
stats::Tally describe(const double *v, int64_t n, Precision precision, const Options &o, Work &w, double *out,
                      bool own_dtype = false, stats::ChunkCuts chunks = {}) {
    if (own_dtype && o.arrow_stats) return stats::describe_arrow(v, n, w.stats, out, chunks, o.arrow_narrow_integers);
    if (precision == Precision::Float64)
        return stats::describe(v, n, o.moments, w.stats, out, own_dtype && o.where_sums);
    return stats::describe32(v, n, precision, w.stats, out);
}

// A statistics block with its counts into the entry at `slot`.
void counted(const stats::Tally &t, double *slot) {
    slot[Field::Nb0] = static_cast<double>(t.zeros);
    slot[Field::NbNa] = static_cast<double>(t.missing);
}

// time - lag as numpy computes it for the column's type (int64 wraps around).
inline double shifted(double t, double l) { return t - l; }
inline int64_t shifted(int64_t t, int64_t l) {
    return static_cast<int64_t>(static_cast<uint64_t>(t) - static_cast<uint64_t>(l));
}

// Branch-free: x - x is 0 unless x is infinite or NaN.
inline bool finite(double x) { return x - x == 0; }

// Pairs each reading with every reading exactly `lag` earlier (pandas merge,
// how="left": a reading without one is kept once, unpaired; a missing time
// pairs with every missing time).
template <class T>
void pair_up(const T *t, const double *value, int64_t a, int64_t e, int64_t timed_end, T lag, bool narrow,
             LagPairs &p) {
    int64_t nd = 0, np = 0;
    // Room for every reading paired once, until a repeated time asks for more.
    p.fit(e - a);
    // The shifted times ascend with the times, so the matches are found by a
    // pointer moving forward (reset should a wrap-around break the order).
    int64_t lo = a;
    T last{};
    bool have_last = false;
    for (int64_t i = a; i < e; i++) {
        const T s = shifted(t[i], lag);
        int64_t hi;
        if (missing(s)) {
            lo = timed_end;
            hi = e;
            have_last = false;
        } else {
            if (!have_last || s < last) lo = a;
            while (lo < timed_end && t[lo] < s) lo++;
            hi = lo;
            while (hi < timed_end && t[hi] == s) hi++;
            last = s;
            have_last = true;
        }
        const double v = value[i];
        p.fit(nd + std::max<int64_t>(1, hi - lo) + (e - 1 - i));  // these pairs, and one for each reading left
        if (lo == hi) {
            p.diffs[nd++] = kNaN;
            continue;
        }
        for (int64_t j = lo; j < hi; j++) {
            // float32 readings differ in float32.
            p.diffs[nd++] = narrow ? static_cast<float>(v) - static_cast<float>(value[j]) : v - value[j];
            p.earlier[np] = value[j];  // kept only when both are finite, as the correlation has them
            p.later[np] = v;
            np += finite(value[j]) & finite(v);
        }
    }
    p.ndiffs = nd;
    p.npairs = np;
}

// pair_up for readings whose times are all present and distinct, in
// ascending order, and whose shifted times ascend too (no wrap-around):
// every reading has at most one partner, found by a pointer moving forward.
template <class T>
void pair_up_distinct(const T *t, const double *value, int64_t a, int64_t e, T lag, bool narrow, LagPairs &p) {
    p.fit(e - a);
    int64_t lo = a, np = 0;
    for (int64_t i = a; i < e; i++) {
        const T s = shifted(t[i], lag);
        while (lo < e && t[lo] < s) lo++;
        const bool hit = lo < e && t[lo] == s;
        const double v = value[i], x = value[hit ? lo : i];
        const double diff = narrow ? static_cast<float>(v) - static_cast<float>(x) : v - x;
        p.diffs[i - a] = hit ? diff : kNaN;
        p.earlier[np] = x;  // kept only when both are finite, as the correlation has them
        p.later[np] = v;
        np += hit & finite(x) & finite(v);
    }
    p.ndiffs = e - a;
    p.npairs = np;
}

// pair_up for readings one time step apart (integer times t[a], t[a] + 1,
// ...): the partner of reading i is reading i - lag, where there is one.
void pair_up_consecutive(const double *value, int64_t a, int64_t e, int64_t lag, bool narrow, LagPairs &p) {
    const int64_t n = e - a;
    p.fit(n);
    // Readings k in [from, to) have a partner, k - lag (no overflow: |lag| < n there).
    const int64_t from = lag >= n ? n : lag > 0 ? lag : 0;
    const int64_t to = lag <= -n ? 0 : lag < 0 ? n + lag : n;
    const double *v = value + a;
    int64_t np = 0;
    for (int64_t k = 0; k < n; k++) p.diffs[k] = kNaN;
    for (int64_t k = from; k < to; k++) {
        const double x = v[k - lag], y = v[k];
        p.diffs[k] = narrow ? static_cast<float>(y) - static_cast<float>(x) : y - x;
        p.earlier[np] = x;  // kept only when both are finite, as the correlation has them
        p.later[np] = y;
        np += finite(x) & finite(y);
    }
    p.ndiffs = n;
    p.npairs = np;
}

// Whether t[a .. e) ascends strictly: no missing time, no repeated one.
template <class T>
bool strictly_ascending(const T *t, int64_t a, int64_t e) {
    bool ascending = true;
    for (int64_t i = a + 1; i < e; i++) ascending &= t[i - 1] < t[i];  // false where either is NaN
    return ascending;
}

// Whether each time minus `lag` ascends as the times do.
template <class T>
bool shift_keeps_order(const T *t, int64_t a, int64_t e, T lag) {
    if constexpr (std::is_floating_point_v<T>)
        return std::isfinite(lag);
    else
        return shifted(t[a], lag) <= shifted(t[e - 1], lag);  // a wrap-around breaks the order
}

// The correlations of two lags side by side: each recurrence is a chain of
// dependent steps, which two chains fill out.  The pairs are finite, so the
// i-th step divides by i + 1: the divisions are looked up (r).  The
// recurrences' state stays local, in registers rather than in memory that
// the pairs might alias (or another thread's state share a cache line with).
double correlate(const LagPairs &p, const double *r) {
    stats::Welford c;
    for (int64_t i = 0; i < p.npairs; i++) c.add_finite(p.earlier[i], p.later[i], r[i]);
    return c.result();
}

std::pair<double, double> correlate(const LagPairs &p, const LagPairs &q, const double *r) {
    stats::Welford c, d;
    const int64_t both = std::min(p.npairs, q.npairs);
    for (int64_t i = 0; i < both; i++) {
        c.add_finite(p.earlier[i], p.later[i], r[i]);
        d.add_finite(q.earlier[i], q.later[i], r[i]);
    }
    for (int64_t i = both; i < p.npairs; i++) c.add_finite(p.earlier[i], p.later[i], r[i]);
    for (int64_t i = both; i < q.npairs; i++) d.add_finite(q.earlier[i], q.later[i], r[i]);
    return {c.result(), d.result()};
}

// Where the Arrow chunks of a window that keeps them (w.chunks) begin among
// the readings of group j, into w.group_chunks.  Only a group pandas finds
// in place is a slice of the window's readings; it takes any other into
// one chunk.
stats::ChunkCuts group_chunks(const Groups &g, int64_t j, Work &w) {
    if (w.chunks.empty() || !g.in_place) return {};
    chunk_starts_within(w.chunks, g.starts[j], g.starts[j + 1], w.group_chunks);
    return {w.group_chunks.data(), w.group_chunks.size()};
}

// 1. / (k + 1) for every k below n, computed once per thread.
const double *reciprocals(int64_t n, std::vector<double> &r) {
    for (int64_t k = static_cast<int64_t>(r.size()); k < n; k++) r.push_back(1. / static_cast<double>(k + 1));
    return r.data();
}

}  // namespace

void period_entry(const Column &key, const double *value, int64_t a, int64_t e, const Options &o, Work &w,
                  Result &out) {
    StageClock &clock = w.stats.clock;
    const Groups g = group_by_key(key, value, a, e, false, w);
    clock.lap(StageTimes::Grouping);
    const int64_t categories = key.categories;
    auto size_of = [&](int64_t j) { return g.starts[j + 1] - g.starts[j]; };
    // The groups holding readings: all of them, unless every category is one.
    int64_t observed = 0, first_observed = -1, last_observed = -1;
    for (int64_t j = 0; j < g.count; j++)
        if (size_of(j) > 0) {
            observed++;
            if (first_observed < 0) first_observed = j;
            last_observed = j;
        }
    // NB counts the distinct keys of the whole window, a missing key as one.
    const double distinct = static_cast<double>(observed + (g.any_missing ? 1 : 0));
    // del_t_maximin drops every reading holding the smallest or the largest
    // key: the first and the last group holding readings.  Such a group of a
    // category stays, without readings.
    int64_t g0 = 0, g1 = g.count;
    if (o.del_t_maximin && categories == 0) {
        g0 = 1;
        g1 = g.count - 1;
    }
    auto dropped = [&](int64_t j) {
        return o.del_t_maximin && categories > 0 && (j == first_observed || j == last_observed);
    };
    auto &series = w.series;
    series.resize(static_cast<size_t>(std::max<int64_t>(0, g1 - g0)));
    bool any_empty = false;
    const bool one_each = categories == 0 && g.count == e - a;  // a reading per period (days)
    if (one_each && o.aggregate == Aggregate::NanSum && !o.arrow_sums && o.precision == Precision::Float64) {
        for (int64_t j = g0; j < g1; j++) series[j - g0] = 0.0 + (std::isnan(g.values[j]) ? 0.0 : g.values[j]);
    } else {
        // Dropping the smallest and largest periods takes the readings
        // into one chunk.
        for (int64_t j = g0; j < g1; j++) {
            const int64_t size = dropped(j) ? 0 : size_of(j);
            any_empty = any_empty || size == 0;
            const stats::ChunkCuts chunks = o.del_t_maximin ? stats::ChunkCuts() : group_chunks(g, j, w);
            series[j - g0] = aggregate(g.values + g.starts[j], size, o, w, chunks);
        }
    }
    clock.lap(StageTimes::Aggregates);
    // The aggregates of float32 readings form a float32 Series, unless a
    // period's mean is missing, or a period without readings has no maximum
    // or minimum: that NaN is a Python float, and the Series becomes float64.
    Precision precision = o.precision;
    auto is_missing = [](double x) { return std::isnan(x); };
    if (o.aggregate == Aggregate::Mean && std::any_of(series.begin(), series.end(), is_missing))
        precision = Precision::Float64;
    if ((o.aggregate == Aggregate::Max || o.aggregate == Aggregate::Min) && any_empty)
        precision = Precision::Float64;
    out.period.resize(out.period.size() + kPeriodWidth, kNaN);
    double *slot = out.period.data() + out.period.size() - kPeriodWidth;
    if (series.empty()) {
        out.period_kept.push_back(0);
        return;
    }
    out.period_kept.push_back(1);
    counted(describe(series.data(), static_cast<int64_t>(series.size()), precision, o, w, slot), slot);
    slot[Field::Nb] = distinct;
    clock.lap(StageTimes::Records);
}

void profile_entry(const Column &key, const double *value, int64_t a, int64_t e, const Options &o, Work &w,
                   Result &out) {
    StageClock &clock = w.stats.clock;
    const Groups g = group_by_key(key, value, a, e, true, w);
    clock.lap(StageTimes::Grouping);
    out.profile_groups.push_back(g.count);
    for (int64_t j = 0; j < g.count; j++) {
        const int64_t size = g.starts[j + 1] - g.starts[j];
        out.profile_keys.push_back(g.keys[j]);
        out.profile_rows.push_back(size);
        out.profile_stats.resize(out.profile_stats.size() + kStats);
        const stats::Tally t = describe(g.values + g.starts[j], size, o.precision, o, w,
                                        out.profile_stats.data() + out.profile_stats.size() - kStats, true,
                                        group_chunks(g, j, w));
        out.profile_missing.push_back(t.missing > 0);
        clock.lap(StageTimes::Records);
    }
}

template <class T>
void lag_entries(const T *t, const double *value, int64_t a, int64_t e, int64_t timed_end,
                 const std::vector<Scalar> &lags, const Options &o, Work &w, Result &out) {
    const size_t count = lags.size();
    if (w.lags.size() < count) w.lags.resize(count);
    const bool narrow = o.precision != Precision::Float64;
    // Times all present and distinct (the usual case) pair by a forward
    // pointer; integer times one step apart (daily readings without a gap)
    // pair by position.
    const bool distinct = e - a > 1 && timed_end == e && strictly_ascending(t, a, e);
    bool consecutive = false;
    if constexpr (!std::is_floating_point_v<T>)
        consecutive = distinct && static_cast<uint64_t>(t[e - 1]) - static_cast<uint64_t>(t[a]) ==
                                      static_cast<uint64_t>(e - 1 - a);
    for (size_t l = 0; l < count; l++) {
        const T lag = from_scalar<T>(lags[l]);
        if constexpr (!std::is_floating_point_v<T>) {
            if (consecutive) {
                pair_up_consecutive(value, a, e, lag, narrow, w.lags[l]);
                continue;
            }
        }
        if (distinct && shift_keeps_order(t, a, e, lag))
            pair_up_distinct(t, value, a, e, lag, narrow, w.lags[l]);
        else
            pair_up(t, value, a, e, timed_end, lag, narrow, w.lags[l]);
    }
    StageClock &clock = w.stats.clock;
    clock.lap(StageTimes::LagPairs);
    int64_t most = 0;
    for (size_t l = 0; l < count; l++) most = std::max(most, w.lags[l].npairs);
    const double *r = reciprocals(most, w.reciprocals);
    for (size_t l = 0; l < count; l += 2) {
        if (l + 1 < count)
            std::tie(w.lags[l].correlation, w.lags[l + 1].correlation) = correlate(w.lags[l], w.lags[l + 1], r);
        else
            w.lags[l].correlation = correlate(w.lags[l], r);
    }
    clock.lap(StageTimes::Correlations);
    for (size_t k = 0; k < count; k++) {
        const LagPairs &p = w.lags[k];
        out.lag.resize(out.lag.size() + kLagWidth, kNaN);
        double *slot = out.lag.data() + out.lag.size() - kLagWidth;
        counted(describe(p.diffs.data(), p.ndiffs, o.precision, o, w, slot, true), slot);
        slot[Field::Nb] = static_cast<double>(p.ndiffs);
        slot[Field::Acor] = p.correlation;
        clock.lap(StageTimes::Records);
    }
}

template <class T>
void span_entry(const T *t, int64_t a, int64_t timed_end, Result &out) {
    Scalar lo, hi;
    if (timed_end > a) {
        lo = to_scalar(t[a]);
        hi = to_scalar(t[timed_end - 1]);
    } else {
        lo.f = hi.f = kNaN;
    }
    out.span.push_back(lo);
    out.span.push_back(hi);
}

template void lag_entries(const int64_t *, const double *, int64_t, int64_t, int64_t, const std::vector<Scalar> &,
                          const Options &, Work &, Result &);
template void lag_entries(const double *, const double *, int64_t, int64_t, int64_t, const std::vector<Scalar> &,
                          const Options &, Work &, Result &);
template void span_entry(const int64_t *, int64_t, int64_t, Result &);
template void span_entry(const double *, int64_t, int64_t, Result &);

}  // namespace movra::fe_kernel
