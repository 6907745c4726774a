// pad_seq: brings a sequence up to a fixed length with a fill value placed
// after it ("post") or before it ("pre"); any other padding returns the
// sequence itself.  It never shortens: numpy.append of an empty fill list
// is just a flattened copy.
#include "../module/table.h"

namespace movra {

py::object pad_seq(Call &c) {
    py::object v = c.arg(0), maxlen = c.arg(1), padding = c.arg(2), value = c.arg(3);

    // [value] * (maxlen - len(v)): empty when the count is not positive.
    auto fill = [&] {
        py::list one;
        one.append(value);
        return one * (maxlen - py::int_(py::len(v)));
    };

    MOVRA_AT(c);
    if (truth(eq(padding, interned("post")))) {
        MOVRA_AT(c);
        v = c.global("numpy").attr("append")(v, fill());
    } else if (truth(eq(padding, interned("pre")))) {
        MOVRA_AT(c);
        v = c.global("numpy").attr("append")(fill(), v);
    }
    return v;
}

namespace {
const char *const pad_seq_parameters[] = {"v", "maxlen", "padding", "value"};
py::tuple pad_seq_defaults() { return py::make_tuple(256, "post", -1); }
}  // namespace

extern const FunctionEntry pad_seq_entry =
    MOVRA_MODULE_FUNCTION(pad_seq).parameters(pad_seq_parameters).defaults(pad_seq_defaults);

}  // namespace movra
