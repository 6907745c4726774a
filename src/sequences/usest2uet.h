// usest2uet's steps shared by the pandas path and the kernel's layer.
#pragma once

#include "../module/runtime.h"

#include <vector>

namespace movra {

// One window as the loop sees it: a row read by attribute (`row.CONS_NO`,
// `row.START`, `row.END`, each at the moment of use), or the three values
// already read from the window table's own array.
class WindowRow {
public:
    explicit WindowRow(py::object row) : row_(std::move(row)) {}
    WindowRow(py::object consumer, py::object start, py::object end)
        : consumer_(std::move(consumer)), start_(std::move(start)), end_(std::move(end)) {}

    py::object consumer() const { return row_ ? row_.attr("CONS_NO") : consumer_; }
    py::object start() const { return row_ ? row_.attr("START") : start_; }
    py::object end() const { return row_ ? row_.attr("END") : end_; }

private:
    py::object row_, consumer_, start_, end_;
};

// Appends one window's rows (one per event kind of its consumer) to `rows`,
// through pandas.
void usest2uet_window(Call &c, py::handle usest, py::handle e, py::handle ts, const WindowRow &row, py::list &rows);

// The result frame from the collected rows, with the count column.
py::object usest2uet_frame(Call &c, py::handle rows);

// The progress display over the windows (progress.h), whose total is the
// length of `interval` where it has one.
py::object usest2uet_progress(Call &c, py::handle windows, py::handle interval);

// How many result rows each window yielded to the loop brought, in the
// loop's order: the rule of one row per event kind of a window's consumer,
// as the call applied it, for callers that place rows by their window.
using RowsPerWindow = std::vector<Py_ssize_t>;

// Runs `add`, which appends one window's rows to `rows`, noting in
// `per_window` (when given) how many it appended.
template <class Add>
void count_window_rows(const py::list &rows, RowsPerWindow *per_window, Add add) {
    const Py_ssize_t before = PyList_GET_SIZE(rows.ptr());
    add();
    if (per_window) per_window->push_back(PyList_GET_SIZE(rows.ptr()) - before);
}

// The call's result by either path, with each window's row count.
py::object usest2uet_counted(Call &c, RowsPerWindow *per_window);

}  // namespace movra
