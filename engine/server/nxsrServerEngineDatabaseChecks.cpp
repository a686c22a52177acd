// The server database's background operations that work on one table in
// place: the index rebuild and the checksum verification. Each opens a
// private database on the folder with an exclusive cursor on the table and
// hands both to its task; the public operation then starts the task's thread
// after the session lock is released. A step that fails before the task
// exists frees the cursor and the private database again.
#include "nxsrServerEngineInt.h"

#include "nxllBde.h"
#include "nxllException.h"
#include "nxllUtils.h"
#include "nxsrServerTasks.h"

namespace {

constexpr TnxResult kIndexDoesNotExist = 9997;
constexpr TnxResult kInvalidParam = 9986;
constexpr TnxResult kDatabaseReadOnly = 10501;
constexpr TnxResult kNotSupported = 12289;

// The private database and the cursor of one operation until a task takes
// them over (Release).
struct TnxTaskCursor {
  TnxServerDatabase* database = nullptr;
  TnxServerTableCursor* cursor = nullptr;
  TnxTaskCursor() = default;
  TnxTaskCursor(const TnxTaskCursor&) = delete;
  TnxTaskCursor& operator=(const TnxTaskCursor&) = delete;
  ~TnxTaskCursor() {
    TnxAbstractServerObject::Free(std::exchange(cursor, nullptr));
    TnxAbstractServerObject::Free(std::exchange(database, nullptr));
  }
  void Release() { database = nullptr, cursor = nullptr; }
};

bool hasChildPath(const nxString& aTableName) { return aTableName.find(u':') != nxString::npos; }

}  // namespace

// ---- The public frame ---------------------------------------------------------------

TnxResult TnxServerDatabase::TableRebuildIndex(const nxString& aTableName, const nxString& aPassword,
                                               const nxString& aIndexName, std::int32_t aIndexID,
                                               TnxAbstractTaskInfo*& aTaskInfo) {
  TnxResult check = nxCheckTableNameWithChild(aTableName, true, false);
  if (check == 0) check = nxValidateIdentifier(aIndexName, nxErrInvalidIndexName, true, true);
  return sdTaskFrame(check, aTaskInfo, [&](TnxAbstractTaskInfo*& aMade) {
    return sdTableRebuildIndex(aTableName, aPassword, aIndexName, aIndexID, aMade);
  });
}

TnxResult TnxServerDatabase::TableVerifyChecksum(const nxString& aTableName, const nxString& aPassword, bool aRaw,
                                                 bool aForceRecheck, TnxAbstractTaskInfo*& aTaskInfo) {
  return sdTaskFrame(nxCheckTableName(aTableName, true, false), aTaskInfo, [&](TnxAbstractTaskInfo*& aMade) {
    return sdTableVerifyChecksum(aTableName, aPassword, aRaw, aForceRecheck, aMade);
  });
}

// ---- The work -----------------------------------------------------------------------

TnxServerDatabase* TnxServerDatabase::sdOpenTaskDatabase(TnxAbstractTransContext* aTransContext) {
  TnxAbstractDatabase* database = nullptr;
  nxCheckErrorCode(static_cast<TnxServerSession*>(Session())
                       ->ssDatabaseOpen(database, sdAlias, aTransContext, sdFolder, sdOpenMode, sdShareMode, true,
                                        Timeout()));
  auto* result = static_cast<TnxServerDatabase*>(database);
  // "##" tables of this database stay reachable from the task's.
  result->sdTables = sdTables;
  return result;
}

TnxResult TnxServerDatabase::sdTableRebuildIndex(const nxString& aTableName, const nxString& aPassword,
                                                 const nxString& aIndexName, std::int32_t aIndexID,
                                                 TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  if (sdOpenMode == omReadOnly) return kDatabaseReadOnly;
  TnxTaskCursor parts;
  parts.database = sdOpenTaskDatabase();
  TnxAbstractCursor* opened = nullptr;
  if (const TnxResult result = parts.database->sdCursorOpen(opened, aTableName, aPassword, false, omReadWrite,
                                                            smExclusive, false, Timeout(), u"", -1, false, false))
    return result;
  parts.cursor = static_cast<TnxServerTableCursor*>(opened);
  TnxServerBaseTable* table = parts.cursor->Table();
  TnxBaseIndicesDescriptor* indices = table->TableDescriptor()->IndicesDescriptor();
  if (!indices || !table->IndicesEngine()) return kIndexDoesNotExist;
  const std::int32_t index = aIndexName.empty() ? aIndexID : indices->GetIndexFromName(aIndexName);
  if (index < 0 || index >= indices->IndexCount()) return kIndexDoesNotExist;
  TnxBaseIndexEngine* engine = table->IndicesEngine()->biseGetIndex(index);
  if (!engine) return kIndexDoesNotExist;
  const auto* funcs = engine->bieKeyEngine->classInfo().table<TnxKeyEngineClassFuncs>();
  if (funcs && !funcs->supportsReindex())
    return EnxBaseException::nxSetMessage(kNotSupported, u"Rebuilding is not supported for this index");
  TnxTableScope scope = table->Root()->TableScope();
  const platform::FormatArg args[] = {platform::FormatArg(aTableName), platform::FormatArg(index),
                                      platform::FormatArg(static_cast<const void*>(&scope))};
  if (const TnxResult result = NotifyExtenders(eaTableRebuildIndex, true, args)) return result;
  aTaskInfo = platform::create<TnxServerRebuildIndexTaskInfo>(parts.cursor, index);
  parts.Release();
  return 0;
}

TnxResult TnxServerDatabase::sdTableVerifyChecksum(const nxString& aTableName, const nxString& aPassword, bool aRaw,
                                                   bool aForceRecheck, TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  if (hasChildPath(aTableName)) return kInvalidParam;
  const platform::FormatArg args[] = {platform::FormatArg(aTableName),
                                      platform::FormatArg(static_cast<const void*>(&aRaw)),
                                      platform::FormatArg(static_cast<const void*>(&aForceRecheck))};
  if (const TnxResult result = NotifyExtenders(eaTableVerifyChecksum, true, args)) return result;
  TnxTaskCursor parts;
  parts.database = sdOpenTaskDatabase();
  TnxAbstractCursor* opened = nullptr;
  if (const TnxResult result = parts.database->sdCursorOpen(opened, aTableName, aPassword, false, omReadOnly,
                                                            smExclusive, false, Timeout(), u"", -1, false, false))
    return result;
  parts.cursor = static_cast<TnxServerTableCursor*>(opened);
  TnxServerRootTable* root = parts.cursor->Table()->Root();
  if (root->FileCount() == 0 || !root->Files(0) || root->Files(0)->CheckSumSize() == 0)
    return EnxBaseException::nxSetMessage(
        kNotSupported, u"Table " + aTableName + u" is not using an encryption engine that supports file checksums.");
  aTaskInfo = platform::create<TnxServerVerifyChecksumTaskInfo>(parts.cursor, aRaw, aForceRecheck);
  parts.Release();
  return 0;
}
