// The arithmetic rules of the libraries in use (library_rules.h).
#include "library_rules.h"

#include "../series_stats.h"

#include <pybind11/numpy.h>

#include <cmath>
#include <vector>

namespace movra::fe4ts_layer {

// Skewness and kurtosis of constant data tell the two moment rules apart.
// The rule is a fact of the pandas release, so it is probed once per
// release seen (a pandas without a version is probed on every call).
k::Moments moments_rule(const Context &cx) {
    static std::string probed_version;
    static k::Moments probed = k::Moments::CorrectedTwoPass;
    py::object version = optional_attr(cx.pandas, "__version__");
    const bool known = version && PyUnicode_Check(version.ptr());
    if (known && !probed_version.empty() && utf8(version) == probed_version) return probed;
    py::list constant;
    for (int i = 0; i < 3; i++) constant.append(py::float_(1.0));
    const double probe = cx.pandas.attr("Series")(constant).attr("skew")().cast<double>();
    const k::Moments rule = std::isnan(probe) ? k::Moments::CorrectedTwoPass : k::Moments::ZeroedTwoPass;
    if (known) {
        probed_version = utf8(version);
        probed = rule;
    }
    return rule;
}

// float32 readings: which float32 arithmetic pandas uses on them.  It differs
// with pandas' moment rule and with numpy's promotion of a float64 scalar
// against a float32 array (numpy 1.x keeps the array's type); the kernel
// knows the rules of pandas 3.1 on numpy 2 and of pandas 2.2 on numpy 1.x.
Reason float32_rules(const Context &cx, k::Moments moments, const std::string &what, const std::string &cast,
                     k::Precision &precision) {
    py::object narrow = cx.numpy.attr("ones")(1, py::arg("dtype") = "float32");
    py::object difference = cx.numpy.attr("float64")(1.5) - narrow;
    const bool legacy = utf8(py::str(difference.attr("dtype"))) == "float32";
    const std::string pandas_version = utf8(cx.pandas.attr("__version__"));
    if (moments == k::Moments::CorrectedTwoPass && !legacy) {
        precision = k::Precision::Float32;
    } else if (moments == k::Moments::ZeroedTwoPass && legacy && pandas_version.compare(0, 2, "2.") == 0) {
        precision = k::Precision::Float32Legacy;
    } else {
        return what + " is described in float32 arithmetic by pandas " + pandas_version + " on numpy " +
               utf8(cx.numpy.attr("__version__")) + ", a pairing whose float32 rules the kernel does not reproduce" +
               cast;
    }
    // numpy 1.x sums a float32 array in buffers of 8192 values, numpy 2.4
    // in one pairwise pass; these probe values tell the two orders apart.
    // The probe is read only as the C-ordered float32 vector it was asked
    // to be (the module's numpy global may hand back anything else).
    using Probe = py::array_t<float, py::array::c_style>;
    py::object probe = cx.numpy.attr("remainder")(cx.numpy.attr("arange")(9000), 1000);
    probe = cx.numpy.attr("add")(probe, 0.1).attr("astype")("float32");
    const std::string differs = what + " is summed by numpy " + utf8(cx.numpy.attr("__version__")) +
                                " in an order the kernel does not reproduce" + cast;
    if (!py::isinstance<Probe>(probe)) return differs;
    const auto values = py::reinterpret_borrow<Probe>(probe);
    if (values.ndim() != 1) return differs;
    const float numpy_sum = cx.numpy.attr("sum")(probe).cast<float>();
    const bool blocked = precision == k::Precision::Float32Legacy;
    if (numpy_sum != k::float32_sum(values.data(), values.size(), blocked)) return differs;
    return {};
}

namespace {

// Whether pandas' statistics of an Arrow-backed Series are the kernel's
// `want`, to the last bit and in type: Python floats, and Python ints for
// the extremes of integers.
bool described_alike(const std::vector<py::object> &got, const std::vector<double> &want, bool integers) {
    for (int i = 0; i < k::kStats; i++) {
        const bool extreme = i == k::Stat::Max || i == k::Stat::Min;
        py::handle g = got[static_cast<size_t>(i)];
        if (integers && extreme) {
            if (!PyLong_CheckExact(g.ptr()) || PyLong_AsDouble(g.ptr()) != want[static_cast<size_t>(i)]) return false;
        } else if (!is_float(g) || PyFloat_AS_DOUBLE(g.ptr()) != want[static_cast<size_t>(i)]) {
            return false;
        }
    }
    return true;
}

// A Series of `type` over `cells` in chunks that begin at `chunks`.
py::object chunked_series(const Context &cx, const std::string &type, const py::list &cells,
                          const std::vector<int64_t> &chunks) {
    py::module_ pa = py::module_::import("pyarrow");
    py::list pieces;
    int64_t begin = 0;
    for (size_t c = 0; c <= chunks.size(); c++) {
        const int64_t end = c < chunks.size() ? chunks[c] : static_cast<int64_t>(py::len(cells));
        pieces.append(cells[py::slice(begin, end, 1)]);
        begin = end;
    }
    py::object array = pa.attr("chunked_array")(pieces, py::arg("type") = pa.attr("type_for_alias")(type));
    return cx.pandas.attr("Series")(cx.pandas.attr("arrays").attr("ArrowExtensionArray")(array));
}

}  // namespace

// The probe: the nine statistics of small numbers in runs between nulls,
// in one chunk and in three, to the last bit, and a NaN computed for data
// without spread rather than the null of too few values.  Other versions
// differ (pandas 2.2 asks pyarrow for the biased skewness, older pyarrow
// has none).
Reason arrow_rules(const Context &cx, const std::string &type, bool narrow_integers, const std::string &what,
                   const std::string &cast) {
    const bool integers = type != "double";
    std::vector<double> values;
    py::list cells;
    for (int j = 0; j < 40; j++) {
        const bool null = j == 5 || j == 20;
        const int whole = (j * 7) % 13 + 1;
        values.push_back(null ? std::nan("") : integers ? whole : whole / 3.0);
        cells.append(null ? py::object(py::none())
                          : integers ? py::object(py::int_(whole)) : py::object(py::float_(values.back())));
    }
    const std::string differs = what + " is described by pandas " + utf8(cx.pandas.attr("__version__")) +
                                " with its pyarrow otherwise than the kernel does" + cast;
    try {
        for (const std::vector<int64_t> &chunks : {std::vector<int64_t>(), std::vector<int64_t>{13, 29}}) {
            std::vector<double> want(k::kStats);
            k::arrow_series_stats(values.data(), static_cast<int64_t>(values.size()), want.data(), chunks,
                                  narrow_integers);
            if (!described_alike(nine_stats(chunked_series(cx, type, cells, chunks)), want, integers)) return differs;
        }
        py::list constant, two;
        for (int j = 0; j < 4; j++) constant.append(py::int_(5));
        two.append(py::int_(1));
        two.append(py::int_(2));
        py::object flat = chunked_series(cx, type, constant, {}).attr("skew")();
        py::object few = chunked_series(cx, type, two, {}).attr("skew")();
        if (!is_float(flat) || !std::isnan(PyFloat_AS_DOUBLE(flat.ptr())) || !few.is(cx.pandas.attr("NA")))
            return differs;
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return what + " cannot be described by pandas " + utf8(cx.pandas.attr("__version__")) + " (" +
               utf8(py::str(e.value())) + ")" + cast;
    }
    return {};
}

namespace {

// The chunks of an Arrow-backed Series, and of a frame's column "V".
int64_t chunks_in(py::handle series) {
    return series.attr("array").attr("__arrow_array__")().attr("num_chunks").cast<int64_t>();
}
int64_t chunks_of(py::handle frame) { return chunks_in(frame[py::str("V")]); }

}  // namespace

// The probe: a frame of one unit whose readings are in order and in two
// chunks, cut as the pandas path cuts a window.  Selecting all of its rows
// and ordering them keeps the chunks, so does a positional slice and a
// group found in place; a mask that drops a row, and the lag block's join,
// take the readings into one chunk.
Reason chunk_rules(const Context &cx, const std::string &what, const std::string &cast) {
    const std::string differs = what + " is held in Arrow chunks, which pandas " +
                                utf8(cx.pandas.attr("__version__")) +
                                " hands to pyarrow otherwise than the kernel expects; a copy in one chunk "
                                "(pyarrow's combine_chunks) runs natively" + cast;
    try {
        py::list cells;
        for (double j = 1; j <= 4; j++) cells.append(py::float_(j));
        py::dict columns;
        columns["U"] = py::make_tuple(1, 1, 1, 1);
        columns["T"] = py::make_tuple(0, 1, 2, 3);
        columns["K"] = py::make_tuple(0, 1, 1, 2);
        columns["V"] = chunked_series(cx, "double", cells, {2}).attr("array");
        py::object frame = cx.pandas.attr("DataFrame")(columns);
        py::object kept = frame[eq(frame[py::str("U")], py::int_(1))].attr("sort_values")("T");
        py::object taken = frame[ge(frame[py::str("T")], py::int_(1))];
        // A Series' groups are split as a frame's are.
        py::object groups = kept[py::str("V")].attr("groupby")(kept[py::str("K")]).attr("apply")(
            py::cpp_function([](py::object group) { return chunks_in(group); }));
        py::list pair;
        pair.append(py::str("T"));
        pair.append(py::str("V"));
        py::dict rename;
        rename["T"] = py::str("S");
        py::object temp = cx.pandas.attr("merge")(kept, kept[pair].attr("rename")(py::arg("columns") = rename),
                                                  py::arg("left_on") = "T", py::arg("right_on") = "S",
                                                  py::arg("how") = "left", py::arg("suffixes") = py::make_tuple("", "_1"));
        py::object diff = temp[py::str("V")] - temp[py::str("V_1")];
        py::list spans;  // the chunks of each group: the middle one spans both
        for (int c : {1, 2, 1}) spans.append(c);
        const bool as_expected =
            chunks_of(kept) == 2 && chunks_of(kept.attr("iloc")[py::slice(1, 4, 1)]) == 2 && chunks_of(taken) == 1 &&
            groups.attr("tolist")().equal(spans) &&
            chunks_in(diff) == 1;
        if (!as_expected) return differs;
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return differs;
    }
    return {};
}

}  // namespace movra::fe4ts_layer
