// fe4ts on the native kernel.
#pragma once

#include "../module/runtime.h"
#include "fe4ts_args.h"
#include "fe4ts_records.h"

#include <string>

namespace movra {

// How the pandas path computes a call's window records.
using PandasRecords = WindowRecords (*)(Call &c, const Fe4tsArgs &a);

// The window records computed by the native kernel where the call is one it
// reproduces exactly; else by `pandas_path` (which also raises whatever
// errors the inputs cause), after a warning, when the call is large, that
// says why and what would make it native.
WindowRecords fe4ts_native(Call &c, const Fe4tsArgs &a, PandasRecords pandas_path);

}  // namespace movra
