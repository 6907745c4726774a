// The windows' bounds, and the exactness of integer times compared in
// float64 or shifted in a narrow width.
#include "examination.h"
#include "../kernel/time_order.h"
#include "window_bounds.h"

#include <cmath>

namespace movra::fe4ts_layer {

namespace {

// The window table's bound columns, read as the pandas path reads them:
// value by value, from lists (an absent column: empty).  Datetime bounds
// held in datetime columns are converted column by column.
struct BoundColumns {
    bool has_start = false, has_end = false, has_forward_t = false, has_backward_t = false;
    bool has_forward_r = false, has_backward_r = false;
    py::list start, end, forward_t, backward_t, forward_r, backward_r;
    DatetimeBounds start_at, end_at, forward_from, backward_from;

    BoundColumns(const Context &cx, const TimeAxis &time) {
        const py::object &interval = cx.args.interval;
        py::object window_columns = interval.attr("columns");
        auto column_values = [&](const char *label, bool &present) -> py::list {
            py::handle name = interned(label);
            present = has_column(window_columns, name);
            if (!present) return py::list();
            return cx.args.window_column(name).attr("tolist")();
        };
        start = column_values("START", has_start);
        end = column_values("END", has_end);
        forward_t = column_values("FORWARD_T", has_forward_t);
        backward_t = column_values("BACKWARD_T", has_backward_t);
        forward_r = column_values("FORWARD_R", has_forward_r);
        backward_r = column_values("BACKWARD_R", has_backward_r);
        if (time.kind != TimeAxis::Datetime || (has_forward_t && !has_end) || (has_backward_t && !has_start)) return;
        auto column = [&](const char *label) { return cx.args.window_column(interned(label)); };
        if (has_start) start_at.read(cx, time, column("START"), true);
        if (has_end) end_at.read(cx, time, column("END"), false);
        if (has_forward_t && end_at.ok) forward_from.shifted(cx, time, column("END"), column("FORWARD_T"), false, true);
        if (has_backward_t && start_at.ok)
            backward_from.shifted(cx, time, column("START"), column("BACKWARD_T"), true, true);
    }
};

// A count bound: an int, not a bool.
Reason count_bound(py::handle n, const char *label, bool &has, int64_t &out) {
    if (PyBool_Check(n.ptr()) || !as_int64(n, out)) return std::string("the ") + label + " " + text_of(n) + " is not an int";
    has = true;
    return {};
}

// Window w's bounds, in the order the pandas path applies them.
Reason window_bounds(BoundColumns &b, size_t w, BoundReader &bound, k::Window &win) {
    auto set = [&](DatetimeBounds &column, py::handle one, bool lower, k::Scalar &out) {
        if (column.ok) {
            out.i = column.ticks[w];
            if (column.never[w]) bound.never = true;
            return Reason();
        }
        return bound(one, lower, out);
    };
    Reason r;
    if (b.has_start) {
        win.has_start = true;
        r = set(b.start_at, b.start[w], true, win.start);
    }
    if (r.empty() && b.has_end) {
        win.has_end = true;
        r = set(b.end_at, b.end[w], false, win.end);
    }
    if (r.empty() && b.has_forward_t) {
        win.has_forward_t = true;
        py::object from = b.forward_from.ok ? py::object() : py::object(b.end[w] - b.forward_t[w]);
        r = set(b.forward_from, from, true, win.forward_t_from);
    }
    if (r.empty() && b.has_backward_t) {
        win.has_backward_t = true;
        py::object from = b.backward_from.ok ? py::object() : py::object(b.start[w] + b.backward_t[w]);
        r = set(b.backward_from, from, true, win.backward_t_from);
    }
    if (r.empty() && b.has_forward_r) r = count_bound(b.forward_r[w], "FORWARD_R", win.has_forward_r, win.forward_r);
    if (r.empty() && b.has_backward_r)
        r = count_bound(b.backward_r[w], "BACKWARD_R", win.has_backward_r, win.backward_r);
    return r;
}

}  // namespace

// Each window's unit and bounds, read column by column as the pandas path
// reads them.
Reason windows_step(const Context &cx, const CallShape &call, const TimeAxis &time, const Units &units, Windows &out) {
    BoundColumns columns(cx, time);
    if (columns.has_forward_t && !columns.has_end) return "FORWARD_T is given without END";
    if (columns.has_backward_t && !columns.has_start) return "BACKWARD_T is given without START";
    out.windows.assign(static_cast<size_t>(call.windows), k::Window());
    for (size_t w = 0; w < out.windows.size(); w++) {
        k::Window &win = out.windows[w];
        win.unit = units.of_window[w];
        win.matches_nothing = units.unmatched[w] != 0;
        BoundReader bound(cx, time, call.tactic[0]);
        Reason r = window_bounds(columns, w, bound, win);
        out.needs_exact_times = out.needs_exact_times || bound.needs_exact_times;
        if (!r.empty()) return r;
        if (bound.never) win.matches_nothing = true;
    }
    return {};
}

Reason exactness_step(const Context &cx, const CallShape &call, const TimeAxis &time, const Lags &lags,
                      const Windows &windows) {
    if (time.kind != TimeAxis::Int || call.rows == 0) return {};
    const bool float_comparisons = lags.needs_exact_times || windows.needs_exact_times;
    if (!float_comparisons && !lags.narrow_time_check) return {};
    // The largest magnitude of the integer time axis, as a double, read in
    // the buffer the kernel reads (no float64 copy of the column).
    double largest = 0.0;
    k::with_times(time.column, [&](const auto *t) {
        for (int64_t i = 0; i < call.rows; i++) largest = std::max(largest, std::fabs(static_cast<double>(t[i])));
    });
    if (!(largest <= kExactInDouble)) return "the time column " + text_of(call.tactic[0]) + " holds times beyond 2**53";
    if (lags.narrow_time_check && !(largest < std::ldexp(1.0, 8 * time.width - 2)))
        return "the time column " + text_of(call.tactic[0]) + " could wrap around when shifted";
    return {};
}

}  // namespace movra::fe4ts_layer
