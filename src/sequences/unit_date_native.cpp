// unit_date on the native kernel.
//
// The pandas path reads every event row through iterrows and compares each
// shifted time with the unit's kept dates one Python operation at a time.
// When the table is one the kernel reproduces exactly, the shift is made
// once for the whole time column (the same arithmetic as on each row's
// Timestamp: same resolution, same zone), the thinning runs in C++ on the
// shifted times as integer ticks, and the calendar Series is built once,
// with the index that adding its units one by one would have given it.
//
// Taken: plain DataFrames with a datetime64 time column (any resolution,
// with or without a zone) holding no NaT, a unit column of integers or of
// text without missing values, and an integer daysdiff.
#include "unit_date_native.h"

#include "../module/table.h"
#include "../native/collector_pause.h"
#include "../native/columns.h"
#include "../native/examine.h"
#include "../native/frames.h"
#include "../native/key_columns.h"
#include "../native/interrupts.h"
#include "../native/scalars.h"
#include "event_kernels.h"

#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>

namespace movra {

namespace {

using native::Reason;

constexpr int64_t kLargestShift = 100000;  // days; far inside what a timedelta holds
constexpr int64_t kLargestTick = int64_t{1} << 62;

// Ticks per day of a datetime unit, 0 for another unit.
int64_t ticks_per_day(const std::string &unit) {
    if (unit == "s") return 86400;
    if (unit == "ms") return 86400LL * 1000;
    if (unit == "us") return 86400LL * 1000000;
    if (unit == "ns") return 86400LL * 1000000000;
    return 0;
}

// The call being examined: its arguments and the libraries it runs on (the
// module's own bindings of pandas and numpy).
struct Context {
    explicit Context(const Call &c)
        : df(c.arg(0)), unit(c.arg(1)), date(c.arg(2)), daysdiff(c.arg(3)), pandas(c.global("pandas")),
          numpy(c.global("numpy")) {}
    py::object df, unit, date, daysdiff, pandas, numpy;
};

// units_step: the unit column.
struct Units {
    py::object column;
    bool int_labels = false;  // of integers
};

// shift_step: the shifted times.
struct Shifted {
    py::object column;
    int64_t day = 0;  // ticks per day of their unit
    std::vector<int64_t> ticks;
};

// codes_step: the units coded in first-seen order, which is the calendar's.
struct UnitCodes {
    std::vector<int64_t> codes;  // each row's unit code
    py::list labels;             // each code's unit
};

// Everything the steps produce.
struct Examination {
    Py_ssize_t rows = 0;  // frame_step
    int64_t spacing = 0;  // daysdiff_step: |daysdiff|, in days
    py::object times;     // times_step: the time column
    Units units;
    Shifted shifted;
    UnitCodes codes;
};

Reason frame_step(const Context &cx, Py_ssize_t &rows) {
    Reason r = native::frame_reason("df", cx.df, cx.pandas);
    if (r.empty()) r = native::columns_reason("df", cx.df, {{"unit", cx.unit}, {"date", cx.date}});
    if (!r.empty()) return r;
    rows = static_cast<Py_ssize_t>(py::len(cx.df));
    if (rows == 0) return "df has no rows";
    return {};
}

Reason daysdiff_step(const Context &cx, int64_t &spacing) {
    if (!PyLong_CheckExact(cx.daysdiff.ptr()))
        return "daysdiff is " + native::text_of(cx.daysdiff) + ", not an int; give whole days";
    int overflow = 0;
    const long long shift = PyLong_AsLongLongAndOverflow(cx.daysdiff.ptr(), &overflow);
    if (overflow != 0 || std::llabs(shift) > kLargestShift)
        return "daysdiff is beyond " + std::to_string(kLargestShift) + " days";
    spacing = std::llabs(shift);
    return {};
}

// Times: a datetime64 column without NaT.  A row of a table with a time
// column and a unit column that is not one is an object row, so each row's
// time is the column's own Timestamp.
Reason times_step(const Context &cx, py::object &times) {
    times = cx.df[cx.date];
    py::object types = cx.pandas.attr("api").attr("types");
    if (!truth(types.attr("is_datetime64_any_dtype")(times)))
        return native::described("the time column", cx.date, native::type_of(cx.pandas, cx.numpy, times)) +
               " is not of datetimes; convert it with pandas.to_datetime";
    if (native::has_missing(times))
        return "the time column " + native::text_of(cx.date) + " has missing times (NaT); drop those rows";
    return {};
}

Reason units_step(const Context &cx, Units &out) {
    const native::KeyRule integers{[](const native::ColumnType &t) {
        return t.kind == 'i' || (t.kind == 'u' && t.size <= 4);
    }};
    out.column = cx.df[cx.unit];
    Reason r = native::key_column_reason(cx.pandas, cx.numpy, "the unit column", cx.unit, out.column, integers,
                                         out.int_labels);
    if (!r.empty()) return r;
    if (native::has_missing(out.column))
        return "the unit column " + native::text_of(cx.unit) + " has missing units; drop those rows";
    return {};
}

// The shift, as adding the timedelta to each row's Timestamp gives it.
Reason shift_step(const Call &c, const Context &cx, Py_ssize_t rows, const py::object &times, Shifted &out) {
    py::object span = c.global("datetime").attr("timedelta")(py::arg("days") = cx.daysdiff);
    out.column = times + span;
    py::object array = out.column.attr("array");
    const std::string unit = native::utf8(py::str(array.attr("unit")));
    out.day = ticks_per_day(unit);
    if (out.day == 0) return "the shifted times are in the unit '" + unit + "', not s, ms, us or ns";
    native::Holder hold;
    const int64_t *t = native::buffer_of<int64_t>(cx.numpy, array.attr("asi8"), "int64", rows, hold);
    out.ticks.assign(t, t + rows);
    for (int64_t v : out.ticks)
        if (v >= kLargestTick || v <= -kLargestTick) return "the shifted times lie beyond 2**62 ticks of the epoch";
    return {};
}

// Units coded in first-seen order, which is the calendar's order.
Reason codes_step(const Context &cx, Py_ssize_t rows, const Units &units, UnitCodes &out) {
    py::object factorized = cx.pandas.attr("factorize")(units.column);
    native::Holder hold;
    py::object code_array = factorized[py::int_(0)];
    const int64_t *u = native::buffer_of<int64_t>(cx.numpy, code_array, "int64", rows, hold);
    out.codes.assign(u, u + rows);
    out.labels = py::list(factorized[py::int_(1)].attr("tolist")());
    return {};
}

// The steps in order; the first reason ends the examination.
using Examined = native::Examined<Context, Examination>;
constexpr Examined::Step kSteps[] = {
    [](Examined &e) { return frame_step(e.context(), e.x.rows); },
    [](Examined &e) { return daysdiff_step(*e.cx, e.x.spacing); },
    [](Examined &e) { return times_step(*e.cx, e.x.times); },
    [](Examined &e) { return units_step(*e.cx, e.x.units); },
    [](Examined &e) { return shift_step(e.c, *e.cx, e.x.rows, e.x.times, e.x.shifted); },
    [](Examined &e) { return codes_step(*e.cx, e.x.rows, e.x.units, e.x.codes); },
};

// The thinned calendars: the kept shifted times as Timestamps, one list
// per unit.
py::list calendar_lists(const Examination &x) {
    std::vector<std::vector<int64_t>> kept;
    const UnitCodes &codes = x.codes;
    const int64_t units = static_cast<int64_t>(py::len(codes.labels));
    events::thin_calendar(codes.codes.data(), x.shifted.ticks.data(), static_cast<int64_t>(codes.codes.size()), units,
                          x.spacing, x.shifted.day, kept);
    check_interrupts();
    py::list positions;
    for (const auto &rows : kept)
        for (int64_t r : rows) positions.append(py::int_(r));
    py::list stamps = x.shifted.column.attr("iloc")[positions].attr("tolist")();
    // Read below one per kept row, unchecked.
    if (PyList_GET_SIZE(stamps.ptr()) != PyList_GET_SIZE(positions.ptr()))
        throw std::logic_error("pandas gave another number of times than of the positions asked for");
    py::list lists(units);
    Py_ssize_t next = 0;
    for (int64_t u = 0; u < units; u++) {
        const auto &rows = kept[static_cast<size_t>(u)];
        py::list dates(rows.size());
        for (size_t j = 0; j < rows.size(); j++) {
            PyObject *d = PyList_GET_ITEM(stamps.ptr(), next++);
            Py_INCREF(d);
            PyList_SET_ITEM(dates.ptr(), static_cast<Py_ssize_t>(j), d);
        }
        PyList_SET_ITEM(lists.ptr(), u, dates.release().ptr());
    }
    return lists;
}

// The index that adding the units one at a time gives: integer labels
// counting up by one from the first stay a range where pandas keeps an
// appended range a range.
py::object calendar_index(const Context &cx, const Units &unit_column, const UnitCodes &codes) {
    const py::list &labels = codes.labels;
    const int64_t units = static_cast<int64_t>(py::len(labels));
    bool counting = unit_column.int_labels;
    for (int64_t u = 1; u < units && counting; u++)
        counting = labels[static_cast<size_t>(u)].cast<int64_t>() ==
                   labels[static_cast<size_t>(u - 1)].cast<int64_t>() + 1;
    if (counting) {
        py::object probe = cx.pandas.attr("Series")(py::arg("dtype") = "float64").attr("astype")("object");
        set_item(probe, py::int_(0), py::list());
        set_item(probe, py::int_(1), py::list());
        py::object range_index = cx.pandas.attr("RangeIndex");
        if (py::isinstance(probe.attr("index"), range_index)) {
            const int64_t first = labels[static_cast<size_t>(0)].cast<int64_t>();
            return range_index(first, first + units);
        }
    }
    return cx.pandas.attr("Index")(labels);
}

}  // namespace

py::object unit_date_native(Call &c) {
    native::CollectorPause pause;
    Examined e(c);
    const py::object df = c.arg(0);
    if (!native::kernel_takes(e, kSteps, native::Layer::UnitDate, df)) return py::object();
    const Context &cx = *e.cx;
    MOVRA_AT(c);
    py::list lists = calendar_lists(e.x);
    MOVRA_AT(c);
    return cx.pandas.attr("Series")(lists, py::arg("index") = calendar_index(cx, e.x.units, e.x.codes),
                                    py::arg("dtype") = "object");
}

}  // namespace movra
