// The logical line record shared by the logical line module and the analyzer,
// the line kinds, and the function table the logical line module hands out
// through "GetDirectLogicalLineFunctionTable".
#ifndef PYSOURCE_LOGICALLINE_INTERFACE_H
#define PYSOURCE_LOGICALLINE_INTERFACE_H

#include "py_utils.h"

struct tTokenPosition {
  uint16_t row;
  uint16_t col;
};

// A type-equivalence pair: the name in `one` holds what `two` names.
struct tNonTuplePair {
  PyObject* one;
  PyObject* two;
};

enum tLineType : uint8_t {
  kUnknownIndex = 0,
  kClassDefIndex = 1,
  kFunctionDefIndex = 2,
  kStringExpressionIndex = 3,
  kAssignmentIndex = 4,
  kIfBeginningIndex = 5,
  kElseBeginningIndex = 6,
  kWhileBeginningIndex = 7,
  kForBeginningIndex = 8,
  kPassIndex = 9,
  kRaiseIndex = 10,
  kTryIndex = 11,
  kExceptIndex = 12,
  kFinallyIndex = 13,
  kAssertIndex = 14,
  kReturnIndex = 15,
  kImportIndex = 16,
  kFromImportIndex = 17,
  kPrintIndex = 18,
  kDeleteIndex = 19,
  kElifBeginningIndex = 20,
  kCommentIndex = 21,
  kBlankLineIndex = 22,
  kBreakIndex = 23,
  kLineTypeCount = 24,
};

// One logical line.  The arrays and every object they hold are owned by the
// line.  objs and type_equivs are allocated with malloc and freed with free.
// The token and position arrays are both malloc'd and freed with free, except
// in the lines the logical line module makes itself (splitter, constructor):
// there `arrays_inline` is set and both arrays are part of the line's own
// block, right after the record; they go with the line and are never freed on
// their own.  Code that installs arrays of its own does so on a line from the
// function table's create(), whose flags are clear; with `arrays_joined` set,
// the positions follow the tokens' pointers in the token array's malloc'd
// block, which free(tok_array) releases whole.
struct tLogicalLine {
  PyObject_HEAD
  PyObject** tok_array;
  tTokenPosition* position_array;
  int32_t first_line;
  int32_t tok_count;
  int16_t indent;
  int16_t line_count;
  uint8_t objs_len;
  uint8_t type_equivs_len;
  uint8_t type;
  uint8_t parsed : 1;
  uint8_t tabs_in_indent : 1;
  uint8_t spaces_in_indent : 1;
  uint8_t arrays_inline : 1;
  uint8_t arrays_joined : 1;
  PyObject* scope_name;
  PyObject** objs;
  tNonTuplePair* type_equivs;
};

// At most this many attribute entries and pairs per line; appends past it
// store nothing and still succeed.
constexpr int kMaxLineEntries = 255;

// Operations of the logical line module.  Status operations return 0 on
// success and non-zero with an exception set on failure; none takes over the
// caller's references.
struct tLogicalLineFunctionTable {
  PyObject* (*create)(void);                          // new empty line
  int (*check)(PyObject* obj);                        // non-zero for a logical line
  PyObject* (*get_type_object)(void);                 // new reference to the type
  PyObject* (*get_arg_name)(PyObject* line, int i);   // borrowed, or null with IndexError
  int (*get_arg_count)(PyObject* line);
  int (*append_type_equiv)(PyObject* line, PyObject* name, PyObject* equiv);
  int (*append_arg_type_equiv)(PyObject* line, PyObject* arg, PyObject* instance);
  int (*append_attrib)(PyObject* line, PyObject* entry);
  int (*append_arg_name)(PyObject* line, PyObject* name);
  int (*append_base_class_name)(PyObject* line, PyObject* text);
  PyObject* (*get_names_defined)(PyObject* line);     // new list of names
  int (*clear_derived_info)(PyObject* line);
};

// Name of the capsule "GetDirectLogicalLineFunctionTable" returns; the
// pointer is read back with PyCapsule_GetPointer(capsule, this name).
constexpr const char* kLogicalLineTableCapsuleName = "logicalline.LogicalLineFunctionTable";

// The analyzer's copy of the logical line module's interface.
struct tLogicalModuleInfo {
  PyObject* logical_module;
  tLogicalLineFunctionTable funcs;
  PyObject* logical_type;
  PyObject* function_attrib_kind;
  PyObject* imported_attrib_kind;
  PyObject* generic_attrib_kind;
  PyObject* class_attrib_kind;
};

inline tLogicalLine* AsLogical(PyObject* o) { return reinterpret_cast<tLogicalLine*>(o); }

// Provided by the logical line module to its splitter: a new line with room
// for `tok_count` tokens and their positions in its own block (arrays_inline
// set, tok_array and position_array pointing there), untracked by the cyclic
// collector, every other field as create() leaves it, tok_count included: the
// caller fills the first `tok_count` entries of both arrays, then sets
// tok_count.  Null with the exception set on failure.
PyObject* NewUntrackedLogicalLine(Py_ssize_t tok_count);

inline bool IsScopeDefType(int type) { return type == kClassDefIndex || type == kFunctionDefIndex; }
inline bool IsCommentOrBlankType(int type) { return type == kCommentIndex || type == kBlankLineIndex; }

// The local name of a class or def line: its second token, when it has at
// least two tokens; null (no exception) otherwise.  Borrowed.
inline PyObject* LogicalDefName(tLogicalLine* line) {
  if (!IsScopeDefType(line->type) || line->tok_count < 2 || line->tok_array == nullptr) return nullptr;
  return line->tok_array[1];
}

// Calls fn(name) for every name the line defines: the def name of a class or
// def line, otherwise item 0 of each non-empty tuple entry or the entry
// itself.  Stops at and returns the first non-zero result.
template <typename Fn>
int ForEachNameDefined(tLogicalLine* line, Fn&& fn) {
  if (IsScopeDefType(line->type)) {
    PyObject* name = LogicalDefName(line);
    return name ? fn(name) : 0;
  }
  for (int i = 0; i < line->objs_len; ++i) {
    PyObject* entry = line->objs[i];
    if (PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) > 0) entry = PyTuple_GET_ITEM(entry, 0);
    int rc = fn(entry);
    if (rc != 0) return rc;
  }
  return 0;
}

#endif  // PYSOURCE_LOGICALLINE_INTERFACE_H
