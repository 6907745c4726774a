// fe4ts on the native kernel, and what it shares with the pandas path.
#pragma once

#include "../module/runtime.h"

namespace movra {

// The feature table computed by the native kernel, or a null object when the
// call is not one the kernel reproduces exactly (fe4ts then takes the pandas
// path, which also raises whatever errors the inputs cause).
py::object fe4ts_native(Call &c);

// The pandas path's last step, shared by both paths: adds the derived columns
// to the frame of window records (unit column included) and returns the table.
py::object fe4ts_derive(Call &c, py::object ftrs);

}  // namespace movra
