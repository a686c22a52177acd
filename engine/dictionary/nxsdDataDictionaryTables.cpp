#include "nxsdDataDictionaryInt.h"

#include <algorithm>
#include <charconv>
#include <string>

#include "nxllBde.h"
#include "nxllMemoryManager.h"
#include "plErrors.h"
#include "plString.h"

NX_IMPLEMENT_EXCEPTION(EnxTablesDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxBaseTableDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxNestedTableDescriptorException, EnxBaseTableDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxDataDictionaryException, EnxDictionaryItemException)

PL_CLASS_INFO_IMPL(TnxBaseTableDescriptor, TnxLocalizedDictionaryItem, "TnxBaseTableDescriptor", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxNestedTableDescriptor, TnxBaseTableDescriptor, "TnxNestedTableDescriptor", nullptr,
                         platform::bindClassTable(nxTableDescriptorFuncs<TnxNestedTableDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxTablesDescriptor, TnxDictionaryItem, "TnxTablesDescriptor", nullptr,
                         platform::bindClassTable(nxTablesDescriptorFuncs<TnxTablesDescriptor>))
PL_CLASS_INFO_IMPL(TnxDataDictionary, TnxBaseTableDescriptor, "TnxDataDictionary", nullptr)

namespace {

TnxClassList gTableDescriptorClasses = nullptr;
TnxClassList gTablesDescriptorClasses = nullptr;

constexpr char16_t kSignatureIdent[] = u"DazavAV";
const nxString kGuid = u"$GUID";
const nxString kCacheGuid = u"$CacheGUID";
const nxString kCacheCurrentID = u"$CacheCurrentID";
const nxString kCachingState = u"$CachingState";
const nxString kDefaultEngine = u"nx1xDefault";
const nxString kHigherVersionRequired = u"Higher dictionary version required";

using nxdd::bothOrEqual;
using nxdd::classNameText;
using nxdd::kMissingInformation;
using nxdd::readClass;
using nxdd::readCount;
using platform::sameTextAscii;

template <class T>
void freeAndNil(T*& aItem) noexcept {
  if (T* item = std::exchange(aItem, nullptr)) {
    try {
      platform::TObject::free(item);
    } catch (...) {
    }
  }
}

template <class E>
void readIdent(TnxReader& aReader, platform::UnicodeStringView aIdent) {
  if (aReader.ReadIdent() != aIdent) throw E(nxErrIncompatibleStream);
}

// A required Boolean, then the class name that must be exactly aPresent's.
template <class E>
void readFixedPart(TnxReader& aReader, const TnxDictionaryItem& aPresent) {
  if (!aReader.ReadBoolean()) throw E(nxErrIncompatibleStream);
  if (aReader.ReadString() != classNameText(aPresent.classInfo())) throw E(nxErrIncompatibleStream);
}

void writeOptional(TnxWriter& aWriter, platform::UnicodeStringView aIdent, TnxDictionaryItem* aItem,
                   std::int32_t aClientVersion) {
  aWriter.WriteIdent(aIdent);
  aWriter.WriteBoolean(aItem != nullptr);
  if (aItem) {
    aWriter.WriteString(classNameText(aItem->classInfo()));
    aItem->SaveToWriter(aWriter, aClientVersion);
  }
}

void writeFixed(TnxWriter& aWriter, platform::UnicodeStringView aIdent, TnxDictionaryItem* aItem,
                std::int32_t aClientVersion) {
  aWriter.WriteIdent(aIdent);
  aWriter.WriteBoolean(true);
  aWriter.WriteString(classNameText(aItem->classInfo()));
  aItem->SaveToWriter(aWriter, aClientVersion);
}

// Writers of a read-only dictionary may run on several threads: a custom
// string is only touched when its value changes, and MakeReadOnly stores the
// values first.
void setCustomValue(TnxDictionaryItem& aItem, const nxString& aName, const nxString& aValue) {
  if (!aItem.HasCustomStrings() && aValue.empty()) return;
  platform::TStringList& strings = aItem.CustomStrings();
  const int i = strings.indexOfName(aName);
  if (aValue.empty() ? i < 0 : (i >= 0 && strings.valueFromIndex(i) == aValue)) return;
  strings.setValue(aName, aValue);
}

void storeCachingStates(TnxBaseTableDescriptor& aTable) {
  setCustomValue(aTable, kCachingState, nxTableCachingStateNames[aTable.CachingState()]);
  TnxTablesDescriptor* tables = aTable.TablesDescriptor();
  for (std::int32_t i = 0; i < tables->TableCount(); ++i) storeCachingStates(*tables->Tables(i));
}

TnxBaseTableDescriptor* enclosingTable(const TnxDictionaryItem* aItem) {
  TnxPersistent* parent = nullptr;
  if (!aItem->FindParentOfType(TnxBaseTableDescriptor::staticClassInfo(), parent)) return nullptr;
  return static_cast<TnxBaseTableDescriptor*>(parent);
}

}  // namespace

// ===========================================================================
// TnxBaseTableDescriptor

bool TnxBaseTableDescriptor::CaseLess::operator()(const nxString& a, const nxString& b) const {
  return platform::compareTextAscii(a, b) < 0;
}

TnxBaseTableDescriptor::TnxBaseTableDescriptor(TnxPersistent* aParent) : TnxLocalizedDictionaryItem(aParent) {}

TnxBaseTableDescriptor::~TnxBaseTableDescriptor() { FreeParts(); }

// Parts are made here so that a dictionary at the root hands out their IDs.
void TnxBaseTableDescriptor::afterConstruction() {
  TnxLocalizedDictionaryItem::afterConstruction();
  tdFieldsDescriptor = platform::create<TnxFieldsDescriptor>(this);
  tdCustomDescsDescriptor = platform::create<TnxCustomDescsDescriptor>(this);
  tdTablesDescriptor = platform::create<TnxTablesDescriptor>(this);
}

void TnxBaseTableDescriptor::beforeDestruction() {
  FreeParts();
  TnxLocalizedDictionaryItem::beforeDestruction();
}

// Subscribers first: indices and storage parts listen to fields and files.
void TnxBaseTableDescriptor::FreeParts() noexcept {
  tdConstraints.reset();
  freeAndNil(tdCustomDescsDescriptor);
  freeAndNil(tdTablesDescriptor);
  freeAndNil(tdIndicesDescriptor);
  freeAndNil(tdInternalIndicesDescriptor);
  freeAndNil(tdAutoIncDescriptor);
  freeAndNil(tdBlobDescriptor);
  freeAndNil(tdRecordDescriptor);
  freeAndNil(tdFieldsDescriptor);
}

TnxClassList& TnxBaseTableDescriptor::GetList() { return gTableDescriptorClasses; }

void TnxBaseTableDescriptor::Raise(TnxResult aCode) { throw EnxBaseTableDescriptorException(aCode); }
void TnxBaseTableDescriptor::Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) {
  throw EnxBaseTableDescriptorException(aCode, aText, aArgs);
}

template <class T>
void TnxBaseTableDescriptor::FreePart(T*& aPart, bool aNotify) {
  if (!aPart) return;
  if constexpr (std::is_base_of_v<TnxBaseIndicesDescriptor, T>) aPart->Clear(aNotify);
  T* part = std::exchange(aPart, nullptr);
  platform::TObject::free(part);
}

TnxBaseRecordDescriptor* TnxBaseTableDescriptor::AddRecordDescriptor(const platform::ClassInfo* aRecordClass) {
  CheckReadOnly();
  FreePart(tdRecordDescriptor, true);
  tdRecordDescriptor = TnxBaseRecordDescriptor::CreateOfClass(
      aRecordClass ? *aRecordClass : TnxBaseRecordDescriptor::staticClassInfo(), this, "Record");
  return tdRecordDescriptor;
}

TnxBaseBlobDescriptor* TnxBaseTableDescriptor::AddBlobDescriptor(const platform::ClassInfo* aBlobClass) {
  CheckReadOnly();
  FreePart(tdBlobDescriptor, true);
  tdBlobDescriptor = TnxBaseBlobDescriptor::CreateOfClass(
      aBlobClass ? *aBlobClass : TnxHeapBlobDescriptor::staticClassInfo(), this, "Blob");
  return tdBlobDescriptor;
}

TnxMainIndicesDescriptor* TnxBaseTableDescriptor::AddIndicesDescriptor(const platform::ClassInfo* aIndicesClass) {
  CheckReadOnly();
  const platform::ClassInfo& cls = aIndicesClass ? *aIndicesClass : TnxMainIndicesDescriptor::staticClassInfo();
  if (!cls.inheritsFrom(TnxMainIndicesDescriptor::staticClassInfo()))
    Raise(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
          {nxString(u"IndicesDescriptor"), classNameText(cls)});
  FreePart(tdIndicesDescriptor, true);
  tdIndicesDescriptor =
      static_cast<TnxMainIndicesDescriptor*>(TnxBaseIndicesDescriptor::CreateOfClass(cls, this, "Indices"));
  return tdIndicesDescriptor;
}

TnxInternalIndicesDescriptor* TnxBaseTableDescriptor::AddInternalIndicesDescriptor(
    const platform::ClassInfo* aInternalIndicesClass) {
  CheckReadOnly();
  const platform::ClassInfo& cls =
      aInternalIndicesClass ? *aInternalIndicesClass : TnxInternalIndicesDescriptor::staticClassInfo();
  if (!cls.inheritsFrom(TnxInternalIndicesDescriptor::staticClassInfo()))
    Raise(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
          {nxString(u"InternalIndicesDescriptor"), classNameText(cls)});
  FreePart(tdInternalIndicesDescriptor, true);
  tdInternalIndicesDescriptor = static_cast<TnxInternalIndicesDescriptor*>(
      TnxBaseIndicesDescriptor::CreateOfClass(cls, this, "InternalIndices"));
  return tdInternalIndicesDescriptor;
}

TnxBaseAutoIncDescriptor* TnxBaseTableDescriptor::AddAutoIncDescriptor(const platform::ClassInfo* aAutoIncClass) {
  CheckReadOnly();
  FreePart(tdAutoIncDescriptor, true);
  tdAutoIncDescriptor = TnxBaseAutoIncDescriptor::CreateOfClass(
      aAutoIncClass ? *aAutoIncClass : TnxBaseAutoIncDescriptor::staticClassInfo(), this, "AutoInc");
  return tdAutoIncDescriptor;
}

void TnxBaseTableDescriptor::RemoveRecordDescriptor() {
  CheckReadOnly();
  FreePart(tdRecordDescriptor, true);
}
void TnxBaseTableDescriptor::RemoveBlobDescriptor() {
  CheckReadOnly();
  FreePart(tdBlobDescriptor, true);
}
void TnxBaseTableDescriptor::RemoveIndicesDescriptor() {
  CheckReadOnly();
  FreePart(tdIndicesDescriptor, true);
}
void TnxBaseTableDescriptor::RemoveInternalIndicesDescriptor() {
  CheckReadOnly();
  FreePart(tdInternalIndicesDescriptor, true);
}
void TnxBaseTableDescriptor::RemoveAutoIncDescriptor() {
  CheckReadOnly();
  FreePart(tdAutoIncDescriptor, true);
}

TnxMainIndicesDescriptor* TnxBaseTableDescriptor::EnsureIndicesDescriptor() {
  return tdIndicesDescriptor ? tdIndicesDescriptor : AddIndicesDescriptor();
}

TnxInternalIndicesDescriptor* TnxBaseTableDescriptor::EnsureInternalIndicesDescriptor() {
  return tdInternalIndicesDescriptor ? tdInternalIndicesDescriptor : AddInternalIndicesDescriptor();
}

std::int32_t TnxBaseTableDescriptor::GetFieldFromName(const nxString& aFieldName) const {
  return std::as_const(*tdFieldsDescriptor).GetFieldFromName(aFieldName);
}

std::int32_t TnxBaseTableDescriptor::GetIndexFromName(const nxString& aIndexName) const {
  return tdIndicesDescriptor ? tdIndicesDescriptor->GetIndexFromName(aIndexName) : -1;
}

std::uint32_t TnxBaseTableDescriptor::tdGetKeyLen(std::int32_t aInx) {
  if (!tdIndicesDescriptor || aInx < 0 || aInx >= tdIndicesDescriptor->IndexCount())
    Raise(nxErrInvalidDescNumber, u"Index out of bounds: %d", {aInx});
  return tdIndicesDescriptor->Indices(aInx)->KeyDescriptor()->KeyLen();
}

std::int32_t TnxBaseTableDescriptor::tdGetBookmarkSize(std::int32_t aInx) {
  if (!tdIndicesDescriptor) return nxBookmarkHeaderSize;
  return nxBookmarkHeaderSize + static_cast<std::int32_t>(tdGetKeyLen(aInx));
}

std::uint32_t TnxBaseTableDescriptor::MaxKeyLen() {
  if (CacheActive()) return tdMaxKeyLen;
  std::uint32_t result = 0;
  if (tdIndicesDescriptor)
    for (std::int32_t i = 0; i < tdIndicesDescriptor->IndexCount(); ++i)
      result = std::max(result, tdIndicesDescriptor->Indices(i)->KeyDescriptor()->KeyLen());
  return result;
}

TnxBaseTableDescriptor* TnxBaseTableDescriptor::GetChild(const nxString& aChildName) {
  if (aChildName.empty()) return this;
  const std::size_t colon = aChildName.find(u':');
  const nxString head = colon == nxString::npos ? aChildName : aChildName.substr(0, colon);
  const nxString rest = colon == nxString::npos ? nxString() : aChildName.substr(colon + 1);
  if (head == u".") return GetChild(rest);
  if (head == u"..") {
    TnxBaseTableDescriptor* outer = enclosingTable(this);
    if (!outer) Raise(nxErrNoSuchTable);
    return outer->GetChild(rest);
  }
  return tdTablesDescriptor->GetTableDescriptorFromName(head)->GetChild(rest);
}

TnxDictionaryItem* TnxBaseTableDescriptor::GetConstraintByName(const nxString& aName) const {
  if (!tdConstraints) return nullptr;
  auto it = tdConstraints->find(aName);
  return it == tdConstraints->end() ? nullptr : it->second;
}

void TnxBaseTableDescriptor::GetConstraints(platform::TStringList& aStrings) const {
  aStrings.clear();
  if (!tdConstraints) return;
  for (const auto& [name, item] : *tdConstraints) aStrings.addObject(name, item);
}

bool TnxBaseTableDescriptor::HasAnyRefNrField() {
  for (std::int32_t i = 0; i < tdFieldsDescriptor->FieldCount(); ++i)
    if (tdFieldsDescriptor->Fields(i)->fdType == nxtRefNr) return true;
  return tdTablesDescriptor->HasAnyRefNrField();
}

bool TnxBaseTableDescriptor::HasCachingSupport(TnxTableCachingState aState) {
  if (tdCachingState != tcsNone && (aState == tcsNone || aState == tdCachingState)) return true;
  return tdTablesDescriptor->HasCachingSupport(aState);
}

void TnxBaseTableDescriptor::RegisterConstraintName(TnxDictionaryItem* aItem, const nxString& aName) {
  if (!tdConstraints) tdConstraints = std::make_unique<std::map<nxString, TnxDictionaryItem*, CaseLess>>();
  if (!tdConstraints->emplace(aName, aItem).second)
    Raise(nxErrNameNotUnique, u"Constraint name already in use: \"%s\"", {aName});
}

void TnxBaseTableDescriptor::UnregisterConstraintName(TnxDictionaryItem* /*aItem*/, const nxString& aName) {
  if (!tdConstraints) return;
  tdConstraints->erase(aName);
  if (tdConstraints->empty()) tdConstraints.reset();
}

std::int32_t TnxBaseTableDescriptor::DictionaryUsableBlockSize(TnxBlockSize aBlockSize) {
  TnxDictionaryItem* dictionary = FindDataDictionary();
  if (!dictionary || dictionary == this) return TnxLocalizedDictionaryItem::DictionaryUsableBlockSize(aBlockSize);
  return dictionary->DictionaryUsableBlockSize(aBlockSize);
}

void TnxBaseTableDescriptor::ActivateCache() {
  if (!CacheActive()) tdMaxKeyLen = MaxKeyLen();
  TnxLocalizedDictionaryItem::ActivateCache();
}

void TnxBaseTableDescriptor::InternalClear(bool /*aBare*/, bool aNotify) {
  TnxLocalizedDictionaryItem::Clear(aNotify);
  tdCustomDescsDescriptor->Clear(aNotify);
  FreePart(tdIndicesDescriptor, aNotify);
  tdFieldsDescriptor->Clear(aNotify);
  FreePart(tdRecordDescriptor, aNotify);
  FreePart(tdBlobDescriptor, aNotify);
  RemoveLocaleDescriptor();
  FreePart(tdAutoIncDescriptor, aNotify);
  tdTablesDescriptor->Clear(aNotify);
  tdCachingState = tcsNone;
}

void TnxBaseTableDescriptor::Clear(bool aNotify) { InternalClear(false, aNotify); }

bool TnxBaseTableDescriptor::FindRelatedDescriptorOfType(const platform::ClassInfo& aType,
                                                         TnxDictionaryItem*& aDescriptor, TnxDictionaryItem* aFrom) {
  // A search from below stops at the nearest table level for these kinds,
  // found even when the part is absent.
  const auto answer = [&](TnxDictionaryItem* aPart) {
    aDescriptor = aPart && aPart->inheritsFrom(aType) ? aPart : nullptr;
    return true;
  };
  if (aType.inheritsFrom(TnxTablesDescriptor::staticClassInfo())) return answer(tdTablesDescriptor);
  if (aType.inheritsFrom(TnxCustomDescsDescriptor::staticClassInfo())) return answer(tdCustomDescsDescriptor);
  if (aType.inheritsFrom(TnxFieldsDescriptor::staticClassInfo())) return answer(tdFieldsDescriptor);
  if (aType.inheritsFrom(TnxMainIndicesDescriptor::staticClassInfo())) return answer(tdIndicesDescriptor);
  if (aType.inheritsFrom(TnxInternalIndicesDescriptor::staticClassInfo()))
    return answer(tdInternalIndicesDescriptor);
  if (aType.inheritsFrom(TnxBaseBlobDescriptor::staticClassInfo())) return answer(tdBlobDescriptor);
  if (aType.inheritsFrom(TnxBaseRecordDescriptor::staticClassInfo())) return answer(tdRecordDescriptor);
  if (aType.inheritsFrom(TnxBaseAutoIncDescriptor::staticClassInfo())) return answer(tdAutoIncDescriptor);
  return TnxLocalizedDictionaryItem::FindRelatedDescriptorOfType(aType, aDescriptor, aFrom);
}

void TnxBaseTableDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  setCustomValue(*this, kCachingState, nxTableCachingStateNames[tdCachingState]);
  TnxLocalizedDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  if (aClientVersion < nxOldDictionaryClientVersion) Raise(nxErrIncompatibleVersion);
  const bool internal = tdInternalIndicesDescriptor && tdInternalIndicesDescriptor->IndexCount() > 0;
  const bool withInternal = internal && aClientVersion >= nxInternalIndicesClientVersion;
  if (internal && !withInternal) nxsdSetStrippedInformation(true);
  aWriter.WriteInteger(std::int32_t{withInternal ? 2 : 1});
  aWriter.WriteIdent(u"LocaleDescriptor");
  SaveLocaleToWriter(aWriter, aClientVersion);
  writeOptional(aWriter, u"RecordDescriptor", tdRecordDescriptor, aClientVersion);
  writeOptional(aWriter, u"BlobDescriptor", tdBlobDescriptor, aClientVersion);
  writeFixed(aWriter, u"FieldsDescriptor", tdFieldsDescriptor, aClientVersion);
  writeOptional(aWriter, u"IndicesDescriptor", tdIndicesDescriptor, aClientVersion);
  if (withInternal) writeOptional(aWriter, u"InternalIndicesDescriptor", tdInternalIndicesDescriptor, aClientVersion);
  writeOptional(aWriter, u"AutoIncDescriptor", tdAutoIncDescriptor, aClientVersion);
  writeFixed(aWriter, u"CustomDescsDescriptor", tdCustomDescsDescriptor, aClientVersion);
  writeFixed(aWriter, u"TablesDescriptor", tdTablesDescriptor, aClientVersion);
}

void TnxBaseTableDescriptor::LoadFromReader(TnxReader& aReader) {
  using E = EnxBaseTableDescriptorException;
  TnxLocalizedDictionaryItem::LoadFromReader(aReader);
  const std::int32_t version = aReader.ReadInteger();
  if (version != 1 && version != 2) Raise(nxErrIncompatibleStream);
  readIdent<E>(aReader, u"LocaleDescriptor");
  RemoveLocaleDescriptor();
  LoadLocaleFromReader(aReader);

  readIdent<E>(aReader, u"RecordDescriptor");
  RemoveRecordDescriptor();
  if (aReader.ReadBoolean())
    AddRecordDescriptor(&readClass<E>(aReader, TnxBaseRecordDescriptor::GetList(), u"RecordDescriptor",
                                      TnxBaseRecordDescriptor::staticClassInfo()))
        ->LoadFromReader(aReader);

  readIdent<E>(aReader, u"BlobDescriptor");
  RemoveBlobDescriptor();
  if (aReader.ReadBoolean())
    AddBlobDescriptor(&readClass<E>(aReader, TnxBaseBlobDescriptor::GetList(), u"BlobDescriptor",
                                    TnxBaseBlobDescriptor::staticClassInfo()))
        ->LoadFromReader(aReader);

  readIdent<E>(aReader, u"FieldsDescriptor");
  readFixedPart<E>(aReader, *tdFieldsDescriptor);
  tdFieldsDescriptor->LoadFromReader(aReader);

  readIdent<E>(aReader, u"IndicesDescriptor");
  RemoveIndicesDescriptor();
  if (aReader.ReadBoolean())
    AddIndicesDescriptor(&readClass<E>(aReader, TnxBaseIndicesDescriptor::GetList(), u"IndicesDescriptor",
                                       TnxMainIndicesDescriptor::staticClassInfo()))
        ->LoadFromReader(aReader);

  if (version == 2) {
    readIdent<E>(aReader, u"InternalIndicesDescriptor");
    RemoveInternalIndicesDescriptor();
    if (aReader.ReadBoolean())
      AddInternalIndicesDescriptor(&readClass<E>(aReader, TnxBaseIndicesDescriptor::GetList(),
                                                 u"InternalIndicesDescriptor",
                                                 TnxInternalIndicesDescriptor::staticClassInfo()))
          ->LoadFromReader(aReader);
  }

  readIdent<E>(aReader, u"AutoIncDescriptor");
  RemoveAutoIncDescriptor();
  if (aReader.ReadBoolean())
    AddAutoIncDescriptor(&readClass<E>(aReader, TnxBaseAutoIncDescriptor::GetList(), u"AutoIncDescriptor",
                                       TnxBaseAutoIncDescriptor::staticClassInfo()))
        ->LoadFromReader(aReader);

  readIdent<E>(aReader, u"CustomDescsDescriptor");
  readFixedPart<E>(aReader, *tdCustomDescsDescriptor);
  tdCustomDescsDescriptor->LoadFromReader(aReader);

  readIdent<E>(aReader, u"TablesDescriptor");
  readFixedPart<E>(aReader, *tdTablesDescriptor);
  tdTablesDescriptor->LoadFromReader(aReader);

  tdCachingState = tcsNone;
  if (HasCustomStrings()) {
    const nxString state = CustomStrings().values(kCachingState);
    for (std::uint8_t s = tcsNone; s <= tcsIsCache; ++s)
      if (state == nxTableCachingStateNames[s]) tdCachingState = static_cast<TnxTableCachingState>(s);
  }
}

void TnxBaseTableDescriptor::CheckValid(bool aForBuild) {
  TnxLocalizedDictionaryItem::CheckValid(aForBuild);
  if (tdFieldsDescriptor->FieldCount() == 0)
    Raise(nxErrInvalidRecordStruct, u"FieldsDescriptor requires a minimum of one field", {});
  if (!tdRecordDescriptor) Raise(nxErrInvalidDesc, u"A record descriptor is required", {});
  tdFieldsDescriptor->CheckValid(aForBuild);
  tdRecordDescriptor->CheckValid(aForBuild);
  if (tdBlobDescriptor) tdBlobDescriptor->CheckValid(aForBuild);
  if (tdIndicesDescriptor) tdIndicesDescriptor->CheckValid(aForBuild);
  if (tdInternalIndicesDescriptor) tdInternalIndicesDescriptor->CheckValid(aForBuild);
  if (tdAutoIncDescriptor) tdAutoIncDescriptor->CheckValid(aForBuild);
  tdCustomDescsDescriptor->CheckValid(aForBuild);
  tdTablesDescriptor->CheckValid(aForBuild);
}

bool TnxBaseTableDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxLocalizedDictionaryItem::IsEqual(aItem)) return false;
  const auto* o = platform::objectAs<TnxBaseTableDescriptor>(aItem);
  return o && tdCachingState == o->tdCachingState && bothOrEqual(LocaleDescriptor(), o->LocaleDescriptor()) &&
         bothOrEqual(tdFieldsDescriptor, o->tdFieldsDescriptor) &&
         bothOrEqual(tdRecordDescriptor, o->tdRecordDescriptor) && bothOrEqual(tdBlobDescriptor, o->tdBlobDescriptor) &&
         bothOrEqual(tdAutoIncDescriptor, o->tdAutoIncDescriptor) &&
         bothOrEqual(tdIndicesDescriptor, o->tdIndicesDescriptor) &&
         bothOrEqual(tdInternalIndicesDescriptor, o->tdInternalIndicesDescriptor) &&
         bothOrEqual(tdCustomDescsDescriptor, o->tdCustomDescsDescriptor) &&
         bothOrEqual(tdTablesDescriptor, o->tdTablesDescriptor);
}

void TnxBaseTableDescriptor::AssignOnlyFields(TnxBaseTableDescriptor* aSource) {
  CheckReadOnly();
  InternalClear(false, false);
  if (TnxLocaleDescriptor* locale = aSource->LocaleDescriptor())
    AddLocaleDescriptor(&locale->classInfo())->Assign(locale);
  TnxFieldsDescriptor* source = aSource->FieldsDescriptor();
  for (std::int32_t i = 0; i < source->FieldCount(); ++i) {
    TnxFieldDescriptor* from = source->Fields(i);
    TnxFieldDescriptor* field = tdFieldsDescriptor->AddField(from->fdName, from->fdDesc, from->fdType, from->fdUnits,
                                                             from->fdDecPl, false, &from->classInfo());
    if (TnxLocaleDescriptor* locale = from->LocaleDescriptor())
      field->AddLocaleDescriptor(&locale->classInfo())->Assign(locale);
  }
  TnxTablesDescriptor* tables = aSource->TablesDescriptor();
  for (std::int32_t i = 0; i < tables->TableCount(); ++i) {
    TnxNestedTableDescriptor* from = tables->Tables(i);
    tdTablesDescriptor->AddTable(from->Name(), &from->classInfo())->AssignOnlyFields(from);
  }
  auto* record = static_cast<TnxHeapRecordDescriptor*>(AddRecordDescriptor(&TnxHeapRecordDescriptor::staticClassInfo()));
  record->SetRecordEngine(u"Variable");
  record->AddRecordCompressionDescriptor()->SetRecordCompressionEngine(u"Smart");
}

bool TnxBaseTableDescriptor::IsIndexDescValid(TnxIndexDescriptor* aIndexDesc) {
  if (!aIndexDesc->ConstraintName().empty() && GetConstraintByName(aIndexDesc->ConstraintName())) return false;
  return aIndexDesc->IsValidForTable(this);
}

bool TnxBaseTableDescriptor::IsFieldDescValid(TnxFieldDescriptor* aFieldDesc) {
  if (!aFieldDesc->ConstraintName().empty() && GetConstraintByName(aFieldDesc->ConstraintName())) return false;
  return aFieldDesc->IsValidForTable(this);
}

// ===========================================================================
// TnxNestedTableDescriptor

namespace {
const nxString& checkedTableName(const nxString& aName) {
  if (nxValidateIdentifier(aName, nxErrInvalidTableName, false, true) != 0)
    throw EnxNestedTableDescriptorException(nxErrInvalidTableName);
  return aName;
}
}  // namespace

TnxNestedTableDescriptor::TnxNestedTableDescriptor(TnxPersistent* aParent, const nxString& aName)
    : TnxBaseTableDescriptor(aParent), ntdName(checkedTableName(aName)) {}


nxString TnxNestedTableDescriptor::btdFullName() const {
  const TnxBaseTableDescriptor* outer = enclosingTable(this);
  if (!outer) return ntdName;
  return outer->btdFullName() + u":" + ntdName;
}

bool TnxNestedTableDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = platform::objectAs<TnxNestedTableDescriptor>(aItem);
  return other && sameTextAscii(ntdName, other->ntdName) && TnxBaseTableDescriptor::IsEqual(aItem);
}

// ===========================================================================
// TnxTablesDescriptor

TnxTablesDescriptor::~TnxTablesDescriptor() { FreeTables(); }

void TnxTablesDescriptor::beforeDestruction() {
  FreeTables();
  TnxDictionaryItem::beforeDestruction();
}

void TnxTablesDescriptor::FreeTables() noexcept {
  while (!TableDescriptor.empty()) {
    TnxNestedTableDescriptor* table = TableDescriptor.back();
    TableDescriptor.pop_back();
    freeAndNil(table);
  }
}

TnxClassList& TnxTablesDescriptor::GetList() { return gTablesDescriptorClasses; }

TnxTablesDescriptor* TnxTablesDescriptor::CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent) {
  const auto* funcs = aClass.table<TnxTablesDescriptorClassFuncs>();
  if (!funcs || !aClass.inheritsFrom(staticClassInfo()))
    throw EnxTablesDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                       {nxString(u"TablesDescriptor"), classNameText(aClass)});
  return funcs->create(aParent);
}

TnxNestedTableDescriptor* TnxTablesDescriptor::AddTable(const nxString& aName, const platform::ClassInfo* aClass) {
  CheckReadOnly();
  if (nxValidateIdentifier(aName, nxErrInvalidTableName, false, true) != 0)
    throw EnxTablesDescriptorException(nxErrInvalidTableName);
  if (GetTableIndexFromName(aName) >= 0)
    throw EnxTablesDescriptorException(nxErrNameNotUnique, u"Duplicated table name: %s", {aName});
  const platform::ClassInfo& cls = aClass ? *aClass : TnxNestedTableDescriptor::staticClassInfo();
  const auto* funcs = cls.table<TnxTableDescriptorClassFuncs>();
  if (!funcs || !cls.inheritsFrom(TnxNestedTableDescriptor::staticClassInfo()))
    throw EnxTablesDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                       {nxString(u"TableDescriptor"), classNameText(cls)});
  TableDescriptor.reserve(TableDescriptor.size() + 1);
  TnxNestedTableDescriptor* table = funcs->create(this, aName);
  TableDescriptor.push_back(table);
  return table;
}

void TnxTablesDescriptor::RemoveTable(std::int32_t aInx) {
  CheckReadOnly();
  if (aInx < 0 || aInx >= TableCount()) return;
  TnxNestedTableDescriptor* table = TableDescriptor[static_cast<std::size_t>(aInx)];
  platform::TObject::free(table);
  TableDescriptor.erase(TableDescriptor.begin() + aInx);
}

void TnxTablesDescriptor::RemoveTable(const nxString& aName) { RemoveTable(GetTableIndexFromName(aName)); }

std::int32_t TnxTablesDescriptor::GetTableIndexFromName(const nxString& aName) const {
  for (std::int32_t i = 0; i < TableCount(); ++i)
    if (sameTextAscii(Tables(i)->Name(), aName)) return i;
  return -1;
}

TnxNestedTableDescriptor* TnxTablesDescriptor::GetTableDescriptorFromName(const nxString& aName) const {
  const std::int32_t i = GetTableIndexFromName(aName);
  if (i < 0) throw EnxTablesDescriptorException(nxErrNoSuchTable);
  return Tables(i);
}

void TnxTablesDescriptor::RenameTable(const nxString& aOldName, const nxString& aNewName) {
  CheckReadOnly();
  if (aOldName == aNewName) return;
  if (nxValidateIdentifier(aNewName, nxErrInvalidTableName, false, true) != 0)
    throw EnxTablesDescriptorException(nxErrInvalidTableName);
  if (GetTableIndexFromName(aNewName) >= 0)
    throw EnxTablesDescriptorException(nxErrNameNotUnique, u"Duplicated table name: %s", {aNewName});
  const std::int32_t i = GetTableIndexFromName(aOldName);
  if (i < 0) throw EnxTablesDescriptorException(nxErrNoSuchTable);
  Tables(i)->ntdName = aNewName;
}

void TnxTablesDescriptor::GetTables(platform::TStringList& aStrings) const {
  aStrings.clear();
  for (TnxNestedTableDescriptor* table : TableDescriptor) aStrings.addObject(table->Name(), table);
}

bool TnxTablesDescriptor::HasAnyRefNrField() {
  for (TnxNestedTableDescriptor* table : TableDescriptor)
    if (table->HasAnyRefNrField()) return true;
  return false;
}

bool TnxTablesDescriptor::HasCachingSupport(TnxTableCachingState aState) {
  for (TnxNestedTableDescriptor* table : TableDescriptor)
    if (table->HasCachingSupport(aState)) return true;
  return false;
}

void TnxTablesDescriptor::Clear(bool aNotify) {
  TnxDictionaryItem::Clear(aNotify);
  while (!TableDescriptor.empty()) {
    TnxNestedTableDescriptor* table = TableDescriptor.back();
    TableDescriptor.pop_back();
    platform::TObject::free(table);
  }
}

void TnxTablesDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  if (aClientVersion < nxOldDictionaryClientVersion) throw EnxTablesDescriptorException(nxErrIncompatibleVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteInteger(TableCount());
  for (TnxNestedTableDescriptor* table : TableDescriptor) {
    aWriter.WriteString(classNameText(table->classInfo()));
    aWriter.WriteString(table->Name());
    table->SaveToWriter(aWriter, aClientVersion);
  }
}

void TnxTablesDescriptor::LoadFromReader(TnxReader& aReader) {
  using E = EnxTablesDescriptorException;
  FreeTables();
  TnxDictionaryItem::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw E(nxErrIncompatibleStream);
  const std::int32_t count = readCount<E>(aReader);
  for (std::int32_t i = 0; i < count; ++i) {
    const platform::ClassInfo& cls = readClass<E>(aReader, TnxBaseTableDescriptor::GetList(), u"TableDescriptor",
                                                  TnxNestedTableDescriptor::staticClassInfo());
    const auto* funcs = cls.table<TnxTableDescriptorClassFuncs>();
    if (!funcs)
      throw E(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
              {nxString(u"TableDescriptor"), classNameText(cls)});
    const nxString name = aReader.ReadString();
    TableDescriptor.reserve(TableDescriptor.size() + 1);
    TnxNestedTableDescriptor* table = funcs->create(this, name);
    TableDescriptor.push_back(table);
    table->LoadFromReader(aReader);
  }
}

void TnxTablesDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  for (std::int32_t i = 0; i < TableCount(); ++i)
    for (std::int32_t j = 0; j < i; ++j)
      if (sameTextAscii(Tables(j)->Name(), Tables(i)->Name()))
        throw EnxTablesDescriptorException(nxErrNameNotUnique, u"Duplicated table descriptor name: %s",
                                           {Tables(i)->Name()});
  for (TnxNestedTableDescriptor* table : TableDescriptor) table->CheckValid(aForBuild);
}

bool TnxTablesDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = platform::objectAs<TnxTablesDescriptor>(aItem);
  if (!other || other->TableCount() != TableCount()) return false;
  for (std::int32_t i = 0; i < TableCount(); ++i)
    if (!Tables(i)->IsEqual(other->Tables(i))) return false;
  return true;
}

// ===========================================================================
// TnxDataDictionary

TnxDataDictionary::TnxDataDictionary() : TnxBaseTableDescriptor(nullptr) {}

TnxDataDictionary::~TnxDataDictionary() {
  ddReadOnly = false;
  FreeParts();
  freeAndNil(ddStreamDescriptor);
  freeAndNil(ddFilesDescriptor);
}

void TnxDataDictionary::afterConstruction() {
  TnxBaseTableDescriptor::afterConstruction();
  ddFilesDescriptor = platform::create<TnxFilesDescriptor>(this);
  Clear(false);
}

void TnxDataDictionary::beforeDestruction() {
  ddReadOnly = false;
  freeAndNil(ddStreamDescriptor);
  TnxBaseTableDescriptor::beforeDestruction();
  freeAndNil(ddFilesDescriptor);
}


void TnxDataDictionary::CheckReadOnly() {
  if (ddReadOnly) throw EnxDataDictionaryException(nxErrDictionaryReadOnly);
}

void TnxDataDictionary::ForceOffReadOnly() {
  ddReadOnly = false;
  DeactivateCache();
}

void TnxDataDictionary::MakeReadOnly() {
  StoreCustomStrings();
  storeCachingStates(*this);
  ddReadOnly = true;
  ActivateCache();
}

void TnxDataDictionary::SetVersion(std::int32_t aValue) {
  if (aValue == ddVersion) return;
  CheckReadOnly();
  ddVersion = aValue;
}

void TnxDataDictionary::SetUseByteOrderForWideString(bool aValue) {
  if (aValue == ddUseByteOrderForWideString) return;
  CheckReadOnly();
  ddUseByteOrderForWideString = aValue;
}

void TnxDataDictionary::SetHeaderSignature(const TnxBlockSignature& aValue) {
  if (aValue == HeaderSignature_) return;
  CheckReadOnly();
  HeaderSignature_ = aValue;
}

void TnxDataDictionary::SetEncryptionEngine(const nxString& aValue) {
  CheckReadOnly();
  EncryptionEngine_ = aValue;
}

std::int32_t TnxDataDictionary::NextID() {
  // Only a damaged stream brings the counter to its end.
  if (ddCurrentID == INT32_MAX) throw EnxDataDictionaryException(nxErrIncompatibleStream);
  return ++ddCurrentID;
}

TnxBaseStreamDescriptor* TnxDataDictionary::AddStreamDescriptor(const platform::ClassInfo* aStreamClass) {
  CheckReadOnly();
  const platform::ClassInfo& cls = aStreamClass ? *aStreamClass : TnxBaseStreamDescriptor::staticClassInfo();
  const auto* funcs = cls.table<TnxStorageDescriptorClassFuncs>();
  if (!funcs || !cls.inheritsFrom(TnxBaseStreamDescriptor::staticClassInfo()))
    throw EnxDataDictionaryException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
          {nxString(u"StreamDescriptor"), classNameText(cls)});
  freeAndNil(ddStreamDescriptor);
  ddStreamDescriptor = static_cast<TnxBaseStreamDescriptor*>(funcs->create(this, "Stream"));
  return ddStreamDescriptor;
}

void TnxDataDictionary::RemoveStreamDescriptor() {
  CheckReadOnly();
  freeAndNil(ddStreamDescriptor);
}

std::int32_t TnxDataDictionary::GetFileFromExt(const nxString& aFileExt) const {
  return ddFilesDescriptor ? ddFilesDescriptor->GetFileFromExt(aFileExt) : -1;
}

std::int32_t TnxDataDictionary::UsableBlockSize(TnxBlockSize aBlockSize) {
  return 4096 << static_cast<int>(aBlockSize);
}

bool TnxDataDictionary::OwnRequiresPack() { return ddVersion < 2 || TnxBaseTableDescriptor::OwnRequiresPack(); }

void TnxDataDictionary::Clear(bool aNotify) { InternalClear(false, aNotify); }

void TnxDataDictionary::InternalClear(bool aBare, bool aNotify) {
  ddGuid = platform::newGuid();
  ddCacheGuid = platform::Guid{};
  ddCacheCurrentID = 0;
  ddUseByteOrderForWideString = !nxDisable30900LocaleFixes;
  ddReadOnly = false;
  ddBaseName.clear();
  TnxBaseTableDescriptor::InternalClear(aBare, aNotify);
  DeactivateCache();
  ddFilesDescriptor->Clear(aNotify);
  ddVersion = 3;
  freeAndNil(ddStreamDescriptor);
  HeaderSignature_ = nxSignatureNX2;
  EncryptionEngine_.clear();
  if (aBare) return;
  AddStreamDescriptor();
  AddRecordDescriptor();
  ddFilesDescriptor->AddFile(nxString(), nxbs4k, u"Data/DataDict File");
  AddIndicesDescriptor()->AddIndex(u"Sequential Access Index", 0, idNone, u"Sequential Access Index",
                                   &TnxRefKeyDescriptor::staticClassInfo());
}

bool TnxDataDictionary::FindRelatedDescriptorOfType(const platform::ClassInfo& aType,
                                                    TnxDictionaryItem*& aDescriptor, TnxDictionaryItem* aFrom) {
  if (aType.inheritsFrom(TnxFilesDescriptor::staticClassInfo())) {
    aDescriptor = ddFilesDescriptor && ddFilesDescriptor->inheritsFrom(aType) ? ddFilesDescriptor : nullptr;
    return true;
  }
  if (aType.inheritsFrom(TnxBaseStreamDescriptor::staticClassInfo())) {
    aDescriptor = ddStreamDescriptor && ddStreamDescriptor->inheritsFrom(aType) ? ddStreamDescriptor : nullptr;
    return true;
  }
  return TnxBaseTableDescriptor::FindRelatedDescriptorOfType(aType, aDescriptor, aFrom);
}

void TnxDataDictionary::CheckValid(bool aForBuild) {
  if (aForBuild) {
    if (ddMissingInformation)
      throw EnxDataDictionaryException(nxErrUnsupportedDescriptor,
            u"This DataDictionary is missing information which was stripped to make it compatible with an older "
            u"client version and can't be used to restructure or create a table.",
            {});
    if (ddVersion == 1) {
      SetVersion(2);
      FieldsDescriptor()->UpdateLogRecLenAlign();
    }
    if (ddVersion == 2) SetVersion(3);
    if (!nxDisable30900LocaleFixes && ddVersion == 3) {
      SetVersion(4);
      SetUseByteOrderForWideString(true);
    }
    if (HasCachingSupport(tcsCacheable) || HasCachingSupport(tcsIsCache) || HasAnyRefNrField()) {
      if (ddVersion < 5) SetVersion(5);
    } else if (ddVersion == 5) {
      SetVersion(4);
    }
    if (nxDisable30900LocaleFixes && ddVersion == 4) {
      SetVersion(3);
      SetUseByteOrderForWideString(false);
    }
    if (HeaderSignature_ == nxSignatureNX1) SetHeaderSignature(nxSignatureNX2);
  }
  if (!ddStreamDescriptor) throw EnxDataDictionaryException(nxErrInvalidDesc, u"A stream descriptor is required", {});
  ddStreamDescriptor->CheckValid(aForBuild);
  ddFilesDescriptor->CheckValid(aForBuild);
  TnxBaseTableDescriptor::CheckValid(aForBuild);
}

bool TnxDataDictionary::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = platform::objectAs<TnxDataDictionary>(aItem);
  return other && TnxBaseTableDescriptor::IsEqual(aItem) && sameTextAscii(EncryptionEngine_, other->EncryptionEngine_) &&
         bothOrEqual(ddStreamDescriptor, other->ddStreamDescriptor) &&
         bothOrEqual(ddFilesDescriptor, other->ddFilesDescriptor);
}

void TnxDataDictionary::AssignOnlyFields(TnxBaseTableDescriptor* aSource) {
  // A table file's stream engine is opened through the ID a new dictionary
  // gives its stream descriptor, before the stored dictionary is read: the
  // clear must not move it, or the table cannot be opened again.
  const std::int32_t streamID = ddStreamDescriptor ? ddStreamDescriptor->ID() : 0;
  TnxBaseTableDescriptor::AssignOnlyFields(aSource);
  RemoveIndicesDescriptor();
  if (streamID != 0 && ddStreamDescriptor) ddStreamDescriptor->SetID(streamID);
}

void TnxDataDictionary::Assign(TnxPersistent* aSource) {
  CheckReadOnly();
  auto* source = platform::objectAs<TnxDataDictionary>(aSource);
  if (!source) {
    TnxBaseTableDescriptor::Assign(aSource);
    return;
  }
  if (source == this) return;
  TnxMemoryStream stream;
  {
    TnxWriter writer(stream);
    source->WriteToWriter(writer, nxInProcessCopyClientVersion);
    writer.FlushBuffer();
  }
  stream.SetPosition(0);
  Clear(false);
  ReadFromStream(stream, source->BaseName());
}

TnxDataDictionary* TnxDataDictionary::Duplicate() {
  TnxDataDictionary* result = platform::create<TnxDataDictionary>();
  try {
    result->Assign(this);
  } catch (...) {
    platform::TObject::free(result);
    throw;
  }
  return result;
}

void TnxDataDictionary::WriteToStream(TStream& aStream, std::int32_t aClientVersion) {
  TnxWriter writer(aStream);
  WriteToWriter(writer, aClientVersion);
  writer.FlushBuffer();
}

void TnxDataDictionary::ReadFromStream(TStream& aStream, const nxString& aBaseName) {
  // Readers may share a read-only dictionary: it is not reset under them.
  CheckReadOnly();
  // A reset keeps the internal indices; a read replaces everything, so a
  // stream without them must not inherit the old ones.
  const auto reset = [this](bool aBare) {
    InternalClear(aBare, false);
    RemoveInternalIndicesDescriptor();
  };
  // A failed read may leave the counter the stream gave, up to its limit;
  // the default content draws its IDs from the counter held before.
  const std::int32_t currentID = ddCurrentID;
  const auto resetAfterFailure = [&] {
    ddCurrentID = currentID;
    reset(false);
  };
  try {
    reset(true);
    ddBaseName = aBaseName;
    {
      TnxReader reader(aStream);
      ReadFromReader(reader);
    }
    struct ReadingGuard {
      bool& flag;
      explicit ReadingGuard(bool& aFlag) : flag(aFlag) { flag = true; }
      ~ReadingGuard() { flag = false; }
    } reading(ddReading);
    CheckValid(false);
  } catch (const EnxBaseException&) {
    resetAfterFailure();
    throw;
  } catch (const platform::FilerError&) {
    // Bytes missing or a value of the wrong kind: the stream is damaged.
    resetAfterFailure();
    throw EnxDataDictionaryException(nxErrIncompatibleStream);
  } catch (...) {
    resetAfterFailure();
    throw;
  }
}

void TnxDataDictionary::StoreCustomStrings() {
  setCustomValue(*this, kGuid, platform::guidToString(ddGuid));
  setCustomValue(*this, kCacheGuid, ddCacheGuid == platform::Guid{} ? nxString() : platform::guidToString(ddCacheGuid));
  setCustomValue(*this, kCacheCurrentID,
                 ddCacheCurrentID == 0 ? nxString() : platform::fromUtf8(std::to_string(ddCacheCurrentID)));
  setCustomValue(*this, kMissingInformation, ddMissingInformation ? nxString(u"True") : nxString());
}

void TnxDataDictionary::ApplyCustomStrings() {
  ddCacheGuid = platform::Guid{};
  ddCacheCurrentID = 0;
  if (!HasCustomStrings()) return;
  const platform::TStringList& strings = CustomStrings();
  const auto guidOf = [](const nxString& aText, platform::Guid& aGuid) {
    if (aText.empty()) return;
    try {
      aGuid = platform::stringToGuid(platform::UnicodeStringView(aText));
    } catch (const std::exception&) {
      throw EnxDataDictionaryException(nxErrIncompatibleStream);
    }
  };
  guidOf(strings.values(kGuid), ddGuid);
  guidOf(strings.values(kCacheGuid), ddCacheGuid);
  const std::string id = platform::toUtf8(strings.values(kCacheCurrentID));
  std::int32_t value = 0;
  const auto [end, ec] = std::from_chars(id.data(), id.data() + id.size(), value);
  ddCacheCurrentID = (ec == std::errc() && end == id.data() + id.size()) ? value : 0;
  if (strings.indexOfName(kMissingInformation) >= 0) ddMissingInformation = true;
}

void TnxDataDictionary::WriteToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  nxsdSetStrippedInformation(false);
  StoreCustomStrings();
  aWriter.WriteIdent(kSignatureIdent);
  std::int32_t version = ddVersion;
  if (aClientVersion < nxOldDictionaryClientVersion)
    version = std::min(version, 2);
  else if (aClientVersion < nxLocaleFixesClientVersion)
    version = std::min(version, 3);
  else if (aClientVersion < nxInternalIndicesClientVersion)
    version = std::min(version, 4);
  aWriter.WriteInteger(version);
  aWriter.Write(HeaderSignature_.data(), 4);
  aWriter.WriteString(EncryptionEngine_);
  if (version >= 3) {
    if (version >= 4) aWriter.WriteBoolean(ddUseByteOrderForWideString);
    writeOptional(aWriter, u"StreamDescriptor", ddStreamDescriptor, aClientVersion);
    writeFixed(aWriter, u"FilesDescriptor", ddFilesDescriptor, aClientVersion);
    TnxBaseTableDescriptor::SaveToWriter(aWriter, aClientVersion);
    aWriter.WriteIdent(u"CurrentID");
    aWriter.WriteInteger(ddCurrentID);
  } else {
    WriteOldLayout(aWriter, version, aClientVersion);
  }
  aWriter.WriteIdent(kSignatureIdent);
}

void TnxDataDictionary::WriteOldLayout(TnxWriter& aWriter, std::int32_t aVersion, std::int32_t aClientVersion) {
  aWriter.WriteString(ddStreamDescriptor ? ddStreamDescriptor->StreamEngine() : kDefaultEngine);
  aWriter.WriteString(AutoIncDescriptor() ? AutoIncDescriptor()->AutoIncEngine() : kDefaultEngine);
  aWriter.WriteString(IndicesDescriptor() ? IndicesDescriptor()->IndicesEngine() : kDefaultEngine);
  if (LocaleDescriptor()) throw EnxDataDictionaryException(nxErrIncompatibleStream, kHigherVersionRequired, {});
  // The old layout has no place for these.
  if (TablesDescriptor()->TableCount() > 0 ||
      (InternalIndicesDescriptor() && InternalIndicesDescriptor()->IndexCount() > 0))
    nxsdSetStrippedInformation(true);
  writeOptional(aWriter, u"RecordDescriptor", RecordDescriptor(), aClientVersion);
  writeOptional(aWriter, u"BlobDescriptor", BlobDescriptor(), aClientVersion);

  aWriter.WriteIdent(u"FileDescriptor");
  aWriter.WriteInteger(ddFilesDescriptor->FileCount());
  const std::int32_t blobFile = BlobDescriptor() ? BlobDescriptor()->FileNumber() : -1;
  for (std::int32_t i = 0; i < ddFilesDescriptor->FileCount(); ++i) {
    TnxFileDescriptor* file = ddFilesDescriptor->Files(i);
    aWriter.WriteString(classNameText(file->classInfo()));
    aWriter.WriteString(file->Extension());
    aWriter.WriteInteger(std::int32_t{i == 0 ? 0 : i == blobFile ? 2 : 1});
    file->SaveToWriter(aWriter, aClientVersion);
  }

  TnxFieldsDescriptor* fields = FieldsDescriptor();
  aWriter.WriteIdent(u"FieldDescriptor");
  aWriter.WriteInteger(fields->FieldCount());
  for (std::int32_t i = 0; i < fields->FieldCount(); ++i) {
    TnxFieldDescriptor* field = fields->Fields(i);
    if (field->fdType == nxtGuid || field->fdType == nxtBCD || field->fdType == nxtFmtBCD)
      throw EnxDataDictionaryException(nxErrIncompatibleStream, kHigherVersionRequired, {});
    field->SaveHeader(aWriter, aClientVersion);
    field->SaveToWriter(aWriter, aClientVersion);
  }

  aWriter.WriteIdent(u"IndexDescriptor");
  if (TnxMainIndicesDescriptor* indices = IndicesDescriptor()) {
    aWriter.WriteInteger(indices->IndexCount());
    for (std::int32_t i = 0; i < indices->IndexCount(); ++i) {
      TnxIndexDescriptor* index = indices->Indices(i);
      aWriter.WriteString(classNameText(index->classInfo()));
      aWriter.WriteString(classNameText(index->KeyDescriptor()->classInfo()));
      aWriter.WriteString(index->Name());
      aWriter.WriteInteger(index->FileNumber());
      index->SaveToWriter(aWriter, aClientVersion);
    }
    aWriter.WriteInteger(indices->DefaultIndex());
  } else {
    aWriter.WriteInteger(std::int32_t{0});
    aWriter.WriteInteger(std::int32_t{-1});
  }

  aWriter.WriteInteger(fields->fsdLogRecLen);
  if (aVersion == 2) aWriter.WriteInteger(fields->fsdLogRecLenAlign);

  TnxCustomDescsDescriptor* customs = CustomDescsDescriptor();
  aWriter.WriteIdent(u"CustomDescriptor");
  aWriter.WriteInteger(customs->CustomCount());
  for (std::int32_t i = 0; i < customs->CustomCount(); ++i) {
    TnxBaseCustomDescriptor* custom = customs->Customs(i);
    aWriter.WriteString(classNameText(custom->classInfo()));
    aWriter.WriteString(custom->Name());
    custom->SaveToWriter(aWriter, aClientVersion);
  }
}

void TnxDataDictionary::ReadFromReader(TnxReader& aReader) {
  using E = EnxDataDictionaryException;
  CheckReadOnly();
  readIdent<E>(aReader, kSignatureIdent);
  const std::int32_t version = aReader.ReadInteger();
  if (version < 1 || version > 5) throw EnxDataDictionaryException(nxErrIncompatibleStream);
  ddVersion = version;
  aReader.Read(HeaderSignature_.data(), 4);
  EncryptionEngine_ = aReader.ReadString();
  RemoveStreamDescriptor();
  ddUseByteOrderForWideString = false;
  if (version >= 3) {
    if (version >= 4) ddUseByteOrderForWideString = aReader.ReadBoolean();
    readIdent<E>(aReader, u"StreamDescriptor");
    if (aReader.ReadBoolean())
      AddStreamDescriptor(&readClass<E>(aReader, TnxBaseStreamDescriptor::GetList(), u"StreamDescriptor",
                                        TnxBaseStreamDescriptor::staticClassInfo()))
          ->LoadFromReader(aReader);
    readIdent<E>(aReader, u"FilesDescriptor");
    readFixedPart<E>(aReader, *ddFilesDescriptor);
    ddFilesDescriptor->LoadFromReader(aReader);
    TnxBaseTableDescriptor::LoadFromReader(aReader);
    readIdent<E>(aReader, u"CurrentID");
    ddCurrentID = aReader.ReadInteger();
    if (ddCurrentID < 0) throw EnxDataDictionaryException(nxErrIncompatibleStream);
  } else {
    ReadOldLayout(aReader, version);
  }
  readIdent<E>(aReader, kSignatureIdent);
  ApplyCustomStrings();
}

void TnxDataDictionary::ReadOldLayout(TnxReader& aReader, std::int32_t aVersion) {
  using E = EnxDataDictionaryException;
  AddStreamDescriptor()->SetStreamEngine(aReader.ReadString());
  AddAutoIncDescriptor()->SetAutoIncEngine(aReader.ReadString());
  TnxMainIndicesDescriptor* indices = AddIndicesDescriptor();
  indices->SetIndicesEngine(aReader.ReadString());

  readIdent<E>(aReader, u"RecordDescriptor");
  if (aReader.ReadBoolean())
    AddRecordDescriptor(&readClass<E>(aReader, TnxBaseRecordDescriptor::GetList(), u"RecordDescriptor",
                                      TnxBaseRecordDescriptor::staticClassInfo()))
        ->LoadFromReader(aReader);
  else
    AddRecordDescriptor();
  readIdent<E>(aReader, u"BlobDescriptor");
  TnxBaseBlobDescriptor* blob =
      aReader.ReadBoolean() ? AddBlobDescriptor(&readClass<E>(aReader, TnxBaseBlobDescriptor::GetList(),
                                                              u"BlobDescriptor",
                                                              TnxBaseBlobDescriptor::staticClassInfo()))
                            : nullptr;
  if (blob)
    blob->LoadFromReader(aReader);
  else
    blob = AddBlobDescriptor(&TnxHeapBlobDescriptor::staticClassInfo());

  readIdent<E>(aReader, u"FileDescriptor");
  const std::int32_t fileCount = readCount<E>(aReader);
  for (std::int32_t i = 0; i < fileCount; ++i) {
    const platform::ClassInfo& cls = readClass<E>(aReader, TnxFileDescriptor::GetList(), u"FileDescriptor",
                                                  TnxFileDescriptor::staticClassInfo());
    nxString extension = aReader.ReadString();
    const std::int32_t kind = aReader.ReadInteger();
    if (kind < 0 || kind > 2 || (kind == 0 && i != 0)) throw EnxDataDictionaryException(nxErrIncompatibleStream);
    if (kind == 0) extension.clear();
    if (kind == 2 && blob->FileNumber() != 0 && blob->FileNumber() != i)
      throw EnxDataDictionaryException(nxErrInvalidDesc, u"A BLOB file has already been defined", {});
    ddFilesDescriptor->AddFile(extension, nxbs4k, nxString(), &cls)->LoadFromReader(aReader);
    if (kind == 2) blob->SetFileNumber(i);
  }

  TnxFieldsDescriptor* fields = FieldsDescriptor();
  readIdent<E>(aReader, u"FieldDescriptor");
  const std::int32_t fieldCount = readCount<E>(aReader);
  for (std::int32_t i = 0; i < fieldCount; ++i) {
    const platform::ClassInfo& cls = readClass<E>(aReader, TnxFieldDescriptor::GetList(), u"FieldDescriptor",
                                                  TnxFieldDescriptor::staticClassInfo());
    const nxString name = aReader.ReadString();
    const nxString desc = aReader.ReadString();
    TnxFieldType type{};
    if (!nxsdFieldTypeFromName(aReader.ReadString(), type)) throw EnxDataDictionaryException(nxErrIncompatibleStream);
    const std::int32_t units = aReader.ReadInteger();
    const std::int32_t decPl = aReader.ReadInteger();
    const bool required = aReader.ReadBoolean();
    fields->AddField(name, desc, type, units, decPl, required, &cls)->LoadFromReader(aReader);
  }

  readIdent<E>(aReader, u"IndexDescriptor");
  const std::int32_t indexCount = readCount<E>(aReader);
  for (std::int32_t i = 0; i < indexCount; ++i) {
    const platform::ClassInfo& indexClass = readClass<E>(aReader, TnxIndexDescriptor::GetList(), u"IndexDescriptor",
                                                         TnxIndexDescriptor::staticClassInfo());
    const platform::ClassInfo& keyClass = readClass<E>(aReader, TnxBaseKeyDescriptor::GetList(), u"KeyDescriptor",
                                                       TnxBaseKeyDescriptor::staticClassInfo());
    const nxString name = aReader.ReadString();
    const std::int32_t fileNumber = aReader.ReadInteger();
    indices->LoadIndex(indexClass, keyClass, name, fileNumber)->LoadFromReader(aReader);
  }
  indices->SetDefaultIndex(aReader.ReadInteger());
  if (indices->IndexCount() == 0) RemoveIndicesDescriptor();

  fields->fsdLogRecLen = aReader.ReadInteger();
  fields->fsdLogRecLenAlign = aVersion == 1 ? fields->fsdLogRecLen : aReader.ReadInteger();

  readIdent<E>(aReader, u"CustomDescriptor");
  const std::int32_t customCount = readCount<E>(aReader);
  for (std::int32_t i = 0; i < customCount; ++i) {
    const platform::ClassInfo& cls = readClass<E>(aReader, TnxBaseCustomDescriptor::GetList(), u"CustomDescriptor",
                                                  TnxBaseCustomDescriptor::staticClassInfo());
    CustomDescsDescriptor()->AddCustom(aReader.ReadString(), &cls)->LoadFromReader(aReader);
  }
}

// ===========================================================================
// Start-up

void nxsdDataDictionaryTablesRegister() {
  TnxDescriptorClass<TnxTablesDescriptor>::Register();
  TnxDescriptorClass<TnxNestedTableDescriptor>::Register();
}

void nxsdDataDictionaryTablesUnregister() {
  TnxDescriptorClass<TnxNestedTableDescriptor>::Unregister();
  TnxDescriptorClass<TnxTablesDescriptor>::Unregister();
  nxFreeClassList(gTableDescriptorClasses);
  nxFreeClassList(gTablesDescriptorClasses);
}
