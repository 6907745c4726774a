// The chunks of an Arrow value column, as pandas hands them to pyarrow.
//
// pandas selects a window's readings by a mask and orders them by time;
// both take the rows into a new array of one chunk unless they keep every
// row where it is, and then pandas copies the column, chunks and all.  So
// the chunks last only in a table of one unit whose readings pandas' sort
// leaves in their order, and there only in the windows whose time bounds
// drop nothing (the kernel finds those, k::Range::copied).
#include "examination.h"
#include "library_rules.h"

namespace movra::fe4ts_layer {

Reason chunk_step(const Context &cx, const CallShape &call, const ValueColumn &value, const Units &units,
                  const Selection &selection, Chunks &out) {
    // Readings picked out of the table are of some of its units only.
    if (value.chunks.empty() || selection.partial()) return {};
    const int64_t *unit = units.readings;
    for (int64_t i = 1; i < call.rows; i++)
        if (unit[i] != unit[0]) return {};
    // Whether pandas' sort finds the times in order: the same sort of the
    // column alone leaves its positions as they are.
    py::object times = cx.args.column(call.tactic[0]).attr("reset_index")(py::arg("drop") = true);
    if (!truth(times.attr("sort_values")().attr("index").attr("is_monotonic_increasing"))) return {};
    py::object column = cx.args.column(cx.args.value);
    const std::string what = described("the value column", cx.args.value, type_of(cx.pandas, cx.numpy, column));
    Reason rules = chunk_rules(cx, what, float64_hint(cx));
    if (!rules.empty()) return rules;
    out.starts = value.chunks;
    return {};
}

}  // namespace movra::fe4ts_layer
