// Server tables: the tree of open (sub)tables and its root, the physical
// table. Part of nxsrServerEngine: include nxsrServerEngine.h, not this
// header.
//
// Contracts:
// - A root table stands for one table file set of a folder; it is in the
//   folder's table list (under its name) from construction to destruction,
//   and every entry and exit happens under the folder's sfTablesPadlock.
// - Nested tables live in the files of their root; a child's name is its
//   name inside its parent, its full name joins the names with ":".
// - Usage counter sbtLockIsInactive: whoever is about to use, test or free
//   an open table raises it; a table is freed only by the idle-close
//   sequence (raise, test with an expected count of 1, lower, free when the
//   counter read again is 0). Freeing a table whose counter is not 0 is an
//   assertion failure.
// - The root owns its files, dictionary, stream engine and children; every
//   table owns its block accesses and storage engines. The files of an
//   unnamed table are named " UnnamedTable_<id>_<n>": <id> is the table's
//   handle (unique among live server objects), <n> a process-wide counter.
// - Inactive-table list: guarded by the engine's seInactiveTablesPadlock; a
//   persistent root joins it when its last cursor closes and leaves it at
//   the next cursor or when it is freed.
// Thread safety: the tree is built and torn down under the folder's
// sfTablesPadlock; the counters are atomics; sbtCursorsPadlock guards the
// cursor chain, srtTransLinksPadlock the content-lock link lists.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "nxllMemoryManager.h"
#include "nxllSync.h"
#include "nxllSyncPortal.h"
#include "nxsdServerEngineObjects.h"
#include "nxseStreamEngine.h"
#include "nxsrBufferManager.h"
#include "nxsrIndexEngineBase.h"
#include "nxsrEngineBases.h"
#include "plStringList.h"

class TnxServerFolder;
class TnxServerRootTable;
class TnxServerTableCursor;
class TnxTableLockContainer;
class TnxServerTransactionLevelTableLink;

enum TnxServerTableState : std::uint8_t { stsLockedIncDone };
using TnxServerTableStates = TnxSmallSet<TnxServerTableState>;

// Figures of one open table (sbtGetStats).
struct TnxServerTableStats {
  std::uint32_t UsedBlocks = 0;
  std::uint32_t AvailableBlocks = 0;
  TnxBlockSignature HeaderSignature = nxNoSignature;
  nxString MainFileName;
  std::int64_t MainFileSize = 0;
  std::int32_t FileVersion = 0;
  std::int32_t OpenCursors = 0;
  std::int32_t Databases = 0;
  std::int32_t Sessions = 0;
  std::int32_t NamedStreams = 0;
};

// The calling thread opens tables for recovery: the index and full-text
// engines are not built.
void nxsrSetRecoveryMode(bool aValue);
bool nxsrInRecoveryMode();

class TnxServerBaseTable : public TnxLockedOptionsExtendableServerObject {
  PL_CLASS_INFO_DECL()
  friend class TnxServerRootTable;
  friend class TnxServerTableCursor;

 public:
  TnxServerBaseTable(TnxExtendableServerObject* aParent, const nxString& aName,
                     TnxBaseTableDescriptor* aTableDescriptor);
  ~TnxServerBaseTable() override;
  TnxServerBaseTable(const TnxServerBaseTable&) = delete;
  TnxServerBaseTable& operator=(const TnxServerBaseTable&) = delete;
  void afterConstruction() override;
  void beforeDestruction() override;

  // The parent's full name + ":" + the own name; the own name for a root.
  virtual nxString FullName() const;
  // aChildName relative to this table: "" the table, "." the table, ".."
  // the parent, else a child; ":" separates the steps. 10024 with the
  // reason as the pending message when a step fails (aTable nil).
  TnxResult GetChild(const nxString& aChildName, TnxServerBaseTable*& aTable);
  // "<Table>.rest" asks this table, "<Root>.rest" the root, "<Folder>.rest"
  // (on a root) the folder; anything else is inherited.
  std::int32_t CreateInstanceFor(const nxString& aName, const platform::Guid& aClassID, InxInterface* aOuter,
                                 const platform::Guid& aInterfaceID, void** aInterface) override;
  void AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aIncludeChildren) override;

  // The LSN of file 0.
  TnxLSN sbtCurrentLSN(TnxBaseTransaction* aTrans);
  void sbtGetStats(TnxBaseTransaction* aTrans, TnxServerTableStats& aStats);
  bool IsCache() const;

  // --- special fields of changed records (nothing for a cache table, an
  // absent field or a nil record). aNextLSN gives the cursor's next LSN, 0
  // when it has none.
  using TnxNextLSNFunc = std::function<TnxLSN()>;
  void sbtInitLSNFields(const TnxNextLSNFunc& aNextLSN, PnxRecordBuffer aRecord);
  // 10259 when the new record's modify or insert LSN differs from the
  // stored one (skipped on insert); then the modify LSN advances.
  TnxResult sbtCheckLSNFields(const TnxNextLSNFunc& aNextLSN, PnxRecordBuffer aStored, bool aInsert,
                              PnxRecordBuffer aNew);
  void sbtInitRecRev(PnxRecordBuffer aRecord);
  // 10259 for a stale revision; else the new record's revision is the
  // stored one plus 1 (wrapping).
  TnxResult sbtCheckRecRev(PnxRecordBuffer aStored, PnxRecordBuffer aNew, bool aInsert);
  void sbtInitRefNr(PnxRecordBuffer aRecord);
  // 9996 with the RefNr message when a modify changes the RefNr; an insert
  // (or a null RefNr) takes aRefNr.
  TnxResult sbtCheckRefNr(PnxRecordBuffer aStored, PnxRecordBuffer aNew, bool aInsert, TnxRefNr aRefNr);

  // --- tree-wide hooks
  void sbtRollback(TnxBaseTransaction* aTrans);
  void sbtEndTransaction(TnxBaseTransaction* aTrans);
  // The cursor test of the inactivity check, for this table and its tree.
  bool sbtIsInactive(bool aIgnoreKeepInMemory, bool aRequestClose, std::int32_t aExpectedLockCount);

  TnxServerRootTable* Root() const { return sbtRoot; }
  TnxServerBaseTable* Parent() const { return sbtParent; }
  const nxString& Name() const { return sbtNameInScope; }
  std::int32_t ChildCount() const { return static_cast<std::int32_t>(sbtChildren.size()); }
  TnxServerBaseTable* Children(std::int32_t aIndex) const { return sbtChildren.at(static_cast<std::size_t>(aIndex)); }
  TnxBaseTableDescriptor* TableDescriptor() const { return sbtTableDescriptor; }
  TnxFieldsDescriptor* FieldsDescriptor() const { return sbtFieldsDescriptor; }
  const TnxMemoryPool& RecordAllocator() const { return sbtRecordAllocator; }
  TnxSpecialFieldsInfo* SFI() const { return sbtSFI; }
  TnxBaseAutoIncEngine* AutoIncEngine() const { return sbtAutoIncEngine; }
  TnxBaseRecordEngine* RecordEngine() const { return sbtRecordEngine; }
  TnxBaseBlobEngine* BlobEngine() const { return sbtBlobEngine; }
  TnxBaseIndicesEngine* IndicesEngine() const { return sbtIndicesEngine; }
  TnxBaseIndicesEngine* InternalIndicesEngine() const { return sbtInternalIndicesEngine; }
  TnxBaseFulltextTableEngine* FulltextEngine() const { return sbtFulltextEngine; }
  TnxTableLockContainer* Locks() const { return sbtLocks; }
  std::int32_t CursorCount() const { return sbtCursorCount.load(std::memory_order_acquire); }
  TnxPadlock* CursorsPadlock() const { return sbtCursorsPadlock; }
  // REQUIRES: the cursors padlock.
  TnxServerTableCursor* CursorsHead() const { return sbtCursorsHead; }

  // Usage counter (see the header comment).
  std::atomic<std::int32_t> sbtLockIsInactive{0};
  // Cursors on this table; kept by the cursors.
  std::atomic<std::int32_t> sbtCursorCount{0};

 protected:
  // Construction steps of the insides, in the order the create and open
  // paths call them; tear-down in reverse.
  void sbtSetDescriptor(TnxBaseTableDescriptor* aDescriptor);
  void sbtCreateBlockAccess();
  void sbtCreateEngines(TnxBaseTransaction* aTrans);
  void sbtCreateChildren(TnxBaseTransaction* aTrans);
  void sbtFreeChildren();
  void sbtFreeEngines();
  void sbtFreeBlockAccess();
  // Ends aTrans on this table's lock container.
  void sbtEndTransactionOnLocks(TnxBaseTransaction* aTrans);

  TnxServerRootTable* sbtRoot = nullptr;
  TnxServerBaseTable* sbtParent = nullptr;
  std::vector<TnxServerBaseTable*> sbtChildren;       // owned
  platform::TStringList* sbtChildNames = nullptr;     // owned; objects: the children
  nxString sbtNameInScope;
  TnxPadlock* sbtCursorsPadlock = nullptr;            // owned
  TnxServerTableCursor* sbtCursorsHead = nullptr;
  TnxServerTableCursor* sbtCursorsTail = nullptr;
  TnxTableLockContainer* sbtLocks = nullptr;          // owned
  TnxBaseTableDescriptor* sbtTableDescriptor = nullptr;
  TnxFieldsDescriptor* sbtFieldsDescriptor = nullptr;
  TnxMemoryPool sbtRecordAllocator;
  TnxSpecialFieldsInfo* sbtSFI = nullptr;             // counted
  std::vector<TnxBlockAccess*> sbtBlockAccess;        // owned
  TnxBaseAutoIncEngine* sbtAutoIncEngine = nullptr;   // owned
  TnxBaseRecordEngine* sbtRecordEngine = nullptr;     // owned
  TnxBaseBlobEngine* sbtBlobEngine = nullptr;         // owned
  TnxBaseIndicesEngine* sbtIndicesEngine = nullptr;   // owned
  TnxBaseIndicesEngine* sbtInternalIndicesEngine = nullptr;  // owned
  TnxBaseFulltextTableEngine* sbtFulltextEngine = nullptr;   // owned
  TnxServerTableStates sbtStates;
};

class TnxServerRootTable : public TnxServerBaseTable {
  PL_CLASS_INFO_DECL()
  friend class TnxServerFolder;
  friend class TnxServerEngine;

 public:
  // An empty aName gives the unnamed pattern. Joins the folder's list.
  TnxServerRootTable(TnxServerFolder* aFolder, const nxString& aName, TnxOpenMode aOpenMode, TnxShareMode aShareMode,
                     TnxTableScope aTableScope);
  ~TnxServerRootTable() override;

  nxString FullName() const override { return sbtNameInScope; }
  void AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aIncludeChildren) override;

  // The files of a new table inside aTrans; on failure they are closed
  // (and, for a persistent table, deleted).
  TnxResult srtCreateFiles(TnxBaseTransaction* aTrans, const TnxUnicodeStrings& aPasswords, const nxString& aTableName,
                           TnxBaseTempStorage* aTempStorage, TnxFileAttributes aFileAttributes,
                           TnxServerDataDict* aDictionary, bool aForServer);
  // The files of an existing table; 9221 becomes 10024 " Error opening
  // files for root table ...". On failure everything is closed again.
  TnxResult srtOpenFiles(TnxBaseTransaction* aTrans, const TnxUnicodeStrings& aPasswords, bool aForServer,
                         TnxFileAttributes aFileAttributes, bool& aIsReadOnly);
  TnxResult srtCloseFiles();
  // Deletes every file of the dictionary, ignoring failures.
  void srtDeleteFiles();
  TnxResult srtCheckPasswords(const TnxUnicodeStrings& aPasswords);
  TnxResult srtChangePassword(TnxBaseTransaction* aTrans, const nxString& aNewPassword);
  void srtUpdateMaxID();
  void srtCursorOpened();
  void srtCursorClosed();
  void srtAddToInactiveTables();
  void srtRemoveFromInactiveTables();
  bool srtIsInactive(bool aIgnoreKeepInMemory, bool aRequestClose, std::int32_t aExpectedLockCount);

  // Exclusive commits.
  void srtBeginExclusiveCommit();
  void srtEndExclusiveCommit(TnxBaseTransaction* aTrans);
  void srtUnlockCommit();

  // The password that opened the main file; empty without encryption.
  nxString ExtractPassword();
  // The name under which a database's own table is known (its table map's
  // key and its dictionary's base name); the folder keeps listing the table
  // under its unnamed name, so no other database finds it.
  void srtSetNameInScope(const nxString& aName) {
    sbtNameInScope = aName;
    srtDictionary->_BaseName(aName);
  }
  // The file of aIndex: "<folder>/<name>.<extension of file aIndex>".
  nxString srtFileName(std::int32_t aIndex) const;

  TnxServerFolder* Folder() const { return srtFolder; }
  TnxTableScope TableScope() const { return srtTableScope; }
  const nxString& RootName() const { return srtName; }
  TnxOpenMode OpenMode() const { return srtOpenMode; }
  TnxShareMode ShareMode() const { return srtShareMode; }
  bool ForServer() const { return srtForServer; }
  bool FileIsLink() const { return srtFileIsLink; }
  TnxServerDataDict* Dictionary() const { return srtDictionary; }
  TnxBaseStreamEngine* StreamEngine() const { return srtStreamEngine; }
  TnxBaseFile* MainFile() const { return srtMainFile; }
  std::int32_t FileCount() const { return static_cast<std::int32_t>(srtFiles.size()); }
  TnxBaseFile* Files(std::int32_t aIndex) const { return srtFiles.at(static_cast<std::size_t>(aIndex)); }
  std::int32_t RootCursorCount() const { return srtCursorCount.load(std::memory_order_acquire); }
  bool InInactiveList() const { return srtInServerEngineInactiveTables; }
  platform::DateTime InactiveSince() const { return srtInactiveSince; }
  TnxPadlock* CommitPadlock() const { return srtCommitPadlock; }
  TnxInternalReadWritePortal* ContentPortal() const { return srtContentPortal; }
  TnxPadlock* TransLinksPadlock() const { return srtTransLinksPadlock; }

  // --- content-lock link lists (filled by the transactions)
  TnxServerTransactionLevelTableLink* srtTransLinksPendingUpgrade = nullptr;
  TnxServerTransactionLevelTableLink* srtTransLinksPendingHead = nullptr;
  TnxServerTransactionLevelTableLink* srtTransLinksPendingTail = nullptr;
  TnxServerTransactionLevelTableLink* srtTransLinksGrantedHead = nullptr;
  TnxServerTransactionLevelTableLink* srtTransLinksGrantedTail = nullptr;
  TnxServerTransactionLevelTableLink* srtTransLinksSnapshotGrantedHead = nullptr;
  TnxServerTransactionLevelTableLink* srtTransLinksSnapshotGrantedTail = nullptr;
  std::atomic<std::int32_t> srtSnapshotBlockCount{0};

 private:
  void srtAddToFolder();
  void srtRemoveFromFolder();
  // Takes the disk's letter case of the name (under the folder's padlock).
  void srtRename(const nxString& aNewName);
  // Sets up a file object of the table (not opened).
  TnxBaseFile* srtAllocFile(std::int32_t aIndex, TnxFileAttributes aFileAttributes, TnxBaseTempStorage* aTempStorage);
  void srtCreateFile(TnxBaseTransaction* aTrans, std::int32_t aIndex, const TnxUnicodeStrings& aPasswords,
                     TnxFileAttributes aFileAttributes, TnxBaseTempStorage* aTempStorage);
  // The links and counter tests of the inactivity check.
  bool srtIsCandidate(bool aIgnoreKeepInMemory, std::int32_t aExpectedLockCount);
  void srtReleaseFile(std::int32_t aIndex);

  TnxServerFolder* srtFolder;
  bool srtForServer = false;
  TnxTableScope srtTableScope;
  nxString srtName;
  TnxOpenMode srtOpenMode;
  TnxShareMode srtShareMode;
  std::atomic<std::int32_t> srtCursorCount{0};
  platform::DateTime srtInactiveSince = 0;
  bool srtInServerEngineInactiveTables = false;
  TnxServerRootTable* srtServerEngineInactiveTablesPrev = nullptr;
  TnxServerRootTable* srtServerEngineInactiveTablesNext = nullptr;
  TnxPadlock* srtCommitPadlock = nullptr;             // owned
  TnxInternalReadWritePortal* srtContentPortal = nullptr;  // owned
  TnxPadlock* srtTransLinksPadlock = nullptr;         // owned
  std::vector<TnxBaseFile*> srtFiles;                 // owned
  TnxBaseFile* srtMainFile = nullptr;
  bool srtFileIsLink = false;
  TnxServerDataDict* srtDictionary = nullptr;         // owned
  TnxBaseStreamEngine* srtStreamEngine = nullptr;     // owned
};
