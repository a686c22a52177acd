// The table cursor's record and table locks in its table's lock container,
// and cursor duplication.
#include "nxsrServerEngineCursor.h"
#include "nxsrServerEngineInt.h"
#include "nxsrTableLockContainer.h"

// ---- Record locks ------------------------------------------------------------------------

TnxResult TnxServerTableCursor::sbcRecordIsLocked(TnxLockType /*aLockType*/, TnxLockPresent& aLockPresent) {
  aLockPresent = lpNotAtAll;
  if (const TnxResult state = stcIndexPath->CheckCurrentState()) return state;
  aLockPresent = stcTable->Locks()->IsRecordLocked(LockCursor(), stcIndexPath->RefNr);
  return 0;
}

TnxResult TnxServerTableCursor::sbcRecordLockRelease(bool aAllLocks, bool aCancelBlobs) {
  const bool cancel = aCancelBlobs && acCapabilities.contains(accCancelBlobs);
  if (aAllLocks) {
    stcTable->Locks()->ClearRecordLocks(LockCursor());
    return cancel ? sbcBlobsCancel(0) : 0;
  }
  if (const TnxResult state = stcIndexPath->CheckCurrentState()) return state;
  stcTable->Locks()->ReleaseRecordLock(LockCursor(), stcIndexPath->RefNr, nullptr);
  if (!cancel) return 0;
  const TnxRefNr refNr = acStates.contains(acsIsCache) && stcIndexPath->CacheRefNr != 0 ? stcIndexPath->CacheRefNr
                                                                                        : stcIndexPath->RefNr;
  return refNr != 0 ? sbcBlobsCancel(refNr) : 0;
}

// ---- Table locks -------------------------------------------------------------------------

TnxLockPresent TnxServerTableCursor::sbcTableIsLocked(TnxLockType aLockType) {
  switch (aLockType) {
    case nxltReadLock:
      return stcTable->Locks()->IsReadLocked(LockCursor());
    case nxltWriteLock:
      return stcTable->Locks()->IsWriteLocked(LockCursor());
    default:
      return lpNotAtAll;
  }
}

TnxResult TnxServerTableCursor::sbcTableLockAcquire(TnxLockType aLockType) {
  try {
    TnxLockResult lock = lrConflictUnknown;
    if (aLockType == nxltReadLock)
      lock = stcTable->Locks()->GetReadLock(GetActiveTrans(), LockCursor(), false, sbcLockFailureReason);
    else if (aLockType == nxltWriteLock)
      lock = stcTable->Locks()->GetWriteLock(GetActiveTrans(), LockCursor(), false, sbcLockFailureReason);
    if (lock >= lrConflictUnknown) return sbcLockFailureError(nxErrFileLocked);
    return 0;
  } catch (const std::exception&) {
    return asoConvertException(std::current_exception());
  }
}

TnxResult TnxServerTableCursor::sbcTableLockRelease(TnxLockType aLockType, bool aAllLocks) {
  try {
    if (aAllLocks)
      stcTable->Locks()->ClearCursorLocks(LockCursor());
    else if (aLockType == nxltReadLock)
      stcTable->Locks()->ReleaseReadLock(LockCursor());
    else if (aLockType == nxltWriteLock)
      stcTable->Locks()->ReleaseWriteLock(LockCursor());
    return 0;
  } catch (const std::exception&) {
    return asoConvertException(std::current_exception());
  }
}

// ---- Duplication -------------------------------------------------------------------------

TnxResult TnxServerTableCursor::sbcDuplicate(TnxOpenMode aOpenMode, TnxAbstractCursor*& aNewCursor,
                                             bool aForceWrite) {
  aNewCursor = nullptr;
  const std::int32_t indexID = stcIndexEngine ? stcIndexEngine->bieIndexNumber : -1;
  if (!aForceWrite && sbcOpenMode == omReadOnly) aOpenMode = omReadOnly;
  TnxAbstractCursor* opened = nullptr;
  TnxResult result = 0;
  try {
    result = ServerDatabase()->sdCursorOpen(opened, stcTable->FullName(), sbcExtractPassword(),
                                            stcTable->Root()->ForServer(), aOpenMode, smShared, true,
                                            atoTimeout.load(std::memory_order_relaxed), nxString(), indexID, false,
                                            acStates.contains(acsIsCache));
    auto* copy = static_cast<TnxServerTableCursor*>(opened);
    if (result == 0 && copy->stcIndexEngine != stcIndexEngine)
      result = copy->sbcSwitchToIndex(nxString(), indexID, porFalse);
    if (result == 0) {
      copy->stcIndexPath->Assign(stcIndexPath);
      TnxBaseKeyEngine* keys = stcIndexEngine ? stcIndexEngine->bieKeyEngine.get() : nullptr;
      auto copyEnd = [&](const TnxRangeInfoEnd& aFrom, TnxRangeInfoEnd& aTo) {
        aTo.riFieldCount = aFrom.riFieldCount;
        aTo.riPartitial = aFrom.riPartitial;
        aTo.riExclusive = aFrom.riExclusive;
        aTo.riValid = aFrom.riValid;
        if (!keys || !aTo.riKey) return;
        if (aFrom.riValid)
          keys->CopyKey(aFrom.riKey, aTo.riKey);
        else
          keys->ClearKey(aTo.riKey);
      };
      copyEnd(stcRangeStart, copy->stcRangeStart);
      copyEnd(stcRangeEnd, copy->stcRangeEnd);
      // The record filter goes with the copy, bound to it; the key filter stays.
      if (sbcFilter) {
        TnxOwned<TnxBaseFilterEngine> filter(
            sbcFilter->Duplicate(TnxIntfPtr<InxFieldsSource>(copy->FieldsDescriptor())));
        if (filter) {
          TnxFilterID id = 0;
          copy->sbcFilterAddCustom(filter.get(), id, false);
          filter.release();
        }
      }
    }
  } catch (const std::exception&) {
    result = asoConvertException(std::current_exception());
  }
  if (result != 0) {
    if (opened) TnxAbstractServerObject::Free(opened);
    return result;
  }
  aNewCursor = opened;
  return 0;
}
