// fe4ts: one row of features per observation window.
//
// For every window of `interval` it takes that unit's readings from `df`,
// orders them in time, cuts them to the window, hands the cut to this call's
// own extractor `fe` and labels the record with the unit.  The records become
// one frame, and derived ratios, spreads, sums and shares are added column by
// column.  Neither `df` nor `interval` is modified: every selection, the sort
// and every filter make new frames.
#include "../module/table.h"
#include "fe4ts_native.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace movra {

namespace {

// The windows of `interval`, read column by column.  A row read through
// iterrows is one Series of a single dtype: one missing value in a numeric
// table turns every count into a float and every unit identifier into
// 1.0.  Reading each value from its own column keeps its type.  A label
// counts as present when it is a column; reading an absent one fails as
// reading it from the row would.
class WindowTable {
public:
    explicit WindowTable(py::object interval) : interval_(std::move(interval)), columns_(interval_.attr("columns")) {}

    py::ssize_t size() const { return static_cast<py::ssize_t>(py::len(interval_)); }
    bool has(py::handle label) const { return truth(columns_.attr("__contains__")(label)); }

    // row[label]
    py::object item(py::handle label, py::ssize_t i) {
        if (has(label)) return column(label)[py::int_(i)];
        return row(i)[label];
    }
    // row.LABEL
    py::object attr(const char *label, py::ssize_t i) {
        py::handle name = interned(label);
        if (has(name)) return column(name)[py::int_(i)];
        return row(i).attr(name);
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
    py::object row(py::ssize_t i) const { return interval_.attr("iloc")[py::int_(i)]; }

    py::object interval_;
    py::object columns_;
    py::dict cache_;
};

// The readings of window i: the unit's rows, ordered by the time column
// tactic[0], then cut by whichever window columns are present, each filter
// working on what the one before left.  Time bounds are inclusive.
py::object window_readings(Call &c, py::handle df, py::handle unit, py::handle tactic, WindowTable &w,
                           py::ssize_t i) {
    MOVRA_AT(c);
    py::object df_ = df[eq(df[unit], w.item(unit, i))];
    MOVRA_AT(c);
    py::object time = tactic[py::int_(0)];
    df_ = df_.attr("sort_values")(time);

    auto keep = [&](py::object mask) { df_ = df_[mask]; };
    MOVRA_AT(c);
    if (w.has(interned("START"))) keep(ge(df_[time], w.attr("START", i)));
    MOVRA_AT(c);
    if (w.has(interned("END"))) keep(le(df_[time], w.attr("END", i)));
    MOVRA_AT(c);
    if (w.has(interned("FORWARD_T"))) {
        py::object end = w.attr("END", i);
        keep(ge(df_[time], end - w.attr("FORWARD_T", i)));
    }
    MOVRA_AT(c);
    if (w.has(interned("BACKWARD_T"))) {
        py::object start = w.attr("START", i);
        keep(ge(df_[time], start + w.attr("BACKWARD_T", i)));
    }
    // Count bounds are positional: the last FORWARD_R, then the first BACKWARD_R.
    MOVRA_AT(c);
    if (w.has(interned("FORWARD_R"))) df_ = slice(df_.attr("iloc"), neg(w.attr("FORWARD_R", i)), py::handle());
    MOVRA_AT(c);
    if (w.has(interned("BACKWARD_R"))) df_ = slice(df_.attr("iloc"), py::handle(), w.attr("BACKWARD_R", i));
    return df_;
}

// The window records, gathered and turned into a frame once.  The columns
// are those that appending the records one by one would give: the union of
// their keys in first-seen order, each record also carrying the unit key
// (at its end, unless the extractor made an entry of that name).  A label
// repeated within a record names as many columns.  The unit column holds
// the windows' own unit values, not the record's coerced copy of them.
class FeatureRows {
public:
    explicit FeatureRows(py::object unit) : unit_(std::move(unit)) {}

    void add(py::handle record) {
        py::list keys = record.attr("index").attr("tolist")();
        std::string kind = py::str(record.attr("dtype").attr("kind"));
        if (kind.find_first_of("biuf") == std::string::npos) numeric_ = false;
        // Consecutive windows mostly produce the same labels.
        if (!last_keys_ || !truth(eq(keys, last_keys_))) {
            last_positions_ = place(keys);
            last_keys_ = keys;
        }
        rows_.push_back({last_positions_, record.attr("tolist")()});
    }

    bool empty() const { return rows_.empty(); }

    py::object frame(py::handle pandas, py::handle unit_values) const {
        if (rows_.empty()) return pandas.attr("DataFrame")();
        const std::vector<int> &unit_columns = slots_[index_[unit_].cast<size_t>()];

        std::vector<int> feature_of(columns_.size(), 0);
        for (int p : unit_columns) feature_of[p] = -1;
        py::list feature_columns;
        for (size_t p = 0; p < columns_.size(); ++p)
            if (feature_of[p] == 0) {
                feature_of[p] = static_cast<int>(py::len(feature_columns));
                feature_columns.append(columns_[p]);
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

    // Columns for one record's keys, new ones appended in order.
    std::vector<int> place(const py::list &keys) {
        py::dict seen;  // occurrences of each key so far in this record
        std::vector<int> positions;
        for (py::handle key : keys) {
            int occurrence = seen.contains(key) ? seen[key].cast<int>() : 0;
            seen[key] = occurrence + 1;
            positions.push_back(slot(key, occurrence));
        }
        if (!seen.contains(unit_)) slot(unit_, 0);
        return positions;
    }

    // The column of the given occurrence of a label.
    int slot(py::handle key, int occurrence) {
        if (!index_.contains(key)) {
            index_[key] = py::int_(slots_.size());
            slots_.emplace_back();
        }
        std::vector<int> &columns = slots_[index_[key].cast<size_t>()];
        if (static_cast<int>(columns.size()) <= occurrence) {
            columns.push_back(static_cast<int>(columns_.size()));
            columns_.push_back(py::reinterpret_borrow<py::object>(key));
        }
        return columns[occurrence];
    }

    py::object unit_;
    py::dict index_;                       // label -> its entry in slots_
    std::vector<std::vector<int>> slots_;  // label's columns, by occurrence
    std::vector<py::object> columns_;      // labels in column order
    std::vector<Row> rows_;
    py::object last_keys_;
    std::vector<int> last_positions_;
    bool numeric_ = true;
};

// Derived columns of the feature table.  A column is computed when both
// operand columns exist (the first looked up first, the columns set so far
// included) and is None in every row otherwise.  New columns are gathered
// and joined once, in the order they were first set, rather than inserted
// one by one into an already wide frame.
class DerivedColumns {
public:
    explicit DerivedColumns(py::object ftrs) : ftrs_(std::move(ftrs)) {}

    template <typename Op>
    void derive(py::handle name, py::handle first, py::handle second, Op op) {
        if (has(first) && has(second))
            set(name, op(get(first), get(second)));
        else
            set(name, py::none());
    }

    py::object finish(py::handle pandas) {
        if (pending_.empty()) return ftrs_;
        py::object extra = pandas.attr("DataFrame")(pending_, py::arg("index") = ftrs_.attr("index"));
        if (py::len(ftrs_.attr("columns")) == 0) return extra;
        py::list both;
        both.append(ftrs_);
        both.append(extra);
        return pandas.attr("concat")(both, py::arg("axis") = 1);
    }

private:
    bool in_frame(py::handle label) const { return truth(ftrs_.attr("columns").attr("__contains__")(label)); }
    bool has(py::handle label) const { return pending_.contains(label) || in_frame(label); }
    py::object get(py::handle label) const {
        if (pending_.contains(label)) return pending_[label];
        return ftrs_[label];
    }
    void set(py::handle name, py::object value) {
        if (!pending_.contains(name) && in_frame(name))
            set_item(ftrs_, name, value);  // overwritten where it stands
        else
            pending_[name] = value;
    }

    py::object ftrs_;
    py::dict pending_;
};

py::object ratio(py::object a, py::object b) { return a / b; }
py::object spread(py::object a, py::object b) { return a - b; }
py::object total(py::object a, py::object b) { return a + b; }

py::object suffixed(py::handle base, const char *suffix) {
    return base + py::reinterpret_borrow<py::object>(interned(suffix));
}

// Ratio, spread and variation of a group of statistics named base + "_MIN" ...
void add_spreads(DerivedColumns &d, py::handle base) {
    auto n = [&](const char *suffix) { return suffixed(base, suffix); };
    d.derive(n("_MIN/MAX"), n("_MIN"), n("_MAX"), ratio);
    d.derive(n("_Q3-Q1"), n("_Q3"), n("_Q1"), spread);
    d.derive(n("_CV"), n("_STD"), n("_MEAN"), ratio);
}

// The pandas path: every window through pandas, one library call at a time.
py::object fe4ts_pandas(Call &c) {
    py::object df = c.arg(0), unit = c.arg(1), tactic = c.arg(2), periodic = c.arg(3), lag = c.arg(4);
    py::object value = c.arg(5), interval = c.arg(6), del_t_maximin = c.arg(7), aggfunc = c.arg(8);

    // This call's extractor, sharing `value` through the call's record.
    MOVRA_AT(c);
    py::object record = new_scope(fe4ts_scope);
    scope_set(record, kValue, value);
    py::object fe = c.make_nested(fe_entry, record);

    // One record per window, under a progress display on stderr.
    MOVRA_AT(c);
    WindowTable windows(interval);
    FeatureRows rows(unit);
    py::object progress = c.global("tqdm")(py::iter(c.builtin(Builtin::Range)(windows.size())));
    for (py::handle position : progress) {
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        py::ssize_t i = position.cast<py::ssize_t>();
        py::object df_ = window_readings(c, df, unit, tactic, windows, i);
        MOVRA_AT(c);
        py::object ftr = fe(df_, tactic, periodic, lag, del_t_maximin, aggfunc);
        rows.add(ftr);
    }
    MOVRA_AT(c);
    py::object pandas = c.global("pandas");
    py::object ftrs = rows.frame(pandas, rows.empty() ? py::object(py::none()) : windows.values(unit));
    return fe4ts_derive(c, ftrs);
}

}  // namespace

// Derived columns: per period column, per profile value, per lag.
py::object fe4ts_derive(Call &c, py::object ftrs) {
    py::object df = c.arg(0), tactic = c.arg(2), periodic = c.arg(3), lag = c.arg(4), value = c.arg(5);
    MOVRA_AT(c);
    py::object pandas = c.global("pandas");
    DerivedColumns derived(ftrs);
    py::str underscore("_");
    for (py::handle t : tactic) {
        MOVRA_AT(c);
        py::object x = value + underscore + t;
        auto n = [&](const char *suffix) { return suffixed(x, suffix); };
        add_spreads(derived, x);
        derived.derive(n("_NB_NA0"), n("_NB_NA"), n("_NB_0"), total);
        derived.derive(n("_NB_0/") + t + py::str("_NB"), n("_NB_0"), n("_NB"), ratio);
        derived.derive(n("_NB_NA/") + t + py::str("_NB"), n("_NB_NA"), n("_NB"), ratio);
        derived.derive(n("_NB_NA0/") + t + py::str("_NB"), n("_NB_NA0"), n("_NB"), ratio);
    }
    for (py::handle p : periodic) {
        MOVRA_AT(c);
        for (py::handle i : df[p].attr("unique")()) add_spreads(derived, value + underscore + p + underscore + str_of(i));
    }
    for (py::handle l : lag) {
        MOVRA_AT(c);
        add_spreads(derived, value + py::str("_DIFF_") + str_of(l));
    }
    MOVRA_AT(c);
    return derived.finish(pandas);
}

py::object fe4ts(Call &c) {
    // The native kernel where it reproduces the pandas path, else the pandas path.
    py::object ftrs = fe4ts_native(c);
    if (ftrs) return ftrs;
    return fe4ts_pandas(c);
}

namespace {
const char *const fe4ts_parameters[] = {"df", "unit", "tactic", "periodic", "lag",
                                        "value", "interval", "del_t_maximin", "aggfunc"};
const char *const fe4ts_locals[] = {"fe", "fe", "ftrs", "index", "row", "df_", "ftr", "t", "p", "i", "l"};
py::tuple fe4ts_defaults() { return py::make_tuple(false); }
const FunctionEntry *const fe4ts_creates[] = {&fe_entry};
}  // namespace

// The default of `aggfunc` is numpy.nansum as it was at load.
extern const FunctionEntry fe4ts_entry = MOVRA_MODULE_FUNCTION(fe4ts)
                                             .parameters(fe4ts_parameters)
                                             .locals(fe4ts_locals)
                                             .defaults(fe4ts_defaults)
                                             .numpy_default("nansum")
                                             .creates(fe4ts_creates);

}  // namespace movra
