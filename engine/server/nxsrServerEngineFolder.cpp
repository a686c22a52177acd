#include <algorithm>
#include <cstring>
#include <string>

#include "nxllException.h"
#include "nxseJournalEngine.h"
#include "nxsrFileHandling.h"
#include "nxsrServerEngineInt.h"
#include "plDateTime.h"
#include "plFileSystem.h"
#include "plString.h"

PL_CLASS_INFO_IMPL(TnxServerTransactionMgr, TnxBaseTransactionMgr, "TnxServerTransactionMgr", nullptr)
PL_CLASS_INFO_IMPL(TnxServerFolder, TnxLockedOptionsExtendableServerObject, "TnxServerFolder", nullptr)

namespace {

constexpr char16_t kConfigName[] = u"nxTrans.cfg";

TnxLSN decodeLSN(const std::uint8_t* aBytes) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | aBytes[i];
  return static_cast<TnxLSN>(value);
}

void encodeLSN(TnxLSN aLSN, std::uint8_t* aBytes) {
  auto value = static_cast<std::uint64_t>(aLSN);
  for (int i = 0; i < 8; ++i, value >>= 8) aBytes[i] = static_cast<std::uint8_t>(value);
}

// A file object opened as asked, or nil when the open fails.
TnxBaseFile* openPlainFile(const nxString& aName, TnxBufferManager* aBufMgr, TnxOpenMode aOpenMode,
                           TnxShareMode aShareMode, bool aWriteThru, bool aCreate) {
  TnxBaseFile* file = TnxBaseFile::Alloc(false, aName, aBufMgr);
  try {
    file->OpenFile(aOpenMode, aShareMode, aWriteThru, aCreate);
    return file;
  } catch (...) {
    platform::TObject::free(file);
    return nullptr;
  }
}

// The 8 bytes at aOffset as an LSN; 0 when they cannot be read or lie
// outside what a counter may hold.
TnxLSN readLSNAt(TnxBaseFile* aFile, std::int64_t aOffset) {
  try {
    std::uint8_t bytes[8];
    if (aFile->ReadFileAt(8, bytes, aOffset) != 8) return 0;
    const TnxLSN value = decodeLSN(bytes);
    return value > 0 && value < nxLSNLimit - 1 ? value : 0;
  } catch (...) {
    return 0;
  }
}

// The folder's table files: names ending in "." + aExtension (case ignored).
std::vector<nxString> tableFilesOf(const nxString& aFolder, const nxString& aExtension) {
  std::vector<nxString> result;
  std::vector<std::string> names;
  if (platform::currentFileSystem().listDirectory(platform::toUtf8(aFolder), names) != 0) return result;
  const nxString suffix = u"." + aExtension;
  for (const std::string& utf8 : names) {
    const nxString name = platform::fromUtf8(utf8);
    if (name.size() <= suffix.size()) continue;
    if (!platform::sameTextAscii(platform::UnicodeStringView(name).substr(name.size() - suffix.size()), suffix)) continue;
    const nxString full = nxCombinePath(aFolder, name);
    platform::PathInfo info;
    if (platform::currentFileSystem().pathInfo(platform::toUtf8(full), info) != 0 || info.isDirectory) continue;
    result.push_back(full);
  }
  return result;
}

}  // namespace

// ---- Transaction manager ---------------------------------------------------------

TnxServerTransactionMgr::TnxServerTransactionMgr(TnxServerFolder* aFolder)
    : TnxBaseTransactionMgr(aFolder->ServerEngine()->BufferManager()), stmFolder(aFolder) {
  stmLoadLSN();
}

TnxServerTransactionMgr::~TnxServerTransactionMgr() { stmSaveLSN(true); }

nxString TnxServerTransactionMgr::ConfigFileName() const { return nxCombinePath(stmFolder->sfPath, kConfigName); }

TnxBaseJournalEngine* TnxServerTransactionMgr::stmCreateJournal(TnxLSN aNumber) {
  if (stmFolder->sfInMemOnly || stmFolder->sfReadOnly) return nullptr;
  const platform::ClassInfo* cls = nxGetDefaultJournalEngineClass();
  const auto* funcs = cls ? cls->table<TnxJournalEngineClassFuncs>() : nullptr;
  if (!funcs) return nullptr;
  const nxString name = platform::fromUtf8(std::to_string(aNumber)) + u".n$2";
  return funcs->create(nxCombinePath(stmFolder->sfPath, name));
}

bool TnxServerTransactionMgr::stmConfigIsCurrent() {
  platform::PathInfo config;
  if (platform::currentFileSystem().pathInfo(platform::toUtf8(ConfigFileName()), config) != 0) return false;
  if (config.isDirectory || config.size != 8) return false;
  for (const nxString& name : tableFilesOf(stmFolder->sfPath, stmFolder->sfServerEngine->TableExtension())) {
    platform::PathInfo table;
    if (platform::currentFileSystem().pathInfo(platform::toUtf8(name), table) != 0) continue;
    if (table.modifiedNs > config.modifiedNs + kCurrencySlackNs) return false;
  }
  return true;
}

TnxLSN TnxServerTransactionMgr::stmScanTableLSNs() {
  TnxLSN largest = 0;
  for (const nxString& name : tableFilesOf(stmFolder->sfPath, stmFolder->sfServerEngine->TableExtension())) {
    TnxBaseFile* file = openPlainFile(name, btmBufferManager, omReadOnly, smShared, false, false);
    if (!file) continue;
    // The LSN of the header block follows its 8-byte signature.
    largest = std::max(largest, readLSNAt(file, 8));
    try {
      file->CloseFile();
    } catch (...) {
    }
    platform::TObject::free(file);
  }
  return largest + 1;
}

void TnxServerTransactionMgr::stmLoadLSN() {
  if (!btmBufferManager) return;
  if (stmFolder->sfInMemOnly) {
    btmBufferManager->SetNextLSN(1);
    return;
  }
  const nxString name = ConfigFileName();
  const bool current = stmConfigIsCurrent();
  TnxLSN stored = 0;
  if (!stmFolder->sfReadOnly) {
    if (current) {
      stmConfigFile = openPlainFile(name, btmBufferManager, omReadWrite, smExclusive, true, false);
      if (stmConfigFile) stored = readLSNAt(stmConfigFile, 0);
    }
    if (!stmConfigFile) stmConfigFile = openPlainFile(name, btmBufferManager, omReadWrite, smExclusive, true, true);
    // Another holder of the file: nothing here may change.
    if (!stmConfigFile) stmFolder->sfReadOnly = true;
  } else {
    platform::PathInfo info;
    if (platform::currentFileSystem().pathInfo(platform::toUtf8(name), info) == 0) {
      stmConfigFile = openPlainFile(name, btmBufferManager, omReadOnly, smShareRead, false, false);
      if (stmConfigFile && current) stored = readLSNAt(stmConfigFile, 0);
    }
  }
  // The headers are always read: a stored value that outlived a crash may
  // lie below LSNs already written to the tables.
  const TnxLSN lsn = std::max(stored, stmScanTableLSNs());
  // The counter first: the saved value is then one no one was given yet.
  btmBufferManager->SetNextLSN(lsn);
  stmSaveLSN(false);
}

void TnxServerTransactionMgr::stmSaveLSN(bool aClose) {
  if (stmConfigFile && !stmFolder->sfReadOnly && !stmFolder->sfInMemOnly && btmBufferManager) {
    try {
      std::uint8_t bytes[8];
      encodeLSN(btmBufferManager->NextLSN(), bytes);
      stmConfigFile->WriteFileExactAt(8, bytes, 0);
    } catch (...) {
      // The value is found again by the header scan of the next run.
    }
  }
  if (aClose && stmConfigFile) {
    try {
      stmConfigFile->CloseFile();
    } catch (...) {
    }
    platform::TObject::free(std::exchange(stmConfigFile, nullptr));
  }
}

// ---- Folder ------------------------------------------------------------------------

TnxServerFolder::TnxServerFolder(TnxServerEngine* aServerEngine, const nxString& aPath, bool aIsCache)
    : TnxLockedOptionsExtendableServerObject(nullptr), sfServerEngine(aServerEngine), sfPath(aPath),
      sfIsCache(aIsCache) {
  sfDatabasesPadlock = platform::create<TnxPadlock>();
  const TnxServerEngineOptions options = aServerEngine->Options();
  sfInMemOnly = options.contains(seoInMemOnly) || aPath.empty() || aPath.front() == u'#';
  sfReadOnly = !sfInMemOnly && options.contains(seoReadOnly);
  stTransManager = platform::create<TnxServerTransactionMgr>(this);
  sfForceFailSafe = options.contains(seoForceFailSafe);
  sfTablesPadlock = platform::create<TnxPadlock>();
  sfTables = platform::create<platform::TStringList>(platform::Duplicates::error, false);
  sfTables->setSorted(true);
  sfAddToServerEngine();
}

TnxServerFolder::~TnxServerFolder() {
  {
    TnxPadlockGuard guard(*sfDatabasesPadlock);
    sfRemoveFromInactiveFolders();
    sfRemoveFromServerEngine();
    TnxPadlockGuard tables(*sfTablesPadlock);
    while (sfTables->count() > 0) {
      const int last = sfTables->count() - 1;
      try {
        platform::TObject::free(sfTables->objects(last));
      } catch (...) {
        asoConvertException(std::current_exception());
      }
      // A root table leaves the list itself; anything else is dropped here.
      if (sfTables->count() > last) sfTables->deleteAt(last);
    }
  }
  platform::TObject::free(std::exchange(stTransManager, nullptr));
  platform::TObject::free(std::exchange(sfTables, nullptr));
  platform::TObject::free(std::exchange(sfTablesPadlock, nullptr));
  platform::TObject::free(std::exchange(sfDatabasesPadlock, nullptr));
}

void TnxServerFolder::afterConstruction() {
  TnxLockedOptionsExtendableServerObject::afterConstruction();
  sfServerEngine->seFolderCount.fetch_add(1, std::memory_order_acq_rel);
  sfLockedIncDone = true;
}

void TnxServerFolder::beforeDestruction() {
  if (std::exchange(sfLockedIncDone, false)) sfServerEngine->seFolderCount.fetch_sub(1, std::memory_order_acq_rel);
  TnxLockedOptionsExtendableServerObject::beforeDestruction();
}

TnxBaseServerEngine* TnxServerFolder::GetServerEngine() { return sfServerEngine; }

void TnxServerFolder::sfAddToServerEngine() {
  TnxPadlockGuard guard(*sfServerEngine->seFoldersPadlock);
  sfServerEngine->seFolders->addObject(sfPath, this);
}

void TnxServerFolder::sfRemoveFromServerEngine() {
  TnxPadlockGuard guard(*sfServerEngine->seFoldersPadlock);
  int index = 0;
  if (sfServerEngine->seFolders->find(sfPath, index) && sfServerEngine->seFolders->objects(index) == this)
    sfServerEngine->seFolders->deleteAt(index);
}

bool TnxServerFolder::sfIsInactive(bool aIgnoreKeepInMemory, bool aRequestClose) {
  if (sfDatabaseCount.load(std::memory_order_acquire) > 0) return false;
  TnxPadlockGuard guard(*sfTablesPadlock);
  for (int i = sfTables->count() - 1; i >= 0;) {
    auto* table = static_cast<TnxServerRootTable*>(sfTables->objects(i));
    if (!table->srtIsInactive(aIgnoreKeepInMemory, aRequestClose, 0)) return false;
    // A table may have left the list meanwhile.
    i = std::min(i - 1, sfTables->count() - 1);
  }
  return true;
}

TnxServerRootTable* TnxServerFolder::sfFindTable(const nxString& aTableName) {
  int index = 0;
  return sfTables->find(aTableName, index) ? static_cast<TnxServerRootTable*>(sfTables->objects(index)) : nullptr;
}

std::int32_t TnxServerFolder::OpenTableCount() {
  TnxPadlockGuard guard(*sfTablesPadlock);
  return sfTables->count();
}

bool TnxServerFolder::sfCloseTableIfIdle(TnxServerRootTable* aTable, bool aIgnoreKeepInMemory, bool aRequestClose,
                                         const std::function<void(TnxServerRootTable&)>& aBeforeFree) {
  aTable->sbtLockIsInactive.fetch_add(1, std::memory_order_acq_rel);
  if (!aTable->srtIsInactive(aIgnoreKeepInMemory, aRequestClose, 1)) {
    aTable->sbtLockIsInactive.fetch_sub(1, std::memory_order_acq_rel);
    return false;
  }
  if (aBeforeFree) {
    try {
      aBeforeFree(*aTable);
    } catch (...) {
      aTable->sbtLockIsInactive.fetch_sub(1, std::memory_order_acq_rel);
      throw;
    }
  }
  // Somebody who raised the counter meanwhile keeps the table.
  if (aTable->sbtLockIsInactive.fetch_sub(1, std::memory_order_acq_rel) != 1) return false;
  try {
    platform::TObject::free(aTable);
  } catch (...) {
    asoConvertException(std::current_exception());
    return false;
  }
  return true;
}

// ---- Table operations on whole tables ---------------------------------------------

namespace {

// The name without a trailing "." + aExtension (case ignored).
nxString withoutTableExtension(const nxString& aName, const nxString& aExtension) {
  const nxString suffix = u"." + aExtension;
  if (aName.size() > suffix.size() &&
      platform::sameTextAscii(platform::UnicodeStringView(aName).substr(aName.size() - suffix.size()), suffix))
    return aName.substr(0, aName.size() - suffix.size());
  return aName;
}

// Names of tables that live in memory only: "<x>" (longer than two
// characters) or beginning with exactly three "#"; "##x" is database-temporary.
bool isMemoryOrDatabaseTempName(const nxString& aName) {
  if (aName.size() > 2 && aName.front() == u'<' && aName.back() == u'>') return true;
  std::size_t hashes = 0;
  while (hashes < aName.size() && aName[hashes] == u'#') ++hashes;
  return hashes == 3 || hashes == 2;
}

// Makes the folder's entries (creations, renames, removals) durable; a
// failure is raised with aCode, as the file operation it completes would be.
void syncFolder(const nxString& aFolder, TnxResult aCode) {
  if (const int err = platform::currentFileSystem().syncDirectory(platform::toUtf8(aFolder)))
    throw EnxFileManagementException(aCode, u"%s: %s [error %d]",
                                     {u"SyncFolder (\"" + aFolder + u"\")",
                                      nxSystemErrorMessage(static_cast<TnxWord32>(err)), static_cast<std::int64_t>(err)});
}

// A file that the file layer would open under aPath: the exact name or one
// differing only in ASCII letter case.
bool fileExistsAnyCase(const nxString& aPath) {
  platform::FileSystem& fs = platform::currentFileSystem();
  const std::string path = platform::toUtf8(aPath);
  platform::PathInfo info;
  if (fs.pathInfo(path, info) == 0) return !info.isDirectory;
  const std::string folder = platform::folderOf(path);
  std::vector<std::string> names;
  if (fs.listDirectory(folder.empty() ? std::string(".") : folder, names) != 0) return false;
  const nxString wanted = platform::fromUtf8(platform::fileNameOf(path));
  for (const std::string& candidate : names) {
    if (!platform::sameTextAscii(platform::fromUtf8(candidate), wanted)) continue;
    const std::string spelled = folder.empty() ? candidate : (folder.back() == '/' ? folder : folder + "/") + candidate;
    if (fs.pathInfo(spelled, info) == 0 && !info.isDirectory) return true;
  }
  return false;
}

}  // namespace

bool TnxServerFolder::sfIsValidTableName(const nxString& aTableName, TnxTableScope aScope) {
  if (aTableName.empty()) return false;
  if (aScope != tsPersistent) return true;
  return aTableName.find_first_of(u"\"*.:/<>?\\|") == nxString::npos;
}

nxString TnxServerFolder::sfMainFileName(const nxString& aTableName) const {
  return nxCombinePath(sfPath, nxAddExtension(aTableName, sfServerEngine->TableExtension()));
}

void TnxServerFolder::sfMoveTableFiles(const nxString& aOldName, const nxString& aNewName,
                                       const std::vector<nxString>& aExtensions) {
  const nxString extension = sfServerEngine->TableExtension();
  const nxString oldName = withoutTableExtension(aOldName, extension);
  const nxString newName = withoutTableExtension(aNewName, extension);
  std::vector<std::pair<nxString, nxString>> moved;
  try {
    for (const nxString& ext : aExtensions) {
      const nxString from = nxCombinePath(sfPath, nxAddExtension(oldName, ext));
      const nxString to = nxCombinePath(sfPath, nxAddExtension(newName, ext));
      nxRenameFile(from, to);
      moved.emplace_back(from, to);
    }
    // Without it a crash after success could bring back the old names.
    syncFolder(sfPath, 15394);
  } catch (...) {
    for (auto it = moved.rbegin(); it != moved.rend(); ++it) {
      try {
        nxRenameFile(it->second, it->first);
      } catch (...) {
        // The first failure is the one reported.
      }
    }
    if (!moved.empty()) (void)platform::currentFileSystem().syncDirectory(platform::toUtf8(sfPath));
    throw;
  }
}

TnxResult TnxServerFolder::sfTableExists(const nxString& aTableName) {
  try {
    const nxString name = withoutTableExtension(aTableName, sfServerEngine->TableExtension());
    TnxPadlockGuard guard(*sfTablesPadlock);
    if (TnxServerRootTable* open = sfFindTable(name)) {
      const TnxTableScope scope = open->TableScope();
      if (scope == tsPersistent || scope == tsTempGlobal) return 0;
    }
    if (sfInMemOnly || isMemoryOrDatabaseTempName(name) || !sfIsValidTableName(name, tsPersistent)) return 8712;
    return fileExistsAnyCase(sfMainFileName(name)) ? 0 : 8712;
  } catch (...) {
    return asoConvertException(std::current_exception());
  }
}

TnxResult TnxServerFolder::sfTableGetList(platform::TStringList& aList) {
  try {
    aList.beginUpdate();
    aList.clear();
    aList.endUpdate();
    platform::TStringList* work = platform::create<platform::TStringList>(platform::Duplicates::ignore, false);
    try {
      {
        TnxPadlockGuard guard(*sfTablesPadlock);
        for (int i = 0; i < sfTables->count(); ++i) work->add(sfTables->strings(i));
        work->setSorted(true);
        if (!sfInMemOnly) {
          const nxString extension = sfServerEngine->TableExtension();
          for (const nxString& file : tableFilesOf(sfPath, extension)) {
            const nxString name = platform::fromUtf8(platform::fileNameOf(platform::toUtf8(file)));
            work->add(name.substr(0, name.size() - extension.size() - 1));
          }
        }
        // Tables of one database and result sets are not the folder's.
        for (int i = 0; i < sfTables->count(); ++i) {
          const TnxTableScope scope = static_cast<TnxServerRootTable*>(sfTables->objects(i))->TableScope();
          int index = 0;
          if ((scope == tsTempDatabase || scope == tsTempUnnamed) && work->find(sfTables->strings(i), index))
            work->deleteAt(index);
        }
      }
      aList.addStrings(*work);
    } catch (...) {
      platform::TObject::free(work);
      throw;
    }
    platform::TObject::free(work);
    return 0;
  } catch (...) {
    return asoConvertException(std::current_exception());
  }
}

TnxResult TnxServerFolder::sfTableMakeUniqueName(const nxString& aBaseName, nxString& aTableName) {
  try {
    TnxPadlockGuard guard(*sfTablesPadlock);
    aTableName = aBaseName;
    for (std::int64_t n = 1; sfTableExists(aTableName) == 0; ++n)
      aTableName = aBaseName + platform::fromUtf8(std::to_string(n));
    return 0;
  } catch (...) {
    return asoConvertException(std::current_exception());
  }
}

TnxResult TnxServerFolder::sfCloseInactiveTables() {
  if (!sfTablesPadlock->TryLock()) return 10241;
  TnxPadlockGuard guard(*sfTablesPadlock, std::adopt_lock);
  try {
    for (bool closed = true; closed;) {
      closed = false;
      for (int i = sfTables->count() - 1; i >= 0;) {
        auto* table = static_cast<TnxServerRootTable*>(sfTables->objects(i));
        if (sfCloseTableIfIdle(table, false, true)) closed = true;
        i = std::min(i - 1, sfTables->count() - 1);
      }
    }
    return 0;
  } catch (...) {
    return asoConvertException(std::current_exception());
  }
}

void TnxServerFolder::sfUpdateInactive() {
  if (sfDatabaseCount.load(std::memory_order_acquire) == 0 && sfInMemoryCount.load(std::memory_order_acquire) == 0 &&
      sfIsInactive(false, false))
    sfAddToInactiveFolders();
  else
    sfRemoveFromInactiveFolders();
}

void TnxServerFolder::sfAddToInactiveFolders() {
  TnxServerEngine& engine = *sfServerEngine;
  TnxPadlockGuard guard(*engine.seInactiveFoldersPadlock);
  if (Destroying() || sfInServerEngineInactiveFolders) return;
  sfInactiveSince = platform::now();
  sfServerEngineInactiveFoldersPrev = engine.seInactiveFoldersTail;
  sfServerEngineInactiveFoldersNext = nullptr;
  if (engine.seInactiveFoldersTail)
    engine.seInactiveFoldersTail->sfServerEngineInactiveFoldersNext = this;
  else
    engine.seInactiveFoldersHead = this;
  engine.seInactiveFoldersTail = this;
  engine.seInactiveFoldersCount.fetch_add(1, std::memory_order_acq_rel);
  sfInServerEngineInactiveFolders = true;
}

void TnxServerFolder::sfRemoveFromInactiveFolders() {
  TnxServerEngine& engine = *sfServerEngine;
  TnxPadlockGuard guard(*engine.seInactiveFoldersPadlock);
  if (!sfInServerEngineInactiveFolders) return;
  TnxServerFolder* prev = sfServerEngineInactiveFoldersPrev;
  TnxServerFolder* next = sfServerEngineInactiveFoldersNext;
  nxAssert(prev ? prev->sfServerEngineInactiveFoldersNext == this : engine.seInactiveFoldersHead == this,
           "nxsrServerEngine: broken inactive-folder link");
  nxAssert(next ? next->sfServerEngineInactiveFoldersPrev == this : engine.seInactiveFoldersTail == this,
           "nxsrServerEngine: broken inactive-folder link");
  (prev ? prev->sfServerEngineInactiveFoldersNext : engine.seInactiveFoldersHead) = next;
  (next ? next->sfServerEngineInactiveFoldersPrev : engine.seInactiveFoldersTail) = prev;
  sfServerEngineInactiveFoldersPrev = sfServerEngineInactiveFoldersNext = nullptr;
  engine.seInactiveFoldersCount.fetch_sub(1, std::memory_order_acq_rel);
  sfInServerEngineInactiveFolders = false;
}

// ---- Table operations on open tables ------------------------------------------------

namespace {

// The files of a table in order: the table extension, then the extension
// of every further file descriptor.
std::vector<nxString> tableExtensionsOf(TnxServerDataDict& aDict, const nxString& aTableExtension) {
  std::vector<nxString> extensions{aTableExtension};
  if (TnxFilesDescriptor* files = aDict.FilesDescriptor())
    for (std::int32_t i = 1; i < files->FileCount(); ++i) extensions.push_back(files->Files(i)->Extension());
  return extensions;
}

nxString rootTableNotFound(const nxString& aTableName) {
  return nxGetOrgPlaceholder() + u" Root table \"" + aTableName + u"\" not found";
}

TnxUnicodeStrings passwordList(const nxString& aPassword) {
  return aPassword.empty() ? TnxUnicodeStrings{} : TnxUnicodeStrings{aPassword};
}

}  // namespace

TnxResult TnxServerFolder::sfTableBuild(bool aOverWrite, const nxString& aTableName, const nxString& aPassword,
                                        bool aForServer, TnxServerDataDict* aDictionary, TnxTableScope aTableScope) {
  try {
    TnxTableScope scope = aTableScope;
    const platform::FormatArg args[] = {static_cast<int>(aOverWrite), aTableName,
                                        static_cast<const void*>(aDictionary), static_cast<const void*>(&scope)};
    TnxResult result = NotifyExtenders(eaTableBuild, true, args);
    if (result != 0) return result;
    if (sfReadOnly) return 10501;
    {
      TnxPadlockGuard guard(*sfTablesPadlock);
      if (TnxServerRootTable* open = sfFindTable(aTableName))
        if (!sfCloseTableIfIdle(open, true, true)) return 10031;
      if (!sfIsValidTableName(aTableName, scope)) return 10039;
      if (sfTableExists(aTableName) == 0) {
        if (!aOverWrite) return 13060;
        if (sfTableDelete(aTableName, passwordList(aPassword), aForServer) != 0) return 10763;
      }
      TnxServerRootTable* table = nullptr;
      result = sfTableCreate(aTableName, aPassword, aForServer, aDictionary, scope, table);
      if (result == 0) {
        // A persistent table is closed until somebody uses it.
        if (table->srtIsInactive(false, false, 0)) platform::TObject::free(table);
        sfStructureGeneration.fetch_add(1, std::memory_order_acq_rel);
      }
    }
    if (result == 0) result = NotifyExtenders(eaTableBuild, false, args);
    return result;
  } catch (...) {
    return asoConvertException(std::current_exception());
  }
}

TnxResult TnxServerFolder::sfTableCreate(const nxString& aTableName, const nxString& aPassword, bool aForServer,
                                         TnxServerDataDict* aDictionary, TnxTableScope aTableScope,
                                         TnxServerRootTable*& aTable) {
  aTable = nullptr;
  if (sfReadOnly && (aTableScope == tsPersistent || aTableScope == tsTempGlobal)) return 10501;
  if (sfInMemOnly && aTableScope == tsPersistent)
    return EnxBaseException::nxSetMessage(12289, u"TableScope tsPersistent is not supported for in-memory database");
  TnxServerRootTable* table = nullptr;
  TnxResult result = 0;
  try {
    TnxPadlockGuard guard(*sfTablesPadlock);
    table = platform::create<TnxServerRootTable>(this, aTableName, omReadWrite, smExclusive, aTableScope);
    TnxBufferManager* manager = sfServerEngine->BufferManager();
    TnxOwned<nxsr_server_engine_int::TnxServerFileTransaction> trans(
        platform::create<nxsr_server_engine_int::TnxServerFileTransaction>(manager));
    TnxFileAttributes attributes;
    if (aTableScope != tsPersistent) attributes.include(nxfaTemporary);
    if (aTableScope == tsTempGlobal || aTableScope == tsTempDatabase) attributes.include(nxfaMemTable);
    try {
      result = table->srtCreateFiles(trans.get(), passwordList(aPassword), aTableName, manager->TempStore(),
                                     attributes, aDictionary, aForServer);
      if (result == 0)
        result = trans->Commit();
      else
        trans->Rollback();
    } catch (...) {
      trans->Rollback();
      throw;
    }
    // The new files' names must survive a crash as their contents do; when
    // they may not, the build fails and its files go.
    if (result == 0 && aTableScope == tsPersistent) syncFolder(sfPath, 9218);
  } catch (...) {
    result = asoConvertException(std::current_exception());
  }
  if (result != 0) {
    if (table) {
      table->srtCloseFiles();
      if (table->TableScope() == tsPersistent) table->srtDeleteFiles();
      platform::TObject::free(table);
    }
    return result;
  }
  aTable = table;
  return 0;
}

TnxResult TnxServerFolder::sfTableDelete(const nxString& aTableName, const TnxUnicodeStrings& aPasswords,
                                         bool aForServer) {
  try {
    const platform::FormatArg args[] = {aTableName};
    TnxResult result = NotifyExtenders(eaTableDelete, true, args);
    if (result != 0) return result;
    if (sfReadOnly) return 10501;
    if (aTableName.empty()) return 10039;
    {
      TnxPadlockGuard guard(*sfTablesPadlock);
      TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
      bool isLink = false;
      TnxResult dictResult = 0;
      if (TnxServerRootTable* open = sfFindTable(aTableName)) {
        isLink = open->FileIsLink();
        const TnxTableScope scope = open->TableScope();
        if (!sfCloseTableIfIdle(open, true, true, [&](TnxServerRootTable& aTable) {
              if (scope == tsPersistent) dict->Assign(aTable.Dictionary());
            }))
          return 10031;
        if (scope != tsPersistent) return 0;
      } else {
        dictResult = sfTableGetDictionary(aTableName, aPasswords, aForServer, *dict, &isLink);
      }
      if (isLink) return 10763;
      if (dictResult == 0) {
        const std::vector<nxString> extensions = tableExtensionsOf(*dict, sfServerEngine->TableExtension());
        for (const nxString& extension : extensions)
          nxDeleteFile(nxCombinePath(sfPath, nxAddExtension(aTableName, extension)));
      } else if (dictResult >= 8960 && dictResult <= 9215) {
        // The dictionary is damaged: the main file goes, which is all we know of.
        nxDeleteFile(sfMainFileName(aTableName));
      } else {
        // A wrong password or an I/O failure deletes nothing.
        return dictResult;
      }
      // Without it a crash after success could bring the table back.
      syncFolder(sfPath, 15393);
    }
    sfStructureGeneration.fetch_add(1, std::memory_order_acq_rel);
    return NotifyExtenders(eaTableDelete, false, args);
  } catch (...) {
    return asoConvertException(std::current_exception());
  }
}

TnxResult TnxServerFolder::sfTableEmpty(const nxString& aTableName, const TnxUnicodeStrings& aPasswords,
                                        bool aForServer) {
  try {
    if (sfReadOnly) return 10501;
    if (aTableName.empty()) return 10039;
    TnxResult result = 0;
    {
      TnxPadlockGuard guard(*sfTablesPadlock);
      TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
      nxString password;
      TnxTableScope scope = tsPersistent;
      bool isLink = false;
      if (TnxServerRootTable* open = sfFindTable(aTableName)) {
        scope = open->TableScope();
        const platform::FormatArg before[] = {aTableName, static_cast<const void*>(&scope)};
        result = NotifyExtenders(eaTableEmpty, true, before);
        if (result != 0) return result;
        if (!sfCloseTableIfIdle(open, true, true, [&](TnxServerRootTable& aTable) {
              dict->Assign(aTable.Dictionary());
              password = aTable.ExtractPassword();
              isLink = aTable.FileIsLink();
            }))
          return 10031;
      } else {
        const platform::FormatArg before[] = {aTableName, static_cast<const void*>(&scope)};
        result = NotifyExtenders(eaTableEmpty, true, before);
        if (result != 0) return result;
        result = sfTableGetDictionary(aTableName, aPasswords, aForServer, *dict, &isLink, &password);
        if (result != 0) return result;
      }
      if (isLink) return 10763;
      result = sfTableBuild(true, aTableName, password, aForServer, dict.get(), scope);
    }
    if (result == 0) {
      const platform::FormatArg after[] = {aTableName};
      result = NotifyExtenders(eaTableEmpty, false, after);
    }
    return result;
  } catch (...) {
    return asoConvertException(std::current_exception());
  }
}

TnxResult TnxServerFolder::sfTableGetDictionary(const nxString& aTableName, const TnxUnicodeStrings& aPasswords,
                                                bool aForServer, TnxServerDataDict& aDict, bool* aFileIsLink,
                                                nxString* aPassword) {
  if (aFileIsLink) *aFileIsLink = false;
  if (aPassword) aPassword->clear();
  TnxResult result = 0;
  try {
    aDict.ForceOffReadOnly();
    TnxPadlockGuard guard(*sfTablesPadlock);
    const auto copyFrom = [&](TnxServerRootTable& aTable) {
      aDict.Assign(aTable.Dictionary());
      if (aPassword) *aPassword = aTable.ExtractPassword();
      if (aFileIsLink) *aFileIsLink = aTable.FileIsLink();
    };
    if (TnxServerRootTable* open = sfFindTable(aTableName)) {
      result = open->srtCheckPasswords(aPasswords);
      if (result == 0) copyFrom(*open);
    } else if (sfInMemOnly) {
      result = EnxBaseException::nxSetMessage(10024, rootTableNotFound(aTableName));
    } else if (!sfIsValidTableName(aTableName, tsPersistent)) {
      result = 10039;
    } else if (!fileExistsAnyCase(sfMainFileName(aTableName))) {
      result = EnxBaseException::nxSetMessage(10024, rootTableNotFound(aTableName));
    } else {
      TnxServerRootTable* table =
          platform::create<TnxServerRootTable>(this, aTableName, omReadOnly, smShareRead, tsPersistent);
      try {
        bool readOnly = false;
        result = table->srtOpenFiles(nullptr, aPasswords, aForServer, TnxFileAttributes{}, readOnly);
        if (result == 0) copyFrom(*table);
      } catch (...) {
        platform::TObject::free(table);
        throw;
      }
      platform::TObject::free(table);
    }
  } catch (...) {
    result = asoConvertException(std::current_exception());
  }
  if (result != 0) {
    try {
      aDict.ForceOffReadOnly();
      aDict.Clear(false);
    } catch (...) {
    }
  }
  return result;
}

TnxResult TnxServerFolder::sfTableRename(const nxString& aOldName, const nxString& aNewName,
                                         const TnxUnicodeStrings& aPasswords, bool aForServer) {
  try {
    if (sfReadOnly) return 10501;
    TnxResult result = 0;
    {
      TnxPadlockGuard guard(*sfTablesPadlock);
      TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
      TnxServerRootTable* old = sfFindTable(aOldName);
      bool isLink = old && old->FileIsLink();
      if (TnxServerRootTable* target = sfFindTable(aNewName); target && target != old)
        if (!sfCloseTableIfIdle(target, false, true)) return 13060;
      if (sfTableExists(aNewName) == 0) return 13060;
      if (old) {
        TnxTableScope scope = old->TableScope();
        const platform::FormatArg before[] = {aOldName, aNewName, static_cast<const void*>(&scope)};
        result = NotifyExtenders(eaTableRename, true, before);
        if (result != 0) return result;
        if (scope != tsPersistent) {
          // A temporary table has no files of its own name.
          old->srtRename(aNewName);
          return 0;
        }
        if (!sfCloseTableIfIdle(old, false, true, [&](TnxServerRootTable& aTable) { dict->Assign(aTable.Dictionary()); }))
          return 10031;
      } else {
        const platform::FormatArg before[] = {aOldName, aNewName};
        result = NotifyExtenders(eaTableRename, true, before);
        if (result != 0) return result;
        result = sfTableGetDictionary(aOldName, aPasswords, aForServer, *dict, &isLink);
        if (result != 0) return result;
      }
      if (isLink) return 10763;
      if (!sfIsValidTableName(aNewName, tsPersistent)) return 10039;
      sfMoveTableFiles(aOldName, aNewName, tableExtensionsOf(*dict, sfServerEngine->TableExtension()));
    }
    sfStructureGeneration.fetch_add(1, std::memory_order_acq_rel);
    const platform::FormatArg after[] = {aOldName, aNewName};
    return NotifyExtenders(eaTableRename, false, after);
  } catch (...) {
    return asoConvertException(std::current_exception());
  }
}

void TnxServerFolder::AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aIncludeChildren) {
  TnxLockedOptionsExtendableServerObject::AddDebugInfo(aContainer, aIncludeChildren);
  aContainer->AddString(u"Path", sfPath);
  aContainer->AddBoolean(u"InMemOnly", sfInMemOnly);
  aContainer->AddBoolean(u"ReadOnly", sfReadOnly);
  const std::int32_t databases = sfDatabaseCount.load(std::memory_order_acquire);
  aContainer->AddString(u"OpenDatabases", databases == 0 ? u"None" : databases == 1 ? u"One" : u"Multiple");
  TnxPadlockGuard guard(*sfTablesPadlock);
  aContainer->AddInteger(u"OpenTables", static_cast<std::uint32_t>(sfTables->count()));
  if (aIncludeChildren) {
    TnxIntfPtr<InxExceptionDataContainer> tables = aContainer->AddContainer(u"Tables");
    for (int i = 0; i < sfTables->count(); ++i)
      tables->AddObject(nxsr_server_engine_int::indexLabel(static_cast<std::size_t>(i)), sfTables->objects(i), true);
  }
}
