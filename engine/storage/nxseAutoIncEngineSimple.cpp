// The auto-increment counter in its header section.
#include "nxseAutoIncEngineSimple.h"

#include "nxseHeaderAccess.h"

NX_IMPLEMENT_EXCEPTION(EnxseAutoIncEngineException, EnxBaseAutoIncEngineException)

PL_CLASS_INFO_IMPL_TABLE(TnxSimpleAutoIncEngine, TnxBaseAutoIncEngine, "TnxSimpleAutoIncEngine", nullptr,
                         platform::bindClassTable(nxSubEngineFuncs<TnxSimpleAutoIncEngine>))

namespace {
constexpr std::uint8_t kAutoIncSectionSize = 4;
}  // namespace

TnxSimpleAutoIncEngine::TnxSimpleAutoIncEngine(TnxDictionaryItem* aDescriptor, TnxBaseTransaction* aTrans,
                                               const TnxBlockAccessArray& aFiles)
    : TnxBaseAutoIncEngine(aDescriptor, aTrans, aFiles) {
  if (auto* adv = platform::objectAs<TnxAdvAutoIncDescriptor>(aDescriptor)) {
    aieInitialValue = adv->InitialValue();
    aieStep = adv->Step();
  }
  // A step of 0 would hand out one value forever; the descriptor refuses it,
  // a damaged dictionary must not bring it here either.
  if (aieStep == 0) aieStep = 1;
  auto* descriptor = platform::objectAs<TnxBaseAutoIncDescriptor>(aDescriptor);
  const nxString section = platform::fromUtf8(descriptor->HeaderSection());
  TnxOwned<TnxBaseFileHeaderAccess> access(baieDataFile->HeaderAccess(aTrans, aTrans != nullptr));
  if (aTrans) {
    aieHeaderSection = access->RegisterHeaderSection(section, kAutoIncSectionSize, true, false);
    nxsePutU32(access->Header + aieHeaderSection, aieInitialValue - aieStep);
  } else {
    aieHeaderSection = access->RegisterHeaderSection(section, kAutoIncSectionSize, false, false);
  }
}

std::uint32_t TnxSimpleAutoIncEngine::NextAutoIncValue(TnxBaseTransaction* aTrans, std::uint32_t* aCurrentAutoInc) {
  TnxOwned<TnxBaseFileHeaderAccess> access(baieDataFile->HeaderAccess(aTrans, true));
  std::uint8_t* counter = access->Header + aieHeaderSection;
  std::uint32_t value = nxseGetU32(counter);
  if (aCurrentAutoInc) *aCurrentAutoInc = value;
  if (value > 0xFFFFFFFFu - aieStep) {
    // The start state of a counter whose initial value is below its step
    // lies "above" the top: it restarts from the initial value.
    if (value != aieInitialValue - aieStep)
      throw EnxseAutoIncEngineException(nxErrMaxValidity, u"Maximum AutoInc value has been reached");
    value = aieInitialValue;
  }
  value += aieStep;
  nxsePutU32(counter, value);
  return value;
}

std::uint32_t TnxSimpleAutoIncEngine::ReadAutoIncValue(TnxBaseTransaction* aTrans) {
  TnxOwned<TnxBaseFileHeaderAccess> access(baieDataFile->HeaderAccess(aTrans, false));
  return nxseGetU32(access->Header + aieHeaderSection);
}

void TnxSimpleAutoIncEngine::SetAutoIncValue(TnxBaseTransaction* aTrans, std::uint32_t aValue) {
  TnxOwned<TnxBaseFileHeaderAccess> access(baieDataFile->HeaderAccess(aTrans, true));
  nxsePutU32(access->Header + aieHeaderSection, aValue);
}

// Start-ups of this module, counted: only the first registers, the last
// finalisation unregisters.
namespace {
TnxUseCount gAutoIncEngineSimpleModuleStarts{0};
}  // namespace

void nxseAutoIncEngineSimpleInitialize() {
  TnxCountedStart started(gAutoIncEngineSimpleModuleStarts);
  if (!started) return;
  TnxBaseSubEngine::RegisterSubEngine(TnxSimpleAutoIncEngine::staticClassInfo(), "nx1xDefault");
}

void nxseAutoIncEngineSimpleFinalize() {
  if (!nxUseCountLeave(gAutoIncEngineSimpleModuleStarts)) return;
  TnxBaseSubEngine::UnregisterSubEngine(TnxSimpleAutoIncEngine::staticClassInfo());
}
