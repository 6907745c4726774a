// fe4ts: one row of features per observation window.
//
// For every window of `interval` it takes that unit's readings from `df`,
// orders them in time, cuts them to the window, hands the cut to this call's
// own extractor `fe` and labels the record with the unit.  The records become
// one frame, and derived ratios, spreads, sums and shares are added column by
// column.  Neither `df` nor `interval` is modified: every selection, the sort
// and every filter make new frames.
#include "../module/table.h"
#include "../native/decline.h"
#include "column_placement.h"
#include "fe4ts_derive.h"
#include "fe4ts_native.h"
#include "fe4ts_records.h"
#include "py_labels.h"

#include <algorithm>
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

// The window records, gathered and turned into a frame once.  The columns
// are those that appending the records one by one would give
// (ColumnPlacement).  The unit column holds the windows' own unit values,
// not the record's coerced copy of them.
class FeatureRows {
public:
    explicit FeatureRows(py::object unit) : unit_(unit), columns_(std::move(unit)) {}

    void add(py::handle record) {
        py::list keys = record.attr("index").attr("tolist")();
        std::string kind = py::str(record.attr("dtype").attr("kind"));
        if (kind.find_first_of("biuf") == std::string::npos) numeric_ = false;
        // Consecutive windows mostly produce the same labels.
        if (!last_keys_ || !truth(eq(keys, last_keys_))) {
            last_positions_ = columns_.place(keys, static_cast<int64_t>(rows_.size()));
            last_keys_ = keys;
        }
        rows_.push_back({last_positions_, record.attr("tolist")()});
    }

    bool empty() const { return rows_.empty(); }
    const std::vector<Introduction> &introductions() const { return columns_.introductions(); }

    py::object frame(py::handle pandas, py::handle unit_values) const {
        if (rows_.empty()) return pandas.attr("DataFrame")();
        const std::vector<py::object> &names = columns_.names();
        const std::vector<int> &unit_columns = columns_.unit_columns();

        std::vector<int> feature_of(names.size(), 0);
        for (int p : unit_columns) feature_of[p] = -1;
        py::list feature_columns;
        for (size_t p = 0; p < names.size(); ++p)
            if (feature_of[p] == 0) {
                feature_of[p] = static_cast<int>(py::len(feature_columns));
                feature_columns.append(names[p]);
            }

        py::float_ missing(std::nan(""));
        py::list table;
        for (const Row &r : rows_) {
            py::list cells(py::len(feature_columns));
            for (size_t k = 0; k < cells.size(); ++k) cells[k] = missing;
            for (size_t k = 0; k < r.positions.size(); ++k) {
                int to = feature_of[r.positions[k]];
                if (to >= 0) cells[to] = r.values[k];
            }
            table.append(cells);
        }
        py::object dtype = numeric_ ? py::object(py::str("float64")) : py::object(py::none());
        py::object ftrs = pandas.attr("DataFrame")(table, py::arg("columns") = feature_columns, py::arg("dtype") = dtype);
        std::vector<int> at(unit_columns);
        std::sort(at.begin(), at.end());
        for (int p : at) ftrs.attr("insert")(p, unit_, unit_values, py::arg("allow_duplicates") = true);
        return ftrs;
    }

private:
    struct Row {
        std::vector<int> positions;
        py::list values;
    };

    py::object unit_;
    ColumnPlacement<PyLabels> columns_;
    std::vector<Row> rows_;
    py::object last_keys_;
    std::vector<int> last_positions_;
    bool numeric_ = true;
};

// The pandas path: every window through pandas, one library call at a time.
RecordFrame fe4ts_pandas(Call &c, const Fe4tsArgs &a) {
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
    py::object tqdm = c.global("tqdm");
    const bool own_display = tqdm.is(tqdm_at_load());
    py::object progress = own_display ? progress_bar(tqdm, windows.rows(), windows.size()) : tqdm(windows.rows());
    py::list yielded_units;  // a rebound display's rows carry the unit values
    py::ssize_t position = 0;
    for (py::handle item : progress) {
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
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
    return RecordFrame{rows.frame(pandas, unit_values), rows.introductions()};
}

}  // namespace

RecordFrame fe4ts_records(Call &c, const Fe4tsArgs &a) {
    // The native kernel where it reproduces the pandas path, else the pandas path.
    std::string declined;
    RecordFrame records = fe4ts_native(c, a, declined);
    if (records.frame) return records;
    MOVRA_AT(c);
    native::warn_declined(native::Layer::Fe4ts, a.interval, declined);  // its windows
    return fe4ts_pandas(c, a);
}

py::object fe4ts(Call &c) {
    const Fe4tsArgs a(c);
    RecordFrame records = fe4ts_records(c, a);
    py::object out = fe4ts_derive(c, a, records.frame, records.threads);
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
