// Ordering some of a table's readings (see ordering_gather.h).
#include "ordering_gather.h"

#include "ordering_common.h"
#include "ordering_units.h"
#include "page_buffers.h"
#include "parallel.h"
#include "time_order.h"

#include <algorithm>
#include <vector>

namespace movra::fe_kernel {

namespace {

// Stable LSD radix sort of `a` by bits [lo, hi) of each word, passes of at
// most kDigitBits bits.  Each thread counts and then moves one slice of the
// input, so the result does not depend on the number of threads.  `stop` is
// checked now and then.
void radix_sort(Buffer<uint64_t> &a, int64_t n, int lo, int hi, int threads, const Interruption &stop) {
    const int bits = hi - lo;
    if (bits <= 0 || n < 2) return;
    const int passes = (bits + kDigitBits - 1) / kDigitBits;
    const int width = (bits + passes - 1) / passes;
    const Slices slices(n, threads);
    const size_t buckets = size_t{1} << width;
    Buffer<uint64_t> other = buffer<uint64_t>(n, threads);
    std::vector<int64_t> count(static_cast<size_t>(slices.count) * buckets);
    for (int p = 0; p < passes; p++) {
        stop.check();
        const int shift = lo + p * width;
        auto digit = [&](uint64_t x) { return static_cast<size_t>((x >> shift) & (buckets - 1)); };
        // Each slice's digits, then where it writes each digit.
        std::fill(count.begin(), count.end(), 0);
        for_each_part(threads, slices.count, [&](int64_t s, int worker) {
            int64_t *c = count.data() + s * buckets;
            in_pieces(slices.begin(s), slices.begin(s + 1), worker, stop, [&](int64_t from, int64_t to) {
                for (int64_t i = from; i < to; i++) c[digit(a[i])]++;
            });
        });
        const std::vector<int64_t> digit_begin = slices.places(count, buckets);
        bool trivial = false;
        for (size_t d = 0; d < buckets && !trivial; d++) trivial = digit_begin[d + 1] - digit_begin[d] == n;
        if (trivial) continue;  // every word has the same digit
        for_each_part(threads, slices.count, [&](int64_t s, int worker) {
            int64_t *next = count.data() + s * buckets;
            in_pieces(slices.begin(s), slices.begin(s + 1), worker, stop, [&](int64_t from, int64_t to) {
                for (int64_t i = from; i < to; i++) other[next[digit(a[i])]++] = a[i];
            });
        });
        a.swap(other);
    }
}

// copy[i] = source[order[i]] for every column, all columns in one pass; the
// sources of a few rows ahead are fetched early.
void gather_columns(const Copies &copies, const int64_t *order, int64_t begin, int64_t end) {
    constexpr int64_t kAhead = 32;
    for (const Copy &c : copies) {
        char *dst = static_cast<char *>(c.to);
        for (int64_t i = begin; i < end; i++) {
            if (i + kAhead < end) __builtin_prefetch(source_of(c, order[i + kAhead]));
            put(dst, i, source_of(c, order[i]), c);
        }
    }
}

}  // namespace

void gather_readings(const WantedReadings &wanted, const KeyPlan &keys, const Copies &copies, bool integer_time,
                     int threads, const Interruption &stop) {
    const int64_t m = wanted.count;
    const int row_bits = keys.row_bits;
    // (key, reading number) words, sorted by key: the reading numbers in order.
    Buffer<uint64_t> words = buffer<uint64_t>(m, threads);
    in_pieces(0, m, 0, stop, [&](int64_t from, int64_t to) {
        for (int64_t j = from; j < to; j++) words[j] = keys(j) << row_bits | static_cast<uint64_t>(wanted.reading(j));
    });
    radix_sort(words, m, row_bits, std::min(64, row_bits + keys.key_bits), threads, stop);
    const uint64_t row_mask = row_bits == 64 ? ~uint64_t{0} : (uint64_t{1} << row_bits) - 1;
    int64_t *order = reinterpret_cast<int64_t *>(words.get());
    for (int64_t j = 0; j < m; j++) order[j] = static_cast<int64_t>(words[j] & row_mask);
    if (!keys.by_time) {
        const char *times = static_cast<const char *>(copies[kTimeCopy].from);
        int64_t at = 0, checked = 0;
        for (const int64_t in_unit : wanted.per_code) {
            sort_by_time(order + at, in_unit, times, integer_time, copies[kTimeCopy].source);
            at += in_unit;
            if (at - checked >= kCheckRows) {
                stop.check();
                checked = at;
            }
        }
    }
    for_each_part(threads, check_parts(m), [&](int64_t p, int worker) {
        if (worker == 0) stop.check();
        gather_columns(copies, order, p * kCheckRows, std::min(m, (p + 1) * kCheckRows));
    });
}

}  // namespace movra::fe_kernel
