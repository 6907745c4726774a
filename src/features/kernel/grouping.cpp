// A window's readings grouped by a key (see grouping.h).
#include "grouping.h"

#include "column_values.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace movra::fe_kernel {

namespace {

// A key's value: a narrowed key is its offset from `base`.
template <class K>
auto value_of(K k, int64_t base) {
    if constexpr (std::is_floating_point_v<K>)
        return k;
    else
        return static_cast<int64_t>(static_cast<uint64_t>(base) + static_cast<uint64_t>(k));
}

template <class K>
Scalar key_of(K k, int64_t base) {
    return to_scalar(value_of(k, base));
}

// The boundaries of the runs of equal keys among k[0 .. n), into w.starts.
// Returns whether the keys ascend, none missing: the runs are then the
// groups.
template <class K>
bool runs_of_keys(const K *k, int64_t n, Work &w) {
    auto &starts = w.starts;
    starts.resize(static_cast<size_t>(n) + 1);
    int64_t runs = 0;
    bool ascending = n == 0 || !missing(k[0]);
    if (n > 0) starts[runs++] = 0;
    // Branch-free within a block: a place is kept only where the key changes.
    constexpr int64_t kBlock = 128;
    for (int64_t b = 1; b < n && ascending; b += kBlock)
        for (int64_t i = b; i < std::min(n, b + kBlock); i++) {
            const K previous = k[i - 1], here = k[i];
            starts[runs] = i;
            runs += previous != here;
            ascending &= previous <= here;  // false where either is missing
        }
    if (!ascending) return false;
    starts[runs] = n;
    starts.resize(static_cast<size_t>(runs) + 1);
    return ascending;
}

// Readings each with a bucket held[i] in [0, buckets], `buckets` meaning
// none: their values bucket after bucket into w.grouped, and where each
// bucket ends into w.counts.
void deal_to_buckets(const double *value, int64_t n, uint64_t buckets, Work &w) {
    auto &counts = w.counts;
    counts.assign(static_cast<size_t>(buckets) + 2, 0);
    for (int64_t i = 0; i < n; i++) counts[w.held[i] + 1]++;
    for (size_t c = 1; c < counts.size(); c++) counts[c] += counts[c - 1];
    auto &grouped = w.grouped;
    grouped.resize(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; i++) grouped[counts[w.held[i]]++] = value[i];
}

// Integer keys k[0 .. n) within [lo, lo + range]: counted out, one group
// per key that occurs.
template <class K>
Groups count_out(const K *k, int64_t base, const double *value, int64_t n, K lo, uint64_t range, bool want_keys,
                 Work &w) {
    auto &held = w.held;
    held.resize(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; i++)
        held[i] = std::min<uint64_t>(static_cast<uint64_t>(k[i]) - static_cast<uint64_t>(lo), range);
    deal_to_buckets(value, n, range + 1, w);
    auto &starts = w.starts;
    auto &keys = w.keys;
    starts.clear();
    keys.clear();
    int64_t begin = 0;
    for (uint64_t h = 0; h <= range; h++) {
        const int64_t end = w.counts[h];
        if (end == begin) continue;
        starts.push_back(begin);
        if (want_keys) keys.push_back(key_of(static_cast<K>(static_cast<uint64_t>(lo) + h), base));
        begin = end;
    }
    starts.push_back(n);
    Groups g;
    g.values = w.grouped.data();
    g.starts = starts.data();
    g.keys = keys.data();
    g.count = static_cast<int64_t>(starts.size()) - 1;
    return g;
}

// A key as an unsigned integer of the same order; for floats, -0.0 as 0.0
// (equal keys, one group) and never NaN (a missing key, left out before).
template <class K>
uint64_t ordered_bits(K k) {
    if constexpr (std::is_floating_point_v<K>) {
        const double x = k == 0 ? 0.0 : static_cast<double>(k);
        uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        return bits >> 63 ? ~bits : bits | (uint64_t{1} << 63);
    } else if constexpr (std::is_signed_v<K>) {
        return static_cast<uint64_t>(k) ^ (uint64_t{1} << 63);
    } else {
        return static_cast<uint64_t>(k);
    }
}

// Any other keys: the readings that have one sorted by it, stably.  Each key
// is read once, into the list sorted: the keys may be the caller's, which a
// thread outside the interpreter's lock could change meanwhile, and a sort
// whose comparisons contradict each other may step outside its range.
template <class K>
Groups sort_out(const K *k, int64_t base, const double *value, int64_t n, bool want_keys, Work &w) {
    auto &keyed = w.keyed;  // (key's ordered bits, reading)
    keyed.clear();
    for (int64_t i = 0; i < n; i++) {
        const K key = k[i];
        if (!missing(key)) keyed.emplace_back(ordered_bits(key), i);
    }
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto &x, const auto &y) { return x.first < y.first; });
    auto &starts = w.starts;
    auto &keys = w.keys;
    auto &grouped = w.grouped;
    starts.clear();
    keys.clear();
    grouped.resize(keyed.size());
    for (size_t j = 0; j < keyed.size(); j++) {
        grouped[j] = value[keyed[j].second];
        if (j > 0 && keyed[j].first == keyed[j - 1].first) continue;
        starts.push_back(static_cast<int64_t>(j));
        if (want_keys) keys.push_back(key_of(k[keyed[j].second], base));
    }
    starts.push_back(static_cast<int64_t>(keyed.size()));
    Groups g;
    g.values = grouped.data();
    g.starts = starts.data();
    g.keys = keys.data();
    g.count = static_cast<int64_t>(starts.size()) - 1;
    g.any_missing = static_cast<int64_t>(keyed.size()) < n;
    return g;
}

template <class K>
Groups group_rows(const K *k, int64_t base, const double *value, int64_t n, bool want_keys, Work &w) {
    if (runs_of_keys(k, n, w)) {
        Groups g;
        g.values = value;
        g.starts = w.starts.data();
        g.count = static_cast<int64_t>(w.starts.size()) - 1;
        g.in_place = true;
        if (want_keys) {
            w.keys.resize(static_cast<size_t>(g.count));
            for (int64_t j = 0; j < g.count; j++) w.keys[j] = key_of(k[g.starts[j]], base);
            g.keys = w.keys.data();
        }
        return g;
    }
    if constexpr (!std::is_floating_point_v<K>) {
        // Small integer ranges (weekdays, months, weeks): a counting sort.
        const auto [lo, hi] = std::minmax_element(k, k + n);
        const uint64_t range = static_cast<uint64_t>(*hi) - static_cast<uint64_t>(*lo);
        if (range < 4 * static_cast<uint64_t>(n) + 64) return count_out(k, base, value, n, *lo, range, want_keys, w);
    }
    return sort_out(k, base, value, n, want_keys, w);
}

// Category codes: one group per category, every category one.  A code
// outside the categories counts as missing.
template <class K>
Groups group_codes(const K *k, int64_t base, const double *value, int64_t n, int64_t categories, Work &w) {
    using Value = decltype(value_of(K{}, 0));
    auto &held = w.held;  // each reading's code, or `categories` when it has none
    held.resize(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; i++) {
        const Value c = value_of(k[i], base);
        const bool valid = !missing(c) && c >= 0 && c < static_cast<Value>(categories);
        held[i] = valid ? static_cast<uint64_t>(c) : static_cast<uint64_t>(categories);
    }
    deal_to_buckets(value, n, static_cast<uint64_t>(categories), w);
    auto &starts = w.starts;  // each category's beginning is where the one before ends
    starts.resize(static_cast<size_t>(categories) + 1);
    starts[0] = 0;
    for (int64_t c = 0; c < categories; c++) starts[c + 1] = w.counts[c];
    auto &keys = w.keys;
    keys.resize(static_cast<size_t>(categories));
    for (int64_t c = 0; c < categories; c++) keys[c] = to_scalar(static_cast<Value>(c));
    Groups g;
    g.values = w.grouped.data();
    g.starts = starts.data();
    g.keys = keys.data();
    g.count = categories;
    g.any_missing = starts[categories] < n;  // the readings without one come last, left out
    return g;
}


template <class K>
Groups group_keys(const K *key, int64_t base, int64_t categories, const double *value, int64_t a, int64_t e,
                  bool want_keys, Work &w) {
    if (categories > 0) return group_codes(key + a, base, value + a, e - a, categories, w);
    return group_rows(key + a, base, value + a, e - a, want_keys, w);
}

}  // namespace

Groups group_by_key(const Column &key, const double *value, int64_t a, int64_t e, bool want_keys, Work &w) {
    const int64_t base = key.base, categories = key.categories;
    if (key.u8) return group_keys(key.u8, base, categories, value, a, e, want_keys, w);
    if (key.u16) return group_keys(key.u16, base, categories, value, a, e, want_keys, w);
    if (key.u32) return group_keys(key.u32, base, categories, value, a, e, want_keys, w);
    if (key.i8) return group_keys(key.i8, base, categories, value, a, e, want_keys, w);
    if (key.i16) return group_keys(key.i16, base, categories, value, a, e, want_keys, w);
    if (key.i32) return group_keys(key.i32, base, categories, value, a, e, want_keys, w);
    if (key.i64) return group_keys(key.i64, base, categories, value, a, e, want_keys, w);
    return group_keys(key.f64, base, categories, value, a, e, want_keys, w);
}

}  // namespace movra::fe_kernel
