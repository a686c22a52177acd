// Callback filters: the host program's function decides per record. Not
// streamable (a function pointer has no stream form).
#pragma once

#include "nxsdFilterEngineBase.h"

class TnxCallbackFilterDescriptor : public TnxBaseFilterDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  TnxCallbackFilterDescriptor(void* aCookie, TnxFilterCallback aCallback)
      : cbfdCallback(aCallback), cbfdCookie(aCookie) {}
  TnxFilterCallback cbfdCallback;
  void* cbfdCookie;
};

class TnxCallbackFilterEngine : public TnxBaseFilterEngine {
  PL_CLASS_INFO_DECL()
 public:
  // aDescriptor must be a TnxCallbackFilterDescriptor.
  TnxCallbackFilterEngine(TnxBaseFilterDescriptor* aDescriptor, const TnxIntfPtr<InxFieldsSource>& aFieldsSource);
  TnxBaseFilterDescriptor* CreateDescriptor() override;
  // True when inactive or without callback, else the callback's answer.
  bool MatchesBuffer(const void* aBuffer) override;
  void AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aFlag) override;

  TnxFilterCallback cbfeCallback;
  void* cbfeCookie;
};

// Module start-up and finalisation, counted; listed in the dictionary's
// start-up table (registration of both classes).
void nxsdFilterEngineCallbackInitialize();
void nxsdFilterEngineCallbackFinalize();
