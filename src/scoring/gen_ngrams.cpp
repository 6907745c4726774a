// gen_ngrams: the overlapping n-grams of a sequence, as a list of tuples.
//
// Texts and lists are padded with n - 1 pad symbols at both ends so that
// every element takes part in exactly n n-grams; a text is padded with the
// pad's text form, a list with the pad value itself.  A numpy array is
// turned into a list first.  The type tests are exact: subclasses, tuples,
// Series and the like are used as they are, unpadded.  The n-grams are
// zip(s[0:], s[1:], ..., s[n-1:]), which stops at the shortest view.
#include "../module/table.h"
#include "../native/interrupts.h"

namespace movra {

namespace {

// True for a view that reports length 0; an object whose length cannot be
// taken is not known to be empty.
bool is_empty(py::handle view) {
    Py_ssize_t size = PyObject_Size(view.ptr());
    if (size < 0) {
        py::error_already_set e;
        drop_failure(e);
        return false;
    }
    return size == 0;
}

}  // namespace

py::object gen_ngrams(Call &c) {
    py::object s = c.arg(0), n = c.arg(1), pad = c.arg(2);

    // 1. A numpy array (exactly, not a subclass) is turned into a list.
    MOVRA_AT(c);
    if (Py_TYPE(s.ptr()) == reinterpret_cast<PyTypeObject *>(c.global("numpy").attr("ndarray").ptr()))
        s = s.attr("tolist")();

    // 2-3. n - 1 pads at both ends: a text gets the pad's text form, a list
    // the pad itself (a new list; the caller's stays as it was).
    MOVRA_AT(c);
    if (Py_TYPE(s.ptr()) == &PyUnicode_Type) {
        py::object pads = str_of(pad) * (n - py::int_(1));
        s = pads + s + pads;
    } else if (Py_TYPE(s.ptr()) == &PyList_Type) {
        py::list one;
        one.append(pad);
        py::object pads = one * (n - py::int_(1));
        s = pads + s + pads;
    }

    // 4. The shifted views s[i:], one per offset, in offset order.  Once a
    // view is empty every later one is too and zip can yield nothing, so a
    // huge n ends there rather than building views until memory runs out.
    MOVRA_AT(c);
    py::list views;
    for (py::handle i : c.builtin(Builtin::Range)(n)) {
        check_interrupts();
        py::object view = slice(s, i, py::handle());
        views.append(view);
        if (is_empty(view)) return py::list();
    }

    // 5. zip over the views, as a list.
    MOVRA_AT(c);
    return py::list(c.builtin(Builtin::Zip)(*views));
}

namespace {
const char *const gen_ngrams_parameters[] = {"s", "n", "pad"};
const char *const gen_ngrams_locals[] = {"i"};
py::tuple gen_ngrams_defaults() { return py::make_tuple(-1); }
}  // namespace

extern const FunctionEntry gen_ngrams_entry = MOVRA_MODULE_FUNCTION(gen_ngrams)
                                                  .parameters(gen_ngrams_parameters)
                                                  .locals(gen_ngrams_locals)
                                                  .defaults(gen_ngrams_defaults);

}  // namespace movra
