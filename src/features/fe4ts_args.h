// fe4ts's arguments, read once from the call: both paths, the decline
// warning and the derived columns take them from here.
#pragma once

#include "../module/runtime.h"

namespace movra {

struct Fe4tsArgs {
    // The bound arguments in parameter order (fe4ts_parameters in fe4ts.cpp).
    explicit Fe4tsArgs(const Call &c)
        : df(c.arg(0)), unit(c.arg(1)), tactic(c.arg(2)), periodic(c.arg(3)), lag(c.arg(4)), value(c.arg(5)),
          interval(c.arg(6)), del_t_maximin(c.arg(7)), aggfunc(c.arg(8)) {}

    py::object df, unit, tactic, periodic, lag, value, interval, del_t_maximin, aggfunc;
};

}  // namespace movra
