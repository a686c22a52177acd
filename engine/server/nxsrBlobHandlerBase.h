// BLOB handlers: every table cursor owns one, and every BLOB operation of
// the cursor and its record-change hooks pass through it. The handler class
// decides when a BLOB change reaches the table's BLOB engine: never (null
// handler), at once (passthrough) or when the owning record is written
// (caching handler).
//
// Contracts:
// - A handler lives exactly as long as its cursor (its parent object) and is
//   called only from the cursor's primitives under the cursor's lock; it has
//   no lock of its own.
// - Every operation takes the cursor's current transaction first (nil
//   outside one). Offsets and lengths are 32-bit unsigned; a negative field
//   number names no field.
// - Engine errors are returned; engine exceptions travel to the calling
//   primitive, which converts them.
// - The base answers 12289 ("%s not supported by %s") for the cache-info
//   operations; the null handler for every BLOB operation.
#pragma once

#include <cstdint>

#include "nxsdServerEngine.h"
#include "nxsrSubEngineBase.h"

class TnxServerBaseCursor;
class TnxServerTableCursor;
class TnxServerDataDict;
class TnxBaseTransaction;

// Resolves BLOB links: reads a BLOB of another table of the same database.
class TnxBaseBlobLinkHandler : public TnxExtendableServerObject {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxBaseBlobLinkHandler(TnxExtendableServerObject* aParent) : TnxExtendableServerObject(aParent) {}

  virtual TnxResult BlobLinkRead(const nxString& aTableName, TnxBlobNr aBlobNr, std::uint32_t aOffset,
                                 std::uint32_t aLen, TStream& aStream) = 0;
  virtual TnxResult BlobLinkGetLength(const nxString& aTableName, TnxBlobNr aBlobNr, std::uint32_t& aLength) = 0;

  // The two operations bound to this handler, as the BLOB engine takes them.
  TnxBlobLinkRead ReadMethod();
  TnxBlobLinkGetLength LengthMethod();
};

// The link methods of aHandler; empty methods for nil.
TnxBlobLinkRead nxBlobLinkReadOf(TnxBaseBlobLinkHandler* aHandler);
TnxBlobLinkGetLength nxBlobLinkLengthOf(TnxBaseBlobLinkHandler* aHandler);

class TnxBaseBlobHandler : public TnxExtendableServerObject {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxBaseBlobHandler(TnxServerBaseCursor* aOwner);

  // The numbers of the record's BLOB fields that are neither NULL nor 0
  // (only the fields whose bit is set in aMarkedBlobs, when given).
  // aBlobCount: capacity in, count out. 9986 for a nil record, 9985 past
  // the capacity or without an array (the count then holds what was found).
  virtual TnxResult GetBlobs(TnxBaseTransaction* aTrans, const void* aData, const TnxMarkedBlobsByBlobIdx* aMarkedBlobs,
                             std::uint16_t& aBlobCount, TnxBlobNr* aBlobNrs);
  virtual TnxResult BlobsCancel(TnxBaseTransaction* aTrans, TnxRefNr aRefNr);
  virtual bool BlobVerifyNr(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                            TnxBlobNr aBlobNr) = 0;
  virtual TnxResult GetBlobCacheInfos(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, TnxBlobCacheInfos& aBCIs);
  virtual TnxResult BlobCacheFlushed(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                                     TnxBlobNr aBlobNr, TnxBlobNr* aNewBlobNr);
  virtual TnxResult BlobCreate(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                               TnxBlobNr& aBlobNr) = 0;
  virtual TnxResult BlobCreateFile(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                                   const nxString& aFileName, TnxBlobNr& aBlobNr) = 0;
  virtual TnxResult BlobCreateLink(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                                   const nxString& aTableName, TnxBlobNr aTableBlobNr, TnxBlobNr& aBlobNr) = 0;
  virtual TnxResult BlobDelete(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                               TnxBlobNr aBlobNr) = 0;
  virtual TnxResult BlobFree(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                             TnxBlobNr aBlobNr, bool& aBlobDeleted) = 0;
  virtual TnxResult BlobTruncate(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                                 TnxBlobNr aBlobNr, std::uint32_t aBlobLength) = 0;
  virtual TnxResult BlobWrite(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                              TnxBlobNr aBlobNr, std::uint32_t aOffset, std::uint32_t aLen, const void* aBlob) = 0;
  virtual TnxResult BlobReplace(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                                TnxBlobNr& aBlobNr, std::uint32_t aLen, const void* aBlob) = 0;
  virtual TnxResult BlobGetLength(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                                  bool aReadOld, TnxBlobNr aBlobNr, std::uint32_t& aLength) = 0;
  virtual bool BlobIsLink(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                          TnxBlobNr aBlobNr, nxString& aSrcTableName, TnxBlobNr& aSrcTableBlobNr) = 0;
  // aBlobLen, when given, receives the BLOB's whole length first.
  virtual TnxResult BlobRead(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                             bool aReadOld, TnxBlobNr aBlobNr, std::uint32_t aOffset, std::uint32_t aLen,
                             TStream& aStream, std::uint32_t* aBlobLen) = 0;
  virtual TnxResult BlobModified(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                                 TnxBlobNr aBlobNr, bool& aChanged) = 0;
  virtual TnxResult BlobAddToCache(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                                   TnxBlobNr aBlobNr, std::uint32_t aLen, const void* aBlob);
  // The record-change hooks: a non-zero result fails the change.
  virtual TnxResult AfterDelete(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, const void* aRecord) = 0;
  virtual TnxResult BeforeInsert(TnxBaseTransaction* aTrans, void* aRecord) = 0;
  virtual TnxResult BeforeModify(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, const void* aOldRecord,
                                 void* aNewRecord) = 0;
  virtual TnxResult AfterModify(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, const void* aOldRecord,
                                const void* aNewRecord) = 0;
  // True while the handler has pending state: record changes then run in a
  // transaction level of their own.
  virtual bool NeedNested() = 0;

  TnxServerBaseCursor* Owner() const { return bbhOwner; }

 protected:
  // 12289 with "%s with aReadOld = True is not supported by %s".
  TnxResult ReadOldNotSupported(const char16_t* aOperation) const;
  // The BLOB number a record field holds; 0 for NULL.
  static TnxBlobNr FieldBlobNr(TnxFieldsDescriptor* aFields, std::int32_t aFieldNo, const void* aRecord);

  TnxServerBaseCursor* bbhOwner;
};

class TnxNullBlobHandler : public TnxBaseBlobHandler {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseBlobHandler::TnxBaseBlobHandler;

  TnxResult GetBlobs(TnxBaseTransaction* aTrans, const void* aData, const TnxMarkedBlobsByBlobIdx* aMarkedBlobs,
                     std::uint16_t& aBlobCount, TnxBlobNr* aBlobNrs) override;
  bool BlobVerifyNr(TnxBaseTransaction*, const TnxRecID&, std::int32_t, TnxBlobNr) override { return false; }
  TnxResult BlobCreate(TnxBaseTransaction*, const TnxRecID&, std::int32_t, TnxBlobNr&) override;
  TnxResult BlobCreateFile(TnxBaseTransaction*, const TnxRecID&, std::int32_t, const nxString&, TnxBlobNr&) override;
  TnxResult BlobCreateLink(TnxBaseTransaction*, const TnxRecID&, std::int32_t, const nxString&, TnxBlobNr,
                           TnxBlobNr&) override;
  TnxResult BlobDelete(TnxBaseTransaction*, const TnxRecID&, std::int32_t, TnxBlobNr) override;
  TnxResult BlobFree(TnxBaseTransaction*, const TnxRecID&, std::int32_t, TnxBlobNr, bool&) override;
  TnxResult BlobTruncate(TnxBaseTransaction*, const TnxRecID&, std::int32_t, TnxBlobNr, std::uint32_t) override;
  TnxResult BlobWrite(TnxBaseTransaction*, const TnxRecID&, std::int32_t, TnxBlobNr, std::uint32_t, std::uint32_t,
                      const void*) override;
  TnxResult BlobReplace(TnxBaseTransaction*, const TnxRecID&, std::int32_t, TnxBlobNr&, std::uint32_t,
                        const void*) override;
  TnxResult BlobGetLength(TnxBaseTransaction*, const TnxRecID&, std::int32_t, bool, TnxBlobNr,
                          std::uint32_t&) override;
  bool BlobIsLink(TnxBaseTransaction*, const TnxRecID&, std::int32_t, TnxBlobNr, nxString& aSrcTableName,
                  TnxBlobNr&) override;
  TnxResult BlobRead(TnxBaseTransaction*, const TnxRecID&, std::int32_t, bool, TnxBlobNr, std::uint32_t,
                     std::uint32_t, TStream&, std::uint32_t*) override;
  TnxResult BlobModified(TnxBaseTransaction*, const TnxRecID&, std::int32_t, TnxBlobNr, bool&) override;
  TnxResult AfterDelete(TnxBaseTransaction*, const TnxRecID&, const void*) override { return 0; }
  TnxResult BeforeInsert(TnxBaseTransaction*, void*) override { return 0; }
  TnxResult BeforeModify(TnxBaseTransaction*, const TnxRecID&, const void*, void*) override { return 0; }
  TnxResult AfterModify(TnxBaseTransaction*, const TnxRecID&, const void*, const void*) override { return 0; }
  bool NeedNested() override { return false; }
};

// The result-set table a caching handler keeps beside aOwner: a copy of
// aDictionary (the result set adjusts what it is given) on its default
// index, with a work record and a key-source record. On failure nothing is
// left open and the out-parameters stay as they were.
TnxResult nxOpenBlobHandlerCache(TnxServerTableCursor* aOwner, TnxServerDataDict* aDictionary,
                                 TnxServerTableCursor*& aCache, PnxRecordBuffer& aRecord,
                                 PnxRecordBuffer& aRecordAsKey);
// Frees what nxOpenBlobHandlerCache opened, if anything; all three nil after.
void nxCloseBlobHandlerCache(TnxServerTableCursor*& aCache, PnxRecordBuffer& aRecord, PnxRecordBuffer& aRecordAsKey);
