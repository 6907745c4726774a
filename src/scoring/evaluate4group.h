// evaluate4group's steps shared by the pandas path and the kernel's layer.
#pragma once

#include "../module/runtime.h"

namespace movra {

// The positives caught among one group's flagged rows (the group's rows
// sorted by prediction, descending, through pandas).
py::object evaluate4group_caught(Call &c, py::handle g);

// The two rates from the counts.
py::object evaluate4group_rates(Call &c, py::handle TP_group, py::handle TP_individal);

}  // namespace movra
