#include "nxsdServerEngineInt.h"

#include "nxllBde.h"

PL_CLASS_INFO_IMPL(TnxAbstractStatement, TnxAbstractTimeoutObject, "TnxAbstractStatement", nullptr)
PL_CLASS_INFO_IMPL(TnxSqlAbstractDatabase, TnxAbstractDatabase, "TnxSqlAbstractDatabase", nullptr)
PL_CLASS_INFO_IMPL(TnxSqlAbstractCursor, TnxAbstractServerCursor, "TnxSqlAbstractCursor", nullptr)
PL_CLASS_INFO_IMPL(TnxRequestCloseHandlerEvent, TnxInterfacedObject, "TnxRequestCloseHandlerEvent", nullptr)

using nxsd_server_engine_int::splitPath;

// ---- Statement ---------------------------------------------------------------------

TnxAbstractStatement::TnxAbstractStatement(TnxAbstractDatabase* aDatabase, std::uint32_t aTimeout)
    : TnxAbstractTimeoutObject(aDatabase, aDatabase ? aDatabase->SessionLock() : nullptr, aTimeout),
      asDatabase(aDatabase) {
  if (!aDatabase) return;
  TnxPadlockGuard guard(aDatabase->adStatementsPadlock);
  asDatabasePrev = aDatabase->adStatementsTail;
  if (asDatabasePrev)
    asDatabasePrev->asDatabaseNext = this;
  else
    aDatabase->adStatementsHead = this;
  aDatabase->adStatementsTail = this;
  asLinked = true;
}

TnxAbstractStatement::~TnxAbstractStatement() {
  if (!asLinked) return;
  TnxPadlockGuard guard(asDatabase->adStatementsPadlock);
  if (asDatabasePrev)
    asDatabasePrev->asDatabaseNext = asDatabaseNext;
  else
    asDatabase->adStatementsHead = asDatabaseNext;
  if (asDatabaseNext)
    asDatabaseNext->asDatabasePrev = asDatabasePrev;
  else
    asDatabase->adStatementsTail = asDatabasePrev;
  asDatabasePrev = asDatabaseNext = nullptr;
  asLinked = false;
}

void TnxAbstractStatement::afterConstruction() {
  TnxAbstractTimeoutObject::afterConstruction();
  if (TnxBaseServerEngine* engine = GetServerEngine()) {
    engine->bseStatementCount.fetch_add(1, std::memory_order_acq_rel);
    asLockedIncDone = true;
  }
}

void TnxAbstractStatement::beforeDestruction() {
  TnxAbstractTimeoutObject::beforeDestruction();
  if (std::exchange(asLockedIncDone, false))
    if (TnxBaseServerEngine* engine = GetServerEngine()) engine->bseStatementCount.fetch_sub(1, std::memory_order_acq_rel);
}

std::int32_t TnxAbstractStatement::CreateInstanceFor(const nxString& aName, const platform::Guid& aClassID,
                                                     InxInterface* aOuter, const platform::Guid& aInterfaceID,
                                                     void** aInterface) {
  nxString head, rest;
  splitPath(aName, head, rest);
  if (platform::sameTextAscii(head, u"<Statement>"))
    return CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
  if (platform::sameTextAscii(head, u"<Database>") && asDatabase)
    return asDatabase->CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
  return TnxAbstractTimeoutObject::CreateInstanceFor(aName, aClassID, aOuter, aInterfaceID, aInterface);
}

void TnxAbstractStatement::AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer,
                                        bool aIncludeChildren) {
  TnxAbstractTimeoutObject::AddDebugInfo(aContainer, aIncludeChildren);
  aContainer->AddObject(u"Database", asDatabase, false);
}

// ---- SQL cursor --------------------------------------------------------------------

TnxSqlAbstractCursor::~TnxSqlAbstractCursor() {
  // The handler goes with the padlock; none can be set any more.
  if (TnxPadlock* lock = sbcOnRequestCloseLock.Peek()) {
    TnxIntfPtr<InxRequestCloseHandler> handler;
    {
      TnxPadlockGuard guard(*lock);
      handler = std::move(sbcOnRequestClose);
    }
  }
}

void TnxSqlAbstractCursor::sbcSetOnRequestClose(const TnxIntfPtr<InxRequestCloseHandler>& aHandler) {
  if (Destroying()) return;
  TnxIntfPtr<InxRequestCloseHandler> old;
  TnxPadlockGuard guard(sbcOnRequestCloseLock);
  old = std::exchange(sbcOnRequestClose, aHandler);
}

TnxIntfPtr<InxRequestCloseHandler> TnxSqlAbstractCursor::OnRequestClose() {
  TnxPadlock* lock = sbcOnRequestCloseLock.Peek();
  if (!lock || Destroying()) return nullptr;
  TnxPadlockGuard guard(*lock);
  return sbcOnRequestClose;
}

bool TnxSqlAbstractCursor::sbcRequestClose() {
  TnxPadlock* lock = sbcOnRequestCloseLock.Peek();
  if (!lock || Destroying()) return false;
  bool closed = false;
  bool* previous = std::exchange(asoDestroyFlag, &closed);
  {
    // The handler may close the cursor: it stays in memory until the call
    // ends, and the local flag tells.
    TnxServerObjectCall call(this);
    TnxPadlockGuard guard(*lock);
    TnxIntfPtr<InxRequestCloseHandler> handler = sbcOnRequestClose;
    if (handler) handler->RequestClose(this);
    // Still in memory here: unchain the local flag (a later release must not
    // write to this frame) and tell an outer caller of the close.
    asoDestroyFlag = previous;
    if (closed && previous) *previous = true;
  }
  return closed;
}

// ---- Request-close handler ---------------------------------------------------------

TnxRequestCloseHandlerEvent::TnxRequestCloseHandlerEvent(TnxRequestCloseEvent aEvent)
    : rcheEvent(std::move(aEvent)), rcheDisconnected(!rcheEvent) {}

std::int32_t TnxRequestCloseHandlerEvent::QueryInterface(const platform::Guid& aIID, void** aObj) {
  if (aIID == InxRequestCloseHandlerEvent::IID || aIID == InxRequestCloseHandler::IID) {
    *aObj = static_cast<InxRequestCloseHandlerEvent*>(this);
    AddRef();
    return nxS_OK;
  }
  return TnxInterfacedObject::QueryInterface(aIID, aObj);
}

void TnxRequestCloseHandlerEvent::RequestClose(platform::TObject* aSender) {
  if (rcheDisconnected.load(std::memory_order_acquire)) return;
  rcheEvent(aSender);
}

TnxIntfPtr<InxRequestCloseHandler> nxCreateRequestCloseHandler(TnxRequestCloseEvent aEvent) {
  auto* handler = platform::create<TnxRequestCloseHandlerEvent>(std::move(aEvent));
  return TnxIntfPtr<InxRequestCloseHandler>(static_cast<InxRequestCloseHandlerEvent*>(handler));
}
