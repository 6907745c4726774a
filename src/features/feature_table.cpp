// The feature table of fe4ts (feature_table.h).
#include "feature_table.h"

#include "derived_columns.h"

#include <pybind11/numpy.h>

#include <cstring>
#include <string>
#include <vector>

namespace movra {

namespace {

using FloatTable = py::array_t<double, py::array::f_style>;

// The columns of the frame: the feature columns with the unit columns at
// their places, then `extra` columns (derived ones).  `at` gives each
// feature column's place in the frame.
struct FrameColumns {
    py::list labels;
    std::vector<py::ssize_t> at;
    FrameColumns(const PlacedRecords &r, py::handle unit) {
        size_t u = 0;
        for (size_t j = 0; j < r.labels.size(); j++) {
            while (u < r.unit_at.size() && r.unit_at[u] == static_cast<int>(py::len(labels))) {
                labels.append(unit);
                u++;
            }
            at.push_back(static_cast<py::ssize_t>(py::len(labels)));
            labels.append(r.labels[j]);
        }
        for (; u < r.unit_at.size(); u++) labels.append(unit);
    }
    py::ssize_t size() const { return static_cast<py::ssize_t>(py::len(labels)); }
};

// The frame: built at once from the cells with a stand-in for each unit
// column, which the unit's values then replace where it stands (cheaper
// than inserting a column into a built frame), the kernel's column types,
// and the index.
py::object finish_frame(py::handle pandas, const PlacedRecords &r, const FrameColumns &columns, py::object data) {
    py::object ftrs = r.floats ? pandas.attr("DataFrame")(data, py::arg("columns") = columns.labels, py::arg("copy") = false)
                               : pandas.attr("DataFrame")(data, py::arg("columns") = columns.labels, py::arg("dtype") = py::none());
    if (r.retype) r.retype(ftrs, columns.at);
    for (int p : r.unit_at) ftrs.attr("isetitem")(p, r.unit_values);
    if (r.index) ftrs.attr("index") = r.index;
    return ftrs;
}

// The float64 cells of the frame (rows x columns, column by column): the
// records' columns in their places, NaN in the unit columns' until they are
// set, room for `extra` columns after them.
FloatTable frame_cells(const PlacedRecords &r, const FrameColumns &columns, const double *records, int extra) {
    const py::ssize_t W = r.rows;
    FloatTable table({W, columns.size() + extra});
    double *cells = table.mutable_data();
    for (int p : r.unit_at) std::fill(cells + p * W, cells + (p + 1) * W, std::nan(""));
    for (size_t j = 0; j < columns.at.size(); j++)
        if (W > 0) std::memcpy(cells + columns.at[j] * W, records + static_cast<py::ssize_t>(j) * W, W * sizeof(double));
    return table;
}

// The records as a frame: feature columns, their types, the unit columns.
py::object frame_of_records(py::handle pandas, PlacedRecords &r, py::handle unit) {
    if (r.unit_at.empty()) {
        py::object ftrs = pandas.attr("DataFrame")();
        if (r.index) ftrs.attr("index") = r.index;
        return ftrs;
    }
    const FrameColumns columns(r, unit);
    if (r.floats) return finish_frame(pandas, r, columns, frame_cells(r, columns, py::cast<FloatTable>(r.floats).data(), 0));
    py::list rows;
    py::float_ missing(std::nan(""));
    for (py::handle row : r.cells) {
        py::list cells(columns.size());
        for (py::ssize_t k = 0; k < columns.size(); k++) cells[static_cast<size_t>(k)] = missing;
        for (size_t j = 0; j < columns.at.size(); j++) cells[static_cast<size_t>(columns.at[j])] = row[py::int_(j)];
        rows.append(cells);
    }
    return finish_frame(pandas, r, columns, rows);
}

}  // namespace

py::object feature_table(Call &c, const Fe4tsArgs &a, PlacedRecords &r, bool derive, int threads) {
    MOVRA_AT(c);
    py::object pandas = c.global("pandas");
    if (!derive) return frame_of_records(pandas, r, a.unit);

    DerivedPlan plan(r, a.unit);
    plan_derived(c, a, r.periodic_keys, threads, plan);
    MOVRA_AT(c);
    const py::ssize_t W = r.rows;
    const double *records = r.floats ? py::cast<FloatTable>(r.floats).data() : nullptr;

    if (r.floats && !r.unit_at.empty() && plan.all_values() && !plan.replaces_record) {
        // One array: the records' and the unit columns, then the derived ones.
        FrameColumns columns(r, a.unit);
        FloatTable table = frame_cells(r, columns, records, plan.slots());
        compute_values(plan, records, table.mutable_data() + W * columns.size(), W);
        for (const DerivedColumn &d : plan.columns) columns.labels.append(d.name);
        return finish_frame(pandas, r, columns, table);
    }

    FloatTable computed({W, static_cast<py::ssize_t>(plan.slots())});
    if (plan.slots() > 0) compute_values(plan, records, computed.mutable_data(), W);
    py::object ftrs = frame_of_records(pandas, r, a.unit);
    return derived_over_frame(c, plan, ftrs, computed);
}

}  // namespace movra
