// fe: the per-window extractor that fe4ts creates for each of its calls.
//
// From the readings of one unit inside one window it builds one record, a
// float Series keyed by feature name, in four blocks: period statistics
// (one group per entry of `tactic`), periodic profiles (one group per entry
// of `periodic`), lag differences (one group per entry of `lag`) and the
// window's span.  `lambda` aggregates one period with `aggfunc`; `lambda1`
// describes one profile group.  Both are new function objects per use and
// read `aggfunc` from fe's scope and `value` from fe4ts's scope through it.
#include "../module/table.h"
#include "feature_names.h"
#include "label_text.h"
#include "series_stats.h"

#include <vector>

namespace movra {

namespace {

namespace k = fe_kernel;

// The labels of fields first .. last-1 of the entry with this base.
py::list labels(const PyText &base, int first, int last) {
    std::vector<PyText> out;
    append_fields(base, first, last, out);
    py::list list;
    for (const PyText &label : out) list.append(label.o);
    return list;
}

py::list as_list(const std::vector<py::object> &values) {
    py::list out;
    for (const auto &v : values) out.append(v);
    return out;
}

// len(s[mask]): how many entries the element-wise mask selects.
py::int_ selected(py::handle s, py::handle mask) { return py::int_(py::len(s[mask])); }

// The shared reading-column name, read through fe's scope from fe4ts's.
py::object shared_value(py::handle fe_call) { return scope_get(scope_parent(fe_call), kValue); }

// frame.groupby(key) with the key column left in every group's sub-frame
// when it is the value column itself: grouping by the column's name hands
// the sub-frames over without it, and the anonymous functions read it.
py::object grouped(py::handle frame, py::handle key, py::handle value) {
    if (!py::reinterpret_borrow<py::object>(key).equal(value)) return frame.attr("groupby")(key);
    return frame.attr("groupby")(frame[key].attr("copy")());
}

// One call of fe: its arguments, its scope, and the record's blocks so far.
// The blocks are collected and joined once at the end: the same Series as
// appending them one by one, without copying the record at every step.
struct Extraction {
    Call &c;
    py::object df_, tactic, periodic, lag, del_t_maximin;
    py::object scope;
    py::list blocks;

    py::object series(py::handle values, py::handle index) const {
        return c.global("pandas").attr("Series")(values, py::arg("index") = index);
    }
    PyText value() const { return PyText(shared_value(scope)); }
};

// Period block: per tactic column, the nine statistics of the periods'
// aggregates and three counts; a column left without periods adds nothing.
void period_block(Extraction &x) {
    Call &c = x.c;
    for (py::handle t : x.tactic) {
        MOVRA_AT(c);
        py::object df_t = x.df_.attr("copy")();
        if (truth(x.del_t_maximin)) {
            // Every row holding the smallest or largest period is dropped.
            MOVRA_AT(c);
            py::object col = df_t[t];
            py::object keep = ne(col, col.attr("min")()) & ne(col, col.attr("max")());
            df_t = df_t[keep];
        }
        MOVRA_AT(c);
        py::object aggregate = c.make_nested(lambda_entry, x.scope);
        df_t = grouped(df_t, t, shared_value(x.scope)).attr("apply")(aggregate, py::arg("include_groups") = false);
        MOVRA_AT(c);
        if (!(py::len(df_t) > 0)) continue;

        MOVRA_AT(c);
        const PyText base = period_base(x.value(), PyText(py::reinterpret_borrow<py::object>(t)));
        x.blocks.append(x.series(as_list(nine_stats(df_t)), labels(base, 0, k::kStats)));
        MOVRA_AT(c);
        py::list counts;
        counts.append(selected(df_t, eq(df_t, py::int_(0))));
        counts.append(selected(df_t, df_t.attr("isnull")()));
        counts.append(py::int_(py::len(x.df_[t].attr("unique")())));
        x.blocks.append(x.series(counts, labels(base, k::Field::Nb0, k::Field::Nb + 1)));
    }
}

// Profile block: raw readings of the whole window, per distinct value.
void profile_block(Extraction &x) {
    Call &c = x.c;
    for (py::handle p : x.periodic) {
        MOVRA_AT(c);
        py::object describe = c.make_nested(lambda1_entry, x.scope);
        py::object df_p = grouped(x.df_, p, shared_value(x.scope)).attr("apply")(describe, py::arg("include_groups") = false);
        // A column missing in every reading forms no group: no entries.
        MOVRA_AT(c);
        if (!(py::len(df_p) > 0)) continue;
        MOVRA_AT(c);
        py::object flat = c.global("numpy").attr("concatenate")(df_p.attr("values"));
        std::vector<PyText> names;
        const PyText column(py::reinterpret_borrow<py::object>(p));
        for (py::handle i : df_p.attr("index"))
            append_fields(profile_base(x.value(), column, key_text(i)), 0, k::kStats, names);
        py::list index;
        for (const PyText &name : names) index.append(name.o);
        MOVRA_AT(c);
        x.blocks.append(x.series(flat, index));
    }
}

// Lag block: each reading against the reading l time units earlier.
void lag_block(Extraction &x) {
    Call &c = x.c;
    py::str underscore("_");
    for (py::handle l : x.lag) {
        MOVRA_AT(c);
        py::object value = shared_value(x.scope);
        py::object time = x.tactic[py::int_(0)];
        py::object shifted = time + underscore + str_of(l);
        set_item(x.df_, shifted, py::object(x.df_[time].attr("values")) - l);

        // The earlier readings, keyed by a time column whose name clashes
        // with nothing on the left: with the default suffixing the right time
        // column would be renamed time + "_1", the shifted column of a lag of
        // 1, and pandas refuses duplicate names.  Only the reading columns
        // are read from the join.
        MOVRA_AT(c);
        py::object columns = x.df_.attr("columns");
        py::str key("__movra_earlier_time__");
        while (truth(columns.attr("__contains__")(key))) key = py::str(key + underscore);
        py::list pair;
        pair.append(time);
        pair.append(value);
        py::dict rename;
        rename[time] = key;
        py::object earlier = x.df_[pair].attr("rename")(py::arg("columns") = rename);
        MOVRA_AT(c);
        py::object temp = c.global("pandas").attr("merge")(x.df_, earlier, py::arg("left_on") = shifted,
                                                           py::arg("right_on") = key, py::arg("how") = "left",
                                                           py::arg("suffixes") = py::make_tuple("", "_1"));
        py::object earlier_value = value + py::str("_1");
        MOVRA_AT(c);
        set_item(temp, py::str("diff"), py::object(temp[value]) - py::object(temp[earlier_value]));

        MOVRA_AT(c);
        py::object diff = temp[py::str("diff")];
        const PyText base = lag_base(PyText(value), key_text(l));
        x.blocks.append(x.series(as_list(nine_stats(diff)), labels(base, 0, k::kStats)));
        MOVRA_AT(c);
        py::list counts;
        counts.append(selected(temp, eq(diff, py::int_(0))));
        counts.append(selected(temp, diff.attr("isnull")()));
        counts.append(py::int_(py::len(temp)));
        x.blocks.append(x.series(counts, labels(base, k::Field::Nb0, k::Field::Nb + 1)));

        MOVRA_AT(c);
        py::list both;
        both.append(value);
        both.append(earlier_value);
        py::dict acor;
        py::object corr = temp[both].attr("corr")();
        acor[field_label(base, k::Field::Acor).o] = py::object(corr.attr("loc")[py::make_tuple(value, earlier_value)]);
        x.blocks.append(c.global("pandas").attr("Series")(acor));
    }
}

// Span block: first and last time of the whole window.
void span_block(Extraction &x) {
    MOVRA_AT(x.c);
    py::object times = x.df_[x.tactic[py::int_(0)]];
    std::vector<PyText> ends;
    append_span(x.value(), ends);
    py::dict span;
    span[ends[0].o] = times.attr("min")();
    span[ends[1].o] = times.attr("max")();
    x.blocks.append(x.c.global("pandas").attr("Series")(span));
}

}  // namespace

py::object fe4ts_fe(Call &c) {
    Extraction x{c, c.arg(0), c.arg(1), c.arg(2), c.arg(3), c.arg(4), py::object(), py::list()};
    py::object aggfunc = c.arg(5);

    // fe's own scope: `aggfunc` for the anonymous functions, linked to the
    // scope of the fe4ts call that made this fe (for `value`).
    x.scope = new_scope(fe_scope, c.scope());
    scope_set(x.scope, kAggfunc, aggfunc);

    MOVRA_AT(c);
    py::object f = c.global("pandas").attr("Series")(py::arg("dtype") = "float64");
    MOVRA_AT(c);
    if (!(py::len(x.df_) > 0)) return f;

    // Each block's extraction, by Block, run in the record's block order.
    static void (*const extract[])(Extraction &) = {period_block, profile_block, lag_block, span_block};
    for (Block b : kBlockOrder) extract[static_cast<int>(b)](x);
    MOVRA_AT(c);
    return c.global("pandas").attr("concat")(x.blocks);
}

// lambda: the aggregate of one period's readings.
py::object fe_lambda(Call &c) {
    py::object x = c.arg(0);
    MOVRA_AT(c);
    py::object aggfunc = scope_get(c.scope(), kAggfunc);
    return aggfunc(x[shared_value(c.scope())]);
}

// lambda1: the nine statistics of one profile group's readings.
py::object fe_lambda1(Call &c) {
    py::object x = c.arg(0);
    MOVRA_AT(c);
    py::object readings = x[shared_value(c.scope())];
    MOVRA_AT(c);
    py::tuple out(k::kStats);
    std::vector<py::object> stats = nine_stats(readings);
    for (size_t k = 0; k < stats.size(); ++k) out[k] = stats[k];
    return out;
}

namespace {
const char *const fe_parameters[] = {"df_", "tactic", "periodic", "lag", "del_t_maximin", "aggfunc"};
const char *const fe_locals[] = {"stats", "nb", "f", "t", "df_t", "p", "df_p", "l", "temp", "i", "ii"};
const FunctionEntry *const fe_creates[] = {&lambda_entry, &lambda1_entry};
}  // namespace

extern const FunctionEntry lambda_entry = MOVRA_ANONYMOUS_FUNCTION(
    "lambda", "fe4ts.<locals>.fe.<locals>.<lambda>", "movra.fe4ts.fe.lambda", fe_lambda);
extern const FunctionEntry lambda1_entry = MOVRA_ANONYMOUS_FUNCTION(
    "lambda1", "fe4ts.<locals>.fe.<locals>.<lambda>", "movra.fe4ts.fe.lambda1", fe_lambda1);

extern const FunctionEntry fe_entry =
    MOVRA_NESTED_FUNCTION("fe", "fe4ts.<locals>.fe", "movra.fe4ts.fe", fe4ts_fe)
        .parameters(fe_parameters)
        .locals(fe_locals)
        .creates(fe_creates);

}  // namespace movra
