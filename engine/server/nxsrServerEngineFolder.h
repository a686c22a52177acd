// Server folders and their transaction managers. Part of nxsrServerEngine:
// include nxsrServerEngine.h, not this header.
//
// Contracts:
// - A folder stands for one database folder of one engine; it is listed in
//   the engine's folder list under its path from construction to
//   destruction. A folder whose path is empty or begins with "#" (or of an
//   in-memory engine) has no files.
// - The folder's transaction manager keeps the next log sequence number in
//   "nxTrans.cfg": exactly 8 bytes, the LSN little-endian at offset 0. At
//   construction it seeds the buffer manager's counter with the larger of
//   the stored value (when current) and one above the largest header LSN of
//   the folder's table files; the counter is raised before the file is
//   written, so the file never holds a value below one already handed out.
//   The file is held open exclusively while the folder lives; a folder that
//   can neither open nor create it is read-only.
// - Inactive-folder list: guarded by the engine's seInactiveFoldersPadlock;
//   a folder is listed at most once and unlinks itself when destroyed.
// - Root tables are open objects of the folder, listed in sfTables by name;
//   the table operations and the idle closes run under sfTablesPadlock
//   (re-entrant: empty calls build with it held).
// Lock order: the engine's inactive-list padlock, the engine's folders
// padlock, sfDatabasesPadlock, sfTablesPadlock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "nxllSync.h"
#include "nxsdServerEngineObjects.h"
#include "nxsrBufferManager.h"
#include "plStringList.h"

class TnxServerEngine;
class TnxServerFolder;
class TnxServerRootTable;
class TnxServerDataDict;
class TnxServerDatabase;

class TnxServerTransactionMgr : public TnxBaseTransactionMgr {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxServerTransactionMgr(TnxServerFolder* aFolder);
  ~TnxServerTransactionMgr() override;
  TnxServerTransactionMgr(const TnxServerTransactionMgr&) = delete;
  TnxServerTransactionMgr& operator=(const TnxServerTransactionMgr&) = delete;

  // A journal of the engine-wide class on "<folder>/<aNumber>.n$2"; nil for
  // an in-memory or read-only folder or without a journal class.
  virtual TnxBaseJournalEngine* stmCreateJournal(TnxLSN aNumber);

  // Seeds the buffer manager's counter (run once by the constructor).
  void stmLoadLSN();
  // Writes the next LSN when the file is open and the folder writable;
  // failures are ignored. aClose closes and frees the file.
  void stmSaveLSN(bool aClose);
  // The file exists, holds 8 bytes and no table file is newer than it by
  // more than the threshold.
  bool stmConfigIsCurrent();
  // One above the largest header LSN of the folder's table files (0 for a
  // file that cannot be read).
  TnxLSN stmScanTableLSNs();

  nxString ConfigFileName() const;
  bool ConfigFileOpen() const { return stmConfigFile != nullptr; }

  // A table file newer than the configuration file by more than this many
  // nanoseconds makes the stored value stale.
  static constexpr std::int64_t kCurrencySlackNs = std::int64_t{1876} * 1000000000;

 private:
  TnxServerFolder* stmFolder;
  TnxBaseFile* stmConfigFile = nullptr;  // owned
};

class TnxServerFolder : public TnxLockedOptionsExtendableServerObject {
  PL_CLASS_INFO_DECL()
  friend class TnxServerEngine;
  friend class TnxServerRootTable;
  friend class TnxServerDatabase;
  friend class TnxServerSession;

 public:
  TnxServerFolder(TnxServerEngine* aServerEngine, const nxString& aPath, bool aIsCache);
  ~TnxServerFolder() override;
  void afterConstruction() override;
  void beforeDestruction() override;

  TnxBaseServerEngine* GetServerEngine() override;

  void LockTables() { sfTablesPadlock->Lock(); }
  TnxPadlock* TablesPadlockForTest() const { return sfTablesPadlock; }
  void UnlockTables() { sfTablesPadlock->Unlock(); }

  // False while a database is open on the folder or one of its open tables
  // is in use.
  bool sfIsInactive(bool aIgnoreKeepInMemory, bool aRequestClose);
  // Joins or leaves the engine's inactive-folder list.
  void sfUpdateInactive();
  void sfAddToInactiveFolders();
  void sfRemoveFromInactiveFolders();
  // 10241 while another thread holds the table padlock; else closes the
  // idle open tables and answers 0.
  TnxResult sfCloseInactiveTables();
  // The idle-close sequence: raises aTable's usage counter, tests it with an
  // expected count of 1, lowers the counter and frees the table when the
  // test held and the counter is then 0. aBeforeFree runs just before the
  // table is freed. True when the table was freed.
  // REQUIRES: sfTablesPadlock.
  bool sfCloseTableIfIdle(TnxServerRootTable* aTable, bool aIgnoreKeepInMemory, bool aRequestClose,
                          const std::function<void(TnxServerRootTable&)>& aBeforeFree = {});
  // The open root table of that name (case ignored), nil when none.
  // REQUIRES: sfTablesPadlock.
  TnxServerRootTable* sfFindTable(const nxString& aTableName);
  std::int32_t OpenTableCount();

  void AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aIncludeChildren) override;

  // --- table operations on whole tables (names compare ignoring case)
  // Builds a new empty table; an open idle table of the name is closed
  // first, an existing one is replaced only with aOverWrite (10763 when it
  // cannot be deleted).
  TnxResult sfTableBuild(bool aOverWrite, const nxString& aTableName, const nxString& aPassword, bool aForServer,
                         TnxServerDataDict* aDictionary, TnxTableScope aTableScope);
  // The files of a new table inside a transaction of its own; aTable is
  // the open table on success, else nil. A persistent table's folder is
  // synced before success (9218 and no files when that fails).
  TnxResult sfTableCreate(const nxString& aTableName, const nxString& aPassword, bool aForServer,
                          TnxServerDataDict* aDictionary, TnxTableScope aTableScope, TnxServerRootTable*& aTable);
  // Deletes the files of a table. A table whose dictionary cannot be read
  // because the file is damaged (codes 8960-9215) loses its main file; any
  // other failure to read it is the result and nothing is deleted. The
  // folder is synced before success, so no crash brings the table back.
  TnxResult sfTableDelete(const nxString& aTableName, const TnxUnicodeStrings& aPasswords, bool aForServer);
  // Rebuilds a table empty with its dictionary, password and scope.
  TnxResult sfTableEmpty(const nxString& aTableName, const TnxUnicodeStrings& aPasswords, bool aForServer);
  // A copy of the table's dictionary (aDict cleared on failure); the file
  // is opened for it when the table is not open. aFileIsLink and aPassword
  // may be nil.
  TnxResult sfTableGetDictionary(const nxString& aTableName, const TnxUnicodeStrings& aPasswords, bool aForServer,
                                 TnxServerDataDict& aDict, bool* aFileIsLink = nullptr, nxString* aPassword = nullptr);
  // Renames a table: an open temporary table in memory only, else every
  // file of it (all or nothing).
  TnxResult sfTableRename(const nxString& aOldName, const nxString& aNewName, const TnxUnicodeStrings& aPasswords,
                          bool aForServer);
  // 0 when the table exists, else 8712. A trailing "." + table extension is
  // ignored; in-memory ("<name>", "###name") and database-temporary
  // ("##name") names exist only while open.
  TnxResult sfTableExists(const nxString& aTableName);
  // The open tables and, for a folder with files, the table files' names.
  TnxResult sfTableGetList(platform::TStringList& aList);
  // aBaseName, else aBaseName + "1", "2", ...: the first that does not exist.
  TnxResult sfTableMakeUniqueName(const nxString& aBaseName, nxString& aTableName);
  // Non-empty and, for persistent tables, none of the characters a file
  // name may not hold.
  static bool sfIsValidTableName(const nxString& aTableName, TnxTableScope aScope);
  // Moves the files "<old>.<ext>" to "<new>.<ext>" in the folder, one per
  // extension in order (the first is the main file's); both names lose a
  // trailing "." + table extension. When a move fails, those already done
  // are moved back, newest first, and the failure (15394) is raised. A
  // target that exists is never replaced. The folder is synced before
  // success, so the new names survive a crash; a failed sync moves back too.
  void sfMoveTableFiles(const nxString& aOldName, const nxString& aNewName, const std::vector<nxString>& aExtensions);
  // The main file of aTableName in the folder.
  nxString sfMainFileName(const nxString& aTableName) const;

  // Databases open on the folder (the chain comes with the database).
  void sfDatabaseOpened() { sfDatabaseCount.fetch_add(1, std::memory_order_acq_rel); }
  void sfDatabaseClosed() { sfDatabaseCount.fetch_sub(1, std::memory_order_acq_rel); }

  TnxServerEngine* ServerEngine() const { return sfServerEngine; }
  const nxString& Path() const { return sfPath; }
  bool InMemOnly() const { return sfInMemOnly; }
  bool ReadOnly() const { return sfReadOnly; }
  bool IsCache() const { return sfIsCache; }
  bool InInactiveList() const { return sfInServerEngineInactiveFolders; }
  platform::DateTime InactiveSince() const { return sfInactiveSince; }
  TnxServerTransactionMgr* TransManager() const { return stTransManager; }
  std::int32_t StructureGeneration() const { return sfStructureGeneration.load(std::memory_order_acquire); }

 private:
  friend class TnxServerTransactionMgr;
  void sfAddToServerEngine();
  void sfRemoveFromServerEngine();

  TnxServerEngine* sfServerEngine;
  nxString sfPath;
  bool sfInMemOnly = false;
  bool sfReadOnly = false;
  bool sfJournalChecked = false;
  std::atomic<std::int32_t> sfInMemoryCount{0};
  TnxServerTransactionMgr* stTransManager = nullptr;  // owned
  bool sfForceFailSafe = false;
  TnxPadlock* sfDatabasesPadlock = nullptr;           // owned
  std::atomic<std::int32_t> sfDatabaseCount{0};
  TnxServerDatabase* sfDatabasesHead = nullptr;  // under sfDatabasesPadlock
  TnxServerDatabase* sfDatabasesTail = nullptr;
  TnxPadlock* sfTablesPadlock = nullptr;              // owned
  platform::TStringList* sfTables = nullptr;          // owned; objects: the open root tables
  platform::DateTime sfInactiveSince = 0;
  bool sfInServerEngineInactiveFolders = false;
  TnxServerFolder* sfServerEngineInactiveFoldersPrev = nullptr;
  TnxServerFolder* sfServerEngineInactiveFoldersNext = nullptr;
  bool sfLockedIncDone = false;
  bool sfIsCache = false;
  std::atomic<std::int32_t> sfStructureGeneration{0};
};
