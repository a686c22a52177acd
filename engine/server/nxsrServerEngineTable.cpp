#include "nxsrServerEngineInt.h"

#include <algorithm>
#include <string>

#include "nxllException.h"
#include "nxllStreams.h"
#include "nxsdDataDictionaryFulltext.h"
#include "nxsrEncryptionEngineBase.h"
#include "nxsrFileHandling.h"
#include "nxsrTableLockContainer.h"
#include "plDateTime.h"
#include "plFileSystem.h"
#include "plString.h"

PL_CLASS_INFO_IMPL(TnxServerBaseTable, TnxLockedOptionsExtendableServerObject, "TnxServerBaseTable", nullptr)
PL_CLASS_INFO_IMPL(TnxServerRootTable, TnxServerBaseTable, "TnxServerRootTable", nullptr)
PL_CLASS_INFO_IMPL(nxsr_server_engine_int::TnxServerFileTransaction, TnxBaseTransaction,
                   "TnxServerFileTransaction", nullptr)

using namespace nxsr_server_engine_int;

namespace {

thread_local bool tlsRecoveryMode = false;

// Process-wide counter of unnamed tables.
std::atomic<std::int64_t> gUnnamedTableCounter{0};

TnxServerEngine* engineOf(TnxServerFolder* aFolder) { return aFolder->ServerEngine(); }

// The field's value as an unsigned number of aBytes (0 when null).
std::uint64_t readUnsigned(TnxFieldsDescriptor* aFields, std::int32_t aField, PnxRecordBuffer aRecord, int aBytes,
                           bool* aIsNull = nullptr) {
  bool isNull = true;
  std::uint8_t value[8] = {};
  aFields->GetRecordField(aField, aRecord, isNull, value);
  if (aIsNull) *aIsNull = isNull;
  if (isNull) return 0;
  std::uint64_t result = 0;
  for (int i = aBytes - 1; i >= 0; --i) result = (result << 8) | value[i];
  return result;
}

void writeUnsigned(TnxFieldsDescriptor* aFields, std::int32_t aField, PnxRecordBuffer aRecord, int aBytes,
                   std::uint64_t aValue) {
  std::uint8_t value[8] = {};
  for (int i = 0; i < aBytes; ++i, aValue >>= 8) value[i] = static_cast<std::uint8_t>(aValue);
  aFields->SetRecordField(aField, aRecord, value);
}

std::int32_t specialField(const TnxSpecialFieldsInfo* aSFI, TnxSpecialFieldType aKind) {
  return aSFI ? aSFI->sfiFields[aKind] : -1;
}

}  // namespace

void nxsrSetRecoveryMode(bool aValue) { tlsRecoveryMode = aValue; }
bool nxsrInRecoveryMode() { return tlsRecoveryMode; }

// ---- Private transactions -------------------------------------------------------------

namespace nxsr_server_engine_int {

TnxServerFileTransaction::TnxServerFileTransaction(TnxBufferManager* aBufferManager)
    : TnxBaseTransaction(aBufferManager, nullptr, false, false) {}

TnxResult TnxServerFileTransaction::Commit() {
  TnxBaseTransactionLevel* level = btTransLevelsTail;
  if (!level) return 0;
  if (!level->StopNested()) return 0;
  if (level->tlLevel > 0) {
    btBufferManager->CommitTransaction(this, nullptr, false);
  } else {
    TnxOwned<TnxFlushList> list(platform::create<TnxFlushList>());
    btBufferManager->CommitTransaction(this, list.get(), false);
    list->Flush(false);
  }
  platform::TObject::free(level);
  return 0;
}

TnxResult TnxServerFileTransaction::Rollback() {
  TnxBaseTransactionLevel* level = btTransLevelsTail;
  if (!level) return 0;
  if (!level->StopNested()) {
    level->MarkCorrupted();
    return 0;
  }
  btBufferManager->RollbackTransaction(this);
  platform::TObject::free(level);
  return 0;
}

}  // namespace nxsr_server_engine_int

// ---- Base table -----------------------------------------------------------------------

TnxServerBaseTable::TnxServerBaseTable(TnxExtendableServerObject* aParent, const nxString& aName,
                                       TnxBaseTableDescriptor* aTableDescriptor)
    : TnxLockedOptionsExtendableServerObject(aParent), sbtNameInScope(aName), sbtTableDescriptor(aTableDescriptor) {
  sbtChildNames = platform::create<platform::TStringList>(platform::Duplicates::error, false);
  sbtChildNames->setSorted(true);
  if (auto* parent = platform::objectAs<TnxServerBaseTable>(aParent)) {
    sbtParent = parent;
    sbtRoot = parent->sbtRoot;
  }
  sbtCursorsPadlock = platform::create<TnxPadlock>();
  sbtLocks = platform::create<TnxTableLockContainer>();
  if (aTableDescriptor) sbtFieldsDescriptor = aTableDescriptor->FieldsDescriptor();
}

TnxServerBaseTable::~TnxServerBaseTable() {
  sbtFreeChildren();
  sbtFreeEngines();
  sbtFreeBlockAccess();
  platform::TObject::free(std::exchange(sbtLocks, nullptr));
  platform::TObject::free(std::exchange(sbtCursorsPadlock, nullptr));
  platform::TObject::free(std::exchange(sbtChildNames, nullptr));
}

void TnxServerBaseTable::afterConstruction() {
  TnxLockedOptionsExtendableServerObject::afterConstruction();
  if (auto* engine = static_cast<TnxServerEngine*>(GetServerEngine())) {
    engine->seTableCount.fetch_add(1, std::memory_order_acq_rel);
    sbtStates.include(stsLockedIncDone);
  }
}

void TnxServerBaseTable::beforeDestruction() {
  nxAssert(sbtLockIsInactive.load(std::memory_order_acquire) == 0,
           "nxsrServerEngine: table freed while its usage counter is not 0");
  if (sbtStates.contains(stsLockedIncDone)) {
    sbtStates.exclude(stsLockedIncDone);
    if (auto* engine = static_cast<TnxServerEngine*>(GetServerEngine()))
      engine->seTableCount.fetch_sub(1, std::memory_order_acq_rel);
  }
  TnxLockedOptionsExtendableServerObject::beforeDestruction();
}

nxString TnxServerBaseTable::FullName() const {
  return sbtParent ? sbtParent->FullName() + u":" + sbtNameInScope : sbtNameInScope;
}

TnxResult TnxServerBaseTable::GetChild(const nxString& aChildName, TnxServerBaseTable*& aTable) {
  aTable = nullptr;
  TnxServerBaseTable* table = this;
  nxString rest = aChildName;
  while (!rest.empty()) {
    const std::size_t colon = rest.find(u':');
    const nxString head = rest.substr(0, colon);
    rest = colon == nxString::npos ? nxString() : rest.substr(colon + 1);
    if (head == u".") continue;
    if (head == u"..") {
      if (!table->sbtParent)
        return EnxBaseException::nxSetMessage(
            10024, nxGetOrgPlaceholder() + u" No parent for table \"" + table->sbtRoot->FullName() + u"\"");
      table = table->sbtParent;
      continue;
    }
    int index = 0;
    if (!table->sbtChildNames->find(head, index))
      return EnxBaseException::nxSetMessage(10024, nxGetOrgPlaceholder() + u" No child table called \"" + head +
                                                       u"\" in table \"" + table->FullName() + u"\"");
    table = static_cast<TnxServerBaseTable*>(table->sbtChildNames->objects(index));
  }
  aTable = table;
  return 0;
}

std::int32_t TnxServerBaseTable::CreateInstanceFor(const nxString& aName, const platform::Guid& aClassID,
                                                   InxInterface* aOuter, const platform::Guid& aInterfaceID,
                                                   void** aInterface) {
  const std::size_t dot = aName.find(u'.');
  const nxString head = aName.substr(0, dot);
  nxString rest = dot == nxString::npos ? nxString() : aName.substr(dot + 1);
  if (rest.empty()) rest = u"<Self>";
  if (platform::sameTextAscii(head, u"<Table>"))
    return CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
  if (platform::sameTextAscii(head, u"<Root>") && sbtRoot)
    return sbtRoot->CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
  if (platform::sameTextAscii(head, u"<Folder>") && sbtRoot == this)
    return sbtRoot->Folder()->CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
  return TnxLockedOptionsExtendableServerObject::CreateInstanceFor(aName, aClassID, aOuter, aInterfaceID,
                                                                   aInterface);
}

void TnxServerBaseTable::AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer,
                                      bool aIncludeChildren) {
  TnxLockedOptionsExtendableServerObject::AddDebugInfo(aContainer, aIncludeChildren);
  aContainer->AddString(u"FullName", FullName());
  if (sbtParent && sbtRoot) aContainer->AddObject(u"Root", sbtRoot, false);
  const std::int32_t cursors = CursorCount();
  aContainer->AddString(u"OpenCursors", cursors == 0 ? u"None" : cursors == 1 ? u"One" : u"Multiple");
  if (aIncludeChildren) {
    TnxIntfPtr<InxExceptionDataContainer> children = aContainer->AddContainer(u"Children");
    for (std::size_t i = 0; i < sbtChildren.size(); ++i)
      children->AddObject(nxsr_server_engine_int::indexLabel(static_cast<std::size_t>(i)), sbtChildren[i], true);
  }
}

TnxLSN TnxServerBaseTable::sbtCurrentLSN(TnxBaseTransaction* aTrans) {
  nxAssert(!sbtBlockAccess.empty(), "nxsrServerEngine: table without files");
  return sbtBlockAccess.front()->baGetCurrentLSN(aTrans);
}

void TnxServerBaseTable::sbtGetStats(TnxBaseTransaction* aTrans, TnxServerTableStats& aStats) {
  aStats = {};
  nxAssert(!sbtBlockAccess.empty(), "nxsrServerEngine: table without files");
  {
    TnxOwned<TnxBaseFileHeaderAccess> header(sbtBlockAccess.front()->HeaderAccess(aTrans, false));
    aStats.UsedBlocks = header->UsedBlocks();
    aStats.AvailableBlocks = header->AvailableBlocks();
  }
  TnxBaseFile* file = sbtBlockAccess.front()->baFile;
  aStats.HeaderSignature = file->HeaderSignature();
  aStats.MainFileName = file->FileName();
  aStats.MainFileSize = file->FileSize();
  aStats.FileVersion = file->VadurVersion();
  {
    TnxPadlockGuard guard(*sbtCursorsPadlock);
    aStats.OpenCursors = CursorCount();
    std::vector<const void*> databases, sessions;
    for (TnxServerTableCursor* cursor = sbtCursorsHead; cursor; cursor = cursor->TableNext()) {
      if (std::find(databases.begin(), databases.end(), cursor->Database()) == databases.end())
        databases.push_back(cursor->Database());
      if (std::find(sessions.begin(), sessions.end(), cursor->Session()) == sessions.end())
        sessions.push_back(cursor->Session());
    }
    aStats.Databases = static_cast<std::int32_t>(databases.size());
    aStats.Sessions = static_cast<std::int32_t>(sessions.size());
  }
  if (sbtRoot && sbtRoot->StreamEngine()) sbtRoot->StreamEngine()->GetNamedStreamCount(aTrans, aStats.NamedStreams);
}

bool TnxServerBaseTable::IsCache() const {
  return sbtTableDescriptor && sbtTableDescriptor->CachingState() == tcsIsCache;
}

// ---- Special fields --------------------------------------------------------------------

void TnxServerBaseTable::sbtInitLSNFields(const TnxNextLSNFunc& aNextLSN, PnxRecordBuffer aRecord) {
  if (IsCache() || !aRecord) return;
  const std::int32_t modify = specialField(sbtSFI, sftModifyLSN), insert = specialField(sbtSFI, sftInsertLSN);
  if (modify < 0 && insert < 0) return;
  TnxLSN lsn = aNextLSN ? aNextLSN() : 0;
  if (lsn == 0) lsn = 1;
  for (std::int32_t field : {modify, insert})
    if (field >= 0) writeUnsigned(sbtFieldsDescriptor, field, aRecord, 8, static_cast<std::uint64_t>(lsn));
}

TnxResult TnxServerBaseTable::sbtCheckLSNFields(const TnxNextLSNFunc& aNextLSN, PnxRecordBuffer aStored,
                                                bool aInsert, PnxRecordBuffer aNew) {
  if (IsCache() || !aStored || !aNew) return 0;
  const std::int32_t modify = specialField(sbtSFI, sftModifyLSN), insert = specialField(sbtSFI, sftInsertLSN);
  if (modify >= 0) {
    const std::uint64_t stored = readUnsigned(sbtFieldsDescriptor, modify, aStored, 8);
    if (!aInsert && readUnsigned(sbtFieldsDescriptor, modify, aNew, 8) != stored) return 10259;
    TnxLSN next = aNextLSN ? aNextLSN() : 0;
    writeUnsigned(sbtFieldsDescriptor, modify, aNew, 8, next != 0 ? static_cast<std::uint64_t>(next) : stored + 1);
  }
  if (insert >= 0 && !aInsert &&
      readUnsigned(sbtFieldsDescriptor, insert, aNew, 8) != readUnsigned(sbtFieldsDescriptor, insert, aStored, 8))
    return 10259;
  return 0;
}

void TnxServerBaseTable::sbtInitRecRev(PnxRecordBuffer aRecord) {
  const std::int32_t field = specialField(sbtSFI, sftRecRev);
  if (IsCache() || field < 0 || !aRecord) return;
  if (sbtFieldsDescriptor->IsRecordFieldNull(field, aRecord)) writeUnsigned(sbtFieldsDescriptor, field, aRecord, 4, 0);
}

TnxResult TnxServerBaseTable::sbtCheckRecRev(PnxRecordBuffer aStored, PnxRecordBuffer aNew, bool aInsert) {
  const std::int32_t field = specialField(sbtSFI, sftRecRev);
  if (IsCache() || field < 0 || !aNew || !aStored) return 0;
  const auto current = static_cast<std::uint32_t>(readUnsigned(sbtFieldsDescriptor, field, aNew, 4));
  const auto stored =
      aInsert ? current : static_cast<std::uint32_t>(readUnsigned(sbtFieldsDescriptor, field, aStored, 4));
  if (current != stored) return 10259;
  writeUnsigned(sbtFieldsDescriptor, field, aNew, 4, static_cast<std::uint32_t>(stored + 1u));
  return 0;
}

void TnxServerBaseTable::sbtInitRefNr(PnxRecordBuffer aRecord) {
  const std::int32_t field = specialField(sbtSFI, sftRefNr);
  if (IsCache() || field < 0 || !aRecord) return;
  sbtFieldsDescriptor->SetRecordFieldNull(field, aRecord, true);
}

TnxResult TnxServerBaseTable::sbtCheckRefNr(PnxRecordBuffer aStored, PnxRecordBuffer aNew, bool aInsert,
                                            TnxRefNr aRefNr) {
  const std::int32_t field = specialField(sbtSFI, sftRefNr);
  if (IsCache() || field < 0 || !aNew || !aStored) return 0;
  bool storedNull = true, newNull = true;
  const auto stored = static_cast<std::int64_t>(readUnsigned(sbtFieldsDescriptor, field, aStored, 8, &storedNull));
  const TnxRefNr expected = storedNull ? aRefNr : stored;
  const auto found = static_cast<std::int64_t>(readUnsigned(sbtFieldsDescriptor, field, aNew, 8, &newNull));
  if (newNull || aInsert) {
    writeUnsigned(sbtFieldsDescriptor, field, aNew, 8, static_cast<std::uint64_t>(aRefNr));
    return 0;
  }
  if (found != expected)
    return EnxBaseException::nxSetMessage(
        9996, u"Invalid modify request. RefNr has changed.\r\nExpected: [%d]\r\nFound: [%d]",
        {platform::FormatArg(static_cast<long long>(expected)), platform::FormatArg(static_cast<long long>(found))});
  return 0;
}

// ---- Tree-wide hooks ------------------------------------------------------------------

void TnxServerBaseTable::sbtRollback(TnxBaseTransaction* aTrans) {
  if (sbtBlobEngine) sbtBlobEngine->Rollback(aTrans);
  if (sbtRecordEngine) sbtRecordEngine->Rollback(aTrans);
  for (TnxServerBaseTable* child : sbtChildren) child->sbtRollback(aTrans);
}

void TnxServerBaseTable::sbtEndTransaction(TnxBaseTransaction* aTrans) {
  sbtEndTransactionOnLocks(aTrans);
  for (TnxServerBaseTable* child : sbtChildren) child->sbtEndTransaction(aTrans);
}

void TnxServerBaseTable::sbtEndTransactionOnLocks(TnxBaseTransaction* aTrans) {
  if (sbtLocks) sbtLocks->EndTransaction(aTrans);
}

bool TnxServerBaseTable::sbtIsInactive(bool aIgnoreKeepInMemory, bool aRequestClose,
                                       std::int32_t aExpectedLockCount) {
  {
    // Open cursors keep the table active unless each, asked in turn, closes
    // itself; a handler that frees its cursor unlinks it from the chain.
    TnxPadlockGuard guard(*sbtCursorsPadlock);
    while (TnxServerTableCursor* first = sbtCursorsHead) {
      if (!aRequestClose) return false;
      first->RequestClose();
      if (sbtCursorsHead == first) return false;
      sbtCursorsPadlock->Unlock();
      sbtCursorsPadlock->Lock();
    }
    if (sbtCursorCount.load(std::memory_order_acquire) > 0) return false;
  }
  for (TnxServerBaseTable* child : sbtChildren)
    if (!child->sbtIsInactive(aIgnoreKeepInMemory, aRequestClose, aExpectedLockCount)) return false;
  return true;
}

// ---- Construction steps ---------------------------------------------------------------

void TnxServerBaseTable::sbtSetDescriptor(TnxBaseTableDescriptor* aDescriptor) {
  sbtTableDescriptor = aDescriptor;
  sbtFieldsDescriptor = aDescriptor->FieldsDescriptor();
  sbtRecordAllocator = nxGetPool(static_cast<std::size_t>(sbtFieldsDescriptor->RecordLength()) + 4);
  sbtFieldsDescriptor->GetSpecialFieldsInfo(sbtSFI);
}

void TnxServerBaseTable::sbtCreateBlockAccess() {
  TnxServerRootTable* root = sbtRoot;
  const bool isRoot = root == this;
  const std::int32_t ownerID = isRoot ? 0 : sbtTableDescriptor->ID();
  const nxString name = FullName();
  for (auto i = static_cast<std::int32_t>(sbtBlockAccess.size()); i < root->FileCount(); ++i) {
    TnxBlockAccess* main = isRoot ? nullptr : root->sbtBlockAccess.at(static_cast<std::size_t>(i));
    sbtBlockAccess.push_back(platform::create<TnxBlockAccess>(root->Files(i), main, name, ownerID));
  }
}

void TnxServerBaseTable::sbtCreateEngines(TnxBaseTransaction* aTrans) {
  sbtBlobEngine = TnxBaseBlobEngine::CreateEngine(sbtTableDescriptor, sbtBlockAccess, aTrans);
  sbtRecordEngine = TnxBaseRecordEngine::CreateEngine(sbtTableDescriptor, sbtBlockAccess, aTrans);
  sbtAutoIncEngine = TnxBaseAutoIncEngine::CreateEngine(sbtTableDescriptor, sbtBlockAccess, aTrans);
  if (nxsrInRecoveryMode()) return;
  sbtIndicesEngine =
      TnxBaseIndicesEngine::CreateEngine(sbtTableDescriptor, sbtBlockAccess, sbtRecordEngine, aTrans, false);
  if (TnxInternalIndicesDescriptor* internal = sbtTableDescriptor->InternalIndicesDescriptor())
    sbtInternalIndicesEngine =
        TnxBaseIndicesEngine::CreateEngine(internal, sbtBlockAccess, sbtRecordEngine, aTrans, false);
  sbtFulltextEngine = TnxBaseFulltextTableEngine::CreateFor(nxFindFulltextDescriptor(sbtTableDescriptor),
                                                            sbtBlockAccess, sbtIndicesEngine, aTrans);
}

void TnxServerBaseTable::sbtCreateChildren(TnxBaseTransaction* aTrans) {
  TnxTablesDescriptor* tables = sbtTableDescriptor->TablesDescriptor();
  if (!tables) return;
  for (std::int32_t i = 0; i < tables->TableCount(); ++i) {
    TnxNestedTableDescriptor* nested = tables->Tables(i);
    auto* child = platform::create<TnxServerBaseTable>(this, nested->Name(), nested);
    sbtChildren.push_back(child);
    sbtChildNames->addObject(nested->Name(), child);
    child->sbtSetDescriptor(nested);
    child->sbtCreateBlockAccess();
    child->sbtCreateEngines(aTrans);
    child->sbtCreateChildren(aTrans);
  }
}

void TnxServerBaseTable::sbtFreeChildren() {
  while (!sbtChildren.empty()) {
    TnxServerBaseTable* child = sbtChildren.back();
    sbtChildren.pop_back();
    platform::TObject::free(child);
  }
  if (sbtChildNames) sbtChildNames->clear();
}

void TnxServerBaseTable::sbtFreeEngines() {
  platform::TObject::free(std::exchange(sbtFulltextEngine, nullptr));
  platform::TObject::free(std::exchange(sbtBlobEngine, nullptr));
  platform::TObject::free(std::exchange(sbtRecordEngine, nullptr));
  platform::TObject::free(std::exchange(sbtAutoIncEngine, nullptr));
  platform::TObject::free(std::exchange(sbtIndicesEngine, nullptr));
  platform::TObject::free(std::exchange(sbtInternalIndicesEngine, nullptr));
  if (sbtSFI) nxReleaseSpecialFieldsInfo(sbtSFI);
}

void TnxServerBaseTable::sbtFreeBlockAccess() {
  while (!sbtBlockAccess.empty()) {
    platform::TObject::free(sbtBlockAccess.back());
    sbtBlockAccess.pop_back();
  }
}

// ---- Root table -----------------------------------------------------------------------

TnxServerRootTable::TnxServerRootTable(TnxServerFolder* aFolder, const nxString& aName, TnxOpenMode aOpenMode,
                                       TnxShareMode aShareMode, TnxTableScope aTableScope)
    : TnxServerBaseTable(aFolder, aName, platform::create<TnxServerDataDict>()), srtFolder(aFolder),
      srtTableScope(aTableScope), srtName(aName), srtOpenMode(aOpenMode), srtShareMode(aShareMode) {
  sbtRoot = this;
  srtDictionary = static_cast<TnxServerDataDict*>(sbtTableDescriptor);
  srtCommitPadlock = platform::create<TnxPadlock>();
  srtContentPortal = platform::create<TnxInternalReadWritePortal>();
  srtTransLinksPadlock = platform::create<TnxPadlock>();
  if (srtName.empty()) {
    // The handle is unique among live server objects, the counter across time.
    srtName = u" UnnamedTable_" + platform::fromUtf8(std::to_string(GetRemoteID())) + u"_" +
              platform::fromUtf8(std::to_string(gUnnamedTableCounter.fetch_add(1, std::memory_order_acq_rel) + 1));
    sbtNameInScope = srtName;
  }
  srtAddToFolder();
}

TnxServerRootTable::~TnxServerRootTable() {
  srtRemoveFromFolder();
  srtRemoveFromInactiveTables();
  srtCloseFiles();
  sbtFreeChildren();
  sbtFreeEngines();
  sbtFreeBlockAccess();
  sbtTableDescriptor = nullptr;
  sbtFieldsDescriptor = nullptr;
  platform::TObject::free(std::exchange(srtDictionary, nullptr));
  platform::TObject::free(std::exchange(srtTransLinksPadlock, nullptr));
  platform::TObject::free(std::exchange(srtContentPortal, nullptr));
  platform::TObject::free(std::exchange(srtCommitPadlock, nullptr));
}

void TnxServerRootTable::AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer,
                                      bool aIncludeChildren) {
  TnxServerBaseTable::AddDebugInfo(aContainer, aIncludeChildren);
  aContainer->AddObject(u"Folder", srtFolder, false);
  aContainer->AddBoolean(u"ForServer", srtForServer);
  static constexpr const char16_t* kScopes[] = {u"tsPersistent", u"tsTempGlobal", u"tsTempDatabase", u"tsTempUnnamed"};
  static constexpr const char16_t* kOpenModes[] = {u"omReadOnly", u"omWriteOnly", u"omReadWrite", u"omNone"};
  static constexpr const char16_t* kShareModes[] = {u"smExclusive", u"smShared", u"smShareRead"};
  aContainer->AddString(u"TableScope", kScopes[srtTableScope]);
  aContainer->AddString(u"OpenMode", srtOpenMode <= omNone ? kOpenModes[srtOpenMode] : u"");
  aContainer->AddString(u"ShareMode", srtShareMode <= smShareRead ? kShareModes[srtShareMode] : u"");
}

void TnxServerRootTable::srtAddToFolder() {
  TnxPadlockGuard guard(*srtFolder->sfTablesPadlock);
  srtFolder->sfTables->addObject(srtName, this);
  if (srtTableScope != tsPersistent) srtFolder->sfInMemoryCount.fetch_add(1, std::memory_order_acq_rel);
}

void TnxServerRootTable::srtRemoveFromFolder() {
  TnxPadlockGuard guard(*srtFolder->sfTablesPadlock);
  int index = 0;
  if (!srtFolder->sfTables->find(srtName, index) || srtFolder->sfTables->objects(index) != this) return;
  srtFolder->sfTables->deleteAt(index);
  if (srtTableScope != tsPersistent) srtFolder->sfInMemoryCount.fetch_sub(1, std::memory_order_acq_rel);
}

void TnxServerRootTable::srtRename(const nxString& aNewName) {
  TnxPadlockGuard guard(*srtFolder->sfTablesPadlock);
  srtRemoveFromFolder();
  srtName = aNewName;
  sbtNameInScope = aNewName;
  srtDictionary->_BaseName(aNewName);
  srtAddToFolder();
}

nxString TnxServerRootTable::srtFileName(std::int32_t aIndex) const {
  const nxString extension = aIndex == 0 ? engineOf(srtFolder)->TableExtension()
                                         : srtDictionary->FilesDescriptor()->Files(aIndex)->Extension();
  return nxCombinePath(srtFolder->Path(), nxAddExtension(srtName, extension));
}

nxString TnxServerRootTable::ExtractPassword() {
  if (!srtMainFile || !srtMainFile->EncryptionEngine()) return nxString();
  return srtMainFile->EncryptionEngine()->ExtractPassword();
}

TnxBaseFile* TnxServerRootTable::srtAllocFile(std::int32_t aIndex, TnxFileAttributes aFileAttributes,
                                              TnxBaseTempStorage* aTempStorage) {
  TnxBufferManager* manager = engineOf(srtFolder)->BufferManager();
  TnxBaseFile* file = TnxBaseFile::Alloc(true, srtFileName(aIndex), manager);
  file->SetSnapshotBlockCount(&srtSnapshotBlockCount);
  file->SetAttributes(aFileAttributes);
  file->SetForServer(srtForServer);
  file->SetLogTable(srtName);
  file->SetTempStore(aTempStorage);
  return file;
}

void TnxServerRootTable::srtReleaseFile(std::int32_t aIndex) {
  TnxBaseFile*& file = srtFiles.at(static_cast<std::size_t>(aIndex));
  if (!file) return;
  try {
    engineOf(srtFolder)->BufferManager()->RemoveFile(file);
    if (file->FileIsOpen()) file->CloseFile();
  } catch (...) {
    asoConvertException(std::current_exception());
  }
  platform::TObject::free(std::exchange(file, nullptr));
}

TnxResult TnxServerRootTable::srtCloseFiles() {
  try {
    platform::TObject::free(std::exchange(srtStreamEngine, nullptr));
    sbtFreeChildren();
    sbtFreeEngines();
    sbtFreeBlockAccess();
    for (std::int32_t i = static_cast<std::int32_t>(srtFiles.size()) - 1; i >= 0; --i) srtReleaseFile(i);
    srtFiles.clear();
    srtMainFile = nullptr;
    return 0;
  } catch (...) {
    return asoConvertException(std::current_exception());
  }
}

void TnxServerRootTable::srtDeleteFiles() {
  TnxFilesDescriptor* files = srtDictionary->FilesDescriptor();
  const std::int32_t count = files ? files->FileCount() : 1;
  for (std::int32_t i = 0; i < count; ++i) {
    try {
      nxDeleteFile(srtFileName(i));
    } catch (...) {
      // What cannot be deleted stays; the table is gone either way.
    }
  }
}

void TnxServerRootTable::srtCreateFile(TnxBaseTransaction* aTrans, std::int32_t aIndex,
                                       const TnxUnicodeStrings& aPasswords, TnxFileAttributes aFileAttributes,
                                       TnxBaseTempStorage* aTempStorage) {
  TnxFileDescriptor* descriptor = srtDictionary->FilesDescriptor()->Files(aIndex);
  TnxBaseFile* file = srtFiles.at(static_cast<std::size_t>(aIndex));
  if (aIndex > 0) {
    file = srtAllocFile(aIndex, aFileAttributes, aTempStorage);
    file->SetEncryptionEngineName(srtMainFile->EncryptionEngineName());
    file->SetStreamEngineName(srtMainFile->StreamEngineName());
    file->SetGrowth(static_cast<std::uint32_t>(descriptor->InitialSize()),
                    static_cast<std::uint32_t>(descriptor->GrowSize()));
    file->SetMaxID(srtDictionary->CurrentID());
    srtFiles[static_cast<std::size_t>(aIndex)] = file;
  }
  file->OpenFile(srtOpenMode, srtShareMode, true, true);
  if (file->OpenMode() == omReadOnly) srtOpenMode = omReadOnly;
  file->SetBlockSize(descriptor->BlockSize());
  file->SetVadurVersion(srtDictionary->Version() < 5 ? 30000 : 47005);
  TnxResult result = 0;
  try {
    result = file->AddHeader(aTrans, aPasswords, srtDictionary->HeaderSignature());
  } catch (...) {
    srtReleaseFile(aIndex);
    throw;
  }
  if (result != 0) {
    srtReleaseFile(aIndex);
    nxCheckErrorCode(result);
  }
}

TnxResult TnxServerRootTable::srtCreateFiles(TnxBaseTransaction* aTrans, const TnxUnicodeStrings& aPasswords,
                                             const nxString& aTableName, TnxBaseTempStorage* aTempStorage,
                                             TnxFileAttributes aFileAttributes, TnxServerDataDict* aDictionary,
                                             bool aForServer) {
  TnxResult result = srtCloseFiles();
  if (result != 0) return result;
  bool madeFiles = false;
  try {
    srtForServer = aForServer;
    srtFiles.assign(static_cast<std::size_t>(std::max<std::int32_t>(1, aDictionary->FilesDescriptor()->FileCount())),
                    nullptr);
    srtDictionary->ForceOffReadOnly();
    srtDictionary->Assign(aDictionary);
    if (!aPasswords.empty() && srtDictionary->EncryptionEngine().empty()) {
      for (const char16_t* name : {u"nxsAesCcm256", u"nxsAesCcm128", u"nx1xDefault"})
        if (TnxBaseEncryptionEngine::HasEngine(name, aForServer)) {
          srtDictionary->SetEncryptionEngine(name);
          break;
        }
    }
    srtDictionary->CheckValid(true);
    srtDictionary->IncID();
    srtDictionary->FieldsDescriptor()->SetOriginalFieldCount(srtDictionary->FieldsDescriptor()->FieldCount());
    sbtSetDescriptor(srtDictionary);

    TnxFileDescriptor* first = srtDictionary->FilesDescriptor()->Files(0);
    srtMainFile = srtAllocFile(0, aFileAttributes, aTempStorage);
    srtFiles[0] = srtMainFile;
    srtMainFile->SetEncryptionEngineName(srtDictionary->EncryptionEngine());
    if (TnxBaseStreamDescriptor* streams = srtDictionary->StreamDescriptor())
      srtMainFile->SetStreamEngineName(streams->StreamEngine());
    if (srtMainFile->StreamEngineName().empty()) srtMainFile->SetStreamEngineName(u"nx1xDefault");
    srtMainFile->SetGrowth(static_cast<std::uint32_t>(first->InitialSize()),
                           static_cast<std::uint32_t>(first->GrowSize()));
    srtMainFile->SetMaxID(srtDictionary->CurrentID());

    madeFiles = true;
    for (std::int32_t i = 0; i < static_cast<std::int32_t>(srtFiles.size()); ++i)
      srtCreateFile(aTrans, i, aPasswords, aFileAttributes, aTempStorage);
    for (std::int32_t i = 0; i < static_cast<std::int32_t>(srtFiles.size()); ++i)
      srtDictionary->FilesDescriptor()->Files(i)->SetFileID(srtFiles[static_cast<std::size_t>(i)]->GetFileID());

    sbtCreateBlockAccess();
    srtStreamEngine = TnxBaseStreamEngine::CreateEngine(srtDictionary, sbtBlockAccess.front(), aTrans);
    srtDictionary->WriteToFile(srtStreamEngine, aTrans, kInProcessVersion);
    sbtSetDescriptor(srtDictionary);
    sbtCreateEngines(aTrans);
    sbtCreateChildren(aTrans);

    if (!aTableName.empty()) {
      TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
      {
        TnxWriter writer(*stream);
        writer.WriteString(aTableName);
      }
      stream->SetPosition(0);
      nxCheckErrorCode(srtStreamEngine->WriteNamedStream(aTrans, u"$TableName", *stream));
    }
    return 0;
  } catch (...) {
    result = asoConvertException(std::current_exception());
  }
  srtCloseFiles();
  if (madeFiles && srtTableScope == tsPersistent) srtDeleteFiles();
  return result;
}

TnxResult TnxServerRootTable::srtOpenFiles(TnxBaseTransaction* aTrans, const TnxUnicodeStrings& aPasswords,
                                           bool aForServer, TnxFileAttributes aFileAttributes, bool& aIsReadOnly) {
  aIsReadOnly = false;
  srtFileIsLink = false;
  TnxResult result = srtCloseFiles();
  if (result != 0) return result;
  TnxBufferManager* manager = engineOf(srtFolder)->BufferManager();
  try {
    srtForServer = aForServer;
    srtFiles.assign(1, nullptr);
    srtMainFile = srtAllocFile(0, aFileAttributes, nullptr);
    srtFiles[0] = srtMainFile;
    srtMainFile->OpenFile(srtOpenMode, srtShareMode, aForServer, false);
    if (srtMainFile->IsLink()) srtFileIsLink = true;
    const platform::FormatArg fileArg(static_cast<const void*>(srtMainFile));
    nxCheckErrorCode(NotifyExtenders(eaOpenFile, false, TnxEngineArgs(&fileArg, 1)));

    // The disk may spell the name in another letter case: the table takes it.
    nxString diskName = platform::fromUtf8(platform::fileNameOf(platform::toUtf8(srtMainFile->Name())));
    diskName = diskName.substr(0, std::min(diskName.size(), diskName.rfind(u'.')));
    if (diskName != srtName && platform::sameTextAscii(diskName, srtName)) srtRename(diskName);

    bool readOnly = false;
    TnxPinnedBlock([&](TnxReleaseMethod& aRelease) {
      PnxBlock block = nullptr;
      nxCheckErrorCode(manager->AddFile(srtMainFile, aTrans, aPasswords, false, aRelease, block, readOnly));
      return block;
    });
    if (readOnly || srtMainFile->OpenMode() == omReadOnly) srtOpenMode = omReadOnly;

    sbtCreateBlockAccess();
    srtStreamEngine = TnxBaseStreamEngine::CreateEngine(srtDictionary, sbtBlockAccess.front(), nullptr);
    srtDictionary->ForceOffReadOnly();
    srtDictionary->ReadFromFile(srtStreamEngine, aTrans);
    srtStreamEngine->Initialize(srtDictionary);
    srtDictionary->ForceOffReadOnly();
    TnxFilesDescriptor* files = srtDictionary->FilesDescriptor();
    const std::int32_t count = std::max<std::int32_t>(1, files->FileCount());
    srtFiles.resize(static_cast<std::size_t>(count), nullptr);
    srtMainFile->SetGrowth(static_cast<std::uint32_t>(files->Files(0)->InitialSize()),
                           static_cast<std::uint32_t>(files->Files(0)->GrowSize()));
    srtMainFile->SetMaxID(srtDictionary->CurrentID());
    bool idChanged = false;
    if (srtMainFile->GetFileID() != files->Files(0)->FileID()) {
      files->Files(0)->SetFileID(srtMainFile->GetFileID());
      idChanged = true;
    }

    for (std::int32_t i = 1; i < count; ++i) {
      TnxBaseFile* file = srtAllocFile(i, aFileAttributes, nullptr);
      srtFiles[static_cast<std::size_t>(i)] = file;
      file->SetGrowth(static_cast<std::uint32_t>(files->Files(i)->InitialSize()),
                      static_cast<std::uint32_t>(files->Files(i)->GrowSize()));
      file->SetMaxID(srtDictionary->CurrentID());
      file->OpenFile(srtMainFile->OpenMode(), srtMainFile->ShareMode(), srtMainFile->WriteThru(), false);
      if (file->IsLink()) srtFileIsLink = true;
      const platform::FormatArg arg(static_cast<const void*>(file));
      nxCheckErrorCode(NotifyExtenders(eaOpenFile, false, TnxEngineArgs(&arg, 1)));
      bool fileReadOnly = false;
      TnxPinnedBlock([&](TnxReleaseMethod& aRelease) {
        PnxBlock block = nullptr;
        nxCheckErrorCode(manager->AddFile(file, aTrans, aPasswords, false, aRelease, block, fileReadOnly));
        return block;
      });
      nxAssert((fileReadOnly || file->OpenMode() == omReadOnly) == (srtOpenMode == omReadOnly),
               "nxsrServerEngine: the files of a table disagree on being read-only");
      if (file->GetFileID() != files->Files(i)->FileID()) {
        files->Files(i)->SetFileID(file->GetFileID());
        idChanged = true;
      }
    }

    aIsReadOnly = srtOpenMode == omReadOnly;
    sbtCreateBlockAccess();
    sbtSetDescriptor(srtDictionary);
    sbtCreateEngines(nullptr);
    sbtCreateChildren(nullptr);
    if (idChanged) {
      // The files were copied from another table: the dictionary is this one's now.
      srtDictionary->RecreateGuid();
      if (!aIsReadOnly) {
        if (aTrans) {
          srtDictionary->WriteToFile(srtStreamEngine, aTrans, kInProcessVersion);
        } else {
          TnxOwned<TnxServerFileTransaction> trans(platform::create<TnxServerFileTransaction>(manager));
          try {
            srtDictionary->WriteToFile(srtStreamEngine, trans.get(), kInProcessVersion);
            trans->Commit();
          } catch (...) {
            trans->Rollback();
            throw;
          }
        }
      }
    }
    srtDictionary->ForceOnReadOnly();
    nxCheckErrorCode(NotifyExtenders(eaOpenFiles, false, TnxEngineArgs()));
    return 0;
  } catch (...) {
    result = asoConvertException(std::current_exception());
  }
  if (result == 9221)
    result = EnxBaseException::nxSetMessage(
        10024, nxGetOrgPlaceholder() + u" Error opening files for root table \"" + FullName() + u"\"");
  srtCloseFiles();
  return result;
}

TnxResult TnxServerRootTable::srtCheckPasswords(const TnxUnicodeStrings& aPasswords) {
  try {
    if (!srtMainFile || !srtMainFile->EncryptionEngine()) return 0;
    return srtMainFile->EncryptionEngine()->AuthenticatePassword(aPasswords);
  } catch (...) {
    return asoConvertException(std::current_exception());
  }
}

TnxResult TnxServerRootTable::srtChangePassword(TnxBaseTransaction* aTrans, const nxString& aNewPassword) {
  try {
    for (TnxBlockAccess* access : sbtBlockAccess) access->ChangePassword(aTrans, aNewPassword);
    return 0;
  } catch (...) {
    return asoConvertException(std::current_exception());
  }
}

void TnxServerRootTable::srtUpdateMaxID() {
  for (TnxBaseFile* file : srtFiles)
    if (file) file->SetMaxID(srtDictionary->CurrentID());
}

void TnxServerRootTable::srtCursorOpened() {
  if (srtCursorCount.load(std::memory_order_acquire) == 0) srtRemoveFromInactiveTables();
  srtCursorCount.fetch_add(1, std::memory_order_acq_rel);
}

void TnxServerRootTable::srtCursorClosed() {
  if (srtCursorCount.fetch_sub(1, std::memory_order_acq_rel) == 1 && srtTableScope == tsPersistent)
    srtAddToInactiveTables();
}

void TnxServerRootTable::srtAddToInactiveTables() {
  TnxServerEngine& engine = *engineOf(srtFolder);
  TnxPadlockGuard guard(*engine.seInactiveTablesPadlock);
  if (srtInServerEngineInactiveTables || Destroying()) return;
  srtInactiveSince = platform::now();
  srtServerEngineInactiveTablesPrev = engine.seInactiveTablesTail;
  srtServerEngineInactiveTablesNext = nullptr;
  if (engine.seInactiveTablesTail)
    engine.seInactiveTablesTail->srtServerEngineInactiveTablesNext = this;
  else
    engine.seInactiveTablesHead = this;
  engine.seInactiveTablesTail = this;
  engine.seInactiveTablesCount.fetch_add(1, std::memory_order_acq_rel);
  srtInServerEngineInactiveTables = true;
}

void TnxServerRootTable::srtRemoveFromInactiveTables() {
  TnxServerEngine& engine = *engineOf(srtFolder);
  TnxPadlockGuard guard(*engine.seInactiveTablesPadlock);
  if (!srtInServerEngineInactiveTables) return;
  TnxServerRootTable* prev = srtServerEngineInactiveTablesPrev;
  TnxServerRootTable* next = srtServerEngineInactiveTablesNext;
  nxAssert(prev ? prev->srtServerEngineInactiveTablesNext == this : engine.seInactiveTablesHead == this,
           "nxsrServerEngine: broken inactive-table link");
  nxAssert(next ? next->srtServerEngineInactiveTablesPrev == this : engine.seInactiveTablesTail == this,
           "nxsrServerEngine: broken inactive-table link");
  (prev ? prev->srtServerEngineInactiveTablesNext : engine.seInactiveTablesHead) = next;
  (next ? next->srtServerEngineInactiveTablesPrev : engine.seInactiveTablesTail) = prev;
  srtServerEngineInactiveTablesPrev = srtServerEngineInactiveTablesNext = nullptr;
  engine.seInactiveTablesCount.fetch_sub(1, std::memory_order_acq_rel);
  srtInServerEngineInactiveTables = false;
}

bool TnxServerRootTable::srtIsCandidate(bool aIgnoreKeepInMemory, std::int32_t aExpectedLockCount) {
  TnxPadlockGuard guard(*srtTransLinksPadlock);
  return !srtTransLinksPendingUpgrade && !srtTransLinksPendingHead && !srtTransLinksGrantedHead &&
         !srtTransLinksSnapshotGrantedHead && srtSnapshotBlockCount.load(std::memory_order_acquire) == 0 &&
         sbtLockIsInactive.load(std::memory_order_acquire) == aExpectedLockCount &&
         (aIgnoreKeepInMemory || srtTableScope == tsPersistent || srtTableScope == tsTempUnnamed);
}

bool TnxServerRootTable::srtIsInactive(bool aIgnoreKeepInMemory, bool aRequestClose,
                                       std::int32_t aExpectedLockCount) {
  if (!srtIsCandidate(aIgnoreKeepInMemory, aExpectedLockCount)) return false;
  // The cursor test asks the open cursors of the tree to close when asked
  // to; the tree's count covers cursors that are not in a chain yet.
  if (!sbtIsInactive(aIgnoreKeepInMemory, aRequestClose, aExpectedLockCount)) return false;
  if (srtCursorCount.load(std::memory_order_acquire) > 0) return false;
  // A user may have come meanwhile: the tests must still hold.
  if (!srtIsCandidate(aIgnoreKeepInMemory, aExpectedLockCount)) return false;
  // An exclusive commit still flushing keeps the table.
  if (!srtCommitPadlock->TryLock()) return false;
  srtCommitPadlock->Unlock();
  return true;
}

void TnxServerRootTable::srtBeginExclusiveCommit() {
  srtCommitPadlock->Lock();
  srtContentPortal->BeginWrite();
}

void TnxServerRootTable::srtEndExclusiveCommit(TnxBaseTransaction* aTrans) {
  sbtEndTransaction(aTrans);
  srtContentPortal->EndWrite();
}

void TnxServerRootTable::srtUnlockCommit() { srtCommitPadlock->Unlock(); }
