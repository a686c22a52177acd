// The database's operations on whole tables: build, delete, empty, exists,
// dictionary, list, rename, password, auto-increment value, add field, add
// and drop index, and the walk over every table's dictionary. Tables of the
// database's own (its table map) are handled here; the folder does the work
// on its tables.
//
// Lock order: the session lock (the guarded call), the folder's tables
// padlock, the table map's lock. A map table is only ever freed by the
// idle-close sequence, with both locks held, and its map entry changes in
// the same step.
#include "nxsrServerEngineInt.h"

#include <functional>
#include <utility>

#include "nxllException.h"
#include "nxllStreams.h"

namespace {

// Holds the folder's tables padlock and the table map's lock, in this order.
class TnxMapLock {
 public:
  explicit TnxMapLock(TnxServerDatabase& aDatabase) : mlDatabase(aDatabase) {
    mlDatabase.Folder()->LockTables();
    try {
      mlMap = &mlDatabase.Tables()->LockMappings();
    } catch (...) {
      mlDatabase.Folder()->UnlockTables();
      throw;
    }
  }
  ~TnxMapLock() {
    mlDatabase.Tables()->UnlockMappings();
    mlDatabase.Folder()->UnlockTables();
  }
  TnxMapLock(const TnxMapLock&) = delete;
  TnxMapLock& operator=(const TnxMapLock&) = delete;
  platform::TStringList& Map() { return *mlMap; }

 private:
  TnxServerDatabase& mlDatabase;
  platform::TStringList* mlMap = nullptr;
};

// Frees a cursor of the database's own on every path.
class TnxOwnCursor {
 public:
  TnxOwnCursor() = default;
  ~TnxOwnCursor() { Free(); }
  TnxOwnCursor(const TnxOwnCursor&) = delete;
  TnxOwnCursor& operator=(const TnxOwnCursor&) = delete;
  TnxAbstractCursor*& Slot() { return ocCursor; }
  void Free() {
    if (TnxAbstractCursor* cursor = std::exchange(ocCursor, nullptr)) TnxAbstractServerObject::Free(cursor);
  }
  TnxServerBaseCursor* Server() const { return nxTryServerCursor(ocCursor); }

 private:
  TnxAbstractCursor* ocCursor = nullptr;
};

bool writable(const TnxServerDatabase& aDatabase) { return aDatabase.OpenMode() != omReadOnly; }

// Folder "before", database "before", aWork, database "after", folder
// "after" (the "after" ones only on success, their answers ignored).
template <class Work>
TnxResult notifiedWithFolder(TnxServerDatabase& aDatabase, TnxEngineAction aAction, TnxEngineArgs aArgs, Work&& aWork) {
  TnxServerFolder* folder = aDatabase.Folder();
  TnxResult result = folder->NotifyExtenders(aAction, true, aArgs);
  if (result != 0) return result;
  result = aDatabase.NotifyExtenders(aAction, true, aArgs);
  if (result != 0) return result;
  result = aWork();
  if (result != 0) return result;
  aDatabase.NotifyExtenders(aAction, false, aArgs);
  folder->NotifyExtenders(aAction, false, aArgs);
  return 0;
}

// The exclusive read-write cursor of a schema change, as a table cursor
// (a registered source's cursor takes no schema change).
TnxResult openSchemaCursor(TnxServerDatabase& aDatabase, TnxOwnCursor& aOwn, const nxString& aTableName,
                           const nxString& aPassword, TnxServerTableCursor*& aCursor, const char16_t* aOperation) {
  aCursor = nullptr;
  const TnxResult result = aDatabase.sdCursorOpen(aOwn.Slot(), aTableName, aPassword, false, omReadWrite, smExclusive,
                                                  false, aDatabase.Timeout(), nxString(), -1, false, false);
  if (result != 0) return result;
  aCursor = dynamic_cast<TnxServerTableCursor*>(aOwn.Slot());
  return aCursor ? 0 : aDatabase.NotSupported(aOperation);
}

// Writing a dictionary to its file gives it the file's name; a table of the
// database's map has no named file and keeps the name it is known by.
void keepMapTableName(TnxServerTableCursor* aCursor, const nxString& aTableName) {
  TnxServerRootTable* root = aCursor->Table()->Root();
  if (root->TableScope() == tsTempDatabase) root->srtSetNameInScope(aTableName.substr(0, aTableName.find(u':')));
}

bool rootHasTransactionLinks(TnxServerRootTable* aRoot) {
  TnxPadlockGuard guard(*aRoot->TransLinksPadlock());
  return aRoot->srtTransLinksPendingUpgrade || aRoot->srtTransLinksPendingHead || aRoot->srtTransLinksGrantedHead ||
         aRoot->srtTransLinksSnapshotGrantedHead;
}

// The idle-close sequence for a root that nobody else uses.
// REQUIRES: the folder's sfTablesPadlock.
void closeIdleRoot(TnxServerRootTable* aRoot) {
  aRoot->sbtLockIsInactive.fetch_add(1);
  const bool inactive = aRoot->srtIsInactive(true, false, 1);
  aRoot->sbtLockIsInactive.fetch_sub(1);
  // The test again with the counter lowered: nobody came meanwhile.
  if (inactive && aRoot->srtIsInactive(true, false, 0)) platform::TObject::free(aRoot);
}

// Writes aName as the table's "$TableName" stream through an internal
// exclusive cursor (the reserved name is the engine's own to write).
TnxResult writeTableName(TnxServerDatabase& aDatabase, const nxString& aName, const nxString& aPassword) {
  TnxOwnCursor own;
  const TnxResult result = aDatabase.sdCursorOpen(own.Slot(), aName, aPassword, false, omReadWrite, smExclusive, false,
                                                  10000, nxString(), -1, true, false);
  if (result != 0) return result;
  TnxServerBaseCursor* cursor = own.Server();
  // A cursor of a registered source has no stream of ours to write.
  if (!cursor) return 0;
  TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
  {
    TnxWriter writer(*stream);
    writer.WriteString(aName);
  }
  stream->SetPosition(0);
  return cursor->sbcTableStreamWrite(u"$TableName", *stream, true);
}

}  // namespace

// ---- Helpers ------------------------------------------------------------------------

TnxServerRootTable* TnxServerDatabase::sdMapTable(const nxString& aTableName, int* aIndex) {
  int index = 0;
  platform::TStringList& map = sdTables->Mappings();
  if (!map.find(aTableName, index)) return nullptr;
  if (aIndex) *aIndex = index;
  return static_cast<TnxServerRootTable*>(map.objects(index));
}

bool TnxServerDatabase::sdCloseMapTable(TnxServerRootTable* aTable,
                                        const std::function<void(TnxServerRootTable&)>& aBeforeFree) {
  try {
    return sdFolder->sfCloseTableIfIdle(aTable, true, true, aBeforeFree);
  } catch (const std::exception&) {
    asoConvertException(std::current_exception());
    return false;
  }
}

void TnxServerDatabase::sdNoteStructureChange(const nxString& aName1, const nxString& aName2) {
  // Names with a leading blank are the engine's working tables.
  const auto counts = [](const nxString& aName) { return aName.empty() || aName.front() != u' '; };
  if (counts(aName1) && counts(aName2)) sdStructureChanged(false);
}

std::int32_t TnxServerDatabase::QueryInterface(const platform::Guid& aIID, void** aObj) {
  if (aIID == InxAbstractDatabase31000::IID) {
    *aObj = static_cast<InxAbstractDatabase31000*>(this);
    return nxS_OK;
  }
  return TnxSqlAbstractDatabase::QueryInterface(aIID, aObj);
}

// ---- Build ---------------------------------------------------------------------------

TnxResult TnxServerDatabase::TableBuild(bool aOverWrite, const nxString& aTableName, const nxString& aPassword,
                                        TnxDataDictionary* aDictionary, TnxTableScope aTableScope,
                                        bool aAllowSystem) {
  const TnxResult result = nxCheckTableName(aTableName, false, aAllowSystem);
  if (result != 0) return result;
  if (!aDictionary) return nxErrInvalidParam;
  // The caller's dictionary stays as it is; an invalid one raises its own
  // failure to the caller.
  TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
  dict->Assign(aDictionary);
  dict->CheckValid(true);
  return nxGuardedCall(*this, [&] { return sdTableBuild(aOverWrite, aTableName, aPassword, dict.get(), aTableScope); });
}

TnxResult TnxServerDatabase::sdTableBuild(bool aOverWrite, const nxString& aTableName, const nxString& aPassword,
                                          TnxServerDataDict* aDictionary, TnxTableScope aTableScope) {
  if (!writable(*this)) return nxErrDatabaseReadOnly;
  TnxTableScope scope = aTableScope;
  if (scope == tsPersistent) {
    // "##name" is this database's in every folder, an in-memory one too.
    if (nxIsGlobalTempTableName(aTableName))
      scope = tsTempDatabase;
    else if (sdFolder->InMemOnly() || nxIsInMemoryTableName(aTableName))
      scope = tsTempGlobal;
  }
  const platform::FormatArg args[] = {static_cast<int>(aOverWrite), aTableName,
                                      static_cast<const void*>(aDictionary), static_cast<const void*>(&scope)};
  TnxResult result = NotifyExtenders(eaTableBuild, true, args);
  if (result != 0) return result;
  {
    TnxMapLock lock(*this);
    platform::TStringList& map = lock.Map();
    int index = 0;
    TnxServerRootTable* mapped = sdMapTable(aTableName, &index);
    if (mapped && !aOverWrite) return nxErrTableExists;
    if ((scope == tsTempGlobal || scope == tsTempDatabase) && !aOverWrite && sdFolder->sfTableExists(aTableName) == 0)
      return nxErrTableExists;
    if (scope == tsTempDatabase) {
      TnxServerRootTable* table = nullptr;
      result = sdFolder->sfTableCreate(nxString(), aPassword, false, aDictionary, scope, table);
      if (result != 0) return result;
      table->srtSetNameInScope(aTableName);
      if (!mapped) {
        try {
          map.addObject(aTableName, table);
        } catch (...) {
          platform::TObject::free(table);
          throw;
        }
      } else if (sdCloseMapTable(mapped)) {
        map.putObject(index, table);
      } else {
        platform::TObject::free(table);
        return nxErrTableOpen;
      }
    } else {
      if (mapped) {
        if (!sdCloseMapTable(mapped)) return nxErrTableOpen;
        map.deleteAt(index);
      }
      result = sdFolder->sfTableBuild(aOverWrite, aTableName, aPassword, false, aDictionary, scope);
      if (result != 0) return result;
    }
    sdNoteStructureChange(aTableName);
  }
  NotifyExtenders(eaTableBuild, false, args);
  return 0;
}

// ---- Delete and empty ---------------------------------------------------------------

TnxResult TnxServerDatabase::TableDelete(const nxString& aTableName, const nxString& aPassword) {
  const TnxResult result = nxCheckTableName(aTableName, true, false);
  if (result != 0) return result;
  return nxGuardedCall(*this, [&] { return sdTableDelete(aTableName, aPassword); });
}

TnxResult TnxServerDatabase::sdTableDelete(const nxString& aTableName, const nxString& aPassword) {
  const TnxUnicodeStrings passwords = sdBuildPasswords(aTableName, aPassword);
  if (!writable(*this)) return nxErrDatabaseReadOnly;
  TnxResult result = 0;
  {
    TnxMapLock lock(*this);
    int index = 0;
    if (TnxServerRootTable* mapped = sdMapTable(aTableName, &index)) {
      TnxTableScope scope = mapped->TableScope();
      const platform::FormatArg before[] = {aTableName, static_cast<const void*>(&scope)};
      result = NotifyExtenders(eaTableDelete, true, before);
      if (result != 0) return result;
      result = mapped->srtCheckPasswords(passwords);
      if (result != 0) return result;
      if (!sdCloseMapTable(mapped)) return nxErrTableOpen;
      lock.Map().deleteAt(index);
    } else {
      const platform::FormatArg before[] = {aTableName};
      result = NotifyExtenders(eaTableDelete, true, before);
      if (result != 0) return result;
      result = sdFolder->sfTableDelete(aTableName, passwords, false);
      if (result != 0) return result;
    }
  }
  const platform::FormatArg after[] = {aTableName};
  NotifyExtenders(eaTableDelete, false, after);
  sdNoteStructureChange(aTableName);
  return 0;
}

TnxResult TnxServerDatabase::TableEmpty(const nxString& aTableName, const nxString& aPassword) {
  const TnxResult result = nxCheckTableName(aTableName, true, false);
  if (result != 0) return result;
  return nxGuardedCall(*this, [&] { return sdTableEmpty(aTableName, aPassword); });
}

TnxResult TnxServerDatabase::sdTableEmpty(const nxString& aTableName, const nxString& aPassword) {
  const TnxUnicodeStrings passwords = sdBuildPasswords(aTableName, aPassword);
  if (!writable(*this)) return nxErrDatabaseReadOnly;
  TnxResult result = 0;
  {
    TnxMapLock lock(*this);
    int index = 0;
    if (TnxServerRootTable* mapped = sdMapTable(aTableName, &index)) {
      TnxTableScope scope = mapped->TableScope();
      const platform::FormatArg before[] = {aTableName, static_cast<const void*>(&scope)};
      result = NotifyExtenders(eaTableEmpty, true, before);
      if (result != 0) return result;
      if (mapped->FileIsLink()) return nxErrTableReadOnly;
      result = mapped->srtCheckPasswords(passwords);
      if (result != 0) return result;
      // Everything the replacement needs is taken while the old table still
      // stands, and the replacement exists before the old table goes: a
      // failure leaves the old table as it was.
      TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
      dict->Assign(mapped->Dictionary());
      const nxString password = mapped->ExtractPassword();
      const bool forServer = mapped->ForServer();
      TnxServerRootTable* fresh = nullptr;
      result = sdFolder->sfTableCreate(nxString(), password, forServer, dict.get(), scope, fresh);
      if (result != 0) return result;
      fresh->srtSetNameInScope(aTableName);
      if (!sdCloseMapTable(mapped)) {
        platform::TObject::free(fresh);
        return nxErrTableOpen;
      }
      lock.Map().putObject(index, fresh);
    } else {
      const platform::FormatArg before[] = {aTableName};
      result = NotifyExtenders(eaTableEmpty, true, before);
      if (result != 0) return result;
      result = sdFolder->sfTableEmpty(aTableName, passwords, false);
      if (result != 0) return result;
    }
  }
  const platform::FormatArg after[] = {aTableName};
  NotifyExtenders(eaTableEmpty, false, after);
  return 0;
}

// ---- Exists, dictionary, list -----------------------------------------------------

TnxResult TnxServerDatabase::TableExists(const nxString& aTableName, const nxString& aPassword, bool& aExists,
                                         bool aAllowSystem) {
  aExists = false;
  if (aTableName.empty()) return 0;
  const TnxResult result = nxCheckTableNameWithChild(aTableName, true, aAllowSystem);
  if (result != 0) return result;
  return nxGuardedCall(*this, [&]() -> TnxResult {
    const platform::FormatArg args[] = {aTableName, static_cast<const void*>(&aExists)};
    TnxResult found = NotifyExtenders(eaTableExists, true, args);
    if (found != 0) return found;
    found = sdTableExists(aTableName, aPassword, false);
    if (found == 0) {
      aExists = true;
    } else if (found == nxErrObjectNotFound) {
      aExists = false;
      found = 0;
    } else {
      return found;
    }
    NotifyExtenders(eaTableExists, false, args);
    return 0;
  });
}

TnxResult TnxServerDatabase::sdTableExists(const nxString& aTableName, const nxString& aPassword, bool aForServer) {
  TnxMapLock lock(*this);
  const std::size_t colon = aTableName.find(u':');
  const nxString rootName = aTableName.substr(0, colon);
  TnxResult result = sdMapTable(rootName) ? 0 : sdFolder->sfTableExists(rootName);
  if (result == 0 && colon != nxString::npos) {
    TnxServerBaseTable* table = nullptr;
    bool readOnly = false;
    result = sdGetTable(table, aTableName, aPassword, aForServer, readOnly, false, sdIsCache);
    if (result == nxErrNoSuchTable) result = nxErrObjectNotFound;
  }
  return result;
}

TnxResult TnxServerDatabase::TableGetDictionary(const nxString& aTableName, const nxString& aPassword,
                                                TnxDataDictionary* aDictionary) {
  const TnxResult result = nxCheckTableName(aTableName, true, false);
  if (result != 0) return result;
  return nxGuardedCall(*this, [&]() -> TnxResult {
    if (!aDictionary) return nxErrInvalidParam;
    return sdTableGetDictionary(aTableName, aPassword, aDictionary);
  });
}

TnxResult TnxServerDatabase::sdTableGetDictionary(const nxString& aTableName, const nxString& aPassword,
                                                  TnxDataDictionary* aDictionary) {
  const platform::FormatArg args[] = {aTableName, static_cast<const void*>(aDictionary)};
  TnxResult result = NotifyExtenders(eaTableGetDictionary, true, args);
  if (result != 0) return result;
  const TnxUnicodeStrings passwords = sdBuildPasswords(aTableName, aPassword);
  {
    TnxMapLock lock(*this);
    if (TnxServerRootTable* mapped = sdMapTable(aTableName)) {
      result = mapped->srtCheckPasswords(passwords);
      if (result != 0) return result;
      aDictionary->Assign(mapped->Dictionary());
    } else if (auto* server = platform::objectAs<TnxServerDataDict>(aDictionary)) {
      result = sdFolder->sfTableGetDictionary(aTableName, passwords, false, *server);
    } else {
      TnxOwned<TnxServerDataDict> copy(platform::create<TnxServerDataDict>());
      result = sdFolder->sfTableGetDictionary(aTableName, passwords, false, *copy);
      if (result == 0) aDictionary->Assign(copy.get());
    }
    if (result != 0) return result;
  }
  NotifyExtenders(eaTableGetDictionary, false, args);
  return 0;
}

TnxResult TnxServerDatabase::TableGetList(platform::TStringList& aList) {
  return nxGuardedCall(*this, [&] { return sdTableGetList(aList, ExplicitAllowSystem()); });
}

TnxResult TnxServerDatabase::sdTableGetList(platform::TStringList& aList, bool aAllowSystem) {
  aList.beginUpdate();
  aList.clear();
  aList.endUpdate();
  const platform::FormatArg args[] = {static_cast<const void*>(&aList)};
  TnxResult result = NotifyExtenders(eaTableGetList, true, args);
  if (result != 0) return result;
  TnxOwned<platform::TStringList> folderNames(platform::create<platform::TStringList>());
  result = sdFolder->sfTableGetList(*folderNames);
  if (result != 0) return result;
  TnxOwned<platform::TStringList> names(
      platform::create<platform::TStringList>(platform::Duplicates::ignore, false));
  names->setSorted(true);
  names->addStrings(*folderNames);
  {
    TnxMapLock lock(*this);
    platform::TStringList& map = lock.Map();
    for (int i = 0; i < map.count(); ++i) names->add(map.strings(i));
  }
  {
    // The check's refusals only filter: they leave the thread's message.
    TnxResult keptCode = 0;
    nxString keptMessage;
    EnxBaseException::GetLastConvertedException(keptCode, keptMessage);
    for (int i = names->count() - 1; i >= 0; --i)
      if (nxCheckTableName(names->strings(i), false, aAllowSystem) != 0) names->deleteAt(i);
    EnxBaseException::SetLastConvertedException(keptCode, keptMessage);
  }
  aList.addStrings(*names);
  NotifyExtenders(eaTableGetList, false, args);
  return 0;
}

// ---- Rename ----------------------------------------------------------------------------

TnxResult TnxServerDatabase::TableRename(const nxString& aOldName, const nxString& aNewName,
                                         const nxString& aPassword) {
  TnxResult result = nxCheckTableName(aOldName, true, false);
  if (result != 0) return result;
  result = nxCheckTableName(aNewName, false, false);
  if (result != 0) return result;
  return nxGuardedCall(*this, [&] { return sdTableRename(aOldName, aNewName, aPassword); });
}

TnxResult TnxServerDatabase::sdTableRename(const nxString& aOldName, const nxString& aNewName,
                                           const nxString& aPassword) {
  const TnxUnicodeStrings passwords = sdBuildPasswords(aOldName, aPassword);
  if (!writable(*this)) return nxErrDatabaseReadOnly;
  TnxMapLock lock(*this);
  platform::TStringList& map = lock.Map();
  TnxResult result = 0;
  if (TnxServerRootTable* mapped = sdMapTable(aOldName)) {
    TnxTableScope scope = mapped->TableScope();
    const platform::FormatArg before[] = {aOldName, aNewName, static_cast<const void*>(&scope)};
    result = NotifyExtenders(eaTableRename, true, before);
    if (result != 0) return result;
    if (sdMapTable(aNewName) || sdFolder->sfTableExists(aNewName) == 0) return nxErrTableExists;
    result = mapped->srtCheckPasswords(passwords);
    if (result != 0) return result;
    // The new entry first: the table is never out of the map.
    map.addObject(aNewName, mapped);
    int oldIndex = 0;
    if (map.find(aOldName, oldIndex)) map.deleteAt(oldIndex);
    mapped->srtSetNameInScope(aNewName);
  } else {
    const platform::FormatArg before[] = {aOldName, aNewName};
    result = NotifyExtenders(eaTableRename, true, before);
    if (result != 0) return result;
    result = sdFolder->sfTableRename(aOldName, aNewName, passwords, false);
    if (result != 0) return result;
  }
  const platform::FormatArg after[] = {aOldName, aNewName};
  NotifyExtenders(eaTableRename, false, after);
  result = writeTableName(*this, aNewName, aPassword);
  // The table has its new name whatever the stream write answered.
  sdNoteStructureChange(aOldName, aNewName);
  return result;
}

// ---- Through a cursor: password and auto-increment value -----------------------------

TnxResult TnxServerDatabase::TableChangePassword(const nxString& aTableName, const nxString& aOldPassword,
                                                 const nxString& aNewPassword) {
  const TnxResult result = nxCheckTableName(aTableName, true, false);
  if (result != 0) return result;
  return nxGuardedCall(*this, [&]() -> TnxResult {
    TnxOwnCursor own;
    const TnxResult opened = sdCursorOpen(own.Slot(), aTableName, aOldPassword, false, omReadWrite, smShared, false,
                                          Timeout(), nxString(), -1, false, false);
    if (opened != 0) return opened;
    TnxServerBaseCursor* cursor = own.Server();
    if (!cursor) return NotSupported(u"TableChangePassword");
    return cursor->sbcChangePassword(aNewPassword);
  });
}

TnxResult TnxServerDatabase::TableAutoIncGet(const nxString& aTableName, const nxString& aPassword,
                                             std::uint32_t& aValue) {
  aValue = 0;
  const TnxResult result = nxCheckTableNameWithChild(aTableName, true, false);
  if (result != 0) return result;
  return nxGuardedCall(*this, [&]() -> TnxResult {
    TnxOwnCursor own;
    TnxResult opened = sdCursorOpen(own.Slot(), aTableName, aPassword, false, omReadOnly, smShared, false, Timeout(),
                                    nxString(), -1, false, false);
    if (opened != 0) return opened;
    TnxServerBaseCursor* cursor = own.Server();
    if (!cursor) return NotSupported(u"TableAutoIncGet");
    // A consistent read, as the cursor's own AutoIncGet makes it.
    opened = cursor->sbcBeginContentLock(false, false, false);
    if (opened != 0) return opened;
    struct End {
      TnxServerBaseCursor* c;
      ~End() { c->sbcEndContentLock(); }
    } end{cursor};
    return cursor->sbcAutoIncGet(aValue);
  });
}

// ---- Schema changes through an exclusive cursor ------------------------------------
//
// Adding a field changes the layout the open root's record engines were
// made for, so the root is closed afterwards and the next open reads the
// new dictionary. An exclusive cursor keeps out other cursors of its own
// table only: the change is refused (10253) while any other cursor is open
// anywhere in the root's tree, and the root goes through the idle-close
// sequence (usage counter, inactivity test), never a plain free, so links
// of other transactions keep it alive.

TnxResult TnxServerDatabase::TableAddField(const nxString& aTableName, const nxString& aPassword,
                                           TnxFieldDescriptor* aFieldDesc) {
  const TnxResult invalid = nxCheckTableNameWithChild(aTableName, true, false);
  if (invalid != 0) return invalid;
  return nxGuardedCall(*this, [&]() -> TnxResult {
    if (!writable(*this)) return nxErrDatabaseReadOnly;
    TnxOwnCursor own;
    TnxServerTableCursor* cursor = nullptr;
    if (const TnxResult opened = openSchemaCursor(*this, own, aTableName, aPassword, cursor, u"TableAddField"))
      return opened;
    TnxServerRootTable* root = cursor->Table()->Root();
    if (root->TableScope() != tsPersistent) return nxErrNotSupported;
    sdFolder->LockTables();
    struct Unlock {
      TnxServerFolder* folder;
      ~Unlock() { folder->UnlockTables(); }
    } unlock{sdFolder};
    // New cursors wait for the padlock: the count cannot grow meanwhile.
    if (root->RootCursorCount() > 1)
      return EnxBaseException::nxSetMessage(
          nxErrNoExclusiveAccess,
          nxGetOrgPlaceholder() + u" Table \"" + root->RootName() + u"\" has other open cursors");
    // A transaction that holds the table (this database's own included)
    // would keep the root, with its old record layout, open after the
    // change.
    if (cursor->GetActiveTrans() || rootHasTransactionLinks(root))
      return EnxBaseException::nxSetMessage(
          nxErrNoExclusiveAccess,
          nxGetOrgPlaceholder() + u" Table \"" + root->RootName() + u"\" is in use by a transaction");
    const platform::FormatArg args[] = {aTableName, static_cast<const void*>(aFieldDesc)};
    const TnxResult result =
        notifiedWithFolder(*this, eaTableAddField, args, [&] { return cursor->stcAddField(aFieldDesc); });
    own.Free();
    if (result == 0) closeIdleRoot(root);
    return result;
  });
}

TnxResult TnxServerDatabase::TableAddIndex(const nxString& aTableName, const nxString& aPassword,
                                           TnxIndexDescriptor* aIndexDesc, bool aNewDefault) {
  const TnxResult invalid = nxCheckTableNameWithChild(aTableName, true, false);
  if (invalid != 0) return invalid;
  return nxGuardedCall(*this, [&]() -> TnxResult {
    if (!writable(*this)) return nxErrDatabaseReadOnly;
    TnxOwnCursor own;
    TnxServerTableCursor* cursor = nullptr;
    if (const TnxResult opened = openSchemaCursor(*this, own, aTableName, aPassword, cursor, u"TableAddIndex"))
      return opened;
    const platform::FormatArg args[] = {aTableName, static_cast<const void*>(aIndexDesc),
                                        static_cast<std::int32_t>(aNewDefault)};
    return notifiedWithFolder(*this, eaTableAddIndex, args, [&] {
      const TnxResult added = cursor->stcAddIndex(aIndexDesc, aNewDefault);
      keepMapTableName(cursor, aTableName);
      return added;
    });
  });
}

TnxResult TnxServerDatabase::TableDropIndex(const nxString& aTableName, const nxString& aPassword,
                                            const nxString& aIndexName, std::int32_t aIndexID) {
  TnxResult invalid = nxCheckTableNameWithChild(aTableName, true, false);
  if (invalid != 0) return invalid;
  invalid = nxValidateIdentifier(aIndexName, nxErrInvalidIndexName, true, true);
  if (invalid != 0) return invalid;
  return nxGuardedCall(*this, [&]() -> TnxResult {
    if (!writable(*this)) return nxErrDatabaseReadOnly;
    TnxOwnCursor own;
    TnxServerTableCursor* cursor = nullptr;
    if (const TnxResult opened = openSchemaCursor(*this, own, aTableName, aPassword, cursor, u"TableDropIndex"))
      return opened;
    const platform::FormatArg args[] = {aTableName, aIndexName, aIndexID};
    return notifiedWithFolder(*this, eaTableDropIndex, args, [&] {
      const TnxResult dropped = cursor->stcDropIndex(aIndexName, aIndexID);
      keepMapTableName(cursor, aTableName);
      return dropped;
    });
  });
}

// ---- Every table's dictionary --------------------------------------------------------

TnxIteratorResult TnxServerDatabase::sdIterateDictionaries(const TnxDictionaryIterator& aIterator, bool aAllowSystem,
                                                           bool aIgnoreError, void* aCookie) {
  TnxMapLock lock(*this);
  TnxOwned<platform::TStringList> names(platform::create<platform::TStringList>());
  nxCheckErrorCode(sdTableGetList(*names, aAllowSystem));
  TnxIteratorResult last = irContinue;
  for (int i = 0; i < names->count() && last != irStop; ++i) {
    const nxString& name = names->strings(i);
    TnxServerRootTable* open = sdMapTable(name);
    if (!open) open = sdFolder->sfFindTable(name);
    if (open) {
      last = aIterator(open->Dictionary(), name, aCookie);
      continue;
    }
    TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
    const TnxResult result = sdTableGetDictionary(name, nxString(), dict.get());
    if (result != 0) {
      if (aIgnoreError) continue;
      nxCheckErrorCode(result);
    }
    last = aIterator(dict.get(), name, aCookie);
  }
  return last;
}

TnxUnicodeStrings TnxServerDatabase::GetTablesNeedingPack() {
  TnxUnicodeStrings names;
  TnxGuardedCall call(*this);
  // The listed name, not the dictionary's base name: writing a database
  // table's dictionary to its file gives it the file's unnamed name.
  sdIterateDictionaries(
      [&](TnxDataDictionary* aDictionary, const nxString& aName, void*) {
        if (aDictionary->RequiresPack()) names.push_back(aName);
        return irContinue;
      },
      ExplicitAllowSystem(), true, nullptr);
  call.Finish(0);
  return names;
}
