// The restructure and recovery tasks: containers, nodes and task infos, and
// the table cursor's record copy of the recovery.
#include "nxsrServerEngine.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "nxllConvertException.h"
#include "nxllStreams.h"
#include "nxsdValidationEngine.h"
#include "nxsrEngineBases.h"
#include "nxsrFieldMapper.h"
#include "nxsrTimeoutHandling.h"

PL_CLASS_INFO_IMPL(TnxServerRestructureNode, TnxObject, "TnxServerRestructureNode", nullptr)
PL_CLASS_INFO_IMPL(TnxServerRestructureContainer, TnxObject, "TnxServerRestructureContainer", nullptr)
PL_CLASS_INFO_IMPL(TnxServerRestructureTaskInfo, TnxServerTaskInfo, "TnxServerRestructureTaskInfo", nullptr)
PL_CLASS_INFO_IMPL(TnxServerRecoverNode, TnxObject, "TnxServerRecoverNode", nullptr)
PL_CLASS_INFO_IMPL(TnxServerRecoverContainer, TnxObject, "TnxServerRecoverContainer", nullptr)
PL_CLASS_INFO_IMPL(TnxServerRecoverTaskInfo, TnxServerTaskInfo, "TnxServerRecoverTaskInfo", nullptr)

namespace {

constexpr TnxWord32 kTaskRecoveryDeadlineMs = 86400000;

void taskFreeCursor(TnxServerTableCursor*& aCursor) noexcept {
  if (TnxServerTableCursor* cursor = std::exchange(aCursor, nullptr)) {
    try {
      TnxAbstractServerObject::Free(cursor);
    } catch (...) {
      // A cursor that fails to go is left to its database's end.
    }
  }
}

void taskFreeDatabase(TnxServerDatabase*& aDatabase) noexcept {
  if (TnxServerDatabase* database = std::exchange(aDatabase, nullptr)) {
    try {
      TnxAbstractServerObject::Free(database);
    } catch (...) {
      // Nothing else holds it: a failure here only loses the object.
    }
  }
}

// Every file of the cursor's table writes through its transactions, unless
// the table lives in memory.
void taskSetWriteThrough(TnxServerTableCursor* aCursor) {
  TnxServerRootTable* root = aCursor->Table()->Root();
  TnxBaseFile* main = root->MainFile();
  if (!main || main->IsTemporary() || main->Attributes().contains(nxfaMemTable)) return;
  for (std::int32_t i = 0; i < root->FileCount(); ++i)
    if (TnxBaseFile* file = root->Files(i)) {
      TnxFileAttributes attributes = file->Attributes();
      attributes.include(nxfaTransWriteThrough);
      file->SetAttributes(attributes);
    }
}

// A cursor on aTableName of aDatabase, exclusive, default index; raises.
TnxServerTableCursor* taskOpenTable(TnxServerDatabase* aDatabase, const nxString& aTableName,
                                 const nxString& aPassword, TnxOpenMode aOpenMode) {
  TnxAbstractCursor* cursor = nullptr;
  nxCheckErrorCode(aDatabase->sdCursorOpen(cursor, aTableName, aPassword, false, aOpenMode, smExclusive, false,
                                           aDatabase->Timeout(), u"", -1, false, false));
  return static_cast<TnxServerTableCursor*>(cursor);
}

void taskCopyTableStreams(TnxServerTableCursor* aSource, TnxServerTableCursor* aTarget) {
  platform::TStringList streams;
  if (aSource->sbcTableStreamGetList(streams, true) != 0) return;
  for (int i = 0; i < streams.count(); ++i) {
    const nxString name = streams.strings(i);
    if (platform::sameTextAscii(name, u"DICT") || platform::sameTextAscii(name, u"$TableName")) continue;
    try {
      TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
      if (aSource->sbcTableStreamRead(name, *stream, true) != 0) continue;
      stream->SetPosition(0);
      aTarget->sbcTableStreamWrite(name, *stream, true);
    } catch (const std::exception&) {
      // A stream that cannot be carried over does not stop the copy.
    }
  }
}

}  // namespace

// ---- Recovery mode -------------------------------------------------------------------

TnxRecoveryModeGuard::TnxRecoveryModeGuard() : rmgPrevious(nxsrInRecoveryMode()) { nxsrSetRecoveryMode(true); }
TnxRecoveryModeGuard::~TnxRecoveryModeGuard() { nxsrSetRecoveryMode(rmgPrevious); }

nxString nxRestructureTargetName(const nxString& aTargetRoot, const nxString& aPath, const nxString& aMapTo) {
  const nxString part = aMapTo.empty() ? nxString(u".") : aMapTo;
  if (part[0] == u'.') return aTargetRoot + aPath + u":" + part;
  return aTargetRoot + u":" + part;
}

// ---- Restructure node ------------------------------------------------------------------

TnxServerRestructureNode::TnxServerRestructureNode(TnxServerRestructureContainer* aOwner,
                                                   TnxServerTableCursor* aSourceCursor,
                                                   TnxServerTableCursor* aTargetCursor,
                                                   TnxBaseRecordMapperDescriptor* aMapperDesc)
    : srnOwner(aOwner), srnMapperDesc(aMapperDesc) {
  if (aMapperDesc) nxCheckErrorCode(aSourceCursor->sbcGetRecordCount(rcoTotalRecordCount, srnRecordCount, false));
  // Taken over last: a constructor that raises leaves the cursors with the caller.
  srnSourceCursor = aSourceCursor;
  srnTargetCursor = aTargetCursor;
}

TnxServerRestructureNode::~TnxServerRestructureNode() {
  taskFreeCursor(srnTargetCursor);
  taskFreeCursor(srnSourceCursor);
}

TnxRecordIteratorResult TnxServerRestructureNode::RecordStep(PnxRecordBuffer aRecord) {
  ++RecordsRead;
  TnxServerTableCursor* target = srnTargetCursor;
  PnxRecordBuffer buffer = srnBuffer.data();
  target->RecordBufferClear(buffer);
  srnError = RecordMapper->MapRecord(aRecord, buffer);
  if (srnError == 0) {
    try {
      if (TnxValidationsHandler* validations = target->ValidationsHandler())
        validations->ValidateRecord(nullptr, buffer);
      TnxServerBaseTable* table = target->Table();
      table->sbtInitRecRev(buffer);
      table->sbtInitRefNr(buffer);
      table->sbtInitLSNFields(
          [target]() -> TnxLSN {
            TnxLSN lsn = 1;
            return target->GetNextLSN(lsn) ? lsn : 1;
          },
          buffer);
      TnxBaseTransaction* trans = target->GetActiveTrans();
      TnxRefNr refNr = 0;
      table->RecordEngine()->AddRecord(trans, refNr, buffer);
      if (srnBulkBuilder) srnError = srnBulkBuilder->InsertKey(&refNr, buffer, trans);
      if (srnError == 0)
        if (TnxBaseFulltextCursorEngine* fulltext = target->FulltextEngine())
          srnError = fulltext->UpdateIndex(trans, nullptr, 0, buffer, refNr);
    } catch (const std::exception&) {
      srnError = target->asoConvertException(std::current_exception());
    }
  }
  if (srnError == 0 && RecordsRead % 10 == 0 && srnOwner->MakeSnapshot(RecordsRead, RecordsWritten, 0))
    srnError = nxErrUpdateAborted;
  return srnError == 0 ? rirContinue : rirStop;
}

void TnxServerRestructureNode::Execute() {
  if (!srnMapperDesc) return;
  srnError = 0;
  RecordsRead = 0;
  RecordsWritten = 0;
  TnxServerTableCursor* source = srnSourceCursor;
  TnxServerTableCursor* target = srnTargetCursor;
  try {
    srnError = source->sbcSwitchToIndex(u"", -1, porFalse);
    if (srnError == 0) RecordMapper = TnxBaseRecordMapperEngine::CreateFor(srnMapperDesc, source, target);
    if (srnError == 0 && RecordMapper) {
      srnError = target->sbcTransactionStart(false, false, false, true, false, target->IsResultSet);
      TransactionStarted = srnError == 0;
      if (srnError == 0) srnError = target->sbcBeginContentLock(true, false, false);
      if (srnError == 0) {
        srnBuffer.assign(static_cast<std::size_t>(target->Table()->FieldsDescriptor()->RecordLength()) + 16, 0);
        srnError = target->stcCreateBulkBuilder(srnBulkBuilder);
      }
      if (srnError == 0) {
        RecordMapper->BeforeFirstRecord();
        srnError = source->sbcSetToBegin();
      }
      if (srnError == 0) {
        const TnxResult walked = source->sbcIterate(
            nullptr, nullptr,
            [this](void*, TnxRefNr, PnxRecordBuffer aRecord) { return RecordStep(aRecord); }, false, nullptr, false);
        if (srnError == 0) srnError = walked == nxErrEOF ? 0 : walked;
      }
      if (srnError == 0) {
        if (srnBulkBuilder) srnError = srnBulkBuilder->Finalize(target->GetActiveTrans());
        if (srnError == 0) RecordMapper->BeforeCommit();
        if (srnError == 0) {
          srnError = target->sbcTransactionCommit();
          if (srnError == 0) {
            TransactionStarted = false;
            RecordsWritten = RecordsRead;
          }
        }
      }
    }
  } catch (const std::exception&) {
    srnError = target->asoConvertException(std::current_exception());
  }
  nxFreeAndNil(srnBulkBuilder);
  if (TransactionStarted) {
    TransactionStarted = false;
    target->sbcTransactionRollback();
  }
  if (srnError == 0 && RecordMapper) {
    std::uint32_t sourceCount = 0, targetCount = 0;
    TnxResult counted = source->sbcGetRecordCount(rcoTotalRecordCount, sourceCount, false);
    if (counted == 0) counted = target->sbcGetRecordCount(rcoTotalRecordCount, targetCount, false);
    srnError = counted != 0 ? counted : sourceCount != targetCount ? nxErrCorruptFile : 0;
  }
  if (srnOwner->MakeSnapshot(RecordsRead, RecordsWritten, 0)) srnError = nxErrUpdateAborted;
  srnOwner->MakeSnapshot(RecordsRead, RecordsWritten, srnError);
  nxFreeAndNil(RecordMapper);
  nxCheckErrorCode(srnError);
}

// ---- Restructure container -----------------------------------------------------------

TnxServerRestructureContainer::TnxServerRestructureContainer(TnxServerTableCursor* aSourceCursor,
                                                             TnxBaseTableMapperDescriptor* aMapperDesc,
                                                             TnxServerTableCursor* aTargetCursor) {
  srcMapperDesc = aMapperDesc->Duplicate();
  TnxServerRestructureNode* root = nullptr;
  try {
    root = platform::create<TnxServerRestructureNode>(this, aSourceCursor, aTargetCursor,
                                                      srcMapperDesc->RecordMapper());
    srcNodes.push_back(root);
    srcSourceDatabase = aSourceCursor->ServerDatabase();
    srcTargetDatabase = aTargetCursor->ServerDatabase();
    srcPassword = aSourceCursor->sbcExtractPassword();
    srcSourceName = aSourceCursor->Table()->Root()->Name();
    srcTargetName = aTargetCursor->Table()->Root()->Name();
    taskSetWriteThrough(aTargetCursor);
    srcAddNested(srcMapperDesc, nxString());
  } catch (...) {
    // The caller keeps its cursors and databases.
    if (root) {
      root->srnSourceCursor = nullptr;
      root->srnTargetCursor = nullptr;
    }
    srcSourceDatabase = nullptr;
    srcTargetDatabase = nullptr;
    srcFreeNodes(true);
    nxFreeAndNil(srcMapperDesc);
    throw;
  }
}

void TnxServerRestructureContainer::srcAddNested(TnxBaseTableMapperDescriptor* aMapping, const nxString& aPath) {
  for (std::int32_t i = 0; i < aMapping->TableCount(); ++i) {
    TnxBaseTableMapperDescriptor* nested = aMapping->Tables(i);
    const nxString path = aPath + u":" + nested->Name();
    TnxServerTableCursor* source = taskOpenTable(srcSourceDatabase, srcSourceName + path, srcPassword, omReadOnly);
    TnxServerTableCursor* target = nullptr;
    try {
      target = taskOpenTable(srcTargetDatabase, nxRestructureTargetName(srcTargetName, path, nested->MapTo()),
                          srcPassword, omReadWrite);
      srcNodes.push_back(platform::create<TnxServerRestructureNode>(this, source, target, nested->RecordMapper()));
    } catch (...) {
      taskFreeCursor(target);
      taskFreeCursor(source);
      throw;
    }
    srcAddNested(nested, path);
  }
}

TnxServerRestructureContainer::~TnxServerRestructureContainer() {
  srcFreeNodes(false);
  srcFreeDatabases();
  nxFreeAndNil(srcMapperDesc);
}

void TnxServerRestructureContainer::srcFreeNodes(bool aBackward) noexcept {
  if (aBackward) std::reverse(srcNodes.begin(), srcNodes.end());
  for (TnxServerRestructureNode*& node : srcNodes) {
    try {
      nxFreeAndNil(node);
    } catch (...) {
      // The node's cursors go with their databases.
    }
  }
  srcNodes.clear();
}

void TnxServerRestructureContainer::srcFreeDatabases() noexcept {
  if (srcTargetDatabase == srcSourceDatabase) srcTargetDatabase = nullptr;
  taskFreeDatabase(srcTargetDatabase);
  taskFreeDatabase(srcSourceDatabase);
}

std::uint32_t TnxServerRestructureContainer::GetRecordCount() const {
  std::uint32_t total = 0;
  for (const TnxServerRestructureNode* node : srcNodes) total += node->RecordCount();
  return total;
}

bool TnxServerRestructureContainer::MakeSnapshot(std::uint32_t aRead, std::uint32_t aWritten, TnxResult aErrorCode) {
  srcCurrentRecordsRead = srcBaseRecordsRead + aRead;
  srcCurrentRecordsWritten = srcBaseRecordsWritten + aWritten;
  return srcOwner && srcOwner->MakeSnapshot(srcCurrentRecordsRead, srcCurrentRecordsWritten, aErrorCode);
}

void TnxServerRestructureContainer::Execute() {
  TnxResult result = 0;
  try {
    if (!srcNodes.empty()) taskCopyTableStreams(srcNodes.front()->SourceCursor(), srcNodes.front()->TargetCursor());
    srcBaseRecordsRead = 0;
    srcBaseRecordsWritten = 0;
    for (TnxServerRestructureNode* node : srcNodes) {
      try {
        node->Execute();
      } catch (const std::exception&) {
        result = srcOwner ? srcOwner->asoConvertException(std::current_exception())
                          : nxConvertException(std::current_exception(), nullptr, nullptr, 0);
      }
      srcBaseRecordsRead = srcCurrentRecordsRead;
      srcBaseRecordsWritten = srcCurrentRecordsWritten;
      if (result != 0) break;
    }
    if (srcSourceDatabase == srcTargetDatabase) {
      result = srcSwap(result);
    } else {
      srcFreeNodes(true);
      if (srcTargetDatabase) srcTargetDatabase->Folder()->sfCloseInactiveTables();
    }
    srcFreeDatabases();
  } catch (const std::exception&) {
    result = srcOwner ? srcOwner->asoConvertException(std::current_exception())
                      : nxConvertException(std::current_exception(), nullptr, nullptr, 0);
  }
  MakeSnapshot(0, 0, result);
}

// Puts the target in the source's place, or deletes it after a failure.
// Through the database, so that its own temporary tables swap in its map.
TnxResult TnxServerRestructureContainer::srcSwap(TnxResult aResult) {
  TnxServerDatabase* db = srcSourceDatabase;
  TnxServerFolder* folder = db->Folder();
  // No other thread opens either table between the closing and the renames.
  folder->LockTables();
  struct Unlock {
    TnxServerFolder* f;
    ~Unlock() { f->UnlockTables(); }
  } unlock{folder};
  const bool persistent =
      !srcNodes.empty() && srcNodes.front()->TargetCursor()->Table()->Root()->TableScope() == tsPersistent;
  srcFreeNodes(false);
  // A rename whose table has moved counts as done even when the new name's
  // stream could not be written: undoing on that answer would lose the table.
  const auto rename = [&](const nxString& aOld, const nxString& aNew) {
    const TnxResult result = db->sdTableRename(aOld, aNew, srcPassword);
    if (result == 0) return result;
    const bool moved =
        db->sdTableExists(aOld, srcPassword, true) != 0 && db->sdTableExists(aNew, srcPassword, true) == 0;
    return moved ? TnxResult(0) : result;
  };
  if (aResult != 0) {
    db->sdTableDelete(srcTargetName, srcPassword);
    return aResult;
  }
  if (folder->InMemOnly() || !persistent) {
    TnxResult result = db->sdTableDelete(srcSourceName, srcPassword);
    if (result == 0) result = rename(srcTargetName, srcSourceName);
    return result;
  }
  nxString backup;
  TnxResult result = folder->sfTableMakeUniqueName(u"$" + srcSourceName + u"_Backup", backup);
  if (result == 0) result = rename(srcSourceName, backup);
  if (result != 0) {
    db->sdTableDelete(srcTargetName, srcPassword);
    return result;
  }
  result = rename(srcTargetName, srcSourceName);
  if (result != 0) {
    rename(backup, srcSourceName);
    db->sdTableDelete(srcTargetName, srcPassword);
    return result;
  }
  db->sdTableDelete(backup, srcPassword);
  return 0;
}

// ---- Restructure task ------------------------------------------------------------------

TnxServerRestructureTaskInfo::TnxServerRestructureTaskInfo(TnxServerRestructureContainer* aContainer)
    : TnxServerTaskInfo(static_cast<TnxServerSession*>(aContainer->SourceDatabase()->Session()),
                        aContainer->GetRecordCount(), platform::ThreadPriority::normal),
      rtiContainer(aContainer) {
  aContainer->srcOwner = this;
}

TnxServerRestructureTaskInfo::~TnxServerRestructureTaskInfo() { nxFreeAndNil(rtiContainer); }

void TnxServerRestructureTaskInfo::Execute() {
  TnxServerTaskRun run(this);
  try {
    rtiContainer->Execute();
  } catch (const std::exception&) {
    MakeSnapshot(0, 0, asoConvertException(std::current_exception()));
  }
}

// ---- Recovery node -----------------------------------------------------------------------

TnxServerRecoverNode::TnxServerRecoverNode(TnxServerRecoverContainer* aOwner, TnxServerTableCursor* aSourceCursor,
                                           TnxServerTableCursor* aTargetCursor, TnxServerTableCursor* aFailedCursor)
    : srnOwner(aOwner) {
  TnxServerBaseTable* table = aSourceCursor->Table();
  srnID = table->RecordEngine() ? table->RecordEngine()->GetRecoverID() : -1;
  if (TnxBaseRecordDescriptor* records = table->TableDescriptor()->RecordDescriptor())
    srnFileNumber = records->FileNumber();
  TnxList blobs;
  if (aTargetCursor->Table()->FieldsDescriptor()->HasSameFields(table->FieldsDescriptor(), &blobs))
    for (std::int32_t i = 0; i < blobs.Count(); ++i)
      srnBlobFields.push_back(static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(blobs.Items(i))));
  std::uint32_t autoInc = 0;
  nxCheckErrorCode(aSourceCursor->sbcAutoIncGet(autoInc));
  for (TnxServerTableCursor* target : {aTargetCursor, aFailedCursor}) {
    const TnxResult set = target->sbcAutoIncSet(autoInc);
    if (set != 0 && set != nxErrNotSupported) nxCheckErrorCode(set);
  }
  srnSourceCursor = aSourceCursor;
  srnTargetCursor = aTargetCursor;
  srnFailedCursor = aFailedCursor;
}

TnxServerRecoverNode::~TnxServerRecoverNode() {
  taskFreeCursor(srnFailedCursor);
  taskFreeCursor(srnTargetCursor);
  taskFreeCursor(srnSourceCursor);
}

// ---- Recovery container ----------------------------------------------------------------

TnxServerRecoverContainer::TnxServerRecoverContainer(TnxServerTableCursor* aSourceCursor,
                                                     TnxServerTableCursor* aTargetCursor,
                                                     TnxServerTableCursor* aFailedCursor) {
  nxAssert(aTargetCursor->ServerDatabase() == aFailedCursor->ServerDatabase(),
           "Recovery targets in different databases");
  TnxServerRecoverNode* root = nullptr;
  try {
    root = platform::create<TnxServerRecoverNode>(this, aSourceCursor, aTargetCursor, aFailedCursor);
    srcNodes.push_back(root);
    srcSourceRootTable = aSourceCursor->Table()->Root();
    srcSourceDatabase = aSourceCursor->ServerDatabase();
    srcTargetDatabase = aTargetCursor->ServerDatabase();
    srcPassword = aSourceCursor->sbcExtractPassword();
    srcSourceName = srcSourceRootTable->Name();
    srcTargetName = aTargetCursor->Table()->Root()->Name();
    srcFailedName = aFailedCursor->Table()->Root()->Name();
    TnxOwned<TnxTableMapperDescriptor> mapping(platform::create<TnxTableMapperDescriptor>());
    mapping->MapAllTablesAndFieldsByName(aSourceCursor->Table()->TableDescriptor(),
                                         aTargetCursor->Table()->TableDescriptor(), dlaFail);
    srcAddNested(mapping.get(), nxString());
    for (TnxServerRecoverNode* node : srcNodes) {
      if (node->srnID < 0) continue;
      const auto file = static_cast<std::size_t>(node->srnFileNumber);
      const auto id = static_cast<std::size_t>(node->srnID);
      if (srcIDMap.size() <= file) srcIDMap.resize(file + 1);
      if (srcIDMap[file].size() <= id) srcIDMap[file].resize(id + 1, nullptr);
      srcIDMap[file][id] = node;
    }
    srcFiles.assign(srcIDMap.size(), nullptr);
    for (std::size_t i = 0; i < srcIDMap.size(); ++i)
      if (!srcIDMap[i].empty() && static_cast<std::int32_t>(i) < srcSourceRootTable->FileCount())
        srcFiles[i] = srcSourceRootTable->Files(static_cast<std::int32_t>(i));
    taskSetWriteThrough(aTargetCursor);
    taskSetWriteThrough(aFailedCursor);
  } catch (...) {
    if (root) {
      root->srnSourceCursor = nullptr;
      root->srnTargetCursor = nullptr;
      root->srnFailedCursor = nullptr;
    }
    srcSourceDatabase = nullptr;
    srcTargetDatabase = nullptr;
    srcFreeNodes();
    throw;
  }
}

void TnxServerRecoverContainer::srcAddNested(TnxBaseTableMapperDescriptor* aMapping, const nxString& aPath) {
  for (std::int32_t i = 0; i < aMapping->TableCount(); ++i) {
    TnxBaseTableMapperDescriptor* nested = aMapping->Tables(i);
    const nxString path = aPath + u":" + nested->Name();
    TnxServerTableCursor* source = nullptr;
    TnxServerTableCursor* target = nullptr;
    TnxServerTableCursor* failed = nullptr;
    try {
      source = taskOpenTable(srcSourceDatabase, srcSourceName + path, srcPassword, omReadOnly);
      target = taskOpenTable(srcTargetDatabase, nxRestructureTargetName(srcTargetName, path, nested->MapTo()),
                          srcPassword, omWriteOnly);
      failed = taskOpenTable(srcTargetDatabase, nxRestructureTargetName(srcFailedName, path, nested->MapTo()),
                          srcPassword, omWriteOnly);
      srcNodes.push_back(platform::create<TnxServerRecoverNode>(this, source, target, failed));
    } catch (...) {
      taskFreeCursor(failed);
      taskFreeCursor(target);
      taskFreeCursor(source);
      throw;
    }
    srcAddNested(nested, path);
  }
}

TnxServerRecoverContainer::~TnxServerRecoverContainer() {
  if (srcTargetDatabase) srcTargetDatabase->Folder()->sfCloseInactiveTables();
  srcFreeNodes();
  srcFreeDatabases();
}

void TnxServerRecoverContainer::srcFreeNodes() noexcept {
  for (TnxServerRecoverNode*& node : srcNodes) {
    try {
      nxFreeAndNil(node);
    } catch (...) {
      // The node's cursors go with their databases.
    }
  }
  srcNodes.clear();
}

void TnxServerRecoverContainer::srcFreeDatabases() noexcept {
  if (srcTargetDatabase == srcSourceDatabase) srcTargetDatabase = nullptr;
  taskFreeDatabase(srcTargetDatabase);
  taskFreeDatabase(srcSourceDatabase);
}

std::uint32_t TnxServerRecoverContainer::GetTotalBlockCount() const {
  std::int64_t total = 0;
  for (TnxBaseFile* file : srcFiles)
    if (file) total += file->PhysicalBlockCount();
  return static_cast<std::uint32_t>(std::min<std::int64_t>(total, 0xFFFFFFFFll));
}

bool TnxServerRecoverContainer::MakeSnapshot(std::uint32_t aRead, std::uint32_t aWritten, TnxResult aErrorCode) {
  srcCurrentBlocksRead = srcBaseBlocksRead + aRead;
  srcCurrentBlocksWritten = srcBaseBlocksWritten + aWritten;
  return srcOwner && srcOwner->MakeSnapshot(srcCurrentBlocksRead, srcCurrentBlocksWritten, aErrorCode);
}

TnxBlockIteratorResult TnxServerRecoverContainer::srcBlockStep(TnxRecoverCookie& aCookie, TnxBlockNumber aBlockNr,
                                                               PnxBlock aBlock) {
  ++srcBlocksRead;
  bool stop = false;
  if (aBlock) {
    ++srcBlocksWritten;
    TnxBaseFile* file = srcFiles[static_cast<std::size_t>(aCookie.rcFileIndex)];
    const std::int32_t id = file->HeaderAccessFactory()->GetID(aBlock);
    const auto& row = srcIDMap[static_cast<std::size_t>(aCookie.rcFileIndex)];
    TnxServerRecoverNode* node =
        id >= 0 && static_cast<std::size_t>(id) < row.size() ? row[static_cast<std::size_t>(id)] : nullptr;
    if (node) {
      TnxServerTableCursor* source = node->srnSourceCursor;
      aCookie.rcTarget = node->srnTargetCursor;
      aCookie.rcFailed = node->srnFailedCursor;
      aCookie.rcBlobFields = &node->srnBlobFields;
      aCookie.rcBlockNr = aBlockNr;
      aCookie.rcRecord = nullptr;
      try {
        const TnxRecordIteratorResult walked = source->Table()->RecordEngine()->RecoverIterate(
            aBlock, aBlockNr, &aCookie.rcRecord,
            [source](void* aCk, TnxRefNr aRefNr, PnxRecordBuffer aRecord) {
              return source->stcRecoverRecordCopy(aCk, aRefNr, aRecord);
            },
            &aCookie);
        stop = walked == rirStop;
      } catch (const std::exception&) {
        aCookie.rcError = source->asoConvertException(std::current_exception());
      }
    }
  }
  if (MakeSnapshot(srcBlocksRead, srcBlocksWritten, 0)) {
    aCookie.rcError = nxErrUpdateAborted;
    return birStop;
  }
  return aCookie.rcError != 0 || stop ? birStop : birContinue;
}

void TnxServerRecoverContainer::Execute() {
  TnxResult result = 0;
  if (!srcNodes.empty()) {
    try {
      taskCopyTableStreams(srcNodes.front()->srnSourceCursor, srcNodes.front()->srnTargetCursor);
    } catch (const std::exception&) {
      // A damaged stream list is no reason to stop the recovery.
    }
  }
  TnxRecoverCookie cookie;
  nxEnterTimeoutNesting();
  try {
    nxSetTimeout(kTaskRecoveryDeadlineMs, true);
    TnxServerTableCursor* target = srcNodes.front()->srnTargetCursor;
    result = target->sbcTransactionStart(false, false, false, false, false,
                                         target->IsResultSet || target->acGetFullName().empty());
    if (result == 0) {
      cookie.rcLevels = 1;
      srcBaseBlocksRead = 0;
      srcBaseBlocksWritten = 0;
      try {
        for (std::size_t i = 0; i < srcFiles.size(); ++i) {
          if (!srcFiles[i]) continue;
          srcBlocksRead = 0;
          srcBlocksWritten = 0;
          cookie.rcFileIndex = static_cast<std::int32_t>(i);
          TnxBlockIterator step;
          step.Object = this;
          step.Code = [](void* aObject, void* aCookie, TnxBlockNumber aBlockNr, PnxBlock aBlock) {
            return static_cast<TnxServerRecoverContainer*>(aObject)->srcBlockStep(
                *static_cast<TnxRecoverCookie*>(aCookie), aBlockNr, aBlock);
          };
          if (srcFiles[i]->IterateBlocks(&cookie, step) == birStop) {
            if (cookie.rcError == 0) cookie.rcError = nxErrRecoveryFailed;
            break;
          }
          srcBaseBlocksRead = srcCurrentBlocksRead;
          srcBaseBlocksWritten = srcCurrentBlocksWritten;
        }
      } catch (const std::exception&) {
        cookie.rcError = target->asoConvertException(std::current_exception());
      }
      // What was rescued stays, whatever ended the walk.
      const TnxResult committed = target->sbcTransactionCommit();
      if (committed != 0) {
        target->sbcTransactionRollback();
        result = committed;
      } else {
        result = cookie.rcError;
      }
      while (target->GetActiveTrans()) {
        target->sbcTransactionRollback();
        if (result == 0) result = nxErrGeneral;
      }
    }
  } catch (const std::exception&) {
    result = srcOwner ? srcOwner->asoConvertException(std::current_exception())
                      : nxConvertException(std::current_exception(), nullptr, nullptr, 0);
  }
  nxLeaveTimeoutNesting();
  // The source was opened without its indices: it must not stay open so.
  TnxServerFolder* folder = srcTargetDatabase ? srcTargetDatabase->Folder() : nullptr;
  srcFreeNodes();
  if (folder) folder->sfCloseInactiveTables();
  srcFreeDatabases();
  MakeSnapshot(0, 0, result);
}

// ---- Recovery task ----------------------------------------------------------------------

TnxServerRecoverTaskInfo::TnxServerRecoverTaskInfo(TnxServerRecoverContainer* aContainer)
    : TnxServerTaskInfo(
          static_cast<TnxServerSession*>(aContainer->Node(0)->SourceCursor()->ServerDatabase()->Session()),
                        aContainer->GetTotalBlockCount(), platform::ThreadPriority::normal),
      rtiContainer(aContainer) {
  aContainer->srcOwner = this;
}

TnxServerRecoverTaskInfo::~TnxServerRecoverTaskInfo() { nxFreeAndNil(rtiContainer); }

void TnxServerRecoverTaskInfo::SetTableNames(const nxString& aRecovered, const nxString& aFailed) {
  rtiRecoveredName = aRecovered;
  rtiFailedName = aFailed;
}

void TnxServerRecoverTaskInfo::Execute() {
  TnxServerTaskRun run(this);
  try {
    rtiContainer->Execute();
  } catch (const std::exception&) {
    MakeSnapshot(0, 0, asoConvertException(std::current_exception()));
  }
  if (!rtiRecoveredName.empty()) {
    TnxPadlockGuard guard(*stiPadlock);
    if (!stiCancelled.load() && stiStatus.tsErrorCode == 0)
      stiStatus.tsErrorMessage =
          u"Records recovered into \"" + rtiRecoveredName + u"\", failed records into \"" + rtiFailedName + u"\"";
  }
}

// ---- The table cursor's record copy of the recovery ----------------------------------------

namespace {

// Copies the BLOBs of aRecord from aSource into aTarget's table, each in a
// nested level; a BLOB that fails becomes NULL. aAll: go on after a failure.
bool taskCopyRecoveredBlobs(TnxServerTableCursor* aSource, TnxServerTableCursor* aTarget, PnxRecordBuffer aRecord,
                        const std::vector<std::int32_t>& aBlobFields, bool aAll) {
  bool failed = false;
  TnxFieldsDescriptor* fields = aTarget->Table()->FieldsDescriptor();
  for (const std::int32_t field : aBlobFields) {
    bool isNull = true;
    TnxBlobNr blobNr = 0;
    fields->GetRecordField(field, aRecord, isNull, &blobNr);
    if (isNull) continue;
    TnxResult result = aTarget->sbcTransactionStart(false, false, false, false, false, true);
    bool started = result == 0;
    TnxBlobNr newNr = 0;
    if (result == 0) {
      try {
        result = aTarget->sbcBlobCopyPrim(aSource, field, blobNr, field, newNr, -1);
      } catch (const std::exception&) {
        result = aTarget->asoConvertException(std::current_exception());
      }
    }
    if (result == 0) {
      fields->SetRecordField(field, aRecord, &newNr);
      result = aTarget->sbcTransactionCommit();
      started = result != 0;
    }
    if (result != 0) {
      if (started) aTarget->sbcTransactionRollback();
      fields->SetRecordFieldNull(field, aRecord, true);
      failed = true;
      if (!aAll) break;
    }
  }
  return !failed;
}

}  // namespace

TnxRecordIteratorResult TnxServerTableCursor::stcRecoverRecordCopy(void* aCookie, TnxRefNr, PnxRecordBuffer aRecord) {
  auto& cookie = *static_cast<TnxRecoverCookie*>(aCookie);
  nxAssert(cookie.rcLevels == 1, "Recovery record copy at the wrong transaction depth");
  TnxServerTableCursor* target = cookie.rcTarget;
  const std::size_t length = static_cast<std::size_t>(stcTable->FieldsDescriptor()->RecordLength());
  // Both targets have the source's fields; the buffer fits the longest record.
  std::size_t room = length;
  for (TnxServerTableCursor* cursor : {cookie.rcTarget, cookie.rcFailed})
    room = std::max(room, static_cast<std::size_t>(cursor->Table()->FieldsDescriptor()->RecordLength()));
  std::vector<std::uint8_t> record(room + 16, 0);
  const std::vector<std::int32_t> none;
  const std::vector<std::int32_t>& blobs = cookie.rcBlobFields ? *cookie.rcBlobFields : none;

  TnxResult result = target->sbcTransactionStart(false, false, false, false, false, true);
  if (result != 0) {
    cookie.rcError = result;
    return rirStop;
  }
  cookie.rcLevels = 2;
  std::memcpy(record.data(), aRecord, length);
  bool stored = taskCopyRecoveredBlobs(this, target, record.data(), blobs, false);
  if (stored) stored = target->sbcRecordInsert(nxltNoLock, TnxInsertOptions{ioValidate}, record.data(), nullptr) == 0;
  if (!stored) {
    target->sbcTransactionRollback();
    cookie.rcLevels = 1;
    target = cookie.rcFailed;
    result = target->sbcTransactionStart(false, false, false, false, false, true);
    if (result != 0) {
      cookie.rcError = result;
      return rirStop;
    }
    cookie.rcLevels = 2;
    std::memcpy(record.data(), aRecord, length);
    taskCopyRecoveredBlobs(this, target, record.data(), blobs, true);
    result = target->sbcRecordInsert(nxltNoLock, TnxInsertOptions{}, record.data(), nullptr);
  }
  if (result == 0) result = target->sbcTransactionCommit();
  else target->sbcTransactionRollback();
  cookie.rcLevels = 1;
  if (result != 0) cookie.rcError = result;
  return cookie.rcError != 0 ? rirStop : rirContinue;
}
