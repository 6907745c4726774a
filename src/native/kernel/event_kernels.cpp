// Kernels of the event-log functions (see event_kernels.h).
#include "event_kernels.h"

#include <algorithm>
#include <cstring>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <utility>

namespace movra::events {

// ---- usest2uet ----------------------------------------------------------------

void Cut::clear() {
    window.clear();
    kind.clear();
    begin.assign(1, 0);
    kept.clear();
    joined_empty.clear();
}

WindowCutter::WindowCutter(const EventLog &log) : log_(log) {
    // Rows grouped by consumer, then kind, keeping log order: two counting
    // passes would need the kind count; a stable sort of the consumer's rows
    // is as simple and only runs once.
    int64_t consumers = 0;
    for (int64_t r = 0; r < log.rows; r++) consumers = std::max(consumers, log.consumer[r] + 1);
    consumer_begin_.assign(static_cast<size_t>(consumers) + 1, 0);
    for (int64_t r = 0; r < log.rows; r++)
        if (log.consumer[r] >= 0 && log.kind[r] >= 0) consumer_begin_[log.consumer[r] + 1]++;
    std::partial_sum(consumer_begin_.begin(), consumer_begin_.end(), consumer_begin_.begin());
    rows_.assign(static_cast<size_t>(consumer_begin_.back()), 0);
    std::vector<int64_t> next(consumer_begin_.begin(), consumer_begin_.end() - 1);
    for (int64_t r = 0; r < log.rows; r++)
        if (log.consumer[r] >= 0 && log.kind[r] >= 0) rows_[next[log.consumer[r]]++] = r;
    for (int64_t c = 0; c < consumers; c++)
        std::stable_sort(rows_.begin() + consumer_begin_[c], rows_.begin() + consumer_begin_[c + 1],
                         [&](int64_t a, int64_t b) { return log.kind[a] < log.kind[b]; });
}

void WindowCutter::cut(const Window &w, int64_t position, Cut &out) const {
    if (w.consumer < 0 || w.consumer + 1 >= static_cast<int64_t>(consumer_begin_.size())) return;
    const int64_t first = consumer_begin_[w.consumer], last = consumer_begin_[w.consumer + 1];
    for (int64_t i = first; i < last;) {
        // One kind: its rows' lists joined in row order, kept strictly
        // inside (start, end).
        const int64_t kind = log_.kind[rows_[i]];
        int64_t joined = 0;
        for (; i < last && log_.kind[rows_[i]] == kind; i++) {
            const int64_t r = rows_[i];
            joined += log_.cell[r + 1] - log_.cell[r];
            if (w.never) continue;
            for (int64_t t = log_.cell[r]; t < log_.cell[r + 1]; t++)
                if (!log_.missing[t] && log_.times[t] > w.start && log_.times[t] < w.end) out.kept.push_back(t);
        }
        out.window.push_back(position);
        out.kind.push_back(kind);
        out.joined_empty.push_back(joined == 0);
        out.begin.push_back(static_cast<int64_t>(out.kept.size()));
    }
}

// ---- uet2ute ------------------------------------------------------------------

void regroup(const int64_t *unit, const int64_t *time, int64_t n, std::vector<int64_t> &order,
             std::vector<int64_t> &group_begin) {
    order.resize(static_cast<size_t>(n));
    std::iota(order.begin(), order.end(), int64_t{0});
    // By unit first: as a rule the occurrences already come in runs of one
    // unit (a table's rows by unit), and nothing moves.  Then each unit's
    // run by time, a few occurrences each; the index breaks ties, as both
    // sorts keep collection order.
    if (!std::is_sorted(unit, unit + n))
        std::stable_sort(order.begin(), order.end(), [&](int64_t a, int64_t b) { return unit[a] < unit[b]; });
    group_begin.clear();
    group_begin.reserve(static_cast<size_t>(n) + 1);
    for (int64_t first = 0, last = 0; first < n; first = last) {
        while (last < n && unit[order[last]] == unit[order[first]]) last++;
        std::sort(order.begin() + first, order.begin() + last,
                  [&](int64_t a, int64_t b) { return time[a] != time[b] ? time[a] < time[b] : a < b; });
        for (int64_t i = first; i < last; i++)
            if (i == first || time[order[i]] != time[order[i - 1]]) group_begin.push_back(i);
    }
    group_begin.push_back(n);
}

// ---- times read from their calendar fields ------------------------------------

namespace {

// Days from 1970-01-01 to the given date: whole 400-year eras (146,097 days
// each) from 0000-03-01, the year counted from March so that the leap day
// ends it.
int64_t days_from_civil(int64_t year, int month, int day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t year_of_era = year - era * 400;
    const int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

}  // namespace

bool civil_nanoseconds(int64_t year, int month, int day, int hour, int minute, int second, int microsecond,
                       int64_t &ns) {
    constexpr int64_t kDay = 86400LL * 1000000000LL;
    // Days whose every nanosecond int64 holds, with a day to spare: 2**63
    // ns is 106,751.99 days.
    constexpr int64_t kSafeDays = 106750;
    const int64_t days = days_from_civil(year, month, day);
    if (days < -kSafeDays || days > kSafeDays) return false;
    const int64_t seconds = (hour * 60LL + minute) * 60LL + second;
    ns = days * kDay + seconds * 1000000000LL + microsecond * 1000LL;
    return true;
}

// ---- unit_date ----------------------------------------------------------------

namespace {

// Floor division, as a time difference's whole days round.
int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) q--;
    return q;
}

}  // namespace

void thin_calendar(const int64_t *unit, const int64_t *shifted, int64_t n, int64_t units, int64_t spacing,
                   int64_t day, std::vector<std::vector<int64_t>> &kept) {
    kept.assign(static_cast<size_t>(units), {});
    std::vector<std::vector<int64_t>> dates(static_cast<size_t>(units));
    for (int64_t r = 0; r < n; r++) {
        std::vector<int64_t> &have = dates[static_cast<size_t>(unit[r])];
        const int64_t d = shifted[r];
        bool keep = true;
        for (int64_t i : have) {
            // Equal to a kept date, or too close to one.
            if (i == d || std::llabs(floor_div(i - d, day)) <= spacing) {
                keep = false;
                break;
            }
        }
        if (keep) {
            have.push_back(d);
            kept[static_cast<size_t>(unit[r])].push_back(r);
        }
    }
}

// ---- evaluate4group -----------------------------------------------------------

void rank_group(const Scores &s, std::vector<int64_t> &rows, int64_t flagged, double &caught, bool &ambiguous) {
    const int64_t size = static_cast<int64_t>(rows.size());
    // A negative count slices from the end, as a positional slice does.
    int64_t m = flagged < 0 ? std::max<int64_t>(0, size + flagged) : std::min(flagged, size);
    caught = 0.0;
    ambiguous = false;
    if (m == 0) return;
    auto missing = [&](int64_t r) { return std::isnan(s.predict[r]); };
    // Descending, missing predictions last; equal keys in any order.
    auto before = [&](int64_t a, int64_t b) {
        if (missing(a) || missing(b)) return !missing(a) && missing(b);
        return s.predict[a] > s.predict[b];
    };
    auto tied = [&](int64_t a, int64_t b) {
        return missing(a) ? missing(b) : (!missing(b) && s.predict[a] == s.predict[b]);
    };
    if (m < size) {
        std::nth_element(rows.begin(), rows.begin() + (m - 1), rows.end(), before);
        std::nth_element(rows.begin() + m, rows.begin() + m, rows.end(), before);
        // rows[m - 1] is the last flagged rank, rows[m] the first unflagged.
        if (tied(rows[m - 1], rows[m])) {
            // The tie straddles the cut: only equal labels make it moot.
            const int64_t pivot = rows[m - 1];
            double label = std::nan("");
            bool first = true;
            for (int64_t r : rows) {
                if (!tied(r, pivot)) continue;
                const double l = s.label[r];
                if (first) {
                    label = l;
                    first = false;
                } else if (!(l == label || (std::isnan(l) && std::isnan(label)))) {
                    ambiguous = true;
                    return;
                }
            }
        }
    }
    for (int64_t i = 0; i < m; i++) {
        const double l = s.label[rows[i]];
        if (!std::isnan(l)) caught += l;
    }
}

// ---- tsdf2seq -------------------------------------------------------------------

namespace {

// A Python slice bound resolved against a length, as slice.indices does.
int64_t resolve(bool has, int64_t bound, int64_t absent, int64_t length) {
    if (!has) return absent;
    if (bound < 0) bound += length;
    return std::clamp<int64_t>(bound, 0, length);
}

// Keys whose unsigned order is the times' order.
uint64_t sort_key(int64_t t) { return static_cast<uint64_t>(t) ^ (uint64_t{1} << 63); }

uint64_t sort_key(double t) {
    if (t == 0.0) t = 0.0;  // -0.0 equals 0.0
    uint64_t bits = 0;
    std::memcpy(&bits, &t, sizeof bits);
    return (bits >> 63) != 0 ? ~bits : bits | (uint64_t{1} << 63);
}

// Stable LSD radix sort of `rows` by `keys`, 11 bits at a time.  The keys
// are first taken relative to the smallest and stripped of the low bits they
// all share (times on whole days in nanoseconds share 16), so readings over
// a few years need four passes.  Comparison sorts mispredict a branch on
// nearly every step over shuffled readings.
void radix_sort(std::vector<uint64_t> &keys, std::vector<int64_t> &rows) {
    constexpr int kBits = 11;
    constexpr size_t kBuckets = size_t{1} << kBits;
    const size_t n = keys.size();
    const uint64_t low = *std::min_element(keys.begin(), keys.end());
    uint64_t any = 0;
    for (uint64_t &k : keys) any |= (k -= low);
    if (any == 0) return;
    int shift = 0;
    while (((any >> shift) & 1) == 0) shift++;
    uint64_t high = 0;
    for (uint64_t &k : keys) high = std::max(high, k >>= shift);
    int width = 0;
    while (width < 64 && (high >> width) != 0) width++;

    std::vector<uint64_t> keys_out(n);
    std::vector<int64_t> rows_out(n);
    std::vector<size_t> start(kBuckets);
    for (int at = 0; at < width; at += kBits) {
        std::fill(start.begin(), start.end(), 0);
        for (uint64_t k : keys) start[(k >> at) & (kBuckets - 1)]++;
        size_t next = 0;
        for (size_t &bucket : start) {
            const size_t size = bucket;
            bucket = next;
            next += size;
        }
        for (size_t i = 0; i < n; i++) {
            const size_t to = start[(keys[i] >> at) & (kBuckets - 1)]++;
            keys_out[to] = keys[i];
            rows_out[to] = rows[i];
        }
        keys.swap(keys_out);
        rows.swap(rows_out);
    }
}

}  // namespace

template <class T>
void cut_series(const T *times, int64_t n, const TimeBounds<T> &bounds, const PositionSlice &keep,
                std::vector<int64_t> &kept) {
    // Time order; readings usually come sorted, which costs one pass.
    kept.resize(static_cast<size_t>(n));
    std::iota(kept.begin(), kept.end(), int64_t{0});
    if (std::is_sorted(times, times + n)) {
    } else if (n < 64) {
        std::stable_sort(kept.begin(), kept.end(), [times](int64_t a, int64_t b) { return times[a] < times[b]; });
    } else {
        std::vector<uint64_t> keys(static_cast<size_t>(n));
        for (int64_t r = 0; r < n; r++) keys[static_cast<size_t>(r)] = sort_key(times[r]);
        radix_sort(keys, kept);
    }

    // The date and look-back cuts.
    if (bounds.has_upto || bounds.has_from) {
        auto outside = [&](int64_t r) {
            return (bounds.has_upto && !(times[r] <= bounds.upto)) || (bounds.has_from && !(times[r] >= bounds.from));
        };
        kept.erase(std::remove_if(kept.begin(), kept.end(), outside), kept.end());
    }

    // The length cut, by position.
    const int64_t m = static_cast<int64_t>(kept.size());
    const int64_t start = resolve(keep.has_start, keep.start, 0, m);
    const int64_t stop = std::max(start, resolve(keep.has_stop, keep.stop, m, m));
    kept.erase(kept.begin() + stop, kept.end());
    kept.erase(kept.begin(), kept.begin() + start);
}

template void cut_series<int64_t>(const int64_t *, int64_t, const TimeBounds<int64_t> &, const PositionSlice &,
                                  std::vector<int64_t> &);
template void cut_series<double>(const double *, int64_t, const TimeBounds<double> &, const PositionSlice &,
                                 std::vector<int64_t> &);

}  // namespace movra::events
