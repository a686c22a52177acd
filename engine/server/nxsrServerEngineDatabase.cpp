#include "nxsrServerEngineInt.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "nxllException.h"
#include "nxllStreams.h"
#include "nxsrBlobHandlerPassthrough.h"
#include "nxseJournalEngine.h"
#include "nxsrTimeoutHandling.h"
#include "plFileSystem.h"
#include "plString.h"

PL_CLASS_INFO_IMPL(TnxTableMapper, TnxInterfacedObject, "TnxTableMapper", nullptr)
PL_CLASS_INFO_IMPL(TnxServerDatabase, TnxSqlAbstractDatabase, "TnxServerDatabase", nullptr)
PL_CLASS_INFO_IMPL(TnxServerStatement, TnxAbstractStatement, "TnxServerStatement", nullptr)
PL_CLASS_INFO_IMPL(TnxServerDatabaseCursorSourceContainer, TnxInterfacedObject,
                   "TnxServerDatabaseCursorSourceContainer", nullptr)

namespace {

const char16_t* openModeText(TnxOpenMode aMode) {
  static constexpr const char16_t* kNames[] = {u"omReadOnly", u"omWriteOnly", u"omReadWrite", u"omNone"};
  const auto i = static_cast<std::size_t>(aMode);
  return i < std::size(kNames) ? kNames[i] : u"";
}

const char16_t* shareModeText(TnxShareMode aMode) {
  static constexpr const char16_t* kNames[] = {u"smExclusive", u"smShared", u"smShareRead"};
  const auto i = static_cast<std::size_t>(aMode);
  return i < std::size(kNames) ? kNames[i] : u"";
}

// Lowers a root table's usage counter on every path.
class TnxUsageGuard {
 public:
  explicit TnxUsageGuard(TnxServerRootTable* aTable) : ugTable(aTable) {
    if (ugTable) ugTable->sbtLockIsInactive.fetch_add(1, std::memory_order_acq_rel);
  }
  ~TnxUsageGuard() {
    if (ugTable) ugTable->sbtLockIsInactive.fetch_sub(1, std::memory_order_acq_rel);
  }
  TnxUsageGuard(const TnxUsageGuard&) = delete;
  TnxUsageGuard& operator=(const TnxUsageGuard&) = delete;

 private:
  TnxServerRootTable* ugTable;
};

// The first string of the table's "$TableName" stream; empty when the
// table has none.
nxString storedTableName(TnxServerRootTable& aTable) {
  if (!aTable.StreamEngine()) return nxString();
  TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
  if (aTable.StreamEngine()->ReadNamedStream(nullptr, u"$TableName", *stream) != 0) return nxString();
  if (stream->Size() == 0) return nxString();
  stream->SetPosition(0);
  TnxReader reader(*stream);
  return reader.ReadString();
}

}  // namespace

// ---- Table map ---------------------------------------------------------------------

TnxTableMapper::TnxTableMapper() {
  tmMappings = platform::create<platform::TStringList>(platform::Duplicates::error, false);
  tmMappings->setSorted(true);
  tmPadlock = platform::create<TnxPadlock>();
}

TnxTableMapper::~TnxTableMapper() {
  while (tmMappings->count() > 0) {
    const int last = tmMappings->count() - 1;
    try {
      platform::TObject::free(tmMappings->objects(last));
    } catch (...) {
      // A table that fails to close is dropped with the map.
    }
    if (tmMappings->count() > last) tmMappings->deleteAt(last);
  }
  platform::TObject::free(std::exchange(tmMappings, nullptr));
  platform::TObject::free(std::exchange(tmPadlock, nullptr));
}

std::int32_t TnxTableMapper::QueryInterface(const platform::Guid& aIID, void** aObj) {
  if (aIID == InxTableMapper::IID) {
    *aObj = static_cast<InxTableMapper*>(this);
    AddRef();
    return nxS_OK;
  }
  return TnxInterfacedObject::QueryInterface(aIID, aObj);
}

platform::TStringList& TnxTableMapper::LockMappings() {
  tmPadlock->Lock();
  return *tmMappings;
}

void TnxTableMapper::UnlockMappings() { tmPadlock->Unlock(); }

bool TnxTableMapper::IsMapped(const nxString& aTableName) {
  TnxPadlockGuard guard(*tmPadlock);
  int index = 0;
  return tmMappings->find(aTableName, index);
}

// ---- Database: life ----------------------------------------------------------------

TnxServerDatabase::TnxServerDatabase(TnxServerSession* aSession, TnxServerTransContext* aTransContext,
                                     const nxString& aAlias, TnxServerFolder* aFolder, std::uint32_t aTimeout,
                                     TnxOpenMode aOpenMode, TnxShareMode aShareMode)
    : TnxSqlAbstractDatabase(aSession, aTransContext, aTimeout), sdAlias(aAlias), sdFolder(aFolder) {
  TnxBufferManager* buffers = aFolder->ServerEngine()->BufferManager();
  sdLastCheckLSN = buffers ? buffers->CurrentLSN() : 0;
  auto* mapper = platform::create<TnxTableMapper>();
  sdTables = TnxIntfPtr<InxTableMapper>(static_cast<InxTableMapper*>(mapper));
  sdOpenMode = aOpenMode;
  sdShareMode = aShareMode;
  sdIsCache = aFolder->IsCache();
  sdFolderStructureGeneration = aFolder->StructureGeneration();
  sdBlobLinkHandler = platform::create<TnxBlobLinkHandler>(this);
  sdLinkIntoFolder();
}

TnxServerDatabase::~TnxServerDatabase() {
  // Reached without beforeDestruction when construction failed.
  if (TnxBlobLinkHandler* links = std::exchange(sdBlobLinkHandler, nullptr)) platform::TObject::free(links);
  sdDropCursorSources();
  sdTables = TnxIntfPtr<InxTableMapper>();
  sdUnlinkFromFolder();
  sdFolder = nullptr;
}

void TnxServerDatabase::beforeDestruction() {
  // No source is asked for a cursor while the cursors go.
  sdDropCursorSources();
  // The link cursors are the handler's: they go with it, before the others.
  if (TnxBlobLinkHandler* links = std::exchange(sdBlobLinkHandler, nullptr)) TnxAbstractServerObject::Free(links);
  // Cursors and statements go while the folder link still stands.
  TnxSqlAbstractDatabase::beforeDestruction();
}

void TnxServerDatabase::sdLinkIntoFolder() {
  TnxServerFolder& folder = *sdFolder;
  TnxPadlockGuard guard(*folder.sfDatabasesPadlock);
  sdFolderPrev = folder.sfDatabasesTail;
  sdFolderNext = nullptr;
  if (folder.sfDatabasesTail)
    folder.sfDatabasesTail->sdFolderNext = this;
  else
    folder.sfDatabasesHead = this;
  folder.sfDatabasesTail = this;
  sdInFolder = true;
  folder.sfDatabaseOpened();
  if (!folder.sfJournalChecked && !folder.InMemOnly() && !folder.ReadOnly()) {
    const platform::ClassInfo* cls = nxGetDefaultJournalEngineClass();
    const auto* funcs = cls ? cls->table<TnxJournalEngineClassFuncs>() : nullptr;
    if (funcs && funcs->check) {
      funcs->check(sdAlias, folder.Path());
      folder.sfJournalChecked = true;
    }
  }
  folder.sfUpdateInactive();
}

void TnxServerDatabase::sdUnlinkFromFolder() {
  if (!sdFolder || !sdInFolder) return;
  TnxServerFolder& folder = *sdFolder;
  TnxPadlockGuard guard(*folder.sfDatabasesPadlock);
  if (sdFolderPrev)
    sdFolderPrev->sdFolderNext = sdFolderNext;
  else
    folder.sfDatabasesHead = sdFolderNext;
  if (sdFolderNext)
    sdFolderNext->sdFolderPrev = sdFolderPrev;
  else
    folder.sfDatabasesTail = sdFolderPrev;
  sdFolderPrev = sdFolderNext = nullptr;
  sdInFolder = false;
  folder.sfDatabaseClosed();
  folder.sfUpdateInactive();
}

TnxServerEngine* TnxServerDatabase::ServerEngine() const { return sdFolder->ServerEngine(); }

// ---- Database: small services ------------------------------------------------------

void TnxServerDatabase::AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer,
                                     bool aIncludeChildren) {
  TnxSqlAbstractDatabase::AddDebugInfo(aContainer, aIncludeChildren);
  aContainer->AddString(u"Alias", sdAlias);
  aContainer->AddString(u"Folder", sdFolder ? sdFolder->Path() : nxString());
  aContainer->AddString(u"OpenMode", openModeText(sdOpenMode));
  aContainer->AddString(u"ShareMode", shareModeText(sdShareMode));
}

std::int32_t TnxServerDatabase::CreateInstanceFor(const nxString& aName, const platform::Guid& aClassID,
                                                  InxInterface* aOuter, const platform::Guid& aInterfaceID,
                                                  void** aInterface) {
  const std::size_t dot = aName.find(u'.');
  const nxString first = aName.substr(0, dot);
  if (sdFolder && platform::sameTextAscii(first, u"<Folder>")) {
    const nxString rest = dot == nxString::npos ? nxString(u"<Self>") : aName.substr(dot + 1);
    return sdFolder->CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
  }
  return TnxSqlAbstractDatabase::CreateInstanceFor(aName, aClassID, aOuter, aInterfaceID, aInterface);
}

std::int32_t TnxServerDatabase::CreateInstanceByClassID(const platform::Guid& aClassID, InxInterface* aOuter,
                                                        const platform::Guid& aInterfaceID, void** aInterface) {
  if (aClassID == nxServerDatabaseSelfClassID) {
    if (aInterface) *aInterface = nullptr;
    return QueryInterface(aInterfaceID, aInterface);
  }
  return TnxSqlAbstractDatabase::CreateInstanceByClassID(aClassID, aOuter, aInterfaceID, aInterface);
}

TnxResult TnxServerDatabase::esoOptionGetParent(const nxString& aName, nxString& aValue) {
  if (sdFolder) {
    const TnxResult result = sdFolder->OptionGetEffective(aName, aValue);
    if (result != 8712) return result;
  }
  return TnxSqlAbstractDatabase::esoOptionGetParent(aName, aValue);
}

TnxResult TnxServerDatabase::esoOptionListParent(platform::TStringList& aList) {
  if (sdFolder) {
    const TnxResult result = sdFolder->OptionListEffective(aList);
    if (result != 0) return result;
  }
  TnxOwned<platform::TStringList> inherited(platform::create<platform::TStringList>());
  const TnxResult result = TnxSqlAbstractDatabase::esoOptionListParent(*inherited);
  if (result != 0) return result;
  for (int i = 0; i < inherited->count(); ++i) {
    const nxString name = inherited->names(i);
    if (aList.indexOfName(name) < 0) aList.add(inherited->strings(i));
  }
  return 0;
}

TnxResult TnxServerDatabase::GetFreespace(std::int64_t& aFreeSpace) {
  aFreeSpace = 0;
  return nxGuardedCall(*this, [&]() -> TnxResult {
    std::uint64_t bytes = 0;
    if (platform::currentFileSystem().freeSpace(platform::toUtf8(sdFolder->Path()), bytes) != 0) return 11047;
    aFreeSpace = static_cast<std::int64_t>(bytes / 1024);
    return 0;
  });
}

TnxResult TnxServerDatabase::GetPath(nxString& aPath) {
  aPath = sdFolder->Path();
  return 0;
}

TnxResult TnxServerDatabase::GetAlias(nxString& aAlias) {
  aAlias = sdAlias;
  return 0;
}

void TnxServerDatabase::sadLockTables() { sdFolder->LockTables(); }
void TnxServerDatabase::sadUnlockTables() { sdFolder->UnlockTables(); }

std::vector<nxString> TnxServerDatabase::sdBuildPasswords(const nxString& aTableName, const nxString& aPassword) {
  return static_cast<TnxServerSession*>(Session())->ssBuildPasswords(sdAlias, aTableName, aPassword);
}

void TnxServerDatabase::sdStructureChanged(bool aFolderToo) {
  ++sdStructureGeneration;
  if (aFolderToo) sdFolder->sfStructureGeneration.fetch_add(1, std::memory_order_acq_rel);
  sdFolderStructureGeneration = sdFolder->StructureGeneration();
}

std::int32_t TnxServerDatabase::StructureGeneration() {
  const std::int32_t folder = sdFolder->StructureGeneration();
  if (folder != sdFolderStructureGeneration) {
    sdFolderStructureGeneration = folder;
    ++sdStructureGeneration;
  }
  return sdStructureGeneration;
}

// ---- Database: cursor sources -----------------------------------------------------

TnxServerDatabaseCursorSourceContainer::TnxServerDatabaseCursorSourceContainer(
    TnxServerDatabase* aDatabase, const TnxIntfPtr<InxServerDatabaseCursorSource>& aSource)
    : cscLock(aDatabase->SessionLock()), cscDatabase(aDatabase), cscSource(aSource) {
  cscDatabasePrev = aDatabase->sdCursorSourceTail;
  if (aDatabase->sdCursorSourceTail)
    aDatabase->sdCursorSourceTail->cscDatabaseNext = this;
  else
    aDatabase->sdCursorSourceHead = this;
  aDatabase->sdCursorSourceTail = this;
}

TnxServerDatabaseCursorSourceContainer::~TnxServerDatabaseCursorSourceContainer() {
  try {
    Unregister();
  } catch (...) {
    // The session lock refused (another thread is inside the session): a
    // freed container must not stay linked all the same.
    cscUnlink();
  }
}

std::int32_t TnxServerDatabaseCursorSourceContainer::QueryInterface(const platform::Guid& aIID, void** aObj) {
  if (aIID == InxServerDatabaseCursorSourceControl::IID || aIID == InxDatabaseCursorSourceControl::IID) {
    *aObj = static_cast<InxServerDatabaseCursorSourceControl*>(this);
    AddRef();
    return nxS_OK;
  }
  return TnxInterfacedObject::QueryInterface(aIID, aObj);
}

TnxResult TnxServerDatabaseCursorSourceContainer::Unregister() {
  TnxIntfPtr<InxSimpleLock> lock = cscLock;
  if (!lock) return 0;
  lock->Lock();
  cscUnlink();
  TnxResult result = 0;
  lock->Unlock(result);
  return 0;
}

void TnxServerDatabaseCursorSourceContainer::cscUnlink() {
  if (TnxServerDatabase* db = std::exchange(cscDatabase, nullptr)) {
    if (cscDatabasePrev)
      cscDatabasePrev->cscDatabaseNext = cscDatabaseNext;
    else
      db->sdCursorSourceHead = cscDatabaseNext;
    if (cscDatabaseNext)
      cscDatabaseNext->cscDatabasePrev = cscDatabasePrev;
    else
      db->sdCursorSourceTail = cscDatabasePrev;
    cscDatabasePrev = cscDatabaseNext = nullptr;
  }
  cscSource.reset();
  cscLock.reset();
}

TnxResult TnxServerDatabase::RegisterCursorSource(InxDatabaseCursorSource* aSource,
                                                  TnxIntfPtr<InxDatabaseCursorSourceControl>& aControl) {
  aControl.reset();
  return nxGuardedCall(*this, [&]() -> TnxResult {
    void* found = nullptr;
    if (!aSource || aSource->QueryInterface(InxServerDatabaseCursorSource::IID, &found) != nxS_OK || !found)
      return NotSupported(u"RegisterCursorSource");
    // The reference QueryInterface added goes to the container.
    TnxIntfPtr<InxServerDatabaseCursorSource> source(static_cast<InxServerDatabaseCursorSource*>(found), false);
    auto* container = platform::create<TnxServerDatabaseCursorSourceContainer>(this, source);
    aControl = TnxIntfPtr<InxDatabaseCursorSourceControl>(static_cast<InxServerDatabaseCursorSourceControl*>(container));
    return 0;
  });
}

bool TnxServerDatabase::sdCursorSourcesOpen(TnxAbstractCursor*& aCursor, const nxString& aTableName,
                                            const nxString& aPassword, TnxOpenMode aOpenMode,
                                            TnxShareMode aShareMode, std::uint32_t aTimeout,
                                            const nxString& aIndexName, std::int32_t aIndexID) {
  aCursor = nullptr;
  // A source may unregister (itself or another) while it is asked.
  std::vector<TnxIntfPtr<InxServerDatabaseCursorSourceControl>> sources;
  for (auto* c = sdCursorSourceHead; c; c = c->cscDatabaseNext)
    sources.emplace_back(static_cast<InxServerDatabaseCursorSourceControl*>(c));
  for (const auto& control : sources) {
    auto* container = static_cast<TnxServerDatabaseCursorSourceContainer*>(control.get());
    if (container->cscDatabase != this) continue;
    TnxIntfPtr<InxServerDatabaseCursorSource> source = container->cscSource;
    TnxAbstractCursor* cursor = nullptr;
    const TnxResult result =
        source->CursorOpen(this, cursor, aTableName, aPassword, aOpenMode, aShareMode, aTimeout, aIndexName, aIndexID);
    if (result == 0 && cursor) {
      aCursor = cursor;
      return true;
    }
  }
  return false;
}

std::int32_t TnxServerDatabase::CursorSourceCount() const {
  std::int32_t n = 0;
  for (auto* c = sdCursorSourceHead; c; c = c->cscDatabaseNext) ++n;
  return n;
}

void TnxServerDatabase::sdDropCursorSources() {
  while (sdCursorSourceHead) sdCursorSourceHead->cscUnlink();
}

// ---- Database: cursors -------------------------------------------------------------

TnxResult TnxServerDatabase::sdCursorOpenChecked(TnxAbstractCursor*& aCursor, const nxString& aTableName,
                                                 const nxString& aPassword, TnxOpenMode aOpenMode,
                                                 TnxShareMode aShareMode, std::uint32_t aTimeout,
                                                 const nxString& aIndexName, std::int32_t aIndexID, bool aAllowSystem,
                                                 std::uint32_t aFilterTimeout, bool aIsCache) {
  aCursor = nullptr;
  TnxResult result = nxCheckTableNameWithChild(aTableName, true, aAllowSystem);
  if (result != 0) return result;
  if (aIsCache ? !sdIsCache : sdIsCache && !aAllowSystem)
    return EnxBaseException::nxSetMessage(9221, u"Database does not support opening of cache cursors");
  TnxGuardedCall call(*this);
  try {
    result = sdCursorOpen(aCursor, aTableName, aPassword, false, aOpenMode, aShareMode, false, aTimeout, aIndexName,
                          aIndexID, false, aIsCache);
    if (result == 0 && aFilterTimeout != 500)
      if (TnxServerBaseCursor* cursor = nxTryServerCursor(aCursor)) cursor->SetFilterTimeout(aFilterTimeout);
  } catch (const std::exception&) {
    result = asoConvertException(std::current_exception());
  }
  return call.Finish(result);
}

TnxResult TnxServerDatabase::CursorOpen(TnxAbstractCursor*& aCursor, const nxString& aTableName,
                                        const nxString& aPassword, TnxOpenMode aOpenMode, TnxShareMode aShareMode,
                                        std::uint32_t aTimeout, const nxString& aIndexName, std::int32_t aIndexID,
                                        bool aAllowSystem, TnxCursorOpenOptions, std::uint32_t aFilterTimeout,
                                        const platform::TStringList*) {
  return sdCursorOpenChecked(aCursor, aTableName, aPassword, aOpenMode, aShareMode, aTimeout, aIndexName, aIndexID,
                             aAllowSystem, aFilterTimeout, false);
}

TnxResult TnxServerDatabase::CursorCacheOpen(TnxAbstractCursor*& aCursor, const nxString& aTableName,
                                             const nxString& aPassword, TnxOpenMode aOpenMode,
                                             TnxShareMode aShareMode, std::uint32_t aTimeout,
                                             const nxString& aIndexName, std::int32_t aIndexID, bool aAllowSystem,
                                             TnxCursorOpenOptions, std::uint32_t aFilterTimeout) {
  return sdCursorOpenChecked(aCursor, aTableName, aPassword, aOpenMode, aShareMode, aTimeout, aIndexName, aIndexID,
                             aAllowSystem, aFilterTimeout, true);
}

TnxSqlAbstractCursor* TnxServerDatabase::sadCreateResultSet(TnxDataDictionary* aDictionary, std::uint32_t aTimeout) {
  return TnxServerTableCursor::CreateResultSet(this, aDictionary, aTimeout);
}

namespace {

bool writable(TnxOpenMode aOpenMode) { return aOpenMode != omReadOnly; }

// The share rule of a new cursor against the cursors open on aTable.
// REQUIRES: the table's cursor padlock.
bool shareConflict(TnxServerTableCursor* aHead, TnxOpenMode aOpenMode, TnxShareMode aShareMode) {
  if (!aHead) return false;
  if (aHead->ShareMode() == smExclusive || aShareMode == smExclusive) return true;
  if (aShareMode == smShared) {
    if (!writable(aOpenMode)) return false;
    for (TnxServerTableCursor* cursor = aHead; cursor; cursor = cursor->TableNext()) {
      if (cursor->ShareMode() == smShareRead) return true;
      if (cursor->ShareMode() == smShared && writable(cursor->OpenMode())) return false;
    }
    return false;
  }
  for (TnxServerTableCursor* cursor = aHead; cursor; cursor = cursor->TableNext()) {
    if (cursor->ShareMode() == smShareRead && writable(aOpenMode)) return true;
    if (writable(cursor->OpenMode())) return true;
  }
  return false;
}

}  // namespace

TnxResult TnxServerDatabase::sdCursorOpen(TnxAbstractCursor*& aCursor, const nxString& aTableName,
                                          const nxString& aPassword, bool aForServer, TnxOpenMode aOpenMode,
                                          TnxShareMode aShareMode, bool aIgnoreExcl, std::uint32_t aTimeout,
                                          const nxString& aIndexName, std::int32_t aIndexID, bool aInternal,
                                          bool aIsCache) {
  aCursor = nullptr;
  if (aOpenMode == omWriteOnly) aOpenMode = omReadWrite;
  if (sdOpenMode == omReadOnly && aOpenMode != omReadOnly) return nxErrDatabaseReadOnly;
  TnxResult result = 0;
  TnxServerTableCursor* cursor = nullptr;
  try {
    sdFolder->LockTables();
    struct Unlock {
      TnxServerDatabase* db;
      ~Unlock() {
        db->sdTables->UnlockMappings();
        db->sdFolder->UnlockTables();
      }
    };
    sdTables->LockMappings();
    Unlock unlock{this};
    TnxServerBaseTable* table = nullptr;
    bool readOnly = false;
    result = sdGetTable(table, aTableName, aPassword, aForServer, readOnly, aInternal, aIsCache);
    if (readOnly) aOpenMode = omReadOnly;
    if (result != 0) {
      TnxAbstractCursor* sourced = nullptr;
      if (sdCursorSourcesOpen(sourced, aTableName, aPassword, aOpenMode, aShareMode, aTimeout, aIndexName, aIndexID)) {
        aCursor = sourced;
        return 0;
      }
    }
    if (result == 0 && table) {
      TnxServerRootTable* root = table->Root();
      const auto conflict = [&] {
        TnxPadlockGuard guard(*table->CursorsPadlock());
        return !aIgnoreExcl && shareConflict(table->CursorsHead(), aOpenMode, aShareMode);
      };
      if (conflict()) {
        // One attempt to have idle cursors closed, then the rule again.
        root->sbtLockIsInactive.fetch_add(1);
        root->srtIsInactive(true, true, 1);
        root->sbtLockIsInactive.fetch_sub(1);
        if (conflict()) result = nxErrNoExclusiveAccess;
      }
      if (result == 0 && root->OpenMode() == omReadOnly && aOpenMode != omReadOnly) result = nxErrTableReadOnly;
      if (result == 0) {
        const bool blobCache = Session() && Session()->ClientVersion() >= 20000;
        cursor = platform::create<TnxServerTableCursor>(this, table, aTimeout, aOpenMode, aShareMode, aIndexName,
                                                        aIndexID, blobCache, aInternal);
      }
    }
    if (result == 0 && cursor && cursor->IsWriteOnly() && cursor->IsReadOnly()) result = nxErrInsufficientRights;
  } catch (const std::exception&) {
    result = asoConvertException(std::current_exception());
  }
  if (result != 0) {
    if (cursor) {
      try {
        TnxAbstractServerObject::Free(cursor);
      } catch (...) {
        // A cursor that fails to go leaves the failure as it was.
      }
    }
    return result;
  }
  if (!cursor) return nxErrGeneral;
  aCursor = cursor;
  return 0;
}

// ---- Database: table lookup --------------------------------------------------------

TnxResult TnxServerDatabase::sdGetTable(TnxServerBaseTable*& aTable, const nxString& aTableName,
                                        const nxString& aPassword, bool aForServer, bool& aIsReadOnly,
                                        bool aInternal, bool aIsCache) {
  aIsReadOnly = false;
  aTable = nullptr;
  const TnxUnicodeStrings passwords = sdBuildPasswords(aTableName, aPassword);
  const std::size_t colon = aTableName.find(u':');
  const nxString rootName = aTableName.substr(0, colon);
  const nxString childPath = colon == nxString::npos ? nxString() : aTableName.substr(colon + 1);
  TnxServerFolder& folder = *sdFolder;
  TnxResult result = 0;
  {
    TnxPadlockGuard tables(*folder.sfTablesPadlock);
    platform::TStringList& map = sdTables->LockMappings();
    struct Unmap {
      InxTableMapper* m;
      ~Unmap() { m->UnlockMappings(); }
    } unmap{sdTables.get()};

    TnxServerRootTable* root = nullptr;
    int index = 0;
    if (map.find(rootName, index)) root = static_cast<TnxServerRootTable*>(map.objects(index));
    if (!root) root = folder.sfFindTable(rootName);
    TnxUsageGuard usage(root);
    if (root) {
      result = root->srtCheckPasswords(passwords);
      if (result == 10763) {
        result = 0;
        aIsReadOnly = true;
      }
      if (result != 0) return result;
    } else {
      if (folder.InMemOnly() || folder.sfTableExists(rootName) != 0) {
        result = 10024;
      } else {
        const bool readOnlyFolder = folder.ReadOnly();
        auto openAs = [&](TnxOpenMode aMode, TnxShareMode aShare) -> TnxResult {
          root = platform::create<TnxServerRootTable>(&folder, rootName, aMode, aShare, tsPersistent);
          TnxResult opened;
          try {
            bool fileReadOnly = false;
            opened = root->srtOpenFiles(nullptr, passwords, aForServer, TnxFileAttributes{}, fileReadOnly);
          } catch (...) {
            opened = asoConvertException(std::current_exception());
          }
          if (opened != 0) platform::TObject::free(std::exchange(root, nullptr));
          return opened;
        };
        if (readOnlyFolder) {
          result = openAs(omReadOnly, smShareRead);
        } else {
          result = openAs(omReadWrite, smExclusive);
          if (result == 10024) result = openAs(omReadOnly, smShareRead);
        }
      }
      if (result == 10024)
        return EnxBaseException::nxSetMessage(10024, nxGetOrgPlaceholder() + u" Root table \"" + rootName +
                                                         u"\" not found");
      if (result != 0) return result;
      if (!aInternal && ServerEngine()->Options().contains(seoVerifyTableNames)) {
        nxString stored;
        try {
          stored = storedTableName(*root);
        } catch (...) {
          platform::TObject::free(root);
          throw;
        }
        if (!stored.empty() && !platform::sameTextAscii(stored, rootName)) {
          platform::TObject::free(root);
          return EnxBaseException::nxSetMessage(
              10039, u"Table file name (\"" + rootName + u"\") does not match actual table name (\"" + stored +
                         u"\")");
        }
      }
    }
    if (root->OpenMode() == omReadOnly) aIsReadOnly = true;
    TnxServerBaseTable* table = nullptr;
    result = root->GetChild(childPath, table);
    if (result != 0) return result;
    aTable = table;
  }
  if (aTable && aTable->IsCache() != aIsCache) {
    aTable = nullptr;
    return EnxBaseException::nxSetMessage(9221, u"Table has conflicting cache mode");
  }
  return 0;
}

// ---- Database: changed tables ------------------------------------------------------

TnxResult TnxServerDatabase::GetChangedTables(platform::TStringList& aTables) {
  return nxGuardedCall(*this, [&] { return sdGetChangedTables(aTables); });
}

TnxResult TnxServerDatabase::sdGetChangedTables(platform::TStringList& aTables) {
  try {
    const platform::FormatArg args[] = {static_cast<const void*>(&aTables)};
    TnxResult result = NotifyExtenders(eaGetChangedTables, true, args);
    if (result != 0) return result;
    TnxLSN checkLSN = 0;
    auto* context = dynamic_cast<TnxServerTransContext*>(TransContext());
    TnxServerTransaction* trans = context ? context->Transaction() : nullptr;
    if (trans)
      checkLSN = trans->btLSN - 1;
    else if (ServerEngine()->BufferManager())
      checkLSN = ServerEngine()->BufferManager()->CurrentLSN();
    {
      TnxPadlockGuard guard(adCursorsPadlock);
      std::vector<nxString> seen;
      for (TnxAbstractCursor* c = adCursorsHead; c; c = c->DatabaseNext()) {
        auto* cursor = dynamic_cast<TnxServerTableCursor*>(c);
        if (!cursor || !cursor->Table()) continue;
        nxString name = cursor->Table()->FullName();
        if (std::find(seen.begin(), seen.end(), name) != seen.end()) continue;
        seen.push_back(name);
        if (cursor->Table()->sbtCurrentLSN(trans) > sdLastCheckLSN) aTables.add(std::move(name));
      }
    }
    result = NotifyExtenders(eaGetChangedTables, false, args);
    if (result != 0) return result;
    sdLastCheckLSN = checkLSN;
    return 0;
  } catch (...) {
    return asoConvertException(std::current_exception());
  }
}

// ---- Database: statements ----------------------------------------------------------

TnxResult TnxServerDatabase::StatementAlloc(TnxAbstractStatement*& aStatement, std::uint32_t aTimeout) {
  aStatement = nullptr;
  return nxGuardedCall(*this, [&] { return sdStatementAlloc(aStatement, aTimeout); });
}

TnxResult TnxServerDatabase::sdStatementAlloc(TnxAbstractStatement*& aStatement, std::uint32_t aTimeout) {
  aStatement = nullptr;
  TnxBaseSqlEngine* sql = ServerEngine()->SqlEngine();
  if (!sql) return EnxBaseException::nxSetMessage(12289, u"An SQL Engine is required");
  TnxResult result;
  try {
    result = sql->StatementAlloc(this, aStatement, aTimeout);
  } catch (...) {
    result = asoConvertException(std::current_exception());
  }
  if (result != 0 && aStatement) platform::TObject::free(std::exchange(aStatement, nullptr));
  return result;
}

TnxResult TnxServerDatabase::StatementExecDirect(std::uint32_t aTimeout, TnxStatementType aStatementType,
                                                 const nxString& aQueryText, TStream* aPrepareStream,
                                                 TnxSqlParamList& aParams, TStream* aSetParamsStream,
                                                 TnxAbstractCursor*& aCursor, TnxOpenMode aOpenMode,
                                                 TStream* aExecStream, TStream* aGetParamsStream,
                                                 TnxStatementExecDirectPhase& aPhase) {
  aCursor = nullptr;
  aPhase = sedAlloc;
  // The deadline is the call's own, not the database's.
  nxSetTimeout(aTimeout, false);
  TnxGuardedCall call(*this, TnxGuardedCall::LockOnly{});
  TnxResult result;
  try {
    result = sdStatementExecDirect(aTimeout, aStatementType, aQueryText, aPrepareStream, aParams, aSetParamsStream,
                                   aCursor, aOpenMode, aExecStream, aGetParamsStream, aPhase);
  } catch (...) {
    if (!aExecStream) throw;
    result = asoConvertException(std::current_exception());
  }
  return call.Finish(result);
}

TnxResult TnxServerDatabase::sdStatementExecDirect(std::uint32_t aTimeout, TnxStatementType aStatementType,
                                                   const nxString& aQueryText, TStream* aPrepareStream,
                                                   TnxSqlParamList& aParams, TStream* aSetParamsStream,
                                                   TnxAbstractCursor*& aCursor, TnxOpenMode aOpenMode,
                                                   TStream* aExecStream, TStream* aGetParamsStream,
                                                   TnxStatementExecDirectPhase& aPhase) {
  aCursor = nullptr;
  aPhase = sedAlloc;
  nxEnterTimeoutNesting();
  TnxAbstractStatement* statement = nullptr;
  struct Cleanup {
    TnxAbstractStatement*& statement;
    TnxAbstractCursor*& cursor;
    bool ok = false;
    ~Cleanup() {
      if (statement) {
        try {
          platform::TObject::free(std::exchange(statement, nullptr));
        } catch (...) {
          // Freeing must not hide the statement's own result.
        }
      }
      if (!ok && cursor) {
        try {
          platform::TObject::free(std::exchange(cursor, nullptr));
        } catch (...) {
        }
      }
      nxLeaveTimeoutNesting();
    }
  } cleanup{statement, aCursor};

  TnxResult result = sdStatementAlloc(statement, aTimeout);
  if (result != 0) return result;
  statement->SetExecDirect(true);
  auto* server = dynamic_cast<TnxServerStatement*>(statement);
  if (!server) return NotSupported(u"StatementExecDirect");
  aPhase = sedPrepare;
  result = server->ssPrepare(aStatementType, aQueryText, aPrepareStream);
  if (result != 0) return result;
  aPhase = sedSetParams;
  result = server->ssSetParams(aParams, aSetParamsStream);
  if (result != 0) return result;
  aPhase = sedExec;
  result = server->ssCountedExec(aCursor, aOpenMode, aExecStream);
  if (result != 0) return result;
  aPhase = sedGetParams;
  if (aGetParamsStream) {
    result = server->ssGetParams(aParams, aGetParamsStream);
    if (result != 0) return result;
  }
  aPhase = sedFree;
  cleanup.ok = true;
  return 0;
}

// ---- Statement ---------------------------------------------------------------------

TnxServerStatement::TnxServerStatement(TnxServerDatabase* aDatabase, std::uint32_t aTimeout)
    : TnxAbstractStatement(aDatabase, aTimeout) {}

TnxResult TnxServerStatement::Prepare(TnxStatementType aStatementType, const nxString& aQueryText, TStream* aStream) {
  return nxGuardedCall(*this, [&] { return ssPrepare(aStatementType, aQueryText, aStream); });
}

TnxResult TnxServerStatement::Exec(TnxAbstractCursor*& aCursor, TnxOpenMode aOpenMode, TStream* aStream) {
  return nxGuardedCall(*this, [&] {
    asExecDirect = false;
    return ssCountedExec(aCursor, aOpenMode, aStream);
  });
}

TnxResult TnxServerStatement::ssCountedExec(TnxAbstractCursor*& aCursor, TnxOpenMode aOpenMode, TStream* aStream) {
  TnxSessionStats::Count(sscStatements, 1);
  TnxServerEngine* engine = static_cast<TnxServerDatabase*>(asDatabase)->ServerEngine();
  engine->seExecutingStatements.fetch_add(1, std::memory_order_acq_rel);
  struct Executing {
    TnxServerEngine* e;
    ~Executing() { e->seExecutingStatements.fetch_sub(1, std::memory_order_acq_rel); }
  };
  TnxResult result;
  {
    Executing executing{engine};
    result = ssExec(aCursor, aOpenMode, aStream);
  }
  engine->seExecutedStatements.fetch_add(1, std::memory_order_acq_rel);
  return result;
}

TnxResult TnxServerStatement::SetParams(const TnxSqlParamList& aParams, TStream* aStream) {
  return nxGuardedCall(*this, [&] { return ssSetParams(aParams, aStream); });
}

TnxResult TnxServerStatement::GetParams(TnxSqlParamList& aParams, TStream* aStream) {
  return nxGuardedCall(*this, [&] { return ssGetParams(aParams, aStream); });
}
