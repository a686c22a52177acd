#include "plThread.h"

#include <sys/resource.h>

#include "plOs.h"

namespace platform {

namespace {

std::atomic<MessageAwareWaitHook> gMessageAwareWaitHook{nullptr};

// Nice values per level: idle as low as Linux goes, time-critical as high.
int niceOf(ThreadPriority aPriority) {
  switch (aPriority) {
    case ThreadPriority::idle: return 19;
    case ThreadPriority::lowest: return 10;
    case ThreadPriority::lower: return 5;
    case ThreadPriority::normal: return 0;
    case ThreadPriority::higher: return -5;
    case ThreadPriority::highest: return -10;
    case ThreadPriority::timeCritical: return -20;
  }
  return 0;
}

}  // namespace

void setMessageAwareWaitHook(MessageAwareWaitHook aHook) { gMessageAwareWaitHook.store(aHook); }

MessageAwareWaitHook messageAwareWaitHook() { return gMessageAwareWaitHook.load(); }

WaitResult messageAwareWait(Event& aEvent, std::uint32_t aTimeoutMs) {
  if (MessageAwareWaitHook hook = gMessageAwareWaitHook.load()) return hook(aEvent, aTimeoutMs);
  return aEvent.wait(aTimeoutMs);
}

PL_CLASS_INFO_IMPL(TThread, TObject, "TThread", nullptr)

TThread::TThread(bool aCreateSuspended) : createSuspended_(aCreateSuspended) {}

TThread::~TThread() {
  if (!thread_.joinable()) return;
  terminate();
  if (thread_.get_id() == std::this_thread::get_id())
    thread_.detach();  // freed from its own thread: nothing left to wait for
  else
    thread_.join();
}

void TThread::afterConstruction() {
  if (!createSuspended_) start();
}

void TThread::beforeDestruction() { shutdownThread(); }

void TThread::start() {
  if (started_) return;
  started_ = true;
  thread_ = std::thread([this] { threadProc(); });
}

void TThread::shutdownThread() {
  terminate();
  waitFor();
}

void TThread::waitFor() {
  if (!thread_.joinable()) return;
  finishedEvent_.wait(kInfinite);
  if (thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void TThread::setPriority(ThreadPriority aPriority) {
  priority_.store(aPriority, std::memory_order_relaxed);
  if (threadId() != 0 && !finished()) applyPriority();
}

void TThread::applyPriority() {
  // Best effort: an unprivileged process may lower but not raise it.
  (void)setpriority(PRIO_PROCESS, static_cast<id_t>(threadId()), niceOf(priority()));
}

void TThread::doTerminate() {
  if (onTerminate) onTerminate(this);
}

void TThread::threadProc() {
  threadId_.store(currentThreadId(), std::memory_order_release);
  if (priority() != ThreadPriority::normal) applyPriority();
  try {
    if (!terminated()) execute();
  } catch (...) {
    fatalException_ = std::current_exception();
  }
  try {
    doTerminate();
  } catch (...) {
    if (!fatalException_) fatalException_ = std::current_exception();
  }
  finished_.store(true, std::memory_order_release);
  finishedEvent_.set();  // the owner may free the object from here on
}

}  // namespace platform
