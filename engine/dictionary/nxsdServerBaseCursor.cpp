#include "nxsdServerBaseCursor.h"

#include "plErrors.h"

PL_CLASS_INFO_IMPL(TnxServerBaseCursor, TnxSqlAbstractCursor, "TnxServerBaseCursor", nullptr)

TnxServerBaseCursor* nxAsServerCursor(TnxAbstractCursor* aCursor) {
  if (!aCursor) return nullptr;
  TnxServerBaseCursor* cursor = platform::objectAs<TnxServerBaseCursor>(aCursor);
  if (!cursor) throw platform::ConvertError("Invalid class typecast");
  return cursor;
}

TnxServerBaseCursor* nxTryServerCursor(TnxAbstractCursor* aCursor) {
  return platform::objectAs<TnxServerBaseCursor>(aCursor);
}
