// The attribute search (attribsearch.cpp).
#ifndef PYSOURCE_ATTRIBSEARCH_H
#define PYSOURCE_ATTRIBSEARCH_H

#include "pysource_impl.h"

PYSOURCE_DECLARE_METHOD(SearchForAttribs);

#endif  // PYSOURCE_ATTRIBSEARCH_H
