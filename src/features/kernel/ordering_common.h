// What every stage of ordering the readings shares: how much work lies
// between two interrupt checks, how wide a radix digit is, and the error of a
// caller's column that changed while it was read.
#pragma once

#include <cstdint>
#include <stdexcept>

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

// Another thread changed a caller's column while the ordering read it twice.
[[noreturn]] inline void changed_meanwhile() {
    throw std::runtime_error("the unit or time column changed while it was read");
}

}  // namespace movra::fe_kernel
