#include "nxdbInt.h"

PL_CLASS_INFO_IMPL(TnxDataAccessStateComponent, TnxStateComponent, "TnxDataAccessStateComponent", nullptr)
PL_CLASS_INFO_IMPL(TnxSessionOwnedDataAccessStateComponent, TnxDataAccessStateComponent,
                   "TnxSessionOwnedDataAccessStateComponent", nullptr)

// ------------------------------------------------ TnxDataAccessStateComponent

void TnxDataAccessStateComponent::RaiseComponentError(TnxResult aErrorCode, const nxString& aText) const {
  if (aErrorCode == 0) throw EnxDatabaseError(this, platform::UnicodeStringView(aText));
  if (aText.empty()) throw EnxDatabaseError(this, aErrorCode);
  throw EnxDatabaseError(this, aErrorCode, platform::UnicodeStringView(aText));
}

// ------------------------------------- TnxSessionOwnedDataAccessStateComponent

TnxSessionOwnedDataAccessStateComponent::TnxSessionOwnedDataAccessStateComponent(TnxComponent* aOwner)
    : TnxDataAccessStateComponent(aOwner) {}

void TnxSessionOwnedDataAccessStateComponent::afterConstruction() {
  TnxDataAccessStateComponent::afterConstruction();
  if (!(ComponentState() & csLoading)) soBindDefaultSession();
}

void TnxSessionOwnedDataAccessStateComponent::Loaded() {
  TnxDataAccessStateComponent::Loaded();
  soBindDefaultSession();
}

void TnxSessionOwnedDataAccessStateComponent::soBindDefaultSession() {
  if (!soSession) SetSession(TnxBaseSession::DefaultSession());
}

void TnxSessionOwnedDataAccessStateComponent::SetSession(TnxBaseSession* aValue) {
  if (aValue == soSession) return;
  CheckInactive();
  UnlinkDependent(soSession);
  soSession = aValue;
  LinkDependent(soSession);
}

void TnxSessionOwnedDataAccessStateComponent::SetTimeout(std::int32_t aValue) {
  if (aValue == soTimeout) return;
  soTimeout = aValue;
  soApplyTimeout();
}

bool TnxSessionOwnedDataAccessStateComponent::DependsOn(TnxStateComponent* aComponent) const {
  return (aComponent && aComponent == soSession) || TnxDataAccessStateComponent::DependsOn(aComponent);
}

void TnxSessionOwnedDataAccessStateComponent::ProcessNotification(TnxComponent* aSender, TnxNotifyOp aOp,
                                                                  void* aParam) {
  TnxDataAccessStateComponent::ProcessNotification(aSender, aOp, aParam);
  if (aOp == nxnDestroying && aSender && aSender == soSession) {
    SetActive(false);
    soSession = nullptr;
  }
}

std::int32_t TnxSessionOwnedDataAccessStateComponent::soEffectiveTimeout() const {
  if (soTimeout >= 0) return soTimeout;
  if (soSession) return soSession->bsEffectiveTimeout();
  return nxDefaultClientTimeout;
}

void TnxSessionOwnedDataAccessStateComponent::soCheckSession() const {
  if (!soSession) RaiseError(nxString(u"No owning session"));
}

// --------------------------------------------------------------- routines

void nxSetFieldFromVariant(platform::TField& aField, const platform::Variant& aValue) {
  const platform::TFieldType type = aField.DataType();
  // The system's own text variants are UTF-16 ones; they count as strings too.
  if (aValue.isString() && type != platform::ftString && type != platform::ftFixedChar &&
      type != platform::ftWideString && aValue.toString().empty()) {
    aField.Clear();
    return;
  }
  aField.SetValue(aValue);
}
