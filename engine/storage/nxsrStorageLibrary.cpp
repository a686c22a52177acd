#include "nxsrStorageLibrary.h"

#include "nxllBaseLibrary.h"
#include "nxsdDataDictionary.h"
#include "nxseAutoIncEngineSimple.h"
#include "nxseBlobEngineSegmented.h"
#include "nxseBlobEngineSimple.h"
#include "nxseBlockHeapEngineNonfragmenting.h"
#include "nxseEncryptionEngineBlowfishRC4.h"
#include "nxseHeaderAccess.h"
#include "nxseHeapEngineCached.h"
#include "nxseJournalEngine.h"
#include "nxseRecordCompressionEngineCompressor.h"
#include "nxseRecordCompressionEngineSmart.h"
#include "nxseRecordEngineStatic.h"
#include "nxseRecordEngineVariable.h"
#include "nxseRecordEngineVariableVersioned.h"
#include "nxseStreamEngine.h"
#include "nxseTemporaryStorageChunked.h"
#include "nxsrBufferManager.h"
#include "nxsrEncryptionEngineBase.h"
#include "nxsrEngineBases.h"
#include "nxsrFileImplWin32.h"
#include "nxsrRecordCompressionEngineBase.h"
#include "nxsrSubEngineBase.h"
#include "nxsrTimeoutHandling.h"

namespace {

void nothing() {}

// Setting the default file classes only fills empty slots: nothing to undo.
void startFiles() { nxsrFileImplWin32Initialize(); }

// A module comes after every module it uses. The registries of the engine
// bases need no start-up; they are freed last. The indices engine and its
// base start with the index library: a registered indices engine makes
// every table name index engines, which live there.
constexpr TnxModuleDependency kModules[] = {
    {nxllBaseLibraryInitialize, nxllBaseLibraryFinalize},
    {nxsdDataDictionaryInitialize, nxsdDataDictionaryFinalize},
    {nothing, nxsrEngineBasesFinalize},
    {nothing, nxsrEncryptionEngineBaseFinalize},
    {nxsrTimeoutHandlingInitialize, nxsrTimeoutHandlingFinalize},
    {nxsrBufferManagerInitialize, nxsrBufferManagerFinalize},
    {startFiles, nothing},
    {nxseHeaderAccessInitialize, nxseHeaderAccessFinalize},
    {nxseJournalEngineInitialize, nxseJournalEngineFinalize},
    {nxseTemporaryStorageChunkedInitialize, nxseTemporaryStorageChunkedFinalize},
    {nxsrSubEngineBaseInitialize, nxsrSubEngineBaseFinalize},
    {nxseStreamEngineInitialize, nxseStreamEngineFinalize},
    {nxseRecordEngineStaticInitialize, nxseRecordEngineStaticFinalize},
    {nxseBlockHeapEngineNonfragmentingInitialize, nxseBlockHeapEngineNonfragmentingFinalize},
    {nxseHeapEngineCachedInitialize, nxseHeapEngineCachedFinalize},
    {nxseBlobEngineSegmentedInitialize, nxseBlobEngineSegmentedFinalize},
    {nxseBlobEngineSimpleInitialize, nxseBlobEngineSimpleFinalize},
    {nxsrRecordCompressionEngineBaseInitialize, nxsrRecordCompressionEngineBaseFinalize},
    {nxseRecordCompressionEngineSmartInitialize, nxseRecordCompressionEngineSmartFinalize},
    {nxseRecordCompressionEngineCompressorInitialize, nxseRecordCompressionEngineCompressorFinalize},
    {nxseRecordEngineVariableInitialize, nxseRecordEngineVariableFinalize},
    {nxseRecordEngineVariableVersionedInitialize, nxseRecordEngineVariableVersionedFinalize},
    {nxseAutoIncEngineSimpleInitialize, nxseAutoIncEngineSimpleFinalize},
    {nxseEncryptionEngineBlowfishRC4Initialize, nxseEncryptionEngineBlowfishRC4Finalize},
};

TnxUseCount gUseCount{0};

}  // namespace

void nxsrStorageLibraryInitialize() { nxUseCountStart(gUseCount, kModules, [] {}); }

void nxsrStorageLibraryFinalize() { nxUseCountFinish(gUseCount, kModules, [] {}); }

std::span<const TnxModuleDependency> nxsrStorageModules() { return kModules; }
