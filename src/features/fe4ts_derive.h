// The derived columns of fe4ts's feature table, added by both of its paths
// (the pandas path and the native kernel) as their last step.
#pragma once

#include "../module/runtime.h"
#include "fe4ts_args.h"

namespace movra {

// Adds the derived columns to the frame of window records (unit column
// included) and returns the feature table.  Up to `threads` threads search
// the periodic columns for their values.
py::object fe4ts_derive(Call &c, const Fe4tsArgs &a, py::object ftrs, int threads = 1);

}  // namespace movra
