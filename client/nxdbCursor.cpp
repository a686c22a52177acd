#include "nxdbInt.h"

PL_CLASS_INFO_IMPL(TnxCursor, TnxDataAccessStateComponent, "TnxCursor", nullptr)

TnxCursor::TnxCursor(TnxDataset* aDataSet) : TnxDataAccessStateComponent(nullptr), crDataSet(aDataSet) {}

void TnxCursor::SetDatabase(TnxDatabase* aValue) {
  if (aValue == crDatabase) return;
  CheckInactive();
  UnlinkDependent(crDatabase);
  crDatabase = aValue;
  LinkDependent(crDatabase);
}

void TnxCursor::CheckInactive() {
  if (crDataSet) crDataSet->dsCursorCheckInactive();
  TnxDataAccessStateComponent::CheckInactive();
}

bool TnxCursor::DependsOn(TnxStateComponent* aComponent) const {
  return (aComponent && aComponent == crDatabase) || TnxDataAccessStateComponent::DependsOn(aComponent);
}

void TnxCursor::ProcessNotification(TnxComponent* aSender, TnxNotifyOp aOp, void* aParam) {
  TnxDataAccessStateComponent::ProcessNotification(aSender, aOp, aParam);
  if (aOp == nxnDestroying && aSender && aSender == crDatabase) {
    SetActive(false);
    crDatabase = nullptr;
  }
}

void TnxCursor::crCheckDatabase() const {
  if (!crDatabase) RaiseError(nxString(u"DataSet cannot open its database"));
}

void TnxCursor::scInitializing() {
  if (crDataSet) crDataSet->dsResolveAliasDatabase();
  crCheckDatabase();
  TnxDataAccessStateComponent::scInitializing();
}

void TnxCursor::scStopping() {
  TnxDataAccessStateComponent::scStopping();
  if (crDataSet) crDataSet->dsCursorShutdown();
}
