// searchfiles: the paths of all regular files below a directory whose
// entry names match a regular expression, depth-first in the order that
// os.listdir gives.
//
// The walk is the nested function `search`, which reads the pattern, the
// result list and itself from the call's shared-variable record, so every
// level appends to the one list that searchfiles returns.  Each level is a
// real call of the function object: the interpreter's recursion limit
// bounds the depth (a deep tree or a link back to an ancestor ends in
// RecursionError, not in a C stack overflow), and every level that a
// failure passes through adds its own traceback entry.
#include "../module/table.h"

namespace movra {

namespace {

// files.append(fp), with a plain list taking the direct route.
void append(py::handle files, py::handle item) {
    if (PyList_CheckExact(files.ptr())) {
        if (PyList_Append(files.ptr(), item.ptr()) < 0) throw py::error_already_set();
    } else {
        files.attr("append")(item);
    }
}

}  // namespace

py::object searchfiles(Call &c) {
    py::object path = c.arg(0), expr = c.arg(1);

    MOVRA_AT(c);
    py::object rec = new_scope(searchfiles_scope);
    scope_set(rec, kExpr, expr);
    scope_set(rec, kSearch, c.make_nested(search_entry, rec));
    scope_set(rec, kFiles, py::list());

    // The record holds `search` and `search` holds the record.  Drop that
    // link on the way out, whatever happens, so the pair is freed now
    // rather than by the cycle collector.
    struct Unlink {
        py::handle rec;
        ~Unlink() {
            // Called with the interpreter lock held; scope_set cannot fail
            // for a valid slot of a valid record.
            try {
                scope_set(rec, kSearch, py::handle());
            } catch (...) {
            }
        }
    } unlink{rec};

    MOVRA_AT(c);
    scope_get(rec, kSearch)(path, expr);
    MOVRA_AT(c);
    return scope_get(rec, kFiles);
}

py::object searchfiles_search(Call &c) {
    py::object path = c.arg(0), word = c.arg(1);
    py::object rec = c.scope();

    MOVRA_AT(c);
    py::object entries = c.global("os").attr("listdir")(path);
    MOVRA_AT(c);
    for (py::handle filename : entries) {
        // os calls check for signals only when they are interrupted; a
        // large directory must still answer Ctrl-C promptly.
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();

        MOVRA_AT(c);
        py::object fp = c.global("os").attr("path").attr("join")(path, filename);

        MOVRA_AT(c);
        if (truth(c.global("os").attr("path").attr("isfile")(fp))) {
            // The pattern is read from the record now, and tested against
            // the bare entry name, never the joined path.
            MOVRA_AT(c);
            py::object match = c.global("re").attr("search")(scope_get(rec, kExpr), filename, py::arg("flags") = 0);
            if (truth(ne(match, py::none()))) {
                MOVRA_AT(c);
                append(scope_get(rec, kFiles), fp);
                continue;
            }
        }

        MOVRA_AT(c);
        if (truth(c.global("os").attr("path").attr("isdir")(fp))) {
            MOVRA_AT(c);
            scope_get(rec, kSearch)(fp, word);
        }
    }
    return py::none();
}

}  // namespace movra
