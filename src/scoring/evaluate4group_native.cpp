// evaluate4group on the native kernel.
//
// The pandas path sorts every group through pandas.  When the scores are
// ones the kernel ranks exactly, the groups are coded once and each is
// ranked in C++; only a group whose flagged rows depend on how the sort
// orders tied predictions (ties across the cut with different labels) is
// sorted by pandas, as on the pandas path.  The sums are exact: labels are
// integers (or integral floats) whose total stays within 2**53, so the
// order of addition cannot change them.
//
// The steps first look the columns up, reading none of their values; then
// one step reads them all, and the kernel ranks the groups, with no Python
// code in between (a signal handler, which may rewrite the caller's arrays,
// runs only in Python code).  What the rest of the call needs of the frame
// is taken before any Python code runs again: the rows of the groups that
// pandas sorts and the rates' denominators.  Group keys of text are coded
// by pandas, which runs Python code.  Those of pandas' own text dtypes are
// coded as they are looked up: copy-on-write keeps the column looked up, as
// it keeps the arrays of the others.  An object column is numpy's, written
// in place by whoever holds it: with those keys, the one step copies the
// three columns (numpy's C code) and pandas codes the copy.
#include "evaluate4group_native.h"
#include "evaluate4group.h"

#include "../module/table.h"
#include "../native/columns.h"
#include "../native/examine.h"
#include "../native/fallback.h"
#include "../native/frames.h"
#include "../native/key_columns.h"
#include "../native/interrupts.h"
#include "../native/scalars.h"
#include "event_kernels.h"
#include "key_table.h"

#include <pybind11/numpy.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <unordered_map>
#include <unordered_set>

namespace movra {

namespace {

using native::Reason;

// The call being examined: its arguments and the libraries it runs on (the
// module's own bindings of pandas and numpy).
struct Context {
    explicit Context(const Call &c)
        : data(c.arg(0)), group(c.arg(1)), predict(c.arg(2)), label(c.arg(3)), k(c.arg(4)),
          pandas(c.global("pandas")), numpy(c.global("numpy")) {}
    py::object data, group, predict, label, k, pandas, numpy;
};

// A column looked up: its numpy array, of one value per row, and its type.
struct Column {
    py::array values;
    native::ColumnType type;
};

// labels_step: the label column, and its sum type.
struct Labels : Column {
    py::object zero;
};

// groups_step: the group keys as looked up.
struct GroupKeys {
    py::array values;  // numpy's keys: numbers, or (object_keys) objects
    bool numeric = false;
    // Keys of text as pandas codes them: a column of pandas' own text
    // dtypes as looked up, or (object_keys) read_step's copy of the column.
    py::object text;
    bool object_keys = false;
};

// Each row's group (-1 for none): keys of pandas' own text dtypes coded by
// groups_step, any other by read_step.
struct GroupCodes {
    std::vector<int64_t> codes;
    int64_t groups = 0;
};

// read_step: the scores and labels as the kernel reads them.
struct Readings {
    const double *scores = nullptr;
    const double *labels = nullptr;
};

// Everything the steps produce.
struct Examination {
    Py_ssize_t rows = 0;  // frame_step
    Column predictions;   // predictions_step
    Labels labels;
    GroupKeys keys;
    native::Holder hold;  // what the kernel's pointers point into
    GroupCodes codes;
    Readings read;
    std::unordered_map<int64_t, int64_t> flagged;  // flagged_step: rows flagged by group size
};

// A column's numpy array, one value per row, or why not.
Reason array_of(Py_ssize_t rows, const char *role, py::handle label, py::handle column, py::array &out) {
    py::object values = column.attr("to_numpy")();
    if (!py::isinstance<py::array>(values) || py::array(values).ndim() != 1 || py::len(values) != rows)
        return std::string(role) + " " + native::text_of(label) + " is not held as a numpy array of one value per row";
    out = py::reinterpret_borrow<py::array>(values);
    return {};
}

Reason frame_step(const Context &cx, Py_ssize_t &rows) {
    Reason r = native::frame_reason("data", cx.data, cx.pandas);
    if (r.empty())
        r = native::columns_reason("data", cx.data,
                                   {{"group", cx.group}, {"predict", cx.predict}, {"label", cx.label}});
    if (!r.empty()) return r;
    if (truth(cx.data.attr("index").attr("names").attr("__contains__")(cx.group)))
        return "group " + native::text_of(cx.group) + " names both a column and an index level of data; rename one";
    rows = static_cast<Py_ssize_t>(py::len(cx.data));
    return {};
}

// Predictions: numbers that float64 holds exactly.
Reason predictions_step(const Context &cx, Py_ssize_t rows, Column &out) {
    py::object p = cx.data[cx.predict];
    const native::ColumnType t = native::type_of(cx.pandas, cx.numpy, p);
    if (!(t.numpy_kind("fib") || (t.numpy_kind("u") && t.size <= 4)))
        return native::described("the prediction column", cx.predict, t) +
               " is not of numbers that float64 holds exactly; cast it to float64";
    out.type = t;
    return array_of(rows, "the prediction column", cx.predict, p, out.values);
}

// Labels: integers, or floats of integral value (read_step sees to that).
Reason labels_step(const Context &cx, Py_ssize_t rows, Labels &out) {
    py::object l = cx.data[cx.label];
    const native::ColumnType t = native::type_of(cx.pandas, cx.numpy, l);
    if (!(t.numpy_kind("ib") || (t.numpy_kind("u") && t.size <= 4) || (t.numpy_kind("f") && t.size == 8)))
        return native::described("the label column", cx.label, t) +
               " is not of integers, bool or float64; cast it to int64";
    out.type = t;
    out.zero = slice(l.attr("iloc"), py::int_(0), py::int_(0)).attr("sum")();
    return array_of(rows, "the label column", cx.label, l, out.values);
}

// Keys of text, as held, coded by pandas.
void code_text_keys(const Context &cx, Py_ssize_t rows, const GroupKeys &keys, native::Holder &hold,
                    GroupCodes &out) {
    py::object factorized = cx.pandas.attr("factorize")(keys.text);
    py::object code_array = factorized[py::int_(0)];
    const int64_t *g = native::buffer_of<int64_t>(cx.numpy, code_array, "int64", rows, hold);
    out.codes.assign(g, g + rows);
    out.groups = static_cast<int64_t>(py::len(factorized[py::int_(1)]));
}

// Groups: plain keys.  Keys of numbers and object columns are coded by
// read_step, keys of pandas' own text dtypes now.
Reason groups_step(const Context &cx, Py_ssize_t rows, GroupKeys &out, native::Holder &hold, GroupCodes &codes) {
    const native::KeyRule numbers{[](const native::ColumnType &t) { return std::strchr("iufb", t.kind) != nullptr; },
                                  true};
    py::object keys = cx.data[cx.group];
    bool numeric = false;
    Reason r = native::key_column_reason(cx.pandas, cx.numpy, "the group column", cx.group, keys, numbers, numeric);
    if (!r.empty()) return r;
    out.numeric = numeric;
    out.object_keys = !numeric && native::type_of(cx.pandas, cx.numpy, keys).numpy_kind("O");
    if (numeric || out.object_keys) return array_of(rows, "the group column", cx.group, keys, out.values);
    out.text = keys;
    code_text_keys(cx, rows, out, hold, codes);
    return {};
}

// `values` cast to T by numpy's C code (a view where it already is one),
// held by `hold`; null when numpy cannot.
template <class T>
const T *cast_values(const py::array &values, native::Holder &hold) {
    auto cast = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(values);
    if (!cast) return nullptr;
    const T *data = cast.data();
    hold.push_back(std::move(cast));
    return data;
}

// Codes of the distinct keys in order of first appearance, as pandas
// factorizes them: -1 for NaN, 0.0 equal to -0.0.
template <class T>
int64_t code_keys(const T *keys, Py_ssize_t n, std::vector<int64_t> &codes) {
    kernel::KeyTable<int64_t> table;
    codes.resize(static_cast<size_t>(n));
    for (Py_ssize_t r = 0; r < n; r++) {
        if constexpr (std::is_floating_point_v<T>) {
            if (std::isnan(keys[r])) {
                codes[r] = -1;  // missing, as factorize makes it
                continue;
            }
        }
        codes[r] = table.code(kernel::key_bits(keys[r]));
    }
    return table.size();
}

// An array's copy, by numpy's C code.
py::array copy_of(const py::array &values) {
    return py::reinterpret_steal<py::array>(values.attr("copy")().release());
}

// Every value the kernel reads, read here at once: no Python code runs from
// here to the end of the ranking, except pandas coding an object column of
// keys, which codes a copy taken here with the others.
Reason read_step(const Context &cx, Py_ssize_t rows, Column &predictions, Labels &labels, GroupKeys &keys,
                 native::Holder &hold, GroupCodes &codes, Readings &out) {
    if (keys.object_keys) {
        predictions.values = copy_of(predictions.values);
        labels.values = copy_of(labels.values);
        keys.text = copy_of(keys.values);
    }
    auto of_predictions = [&] { return native::described("the prediction column", cx.predict, predictions.type); };
    auto of_labels = [&] { return native::described("the label column", cx.label, labels.type); };
    if (predictions.type.kind == 'i') {
        const int64_t *p = cast_values<int64_t>(predictions.values, hold);
        if (p == nullptr) return of_predictions() + " could not be read as int64";
        for (Py_ssize_t r = 0; r < rows; r++)
            if (std::fabs(static_cast<double>(p[r])) > native::kExactInDouble)
                return of_predictions() + " holds integers beyond 2**53";
    }
    // The arrays themselves, not their Series, reach numpy: numpy's C code
    // converts them.
    out.scores = native::buffer_of<double>(cx.numpy, predictions.values, "float64", rows, hold);
    out.labels = native::buffer_of<double>(cx.numpy, labels.values, "float64", rows, hold);
    double magnitude = 0;
    for (Py_ssize_t r = 0; r < rows; r++) {
        const double v = out.labels[r];
        if (std::isnan(v)) continue;
        if (v != std::floor(v))
            return of_labels() + " holds fractions, whose sums depend on the order of addition";
        magnitude += std::fabs(v);
    }
    if (!(magnitude < native::kExactInDouble))
        return of_labels() + " sums beyond 2**53, where float64 sums are inexact";
    if (keys.object_keys) code_text_keys(cx, rows, keys, hold, codes);
    if (!keys.numeric) return {};
    const char kind = keys.values.dtype().kind();
    if (kind == 'f') {
        codes.groups = code_keys(native::buffer_of<double>(cx.numpy, keys.values, "float64", rows, hold), rows,
                                 codes.codes);
    } else {
        // Integers of any width and bool; uint64 wraps, one key to one key.
        codes.groups = code_keys(native::buffer_of<int64_t>(cx.numpy, keys.values, "int64", rows, hold), rows,
                                 codes.codes);
    }
    return {};
}

// How many rows a group of each size flags, as int(size * k) gives it.
Reason flagged_step(const Context &cx, const GroupCodes &codes, std::unordered_map<int64_t, int64_t> &flagged) {
    std::vector<int64_t> sizes(static_cast<size_t>(codes.groups), 0);
    for (int64_t code : codes.codes)
        if (code >= 0) sizes[static_cast<size_t>(code)]++;
    for (int64_t s : sizes) {
        if (flagged.count(s)) continue;
        py::object count = py::int_(py::int_(s) * cx.k);
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(count.ptr(), &overflow);
        if (overflow != 0) v = overflow > 0 ? s : -s - 1;  // beyond the group either way
        flagged[s] = v;
    }
    return {};
}

// The steps in order; the first reason ends the examination.
using Examined = native::Examined<Context, Examination>;
constexpr Examined::Step kSteps[] = {
    [](Examined &e) { return frame_step(e.context(), e.x.rows); },
    [](Examined &e) { return predictions_step(*e.cx, e.x.rows, e.x.predictions); },
    [](Examined &e) { return labels_step(*e.cx, e.x.rows, e.x.labels); },
    [](Examined &e) { return groups_step(*e.cx, e.x.rows, e.x.keys, e.x.hold, e.x.codes); },
    [](Examined &e) {
        Examination &x = e.x;
        return read_step(*e.cx, x.rows, x.predictions, x.labels, x.keys, x.hold, x.codes, x.read);
    },
    [](Examined &e) { return flagged_step(*e.cx, e.x.codes, e.x.flagged); },
};

// The groups that caught something and the sum of what they caught.  A
// group whose flagged rows the sort decides is sorted by pandas.
struct Caught {
    int64_t hit = 0;
    double caught = 0;
};

// What the call needs of the frame after the ranking, taken before any
// Python code runs: the rows of the groups pandas sorts (their predictions
// and labels, as the frame holds them) and the rates' denominators.
struct Taken {
    std::vector<py::object> predictions, labels;  // per group pandas sorts
    RateDenominators denominators;
    bool counted = false;
};

Taken taken_after_ranking(const Context &cx, const Examination &x, const events::GroupCatch &out) {
    const GroupCodes &codes = x.codes;
    Taken t;
    for (int64_t g = 0; g < codes.groups; g++) {
        if (!out.ambiguous[g]) continue;
        const std::vector<int64_t> &rows = out.rows[static_cast<size_t>(g)];
        const py::array_t<int64_t> at(static_cast<py::ssize_t>(rows.size()), rows.data());
        t.predictions.push_back(x.predictions.values.attr("take")(at));  // ndarray.take: C code
        t.labels.push_back(x.labels.values.attr("take")(at));
    }
    // The distinct groups among the rows labelled exactly 1 (NaN one of them),
    // and the label sum, missing labels left out: exact, as in float64.
    std::unordered_set<int64_t> positive;
    std::vector<int64_t> missing;  // rows labelled 1 whose key of text is missing
    double label_sum = 0;
    for (Py_ssize_t r = 0; r < x.rows; r++) {
        const double label = x.read.labels[r];
        if (label == 1) {
            if (codes.codes[r] < 0 && !x.keys.numeric)
                missing.push_back(r);
            else
                positive.insert(codes.codes[r]);
        }
        if (!std::isnan(label)) label_sum += label;
    }
    Py_ssize_t groups = static_cast<Py_ssize_t>(positive.size());
    if (!missing.empty()) {
        // Missing keys of text (None, NaN, NA) are distinct to unique(),
        // though coded alike: pandas counts those among the keys held.
        const py::array_t<int64_t> at(static_cast<py::ssize_t>(missing.size()), missing.data());
        groups += static_cast<Py_ssize_t>(py::len(cx.pandas.attr("unique")(x.keys.text.attr("take")(at))));
    }
    t.denominators.groups = py::float_(static_cast<double>(groups));
    // float() of the column's sum, of the column's sum type: a numpy float64
    // is a float already, and stays one.
    t.denominators.label_sum = py::float_(x.labels.zero.get_type()(py::float_(label_sum)));
    t.counted = true;
    return t;
}

Caught caught_by_groups(Call &c, const Context &cx, const Examination &x, Taken &taken) {
    const GroupCodes &codes = x.codes;
    events::Scores s;
    s.rows = static_cast<int64_t>(codes.codes.size());
    s.groups = codes.groups;
    s.group = codes.codes.data();
    s.predict = x.read.scores;
    s.label = x.read.labels;
    events::GroupCatch out;
    events::catch_by_group(s, [&](int64_t size) { return x.flagged.at(size); }, out);
    taken = taken_after_ranking(cx, x, out);
    check_interrupts();

    Caught total;
    size_t sorted = 0;
    for (int64_t g = 0; g < codes.groups; g++) {
        double TP = out.caught[g];
        if (out.ambiguous[g]) {
            MOVRA_AT(c);
            const size_t rows = out.rows[static_cast<size_t>(g)].size();
            const size_t i = sorted++;
            TP = native::fall_back(native::Layer::Evaluate4group, static_cast<Py_ssize_t>(rows),
                                   "a group's predictions tie across its cut with different labels, which only "
                                   "the pandas path's sort orders",
                                   [&] {
                                       py::dict columns;
                                       columns[cx.predict] = taken.predictions[i];
                                       columns[cx.label] = taken.labels[i];
                                       return evaluate4group_caught(c, cx.pandas.attr("DataFrame")(columns))
                                           .cast<double>();
                                   });
        }
        if (TP >= 1) {
            total.hit++;
            total.caught += TP;
        }
    }
    return total;
}

}  // namespace

py::object evaluate4group_native(Call &c) {
    Examined e(c);
    const py::object data = c.arg(0);
    if (!native::kernel_takes(e, kSteps, native::Layer::Evaluate4group, data)) return py::object();
    MOVRA_AT(c);
    Taken taken;
    const Caught total = caught_by_groups(c, *e.cx, e.x, taken);
    const py::object &zero = e.x.labels.zero;
    // The counts as the pandas path accumulates them: an int of groups, and
    // the label column's sum type once any group has caught something.
    py::object TP_individal = py::int_(0);
    if (total.hit > 0) {
        py::object sum = py::isinstance<py::float_>(zero)
                             ? py::object(py::float_(total.caught))
                             : py::object(py::int_(static_cast<long long>(total.caught)));
        TP_individal = TP_individal + (zero + sum);
    }
    return evaluate4group_rates(c, py::int_(total.hit), TP_individal, taken.counted ? &taken.denominators : nullptr);
}

}  // namespace movra
