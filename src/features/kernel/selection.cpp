// The readings a few windows read (see fe_kernel.h).
//
// A call with a few windows over a big table needs the readings of a few
// units.  Finding them is one look at the unit column; everything else the
// call does, from checking the columns to ordering the readings, is then
// done on those readings alone.  A call whose windows read much of the
// table gains nothing from picking its readings out first, so a sample of
// the table is looked at before the whole of it.
#include "fe_kernel.h"

#include "ordering_common.h"
#include "ordering_units.h"
#include "parallel.h"

#include <algorithm>
#include <atomic>
#include <optional>

namespace movra::fe_kernel {

namespace {

constexpr int64_t kSample = 4096;  // readings looked at before the whole column
constexpr int64_t kTelling = 64;   // wanted readings of the sample that tell their share

// Which units are wanted: a byte per value where the units span a small
// range, a bit per value where they span a modest one (the look then costs
// little more than reading the column), else the ordering's codes of them.
// Each test is a small value of its own, so that the look keeps what it
// reads in registers.
struct BitTest {
    const uint32_t *bits;  // not of the type of the positions written meanwhile
    int64_t lo;
    uint64_t span;
    // Units out of the range read the bit after it, which is 0: no branch
    // that units in random order would mispredict.
    bool operator()(int64_t u) const {
        const uint64_t at = std::min(static_cast<uint64_t>(u) - static_cast<uint64_t>(lo), span + 1);
        return ((bits[at / 32] >> (at % 32)) & 1) != 0;
    }
};
// Units of a small range: a byte per value, read without the shifts of a
// bit, at about the speed of reading the column.
struct ByteTest {
    const uint8_t *bytes;
    int64_t lo;
    uint64_t span;
    bool operator()(int64_t u) const {
        return bytes[std::min(static_cast<uint64_t>(u) - static_cast<uint64_t>(lo), span + 1)] != 0;
    }
};
struct CodeTest {
    UnitCodes *codes;  // complete: lookups only, from any thread
    bool operator()(int64_t u) const { return codes->code(u) >= 0; }
};

class WantedUnits {
public:
    explicit WantedUnits(const std::vector<int64_t> &units) {
        const auto [lo, hi] = std::minmax_element(units.begin(), units.end());
        const uint64_t span = static_cast<uint64_t>(*hi) - static_cast<uint64_t>(*lo);
        if (span < kMostBytes) {
            bytes_.assign(static_cast<size_t>(span) + 2, 0);
            for (int64_t u : units) bytes_[static_cast<uint64_t>(u) - static_cast<uint64_t>(*lo)] = 1;
            byte_test_ = ByteTest{bytes_.data(), *lo, span};
        } else if (span < kMostBits) {
            bits_.assign(static_cast<size_t>((span + 1) / 32 + 1), 0);
            test_ = BitTest{nullptr, *lo, span};
            for (int64_t u : units) {
                const uint64_t at = static_cast<uint64_t>(u) - static_cast<uint64_t>(*lo);
                bits_[at / 32] |= uint32_t{1} << (at % 32);
            }
            test_.bits = bits_.data();
        } else {
            Table table;
            table.wanted_units = units;
            codes_.emplace(table);
        }
    }
    // f(test), with the test that applies.
    template <class F>
    auto with_test(F &&f) {
        if (codes_) return f(CodeTest{&*codes_});
        return bytes_.empty() ? f(test_) : f(byte_test_);
    }

private:
    static constexpr uint64_t kMostBytes = uint64_t{1} << 16;  // within the second-level cache
    static constexpr uint64_t kMostBits = uint64_t{1} << 23;   // a megabyte
    ByteTest byte_test_{};
    std::vector<uint8_t> bytes_;
    BitTest test_{};
    std::vector<uint32_t> bits_;
    std::optional<UnitCodes> codes_;
};

// The wanted readings among unit[begin .. end), listed.  Where the first
// readings come in runs of one unit, as in a table in unit order, a unit is
// tested once per run, which then costs a comparison a reading; else each
// reading is tested, with a branch per group of readings.
template <class Test>
std::vector<int64_t> wanted_in(const int64_t *unit, int64_t begin, int64_t end, Test wanted) {
    constexpr int64_t kFirst = 256;
    int64_t repeats = 0;
    for (int64_t i = begin + 1; i < std::min(end, begin + kFirst); i++) repeats += unit[i] == unit[i - 1];
    std::vector<int64_t> found;
    if (2 * repeats < kFirst) {
        // A few wanted readings among many: a group's tests are or-ed, and
        // only a group with a wanted reading is looked at again, so the
        // tests of a group run side by side, with one branch for the lot.
        constexpr int64_t kGroup = 16;
        int64_t i = begin;
        for (; i + kGroup <= end; i += kGroup) {
            bool any = false;
            for (int64_t j = i; j < i + kGroup; j++) any |= wanted(unit[j]);
            if (any)
                for (int64_t j = i; j < i + kGroup; j++)
                    if (wanted(unit[j])) found.push_back(j);
        }
        for (; i < end; i++)
            if (wanted(unit[i])) found.push_back(i);
        return found;
    }
    for (int64_t i = begin; i < end;) {
        const int64_t u = unit[i];
        int64_t j = i + 1;
        while (j < end && unit[j] == u) j++;
        if (wanted(u))
            for (; i < j; i++) found.push_back(i);
        i = j;
    }
    return found;
}

// Whether an even sample of the table finds enough wanted readings to tell
// that they are more than twice the share that `most` allows.
bool sample_finds_too_many(const int64_t *unit, int64_t n, WantedUnits &wanted, int64_t most) {
    if (n <= kSample) return false;
    const int64_t step = n / kSample;
    const int64_t found = wanted.with_test([&](auto test) {
        int64_t in_sample = 0;
        for (int64_t s = 0; s < kSample; s++) in_sample += test(unit[s * step]);
        return in_sample;
    });
    return found >= kTelling &&
           static_cast<double>(found) / kSample > 2.0 * static_cast<double>(most) / static_cast<double>(n);
}

}  // namespace

std::optional<std::vector<int64_t>> readings_of_units(const int64_t *unit, int64_t n,
                                                      const std::vector<int64_t> &units, int64_t most,
                                                      int threads) {
    if (units.empty()) return std::vector<int64_t>();
    WantedUnits wanted(units);
    if (sample_finds_too_many(unit, n, wanted, most)) return std::nullopt;
    // The threads list the wanted readings part by part, and give up once
    // the parts listed so far hold more than `most`.
    const int64_t parts = check_parts(n);
    std::vector<std::vector<int64_t>> found(static_cast<size_t>(parts));
    std::atomic<int64_t> count{0};
    std::atomic<bool> too_many{false};
    for_each_part(threads, parts, [&](int64_t p, int) {
        if (too_many.load(std::memory_order_relaxed)) return;
        std::vector<int64_t> &mine = found[static_cast<size_t>(p)];
        const int64_t begin = p * kCheckRows, end = std::min(n, (p + 1) * kCheckRows);
        mine = wanted.with_test([&](auto test) { return wanted_in(unit, begin, end, test); });
        const int64_t mine_count = static_cast<int64_t>(mine.size());
        if (count.fetch_add(mine_count) + mine_count > most) too_many = true;
    });
    if (too_many.load()) return std::nullopt;
    std::vector<int64_t> readings;
    readings.reserve(static_cast<size_t>(count.load()));
    for (const std::vector<int64_t> &part : found) readings.insert(readings.end(), part.begin(), part.end());
    return readings;
}

}  // namespace movra::fe_kernel
