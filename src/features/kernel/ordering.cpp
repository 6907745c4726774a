// Ordering the readings by unit and time (see fe_kernel.h).
//
// Most tables come grouped by unit and in time order already, which one scan
// finds.  Otherwise every reading gets an integer code for its unit, and the
// readings are ordered by radix passes over packed 64-bit words (unit code
// and time offset above, reading number below): each pass reads its input
// in order and writes to a few thousand sequential streams, which the caches
// handle well, unlike a scatter to one position per unit.  The columns are
// then copied into that order in one pass, by all threads.
//
// Only the wanted units' readings are ordered: a few windows over a big table
// cost a scan of its unit column and little more.
#include "fe_kernel.h"

#include "parallel.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <limits>
#include <memory>
#include <type_traits>

#ifdef __linux__
#include <sched.h>
#include <sys/mman.h>
#endif

namespace movra::fe_kernel {

int available_cpus() {
#ifdef __linux__
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return n;
    }
#endif
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? static_cast<int>(n) : 1;
}

void FreeBuffer::operator()(void *p) const { std::free(p); }

namespace {

// n values of T, uninitialised.  Large buffers are aligned to 2 MiB and
// offered huge pages: the copies into reading order then take a fraction of
// the page faults and TLB misses.
template <class T>
Buffer<T> buffer(int64_t n) {
    constexpr size_t kHuge = size_t{1} << 21;
    size_t bytes = std::max<size_t>(1, static_cast<size_t>(n) * sizeof(T));
    void *p = nullptr;
    if (bytes >= 2 * kHuge) {
        bytes = (bytes + kHuge - 1) / kHuge * kHuge;
        p = std::aligned_alloc(kHuge, bytes);
#ifdef MADV_HUGEPAGE
        if (p) madvise(p, bytes, MADV_HUGEPAGE);
#endif
    } else {
        p = std::malloc(bytes);
    }
    if (!p) throw std::bad_alloc();
    return Buffer<T>(static_cast<T *>(p));
}

constexpr int64_t kCheckRows = int64_t{1} << 22;  // readings between two interrupt checks
constexpr int kDigitBits = 11;                     // 2048 streams per radix pass

int bit_width(uint64_t x) {
    int b = 0;
    while (x) {
        b++;
        x >>= 1;
    }
    return b;
}

// A code per unit value, 0, 1, 2, ... in order of first sight: a direct table
// when the values span a modest range, open addressing otherwise.
class UnitCodes {
public:
    UnitCodes(int64_t lo, int64_t hi, int64_t expected) : lo_(lo) {
        const uint64_t span = static_cast<uint64_t>(hi) - static_cast<uint64_t>(lo);
        // Small enough to stay in cache, or to be no larger than the units.
        if (hi >= lo && (span < (uint64_t{1} << 18) || span <= 8 * static_cast<uint64_t>(expected))) {
            dense_.assign(static_cast<size_t>(span) + 1, -1);
        } else {
            rehash(std::max<int64_t>(16, 2 * expected));
        }
    }

    int32_t find(int64_t u) const {
        if (!dense_.empty()) {
            const uint64_t at = static_cast<uint64_t>(u) - static_cast<uint64_t>(lo_);
            return at < dense_.size() ? dense_[at] : -1;
        }
        for (size_t at = slot(u);; at = (at + 1) & mask_) {
            if (codes_[at] < 0 || keys_[at] == u) return codes_[at];
        }
    }

    int32_t find_or_add(int64_t u) {
        if (!dense_.empty()) {
            const uint64_t at = static_cast<uint64_t>(u) - static_cast<uint64_t>(lo_);
            if (at >= dense_.size()) return -1;  // outside the range given: not a unit
            if (dense_[at] < 0) dense_[at] = add(u);
            return dense_[at];
        }
        size_t at = slot(u);
        for (; codes_[at] >= 0; at = (at + 1) & mask_)
            if (keys_[at] == u) return codes_[at];
        keys_[at] = u;
        codes_[at] = add(u);
        if (2 * units.size() > keys_.size()) rehash(static_cast<int64_t>(keys_.size()));
        return codes_[at];
    }

    std::vector<int64_t> units;  // unit value by code

private:
    int32_t add(int64_t u) {
        units.push_back(u);
        return static_cast<int32_t>(units.size() - 1);
    }
    size_t slot(int64_t u) const {
        return static_cast<size_t>((static_cast<uint64_t>(u) * 0x9E3779B97F4A7C15ull) >> shift_) & mask_;
    }
    void rehash(int64_t at_least) {
        size_t size = 16;
        while (static_cast<int64_t>(size) < 2 * at_least) size *= 2;
        keys_.assign(size, 0);
        codes_.assign(size, -1);
        mask_ = size - 1;
        shift_ = 64 - bit_width(mask_);
        for (size_t c = 0; c < units.size(); c++) {
            size_t at = slot(units[c]);
            while (codes_[at] >= 0) at = (at + 1) & mask_;
            keys_[at] = units[c];
            codes_[at] = static_cast<int32_t>(c);
        }
    }

    int64_t lo_;
    std::vector<int32_t> dense_;
    std::vector<int64_t> keys_;
    std::vector<int32_t> codes_;
    size_t mask_ = 0;
    int shift_ = 64;
};

// Missing times sort last, each run of equal times keeps reading order.
template <class T>
bool time_less(T a, T b) {
    if constexpr (std::is_floating_point_v<T>)
        return !std::isnan(a) && (std::isnan(b) || a < b);
    else
        return a < b;
}

template <class T>
bool in_time_order(const T *t, const int64_t *order, int64_t begin, int64_t end) {
    for (int64_t i = begin + 1; i < end; i++) {
        const int64_t a = order ? order[i - 1] : i - 1;
        const int64_t b = order ? order[i] : i;
        if (time_less(t[b], t[a])) return false;
    }
    return true;
}

// Stable LSD radix sort of `a` by bits [lo, hi) of each word, passes of at
// most kDigitBits bits.  Each thread counts and then moves one slice of the
// input, so the result does not depend on the number of threads.  `stop` is
// asked between passes.
template <class Stop>
bool radix_sort(Buffer<uint64_t> &a, int64_t n, int lo, int hi, int threads, Stop &&stop) {
    const int bits = hi - lo;
    if (bits <= 0 || n < 2) return true;
    const int passes = (bits + kDigitBits - 1) / kDigitBits;
    const int width = (bits + passes - 1) / passes;
    const int slices = static_cast<int>(std::max<int64_t>(1, std::min<int64_t>(threads, n / 65536)));
    const size_t buckets = size_t{1} << width;
    Buffer<uint64_t> other = buffer<uint64_t>(n);
    std::vector<int64_t> count(static_cast<size_t>(slices) * buckets);
    auto slice_begin = [&](int64_t s) { return n * s / slices; };
    for (int p = 0; p < passes; p++) {
        if (stop()) return false;
        const int shift = lo + p * width;
        auto digit = [&](uint64_t x) { return static_cast<size_t>((x >> shift) & (buckets - 1)); };
        // Each slice's digits, then where it writes each digit: the slices
        // in order within a digit, which keeps the sort stable.
        std::fill(count.begin(), count.end(), 0);
        for_each_part(threads, slices, [&](int64_t s, int) {
            int64_t *c = count.data() + s * buckets;
            for (int64_t i = slice_begin(s); i < slice_begin(s + 1); i++) c[digit(a[i])]++;
        });
        int64_t at = 0;
        bool trivial = false;
        for (size_t d = 0; d < buckets; d++) {
            int64_t in_digit = 0;
            for (int s = 0; s < slices; s++) {
                int64_t &c = count[static_cast<size_t>(s) * buckets + d];
                const int64_t k = c;
                c = at;
                at += k;
                in_digit += k;
            }
            trivial |= in_digit == n;
        }
        if (trivial) continue;  // every word has the same digit
        for_each_part(threads, slices, [&](int64_t s, int) {
            int64_t *next = count.data() + s * buckets;
            for (int64_t i = slice_begin(s); i < slice_begin(s + 1); i++) other[next[digit(a[i])]++] = a[i];
        });
        a.swap(other);
    }
    return true;
}

// dst[i] = src[order[i]] for every column of 8-byte values, all columns in
// one pass; the sources of a few rows ahead are fetched early.
void gather_columns(const std::vector<std::pair<const void *, void *>> &copies, const int64_t *order,
                    int64_t begin, int64_t end) {
    constexpr int64_t kAhead = 32;
    for (const auto &c : copies) {
        const char *src = static_cast<const char *>(c.first);
        char *dst = static_cast<char *>(c.second);
        for (int64_t i = begin; i < end; i++) {
            if (i + kAhead < end) __builtin_prefetch(src + 8 * order[i + kAhead]);
            std::memcpy(dst + 8 * i, src + 8 * order[i], 8);
        }
    }
}

// dst[place[i]] = src[i] for i in [begin, end), column after column.
void scatter_columns(const std::vector<std::pair<const void *, void *>> &copies, const int64_t *place,
                     int64_t begin, int64_t end) {
    for (const auto &c : copies) {
        const char *src = static_cast<const char *>(c.first);
        char *dst = static_cast<char *>(c.second);
        for (int64_t i = begin; i < end; i++) std::memcpy(dst + 8 * place[i], src + 8 * i, 8);
    }
}

}  // namespace

void Kernel::order_readings() {
    const int64_t n = table_.rows;
    const int64_t *unit = table_.unit;
    bool all_units = !table_.wanted_units.has_value();

    // The wanted units' codes come first, in the order given.
    int64_t lo = 0, hi = -1;
    if (all_units) {
        if (n > 0) {
            lo = hi = unit[0];
            for (int64_t i = 1; i < n; i++) {
                lo = std::min(lo, unit[i]);
                hi = std::max(hi, unit[i]);
            }
        }
    } else if (!table_.wanted_units->empty()) {
        const auto bounds = std::minmax_element(table_.wanted_units->begin(), table_.wanted_units->end());
        lo = *bounds.first;
        hi = *bounds.second;
    }
    const int64_t expected = all_units ? std::min<int64_t>(n, int64_t{1} << 20)
                                       : static_cast<int64_t>(table_.wanted_units->size());
    UnitCodes units(lo, hi, expected);
    if (!all_units)
        for (int64_t u : *table_.wanted_units) units.find_or_add(u);
    auto code_of = [&](int64_t u) { return all_units ? units.find_or_add(u) : units.find(u); };

    // Already in order: each wanted unit's readings one run, in time order.
    bool in_order = true;
    for (int64_t i = 0; i < n && in_order;) {
        int64_t j = i + 1;
        while (j < n && unit[j] == unit[i]) j++;
        if (code_of(unit[i]) >= 0) in_order = blocks_.emplace(unit[i], Block{i, j, j}).second;
        i = j;
    }
    for (auto it = blocks_.begin(); in_order && it != blocks_.end(); ++it) {
        const Block &b = it->second;
        in_order = table_.time.integer() ? in_time_order(table_.time.i64, nullptr, b.begin, b.end)
                                         : in_time_order(table_.time.f64, nullptr, b.begin, b.end);
    }
    if (in_order) {
        find_missing_times();
        return;
    }
    blocks_.clear();
    // The wanted readings, their units' codes, and for integer times their
    // range, in one pass.  With every unit wanted the readings are all taken
    // in turn and `picked` stays empty; otherwise the units' codes are known
    // beforehand and the threads look at parts of the table side by side.
    const bool integer_time = table_.time.integer();
    const int64_t *t = table_.time.i64;
    std::vector<int32_t> codes;
    std::vector<int64_t> picked;
    int64_t tlo = std::numeric_limits<int64_t>::max(), thi = std::numeric_limits<int64_t>::min();
    struct Part {
        std::vector<int32_t> codes;
        std::vector<int64_t> picked;
        int64_t tlo = std::numeric_limits<int64_t>::max(), thi = std::numeric_limits<int64_t>::min();
    };
    auto look = [&](int64_t begin, int64_t end, Part &out) {
        int64_t last = 0;
        int32_t last_code = -1;
        for (int64_t i = begin; i < end; i++) {
            if (i == begin || unit[i] != last) {
                last = unit[i];
                last_code = last < lo || last > hi ? -1 : code_of(last);
            }
            if (all_units) {
                codes[i] = last_code;
            } else if (last_code >= 0) {
                out.codes.push_back(last_code);
                out.picked.push_back(i);
            } else {
                continue;
            }
            if (integer_time) {
                out.tlo = std::min(out.tlo, t[i]);
                out.thi = std::max(out.thi, t[i]);
            }
        }
    };
    if (all_units) {
        codes.resize(static_cast<size_t>(n));
        Part whole;
        for (int64_t begin = 0; begin < n; begin += kCheckRows) {
            if (begin > 0 && stop_requested()) return;
            look(begin, std::min(n, begin + kCheckRows), whole);
        }
        tlo = whole.tlo;
        thi = whole.thi;
    } else {
        struct Stop {};
        std::vector<Part> parts(static_cast<size_t>((n + kCheckRows - 1) / kCheckRows));
        try {
            for_each_part(threads_, static_cast<int64_t>(parts.size()), [&](int64_t p, int worker) {
                if (worker == 0 && p > 0 && stop_requested()) throw Stop{};
                look(p * kCheckRows, std::min(n, (p + 1) * kCheckRows), parts[p]);
            });
        } catch (const Stop &) {
            return;
        }
        for (Part &part : parts) {
            codes.insert(codes.end(), part.codes.begin(), part.codes.end());
            picked.insert(picked.end(), part.picked.begin(), part.picked.end());
            tlo = std::min(tlo, part.tlo);
            thi = std::max(thi, part.thi);
        }
    }
    if (all_units && std::find(codes.begin(), codes.end(), -1) != codes.end()) {
        // A unit outside the range first seen: only if another thread
        // changed the column meanwhile.  Its readings are left out.
        all_units = false;
        std::vector<int32_t> kept;
        for (int64_t i = 0; i < n; i++)
            if (codes[i] >= 0) {
                kept.push_back(codes[i]);
                picked.push_back(i);
            }
        codes.swap(kept);
    }
    const int64_t m = static_cast<int64_t>(all_units ? n : picked.size());
    auto reading = [&](int64_t j) { return all_units ? j : picked[j]; };
    const int64_t ncodes = static_cast<int64_t>(units.units.size());
    std::vector<int64_t> per_code(static_cast<size_t>(ncodes), 0);
    for (int32_t c : codes) per_code[c]++;

    // Integer times of a modest range go into the packed word, under the
    // code: one sort orders by unit and time.  Otherwise the words hold the
    // code alone and each unit's readings are sorted by time afterwards.
    const int row_bits = bit_width(static_cast<uint64_t>(std::max<int64_t>(n - 1, 0)));
    uint64_t tmin = 0, time_span = 1;  // time offsets in [0, time_span)
    bool by_time = false;
    if (integer_time && m > 0) {
        const uint64_t span = static_cast<uint64_t>(thi) - static_cast<uint64_t>(tlo) + 1;
        if (span != 0 && span <= (uint64_t{1} << 40) / static_cast<uint64_t>(ncodes) &&
            bit_width(static_cast<uint64_t>(ncodes) * span - 1) + row_bits <= 64) {
            by_time = true;
            tmin = static_cast<uint64_t>(tlo);
            time_span = span;
        }
    }
    const int key_bits = bit_width(static_cast<uint64_t>(ncodes) * time_span - 1);
    Buffer<uint64_t> words = buffer<uint64_t>(m);
    for (int64_t j = 0; j < m; j++) {
        const int64_t i = reading(j);
        uint64_t key = static_cast<uint64_t>(codes[j]);
        if (by_time) key = key * time_span + (static_cast<uint64_t>(t[i]) - tmin);
        words[j] = key << row_bits | static_cast<uint64_t>(i);
    }
    std::vector<int32_t>().swap(codes);
    std::vector<int64_t>().swap(picked);
    if (!radix_sort(words, m, row_bits, std::min(64, row_bits + key_bits), threads_,
                    [&] { return stop_requested(); }))
        return;
    // The reading numbers, in place of the words.
    const uint64_t row_mask = row_bits == 64 ? ~uint64_t{0} : (uint64_t{1} << row_bits) - 1;
    int64_t *order = reinterpret_cast<int64_t *>(words.get());
    for (int64_t j = 0; j < m; j++) order[j] = static_cast<int64_t>(words[j] & row_mask);
    {
        int64_t at = 0;
        for (int64_t c = 0; c < ncodes; c++) {
            blocks_.emplace(units.units[c], Block{at, at + per_code[c], at + per_code[c]});
            at += per_code[c];
        }
    }

    if (!by_time) {
        // Each unit by time (stable; missing times last), sorting (time,
        // reading) pairs to keep the work in cache.
        auto sort_blocks = [&](const auto *t) {
            using T = std::remove_cv_t<std::remove_pointer_t<decltype(t)>>;
            std::vector<std::pair<T, int64_t>> pairs;
            int64_t since_check = 0;
            for (auto &kv : blocks_) {
                const Block &b = kv.second;
                since_check += b.end - b.begin;
                if (since_check > kCheckRows) {
                    since_check = 0;
                    if (stop_requested()) return;
                }
                if (in_time_order(t, order, b.begin, b.end)) continue;
                pairs.clear();
                for (int64_t i = b.begin; i < b.end; i++) pairs.emplace_back(t[order[i]], order[i]);
                std::stable_sort(pairs.begin(), pairs.end(),
                                 [](const auto &x, const auto &y) { return time_less(x.first, y.first); });
                for (int64_t i = b.begin; i < b.end; i++) order[i] = pairs[i - b.begin].second;
            }
        };
        if (table_.time.integer())
            sort_blocks(table_.time.i64);
        else
            sort_blocks(table_.time.f64);
        if (stop_requested()) return;
    }

    // Every column the windows read is copied into reading order, all in one
    // pass; a key column that is the time axis itself, or that shares a
    // buffer with an earlier key, shares its copy too.
    reordered_ = true;
    std::vector<std::pair<const void *, void *>> copies;
    const Column time_source = table_.time;
    const std::vector<Column> key_sources = table_.keys;
    own_value_ = buffer<double>(m);
    copies.emplace_back(table_.value, own_value_.get());
    table_.value = own_value_.get();
    if (table_.time.integer()) {
        own_time_i_ = buffer<int64_t>(m);
        copies.emplace_back(table_.time.i64, own_time_i_.get());
        table_.time.i64 = own_time_i_.get();
    } else {
        own_time_f_ = buffer<double>(m);
        copies.emplace_back(table_.time.f64, own_time_f_.get());
        table_.time.f64 = own_time_f_.get();
    }
    own_keys_f_.resize(table_.keys.size());
    own_keys_i_.resize(table_.keys.size());
    for (size_t k = 0; k < table_.keys.size(); k++) {
        Column &c = table_.keys[k];
        const Column source = c;
        if (c.integer() && c.i64 == time_source.i64) {
            c.i64 = table_.time.i64;
            continue;
        }
        if (!c.integer() && c.f64 == time_source.f64) {
            c.f64 = table_.time.f64;
            continue;
        }
        bool shared = false;
        for (size_t j = 0; j < k && !shared; j++) {
            if (source.i64 && key_sources[j].i64 == source.i64) {
                c.i64 = table_.keys[j].i64;
                shared = true;
            } else if (source.f64 && key_sources[j].f64 == source.f64) {
                c.f64 = table_.keys[j].f64;
                shared = true;
            }
        }
        if (shared) continue;
        if (c.integer()) {
            own_keys_i_[k] = buffer<int64_t>(m);
            copies.emplace_back(c.i64, own_keys_i_[k].get());
            c.i64 = own_keys_i_[k].get();
        } else {
            own_keys_f_[k] = buffer<double>(m);
            copies.emplace_back(c.f64, own_keys_f_[k].get());
            c.f64 = own_keys_f_[k].get();
        }
    }
    // In parts of kCheckRows readings; the calling thread asks about
    // interrupts between its parts, the others stop when it gives up.  When
    // every reading moves, each is written to its place (stores to scattered
    // places do not hold the processor up the way loads from them do), after
    // one pass that finds every reading's place; a few wanted readings are
    // fetched from theirs.
    struct Stop {};
    const int64_t parts = (m + kCheckRows - 1) / kCheckRows;
    auto in_parts = [&](auto &&step) {
        for_each_part(threads_, parts, [&](int64_t p, int worker) {
            if (worker == 0 && stop_requested()) throw Stop{};
            step(p * kCheckRows, std::min(m, (p + 1) * kCheckRows));
        });
    };
    try {
        if (m == n) {
            Buffer<int64_t> place = buffer<int64_t>(n);
            in_parts([&](int64_t begin, int64_t end) {
                for (int64_t j = begin; j < end; j++) place[order[j]] = j;
            });
            in_parts([&](int64_t begin, int64_t end) { scatter_columns(copies, place.get(), begin, end); });
        } else {
            in_parts([&](int64_t begin, int64_t end) { gather_columns(copies, order, begin, end); });
        }
    } catch (const Stop &) {
        return;
    }
    table_.unit = nullptr;  // not needed past this point
    table_.rows = m;
    find_missing_times();
}

// Where the missing times begin in each block.
void Kernel::find_missing_times() {
    if (!table_.time.integer()) {
        const double *t = table_.time.f64;
        for (auto &kv : blocks_) {
            Block &b = kv.second;
            b.timed_end = std::partition_point(t + b.begin, t + b.end, [](double x) { return !std::isnan(x); }) - t;
        }
    } else {
        for (auto &kv : blocks_) kv.second.timed_end = kv.second.end;
    }
}

}  // namespace movra::fe_kernel
