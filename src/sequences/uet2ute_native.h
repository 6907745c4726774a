// uet2ute on the native kernel.
#pragma once

#include "../module/runtime.h"

namespace movra {

// The result through the native kernel, or a null object when the call is
// not one the kernel reproduces exactly (uet2ute then takes its pandas
// path, which also raises whatever the input causes).
py::object uet2ute_native(Call &c);

}  // namespace movra
