// uet2ute: turns the unit-event-times table inside out.  Every time of
// every row becomes a (unit, time, kind) triple; the triples are regrouped
// on (unit, time) and each group reduced by `lambda2` to the list of its
// kinds, in collection order.
#include "../module/table.h"
#include "uet2ute_native.h"
#include "../native/interrupts.h"

namespace movra {

// The group reducer: the group's event kinds as a plain list, in row
// order.  `e` is read from the creating call's scope at every use.
py::object uet2ute_lambda2(Call &c) {
    py::object group = c.arg(0);
    MOVRA_AT(c);
    return group[scope_get(c.scope(), kEvent)].attr("tolist")();
}

py::object uet2ute(Call &c) {
    // The native kernel where it reproduces the pandas path, else the pandas path.
    py::object native = uet2ute_native(c);
    if (native) return native;

    py::object uet = c.arg(0), unit = c.arg(1), e = c.arg(2), t = c.arg(3);

    // `e` is shared with lambda2 from the start of the call.
    py::object scope = new_scope(uet2ute_scope);
    scope_set(scope, kEvent, e);

    py::list triples;
    MOVRA_AT(c);
    for (py::handle item : uet.attr("iterrows")()) {
        MOVRA_AT(c);
        auto [index, row] = unpack2(item);
        (void)index;

        py::list found;
        MOVRA_AT(c);
        for (py::handle i : row[t]) {
            MOVRA_AT(c);
            py::object who = row[unit];
            py::object what = row[e];
            found.append(py::make_tuple(who, i, what));
        }
        MOVRA_AT(c);
        if (PyList_SetSlice(triples.ptr(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, found.ptr()) != 0)
            throw py::error_already_set();
        check_interrupts();
    }

    MOVRA_AT(c);
    py::list columns;
    columns.append(unit);
    columns.append(t);
    columns.append(e);
    py::object ute = c.global("pandas").attr("DataFrame")(triples, py::arg("columns") = columns);

    MOVRA_AT(c);
    py::list keys;
    keys.append(unit);
    keys.append(t);
    py::object grouped = ute.attr("groupby")(keys);
    MOVRA_AT(c);
    py::object lambda2 = c.make_nested(lambda2_entry, scope);
    MOVRA_AT(c);
    // The reducer reads only `e`, never a key, so handing it the groups
    // without their key columns changes nothing but the warning.
    py::object reduced = grouped.attr("apply")(lambda2, py::arg("include_groups") = false);
    MOVRA_AT(c);
    ute = reduced.attr("reset_index")();

    MOVRA_AT(c);
    if (py::len(ute) == 0) {
        MOVRA_AT(c);
        py::list empty_columns;
        empty_columns.append(unit);
        empty_columns.append(t);
        empty_columns.append(e);
        return c.global("pandas").attr("DataFrame")(py::arg("columns") = empty_columns);
    }

    MOVRA_AT(c);
    py::list labels;
    labels.append(unit);
    labels.append(t);
    labels.append(e);
    ute.attr("columns") = labels;
    return ute;
}

namespace {
const char *const uet2ute_parameters[] = {"uet", "unit", "e", "t"};
const int uet2ute_tables[] = {0};  // uet
const char *const uet2ute_locals[] = {"ute", "index", "row", "i"};
const FunctionEntry *const uet2ute_creates[] = {&lambda2_entry};
}  // namespace

extern const FunctionEntry lambda2_entry = MOVRA_ANONYMOUS_FUNCTION(
    "lambda2", "uet2ute.<locals>.<lambda>", "movra.uet2ute.lambda2", uet2ute_lambda2);

extern const FunctionEntry uet2ute_entry = MOVRA_MODULE_FUNCTION(uet2ute)
                                               .parameters(uet2ute_parameters)
                                               .locals(uet2ute_locals)
                                               .tables(uet2ute_tables)
                                               .creates(uet2ute_creates);

}  // namespace movra
