#include "nxllTypes.h"

constinit thread_local TnxWord32 nxThreadVersionOverride = 0;

namespace {
TnxWord32 threadVersion() {
  const TnxWord32 v = nxThreadVersionOverride;
  return v != 0 ? v : nxCurrentProtocolVersion;
}
}  // namespace

std::int32_t nxGetThreadVersion() { return std::int32_t(threadVersion()); }

// Compared unsigned, so a nonsensical override above 2^31 still yields the
// current version rather than a negative one.
std::int32_t nxGetThreadMinVersion() {
  const TnxWord32 v = threadVersion();
  return std::int32_t(v < nxCurrentProtocolVersion ? v : nxCurrentProtocolVersion);
}
