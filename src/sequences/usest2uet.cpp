// usest2uet: cuts each consumer's event-time lists into the observation
// windows of `interval`.  One result row per window and event kind of the
// window's consumer, holding the times strictly inside the window and
// their count.  The consumer columns are always `CONS_NO` (attribute
// access on both frames); `unit`, `e` and `ts` label the result.
//
// The native kernel takes the call when the log is one it reproduces
// exactly (usest2uet_native); this file is the pandas path, and the step
// that the kernel's layer falls back to for a window it cannot take.
#include "usest2uet.h"
#include "usest2uet_native.h"

#include <climits>

#include "../module/namespace.h"
#include "../module/progress.h"
#include "../module/table.h"
#include "../native/interrupts.h"

namespace movra {

namespace {

// The time lists of one group joined end to end, in row order: the list
// that adding them one by one to an empty list gives, built in one pass
// instead of re-copying the growing list at every row.  Only lists join a
// list; any other cell fails the way list addition does.
py::list concat_time_lists(py::handle cells) {
    constexpr Py_ssize_t kListsPerCheck = 4096;  // interrupt check stride
    py::list joined;
    Py_ssize_t seen = 0;
    for (py::handle cell : cells) {
        if (!PyList_Check(cell.ptr())) {
            PyErr_Format(PyExc_TypeError, "can only concatenate list (not \"%.200s\") to list",
                         Py_TYPE(cell.ptr())->tp_name);
            throw py::error_already_set();
        }
        Py_ssize_t end = PyList_GET_SIZE(joined.ptr());
        if (PyList_SetSlice(joined.ptr(), end, end, cell.ptr()) != 0) throw py::error_already_set();
        check_interrupts_every(++seen, kListsPerCheck);
    }
    return joined;
}

// A literal label as a Python string.
py::object label(const char *text) { return py::reinterpret_borrow<py::object>(interned(text)); }

}  // namespace

py::object usest2uet_progress(Call &c, py::handle windows, py::handle interval) {
    return ProgressDisplay(c).over(windows, [&] { return length_or_unknown(interval); }, kUsest2uetProgress);
}

void usest2uet_window(Call &c, py::handle usest, py::handle e, py::handle ts, const WindowRow &row, py::list &rows) {
    MOVRA_AT(c);
    py::object consumers = usest.attr("CONS_NO");
    py::object usest_ = usest[eq(consumers, row.consumer())];

    MOVRA_AT(c);
    for (py::handle kind : usest_.attr("groupby")(e)) {
        MOVRA_AT(c);
        auto [name, group] = unpack2(kind);

        MOVRA_AT(c);
        py::list times = concat_time_lists(group[ts].attr("values"));
        MOVRA_AT(c);
        py::object dates = c.global("numpy").attr("array")(times);

        // Both bounds exclusive.  A kind without any time at all is
        // already empty: numpy makes a float array of the empty list,
        // which cannot be compared with time bounds, so the window
        // test is only run on times that exist.
        if (PyList_GET_SIZE(times.ptr()) != 0) {
            MOVRA_AT(c);
            py::object before_end = lt(dates, row.end());
            py::object after_start = gt(dates, row.start());
            dates = dates[before_end & after_start];
        }

        MOVRA_AT(c);
        py::object consumer = row.consumer();
        py::object start = row.start();
        py::object end = row.end();
        rows.append(py::make_tuple(consumer, name, dates, start, end));
    }
}

py::object usest2uet_frame(Call &c, py::handle rows) {
    py::object unit = c.arg(1), e = c.arg(2), ts = c.arg(3);
    MOVRA_AT(c);
    py::list columns;
    columns.append(unit);
    columns.append(e);
    columns.append(ts);
    columns.append(label("START"));
    columns.append(label("END"));
    py::object uet = c.global("pandas").attr("DataFrame")(rows, py::arg("columns") = columns);

    MOVRA_AT(c);
    py::object count_label = ts + label("_NB");
    MOVRA_AT(c);
    py::object counts = py::object(uet[ts]).attr("apply")(c.builtin_now("len"));
    MOVRA_AT(c);
    set_item(uet, count_label, counts);
    return uet;
}

py::object usest2uet_counted(Call &c, RowsPerWindow *per_window) {
    py::object uet = usest2uet_native(c, per_window);
    if (uet) return uet;

    py::object usest = c.arg(0), e = c.arg(2), ts = c.arg(3), interval = c.arg(4);
    py::list rows;
    MOVRA_AT(c);
    py::object windows = usest2uet_progress(c, interval.attr("iterrows")(), interval);
    MOVRA_AT(c);
    for (py::handle item : windows) {
        MOVRA_AT(c);
        auto [index, row] = unpack2(item);
        (void)index;
        count_window_rows(rows, per_window, [&] { usest2uet_window(c, usest, e, ts, WindowRow(row), rows); });
        check_interrupts();
    }
    return usest2uet_frame(c, rows);
}

py::object usest2uet(Call &c) { return usest2uet_counted(c, nullptr); }

namespace {
const char *const usest2uet_parameters[] = {"usest", "unit", "e", "ts", "interval"};
const char *const usest2uet_locals[] = {"uet", "index", "row", "usest_", "name", "group", "dates"};
const int usest2uet_tables[] = {0, 4};  // usest, interval
}  // namespace

extern const FunctionEntry usest2uet_entry = MOVRA_MODULE_FUNCTION(usest2uet)
                                                 .parameters(usest2uet_parameters)
                                                 .locals(usest2uet_locals)
                                                 .tables(usest2uet_tables);

}  // namespace movra
