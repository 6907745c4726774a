// Merging tables' columns: the rows that brought new columns to each table
// are placed again, in global window order, in one placement.  A window
// that brought no new column to its own table brought none to the whole,
// since its table's earlier windows come earlier in the whole too; so the
// placement ends with the columns that placing every window would give.
#include "merged_columns.h"

#include "../features/column_placement.h"
#include "../features/py_label_index.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace movra {

namespace {

struct Introduced {
    int64_t window;
    size_t table, at;  // the table and its introduction
};

}  // namespace

py::tuple merged_columns(py::object unit, py::list tables) {
    const size_t count = tables.size();
    std::vector<py::list> labels(count), positions(count);
    std::vector<Introduced> order;
    for (size_t t = 0; t < count; t++) {
        py::tuple table = tables[t].cast<py::tuple>();
        labels[t] = table[0].cast<py::list>();
        py::list windows = table[1].cast<py::list>();
        positions[t] = table[2].cast<py::list>();
        for (size_t i = 0; i < windows.size(); i++) order.push_back({windows[i].cast<int64_t>(), t, i});
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const Introduced &a, const Introduced &b) { return a.window < b.window; });

    ColumnPlacement<PyLabelIndex> placement(unit);
    std::vector<std::vector<int>> slots(count);
    for (size_t t = 0; t < count; t++) slots[t].assign(labels[t].size(), -1);
    for (const Introduced &i : order) {
        py::list columns = positions[i.table][i.at].cast<py::list>();
        py::list record;
        for (py::handle c : columns) record.append(labels[i.table][c]);
        const std::vector<int> at = placement.place(record, i.window);
        for (size_t j = 0; j < at.size(); j++) slots[i.table][columns[j].cast<size_t>()] = at[j];
    }

    // A table's column that no record's label placed is its unit column
    // (a table has columns only once it has rows, so then order has them).
    py::list names, per_table, units;
    for (const py::object &name : placement.names()) names.append(name);
    if (!order.empty())
        for (int u : placement.unit_columns()) units.append(u);
    for (auto &of_table : slots) {
        py::list mapped;
        for (int s : of_table) mapped.append(s < 0 ? units[0] : py::int_(s));
        per_table.append(mapped);
    }
    return py::make_tuple(names, per_table, units);
}

}  // namespace movra
