#include "nxseIndexLibrary.h"

#include "nxseFulltextEngineCursor.h"
#include "nxseFulltextEngineTable.h"
#include "nxseIndexEngineCacheKeylessBstarTree.h"
#include "nxseIndexEngineKeylessBstarTree.h"
#include "nxseIndexEngineStaticKeyBstarTree.h"
#include "nxseIndicesEngineSimple.h"
#include "nxsrIndexEngineBase.h"
#include "nxseRefIntEngine.h"
#include "nxsrMappingLibrary.h"
#include "nxsrStorageLibrary.h"

namespace {

constexpr TnxModuleDependency kModules[] = {
    {nxsrStorageLibraryInitialize, nxsrStorageLibraryFinalize},
    {nxsrMappingLibraryInitialize, nxsrMappingLibraryFinalize},
    // The indices engine (in the storage folder) needs the index engines to
    // check a table's indices: it starts here, with them.
    {nxsrIndexEngineBaseInitialize, nxsrIndexEngineBaseFinalize},
    {nxseIndicesEngineSimpleInitialize, nxseIndicesEngineSimpleFinalize},
    {nxseIndexEngineStaticKeyBstarTreeInitialize, nxseIndexEngineStaticKeyBstarTreeFinalize},
    {nxseIndexEngineKeylessBstarTreeInitialize, nxseIndexEngineKeylessBstarTreeFinalize},
    {nxseIndexEngineCacheKeylessBstarTreeInitialize, nxseIndexEngineCacheKeylessBstarTreeFinalize},
    {nxseFulltextEngineTableInitialize, nxseFulltextEngineTableFinalize},
    {nxseFulltextEngineCursorInitialize, nxseFulltextEngineCursorFinalize},
    {nxseRefIntEngineInitialize, nxseRefIntEngineFinalize},
};

TnxUseCount gIndexLibraryUseCount{0};

}  // namespace

void nxseIndexLibraryInitialize() { nxUseCountStart(gIndexLibraryUseCount, kModules, [] {}); }

void nxseIndexLibraryFinalize() { nxUseCountFinish(gIndexLibraryUseCount, kModules, [] {}); }

std::span<const TnxModuleDependency> nxseIndexModules() { return kModules; }
