// fe4ts: one row of features per observation window.
//
// For every window of `interval` it takes that unit's readings from `df`,
// orders them in time, cuts them to the window, hands the cut to this call's
// own extractor `fe` and labels the record with the unit.  The records become
// one frame, and derived ratios, spreads, sums and shares are added column by
// column.  Neither `df` nor `interval` is modified: every selection, the sort
// and every filter make new frames.
#include "../module/progress.h"
#include "../module/table.h"
#include "../native/interrupts.h"
#include "column_placement.h"
#include "feature_table.h"
#include "fe4ts_native.h"
#include "fe4ts_records.h"
#include "py_label_index.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <memory>
#include <cmath>
#include <string>
#include <vector>

namespace movra {

namespace {

// The windows of `interval`.  The loop receives the rows that the progress
// display yields.  When that is the progress-bar class loaded with the
// module, which yields every row unchanged and in order, row i is window i
// and its values are read column by column: a row read through iterrows is
// one Series of a single dtype, so one missing value in a numeric table
// would turn every count into a float and every unit identifier into 1.0;
// reading each value from its own column keeps its type.  Any other
// progress display may drop, reorder or change rows, so the row it yields
// is read as it is.  A label counts as present when it is a column (a
// label of the yielded row); reading an absent one fails as reading it from
// the row would.
class WindowTable {
public:
    explicit WindowTable(py::object interval) : interval_(std::move(interval)), columns_(interval_.attr("columns")) {}

    py::ssize_t size() const { return static_cast<py::ssize_t>(py::len(interval_)); }
    py::object rows() const { return interval_.attr("iterrows")(); }

    // The window to read next: position i of the table, or a yielded row.
    void at(py::ssize_t i) {
        i_ = i;
        row_ = py::object();
    }
    void at(py::object row) { row_ = std::move(row); }

    bool has(py::handle label) const {
        if (row_) return truth(row_.attr("index").attr("__contains__")(label));
        return has_column(label);
    }
    bool has_column(py::handle label) const { return truth(columns_.attr("__contains__")(label)); }

    // row[label]
    py::object item(py::handle label) {
        if (!row_ && has_column(label)) return column(label)[py::int_(i_)];
        return row()[label];
    }
    // row.LABEL
    py::object attr(const char *label) {
        py::handle name = interned(label);
        if (!row_ && has_column(name)) return column(name)[py::int_(i_)];
        return row().attr(name);
    }
    // The column itself, in window order under a fresh index, with its dtype.
    py::object values(py::handle label) const {
        return interval_[label].attr("reset_index")(py::arg("drop") = true);
    }

private:
    py::object column(py::handle label) {
        if (!cache_.contains(label)) cache_[label] = interval_[label].attr("tolist")();
        return cache_[label];
    }
    py::object row() const { return row_ ? row_ : py::object(interval_.attr("iloc")[py::int_(i_)]); }

    py::object interval_;
    py::object columns_;
    py::dict cache_;
    py::ssize_t i_ = 0;
    py::object row_;
};

// The readings of the current window: the unit's rows, ordered by the time
// column tactic[0], then cut by whichever window columns are present, each
// filter working on what the one before left.  Time bounds are inclusive.
py::object window_readings(Call &c, py::handle df, py::handle unit, py::handle tactic, WindowTable &w) {
    MOVRA_AT(c);
    py::object df_ = df[eq(df[unit], w.item(unit))];
    MOVRA_AT(c);
    py::object time = tactic[py::int_(0)];
    df_ = df_.attr("sort_values")(time);

    auto keep = [&](py::object mask) { df_ = df_[mask]; };
    MOVRA_AT(c);
    if (w.has(interned("START"))) keep(ge(df_[time], w.attr("START")));
    MOVRA_AT(c);
    if (w.has(interned("END"))) keep(le(df_[time], w.attr("END")));
    MOVRA_AT(c);
    if (w.has(interned("FORWARD_T"))) {
        py::object end = w.attr("END");
        keep(ge(df_[time], end - w.attr("FORWARD_T")));
    }
    MOVRA_AT(c);
    if (w.has(interned("BACKWARD_T"))) {
        py::object start = w.attr("START");
        keep(ge(df_[time], start + w.attr("BACKWARD_T")));
    }
    // Count bounds are positional: the last FORWARD_R, then the first BACKWARD_R.
    MOVRA_AT(c);
    if (w.has(interned("FORWARD_R"))) df_ = slice(df_.attr("iloc"), neg(w.attr("FORWARD_R")), py::handle());
    MOVRA_AT(c);
    if (w.has(interned("BACKWARD_R"))) df_ = slice(df_.attr("iloc"), py::handle(), w.attr("BACKWARD_R"));
    return df_;
}

// The window records, gathered and placed once.  The columns are those
// that appending the records one by one would give (ColumnPlacement).  The
// unit column holds the windows' own unit values, not the record's coerced
// copy of them.  Records that are all numbers give float64 columns; any
// other record leaves the columns' types to pandas' inference over cells.
class FeatureRows {
public:
    explicit FeatureRows(py::object unit) : columns_(std::move(unit)) {}

    void add(py::handle record) {
        py::list keys = record.attr("index").attr("tolist")();
        std::string kind = py::str(record.attr("dtype").attr("kind"));
        if (kind.find_first_of("biuf") == std::string::npos) numeric_ = false;
        // Consecutive windows mostly produce the same labels.
        if (!last_keys_ || !truth(eq(keys, last_keys_))) {
            last_positions_ = columns_.place(keys, static_cast<int64_t>(rows_.size()));
            last_keys_ = keys;
        }
        rows_.push_back({last_positions_, py::reinterpret_borrow<py::object>(record)});
    }

    bool empty() const { return rows_.empty(); }
    const std::vector<Introduction> &introductions() const { return columns_.introductions(); }

    std::unique_ptr<PlacedRecords> placed(py::object unit_values) const {
        auto out = std::make_unique<PlacedRecords>();
        out->unit_values = std::move(unit_values);
        out->rows = static_cast<py::ssize_t>(rows_.size());
        if (rows_.empty()) return out;
        const std::vector<py::object> &names = columns_.names();
        out->unit_at = columns_.unit_columns();
        std::sort(out->unit_at.begin(), out->unit_at.end());

        // Each column's place among the feature columns (-1: a unit column).
        std::vector<int> feature_of(names.size(), 0);
        for (int p : out->unit_at) feature_of[static_cast<size_t>(p)] = -1;
        for (size_t p = 0; p < names.size(); ++p)
            if (feature_of[p] == 0) {
                feature_of[p] = static_cast<int>(out->labels.size());
                out->labels.append(names[p]);
            }
        const py::ssize_t W = out->rows, C = static_cast<py::ssize_t>(out->labels.size());
        if (numeric_) {
            py::array_t<double, py::array::f_style> table({W, C});
            double *cells = table.mutable_data();
            std::fill(cells, cells + W * C, std::nan(""));
            for (py::ssize_t w = 0; w < W; ++w) {
                const Row &r = rows_[static_cast<size_t>(w)];
                auto values = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
                    r.record.attr("to_numpy")(py::arg("dtype") = "float64", py::arg("na_value") = std::nan("")));
                if (!values) throw py::error_already_set();
                const double *v = values.data();
                for (size_t k = 0; k < r.positions.size(); ++k) {
                    const int to = feature_of[static_cast<size_t>(r.positions[k])];
                    if (to >= 0) cells[to * W + w] = v[k];
                }
            }
            out->floats = std::move(table);
            return out;
        }
        py::float_ missing(std::nan(""));
        for (const Row &r : rows_) {
            py::list values = r.record.attr("tolist")();
            py::list cells(C);
            for (py::ssize_t k = 0; k < C; ++k) cells[static_cast<size_t>(k)] = missing;
            for (size_t k = 0; k < r.positions.size(); ++k) {
                const int to = feature_of[static_cast<size_t>(r.positions[k])];
                if (to >= 0) cells[static_cast<size_t>(to)] = values[k];
            }
            out->cells.append(cells);
        }
        return out;
    }

private:
    struct Row {
        std::vector<int> positions;
        py::object record;
    };

    ColumnPlacement<PyLabelIndex> columns_;
    std::vector<Row> rows_;
    py::object last_keys_;
    std::vector<int> last_positions_;
    bool numeric_ = true;
};

// The pandas path: every window through pandas, one library call at a time.
WindowRecords fe4ts_pandas(Call &c, const Fe4tsArgs &a) {
    const py::object &df = a.df, &unit = a.unit, &tactic = a.tactic, &periodic = a.periodic, &lag = a.lag;
    const py::object &value = a.value, &interval = a.interval, &del_t_maximin = a.del_t_maximin, &aggfunc = a.aggfunc;

    // This call's extractor, sharing `value` through the call's scope.
    MOVRA_AT(c);
    py::object scope = new_scope(fe4ts_scope);
    scope_set(scope, kValue, value);
    py::object fe = c.make_nested(fe_entry, scope);

    // One record per window row that the progress display yields.
    MOVRA_AT(c);
    WindowTable windows(interval);
    FeatureRows rows(unit);
    const ProgressDisplay display(c);
    const bool own_display = display.own();
    py::object progress = display.over(windows.rows(), [&] { return windows.size(); }, kFe4tsProgress);
    py::list yielded_units;  // a rebound display's rows carry the unit values
    py::ssize_t position = 0;
    for (py::handle item : progress) {
        check_interrupts();
        MOVRA_AT(c);
        if (own_display) {
            windows.at(position++);
        } else {
            windows.at(unpack2(item).second);
            yielded_units.append(windows.item(unit));
        }
        py::object df_ = window_readings(c, df, unit, tactic, windows);
        MOVRA_AT(c);
        py::object ftr = fe(df_, tactic, periodic, lag, del_t_maximin, aggfunc);
        rows.add(ftr);
    }
    MOVRA_AT(c);
    py::object pandas = c.global("pandas");
    py::object unit_values;
    if (rows.empty())
        unit_values = py::none();
    else if (own_display)
        unit_values = windows.values(unit);
    else
        unit_values = pandas.attr("Series")(yielded_units);
    WindowRecords out;
    out.records = rows.placed(unit_values);
    out.introductions = rows.introductions();
    return out;
}

}  // namespace

WindowRecords fe4ts_records(Call &c, const Fe4tsArgs &a) {
    // The native kernel where it reproduces the pandas path, else the pandas path.
    return fe4ts_native(c, a, fe4ts_pandas);
}

py::object fe4ts(Call &c) {
    const Fe4tsArgs a(c);
    WindowRecords records = fe4ts_records(c, a);
    py::object out = feature_table(c, a, *records.records, true, records.threads);
    if (records.profile) {
        records.profile->lap("derived columns");
        records.profile->write();
    }
    return out;
}

namespace {
const char *const fe4ts_parameters[] = {"df", "unit", "tactic", "periodic", "lag",
                                        "value", "interval", "del_t_maximin", "aggfunc"};
const char *const fe4ts_locals[] = {"fe", "fe", "ftrs", "index", "row", "df_", "ftr", "t", "p", "i", "l"};
py::tuple fe4ts_defaults() { return py::make_tuple(false); }
const int fe4ts_tables[] = {0, 6};  // df, interval
const FunctionEntry *const fe4ts_creates[] = {&fe_entry};
}  // namespace

// The default of `aggfunc` is numpy.nansum as it was at load.
extern const FunctionEntry fe4ts_entry = MOVRA_MODULE_FUNCTION(fe4ts)
                                             .parameters(fe4ts_parameters)
                                             .locals(fe4ts_locals)
                                             .defaults(fe4ts_defaults)
                                             .numpy_default("nansum")
                                             .tables(fe4ts_tables)
                                             .creates(fe4ts_creates);

}  // namespace movra
