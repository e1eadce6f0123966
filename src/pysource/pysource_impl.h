// The analyzer record PySourceImpl and the small helpers every subsystem of
// the analyzer uses.  Each subsystem has its own file and header:
//   pysource_implmodule  module entry, analyzer creation and tear-down, the
//                        method guard and method table, logical list and
//                        future flags
//   linedriver           parsing a line and the line analysis driver
//   scopes               scope of a line, full scope names, scope
//                        definitions and bodies, the backward scope search
//   attribsearch         the attribute search
//   changes              cache change processing
//   typequeries          type equivalences and instance attribute queries
//   serialize            logical line serialization
//   walker               the tree walker and the name pool
//   astinspect           the standard visitors
//   expwriter            expression source writer and instance type names
//   srcinfocache         the source info cache
#ifndef PYSOURCE_PYSOURCE_IMPL_H
#define PYSOURCE_PYSOURCE_IMPL_H

#include "logicalline_interface.h"
#include "py_utils.h"
#include "srcinfocache.h"

// ---------------------------------------------------------------------------
// The analyzer record
//
// Object members are owned references (or null when absent).  The record is
// a C layout object allocated by the interpreter: its handles begin their
// lives in CreatePySourceImpl and end them in the type's dealloc; destroy()
// and the collector empty them through ClearPySourceImplDirect.
// ---------------------------------------------------------------------------

struct tPySourceImpl {
  PyObject_HEAD
  PyRef mod_analysis;
  PyRef grammar;
  PyRef xform_to_ast;
  PyRef walk_proc;
  int32_t logical_cache_needs_update;
  PyRef logical_list;
  PyRef attribref_class;
  int32_t parsed_count;
  int32_t active_method_count;
  PyRef from_future_flags;
  tLogicalModuleInfo logical_mod;
  PyRef name_pool;
  tSrcInfoCache info_cache;
  // Methods of this object currently on the C stack.  Unlike
  // active_method_count, the host cannot change it; destroy() refuses to
  // tear the object down under a running method.
  int32_t running_methods;
};

// The signature of every analyzer method; a subsystem header declares its
// methods and their doc strings with PYSOURCE_DECLARE_METHOD.
#define PYSOURCE_DECLARE_METHOD(name)                \
  PyObject* name(tPySourceImpl* self, PyObject* args); \
  extern const char name##_doc[]

inline bool IsLogical(tPySourceImpl* self, PyObject* obj) {
  return self->logical_mod.logical_type != nullptr &&
         reinterpret_cast<PyObject*>(Py_TYPE(obj)) == self->logical_mod.logical_type;
}

inline bool CheckLogicalList(tPySourceImpl* self) {
  if (!self->logical_list) {
    PyErr_SetString(PyExc_AssertionError, "logical_list is NULL");
    return false;
  }
  return true;
}

// A logical list made by the stored-form loader is out of the collector's
// sight while none of its lines is tracked (none holds an object that can be
// in a cycle): every full collection would otherwise visit every line of
// every loaded module.  Whatever gives the list such a line tracks it: the
// analysis of one of its lines, change processing of an added line,
// SetLogicalList.
inline void TrackLogicalListFor(tPySourceImpl* self, PyObject* line) {
  PyObject* list = self->logical_list.get();
  if (list != nullptr && !PyObject_GC_IsTracked(list) && PyObject_GC_IsTracked(line)) PyObject_GC_Track(list);
}

// Item `i` of a list of lines the analyzer walks, held (host code run while
// it is in use may change the list); null with SystemError when it is not a
// logical line.
inline PyRef HeldLine(tPySourceImpl* self, PyObject* list, Py_ssize_t i) {
  PyObject* item = PyList_GET_ITEM(list, i);
  if (IsLogical(self, item)) return PyRef::NewRef(item);
  PyErr_BadInternalCall();
  return PyRef();
}

// The one argument of a method that takes a logical line (borrowed), or null
// with the argument parser's error or TypeError(`message`).
inline PyObject* LogicalLineArg(tPySourceImpl* self, PyObject* args, const char* format,
                                const char* message = "Argument must be a logical line.") {
  PyObject* logical;
  if (!PyArg_ParseTuple(args, format, &logical)) return nullptr;
  if (IsLogical(self, logical)) return logical;
  PyErr_SetString(PyExc_TypeError, message);
  return nullptr;
}

// The empty string, made once; borrowed, or null with the error set.
inline PyObject* EmptyStr() {
  static PyObject* empty = nullptr;
  return CachedString(&empty, "");
}

// Stores `owned` in a member and releases the old value last.
inline void ReplaceMember(PyObject** slot, PyObject* owned) {
  PyObject* old = *slot;
  *slot = owned;
  Py_XDECREF(old);
}

// The argument parser's message for an argument of the wrong kind, for the
// kinds it has no type object for (class instance, exact str).
inline void SetArgKindError(const char* method, int position, const char* expected, PyObject* arg) {
  PyErr_Format(PyExc_TypeError, "%.200s() argument %d must be %.50s, not %.50s", method, position, expected,
               arg == Py_None ? "None" : Py_TYPE(arg)->tp_name);
}

// An argument that must be exactly a str; false with the parser's TypeError.
inline bool CheckExactStrArg(const char* method, int position, PyObject* arg) {
  if (IsExactStr(arg)) return true;
  SetArgKindError(method, position, "str", arg);
  return false;
}

inline bool TextEquals(PyObject* obj, const char* text, size_t len) {
  Py_ssize_t obj_len = 0;
  const char* obj_text = TextToCompare(obj, &obj_len);
  return obj_text != nullptr && static_cast<size_t>(obj_len) == len && std::memcmp(obj_text, text, len) == 0;
}

// A failure that reaches a method's exit with no exception set is reported
// rather than handed to the interpreter as a null result without an error.
inline void EnsureFailureSet(const char* operation) {
  if (!PyErr_Occurred()) PyErr_Format(PyExc_AssertionError, "Invalid internal value in %s", operation);
}

// Recomputes the future flags from the logical list (pysource_implmodule).
int UpdateFromFutureFlags(tPySourceImpl* self);

#endif  // PYSOURCE_PYSOURCE_IMPL_H
