// Access to the nodes of the transformer's trees: a node is a tuple whose
// item 0 is its kind, or an object whose attributes are its children.
#ifndef PYSOURCE_ASTNODES_H
#define PYSOURCE_ASTNODES_H

#include <cstring>

#include "py_utils.h"

// StrEquals for the strings of trees, read at every node the visitors and the
// expression writer look at: a compact ASCII string (every kind and name the
// transformers write, nearly) is compared in place, without asking for its
// UTF-8 form.
inline bool NodeTextEquals(PyObject* s, const char* text) {
  if (!IsExactStr(s)) return false;
  if (!PyUnicode_IS_COMPACT_ASCII(s)) return StrEquals(s, text);
  size_t len = std::strlen(text);
  return static_cast<size_t>(PyUnicode_GET_LENGTH(s)) == len && std::memcmp(PyUnicode_DATA(s), text, len) == 0;
}

inline bool IsNodeType(PyObject* node, const char* type_name) {
  return IsExactTuple(node) && PyTuple_GET_SIZE(node) >= 1 && NodeTextEquals(PyTuple_GET_ITEM(node, 0), type_name);
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
