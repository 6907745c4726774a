// fe4ts on the native kernel.
#pragma once

#include "../module/runtime.h"
#include "fe4ts_args.h"
#include "fe4ts_records.h"

#include <string>

namespace movra {

// The window records computed by the native kernel, or a null frame when the
// call is not one the kernel reproduces exactly; `declined` then says why and
// what would make it native (fe4ts takes the pandas path, which also raises
// whatever errors the inputs cause).
WindowRecords fe4ts_native(Call &c, const Fe4tsArgs &a, std::string &declined);

// fe4ts's progress bar when `tqdm` is the class loaded with the module: the
// number of windows and a label, over `iterable` (or updated by hand when
// it is null).
py::object progress_bar(py::handle tqdm, py::handle iterable, py::ssize_t total);

}  // namespace movra
