// evaluate4group: per-group top-k hit rates of a model's predictions.
//
// Within each group only the first int(len(group) * k) rows by descending
// prediction count as flagged.  The result is (groups with a caught
// positive / groups holding a row labelled 1, positives caught / label
// sum).  Both are plain true divisions: a frame with no row labelled 1
// ends in the interpreter's ZeroDivisionError from the first one, before
// the second is computed.
//
// The native kernel counts the groups where it reproduces the pandas path
// (evaluate4group_native); the rates are computed here on both paths.
#include "evaluate4group.h"

#include "../module/table.h"
#include "evaluate4group_native.h"
#include "../native/interrupts.h"

namespace movra {

py::object evaluate4group_caught(Call &c, py::handle g) {
    py::object predict = c.arg(2), label = c.arg(3), k = c.arg(4);
    MOVRA_AT(c);
    py::object tmp = g.attr("sort_values")(py::arg("by") = predict, py::arg("ascending") = false);
    // int() of the scaled row count truncates toward zero: 19 rows at
    // k = 0.05 flag nothing, 20 rows flag one.
    MOVRA_AT(c);
    py::object n = py::int_(py::int_(py::len(tmp)) * k);
    MOVRA_AT(c);
    py::object head = slice(tmp[label].attr("iloc"), py::handle(), n);
    MOVRA_AT(c);
    return head.attr("sum")();
}

py::object evaluate4group_rates(Call &c, py::handle TP_group, py::handle TP_individal, const RateDenominators *read) {
    py::object data = c.arg(0), group = c.arg(1), label = c.arg(3);
    py::object n_groups = read ? read->groups : py::object();
    if (!read) {
        // Groups that hold at least one row labelled exactly 1.
        MOVRA_AT(c);
        py::object positives = data[eq(data[label], py::int_(1))];
        MOVRA_AT(c);
        n_groups = py::float_(py::int_(py::len(positives[group].attr("unique")())));
    }
    MOVRA_AT(c);
    py::object group_rate = py::reinterpret_borrow<py::object>(TP_group) / n_groups;

    py::object label_sum = read ? read->label_sum : py::object();
    if (!read) {
        MOVRA_AT(c);
        label_sum = py::float_(data[label].attr("sum")());
    }
    MOVRA_AT(c);
    py::object individual_rate = py::reinterpret_borrow<py::object>(TP_individal) / label_sum;

    return py::make_tuple(group_rate, individual_rate);
}

py::object evaluate4group(Call &c) {
    py::object native = evaluate4group_native(c);
    if (native) return native;

    py::object data = c.arg(0), group = c.arg(1);
    py::object TP_group = py::int_(0);
    py::object TP_individal = py::int_(0);

    MOVRA_AT(c);
    py::object groups = data.attr("groupby")(group);
    MOVRA_AT(c);
    py::iterator it = py::iter(groups);
    for (;;) {
        MOVRA_AT(c);
        check_interrupts();
        PyObject *item = PyIter_Next(it.ptr());
        if (item == nullptr) {
            if (PyErr_Occurred()) throw py::error_already_set();
            break;
        }
        py::object pair = py::reinterpret_steal<py::object>(item);
        auto [name, g] = unpack2(pair);
        (void)name;  // the group key is not needed, only its rows

        py::object TP = evaluate4group_caught(c, g);
        MOVRA_AT(c);
        if (truth(ge(TP, py::int_(1)))) {
            TP_group += py::int_(1);
            MOVRA_AT(c);
            TP_individal += TP;
        }
    }
    return evaluate4group_rates(c, TP_group, TP_individal);
}

namespace {
const char *const evaluate4group_parameters[] = {"data", "group", "predict", "label", "k"};
const int evaluate4group_tables[] = {0};  // data
const char *const evaluate4group_locals[] = {"TP_group", "TP_individal", "name", "g", "tmp", "TP"};
py::tuple evaluate4group_defaults() { return py::make_tuple("TG_NO", "predict", "label", 0.05); }
}  // namespace

extern const FunctionEntry evaluate4group_entry = MOVRA_MODULE_FUNCTION(evaluate4group)
                                                      .parameters(evaluate4group_parameters)
                                                      .locals(evaluate4group_locals)
                                                      .defaults(evaluate4group_defaults)
                                                      .tables(evaluate4group_tables);

}  // namespace movra
