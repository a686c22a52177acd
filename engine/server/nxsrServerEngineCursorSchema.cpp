// The table cursor's operations on its table as a whole: adding fields and
// indices, dropping indices, renaming fields of result sets, the physical
// sort, copying and deleting all visible records, the named streams, the
// password, bulk index building and the LSN and graveyard queries of table
// caches.
//
// Schema changes, stream writes and the password change run in a
// transaction level of their own (no more nested levels inside it) under
// the exclusive content lock; any failure, the commit's included, rolls the
// level back, and a schema change puts the in-memory dictionary and indices
// engine back as they were. The dictionary is writable only between
// ForceOffReadOnly and the guard that makes it read-only again.
//
// The sort reads and replaces the records inside one level under one
// exclusive content lock, so no other transaction changes the table in
// between; the records change places, so every index is emptied and built
// again from the new records in that same level.
#include <algorithm>
#include <cstring>
#include <vector>

#include "nxsdDataDictionaryFulltext.h"
#include "nxsdValidationEngine.h"
#include "nxsrBlobHandlerBase.h"
#include "nxsrServerEngineCursor.h"
#include "nxsrServerEngineInt.h"
#include "nxsrTableLockContainer.h"
#include "nxsrTimeoutHandling.h"

namespace {

// The cursor's pseudo-reference lock for one call (none for an exclusive
// cursor); released when this call took it.
class TnxSchemaPseudoLock {
 public:
  explicit TnxSchemaPseudoLock(TnxServerTableCursor* aCursor) : cursor_(aCursor) {}
  ~TnxSchemaPseudoLock() {
    if (lock_ == lrGrantedNew)
      cursor_->Table()->Locks()->ReleaseRecordLock(cursor_->LockCursor(), cursor_->SelfRefNr(), nullptr);
  }
  TnxSchemaPseudoLock(const TnxSchemaPseudoLock&) = delete;
  TnxSchemaPseudoLock& operator=(const TnxSchemaPseudoLock&) = delete;
  TnxResult Take() {
    if (cursor_->ShareMode() == smExclusive) return 0;
    lock_ = cursor_->Table()->Locks()->GetRecordLock(cursor_->GetActiveTrans(), cursor_->LockCursor(),
                                                     cursor_->SelfRefNr(), false, cursor_->LockFailureReason());
    if (lock_ >= lrConflictUnknown) return cursor_->sbcLockFailureError(nxErrFileLocked);
    return 0;
  }

 private:
  TnxServerTableCursor* cursor_;
  TnxLockResult lock_ = lrGrantedExisting;
};

// One transaction level of a whole-table operation: rolled back unless
// committed. A failed commit that left the level is rolled back too.
class TnxSchemaLevel {
 public:
  explicit TnxSchemaLevel(TnxServerTableCursor* aCursor) : cursor_(aCursor) {}
  ~TnxSchemaLevel() { Rollback(); }
  TnxSchemaLevel(const TnxSchemaLevel&) = delete;
  TnxSchemaLevel& operator=(const TnxSchemaLevel&) = delete;
  TnxResult Start(bool aOverrideForceFailsafe, bool aOverrideSecurity) {
    const TnxResult result = cursor_->sbcTransactionStart(false, false, aOverrideForceFailsafe, true, false,
                                                          aOverrideSecurity);
    if (result == 0) {
      open_ = true;
      level_ = cursor_->GetActiveTrans()->TransLevel();
    }
    return result;
  }
  TnxResult Commit() {
    const TnxResult result = cursor_->sbcTransactionCommit();
    TnxBaseTransaction* trans = cursor_->GetActiveTrans();
    open_ = result != 0 && trans && trans->TransLevel() == level_;
    return result;
  }
  void Rollback() noexcept {
    if (!std::exchange(open_, false)) return;
    try {
      cursor_->sbcTransactionRollback();
    } catch (...) {
    }
  }
  bool Open() const { return open_; }

 private:
  TnxServerTableCursor* cursor_;
  bool open_ = false;
  TnxBaseTransactionLevel* level_ = nullptr;
};

// Makes the dictionary writable for the scope (read-only again at its end).
class TnxWritableDictionary {
 public:
  explicit TnxWritableDictionary(TnxServerDataDict* aDictionary) : dict_(aDictionary) { dict_->ForceOffReadOnly(); }
  ~TnxWritableDictionary() { ReadOnly(); }
  TnxWritableDictionary(const TnxWritableDictionary&) = delete;
  TnxWritableDictionary& operator=(const TnxWritableDictionary&) = delete;
  void ReadOnly() noexcept {
    try {
      if (!dict_->ReadOnly()) dict_->ForceOnReadOnly();
    } catch (...) {
    }
  }
  void Writable() { dict_->ForceOffReadOnly(); }

 private:
  TnxServerDataDict* dict_;
};

// The own-transaction pattern: state check, pseudo-reference lock when
// asked, a level, the exclusive content lock, aWork, commit. On any failure
// aUndo runs inside the level (the transaction still there), then the level
// is rolled back.
template <class Work, class Undo>
TnxResult schemaOwnTransaction(TnxServerTableCursor* aCursor, bool aPseudoLock, bool aInternal, Work&& aWork,
                         Undo&& aUndo) {
  if (const TnxResult state = aCursor->sbcCheckTransactionState()) return state;
  TnxSchemaPseudoLock pseudo(aCursor);
  if (aPseudoLock)
    if (const TnxResult refused = pseudo.Take()) return refused;
  TnxSchemaLevel level(aCursor);
  const bool overrideSecurity = aCursor->IsResultSet || aCursor->IsUnnamed || aInternal;
  if (const TnxResult started = level.Start(false, overrideSecurity)) return started;
  TnxResult result = 0;
  bool worked = false;
  try {
    result = aCursor->sbcBeginContentLock(true, false, aInternal);
    if (result == 0) {
      worked = true;
      result = aWork(aCursor->GetActiveTrans());
    }
    if (result == 0) result = level.Commit();
  } catch (const std::exception&) {
    result = aCursor->asoConvertException(std::current_exception());
  }
  if (result != 0 && worked) aUndo();
  return result;
}

template <class Work>
TnxResult schemaOwnTransaction(TnxServerTableCursor* aCursor, bool aPseudoLock, bool aInternal, Work&& aWork) {
  return schemaOwnTransaction(aCursor, aPseudoLock, aInternal, std::forward<Work>(aWork), [] {});
}

// Builds every key of aIndices' indices (or of the one index aIndex) from
// the table's records in physical order, through the bulk builders.
TnxResult schemaFillIndices(TnxBaseTransaction* aTrans, TnxServerBaseTable* aTable, TnxBaseIndexEngine* aIndex) {
  TnxBaseIndicesEngine* indices = aTable->IndicesEngine();
  if (!indices) return 0;
  TnxOwned<TnxBaseBulkBuilder> builder(aIndex ? aIndex->CreateBulkBuilder(aTrans) : indices->CreateBulkBuilder(aTrans));
  if (!builder) return 0;
  const TnxMemoryPool& pool = aTable->RecordAllocator();
  PnxRecordBuffer record = static_cast<PnxRecordBuffer>(pool.Alloc());
  struct Dispose {
    const TnxMemoryPool& pool;
    PnxRecordBuffer record;
    ~Dispose() { pool.DisposeDirect(record); }
  } dispose{pool, record};
  PnxRecordBuffer slot = record;
  TnxResult result = 0;
  std::uint32_t seen = 0;
  const TnxRecordIterator put = [&](void*, TnxRefNr aRefNr, PnxRecordBuffer aRecord) -> TnxRecordIteratorResult {
    result = builder->InsertKey(&aRefNr, aRecord, aTrans);
    if (++seen % 1000 == 0) nxCheckTimeout();
    return result == 0 ? rirContinue : rirStop;
  };
  TnxRefNr refNr = 0;
  aTable->RecordEngine()->Iterate(aTrans, refNr, &slot, put, nullptr, nullptr, false, false);
  if (result == 0) result = builder->Finalize(aTrans);
  return result;
}

}  // namespace

// ---- Fields ------------------------------------------------------------------------------

TnxResult TnxServerTableCursor::stcAddField(TnxFieldDescriptor* aFieldDesc) {
  if (const TnxResult state = sbcCheckTransactionState()) return state;
  TnxServerRootTable* root = stcTable->Root();
  TnxServerDataDict* dict = root->Dictionary();
  TnxBaseTableDescriptor* table = stcTable->TableDescriptor();
  TnxFieldsDescriptor* fields = table->FieldsDescriptor();
  if (!aFieldDesc || !stcTable->RecordEngine() || !stcTable->RecordEngine()->CanAddField(aFieldDesc))
    return nxErrNotSupported;
  if (dict->Version() < 3) return nxErrHigherTableLevel;
  if (!table->IsFieldDescValid(aFieldDesc)) return nxErrInvalidFieldDesc;
  if (fields->GetFieldFromName(aFieldDesc->Name()) >= 0) return nxErrNameNotUnique;
  if (fields->FieldCount() - fields->OriginalFieldCount() > 254) return nxErrTooManyFields;
  std::int32_t added = -1;
  auto removeAdded = [&] {
    if (added < 0) return;
    TnxWritableDictionary writable(dict);
    fields->RemoveField(std::exchange(added, -1));
  };
  const TnxResult result = schemaOwnTransaction(
      this, false, false,
      [&](TnxBaseTransaction* aTrans) -> TnxResult {
        TnxWritableDictionary writable(dict);
        fields->AddField(aFieldDesc);
        added = fields->FieldCount() - 1;
        TnxOwned<TnxDataDictionary> copy(dict->Duplicate());
        copy->CheckValid(false);
        if (!copy->IsEqual(dict)) return nxErrNotSupported;
        writable.ReadOnly();
        root->srtUpdateMaxID();
        dict->WriteToFile(root->StreamEngine(), aTrans, nxsr_server_engine_int::kInProcessVersion);
        return 0;
      },
      removeAdded);
  if (result == 0 && root->TableScope() != tsTempUnnamed)
    ServerDatabase()->sdStructureChanged(root->TableScope() == tsPersistent);
  return result;
}

TnxResult TnxServerTableCursor::sbcRenameField(std::int32_t aFieldNo, const nxString& aNewName) {
  TnxServerRootTable* root = stcTable->Root();
  if (root->TableScope() != tsTempUnnamed || root->RootCursorCount() != 1)
    return TnxServerBaseCursor::sbcRenameField(aFieldNo, aNewName);
  TnxFieldsDescriptor* fields = stcTable->FieldsDescriptor();
  if (aFieldNo < 0 || aFieldNo >= fields->FieldCount()) return nxErrInvalidDescNumber;
  const std::int32_t existing = fields->GetFieldFromName(aNewName);
  if (existing >= 0 && existing != aFieldNo) return nxErrNameNotUnique;
  try {
    TnxWritableDictionary writable(root->Dictionary());
    fields->Fields(aFieldNo)->ChangeName(aNewName);
  } catch (const std::exception&) {
    return asoConvertException(std::current_exception());
  }
  return 0;
}

// ---- Indices -----------------------------------------------------------------------------

void TnxServerTableCursor::stcResetSpecialIndexPaths() {
  nxFreeAndNil(stcSeqAccessIndexPath);
  nxFreeAndNil(stcRefNrIndexPath);
  nxFreeAndNil(stcLSNIndexPath);
  stcSeqAccessIndexEngine = stcRefNrIndexEngine = stcLSNIndexEngine = nullptr;
  TnxBaseIndicesEngine* indices = stcTable->IndicesEngine();
  if (!indices) return;
  if (indices->biseSeqIndexEngine) {
    stcSeqAccessIndexEngine = indices->biseSeqIndexEngine;
    stcSeqAccessIndexPath = stcSeqAccessIndexEngine->CreateIndexPath();
    stcRefNrIndexEngine = stcSeqAccessIndexEngine;
    stcRefNrIndexPath = stcSeqAccessIndexEngine->CreateIndexPath();
  }
  // The LSN index is found again by the table's current index list.
  TnxBaseTableDescriptor* descriptor = stcTable->TableDescriptor();
  PnxCacheableInfo info = nullptr;
  descriptor->IsCacheable(info, acStates.contains(acsIsCache) ? tcsIsCache : tcsCacheable, false);
  if (info && info->ciModifyLSNIndex >= 0 && info->ciModifyLSNIndex < indices->IndexCount()) {
    stcLSNIndexEngine = indices->biseGetIndex(info->ciModifyLSNIndex);
    stcLSNIndexPath = stcLSNIndexEngine->CreateIndexPath();
  }
  nxReleaseCacheableInfo(info);
}

TnxResult TnxServerTableCursor::stcAddIndex(TnxIndexDescriptor* aIndexDesc, bool aIsNewDefault) {
  if (const TnxResult state = sbcCheckTransactionState()) return state;
  TnxServerRootTable* root = stcTable->Root();
  TnxServerDataDict* dict = root->Dictionary();
  TnxBaseTableDescriptor* table = stcTable->TableDescriptor();
  if (dict->Version() < 3) return nxErrHigherTableLevel;
  if (!aIndexDesc || !table->IsIndexDescValid(aIndexDesc)) return nxErrInvalidIndexDesc;
  if (TnxMainIndicesDescriptor* list = table->IndicesDescriptor()) {
    if (list->GetIndexFromName(aIndexDesc->Name()) >= 0) return nxErrIndexExists;
    if (list->IndexCount() >= 256) return nxErrTooManyIndices;
  }
  // What a failure puts back.
  const bool hadList = table->IndicesDescriptor() != nullptr;
  const bool hadEngine = stcTable->IndicesEngine() != nullptr;
  const std::int32_t oldDefault = hadList ? table->IndicesDescriptor()->DefaultIndex() : -1;
  const std::int32_t oldID = dict->CurrentID();
  std::int32_t number = -1;
  bool engineChanged = false;
  auto undo = [&] {
    if (number < 0) return;
    try {
      TnxBaseTransaction* trans = GetActiveTrans();
      TnxWritableDictionary writable(dict);
      TnxMainIndicesDescriptor* list = table->IndicesDescriptor();
      if (list->DefaultIndex() != oldDefault && oldDefault < list->IndexCount()) list->SetDefaultIndex(oldDefault);
      list->RemoveIndex(number);
      if (engineChanged) {
        if (!hadEngine) {
          nxFreeAndNil(stcTable->sbtIndicesEngine);
        } else if (stcTable->IndicesEngine()->IndexCount() > number) {
          stcTable->IndicesEngine()->RemoveIndex(trans, number);
        }
      }
      if (!hadList) table->RemoveIndicesDescriptor();
      dict->RestoreID(oldID);
      root->srtUpdateMaxID();
    } catch (...) {
      // The rollback below restores the files; the open table keeps what
      // could not be undone until it is opened again.
    }
    number = -1;
  };
  const TnxResult result = schemaOwnTransaction(
      this, false, false,
      [&](TnxBaseTransaction* aTrans) -> TnxResult {
        {
          TnxWritableDictionary writable(dict);
          TnxMainIndicesDescriptor* list = table->EnsureIndicesDescriptor();
          list->AddIndex(aIndexDesc);
          number = list->IndexCount() - 1;
          if (aIsNewDefault) list->SetDefaultIndex(number);
          dict->IncID();
          writable.ReadOnly();
          root->srtUpdateMaxID();
          dict->WriteToFile(root->StreamEngine(), aTrans, nxsr_server_engine_int::kInProcessVersion);
        }
        engineChanged = true;
        if (TnxBaseIndicesEngine* indices = stcTable->IndicesEngine()) {
          indices->AddIndex(aTrans, number);
          return schemaFillIndices(aTrans, stcTable, indices->biseGetIndex(number));
        }
        stcTable->sbtIndicesEngine = TnxBaseIndicesEngine::CreateEngine(table, stcTable->sbtBlockAccess,
                                                                        stcTable->RecordEngine(), aTrans, true);
        return schemaFillIndices(aTrans, stcTable, nullptr);
      },
      undo);
  if (result != 0) return result;
  stcResetSpecialIndexPaths();
  if (root->TableScope() != tsTempUnnamed) ServerDatabase()->sdStructureChanged(root->TableScope() == tsPersistent);
  return 0;
}

TnxResult TnxServerTableCursor::stcDropIndex(const nxString& aIndexName, std::int32_t aIndexID) {
  if (const TnxResult state = sbcCheckTransactionState()) return state;
  TnxServerRootTable* root = stcTable->Root();
  TnxServerDataDict* dict = root->Dictionary();
  TnxBaseTableDescriptor* table = stcTable->TableDescriptor();
  TnxMainIndicesDescriptor* list = table->IndicesDescriptor();
  std::int32_t number = aIndexID;
  if (!aIndexName.empty()) number = list ? list->GetIndexFromName(aIndexName) : -1;
  if (dict->Version() < 3) return nxErrHigherTableLevel;
  if (!list) return nxErrTableNotIndexed;
  if (number < 0 || number >= list->IndexCount()) return nxErrNoSuchIndex;
  TnxBaseIndicesEngine* indices = stcTable->IndicesEngine();
  TnxBaseIndexEngine* dropped = indices && number < indices->IndexCount() ? indices->biseGetIndex(number) : nullptr;
  if (dropped) {
    // Another cursor standing on the index would keep its freed engine.
    TnxPadlockGuard guard(*stcTable->CursorsPadlock());
    for (TnxServerTableCursor* other = stcTable->CursorsHead(); other; other = other->stcTableNext)
      if (other != this && (other->stcIndexEngine == dropped || other->stcSeqAccessIndexEngine == dropped ||
                            other->stcLSNIndexEngine == dropped || other->stcRefNrIndexEngine == dropped))
        return EnxBaseException::nxSetMessage(
            nxErrNoExclusiveAccess, nxGetOrgPlaceholder() + u" The index is in use by another cursor");
  }
  const TnxResult result = schemaOwnTransaction(this, false, false, [&](TnxBaseTransaction* aTrans) -> TnxResult {
    if (const TnxResult left = sbcSwitchToIndex(nxString(), -1, porFalse)) return left;
    // The paths may stand on the index that goes.
    nxFreeAndNil(stcSeqAccessIndexPath);
    nxFreeAndNil(stcRefNrIndexPath);
    nxFreeAndNil(stcLSNIndexPath);
    stcSeqAccessIndexEngine = stcRefNrIndexEngine = stcLSNIndexEngine = nullptr;
    TnxWritableDictionary writable(dict);
    list->RemoveIndex(number);
    if (indices) indices->RemoveIndex(aTrans, number);
    if (list->IndexCount() == 0) {
      nxFreeAndNil(stcTable->sbtIndicesEngine);
      table->RemoveIndicesDescriptor();
    }
    dict->IncID();
    root->srtUpdateMaxID();
    writable.ReadOnly();
    dict->WriteToFile(root->StreamEngine(), aTrans, nxsr_server_engine_int::kInProcessVersion);
    return 0;
  });
  stcResetSpecialIndexPaths();
  if (result != 0) return result;
  if (TnxMainIndicesDescriptor* remaining = table->IndicesDescriptor(); remaining && stcTable->IndicesEngine())
    sbcSwitchToIndex(nxString(), remaining->DefaultIndex(), porFalse);
  if (root->TableScope() != tsTempUnnamed) ServerDatabase()->sdStructureChanged(root->TableScope() == tsPersistent);
  return 0;
}

// ---- Physical sort -----------------------------------------------------------------------

TnxResult TnxServerTableCursor::stcSortRecords(TnxIndexDescriptor* aIndexDesc) {
  // Full-text indices name records by reference: refused before anything
  // changes.
  if (stcFulltextEngine || stcTable->FulltextEngine() || nxFindFulltextDescriptor(stcTable->TableDescriptor()))
    return EnxBaseException::nxSetMessage(nxErrNotSupported,
                                          u"Sorting is not supported for tables with full-text indices");
  const platform::ClassInfo* sortClass = nxDefaultSortEngineClass.load(std::memory_order_acquire);
  if (!sortClass) return nxErrNotSupported;
  TnxServerRootTable* root = stcTable->Root();
  TnxOwned<TnxBaseSortEngine> sorter;
  try {
    sorter.reset(nxCreateSortEngine(*sortClass, acDatabase, root->Dictionary(), aIndexDesc));
  } catch (const std::exception&) {
    return asoConvertException(std::current_exception());
  }
  if (const TnxResult state = sbcCheckTransactionState()) return state;
  TnxSchemaLevel level(this);
  if (const TnxResult started = level.Start(root->TableScope() != tsPersistent, IsResultSet || IsUnnamed))
    return started;
  TnxResult result = 0;
  try {
    // Exclusive from the first read to the commit: nobody else changes the
    // table between the read and the replacement.
    result = sbcBeginContentLock(true, false, false);
    TnxBaseTransaction* trans = GetActiveTrans();
    if (result == 0) {
      PnxRecordBuffer slot = sbcRecordBuffer;
      const TnxRecordIterator put = [&](void*, TnxRefNr, PnxRecordBuffer aRecord) -> TnxRecordIteratorResult {
        if (const TnxResult refused = sorter->Put(aRecord)) throw EnxServerEngineException(refused);
        return rirContinue;
      };
      // Every record, whatever filter the cursor has.
      result = stcIterate(&slot, TnxKeyIterator(), put, false, nullptr, false, nullptr);
    }
    if (result == 0) {
      stcTable->RecordEngine()->ReplaceAllRecords(trans, [&](PnxRecordBuffer aRecord) { return sorter->Get(aRecord); });
      if (sorter->Get(nullptr) != nxErrEOF) result = nxErrGeneral;
    }
    if (result == 0)
      if (TnxBaseIndicesEngine* indices = stcTable->IndicesEngine()) {
        for (std::int32_t i = 0; i < indices->IndexCount(); ++i) indices->biseGetIndex(i)->DeleteAllKeys(trans);
        result = schemaFillIndices(trans, stcTable, nullptr);
      }
    if (result == 0) result = level.Commit();
  } catch (const std::exception&) {
    result = asoConvertException(std::current_exception());
  }
  if (result != 0) return result;
  stcIndexPath->SetToBof();
  return 0;
}

// ---- Copying records ---------------------------------------------------------------------

TnxResult TnxServerTableCursor::sbcCopyRecords(TnxAbstractCursor* aDestCursor, TnxBlobCopyMode aBlobCopyMode,
                                               std::uint32_t aMaxTransSize, bool aCheckValFields) {
  auto* dest = aDestCursor ? platform::objectAs<TnxServerTableCursor>(aDestCursor) : nullptr;
  if (!dest) return nxErrInvalidHandle;
  if (dest->SessionLock() != SessionLock()) return nxErrDifferentSessions;
  if (dest->stcTable == stcTable) return nxErrSameTable;
  if (dest->acStates.contains(acsIsCache)) return nxErrNotSupported;
  TnxFieldsDescriptor* fields = stcTable->FieldsDescriptor();
  TnxFieldsDescriptor* destFields = dest->stcTable->FieldsDescriptor();
  if (!destFields->HasSameFields(fields, nullptr)) return nxErrIncompatibleDictionaries;

  // Both paths come back whatever happens.
  struct Paths {
    TnxServerTableCursor* source;
    TnxServerTableCursor* dest;
    TnxBaseIndexPath* sourcePath;
    TnxBaseIndexPath* destPath;
    ~Paths() {
      source->stcIndexPath->Assign(sourcePath);
      dest->stcIndexPath->Assign(destPath);
      nxFreeAndNil(sourcePath);
      nxFreeAndNil(destPath);
    }
  } paths{this, dest, stcIndexPath->Duplicate(), dest->stcIndexPath->Duplicate()};

  if (dest->sbcIsReadOnly) return dest->sbcReadOnlyError();
  if (const TnxResult state = dest->sbcCheckTransactionState()) return state;
  if (dest->stcTable->Root()->Dictionary()->Version() < 2) return nxErrHigherTableLevel;
  TnxSchemaPseudoLock pseudo(dest);
  if (const TnxResult refused = pseudo.Take()) return refused;

  TnxSchemaLevel level(dest);
  if (const TnxResult started = level.Start(false, dest->IsResultSet || dest->IsUnnamed)) return started;
  TnxServerBaseTable* destTable = dest->stcTable;
  TnxBaseAutoIncEngine* autoInc = destTable->AutoIncEngine();
  TnxSpecialFieldsInfo* destSFI = destTable->SFI();
  const std::int32_t autoIncField = destSFI ? destSFI->sfiFields[sftAutoInc] : -1;
  const TnxBlobFields noBlobs;
  const TnxBlobFields& blobFields = stcTable->SFI() ? stcTable->SFI()->sfiBlobFields : noBlobs;
  TnxValidationsHandler* validations = aCheckValFields ? dest->ValidationsHandler() : nullptr;
  bool sourceLocked = false;
  sbcDisableFilterTimeout();
  TnxResult result = 0;
  try {
    result = dest->sbcBeginContentLock(true, false, false);
    if (result == 0) {
      result = sbcBeginContentLock(false, false, false);
      sourceLocked = result == 0;
    }
    if (result == 0) {
      stcIndexPath->SetToBof();
      std::uint32_t highest = autoInc ? autoInc->ReadAutoIncValue(dest->GetActiveTrans()) : 0;
      PnxRecordBuffer record = sbcRecordBuffer;
      auto nextLSN = [this]() -> TnxLSN {
        TnxLSN lsn = 1;
        return GetNextLSN(lsn) ? lsn : 1;
      };
      result = sbcRecordGetNext(nxltNoLock, record);
      while (result == 0) {
        TnxBaseTransaction* trans = dest->GetActiveTrans();
        if (validations) {
          try {
            validations->ValidateRecord(nullptr, record);
          } catch (const std::exception&) {
            result = asoConvertException(std::current_exception());
            break;
          }
        }
        for (const std::int32_t field : blobFields) {
          if (fields->IsRecordFieldNull(field, record)) continue;
          TnxBlobNr blobNr = 0;
          bool isNull = false;
          fields->GetRecordField(field, record, isNull, &blobNr);
          TnxBlobNr newNr = 0;
          switch (aBlobCopyMode) {
            case nxbcmNoCopy:
              fields->SetRecordFieldNull(field, record, true);
              continue;
            case nxbcmCopyFull:
              result = dest->sbcBlobCopyPrim(this, field, blobNr, field, newNr, -1);
              break;
            case nxbcmCreateLink:
              // The link names this table: the database resolves it there.
              destTable->BlobEngine()->AddBlobLink(trans, stcTable->FullName(), blobNr, newNr);
              break;
          }
          if (result != 0) break;
          fields->SetRecordField(field, record, &newNr);
        }
        if (result != 0) break;
        const platform::FormatArg before[] = {platform::FormatArg(static_cast<std::int32_t>(nxltNoLock)),
                                              platform::FormatArg(static_cast<const void*>(record)),
                                              platform::FormatArg(static_cast<std::int64_t>(0))};
        result = dest->NotifyExtenders(eaRecordInsert, true, before);
        if (result != 0) break;
        destTable->sbtInitRecRev(record);
        destTable->sbtInitRefNr(record);
        destTable->sbtInitLSNFields(nextLSN, record);
        TnxRefNr refNr = 0;
        destTable->RecordEngine()->AddRecord(trans, refNr, record);
        if (TnxBaseIndicesEngine* indices = destTable->IndicesEngine())
          result = indices->InsertKeys(trans, refNr, record, nullptr);
        if (result == 0 && dest->stcFulltextEngine)
          result = dest->stcFulltextEngine->UpdateIndex(trans, nullptr, 0, record, refNr);
        if (result == 0) result = dest->stcRecordResurrect(refNr, record);
        if (result == 0) {
          const platform::FormatArg after[] = {platform::FormatArg(static_cast<std::int32_t>(nxltNoLock)),
                                               platform::FormatArg(static_cast<const void*>(record)),
                                               platform::FormatArg(static_cast<std::int64_t>(refNr))};
          result = dest->NotifyExtenders(eaRecordInsert, false, after);
        }
        if (result != 0) break;
        if (autoIncField >= 0 && !fields->IsRecordFieldNull(autoIncField, record)) {
          std::uint32_t value = 0;
          bool isNull = false;
          fields->GetRecordField(autoIncField, record, isNull, &value);
          highest = std::max(highest, value);
        }
        if (static_cast<std::int32_t>(aMaxTransSize) > 0 &&
            trans->TransLevel()->BlockCount() > static_cast<std::int32_t>(aMaxTransSize)) {
          if (autoInc) autoInc->SetAutoIncValue(trans, highest);
          if (sourceLocked) {
            sbcEndContentLock();
            sourceLocked = false;
          }
          result = level.Commit();
          if (result == 0) result = level.Start(false, dest->IsResultSet || dest->IsUnnamed);
          if (result == 0) result = dest->sbcBeginContentLock(true, false, false);
          if (result == 0) {
            result = sbcBeginContentLock(false, false, false);
            sourceLocked = result == 0;
          }
          if (result != 0) break;
          if (autoInc) highest = std::max(highest, autoInc->ReadAutoIncValue(dest->GetActiveTrans()));
        }
        result = sbcRecordGetNext(nxltNoLock, record);
      }
      if (result == nxErrEOF) result = 0;
      if (result == 0) {
        if (autoInc) autoInc->SetAutoIncValue(dest->GetActiveTrans(), highest);
        if (sourceLocked) {
          sbcEndContentLock();
          sourceLocked = false;
        }
        result = level.Commit();
      }
    }
  } catch (const std::exception&) {
    result = asoConvertException(std::current_exception());
  }
  if (sourceLocked) sbcEndContentLock();
  sbcEnableFilterTimeout();
  if (result != 0 && !level.Open()) dest->stcMarkCorrupted();
  return result;
}

// ---- Deleting records --------------------------------------------------------------------

TnxResult TnxServerTableCursor::sbcDeleteRecords() {
  if (sbcIsWriteOnly) return sbcWriteOnlyError();
  if (sbcIsReadOnly) return sbcReadOnlyError();
  if (const TnxResult state = sbcCheckTransactionState()) return state;
  TnxBaseTransaction* outer = GetActiveTrans();
  const bool needLevel =
      UseNestedTransaction() || !outer || static_cast<TnxServerTransaction*>(outer)->stForceNested > 0;
  TnxSchemaLevel level(this);
  if (needLevel)
    if (const TnxResult started = level.Start(false, IsResultSet || IsUnnamed)) return started;
  TnxResult result = 0;
  bool written = false;
  sbcDisableFilterTimeout();
  try {
    result = sbcBeginContentLock(true, false, false);
    TnxBaseTransaction* trans = GetActiveTrans();
    TnxTableLockContainer* locks = stcTable->Locks();
    PnxRecordBuffer record = sbcRecordBuffer;
    std::uint64_t count = 0;
    if (result == 0) {
      stcIndexPath->SetToBof();
      result = sbcRecordGetNext(nxltNoLock, record);
    }
    while (result == 0) {
      if (count % 500 == 0) nxCheckTimeout();
      ++count;
      const TnxRefNr refNr = stcIndexPath->RefNr;
      TnxRecID recID = acGetRecID(record);
      recID.ridRefNr = acStates.contains(acsIsCache) ? stcIndexPath->CacheRefNr : refNr;
      const TnxLockResult lock = locks->GetRecordLock(trans, LockCursor(), refNr, false, sbcLockFailureReason);
      if (lock >= lrConflictUnknown) {
        result = sbcLockFailureError(nxErrRecordLockedByOther);
        break;
      }
      struct Release {
        TnxServerTableCursor* cursor;
        TnxTableLockContainer* locks;
        TnxRefNr refNr;
        TnxBaseTransaction* trans;
        bool release;
        ~Release() {
          if (release) locks->ReleaseRecordLock(cursor->LockCursor(), refNr, trans);
        }
      } release{this, locks, refNr, trans, lock == lrGrantedNew};
      const platform::FormatArg args[] = {platform::FormatArg(static_cast<const void*>(record)),
                                          platform::FormatArg(static_cast<std::int64_t>(refNr))};
      result = NotifyExtenders(eaRecordDelete, true, args);
      if (result == 0)
        if (TnxBaseIndicesEngine* indices = stcTable->IndicesEngine())
          result = indices->DeleteKeys(trans, refNr, record, stcIndexPath);
      if (result == 0 && stcFulltextEngine) result = stcFulltextEngine->UpdateIndex(trans, record, refNr, nullptr, 0);
      if (result != 0) break;
      written = true;
      stcTable->RecordEngine()->DeleteRecord(trans, refNr);
      if (!stcIndexEngine) stcIndexPath->SetToDeleted();
      result = NotifyExtenders(eaRecordDelete, false, args);
      if (result == 0) result = stcBlobHandler->AfterDelete(trans, recID, record);
      if (result == 0) result = stcRecordBury(refNr, record);
      if (result != 0) break;
      result = sbcRecordGetNext(nxltNoLock, record);
    }
    if (result == nxErrEOF) result = 0;
    if (result == 0 && level.Open()) result = level.Commit();
  } catch (const std::exception&) {
    result = asoConvertException(std::current_exception());
  }
  sbcEnableFilterTimeout();
  if (result != 0 && written && !level.Open()) stcMarkCorrupted();
  return result;
}

// ---- Named streams -----------------------------------------------------------------------

TnxResult TnxServerTableCursor::sbcTableStreamGetList(platform::TStringList& aStreams, bool aInternal) {
  TnxResult result = 0;
  platform::TStringList names;
  try {
    result = sbcBeginContentLock(false, false, aInternal);
    if (result == 0) {
      struct End {
        TnxServerTableCursor* cursor;
        ~End() { cursor->sbcEndContentLock(); }
      } end{this};
      result = stcTable->Root()->StreamEngine()->GetNamedStreamList(GetActiveTrans(), names);
    }
  } catch (const std::exception&) {
    result = asoConvertException(std::current_exception());
  }
  if (result != 0) {
    aStreams.clear();
    return result;
  }
  // The check's refusals only filter: they leave the thread's message.
  TnxResult keptCode = 0;
  nxString keptMessage;
  EnxBaseException::GetLastConvertedException(keptCode, keptMessage);
  for (int i = names.count() - 1; i >= 0; --i)
    if (nxValidateIdentifier(names.strings(i), nxErrInvalidName, false, aInternal) != 0) names.deleteAt(i);
  EnxBaseException::SetLastConvertedException(keptCode, keptMessage);
  aStreams.assign(names);
  return 0;
}

TnxResult TnxServerTableCursor::sbcTableStreamRead(const nxString& aName, TStream& aStream, bool aInternal) {
  if (const TnxResult invalid = nxValidateIdentifier(aName, nxErrInvalidName, false, aInternal)) return invalid;
  try {
    const TnxResult locked = sbcBeginContentLock(false, false, aInternal);
    if (locked != 0) return locked;
    struct End {
      TnxServerTableCursor* cursor;
      ~End() { cursor->sbcEndContentLock(); }
    } end{this};
    return stcTable->Root()->StreamEngine()->ReadNamedStream(GetActiveTrans(), aName, aStream);
  } catch (const std::exception&) {
    return asoConvertException(std::current_exception());
  }
}

TnxResult TnxServerTableCursor::sbcTableStreamWrite(const nxString& aName, TStream& aStream, bool aInternal) {
  if (const TnxResult invalid = nxValidateIdentifier(aName, nxErrInvalidName, false, aInternal)) return invalid;
  return schemaOwnTransaction(this, true, aInternal, [&](TnxBaseTransaction* aTrans) {
    return stcTable->Root()->StreamEngine()->WriteNamedStream(aTrans, aName, aStream);
  });
}

TnxResult TnxServerTableCursor::sbcTableStreamDelete(const nxString& aName, bool aInternal) {
  if (const TnxResult invalid = nxValidateIdentifier(aName, nxErrInvalidName, false, aInternal)) return invalid;
  return schemaOwnTransaction(this, true, aInternal, [&](TnxBaseTransaction* aTrans) {
    return stcTable->Root()->StreamEngine()->DeleteNamedStream(aTrans, aName);
  });
}

// ---- Password ----------------------------------------------------------------------------

TnxResult TnxServerTableCursor::sbcChangePassword(const nxString& aNewPassword) {
  if (sbcIsReadOnly) return sbcReadOnlyError();
  return schemaOwnTransaction(this, true, false, [&](TnxBaseTransaction* aTrans) {
    return stcTable->Root()->srtChangePassword(aTrans, aNewPassword);
  });
}

// ---- Bulk builder ------------------------------------------------------------------------

TnxResult TnxServerTableCursor::stcCreateBulkBuilder(TnxBaseBulkBuilder*& aBulkBuilder) {
  aBulkBuilder = nullptr;
  TnxBaseIndicesEngine* indices = stcTable->IndicesEngine();
  if (!indices) return 0;
  try {
    aBulkBuilder = indices->CreateBulkBuilder(GetActiveTrans());
    return 0;
  } catch (const std::exception&) {
    return asoConvertException(std::current_exception());
  }
}

// ---- LSN queries of table caches ---------------------------------------------------------

TnxLSN TnxServerTableCursor::stcGetCurrentLSN() { return stcTable->sbtCurrentLSN(GetActiveTrans()); }

TnxResult TnxServerTableCursor::stcContainsLSNRefNr(TnxLSN& aLSN, TnxRefNr& aRefNr) {
  if (sbcIsWriteOnly) {
    const TnxResult refused = sbcWriteOnlyError();
    return refused ? refused : nxErrInsufficientRights;
  }
  TnxSpecialFieldsInfo* sfi = stcTable->SFI();
  const std::int32_t lsnField = sfi ? sfi->sfiFields[sftModifyLSN] : -1;
  TnxFieldsDescriptor* fields = stcTable->FieldsDescriptor();
  const bool isCache = acStates.contains(acsIsCache);
  if (!sbcRecordBuffer2) sbcRecordBuffer2 = static_cast<PnxRecordBuffer>(stcTable->RecordAllocator().Alloc());
  PnxRecordBuffer record = sbcRecordBuffer2;
  auto withKey = [&](TnxBaseIndexEngine* aIndex, auto&& aFill) -> TnxResult {
    TnxBaseKeyEngine* keys = aIndex->bieKeyEngine.get();
    PnxKeyBuffer key = keys->AllocKey();
    struct Free {
      TnxBaseKeyEngine* keys;
      PnxKeyBuffer key;
      ~Free() { keys->FreeKey(key); }
    } freeKey{keys, key};
    return aFill(keys, key);
  };
  try {
    if (aLSN != 0 && stcLSNIndexPath && lsnField >= 0) {
      const TnxResult locked = sbcBeginContentLock(false, false, false);
      if (locked != 0) return locked;
      struct End {
        TnxServerTableCursor* cursor;
        ~End() { cursor->sbcEndContentLock(); }
      } end{this};
      return withKey(stcLSNIndexEngine, [&](TnxBaseKeyEngine* aKeys, PnxKeyBuffer aKey) -> TnxResult {
        fields->InitRecord(record);
        const std::int64_t lsn = static_cast<std::int64_t>(aLSN);
        fields->SetRecordField(lsnField, record, &lsn);
        aKeys->BuildKey(record, aKey, 0, true);
        if (!stcLSNIndexEngine->FindKey(GetActiveTrans(), aKey, 0, 0, 0, stcLSNIndexPath, skaAnyEqual, nullptr) ||
            !stcLSNIndexPath->IsOnKey())
          return nxErrRecordNotFound;
        const TnxRefNr found = isCache ? stcLSNIndexPath->CacheRefNr : stcLSNIndexPath->RefNr;
        if (aRefNr != 0) return found == aRefNr ? 0 : nxErrKeyOrRecDeleted;
        aRefNr = found;
        return 0;
      });
    }
    if (aRefNr != 0 && stcRefNrIndexPath) {
      const TnxResult locked = sbcBeginContentLock(false, false, false);
      if (locked != 0) return locked;
      struct End {
        TnxServerTableCursor* cursor;
        ~End() { cursor->sbcEndContentLock(); }
      } end{this};
      return withKey(stcRefNrIndexEngine, [&](TnxBaseKeyEngine* aKeys, PnxKeyBuffer aKey) -> TnxResult {
        TnxBaseTransaction* trans = GetActiveTrans();
        fields->InitRecord(record);
        aKeys->BuildKey(record, aKey, aRefNr, true);
        if (!stcRefNrIndexEngine->FindKey(trans, aKey, 0, 0, 0, stcRefNrIndexPath, skaAnyEqual, nullptr) ||
            !stcRefNrIndexPath->IsOnKey())
          return nxErrRecordNotFound;
        stcTable->RecordEngine()->ReadRecord(trans, stcRefNrIndexPath->RefNr, record);
        if (lsnField < 0 || fields->IsRecordFieldNull(lsnField, record)) return 0;
        std::int64_t stored = 0;
        bool isNull = false;
        fields->GetRecordField(lsnField, record, isNull, &stored);
        if (aLSN != 0) return static_cast<TnxLSN>(stored) == aLSN ? 0 : nxErrKeyOrRecDeleted;
        aLSN = static_cast<TnxLSN>(stored);
        return 0;
      });
    }
  } catch (const std::exception&) {
    return asoConvertException(std::current_exception());
  }
  return nxErrNoAssociatedIndex;
}

namespace {

// What stcGetDeletedRecords collects.
struct TnxDeletedRecordsCookie {
  TnxRecordCacheInfos* infos;
  std::size_t count;
  std::size_t max;
};

}  // namespace

TnxKeyIteratorResult TnxServerTableCursor::stcGetDeletedRecordsKeyIterator(void* aCookie, TnxRefNr aRefNr,
                                                                           PnxKeyBuffer aKey) {
  auto& cookie = *static_cast<TnxDeletedRecordsCookie*>(aCookie);
  if (cookie.count >= cookie.max) return kirStop;
  TnxRecordCacheInfos& infos = *cookie.infos;
  if (cookie.count == infos.size()) infos.resize(std::min(cookie.max, std::max<std::size_t>(1, infos.size() * 2)));
  std::int64_t lsn = 0;
  std::memcpy(&lsn, aKey, sizeof lsn);
  infos[cookie.count].rciRefNr = aRefNr;
  infos[cookie.count].rciModifyLSN = static_cast<TnxLSN>(lsn);
  ++cookie.count;
  return cookie.count >= cookie.max ? kirStop : kirSkipKey;
}

TnxResult TnxServerTableCursor::stcGetDeletedRecords(TnxLSN aFromLSN, TnxRecordCacheInfos& aCacheInfos,
                                                     std::int32_t aMaxCount, TnxLSN* aCurrentLSN) {
  aCacheInfos.clear();
  if (aCurrentLSN) *aCurrentLSN = 0;
  if (sbcIsWriteOnly) {
    const TnxResult refused = sbcWriteOnlyError();
    return refused ? refused : nxErrInsufficientRights;
  }
  if (!stcGraveyardLSNIndexPath) return nxErrNoAssociatedIndex;
  if (aMaxCount <= 0) return 0;
  try {
    const TnxResult locked = sbcBeginContentLock(false, false, false);
    if (locked != 0) return locked;
    struct End {
      TnxServerTableCursor* cursor;
      ~End() { cursor->sbcEndContentLock(); }
    } end{this};
    const auto max = static_cast<std::size_t>(aMaxCount);
    aCacheInfos.resize(std::min<std::size_t>(max, 1048576));
    TnxDeletedRecordsCookie cookie{&aCacheInfos, 0, max};
    std::int64_t from = static_cast<std::int64_t>(aFromLSN);
    TnxRangeInfo start;
    if (aFromLSN != 0) {
      start.riKey = &from;
      start.riFieldCount = 1;
      start.riExclusive = true;
      start.riValid = true;
    }
    bool stopped = false;
    const TnxKeyIterator keys = [&](void* aCookie, TnxRefNr aRefNr, PnxKeyBuffer aKey) {
      const TnxKeyIteratorResult answer = stcGetDeletedRecordsKeyIterator(aCookie, aRefNr, aKey);
      stopped = answer == kirStop;
      return answer;
    };
    PnxRecordBuffer slot = sbcRecordBuffer;
    stcGraveyardLSNIndexPath->SetToBof();
    stcGraveyardLSNIndexEngine->Iterate(GetActiveTrans(), stcGraveyardLSNIndexPath, slot, keys, TnxRecordIterator(),
                                        &cookie, start, TnxRangeInfo(), nullptr, nullptr, false);
    aCacheInfos.resize(cookie.count);
    if (cookie.count == 0 && !stopped) return nxErrEOF;
    if (aCurrentLSN) *aCurrentLSN = stopped ? aCacheInfos.back().rciModifyLSN : stcGetCurrentLSN();
    return 0;
  } catch (const std::exception&) {
    aCacheInfos.clear();
    return asoConvertException(std::current_exception());
  }
}
