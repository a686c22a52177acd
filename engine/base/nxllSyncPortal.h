// The read-write portal: a re-entrant multi-reader / single-writer lock that
// prefers writers and lets a reader upgrade to writer.
//
// Contracts:
// - Counter rwpPortal: $FFFF when free; each thread reading (first level)
//   takes 1, a writer takes $FFFF. So: n readers -> $FFFF - n; written -> 0,
//   or -1 while the writer also holds a read of its own.
// - Re-entry: a thread that reads may read again, and may write (upgrade);
//   the writer may write and read again. None of these wait.
// - Upgrade: while an upgrading reader waits for the write, its read slot is
//   given back, so another writer may get in first; BeginWrite then answers
//   False (the data read before may have changed), True when no other writer
//   entered since the call began.
// - Writer preference: from the moment a writer asks, new first-level readers
//   wait until that writer has been in and out; readers already inside and
//   their nested reads go on.
// - Pairing: every BeginRead needs one EndRead and every BeginWrite one
//   EndWrite, on the same thread. Reads and writes of one thread may be ended
//   in any order (a read begun while writing and still held when the write
//   ends is counted as an ordinary read from then on). EndWrite by a thread
//   that is not the writer, and EndRead without a read, raise
//   EnxBaseException without an error code (programming errors); the portal
//   is unchanged.
// - Waits have no limit; deadlines are the callers' business.
// - Destruction enters for writing first, so it waits for every other reader
//   and writer to leave.
// Thread safety: all operations may be called from any thread.
// Memory: the portal and its thread states are TnxObjects; the per-thread
// records come from one engine item pool shared by every portal.
#pragma once

#include <atomic>
#include <cstdint>

#include "nxllBase.h"
#include "nxllLockedFuncs.h"
#include "nxllTypes.h"
#include "plObject.h"
#include "plSync.h"

// One thread's read nesting in one portal. Only the owning thread changes
// tsCount and tsCounted; records are claimed and released with interlocked
// exchanges and reused, never freed before their TnxThreadStates. On x86-64
// a record is 24 bytes (a pointer link), so its pool has 24-byte items.
struct TnxThreadState {
  TnxThreadState* tsNext;             // next record of the bucket; set before publication
  std::atomic<std::int32_t> tsInUse;  // -1 while owned, 0 when free for reuse
  std::int32_t tsCount;               // read nesting level
  std::atomic<std::int32_t> tsID;     // owning thread id, 0 when free
  bool tsCounted;                     // the thread's read slot is counted in rwpPortal
};

class TnxThreadStates : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  TnxThreadStates();
  ~TnxThreadStates() override;

  // The calling thread's record (found, reclaimed or new).
  TnxThreadState* Acquire(std::uint32_t aThreadID);
  void Release(TnxThreadState* aState);

 private:
  static constexpr int BucketCount = 16;
  std::atomic<TnxThreadState*> tlcHashTable[BucketCount];
};

class TnxInternalReadWritePortal : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  TnxInternalReadWritePortal();
  ~TnxInternalReadWritePortal() override;

  void BeginRead();
  void EndRead();
  bool BeginWrite();
  void EndWrite();

  // Lazily create the portal in aPortal and enter it; one creator wins the
  // race, the others leave and free their own portal and enter the winner's.
  static void CreateAndRead(std::atomic<TnxInternalReadWritePortal*>& aPortal);
  static void CreateAndWrite(std::atomic<TnxInternalReadWritePortal*>& aPortal);

  // Diagnostics.
  std::int32_t PortalCount() const { return rwpPortal.load(); }
  std::uint32_t WriterID() const { return rwpWriterID.load(); }
  std::uint32_t WaitingReaders() const { return rwpReadEvent.waitingThreads(); }
  std::uint32_t WaitingWriters() const { return rwpWriteEvent.waitingThreads(); }

 private:
  std::atomic<std::int32_t> rwpPortal{0xFFFF};
  TnxOwned<TnxThreadStates> rwpThreadStates;
  platform::Event rwpReadEvent{platform::Event::Kind::manualReset, true};
  platform::Event rwpWriteEvent{platform::Event::Kind::autoReset, false};
  std::atomic<std::uint32_t> rwpWriterID{0};
  std::uint32_t rwpWriterCount = 0;  // only the writer touches it
  std::atomic<std::int32_t> rwpGeneration{0};
};

class TnxPortalReadGuard {
 public:
  explicit TnxPortalReadGuard(TnxInternalReadWritePortal& aPortal) : portal_(aPortal) { portal_.BeginRead(); }
  ~TnxPortalReadGuard() { portal_.EndRead(); }
  TnxPortalReadGuard(const TnxPortalReadGuard&) = delete;
  TnxPortalReadGuard& operator=(const TnxPortalReadGuard&) = delete;

 private:
  TnxInternalReadWritePortal& portal_;
};

class TnxPortalWriteGuard {
 public:
  explicit TnxPortalWriteGuard(TnxInternalReadWritePortal& aPortal)
      : portal_(aPortal), noOtherWriter_(aPortal.BeginWrite()) {}
  ~TnxPortalWriteGuard() { portal_.EndWrite(); }
  TnxPortalWriteGuard(const TnxPortalWriteGuard&) = delete;
  TnxPortalWriteGuard& operator=(const TnxPortalWriteGuard&) = delete;
  // BeginWrite's answer: no other writer entered meanwhile.
  bool NoOtherWriter() const { return noOtherWriter_; }

 private:
  TnxInternalReadWritePortal& portal_;
  bool noOtherWriter_;
};
