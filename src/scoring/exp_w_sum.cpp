// exp_w_sum: a weighted sum of the values in sorted order with geometric
// weights base, base**2, ..., favouring the largest values (or the smallest
// with reverse=False).  With tail_same the last weight repeats the one
// before it, so for base 0.5 the weights add up to exactly 1.
#include "../module/table.h"
#include "../native/interrupts.h"

namespace movra {

py::object exp_w_sum(Call &c) {
    py::object x = c.arg(0), base = c.arg(1), reverse = c.arg(2), tail_same = c.arg(3);

    // 1. A new sorted list: the caller's collection is left as it was.
    MOVRA_AT(c);
    x = c.builtin(Builtin::Sorted)(x, py::arg("reverse") = reverse);

    // 2. w[i] = base ** (i + 1).
    MOVRA_AT(c);
    const Py_ssize_t n = py::len(x);
    py::list w(n);
    constexpr Py_ssize_t kWeightsPerCheck = 4096;  // interrupt check stride
    for (Py_ssize_t i = 0; i < n; ++i) {
        check_interrupts_every(i, kWeightsPerCheck);
        PyObject *wi = PyNumber_Power(base.ptr(), py::int_(i + 1).ptr(), Py_None);
        if (wi == nullptr) throw py::error_already_set();
        PyList_SET_ITEM(w.ptr(), i, wi);  // steals the new weight
    }

    // 3. The last weight repeats the one before it.
    MOVRA_AT(c);
    if (truth(tail_same) && n > 1) w[static_cast<size_t>(n - 1)] = w[static_cast<size_t>(n - 2)];

    // 4. The weighted sum.
    MOVRA_AT(c);
    return c.global("numpy").attr("inner")(w, x);
}

namespace {
const char *const exp_w_sum_parameters[] = {"x", "base", "reverse", "tail_same"};
const char *const exp_w_sum_locals[] = {"w", "i"};
py::tuple exp_w_sum_defaults() { return py::make_tuple(0.5, true, true); }
}  // namespace

extern const FunctionEntry exp_w_sum_entry = MOVRA_MODULE_FUNCTION(exp_w_sum)
                                                 .parameters(exp_w_sum_parameters)
                                                 .locals(exp_w_sum_locals)
                                                 .defaults(exp_w_sum_defaults);

}  // namespace movra
