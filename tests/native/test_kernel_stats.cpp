// The kernel's statistics of a series, without Python: sums, moments,
// order statistics, correlations, float32 and Arrow values.  Expected
// values are the ones pandas returns for the same Series (small cases,
// worked out once and written down here).
#include "kernel_fixtures.h"

using namespace movra_tests;

namespace {

void test_pairwise_sum() {
    std::vector<double> ints;
    for (int n : {0, 5, 8, 100, 1000}) {
        ints.clear();
        double want = 0;
        for (int i = 1; i <= n; i++) {
            ints.push_back(i);
            want += i;
        }
        check(pairwise_sum(ints.data(), n) == want, "sum of 1.." + std::to_string(n));
    }
    // Summation order shows: a plain loop leaves 1e16 unchanged, numpy's
    // pairwise blocks keep the ones.
    std::vector<double> big{1e16};
    big.resize(201, 1.0);
    check(pairwise_sum(big.data(), 201) == 1.0000000000000188e+16, "pairwise order of 1e16 + 200 ones");
    std::vector<double> tenths;
    for (int i = 1; i <= 300; i++) tenths.push_back(0.1 * i);
    check(pairwise_sum(tenths.data(), 300) == 4515.0, "pairwise sum of 0.1 i");
}

// float32 readings (widened): pandas' float32 arithmetic, each result a
// float32.  Values from pandas 3.1 on numpy 2 and pandas 2.2 on numpy 1.26;
// the moments of the second take float32 deviations.
void test_float32_stats() {
    std::vector<double> v;
    for (float x : {1000.123f, 1003.7f, NAN, 997.31f, 1001.9f, 999.99f, 1002.45f, 998.8f, 1000.07f, 996.5f, 1004.2f})
        v.push_back(x);
    std::vector<double> out(kStats);
    const std::vector<double> common{1004.2000122070312, 996.5, 1000.0964965820312, 1002.3125, 999.0974731445312,
                                     1000.50439453125, 2.5678763389587402};
    auto with = [&](double skew, double kurt) {
        std::vector<double> all = common;
        all.push_back(skew);
        all.push_back(kurt);
        return all;
    };
    series_stats(v.data(), static_cast<int64_t>(v.size()), Moments::CorrectedTwoPass, out.data(), Precision::Float32);
    check_values(with(-0.0723930299282074, -0.9322484731674194), out, "float32 stats, pandas 3.1");
    series_stats(v.data(), static_cast<int64_t>(v.size()), Moments::ZeroedTwoPass, out.data(),
                 Precision::Float32Legacy);
    check_values(with(-0.0723484605550766, -0.932253897190094), out, "float32 stats, pandas 2.2");
}

void test_series_stats() {
    // MAX MIN MEDIAN Q3 Q1 MEAN STD SKEW KURT, missing values skipped.
    check_values({8.0, 1.0, 3.0, 5.0, 1.75, 3.75, 3.095695936834452, 1.1376243669576889, 0.7576559546313781},
                 stats_of({1, NaN, 2, 4, 8}), "stats with a missing value");
    check_values({7.0, -1.0, 2.5, 2.875, 0.625, 2.3333333333333335, 2.7868739954771304, 0.7234250360342143,
                  1.0326677595829725},
                 stats_of({3.0, -1.0, 2.5, 7.0, 0.0, 2.5}), "stats, even count");
    // Small counts: one value has no spread, skewness needs 3, kurtosis 4.
    check_values({3, 3, 3, 3, 3, 3, NaN, NaN, NaN}, stats_of({3}), "one value");
    check_values({4, 2, 3, 3.5, 2.5, 3, 1.4142135623730951, NaN, NaN}, stats_of({2, 4}), "two values");
    check(std::isnan(stats_of({1, 2, 4})[8]) && !std::isnan(stats_of({1, 2, 4})[7]), "three values: skew, no kurt");
    check_values(std::vector<double>(kStats, NaN), stats_of({NaN, NaN}), "all missing");
    check_values(std::vector<double>(kStats, NaN), stats_of({}), "empty");
    // Constant data: no skewness or kurtosis (pandas >= 3.1) ...
    check_values({5, 5, 5, 5, 5, 5, 0, NaN, NaN}, stats_of({5, 5, 5, 5}), "constant, corrected moments");
    // ... against 0 under the zero-variance rule of earlier pandas,
    check_values({5, 5, 5, 5, 5, 5, 0, 0, 0}, stats_of({5, 5, 5, 5}, Moments::ZeroedTwoPass),
                 "constant, zeroed moments");
    // which also zeroes a second moment below 1e-14 however real the spread.
    check_values({4e-08, 1e-08, 2e-08, 3.0000000000000004e-08, 1.5000000000000002e-08, 2.3333333333333334e-08,
                  1.5275252316519467e-08, 0.0, NaN},
                 stats_of({1e-8, 2e-8, 4e-8}, Moments::ZeroedTwoPass), "tiny spread, zeroed moments");
    check(same(0.9352195295828247, stats_of({1e-8, 2e-8, 4e-8})[7], 1e-9), "tiny spread, corrected moments");
    // Infinite values take part like numpy's arithmetic makes them.
    const auto inf = stats_of({1, std::numeric_limits<double>::infinity(), 2});
    check(std::isinf(inf[0]) && inf[1] == 1 && inf[2] == 2 && std::isinf(inf[5]) && std::isnan(inf[6]),
          "infinite value");
}

void test_arrow_stats() {
    // pyarrow's MAX MIN MEDIAN Q3 Q1 MEAN STD SKEW KURT (its kurtosis formula rounds otherwise than pandas').
    check_values({8.0, 1.0, 3.0, 5.0, 1.75, 3.75, 3.095695936834452, 1.1376243669576889, 0.7576559546313799},
                 arrow_stats_of({1, NaN, 2, 4, 8}), "arrow stats with a null");
    // Thirds in runs split by two nulls: pyarrow's blocks of 16 within each run give a mean and a
    // deviation one unit in the last place away from numpy's pairwise sums.
    std::vector<double> thirds;
    for (int j = 0; j < 40; j++) thirds.push_back(((j * 7) % 13 + 1) / 3.0);
    thirds[5] = thirds[20] = NaN;
    const auto got = arrow_stats_of(thirds);
    const std::vector<double> want{4.333333333333333, 0.3333333333333333, 2.166666666666667, 3.25, 1.0833333333333333,
                                   2.219298245614035, 1.288144872267398, 0.12932546619170943, -1.1815314101286871};
    for (int s = 0; s < kStats; s++)
        check(got[s] == want[s], "arrow stats of thirds [" + std::to_string(s) + "] to the last bit");
    // A null where pyarrow lacks the values; a NaN that it computes is another NaN.
    const auto one = arrow_stats_of({3}), two = arrow_stats_of({2, 4}), constant = arrow_stats_of({5, 5, 5, 5});
    check(std::isnan(one[6]) && !is_arrow_nan(one[6]) && std::isnan(two[7]) && !is_arrow_nan(two[7]),
          "too few values: null");
    check(constant[6] == 0 && is_arrow_nan(constant[7]) && is_arrow_nan(constant[8]), "constant: computed NaN");
    check(!is_arrow_nan(NaN) && std::isnan(arrow_nan()), "computed NaN is a NaN of its own");
}

// numpy's median and linear quartiles, and pyarrow's, read off the valid
// values sorted: the plain computation that the kernel's selection must
// reproduce to the last bit.
struct SortedQuartiles {
    std::vector<double> s;
    explicit SortedQuartiles(const std::vector<double> &v) {
        for (double x : v)
            if (!std::isnan(x)) s.push_back(x);
        std::sort(s.begin(), s.end());
    }
    double median() const {
        const size_t n = s.size();
        if (n == 0) return NaN;
        return n % 2 ? (0.0 + s[n / 2]) / 1.0 : (0.0 + s[n / 2 - 1] + s[n / 2]) / 2.0;
    }
    double numpy(double q) const {
        const size_t n = s.size();
        if (n == 0) return NaN;
        const double vi = static_cast<double>(n - 1) * q;
        const size_t prev = static_cast<size_t>(std::floor(vi)), next = std::min(prev + 1, n - 1);
        const double gamma = vi - std::floor(vi), a = s[prev], b = s[next], diff = b - a;
        return gamma >= 0.5 ? b - diff * (1 - gamma) : a + diff * gamma;
    }
    double arrow(double q) const {
        if (s.empty()) return NaN;
        const double index = static_cast<double>(s.size() - 1) * q;
        const size_t lower = static_cast<size_t>(index);
        const double fraction = index - static_cast<double>(lower);
        return fraction == 0 ? s[lower] : fraction * s[lower + 1] + (1 - fraction) * s[lower];
    }
};

// Random Series of every shape the selection treats apart: tiny and large,
// many ties or none, missing values, one value repeated, an outlier far
// from the rest, infinities, values too close or too far apart for buckets.
void test_order_statistics_against_sorting() {
    uint64_t state = 99;
    auto next = [&] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return state >> 11;
    };
    auto uniform = [&] { return static_cast<double>(next()) / 9007199254740992.0; };
    const double inf = std::numeric_limits<double>::infinity();
    const int64_t sizes[] = {0, 1, 2, 3, 4, 5, 7, 39, 40, 41, 42, 64, 100, 148, 257, 1035, 5000};
    int cases = 0;
    for (int shape = 0; shape < 9; shape++)
        for (int64_t n : sizes)
            for (int rep = 0; rep < 3; rep++) {
                std::vector<double> v(static_cast<size_t>(n));
                for (double &x : v) {
                    switch (shape) {
                        case 0: x = std::round(uniform() * 4000) / 100; break;  // rounded readings
                        case 1: x = static_cast<double>(next() % 3); break;    // three values
                        case 2: x = 7.25; break;                               // one value
                        case 3: x = uniform() - 0.5; break;                    // no ties
                        case 4: x = uniform() < 0.02 ? 1e300 : uniform(); break;  // outliers
                        case 5: x = uniform() < 0.05 ? (uniform() < 0.5 ? -inf : inf) : uniform(); break;
                        case 6: x = (1 + static_cast<double>(next() % 50)) * 1e-320; break;  // subnormal
                        case 7: x = (uniform() - 0.5) * 1.5e308; break;  // hi - lo overflows
                        default: x = uniform() < 0.3 ? 0.0 : -std::floor(uniform() * 9); break;  // zeros
                    }
                    if (rep > 0 && uniform() < 0.15 * rep) x = NaN;
                }
                const SortedQuartiles want(v);
                std::vector<double> out(kStats), arrow(kStats);
                series_stats(v.data(), n, Moments::CorrectedTwoPass, out.data());
                arrow_series_stats(v.data(), n, arrow.data());
                const std::string what = " of shape " + std::to_string(shape) + ", " + std::to_string(n) + " values";
                check(identical(want.median(), out[Stat::Median]), "median" + what);
                check(identical(want.numpy(0.75), out[Stat::Q3]) && identical(want.numpy(0.25), out[Stat::Q1]),
                      "quartiles" + what);
                check(identical(want.arrow(0.5), arrow[Stat::Median]) && identical(want.arrow(0.75), arrow[Stat::Q3]) &&
                          identical(want.arrow(0.25), arrow[Stat::Q1]),
                      "arrow quartiles" + what);
                cases++;
            }
    check(cases == 9 * 17 * 3, "every shape tried");
}

void test_corr() {
    // Pairs with a missing or infinite member are left out.
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> x{2, 4, 6, 9, 1, NaN, 3}, y{1, 2, 3, 4, NaN, 5, inf};
    check(same(0.9943767126843689, pairwise_corr(x.data(), y.data(), 7)), "corr");
    std::vector<double> c{1, 1, 1};
    check(std::isnan(pairwise_corr(c.data(), y.data(), 3)), "corr with a constant column");
    check(std::isnan(pairwise_corr(x.data(), y.data(), 1)), "corr of one pair");
    check(std::isnan(pairwise_corr(x.data(), y.data(), 0)), "corr of no pairs");
}

}  // namespace

int main() {
    test_pairwise_sum();
    test_series_stats();
    test_float32_stats();
    test_arrow_stats();
    test_order_statistics_against_sorting();
    test_corr();
    return movra_tests::report("kernel_stats");
}
