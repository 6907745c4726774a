// Merging tables' columns (merged_columns.h): Python's lists to the
// placement's merge and back.
#include "merged_columns.h"

#include "../features/column_placement.h"
#include "../features/py_label_index.h"

#include <cstdint>
#include <vector>

namespace movra {

py::tuple merged_columns(py::object unit, py::list tables) {
    std::vector<PlacedTable<py::object>> placed;
    for (py::handle item : tables) {
        py::tuple table = item.cast<py::tuple>();
        PlacedTable<py::object> t;
        for (py::handle label : table[0].cast<py::list>()) t.labels.push_back(py::reinterpret_borrow<py::object>(label));
        py::list windows = table[1].cast<py::list>(), positions = table[2].cast<py::list>();
        for (size_t i = 0; i < windows.size(); i++) {
            Introduction in{windows[i].cast<int64_t>(), {}};
            for (py::handle c : positions[i].cast<py::list>()) in.positions.push_back(c.cast<int>());
            t.introductions.push_back(std::move(in));
        }
        placed.push_back(std::move(t));
    }
    const MergedColumns<py::object> merged = merge_placed<PyLabelIndex>(unit, placed);
    py::list names, per_table, units;
    for (const py::object &name : merged.names) names.append(name);
    for (int u : merged.unit_columns) units.append(u);
    for (const auto &of_table : merged.columns) {
        py::list mapped;
        for (int c : of_table) mapped.append(c);
        per_table.append(mapped);
    }
    return py::make_tuple(names, per_table, units);
}

}  // namespace movra
