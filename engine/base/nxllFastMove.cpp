#include "nxllFastMove.h"

#include <cstring>

#include "nxllFastCpuDetect.h"
#include "nxllLockedFuncs.h"

namespace {

constexpr std::ptrdiff_t kDefaultStreamingThreshold = 128 * 1024;

TnxUseCount gFastMoveUseCount{0};

// The C library's memmove already picks its own SIMD and non-temporal paths
// per processor at load time and measured faster than hand-written SSE2
// variants below main-memory sizes, so every feature level selects it.
TnxMove selectMove(const TnxCpuInfo&) { return nxMovePlain; }

}  // namespace

void nxMovePlain(const void* aSource, void* aDest, std::ptrdiff_t aCount) {
  if (aCount <= 0 || aSource == aDest) return;
  std::memmove(aDest, aSource, std::size_t(aCount));
}

constinit TnxMove nxMove = nxMovePlain;
constinit std::ptrdiff_t nxMoveStreamingThreshold = kDefaultStreamingThreshold;

namespace {
constexpr TnxModuleDependency kFastMoveDeps[] = {{nxllLockedFuncsInitialize, nxllLockedFuncsFinalize},
                                         {nxllFastCpuDetectInitialize, nxllFastCpuDetectFinalize}};
}

void nxllFastMoveInitialize() {
  nxUseCountStart(gFastMoveUseCount, kFastMoveDeps, [] {
    const TnxCpuInfo& first = nxCpuInfo(0);
    nxMoveStreamingThreshold =
        first.L2Cache != 0 ? std::ptrdiff_t(first.L2Cache) * 1024 / 2 : kDefaultStreamingThreshold;
    nxMove = selectMove(first);
  });
}

void nxllFastMoveFinalize() {
  nxUseCountFinish(gFastMoveUseCount, kFastMoveDeps, [] {
    nxMove = nxMovePlain;
    nxMoveStreamingThreshold = kDefaultStreamingThreshold;
  });
}
