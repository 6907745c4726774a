// Rows of one fe4ts table assembled from tables of some of its windows'
// records each (movra_dask's partitions), by the feature table's own rule.
#pragma once

#include "../features/feature_table.h"

namespace movra {

// Whether a table of records holds float64 cells in every column but the
// unit's: then its cells are read as floats, else as Python objects.
bool float_records(py::handle records, py::handle unit);

// The records of windows start .. stop-1, placed: `parts` holds, per table,
// (its records, the global window of each of its rows, the column of each
// of its own in the whole table, as merged_columns gives them); `labels`
// and `unit_columns` are the whole table's.  Every table's cells are read
// as floats when every table holds floats.
PlacedRecords assembled_rows(py::list parts, py::list labels, py::list unit_columns, py::object unit,
                             py::object units, py::ssize_t start, py::ssize_t stop);

}  // namespace movra
