// The storage library's counted start-up, and the counted start-ups of the
// modules it starts.
#include "nxsrStorageLibrary.h"

#include <gtest/gtest.h>

#include "nxseAutoIncEngineSimple.h"
#include "nxseBlobEngineSimple.h"
#include "nxseRecordEngineStatic.h"
#include "nxseRecordEngineVariable.h"
#include "nxseRecordEngineVariableVersioned.h"
#include "nxseStreamEngine.h"
#include "nxsrSubEngineBase.h"

namespace {

const platform::ClassInfo* find(const platform::ClassInfo& aFamily, const char16_t* aName) {
  return TnxBaseSubEngine::FindSubEngineClass(aFamily, aName);
}

// A module started again while it runs is counted, not registered twice (the
// registry refuses a second registration): it stays registered until its last
// finalisation, and starts again after it.
TEST(StorageLibraryStartUp, AModuleStartedTwiceStaysUntilItsLastFinalisation) {
  struct Module {
    const char* name;
    void (*start)();
    void (*finish)();
    const platform::ClassInfo& family;
    const char16_t* engine;
    const platform::ClassInfo& engineClass;
  };
  const Module modules[] = {
      {"static records", nxseRecordEngineStaticInitialize, nxseRecordEngineStaticFinalize,
       TnxBaseRecordEngine::staticClassInfo(), u"Static", TnxStaticRecordEngine::staticClassInfo()},
      {"variable records", nxseRecordEngineVariableInitialize, nxseRecordEngineVariableFinalize,
       TnxBaseRecordEngine::staticClassInfo(), u"Variable", TnxVariableRecordEngine::staticClassInfo()},
      {"versioned records", nxseRecordEngineVariableVersionedInitialize, nxseRecordEngineVariableVersionedFinalize,
       TnxBaseRecordEngine::staticClassInfo(), u"VariableVersioned",
       TnxVariableVersionedRecordEngine::staticClassInfo()},
      {"stream", nxseStreamEngineInitialize, nxseStreamEngineFinalize, TnxBaseStreamEngine::staticClassInfo(),
       u"nx1xDefault", TnxSimpleStreamEngine::staticClassInfo()},
      {"simple BLOBs", nxseBlobEngineSimpleInitialize, nxseBlobEngineSimpleFinalize,
       TnxBaseBlobEngine::staticClassInfo(), u"nx1xSimple", TnxSimpleBlobEngine::staticClassInfo()},
      {"auto-increment", nxseAutoIncEngineSimpleInitialize, nxseAutoIncEngineSimpleFinalize,
       TnxBaseAutoIncEngine::staticClassInfo(), u"nx1xDefault", TnxSimpleAutoIncEngine::staticClassInfo()},
  };
  nxsrStorageLibraryInitialize();
  for (const Module& m : modules) {
    SCOPED_TRACE(m.name);
    ASSERT_EQ(find(m.family, m.engine), &m.engineClass) << "the library starts the module";
    EXPECT_NO_THROW(m.start());
    m.finish();
    EXPECT_EQ(find(m.family, m.engine), &m.engineClass);
    m.finish();
    EXPECT_EQ(find(m.family, m.engine), nullptr);
    m.finish();  // unmatched: ignored, so the next start-up registers again
    m.start();
    EXPECT_EQ(find(m.family, m.engine), &m.engineClass);
  }
  nxsrStorageLibraryFinalize();
}

}  // namespace
