// The native kernel of fe4ts: ordering the readings, locating windows and
// computing their records (see fe_kernel.h).
//
// Floating-point expressions here are written in the order in which numpy and
// pandas evaluate them, so that results agree to the last bits wherever the
// libraries' own algorithm is known; this file must not be compiled with
// value-changing optimisations (no -ffast-math, no FMA contraction).
#include "fe_kernel.h"

#include "parallel.h"
#include "stats.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <type_traits>

namespace movra::fe_kernel {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

template <class K>
inline bool missing(K k) {
    if constexpr (std::is_floating_point_v<K>)
        return std::isnan(k);
    else
        return false;
}

template <class K>
inline Scalar to_scalar(K k) {
    Scalar s;
    if constexpr (std::is_floating_point_v<K>)
        s.f = k;
    else
        s.i = k;
    return s;
}

template <class K>
inline K from_scalar(const Scalar &s) {
    if constexpr (std::is_floating_point_v<K>)
        return s.f;
    else
        return s.i;
}

// time - lag as numpy computes it for the column's type (int64 wraps around).
inline double shifted(double t, double l) { return t - l; }
inline int64_t shifted(int64_t t, int64_t l) {
    return static_cast<int64_t>(static_cast<uint64_t>(t) - static_cast<uint64_t>(l));
}

// Where rows[-k:] starts in n rows (Python slice rules, no overflow at the
// int64 limits).
int64_t tail_start(int64_t k, int64_t n) {
    if (k > 0) return k >= n ? 0 : n - k;
    if (k == std::numeric_limits<int64_t>::min()) return n;
    return std::min(-k, n);
}

// Where rows[:k] stops in n rows.
int64_t head_stop(int64_t k, int64_t n) {
    if (k >= 0) return std::min(k, n);
    return k < -n ? 0 : n + k;
}

}  // namespace

// ---- the kernel -----------------------------------------------------------

struct Work {
    stats::Scratch stats;
    std::vector<int64_t> idx, sorted, starts, counts;
    std::vector<uint64_t> held;
    std::vector<double> buffer, series, diffs;
    std::vector<float> narrow;
};

void Result::clear() { *this = Result(); }

void Result::append(const Result &more) {
    auto extend = [](auto &to, const auto &from) { to.insert(to.end(), from.begin(), from.end()); };
    windows += more.windows;
    extend(rows, more.rows);
    extend(period_kept, more.period_kept);
    extend(period, more.period);
    extend(profile_groups, more.profile_groups);
    extend(profile_keys, more.profile_keys);
    extend(profile_stats, more.profile_stats);
    extend(profile_missing, more.profile_missing);
    extend(profile_rows, more.profile_rows);
    extend(lag, more.lag);
    extend(span, more.span);
}

Kernel::Kernel(const Table &table, std::function<bool()> interrupted, int threads)
    : table_(table), should_stop_(std::move(interrupted)), threads_(std::max(1, threads)) {
    for (int i = 0; i < threads_; i++) work_.push_back(std::make_unique<Work>());
    order_readings();
    table_.wanted_units.reset();  // only the ordering reads it
}

bool Kernel::stop_requested() {
    if (!interrupted_ && should_stop_ && should_stop_()) interrupted_ = true;
    return interrupted_;
}

// The copies' pages go back to the system on every thread before the
// buffers are unmapped.
Kernel::~Kernel() { give_back_copies(); }

namespace {

template <class T>
Range locate_in(const T *t, int64_t begin, int64_t end, int64_t timed_end, const Window &w) {
    Range r{begin, end, false};
    const bool timed = w.has_start || w.has_end || w.has_forward_t || w.has_backward_t;
    if (timed) {
        // Every time filter drops the readings without a time.
        int64_t lo = begin, hi = timed_end;
        auto lower = [&](const Scalar &s) {
            const T b = from_scalar<T>(s);
            if (missing(b)) {
                hi = lo;
                return;
            }
            lo = std::lower_bound(t + lo, t + hi, b) - t;
        };
        if (w.has_start) lower(w.start);
        if (w.has_end) {
            const T b = from_scalar<T>(w.end);
            if (missing(b))
                hi = lo;
            else
                hi = std::upper_bound(t + lo, t + hi, b) - t;
        }
        if (w.has_forward_t) lower(w.forward_t_from);
        if (w.has_backward_t) lower(w.backward_t_from);
        if (hi < lo) hi = lo;
        r.begin = lo;
        r.end = hi;
    }
    // A cut between two readings of the same time keeps one of them or the
    // other depending on how the sort ordered the tie.
    auto split_tie = [&](int64_t at) {
        return at > r.begin && at < r.end && !missing(t[at]) && t[at - 1] == t[at];
    };
    if (w.has_forward_r) {
        const int64_t n = r.end - r.begin;
        const int64_t start = tail_start(w.forward_r, n);
        if (split_tie(r.begin + start)) r.ambiguous = true;
        r.begin += start;
    }
    if (w.has_backward_r) {
        const int64_t n = r.end - r.begin;
        const int64_t stop = head_stop(w.backward_r, n);
        if (split_tie(r.begin + stop)) r.ambiguous = true;
        r.end = r.begin + stop;
    }
    return r;
}

}  // namespace

Range Kernel::locate(const Window &w) const {
    if (w.matches_nothing) return Range{0, 0, false};
    auto it = blocks_.find(w.unit);
    if (it == blocks_.end()) return Range{0, 0, false};
    const Block &b = it->second;
    if (table_.time.integer()) return locate_in(table_.time.i64, b.begin, b.end, b.timed_end, w);
    return locate_in(table_.time.f64, b.begin, b.end, b.timed_end, w);
}

namespace {

template <class T>
bool repeats(const T *t, int64_t begin, int64_t end) {
    for (int64_t i = begin + 1; i < end; i++)
        if (t[i] == t[i - 1]) return true;  // never true of missing times
    return false;
}

}  // namespace

bool Kernel::repeats_time(const Range &r) const {
    if (table_.time.integer()) return repeats(table_.time.i64, r.begin, r.end);
    return repeats(table_.time.f64, r.begin, r.end);
}

namespace {

// Orders the readings [a, e) of a key column into groups: w.idx gets the
// offsets (from a) of the readings that have a key, ordered by key and, within
// a key, by reading order; w.starts the group boundaries in w.idx.  Returns
// whether some reading has no key.
template <class K>
bool group_rows(const K *key, int64_t a, int64_t e, Work &w) {
    auto &idx = w.idx;
    auto &starts = w.starts;
    idx.clear();
    starts.clear();
    const int64_t n = e - a;
    bool any_missing = false, monotone = true;
    K lo{}, hi{}, prev{};
    bool seen = false;
    for (int64_t i = 0; i < n; i++) {
        const K k = key[a + i];
        if (missing(k)) {
            any_missing = true;
            continue;
        }
        if (!seen) {
            lo = hi = k;
            seen = true;
        } else {
            if (k < prev) monotone = false;
            if (k < lo) lo = k;
            if (k > hi) hi = k;
        }
        prev = k;
        idx.push_back(i);
    }
    if (!monotone) {
        bool counted = false;
        if constexpr (!std::is_floating_point_v<K>) {
            // Small integer ranges (weekdays, months, weeks): counting sort.
            const uint64_t range = static_cast<uint64_t>(hi) - static_cast<uint64_t>(lo);
            if (range < 4 * static_cast<uint64_t>(n) + 64) {
                // From the keys as first read (kept in w.held): a caller's
                // column changed meanwhile by another thread then gives a
                // wrong grouping, never a write outside the buffers.
                auto &held = w.held;
                held.clear();
                for (int64_t i : idx) held.push_back(static_cast<uint64_t>(key[a + i]) - static_cast<uint64_t>(lo));
                for (uint64_t &h : held) h = std::min<uint64_t>(h, range);
                auto &counts = w.counts;
                counts.assign(static_cast<size_t>(range) + 2, 0);
                for (uint64_t h : held) counts[h + 1]++;
                for (size_t c = 1; c < counts.size(); c++) counts[c] += counts[c - 1];
                auto &sorted = w.sorted;
                sorted.resize(idx.size());
                for (size_t j = 0; j < idx.size(); j++) sorted[counts[held[j]]++] = idx[j];
                idx.swap(sorted);
                counted = true;
            }
        }
        if (!counted)
            std::stable_sort(idx.begin(), idx.end(),
                             [&](int64_t x, int64_t y) { return key[a + x] < key[a + y]; });
    }
    for (size_t j = 0; j < idx.size(); j++)
        if (j == 0 || key[a + idx[j]] != key[a + idx[j - 1]]) starts.push_back(static_cast<int64_t>(j));
    starts.push_back(static_cast<int64_t>(idx.size()));
    return any_missing;
}

// Orders the readings [a, e) of a column of category codes into one group
// per category, as group_rows does, with w.starts holding all `categories` + 1
// boundaries: a category without readings is an empty group.  Each code is
// read once, and one outside the categories counts as missing, so a column
// changed meanwhile gives a wrong grouping, never a write outside the
// buffers.  Returns whether some reading has no category.
template <class K>
bool group_codes(const K *key, int64_t a, int64_t e, int64_t categories, Work &w) {
    const int64_t n = e - a;
    auto &held = w.held;  // each reading's code, or `categories` when it has none
    held.resize(static_cast<size_t>(n));
    auto &counts = w.counts;
    counts.assign(static_cast<size_t>(categories) + 2, 0);
    for (int64_t i = 0; i < n; i++) {
        const K k = key[a + i];
        const bool valid = !missing(k) && k >= 0 && k < static_cast<K>(categories);
        held[i] = valid ? static_cast<uint64_t>(k) : static_cast<uint64_t>(categories);
        counts[held[i] + 1]++;
    }
    for (size_t c = 1; c < counts.size(); c++) counts[c] += counts[c - 1];
    auto &starts = w.starts;
    starts.assign(counts.begin(), counts.end() - 1);  // boundaries of the categories
    auto &idx = w.idx;
    idx.resize(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; i++) idx[counts[held[i]]++] = i;
    idx.resize(static_cast<size_t>(starts.back()));  // the readings without one last, left out
    return starts.back() < n;
}

// numpy.nansum and Series.sum / Series.mean of float32 readings: float32
// accumulators, and a float32 count.
double aggregate32(const double *value, int64_t a, const int64_t *at, int64_t size, Aggregate how,
                   Precision precision, std::vector<float> &buf) {
    buf.resize(size);
    int64_t count = 0;
    for (int64_t j = 0; j < size; j++) {
        const double v = value[a + at[j]];
        buf[j] = std::isnan(v) ? 0.0f : static_cast<float>(v);
        count += !std::isnan(v);
    }
    const float sum = stats::numpy_sum32(buf.data(), size, precision == Precision::Float32Legacy);
    if (how == Aggregate::NanSum) return sum;
    return count > 0 ? sum / static_cast<float>(count) : kNaN;
}

// Series.sum and Series.mean of Arrow-backed readings: pyarrow's sum over
// the runs of valid values; an all-null period sums to 0.
double arrow_aggregate(const double *value, int64_t a, const int64_t *at, int64_t size, Aggregate how, Work &w) {
    auto &buf = w.buffer;
    buf.resize(size);
    stats::Masked m;
    for (int64_t j = 0; j < size; j++) {
        buf[j] = value[a + at[j]];
        m.count += !std::isnan(buf[j]);
    }
    m.values = buf.data();
    m.n = size;
    const double sum = stats::arrow_sum(m);
    if (how == Aggregate::NanSum) return sum;
    return m.count > 0 ? sum / static_cast<double>(m.count) : kNaN;
}

// The aggregate of one period: value[a + at[0 .. size)], in reading order.
// Sums and means of float32 readings are float32.
double aggregate(const double *value, int64_t a, const int64_t *at, int64_t size, const Options &o, Work &w) {
    const Aggregate how = o.aggregate;
    const Precision precision = o.precision;
    if (how == Aggregate::Max || how == Aggregate::Min) {
        // Series.max / min: missing values skipped, the last of equal extremes.
        double best = kNaN;
        for (int64_t j = 0; j < size; j++) {
            const double v = value[a + at[j]];
            if (std::isnan(v)) continue;
            if (std::isnan(best) || (how == Aggregate::Max ? !(best > v) : !(best < v))) best = v;
        }
        return best;
    }
    if (o.arrow_sums) return arrow_aggregate(value, a, at, size, how, w);
    if (precision != Precision::Float64) return aggregate32(value, a, at, size, how, precision, w.narrow);
    // Sums: missing values as 0 (the mean counts only the others).
    if (size == 1 && how == Aggregate::NanSum) {  // one reading a period (days)
        const double v = value[a + at[0]];
        return 0.0 + (std::isnan(v) ? 0.0 : v);
    }
    auto &buf = w.buffer;
    buf.resize(size);
    int64_t count = 0;
    for (int64_t j = 0; j < size; j++) {
        const double v = value[a + at[j]];
        buf[j] = std::isnan(v) ? 0.0 : v;
        count += !std::isnan(v);
    }
    const double sum = stats::numpy_sum(buf.data(), size);
    if (how == Aggregate::NanSum) return sum;
    return count > 0 ? sum / static_cast<double>(count) : kNaN;
}

// The nine statistics of a Series of the readings' type.  `own_dtype`: the
// Series keeps the readings' column type (a profile group, the lag
// differences), whose library computes them; the period aggregates are
// numpy numbers whatever the readings are.
void describe(const double *v, int64_t n, Precision precision, const Options &o, Work &w, double *out,
              bool own_dtype = false) {
    if (own_dtype && o.arrow_stats)
        stats::describe_arrow(v, n, w.stats, out);
    else if (precision == Precision::Float64)
        stats::describe(v, n, o.moments, w.stats, out, own_dtype && o.where_sums);
    else
        stats::describe32(v, n, precision, w.stats, out);
}

// Groups the readings [a, e) by their key (w.idx, w.starts; see group_rows):
// by value, or one group per category for a column of category codes.
// Returns whether some reading has no key.
template <class K>
bool group_by_key(const K *key, int64_t categories, int64_t a, int64_t e, Work &w) {
    return categories > 0 ? group_codes(key, a, e, categories, w) : group_rows(key, a, e, w);
}

template <class K>
void period_entry(const K *key, int64_t categories, const double *value, int64_t a, int64_t e, const Options &o,
                  Work &w, Result &out) {
    const bool any_missing = group_by_key(key, categories, a, e, w);
    const int64_t groups = static_cast<int64_t>(w.starts.size()) - 1;
    auto size_of = [&](int64_t g) { return w.starts[g + 1] - w.starts[g]; };
    // The groups holding readings: all of them, unless every category is one.
    int64_t observed = 0, first_observed = -1, last_observed = -1;
    for (int64_t g = 0; g < groups; g++)
        if (size_of(g) > 0) {
            observed++;
            if (first_observed < 0) first_observed = g;
            last_observed = g;
        }
    // NB counts the distinct keys of the whole window, a missing key as one.
    const double distinct = static_cast<double>(observed + (any_missing ? 1 : 0));
    // del_t_maximin drops every reading holding the smallest or the largest
    // key: the first and the last group holding readings.  Such a group of a
    // category stays, without readings.
    int64_t g0 = 0, g1 = groups;
    if (o.del_t_maximin && categories == 0) {
        g0 = 1;
        g1 = groups - 1;
    }
    auto dropped = [&](int64_t g) {
        return o.del_t_maximin && categories > 0 && (g == first_observed || g == last_observed);
    };
    auto &series = w.series;
    series.clear();
    bool any_empty = false;
    for (int64_t g = g0; g < g1; g++) {
        const int64_t size = dropped(g) ? 0 : size_of(g);
        any_empty = any_empty || size == 0;
        series.push_back(aggregate(value, a, w.idx.data() + w.starts[g], size, o, w));
    }
    // The aggregates of float32 readings form a float32 Series, unless a
    // period's mean is missing, or a period without readings has no maximum
    // or minimum: that NaN is a Python float, and the Series becomes float64.
    Precision precision = o.precision;
    auto missing = [](double x) { return std::isnan(x); };
    if (o.aggregate == Aggregate::Mean && std::any_of(series.begin(), series.end(), missing))
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
    const int64_t periods = static_cast<int64_t>(series.size());
    describe(series.data(), periods, precision, o, w, slot);
    stats::zeros_and_missing(series.data(), periods, slot);
    slot[Field::Nb] = distinct;
}

template <class K>
void profile_entry(const K *key, int64_t categories, const double *value, int64_t a, int64_t e, const Options &o,
                   Work &w, Result &out) {
    group_by_key(key, categories, a, e, w);
    const int64_t groups = static_cast<int64_t>(w.starts.size()) - 1;
    out.profile_groups.push_back(groups);
    for (int64_t g = 0; g < groups; g++) {
        // A category is its code; any other group, the key of its readings.
        const K k = categories > 0 ? static_cast<K>(g) : key[a + w.idx[w.starts[g]]];
        out.profile_keys.push_back(to_scalar(k));
        out.profile_rows.push_back(w.starts[g + 1] - w.starts[g]);
        auto &buf = w.buffer;
        buf.clear();
        uint8_t missing = 0;
        for (int64_t j = w.starts[g]; j < w.starts[g + 1]; j++) {
            buf.push_back(value[a + w.idx[j]]);
            missing |= std::isnan(buf.back());
        }
        out.profile_missing.push_back(missing);
        out.profile_stats.resize(out.profile_stats.size() + kStats);
        describe(buf.data(), static_cast<int64_t>(buf.size()), o.precision, o, w,
                 out.profile_stats.data() + out.profile_stats.size() - kStats, true);
    }
}

// Pairs each reading with every reading exactly `lag` earlier (pandas merge,
// how="left": a reading without one is kept once, unpaired; a missing time
// pairs with every missing time), then describes the differences.
template <class T>
void lag_entry(const T *t, const double *value, int64_t a, int64_t e, int64_t timed_end, T lag,
               const Options &o, Work &w, Result &out) {
    const bool narrow = o.precision != Precision::Float64;
    auto &diffs = w.diffs;
    diffs.clear();
    stats::Welford corr;
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
        if (lo == hi) {
            diffs.push_back(kNaN);
            continue;
        }
        for (int64_t j = lo; j < hi; j++) {
            // float32 readings differ in float32.
            diffs.push_back(narrow ? static_cast<float>(v) - static_cast<float>(value[j]) : v - value[j]);
            corr.add(value[j], v);
        }
    }
    out.lag.resize(out.lag.size() + kLagWidth, kNaN);
    double *slot = out.lag.data() + out.lag.size() - kLagWidth;
    const int64_t pairs = static_cast<int64_t>(diffs.size());
    describe(diffs.data(), pairs, o.precision, o, w, slot, true);
    stats::zeros_and_missing(diffs.data(), pairs, slot);
    slot[Field::Nb] = static_cast<double>(diffs.size());
    slot[Field::Acor] = corr.result();
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

// Calls f with the column's values: its int32, int64 or double pointer.
template <class F>
void with_column(const Column &c, F &&f) {
    if (c.i32)
        f(c.i32);
    else if (c.i64)
        f(c.i64);
    else
        f(c.f64);
}

}  // namespace

void Kernel::compute(const Range &r, const Options &o, Work &w, Result &out) {
    const int64_t a = r.begin, e = r.end;
    out.windows += 1;
    out.rows.push_back(e - a);
    if (e == a) {
        // An empty window has an empty record.
        out.period_kept.resize(out.period_kept.size() + o.tactic.size(), 0);
        out.period.resize(out.period.size() + o.tactic.size() * kPeriodWidth, kNaN);
        out.profile_groups.resize(out.profile_groups.size() + o.periodic.size(), 0);
        out.lag.resize(out.lag.size() + o.lags.size() * kLagWidth, kNaN);
        Scalar none;
        none.f = kNaN;
        out.span.push_back(none);
        out.span.push_back(none);
        return;
    }
    const double *value = table_.value;
    for (int k : o.tactic) {
        const Column &c = table_.keys[k];
        with_column(c, [&](const auto *key) { period_entry(key, c.categories, value, a, e, o, w, out); });
    }
    for (int k : o.periodic) {
        const Column &c = table_.keys[k];
        with_column(c, [&](const auto *key) { profile_entry(key, c.categories, value, a, e, o, w, out); });
    }
    if (table_.time.integer()) {
        for (const Scalar &l : o.lags) lag_entry(table_.time.i64, value, a, e, e, l.i, o, w, out);
        span_entry(table_.time.i64, a, e, out);
    } else {
        // Readings without a time come last in the window.
        const double *t = table_.time.f64;
        const int64_t timed_end =
            std::partition_point(t + a, t + e, [](double x) { return !std::isnan(x); }) - t;
        for (const Scalar &l : o.lags) lag_entry(t, value, a, e, timed_end, l.f, o, w, out);
        span_entry(t, a, timed_end, out);
    }
}

Kernel::Status Kernel::run(const Window *windows, int64_t count, const Options &options,
                           Result &out, int64_t *failed_at) {
    if (interrupted_) return Status::BadOptions;  // never ordered: nothing to run on
    const int64_t nkeys = static_cast<int64_t>(table_.keys.size());
    auto bad = [&](int k) { return k < 0 || k >= nkeys; };
    if (std::any_of(options.tactic.begin(), options.tactic.end(), bad) ||
        std::any_of(options.periodic.begin(), options.periodic.end(), bad))
        return Status::BadOptions;
    // Where every window lies, up to the first ambiguous one.
    std::vector<Range> ranges;
    ranges.reserve(static_cast<size_t>(std::max<int64_t>(count, 0)));
    Status status = Status::Ok;
    for (int64_t i = 0; i < count; i++) {
        ranges.push_back(locate(windows[i]));
        if (ranges.back().ambiguous) {
            ranges.pop_back();
            if (failed_at) *failed_at = i;
            status = Status::Ambiguous;
            break;
        }
    }
    const int64_t todo = static_cast<int64_t>(ranges.size());
    if (threads_ == 1 || todo < 2) {
        for (const Range &r : ranges) compute(r, options, *work_[0], out);
        return status;
    }
    // Runs of windows are handed out to the threads as they become free, each
    // run's records kept apart and appended in window order at the end.
    const int64_t per_part = std::max<int64_t>(1, todo / (8 * threads_));
    const int64_t parts = (todo + per_part - 1) / per_part;
    std::vector<Result> records(static_cast<size_t>(parts));
    for_each_part(threads_, parts, [&](int64_t p, int worker) {
        const int64_t end = std::min(todo, (p + 1) * per_part);
        for (int64_t i = p * per_part; i < end; i++) compute(ranges[i], options, *work_[worker], records[p]);
    });
    for (const Result &r : records) out.append(r);
    return status;
}

}  // namespace movra::fe_kernel
