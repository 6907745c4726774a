// The key and copy plans of ordering the readings (see ordering_plan.h).
#include "ordering_plan.h"

#include "ordering_units.h"
#include "page_buffers.h"
#include "parallel.h"

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

namespace movra::fe_kernel {

KeyPlan plan_keys(const Table &table, const WantedReadings &wanted, int64_t ncodes) {
    KeyPlan keys;
    keys.codes = wanted.codes.get();
    const Column::Integers time = table.time.integers();
    keys.time = static_cast<const char *>(time.data);
    keys.time_width = time.width;
    keys.numbers = wanted.numbers.get();
    keys.row_bits = bit_width(static_cast<uint64_t>(std::max<int64_t>(table.rows - 1, 0)));
    if (table.time.integer() && wanted.count > 0) {
        const uint64_t span = static_cast<uint64_t>(wanted.thi) - static_cast<uint64_t>(wanted.tlo) + 1;
        if (span != 0 && span <= (uint64_t{1} << 40) / static_cast<uint64_t>(ncodes) &&
            bit_width(static_cast<uint64_t>(ncodes) * span - 1) + keys.row_bits <= 64) {
            keys.by_time = true;
            keys.tmin = static_cast<uint64_t>(wanted.tlo);
            keys.time_span = span;
        }
    }
    keys.key_bits = bit_width(static_cast<uint64_t>(ncodes) * keys.time_span - 1);
    return keys;
}

namespace {

// The smallest and largest of the wanted readings' values of an integer
// column, looked at by `threads`: only the readings to be copied.
std::pair<int64_t, int64_t> wanted_range(const Column::Integers &v, const WantedReadings &wanted, int threads,
                                         const Interruption &stop) {
    const int64_t m = wanted.count;
    const char *from = static_cast<const char *>(v.data);
    std::vector<std::pair<int64_t, int64_t>> parts(static_cast<size_t>(check_parts(m)),
                                                   {std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::min()});
    for_each_part(threads, check_parts(m), [&](int64_t p, int worker) {
        if (worker == 0 && p > 0) stop.check();
        int64_t lo = parts[p].first, hi = parts[p].second;
        for (int64_t j = p * kCheckRows, end = std::min(m, (p + 1) * kCheckRows); j < end; j++) {
            const auto x = static_cast<int64_t>(load(from + v.width * wanted.reading(j), v.width, v.is_signed));
            lo = std::min(lo, x);
            hi = std::max(hi, x);
        }
        parts[p] = {lo, hi};
    });
    std::pair<int64_t, int64_t> range = {0, 0};
    for (size_t p = 0; p < parts.size(); p++)
        range = p == 0 ? parts[p] : std::make_pair(std::min(range.first, parts[p].first), std::max(range.second, parts[p].second));
    return range;
}

// The bytes each offset from the smallest value takes, when fewer than 8.
int narrow_width(std::pair<int64_t, int64_t> range) {
    const uint64_t span = static_cast<uint64_t>(range.second) - static_cast<uint64_t>(range.first);
    if (range.second < range.first) return 8;  // nothing to copy
    return span <= 0xff ? 1 : span <= 0xffff ? 2 : span <= 0xffffffffu ? 4 : 8;
}

// Points key k at the copy of the time axis or of an earlier key when its
// column is theirs (`time`, `keys`: the columns as the caller gave them);
// false when it has its own.
bool share_copy(Table &table, const Column &time, const std::vector<Column> &keys, size_t k) {
    Column &c = table.keys[k];
    const Column &source = keys[k];
    const void *integers = source.integers().data;
    if (integers && integers == time.integers().data) {
        const int64_t categories = c.categories;
        c = Column{};
        c.i64 = table.time.i64;
        c.categories = categories;
        return true;
    }
    if (source.f64 && source.f64 == time.f64) {
        c.f64 = table.time.f64;
        return true;
    }
    for (size_t j = 0; j < k; j++) {
        if (integers && keys[j].integers().data == integers) {
            c = table.keys[j];
            c.categories = source.categories;
            return true;
        }
        if (source.f64 && keys[j].f64 == source.f64) {
            c.f64 = table.keys[j].f64;
            return true;
        }
    }
    return false;
}

}  // namespace

Copies plan_copies(Table &table, CopiedColumns &own, const WantedReadings &wanted, int threads,
                   const Interruption &stop) {
    const int64_t m = wanted.count;
    Copies copies;
    const Column time_source = table.time;
    const std::vector<Column> key_sources = table.keys;
    own.value = buffer<double>(m, threads);
    copies.emplace_back(table.value, own.value.get());
    table.value = own.value.get();
    if (table.time.integer()) {
        // A narrow time axis is widened as it is copied.
        const Column::Integers time = table.time.integers();
        own.time_i = buffer<int64_t>(m, threads);
        copies.emplace_back(time.data, own.time_i.get(), 8, 0, 0, time.width, true);
        table.time = Column{};
        table.time.i64 = own.time_i.get();
    } else {
        own.time_f = buffer<double>(m, threads);
        copies.emplace_back(table.time.f64, own.time_f.get());
        table.time.f64 = own.time_f.get();
    }
    own.keys_f.resize(table.keys.size());
    own.keys_i.resize(table.keys.size());
    own.keys_narrow.resize(table.keys.size());
    for (size_t k = 0; k < table.keys.size(); k++) {
        if (share_copy(table, time_source, key_sources, k)) continue;
        Column &c = table.keys[k];
        const Column::Integers integers = c.integers();
        const std::pair<int64_t, int64_t> range = integers.data ? wanted_range(integers, wanted, threads, stop)
                                                                : std::pair<int64_t, int64_t>{0, -1};
        if (const int width = narrow_width(range); width < 8) {
            // Keys such as weekdays, weeks and months: a byte or two to move
            // and to read rather than eight.
            own.keys_narrow[k] = buffer<uint8_t>(m * width, threads);
            copies.emplace_back(integers.data, own.keys_narrow[k].get(), width, range.first,
                                static_cast<uint64_t>(range.second) - static_cast<uint64_t>(range.first),
                                integers.width, integers.is_signed);
            c.point_at(own.keys_narrow[k].get(), width, false, range.first);
        } else if (c.integer()) {
            own.keys_i[k] = buffer<int64_t>(m, threads);
            copies.emplace_back(c.i64, own.keys_i[k].get());
            c.i64 = own.keys_i[k].get();
        } else {
            own.keys_f[k] = buffer<double>(m, threads);
            copies.emplace_back(c.f64, own.keys_f[k].get());
            c.f64 = own.keys_f[k].get();
        }
    }
    return copies;
}

}  // namespace movra::fe_kernel
