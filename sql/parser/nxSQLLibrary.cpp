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

TnxUseCount gUseCount{0};

}  // namespace

void nxSQLLibraryInitialize() { nxUseCountStart(gUseCount, kModules, [] {}); }

void nxSQLLibraryFinalize() { nxUseCountFinish(gUseCount, kModules, [] {}); }

std::span<const TnxModuleDependency> nxSQLModules() { return kModules; }
