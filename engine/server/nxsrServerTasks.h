// Background tasks of the server engine: the task information that a client
// polls (status, cancel) and the thread that runs one task's Execute.
//
// Contracts:
// - A task information object is created by its starter, lives in its
//   session's task list and is freed once, by the client or with the session.
//   Its thread never frees it.
// - Start protocol (Start): stiExecuting is raised before the thread exists,
//   the thread runs Init and then Execute, and the starter waits at most
//   2000 ms for the start event without failing on a time-out.
// - Every Execute runs inside a TnxServerTaskRun scope: it raises
//   stiExecuting and signals the start event first; at its end MarkFinished
//   and then the clearing of stiExecuting are the thread's last touches of
//   the task information. Freeing a task information cancels it and waits
//   (PrepareDestroy, before any subclass part goes) until stiExecuting is
//   clear, so the thread never uses freed memory.
// - Task threads do not free themselves: the server engine keeps them and
//   frees the ended ones on its cleanup tick and all of them when it stops,
//   so no task thread outlives the engine.
// Thread safety: the status is read and written only under stiPadlock;
// stiCancelled and stiExecuting are atomics written by one side and polled
// by the other.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "nxllSync.h"
#include "nxllThread.h"
#include "nxsdServerEngine.h"
#include "plThread.h"

class TnxServerSession;
class TnxServerEngine;
class TnxServerDatabase;
class TnxServerTableCursor;
class TnxBaseFile;

class TnxServerTaskInfo : public TnxSqlAbstractTaskInfo {
  PL_CLASS_INFO_DECL()
 public:
  TnxServerTaskInfo(TnxServerSession* aSession, TnxWord32 aTotalRecords,
                    platform::ThreadPriority aThreadPriority = platform::ThreadPriority::normal);
  ~TnxServerTaskInfo() override;

  // A copy of the status; a non-zero error code with its text becomes the
  // calling thread's last converted exception.
  TnxResult GetStatus(bool& aCompleted, TnxTaskStatus& aStatus) override;
  // The status reads finished with 13062 at once; the thread stops at its
  // next progress report. A second call changes nothing.
  TnxResult Cancel() override;
  // Runs in the task's thread before Execute.
  virtual void Init() {}

  // Called by the task's own thread: true (nothing stored) once cancelled,
  // which tells the caller to stop; else stores the progress.
  bool MakeSnapshot(TnxWord32 aRecordsRead, TnxWord32 aRecordsWritten, TnxResult aErrorCode);
  void MarkFinished();

  // Runs Execute in a new task thread (start protocol above).
  void Start();

  bool Cancelled() const { return stiCancelled.load(std::memory_order_acquire); }
  bool Executing() const { return stiExecuting.load(std::memory_order_acquire); }
  // Executing on another thread than the caller's.
  bool IsRunning() override { return Executing() && !stiOnOwnThread(); }
  platform::ThreadPriority ThreadPriority() const { return stiThreadPriority; }

  // Inherited, then "Cancelled" and "Executing".
  void AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aIncludeChildren) override;

 protected:
  // Cancels and waits until the thread has left Execute, while every
  // subclass part is still whole.
  void PrepareDestroy() override;
  // Sets the cancel flag and waits until Execute has ended, testing every
  // 100 ms. Called in the task's own thread (a cleanup that its final unlock
  // runs) it does not wait: the frame then touches nothing after it.
  void stiWaitForThread();
  bool stiOnOwnThread() const;

  friend class TnxServerTaskRun;
  friend class TnxServerTaskThread;

  platform::ThreadPriority stiThreadPriority;
  TnxPadlock* stiPadlock = nullptr;  // owned
  TnxTaskStatus stiStatus{};
  std::atomic<bool> stiCancelled{false};
  std::atomic<bool> stiExecuting{false};
  TnxEvent* stiStartEvt = nullptr;  // owned
  // The running frame: its thread and its flag that says the task was freed
  // under it. Written by the frame; read by a free in the same thread.
  std::atomic<std::uint32_t> stiRunThread{0};
  bool* stiRunFreed = nullptr;
};

// The frame of one Execute: raises stiExecuting and signals the start event
// (at once, or with Started when the task first takes a lock); on leaving
// (also by an exception) MarkFinished, then stiExecuting cleared as the last
// touch of the task information, unless the task was freed in this thread
// meanwhile (Freed).
class TnxServerTaskRun {
 public:
  explicit TnxServerTaskRun(TnxServerTaskInfo* aTaskInfo, bool aSignalStart = true);
  ~TnxServerTaskRun();
  TnxServerTaskRun(const TnxServerTaskRun&) = delete;
  TnxServerTaskRun& operator=(const TnxServerTaskRun&) = delete;
  void Started();
  bool Freed() const { return freed_; }

 private:
  TnxServerTaskInfo* run_;
  bool freed_ = false;
};

// A task that is finished when created: the starter already knows the
// answer and reports it as the total, read and written.
class TnxServerDoNothingTaskInfo : public TnxServerTaskInfo {
  PL_CLASS_INFO_DECL()
 public:
  TnxServerDoNothingTaskInfo(TnxServerSession* aSession, TnxWord32 aResult);
  void Execute() override {}
};

// The background record count of a table cursor: holds the session lock for
// the whole count (other calls of the session are kept out meanwhile), walks
// the cursor's path from its beginning and puts position and filters back.
// The cursor records the task in sbcTaskInfo from creation to destruction;
// when the cursor goes first it cancels the task, waits for its thread and
// detaches it (atiCursorGoes).
class TnxServerGetRecCountTaskInfo : public TnxServerTaskInfo {
  PL_CLASS_INFO_DECL()
 public:
  // REQUIRES: aCursor has no task (an assertion).
  TnxServerGetRecCountTaskInfo(TnxRecordCountOption aOption, TnxWord32 aRecordCount, TnxServerTableCursor* aCursor);
  ~TnxServerGetRecCountTaskInfo() override;
  void Execute() override;
  void atiCursorGoes() override;
  TnxServerTableCursor* Cursor() const { return rciCursor; }

 private:
  TnxResult rciCount(TnxWord32& aCount);

  TnxServerDatabase* rciDatabase;
  TnxServerTableCursor* rciCursor;  // not owned; nil once detached
  TnxRecordCountOption rciOption;
};

// The index rebuild: deletes the index's keys and refills them through a
// bulk builder from one pass in record order, in one transaction on the
// cursor's transaction context under an exclusive content lock; any failure
// or a cancel before the commit rolls back, so the index keeps its old keys.
// The SQL layer runs this class's Execute synchronously on a cursor of its
// own; the database's TableRebuildIndex uses the subclass below.
class TnxBaseServerRebuildIndexTaskInfo : public TnxServerTaskInfo {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseServerRebuildIndexTaskInfo(TnxServerTableCursor* aCursor, std::int32_t aIndexID);
  void Execute() override;

 protected:
  // After the work, before the final report (the subclass frees its cursor).
  virtual void riiAfterWork() {}

  TnxServerDatabase* riiDatabase;
  TnxServerTableCursor* riiCursor;
  std::int32_t riiIndexID;
  TnxResult riiError = 0;
  bool riiTransactionStarted = false;
  TnxWord32 riiRecordsRead = 0;
  TnxWord32 riiRecordsWritten = 0;
};

// The rebuild of the database's TableRebuildIndex: owns its exclusive
// cursor and the private database behind it.
class TnxServerRebuildIndexTaskInfo : public TnxBaseServerRebuildIndexTaskInfo {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseServerRebuildIndexTaskInfo::TnxBaseServerRebuildIndexTaskInfo;
  ~TnxServerRebuildIndexTaskInfo() override;

 protected:
  void riiAfterWork() override;
};

// The checksum verification of a table's files: each file that keeps a
// checksum (and was not verified before, unless forced) is walked block by
// block (raw bytes or stored cookies) and its checksum compared with the
// stored one; a mismatch ends the walk with 8961 and marks the file not
// verified. Runs with a 24-hour deadline; owns its cursor and the private
// database behind it.
class TnxServerVerifyChecksumTaskInfo : public TnxServerTaskInfo {
  PL_CLASS_INFO_DECL()
 public:
  TnxServerVerifyChecksumTaskInfo(TnxServerTableCursor* aCursor, bool aRaw, bool aForceRecheck);
  ~TnxServerVerifyChecksumTaskInfo() override;
  void Execute() override;

 private:
  TnxResult vctiVerifyFile(TnxBaseFile* aFile, TnxWord32& aCount);

  bool vctiRaw;
  bool vctiForceRecheck;
  TnxServerTableCursor* vctiCursor;  // owned
  std::vector<TnxBaseFile*> vctiFiles;
};

// The thread of one task. It runs Init in its start-up step, then Execute
// with no deadline inside a time-out nesting scope.
class TnxServerTaskThread : public TnxInitThread {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxServerTaskThread(TnxServerTaskInfo* aTaskInfo);
  // True once the thread is past its work; freeing it then does not block.
  bool Ended() const { return sttEnded.load(std::memory_order_acquire); }

 protected:
  void DoBeforeExecute() override;
  void InnerExecute() override;
  void DoAfterExecute() override;

 private:
  TnxServerTaskInfo* sttTaskInfo;  // not owned; not touched after Execute
  std::atomic<bool> sttEnded{false};
};
