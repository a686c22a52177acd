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

#include "nxllSync.h"
#include "nxllThread.h"
#include "nxsdServerEngine.h"
#include "plThread.h"

class TnxServerSession;
class TnxServerEngine;

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
  bool IsRunning() override { return Executing(); }
  platform::ThreadPriority ThreadPriority() const { return stiThreadPriority; }

  // Inherited, then "Cancelled" and "Executing".
  void AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aIncludeChildren) override;

 protected:
  // Cancels and waits until the thread has left Execute, while every
  // subclass part is still whole.
  void PrepareDestroy() override;

  friend class TnxServerTaskRun;
  friend class TnxServerTaskThread;

  platform::ThreadPriority stiThreadPriority;
  TnxPadlock* stiPadlock = nullptr;  // owned
  TnxTaskStatus stiStatus{};
  std::atomic<bool> stiCancelled{false};
  std::atomic<bool> stiExecuting{false};
  TnxEvent* stiStartEvt = nullptr;  // owned
};

// The frame of one Execute: raises stiExecuting and signals the start event;
// on leaving (also by an exception) MarkFinished, then stiExecuting cleared
// as the last touch of the task information.
class TnxServerTaskRun {
 public:
  explicit TnxServerTaskRun(TnxServerTaskInfo* aTaskInfo);
  ~TnxServerTaskRun();
  TnxServerTaskRun(const TnxServerTaskRun&) = delete;
  TnxServerTaskRun& operator=(const TnxServerTaskRun&) = delete;

 private:
  TnxServerTaskInfo* run_;
};

// A task that is finished when created: the starter already knows the
// answer and reports it as the total, read and written.
class TnxServerDoNothingTaskInfo : public TnxServerTaskInfo {
  PL_CLASS_INFO_DECL()
 public:
  TnxServerDoNothingTaskInfo(TnxServerSession* aSession, TnxWord32 aResult);
  void Execute() override {}
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
