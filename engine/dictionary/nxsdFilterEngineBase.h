// Filter engines: evaluators made from a filter descriptor and bound to an
// InxFieldsSource. MatchesBuffer True means the buffer passes; an inactive
// engine passes every buffer. An engine is created inactive.
//
// Registration: filter engine classes live in their own family
// (TnxBaseFilterEngine::GetList), each with a TnxFilterEngineClassFuncs table
// (nxFilterEngineFuncs<T>) holding its constructor (descriptor, source).
// CreateFor finds the engine of a descriptor by its class name with
// "Descriptor" replaced by "Engine".
//
// Identity: a filter is identified by the engine object itself (aFilterID);
// nil stands for all filters where an operation accepts it. Owners that hand
// identifiers to clients map the 32-bit TnxFilterID through the handle table.
// RemoveFilter may free the engine it is called on and rewrites the owner's
// variable.
//
// Thread safety: none; one owner uses an engine at a time.
#pragma once

#include <cstdint>

#include "nxsdFilterDescriptorBase.h"

class TnxBaseFilterEngine;

// Plain callback; True: the record passes.
using TnxFilterCallback = bool (*)(void* aCookie, const void* aBuffer);

// Time-out hook of a key scan: True means stop now, with the reason in aResult.
struct TnxFilterCheckTimeOut {
  bool (*Code)(void* aData, TnxResult& aResult) = nullptr;
  void* Data = nullptr;
  explicit operator bool() const { return Code != nullptr; }
  bool operator()(TnxResult& aResult) const { return Code(Data, aResult); }
};

NX_DECLARE_EXCEPTION(EnxBaseFilterEngineException, EnxBaseException)

struct TnxFilterEngineClassFuncs {
  TnxBaseFilterEngine* (*create)(TnxBaseFilterDescriptor* aDescriptor, const TnxIntfPtr<InxFieldsSource>& aFieldsSource);
};
template <class T>
inline constexpr TnxFilterEngineClassFuncs nxFilterEngineFuncs{
    [](TnxBaseFilterDescriptor* aDescriptor, const TnxIntfPtr<InxFieldsSource>& aFieldsSource) -> TnxBaseFilterEngine* {
      return platform::create<T>(aDescriptor, aFieldsSource);
    }};

class TnxBaseFilterEngine : public TnxBaseRegisterableEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseFilterEngine(TnxBaseFilterDescriptor* aDescriptor, const TnxIntfPtr<InxFieldsSource>& aFieldsSource);
  static TnxClassList& GetList();

  // 15503 "Unknown Filter engine: "<name>"" when no engine is registered.
  static TnxBaseFilterEngine* CreateFor(TnxBaseFilterDescriptor* aDescriptor,
                                        const TnxIntfPtr<InxFieldsSource>& aFieldsSource);

  const TnxIntfPtr<InxFieldsSource>& FieldsSource() const { return bfFieldsSource; }

  virtual bool GetActive();
  virtual void SetActive(bool aValue);
  // An engine of the same family over aFieldsSource, with the same Active.
  virtual TnxBaseFilterEngine* Duplicate(const TnxIntfPtr<InxFieldsSource>& aFieldsSource);
  // A fresh descriptor the caller owns.
  virtual TnxBaseFilterDescriptor* CreateDescriptor() = 0;
  virtual bool MatchesBuffer(const void* aBuffer) = 0;
  // aFilterID not this engine: 10050. Else aFilterVar (which must hold this
  // engine) becomes nil and this engine is freed.
  virtual TnxResult RemoveFilter(TnxBaseFilterEngine* aFilterID, TnxBaseFilterEngine*& aFilterVar);
  // nil or this engine: switched, 0; else 10050.
  virtual TnxResult ActivateFilter(TnxBaseFilterEngine* aFilterID);
  virtual TnxResult DeactivateFilter(TnxBaseFilterEngine* aFilterID);
  virtual void Disconnect() {}
  virtual bool IsEvalLocal();
  virtual bool IsEvalRemote();
  // The key-buffer form used by index scans.
  bool MatchesKey(const void* aKeyBuffer) { return MatchesBuffer(aKeyBuffer); }

  void AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aFlag) override;

  TnxFilterCheckTimeOut kfCheckTimeOut;
  TnxResult* kfResult = nullptr;

 protected:
  TnxIntfPtr<InxFieldsSource> bfFieldsSource;
  bool bfActive = false;
};

// Checked cast of a descriptor handed to an engine constructor; a wrong
// class raises platform::ConvertError "Invalid class typecast".
template <class T>
T* nxFilterDescriptorAs(TnxBaseFilterDescriptor* aDescriptor) {
  T* d = platform::objectAs<T>(aDescriptor);
  if (!d) throw platform::ConvertError("Invalid class typecast");
  return d;
}
