// Parsing a line and the line analysis driver (linedriver.cpp).
#ifndef PYSOURCE_LINEDRIVER_H
#define PYSOURCE_LINEDRIVER_H

#include "pysource_impl.h"

// The host parser's tree for the line (None for a clause header), or null.
PyRef ParseLogicalLineDirect(tPySourceImpl* self, PyObject* logical);
// The transformer's tree for the line (None for a clause header), or null.
PyRef AstForLogicalLineDirect(tPySourceImpl* self, PyObject* logical);
// Analyses a line not yet analysed: 0, or -1 with the error set.
int AnalyzeLogicalLineDirect(tPySourceImpl* self, PyObject* logical);
// 1 when every line of `body_list` is analysed afterwards, 0 when not, -1.
int AnalyzeLogicalListDirect(tPySourceImpl* self, PyObject* body_list, int max_count);
// AnalyzeLogicalLineDirect for a line not analysed yet, holding the line.
int AnalyzeIfNeeded(tPySourceImpl* self, PyObject* logical);

// The analyzer's TransformNode, when bound to the native Transformer, is a
// chain of two objects (the bound method and the transformer) that only the
// analyzer reaches.  Like the standard walk procedure (astinspect.h), the
// chain is taken out of the collector's sight while nothing else holds any
// of it, and the analyzer's traverse reports what the transformer holds
// (the name pool, the non-self defs, the host transformer if made) on its
// behalf; should anything else take hold of the chain, nothing is reported.
void UntrackPrivateTransformer(tPySourceImpl* self);
int TraversePrivateTransformer(tPySourceImpl* self, visitproc visit, void* arg);

PYSOURCE_DECLARE_METHOD(ParseLogicalLine);
PYSOURCE_DECLARE_METHOD(AstForLogicalLine);
PYSOURCE_DECLARE_METHOD(AnalyzeLogical);
PYSOURCE_DECLARE_METHOD(AnalyzeLogicalList);
PyObject* ClearAnalysis(tPySourceImpl* self, PyObject* args);

#endif  // PYSOURCE_LINEDRIVER_H
