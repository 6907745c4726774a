// evaluate4group's steps shared by the pandas path and the kernel's layer.
#pragma once

#include "../module/runtime.h"

namespace movra {

// The positives caught among one group's flagged rows (the group's rows
// sorted by prediction, descending, through pandas).
py::object evaluate4group_caught(Call &c, py::handle g);

// What the rates divide by, as the native layer read it with the rest of
// the frame: the groups holding a row labelled 1, and the label sum (floats).
struct RateDenominators {
    py::object groups, label_sum;
};

// The two rates from the counts; the denominators are read from the frame
// unless `read` holds them.
py::object evaluate4group_rates(Call &c, py::handle TP_group, py::handle TP_individal,
                                const RateDenominators *read = nullptr);

}  // namespace movra
