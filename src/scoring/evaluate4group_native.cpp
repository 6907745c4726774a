// evaluate4group on the native kernel.
//
// The pandas path sorts every group through pandas.  When the scores are
// ones the kernel ranks exactly, the groups are coded once and each is
// ranked in C++; only a group whose flagged rows depend on how the sort
// orders tied predictions (ties across the cut with different labels) is
// sorted by pandas, as on the pandas path.  The sums are exact: labels are
// integers (or integral floats) whose total stays within 2**53, so the
// order of addition cannot change them.
#include "../sequences/events_native.h"
#include "../sequences/kernel/event_kernels.h"
#include "evaluate4group.h"

#include "../module/table.h"
#include "../native/examine.h"
#include "../native/fallback.h"
#include "../native/scalars.h"

#include <cmath>
#include <cstring>
#include <unordered_map>

namespace movra {

namespace {

using native::Reason;

// The call, and what its steps find out about it.
struct Examination {
    explicit Examination(Call &call)
        : c(call), data(c.arg(0)), group(c.arg(1)), predict(c.arg(2)), label(c.arg(3)), k(c.arg(4)) {}

    Call &c;
    py::object data, group, predict, label, k, pandas, numpy;
    Py_ssize_t rows = 0;
    native::Holder hold;             // what the kernel's pointers point into
    const double *scores = nullptr;  // predictions_step
    const double *labels = nullptr;  // labels_step
    py::object zero;                 // ... the label column's sum type
    std::vector<int64_t> codes;      // groups_step: each row's group, -1 for none
    int64_t groups = 0;
    std::unordered_map<int64_t, int64_t> flagged;  // flagged_step: rows flagged by group size
};

Reason frame_step(Examination &x) {
    x.pandas = x.c.global("pandas");
    x.numpy = x.c.global("numpy");
    Reason r = native::frame_reason("data", x.data, x.pandas);
    if (r.empty())
        r = native::columns_reason("data", x.data, {{"group", x.group}, {"predict", x.predict}, {"label", x.label}});
    if (!r.empty()) return r;
    if (truth(x.data.attr("index").attr("names").attr("__contains__")(x.group)))
        return "group " + native::text_of(x.group) + " names both a column and an index level of data; rename one";
    x.rows = static_cast<Py_ssize_t>(py::len(x.data));
    return {};
}

// Predictions: numbers that float64 holds exactly.
Reason predictions_step(Examination &x) {
    py::object p = x.data[x.predict];
    const native::ColumnType t = native::type_of(x.pandas, x.numpy, p);
    if (!(t.numpy_kind("fib") || (t.numpy_kind("u") && t.size <= 4)))
        return native::described("the prediction column", x.predict, t) +
               " is not of numbers that float64 holds exactly; cast it to float64";
    x.scores = native::buffer_of<double>(x.numpy, p, "float64", x.rows, x.hold);
    if (t.kind == 'i' && x.rows > 0 &&
        x.numpy.attr("abs")(p.attr("to_numpy")()).attr("max")().cast<double>() > native::kExactInDouble)
        return native::described("the prediction column", x.predict, t) + " holds integers beyond 2**53";
    return {};
}

// Labels: integers, or floats of integral value, summing exactly.
Reason labels_step(Examination &x) {
    py::object l = x.data[x.label];
    const native::ColumnType t = native::type_of(x.pandas, x.numpy, l);
    auto what = [&] { return native::described("the label column", x.label, t); };
    if (!(t.numpy_kind("ib") || (t.numpy_kind("u") && t.size <= 4) || (t.numpy_kind("f") && t.size == 8)))
        return what() + " is not of integers, bool or float64; cast it to int64";
    x.labels = native::buffer_of<double>(x.numpy, l, "float64", x.rows, x.hold);
    double magnitude = 0;
    for (Py_ssize_t r = 0; r < x.rows; r++) {
        const double v = x.labels[r];
        if (std::isnan(v)) continue;
        if (v != std::floor(v)) return what() + " holds fractions, whose sums depend on the order of addition";
        magnitude += std::fabs(v);
    }
    if (!(magnitude < native::kExactInDouble)) return what() + " sums beyond 2**53, where float64 sums are inexact";
    x.zero = slice(l.attr("iloc"), py::int_(0), py::int_(0)).attr("sum")();
    return {};
}

// Groups: plain keys, coded; a missing key is in no group.
Reason groups_step(Examination &x) {
    const native::KeyRule numbers{[](const native::ColumnType &t) { return std::strchr("iufb", t.kind) != nullptr; },
                                  true};
    py::object keys = x.data[x.group];
    bool numeric = false;
    Reason r = native::key_column_reason(x.pandas, x.numpy, "the group column", x.group, keys, numbers, numeric);
    if (!r.empty()) return r;
    py::object factorized = x.pandas.attr("factorize")(keys);
    py::object code_array = factorized[py::int_(0)];
    const int64_t *g = native::buffer_of<int64_t>(x.numpy, code_array, "int64", x.rows, x.hold);
    x.codes.assign(g, g + x.rows);
    x.groups = static_cast<int64_t>(py::len(factorized[py::int_(1)]));
    return {};
}

// How many rows a group of each size flags, as int(size * k) gives it.
Reason flagged_step(Examination &x) {
    std::vector<int64_t> sizes(static_cast<size_t>(x.groups), 0);
    for (int64_t code : x.codes)
        if (code >= 0) sizes[static_cast<size_t>(code)]++;
    for (int64_t s : sizes) {
        if (x.flagged.count(s)) continue;
        py::object count = py::int_(py::int_(s) * x.k);
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(count.ptr(), &overflow);
        if (overflow != 0) v = overflow > 0 ? s : -s - 1;  // beyond the group either way
        x.flagged[s] = v;
    }
    return {};
}

using Step = Reason (*)(Examination &);
constexpr Step kSteps[] = {frame_step, predictions_step, labels_step, groups_step, flagged_step};

// The groups that caught something and the sum of what they caught.  A
// group whose flagged rows the sort decides is sorted by pandas.
struct Caught {
    int64_t hit = 0;
    double caught = 0;
};

Caught caught_by_groups(Call &c, Examination &x) {
    events::Scores s;
    s.rows = static_cast<int64_t>(x.codes.size());
    s.groups = x.groups;
    s.group = x.codes.data();
    s.predict = x.scores;
    s.label = x.labels;
    events::GroupCatch out;
    events::catch_by_group(s, [&](int64_t size) { return x.flagged.at(size); }, out);
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();

    Caught total;
    for (int64_t g = 0; g < x.groups; g++) {
        double TP = out.caught[g];
        if (out.ambiguous[g]) {
            MOVRA_AT(c);
            const std::vector<int64_t> &positions = out.rows[static_cast<size_t>(g)];
            TP = native::fall_back(native::Layer::Evaluate4group, static_cast<Py_ssize_t>(positions.size()),
                                   "a group's predictions tie across its cut with different labels, which only "
                                   "the pandas path's sort orders",
                                   [&] {
                                       py::list rows;
                                       for (int64_t r : positions) rows.append(py::int_(r));
                                       return evaluate4group_caught(c, x.data.attr("iloc")[rows]).cast<double>();
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
    Examination x(c);
    if (!native::kernel_takes(x, kSteps, native::Layer::Evaluate4group, x.data)) return py::object();
    MOVRA_AT(c);
    const Caught total = caught_by_groups(c, x);
    // The counts as the pandas path accumulates them: an int of groups, and
    // the label column's sum type once any group has caught something.
    py::object TP_individal = py::int_(0);
    if (total.hit > 0) {
        py::object sum = py::isinstance<py::float_>(x.zero)
                             ? py::object(py::float_(total.caught))
                             : py::object(py::int_(static_cast<long long>(total.caught)));
        TP_individal = TP_individal + (x.zero + sum);
    }
    return evaluate4group_rates(c, py::int_(total.hit), TP_individal);
}

}  // namespace movra
