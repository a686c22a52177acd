// Private helpers shared by the family files of the server-engine module.
// Not for other modules.
#pragma once

#include <cstdint>
#include <string>

#include "nxsrServerEngine.h"

namespace nxsr_server_engine_int {

inline constexpr std::int32_t kInProcessVersion = 47501;

// A transaction of the server's own on the engine's buffer manager (no
// session, not snapshot, not fail-safe): commit flushes at once.
class TnxServerFileTransaction : public TnxBaseTransaction {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxServerFileTransaction(TnxBufferManager* aBufferManager);
  TnxResult Commit() override;
  TnxResult Rollback() override;
};

// "[i]": the name of the i-th entry of a debug container.
inline nxString indexLabel(std::size_t aIndex) {
  nxString label(1, u'[');
  for (char c : std::to_string(aIndex)) label.push_back(static_cast<char16_t>(c));
  label.push_back(u']');
  return label;
}

// aText without leading and trailing characters below 33.
inline nxString trimControls(const nxString& aText) {
  std::size_t b = 0, e = aText.size();
  while (b < e && aText[b] < 33) ++b;
  while (e > b && aText[e - 1] < 33) --e;
  return aText.substr(b, e - b);
}

}  // namespace nxsr_server_engine_int
