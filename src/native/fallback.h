// Falling back during a run: a part of a call that the kernel has begun (a
// window, a group, or the whole call once the readings are ordered) that
// turns out to be one only the pandas path reproduces.
#pragma once

#include "decline.h"

#include <utility>

namespace movra::native {

// Hands `size` items of `layer` (counted as decline.cpp's threshold table
// counts them: a py::handle is counted by its length) to the pandas path
// and returns what `pandas_path` gives.  Warns first, as a declined call
// does, with `reason`, when the part is large enough to notice; raises when
// that warning, made an error, does.
template <class Size, class PandasPath>
decltype(auto) fall_back(Layer layer, const Size &size, const Reason &reason, PandasPath &&pandas_path) {
    warn_declined(layer, size, reason);
    return std::forward<PandasPath>(pandas_path)();
}

}  // namespace movra::native
