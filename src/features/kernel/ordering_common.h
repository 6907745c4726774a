// What every stage of ordering the readings shares: how much work lies
// between two interrupt checks, how a stage stops when interrupted, how wide
// a radix digit is, how the sorts share their values out among threads, how
// an integer of a caller's column is read at its width, and the error of a
// caller's column that changed while it was read.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace movra::fe_kernel {

constexpr int64_t kCheckRows = int64_t{1} << 22;  // readings between two interrupt checks
constexpr int kDigitBits = 11;                     // 2048 streams per radix pass

// The pieces of kCheckRows readings that n readings make.
inline int64_t check_parts(int64_t n) { return (n + kCheckRows - 1) / kCheckRows; }

inline int bit_width(uint64_t x) {
    int b = 0;
    while (x) {
        b++;
        x >>= 1;
    }
    return b;
}

// n values cut into slices that threads count and then move side by side,
// one slice a thread and at least 65536 values each.  Each slice keeps its
// order, so that a sort's result does not depend on the number of threads.
struct Slices {
    int64_t n;
    int count;
    Slices(int64_t values, int threads)
        : n(values), count(static_cast<int>(std::max<int64_t>(1, std::min<int64_t>(threads, values / 65536)))) {}
    int64_t begin(int64_t s) const { return n * s / count; }

    // Turns tally[s * buckets + d], slice s's values in bucket d, into where
    // slice s puts its first value of bucket d: bucket after bucket, the
    // slices in order within one, which keeps the sort stable.  Returns
    // where each bucket begins, then n.
    std::vector<int64_t> places(std::vector<int64_t> &tally, size_t buckets) const {
        std::vector<int64_t> bucket_begin(buckets + 1);
        int64_t at = 0;
        for (size_t d = 0; d < buckets; d++) {
            bucket_begin[d] = at;
            for (int s = 0; s < count; s++) {
                int64_t &c = tally[static_cast<size_t>(s) * buckets + d];
                const int64_t k = c;
                c = at;
                at += k;
            }
        }
        bucket_begin[buckets] = at;
        return bucket_begin;
    }
};

// How the ordering gives up when asked to.  A stage calls check() between
// pieces of work, on the constructing thread only (worker 0 of
// for_each_part, which carries the exception back to that thread), while
// the other threads may be reading the table: what it asks must not change
// the table (see Kernel's constructor).  The ordering catches Stopped once,
// around all its stages.
class Interruption {
public:
    struct Stopped {};
    explicit Interruption(std::function<bool()> asked) : asked_(std::move(asked)) {}
    void check() const {
        if (asked_()) {
            stopped_.store(true, std::memory_order_relaxed);
            throw Stopped{};
        }
    }
    // Whether check() has stopped the ordering: the other threads look
    // between pieces of their work, and give it up too.
    bool stopped() const { return stopped_.load(std::memory_order_relaxed); }

private:
    std::function<bool()> asked_;
    mutable std::atomic<bool> stopped_{false};
};

// body(from, to) over the readings [begin, end) of one thread's slice, in
// pieces of kCheckRows: between two pieces worker 0 asks whether to stop,
// and any other worker gives its slice up once worker 0 has stopped.  A
// slice is a thread's share of a whole pass, too long to go unchecked.
template <class Body>
void in_pieces(int64_t begin, int64_t end, int worker, const Interruption &stop, Body &&body) {
    for (int64_t from = begin; from < end; from += kCheckRows) {
        if (from > begin) {
            if (worker == 0)
                stop.check();
            else if (stop.stopped())
                return;
        }
        body(from, std::min(end, from + kCheckRows));
    }
}

// The integer at `from`, `source` bytes wide, as 64 bits (sign-extended
// where `is_signed`); any 8 bytes as they are.
inline uint64_t load(const char *from, int source, bool is_signed) {
    switch (source) {
        case 1: return is_signed ? static_cast<uint64_t>(static_cast<int64_t>(*reinterpret_cast<const int8_t *>(from)))
                                 : *reinterpret_cast<const uint8_t *>(from);
        case 2: {
            uint16_t v;
            std::memcpy(&v, from, 2);
            return is_signed ? static_cast<uint64_t>(static_cast<int64_t>(static_cast<int16_t>(v))) : v;
        }
        case 4: {
            uint32_t v;
            std::memcpy(&v, from, 4);
            return is_signed ? static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(v))) : v;
        }
        default: {
            uint64_t v;
            std::memcpy(&v, from, 8);
            return v;
        }
    }
}

// Another thread changed a caller's column (`what`) while the ordering read
// it twice: what the first look found no longer holds.
[[noreturn]] inline void changed_meanwhile(const char *what) {
    throw std::runtime_error(std::string(what) + " changed while it was read");
}

}  // namespace movra::fe_kernel
