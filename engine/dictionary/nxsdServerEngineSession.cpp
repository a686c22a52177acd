#include "nxsdServerEngineInt.h"

#include <algorithm>

#include "nxllBde.h"
#include "nxllException.h"
#include "nxllSessionNotifications.h"
#include "nxllUtils.h"
#include "plDateTime.h"
#include "plFormatSettings.h"
#include "plOs.h"

PL_CLASS_INFO_IMPL(TnxAbstractSession, TnxAbstractTimeoutObject, "TnxAbstractSession", nullptr)

namespace {

// The lock is made before the base, which keeps a reference to it.
TnxSimpleLock* newSessionLock(TnxAbstractSession* aSession, TnxBaseServerEngine* aEngine, const nxString& aUserName,
                              const nxString& aConnectedFrom) {
  TnxSessionStats* stats = nullptr;
  if (aEngine && aEngine->StatsEnabled()) stats = platform::create<TnxSessionStats>(aUserName, aConnectedFrom);
  return platform::create<TnxSimpleLock>(
      TnxFailedCleanupEvent::Of<&TnxAbstractSession::asFailedCleanup>(aSession), stats);
}

}  // namespace

TnxAbstractSession::TnxAbstractSession(TnxBaseServerEngine* aServerEngine, TnxWord32 aTimeout,
                                       const nxString& aUserName, const nxString& aPassword,
                                       const nxString& aConnectedFrom)
    : TnxAbstractTimeoutObject(nullptr, newSessionLock(this, aServerEngine, aUserName, aConnectedFrom), aTimeout),
      asServerEngine(aServerEngine),
      asConnectedSince(platform::now()),
      asUserName(aUserName),
      asPassword(aPassword),
      asConnectedFrom(aConnectedFrom) {
  asLock = static_cast<TnxSimpleLock*>(atoLock.get());
  TnxExceptionHookInfo info;
  info.ehiUserName = asUserName;
  info.ehiConnectedFrom = asConnectedFrom;
  info.ehiSessionID = GetRemoteID();
  asLock->SetExceptionHookInfo(info);
  asTaskInfosPadlock = platform::create<TnxPadlock>();
  if (!asServerEngine) return;
  TnxPadlockGuard guard(*asServerEngine->bseSessionsPadlock);
  asServerEnginePrev = asServerEngine->bseSessionsTail;
  if (asServerEnginePrev)
    asServerEnginePrev->asServerEngineNext = this;
  else
    asServerEngine->bseSessionsHead = this;
  asServerEngine->bseSessionsTail = this;
  asLinked = true;
}

TnxAbstractSession::~TnxAbstractSession() {
  if (TnxSessionNotifications* notifications = asSessionNotifications.exchange(nullptr)) {
    notifications->Disconnected();
    platform::TObject::free(notifications);
  }
  asUnlinkFromEngine();
  // A task whose release is still deferred by a call in progress outlives
  // the session: it must not reach back into it.
  for (TnxAbstractTaskInfo* task = asTaskInfosHead; task;) {
    TnxAbstractTaskInfo* next = task->atiSessionNext;
    task->atiSessionPrev = task->atiSessionNext = nullptr;
    task->asoSession = nullptr;
    task->esoParent = nullptr;
    task = next;
  }
  asTaskInfosHead = asTaskInfosTail = nullptr;
  platform::TObject::free(std::exchange(asTaskInfosPadlock, nullptr));
}

void TnxAbstractSession::afterConstruction() {
  TnxAbstractTimeoutObject::afterConstruction();
  if (asServerEngine) {
    asServerEngine->bseSessionCount.fetch_add(1, std::memory_order_acq_rel);
    asLockedIncDone = true;
  }
}

void TnxAbstractSession::beforeDestruction() {
  TnxAbstractTimeoutObject::beforeDestruction();
  if (std::exchange(asLockedIncDone, false)) asServerEngine->bseSessionCount.fetch_sub(1, std::memory_order_acq_rel);
}

void TnxAbstractSession::asUnlinkFromEngine() {
  if (!asLinked) return;
  TnxPadlockGuard guard(*asServerEngine->bseSessionsPadlock);
  if (asServerEnginePrev)
    asServerEnginePrev->asServerEngineNext = asServerEngineNext;
  else
    asServerEngine->bseSessionsHead = asServerEngineNext;
  if (asServerEngineNext)
    asServerEngineNext->asServerEnginePrev = asServerEnginePrev;
  else
    asServerEngine->bseSessionsTail = asServerEnginePrev;
  asServerEnginePrev = asServerEngineNext = nullptr;
  asLinked = false;
  if (!asServerEngine->bseSessionsHead) asServerEngine->CleanupInactive();
}

std::int32_t TnxAbstractSession::GetMinVersion() { return std::min(GetClientVersion(), GetServerVersion()); }

void TnxAbstractSession::asDoFailed(bool aPermanent, bool aWait) {
  if (atoLock) atoLock->Failed(aPermanent, aWait);
}

void TnxAbstractSession::Failed(TnxAbstractSession* aSession, bool aPermanent) {
  if (!aSession || aSession->Destroying()) return;
  aSession->asDoFailed(aPermanent, false);
}

TnxSessionStats* TnxAbstractSession::asCreateStats() {
  return platform::create<TnxSessionStats>(asUserName, asConnectedFrom);
}

void TnxAbstractSession::PrepareDestroy() {
  asDoFailed(true, true);
  TnxAbstractTimeoutObject::PrepareDestroy();
}

TnxResult TnxAbstractSession::OptionSet(const nxString& aName, const nxString& aValue) {
  const TnxResult result = TnxAbstractTimeoutObject::OptionSet(aName, aValue);
  nxString client;
  esoOptionGet(u"_CurrentClientInfo", client);
  if (asLock) asLock->SetExceptionHookClient(client);
  return result;
}

std::int32_t TnxAbstractSession::TaskInfoCount() {
  TnxPadlockGuard guard(*asTaskInfosPadlock);
  std::int32_t count = 0;
  for (TnxAbstractTaskInfo* task = asTaskInfosHead; task; task = task->atiSessionNext) ++count;
  return count;
}

std::int32_t TnxAbstractSession::GetClientVersion() { return nxsd_server_engine_int::kInProcessVersion; }

std::int32_t TnxAbstractSession::GetServerVersion() { return nxsd_server_engine_int::kInProcessVersion; }

TnxResult TnxAbstractSession::DatabaseCacheOpen(TnxAbstractDatabase*& aDatabase, const nxString&, const nxString&,
                                                TnxAbstractTransContext*, TnxOpenMode, TnxShareMode, TnxWord32) {
  aDatabase = nullptr;
  return NotSupported(u"DatabaseCacheOpen");
}

namespace {

// The session's conveniences: a temporary database by alias name, freed in
// any case; the first non-zero code answers.
template <class F>
TnxResult withTemporaryDatabase(TnxAbstractSession* aSession, const nxString& aAliasName, TnxOpenMode aOpenMode,
                                std::uint32_t aTimeout, F&& aWork) {
  TnxAbstractDatabase* database = nullptr;
  TnxResult result = aSession->DatabaseOpen(database, u"Name", aAliasName, nullptr, aOpenMode, smShared, aTimeout);
  if (result == 0 && database) {
    try {
      result = aWork(database);
    } catch (...) {
      TnxAbstractServerObject::Free(database);
      throw;
    }
  }
  TnxAbstractServerObject::Free(database);
  return result;
}

}  // namespace

TnxResult TnxAbstractSession::TableStreamRead(const nxString& aAliasName, const nxString& aTableName,
                                              const nxString& aPassword, const nxString& aStreamName,
                                              TStream& aStream) {
  return nxGuardedCall(*this, [&] {
    return withTemporaryDatabase(this, aAliasName, omReadOnly, Timeout(), [&](TnxAbstractDatabase* aDb) {
      return aDb->TableStreamRead(aTableName, aPassword, aStreamName, aStream);
    });
  });
}

TnxResult TnxAbstractSession::TableStreamWrite(const nxString& aAliasName, const nxString& aTableName,
                                               const nxString& aPassword, const nxString& aStreamName,
                                               TStream& aStream) {
  return nxGuardedCall(*this, [&] {
    return withTemporaryDatabase(this, aAliasName, omReadWrite, Timeout(), [&](TnxAbstractDatabase* aDb) {
      return aDb->TableStreamWrite(aTableName, aPassword, aStreamName, aStream);
    });
  });
}

TnxResult TnxAbstractSession::TableExists(const nxString& aAliasName, const nxString& aTableName,
                                          const nxString& aPassword, bool& aExists, bool aAllowSystem) {
  aExists = false;
  return nxGuardedCall(*this, [&] {
    return withTemporaryDatabase(this, aAliasName, omReadOnly, Timeout(), [&](TnxAbstractDatabase* aDb) {
      return aDb->TableExists(aTableName, aPassword, aExists, aAllowSystem || aDb->ExplicitAllowSystem());
    });
  });
}

void TnxAbstractSession::GetUserInfo(platform::TStringList& aStrings) {
  const nxString since = nxDateTimeToStr(asConnectedSince, platform::defaultFormatSettings());
  aStrings.add(nxEncodeCustomInfo(u"Session.ID", platform::fromUtf8(std::to_string(GetRemoteID()))) +
               u"Connected since: " + since + nxEncodeCustomInfo(u"Session.ConnectedSince", since));
  if (!asUserName.empty())
    aStrings.add(u"Username: " + asUserName + u" [" +
                 (asAuthenticated ? nxString(u"authenticated") : nxString(u"not authenticated")) + u"]" +
                 nxEncodeCustomInfo(u"Session.UserName", asUserName) +
                 nxEncodeCustomInfo(u"Session.Authenticated", asAuthenticated ? u"1" : u"0"));
  else
    aStrings.add(nxString(u"anonymous User") + nxEncodeCustomInfo(u"Session.UserName", u""));
  if (!asConnectedFrom.empty())
    aStrings.add(u"Connected from: " + asConnectedFrom + nxEncodeCustomInfo(u"Session.ConnectedFrom", asConnectedFrom));
}

InxSessionNotifications* TnxAbstractSession::SessionNotifications() {
  if (TnxSessionNotifications* existing = asSessionNotifications.load(std::memory_order_acquire)) return existing;
  auto* fresh = platform::create<TnxSessionNotifications>(static_cast<InxAbstractServerObject41100*>(this));
  TnxSessionNotifications* expected = nullptr;
  if (asSessionNotifications.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return fresh;
  // Another thread installed its copy first.
  platform::TObject::free(fresh);
  return expected;
}

std::int32_t TnxAbstractSession::DatabaseCount() {
  TnxPadlockGuard guard(asDatabasesPadlock);
  std::int32_t count = 0;
  for (TnxAbstractDatabase* d = asDatabasesHead; d; d = d->adSessionNext) ++count;
  return count;
}

std::int32_t TnxAbstractSession::TransContextCount() {
  TnxPadlockGuard guard(asTransContextsPadlock);
  std::int32_t count = 0;
  for (TnxAbstractTransContext* c = asTransContextsHead; c; c = c->atcSessionNext) ++count;
  return count;
}

void TnxAbstractSession::asFailedCleanup(platform::TObject*) {
  // Tasks first: cancelled by their PrepareDestroy; one still running is
  // given up to 20 rounds (about 2 s) to stop.
  for (int round = 0; round < 20; ++round) {
    {
      TnxPadlockGuard guard(*asTaskInfosPadlock);
      bool running = false;
      for (TnxAbstractTaskInfo* task = asTaskInfosHead; task && !running; task = task->atiSessionNext)
        running = round == 0 || task->IsRunning();
      if (!running) break;
    }
    if (round > 0) platform::sleepMs(100);
    {
      TnxPadlockGuard guard(*asTaskInfosPadlock);
      for (TnxAbstractTaskInfo* task = asTaskInfosHead; task; task = task->atiSessionNext)
        if (!task->Destroying()) task->PrepareDestroy();
    }
    platform::sleepMs(1);
  }
  {
    TnxPadlockGuard guard(asDatabasesPadlock);
    for (TnxAbstractDatabase* d = asDatabasesHead; d; d = d->adSessionNext)
      if (!d->Destroying()) d->PrepareDestroy();
  }
  {
    TnxPadlockGuard guard(asTransContextsPadlock);
    for (TnxAbstractTransContext* c = asTransContextsHead; c; c = c->atcSessionNext)
      if (!c->Destroying()) c->PrepareDestroy();
  }
  // Each list from its tail; a member already on its way out is passed.
  auto freeFromTail = [](TnxPadlock& aPadlock, auto*& aTail, auto aPrev) {
    for (;;) {
      TnxAbstractServerObject* item = nullptr;
      {
        TnxPadlockGuard guard(aPadlock);
        auto* p = aTail;
        while (p && p->Destroying()) p = p->*aPrev;
        item = p;
      }
      if (!item) break;
      TnxAbstractServerObject::Free(item);
    }
  };
  freeFromTail(*asTaskInfosPadlock, asTaskInfosTail, &TnxAbstractTaskInfo::atiSessionPrev);
  freeFromTail(asDatabasesPadlock, asDatabasesTail, &TnxAbstractDatabase::adSessionPrev);
  freeFromTail(asTransContextsPadlock, asTransContextsTail, &TnxAbstractTransContext::atcSessionPrev);
  asCleanedUp.store(true, std::memory_order_release);
  if (asLock) asLock->SetFailedCleanupDone();
}
