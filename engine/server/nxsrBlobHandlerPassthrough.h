// The passthrough BLOB handler (every change goes to the table's BLOB engine
// at once: result sets and internal cursors) and the database's BLOB link
// handler, which reads linked BLOBs of other tables through read-only
// cursors of its own.
//
// Link handler contracts:
// - One open cursor per linked table name (ASCII case ignored), opened on
//   first use, freed when its table asks its cursors to close or with the
//   handler. The handler owns those cursors.
// - Thread safety: the list is guarded by a re-entrant read-write portal:
//   lookups and the calls into a link cursor hold it for reading; opening a
//   cursor, the close routine and destruction hold it for writing. The link
//   cursors share the session lock of the cursors whose engines call back,
//   so their primitives are called directly (no deadline, no lock).
#pragma once

#include <atomic>
#include <map>

#include "nxsrBlobHandlerBase.h"

class TnxServerDatabase;
class TnxServerTableCursor;
class TnxInternalReadWritePortal;
class TnxRequestCloseHandlerEvent;

class TnxPassthroughBlobHandler : public TnxBaseBlobHandler {
  PL_CLASS_INFO_DECL()
 public:
  // The references are not owned.
  TnxPassthroughBlobHandler(TnxServerBaseCursor* aParent, TnxBaseBlobEngine* aBlobEngine,
                            TnxBaseBlobLinkHandler* aBlobLinkHandler, TnxFieldsDescriptor* aFieldsDescriptor);

  bool BlobVerifyNr(TnxBaseTransaction*, const TnxRecID&, std::int32_t, TnxBlobNr) override { return true; }
  TnxResult BlobCreate(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                       TnxBlobNr& aBlobNr) override;
  TnxResult BlobCreateFile(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                           const nxString& aFileName, TnxBlobNr& aBlobNr) override;
  TnxResult BlobCreateLink(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                           const nxString& aTableName, TnxBlobNr aTableBlobNr, TnxBlobNr& aBlobNr) override;
  TnxResult BlobDelete(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                       TnxBlobNr aBlobNr) override;
  // aBlobDeleted: the engine deleted the BLOB because it held no data.
  TnxResult BlobFree(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                     bool& aBlobDeleted) override;
  TnxResult BlobTruncate(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo,
                         TnxBlobNr aBlobNr, std::uint32_t aBlobLength) override;
  TnxResult BlobWrite(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                      std::uint32_t aOffset, std::uint32_t aLen, const void* aBlob) override;
  // aLen > 0: creates the BLOB when the number is 0, writes, and truncates
  // a BLOB that existed before to aLen. aLen = 0: truncates an existing
  // BLOB to 0; number 0 stays 0.
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
  // Deletes every BLOB the deleted record named; a failure marks the
  // transaction level corrupted.
  TnxResult AfterDelete(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, const void* aRecord) override;
  TnxResult BeforeInsert(TnxBaseTransaction*, void*) override { return 0; }
  TnxResult BeforeModify(TnxBaseTransaction*, const TnxRecID&, const void*, void*) override { return 0; }
  TnxResult AfterModify(TnxBaseTransaction*, const TnxRecID&, const void*, const void*) override { return 0; }
  bool NeedNested() override { return false; }

 private:
  TnxBaseBlobEngine* ptbhBlobEngine;
  TnxBaseBlobLinkHandler* ptbhBlobLinkHandler;
  TnxFieldsDescriptor* ptbhFieldsDescriptor;
  TnxBlobFields ptbhBlobFields;
};

class TnxBlobLinkHandler : public TnxBaseBlobLinkHandler {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxBlobLinkHandler(TnxServerDatabase* aDatabase);
  ~TnxBlobLinkHandler() override;
  TnxBlobLinkHandler(const TnxBlobLinkHandler&) = delete;
  TnxBlobLinkHandler& operator=(const TnxBlobLinkHandler&) = delete;

  // Frees the link cursors while the database is whole.
  void PrepareDestroy() override;

  TnxResult BlobLinkRead(const nxString& aTableName, TnxBlobNr aBlobNr, std::uint32_t aOffset, std::uint32_t aLen,
                         TStream& aStream) override;
  TnxResult BlobLinkGetLength(const nxString& aTableName, TnxBlobNr aBlobNr, std::uint32_t& aLength) override;

  // The number of open link cursors.
  std::size_t CursorCount();

 private:
  // The cursor for aTableName, opened when missing; the caller holds the
  // portal for reading.
  TnxResult blhCursorFor(const nxString& aTableName, TnxServerTableCursor*& aCursor);
  void blhRequestCloseEvent(platform::TObject* aSender);
  void blhFreeCursors() noexcept;

  std::atomic<TnxInternalReadWritePortal*> blhPortal{nullptr};  // owned
  TnxServerDatabase* blhDatabase;
  std::map<nxString, TnxServerTableCursor*> blhBlobCursors;  // upper-case ASCII name; cursors owned
  TnxIntfPtr<InxRequestCloseHandler> blhRequestClose;
  TnxRequestCloseHandlerEvent* blhRequestCloseEventObject = nullptr;  // held by blhRequestClose
  std::atomic<bool> blhDestroying{false};
};
