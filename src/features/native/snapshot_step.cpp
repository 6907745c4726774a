// The columns a call converts, copied at one point.
//
// The kernel reads int64, float64 and datetime columns, narrow integer
// keys and narrow signed times where they lie, once no Python code can run
// until the last window.  Every other column the call reads (text,
// categorical, narrow units or readings, unsigned times) is
// converted first, by pandas or numpy, and pandas runs Python code, during
// which a signal handler may rewrite the caller's frame: conversions made
// one after another could read two versions of it.  So the columns to
// convert are copied here, all in one stretch of numpy's C code, and the
// steps convert the copies (the call's column lookups answer with them).
// Where the kernel then reads the frame, nothing in between runs Python
// code after `confirm`, which checks that the frame still holds the copies'
// values: the call reads one version, or raises.
#include "examination.h"

#include <pybind11/numpy.h>

#include <cstring>
#include <stdexcept>

namespace movra::fe4ts_layer {

namespace {

// A column to copy: its lookup, and the numpy array it reads from (a
// categorical's codes).
struct Source {
    py::object name, column, dtype, values;
    bool categorical = false;
};

}  // namespace

Reason snapshot_step(const Context &cx, const CallShape &call, Snapshots &out) {
    std::vector<Source> sources;
    // Narrow integer keys and a narrow signed time axis are read by the
    // kernel where they lie, at their own width, like int64 ones; the unit
    // and the value column are converted, so they are copied whatever their
    // width, as is an unsigned time axis.
    auto converted = [&](py::handle name, char kind) {
        const bool time = !call.tactic.empty() && name.equal(call.tactic[0]);
        return name.equal(cx.args.unit) || name.equal(cx.args.value) || (time && kind != 'i');
    };
    auto add = [&](const py::object &name) {
        py::object column = cx.args.column(name);
        py::object dtype = column.attr("dtype");
        Source s{name, column, dtype, py::object()};
        if (py::isinstance<py::dtype>(dtype)) {
            const auto d = py::reinterpret_borrow<py::dtype>(dtype);
            const char kind = d.kind();
            if (kind == 'M' || ((kind == 'i' || kind == 'f') && d.itemsize() == 8)) return;  // read in place
            if (std::strchr("iub", kind) && d.itemsize() <= 4 && !converted(name, kind)) return;  // likewise
            if (kind == 'O' && name.equal(cx.args.unit)) return;  // copied as its text is coded
            s.values = column.attr("to_numpy")();
        } else if (py::isinstance(dtype, cx.pandas.attr("CategoricalDtype"))) {
            s.values = column.attr("array").attr("codes");  // a view of them
            s.categorical = true;
        } else {
            return;  // an extension array of another kind is converted where it lies
        }
        if (is_plain_array(s.values, call.rows)) sources.push_back(std::move(s));
    };
    for (const py::object &name : columns_read(cx, call)) add(name);

    // The one point: from the first copy to the last, numpy's C code alone.
    std::vector<py::object> copies;
    for (const Source &s : sources) copies.push_back(s.values.attr("copy")());

    for (size_t i = 0; i < sources.size(); i++) {
        const Source &s = sources[i];
        py::object values = copies[i];
        if (s.categorical)
            values = cx.pandas.attr("Categorical").attr("from_codes")(values, py::arg("dtype") = s.dtype);
        out.keep(cx, s.name, s.column, s.values, copies[i], values);
    }
    return {};
}

void Snapshots::keep(const Context &cx, py::handle name, py::object column, py::object live, py::object copy,
                     py::handle values) {
    py::object held = cx.pandas.attr("Series")(values, py::arg("index") = column.attr("index"),
                                               py::arg("name") = column.attr("name"),
                                               py::arg("dtype") = column.attr("dtype"), py::arg("copy") = false);
    cx.args.hold(name, held);
    copies.push_back({py::reinterpret_borrow<py::object>(name), std::move(column), std::move(live), std::move(copy)});
}

void Snapshots::confirm() const {
    for (const Copy &c : copies) {
        const auto live = py::reinterpret_borrow<py::array>(c.live);
        const auto copy = py::reinterpret_borrow<py::array>(c.copy);
        const auto *from = static_cast<const char *>(live.data());
        const auto *to = static_cast<const char *>(copy.data());
        const py::ssize_t n = live.shape(0), stride = live.strides(0), size = live.itemsize();
        bool same = true;
        if (stride == size)
            same = n == 0 || std::memcmp(from, to, static_cast<size_t>(n * size)) == 0;
        else
            for (py::ssize_t i = 0; i < n && same; i++)
                same = std::memcmp(from + i * stride, to + i * size, static_cast<size_t>(size)) == 0;
        if (!same) throw std::runtime_error("the column " + text_of(c.name) + " of df changed while it was read");
    }
}

bool Snapshots::holds(const void *data) const {
    for (const Copy &c : copies)
        if (py::reinterpret_borrow<py::array>(c.copy).data() == data) return true;
    return false;
}

void Snapshots::release(const Fe4tsArgs &args) const {
    for (const Copy &c : copies) args.hold(c.name, c.column);
}

}  // namespace movra::fe4ts_layer
