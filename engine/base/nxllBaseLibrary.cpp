#include "nxllBaseLibrary.h"

#include "nxllException.h"
#include "nxllFastCpuDetect.h"
#include "nxllFastFillChar.h"
#include "nxllFastMove.h"
#include "nxllSync.h"
#include "nxllUtils.h"

namespace {

// A module comes after every module it uses.
constexpr TnxModuleDependency kModules[] = {
    {nxllLockedFuncsInitialize, nxllLockedFuncsFinalize},
    {nxllFastCpuDetectInitialize, nxllFastCpuDetectFinalize},
    {nxllFastMoveInitialize, nxllFastMoveFinalize},
    {nxllFastFillCharInitialize, nxllFastFillCharFinalize},
    {nxllExceptionInitialize, nxllExceptionFinalize},
    {nxllSyncInitialize, nxllSyncFinalize},
    {nxllUtilsInitialize, nxllUtilsFinalize},
};

TnxUseCount gBaseLibraryUseCount{0};

}  // namespace

void nxllBaseLibraryInitialize() { nxUseCountStart(gBaseLibraryUseCount, kModules, [] {}); }

void nxllBaseLibraryFinalize() {
  nxUseCountFinish(gBaseLibraryUseCount, kModules, [] {});
}

std::span<const TnxModuleDependency> nxllBaseModules() { return kModules; }
