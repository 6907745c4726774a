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
#include "series_stats.h"

#include <vector>

namespace movra {

namespace {

namespace k = fe_kernel;

// A piece of a label as a str.
py::object text(const char *piece) { return py::reinterpret_borrow<py::object>(interned(piece)); }

// prefix + the name of field f: one label.
py::object label(py::handle prefix, int f) { return prefix + text(kFieldNames[f]); }

// The labels of fields `first` to before `last`: the labels of one group.
py::list labels(py::handle prefix, int first, int last) {
    py::list out;
    for (int f = first; f < last; f++) out.append(label(prefix, f));
    return out;
}
py::list stat_labels(py::handle prefix) { return labels(prefix, 0, k::kStats); }
py::list count_labels(py::handle prefix) { return labels(prefix, k::Field::Nb0, k::Field::Nb + 1); }

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

}  // namespace

py::object fe4ts_fe(Call &c) {
    py::object df_ = c.arg(0), tactic = c.arg(1), periodic = c.arg(2), lag = c.arg(3);
    py::object del_t_maximin = c.arg(4), aggfunc = c.arg(5);

    // fe's own scope: `aggfunc` for the anonymous functions, linked to the
    // scope of the fe4ts call that made this fe (for `value`).
    py::object scope = new_scope(fe_scope, c.scope());
    scope_set(scope, kAggfunc, aggfunc);

    MOVRA_AT(c);
    py::object f = c.global("pandas").attr("Series")(py::arg("dtype") = "float64");
    MOVRA_AT(c);
    if (!(py::len(df_) > 0)) return f;

    // The blocks are collected and joined once at the end: the same Series as
    // appending them one by one, without copying the record at every step.
    py::list blocks;
    py::str underscore("_");

    // Period block.
    for (py::handle t : tactic) {
        MOVRA_AT(c);
        py::object df_t = df_.attr("copy")();
        if (truth(del_t_maximin)) {
            // Every row holding the smallest or largest period is dropped.
            MOVRA_AT(c);
            py::object col = df_t[t];
            py::object keep = ne(col, col.attr("min")()) & ne(col, col.attr("max")());
            df_t = df_t[keep];
        }
        MOVRA_AT(c);
        py::object aggregate = c.make_nested(lambda_entry, scope);
        df_t = grouped(df_t, t, shared_value(scope)).attr("apply")(aggregate, py::arg("include_groups") = false);
        MOVRA_AT(c);
        if (!(py::len(df_t) > 0)) continue;

        MOVRA_AT(c);
        py::object prefix = shared_value(scope) + underscore + t + underscore;
        blocks.append(c.global("pandas").attr("Series")(as_list(nine_stats(df_t)), py::arg("index") = stat_labels(prefix)));
        MOVRA_AT(c);
        py::list counts;
        counts.append(selected(df_t, eq(df_t, py::int_(0))));
        counts.append(selected(df_t, df_t.attr("isnull")()));
        counts.append(py::int_(py::len(df_[t].attr("unique")())));
        blocks.append(c.global("pandas").attr("Series")(counts, py::arg("index") = count_labels(prefix)));
    }

    // Profile block: raw readings of the whole window, per distinct value.
    for (py::handle p : periodic) {
        MOVRA_AT(c);
        py::object describe = c.make_nested(lambda1_entry, scope);
        py::object df_p = grouped(df_, p, shared_value(scope)).attr("apply")(describe, py::arg("include_groups") = false);
        // A column missing in every reading forms no group: no entries.
        MOVRA_AT(c);
        if (!(py::len(df_p) > 0)) continue;
        MOVRA_AT(c);
        py::object flat = c.global("numpy").attr("concatenate")(df_p.attr("values"));
        py::list names;
        for (py::handle i : df_p.attr("index")) {
            py::object prefix = shared_value(scope) + underscore + p + underscore + str_of(i) + underscore;
            for (py::handle name : stat_labels(prefix)) names.append(name);
        }
        MOVRA_AT(c);
        blocks.append(c.global("pandas").attr("Series")(flat, py::arg("index") = names));
    }

    // Lag block: each reading against the reading l time units earlier.
    for (py::handle l : lag) {
        MOVRA_AT(c);
        py::object value = shared_value(scope);
        py::object time = tactic[py::int_(0)];
        py::object shifted = time + underscore + str_of(l);
        set_item(df_, shifted, py::object(df_[time].attr("values")) - l);

        // The earlier readings, keyed by a time column whose name clashes
        // with nothing on the left: with the default suffixing the right time
        // column would be renamed time + "_1", the shifted column of a lag of
        // 1, and pandas refuses duplicate names.  Only the reading columns
        // are read from the join.
        MOVRA_AT(c);
        py::object columns = df_.attr("columns");
        py::str key("__movra_earlier_time__");
        while (truth(columns.attr("__contains__")(key))) key = py::str(key + underscore);
        py::list pair;
        pair.append(time);
        pair.append(value);
        py::dict rename;
        rename[time] = key;
        py::object earlier = df_[pair].attr("rename")(py::arg("columns") = rename);
        MOVRA_AT(c);
        py::object temp = c.global("pandas").attr("merge")(df_, earlier, py::arg("left_on") = shifted, py::arg("right_on") = key,
                                              py::arg("how") = "left",
                                              py::arg("suffixes") = py::make_tuple("", "_1"));
        py::object earlier_value = value + py::str("_1");
        MOVRA_AT(c);
        set_item(temp, py::str("diff"), py::object(temp[value]) - py::object(temp[earlier_value]));

        MOVRA_AT(c);
        py::object diff = temp[py::str("diff")];
        py::object prefix = value + text(kDiffInfix) + str_of(l) + underscore;
        blocks.append(c.global("pandas").attr("Series")(as_list(nine_stats(diff)), py::arg("index") = stat_labels(prefix)));
        MOVRA_AT(c);
        py::list counts;
        counts.append(selected(temp, eq(diff, py::int_(0))));
        counts.append(selected(temp, diff.attr("isnull")()));
        counts.append(py::int_(py::len(temp)));
        blocks.append(c.global("pandas").attr("Series")(counts, py::arg("index") = count_labels(prefix)));

        MOVRA_AT(c);
        py::list both;
        both.append(value);
        both.append(earlier_value);
        py::dict acor;
        py::object corr = temp[both].attr("corr")();
        acor[label(prefix, k::Field::Acor)] = py::object(corr.attr("loc")[py::make_tuple(value, earlier_value)]);
        blocks.append(c.global("pandas").attr("Series")(acor));
    }

    // Span block: first and last time of the whole window.
    MOVRA_AT(c);
    py::object value = shared_value(scope);
    py::object times = df_[tactic[py::int_(0)]];
    py::dict span;
    span[value + text(kSpanSuffixes[0])] = times.attr("min")();
    span[value + text(kSpanSuffixes[1])] = times.attr("max")();
    blocks.append(c.global("pandas").attr("Series")(span));

    MOVRA_AT(c);
    return c.global("pandas").attr("concat")(blocks);
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
