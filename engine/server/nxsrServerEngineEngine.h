// The server engine component. Part of nxsrServerEngine: include
// nxsrServerEngine.h, not this header.
//
// Contracts:
// - The engine is a state component: leaving the inactive state sizes and
//   builds the buffer manager, starting builds the cleanup timer thread
//   (1000 ms, highest priority where the system allows it), stopping frees
//   the thread (waking and joining it), tells the SQL engine to prepare its
//   shutdown, frees the sessions newest first and then the folders;
//   deactivating frees the buffer manager.
// - Settings change only while the engine is inactive (CheckInactive).
// - The alias handler and the SQL engine are linked components; either one
//   going away makes the engine inactive and clears the link. The engine
//   frees its alias handler when that has no owner of its own.
// - Counters change atomically; the inactive lists and the folder list are
//   each guarded by their own padlock. Lock order on the request path:
//   seFoldersPadlock, then a folder's padlocks. The cleanup tick takes an
//   inactive-list padlock first and only try-locks the others.
// - Sizing (all in MB): budget = MaxRAM when at least 1, else from the
//   machine's memory T: max(T div 2, T - max(2048, 2T div 10)); temporary
//   storage = TempStoreSize when at least 0, else 0 when the free space of
//   the temporary folder cannot be read, else min(10 x budget, F div 3 MB,
//   M div 3 MB), M the largest file size of the volume (no term when the
//   volume has no limit).
// Thread safety: the component is driven by one thread at a time; the
// counters and lists may be read by the cleanup thread and by sessions.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "nxllComponent.h"
#include "nxllConfigSettings.h"
#include "nxllSync.h"
#include "nxllThread.h"
#include "nxsdServerEngine.h"
#include "nxsrBufferManager.h"
#include "nxsrEngineBases.h"
#include "plStringList.h"

class TnxBaseAliasHandler;
class TnxServerSession;
class TnxServerFolder;
class TnxServerRootTable;
class TnxServerTaskThread;

NX_DECLARE_EXCEPTION(EnxServerEngineException, EnxBaseException)

enum TnxServerEngineOption : std::uint8_t {
  seoReadOnly,
  seoForceFailSafe,
  seoCloseInactiveFolders,
  seoCloseInactiveTables,
  seoInMemOnly,
  seoIsSecure,
  seoVerifyTableNames,
  seoCloseAllWhenInactive,
  seoKeepSessionStats
};
inline constexpr int nxServerEngineOptionCount = 9;
using TnxServerEngineOptions = TnxEnumSet<TnxServerEngineOption, 2>;

// "seoReadOnly" ... "seoKeepSessionStats".
nxString nxServerEngineOptionName(TnxServerEngineOption aOption);

// The engine's figures of the machine, read at sizing.
struct TnxServerEngineSizing {
  nxString TempFolder;
  std::int32_t MaxRAM = 0;
  std::int32_t TempStoreSize = 0;
};

class TnxServerEngine : public TnxBaseServerEngine {
  PL_CLASS_INFO_DECL()
  friend class TnxServerFolder;
  friend class TnxServerBaseTable;
  friend class TnxServerRootTable;
  friend class TnxServerSession;
 public:
  explicit TnxServerEngine(TnxComponent* aOwner = nullptr);
  ~TnxServerEngine() override;
  // Makes the engine's own alias handler (seCreateAliasHandler).
  void afterConstruction() override;
  // Deactivates, then unlinks and frees the alias handler and unlinks the
  // SQL engine.
  void beforeDestruction() override;

  // Renames the alias handler to "<name>_AliasHandler".
  void SetName(const platform::UnicodeString& aName) override;
  void ProcessNotification(TnxComponent* aSender, TnxNotifyOp aOp, void* aParam) override;
  bool DependsOn(TnxStateComponent* aComponent) const override;

  // --- configuration and statistics
  void LoadConfig(TnxBaseComponentConfiguration& aConfig) override;
  void SaveConfig(TnxBaseComponentConfiguration& aConfig) override;
  void GetConfigSettings(TnxBaseSettings& aSettings) override;
  void GetStatsCaptions(platform::TStringList& aList) const override;
  void GetStatsValues(platform::TStringList& aList) const override;
  nxString GetDisplayOnlyValue(const nxString& aValueName) const override;
  void LoadSettingsFromStream(TnxReader& aReader) override;
  void SaveSettingsToStream(TnxWriter& aWriter) override;

  // --- the base engine
  const platform::ClassInfo& EngineExceptionClass() override;
  [[noreturn]] void RaiseEngineException(TnxResult aCode) override;
  platform::Guid GetServerGuid() override { return seServerGuid; }
  nxString GetServerName() override { return seServerName; }
  // "<AliasHandler>": the alias handler's instance creator; "<Registry>":
  // E_NOTIMPL (no registry provider exists); otherwise inherited.
  std::int32_t CreateInstanceFor(TnxAbstractSession* aSession, const nxString& aName, const platform::Guid& aClassID,
                                 InxInterface* aOuter, const platform::Guid& aInterfaceID,
                                 void** aInterface) override;
  void CleanupInactive() override;
  bool StatsEnabled() override { return seOptions.contains(seoKeepSessionStats); }
  bool IsSecureServer() override { return seOptions.contains(seoIsSecure); }
  // Not started: raises. Otherwise a new session, 10036 when the log-in is
  // refused (no session left), 15443 after a fatal storage error.
  TnxResult SessionOpenEx(TnxAbstractSession*& aSession, const nxString& aUserName, const nxString& aPassword,
                          const nxString& aConnectedFrom, TnxWord32 aTimeout, std::int32_t aClientVersion) override;

  // --- closing idle folders and tables (also for sessions)
  TnxResult seCloseInactiveFolders();
  TnxResult seCloseInactiveTables();

  // --- properties
  std::int32_t MaxRAM() const { return seMaxRAM; }
  void SetMaxRAM(std::int32_t aValue);
  const nxString& TempStorePath() const { return seTempStorePath; }
  void SetTempStorePath(const nxString& aValue);
  std::int32_t TempStoreSize() const { return seTempStoreSize; }
  void SetTempStoreSize(std::int32_t aValue);
  TnxBaseAliasHandler* AliasHandler() const { return seAliasHandler; }
  void SetAliasHandler(TnxBaseAliasHandler* aValue);
  TnxBaseSqlEngine* SqlEngine() const { return seSqlEngine; }
  void SetSqlEngine(TnxBaseSqlEngine* aValue);
  void SetServerName(const nxString& aValue);
  TnxServerEngineOptions Options() const { return seOptions; }
  void SetOptions(TnxServerEngineOptions aValue);
  const nxString& TableExtension() const { return seTableExtension; }
  void SetTableExtension(const nxString& aValue);
  TnxBufferManager* BufferManager() const { return seBufferManager; }
  // The folder open on aPath (exact text), or nil.
  TnxServerFolder* FindFolder(const nxString& aPath);
  std::int32_t InactiveFolderCount() const { return seInactiveFoldersCount.load(std::memory_order_acquire); }
  std::int32_t FolderCount() const { return seFolderCount.load(std::memory_order_acquire); }
  std::int32_t TableCount() const { return seTableCount.load(std::memory_order_acquire); }
  std::int32_t InactiveTableCount() const { return seInactiveTablesCount.load(std::memory_order_acquire); }
  TnxPadlock* seFoldersPadlockForTest() const { return seFoldersPadlock; }
  bool CleanupThreadRunning() const { return seCleanupThread != nullptr; }
  // Task threads do not free themselves: the engine keeps each one from its
  // start, frees the ended ones on the cleanup tick and all of them (joining
  // those still running) when it stops.
  void seAddTaskThread(TnxServerTaskThread* aThread);
  void seFreeTaskThreads(bool aAll);
  std::int32_t TaskThreadCount() const;

  std::atomic<std::int32_t> seExecutingStatements{0};
  std::atomic<std::int32_t> seExecutedStatements{0};

 protected:
  void scInitializing() override;
  void scDeactivating() override;
  void scStarting() override;
  void scStopping() override;

  // The alias handler a new engine makes for itself (no owner).
  virtual TnxBaseAliasHandler* seCreateAliasHandler();
  // The class of new sessions, constructed with (engine, time-out, user
  // name, password, connected-from text, client version).
  using TnxSessionFactory = TnxServerSession* (*)(TnxServerEngine* aEngine, TnxWord32 aTimeout,
                                                  const nxString& aUserName, const nxString& aPassword,
                                                  const nxString& aConnectedFrom, std::int32_t aClientVersion);
  virtual TnxSessionFactory seSessionClass();
  // 15443 with its message after a fatal storage error, else a new session.
  virtual TnxResult seCreateSession(TnxServerSession*& aSession, const nxString& aUserName, const nxString& aPassword,
                                    const nxString& aConnectedFrom, TnxWord32 aTimeout, std::int32_t aClientVersion);
  // The figures the buffer manager is built with.
  TnxServerEngineSizing seComputeSizing() const;
  // A buffer manager sized like the one activation would make, for the
  // statistics rows of an inactive engine.
  TnxBufferManager* seCreateUnusedManager() const;
  // One cleanup tick: frees idle folders, then idle tables.
  void seCleanupTimerTick(platform::TObject* aSender);
  // The table half of the tick.
  void seCloseIdleTables();

  TnxBufferManager* seBufferManager = nullptr;         // owned
  TnxSimpleTimerThread* seCleanupThread = nullptr;     // owned
  platform::Guid seServerGuid{};
  std::int32_t seMaxRAM = -1;
  nxString seTempStorePath;
  std::int32_t seTempStoreSize = -1;
  nxString seTableExtension;
  TnxPadlock* seFoldersPadlock = nullptr;              // owned
  platform::TStringList* seFolders = nullptr;          // owned; objects: the folders
  TnxPadlock* seInactiveTablesPadlock = nullptr;       // owned
  TnxServerRootTable* seInactiveTablesHead = nullptr;
  TnxServerRootTable* seInactiveTablesTail = nullptr;
  std::atomic<std::int32_t> seInactiveTablesCount{0};
  TnxPadlock* seInactiveFoldersPadlock = nullptr;      // owned
  TnxServerFolder* seInactiveFoldersHead = nullptr;
  TnxServerFolder* seInactiveFoldersTail = nullptr;
  std::atomic<std::int32_t> seInactiveFoldersCount{0};
  TnxBaseAliasHandler* seAliasHandler = nullptr;       // owned
  TnxBaseSqlEngine* seSqlEngine = nullptr;             // linked, not owned
  nxString seServerName;
  TnxServerEngineOptions seOptions{};
  std::atomic<std::int32_t> seFolderCount{0};
  std::atomic<std::int32_t> seTableCount{0};
  TnxPadlock* seTaskThreadsPadlock = nullptr;          // owned
  std::vector<TnxServerTaskThread*> seTaskThreads;     // owned
};
