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
#include "events_native.h"
#include "kernel/event_kernels.h"

#include "../module/table.h"
#include "../native/examine.h"
#include "../native/interrupts.h"
#include "../native/scalars.h"

#include <cstdlib>
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

// The call, and what its steps find out about it.
struct Examination {
    explicit Examination(Call &call) : c(call), df(c.arg(0)), unit(c.arg(1)), date(c.arg(2)), daysdiff(c.arg(3)) {}

    Call &c;
    py::object df, unit, date, daysdiff, pandas, numpy;
    Py_ssize_t rows = 0;      // frame_step
    int64_t spacing = 0;      // daysdiff_step: |daysdiff|, in days
    py::object times;         // times_step: the time column
    py::object units;         // units_step: the unit column
    bool int_labels = false;  // ... of integers
    py::object shifted;       // shift_step: the shifted times, as a column
    int64_t day = 0;          // ... ticks per day of their unit
    std::vector<int64_t> ticks;
    std::vector<int64_t> codes;  // codes_step: each row's unit code, in first-seen order
    py::list labels;             // ... each code's unit
};

Reason frame_step(Examination &x) {
    x.pandas = x.c.global("pandas");
    x.numpy = x.c.global("numpy");
    Reason r = native::frame_reason("df", x.df, x.pandas);
    if (r.empty()) r = native::columns_reason("df", x.df, {{"unit", x.unit}, {"date", x.date}});
    if (!r.empty()) return r;
    x.rows = static_cast<Py_ssize_t>(py::len(x.df));
    if (x.rows == 0) return "df has no rows";
    return {};
}

Reason daysdiff_step(Examination &x) {
    if (!PyLong_CheckExact(x.daysdiff.ptr()))
        return "daysdiff is " + native::text_of(x.daysdiff) + ", not an int; give whole days";
    int overflow = 0;
    const long long shift = PyLong_AsLongLongAndOverflow(x.daysdiff.ptr(), &overflow);
    if (overflow != 0 || std::llabs(shift) > kLargestShift)
        return "daysdiff is beyond " + std::to_string(kLargestShift) + " days";
    x.spacing = std::llabs(shift);
    return {};
}

// Times: a datetime64 column without NaT.  A row of a table with a time
// column and a unit column that is not one is an object row, so each row's
// time is the column's own Timestamp.
Reason times_step(Examination &x) {
    x.times = x.df[x.date];
    py::object types = x.pandas.attr("api").attr("types");
    if (!truth(types.attr("is_datetime64_any_dtype")(x.times)))
        return native::described("the time column", x.date, native::type_of(x.pandas, x.numpy, x.times)) +
               " is not of datetimes; convert it with pandas.to_datetime";
    if (native::has_missing(x.times))
        return "the time column " + native::text_of(x.date) + " has missing times (NaT); drop those rows";
    return {};
}

Reason units_step(Examination &x) {
    const native::KeyRule integers{[](const native::ColumnType &t) {
        return t.kind == 'i' || (t.kind == 'u' && t.size <= 4);
    }};
    x.units = x.df[x.unit];
    Reason r = native::key_column_reason(x.pandas, x.numpy, "the unit column", x.unit, x.units, integers, x.int_labels);
    if (!r.empty()) return r;
    if (native::has_missing(x.units))
        return "the unit column " + native::text_of(x.unit) + " has missing units; drop those rows";
    return {};
}

// The shift, as adding the timedelta to each row's Timestamp gives it.
Reason shift_step(Examination &x) {
    py::object span = x.c.global("datetime").attr("timedelta")(py::arg("days") = x.daysdiff);
    x.shifted = x.times + span;
    py::object array = x.shifted.attr("array");
    const std::string unit = native::utf8(py::str(array.attr("unit")));
    x.day = ticks_per_day(unit);
    if (x.day == 0) return "the shifted times are in the unit '" + unit + "', not s, ms, us or ns";
    native::Holder hold;
    const int64_t *t = native::buffer_of<int64_t>(x.numpy, array.attr("asi8"), "int64", x.rows, hold);
    x.ticks.assign(t, t + x.rows);
    for (int64_t v : x.ticks)
        if (v >= kLargestTick || v <= -kLargestTick) return "the shifted times lie beyond 2**62 ticks of the epoch";
    return {};
}

// Units coded in first-seen order, which is the calendar's order.
Reason codes_step(Examination &x) {
    py::object factorized = x.pandas.attr("factorize")(x.units);
    native::Holder hold;
    py::object code_array = factorized[py::int_(0)];
    const int64_t *u = native::buffer_of<int64_t>(x.numpy, code_array, "int64", x.rows, hold);
    x.codes.assign(u, u + x.rows);
    x.labels = py::list(factorized[py::int_(1)].attr("tolist")());
    return {};
}

using Step = Reason (*)(Examination &);
constexpr Step kSteps[] = {frame_step, daysdiff_step, times_step, units_step, shift_step, codes_step};

// The thinned calendars: the kept shifted times as Timestamps, one list
// per unit.
py::list calendar_lists(const Examination &x) {
    std::vector<std::vector<int64_t>> kept;
    const int64_t units = static_cast<int64_t>(py::len(x.labels));
    events::thin_calendar(x.codes.data(), x.ticks.data(), static_cast<int64_t>(x.codes.size()), units, x.spacing,
                          x.day, kept);
    check_interrupts();
    py::list positions;
    for (const auto &rows : kept)
        for (int64_t r : rows) positions.append(py::int_(r));
    py::list stamps = x.shifted.attr("iloc")[positions].attr("tolist")();
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
py::object calendar_index(const Examination &x) {
    const int64_t units = static_cast<int64_t>(py::len(x.labels));
    bool counting = x.int_labels;
    for (int64_t u = 1; u < units && counting; u++)
        counting = x.labels[static_cast<size_t>(u)].cast<int64_t>() ==
                   x.labels[static_cast<size_t>(u - 1)].cast<int64_t>() + 1;
    if (counting) {
        py::object probe = x.pandas.attr("Series")(py::arg("dtype") = "float64").attr("astype")("object");
        set_item(probe, py::int_(0), py::list());
        set_item(probe, py::int_(1), py::list());
        py::object range_index = x.pandas.attr("RangeIndex");
        if (py::isinstance(probe.attr("index"), range_index)) {
            const int64_t first = x.labels[static_cast<size_t>(0)].cast<int64_t>();
            return range_index(first, first + units);
        }
    }
    return x.pandas.attr("Index")(x.labels);
}

}  // namespace

py::object unit_date_native(Call &c) {
    native::CollectorPause pause;
    Examination x(c);
    if (!native::kernel_takes(x, kSteps, native::Layer::UnitDate, x.df)) return py::object();
    MOVRA_AT(c);
    py::list lists = calendar_lists(x);
    MOVRA_AT(c);
    return x.pandas.attr("Series")(lists, py::arg("index") = calendar_index(x), py::arg("dtype") = "object");
}

}  // namespace movra
