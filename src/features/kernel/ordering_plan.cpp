// The key and copy plans of ordering the readings (see ordering_plan.h).
#include "ordering_plan.h"

#include "ordering_units.h"
#include "page_buffers.h"
#include "parallel.h"

#include <algorithm>
#include <atomic>
#include <limits>

namespace movra::fe_kernel {

KeyPlan plan_keys(const Table &table, const WantedReadings &wanted, int64_t ncodes) {
    KeyPlan keys;
    keys.codes = wanted.codes.get();
    keys.time = table.time.i64;
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

// Whether the wanted readings' values of v all fit in 32 bits, looked at by
// `threads`: only the readings to be copied.
bool fits_in_int32(const int64_t *v, const WantedReadings &wanted, int threads) {
    const int64_t m = wanted.count;
    std::atomic<bool> fits{true};
    for_each_part(threads, check_parts(m), [&](int64_t p, int) {
        int64_t lo = 0, hi = 0;
        for (int64_t j = p * kCheckRows, end = std::min(m, (p + 1) * kCheckRows); j < end; j++) {
            lo = std::min(lo, v[wanted.reading(j)]);
            hi = std::max(hi, v[wanted.reading(j)]);
        }
        if (lo < std::numeric_limits<int32_t>::min() || hi > std::numeric_limits<int32_t>::max())
            fits.store(false, std::memory_order_relaxed);
    });
    return fits.load();
}

// Points key k at the copy of the time axis or of an earlier key when its
// column is theirs (`time`, `keys`: the columns as the caller gave them);
// false when it has its own.
bool share_copy(Table &table, const Column &time, const std::vector<Column> &keys, size_t k) {
    Column &c = table.keys[k];
    const Column &source = keys[k];
    if (c.integer() && c.i64 == time.i64) {
        c.i64 = table.time.i64;
        return true;
    }
    if (!c.integer() && c.f64 == time.f64) {
        c.f64 = table.time.f64;
        return true;
    }
    for (size_t j = 0; j < k; j++) {
        if (source.i64 && keys[j].i64 == source.i64) {
            c.i64 = table.keys[j].i64;
            c.i32 = table.keys[j].i32;
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

Copies plan_copies(Table &table, CopiedColumns &own, const WantedReadings &wanted, int threads) {
    const int64_t m = wanted.count;
    Copies copies;
    const Column time_source = table.time;
    const std::vector<Column> key_sources = table.keys;
    own.value = buffer<double>(m, threads);
    copies.emplace_back(table.value, own.value.get());
    table.value = own.value.get();
    if (table.time.integer()) {
        own.time_i = buffer<int64_t>(m, threads);
        copies.emplace_back(table.time.i64, own.time_i.get());
        table.time.i64 = own.time_i.get();
    } else {
        own.time_f = buffer<double>(m, threads);
        copies.emplace_back(table.time.f64, own.time_f.get());
        table.time.f64 = own.time_f.get();
    }
    own.keys_f.resize(table.keys.size());
    own.keys_i.resize(table.keys.size());
    own.keys_i32.resize(table.keys.size());
    for (size_t k = 0; k < table.keys.size(); k++) {
        if (share_copy(table, time_source, key_sources, k)) continue;
        Column &c = table.keys[k];
        if (c.integer() && fits_in_int32(c.i64, wanted, threads)) {
            // Keys such as weeks and months: half the bytes to move and read.
            own.keys_i32[k] = buffer<int32_t>(m, threads);
            copies.emplace_back(c.i64, own.keys_i32[k].get(), 4);
            c.i64 = nullptr;
            c.i32 = own.keys_i32[k].get();
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
