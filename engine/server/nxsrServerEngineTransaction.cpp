// Server transactions, levels, table links and the transaction context.
#include <algorithm>
#include <tuple>
#include <vector>

#include "nxllException.h"
#include "nxsrServerEngineInt.h"
#include "nxsrTimeoutHandling.h"
#include "plString.h"

PL_CLASS_INFO_IMPL(TnxServerTransactionLevelTableLink, TnxObject, "TnxServerTransactionLevelTableLink", nullptr)
PL_CLASS_INFO_IMPL(TnxServerTransactionLevel, TnxBaseTransactionLevel, "TnxServerTransactionLevel", nullptr)
PL_CLASS_INFO_IMPL(TnxServerTransaction, TnxBaseTransaction, "TnxServerTransaction", nullptr)
PL_CLASS_INFO_IMPL(TnxServerTransContextOwnedTransaction, TnxServerTransaction,
                   "TnxServerTransContextOwnedTransaction", nullptr)
PL_CLASS_INFO_IMPL(TnxServerTransContext, TnxAbstractTransContext, "TnxServerTransContext", nullptr)

namespace {

constexpr TnxResult kInvalidHandle = 9990;
constexpr TnxResult kLockTimeout = 10249;
constexpr TnxResult kDeadlock = 10255;
constexpr TnxResult kNoTransaction = 10257;
constexpr TnxResult kLevelInUse = 8455;
constexpr TnxResult kTransactionCorrupt = 15443;
constexpr TnxResult kTableReadOnly = 10763;
// A thread with this much time left or less does not wait.
constexpr std::int32_t kMinWaitMs = 5;

thread_local std::int32_t tTransLinksHeld = 0;

TnxAbstractSession* sessionOf(platform::TObject* aObject) { return dynamic_cast<TnxAbstractSession*>(aObject); }

platform::TObject* owningSessionOf(TnxServerTransactionLevelTableLink* aLink) {
  return aLink->Transaction()->btOwningSession;
}

// The number of granted links other than aExcept.
std::int32_t grantedCountExcept(TnxServerRootTable* aTable, TnxServerTransactionLevelTableLink* aExcept) {
  std::int32_t count = 0;
  for (auto* l = aTable->srtTransLinksGrantedHead; l; l = l->ttlTableNext)
    if (l != aExcept) ++count;
  return count;
}

}  // namespace

// ---- Padlock guard ---------------------------------------------------------------------

TnxTransLinksGuard::TnxTransLinksGuard(TnxServerRootTable* aTable) : padlock_(*aTable->TransLinksPadlock()) {
  padlock_.Lock();
  ++tTransLinksHeld;
}

TnxTransLinksGuard::~TnxTransLinksGuard() {
  --tTransLinksHeld;
  padlock_.Unlock();
}

TnxTransLinksGuard::Unlocked::Unlocked(TnxTransLinksGuard& aGuard) : guard_(aGuard) {
  --tTransLinksHeld;
  guard_.padlock_.Unlock();
}

TnxTransLinksGuard::Unlocked::~Unlocked() {
  guard_.padlock_.Lock();
  ++tTransLinksHeld;
}

bool srtTransLinksPadlockHeld() { return tTransLinksHeld > 0; }

nxString srtTableKey(TnxServerRootTable* aTable) {
  nxString key = aTable->Folder() ? aTable->Folder()->Path() : nxString();
  key += u'\\';
  key += aTable->RootName();
  return key;
}

// ---- Cursors -------------------------------------------------------------------------------

TnxServerTransLinkCursor::~TnxServerTransLinkCursor() {
  if (stcTransLink) stcDetach();
}

TnxResult TnxServerTransLinkCursor::sbcBeginContentLock(bool, bool, bool) { return kInvalidHandle; }

void TnxServerTransLinkCursor::stcAttach(TnxServerTransactionLevelTableLink* aLink) {
  nxAssert(stcTransLink == nullptr && !stcTransLinkPrev && !stcTransLinkNext, "Cursor attached to two links");
  stcTransLinkPrev = aLink->ttlCursorsTail;
  if (stcTransLinkPrev)
    stcTransLinkPrev->stcTransLinkNext = this;
  else
    aLink->ttlCursorsHead = this;
  aLink->ttlCursorsTail = this;
  stcTransLink = aLink;
}

void TnxServerTransLinkCursor::stcDetach() {
  TnxServerTransactionLevelTableLink* link = stcTransLink;
  if (!link) return;
  (stcTransLinkPrev ? stcTransLinkPrev->stcTransLinkNext : link->ttlCursorsHead) = stcTransLinkNext;
  (stcTransLinkNext ? stcTransLinkNext->stcTransLinkPrev : link->ttlCursorsTail) = stcTransLinkPrev;
  stcTransLinkPrev = stcTransLinkNext = nullptr;
  stcTransLink = nullptr;
}

std::atomic<void (*)()> nxsrDeadlockTestHook{nullptr};
std::atomic<void (*)()> nxsrCommitFlushTestHook{nullptr};

TnxResult TnxServerTransLinkCursor::sbcBeginTransContentLock(TnxServerTransaction* aTrans, TnxServerRootTable* aTable,
                                                             bool aExclusive, bool aConditional,
                                                             TnxLockFailureReason* aReason) {
  if (!stcTransLink) {
    if (TnxServerTransactionLevelTableLink* found = aTrans->LinkFor(aTable)) {
      TnxTransLinksGuard guard(aTable);
      stcAttach(found);
    }
  }
  TnxServerTransactionLevelTableLink* convertFrom = stcTransLink;
  if (convertFrom) {
    if (const TnxResult state = convertFrom->Transaction()->CheckState()) return state;
    if (!aExclusive || convertFrom->ttlExclusive) return 0;
    if (convertFrom->ttlSnapshot) return kTableReadOnly;
  } else if (const TnxResult state = aTrans->CheckState()) {
    return state;
  }
  // An upgrade belongs to the current level: its commit, rollback and
  // completion rules work on that level.
  TnxServerTransactionLevel* level = aTrans->CurrentLevel();

  TnxServerTransactionLevelTableLink* link = nullptr;
  {
    // One holding of the padlock from the look at the upgrade slot to the
    // new link: another transaction's upgrade cannot take the slot between.
    TnxTransLinksGuard guard(aTable);
    if (convertFrom) {
      if (TnxServerTransactionLevelTableLink* upgraded = convertFrom->ttlConvertTo;
          upgraded && upgraded->ttlState == ttlsGranted) {
        stcDetach();
        stcAttach(upgraded);
        return 0;
      }
      if (aTable->srtTransLinksGrantedHead == convertFrom && aTable->srtTransLinksGrantedTail == convertFrom &&
          convertFrom->ttlTransactionLevel == level) {
        convertFrom->ttlExclusive = true;
        return 0;
      }
      if (aTable->srtTransLinksPendingUpgrade) {
        // Decided and marked under the padlock; the rollback of the level's
        // links takes other tables' padlocks, so it runs without this one.
        TnxServerTransactionLevel* deadlocked = convertFrom->ttlTransactionLevel;
        deadlocked->MarkDeadlock();
        TnxTransLinksGuard::Unlocked unlocked(guard);
        if (auto hook = nxsrDeadlockTestHook.load()) hook();
        deadlocked->stlDeadlock();
        return kDeadlock;
      }
    }
    link = platform::create<TnxServerTransactionLevelTableLink>(level, aTable, aExclusive, convertFrom, aReason);
    if (link->ttlState == ttlsFailed) {
      platform::TObject::free(link);
      return kLockTimeout;
    }
    if (link->ttlState == ttlsGranted) {
      // Granted at once: no wait, no second round on the padlock.
      if (stcTransLink != link) {
        stcDetach();
        stcAttach(link);
      }
      link->ttlReason = nullptr;
      return 0;
    }
    if (!aConditional) link->CreateEvent();
  }
  if (link->ttlEvent) link->WaitFor();
  TnxTransLinksGuard guard(aTable);
  if (link->ttlState != ttlsGranted) {
    // It may have been granted after the wait ran out: then it takes part
    // in the queue no more either way.
    platform::TObject::free(link);
    srtProcessPendingLinks(aTable);
    return kLockTimeout;
  }
  if (stcTransLink != link) {
    stcDetach();
    stcAttach(link);
  }
  link->ttlReason = nullptr;
  nxAssert(link->ttlState == ttlsGranted, "Content lock granted without a granted link");
  nxAssert(!aExclusive || (link->ttlExclusive && aTable->srtTransLinksGrantedHead == link &&
                           aTable->srtTransLinksGrantedTail == link),
           "Exclusive content lock is not the only granted link");
  return 0;
}

// ---- Links --------------------------------------------------------------------------------

TnxServerTransactionLevelTableLink::TnxServerTransactionLevelTableLink(TnxServerTransactionLevel* aTransactionLevel,
                                                                       TnxServerRootTable* aTable, bool aExclusive,
                                                                       TnxServerTransactionLevelTableLink* aConvertFrom,
                                                                       TnxLockFailureReason* aReason)
    : ttlReason(aReason), ttlTransactionLevel(aTransactionLevel), ttlTable(aTable), ttlExclusive(aExclusive) {
  TnxServerTransaction* trans = aTransactionLevel->Transaction();
  if (trans->State().contains(tsSnapshot) && aTable->TableScope() != tsTempUnnamed) {
    nxAssert(!aExclusive, "Exclusive link of a snapshot transaction");
    ttlSnapshot = true;
    ttlState = ttlsGranted;
    ttlAddToTransaction();
    ttlAddToLevel();
    ttlAddToTable();
    return;
  }
  if (aConvertFrom) {
    nxAssert(aConvertFrom->ttlTable == aTable && aConvertFrom->Transaction() == trans &&
                 aConvertFrom->ttlTransactionLevel->tlLevel <= aTransactionLevel->tlLevel && !aConvertFrom->ttlConvertTo,
             "Invalid upgrade link");
    ttlConvertFrom = aConvertFrom;
    aConvertFrom->ttlConvertTo = this;
    ttlState = ttlsPendingUpgrade;
    switch (srtCheckLinkConflict(aTable, this)) {
      case 0:
        ttlState = ttlsGranted;
        ttlCompleteUpgrade();
        break;
      case 1:
        ttlAddToTable();
        break;
      default:
        ttlState = ttlsFailed;
        break;
    }
    return;
  }
  switch (srtCheckLinkConflict(aTable, this)) {
    case 0:
      ttlState = ttlsGranted;
      ttlAddToTransaction();
      ttlAddToLevel();
      ttlAddToTable();
      break;
    case 1:
      ttlState = ttlsPending;
      ttlAddToTransaction();
      ttlAddToLevel();
      ttlAddToTable();
      break;
    default:
      ttlState = ttlsFailed;
      break;
  }
}

TnxServerTransactionLevelTableLink::~TnxServerTransactionLevelTableLink() {
  while (ttlCursorsHead) ttlCursorsHead->stcDetach();
  if (ttlConvertFrom && ttlConvertFrom->ttlConvertTo == this) ttlConvertFrom->ttlConvertTo = nullptr;
  if (ttlConvertTo && ttlConvertTo->ttlConvertFrom == this) ttlConvertTo->ttlConvertFrom = nullptr;
  ttlConvertFrom = ttlConvertTo = nullptr;
  if (ttlTransactionAdded) ttlRemoveFromTransaction();
  if (ttlTransactionLevelAdded) ttlRemoveFromLevel();
  if (ttlTableAdded) ttlRemoveFromTable();
  platform::TObject::free(std::exchange(ttlEvent, nullptr));
}

TnxServerTransaction* TnxServerTransactionLevelTableLink::Transaction() const {
  return ttlTransactionLevel->Transaction();
}

void TnxServerTransactionLevelTableLink::CreateEvent() {
  if (!ttlEvent) ttlEvent = platform::create<TnxEvent>();
}

TnxResult TnxServerTransactionLevelTableLink::WaitFor() {
  bool signalled = false;
  const std::int32_t remaining = nxRemainingTimeout();
  if (ttlEvent && remaining > kMinWaitMs) {
    try {
      signalled = ttlEvent->WaitForQuietly(static_cast<TnxWord32>(remaining)) == nxWaitSignaled;
    } catch (...) {
      signalled = false;
    }
  }
  TnxTransLinksGuard guard(ttlTable);
  // The signaller set it under the padlock: it is done with the event.
  if (signalled) platform::TObject::free(std::exchange(ttlEvent, nullptr));
  return ttlState == ttlsGranted ? 0 : kLockTimeout;
}

std::pair<TnxServerTransactionLevelTableLink**, TnxServerTransactionLevelTableLink**>
TnxServerTransactionLevelTableLink::ttlTableList(bool aPending) const {
  TnxServerRootTable& t = *ttlTable;
  if (aPending) return {&t.srtTransLinksPendingHead, &t.srtTransLinksPendingTail};
  if (ttlSnapshot) return {&t.srtTransLinksSnapshotGrantedHead, &t.srtTransLinksSnapshotGrantedTail};
  return {&t.srtTransLinksGrantedHead, &t.srtTransLinksGrantedTail};
}

void TnxServerTransactionLevelTableLink::ttlAddToTable() {
  nxAssert(!ttlTableAdded, "Link added to its table twice");
  TnxServerRootTable& t = *ttlTable;
  TnxServerTransactionLevelTableLink** head = nullptr;
  TnxServerTransactionLevelTableLink** tail = nullptr;
  switch (ttlState) {
    case ttlsPending:
      std::tie(head, tail) = ttlTableList(true);
      break;
    case ttlsPendingUpgrade:
      nxAssert(t.srtTransLinksPendingUpgrade == nullptr, "Second pending upgrade on one table");
      t.srtTransLinksPendingUpgrade = this;
      ttlTableListState = ttlsPendingUpgrade;
      ttlTableAdded = true;
      return;
    case ttlsGranted:
      std::tie(head, tail) = ttlTableList(false);
      break;
    case ttlsFailed:
      nxAssert(false, "Failed link added to its table");
      return;
  }
  ttlTablePrev = *tail;
  ttlTableNext = nullptr;
  (ttlTablePrev ? ttlTablePrev->ttlTableNext : *head) = this;
  *tail = this;
  ttlTableListState = ttlState;
  ttlTableAdded = true;
}

void TnxServerTransactionLevelTableLink::ttlRemoveFromTable() {
  if (!ttlTableAdded) return;
  TnxServerRootTable& t = *ttlTable;
  TnxServerTransactionLevelTableLink** head = nullptr;
  TnxServerTransactionLevelTableLink** tail = nullptr;
  switch (ttlTableListState) {
    case ttlsPending:
      std::tie(head, tail) = ttlTableList(true);
      break;
    case ttlsPendingUpgrade:
      nxAssert(t.srtTransLinksPendingUpgrade == this, "Upgrade slot holds another link");
      t.srtTransLinksPendingUpgrade = nullptr;
      ttlTableAdded = false;
      return;
    default:
      std::tie(head, tail) = ttlTableList(false);
      break;
  }
  nxAssert(ttlTablePrev ? ttlTablePrev->ttlTableNext == this : *head == this, "Broken table link list");
  nxAssert(ttlTableNext ? ttlTableNext->ttlTablePrev == this : *tail == this, "Broken table link list");
  (ttlTablePrev ? ttlTablePrev->ttlTableNext : *head) = ttlTableNext;
  (ttlTableNext ? ttlTableNext->ttlTablePrev : *tail) = ttlTablePrev;
  ttlTablePrev = ttlTableNext = nullptr;
  ttlTableAdded = false;
}

void TnxServerTransactionLevelTableLink::ttlAddToTransaction() {
  nxAssert(!ttlTransactionAdded, "Link added to its transaction twice");
  if (ttlTableKey.empty()) ttlTableKey = srtTableKey(ttlTable);
  platform::TStringList*& list = Transaction()->stTableLinks;
  if (!list) {
    // Made on first use: many transactions touch no table.
    list = platform::create<platform::TStringList>(platform::Duplicates::error, true);
    list->setSorted(true);
  }
  list->addObject(ttlTableKey, this);
  ttlTransactionAdded = true;
}

void TnxServerTransactionLevelTableLink::ttlRemoveFromTransaction() {
  if (!ttlTransactionAdded) return;
  platform::TStringList& list = *Transaction()->stTableLinks;
  int index = 0;
  if (list.find(ttlTableKey, index) && list.objects(index) == this) list.deleteAt(index);
  ttlTransactionAdded = false;
}

void TnxServerTransactionLevelTableLink::ttlAddToLevel() {
  nxAssert(!ttlTransactionLevelAdded, "Link added to its level twice");
  TnxServerTransactionLevel& level = *ttlTransactionLevel;
  ttlTransactionLevelPrev = level.stlTableLinksTail;
  ttlTransactionLevelNext = nullptr;
  (ttlTransactionLevelPrev ? ttlTransactionLevelPrev->ttlTransactionLevelNext : level.stlTableLinksHead) = this;
  level.stlTableLinksTail = this;
  ttlTransactionLevelAdded = true;
}

void TnxServerTransactionLevelTableLink::ttlRemoveFromLevel() {
  if (!ttlTransactionLevelAdded) return;
  TnxServerTransactionLevel& level = *ttlTransactionLevel;
  (ttlTransactionLevelPrev ? ttlTransactionLevelPrev->ttlTransactionLevelNext : level.stlTableLinksHead) =
      ttlTransactionLevelNext;
  (ttlTransactionLevelNext ? ttlTransactionLevelNext->ttlTransactionLevelPrev : level.stlTableLinksTail) =
      ttlTransactionLevelPrev;
  ttlTransactionLevelPrev = ttlTransactionLevelNext = nullptr;
  ttlTransactionLevelAdded = false;
}

void TnxServerTransactionLevelTableLink::ttlTakeCursors(TnxServerTransactionLevelTableLink* aFrom) {
  while (TnxServerTransLinkCursor* cursor = aFrom->ttlCursorsHead) {
    cursor->stcDetach();
    cursor->stcAttach(this);
  }
}

void TnxServerTransactionLevelTableLink::ttlCompleteUpgrade() {
  TnxServerTransactionLevelTableLink* from = ttlConvertFrom;
  nxAssert(from != nullptr, "Upgrade without its converted link");
  from->ttlRemoveFromTransaction();
  from->ttlRemoveFromTable();
  if (from->ttlTransactionLevel == ttlTransactionLevel) {
    from->ttlRemoveFromLevel();
    ttlTakeCursors(from);
    platform::TObject::free(from);  // clears ttlConvertFrom
  }
  ttlAddToTransaction();
  ttlAddToLevel();
  ttlAddToTable();
}

// ---- Root-table queue ------------------------------------------------------------------

std::int32_t srtCheckLinkConflict(TnxServerRootTable* aTable, TnxServerTransactionLevelTableLink* aLink) {
  if (aLink->ttlReason) aLink->ttlReason->Clear();
  TnxServerTransactionLevelTableLink* head = aTable->srtTransLinksGrantedHead;
  if (!head) return 0;
  platform::TObject* session = owningSessionOf(aLink);
  if (aLink->ttlExclusive) {
    if (head == aTable->srtTransLinksGrantedTail && head == aLink->ttlConvertFrom) return 0;
    TnxServerTransactionLevelTableLink* last = nullptr;
    for (auto* l = head; l; l = l->ttlTableNext) {
      if (l == aLink->ttlConvertFrom) continue;
      if (session && owningSessionOf(l) == session) {
        srtFillLockFailureReason(aTable, aLink, l);
        return 2;
      }
      last = l;
    }
    srtFillLockFailureReason(aTable, aLink, last);
    return 1;
  }
  if (head->ttlExclusive) {
    srtFillLockFailureReason(aTable, aLink, head);
    // Nobody but the requester's own session could end this conflict.
    return session && owningSessionOf(head) == session ? 2 : 1;
  }
  return 0;
}

void srtFillLockFailureReason(TnxServerRootTable* aTable, TnxServerTransactionLevelTableLink* aLink,
                              TnxServerTransactionLevelTableLink* aConflicting) {
  TnxLockFailureReason* reason = std::exchange(aLink->ttlReason, nullptr);
  if (!reason) return;
  reason->Clear();
  const auto kind = [](bool aExclusive) { return aExclusive ? nxString(u"exclusive") : nxString(u"shared"); };
  const auto flag = [](bool aValue) { return aValue ? nxString(u"1") : nxString(u"0"); };
  nxString line = u"The requested " + kind(aLink->ttlExclusive) + u" transaction lock" +
                  (aLink->ttlConvertFrom ? nxString(u" upgrade ") : nxString(u" ")) + u"for table \"" +
                  aTable->FullName() + u"\" could not be granted";
  bool multiple = false;
  if (aConflicting) {
    multiple = grantedCountExcept(aTable, aLink->ttlConvertFrom) > 1;
    line += multiple ? u" due to multiple conflicting " + kind(aConflicting->ttlExclusive) + u" locks."
                     : u" due to a conflicting " + kind(aConflicting->ttlExclusive) + u" transaction lock.";
    line += nxEncodeCustomInfo(u"LockError.Type", u"transaction");
    line += nxEncodeCustomInfo(u"LockError.RequestExclusive", flag(aLink->ttlExclusive));
    line += nxEncodeCustomInfo(u"LockError.ConflictExclusive", flag(aConflicting->ttlExclusive));
    line += nxEncodeCustomInfo(u"LockError.ConflictMultiple", flag(multiple));
  } else {
    line += u".";
    line += nxEncodeCustomInfo(u"LockError.Type", u"transaction");
    line += nxEncodeCustomInfo(u"LockError.RequestExclusive", flag(aLink->ttlExclusive));
  }
  reason->add(line);
  reason->add(u"");
  platform::TObject* conflictSession = aConflicting ? owningSessionOf(aConflicting) : nullptr;
  TnxAbstractSession* session = sessionOf(conflictSession);
  if (!session) {
    reason->add(nxString(u"The conflict occurred with an unknown session.") +
                nxEncodeCustomInfo(u"LockError.UnknownSession", u"1"));
  } else if (conflictSession == owningSessionOf(aLink)) {
    reason->add(nxEncodeCustomInfo(u"LockError.SameSession", u"1"));
    reason->SameSession = true;
  } else {
    reason->add(multiple ? u"One of the conflicting Sessions is:" : u"The conflict occurred with the following session:");
    session->GetUserInfo(*reason);
  }
}

namespace {

void grantLink(TnxServerTransactionLevelTableLink* aLink) {
  aLink->ttlRemoveFromTable();
  if (aLink->ttlState == ttlsPendingUpgrade) {
    aLink->ttlState = ttlsGranted;
    aLink->ttlCompleteUpgrade();
  } else {
    aLink->ttlState = ttlsGranted;
    aLink->ttlAddToTable();
  }
  if (aLink->ttlEvent) aLink->ttlEvent->SignalEvent();
}

void failLink(TnxServerTransactionLevelTableLink* aLink) {
  aLink->ttlRemoveFromTable();
  aLink->ttlState = ttlsFailed;
  if (aLink->ttlEvent) aLink->ttlEvent->SignalEvent();
}

// Tests one waiting link; false when it must go on waiting.
bool processLink(TnxServerRootTable* aTable, TnxServerTransactionLevelTableLink* aLink) {
  switch (srtCheckLinkConflict(aTable, aLink)) {
    case 0:
      grantLink(aLink);
      return true;
    case 1:
      return false;
    default:
      failLink(aLink);
      return true;
  }
}

}  // namespace

void srtProcessPendingLinks(TnxServerRootTable* aTable) {
  if (TnxServerTransactionLevelTableLink* upgrade = aTable->srtTransLinksPendingUpgrade) {
    processLink(aTable, upgrade);
    return;
  }
  while (TnxServerTransactionLevelTableLink* head = aTable->srtTransLinksPendingHead)
    if (!processLink(aTable, head)) break;
}

// ---- Levels --------------------------------------------------------------------------------

TnxServerTransactionLevel::TnxServerTransactionLevel(TnxBaseTransaction* aTransaction)
    : TnxBaseTransactionLevel(aTransaction) {}

TnxServerTransactionLevel::~TnxServerTransactionLevel() {
  while (TnxServerTransactionLevelTableLink* link = stlTableLinksHead) {
    TnxServerRootTable* table = link->ttlTable;
    TnxTransLinksGuard guard(table);
    platform::TObject::free(link);
    srtProcessPendingLinks(table);
  }
}

TnxServerTransaction* TnxServerTransactionLevel::Transaction() const {
  return static_cast<TnxServerTransaction*>(tlTransaction);
}

std::int32_t TnxServerTransactionLevel::LinkCount() const {
  std::int32_t count = 0;
  for (auto* l = stlTableLinksHead; l; l = l->ttlTransactionLevelNext) ++count;
  return count;
}

void TnxServerTransactionLevel::stlRollbackLinks() {
  TnxServerTransaction* trans = Transaction();
  while (TnxServerTransactionLevelTableLink* link = stlTableLinksHead) {
    TnxServerRootTable* table = link->ttlTable;
    TnxTransLinksGuard guard(table);
    if (TnxServerTransactionLevelTableLink* from = link->ttlConvertFrom) {
      // The table goes back to the shared link the upgrade replaced.
      link->ttlRemoveFromTransaction();
      link->ttlRemoveFromTable();
      from->ttlAddToTransaction();
      from->ttlAddToTable();
      from->ttlConvertTo = nullptr;
      link->ttlConvertFrom = nullptr;
      from->ttlTakeCursors(link);
      srtProcessPendingLinks(table);
    } else {
      table->sbtRollback(trans);
      table->sbtEndTransaction(trans);
      link->ttlRemoveFromTable();
      srtProcessPendingLinks(table);
    }
    platform::TObject::free(link);
  }
  stlRollbackEngines();
}

void TnxServerTransactionLevel::stlRollbackEngines() {
  TnxServerTransaction* trans = Transaction();
  for (auto* level = this; level; level = static_cast<TnxServerTransactionLevel*>(level->tlPrev))
    for (auto* link = level->stlTableLinksHead; link; link = link->ttlTransactionLevelNext) {
      TnxTransLinksGuard guard(link->ttlTable);
      link->ttlTable->sbtRollback(trans);
    }
}

void TnxServerTransactionLevel::stlDeadlock() {
  nxAssert(!srtTransLinksPadlockHeld(), "Deadlock handling with a table's link padlock held");
  TnxServerTransaction* trans = Transaction();
  MarkDeadlock();
  for (auto* level = trans->CurrentLevel(); level; level = static_cast<TnxServerTransactionLevel*>(level->tlPrev)) {
    trans->btBufferManager->RollbackTransactionLevel(level);
    level->stlRollbackLinks();
    if (level == this) break;
  }
}

// ---- Transactions ----------------------------------------------------------------------

TnxServerTransaction::TnxServerTransaction(TnxBufferManager* aBufferManager, platform::TObject* aOwningSession,
                                           bool aSnapshot, bool aFailSafe, bool)
    : TnxBaseTransaction(aBufferManager, aOwningSession, aSnapshot, aFailSafe) {
  if (aFailSafe) btState.include(tsFailsafe);
}

TnxServerTransaction::~TnxServerTransaction() {
  // Levels (and with them their links) go before the list the links use.
  while (btTransLevelsTail) {
    if (btTransLevelsTail->tlBlockCount > 0) {
      try {
        btBufferManager->RollbackTransaction(this);
      } catch (...) {
        // Only the level's own copies are left to give back.
      }
    }
    platform::TObject::discard(btTransLevelsTail);
  }
  platform::TObject::free(std::exchange(stTableLinks, nullptr));
}

TnxTransLevelFactory TnxServerTransaction::TransLevelClass() { return &nxCreateTransLevel<TnxServerTransactionLevel>; }

TnxServerTransactionLevel* TnxServerTransaction::CurrentLevel() const {
  return static_cast<TnxServerTransactionLevel*>(btTransLevelsTail);
}

TnxServerTransactionLevelTableLink* TnxServerTransaction::LinkFor(TnxServerRootTable* aTable) const {
  int index = 0;
  if (!stTableLinks || !stTableLinks->find(srtTableKey(aTable), index)) return nullptr;
  return static_cast<TnxServerTransactionLevelTableLink*>(stTableLinks->objects(index));
}

void TnxServerTransaction::stGetInfo(TnxTransactionInfo& aInfo) const {
  aInfo = {};
  aInfo.tiStartTime = btStartTime;
  aInfo.tiStartLSN = btStartLSN;
  aInfo.tiLSN = btLSN;
  aInfo.tiBlockCount = static_cast<std::uint32_t>(btBlockCount);
  aInfo.tiState = btState;
  if (!btTransLevelsTail) return;
  aInfo.tiLevel = btTransLevelsTail->Level();
  aInfo.tiLevels.resize(static_cast<std::size_t>(btTransLevelsTail->tlLevel) + 1);
  for (TnxBaseTransactionLevel* l = btTransLevelsTail; l; l = l->tlPrev) {
    TnxTransactionLevelInfo& info = aInfo.tiLevels.at(static_cast<std::size_t>(l->tlLevel));
    info.tliStartTime = l->tlStartTime;
    info.tliStartLSN = l->tlStartLSN;
    info.tliLSN = l->tlLSN;
    info.tliLevel = l->tlLevel;
    info.tliBlockCount = l->tlBlockCount;
    info.tliNestingCount = l->tlNestingCount;
    info.tliState = l->tlState;
  }
}

TnxResult TnxServerTransaction::Commit() {
  TnxServerTransactionLevel* level = CurrentLevel();
  nxAssert(level != nullptr, "Commit of a transaction without a level");
  if (level->tlLevel > 0 || level->tlNestingCount > 0) {
    if (!level->StopNested()) return 0;
    stCommitNested(level);
  } else {
    stCommitTopLevel(level);
  }
  stAfterLevel();
  return 0;
}

void TnxServerTransaction::stCommitNested(TnxServerTransactionLevel* aLevel) {
  btBufferManager->CommitTransaction(this, nullptr, false);
  auto* parent = static_cast<TnxServerTransactionLevel*>(aLevel->tlPrev);
  while (TnxServerTransactionLevelTableLink* link = aLevel->stlTableLinksHead) {
    TnxTransLinksGuard guard(link->ttlTable);
    link->ttlRemoveFromLevel();
    link->ttlTransactionLevel = parent;
    link->ttlAddToLevel();
    if (TnxServerTransactionLevelTableLink* from = link->ttlConvertFrom; from && from->ttlTransactionLevel == parent) {
      from->ttlRemoveFromLevel();
      link->ttlTakeCursors(from);
      platform::TObject::free(from);
    }
  }
  parent->tlLSN = aLevel->tlLSN;
}

void TnxServerTransaction::stAttachJournal(TnxServerTransactionLevel* aLevel) {
  if (btJournal) return;
  for (auto* link = aLevel->stlTableLinksHead; link; link = link->ttlTransactionLevelNext) {
    if (!link->ttlExclusive) continue;
    TnxServerRootTable* table = link->ttlTable;
    TnxServerFolder* folder = table->Folder();
    if (!folder || !folder->TransManager()) continue;
    for (TnxBaseFile* file = btTransFileListHead; file; file = file->TransNext()) {
      if (file->IsTemporary()) continue;
      bool ours = false;
      for (std::int32_t i = 0; i < table->FileCount() && !ours; ++i) ours = table->Files(i) == file;
      if (!ours) continue;
      if (TnxBaseJournalEngine* journal = folder->TransManager()->stmCreateJournal(btLSN)) SetJournal(journal);
      return;
    }
  }
}

void TnxServerTransaction::stCommitTopLevel(TnxServerTransactionLevel* aLevel) {
  TnxOwned<TnxFlushList> flush(platform::create<TnxFlushList>());
  // The exclusive links, with how far each got: commit padlock and portal
  // write taken, then the lock containers ended and the portal left.
  struct Held {
    TnxServerTransactionLevelTableLink* link;
    bool ended;
  };
  std::vector<Held> held;
  auto releaseHeld = [&] {
    for (Held& h : held) {
      TnxServerRootTable* table = h.link->ttlTable;
      if (!h.ended) {
        try {
          table->srtEndExclusiveCommit(this);
        } catch (...) {
          // The portal must be left whatever the containers said.
        }
      }
      {
        TnxTransLinksGuard guard(table);
        h.link->ttlRemoveFromTable();
        srtProcessPendingLinks(table);
      }
      table->srtUnlockCommit();
      platform::TObject::free(h.link);
    }
    held.clear();
  };
  try {
    std::vector<TnxServerTransactionLevelTableLink*> exclusive;
    for (TnxServerTransactionLevelTableLink* link = aLevel->stlTableLinksHead; link;) {
      TnxServerTransactionLevelTableLink* next = link->ttlTransactionLevelNext;
      TnxServerRootTable* table = link->ttlTable;
      if (link->ttlExclusive && link->ttlState == ttlsGranted) {
        exclusive.push_back(link);
      } else {
        TnxTransLinksGuard guard(table);
        link->ttlRemoveFromTable();
        srtProcessPendingLinks(table);
        platform::TObject::free(link);
      }
      link = next;
    }
    // Commit padlocks in one order (by table key) for every transaction.
    std::sort(exclusive.begin(), exclusive.end(),
              [](const TnxServerTransactionLevelTableLink* a, const TnxServerTransactionLevelTableLink* b) {
                return a->ttlTableKey < b->ttlTableKey;
              });
    for (TnxServerTransactionLevelTableLink* link : exclusive) {
      link->ttlTable->srtBeginExclusiveCommit();
      held.push_back({link, false});
    }
    stAttachJournal(aLevel);
    btBufferManager->CommitTransaction(this, flush.get(), false);
    for (Held& h : held) {
      TnxServerRootTable* table = h.link->ttlTable;
      table->srtEndExclusiveCommit(this);
      h.ended = true;
      TnxTransLinksGuard guard(table);
      h.link->ttlRemoveFromTable();
      srtProcessPendingLinks(table);
    }
    if (auto hook = nxsrCommitFlushTestHook.load()) hook();
    flush->Flush(btState.contains(tsFailsafe));
    releaseHeld();
  } catch (...) {
    releaseHeld();
    throw;
  }
}

void TnxServerTransaction::stAfterLevel() {
  platform::TObject::free(btTransLevelsTail);
  if (!btTransLevelsTail) {
    platform::TObject::free(this);
    return;
  }
  if (btWriteThroughCommit && !Nested()) {
    btWriteThroughCommit = false;
    btBufferManager->CommitTransaction(this, nullptr, true);
  }
}

TnxResult TnxServerTransaction::Rollback() {
  TnxServerTransactionLevel* level = CurrentLevel();
  nxAssert(level != nullptr, "Rollback of a transaction without a level");
  if (!level->StopNested()) {
    level->MarkCorrupted();
    return 0;
  }
  btBufferManager->RollbackTransaction(this);
  level->stlRollbackLinks();
  platform::TObject::free(btTransLevelsTail);
  if (!btTransLevelsTail) platform::TObject::free(this);
  return 0;
}

// ---- Owned transaction --------------------------------------------------------------------

TnxServerTransContextOwnedTransaction::TnxServerTransContextOwnedTransaction(TnxServerTransContext* aTransContext,
                                                                             bool aSnapshot, bool aFailSafe,
                                                                             bool aOverrideForceFailsafe)
    : TnxServerTransaction(
          static_cast<TnxServerSession*>(aTransContext->Session())->ServerEngine()->BufferManager(),
          aTransContext->Session(), aSnapshot,
          aFailSafe || (!aOverrideForceFailsafe && aTransContext->stcForceFailSafe), aOverrideForceFailsafe),
      stcotTransContext(aTransContext) {}

TnxServerTransContextOwnedTransaction::~TnxServerTransContextOwnedTransaction() {
  TnxPadlockGuard guard(stcotTransContext->stcTransactionPadlock);
  if (stcotTransContext->stcTransaction == this) stcotTransContext->stcTransaction = nullptr;
}

// ---- Transaction context --------------------------------------------------------------------

TnxServerTransContext::TnxServerTransContext(TnxAbstractSession* aSession, TnxWord32 aTimeout)
    : TnxAbstractTransContext(aSession, aTimeout) {}

TnxServerTransContext::~TnxServerTransContext() {
  while (stcTransaction) stcTransaction->Rollback();
}

TnxResult TnxServerTransContext::stcConverted(const std::function<TnxResult()>& aWork) {
  try {
    return aWork();
  } catch (...) {
    return asoConvertException(std::current_exception());
  }
}

TnxResult TnxServerTransContext::TransactionStart(bool aFailSafe, bool aSnapShot) {
  return nxGuardedCall(*this, [&] { return stcTransactionStart(aFailSafe, aSnapShot, false, false, false, false); });
}

TnxResult TnxServerTransContext::TransactionStartWith(bool aFailSafe, bool aSnapShot,
                                                      std::span<TnxAbstractCursor* const> aCursors) {
  return nxGuardedCall(*this, [&]() -> TnxResult {
    std::vector<TnxServerTransLinkCursor*> cursors;
    for (TnxAbstractCursor* cursor : aCursors) {
      auto* server = dynamic_cast<TnxServerTransLinkCursor*>(cursor);
      if (!server) return kInvalidHandle;
      cursors.push_back(server);
    }
    return stcTransactionStartWith(aFailSafe, aSnapShot, cursors, false, false, false, false);
  });
}

TnxResult TnxServerTransContext::TransactionCommit() {
  return nxGuardedCall(*this, [&] { return stcTransactionCommit(); });
}

TnxResult TnxServerTransContext::TransactionRollback() {
  return nxGuardedCall(*this, [&] { return stcTransactionRollback(); });
}

TnxResult TnxServerTransContext::TransactionCorrupted() {
  return nxGuardedCall(*this, [&] { return stcTransactionMarkCorrupted(); });
}

TnxResult TnxServerTransContext::TransactionGetLevel(std::int32_t& aTransLevel) {
  return nxGuardedCall(*this, [&]() -> TnxResult {
    if (!stcTransaction) return kNoTransaction;
    aTransLevel = stcTransaction->TransLevel()->Level();
    return 0;
  });
}

TnxResult TnxServerTransContext::TransactionGetInfo(TnxTransactionInfo& aTransInfo, bool) {
  return nxGuardedCall(*this, [&]() -> TnxResult {
    if (!stcTransaction) {
      aTransInfo = {};
      return kNoTransaction;
    }
    stcTransaction->stGetInfo(aTransInfo);
    return 0;
  });
}

void TnxServerTransContext::atcForceRollback() {
  TnxAbstractTransContext::atcForceRollback();
  TnxPadlockGuard guard(stcTransactionPadlock);
  while (stcTransaction) {
    // Whoever holds the level is gone or failing: the lock no longer counts.
    while (stcTransaction->TransLevel()->tlLockCount > 0) stcTransaction->Unlock();
    stcTransaction->Rollback();
  }
}

void TnxServerTransContext::Failed() {
  TnxPadlockGuard guard(stcTransactionPadlock);
  TnxAbstractTransContext::Failed();
  if (stcTransaction) stcTransaction->Failed();
}

TnxResult TnxServerTransContext::stcStartLevel(bool aFailSafe, bool aSnapShot, bool aOverrideForceFailsafe,
                                               bool aForceNested, bool aOverrideSecurity) {
  if (stcTransaction) {
    if (atcFailed) stcTransaction->MarkCorrupted();
    if (const TnxResult state = stcTransaction->CheckState()) return state;
    const platform::FormatArg before[] = {static_cast<int>(aFailSafe), static_cast<int>(aSnapShot),
                                          static_cast<const void*>(stcTransaction), static_cast<int>(aForceNested),
                                          static_cast<int>(aOverrideSecurity)};
    if (const TnxResult answer = NotifyExtenders(eaTransactionStart, true, before)) return answer;
    stcTransaction->StartNested(aForceNested);
    return 0;
  }
  if (atcFailed) return kTransactionCorrupt;
  const platform::FormatArg before[] = {static_cast<int>(aFailSafe), static_cast<int>(aSnapShot),
                                        static_cast<const void*>(nullptr), static_cast<int>(aForceNested),
                                        static_cast<int>(aOverrideSecurity)};
  if (const TnxResult answer = NotifyExtenders(eaTransactionStart, true, before)) return answer;
  TnxPadlockGuard guard(stcTransactionPadlock);
  if (atcFailed) return kTransactionCorrupt;
  stcTransaction =
      platform::create<TnxServerTransContextOwnedTransaction>(this, aSnapShot, aFailSafe, aOverrideForceFailsafe);
  return 0;
}

TnxResult TnxServerTransContext::stcTransactionStart(bool aFailSafe, bool aSnapShot, bool aOverrideForceFailsafe,
                                                     bool aNoMoreNested, bool aForceNested, bool aOverrideSecurity) {
  return stcConverted([&]() -> TnxResult {
    if (const TnxResult result = stcStartLevel(aFailSafe, aSnapShot, aOverrideForceFailsafe, aForceNested,
                                               aOverrideSecurity))
      return result;
    const platform::FormatArg after[] = {static_cast<int>(aFailSafe), static_cast<int>(aSnapShot),
                                         static_cast<const void*>(stcTransaction), static_cast<int>(aForceNested),
                                         static_cast<int>(aOverrideSecurity)};
    NotifyExtenders(eaTransactionStart, false, after);
    if (aNoMoreNested) stcTransaction->MarkNoMoreNested();
    return 0;
  });
}

TnxResult TnxServerTransContext::stcTransactionStartWith(bool aFailSafe, bool aSnapShot,
                                                         std::span<TnxServerTransLinkCursor* const> aCursors,
                                                         bool aOverrideForceFailsafe, bool aNoMoreNested,
                                                         bool aForceNested, bool aOverrideSecurity) {
  return stcConverted([&]() -> TnxResult {
    for (TnxServerTransLinkCursor* cursor : aCursors)
      if (!cursor || cursor->sbcTransContext() != this) return kInvalidHandle;
    if (const TnxResult result = stcStartLevel(aFailSafe, aSnapShot, aOverrideForceFailsafe, aForceNested,
                                               aOverrideSecurity))
      return result;
    for (TnxServerTransLinkCursor* cursor : aCursors) {
      const TnxResult result = cursor->sbcBeginContentLock(!aSnapShot, false, false);
      if (result != 0) {
        if (stcTransaction) stcTransaction->Rollback();
        return result;
      }
    }
    const platform::FormatArg after[] = {static_cast<int>(aFailSafe), static_cast<int>(aSnapShot),
                                         static_cast<const void*>(stcTransaction), static_cast<int>(aForceNested),
                                         static_cast<int>(aOverrideSecurity)};
    NotifyExtenders(eaTransactionStart, false, after);
    if (aNoMoreNested) stcTransaction->MarkNoMoreNested();
    return 0;
  });
}

TnxResult TnxServerTransContext::stcTransactionCommit() {
  return stcConverted([&]() -> TnxResult {
    if (!stcTransaction) return kNoTransaction;
    if (stcTransaction->IsLocked())
      throw EnxServerException(kLevelInUse, u"The current transaction level is in use. Can't commit or rollback");
    if (atcFailed) stcTransaction->MarkCorrupted();
    if (const TnxResult state = stcTransaction->CheckState()) return state;
    if (const TnxResult answer = NotifyExtenders(eaTransactionCommit, true, {})) return answer;
    const TnxResult result = stcTransaction->Commit();
    NotifyExtenders(eaTransactionCommit, false, {});
    return result;
  });
}

TnxResult TnxServerTransContext::stcTransactionRollback() {
  return stcConverted([&]() -> TnxResult {
    if (!stcTransaction) return kNoTransaction;
    if (stcTransaction->IsLocked())
      throw EnxServerException(kLevelInUse, u"The current transaction level is in use. Can't commit or rollback");
    NotifyExtenders(eaTransactionRollback, true, {});
    stcTransaction->Rollback();
    NotifyExtenders(eaTransactionRollback, false, {});
    return 0;
  });
}

TnxResult TnxServerTransContext::stcTransactionMarkCorrupted() {
  return stcConverted([&]() -> TnxResult {
    if (!stcTransaction) return kNoTransaction;
    stcTransaction->MarkCorrupted();
    return 0;
  });
}
