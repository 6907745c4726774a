// tsdf2seq on the native kernel.
#pragma once

#include "../module/runtime.h"

namespace movra {

// The result through the native kernel, or a null object when the call is
// not one the kernel reproduces exactly (tsdf2seq then takes its pandas
// path, which also raises whatever the input causes).
py::object tsdf2seq_native(Call &c);

}  // namespace movra
