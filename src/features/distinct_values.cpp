// The distinct values of a periodic key column (distinct_values.h).
#include "distinct_values.h"

#include "fe_kernel.h"

#include <pybind11/numpy.h>

#include <string>
#include <vector>

namespace movra {

namespace {

// The first positions of the distinct values of `values` read as T, when
// it is what the column's dtype promises: a C-ordered one-dimensional numpy
// array of T with one item per row (the module's numpy global may hand back
// anything).  Otherwise nothing is read and the caller declines.
template <class T>
bool first_positions(py::handle values, py::ssize_t rows, int threads, std::vector<int64_t> &at) {
    using Typed = py::array_t<T, py::array::c_style>;
    if (!py::isinstance<Typed>(values)) return false;
    const auto typed = py::reinterpret_borrow<Typed>(values);
    if (typed.ndim() != 1 || typed.size() != rows) return false;
    at = fe_kernel::first_occurrences(typed.data(), static_cast<int64_t>(rows), threads);
    return true;
}

}  // namespace

bool numeric_column(py::handle numpy, py::handle column, NumericColumn &out) {
    py::object dtype = column.attr("dtype");
    if (!py::isinstance(dtype, numpy.attr("dtype"))) return false;
    out.kind = py::str(dtype.attr("kind")).cast<std::string>()[0];
    out.size = dtype.attr("itemsize").cast<int>();
    if (out.kind != 'i' && out.kind != 'u' && out.kind != 'f') return false;
    py::object array = column.attr("to_numpy")();
    out.values = numpy.attr("ascontiguousarray")(array);
    out.copied = !out.values.is(array);
    out.rows = static_cast<py::ssize_t>(py::len(column));
    return true;
}

py::object distinct_in(const NumericColumn &column, int threads) {
    auto first = [&](auto typed, std::vector<int64_t> &at) {
        return first_positions<decltype(typed)>(column.values, column.rows, threads, at);
    };
    const char kind = column.kind;
    const int size = column.size;
    std::vector<int64_t> at;
    bool read = false;
    if (kind == 'f' && size == 8) read = first(double(), at);
    else if (kind == 'f' && size == 4) read = first(float(), at);
    else if (kind == 'i' && size == 8) read = first(int64_t(), at);
    else if (kind == 'i' && size == 4) read = first(int32_t(), at);
    else if (kind == 'i' && size == 2) read = first(int16_t(), at);
    else if (kind == 'i' && size == 1) read = first(int8_t(), at);
    else if (kind == 'u' && size == 8) read = first(uint64_t(), at);
    else if (kind == 'u' && size == 4) read = first(uint32_t(), at);
    else if (kind == 'u' && size == 2) read = first(uint16_t(), at);
    else if (kind == 'u' && size == 1) read = first(uint8_t(), at);
    if (!read) return py::object();
    // numpy's own array (the `numpy` global may be rebound to anything), and
    // an ndarray's indexing: C code.
    return column.values[py::array_t<int64_t>(static_cast<py::ssize_t>(at.size()), at.data())];
}

// The values are taken from the column itself at their first positions, so
// they are the very scalars unique gives.
py::object distinct_values(py::handle numpy, py::object column, int threads) {
    NumericColumn numeric;
    if (!numeric_column(numpy, column, numeric)) return column.attr("unique")();
    py::object values = distinct_in(numeric, threads);
    return values ? values : column.attr("unique")();
}

}  // namespace movra
