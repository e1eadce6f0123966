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

// The standard walk procedure SetLogicalList installs is reachable through
// its analyzer alone: a bound Walk method, the walker, its visit dictionary,
// eight bound visitor methods and the visitors, twelve objects per module.
// Left to the cyclic collector, they are most of what a module keeps
// tracked, and every full collection walks them.  UntrackStdWalk takes the
// chain out of the collector's sight while nothing else holds any of it;
// the analyzer's traverse then reports, through TraverseStdWalk, the three
// references the visitors hold (the module analysis object, the name pool,
// the logical list), so that cycles through them are still found.  Should
// anything else take hold of a part of the chain, TraverseStdWalk reports
// nothing: the module analysis object then counts as reachable from
// outside, which can keep a cycle alive but never frees a live object.
void UntrackStdWalk(PyObject* walk_proc);
int TraverseStdWalk(PyObject* walk_proc, visitproc visit, void* arg);

// Runs `visitor` on `node` of the line `logical` without a call through the
// interpreter, when it is a method of standard visitors: 1 to walk the
// node's children, 0 not to, -1 on failure.  kNotStdVisitor when it is
// anything else, which is then to be called as an object.
constexpr int kNotStdVisitor = -2;
int CallStdVisitorDirect(PyObject* visitor, PyObject* node, PyObject* logical);

#endif  // PYSOURCE_ASTINSPECT_H
