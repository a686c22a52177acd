// The caching BLOB handler of client cursors: changes to BLOBs that a
// stored record owns are made on a working copy in a per-cursor BLOB cache
// and reach the table only when the record is modified; BLOBs created or
// deleted through the cursor are tracked until the record is inserted,
// modified or deleted, or the edit is cancelled.
//
// The BLOB cache is a result set (one entry per masked BLOB number):
//   BlobNr (masked), UnmaskedBlobNr, BlobStateInfo (0 created, 1 deletion
//   pending, 2 changed: CachedBlob holds the new content), CachedBlob,
//   FieldNo, RefNr, InsertLSN (NULL for -1 / 0).
// All caching handlers share its dictionary, built once under a padlock and
// freed by nxsrBlobHandlerCachingFinalize.
//
// Contracts:
// - Engine calls take the masked number; callers and record fields hold the
//   full one. Where the engine keeps counter bits and the table has the
//   "$BlobNrCounter" index, a deleted BLOB's last full number is kept there
//   and a new BLOB at its place gets the next counter value.
// - Every operation except NeedNested and GetBlobs runs inside a time-out
//   nesting scope: the public operations it calls on its cache keep the
//   caller's deadline.
// - An entry found for another field or record raises an assertion failure
//   naming this module; the calling primitive turns it into its result.
#pragma once

#include "nxsrBlobHandlerBase.h"

class TnxServerTableCursor;
class TnxBaseIndexEngine;
class TnxBaseIndexPath;

class TnxCachingBlobHandler : public TnxBaseBlobHandler {
  PL_CLASS_INFO_DECL()
 public:
  TnxCachingBlobHandler(TnxServerTableCursor* aOwner, TnxBaseBlobEngine* aBlobEngine,
                        TnxBaseBlobLinkHandler* aBlobLinkHandler, TnxFieldsDescriptor* aFieldsDescriptor);
  ~TnxCachingBlobHandler() override;
  TnxCachingBlobHandler(const TnxCachingBlobHandler&) = delete;
  TnxCachingBlobHandler& operator=(const TnxCachingBlobHandler&) = delete;
  // Frees the BLOB cache while the owner is whole.
  void PrepareDestroy() override;

  TnxResult BlobsCancel(TnxBaseTransaction* aTrans, TnxRefNr aRefNr) override;
  bool BlobVerifyNr(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                    TnxBlobNr aBlobNr) override;
  TnxResult BlobCreate(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                       TnxBlobNr& aBlobNr) override;
  TnxResult BlobCreateFile(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                           const nxString& aFileName, TnxBlobNr& aBlobNr) override;
  TnxResult BlobCreateLink(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                           const nxString& aTableName, TnxBlobNr aTableBlobNr, TnxBlobNr& aBlobNr) override;
  TnxResult BlobDelete(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                       TnxBlobNr aBlobNr) override;
  TnxResult BlobFree(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                     bool& aBlobDeleted) override;
  TnxResult BlobTruncate(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                         TnxBlobNr aBlobNr, std::uint32_t aBlobLength) override;
  TnxResult BlobWrite(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                      std::uint32_t aOffset, std::uint32_t aLen, const void* aBlob) override;
  TnxResult BlobReplace(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                        TnxBlobNr& aBlobNr, std::uint32_t aLen, const void* aBlob) override;
  TnxResult BlobGetLength(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo, bool aReadOld,
                          TnxBlobNr aBlobNr, std::uint32_t& aLength) override;
  bool BlobIsLink(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                  nxString& aSrcTableName, TnxBlobNr& aSrcTableBlobNr) override;
  TnxResult BlobRead(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo, bool aReadOld,
                     TnxBlobNr aBlobNr, std::uint32_t aOffset, std::uint32_t aLen, TStream& aStream,
                     std::uint32_t* aBlobLen) override;
  TnxResult BlobModified(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                         TnxBlobNr aBlobNr, bool& aChanged) override;
  TnxResult AfterDelete(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, const void* aRecord) override;
  TnxResult BeforeInsert(TnxBaseTransaction* aTrans, void* aRecord) override;
  TnxResult BeforeModify(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, const void* aOldRecord,
                         void* aNewRecord) override;
  TnxResult AfterModify(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, const void* aOldRecord,
                        const void* aNewRecord) override;
  // True while the BLOB cache holds an entry.
  bool NeedNested() override;

  // The cache cursor (nil before the first entry).
  TnxServerTableCursor* Cache() const { return cbhCache; }

 private:
  struct Entry {
    std::uint8_t state = 0;
    TnxBlobNr cachedBlob = 0;
    TnxBlobNr unmasked = 0;
  };
  TnxResult EnsureCache();
  bool FindCacheEntry(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aMasked, Entry& aEntry);
  TnxResult AddCacheEntry(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aCachedBlob,
                          std::uint8_t aState, TnxBlobNr aFull, TnxBlobNr aMasked);
  // Deletes the entry FindCacheEntry found last (and its CachedBlob).
  TnxResult DeleteFoundEntry();
  void TakeBlobNrCounter(TnxBaseTransaction* aTrans, TnxBlobNr& aFull, TnxBlobNr& aMasked);
  void StoreBlobNrCounter(TnxBaseTransaction* aTrans, TnxBlobNr aFull, TnxBlobNr aMasked);
  TnxBlobNr Masked(TnxBlobNr aNumber) const { return aNumber & cbhBlobNrMask; }
  // A new BLOB from the engine, numbered past its counter, with its entry.
  TnxResult Created(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr& aBlobNr);
  // Ends a hook: a failure (or an exception) marks the level corrupted.
  template <class Body>
  TnxResult Hook(TnxBaseTransaction* aTrans, Body&& aBody);

  TnxServerTableCursor* cbhOwner;
  TnxBaseBlobEngine* cbhBlobEngine;
  TnxBaseBlobLinkHandler* cbhBlobLinkHandler;
  TnxFieldsDescriptor* cbhFieldsDescriptor;
  TnxBlobFields cbhBlobFields;
  TnxBlobNr cbhBlobNrMask;
  TnxBaseIndexEngine* cbhBlobNrCounterIndexEngine = nullptr;
  TnxBaseIndexPath* cbhBlobNrCounterIndexPath = nullptr;  // owned
  TnxServerTableCursor* cbhCache = nullptr;               // owned
  PnxRecordBuffer cbhCacheRecord = nullptr;               // owned; work record of the cache
  PnxRecordBuffer cbhCacheRecordAsKey = nullptr;          // owned; the key source of lookups
};

// Frees the shared BLOB cache dictionary (module end).
void nxsrBlobHandlerCachingFinalize();
