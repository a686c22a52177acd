// Engine family of the server-engine module: the base server engine, its
// monitors and the per-session call statistics. Include nxsdServerEngine.h,
// not this header.
#pragma once

#include "nxsdServerEngineObjects.h"

// The server engine as these objects see it; the engine component fills in
// the rest.
class TnxBaseServerEngine : public TnxStateComponent {
  PL_CLASS_INFO_DECL()
 public:
  using TnxStateComponent::TnxStateComponent;

  // The engine's exception conversion for aObject's peer version (47501
  // without an object).
  virtual TnxResult ConvertException(std::exception_ptr aException, TnxAbstractServerObject* aObject);
  // Raises the engine's exception class with aCode.
  [[noreturn]] virtual void RaiseEngineException(TnxResult aCode) = 0;
  virtual void NotifyObjectCreated(TnxExtendableServerObject* aObject);
  virtual void NotifyObjectDestroyed(TnxExtendableServerObject* aObject);
  // The end of the name-addressed lookup: "<ServerEngine>" answers the
  // engine's own instance creation; nxE_NOINTERFACE otherwise.
  virtual std::int32_t CreateInstanceFor(TnxAbstractSession* aSession, const nxString& aName,
                                         const platform::Guid& aClassID, InxInterface* aOuter,
                                         const platform::Guid& aInterfaceID, void** aInterface);
};
