// Codes for 64-bit keys: the one hash table the kernels code units, groups
// and periodic values with.  Plain C++, without Python.
//
// A key is the 64 bits a value is known by (key_bits): equal values, and
// only those, share them, as pandas' hash tables compare values.  Every NaN
// is one value, and 0.0 is -0.0; a caller for which NaN is missing (as
// factorize makes it) leaves it out before asking.  Codes are 0, 1, 2, ...
// in order of first addition.
//
// Open addressing with linear probing, at most half full.  A key's slot is
// the top bits of its product with 2^64 / phi (Fibonacci hashing), so that
// nearby integers, and doubles that differ in their high bits only, land
// far apart.  The same product is what the kernels' small caches of recent
// keys index by (hash()).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

namespace movra::kernel {

template <class T>
uint64_t key_bits(T v) {
    if constexpr (std::is_floating_point_v<T>) {
        if (std::isnan(v)) return ~uint64_t{0};  // not the bits of any double made from a T
        const double d = v == 0 ? 0.0 : static_cast<double>(v);
        uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        return bits;
    } else {
        return static_cast<uint64_t>(static_cast<int64_t>(v));
    }
}

// Code: the type of the codes (int32_t where a code a reading is stored).
template <class Code>
class KeyTable {
public:
    static uint64_t hash(uint64_t key) { return key * 0x9E3779B97F4A7C15ull; }

    // The code of `key`, -1 when it has none.  Lookups only: from any thread.
    Code find(uint64_t key) const {
        if (codes_.empty()) return -1;
        for (size_t at = slot(key);; at = (at + 1) & mask_)
            if (codes_[at] < 0 || keys_[at] == key) return codes_[at];
    }
    // The code of `key`; a new key gets the next code, and `added` says so.
    // One thread at a time.
    Code code(uint64_t key, bool &added) {
        if (2 * (count_ + 1) > static_cast<int64_t>(codes_.size())) grow();
        size_t at = slot(key);
        for (; codes_[at] >= 0; at = (at + 1) & mask_)
            if (keys_[at] == key) {
                added = false;
                return codes_[at];
            }
        keys_[at] = key;
        codes_[at] = static_cast<Code>(count_++);
        added = true;
        return codes_[at];
    }
    Code code(uint64_t key) {
        bool added;
        return code(key, added);
    }
    int64_t size() const { return count_; }
    // Room for `keys` keys without growing.
    void reserve(int64_t keys) {
        while (2 * keys > static_cast<int64_t>(codes_.size())) grow();
    }

private:
    size_t slot(uint64_t key) const { return static_cast<size_t>(hash(key) >> shift_) & mask_; }
    void grow() {
        std::vector<uint64_t> keys = std::move(keys_);
        std::vector<Code> codes = std::move(codes_);
        const size_t size = codes.empty() ? 16 : 2 * codes.size();
        keys_.assign(size, 0);
        codes_.assign(size, -1);
        mask_ = size - 1;
        shift_ = 64;
        for (size_t s = size; s > 1; s /= 2) shift_--;
        for (size_t j = 0; j < codes.size(); j++) {
            if (codes[j] < 0) continue;
            size_t at = slot(keys[j]);
            while (codes_[at] >= 0) at = (at + 1) & mask_;
            keys_[at] = keys[j];
            codes_[at] = codes[j];
        }
    }

    std::vector<uint64_t> keys_;
    std::vector<Code> codes_;  // -1: an empty slot
    size_t mask_ = 0;
    int shift_ = 64;
    int64_t count_ = 0;
};

}  // namespace movra::kernel
