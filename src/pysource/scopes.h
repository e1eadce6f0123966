// Scope lookups (scopes.cpp).
#ifndef PYSOURCE_SCOPES_H
#define PYSOURCE_SCOPES_H

#include "pysource_impl.h"

// The scope definition line enclosing `logical` (a new reference), None for
// the module scope, or null with the error set.
PyRef FindScopeForLineDirect(tLogicalLineFunctionTable* funcs, PyObject* line_list, PyObject* logical);
// The pooled "n1.n2" (or the non-empty one of the two).
PyRef JoinScopeNames(tPySourceImpl* self, PyObject* n1, PyObject* n2);
PyRef BuildFullNameForScopeDefDirect(tPySourceImpl* self, PyObject* scope_def);
// The full name of the scope a line is in, cached on the line.
PyRef GetScopeNameForLineDirect(tPySourceImpl* self, PyObject* logical);
// The full name a class or def line defines.
PyRef GetFullScopeNameDefined(tPySourceImpl* self, PyObject* logical);
Py_ssize_t FindIndexOfLogical(PyObject* scan_list, PyObject* logical);
// The definition line for a full name (None for ""), or null with KeyError.
PyRef GetScopeDefForFullNameDirect(tPySourceImpl* self, PyObject* full_name);
PyRef FindBodyOfScopeDef(tPySourceImpl* self, PyObject* scan_list, PyObject* scope_def);
// The body lines of the scope named `full_name`, or null with KeyError.
PyRef GetBodyOfScopeDirect(tPySourceImpl* self, PyObject* full_name);

PYSOURCE_DECLARE_METHOD(FindScopeForLine);
PYSOURCE_DECLARE_METHOD(GetFullNameForScopeDef);
PYSOURCE_DECLARE_METHOD(GetScopeDefForFullName);
PYSOURCE_DECLARE_METHOD(GetBodyOfScope);

#endif  // PYSOURCE_SCOPES_H
