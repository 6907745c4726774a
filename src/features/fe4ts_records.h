// fe4ts's window records, placed: one row per window, the columns that
// placing the records' labels gives (column_placement.h), ready for the
// feature table's rule (feature_table.h).  fe4ts is the table of its
// records with their derived columns; the Dask front end asks for the
// records of each partition's windows and derives once, over all.
#pragma once

#include "../module/runtime.h"
#include "column_placement.h"
#include "fe4ts_args.h"
#include "feature_table.h"
#include "kernel/profile.h"

#include <memory>

#include <vector>

namespace movra {

struct WindowRecords {
    std::unique_ptr<PlacedRecords> records;   // null: the native kernel declined the call
    std::vector<Introduction> introductions;  // the rows that brought new columns
    int threads = 1;                          // how many threads the derived columns may use
    // The native call's stage times, when MOVRA_FE4TS_PROFILE names a file
    // for them; the derived columns' time is added once they are built.
    std::shared_ptr<fe_kernel::CallProfile> profile = nullptr;
};

// The records by the native kernel or, where it declines, by the pandas
// path, after a warning that names why.
WindowRecords fe4ts_records(Call &c, const Fe4tsArgs &a);

}  // namespace movra
