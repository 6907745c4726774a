// A column as the native layers read it: how it stores its values, and its
// values as a typed buffer the kernels can point into (buffers.h).
#pragma once

#include "../module/runtime.h"
#include "buffers.h"
#include "decline.h"
#include "scalars.h"

#include <cstring>
#include <string>

namespace movra::native {

// How a column stores its values, as far as converting them is concerned.
struct ColumnType {
    enum Family {
        Numpy,        // a plain numpy dtype (datetime64 without a zone included)
        Masked,       // pandas' nullable Int*, UInt*, Float*, boolean (pd.NA)
        Arrow,        // an Arrow-backed dtype
        Zoned,        // datetime64 with a time zone
        Categorical,  // pandas' categorical
        Other,        // pandas' string dtypes, Period, intervals, ...
    };
    Family family = Other;
    char kind = 0;      // numpy's kind letter of the values
    int size = 0;       // bytes per value (numpy and masked dtypes)
    bool text = false;  // a string dtype of pandas' own (not numpy's object)
    py::object dtype;

    // str() of the dtype, as messages name it: made only when a message is
    // (a small call would otherwise spend more on it than on its readings).
    std::string name() const { return utf8(py::str(dtype)); }

    bool numpy_kind(const char *kinds) const { return family == Numpy && std::strchr(kinds, kind) != nullptr; }
    bool nullable_number() const { return (family == Masked || family == Arrow) && std::strchr("iuf", kind); }
    bool datetime() const { return kind == 'M' && (family == Numpy || family == Zoned || family == Arrow); }
};

ColumnType type_of(py::handle pandas, py::handle numpy, py::handle column);

// The dtype of a column: numpy's kind letter (and `itemsize`), or 0 for a
// string dtype of pandas' own; Decline for any other extension dtype.
char column_kind(py::handle numpy, py::handle pandas, py::handle column, int &itemsize);

// "the value column 'KWH' (float32)", as reasons name a column.
std::string described(const std::string &role, py::handle name, const ColumnType &t);

bool has_missing(py::handle column);

// The column's values as numpy numbers of `dtype` (missing values as NaN for
// floats; integers only for columns without missing values).
py::object numbers(py::handle column, const char *dtype);

}  // namespace movra::native
