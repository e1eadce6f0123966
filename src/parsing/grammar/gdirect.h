// The native line grammar's table of direct entry points, for the analyzer:
// a line's tokens handed over as one array instead of one AddToken call per
// token, and parse and transform in one step when both are native.
//
// The Grammar type carries the table as a capsule in its class attribute
// kGrammarDirectAttr.  A caller uses it only for an object whose type is
// exactly table->grammar_type (and a transformer exactly of
// table->transformer_type): anything else, subclasses included, goes
// through the Python-level interface.
#ifndef PYSOURCE_GRAMMAR_GDIRECT_H
#define PYSOURCE_GRAMMAR_GDIRECT_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

struct tGrammarDirectTable {
  // sizeof(tGrammarDirectTable) of the module that made it.
  Py_ssize_t size;
  PyTypeObject* grammar_type;
  PyTypeObject* transformer_type;
  // The Transformer's TransformNode, to know a bound one.
  PyCFunction transform_node;
  // What a parser gives from Finish() after AddToken(toks[i]) for each of
  // the `n` tokens (all str, the analyzer's closing newline included):
  // a new reference, or null with the exception set.
  PyObject* (*parse)(PyObject* const* toks, Py_ssize_t n);
  // transformer.TransformNode(parse(toks, n)), without the parse result
  // object in between when the line is parsed natively.
  PyObject* (*parse_and_transform)(PyObject* transformer, PyObject* const* toks, Py_ssize_t n);
};

constexpr const char* kGrammarDirectCapsuleName = "pysource_grammar.DirectTable";
constexpr const char* kGrammarDirectAttr = "_direct_table";

#endif  // PYSOURCE_GRAMMAR_GDIRECT_H
