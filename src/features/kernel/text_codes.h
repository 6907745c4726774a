// Text keys coded by value: equal texts one code, in order of first sight.
//
// Consumer numbers are text in most tables (files and databases give them
// so).  The texts the windows name are coded, and each reading's text is
// looked up among them, straight from the column's bytes: no factorize of
// the whole column by pandas, no int32 codes widened to int64, no hash
// table of every consumer when a few are wanted.  The codes are written
// once, where the kernel reads them.  A text is bytes: the caller decides how its values become bytes
// (UTF-8 for Arrow strings, a kind tag and the code units for Python str),
// and gives its lookups the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace movra::fe_kernel {

class TextCodes {
public:
    TextCodes();

    // The code of the text data[0 .. size), a new one when it is not coded
    // yet.  `tag` tells texts of equal bytes apart (Python's str kinds).
    int64_t code(const char *data, size_t size, unsigned tag = 0) { return code(Key(data, size, tag), data); }
    // Its code, -1 when it was never coded.  Lookups only: from any thread.
    int64_t find(const char *data, size_t size, unsigned tag = 0) const { return find(Key(data, size, tag), data); }
    int64_t size() const { return static_cast<int64_t>(begin_.size()); }

    // A text as the table compares it: its size and tag and, for texts of
    // up to 16 bytes (consumer numbers), all of its bytes in two words;
    // longer texts are told apart by their words first and their bytes after.
    struct Key {
        uint64_t w0 = 0, w1 = 0, size = 0;  // size: the bytes, the tag above bit 48
        Key() = default;
        Key(const char *data, size_t n, unsigned tag = 0);
        size_t bytes() const { return static_cast<size_t>(size & ((uint64_t{1} << 48) - 1)); }
        bool operator==(const Key &o) const { return w0 == o.w0 && w1 == o.w1 && size == o.size; }
        uint64_t hash() const;
    };
    int64_t code(const Key &key, const char *data);
    int64_t find(const Key &key, const char *data) const;

private:
    struct Slot {
        Key key;
        int64_t code = -1;  // -1: empty
    };
    bool holds(int64_t code, const char *data, size_t size) const;
    void grow();

    std::vector<Slot> slots_;
    size_t mask_ = 0;
    std::string bytes_;          // the texts longer than 16 bytes, one after another
    std::vector<size_t> begin_;  // where each code's text begins in bytes_ (texts up to 16 bytes: not kept)
};

// Each of n Arrow strings (a `string` or `large_string` array: its
// offsets, data and validity buffers, and the array's offset into them)
// looked up among `codes`: out[i] its code, `other` for a text not coded,
// -1 for a null.  Offsets are checked against the data's size: a malformed
// array raises std::out_of_range, never reads outside.  Lookups only, so
// several threads may each take a part of the array.
template <class Offset>
void code_arrow_strings(const Offset *offsets, const char *data, size_t data_size, const uint8_t *validity,
                        int64_t offset, int64_t n, const TextCodes &codes, int64_t other, int64_t *out);

// The codes of n dictionary-coded values (an Arrow dictionary's indices,
// a categorical's codes): out[i] = dictionary_codes[index[offset + i]], -1
// for a null or a negative index.  An index beyond the dictionary raises
// std::out_of_range.  Defined for every integer width.
template <class Index>
void code_indices(const Index *index, const uint8_t *validity, int64_t offset, int64_t n,
                  const std::vector<int64_t> &dictionary_codes, int64_t *out);

}  // namespace movra::fe_kernel
