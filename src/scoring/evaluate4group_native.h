// evaluate4group on the native kernel.
#pragma once

#include "../module/runtime.h"

namespace movra {

// The result through the native kernel, or a null object when the call is
// not one the kernel reproduces exactly (evaluate4group then takes its
// pandas path, which also raises whatever the input causes).
py::object evaluate4group_native(Call &c);

}  // namespace movra
