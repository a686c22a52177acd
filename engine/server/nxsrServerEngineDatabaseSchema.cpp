// The server database's schema changes of one table: add a field, add an
// index, drop an index. Each opens an exclusive cursor on the named table
// (a child path allowed), notifies the folder's and the database's
// extenders around the table cursor's change and frees the cursor.
//
// Adding a field changes the layout the open root's record engines were
// made for, so the root is closed afterwards and the next open reads the
// new dictionary. An exclusive cursor keeps out other cursors of its own
// table only: the change is refused (10253) while any other cursor is open
// anywhere in the root's tree, and the root goes through the idle-close
// sequence (usage counter, inactivity test), never a plain free, so links
// of other transactions keep it alive.
#include "nxsrServerEngineInt.h"

#include "nxllException.h"
#include "nxsrTimeoutHandling.h"

namespace {

// The public frame of one operation: the name checks come first (done by
// the caller), then the guarded call; "database writable" when asked.
template <class Work>
TnxResult schemaFrame(TnxServerDatabase& aDatabase, bool aWritable, Work&& aWork) {
  return nxGuardedCall(aDatabase, [&]() -> TnxResult {
    if (aWritable && aDatabase.OpenMode() == omReadOnly) return nxErrDatabaseReadOnly;
    return aWork();
  });
}

// An exclusive read-write cursor on aTableName, freed with the scope.
class TnxSchemaCursor {
 public:
  TnxSchemaCursor() = default;
  ~TnxSchemaCursor() { Free(); }
  TnxSchemaCursor(const TnxSchemaCursor&) = delete;
  TnxSchemaCursor& operator=(const TnxSchemaCursor&) = delete;
  TnxResult Open(TnxServerDatabase& aDatabase, const nxString& aTableName, const nxString& aPassword) {
    TnxAbstractCursor* opened = nullptr;
    const TnxResult result = aDatabase.sdCursorOpen(opened, aTableName, aPassword, false, omReadWrite, smExclusive,
                                                    false, aDatabase.Timeout(), nxString(), -1, false, false);
    cursor_ = static_cast<TnxServerTableCursor*>(opened);
    return result;
  }
  void Free() {
    if (TnxServerTableCursor* cursor = std::exchange(cursor_, nullptr)) TnxAbstractServerObject::Free(cursor);
  }
  TnxServerTableCursor* operator->() const { return cursor_; }
  TnxServerTableCursor* get() const { return cursor_; }

 private:
  TnxServerTableCursor* cursor_ = nullptr;
};

// Folder "before", database "before", aWork, database "after", folder
// "after" (only on success; their answers then ignored).
template <class Work>
TnxResult schemaNotified(TnxServerDatabase& aDatabase, TnxEngineAction aAction, TnxEngineArgs aArgs, Work&& aWork) {
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

bool schemaRootHasTransactionLinks(TnxServerRootTable* aRoot) {
  TnxPadlockGuard guard(*aRoot->TransLinksPadlock());
  return aRoot->srtTransLinksPendingUpgrade || aRoot->srtTransLinksPendingHead || aRoot->srtTransLinksGrantedHead ||
         aRoot->srtTransLinksSnapshotGrantedHead;
}

// The idle-close sequence for a root that nobody else uses.
// REQUIRES: the folder's sfTablesPadlock.
void schemaCloseIdleRoot(TnxServerRootTable* aRoot) {
  aRoot->sbtLockIsInactive.fetch_add(1);
  const bool inactive = aRoot->srtIsInactive(true, false, 1);
  aRoot->sbtLockIsInactive.fetch_sub(1);
  // The test again with the counter lowered: nobody came meanwhile.
  if (inactive && aRoot->srtIsInactive(true, false, 0)) platform::TObject::free(aRoot);
}

}  // namespace

TnxResult TnxServerDatabase::TableAddField(const nxString& aTableName, const nxString& aPassword,
                                           TnxFieldDescriptor* aFieldDesc) {
  if (const TnxResult invalid = nxCheckTableNameWithChild(aTableName, true, false)) return invalid;
  return schemaFrame(*this, true, [&]() -> TnxResult {
    TnxSchemaCursor cursor;
    if (const TnxResult opened = cursor.Open(*this, aTableName, aPassword)) return opened;
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
    if (cursor->GetActiveTrans() || schemaRootHasTransactionLinks(root))
      return EnxBaseException::nxSetMessage(
          nxErrNoExclusiveAccess,
          nxGetOrgPlaceholder() + u" Table \"" + root->RootName() + u"\" is in use by a transaction");
    const platform::FormatArg args[] = {platform::FormatArg(aTableName),
                                        platform::FormatArg(static_cast<const void*>(aFieldDesc))};
    const TnxResult result =
        schemaNotified(*this, eaTableAddField, args, [&] { return cursor->stcAddField(aFieldDesc); });
    cursor.Free();
    if (result == 0) schemaCloseIdleRoot(root);
    return result;
  });
}

TnxResult TnxServerDatabase::TableAddIndex(const nxString& aTableName, const nxString& aPassword,
                                           TnxIndexDescriptor* aIndexDesc, bool aNewDefault) {
  if (const TnxResult invalid = nxCheckTableNameWithChild(aTableName, true, false)) return invalid;
  return schemaFrame(*this, true, [&]() -> TnxResult {
    TnxSchemaCursor cursor;
    if (const TnxResult opened = cursor.Open(*this, aTableName, aPassword)) return opened;
    const platform::FormatArg args[] = {platform::FormatArg(aTableName),
                                        platform::FormatArg(static_cast<const void*>(aIndexDesc)),
                                        platform::FormatArg(static_cast<std::int32_t>(aNewDefault))};
    return schemaNotified(*this, eaTableAddIndex, args, [&] { return cursor->stcAddIndex(aIndexDesc, aNewDefault); });
  });
}

TnxResult TnxServerDatabase::TableDropIndex(const nxString& aTableName, const nxString& aPassword,
                                            const nxString& aIndexName, std::int32_t aIndexID) {
  if (const TnxResult invalid = nxCheckTableNameWithChild(aTableName, true, false)) return invalid;
  if (const TnxResult invalid = nxValidateIdentifier(aIndexName, nxErrInvalidIndexName, true, true)) return invalid;
  return schemaFrame(*this, true, [&]() -> TnxResult {
    TnxSchemaCursor cursor;
    if (const TnxResult opened = cursor.Open(*this, aTableName, aPassword)) return opened;
    const platform::FormatArg args[] = {platform::FormatArg(aTableName), platform::FormatArg(aIndexName),
                                        platform::FormatArg(aIndexID)};
    return schemaNotified(*this, eaTableDropIndex, args, [&] { return cursor->stcDropIndex(aIndexName, aIndexID); });
  });
}
