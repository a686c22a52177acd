#include "nxFakeServerEngine.h"

#include <algorithm>
#include <cstring>

#include "nxllBde.h"
#include "nxllException.h"
#include "nxsdFilterEngineHub.h"
#include "nxsdKeyEngineBase.h"

PL_CLASS_INFO_IMPL(TnxFakeTransContext, TnxAbstractTransContext, "TnxFakeTransContext", nullptr)
PL_CLASS_INFO_IMPL(TnxFakeTask, TnxAbstractTaskInfo, "TnxFakeTask", nullptr)
PL_CLASS_INFO_IMPL(TnxFakeDatabase, TnxSqlAbstractDatabase, "TnxFakeDatabase", nullptr)
PL_CLASS_INFO_IMPL(TnxFakeCursor, TnxServerBaseCursor, "TnxFakeCursor", nullptr)
PL_CLASS_INFO_IMPL(TnxFakeStatement, TnxAbstractStatement, "TnxFakeStatement", nullptr)

nxString upperName(const nxString& aName) {
  nxString result = aName;
  for (auto& c : result)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  return result;
}

namespace {

std::vector<std::uint8_t> readAll(TStream& aStream) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::max<std::int64_t>(aStream.Size() - aStream.Position(), 0)));
  if (!bytes.empty()) aStream.ReadBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  return bytes;
}

void putU32(TStream* aStream, std::uint32_t aValue) {
  if (aStream) aStream->WriteBuffer(&aValue, 4);
}

}  // namespace

// ---- Tables and folders --------------------------------------------------------------

TnxBlobNr TnxFakeTable::RenumberBlob(TnxBlobNr aOld) {
  const TnxBlobNr fresh = nextBlobNr++;
  blobs[fresh] = blobs[aOld];
  blobs.erase(aOld);
  renumbered[aOld] = fresh;
  return fresh;
}

TnxFakeTable::Row* TnxFakeTable::FindRow(TnxRefNr aRefNr) {
  for (auto& row : rows)
    if (row.refNr == aRefNr && !row.deleted) return &row;
  return nullptr;
}

nxString resolveTablePath(const nxString& aName) {
  std::vector<nxString> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = aName.find(u':', start);
    const nxString part = aName.substr(start, at == nxString::npos ? nxString::npos : at - start);
    if (part == u"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (part != u".") {
      parts.push_back(part);
    }
    if (at == nxString::npos) break;
    start = at + 1;
  }
  nxString result;
  for (const nxString& part : parts) result += (result.empty() ? u"" : u":") + part;
  return result;
}

TnxFakeTable* TnxFakeFolder::Find(const nxString& aName) {
  auto it = tables.find(upperName(aName));
  return it == tables.end() ? nullptr : it->second.get();
}

// ---- Store -----------------------------------------------------------------------------

TnxFakeFolder& TnxFakeStore::AddFolder(const nxString& aPath) {
  auto& folder = folders_[upperName(aPath)];
  if (!folder) folder = std::make_unique<TnxFakeFolder>();
  return *folder;
}

TnxFakeFolder* TnxFakeStore::FindFolder(const nxString& aPath) {
  auto it = folders_.find(upperName(aPath));
  return it == folders_.end() ? nullptr : it->second.get();
}

TnxFakeTable& TnxFakeStore::AddTable(const nxString& aPath, const nxString& aName, TnxDataDictionary& aDictionary) {
  auto& table = AddFolder(aPath).tables[upperName(aName)];
  table = std::make_unique<TnxFakeTable>();
  table->name = aName;
  table->dictionary.reset(platform::create<TnxDataDictionary>());
  table->dictionary->Assign(&aDictionary);
  return *table;
}

// ---- Transaction context ------------------------------------------------------------

TnxFakeTransContext::TnxFakeTransContext(TnxFakeSession* aSession, std::uint32_t aTimeout)
    : TnxAbstractTransContext(aSession, aTimeout) {
  ++counters().transContextsCreated;
}

TnxFakeTransContext::~TnxFakeTransContext() { ++counters().transContextsFreed; }

TnxFakeCounters& TnxFakeTransContext::counters() { return static_cast<TnxFakeServerEngine*>(Session()->ServerEngine())->feStore.counters; }

TnxResult TnxFakeTransContext::TransactionStart(bool, bool aSnapShot) {
  ++level;
  ++counters().transactionStarts;
  if (aSnapShot) ++counters().snapshotStarts;
  return 0;
}

TnxResult TnxFakeTransContext::TransactionStartWith(bool aFailSafe, bool aSnapShot, std::span<TnxAbstractCursor* const>) {
  return TransactionStart(aFailSafe, aSnapShot);
}

TnxResult TnxFakeTransContext::TransactionCommit() {
  if (level == 0) return nxErrNoTransaction;
  --level;
  ++counters().commits;
  return 0;
}

TnxResult TnxFakeTransContext::TransactionRollback() {
  if (const TnxResult fail = std::exchange(failNextRollback, 0)) return fail;
  if (level == 0) return nxErrNoTransaction;
  --level;
  ++counters().rollbacks;
  return 0;
}

TnxResult TnxFakeTransContext::TransactionGetLevel(std::int32_t& aTransLevel) {
  aTransLevel = level;
  return 0;
}

TnxResult TnxFakeTransContext::TransactionGetInfo(TnxTransactionInfo& aTransInfo, bool) {
  aTransInfo.tiLevel = level;
  return 0;
}

void TnxFakeTransContext::atcForceRollback() {
  counters().forcedRollbacks += level;
  level = 0;
}

// ---- Session ----------------------------------------------------------------------------

TnxResult TnxFakeSession::AliasGetList(std::vector<TnxOwned<TnxAliasDescriptor>>& aList) {
  for (const auto& [alias, path] : Store().aliases)
    aList.emplace_back(platform::create<TnxAliasDescriptor>(alias, path));
  return 0;
}

TnxResult TnxFakeSession::AliasGetPath(const nxString& aAlias, nxString& aPath) {
  auto it = Store().aliases.find(upperName(aAlias));
  if (it == Store().aliases.end()) return nxErrUnknownDatabase;
  aPath = it->second;
  return 0;
}

TnxResult TnxFakeSession::DatabaseOpen(TnxAbstractDatabase*& aDatabase, const nxString& aAliasType,
                                    const nxString& aAlias, TnxAbstractTransContext* aTransContext, TnxOpenMode,
                                    TnxShareMode, TnxWord32 aTimeout) {
  aDatabase = nullptr;
  nxString path;
  if (platform::sameTextAscii(aAliasType, u"Name")) {
    const TnxResult checked = nxCheckAliasName(aAlias, true);
    if (checked != 0) return checked;
    auto it = Store().aliases.find(upperName(aAlias));
    if (it == Store().aliases.end())
      return EnxBaseException::nxSetMessage(nxErrUnknownDatabase, u"Unknown alias: %s", {aAlias});
    path = it->second;
  } else if (platform::sameTextAscii(aAliasType, u"Path")) {
    path = aAlias;
  } else {
    return EnxBaseException::nxSetMessage(nxErrNotSupported, u"AliasType '%s' not supported", {aAliasType});
  }
  TnxFakeFolder* folder = Store().FindFolder(path);
  if (!folder) return nxErrAliasDirNotFound;
  try {
    aDatabase = platform::create<TnxFakeDatabase>(this, aTransContext, aTimeout, path, folder);
    return 0;
  } catch (...) {
    return asoConvertException(std::current_exception());
  }
}

TnxResult TnxFakeSession::TransContextCreate(TnxAbstractTransContext*& aTransContext, TnxWord32 aTimeout) {
  aTransContext = nullptr;
  if (Store().failTransContextCreate != 0) return Store().failTransContextCreate;
  try {
    aTransContext = platform::create<TnxFakeTransContext>(this, aTimeout);
    return 0;
  } catch (...) {
    return asoConvertException(std::current_exception());
  }
}

// ---- Task ---------------------------------------------------------------------------------

TnxFakeTask::TnxFakeTask(TnxFakeSession* aSession) : TnxAbstractTaskInfo(aSession) {}

TnxFakeTask::~TnxFakeTask() {
  if (TnxAbstractSession* session = Session()) ++static_cast<TnxFakeServerEngine*>(session->ServerEngine())->feStore.counters.tasksFreed;
}

TnxResult TnxFakeTask::GetStatus(bool& aCompleted, TnxTaskStatus& aStatus) {
  aCompleted = false;
  aStatus = TnxTaskStatus{};
  return 0;
}

TnxResult TnxFakeTask::Cancel() {
  ++cancels;
  if (onCancel) onCancel();
  return 0;
}

// ---- Database ----------------------------------------------------------------------------

TnxFakeDatabase::TnxFakeDatabase(TnxFakeSession* aSession, TnxAbstractTransContext* aTransContext, std::uint32_t aTimeout,
                           const nxString& aPath, TnxFakeFolder* aFolder)
    : TnxSqlAbstractDatabase(aSession, aTransContext, aTimeout), path_(aPath), folder_(aFolder) {}

TnxFakeDatabase::~TnxFakeDatabase() {
  if (Session()) ++Store().counters.databasesFreed;
}

TnxFakeServerEngine* TnxFakeDatabase::Engine() const { return static_cast<TnxFakeServerEngine*>(Session()->ServerEngine()); }

TnxFakeStore& TnxFakeDatabase::Store() const { return Engine()->feStore; }

TnxResult TnxFakeDatabase::TableBuild(bool aOverWrite, const nxString& aTableName, const nxString&,
                                   TnxDataDictionary* aDictionary, TnxTableScope, bool aAllowSystem) {
  return nxGuardedCall(*this, [&]() -> TnxResult {
    const TnxResult checked = nxCheckTableName(aTableName, true, aAllowSystem);
    if (checked != 0) return checked;
    if (folder_->Find(aTableName) && !aOverWrite) return nxErrTableExists;
    Store().AddTable(path_, aTableName, *aDictionary);
    return 0;
  });
}

TnxResult TnxFakeDatabase::TablePack(const nxString&, const nxString&, TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotSupported(u"TablePack");
}
TnxResult TnxFakeDatabase::TableBackup(const nxString&, const nxString&, TnxAbstractDatabase*,
                                    TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotSupported(u"TableBackup");
}
TnxResult TnxFakeDatabase::TableRebuildIndex(const nxString&, const nxString&, const nxString&, std::int32_t,
                                          TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotSupported(u"TableRebuildIndex");
}
TnxResult TnxFakeDatabase::TableRestructure(const nxString&, const nxString&, TnxDataDictionary*,
                                         TnxBaseTableMapperDescriptor*, bool, TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotSupported(u"TableRestructure");
}
TnxResult TnxFakeDatabase::TableAddField(const nxString&, const nxString&, TnxFieldDescriptor*) {
  return NotSupported(u"TableAddField");
}
TnxResult TnxFakeDatabase::TableAddIndex(const nxString&, const nxString&, TnxIndexDescriptor*, bool) {
  return NotSupported(u"TableAddIndex");
}
TnxResult TnxFakeDatabase::TableDropIndex(const nxString&, const nxString&, const nxString&, std::int32_t) {
  return NotSupported(u"TableDropIndex");
}
TnxResult TnxFakeDatabase::TableRename(const nxString&, const nxString&, const nxString&) {
  return NotSupported(u"TableRename");
}
TnxResult TnxFakeDatabase::TableRecover(const nxString&, const nxString&, TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotSupported(u"TableRecover");
}
TnxResult TnxFakeDatabase::TableVerifyChecksum(const nxString&, const nxString&, bool, bool,
                                            TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotSupported(u"TableVerifyChecksum");
}
TnxResult TnxFakeDatabase::TableDelete(const nxString& aTableName, const nxString&) {
  return folder_->tables.erase(upperName(aTableName)) ? 0 : nxErrNoSuchTable;
}
TnxResult TnxFakeDatabase::TableEmpty(const nxString& aTableName, const nxString&) {
  TnxFakeTable* table = folder_->Find(aTableName);
  if (!table) return nxErrNoSuchTable;
  table->rows.clear();
  table->blobs.clear();
  return 0;
}
TnxResult TnxFakeDatabase::TableChangePassword(const nxString&, const nxString&, const nxString&) {
  return NotSupported(u"TableChangePassword");
}

TnxResult TnxFakeDatabase::TableExists(const nxString& aTableName, const nxString&, bool& aExists, bool aAllowSystem) {
  aExists = false;
  const TnxResult checked = nxCheckTableName(aTableName, true, aAllowSystem);
  if (checked != 0) return checked;
  aExists = folder_->Find(aTableName) != nullptr;
  return 0;
}

TnxResult TnxFakeDatabase::TableGetDictionary(const nxString& aTableName, const nxString&,
                                           TnxDataDictionary* aDictionary) {
  TnxFakeTable* table = folder_->Find(aTableName);
  if (!table) return nxErrNoSuchTable;
  aDictionary->Assign(table->dictionary.get());
  return 0;
}

TnxResult TnxFakeDatabase::TableGetList(platform::TStringList& aList) {
  for (auto& [key, table] : folder_->tables) aList.add(table->name);
  return 0;
}

TnxResult TnxFakeDatabase::TableAutoIncGet(const nxString& aTableName, const nxString&, std::uint32_t& aValue) {
  TnxFakeTable* table = folder_->Find(aTableName);
  if (!table) return nxErrNoSuchTable;
  aValue = table->autoInc;
  return 0;
}

TnxResult TnxFakeDatabase::GetChangedTables(platform::TStringList&) { return 0; }

TnxSqlAbstractCursor* TnxFakeDatabase::sadCreateResultSet(TnxDataDictionary* aDictionary, std::uint32_t aTimeout) {
  const nxString name = u"~ResultSet" + platform::fromUtf8(std::to_string(++folder_->resultSetsMade));
  auto& slot = folder_->tables[upperName(name)];
  slot = std::make_unique<TnxFakeTable>();
  slot->name = name;
  slot->dictionary.reset(platform::create<TnxDataDictionary>());
  slot->dictionary->Assign(aDictionary);
  TnxFakeCursor* cursor = nullptr;
  try {
    cursor = platform::create<TnxFakeCursor>(this, slot.get(), aTimeout, -1);
  } catch (...) {
    folder_->tables.erase(upperName(name));
    throw;
  }
  cursor->DropTableWithCursor(folder_);
  return cursor;
}

TnxResult TnxFakeDatabase::CursorOpen(TnxAbstractCursor*& aCursor, const nxString& aTableName, const nxString& aPassword,
                                   TnxOpenMode, TnxShareMode, std::uint32_t aTimeout, const nxString& aIndexName,
                                   std::int32_t aIndexID, bool aAllowSystem, TnxCursorOpenOptions, std::uint32_t,
                                   const platform::TStringList* aMarkedBlobs) {
  aCursor = nullptr;
  return nxGuardedCall(*this, [&]() -> TnxResult {
    // Nested tables are reached as root:child; "." and ".." parts step
    // within that path.
    const TnxResult checked = nxCheckTableNameWithChild(aTableName, true, aAllowSystem);
    if (checked != 0) return checked;
    TnxFakeTable* table = folder_->Find(resolveTablePath(aTableName));
    if (!table) return nxErrNoSuchTable;
    std::int32_t index = aIndexID;
    if (!aIndexName.empty()) {
      index = table->dictionary->GetIndexFromName(aIndexName);
      if (index < 0) return nxErrObjectNotFound;
    }
    TnxOwned<TnxFakeCursor> cursor(platform::create<TnxFakeCursor>(this, table, aTimeout, index));
    if (aMarkedBlobs && aMarkedBlobs->count() > 0) {
      TnxMarkedBlobsByBlobIdx marked;
      TnxFieldsDescriptor* fields = table->dictionary->FieldsDescriptor();
      for (int i = 0; i < aMarkedBlobs->count(); ++i) {
        const std::int32_t field = fields->GetFieldFromName(aMarkedBlobs->strings(i));
        if (field < 0 || fields->Fields(field)->fdBlobIndex < 0) return nxErrNotABlob;
        const std::int32_t blobIndex = fields->Fields(field)->fdBlobIndex;
        if (marked.size() <= static_cast<std::size_t>(blobIndex / 32)) marked.resize(blobIndex / 32 + 1);
        marked[blobIndex / 32] |= 1u << (blobIndex % 32);
      }
      const TnxResult result = cursor->BlobsSetMarked(marked);
      if (result != 0) return result;
    }
    cursor->SetPassword(aPassword);
    aCursor = cursor.release();
    return 0;
  });
}

TnxResult TnxFakeDatabase::StatementAlloc(TnxAbstractStatement*& aStatement, std::uint32_t aTimeout) {
  aStatement = nullptr;
  try {
    aStatement = platform::create<TnxFakeStatement>(this, aTimeout);
    return 0;
  } catch (...) {
    return asoConvertException(std::current_exception());
  }
}

TnxResult TnxFakeDatabase::StatementExecDirect(std::uint32_t aTimeout, TnxStatementType aStatementType,
                                            const nxString& aQueryText, TStream* aPrepareStream,
                                            TnxSqlParamList& aParams, TStream* aSetParamsStream,
                                            TnxAbstractCursor*& aCursor, TnxOpenMode aOpenMode, TStream* aExecStream,
                                            TStream* aGetParamsStream, TnxStatementExecDirectPhase& aPhase) {
  aCursor = nullptr;
  aPhase = sedAlloc;
  TnxAbstractStatement* statement = nullptr;
  TnxResult result = StatementAlloc(statement, aTimeout);
  if (result != 0) return result;
  statement->SetExecDirect(true);
  aPhase = sedPrepare;
  result = statement->Prepare(aStatementType, aQueryText, aPrepareStream);
  if (result == 0) {
    aPhase = sedSetParams;
    result = statement->SetParams(aParams, aSetParamsStream);
  }
  if (result == 0) {
    aPhase = sedExec;
    result = statement->Exec(aCursor, aOpenMode, aExecStream);
  }
  if (result == 0 && aGetParamsStream) {
    aPhase = sedGetParams;
    result = statement->GetParams(aParams, aGetParamsStream);
  }
  if (result == 0) aPhase = sedFree;
  TnxAbstractServerObject::Free(statement);
  return result;
}

TnxResult TnxFakeDatabase::GetFreespace(std::int64_t& aFreeSpace) {
  aFreeSpace = 1 << 30;
  return 0;
}

TnxResult TnxFakeDatabase::GetPath(nxString& aPath) {
  aPath = path_;
  return 0;
}

TnxResult TnxFakeDatabase::GetAlias(nxString& aAlias) {
  aAlias.clear();
  return 0;
}

TnxResult TnxFakeDatabase::sdTableRebuildIndex(const nxString&, const nxString&, const nxString&, std::int32_t,
                                            TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotSupported(u"sdTableRebuildIndex");
}

TnxResult TnxFakeDatabase::sdTableRestructure(const nxString&, const nxString&, TnxDataDictionary*,
                                           TnxBaseTableMapperDescriptor*, TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotSupported(u"sdTableRestructure");
}

TnxIteratorResult TnxFakeDatabase::sdIterateDictionaries(const TnxDictionaryIterator& aIterator, bool, bool,
                                                      void* aCookie) {
  for (auto& [key, table] : folder_->tables)
    if (aIterator(table->dictionary.get(), table->name, aCookie) == irStop) return irStop;
  return irContinue;
}

// ---- Cursor --------------------------------------------------------------------------------

TnxFakeCursor::TnxFakeCursor(TnxFakeDatabase* aDatabase, TnxFakeTable* aTable, std::uint32_t aTimeout, std::int32_t aIndexID)
    : TnxServerBaseCursor(aDatabase, aTimeout), table_(aTable) {
  acInitFieldsInfo();
  if (acSFI && acSFI->sfiOffsets[sftRefNr] >= 0 && acSFI->sfiOffsets[sftModifyLSN] >= 0)
    acStates.include(acsIsCacheable);
  if (aIndexID >= 0) {
    const TnxResult result = SwitchToIndex(nxString(), aIndexID, porFalse);
    if (result != 0) throw EnxBaseException(result);
  }
  RebuildOrder();
}

TnxFakeCursor::~TnxFakeCursor() {
  platform::TObject::free(std::exchange(filter_, nullptr));
  platform::TObject::free(std::exchange(keyFilter_, nullptr));
  platform::TObject::free(std::exchange(keyEngine_, nullptr));
  platform::TObject::free(std::exchange(defaultHandler_, nullptr));
  if (dropFrom_) dropFrom_->tables.erase(upperName(table_->name));
}

TnxIntfPtr<InxFieldsSource> TnxFakeCursor::Source() {
  return TnxIntfPtr<InxFieldsSource>(static_cast<InxFieldsSource*>(static_cast<InxFieldsAccess*>(this)));
}

void TnxFakeCursor::RebuildOrder() {
  order_.clear();
  bool indexOrdered = false;
  if (table_->storage) {
    // Read everything back from the table file, in the order of the index
    // the cursor is on.
    std::vector<bool> seen(table_->rows.size(), false);
    const nxString index =
        indexID_ >= 0 ? table_->dictionary->IndicesDescriptor()->Indices(indexID_)->Name() : nxString();
    indexOrdered = table_->storage->Scan(index, [&](TnxRefNr aRefNr, const std::uint8_t* aData) {
      std::size_t at = 0;
      while (at < table_->rows.size() && table_->rows[at].refNr != aRefNr) ++at;
      if (at == table_->rows.size()) {
        table_->rows.push_back({aRefNr, {}, false});
        seen.push_back(false);
      }
      TnxFakeTable::Row& row = table_->rows[at];
      row.data.assign(aData, aData + RecordLength());
      row.deleted = false;
      seen[at] = true;
      order_.push_back(at);
    });
    for (std::size_t i = 0; i < table_->rows.size(); ++i)
      if (!seen[i]) table_->rows[i].deleted = true;
  } else {
    for (std::size_t i = 0; i < table_->rows.size(); ++i)
      if (!table_->rows[i].deleted) order_.push_back(i);
  }
  if (keyEngine_) {
    std::vector<std::vector<std::uint8_t>> keys(table_->rows.size());
    for (std::size_t i : order_) {
      keys[i].assign(keyEngine_->KeyLength(), 0);
      keyEngine_->BuildKey(table_->rows[i].data.data(), keys[i].data(), table_->rows[i].refNr, true);
    }
    // The storage answers in index order where it keeps the index.
    if (!indexOrdered)
      std::stable_sort(order_.begin(), order_.end(), [&](std::size_t a, std::size_t b) {
        return keyEngine_->CompareKey(keys[a].data(), keys[b].data()) < 0;
      });
    if (hasRange_)
      std::erase_if(order_, [&](std::size_t i) {
        const int low = keyEngine_->CompareKey(keys[i].data(), rangeLow_.data(), rangeFields1_, rangePartial1_);
        const int high = keyEngine_->CompareKey(keys[i].data(), rangeHigh_.data(), rangeFields2_, rangePartial2_);
        return low < 0 || (low == 0 && !rangeIncl1_) || high > 0 || (high == 0 && !rangeIncl2_);
      });
  }
  pos_ = -1;
  if (currentRef_ != 0)
    for (std::size_t i = 0; i < order_.size(); ++i)
      if (table_->rows[order_[i]].refNr == currentRef_) pos_ = static_cast<std::int64_t>(i);
}

bool TnxFakeCursor::Passes(const TnxFakeTable::Row& aRow) { return !filter_ || filter_->MatchesBuffer(aRow.data.data()); }

TnxFakeTable::Row* TnxFakeCursor::Current() {
  if (pos_ < 0 || pos_ >= static_cast<std::int64_t>(order_.size())) return nullptr;
  TnxFakeTable::Row& row = table_->rows[order_[static_cast<std::size_t>(pos_)]];
  return row.deleted ? nullptr : &row;
}

void TnxFakeCursor::Stamp(std::vector<std::uint8_t>& aData, bool aInsert) {
  if (!acSFI) return;
  TnxFieldsDescriptor* fields = FieldsDescriptor();
  auto put = [&](TnxSpecialFieldType aKind, std::int64_t aValue) {
    if (acSFI->sfiFields[aKind] < 0) return;
    fields->SetRecordField(acSFI->sfiFields[aKind], aData.data(), &aValue);
  };
  if (aInsert) {
    put(sftRefNr, table_->nextRefNr);
    put(sftInsertLSN, ++table_->lsn);
  }
  put(sftModifyLSN, ++table_->lsn);
}

TnxResult TnxFakeCursor::SetToBegin() {
  pos_ = -1;
  currentRef_ = 0;
  return 0;
}

TnxResult TnxFakeCursor::SetToEnd() {
  pos_ = static_cast<std::int64_t>(order_.size());
  currentRef_ = 0;
  return 0;
}

TnxResult TnxFakeCursor::SetToCursor(TnxAbstractCursor* aCursor) {
  auto* other = platform::objectAs<TnxFakeCursor>(aCursor);
  if (!other || other->table_ != table_) return nxErrInvalidParam;
  currentRef_ = other->currentRef_;
  RebuildOrder();
  return 0;
}

TnxResult TnxFakeCursor::SetToFilter(TnxBaseFilterDescriptor* aFilter, TnxBaseFilterDescriptor*, bool aForward) {
  return nxGuardedCall(*this, [&]() -> TnxResult {
    TnxOwned<TnxBaseFilterEngine> engine(TnxBaseFilterEngine::CreateFor(aFilter, Source()));
    engine->SetActive(true);
    const auto n = static_cast<std::int64_t>(order_.size());
    for (std::int64_t p = aForward ? 0 : n - 1; p >= 0 && p < n; p += aForward ? 1 : -1) {
      const auto& row = table_->rows[order_[static_cast<std::size_t>(p)]];
      if (!row.deleted && engine->MatchesBuffer(row.data.data())) {
        pos_ = p;
        currentRef_ = row.refNr;
        return 0;
      }
    }
    return nxErrRecordNotFound;
  });
}

TnxResult TnxFakeCursor::sbcGetBookmarkSize(std::int32_t& aSize) {
  aSize = sizeof(TnxRefNr);
  return 0;
}

TnxResult TnxFakeCursor::GetBookmark(PnxBookmarkBuffer aBookmark, std::int32_t aSize) {
  if (aSize < static_cast<std::int32_t>(sizeof(TnxRefNr))) return nxErrInvalidParam;
  const TnxFakeTable::Row* row = Current();
  if (!row) return nxErrNoCurrentRecord;
  std::memcpy(aBookmark, &row->refNr, sizeof(TnxRefNr));
  return 0;
}

TnxResult TnxFakeCursor::CompareBookmarks(const void* aBookmark1, const void* aBookmark2, std::int32_t,
                                       TnxCompareResult& aCompResult) {
  TnxRefNr a, b;
  std::memcpy(&a, aBookmark1, sizeof(a));
  std::memcpy(&b, aBookmark2, sizeof(b));
  auto place = [&](TnxRefNr aRef) {
    for (std::size_t i = 0; i < order_.size(); ++i)
      if (table_->rows[order_[i]].refNr == aRef) return static_cast<std::int64_t>(i);
    return std::int64_t{-1};
  };
  const std::int64_t pa = place(a), pb = place(b);
  aCompResult = pa < pb ? crLess : pa == pb ? crEqual : crGreater;
  return 0;
}

TnxResult TnxFakeCursor::SetToBookmark(const void* aBookmark, std::int32_t) {
  TnxRefNr ref;
  std::memcpy(&ref, aBookmark, sizeof(ref));
  if (!table_->FindRow(ref)) return nxErrRecordNotFound;
  currentRef_ = ref;
  RebuildOrder();
  return 0;
}

TnxResult TnxFakeCursor::BookmarkAsVariant(const void* aBookmark, std::int32_t, platform::Variant& aVariant) {
  TnxRefNr ref;
  std::memcpy(&ref, aBookmark, sizeof(ref));
  aVariant = platform::Variant(static_cast<long long>(ref));
  return 0;
}

TnxResult TnxFakeCursor::RecNoGet(std::uint32_t& aRecNo, bool) {
  if (!Current()) return nxErrNoCurrentRecord;
  aRecNo = static_cast<std::uint32_t>(pos_ + 1);
  return 0;
}

TnxResult TnxFakeCursor::RecNoSet(std::uint32_t aRecNo, bool) {
  if (aRecNo == 0 || aRecNo > order_.size()) return nxErrRecordNotFound;
  pos_ = static_cast<std::int64_t>(aRecNo) - 1;
  currentRef_ = table_->rows[order_[static_cast<std::size_t>(pos_)]].refNr;
  return 0;
}

TnxResult TnxFakeCursor::RecordGet(TnxLockType, PnxRecordBuffer aData) {
  const TnxFakeTable::Row* row = Current();
  if (!row) return nxErrNoCurrentRecord;
  if (aData) std::memcpy(aData, row->data.data(), row->data.size());
  return 0;
}

TnxResult TnxFakeCursor::RecordGetNext(TnxLockType, PnxRecordBuffer aData) {
  return nxGuardedCall(*this, [&]() -> TnxResult {
    const auto n = static_cast<std::int64_t>(order_.size());
    for (std::int64_t p = pos_ + 1; p < n; ++p) {
      const auto& row = table_->rows[order_[static_cast<std::size_t>(p)]];
      if (row.deleted || !Passes(row)) continue;
      pos_ = p;
      currentRef_ = row.refNr;
      if (aData) std::memcpy(aData, row.data.data(), row.data.size());
      return 0;
    }
    pos_ = n;
    currentRef_ = 0;
    return nxErrEOF;
  });
}

TnxResult TnxFakeCursor::RecordGetPrior(TnxLockType, PnxRecordBuffer aData) {
  return nxGuardedCall(*this, [&]() -> TnxResult {
    for (std::int64_t p = std::min<std::int64_t>(pos_, static_cast<std::int64_t>(order_.size())) - 1; p >= 0; --p) {
      const auto& row = table_->rows[order_[static_cast<std::size_t>(p)]];
      if (row.deleted || !Passes(row)) continue;
      pos_ = p;
      currentRef_ = row.refNr;
      if (aData) std::memcpy(aData, row.data.data(), row.data.size());
      return 0;
    }
    pos_ = -1;
    currentRef_ = 0;
    return nxErrBOF;
  });
}

TnxResult TnxFakeCursor::RecordInsert(TnxLockType, PnxRecordBuffer aData, std::int64_t* aAutoInc) {
  return nxGuardedCall(*this, [&]() -> TnxResult {
    if (!aData) return nxErrInvalidParam;
    if (dropFrom_ && dropFrom_->failResultSetInsert != 0) return dropFrom_->failResultSetInsert;
    TnxFakeTable::Row row;
    row.data.assign(aData, aData + RecordLength());
    Stamp(row.data, true);
    row.refNr = table_->nextRefNr++;
    if (table_->storage) row.refNr = table_->storage->Insert(row.data.data());
    std::memcpy(aData, row.data.data(), row.data.size());
    if (aAutoInc) *aAutoInc = ++table_->autoInc;
    currentRef_ = row.refNr;
    if (!table_->storage) table_->rows.push_back(std::move(row));
    if (dropFrom_ && !table_->storage && !keyEngine_ && !hasRange_) {
      // A result set has no other cursor: in insertion order the new row
      // simply comes last.
      order_.push_back(table_->rows.size() - 1);
      pos_ = static_cast<std::int64_t>(order_.size()) - 1;
    } else {
      RebuildOrder();
    }
    return 0;
  });
}

TnxResult TnxFakeCursor::RecordModify(PnxRecordBuffer aData, bool, PnxRecordDiff) {
  return nxGuardedCall(*this, [&]() -> TnxResult {
    TnxFakeTable::Row* row = Current();
    if (!row) return nxErrNoCurrentRecord;
    if (!aData) return nxErrInvalidParam;
    std::vector<std::uint8_t> data(aData, aData + RecordLength());
    Stamp(data, false);
    if (table_->storage) table_->storage->Update(row->refNr, data.data(), row->data.data());
    row->data = std::move(data);
    RebuildOrder();
    return 0;
  });
}

TnxResult TnxFakeCursor::RecordDelete(PnxRecordBuffer, TnxLSN) {
  TnxFakeTable::Row* row = Current();
  if (!row) return nxErrNoCurrentRecord;
  if (table_->storage) table_->storage->Delete(row->refNr, row->data.data());
  row->deleted = true;
  currentRef_ = 0;
  const std::int64_t keep = pos_;
  RebuildOrder();
  pos_ = keep - 1;
  return 0;
}

TnxResult TnxFakeCursor::RecordIsLocked(TnxLockType, TnxLockPresent& aLockPresent) {
  aLockPresent = lpNotAtAll;
  return 0;
}

TnxResult TnxFakeCursor::AutoIncGet(std::uint32_t& aValue, bool) {
  aValue = table_->autoInc;
  return 0;
}

TnxResult TnxFakeCursor::AutoIncSet(std::uint32_t aValue) {
  table_->autoInc = aValue;
  return 0;
}

TnxResult TnxFakeCursor::AddFilterEngine(TnxBaseFilterDescriptor* aDescriptor, TnxBaseFilterEngine*& aVariable,
                                      std::map<std::uint32_t, TnxBaseFilterEngine*>& aIds, std::uint32_t& aID,
                                      bool aActivated) {
  aID = 0;
  return nxGuardedCall(*this, [&]() -> TnxResult {
    TnxOwned<TnxBaseFilterEngine> engine(TnxBaseFilterEngine::CreateFor(aDescriptor, Source()));
    if (aActivated) engine->ActivateFilter(nullptr);
    TnxBaseFilterEngine* added = engine.get();
    if (!aVariable)
      aVariable = engine.release();
    else if (auto* hub = platform::objectAs<TnxFilterEngineHub>(aVariable))
      hub->AddFilter(engine.release());
    else
      aVariable = TnxFilterEngineHub::Create(aVariable, engine.release());
    aID = ++nextFilterId_;
    aIds[aID] = added;
    return 0;
  });
}

TnxResult TnxFakeCursor::RemoveFilterEngine(std::uint32_t aID, TnxBaseFilterEngine*& aVariable,
                                         std::map<std::uint32_t, TnxBaseFilterEngine*>& aIds) {
  auto it = aIds.find(aID);
  if (it == aIds.end() || !aVariable) return nxErrInvalidFilterHandle;
  const TnxResult result = aVariable->RemoveFilter(it->second, aVariable);
  if (result == 0) aIds.erase(it);
  return result;
}

TnxResult TnxFakeCursor::FilterAddCustom(TnxBaseFilterDescriptor* aFilter, TnxFilterID& aFilterID, bool aActivated) {
  return AddFilterEngine(aFilter, filter_, filterIds_, aFilterID, aActivated);
}

TnxResult TnxFakeCursor::FilterReplaceCustom(TnxBaseFilterDescriptor* aFilter, TnxFilterID& aFilterID, bool aActivated,
                                          bool aIgnoreDropError) {
  const TnxResult removed = RemoveFilterEngine(aFilterID, filter_, filterIds_);
  if (removed != 0 && !aIgnoreDropError) return removed;
  return FilterAddCustom(aFilter, aFilterID, aActivated);
}

TnxResult TnxFakeCursor::FilterActivate(TnxFilterID aFilterID) {
  auto it = filterIds_.find(aFilterID);
  if (it == filterIds_.end() || !filter_) return nxErrInvalidFilterHandle;
  return filter_->ActivateFilter(it->second);
}

TnxResult TnxFakeCursor::FilterDeactivate(TnxFilterID aFilterID) {
  auto it = filterIds_.find(aFilterID);
  if (it == filterIds_.end() || !filter_) return nxErrInvalidFilterHandle;
  return filter_->DeactivateFilter(it->second);
}

TnxResult TnxFakeCursor::FilterRemove(TnxFilterID aFilterID) { return RemoveFilterEngine(aFilterID, filter_, filterIds_); }

TnxResult TnxFakeCursor::KeyFilterAddCustom(TnxBaseFilterDescriptor* aKeyFilter, TnxKeyFilterID& aKeyFilterID) {
  return AddFilterEngine(aKeyFilter, keyFilter_, keyFilterIds_, aKeyFilterID, true);
}

TnxResult TnxFakeCursor::KeyFilterActivate(TnxKeyFilterID aKeyFilterID) {
  auto it = keyFilterIds_.find(aKeyFilterID);
  if (it == keyFilterIds_.end() || !keyFilter_) return nxErrInvalidFilterHandle;
  return keyFilter_->ActivateFilter(it->second);
}

TnxResult TnxFakeCursor::KeyFilterDeactivate(TnxKeyFilterID aKeyFilterID) {
  auto it = keyFilterIds_.find(aKeyFilterID);
  if (it == keyFilterIds_.end() || !keyFilter_) return nxErrInvalidFilterHandle;
  return keyFilter_->DeactivateFilter(it->second);
}

TnxResult TnxFakeCursor::KeyFilterRemove(TnxKeyFilterID aKeyFilterID) {
  return RemoveFilterEngine(aKeyFilterID, keyFilter_, keyFilterIds_);
}

TnxResult TnxFakeCursor::SwitchToIndex(const nxString& aIndexName, std::int32_t aIndexID, TnxPosnOnRec aPosnOnRec) {
  std::int32_t index = aIndexID;
  if (!aIndexName.empty()) index = table_->dictionary->GetIndexFromName(aIndexName);
  TnxMainIndicesDescriptor* indices = table_->dictionary->IndicesDescriptor();
  if (index >= 0 && (!indices || index >= indices->IndexCount())) return nxErrObjectNotFound;
  platform::TObject::free(std::exchange(keyEngine_, nullptr));
  hasRange_ = false;
  if (index >= 0) keyEngine_ = TnxBaseKeyEngine::CreateFor(indices->Indices(index)->KeyDescriptor());
  indexID_ = index;
  if (aPosnOnRec == porFalse) currentRef_ = 0;
  RebuildOrder();
  return 0;
}

TnxResult TnxFakeCursor::GetIndexID(std::int32_t& aIndexID) {
  aIndexID = indexID_;
  return 0;
}

TnxResult TnxFakeCursor::SetToKey(TnxSearchKeyAction, std::int32_t, std::int32_t, bool, const void*) {
  return NotSupported(u"SetToKey");
}
TnxResult TnxFakeCursor::RecordGetForKey(std::int32_t, std::int32_t, bool, const void*, PnxRecordBuffer, bool, bool) {
  return NotSupported(u"RecordGetForKey");
}
TnxResult TnxFakeCursor::RecordGetForKeyBatch(std::int32_t, TnxRecordGetBatchExOptions, TnxBatchStreamAccess*&,
                                           const TnxDataSetKeyBufferArray&, bool, bool) {
  return NotSupported(u"RecordGetForKeyBatch");
}
TnxResult TnxFakeCursor::RangeSet(std::int32_t aFieldCount1, std::int32_t aPartialLen1, bool aDirectKey1,
                                  const void* aKeyData1, bool aKeyIncl1, std::int32_t aFieldCount2,
                                  std::int32_t aPartialLen2, bool aDirectKey2, const void* aKeyData2,
                                  bool aKeyIncl2) {
  if (!keyEngine_) return nxErrNoSuchIndex;
  auto keyOf = [&](bool aDirect, const void* aData, std::vector<std::uint8_t>& aKey) -> TnxResult {
    aKey.assign(keyEngine_->KeyLength(), 0);
    if (aDirect) {
      std::memcpy(aKey.data(), aData, aKey.size());
      return 0;
    }
    const TnxResult built = keyEngine_->BuildKey(aData, aKey.data(), 0, true);
    return built == 1 ? 0 : built;
  };
  TnxResult result = keyOf(aDirectKey1, aKeyData1, rangeLow_);
  if (result == 0) result = keyOf(aDirectKey2, aKeyData2, rangeHigh_);
  if (result != 0) return result;
  rangeFields1_ = aFieldCount1;
  rangeFields2_ = aFieldCount2;
  rangePartial1_ = aPartialLen1;
  rangePartial2_ = aPartialLen2;
  rangeIncl1_ = aKeyIncl1;
  rangeIncl2_ = aKeyIncl2;
  hasRange_ = true;
  currentRef_ = 0;
  RebuildOrder();
  return 0;
}

TnxResult TnxFakeCursor::RangeReset() {
  hasRange_ = false;
  RebuildOrder();
  return 0;
}

TnxResult TnxFakeCursor::CompareKeys(std::int32_t aFieldCount, std::int32_t aPartialLen, bool aDirectKey1,
                                     const void* aKeyData1, bool aDirectKey2, const void* aKeyData2,
                                     std::int32_t& aResult) {
  if (!keyEngine_) return nxErrNoSuchIndex;
  std::vector<std::uint8_t> key1(keyEngine_->KeyLength()), key2(keyEngine_->KeyLength());
  if (aDirectKey1) std::memcpy(key1.data(), aKeyData1, key1.size());
  else keyEngine_->BuildKey(aKeyData1, key1.data(), 0, true);
  if (aDirectKey2) std::memcpy(key2.data(), aKeyData2, key2.size());
  else keyEngine_->BuildKey(aKeyData2, key2.data(), 0, true);
  aResult = keyEngine_->CompareKey(key1.data(), key2.data(), aFieldCount, aPartialLen);
  return 0;
}

void TnxFakeCursor::RequestNestedTransactions() {
  if (!feNestedTransactions) TnxAbstractCursor::RequestNestedTransactions();
  ++feNestedRequests;
}

TnxResult TnxFakeCursor::sbcBlobCopyPrim(TnxServerBaseCursor* aSrcCursor, std::int32_t, TnxBlobNr aBlobNr,
                                         std::int32_t, TnxBlobNr& aDestBlobNr, std::int64_t aMaxLength) {
  ++table_->blobCalls;
  auto* source = platform::objectAs<TnxFakeCursor>(aSrcCursor);
  if (!source) return nxErrInvalidParam;
  const auto found = source->table_->blobs.find(aBlobNr);
  if (found == source->table_->blobs.end()) return nxErrInvalidBlobHandle;
  std::vector<std::uint8_t> copy = found->second;
  if (aMaxLength >= 0 && copy.size() > static_cast<std::uint64_t>(aMaxLength))
    copy.resize(static_cast<std::size_t>(aMaxLength));
  aDestBlobNr = table_->nextBlobNr++;
  table_->blobs[aDestBlobNr] = std::move(copy);
  return 0;
}

TnxDefaultValueHandler* TnxFakeCursor::sbcDefaultValueHandler() {
  if (feNoDefaultHandler) return nullptr;
  if (!defaultHandlerMade_) {
    defaultHandler_ = TnxDefaultValueHandler::CreateFor(FieldsDescriptor(), aaServer, this);
    defaultHandlerMade_ = true;
  }
  return defaultHandler_;
}

TnxResult TnxFakeCursor::RecordGetBatch(std::int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                                     TnxBatchStreamAccess*& aAccess, std::int32_t aMaxRecords, bool aForward) {
  return nxGuardedCall(*this, [&]() -> TnxResult {
    if (!aAccess) aAccess = CreateBatchStreamAccess(nullptr, aOptions);
    const TnxRecordGetBatchExOptions options = aAccess->Options();
    TnxMemoryStream& stream = *aAccess->Stream();
    stream.SetSize(0);
    stream.SetPosition(0);
    std::uint32_t header[2] = {0, 0};
    stream.WriteBuffer(header, 8);
    TnxFieldsDescriptor* fields = FieldsDescriptor();
    const std::uint32_t rl = RecordLength();
    std::int32_t bookmarkSize = 0;
    if (options.contains(gboBookmarks)) sbcGetBookmarkSize(bookmarkSize);
    std::vector<std::uint8_t> record(rl);
    std::uint32_t innerError = 0;
    std::int32_t count = 0;
    const TnxMarkedBlobsByBlobIdx& marked = aAccess->MarkedBlobs();
    while ((aMaxRecords <= 0 || count < aMaxRecords) && stream.Size() < aCutoffSize) {
      const TnxResult result = aForward ? RecordGetNext(nxltNoLock, record.data()) : RecordGetPrior(nxltNoLock, record.data());
      if (result != 0) {
        innerError = static_cast<std::uint32_t>(result);
        break;
      }
      const std::int64_t entryStart = stream.Size();
      std::vector<std::uint8_t> blocks;
      if (options.contains(gboBlobs)) {
        for (std::int32_t i = 0; i < fields->FieldCount(); ++i) {
          TnxFieldDescriptor* field = fields->Fields(i);
          if (!nxFieldTypeIn(field->fdType, nxBlobFieldTypes) || fields->IsRecordFieldNull(i, record.data())) continue;
          if (options.contains(gboBlobsOnlyMarked)) {
            const std::int32_t k = field->fdBlobIndex;
            if (k < 0 || static_cast<std::size_t>(k / 32) >= marked.size() || !((marked[k / 32] >> (k % 32)) & 1u))
              continue;
          }
          TnxBlobNr blobNr;
          std::memcpy(&blobNr, record.data() + field->fdOffset, sizeof(blobNr));
          if (blobNr == 0) continue;
          const auto it = table_->blobs.find(blobNr);
          const std::vector<std::uint8_t> data = it == table_->blobs.end() ? std::vector<std::uint8_t>() : it->second;
          const std::int64_t offset = entryStart + 4 + rl + bookmarkSize + static_cast<std::int64_t>(blocks.size());
          std::memcpy(record.data() + field->fdOffset, &offset, sizeof(offset));
          const auto size = static_cast<std::uint32_t>(data.size());
          blocks.insert(blocks.end(), reinterpret_cast<const std::uint8_t*>(&size),
                        reinterpret_cast<const std::uint8_t*>(&size) + 4);
          blocks.insert(blocks.end(), data.begin(), data.end());
          if (options.contains(gboBlobNrs))
            blocks.insert(blocks.end(), reinterpret_cast<const std::uint8_t*>(&blobNr),
                          reinterpret_cast<const std::uint8_t*>(&blobNr) + 8);
        }
      }
      const std::uint32_t n = rl + static_cast<std::uint32_t>(bookmarkSize) + static_cast<std::uint32_t>(blocks.size());
      stream.WriteBuffer(&n, 4);
      stream.WriteBuffer(record.data(), static_cast<std::int32_t>(rl));
      if (bookmarkSize > 0) {
        std::vector<std::uint8_t> bookmark(static_cast<std::size_t>(bookmarkSize));
        GetBookmark(bookmark.data(), bookmarkSize);
        stream.WriteBuffer(bookmark.data(), bookmarkSize);
      }
      if (!blocks.empty()) stream.WriteBuffer(blocks.data(), static_cast<std::int32_t>(blocks.size()));
      ++count;
    }
    auto* memory = static_cast<std::uint8_t*>(stream.Memory());
    std::memcpy(memory, &innerError, 4);
    std::memcpy(memory + 4, &count, 4);
    aAccess->Reset(false);
    return 0;
  });
}

TnxResult TnxFakeCursor::RecordInsertBatch(TnxMemoryStream*) { return NotSupported(u"RecordInsertBatch"); }
TnxResult TnxFakeCursor::CopyRecords(TnxAbstractCursor*, TnxBlobCopyMode, std::uint32_t) {
  return NotSupported(u"CopyRecords");
}
TnxResult TnxFakeCursor::CopyRecordsEx(TnxAbstractCursor*, TnxBlobCopyMode, std::uint32_t, bool) {
  return NotSupported(u"CopyRecordsEx");
}
TnxResult TnxFakeCursor::DeleteRecords() {
  // The records of the current range (all without one).
  return nxGuardedCall(*this, [&]() -> TnxResult {
    for (std::size_t i : order_) {
      TnxFakeTable::Row& row = table_->rows[i];
      if (table_->storage) table_->storage->Delete(row.refNr, row.data.data());
      row.deleted = true;
    }
    RebuildOrder();
    return 0;
  });
}

TnxResult TnxFakeCursor::BlobCreate(const TnxRecID&, std::int32_t, TnxBlobNr& aBlobNr) {
  ++table_->blobCalls;
  aBlobNr = table_->nextBlobNr++;
  table_->blobs[aBlobNr];
  return 0;
}

TnxResult TnxFakeCursor::BlobCreateFile(const TnxRecID&, std::int32_t, const nxString&, TnxBlobNr& aBlobNr) {
  aBlobNr = 0;
  return NotSupported(u"BlobCreateFile");
}

TnxResult TnxFakeCursor::BlobDelete(const TnxRecID&, std::int32_t, TnxBlobNr aBlobNr) {
  ++table_->blobCalls;
  return table_->blobs.erase(aBlobNr) ? 0 : nxErrInvalidBlobHandle;
}

TnxResult TnxFakeCursor::sbcBlobRead(const TnxRecID&, std::int32_t, TnxBlobNr aBlobNr, std::uint32_t aOffset,
                                  std::uint32_t aLen, TStream& aStream, bool, PnxNewBlobNr aNewBlobNr) {
  ++table_->blobCalls;
  if (auto moved = table_->renumbered.find(aBlobNr); moved != table_->renumbered.end()) {
    if (aNewBlobNr) *aNewBlobNr = TnxNewBlobNr{moved->second, true};
    return nxErrBlobModified;
  }
  auto it = table_->blobs.find(aBlobNr);
  if (it == table_->blobs.end()) return nxErrInvalidBlobHandle;
  const auto& data = it->second;
  if (aOffset > data.size()) return nxErrInvalidBlobLength;
  const std::uint32_t n = std::min<std::uint32_t>(aLen, static_cast<std::uint32_t>(data.size()) - aOffset);
  if (n) aStream.WriteBuffer(data.data() + aOffset, static_cast<std::int32_t>(n));
  return 0;
}

TnxResult TnxFakeCursor::BlobWrite(const TnxRecID&, std::int32_t, TnxBlobNr aBlobNr, std::uint32_t aOffset,
                                std::uint32_t aLen, const void* aBlob) {
  ++table_->blobCalls;
  if (table_->failBlobWrite != 0) return table_->failBlobWrite;
  auto it = table_->blobs.find(aBlobNr);
  if (it == table_->blobs.end()) return nxErrInvalidBlobHandle;
  auto& data = it->second;
  if (data.size() < static_cast<std::size_t>(aOffset) + aLen) data.resize(static_cast<std::size_t>(aOffset) + aLen);
  if (aLen) std::memcpy(data.data() + aOffset, aBlob, aLen);
  return 0;
}

TnxResult TnxFakeCursor::BlobTruncate(const TnxRecID&, std::int32_t, TnxBlobNr aBlobNr, std::uint32_t aBlobLength) {
  auto it = table_->blobs.find(aBlobNr);
  if (it == table_->blobs.end()) return nxErrInvalidBlobHandle;
  it->second.resize(aBlobLength);
  return 0;
}

TnxResult TnxFakeCursor::sbcBlobGetLength(const TnxRecID&, std::int32_t, TnxBlobNr aBlobNr, std::uint32_t& aLength, bool,
                                       PnxNewBlobNr aNewBlobNr) {
  ++table_->blobCalls;
  aLength = 0;
  if (auto moved = table_->renumbered.find(aBlobNr); moved != table_->renumbered.end()) {
    if (aNewBlobNr) *aNewBlobNr = TnxNewBlobNr{moved->second, true};
    return nxErrBlobModified;
  }
  auto it = table_->blobs.find(aBlobNr);
  if (it == table_->blobs.end()) return nxErrInvalidBlobHandle;
  aLength = static_cast<std::uint32_t>(it->second.size());
  return 0;
}

TnxResult TnxFakeCursor::BlobModified(const TnxRecID&, std::int32_t, TnxBlobNr, bool& aModified) {
  aModified = false;
  return 0;
}

TnxResult TnxFakeCursor::TableStreamGetList(platform::TStringList& aStreams) {
  for (auto& [name, bytes] : table_->streams) aStreams.add(name);
  return 0;
}

TnxResult TnxFakeCursor::TableStreamWrite(const nxString& aName, TStream& aStream) {
  table_->streams[upperName(aName)] = readAll(aStream);
  return 0;
}

TnxResult TnxFakeCursor::TableStreamRead(const nxString& aName, TStream& aStream) {
  auto it = table_->streams.find(upperName(aName));
  if (it == table_->streams.end()) return nxErrObjectNotFound;
  if (!it->second.empty()) aStream.WriteBuffer(it->second.data(), static_cast<std::int32_t>(it->second.size()));
  return 0;
}

TnxResult TnxFakeCursor::TableStreamDelete(const nxString& aName) {
  return table_->streams.erase(upperName(aName)) ? 0 : nxErrObjectNotFound;
}

TnxResult TnxFakeCursor::TableIsLocked(TnxLockType, TnxLockPresent& aLockPresent) {
  aLockPresent = lpNotAtAll;
  return 0;
}

TnxResult TnxFakeCursor::Duplicate(TnxOpenMode, TnxAbstractCursor*& aNewCursor) {
  aNewCursor = nullptr;
  return nxGuardedCall(*this, [&]() -> TnxResult {
    auto* copy = platform::create<TnxFakeCursor>(static_cast<TnxFakeDatabase*>(acDatabase), table_, Timeout(),
                                                 indexID_);
    copy->password_ = password_;
    copy->feNestedTransactions = feNestedTransactions;
    aNewCursor = copy;
    return 0;
  });
}

TnxResult TnxFakeCursor::ChangePassword(const nxString&) { return NotSupported(u"ChangePassword"); }

TnxResult TnxFakeCursor::GetRecordCount(std::uint32_t& aRecCount, bool) {
  aRecCount = 0;
  for (std::size_t i : order_)
    if (Passes(table_->rows[i])) ++aRecCount;
  return 0;
}

TnxResult TnxFakeCursor::GetRecordCountAsync(TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotSupported(u"GetRecordCountAsync");
}

TnxResult TnxFakeCursor::GetRecordCountEx(TnxRecordCountOption, std::uint32_t& aRecCount, bool aEstimate) {
  return GetRecordCount(aRecCount, aEstimate);
}

TnxResult TnxFakeCursor::GetRecordCountExAsync(TnxRecordCountOption, TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotSupported(u"GetRecordCountExAsync");
}

TnxResult TnxFakeCursor::ContainsLSNRefNr(TnxLSN& aLSN, TnxRefNr& aRefNr) {
  if (aLSN == 0 && aRefNr == 0) return nxErrNoCurrentRecord;
  for (const auto& row : table_->rows)
    if (row.refNr == aRefNr) return row.deleted ? nxErrKeyOrRecDeleted : 0;
  return nxErrRecordNotFound;
}

TnxResult TnxFakeCursor::ascGetBlobCacheInfos(const TnxRecID&, TnxBlobCacheInfos& aBCIs) {
  aBCIs.clear();
  return NotSupported(u"ascGetBlobCacheInfos");
}

TnxResult TnxFakeCursor::ascSetBlobCacheFlushed(const TnxRecID&, std::int32_t, TnxBlobNr, TnxBlobNr*) {
  return NotSupported(u"ascSetBlobCacheFlushed");
}

TnxIndexPathPosition TnxFakeCursor::sbcGetPosition() {
  if (pos_ < 0) return ippBof;
  if (pos_ >= static_cast<std::int64_t>(order_.size())) return ippEof;
  return ippOnKey;
}

TnxResult TnxFakeCursor::sbcBlobCreateLink(const TnxRecID&, std::int32_t, const nxString&, TnxBlobNr, TnxBlobNr& aBlobNr) {
  aBlobNr = 0;
  return NotSupported(u"sbcBlobCreateLink");
}

TnxResult TnxFakeCursor::sbcIterate(PPnxRecordBuffer, const TnxKeyIterator&, const TnxRecordIterator& aRecIterator,
                                 bool aBackward, void* aCookie, bool) {
  std::vector<std::size_t> rows = order_;
  if (aBackward) std::reverse(rows.begin(), rows.end());
  for (std::size_t i : rows) {
    auto& row = table_->rows[i];
    if (row.deleted || !Passes(row)) continue;
    if (aRecIterator && aRecIterator(aCookie, row.refNr, row.data.data()) == rirStop) break;
  }
  return 0;
}

TnxRefNr TnxFakeCursor::sacGetRefNr() {
  const TnxFakeTable::Row* row = Current();
  return row ? row->refNr : 0;
}

void TnxFakeCursor::sacSetRefNr(TnxRefNr aRefNr) {
  currentRef_ = aRefNr;
  RebuildOrder();
}

TnxResult TnxFakeCursor::sacGetRecordByID(TnxRefNr aRefNr, PnxRecordBuffer aRecordBuffer) {
  const TnxFakeTable::Row* row = table_->FindRow(aRefNr);
  if (!row) return nxErrRecordNotFound;
  std::memcpy(aRecordBuffer, row->data.data(), row->data.size());
  return 0;
}

// ---- Statement ------------------------------------------------------------------------

TnxFakeStatement::TnxFakeStatement(TnxFakeDatabase* aDatabase, std::uint32_t aTimeout) : TnxAbstractStatement(aDatabase, aTimeout) {}

TnxFakeCounters& TnxFakeStatement::counters() { return static_cast<TnxFakeDatabase*>(Database())->Store().counters; }

TnxResult TnxFakeStatement::Prepare(TnxStatementType, const nxString& aQueryText, TStream* aStream) {
  counters().statementCalls.push_back("Prepare");
  text_ = aQueryText;
  prepared_ = true;
  putU32(aStream, 0);
  return 0;
}

TnxResult TnxFakeStatement::SetParams(const TnxSqlParamList& aParams, TStream* aStream) {
  counters().statementCalls.push_back("SetParams");
  if (!prepared_) return nxErrInvalidParam;
  params_ = aParams;
  putU32(aStream, static_cast<std::uint32_t>(aParams.size()));
  return 0;
}

TnxResult TnxFakeStatement::Exec(TnxAbstractCursor*& aCursor, TnxOpenMode aOpenMode, TStream* aStream) {
  counters().statementCalls.push_back("Exec");
  aCursor = nullptr;
  if (!prepared_) return nxErrInvalidParam;
  auto* database = static_cast<TnxFakeDatabase*>(Database());
  auto it = database->Store().canned.find(text_);
  std::uint32_t rows = 0;
  if (it != database->Store().canned.end()) {
    const TnxResult result = database->CursorOpen(aCursor, it->second, nxString(), aOpenMode, smShared, Timeout(),
                                                  nxString(), -1, false, {}, 0, nullptr);
    if (result != 0) return result;
    aCursor->GetRecordCount(rows, false);
  }
  putU32(aStream, rows);
  return 0;
}

TnxResult TnxFakeStatement::GetParams(TnxSqlParamList& aParams, TStream* aStream) {
  counters().statementCalls.push_back("GetParams");
  for (auto& param : aParams)
    for (const auto& own : params_)
      if (param.piParamName == own.piParamName &&
          (param.piParamType == nxptOutput || param.piParamType == nxptInputOutput))
        param.piData = own.piData;
  putU32(aStream, static_cast<std::uint32_t>(aParams.size()));
  return 0;
}

