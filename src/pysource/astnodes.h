// Access to the nodes of the transformer's trees: a node is a tuple whose
// item 0 is its kind, or an object whose attributes are its children.
#ifndef PYSOURCE_ASTNODES_H
#define PYSOURCE_ASTNODES_H

#include "py_utils.h"

inline bool IsNodeType(PyObject* node, const char* type_name) {
  return IsExactTuple(node) && PyTuple_GET_SIZE(node) >= 1 && StrEquals(PyTuple_GET_ITEM(node, 0), type_name);
}

// A part of a node that does not have the shape the analyzer reads: a
// TypeError naming the node's kind, the part and what it is instead.
inline void SetTreeShapeError(const char* kind, const char* part, const char* expected, PyObject* got) {
  PyErr_Format(PyExc_TypeError, "bad tree from the transformer: the %s of a %s node must be %s, not %.100s", part,
               kind, expected, Py_TYPE(got)->tp_name);
}

// After a failed GetNodeChild: clears the failure when it only says the
// child is not there (a short tuple, an object without the attribute).
inline bool ClearMissingChild() {
  return ClearExpectedError(PyExc_IndexError) || ClearExpectedError(PyExc_AttributeError);
}

// A child by tuple position, or by attribute name for object-form nodes.
inline PyRef GetNodeChild(PyObject* node, Py_ssize_t position, const char* attr_name) {
  if (IsExactTuple(node)) return PyRef::NewRef(PyTuple_GetItem(node, position));
  return PyRef::Steal(PyObject_GetAttrString(node, attr_name));
}

inline bool IsTupleOrList(PyObject* seq) { return IsExactTuple(seq) || IsExactList(seq); }

// Item `i` of a tuple or list, held (writing an item may run a repr that
// changes a list); a borrowed-then-owned reference, or null past the end.
inline PyRef SeqItem(PyObject* seq, Py_ssize_t i) {
  if (i >= PySequence_Fast_GET_SIZE(seq)) return {};
  return PyRef::NewRef(PySequence_Fast_GET_ITEM(seq, i));
}

#endif  // PYSOURCE_ASTNODES_H
