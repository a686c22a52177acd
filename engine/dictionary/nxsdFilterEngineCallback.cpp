#include "nxsdFilterEngineCallback.h"

#include <cstdint>

#include "nxllLockedFuncs.h"

PL_CLASS_INFO_IMPL_TABLE(TnxCallbackFilterDescriptor, TnxBaseFilterDescriptor, "TnxCallbackFilterDescriptor", nullptr,
                         platform::bindClassTable(nxFilterDescriptorFuncs<TnxCallbackFilterDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxCallbackFilterEngine, TnxBaseFilterEngine, "TnxCallbackFilterEngine", nullptr,
                         platform::bindClassTable(nxFilterEngineFuncs<TnxCallbackFilterEngine>))

TnxCallbackFilterEngine::TnxCallbackFilterEngine(TnxBaseFilterDescriptor* aDescriptor,
                                                 const TnxIntfPtr<InxFieldsSource>& aFieldsSource)
    : TnxBaseFilterEngine(aDescriptor, aFieldsSource) {
  auto* d = nxFilterDescriptorAs<TnxCallbackFilterDescriptor>(aDescriptor);
  cbfeCallback = d->cbfdCallback;
  cbfeCookie = d->cbfdCookie;
}

TnxBaseFilterDescriptor* TnxCallbackFilterEngine::CreateDescriptor() {
  return platform::create<TnxCallbackFilterDescriptor>(cbfeCookie, cbfeCallback);
}

bool TnxCallbackFilterEngine::MatchesBuffer(const void* aBuffer) {
  if (!GetActive() || !cbfeCallback) return true;
  return cbfeCallback(cbfeCookie, aBuffer);
}

void TnxCallbackFilterEngine::AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aFlag) {
  TnxBaseFilterEngine::AddDebugInfo(aContainer, aFlag);
  aContainer->AddInt64(u"Cookie", static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(cbfeCookie)));
}

namespace {

TnxUseCount gFilterEngineCallbackUseCount{0};

void unregisterFilterEngineCallbackClasses() {
  TnxEngineClass<TnxCallbackFilterEngine>::Unregister();
  TnxDescriptorClass<TnxCallbackFilterDescriptor>::Unregister();
}

}  // namespace

void nxsdFilterEngineCallbackInitialize() {
  if (!nxUseCountEnter(gFilterEngineCallbackUseCount)) return;
  try {
    TnxDescriptorClass<TnxCallbackFilterDescriptor>::Register();
    TnxEngineClass<TnxCallbackFilterEngine>::Register();
  } catch (...) {
    unregisterFilterEngineCallbackClasses();
    nxUseCountLeave(gFilterEngineCallbackUseCount);
    throw;
  }
}

void nxsdFilterEngineCallbackFinalize() {
  if (nxUseCountLeave(gFilterEngineCallbackUseCount)) unregisterFilterEngineCallbackClasses();
}
