// Unit tests of the event kernels, without Python.  Expected values are the
// ones the pandas path gives for the same small logs, worked out by hand.
#include "checks.h"
#include "event_kernels.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

using namespace movra::events;
using movra_tests::check;

namespace {

template <class T>
std::string text(const std::vector<T> &v) {
    std::string s = "[";
    for (size_t i = 0; i < v.size(); i++) s += (i ? ", " : "") + std::to_string(v[i]);
    return s + "]";
}

template <class T>
void check_equal(const std::vector<T> &got, const std::vector<T> &want, const std::string &what) {
    check(got == want, what + ": got " + text(got) + ", want " + text(want));
}

// ---- usest2uet ---------------------------------------------------------------

// Log rows (consumer, kind, times); kinds coded in sorted order.
struct LogBuilder {
    std::vector<int64_t> consumer, kind, cell{0}, times;
    std::vector<uint8_t> missing;
    void row(int64_t c, int64_t k, std::vector<int64_t> t, std::vector<uint8_t> nat = {}) {
        consumer.push_back(c);
        kind.push_back(k);
        for (size_t i = 0; i < t.size(); i++) {
            times.push_back(t[i]);
            missing.push_back(i < nat.size() ? nat[i] : 0);
        }
        cell.push_back(static_cast<int64_t>(times.size()));
    }
    EventLog view() const {
        return EventLog{static_cast<int64_t>(consumer.size()), consumer.data(), kind.data(), cell.data(),
                        times.data(), missing.data()};
    }
};

void test_cut_rows_kinds_and_bounds() {
    LogBuilder b;
    b.row(0, 1, {5});        // consumer 0, kind "b"
    b.row(0, 0, {4, 1, 2});  // kind "a", unsorted
    b.row(0, 0, {2, 9});     // kind "a" again: joined after the row above
    b.row(1, 0, {3});
    b.row(0, -1, {4});  // a missing kind is dropped
    const EventLog log = b.view();
    WindowCutter cutter(log);
    Cut cut;
    cutter.cut(Window{0, 1, 5, false}, 0, cut);  // both bounds exclusive
    cutter.cut(Window{-1, 1, 9, false}, 1, cut); // consumer absent from the log: no rows
    cutter.cut(Window{0, 3, 10, false}, 2, cut);
    check_equal(cut.window, {0, 0, 2, 2}, "windows");
    check_equal(cut.kind, {0, 1, 0, 1}, "kinds in grouping order");
    check_equal(cut.begin, {0, 3, 3, 5, 6}, "row offsets");
    // times 4, 2, 2 (the first row's 1 is on the bound) then 4, 9, then 5
    check_equal(cut.kept, {1, 3, 4, 1, 5, 0}, "kept times, in concatenation order");
    check_equal(cut.joined_empty, {0, 0, 0, 0}, "no kind without times");
}

void test_empty_lists_missing_times_and_never() {
    LogBuilder b;
    b.row(0, 0, {});
    b.row(0, 0, {});
    b.row(0, 1, {3, 4}, {1, 0});  // NaT compares false
    const EventLog log = b.view();
    WindowCutter cutter(log);
    Cut cut;
    cutter.cut(Window{0, 0, 10, false}, 7, cut);
    cutter.cut(Window{0, 0, 10, true}, 8, cut);  // a NaT bound keeps nothing
    check_equal(cut.joined_empty, {1, 0, 1, 0}, "all-empty kinds");
    check_equal(cut.kept, {1}, "NaT never kept");
    check_equal(cut.begin, {0, 0, 1, 1, 1}, "offsets");
}

// ---- uet2ute -----------------------------------------------------------------

void test_regroup_keeps_collection_order() {
    const std::vector<int64_t> unit = {2, 1, 1, 1, 1, 1};
    const std::vector<int64_t> time = {1, 3, 2, 3, 3, 2};
    std::vector<int64_t> order, begin;
    regroup(unit.data(), time.data(), 6, order, begin);
    check_equal(order, {2, 5, 1, 3, 4, 0}, "order by unit, time, then collection");
    check_equal(begin, {0, 2, 5, 6}, "group starts");
    regroup(unit.data(), time.data(), 0, order, begin);
    check_equal(begin, {0}, "no occurrence, no group");
}

// Units in runs (as a table's rows give them) or scattered, few distinct
// times: the order is the stable one by (unit, time), the groups its runs.
void test_regroup_is_the_stable_order() {
    std::mt19937 rng(7);
    for (int round = 0; round < 200; round++) {
        const int n = static_cast<int>(rng() % 60);
        std::vector<int64_t> unit(n), time(n);
        for (int i = 0; i < n; i++) {
            unit[i] = static_cast<int64_t>(rng() % 5) - 2;
            time[i] = static_cast<int64_t>(rng() % 4);
        }
        if (round % 2 == 0) std::sort(unit.begin(), unit.end());
        std::vector<int64_t> want(n), want_begin, order, begin;
        std::iota(want.begin(), want.end(), int64_t{0});
        std::stable_sort(want.begin(), want.end(), [&](int64_t a, int64_t b) {
            return unit[a] != unit[b] ? unit[a] < unit[b] : time[a] < time[b];
        });
        for (int i = 0; i < n; i++)
            if (i == 0 || unit[want[i]] != unit[want[i - 1]] || time[want[i]] != time[want[i - 1]])
                want_begin.push_back(i);
        want_begin.push_back(n);
        regroup(unit.data(), time.data(), n, order, begin);
        check_equal(order, want, "order, round " + std::to_string(round));
        check_equal(begin, want_begin, "group starts, round " + std::to_string(round));
    }
}

// ---- times read from their calendar fields ------------------------------------

// Every day from 1600 to 2300, counted one by one from 1970-01-01 with the
// leap rule written out: read where int64 nanoseconds surely hold it, else
// left to the caller.
void test_civil_nanoseconds_count_every_day() {
    constexpr int64_t kDay = 86400LL * 1000000000LL;
    auto leap = [](int64_t y) { return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0); };
    auto days_in = [&](int64_t y, int m) {
        static const int length[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        return length[m - 1] + (m == 2 && leap(y) ? 1 : 0);
    };
    int failures = 0;
    for (int direction : {1, -1}) {
        int64_t y = 1970, days = 0;
        int m = 1, d = 1;
        while (y >= 1600 && y < 2300 && failures < 5) {
            int64_t ns = -1;
            const bool read = civil_nanoseconds(y, m, d, 0, 0, 0, 0, ns);
            const bool safe = days >= -106750 && days <= 106750;
            if (read != safe || (read && ns != days * kDay)) {
                check(false, "day " + std::to_string(y) + "-" + std::to_string(m) + "-" + std::to_string(d) +
                                 ": read " + std::to_string(read) + ", " + std::to_string(ns));
                failures++;
            }
            days += direction;
            if (direction > 0 && ++d > days_in(y, m)) {
                d = 1;
                if (++m > 12) m = 1, y++;
            } else if (direction < 0 && --d < 1) {
                if (--m < 1) m = 12, y--;
                d = days_in(y, m);
            }
        }
    }
    int64_t ns = 0;
    check(civil_nanoseconds(2000, 2, 29, 12, 34, 56, 789012, ns) && ns == 951827696789012000LL, "a leap day's time");
    check(civil_nanoseconds(1969, 12, 31, 23, 59, 59, 999999, ns) && ns == -1000, "the microsecond before the epoch");
}

// ---- unit_date ---------------------------------------------------------------

void test_thinning_spacing_and_rounding() {
    const int64_t day = 24;  // ticks of an hour
    // Unit 0: first kept; +15 days dropped; -16 days kept; equal dropped;
    // 15 days 12 hours later kept (kept minus new floors to -16 days);
    // unit 1 never meets unit 0.
    const std::vector<int64_t> unit = {0, 0, 0, 0, 1, 0, 0};
    const std::vector<int64_t> t = {1000, 1000 + 15 * day, 1000 - 16 * day, 1000, 1000, 1000 + 15 * day + 12,
                                    1000 - 15 * day - 12};
    std::vector<std::vector<int64_t>> kept;
    thin_calendar(unit.data(), t.data(), 7, 2, 15, day, kept);
    check(kept.size() == 2, "one list per unit");
    check_equal(kept[0], {0, 2, 5}, "unit 0 kept rows");
    check_equal(kept[1], {4}, "unit 1 kept rows");
}

// ---- evaluate4group ----------------------------------------------------------

void test_top_rows_by_group() {
    const double NaN = std::numeric_limits<double>::quiet_NaN();
    // Group 0: 4 rows, two flagged; group 1: a tie across the cut with
    // different labels; group 2: a tie across the cut with equal labels.
    const std::vector<int64_t> group = {0, 0, 0, 0, 1, 1, 1, 2, 2, 2, -1};
    const std::vector<double> predict = {0.1, NaN, 0.9, 0.5, 0.7, 0.7, 0.2, 0.4, 0.4, 0.4, 1.0};
    const std::vector<double> label = {1, 1, 0, 1, 1, 0, 1, 0, 0, 1, 1};
    Scores s{11, 3, group.data(), predict.data(), label.data()};
    GroupCatch out;
    catch_by_group(s, [](int64_t size) { return size == 4 ? 2 : 1; }, out);
    check_equal(out.size, {4, 3, 3}, "group sizes");
    check_equal(out.caught, {1.0, 0.0, 0.0}, "caught");
    check_equal(out.ambiguous, {0, 1, 1}, "ties across the cut with different labels");
    double caught = 0;
    bool ambiguous = false;
    std::vector<int64_t> rows = {0, 1, 2, 3};
    rank_group(s, rows, -1, caught, ambiguous);  // a negative count drops from the end
    check(caught == 2.0 && !ambiguous, "negative count: 0.9, 0.5, 0.1 flagged");
    rows = {0, 1, 2, 3};
    rank_group(s, rows, 10, caught, ambiguous);
    check(caught == 3.0 && !ambiguous, "a count beyond the group flags it whole");
}

// ---- tsdf2seq ----------------------------------------------------------------

void test_series_cut_by_date_and_length() {
    // Times out of order, one tie (rows 1 and 4 keep row order).
    const std::vector<int64_t> t = {40, 20, 10, 30, 20, 50};
    std::vector<int64_t> kept;
    TimeBounds<int64_t> none;
    PositionSlice all;
    cut_series(t.data(), 6, none, all, kept);
    check_equal(kept, {2, 1, 4, 3, 0, 5}, "ascending time, equal times in row order");

    TimeBounds<int64_t> window;
    window.has_upto = window.has_from = true;
    window.upto = 40;
    window.from = 20;
    PositionSlice last2;  // "post", maxlen 2: [-2:]
    last2.has_start = true;
    last2.start = -2;
    cut_series(t.data(), 6, window, last2, kept);
    check_equal(kept, {3, 0}, "both bounds inclusive, then the last two");

    PositionSlice drop_last;  // "pre", maxlen -1: [:-1]
    drop_last.has_stop = true;
    drop_last.stop = -1;
    cut_series(t.data(), 6, window, drop_last, kept);
    check_equal(kept, {1, 4, 3}, "a negative length drops from the end");

    PositionSlice beyond;  // "post", maxlen 10: [-10:]
    beyond.has_start = true;
    beyond.start = -10;
    cut_series(t.data(), 6, window, beyond, kept);
    check_equal(kept, {1, 4, 3, 0}, "a length beyond the rows keeps them all");
    beyond.start = 10;  // "post", maxlen -10: [10:]
    cut_series(t.data(), 6, window, beyond, kept);
    check_equal(kept, {}, "dropping more than there is leaves nothing");

    const std::vector<double> f = {2.5, -1.0, 0.5};
    TimeBounds<double> upto;
    upto.has_upto = true;
    upto.upto = 0.5;
    std::vector<int64_t> kept_f;
    cut_series(f.data(), 3, upto, all, kept_f);
    check_equal(kept_f, {1, 2}, "float times");
    cut_series(f.data(), 0, upto, all, kept_f);
    check_equal(kept_f, {}, "no rows");
}

// Longer series take the radix sort: the order must be the stable one,
// for ticks of whole days, negative times, ties, and floats with -0.0.
void test_series_order_of_long_series() {
    std::vector<int64_t> t;
    std::vector<double> f;
    uint64_t state = 12345;
    for (int i = 0; i < 500; i++) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        const int64_t day = static_cast<int64_t>(state >> 40) % 300 - 150;  // ties among 500 draws
        t.push_back(day * 86400000000000LL);
        f.push_back(i % 7 == 0 ? -0.0 : static_cast<double>(day) / 4);
    }
    std::vector<int64_t> want(t.size()), kept;
    std::iota(want.begin(), want.end(), int64_t{0});
    std::stable_sort(want.begin(), want.end(), [&](int64_t a, int64_t b) { return t[a] < t[b]; });
    cut_series(t.data(), 500, TimeBounds<int64_t>{}, PositionSlice{}, kept);
    check(kept == want, "radix order of day ticks is the stable order");

    std::iota(want.begin(), want.end(), int64_t{0});
    std::stable_sort(want.begin(), want.end(), [&](int64_t a, int64_t b) { return f[a] < f[b]; });
    cut_series(f.data(), 500, TimeBounds<double>{}, PositionSlice{}, kept);
    check(kept == want, "radix order of floats is the stable order");
}

}  // namespace

int main() {
    test_cut_rows_kinds_and_bounds();
    test_empty_lists_missing_times_and_never();
    test_regroup_keeps_collection_order();
    test_regroup_is_the_stable_order();
    test_civil_nanoseconds_count_every_day();
    test_thinning_spacing_and_rounding();
    test_top_rows_by_group();
    test_series_cut_by_date_and_length();
    test_series_order_of_long_series();
    return movra_tests::report("event kernels");
}
