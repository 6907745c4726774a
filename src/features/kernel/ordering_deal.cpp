// Ordering every reading of a table (see ordering_deal.h).
//
// The readings are first dealt, by the top bits of their keys, into
// buckets, which are the buckets' final places in every copy.  Each bucket,
// small enough to sit in cache, is then sorted by the rest of its keys and
// its values are put in that order where they lie.
#include "ordering_deal.h"

#include "ordering_common.h"
#include "page_buffers.h"
#include "parallel.h"
#include "time_order.h"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace movra::fe_kernel {

namespace {

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
    uint64_t *low_slots(size_t d) { return lines(d)[per_bucket_ - 1].v; }  // the same, 8 bytes each

private:
    size_t per_bucket_;
    std::vector<StagedLine> lines_;
};

// Copies `bytes` from a staged line to a place aligned as far as `bytes`
// is a multiple of 16, bypassing the caches where the processor can (lines
// of 16 bytes or more; a line of 1-byte values is 8 bytes, copied plainly).
inline void stream_out(void *dst, const void *src, size_t bytes) {
#if defined(__SSE2__)
    if (bytes % 16 == 0) {
        auto *to = static_cast<__m128i *>(dst);
        const auto *from = static_cast<const __m128i *>(src);
        for (size_t k = 0; k < bytes / 16; k++) _mm_stream_si128(to + k, _mm_load_si128(from + k));
        return;
    }
#endif
    std::memcpy(dst, src, bytes);
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

// Per thread: room to sort a bucket in.
template <class LowKey>
struct Scratch {
    std::vector<uint32_t> pos, counts;
    std::vector<uint64_t> a, b, values;
    std::vector<LowKey> keys;  // the bucket's low keys, where they were dealt into its time copy
};

// The deal and the sort of the buckets.  LowKey holds the bits of a key
// below its bucket's.
template <class LowKey>
class Deal {
public:
    Deal(int64_t n, const KeyPlan &keys, const Copies &copies, bool integer_time, int threads);
    void run(const Interruption &stop);

private:
    void plan_places(const Interruption &stop);
    void deal_slice(int64_t s, int worker, const Interruption &stop);
    void order_bucket(int64_t d, Scratch<LowKey> &s);
    void order_ties(uint32_t *pos, int64_t count, const LowKey *bucket_keys, int64_t begin) const;
    void rebuild_times(int64_t d, const uint32_t *pos, int64_t count, const LowKey *bucket_keys,
                       int64_t begin) const;
    void permute(const uint32_t *pos, int64_t count, int64_t begin, std::vector<uint64_t> &held) const;

    const int64_t n_;
    const KeyPlan keys_;
    Copies copies_;                  // the columns dealt
    int64_t *rebuilt_ = nullptr;     // the time copy, where the key holds the time
    bool keys_in_time_ = false;      // the low keys dealt into the time copy's places
    const char *tie_times_ = nullptr;  // the time copy, where ties are put in time order
    const bool integer_time_;
    const int threads_;
    int top_ = 0, low_ = 0;          // a key's bits: its bucket's, and those below
    size_t buckets_ = 0;
    Slices slices_;
    std::vector<int64_t> next_;          // per slice and bucket: where its next reading goes
    std::vector<int64_t> limit_;         // ... and where its places end
    std::vector<int64_t> bucket_begin_;  // where each bucket begins, then n
    Buffer<LowKey> low_keys_;            // the bits below the bucket's, by place
};

template <class LowKey>
Deal<LowKey>::Deal(int64_t n, const KeyPlan &keys, const Copies &copies, bool integer_time, int threads)
    : n_(n), keys_(keys), copies_(copies), integer_time_(integer_time), threads_(threads), slices_(n, threads) {
    // Buckets of some 2**17 readings, whose columns sit in the last-level
    // cache while they are put in order; few enough buckets that the deal's
    // write streams stay within the address-translation cache.
    top_ = std::min(keys.key_bits, std::max(8, std::min(kDigitBits, bit_width(static_cast<uint64_t>(n) >> 18))));
    low_ = keys.key_bits - top_;
    buckets_ = size_t{1} << top_;
    // Where the key holds the time, the time copy is rebuilt from it: one
    // column fewer to deal and to put in order.  Otherwise the readings of
    // a unit with equal keys are dealt with their times, and put in time
    // order in their bucket.
    if (keys.by_time) {
        rebuilt_ = static_cast<int64_t *>(copies_[kTimeCopy].to);
        copies_.erase(copies_.begin() + kTimeCopy);
        // Until it is rebuilt, the time copy holds each reading's low key, 8
        // bytes to the place: in memory that is written anyway rather than
        // in a buffer of its own, whose pages would be new to the process
        // (on some machines the first write to a page costs more than the
        // writes themselves).
        keys_in_time_ = low_ > 0;
    } else {
        tie_times_ = static_cast<const char *>(copies_[kTimeCopy].to);
    }
}

template <class LowKey>
void Deal<LowKey>::run(const Interruption &stop) {
    plan_places(stop);
    stop.check();
    // Deal: every value to its bucket in each copy, the rest of the key beside.
    low_keys_ = buffer<LowKey>(low_ > 0 && !keys_in_time_ ? n_ : 1, threads_);
    for_each_part(threads_, slices_.count, [&](int64_t s, int worker) { deal_slice(s, worker, stop); });
    stop.check();
    // Sort each bucket and put its values in order.
    std::vector<Scratch<LowKey>> scratch(static_cast<size_t>(std::max(1, threads_)));
    for_each_part(threads_, static_cast<int64_t>(buckets_), [&](int64_t d, int worker) {
        if (worker == 0 && d % 64 == 63) stop.check();
        order_bucket(d, scratch[static_cast<size_t>(worker)]);
    });
}

// Where each slice puts each bucket's readings: bucket after bucket, the
// slices in order within one, which keeps ties in reading order.
template <class LowKey>
void Deal<LowKey>::plan_places(const Interruption &stop) {
    const size_t buckets = buckets_;
    next_.assign(static_cast<size_t>(slices_.count) * buckets, 0);
    for_each_part(threads_, slices_.count, [&](int64_t s, int worker) {
        const KeyPlan key = keys_;
        const int low = low_;
        int64_t *count = next_.data() + s * buckets;
        in_pieces(slices_.begin(s), slices_.begin(s + 1), worker, stop, [&](int64_t from, int64_t to) {
            for (int64_t i = from; i < to; i++) count[key(i) >> low]++;
        });
    });
    bucket_begin_ = slices_.places(next_, buckets);
    // Where each slice's places in a bucket end: a key that differs from
    // the one counted (a column changed meanwhile) must not write past it.
    limit_.resize(next_.size());
    for (int s = 0; s < slices_.count; s++)
        for (size_t d = 0; d < buckets; d++)
            limit_[static_cast<size_t>(s) * buckets + d] =
                s + 1 < slices_.count ? next_[static_cast<size_t>(s + 1) * buckets + d] : bucket_begin_[d + 1];
}

// Deals slice s's readings: each one's values into the staged lines of its
// bucket, written out a full line at a time.
template <class LowKey>
void Deal<LowKey>::deal_slice(int64_t s, int worker, const Interruption &stop) {
    const KeyPlan key = keys_;
    const int low = low_;
    const uint64_t low_mask = (uint64_t{1} << low) - 1;
    const size_t buckets = buckets_, columns = copies_.size();
    const Copies &copies = copies_;
    LowKey *low_keys = low_keys_.get();
    const bool in_time = keys_in_time_;
    int64_t *const time_slots = rebuilt_;
    // The columns by width (copied whole, or narrowed to 4, 2 or 1 bytes),
    // each with its staged line, base and span.
    struct Column {
        const char *from;
        size_t line;
        int64_t base;
        uint64_t span;
        int source;  // bytes per value of `from`
        bool is_signed;
    };
    std::vector<Column> by_width[4];  // 8, 4, 2, 1 bytes
    for (size_t c = 0; c < columns; c++) {
        const int width = copies[c].width;
        by_width[width == 8 ? 0 : width == 4 ? 1 : width == 2 ? 2 : 3].push_back(
            {static_cast<const char *>(copies[c].from), c, copies[c].base, copies[c].span, copies[c].source,
             copies[c].is_signed});
    }
    int64_t *place = next_.data() + s * buckets;
    const int64_t *last = limit_.data() + s * buckets;
    const std::vector<int64_t> first(place, place + buckets);  // this slice's first place per bucket
    Staging<LowKey> staged(buckets, columns);
    // A bucket's staged line is written out when it is full, whole when it
    // lies within this slice's places, else only this slice's part.
    auto write_out = [&](size_t d, int64_t line, int64_t end) {
        StagedLine *lines = staged.lines(d);
        if (line >= first[d] && end == line + kLine) {
            for (size_t c = 0; c < columns; c++) {
                const int width = copies[c].width;
                stream_out(static_cast<char *>(copies[c].to) + width * line, lines[c].v, width * kLine);
            }
            if (in_time)
                stream_out(time_slots + line, staged.low_slots(d), 8 * kLine);
            else if (low > 0)
                stream_out(low_keys + line, staged.low(d), sizeof(LowKey) * kLine);
            return;
        }
        for (int64_t p = std::max(line, first[d]); p < end; p++) {
            for (size_t c = 0; c < columns; c++) {
                const int width = copies[c].width;
                std::memcpy(static_cast<char *>(copies[c].to) + width * p,
                            reinterpret_cast<const char *>(lines[c].v) + width * (p - line), width);
            }
            if (in_time)
                time_slots[p] = static_cast<int64_t>(staged.low_slots(d)[p - line]);
            else if (low > 0)
                low_keys[p] = staged.low(d)[p - line];
        }
    };
    in_pieces(slices_.begin(s), slices_.begin(s + 1), worker, stop, [&](int64_t from, int64_t to) {
        for (int64_t i = from; i < to; i++) {
            const uint64_t k = key(i);
            const size_t d = static_cast<size_t>(k >> low);
            if (place[d] == last[d]) changed_meanwhile("the time column");  // a key unlike the one counted
            const int64_t p = place[d]++;
            const int64_t slot = p & (kLine - 1);
            StagedLine *lines = staged.lines(d);
            auto line = [&](const Column &c) { return reinterpret_cast<char *>(lines[c.line].v); };
            for (const Column &c : by_width[0])
                put<8>(line(c), slot, c.from + c.source * i, c.base, c.span, c.source, c.is_signed);
            for (const Column &c : by_width[1])
                put<4>(line(c), slot, c.from + c.source * i, c.base, c.span, c.source, c.is_signed);
            for (const Column &c : by_width[2])
                put<2>(line(c), slot, c.from + c.source * i, c.base, c.span, c.source, c.is_signed);
            for (const Column &c : by_width[3])
                put<1>(line(c), slot, c.from + c.source * i, c.base, c.span, c.source, c.is_signed);
            if (in_time)
                staged.low_slots(d)[slot] = k & low_mask;
            else if (low > 0)
                staged.low(d)[slot] = static_cast<LowKey>(k & low_mask);
            if (slot == kLine - 1) write_out(d, p - slot, p + 1);
        }
    });
    for (size_t d = 0; d < buckets; d++)
        if (place[d] & (kLine - 1)) write_out(d, place[d] & ~int64_t{kLine - 1}, place[d]);
    stream_fence();
}

// Sorts bucket d by the rest of its keys, and by time within a run of equal
// keys where ties are put in time order, and puts its values in that order.
template <class LowKey>
void Deal<LowKey>::order_bucket(int64_t d, Scratch<LowKey> &s) {
    const int64_t begin = bucket_begin_[d], count = bucket_begin_[d + 1] - begin;
    if (count == 0 || (count == 1 && !rebuilt_)) return;
    s.pos.resize(static_cast<size_t>(count));
    const LowKey *bucket_keys = low_keys_.get() + (low_ > 0 ? begin : 0);
    if (keys_in_time_) {  // taken out of the places that rebuild_times writes
        s.keys.resize(static_cast<size_t>(count));
        for (int64_t r = 0; r < count; r++) s.keys[r] = static_cast<LowKey>(rebuilt_[begin + r]);
        bucket_keys = s.keys.data();
    }
    if (low_ > 0)
        sort_bucket(s.pos.data(), count, bucket_keys, low_, s.counts, s.a, s.b);
    else
        for (int64_t r = 0; r < count; r++) s.pos[r] = static_cast<uint32_t>(r);
    if (tie_times_) order_ties(s.pos.data(), count, bucket_keys, begin);
    if (rebuilt_) rebuild_times(d, s.pos.data(), count, bucket_keys, begin);
    bool moved = false;
    for (int64_t r = 0; r < count && !moved; r++) moved = s.pos[r] != r;
    if (moved) permute(s.pos.data(), count, begin, s.values);
}

// Each run of equal keys in time order: the readings of a unit, dealt into
// the bucket that begins at `begin` with their times.
template <class LowKey>
void Deal<LowKey>::order_ties(uint32_t *pos, int64_t count, const LowKey *bucket_keys, int64_t begin) const {
    for (int64_t r = 0; r < count;) {
        int64_t e = r + 1;
        while (e < count && (low_ == 0 || bucket_keys[pos[e]] == bucket_keys[pos[r]])) e++;
        sort_by_time(pos + r, e - r, tie_times_ + 8 * begin, integer_time_);
        r = e;
    }
}

// The time copy of bucket d from its sorted keys: a key is its unit's code
// times the span plus the time's offset from the smallest time.
template <class LowKey>
void Deal<LowKey>::rebuild_times(int64_t d, const uint32_t *pos, int64_t count, const LowKey *bucket_keys,
                                 int64_t begin) const {
    // Keys ascend; each unit's keys start at a multiple of the span.
    const uint64_t span = keys_.time_span, base = keys_.tmin;
    int64_t *out = rebuilt_ + begin;
    uint64_t from = 0, end = 0;
    for (int64_t r = 0; r < count; r++) {
        const uint64_t k = static_cast<uint64_t>(d) << low_ | (low_ > 0 ? bucket_keys[pos[r]] : 0);
        if (r == 0 || k >= end) {
            from = k - k % span;
            end = from + span;
        }
        out[r] = static_cast<int64_t>(base + (k - from));
    }
}

// Every column's values of the bucket at `begin` put in the order of pos.
template <class LowKey>
void Deal<LowKey>::permute(const uint32_t *pos, int64_t count, int64_t begin, std::vector<uint64_t> &held) const {
    held.resize(static_cast<size_t>(count));
    auto in_order = [&](auto *v) {
        auto *from = reinterpret_cast<std::remove_pointer_t<decltype(v)> *>(held.data());
        std::copy(v, v + count, from);
        for (int64_t r = 0; r < count; r++) v[r] = from[pos[r]];
    };
    for (const Copy &c : copies_) {
        switch (c.width) {
            case 8: in_order(static_cast<uint64_t *>(c.to) + begin); break;
            case 4: in_order(static_cast<uint32_t *>(c.to) + begin); break;
            case 2: in_order(static_cast<uint16_t *>(c.to) + begin); break;
            default: in_order(static_cast<uint8_t *>(c.to) + begin);
        }
    }
}

}  // namespace

void deal_readings(int64_t n, const KeyPlan &keys, const Copies &copies, bool integer_time, int threads,
                   const Interruption &stop) {
    // Positions within a bucket are 32-bit; the bits of a key below its
    // bucket's fit in 32 unless the key is wider than 32 + kDigitBits.
    if (keys.key_bits <= 32 + kDigitBits)
        Deal<uint32_t>(n, keys, copies, integer_time, threads).run(stop);
    else
        Deal<uint64_t>(n, keys, copies, integer_time, threads).run(stop);
}

}  // namespace movra::fe_kernel
