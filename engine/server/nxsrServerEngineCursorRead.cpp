// The table cursor's positioning and reading: begin, end, bookmark, another
// cursor, keys; the current, next and prior record under filters, ranges and
// record locks; key searches, record numbers, the index switch and ranges.
#include <cstring>

#include "nxsrServerEngineCursor.h"
#include "nxsrServerEngineInt.h"
#include "nxsrTableLockContainer.h"

namespace {

bool filterActive(TnxBaseFilterEngine* aFilter) { return aFilter && aFilter->GetActive(); }

// The shared content lock of one primitive call, released on every way out.
class TnxReadContentLock {
 public:
  explicit TnxReadContentLock(TnxServerTableCursor* aCursor) : cursor_(aCursor) {}
  ~TnxReadContentLock() {
    if (held_) cursor_->sbcEndContentLock();
  }
  TnxReadContentLock(const TnxReadContentLock&) = delete;
  TnxReadContentLock& operator=(const TnxReadContentLock&) = delete;
  TnxResult Begin() {
    const TnxResult result = cursor_->sbcBeginContentLock(false, false, false);
    held_ = result == 0;
    return result;
  }

 private:
  TnxServerTableCursor* cursor_;
  bool held_ = false;
};

// The filter time-out of one filtered search, ended on every way out.
class TnxReadFilterTimeout {
 public:
  TnxReadFilterTimeout(TnxServerTableCursor* aCursor, bool aRun, TnxResult* aKeyResult)
      : cursor_(aRun ? aCursor : nullptr) {
    if (cursor_) cursor_->sbcFilterBeginTimeout(aKeyResult);
  }
  ~TnxReadFilterTimeout() {
    if (cursor_) cursor_->sbcFilterEndTimeout();
  }
  TnxReadFilterTimeout(const TnxReadFilterTimeout&) = delete;
  TnxReadFilterTimeout& operator=(const TnxReadFilterTimeout&) = delete;

 private:
  TnxServerTableCursor* cursor_;
};

bool isLockError(TnxResult aResult) { return (aResult >= 10240 && aResult <= 10495) || aResult == nxErrTimeout; }

bool isPositionError(TnxResult aResult) {
  return aResult == nxErrBOF || aResult == nxErrEOF || aResult == 8708 || aResult == nxErrNoCurrentRecord;
}

}  // namespace

// ---- Helpers -----------------------------------------------------------------------------

TnxResult TnxServerTableCursor::stcKeyFromArgument(bool aDirectKey, const void* aKeyData, PnxKeyBuffer aKey) {
  TnxBaseKeyEngine* keys = stcIndexEngine->bieKeyEngine.get();
  if (aDirectKey) {
    keys->CopyKey(aKeyData, aKey);
    return 0;
  }
  return keys->BuildKey(aKeyData, aKey, 0, true);
}

std::int32_t TnxServerTableCursor::stcRangeTest(const void* aKey) {
  if (!stcIndexEngine) return 0;
  TnxBaseKeyEngine* keys = stcIndexEngine->bieKeyEngine.get();
  if (stcRangeStart.riValid) {
    const TValueRelationship c =
        keys->CompareKey(stcRangeStart.riKey, aKey, stcRangeStart.riFieldCount, stcRangeStart.riPartitial);
    if (c > 0 || (c == 0 && stcRangeStart.riExclusive)) return -1;
  }
  if (stcRangeEnd.riValid) {
    const TValueRelationship c =
        keys->CompareKey(stcRangeEnd.riKey, aKey, stcRangeEnd.riFieldCount, stcRangeEnd.riPartitial);
    if (c < 0 || (c == 0 && stcRangeEnd.riExclusive)) return 1;
  }
  return 0;
}

void TnxServerTableCursor::stcMoveIntoRange() {
  if (!stcIndexEngine || !stcIndexPath->KeyValid) return;
  const std::int32_t test = stcRangeTest(stcIndexPath->Key);
  if (test < 0) stcIndexPath->SetToBof();
  if (test > 0) stcIndexPath->SetToEof();
}

TnxResult TnxServerTableCursor::stcCheckPosition(TnxBaseTransaction* aTrans) {
  if (stcIndexEngine) {
    stcIndexEngine->ValidateIndexPath(aTrans, stcIndexPath);
    stcMoveIntoRange();
  }
  return stcIndexPath->CheckCurrentState();
}

TnxResult TnxServerTableCursor::stcLockRecord(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, TnxLockResult& aLock) {
  aLock = stcTable->Locks()->GetRecordLock(aTrans, LockCursor(), aRefNr, false, sbcLockFailureReason);
  if (aLock >= lrConflictUnknown) return sbcLockFailureError(nxErrRecordLockedByOther);
  return 0;
}

TnxRangeInfo TnxServerTableCursor::stcRangeInfo(const TnxRangeInfoEnd& aEnd) {
  TnxRangeInfo info;
  info.riKey = aEnd.riKey;
  info.riFieldCount = aEnd.riFieldCount;
  info.riPartitial = aEnd.riPartitial;
  info.riExclusive = aEnd.riExclusive;
  info.riValid = aEnd.riValid;
  return info;
}

TnxResult TnxServerTableCursor::stcNotifyRecordGet(TnxLockType aLockType, PnxRecordBuffer aData) {
  const platform::FormatArg args[] = {platform::FormatArg(static_cast<std::int32_t>(aLockType)),
                                      platform::FormatArg(static_cast<const void*>(aData)),
                                      platform::FormatArg(static_cast<std::int64_t>(stcIndexPath->RefNr))};
  return NotifyExtenders(eaRecordGet, false, args);
}

// ---- Positioning -------------------------------------------------------------------------

TnxResult TnxServerTableCursor::sbcSetToBookmark(const void* aBookmark, std::int32_t aSize, bool aIsCache) {
  const TnxResult result =
      stcIndexPath->SetToBookmark(static_cast<const std::uint8_t*>(aBookmark), aSize, aIsCache);
  if (result == 0) stcMoveIntoRange();
  return result;
}

TnxResult TnxServerTableCursor::sbcSetToCursor(TnxAbstractCursor* aCursor) {
  auto* other = platform::objectAs<TnxServerTableCursor>(aCursor);
  if (!other) return nxErrInvalidHandle;
  if (other == this) return 0;
  if (other->stcTable != stcTable) return nxErrCursorOfOtherTable;
  if (other->SessionLock() != SessionLock()) return nxErrDifferentSessions;
  if (other->stcIndexEngine == stcIndexEngine) {
    stcIndexPath->Assign(other->stcIndexPath);
  } else {
    const TnxResult read = other->sbcRecordGet(nxltNoLock, sbcRecordBuffer);
    if (read != 0) return read;
    const TnxResult placed = stcIndexPath->SetToRecord(sbcRecordBuffer, other->stcIndexPath->RefNr);
    if (placed != 0) return placed;
  }
  stcMoveIntoRange();
  return 0;
}

TnxResult TnxServerTableCursor::sbcSetToKey(TnxSearchKeyAction aSearchAction, std::int32_t aFieldCount,
                                            std::int32_t aPartialLen, bool aDirectKey, const void* aKeyData) {
  if (sbcIsWriteOnly) {
    const TnxResult result = sbcWriteOnlyError();
    return result ? result : nxErrRecordNotFound;
  }
  if (!stcIndexEngine) return nxErrNoAssociatedIndex;
  if (const TnxResult built = stcKeyFromArgument(aDirectKey, aKeyData, stcKeyBuffer)) return built;
  TnxReadContentLock content(this);
  if (const TnxResult locked = content.Begin()) return locked;
  TnxBaseFilterEngine* keyFilter = filterActive(sbcKeyFilter) ? sbcKeyFilter : nullptr;
  const bool backward = aSearchAction == skaEqualLast || aSearchAction == skaSmallerEqual || aSearchAction == skaSmaller;
  const bool exact = aSearchAction == skaEqualFirst || aSearchAction == skaEqualLast;
  const bool found = stcIndexEngine->FindKey(GetActiveTrans(), stcKeyBuffer, aFieldCount, aPartialLen, 0,
                                             stcIndexPath, aSearchAction, keyFilter);
  if (!found) {
    if (backward)
      stcIndexPath->SetToBof();
    else
      stcIndexPath->SetToEof();
    return exact ? nxErrRecordNotFound : 0;
  }
  stcMoveIntoRange();
  if (stcIndexPath->IsOnKey()) {
    if (backward)
      stcIndexPath->SetToCrackAfter();
    else
      stcIndexPath->SetToCrackBefore();
    return 0;
  }
  return exact ? nxErrRecordNotFound : 0;
}

// ---- Reading -----------------------------------------------------------------------------

TnxResult TnxServerTableCursor::sbcRecordGet(TnxLockType aLockType, PnxRecordBuffer aData) {
  if (sbcIsWriteOnly) {
    const TnxResult result = sbcWriteOnlyError();
    return result ? result : nxErrNoCurrentRecord;
  }
  TnxBaseTransaction* trans = GetActiveTrans();
  const TnxRefNr remembered = stcIndexPath->RefNr;
  TnxLockResult lock = lrGrantedExisting;
  bool lockedEarly = false;
  TnxResult result = 0;
  try {
    if (aLockType != nxltNoLock && remembered != 0) {
      if (const TnxResult state = stcIndexPath->CheckCurrentState()) return state;
      if (const TnxResult refused = stcLockRecord(trans, remembered, lock)) return refused;
      lockedEarly = true;
    }
    TnxReadContentLock content(this);
    result = content.Begin();
    if (result == 0) result = stcCheckPosition(trans);
    if (result == 0 && aLockType != nxltNoLock) {
      if (lockedEarly) {
        if (stcIndexPath->RefNr != remembered) result = nxErrNoCurrentRecord;
      } else if (stcIndexPath->RefNr == 0) {
        result = nxErrNoCurrentRecord;
      } else {
        result = stcLockRecord(trans, stcIndexPath->RefNr, lock);
      }
    }
    if (result == 0 && filterActive(sbcKeyFilter) &&
        !(stcIndexPath->KeyValid && sbcKeyFilter->MatchesBuffer(stcIndexPath->Key)))
      result = nxErrNoCurrentRecord;
    const bool recordFilter = filterActive(sbcFilter);
    if (result == 0 && !aData && recordFilter) aData = sbcRecordBuffer;
    if (result == 0 && aData) {
      stcTable->RecordEngine()->ReadRecord(trans, stcIndexPath->RefNr, aData);
      if (recordFilter) {
        sbcBeginReadOrgOverride();
        bool matches = false;
        try {
          matches = sbcFilter->MatchesBuffer(aData);
        } catch (...) {
          sbcEndReadOrgOverride();
          throw;
        }
        sbcEndReadOrgOverride();
        if (!matches) result = nxErrNoCurrentRecord;
      }
    }
    if (result == 0)
      result = stcNotifyRecordGet(aLockType, aData);
  } catch (const std::exception&) {
    result = asoConvertException(std::current_exception());
  }
  if (result != 0 && lock == lrGrantedNew)
    stcTable->Locks()->ReleaseRecordLock(LockCursor(), lockedEarly ? remembered : stcIndexPath->RefNr, nullptr);
  return result;
}

TnxResult TnxServerTableCursor::stcRecordGetStep(TnxLockType aLockType, PnxRecordBuffer aData, bool aForward) {
  const TnxResult endCode = aForward ? nxErrEOF : nxErrBOF;
  if (sbcIsWriteOnly) {
    const TnxResult result = sbcWriteOnlyError();
    return result ? result : endCode;
  }
  if (aForward ? stcIndexPath->IsEof() : stcIndexPath->IsBof()) return endCode;
  TnxBaseTransaction* trans = GetActiveTrans();
  TnxResult result = 0;
  try {
    TnxReadContentLock content(this);
    if (const TnxResult locked = content.Begin()) return locked;
    TnxBaseFilterEngine* recordFilter = filterActive(sbcFilter) ? sbcFilter : nullptr;
    TnxBaseFilterEngine* keyFilter = filterActive(sbcKeyFilter) ? sbcKeyFilter : nullptr;
    const TnxRangeInfoEnd& nearEnd = aForward ? stcRangeStart : stcRangeEnd;
    const TnxRangeInfoEnd& farEnd = aForward ? stcRangeEnd : stcRangeStart;
    if (!aData && (recordFilter || (stcIndexEngine && farEnd.riValid))) aData = sbcRecordBuffer;
    // Where the key filter's scan reports a time-out; the path stays on the key.
    TnxResult keyTimeout = 0;
    TnxReadFilterTimeout filterTimeout(this, recordFilter || keyFilter, &keyTimeout);
    auto toEnd = [&] {
      if (aForward)
        stcIndexPath->SetToEof();
      else
        stcIndexPath->SetToBof();
    };
    if (stcIndexEngine && nearEnd.riValid && (aForward ? stcIndexPath->IsBof() : stcIndexPath->IsEof())) {
      const TnxSearchKeyAction action = aForward ? (nearEnd.riExclusive ? skaGreater : skaGreaterEqual)
                                                 : (nearEnd.riExclusive ? skaSmaller : skaSmallerEqual);
      const bool found = stcIndexEngine->FindKey(trans, nearEnd.riKey, nearEnd.riFieldCount, nearEnd.riPartitial, 0,
                                                 stcIndexPath, action, keyFilter);
      if (keyTimeout != 0) return keyTimeout;
      if (!found || (aForward ? stcIndexPath->IsEof() : stcIndexPath->IsBof())) {
        toEnd();
        return endCode;
      }
      if (aForward)
        stcIndexPath->SetToCrackBefore();
      else
        stcIndexPath->SetToCrackAfter();
    }
    for (;;) {
      result = 0;
      if (stcIndexEngine) {
        const bool moved = aForward ? stcIndexEngine->NextKey(trans, stcIndexPath, keyFilter)
                                    : stcIndexEngine->PrevKey(trans, stcIndexPath, keyFilter);
        if (keyTimeout != 0) break;
        if (!moved) {
          result = endCode;
        } else if (farEnd.riValid && stcIndexPath->KeyValid) {
          const std::int32_t test = stcRangeTest(stcIndexPath->Key);
          if (aForward ? test > 0 : test < 0) result = endCode;
        }
        if (result == 0 && aData) stcTable->RecordEngine()->ReadRecord(trans, stcIndexPath->RefNr, aData);
      } else {
        TnxRefNr next = 0;
        if (aForward)
          stcTable->RecordEngine()->ReadNextRecord(trans, stcIndexPath->RefNr, next, aData);
        else
          stcTable->RecordEngine()->ReadPrevRecord(trans, stcIndexPath->RefNr, next, aData);
        if (next != 0) {
          stcIndexPath->Clear();
          stcIndexPath->RefNr = next;
          stcIndexPath->Position = ippOnKey;
        } else {
          result = endCode;
        }
      }
      if (result == endCode) toEnd();
      if (result != 0 || !recordFilter || recordFilter->MatchesBuffer(aData)) break;
      if (sbcFilterCheckTimeout(result)) break;
    }
    if (keyTimeout != 0) result = keyTimeout;
    if (result == 0 && aLockType != nxltNoLock) {
      TnxLockResult lock = lrGrantedExisting;
      result = stcLockRecord(trans, stcIndexPath->RefNr, lock);
      if (result != 0) {
        // The next call in the same direction meets this record again.
        if (aForward)
          stcIndexPath->SetToCrackBefore();
        else
          stcIndexPath->SetToCrackAfter();
      }
    }
    if (result == 0)
      result = stcNotifyRecordGet(aLockType, aData);
  } catch (const std::exception&) {
    result = asoConvertException(std::current_exception());
  }
  return result;
}

TnxResult TnxServerTableCursor::sbcRecordGetNext(TnxLockType aLockType, PnxRecordBuffer aData) {
  return stcRecordGetStep(aLockType, aData, true);
}

TnxResult TnxServerTableCursor::sbcRecordGetPrior(TnxLockType aLockType, PnxRecordBuffer aData) {
  return stcRecordGetStep(aLockType, aData, false);
}

TnxResult TnxServerTableCursor::sbcRecordGetForKey(std::int32_t aFieldCount, std::int32_t aPartialLen,
                                                   bool aDirectKey, const void* aKeyData, PnxRecordBuffer aData,
                                                   bool aMatchFirst, bool aFirstCall) {
  if (sbcIsWriteOnly) {
    const TnxResult result = sbcWriteOnlyError();
    return result ? result : nxErrRecordNotFound;
  }
  if (!stcIndexEngine) return nxErrNoAssociatedIndex;
  if (const TnxResult built = stcKeyFromArgument(aDirectKey, aKeyData, stcKeyBuffer)) return built;
  TnxBaseFilterEngine* recordFilter = filterActive(sbcFilter) ? sbcFilter : nullptr;
  TnxBaseFilterEngine* keyFilter = filterActive(sbcKeyFilter) ? sbcKeyFilter : nullptr;
  if (recordFilter && !aData) aData = sbcRecordBuffer;
  TnxReadContentLock content(this);
  if (const TnxResult locked = content.Begin()) return locked;
  TnxBaseTransaction* trans = GetActiveTrans();
  TnxBaseKeyEngine* keys = stcIndexEngine->bieKeyEngine.get();
  TnxResult keyTimeout = 0;
  TnxReadFilterTimeout filterTimeout(this, recordFilter || keyFilter, &keyTimeout);
  TnxResult result = 0;
  for (;;) {
    bool found = false;
    if (aFirstCall) {
      found = stcIndexEngine->FindKey(trans, stcKeyBuffer, aFieldCount, aPartialLen, 0, stcIndexPath,
                                      aMatchFirst ? skaEqualFirst : skaEqualLast, keyFilter) &&
              stcIndexPath->IsOnKey() && stcIndexPath->KeyValid;
      aFirstCall = false;
    } else {
      const bool moved = aMatchFirst ? stcIndexEngine->NextKey(trans, stcIndexPath, keyFilter)
                                     : stcIndexEngine->PrevKey(trans, stcIndexPath, keyFilter);
      found = moved && stcIndexPath->KeyValid &&
              keys->CompareKey(stcKeyBuffer, stcIndexPath->Key, aFieldCount, aPartialLen) == 0;
    }
    if (keyTimeout != 0) return keyTimeout;
    if (found && stcRangeTest(stcIndexPath->Key) != 0) found = false;
    if (!found) {
      if (aMatchFirst)
        stcIndexPath->SetToEof();
      else
        stcIndexPath->SetToBof();
      return nxErrRecordNotFound;
    }
    if (aData) stcTable->RecordEngine()->ReadRecord(trans, stcIndexPath->RefNr, aData);
    result = stcNotifyRecordGet(nxltNoLock, aData);
    if (result != 0 || !recordFilter || recordFilter->MatchesBuffer(aData)) break;
    if (sbcFilterCheckTimeout(result)) break;
  }
  return result;
}

// ---- Record numbers ----------------------------------------------------------------------

TnxResult TnxServerTableCursor::sbcRecNoGet(std::uint32_t& aRecNo, bool aFlipOrder) {
  TnxBaseFilterEngine* recordFilter = filterActive(sbcFilter) ? sbcFilter : nullptr;
  if (stcIndexEngine)
    return stcIndexEngine->RecNoGet(GetActiveTrans(), stcIndexPath, stcRangeInfo(stcRangeStart),
                                    stcRangeInfo(stcRangeEnd), recordFilter,
                                    filterActive(sbcKeyFilter) ? sbcKeyFilter : nullptr, aRecNo, aFlipOrder);
  return stcTable->RecordEngine()->RecNoGet(GetActiveTrans(), stcIndexPath->RefNr, recordFilter, aRecNo, aFlipOrder);
}

TnxResult TnxServerTableCursor::sbcRecNoSet(std::uint32_t aRecNo, bool aFlipOrder) {
  TnxBaseFilterEngine* recordFilter = filterActive(sbcFilter) ? sbcFilter : nullptr;
  if (stcIndexEngine)
    return stcIndexEngine->RecNoSet(GetActiveTrans(), aRecNo, stcIndexPath, stcRangeInfo(stcRangeStart),
                                    stcRangeInfo(stcRangeEnd), recordFilter,
                                    filterActive(sbcKeyFilter) ? sbcKeyFilter : nullptr, aFlipOrder);
  TnxRefNr refNr = 0;
  const TnxResult result =
      stcTable->RecordEngine()->RecNoSet(GetActiveTrans(), aRecNo, refNr, recordFilter, aFlipOrder);
  if (result == 0) stcIndexPath->SetToRecord(nullptr, refNr);
  if (result == nxErrBOF) stcIndexPath->SetToBof();
  if (result == nxErrEOF) stcIndexPath->SetToEof();
  return result;
}

// ---- The index switch --------------------------------------------------------------------

TnxResult TnxServerTableCursor::sbcSwitchToIndex(const nxString& aIndexName, std::int32_t aIndexID,
                                                 TnxPosnOnRec aPosnOnRec) {
  TnxBaseIndicesEngine* indices = stcTable->IndicesEngine();
  TnxBaseIndexEngine* engine = nullptr;
  if (indices) {
    if (!aIndexName.empty()) {
      aIndexID = indices->biseDescriptor->GetIndexFromName(aIndexName);
      if (aIndexID < 0) return EnxBaseException::nxSetMessage(nxErrNoSuchIndex, u"Index does not exist.");
    }
    if (aIndexID < -1 || aIndexID >= indices->IndexCount()) return nxErrNoSuchIndex;
    if (aIndexID >= 0) engine = indices->biseGetIndex(aIndexID);
  } else if (!aIndexName.empty() || (aIndexID != -1 && aIndexID != 0)) {
    return nxErrNoSuchIndex;
  }
  if (engine && engine->bieKeyEngine && engine->bieKeyEngine->NLSVersionChanged())
    return EnxBaseException::nxSetMessage(nxErrHigherTableLevel,
                                          u"Current NLS version differs from NLS version of stored keys. Table "
                                          u"must be packed before index can be used");
  bool position = aPosnOnRec != porFalse && stcIndexPath;
  if (position) {
    TnxResult read = sbcRecordGet(nxltNoLock, sbcRecordBuffer);
    if (read != 0 && !isLockError(read)) read = nxErrNoCurrentRecord;
    if (read != 0) {
      if (aPosnOnRec != porTry || !isPositionError(read)) return read;
      position = false;
    }
  }
  TnxBaseIndexPath* path = engine ? engine->CreateIndexPath() : TnxBaseIndexPath::CreateStandalone();
  TnxResult result = 0;
  try {
    if (position) {
      result = path->SetToRecord(sbcRecordBuffer, stcIndexPath->RefNr);
      if (result == 1) result = nxErrNoCurrentRecord;
      if (result == 0 && engine) {
        TnxReadContentLock content(this);
        result = content.Begin();
        if (result == 0) {
          engine->ValidateIndexPath(GetActiveTrans(), path);
          result = path->CheckCurrentState();
        }
      }
      if (aPosnOnRec == porTry && isPositionError(result)) {
        path->SetToBof();
        result = 0;
      }
    } else {
      path->SetToBof();
    }
  } catch (const std::exception&) {
    result = asoConvertException(std::current_exception());
  }
  if (sbcKeyFilter) sbcKeyFilter->DeactivateFilter(nullptr);
  if (result != 0) {
    platform::TObject::free(path);
    return result;
  }
  stcFreeKeys();
  stcFreePaths();
  stcIndexEngine = engine;
  stcIndexPath = path;
  stcAllocKeys();
  return 0;
}

// ---- Ranges ------------------------------------------------------------------------------

TnxResult TnxServerTableCursor::sbcRangeSet(std::int32_t aFieldCount1, std::int32_t aPartialLen1, bool aDirectKey1,
                                            const void* aKeyData1, bool aKeyIncl1, std::int32_t aFieldCount2,
                                            std::int32_t aPartialLen2, bool aDirectKey2, const void* aKeyData2,
                                            bool aKeyIncl2) {
  if (!stcIndexEngine) return nxErrNoAssociatedIndex;
  stcRangeStart.riValid = stcRangeEnd.riValid = false;
  TnxResult result = 0;
  auto setEnd = [&](TnxRangeInfoEnd& aEnd, std::int32_t aFieldCount, std::int32_t aPartialLen, bool aDirectKey,
                    const void* aKeyData, bool aKeyIncl) {
    if (!aKeyData || result != 0) return;
    result = stcKeyFromArgument(aDirectKey, aKeyData, aEnd.riKey);
    aEnd.riFieldCount = aFieldCount;
    aEnd.riPartitial = aPartialLen;
    aEnd.riExclusive = !aKeyIncl;
    aEnd.riValid = result == 0;
  };
  setEnd(stcRangeStart, aFieldCount1, aPartialLen1, aDirectKey1, aKeyData1, aKeyIncl1);
  setEnd(stcRangeEnd, aFieldCount2, aPartialLen2, aDirectKey2, aKeyData2, aKeyIncl2);
  if (result != 0) {
    stcRangeStart.riValid = stcRangeEnd.riValid = false;
    return result;
  }
  stcIndexPath->SetToBof();
  return 0;
}

TnxResult TnxServerTableCursor::sbcRangeReset() {
  stcRangeStart.riValid = stcRangeEnd.riValid = false;
  return 0;
}

// ---- Comparisons and bookmarks -----------------------------------------------------------

TnxResult TnxServerTableCursor::sbcCompareKeys(std::int32_t aFieldCount, std::int32_t aPartialLen, bool aDirectKey1,
                                               const void* aKeyData1, bool aDirectKey2, const void* aKeyData2,
                                               std::int32_t& aResult) {
  aResult = 0;
  if (!stcIndexEngine) return nxErrNoAssociatedIndex;
  TnxBaseKeyEngine* keys = stcIndexEngine->bieKeyEngine.get();
  PnxKeyBuffer key1 = nullptr, key2 = nullptr;
  struct Free {
    TnxBaseKeyEngine* keys;
    PnxKeyBuffer& a;
    PnxKeyBuffer& b;
    ~Free() {
      if (a) keys->FreeKey(a);
      if (b) keys->FreeKey(b);
    }
  } release{keys, key1, key2};
  const void* first = aKeyData1;
  const void* second = aKeyData2;
  if (!aDirectKey1) {
    key1 = keys->AllocKey();
    if (const TnxResult built = keys->BuildKey(aKeyData1, key1, 0, true)) return built;
    first = key1;
  }
  if (!aDirectKey2) {
    key2 = keys->AllocKey();
    if (const TnxResult built = keys->BuildKey(aKeyData2, key2, 0, true)) return built;
    second = key2;
  }
  aResult = keys->CompareKey(first, second, aFieldCount, aPartialLen);
  return 0;
}

TnxResult TnxServerTableCursor::sbcCompareBookmarks(const void* aBookmark1, const void* aBookmark2, std::int32_t aSize,
                                                    TnxCompareResult& aCompResult) {
  std::int32_t compared = 0;
  const TnxResult result = stcIndexPath->CompareBookmarks(static_cast<const std::uint8_t*>(aBookmark1),
                                                          static_cast<const std::uint8_t*>(aBookmark2), aSize,
                                                          compared);
  aCompResult = compared < 0 ? crLess : compared > 0 ? crGreater : crEqual;
  return result;
}

TnxResult TnxServerTableCursor::sbcBookmarkAsVariant(const void* aBookmark, std::int32_t aSize,
                                                     platform::Variant& aVariant) {
  return stcIndexPath->BookmarkAsVariant(static_cast<const std::uint8_t*>(aBookmark), aSize, aVariant);
}

TnxResult TnxServerTableCursor::sbcGetBookmark(PnxBookmarkBuffer aBookmark, std::int32_t aSize) {
  return stcIndexPath->GetBookmark(reinterpret_cast<std::uint8_t*>(aBookmark), aSize, false);
}

TnxResult TnxServerTableCursor::sbcGetBookmarkCache(PnxBookmarkBuffer aBookmark, std::int32_t aSize) {
  if (!acStates.contains(acsIsCache)) return TnxServerBaseCursor::sbcGetBookmarkCache(aBookmark, aSize);
  return stcIndexPath->GetBookmark(reinterpret_cast<std::uint8_t*>(aBookmark), aSize, true);
}

TnxResult TnxServerTableCursor::sbcGetBookmarkSize(std::int32_t& aSize) {
  aSize = stcIndexPath ? stcIndexPath->GetBookmarkSize() : 24;
  return 0;
}
