// tsdf2seq: one series' readings as a plain array for sequence models.
// Rows are put in ascending time order, optionally cut at a date (and a
// look-back span before it), then optionally cut to the last ("post") or
// first ("pre") `maxlen` values of column `s`.  Without that length cut
// the whole kept frame comes back, two-dimensional.
#include "../module/table.h"
#include "tsdf2seq_native.h"

namespace movra {

py::object tsdf2seq(Call &c) {
    py::object df = c.arg(0), t = c.arg(1), s = c.arg(2), date = c.arg(3), maxlen = c.arg(4),
               cut = c.arg(5), maxdays = c.arg(6);

    // The native kernel where it reproduces the pandas path, else the pandas path.
    if (py::object native = tsdf2seq_native(c)) return native;

    // A new frame, ascending in t; the caller's frame keeps its order.
    MOVRA_AT(c);
    df = df.attr("sort_values")(py::arg("by") = t);

    MOVRA_AT(c);
    if (truth(date)) {
        MOVRA_AT(c);
        df = df[le(df[t], date)];
        MOVRA_AT(c);
        if (truth(maxdays)) {
            MOVRA_AT(c);
            df = df[ge(df[t], date - c.global("datetime").attr("timedelta")(py::arg("days") = maxdays))];
        }
    }

    // The length cut counts positions, whatever the labels: plain [] on a
    // Series with a float index would slice by label.
    MOVRA_AT(c);
    if (truth(maxlen)) {
        MOVRA_AT(c);
        if (truth(eq(cut, interned("post")))) {
            MOVRA_AT(c);
            py::object positions = py::object(df[s]).attr("iloc");
            df = slice(positions, neg(maxlen), py::handle());
        } else if (truth(eq(cut, interned("pre")))) {
            MOVRA_AT(c);
            py::object positions = py::object(df[s]).attr("iloc");
            df = slice(positions, py::handle(), maxlen);
        }
    }

    MOVRA_AT(c);
    return df.attr("values");
}

namespace {
const char *const tsdf2seq_parameters[] = {"df", "t", "s", "date", "maxlen", "cut", "maxdays"};
py::tuple tsdf2seq_defaults() { return py::make_tuple("DATA_DATE", "KWH", py::none(), 256, "post", py::none()); }
const int tsdf2seq_tables[] = {0};  // df
}  // namespace

extern const FunctionEntry tsdf2seq_entry = MOVRA_MODULE_FUNCTION(tsdf2seq)
                                                .parameters(tsdf2seq_parameters)
                                                .defaults(tsdf2seq_defaults)
                                                .tables(tsdf2seq_tables);

}  // namespace movra
