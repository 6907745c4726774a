// Text keys coded by value (see text_codes.h).
#include "text_codes.h"

#include <cstring>
#include <stdexcept>
#include <type_traits>

namespace movra::fe_kernel {

TextCodes::TextCodes() : slots_(1024), mask_(1023) {}

namespace {

inline uint64_t word(const char *p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

inline uint64_t half(const char *p) {
    uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}

}  // namespace

// Two words that, with the size, are the whole text when it is at most 16
// bytes: its first and its last 8 bytes (overlapping when shorter), or for
// shorter texts their first and last 4, or each byte.
TextCodes::Key::Key(const char *data, size_t n, unsigned tag) : size(n | uint64_t{tag} << 48) {
    if (n >= 8) {
        w0 = word(data);
        w1 = word(data + n - 8);
        if (n > 16) w1 ^= word(data + n / 2 - 4) * 0x9E3779B97F4A7C15ull;  // the middle, for the hash
    } else if (n >= 4) {
        w0 = half(data) | half(data + n - 4) << 32;
    } else {
        for (size_t i = 0; i < n; i++) w0 |= static_cast<uint64_t>(static_cast<unsigned char>(data[i])) << (8 * i);
    }
}

uint64_t TextCodes::Key::hash() const {
    const uint64_t h = (w0 * 0x9E3779B97F4A7C15ull) ^ (w1 * 0xC2B2AE3D27D4EB4Full) ^ (size * 0x165667B19E3779F9ull);
    return h ^ (h >> 29) ^ (h >> 47);
}

bool TextCodes::holds(int64_t code, const char *data, size_t size) const {
    if (size <= 16) return true;  // the key was the whole text
    const auto c = static_cast<size_t>(code);
    const size_t begin = begin_[c], end = c + 1 < begin_.size() ? begin_[c + 1] : bytes_.size();
    return end - begin == size && std::memcmp(bytes_.data() + begin, data, size) == 0;
}

int64_t TextCodes::code(const Key &key, const char *data) {
    for (size_t at = key.hash() & mask_;; at = (at + 1) & mask_) {
        Slot &s = slots_[at];
        if (s.code < 0) {
            s.key = key;
            s.code = static_cast<int64_t>(begin_.size());
            begin_.push_back(bytes_.size());
            if (key.bytes() > 16) bytes_.append(data, key.bytes());
            if (2 * begin_.size() > slots_.size()) grow();
            return static_cast<int64_t>(begin_.size()) - 1;
        }
        if (s.key == key && holds(s.code, data, key.bytes())) return s.code;
    }
}

int64_t TextCodes::find(const Key &key, const char *data) const {
    for (size_t at = key.hash() & mask_;; at = (at + 1) & mask_) {
        const Slot &s = slots_[at];
        if (s.code < 0) return -1;
        if (s.key == key && holds(s.code, data, key.bytes())) return s.code;
    }
}

void TextCodes::grow() {
    std::vector<Slot> old;
    old.swap(slots_);
    slots_.assign(2 * old.size(), Slot{});
    mask_ = slots_.size() - 1;
    for (const Slot &s : old) {
        if (s.code < 0) continue;
        size_t at = s.key.hash() & mask_;
        while (slots_[at].code >= 0) at = (at + 1) & mask_;
        slots_[at] = s;
    }
}

template <class Offset>
void code_arrow_strings(const Offset *offsets, const char *data, size_t data_size, const uint8_t *validity,
                        int64_t offset, int64_t n, const TextCodes &codes, int64_t other, int64_t *out) {
    // Readings of one consumer often lie together: the text before is
    // compared first, which spares the lookup of a run's later readings.
    TextCodes::Key previous_key;
    int64_t previous = -2;
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
        const TextCodes::Key key(text, size);
        if (previous != -2 && key == previous_key && size <= 16) {
            out[i] = previous;
            continue;
        }
        const int64_t code = codes.find(key, text);
        previous = out[i] = code < 0 ? other : code;
        previous_key = key;
    }
}

template void code_arrow_strings<int32_t>(const int32_t *, const char *, size_t, const uint8_t *, int64_t, int64_t,
                                          const TextCodes &, int64_t, int64_t *);
template void code_arrow_strings<int64_t>(const int64_t *, const char *, size_t, const uint8_t *, int64_t, int64_t,
                                          const TextCodes &, int64_t, int64_t *);

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
