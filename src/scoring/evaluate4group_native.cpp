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

#include <cmath>
#include <unordered_map>

namespace movra {

namespace {

using native::require;

constexpr double kExact = 9007199254740992.0;  // 2**53

}  // namespace

py::object evaluate4group_native(Call &c) {
    py::object data = c.arg(0), group = c.arg(1), predict = c.arg(2), label = c.arg(3), k = c.arg(4);
    std::vector<py::object> hold;
    std::vector<int64_t> codes;
    const double *scores = nullptr, *labels = nullptr;
    int64_t groups = 0;
    std::unordered_map<int64_t, int64_t> flagged;
    py::object zero;  // the label column's sum type

    const bool taken = native::examined([&] {
        py::object pandas = c.global("pandas"), numpy = c.global("numpy");
        require(native::exact_type(data, pandas.attr("DataFrame")));
        auto is_label = [](py::handle o) { return PyUnicode_CheckExact(o.ptr()) || PyLong_CheckExact(o.ptr()); };
        py::object columns = data.attr("columns");
        require(truth(columns.attr("is_unique")) && is_label(group) && is_label(predict) && is_label(label));
        require(!truth(eq(group, predict)) && !truth(eq(group, label)) && !truth(eq(predict, label)));
        for (py::handle name : {py::handle(group), py::handle(predict), py::handle(label)})
            require(truth(columns.attr("__contains__")(name)));
        require(!truth(data.attr("index").attr("names").attr("__contains__")(group)));
        const Py_ssize_t n = static_cast<Py_ssize_t>(py::len(data));

        // Predictions: numbers that float64 holds exactly.
        int size = 0;
        py::object p = data[predict];
        const char pk = native::column_kind(numpy, pandas, p, size);
        require(pk == 'f' || pk == 'i' || pk == 'b' || (pk == 'u' && size <= 4));
        scores = native::buffer_of<double>(numpy, p, "float64", n, hold);
        if (pk == 'i' && n > 0) require(numpy.attr("abs")(p.attr("to_numpy")()).attr("max")().cast<double>() <= kExact);

        // Labels: integers, or floats of integral value, summing exactly.
        py::object l = data[label];
        const char lk = native::column_kind(numpy, pandas, l, size);
        require(lk == 'i' || lk == 'b' || (lk == 'u' && size <= 4) || (lk == 'f' && size == 8));
        labels = native::buffer_of<double>(numpy, l, "float64", n, hold);
        double magnitude = 0;
        for (Py_ssize_t r = 0; r < n; r++) {
            const double v = labels[r];
            if (std::isnan(v)) continue;
            require(v == std::floor(v));
            magnitude += std::fabs(v);
        }
        require(magnitude < kExact);
        zero = slice(l.attr("iloc"), py::int_(0), py::int_(0)).attr("sum")();

        // Groups: plain keys, coded; a missing key is in no group.
        py::object keys = data[group];
        const char gk = native::column_kind(numpy, pandas, keys, size);
        if (gk == 'O') {
            const std::string inferred = py::str(pandas.attr("api").attr("types").attr("infer_dtype")(keys));
            require(inferred == "string" || inferred == "integer");
        } else if (gk != 0) {
            require(gk == 'i' || gk == 'u' || gk == 'f' || gk == 'b');
        }
        py::object factorized = pandas.attr("factorize")(keys);
        py::object code_array = factorized[py::int_(0)];
        const int64_t *g = native::buffer_of<int64_t>(numpy, code_array, "int64", n, hold);
        codes.assign(g, g + n);
        groups = static_cast<int64_t>(py::len(factorized[py::int_(1)]));

        // How many rows a group of each size flags, as int(size * k) gives it.
        std::vector<int64_t> sizes(static_cast<size_t>(groups), 0);
        for (int64_t code : codes)
            if (code >= 0) sizes[static_cast<size_t>(code)]++;
        for (int64_t s : sizes) {
            if (flagged.count(s)) continue;
            py::object count = py::int_(py::int_(s) * k);
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(count.ptr(), &overflow);
            if (overflow != 0) v = overflow > 0 ? s : -s - 1;  // beyond the group either way
            flagged[s] = v;
        }
    });
    if (!taken) {
        native::warn_pandas_path(c, "evaluate4group", PyObject_Size(data.ptr()), 100000);
        if (PyErr_Occurred()) PyErr_Clear();
        return py::object();
    }

    MOVRA_AT(c);
    events::Scores s;
    s.rows = static_cast<int64_t>(codes.size());
    s.groups = groups;
    s.group = codes.data();
    s.predict = scores;
    s.label = labels;
    events::GroupCatch out;
    events::catch_by_group(s, [&](int64_t size) { return flagged.at(size); }, out);
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();

    // Groups whose flagged rows the sort decides are sorted by pandas.
    double caught = 0;
    int64_t hit = 0;
    for (int64_t g = 0; g < groups; g++) {
        double TP = out.caught[g];
        if (out.ambiguous[g]) {
            MOVRA_AT(c);
            py::list rows;
            for (int64_t r : out.rows[static_cast<size_t>(g)]) rows.append(py::int_(r));
            TP = evaluate4group_caught(c, data.attr("iloc")[rows]).cast<double>();
        }
        if (TP >= 1) {
            hit++;
            caught += TP;
        }
    }
    // The counts as the pandas path accumulates them: an int of groups, and
    // the label column's sum type once any group has caught something.
    py::object TP_individal = py::int_(0);
    if (hit > 0) {
        py::object total = py::isinstance<py::float_>(zero) ? py::object(py::float_(caught))
                                                            : py::object(py::int_(static_cast<long long>(caught)));
        TP_individal = TP_individal + (zero + total);
    }
    return evaluate4group_rates(c, py::int_(hit), TP_individal);
}

}  // namespace movra
