// Temporary: the time-out object and guarded call until the session lock lands.
#pragma once

#include "nxsdServerEngine.h"

class TnxAbstractTimeoutObject : public TnxExtendableServerObject {
  PL_CLASS_INFO_DECL()
 public:
  TnxAbstractTimeoutObject(TnxExtendableServerObject* aParent, std::uint32_t aTimeout)
      : TnxExtendableServerObject(aParent), atoTimeout(aTimeout) {}
  virtual void SetTimeout(std::uint32_t aValue) { atoTimeout = aValue; }
  std::uint32_t Timeout() const { return atoTimeout; }

 protected:
  std::uint32_t atoTimeout = 0;
};

// Runs aWork with exceptions converted through the object.
template <class F>
TnxResult nxGuardedCall(TnxAbstractTimeoutObject* aObject, F&& aWork) {
  try {
    return aWork();
  } catch (...) {
    return aObject->asoConvertException(std::current_exception());
  }
}

// Runs aWork under the session lock only.
template <class F>
TnxResult nxLockedCall(TnxAbstractTimeoutObject*, F&& aWork) {
  return aWork();
}

// The nesting hooks around a block.
struct TnxNestingScope {};

enum TnxObjectCounter : std::uint8_t { nxocSession, nxocDatabase, nxocTransContext, nxocCursor, nxocStatement };
void nxsdCountObject(TnxBaseServerEngine* aEngine, TnxObjectCounter aCounter, std::int32_t aDelta);
std::int32_t nxsdObjectCount(TnxBaseServerEngine* aEngine, TnxObjectCounter aCounter);

template <class F>
TnxResult nxSessionGuardedCall(TnxAbstractSession* aSession, F&& aWork) {
  try {
    return aWork();
  } catch (...) {
    return aSession->asoConvertException(std::current_exception());
  }
}
inline std::uint32_t nxSessionTimeout(TnxAbstractSession*) { return 0; }
inline void nxSessionCleanupDone(TnxAbstractSession*) {}
