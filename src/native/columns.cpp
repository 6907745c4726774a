// A column as the native layers read it (columns.h).
#include "columns.h"

#include "scalars.h"

#include <cmath>

namespace movra::native {

ColumnType type_of(py::handle pandas, py::handle numpy, py::handle column) {
    py::object dt = column.attr("dtype");
    ColumnType t;
    t.dtype = dt;
    t.kind = utf8(dt.attr("kind"))[0];
    py::object arrow = optional_attr(pandas, "ArrowDtype");  // absent before pandas 1.5
    if (py::isinstance(dt, numpy.attr("dtype"))) {
        t.family = ColumnType::Numpy;
        t.size = dt.attr("itemsize").cast<int>();
        return t;
    }
    if (py::isinstance(dt, pandas.attr("CategoricalDtype"))) {
        t.family = ColumnType::Categorical;
    } else if (py::isinstance(dt, pandas.attr("DatetimeTZDtype"))) {
        t.family = ColumnType::Zoned;
    } else if (arrow && !arrow.is_none() && py::isinstance(dt, arrow)) {
        t.family = ColumnType::Arrow;
    } else if (optional_attr(dt, "numpy_dtype") && optional_attr(dt, "na_value").is(pandas.attr("NA")) &&
               !py::isinstance(dt, pandas.attr("StringDtype"))) {
        t.family = ColumnType::Masked;
        t.size = dt.attr("numpy_dtype").attr("itemsize").cast<int>();
    }
    // Only these two families hold strings (pandas' StringDtype, Arrow strings).
    if (t.family == ColumnType::Other || t.family == ColumnType::Arrow) {
        py::object types = pandas.attr("api").attr("types");
        t.text = truth(types.attr("is_string_dtype")(dt)) && !truth(types.attr("is_object_dtype")(dt));
    }
    return t;
}

char column_kind(py::handle numpy, py::handle pandas, py::handle column, int &itemsize) {
    const ColumnType t = type_of(pandas, numpy, column);
    itemsize = t.family == ColumnType::Numpy ? t.size : 0;
    if (t.family == ColumnType::Numpy) return t.kind;
    require(t.text);
    return 0;
}

std::string described(const std::string &role, py::handle name, const ColumnType &t) {
    return role + " " + text_of(name) + " (" + t.name() + ")";
}

bool has_missing(py::handle column) { return truth(column.attr("isna")().attr("any")()); }

py::object numbers(py::handle column, const char *dtype) {
    if (dtype[0] == 'f') return column.attr("to_numpy")(py::arg("dtype") = dtype, py::arg("na_value") = std::nan(""));
    return column.attr("to_numpy")(py::arg("dtype") = dtype);
}

}  // namespace movra::native
