// Unit codes and the readings to order (see ordering_units.h).
#include "ordering_units.h"

#include "ordering_common.h"
#include "page_buffers.h"
#include "parallel.h"
#include "time_order.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <type_traits>
#include <utility>

namespace movra::fe_kernel {

namespace {

// The smallest and largest unit wanted (lo > hi: none).
std::pair<int64_t, int64_t> wanted_range(const Table &table) {
    int64_t lo = 0, hi = -1;
    if (!table.wanted_units) {
        if (table.rows > 0) {
            lo = hi = table.unit[0];
            for (int64_t i = 1; i < table.rows; i++) {
                lo = std::min(lo, table.unit[i]);
                hi = std::max(hi, table.unit[i]);
            }
        }
    } else if (!table.wanted_units->empty()) {
        const auto bounds = std::minmax_element(table.wanted_units->begin(), table.wanted_units->end());
        lo = *bounds.first;
        hi = *bounds.second;
    }
    return {lo, hi};
}

}  // namespace

UnitCodes::UnitCodes(const Table &table) {
    std::tie(lo_, hi_) = wanted_range(table);
    const int64_t expected = table.wanted_units ? static_cast<int64_t>(table.wanted_units->size())
                                                : std::min<int64_t>(table.rows, int64_t{1} << 20);
    const uint64_t span = static_cast<uint64_t>(hi_) - static_cast<uint64_t>(lo_);
    // Small enough to stay in cache, or to be no larger than the units.
    if (hi_ >= lo_ && (span < (uint64_t{1} << 18) || span <= 8 * static_cast<uint64_t>(expected))) {
        dense_.assign(static_cast<size_t>(span) + 1, -1);
    } else {
        sparse_.reserve(std::max<int64_t>(16, 2 * expected));
    }
    if (table.wanted_units) {
        for (int64_t u : *table.wanted_units) find_or_add(u);
        complete_ = true;
    }
}

int32_t UnitCodes::find(int64_t u) const {
    if (!dense_.empty()) {
        const uint64_t at = static_cast<uint64_t>(u) - static_cast<uint64_t>(lo_);
        return at < dense_.size() ? dense_[at] : -1;
    }
    return sparse_.find(static_cast<uint64_t>(u));
}

int32_t UnitCodes::find_or_add(int64_t u) {
    if (!dense_.empty()) {
        const uint64_t at = static_cast<uint64_t>(u) - static_cast<uint64_t>(lo_);
        if (at >= dense_.size()) return -1;  // outside the range given: not a unit
        if (dense_[at] < 0) dense_[at] = add(u);
        return dense_[at];
    }
    bool added;
    const int32_t code = sparse_.code(static_cast<uint64_t>(u), added);
    if (added) add(u);  // the same code: units are added here alone
    return code;
}

void UnitCodes::add_present(const int64_t *unit, int64_t n, int threads, const Interruption &stop) {
    std::unique_ptr<std::atomic<uint8_t>[]> seen(new std::atomic<uint8_t>[dense_.size()]());
    for_each_part(threads, check_parts(n), [&](int64_t p, int worker) {
        if (worker == 0 && p > 0) stop.check();
        for (int64_t i = p * kCheckRows; i < std::min(n, (p + 1) * kCheckRows); i++) {
            const uint64_t at = static_cast<uint64_t>(unit[i]) - static_cast<uint64_t>(lo_);
            if (at < dense_.size()) seen[at].store(1, std::memory_order_relaxed);
        }
    });
    for (size_t at = 0; at < dense_.size(); at++)
        if (seen[at].load(std::memory_order_relaxed) && dense_[at] < 0)
            dense_[at] = add(static_cast<int64_t>(static_cast<uint64_t>(lo_) + at));
    complete_ = true;
}

int32_t UnitCodes::add(int64_t u) {
    units_.push_back(u);
    return static_cast<int32_t>(units_.size() - 1);
}

namespace {

// What the look finds in one part of kCheckRows readings.
struct Part {
    int64_t wanted = 0, first = 0;  // first: where its wanted readings go
    int64_t tlo = std::numeric_limits<int64_t>::max(), thi = std::numeric_limits<int64_t>::min();
    std::vector<int64_t> numbers;  // its wanted readings, where codes are not kept
    std::vector<int32_t> codes;
};

// Part p's wanted readings: how many, their times' range where the time axis
// is integer, and either every reading's code in `kept` (-1: not wanted) or,
// without `kept`, the wanted readings' numbers and codes listed.
template <class T>
void look_at_part(const Table &table, const T *t, UnitCodes &units, int64_t p, int32_t *kept, Part &out) {
    const int64_t *unit = table.unit;
    constexpr bool integer_time = !std::is_floating_point_v<T>;
    int64_t last = 0;
    int32_t last_code = -1;
    for (int64_t i = p * kCheckRows, end = std::min(table.rows, (p + 1) * kCheckRows); i < end; i++) {
        if (i == p * kCheckRows || unit[i] != last) {
            last = unit[i];
            last_code = units.code(last);
        }
        if (kept) kept[i] = last_code;
        if (last_code < 0) continue;
        out.wanted++;
        if (!kept) {
            out.numbers.push_back(i);
            out.codes.push_back(last_code);
        }
        if constexpr (integer_time) {
            out.tlo = std::min<int64_t>(out.tlo, t[i]);
            out.thi = std::max<int64_t>(out.thi, t[i]);
        }
    }
}

void look_at_part(const Table &table, UnitCodes &units, int64_t p, int32_t *kept, Part &out) {
    with_times(table.time, [&](const auto *t) { look_at_part(table, t, units, p, kept, out); });
}

// Part p's wanted readings' numbers (unless `numbers` is unset) and codes
// into their places, from its lists or from every reading's code kept.
void gather_part(int64_t n, int64_t p, const int32_t *kept, Part &from, int64_t *numbers, int32_t *codes) {
    int64_t at = from.first;
    if (!kept) {
        if (numbers) std::copy(from.numbers.begin(), from.numbers.end(), numbers + at);
        std::copy(from.codes.begin(), from.codes.end(), codes + at);
        from.numbers = {};
        from.codes = {};
        return;
    }
    for (int64_t i = p * kCheckRows, end = std::min(n, (p + 1) * kCheckRows); i < end; i++) {
        if (kept[i] < 0) continue;
        numbers[at] = i;
        codes[at++] = kept[i];
    }
}

}  // namespace

WantedReadings find_wanted_readings(const Table &table, UnitCodes &units, int threads, const Interruption &stop) {
    const int64_t n = table.rows;
    // A unit column with a modest range of values gets every code first, so
    // the threads look at parts of the table side by side; otherwise codes
    // are given in one pass in order.
    if (!units.complete() && units.dense()) units.add_present(table.unit, n, threads, stop);
    std::vector<Part> parts(static_cast<size_t>(check_parts(n)));
    auto in_parts = [&](auto &&task) {
        for_each_part(units.complete() ? threads : 1, check_parts(n), [&](int64_t p, int worker) {
            if (worker == 0 && p > 0) stop.check();
            task(p, parts[p]);
        });
    };
    // One look at the units: each part counts its wanted readings and their
    // times' range.  When many units are wanted, most readings usually are:
    // the look then keeps every reading's code (-1: not wanted), which are
    // the codes themselves when every reading is wanted.  Otherwise each
    // part lists its wanted readings (no buffer as large as the table when
    // only a few units are wanted).
    const bool keep = !table.wanted_units || static_cast<int64_t>(table.wanted_units->size()) >= (n >> 16);
    Buffer<int32_t> kept = keep ? buffer<int32_t>(n, threads) : Buffer<int32_t>();
    in_parts([&](int64_t p, Part &part) { look_at_part(table, units, p, kept.get(), part); });
    units.set_complete();  // every code is given by now

    WantedReadings wanted;
    for (Part &part : parts) {
        part.first = wanted.count;
        wanted.count += part.wanted;
        wanted.tlo = std::min(wanted.tlo, part.tlo);
        wanted.thi = std::max(wanted.thi, part.thi);
    }
    const int64_t m = wanted.count;
    if (kept && m == n) {
        wanted.codes = std::move(kept);
    } else {
        if (m < n) wanted.numbers = buffer<int64_t>(m, threads);
        wanted.codes = buffer<int32_t>(m, threads);
        in_parts([&](int64_t p, Part &part) {
            gather_part(n, p, kept.get(), part, wanted.numbers.get(), wanted.codes.get());
        });
        kept.reset();
    }
    // Each code's readings, counted by the threads side by side.
    const size_t ncodes = static_cast<size_t>(units.size());
    const int counters = static_cast<int>(std::max<int64_t>(1, std::min<int64_t>(threads, check_parts(m))));
    std::vector<std::vector<int64_t>> per_worker(static_cast<size_t>(counters), std::vector<int64_t>(ncodes, 0));
    for_each_part(counters, check_parts(m), [&](int64_t p, int worker) {
        if (worker == 0 && p > 0) stop.check();
        int64_t *count = per_worker[static_cast<size_t>(worker)].data();
        for (int64_t j = p * kCheckRows, end = std::min(m, (p + 1) * kCheckRows); j < end; j++) count[wanted.codes[j]]++;
    });
    wanted.per_code = std::move(per_worker[0]);
    for (int w = 1; w < counters; w++)
        for (size_t c = 0; c < ncodes; c++) wanted.per_code[c] += per_worker[static_cast<size_t>(w)][c];
    return wanted;
}

}  // namespace movra::fe_kernel
