// Table arguments: a pandas DataFrame, or any table that exports the Arrow
// PyCapsule stream (`__arrow_c_stream__`: polars, pyarrow, DuckDB, ibis ...).
//
// A function declares which of its parameters take tables (entry.h,
// `.tables(...)`); before its body runs, each such argument that is not a
// pandas DataFrame but exports an Arrow stream is replaced by the DataFrame
// that `pandas.DataFrame.from_arrow` makes of it (on pandas 2.2, which lacks
// it, `pyarrow.table(obj).to_pandas()`, which gives the same dtypes).  The
// body, both of its paths, and every error it raises then see that frame.
// Any other object, a pandas Series among them, passes unchanged.
//
// Two things differ from a plain from_arrow call, neither visible in a
// result:
//   * the columns are not consolidated into blocks, so a column whose Arrow
//     layout is numpy's (one chunk, no nulls, a numpy type) is not copied;
//   * an Arrow list column becomes a column of Python lists, the cells that
//     a user would have built (event times are read as such lists): each
//     cell is the list of its items as `Series.tolist()` gives them from the
//     column that from_arrow makes of the items (pandas Timestamps, with the
//     zone where the type has one; Python ints, floats, str); a null cell is
//     None.  from_arrow itself gives numpy arrays there, which the event
//     functions cannot add up as lists.
#pragma once

#include "entry.h"

namespace movra {

// The arguments a body sees: `bound`, with every table parameter of `entry`
// taken in by the rule above.  Holds the frames it made.
class TableArgs {
public:
    TableArgs(const Call &c, const FunctionEntry &entry, PyObject *const *bound);

    PyObject *const *args() const { return args_; }

private:
    PyObject *args_[kMaxParameters] = {nullptr};
    py::object taken_[kMaxParameters];
};

// One table by the rule above: `obj` itself, or the frame made of its Arrow
// stream.  ImportError naming the extra to install when that needs pyarrow
// and it is missing.
py::object take_table(const Call &c, py::handle obj);

}  // namespace movra
