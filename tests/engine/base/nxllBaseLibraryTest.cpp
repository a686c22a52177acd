#include "nxllBaseLibrary.h"

#include <gtest/gtest.h>

#include "nxllFastCpuDetect.h"
#include "nxllSync.h"

namespace {

// Whether the modules a probe can see are started: the first (through the
// processor detection, which is started by the fast move and fill modules)
// and one of the last.
bool started() { return nxEventPool != nullptr && nxCpuInfoCount() > 0; }

TEST(NxBaseLibrary, StartsEveryModuleAndTheLastFinalisationEndsThem) {
  ASSERT_FALSE(started()) << "another test left the library started";
  nxllBaseLibraryInitialize();
  EXPECT_TRUE(started());
  nxllBaseLibraryInitialize();
  nxllBaseLibraryFinalize();
  EXPECT_TRUE(started()) << "one user is left";
  nxllBaseLibraryFinalize();
  EXPECT_FALSE(started());
  nxllBaseLibraryFinalize();  // unmatched: ignored
  EXPECT_FALSE(started());
}

TEST(NxBaseLibrary, ModulesStartedOnTheirOwnAreCountedNotRestarted) {
  nxllSyncInitialize();
  TnxEventPool* pool = nxEventPool;
  nxllBaseLibraryInitialize();
  EXPECT_EQ(nxEventPool, pool);
  nxllBaseLibraryFinalize();
  EXPECT_EQ(nxEventPool, pool) << "the module's own user still holds it";
  nxllSyncFinalize();
  EXPECT_EQ(nxEventPool, nullptr);
}

TEST(NxBaseLibrary, TableNamesEachModuleOnce) {
  const auto modules = nxllBaseModules();
  ASSERT_FALSE(modules.empty());
  EXPECT_EQ(modules.front().mdStart, &nxllLockedFuncsInitialize);  // everything else uses it
  for (std::size_t i = 0; i < modules.size(); ++i)
    for (std::size_t j = i + 1; j < modules.size(); ++j) EXPECT_NE(modules[i].mdStart, modules[j].mdStart);
}

}  // namespace
