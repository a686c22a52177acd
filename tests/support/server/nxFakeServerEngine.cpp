#include "nxFakeServerEngine.h"

#include "plString.h"

NX_IMPLEMENT_EXCEPTION(EnxFakeServerEngineException, EnxBaseException)
PL_CLASS_INFO_IMPL(TnxFakeServerEngine, TnxBaseServerEngine, "TnxFakeServerEngine", nullptr)
PL_CLASS_INFO_IMPL(TnxFakeSession, TnxAbstractSession, "TnxFakeSession", nullptr)
PL_CLASS_INFO_IMPL(TnxFakeExtendableObject, TnxExtendableServerObject, "TnxFakeExtendableObject", nullptr)
PL_CLASS_INFO_IMPL(TnxFakeTimeoutObject, TnxAbstractTimeoutObject, "TnxFakeTimeoutObject", nullptr)

TnxFakeServerEngine::TnxFakeServerEngine(TnxComponent* aOwner) : TnxBaseServerEngine(aOwner) {}

const platform::ClassInfo& TnxFakeServerEngine::EngineExceptionClass() {
  return EnxFakeServerEngineException::staticClassInfo();
}

void TnxFakeServerEngine::RaiseEngineException(TnxResult aCode) { throw EnxFakeServerEngineException(aCode); }

TnxResult TnxFakeServerEngine::SessionOpenEx(TnxAbstractSession*& aSession, const nxString& aUserName,
                                             const nxString& aPassword, const nxString& aConnectedFrom,
                                             TnxWord32 aTimeout, std::int32_t) {
  aSession = platform::create<TnxFakeSession>(this, aTimeout, aUserName, aPassword, aConnectedFrom);
  return 0;
}

void TnxFakeExtendableObject::esoOptionChanged(const nxString& aName, const nxString& aValue) {
  feOptionChanges.push_back(platform::toUtf8(aName) + "=" + platform::toUtf8(aValue));
}
