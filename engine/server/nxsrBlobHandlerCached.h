// The BLOB handler of cache cursors. A cache table holds copies of records
// of a table elsewhere; its record fields hold that table's BLOB numbers.
// The handler keeps apart:
// - local copies of the other table's BLOBs, found through the cache table's
//   internal index "$CachedBlobs" (key: BLOB number, field number, RefNr,
//   insert LSN; reference: the local BLOB with the content);
// - local changes not yet sent to the other table, one cache info per
//   changed BLOB in a per-cursor cache-info table (a result set):
//     RefNr, InsertLSN, FieldNo, BlobNr, BlobStateInfo (TnxCachedBlobStateInfo),
//     CacheBlobNr, CacheFileName, Flushed, EverFlushed
//   keyed by (RefNr, InsertLSN, FieldNo, BlobNr). A record copy not stored
//   yet has RefNr and InsertLSN 0.
// BLOBs created here get temporary numbers: high 32 bits all ones, low 32
// bits the cursor's next counter value (from 1), until the other side
// assigns a real number (BlobCacheFlushed) and the record copy is modified
// to carry it; the flushed local content then becomes the local copy.
//
// Contracts:
// - One handler per cursor, called under the cursor's lock; the shared
//   dictionary of the cache-info tables is built once under a padlock and
//   freed by nxsrBlobHandlerCachedFinalize.
// - The operations on the cache-info table run inside a time-out nesting
//   scope, so its public operations keep the caller's deadline.
// - 3: a BLOB neither changed here nor cached is read (the owner fetches it,
//   BlobAddToCache, and reads again); 9729: a local copy of that key exists;
//   11896: an operation the entry's state does not allow, or a failed
//   rewrite; 12289: links, BlobModified, and reads or BlobAddToCache without
//   "$CachedBlobs".
#pragma once

#include <atomic>
#include <cstdint>

#include "nxsrBlobHandlerBase.h"

class TnxServerTableCursor;
class TnxBaseIndexEngine;
class TnxBaseIndexPath;

class TnxCachedBlobHandler : public TnxBaseBlobHandler {
  PL_CLASS_INFO_DECL()
 public:
  TnxCachedBlobHandler(TnxServerTableCursor* aOwner, TnxBaseBlobEngine* aBlobEngine,
                       TnxBaseBlobLinkHandler* aBlobLinkHandler, TnxFieldsDescriptor* aFieldsDescriptor);
  ~TnxCachedBlobHandler() override;
  TnxCachedBlobHandler(const TnxCachedBlobHandler&) = delete;
  TnxCachedBlobHandler& operator=(const TnxCachedBlobHandler&) = delete;
  // Frees the cache-info table while the owner is whole.
  void PrepareDestroy() override;

  TnxResult GetBlobs(TnxBaseTransaction* aTrans, const void* aData, const TnxMarkedBlobsByBlobIdx* aMarkedBlobs,
                     std::uint16_t& aBlobCount, TnxBlobNr* aBlobNrs) override;
  TnxResult BlobsCancel(TnxBaseTransaction* aTrans, TnxRefNr aRefNr) override;
  bool BlobVerifyNr(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                    TnxBlobNr aBlobNr) override;
  TnxResult GetBlobCacheInfos(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, TnxBlobCacheInfos& aBCIs) override;
  TnxResult BlobCacheFlushed(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                             TnxBlobNr aBlobNr, TnxBlobNr* aNewBlobNr) override;
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
  TnxResult BlobAddToCache(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                           TnxBlobNr aBlobNr, std::uint32_t aLen, const void* aBlob) override;
  TnxResult AfterDelete(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, const void* aRecord) override;
  TnxResult BeforeInsert(TnxBaseTransaction*, void*) override { return 0; }
  TnxResult BeforeModify(TnxBaseTransaction*, const TnxRecID&, const void*, void*) override { return 0; }
  TnxResult AfterModify(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, const void* aOldRecord,
                        const void* aNewRecord) override;
  // True while the cache-info table holds entries.
  bool NeedNested() override;

  // 0: the index holds the key; else the owner fetches the BLOB
  // (ascBlobRequestCache).
  TnxResult BlobEnsureCached(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                             TnxBlobNr aBlobNr);

  // The cache-info table (nil before the first change).
  TnxServerTableCursor* Cache() const { return cbhCache; }
  // True for a number made by BlobCreate / BlobCreateFile.
  static bool IsTemporaryBlobNr(TnxBlobNr aBlobNr) { return (static_cast<std::uint64_t>(aBlobNr) >> 32) == 0xFFFFFFFFu; }

 private:
  struct Entry {
    TnxCachedBlobStateInfo state = cbsiCreated;
    TnxBlobNr cacheBlobNr = 0;
    bool flushed = false;
    bool everFlushed = false;
  };
  TnxResult EnsureCache();
  bool FindCacheEntry(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr, Entry& aEntry);
  TnxResult AddCacheEntry(const TnxRecID& aRecID, std::int32_t aFieldNo, const nxString& aFileName,
                          TnxBlobNr aCacheBlobNr, TnxCachedBlobStateInfo aState, TnxBlobNr aBlobNr);
  // The entry FindCacheEntry found last, rewritten with its work record.
  TnxResult RewriteFoundEntry();
  TnxResult DeleteFoundEntry();
  // Clears Flushed of the entry found last, when set (the change goes out
  // once more).
  TnxResult Unflush(const Entry& aEntry);
  TnxBlobNr NextTemporaryBlobNr();
  // "$CachedBlobs": the local copy of a key (false without one).
  bool IndexLookup(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, std::int32_t aFieldNo, const TnxRecID& aRecID,
                   TnxBlobNr& aLocalBlobNr);
  // A new local BLOB with at most aMaxLength bytes of aSource's content.
  TnxBlobNr CopyLocal(TnxBaseTransaction* aTrans, TnxBlobNr aSource, std::uint32_t aMaxLength);
  // The entries of one record (aRefNr 0 with aAll: every entry).
  TnxResult RangeRecord(const TnxRecID& aRecID);
  void SetKeyFields(PnxRecordBuffer aRecord, const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr);
  // Ends a hook: a failure (or an exception) marks the level corrupted.
  template <class Body>
  TnxResult Hook(TnxBaseTransaction* aTrans, Body&& aBody);

  TnxServerTableCursor* cbhOwner;
  TnxBaseBlobEngine* cbhBlobEngine;
  TnxBaseBlobLinkHandler* cbhBlobLinkHandler;
  TnxFieldsDescriptor* cbhFieldsDescriptor;
  TnxBlobFields cbhBlobFields;
  TnxBaseIndexEngine* cbhCachedBlobsIndexEngine = nullptr;
  TnxBaseIndexPath* cbhCachedBlobsIndexPath = nullptr;  // owned
  std::atomic<std::uint32_t> cbhCreatedBlobsCounter{0};
  TnxServerTableCursor* cbhCache = nullptr;             // owned
  PnxRecordBuffer cbhCacheRecord = nullptr;             // owned; work record of the cache-info table
  PnxRecordBuffer cbhCacheRecordAsKey = nullptr;        // owned; the key source of lookups
};

// Frees the shared cache-info dictionary (module end).
void nxsrBlobHandlerCachedFinalize();
