// searchfiles: the paths of all regular files below a directory whose
// entry names match a regular expression, depth-first in the order that
// os.listdir gives.
//
// The walk is the nested function `search`, which reads the pattern, the
// result list and itself from the call's scope, so every level appends to
// the one list that searchfiles returns.  Each level is a real call of the
// function object: the interpreter's recursion limit bounds the depth (a
// deep tree or a link back to an ancestor ends in RecursionError, not in a
// C stack overflow), and every level that a failure passes through adds
// its own traceback entry.
#include "../module/table.h"
#include "../native/interrupts.h"

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

// search: one directory level.  Reads the pattern, the result list and
// itself from the scope of the searchfiles call that created it.
py::object searchfiles_search(Call &c) {
    py::object path = c.arg(0), word = c.arg(1);
    py::object scope = c.scope();

    MOVRA_AT(c);
    py::object entries = c.global("os").attr("listdir")(path);
    for (py::handle filename : entries) {
        // os calls check for signals only when they are interrupted; a
        // large directory must still answer Ctrl-C promptly.
        check_interrupts();

        MOVRA_AT(c);
        py::object fp = c.global("os").attr("path").attr("join")(path, filename);

        // A regular file whose bare entry name (never the joined path)
        // matches the pattern as it is now in the scope.
        MOVRA_AT(c);
        if (truth(c.global("os").attr("path").attr("isfile")(fp))) {
            MOVRA_AT(c);
            py::object match = c.global("re").attr("search")(scope_get(scope, kExpr), filename, py::arg("flags") = 0);
            if (truth(ne(match, py::none()))) {
                MOVRA_AT(c);
                append(scope_get(scope, kFiles), fp);
                continue;
            }
        }

        // A directory: one level down.
        MOVRA_AT(c);
        if (truth(c.global("os").attr("path").attr("isdir")(fp))) {
            MOVRA_AT(c);
            scope_get(scope, kSearch)(fp, word);
        }
    }
    return py::none();
}

namespace {
const char *const search_parameters[] = {"path", "word"};
const char *const search_locals[] = {"filename", "fp"};
}  // namespace

extern const FunctionEntry search_entry =
    MOVRA_NESTED_FUNCTION("search", "searchfiles.<locals>.search", "movra.searchfiles.search", searchfiles_search)
        .parameters(search_parameters)
        .locals(search_locals);

py::object searchfiles(Call &c) {
    py::object path = c.arg(0), expr = c.arg(1);

    // The scope shared with `search`, which it holds too.
    MOVRA_AT(c);
    py::object scope = new_scope(searchfiles_scope);
    scope_set(scope, kExpr, expr);
    scope_set(scope, kSearch, c.make_nested(search_entry, scope));
    scope_set(scope, kFiles, py::list());

    // The scope holds `search` and `search` holds the scope.  Drop that
    // link on the way out, whatever happens, so the pair is freed now
    // rather than by the cycle collector.
    struct Unlink {
        py::handle scope;
        ~Unlink() {
            // Called with the interpreter lock held; scope_set cannot fail
            // for a valid slot of a valid scope.
            try {
                scope_set(scope, kSearch, py::handle());
            } catch (...) {
            }
        }
    } unlink{scope};

    MOVRA_AT(c);
    scope_get(scope, kSearch)(path, expr);
    MOVRA_AT(c);
    return scope_get(scope, kFiles);
}

namespace {
const char *const searchfiles_parameters[] = {"path", "expr"};
const char *const searchfiles_locals[] = {"search", "search", "files"};
const FunctionEntry *const searchfiles_creates[] = {&search_entry};
}  // namespace

extern const FunctionEntry searchfiles_entry = MOVRA_MODULE_FUNCTION(searchfiles)
                                                   .parameters(searchfiles_parameters)
                                                   .locals(searchfiles_locals)
                                                   .creates(searchfiles_creates);

}  // namespace movra
