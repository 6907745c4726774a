// The kernel's whole-column scans, without Python: the key table that codes
// units, groups and periodic values, the distinct values of a column, and
// the readings a few windows' units hold.
#include "kernel_fixtures.h"
#include "key_table.h"

using namespace movra_tests;

namespace {

void test_key_table_against_a_map() {
    // Codes in order of first addition, one per distinct key, against a
    // map: integers that differ in their low bits or their high bits only,
    // and doubles, where every NaN is one key and -0.0 is 0.0; through
    // many growths, with int64 and int32 codes; absent keys found as -1.
    uint64_t state = 5;
    auto next = [&] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return state >> 33;
    };
    auto same_codes = [](const std::vector<uint64_t> &keys, const std::string &what) {
        movra::kernel::KeyTable<int64_t> wide;
        movra::kernel::KeyTable<int32_t> narrow;
        std::map<uint64_t, int64_t> want;
        bool ok = true;
        for (uint64_t key : keys) {
            const auto [it, added] = want.emplace(key, static_cast<int64_t>(want.size()));
            bool wide_added, narrow_added;
            ok &= wide.code(key, wide_added) == it->second && wide_added == added;
            ok &= narrow.code(key, narrow_added) == it->second && narrow_added == added;
        }
        for (const auto &[key, code] : want) ok &= wide.find(key) == code && narrow.find(key) == code;
        ok &= wide.size() == static_cast<int64_t>(want.size());
        check(ok, "key table codes of " + what);
        return wide;
    };
    for (int shift : {0, 24, 44}) {
        std::vector<uint64_t> keys;
        for (int i = 0; i < 200000; i++) keys.push_back((next() % 30000) << shift);
        const auto table = same_codes(keys, "integers shifted by " + std::to_string(shift));
        check(table.find(uint64_t{30001} << shift) == -1, "an absent key has no code");
    }
    std::vector<uint64_t> floats;
    for (int i = 0; i < 50000; i++) {
        const uint64_t r = next() % 50;
        const double v = r == 0 ? NaN : r == 1 ? -NaN : r == 2 ? -0.0 : r == 3 ? 0.0 : static_cast<double>(next() % 5000) / 8;
        floats.push_back(movra::kernel::key_bits(v));
    }
    same_codes(floats, "doubles");
    check(movra::kernel::key_bits(-0.0) == movra::kernel::key_bits(0.0f), "-0.0 is 0.0, at any width");
    check(movra::kernel::key_bits(NaN) == movra::kernel::key_bits(-std::numeric_limits<float>::quiet_NaN()),
          "every NaN is one key");
    check(movra::kernel::key_bits(2.5f) == movra::kernel::key_bits(2.5), "a float is the double it makes");
    check(movra::kernel::key_bits(int8_t{-3}) == movra::kernel::key_bits(int64_t{-3}), "an int8 is the int64 it makes");
    check(movra::kernel::KeyTable<int64_t>().find(7) == -1, "an empty table has no codes");
}

void test_first_occurrences_against_plain_search() {
    uint64_t state = 11;
    auto next = [&] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return state >> 33;
    };
    const int64_t n = 300000;
    auto plain = [&](auto &v, auto same) {
        std::vector<int64_t> at;
        std::map<double, bool> seen_numbers;
        bool seen_nan = false;
        for (int64_t i = 0; i < n; i++) {
            const double x = static_cast<double>(v[i]);
            if (std::isnan(x) ? seen_nan : seen_numbers.count(same(x)) > 0) continue;
            if (std::isnan(x))
                seen_nan = true;
            else
                seen_numbers[same(x)] = true;
            at.push_back(i);
        }
        return at;
    };
    for (uint64_t distinct : {1ull, 7ull, 5000ull, 200000ull}) {
        std::vector<int64_t> ints(n);
        std::vector<double> floats(n);
        for (int64_t i = 0; i < n; i++) {
            const uint64_t k = i < 3 ? 1 : next() % distinct;  // the first value repeats at once
            ints[i] = static_cast<int64_t>(k * 2654435761ull) - (int64_t{1} << 40);
            const uint64_t r = next() % 64;
            floats[i] = r == 0 ? NaN : r == 1 ? -0.0 : r == 2 ? 0.0 : static_cast<double>(k) / 4;
        }
        const auto want_ints = plain(ints, [](double x) { return x; });
        const auto want_floats = plain(floats, [](double x) { return x == 0 ? 0.0 : x; });
        for (int threads : {1, 2, 3}) {
            const std::string what = std::to_string(distinct) + " values on " + std::to_string(threads) + " threads";
            check(first_occurrences(ints.data(), n, threads) == want_ints, "first occurrences of " + what);
            check(first_occurrences(floats.data(), n, threads) == want_floats, "first occurrences of float " + what);
        }
    }
    // Keys that fill a short range, as weekdays do: once a part has seen
    // every one, its blocks are only checked to stay within the range, so
    // a value met late just above it, below it, far from it, or at the
    // narrow types' extremes must still be found where it first is.
    for (int64_t late : {int64_t{5000}, n / 2 + 17, n - 9}) {
        std::vector<int64_t> dense(n);
        for (int64_t i = 0; i < n; i++) dense[i] = static_cast<int64_t>(next() % 7) - 3;
        const int64_t news[] = {4, -4, 100, -128, 127};
        for (int64_t k = 0; k < 5; k++) dense[std::min(n - 1, late + k * (k + 1))] = news[k];
        std::vector<int8_t> narrow(dense.begin(), dense.end());
        std::vector<uint16_t> unsigned_narrow(n);
        for (int64_t i = 0; i < n; i++) unsigned_narrow[i] = static_cast<uint16_t>(dense[i]);  // -3 .. -1 wrap
        const auto want = plain(dense, [](double x) { return x; });
        const auto want_unsigned = plain(unsigned_narrow, [](double x) { return x; });
        for (int threads : {1, 2, 3}) {
            const std::string what = " met late at " + std::to_string(late) + " on " + std::to_string(threads);
            check(first_occurrences(dense.data(), n, threads) == want, "first occurrences of a range" + what);
            check(first_occurrences(narrow.data(), n, threads) == want, "first occurrences of an int8 range" + what);
            check(first_occurrences(unsigned_narrow.data(), n, threads) == want_unsigned,
                  "first occurrences of a uint16 range" + what);
        }
    }
}

void test_readings_of_units_against_plain_scan() {
    // The readings of a few units, found by the threads part by part
    // (kCheckRows readings a part: several parts here), against a plain scan:
    // units in runs and shuffled, near and far apart (a table of a byte or
    // a bit per unit, or a hash), wanted units repeated or absent; and nothing once
    // they are more than the share asked for, found by the sample or by the
    // whole look.
    const int64_t n = (int64_t{1} << 22) * 2 + 12345;
    uint64_t state = 99;
    auto next = [&] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return state >> 33;
    };
    for (int64_t scale : {int64_t{1}, int64_t{1} << 40}) {
        for (bool shuffled : {false, true}) {
            std::vector<int64_t> unit(n);
            for (int64_t i = 0; i < n; i++)
                unit[i] = (shuffled ? static_cast<int64_t>(next() % 5000) : i * 5000 / n) * scale - 7;
            const std::vector<std::vector<int64_t>> asked = {
                {},
                {3 * scale - 7},
                {4999 * scale - 7, 0 * scale - 7, 4999 * scale - 7, 123456789},  // repeated; 123456789 absent
                {-1, 5001 * scale},                                               // absent
                {2 * scale - 7, 70000 * scale},  // a range wider than a byte table's, narrower than a bit table's
            };
            for (const auto &units : asked) {
                std::vector<int64_t> want;
                for (int64_t i = 0; i < n; i++)
                    if (std::find(units.begin(), units.end(), unit[i]) != units.end()) want.push_back(i);
                const std::string what = std::to_string(units.size()) + " units of scale " + std::to_string(scale) +
                                         (shuffled ? ", shuffled" : ", in runs");
                for (int threads : {1, 2, 3}) {
                    const auto got = readings_of_units(unit.data(), n, units, n / 8, threads);
                    check(got && *got == want, "readings of " + what + " on " + std::to_string(threads) + " threads");
                    if (want.empty()) continue;
                    const auto over = readings_of_units(unit.data(), n, units, static_cast<int64_t>(want.size()) - 1,
                                                        threads);
                    check(!over, "one reading more than asked for: nothing, " + what);
                    const auto exact = readings_of_units(unit.data(), n, units, static_cast<int64_t>(want.size()),
                                                         threads);
                    check(exact && *exact == want, "exactly as many as asked for, " + what);
                }
            }
            // Most units wanted: the sample gives up, and so would the look.
            std::vector<int64_t> most;
            for (int64_t u = 0; u < 4000; u++) most.push_back(u * scale - 7);
            check(!readings_of_units(unit.data(), n, most, n / 8, 2), "most of the table wanted: nothing");
        }
    }
    // A short table: no sample, every reading looked at.
    const std::vector<int64_t> few = {5, 1, 5, 2, 5};
    const auto got = readings_of_units(few.data(), 5, {5}, 3, 2);
    check(got && *got == std::vector<int64_t>({0, 2, 4}), "a short table's readings");
    check(!readings_of_units(few.data(), 5, {5}, 2, 2), "a short table, more than asked for");
}

}  // namespace

int main() {
    test_key_table_against_a_map();
    test_first_occurrences_against_plain_search();
    test_readings_of_units_against_plain_scan();
    return movra_tests::report("kernel_scans");
}
