// The columns of one fe4ts table of every window's records, from tables
// of some of the windows' records each (movra_dask's partitions).
#pragma once

#include "../module/runtime.h"

namespace movra {

// `tables` holds, per table, (its column labels, the global window of each
// row that brought new columns, the columns of that row's labels), as
// fe4ts_records reports them with its rows renumbered.  Returns (every
// label in column order, per table the column of each of its own, the unit
// columns).
py::tuple merged_columns(py::object unit, py::list tables);

}  // namespace movra
