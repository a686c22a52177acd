// The server cursor as the mapper engines, the BLOB mappers and the
// referential-integrity engine see it: the table cursor and the mapping
// cursor of the server engine derive from TnxServerBaseCursor and implement
// these operations; everything else is reached through the abstract cursor.
//
// Callers receive cursors as TnxAbstractCursor and narrow them with
// nxAsServerCursor (class metadata, no RTTI); a cursor of another kind
// fails with platform::ConvertError "Invalid class typecast".
//
// Thread safety: as the abstract cursor; the operations run in the thread
// that runs the cursor's current operation and take no session lock.
#pragma once

#include <cstdint>

#include "nxsdServerEngine.h"

class TnxDefaultValueHandler;

class TnxServerBaseCursor : public TnxSqlAbstractCursor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxSqlAbstractCursor::TnxSqlAbstractCursor;

  // Sets the table's auto-increment counter to aValue inside the cursor's
  // transaction: no lock, no check that it grows; nothing without an
  // auto-increment engine.
  virtual void sbcAutoIncSetDirect(std::uint32_t aValue) = 0;
  // An empty BLOB for the field, in a nested transaction of its own
  // (committed on success, rolled back on failure). aBlobNr is set only
  // when the result is 0.
  virtual TnxResult sbcBlobCreate(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr& aBlobNr) = 0;
  // A new BLOB in this cursor's table holding a copy of BLOB aBlobNr of
  // aSrcCursor's table. An outside-file BLOB: a new reference to the same
  // file for aMaxLength -1, an empty BLOB for 0, 10502 for any other limit.
  // Otherwise at most aMaxLength bytes (-1: all), moved in pieces of at
  // most 1 MB; the result is 0 or the first error of the BLOB engines.
  virtual TnxResult sbcBlobCopyPrim(TnxServerBaseCursor* aSrcCursor, std::int32_t aSrcFieldNo, TnxBlobNr aBlobNr,
                                    std::int32_t aDestFieldNo, TnxBlobNr& aDestBlobNr, std::int64_t aMaxLength) = 0;
  // The root table's password as given at open.
  virtual nxString sbcExtractPassword() = 0;
  // The handler of the table's defaults made with the cursor; nil when none.
  virtual TnxDefaultValueHandler* sbcDefaultValueHandler() = 0;
};

// Pieces in which sbcBlobCopyPrim moves BLOB content.
inline constexpr std::uint32_t nxBlobCopyPieceSize = 1024 * 1024;

// aCursor as a server cursor; nil stays nil; another kind of cursor raises
// platform::ConvertError "Invalid class typecast".
TnxServerBaseCursor* nxAsServerCursor(TnxAbstractCursor* aCursor);
// aCursor as a server cursor, or nil when it is of another kind.
TnxServerBaseCursor* nxTryServerCursor(TnxAbstractCursor* aCursor);
