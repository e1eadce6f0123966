// Logical line serialization (serialize.cpp).
#ifndef PYSOURCE_SERIALIZE_H
#define PYSOURCE_SERIALIZE_H

#include "pysource_impl.h"

PYSOURCE_DECLARE_METHOD(SerializeLogicalList);
PYSOURCE_DECLARE_METHOD(DeserializeLogicalList);

#endif  // PYSOURCE_SERIALIZE_H
