// A function's entry: what the module knows of one function besides its
// body.  Every body file declares the entries of its functions right below
// their bodies, so that a function's names, defaults and source location
// are written once, next to the code they describe:
//
//     py::object pad_seq(Call &c) { ... }
//
//     namespace {
//     const char *const pad_seq_parameters[] = {"v", "maxlen", "padding", "value"};
//     py::tuple pad_seq_defaults() { return py::make_tuple(256, "post", -1); }
//     }  // namespace
//
//     extern const FunctionEntry pad_seq_entry =
//         MOVRA_MODULE_FUNCTION(pad_seq).parameters(pad_seq_parameters).defaults(pad_seq_defaults);
//
// The module's table (table.cpp) only lists the module-level entries in
// namespace order.
#pragma once

#include "runtime.h"

namespace movra {

// The binding copies the arguments of a call into a buffer of this size.
constexpr int kMaxParameters = 16;

// A fixed list of names (parameters, locals, scope variables).
struct NameList {
    const char *const *items = nullptr;
    int count = 0;
};

// Positions of the parameters that take tables (arrow_tables.h).
struct TableParameters {
    const int *items = nullptr;
    int count = 0;
};

// Nested functions that a function's calls create.
struct NestedEntries {
    const FunctionEntry *const *items = nullptr;
    int count = 0;
};

// "src/..." from a compiler's source path: traceback entries and code
// objects name sources from the project root, wherever it was built.
constexpr const char *source_path(const char *file) {
    const char *found = file;
    for (const char *p = file; *p != '\0'; ++p)
        if ((p == file || p[-1] == '/' || p[-1] == '\\') && p[0] == 's' && p[1] == 'r' && p[2] == 'c' &&
            (p[3] == '/' || p[3] == '\\'))
            found = p;
    return found;
}

// Static description of one function: its method entry, its code metadata,
// its defaults and where it is written.  Built with the helpers below.
struct FunctionEntry {
    const char *name;            // __name__, and the name in binding messages
    const char *qualname;        // __qualname__
    const char *traceback_name;  // "movra.fe4ts.fe"
    Convention convention;
    Body body;
    const char *file;  // the body file and the line of this entry in it, for
    int line;          // the code object and the traceback entries
    NameList parameter_names;
    NameList local_names;
    bool has_code = true;                   // false for the anonymous functions
    py::tuple (*constant_defaults)() = nullptr;  // built once at load
    const char *loadtime_default = nullptr;      // attribute of numpy captured at load
    NestedEntries nested;
    TableParameters table_parameters;

    int argcount() const { return parameter_names.count; }

    // Parameters in order.  The count is checked here, at compile time,
    // against the binding's buffer.
    template <size_t N>
    constexpr FunctionEntry parameters(const char *const (&names)[N]) const {
        static_assert(N >= 1 && N <= static_cast<size_t>(kMaxParameters),
                      "a movra function takes 1 to kMaxParameters parameters");
        FunctionEntry e = *this;
        e.parameter_names = {names, static_cast<int>(N)};
        return e;
    }
    // Locals after the parameters, as __code__ lists them.
    template <size_t N>
    constexpr FunctionEntry locals(const char *const (&names)[N]) const {
        FunctionEntry e = *this;
        e.local_names = {names, static_cast<int>(N)};
        return e;
    }
    // Constants supplied for the last parameters when a call omits them.
    constexpr FunctionEntry defaults(py::tuple (*build)()) const {
        FunctionEntry e = *this;
        e.constant_defaults = build;
        return e;
    }
    // One more default after the constants: numpy's attribute of this name,
    // taken from the global `numpy` once, at load.
    constexpr FunctionEntry numpy_default(const char *attribute) const {
        FunctionEntry e = *this;
        e.loadtime_default = attribute;
        return e;
    }
    // The parameters, by position, whose arguments are tables: a pandas
    // DataFrame or any table with an Arrow stream (arrow_tables.h).
    template <size_t N>
    constexpr FunctionEntry tables(const int (&positions)[N]) const {
        FunctionEntry e = *this;
        e.table_parameters = {positions, static_cast<int>(N)};
        return e;
    }
    // The nested functions that its calls create (their names are interned
    // at load with the module's own).
    template <size_t N>
    constexpr FunctionEntry creates(const FunctionEntry *const (&entries)[N]) const {
        FunctionEntry e = *this;
        e.nested = {entries, static_cast<int>(N)};
        return e;
    }
};

// The anonymous functions carry no code object, but binding still needs
// their parameter's name.
inline constexpr const char *kAnonymousParameter[] = {"x"};

constexpr FunctionEntry function_entry(const char *name, const char *qualname, const char *traceback_name,
                                       Convention convention, Body body, const char *file, int line) {
    return FunctionEntry{name, qualname, traceback_name, convention, body, source_path(file), line,
                         NameList{}, NameList{}, true, nullptr, nullptr, NestedEntries{}, TableParameters{}};
}

// A nested function with its own code object.
constexpr FunctionEntry nested_function(const char *name, const char *qualname, const char *traceback_name,
                                        Body body, const char *file, int line) {
    return function_entry(name, qualname, traceback_name, Convention::PositionalOrKeyword, body, file, line);
}

// An anonymous single-argument function: no code object, one parameter
// whose name only binding needs.
constexpr FunctionEntry anonymous_function(const char *name, const char *qualname, const char *traceback_name,
                                           Body body, const char *file, int line) {
    FunctionEntry e = function_entry(name, qualname, traceback_name, Convention::SingleArgument, body, file, line);
    e.parameter_names = {kAnonymousParameter, 1};
    e.has_code = false;
    return e;
}

}  // namespace movra

// A module-level function of the given name, body and calling convention,
// written at this line of this file.
#define MOVRA_MODULE_FUNCTION(fn) \
    ::movra::function_entry(#fn, #fn, "movra." #fn, ::movra::Convention::PositionalOrKeyword, fn, __FILE__, __LINE__)
#define MOVRA_SINGLE_ARGUMENT_FUNCTION(fn) \
    ::movra::function_entry(#fn, #fn, "movra." #fn, ::movra::Convention::SingleArgument, fn, __FILE__, __LINE__)
#define MOVRA_NESTED_FUNCTION(name, qualname, traceback_name, body) \
    ::movra::nested_function(name, qualname, traceback_name, body, __FILE__, __LINE__)
#define MOVRA_ANONYMOUS_FUNCTION(name, qualname, traceback_name, body) \
    ::movra::anonymous_function(name, qualname, traceback_name, body, __FILE__, __LINE__)
