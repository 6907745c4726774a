// gen_ngrams: the overlapping n-grams of a sequence, as a list of tuples.
//
// Texts and lists are padded with n - 1 pad symbols at both ends so that
// every element takes part in exactly n n-grams; a text is padded with the
// pad's text form, a list with the pad value itself.  A numpy array is
// turned into a list first.  The type tests are exact: subclasses, tuples,
// Series and the like are used as they are, unpadded.  The n-grams are
// zip(s[0:], s[1:], ..., s[n-1:]), which stops at the shortest view.
#include "../module/table.h"

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

    MOVRA_AT(c);
    if (Py_TYPE(s.ptr()) == reinterpret_cast<PyTypeObject *>(c.global("numpy").attr("ndarray").ptr())) {
        MOVRA_AT(c);
        s = s.attr("tolist")();
    }

    if (Py_TYPE(s.ptr()) == &PyUnicode_Type) {
        MOVRA_AT(c);
        py::object head = str_of(pad) * (n - py::int_(1));
        s = head + s;
        s = s + str_of(pad) * (n - py::int_(1));
    } else if (Py_TYPE(s.ptr()) == &PyList_Type) {
        MOVRA_AT(c);
        py::list one;
        one.append(pad);
        py::object padded = one * (n - py::int_(1));
        padded = padded + s;  // a new list; the caller's stays as it was
        s = padded + one * (n - py::int_(1));
    }

    // The shifted views s[i:], one per offset, in offset order.  Once a view
    // is empty every later one is too and zip can yield nothing, so a huge
    // n ends there rather than building views until memory runs out.
    MOVRA_AT(c);
    py::list views;
    for (py::handle i : c.builtin(Builtin::Range)(n)) {
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        MOVRA_AT(c);
        py::object view = slice(s, i, py::handle());
        views.append(view);
        if (is_empty(view)) return py::list();
    }

    MOVRA_AT(c);
    py::object grams = c.builtin(Builtin::Zip)(*views);
    return py::list(grams);
}

}  // namespace movra
