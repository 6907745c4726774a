// What a function body sees of the module frame.
//
// Every movra function is a plain C++ function `py::object body(Call&)`.
// The frame binds its arguments, hands it a Call, and turns whatever it
// throws into a Python exception with one traceback entry.  Bodies talk to
// Python through pybind11's object API, so references are always owned by
// RAII objects and every error path releases what it holds.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

namespace movra {

namespace py = pybind11;

class Call;
using Body = py::object (*)(Call &);

enum class Convention {
    PositionalOrKeyword,  // the binding rules of the function type
    SingleArgument,       // exactly one positional argument, no keywords
};

// The builtins that functions call are looked up once at load and held:
// later changes to the builtins module do not reach the functions.
enum class Builtin { Zip, Range, All, Any, Sorted, Open, Count_ };

struct FunctionEntry;  // entry.h

// One call of a function: its bound arguments and the context it runs in.
class Call {
public:
    Call(PyObject *function, PyObject *const *args);

    // Bound argument i, in parameter order (defaults already filled in).
    py::object arg(int i) const { return py::reinterpret_borrow<py::object>(args_[i]); }
    // The arguments the body reads instead, once its table arguments are
    // taken in (arrow_tables.h); they outlive the body.
    void use_args(PyObject *const *args) { args_ = args; }

    // A global name: the module namespace first, then the builtins module,
    // looked up at every use.  NameError "name '...' is not defined".
    py::object global(const char *name) const;
    // A name of the interpreter's builtins module at the moment of use.
    py::object builtin_now(const char *name) const;
    // A builtin held since load.
    py::object builtin(Builtin which) const;

    // The scope that a nested function shares with the call that created
    // it (its __self__); None for a module-level function.
    py::object scope() const;
    py::object globals() const;

    // Nested function objects: new per call, bound to `scope`.
    py::object make_nested(const FunctionEntry &entry, py::handle scope) const;

    // Records the source line of the statement being run, for the traceback.
    void at(int line) { line_ = line; }
    int line() const { return line_; }

private:
    PyObject *function_;
    PyObject *const *args_;
    int line_;
};

// ---- helpers for bodies ------------------------------------------------

// (Ctrl-C in a long loop: check_interrupts, in native/interrupts.h.)

// An import statement inside a function: absolute, with the module
// namespace as globals, binding nothing in it.  `fromlist` empty for
// `import name`, the names for `from name import ...`.
py::object import_module(const Call &c, const char *name, py::handle fromlist = py::handle());

// A clean-up step on a failure path: its own error must not replace the
// error that is being reported, so it is dropped.
template <class Step>
void quietly(Step &&step) {
    try {
        step();
    } catch (py::error_already_set &) {
    }
}

// Closes a file object on a failure path, as a `with` block would.
void close_quietly(py::handle file);

// ---- Python operations with Python's own semantics ----------------------

// Rich comparisons that keep the result object (element-wise for arrays).
py::object lt(py::handle a, py::handle b);
py::object le(py::handle a, py::handle b);
py::object gt(py::handle a, py::handle b);
py::object ge(py::handle a, py::handle b);
py::object eq(py::handle a, py::handle b);
py::object ne(py::handle a, py::handle b);
bool truth(py::handle o);
py::object neg(py::handle o);     // -o
py::object abs_of(py::handle o);  // abs(o)
py::object str_of(py::handle o);  // str(o), honouring a str subclass's own __str__

// `obj[key] = value` with the references a script would hold.  pandas 2.2
// takes a target whose reference count is that low for the temporary of a
// chained assignment and warns; it counts the reference that the
// interpreter's value stack holds during a subscript assignment, which a
// native caller does not have, so one more is held for the call.
void set_item(py::handle obj, py::handle key, py::handle value);

// Where a function drops failures on purpose, an interrupt or an exit is not
// a failure of the computation: only exceptions derived from Exception may
// be dropped.  Rethrows anything else.
void drop_failure(py::error_already_set &e);

// getattr(o, name, None) as Python has it, with a null object for "absent":
// only AttributeError means absent.  pybind11's getattr with a default and
// hasattr clear any error, so an interrupt raised while a property runs
// would be lost.
py::object optional_attr(py::handle o, const char *name);

// Unpacks exactly two items, with the module's messages for other counts.
std::pair<py::object, py::object> unpack2(py::handle value);

// obj[start:stop:step]; a null handle stands for an omitted bound.
// TypeError "'...' object is unsliceable" where slicing is not supported.
py::object slice(py::handle obj, py::handle start, py::handle stop, py::handle step = py::handle());

// open(path, mode, **kwargs) through the held builtin.  A path that is an
// integer is a file descriptor the caller owns: it is read or written but
// left open (closefd=False), so closing our file object never closes the
// caller's stdin, stdout or socket.
py::object open_file(const Call &c, py::handle path, py::handle mode, py::kwargs kwargs = py::kwargs());

// An interned string object for a literal (kept for the life of the
// process); raises MemoryError rather than give a null handle.
py::handle interned(const char *text);
// The same for code on the C API's side of the module's boundary, where
// nothing may throw: null, with the exception set, when it fails.
PyObject *interned_or_null(const char *text);

}  // namespace movra

// Marks the step a body is about to run: its line is the one the traceback
// entry names if the step fails.
#define MOVRA_AT(call) (call).at(__LINE__)
