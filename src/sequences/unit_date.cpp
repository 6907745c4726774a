// unit_date: a thinned calendar of reference dates per unit.  Every event
// time is shifted by `daysdiff` days; the shifted time is kept only when it
// is new for the unit and more than |daysdiff| whole days away from every
// date already kept for it.  The first event of a unit is always kept.
// Units appear in first-seen order and each unit's list grows in place.
#include "../module/table.h"
#include "unit_date_native.h"
#include "../native/interrupts.h"

namespace movra {

namespace {

bool contains(py::handle container, py::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

}  // namespace

py::object unit_date(Call &c) {
    // The native kernel where it reproduces the pandas path, else the pandas path.
    py::object native = unit_date_native(c);
    if (native) return native;

    py::object df = c.arg(0), unit = c.arg(1), date = c.arg(2), daysdiff = c.arg(3);

    // Starts as pandas' plain empty Series (what an empty `df` returns).
    // It is made an object Series before the first list goes in: pandas no
    // longer lets a float Series take a list by silently changing dtype.
    MOVRA_AT(c);
    py::object u_d = c.global("pandas").attr("Series")(py::arg("dtype") = "float64");
    bool holds_lists = false;

    MOVRA_AT(c);
    for (py::handle item : df.attr("iterrows")()) {
        MOVRA_AT(c);
        auto [index, row] = unpack2(item);
        (void)index;

        MOVRA_AT(c);
        py::object d = py::object(row[date]) + c.global("datetime").attr("timedelta")(py::arg("days") = daysdiff);

        MOVRA_AT(c);
        bool keep = contains(u_d, row[unit]);
        if (keep) {
            MOVRA_AT(c);
            keep = !contains(u_d[row[unit]], d);
        }
        if (keep) {
            // Every spacing test is made before `all` looks at them.
            MOVRA_AT(c);
            py::list spaced;
            for (py::handle i : u_d[row[unit]]) {
                MOVRA_AT(c);
                py::object days = (py::reinterpret_borrow<py::object>(i) - d).attr("days");
                py::object apart = abs_of(days);
                spaced.append(gt(apart, abs_of(daysdiff)));
            }
            MOVRA_AT(c);
            keep = truth(c.builtin(Builtin::All)(spaced));
        }

        if (keep) {
            MOVRA_AT(c);
            u_d[row[unit]].attr("append")(d);
        } else {
            MOVRA_AT(c);
            if (!contains(u_d, row[unit])) {
                if (!holds_lists) {
                    MOVRA_AT(c);
                    u_d = u_d.attr("astype")("object");
                    holds_lists = true;
                }
                MOVRA_AT(c);
                py::list first;
                first.append(d);
                set_item(u_d, row[unit], first);
            }
        }
        check_interrupts();
    }
    return u_d;
}

namespace {
const char *const unit_date_parameters[] = {"df", "unit", "date", "daysdiff"};
const int unit_date_tables[] = {0};  // df
const char *const unit_date_locals[] = {"u_d", "index", "row", "d", "i"};
py::tuple unit_date_defaults() { return py::make_tuple("CONS_NO", "OCCUR_TIME", -15); }
}  // namespace

extern const FunctionEntry unit_date_entry = MOVRA_MODULE_FUNCTION(unit_date)
                                                 .parameters(unit_date_parameters)
                                                 .locals(unit_date_locals)
                                                 .defaults(unit_date_defaults)
                                                 .tables(unit_date_tables);

}  // namespace movra
