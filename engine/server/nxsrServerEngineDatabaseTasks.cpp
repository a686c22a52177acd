// The server database's background table operations that copy a whole
// table: pack, backup, restructure and recover. Each opens private
// databases and cursors, builds its working tables and hands everything to
// a task, whose thread the public operation then starts. A step that fails
// before the task exists takes back all it made, newest first.
#include "nxsrServerEngine.h"

#include <utility>

#include "nxsrFieldMapper.h"
#include "nxsrServerTasks.h"

namespace {

// What a starter has made so far; the destructor takes it back, newest
// first, unless the task took it over (ReleaseObjects, then the tables
// cleared once the task exists).
struct TnxTaskParts {
  std::vector<TnxServerDatabase*> databases;
  std::vector<TnxServerTableCursor*> cursors;
  // Tables built: the database that deletes them again, and the name.
  std::vector<std::pair<TnxServerDatabase*, nxString>> tables;
  nxString password;

  TnxTaskParts() = default;
  TnxTaskParts(const TnxTaskParts&) = delete;
  TnxTaskParts& operator=(const TnxTaskParts&) = delete;
  ~TnxTaskParts() {
    for (auto it = cursors.rbegin(); it != cursors.rend(); ++it) {
      try {
        TnxAbstractServerObject::Free(*it);
      } catch (...) {
        // Goes with its database.
      }
    }
    for (auto it = tables.rbegin(); it != tables.rend(); ++it) {
      try {
        it->first->sdTableDelete(it->second, password);
      } catch (...) {
        // A working table that stays is visible, not harmful.
      }
    }
    for (auto it = databases.rbegin(); it != databases.rend(); ++it) {
      try {
        TnxAbstractServerObject::Free(*it);
      } catch (...) {
        // Nothing else holds it.
      }
    }
  }
  // A container owns the cursors and databases now.
  void ReleaseObjects() {
    cursors.clear();
    databases.clear();
  }
  TnxServerTableCursor* Open(TnxServerDatabase* aDatabase, const nxString& aTableName, const nxString& aPassword,
                             TnxOpenMode aOpenMode, TnxShareMode aShareMode, TnxResult& aResult) {
    TnxAbstractCursor* cursor = nullptr;
    aResult = aDatabase->sdCursorOpen(cursor, aTableName, aPassword, false, aOpenMode, aShareMode, false,
                                      aDatabase->Timeout(), u"", -1, false, false);
    if (aResult != 0) return nullptr;
    cursors.push_back(static_cast<TnxServerTableCursor*>(cursor));
    return cursors.back();
  }
};

TnxResult notifyBefore(TnxServerDatabase* aDatabase, TnxEngineAction aAction, TnxEngineArgs aArgs) {
  TnxResult result = aDatabase->Folder()->NotifyExtenders(aAction, true, aArgs);
  if (result == 0) result = aDatabase->NotifyExtenders(aAction, true, aArgs);
  return result;
}

// A restructure task over source and target; the task owns all from now on.
TnxResult makeRestructureTask(TnxTaskParts& aParts, TnxServerTableCursor* aSource, TnxServerTableCursor* aTarget,
                              TnxBaseTableMapperDescriptor* aMapper, TnxServerTaskInfo*& aTaskInfo) {
  auto* container = platform::create<TnxServerRestructureContainer>(aSource, aMapper, aTarget);
  aParts.ReleaseObjects();
  try {
    aTaskInfo = platform::create<TnxServerRestructureTaskInfo>(container);
  } catch (...) {
    platform::TObject::free(container);
    throw;
  }
  aParts.tables.clear();
  return 0;
}

}  // namespace

// ---- The public frame ---------------------------------------------------------------------

TnxResult TnxServerDatabase::sdTaskFrame(TnxResult aNameCheck, TnxAbstractTaskInfo*& aTaskInfo,
                                         const std::function<TnxResult(TnxAbstractTaskInfo*&)>& aWork) {
  aTaskInfo = nullptr;
  if (aNameCheck != 0) return aNameCheck;
  TnxAbstractTaskInfo* made = nullptr;
  TnxResult result = 0;
  {
    TnxGuardedCall call(*this);
    try {
      result = aWork(made);
    } catch (const std::exception&) {
      result = asoConvertException(std::current_exception());
    }
    result = call.Finish(result);
  }
  auto* task = static_cast<TnxServerTaskInfo*>(made);
  if (!task) return result;
  if (result == 0) {
    try {
      task->Start();
    } catch (const std::exception&) {
      result = asoConvertException(std::current_exception());
    }
  }
  if (result != 0) {
    try {
      TnxAbstractServerObject::Free(task);
    } catch (...) {
      // The failure that ended the operation is the one to report.
    }
    return result;
  }
  aTaskInfo = task;
  return 0;
}

TnxResult TnxServerDatabase::TablePack(const nxString& aTableName, const nxString& aPassword,
                                       TnxAbstractTaskInfo*& aTaskInfo) {
  return sdTaskFrame(nxCheckTableName(aTableName, true, false), aTaskInfo, [&](TnxAbstractTaskInfo*& aTask) {
    TnxServerTaskInfo* task = nullptr;
    const TnxResult result = sdTablePack(aTableName, aPassword, task);
    aTask = task;
    return result;
  });
}

TnxResult TnxServerDatabase::TableBackup(const nxString& aTableName, const nxString& aPassword,
                                         TnxAbstractDatabase* aTargetDatabase, TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  TnxResult result = nxCheckTableName(aTableName, true, false);
  if (result != 0) return result;
  auto* target = dynamic_cast<TnxServerDatabase*>(aTargetDatabase);
  if (!target) return nxErrInvalidParam;
  if (target->Session() != Session()) return nxErrDifferentSessions;
  if (target->Folder() == sdFolder) return nxErrSameTable;
  return sdTaskFrame(0, aTaskInfo, [&](TnxAbstractTaskInfo*& aTask) {
    TnxServerTaskInfo* task = nullptr;
    const TnxResult made = sdTableBackup(aTableName, aPassword, target, task);
    aTask = task;
    return made;
  });
}

TnxResult TnxServerDatabase::TableRestructure(const nxString& aTableName, const nxString& aPassword,
                                              TnxDataDictionary* aDictionary, TnxBaseTableMapperDescriptor* aMapperDesc,
                                              bool aAllowSystem, TnxAbstractTaskInfo*& aTaskInfo) {
  return sdTaskFrame(nxCheckTableName(aTableName, true, aAllowSystem), aTaskInfo, [&](TnxAbstractTaskInfo*& aTask) {
    return sdTableRestructure(aTableName, aPassword, aDictionary, aMapperDesc, aTask);
  });
}

TnxResult TnxServerDatabase::TableRecover(const nxString& aTableName, const nxString& aPassword,
                                          TnxAbstractTaskInfo*& aTaskInfo) {
  return sdTaskFrame(nxCheckTableName(aTableName, true, false), aTaskInfo,
                     [&](TnxAbstractTaskInfo*& aTask) { return sdTableRecover(aTableName, aPassword, aTask); });
}

// ---- Pack --------------------------------------------------------------------------------

TnxResult TnxServerDatabase::sdTablePack(const nxString& aTableName, const nxString& aPassword,
                                         TnxServerTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  if (sdOpenMode == omReadOnly) return nxErrDatabaseReadOnly;
  TnxTaskParts parts;
  TnxServerDatabase* db = sdOpenTaskDatabase(nullptr);
  parts.databases.push_back(db);
  TnxResult result = 0;
  TnxServerTableCursor* source = parts.Open(db, aTableName, aPassword, omReadOnly, smExclusive, result);
  if (result != 0) return result;
  TnxServerRootTable* root = source->Table()->Root();
  TnxTableScope scope = root->TableScope();
  const platform::FormatArg args[] = {aTableName, static_cast<const void*>(&scope)};
  result = notifyBefore(this, eaTablePack, args);
  if (result != 0) return result;
  const nxString password = root->ExtractPassword();
  if (root->FileIsLink()) return nxErrTableReadOnly;

  TnxPadlockGuard tables(*sdFolder->sfTablesPadlock);
  nxString packName;
  result = sdFolder->sfTableMakeUniqueName(u"$PACK", packName);
  if (result != 0) return result;
  TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
  dict->Assign(root->Dictionary());
  dict->CheckValid(true);
  result = db->sdTableBuild(false, packName, password, dict.get(), scope);
  if (result != 0) return result;
  parts.password = password;
  parts.tables.emplace_back(this, packName);
  TnxServerTableCursor* target = parts.Open(db, packName, password, omReadWrite, smExclusive, result);
  if (result != 0) return result;
  TnxOwned<TnxTableMapperDescriptor> mapper(platform::create<TnxTableMapperDescriptor>());
  mapper->MapAllTablesAndFieldsByName(root->Dictionary(), target->Table()->Root()->Dictionary(), dlaFail);
  return makeRestructureTask(parts, source, target, mapper.get(), aTaskInfo);
}

// ---- Backup ------------------------------------------------------------------------------

TnxResult TnxServerDatabase::sdTableBackup(const nxString& aTableName, const nxString& aPassword,
                                           TnxServerDatabase* aTargetDatabase, TnxServerTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  if (aTargetDatabase->OpenMode() == omReadOnly) return nxErrDatabaseReadOnly;
  const platform::FormatArg args[] = {aTableName, static_cast<const void*>(aTargetDatabase)};
  TnxResult result = NotifyExtenders(eaTableBackup, true, args);
  if (result != 0) return result;
  TnxTaskParts parts;
  // The copy reads in the caller's transaction.
  TnxServerDatabase* sourceDb = sdOpenTaskDatabase(TransContext());
  parts.databases.push_back(sourceDb);
  TnxServerTableCursor* source = parts.Open(sourceDb, aTableName, aPassword, omReadOnly, smShared, result);
  if (result != 0) return result;
  TnxServerRootTable* root = source->Table()->Root();
  const nxString password = root->ExtractPassword();
  TnxServerDatabase* targetDb = aTargetDatabase->sdOpenTaskDatabase(nullptr);
  parts.databases.push_back(targetDb);

  TnxServerFolder* targetFolder = aTargetDatabase->Folder();
  TnxPadlockGuard tables(*targetFolder->sfTablesPadlock);
  TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
  dict->AssignOnlyFields(root->Dictionary());
  dict->CheckValid(true);
  const nxString targetName = source->sbcGetRootName();
  result = targetDb->sdTableBuild(false, targetName, password, dict.get(), root->TableScope());
  if (result != 0) return result;
  parts.password = password;
  parts.tables.emplace_back(aTargetDatabase, targetName);
  TnxServerTableCursor* target = parts.Open(targetDb, targetName, password, omReadWrite, smExclusive, result);
  if (result != 0) return result;
  TnxOwned<TnxTableMapperDescriptor> mapper(platform::create<TnxTableMapperDescriptor>());
  mapper->MapAllTablesAndFieldsByName(root->Dictionary(), target->Table()->Root()->Dictionary(), dlaFail);
  return makeRestructureTask(parts, source, target, mapper.get(), aTaskInfo);
}

// ---- Restructure -------------------------------------------------------------------------

TnxResult TnxServerDatabase::sdTableRestructure(const nxString& aTableName, const nxString& aPassword,
                                                TnxDataDictionary* aDictionary,
                                                TnxBaseTableMapperDescriptor* aMapperDesc,
                                                TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  if (aTableName.find(u':') != nxString::npos) return nxErrInvalidParam;
  if (sdOpenMode == omReadOnly) return nxErrDatabaseReadOnly;
  if (!aDictionary || !aMapperDesc) return nxErrInvalidParam;
  TnxTaskParts parts;
  TnxServerDatabase* db = sdOpenTaskDatabase(nullptr);
  parts.databases.push_back(db);
  if (ExplicitAllowSystem()) nxCheckErrorCode(db->esoOptionSet(u"ALLOWSYSTEMTABLEACCESS", u"1"));
  TnxResult result = 0;
  TnxServerTableCursor* source = parts.Open(db, aTableName, aPassword, omReadOnly, smExclusive, result);
  if (result != 0) return result;
  TnxServerRootTable* root = source->Table()->Root();
  TnxTableScope scope = root->TableScope();
  const platform::FormatArg args[] = {aTableName, static_cast<const void*>(aDictionary),
                                      static_cast<const void*>(aMapperDesc), static_cast<const void*>(&scope)};
  result = notifyBefore(this, eaTableRestructure, args);
  if (result != 0) return result;
  const nxString password = aDictionary->EncryptionEngine().empty() ? nxString() : root->ExtractPassword();
  if (root->srtSnapshotBlockCount.load() > 0) return nxErrTableOpen;
  if (root->FileIsLink()) return nxErrTableReadOnly;

  TnxPadlockGuard tables(*sdFolder->sfTablesPadlock);
  nxString restName;
  result = sdFolder->sfTableMakeUniqueName(u"$REST", restName);
  if (result != 0) return result;
  TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
  dict->Assign(aDictionary);
  result = db->sdTableBuild(false, restName, password, dict.get(), scope);
  if (result != 0) return result;
  parts.password = password;
  parts.tables.emplace_back(this, restName);
  TnxServerTableCursor* target = parts.Open(db, restName, password, omReadWrite, smExclusive, result);
  if (result != 0) return result;
  TnxServerTaskInfo* task = nullptr;
  result = makeRestructureTask(parts, source, target, aMapperDesc, task);
  aTaskInfo = task;
  return result;
}

// ---- Recover -----------------------------------------------------------------------------

TnxResult TnxServerDatabase::sdTableRecover(const nxString& aTableName, const nxString& aPassword,
                                            TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  if (aTableName.find(u':') != nxString::npos) return nxErrInvalidParam;
  if (sdOpenMode == omReadOnly) return nxErrDatabaseReadOnly;
  const platform::FormatArg args[] = {aTableName};
  TnxResult result = NotifyExtenders(eaTableRecover, true, args);
  if (result != 0) return result;
  TnxTaskParts parts;
  TnxServerDatabase* db = sdOpenTaskDatabase(nullptr);
  parts.databases.push_back(db);
  TnxServerTableCursor* source = nullptr;
  {
    // The damaged table opens without its indices.
    TnxRecoveryModeGuard recovery;
    source = parts.Open(db, aTableName, aPassword, omReadOnly, smExclusive, result);
  }
  if (result != 0) return result;
  TnxServerRootTable* root = source->Table()->Root();
  const nxString password = root->ExtractPassword();
  if (root->srtSnapshotBlockCount.load() > 0) return nxErrTableOpen;

  TnxPadlockGuard tables(*sdFolder->sfTablesPadlock);
  parts.password = password;
  // A table of the user's that has one of these names is never replaced.
  nxString recoveredName, failedName;
  result = sdFolder->sfTableMakeUniqueName(aTableName + u"_Recovered", recoveredName);
  if (result == 0) result = sdFolder->sfTableMakeUniqueName(aTableName + u"_Failed", failedName);
  if (result != 0) return result;
  TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
  dict->Assign(root->Dictionary());
  result = db->sdTableBuild(false, recoveredName, password, dict.get(), root->TableScope());
  if (result != 0) return result;
  parts.tables.emplace_back(this, recoveredName);
  TnxServerTableCursor* target = parts.Open(db, recoveredName, password, omReadWrite, smExclusive, result);
  if (result != 0) return result;
  TnxOwned<TnxServerDataDict> failedDict(platform::create<TnxServerDataDict>());
  failedDict->AssignOnlyFields(root->Dictionary());
  result = db->sdTableBuild(false, failedName, password, failedDict.get(), root->TableScope());
  if (result != 0) return result;
  parts.tables.emplace_back(this, failedName);
  TnxServerTableCursor* failed = parts.Open(db, failedName, password, omReadWrite, smExclusive, result);
  if (result != 0) return result;
  auto* container = platform::create<TnxServerRecoverContainer>(source, target, failed);
  parts.ReleaseObjects();
  TnxServerRecoverTaskInfo* task = nullptr;
  try {
    task = platform::create<TnxServerRecoverTaskInfo>(container);
  } catch (...) {
    platform::TObject::free(container);
    throw;
  }
  parts.tables.clear();
  task->SetTableNames(recoveredName, failedName);
  aTaskInfo = task;
  return 0;
}
