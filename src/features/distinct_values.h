// The distinct values of a periodic key column, as column.unique() gives
// them, for the derived columns' names.  A numpy column of numbers is
// searched by the kernel (first_occurrences, kernel/unique.cpp) and its
// values taken from the column at their first positions; any other column
// asks pandas.
#pragma once

#include "../module/runtime.h"

namespace movra {

// A periodic column whose distinct values can be read without running
// Python code: its numpy array of numbers, one per reading, as the kernels
// read it.
struct NumericColumn {
    py::object values;
    char kind = 0;
    int size = 0;
    py::ssize_t rows = 0;
    bool copied = false;  // the column's array was not contiguous, and `values` is a copy
};

// Looks the column up (Python code, reading none of its values): false when
// it is not such a column.
bool numeric_column(py::handle numpy, py::handle column, NumericColumn &out);

// Its distinct values in order of first appearance, the very scalars
// column.unique() gives; null when the array is not what its dtype
// promises.  Runs no Python code.
py::object distinct_in(const NumericColumn &column, int threads);

// column.unique(), searched natively (with `threads` threads) where the
// column is a plain numpy column of numbers.
py::object distinct_values(py::handle numpy, py::object column, int threads);

}  // namespace movra
