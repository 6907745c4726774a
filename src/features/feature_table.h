// The rule from window records to fe4ts's feature table, for every way of
// making the records: the pandas path, the native kernel and the Dask front
// end's assembly (through the companion module).
//
// The records arrive placed (column_placement.h): the feature columns'
// labels in column order, the places of the unit columns among all columns,
// and the cells, either float64 column by column or Python cells row by
// row.  A record that lacks a label holds NaN there.  The table is
//
//   1. the feature columns: float64, or the types pandas infers from the
//      Python cells, then any types the kernel gives them (retype);
//   2. the unit columns, inserted at their places (a label repeated);
//   3. the derived columns (derived_columns.h), in the order they are
//      first set: a column whose operands are not both present is None in
//      every row, one named like a record column replaces it where it
//      stands.
//
// When every derived column is computed on float64 values, the frame is
// built once from one array.
#pragma once

#include "../module/runtime.h"
#include "fe4ts_args.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace movra {

struct PlacedRecords {
    py::list labels;           // the feature columns' labels in order, the unit's left out
    std::vector<int> unit_at;  // the unit columns' places among all columns; empty: no records at all
    py::object unit_values;    // the unit column, one value per row
    py::ssize_t rows = 0;
    // The cells: a rows x labels float64 array in Fortran order, or, when
    // null, `cells`: one list of Python cells per row.
    py::object floats;
    py::list cells;
    // Per feature column of `floats`: 1 when the float64 column is the
    // frame's column as it is, 0 when retype gives it another type.
    std::vector<uint8_t> plain;
    // Gives the frame's feature columns the types of their cells; feature
    // column j is the frame's column at[j].
    std::function<void(py::handle ftrs, const std::vector<py::ssize_t> &at)> retype;
    py::object index;  // the table's index; null: 0, 1, 2, ...
    // Per periodic entry, its distinct values as the native call read them,
    // with the readings; empty: the derived columns read them from df.
    std::vector<py::object> periodic_keys;
};

// The feature table of the records; with `derive`, its derived columns too.
// Up to `threads` threads search the periodic columns for their values.
py::object feature_table(Call &c, const Fe4tsArgs &a, PlacedRecords &r, bool derive, int threads = 1);

}  // namespace movra
