// The readings a call's windows read, when they are a small share of the
// table: a few windows over a big table.  The pandas path selects each
// window's readings by its unit and never looks at the others, so what it
// returns, and every error it raises, depends on those readings alone (the
// derived columns, which read the whole table's periodic columns, come
// after either path; their keys are read here, with the readings).  The
// steps after this one therefore look at the selected readings only: the
// checks of the values, times and keys, the conversions to the kernel's
// buffers, and the ordering.
#include "examination.h"
#include "../distinct_values.h"
#include "kernel_run.h"

#include <pybind11/numpy.h>

namespace movra::fe4ts_layer {

namespace {

// A call selects its readings first when its windows read at most this
// share of the table; beyond it, copying them costs more than it saves.
constexpr int64_t kSelectedShare = 8;  // one eighth

// The kernel's threads; a setting that is not one is reported once the
// examination is done (fe4ts_native), and a call that declines never hears
// of it, so here it counts as one thread.
int selection_threads(int64_t readings) {
    try {
        return kernel_threads(readings);
    } catch (const py::value_error &) {
        return 1;
    }
}

// A column the windows read, and where its selected readings come from: a
// numpy array, taken by numpy's C code; else the column's pandas array.
struct ReadColumn {
    py::object name, numpy_values, pandas_values;
};

// The columns the call reads (columns_read).
std::vector<ReadColumn> read_columns(const Context &cx, const CallShape &call) {
    std::vector<ReadColumn> columns;
    for (const py::object &name : columns_read(cx, call)) {
        py::object series = cx.args.column(name);
        ReadColumn c{name, py::object(), py::object()};
        // Only a column of a numpy type is its numpy array; any other would
        // be converted whole.
        if (py::isinstance<py::dtype>(series.attr("dtype"))) {
            py::object values = series.attr("to_numpy")();
            if (is_plain_array(values, call.rows)) c.numpy_values = values;
        }
        if (!c.numpy_values) c.pandas_values = series.attr("array");
        columns.push_back(std::move(c));
    }
    return columns;
}

// The periodic columns' distinct values over the whole table, for the
// derived columns, where every one is a numpy array of numbers (the numpy
// arrays of `columns`); else none, and the derived columns look them up.
// Runs no Python code.
std::vector<py::object> periodic_keys(const CallShape &call, const std::vector<ReadColumn> &columns, int threads) {
    std::vector<py::object> keys;
    for (const auto &p : call.periodic) {
        const ReadColumn *read = nullptr;
        for (const ReadColumn &c : columns)
            if (c.name.equal(p)) read = &c;
        if (!read || !read->numpy_values) return {};
        const auto array = py::reinterpret_borrow<py::array>(read->numpy_values);
        NumericColumn n{read->numpy_values, array.dtype().kind(), static_cast<int>(array.itemsize()),
                        static_cast<py::ssize_t>(call.rows), false};
        py::object distinct = distinct_in(n, threads);
        if (!distinct) return {};
        keys.push_back(std::move(distinct));
    }
    return keys;
}

}  // namespace

// The columns are looked up first; from the look at the unit column until
// every numpy column's readings are copied, no Python code runs (numpy's
// take is C), so that a signal handler cannot rewrite the caller's arrays
// in between, and the copies are of one version of them, as the kernel's
// reads of a whole table are: the columns converted before are confirmed
// to hold what was converted, and the derived columns' keys are read too.
Reason selection_step(const Context &cx, CallShape &call, Units &units, const Snapshots &snapshots,
                      Selection &out) {
    std::vector<int64_t> wanted;
    for (size_t w = 0; w < units.of_window.size(); w++)
        if (!units.unmatched[w]) wanted.push_back(units.of_window[w]);
    const int threads = selection_threads(call.rows);
    std::vector<ReadColumn> columns = read_columns(cx, call);
    snapshots.confirm();
    const std::optional<std::vector<int64_t>> rows =
        k::readings_of_units(units.readings, call.rows, wanted, call.rows / kSelectedShare, threads);
    if (!rows) return {};
    out.periodic_keys = periodic_keys(call, columns, threads);
    const py::ssize_t n = static_cast<py::ssize_t>(rows->size());
    out.units.resize(rows->size());
    for (size_t i = 0; i < rows->size(); i++) out.units[i] = units.readings[(*rows)[i]];
    const py::array_t<int64_t> at(n, rows->data());
    py::dict selected;
    for (const ReadColumn &c : columns)
        if (c.numpy_values) selected[c.name] = c.numpy_values.attr("take")(at);
    for (const ReadColumn &c : columns)
        if (c.pandas_values) selected[c.name] = c.pandas_values.attr("take")(at);
    out.args.emplace(cx.args.over(cx.pandas.attr("DataFrame")(selected, py::arg("copy") = false)));
    units.readings = out.units.data();
    call.rows = static_cast<int64_t>(n);
    return {};
}

Context Selection::context(const Context &whole) const {
    return Context(args ? *args : whole.args, whole.pandas, whole.numpy);
}

}  // namespace movra::fe4ts_layer
