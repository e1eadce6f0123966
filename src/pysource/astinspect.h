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

#endif  // PYSOURCE_ASTINSPECT_H
