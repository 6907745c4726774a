// usest2uet on the native kernel.
#pragma once

#include "../module/runtime.h"
#include "usest2uet.h"

namespace movra {

// The result through the native kernel, or a null object when the event log
// is not one the kernel reproduces exactly; `per_window`, when given, is
// filled as the windows are cut.
py::object usest2uet_native(Call &c, RowsPerWindow *per_window);

}  // namespace movra
