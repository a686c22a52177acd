// The server cursor's filter chains, the filter time-out, the base batch
// read and the BLOB blocks of batch streams.
#include <cstring>
#include <limits>

#include "nxllBde.h"
#include "nxllHandleTable.h"
#include "nxllOwners.h"
#include "nxsdFilterEngineBase.h"
#include "nxsdFilterEngineHub.h"
#include "nxsdServerBaseCursor.h"
#include "plOs.h"

namespace {

// Kind tag of filter IDs in the handle table.
const char kSbcFilterIDKind = 0;

bool sbcfCheckTimeoutThunk(void* aCursor, TnxResult& aResult) {
  return static_cast<TnxServerBaseCursor*>(aCursor)->sbcFilterCheckTimeout(aResult);
}

constexpr std::int32_t kBatchNoLimit = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t kSbcUnlimitedBatchCapacity = 524288;
constexpr std::uint32_t kSbcBlobErrorBlock = 0x80000004u;

}  // namespace

// ---- IDs and chains ----------------------------------------------------------------------

bool TnxServerBaseCursor::sbcFilterFromID(TnxFilterID aID, bool aKey, TnxBaseFilterEngine*& aEngine) const {
  aEngine = nullptr;
  if (aID == 0) return true;
  for (const TnxFilterIDEntry& entry : aKey ? sbcKeyFilterIDs : sbcFilterIDs)
    if (entry.id == aID) {
      aEngine = entry.engine;
      return true;
    }
  return false;
}

void TnxServerBaseCursor::sbcFilterIDsDrop(bool aKey, TnxBaseFilterEngine* aEngine) noexcept {
  std::vector<TnxFilterIDEntry>& ids = aKey ? sbcKeyFilterIDs : sbcFilterIDs;
  for (auto it = ids.begin(); it != ids.end();) {
    if (!aEngine || it->engine == aEngine) {
      nxHandleTable().Remove(it->id, &kSbcFilterIDKind);
      it = ids.erase(it);
    } else {
      ++it;
    }
  }
}

void TnxServerBaseCursor::sbcFilterChainFree(bool aKey) noexcept {
  sbcFilterIDsDrop(aKey, nullptr);
  nxFreeAndNil(aKey ? sbcKeyFilter : sbcFilter);
}

namespace {

// Appends aEngine to aChain (an engine, a hub or nil); ownership passes only
// when this returns.
void sbcfAppendToChain(TnxBaseFilterEngine*& aChain, TnxBaseFilterEngine* aEngine) {
  if (!aChain) {
    aChain = aEngine;
  } else if (auto* hub = platform::objectAs<TnxFilterEngineHub>(aChain)) {
    hub->AddFilter(aEngine);
  } else {
    aChain = TnxFilterEngineHub::Create(aChain, aEngine);
  }
}

}  // namespace

TnxResult TnxServerBaseCursor::sbcFilterAddCustom(TnxBaseFilterEngine* aFilter, TnxFilterID& aFilterID,
                                                  bool aActivated) {
  sbcFilterIDs.reserve(sbcFilterIDs.size() + 1);
  const TnxFilterID id = nxHandleTable().Add(aFilter, &kSbcFilterIDKind);
  try {
    sbcfAppendToChain(sbcFilter, aFilter);
  } catch (...) {
    nxHandleTable().Remove(id, &kSbcFilterIDKind);
    throw;
  }
  sbcFilterIDs.push_back({id, aFilter});
  aFilterID = id;
  if (aActivated) aFilter->ActivateFilter(aFilter);
  return 0;
}

TnxResult TnxServerBaseCursor::sbcKeyFilterAddCustomEngine(TnxBaseFilterEngine* aKeyFilter,
                                                           TnxKeyFilterID& aKeyFilterID) {
  sbcKeyFilterIDs.reserve(sbcKeyFilterIDs.size() + 1);
  const TnxFilterID id = nxHandleTable().Add(aKeyFilter, &kSbcFilterIDKind);
  try {
    sbcfAppendToChain(sbcKeyFilter, aKeyFilter);
  } catch (...) {
    nxHandleTable().Remove(id, &kSbcFilterIDKind);
    throw;
  }
  sbcKeyFilterIDs.push_back({id, aKeyFilter});
  aKeyFilterID = id;
  return 0;
}

TnxResult TnxServerBaseCursor::sbcKeyFilterAddCustom(TnxBaseFilterDescriptor* aKeyFilter,
                                                     TnxKeyFilterID& aKeyFilterID) {
  TnxOwned<TnxBaseFilterEngine> engine(
      TnxBaseFilterEngine::CreateFor(aKeyFilter, TnxIntfPtr<InxFieldsSource>(sbcGetKeyFieldsSource())));
  const TnxResult result = sbcKeyFilterAddCustomEngine(engine.get(), aKeyFilterID);
  engine.release();
  return result;
}

namespace {

TnxIntfPtr<InxFieldsSource> sbcfRecordFieldsSource(TnxServerBaseCursor* aCursor) {
  return TnxIntfPtr<InxFieldsSource>(aCursor->FieldsDescriptor());
}

// Activate, deactivate or remove by ID on one chain.
enum class TnxFilterOp { Activate, Deactivate, Remove };

}  // namespace

// ---- Public filter operations -------------------------------------------------------------

TnxResult TnxServerBaseCursor::FilterAddCustom(TnxBaseFilterDescriptor* aFilter, TnxFilterID& aFilterID,
                                               bool aActivated) {
  return sbcGuarded(true, [&] {
    TnxOwned<TnxBaseFilterEngine> engine(TnxBaseFilterEngine::CreateFor(aFilter, sbcfRecordFieldsSource(this)));
    const TnxResult result = sbcFilterAddCustom(engine.get(), aFilterID, aActivated);
    engine.release();
    return result;
  });
}

TnxResult TnxServerBaseCursor::FilterReplaceCustom(TnxBaseFilterDescriptor* aFilter, TnxFilterID& aFilterID,
                                                   bool aActivated, bool aIgnoreDropError) {
  return sbcGuarded(true, [&] {
    TnxOwned<TnxBaseFilterEngine> engine(TnxBaseFilterEngine::CreateFor(aFilter, sbcfRecordFieldsSource(this)));
    TnxResult result = 0;
    if (aFilterID != 0) {
      TnxBaseFilterEngine* old = nullptr;
      if (!sbcFilter || !sbcFilterFromID(aFilterID, false, old)) {
        result = nxErrInvalidFilterHandle;
      } else {
        result = sbcFilter->RemoveFilter(old, sbcFilter);
        if (result == 0) sbcFilterIDsDrop(false, old);
      }
    } else {
      sbcFilterChainFree(false);
    }
    if (aIgnoreDropError) result = 0;
    if (result != 0) return result;
    aFilterID = 0;
    result = sbcFilterAddCustom(engine.get(), aFilterID, aActivated);
    engine.release();
    return result;
  });
}

TnxResult TnxServerBaseCursor::FilterSetTimeout(std::uint32_t aTimeout) {
  TnxGuardedCall call(*this, TnxGuardedCall::LockOnly{});
  sbcFilterTimeout = aTimeout;
  return call.Finish(0);
}

namespace {

template <class Cursor>
TnxResult sbcfFilterByID(Cursor* aCursor, TnxBaseFilterEngine*& aChain, bool aKey, TnxFilterID aID, TnxFilterOp aOp) {
  if (aOp == TnxFilterOp::Remove && aID == 0) {
    aCursor->FilterChainFree(aKey);
    return 0;
  }
  TnxBaseFilterEngine* engine = nullptr;
  if (!aChain || !aCursor->FilterFromID(aID, aKey, engine)) return nxErrInvalidFilterHandle;
  switch (aOp) {
    case TnxFilterOp::Activate:
      return aChain->ActivateFilter(engine);
    case TnxFilterOp::Deactivate:
      return aChain->DeactivateFilter(engine);
    case TnxFilterOp::Remove:
      break;
  }
  const TnxResult result = aChain->RemoveFilter(engine, aChain);
  if (result == 0) aCursor->FilterIDsDrop(aKey, engine);
  return result;
}

}  // namespace

// Adapter giving the helper above the cursor's protected members.
struct TnxServerBaseCursorFilterAccess {
  TnxServerBaseCursor* c;
  void FilterChainFree(bool aKey) { c->sbcFilterChainFree(aKey); }
  bool FilterFromID(TnxFilterID aID, bool aKey, TnxBaseFilterEngine*& aEngine) {
    return c->sbcFilterFromID(aID, aKey, aEngine);
  }
  void FilterIDsDrop(bool aKey, TnxBaseFilterEngine* aEngine) { c->sbcFilterIDsDrop(aKey, aEngine); }
};

TnxResult TnxServerBaseCursor::FilterActivate(TnxFilterID aFilterID) {
  return sbcGuarded(true, [&] {
    TnxServerBaseCursorFilterAccess access{this};
    return sbcfFilterByID(&access, sbcFilter, false, aFilterID, TnxFilterOp::Activate);
  });
}

TnxResult TnxServerBaseCursor::FilterDeactivate(TnxFilterID aFilterID) {
  return sbcGuarded(true, [&] {
    TnxServerBaseCursorFilterAccess access{this};
    return sbcfFilterByID(&access, sbcFilter, false, aFilterID, TnxFilterOp::Deactivate);
  });
}

TnxResult TnxServerBaseCursor::FilterRemove(TnxFilterID aFilterID) {
  return sbcGuarded(true, [&] {
    TnxServerBaseCursorFilterAccess access{this};
    return sbcfFilterByID(&access, sbcFilter, false, aFilterID, TnxFilterOp::Remove);
  });
}

TnxResult TnxServerBaseCursor::KeyFilterAddCustom(TnxBaseFilterDescriptor* aKeyFilter, TnxKeyFilterID& aKeyFilterID) {
  return sbcGuarded(true, [&] { return sbcKeyFilterAddCustom(aKeyFilter, aKeyFilterID); });
}

TnxResult TnxServerBaseCursor::KeyFilterActivate(TnxKeyFilterID aKeyFilterID) {
  return sbcGuarded(true, [&] {
    TnxServerBaseCursorFilterAccess access{this};
    return sbcfFilterByID(&access, sbcKeyFilter, true, aKeyFilterID, TnxFilterOp::Activate);
  });
}

TnxResult TnxServerBaseCursor::KeyFilterDeactivate(TnxKeyFilterID aKeyFilterID) {
  return sbcGuarded(true, [&] {
    TnxServerBaseCursorFilterAccess access{this};
    return sbcfFilterByID(&access, sbcKeyFilter, true, aKeyFilterID, TnxFilterOp::Deactivate);
  });
}

TnxResult TnxServerBaseCursor::KeyFilterRemove(TnxKeyFilterID aKeyFilterID) {
  return sbcGuarded(true, [&] {
    TnxServerBaseCursorFilterAccess access{this};
    return sbcfFilterByID(&access, sbcKeyFilter, true, aKeyFilterID, TnxFilterOp::Remove);
  });
}

TnxResult TnxServerBaseCursor::SetToFilter(TnxBaseFilterDescriptor* aFilter, TnxBaseFilterDescriptor* aKeyFilter,
                                           bool aForward) {
  return sbcGuarded(false, [&]() -> TnxResult {
    TnxOwned<TnxBaseFilterEngine> filter;
    TnxOwned<TnxBaseFilterEngine> keyFilter;
    // A descriptor no engine can take is a failed call, not an escape.
    try {
      if (aFilter) {
        filter.reset(TnxBaseFilterEngine::CreateFor(aFilter, sbcfRecordFieldsSource(this)));
        filter->ActivateFilter(nullptr);
      }
      if (aKeyFilter) {
        keyFilter.reset(
            TnxBaseFilterEngine::CreateFor(aKeyFilter, TnxIntfPtr<InxFieldsSource>(sbcGetKeyFieldsSource())));
        keyFilter->ActivateFilter(nullptr);
      }
    } catch (const std::exception&) {
      return asoConvertException(std::current_exception());
    }
    return sbcSetToFilter(filter.get(), keyFilter.get(), aForward);
  });
}

// ---- Filter time-out ----------------------------------------------------------------------

std::uint64_t TnxServerBaseCursor::sbcTickCount() { return platform::coarseTickCount64(); }

std::int64_t TnxServerBaseCursor::sbcThreadDeadline() { return std::numeric_limits<std::int64_t>::max(); }

void TnxServerBaseCursor::sbcFilterBeginTimeout(TnxResult* aResult) {
  if (sbcFilterTimeout > 0) {
    const std::int64_t until = static_cast<std::int64_t>(sbcTickCount()) + sbcFilterTimeout;
    const std::int64_t deadline = sbcThreadDeadline();
    sbcFilterUntil = static_cast<std::uint64_t>(deadline < until ? deadline : until);
  } else {
    sbcFilterUntil = 0;
  }
  if (sbcKeyFilter) {
    if (sbcFilterUntil > 0 && aResult) {
      sbcKeyFilter->kfCheckTimeOut = {&sbcfCheckTimeoutThunk, this};
      sbcKeyFilter->kfResult = aResult;
    } else {
      sbcKeyFilter->kfCheckTimeOut = {};
      sbcKeyFilter->kfResult = nullptr;
    }
  }
}

bool TnxServerBaseCursor::sbcFilterCheckTimeout(TnxResult& aResult) {
  const auto now = static_cast<std::int64_t>(sbcTickCount());
  const std::int64_t deadline = sbcThreadDeadline();
  if (sbcFilterTimeoutLock <= 0 && sbcFilterUntil != 0 && static_cast<std::int64_t>(sbcFilterUntil) < now) {
    aResult = nxErrFilterTimeout;
    return true;
  }
  if (deadline < now) {
    aResult = nxErrTimeout;
    return true;
  }
  return false;
}

void TnxServerBaseCursor::sbcFilterEndTimeout() {
  sbcFilterUntil = 0;
  if (sbcKeyFilter) {
    sbcKeyFilter->kfCheckTimeOut = {};
    sbcKeyFilter->kfResult = nullptr;
  }
}

// ---- Batch streams ------------------------------------------------------------------------

TnxResult TnxServerBaseCursor::sbcCopyBlobsToBatchStream(std::int32_t& aSize, std::int64_t aOffset,
                                                         TnxMemoryStream* aStream, bool aAddBlobNr,
                                                         bool aOnlyMarked) {
  if (aOnlyMarked && acMarkedBlobs.empty()) return 0;
  if (!acSFI) return 0;
  TnxFieldsDescriptor* fields = FieldsDescriptor();
  const bool skipData = acOptions.contains(acoSkipReadingBlobDataForBatch);
  for (const std::int32_t field : acSFI->sfiBlobFields) {
    const TnxFieldDescriptor* descriptor = fields->Fields(field);
    if (aOnlyMarked) {
      const std::int32_t blobIndex = descriptor->fdBlobIndex;
      const std::size_t word = blobIndex < 0 ? 0 : static_cast<std::size_t>(blobIndex) / 32;
      if (blobIndex < 0 || word >= acMarkedBlobs.size() || ((acMarkedBlobs[word] >> (blobIndex % 32)) & 1u) == 0)
        continue;
    }
    // The record moves when the stream grows: its address is taken anew.
    auto record = [&] { return static_cast<std::uint8_t*>(aStream->Memory()) + aOffset; };
    if (fields->IsRecordFieldNull(field, record())) continue;
    TnxBlobNr blobNr = static_cast<TnxBlobNr>(nxBatchGetI64(record() + descriptor->fdOffset));
    if (blobNr == 0) {
      fields->SetRecordFieldNull(field, record(), true);
      continue;
    }
    const TnxRecID recID = acGetRecID(record());
    std::uint32_t length = 0;
    TnxResult result = 0;
    try {
      result = sbcBlobGetLength(recID, field, blobNr, length, false, nullptr);
    } catch (const std::exception&) {
      result = asoConvertException(std::current_exception());
    }
    if (result == 0 && length == 0) {
      fields->SetRecordFieldNull(field, record(), true);
      continue;
    }
    const std::int64_t blockStart = aStream->Size();
    std::uint32_t word = result != 0 ? kSbcBlobErrorBlock : length;
    if (result == 0) {
      aStream->SetSize(blockStart + 4);
      nxBatchPutU32(static_cast<std::uint8_t*>(aStream->Memory()) + blockStart, word);
      aStream->SetPosition(blockStart + 4);
      if (skipData) {
        aStream->SetSize(blockStart + 4 + length);
      } else {
        try {
          result = sbcBlobRead(recID, field, blobNr, 0, length, *aStream, false, nullptr);
        } catch (const std::exception&) {
          result = asoConvertException(std::current_exception());
        }
      }
      if (result == 0 && aStream->Size() - blockStart - 4 != static_cast<std::int64_t>(length & 0x7FFFFFFFu))
        result = nxErrReadFailure;
    }
    if (result != 0) {
      // A BLOB that cannot be read travels as an error block, never as NULL.
      word = kSbcBlobErrorBlock;
      aStream->SetSize(blockStart + 8);
      std::uint8_t* block = static_cast<std::uint8_t*>(aStream->Memory()) + blockStart;
      nxBatchPutU32(block, word);
      nxBatchPutU32(block + 4, static_cast<std::uint32_t>(result));
      length = 4;
    } else if (aAddBlobNr) {
      const std::int64_t at = aStream->Size();
      aStream->SetSize(at + 8);
      nxBatchPutI64(static_cast<std::uint8_t*>(aStream->Memory()) + at, static_cast<std::int64_t>(blobNr));
      aSize += 8;
    }
    nxBatchPutI64(record() + descriptor->fdOffset, blockStart);
    aSize += static_cast<std::int32_t>(length) + 4;
    aStream->SetPosition(aStream->Size());
  }
  return 0;
}

TnxResult TnxServerBaseCursor::sbcRecordGetBatch(std::int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                                                 TnxBatchStreamAccess*& aAccess, std::int32_t aMaxRecords,
                                                 bool aForward) {
  TnxResult result = 0;
  try {
    const TnxResult locked = sbcBeginContentLock(false, false, false);
    if (locked != 0) return locked;
    struct End {
      TnxServerBaseCursor* cursor;
      ~End() { cursor->sbcEndContentLock(); }
    } end{this};
    if (!acSFI || acSFI->sfiBlobFields.empty()) aOptions.exclude(gboBlobs);
    if (aAccess)
      aAccess->Clear(false);
    else
      aAccess = CreateBatchStreamAccess(nullptr, aOptions);
    TnxMemoryStream* stream = aAccess->Stream();
    if (aCutoffSize > 0) stream->SetCapacity(aCutoffSize == kBatchNoLimit ? kSbcUnlimitedBatchCapacity : aCutoffSize);
    stream->SetSize(nxBatchStreamHeaderSize);
    std::memset(stream->Memory(), 0, nxBatchStreamHeaderSize);
    const std::int32_t recordLength = FieldsDescriptor()->RecordLength();
    std::int32_t entrySize = recordLength;
    std::int32_t bookmarkSize = 0;
    TnxResult running = 0;
    if (aOptions.contains(gboBookmarks)) {
      running = sbcGetBookmarkSize(bookmarkSize);
      entrySize += bookmarkSize;
    }
    if (running == 0 && aOptions.contains(gboSetToBeginOrEnd)) {
      if (aForward)
        sbcSetToBegin();
      else
        sbcSetToEnd();
    }
    const std::int32_t maxRecords = aMaxRecords <= 0 ? kBatchNoLimit : aMaxRecords;
    std::int32_t count = 0;
    while (running == 0 && stream->Size() < static_cast<std::int64_t>(aCutoffSize) && count < maxRecords) {
      const std::int64_t sizeAt = stream->Size();
      const std::int64_t offset = sizeAt + 4;
      stream->SetSize(offset + entrySize);
      nxBatchPutU32(static_cast<std::uint8_t*>(stream->Memory()) + sizeAt, static_cast<std::uint32_t>(entrySize));
      std::uint8_t* data = static_cast<std::uint8_t*>(stream->Memory()) + offset;
      running = aForward ? sbcRecordGetNext(nxltNoLock, data) : sbcRecordGetPrior(nxltNoLock, data);
      if (running == 0 && bookmarkSize != 0)
        running = IsCache() ? sbcGetBookmarkCache(data + recordLength, bookmarkSize)
                            : sbcGetBookmark(data + recordLength, bookmarkSize);
      std::int32_t size = entrySize;
      if (running == 0 && aOptions.contains(gboBlobs)) {
        running = sbcCopyBlobsToBatchStream(size, offset, stream, aOptions.contains(gboBlobNrs),
                                            aOptions.contains(gboBlobsOnlyMarked));
        if (size != entrySize)
          nxBatchPutU32(static_cast<std::uint8_t*>(stream->Memory()) + sizeAt, static_cast<std::uint32_t>(size));
      }
      if (running != 0) {
        stream->SetSize(sizeAt);
      } else {
        stream->SetPosition(stream->Size());
        ++count;
      }
    }
    if (running == nxErrFilterTimeout && count == 0) result = nxErrFilterTimeout;
    std::uint8_t* header = static_cast<std::uint8_t*>(stream->Memory());
    nxBatchPutU32(header, static_cast<std::uint32_t>(running));
    nxBatchPutU32(header + 4, static_cast<std::uint32_t>(count));
  } catch (const std::exception&) {
    result = asoConvertException(std::current_exception());
  }
  if (aAccess) aAccess->Reset(false);
  return result;
}
