#include "nxllFastFillChar.h"

#include <cstring>

#include "nxllFastCpuDetect.h"
#include "nxllLockedFuncs.h"

namespace {

TnxUseCount gFastFillCharUseCount{0};

// The C library's memset already picks its own SIMD path per processor at
// load time and measured faster than hand-written streaming SSE2 fills at
// every size up to main memory, so every target class selects it.
TnxFillChar selectFill(std::uint8_t /*aCpuTarget*/) { return nxFillCharPlain; }

}  // namespace

void nxFillCharPlain(void* aDest, std::ptrdiff_t aCount, std::uint8_t aValue) {
  if (aCount <= 0) return;
  std::memset(aDest, aValue, std::size_t(aCount));
}

constinit TnxFillChar nxFillChar = nxFillCharPlain;

namespace {
constexpr TnxModuleDependency kFastFillCharDeps[] = {{nxllLockedFuncsInitialize, nxllLockedFuncsFinalize},
                                         {nxllFastCpuDetectInitialize, nxllFastCpuDetectFinalize}};
}

void nxllFastFillCharInitialize() {
  nxUseCountStart(gFastFillCharUseCount, kFastFillCharDeps, [] { nxFillChar = selectFill(nxCpuTarget()); });
}

void nxllFastFillCharFinalize() {
  nxUseCountFinish(gFastFillCharUseCount, kFastFillCharDeps, [] { nxFillChar = nxFillCharPlain; });
}
