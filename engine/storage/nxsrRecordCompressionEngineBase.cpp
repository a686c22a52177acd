// The record compression family base, its registry and the null engine.
#include "nxsrRecordCompressionEngineBase.h"

NX_IMPLEMENT_EXCEPTION(EnxBaseRecordCompressionEngineException, EnxBaseSubEngineException)
NX_IMPLEMENT_EXCEPTION(EnxNullRecordCompressionEngineException, EnxBaseRecordCompressionEngineException)

PL_CLASS_INFO_IMPL_TABLE(TnxBaseRecordCompressionEngine, TnxBaseSubEngine, "TnxBaseRecordCompressionEngine", nullptr,
                         platform::bindClassTable(nxRecordCompressionEngineFuncs<TnxBaseRecordCompressionEngine>))
PL_CLASS_INFO_IMPL_TABLE(TnxNullRecordCompressionEngine, TnxBaseRecordCompressionEngine,
                         "TnxNullRecordCompressionEngine", nullptr,
                         platform::bindClassTable(nxRecordCompressionEngineFuncs<TnxNullRecordCompressionEngine>))

namespace {

TnxClassList gRecordCompressionEngines = nullptr;

const TnxRecordCompressionEngineClassFuncs& compressionFuncsOf(const platform::ClassInfo& aClass) {
  const auto* funcs = aClass.table<TnxRecordCompressionEngineClassFuncs>();
  nxAssert(funcs != nullptr, "Record compression engine class without class functions");
  return *funcs;
}

const platform::ClassInfo& findCompressionClass(const nxString& aName) {
  const platform::ClassInfo* cls = nxFindClassIn(gRecordCompressionEngines, platform::toUtf8(aName));
  if (!cls)
    throw EnxBaseRecordCompressionEngineException(nxErrUnsupportedSubEngine, u"Unknown %s engine: \"%s\"",
                                                  {nxString(u"RecordCompression"), aName});
  return *cls;
}

}  // namespace

TnxBaseRecordCompressionEngine::TnxBaseRecordCompressionEngine(TnxBaseRecordCompressionDescriptor* aDescriptor,
                                                               std::int32_t aTableVersion)
    : TnxBaseSubEngine(aDescriptor ? aDescriptor->ID() : 0, aTableVersion), brceDescriptor(aDescriptor) {}

TnxClassList& TnxBaseRecordCompressionEngine::GetList() { return gRecordCompressionEngines; }

TnxBaseRecordCompressionEngine* TnxBaseRecordCompressionEngine::CreateEngine(
    TnxBaseRecordCompressionDescriptor* aDescriptor, std::int32_t aTableVersion) {
  if (!aDescriptor) return platform::create<TnxNullRecordCompressionEngine>(nullptr, aTableVersion);
  const TnxRecordCompressionEngineClassFuncs& funcs = compressionFuncsOf(findCompressionClass(aDescriptor->RecordCompressionEngine()));
  nxAssert(funcs.create != nullptr, "Abstract record compression engine class");
  return funcs.create(aDescriptor, aTableVersion);
}

void TnxBaseRecordCompressionEngine::CheckValidBaseFromDescriptor(TnxBaseRecordCompressionDescriptor* aDescriptor) {
  if (!aDescriptor) return;
  compressionFuncsOf(findCompressionClass(aDescriptor->RecordCompressionEngine())).checkEngineDescriptor(aDescriptor);
}

void TnxBaseRecordCompressionEngine::RegisterEngine(const platform::ClassInfo& aClass, std::string_view aShortName) {
  (void)compressionFuncsOf(aClass);
  nxRegisterClassIn(gRecordCompressionEngines, aClass, aShortName);
}

void TnxBaseRecordCompressionEngine::UnregisterEngine(const platform::ClassInfo& aClass) {
  nxUnregisterClassIn(gRecordCompressionEngines, aClass);
}

void TnxNullRecordCompressionEngine::DecompressRecord(const std::uint8_t*, std::uint16_t, std::uint8_t*) {
  throw EnxNullRecordCompressionEngineException(
      nxErrNotSupported, u"DecompressRecord is not supported by TnxNullRecordCompressionEngine");
}

TnxFieldsDescriptor* nxFieldsOfCompressionDescriptor(TnxBaseRecordCompressionDescriptor* aDescriptor) {
  for (TnxDictionaryItem* item = aDescriptor; item; item = item->ParentItem())
    if (auto* table = platform::objectAs<TnxBaseTableDescriptor>(item)) return table->FieldsDescriptor();
  return nullptr;
}

// Start-ups of this module, counted: only the first registers, the last
// finalisation unregisters.
namespace {
TnxUseCount gRecordCompressionEngineBaseModuleStarts{0};
}  // namespace

void nxsrRecordCompressionEngineBaseInitialize() {
  TnxCountedStart started(gRecordCompressionEngineBaseModuleStarts);
  if (!started) return;
  TnxBaseRecordCompressionEngine::RegisterEngine(TnxNullRecordCompressionEngine::staticClassInfo(), "Null");
}

void nxsrRecordCompressionEngineBaseFinalize() {
  if (!nxUseCountLeave(gRecordCompressionEngineBaseModuleStarts)) return;
  TnxBaseRecordCompressionEngine::UnregisterEngine(TnxNullRecordCompressionEngine::staticClassInfo());
}
