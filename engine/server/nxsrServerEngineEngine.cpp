#include "nxsrServerEngineInt.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>

#include "nxllConvertException.h"
#include "nxllException.h"
#include "nxllUtils.h"
#include "nxsdDataDictionaryItems.h"
#include "nxseJournalEngine.h"
#include "nxsrFileHandling.h"
#include "nxsrFileImplWin32.h"
#include "nxsrTimeoutHandling.h"
#include "plFileSystem.h"
#include "plGuid.h"
#include "plMemoryStatus.h"
#include "plOs.h"
#include "plDateTime.h"
#include "plString.h"

NX_IMPLEMENT_EXCEPTION(EnxServerEngineException, EnxBaseException)
PL_CLASS_INFO_IMPL(TnxServerEngine, TnxBaseServerEngine, "TnxServerEngine", nullptr)

using namespace nxsr_server_engine_int;

namespace {

constexpr std::array<const char16_t*, nxServerEngineOptionCount> kOptionNames = {
    u"seoReadOnly",      u"seoForceFailSafe",        u"seoCloseInactiveFolders",
    u"seoCloseInactiveTables", u"seoInMemOnly",      u"seoIsSecure",
    u"seoVerifyTableNames", u"seoCloseAllWhenInactive", u"seoKeepSessionStats"};

// The option of that enumeration name (any letter case), -1 when none.
int optionOfName(const nxString& aName) {
  for (int i = 0; i < nxServerEngineOptionCount; ++i)
    if (platform::sameTextAscii(aName, kOptionNames[static_cast<std::size_t>(i)])) return i;
  return -1;
}

nxString journalClassName() {
  const platform::ClassInfo* cls = nxGetDefaultJournalEngineClass();
  return cls ? platform::fromUtf8(std::string(cls->name)) : nxString();
}

// The journal class registered as aName becomes the default when it is one;
// anything else changes nothing.
void applyJournalClass(const platform::ClassInfo* aClass) {
  if (aClass && aClass->inheritsFrom(TnxBaseJournalEngine::staticClassInfo())) nxSetDefaultJournalEngineClass(aClass);
}

TnxBaseSetting* addSetting(TnxBaseSettings& aSettings, const nxString& aName, TnxSettingType aType,
                           const platform::Variant& aDefault) {
  TnxBaseSetting* setting = aSettings.AddSetting(platform::create<TnxBaseSetting>());
  setting->SetName(aName);
  setting->SetPropertyName(aName);
  setting->SetSettingType(aType);
  setting->SetDefaultValue(aDefault);
  return setting;
}

}  // namespace

nxString nxServerEngineOptionName(TnxServerEngineOption aOption) {
  const auto i = static_cast<std::size_t>(aOption);
  return i < kOptionNames.size() ? nxString(kOptionNames[i]) : nxString();
}

// ---- Life --------------------------------------------------------------------------

TnxServerEngine::TnxServerEngine(TnxComponent* aOwner) : TnxBaseServerEngine(aOwner) {
  try {
    seServerGuid = platform::newGuid();
  } catch (const platform::OsError&) {
    seServerGuid = {};
  }
  seTableExtension = u"nx1";
  seFoldersPadlock = platform::create<TnxPadlock>();
  // Folder keys are exact: directories that differ in case are different.
  seFolders = platform::create<platform::TStringList>(platform::Duplicates::error, true);
  seFolders->setSorted(true);
  seInactiveTablesPadlock = platform::create<TnxPadlock>();
  seInactiveFoldersPadlock = platform::create<TnxPadlock>();
  seTaskThreadsPadlock = platform::create<TnxPadlock>();
}

void TnxServerEngine::afterConstruction() {
  TnxBaseServerEngine::afterConstruction();
  // After construction, so that a subclass's handler is the one made.
  SetAliasHandler(seCreateAliasHandler());
}

void TnxServerEngine::beforeDestruction() {
  // Inactive and unlinked from every dependent first.
  TnxBaseServerEngine::beforeDestruction();
  if (TnxBaseAliasHandler* handler = std::exchange(seAliasHandler, nullptr)) {
    UnlinkDependent(handler);
    if (!handler->Owner()) platform::TObject::free(handler);
  }
  if (TnxBaseSqlEngine* sql = std::exchange(seSqlEngine, nullptr)) UnlinkDependent(sql);
}

TnxServerEngine::~TnxServerEngine() {
  platform::TObject::free(std::exchange(seCleanupThread, nullptr));
  seFreeTaskThreads(true);
  platform::TObject::free(std::exchange(seTaskThreadsPadlock, nullptr));
  platform::TObject::free(std::exchange(seFolders, nullptr));
  platform::TObject::free(std::exchange(seFoldersPadlock, nullptr));
  platform::TObject::free(std::exchange(seBufferManager, nullptr));
  platform::TObject::free(std::exchange(seInactiveTablesPadlock, nullptr));
  platform::TObject::free(std::exchange(seInactiveFoldersPadlock, nullptr));
}

TnxBaseAliasHandler* TnxServerEngine::seCreateAliasHandler() {
  return platform::create<TnxSimpleAliasHandler>(nullptr);
}

// ---- Settings ----------------------------------------------------------------------

void TnxServerEngine::SetName(const platform::UnicodeString& aName) {
  TnxBaseServerEngine::SetName(aName);
  if (seAliasHandler) seAliasHandler->SetName(Name().empty() ? nxString() : Name() + u"_AliasHandler");
}

void TnxServerEngine::SetMaxRAM(std::int32_t aValue) {
  CheckInactive();
  if (aValue != seMaxRAM) seMaxRAM = aValue;
}

void TnxServerEngine::SetTempStorePath(const nxString& aValue) {
  CheckInactive();
  if (aValue != seTempStorePath) seTempStorePath = aValue;
}

void TnxServerEngine::SetTempStoreSize(std::int32_t aValue) {
  CheckInactive();
  if (aValue != seTempStoreSize) seTempStoreSize = aValue;
}

void TnxServerEngine::SetServerName(const nxString& aValue) {
  CheckInactive();
  seServerName = aValue;
}

void TnxServerEngine::SetOptions(TnxServerEngineOptions aValue) {
  CheckInactive();
  seOptions = aValue;
}

void TnxServerEngine::SetTableExtension(const nxString& aValue) {
  CheckInactive();
  if (aValue == seTableExtension) return;
  CheckError(nxValidateIdentifier(aValue, 10042, false, true));
  seTableExtension = aValue;
}

void TnxServerEngine::SetAliasHandler(TnxBaseAliasHandler* aValue) {
  CheckInactive();
  if (aValue == seAliasHandler) return;
  if (seAliasHandler) UnlinkDependent(seAliasHandler);
  seAliasHandler = aValue;
  if (seAliasHandler) {
    LinkDependent(seAliasHandler);
    seAliasHandler->SetDisplayName(u"Aliases");
  }
}

void TnxServerEngine::SetSqlEngine(TnxBaseSqlEngine* aValue) {
  CheckInactive();
  if (aValue == seSqlEngine) return;
  if (seSqlEngine) UnlinkDependent(seSqlEngine);
  seSqlEngine = aValue;
  if (seSqlEngine) LinkDependent(seSqlEngine);
}

void TnxServerEngine::ProcessNotification(TnxComponent* aSender, TnxNotifyOp aOp, void* aParam) {
  TnxBaseServerEngine::ProcessNotification(aSender, aOp, aParam);
  if (aOp != nxnDestroying || !aSender) return;
  if (aSender == seAliasHandler || aSender == seSqlEngine) {
    SetActive(false);
    if (aSender == seAliasHandler)
      seAliasHandler = nullptr;
    else
      seSqlEngine = nullptr;
  }
}

bool TnxServerEngine::DependsOn(TnxStateComponent* aComponent) const {
  if (aComponent && aComponent == seSqlEngine) return true;
  return TnxBaseServerEngine::DependsOn(aComponent);
}

// ---- States ------------------------------------------------------------------------

TnxServerEngineSizing TnxServerEngine::seComputeSizing() const {
  TnxServerEngineSizing sizing;
  sizing.TempFolder = trimControls(seTempStorePath);
  if (sizing.TempFolder.empty()) sizing.TempFolder = nxTempFolder();

  if (seMaxRAM >= 1) {
    sizing.MaxRAM = seMaxRAM;
  } else {
    platform::MemoryFigures figures;
    if (!platform::systemMemoryFigures(figures)) figures = {};
    const auto total = static_cast<std::int64_t>(static_cast<std::int32_t>(figures.totalPhysical / 1048576));
    const std::int64_t budget = std::max(total / 2, total - std::max<std::int64_t>(2048, (2 * total) / 10));
    sizing.MaxRAM = static_cast<std::int32_t>(budget);
  }

  if (seTempStoreSize >= 0) {
    sizing.TempStoreSize = seTempStoreSize;
  } else {
    std::uint64_t available = 0;
    if (platform::currentFileSystem().freeSpace(platform::toUtf8(sizing.TempFolder), available) == 0) {
      std::int64_t size = std::min<std::int64_t>(std::int64_t{10} * sizing.MaxRAM,
                                                 static_cast<std::int64_t>(available / 3145728));
      // 0 is a volume without a file size limit.
      const std::int64_t maxFile = nxCalcMaxFileSize(sizing.TempFolder);
      if (maxFile > 0) size = std::min(size, maxFile / 3145728);
      sizing.TempStoreSize = static_cast<std::int32_t>(size);
    }
  }
  return sizing;
}

TnxBufferManager* TnxServerEngine::seCreateUnusedManager() const {
  // Made as activation makes it: its statistics rows differ with the
  // temporary storage (none for a size of 0).
  const TnxServerEngineSizing sizing = seComputeSizing();
  TnxOwned<TnxBufferManager> unused(platform::create<TnxBufferManager>(sizing.TempFolder, false));
  try {
    unused->SetTempStoreSize(sizing.TempStoreSize);
  } catch (const EnxBaseException&) {
    // Activation would fail the same way; these are the rows of a cache
    // without storage.
  }
  return unused.release();
}

void TnxServerEngine::scInitializing() {
  const TnxServerEngineSizing sizing = seComputeSizing();
  seBufferManager = platform::create<TnxBufferManager>(sizing.TempFolder, false);
  seBufferManager->SetMaxRAM(sizing.MaxRAM);
  seBufferManager->SetTempStoreSize(sizing.TempStoreSize);
  TnxBaseServerEngine::scInitializing();
}

void TnxServerEngine::scDeactivating() {
  TnxBaseServerEngine::scDeactivating();
  platform::TObject::free(std::exchange(seBufferManager, nullptr));
  seExecutedStatements.store(0, std::memory_order_release);
}

void TnxServerEngine::scStarting() {
  TnxBaseServerEngine::scStarting();
  seCleanupThread = platform::create<TnxSimpleTimerThread>(
      1000, platform::ThreadPriority::highest,
      TnxThreadNotifyEvent::Of<&TnxServerEngine::seCleanupTimerTick>(this));
}

void TnxServerEngine::scStopping() {
  // Freeing the thread wakes it and waits for its end.
  platform::TObject::free(std::exchange(seCleanupThread, nullptr));
  if (seSqlEngine) seSqlEngine->PrepareShutdown();
  // Freeing the sessions freed their tasks, each waiting for its thread.
  TnxBaseServerEngine::scStopping();
  seFreeTaskThreads(true);
  {
    TnxPadlockGuard guard(*seFoldersPadlock);
    while (seFolders->count() > 0) {
      const int last = seFolders->count() - 1;
      // A folder leaves the list itself when it is freed.
      platform::TObject::free(seFolders->objects(last));
      if (seFolders->count() > last) seFolders->deleteAt(last);
    }
  }
  seExecutedStatements.store(0, std::memory_order_release);
}

// Folders idle longer than 2/3 day, or beyond the count limit, are freed
// from the oldest on. The tick only try-locks seFoldersPadlock: when a
// request holds it the tick ends and the next one tries again.
void TnxServerEngine::seCleanupTimerTick(platform::TObject*) {
  seFreeTaskThreads(false);
  constexpr std::int32_t kMaxInactiveFolders = 16;
  constexpr std::int64_t kFolderIdleMs = std::int64_t{16} * 3600 * 1000;
  // Whole milliseconds: an idle time of exactly 16 hours is not "longer".
  const auto idleLonger = [&](const TnxServerFolder* aFolder) {
    return std::llround((platform::now() - aFolder->sfInactiveSince) * 86400000.0) > kFolderIdleMs;
  };
  bool more = seInactiveFoldersCount.load(std::memory_order_acquire) > 0;
  while (more || seInactiveFoldersCount.load(std::memory_order_acquire) > kMaxInactiveFolders) {
    TnxPadlockGuard inactive(*seInactiveFoldersPadlock);
    if (!seFoldersPadlock->TryLock()) return;
    TnxPadlockGuard folders(*seFoldersPadlock, std::adopt_lock);
    if (more) more = seInactiveFoldersCount.load(std::memory_order_acquire) > 0;
    const bool over = seInactiveFoldersCount.load(std::memory_order_acquire) > kMaxInactiveFolders;
    if (!more && !over) break;
    TnxServerFolder* oldest = seInactiveFoldersHead;
    if (!oldest) break;
    if (over || idleLonger(oldest)) {
      if (oldest->sfIsInactive(false, false)) {
        platform::TObject::free(oldest);
      } else {
        oldest->sfRemoveFromInactiveFolders();
      }
    }
    // The head is left alone while it is young enough.
    more = seInactiveFoldersHead && idleLonger(seInactiveFoldersHead);
  }
  seCloseIdleTables();
}

// Tables idle longer than 5/6 day, or beyond the count limit, are freed
// from the oldest on; only try-locks below the inactive-table padlock.
void TnxServerEngine::seCloseIdleTables() {
  constexpr std::int32_t kMaxInactiveTables = 256;
  constexpr std::int64_t kTableIdleMs = std::int64_t{20} * 3600 * 1000;
  const auto idleLonger = [&](const TnxServerRootTable* aTable) {
    return std::llround((platform::now() - aTable->srtInactiveSince) * 86400000.0) > kTableIdleMs;
  };
  bool more = seInactiveTablesCount.load(std::memory_order_acquire) > 0;
  while (more || seInactiveTablesCount.load(std::memory_order_acquire) > kMaxInactiveTables) {
    TnxPadlockGuard inactive(*seInactiveTablesPadlock);
    if (!seFoldersPadlock->TryLock()) return;
    TnxPadlockGuard folders(*seFoldersPadlock, std::adopt_lock);
    if (more) more = seInactiveTablesCount.load(std::memory_order_acquire) > 0;
    const bool over = seInactiveTablesCount.load(std::memory_order_acquire) > kMaxInactiveTables;
    if (!more && !over) break;
    TnxServerRootTable* oldest = seInactiveTablesHead;
    if (!oldest) break;
    TnxServerFolder* folder = oldest->Folder();
    if (!folder->sfTablesPadlock->TryLock()) return;
    TnxPadlockGuard tables(*folder->sfTablesPadlock, std::adopt_lock);
    // A table that stays is in use: it joins the list again at its last cursor.
    if ((over || idleLonger(oldest)) && !folder->sfCloseTableIfIdle(oldest, false, false))
      oldest->srtRemoveFromInactiveTables();
    more = seInactiveTablesHead && idleLonger(seInactiveTablesHead);
  }
}

TnxServerFolder* TnxServerEngine::FindFolder(const nxString& aPath) {
  TnxPadlockGuard guard(*seFoldersPadlock);
  int index = 0;
  return seFolders->find(aPath, index) ? static_cast<TnxServerFolder*>(seFolders->objects(index)) : nullptr;
}

// Passes over the folders, newest entry first, until one frees nothing.
TnxResult TnxServerEngine::seCloseInactiveFolders() {
  TnxResult result = 0;
  try {
    TnxPadlockGuard guard(*seFoldersPadlock);
    bool freed = true;
    while (freed) {
      freed = false;
      for (int i = seFolders->count() - 1; i >= 0;) {
        auto* folder = static_cast<TnxServerFolder*>(seFolders->objects(i));
        if (folder->sfIsInactive(false, true)) {
          try {
            platform::TObject::free(folder);
            freed = true;
          } catch (...) {
            result = ConvertException(std::current_exception(), nullptr);
          }
        }
        // Freeing takes the folder out of the list.
        i = std::min(i - 1, seFolders->count() - 1);
      }
    }
  } catch (...) {
    result = ConvertException(std::current_exception(), nullptr);
  }
  return result;
}

// A busy folder list or a busy table is tried again a few times; a table
// that stays busy is not a failure of the call.
TnxResult TnxServerEngine::seCloseInactiveTables() {
  constexpr int kAttempts = 21;
  constexpr std::uint32_t kRetryMs = 50;
  TnxResult result = 0;
  try {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
      bool failed = true;
      if (seFoldersPadlock->TryLock()) {
        TnxPadlockGuard guard(*seFoldersPadlock, std::adopt_lock);
        result = 0;
        for (int i = seFolders->count() - 1; i >= 0 && result == 0; --i)
          result = static_cast<TnxServerFolder*>(seFolders->objects(i))->sfCloseInactiveTables();
        failed = result == 10241;
      }
      if (!failed) break;
      if (attempt + 1 < kAttempts) platform::sleepMs(kRetryMs);
    }
  } catch (...) {
    return ConvertException(std::current_exception(), nullptr);
  }
  return result == 10241 ? 0 : result;
}

void TnxServerEngine::CleanupInactive() {
  TnxBaseServerEngine::CleanupInactive();
  if (seOptions.contains(seoCloseAllWhenInactive)) {
    seCloseInactiveTables();
    seCloseInactiveFolders();
  }
}

// ---- Sessions ----------------------------------------------------------------------

const platform::ClassInfo& TnxServerEngine::EngineExceptionClass() {
  return EnxServerEngineException::staticClassInfo();
}

void TnxServerEngine::RaiseEngineException(TnxResult aCode) { throw EnxServerEngineException(aCode); }

TnxServerEngine::TnxSessionFactory TnxServerEngine::seSessionClass() {
  return [](TnxServerEngine* aEngine, TnxWord32 aTimeout, const nxString& aUserName, const nxString& aPassword,
            const nxString& aConnectedFrom, std::int32_t aClientVersion) -> TnxServerSession* {
    return platform::create<TnxServerSession>(aEngine, aTimeout, aUserName, aPassword, aConnectedFrom,
                                              aClientVersion);
  };
}

TnxResult TnxServerEngine::seCreateSession(TnxServerSession*& aSession, const nxString& aUserName,
                                           const nxString& aPassword, const nxString& aConnectedFrom,
                                           TnxWord32 aTimeout, std::int32_t aClientVersion) {
  aSession = nullptr;
  if (nxFatalError.load(std::memory_order_acquire))
    return EnxBaseException::nxSetMessage(
        15443,
        u"A fatal error has occurred. Server operations are suspended until the server is restarted. Check "
        u"exception log at server for further information");
  aSession = seSessionClass()(this, aTimeout, aUserName, aPassword, aConnectedFrom, aClientVersion);
  return 0;
}

TnxResult TnxServerEngine::SessionOpenEx(TnxAbstractSession*& aSession, const nxString& aUserName,
                                         const nxString& aPassword, const nxString& aConnectedFrom,
                                         TnxWord32 aTimeout, std::int32_t aClientVersion) {
  aSession = nullptr;
  CheckStarted();
  TnxServerSession* session = nullptr;
  try {
    nxSetTimeout(aTimeout, false);
    const TnxResult result = seCreateSession(session, aUserName, aPassword, aConnectedFrom, aTimeout,
                                             aClientVersion);
    if (result != 0) return result;
    if ((!IsSecureServer() && !session->MustBeAuthenticated()) || session->Authenticated()) {
      aSession = session;
      return 0;
    }
    TnxAbstractServerObject::Free(std::exchange(session, nullptr));
    return 10036;
  } catch (...) {
    if (session) TnxAbstractServerObject::Free(session);
    return ConvertException(std::current_exception(), nullptr);
  }
}

std::int32_t TnxServerEngine::CreateInstanceFor(TnxAbstractSession* aSession, const nxString& aName,
                                                const platform::Guid& aClassID, InxInterface* aOuter,
                                                const platform::Guid& aInterfaceID, void** aInterface) {
  if (platform::sameTextAscii(aName, u"<AliasHandler>")) {
    if (aInterface) *aInterface = nullptr;
    if (!seAliasHandler) return nxE_NOINTERFACE;
    InxInterface* session = aSession ? static_cast<InxAbstractServerObject41100*>(aSession) : nullptr;
    return seAliasHandler->nxcCreateInstance(session, aClassID, aOuter, aInterfaceID, aInterface);
  }
  if (platform::sameTextAscii(aName, u"<Registry>")) {
    if (aInterface) *aInterface = nullptr;
    return nxE_NOTIMPL;
  }
  return TnxBaseServerEngine::CreateInstanceFor(aSession, aName, aClassID, aOuter, aInterfaceID, aInterface);
}

// ---- Statistics and display values -------------------------------------------------

void TnxServerEngine::GetStatsCaptions(platform::TStringList& aList) const {
  TnxBaseServerEngine::GetStatsCaptions(aList);
  for (const char16_t* caption : {u"Executing Statements", u"Executed Statements", u"Active Folders",
                                  u"Inactive Folders", u"Active Tables", u"Inactive Tables"})
    aList.add(caption);
  if (seBufferManager) {
    seBufferManager->GetStatsCaptions(aList);
  } else {
    TnxOwned<TnxBufferManager> unused(seCreateUnusedManager());
    unused->GetStatsCaptions(aList);
  }
}

void TnxServerEngine::GetStatsValues(platform::TStringList& aList) const {
  TnxBaseServerEngine::GetStatsValues(aList);
  const std::int32_t folders = seFolderCount.load(), inactiveFolders = seInactiveFoldersCount.load();
  const std::int32_t tables = seTableCount.load(), inactiveTables = seInactiveTablesCount.load();
  for (std::int64_t value : {std::int64_t{seExecutingStatements.load()}, std::int64_t{seExecutedStatements.load()},
                             std::int64_t{folders} - inactiveFolders, std::int64_t{inactiveFolders},
                             std::int64_t{tables} - inactiveTables, std::int64_t{inactiveTables}})
    aList.add(nxFormatInt64(value));
  if (seBufferManager) {
    seBufferManager->GetStatsValues(aList);
  } else {
    // The rows of an unused cache, so that they match the captions: the
    // class-level values follow the registered temporary storage class,
    // whose extra captions only an instance would tell.
    TnxOwned<TnxBufferManager> unused(seCreateUnusedManager());
    unused->GetStatsValues(aList);
  }
}

nxString TnxServerEngine::GetDisplayOnlyValue(const nxString& aValueName) const {
  if (aValueName == u"ActiveOptions") {
    nxString text = u"SecureServer, NX_PROTECT_SERVER_ON_CRITICAL_ERROR";
    if (nxDisable30900LocaleFixes.load()) text += u", Disable30900LocaleFixes";
    return text;
  }
  if (aValueName == u"ServerEngine Version") return Version();
  return TnxBaseServerEngine::GetDisplayOnlyValue(aValueName);
}

// ---- Configuration -----------------------------------------------------------------

void TnxServerEngine::GetConfigSettings(TnxBaseSettings& aSettings) {
  TnxBaseServerEngine::GetConfigSettings(aSettings);
  addSetting(aSettings, u"ServerName", nxstString, platform::Variant(u"DazavAV"));
  TnxBaseSetting* maxRam = addSetting(aSettings, u"MaxRam", nxstInteger, platform::Variant(-1));
  maxRam->SetMin(platform::Variant(-1));
  maxRam->SetMax(platform::Variant(131072));
  addSetting(aSettings, u"TempStoreSize", nxstInteger, platform::Variant(-1))->SetMin(platform::Variant(-1));
  addSetting(aSettings, u"TempStorePath", nxstString, platform::Variant(u""));
  TnxBaseSetting* journal = addSetting(aSettings, u"JournalEngineClass", nxstString, platform::Variant(u""));
  journal->SetValueList(u"Tnx1xRollbackJournalEngine,Tnx1xJournalEngine,Tnx1xCommitJournalEngine");
  journal->SetEnforceValues(true);
  addSetting(aSettings, u"Options", nxstMultiOption, platform::Variant(u""))
      ->SetValueList(
          u"ReadOnly,ForceFailSafe,CloseInactiveFolders,CloseInactiveTables,InMemOnly,IsSecure,VerifyTableNames,"
          u"CloseAllWhenInactive,KeepSessionStats");
  addSetting(aSettings, u"ActiveOptions", nxstCaption, platform::Variant(u""))->Set_Label(u"Active Options");
  addSetting(aSettings, u"ServerEngine Version", nxstCaption, platform::Variant(Version()));
}

void TnxServerEngine::LoadConfig(TnxBaseComponentConfiguration& aConfig) {
  TnxBaseServerEngine::LoadConfig(aConfig);
  SetServerName(aConfig.GetValue(u"ServerName", platform::Variant(seServerName)).toString());
  SetMaxRAM(aConfig.GetValue(u"MaxRAM", platform::Variant(seMaxRAM)).toInt32());
  SetTempStorePath(aConfig.GetValue(u"TempStorePath", platform::Variant(seTempStorePath)).toString());
  SetTempStoreSize(aConfig.GetValue(u"TempStoreSize", platform::Variant(seTempStoreSize)).toInt32());
  const nxString journal = aConfig.GetValue(u"JournalEngineClass", platform::Variant(journalClassName())).toString();
  applyJournalClass(platform::getClass(platform::toUtf8(journal)));

  TnxServerEngineOptions options{};
  const std::int32_t count = aConfig.GetValue(u"OptionsCount", platform::Variant(0)).toInt32();
  if (aConfig.GetValue(u"NewOptionsLogic", platform::Variant(0)).toInt32() == 1) {
    const std::int32_t mask = aConfig.GetValue(u"Options", platform::Variant(0)).toInt32();
    for (int i = 0; i < nxServerEngineOptionCount; ++i)
      if (mask & (1 << i)) options.include(static_cast<TnxServerEngineOption>(i));
  } else {
    for (std::int32_t n = 1; n <= count; ++n) {
      const nxString name = aConfig.GetValue(u"Options" + nxIntToStr(n), platform::Variant(u"")).toString();
      const int option = optionOfName(name);
      if (option >= 0) options.include(static_cast<TnxServerEngineOption>(option));
    }
  }
  SetOptions(options);
}

void TnxServerEngine::SaveConfig(TnxBaseComponentConfiguration& aConfig) {
  TnxBaseServerEngine::SaveConfig(aConfig);
  aConfig.SetValue(u"ServerName", platform::Variant(seServerName));
  aConfig.SetValue(u"MaxRAM", platform::Variant(seMaxRAM));
  aConfig.SetValue(u"TempStorePath", platform::Variant(seTempStorePath));
  aConfig.SetValue(u"TempStoreSize", platform::Variant(seTempStoreSize));
  aConfig.SetValue(u"JournalEngineClass", platform::Variant(journalClassName()));
  const std::int32_t oldCount = aConfig.GetValue(u"OptionsCount", platform::Variant(0)).toInt32();
  for (std::int32_t n = 1; n <= oldCount; ++n) aConfig.SetValue(u"Options" + nxIntToStr(n), platform::Variant(u""));
  std::int32_t n = 0, mask = 0;
  for (int i = 0; i < nxServerEngineOptionCount; ++i) {
    const auto option = static_cast<TnxServerEngineOption>(i);
    if (!seOptions.contains(option)) continue;
    mask |= 1 << i;
    aConfig.SetValue(u"Options" + nxIntToStr(++n), platform::Variant(nxServerEngineOptionName(option)));
  }
  aConfig.SetValue(u"OptionsCount", platform::Variant(n));
  aConfig.SetValue(u"Options", platform::Variant(mask));
  aConfig.SetValue(u"NewOptionsLogic", platform::Variant(1));
  aConfig.SetValue(u"ServerEngine Version", platform::Variant(Version()));
}

void TnxServerEngine::SaveSettingsToStream(TnxWriter& aWriter) {
  TnxBaseServerEngine::SaveSettingsToStream(aWriter);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteString(seServerName);
  aWriter.WriteInteger(seMaxRAM);
  aWriter.WriteInteger(seTempStoreSize);
  aWriter.WriteString(seTempStorePath);
  aWriter.WriteString(journalClassName());
  aWriter.WriteListBegin();
  for (int i = 0; i < nxServerEngineOptionCount; ++i)
    if (seOptions.contains(static_cast<TnxServerEngineOption>(i)))
      aWriter.WriteString(nxServerEngineOptionName(static_cast<TnxServerEngineOption>(i)));
  aWriter.WriteListEnd();
}

void TnxServerEngine::LoadSettingsFromStream(TnxReader& aReader) {
  TnxBaseServerEngine::LoadSettingsFromStream(aReader);
  if (aReader.ReadInteger() != 1)
    nxRaiseComponentError(TnxComponentExceptionClass::component, false, this, nxErrIncompatibleStream, nxString());
  SetServerName(aReader.ReadString());
  SetMaxRAM(aReader.ReadInteger());
  SetTempStoreSize(aReader.ReadInteger());
  SetTempStorePath(aReader.ReadString());
  const nxString journal = aReader.ReadString();
  // An engine saved without a default journal class names none.
  if (!journal.empty()) applyJournalClass(&platform::findClass(platform::toUtf8(journal)));
  TnxServerEngineOptions options{};
  aReader.ReadListBegin();
  while (!aReader.EndOfList()) {
    const int option = optionOfName(aReader.ReadString());
    if (option >= 0) options.include(static_cast<TnxServerEngineOption>(option));
  }
  aReader.ReadListEnd();
  SetOptions(options);
}
