// Private helpers shared by the family files of the server-engine module.
// Not for other modules.
#pragma once

#include <cstdint>

#include "nxsdServerEngine.h"

namespace nxsd_server_engine_int {

inline constexpr std::int32_t kInProcessVersion = 47501;

inline const nxString kSelf = u"<Self>";

// aName at its first '.'; an empty rest is "<Self>".
inline void splitPath(const nxString& aName, nxString& aHead, nxString& aRest) {
  const auto p = aName.find(u'.');
  if (p == nxString::npos) {
    aHead = aName;
    aRest.clear();
  } else {
    aHead = aName.substr(0, p);
    aRest = aName.substr(p + 1);
  }
  if (aRest.empty()) aRest = kSelf;
}

inline void clearOut(void** aInterface) {
  if (aInterface) *aInterface = nullptr;
}

inline TnxEngineActions allActionsButFulltext() {
  TnxEngineActions result;
  for (int a = 0; a < nxEngineActionCount; ++a)
    if (a != eaRecordFulltextUpdate) result.include(static_cast<TnxEngineAction>(a));
  return result;
}

}  // namespace nxsd_server_engine_int

// Frees the process-wide statistics list and its padlock (finalisation).
void nxsdSessionStatsFreeAll();
