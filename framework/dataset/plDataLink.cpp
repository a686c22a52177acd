#include "plDataLink.h"

#include <algorithm>

namespace platform {

// ---------------------------------------------------------------------------
// TDataSource

PL_CLASS_INFO_IMPL(TDataSource, TComponent, "TDataSource", &factoryFor<TDataSource>)

TDataSource::TDataSource(TComponent* aOwner) : TComponent(aOwner) {}

TDataSource::~TDataSource() {
  for (TDataLink* link : srcLinks) link->dlDataSource = nullptr;
  if (srcDataSet) srcDataSet->RemoveDataSource(this);
}

void TDataSource::beforeDestruction() {
  while (!srcLinks.empty()) srcLinks.back()->SetDataSource(nullptr);
  SetDataSet(nullptr);
  TComponent::beforeDestruction();
}

bool TDataSource::IsLinkedTo(const TDataSet* aDataSet) const {
  if (!aDataSet) return false;
  const TDataSource* source = aDataSet->GetDataSource();
  for (int guard = 0; source && guard < 1000; ++guard) {
    if (source == this) return true;
    if (!source->DataSet()) return false;
    source = source->DataSet()->GetDataSource();
  }
  return false;
}

void TDataSource::SetDataSet(TDataSet* aDataSet) {
  if (aDataSet == srcDataSet) return;
  if (IsLinkedTo(aDataSet)) DatabaseError(dbmsg::SCircularDataLink);
  if (srcDataSet) {
    srcDataSet->RemoveDataSource(this);
    RemoveFreeNotification(srcDataSet);
  }
  srcDataSet = aDataSet;
  if (aDataSet) {
    FreeNotification(aDataSet);
    aDataSet->AddDataSource(this);
  }
  NotifyState();
}

void TDataSource::Notification(TComponent* aComponent, TOperation aOperation) {
  TComponent::Notification(aComponent, aOperation);
  if (aOperation == opRemove && aComponent == srcDataSet) SetDataSet(nullptr);
}

void TDataSource::SetEnabled(bool aValue) {
  srcEnabled = aValue;
  NotifyState();
}

void TDataSource::Edit() {
  if (srcAutoEdit && srcState == dsBrowse && srcDataSet) srcDataSet->Edit();
}

void TDataSource::NotifyState() {
  const TDataSetState state = srcEnabled && srcDataSet ? srcDataSet->State() : dsInactive;
  if (state == srcState) return;
  srcState = state;
  NotifyLinks(deUpdateState, 0);
  if (OnStateChange) OnStateChange(this);
}

void TDataSource::DataEvent(TDataEvent aEvent, std::intptr_t aInfo) {
  if (aEvent == deUpdateState) {
    NotifyState();
    return;
  }
  if (srcState == dsInactive) return;
  NotifyLinks(aEvent, aInfo);
  switch (aEvent) {
    case deFieldChange: case deRecordChange: case deDataSetChange: case deDataSetScroll: case deLayoutChange:
      if (OnDataChange)
        OnDataChange(this, aEvent == deFieldChange ? reinterpret_cast<TField*>(aInfo) : nullptr);
      break;
    case deUpdateRecord:
      if (OnUpdateData) OnUpdateData(this);
      break;
    default:
      break;
  }
}

void TDataSource::NotifyLinks(TDataEvent aEvent, std::intptr_t aInfo) {
  for (TDataLink* link : std::vector<TDataLink*>(srcLinks))
    if (std::find(srcLinks.begin(), srcLinks.end(), link) != srcLinks.end()) link->DataEvent(aEvent, aInfo);
}

void TDataSource::AddDataLink(TDataLink* aLink) {
  srcLinks.push_back(aLink);
  if (srcDataSet) srcDataSet->UpdateBufferCount();
}

void TDataSource::RemoveDataLink(TDataLink* aLink) {
  const auto it = std::find(srcLinks.begin(), srcLinks.end(), aLink);
  if (it != srcLinks.end()) srcLinks.erase(it);
  if (srcDataSet) srcDataSet->UpdateBufferCount();
}

// ---------------------------------------------------------------------------
// TDataLink

PL_CLASS_INFO_IMPL(TDataLink, TObject, "TDataLink", &factoryFor<TDataLink>)

TDataLink::TDataLink() = default;

TDataLink::~TDataLink() {
  if (dlDataSource) {
    const auto it = std::find(dlDataSource->srcLinks.begin(), dlDataSource->srcLinks.end(), this);
    if (it != dlDataSource->srcLinks.end()) dlDataSource->srcLinks.erase(it);
  }
}

void TDataLink::beforeDestruction() {
  dlActive = false;  // no ActiveChanged into a half-destroyed descendant
  SetDataSource(nullptr);
}

void TDataLink::SetDataSource(TDataSource* aSource) {
  if (aSource == dlDataSource) return;
  if (dlDataSource) dlDataSource->RemoveDataLink(this);
  dlDataSource = aSource;
  if (aSource) aSource->AddDataLink(this);
  UpdateState();
}

void TDataLink::UpdateState() {
  const TDataSetState state = dlDataSource ? dlDataSource->State() : dsInactive;
  SetActive(state != dsInactive);
  SetEditing((state == dsEdit || state == dsInsert || state == dsSetKey) && !dlReadOnly);
}

void TDataLink::SetActive(bool aValue) {
  if (dlActive == aValue) return;
  dlActive = aValue;
  if (aValue)
    UpdateRange();
  else
    dlFirstRecord = 0;
  ActiveChanged();
}

void TDataLink::SetEditing(bool aValue) {
  if (dlEditing == aValue) return;
  dlEditing = aValue;
  EditingChanged();
}

void TDataLink::SetReadOnly(bool aValue) {
  if (dlReadOnly == aValue) return;
  dlReadOnly = aValue;
  UpdateState();
}

void TDataLink::UpdateRange() {
  const TDataSet* ds = DataSet();
  if (!ds) return;
  const int active = ds->FActiveRecord;
  dlFirstRecord = std::clamp(dlFirstRecord, std::max(0, active - dlBufferCount + 1), std::max(0, active));
}

int TDataLink::RecordCount() const {
  const TDataSet* ds = DataSet();
  if (!dlActive || !ds) return 0;
  return std::clamp(ds->FRecordCount - dlFirstRecord, 0, dlBufferCount);
}

int TDataLink::ActiveRecord() const {
  const TDataSet* ds = DataSet();
  if (!dlActive || !ds || dlDataSource->State() == dsSetKey) return 0;
  return ds->FActiveRecord - dlFirstRecord;
}

void TDataLink::SetActiveRecord(int aValue) {
  TDataSet* ds = DataSet();
  if (!dlActive || !ds || dlDataSource->State() == dsSetKey) return;
  ds->FActiveRecord = aValue + dlFirstRecord;
}

void TDataLink::SetBufferCount(int aValue) {
  aValue = std::max(aValue, 1);
  if (aValue == dlBufferCount) return;
  dlBufferCount = aValue;
  if (TDataSet* ds = DataSet()) ds->UpdateBufferCount();
  if (dlActive) UpdateRange();
}

bool TDataLink::Edit() {
  if (!dlReadOnly && dlDataSource) dlDataSource->Edit();
  return dlEditing;
}

void TDataLink::UpdateRecord() {
  dlUpdating = true;
  try {
    UpdateData();
  } catch (...) {
    dlUpdating = false;
    throw;
  }
  dlUpdating = false;
}

void TDataLink::DataEvent(TDataEvent aEvent, std::intptr_t aInfo) {
  switch (aEvent) {
    case deUpdateState:
      UpdateState();
      break;
    case deFieldChange:
    case deRecordChange:
      if (!dlUpdating) RecordChanged(reinterpret_cast<TField*>(aInfo));
      break;
    case deDataSetChange:
    case deDataSetScroll:
    case deLayoutChange: {
      int count = 0;
      if (dlDataSource->State() != dsSetKey && DataSet()) {
        const int active = DataSet()->FActiveRecord;
        const int first = dlFirstRecord + (aEvent == deDataSetScroll ? static_cast<int>(aInfo) : 0);
        const int last = first + dlBufferCount - 1;
        if (active > last)
          count = active - last;
        else if (active < first)
          count = active - first;
        dlFirstRecord = std::max(0, first + count);
      }
      if (aEvent == deDataSetChange)
        DataSetChanged();
      else if (aEvent == deDataSetScroll)
        DataSetScrolled(count);
      else
        LayoutChanged();
      break;
    }
    case deUpdateRecord:
      UpdateRecord();
      break;
    case deCheckBrowseMode:
      CheckBrowseMode();
      break;
    case deFocusControl:
      FocusControl(reinterpret_cast<TField*>(aInfo));
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------------------

PL_CLASS_INFO_IMPL(TDetailDataLink, TDataLink, "TDetailDataLink", &factoryFor<TDetailDataLink>)

PL_CLASS_INFO_IMPL(TMasterDataLink, TDetailDataLink, "TMasterDataLink", &factoryFor<TMasterDataLink>)

TMasterDataLink::TMasterDataLink(TDataSet* aDataSet) : mlDataSet(aDataSet) {}

void TMasterDataLink::SetFieldNames(const UnicodeString& aValue) {
  if (mlFieldNames == aValue) return;
  mlFieldNames = aValue;
  if (Active()) ActiveChanged();
}

void TMasterDataLink::UpdateFields() {
  mlFields.clear();
  if (Active() && !mlFieldNames.empty()) mlFields = DataSet()->GetFieldList(mlFieldNames);
}

void TMasterDataLink::ActiveChanged() {
  UpdateFields();
  if (mlDataSet && mlDataSet->Active() && !mlDataSet->Destroying()) {
    if (Active() && !mlFields.empty()) {
      if (OnMasterChange) OnMasterChange(this);
    } else if (OnMasterDisable) {
      OnMasterDisable(this);
    }
  }
}

void TMasterDataLink::CheckBrowseMode() {
  if (mlDataSet && mlDataSet->Active()) mlDataSet->CheckBrowseMode();
}

void TMasterDataLink::LayoutChanged() { ActiveChanged(); }

void TMasterDataLink::RecordChanged(TField* aField) {
  if (DataSource()->State() == dsSetKey || !mlDataSet || !mlDataSet->Active() || mlFields.empty()) return;
  if (aField && std::find(mlFields.begin(), mlFields.end(), aField) == mlFields.end()) return;
  if (OnMasterChange) OnMasterChange(this);
}

}  // namespace platform
