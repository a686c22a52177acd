#include "nxsdFilterEngineBase.h"

#include <string>

#include "nxllBde.h"
#include "nxllException.h"
#include "nxllOwners.h"
#include "plString.h"

NX_IMPLEMENT_EXCEPTION(EnxBaseFilterEngineException, EnxBaseException)

namespace {

TnxClassList gFilterEngines = nullptr;

}  // namespace

PL_CLASS_INFO_IMPL(TnxBaseFilterEngine, TnxBaseRegisterableEngine, "TnxBaseFilterEngine", nullptr)

TnxClassList& TnxBaseFilterEngine::GetList() { return gFilterEngines; }

TnxBaseFilterEngine::TnxBaseFilterEngine(TnxBaseFilterDescriptor* /*aDescriptor*/,
                                         const TnxIntfPtr<InxFieldsSource>& aFieldsSource)
    : bfFieldsSource(aFieldsSource) {}

TnxBaseFilterEngine* TnxBaseFilterEngine::CreateFor(TnxBaseFilterDescriptor* aDescriptor,
                                                    const TnxIntfPtr<InxFieldsSource>& aFieldsSource) {
  const std::string name = nxDescriptorToEngineName(aDescriptor->className(), "Engine");
  const platform::ClassInfo* cls = nxFindClassIn(GetList(), name);
  const TnxFilterEngineClassFuncs* funcs = cls ? cls->table<TnxFilterEngineClassFuncs>() : nullptr;
  if (!funcs)
    throw EnxBaseFilterEngineException(nxErrUnsupportedSubEngine, u"Unknown %s engine: \"%s\"",
                                       {nxString(u"Filter"), platform::fromUtf8(name)});
  return funcs->create(aDescriptor, aFieldsSource);
}

bool TnxBaseFilterEngine::GetActive() { return bfActive; }

void TnxBaseFilterEngine::SetActive(bool aValue) { bfActive = aValue; }

TnxBaseFilterEngine* TnxBaseFilterEngine::Duplicate(const TnxIntfPtr<InxFieldsSource>& aFieldsSource) {
  TnxOwned<TnxBaseFilterDescriptor> descriptor(CreateDescriptor());
  TnxOwned<TnxBaseFilterEngine> result(CreateFor(descriptor.get(), aFieldsSource));
  result->SetActive(GetActive());
  descriptor.reset();
  return result.release();
}

TnxResult TnxBaseFilterEngine::RemoveFilter(TnxBaseFilterEngine* aFilterID, TnxBaseFilterEngine*& aFilterVar) {
  if (aFilterID != this) return nxErrInvalidFilterHandle;
  nxAssert(aFilterVar == this, "Filter variable does not hold the filter");
  aFilterVar = nullptr;
  platform::TObject::free(this);
  return 0;
}

TnxResult TnxBaseFilterEngine::ActivateFilter(TnxBaseFilterEngine* aFilterID) {
  if (aFilterID && aFilterID != this) return nxErrInvalidFilterHandle;
  SetActive(true);
  return 0;
}

TnxResult TnxBaseFilterEngine::DeactivateFilter(TnxBaseFilterEngine* aFilterID) {
  if (aFilterID && aFilterID != this) return nxErrInvalidFilterHandle;
  SetActive(false);
  return 0;
}

bool TnxBaseFilterEngine::IsEvalLocal() { return GetActive(); }

bool TnxBaseFilterEngine::IsEvalRemote() { return !IsEvalLocal(); }

void TnxBaseFilterEngine::AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aFlag) {
  TnxBaseRegisterableEngine::AddDebugInfo(aContainer, aFlag);
  aContainer->AddBoolean(u"Active", GetActive());
}
