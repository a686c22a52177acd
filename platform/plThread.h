// The class library's thread class, reduced to what the engine's threads use:
// a thread object whose virtual execute() runs in its own thread, a
// terminated flag that the body polls, a handle that is signalled when the
// thread has ended, best-effort priorities and the termination handler.
//
// Life: create<T>(aCreateSuspended) builds the object; afterConstruction()
// starts the thread unless it was created suspended (start() does it later),
// so execute() never runs on a half-built object. free() runs
// beforeDestruction(), which calls the virtual shutdownThread(): terminate,
// then wait until the thread has ended and join it. Threads are never killed:
// a body that ignores the terminated flag delays its owner's free(). A
// subclass with its own stop handshake (an event to signal, a parked thread to
// release) overrides shutdownThread() and calls the inherited one last; a
// subclass whose afterConstruction() fails after the start must call
// shutdownThread() before it rethrows, because create<T> then destroys the
// object without beforeDestruction(). Destroy thread objects with free(),
// never delete, and never from their own thread.
//
// Exceptions: whatever escapes execute() is kept as fatalException(); the
// thread then ends normally. doTerminate() runs in the ending thread after
// execute() and calls onTerminate there (this layer has no main-thread
// message loop to hand it to).
//
// Priorities: the seven levels of the class library. On Linux they map to
// per-thread nice values; raising a priority needs privileges the process
// usually lacks, so a refused change is ignored and priority() answers the
// level last asked for.
//
// Message-aware waits: a thread that waits while other threads may send
// messages to its windows (the main thread, a parked worker) waits through
// messageAwareWait(). Without a hook it is a plain wait; a GUI layer installs
// a hook that waits on the event and delivers the sent messages meanwhile.
//
// Thread safety: one owner thread creates, starts and frees a thread object;
// terminate(), terminated(), finished() and handle() may be used from any
// thread. The hook is process-wide and may be swapped at any time.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <thread>

#include "plObject.h"
#include "plSync.h"

namespace platform {

enum class ThreadPriority : std::uint8_t { idle, lowest, lower, normal, higher, highest, timeCritical };

// Waits for aEvent like Event::wait (consuming an auto-reset signal) while
// delivering messages sent to the calling thread; answers as Event::wait.
using MessageAwareWaitHook = WaitResult (*)(Event& aEvent, std::uint32_t aTimeoutMs);

// Null restores the plain wait.
void setMessageAwareWaitHook(MessageAwareWaitHook aHook);
MessageAwareWaitHook messageAwareWaitHook();
WaitResult messageAwareWait(Event& aEvent, std::uint32_t aTimeoutMs);

class TThread : public TObject {
  PL_CLASS_INFO_DECL()
 public:
  using NotifyEvent = std::function<void(TObject* aSender)>;

  explicit TThread(bool aCreateSuspended);
  // Safety net only: joins a thread that free() did not stop.
  ~TThread() override;

  void afterConstruction() override;
  void beforeDestruction() override;

  // Starts a thread created suspended; a second start does nothing.
  void start();
  void terminate() { terminated_.store(true, std::memory_order_release); }
  bool terminated() const { return terminated_.load(std::memory_order_acquire); }
  // True once execute() and doTerminate() are done.
  bool finished() const { return finished_.load(std::memory_order_acquire); }
  bool started() const { return started_; }
  // Manual-reset; set when the thread has ended.
  Event& handle() { return finishedEvent_; }
  // Waits without limit until the thread has ended, then joins it.
  void waitFor();

  ThreadPriority priority() const { return priority_.load(std::memory_order_relaxed); }
  void setPriority(ThreadPriority aPriority);
  // Kernel id of the running thread; 0 before it runs.
  std::uint32_t threadId() const { return threadId_.load(std::memory_order_acquire); }
  // What escaped execute(), or null.
  std::exception_ptr fatalException() const { return finished() ? fatalException_ : nullptr; }

  NotifyEvent onTerminate;

 protected:
  virtual void execute() = 0;
  virtual void doTerminate();
  // Terminates, then waits for the end (see the header comment).
  virtual void shutdownThread();

 private:
  void threadProc();
  void applyPriority();

  const bool createSuspended_;
  bool started_ = false;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::atomic<ThreadPriority> priority_{ThreadPriority::normal};
  std::atomic<std::uint32_t> threadId_{0};
  std::exception_ptr fatalException_;
  Event finishedEvent_{Event::Kind::manualReset};
  std::thread thread_;
};

}  // namespace platform
