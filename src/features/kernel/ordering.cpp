// Ordering the readings by unit and time (see fe_kernel.h).
//
// Most tables come grouped by unit and in time order already, which one scan
// finds.  Otherwise every reading gets an integer code for its unit, and the
// readings are ordered by a key of unit code and time offset.  When every
// reading moves, its values are dealt, by the top bits of its key, into one
// of a few hundred buckets that already lie where the bucket ends up in each
// copied column, a cache line at a time; each bucket is then sorted in
// cache and put in order where it lies.  Both passes read and write memory
// in sequence, which the caches handle well, unlike a random write per value
// and column.  Where the key holds the time, the time copy is rebuilt from
// the sorted keys instead of dealt.  Fresh memory is costly too (each page
// faults in on first touch), so large buffers are made present in a few
// requests, shared among the threads.
//
// Only the wanted units' readings are ordered: a few windows over a big table
// cost a scan of its unit column, a radix sort of the few readings' numbers
// and a gather of their values.
#include "fe_kernel.h"

#include "ordering_common.h"
#include "ordering_deal.h"
#include "ordering_plan.h"
#include "ordering_units.h"
#include "page_buffers.h"
#include "parallel.h"
#include "time_order.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace movra::fe_kernel {

namespace {

// Stable LSD radix sort of `a` by bits [lo, hi) of each word, passes of at
// most kDigitBits bits.  Each thread counts and then moves one slice of the
// input, so the result does not depend on the number of threads.  `stop` is
// checked between passes.
void radix_sort(Buffer<uint64_t> &a, int64_t n, int lo, int hi, int threads, const Interruption &stop) {
    const int bits = hi - lo;
    if (bits <= 0 || n < 2) return;
    const int passes = (bits + kDigitBits - 1) / kDigitBits;
    const int width = (bits + passes - 1) / passes;
    const int slices = static_cast<int>(std::max<int64_t>(1, std::min<int64_t>(threads, n / 65536)));
    const size_t buckets = size_t{1} << width;
    Buffer<uint64_t> other = buffer<uint64_t>(n, threads);
    std::vector<int64_t> count(static_cast<size_t>(slices) * buckets);
    auto slice_begin = [&](int64_t s) { return n * s / slices; };
    for (int p = 0; p < passes; p++) {
        stop.check();
        const int shift = lo + p * width;
        auto digit = [&](uint64_t x) { return static_cast<size_t>((x >> shift) & (buckets - 1)); };
        // Each slice's digits, then where it writes each digit: the slices
        // in order within a digit, which keeps the sort stable.
        std::fill(count.begin(), count.end(), 0);
        for_each_part(threads, slices, [&](int64_t s, int) {
            int64_t *c = count.data() + s * buckets;
            for (int64_t i = slice_begin(s), end = slice_begin(s + 1); i < end; i++) c[digit(a[i])]++;
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
            for (int64_t i = slice_begin(s), end = slice_begin(s + 1); i < end; i++) other[next[digit(a[i])]++] = a[i];
        });
        a.swap(other);
    }
}

// copy[i] = source[order[i]] for every column, all columns in one pass; the
// sources of a few rows ahead are fetched early.
void gather_columns(const Copies &copies, const int64_t *order, int64_t begin, int64_t end) {
    constexpr int64_t kAhead = 32;
    for (const Copy &c : copies) {
        const char *src = static_cast<const char *>(c.from);
        char *dst = static_cast<char *>(c.to);
        for (int64_t i = begin; i < end; i++) {
            if (i + kAhead < end) __builtin_prefetch(src + 8 * order[i + kAhead]);
            put(dst, i, src + 8 * order[i], c.width);
        }
    }
}

}  // namespace

// Interrupted, the ordering leaves the kernel unusable (interrupted()).
void Kernel::order_readings() {
    try {
        order_in_stages(Interruption([this] { return stop_requested(); }));
    } catch (const Interruption::Stopped &) {
    }
}

void Kernel::order_in_stages(const Interruption &stop) {
    const int64_t n = table_.rows;
    const int64_t *unit = table_.unit;
    UnitCodes units(table_);

    // Already in order: each wanted unit's readings one run, in time order.
    bool in_order = true;
    for (int64_t i = 0; i < n && in_order;) {
        int64_t j = i + 1;
        while (j < n && unit[j] == unit[i]) j++;
        if (units.code(unit[i]) >= 0) in_order = blocks_.emplace(unit[i], Block{i, j, j}).second;
        i = j;
    }
    for (auto it = blocks_.begin(); in_order && it != blocks_.end(); ++it) {
        const Block &b = it->second;
        in_order = table_.time.integer() ? in_time_order(table_.time.i64, b.begin, b.end)
                                         : in_time_order(table_.time.f64, b.begin, b.end);
    }
    if (in_order) {
        find_missing_times();
        return;
    }
    blocks_.clear();
    const bool integer_time = table_.time.integer();
    const WantedReadings wanted = find_wanted_readings(table_, units, threads_, stop);
    const int64_t m = wanted.count;
    const std::vector<int64_t> &per_code = wanted.per_code;
    auto reading = [&](int64_t j) { return wanted.reading(j); };
    const int64_t ncodes = units.size();
    const KeyPlan key_of = plan_keys(table_, wanted, ncodes);
    const bool by_time = key_of.by_time;
    const int key_bits = key_of.key_bits, row_bits = key_of.row_bits;

    reordered_ = true;
    const Copies copies = plan_copies(table_, copies_, wanted, threads_);

    if (m == n && m <= int64_t{UINT32_MAX}) {
        // Every reading moves: dealt into buckets, then each bucket in cache.
        deal_readings(m, key_of, copies, integer_time, threads_, stop);
    } else {
        // A few units of a big table: their reading numbers are sorted by
        // key, each unit's by time, and the columns gathered in that order.
        Buffer<uint64_t> words = buffer<uint64_t>(m, threads_);
        for (int64_t j = 0; j < m; j++) words[j] = key_of(j) << row_bits | static_cast<uint64_t>(reading(j));
        radix_sort(words, m, row_bits, std::min(64, row_bits + key_bits), threads_, stop);
        const uint64_t row_mask = row_bits == 64 ? ~uint64_t{0} : (uint64_t{1} << row_bits) - 1;
        int64_t *order = reinterpret_cast<int64_t *>(words.get());
        for (int64_t j = 0; j < m; j++) order[j] = static_cast<int64_t>(words[j] & row_mask);
        if (!by_time) {
            int64_t at = 0;
            for (int64_t c = 0; c < ncodes; c++) {
                sort_by_time(order + at, per_code[c], static_cast<const char *>(copies[kTimeCopy].from), integer_time);
                at += per_code[c];
            }
        }
        for_each_part(threads_, check_parts(m), [&](int64_t p, int worker) {
            if (worker == 0) stop.check();
            gather_columns(copies, order, p * kCheckRows, std::min(m, (p + 1) * kCheckRows));
        });
    }
    int64_t at = 0;
    for (int64_t c = 0; c < ncodes; c++) {
        blocks_.emplace(units.unit(c), Block{at, at + per_code[c], at + per_code[c]});
        at += per_code[c];
    }
    table_.unit = nullptr;  // not needed past this point
    table_.rows = m;
    find_missing_times();
}

void Kernel::give_back_copies() noexcept {
    try {
        MappedPages pages;
        pages.add(copies_.value);
        pages.add(copies_.time_i);
        pages.add(copies_.time_f);
        for (const auto &b : copies_.keys_i) pages.add(b);
        for (const auto &b : copies_.keys_i32) pages.add(b);
        for (const auto &b : copies_.keys_f) pages.add(b);
        pages.give_back(threads_);
    } catch (...) {
        // Unmapping gives the pages back all the same, one thread at a time.
    }
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
