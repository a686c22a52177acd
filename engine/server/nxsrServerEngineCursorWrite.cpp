// The table cursor's changes: insert (and insert or change), modify, delete,
// the batch insert and the graveyard of deleted references.
//
// Every change runs under an exclusive content lock inside the caller's
// transaction or an implicit one that the primitive starts and ends itself.
// Inside a caller's transaction a failure after the record engine wrote is
// undone by hand: the record and, once the indices engine succeeded, its
// keys too; when that undo fails the context is marked corrupted so that the
// caller can only roll back. The pseudo-reference lock, the saved path, a
// newly taken record lock and the implicit level are released by guards on
// every way out.
//
// The BLOB handler is asked before an insert, around a change and after a
// delete; while it has pending state the change runs in a level of its own.
#include <cstring>
#include <vector>

#include "nxsdDefaultValueEngine.h"
#include "nxsdServerEngineBatchStream.h"
#include "nxsdValidationEngine.h"
#include "nxsrBlobHandlerBase.h"
#include "nxsrServerEngineCursor.h"
#include "nxsrServerEngineInt.h"
#include "nxsrTableLockContainer.h"
#include "nxsrTimeoutHandling.h"

namespace {

bool writeFilterActive(TnxBaseFilterEngine* aFilter) { return aFilter && aFilter->GetActive(); }

// The cursor's pseudo-reference lock for one call; released when this call
// took it.
class TnxPseudoRefLockGuard {
 public:
  TnxPseudoRefLockGuard(TnxServerTableCursor* aCursor, TnxTableLockContainer* aLocks, TnxRefNr aSelfRefNr)
      : cursor_(aCursor), locks_(aLocks), refNr_(aSelfRefNr) {}
  ~TnxPseudoRefLockGuard() {
    if (lock_ == lrGrantedNew) locks_->ReleaseRecordLock(cursor_->LockCursor(), refNr_, nullptr);
  }
  TnxPseudoRefLockGuard(const TnxPseudoRefLockGuard&) = delete;
  TnxPseudoRefLockGuard& operator=(const TnxPseudoRefLockGuard&) = delete;
  TnxResult Take() {
    if (cursor_->ShareMode() == smExclusive) return 0;
    lock_ = locks_->GetRecordLock(cursor_->GetActiveTrans(), cursor_->LockCursor(), refNr_, false,
                                  cursor_->LockFailureReason());
    if (lock_ >= lrConflictUnknown) return cursor_->sbcLockFailureError(nxErrFileLocked);
    return 0;
  }

 private:
  TnxServerTableCursor* cursor_;
  TnxTableLockContainer* locks_;
  TnxRefNr refNr_;
  TnxLockResult lock_ = lrGrantedExisting;
};

// A record lock that this call took; released at the end unless kept.
class TnxChangeRecordLock {
 public:
  TnxChangeRecordLock(TnxServerTableCursor* aCursor, TnxTableLockContainer* aLocks)
      : cursor_(aCursor), locks_(aLocks) {}
  ~TnxChangeRecordLock() {
    if (release_) locks_->ReleaseRecordLock(cursor_->LockCursor(), refNr_, releaseTrans_);
  }
  TnxChangeRecordLock(const TnxChangeRecordLock&) = delete;
  TnxChangeRecordLock& operator=(const TnxChangeRecordLock&) = delete;
  // 0 or aConflictCode through the cursor's lock failure message.
  TnxResult Take(TnxRefNr aRefNr, TnxResult aConflictCode) {
    refNr_ = aRefNr;
    lock_ = locks_->GetRecordLock(cursor_->GetActiveTrans(), cursor_->LockCursor(), aRefNr, false,
                                  cursor_->LockFailureReason());
    if (lock_ >= lrConflictUnknown) return cursor_->sbcLockFailureError(aConflictCode);
    taken_ = true;
    release_ = lock_ == lrGrantedNew;
    return 0;
  }
  // The record now under the path: the one locked before the content lock
  // (if the path moved since, there is no current record), else locked now.
  TnxResult HoldCurrent(TnxRefNr aCurrent, TnxRefNr aLockedBefore, TnxResult aConflictCode) {
    if (taken_) return aCurrent == aLockedBefore ? 0 : nxErrNoCurrentRecord;
    if (aCurrent == 0) return nxErrNoCurrentRecord;
    return Take(aCurrent, aConflictCode);
  }
  bool Taken() const { return taken_; }
  TnxRefNr RefNr() const { return refNr_; }
  // The lock stays with the cursor after the call.
  void Keep() { release_ = false; }
  // Released at the end, also when it was held before the call.
  void ReleaseAtEnd(TnxBaseTransaction* aTrans) {
    release_ = taken_;
    releaseTrans_ = aTrans;
  }
  void SetReleaseTrans(TnxBaseTransaction* aTrans) { releaseTrans_ = aTrans; }

 private:
  TnxServerTableCursor* cursor_;
  TnxTableLockContainer* locks_;
  TnxRefNr refNr_ = 0;
  TnxLockResult lock_ = lrGrantedExisting;
  bool taken_ = false;
  bool release_ = false;
  TnxBaseTransaction* releaseTrans_ = nullptr;
};

// One step whose exception becomes its code and takes the normal failure
// path (validation, keys, full text).
template <class Step>
TnxResult convertedStep(TnxServerTableCursor* aCursor, Step&& aStep) {
  try {
    return aStep();
  } catch (const std::exception&) {
    return aCursor->asoConvertException(std::current_exception());
  }
}

const char16_t* const kVisibilityTexts[] = {
    u" Record outside current range. Record not inserted",
    u" Record does not match active filter. Record not inserted",
    u" Record does not match active key filter. Record not inserted",
    u" Record does not match filter on conditional index. Record not inserted",
};

}  // namespace

// The implicit transaction (or level) of one change: rolled back unless
// committed.
class TnxImplicitTransaction {
 public:
  explicit TnxImplicitTransaction(TnxServerTableCursor* aCursor) : cursor_(aCursor) {}
  ~TnxImplicitTransaction() { Rollback(); }
  TnxImplicitTransaction(const TnxImplicitTransaction&) = delete;
  TnxImplicitTransaction& operator=(const TnxImplicitTransaction&) = delete;
  TnxResult Start(bool aBlobHandlerNested) {
    TnxBaseTransaction* trans = cursor_->GetActiveTrans();
    const bool needed = cursor_->UseNestedTransaction() || aBlobHandlerNested || !trans ||
                        static_cast<TnxServerTransaction*>(trans)->stForceNested > 0;
    if (!needed) return 0;
    const TnxResult result = cursor_->sbcTransactionStart(false, false, false, !cursor_->UseNestedTransaction(),
                                                          false, cursor_->IsResultSet || cursor_->IsUnnamed);
    started_ = result == 0;
    return result;
  }
  TnxResult Commit() {
    if (!started_) return 0;
    started_ = false;
    const TnxResult result = cursor_->sbcTransactionCommit();
    // A failed commit leaves the level for the rollback.
    if (result != 0 && cursor_->GetActiveTrans()) started_ = true;
    return result;
  }
  void Rollback() noexcept {
    if (!started_) return;
    started_ = false;
    rolledBack_ = true;
    try {
      cursor_->sbcTransactionRollback();
    } catch (...) {
    }
  }
  bool Started() const { return started_; }
  bool RolledBack() const { return rolledBack_; }

 private:
  TnxServerTableCursor* cursor_;
  bool started_ = false;
  bool rolledBack_ = false;
};

// A copy of the cursor's path, freed on every way out.
class TnxSavedPath {
 public:
  TnxSavedPath() = default;
  ~TnxSavedPath() { nxFreeAndNil(copy_); }
  TnxSavedPath(const TnxSavedPath&) = delete;
  TnxSavedPath& operator=(const TnxSavedPath&) = delete;
  void Save(TnxBaseIndexPath* aPath) {
    if (copy_)
      copy_->Assign(aPath);
    else
      copy_ = aPath->Duplicate();
  }
  void RestoreTo(TnxBaseIndexPath* aPath) {
    if (copy_) aPath->Assign(copy_);
  }
  TnxBaseIndexPath* Path() const { return copy_; }
  bool Saved() const { return copy_ != nullptr; }

 private:
  TnxBaseIndexPath* copy_ = nullptr;
};

// ---- Shared pieces -----------------------------------------------------------------------

void TnxServerTableCursor::SetFulltextEngine(TnxBaseFulltextCursorEngine* aEngine) {
  nxFreeAndNil(stcFulltextEngine);
  stcFulltextEngine = aEngine;
}

void TnxServerTableCursor::stcMarkCorrupted() noexcept {
  try {
    static_cast<TnxServerTransContext*>(sbcTransContextObject)->stcTransactionMarkCorrupted();
  } catch (...) {
  }
}

bool TnxServerTableCursor::stcRecordFilterAccepts(const void* aRecord) {
  if (!writeFilterActive(sbcFilter)) return true;
  sbcBeginReadOrgOverride();
  struct End {
    TnxServerTableCursor* cursor;
    ~End() { cursor->sbcEndReadOrgOverride(); }
  } end{this};
  return sbcFilter->MatchesBuffer(aRecord);
}

bool TnxServerTableCursor::stcKeyFilterAccepts(const void* aKey) {
  return !writeFilterActive(sbcKeyFilter) || sbcKeyFilter->MatchesBuffer(aKey);
}

TnxResult TnxServerTableCursor::stcVisible(PnxRecordBuffer aData, bool aInsertTexts) {
  auto refuse = [&](std::size_t aWhich) -> TnxResult {
    if (!aInsertTexts) return nxErrRecordLockFailed;
    return EnxBaseException::nxSetMessage(nxErrRecordLockFailed, nxGetOrgPlaceholder() + kVisibilityTexts[aWhich]);
  };
  TnxResult built = 0;
  if (stcIndexEngine) {
    built = BuildKey(aData, stcKeyBuffer, false);
    if (built != 0 && built != 1) return built;
    if (built == 0 && stcRangeTest(stcKeyBuffer) != 0) return refuse(0);
  }
  if (!stcRecordFilterAccepts(aData)) return refuse(1);
  if (stcIndexEngine && built == 0 && !stcKeyFilterAccepts(stcKeyBuffer)) return refuse(2);
  if (built == 1) return refuse(3);
  return 0;
}

// After a change: a record the cursor can no longer show leaves it on a
// deleted mark at the old place.
void TnxServerTableCursor::stcCorrectPathAfterChange(PnxRecordBuffer aData, const TnxSavedPath& aSaved) {
  bool hide = stcIndexPath->KeyValid && stcRangeTest(stcIndexPath->Key) != 0;
  if (!hide && stcIndexPath->IsOnKey())
    hide = !stcRecordFilterAccepts(aData) || (stcIndexPath->KeyValid && !stcKeyFilterAccepts(stcIndexPath->Key));
  if (!hide) return;
  if (aSaved.Path()) stcIndexPath->Assign(aSaved.Path());
  stcIndexPath->SetToDeleted();
}

// ---- Insert ------------------------------------------------------------------------------

TnxResult TnxServerTableCursor::sbcRecordInsert(TnxLockType aLockType, TnxInsertOptions aInsertOptions,
                                                PnxRecordBuffer aData, std::int64_t* aAutoInc) {
  if (aAutoInc) *aAutoInc = -1;
  if (sbcIsReadOnly) return sbcReadOnlyError();
  if (const TnxResult state = sbcCheckTransactionState()) return state;
  TnxPseudoRefLockGuard pseudo(this, stcTable->Locks(), stcSelfRefNr);
  if (const TnxResult refused = pseudo.Take()) return refused;
  TnxImplicitTransaction implicit(this);
  if (const TnxResult started = implicit.Start(stcBlobHandler->NeedNested())) return started;
  if (const TnxResult locked = sbcBeginContentLock(true, false, false)) return locked;

  TnxFieldsDescriptor* fields = stcTable->FieldsDescriptor();
  TnxSpecialFieldsInfo* sfi = stcTable->SFI();
  const bool isCache = stcTable->IsCache();
  const std::int32_t autoIncField = sfi ? sfi->sfiFields[sftAutoInc] : -1;
  bool autoIncAssigned = false;
  std::uint32_t previousAutoInc = 0;
  TnxSavedPath saved;
  TnxResult result = 0;
  try {
    TnxBaseTransaction* trans = GetActiveTrans();
    if (aInsertOptions.contains(ioSetDefault))
      if (TnxDefaultValueHandler* defaults = sbcDefaultValueHandler()) defaults->SetDefaultValuesInsert(aData);
    if (aInsertOptions.contains(ioModifyIfFound)) {
      bool handled = false;
      result = stcInsertOrChange(aLockType, aInsertOptions, aData, implicit, handled);
      if (handled) return result;
    }
    if (!isCache && autoIncField >= 0 && aInsertOptions.contains(ioSetAutoInc) && stcTable->AutoIncEngine()) {
      bool isNull = false;
      std::uint32_t value = 0;
      fields->GetRecordField(autoIncField, aData, isNull, &value);
      if (isNull || value == 0) {
        value = stcTable->AutoIncEngine()->NextAutoIncValue(trans, &previousAutoInc);
        fields->SetRecordField(autoIncField, aData, &value);
        autoIncAssigned = true;
        if (aAutoInc) *aAutoInc = value;
      }
    }
    const platform::FormatArg before[] = {platform::FormatArg(static_cast<std::int32_t>(aLockType)),
                                          platform::FormatArg(static_cast<const void*>(aData)),
                                          platform::FormatArg(static_cast<std::int64_t>(0))};
    result = NotifyExtenders(eaRecordInsert, true, before);
    if (result == 0) result = stcBlobHandler->BeforeInsert(trans, aData);
    if (result == 0) {
      auto nextLSN = [this]() -> TnxLSN {
        TnxLSN lsn = 1;
        return GetNextLSN(lsn) ? lsn : 1;
      };
      stcTable->sbtInitRefNr(aData);
      stcTable->sbtInitRecRev(aData);
      stcTable->sbtInitLSNFields(nextLSN, aData);
      if (aInsertOptions.contains(ioValidate))
        if (TnxValidationsHandler* validations = sbcValidationsHandler)
          result = convertedStep(this, [&] {
            validations->ValidateRecord(nullptr, aData);
            return TnxResult(0);
          });
    }
    if (result == 0 && aLockType != nxltNoLock) result = stcVisible(aData, true);
    if (result == 0) result = stcInsertWrite(trans, aData, implicit.Started(), saved, autoIncAssigned,
                                             previousAutoInc);
    if (result == 0 && aLockType != nxltNoLock) {
      if (!stcIndexPath->IsOnKey()) {
        result = nxErrRecordLockFailed;
      } else {
        const TnxLockResult lock = stcTable->Locks()->GetRecordLock(trans, LockCursor(), stcIndexPath->RefNr, true,
                                                                    sbcLockFailureReason);
        if (lock >= lrConflictUnknown) result = sbcLockFailureError(nxErrRecordLockFailed);
      }
      if (result != 0) stcMarkCorrupted();
    }
    if (result == 0) {
      const platform::FormatArg after[] = {platform::FormatArg(static_cast<std::int32_t>(aLockType)),
                                           platform::FormatArg(static_cast<const void*>(aData)),
                                           platform::FormatArg(static_cast<std::int64_t>(stcIndexPath->RefNr))};
      result = NotifyExtenders(eaRecordInsert, false, after);
      if (result != 0) stcMarkCorrupted();
    }
    if (result == 0) result = implicit.Commit();
    if (result == 0) stcMoveIntoRange();
  } catch (const std::exception&) {
    result = asoConvertException(std::current_exception());
    if (!implicit.Started()) stcMarkCorrupted();
  }
  if (result != 0) {
    implicit.Rollback();
    saved.RestoreTo(stcIndexPath);
    if (autoIncAssigned) fields->SetRecordFieldNull(autoIncField, aData, true);
    if (aAutoInc) *aAutoInc = -1;
  }
  return result;
}

// Steps 10 to 14 of an insert: record, keys, full text, graveyard, and the
// undo by hand inside a caller's transaction.
TnxResult TnxServerTableCursor::stcInsertWrite(TnxBaseTransaction* aTrans, PnxRecordBuffer aData, bool aImplicit,
                                               TnxSavedPath& aSaved, bool aAutoIncAssigned,
                                               std::uint32_t aPreviousAutoInc) {
  TnxRefNr refNr = 0;
  stcTable->RecordEngine()->AddRecord(aTrans, refNr, aData);
  aSaved.Save(stcIndexPath);
  bool keysWritten = false;
  TnxResult result = convertedStep(this, [&]() -> TnxResult {
    if (TnxBaseIndicesEngine* indices = stcTable->IndicesEngine()) {
      const TnxResult inserted = indices->InsertKeys(aTrans, refNr, aData, stcIndexPath);
      keysWritten = inserted == 0;
      return inserted;
    }
    return stcIndexPath->SetToRecord(aData, refNr);
  });
  if (result == 0 && stcFulltextEngine)
    result = convertedStep(this, [&] { return stcFulltextEngine->UpdateIndex(aTrans, nullptr, 0, aData, refNr); });
  if (result == 0) result = convertedStep(this, [&] { return stcRecordResurrect(refNr, aData); });
  if (result != 0 && !aImplicit) {
    try {
      // The indices engine undoes a failed InsertKeys itself; keys that it
      // wrote go with the record.
      if (keysWritten) {
        TnxBaseIndexPath* scratch = stcIndexEngine ? stcIndexEngine->CreateIndexPath() : nullptr;
        struct Free {
          TnxBaseIndexPath*& path;
          ~Free() { nxFreeAndNil(path); }
        } freeScratch{scratch};
        if (stcTable->IndicesEngine()->DeleteKeys(aTrans, refNr, aData, scratch) != 0) stcMarkCorrupted();
      }
      stcTable->RecordEngine()->DeleteRecord(aTrans, refNr);
      if (aAutoIncAssigned) sbcAutoIncSetDirect(aPreviousAutoInc);
    } catch (const std::exception&) {
      stcMarkCorrupted();
    }
  }
  return result;
}

// ioModifyIfFound: aHandled tells whether the insert became a change (its
// result is then the call's); otherwise a plain insert follows.
TnxResult TnxServerTableCursor::stcInsertOrChange(TnxLockType aLockType, TnxInsertOptions& aInsertOptions,
                                                  PnxRecordBuffer aData, TnxImplicitTransaction& aImplicit,
                                                  bool& aHandled) {
  aHandled = false;
  aInsertOptions.exclude(ioModifyIfFound);
  if (!stcIndexEngine || (stcIndexEngine->bieDups && !stcIndexEngine->bieDupsNullOnly)) return 0;
  TnxBaseKeyEngine* keys = stcIndexEngine->bieKeyEngine.get();
  if (BuildKey(aData, stcKeyBuffer, false) != 0) return 0;
  if (stcIndexEngine->bieDupsNullOnly && keys->KeyContainsNulls(stcKeyBuffer)) return 0;
  TnxBaseTransaction* trans = GetActiveTrans();
  TnxSavedPath saved;
  saved.Save(stcIndexPath);
  if (!stcIndexEngine->FindKey(trans, stcKeyBuffer, 0, 0, 0, stcIndexPath, skaAnyEqual, nullptr)) {
    saved.RestoreTo(stcIndexPath);
    return 0;
  }
  aHandled = true;
  aInsertOptions.exclude(ioSetAutoInc);
  const TnxRefNr refNr = stcIndexPath->RefNr;
  TnxChangeRecordLock lock(this, stcTable->Locks());
  auto fail = [&](TnxResult aResult) {
    aImplicit.Rollback();
    saved.RestoreTo(stcIndexPath);
    return aResult;
  };
  if (const TnxResult refused = lock.Take(refNr, nxErrRecordLockFailed)) return fail(refused);
  TnxRecID recID{};
  recID.ridRefNr = acStates.contains(acsIsCache) ? stcIndexPath->CacheRefNr : refNr;
  if (stcIndexPath->KeyValid && !stcKeyFilterAccepts(stcIndexPath->Key)) return fail(nxErrNoCurrentRecord);
  PnxRecordBuffer stored = sbcRecordBuffer;
  stcTable->RecordEngine()->ReadRecord(trans, refNr, stored);
  if (!stcRecordFilterAccepts(stored)) return fail(nxErrNoCurrentRecord);
  if (!acStates.contains(acsIsCache)) {
    auto nextLSN = [this]() -> TnxLSN {
      TnxLSN lsn = 1;
      return GetNextLSN(lsn) ? lsn : 1;
    };
    TnxResult special = stcTable->sbtCheckRefNr(stored, aData, true, refNr);
    if (special == 0) special = stcTable->sbtCheckRecRev(stored, aData, true);
    if (special == 0) special = stcTable->sbtCheckLSNFields(nextLSN, stored, true, aData);
    if (special != 0) return fail(special);
  } else {
    TnxRecordCacheInfo storedInfo{}, newInfo{};
    if (ExtractCacheInfo(stored, storedInfo) == 0 && ExtractCacheInfo(aData, newInfo) == 0 &&
        storedInfo.rciRefNr == newInfo.rciRefNr && storedInfo.rciModifyLSN == newInfo.rciModifyLSN) {
      // Nothing to write: the cursor stays on the found record.
      aImplicit.Rollback();
      return 0;
    }
  }
  const bool noLock = aLockType == nxltNoLock;
  const platform::FormatArg args[] = {platform::FormatArg(static_cast<const void*>(aData)),
                                      platform::FormatArg(static_cast<const void*>(stored)),
                                      platform::FormatArg(static_cast<std::int32_t>(noLock)),
                                      platform::FormatArg(static_cast<std::int64_t>(refNr))};
  TnxResult result = NotifyExtenders(eaRecordModify, true, args);
  if (result != 0) return fail(result);
  recID.ridInsertLSN = acGetRecID(stored).ridInsertLSN;
  result = stcBlobHandler->BeforeModify(trans, recID, stored, aData);
  if (result != 0) return fail(result);
  if (aInsertOptions.contains(ioValidate))
    if (TnxValidationsHandler* validations = sbcValidationsHandler)
      result = convertedStep(this, [&] {
        validations->ValidateRecord(stored, aData);
        return TnxResult(0);
      });
  if (result == 0 && !noLock) result = stcVisible(aData, true);
  if (result != 0) return fail(result);
  TnxSavedPath keyPath;
  result = stcUpdateWrite(trans, refNr, stored, aData, aImplicit.Started(), false, keyPath);
  if (result != 0) return fail(result);
  stcCorrectPathAfterChange(aData, keyPath);
  if (!noLock) {
    if (!stcIndexPath->IsOnKey()) {
      result = nxErrRecordLockFailed;
    } else {
      const TnxLockResult kept =
          stcTable->Locks()->GetRecordLock(trans, LockCursor(), stcIndexPath->RefNr, true, sbcLockFailureReason);
      if (kept >= lrConflictUnknown) result = sbcLockFailureError(nxErrRecordLockFailed);
    }
    if (result != 0) {
      stcMarkCorrupted();
      return fail(result);
    }
  }
  result = NotifyExtenders(eaRecordModify, false, args);
  if (result == 0) result = stcBlobHandler->AfterModify(trans, recID, stored, aData);
  if (result != 0) {
    stcMarkCorrupted();
    return fail(result);
  }
  result = aImplicit.Commit();
  if (result != 0) return fail(result);
  // A lock the caller asked for stays; one taken only for the change goes.
  if (noLock)
    lock.SetReleaseTrans(GetActiveTrans());
  else
    lock.Keep();
  return 0;
}

// Record, keys and full text of a change of the stored record at aRefNr;
// inside a caller's transaction a failure writes the stored record (and its
// keys) back. aValidateAfterWrite: the validation runs between the record
// and the keys (a modify), else the caller validated before.
TnxResult TnxServerTableCursor::stcUpdateWrite(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, PnxRecordBuffer aStored,
                                               PnxRecordBuffer aData, bool aImplicit, bool aValidateAfterWrite,
                                               TnxSavedPath& aSaved) {
  stcTable->RecordEngine()->UpdateRecord(aTrans, aRefNr, aData, nullptr);
  TnxResult result = 0;
  if (aValidateAfterWrite)
    if (TnxValidationsHandler* validations = sbcValidationsHandler)
      result = convertedStep(this, [&] {
        validations->ValidateRecord(aStored, aData);
        return TnxResult(0);
      });
  bool keysWritten = false;
  TnxBaseIndicesEngine* indices = stcTable->IndicesEngine();
  if (result == 0) {
    aSaved.Save(stcIndexPath);
    if (indices)
      result = convertedStep(this, [&]() -> TnxResult {
        const TnxResult updated = indices->UpdateKeys(aTrans, aRefNr, aStored, aRefNr, aData, stcIndexPath);
        keysWritten = updated == 0;
        return updated;
      });
  }
  if (result == 0 && stcFulltextEngine)
    result = convertedStep(this,
                           [&] { return stcFulltextEngine->UpdateIndex(aTrans, aStored, aRefNr, aData, aRefNr); });
  if (result != 0 && !aImplicit) {
    try {
      if (keysWritten) {
        TnxBaseIndexPath* scratch = stcIndexEngine ? stcIndexEngine->CreateIndexPath() : nullptr;
        struct Free {
          TnxBaseIndexPath*& path;
          ~Free() { nxFreeAndNil(path); }
        } freeScratch{scratch};
        if (indices->UpdateKeys(aTrans, aRefNr, aData, aRefNr, aStored, scratch) != 0) stcMarkCorrupted();
      }
      stcTable->RecordEngine()->UpdateRecord(aTrans, aRefNr, aStored, nullptr);
    } catch (const std::exception&) {
      stcMarkCorrupted();
    }
  }
  return result;
}

// ---- Modify ------------------------------------------------------------------------------

TnxResult TnxServerTableCursor::sbcRecordModify(PnxRecordBuffer aData, bool aReleaseLock, PnxRecordDiff aDataDiff) {
  if (sbcIsWriteOnly) {
    const TnxResult refused = sbcWriteOnlyError();
    return refused ? refused : nxErrNoCurrentRecord;
  }
  if (aDataDiff && !acStates.contains(acsIsCacheable)) return nxErrInvalidParam;
  if (sbcIsReadOnly) return sbcReadOnlyError();
  if (const TnxResult state = sbcCheckTransactionState()) return state;
  if (!aDataDiff) {
    if (TnxDefaultValueHandler* defaults = sbcDefaultValueHandler()) defaults->SetDefaultValuesModify(aData);
    if (!aReleaseLock)
      if (const TnxResult hidden = stcVisible(aData, false)) return hidden;
  }
  if (const TnxResult state = stcIndexPath->CheckCurrentState()) return state;
  TnxChangeRecordLock lock(this, stcTable->Locks());
  const TnxRefNr lockedRefNr = stcIndexPath->RefNr;
  if (lockedRefNr != 0)
    if (const TnxResult refused = lock.Take(lockedRefNr, nxErrRecordLockFailed)) return refused;
  TnxImplicitTransaction implicit(this);
  TnxResult result = implicit.Start(stcBlobHandler->NeedNested());
  bool contentLocked = false;
  TnxSavedPath saved;
  if (result == 0) {
    result = sbcBeginContentLock(true, false, false);
    contentLocked = result == 0;
  }
  try {
    TnxBaseTransaction* trans = GetActiveTrans();
    if (result == 0) result = stcCheckPosition(trans);
    if (result == 0) result = lock.HoldCurrent(stcIndexPath->RefNr, lockedRefNr, nxErrRecordLockFailed);
    const TnxRefNr refNr = stcIndexPath->RefNr;
    TnxRecID recID{};
    recID.ridRefNr = acStates.contains(acsIsCache) ? stcIndexPath->CacheRefNr : refNr;
    if (result == 0 && stcIndexPath->KeyValid && !stcKeyFilterAccepts(stcIndexPath->Key))
      result = nxErrNoCurrentRecord;
    PnxRecordBuffer stored = sbcRecordBuffer;
    if (result == 0) {
      stcTable->RecordEngine()->ReadRecord(trans, refNr, stored);
      if (!stcRecordFilterAccepts(stored)) result = nxErrNoCurrentRecord;
    }
    if (result == 0 && aDataDiff) result = stcApplyDiff(stored, aData, *aDataDiff, aReleaseLock);
    if (result == 0) {
      auto nextLSN = [this]() -> TnxLSN {
        TnxLSN lsn = 1;
        return GetNextLSN(lsn) ? lsn : 1;
      };
      result = stcTable->sbtCheckRefNr(stored, aData, false, refNr);
      if (result == 0) result = stcTable->sbtCheckRecRev(stored, aData, false);
      if (result == 0) result = stcTable->sbtCheckLSNFields(nextLSN, stored, false, aData);
    }
    const platform::FormatArg args[] = {platform::FormatArg(static_cast<const void*>(aData)),
                                        platform::FormatArg(static_cast<const void*>(stored)),
                                        platform::FormatArg(static_cast<std::int32_t>(aReleaseLock)),
                                        platform::FormatArg(static_cast<std::int64_t>(refNr))};
    if (result == 0) result = NotifyExtenders(eaRecordModify, true, args);
    if (result == 0) {
      recID.ridInsertLSN = acGetRecID(aData).ridInsertLSN;
      result = stcBlobHandler->BeforeModify(trans, recID, stored, aData);
      if (result == 0) result = stcUpdateWrite(trans, refNr, stored, aData, implicit.Started(), true, saved);
    }
    if (result == 0) {
      stcCorrectPathAfterChange(aData, saved);
      if (!aReleaseLock) {
        if (!stcIndexPath->IsOnKey()) {
          result = nxErrRecordLockFailed;
        } else {
          const TnxLockResult kept =
              stcTable->Locks()->GetRecordLock(trans, LockCursor(), stcIndexPath->RefNr, true, sbcLockFailureReason);
          if (kept >= lrConflictUnknown) result = sbcLockFailureError(nxErrRecordLockFailed);
        }
        if (result != 0) stcMarkCorrupted();
      }
    }
    if (result == 0) {
      result = NotifyExtenders(eaRecordModify, false, args);
      if (result == 0) result = stcBlobHandler->AfterModify(trans, recID, stored, aData);
      if (result != 0) stcMarkCorrupted();
    }
    if (result == 0) result = implicit.Commit();
  } catch (const std::exception&) {
    result = asoConvertException(std::current_exception());
    if (!implicit.Started()) stcMarkCorrupted();
  }
  if (result != 0) {
    implicit.Rollback();
    saved.RestoreTo(stcIndexPath);
    lock.SetReleaseTrans(contentLocked && !implicit.RolledBack() ? GetActiveTrans() : nullptr);
  } else if (aReleaseLock) {
    lock.ReleaseAtEnd(GetActiveTrans());
  } else {
    lock.Keep();
  }
  return result;
}

// aData := the stored record with the difference applied (words whose bit
// is set come from the difference); then the BLOB batch, the full copy,
// the modify defaults and the visibility rule.
TnxResult TnxServerTableCursor::stcApplyDiff(PnxRecordBuffer aStored, PnxRecordBuffer aData,
                                             const TnxRecordDiff& aDiff, bool aReleaseLock) {
  if (!aDiff.rdDiff) return nxErrInvalidParam;
  TnxDiffCompressorInfo* dci = DCI();
  if (!dci) return nxErrInvalidParam;
  const auto length = static_cast<std::size_t>(stcTable->FieldsDescriptor()->RecordLength());
  const std::uint8_t* bits = aDiff.rdDiff;
  const std::uint8_t* words = aDiff.rdDiff + dci->dciBitsLengthByte8s;
  auto* target = static_cast<std::uint8_t*>(aData);
  const auto* source = static_cast<const std::uint8_t*>(aStored);
  for (std::size_t word = 0; word < dci->dciSourceWord32Count; ++word) {
    const std::size_t offset = word * 4;
    const std::size_t count = std::min<std::size_t>(4, length - offset);
    if (bits[word / 8] & (1u << (word % 8))) {
      std::memcpy(target + offset, words, count);
      words += 4;
    } else {
      std::memcpy(target + offset, source + offset, count);
    }
  }
  if (aDiff.rdBlobBatch.rdbbRequest && aDiff.rdBlobBatch.rdbbReply)
    if (const TnxResult applied = BlobBatchApply(aData, *aDiff.rdBlobBatch.rdbbRequest, aDiff.rdBlobBatch.rdbbReply))
      return applied;
  if (aDiff.rdFull) std::memcpy(aDiff.rdFull, aData, length);
  if (TnxDefaultValueHandler* defaults = sbcDefaultValueHandler()) defaults->SetDefaultValuesModify(aData);
  return aReleaseLock ? 0 : stcVisible(aData, false);
}

// ---- Delete ------------------------------------------------------------------------------

TnxResult TnxServerTableCursor::sbcRecordDelete(PnxRecordBuffer aData, TnxLSN aLSN) {
  if (sbcIsWriteOnly) {
    const TnxResult refused = sbcWriteOnlyError();
    return refused ? refused : nxErrNoCurrentRecord;
  }
  TnxSpecialFieldsInfo* sfi = stcTable->SFI();
  const std::int32_t modifyLSNField = sfi ? sfi->sfiFields[sftModifyLSN] : -1;
  if (aLSN != 0 && modifyLSNField < 0) return nxErrNotSupported;
  if (!aData) aData = sbcRecordBuffer;
  if (sbcIsReadOnly) return sbcReadOnlyError();
  if (const TnxResult state = sbcCheckTransactionState()) return state;
  if (const TnxResult state = stcIndexPath->CheckCurrentState()) return state;
  TnxChangeRecordLock lock(this, stcTable->Locks());
  const TnxRefNr lockedRefNr = stcIndexPath->RefNr;
  if (lockedRefNr != 0)
    if (const TnxResult refused = lock.Take(lockedRefNr, nxErrRecordLockedByOther)) return refused;
  TnxImplicitTransaction implicit(this);
  TnxResult result = implicit.Start(false);
  bool contentLocked = false;
  TnxSavedPath saved;
  try {
    if (result == 0) {
      result = sbcBeginContentLock(true, false, false);
      contentLocked = result == 0;
    }
    TnxBaseTransaction* trans = GetActiveTrans();
    if (result == 0) result = stcCheckPosition(trans);
    if (result == 0) result = lock.HoldCurrent(stcIndexPath->RefNr, lockedRefNr, nxErrRecordLockedByOther);
    const TnxRefNr refNr = stcIndexPath->RefNr;
    TnxRecID recID{};
    recID.ridRefNr = acStates.contains(acsIsCache) ? stcIndexPath->CacheRefNr : refNr;
    if (result == 0 && stcIndexPath->KeyValid && !stcKeyFilterAccepts(stcIndexPath->Key))
      result = nxErrNoCurrentRecord;
    if (result == 0) stcTable->RecordEngine()->ReadRecord(trans, refNr, aData);
    if (result == 0 && aLSN != 0) {
      bool isNull = false;
      TnxLSN stored = 0;
      stcTable->FieldsDescriptor()->GetRecordField(modifyLSNField, aData, isNull, &stored);
      if (!isNull && stored != 0 && stored != aLSN) result = nxErrNoCurrentRecord;
    }
    if (result == 0) {
      recID.ridInsertLSN = acGetRecID(aData).ridInsertLSN;
      if (!stcRecordFilterAccepts(aData)) result = nxErrNoCurrentRecord;
    }
    const platform::FormatArg args[] = {platform::FormatArg(static_cast<const void*>(aData)),
                                        platform::FormatArg(static_cast<std::int64_t>(refNr))};
    if (result == 0) result = NotifyExtenders(eaRecordDelete, true, args);
    if (result == 0) {
      saved.Save(stcIndexPath);
      if (TnxBaseIndicesEngine* indices = stcTable->IndicesEngine())
        result = convertedStep(this, [&] { return indices->DeleteKeys(trans, refNr, aData, stcIndexPath); });
      if (result == 0 && stcFulltextEngine) {
        result = convertedStep(this, [&] { return stcFulltextEngine->UpdateIndex(trans, aData, refNr, nullptr, 0); });
        if (result != 0) stcMarkCorrupted();
      }
    }
    if (result == 0) {
      try {
        stcTable->RecordEngine()->DeleteRecord(trans, refNr);
        if (!stcIndexEngine) stcIndexPath->SetToDeleted();
        result = NotifyExtenders(eaRecordDelete, false, args);
        if (result == 0) result = stcBlobHandler->AfterDelete(trans, recID, aData);
        if (result == 0) result = stcRecordBury(refNr, aData);
      } catch (const std::exception&) {
        result = asoConvertException(std::current_exception());
      }
      if (result != 0) stcMarkCorrupted();
    }
    if (result == 0) result = implicit.Commit();
  } catch (const std::exception&) {
    result = asoConvertException(std::current_exception());
    if (!implicit.Started()) stcMarkCorrupted();
  }
  if (result != 0) {
    implicit.Rollback();
    saved.RestoreTo(stcIndexPath);
    lock.SetReleaseTrans(contentLocked && !implicit.RolledBack() ? GetActiveTrans() : nullptr);
  } else {
    // The record is gone: so is its lock, also one held before the call.
    lock.ReleaseAtEnd(GetActiveTrans());
  }
  return result;
}

// ---- Batch insert ------------------------------------------------------------------------

// Every entry and every BLOB it names lies inside the stream; 9986 else.
TnxResult TnxServerTableCursor::stcCheckBatchStream(const std::uint8_t* aBase, std::uint64_t aSize,
                                                    std::int32_t& aCount) {
  aCount = 0;
  if (aSize < nxBatchStreamHeaderSize) return nxErrInvalidParam;
  const auto count = static_cast<std::int32_t>(nxBatchGetU32(aBase + 4));
  if (count < 0) return nxErrInvalidParam;
  TnxFieldsDescriptor* fields = stcTable->FieldsDescriptor();
  const auto recordLength = static_cast<std::uint64_t>(fields->RecordLength());
  TnxSpecialFieldsInfo* sfi = stcTable->SFI();
  std::vector<std::uint8_t> record(recordLength + 16);
  std::uint64_t position = nxBatchStreamHeaderSize;
  for (std::int32_t i = 0; i < count; ++i) {
    if (aSize - position < 4) return nxErrInvalidParam;
    const std::uint64_t entrySize = nxBatchGetU32(aBase + position);
    position += 4;
    if (entrySize < recordLength || entrySize > aSize - position) return nxErrInvalidParam;
    std::memcpy(record.data(), aBase + position, recordLength);
    if (sfi)
      for (const std::int32_t field : sfi->sfiBlobFields) {
        if (fields->IsRecordFieldNull(field, record.data())) continue;
        std::uint64_t offset = 0;
        bool isNull = false;
        fields->GetRecordField(field, record.data(), isNull, &offset);
        if (offset > aSize || aSize - offset < 4) return nxErrInvalidParam;
        const std::uint64_t length = nxBatchGetU32(aBase + offset);
        if (length > aSize - offset - 4) return nxErrInvalidParam;
      }
    position += entrySize;
  }
  aCount = count;
  return 0;
}

TnxResult TnxServerTableCursor::sbcRecordInsertBatch(TnxMemoryStream* aStream) {
  if (const TnxResult state = sbcCheckTransactionState()) return state;
  const auto* base = static_cast<const std::uint8_t*>(aStream->Memory());
  const auto size = static_cast<std::uint64_t>(aStream->Size());
  std::int32_t count = 0;
  if (const TnxResult invalid = stcCheckBatchStream(base, size, count)) return invalid;
  TnxPseudoRefLockGuard pseudo(this, stcTable->Locks(), stcSelfRefNr);
  if (const TnxResult refused = pseudo.Take()) return refused;
  TnxImplicitTransaction implicit(this);
  if (const TnxResult started = implicit.Start(stcBlobHandler->NeedNested())) return started;
  TnxResult result = sbcBeginContentLock(true, false, false);
  TnxFieldsDescriptor* fields = stcTable->FieldsDescriptor();
  TnxSpecialFieldsInfo* sfi = stcTable->SFI();
  const auto recordLength = static_cast<std::size_t>(fields->RecordLength());
  const std::int32_t autoIncField = sfi ? sfi->sfiFields[sftAutoInc] : -1;
  std::vector<std::uint8_t> buffer(recordLength + 16);
  auto* record = static_cast<PnxRecordBuffer>(buffer.data());
  try {
    TnxBaseTransaction* trans = GetActiveTrans();
    std::uint64_t position = nxBatchStreamHeaderSize;
    auto nextLSN = [this]() -> TnxLSN {
      TnxLSN lsn = 1;
      return GetNextLSN(lsn) ? lsn : 1;
    };
    for (std::int32_t left = count; result == 0 && left > 0;) {
      const std::uint32_t entrySize = nxBatchGetU32(base + position);
      std::memcpy(record, base + position + 4, recordLength);
      if (sfi)
        for (const std::int32_t field : sfi->sfiBlobFields) {
          if (fields->IsRecordFieldNull(field, record)) continue;
          std::uint64_t offset = 0;
          bool isNull = false;
          fields->GetRecordField(field, record, isNull, &offset);
          const std::uint32_t length = nxBatchGetU32(base + offset);
          if (length == 0) {
            fields->SetRecordFieldNull(field, record, true);
            continue;
          }
          TnxBlobNr blobNr = 0;
          stcTable->BlobEngine()->AddBlob(trans, blobNr);
          stcTable->BlobEngine()->Write(trans, blobNr, 0, length, base + offset + 4);
          fields->SetRecordField(field, record, &blobNr);
        }
      if (sbcInsertOptions.contains(ioSetDefault))
        if (TnxDefaultValueHandler* defaults = sbcDefaultValueHandler()) defaults->SetDefaultValuesInsert(record);
      if (sbcInsertOptions.contains(ioSetAutoInc) && !stcTable->IsCache() && autoIncField >= 0 &&
          stcTable->AutoIncEngine()) {
        bool isNull = false;
        std::uint32_t value = 0;
        fields->GetRecordField(autoIncField, record, isNull, &value);
        if (isNull || value == 0) {
          std::uint32_t previous = 0;
          value = stcTable->AutoIncEngine()->NextAutoIncValue(trans, &previous);
          fields->SetRecordField(autoIncField, record, &value);
        }
      }
      const platform::FormatArg before[] = {platform::FormatArg(static_cast<std::int32_t>(nxltNoLock)),
                                            platform::FormatArg(static_cast<const void*>(record)),
                                            platform::FormatArg(static_cast<std::int64_t>(0))};
      result = NotifyExtenders(eaRecordInsert, true, before);
      if (result == 0) result = stcBlobHandler->BeforeInsert(trans, record);
      if (result != 0) break;
      stcTable->sbtInitRefNr(record);
      stcTable->sbtInitRecRev(record);
      stcTable->sbtInitLSNFields(nextLSN, record);
      if (sbcInsertOptions.contains(ioValidate))
        if (TnxValidationsHandler* validations = sbcValidationsHandler) validations->ValidateRecord(nullptr, record);
      TnxRefNr refNr = 0;
      stcTable->RecordEngine()->AddRecord(trans, refNr, record);
      if (TnxBaseIndicesEngine* indices = stcTable->IndicesEngine())
        result = indices->InsertKeys(trans, refNr, record, nullptr);
      if (result == 0 && stcFulltextEngine) result = stcFulltextEngine->UpdateIndex(trans, nullptr, 0, record, refNr);
      if (result == 0) result = stcRecordResurrect(refNr, record);
      if (result == 0) {
        const platform::FormatArg after[] = {platform::FormatArg(static_cast<std::int32_t>(nxltNoLock)),
                                             platform::FormatArg(static_cast<const void*>(record)),
                                             platform::FormatArg(static_cast<std::int64_t>(refNr))};
        result = NotifyExtenders(eaRecordInsert, false, after);
      }
      position += 4 + static_cast<std::uint64_t>(entrySize);
      --left;
      if (left % 100 == 0) nxCheckTimeout();
    }
    if (result == 0) result = implicit.Commit();
  } catch (const std::exception&) {
    result = asoConvertException(std::current_exception());
  }
  if (result != 0) {
    if (implicit.Started())
      implicit.Rollback();
    else
      stcMarkCorrupted();
  }
  return result;
}

// ---- Graveyard ---------------------------------------------------------------------------

TnxResult TnxServerTableCursor::stcRecordBury(TnxRefNr aRefNr, PnxRecordBuffer /*aData*/) {
  if (!stcGraveyardLSNIndexPath || !stcGraveyardRefNrIndexPath) return 0;
  TnxBaseTransaction* trans = GetActiveTrans();
  TnxLSN lsn = 0;
  bool added = true;
  if (GetNextLSN(lsn)) {
    std::int64_t key = static_cast<std::int64_t>(lsn);
    added = stcGraveyardLSNIndexEngine->InsertKey(trans, &key, aRefNr, 0, stcGraveyardLSNIndexPath);
  }
  if (added) {
    std::int64_t key = static_cast<std::int64_t>(aRefNr);
    added = stcGraveyardRefNrIndexEngine->InsertKey(trans, &key, static_cast<TnxRefNr>(lsn), 0,
                                                    stcGraveyardRefNrIndexPath);
  }
  if (added) return 0;
  return EnxBaseException::nxSetMessage(
      nxErrTransactionCorrupt, u"The graveyard is corrupted. Could not add deleted RefNr and LSN to graveyard.");
}

TnxResult TnxServerTableCursor::stcRecordResurrect(TnxRefNr aRefNr, PnxRecordBuffer /*aData*/) {
  if (!stcGraveyardLSNIndexPath || !stcGraveyardRefNrIndexPath) return 0;
  TnxBaseTransaction* trans = GetActiveTrans();
  std::int64_t refKey = static_cast<std::int64_t>(aRefNr);
  if (!stcGraveyardRefNrIndexEngine->FindKey(trans, &refKey, 0, 0, 0, stcGraveyardRefNrIndexPath, skaAnyEqual,
                                             nullptr))
    return 0;
  const TnxRefNr storedLSN = stcGraveyardRefNrIndexPath->RefNr;
  bool done = stcGraveyardRefNrIndexEngine->DeleteKey(trans, &refKey, storedLSN, 0, stcGraveyardRefNrIndexPath);
  if (done) {
    std::int64_t lsnKey = static_cast<std::int64_t>(storedLSN);
    done = stcGraveyardLSNIndexEngine->FindKey(trans, &lsnKey, 0, 0, 0, stcGraveyardLSNIndexPath, skaAnyEqual,
                                               nullptr) &&
           stcGraveyardLSNIndexEngine->DeleteKey(trans, &lsnKey, stcGraveyardLSNIndexPath->RefNr, 0,
                                                 stcGraveyardLSNIndexPath);
  }
  if (done) return 0;
  return EnxBaseException::nxSetMessage(
      nxErrTransactionCorrupt,
      u"The graveyard is corrupted. Could not remove previously deleted RefNr and LSN from graveyard.");
}
