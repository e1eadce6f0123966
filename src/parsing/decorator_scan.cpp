// nonself_def_keys(lines): the def lines of a logical list that sit under a
// decorator making their first parameter something other than an instance
// (staticmethod, classmethod and their abstract forms), each as the tuple of
// tokens the analyzer feeds the parser for it: its tokens without comments,
// and "pass" after a last token that starts with a colon.  The host package
// does the same scan in Python for its reference host
// (python/pysource/analysis.py, _nonself_keys over _decorator_scan_items);
// this one reads the lines' token arrays in place instead of a tuple of
// tokens per line.

#include "splitter.h"
#include "logicalline_interface.h"

#include <cstring>
#include <string_view>

namespace {

constexpr std::string_view kNonselfDecorators[] = {
    "staticmethod", "classmethod", "abstractstaticmethod", "abstractclassmethod"};

// 0 when every token of the line can be read in place, or -1 with the
// exception set.
int ReadyTokens(const tLogicalLine* line) {
#if PY_VERSION_HEX < 0x030C0000
  for (int32_t i = 0; i < line->tok_count; ++i) {
    if (PyUnicode_READY(line->tok_array[i]) < 0) return -1;
  }
#else
  (void)line;
#endif
  return 0;
}

// Whether the str `text` is the ASCII `ascii`.
bool StrIs(PyObject* text, std::string_view ascii) {
  if (!PyUnicode_IS_ASCII(text) || PyUnicode_GET_LENGTH(text) != static_cast<Py_ssize_t>(ascii.size())) {
    return false;
  }
  return std::memcmp(PyUnicode_1BYTE_DATA(text), ascii.data(), ascii.size()) == 0;
}

// The first character of a str, or 0 for an empty one.
Py_UCS4 FirstChar(PyObject* text) { return PyUnicode_GET_LENGTH(text) > 0 ? PyUnicode_READ_CHAR(text, 0) : 0; }

// The last name of a decorator line's dotted name (`@a.b(...)` gives b), or
// null when there is none.  Borrowed from the line.
PyObject* DecoratorName(const tLogicalLine* line) {
  PyObject* name = nullptr;
  for (int32_t i = 1; i < line->tok_count; ++i) {
    PyObject* t = line->tok_array[i];
    if (StrIs(t, "(") || FirstChar(t) == '#') break;
    if (!StrIs(t, ".")) name = t;
  }
  return name;
}

bool IsNonselfDecorator(PyObject* name) {
  if (name == nullptr) return false;
  for (std::string_view d : kNonselfDecorators) {
    if (StrIs(name, d)) return true;
  }
  return false;
}

// The parse key of a def line: a new tuple, or null with the exception set.
PyObject* ParseKey(const tLogicalLine* line) {
  Py_ssize_t count = 0;
  PyObject* last = nullptr;
  for (int32_t i = 0; i < line->tok_count; ++i) {
    PyObject* t = line->tok_array[i];
    if (FirstChar(t) == '#') continue;
    ++count;
    last = t;
  }
  bool pass = last != nullptr && FirstChar(last) == ':';
  PyRef key = PyRef::Steal(PyTuple_New(count + (pass ? 1 : 0)));
  if (!key) return nullptr;
  Py_ssize_t k = 0;
  for (int32_t i = 0; i < line->tok_count; ++i) {
    PyObject* t = line->tok_array[i];
    if (FirstChar(t) == '#') continue;
    PyTuple_SET_ITEM(key.get(), k++, Py_NewRef(t));
  }
  if (pass) {
    PyObject* text = PyUnicode_InternFromString("pass");
    if (text == nullptr) return nullptr;
    PyTuple_SET_ITEM(key.get(), k, text);
  }
  return key.release();
}

PyObject* NonselfDefKeys(PyObject* module, PyObject* lines) {
  PyRef line_type = PyRef::Steal(PyObject_GetAttrString(module, "LogicalLine"));
  if (!line_type) return nullptr;
  PyRef seq = PyRef::Steal(PySequence_Fast(lines, "nonself_def_keys: lines must be a sequence of LogicalLine"));
  if (!seq) return nullptr;
  PyRef keys = PyRef::Steal(PySet_New(nullptr));
  if (!keys) return nullptr;
  // Whether a decorator seen since the last statement line makes the next
  // def line one without an instance argument.
  bool nonself = false;
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  PyObject** items = PySequence_Fast_ITEMS(seq.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = items[i];
    if (Py_TYPE(item) != reinterpret_cast<PyTypeObject*>(line_type.get())) {
      PyErr_Format(PyExc_TypeError, "nonself_def_keys: lines must be LogicalLine objects, not %.200s",
                   Py_TYPE(item)->tp_name);
      return nullptr;
    }
    const tLogicalLine* line = AsLogical(item);
    int kind = line->type;
    if (IsCommentOrBlankType(kind)) continue;
    if (kind == kUnknownIndex || kind == kFunctionDefIndex) {
      if (ReadyTokens(line) < 0) return nullptr;
    }
    if (kind == kUnknownIndex && line->tok_count > 0 && StrIs(line->tok_array[0], "@")) {
      nonself = nonself || IsNonselfDecorator(DecoratorName(line));
      continue;
    }
    if (kind == kFunctionDefIndex && nonself) {
      PyRef key = PyRef::Steal(ParseKey(line));
      if (!key || PySet_Add(keys.get(), key.get()) < 0) return nullptr;
    }
    nonself = false;
  }
  return keys.release();
}

}  // namespace

PyObject* NonselfDefKeysFunction(PyObject* module, PyObject* lines) { return NonselfDefKeys(module, lines); }

// A module keeps its non-self def keys in a set for as long as it lives, and
// keys are tuples of strings: the set can be in no cycle, and left tracked
// it would be one more object per module for every full collection to walk.
PyObject* KeySetFunction(PyObject*, PyObject*) {
  PyObject* keys = PySet_New(nullptr);
  if (keys != nullptr) PyObject_GC_UnTrack(keys);
  return keys;
}

const char* const kKeySetDoc =
    "key_set()\n\n"
    "A new, empty set that the cyclic collector does not track, for parse keys such as\n"
    "nonself_def_keys gives (tuples of strings, which can hold no reference cycle).";

const char* const kNonselfDefKeysDoc =
    "nonself_def_keys(lines)\n\n"
    "The def lines among the LogicalLine objects `lines` that follow a staticmethod or\n"
    "classmethod decorator (also abstractstaticmethod, abstractclassmethod; comment and\n"
    "blank lines between them allowed), as a set of tuples: each line's tokens without\n"
    "comments, and \"pass\" after a last token that starts with a colon.";
