// The tables and labels a call names, as the event layers check them before
// their kernels read anything: plain DataFrames, str or int labels naming
// one column each, and a column's values as the frame's rows give them.
#pragma once

#include "../module/runtime.h"
#include "decline.h"

#include <initializer_list>

namespace movra::native {

// The input's type exactly (a subclass may redefine any operation, so it
// takes the pandas path).
bool exact_type(py::handle o, py::handle type);

// Empty when `frame`, the argument `name`, is a plain pandas DataFrame.
Reason frame_reason(const char *name, py::handle frame, py::handle pandas);

// A column label as the kernels look it up: a str or an int.
bool is_label(py::handle o);

// A label a call names, and the argument it came as.
struct Named {
    const char *argument;
    py::handle label;
};

// Empty when the column labels of `frame` (the argument `name`) are unique
// and every one of `labels` is a str or int label, distinct from the
// others, naming a column of it.
Reason columns_reason(const char *name, py::handle frame, std::initializer_list<Named> labels);

// `listed` as a list that nothing else holds: itself when it is one, else
// a new list of its items.
py::list exclusive_list(py::object listed);

// The values of a frame's column as its rows give them, when every row is
// an object row: the column's values as Python objects, in row order, as a
// list of one value per row that nothing else holds.  Empty when `frame`
// (the argument `name`) has the column and it gives a value per row.
Reason row_values(const char *name, py::handle frame, py::handle label, py::list &values);

}  // namespace movra::native
