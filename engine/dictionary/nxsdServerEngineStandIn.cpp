#include "nxsdServerEngine.h"

#include <array>
#include <map>
#include <mutex>

PL_CLASS_INFO_IMPL(TnxAbstractTimeoutObject, TnxExtendableServerObject, "TnxAbstractTimeoutObject", nullptr)

namespace {
std::mutex gMutex;
std::map<TnxBaseServerEngine*, std::array<std::int32_t, 5>> gCounts;
}  // namespace

void nxsdCountObject(TnxBaseServerEngine* aEngine, TnxObjectCounter aCounter, std::int32_t aDelta) {
  std::lock_guard guard(gMutex);
  gCounts[aEngine][aCounter] += aDelta;
}

std::int32_t nxsdObjectCount(TnxBaseServerEngine* aEngine, TnxObjectCounter aCounter) {
  std::lock_guard guard(gMutex);
  return gCounts[aEngine][aCounter];
}

TnxResult TnxAbstractSession::TransContextCreate(TnxAbstractTransContext*& aTransContext, std::uint32_t) {
  aTransContext = nullptr;
  return NotSupported(u"TransContextCreate");
}
