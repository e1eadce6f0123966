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
};

// Creates the kind strings; 0, or -1 with an exception set.
int InitBuildStrings();

// The tuple tree of a parsed line (a new reference), or null with an
// exception set.  The first `fed` items of the list `tokens` are the
// tokens parsed.
PyObject* BuildTree(const ParseResult& parsed, PyObject* tokens, Py_ssize_t fed,
                    const BuildContext& ctx);

}  // namespace pgram

#endif  // PYSOURCE_GRAMMAR_GBUILD_H
