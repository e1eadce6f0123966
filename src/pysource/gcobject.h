// Cyclic garbage collector support for the analyzer's small object types:
// traverse, clear and dealloc written once for a type whose object
// references are the members a `Members` function lists.
#ifndef PYSOURCE_GCOBJECT_H
#define PYSOURCE_GCOBJECT_H

#include "py_utils.h"

// `Members(T*)` returns an array of the addresses of the type's owned
// PyObject* members (each may be null).
template <typename T, auto Members>
struct GcObject {
  static int Traverse(PyObject* self, visitproc visit, void* arg) {
    for (PyObject** member : Members(reinterpret_cast<T*>(self))) Py_VISIT(*member);
    return 0;
  }
  static int Clear(PyObject* self) {
    for (PyObject** member : Members(reinterpret_cast<T*>(self))) Py_CLEAR(*member);
    return 0;
  }
  static void Dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Clear(self);
    PyObject_GC_Del(self);
  }
};

#endif  // PYSOURCE_GCOBJECT_H
