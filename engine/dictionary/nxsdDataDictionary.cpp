#include "nxsdDataDictionary.h"

#include "nxllBaseLibrary.h"
#include "nxllLockedFuncs.h"
#include "nxsdDataDictionaryInt.h"
#include "nxsdDefaultValueEngine.h"
#include "nxsdFilterEngineCallback.h"
#include "nxsdFilterEngineHub.h"
#include "nxsdFilterEngineSQL.h"
#include "nxsdFilterEngineSimpleExpression.h"
#include "nxsdKeyEngineBlobCache.h"
#include "nxsdKeyEngineComp.h"
#include "nxsdKeyEngineInt64.h"
#include "nxsdKeyEngineRef.h"
#include "nxsdKeyEngineToken.h"
#include "nxsdKeyFieldEngineBase.h"
#include "nxsdDataDictionaryAudit.h"
#include "nxsdDataDictionaryFulltext.h"
#include "nxsdDataDictionaryRefInt.h"
#include "nxsdRecordMapperDescriptorBase.h"
#include "nxsdTableMapperDescriptorBase.h"
#include "nxsdValidationEngine.h"

std::atomic<bool> nxDisable30900LocaleFixes{false};

namespace {

thread_local std::int32_t tAssignDepth = 0;
thread_local bool tStrippedInformation = false;

}  // namespace

std::int32_t nxsdAssignDepth() { return tAssignDepth; }
bool nxsdStrippedInformation() { return tStrippedInformation; }
void nxsdSetStrippedInformation(bool aValue) { tStrippedInformation = aValue; }

nxdd::TnxAssignDepthGuard::TnxAssignDepthGuard() { ++tAssignDepth; }
nxdd::TnxAssignDepthGuard::~TnxAssignDepthGuard() { --tAssignDepth; }

bool nxsdAdjustPosition(std::int32_t& aPos, std::int32_t aOld, std::int32_t aNew) {
  const std::int32_t p = aPos;
  if (aOld == p)
    aPos = aNew;
  else if (aOld >= 0 && aOld < p && (aNew < 0 || aNew >= p))
    aPos = p - 1;
  else if ((aOld < 0 || aOld > p) && aNew >= 0 && aNew <= p)
    aPos = p + 1;
  return aPos != p;
}

// ===========================================================================
// Start-up

namespace {

TnxUseCount gDataDictionaryUseCount{0};

// The dictionary's start-up table: the base library below it, this module's
// descriptor families, then the filter and key engine modules (each counted
// on its own). Run forward at start-up, backward at finalisation.
constexpr TnxModuleDependency kStartUp[] = {
    {nxllBaseLibraryInitialize, nxllBaseLibraryFinalize},
    {nxsdDataDictionaryItemsRegister, nxsdDataDictionaryItemsUnregister},
    {nxsdDataDictionaryFieldsRegister, nxsdDataDictionaryFieldsUnregister},
    {nxsdDataDictionaryStorageRegister, nxsdDataDictionaryStorageUnregister},
    {nxsdDataDictionaryKeysRegister, nxsdDataDictionaryKeysUnregister},
    {nxsdDataDictionaryIndicesRegister, nxsdDataDictionaryIndicesUnregister},
    {nxsdDataDictionaryTablesRegister, nxsdDataDictionaryTablesUnregister},
    {nxsdDataDictionaryRefIntRegister, nxsdDataDictionaryRefIntUnregister},
    {nxsdRecordMapperDescriptorBaseRegister, nxsdRecordMapperDescriptorBaseUnregister},
    {nxsdTableMapperDescriptorBaseRegister, nxsdTableMapperDescriptorBaseUnregister},
    {nxsdDataDictionaryAuditRegister, nxsdDataDictionaryAuditUnregister},
    {nxsdDataDictionaryFulltextRegister, nxsdDataDictionaryFulltextUnregister},
    {nxsdFilterEngineCallbackInitialize, nxsdFilterEngineCallbackFinalize},
    {nxsdFilterEngineSQLInitialize, nxsdFilterEngineSQLFinalize},
    {nxsdFilterEngineHubInitialize, nxsdFilterEngineHubFinalize},
    {nxsdFilterEngineSimpleExpressionInitialize, nxsdFilterEngineSimpleExpressionFinalize},
    {nxsdKeyFieldEngineBaseInitialize, nxsdKeyFieldEngineBaseFinalize},
    {nxsdKeyEngineBaseInitialize, nxsdKeyEngineBaseFinalize},
    {nxsdKeyEngineCompInitialize, nxsdKeyEngineCompFinalize},
    {nxsdKeyEngineRefInitialize, nxsdKeyEngineRefFinalize},
    {nxsdKeyEngineInt64Initialize, nxsdKeyEngineInt64Finalize},
    {nxsdKeyEngineBlobCacheInitialize, nxsdKeyEngineBlobCacheFinalize},
    {nxsdKeyEngineTokenInitialize, nxsdKeyEngineTokenFinalize},
    {nxsdDefaultValueEngineInitialize, nxsdDefaultValueEngineFinalize},
    {nxsdValidationEngineInitialize, nxsdValidationEngineFinalize},
};

}  // namespace

void nxsdDataDictionaryInitialize(std::span<const nxString> aArguments) {
  nxUseCountStart(gDataDictionaryUseCount, kStartUp, [aArguments] {
    if (nxFindCmdLineSwitch(u"Disable30900LocaleFixes", aArguments)) nxDisable30900LocaleFixes = true;
  });
}

void nxsdDataDictionaryInitialize() {
  nxUseCountStart(gDataDictionaryUseCount, kStartUp, [] {
    if (nxFindCmdLineSwitch(u"Disable30900LocaleFixes")) nxDisable30900LocaleFixes = true;
  });
}

void nxsdDataDictionaryFinalize() {
  nxUseCountFinish(gDataDictionaryUseCount, kStartUp, [] {});
}
