// The nine statistics pandas gives of a Series: the pandas path describes
// its readings by them, and the kernel's layer probes pandas with them.
#pragma once

#include "../module/runtime.h"
#include "fe_kernel.h"

#include <vector>

namespace movra {

// By their place (fe_kernel::Stat), each by the Series method of that name
// with its default options, called in that order.
inline std::vector<py::object> nine_stats(py::handle s) {
    namespace k = fe_kernel;
    std::vector<py::object> out(k::kStats);
    out[k::Stat::Max] = s.attr("max")();
    out[k::Stat::Min] = s.attr("min")();
    out[k::Stat::Median] = s.attr("median")();
    out[k::Stat::Q3] = s.attr("quantile")(0.75);
    out[k::Stat::Q1] = s.attr("quantile")(0.25);
    out[k::Stat::Mean] = s.attr("mean")();
    out[k::Stat::Std] = s.attr("std")();
    out[k::Stat::Skew] = s.attr("skew")();
    out[k::Stat::Kurt] = s.attr("kurt")();
    return out;
}

}  // namespace movra
