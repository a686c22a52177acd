#include "nxllThread.h"

#include <array>
#include <charconv>
#include <string>
#include <utility>

#include "plString.h"

// ---------------------------------------------------------------------------
// Thread priorities

namespace {

struct PriorityIdent {
  TnxThreadPriority value;
  std::u16string_view ident;
};

constexpr std::array<PriorityIdent, 7> kPriorityIdents{{
    {-15, u"IDLE"},
    {-2, u"LOWEST"},
    {-1, u"BELOW_NORMAL"},
    {0, u"NORMAL"},
    {1, u"ABOVE_NORMAL"},
    {2, u"HIGHEST"},
    {15, u"TIME_CRITICAL"},
}};


}  // namespace

bool nxThreadPriorityToIdent(TnxThreadPriority aValue, nxString& aIdent) {
  for (const PriorityIdent& p : kPriorityIdents)
    if (p.value == aValue) {
      aIdent = p.ident;
      return true;
    }
  return false;
}

bool nxIdentToThreadPriority(platform::UnicodeStringView aIdent, TnxThreadPriority& aValue) {
  for (const PriorityIdent& p : kPriorityIdents)
    if (platform::sameTextAscii(p.ident, aIdent)) {
      aValue = p.value;
      return true;
    }
  return false;
}

nxString nxThreadPriorityToString(TnxThreadPriority aValue) {
  nxString ident;
  if (nxThreadPriorityToIdent(aValue, ident)) return ident;
  const std::string digits = std::to_string(int{aValue});
  return nxString(digits.begin(), digits.end());
}

TnxThreadPriority nxStringToThreadPriority(platform::UnicodeStringView aText) {
  TnxThreadPriority value = 0;
  if (nxIdentToThreadPriority(aText, value)) return value;
  // A number: optional sign, then decimal digits only.
  std::string narrow;
  for (char16_t c : aText) {
    if (c > 0x7F) throw platform::ConvertError("'" + platform::toUtf8(nxString(aText)) + "' is not a valid thread priority");
    narrow.push_back(static_cast<char>(c));
  }
  std::int64_t number = 0;
  const char* first = narrow.data();
  const char* last = first + narrow.size();
  if (first != last && *first == '+') ++first;
  const auto [end, error] = std::from_chars(first, last, number);
  if (narrow.empty() || error == std::errc::invalid_argument || end != last)
    throw platform::ConvertError("'" + narrow + "' is not a valid thread priority");
  if (error == std::errc::result_out_of_range || number < nxThreadPriorityMin || number > nxThreadPriorityMax)
    throw platform::RangeError("Thread priority " + narrow + " is out of range");
  return static_cast<TnxThreadPriority>(number);
}

// ---------------------------------------------------------------------------
// Exceptions

NX_IMPLEMENT_EXCEPTION(EnxThread, EnxBaseException)
NX_IMPLEMENT_EXCEPTION(EnxInternalInitThread, EnxThread)
NX_IMPLEMENT_EXCEPTION(EnxInternalWaitThread, EnxInternalInitThread)
NX_IMPLEMENT_EXCEPTION(EnxInitThread, EnxInternalWaitThread)

// ---------------------------------------------------------------------------
// TnxThread

PL_CLASS_INFO_IMPL(TnxThread, platform::TThread, "TnxThread", nullptr)

TnxThread::TnxThread(bool aCreateSuspended, platform::ThreadPriority aThreadPriority)
    : platform::TThread(aCreateSuspended) {
  setPriority(aThreadPriority);
}

void TnxThread::afterConstruction() {
  // The class name is known only now: a base constructor sees its own class.
  if (nxtName.empty()) {
    const std::string_view name = className();
    nxtName.assign(name.begin(), name.end());
  }
  platform::TThread::afterConstruction();
}

const platform::ClassInfo& TnxThread::ExceptionClass() const { return EnxThread::staticClassInfo(); }

void TnxThread::WaitForEx(std::int32_t aTimeout) {
  // -1 becomes the unlimited wait.
  const auto timeout = static_cast<std::uint32_t>(aTimeout);
  if (nxIsMainThread())
    platform::messageAwareWait(handle(), timeout);
  else
    handle().wait(timeout);
}

void TnxThread::execute() {
  struct ClearPendingMessage {
    ~ClearPendingMessage() { EnxBaseException::nxSetMessage(0, u""); }
  } clearPendingMessage;
  try {
    DoExecute();
  } catch (const std::exception& e) {
    DoHandleException(e);
  }
}

// ---------------------------------------------------------------------------
// TnxInternalInitThread

PL_CLASS_INFO_IMPL(TnxInternalInitThread, TnxThread, "TnxInternalInitThread", nullptr)

TnxInternalInitThread::TnxInternalInitThread(platform::ThreadPriority aThreadPriority)
    : TnxThread(false, aThreadPriority),
      // A semaphore here is a condition variable and cannot fail with an
      // operating-system error; running out of memory raises as usual.
      itInitSemaphore(std::make_unique<platform::Event>(platform::Event::Kind::autoReset)) {}

const platform::ClassInfo& TnxInternalInitThread::ExceptionClass() const {
  return EnxInternalInitThread::staticClassInfo();
}

void TnxInternalInitThread::afterConstruction() {
  TnxThread::afterConstruction();
  try {
    if (nxIsMainThread())
      platform::messageAwareWait(*itInitSemaphore, platform::kInfinite);
    else
      itInitSemaphore->wait(platform::kInfinite);
  } catch (...) {
    // The thread may still release the semaphore: stop it before the
    // semaphore and the object go.
    shutdownThread();
    itInitSemaphore.reset();
    throw;
  }
  itInitSemaphore.reset();
  if (itInitException) {
    std::exception_ptr initException = std::exchange(itInitException, nullptr);
    // The thread has stopped after its failed start-up; join it while the
    // object is whole, since a failed construction skips beforeDestruction.
    shutdownThread();
    std::rethrow_exception(initException);
  }
}

void TnxInternalInitThread::DoExecute() {
  bool started = false;
  try {
    DoBeforeExecute();
    started = true;
  } catch (...) {
    terminate();
    itInitException = std::current_exception();
  }
  // The creator clears the semaphore once it returns from the wait: this is
  // the thread's last use of it.
  itInitSemaphore->set();
  if (!started) return;
  try {
    InnerExecute();
  } catch (...) {
    DoAfterExecute();
    throw;
  }
  DoAfterExecute();
}

// ---------------------------------------------------------------------------
// TnxInternalWaitThread

PL_CLASS_INFO_IMPL(TnxInternalWaitThread, TnxInternalInitThread, "TnxInternalWaitThread", nullptr)

TnxInternalWaitThread::TnxInternalWaitThread(platform::ThreadPriority aThreadPriority)
    : TnxInternalInitThread(aThreadPriority) {}

const platform::ClassInfo& TnxInternalWaitThread::ExceptionClass() const {
  return EnxInternalWaitThread::staticClassInfo();
}

void TnxInternalWaitThread::DoAfterExecute() {
  wtWaiting.store(true, std::memory_order_release);
  platform::messageAwareWait(wtWaitSemaphore, platform::kInfinite);
}

void TnxInternalWaitThread::shutdownThread() {
  wtWaitSemaphore.set();
  TnxInternalInitThread::shutdownThread();
}

// ---------------------------------------------------------------------------
// TnxInitThread

PL_CLASS_INFO_IMPL(TnxInitThread, TnxInternalWaitThread, "TnxInitThread", nullptr)

TnxInitThread::TnxInitThread(platform::ThreadPriority aThreadPriority) : TnxInternalWaitThread(aThreadPriority) {}

const platform::ClassInfo& TnxInitThread::ExceptionClass() const { return EnxInitThread::staticClassInfo(); }

void TnxInitThread::afterConstruction() {
  TnxInternalWaitThread::afterConstruction();
  ReleaseWait();
}

// ---------------------------------------------------------------------------
// TnxTimerThread

PL_CLASS_INFO_IMPL(TnxTimerThread, TnxInitThread, "TnxTimerThread", nullptr)

TnxTimerThread::TnxTimerThread(std::int32_t aInterval, platform::ThreadPriority aThreadPriority)
    : TnxInitThread(aThreadPriority), ttTimerEvent(platform::create<TnxEvent>()), ttTimerInterval(aInterval) {}

TnxTimerThread::~TnxTimerThread() { nxFreeAndNil(ttTimerEvent); }

void TnxTimerThread::InnerExecute() {
  while (!terminated()) {
    // 0: no limit, so only the stop ends the wait.
    ttTimerEvent->WaitForQuietly(static_cast<TnxWord32>(ttTimerInterval));
    if (terminated()) break;
    try {
      DoTimer();
    } catch (const std::exception& e) {
      DoHandleException(e);
    }
  }
}

void TnxTimerThread::shutdownThread() {
  terminate();
  ttTimerEvent->SignalEvent();
  TnxInitThread::shutdownThread();
}

// ---------------------------------------------------------------------------
// TnxSimpleTimerThread

PL_CLASS_INFO_IMPL(TnxSimpleTimerThread, TnxTimerThread, "TnxSimpleTimerThread", nullptr)

TnxSimpleTimerThread::TnxSimpleTimerThread(std::int32_t aInterval, platform::ThreadPriority aThreadPriority,
                                           TnxThreadNotifyEvent aCallback)
    : TnxTimerThread(aInterval, aThreadPriority), sttCallback(aCallback) {}

void TnxSimpleTimerThread::DoTimer() {
  if (sttCallback) sttCallback(this);
}
