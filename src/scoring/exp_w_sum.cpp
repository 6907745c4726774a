// exp_w_sum: a weighted sum of the values in sorted order with geometric
// weights base, base**2, ..., favouring the largest values (or the smallest
// with reverse=False).  With tail_same the last weight repeats the one
// before it, so for base 0.5 the weights add up to exactly 1.
//
// Q3_Q1: interquartile range ignoring NaN; never raises, any failure of the
// computation gives NaN.
#include "../module/table.h"

namespace movra {

py::object exp_w_sum(Call &c) {
    py::object x = c.arg(0), base = c.arg(1), reverse = c.arg(2), tail_same = c.arg(3);

    // A new list: the caller's collection is left as it was.
    MOVRA_AT(c);
    x = c.builtin(Builtin::Sorted)(x, py::arg("reverse") = reverse);

    const Py_ssize_t n = py::len(x);
    py::list w(n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if ((i & 0xFFF) == 0 && PyErr_CheckSignals() != 0) throw py::error_already_set();
        MOVRA_AT(c);
        PyObject *wi = PyNumber_Power(base.ptr(), py::int_(i + 1).ptr(), Py_None);
        if (wi == nullptr) throw py::error_already_set();
        PyList_SET_ITEM(w.ptr(), i, wi);  // steals the new weight
    }

    MOVRA_AT(c);
    if (truth(tail_same) && n > 1) w[static_cast<size_t>(n - 1)] = w[static_cast<size_t>(n - 2)];

    MOVRA_AT(c);
    return c.global("numpy").attr("inner")(w, x);
}

py::object Q3_Q1(Call &c) {
    py::object v = c.arg(0);
    try {
        MOVRA_AT(c);
        py::object numpy = c.global("numpy");
        py::object quartiles = numpy.attr("nanpercentile")(v, py::make_tuple(25, 75));
        return numpy.attr("diff")(quartiles)[py::int_(0)];
    } catch (py::error_already_set &e) {
        drop_failure(e);
        // Any failure at all means "no spread": dropped without a trace.
        // Only the error indicator held it; the caller's handled-exception
        // state is untouched.
    }
    MOVRA_AT(c);
    return c.global("numpy").attr("nan");
}

}  // namespace movra
