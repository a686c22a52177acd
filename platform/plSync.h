// Synchronisation primitives of the platform: a re-entrant mutex with
// try-lock (critical section) and auto-/manual-reset events with time-outs.
// Thread-local data uses C++ thread_local directly; there is no wrapper.
//
// Thread safety: every operation may be called from any thread. A
// CriticalSection must be left by the thread that entered it, as often as it
// entered it. Destroying a primitive that a thread still holds or waits on is
// a programming error.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace platform {

constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

enum class WaitResult { signaled, timeout };

class CriticalSection {
 public:
  // aSpinCount: tries of a failing try-lock before the thread blocks; pays
  // off for short sections under contention.
  explicit CriticalSection(std::uint32_t aSpinCount = 0) : spinCount_(aSpinCount) {}
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void enter();
  bool tryEnter() { return mutex_.try_lock(); }
  void leave() { mutex_.unlock(); }
  std::uint32_t spinCount() const { return spinCount_; }

  // For std::lock_guard / std::unique_lock.
  void lock() { enter(); }
  bool try_lock() { return tryEnter(); }
  void unlock() { leave(); }

 private:
  std::recursive_mutex mutex_;
  std::uint32_t spinCount_;
};

// An auto-reset event: set() with threads waiting releases exactly one of
// them at once (two set() calls release two waiters even if neither has run
// yet); with no waiter the event stays set until the next wait consumes it.
// A manual-reset event: set() releases every thread waiting at that moment,
// even if reset() follows at once, and stays set until reset().
class Event {
 public:
  enum class Kind { autoReset, manualReset };

  explicit Event(Kind aKind, bool aInitiallySet = false) : manual_(aKind == Kind::manualReset), set_(aInitiallySet) {}
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void set();
  void reset();
  // aTimeoutMs: kInfinite waits without limit; 0 only tests.
  WaitResult wait(std::uint32_t aTimeoutMs = kInfinite);
  bool isSet() const;
  bool manualReset() const { return manual_; }
  // Threads inside wait() now (for diagnostics and tests).
  std::uint32_t waitingThreads() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable cond_;
  const bool manual_;
  bool set_;
  std::uint64_t generation_ = 0;  // manual: counts set() calls
  std::uint32_t waiters_ = 0;     // threads waiting
  std::uint32_t releases_ = 0;    // auto: waiters released but not yet returned
};

}  // namespace platform
