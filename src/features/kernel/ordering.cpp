// Ordering the readings by unit and time (see fe_kernel.h).
//
// Most tables come grouped by unit and in time order already, which one scan
// finds.  Otherwise the ordering runs in stages:
//
//   ordering_units   every wanted unit gets an integer code, and one look at
//                    the unit column finds the readings to order;
//   ordering_plan    each such reading's key is its unit code and, where it
//                    fits, its time's offset; every column the windows read
//                    gets a copy in reading order, 32-bit keys narrowed;
//   ordering_deal    when every reading moves, its values are dealt, by the
//                    top bits of its key, into buckets that already lie
//                    where they end up in each copy, a cache line at a time;
//                    each bucket is then sorted in cache and put in order;
//   ordering_gather  when only a few units of a big table are wanted, their
//                    reading numbers are radix-sorted and their values
//                    gathered.
//
// Both ways read and write memory in sequence where they can, which the
// caches handle well, unlike a random write per value and column.  Fresh
// memory is costly too, so large buffers are made present in a few requests
// (page_buffers).
//
// The ordering is done before any window runs.  Running each bucket's
// windows as soon as it is put in order, while its values are in cache, was
// measured no faster: the windows read the copies in sequence, which costs
// them no more than reading a table in order, and what the ordering costs
// is the deal's pass over the caller's columns, the new memory and the
// units' codes, which that leaves as they are.
#include "fe_kernel.h"

#include "ordering_common.h"
#include "ordering_deal.h"
#include "ordering_gather.h"
#include "ordering_plan.h"
#include "ordering_units.h"
#include "page_buffers.h"
#include "parallel.h"
#include "time_order.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <vector>

namespace movra::fe_kernel {

// Interrupted, the ordering leaves the kernel unusable (interrupted()).
void Kernel::order_readings() {
    const Interruption stop([this] { return stop_requested(); });
    ordering_clock_.start(true);
    const double pages_before = seconds_making_pages_present();
    try {
        UnitCodes units(table_);
        const bool in_place = blocks_in_place(units);
        ordering_clock_.lap(StageTimes::OrderingUnits);
        if (!in_place) reorder(units, stop);
        else if (!table_.time.i64 && table_.time.integer()) widen_times();
    } catch (const Interruption::Stopped &) {
        return;
    }
    find_missing_times();
    ordering_clock_.lap(StageTimes::OrderingBlocks);
    ordering_clock_.add(StageTimes::OrderingPages, seconds_making_pages_present() - pages_before);
}

namespace {

// A run of readings of one unit: the unit, and where the run begins and ends.
struct Run {
    int64_t unit, begin, end;
};

// The runs of wanted units that begin in unit[from .. to) (one may end
// beyond), appended to `runs`.  Returns false, having stopped, when a unit
// is seen to have two runs: more runs than units, or, while the units are
// being coded, a unit coded before; or when `stop` is set.
bool runs_of_units(const int64_t *unit, int64_t n, int64_t from, int64_t to, UnitCodes &units,
                   std::vector<Run> &runs, const std::atomic<bool> &stop) {
    const bool coding = !units.complete();
    for (int64_t i = from; i < to;) {
        if (i > 0 && unit[i] == unit[i - 1]) {  // a run that began before
            i++;
            continue;
        }
        int64_t j = i + 1;
        while (j < n && unit[j] == unit[i]) j++;
        const int64_t coded = units.size();
        const int32_t code = units.code(unit[i]);
        if (code >= 0) {
            if (coding && code < coded) return false;
            runs.push_back({unit[i], i, j});
            if ((!coding && static_cast<int64_t>(runs.size()) > units.size()) ||
                (runs.size() % 1024 == 0 && stop.load(std::memory_order_relaxed)))
                return false;
        }
        i = j;
    }
    return true;
}

}  // namespace

// Whether the readings are in order already: each wanted unit's readings one
// run, in time order.  Its blocks are then found, else none.  Tables out of
// order mostly show it at once: the first readings are looked at alone, the
// rest by the threads side by side when every unit's code is known.
bool Kernel::blocks_in_place(UnitCodes &units) {
    const int64_t n = table_.rows;
    const int64_t *unit = table_.unit;
    constexpr int64_t kFirstLook = int64_t{1} << 16;
    const bool shared = units.complete() && threads_ > 1 && n > 4 * kFirstLook;
    std::atomic<bool> out_of_order{false};
    std::vector<std::vector<Run>> runs(1);
    bool in_order = runs_of_units(unit, n, 0, shared ? kFirstLook : n, units, runs[0], out_of_order);
    if (in_order && shared) {
        const Slices rest(n - kFirstLook, threads_);
        runs.resize(1 + static_cast<size_t>(rest.count));
        for_each_part(threads_, rest.count, [&](int64_t s, int) {
            if (!runs_of_units(unit, n, kFirstLook + rest.begin(s), kFirstLook + rest.begin(s + 1), units,
                               runs[1 + s], out_of_order))
                out_of_order = true;
        });
        in_order = !out_of_order;
    }
    for (size_t s = 0; s < runs.size() && in_order; s++)
        for (const Run &r : runs[s])
            if (!(in_order = blocks_.emplace(r.unit, Block{r.begin, r.end, r.end}).second)) break;
    if (in_order) {
        std::atomic<bool> timed_in_order{true};
        std::vector<const Block *> blocks;
        blocks.reserve(blocks_.size());
        for (const auto &kv : blocks_) blocks.push_back(&kv.second);
        for_each_part(threads_, threads_, [&](int64_t p, int) {
            const size_t first = blocks.size() * p / threads_, last = blocks.size() * (p + 1) / threads_;
            for (size_t k = first; k < last && timed_in_order.load(std::memory_order_relaxed); k++) {
                const Block &b = *blocks[k];
                const bool ok = with_times(table_.time, [&](const auto *t) { return in_time_order(t, b.begin, b.end); });
                if (!ok) timed_in_order = false;
            }
        });
        in_order = timed_in_order;
    }
    if (!in_order) blocks_.clear();
    return in_order;
}

// The wanted readings copied into reading order, and their blocks.
void Kernel::reorder(UnitCodes &units, const Interruption &stop) {
    const WantedReadings wanted = find_wanted_readings(table_, units, threads_, stop);
    const KeyPlan keys = plan_keys(table_, wanted, units.size());
    reordered_ = true;
    const Copies copies = plan_copies(table_, copies_, wanted, threads_, stop);
    const bool integer_time = table_.time.integer();
    ordering_clock_.lap(StageTimes::OrderingPlan);
    if (wanted.count == table_.rows && wanted.count <= int64_t{UINT32_MAX})
        deal_readings(wanted.count, keys, copies, integer_time, threads_, stop);
    else
        gather_readings(wanted, keys, copies, integer_time, threads_, stop);
    ordering_clock_.lap(StageTimes::OrderingMoves);
    int64_t at = 0;
    for (int64_t c = 0; c < units.size(); c++) {
        const int64_t end = at + wanted.per_code[c];
        blocks_.emplace(units.unit(c), Block{at, end, end});
        at = end;
    }
    table_.unit = nullptr;  // not needed past this point
    table_.rows = wanted.count;
}

void Kernel::give_back_copies() noexcept {
    try {
        MappedPages pages;
        pages.add(copies_.value);
        pages.add(copies_.time_i);
        pages.add(copies_.time_f);
        for (const auto &b : copies_.keys_i) pages.add(b);
        for (const auto &b : copies_.keys_narrow) pages.add(b);
        for (const auto &b : copies_.keys_f) pages.add(b);
        pages.give_back(threads_);
    } catch (...) {
        // Unmapping gives the pages back all the same, one thread at a time.
    }
}

// A narrow time axis of readings in order, widened into a copy of the
// kernel's own: the windows read int64 times.  Readings out of order get
// theirs as they are put in order.
void Kernel::widen_times() {
    copies_.time_i = buffer<int64_t>(table_.rows, threads_);
    int64_t *to = copies_.time_i.get();
    with_times(table_.time, [&](const auto *t) {
        for_each_part(threads_, check_parts(table_.rows), [&](int64_t p, int) {
            for (int64_t i = p * kCheckRows, end = std::min(table_.rows, (p + 1) * kCheckRows); i < end; i++)
                to[i] = static_cast<int64_t>(t[i]);
        });
    });
    table_.time = Column{};
    table_.time.i64 = to;
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
