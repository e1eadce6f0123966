// Type equivalence and instance attribute queries (typequeries.cpp).
#ifndef PYSOURCE_TYPEQUERIES_H
#define PYSOURCE_TYPEQUERIES_H

#include "pysource_impl.h"

PYSOURCE_DECLARE_METHOD(FindTypeEquivs);
PYSOURCE_DECLARE_METHOD(GetInstanceAttributes);
PYSOURCE_DECLARE_METHOD(FindInstAttribTypeEquivs);

#endif  // PYSOURCE_TYPEQUERIES_H
