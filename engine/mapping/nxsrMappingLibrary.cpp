#include "nxsrMappingLibrary.h"

#include "nxllBaseLibrary.h"
#include "nxsdDataDictionary.h"
#include "nxsdFieldMapper.h"
#include "nxsrFieldMapper.h"

namespace {

constexpr TnxModuleDependency kModules[] = {
    {nxllBaseLibraryInitialize, nxllBaseLibraryFinalize},
    {nxsdDataDictionaryInitialize, nxsdDataDictionaryFinalize},
    {nxsdFieldMapperInitialize, nxsdFieldMapperFinalize},
    {nxsrFieldMapperInitialize, nxsrFieldMapperFinalize},
};

TnxUseCount gMappingLibraryUseCount{0};

}  // namespace

void nxsrMappingLibraryInitialize() { nxUseCountStart(gMappingLibraryUseCount, kModules, [] {}); }

void nxsrMappingLibraryFinalize() { nxUseCountFinish(gMappingLibraryUseCount, kModules, [] {}); }

std::span<const TnxModuleDependency> nxsrMappingModules() { return kModules; }
