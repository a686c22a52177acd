// The table cursor's bulk readers: the iteration under one content lock, the
// batch read and the batch key search into batch streams, and the record
// counts.
#include <cstring>
#include <limits>

#include "nxsrServerEngineCursor.h"
#include "nxsrServerEngineInt.h"
#include "nxsrServerTasks.h"

namespace {

constexpr std::int32_t kStcBatchNoLimit = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t kStcBatchUnlimitedCapacity = 524288;
constexpr std::uint32_t kStcBatchErrorEntry = 0x80000004u;

TnxBaseFilterEngine* stcActiveOrNil(TnxBaseFilterEngine* aFilter) {
  return aFilter && aFilter->GetActive() ? aFilter : nullptr;
}

std::uint8_t* stcStreamAt(TnxMemoryStream* aStream, std::int64_t aOffset) {
  return static_cast<std::uint8_t*>(aStream->Memory()) + aOffset;
}

// An empty stream of the capacity a batch asks for; memory it already holds
// is kept, so a reader that reuses its access does not fault pages in again.
void stcBatchStreamStart(TnxMemoryStream* aStream, std::int32_t aCutoffSize) {
  aStream->SetSize(0);
  const std::int64_t capacity = aCutoffSize == kStcBatchNoLimit ? kStcBatchUnlimitedCapacity : aCutoffSize;
  if (capacity > 0) aStream->SetCapacity(capacity);
  aStream->SetSize(nxBatchStreamHeaderSize);
  std::memset(aStream->Memory(), 0, nxBatchStreamHeaderSize);
}

void stcBatchStreamHeader(TnxMemoryStream* aStream, TnxResult aCode, std::int32_t aCount) {
  nxBatchPutU32(stcStreamAt(aStream, 0), static_cast<std::uint32_t>(aCode));
  nxBatchPutU32(stcStreamAt(aStream, 4), static_cast<std::uint32_t>(aCount));
}

// The state of one batch read, handed to its record iterator.
struct TnxStcBatchState {
  std::int32_t cutoffSize;
  TnxRecordGetBatchExOptions options;
  TnxMemoryStream* stream;
  std::int32_t maxRecords;
  bool backward;
  PnxRecordBuffer recordSlot;  // inside the stream: taken anew after every growth
  bool entryPrepared;
  TnxResult runningCode;
  std::int32_t entrySize;
  std::int32_t baseEntrySize;
  std::int64_t entryOffset;
  std::int32_t recordLength;
  std::int32_t bookmarkSize;
  std::int32_t count;
  TnxBaseFilterEngine* filter;  // applied by the iterator, under the filter time-out
};

void stcBatchPrepareEntry(TnxStcBatchState& aState) {
  const std::int64_t at = aState.stream->Size();
  aState.stream->SetSize(at + 4 + aState.baseEntrySize);
  nxBatchPutU32(stcStreamAt(aState.stream, at), static_cast<std::uint32_t>(aState.baseEntrySize));
  aState.entryOffset = at + 4;
  aState.entrySize = aState.baseEntrySize;
  aState.recordSlot = stcStreamAt(aState.stream, aState.entryOffset);
  aState.entryPrepared = true;
  aState.runningCode = aState.backward ? nxErrBOF : nxErrEOF;
}

// The shared content lock of one call and the filter time-out, ended on
// every way out.
class TnxStcContentScope {
 public:
  explicit TnxStcContentScope(TnxServerTableCursor* aCursor) : cursor_(aCursor) {}
  ~TnxStcContentScope() {
    if (timeout_) cursor_->sbcFilterEndTimeout();
    if (held_) cursor_->sbcEndContentLock();
  }
  TnxStcContentScope(const TnxStcContentScope&) = delete;
  TnxStcContentScope& operator=(const TnxStcContentScope&) = delete;
  TnxResult Begin() {
    const TnxResult result = cursor_->sbcBeginContentLock(false, false, false);
    held_ = result == 0;
    return result;
  }
  void BeginTimeout(TnxResult* aResult) {
    cursor_->sbcFilterBeginTimeout(aResult);
    timeout_ = true;
  }

 private:
  TnxServerTableCursor* cursor_;
  bool held_ = false;
  bool timeout_ = false;
};

}  // namespace

// ---- Iteration -----------------------------------------------------------------------------

TnxResult TnxServerTableCursor::sbcIterate(PPnxRecordBuffer aData, const TnxKeyIterator& aKeyIterator,
                                           const TnxRecordIterator& aRecIterator, bool aBackward, void* aCookie,
                                           bool aKeepPosition) {
  return stcIterate(aData, aKeyIterator, aRecIterator, aBackward, aCookie, aKeepPosition, stcActiveOrNil(sbcFilter));
}

TnxResult TnxServerTableCursor::stcIterate(PPnxRecordBuffer aData, const TnxKeyIterator& aKeyIterator,
                                           const TnxRecordIterator& aRecIterator, bool aBackward, void* aCookie,
                                           bool aKeepPosition, TnxBaseFilterEngine* aFilter) {
  if (sbcIsWriteOnly) return 0;
  const TnxResult locked = sbcBeginContentLock(false, false, false);
  if (locked != 0) return locked;
  ++stcInUseCount;
  struct Leave {
    TnxServerTableCursor* cursor;
    ~Leave() {
      --cursor->stcInUseCount;
      cursor->sbcEndContentLock();
    }
  } leave{this};
  TnxBaseTransaction* trans = GetActiveTrans();
  PnxRecordBuffer ownSlot = sbcRecordBuffer;
  PPnxRecordBuffer slot = aData ? aData : &ownSlot;
  if (stcIndexEngine) {
    // Records are read here, into the slot the caller points at for each
    // record, so an iterator may redirect the next one.
    auto* records = stcTable->RecordEngine();
    const TnxKeyIterator keys = [&](void* aKeyCookie, TnxRefNr aRefNr, PnxKeyBuffer aKey) -> TnxKeyIteratorResult {
      if (aKeyIterator) {
        const TnxKeyIteratorResult asked = aKeyIterator(aKeyCookie, aRefNr, aKey);
        if (asked != kirContinue) return asked;
      }
      PnxRecordBuffer record = *slot ? *slot : sbcRecordBuffer;
      records->ReadRecord(trans, aRefNr, record);
      if (aFilter && !aFilter->MatchesBuffer(record)) return kirSkipKey;
      if (aRecIterator && aRecIterator(aKeyCookie, aRefNr, record) == rirStop) return kirStop;
      return kirSkipKey;
    };
    const TnxRangeInfo start = stcRangeInfo(stcRangeStart);
    const TnxRangeInfo finish = stcRangeInfo(stcRangeEnd);
    TnxBaseFilterEngine* keyFilter = stcActiveOrNil(sbcKeyFilter);
    if (aBackward)
      stcIndexEngine->IterateBackward(trans, stcIndexPath, nullptr, keys, nullptr, aCookie, start, finish, nullptr,
                                      keyFilter, aKeepPosition);
    else
      stcIndexEngine->Iterate(trans, stcIndexPath, nullptr, keys, nullptr, aCookie, start, finish, nullptr, keyFilter,
                              aKeepPosition);
    return 0;
  }
  // Without an index the path's position decides where a kept walk starts.
  // The record engines go on after the reference they are given, so a walk
  // that must begin with the record at a crack starts from its neighbour.
  // On a record the walk goes on after it in both directions, as an index
  // walk does, so that a second batch does not repeat the last record.
  bool keep = aKeepPosition;
  bool includeCurrent = false;
  if (keep) {
    switch (stcIndexPath->Position) {
      case ippBof:
        if (aBackward) return 0;
        keep = false;
        break;
      case ippEof:
        if (!aBackward) return 0;
        keep = false;
        break;
      case ippOnCrackBefore:
        includeCurrent = !aBackward;
        break;
      case ippOnCrackAfter:
        includeCurrent = aBackward;
        break;
      case ippOnKey:
        break;
      default:
        keep = false;
        break;
    }
    if (keep && stcIndexPath->RefNr == 0) keep = false;
  }
  auto* records = stcTable->RecordEngine();
  if (keep && includeCurrent) {
    TnxRefNr neighbour = 0;
    if (aBackward)
      records->ReadNextRecord(trans, stcIndexPath->RefNr, neighbour, nullptr);
    else
      records->ReadPrevRecord(trans, stcIndexPath->RefNr, neighbour, nullptr);
    if (neighbour != 0)
      stcIndexPath->RefNr = neighbour;
    else
      keep = false;
  }
  if (!keep) stcIndexPath->SetToRecord(nullptr, 0);
  const TnxRecordIterator onRecord = [&](void* aRecCookie, TnxRefNr aRefNr,
                                         PnxRecordBuffer aRecord) -> TnxRecordIteratorResult {
    // The path is on this record while the iterator runs (bookmarks).
    stcIndexPath->Position = ippOnKey;
    return aRecIterator ? aRecIterator(aRecCookie, aRefNr, aRecord) : rirContinue;
  };
  if (aBackward)
    records->IterateBackward(trans, stcIndexPath->RefNr, slot, onRecord, aCookie, aFilter, keep, false);
  else
    records->Iterate(trans, stcIndexPath->RefNr, slot, onRecord, aCookie, aFilter, keep, false);
  if (stcIndexPath->RefNr != 0)
    stcIndexPath->Position = ippOnKey;
  else if (aBackward)
    stcIndexPath->SetToBof();
  else
    stcIndexPath->SetToEof();
  return 0;
}

// ---- Batch read ---------------------------------------------------------------------------

TnxRecordIteratorResult TnxServerTableCursor::stcRecordGetBatchIterator(void* aCookie, TnxRefNr,
                                                                        PnxRecordBuffer aRecord) {
  TnxStcBatchState& state = *static_cast<TnxStcBatchState*>(aCookie);
  if (state.filter && !state.filter->MatchesBuffer(aRecord)) {
    // The next record comes into the same prepared entry.
    TnxResult code = 0;
    if (sbcFilterCheckTimeout(code)) {
      state.runningCode = code;
      return rirStop;
    }
    return rirContinue;
  }
  state.runningCode = 0;
  if (state.bookmarkSize != 0) {
    PnxBookmarkBuffer bookmark = stcStreamAt(state.stream, state.entryOffset + state.recordLength);
    state.runningCode = IsCache() ? sbcGetBookmarkCache(bookmark, state.bookmarkSize)
                                  : sbcGetBookmark(bookmark, state.bookmarkSize);
  }
  if (state.runningCode == 0 && state.options.contains(gboBlobs)) {
    std::int32_t size = state.entrySize;
    state.runningCode = sbcCopyBlobsToBatchStream(size, state.entryOffset, state.stream,
                                                  state.options.contains(gboBlobNrs),
                                                  state.options.contains(gboBlobsOnlyMarked));
    if (size != state.entrySize) {
      state.entrySize = size;
      nxBatchPutU32(stcStreamAt(state.stream, state.entryOffset - 4), static_cast<std::uint32_t>(size));
    }
  }
  state.entryPrepared = false;
  if (state.runningCode != 0) {
    state.stream->SetSize(state.entryOffset - 4);
    return rirStop;
  }
  state.stream->SetPosition(state.stream->Size());
  ++state.count;
  if (state.stream->Size() >= state.cutoffSize || state.count >= state.maxRecords) {
    state.runningCode = 0;
    return rirStop;
  }
  stcBatchPrepareEntry(state);
  return rirContinue;
}

TnxResult TnxServerTableCursor::sbcRecordGetBatch(std::int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                                                  TnxBatchStreamAccess*& aAccess, std::int32_t aMaxRecords,
                                                  bool aForward) {
  TnxResult result = 0;
  try {
    if (aAccess)
      aAccess->Clear(false);
    else
      aAccess = CreateBatchStreamAccess(nullptr, aOptions);
    if (aCutoffSize < 0) aCutoffSize = kStcBatchNoLimit;
    if (aMaxRecords < 1) aMaxRecords = kStcBatchNoLimit;
    TnxStcBatchState state{};
    state.cutoffSize = aCutoffSize;
    state.stream = aAccess->Stream();
    state.maxRecords = aMaxRecords;
    state.backward = !aForward;
    stcBatchStreamStart(state.stream, aCutoffSize);
    state.recordLength = FieldsDescriptor()->RecordLength();
    state.baseEntrySize = state.recordLength;
    if (aOptions.contains(gboBookmarks)) {
      state.runningCode = sbcGetBookmarkSize(state.bookmarkSize);
      state.baseEntrySize += state.bookmarkSize;
    }
    if (!acSFI || acSFI->sfiBlobFields.empty()) aOptions.exclude(gboBlobs);
    state.options = aOptions;
    state.filter = stcActiveOrNil(sbcFilter);
    TnxResult iterated = 0;
    if (state.runningCode == 0) {
      stcBatchPrepareEntry(state);
      struct EndTimeout {
        TnxServerTableCursor* cursor;
        bool running;
        ~EndTimeout() {
          if (running) cursor->sbcFilterEndTimeout();
        }
      } endTimeout{this, state.filter != nullptr};
      if (state.filter) sbcFilterBeginTimeout(nullptr);
      const TnxRecordIterator iterator = [this](void* aCookie, TnxRefNr aRefNr, PnxRecordBuffer aRecord) {
        return stcRecordGetBatchIterator(aCookie, aRefNr, aRecord);
      };
      iterated = stcIterate(&state.recordSlot, nullptr, iterator, state.backward, &state,
                            !aOptions.contains(gboSetToBeginOrEnd), nullptr);
    }
    if (state.entryPrepared) state.stream->SetSize(state.entryOffset - 4);
    stcBatchStreamHeader(state.stream, state.runningCode, state.count);
    if (iterated != 0)
      result = iterated;
    else if (state.runningCode == nxErrFilterTimeout && state.count == 0)
      result = nxErrFilterTimeout;
  } catch (const std::exception&) {
    result = asoConvertException(std::current_exception());
  }
  if (aAccess) aAccess->Reset(false);
  return result;
}

// ---- Batch key search ---------------------------------------------------------------------

TnxResult TnxServerTableCursor::sbcRecordGetForKeyBatch(std::int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                                                        TnxBatchStreamAccess*& aAccess,
                                                        const TnxDataSetKeyBufferArray& aKeys, bool aMatchFirst,
                                                        bool aFirstCall) {
  aAccess = nullptr;
  if (sbcIsWriteOnly) {
    const TnxResult result = sbcWriteOnlyError();
    return result ? result : nxErrRecordNotFound;
  }
  if (!stcIndexEngine) return nxErrNoAssociatedIndex;
  TnxBaseFilterEngine* recordFilter = stcActiveOrNil(sbcFilter);
  TnxBaseFilterEngine* keyFilter = stcActiveOrNil(sbcKeyFilter);
  TnxResult result = 0;
  try {
    TnxStcContentScope scope(this);
    if (const TnxResult locked = scope.Begin()) return locked;
    // Where the key filter's scan reports its time-out.
    TnxResult keyTimeout = 0;
    if (recordFilter || keyFilter) scope.BeginTimeout(&keyTimeout);
    if (!acSFI || acSFI->sfiBlobFields.empty()) aOptions.exclude(gboBlobs);
    aAccess = CreateBatchStreamAccess(nullptr, aOptions);
    if (aCutoffSize < 0) aCutoffSize = kStcBatchNoLimit;
    TnxMemoryStream* stream = aAccess->Stream();
    stcBatchStreamStart(stream, aCutoffSize);
    const std::int32_t recordLength = FieldsDescriptor()->RecordLength();
    std::int32_t entrySize = recordLength;
    std::int32_t bookmarkSize = 0;
    TnxResult running = 0;
    if (aOptions.contains(gboBookmarks)) {
      running = sbcGetBookmarkSize(bookmarkSize);
      entrySize += bookmarkSize;
    }
    TnxBaseTransaction* trans = GetActiveTrans();
    TnxBaseKeyEngine* keys = stcIndexEngine->bieKeyEngine.get();
    std::int32_t count = 0;
    for (std::size_t i = 0; running == 0 && i < aKeys.size(); ++i) {
      const std::int64_t entryStart = stream->Size();
      stream->SetSize(entryStart + 4 + entrySize);
      nxBatchPutU32(stcStreamAt(stream, entryStart), static_cast<std::uint32_t>(entrySize));
      PnxRecordBuffer data = stcStreamAt(stream, entryStart + 4);
      TnxDataSetKeyBuffer key{};
      std::memcpy(&key, aKeys[i], sizeof key);
      const std::uint8_t* keyBytes = aKeys[i] + nxDataSetKeyBufferHeaderSize;
      TnxResult keyResult = 0;
      if (key.kbDirectKey)
        keys->CopyKey(keyBytes, stcKeyBuffer);
      else
        keyResult = keys->BuildKey(keyBytes, stcKeyBuffer, 0, true);
      std::int32_t fieldCount = key.kbFieldCount;
      if (fieldCount == 0) {
        fieldCount = keys->MaxFieldCount();
        if (key.kbPartialLen > 0) --fieldCount;
      }
      const std::int32_t partialLen = key.kbPartialLen;
      bool fresh = i > 0 || aFirstCall;
      while (keyResult == 0) {
        bool found = false;
        if (fresh) {
          found = stcIndexEngine->FindKey(trans, stcKeyBuffer, fieldCount, partialLen, 0, stcIndexPath,
                                          aMatchFirst ? skaEqualFirst : skaEqualLast, keyFilter) &&
                  stcIndexPath->IsOnKey() && stcIndexPath->KeyValid;
          fresh = false;
        } else {
          const bool moved = aMatchFirst ? stcIndexEngine->NextKey(trans, stcIndexPath, keyFilter)
                                         : stcIndexEngine->PrevKey(trans, stcIndexPath, keyFilter);
          found = moved && stcIndexPath->KeyValid &&
                  keys->CompareKey(stcKeyBuffer, stcIndexPath->Key, fieldCount, partialLen) == 0;
        }
        if (keyTimeout != 0) {
          keyResult = keyTimeout;
          break;
        }
        if (found && stcRangeTest(stcIndexPath->Key) != 0) found = false;
        if (!found) {
          keyResult = nxErrRecordNotFound;
          if (aMatchFirst)
            stcIndexPath->SetToEof();
          else
            stcIndexPath->SetToBof();
          break;
        }
        stcTable->RecordEngine()->ReadRecord(trans, stcIndexPath->RefNr, data);
        keyResult = stcNotifyRecordGet(nxltNoLock, data);
        if (keyResult != 0 || !recordFilter || recordFilter->MatchesBuffer(data)) break;
        if (sbcFilterCheckTimeout(keyResult)) break;
      }
      if (keyResult == 0) {
        if (bookmarkSize != 0)
          running = IsCache() ? sbcGetBookmarkCache(data + recordLength, bookmarkSize)
                              : sbcGetBookmark(data + recordLength, bookmarkSize);
        std::int32_t size = entrySize;
        if (running == 0 && aOptions.contains(gboBlobs)) {
          running = sbcCopyBlobsToBatchStream(size, entryStart + 4, stream, aOptions.contains(gboBlobNrs),
                                              aOptions.contains(gboBlobsOnlyMarked));
          if (size != entrySize)
            nxBatchPutU32(stcStreamAt(stream, entryStart), static_cast<std::uint32_t>(size));
        }
        if (running != 0) {
          stream->SetSize(entryStart);
          break;
        }
      } else if (keyResult == nxErrLockTimeout || keyResult == nxErrFilterTimeout || keyResult == nxErrTimeout) {
        stream->SetSize(entryStart);
        running = keyResult;
        break;
      } else {
        stream->SetSize(entryStart + 8);
        nxBatchPutU32(stcStreamAt(stream, entryStart), kStcBatchErrorEntry);
        nxBatchPutU32(stcStreamAt(stream, entryStart + 4), static_cast<std::uint32_t>(keyResult));
      }
      stream->SetPosition(stream->Size());
      ++count;
      if (stream->Size() > aCutoffSize) break;
    }
    if (running == 0 && static_cast<std::size_t>(count) == aKeys.size()) running = aMatchFirst ? nxErrEOF : nxErrBOF;
    stcBatchStreamHeader(stream, running, count);
    result = count > 0 ? 0 : running;
  } catch (const std::exception&) {
    result = asoConvertException(std::current_exception());
  }
  if (aAccess) aAccess->Reset(false);
  return result;
}

// ---- Record counts ------------------------------------------------------------------------

TnxResult TnxServerTableCursor::sbcGetRecordCount(TnxRecordCountOption aOption, std::uint32_t& aRecCount,
                                                  bool aEstimate) {
  if (sbcIsWriteOnly) {
    aRecCount = 0;
    return sbcWriteOnlyError();
  }
  TnxStcContentScope scope(this);
  if (const TnxResult locked = scope.Begin()) return locked;
  TnxBaseTransaction* trans = GetActiveTrans();
  const bool filterOn = stcActiveOrNil(sbcFilter) || stcActiveOrNil(sbcKeyFilter);
  const bool filteredOption = aOption == rcoServerFilteredKeyCount || aOption == rcoClientFilteredKeyCount;
  if (aOption == rcoTotalRecordCount || !stcIndexEngine) {
    if (filteredOption && filterOn) return stcCountByWalking(aOption, aRecCount);
    stcTable->RecordEngine()->GetRecordCount(trans, aRecCount);
    return 0;
  }
  if (aOption == rcoTotalKeyCount || (!stcRangeStart.riValid && !stcRangeEnd.riValid && !filterOn)) {
    stcIndexEngine->GetKeyCount(trans, aRecCount);
    return 0;
  }
  if (aEstimate)
    return stcIndexEngine->EstimateRecordCount(trans, stcRangeInfo(stcRangeStart), stcRangeInfo(stcRangeEnd),
                                               aRecCount, false);
  return stcCountByWalking(aOption, aRecCount);
}

TnxResult TnxServerTableCursor::GetRecordCountExAsync(TnxRecordCountOption aOption,
                                                     TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  TnxGuardedCall call(*this);
  TnxResult result = 0;
  try {
    std::uint32_t count = 0;
    bool background = false;
    {
      TnxStcContentScope scope(this);
      if (const TnxResult locked = scope.Begin()) return call.Finish(locked);
      TnxBaseTransaction* trans = GetActiveTrans();
      const bool filterOn = stcActiveOrNil(sbcFilter) || stcActiveOrNil(sbcKeyFilter);
      if (aOption != rcoTotalRecordCount && stcIndexEngine) {
        stcIndexEngine->GetKeyCount(trans, count);
        background =
            aOption >= rcoRangedKeyCount && (stcRangeStart.riValid || stcRangeEnd.riValid || filterOn);
      } else {
        stcTable->RecordEngine()->GetRecordCount(trans, count);
        background = aOption >= rcoServerFilteredKeyCount && filterOn;
      }
    }
    auto* session = static_cast<TnxServerSession*>(Session());
    if (!background) {
      aTaskInfo = platform::create<TnxServerDoNothingTaskInfo>(session, count);
    } else {
      // The count's thread needs the session lock: give it up now, once.
      call.LockGivenUp();
      TnxResult unlocked = 0;
      atoLock->Unlock(unlocked);
      auto* task = platform::create<TnxServerGetRecCountTaskInfo>(aOption, count, this);
      try {
        task->Start();
      } catch (...) {
        TnxAbstractServerObject::Free(task);
        throw;
      }
      aTaskInfo = task;
    }
  } catch (...) {
    result = asoConvertException(std::current_exception());
  }
  return call.Finish(result);
}

TnxResult TnxServerTableCursor::stcCountByWalking(TnxRecordCountOption aOption, std::uint32_t& aRecCount) {
  TnxOwned<TnxBaseIndexPath> saved(stcIndexPath->Duplicate());
  const bool takeOff = aOption == rcoTotalRecordCount || aOption == rcoTotalKeyCount || aOption == rcoRangedKeyCount;
  struct Restore {
    TnxServerTableCursor* cursor;
    TnxBaseIndexPath* saved;
    bool takenOff;
    TnxBaseFilterEngine* filter;
    TnxBaseFilterEngine* keyFilter;
    ~Restore() {
      cursor->sbcEnableFilterTimeout();
      cursor->stcIndexPath->Assign(saved);
      if (takenOff) {
        cursor->sbcFilter = filter;
        cursor->sbcKeyFilter = keyFilter;
      }
    }
  } restore{this, saved.get(), takeOff, nullptr, nullptr};
  if (takeOff) {
    restore.filter = std::exchange(sbcFilter, nullptr);
    restore.keyFilter = std::exchange(sbcKeyFilter, nullptr);
  }
  sbcDisableFilterTimeout();
  aRecCount = 0;
  stcIndexPath->SetToEof();
  TnxResult result = sbcRecordGetPrior(nxltNoLock, nullptr);
  if (result == nxErrBOF) return 0;
  if (result != 0) return result;
  if (sbcRecNoGet(aRecCount, false) == 0) return 0;
  aRecCount = 0;
  stcIndexPath->SetToBof();
  for (;;) {
    result = sbcRecordGetNext(nxltNoLock, nullptr);
    if (result != 0) break;
    ++aRecCount;
  }
  return result == nxErrEOF ? 0 : result;
}
