// The table cursor's BLOB primitives: each wraps one call of the cursor's
// BLOB handler in the table's lock and transaction protocol and checks that
// the number the caller names still belongs to the named record.
#include <algorithm>
#include <cstring>

#include "nxllException.h"
#include "nxllStreams.h"
#include "nxsrBlobHandlerCached.h"
#include "nxsrBlobHandlerCaching.h"
#include "nxsrBlobHandlerPassthrough.h"
#include "nxsrServerEngineInt.h"
#include "nxsrTableLockContainer.h"

namespace {

constexpr std::uint32_t kAllBytes = 0xFFFFFFFFu;

std::uint32_t copyLimitOf(std::int64_t aMaxLength) {
  if (aMaxLength < 0 || aMaxLength >= static_cast<std::int64_t>(kAllBytes)) return kAllBytes;
  return static_cast<std::uint32_t>(aMaxLength);
}

}  // namespace

std::atomic<void (*)(std::uint32_t aOffset, std::uint32_t aLen)> nxsrBlobCopyReadTestHook{nullptr};

// ---- The handler -------------------------------------------------------------------------

void TnxServerTableCursor::stcCreateBlobHandler(bool aBlobCache) {
  TnxBaseBlobEngine* engine = stcTable->BlobEngine();
  TnxFieldsDescriptor* fields = stcTable->TableDescriptor()->FieldsDescriptor();
  TnxBaseBlobLinkHandler* links = ServerDatabase()->BlobLinkHandler();
  if (!engine || !acSFI || acSFI->sfiBlobFields.empty())
    stcBlobHandler = platform::create<TnxNullBlobHandler>(this);
  else if (acStates.contains(acsIsCache))
    stcBlobHandler = platform::create<TnxCachedBlobHandler>(this, engine, links, fields);
  else if (aBlobCache)
    stcBlobHandler = platform::create<TnxCachingBlobHandler>(this, engine, links, fields);
  else
    stcBlobHandler = platform::create<TnxPassthroughBlobHandler>(this, engine, links, fields);
}

void TnxServerTableCursor::stcFreeBlobHandler() noexcept {
  TnxBaseBlobHandler* handler = std::exchange(stcBlobHandler, nullptr);
  if (!handler) return;
  try {
    TnxAbstractServerObject::Free(handler);
  } catch (...) {
    // The cursor goes on going; the handler's failure has nobody to reach.
  }
}

void TnxServerTableCursor::sbcSetOnRequestClose(const TnxIntfPtr<InxRequestCloseHandler>& aHandler) {
  if (!stcTable) return TnxServerBaseCursor::sbcSetOnRequestClose(aHandler);
  TnxPadlockGuard guard(*stcTable->CursorsPadlock());
  TnxServerBaseCursor::sbcSetOnRequestClose(aHandler);
}

// ---- Frames ------------------------------------------------------------------------------

template <class Work>
TnxResult TnxServerTableCursor::stcBlobWriteFrame(bool aVerify, const TnxRecID& aRecID, std::int32_t aFieldNo,
                                                  TnxBlobNr aBlobNr, bool aFree, Work&& aWork) {
  TnxResult result = sbcCheckTransactionState();
  if (result != 0) return result;
  TnxTableLockContainer* locks = stcTable->Locks();
  TnxLockResult lock = lrGrantedExisting;
  if (stcShareMode != smExclusive) {
    lock = locks->GetRecordLock(GetActiveTrans(), LockCursor(), stcSelfRefNr, false, sbcLockFailureReason);
    if (lock >= lrConflictUnknown) return sbcLockFailureError(nxErrFileLocked);
  }
  result = sbcTransactionStart(false, false, false, true, false, IsResultSet || IsUnnamed);
  if (result == 0) {
    try {
      result = sbcBeginContentLock(true, false, false);
      if (result == 0 && aVerify) {
        result = stcBlobVerifyNr(aRecID, aFieldNo, nullptr, aBlobNr);
        if (aFree && result == nxErrBlobModified) result = nxErrSegmentDeleted;
      }
      if (result == 0) result = aWork(GetActiveTrans());
      if (result == 0) result = sbcTransactionCommit();
    } catch (const std::exception&) {
      result = asoConvertException(std::current_exception());
    }
    if (result != 0) sbcTransactionRollback();
  }
  if (lock == lrGrantedNew) locks->ReleaseRecordLock(LockCursor(), stcSelfRefNr, nullptr);
  return result;
}

template <class Work>
TnxResult TnxServerTableCursor::stcBlobReadFrame(bool aVerify, const TnxRecID& aRecID, std::int32_t aFieldNo,
                                                 TnxBlobNr& aBlobNr, PnxNewBlobNr aNewBlobNr, Work&& aWork) {
  const TnxResult begun = sbcBeginContentLock(false, false, false);
  if (begun != 0) return begun;
  TnxResult result = 0;
  try {
    if (aVerify) {
      result = stcBlobVerifyNr(aRecID, aFieldNo, aNewBlobNr, aBlobNr);
      // A stale number: continue with the one the record holds now.
      if (result == nxErrBlobModified && aNewBlobNr && aNewBlobNr->nbnSet && aNewBlobNr->nbnBlobNr != aBlobNr) {
        aBlobNr = aNewBlobNr->nbnBlobNr;
        result = 0;
      }
    }
    if (result == 0) result = aWork(GetActiveTrans());
  } catch (const std::exception&) {
    result = asoConvertException(std::current_exception());
  }
  sbcEndContentLock();
  return result;
}

// ---- Verification ------------------------------------------------------------------------

TnxResult TnxServerTableCursor::stcBlobVerifyNr(const TnxRecID& aRecID, std::int32_t aFieldNo,
                                                PnxNewBlobNr aNewBlobNr, TnxBlobNr aBlobNr) {
  if (aRecID.ridRefNr == 0 || aFieldNo < 0) return 0;
  if (aBlobNr == 0) return nxErrInvalidBlobHandle;
  bool read = false;
  const TnxResult result = stcBlobVerifyRecID(aRecID, read);
  if (result != 0) return result;
  return stcBlobVerifyNrInner(aRecID, aFieldNo, aNewBlobNr, aBlobNr, read);
}

TnxResult TnxServerTableCursor::stcBlobVerifyRecID(const TnxRecID& aRecID, bool& aRead) {
  aRead = false;
  if (aRecID.ridRefNr == 0 || nxRecIDIsUnknown(aRecID)) return 0;
  try {
    if (!sbcRecordBuffer2) sbcRecordBuffer2 = static_cast<PnxRecordBuffer>(stcTable->RecordAllocator().Alloc());
    // The record engine raises 8708 for a slot that holds no record.
    stcTable->RecordEngine()->ReadRecord(GetActiveTrans(), aRecID.ridRefNr, sbcRecordBuffer2);
    aRead = true;
    if (acSFI && acSFI->sfiOffsets[sftInsertLSN] >= 0) {
      TnxLSN stored = 0;
      std::memcpy(&stored, sbcRecordBuffer2 + acSFI->sfiOffsets[sftInsertLSN], sizeof(stored));
      // The RefNr has been reused by another record.
      if (stored != aRecID.ridInsertLSN) return nxErrKeyOrRecDeleted;
    }
    return 0;
  } catch (const std::exception&) {
    return asoConvertException(std::current_exception());
  }
}

TnxResult TnxServerTableCursor::stcBlobVerifyNrInner(const TnxRecID& aRecID, std::int32_t aFieldNo,
                                                     PnxNewBlobNr aNewBlobNr, TnxBlobNr aBlobNr, bool aRecordRead) {
  if (aFieldNo < 0) return 0;
  if (aBlobNr == 0) return nxErrInvalidBlobHandle;
  TnxBlobNr held = 0;
  if (aRecordRead) {
    TnxFieldsDescriptor* fields = stcTable->TableDescriptor()->FieldsDescriptor();
    if (aFieldNo < fields->FieldCount() && !fields->IsRecordFieldNull(aFieldNo, sbcRecordBuffer2))
      std::memcpy(&held, sbcRecordBuffer2 + fields->Fields(aFieldNo)->fdOffset, sizeof(held));
    if (held == aBlobNr) return 0;
  }
  if (stcBlobHandler->BlobVerifyNr(GetActiveTrans(), aRecID, aFieldNo, aBlobNr)) return 0;
  if (aNewBlobNr) *aNewBlobNr = TnxNewBlobNr{held, true};
  return nxErrBlobModified;
}

// ---- Write primitives --------------------------------------------------------------------

TnxResult TnxServerTableCursor::sbcBlobCreate(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr& aBlobNr) {
  TnxBlobNr number = 0;
  const TnxResult result = stcBlobWriteFrame(false, aRecID, aFieldNo, 0, false, [&](TnxBaseTransaction* aTrans) {
    return stcBlobHandler->BlobCreate(aTrans, aRecID, aFieldNo, number);
  });
  if (result == 0) aBlobNr = number;
  return result;
}

TnxResult TnxServerTableCursor::sbcBlobCreateFile(const TnxRecID& aRecID, std::int32_t aFieldNo,
                                                  const nxString& aFileName, TnxBlobNr& aBlobNr) {
  TnxBlobNr number = 0;
  const TnxResult result = stcBlobWriteFrame(false, aRecID, aFieldNo, 0, false, [&](TnxBaseTransaction* aTrans) {
    return stcBlobHandler->BlobCreateFile(aTrans, aRecID, aFieldNo, aFileName, number);
  });
  if (result == 0) aBlobNr = number;
  return result;
}

TnxResult TnxServerTableCursor::sbcBlobCreateLink(const TnxRecID& aRecID, std::int32_t aFieldNo,
                                                  const nxString& aTableName, TnxBlobNr aTableBlobNr,
                                                  TnxBlobNr& aBlobNr) {
  if (sbcIsReadOnly) return sbcReadOnlyError();
  try {
    TnxResult result = sbcCheckTransactionState();
    if (result == 0) result = sbcBeginContentLock(true, false, false);
    if (result != 0) return result;
    return stcBlobHandler->BlobCreateLink(GetActiveTrans(), aRecID, aFieldNo, aTableName, aTableBlobNr, aBlobNr);
  } catch (const std::exception&) {
    return asoConvertException(std::current_exception());
  }
}

TnxResult TnxServerTableCursor::sbcBlobDelete(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr) {
  return stcBlobWriteFrame(true, aRecID, aFieldNo, aBlobNr, false, [&](TnxBaseTransaction* aTrans) {
    return stcBlobHandler->BlobDelete(aTrans, aRecID, aFieldNo, aBlobNr);
  });
}

TnxResult TnxServerTableCursor::sbcBlobFree(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr) {
  bool deleted = false;
  const TnxResult result = stcBlobWriteFrame(true, aRecID, aFieldNo, aBlobNr, true, [&](TnxBaseTransaction* aTrans) {
    return stcBlobHandler->BlobFree(aTrans, aRecID, aFieldNo, aBlobNr, deleted);
  });
  // The clients clear their BLOB field on this code.
  if (result == 0 && deleted) return nxErrBlobModified;
  return result;
}

TnxResult TnxServerTableCursor::sbcBlobWrite(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                             std::uint32_t aOffset, std::uint32_t aLen, const void* aBlob) {
  return stcBlobWriteFrame(true, aRecID, aFieldNo, aBlobNr, false, [&](TnxBaseTransaction* aTrans) {
    return stcBlobHandler->BlobWrite(aTrans, aRecID, aFieldNo, aBlobNr, aOffset, aLen, aBlob);
  });
}

TnxResult TnxServerTableCursor::sbcBlobTruncate(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                                std::uint32_t aBlobLength) {
  return stcBlobWriteFrame(true, aRecID, aFieldNo, aBlobNr, false, [&](TnxBaseTransaction* aTrans) {
    return stcBlobHandler->BlobTruncate(aTrans, aRecID, aFieldNo, aBlobNr, aBlobLength);
  });
}

TnxResult TnxServerTableCursor::sbcBlobReplace(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr& aBlobNr,
                                               std::uint32_t aLen, const void* aBlob) {
  TnxBlobNr number = aBlobNr;
  const TnxResult result =
      stcBlobWriteFrame(aBlobNr != 0, aRecID, aFieldNo, aBlobNr, false, [&](TnxBaseTransaction* aTrans) {
        return stcBlobHandler->BlobReplace(aTrans, aRecID, aFieldNo, number, aLen, aBlob);
      });
  if (result == 0) aBlobNr = number;
  return result;
}

TnxResult TnxServerTableCursor::sbcBlobsCancel(TnxRefNr aRefNr) {
  return stcBlobWriteFrame(false, nxNullRecID, -1, 0, false, [&](TnxBaseTransaction* aTrans) {
    return stcBlobHandler->BlobsCancel(aTrans, aRefNr);
  });
}

TnxResult TnxServerTableCursor::sbcBlobAddToCache(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                                  std::uint32_t aLen, const void* aBlob) {
  return stcBlobWriteFrame(false, aRecID, aFieldNo, aBlobNr, false, [&](TnxBaseTransaction* aTrans) {
    return stcBlobHandler->BlobAddToCache(aTrans, aRecID, aFieldNo, aBlobNr, aLen, aBlob);
  });
}

TnxResult TnxServerTableCursor::ascSetBlobCacheFlushed(const TnxRecID& aRecID, std::int32_t aFieldNo,
                                                       TnxBlobNr aBlobNr, TnxBlobNr* aNewBlobNr) {
  return stcBlobWriteFrame(true, aRecID, aFieldNo, aBlobNr, false, [&](TnxBaseTransaction* aTrans) {
    return stcBlobHandler->BlobCacheFlushed(aTrans, aRecID, aFieldNo, aBlobNr, aNewBlobNr);
  });
}

// ---- Read primitives ---------------------------------------------------------------------

TnxResult TnxServerTableCursor::sbcBlobRead(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                            std::uint32_t aOffset, std::uint32_t aLen, TStream& aStream,
                                            bool aReadOrg, PnxNewBlobNr aNewBlobNr) {
  if (aNewBlobNr) *aNewBlobNr = TnxNewBlobNr{aBlobNr, false};
  const bool readOld = aReadOrg || sbcReadOrgOverride > 0;
  return stcBlobReadFrame(true, aRecID, aFieldNo, aBlobNr, aNewBlobNr, [&](TnxBaseTransaction* aTrans) {
    return stcBlobHandler->BlobRead(aTrans, aRecID, aFieldNo, readOld, aBlobNr, aOffset, aLen, aStream, nullptr);
  });
}

TnxResult TnxServerTableCursor::sbcBlobReadSnapshoted(const TnxRecID& aRecID, std::int32_t aFieldNo,
                                                      TnxBlobNr aBlobNr, std::uint32_t aOffset, std::uint32_t aLen,
                                                      TStream& aStream, bool aReadOrg, std::uint32_t* aBlobLen,
                                                      PnxNewBlobNr aNewBlobNr) {
  if (aNewBlobNr) *aNewBlobNr = TnxNewBlobNr{aBlobNr, false};
  const bool readOld = aReadOrg || sbcReadOrgOverride > 0;
  return stcBlobReadFrame(true, aRecID, aFieldNo, aBlobNr, aNewBlobNr, [&](TnxBaseTransaction* aTrans) {
    return stcBlobHandler->BlobRead(aTrans, aRecID, aFieldNo, readOld, aBlobNr, aOffset, aLen, aStream, aBlobLen);
  });
}

TnxResult TnxServerTableCursor::sbcBlobGetLength(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                                 std::uint32_t& aLength, bool aReadOrg, PnxNewBlobNr aNewBlobNr) {
  if (aNewBlobNr) *aNewBlobNr = TnxNewBlobNr{aBlobNr, false};
  const bool readOld = aReadOrg || sbcReadOrgOverride > 0;
  return stcBlobReadFrame(true, aRecID, aFieldNo, aBlobNr, aNewBlobNr, [&](TnxBaseTransaction* aTrans) {
    return stcBlobHandler->BlobGetLength(aTrans, aRecID, aFieldNo, readOld, aBlobNr, aLength);
  });
}

TnxResult TnxServerTableCursor::sbcBlobModified(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                                bool& aModified) {
  return stcBlobReadFrame(true, aRecID, aFieldNo, aBlobNr, nullptr, [&](TnxBaseTransaction* aTrans) {
    return stcBlobHandler->BlobModified(aTrans, aRecID, aFieldNo, aBlobNr, aModified);
  });
}

bool TnxServerTableCursor::sbcBlobIsLink(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                         nxString& aSrcTableName, TnxBlobNr& aSrcTableBlobNr) {
  aSrcTableName.clear();
  try {
    return stcBlobHandler->BlobIsLink(GetActiveTrans(), aRecID, aFieldNo, aBlobNr, aSrcTableName, aSrcTableBlobNr);
  } catch (const std::exception&) {
    asoConvertException(std::current_exception());
    return false;
  }
}

TnxResult TnxServerTableCursor::ascGetBlobCacheInfos(const TnxRecID& aRecID, TnxBlobCacheInfos& aBCIs) {
  aBCIs.clear();
  TnxBlobNr unused = 0;
  return stcBlobReadFrame(false, aRecID, -1, unused, nullptr, [&](TnxBaseTransaction* aTrans) {
    return stcBlobHandler->GetBlobCacheInfos(aTrans, aRecID, aBCIs);
  });
}

// ---- BLOB lists --------------------------------------------------------------------------

TnxResult TnxServerTableCursor::GetBlobs(const void* aData, bool aMarkedOnly, std::uint16_t& aBlobCount,
                                         TnxBlobNr* aBlobNrs) {
  if (!acStates.contains(acsIsCache)) return TnxServerBaseCursor::GetBlobs(aData, aMarkedOnly, aBlobCount, aBlobNrs);
  return sbcGuarded(true, [&] { return stcGetBlobs(aData, aMarkedOnly, aBlobCount, aBlobNrs); });
}

TnxResult TnxServerTableCursor::stcGetBlobs(const void* aData, bool aMarkedOnly, std::uint16_t& aBlobCount,
                                            TnxBlobNr* aBlobNrs) {
  if ((aMarkedOnly && acMarkedBlobs.empty()) || !stcBlobHandler ||
      platform::objectAs<TnxNullBlobHandler>(stcBlobHandler)) {
    aBlobCount = 0;
    return 0;
  }
  TnxBlobNr unused = 0;
  return stcBlobReadFrame(false, nxNullRecID, -1, unused, nullptr, [&](TnxBaseTransaction* aTrans) {
    return stcBlobHandler->GetBlobs(aTrans, aData, aMarkedOnly ? &acMarkedBlobs : nullptr, aBlobCount, aBlobNrs);
  });
}

// ---- Batches -----------------------------------------------------------------------------

TnxResult TnxServerTableCursor::BlobBatchProcess(const TnxBlobBatchRequest& aRequest, PnxBlobBatchReply& aReply) {
  if (!nxBlobBatchRequestIsValid(aRequest)) return 0;
  if (sbcIsReadOnly) return sbcReadOnlyError();
  if (!aReply) return nxErrInvalidParam;
  return sbcGuarded(true, [&] { return stcBlobBatchProcess(aRequest, *aReply); });
}

TnxResult TnxServerTableCursor::stcBlobBatchProcess(const TnxBlobBatchRequest& aRequest, TnxBlobBatchReply& aReply) {
  aReply.bbrpCount = 0;
  return stcBlobWriteFrame(false, aRequest.bbrqRecID, -1, 0, false, [&](TnxBaseTransaction*) {
    bool read = false;
    TnxResult result = stcBlobVerifyRecID(aRequest.bbrqRecID, read);
    // At most 65535 entries are counted: the count is 16 bits wide.
    const std::size_t count = std::min<std::size_t>(aRequest.bbrqEntries.size(), 0xFFFF);
    for (std::size_t i = 0; result == 0 && i < count; ++i) {
      result = stcBlobBatchProcessEntry(aRequest.bbrqRecID, aRequest.bbrqEntries[i], aReply.bbrpEntries[i], read);
      if (result == 0) aReply.bbrpCount = static_cast<std::uint16_t>(i + 1);
    }
    return result;
  });
}

TnxResult TnxServerTableCursor::stcBlobBatchProcessEntry(const TnxRecID& aRecID,
                                                         const TnxBlobBatchRequestEntry& aEntry,
                                                         TnxBlobBatchReplyEntry& aReply, bool aRecordRead) {
  aReply.bbrpeBlobNr = aEntry.bbrqeBlobNr;
  const std::int32_t field = aEntry.bbrqeFieldNo;
  TnxResult result = stcBlobVerifyNrInner(aRecID, field, nullptr, aEntry.bbrqeBlobNr, aRecordRead);
  // A new BLOB has no number yet.
  if (result == nxErrInvalidBlobHandle && aEntry.bbrqeBlobNr == 0 &&
      (aEntry.bbrqeStateInfo == cbsiCreated || aEntry.bbrqeStateInfo == cbsiCreatedFile))
    result = 0;
  if (result != 0) return result;
  TnxBaseTransaction* trans = GetActiveTrans();
  // The reply is packed: its number is never bound to a reference.
  switch (aEntry.bbrqeStateInfo) {
    case cbsiCreatedFile: {
      TnxBlobNr number = 0;
      result = stcBlobHandler->BlobCreateFile(trans, aRecID, field, aEntry.bbrqeFileName, number);
      aReply.bbrpeBlobNr = number;
      return result;
    }
    case cbsiDeleted:
      return stcBlobHandler->BlobDelete(trans, aRecID, field, aReply.bbrpeBlobNr);
    case cbsiCreated:
    case cbsiModified: {
      TnxBlobNr number = aReply.bbrpeBlobNr;
      const auto length = static_cast<std::uint32_t>(aEntry.bbrqeData.size());
      result = stcBlobHandler->BlobReplace(trans, aRecID, field, number, length,
                                           length == 0 ? nullptr : aEntry.bbrqeData.data());
      aReply.bbrpeBlobNr = number;
      return result;
    }
  }
  return 0;
}

// ---- Copies ------------------------------------------------------------------------------

TnxResult TnxServerTableCursor::stcBlobCopyLoop(TnxServerTableCursor* aSource, TnxBlobNr aBlobNr,
                                                TnxBlobNr aDestBlobNr, std::uint32_t aSourceLength,
                                                std::uint32_t aLimit, std::uint32_t& aWritten) {
  aWritten = 0;
  TnxBaseBlobEngine* source = aSource->Table()->BlobEngine();
  TnxBaseBlobEngine* dest = stcTable->BlobEngine();
  TnxBaseTransaction* sourceTrans = aSource->GetActiveTrans();
  TnxBaseTransaction* destTrans = GetActiveTrans();
  const TnxBlobLinkRead links = nxBlobLinkReadOf(aSource->ServerDatabase()->BlobLinkHandler());
  const std::uint32_t chunk = std::min({aLimit, aSourceLength, nxBlobCopyPieceSize});
  TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>(static_cast<std::int32_t>(chunk)));
  std::uint32_t remaining = aLimit;
  std::uint32_t offset = 0;
  // Ends after a read that delivered nothing, or when the limit is reached.
  while (remaining > 0) {
    stream->SetPosition(0);
    const std::uint32_t want = std::min(remaining, chunk);
    if (auto hook = nxsrBlobCopyReadTestHook.load()) hook(offset, want);
    const auto result = static_cast<TnxResult>(source->Read(sourceTrans, aBlobNr, offset, want, links, *stream));
    if (result != 0) return result;
    const auto got = static_cast<std::uint32_t>(stream->Position());
    stream->SetSize(got);
    if (got == 0) break;
    dest->Write(destTrans, aDestBlobNr, offset, got, stream->Memory());
    offset += got;
    remaining -= std::min(remaining, got);
    aWritten = offset;
  }
  return 0;
}

TnxResult TnxServerTableCursor::sbcBlobCopyPrim(TnxServerBaseCursor* aSrcCursor, std::int32_t, TnxBlobNr aBlobNr,
                                                std::int32_t, TnxBlobNr& aDestBlobNr, std::int64_t aMaxLength) {
  auto* source = platform::objectAs<TnxServerTableCursor>(aSrcCursor);
  if (!source) throw platform::ConvertError("Invalid class typecast");
  const std::uint32_t limit = copyLimitOf(aMaxLength);
  TnxBaseBlobEngine* sourceEngine = source->Table()->BlobEngine();
  TnxBaseBlobEngine* dest = stcTable->BlobEngine();
  nxString fileName;
  if (sourceEngine->IsFileBlob(source->GetActiveTrans(), aBlobNr, fileName)) {
    if (limit == 0)
      dest->AddBlob(GetActiveTrans(), aDestBlobNr);
    else if (limit == kAllBytes)
      dest->AddFileBlob(GetActiveTrans(), fileName, aDestBlobNr);
    else
      return nxErrReadOnlyField;
    return 0;
  }
  std::uint32_t length = 0;
  const auto result = static_cast<TnxResult>(sourceEngine->GetBlobLength(
      source->GetActiveTrans(), aBlobNr, nxBlobLinkLengthOf(source->ServerDatabase()->BlobLinkHandler()), length));
  if (result != 0) return result;
  dest->AddBlob(GetActiveTrans(), aDestBlobNr);
  std::uint32_t written = 0;
  return stcBlobCopyLoop(source, aBlobNr, aDestBlobNr, length, limit, written);
}

TnxResult TnxServerTableCursor::sbcBlobCopyContentPrim(TnxServerBaseCursor* aSrcCursor, std::int32_t,
                                                       TnxBlobNr aBlobNr, std::int32_t, TnxBlobNr aDestBlobNr,
                                                       std::int64_t aMaxLength) {
  auto* source = platform::objectAs<TnxServerTableCursor>(aSrcCursor);
  if (!source) throw platform::ConvertError("Invalid class typecast");
  std::uint32_t length = 0;
  TnxResult result = static_cast<TnxResult>(source->Table()->BlobEngine()->GetBlobLength(
      source->GetActiveTrans(), aBlobNr, nxBlobLinkLengthOf(source->ServerDatabase()->BlobLinkHandler()), length));
  if (result != 0) return result;
  std::uint32_t written = 0;
  result = stcBlobCopyLoop(source, aBlobNr, aDestBlobNr, length, copyLimitOf(aMaxLength), written);
  if (result == 0) stcTable->BlobEngine()->Truncate(GetActiveTrans(), aDestBlobNr, written);
  return result;
}
