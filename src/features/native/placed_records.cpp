// The placed records of a kernel run (placed_records.h).
#include "placed_records.h"

#include "../column_placement.h"
#include "../feature_names.h"
#include "parallel.h"
#include "record_cells.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace movra::fe4ts_layer {

namespace {

// str() of a profile group's key as the group's index yields it: a Python
// int, float or bool, or the text of a coded key.
class KeyTexts {
public:
    KeyTexts(const k::Options &o, const std::vector<KeyInfo> &keys) : o_(o), keys_(keys) {}

    std::string operator()(size_t p, const k::Scalar &key) {
        const KeyInfo &info = keys_[static_cast<size_t>(o_.periodic[p])];
        switch (info.kind) {
            case KeyInfo::Int:
                return std::to_string(key.i);
            case KeyInfo::Bool:
                return key.i ? "True" : "False";
            case KeyInfo::Coded:
                return info.labels[static_cast<size_t>(key.f)];
            case KeyInfo::Float: {
                uint64_t bits;
                std::memcpy(&bits, &key.f, sizeof bits);
                auto it = float_text_.find(bits);
                if (it == float_text_.end()) it = float_text_.emplace(bits, utf8(py::str(py::float_(key.f)))).first;
                return it->second;
            }
        }
        return std::string();
    }

private:
    const k::Options &o_;
    const std::vector<KeyInfo> &keys_;
    std::unordered_map<uint64_t, std::string> float_text_;
};

// What a column of the record frame holds: a field of an entry of a block.
struct ColumnRole {
    Block block = Block::Span;
    int field = -1;  // -1: the unit column
    bool count() const {
        return (block == Block::Period || block == Block::Lag) && field >= k::Field::Nb0 && field <= k::Field::Nb;
    }
};

// The labels of window w's record, and what each label holds.
void labels_of(const ResultRecords &records, int64_t w, const RecordNames &names, KeyTexts &key_text,
               std::vector<std::string> &out, std::vector<ColumnRole> &roles) {
    out.clear();
    roles.clear();
    const std::string none;
    records.walk(w, [&](const RecordEntry &e) {
        const bool profile = e.block == Block::Profile;
        append_labels(names, e, profile ? key_text(e.index, records.result().profile_keys[e.group]) : none, out);
        for (int f = 0; f < fields_of(e.block); f++) roles.push_back(ColumnRole{e.block, f});
    });
}

// Identifies the labels of a record: its entries, with the profile groups'
// keys.
void shape_of(const ResultRecords &records, int64_t w, std::vector<int64_t> &out) {
    out.clear();
    records.walk(w, [&](const RecordEntry &e) {
        out.push_back(static_cast<int64_t>(e.block));
        out.push_back(static_cast<int64_t>(e.index));
        if (e.block != Block::Profile) return;
        const k::Scalar &key = records.result().profile_keys[e.group];
        int64_t bits;
        std::memcpy(&bits, &key.f, sizeof bits);
        out.push_back(key.i);
        out.push_back(bits);
    });
}

// Window w's values in label order.
void values_of(const ResultRecords &records, int64_t w, bool integer_time, std::vector<double> &out) {
    out.clear();
    records.walk(w, [&](const RecordEntry &e) {
        if (e.block == Block::Span) {
            for (int end = 0; end < fields_of(Block::Span); end++) {
                const k::Scalar &s = records.span(w)[end];
                out.push_back(integer_time ? static_cast<double>(s.i) : s.f);
            }
            return;
        }
        const double *fields = records.fields(w, e);
        out.insert(out.end(), fields, fields + fields_of(e.block));
    });
}

// The record frame's columns: each window's labels placed once per
// distinct shape of record, what each column holds, and where each value
// of a window's record goes.
struct RecordColumns {
    std::vector<std::string> names;           // the feature columns, the unit's left out
    std::vector<ColumnRole> roles;            // per feature column
    std::vector<std::vector<int>> positions;  // per window: each value's feature column
    int unit_at = 0;                          // the unit column's place among all columns
    std::vector<Introduction> introductions;  // the windows that brought new columns
};

RecordColumns place_records(const ResultRecords &records, const Examination &x, const k::Options &options,
                            const std::string &unit) {
    RecordColumns out;
    ColumnPlacement<TextLabelIndex> placement(unit);
    const RecordNames names = x.names();
    KeyTexts key_text(options, x.keys.info);
    std::vector<int64_t> shape, last_shape;
    std::vector<std::string> labels;
    std::vector<ColumnRole> roles, all_roles;  // all_roles: by placed column
    std::vector<int> last_positions;
    out.positions.resize(static_cast<size_t>(records.windows()));
    for (int64_t w = 0; w < records.windows(); w++) {
        shape_of(records, w, shape);
        if (w == 0 || shape != last_shape) {
            labels_of(records, w, names, key_text, labels, roles);
            last_positions = placement.place(labels, w);
            all_roles.resize(placement.names().size());
            for (size_t j = 0; j < roles.size(); j++) all_roles[static_cast<size_t>(last_positions[j])] = roles[j];
            last_shape = shape;
        }
        out.positions[static_cast<size_t>(w)] = last_positions;
    }
    // The only unit column: no label of the kernel's is the unit's.
    out.unit_at = placement.unit_columns()[0];
    const auto &all = placement.names();
    for (size_t j = 0; j < all.size(); j++)
        if (static_cast<int>(j) != out.unit_at) {
            out.names.push_back(all[j]);
            out.roles.push_back(all_roles[j]);
        }
    for (auto &row : out.positions)
        for (int &p : row) p = p > out.unit_at ? p - 1 : p;
    out.introductions = placement.introductions();
    return out;
}

// One float64 table of every record's values (NaN where a record lacks the
// label) and, with nullable readings, every cell's type, row by row.  The
// table is an array of our own making, of the size written into it: not one
// the module's numpy global hands back, whose shape or type nothing here
// could vouch for.  It is laid out column by column, as the frame's float64
// block is, so that the frame takes it without a copy.  Tiles of windows
// are filled row by row in cache, then written out column by column, on
// `threads` threads without the interpreter lock: nothing here is Python's.
py::object fill_table(const ResultRecords &records, const RecordColumns &columns, const Examination &x,
                      std::vector<Cell> &types, int threads) {
    const int64_t W = records.windows();
    const int64_t C = static_cast<int64_t>(columns.names.size());
    py::array_t<double, py::array::f_style> table({static_cast<py::ssize_t>(W), static_cast<py::ssize_t>(C)});
    double *cells = table.mutable_data();
    const bool masked = x.value.masked;
    if (masked) types.assign(static_cast<size_t>(W * C), Cell::Missing);
    const bool integer_time = x.time.kind != TimeAxis::Float;
    constexpr int64_t kTile = 64;  // windows: a tile's column is 8 cache lines
    struct Scratch {
        std::vector<double> values, tile;
        std::vector<Cell> kinds;
    };
    std::vector<Scratch> scratch(static_cast<size_t>(std::max(1, threads)));
    {
        py::gil_scoped_release unlocked;
        k::for_each_part(threads, (W + kTile - 1) / kTile, [&](int64_t t, int worker) {
            Scratch &s = scratch[static_cast<size_t>(worker)];
            const int64_t first = t * kTile, rows = std::min(W, first + kTile) - first;
            s.tile.assign(static_cast<size_t>(rows * C), std::nan(""));
            for (int64_t r = 0; r < rows; r++) {
                const int64_t w = first + r;
                values_of(records, w, integer_time, s.values);
                if (masked) cells_of(records, w, x.value, x.time.kind, s.kinds);
                const std::vector<int> &at = columns.positions[static_cast<size_t>(w)];
                double *row = s.tile.data() + r * C;
                for (size_t j = 0; j < s.values.size(); j++) {
                    row[at[j]] = s.values[j];
                    if (masked) types[static_cast<size_t>(w * C + at[j])] = s.kinds[j];
                }
            }
            for (int64_t c = 0; c < C; c++) {
                double *column = cells + c * W + first;
                for (int64_t r = 0; r < rows; r++) column[r] = s.tile[static_cast<size_t>(r * C + c)];
            }
        });
    }
    return table;
}

// What the pandas path's records make of a datetime axis: records holding
// Timestamps are not numeric, so the record frame infers each column's type
// from its cells.  Counts (Python ints) become int64 columns where every
// window has one, and the span columns hold Timestamps of the column's unit
// and zone.  The span columns are built by the same constructor as there.
struct Spans {
    int64_t windows = 0;
    std::vector<int64_t> rows;   // per window: its readings
    std::vector<k::Scalar> span;  // per window: first and last time
};

void datetime_record_types(const Context &cx, const TimeAxis &time, const std::string &value, const Spans &r,
                           py::object ftrs, const std::vector<ColumnRole> &roles, const std::vector<py::ssize_t> &at) {
    bool any = false;
    for (int64_t n : r.rows) any = any || n > 0;
    if (!any) return;  // only empty records: all float64, no span
    std::vector<py::ssize_t> span_at(2, -1);
    for (py::ssize_t j = 0; j < static_cast<py::ssize_t>(roles.size()); j++) {
        const ColumnRole &role = roles[static_cast<size_t>(j)];
        if (role.block == Block::Span) span_at[static_cast<size_t>(role.field)] = j;
        if (role.count()) {
            const py::ssize_t to = at[static_cast<size_t>(j)];
            py::object column = ftrs.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), to)];
            if (!has_missing(column)) ftrs.attr("isetitem")(to, column.attr("astype")("int64"));
        }
    }
    // Timestamps of the span, NaN for empty windows.
    const int64_t W = r.windows;
    py::array_t<int64_t> ticks({static_cast<py::ssize_t>(W), static_cast<py::ssize_t>(2)});
    auto t = ticks.mutable_unchecked<2>();
    for (int64_t w = 0; w < W; w++)
        for (int e = 0; e < 2; e++) t(w, e) = r.span[static_cast<size_t>(2 * w + e)].i;
    py::object dates = cx.pandas.attr("Series")(ticks.attr("ravel")().attr("view")("M8[" + time.unit + "]"));
    if (!time.tz.is_none())
        dates = dates.attr("dt").attr("tz_localize")("UTC").attr("dt").attr("tz_convert")(time.tz);
    py::list stamps = dates.attr("astype")("object").attr("tolist")();
    py::float_ missing(std::nan(""));
    py::list table;
    for (int64_t w = 0; w < W; w++) {
        py::list row;
        for (int e = 0; e < 2; e++)
            row.append(r.rows[static_cast<size_t>(w)] > 0 ? py::object(stamps[static_cast<size_t>(2 * w + e)])
                                                         : py::object(missing));
        table.append(row);
    }
    const std::string start = value + kSpanSuffixes[0], end = value + kSpanSuffixes[1];
    py::object span = cx.pandas.attr("DataFrame")(table, py::arg("columns") = py::make_tuple(start, end),
                                                 py::arg("dtype") = py::none());
    for (int e = 0; e < 2; e++)
        if (span_at[e] >= 0)
            ftrs.attr("isetitem")(at[static_cast<size_t>(span_at[e])], span.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), e)]);
}

}  // namespace

WindowRecords placed_records(Call &c, const Context &cx, const Examination &x, const k::Options &options,
                             const k::Result &result, int threads) {
    // Columns, then one float64 array of all records.
    MOVRA_AT(c);
    const ResultRecords records(result, options);
    RecordColumns columns = place_records(records, x, options, utf8(cx.args.unit));
    auto types = std::make_shared<std::vector<Cell>>();
    py::object table = fill_table(records, columns, x, *types, threads);

    auto placed = std::make_unique<PlacedRecords>();
    for (const std::string &name : columns.names) placed->labels.append(py::str(name));
    placed->unit_at = {columns.unit_at};
    const Fe4tsArgs &a = cx.args;
    placed->unit_values = a.window_column(a.unit).attr("reset_index")(py::arg("drop") = true);
    placed->rows = static_cast<py::ssize_t>(records.windows());
    placed->floats = table;

    // The columns whose cells the pandas path's records would not hold as
    // floats take their types after the frame is built.
    const bool datetime = x.time.kind == TimeAxis::Datetime;
    bool any_na = false;
    for (Cell t : *types) any_na = any_na || t == Cell::NA;
    placed->plain.assign(columns.names.size(), any_na ? 0 : 1);
    if (datetime)
        for (size_t j = 0; j < columns.roles.size(); j++)
            if (columns.roles[j].count() || columns.roles[j].block == Block::Span) placed->plain[j] = 0;
    if (datetime || any_na) {
        // What the types are made of, held by the step: it runs once the
        // examination and the kernel's result are gone.
        auto roles = std::make_shared<std::vector<ColumnRole>>(std::move(columns.roles));
        auto spans = std::make_shared<Spans>(Spans{result.windows, result.rows, result.span});
        placed->retype = [cx, time = x.time, value = x.value, name = x.call.value, table, types, roles,
                          spans](py::handle ftrs, const std::vector<py::ssize_t> &at) {
            py::object frame = py::reinterpret_borrow<py::object>(ftrs);
            if (time.kind == TimeAxis::Datetime) datetime_record_types(cx, time, name, *spans, frame, *roles, at);
            if (value.masked) masked_record_types(cx, value, table, *types, frame, at);
        };
    }
    WindowRecords out;
    out.records = std::move(placed);
    out.introductions = std::move(columns.introductions);
    return out;
}

}  // namespace movra::fe4ts_layer
