#include "nxsrServerEngineInt.h"

#include "nxllLockedFuncs.h"
#include "nxseIndexLibrary.h"
#include "nxseSortEngineMerge.h"
#include "nxsrBlobHandlerCached.h"
#include "nxsrBlobHandlerCaching.h"

namespace {

TnxUseCount gUseCount{0};

void registerEngine() { TnxRegisterableComponent::Register(TnxServerEngine::staticClassInfo()); }
void unregisterEngine() { TnxRegisterableComponent::Unregister(TnxServerEngine::staticClassInfo()); }
void startNothing() {}

// The libraries below (each starts those under it), then the server's own
// class; finalised backward.
constexpr TnxModuleDependency kStartUp[] = {
    {nxseIndexLibraryInitialize, nxseIndexLibraryFinalize},
    {nxseSortEngineMergeInitialize, nxseSortEngineMergeFinalize},
    {registerEngine, unregisterEngine},
    // The BLOB cache dictionary is built on first use.
    {startNothing, nxsrBlobHandlerCachingFinalize},
    {startNothing, nxsrBlobHandlerCachedFinalize},
};

}  // namespace

void nxsrServerEngineInitialize() {
  nxUseCountStart(gUseCount, kStartUp, [] {});
}

void nxsrServerEngineFinalize() {
  nxUseCountFinish(gUseCount, kStartUp, [] {});
}
