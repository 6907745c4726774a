// Rows of one fe4ts table from its partitions' records (assembled_rows.h).
#include "assembled_rows.h"

#include <pybind11/numpy.h>

#include <cmath>
#include <vector>

namespace movra {

bool float_records(py::handle records, py::handle unit) {
    py::object float64 = py::module_::import("numpy").attr("dtype")("float64");
    py::list labels = records.attr("columns").attr("tolist")();
    py::list dtypes = records.attr("dtypes").attr("tolist")();
    for (size_t j = 0; j < labels.size(); j++) {
        bool is_unit = false;
        try {
            is_unit = truth(eq(labels[j], unit));
        } catch (py::error_already_set &e) {
            drop_failure(e);  // a label that does not compare is not the unit's
        }
        if (!is_unit && !truth(eq(dtypes[j], float64))) return false;
    }
    return true;
}

PlacedRecords assembled_rows(py::list parts, py::list labels, py::list unit_columns, py::object unit,
                             py::object units, py::ssize_t start, py::ssize_t stop) {
    PlacedRecords out;
    const py::ssize_t W = stop - start;
    out.rows = W;
    for (py::handle u : unit_columns) out.unit_at.push_back(u.cast<int>());
    std::sort(out.unit_at.begin(), out.unit_at.end());
    // Each column of the whole table's place among its feature columns.
    std::vector<int> feature_of(labels.size(), 0);
    for (int p : out.unit_at) feature_of[static_cast<size_t>(p)] = -1;
    for (size_t p = 0; p < labels.size(); p++)
        if (feature_of[p] == 0) {
            feature_of[p] = static_cast<int>(out.labels.size());
            out.labels.append(labels[p]);
        }
    const py::ssize_t C = static_cast<py::ssize_t>(out.labels.size());
    out.unit_values = slice(units.attr("iloc"), py::int_(start), py::int_(stop)).attr("reset_index")(py::arg("drop") = true);
    out.index = py::module_::import("pandas").attr("RangeIndex")(start, stop);

    bool floats = true;
    for (py::handle part : parts) floats = floats && float_records(part.cast<py::tuple>()[0], unit);
    py::array_t<double, py::array::f_style> table({W, floats ? C : py::ssize_t(0)});
    std::vector<std::vector<py::object>> cells;
    if (floats) std::fill(table.mutable_data(), table.mutable_data() + W * C, std::nan(""));
    else cells.assign(static_cast<size_t>(W), std::vector<py::object>(static_cast<size_t>(C), py::float_(std::nan(""))));

    for (py::handle part : parts) {
        py::tuple p = part.cast<py::tuple>();
        py::object records = p[0];
        auto windows = py::array_t<int64_t, py::array::c_style | py::array::forcecast>::ensure(p[1]);
        if (!windows) throw py::error_already_set();
        py::list slots = p[2];
        std::vector<py::ssize_t> rows;  // the part's rows among start .. stop-1
        for (py::ssize_t r = 0; r < windows.size(); r++)
            if (windows.data()[r] >= start && windows.data()[r] < stop) rows.push_back(r);
        if (rows.empty()) continue;
        for (size_t j = 0; j < slots.size(); j++) {
            const int to = feature_of[slots[j].cast<size_t>()];
            if (to < 0) continue;
            py::object column = records.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), j)];
            if (floats) {
                auto values = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
                    column.attr("to_numpy")(py::arg("dtype") = "float64"));
                if (!values) throw py::error_already_set();
                double *into = table.mutable_data() + to * W;
                for (py::ssize_t r : rows) into[windows.data()[r] - start] = values.data()[r];
            } else {
                py::list values = column.attr("astype")("object").attr("tolist")();
                for (py::ssize_t r : rows)
                    cells[static_cast<size_t>(windows.data()[r] - start)][static_cast<size_t>(to)] = values[static_cast<size_t>(r)];
            }
        }
    }
    if (floats) {
        out.floats = std::move(table);
    } else {
        for (const auto &row : cells) {
            py::list list;
            for (const py::object &cell : row) list.append(cell);
            out.cells.append(list);
        }
    }
    return out;
}

}  // namespace movra
