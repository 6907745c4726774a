// Text keys coded by value (see text_codes.h).
#include "text_codes.h"

#include <cstring>
#include <stdexcept>
#include <type_traits>

namespace movra::fe_kernel {

namespace {

inline uint64_t mix(uint64_t x) {
    x ^= x >> 32;
    x *= 0xD6E8FEB86659FD93ull;
    x ^= x >> 32;
    x *= 0xD6E8FEB86659FD93ull;
    return x ^ (x >> 32);
}

}  // namespace

TextCodes::TextCodes() : slots_(1024), mask_(1023) {}

// Eight bytes at a time: consumer numbers are 7 to 20 characters, so a text
// is a word or three.
uint64_t TextCodes::hash(const char *data, size_t size) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ size;
    for (; size >= 8; data += 8, size -= 8) {
        uint64_t w;
        std::memcpy(&w, data, 8);
        h = mix(h ^ w);
    }
    uint64_t w = 0;
    std::memcpy(&w, data, size);
    return mix(h ^ w ^ 0x5851F42D4C957F2Dull);
}

bool TextCodes::holds(int64_t code, const char *data, size_t size) const {
    const size_t begin = begin_[static_cast<size_t>(code)];
    const size_t end = static_cast<size_t>(code) + 1 < begin_.size() ? begin_[static_cast<size_t>(code) + 1] : bytes_.size();
    return end - begin == size && (size == 0 || std::memcmp(bytes_.data() + begin, data, size) == 0);
}

int64_t TextCodes::code(const char *data, size_t size, uint64_t h) {
    for (size_t at = h & mask_;; at = (at + 1) & mask_) {
        Slot &s = slots_[at];
        if (s.code < 0) {
            s.hash = h;
            s.code = static_cast<int64_t>(begin_.size());
            begin_.push_back(bytes_.size());
            bytes_.append(data, size);
            if (2 * begin_.size() > slots_.size()) grow();
            return static_cast<int64_t>(begin_.size()) - 1;
        }
        if (s.hash == h && holds(s.code, data, size)) return s.code;
    }
}

int64_t TextCodes::find(const char *data, size_t size) const {
    const uint64_t h = hash(data, size);
    for (size_t at = h & mask_;; at = (at + 1) & mask_) {
        const Slot &s = slots_[at];
        if (s.code < 0) return -1;
        if (s.hash == h && holds(s.code, data, size)) return s.code;
    }
}

void TextCodes::grow() {
    std::vector<Slot> old;
    old.swap(slots_);
    slots_.assign(2 * old.size(), Slot{});
    mask_ = slots_.size() - 1;
    for (const Slot &s : old) {
        if (s.code < 0) continue;
        size_t at = s.hash & mask_;
        while (slots_[at].code >= 0) at = (at + 1) & mask_;
        slots_[at] = s;
    }
}

template <class Offset>
void code_arrow_strings(const Offset *offsets, const char *data, size_t data_size, const uint8_t *validity,
                        int64_t offset, int64_t n, TextCodes &codes, int64_t *out) {
    // Readings of one consumer often lie together: the text before is
    // compared first, which spares the hash of a run's later readings.
    int64_t previous = -1;
    size_t previous_begin = 0, previous_size = 0;
    for (int64_t i = 0; i < n; i++) {
        const int64_t at = offset + i;
        if (validity && !((validity[at >> 3] >> (at & 7)) & 1)) {
            out[i] = -1;
            continue;
        }
        const auto begin = static_cast<int64_t>(offsets[at]), end = static_cast<int64_t>(offsets[at + 1]);
        if (begin < 0 || end < begin || static_cast<uint64_t>(end) > data_size)
            throw std::out_of_range("an Arrow string array whose offsets lie outside its data");
        const size_t size = static_cast<size_t>(end - begin);
        const char *text = data + begin;
        if (previous >= 0 && size == previous_size && std::memcmp(text, data + previous_begin, size) == 0) {
            out[i] = previous;
            continue;
        }
        previous = out[i] = codes.code(text, size);
        previous_begin = static_cast<size_t>(begin);
        previous_size = size;
    }
}

template void code_arrow_strings<int32_t>(const int32_t *, const char *, size_t, const uint8_t *, int64_t, int64_t,
                                          TextCodes &, int64_t *);
template void code_arrow_strings<int64_t>(const int64_t *, const char *, size_t, const uint8_t *, int64_t, int64_t,
                                          TextCodes &, int64_t *);

template <class Index>
void code_indices(const Index *index, const uint8_t *validity, int64_t offset, int64_t n,
                  const std::vector<int64_t> &dictionary_codes, int64_t *out) {
    const auto size = static_cast<uint64_t>(dictionary_codes.size());
    for (int64_t i = 0; i < n; i++) {
        const int64_t at = offset + i;
        const Index x = index[at];
        bool negative = false;
        if constexpr (std::is_signed_v<Index>) negative = x < 0;
        if ((validity && !((validity[at >> 3] >> (at & 7)) & 1)) || negative) {
            out[i] = -1;
            continue;
        }
        if (static_cast<uint64_t>(x) >= size) throw std::out_of_range("a dictionary index beyond its dictionary");
        out[i] = dictionary_codes[static_cast<size_t>(x)];
    }
}

#define MOVRA_CODE_INDICES(T)                                                                                      \
    template void code_indices<T>(const T *, const uint8_t *, int64_t, int64_t, const std::vector<int64_t> &, \
                                  int64_t *);
MOVRA_CODE_INDICES(int8_t)
MOVRA_CODE_INDICES(int16_t)
MOVRA_CODE_INDICES(int32_t)
MOVRA_CODE_INDICES(int64_t)
MOVRA_CODE_INDICES(uint8_t)
MOVRA_CODE_INDICES(uint16_t)
MOVRA_CODE_INDICES(uint32_t)
MOVRA_CODE_INDICES(uint64_t)
#undef MOVRA_CODE_INDICES

}  // namespace movra::fe_kernel
