// The line tree builder: arena trees to the analyzer's tuple trees.
#ifndef PYSOURCE_GRAMMAR_GBUILD_H
#define PYSOURCE_GRAMMAR_GBUILD_H

#include "gparser.h"

namespace pgram {

// Host classes and settings a build uses (all borrowed).
struct BuildContext {
  PyObject* pool;          // dict: text -> the one shared string
  PyObject* nonself_defs;  // set of def lines' token tuples, or null
  PyObject* source_text;   // the SourceText class
  PyObject* arg_name;      // the ArgName class
  // Where a SourceText keeps its text (its one slot), so that one is made
  // without running its __init__; 0 to call the class.
  Py_ssize_t text_offset;
};

// The offset of the `text` slot of the SourceText class `cls`, or 0 when it
// has no such plain slot.
Py_ssize_t SourceTextSlot(PyObject* cls);

// Creates the kind strings; 0, or -1 with an exception set.
int InitBuildStrings();

// The tuple tree of a parsed line (a new reference), or null with an
// exception set.  `toks` are the `fed` tokens parsed (read before any
// host code runs).
PyObject* BuildTree(const ParseResult& parsed, PyObject* const* toks, Py_ssize_t fed,
                    const BuildContext& ctx);

}  // namespace pgram

#endif  // PYSOURCE_GRAMMAR_GBUILD_H
