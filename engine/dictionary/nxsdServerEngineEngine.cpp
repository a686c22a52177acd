#include "nxsdServerEngine.h"
#include "nxsdServerEngineInt.h"

using namespace nxsd_server_engine_int;

#include "nxllConvertException.h"

PL_CLASS_INFO_IMPL(TnxBaseServerEngine, TnxStateComponent, "TnxBaseServerEngine", nullptr)

// ---- Server engine ---------------------------------------------------------------

TnxResult TnxBaseServerEngine::ConvertException(std::exception_ptr aException, TnxAbstractServerObject* aObject) {
  return nxConvertException(aException, EventLog(), aObject, aObject ? aObject->MinVersion() : kInProcessVersion);
}

void TnxBaseServerEngine::NotifyObjectCreated(TnxExtendableServerObject*) {}

void TnxBaseServerEngine::NotifyObjectDestroyed(TnxExtendableServerObject*) {}

std::int32_t TnxBaseServerEngine::CreateInstanceFor(TnxAbstractSession* aSession, const nxString& aName,
                                                    const platform::Guid& aClassID, InxInterface* aOuter,
                                                    const platform::Guid& aInterfaceID, void** aInterface) {
  clearOut(aInterface);
  if (platform::sameTextAscii(aName, u"<ServerEngine>"))
    return nxcCreateInstance(aSession ? static_cast<InxAbstractServerObject41100*>(aSession) : nullptr, aClassID,
                             aOuter, aInterfaceID, aInterface);
  return nxE_NOINTERFACE;
}
