// The distinct values of a column in order of first appearance, as pandas'
// unique gives them.
//
// Each thread finds the first occurrences in its own part of the column;
// the parts' findings are then merged in part order, so a value keeps the
// position where the earliest part saw it.  Values are compared by their
// keys (key_table.h): every NaN is one value, and 0.0 equals -0.0.
// A periodic key's values fill a short range, and once a part has seen
// all of them its blocks are only checked to stay within it.
#include "fe_kernel.h"

#include "parallel.h"
#include "key_table.h"

#include <algorithm>
#include <iterator>
#include <type_traits>

namespace movra::fe_kernel {

namespace {

using kernel::key_bits;

// A set of keys, each with the position where it was first added, in
// order of addition.
class FirstSeen {
public:
    // Adds `key` first seen at `at`; false when it was there already.
    bool add(uint64_t key, int64_t at) {
        bool added;
        table_.code(key, added);
        if (added) order_.push_back({key, at});
        return added;
    }
    const std::vector<std::pair<uint64_t, int64_t>> &order() const { return order_; }

private:
    kernel::KeyTable<int64_t> table_;
    std::vector<std::pair<uint64_t, int64_t>> order_;
};

// Whether every value of v[0 .. n) lies in [lo, lo + span]: one subtraction
// and compare a value, without a branch, so that a block is read at about
// the speed of memory.
template <class T>
bool all_within(const T *v, int64_t n, T lo, uint64_t span) {
    using U = std::make_unsigned_t<T>;
    const U width = static_cast<U>(span);
    U outside = 0;
    for (int64_t i = 0; i < n; i++) outside |= static_cast<U>(static_cast<U>(v[i]) - static_cast<U>(lo)) > width;
    return outside == 0;
}

// The integers a part has seen, where they fill a range without a gap:
// the periodic keys do (weekdays, months, week numbers), and once each of
// their values is known, a block that stays within the range holds nothing
// new.  Floats are not skipped: a range of them is never full.
template <class T>
class SeenRange {
public:
    explicit SeenRange(T first) : lo_(first), hi_(first) {}
    void saw(T v) {
        lo_ = std::min(lo_, v);
        hi_ = std::max(hi_, v);
    }
    // Whether the `distinct` values seen are every value from lo to hi.
    bool full(size_t distinct) const {
        if constexpr (!std::is_integral_v<T>) {
            return false;
        } else {
            return span() == distinct - 1;
        }
    }
    T lo() const { return lo_; }
    uint64_t span() const { return static_cast<uint64_t>(hi_) - static_cast<uint64_t>(lo_); }

private:
    T lo_, hi_;
};

// Values a block: the range test runs once per block, and a block with a
// new value is looked at value by value.
constexpr int64_t kBlock = 4096;

}  // namespace

template <class T>
std::vector<int64_t> first_occurrences(const T *v, int64_t n, int threads) {
    const int parts = static_cast<int>(std::max<int64_t>(1, std::min<int64_t>(threads, n / 65536)));
    std::vector<FirstSeen> seen(static_cast<size_t>(parts));
    for_each_part(parts, parts, [&](int64_t p, int) {
        const int64_t begin = n * p / parts, end = n * (p + 1) / parts;
        if (begin == end) return;
        // A column mostly repeats a few values (weekdays, months): a small
        // direct-mapped cache of values seen answers for them before the
        // set is asked.  Every entry starts as the first value, added first.
        // The column and the part's end are held here: the set's growth
        // could write anywhere, for all the compiler knows, and the loop
        // would read both again at every value.
        constexpr int kCacheBits = 10;
        uint64_t cache[size_t{1} << kCacheBits];
        const T *const values = v;
        const int64_t stop = end;
        FirstSeen &part = seen[p];
        SeenRange<T> range(values[begin]);
        const uint64_t first = key_bits(values[begin]);
        part.add(first, begin);
        std::fill(std::begin(cache), std::end(cache), first);
        bool full = range.full(part.order().size());
        for (int64_t block = begin + 1; block < stop; block += kBlock) {
            const int64_t block_end = std::min(stop, block + kBlock);
            if constexpr (std::is_integral_v<T>)
                if (full && all_within(values + block, block_end - block, range.lo(), range.span())) continue;
            for (int64_t i = block; i < block_end; i++) {
                const uint64_t id = key_bits(values[i]);
                uint64_t &cached = cache[kernel::KeyTable<int64_t>::hash(id) >> (64 - kCacheBits)];
                if (cached == id) continue;
                if (part.add(id, i)) range.saw(values[i]);
                cached = id;
            }
            full = range.full(part.order().size());
        }
    });
    FirstSeen all;
    std::vector<int64_t> out;
    for (const FirstSeen &part : seen)
        for (const auto &[id, at] : part.order())
            if (all.add(id, at)) out.push_back(at);
    return out;
}

template std::vector<int64_t> first_occurrences(const int8_t *, int64_t, int);
template std::vector<int64_t> first_occurrences(const int16_t *, int64_t, int);
template std::vector<int64_t> first_occurrences(const int32_t *, int64_t, int);
template std::vector<int64_t> first_occurrences(const int64_t *, int64_t, int);
template std::vector<int64_t> first_occurrences(const uint8_t *, int64_t, int);
template std::vector<int64_t> first_occurrences(const uint16_t *, int64_t, int);
template std::vector<int64_t> first_occurrences(const uint32_t *, int64_t, int);
template std::vector<int64_t> first_occurrences(const uint64_t *, int64_t, int);
template std::vector<int64_t> first_occurrences(const float *, int64_t, int);
template std::vector<int64_t> first_occurrences(const double *, int64_t, int);

}  // namespace movra::fe_kernel
