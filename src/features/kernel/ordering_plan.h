// The plans of ordering the readings: the key each wanted reading is sorted
// by, and the columns copied into reading order, integer keys that fit in 32
// bits narrowed.
#pragma once

#include "fe_kernel.h"
#include "ordering_common.h"

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

namespace movra::fe_kernel {

struct WantedReadings;

// The key of each wanted reading: its unit's code, and under the code, where
// the time axis is integer and spans a modest range, the time's offset, so
// that one sort orders by unit and time.  Otherwise (by_time false) the key
// is the code alone and each unit's readings are put in time order after.
struct KeyPlan {
    const int32_t *codes = nullptr;    // the wanted readings' codes
    const char *time = nullptr;        // the caller's integer time column,
    int time_width = 8;                // ... of signed integers this wide
    const int64_t *numbers = nullptr;  // the wanted readings' numbers (null: every reading)
    bool by_time = false;
    uint64_t tmin = 0, time_span = 1;  // time offsets in [0, time_span)
    int key_bits = 0;                  // every key is below 2**key_bits
    int row_bits = 0;                  // the bits of a reading number

    // The key of wanted reading j.  The caller's time column is read once
    // more: should another thread have changed it meanwhile, that is an
    // error, never a key out of range.
    uint64_t operator()(int64_t j) const {
        const int32_t code = codes[j];
        if (!by_time) return static_cast<uint64_t>(code);
        const int64_t at = numbers ? numbers[j] : j;
        const uint64_t offset = load(time + time_width * at, time_width, true) - tmin;
        if (offset >= time_span) changed_meanwhile("the time column");
        return static_cast<uint64_t>(code) * time_span + offset;
    }
};

// The keys of the wanted readings of a table whose units have `ncodes` codes.
KeyPlan plan_keys(const Table &table, const WantedReadings &wanted, int64_t ncodes);

// A column copied into reading order: 8-byte values, copied whole, or
// integers whose range fits in 1, 2 or 4 bytes, copied narrowed, as their
// offsets from `base`, none beyond `span`.  The source holds `source` bytes
// a value (narrow integers, read at their own width, `is_signed` or not).
struct Copy {
    const void *from;
    void *to;
    int width;  // bytes per value in the copy: 8, 4, 2 or 1
    int64_t base;
    uint64_t span;
    int source = 8;
    bool is_signed = true;
    Copy(const void *f, void *t, int w = 8, int64_t b = 0, uint64_t s = 0, int src = 8, bool sign = true)
        : from(f), to(t), width(w), base(b), span(s), source(src), is_signed(sign) {}
};
// The value's copy first, then the time's (kTimeCopy), then the keys'.
using Copies = std::vector<Copy>;
constexpr size_t kTimeCopy = 1;

// Puts the value at `from` into place `at` of a copy W bytes wide: an
// integer narrower than 8 bytes as its offset from `base`.  The range was
// found by an earlier pass, so the offset is checked as it is copied: a
// value that another thread changed since then must not be cut down to its
// low bytes.
template <int W>
using Narrow = std::conditional_t<W == 1, uint8_t, std::conditional_t<W == 2, uint16_t, uint32_t>>;

template <int W>
inline void put(char *to, int64_t at, const char *from, int64_t base, uint64_t span, int source = 8,
                bool is_signed = true) {
    if constexpr (W == 8) {
        const uint64_t v = load(from, source, is_signed);  // a narrow time widened, else any 8 bytes
        std::memcpy(to + 8 * at, &v, 8);
    } else {
        const uint64_t offset = load(from, source, is_signed) - static_cast<uint64_t>(base);
        if (offset > span) changed_meanwhile("a key column");
        const auto narrow = static_cast<Narrow<W>>(offset);
        std::memcpy(to + W * at, &narrow, W);
    }
}

inline void put(char *to, int64_t at, const char *from, const Copy &c) {
    switch (c.width) {
        case 8: return put<8>(to, at, from, c.base, c.span, c.source, c.is_signed);
        case 4: return put<4>(to, at, from, c.base, c.span, c.source, c.is_signed);
        case 2: return put<2>(to, at, from, c.base, c.span, c.source, c.is_signed);
        default: return put<1>(to, at, from, c.base, c.span, c.source, c.is_signed);
    }
}

// Where value i of the copy's source lies.
inline const char *source_of(const Copy &c, int64_t i) { return static_cast<const char *>(c.from) + c.source * i; }

// Every column the windows read gets a copy in reading order, allocated in
// `own` but not yet written, and the table points at the copies; returns what
// to copy from where.  A key column that is the time axis itself, or that
// shares a buffer with an earlier key, shares its copy too.  `stop` is
// checked while the integer keys' ranges are found.
Copies plan_copies(Table &table, CopiedColumns &own, const WantedReadings &wanted, int threads,
                   const Interruption &stop);

}  // namespace movra::fe_kernel
