#include "nxsrBlobHandlerPassthrough.h"

#include "nxllException.h"
#include "nxllSyncPortal.h"
#include "nxsrServerEngine.h"

PL_CLASS_INFO_IMPL(TnxPassthroughBlobHandler, TnxBaseBlobHandler, "TnxPassthroughBlobHandler", nullptr)
PL_CLASS_INFO_IMPL(TnxBlobLinkHandler, TnxBaseBlobLinkHandler, "TnxBlobLinkHandler", nullptr)

// ---- Passthrough handler -----------------------------------------------------------------

TnxPassthroughBlobHandler::TnxPassthroughBlobHandler(TnxServerBaseCursor* aParent, TnxBaseBlobEngine* aBlobEngine,
                                                     TnxBaseBlobLinkHandler* aBlobLinkHandler,
                                                     TnxFieldsDescriptor* aFieldsDescriptor)
    : TnxBaseBlobHandler(aParent),
      ptbhBlobEngine(aBlobEngine),
      ptbhBlobLinkHandler(aBlobLinkHandler),
      ptbhFieldsDescriptor(aFieldsDescriptor) {
  ptbhFieldsDescriptor->HasBlobFields(ptbhBlobFields);
}

TnxResult TnxPassthroughBlobHandler::BlobCreate(TnxBaseTransaction* aTrans, const TnxRecID&, std::int32_t,
                                                TnxBlobNr& aBlobNr) {
  ptbhBlobEngine->AddBlob(aTrans, aBlobNr);
  return 0;
}

TnxResult TnxPassthroughBlobHandler::BlobCreateFile(TnxBaseTransaction* aTrans, const TnxRecID&, std::int32_t,
                                                    const nxString& aFileName, TnxBlobNr& aBlobNr) {
  ptbhBlobEngine->AddFileBlob(aTrans, aFileName, aBlobNr);
  return 0;
}

TnxResult TnxPassthroughBlobHandler::BlobCreateLink(TnxBaseTransaction* aTrans, const TnxRecID&, std::int32_t,
                                                    const nxString& aTableName, TnxBlobNr aTableBlobNr,
                                                    TnxBlobNr& aBlobNr) {
  ptbhBlobEngine->AddBlobLink(aTrans, aTableName, aTableBlobNr, aBlobNr);
  return 0;
}

TnxResult TnxPassthroughBlobHandler::BlobDelete(TnxBaseTransaction* aTrans, const TnxRecID&, std::int32_t,
                                                TnxBlobNr aBlobNr) {
  ptbhBlobEngine->DeleteBlob(aTrans, aBlobNr);
  return 0;
}

TnxResult TnxPassthroughBlobHandler::BlobFree(TnxBaseTransaction* aTrans, const TnxRecID&, std::int32_t,
                                              TnxBlobNr aBlobNr, bool& aBlobDeleted) {
  aBlobDeleted = ptbhBlobEngine->FreeBlob(aTrans, aBlobNr);
  return 0;
}

TnxResult TnxPassthroughBlobHandler::BlobTruncate(TnxBaseTransaction* aTrans, const TnxRecID&, std::int32_t,
                                                  TnxBlobNr aBlobNr, std::uint32_t aBlobLength) {
  ptbhBlobEngine->Truncate(aTrans, aBlobNr, aBlobLength);
  return 0;
}

TnxResult TnxPassthroughBlobHandler::BlobWrite(TnxBaseTransaction* aTrans, const TnxRecID&, std::int32_t,
                                               TnxBlobNr aBlobNr, std::uint32_t aOffset, std::uint32_t aLen,
                                               const void* aBlob) {
  ptbhBlobEngine->Write(aTrans, aBlobNr, aOffset, aLen, aBlob);
  return 0;
}

TnxResult TnxPassthroughBlobHandler::BlobReplace(TnxBaseTransaction* aTrans, const TnxRecID& aRecID,
                                                 std::int32_t aFieldNo, TnxBlobNr& aBlobNr, std::uint32_t aLen,
                                                 const void* aBlob) {
  if (aLen == 0) return aBlobNr == 0 ? 0 : BlobTruncate(aTrans, aRecID, aFieldNo, aBlobNr, 0);
  const bool existed = aBlobNr != 0;
  TnxResult result = existed ? 0 : BlobCreate(aTrans, aRecID, aFieldNo, aBlobNr);
  if (result == 0) result = BlobWrite(aTrans, aRecID, aFieldNo, aBlobNr, 0, aLen, aBlob);
  if (result == 0 && existed) result = BlobTruncate(aTrans, aRecID, aFieldNo, aBlobNr, aLen);
  return result;
}

TnxResult TnxPassthroughBlobHandler::BlobGetLength(TnxBaseTransaction* aTrans, const TnxRecID&, std::int32_t,
                                                   bool aReadOld, TnxBlobNr aBlobNr, std::uint32_t& aLength) {
  if (aReadOld) return ReadOldNotSupported(u"BlobGetLength");
  return static_cast<TnxResult>(
      ptbhBlobEngine->GetBlobLength(aTrans, aBlobNr, nxBlobLinkLengthOf(ptbhBlobLinkHandler), aLength));
}

bool TnxPassthroughBlobHandler::BlobIsLink(TnxBaseTransaction* aTrans, const TnxRecID&, std::int32_t,
                                           TnxBlobNr aBlobNr, nxString& aSrcTableName, TnxBlobNr& aSrcTableBlobNr) {
  aSrcTableName.clear();
  return ptbhBlobEngine->IsBlobLink(aTrans, aBlobNr, aSrcTableName, aSrcTableBlobNr);
}

TnxResult TnxPassthroughBlobHandler::BlobRead(TnxBaseTransaction* aTrans, const TnxRecID&, std::int32_t,
                                              bool aReadOld, TnxBlobNr aBlobNr, std::uint32_t aOffset,
                                              std::uint32_t aLen, TStream& aStream, std::uint32_t* aBlobLen) {
  if (aReadOld) return ReadOldNotSupported(u"BlobRead");
  if (aBlobLen) {
    const auto result = static_cast<TnxResult>(
        ptbhBlobEngine->GetBlobLength(aTrans, aBlobNr, nxBlobLinkLengthOf(ptbhBlobLinkHandler), *aBlobLen));
    if (result != 0) return result;
  }
  return static_cast<TnxResult>(
      ptbhBlobEngine->Read(aTrans, aBlobNr, aOffset, aLen, nxBlobLinkReadOf(ptbhBlobLinkHandler), aStream));
}

TnxResult TnxPassthroughBlobHandler::BlobModified(TnxBaseTransaction*, const TnxRecID&, std::int32_t, TnxBlobNr,
                                                  bool&) {
  return NotSupported(u"BlobModified");
}

TnxResult TnxPassthroughBlobHandler::AfterDelete(TnxBaseTransaction* aTrans, const TnxRecID&, const void* aRecord) {
  try {
    for (const std::int32_t field : ptbhBlobFields) {
      const TnxBlobNr number = FieldBlobNr(ptbhFieldsDescriptor, field, aRecord);
      if (number != 0) ptbhBlobEngine->DeleteBlob(aTrans, number);
    }
    return 0;
  } catch (const std::exception&) {
    const TnxResult result = asoConvertException(std::current_exception());
    if (aTrans) aTrans->MarkCorrupted();
    return result;
  }
}

// ---- Link handler ------------------------------------------------------------------------

namespace {

nxString listKey(const nxString& aTableName) {
  nxString key = aTableName;
  for (char16_t& c : key)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  return key;
}

// A read of a portal entered with CreateAndRead, left on scope exit.
class TnxCreatedReadGuard {
 public:
  explicit TnxCreatedReadGuard(std::atomic<TnxInternalReadWritePortal*>& aPortal) {
    TnxInternalReadWritePortal::CreateAndRead(aPortal);
    portal_ = aPortal.load();
  }
  ~TnxCreatedReadGuard() { portal_->EndRead(); }
  TnxCreatedReadGuard(const TnxCreatedReadGuard&) = delete;
  TnxCreatedReadGuard& operator=(const TnxCreatedReadGuard&) = delete;

 private:
  TnxInternalReadWritePortal* portal_ = nullptr;
};

}  // namespace

TnxBlobLinkHandler::TnxBlobLinkHandler(TnxServerDatabase* aDatabase)
    : TnxBaseBlobLinkHandler(aDatabase), blhDatabase(aDatabase) {
  blhRequestCloseEventObject = platform::create<TnxRequestCloseHandlerEvent>(
      [this](platform::TObject* aSender) { blhRequestCloseEvent(aSender); });
  blhRequestClose =
      TnxIntfPtr<InxRequestCloseHandler>(static_cast<InxRequestCloseHandlerEvent*>(blhRequestCloseEventObject));
}

TnxBlobLinkHandler::~TnxBlobLinkHandler() {
  blhFreeCursors();
  blhRequestClose = TnxIntfPtr<InxRequestCloseHandler>();
  TnxInternalReadWritePortal* portal = blhPortal.exchange(nullptr);
  nxFreeAndNil(portal);
}

void TnxBlobLinkHandler::PrepareDestroy() {
  blhFreeCursors();
  TnxBaseBlobLinkHandler::PrepareDestroy();
}

void TnxBlobLinkHandler::blhFreeCursors() noexcept {
  blhDestroying.store(true);
  // Later close requests are ignored.
  if (blhRequestCloseEventObject) blhRequestCloseEventObject->Disconnect();
  TnxInternalReadWritePortal* portal = blhPortal.load();
  if (!portal) return;
  TnxPortalWriteGuard guard(*portal);
  while (!blhBlobCursors.empty()) {
    auto last = std::prev(blhBlobCursors.end());
    TnxServerTableCursor* cursor = last->second;
    blhBlobCursors.erase(last);
    try {
      TnxAbstractServerObject::Free(cursor);
    } catch (...) {
      asoConvertException(std::current_exception());
    }
  }
}

std::size_t TnxBlobLinkHandler::CursorCount() {
  TnxCreatedReadGuard guard(blhPortal);
  return blhBlobCursors.size();
}

TnxResult TnxBlobLinkHandler::blhCursorFor(const nxString& aTableName, TnxServerTableCursor*& aCursor) {
  const nxString key = listKey(aTableName);
  auto found = blhBlobCursors.find(key);
  if (found != blhBlobCursors.end()) {
    aCursor = found->second;
    return 0;
  }
  TnxPortalWriteGuard guard(*blhPortal.load());
  found = blhBlobCursors.find(key);
  if (found != blhBlobCursors.end()) {
    aCursor = found->second;
    return 0;
  }
  TnxAbstractCursor* opened = nullptr;
  const TnxResult result = blhDatabase->sdCursorOpen(opened, aTableName, nxString(), false, omReadOnly, smShared,
                                                     false, blhDatabase->Timeout(), nxString(), -1, false, false);
  if (result != 0) return result;
  aCursor = static_cast<TnxServerTableCursor*>(opened);
  aCursor->sbcSetOnRequestClose(blhRequestClose);
  blhBlobCursors.emplace(key, aCursor);
  return 0;
}

TnxResult TnxBlobLinkHandler::BlobLinkRead(const nxString& aTableName, TnxBlobNr aBlobNr, std::uint32_t aOffset,
                                           std::uint32_t aLen, TStream& aStream) {
  TnxCreatedReadGuard guard(blhPortal);
  TnxServerTableCursor* cursor = nullptr;
  const TnxResult result = blhCursorFor(aTableName, cursor);
  if (result != 0) return result;
  return cursor->sbcBlobRead(nxNullRecID, -1, aBlobNr, aOffset, aLen, aStream, false, nullptr);
}

TnxResult TnxBlobLinkHandler::BlobLinkGetLength(const nxString& aTableName, TnxBlobNr aBlobNr,
                                                std::uint32_t& aLength) {
  TnxCreatedReadGuard guard(blhPortal);
  TnxServerTableCursor* cursor = nullptr;
  const TnxResult result = blhCursorFor(aTableName, cursor);
  if (result != 0) return result;
  return cursor->sbcBlobGetLength(nxNullRecID, -1, aBlobNr, aLength, false, nullptr);
}

void TnxBlobLinkHandler::blhRequestCloseEvent(platform::TObject* aSender) {
  if (blhDestroying.load()) return;
  TnxInternalReadWritePortal::CreateAndWrite(blhPortal);
  TnxInternalReadWritePortal* portal = blhPortal.load();
  struct End {
    TnxInternalReadWritePortal* portal;
    ~End() { portal->EndWrite(); }
  } end{portal};
  for (auto it = blhBlobCursors.begin(); it != blhBlobCursors.end(); ++it) {
    if (static_cast<platform::TObject*>(it->second) != aSender) continue;
    TnxServerTableCursor* cursor = it->second;
    blhBlobCursors.erase(it);
    TnxAbstractServerObject::Free(cursor);
    return;
  }
}
