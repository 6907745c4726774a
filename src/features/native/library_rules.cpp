// The arithmetic rules of the libraries in use (library_rules.h).
#include "library_rules.h"

#include "../series_stats.h"

#include <pybind11/numpy.h>

#include <cmath>
#include <vector>

namespace movra::fe4ts_layer {

// Skewness and kurtosis of constant data tell the two moment rules apart.
k::Moments moments_rule(const Context &cx) {
    py::list constant;
    for (int i = 0; i < 3; i++) constant.append(py::float_(1.0));
    const double probe = cx.pandas.attr("Series")(constant).attr("skew")().cast<double>();
    return std::isnan(probe) ? k::Moments::CorrectedTwoPass : k::Moments::ZeroedTwoPass;
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

// The probe: the nine statistics of thirds in runs between nulls, to the
// last bit, and a NaN computed for data without spread rather than the
// null of too few values.  Other versions differ (pandas 2.2 asks pyarrow
// for the biased skewness, older pyarrow has none).
Reason arrow_rules(const Context &cx, const std::string &what, const std::string &cast) {
    std::vector<double> thirds;
    py::list cells;
    for (int j = 0; j < 40; j++) {
        const bool null = j == 5 || j == 20;
        thirds.push_back(null ? std::nan("") : ((j * 7) % 13 + 1) / 3.0);
        cells.append(null ? py::object(py::none()) : py::object(py::float_(thirds.back())));
    }
    std::vector<double> want(k::kStats);
    k::arrow_series_stats(thirds.data(), static_cast<int64_t>(thirds.size()), want.data());
    const std::string differs = what + " is described by pandas " + utf8(cx.pandas.attr("__version__")) +
                                " with its pyarrow otherwise than the kernel does" + cast;
    try {
        auto series = [&](py::object values) {
            return cx.pandas.attr("Series")(values, py::arg("dtype") = "double[pyarrow]");
        };
        const std::vector<py::object> got = nine_stats(series(cells));
        for (int i = 0; i < k::kStats; i++)
            if (!is_float(got[i]) || PyFloat_AS_DOUBLE(got[i].ptr()) != want[i]) return differs;
        py::list constant, two;
        for (int j = 0; j < 4; j++) constant.append(py::float_(5.0));
        two.append(py::float_(1.0));
        two.append(py::float_(2.0));
        py::object flat = series(constant).attr("skew")(), few = series(two).attr("skew")();
        if (!is_float(flat) || !std::isnan(PyFloat_AS_DOUBLE(flat.ptr())) || !few.is(cx.pandas.attr("NA")))
            return differs;
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return what + " cannot be described by pandas " + utf8(cx.pandas.attr("__version__")) + " (" +
               utf8(py::str(e.value())) + ")" + cast;
    }
    return {};
}

}  // namespace movra::fe4ts_layer
