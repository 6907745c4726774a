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
#include "events_native.h"
#include "kernel/event_kernels.h"
#include "usest2uet.h"

#include "../module/namespace.h"
#include "../module/table.h"

#include <cmath>
#include <string>

namespace movra {

namespace {

using native::Decline;
using native::require;
namespace ev = events;

constexpr double kExact = 9007199254740992.0;  // 2**53

// The event log as the kernel sees it, with the objects that the result
// rows take from it.
struct Log {
    std::vector<int64_t> consumer, kind, cell{0}, times;
    std::vector<uint8_t> missing;
    py::list elements;    // every time of every list, in row then list order
    py::dict codes;       // consumer value -> code, by Python equality
    py::list kind_names;  // kind code -> the key grouping yields
    bool numeric_consumers = false;
    int aware = -1;  // -1: no time at all; else whether the times carry a zone

    ev::EventLog view() const {
        ev::EventLog v;
        v.rows = static_cast<int64_t>(consumer.size());
        v.consumer = consumer.data();
        v.kind = kind.data();
        v.cell = cell.data();
        v.times = times.data();
        v.missing = missing.data();
        return v;
    }
};

std::vector<int64_t> codes_of(py::handle numpy, py::handle factorized, Py_ssize_t n) {
    std::vector<py::object> hold;
    py::object codes_array = factorized[py::int_(0)];
    const int64_t *codes = native::buffer_of<int64_t>(numpy, codes_array, "int64", n, hold);
    return std::vector<int64_t>(codes, codes + n);
}

void read_log(Call &c, Log &log) {
    py::object usest = c.arg(0), e = c.arg(2), ts = c.arg(3), interval = c.arg(4);
    py::object pandas = c.global("pandas"), numpy = c.global("numpy");
    py::object frame = pandas.attr("DataFrame");
    require(native::exact_type(usest, frame) && native::exact_type(interval, frame));
    py::object columns = usest.attr("columns");
    py::handle consumer_label = interned("CONS_NO");
    auto is_label = [](py::handle o) {
        return PyUnicode_CheckExact(o.ptr()) || PyLong_CheckExact(o.ptr());
    };
    require(truth(columns.attr("is_unique")) && is_label(e) && is_label(ts) && !truth(eq(e, ts)));
    for (py::handle label : {consumer_label, py::handle(e), py::handle(ts)})
        require(truth(columns.attr("__contains__")(label)));
    // A kind label that also names an index level makes grouping ambiguous.
    require(!truth(usest.attr("index").attr("names").attr("__contains__")(e)));
    const Py_ssize_t rows = static_cast<Py_ssize_t>(py::len(usest));

    // Consumers, coded by value; windows find theirs by Python equality,
    // which is how == compares a window's value with the column here.
    py::object consumers = usest[consumer_label];
    int size = 0;
    const char ck = native::column_kind(numpy, pandas, consumers, size);
    if (ck == 'O') {
        const std::string inferred = py::str(pandas.attr("api").attr("types").attr("infer_dtype")(consumers));
        require(inferred == "string");
    } else if (ck != 0) {
        require(ck == 'i' || ck == 'b' || (ck == 'u' && size <= 4) || (ck == 'f' && size == 8));
        log.numeric_consumers = true;
    }
    py::object factorized = pandas.attr("factorize")(consumers);
    log.consumer = codes_of(numpy, factorized, rows);
    int64_t code = 0;
    for (py::handle u : factorized[py::int_(1)].attr("tolist")()) log.codes[u] = py::int_(code++);

    // Kinds, coded in the order grouping yields them (sorted; missing
    // kinds dropped); the names are the keys grouping yields.
    py::object kinds = usest[e];
    const char kk = native::column_kind(numpy, pandas, kinds, size);
    if (kk == 'O') {
        const std::string inferred = py::str(pandas.attr("api").attr("types").attr("infer_dtype")(kinds));
        require(inferred == "string");
    } else if (kk != 0) {
        require(kk == 'i' || (kk == 'u' && size <= 4));
    }
    py::object sorted_codes = pandas.attr("factorize")(kinds, py::arg("sort") = true);
    log.kind = codes_of(numpy, sorted_codes, rows);
    log.kind_names = sorted_codes[py::int_(1)].attr("tolist")();

    // The time lists: lists only (any other cell fails list addition on the
    // pandas path), of Timestamps and NaT.
    py::list cells = usest[ts].attr("tolist")();
    for (Py_ssize_t r = 0; r < rows; r++) {
        PyObject *cell = PyList_GET_ITEM(cells.ptr(), r);
        require(PyList_CheckExact(cell));
        const Py_ssize_t end = PyList_GET_SIZE(log.elements.ptr());
        if (PyList_SetSlice(log.elements.ptr(), end, end, cell) != 0) throw py::error_already_set();
        log.cell.push_back(static_cast<int64_t>(PyList_GET_SIZE(log.elements.ptr())));
    }
    native::TimeReader reader(pandas);
    const Py_ssize_t n = PyList_GET_SIZE(log.elements.ptr());
    log.times.resize(static_cast<size_t>(n));
    log.missing.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; i++) {
        bool aware = false;
        switch (reader.read(PyList_GET_ITEM(log.elements.ptr(), i), log.times[i], aware)) {
            case native::TimeReader::Other:
                throw Decline{};
            case native::TimeReader::Missing:
                log.missing[i] = 1;
                break;
            case native::TimeReader::Time:
                // Naive and aware times cannot be compared.
                require(log.aware < 0 || log.aware == static_cast<int>(aware));
                log.aware = aware;
                break;
        }
        if ((i & 0xffff) == 0xffff && PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
}

// The window table's CONS_NO, START and END, as iterating its rows gives
// them: every row of a table of mixed column types is an object array, so
// a row's values are the table's values as objects.
struct Windows {
    py::list consumer, start, end;
    Py_ssize_t count = 0;
};

void read_windows(Call &c, Windows &w) {
    py::object interval = c.arg(4), pandas = c.global("pandas");
    require(truth(interval.attr("columns").attr("is_unique")));
    // Bounds of a datetime type and a consumer column of another: every row
    // is an object row, whose values are each column's values as objects.
    py::object is_datetime = pandas.attr("api").attr("types").attr("is_datetime64_any_dtype");
    w.start = native::row_values(interval, interned("START"));
    w.end = native::row_values(interval, interned("END"));
    w.consumer = native::row_values(interval, interned("CONS_NO"));
    require(truth(is_datetime(interval[interned("START")])) && truth(is_datetime(interval[interned("END")])) &&
            !truth(is_datetime(interval[interned("CONS_NO")])) &&
            !truth(pandas.attr("api").attr("types").attr("is_timedelta64_dtype")(interval[interned("CONS_NO")])));
    w.count = static_cast<Py_ssize_t>(py::len(interval));
}

// A window in the kernel's terms, or false when its values are not ones the
// kernel compares exactly.
bool kernel_window(const Log &log, const native::TimeReader &reader, py::handle consumer, py::handle start,
                   py::handle end, ev::Window &w) {
    PyObject *u = consumer.ptr();
    if (log.numeric_consumers) {
        if (PyLong_CheckExact(u)) {
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(u, &overflow);
            if (overflow != 0 || std::fabs(static_cast<double>(v)) > kExact) return false;
        } else if (!PyFloat_CheckExact(u) && !PyBool_Check(u)) {
            return false;
        }
    } else if (!PyUnicode_CheckExact(u)) {
        return false;
    }
    PyObject *code = PyDict_GetItemWithError(log.codes.ptr(), u);
    if (code == nullptr) {
        if (PyErr_Occurred()) throw py::error_already_set();
        w.consumer = -1;  // no rows in the log: nothing is compared
        return true;
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
                return log.aware < 0 || log.aware == static_cast<int>(aware);
        }
        return false;
    };
    w.never = false;
    return bound(start, w.start) && bound(end, w.end);
}

}  // namespace

py::object usest2uet_native(Call &c) {
    native::CollectorPause pause;
    Log log;
    Windows windows;
    const bool genuine = c.global("tqdm").is(tqdm_at_load());
    // With tqdm as imported, it yields exactly what it is given: the
    // windows are the table's rows, read as one array.  Any other tqdm
    // decides the windows by what it yields.
    if (!native::examined([&] {
            read_log(c, log);
            if (genuine) read_windows(c, windows);
        })) {
        native::warn_pandas_path(c, "usest2uet", PyObject_Size(c.arg(4).ptr()), 1000);
        if (PyErr_Occurred()) PyErr_Clear();
        return py::object();
    }

    py::object usest = c.arg(0), e = c.arg(2), ts = c.arg(3), interval = c.arg(4);
    py::object pandas = c.global("pandas"), numpy = c.global("numpy");
    native::TimeReader reader(pandas);
    const ev::EventLog view = log.view();
    ev::WindowCutter cutter(view);
    ev::Cut cut;
    py::list rows;

    // One window: through the kernel when it can compare it, else through
    // the pandas path's step for it.
    auto window = [&](const WindowRow &row, py::handle consumer, py::handle start, py::handle end) {
        ev::Window w;
        if (!kernel_window(log, reader, consumer, start, end, w)) {
            usest2uet_window(c, usest, e, ts, row, rows);
            return;
        }
        cut.clear();
        cutter.cut(w, 0, cut);
        for (int64_t j = 0; j < cut.rows(); j++) {
            // The kinds whose lists are all empty keep numpy's float array
            // of the empty list, as the pandas path leaves it.
            py::object dates = cut.joined_empty[j]
                                   ? numpy.attr("array")(py::list())
                                   : native::object_array(numpy, log.elements, cut.kept.data() + cut.begin[j],
                                                          cut.begin[j + 1] - cut.begin[j]);
            rows.append(py::make_tuple(consumer, log.kind_names[static_cast<size_t>(cut.kind[j])], dates, start, end));
        }
    };

    MOVRA_AT(c);
    if (genuine) {
        py::object positions = py::iter(c.builtin(Builtin::Range)(windows.count));
        py::object progress = usest2uet_progress(c, positions, interval);
        MOVRA_AT(c);
        for (py::handle item : progress) {
            const Py_ssize_t i = item.cast<Py_ssize_t>();
            if (i < 0 || i >= windows.count) throw py::index_error("window position out of range");
            py::object consumer = windows.consumer[i], start = windows.start[i], end = windows.end[i];
            window(WindowRow(consumer, start, end), consumer, start, end);
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
    } else {
        py::object progress = usest2uet_progress(c, interval.attr("iterrows")(), interval);
        MOVRA_AT(c);
        py::object series = pandas.attr("Series");
        for (py::handle item : progress) {
            MOVRA_AT(c);
            auto [index, row] = unpack2(item);
            (void)index;
            py::object consumer, start, end;
            // A row that is not a plain Series, or lacks a value, is read
            // by the pandas path's step, which reports what it lacks.
            const bool plain = native::exact_type(row, series) && native::examined([&] {
                consumer = row.attr("CONS_NO");
                start = row.attr("START");
                end = row.attr("END");
            });
            if (plain)
                window(WindowRow(row), consumer, start, end);
            else
                usest2uet_window(c, usest, e, ts, WindowRow(row), rows);
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
    }
    return usest2uet_frame(c, rows);
}

}  // namespace movra
