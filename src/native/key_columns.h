// Which columns of keys (consumers, kinds, units, groups) the event layers'
// kernels code by value, as the pandas path compares and groups them.
#pragma once

#include "../module/runtime.h"
#include "columns.h"
#include "decline.h"

namespace movra::native {

// Pandas' own text dtypes, object columns of str, and the numpy dtypes
// `numbers` allows.
struct KeyRule {
    bool (*numbers)(const ColumnType &t);
    bool integer_objects = false;  // object columns of ints too
};

// Empty when `column`, labelled `label` (the reasons' "<role> 'label'"),
// holds keys `rule` takes; `numeric` tells whether they are numbers.
Reason key_column_reason(py::handle pandas, py::handle numpy, const char *role, py::handle label, py::handle column,
                         const KeyRule &rule, bool &numeric);

}  // namespace movra::native
