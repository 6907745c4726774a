// The first stage of ordering the readings: a code for every wanted unit, and
// the readings to order (those of the wanted units) with their units' codes.
#pragma once

#include "fe_kernel.h"
#include "key_table.h"

#include <cstdint>
#include <limits>
#include <vector>

namespace movra::fe_kernel {

class Interruption;

// A code per unit, 0, 1, 2, ...: the wanted units' first, in the order given;
// with every unit wanted, in order of first sight.  A direct table when the
// values span a modest range, the kernels' key table otherwise (with int32
// codes: the ordering keeps one a reading).
class UnitCodes {
public:
    explicit UnitCodes(const Table &table);

    // The code of unit u, -1 for a unit not wanted.  Until complete(), a
    // unit seen for the first time gets the next code: one thread at a time.
    int32_t code(int64_t u) {
        if (u < lo_ || u > hi_) return -1;
        return complete_ ? find(u) : find_or_add(u);
    }
    // Whether every unit wanted has its code: lookups only, from any thread.
    bool complete() const { return complete_; }
    // Every unit wanted has its code from now on.
    void set_complete() { complete_ = true; }

    bool dense() const { return !dense_.empty(); }
    // With a direct table: a code for every value among unit[0 .. n) not
    // coded yet, in order of value, found by `threads` side by side (`stop`
    // checked between parts).  The codes are then complete.
    void add_present(const int64_t *unit, int64_t n, int threads, const Interruption &stop);

    int64_t size() const { return static_cast<int64_t>(units_.size()); }
    int64_t unit(int64_t code) const { return units_[static_cast<size_t>(code)]; }

private:
    int32_t find(int64_t u) const;
    int32_t find_or_add(int64_t u);
    int32_t add(int64_t u);

    int64_t lo_ = 0, hi_ = -1;   // the range of the units wanted
    bool complete_ = false;
    std::vector<int64_t> units_;  // unit value by code
    std::vector<int32_t> dense_;
    kernel::KeyTable<int32_t> sparse_;
};

// The readings to order, in reading order.
struct WantedReadings {
    int64_t count = 0;
    Buffer<int64_t> numbers;        // their reading numbers; unset when every reading is wanted
    Buffer<int32_t> codes;          // their units' codes
    std::vector<int64_t> per_code;  // how many there are of each code
    // The range of their times, where the time axis is integer (else empty).
    int64_t tlo = std::numeric_limits<int64_t>::max(), thi = std::numeric_limits<int64_t>::min();

    int64_t reading(int64_t j) const { return numbers ? numbers[j] : j; }
};

// The wanted readings of the table, with every unit wanted coded by the end.
// One look at the unit column, in parts of kCheckRows readings, checking
// `stop` between parts.
WantedReadings find_wanted_readings(const Table &table, UnitCodes &units, int threads, const Interruption &stop);

}  // namespace movra::fe_kernel
