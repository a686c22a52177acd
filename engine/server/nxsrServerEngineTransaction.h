// Server transactions, their levels, the content locks (table links) that
// the levels hold on root tables, and the transaction context. Part of
// nxsrServerEngine: include nxsrServerEngine.h, not this header.
//
// Contracts:
// - A transaction is a stack of levels (level 0 first); each level owns the
//   chain of its table links; the transaction keeps its current link per
//   root table in stTableLinks under the table key (folder path, "\", root
//   name), where a cursor without a link finds it.
// - A link is in exactly one list of its table: the pending FIFO, the
//   pending-upgrade slot (one per table), the granted list or the snapshot
//   granted list. Ordinary granted links are all shared, or there is one
//   exclusive link and nothing else is granted. Snapshot links never
//   conflict. A new request is decided at once, without queueing behind
//   pending links; the FIFO orders only requests that had to wait.
// - A request that conflicts with a link of another transaction of its own
//   owning session fails at once (nobody else could end that conflict).
// - A nested commit moves its links to the parent level; the top-level
//   commit releases them around the buffer manager's commit and the flush;
//   a rollback gives an upgraded table back to the shared link it replaced.
// - A top-level commit of changes to a persistent table file takes a journal
//   of that table's folder, numbered with the transaction's LSN.
// - The owned transaction of a context lives from the context's start to
//   the commit or rollback of its level 0, then frees itself and leaves the
//   context.
// Lock order: a table's srtTransLinksPadlock is taken with no other table's
// held; nobody waits while holding one; stlDeadlock runs with none held.
// Waiting links: the event is created by the waiter under the padlock,
// signalled under it by whoever grants or fails the link, and freed only by
// a waiter that saw the signal (a grant after a timed-out wait finds it).
// Thread safety: one thread drives a transaction at a time (its context's
// session lock); tables' link lists are shared and change only under their
// padlock.
#pragma once

#include <atomic>
#include <utility>

#include <cstdint>
#include <functional>
#include <span>

#include "nxllSync.h"
#include "nxsdServerEngineDatabase.h"
#include "nxsrBufferManager.h"
#include "plStringList.h"

class TnxServerRootTable;
class TnxServerTransaction;
class TnxServerTransactionLevel;
class TnxServerTransactionLevelTableLink;
class TnxServerTransContext;

enum TnxServerTransactionLevelTableLinkState : std::uint8_t {
  ttlsPending,
  ttlsPendingUpgrade,
  ttlsGranted,
  ttlsFailed,
};

// Tests only: called where a content-lock request has found a deadlock,
// after the table's padlock was released and before the level's rollback.
extern std::atomic<void (*)()> nxsrDeadlockTestHook;
// Tests only: called by a top-level commit just before its flush to disk,
// after the content portals were left, while the commit padlocks are held.
extern std::atomic<void (*)()> nxsrCommitFlushTestHook;

// What a link knows of a cursor working under it; the table cursor derives
// from it. The content-lock operation of the cursor runs through
// sbcBeginTransContentLock.
class TnxServerTransLinkCursor {
 public:
  TnxServerTransLinkCursor() = default;
  virtual ~TnxServerTransLinkCursor();
  TnxServerTransLinkCursor(const TnxServerTransLinkCursor&) = delete;
  TnxServerTransLinkCursor& operator=(const TnxServerTransLinkCursor&) = delete;

  // The transaction context of the cursor's database.
  virtual TnxAbstractTransContext* sbcTransContext() = 0;
  // The cursor's content lock (transaction start with cursors calls it);
  // 9990 for a cursor that is not a table cursor.
  virtual TnxResult sbcBeginContentLock(bool aExclusive, bool aConditional, bool aInternal);

  // Steps of the content lock inside transaction aTrans on aTable: attach to
  // the transaction's link, upgrade it or create a new one, wait for it
  // within the thread's deadline. 0, 10249, 10255 (the level is then
  // deadlocked and rolled back), 10763, 15443. A refusal leaves the cursor
  // on its previous link (or none); aReason describes a conflict.
  TnxResult sbcBeginTransContentLock(TnxServerTransaction* aTrans, TnxServerRootTable* aTable, bool aExclusive,
                                     bool aConditional, TnxLockFailureReason* aReason);

  void stcAttach(TnxServerTransactionLevelTableLink* aLink);
  void stcDetach();
  TnxServerTransactionLevelTableLink* TransLink() const { return stcTransLink; }

  TnxServerTransactionLevelTableLink* stcTransLink = nullptr;
  TnxServerTransLinkCursor* stcTransLinkPrev = nullptr;
  TnxServerTransLinkCursor* stcTransLinkNext = nullptr;
};

// One content lock of one transaction level on one root table.
class TnxServerTransactionLevelTableLink : public TnxObject {
  PL_CLASS_INFO_DECL()
  friend class TnxServerTransLinkCursor;
  friend class TnxServerTransaction;
  friend class TnxServerTransactionLevel;

 public:
  // Decides the request at once (see the header comment).
  // REQUIRES: aTable's srtTransLinksPadlock held.
  TnxServerTransactionLevelTableLink(TnxServerTransactionLevel* aTransactionLevel, TnxServerRootTable* aTable,
                                     bool aExclusive, TnxServerTransactionLevelTableLink* aConvertFrom,
                                     TnxLockFailureReason* aReason);
  // Detaches its cursors and leaves every list. REQUIRES: the padlock.
  ~TnxServerTransactionLevelTableLink() override;
  TnxServerTransactionLevelTableLink(const TnxServerTransactionLevelTableLink&) = delete;
  TnxServerTransactionLevelTableLink& operator=(const TnxServerTransactionLevelTableLink&) = delete;

  // 0 when granted, else 10249 (after waiting within the thread's deadline
  // when the link has an event). Called without the padlock.
  TnxResult WaitFor();
  // Gives the link an event to be woken by. REQUIRES: the padlock.
  void CreateEvent();

  TnxServerTransactionLevelTableLinkState State() const { return ttlState; }
  bool Exclusive() const { return ttlExclusive; }
  bool Snapshot() const { return ttlSnapshot; }
  TnxServerTransactionLevel* Level() const { return ttlTransactionLevel; }
  TnxServerRootTable* Table() const { return ttlTable; }
  TnxServerTransactionLevelTableLink* ConvertFrom() const { return ttlConvertFrom; }
  TnxServerTransactionLevelTableLink* ConvertTo() const { return ttlConvertTo; }
  TnxServerTransactionLevelTableLink* TableNext() const { return ttlTableNext; }
  TnxServerTransLinkCursor* CursorsHead() const { return ttlCursorsHead; }
  TnxServerTransaction* Transaction() const;

  // --- list operations (REQUIRES: the table's padlock for the table list)
  // Head and tail of the table list holding a pending link, or a granted one
  // (snapshot links have their own list).
  std::pair<TnxServerTransactionLevelTableLink**, TnxServerTransactionLevelTableLink**> ttlTableList(bool aPending) const;
  void ttlAddToTable();
  void ttlRemoveFromTable();
  void ttlAddToTransaction();
  void ttlRemoveFromTransaction();
  void ttlAddToLevel();
  void ttlRemoveFromLevel();
  void ttlCompleteUpgrade();
  // Moves every cursor of aFrom to this link.
  void ttlTakeCursors(TnxServerTransactionLevelTableLink* aFrom);

  TnxLockFailureReason* ttlReason;
  bool ttlTransactionAdded = false;
  bool ttlTransactionLevelAdded = false;
  TnxServerTransactionLevel* ttlTransactionLevel;
  TnxServerTransactionLevelTableLink* ttlTransactionLevelPrev = nullptr;
  TnxServerTransactionLevelTableLink* ttlTransactionLevelNext = nullptr;
  bool ttlTableAdded = false;
  TnxServerRootTable* ttlTable;
  TnxServerTransactionLevelTableLink* ttlTablePrev = nullptr;
  TnxServerTransactionLevelTableLink* ttlTableNext = nullptr;
  TnxServerTransactionLevelTableLinkState ttlState = ttlsPending;
  bool ttlExclusive;
  bool ttlSnapshot = false;
  TnxServerTransactionLevelTableLink* ttlConvertFrom = nullptr;
  TnxServerTransactionLevelTableLink* ttlConvertTo = nullptr;
  TnxEvent* ttlEvent = nullptr;  // owned
  // The list the link is in on its table (valid while ttlTableAdded).
  TnxServerTransactionLevelTableLinkState ttlTableListState = ttlsPending;
  TnxServerTransLinkCursor* ttlCursorsHead = nullptr;
  TnxServerTransLinkCursor* ttlCursorsTail = nullptr;
  nxString ttlTableKey;  // made once, when it joins the transaction's list
};

// --- root-table queue operations (REQUIRES: aTable's srtTransLinksPadlock)
// 0 grant, 1 wait, 2 fail.
std::int32_t srtCheckLinkConflict(TnxServerRootTable* aTable, TnxServerTransactionLevelTableLink* aLink);
void srtProcessPendingLinks(TnxServerRootTable* aTable);
void srtFillLockFailureReason(TnxServerRootTable* aTable, TnxServerTransactionLevelTableLink* aLink,
                              TnxServerTransactionLevelTableLink* aConflicting);
// The table key under which a transaction lists its link.
nxString srtTableKey(TnxServerRootTable* aTable);
// True while the calling thread holds some table's srtTransLinksPadlock
// through TnxTransLinksGuard.
bool srtTransLinksPadlockHeld();

// Holds a table's srtTransLinksPadlock (counted per thread for the
// deadlock assertion).
class TnxTransLinksGuard {
 public:
  explicit TnxTransLinksGuard(TnxServerRootTable* aTable);
  ~TnxTransLinksGuard();
  TnxTransLinksGuard(const TnxTransLinksGuard&) = delete;
  TnxTransLinksGuard& operator=(const TnxTransLinksGuard&) = delete;
  // Lets go for a wait and takes it again on scope exit.
  class Unlocked {
   public:
    explicit Unlocked(TnxTransLinksGuard& aGuard);
    ~Unlocked();
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

   private:
    TnxTransLinksGuard& guard_;
  };

 private:
  TnxPadlock& padlock_;
};

class TnxServerTransactionLevel : public TnxBaseTransactionLevel {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxServerTransactionLevel(TnxBaseTransaction* aTransaction);
  // Frees links still chained (a transaction dropped without commit or
  // rollback), leaving their tables consistent.
  ~TnxServerTransactionLevel() override;

  TnxServerTransaction* Transaction() const;
  // Undoes every link of the level (rollback), then lets the tables of this
  // and every lower level roll back their engines.
  void stlRollbackLinks();
  void stlRollbackEngines();
  // Deadlock of this level: marks it (and every level above) deadlocked and
  // rolls back the changes and links of the levels down to it; the levels
  // stay. REQUIRES: no srtTransLinksPadlock held by the calling thread.
  void stlDeadlock();
  std::int32_t LinkCount() const;

  TnxServerTransactionLevelTableLink* stlTableLinksHead = nullptr;
  TnxServerTransactionLevelTableLink* stlTableLinksTail = nullptr;
};

class TnxServerTransaction : public TnxBaseTransaction {
  PL_CLASS_INFO_DECL()
 public:
  TnxServerTransaction(TnxBufferManager* aBufferManager, platform::TObject* aOwningSession, bool aSnapshot,
                       bool aFailSafe, bool aOverrideForceFailsafe);
  ~TnxServerTransaction() override;

  TnxTransLevelFactory TransLevelClass() override;
  // Nested: folds the level into its parent and moves its links there; top
  // level: releases the links around the buffer manager's commit and the
  // flush. Frees the level; after the last one the transaction itself.
  TnxResult Commit() override;
  // Rolls back the current level (a pseudo-level only marks the real level
  // corrupted). Frees the level; after the last one the transaction itself.
  TnxResult Rollback() override;

  TnxServerTransactionLevel* CurrentLevel() const;
  // The transaction's current link on aTable, or nil.
  TnxServerTransactionLevelTableLink* LinkFor(TnxServerRootTable* aTable) const;
  void stGetInfo(TnxTransactionInfo& aInfo) const;

  platform::TStringList* stTableLinks = nullptr;  // owned, made on first use; objects: the links
  std::int32_t stForceNested = 0;

 private:
  void stCommitNested(TnxServerTransactionLevel* aLevel);
  void stCommitTopLevel(TnxServerTransactionLevel* aLevel);
  void stAttachJournal(TnxServerTransactionLevel* aLevel);
  void stAfterLevel();
};

class TnxServerTransContextOwnedTransaction : public TnxServerTransaction {
  PL_CLASS_INFO_DECL()
 public:
  TnxServerTransContextOwnedTransaction(TnxServerTransContext* aTransContext, bool aSnapshot, bool aFailSafe,
                                        bool aOverrideForceFailsafe);
  ~TnxServerTransContextOwnedTransaction() override;

  TnxServerTransContext* TransContext() const { return stcotTransContext; }

 private:
  TnxServerTransContext* stcotTransContext;
};

class TnxServerTransContext : public TnxAbstractTransContext {
  PL_CLASS_INFO_DECL()
  friend class TnxServerTransContextOwnedTransaction;

 public:
  TnxServerTransContext(TnxAbstractSession* aSession, TnxWord32 aTimeout);
  ~TnxServerTransContext() override;

  TnxResult TransactionStart(bool aFailSafe, bool aSnapShot) override;
  // Each cursor must be a server cursor of this context.
  TnxResult TransactionStartWith(bool aFailSafe, bool aSnapShot, std::span<TnxAbstractCursor* const> aCursors) override;
  TnxResult TransactionCommit() override;
  TnxResult TransactionRollback() override;
  TnxResult TransactionCorrupted() override;
  TnxResult TransactionGetLevel(std::int32_t& aTransLevel) override;
  TnxResult TransactionGetInfo(TnxTransactionInfo& aTransInfo, bool aAllowCached) override;
  // Inherited, then rolls back until no transaction is left.
  void atcForceRollback() override;
  void Failed() override;

  TnxResult stcTransactionStart(bool aFailSafe, bool aSnapShot, bool aOverrideForceFailsafe, bool aNoMoreNested,
                                bool aForceNested, bool aOverrideSecurity);
  TnxResult stcTransactionStartWith(bool aFailSafe, bool aSnapShot, std::span<TnxServerTransLinkCursor* const> aCursors,
                                    bool aOverrideForceFailsafe, bool aNoMoreNested, bool aForceNested,
                                    bool aOverrideSecurity);
  TnxResult stcTransactionCommit();
  TnxResult stcTransactionRollback();
  TnxResult stcTransactionMarkCorrupted();

  TnxServerTransContextOwnedTransaction* Transaction() const { return stcTransaction; }
  bool stcForceFailSafe = false;

 private:
  // Start without the after-notification (start with cursors defers it).
  TnxResult stcStartLevel(bool aFailSafe, bool aSnapShot, bool aOverrideForceFailsafe, bool aForceNested,
                          bool aOverrideSecurity);
  TnxResult stcConverted(const std::function<TnxResult()>& aWork);

  TnxPadlock stcTransactionPadlock;
  TnxServerTransContextOwnedTransaction* stcTransaction = nullptr;
};
