#include "nxllBde.h"

#include <cstddef>

// The blob header is read in place from stored bytes: the layout is fixed.
static_assert(offsetof(CANExpr, iVer) == 0);
static_assert(offsetof(CANExpr, iTotalSize) == 2);
static_assert(offsetof(CANExpr, iNodes) == 4);
static_assert(offsetof(CANExpr, iNodeStart) == 6);
static_assert(offsetof(CANExpr, iLiteralStart) == 8);
