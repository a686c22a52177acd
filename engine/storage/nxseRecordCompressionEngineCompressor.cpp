// Records compressed by a compressor class chosen by number.
#include "nxseRecordCompressionEngineCompressor.h"

NX_IMPLEMENT_EXCEPTION(EnxCompressorRecordCompressionEngineException, EnxBaseRecordCompressionEngineException)

PL_CLASS_INFO_IMPL_TABLE(
    TnxCompressorRecordCompressionEngine, TnxBaseRecordCompressionEngine, "TnxCompressorRecordCompressionEngine",
    nullptr, platform::bindClassTable(nxRecordCompressionEngineFuncs<TnxCompressorRecordCompressionEngine>))

TnxCompressorRecordCompressionEngine::TnxCompressorRecordCompressionEngine(
    TnxBaseRecordCompressionDescriptor* aDescriptor, std::int32_t aTableVersion)
    : TnxBaseRecordCompressionEngine(aDescriptor, aTableVersion),
      srceFieldsDescriptor(nxFieldsOfCompressionDescriptor(aDescriptor)) {
  nxAssert(srceFieldsDescriptor != nullptr, "Compressor record compression outside a table");
  srceRecordLength = static_cast<std::uint32_t>(srceFieldsDescriptor->RecordLength());
  const std::uint8_t type = aDescriptor->CompressType();
  if (type != 0) srceCompressor = nxGetCompressor(type);
  if (!srceCompressor)
    throw EnxCompressorRecordCompressionEngineException(u"Unknown CompressType \"%d\"",
                                                        {static_cast<std::int64_t>(type)});
}

std::uint16_t TnxCompressorRecordCompressionEngine::CompressRecord(const std::uint8_t* aSource,
                                                                   std::uint8_t* aTarget) {
  const std::uint32_t size =
      nxCompressorFuncs(srceCompressor).compress(aSource, aTarget, srceRecordLength, srceRecordLength);
  nxAssert(size <= srceRecordLength, "Compressor wrote past its target");
  return static_cast<std::uint16_t>(size);
}

void TnxCompressorRecordCompressionEngine::DecompressRecord(const std::uint8_t* aSource, std::uint16_t aSize,
                                                            std::uint8_t* aTarget) {
  nxCompressorFuncs(srceCompressor).uncompress(aSource, aTarget, aSize, srceRecordLength);
}

// Start-ups of this module, counted: only the first registers, the last
// finalisation unregisters.
namespace {
TnxUseCount gRecordCompressionEngineCompressorModuleStarts{0};
}  // namespace

void nxseRecordCompressionEngineCompressorInitialize() {
  TnxCountedStart started(gRecordCompressionEngineCompressorModuleStarts);
  if (!started) return;
  TnxBaseRecordCompressionEngine::RegisterEngine(TnxCompressorRecordCompressionEngine::staticClassInfo(),
                                                 "Compressor");
}

void nxseRecordCompressionEngineCompressorFinalize() {
  if (!nxUseCountLeave(gRecordCompressionEngineCompressorModuleStarts)) return;
  TnxBaseRecordCompressionEngine::UnregisterEngine(TnxCompressorRecordCompressionEngine::staticClassInfo());
}
