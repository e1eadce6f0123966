// The expression source writer and instance type names (expwriter.cpp).
#ifndef PYSOURCE_EXPWRITER_H
#define PYSOURCE_EXPWRITER_H

#include "pysource_impl.h"

// The text of an expression, pooled (a Name node's own string as is); None
// when a name in it has no UTF-8 form, so that it has no text to record.
PyRef SynthesizeExpSource(PyObject* name_pool, PyObject* expr);
// The written expression with ":" appended, pooled: the name of an instance
// of the class the expression names; None as for SynthesizeExpSource.
PyRef SynthesizeInstanceTypeName(PyObject* name_pool, PyObject* expr);
// "::dict:", "::list:", "::tuple:" or "::string:" for a literal of that
// kind, None for anything else.
PyRef GetLiteralInstanceTypeName(PyObject* name_pool, PyObject* expr);

#endif  // PYSOURCE_EXPWRITER_H
