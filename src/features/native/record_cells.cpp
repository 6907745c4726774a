// The cell types of the records over nullable readings (record_cells.h).
#include "record_cells.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

namespace movra::fe4ts_layer {

namespace {

// What the pandas path's statistics of a nullable Series are: pd.NA where
// the statistic is missing; for integer readings a numpy int for MAX and MIN,
// and for Q3 and Q1 of whole value when the Series holds pd.NA (`missing`).
// A block of nine holding pd.NA keeps those objects; one without is a
// float64 array (the ints become floats).  The quantiles of an empty Series
// (a category without readings) are NaN, not pd.NA.
bool masked_block(const double *stats, bool missing, bool integer_values, Cell *out, bool empty = false) {
    bool na = false;
    for (int s = 0; s < k::kStats; s++) na = na || std::isnan(stats[s]);
    for (int s = 0; s < k::kStats; s++) {
        const bool quantile = s == k::Stat::Q3 || s == k::Stat::Q1;
        const bool extreme = s == k::Stat::Max || s == k::Stat::Min;
        const bool integral = extreme || (quantile && missing && stats[s] == std::floor(stats[s]));
        out[s] = !na                             ? Cell::Float
                 : empty && quantile             ? Cell::Float
                 : std::isnan(stats[s])          ? Cell::NA
                 : integer_values && integral    ? Cell::Value
                                                 : Cell::Float;
    }
    return na;
}

// The same for pyarrow's statistics: pd.NA where pyarrow returns null (a
// NaN it computes stays a float); in a block holding pd.NA, the extremes
// of integers stay Python ints.
bool arrow_block(const double *stats, bool integer_values, Cell *out) {
    auto null = [stats](int s) { return std::isnan(stats[s]) && !k::is_arrow_nan(stats[s]); };
    bool na = false;
    for (int s = 0; s < k::kStats; s++) na = na || null(s);
    for (int s = 0; s < k::kStats; s++) {
        const bool extreme = s == k::Stat::Max || s == k::Stat::Min;
        out[s] = null(s) ? Cell::NA : na && integer_values && extreme ? Cell::Int : Cell::Float;
    }
    return na;
}

bool block_of(const double *stats, bool missing, const ValueColumn &value, Cell *out, bool empty = false) {
    if (value.arrow_stats) return arrow_block(stats, value.arrow_integers, out);
    return masked_block(stats, missing, value.integer, out, empty);
}

}  // namespace

// Window w's cell types in label order (as values_of gives the values).  A
// record with a pd.NA, or the Timestamps of a datetime axis, is an object
// Series: its counts, and the span of an integer axis, stay Python and
// numpy ints.  A record without is float64.
void cells_of(const ResultRecords &records, int64_t w, const ValueColumn &value, TimeAxis::Kind time,
              std::vector<Cell> &out) {
    out.clear();
    const k::Result &r = records.result();
    bool object = time == TimeAxis::Datetime;
    records.walk(w, [&](const RecordEntry &e) {
        const size_t at = out.size();
        const double *fields = records.fields(w, e);
        switch (e.block) {
            case Block::Period:
                out.insert(out.end(), k::kStats, Cell::Float);
                out.insert(out.end(), k::kPeriodWidth - k::Field::Nb0, Cell::Int);
                break;
            case Block::Profile:
                out.insert(out.end(), k::kStats, Cell::Float);
                object |= block_of(fields, r.profile_missing[e.group] != 0, value, &out[at],
                                   r.profile_rows[e.group] == 0);
                break;
            case Block::Lag:
                out.insert(out.end(), k::kLagWidth, Cell::Int);
                object |= block_of(fields, fields[k::Field::NbNa] > 0, value, &out[at]);
                out[at + k::Field::Acor] = Cell::Float;
                break;
            case Block::Span:
                // A Series from a dict: int64 times on an integer axis.
                out.insert(out.end(), fields_of(Block::Span),
                           time == TimeAxis::Datetime ? Cell::Time
                           : time == TimeAxis::Int    ? Cell::Int
                                                      : Cell::Float);
                break;
        }
    });
    if (!object) std::fill(out.begin(), out.end(), Cell::Float);
}

// What the pandas path's records over nullable readings make of the frame:
// when any record holds pd.NA, the frame infers each column's type from its
// cells, as numpy does for a list of objects.  A column holding pd.NA is an
// object column (its numbers as Python floats and ints, NaN where a record
// lacks the label); one whose every cell is an int takes the ints' type
// (int64 for counts and times, the readings' own width for their
// statistics); any other stays float64.
void masked_record_types(const Context &cx, const ValueColumn &value, const py::object &table,
                         const std::vector<Cell> &types, py::handle ftrs, const std::vector<py::ssize_t> &at) {
    py::buffer_info info = py::buffer(table).request();
    const char *cells = static_cast<const char *>(info.ptr);
    const py::ssize_t W = info.shape[0], C = info.shape[1];
    auto cell = [&](py::ssize_t w, py::ssize_t j) {  // in whichever layout the table has
        double v;
        std::memcpy(&v, cells + w * info.strides[0] + j * info.strides[1], sizeof v);
        return v;
    };
    bool any_na = false;
    for (Cell t : types) any_na = any_na || t == Cell::NA;
    if (!any_na) return;  // every record float64: so is the frame
    py::object na = cx.pandas.attr("NA");
    for (py::ssize_t j = 0; j < C; j++) {
        bool has_na = false, same = W > 0;
        const Cell first = W > 0 ? types[static_cast<size_t>(j)] : Cell::Missing;
        for (py::ssize_t w = 0; w < W; w++) {
            const Cell t = types[static_cast<size_t>(w * C + j)];
            has_na = has_na || t == Cell::NA;
            same = same && t == first;
        }
        if (has_na) {
            // The statistics are numpy scalars there, a lacking label
            // Python's NaN.  pyarrow's are Python floats, as are the numpy
            // floats of the record's float64 blocks once it becomes an
            // object Series.
            py::object values = table[py::make_tuple(py::slice(py::none(), py::none(), py::none()), j)];
            py::list floats(values), ints;
            if (value.integer) ints = py::list(cx.numpy.attr("nan_to_num")(values).attr("astype")(value.dtype));
            py::array column(py::dtype("O"), std::vector<py::ssize_t>{W});
            PyObject **out = static_cast<PyObject **>(column.mutable_data());
            for (py::ssize_t w = 0; w < W; w++) {
                const Cell t = types[static_cast<size_t>(w * C + j)];
                const double v = cell(w, j);
                PyObject *item = t == Cell::NA      ? na.inc_ref().ptr()
                                 : t == Cell::Float && !value.arrow
                                     ? py::object(floats[static_cast<size_t>(w)]).release().ptr()
                                 : t == Cell::Value ? py::object(ints[static_cast<size_t>(w)]).release().ptr()
                                 : t == Cell::Int   ? PyLong_FromDouble(v)
                                                    : PyFloat_FromDouble(v);
                if (item == nullptr) throw py::error_already_set();
                Py_XDECREF(out[w]);
                out[w] = item;
            }
            ftrs.attr("isetitem")(at[static_cast<size_t>(j)], column);
        } else if (same && (first == Cell::Int || first == Cell::Value)) {
            const std::string dtype = first == Cell::Int ? std::string("int64") : value.dtype;
            const py::ssize_t to = at[static_cast<size_t>(j)];
            py::object column = ftrs.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), to)];
            ftrs.attr("isetitem")(to, column.attr("astype")(dtype));
        }
    }
}

}  // namespace movra::fe4ts_layer
