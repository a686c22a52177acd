// The table lock container: the explicit locks that cursors hold on one
// table (the table write lock, table read locks, record locks), the one
// transaction whose record changes on the table have not ended yet, and the
// first-in first-out queue of requests that had to wait.
//
// Contracts:
// - A cursor is known only by its session and a stable identity (a handle
//   table id, never an address): TnxLockCursor. The read-lock entries are
//   ordered by that identity, the record-lock entries by RefNr (signed).
// - The get operations never raise for a conflict: they answer the result
//   (values below lrConflictUnknown are grants) and fill the reason, when
//   one is passed, for a refusal.
// - A request never waits for its own session: a conflict with a cursor of
//   the requester's session, or with a transaction that session owns, is
//   answered at once (the reason carries LockError.SameSession). Among
//   several conflicting cursors, one of the requester's session is the one
//   named, whatever the order of ids or RefNrs.
// - A request waits only while more than 5 ms remain before the calling
//   thread's deadline; without a deadline it does not wait. A request whose
//   wait ran out gets one last check.
// - Wake-ups: a release signals the first waiting request; a granted waiter
//   signals the new first one when it leaves; a woken request that is still
//   blocked (any type) signals the one behind it, so a request whose own
//   blocker is gone is never left asleep behind one that is still blocked.
// Thread safety: any thread may call any operation; tlcGate serialises all
// state and is never held while a request waits.
#pragma once

#include <cstdint>
#include <vector>

#include "nxllSync.h"
#include "nxsdServerEngineObjects.h"
#include "nxsrBufferManager.h"

class TnxAbstractSession;
class TnxTableLockContainer;

// The container's view of a cursor.
struct TnxLockCursor {
  TnxBaseID lcID = 0;                    // stable identity; 0 = none
  TnxAbstractSession* lcSession = nullptr;

  explicit operator bool() const { return lcID != 0; }
  friend bool operator==(const TnxLockCursor& a, const TnxLockCursor& b) { return a.lcID == b.lcID; }
};

struct TnxCursorLock {
  TnxLockCursor clCursor;
  std::int32_t clCount = 0;
};

struct TnxRecordLock {
  TnxLockCursor rlCursor;
  TnxRefNr rlRefNr = 0;
};

// One request that had to wait, queued on its container.
class TnxWaitingLockRequest : public TnxObject {
  PL_CLASS_INFO_DECL()
  friend class TnxTableLockContainer;

 public:
  // Appends itself to the container's queue. REQUIRES: tlcGate held.
  TnxWaitingLockRequest(TnxTableLockContainer* aContainer, TnxLockRequestType aType, const TnxLockCursor& aCursor,
                        TnxRefNr aRefNr);
  // Leaves the queue. REQUIRES: tlcGate held.
  ~TnxWaitingLockRequest() override;
  TnxWaitingLockRequest(const TnxWaitingLockRequest&) = delete;
  TnxWaitingLockRequest& operator=(const TnxWaitingLockRequest&) = delete;

  // Waits for the thread's remaining time when it is above 5 ms; true when
  // the event was signalled, false at once otherwise.
  bool WaitFor();
  void Signal() { wlrEvent->SignalEvent(); }

  TnxLockRequestType Type() const { return wlrType; }
  const TnxLockCursor& Cursor() const { return wlrCursor; }
  TnxRefNr RefNr() const { return wlrRefNr; }

 private:
  void wlrEnqueue();
  void wlrDequeue();

  TnxTableLockContainer* wlrContainer;
  TnxLockRequestType wlrType;
  TnxLockCursor wlrCursor;
  TnxRefNr wlrRefNr;
  TnxWaitingLockRequest* wlrPrev = nullptr;
  TnxWaitingLockRequest* wlrNext = nullptr;
  TnxEvent* wlrEvent = nullptr;  // owned
};

class TnxTableLockContainer : public TnxObject {
  PL_CLASS_INFO_DECL()
  friend class TnxWaitingLockRequest;

 public:
  TnxTableLockContainer();
  ~TnxTableLockContainer() override;
  TnxTableLockContainer(const TnxTableLockContainer&) = delete;
  TnxTableLockContainer& operator=(const TnxTableLockContainer&) = delete;

  TnxLockResult GetWriteLock(TnxBaseTransaction* aTrans, const TnxLockCursor& aCursor, bool aConditional,
                             TnxLockFailureReason* aReason);
  TnxLockResult GetReadLock(TnxBaseTransaction* aTrans, const TnxLockCursor& aCursor, bool aConditional,
                            TnxLockFailureReason* aReason);
  TnxLockResult GetRecordLock(TnxBaseTransaction* aTrans, const TnxLockCursor& aCursor, TnxRefNr aRefNr,
                              bool aConditional, TnxLockFailureReason* aReason);

  bool ReleaseWriteLock(const TnxLockCursor& aCursor);
  bool ReleaseReadLock(const TnxLockCursor& aCursor);
  // aTrans (when given) first binds the container to that transaction
  // unless its current level is corrupted or deadlocked.
  bool ReleaseRecordLock(const TnxLockCursor& aCursor, TnxRefNr aRefNr, TnxBaseTransaction* aTrans);

  TnxLockPresent IsWriteLocked(const TnxLockCursor& aCursor);
  TnxLockPresent IsReadLocked(const TnxLockCursor& aCursor);
  TnxLockPresent IsRecordLocked(const TnxLockCursor& aCursor, TnxRefNr aRefNr);

  // The cursor's table locks whatever their counts.
  void ClearCursorLocks(const TnxLockCursor& aCursor);
  void ClearRecordLocks(const TnxLockCursor& aCursor);
  void ClearAllLocks(const TnxLockCursor& aCursor);

  // Unbinds aTrans when it is the bound transaction.
  void EndTransaction(TnxBaseTransaction* aTrans);

  // "ActiveLocks" and "WaitingLockRequest" containers describing the state.
  void GetExceptionData(const TnxIntfPtr<InxExceptionDataContainer>& aContainer);

  // For tests and assertions.
  TnxBaseTransaction* BoundTransaction();
  std::int32_t WaitingCount();

 private:
  enum class TnxLockOp : std::uint8_t { Write, Read, Record };

  TnxLockResult tlcGetLock(TnxLockRequestType aType, TnxBaseTransaction* aTrans, const TnxLockCursor& aCursor,
                           TnxRefNr aRefNr, bool aConditional, TnxLockFailureReason* aReason);
  // Step 1 of a get pass, under the gate: the result and the conflicting
  // cursor (when one is to blame).
  TnxLockResult tlcTryWrite(TnxBaseTransaction* aTrans, const TnxLockCursor& aCursor, TnxLockCursor& aConflict);
  TnxLockResult tlcTryRead(TnxBaseTransaction* aTrans, const TnxLockCursor& aCursor, TnxLockCursor& aConflict);
  TnxLockResult tlcTryRecord(TnxBaseTransaction* aTrans, const TnxLockCursor& aCursor, TnxRefNr aRefNr,
                             TnxLockCursor& aConflict);
  void tlcFillFailureReason(TnxLockRequestType aType, TnxLockResult aResult, const TnxLockCursor& aRequester,
                            const TnxLockCursor& aConflict, TnxLockFailureReason* aReason);
  void tlcBindTransaction(TnxBaseTransaction* aTrans);
  void tlcSignalFirst();
  // Index of the cursor's read-lock entry, or where it would go.
  std::size_t tlcFindReadLock(TnxBaseID aID, bool& aFound) const;
  std::size_t tlcFindRecordLock(TnxRefNr aRefNr, bool& aFound) const;

  TnxPadlock tlcGate;
  TnxBaseTransaction* tlcTrans = nullptr;
  TnxWaitingLockRequest* tlcWaitingHead = nullptr;
  TnxWaitingLockRequest* tlcWaitingTail = nullptr;
  std::int32_t tlcWriteLockPresent = 0;
  TnxLockCursor tlcWriteLockCursor;
  std::vector<TnxCursorLock> tlcReadLockList;    // grows by 64 entries
  std::vector<TnxRecordLock> tlcRecordLockList;  // grows by 64 entries
};

// "lrtRecordLock", "lrtReadLock", "lrtWriteLock".
const char16_t* nxLockRequestTypeName(TnxLockRequestType aType);
// "lrGrantedNew" .. "lrConflictTransaction".
const char16_t* nxLockResultName(TnxLockResult aResult);
