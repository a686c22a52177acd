#include <algorithm>
#include <cstring>

#include "nxdbInt.h"
#include "nxsdDefaultValueEngine.h"
#include "nxsdValidationEngine.h"

PL_CLASS_INFO_IMPL(TnxDataset, platform::TDataSet, "TnxDataset", nullptr)

using namespace platform;

namespace {

constexpr double kEngineVersion = 4.7501;
constexpr char16_t kEngineBuildDescription[] = u"DazavAV in-process engine";

// Without the leading and trailing characters up to code 32.
nxString trimmedControl(const nxString& aValue) {
  std::size_t b = 0, e = aValue.size();
  while (b < e && aValue[b] <= u' ') ++b;
  while (e > b && aValue[e - 1] <= u' ') --e;
  return aValue.substr(b, e - b);
}

}  // namespace

// ---------------------------------------------------------------------------
// Life

TnxDataset::TnxDataset(TComponent* aOwner) : TDataSet(aOwner) {}

TnxDataset::~TnxDataset() = default;

void TnxDataset::afterConstruction() {
  dsCursor = create<TnxCursor>(this);
  TDataSet::afterConstruction();
  if (!Loading()) dsInitSessionAndDatabase();
}

void TnxDataset::beforeDestruction() {
  TDataSet::beforeDestruction();
  if (dsSession) dsSession->RemoveFreeNotification(this);
  TObject::free(std::exchange(dsCursor, nullptr));
  dsFreeMappers();
  nxReleaseSpecialFieldsInfo(dsSFI);
}

void TnxDataset::Loaded() {
  TDataSet::Loaded();
  dsInitSessionAndDatabase();
  const bool stored = Designing() ? dsActiveDesigntime : dsActiveRuntime;
  if (!stored) return;
  try {
    SetActive(true);
  } catch (...) {
    if (!Designing()) throw;
    InternalHandleException();
  }
}

void TnxDataset::SetName(const UnicodeString& aName) {
  TDataSet::SetName(aName);
  if (dsCursor) dsCursor->SetName(aName.empty() ? UnicodeString() : aName + u"_Cursor");
}

void TnxDataset::InternalHandleException() {}

// ---------------------------------------------------------------------------
// Errors

void TnxDataset::dsCheck(TnxResult aResult) const {
  if (aResult != 0) dsRaise(aResult);
}

void TnxDataset::dsRaise(TnxResult aResult) const { throw EnxDatabaseError(this, aResult); }

void TnxDataset::dsRaiseMessage(const nxString& aMessage) const { throw EnxDatabaseError(this, aMessage); }

void TnxDataset::dsRaiseCodeMessage(TnxResult aResult, const nxString& aMessage) const {
  throw EnxDatabaseError(this, aResult, aMessage);
}

// ---------------------------------------------------------------------------
// Active state

void TnxDataset::dsCopyActiveToStored() {
  if (Designing())
    dsActiveDesigntime = Active();
  else
    dsActiveRuntime = Active();
}

void TnxDataset::SetActiveRuntime(bool aValue) {
  dsActiveRuntime = aValue;
  if (!Loading() && !Designing()) SetActive(aValue);
}

void TnxDataset::SetActiveDesigntime(bool aValue) {
  dsActiveDesigntime = aValue;
  if (Designing() && !Loading()) SetActive(aValue);
}

void TnxDataset::SetActive(bool aValue) {
  if (!aValue && Active()) {
    dsDeactivating = true;
    try {
      if (State() == dsEdit || State() == dsInsert) Cancel();
      TDataSet::SetActive(false);
    } catch (...) {
      dsDeactivating = false;
      dsCopyActiveToStored();
      throw;
    }
    dsDeactivating = false;
  } else if (aValue && !Active()) {
    try {
      TDataSet::SetActive(true);
    } catch (...) {
      // The framework closes only its own part of a failed open.
      dsAbandonOpen();
      dsCopyActiveToStored();
      throw;
    }
  } else {
    TDataSet::SetActive(aValue);
  }
  dsCopyActiveToStored();
}

void TnxDataset::dsAbandonOpen() {
  if (dsAbstractCursor) nxdb_int::ignoringErrors([this] { dsCloseEngineCursor(); });
  nxdb_int::ignoringErrors([this] { dsFreeMappers(); });
  nxdb_int::ignoringErrors([this] { dsClearDictionary(); });
  if (dsCursor && dsCursor->Active()) {
    dsInternalState.include(disClosing);
    nxdb_int::ignoringErrors([this] { dsCursor->Close(); });
    dsInternalState.exclude(disClosing);
  }
}

// ---------------------------------------------------------------------------
// Session, database, alias

TnxDatabase* TnxDataset::dsGetDatabase() const { return dsCursor ? dsCursor->Database() : nullptr; }

TnxBaseSession* TnxDataset::Session() {
  TnxDatabase* db = dsGetDatabase();
  if (db && db->Session() && db->Session() != dsSession) {
    if (dsSession) dsSession->RemoveFreeNotification(this);
    dsSession = db->Session();
    dsSession->FreeNotification(this);
  }
  return dsSession;
}

void TnxDataset::SetSession(TnxBaseSession* aValue) {
  if (aValue == dsSession) return;
  TnxDatabase* db = dsGetDatabase();
  if (aValue && db && db->Session() == aValue) {
    if (dsSession) dsSession->RemoveFreeNotification(this);
    dsSession = aValue;
    dsSession->FreeNotification(this);
    return;
  }
  CheckInactive();
  if (dsSession) dsSession->RemoveFreeNotification(this);
  dsSession = aValue;
  if (dsSession) dsSession->FreeNotification(this);
  if (!(db && db->Session() == aValue)) {
    TnxDatabase* next = dsAliasName.empty() && aValue ? aValue->DefaultDatabase() : nullptr;
    dsCursor->SetDatabase(next);
    // An alias stays to be resolved through the new session.
    if (next) dsAliasName = next->Implicit() ? next->AliasName() : nxString();
  }
  DataEvent(dePropertyChange, 0);
}

void TnxDataset::dsResolveAliasDatabase() {
  if (dsAliasName.empty() || !dsSession) return;
  TnxDatabase* db = dsGetDatabase();
  if (db && sameTextAscii(db->AliasName(), dsAliasName)) return;
  dsCursor->SetDatabase(dsSession->bsFindOrCreateDatabase(dsAliasName, true));
}

TnxDatabase* TnxDataset::Database() {
  dsResolveAliasDatabase();
  return dsGetDatabase();
}

void TnxDataset::SetDatabase(TnxDatabase* aValue) {
  if (aValue == dsGetDatabase()) return;
  CheckInactive();
  if (aValue) {
    if (aValue->Session() != dsSession) {
      if (dsSession) dsSession->RemoveFreeNotification(this);
      dsSession = aValue->Session();
      if (dsSession) dsSession->FreeNotification(this);
    }
    dsAliasName = aValue->Implicit() ? aValue->AliasName() : nxString();
  } else {
    dsAliasName.clear();
  }
  dsCursor->SetDatabase(aValue);
  DataEvent(dePropertyChange, 0);
}

void TnxDataset::SetAliasName(const nxString& aValue) {
  const nxString alias = trimmedControl(aValue);
  if (alias == dsAliasName) return;
  CheckInactive();
  if (!alias.empty()) SetDatabase(nullptr);
  dsAliasName = alias;
  DataEvent(dePropertyChange, 0);
}

void TnxDataset::dsInitSessionAndDatabase() {
  if (!dsSession) {
    TnxBaseSession* session = TnxBaseSession::DefaultSession();
    if (session) {
      dsSession = session;
      dsSession->FreeNotification(this);
    }
  }
  if (dsAliasName.empty() && dsSession && !dsGetDatabase() && dsSession->DefaultDatabase())
    SetDatabase(dsSession->DefaultDatabase());
}

void TnxDataset::Notification(TComponent* aComponent, TOperation aOperation) {
  TDataSet::Notification(aComponent, aOperation);
  if (aOperation != opRemove || !aComponent || aComponent != dsSession) return;
  try {
    Close();
  } catch (...) {
    if (!Designing()) throw;
    InternalHandleException();
  }
  dsSession = nullptr;
  if (dsCursor) dsCursor->SetDatabase(nullptr);
}

// ---------------------------------------------------------------------------
// Time-outs

void TnxDataset::SetTimeout(std::int32_t aValue) {
  dsTimeout = aValue;
  dsApplyTimeout();
}

std::int32_t TnxDataset::dsEffectiveTimeout() {
  if (dsTimeout >= 0) return dsTimeout;
  if (TnxDatabase* db = dsGetDatabase()) return db->soEffectiveTimeout();
  if (dsSession) return dsSession->bsEffectiveTimeout();
  return nxDefaultClientTimeout;
}

void TnxDataset::dsApplyTimeout() {
  if (Active() && dsAbstractCursor) dsAbstractCursor->SetTimeout(static_cast<TnxWord32>(dsEffectiveTimeout()));
}

// ---------------------------------------------------------------------------
// Options

void TnxDataset::SetOptions(TnxDataSetOptions aValue) {
  if (aValue == dsOptions) return;
  if (aValue.contains(dsoOptimisticLocks) != dsOptions.contains(dsoOptimisticLocks) &&
      (State() == dsEdit || State() == dsInsert || State() == dsSetKey))
    dsRaiseMessage(u"DataSet in editing mode");
  if (aValue.contains(dsoAddKeyAsVariantField) != dsOptions.contains(dsoAddKeyAsVariantField)) CheckInactive();
  const bool preCacheChanged = aValue.contains(dsoPreCacheMarkedBlobs) != dsOptions.contains(dsoPreCacheMarkedBlobs);
  dsOptions = aValue;
  if (preCacheChanged && dsAbstractCursor) {
    if (dsOptions.contains(dsoPreCacheMarkedBlobs))
      dsAbstractCursor->AddCursorOption(acoPreCacheMarkedBlobs);
    else
      dsAbstractCursor->RemoveCursorOption(acoPreCacheMarkedBlobs);
  }
}

bool TnxDataset::AddDataSetOption(TnxDataSetOption aOption) { return AddDataSetOptions({aOption}); }

bool TnxDataset::RemoveDataSetOption(TnxDataSetOption aOption) { return RemoveDataSetOptions({aOption}); }

bool TnxDataset::AddDataSetOptions(TnxDataSetOptions aOptions) {
  TnxDataSetOptions next = dsOptions;
  for (std::size_t i = 0; i < next.Bytes.size(); ++i) next.Bytes[i] |= aOptions.Bytes[i];
  if (next == dsOptions) return false;
  SetOptions(next);
  return true;
}

bool TnxDataset::RemoveDataSetOptions(TnxDataSetOptions aOptions) {
  TnxDataSetOptions next = dsOptions;
  for (std::size_t i = 0; i < next.Bytes.size(); ++i) next.Bytes[i] &= static_cast<std::uint8_t>(~aOptions.Bytes[i]);
  if (next == dsOptions) return false;
  SetOptions(next);
  return true;
}

bool TnxDataset::AddBlockReadOptions(TnxRecordGetBatchExOptions aOptions) {
  const TnxRecordGetBatchExOptions old = dsBlockReadOptions;
  dsBlockReadOptions.Bits = static_cast<std::uint8_t>(dsBlockReadOptions.Bits | aOptions.Bits);
  return !(old == dsBlockReadOptions);
}

bool TnxDataset::RemoveBlockReadOptions(TnxRecordGetBatchExOptions aOptions) {
  const TnxRecordGetBatchExOptions old = dsBlockReadOptions;
  dsBlockReadOptions.Bits = static_cast<std::uint8_t>(dsBlockReadOptions.Bits & ~aOptions.Bits);
  return !(old == dsBlockReadOptions);
}

bool TnxDataset::HasAnyBlockReadOptions(TnxRecordGetBatchExOptions aOptions) const {
  return (dsBlockReadOptions.Bits & aOptions.Bits) != 0;
}

bool TnxDataset::HasAllBlockReadOptions(TnxRecordGetBatchExOptions aOptions) const {
  return (dsBlockReadOptions.Bits & aOptions.Bits) == aOptions.Bits;
}

bool TnxDataset::HasAnyDataSetOptions(TnxDataSetOptions aOptions) const {
  for (std::size_t i = 0; i < aOptions.Bytes.size(); ++i)
    if (dsOptions.Bytes[i] & aOptions.Bytes[i]) return true;
  return false;
}

bool TnxDataset::HasAllDataSetOptions(TnxDataSetOptions aOptions) const {
  for (std::size_t i = 0; i < aOptions.Bytes.size(); ++i)
    if ((dsOptions.Bytes[i] & aOptions.Bytes[i]) != aOptions.Bytes[i]) return false;
  return true;
}

nxString TnxDataset::Version() const {
  return format(u"%5.4f", {kEngineVersion}) + u" " + kEngineBuildDescription;
}

// ---------------------------------------------------------------------------
// Cursor component hooks

void TnxDataset::dsCursorCheckInactive() { CheckInactive(); }

void TnxDataset::dsCursorShutdown() {
  if (dsInternalState.contains(disClosing)) return;
  dsInternalState.include(disShutdownFromCursor);
  try {
    Close();
  } catch (...) {
    dsInternalState.exclude(disShutdownFromCursor);
    throw;
  }
  dsInternalState.exclude(disShutdownFromCursor);
}

// ---------------------------------------------------------------------------
// Opening and closing

void TnxDataset::OpenCursor(bool aInfoQuery) {
  dsCursor->Open();
  dsOpenEngineCursor();
  if (!dsAbstractCursor) {
    // A statement without result set: the dataset stays closed, silently.
    dsAbandonOpen();
    Abort();
  }
  // A fresh cursor stands at its beginning: under reduction the first
  // positioning is left out.
  if (!dsMessageReductionOff()) dsInternalState.include(disJustOpenedCursor);
  try {
    dsCreateMappers();
    TDataSet::OpenCursor(aInfoQuery);
  } catch (...) {
    nxdb_int::ignoringErrors([this] { dsCloseEngineCursor(); });
    nxdb_int::ignoringErrors([this] { dsFreeMappers(); });
    throw;
  }
}

void TnxDataset::dsReadDictionary() {
  ds_Dictionary = dsAbstractCursor->Get_Dictionary();
  dsTableDescriptor = dsAbstractCursor->GetTableDescriptor();
  dsFieldsDescriptor = dsTableDescriptor ? dsTableDescriptor->FieldsDescriptor() : nullptr;
  nxReleaseSpecialFieldsInfo(dsSFI);
  if (dsFieldsDescriptor) dsFieldsDescriptor->GetSpecialFieldsInfo(dsSFI);
  dsAbstractCursor->AddCursorOption(acoRecordGetFollowedByGetBookmark);
  if (dsOptions.contains(dsoPreCacheMarkedBlobs))
    dsAbstractCursor->AddCursorOption(acoPreCacheMarkedBlobs);
  else
    dsAbstractCursor->RemoveCursorOption(acoPreCacheMarkedBlobs);
}

void TnxDataset::dsClearDictionary() {
  ds_Dictionary = nullptr;
  dsTableDescriptor = nullptr;
  dsFieldsDescriptor = nullptr;
  nxReleaseSpecialFieldsInfo(dsSFI);
}

void TnxDataset::dsCloseEngineCursor() {
  dsClearDictionary();
  for (auto s : {disJustOpenedCursor, disFirstRecordGetNextPriorAfterOpen, disGetBookmarkAfterFirst, disInGetRecords,
                 disInMoveBy, disInFilterClientBlockRead, disDelayedBufferFillingOnOpen})
    dsInternalState.exclude(s);
  dsExprFilter = 0;
  dsFuncFilter = 0;
  TObject::free(std::exchange(dsAbstractCursor, nullptr));
  dsBeforeFilterChange();
}

void TnxDataset::dsCreateMappers() {
  dsFreeMappers();
  const std::int32_t n = dsFieldsDescriptor ? dsFieldsDescriptor->FieldCount() : 0;
  const auto size = static_cast<std::size_t>(n + 1);
  dsMapperVadurToVcl.assign(size, {});
  dsMapperVclToVadur.assign(size, {});
  dsMapperFieldOffset.assign(size, 0);
  dsMappers.assign(size, nullptr);
  for (std::int32_t i = 0; i < n; ++i) {
    TnxFieldDescriptor* fd = dsFieldsDescriptor->Fields(i);
    const auto at = static_cast<std::size_t>(i + 1);
    TnxBaseVclFieldMapper* mapper =
        TnxBaseVclFieldMapper::GetMapperForDescriptor(*fd, dsMapperVadurToVcl[at], dsMapperVclToVadur[at]);
    if (mapper) dsMapperList.push_back(mapper);
    dsMappers[at] = mapper;
    dsMapperFieldOffset[at] = fd->fdOffset;
  }
  if (dsFieldsDescriptor) {
    dsDefaultValueHandler = TnxDefaultValueHandler::CreateFor(dsFieldsDescriptor, aaClient, dsAbstractCursor);
    dsValidationsHandler = TnxValidationsHandler::CreateFor(dsFieldsDescriptor, aaClient, dsAbstractCursor);
  }
}

void TnxDataset::dsFreeMappers() {
  TObject::free(std::exchange(dsDefaultValueHandler, nullptr));
  TObject::free(std::exchange(dsValidationsHandler, nullptr));
  dsMapperVadurToVcl.clear();
  dsMapperVclToVadur.clear();
  dsMapperFieldOffset.clear();
  dsMappers.clear();
  for (TnxBaseVclFieldMapper* m : std::exchange(dsMapperList, {})) TObject::free(m);
}

void TnxDataset::dsCalcBookmarkSize() {
  std::int32_t size = -1;
  if (dsTableDescriptor && dsTableDescriptor->IndicesDescriptor()) {
    std::int32_t indexID = 0;
    dsCheck(dsAbstractCursor->GetIndexID(indexID));
    size = dsTableDescriptor->tdGetBookmarkSize(indexID);
  } else if (dsTableDescriptor) {
    size = dsTableDescriptor->tdGetBookmarkSize(0);
  }
  SetBookmarkSize(size);
}

void TnxDataset::InternalOpen() {
  if (dsFlipOrder)
    dsAbstractCursor->AddCursorOption(acoFlipOrder);
  else
    dsAbstractCursor->RemoveCursorOption(acoFlipOrder);
  dsRecordLength = dsFieldsDescriptor->RecordLength();
  dsCalcBookmarkSize();
  InternalInitFieldDefs();
  if (DefaultFields()) {
    CreateFields();
  } else {
    for (int i = 0; i < Fields().Count(); ++i) {
      TField* f = Fields().Fields(i);
      if (f->FieldKind() != fkData) continue;
      const TFieldDef* def = FieldDefs().Find(f->FieldName());
      if (!def) continue;
      if (auto* s = objectAs<TStringField>(f)) s->SetSize(def->Size());
      const auto no = static_cast<std::size_t>(def->FieldNo());
      if (no < dsMappers.size() && dsMappers[no]) dsMappers[no]->Bind(f);
    }
  }
  dsBindFields(true);
  dsInitRecordBuffers();
  dsAfterBuffersAllocated();
  if (dsMessageReductionOff() && dsFilterTimeout != 500) dsCheck(dsAbstractCursor->FilterSetTimeout(dsFilterTimeout));
  // Filters at open come with the filter layer.
  dsCheckMasterRange(true);
  if (BlockReadSize() > 0) dsInternalWriteOnly = true;
  InternalFirst();
  dsInternalState.exclude(disJustOpenedCursor);
}

void TnxDataset::InternalInitFieldDefs() {
  FieldDefs().Clear();
  FieldDefs().BeginUpdate();
  try {
    const std::int32_t n = dsFieldsDescriptor ? dsFieldsDescriptor->FieldCount() : 0;
    for (std::int32_t i = 0; i < n; ++i) dsAddFieldDef(*dsFieldsDescriptor->Fields(i), i + 1);
  } catch (...) {
    FieldDefs().EndUpdate();
    throw;
  }
  FieldDefs().EndUpdate();
}

void TnxDataset::dsAddFieldDef(TnxFieldDescriptor& aFieldDescriptor, std::int32_t aFieldNo) {
  TFieldType type = ftUnknown;
  std::uint16_t size = 0;
  TFieldAttributes attributes;
  TnxBaseVclFieldMapper::MapVadurDescriptorToVcl(aFieldDescriptor, type, size, attributes);
  if (type == ftUnknown) return;
  TFieldDef& def = FieldDefs().Add(aFieldDescriptor.fdName, type, size, aFieldDescriptor.fdRequired, aFieldNo);
  def.SetDisplayName(aFieldDescriptor.fdName);
  def.SetAttributes(attributes);
  if (aFieldDescriptor.fdRequired) def.SetRequired(true);
  dsAdjustFieldDef(aFieldDescriptor, def);
}

void TnxDataset::dsAdjustFieldDef(TnxFieldDescriptor& aFieldDescriptor, TFieldDef& aFieldDef) {
  switch (aFieldDescriptor.fdType) {
    case nxtRecRev:
    case nxtRefNr:
      aFieldDef.SetInternalCalcField(true);
      break;
    case nxtInt64:
      if (objectAs<TnxNextLSNDefaultValueDescriptor>(aFieldDescriptor.fdDefaultValue))
        aFieldDef.SetInternalCalcField(true);
      break;
    default:
      break;
  }
  if (aFieldDef.DataType() == ftBCD || aFieldDef.DataType() == ftFMTBcd) {
    aFieldDef.SetPrecision(aFieldDescriptor.fdUnits);
    aFieldDef.SetSize(aFieldDescriptor.fdDecPl);
  }
}

const ClassInfo* TnxDataset::GetFieldClass(TFieldType aFieldType) {
  switch (aFieldType) {
    case ftBlob: return &TnxBlobField::staticClassInfo();
    case ftMemo: return &TnxMemoField::staticClassInfo();
    case ftWideMemo: return &TnxWideMemoField::staticClassInfo();
    case ftGraphic: return &TnxGraphicField::staticClassInfo();
    case ftLargeint: return &TnxLargeintField::staticClassInfo();
    default: return TDataSet::GetFieldClass(aFieldType);
  }
}

void TnxDataset::CreateFields() { TDataSet::CreateFields(); }

void TnxDataset::BindFields(bool aBinding) { TDataSet::BindFields(aBinding); }

void TnxDataset::CheckFieldCompatibility(TField* aField, const TFieldDef& aFieldDef) {
  TDataSet::CheckFieldCompatibility(aField, aFieldDef);
}

void TnxDataset::dsBindFields(bool aBinding) {
  BindFields(aBinding);
  dsBuildBlobFieldList(aBinding);
  dsBindFieldMappers(aBinding);
}

void TnxDataset::dsBindFieldMappers(bool aBinding) {
  if (!aBinding) return;
  for (int i = 0; i < Fields().Count(); ++i) {
    TField* f = Fields().Fields(i);
    const int no = f->FieldNo();
    if (no > 0 && static_cast<std::size_t>(no) < dsMappers.size() && dsMappers[static_cast<std::size_t>(no)])
      dsMappers[static_cast<std::size_t>(no)]->Bind(f);
  }
}

void TnxDataset::dsInitRecordBuffers() {
  dsOffsetBookmark = dsRecordLength;
  dsOffsetCalcFlds = dsOffsetBookmark + std::max(BookmarkSize(), 0);
  dsOffsetRecInfos = dsOffsetCalcFlds + CalcFieldsSize();
  dsRecordBufferSize = dsOffsetRecInfos + nxRecInfoSize;
  if (dsRecordBufferCount != 0) dsRaiseMessage(u"Record buffers are still in use");
  dsRecordBufferPool = nxGetPool(static_cast<std::size_t>(dsRecordBufferSize));
}

void TnxDataset::CloseCursor() {
  const int blockReadSize = BlockReadSize();
  TDataSet::CloseCursor();
  dsCloseEngineCursor();
  dsFreeMappers();
  if (!dsInternalState.contains(disShutdownFromCursor)) {
    dsInternalState.include(disClosing);
    try {
      dsCursor->Close();
    } catch (...) {
      dsInternalState.exclude(disClosing);
      throw;
    }
    dsInternalState.exclude(disClosing);
  }
  // The framework forgets the size at close; the dataset keeps it.
  if (blockReadSize > 0) TDataSet::SetBlockReadSize(blockReadSize);
}

void TnxDataset::InternalClose() {
  dsBindFields(false);
  if (DefaultFields()) DestroyFields();
  dsAfterInternalClose();
}

void TnxDataset::DoAfterOpen() {
  dsInternalWriteOnly = dsWriteOnly;
  dsEndOperation(true);
  TDataSet::DoAfterOpen();
}

// ---------------------------------------------------------------------------
// Record buffers

TRecordBuffer TnxDataset::AllocRecordBuffer() {
  auto* buffer = static_cast<TRecordBuffer>(dsRecordBufferPool.Alloc());
  std::memset(buffer, 0, static_cast<std::size_t>(dsRecordBufferSize));
  ++dsRecordBufferCount;
  return buffer;
}

void TnxDataset::FreeRecordBuffer(TRecordBuffer& aBuffer) {
  if (!aBuffer) return;
  void* p = std::exchange(aBuffer, nullptr);
  dsRecordBufferPool.Dispose(p);
  --dsRecordBufferCount;
}

void TnxDataset::dsClearRecInfoWord(TRecordBuffer aBuffer) const {
  std::memset(aBuffer + dsOffsetRecInfos, 0, 4);
}

std::uint8_t& TnxDataset::dsRecInfoFlag(TRecordBuffer aBuffer) const { return aBuffer[dsOffsetRecInfos + 4]; }

void TnxDataset::ClearCalcFields(TRecordBuffer aBuffer) {
  if (aBuffer && CalcFieldsSize() > 0) std::memset(aBuffer + dsOffsetCalcFlds, 0, static_cast<std::size_t>(CalcFieldsSize()));
}

TBookmarkFlag TnxDataset::GetBookmarkFlag(TRecordBuffer aBuffer) {
  if (State() == dsBlockRead) return bfCurrent;
  return static_cast<TBookmarkFlag>(dsRecInfoFlag(aBuffer));
}

void TnxDataset::SetBookmarkFlag(TRecordBuffer aBuffer, TBookmarkFlag aValue) {
  if (!Active() && State() != dsOpening) return;
  if (State() == dsBlockRead) return;
  dsRecInfoFlag(aBuffer) = static_cast<std::uint8_t>(aValue);
}

// ---------------------------------------------------------------------------
// Field access

bool TnxDataset::dsGetActiveRecBuf(TRecordBuffer& aBuffer) {
  dsBlockReadCurrentError = 10756;
  aBuffer = nullptr;
  switch (State()) {
    case dsBrowse:
      if (!IsEmpty()) aBuffer = ActiveBuffer();
      break;
    case dsEdit:
    case dsInsert:
      aBuffer = ActiveBuffer();
      break;
    case dsSetKey:
      aBuffer = dsGetKeyRecBuf();
      break;
    case dsCalcFields:
    case TDataSetState::dsInternalCalc:
      aBuffer = CalcBuffer();
      break;
    case dsFilter:
      aBuffer = static_cast<TRecordBuffer>(dsRecordToFilter);
      break;
    case dsOldValue:
      aBuffer = dsOldValuesBuffer;
      break;
    case dsBlockRead:
      if (!IsEmpty()) aBuffer = ActiveBuffer();
      break;
    default:
      break;
  }
  return aBuffer != nullptr;
}

bool TnxDataset::GetFieldData(TField* aField, void* aBuffer) {
  TRecordBuffer record = nullptr;
  if (!dsGetActiveRecBuf(record)) return false;
  const int no = aField->FieldNo();
  if (no > 0) {
    if (dsFieldsDescriptor->IsRecordFieldNullFast(no - 1, record)) return false;
    if (aBuffer) {
      const TnxVclMapperMethod& toVcl = dsMapperVadurToVcl[static_cast<std::size_t>(no)];
      if (toVcl.Assigned()) toVcl(record + dsMapperFieldOffset[static_cast<std::size_t>(no)], aBuffer);
    }
    return true;
  }
  switch (State()) {
    case dsBrowse:
    case dsEdit:
    case dsInsert:
    case dsCalcFields:
    case dsBlockRead:
      break;
    default:
      return false;
  }
  const TRecordBuffer calc = record + dsOffsetCalcFlds + aField->Offset();
  const bool has = (calc[0] & 1) != 0;
  if (has && aBuffer) std::memcpy(aBuffer, calc + 1, static_cast<std::size_t>(aField->DataSize()));
  return has;
}

void TnxDataset::dsFreeOldValues() {
  if (dsOldValuesBuffer) FreeRecordBuffer(dsOldValuesBuffer);
}

void TnxDataset::DataEvent(TDataEvent aEvent, std::intptr_t aInfo) {
  if (aEvent == deUpdateState) {
    dsCopyActiveToStored();
    if (State() == dsEdit) {
      dsFreeOldValues();
      if (TRecordBuffer active = ActiveBuffer()) {
        dsOldValuesBuffer = AllocRecordBuffer();
        std::memcpy(dsOldValuesBuffer, active, static_cast<std::size_t>(dsRecordBufferSize));
      }
    } else {
      dsFreeOldValues();
    }
  }
  if (dsIgnoreDataEvents) return;
  TDataSet::DataEvent(aEvent, aInfo);
}
