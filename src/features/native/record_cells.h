// The cell types of the records over nullable readings.  The pandas path's
// records over pandas' nullable or Arrow-backed numbers hold pd.NA where a
// statistic is missing, and then other Python and numpy scalars besides
// floats; the record frame's columns take the types those cells give them.
#pragma once

#include "examination.h"

#include <cstdint>
#include <vector>

namespace movra::fe4ts_layer {

// The type of a cell of the pandas path's records over nullable readings:
// a float, a count or a span time of an integer axis (an int64), a
// statistic of integer readings (a numpy int of the readings' width),
// pd.NA, a span time of a datetime axis (a Timestamp, which the record
// frame's datetime columns hold already), or no cell (the record lacks the
// label).
enum class Cell : uint8_t { Float, Int, Value, NA, Time, Missing };

// Window w's cell types in label order (as its values are), over a time
// axis of kind `time`.
void cells_of(const ResultRecords &records, int64_t w, const ValueColumn &value, TimeAxis::Kind time,
              std::vector<Cell> &out);

// Gives the record frame `ftrs`, built from `table` (windows x columns,
// float64), the column types that records of cells of `types` (row by row)
// give it; column j of the table is the frame's column at[j].
void masked_record_types(const Context &cx, const ValueColumn &value, const py::object &table,
                         const std::vector<Cell> &types, py::handle ftrs, const std::vector<py::ssize_t> &at);

}  // namespace movra::fe4ts_layer
