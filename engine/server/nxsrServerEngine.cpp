#include "nxsrServerEngineInt.h"

#include "nxllLockedFuncs.h"
#include "nxseIndexLibrary.h"
#include "nxseSortEngineMerge.h"

namespace {

TnxUseCount gUseCount{0};

void registerEngine() { TnxRegisterableComponent::Register(TnxServerEngine::staticClassInfo()); }
void unregisterEngine() { TnxRegisterableComponent::Unregister(TnxServerEngine::staticClassInfo()); }

// The libraries below (each starts those under it), then the server's own
// class; finalised backward.
constexpr TnxModuleDependency kStartUp[] = {
    {nxseIndexLibraryInitialize, nxseIndexLibraryFinalize},
    {nxseSortEngineMergeInitialize, nxseSortEngineMergeFinalize},
    {registerEngine, unregisterEngine},
};

}  // namespace

void nxsrServerEngineInitialize() {
  nxUseCountStart(gUseCount, kStartUp, [] {});
}

void nxsrServerEngineFinalize() {
  nxUseCountFinish(gUseCount, kStartUp, [] {});
}
