#include "nxSQLLibrary.h"

#include "nxSQLParse.h"
#include "nxSQLTok.h"
#include "nxllBaseLibrary.h"

namespace {

constexpr TnxModuleDependency kModules[] = {
    {nxllBaseLibraryInitialize, nxllBaseLibraryFinalize},
    {nxSQLTokInitialize, nxSQLTokFinalize},
    {nxSQLParseInitialize, nxSQLParseFinalize},
};

TnxUseCount gLibraryUseCount{0};

}  // namespace

void nxSQLLibraryInitialize() { nxUseCountStart(gLibraryUseCount, kModules, [] {}); }

void nxSQLLibraryFinalize() { nxUseCountFinish(gLibraryUseCount, kModules, [] {}); }

std::span<const TnxModuleDependency> nxSQLModules() { return kModules; }
