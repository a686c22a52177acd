#include "plVectorDataSet.h"

#include <algorithm>
#include <cstring>

#include "nxllStreams.h"
#include "plCodePage.h"
#include "plDataLink.h"

namespace pltest {

struct TVectorDataSet::Buffer {
  Record record;
  std::vector<std::uint8_t> calc;
  std::int32_t row = -1;
  TBookmarkFlag flag = bfCurrent;
};

namespace {

int nativeSize(TFieldType aType, int aSize) {
  switch (aType) {
    case ftString: case ftFixedChar: case ftGuid: return aSize + 1;
    case ftWideString: case ftFixedWideChar: return (aSize + 1) * 2;
    case ftShortint: case ftByte: return 1;
    case ftSmallint: case ftWord: case ftBoolean: return 2;
    case ftInteger: case ftLongWord: case ftAutoInc: case ftDate: case ftTime: case ftSingle: return 4;
    case ftLargeint: case ftFloat: case ftCurrency: case ftDateTime: return 8;
    case ftExtended: return 10;
    case ftBCD: case ftFMTBcd: return static_cast<int>(sizeof(FmtBcd));
    case ftBytes: return aSize;
    case ftVarBytes: return aSize + 2;
    default: return 0;  // BLOBs and variants live beside the bytes
  }
}

// A BLOB value of one record buffer.
class TVectorBlobStream : public TStream {
 public:
  TVectorBlobStream(TDataSet* aDataSet, TBlobField* aField, std::vector<std::uint8_t>* aData, TBlobStreamMode aMode)
      : bsDataSet(aDataSet), bsField(aField), bsData(aData), bsMode(aMode) {
    if (aMode == bmWrite && bsData) {
      bsData->clear();
      bsModified = true;
    }
  }
  ~TVectorBlobStream() override {
    if (bsModified && bsField) {
      bsField->SetModified(true);
      bsDataSet->DataEvent(deFieldChange, reinterpret_cast<std::intptr_t>(bsField));
    }
  }
  std::int32_t Read(void* aBuffer, std::int32_t aCount) override {
    if (!bsData || aCount <= 0 || bsPosition >= static_cast<std::int64_t>(bsData->size())) return 0;
    const auto n = static_cast<std::int32_t>(
        std::min<std::int64_t>(aCount, static_cast<std::int64_t>(bsData->size()) - bsPosition));
    std::memcpy(aBuffer, bsData->data() + bsPosition, static_cast<std::size_t>(n));
    bsPosition += n;
    return n;
  }
  std::int32_t Write(const void* aBuffer, std::int32_t aCount) override {
    if (!bsData || bsMode == bmRead || aCount <= 0) return 0;
    const auto end = static_cast<std::size_t>(bsPosition) + static_cast<std::size_t>(aCount);
    if (bsData->size() < end) bsData->resize(end);
    std::memcpy(bsData->data() + bsPosition, aBuffer, static_cast<std::size_t>(aCount));
    bsPosition += aCount;
    bsModified = true;
    return aCount;
  }
  std::int64_t Seek(std::int64_t aOffset, TSeekOrigin aOrigin) override {
    const std::int64_t size = bsData ? static_cast<std::int64_t>(bsData->size()) : 0;
    switch (aOrigin) {
      case soBeginning: bsPosition = aOffset; break;
      case soCurrent: bsPosition += aOffset; break;
      case soEnd: bsPosition = size + aOffset; break;
    }
    bsPosition = std::max<std::int64_t>(bsPosition, 0);
    return bsPosition;
  }

 private:
  TDataSet* bsDataSet;
  TBlobField* bsField;
  std::vector<std::uint8_t>* bsData;
  TBlobStreamMode bsMode;
  std::int64_t bsPosition = 0;
  bool bsModified = false;
};

}  // namespace

PL_CLASS_INFO_IMPL(TVectorDataSet, TDataSet, "TVectorDataSet", &factoryFor<TVectorDataSet>)

TVectorDataSet::TVectorDataSet(TComponent* aOwner) : TDataSet(aOwner) {}

TVectorDataSet::~TVectorDataSet() = default;

void TVectorDataSet::EnsureLayout() {
  if (!vdColumns.empty() && static_cast<int>(vdColumns.size()) == FieldDefs().Count()) return;
  vdColumns.clear();
  int offset = 0;
  for (int i = 0; i < FieldDefs().Count(); ++i) {
    const TFieldDef& def = FieldDefs().Items(i);
    const int size = nativeSize(def.DataType(), def.Size());
    vdColumns.push_back(Column{def.DataType(), offset, size});
    offset += 1 + size;
  }
}

TVectorDataSet::Record TVectorDataSet::BlankRecord() const {
  Record r;
  int total = 0;
  for (const Column& c : vdColumns) total += 1 + c.size;
  r.data.assign(static_cast<std::size_t>(total), 0);
  r.blobs.resize(vdColumns.size());
  r.variants.resize(vdColumns.size());
  return r;
}

void TVectorDataSet::EncodeValue(const Column& aColumn, const Variant& aValue, Record& aRecord, int aIndex) {
  const auto i = static_cast<std::size_t>(aIndex);
  std::uint8_t* flag = aRecord.data.data() + aColumn.offset;
  std::uint8_t* p = flag + 1;
  if (aColumn.size > 0) std::memset(p, 0, static_cast<std::size_t>(aColumn.size));
  aRecord.blobs[i].clear();
  aRecord.variants[i] = Variant();
  if (aValue.isNullOrEmpty()) {
    *flag = 0;
    return;
  }
  *flag = 1;
  auto put = [p](const auto& v) { std::memcpy(p, &v, sizeof v); };
  switch (aColumn.type) {
    case ftString: case ftFixedChar: case ftGuid: {
      const std::string s = encodeText(aValue.toString(), ansiCodePage());
      std::memcpy(p, s.data(), std::min<std::size_t>(s.size(), static_cast<std::size_t>(aColumn.size - 1)));
      break;
    }
    case ftWideString: case ftFixedWideChar: {
      const UnicodeString s = aValue.toString();
      std::memcpy(p, s.data(), std::min<std::size_t>(s.size() * 2, static_cast<std::size_t>(aColumn.size - 2)));
      break;
    }
    case ftShortint: put(aValue.toInt8()); break;
    case ftByte: put(aValue.toUInt8()); break;
    case ftSmallint: put(aValue.toInt16()); break;
    case ftWord: put(aValue.toUInt16()); break;
    case ftBoolean: put(static_cast<std::uint16_t>(aValue.toBoolean() ? 0xFFFF : 0)); break;
    case ftInteger: put(aValue.toInt32()); break;
    case ftLongWord: case ftAutoInc: put(aValue.toUInt32()); break;
    case ftLargeint: put(aValue.toInt64()); break;
    case ftFloat: case ftCurrency: put(aValue.toDouble()); break;
    case ftDate: put(dateTimeToTimeStamp(aValue.toDateTime()).date); break;
    case ftTime: put(dateTimeToTimeStamp(aValue.toDateTime()).time); break;
    case ftDateTime: {
      const TimeStamp ts = dateTimeToTimeStamp(aValue.toDateTime());
      put(static_cast<double>(ts.date) * kMSecsPerDay + ts.time);
      break;
    }
    case ftBCD: case ftFMTBcd: put(aValue.toFmtBcd()); break;
    case ftVariant: aRecord.variants[i] = aValue; break;
    default:
      if (isBlobType(aColumn.type)) {
        if (aValue.isByteArray()) {
          const auto b = aValue.bytes();
          aRecord.blobs[i].assign(b.begin(), b.end());
        } else {
          const std::string s = encodeText(aValue.toString(), ansiCodePage());
          aRecord.blobs[i].assign(s.begin(), s.end());
        }
        *flag = aRecord.blobs[i].empty() ? 0 : 1;
      }
      break;
  }
}

void TVectorDataSet::AddRow(const std::vector<Variant>& aValues) {
  EnsureLayout();
  Record r = BlankRecord();
  for (std::size_t i = 0; i < vdColumns.size() && i < aValues.size(); ++i)
    EncodeValue(vdColumns[i], aValues[i], r, static_cast<int>(i));
  vdRows.push_back(std::move(r));
}

void TVectorDataSet::SetRowValue(int aRow, int aColumn, const Variant& aValue) {
  EnsureLayout();
  EncodeValue(vdColumns.at(static_cast<std::size_t>(aColumn)), aValue, vdRows.at(static_cast<std::size_t>(aRow)),
              aColumn);
}

void TVectorDataSet::DeleteRow(int aRow) { vdRows.erase(vdRows.begin() + aRow); }

std::vector<std::uint8_t> TVectorDataSet::RawValue(int aRow, int aColumn) const {
  const Record& r = vdRows.at(static_cast<std::size_t>(aRow));
  const Column& c = vdColumns.at(static_cast<std::size_t>(aColumn));
  if (isBlobType(c.type)) return r.blobs[static_cast<std::size_t>(aColumn)];
  if (r.data[static_cast<std::size_t>(c.offset)] == 0) return {};
  const auto* p = r.data.data() + c.offset + 1;
  return std::vector<std::uint8_t>(p, p + c.size);
}

bool TVectorDataSet::RowIsNull(int aRow, int aColumn) const {
  const Record& r = vdRows.at(static_cast<std::size_t>(aRow));
  return r.data[static_cast<std::size_t>(vdColumns.at(static_cast<std::size_t>(aColumn)).offset)] == 0;
}

Variant TVectorDataSet::BufferValue(int aIndex, TField* aField) {
  const int save = FActiveRecord;
  FActiveRecord = aIndex;
  Variant v;
  try {
    v = aField->Value();
  } catch (...) {
    FActiveRecord = save;
    throw;
  }
  FActiveRecord = save;
  return v;
}

std::vector<int> TVectorDataSet::BufferRows() {
  std::vector<int> rows;
  for (int i = 0; i < FRecordCount; ++i) rows.push_back(buf(FBuffers[static_cast<std::size_t>(i)])->row);
  return rows;
}

// ---------------------------------------------------------------------------

TRecordBuffer TVectorDataSet::AllocRecordBuffer() {
  auto* b = new Buffer;
  b->record = BlankRecord();
  b->calc.assign(static_cast<std::size_t>(CalcFieldsSize()), 0);
  return reinterpret_cast<TRecordBuffer>(b);
}

void TVectorDataSet::FreeRecordBuffer(TRecordBuffer& aBuffer) {
  delete buf(aBuffer);
  aBuffer = nullptr;
}

void TVectorDataSet::InternalOpen() {
  EnsureLayout();
  if (DefaultFields()) CreateFields();
  BindFields(true);
  SetBookmarkSize(4);
  vdCursor = -1;
  vdOpen = true;
}

void TVectorDataSet::InternalClose() {
  BindFields(false);
  if (DefaultFields()) DestroyFields();
  vdOpen = false;
}

bool TVectorDataSet::Accepts(int aRow) {
  if (!(Filtered() || vdFindAll) || !OnFilterRecord()) return true;
  const TDataSetState save = SetTempState(dsFilter);
  vdFilterRecord = &vdRows[static_cast<std::size_t>(aRow)];
  bool accept = true;
  try {
    OnFilterRecord()(this, accept);
  } catch (...) {
    vdFilterRecord = nullptr;
    RestoreState(save);
    throw;
  }
  vdFilterRecord = nullptr;
  RestoreState(save);
  return accept;
}

TGetResult TVectorDataSet::GetRecord(TRecordBuffer aBuffer, TGetMode aGetMode, bool) {
  const int n = RowCount();
  for (;;) {
    switch (aGetMode) {
      case gmNext:
        if (vdCursor >= n - 1) {
          vdCursor = n;
          return grEOF;
        }
        ++vdCursor;
        break;
      case gmPrior:
        if (vdCursor <= 0) {
          vdCursor = -1;
          return grBOF;
        }
        --vdCursor;
        break;
      case gmCurrent:
        if (vdCursor < 0 || vdCursor >= n) return grError;
        break;
    }
    if (Accepts(vdCursor)) break;
    if (aGetMode == gmCurrent) return grError;
  }
  Buffer* b = buf(aBuffer);
  b->record = vdRows[static_cast<std::size_t>(vdCursor)];
  b->row = vdCursor;
  b->flag = bfCurrent;
  GetCalcFields(aBuffer);
  return grOK;
}

void TVectorDataSet::InternalSetToRecord(TRecordBuffer aBuffer) { vdCursor = buf(aBuffer)->row; }

void TVectorDataSet::InternalInitRecord(TRecordBuffer aBuffer) {
  buf(aBuffer)->record = BlankRecord();
  buf(aBuffer)->row = -1;
}

void TVectorDataSet::InternalPost() {
  TDataSet::InternalPost();
  if (OnInternalPost) OnInternalPost();
  Buffer* b = buf(ActiveBuffer());
  if (State() == dsEdit) {
    vdRows.at(static_cast<std::size_t>(vdCursor)) = b->record;
    return;
  }
  if (b->flag == bfEOF) {
    vdRows.push_back(b->record);
    vdCursor = RowCount() - 1;
  } else {
    const int at = std::clamp(vdCursor, 0, RowCount());
    vdRows.insert(vdRows.begin() + at, b->record);
    vdCursor = at;
  }
}

void TVectorDataSet::InternalDelete() {
  if (vdCursor >= 0 && vdCursor < RowCount()) vdRows.erase(vdRows.begin() + vdCursor);
}

void TVectorDataSet::InternalGotoBookmark(const TBookmark& aBookmark) {
  if (aBookmark.size() != 4) DatabaseError(dbmsg::SInvalidBookmark);
  std::int32_t row;
  std::memcpy(&row, aBookmark.data(), 4);
  vdCursor = row;
}

TBookmarkFlag TVectorDataSet::GetBookmarkFlag(TRecordBuffer aBuffer) { return buf(aBuffer)->flag; }
void TVectorDataSet::SetBookmarkFlag(TRecordBuffer aBuffer, TBookmarkFlag aFlag) { buf(aBuffer)->flag = aFlag; }
void TVectorDataSet::GetBookmarkData(TRecordBuffer aBuffer, void* aData) {
  std::memcpy(aData, &buf(aBuffer)->row, 4);
}
void TVectorDataSet::SetBookmarkData(TRecordBuffer aBuffer, const void* aData) {
  std::memcpy(&buf(aBuffer)->row, aData, 4);
}
void TVectorDataSet::ClearCalcFields(TRecordBuffer aBuffer) {
  auto& calc = buf(aBuffer)->calc;
  calc.assign(static_cast<std::size_t>(CalcFieldsSize()), 0);
}

bool TVectorDataSet::BookmarkValid(const TBookmark& aBookmark) {
  if (!Active() || aBookmark.size() != 4) return false;
  std::int32_t row;
  std::memcpy(&row, aBookmark.data(), 4);
  return row >= 0 && row < RowCount();
}

int TVectorDataSet::CompareBookmarks(const TBookmark& aBookmark1, const TBookmark& aBookmark2) {
  if (aBookmark1.empty() || aBookmark2.empty()) return aBookmark1.empty() == aBookmark2.empty() ? 0 : (aBookmark1.empty() ? 1 : -1);
  std::int32_t a, b;
  std::memcpy(&a, aBookmark1.data(), 4);
  std::memcpy(&b, aBookmark2.data(), 4);
  return (a > b) - (a < b);
}

// ---------------------------------------------------------------------------
// Field access

TVectorDataSet::Record* TVectorDataSet::ActiveRec() {
  switch (State()) {
    case dsBrowse: case dsEdit: case dsInsert: case dsBlockRead:
      return ActiveBuffer() ? &buf(ActiveBuffer())->record : nullptr;
    case dsCalcFields:
      return CalcBuffer() ? &buf(CalcBuffer())->record : nullptr;
    case dsFilter:
      return vdFilterRecord;
    default:
      return nullptr;
  }
}

std::uint8_t* TVectorDataSet::CalcArea() {
  TRecordBuffer b = State() == dsCalcFields ? CalcBuffer() : ActiveBuffer();
  if (!b || State() == dsFilter) return nullptr;
  return buf(b)->calc.data();
}

bool TVectorDataSet::GetFieldData(TField* aField, void* aBuffer) {
  if (aField->FieldNo() <= 0) {
    std::uint8_t* calc = CalcArea();
    if (!calc || calc[aField->Offset()] == 0) return false;
    if (aBuffer) std::memcpy(aBuffer, calc + aField->Offset() + 1, static_cast<std::size_t>(aField->DataSize()));
    return true;
  }
  Record* r = ActiveRec();
  if (!r) return false;
  const auto i = static_cast<std::size_t>(aField->FieldNo() - 1);
  const Column& c = vdColumns.at(i);
  if (r->data[static_cast<std::size_t>(c.offset)] == 0) return false;
  if (aBuffer) {
    if (c.type == ftVariant)
      *static_cast<Variant*>(aBuffer) = r->variants[i];
    else if (c.size > 0)
      std::memcpy(aBuffer, r->data.data() + c.offset + 1, static_cast<std::size_t>(c.size));
  }
  return true;
}

void TVectorDataSet::SetFieldData(TField* aField, const void* aBuffer) {
  const TDataSetState state = State();
  if (state != dsEdit && state != dsInsert && state != dsSetKey && state != dsCalcFields && state != dsFilter &&
      state != dsNewValue)
    DatabaseError(dbmsg::SNotEditing);
  if (aField->FieldNo() <= 0) {
    std::uint8_t* calc = CalcArea();
    if (!calc) DatabaseError(dbmsg::SNotEditing);
    calc[aField->Offset()] = aBuffer ? 1 : 0;
    if (aBuffer) std::memcpy(calc + aField->Offset() + 1, aBuffer, static_cast<std::size_t>(aField->DataSize()));
  } else {
    if (aField->ReadOnly() && state != dsSetKey && state != dsFilter)
      DatabaseErrorFmt(dbmsg::SFieldReadOnly, {aField->DisplayName()});
    Record* r = ActiveRec();
    if (!r) DatabaseError(dbmsg::SNotEditing);
    aField->Validate(aBuffer);
    const auto i = static_cast<std::size_t>(aField->FieldNo() - 1);
    const Column& c = vdColumns.at(i);
    std::uint8_t* flag = r->data.data() + c.offset;
    *flag = aBuffer ? 1 : 0;
    if (c.type == ftVariant) {
      r->variants[i] = aBuffer ? *static_cast<const Variant*>(aBuffer) : Variant();
    } else if (c.size > 0) {
      if (aBuffer)
        std::memcpy(flag + 1, aBuffer, static_cast<std::size_t>(c.size));
      else
        std::memset(flag + 1, 0, static_cast<std::size_t>(c.size));
    } else if (!aBuffer) {
      r->blobs[i].clear();
    }
  }
  if (state != dsCalcFields && state != dsFilter && state != dsNewValue)
    DataEvent(deFieldChange, reinterpret_cast<std::intptr_t>(aField));
}

TStream* TVectorDataSet::CreateBlobStream(TField* aField, TBlobStreamMode aMode) {
  TBlobField* field = objectAs<TBlobField>(aField);
  if (!field || aField->FieldNo() <= 0) DatabaseErrorFmt(dbmsg::SBlobNotAvailable, {aField->DisplayName()});
  if (aMode != bmRead && State() != dsEdit && State() != dsInsert) DatabaseError(dbmsg::SNotEditing);
  Record* r = ActiveRec();
  const auto i = static_cast<std::size_t>(aField->FieldNo() - 1);
  if (r && aMode != bmRead) r->data[static_cast<std::size_t>(vdColumns[i].offset)] = 1;
  return platform::create<TVectorBlobStream>(this, field, r ? &r->blobs[i] : nullptr, aMode);
}

int TVectorDataSet::RecordCount() {
  CheckActive();
  int n = 0;
  for (int row = 0; row < RowCount(); ++row)
    if (Accepts(row)) ++n;
  return n;
}

// ---------------------------------------------------------------------------
// Filters and searches

void TVectorDataSet::SetFiltered(bool aValue) {
  const bool changed = aValue != Filtered();
  TDataSet::SetFiltered(aValue);
  if (Active() && changed) First();
}

void TVectorDataSet::SetOnFilterRecord(TFilterRecordEvent aValue) {
  TDataSet::SetOnFilterRecord(aValue);
  if (Active() && Filtered()) First();
}

bool TVectorDataSet::FindRecord(bool aRestart, bool aGoForward) {
  CheckBrowseMode();
  DoBeforeScroll();
  SetFound(false);
  UpdateCursorPos();
  CursorPosChanged();
  if (aRestart) vdCursor = aGoForward ? -1 : RowCount();
  vdFindAll = true;
  bool found;
  try {
    found = GetRecord(TempBuffer(), aGoForward ? gmNext : gmPrior, false) == grOK;
  } catch (...) {
    vdFindAll = false;
    throw;
  }
  vdFindAll = false;
  if (found) {
    Resync({rmExact, rmCenter});
    SetFound(true);
  }
  DoAfterScroll();
  return found;
}

int TVectorDataSet::FindRow(const std::vector<TField*>& aFields, const Variant& aValues, TLocateOptions aOptions) {
  const TDataSetState save = SetTempState(dsFilter);
  int result = -1;
  try {
    for (int row = 0; row < RowCount() && result < 0; ++row) {
      if (!Accepts(row)) continue;
      vdFilterRecord = &vdRows[static_cast<std::size_t>(row)];
      bool match = true;
      for (std::size_t k = 0; k < aFields.size() && match; ++k) {
        const Variant want = aValues.isArray() ? aValues.arrayGet(aValues.arrayLowBound() + static_cast<int>(k)) : aValues;
        const Variant have = aFields[k]->Value();
        if (want.isNullOrEmpty() || have.isNull()) {
          match = want.isNullOrEmpty() && have.isNull();
        } else if (want.isString() || have.isString()) {
          UnicodeString a = have.toString(), b = want.toString();
          if (aOptions.contains(loCaseInsensitive)) {
            for (auto* s : {&a, &b})
              for (char16_t& ch : *s)
                if (ch >= u'a' && ch <= u'z') ch = static_cast<char16_t>(ch - 32);
          }
          match = (aOptions.contains(loPartialKey) && k + 1 == aFields.size()) ? a.starts_with(b) : a == b;
        } else {
          match = varCompareValue(have, want) == VarRelationship::Equal;
        }
      }
      if (match) result = row;
    }
  } catch (...) {
    vdFilterRecord = nullptr;
    RestoreState(save);
    throw;
  }
  vdFilterRecord = nullptr;
  RestoreState(save);
  return result;
}

bool TVectorDataSet::Locate(UnicodeStringView aKeyFields, const Variant& aKeyValues, TLocateOptions aOptions) {
  CheckBrowseMode();
  const int row = FindRow(GetFieldList(aKeyFields), aKeyValues, aOptions);
  if (row < 0) return false;
  DoBeforeScroll();
  vdCursor = row;
  Resync({rmExact, rmCenter});
  DoAfterScroll();
  return true;
}

Variant TVectorDataSet::Lookup(UnicodeStringView aKeyFields, const Variant& aKeyValues,
                               UnicodeStringView aResultFields) {
  CheckBrowseMode();
  const int row = FindRow(GetFieldList(aKeyFields), aKeyValues, {});
  if (row < 0) return Variant::null();
  const std::vector<TField*> results = GetFieldList(aResultFields);
  const TDataSetState save = SetTempState(dsFilter);
  vdFilterRecord = &vdRows[static_cast<std::size_t>(row)];
  Variant v;
  try {
    if (results.size() == 1) {
      v = results[0]->Value();
    } else {
      v = Variant::createArray(0, static_cast<int>(results.size()) - 1, varVariant);
      for (std::size_t k = 0; k < results.size(); ++k) v.arrayPut(static_cast<int>(k), results[k]->Value());
    }
  } catch (...) {
    vdFilterRecord = nullptr;
    RestoreState(save);
    throw;
  }
  vdFilterRecord = nullptr;
  RestoreState(save);
  return v;
}

}  // namespace pltest
