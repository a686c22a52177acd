#include "plSync.h"

#include <chrono>

namespace platform {

void CriticalSection::enter() {
  for (std::uint32_t i = 0; i < spinCount_; ++i) {
    if (mutex_.try_lock()) return;
    __builtin_ia32_pause();
  }
  mutex_.lock();
}

void Event::set() {
  std::lock_guard guard(mutex_);
  if (manual_) {
    set_ = true;
    ++generation_;
    cond_.notify_all();
  } else if (waiters_ > releases_) {
    // Hand the signal to one waiter directly, so a second set() is not lost
    // before that waiter runs.
    ++releases_;
    cond_.notify_one();
  } else {
    set_ = true;
  }
}

void Event::reset() {
  std::lock_guard guard(mutex_);
  set_ = false;
}

bool Event::isSet() const {
  std::lock_guard guard(mutex_);
  return set_;
}

std::uint32_t Event::waitingThreads() const {
  std::lock_guard guard(mutex_);
  return waiters_;
}

WaitResult Event::wait(std::uint32_t aTimeoutMs) {
  std::unique_lock guard(mutex_);
  // An open manual gate is the common case: no clock read, no waiter count.
  if (manual_ && set_) return WaitResult::signaled;
  const auto deadline = aTimeoutMs == kInfinite
                            ? std::chrono::steady_clock::time_point::max()
                            : std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeoutMs);
  auto waitFor = [&](auto ready) {
    if (aTimeoutMs == kInfinite) {
      cond_.wait(guard, ready);
      return true;
    }
    return cond_.wait_until(guard, deadline, ready);
  };

  if (manual_) {
    const std::uint64_t seen = generation_;
    ++waiters_;
    const bool released = waitFor([&] { return set_ || generation_ != seen; });
    --waiters_;
    return released ? WaitResult::signaled : WaitResult::timeout;
  }
  if (set_) {
    set_ = false;  // this waiter consumes the signal
    return WaitResult::signaled;
  }
  ++waiters_;
  const bool released = waitFor([&] { return releases_ > 0; });
  --waiters_;
  if (!released) return WaitResult::timeout;
  --releases_;
  return WaitResult::signaled;
}

}  // namespace platform
