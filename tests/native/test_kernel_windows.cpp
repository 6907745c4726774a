// The kernel's window records, without Python: windows' bounds, period
// and profile entries, lags, categories, Arrow chunks, against the records
// pandas gives for the same readings and against plain computations.
#include "kernel_fixtures.h"

using namespace movra_tests;

namespace {

void test_windows() {
    Readings data;
    Kernel kernel(data.table());
    check(kernel.reordered(), "shuffled readings are reordered");
    const auto ws = windows();
    Result r;
    check(kernel.run(ws.data(), static_cast<int64_t>(ws.size()), options(false), r) == Kernel::Status::Ok,
          "run succeeds");
    check(r.windows == 5, "one record per window");
    const std::vector<int64_t> rows{9, 6, 3, 0, 2};
    for (int w = 0; w < 5; w++) {
        check(r.rows[w] == rows[w], "readings in window " + std::to_string(w));
        check_values(kWant[w], record(r, w), "record of window " + std::to_string(w));
    }
    std::vector<int64_t> keys;
    record(r, 0, &keys);
    check(keys == std::vector<int64_t>({0, 1, 2}), "profile keys ascending");
    // The two readings at time 5 repeat the lag-1 pairing of time 6: NB 10.
    check(r.lag[kLagWidth - 2] == 10, "lag rows include the repeated pairing");

    // Appending further windows to the same result keeps earlier records.
    check(kernel.run(ws.data(), 1, options(false), r) == Kernel::Status::Ok && r.windows == 6,
          "results accumulate");
    check_values(kWant[0], record(r, 5), "record appended after others");
}

void test_del_t_maximin() {
    Readings data;
    Kernel kernel(data.table());
    const auto ws = windows();
    Result r;
    check(kernel.run(ws.data(), static_cast<int64_t>(ws.size()), options(true), r) == Kernel::Status::Ok, "run");
    // Window 0: the first and last day and week are left out of the aggregates,
    // while NB still counts them; the profiles and lags do not change.
    check_values({6.0, 0.0, 4.0, 5.0, 0.75, 3.1666666666666665, 2.6394443859772205, -0.4640675095420218,
                  -2.0940454659920804, 2.0, 0.0, 8.0, 10.0, 10.0, 10.0, 10.0, 10.0, 10.0, NaN, NaN, NaN, 0.0, 0.0,
                  3.0},
                 std::vector<double>(r.period.begin(), r.period.begin() + 2 * kPeriodWidth), "dropped extremes");
    // Window 4 holds two days and two weeks: nothing is left, no entries.
    check(r.period_kept[4 * 2] == 0 && r.period_kept[4 * 2 + 1] == 0, "two periods leave nothing");
    check(record(r, 4).size() == 2 * kStats + 2 * kLagWidth + 2, "record without period entries");
}

void test_float_time() {
    // Times 1 2 NaN 2 NaN 3 with lag 1: a missing time pairs with every
    // missing time (pandas merge matches NaN keys), 2 pairs with 1, 3 with both 2s.
    std::vector<int64_t> unit(6, 1);
    std::vector<double> time{1, 2, NaN, 2, NaN, 3}, value{1, 2, 3, 4, 5, 6};
    Kernel kernel(table_of(unit, floats(time), value));
    Options o;
    o.tactic = {0};
    Scalar one;
    one.f = 1;
    o.lags = {one};
    Window all, timed;
    all.unit = timed.unit = 1;
    timed.has_start = true;
    timed.start.f = -std::numeric_limits<double>::infinity();
    Result r;
    check(kernel.run(&all, 1, o, r) == Kernel::Status::Ok && kernel.run(&timed, 1, o, r) == Kernel::Status::Ok,
          "run");
    check(r.rows[0] == 6 && r.rows[1] == 4, "missing times only without a time filter");
    // Period over the times: 1 -> 1, 2 -> 2 + 4, 3 -> 6; NB counts NaN once.
    check_values({6, 1, 6, 6, 3.5, 13.0 / 3, 2.886751345948129, -1.7320508075688776, NaN, 0, 0, 4},
                 std::vector<double>(r.period.begin(), r.period.begin() + kPeriodWidth), "float periods");
    // diffs in time order: 1 none; 2 -> 2-1; 2 -> 4-1; 3 -> 6-2, 6-4;
    // NaN -> 3-3, 3-5; NaN -> 5-3, 5-5
    const double *lag = r.lag.data();
    check(lag[11] == 9 && lag[10] == 1 && lag[9] == 2, "NaN times pair with each other");
    check(lag[0] == 4 && lag[1] == -2, "lag extremes");
    check(r.span[0].f == 1 && r.span[1].f == 3, "span skips missing times");
    check(r.lag[kLagWidth + 11] == 5, "time filter drops missing times");
    // A missing bound keeps nothing.
    Window nan_bound;
    nan_bound.unit = 1;
    nan_bound.has_end = true;
    nan_bound.end.f = NaN;
    check(kernel.locate(nan_bound).end == kernel.locate(nan_bound).begin, "missing bound");
}

// A random unit's readings in time order, with repeated times, missing and
// signed-zero values, and key columns of every kind the grouping treats
// apart; its record is checked against groups, pairs and sums formed the
// plain way: a map from key to values, every pair of times searched,
// series_stats of each Series.
void test_records_against_plain_computation() {
    uint64_t state = 7;
    auto next = [&] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return state >> 33;
    };
    const std::vector<int64_t> sizes{1, 2, 9, 40, 200, 700};
    for (int64_t n : sizes)
        for (int variant = 0; variant < 4; variant++) {
            const bool repeats = variant % 2 == 1;
            std::vector<int64_t> unit(n, 1), time(n), ascending(n), small(n), wide(n), codes(n);
            std::vector<double> value(n), floating(n);
            int64_t t = 0;
            for (int64_t i = 0; i < n; i++) {
                // Variant 2: one time step apart, as daily readings without a gap.
                t += repeats ? static_cast<int64_t>(next() % 3) : variant == 2 ? 1 : 1 + static_cast<int64_t>(next() % 2);
                time[i] = t;
                ascending[i] = t / 4;
                small[i] = static_cast<int64_t>(next() % 5);
                wide[i] = (static_cast<int64_t>(next() % 1000) - 500) * 1000003;  // both signs
                codes[i] = static_cast<int64_t>(next() % 7) - 1;  // -1: no category
                // Both signs, and -0.0, which is 0.0's key.
                const uint64_t f = next() % 12;
                floating[i] = f < 2 ? NaN : f == 2 ? -0.0 : static_cast<double>(static_cast<int64_t>(next() % 8) - 4) / 2;
                const uint64_t r = next() % 20;
                value[i] = r == 0 ? NaN : r == 1 ? 0.0 : r == 2 ? -0.0 : static_cast<double>(next() % 2000) / 100 - 5;
            }
            if (variant >= 2)  // no missing values at all: the sums take their shortcuts
                for (double &v : value)
                    if (std::isnan(v)) v = 1.5;
            std::vector<Column> keys{ints(ascending), ints(small), ints(wide), floats(floating), ints(codes)};
            keys.back().categories = 6;
            Kernel kernel(table_of(unit, ints(time), value, keys));
            Options o;
            for (int k = 0; k <= 5; k++) {
                o.tactic.push_back(k);
                if (k > 0) o.periodic.push_back(k);
            }
            for (int64_t lag : {1, 2, 0, -1, 7, 1000}) {
                Scalar l;
                l.i = lag;
                o.lags.push_back(l);
            }
            Window w;
            w.unit = 1;
            Result r;
            check(kernel.run(&w, 1, o, r) == Kernel::Status::Ok, "run");
            const std::string what = std::to_string(n) + " readings, variant " + std::to_string(variant);

            // Groups by key value, or by category (every one a group).
            auto groups_of = [&](size_t k) {
                std::map<double, std::vector<double>> by_key;
                const Column &c = k == 0 ? ints(time) : keys[k - 1];
                if (c.categories)
                    for (int64_t g = 0; g < c.categories; g++) by_key[static_cast<double>(g)];
                for (int64_t i = 0; i < n; i++) {
                    const double key = c.f64 ? c.f64[i] : static_cast<double>(c.i64[i]);
                    if (std::isnan(key) || (c.categories && (key < 0 || key >= c.categories))) continue;
                    by_key[key].push_back(value[i]);
                }
                return by_key;
            };
            bool all_same = true;
            auto same_bits = [&](const double *want, const double *got, int count) {
                for (int j = 0; j < count; j++) all_same = all_same && identical(want[j], got[j]);
            };
            std::vector<double> want(kStats);
            for (size_t k = 0; k < o.tactic.size(); k++) {
                std::vector<double> sums;
                for (const auto &[key, values] : groups_of(o.tactic[k])) {
                    std::vector<double> filled(values);
                    for (double &v : filled) v = std::isnan(v) ? 0.0 : v;
                    sums.push_back(0.0 + pairwise_sum(filled.data(), static_cast<int64_t>(filled.size())));
                }
                all_same = all_same && r.period_kept[k] == !sums.empty();  // no key at all: no entry
                if (sums.empty()) continue;
                series_stats(sums.data(), static_cast<int64_t>(sums.size()), o.moments, want.data());
                same_bits(want.data(), &r.period[k * kPeriodWidth], kStats);
                const double zeros = static_cast<double>(std::count(sums.begin(), sums.end(), 0.0));
                all_same = all_same && r.period[k * kPeriodWidth + Field::Nb0] == zeros;
            }
            check(all_same, "period entries of " + what);
            all_same = true;
            size_t group = 0;
            for (size_t k = 0; k < o.periodic.size(); k++) {
                const auto by_key = groups_of(o.periodic[k]);
                all_same = all_same && r.profile_groups[k] == static_cast<int64_t>(by_key.size());
                for (const auto &[key, values] : by_key) {
                    if (group >= r.profile_rows.size()) break;
                    series_stats(values.data(), static_cast<int64_t>(values.size()), o.moments, want.data());
                    same_bits(want.data(), &r.profile_stats[group * kStats], kStats);
                    const Scalar got = r.profile_keys[group];
                    all_same = all_same && (keys[o.periodic[k] - 1].f64 ? got.f == key : got.i == key) &&
                               r.profile_rows[group] == static_cast<int64_t>(values.size());
                    group++;
                }
            }
            check(all_same, "profile entries of " + what);
            all_same = true;
            for (size_t k = 0; k < o.lags.size(); k++) {
                std::vector<double> diffs, earlier, later;
                for (int64_t i = 0; i < n; i++) {
                    bool paired = false;
                    for (int64_t j = 0; j < n; j++)
                        if (time[j] == time[i] - o.lags[k].i) {
                            diffs.push_back(value[i] - value[j]);
                            earlier.push_back(value[j]);
                            later.push_back(value[i]);
                            paired = true;
                        }
                    if (!paired) diffs.push_back(NaN);
                }
                series_stats(diffs.data(), static_cast<int64_t>(diffs.size()), o.moments, want.data());
                const double *entry = &r.lag[k * kLagWidth];
                same_bits(want.data(), entry, kStats);
                const double corr = pairwise_corr(earlier.data(), later.data(), static_cast<int64_t>(earlier.size()));
                all_same = all_same && entry[Field::Nb] == static_cast<double>(diffs.size()) &&
                           identical(corr, entry[Field::Acor]);
            }
            check(all_same, "lag entries of " + what);

            // The same readings interleaved with another unit's are reordered,
            // their keys copied narrowed (to offsets of 1, 2 or 4 bytes from the
            // smallest, the category codes' -1 included): the same record.
            auto interleaved = [&](auto &column) {
                std::remove_reference_t<decltype(column)> both;
                for (int64_t i = 0; i < n; i++) {
                    both.push_back(column[i]);
                    both.push_back(column[n - 1 - i]);
                }
                return both;
            };
            std::vector<int64_t> units2(2 * n);
            for (int64_t i = 0; i < 2 * n; i++) units2[i] = i % 2 ? 2 : 1;
            const auto time2 = interleaved(time), ascending2 = interleaved(ascending), small2 = interleaved(small),
                       wide2 = interleaved(wide), codes2 = interleaved(codes);
            const auto value2 = interleaved(value), floating2 = interleaved(floating);
            std::vector<Column> keys2{ints(ascending2), ints(small2), ints(wide2), floats(floating2), ints(codes2)};
            keys2.back().categories = 6;
            Kernel mixed(table_of(units2, ints(time2), value2, keys2), nullptr, 2);
            Result r2;
            check(mixed.run(&w, 1, o, r2) == Kernel::Status::Ok, "run");
            check(n < 2 || (mixed.reordered() && bytes_of(r2) == bytes_of(r)), "reordered record of " + what);
        }
}

// Maxima and minima keep the last of equal extremes, which tells 0.0 from
// -0.0 apart.
void test_signed_zero_extremes() {
    uint64_t state = 3;
    for (int64_t n : {1, 3, 4, 5, 17, 100}) {
        for (int rep = 0; rep < 20; rep++) {
            std::vector<double> v(static_cast<size_t>(n));
            for (double &x : v) {
                state = state * 6364136223846793005ull + 1442695040888963407ull;
                const uint64_t r = state >> 60;
                x = r < 6 ? 0.0 : r < 12 ? -0.0 : r < 14 ? NaN : (rep % 2 ? -1.0 : 1.0);
            }
            double mx = NaN, mn = NaN;
            for (double x : v)
                if (!std::isnan(x)) {
                    if (std::isnan(mx) || !(mx > x)) mx = x;
                    if (std::isnan(mn) || !(mn < x)) mn = x;
                }
            const auto got = stats_of(v);
            check(identical(mx, got[Stat::Max]) && std::signbit(mx) == std::signbit(got[Stat::Max]) &&
                      identical(mn, got[Stat::Min]) && std::signbit(mn) == std::signbit(got[Stat::Min]),
                  "signed zero extremes of " + std::to_string(n) + " values");
        }
    }
}

void test_aggregates() {
    // Period aggregates other than the sum: per-week means, maxima, minima
    // of unit 7 (weeks 0: 2 3; 1: NaN 5 1 4; 2: 0 6 2), then their MAX.
    Readings data;
    Kernel kernel(data.table());
    Window w;
    w.unit = 7;
    const std::pair<Aggregate, double> cases[] = {
        {Aggregate::NanSum, 10.0}, {Aggregate::Mean, 10.0 / 3}, {Aggregate::Max, 6.0}, {Aggregate::Min, 2.0}};
    for (const auto &c : cases) {
        Options o = options(false);
        o.aggregate = c.first;
        Result r;
        check(kernel.run(&w, 1, o, r) == Kernel::Status::Ok, "run");
        check(same(c.second, r.period[kPeriodWidth]), "weekly aggregate " + std::to_string(int(c.first)));
    }
    // A period whose readings are all missing: 0 for the sum, missing otherwise.
    std::vector<int64_t> unit(4, 1), time{0, 0, 1, 1};
    std::vector<double> value{NaN, NaN, 1, 2};
    Kernel k2(table_of(unit, ints(time), value));
    Options o;
    o.tactic = {0};
    Window all;
    all.unit = 1;
    Result sums, means;
    check(k2.run(&all, 1, o, sums) == Kernel::Status::Ok, "run");
    o.aggregate = Aggregate::Mean;
    check(k2.run(&all, 1, o, means) == Kernel::Status::Ok, "run");
    check(sums.period[9] == 1 && sums.period[10] == 0 && sums.period[0] == 3, "all-missing period sums to 0");
    check(means.period[9] == 0 && means.period[10] == 1 && means.period[0] == 1.5, "all-missing period mean is missing");
}

void test_categories() {
    // A key column of category codes groups as pandas 2 groups a categorical:
    // each of the 5 categories is a period and a profile group of every
    // window, also without readings there.  Unit 1 holds categories 1 and 3
    // and a reading without one; unit 2 only readings without one.
    std::vector<int64_t> unit{1, 1, 1, 1, 1, 1, 2, 2}, time{0, 1, 2, 3, 4, 5, 0, 1};
    std::vector<double> value{1, 2, NaN, 4, 5, 6, 1, 2}, codes{1, 1, NaN, 3, 1, 3, NaN, NaN};
    Column category = floats(codes);
    category.categories = 5;
    Kernel kernel(table_of(unit, ints(time), value, {category}));
    std::vector<Window> ws(2);
    ws[0].unit = 1;
    ws[1].unit = 2;
    auto run = [&](Aggregate how, bool del_t_maximin) {
        Options o;
        o.tactic = {1};
        o.periodic = {1};
        o.aggregate = how;
        o.del_t_maximin = del_t_maximin;
        Result r;
        check(kernel.run(ws.data(), 2, o, r) == Kernel::Status::Ok, "run over categories");
        return r;
    };
    auto period = [](const Result &r, int64_t w) {
        return std::vector<double>(r.period.begin() + w * kPeriodWidth, r.period.begin() + (w + 1) * kPeriodWidth);
    };
    // NB counts the categories present and the missing one; NB_0 the empty periods' zero sums.
    auto with_counts = [](std::vector<double> stats, double zeros, double missing, double distinct) {
        stats.insert(stats.end(), {zeros, missing, distinct});
        return stats;
    };
    Result sums = run(Aggregate::NanSum, false);
    check_values(with_counts(stats_of({0, 8, 0, 10, 0}), 3, 0, 3), period(sums, 0), "sums of every category");
    check_values(with_counts(stats_of({0, 0, 0, 0, 0}), 5, 0, 1), period(sums, 1), "no reading has a category");
    check(sums.period_kept[0] == 1 && sums.period_kept[1] == 1, "periods without readings are entries");
    check(sums.profile_groups[0] == 5 && sums.profile_groups[1] == 5, "a profile group per category");
    check(sums.profile_rows == std::vector<int64_t>({0, 3, 0, 2, 0, 0, 0, 0, 0, 0}), "readings per profile group");
    std::vector<double> profiles(sums.profile_stats.begin(), sums.profile_stats.begin() + 5 * kStats);
    std::vector<double> want;
    for (const auto &group : std::vector<std::vector<double>>{{}, {1, 2, 5}, {}, {4, 6}, {}}) {
        const std::vector<double> stats = group.empty() ? std::vector<double>(kStats, NaN) : stats_of(group);
        want.insert(want.end(), stats.begin(), stats.end());
    }
    check_values(want, profiles, "profiles of every category");
    for (size_t g = 0; g < 5; g++) check(sums.profile_keys[g].f == static_cast<double>(g), "category codes as keys");

    // Means: a period without readings has none.
    check_values(with_counts(stats_of({NaN, 8.0 / 3, NaN, 5, NaN}), 0, 3, 3), period(run(Aggregate::Mean, false), 0),
                 "means of every category");
    // del_t_maximin empties the smallest and largest category present; the
    // periods stay.
    check_values(with_counts(stats_of({0, 0, 0, 0, 0}), 5, 0, 3), period(run(Aggregate::NanSum, true), 0),
                 "extremes emptied");
}

// pyarrow sums and takes the moments of each chunk of a Series on its own
// and merges them in order: the last bits move with the chunks.
void test_arrow_chunks() {
    std::vector<double> thirds;
    for (int j = 0; j < 40; j++) thirds.push_back(((j * 7) % 13 + 1) / 3.0);
    thirds[5] = thirds[20] = NaN;
    std::vector<double> got(kStats);
    arrow_series_stats(thirds.data(), 40, got.data(), {13, 29});
    check_values({4.333333333333333, 0.3333333333333333, 2.166666666666667, 3.25, 1.0833333333333333,
                  2.219298245614035, 1.2881448722673978, 0.12932546619170943, -1.1815314101286865},
                 got, "arrow stats of thirds in three chunks");
    const auto one = arrow_stats_of(thirds);
    check(got[Stat::Std] != one[Stat::Std] && got[Stat::Kurt] != one[Stat::Kurt], "the chunks show in the last bits");
    // Integers of 16 bits: pyarrow's variance in integer arithmetic, merged over the chunks.
    std::vector<double> int16s;
    for (int j = 0; j < 40; j++) int16s.push_back(((j * 37) % 201) - 100);
    int16s[3] = int16s[17] = NaN;
    arrow_series_stats(int16s.data(), 40, got.data(), {9, 30}, true);
    check_values({100, -100, -2.5, 51.75, -51.75, -0.02631578947368421, 60.71621487067442, 0.019439474848466684,
                  -1.2417967439794568},
                 got, "arrow stats of int16 in three chunks");
    arrow_series_stats(int16s.data(), 40, got.data(), {9, 30}, false);
    check(got[Stat::Std] == 60.71621487067443, "the same as doubles");

    // In the kernel: one unit whose readings are in order, one profile group.  A window of all of
    // them, or a positional slice of them, keeps the chunks; a time bound that drops a reading
    // takes the rest into one chunk, and so does a table of more than one unit.
    std::vector<int64_t> unit(40, 1), time, key(40, 0);
    for (int64_t j = 0; j < 40; j++) time.push_back(j);
    Table t = table_of(unit, ints(time), thirds, {ints(key)});
    t.chunks = {13, 29};
    Options o;
    o.periodic = {1};
    o.arrow_stats = true;
    std::vector<Window> ws(3);
    for (Window &w : ws) w.unit = 1;
    ws[1].has_forward_r = true;  // rows 10 .. 40: chunks at 3 and 19
    ws[1].forward_r = 30;
    ws[2].has_start = true;  // rows 1 .. 40 in one chunk
    ws[2].start.i = 1;
    // The bits of kStats statistics from `at` against `want`.
    auto same_bits = [](const std::vector<double> &got, size_t at, const std::vector<double> &want) {
        return got.size() >= at + kStats && std::memcmp(got.data() + at, want.data(), kStats * sizeof(double)) == 0;
    };
    auto profile_of = [&](const Table &table) {
        Kernel k(table);
        Result r;
        check(k.run(ws.data(), 3, o, r) == Kernel::Status::Ok, "run");
        return r.profile_stats;
    };
    const std::vector<double> kept = profile_of(t);
    std::vector<double> whole(kStats), slice(kStats), taken(kStats);
    arrow_series_stats(thirds.data(), 40, whole.data(), {13, 29});
    arrow_series_stats(thirds.data() + 10, 30, slice.data(), {3, 19});
    arrow_series_stats(thirds.data() + 1, 39, taken.data());
    check(same_bits(kept, 0, whole), "whole unit");
    check(same_bits(kept, kStats, slice), "positional slice");
    check(same_bits(kept, 2 * kStats, taken), "time bound");
    std::vector<int64_t> two_units = unit;
    two_units.push_back(2);
    time.push_back(0);
    key.push_back(0);
    std::vector<double> more = thirds;
    more.push_back(1);
    Table other = table_of(two_units, ints(time), more, {ints(key)});
    other.chunks = {13, 29};
    const std::vector<double> taken_all = profile_of(other);
    check(same_bits(taken_all, 0, one), "another unit: one chunk");
}

}  // namespace

int main() {
    test_arrow_chunks();
    test_windows();
    test_del_t_maximin();
    test_float_time();
    test_records_against_plain_computation();
    test_signed_zero_extremes();
    test_aggregates();
    test_categories();
    return movra_tests::report("kernel_windows");
}
