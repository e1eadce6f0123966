// The tree walker and the name pool (walker.cpp).
#ifndef PYSOURCE_WALKER_H
#define PYSOURCE_WALKER_H

#include "pysource_impl.h"

extern PyTypeObject kNodeWalkerType;

// New NodeWalker on `visit_dict` (exactly a dict), or null with TypeError.
PyRef CreateNodeWalkerDirect(PyObject* visit_dict);

// Walks the tree of the line `logical` with `walk_proc` (the Walk method of
// a NodeWalker, or anything callable as one) and the context (logical, mod):
// 0, or -1 with the error set.
int WalkLineTree(PyObject* walk_proc, PyObject* tree, PyObject* logical, PyObject* mod);

// The visit dictionary of the NodeWalker whose Walk method `walk_proc` is
// (borrowed), or null when it is anything else.
PyObject* StdWalkVisitDict(PyObject* walk_proc);

// The pooled string for a text: a new reference, or null with the error set.
PyRef GetStringWithLengthFromPool(PyObject* name_pool, const char* str, Py_ssize_t len);
PyRef GetStringFromPool(PyObject* name_pool, const char* str);
// The pooled string equal to `fresh` (an exact str), which is entered when
// there is none.
PyRef PoolString(PyObject* name_pool, PyRef fresh);

// Readies a type on the first creation of one of its objects.
int ReadyTypeOnce(PyTypeObject* type);

// The integer objects 1 and 0 (made by EnsureIntConstants): visitor results
// are compared to them by identity.
extern PyObject* s_int_one;
extern PyObject* s_int_zero;
int EnsureIntConstants();

#endif  // PYSOURCE_WALKER_H
