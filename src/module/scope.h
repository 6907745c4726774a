// Scopes: the variables that a call shares with the nested functions it
// creates.
//
// One scope per call of an enclosing function.  A nested function holds
// its scope (reported as __self__) and reads the current value of a
// variable at the moment of use; a scope can link to the scope of the call
// that created its own function, so fe's anonymous functions reach fe4ts's
// `value` through fe's scope.
#pragma once

#include "runtime.h"

namespace movra {

// The variables of one kind of scope, in slot order.
struct ScopeLayout {
    const char *owner;  // enclosing function, for the text form
    const char *const *names;
    int count;
};

template <size_t N>
constexpr ScopeLayout scope_layout(const char *owner, const char *const (&names)[N]) {
    return {owner, names, static_cast<int>(N)};
}

// A new scope with every variable unassigned.
py::object new_scope(const ScopeLayout &layout, py::handle parent = py::handle());
void scope_set(py::handle scope, int slot, py::handle value);
// NameError "free variable '%s' referenced before assignment in enclosing
// scope" while the enclosing call has not assigned the variable yet.
py::object scope_get(py::handle scope, int slot);
// The scope of the call that created this scope's function, or None.
py::object scope_parent(py::handle scope);

// Readies the scope type (once, at load).
int scope_type_ready();

}  // namespace movra
