// Private helpers shared by the family files of the server-engine module.
// Not for other modules.
#pragma once

#include <cstdint>

#include "nxsrServerEngine.h"

namespace nxsr_server_engine_int {

inline constexpr std::int32_t kInProcessVersion = 47501;

// aText without leading and trailing characters below 33.
inline nxString trimControls(const nxString& aText) {
  std::size_t b = 0, e = aText.size();
  while (b < e && aText[b] < 33) ++b;
  while (e > b && aText[e - 1] < 33) --e;
  return aText.substr(b, e - b);
}

}  // namespace nxsr_server_engine_int
