// What a body file includes: the frame a body runs in (runtime.h), how it
// declares its entry (entry.h), the scopes it shares with its nested
// functions (scope.h and below), and the module's table of functions.
#pragma once

#include "entry.h"
#include "scope.h"

namespace movra {

// ---- nested functions ------------------------------------------------------
//
// Created per call of their enclosing function.  Each entry is written
// below its body; it is declared here because the body that creates it
// may come first, or live in another file.

extern const FunctionEntry search_entry;   // searchfiles.<locals>.search
extern const FunctionEntry fe_entry;       // fe4ts.<locals>.fe
extern const FunctionEntry lambda_entry;   // fe's aggregation of one period
extern const FunctionEntry lambda1_entry;  // fe's statistics of one profile group
extern const FunctionEntry lambda2_entry;  // uet2ute's regrouping reducer

// ---- scopes ------------------------------------------------------------------
//
// The variables that one call of an enclosing function shares with the
// nested functions it creates, with their slots.

inline constexpr const char *searchfiles_scope_names[] = {"expr", "files", "search"};
inline constexpr ScopeLayout searchfiles_scope = scope_layout("searchfiles", searchfiles_scope_names);
enum SearchfilesSlot { kExpr = 0, kFiles = 1, kSearch = 2 };

inline constexpr const char *fe4ts_scope_names[] = {"value"};
inline constexpr ScopeLayout fe4ts_scope = scope_layout("fe4ts", fe4ts_scope_names);
enum Fe4tsSlot { kValue = 0 };

// fe's scope links to the scope of the fe4ts call that created fe.
inline constexpr const char *fe_scope_names[] = {"aggfunc"};
inline constexpr ScopeLayout fe_scope = scope_layout("fe", fe_scope_names);
enum FeSlot { kAggfunc = 0 };

inline constexpr const char *uet2ute_scope_names[] = {"e"};
inline constexpr ScopeLayout uet2ute_scope = scope_layout("uet2ute", uet2ute_scope_names);
enum Uet2uteSlot { kEvent = 0 };

// ---- the module body ---------------------------------------------------------

// One entry of the module namespace, made in the order of the table.
struct NamespaceEntry {
    enum Kind {
        Library,       // `import name`
        LibraryClass,  // `from name import name`
        Function,      // a module-level function with its defaults
        EmptyDict,     // `name = {}`
    };
    Kind kind;
    const char *name;               // for the others: the function's entry has its name
    const FunctionEntry *function;  // for Function
};

// The namespace in the order a module body would fill it (table.cpp).
extern const NamespaceEntry module_body[];
extern const int module_body_length;

}  // namespace movra
