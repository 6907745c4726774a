// _movra_companion: what movra_dask needs of fe4ts and usest2uet beyond
// movra's own namespace, which stays as it is.  movra_dask runs fe4ts's
// record stage on each partition's windows, merges the partitions' columns
// as one call places them, and has the rows of the table assembled from
// the partitions' records, derived columns included; it places each
// partition's usest2uet rows by the window that brought them.  Every rule
// it follows is the extension's own code, linked from the same library as
// movra.
//
// The record stage and usest2uet's rows run as function objects of movra's
// function type, in movra's namespace: they bind their arguments and report
// errors as movra.fe4ts and movra.usest2uet do, with the same traceback
// entries, and find pandas, numpy and tqdm where movra's functions find
// them.  This module holds its own copy of the types and the held names
// that the function type needs, made ready here as movra's are at its load.
#include "../features/feature_table.h"
#include "../features/fe4ts_records.h"
#include "../module/entry.h"
#include "../module/errors.h"
#include "../module/function.h"
#include "../module/namespace.h"
#include "../module/progress.h"
#include "../module/scope.h"
#include "../sequences/usest2uet.h"
#include "assembled_rows.h"
#include "merged_columns.h"

#include <pybind11/pybind11.h>

namespace movra {

extern const FunctionEntry fe4ts_entry, usest2uet_entry;

namespace {

// fe4ts_records(df, unit, tactic, periodic, lag, value, interval,
// del_t_maximin, aggfunc): the window records of fe4ts, then, for each row
// that brought new columns, its position and the columns of its labels.
py::object fe4ts_records_body(Call &c) {
    const Fe4tsArgs a(c);
    WindowRecords records = fe4ts_records(c, a);
    py::object frame = feature_table(c, a, *records.records, false);
    py::list rows, positions;
    for (const Introduction &i : records.introductions) {
        rows.append(py::int_(i.record));
        py::list columns;
        for (int p : i.positions) columns.append(py::int_(p));
        positions.append(columns);
    }
    return py::make_tuple(frame, rows, positions);
}

// usest2uet_rows(usest, unit, e, ts, interval): usest2uet's table, and how
// many of its rows each window brought, in window order, so that rows
// computed on a part of the log can be placed by their window.
py::object usest2uet_rows_body(Call &c) {
    RowsPerWindow per_window;
    py::object uet = usest2uet_counted(c, &per_window);
    py::list counts;
    for (Py_ssize_t n : per_window) counts.append(py::int_(n));
    return py::make_tuple(uet, counts);
}

// The companion's entries: a movra function's parameters, table arguments,
// source file and traceback name, with another body; no defaults, since
// movra_dask passes every argument.  Made once, at import.
FunctionEntry records_entry, event_rows_entry;

// The companion's function objects, made at import and held for the life
// of the process; fe4ts_table's and usest2uet_table's calls run in their
// namespace too.
PyObject *records_function = nullptr, *event_rows_function = nullptr;

void ready_runtime() {
    if (function_type_ready() < 0 || scope_type_ready() < 0 || hold_builtins() < 0) throw py::error_already_set();
    // The progress-bar class loaded at import, for the rule of progress.h.
    // movra's own hold is in movra's copy of that code, which this module
    // cannot reach, and movra's namespace, which stays as it is, does not
    // publish it (its `tqdm` may be rebound by now).  So the class is taken
    // as movra took it, `from tqdm import tqdm`, which gives the class movra
    // holds unless tqdm's own module was changed in between.
    hold_progress_class(py::module_::import("tqdm").attr("tqdm"));
}

// A function object of movra's type in movra's namespace, running `body`
// with `of`'s parameters: `entry` is filled from `of` and must outlive it.
py::object companion_function(py::module_ &m, FunctionEntry &entry, const FunctionEntry &of, const char *name,
                              py::object (*body)(Call &)) {
    entry = of;
    entry.name = name;
    entry.qualname = name;
    entry.body = body;
    entry.constant_defaults = nullptr;
    entry.loadtime_default = nullptr;
    py::object globals = py::module_::import("movra").attr("__dict__");
    PyObject *code = code_new(&entry);
    if (code == nullptr) throw py::error_already_set();
    py::object held_code = py::reinterpret_steal<py::object>(code);
    PyObject *f = function_new(&entry, globals.ptr(), nullptr, code == Py_None ? nullptr : code, nullptr);
    if (f == nullptr) throw py::error_already_set();
    py::object function = py::reinterpret_steal<py::object>(f);
    function.attr("__module__") = m.attr("__name__");  // pickled by reference to this module
    return function;
}

// Windows start .. stop-1 of one fe4ts table, assembled from the records
// of tables of some windows each (assembled_rows.h) and given the derived
// columns, by the feature table's rule; `df` holds the periodic columns'
// values.  A C++ exception becomes the Python exception movra would raise.
py::object fe4ts_table(py::list parts, py::list labels, py::list unit_columns, py::object units, py::ssize_t start,
                       py::ssize_t stop, py::object df, py::object unit, py::object tactic, py::object periodic,
                       py::object lag, py::object value) {
    try {
        py::none none;
        PyObject *args[] = {df.ptr(),  unit.ptr(),  tactic.ptr(), periodic.ptr(), lag.ptr(),
                            value.ptr(), none.ptr(), none.ptr(),   none.ptr()};
        Call c(records_function, args);
        const Fe4tsArgs a(c);
        PlacedRecords rows = assembled_rows(parts, labels, unit_columns, unit, units, start, stop);
        return feature_table(c, a, rows, true);
    } catch (py::error_already_set &) {
        throw;
    } catch (...) {
        set_error_from_current_exception();
        throw py::error_already_set();
    }
}

// usest2uet's table of `rows`, tuples of a window's consumer, an event
// kind, its times, START and END, as one call builds it of its rows: every
// column's dtype inferred over all the rows together, the count column
// added.  movra_dask builds it so where partitions' tables disagree on a
// dtype.
py::object usest2uet_table(py::list rows, py::object unit, py::object e, py::object ts) {
    try {
        py::none none;
        PyObject *args[] = {none.ptr(), unit.ptr(), e.ptr(), ts.ptr(), none.ptr()};
        Call c(event_rows_function, args);
        return usest2uet_frame(c, rows);
    } catch (py::error_already_set &) {
        throw;
    } catch (...) {
        set_error_from_current_exception();
        throw py::error_already_set();
    }
}

}  // namespace

}  // namespace movra

PYBIND11_MODULE(_movra_companion, m) {
    using namespace movra;
    ready_runtime();
    py::object records = companion_function(m, records_entry, fe4ts_entry, "fe4ts_records", fe4ts_records_body);
    m.attr("fe4ts_records") = records;
    records_function = records.release().ptr();
    py::object event_rows =
        companion_function(m, event_rows_entry, usest2uet_entry, "usest2uet_rows", usest2uet_rows_body);
    m.attr("usest2uet_rows") = event_rows;
    event_rows_function = event_rows.release().ptr();
    m.def("usest2uet_table", &usest2uet_table, py::arg("rows"), py::arg("unit"), py::arg("e"), py::arg("ts"));
    m.def("fe4ts_table", &fe4ts_table, py::arg("parts"), py::arg("labels"), py::arg("unit_columns"), py::arg("units"),
          py::arg("start"), py::arg("stop"), py::arg("df"), py::arg("unit"), py::arg("tactic"), py::arg("periodic"),
          py::arg("lag"), py::arg("value"));
    m.def("float_records", &float_records, py::arg("records"), py::arg("unit"));
    m.def("merged_columns", &merged_columns, py::arg("unit"), py::arg("tables"));
}
