// The block heap family base and its registry.
#include "nxsrBlockHeapEngineBase.h"

NX_IMPLEMENT_EXCEPTION(EnxBaseBlockHeapEngineException, EnxBaseSubEngineException)

PL_CLASS_INFO_IMPL_TABLE(TnxBaseBlockHeapEngine, TnxBaseSubEngine, "TnxBaseBlockHeapEngine", nullptr,
                         platform::bindClassTable(nxBlockHeapEngineFuncs<TnxBaseBlockHeapEngine>))

namespace {

TnxClassList gBlockHeapEngines = nullptr;

const TnxBlockHeapEngineClassFuncs& blockHeapFuncsOf(const platform::ClassInfo& aClass) {
  const auto* funcs = aClass.table<TnxBlockHeapEngineClassFuncs>();
  nxAssert(funcs != nullptr, "Block heap engine class without class functions");
  return *funcs;
}

const platform::ClassInfo& findBlockHeapClass(const nxString& aName) {
  const platform::ClassInfo* cls = nxFindClassIn(gBlockHeapEngines, platform::toUtf8(aName));
  if (!cls) throw EnxBaseBlockHeapEngineException(nxErrUnsupportedSubEngine, u"Unknown %s engine: \"%s\"", {nxString(u"BlockHeap"), aName});
  return *cls;
}

}  // namespace

TnxBaseBlockHeapEngine::TnxBaseBlockHeapEngine(TnxBaseBlockHeapDescriptor* aDescriptor, std::uint32_t aBlockSize,
                                               std::uint16_t aHeaderSize, std::int32_t aTableVersion)
    : TnxBaseSubEngine(aDescriptor ? aDescriptor->ID() : 0, aTableVersion),
      bbheBlockSize(aBlockSize),
      bbheHeaderSize(aHeaderSize) {
  if (aTableVersion >= 47005) bbheSegmentRefMask = 0x0000FFFFu;
}

TnxClassList& TnxBaseBlockHeapEngine::GetList() { return gBlockHeapEngines; }

TnxBaseBlockHeapEngine* TnxBaseBlockHeapEngine::CreateEngine(TnxBaseBlockHeapDescriptor* aDescriptor,
                                                             std::uint32_t aBlockSize, std::uint16_t aHeaderSize,
                                                             std::int32_t aTableVersion) {
  if (!aDescriptor) return nullptr;
  const TnxBlockHeapEngineClassFuncs& funcs = blockHeapFuncsOf(findBlockHeapClass(aDescriptor->BlockHeapEngine()));
  nxAssert(funcs.create != nullptr, "Abstract block heap engine class");
  return funcs.create(aDescriptor, aBlockSize, aHeaderSize, aTableVersion);
}

void TnxBaseBlockHeapEngine::CheckValidBaseFromDescriptor(TnxBaseBlockHeapDescriptor* aDescriptor) {
  if (!aDescriptor) return;
  blockHeapFuncsOf(findBlockHeapClass(aDescriptor->BlockHeapEngine())).checkEngineDescriptor(aDescriptor);
}

void TnxBaseBlockHeapEngine::RegisterEngine(const platform::ClassInfo& aClass, std::string_view aShortName) {
  (void)blockHeapFuncsOf(aClass);
  nxRegisterClassIn(gBlockHeapEngines, aClass, aShortName);
}

void TnxBaseBlockHeapEngine::UnregisterEngine(const platform::ClassInfo& aClass) {
  nxUnregisterClassIn(gBlockHeapEngines, aClass);
}

void TnxBaseBlockHeapEngine::ReportChange(PnxBlock aBlock, std::uint16_t aSegmentCount, std::uint16_t aFreeSpaceSize,
                                          std::uint16_t aRecoverableSpace) {
  if (bbheOnChanged) bbheOnChanged(aBlock, aSegmentCount, aFreeSpaceSize, aRecoverableSpace);
}
