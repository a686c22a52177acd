#include "nxsrServerEngineCursor.h"

#include "nxsdDataDictionaryRefInt.h"
#include "nxsdValidationEngine.h"
#include "nxsrBlobHandlerBase.h"
#include "nxseRefIntEngine.h"
#include "nxsrServerEngineInt.h"
#include "nxsrTableLockContainer.h"
#include "nxsrTimeoutHandling.h"

PL_CLASS_INFO_IMPL(TnxServerTableCursor, TnxServerBaseCursor, "TnxServerTableCursor", nullptr)

namespace {

const char16_t* const kShareModeNames[] = {u"smExclusive", u"smShared", u"smShareRead"};

constexpr TnxRefNr kSelfRefNrHigh = TnxRefNr(0x7FFFFFFF) << 32;

void freePath(TnxBaseIndexPath*& aPath) noexcept { nxFreeAndNil(aPath); }

// The referential-integrity engine takes its arguments as 64-bit words:
// pointers and integers as they are, anything else as 0.
std::uint64_t notifyArgOf(const platform::FormatArg& aArg) {
  switch (aArg.kind()) {
    case platform::FormatArg::Kind::Int32:
    case platform::FormatArg::Kind::Int64:
      return static_cast<std::uint64_t>(aArg.asInt64());
    case platform::FormatArg::Kind::UInt64:
    case platform::FormatArg::Kind::Pointer:
      return aArg.asUInt64();
    default:
      return 0;
  }
}

}  // namespace

// ---- Construction ------------------------------------------------------------------------

TnxOpenMode TnxServerTableCursor::stcOpenModeFor(TnxServerBaseTable* aTable, TnxOpenMode aOpenMode) {
  // A root whose files could only be opened for reading makes every
  // cursor on it read-only.
  return aTable->Root()->OpenMode() == omReadOnly ? omReadOnly : aOpenMode;
}

TnxServerTableCursor::TnxServerTableCursor(TnxServerDatabase* aDatabase, TnxServerBaseTable* aTable,
                                           std::uint32_t aTimeout, TnxOpenMode aOpenMode, TnxShareMode aShareMode,
                                           const nxString& aIndexName, std::int32_t aIndexID, bool aBlobCache,
                                           bool aInternal)
    : TnxServerBaseCursor(aDatabase, aTimeout, stcOpenModeFor(aTable, aOpenMode), aDatabase->TransContext()) {
  if (aInternal) BeginIgnoreSecurity();
  stcTable = aTable;
  stcSelfRefNr = kSelfRefNrHigh + static_cast<std::uint32_t>(GetRemoteID());
  TnxBaseTableDescriptor* descriptor = aTable->TableDescriptor();
  if (descriptor->CachingState() == tcsIsCache) acStates.include(acsIsCache);
  const bool isCache = acStates.contains(acsIsCache);
  if (descriptor->IsCacheable(acCacheableInfo, isCache ? tcsIsCache : tcsCacheable, false))
    acStates.include(acsIsCacheable);
  if (isCache && !acStates.contains(acsIsCacheable))
    throw EnxServerEngineException(10756, u"Cache Table is not Cacheable");
  stcShareMode = aShareMode;
  sbcRecordBuffer = static_cast<PnxRecordBuffer>(aTable->RecordAllocator().Alloc());
  acInitFieldsInfo();
  try {
    sbcSetUpHandlers();
    TnxBaseIndicesEngine* indices = aTable->IndicesEngine();
    TnxBaseIndicesEngine* internal = aTable->InternalIndicesEngine();
    if ((indices && indices->biseNLSVersionChanged) || (internal && internal->biseNLSVersionChanged))
      sbcMarkReadonlyWith(nxErrHigherTableLevel,
                          u"Table contains one or more indices where NLS version of stored keys differs from "
                          u"current NLS version. Table must be packed to enable write access");
    stcCreateBlobHandler(aBlobCache);
    if (!isCache) {
      stcFulltextEngine = TnxBaseFulltextCursorEngine::CreateFor(aTable->FulltextEngine(), this);
      if (TnxRefIntegrityDescriptor* refInt = nxFindRefIntegrityDescriptor(descriptor))
        stcRefIntEngine = platform::create<TnxRefIntegrityEngine>(refInt, this);
    }
    const std::int32_t defaultIndex =
        indices && descriptor->IndicesDescriptor() ? descriptor->IndicesDescriptor()->DefaultIndex() : -1;
    if (aIndexID < 0) aIndexID = defaultIndex;
    stcAttachToTable();
    if (sbcSwitchToIndex(aIndexName, aIndexID, porFalse) != 0)
      if (sbcSwitchToIndex(nxString(), defaultIndex, porFalse) != 0) sbcSwitchToIndex(nxString(), -1, porFalse);
    if (!stcIndexPath) stcIndexPath = TnxBaseIndexPath::CreateStandalone();
    if (indices) {
      if (indices->biseSeqIndexEngine) {
        stcSeqAccessIndexEngine = indices->biseSeqIndexEngine;
        stcSeqAccessIndexPath = stcSeqAccessIndexEngine->CreateIndexPath();
        stcRefNrIndexEngine = stcSeqAccessIndexEngine;
        stcRefNrIndexPath = stcSeqAccessIndexEngine->CreateIndexPath();
      }
      if (acCacheableInfo && acCacheableInfo->ciModifyLSNIndex >= 0 &&
          acCacheableInfo->ciModifyLSNIndex < indices->IndexCount()) {
        stcLSNIndexEngine = indices->biseGetIndex(acCacheableInfo->ciModifyLSNIndex);
        stcLSNIndexPath = stcLSNIndexEngine->CreateIndexPath();
      }
    }
    if (internal && !isCache && acCacheableInfo) {
      const std::int32_t lsn = acCacheableInfo->ciGraveyardLSNIndex;
      const std::int32_t ref = acCacheableInfo->ciGraveyardRefNrIndex;
      if (lsn >= 0 && lsn < internal->IndexCount()) {
        stcGraveyardLSNIndexEngine = internal->biseGetIndex(lsn);
        stcGraveyardLSNIndexPath = stcGraveyardLSNIndexEngine->CreateIndexPath();
      }
      if (ref >= 0 && ref < internal->IndexCount()) {
        stcGraveyardRefNrIndexEngine = internal->biseGetIndex(ref);
        stcGraveyardRefNrIndexPath = stcGraveyardRefNrIndexEngine->CreateIndexPath();
      }
    }
  } catch (...) {
    stcFreeBlobHandler();
    stcFreeKeys();
    stcFreePaths();
    stcFreeEngines();
    stcDetachFromTable();
    throw;
  }
}

TnxServerTableCursor* TnxServerTableCursor::CreateResultSet(TnxServerDatabase* aDatabase,
                                                            TnxDataDictionary* aDictionary, std::uint32_t aTimeout) {
  TnxServerFolder* folder = aDatabase->Folder();
  folder->LockTables();
  struct Unlock {
    TnxServerFolder* folder;
    ~Unlock() { folder->UnlockTables(); }
  } unlock{folder};
  // Block size 0: the storage engine chooses.
  TnxFilesDescriptor* files = aDictionary->FilesDescriptor();
  for (std::int32_t i = 0; i < files->FileCount(); ++i) files->Files(i)->SetBlockSize(nxbs4k);
  TnxOwned<TnxServerDataDict> own;
  auto* dictionary = platform::objectAs<TnxServerDataDict>(aDictionary);
  if (!dictionary) {
    own.reset(platform::create<TnxServerDataDict>());
    own->Assign(aDictionary);
    dictionary = own.get();
  }
  TnxServerRootTable* table = nullptr;
  const TnxResult result = folder->sfTableCreate(nxString(), nxString(), false, dictionary, tsTempUnnamed, table);
  if (result != 0) throw EnxServerEngineException(result);
  // The table is unused until its cursor attaches: the counter keeps the
  // cleanup away meanwhile.
  table->sbtLockIsInactive.fetch_add(1);
  struct Drop {
    TnxServerRootTable* table;
    ~Drop() { table->sbtLockIsInactive.fetch_sub(1); }
  };
  TnxServerTableCursor* cursor = nullptr;
  try {
    Drop drop{table};
    cursor = platform::create<TnxServerTableCursor>(aDatabase, table, aTimeout, omReadWrite, smExclusive, nxString(),
                                                    -1, false, true);
  } catch (...) {
    if (table->srtIsInactive(false, false, 0)) platform::TObject::free(table);
    throw;
  }
  cursor->IsUnnamed = true;
  return cursor;
}

void TnxServerTableCursor::stcAttachToTable() {
  TnxServerBaseTable* table = stcTable;
  TnxServerRootTable* root = table->Root();
  // The padlocks of a tree are taken one at a time: the inactivity test
  // holds the root's while it takes its children's. The root counts the
  // cursor before any chain shows it, so the test never misses it.
  {
    TnxPadlockGuard rootGuard(*root->sbtCursorsPadlock);
    root->srtCursorOpened();
  }
  TnxPadlockGuard guard(*table->sbtCursorsPadlock);
  stcTablePrev = table->sbtCursorsTail;
  stcTableNext = nullptr;
  if (stcTablePrev)
    stcTablePrev->stcTableNext = this;
  else
    table->sbtCursorsHead = this;
  table->sbtCursorsTail = this;
  table->sbtCursorCount.fetch_add(1, std::memory_order_acq_rel);
  stcAttached = true;
}

void TnxServerTableCursor::stcDetachFromTable() noexcept {
  TnxServerBaseTable* table = std::exchange(stcTable, nullptr);
  if (!table) return;
  if (!std::exchange(stcAttached, false)) return;
  TnxServerRootTable* root = table->Root();
  table->sbtLockIsInactive.fetch_add(1);
  bool freeRoot = false;
  {
    TnxPadlockGuard guard(*table->sbtCursorsPadlock);
    if (stcTablePrev)
      stcTablePrev->stcTableNext = stcTableNext;
    else
      table->sbtCursorsHead = stcTableNext;
    if (stcTableNext)
      stcTableNext->stcTablePrev = stcTablePrev;
    else
      table->sbtCursorsTail = stcTablePrev;
    stcTablePrev = stcTableNext = nullptr;
    table->sbtCursorCount.fetch_sub(1, std::memory_order_acq_rel);
  }
  {
    // Only the root's padlock: the test below takes its children's next.
    TnxPadlockGuard rootGuard(*root->sbtCursorsPadlock);
    root->srtCursorClosed();
    freeRoot = root->srtIsInactive(false, false, 1) && !root->Destroying() && root->TableScope() == tsTempUnnamed;
  }
  if (!freeRoot) {
    table->sbtLockIsInactive.fetch_sub(1);
    return;
  }
  TnxServerFolder* folder = root->Folder();
  folder->LockTables();
  table->sbtLockIsInactive.fetch_sub(1);
  if (root->srtIsInactive(false, false, 0)) platform::TObject::free(root);
  folder->UnlockTables();
}

void TnxServerTableCursor::stcAllocKeys() {
  if (!stcIndexEngine || !stcIndexEngine->bieKeyEngine) return;
  TnxBaseKeyEngine* keys = stcIndexEngine->bieKeyEngine.get();
  stcKeyBuffer = keys->AllocKey();
  stcRangeStart.riKey = keys->AllocKey();
  stcRangeEnd.riKey = keys->AllocKey();
}

void TnxServerTableCursor::stcFreeKeys() noexcept {
  if (stcIndexEngine && stcIndexEngine->bieKeyEngine) {
    TnxBaseKeyEngine* keys = stcIndexEngine->bieKeyEngine.get();
    if (stcKeyBuffer) keys->FreeKey(stcKeyBuffer);
    if (stcRangeStart.riKey) keys->FreeKey(stcRangeStart.riKey);
    if (stcRangeEnd.riKey) keys->FreeKey(stcRangeEnd.riKey);
  }
  stcKeyBuffer = nullptr;
  stcRangeStart = {};
  stcRangeEnd = {};
}

void TnxServerTableCursor::stcFreePaths() noexcept {
  freePath(stcIndexPath);
  freePath(stcSavePath);
  freePath(stcTempPath);
}

void TnxServerTableCursor::stcFreeEngines() noexcept {
  nxFreeAndNil(stcFulltextEngine);
  nxFreeAndNil(stcRefIntEngine);
  freePath(stcSeqAccessIndexPath);
  freePath(stcLSNIndexPath);
  freePath(stcRefNrIndexPath);
  freePath(stcGraveyardLSNIndexPath);
  freePath(stcGraveyardRefNrIndexPath);
}

// ---- Destruction -------------------------------------------------------------------------

void TnxServerTableCursor::PrepareDestroy() {
  TnxServerBaseCursor::PrepareDestroy();
  stcFreeBlobHandler();
  nxFreeAndNil(stcFulltextEngine);
  nxFreeAndNil(stcRefIntEngine);
}

TnxServerTableCursor::~TnxServerTableCursor() {
  nxAssert(stcInUseCount == 0, "nxsrServerEngine: table cursor destroyed during an iteration");
  if (stcTable && stcTable->Locks()) stcTable->Locks()->ClearAllLocks(LockCursor());
  if (stcTransLink) stcDetach();
  // A portal read must not outlive the cursor.
  while (stcPortalReads > 0 && stcTable) {
    --stcPortalReads;
    stcTable->Root()->ContentPortal()->EndRead();
  }
  stcFreeBlobHandler();
  sbcFreeOwned();
  stcFreeKeys();
  stcFreePaths();
  if (stcTable) {
    if (sbcRecordBuffer) stcTable->RecordAllocator().DisposeDirect(sbcRecordBuffer);
    if (sbcRecordBuffer2) stcTable->RecordAllocator().DisposeDirect(sbcRecordBuffer2);
  }
  sbcRecordBuffer = sbcRecordBuffer2 = nullptr;
  // The paths use the table's index engines: they go before the detach,
  // which frees an unnamed table with its last cursor.
  stcFreeEngines();
  stcDetachFromTable();
}

// ---- Accessors ---------------------------------------------------------------------------

TnxServerDatabase* TnxServerTableCursor::ServerDatabase() const { return static_cast<TnxServerDatabase*>(acDatabase); }

TnxLockCursor TnxServerTableCursor::LockCursor() { return {GetRemoteID(), Session()}; }

TnxDataDictionary* TnxServerTableCursor::Get_Dictionary() {
  return stcTable ? stcTable->Root()->Dictionary() : nullptr;
}

TnxBaseTableDescriptor* TnxServerTableCursor::GetTableDescriptor() {
  return stcTable ? stcTable->TableDescriptor() : nullptr;
}

nxString TnxServerTableCursor::acGetFullName() { return stcTable ? stcTable->FullName() : nxString(); }

nxString TnxServerTableCursor::acGetAliasName() {
  nxString alias;
  if (!acDatabase || acDatabase->GetAlias(alias) != 0) return nxString();
  return alias;
}

nxString TnxServerTableCursor::sbcGetRootName() { return stcTable ? stcTable->Root()->Name() : nxString(); }

TnxIndexPathPosition TnxServerTableCursor::sbcGetPosition() {
  return stcIndexPath ? stcIndexPath->Position : ippUnknown;
}

nxString TnxServerTableCursor::sbcExtractPassword() {
  return stcTable ? stcTable->Root()->ExtractPassword() : nxString();
}

void TnxServerTableCursor::AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer,
                                        bool aIncludeChildren) {
  TnxServerBaseCursor::AddDebugInfo(aContainer, aIncludeChildren);
  aContainer->AddObject(u"Table", stcTable, aIncludeChildren);
  aContainer->AddString(u"ShareMode", kShareModeNames[stcShareMode]);
  if (stcIndexPath)
    aContainer->AddObject(u"IndexPath", stcIndexPath, aIncludeChildren);
  else
    aContainer->AddObject(u"IndexEngine", stcIndexEngine, aIncludeChildren);
  TnxIntfPtr<InxExceptionDataContainer> range = aContainer->AddContainer(u"Range");
  const auto addEnd = [&](const char16_t* aName, const TnxRangeInfoEnd& aEnd) {
    TnxIntfPtr<InxExceptionDataContainer> end = range->AddContainer(aName);
    end->AddBoolean(u"Valid", aEnd.riValid);
    end->AddInt64(u"FieldCount", aEnd.riFieldCount);
    end->AddInt64(u"Partitial", aEnd.riPartitial);
    end->AddBoolean(u"Exclusive", aEnd.riExclusive);
  };
  addEnd(u"Start", stcRangeStart);
  addEnd(u"End", stcRangeEnd);
}

std::int32_t TnxServerTableCursor::CreateInstanceFor(const nxString& aName, const platform::Guid& aClassID,
                                                     InxInterface* aOuter, const platform::Guid& aInterfaceID,
                                                     void** aInterface) {
  const std::size_t dot = aName.find(u'.');
  const nxString head = dot == nxString::npos ? aName : aName.substr(0, dot);
  const nxString rest = dot == nxString::npos ? nxString(u"<Self>") : aName.substr(dot + 1);
  if (stcTable && platform::sameTextAscii(head, u"<Table>"))
    return stcTable->CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
  return TnxServerBaseCursor::CreateInstanceFor(aName, aClassID, aOuter, aInterfaceID, aInterface);
}

TnxResult TnxServerTableCursor::esoOptionGetParent(const nxString& aName, nxString& aValue) {
  if (stcTable) {
    const TnxResult result = stcTable->esoOptionGetEffective(aName, aValue);
    if (result != 8712) return result;
  }
  return TnxServerBaseCursor::esoOptionGetParent(aName, aValue);
}

TnxResult TnxServerTableCursor::esoOptionListParent(platform::TStringList& aList) {
  if (!stcTable) return TnxServerBaseCursor::esoOptionListParent(aList);
  TnxResult result = stcTable->esoOptionList(aList);
  if (result != 0) return result;
  platform::TStringList parent;
  result = TnxServerBaseCursor::esoOptionListParent(parent);
  if (result != 0) return result;
  return esoOptionListMerge(aList, parent);
}

TnxResult TnxServerTableCursor::NotifyExtenders(TnxEngineAction aAction, bool aBefore, TnxEngineArgs aArgs) {
  if (stcRefIntEngine) {
    TnxResult result = 0;
    nxEnterTimeoutNesting();
    try {
      std::vector<std::uint64_t> args;
      args.reserve(aArgs.size());
      for (const platform::FormatArg& arg : aArgs) args.push_back(notifyArgOf(arg));
      result = stcRefIntEngine->Notify(aAction, aBefore, args);
    } catch (...) {
      result = asoConvertException(std::current_exception());
    }
    nxLeaveTimeoutNesting();
    if (result != 0) return result;
  }
  return TnxServerBaseCursor::NotifyExtenders(aAction, aBefore, aArgs);
}

// ---- Paths and keys ----------------------------------------------------------------------

TnxResult TnxServerTableCursor::SavePath() {
  if (!stcSavePath) stcSavePath = std::exchange(stcTempPath, nullptr);
  if (stcSavePath)
    stcSavePath->Assign(stcIndexPath);
  else
    stcSavePath = stcIndexPath->Duplicate();
  return 0;
}

TnxResult TnxServerTableCursor::RestorePath() {
  if (!stcSavePath) return nxErrNoCurrentRecord;
  freePath(stcTempPath);
  stcTempPath = std::exchange(stcIndexPath, std::exchange(stcSavePath, nullptr));
  return 0;
}

TnxResult TnxServerTableCursor::BuildKey(const void* aRecord, PnxKeyBuffer aKey, bool aIgnoreFilter) {
  if (!stcIndexEngine || !stcIndexEngine->bieKeyEngine) return nxErrNoAssociatedIndex;
  return stcIndexEngine->bieKeyEngine->BuildKey(aRecord, aKey, 0, aIgnoreFilter);
}

TnxResult TnxServerTableCursor::KeyToRecord(const void* aKey, PnxRecordBuffer aRecord) {
  if (!stcIndexEngine || !stcIndexEngine->bieKeyEngine) return nxErrNoAssociatedIndex;
  return stcIndexEngine->bieKeyEngine->KeyToRecord(aKey, aRecord);
}

TnxResult TnxServerTableCursor::sbcGetIndexID(std::int32_t& aIndexID) {
  aIndexID = stcIndexEngine ? stcIndexEngine->bieIndexNumber : -1;
  return 0;
}

TnxResult TnxServerTableCursor::sbcSetToBegin() {
  stcIndexPath->SetToBof();
  return 0;
}

TnxResult TnxServerTableCursor::sbcSetToEnd() {
  stcIndexPath->SetToEof();
  return 0;
}

TnxRefNr TnxServerTableCursor::sacGetRefNr() { return stcIndexPath ? stcIndexPath->RefNr : 0; }

void TnxServerTableCursor::sacSetRefNr(TnxRefNr aRefNr) { stcIndexPath->SetToRecord(nullptr, aRefNr); }

TnxResult TnxServerTableCursor::sacGetRecordByID(TnxRefNr aRefNr, PnxRecordBuffer aRecordBuffer) {
  const TnxResult result = stcIndexPath->SetToRecord(nullptr, aRefNr);
  stcTable->RecordEngine()->ReadRecord(GetActiveTrans(), aRefNr, aRecordBuffer);
  return result;
}

bool TnxServerTableCursor::sacHasKey(std::int32_t aIndex, platform::Variant& aValue) {
  if (!stcIndexEngine || !stcIndexEngine->bieKeyEngine || !stcKeyBuffer) return false;
  try {
    SetFieldAsVariantSelf(sbcRecordBuffer, aIndex, aValue);
  } catch (const std::exception&) {
    return false;
  }
  if (stcIndexEngine->bieKeyEngine->BuildKey(sbcRecordBuffer, stcKeyBuffer, 0, true) != 0) return false;
  return stcIndexEngine->FindKey(GetActiveTrans(), stcKeyBuffer, 1, 0, 0, stcIndexPath, skaAnyEqual, nullptr);
}

// ---- LSNs --------------------------------------------------------------------------------

bool TnxServerTableCursor::GetNextLSN(TnxLSN& aLSN) {
  TnxBaseTransaction* trans = GetActiveTrans();
  if (!trans) return false;
  aLSN = ServerDatabase()->ServerEngine()->BufferManager()->NextLSN();
  if (trans->btLSN < aLSN) trans->btLSN = aLSN;
  if (TnxBaseTransactionLevel* level = trans->TransLevel(); level && level->tlLSN < aLSN) level->tlLSN = trans->btLSN;
  return true;
}

TnxResult TnxServerTableCursor::ContainsLSNRefNr(TnxLSN& aLSN, TnxRefNr& aRefNr) {
  if (aLSN == 0 && aRefNr == 0) return nxErrNoCurrentRecord;
  if ((aLSN == 0 || !stcLSNIndexPath) && (aRefNr == 0 || !stcRefNrIndexPath)) return nxErrNoAssociatedIndex;
  return sbcGuarded(true, [&] { return stcContainsLSNRefNr(aLSN, aRefNr); });
}

TnxResult TnxServerTableCursor::GetDeletedRecords(TnxLSN aFromLSN, TnxRecordCacheInfos& aCacheInfos,
                                                  std::int32_t aMaxCount, TnxLSN* aCurrentLSN) {
  aCacheInfos.clear();
  return sbcGuarded(true, [&] { return stcGetDeletedRecords(aFromLSN, aCacheInfos, aMaxCount, aCurrentLSN); });
}

// ---- Auto-increment ----------------------------------------------------------------------

TnxResult TnxServerTableCursor::sbcAutoIncGet(std::uint32_t& aValue) {
  TnxBaseAutoIncEngine* engine = stcTable->AutoIncEngine();
  aValue = engine ? engine->ReadAutoIncValue(GetActiveTrans()) : 0;
  return 0;
}

void TnxServerTableCursor::sbcAutoIncSetDirect(std::uint32_t aValue) {
  if (TnxBaseAutoIncEngine* engine = stcTable->AutoIncEngine()) engine->SetAutoIncValue(GetActiveTrans(), aValue);
}

TnxResult TnxServerTableCursor::sbcAutoIncSet(std::uint32_t aValue) {
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
      if (result == 0) {
        if (TnxBaseAutoIncEngine* engine = stcTable->AutoIncEngine()) {
          engine->SetAutoIncValue(GetActiveTrans(), aValue);
          result = sbcTransactionCommit();
        } else {
          result = EnxBaseException::nxSetMessage(
              nxErrNotSupported, u"AutoIncSet is only supported for tables with autoinc engines");
        }
      }
    } catch (const std::exception&) {
      result = asoConvertException(std::current_exception());
    }
    if (result != 0) sbcTransactionRollback();
  }
  if (lock == lrGrantedNew) locks->ReleaseRecordLock(LockCursor(), stcSelfRefNr, nullptr);
  return result;
}

// ---- Content lock and transactions -------------------------------------------------------

TnxBaseTransaction* TnxServerTableCursor::GetActiveTrans() {
  auto* context = static_cast<TnxServerTransContext*>(sbcTransContextObject);
  return context ? context->Transaction() : nullptr;
}

TnxResult TnxServerTableCursor::sbcTransactionStart(bool aFailSafe, bool aSnapShot, bool aOverrideForceFailsafe,
                                                    bool aNoMoreNested, bool aForceNested, bool aOverrideSecurity) {
  auto* context = static_cast<TnxServerTransContext*>(sbcTransContextObject);
  return context->stcTransactionStart(aFailSafe, aSnapShot, aOverrideForceFailsafe, aNoMoreNested, aForceNested,
                                      aOverrideSecurity);
}

TnxResult TnxServerTableCursor::sbcTransactionCommit() {
  return static_cast<TnxServerTransContext*>(sbcTransContextObject)->stcTransactionCommit();
}

TnxResult TnxServerTableCursor::sbcTransactionRollback() {
  return static_cast<TnxServerTransContext*>(sbcTransContextObject)->stcTransactionRollback();
}

TnxTransactionStates TnxServerTableCursor::sbcActiveTransStates() {
  TnxBaseTransaction* trans = GetActiveTrans();
  return trans ? trans->State() : TnxTransactionStates{};
}

void TnxServerTableCursor::sbcMarkActiveTransForBlobRead() {
  if (TnxBaseTransaction* trans = GetActiveTrans()) trans->btState.include(tsForBlobRead);
}

TnxResult TnxServerTableCursor::sbcCheckTransactionState() {
  TnxBaseTransaction* trans = GetActiveTrans();
  if (!trans) return 0;
  if (trans->btState.contains(tsSnapshot)) {
    // Only a pure temporary file may change under a snapshot.
    TnxBaseFile* file = stcTable->Root()->MainFile();
    TnxFileAttributes attributes = file ? file->Attributes() : TnxFileAttributes{};
    attributes.exclude(nxfaTransWriteThrough);
    attributes.exclude(nxfaReplicationLog);
    if (!(attributes == TnxFileAttributes{nxfaTemporary})) return nxErrTableReadOnly;
  }
  return trans->CheckState();
}

TnxResult TnxServerTableCursor::sbcBeginContentLock(bool aExclusive, bool aConditional, bool aInternal) {
  try {
    if (sbcIsReadOnly && aExclusive && !aInternal) return sbcReadOnlyError();
    auto* trans = static_cast<TnxServerTransaction*>(GetActiveTrans());
    if (!stcTransLink && !trans) {
      if (aExclusive) return nxErrNoTransaction;
      if (stcShareMode != smExclusive) {
        stcTable->Root()->ContentPortal()->BeginRead();
        ++stcPortalReads;
      }
      return 0;
    }
    const TnxResult result =
        sbcBeginTransContentLock(trans, stcTable->Root(), aExclusive, aConditional, sbcLockFailureReason);
    // A refused link carries its reason; 10254 within the session.
    return result == nxErrLockTimeout ? sbcLockFailureError(result) : result;
  } catch (...) {
    return asoConvertException(std::current_exception());
  }
}

void TnxServerTableCursor::sbcEndContentLock() {
  if (stcShareMode == smExclusive || stcTransLink || GetActiveTrans() || stcPortalReads == 0) return;
  --stcPortalReads;
  stcTable->Root()->ContentPortal()->EndRead();
}
