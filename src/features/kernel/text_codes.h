// Text keys coded by value: equal texts one code, in order of first sight,
// as pandas.factorize codes a column of strings.
//
// Consumer numbers are text in most tables (files and databases give them
// so).  Coding them here, straight from the column's bytes, spares the
// call pandas' factorize, its int32 codes widened to int64, and the hash
// temporaries between: the codes are written once, where the kernel reads
// them.  A text is bytes: the caller decides how its values become bytes
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

    // The code of the text data[0 .. size), a new one when it is not coded yet.
    int64_t code(const char *data, size_t size) { return code(data, size, hash(data, size)); }
    // Its code, -1 when it was never coded.
    int64_t find(const char *data, size_t size) const;
    int64_t size() const { return static_cast<int64_t>(begin_.size()); }

    static uint64_t hash(const char *data, size_t size);
    int64_t code(const char *data, size_t size, uint64_t h);

private:
    struct Slot {
        uint64_t hash = 0;
        int64_t code = -1;  // -1: empty
    };
    bool holds(int64_t code, const char *data, size_t size) const;
    void grow();

    std::vector<Slot> slots_;
    size_t mask_ = 0;
    std::string bytes_;           // the texts, one after another, by code
    std::vector<size_t> begin_;  // where each code's text begins in bytes_
};

// The codes of n Arrow strings (a `string` or `large_string` array: its
// offsets, data and validity buffers, and the array's offset into them)
// into out[0 .. n), -1 for a null.  Offsets are checked against the data's
// size: a malformed array raises std::out_of_range, never reads outside.
template <class Offset>
void code_arrow_strings(const Offset *offsets, const char *data, size_t data_size, const uint8_t *validity,
                        int64_t offset, int64_t n, TextCodes &codes, int64_t *out);

// The codes of n dictionary-coded values (an Arrow dictionary's indices,
// a categorical's codes): out[i] = dictionary_codes[index[offset + i]], -1
// for a null or a negative index.  An index beyond the dictionary raises
// std::out_of_range.  Defined for every integer width.
template <class Index>
void code_indices(const Index *index, const uint8_t *validity, int64_t offset, int64_t n,
                  const std::vector<int64_t> &dictionary_codes, int64_t *out);

}  // namespace movra::fe_kernel
