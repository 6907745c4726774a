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

// The deal stages each bucket's values a cache line at a time and writes
// full lines with streaming stores: they neither read the line from memory
// first nor push the other buckets' lines out of cache, which is what limits
// a deal into a few hundred places at once.
constexpr int64_t kLine = 8;  // 8-byte values per cache line

struct alignas(64) StagedLine {
    uint64_t v[kLine];
};

// Per bucket: a line for every column, then one for the low keys.
template <class LowKey>
class Staging {
public:
    Staging(size_t buckets, size_t columns) : per_bucket_(columns + 1), lines_(buckets * per_bucket_) {}
    StagedLine *lines(size_t d) { return lines_.data() + d * per_bucket_; }
    LowKey *low(size_t d) { return reinterpret_cast<LowKey *>(lines(d)[per_bucket_ - 1].v); }

private:
    size_t per_bucket_;
    std::vector<StagedLine> lines_;
};

// Copies `bytes` (a multiple of 16) from a staged line to a 16-byte aligned
// place, bypassing the caches where the processor can.
inline void stream_out(void *dst, const void *src, size_t bytes) {
#if defined(__SSE2__)
    auto *to = static_cast<__m128i *>(dst);
    const auto *from = static_cast<const __m128i *>(src);
    for (size_t k = 0; k < bytes / 16; k++) _mm_stream_si128(to + k, _mm_load_si128(from + k));
#else
    std::memcpy(dst, src, bytes);
#endif
}

// Streaming stores are weakly ordered: fenced before other threads read.
inline void stream_fence() {
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

// The positions 0 .. count of a bucket in the order of their keys' bits
// below `low` (low_key[p]), ties in position order, into pos.  Keys that
// are dense in their range (a reading per unit and time, say) are counted
// into place in one pass; otherwise LSD passes of 8 bits order
// (key bits, position) words.  Everything stays in cache.
template <class K>
void sort_bucket(uint32_t *pos, int64_t count, const K *low_key, int low, std::vector<uint32_t> &counts,
                 std::vector<uint64_t> &a, std::vector<uint64_t> &b) {
    if (low <= 24 && (int64_t{1} << low) <= 4 * count) {
        counts.assign((size_t{1} << low) + 1, 0);
        for (int64_t r = 0; r < count; r++) counts[low_key[r] + 1]++;
        for (size_t k = 1; k < counts.size(); k++) counts[k] += counts[k - 1];
        for (int64_t r = 0; r < count; r++) pos[counts[low_key[r]]++] = static_cast<uint32_t>(r);
        return;
    }
    for (int64_t r = 0; r < count; r++) pos[r] = static_cast<uint32_t>(r);
    const int pos_bits = std::max(1, bit_width(static_cast<uint64_t>(count - 1)));
    if (low + pos_bits > 64) {
        std::stable_sort(pos, pos + count, [&](uint32_t x, uint32_t y) { return low_key[x] < low_key[y]; });
        return;
    }
    a.resize(static_cast<size_t>(count));
    b.resize(static_cast<size_t>(count));
    for (int64_t r = 0; r < count; r++) a[r] = static_cast<uint64_t>(low_key[r]) << pos_bits | static_cast<uint64_t>(r);
    for (int shift = pos_bits; shift < pos_bits + low; shift += 8) {
        int64_t start[257] = {0};
        for (int64_t r = 0; r < count; r++) start[((a[r] >> shift) & 255) + 1]++;
        for (int d = 0; d < 256; d++) start[d + 1] += start[d];
        for (int64_t r = 0; r < count; r++) b[start[(a[r] >> shift) & 255]++] = a[r];
        a.swap(b);
    }
    const uint64_t pos_mask = (uint64_t{1} << pos_bits) - 1;
    for (int64_t r = 0; r < count; r++) pos[r] = static_cast<uint32_t>(a[r] & pos_mask);
}

// A column rebuilt from the keys instead of dealt: column[p] = base + the
// key's remainder by span (the time, where the key is unit code * span plus
// the time's offset).
struct Rebuilt {
    int64_t *column;
    uint64_t base, span;
};

// Sorts the readings 0 .. n by key(i) < 2**key_bits, ties in reading order,
// and copies every column into that order, in passes that read and write
// memory in sequence instead of one random write per value and column.
// The readings are first dealt, by the top bits of their keys, into
// buckets, which are the buckets' final places in every copy.
// Each bucket, small enough to sit in cache, is then sorted by the rest of
// its keys (`ties`, when given, orders each run of equal keys) and its
// values are put in that order where they lie.  LowKey holds the bits of a
// key below its bucket's.  `stop` is checked between the stages and now
// and then between buckets.
template <class LowKey, class Key, class Ties>
void deal_and_sort(int64_t n, int key_bits, const Key &key, const Ties *ties, const Copies &copies,
                   const Rebuilt *rebuilt, int threads, const Interruption &stop) {
    // Buckets of some 2**17 readings, whose columns sit in the last-level
    // cache while they are put in order; few enough buckets that the deal's
    // write streams stay within the address-translation cache.
    const int top = std::min(key_bits, std::max(8, std::min(kDigitBits, bit_width(static_cast<uint64_t>(n) >> 18))));
    const int low = key_bits - top;
    const uint64_t low_mask = (uint64_t{1} << low) - 1;
    const size_t buckets = size_t{1} << top;
    const int slices = static_cast<int>(std::max<int64_t>(1, std::min<int64_t>(threads, n / 65536)));
    auto slice_begin = [&](int64_t s) { return n * s / slices; };
    auto bucket_of = [&](uint64_t k) { return static_cast<size_t>(k >> low); };

    // Where each slice puts each bucket's readings: bucket after bucket,
    // the slices in order within one, which keeps ties in reading order.
    std::vector<int64_t> next(static_cast<size_t>(slices) * buckets, 0);
    for_each_part(threads, slices, [&](int64_t s, int) {
        int64_t *count = next.data() + s * buckets;
        for (int64_t i = slice_begin(s), end = slice_begin(s + 1); i < end; i++) count[bucket_of(key(i))]++;
    });
    std::vector<int64_t> bucket_begin(buckets + 1);
    int64_t at = 0;
    for (size_t d = 0; d < buckets; d++) {
        bucket_begin[d] = at;
        for (int s = 0; s < slices; s++) {
            int64_t &c = next[static_cast<size_t>(s) * buckets + d];
            const int64_t k = c;
            c = at;
            at += k;
        }
    }
    bucket_begin[buckets] = at;
    // Where each slice's places in a bucket end: a key that differs from
    // the one counted (a column changed meanwhile) must not write past it.
    std::vector<int64_t> limit(next.size());
    for (int s = 0; s < slices; s++)
        for (size_t d = 0; d < buckets; d++)
            limit[static_cast<size_t>(s) * buckets + d] =
                s + 1 < slices ? next[static_cast<size_t>(s + 1) * buckets + d] : bucket_begin[d + 1];
    stop.check();

    // Deal: every value to its bucket in each copy, the rest of the key beside.
    Buffer<LowKey> low_keys = buffer<LowKey>(low > 0 ? n : 1, threads);
    const size_t columns = copies.size();
    // The columns copied whole and those narrowed, each with its staged line.
    std::vector<std::pair<const char *, size_t>> whole, narrowed;
    for (size_t c = 0; c < columns; c++)
        (copies[c].width == 8 ? whole : narrowed).emplace_back(static_cast<const char *>(copies[c].from), c);
    for_each_part(threads, slices, [&](int64_t s, int) {
        int64_t *place = next.data() + s * buckets;
        const int64_t *last = limit.data() + s * buckets;
        const std::vector<int64_t> first(place, place + buckets);  // this slice's first place per bucket
        Staging<LowKey> staged(buckets, columns);
        // A bucket's staged line is written out when it is full, whole
        // when it lies within this slice's places, else only this slice's part.
        auto write_out = [&](size_t d, int64_t line, int64_t end) {
            StagedLine *lines = staged.lines(d);
            if (line >= first[d] && end == line + kLine) {
                for (size_t c = 0; c < columns; c++) {
                    const int width = copies[c].width;
                    stream_out(static_cast<char *>(copies[c].to) + width * line, lines[c].v, width * kLine);
                }
                if (low > 0) stream_out(low_keys.get() + line, staged.low(d), sizeof(LowKey) * kLine);
                return;
            }
            for (int64_t p = std::max(line, first[d]); p < end; p++) {
                for (size_t c = 0; c < columns; c++) {
                    const int width = copies[c].width;
                    std::memcpy(static_cast<char *>(copies[c].to) + width * p,
                                reinterpret_cast<const char *>(lines[c].v) + width * (p - line), width);
                }
                if (low > 0) low_keys[p] = staged.low(d)[p - line];
            }
        };
        for (int64_t i = slice_begin(s), end = slice_begin(s + 1); i < end; i++) {
            const uint64_t k = key(i);
            const size_t d = bucket_of(k);
            if (place[d] == last[d]) changed_meanwhile();
            const int64_t p = place[d]++;
            const int64_t slot = p & (kLine - 1);
            StagedLine *lines = staged.lines(d);
            for (const auto &c : whole) put(reinterpret_cast<char *>(lines[c.second].v), slot, c.first + 8 * i, 8);
            for (const auto &c : narrowed) put(reinterpret_cast<char *>(lines[c.second].v), slot, c.first + 8 * i, 4);
            if (low > 0) staged.low(d)[slot] = static_cast<LowKey>(k & low_mask);
            if (slot == kLine - 1) write_out(d, p - slot, p + 1);
        }
        for (size_t d = 0; d < buckets; d++)
            if (place[d] & (kLine - 1)) write_out(d, place[d] & ~int64_t{kLine - 1}, place[d]);
        stream_fence();
    });
    stop.check();

    // Sort each bucket and put its values in order.
    struct Scratch {
        std::vector<uint32_t> pos, counts;
        std::vector<uint64_t> a, b, values;
    };
    std::vector<Scratch> scratch(static_cast<size_t>(std::max(1, threads)));
    for_each_part(threads, static_cast<int64_t>(buckets), [&](int64_t d, int worker) {
        if (worker == 0 && d % 64 == 63) stop.check();
        const int64_t begin = bucket_begin[d], count = bucket_begin[d + 1] - begin;
        if (count == 0 || (count == 1 && !rebuilt)) return;
        Scratch &s = scratch[static_cast<size_t>(worker)];
        s.pos.resize(static_cast<size_t>(count));
        const LowKey *bucket_keys = low_keys.get() + (low > 0 ? begin : 0);
        if (low > 0)
            sort_bucket(s.pos.data(), count, bucket_keys, low, s.counts, s.a, s.b);
        else
            for (int64_t r = 0; r < count; r++) s.pos[r] = static_cast<uint32_t>(r);
        if (ties) {
            for (int64_t r = 0; r < count;) {
                int64_t e = r + 1;
                while (e < count && (low == 0 || bucket_keys[s.pos[e]] == bucket_keys[s.pos[r]])) e++;
                (*ties)(s.pos.data() + r, e - r, begin);
                r = e;
            }
        }
        if (rebuilt) {
            // Keys ascend; each unit's keys start at a multiple of the span.
            int64_t *out = rebuilt->column + begin;
            uint64_t from = 0, end = 0;
            for (int64_t r = 0; r < count; r++) {
                const uint64_t k = static_cast<uint64_t>(d) << low | (low > 0 ? bucket_keys[s.pos[r]] : 0);
                if (r == 0 || k >= end) {
                    from = k - k % rebuilt->span;
                    end = from + rebuilt->span;
                }
                out[r] = static_cast<int64_t>(rebuilt->base + (k - from));
            }
        }
        bool moved = false;
        for (int64_t r = 0; r < count && !moved; r++) moved = s.pos[r] != r;
        if (!moved) return;
        s.values.resize(static_cast<size_t>(count));
        auto permute = [&](auto *v) {
            auto *held = reinterpret_cast<std::remove_pointer_t<decltype(v)> *>(s.values.data());
            std::copy(v, v + count, held);
            for (int64_t r = 0; r < count; r++) v[r] = held[s.pos[r]];
        };
        for (const Copy &c : copies) {
            if (c.width == 8)
                permute(static_cast<uint64_t *>(c.to) + begin);
            else
                permute(static_cast<uint32_t *>(c.to) + begin);
        }
    });
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
    const uint64_t tmin = key_of.tmin, time_span = key_of.time_span;

    reordered_ = true;
    const Copies copies = plan_copies(table_, copies_, wanted, threads_);

    if (m == n && m <= int64_t{UINT32_MAX}) {
        // Every reading moves: dealt into buckets, then each bucket in cache
        // (positions within a bucket are 32-bit).
        // Ties are runs of a unit's readings, dealt into its bucket with
        // their times: `begin` is where the bucket starts in the copies.
        auto ties = [&](uint32_t *pos, int64_t count, int64_t begin) {
            sort_by_time(pos, count, static_cast<const char *>(copies[kTimeCopy].to) + 8 * begin, integer_time);
        };
        const auto *order_ties = by_time ? nullptr : &ties;
        // Where the key holds the time, the time copy is rebuilt from it:
        // one column fewer to deal and to put in order.
        Copies dealt_copies = copies;
        std::optional<Rebuilt> rebuilt;
        if (by_time) {
            rebuilt = Rebuilt{copies_.time_i.get(), tmin, time_span};
            dealt_copies.erase(dealt_copies.begin() + 1);
        }
        const Rebuilt *rebuild = rebuilt ? &*rebuilt : nullptr;
        if (key_bits <= 32 + kDigitBits)
            deal_and_sort<uint32_t>(m, key_bits, key_of, order_ties, dealt_copies, rebuild, threads_, stop);
        else
            deal_and_sort<uint64_t>(m, key_bits, key_of, order_ties, dealt_copies, rebuild, threads_, stop);
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
