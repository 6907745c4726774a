// What every stage of ordering the readings shares: how much work lies
// between two interrupt checks, how a stage stops when interrupted, how wide
// a radix digit is, and the error of a caller's column that changed while it
// was read.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <utility>

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

// How the ordering gives up when asked to.  A stage calls check() between
// pieces of work, on the constructing thread only (worker 0 of
// for_each_part, which carries the exception back to that thread); the
// ordering catches Stopped once, around all its stages.
class Interruption {
public:
    struct Stopped {};
    explicit Interruption(std::function<bool()> asked) : asked_(std::move(asked)) {}
    void check() const {
        if (asked_()) throw Stopped{};
    }

private:
    std::function<bool()> asked_;
};

// Another thread changed a caller's column while the ordering read it twice.
[[noreturn]] inline void changed_meanwhile() {
    throw std::runtime_error("the unit or time column changed while it was read");
}

}  // namespace movra::fe_kernel
