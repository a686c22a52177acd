// The heap family base, its registry and the header handler base.
#include "nxsrHeapEngineBase.h"

NX_IMPLEMENT_EXCEPTION(EnxBaseHeapEngineException, EnxBaseSubEngineException)

PL_CLASS_INFO_IMPL(TnxHeapHeaderHandler, TnxObject, "TnxHeapHeaderHandler", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxBaseHeapEngine, TnxBaseSubEngine, "TnxBaseHeapEngine", nullptr,
                         platform::bindClassTable(nxHeapEngineFuncs<TnxBaseHeapEngine>))

namespace {

TnxClassList gHeapEngines = nullptr;

const TnxHeapEngineClassFuncs& heapFuncsOf(const platform::ClassInfo& aClass) {
  const auto* funcs = aClass.table<TnxHeapEngineClassFuncs>();
  nxAssert(funcs != nullptr, "Heap engine class without class functions");
  return *funcs;
}

const platform::ClassInfo& findHeapClass(const nxString& aName) {
  const platform::ClassInfo* cls = nxFindClassIn(gHeapEngines, platform::toUtf8(aName));
  if (!cls) throw EnxBaseHeapEngineException(nxErrUnsupportedSubEngine, u"Unknown %s engine: \"%s\"", {nxString(u"Heap"), aName});
  return *cls;
}

}  // namespace

TnxBaseHeapEngine::TnxBaseHeapEngine(TnxBaseHeapDescriptor* aDescriptor, TnxBlockAccess* aDataFile,
                                     TnxHeapHeaderHandler* aHeaderHandler)
    : TnxBaseSubEngine(aDescriptor ? aDescriptor->ID() : 0, aDataFile ? aDataFile->baFile->VadurVersion() : 0),
      bheDataFile(aDataFile),
      bheHeaderHandler(aHeaderHandler) {
  nxAssert(aDataFile != nullptr && aHeaderHandler != nullptr, "Heap without data file or header handler");
  aHeaderHandler->hhhEngine = this;
  nxAssert(aDescriptor != nullptr, "Heap without descriptor");
  bheBlockHeapEngine.reset(
      TnxBaseBlockHeapEngine::CreateEngine(aDescriptor->BlockHeapDescriptor(), aDataFile->fiBlockSizeBytes(),
                                           aHeaderHandler->GetDataBlockHeaderSize(), bseTableVersion));
  if (!bheBlockHeapEngine) throw EnxBaseHeapEngineException(nxErrInvalidDesc, u"A block heap descriptor is required", {});
  bheBlockHeapEngine->bbheOnChanged = {&TnxBaseHeapEngine::Changed, this};
}

TnxBaseHeapEngine::~TnxBaseHeapEngine() = default;

void TnxBaseHeapEngine::Changed(void* aObject, PnxBlock aBlock, std::uint16_t aSegmentCount,
                                std::uint16_t aFreeSpaceSize, std::uint16_t aRecoverableSpace) {
  static_cast<TnxBaseHeapEngine*>(aObject)->BlockHeapChanged(aBlock, aSegmentCount, aFreeSpaceSize, aRecoverableSpace);
}

TnxClassList& TnxBaseHeapEngine::GetList() { return gHeapEngines; }

void TnxBaseHeapEngine::CheckEngineDescriptor(TnxBaseHeapDescriptor* aDescriptor) {
  if (!aDescriptor || !aDescriptor->BlockHeapDescriptor())
    throw EnxBaseHeapEngineException(nxErrInvalidDesc, u"A block heap descriptor is required", {});
  TnxBaseBlockHeapEngine::CheckValidBaseFromDescriptor(aDescriptor->BlockHeapDescriptor());
}

TnxBaseHeapEngine* TnxBaseHeapEngine::CreateEngine(TnxBaseHeapDescriptor* aDescriptor, TnxBlockAccess* aDataFile,
                                                   TnxHeapHeaderHandler* aHeaderHandler) {
  TnxOwned<TnxHeapHeaderHandler> handler(aHeaderHandler);
  if (!aDescriptor) return nullptr;
  const TnxHeapEngineClassFuncs& funcs = heapFuncsOf(findHeapClass(aDescriptor->HeapEngine()));
  nxAssert(funcs.create != nullptr, "Abstract heap engine class");
  // The engine owns the handler from its construction on.
  return funcs.create(aDescriptor, aDataFile, handler.release());
}

void TnxBaseHeapEngine::CheckValidBaseFromDescriptor(TnxBaseHeapDescriptor* aDescriptor) {
  if (!aDescriptor) return;
  heapFuncsOf(findHeapClass(aDescriptor->HeapEngine())).checkEngineDescriptor(aDescriptor);
}

void TnxBaseHeapEngine::RegisterEngine(const platform::ClassInfo& aClass, std::string_view aShortName) {
  (void)heapFuncsOf(aClass);
  nxRegisterClassIn(gHeapEngines, aClass, aShortName);
}

void TnxBaseHeapEngine::UnregisterEngine(const platform::ClassInfo& aClass) {
  nxUnregisterClassIn(gHeapEngines, aClass);
}
