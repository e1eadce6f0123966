// Cache change processing (changes.cpp).
#ifndef PYSOURCE_CHANGES_H
#define PYSOURCE_CHANGES_H

#include "pysource_impl.h"

PYSOURCE_DECLARE_METHOD(LogicalCacheModified);
PYSOURCE_DECLARE_METHOD(ClearCache);
PYSOURCE_DECLARE_METHOD(RebuildCache);

#endif  // PYSOURCE_CHANGES_H
