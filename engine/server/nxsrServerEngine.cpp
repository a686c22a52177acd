#include "nxsrServerEngineInt.h"

#include "nxllLockedFuncs.h"
#include "nxsdDataDictionary.h"
#include "nxseAutoIncEngineSimple.h"
#include "nxseBlobEngineSegmented.h"
#include "nxseBlobEngineSimple.h"
#include "nxseEncryptionEngineBlowfishRC4.h"
#include "nxseIndexEngineCacheKeylessBstarTree.h"
#include "nxseIndexEngineKeylessBstarTree.h"
#include "nxseIndexEngineStaticKeyBstarTree.h"
#include "nxseIndicesEngineSimple.h"
#include "nxseJournalEngine.h"
#include "nxseRecordEngineStatic.h"
#include "nxseRecordEngineVariable.h"
#include "nxseTemporaryStorageChunked.h"
#include "nxsrIndexEngineBase.h"

namespace {

TnxUseCount gUseCount{0};

void registerEngine() { TnxRegisterableComponent::Register(TnxServerEngine::staticClassInfo()); }
void unregisterEngine() { TnxRegisterableComponent::Unregister(TnxServerEngine::staticClassInfo()); }

// What the server needs below it, then its own class, in start-up order;
// finalised backward.
constexpr TnxModuleDependency kStartUp[] = {
    {nxsdDataDictionaryInitialize, nxsdDataDictionaryFinalize},
    {nxseJournalEngineInitialize, nxseJournalEngineFinalize},
    {nxseTemporaryStorageChunkedInitialize, nxseTemporaryStorageChunkedFinalize},
    {nxseRecordEngineStaticInitialize, nxseRecordEngineStaticFinalize},
    {nxseRecordEngineVariableInitialize, nxseRecordEngineVariableFinalize},
    {nxseBlobEngineSimpleInitialize, nxseBlobEngineSimpleFinalize},
    {nxseBlobEngineSegmentedInitialize, nxseBlobEngineSegmentedFinalize},
    {nxseAutoIncEngineSimpleInitialize, nxseAutoIncEngineSimpleFinalize},
    {nxseEncryptionEngineBlowfishRC4Initialize, nxseEncryptionEngineBlowfishRC4Finalize},
    {nxsrIndexEngineBaseInitialize, nxsrIndexEngineBaseFinalize},
    {nxseIndicesEngineSimpleInitialize, nxseIndicesEngineSimpleFinalize},
    {nxseIndexEngineStaticKeyBstarTreeInitialize, nxseIndexEngineStaticKeyBstarTreeFinalize},
    {nxseIndexEngineKeylessBstarTreeInitialize, nxseIndexEngineKeylessBstarTreeFinalize},
    {nxseIndexEngineCacheKeylessBstarTreeInitialize, nxseIndexEngineCacheKeylessBstarTreeFinalize},
    {registerEngine, unregisterEngine},
};

}  // namespace

void nxsrServerEngineInitialize() {
  nxUseCountStart(gUseCount, kStartUp, [] {});
}

void nxsrServerEngineFinalize() {
  nxUseCountFinish(gUseCount, kStartUp, [] {});
}
