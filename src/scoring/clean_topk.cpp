// clean_topk: overwrites isolated spikes among the largest values of an
// array, in place.
//
// One level looks at the k largest non-NaN entries.  When they are all
// positive and one exceeds `upper`, the two leftmost of them (by position)
// are compared; if one is more than `gap` times the other, the larger is
// overwritten with `replace`.  The level is best effort: anything that goes
// wrong in it (a list instead of an array, too few entries, NaN into an
// integer array) just ends the level, keeping what it already changed.
// Then the next level, k - 1, runs through the module-level name
// `clean_topk`, so a replacement made here is seen as NaN there.
#include "../module/table.h"

namespace movra {

namespace {

// One cleaning level (step 1).  Throws on any failure; the caller discards it.
void clean_level(Call &c, py::handle v, py::handle k, py::handle upper, py::handle gap, py::handle replace) {
    py::object numpy = c.global("numpy");
    py::object index_nan = numpy.attr("where")(numpy.attr("isnan")(v))[py::int_(0)];

    // NaN entries partition as the largest, so the top (NaN count + k)
    // positions hold every NaN plus the k largest numbers.
    py::object m = py::int_(-static_cast<Py_ssize_t>(py::len(index_nan))) - k;
    py::object argmax = slice(numpy.attr("argpartition")(v, m), m, py::handle());
    // Drops the NaN positions; what remains comes out sorted by position.
    argmax = numpy.attr("setdiff1d")(argmax, index_nan);

    py::object all = c.builtin(Builtin::All), any = c.builtin(Builtin::Any);
    if (!truth(all(gt(v[argmax], py::int_(0))))) return;
    if (!truth(any(gt(v[argmax], upper)))) return;

    py::object first = argmax[py::int_(0)];
    py::object second = argmax[py::int_(1)];
    py::object by = v[first] / v[second];
    // Both ratio tests are strict: a pair exactly `gap` apart stays.
    if (truth(gt(by, gap))) {
        v[first] = replace;
    } else if (truth(lt(by, py::int_(1) / gap))) {
        v[second] = replace;
    }
}

}  // namespace

py::object clean_topk(Call &c) {
    py::object v = c.arg(0), k = c.arg(1), upper = c.arg(2), gap = c.arg(3), replace = c.arg(4);

    // 1. This level, guarded.
    try {
        clean_level(c, v, k, upper, gap, replace);
    } catch (py::error_already_set &e) {
        drop_failure(e);
        // Discarded on purpose, whatever it was: a level that cannot run
        // simply changes nothing more.  The error was fetched off the
        // thread's error indicator; the handled-exception state of the
        // caller was never touched.
    }

    // 2. The next level, through the module-level name as it is now.
    MOVRA_AT(c);
    if (truth(gt(k, py::int_(1)))) v = c.global("clean_topk")(v, k - py::int_(1), upper, gap, replace);
    return v;
}

namespace {
const char *const clean_topk_parameters[] = {"v", "k", "upper", "gap", "replace"};
const char *const clean_topk_locals[] = {"index_nan", "argmax", "by"};
py::tuple clean_topk_defaults() { return py::make_tuple(2, 1000, 2.0); }
}  // namespace

// The default of `replace` is numpy.nan as it was at load.
extern const FunctionEntry clean_topk_entry = MOVRA_MODULE_FUNCTION(clean_topk)
                                                  .parameters(clean_topk_parameters)
                                                  .locals(clean_topk_locals)
                                                  .defaults(clean_topk_defaults)
                                                  .numpy_default("nan");

}  // namespace movra
