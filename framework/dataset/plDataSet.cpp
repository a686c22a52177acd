#include "plDataSet.h"

#include <algorithm>
#include <cstring>

#include "plCodePage.h"
#include "plDataLink.h"

namespace platform {

PL_CLASS_INFO_IMPL(TDataSet, TComponent, "TDataSet", nullptr)

TDataSet::TDataSet(TComponent* aOwner) : TComponent(aOwner), dsFields(this), dsFieldDefs(this) {}

TDataSet::~TDataSet() = default;

void TDataSet::beforeDestruction() {
  SetDestroying();
  SetActive(false);
  while (!dsDataSources.empty()) dsDataSources.back()->SetDataSet(nullptr);
  dsFields.Clear();
  TComponent::beforeDestruction();
}

// ---------------------------------------------------------------------------
// Opening and closing

void TDataSet::SetActive(bool aValue) {
  if (aValue == Active()) return;
  if (aValue) {
    DoBeforeOpen();
    dsDefaultFields = FieldCount() == 0;
    SetState(dsOpening);
    try {
      OpenCursor(false);
      FBufferCount = LinkBufferCount();
      SetBufListSize(FBufferCount + 1);
      FRecordCount = 0;
      FActiveRecord = 0;
      FCurrentRecord = -1;
      FBOF = true;
      FEOF = false;
      GetNextRecords();
      FBOF = true;
      FEOF = FRecordCount == 0;
    } catch (...) {
      SetBufListSize(0);
      if (IsCursorOpen()) {
        try {
          InternalClose();
        } catch (...) {
        }
      }
      SetState(dsInactive);
      throw;
    }
    SetState(dsBlockReadSize > 0 ? dsBlockRead : dsBrowse);
    DoAfterOpen();
    if (!IsEmpty()) DoAfterScroll();
  } else {
    if (!Destroying()) DoBeforeClose();
    FreeFieldBuffers();
    SetState(dsInactive);
    CloseCursor();
    if (!Destroying()) DoAfterClose();
  }
}

void TDataSet::OpenCursor(bool aInfoQuery) {
  if (aInfoQuery)
    InternalInitFieldDefs();
  else
    InternalOpen();
}

void TDataSet::CloseCursor() {
  dsBlockReadSize = 0;
  ClearBuffers();
  SetBufListSize(0);
  FBufferCount = 0;
  InternalClose();
}

void TDataSet::SetBufListSize(int aValue) {
  const auto n = static_cast<std::size_t>(std::max(aValue, 0));
  while (FBuffers.size() > n) {
    TRecordBuffer b = FBuffers.back();
    FBuffers.pop_back();
    FreeRecordBuffer(b);
  }
  while (FBuffers.size() < n) {
    TRecordBuffer b = AllocRecordBuffer();
    FBuffers.push_back(b);
  }
}

int TDataSet::LinkBufferCount() const {
  int n = 1;
  for (const TDataSource* source : dsDataSources)
    for (const TDataLink* link : source->srcLinks) n = std::max(n, link->BufferCount());
  return n;
}

void TDataSet::UpdateBufferCount() {
  if (IsCursorOpen() && !FBuffers.empty()) SetBufferCount(LinkBufferCount());
}

void TDataSet::SetBufferCount(int aValue) {
  aValue = std::max(aValue, 1);
  if (aValue == FBufferCount) return;
  if (aValue < FBufferCount && FRecordCount > aValue) {
    // Keep the active record: drop records before it first, then after it.
    const int drop = std::max(0, FActiveRecord - (aValue - 1));
    std::rotate(FBuffers.begin(), FBuffers.begin() + drop, FBuffers.begin() + FRecordCount);
    FActiveRecord -= drop;
    FCurrentRecord = FCurrentRecord >= drop ? FCurrentRecord - drop : -1;
    FRecordCount = std::min(FRecordCount - drop, aValue);
    if (FCurrentRecord >= FRecordCount) FCurrentRecord = -1;
  }
  const bool growing = aValue > FBufferCount;
  SetBufListSize(aValue + 1);
  FBufferCount = aValue;
  if (growing && FRecordCount > 0 && dsState == dsBrowse) {
    GetNextRecords();
    GetPriorRecords();
  }
}

// ---------------------------------------------------------------------------
// State

void TDataSet::SetState(TDataSetState aValue) {
  if (dsState == aValue) return;
  dsState = aValue;
  dsModified = false;
  DataEvent(deUpdateState, 0);
}

TDataSetState TDataSet::SetTempState(TDataSetState aValue) {
  const TDataSetState old = dsState;
  dsSavedModified.push_back(dsModified);
  dsModified = false;
  dsState = aValue;
  ++dsTempStateCount;
  return old;
}

void TDataSet::RestoreState(TDataSetState aValue) {
  dsState = aValue;
  if (!dsSavedModified.empty()) {
    dsModified = dsSavedModified.back();
    dsSavedModified.pop_back();
  }
  if (dsTempStateCount > 0) --dsTempStateCount;
}

bool TDataSet::IsEmpty() const { return FRecordCount == 0; }

TRecordBuffer TDataSet::ActiveBuffer() const {
  if (FRecordCount == 0 || FBuffers.empty()) return nullptr;
  return FBuffers[static_cast<std::size_t>(FActiveRecord)];
}

TRecordBuffer TDataSet::TempBuffer() const {
  if (FBuffers.empty()) return nullptr;
  return FBuffers[static_cast<std::size_t>(FRecordCount)];
}

void TDataSet::CheckActive() const {
  if (dsState == dsInactive) DatabaseError(dbmsg::SDataSetClosed);
}

void TDataSet::CheckInactive() {
  if (!Active()) return;
  if ((ComponentState() & (csUpdating | csDesigning)) != 0)
    Close();
  else
    DatabaseError(dbmsg::SDataSetOpen);
}

void TDataSet::CheckBiDirectional() const {
  if (dsUniDirectional) DatabaseError(dbmsg::SDataSetUnidirectional);
}

void TDataSet::CheckCanModify() const {
  if (!CanModify()) DatabaseError(dbmsg::SDataSetReadOnly);
}

// ---------------------------------------------------------------------------
// Buffer ring

void TDataSet::MoveBuffer(int aCurIndex, int aNewIndex) {
  if (aCurIndex == aNewIndex) return;
  const auto cur = FBuffers.begin() + aCurIndex;
  const auto dst = FBuffers.begin() + aNewIndex;
  if (aCurIndex < aNewIndex)
    std::rotate(cur, cur + 1, dst + 1);
  else
    std::rotate(dst, cur, cur + 1);
  // The cursor stays on the buffer it was on.
  if (FCurrentRecord == aCurIndex)
    FCurrentRecord = aNewIndex;
  else if (aCurIndex < aNewIndex && FCurrentRecord > aCurIndex && FCurrentRecord <= aNewIndex)
    --FCurrentRecord;
  else if (aCurIndex > aNewIndex && FCurrentRecord >= aNewIndex && FCurrentRecord < aCurIndex)
    ++FCurrentRecord;
  if (FCurrentRecord >= FRecordCount) FCurrentRecord = -1;
}

void TDataSet::ClearBuffers() {
  FRecordCount = 0;
  FActiveRecord = 0;
  FCurrentRecord = -1;
  FBOF = true;
  FEOF = true;
}

void TDataSet::ActivateBuffers() {
  FRecordCount = 1;
  FActiveRecord = 0;
  FCurrentRecord = 0;
  FBOF = false;
  FEOF = false;
}

void TDataSet::SetCurrentRecord(int aIndex) {
  if (FCurrentRecord == aIndex) return;
  TRecordBuffer buffer = FBuffers[static_cast<std::size_t>(aIndex)];
  switch (GetBookmarkFlag(buffer)) {
    case bfCurrent:
    case bfInserted:
      InternalSetToRecord(buffer);
      break;
    case bfBOF:
      InternalFirst();
      break;
    case bfEOF:
      InternalLast();
      break;
  }
  FCurrentRecord = aIndex;
}

void TDataSet::UpdateCursorPos() {
  if (FRecordCount > 0 && FCurrentRecord != FActiveRecord) SetCurrentRecord(FActiveRecord);
}

bool TDataSet::GetNextRecord() {
  TGetMode mode = gmNext;
  if (FRecordCount > 0) {
    SetCurrentRecord(FRecordCount - 1);
    if (dsState == dsInsert && FCurrentRecord == FActiveRecord && GetBookmarkFlag(ActiveBuffer()) == bfCurrent)
      mode = gmCurrent;
  }
  const bool ok = GetRecord(FBuffers[static_cast<std::size_t>(FRecordCount)], mode, true) == grOK;
  if (!ok) {
    CursorPosChanged();
    return false;
  }
  if (FRecordCount == 0) {
    ActivateBuffers();
  } else if (FRecordCount < FBufferCount) {
    ++FRecordCount;
  } else {
    MoveBuffer(0, FRecordCount);
    // The active record moved one buffer toward the start (or dropped out).
    if (FActiveRecord > 0) --FActiveRecord;
  }
  FCurrentRecord = FRecordCount - 1;
  return true;
}

bool TDataSet::GetPriorRecord() {
  if (FRecordCount > 0) SetCurrentRecord(0);
  const bool ok = GetRecord(FBuffers[static_cast<std::size_t>(FRecordCount)], gmPrior, true) == grOK;
  if (!ok) {
    CursorPosChanged();
    return false;
  }
  if (FRecordCount == 0) {
    ActivateBuffers();
  } else {
    MoveBuffer(FRecordCount, 0);
    if (FRecordCount < FBufferCount) {
      ++FRecordCount;
      ++FActiveRecord;
    } else if (FActiveRecord < FRecordCount - 1) {
      ++FActiveRecord;
    }
  }
  FCurrentRecord = 0;
  return true;
}

int TDataSet::GetNextRecords() {
  int n = 0;
  while (FRecordCount < FBufferCount && GetNextRecord()) ++n;
  return n;
}

int TDataSet::GetPriorRecords() {
  int n = 0;
  while (FRecordCount < FBufferCount && GetPriorRecord()) ++n;
  return n;
}

// ---------------------------------------------------------------------------
// Navigation

void TDataSet::First() {
  CheckBrowseMode();
  DoBeforeScroll();
  ClearBuffers();
  try {
    InternalFirst();
    if (GetNextRecord()) GetNextRecords();
  } catch (...) {
    FBOF = true;
    DataEvent(deDataSetChange, 0);
    throw;
  }
  FBOF = true;
  DataEvent(deDataSetChange, 0);
  DoAfterScroll();
}

void TDataSet::Last() {
  CheckBiDirectional();
  CheckBrowseMode();
  DoBeforeScroll();
  ClearBuffers();
  try {
    InternalLast();
    if (GetPriorRecord()) GetPriorRecords();
  } catch (...) {
    FEOF = true;
    DataEvent(deDataSetChange, 0);
    throw;
  }
  FEOF = true;
  DataEvent(deDataSetChange, 0);
  DoAfterScroll();
}

void TDataSet::Next() {
  if (dsState == dsBlockRead)
    BlockReadNext();
  else
    MoveBy(1);
}

void TDataSet::Prior() {
  CheckBiDirectional();
  MoveBy(-1);
}

void TDataSet::BlockReadNext() { MoveBy(1); }

int TDataSet::MoveBy(int aDistance) {
  CheckBrowseMode();
  int moved = 0;
  DoBeforeScroll();
  if ((aDistance > 0 && !FEOF) || (aDistance < 0 && !FBOF)) {
    FBOF = false;
    FEOF = false;
    // Net buffer positions the records moved (negative: toward the start).
    std::intptr_t shift = 0;
    try {
      while (aDistance > 0) {
        if (FActiveRecord < FRecordCount - 1) {
          ++FActiveRecord;
        } else {
          const bool full = FRecordCount == FBufferCount;
          if (!GetNextRecord()) {
            FEOF = true;
            break;
          }
          if (full) --shift;
          FActiveRecord = FRecordCount - 1;
        }
        --aDistance;
        ++moved;
      }
      while (aDistance < 0) {
        if (FActiveRecord > 0) {
          --FActiveRecord;
        } else {
          const bool full = FRecordCount == FBufferCount;
          if (!GetPriorRecord()) {
            FBOF = true;
            break;
          }
          if (full) ++shift;
          FActiveRecord = 0;
        }
        ++aDistance;
        --moved;
      }
    } catch (...) {
      DataEvent(deDataSetScroll, shift);
      throw;
    }
    DataEvent(deDataSetScroll, shift);
  }
  DoAfterScroll();
  return moved;
}

void TDataSet::Resync(TResyncMode aMode) {
  TRecordBuffer temp = FBuffers[static_cast<std::size_t>(FRecordCount)];
  if (aMode.contains(rmExact)) {
    CursorPosChanged();
    if (GetRecord(temp, gmCurrent, true) != grOK) DatabaseError(dbmsg::SRecordNotFound);
  } else if (GetRecord(temp, gmCurrent, false) != grOK && GetRecord(temp, gmNext, false) != grOK &&
             GetRecord(temp, gmPrior, false) != grOK) {
    ClearBuffers();
    DataEvent(deDataSetChange, 0);
    return;
  }
  int count = aMode.contains(rmCenter) ? (FBufferCount - 1) / 2 : FActiveRecord;
  MoveBuffer(FRecordCount, 0);
  ActivateBuffers();
  try {
    while (count > 0 && GetPriorRecord()) --count;
    GetNextRecords();
    GetPriorRecords();
  } catch (...) {
    DataEvent(deDataSetChange, 0);
    throw;
  }
  DataEvent(deDataSetChange, 0);
}

void TDataSet::Refresh() {
  CheckBrowseMode();
  DoBeforeRefresh();
  UpdateCursorPos();
  InternalRefresh();
  Resync({});
  DoAfterRefresh();
}

void TDataSet::CheckBrowseMode() {
  CheckActive();
  DataEvent(deCheckBrowseMode, 0);
  switch (dsState) {
    case dsEdit:
    case dsInsert:
      UpdateRecord();
      if (dsModified)
        Post();
      else
        Cancel();
      break;
    case dsSetKey:
      Post();
      break;
    default:
      break;
  }
}

int TDataSet::RecordCount() {
  CheckActive();
  return -1;
}

int TDataSet::RecNo() { return -1; }

void TDataSet::SetRecNo(int) {}

// ---------------------------------------------------------------------------
// Editing

void TDataSet::Edit() {
  if (dsState == dsEdit || dsState == dsInsert) return;
  if (FRecordCount == 0) {
    Insert();
    return;
  }
  CheckBrowseMode();
  CheckCanModify();
  DoBeforeEdit();
  CheckDataOperation(TDataOperation::Of<&TDataSet::InternalEdit>(this), OnEditError);
  GetCalcFields(ActiveBuffer());
  SetState(dsEdit);
  DataEvent(deRecordChange, 0);
  DoAfterEdit();
}

void TDataSet::BeginInsertAppend() {
  CheckBrowseMode();
  CheckCanModify();
  DoBeforeInsert();
  DoBeforeScroll();
}

void TDataSet::EndInsertAppend() {
  SetState(dsInsert);
  try {
    DoOnNewRecord();
  } catch (...) {
    UpdateCursorPos();
    FreeFieldBuffers();
    SetState(dsBrowse);
    Resync({});
    throw;
  }
  dsModified = false;
  DataEvent(deDataSetChange, 0);
  DoAfterInsert();
  DoAfterScroll();
}

void TDataSet::Insert() {
  BeginInsertAppend();
  const TBookmark current = GetBookmark();
  MoveBuffer(FRecordCount, FActiveRecord);
  TRecordBuffer buffer = FBuffers[static_cast<std::size_t>(FActiveRecord)];
  InitRecord(buffer);
  if (FRecordCount == 0)
    SetBookmarkFlag(buffer, bfBOF);
  else if (!current.empty())
    SetBookmarkData(buffer, current.data());
  if (FRecordCount < FBufferCount) ++FRecordCount;
  InternalInsert();
  EndInsertAppend();
}

void TDataSet::Append() {
  BeginInsertAppend();
  ClearBuffers();
  TRecordBuffer buffer = FBuffers[0];
  InitRecord(buffer);
  SetBookmarkFlag(buffer, bfEOF);
  FRecordCount = 1;
  FBOF = false;
  GetPriorRecords();
  InternalInsert();
  EndInsertAppend();
}

void TDataSet::InitRecord(TRecordBuffer aBuffer) {
  InternalInitRecord(aBuffer);
  ClearCalcFields(aBuffer);
  SetBookmarkFlag(aBuffer, bfInserted);
}

void TDataSet::AddRecord(const std::vector<Variant>& aValues, bool aAppend) {
  if (aAppend)
    Append();
  else
    Insert();
  try {
    const int n = std::min(static_cast<int>(aValues.size()), FieldCount());
    for (int i = 0; i < n; ++i)
      if (!aValues[static_cast<std::size_t>(i)].isEmpty()) dsFields.Fields(i)->SetValue(aValues[static_cast<std::size_t>(i)]);
    Post();
  } catch (...) {
    if (dsState == dsInsert) Cancel();
    throw;
  }
}

void TDataSet::InsertRecord(const std::vector<Variant>& aValues) { AddRecord(aValues, false); }
void TDataSet::AppendRecord(const std::vector<Variant>& aValues) { AddRecord(aValues, true); }

void TDataSet::Post() {
  UpdateRecord();
  if (dsState != dsEdit && dsState != dsInsert) return;
  DataEvent(deCheckBrowseMode, 0);
  DoBeforePost();
  CheckDataOperation(TDataOperation::Of<&TDataSet::InternalPost>(this), OnPostError);
  FreeFieldBuffers();
  SetState(dsBrowse);
  Resync({});
  DoAfterPost();
}

void TDataSet::InternalPost() { CheckRequiredFields(); }

void TDataSet::CheckRequiredFields() {
  for (int i = 0; i < dsFields.Count(); ++i) {
    TField* f = dsFields.Fields(i);
    if (f->Required() && !f->ReadOnly() && f->FieldKind() == fkData && f->IsNull()) {
      DataEvent(deFocusControl, reinterpret_cast<std::intptr_t>(f));
      DatabaseErrorFmt(dbmsg::SFieldRequired, {f->DisplayName()});
    }
  }
}

void TDataSet::InternalAddRecord(TRecordBuffer, bool) {}

void TDataSet::Cancel() {
  if (dsState != dsEdit && dsState != dsInsert) return;
  DataEvent(deCheckBrowseMode, 0);
  DoBeforeCancel();
  UpdateCursorPos();
  InternalCancel();
  FreeFieldBuffers();
  SetState(dsBrowse);
  Resync({});
  DoAfterCancel();
}

void TDataSet::Delete() {
  CheckActive();
  if (dsState == dsInsert || dsState == dsSetKey) {
    Cancel();
    return;
  }
  if (FRecordCount == 0) DatabaseError(dbmsg::SDataSetEmpty);
  DataEvent(deCheckBrowseMode, 0);
  DoBeforeDelete();
  DoBeforeScroll();
  CheckDataOperation(TDataOperation::Of<&TDataSet::InternalDelete>(this), OnDeleteError);
  FreeFieldBuffers();
  SetState(dsBrowse);
  Resync({});
  DoAfterDelete();
  DoAfterScroll();
}

void TDataSet::UpdateRecord() {
  if (dsState != dsEdit && dsState != dsInsert && dsState != dsSetKey) DatabaseError(dbmsg::SNotEditing);
  DataEvent(deUpdateRecord, 0);
}

void TDataSet::ClearFields() {
  if (dsState != dsEdit && dsState != dsInsert && dsState != dsSetKey) DatabaseError(dbmsg::SNotEditing);
  DataEvent(deCheckBrowseMode, 0);
  FreeFieldBuffers();
  InternalInitRecord(ActiveBuffer());
  if (dsState != dsSetKey) GetCalcFields(ActiveBuffer());
  DataEvent(deRecordChange, 0);
}

bool TDataSet::GetCurrentRecord(TRecordBuffer) { return false; }

void TDataSet::DoOnNewRecord() { Fire(OnNewRecord); }

// ---------------------------------------------------------------------------
// Bookmarks

TBookmark TDataSet::GetBookmark() {
  TBookmark b;
  if (dsState == dsInactive || FRecordCount == 0 || dsBookmarkSize <= 0) return b;
  if (GetBookmarkFlag(ActiveBuffer()) != bfCurrent) return b;
  b.resize(static_cast<std::size_t>(dsBookmarkSize));
  GetBookmarkData(ActiveBuffer(), b.data());
  return b;
}

void TDataSet::GotoBookmark(const TBookmark& aBookmark) {
  if (aBookmark.empty()) return;
  CheckBrowseMode();
  DoBeforeScroll();
  InternalGotoBookmark(aBookmark);
  Resync({rmExact, rmCenter});
  DoAfterScroll();
}

void TDataSet::InternalGotoBookmark(const TBookmark&) {}

UnicodeString TDataSet::GetBookmarkStr() {
  const TBookmark b = GetBookmark();
  return UnicodeString(b.begin(), b.end());
}

bool TDataSet::BookmarkValid(const TBookmark&) { return false; }

int TDataSet::CompareBookmarks(const TBookmark&, const TBookmark&) { return 0; }

// ---------------------------------------------------------------------------
// Searching and filtering

bool TDataSet::FindRecord(bool, bool) { return false; }

bool TDataSet::Locate(UnicodeStringView, const Variant&, TLocateOptions) { return false; }

Variant TDataSet::Lookup(UnicodeStringView, const Variant&, UnicodeStringView) { return Variant::null(); }

void TDataSet::SetFiltered(bool aValue) {
  if (Active()) {
    CheckBrowseMode();
    UpdateCursorPos();
  }
  dsFiltered = aValue;
}

void TDataSet::SetFilterText(const UnicodeString& aValue) {
  if (Active() && dsFiltered) CheckBrowseMode();
  dsFilterText = aValue;
}

void TDataSet::SetFilterOptions(TFilterOptions aValue) {
  if (Active() && dsFiltered) CheckBrowseMode();
  dsFilterOptions = aValue;
}

void TDataSet::SetOnFilterRecord(TFilterRecordEvent aValue) {
  if (Active() && dsFiltered) CheckBrowseMode();
  dsOnFilterRecord = aValue;
}

void TDataSet::SetBlockReadSize(int aValue) {
  aValue = std::max(aValue, 0);
  if (aValue == dsBlockReadSize) return;
  if (Active()) {
    if (aValue > 0) {
      CheckBrowseMode();
      SetState(dsBlockRead);
    } else if (dsState == dsBlockRead) {
      SetState(dsBrowse);
    }
  }
  dsBlockReadSize = aValue;
}

// ---------------------------------------------------------------------------
// Fields

std::vector<TField*> TDataSet::GetFieldList(UnicodeStringView aNames) const {
  std::vector<TField*> fields;
  for (const auto& name : splitFieldNames(aNames)) fields.push_back(dsFields.FieldByName(name));
  return fields;
}

bool TDataSet::GetFieldData(TField*, void*) { return false; }
void TDataSet::SetFieldData(TField*, const void*) {}
TStream* TDataSet::CreateBlobStream(TField*, TBlobStreamMode) { return nullptr; }
void TDataSet::CloseBlob(TField*) {}

void TDataSet::Translate(const char* aSource, char* aDest, bool) {
  if (aSource != aDest) std::strcpy(aDest, aSource);
}

const ClassInfo* TDataSet::GetFieldClass(TFieldType aFieldType) { return defaultFieldClass(aFieldType); }

void TDataSet::CreateFields() {
  for (int i = 0; i < dsFieldDefs.Count(); ++i) {
    const TFieldDef& def = dsFieldDefs.Items(i);
    if (def.DataType() != ftUnknown) def.CreateField(this, this);
  }
}

void TDataSet::DestroyFields() { dsFields.Clear(); }

void TDataSet::CheckFieldCompatibility(TField* aField, const TFieldDef& aFieldDef) {
  auto family = [](TFieldType t) {
    switch (t) {
      case ftFixedChar: return ftString;
      case ftFixedWideChar: return ftWideString;
      default: return t;
    }
  };
  if (family(aField->DataType()) != family(aFieldDef.DataType()))
    DatabaseErrorFmt(dbmsg::SFieldTypeMismatch,
                     {aField->DisplayName(), fieldTypeName(aFieldDef.DataType()), fieldTypeName(aField->DataType())});
}

void TDataSet::BindFields(bool aBinding) {
  dsCalcFieldsSize = 0;
  dsInternalCalc = false;
  for (int i = 0; i < dsFields.Count(); ++i) {
    TField* f = dsFields.Fields(i);
    if (!aBinding) {
      f->fFieldNo = 0;
      f->fOffset = 0;
      continue;
    }
    if (f->FieldKind() == fkCalculated || f->FieldKind() == fkLookup) {
      f->fFieldNo = -1;
      f->fOffset = dsCalcFieldsSize;
      dsCalcFieldsSize += f->DataSize() + 1;
      continue;
    }
    const TFieldDef* def = dsFieldDefs.Find(f->FieldName());
    if (!def) DatabaseErrorFmt(dbmsg::SFieldNotFound, {f->DisplayName()});
    CheckFieldCompatibility(f, *def);
    f->fFieldNo = def->FieldNo();
    if (f->FieldKind() == fkInternalCalc) dsInternalCalc = true;
  }
}

void TDataSet::GetCalcFields(TRecordBuffer aBuffer) {
  if (dsCalcFieldsSize == 0 && !dsInternalCalc && !OnCalcFields) return;
  if (!aBuffer) return;
  const TDataSetState save = SetTempState(dsCalcFields);
  TRecordBuffer saveBuffer = dsCalcBuffer;
  try {
    dsCalcBuffer = aBuffer;
    ClearCalcFields(aBuffer);
    CalculateFields(aBuffer);
  } catch (...) {
    dsCalcBuffer = saveBuffer;
    RestoreState(save);
    throw;
  }
  dsCalcBuffer = saveBuffer;
  RestoreState(save);
}

void TDataSet::CalculateFields(TRecordBuffer) { DoOnCalcFields(); }

void TDataSet::DoOnCalcFields() { Fire(OnCalcFields); }

void TDataSet::InternalHandleException() {}

// ---------------------------------------------------------------------------
// Data events

void TDataSet::DataEvent(TDataEvent aEvent, std::intptr_t aInfo) {
  if (aEvent == deFieldChange) {
    auto* field = reinterpret_cast<TField*>(aInfo);
    const bool writing = dsState == dsEdit || dsState == dsInsert;
    if (field && (writing || dsState == dsSetKey) &&
        (field->FieldKind() == fkData || field->FieldKind() == fkInternalCalc))
      dsModified = true;
    if (field && writing) {
      if (dsAutoCalcFields && field->FieldKind() == fkData) GetCalcFields(ActiveBuffer());
      field->Change();
    }
  }
  if (dsTempStateCount > 0) return;
  if (dsDisableCount > 0) {
    switch (aEvent) {
      case deLayoutChange:
        dsEnableEvent = deLayoutChange;
        dsEnableEventPending = true;
        break;
      case deFieldChange: case deRecordChange: case deDataSetChange: case deDataSetScroll:
        dsEnableEventPending = true;
        break;
      default:
        break;
    }
    // State changes reach the sources (they keep their own state) but the
    // links hear about them at EnableControls.
    return;
  }
  NotifyDataSources(aEvent, aInfo);
}

void TDataSet::NotifyDataSources(TDataEvent aEvent, std::intptr_t aInfo) {
  for (TDataSource* source : std::vector<TDataSource*>(dsDataSources))
    if (std::find(dsDataSources.begin(), dsDataSources.end(), source) != dsDataSources.end())
      source->DataEvent(aEvent, aInfo);
}

void TDataSet::DisableControls() {
  if (dsDisableCount == 0) {
    dsDisableState = dsState;
    dsEnableEventPending = false;
    dsEnableEvent = deDataSetChange;
  }
  ++dsDisableCount;
}

void TDataSet::EnableControls() {
  if (dsDisableCount == 0) return;
  if (--dsDisableCount > 0) return;
  if (dsDisableState != dsState) NotifyDataSources(deUpdateState, 0);
  if (dsState != dsInactive && dsEnableEventPending) NotifyDataSources(dsEnableEvent, 0);
  dsEnableEventPending = false;
}

void TDataSet::AddDataSource(TDataSource* aSource) {
  dsDataSources.push_back(aSource);
  UpdateBufferCount();
}

void TDataSet::RemoveDataSource(TDataSource* aSource) {
  const auto it = std::find(dsDataSources.begin(), dsDataSources.end(), aSource);
  if (it != dsDataSources.end()) dsDataSources.erase(it);
  UpdateBufferCount();
}

bool TDataSet::IsLinkedTo(const TDataSource* aDataSource) const {
  // Bounded: a circle already made elsewhere must not hang the check.
  for (int guard = 0; aDataSource && guard < 1000; ++guard) {
    const TDataSet* ds = aDataSource->DataSet();
    if (!ds) return false;
    if (ds == this) return true;
    aDataSource = ds->GetDataSource();
  }
  return false;
}

}  // namespace platform

namespace platform {

// ---------------------------------------------------------------------------
// Provider support

std::vector<std::unique_ptr<TIndexDef>> TDataSet::PSGetIndexDefs(TIndexOptions aTypes) {
  std::vector<std::unique_ptr<TIndexDef>> defs;
  TIndexDefs* own = GetIndexDefs();
  if (!own) return defs;
  UpdateIndexDefs();
  for (int i = 0; i < own->Count(); ++i) {
    const TIndexDef& def = own->Items(i);
    if (aTypes.empty() || (def.Options().bits() & aTypes.bits()) != 0) defs.push_back(std::make_unique<TIndexDef>(def));
  }
  return defs;
}

int TDataSet::PSExecuteStatement(UnicodeStringView, const TParams&) { return 0; }

int TDataSet::PSExecuteStatement(UnicodeStringView aSql, const TParams& aParams, TDataSet*& aResultSet) {
  aResultSet = nullptr;
  return PSExecuteStatement(aSql, aParams);
}

EUpdateError TDataSet::PSGetUpdateException(std::exception_ptr aError, const EUpdateError* aPrevious) {
  UnicodeString message;
  try {
    std::rethrow_exception(aError);
  } catch (const EUpdateError& e) {
    return e;
  } catch (const EDatabaseError& e) {
    message = e.Message();
  } catch (const std::exception& e) {
    message = decodeText(e.what(), CP_UTF8);
  } catch (...) {
  }
  return EUpdateError(message, UnicodeString(), 0, aPrevious ? aPrevious->ErrorCode() : 0, aError);
}

}  // namespace platform
