// Key columns as users' tables hold them: text coded by value (Arrow
// strings, dictionary indices), and integer keys of every width read where
// they lie.
#include "checks.h"
#include "fe_kernel.h"
#include "text_codes.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

using namespace movra::fe_kernel;
using movra_tests::check;

namespace {

// ---- text codes --------------------------------------------------------------------

// Arrow strings built from texts (a null where `null` says) looked up among
// a few wanted texts, and checked against a map from each wanted text to
// its place in the wanted list.
void test_text_codes_against_a_map() {
    std::mt19937_64 rng(7);
    const std::vector<std::string> pool{"5100023", "0310007731", "", "51000230", "x", std::string("a\0b", 3),
                                        std::string("a\0c", 3), "0310007731 ", "\xc4\x81",
                                        // longer than two words: alike at both ends, unlike between
                                        "ABCDEFGH-x-y-zz-12345678", "ABCDEFGH-q-y-zz-12345678",
                                        "ABCDEFGH-x-y-zz-12345678-"};
    for (int round = 0; round < 200; round++) {
        TextCodes codes;
        std::map<std::string, int64_t> first;
        for (int k = static_cast<int>(rng() % 8); k > 0; k--) {  // wanted texts, repeats allowed
            const std::string &t = pool[rng() % pool.size()];
            const int64_t seen = first.emplace(t, static_cast<int64_t>(first.size())).first->second;
            check(codes.code(t.data(), t.size()) == seen, "codes follow first sight, equal texts one code");
        }
        const int64_t other = codes.size();
        const int n = static_cast<int>(rng() % 60);
        std::vector<std::string> texts;
        std::vector<bool> null;
        std::string data;
        std::vector<int64_t> offsets{0};
        std::vector<uint8_t> validity((n + 7) / 8 + 1, 0);
        for (int i = 0; i < n; i++) {
            texts.push_back(pool[rng() % pool.size()]);
            null.push_back(rng() % 7 == 0);
            if (!null.back()) {
                data += texts.back();
                validity[i >> 3] |= static_cast<uint8_t>(1 << (i & 7));
            }
            offsets.push_back(static_cast<int64_t>(data.size()));
        }
        // Looked up in two pieces, the second from an offset.
        std::vector<int64_t> out(static_cast<size_t>(n), -2);
        const int cut = n / 2;
        code_arrow_strings(offsets.data(), data.data(), data.size(), validity.data(), 0, cut, codes, other,
                           out.data());
        code_arrow_strings(offsets.data(), data.data(), data.size(), validity.data(), cut, n - cut, codes, other,
                           out.data() + cut);
        bool ok = true;
        for (int i = 0; i < n; i++) {
            const auto wanted = first.find(texts[i]);
            ok = ok && out[i] == (null[i] ? -1 : wanted == first.end() ? other : wanted->second);
        }
        check(ok, "each reading's wanted code, `other` for the rest, nulls -1 (round " + std::to_string(round) + ")");
        check(codes.find("nobody", 6) == -1, "find: a text never coded");
    }
    // Many texts: the table grows and keeps every code.
    TextCodes codes;
    for (int i = 0; i < 100000; i++) {
        const std::string t = std::to_string(i * 7919);
        check(codes.code(t.data(), t.size()) == i || i % 1000 != 0, "growing table");
    }
    bool all = true;
    for (int i = 0; i < 100000; i++) {
        const std::string t = std::to_string(i * 7919);
        all = all && codes.find(t.data(), t.size()) == i;
    }
    check(all, "every code found after growing");
    // Equal bytes under another tag (a str of another kind) are another text.
    TextCodes tagged;
    const int64_t one = tagged.code("a\0", 2, 1), two = tagged.code("a\0", 2, 2);
    check(one != two && tagged.find("a\0", 2, 2) == two && tagged.find("a\0", 2) == -1, "tags tell equal bytes apart");
}

void test_malformed_arrow_is_refused() {
    const std::string data = "abcdef";
    const std::vector<int32_t> offsets{0, 3, 9};  // beyond the data
    TextCodes codes;
    std::vector<int64_t> out(2);
    bool refused = false;
    try {
        code_arrow_strings(offsets.data(), data.data(), data.size(), nullptr, 0, 2, codes, 0, out.data());
    } catch (const std::out_of_range &) {
        refused = true;
    }
    check(refused, "offsets beyond the data raise");
    const std::vector<int8_t> index{0, 1, 2};
    const std::vector<int64_t> dictionary{5, 6};
    refused = false;
    try {
        code_indices(index.data(), nullptr, 0, 3, dictionary, out.data());
    } catch (const std::out_of_range &) {
        refused = true;
    }
    check(refused, "an index beyond the dictionary raises");
}

void test_indices() {
    const std::vector<int16_t> index{1, -1, 0, 1, 2};
    const std::vector<int64_t> dictionary{4, 4, 9};  // a dictionary may repeat a text
    const uint8_t validity[] = {0b11110};             // the first index is null
    std::vector<int64_t> out(4);
    code_indices(index.data(), validity, 1, 4, dictionary, out.data());
    check(out == std::vector<int64_t>{-1, 4, 4, 9}, "indices from an offset: negative -1, the rest mapped");
    const std::vector<uint64_t> wide{2, 0};
    std::vector<int64_t> two(2);
    code_indices(wide.data(), nullptr, 0, 2, dictionary, two.data());
    check(two == std::vector<int64_t>{9, 4}, "unsigned indices");
}

// ---- integer keys of every width ---------------------------------------------------

// The records of every window of units 0..4 over a table whose key columns
// are given as int64 or, the same keys, at `width` bytes (signed or not);
// the readings shuffled or in unit and time order, every unit wanted or
// two of them, on 1 or 2 threads, the time axis integer (of the keys'
// width when they are signed) or float.  Same keys and times, same records.
template <class Narrow>
std::vector<double> records(const std::vector<int64_t> &unit, const std::vector<int64_t> &time,
                            const std::vector<double> &value, const std::vector<std::vector<int64_t>> &keys,
                            bool narrow, bool few_units, int threads, bool float_time,
                            std::vector<int64_t> &profile_keys) {
    std::vector<std::vector<Narrow>> held;
    const std::vector<double> float_times(time.begin(), time.end());
    const std::vector<Narrow> narrow_times(time.begin(), time.end());
    Table t;
    t.rows = static_cast<int64_t>(unit.size());
    t.unit = unit.data();
    if (float_time)
        t.time.f64 = float_times.data();
    else if (narrow && std::is_signed_v<Narrow>)  // a signed narrow time axis, read at its width too
        t.time.point_at(narrow_times.data(), sizeof(Narrow), true, 0);
    else
        t.time.i64 = time.data();
    t.value = value.data();
    t.keys.push_back(t.time);
    for (const auto &k : keys) {
        Column c;
        if (narrow) {
            held.emplace_back(k.begin(), k.end());
            c.point_at(held.back().data(), sizeof(Narrow), std::is_signed_v<Narrow>, 0);
        } else {
            c.i64 = k.data();
        }
        t.keys.push_back(c);
    }
    if (few_units) t.wanted_units = std::vector<int64_t>{1, 3};
    Kernel kernel(t, nullptr, threads);
    Options o;
    o.tactic = {0, 1, 2};
    o.periodic = {1, 2};
    Scalar lag;
    lag.i = 1;
    lag.f = 1.0;
    o.lags = {lag};
    std::vector<Window> windows(5);
    for (int u = 0; u < 5; u++) windows[u].unit = u;
    Result r;
    check(kernel.run(windows.data(), 5, o, r) == Kernel::Status::Ok, "run");
    std::vector<double> all = r.period;
    all.insert(all.end(), r.profile_stats.begin(), r.profile_stats.end());
    all.insert(all.end(), r.lag.begin(), r.lag.end());
    for (const Scalar &k : r.profile_keys) profile_keys.push_back(k.i);
    return all;
}

bool same(const std::vector<double> &a, const std::vector<double> &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (!(a[i] == b[i] || (std::isnan(a[i]) && std::isnan(b[i])))) return false;
    return true;
}

template <class Narrow>
void check_width(const char *name, int64_t lo, int64_t hi) {
    std::mt19937_64 rng(11);
    for (int round = 0; round < 40; round++) {
        const bool shuffled = round % 2 == 1;
        std::vector<int64_t> unit, time;
        std::vector<double> value;
        std::vector<std::vector<int64_t>> keys(2);
        for (int u = 0; u < 5; u++)
            for (int d = 0; d < 30; d++) {
                unit.push_back(u);
                time.push_back(d);
                value.push_back(rng() % 9 == 0 ? NAN : static_cast<double>(rng() % 17) / 4);
                keys[0].push_back(lo + static_cast<int64_t>(rng() % 5) * ((hi - lo) / 4));  // far apart
                keys[1].push_back(lo + static_cast<int64_t>(rng() % 3));                     // close together
            }
        if (shuffled) {
            for (size_t i = unit.size() - 1; i > 0; i--) {
                const size_t j = rng() % (i + 1);
                std::swap(unit[i], unit[j]);
                std::swap(time[i], time[j]);
                std::swap(value[i], value[j]);
                std::swap(keys[0][i], keys[0][j]);
                std::swap(keys[1][i], keys[1][j]);
            }
        }
        const bool few = round % 4 >= 2;
        const int threads = 1 + round % 3 / 2;
        std::vector<int64_t> wide_keys, narrow_keys;
        const bool float_time = round % 8 >= 4;
        const auto wide = records<Narrow>(unit, time, value, keys, false, few, threads, float_time, wide_keys);
        const auto narrow = records<Narrow>(unit, time, value, keys, true, few, threads, float_time, narrow_keys);
        check(same(wide, narrow) && wide_keys == narrow_keys,
              std::string(name) + " keys give the records of the same keys as int64 (round " + std::to_string(round) +
                  (shuffled ? ", shuffled" : ", in order") + ")");
    }
}

void test_narrow_keys_read_at_their_width() {
    check_width<int8_t>("int8", -128, 127);
    check_width<int16_t>("int16", -32768, 32767);
    check_width<int32_t>("int32", -2147483648LL, 2147483647LL);
    check_width<uint8_t>("uint8", 0, 255);
    check_width<uint16_t>("uint16", 0, 65535);
    check_width<uint32_t>("uint32", 0, 4294967295LL);
}

}  // namespace

int main() {
    test_text_codes_against_a_map();
    test_malformed_arrow_is_refused();
    test_indices();
    test_narrow_keys_read_at_their_width();
    return movra_tests::report("key_columns");
}
