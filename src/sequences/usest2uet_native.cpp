// usest2uet on the native kernel.
//
// The pandas path masks the whole log and groups the consumer's rows once
// per window.  When the log is one the kernel reproduces exactly, the log is
// read once into integer buffers (consumer and kind codes, the time lists as
// nanoseconds) and every window is cut in C++; the rows handed to the
// result frame are the very tuples the pandas path builds, holding the same
// objects: the window's own values, the kinds as grouping yields them and
// object arrays of the log's own Timestamps.
//
// Taken: plain DataFrames; kinds that are integers or text; time lists that
// are lists of Timestamps (and NaT), all with a time zone or all without.
// A window the kernel cannot compare exactly (bounds that are not
// Timestamps, a time zone where the log has none, a consumer value of
// another type) goes through the pandas path's own step, in its place.
#include "usest2uet_native.h"

#include "../module/namespace.h"
#include "../module/progress.h"
#include "../module/table.h"
#include "../native/collector_pause.h"
#include "../native/examine.h"
#include "../native/fallback.h"
#include "../native/frames.h"
#include "../native/key_columns.h"
#include "../native/object_arrays.h"
#include "../native/interrupts.h"
#include "../native/scalars.h"
#include "../native/time_reader.h"
#include "event_kernels.h"

#include <cmath>
#include <optional>
#include <string>
#include <utility>

namespace movra {

namespace {

using native::Reason;
namespace ev = events;

// The call being examined: its arguments, the libraries it runs on (the
// module's own bindings of pandas and numpy), and whether tqdm is the class
// imported at load.  With it, tqdm yields exactly what it is given: the
// windows are the table's rows, read as one array.  Any other tqdm decides
// the windows by what it yields.
struct Context {
    Context(const Call &c, bool genuine_tqdm)
        : usest(c.arg(0)), e(c.arg(2)), ts(c.arg(3)), interval(c.arg(4)), pandas(c.global("pandas")),
          numpy(c.global("numpy")), genuine(genuine_tqdm) {}
    py::object usest, e, ts, interval, pandas, numpy;
    bool genuine;
};

// held_step: the log's columns by label, as the call reads them, and its
// row count.
struct HeldColumns {
    py::dict columns;
    Py_ssize_t rows = 0;
};

// consumers_step: each row's consumer, coded by value.
struct Consumers {
    std::vector<int64_t> code;
    py::dict codes;  // consumer value -> code, by Python equality
    bool numeric = false;
};

// kinds_step: each row's kind, coded in the order grouping yields them.
struct Kinds {
    std::vector<int64_t> code;
    py::list names;  // kind code -> the key grouping yields
};

// time_lists_step: every time of every list, in row then list order.
struct TimeLists {
    std::vector<int64_t> cell{0}, times;  // row r's times: times[cell[r] .. cell[r + 1])
    std::vector<uint8_t> missing;
    py::list elements;  // the times' objects, which the result rows take
    int aware = -1;     // -1: no time at all; else whether the times carry a zone
};

// windows_step: the window table's CONS_NO, START and END, as iterating its
// rows gives them (with tqdm as imported): every row of a table of mixed
// column types is an object array, so a row's values are the table's
// values as objects.
struct Windows {
    py::list consumer, start, end;
    Py_ssize_t count = 0;
};

// Everything the steps produce.
struct Examination {
    HeldColumns held;
    Consumers consumers;
    Kinds kinds;
    TimeLists times;
    Windows windows;

    // The event log as the kernel sees it.
    ev::EventLog log() const {
        ev::EventLog v;
        v.rows = static_cast<int64_t>(consumers.code.size());
        v.consumer = consumers.code.data();
        v.kind = kinds.code.data();
        v.cell = times.cell.data();
        v.times = times.times.data();
        v.missing = times.missing.data();
        return v;
    }
};

py::handle consumer_label() { return interned("CONS_NO"); }

Reason frame_step(const Context &cx) {
    Reason r = native::frame_reason("usest", cx.usest, cx.pandas);
    return r.empty() ? native::frame_reason("interval", cx.interval, cx.pandas) : r;
}

Reason labels_step(const Context &cx) {
    Reason r = native::columns_reason("usest", cx.usest, {{"e", cx.e}, {"ts", cx.ts}});
    if (!r.empty()) return r;
    if (!truth(cx.usest.attr("columns").attr("__contains__")(consumer_label()))) return "usest has no column 'CONS_NO'";
    // A kind label that also names an index level makes grouping ambiguous.
    if (truth(cx.usest.attr("index").attr("names").attr("__contains__")(cx.e)))
        return "e " + native::text_of(cx.e) + " names both a column and an index level of usest; rename one";
    return {};
}

// The log's three columns as they are at one point, held as Series of
// their own: the kernel's steps and the windows that go through the pandas
// path's step read these, so that Python code run meanwhile (a signal
// handler, tqdm) cannot rewrite what the call reads.  The columns are
// looked up first; then, with no Python code in between, every column that
// numpy holds is copied (numpy's C code); a column of pandas' own dtypes is
// held as looked up, as pandas' copy-on-write keeps it.
Reason held_step(const Context &cx, HeldColumns &out) {
    py::list labels;
    for (py::handle label : {consumer_label(), py::handle(cx.e), py::handle(cx.ts)})
        if (!truth(labels.attr("__contains__")(label))) labels.append(label);
    py::object ndarray = cx.numpy.attr("ndarray"), dtype = cx.numpy.attr("dtype");
    std::vector<py::object> values;  // an ndarray to copy, or the column's own array
    std::vector<bool> copied;
    for (py::handle label : labels) {
        py::object column = cx.usest[label];
        const bool numpy_dtype = py::isinstance(column.attr("dtype"), dtype);
        py::object v = numpy_dtype ? column.attr("to_numpy")() : column.attr("array");
        copied.push_back(numpy_dtype && py::isinstance(v, ndarray));
        values.push_back(std::move(v));
    }
    for (size_t i = 0; i < values.size(); i++)
        if (copied[i]) values[i] = values[i].attr("copy")();  // ndarray.copy: C code
    py::object series = cx.pandas.attr("Series");
    for (size_t i = 0; i < values.size(); i++) {
        const py::object &v = values[i];
        out.columns[labels[i]] = copied[i] ? series(v, py::arg("dtype") = v.attr("dtype"), py::arg("copy") = false)
                                           : series(v, py::arg("copy") = false);
    }
    out.rows = static_cast<Py_ssize_t>(py::len(values.front()));
    return {};
}

// The held columns as a frame indexed as the log is, for the pandas path's
// step.
py::object held_frame(const Context &cx, const HeldColumns &held) {
    py::object frame = cx.pandas.attr("DataFrame")(held.columns, py::arg("copy") = false);
    frame.attr("index") = cx.usest.attr("index");
    return frame;
}

std::vector<int64_t> codes_of(const Context &cx, Py_ssize_t rows, py::handle factorized) {
    native::Holder hold;
    py::object codes_array = factorized[py::int_(0)];
    const int64_t *codes = native::buffer_of<int64_t>(cx.numpy, codes_array, "int64", rows, hold);
    return std::vector<int64_t>(codes, codes + rows);
}

// Consumers, coded by value; windows find theirs by Python equality,
// which is how == compares a window's value with the column here.
Reason consumers_step(const Context &cx, const HeldColumns &held, Consumers &out) {
    const native::KeyRule numbers{[](const native::ColumnType &t) {
        return t.kind == 'i' || t.kind == 'b' || (t.kind == 'u' && t.size <= 4) || (t.kind == 'f' && t.size == 8);
    }};
    py::object consumers = held.columns[consumer_label()];
    Reason r = native::key_column_reason(cx.pandas, cx.numpy, "the consumer column", consumer_label(), consumers,
                                         numbers, out.numeric);
    if (!r.empty()) return r;
    py::object factorized = cx.pandas.attr("factorize")(consumers);
    out.code = codes_of(cx, held.rows, factorized);
    int64_t code = 0;
    for (py::handle u : factorized[py::int_(1)].attr("tolist")()) out.codes[u] = py::int_(code++);
    return {};
}

// Kinds, coded in the order grouping yields them (sorted; missing kinds
// dropped); the names are the keys grouping yields.
Reason kinds_step(const Context &cx, const HeldColumns &held, Kinds &out) {
    const native::KeyRule integers{[](const native::ColumnType &t) {
        return t.kind == 'i' || (t.kind == 'u' && t.size <= 4);
    }};
    py::object kinds = held.columns[cx.e];
    bool numeric = false;
    Reason r = native::key_column_reason(cx.pandas, cx.numpy, "the kind column", cx.e, kinds, integers, numeric);
    if (!r.empty()) return r;
    py::object sorted_codes = cx.pandas.attr("factorize")(kinds, py::arg("sort") = true);
    out.code = codes_of(cx, held.rows, sorted_codes);
    out.names = sorted_codes[py::int_(1)].attr("tolist")();
    return {};
}

// The time lists: lists only (any other cell fails list addition on the
// pandas path), of Timestamps and NaT, all with a time zone or all without.
Reason time_lists_step(const Context &cx, const HeldColumns &held, TimeLists &out) {
    // A list of one value per row, as the codes have: tolist() of a column
    // that numpy holds, else a copy of what it gives.
    py::list cells = native::exclusive_list(held.columns[cx.ts].attr("tolist")());
    const Py_ssize_t rows = PyList_GET_SIZE(cells.ptr());
    if (rows != held.rows)
        return "the column " + native::text_of(cx.ts) + " of usest gives " + std::to_string(rows) +
               " values for its " + std::to_string(held.rows) + " rows";
    for (Py_ssize_t r = 0; r < rows; r++) {
        PyObject *cell = PyList_GET_ITEM(cells.ptr(), r);
        if (!PyList_CheckExact(cell))
            return "a cell of the time column " + native::text_of(cx.ts) + " is of type " + Py_TYPE(cell)->tp_name +
                   ", not a list; make every cell a list of Timestamps";
        const Py_ssize_t end = PyList_GET_SIZE(out.elements.ptr());
        if (PyList_SetSlice(out.elements.ptr(), end, end, cell) != 0) throw py::error_already_set();
        out.cell.push_back(static_cast<int64_t>(PyList_GET_SIZE(out.elements.ptr())));
    }
    native::TimeReader reader(cx.pandas);
    constexpr Py_ssize_t kTimesPerCheck = Py_ssize_t{1} << 16;  // interrupt check stride
    const Py_ssize_t n = PyList_GET_SIZE(out.elements.ptr());
    out.times.resize(static_cast<size_t>(n));
    out.missing.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *time = PyList_GET_ITEM(out.elements.ptr(), i);
        bool aware = false;
        switch (reader.read(time, out.times[i], aware)) {
            case native::TimeReader::Other:
                return "the time lists of " + native::text_of(cx.ts) + " hold a value of type " +
                       Py_TYPE(time)->tp_name +
                       " that is not a Timestamp within nanoseconds' range or NaT; convert them with pandas.Timestamp";
            case native::TimeReader::Missing:
                out.missing[i] = 1;
                break;
            case native::TimeReader::Time:
                // Naive and aware times cannot be compared.
                if (out.aware >= 0 && out.aware != static_cast<int>(aware))
                    return "the time lists of " + native::text_of(cx.ts) +
                           " mix times with and without a time zone; give them all a zone or none";
                out.aware = aware;
                break;
        }
        check_interrupts_every(i + 1, kTimesPerCheck);
    }
    return {};
}

// Bounds of a datetime type and a consumer column of another: every row is
// an object row, whose values are each column's values as objects.
Reason windows_step(const Context &cx, Windows &out) {
    if (!cx.genuine) return {};
    if (!truth(cx.interval.attr("columns").attr("is_unique")))
        return "interval has repeated column labels; make them unique";
    const std::pair<const char *, py::list *> columns[] = {
        {"START", &out.start}, {"END", &out.end}, {"CONS_NO", &out.consumer}};
    for (auto [label, values] : columns) {
        Reason r = native::row_values("interval", cx.interval, interned(label), *values);
        if (!r.empty()) return r;
    }
    py::object types = cx.pandas.attr("api").attr("types");
    py::object is_datetime = types.attr("is_datetime64_any_dtype");
    if (!truth(is_datetime(cx.interval[interned("START")])) || !truth(is_datetime(cx.interval[interned("END")])))
        return "interval's START and END are not both datetime columns; convert them with pandas.to_datetime";
    py::object consumers = cx.interval[interned("CONS_NO")];
    if (truth(is_datetime(consumers)) || truth(types.attr("is_timedelta64_dtype")(consumers)))
        return "interval's CONS_NO is a datetime or timedelta column; give the consumers as numbers or text";
    out.count = static_cast<Py_ssize_t>(py::len(cx.interval));
    return {};
}

// The call being examined, and what the steps find out about it.
struct Examined {
    Examined(const Call &call, bool genuine_tqdm) : c(call), genuine(genuine_tqdm) {}
    const Call &c;
    bool genuine;
    std::optional<Context> cx;
    Examination x;
};

// The steps in order, each with what it reads of the earlier ones; the
// first reason ends the examination.
using Step = Reason (*)(Examined &);
constexpr Step kSteps[] = {
    [](Examined &e) {
        e.cx.emplace(e.c, e.genuine);
        return frame_step(*e.cx);
    },
    [](Examined &e) { return labels_step(*e.cx); },
    [](Examined &e) { return held_step(*e.cx, e.x.held); },
    [](Examined &e) { return consumers_step(*e.cx, e.x.held, e.x.consumers); },
    [](Examined &e) { return kinds_step(*e.cx, e.x.held, e.x.kinds); },
    [](Examined &e) { return time_lists_step(*e.cx, e.x.held, e.x.times); },
    [](Examined &e) { return windows_step(*e.cx, e.x.windows); },
};

// A window in the kernel's terms, or why its values are not ones the
// kernel compares exactly.
Reason kernel_window(const Consumers &consumers, const TimeLists &times, const native::TimeReader &reader,
                     py::handle consumer, py::handle start, py::handle end, ev::Window &w) {
    PyObject *u = consumer.ptr();
    if (consumers.numeric) {
        if (PyLong_CheckExact(u)) {
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(u, &overflow);
            if (overflow != 0 || std::fabs(static_cast<double>(v)) > native::kExactInDouble)
                return "a window's CONS_NO is an int beyond 2**53";
        } else if (!PyFloat_CheckExact(u) && !PyBool_Check(u)) {
            return std::string("a window's CONS_NO is of type ") + Py_TYPE(u)->tp_name + ", not a number";
        }
    } else if (!PyUnicode_CheckExact(u)) {
        return std::string("a window's CONS_NO is of type ") + Py_TYPE(u)->tp_name + ", not a str";
    }
    PyObject *code = PyDict_GetItemWithError(consumers.codes.ptr(), u);
    if (code == nullptr) {
        if (PyErr_Occurred()) throw py::error_already_set();
        w.consumer = -1;  // no rows in the log: nothing is compared
        return {};
    }
    w.consumer = PyLong_AsLongLong(code);
    // Each bound is a Timestamp as zoned as the log's times, or NaT, which
    // compares false with every time.
    auto bound = [&](py::handle b, int64_t &ns) {
        bool aware = false;
        switch (reader.read(b.ptr(), ns, aware)) {
            case native::TimeReader::Other:
                return false;
            case native::TimeReader::Missing:
                w.never = true;
                return true;
            case native::TimeReader::Time:
                return times.aware < 0 || times.aware == static_cast<int>(aware);
        }
        return false;
    };
    w.never = false;
    if (!bound(start, w.start) || !bound(end, w.end))
        return "a window's START or END is not a Timestamp within nanoseconds' range, or NaT, zoned as the log's "
               "times are";
    return {};
}

// The result rows, window by window: through the kernel when it can compare
// the window, else through the pandas path's step for it.
class Cutter {
public:
    Cutter(Call &c, const Context &cx, const Examination &x, RowsPerWindow *per_window)
        : c_(c), cx_(cx), x_(x), per_window_(per_window), reader_(cx.pandas), view_(x.log()), cutter_(view_) {}

    void window(const WindowRow &row, py::handle consumer, py::handle start, py::handle end) {
        count_window_rows(rows_, per_window_, [&] { cut(row, consumer, start, end); });
    }

    // A window as a row of iterrows(): a row that is not a plain Series
    // (`series`), or lacks a value, is read by the pandas path's step, which
    // reports what it lacks.
    void window(py::handle row, py::handle series) {
        py::object consumer, start, end;
        auto values = [&] {
            consumer = row.attr("CONS_NO");
            start = row.attr("START");
            end = row.attr("END");
            return Reason();
        };
        const bool plain =
            native::exact_type(row, series) && native::looked_at(values, native::Raised::Unsaid).empty();
        if (plain)
            window(WindowRow(py::reinterpret_borrow<py::object>(row)), consumer, start, end);
        else
            count_window_rows(rows_, per_window_, [&] {
                pandas_window(WindowRow(py::reinterpret_borrow<py::object>(row)),
                              "a window row is not a plain Series with CONS_NO, START and END");
            });
    }

    const py::list &rows() const { return rows_; }

private:
    // One window's rows through the kernel, or through the pandas path's
    // step when the kernel cannot compare its values exactly.
    void cut(const WindowRow &row, py::handle consumer, py::handle start, py::handle end) {
        ev::Window w;
        if (Reason why = kernel_window(x_.consumers, x_.times, reader_, consumer, start, end, w); !why.empty()) {
            pandas_window(row, why);
            return;
        }
        cut_.clear();
        cutter_.cut(w, 0, cut_);
        for (int64_t j = 0; j < cut_.rows(); j++) {
            // The kinds whose lists are all empty keep numpy's float array
            // of the empty list, as the pandas path leaves it.
            const int64_t *kept = cut_.kept.data() + cut_.begin[j];
            py::object dates = cut_.joined_empty[j] ? cx_.numpy.attr("array")(py::list())
                                                    : native::object_array(cx_.numpy, x_.times.elements, kept,
                                                                           cut_.begin[j + 1] - cut_.begin[j]);
            py::object kind = x_.kinds.names[static_cast<size_t>(cut_.kind[j])];
            rows_.append(py::make_tuple(consumer, kind, dates, start, end));
        }
    }

    // The pandas path's own step for one window, in its place, on the log
    // as the kernel read it.
    void pandas_window(const WindowRow &row, const Reason &why) {
        native::fall_back(native::Layer::Usest2uet, Py_ssize_t{1}, why, [&] {
            if (!log_) log_ = held_frame(cx_, x_.held);
            usest2uet_window(c_, log_, cx_.e, cx_.ts, row, rows_);
        });
    }

    Call &c_;
    const Context &cx_;
    const Examination &x_;
    RowsPerWindow *per_window_;
    native::TimeReader reader_;
    const ev::EventLog view_;
    ev::WindowCutter cutter_;
    ev::Cut cut_;
    py::list rows_;
    py::object log_;  // the held columns as a frame, once a window needs it
};

// The windows tqdm as imported yields: positions of the table's rows.
void cut_table_windows(Call &c, const Context &cx, const Windows &w, Cutter &cutter) {
    MOVRA_AT(c);
    py::object positions = py::iter(c.builtin(Builtin::Range)(w.count));
    py::object progress = usest2uet_progress(c, positions, cx.interval);
    MOVRA_AT(c);
    for (py::handle item : progress) {
        const Py_ssize_t i = item.cast<Py_ssize_t>();
        if (i < 0 || i >= w.count) throw py::index_error("window position out of range");
        py::object consumer = w.consumer[i], start = w.start[i], end = w.end[i];
        cutter.window(WindowRow(consumer, start, end), consumer, start, end);
        check_interrupts();
    }
}

// The windows a rebound tqdm yields of the table's iterrows().
void cut_yielded_windows(Call &c, const Context &cx, Cutter &cutter) {
    MOVRA_AT(c);
    py::object progress = usest2uet_progress(c, cx.interval.attr("iterrows")(), cx.interval);
    MOVRA_AT(c);
    py::object series = cx.pandas.attr("Series");
    for (py::handle item : progress) {
        MOVRA_AT(c);
        auto [index, row] = unpack2(item);
        (void)index;
        cutter.window(row, series);
        check_interrupts();
    }
}

}  // namespace

py::object usest2uet_native(Call &c, RowsPerWindow *per_window) {
    native::CollectorPause pause;
    Examined e(c, ProgressDisplay(c).own());
    const py::object interval = c.arg(4);
    if (!native::kernel_takes(e, kSteps, native::Layer::Usest2uet, interval)) return py::object();
    const Context &cx = *e.cx;
    Cutter cutter(c, cx, e.x, per_window);
    if (cx.genuine)
        cut_table_windows(c, cx, e.x.windows, cutter);
    else
        cut_yielded_windows(c, cx, cutter);
    return usest2uet_frame(c, cutter.rows());
}

}  // namespace movra
