// The logical line module: the LogicalLine type (one statement line with its
// tokens, their positions and the facts the analyzer derives from it), the
// line kind constants, the four attribute kinds, and the function table the
// analyzer fetches through "GetDirectLogicalLineFunctionTable".
//
// Storage rules kept by every routine here:
// - tok_array and position_array are both present with tok_count entries, or
//   both null with tok_count 0.  The splitter's lines and the constructor's
//   keep them in the line's own block (arrays_inline, see NewLineWithArrays);
//   they are released with the line itself.  Deserialized lines keep both
//   in one malloc'd block (arrays_joined), released by freeing tok_array.
// - objs and type_equivs hold objs_len / type_equivs_len entries; an array is
//   null when its length is 0.  The record keeps no capacity: appends realloc
//   to the next power of two at or above the new length, which is a no-op for
//   the allocator most of the time and stays correct for arrays that other
//   code installs with an exact-fit malloc (deserialization does).
// - Every object held in an array, and scope_name, is one owned reference.
// - Arrays other than inline ones are released with free(), matching
//   malloc/realloc.
//
// Lines take part in cyclic garbage collection: an import entry in objs holds
// the analysis object of another module, which can lead back to this line
// through the host.  A line made by the constructor or the splitter holds
// only strings and starts untracked, so the collector never scans the many
// lines of a split; it is tracked from the first entry that is not a string.
// A line from the function table's create() is tracked from its creation, so
// code that fills a line's arrays directly stores a fully initialised array
// and its count together, with no allocation in between.

#include "logicalline_interface.h"
#include "splitter.h"

namespace {

constexpr const char* kKindNames[kLineTypeCount] = {
    "kUnknownIndex",        "kClassDefIndex",       "kFunctionDefIndex",    "kStringExpressionIndex",
    "kAssignmentIndex",     "kIfBeginningIndex",    "kElseBeginningIndex",  "kWhileBeginningIndex",
    "kForBeginningIndex",   "kPassIndex",           "kRaiseIndex",          "kTryIndex",
    "kExceptIndex",         "kFinallyIndex",        "kAssertIndex",         "kReturnIndex",
    "kImportIndex",         "kFromImportIndex",     "kPrintIndex",          "kDeleteIndex",
    "kElifBeginningIndex",  "kCommentIndex",        "kBlankLineIndex",      "kBreakIndex",
};

extern PyTypeObject kLogicalLineType;

bool IsLogicalLine(PyObject* obj) { return obj != nullptr && Py_TYPE(obj) == &kLogicalLineType; }

// The line behind a table call's argument, or null with the error set.
tLogicalLine* LineArg(PyObject* obj) {
  if (obj == nullptr) {
    PyErr_BadInternalCall();
    return nullptr;
  }
  if (!IsLogicalLine(obj)) {
    PyErr_Format(PyExc_TypeError, "expected a logical line, not %.200s", Py_TYPE(obj)->tp_name);
    return nullptr;
  }
  return AsLogical(obj);
}

// ---------------------------------------------------------------------------
// Releasing what a line holds
// ---------------------------------------------------------------------------

// Releases the references in `array`; the array itself is freed only when
// `owned` (a line's inline token array goes with the line).
void ReleaseObjectArray(PyObject** array, Py_ssize_t count, bool owned = true) {
  if (array == nullptr) return;
  for (Py_ssize_t i = 0; i < count; ++i) Py_XDECREF(array[i]);
  if (owned) std::free(array);
}

void ReleasePairArray(tNonTuplePair* pairs, Py_ssize_t count) {
  if (pairs == nullptr) return;
  for (Py_ssize_t i = 0; i < count; ++i) {
    Py_XDECREF(pairs[i].one);
    Py_XDECREF(pairs[i].two);
  }
  std::free(pairs);
}

// Empties objs and type_equivs.  The arrays are detached from the line before
// anything is released, so code run by a release sees a consistent empty line.
void ClearDerived(tLogicalLine* line) {
  PyObject** objs = line->objs;
  Py_ssize_t objs_len = line->objs_len;
  tNonTuplePair* pairs = line->type_equivs;
  Py_ssize_t pairs_len = line->type_equivs_len;
  line->objs = nullptr;
  line->objs_len = 0;
  line->type_equivs = nullptr;
  line->type_equivs_len = 0;
  ReleaseObjectArray(objs, objs_len);
  ReleasePairArray(pairs, pairs_len);
}

// Releases everything the line holds and leaves it as create() makes it,
// apart from its numbers and flags.
void ClearAll(tLogicalLine* line) {
  PyObject** tokens = line->tok_array;
  Py_ssize_t tok_count = line->tok_count;
  tTokenPosition* positions = line->position_array;
  bool in_block = line->arrays_inline;
  bool joined = line->arrays_joined;
  PyObject* scope_name = line->scope_name;
  line->tok_array = nullptr;
  line->position_array = nullptr;
  line->tok_count = 0;
  line->arrays_inline = 0;
  line->arrays_joined = 0;
  line->scope_name = nullptr;
  ClearDerived(line);
  ReleaseObjectArray(tokens, tok_count, !in_block);
  if (!in_block && !joined) std::free(positions);
  Py_XDECREF(scope_name);
}

// ---------------------------------------------------------------------------
// Creation and appends
// ---------------------------------------------------------------------------

// Every field after the token and position arrays of a new line: counts
// 0, flags clear, scope_name and the entry arrays null (arrays_inline is
// the caller's).
void ClearFieldsAfterArrays(tLogicalLine* line) {
  line->first_line = 0;
  line->tok_count = 0;
  line->indent = 0;
  line->line_count = 0;
  line->objs_len = 0;
  line->type_equivs_len = 0;
  line->type = kUnknownIndex;
  line->parsed = 0;
  line->tabs_in_indent = 0;
  line->spaces_in_indent = 0;
  line->scope_name = nullptr;
  line->objs = nullptr;
  line->type_equivs = nullptr;
}

// A new, empty line: counts 0, arrays and scope_name null, flags clear;
// tracked by the cyclic collector when `track` is set.
PyObject* NewEmptyLine(bool track = true) {
  tLogicalLine* line = PyObject_GC_New(tLogicalLine, &kLogicalLineType);
  if (line == nullptr) return nullptr;
  line->tok_array = nullptr;
  line->position_array = nullptr;
  ClearFieldsAfterArrays(line);
  line->arrays_inline = 0;
  line->arrays_joined = 0;
  if (track) PyObject_GC_Track(reinterpret_cast<PyObject*>(line));
  return reinterpret_cast<PyObject*>(line);
}

// Room for `count` entries: the next power of two.  Most lines hold one or
// two entries and are kept as long as their module, so no room is set aside
// beyond that.
size_t GrownCapacity(size_t count) {
  size_t cap = 1;
  while (cap < count) cap *= 2;
  return cap;
}

// Bytes per token of a line whose arrays are in its own block: the token
// pointer and its position.  The type's item size.
constexpr Py_ssize_t kInlineTokenBytes = sizeof(PyObject*) + sizeof(tTokenPosition);
static_assert(sizeof(tLogicalLine) % alignof(PyObject*) == 0);

// A new line with room for `count` tokens and their positions in its own
// block, untracked: one allocation instead of three, and no allocator
// overhead per array.  Every other field is as NewEmptyLine leaves it,
// tok_count included: the caller fills the arrays' first `count` entries,
// then sets tok_count, so that a line released before that holds nothing to
// release.
PyObject* NewLineWithArrays(Py_ssize_t count) {
  if (count < 0 || count > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "too many tokens");
    return nullptr;
  }
  // The record starts with a plain object header: the size the allocator
  // writes after it is overwritten by tok_array below.
  tLogicalLine* line = PyObject_GC_NewVar(tLogicalLine, &kLogicalLineType, count);
  if (line == nullptr) return nullptr;
  PyObject** tokens = reinterpret_cast<PyObject**>(line + 1);
  line->tok_array = count > 0 ? tokens : nullptr;
  line->position_array = count > 0 ? reinterpret_cast<tTokenPosition*>(tokens + count) : nullptr;
  ClearFieldsAfterArrays(line);
  line->arrays_inline = count > 0 ? 1 : 0;
  line->arrays_joined = 0;
  return reinterpret_cast<PyObject*>(line);
}

// Tracks a line once it is to hold an object that is not a string.
void TrackFor(tLogicalLine* line, PyObject* obj) {
  PyObject* self = reinterpret_cast<PyObject*>(line);
  if (!PyUnicode_CheckExact(obj) && !PyObject_GC_IsTracked(self)) PyObject_GC_Track(self);
}

// Makes room for one more element in an array that holds `len` elements.
// 0, or -1 with MemoryError (the array is left as it was).
template <typename T>
int GrowFor(T** array, size_t len) {
  void* block = std::realloc(*array, GrownCapacity(len + 1) * sizeof(T));
  if (block == nullptr) {
    PyErr_NoMemory();
    return -1;
  }
  *array = static_cast<T*>(block);
  return 0;
}

int AppendObj(PyObject* line_obj, PyObject* obj) {
  tLogicalLine* line = LineArg(line_obj);
  if (line == nullptr) return -1;
  if (obj == nullptr) {
    PyErr_BadInternalCall();
    return -1;
  }
  if (line->objs_len >= kMaxLineEntries) return 0;
  if (GrowFor(&line->objs, line->objs_len) < 0) return -1;
  TrackFor(line, obj);
  line->objs[line->objs_len] = Py_NewRef(obj);
  line->objs_len++;
  return 0;
}

int AppendPair(PyObject* line_obj, PyObject* one, PyObject* two) {
  tLogicalLine* line = LineArg(line_obj);
  if (line == nullptr) return -1;
  if (one == nullptr || two == nullptr) {
    PyErr_BadInternalCall();
    return -1;
  }
  if (line->type_equivs_len >= kMaxLineEntries) return 0;
  if (GrowFor(&line->type_equivs, line->type_equivs_len) < 0) return -1;
  TrackFor(line, one);
  TrackFor(line, two);
  tNonTuplePair& pair = line->type_equivs[line->type_equivs_len];
  pair.one = Py_NewRef(one);
  pair.two = Py_NewRef(two);
  line->type_equivs_len++;
  return 0;
}

// ---------------------------------------------------------------------------
// The function table
// ---------------------------------------------------------------------------

PyObject* TableCreate() { return NewEmptyLine(); }

int TableCheck(PyObject* obj) { return IsLogicalLine(obj) ? 1 : 0; }

PyObject* TableGetTypeObject() { return Py_NewRef(reinterpret_cast<PyObject*>(&kLogicalLineType)); }

// Argument names of a def line live in its objs.
PyObject* TableGetArgName(PyObject* line_obj, int i) {
  tLogicalLine* line = LineArg(line_obj);
  if (line == nullptr) return nullptr;
  if (line->type != kFunctionDefIndex || i < 0 || i >= line->objs_len) {
    PyErr_SetString(PyExc_IndexError, "argument index out of range");
    return nullptr;
  }
  return line->objs[i];
}

int TableGetArgCount(PyObject* line_obj) {
  tLogicalLine* line = LineArg(line_obj);
  if (line == nullptr) return -1;
  return line->type == kFunctionDefIndex ? line->objs_len : 0;
}

int TableAppendTypeEquiv(PyObject* line, PyObject* name, PyObject* equiv) { return AppendPair(line, name, equiv); }

int TableAppendArgTypeEquiv(PyObject* line, PyObject* arg, PyObject* instance) {
  return AppendPair(line, arg, instance);
}

int TableAppendAttrib(PyObject* line, PyObject* entry) { return AppendObj(line, entry); }

int TableAppendArgName(PyObject* line, PyObject* name) { return AppendObj(line, name); }

// Base-class texts of a class line live in its objs, like argument names of a
// def line; the kind is not checked, the analyzer only calls this for class
// statements.
int TableAppendBaseClassName(PyObject* line, PyObject* text) { return AppendObj(line, text); }

PyObject* TableGetNamesDefined(PyObject* line_obj) {
  tLogicalLine* line = LineArg(line_obj);
  if (line == nullptr) return nullptr;
  PyRef names = PyRef::Steal(PyList_New(0));
  if (!names) return nullptr;
  int rc = ForEachNameDefined(line, [&](PyObject* name) { return PyList_Append(names.get(), name); });
  if (rc != 0) return nullptr;
  return names.release();
}

int TableClearDerivedInfo(PyObject* line_obj) {
  tLogicalLine* line = LineArg(line_obj);
  if (line == nullptr) return -1;
  ClearDerived(line);
  return 0;
}

tLogicalLineFunctionTable kFunctionTable = {
    TableCreate,          TableCheck,           TableGetTypeObject,      TableGetArgName,
    TableGetArgCount,     TableAppendTypeEquiv, TableAppendArgTypeEquiv, TableAppendAttrib,
    TableAppendArgName,   TableAppendBaseClassName, TableGetNamesDefined, TableClearDerivedInfo,
};

// ---------------------------------------------------------------------------
// Python side of the type
// ---------------------------------------------------------------------------

// The tokens as a fast sequence of exact str, or null with the error set.
PyRef TokenSequence(PyObject* tokens) {
  if (PyUnicode_Check(tokens) || PyBytes_Check(tokens)) {
    PyErr_Format(PyExc_TypeError, "tokens must be a sequence of strings, not %.200s", Py_TYPE(tokens)->tp_name);
    return PyRef();
  }
  PyRef seq = PyRef::Steal(PySequence_Fast(tokens, "tokens must be a sequence of strings"));
  if (!seq) return PyRef();
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  if (n > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "too many tokens");
    return PyRef();
  }
  PyObject** items = PySequence_Fast_ITEMS(seq.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!PyUnicode_CheckExact(items[i])) {
      PyErr_Format(PyExc_TypeError, "tokens must be strings, not %.200s (token %zd)", Py_TYPE(items[i])->tp_name, i);
      return PyRef();
    }
  }
  return seq;
}

// One position value: an int in 0..65535.
int ReadPositionValue(PyObject* obj, uint16_t* out) {
  long value = PyLong_AsLong(obj);
  if (value == -1 && PyErr_Occurred()) return -1;
  if (value < 0 || value > UINT16_MAX) {
    PyErr_Format(PyExc_OverflowError, "position value %ld out of range 0..65535", value);
    return -1;
  }
  *out = static_cast<uint16_t>(value);
  return 0;
}

// Reads `positions` (None or a sequence of (row, col) pairs, one per token)
// into `out`, which has room for `count` entries; zeros for None.
int ReadPositions(PyObject* positions, Py_ssize_t count, tTokenPosition* out) {
  if (positions == Py_None) {
    for (Py_ssize_t i = 0; i < count; ++i) out[i] = tTokenPosition{0, 0};
    return 0;
  }
  PyRef seq = PyRef::Steal(PySequence_Fast(positions, "positions must be None or a sequence of (row, col) pairs"));
  if (!seq) return -1;
  if (PySequence_Fast_GET_SIZE(seq.get()) != count) {
    PyErr_Format(PyExc_ValueError, "%zd positions given for %zd tokens", PySequence_Fast_GET_SIZE(seq.get()),
                 count);
    return -1;
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyRef pair = PyRef::Steal(
        PySequence_Fast(PySequence_Fast_GET_ITEM(seq.get(), i), "each position must be a (row, col) pair"));
    if (!pair || PySequence_Fast_GET_SIZE(pair.get()) != 2) {
      if (pair) PyErr_SetString(PyExc_ValueError, "each position must be a (row, col) pair");
      return -1;
    }
    if (ReadPositionValue(PySequence_Fast_GET_ITEM(pair.get(), 0), &out[i].row) < 0 ||
        ReadPositionValue(PySequence_Fast_GET_ITEM(pair.get(), 1), &out[i].col) < 0) {
      return -1;
    }
  }
  return 0;
}

PyObject* LogicalLineNew(PyTypeObject*, PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"tokens",    "first_line", "indent",         "line_count",       "type",
                                 "positions", "parsed",     "tabs_in_indent", "spaces_in_indent", nullptr};
  PyObject* tokens = nullptr;
  int first_line = 1;
  short indent = 0;
  short line_count = 1;
  int type = kUnknownIndex;
  PyObject* positions = Py_None;
  int parsed = 0;
  int tabs_in_indent = 0;
  int spaces_in_indent = 0;
  static_assert(sizeof(int) == sizeof(int32_t) && sizeof(short) == sizeof(int16_t));
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|ihhiOppp:LogicalLine", const_cast<char**>(kwlist), &tokens,
                                   &first_line, &indent, &line_count, &type, &positions, &parsed, &tabs_in_indent,
                                   &spaces_in_indent)) {
    return nullptr;
  }
  if (type < 0 || type >= kLineTypeCount) {
    PyErr_Format(PyExc_ValueError, "type must be a line kind in 0..%d, not %d", kLineTypeCount - 1, type);
    return nullptr;
  }
  PyRef seq = TokenSequence(tokens);
  if (!seq) return nullptr;
  Py_ssize_t count = PySequence_Fast_GET_SIZE(seq.get());
  // Holds strings only: untracked, like the splitter's lines.
  PyRef obj = PyRef::Steal(NewLineWithArrays(count));
  if (!obj) return nullptr;
  tLogicalLine* line = AsLogical(obj.get());
  // The tokens are taken before the positions are read: reading them may
  // run code that changes the tokens' list.
  PyObject** items = PySequence_Fast_ITEMS(seq.get());
  for (Py_ssize_t i = 0; i < count; ++i) line->tok_array[i] = Py_NewRef(items[i]);
  line->tok_count = static_cast<int32_t>(count);
  if (ReadPositions(positions, count, line->position_array) < 0) return nullptr;
  line->first_line = first_line;
  line->indent = indent;
  line->line_count = line_count;
  line->type = static_cast<uint8_t>(type);
  line->parsed = parsed ? 1 : 0;
  line->tabs_in_indent = tabs_in_indent ? 1 : 0;
  line->spaces_in_indent = spaces_in_indent ? 1 : 0;
  return obj.release();
}

void LogicalLineDealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  ClearAll(AsLogical(self));
  Py_TYPE(self)->tp_free(self);
}

int LogicalLineTraverse(PyObject* self, visitproc visit, void* arg) {
  tLogicalLine* line = AsLogical(self);
  if (line->tok_array != nullptr) {
    for (int32_t i = 0; i < line->tok_count; ++i) Py_VISIT(line->tok_array[i]);
  }
  Py_VISIT(line->scope_name);
  if (line->objs != nullptr) {
    for (int i = 0; i < line->objs_len; ++i) Py_VISIT(line->objs[i]);
  }
  if (line->type_equivs != nullptr) {
    for (int i = 0; i < line->type_equivs_len; ++i) {
      Py_VISIT(line->type_equivs[i].one);
      Py_VISIT(line->type_equivs[i].two);
    }
  }
  return 0;
}

int LogicalLineClear(PyObject* self) {
  ClearAll(AsLogical(self));
  return 0;
}

PyObject* LogicalLineRepr(PyObject* self) {
  tLogicalLine* line = AsLogical(self);
  PyRef tokens = PyRef::Steal(PyTuple_New(line->tok_count));
  if (!tokens) return nullptr;
  for (int32_t i = 0; i < line->tok_count; ++i) {
    PyObject* tok = line->tok_array ? line->tok_array[i] : nullptr;
    PyTuple_SET_ITEM(tokens.get(), i, Py_NewRef(tok ? tok : Py_None));
  }
  if (line->type < kLineTypeCount) {
    return PyUnicode_FromFormat("<LogicalLine %s first_line=%d tokens=%R>", kKindNames[line->type],
                                static_cast<int>(line->first_line), tokens.get());
  }
  return PyUnicode_FromFormat("<LogicalLine kind %d first_line=%d tokens=%R>", static_cast<int>(line->type),
                              static_cast<int>(line->first_line), tokens.get());
}

// A new tuple of the array's objects (None for an empty slot).
PyObject* TupleOfObjects(PyObject** array, Py_ssize_t count) {
  if (array == nullptr) count = 0;
  PyObject* tuple = PyTuple_New(count);
  if (tuple == nullptr) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) PyTuple_SET_ITEM(tuple, i, Py_NewRef(array[i] ? array[i] : Py_None));
  return tuple;
}

PyObject* GetTokens(PyObject* self, void*) {
  tLogicalLine* line = AsLogical(self);
  return TupleOfObjects(line->tok_array, line->tok_count);
}

PyObject* GetObjs(PyObject* self, void*) {
  tLogicalLine* line = AsLogical(self);
  return TupleOfObjects(line->objs, line->objs_len);
}

PyObject* GetPositions(PyObject* self, void*) {
  tLogicalLine* line = AsLogical(self);
  Py_ssize_t count = line->position_array ? line->tok_count : 0;
  PyRef tuple = PyRef::Steal(PyTuple_New(count));
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* pair = Py_BuildValue("(ii)", line->position_array[i].row, line->position_array[i].col);
    if (pair == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), i, pair);
  }
  return tuple.release();
}

PyObject* GetTypeEquivs(PyObject* self, void*) {
  tLogicalLine* line = AsLogical(self);
  Py_ssize_t count = line->type_equivs ? line->type_equivs_len : 0;
  PyRef tuple = PyRef::Steal(PyTuple_New(count));
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    const tNonTuplePair& p = line->type_equivs[i];
    PyObject* pair = PyTuple_Pack(2, p.one ? p.one : Py_None, p.two ? p.two : Py_None);
    if (pair == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), i, pair);
  }
  return tuple.release();
}

PyObject* GetFirstLine(PyObject* self, void*) { return PyLong_FromLong(AsLogical(self)->first_line); }

// The host's edit buffer renumbers lines that moved.
int SetFirstLine(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_TypeError, "first_line cannot be deleted");
    return -1;
  }
  if (!PyLong_Check(value)) {
    PyErr_Format(PyExc_TypeError, "first_line must be an int, not %.200s", Py_TYPE(value)->tp_name);
    return -1;
  }
  long number = PyLong_AsLong(value);
  if (number == -1 && PyErr_Occurred()) return -1;
  if (number < INT32_MIN || number > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "first_line does not fit in 32 bits");
    return -1;
  }
  AsLogical(self)->first_line = static_cast<int32_t>(number);
  return 0;
}

PyObject* GetIndent(PyObject* self, void*) { return PyLong_FromLong(AsLogical(self)->indent); }
PyObject* GetLineCount(PyObject* self, void*) { return PyLong_FromLong(AsLogical(self)->line_count); }
PyObject* GetType(PyObject* self, void*) { return PyLong_FromLong(AsLogical(self)->type); }
PyObject* GetParsed(PyObject* self, void*) { return PyBool_FromLong(AsLogical(self)->parsed); }
PyObject* GetTabsInIndent(PyObject* self, void*) { return PyBool_FromLong(AsLogical(self)->tabs_in_indent); }
PyObject* GetSpacesInIndent(PyObject* self, void*) { return PyBool_FromLong(AsLogical(self)->spaces_in_indent); }

PyObject* GetScopeName(PyObject* self, void*) {
  PyObject* name = AsLogical(self)->scope_name;
  return Py_NewRef(name ? name : Py_None);
}

PyGetSetDef kLogicalLineGetSet[] = {
    {"tokens", GetTokens, nullptr, "The line's tokens, as a tuple of strings.", nullptr},
    {"positions", GetPositions, nullptr, "(row, col) of each token, as a tuple.", nullptr},
    {"first_line", GetFirstLine, SetFirstLine, "Line number of the first physical line.", nullptr},
    {"indent", GetIndent, nullptr, "Indent of the line.", nullptr},
    {"line_count", GetLineCount, nullptr, "Number of physical lines.", nullptr},
    {"type", GetType, nullptr, "The line kind (kUnknownIndex ... kBreakIndex).", nullptr},
    {"parsed", GetParsed, nullptr, "Whether the line has been analyzed.", nullptr},
    {"tabs_in_indent", GetTabsInIndent, nullptr, "Whether the indent holds tabs.", nullptr},
    {"spaces_in_indent", GetSpacesInIndent, nullptr, "Whether the indent holds spaces.", nullptr},
    {"scope_name", GetScopeName, nullptr, "Full name of the enclosing scope once computed, else None.", nullptr},
    {"objs", GetObjs, nullptr, "Attribute entries (argument names, base class texts) as a tuple.", nullptr},
    {"type_equivs", GetTypeEquivs, nullptr, "Type-equivalence pairs as a tuple of 2-tuples.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The bytes the line owns: the record, its arrays, and the allocator's
// share of the inline ones.  Objects the arrays refer to are not counted.
PyObject* LogicalLineSizeOf(PyObject* self, PyObject*) {
  tLogicalLine* line = AsLogical(self);
  Py_ssize_t size = sizeof(tLogicalLine);
  Py_ssize_t tokens = line->tok_array ? line->tok_count : 0;
  size += tokens * kInlineTokenBytes;
  size += line->objs ? line->objs_len * static_cast<Py_ssize_t>(sizeof(PyObject*)) : 0;
  size += line->type_equivs ? line->type_equivs_len * static_cast<Py_ssize_t>(sizeof(tNonTuplePair)) : 0;
  return PyLong_FromSsize_t(size);
}

PyMethodDef kLogicalLineMethods[] = {
    {"__sizeof__", LogicalLineSizeOf, METH_NOARGS, "Size of the line and its arrays in memory, in bytes."},
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(LogicalLine_doc,
             "LogicalLine(tokens, first_line=1, indent=0, line_count=1, type=0, positions=None,\n"
             "            parsed=False, tabs_in_indent=False, spaces_in_indent=False)\n\n"
             "One logical source line: its tokens (strings), their (row, col) positions,\n"
             "and the facts the analyzer derives from it.");

PyTypeObject kLogicalLineType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "logicalline.LogicalLine",
    .tp_basicsize = sizeof(tLogicalLine),
    // Lines may keep their token and position arrays in their own block.
    .tp_itemsize = kInlineTokenBytes,
    .tp_dealloc = LogicalLineDealloc,
    .tp_repr = LogicalLineRepr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = LogicalLine_doc,
    .tp_traverse = LogicalLineTraverse,
    .tp_clear = LogicalLineClear,
    .tp_methods = kLogicalLineMethods,
    .tp_getset = kLogicalLineGetSet,
    .tp_new = LogicalLineNew,
    .tp_free = PyObject_GC_Del,
};

// ---------------------------------------------------------------------------
// Module
// ---------------------------------------------------------------------------

PyObject* GetDirectLogicalLineFunctionTable(PyObject*, PyObject*) {
  return PyCapsule_New(&kFunctionTable, kLogicalLineTableCapsuleName, nullptr);
}

PyDoc_STRVAR(GetDirectLogicalLineFunctionTable_doc,
             "Returns a capsule holding the table of logical line operations for native callers.");

PyMethodDef kModuleMethods[] = {
    {"GetDirectLogicalLineFunctionTable", GetDirectLogicalLineFunctionTable, METH_NOARGS,
     GetDirectLogicalLineFunctionTable_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(module_doc, "Logical lines of Python source and their derived facts.");

PyModuleDef kModuleDef = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "logicalline",
    .m_doc = module_doc,
    .m_size = -1,
    .m_methods = kModuleMethods,
};

// The four attribute kinds are distinct string objects; the analyzer only
// stores them into results and tests them for membership.
struct tAttribKind {
  const char* attr;
  const char* value;
};
constexpr tAttribKind kAttribKinds[] = {
    {"kClassAttribKind", "class"},
    {"kFunctionAttribKind", "function"},
    {"kGenericAttribKind", "generic"},
    {"kImportedAttribKind", "imported"},
};

int AddModuleContents(PyObject* module) {
  if (PyModule_AddObjectRef(module, "LogicalLine", reinterpret_cast<PyObject*>(&kLogicalLineType)) < 0) return -1;
  for (int kind = 0; kind < kLineTypeCount; ++kind) {
    if (PyModule_AddIntConstant(module, kKindNames[kind], kind) < 0) return -1;
  }
  for (const tAttribKind& k : kAttribKinds) {
    PyRef value = PyRef::Steal(PyUnicode_FromString(k.value));
    if (!value || PyModule_AddObjectRef(module, k.attr, value.get()) < 0) return -1;
  }
  return AddSplitterFunctions(module);
}

}  // namespace

PyObject* NewUntrackedLogicalLine() { return NewEmptyLine(false); }

PyObject* NewUntrackedLogicalLine(Py_ssize_t tok_count) { return NewLineWithArrays(tok_count); }

PyMODINIT_FUNC PyInit_logicalline(void) {
  if (PyType_Ready(&kLogicalLineType) < 0) return nullptr;
  PyRef module = PyRef::Steal(PyModule_Create(&kModuleDef));
  if (!module) return nullptr;
  if (AddModuleContents(module.get()) < 0) return nullptr;
  return module.release();
}
