// The scratch space of one thread's windows, reused from window to window
// so that a window allocates nothing once the buffers have grown to its
// size.  Internal to the kernel.
#pragma once

#include "fe_kernel.h"
#include "stats.h"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace movra::fe_kernel {

// A lag's pairs of readings: the differences (NaN for a reading without an
// earlier one), and the pairs whose both values are finite, which the
// correlation reads.
struct LagPairs {
    std::vector<double> diffs, earlier, later;
    int64_t ndiffs = 0, npairs = 0;
    double correlation = 0;
    // Room for `need` entries in each list; grown, at least twofold, only
    // when there is less.
    void fit(int64_t need) {
        if (need <= static_cast<int64_t>(diffs.size())) return;
        const size_t size = static_cast<size_t>(std::max<int64_t>(need, 2 * static_cast<int64_t>(diffs.size())));
        diffs.resize(size);
        earlier.resize(size);
        later.resize(size);
    }
};

struct alignas(64) Work {  // apart from the other threads' Work
    stats::Scratch stats;
    // grouping
    std::vector<int64_t> starts, counts;
    std::vector<std::pair<uint64_t, int64_t>> keyed;  // sorted keys and their readings
    std::vector<uint64_t> held;
    std::vector<double> grouped;  // a window's values, group after group
    std::vector<Scalar> keys;     // each group's key
    // entries
    std::vector<double> series, buffer;
    std::vector<float> narrow;
    std::vector<LagPairs> lags;
    std::vector<double> reciprocals;  // 1. / (k + 1) at k
    // Where an Arrow value column's chunks begin among the window's readings
    // (from its first, ascending), when pandas hands them to pyarrow in the
    // column's chunks (Range::copied); empty: one chunk.
    std::vector<int64_t> chunks, group_chunks;
};

// Where chunks that begin at `starts` (ascending) begin among the readings
// [lo, hi): the starts after lo and before hi, as offsets from lo, into
// `out`.
inline void chunk_starts_within(const std::vector<int64_t> &starts, int64_t lo, int64_t hi,
                                std::vector<int64_t> &out) {
    out.clear();
    for (auto c = std::upper_bound(starts.begin(), starts.end(), lo); c != starts.end() && *c < hi; ++c)
        out.push_back(*c - lo);
}

}  // namespace movra::fe_kernel
