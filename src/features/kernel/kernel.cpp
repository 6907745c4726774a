// The native kernel of fe4ts: ordering the readings, locating windows and
// computing their records (see fe_kernel.h).
//
// Floating-point expressions here are written in the order in which numpy and
// pandas evaluate them, so that results agree to the last bits wherever the
// libraries' own algorithm is known; this file must not be compiled with
// value-changing optimisations (no -ffast-math, no FMA contraction).
#include "fe_kernel.h"

#include "column_values.h"
#include "entries.h"
#include "parallel.h"
#include "window_work.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <numeric>
#include <type_traits>

namespace movra::fe_kernel {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

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

void Result::clear() { *this = Result(); }

namespace {

// f(mine, theirs) for each of a result's per-record vectors and the same
// vector of `other`.
template <class F>
void each_vector(Result &r, const Result &other, F &&f) {
    f(r.rows, other.rows);
    f(r.period_kept, other.period_kept);
    f(r.period, other.period);
    f(r.profile_groups, other.profile_groups);
    f(r.profile_keys, other.profile_keys);
    f(r.profile_stats, other.profile_stats);
    f(r.profile_missing, other.profile_missing);
    f(r.profile_rows, other.profile_rows);
    f(r.lag, other.lag);
    f(r.span, other.span);
}

}  // namespace

void Result::append(const Result &more) {
    windows += more.windows;
    each_vector(*this, more, [](auto &to, const auto &from) { to.insert(to.end(), from.begin(), from.end()); });
}

// A call's records run to tens of megabytes: grown by doubling, each
// vector would be copied again and again, into memory never touched before,
// by the thread appending while the others wait for it.
void Result::reserve_like_these(int64_t all) {
    if (windows == 0 || all <= windows) return;
    const size_t so_far = static_cast<size_t>(windows), more = static_cast<size_t>(all - windows);
    each_vector(*this, *this, [&](auto &v, const auto &) {
        const size_t per_window = (v.size() + so_far - 1) / so_far;
        v.reserve(v.size() + (per_window + per_window / 16) * more);
    });
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
            // A bound at or before the first time (a window over the whole
            // unit) needs no search, which would touch memory far apart.
            if (lo < hi && t[lo] < b) lo = std::lower_bound(t + lo, t + hi, b) - t;
        };
        if (w.has_start) lower(w.start);
        if (w.has_end) {
            const T b = from_scalar<T>(w.end);
            if (missing(b))
                hi = lo;
            else if (lo < hi && b < t[hi - 1])
                hi = std::upper_bound(t + lo, t + hi, b) - t;
        }
        if (w.has_forward_t) lower(w.forward_t_from);
        if (w.has_backward_t) lower(w.backward_t_from);
        if (hi < lo) hi = lo;
        r.begin = lo;
        r.end = hi;
    }
    // Time bounds that keep every reading leave them as they were.
    r.copied = r.begin == begin && r.end == end;
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
    if (w.matches_nothing) return Range{};
    auto it = blocks_.find(w.unit);
    if (it == blocks_.end()) return Range{};
    const Block &b = it->second;
    Range r = table_.time.integer() ? locate_in(table_.time.i64, b.begin, b.end, b.timed_end, w)
                                    : locate_in(table_.time.f64, b.begin, b.end, b.timed_end, w);
    // A window of the only unit, in reading order, is a slice of the table.
    r.copied = r.copied && !table_.chunks.empty() && !reordered_ && b.begin == 0 && b.end == table_.rows;
    return r;
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

void Kernel::compute(const Range &r, const Options &o, Work &w, Result &out) {
    w.stats.clock.start(o.profile);
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
    w.chunks.clear();
    if (r.copied) chunk_starts_within(table_.chunks, a, e, w.chunks);
    for (int k : o.tactic) period_entry(table_.keys[k], value, a, e, o, w, out);
    for (int k : o.periodic) profile_entry(table_.keys[k], value, a, e, o, w, out);
    if (table_.time.integer()) {
        lag_entries(table_.time.i64, value, a, e, e, o.lags, o, w, out);
        span_entry(table_.time.i64, a, e, out);
    } else {
        // Readings without a time come last in the window.
        const double *t = table_.time.f64;
        const int64_t timed_end =
            std::partition_point(t + a, t + e, [](double x) { return !std::isnan(x); }) - t;
        lag_entries(t, value, a, e, timed_end, o.lags, o, w, out);
        span_entry(t, a, timed_end, out);
    }
    w.stats.clock.lap(StageTimes::Records);
}

namespace {

// Where each run of windows handed to a thread begins, then `count`: about
// a quarter of the windows left over the threads, and no fewer than a few.
std::vector<int64_t> run_bounds(int64_t count, int threads) {
    constexpr int64_t kFewest = 4;
    std::vector<int64_t> bounds{0};
    for (int64_t at = 0; at < count;) {
        at = std::min(count, at + std::max(kFewest, (count - at) / (4 * static_cast<int64_t>(threads))));
        bounds.push_back(at);
    }
    return bounds;
}

}  // namespace

StageTimes Kernel::stage_times() const {
    StageTimes all = ordering_clock_.times();
    for (const auto &w : work_) all += w->stats.clock.times();
    return all;
}

Kernel::Status Kernel::run(const Window *windows, int64_t count, const Options &options,
                           Result &out, int64_t *failed_at) {
    if (interrupted_) return Status::BadOptions;  // never ordered: nothing to run on
    const int64_t nkeys = static_cast<int64_t>(table_.keys.size());
    auto bad = [&](int k) { return k < 0 || k >= nkeys; };
    if (std::any_of(options.tactic.begin(), options.tactic.end(), bad) ||
        std::any_of(options.periodic.begin(), options.periodic.end(), bad))
        return Status::BadOptions;
    if (threads_ == 1 || count < 2) {
        for (int64_t i = 0; i < count; i++) {
            const Range r = locate(windows[i]);
            if (r.ambiguous) {
                if (failed_at) *failed_at = i;
                return Status::Ambiguous;
            }
            compute(r, options, *work_[0], out);
        }
        return Status::Ok;
    }
    // Runs of windows, the largest first, are handed out to the threads as
    // they become free; the last are a few windows each, so that the threads
    // finish together.  Whichever thread finishes a run appends the records
    // of every finished run that is next in window order, while the other
    // threads go on: nothing is left to append at the end.
    const std::vector<int64_t> bounds = run_bounds(count, threads_);
    const int64_t runs = static_cast<int64_t>(bounds.size()) - 1;
    // Each run's records on cache lines of their own: two threads append to
    // neighbouring runs.
    struct alignas(64) RunRecords {
        Result result;
    };
    std::vector<RunRecords> records(static_cast<size_t>(runs));
    std::vector<char> finished(static_cast<size_t>(runs), 0);
    std::mutex appending;
    int64_t appended = 0;
    std::atomic<int64_t> ambiguous{count};  // the first ambiguous window found
    for_each_part(threads_, runs, [&](int64_t p, int worker) {
        for (int64_t i = bounds[p]; i < bounds[p + 1] && i < ambiguous.load(); i++) {
            const Range r = locate(windows[i]);
            if (r.ambiguous) {
                for (int64_t seen = ambiguous.load(); i < seen && !ambiguous.compare_exchange_weak(seen, i);) {
                }
                break;
            }
            compute(r, options, *work_[worker], records[p].result);
        }
        // A run after an ambiguous window is never appended: the run holding
        // that window finishes before any run after it is next in order.
        std::lock_guard<std::mutex> hold(appending);
        finished[p] = 1;
        for (; appended < runs && finished[appended] && bounds[appended] < ambiguous.load(); appended++) {
            out.append(records[appended].result);
            records[appended].result = Result();
        }
    });
    if (ambiguous.load() < count) {
        if (failed_at) *failed_at = ambiguous.load();
        return Status::Ambiguous;
    }
    return Status::Ok;
}

}  // namespace movra::fe_kernel
