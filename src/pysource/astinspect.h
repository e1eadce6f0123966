// The standard visitors and walker (astinspect.cpp).
#ifndef PYSOURCE_ASTINSPECT_H
#define PYSOURCE_ASTINSPECT_H

#include "logicalline_interface.h"
#include "py_utils.h"

extern PyTypeObject kStdVisitorsType;

// New StdVisitors; the visitors keep their own copy of `table`.
PyRef CreateStdVisitorsDirect(PyObject* mod_analysis, PyObject* name_pool, PyObject* logical_list,
                              tLogicalLineFunctionTable* table);
// A NodeWalker whose visit dictionary maps node kinds to new standard visitors.
PyRef CreateStdWalkerDirect(PyObject* mod_analysis, PyObject* name_pool, PyObject* line_list,
                            tLogicalLineFunctionTable* funcs);

// Runs `visitor` on `node` of the line `logical` without a call through the
// interpreter, when it is a method of standard visitors: 1 to walk the
// node's children, 0 not to, -1 on failure.  kNotStdVisitor when it is
// anything else, which is then to be called as an object.
constexpr int kNotStdVisitor = -2;
int CallStdVisitorDirect(PyObject* visitor, PyObject* node, PyObject* logical);

#endif  // PYSOURCE_ASTINSPECT_H
