// The table lock container.
#include "nxsrTableLockContainer.h"

#include <algorithm>

#include "nxllException.h"
#include "nxsdServerEngineSession.h"
#include "nxsrTimeoutHandling.h"

PL_CLASS_INFO_IMPL(TnxWaitingLockRequest, TnxObject, "TnxWaitingLockRequest", nullptr)
PL_CLASS_INFO_IMPL(TnxTableLockContainer, TnxObject, "TnxTableLockContainer", nullptr)

namespace {

constexpr std::size_t kLockListGrowth = 64;
// A thread with this much time left or less does not wait.
constexpr std::int32_t kLockMinWaitMs = 5;

template <class T>
void growBy64(std::vector<T>& aList) {
  if (aList.size() == aList.capacity()) aList.reserve(aList.capacity() + kLockListGrowth);
}

bool isGrant(TnxLockResult aResult) { return aResult < lrConflictUnknown; }

const char16_t* requestKind(TnxLockRequestType aType) {
  switch (aType) {
    case lrtRecordLock:
      return u"record lock";
    case lrtReadLock:
      return u"read lock";
    case lrtWriteLock:
      return u"write lock";
  }
  return u"unknown";
}

const char16_t* conflictKind(TnxLockResult aResult) {
  switch (aResult) {
    case lrConflictCursorWriteLock:
      return u"write lock";
    case lrConflictCursorReadLockSingle:
    case lrConflictCursorReadLockMultiple:
      return u"read lock";
    case lrConflictCursorRecordLockSingle:
    case lrConflictCursorRecordLockMultiple:
      return u"record lock";
    case lrConflictTransaction:
      return u"transaction";
    default:
      return u"unknown";
  }
}

TnxAbstractSession* lockSessionOf(platform::TObject* aObject) { return dynamic_cast<TnxAbstractSession*>(aObject); }

// Collects the cursors of a refusal in scan order and names the one to
// blame: the first, unless a cursor of the requester's own session is among
// them. A request must never wait for a lock its own session holds, and
// which entry comes first depends only on ids and RefNrs.
class TnxConflictScan {
 public:
  TnxConflictScan(const TnxLockCursor& aRequester, TnxLockCursor& aConflict)
      : requester_(aRequester), conflict_(aConflict) {}
  void Add(const TnxLockCursor& aCursor) {
    if (count_++ == 0 || (!ownSession(conflict_) && ownSession(aCursor))) conflict_ = aCursor;
  }
  std::int32_t Count() const { return count_; }
  // Neither the named cursor nor single/multiple can change any more.
  bool Settled() const { return count_ >= 2 && (!requester_.lcSession || ownSession(conflict_)); }

 private:
  bool ownSession(const TnxLockCursor& aCursor) const {
    return requester_.lcSession && aCursor.lcSession == requester_.lcSession;
  }
  const TnxLockCursor& requester_;
  TnxLockCursor& conflict_;
  std::int32_t count_ = 0;
};

}  // namespace

const char16_t* nxLockRequestTypeName(TnxLockRequestType aType) {
  switch (aType) {
    case lrtRecordLock:
      return u"lrtRecordLock";
    case lrtReadLock:
      return u"lrtReadLock";
    case lrtWriteLock:
      return u"lrtWriteLock";
  }
  return u"";
}

const char16_t* nxLockResultName(TnxLockResult aResult) {
  static const char16_t* const names[] = {u"lrGrantedNew",
                                          u"lrGrantedExisting",
                                          u"lrConflictUnknown",
                                          u"lrConflictCursorWriteLock",
                                          u"lrConflictCursorReadLockSingle",
                                          u"lrConflictCursorReadLockMultiple",
                                          u"lrConflictCursorRecordLockSingle",
                                          u"lrConflictCursorRecordLockMultiple",
                                          u"lrConflictTransaction"};
  return aResult <= lrConflictTransaction ? names[aResult] : u"";
}

// ---- Waiting requests ---------------------------------------------------------------

TnxWaitingLockRequest::TnxWaitingLockRequest(TnxTableLockContainer* aContainer, TnxLockRequestType aType,
                                             const TnxLockCursor& aCursor, TnxRefNr aRefNr)
    : wlrContainer(aContainer), wlrType(aType), wlrCursor(aCursor), wlrRefNr(aRefNr) {
  wlrEvent = platform::create<TnxEvent>();
  wlrEnqueue();
}

TnxWaitingLockRequest::~TnxWaitingLockRequest() {
  wlrDequeue();
  platform::TObject::free(wlrEvent);
}

void TnxWaitingLockRequest::wlrEnqueue() {
  TnxTableLockContainer& c = *wlrContainer;
  nxAssert(!wlrPrev && !wlrNext && c.tlcWaitingHead != this, "Waiting lock request queued twice");
  wlrPrev = c.tlcWaitingTail;
  if (wlrPrev) {
    nxAssert(wlrPrev->wlrNext == nullptr, "Waiting lock queue: tail has a successor");
    wlrPrev->wlrNext = this;
  } else {
    nxAssert(c.tlcWaitingHead == nullptr, "Waiting lock queue: head without tail");
    c.tlcWaitingHead = this;
  }
  c.tlcWaitingTail = this;
}

void TnxWaitingLockRequest::wlrDequeue() {
  TnxTableLockContainer& c = *wlrContainer;
  if (wlrPrev) {
    nxAssert(wlrPrev->wlrNext == this, "Waiting lock queue: broken forward link");
    wlrPrev->wlrNext = wlrNext;
  } else {
    nxAssert(c.tlcWaitingHead == this, "Waiting lock queue: request is not the head");
    c.tlcWaitingHead = wlrNext;
  }
  if (wlrNext) {
    nxAssert(wlrNext->wlrPrev == this, "Waiting lock queue: broken backward link");
    wlrNext->wlrPrev = wlrPrev;
  } else {
    nxAssert(c.tlcWaitingTail == this, "Waiting lock queue: request is not the tail");
    c.tlcWaitingTail = wlrPrev;
  }
  wlrPrev = wlrNext = nullptr;
}

bool TnxWaitingLockRequest::WaitFor() {
  const std::int32_t remaining = nxRemainingTimeout();
  if (remaining <= kLockMinWaitMs) return false;
  try {
    return wlrEvent->WaitForQuietly(static_cast<TnxWord32>(remaining)) == nxWaitSignaled;
  } catch (...) {
    return false;
  }
}

// ---- Container ---------------------------------------------------------------------

TnxTableLockContainer::TnxTableLockContainer() = default;

TnxTableLockContainer::~TnxTableLockContainer() {
  nxAssert(tlcWaitingHead == nullptr, "Lock container freed with waiting requests");
}

TnxLockResult TnxTableLockContainer::GetWriteLock(TnxBaseTransaction* aTrans, const TnxLockCursor& aCursor,
                                                  bool aConditional, TnxLockFailureReason* aReason) {
  return tlcGetLock(lrtWriteLock, aTrans, aCursor, 0, aConditional, aReason);
}

TnxLockResult TnxTableLockContainer::GetReadLock(TnxBaseTransaction* aTrans, const TnxLockCursor& aCursor,
                                                 bool aConditional, TnxLockFailureReason* aReason) {
  return tlcGetLock(lrtReadLock, aTrans, aCursor, 0, aConditional, aReason);
}

TnxLockResult TnxTableLockContainer::GetRecordLock(TnxBaseTransaction* aTrans, const TnxLockCursor& aCursor,
                                                   TnxRefNr aRefNr, bool aConditional,
                                                   TnxLockFailureReason* aReason) {
  return tlcGetLock(lrtRecordLock, aTrans, aCursor, aRefNr, aConditional, aReason);
}

TnxLockResult TnxTableLockContainer::tlcGetLock(TnxLockRequestType aType, TnxBaseTransaction* aTrans,
                                                const TnxLockCursor& aCursor, TnxRefNr aRefNr, bool aConditional,
                                                TnxLockFailureReason* aReason) {
  TnxPadlockGuard guard(tlcGate);
  TnxWaitingLockRequest* request = nullptr;
  // Frees the queued request under the gate on every way out; whoever
  // leaves the queue hands a wake-up it may have consumed to the new head.
  struct RequestOwner {
    TnxTableLockContainer* container;
    TnxWaitingLockRequest*& request;
    ~RequestOwner() {
      if (!request) return;
      platform::TObject::free(std::exchange(request, nullptr));
      container->tlcSignalFirst();
    }
  } owner{this, request};

  bool woken = false;
  for (;;) {
    TnxLockCursor conflict;
    TnxLockResult result = lrConflictUnknown;
    switch (aType) {
      case lrtWriteLock:
        result = tlcTryWrite(aTrans, aCursor, conflict);
        break;
      case lrtReadLock:
        result = tlcTryRead(aTrans, aCursor, conflict);
        break;
      case lrtRecordLock:
        result = tlcTryRecord(aTrans, aCursor, aRefNr, conflict);
        break;
    }
    if (!isGrant(result) && !aConditional && aCursor.lcSession) {
      // Never wait for oneself: nobody else can end that conflict.
      if (result == lrConflictTransaction) {
        if (tlcTrans && tlcTrans->btOwningSession == static_cast<platform::TObject*>(aCursor.lcSession))
          aConditional = true;
      } else if (conflict && conflict.lcSession == aCursor.lcSession) {
        aConditional = true;
      }
    }
    if (isGrant(result) || aConditional) {
      if (!isGrant(result) && aReason) tlcFillFailureReason(aType, result, aCursor, conflict, aReason);
      return result;
    }
    if (!request) {
      request = platform::create<TnxWaitingLockRequest>(this, aType, aCursor, aRefNr);
    } else if (woken && request->wlrNext) {
      // Still blocked: the wake-up may have been meant for a request behind.
      request->wlrNext->Signal();
    }
    {
      TnxPadlockUnlockGuard unlocked(tlcGate);
      woken = request->WaitFor();
    }
    if (!woken) aConditional = true;  // one last check, no more waiting
  }
}

TnxLockResult TnxTableLockContainer::tlcTryWrite(TnxBaseTransaction* aTrans, const TnxLockCursor& aCursor,
                                                 TnxLockCursor& aConflict) {
  if (tlcTrans && tlcTrans != aTrans) return lrConflictTransaction;
  if (tlcWriteLockPresent > 0) {
    if (tlcWriteLockCursor == aCursor) {
      ++tlcWriteLockPresent;
      return lrGrantedExisting;
    }
    aConflict = tlcWriteLockCursor;
    return lrConflictCursorWriteLock;
  }
  if (tlcReadLockList.empty() || (tlcReadLockList.size() == 1 && tlcReadLockList[0].clCursor == aCursor)) {
    TnxConflictScan scan(aCursor, aConflict);
    for (auto it = tlcRecordLockList.rbegin(); it != tlcRecordLockList.rend() && !scan.Settled(); ++it)
      if (!(it->rlCursor == aCursor)) scan.Add(it->rlCursor);
    if (scan.Count() > 1) return lrConflictCursorRecordLockMultiple;
    if (scan.Count() == 1) return lrConflictCursorRecordLockSingle;
    tlcWriteLockPresent = 1;
    tlcWriteLockCursor = aCursor;
    return lrGrantedNew;
  }
  if (tlcReadLockList.size() == 1) {
    aConflict = tlcReadLockList[0].clCursor;
    return lrConflictCursorReadLockSingle;
  }
  TnxConflictScan scan(aCursor, aConflict);
  for (auto it = tlcReadLockList.rbegin(); it != tlcReadLockList.rend() && !scan.Settled(); ++it)
    if (!(it->clCursor == aCursor)) scan.Add(it->clCursor);
  return scan.Count() > 1 ? lrConflictCursorReadLockMultiple : lrConflictCursorReadLockSingle;
}

TnxLockResult TnxTableLockContainer::tlcTryRead(TnxBaseTransaction* aTrans, const TnxLockCursor& aCursor,
                                                TnxLockCursor& aConflict) {
  if (tlcTrans && tlcTrans != aTrans) return lrConflictTransaction;
  if (!tlcRecordLockList.empty()) {
    TnxConflictScan scan(aCursor, aConflict);
    for (auto it = tlcRecordLockList.begin(); it != tlcRecordLockList.end() && !scan.Settled(); ++it)
      scan.Add(it->rlCursor);
    return tlcRecordLockList.size() == 1 ? lrConflictCursorRecordLockSingle : lrConflictCursorRecordLockMultiple;
  }
  if (tlcWriteLockPresent > 0 && !(tlcWriteLockCursor == aCursor)) {
    aConflict = tlcWriteLockCursor;
    return lrConflictCursorWriteLock;
  }
  bool found = false;
  const std::size_t at = tlcFindReadLock(aCursor.lcID, found);
  if (found) {
    ++tlcReadLockList[at].clCount;
    return lrGrantedExisting;
  }
  growBy64(tlcReadLockList);
  tlcReadLockList.insert(tlcReadLockList.begin() + static_cast<std::ptrdiff_t>(at), TnxCursorLock{aCursor, 1});
  return lrGrantedNew;
}

TnxLockResult TnxTableLockContainer::tlcTryRecord(TnxBaseTransaction* aTrans, const TnxLockCursor& aCursor,
                                                  TnxRefNr aRefNr, TnxLockCursor& aConflict) {
  if (tlcWriteLockPresent > 0 && !(tlcWriteLockCursor == aCursor)) {
    aConflict = tlcWriteLockCursor;
    return lrConflictCursorWriteLock;
  }
  if (!tlcReadLockList.empty()) {
    TnxConflictScan scan(aCursor, aConflict);
    for (auto it = tlcReadLockList.begin(); it != tlcReadLockList.end() && !scan.Settled(); ++it)
      scan.Add(it->clCursor);
    return tlcReadLockList.size() == 1 ? lrConflictCursorReadLockSingle : lrConflictCursorReadLockMultiple;
  }
  bool found = false;
  const std::size_t at = tlcFindRecordLock(aRefNr, found);
  if (found) {
    if (tlcRecordLockList[at].rlCursor == aCursor) return lrGrantedExisting;
    aConflict = tlcRecordLockList[at].rlCursor;
    return lrConflictCursorRecordLockSingle;
  }
  if (tlcTrans && tlcTrans != aTrans) return lrConflictTransaction;
  nxAssert((at == 0 || static_cast<std::int64_t>(tlcRecordLockList[at - 1].rlRefNr) < static_cast<std::int64_t>(aRefNr)) &&
               (at == tlcRecordLockList.size() ||
                static_cast<std::int64_t>(aRefNr) < static_cast<std::int64_t>(tlcRecordLockList[at].rlRefNr)),
           "Record lock list out of order");
  growBy64(tlcRecordLockList);
  tlcRecordLockList.insert(tlcRecordLockList.begin() + static_cast<std::ptrdiff_t>(at), TnxRecordLock{aCursor, aRefNr});
  return lrGrantedNew;
}

std::size_t TnxTableLockContainer::tlcFindReadLock(TnxBaseID aID, bool& aFound) const {
  auto it = std::lower_bound(tlcReadLockList.begin(), tlcReadLockList.end(), aID,
                             [](const TnxCursorLock& aLock, TnxBaseID aKey) { return aLock.clCursor.lcID < aKey; });
  aFound = it != tlcReadLockList.end() && it->clCursor.lcID == aID;
  return static_cast<std::size_t>(it - tlcReadLockList.begin());
}

std::size_t TnxTableLockContainer::tlcFindRecordLock(TnxRefNr aRefNr, bool& aFound) const {
  const auto key = static_cast<std::int64_t>(aRefNr);
  auto it = std::lower_bound(
      tlcRecordLockList.begin(), tlcRecordLockList.end(), key,
      [](const TnxRecordLock& aLock, std::int64_t aKey) { return static_cast<std::int64_t>(aLock.rlRefNr) < aKey; });
  aFound = it != tlcRecordLockList.end() && it->rlRefNr == aRefNr;
  return static_cast<std::size_t>(it - tlcRecordLockList.begin());
}

void TnxTableLockContainer::tlcSignalFirst() {
  if (tlcWaitingHead) tlcWaitingHead->Signal();
}

void TnxTableLockContainer::tlcFillFailureReason(TnxLockRequestType aType, TnxLockResult aResult,
                                                 const TnxLockCursor& aRequester, const TnxLockCursor& aConflict,
                                                 TnxLockFailureReason* aReason) {
  if (aResult < lrConflictUnknown || aResult > lrConflictTransaction) return;
  aReason->Clear();
  const bool multiple = aResult == lrConflictCursorReadLockMultiple || aResult == lrConflictCursorRecordLockMultiple;
  nxString line = nxString(u"The requested content ") + requestKind(aType) + u" could not be granted due to ";
  line += multiple ? nxString(u"multiple ") + conflictKind(aResult) + u" conflicts."
                   : nxString(u"a ") + conflictKind(aResult) + u" conflict.";
  line += nxEncodeCustomInfo(u"LockError.Type", u"content");
  line += nxEncodeCustomInfo(u"LockError.Request", nxLockRequestTypeName(aType));
  line += nxEncodeCustomInfo(u"LockError.Result", nxLockResultName(aResult));
  aReason->add(line);
  aReason->add(u"");
  TnxAbstractSession* session = aResult == lrConflictTransaction
                                    ? (tlcTrans ? lockSessionOf(tlcTrans->btOwningSession) : nullptr)
                                    : aConflict.lcSession;
  if (!session) {
    aReason->add(nxString(u"The conflict occurred with an unknown session.") +
                 nxEncodeCustomInfo(u"LockError.UnknownSession", u"1"));
  } else if (session == aRequester.lcSession) {
    aReason->add(nxEncodeCustomInfo(u"LockError.SameSession", u"1"));
    aReason->SameSession = true;
  } else {
    aReason->add(u"The conflict occurred with the following session:");
    session->GetUserInfo(*aReason);
  }
}

bool TnxTableLockContainer::ReleaseWriteLock(const TnxLockCursor& aCursor) {
  TnxPadlockGuard guard(tlcGate);
  if (tlcWriteLockPresent <= 0 || !(tlcWriteLockCursor == aCursor)) return false;
  if (--tlcWriteLockPresent == 0) {
    tlcWriteLockCursor = {};
    tlcSignalFirst();
  }
  return true;
}

bool TnxTableLockContainer::ReleaseReadLock(const TnxLockCursor& aCursor) {
  TnxPadlockGuard guard(tlcGate);
  bool found = false;
  const std::size_t at = tlcFindReadLock(aCursor.lcID, found);
  if (!found) return false;
  if (--tlcReadLockList[at].clCount == 0) {
    tlcReadLockList.erase(tlcReadLockList.begin() + static_cast<std::ptrdiff_t>(at));
    tlcSignalFirst();
  }
  return true;
}

void TnxTableLockContainer::tlcBindTransaction(TnxBaseTransaction* aTrans) {
  const TnxBaseTransactionLevel* level = aTrans->TransLevel();
  if (level && (level->State().contains(tlsCorrupted) || level->State().contains(tlsDeadlocked))) return;
  if (!tlcTrans) {
    tlcTrans = aTrans;
    return;
  }
  nxAssert(tlcTrans == aTrans, "Lock container bound to a second transaction");
}

bool TnxTableLockContainer::ReleaseRecordLock(const TnxLockCursor& aCursor, TnxRefNr aRefNr,
                                              TnxBaseTransaction* aTrans) {
  TnxPadlockGuard guard(tlcGate);
  if (aTrans) tlcBindTransaction(aTrans);
  bool found = false;
  const std::size_t at = tlcFindRecordLock(aRefNr, found);
  if (!found || !(tlcRecordLockList[at].rlCursor == aCursor)) return false;
  tlcRecordLockList.erase(tlcRecordLockList.begin() + static_cast<std::ptrdiff_t>(at));
  tlcSignalFirst();
  return true;
}

TnxLockPresent TnxTableLockContainer::IsWriteLocked(const TnxLockCursor& aCursor) {
  TnxPadlockGuard guard(tlcGate);
  if (tlcWriteLockPresent <= 0) return lpNotAtAll;
  return tlcWriteLockCursor == aCursor ? lpYesByUs : lpYesByAnother;
}

TnxLockPresent TnxTableLockContainer::IsReadLocked(const TnxLockCursor& aCursor) {
  TnxPadlockGuard guard(tlcGate);
  if (tlcReadLockList.empty()) return lpNotAtAll;
  bool found = false;
  tlcFindReadLock(aCursor.lcID, found);
  return found ? lpYesByUs : lpYesByAnother;
}

TnxLockPresent TnxTableLockContainer::IsRecordLocked(const TnxLockCursor& aCursor, TnxRefNr aRefNr) {
  TnxPadlockGuard guard(tlcGate);
  bool found = false;
  const std::size_t at = tlcFindRecordLock(aRefNr, found);
  if (!found) return lpNotAtAll;
  return tlcRecordLockList[at].rlCursor == aCursor ? lpYesByUs : lpYesByAnother;
}

void TnxTableLockContainer::ClearCursorLocks(const TnxLockCursor& aCursor) {
  TnxPadlockGuard guard(tlcGate);
  bool removed = false;
  bool found = false;
  const std::size_t at = tlcFindReadLock(aCursor.lcID, found);
  if (found) {
    tlcReadLockList.erase(tlcReadLockList.begin() + static_cast<std::ptrdiff_t>(at));
    removed = true;
  }
  if (tlcWriteLockPresent > 0 && tlcWriteLockCursor == aCursor) {
    tlcWriteLockPresent = 0;
    tlcWriteLockCursor = {};
    removed = true;
  }
  if (removed) tlcSignalFirst();
}

void TnxTableLockContainer::ClearRecordLocks(const TnxLockCursor& aCursor) {
  TnxPadlockGuard guard(tlcGate);
  const auto before = tlcRecordLockList.size();
  std::erase_if(tlcRecordLockList, [&](const TnxRecordLock& aLock) { return aLock.rlCursor == aCursor; });
  if (tlcRecordLockList.size() != before) tlcSignalFirst();
}

void TnxTableLockContainer::ClearAllLocks(const TnxLockCursor& aCursor) {
  ClearCursorLocks(aCursor);
  ClearRecordLocks(aCursor);
}

void TnxTableLockContainer::EndTransaction(TnxBaseTransaction* aTrans) {
  TnxPadlockGuard guard(tlcGate);
  if (!aTrans || tlcTrans != aTrans) return;
  tlcTrans = nullptr;
  tlcSignalFirst();
}

TnxBaseTransaction* TnxTableLockContainer::BoundTransaction() {
  TnxPadlockGuard guard(tlcGate);
  return tlcTrans;
}

std::int32_t TnxTableLockContainer::WaitingCount() {
  TnxPadlockGuard guard(tlcGate);
  std::int32_t count = 0;
  for (TnxWaitingLockRequest* r = tlcWaitingHead; r; r = r->wlrNext) ++count;
  return count;
}

void TnxTableLockContainer::GetExceptionData(const TnxIntfPtr<InxExceptionDataContainer>& aContainer) {
  TnxPadlockGuard guard(tlcGate);
  auto num = [](std::size_t i) {
    nxString name(u"[");
    name += platform::fromUtf8(std::to_string(i));
    name += u']';
    return name;
  };
  TnxIntfPtr<InxExceptionDataContainer> active = aContainer->AddContainer(u"ActiveLocks");
  TnxIntfPtr<InxExceptionDataContainer> tableLocks = active->AddContainer(u"TableLocks");
  TnxIntfPtr<InxExceptionDataContainer> writeLock = tableLocks->AddContainer(u"WriteLock");
  writeLock->AddInteger(u"Count", static_cast<std::uint32_t>(tlcWriteLockPresent));
  writeLock->AddInteger(u"Cursor", tlcWriteLockCursor.lcID);
  TnxIntfPtr<InxExceptionDataContainer> readLocks = tableLocks->AddContainer(u"ReadLocks");
  for (std::size_t i = 0; i < tlcReadLockList.size(); ++i) {
    TnxIntfPtr<InxExceptionDataContainer> entry = readLocks->AddContainer(num(i));
    entry->AddInteger(u"Count", static_cast<std::uint32_t>(tlcReadLockList[i].clCount));
    entry->AddInteger(u"Cursor", tlcReadLockList[i].clCursor.lcID);
  }
  TnxIntfPtr<InxExceptionDataContainer> recordLocks = active->AddContainer(u"RecordLocks");
  for (std::size_t i = 0; i < tlcRecordLockList.size(); ++i) {
    TnxIntfPtr<InxExceptionDataContainer> entry = recordLocks->AddContainer(num(i));
    entry->AddInt64(u"RefNr", static_cast<std::int64_t>(tlcRecordLockList[i].rlRefNr));
    entry->AddInteger(u"Cursor", tlcRecordLockList[i].rlCursor.lcID);
  }
  TnxIntfPtr<InxExceptionDataContainer> waiting = aContainer->AddContainer(u"WaitingLockRequest");
  std::size_t i = 0;
  for (TnxWaitingLockRequest* r = tlcWaitingHead; r; r = r->wlrNext, ++i) {
    TnxIntfPtr<InxExceptionDataContainer> entry = waiting->AddContainer(num(i));
    entry->AddString(u"Type", nxLockRequestTypeName(r->wlrType));
    entry->AddInteger(u"Cursor", r->wlrCursor.lcID);
    if (r->wlrType == lrtRecordLock) entry->AddInt64(u"RefNr", static_cast<std::int64_t>(r->wlrRefNr));
  }
}
