#include "nxsdServerEngineInt.h"

#include "nxllBde.h"
#include "nxllException.h"

PL_CLASS_INFO_IMPL(TnxBaseTransContext, TnxAbstractTimeoutObject, "TnxBaseTransContext", nullptr)
PL_CLASS_INFO_IMPL(TnxAbstractDatabase, TnxBaseTransContext, "TnxAbstractDatabase", nullptr)
PL_CLASS_INFO_IMPL(TnxAbstractTransContext, TnxBaseTransContext, "TnxAbstractTransContext", nullptr)

using nxsd_server_engine_int::splitPath;

namespace {

// Links a member at the tail of an owner's list (the owner's padlock held).
template <class T, class Prev, class Next>
void linkTail(T* aItem, T*& aHead, T*& aTail, Prev aPrev, Next aNext) {
  aItem->*aPrev = aTail;
  aItem->*aNext = nullptr;
  if (aTail)
    aTail->*aNext = aItem;
  else
    aHead = aItem;
  aTail = aItem;
}

template <class T, class Prev, class Next>
void unlink(T* aItem, T*& aHead, T*& aTail, Prev aPrev, Next aNext) {
  if (aItem->*aPrev)
    (aItem->*aPrev)->*aNext = aItem->*aNext;
  else
    aHead = aItem->*aNext;
  if (aItem->*aNext)
    (aItem->*aNext)->*aPrev = aItem->*aPrev;
  else
    aTail = aItem->*aPrev;
  aItem->*aPrev = aItem->*aNext = nullptr;
}

}  // namespace

// ---- Database ----------------------------------------------------------------------

TnxAbstractDatabase::TnxAbstractDatabase(TnxAbstractSession* aSession, TnxAbstractTransContext* aTransContext,
                                         std::uint32_t aTimeout)
    : TnxBaseTransContext(aSession, aSession ? aSession->SessionLock() : nullptr, aTimeout) {
  if (aSession) {
    TnxPadlockGuard guard(aSession->asDatabasesPadlock);
    linkTail(this, aSession->asDatabasesHead, aSession->asDatabasesTail, &TnxAbstractDatabase::adSessionPrev,
             &TnxAbstractDatabase::adSessionNext);
    adInSession = true;
  }
  if (!aTransContext && aSession) {
    const TnxResult result = aSession->TransContextCreate(adOwnedTransContext, aTimeout);
    if (result != 0 || !adOwnedTransContext) {
      // This destructor does not run for a constructor that throws.
      TnxPadlockGuard guard(aSession->asDatabasesPadlock);
      unlink(this, aSession->asDatabasesHead, aSession->asDatabasesTail, &TnxAbstractDatabase::adSessionPrev,
             &TnxAbstractDatabase::adSessionNext);
      adInSession = false;
      throw EnxBaseException(result != 0 ? result : nxErrInvalidParam);
    }
    aTransContext = adOwnedTransContext;
  }
  if (aTransContext) adAttachTo(aTransContext);
}

TnxAbstractDatabase::~TnxAbstractDatabase() {
  adDetach();
  if (adInSession) {
    TnxAbstractSession* session = Session();
    TnxPadlockGuard guard(session->asDatabasesPadlock);
    unlink(this, session->asDatabasesHead, session->asDatabasesTail, &TnxAbstractDatabase::adSessionPrev,
           &TnxAbstractDatabase::adSessionNext);
    adInSession = false;
  }
  for (;;) {
    TnxAbstractStatement* statement;
    {
      TnxPadlockGuard guard(adStatementsPadlock);
      statement = adStatementsHead;
      while (statement && statement->Destroying()) statement = statement->asDatabaseNext;
    }
    if (!statement) break;
    TnxAbstractServerObject::Free(statement);
  }
  for (;;) {
    TnxAbstractCursor* cursor;
    {
      TnxPadlockGuard guard(adCursorsPadlock);
      cursor = adCursorsHead;
      while (cursor && cursor->Destroying()) cursor = cursor->acDatabaseNext;
    }
    if (!cursor) break;
    TnxAbstractServerObject::Free(cursor);
  }
  if (TnxAbstractTransContext* owned = std::exchange(adOwnedTransContext, nullptr)) TnxAbstractServerObject::Free(owned);
}

void TnxAbstractDatabase::adAttachTo(TnxAbstractTransContext* aContext) {
  adTransContext = aContext;
  TnxPadlockGuard guard(aContext->atcDatabasesPadlock);
  linkTail(this, aContext->atcDatabasesHead, aContext->atcDatabasesTail, &TnxAbstractDatabase::adTransContextPrev,
           &TnxAbstractDatabase::adTransContextNext);
}

void TnxAbstractDatabase::adDetach() {
  TnxAbstractTransContext* context = std::exchange(adTransContext, nullptr);
  if (!context) return;
  TnxPadlockGuard guard(context->atcDatabasesPadlock);
  unlink(this, context->atcDatabasesHead, context->atcDatabasesTail, &TnxAbstractDatabase::adTransContextPrev,
         &TnxAbstractDatabase::adTransContextNext);
}

void TnxAbstractDatabase::afterConstruction() {
  TnxBaseTransContext::afterConstruction();
  if (TnxBaseServerEngine* engine = GetServerEngine()) {
    engine->bseDatabaseCount.fetch_add(1, std::memory_order_acq_rel);
    adLockedIncDone = true;
  }
}

void TnxAbstractDatabase::beforeDestruction() {
  TnxBaseTransContext::beforeDestruction();
  if (std::exchange(adLockedIncDone, false))
    if (TnxBaseServerEngine* engine = GetServerEngine()) engine->bseDatabaseCount.fetch_sub(1, std::memory_order_acq_rel);
}

namespace {

TnxResult noContext() { return nxErrInvalidParam; }

}  // namespace

static nxString indexName(int aIndex) {
  nxString name(u"[");
  name += platform::fromUtf8(std::to_string(aIndex));
  name.push_back(u']');
  return name;
}

namespace {

}  // namespace

TnxResult TnxAbstractDatabase::TransactionStart(bool aFailSafe, bool aSnapShot) {
  return adTransContext ? adTransContext->TransactionStart(aFailSafe, aSnapShot) : noContext();
}

TnxResult TnxAbstractDatabase::TransactionStartWith(bool aFailSafe, bool aSnapShot,
                                                    std::span<TnxAbstractCursor* const> aCursors) {
  return adTransContext ? adTransContext->TransactionStartWith(aFailSafe, aSnapShot, aCursors) : noContext();
}

TnxResult TnxAbstractDatabase::TransactionCommit() {
  return adTransContext ? adTransContext->TransactionCommit() : noContext();
}

TnxResult TnxAbstractDatabase::TransactionRollback() {
  return adTransContext ? adTransContext->TransactionRollback() : noContext();
}

TnxResult TnxAbstractDatabase::TransactionCorrupted() {
  return adTransContext ? adTransContext->TransactionCorrupted() : noContext();
}

TnxResult TnxAbstractDatabase::TransactionGetLevel(std::int32_t& aTransLevel) {
  return adTransContext ? adTransContext->TransactionGetLevel(aTransLevel) : noContext();
}

TnxResult TnxAbstractDatabase::TransactionGetInfo(TnxTransactionInfo& aTransInfo, bool aAllowCached) {
  aTransInfo = TnxTransactionInfo{};
  return adTransContext ? adTransContext->TransactionGetInfo(aTransInfo, aAllowCached) : noContext();
}

bool TnxAbstractDatabase::GetExplicitAllowSystem() {
  nxString value;
  return esoOptionGet(u"ALLOWSYSTEMTABLEACCESS", value) == 0 && value == u"1";
}

TnxResult TnxAbstractDatabase::SetCacheDatabase(TnxAbstractDatabase*) { return NotSupported(u"SetCacheDatabase"); }

TnxResult TnxAbstractDatabase::RegisterCursorSource(InxDatabaseCursorSource*,
                                                    TnxIntfPtr<InxDatabaseCursorSourceControl>& aControl) {
  aControl.reset();
  return NotSupported(u"RegisterCursorSource");
}

TnxResult TnxAbstractDatabase::CursorCacheOpen(TnxAbstractCursor*& aCursor, const nxString&, const nxString&,
                                               TnxOpenMode, TnxShareMode, std::uint32_t, const nxString&,
                                               std::int32_t, bool, TnxCursorOpenOptions, std::uint32_t) {
  aCursor = nullptr;
  return NotSupported(u"CursorCacheOpen");
}

TnxResult TnxAbstractDatabase::TableStreamRead(const nxString& aTableName, const nxString& aPassword,
                                               const nxString& aStreamName, TStream& aStream) {
  return nxGuardedCall(*this, [&]() -> TnxResult {
    TnxAbstractCursor* cursor = nullptr;
    TnxResult result = CursorOpen(cursor, aTableName, aPassword, omReadOnly, smShared, Timeout(), nxString(), -1,
                                  ExplicitAllowSystem(), {}, 500, nullptr);
    if (result == 0 && cursor) {
      try {
        result = cursor->TableStreamRead(aStreamName, aStream);
      } catch (...) {
        TnxAbstractServerObject::Free(cursor);
        throw;
      }
    }
    TnxAbstractServerObject::Free(cursor);
    return result;
  });
}

TnxResult TnxAbstractDatabase::TableStreamWrite(const nxString& aTableName, const nxString& aPassword,
                                                const nxString& aStreamName, TStream& aStream) {
  return nxGuardedCall(*this, [&]() -> TnxResult {
    TnxAbstractCursor* cursor = nullptr;
    TnxResult result = CursorOpen(cursor, aTableName, aPassword, omReadWrite, smShared, Timeout(), nxString(), -1,
                                  ExplicitAllowSystem(), {}, 500, nullptr);
    if (result == 0 && cursor) {
      try {
        result = cursor->TableStreamWrite(aStreamName, aStream);
      } catch (...) {
        TnxAbstractServerObject::Free(cursor);
        throw;
      }
    }
    TnxAbstractServerObject::Free(cursor);
    return result;
  });
}

std::int32_t TnxAbstractDatabase::CreateInstanceFor(const nxString& aName, const platform::Guid& aClassID,
                                                    InxInterface* aOuter, const platform::Guid& aInterfaceID,
                                                    void** aInterface) {
  nxString head, rest;
  splitPath(aName, head, rest);
  if (platform::sameTextAscii(head, u"<Database>"))
    return CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
  if (platform::sameTextAscii(head, u"<TransContext>") && adTransContext)
    return adTransContext->CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
  return TnxBaseTransContext::CreateInstanceFor(aName, aClassID, aOuter, aInterfaceID, aInterface);
}

TnxExtendableServerObject* TnxAbstractDatabase::esoGetParent() { return adTransContext; }

void TnxAbstractDatabase::SetTimeout(std::uint32_t aValue) {
  TnxBaseTransContext::SetTimeout(aValue);
  if (adOwnedTransContext) adOwnedTransContext->SetTimeout(aValue);
}

void TnxAbstractDatabase::AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer,
                                       bool aIncludeChildren) {
  TnxBaseTransContext::AddDebugInfo(aContainer, aIncludeChildren);
  aContainer->AddObject(u"TransContext", adTransContext, aIncludeChildren);
  if (!aIncludeChildren) return;
  {
    auto list = aContainer->AddContainer(u"Cursors");
    TnxPadlockGuard guard(adCursorsPadlock);
    int i = 0;
    for (TnxAbstractCursor* c = adCursorsHead; c; c = c->acDatabaseNext, ++i)
      list->AddObject(indexName(i), c, true);
  }
  {
    auto list = aContainer->AddContainer(u"Statements");
    TnxPadlockGuard guard(adStatementsPadlock);
    int i = 0;
    for (TnxAbstractStatement* s = adStatementsHead; s; s = s->asDatabaseNext, ++i)
      list->AddObject(indexName(i), s, true);
  }
}

void TnxAbstractDatabase::PrepareDestroy() {
  TnxBaseTransContext::PrepareDestroy();
  if (adOwnedTransContext) adOwnedTransContext->PrepareDestroy();
  {
    TnxPadlockGuard guard(adCursorsPadlock);
    for (TnxAbstractCursor* c = adCursorsHead; c; c = c->acDatabaseNext) c->PrepareDestroy();
  }
  TnxPadlockGuard guard(adStatementsPadlock);
  for (TnxAbstractStatement* s = adStatementsHead; s; s = s->asDatabaseNext) s->PrepareDestroy();
}

std::int32_t TnxAbstractDatabase::CursorCount() {
  TnxPadlockGuard guard(adCursorsPadlock);
  std::int32_t count = 0;
  for (TnxAbstractCursor* c = adCursorsHead; c; c = c->acDatabaseNext) ++count;
  return count;
}

std::int32_t TnxAbstractDatabase::StatementCount() {
  TnxPadlockGuard guard(adStatementsPadlock);
  std::int32_t count = 0;
  for (TnxAbstractStatement* s = adStatementsHead; s; s = s->asDatabaseNext) ++count;
  return count;
}

// ---- Transaction context -------------------------------------------------------------

TnxAbstractTransContext::TnxAbstractTransContext(TnxAbstractSession* aSession, std::uint32_t aTimeout)
    : TnxBaseTransContext(aSession, aSession ? aSession->SessionLock() : nullptr, aTimeout) {
  if (!aSession) return;
  TnxPadlockGuard guard(aSession->asTransContextsPadlock);
  linkTail(this, aSession->asTransContextsHead, aSession->asTransContextsTail,
           &TnxAbstractTransContext::atcSessionPrev, &TnxAbstractTransContext::atcSessionNext);
  atcInSession = true;
}

TnxAbstractTransContext::~TnxAbstractTransContext() {
  // Whatever was open went in PrepareDestroy; the attached databases stay,
  // each with a fresh context of its own.
  TnxAbstractSession* session = Session();
  if (atcInSession) {
    TnxPadlockGuard guard(session->asTransContextsPadlock);
    unlink(this, session->asTransContextsHead, session->asTransContextsTail, &TnxAbstractTransContext::atcSessionPrev,
           &TnxAbstractTransContext::atcSessionNext);
    atcInSession = false;
  }
  for (;;) {
    TnxAbstractDatabase* database;
    {
      TnxPadlockGuard guard(atcDatabasesPadlock);
      database = atcDatabasesHead;
      if (!database) break;
      unlink(database, atcDatabasesHead, atcDatabasesTail, &TnxAbstractDatabase::adTransContextPrev,
             &TnxAbstractDatabase::adTransContextNext);
      database->adTransContext = nullptr;
      if (database->adOwnedTransContext == this) database->adOwnedTransContext = nullptr;
    }
    TnxAbstractTransContext* fresh = nullptr;
    if (session && !database->Destroying() && session->TransContextCreate(fresh, database->Timeout()) == 0 && fresh) {
      database->adOwnedTransContext = fresh;
      database->adAttachTo(fresh);
    }
  }
}

void TnxAbstractTransContext::afterConstruction() {
  TnxBaseTransContext::afterConstruction();
  if (TnxBaseServerEngine* engine = GetServerEngine()) {
    engine->bseTransContextCount.fetch_add(1, std::memory_order_acq_rel);
    atcLockedIncDone = true;
  }
}

void TnxAbstractTransContext::beforeDestruction() {
  TnxBaseTransContext::beforeDestruction();
  if (std::exchange(atcLockedIncDone, false))
    if (TnxBaseServerEngine* engine = GetServerEngine()) engine->bseTransContextCount.fetch_sub(1, std::memory_order_acq_rel);
}

void TnxAbstractTransContext::Failed() {
  atcFailed = true;
  atcForceRollback();
}

TnxResult TnxAbstractTransContext::SetCacheTransContext(TnxBaseTransContext*) {
  return NotSupported(u"SetCacheTransContext");
}

std::int32_t TnxAbstractTransContext::CreateInstanceFor(const nxString& aName, const platform::Guid& aClassID,
                                                        InxInterface* aOuter, const platform::Guid& aInterfaceID,
                                                        void** aInterface) {
  nxString head, rest;
  splitPath(aName, head, rest);
  if (platform::sameTextAscii(head, u"<TransContext>"))
    return CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
  return TnxBaseTransContext::CreateInstanceFor(aName, aClassID, aOuter, aInterfaceID, aInterface);
}

nxString TnxAbstractTransContext::AttachedDatabases() {
  const std::int32_t count = DatabaseCount();
  return count == 0 ? nxString(u"None") : count == 1 ? nxString(u"One") : nxString(u"Multiple");
}

std::int32_t TnxAbstractTransContext::DatabaseCount() {
  TnxPadlockGuard guard(atcDatabasesPadlock);
  std::int32_t count = 0;
  for (TnxAbstractDatabase* d = atcDatabasesHead; d; d = d->adTransContextNext) ++count;
  return count;
}

void TnxAbstractTransContext::AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer,
                                           bool aIncludeChildren) {
  TnxBaseTransContext::AddDebugInfo(aContainer, aIncludeChildren);
  aContainer->AddObject(u"Session", Session(), false);
  aContainer->AddString(u"AttachedDatabases", AttachedDatabases());
  if (!aIncludeChildren) return;
  auto list = aContainer->AddContainer(u"Databases");
  TnxPadlockGuard guard(atcDatabasesPadlock);
  int i = 0;
  for (TnxAbstractDatabase* d = atcDatabasesHead; d; d = d->adTransContextNext, ++i)
    list->AddObject(indexName(i), d, true);
}

void TnxAbstractTransContext::PrepareDestroy() {
  TnxBaseTransContext::PrepareDestroy();
  Failed();
}
