// The records of a kernel run, placed for the feature table's rule
// (feature_table.h): the window records' labels placed as columns as
// appending the records one by one places them, their values in one
// float64 table, the column types the pandas path's records give them (as
// a step run on the frame), and the unit column's place; with the windows
// that brought new columns.  The values are written on `threads` threads.
#pragma once

#include "../fe4ts_records.h"
#include "examination.h"

namespace movra::fe4ts_layer {

WindowRecords placed_records(Call &c, const Context &cx, const Examination &x, const k::Options &options,
                             const k::Result &result, int threads);

}  // namespace movra::fe4ts_layer
