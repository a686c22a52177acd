#include "nxsdDataDictionaryInt.h"

#include <cstring>
#include <string>
#include <vector>

#include "nxllBde.h"
#include "nxllLockedFuncs.h"
#include "nxllMemoryManager.h"
#include "nxsdNativeVariantConverter.h"
#include "plErrors.h"
#include "plLocale.h"
#include "plString.h"

using namespace nxdd;

NX_IMPLEMENT_EXCEPTION(EnxBaseIndicesDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxMainIndicesDescriptorException, EnxBaseIndicesDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxInternalIndicesDescriptorException, EnxBaseIndicesDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxKeyFieldDescriptorException, EnxLocaleizedDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxTextKeyFieldDescriptorException, EnxKeyFieldDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxExtTextKeyFieldDescriptorException, EnxTextKeyFieldDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxBaseKeyDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxRefKeyDescriptorException, EnxBaseKeyDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxInt64KeyDescriptorException, EnxBaseKeyDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxBlobCacheKeyDescriptorException, EnxBaseKeyDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxCompKeyDescriptorException, EnxBaseKeyDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxNoNullCompKeyDescriptorException, EnxCompKeyDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxIndexDescriptorException, EnxDictionaryItemException)

PL_CLASS_INFO_IMPL(TnxBaseKeyDescriptor, TnxDictionaryItem, "TnxBaseKeyDescriptor", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxKeyFieldDescriptor, TnxLocalizedDictionaryItem, "TnxKeyFieldDescriptor", nullptr,
                         platform::bindClassTable(nxKeyFieldDescriptorFuncs<TnxKeyFieldDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxTextKeyFieldDescriptor, TnxKeyFieldDescriptor, "TnxTextKeyFieldDescriptor", nullptr,
                         platform::bindClassTable(nxKeyFieldDescriptorFuncs<TnxTextKeyFieldDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxExtTextKeyFieldDescriptor, TnxTextKeyFieldDescriptor, "TnxExtTextKeyFieldDescriptor",
                         nullptr, platform::bindClassTable(nxKeyFieldDescriptorFuncs<TnxExtTextKeyFieldDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxCompKeyDescriptor, TnxBaseKeyDescriptor, "TnxCompKeyDescriptor", nullptr,
                         platform::bindClassTable(nxKeyDescriptorFuncs<TnxCompKeyDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxNoNullCompKeyDescriptor, TnxCompKeyDescriptor, "TnxNoNullCompKeyDescriptor", nullptr,
                         platform::bindClassTable(nxKeyDescriptorFuncs<TnxNoNullCompKeyDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxIndexDescriptor, TnxDictionaryItem, "TnxIndexDescriptor", nullptr,
                         platform::bindClassTable(nxIndexDescriptorFuncs<TnxIndexDescriptor>))
PL_CLASS_INFO_IMPL(TnxSimpleKeyDescriptor, TnxBaseKeyDescriptor, "TnxSimpleKeyDescriptor", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxRefKeyDescriptor, TnxSimpleKeyDescriptor, "TnxRefKeyDescriptor", nullptr,
                         platform::bindClassTable(nxKeyDescriptorFuncs<TnxRefKeyDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxInt64KeyDescriptor, TnxSimpleKeyDescriptor, "TnxInt64KeyDescriptor", nullptr,
                         platform::bindClassTable(nxKeyDescriptorFuncs<TnxInt64KeyDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxBlobCacheKeyDescriptor, TnxSimpleKeyDescriptor, "TnxBlobCacheKeyDescriptor", nullptr,
                         platform::bindClassTable(nxKeyDescriptorFuncs<TnxBlobCacheKeyDescriptor>))

namespace {

// The registries of the families of this file.
TnxClassList gKeyDescriptorClasses = nullptr;
TnxClassList gKeyFieldDescriptorClasses = nullptr;
TnxClassList gIndexDescriptorClasses = nullptr;

}  // namespace

// ===========================================================================
// Key descriptors

TnxClassList& TnxBaseKeyDescriptor::GetList() { return gKeyDescriptorClasses; }

TnxBaseKeyDescriptor* TnxBaseKeyDescriptor::CreateOfClass(const platform::ClassInfo& aClass,
                                                          TnxPersistent* aParent) {
  const auto* funcs = aClass.table<TnxKeyDescriptorClassFuncs>();
  if (!funcs || !aClass.inheritsFrom(staticClassInfo()))
    throw EnxBaseKeyDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                        {nxString(u"KeyDescriptor"), classNameText(aClass)});
  return static_cast<TnxBaseKeyDescriptor*>(funcs->create(aParent));
}

TnxBaseKeyDescriptor::~TnxBaseKeyDescriptor() { nxFreeAndNil(Filter_); }

void TnxBaseKeyDescriptor::beforeDestruction() {
  nxFreeAndNil(Filter_);
  TnxDictionaryItem::beforeDestruction();
}

void TnxBaseKeyDescriptor::SetFilter(TnxBaseFilterDescriptor* aFilter) {
  CheckReadOnly();
  if (aFilter == Filter_) return;
  nxFreeAndNil(Filter_);
  Filter_ = aFilter;
}

void TnxBaseKeyDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  if (aClientVersion < nxOldDictionaryClientVersion) {
    // The old layout has no room for a filter: dropping it would index
    // records the filter keeps out.
    if (Filter_) throw EnxBaseKeyDescriptorException(nxErrIncompatibleVersion);
    return;
  }
  aWriter.WriteIdent(u"BKD");
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteBoolean(Filter_ != nullptr);
  if (!Filter_) return;
  TnxMemoryStream body;
  const TnxResult rc = Filter_->WriteToStream(body, aClientVersion);
  if (rc != 0) throw EnxBaseKeyDescriptorException(rc);
  aWriter.WriteInteger(std::int64_t{body.Size()});
  aWriter.Write(body.Memory(), static_cast<std::int32_t>(body.Size()));
}

void TnxBaseKeyDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  nxFreeAndNil(Filter_);
  if (aReader.NextValue() != vaIdent) return;
  if (aReader.ReadIdent() != u"BKD" || aReader.ReadInteger() != 1)
    throw EnxBaseKeyDescriptorException(nxErrIncompatibleStream);
  if (!aReader.ReadBoolean()) return;
  const std::int64_t size = aReader.ReadInt64();
  if (size < 0 || size > aReader.Remaining()) throw EnxBaseKeyDescriptorException(nxErrIncompatibleStream);
  TnxMemoryStream body;
  body.SetSize(size);
  aReader.Read(body.Memory(), static_cast<std::int32_t>(size));
  body.SetPosition(0);
  TnxBaseFilterDescriptor* filter = nullptr;
  const TnxResult rc = TnxBaseFilterDescriptor::CreateFromStream(body, filter);
  if (rc != 0) throw EnxBaseKeyDescriptorException(rc);
  Filter_ = filter;
}

bool TnxBaseKeyDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = platform::objectAs<TnxBaseKeyDescriptor>(aItem);
  return TnxDictionaryItem::IsEqual(aItem) && other && (Filter_ == nullptr) == (other->Filter_ == nullptr);
}

void TnxSimpleKeyDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseKeyDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
}

void TnxSimpleKeyDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseKeyDescriptor::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) RaiseIncompatible();
}

void TnxRefKeyDescriptor::RaiseIncompatible() const { throw EnxRefKeyDescriptorException(nxErrIncompatibleStream); }
void TnxInt64KeyDescriptor::RaiseIncompatible() const {
  throw EnxInt64KeyDescriptorException(nxErrIncompatibleStream);
}
void TnxBlobCacheKeyDescriptor::RaiseIncompatible() const {
  throw EnxBlobCacheKeyDescriptorException(nxErrIncompatibleStream);
}

// ===========================================================================
// Key fields

TnxClassList& TnxKeyFieldDescriptor::GetList() { return gKeyFieldDescriptorClasses; }

TnxKeyFieldDescriptor* TnxKeyFieldDescriptor::CreateOfClass(const platform::ClassInfo& aClass,
                                                            TnxPersistent* aParent, std::int32_t aFieldNumber) {
  const auto* funcs = aClass.table<TnxKeyFieldDescriptorClassFuncs>();
  if (!funcs || !aClass.inheritsFrom(staticClassInfo()))
    throw EnxKeyFieldDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                         {nxString(u"KeyFieldDescriptor"), classNameText(aClass)});
  return funcs->create(aParent, aFieldNumber);
}

TnxKeyFieldDescriptor::TnxKeyFieldDescriptor(TnxPersistent* aParent, std::int32_t aFieldNumber)
    : TnxLocalizedDictionaryItem(aParent), kfdFieldNumber(aFieldNumber) {
  if (aFieldNumber != nxKeyFieldOfOwnerField) {
    kfdSubscribedTo = relatedFields(this);
    if (kfdSubscribedTo) kfdSubscribedTo->AddFieldChangeNotify(this);
  }
}

TnxKeyFieldDescriptor::~TnxKeyFieldDescriptor() { Unsubscribe(); }

void TnxKeyFieldDescriptor::beforeDestruction() {
  Unsubscribe();
  TnxLocalizedDictionaryItem::beforeDestruction();
}

void TnxKeyFieldDescriptor::Unsubscribe() noexcept {
  if (kfdSubscribedTo) std::exchange(kfdSubscribedTo, nullptr)->RemoveFieldChangeNotify(this);
}

void TnxKeyFieldDescriptor::KeyLengthChanged() {
  if (auto* key = platform::objectAs<TnxCompKeyDescriptor>(ParentItem())) key->KeyLenChanged();
}

void TnxKeyFieldDescriptor::SetFieldNumber(std::int32_t aValue) {
  CheckReadOnly();
  kfdFieldNumber = aValue;
  KeyLengthChanged();
}

void TnxKeyFieldDescriptor::SetOverrideLengthBytes(std::int32_t aValue) {
  if (aValue == kfdOverrideLengthBytes) return;
  CheckReadOnly();
  CheckOverride(aValue);
  KeyLengthChanged();
  kfdOverrideLengthBytes = aValue;
}

void TnxKeyFieldDescriptor::SetOverrideLengthChars(std::int32_t aValue) {
  if (aValue == kfdOverrideLengthChars) return;
  CheckReadOnly();
  CheckOverride(aValue);
  KeyLengthChanged();
  kfdOverrideLengthChars = aValue;
}

void TnxKeyFieldDescriptor::CheckOverride(std::int32_t aValue) const {
  // A negative value would be written and then refused by the reader.
  if (aValue < 0)
    throw EnxKeyFieldDescriptorException(nxErrInvalidDesc, u"Key length override %d is negative", {aValue});
  if (aValue > nxMaxRecordBufferSize)
    throw EnxKeyFieldDescriptorException(nxErrInvalidDesc, u"Key length override %d exceeds the maximum of %d",
                                         {aValue, nxMaxRecordBufferSize});
}

TnxFieldDescriptor* TnxKeyFieldDescriptor::Field() {
  if (kfdFieldNumber == nxKeyFieldOfOwnerField) {
    TnxPersistent* owner = nullptr;
    return FindParentOfType(TnxFieldDescriptor::staticClassInfo(), owner) ? static_cast<TnxFieldDescriptor*>(owner)
                                                                          : nullptr;
  }
  TnxFieldsDescriptor* fields = relatedFields(this);
  if (!fields || kfdFieldNumber < 0 || kfdFieldNumber >= fields->FieldCount()) return nullptr;
  return fields->Fields(kfdFieldNumber);
}

std::int32_t TnxKeyFieldDescriptor::KeyChars() {
  TnxFieldDescriptor* f = Field();
  if (!f || !nxFieldTypeIn(f->fdType, nxStringFieldTypes)) return 0;
  if (kfdOverrideLengthChars > 0 && kfdOverrideLengthChars < f->fdUnits) return kfdOverrideLengthChars;
  return f->fdUnits;
}

std::int32_t TnxKeyFieldDescriptor::KeyLength() {
  TnxFieldDescriptor* f = Field();
  if (!f) return 0;
  const std::int32_t length = f->fdLength;
  if (f->fdType == nxtByteArray)
    return kfdOverrideLengthBytes > 0 && kfdOverrideLengthBytes < length ? kfdOverrideLengthBytes : length;
  if (!nxFieldTypeIn(f->fdType, nxStringFieldTypes)) return length;
  const bool wide = f->fdType == nxtWideString;
  std::int32_t k = length;
  if (kfdOverrideLengthChars > 0 && kfdOverrideLengthChars < f->fdUnits)
    k = wide ? 2 * (kfdOverrideLengthChars + 1) : kfdOverrideLengthChars + 1;
  // A byte override can only enlarge an 8-bit string's key.
  return wide ? k : std::max(k, kfdOverrideLengthBytes);
}

bool TnxKeyFieldDescriptor::IsValidForTable(TnxDictionaryItem* aTable) {
  TnxFieldsDescriptor* fields = aTable ? relatedFields(aTable) : nullptr;
  return fields && kfdFieldNumber >= 0 && kfdFieldNumber < fields->FieldCount();
}

bool TnxKeyFieldDescriptor::CanContainNulls() {
  if (kfdNullBehaviour == nbFilterNull) return false;
  TnxFieldDescriptor* f = Field();
  return !f || !f->fdRequired;
}

void TnxKeyFieldDescriptor::HandleFieldChange(bool aBefore, std::int32_t aOld, std::int32_t aNew) {
  if (kfdFieldNumber == nxKeyFieldOfOwnerField) return;
  if (aBefore) {
    if (aOld == kfdFieldNumber && aNew < 0) {
      TnxFieldDescriptor* f = Field();
      throw EnxKeyFieldDescriptorException(nxErrObjectInUse,
                                           u"Cannot remove field %s because it is still referenced by an index",
                                           {f ? f->Name() : nxString()});
    }
    return;
  }
  if (nxsdAdjustPosition(kfdFieldNumber, aOld, aNew)) KeyLengthChanged();
}

bool TnxKeyFieldDescriptor::OwnRequiresPack() {
  TnxLocaleDescriptor* locale = UsedLocaleDescriptor();
  TnxFieldDescriptor* f = Field();
  if (!locale || !f) return false;
  constexpr TnxFieldTypes textTypes = nxStringFieldTypes | nxFieldTypeBit(nxtChar) | nxFieldTypeBit(nxtWideChar) |
                                      nxFieldTypeBit(nxtBlobMemo) | nxFieldTypeBit(nxtBlobWideMemo);
  return nxFieldTypeIn(f->fdType, textTypes) && !locale->CurrentLocaleVersionEqualToBuildVersion();
}

TnxLocaleDescriptor* TnxKeyFieldDescriptor::FindInheritedLocaleDescriptor() {
  if (TnxFieldDescriptor* f = Field()) return f->UsedLocaleDescriptor();
  return TnxLocalizedDictionaryItem::FindInheritedLocaleDescriptor();
}

void TnxKeyFieldDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxLocalizedDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  const bool old = aClientVersion < nxOldDictionaryClientVersion;
  // Old clients know no own locale of a key field.
  if (old && LocaleDescriptor() && !OldStreamHoldsLocale())
    throw EnxKeyFieldDescriptorException(nxErrIncompatibleVersion);
  aWriter.WriteInteger(std::int32_t{old ? 1 : 2});
  aWriter.WriteString(kfdDesc);
  aWriter.WriteString(kfdKeyFieldEngine);
  aWriter.WriteBoolean(kfdAscend);
  if (old) {
    if (kfdOverrideLengthBytes > 0 || kfdOverrideLengthChars > 0)
      throw EnxKeyFieldDescriptorException(nxErrIncompatibleVersion);
    return;
  }
  SaveLocaleToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(kfdOverrideLengthBytes);
  aWriter.WriteInteger(kfdOverrideLengthChars);
  aWriter.WriteString(nxNullBehaviourNames[kfdNullBehaviour]);
}

void TnxKeyFieldDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxLocalizedDictionaryItem::LoadFromReader(aReader);
  const std::int32_t version = aReader.ReadInteger();
  if (version < 1 || version > 2) throw EnxKeyFieldDescriptorException(nxErrIncompatibleStream);
  kfdDesc = aReader.ReadString();
  kfdKeyFieldEngine = aReader.ReadString();
  kfdAscend = aReader.ReadBoolean();
  KeyLengthChanged();
  if (version < 2) return;
  LoadLocaleFromReader(aReader);
  kfdOverrideLengthBytes = aReader.ReadInteger();
  kfdOverrideLengthChars = aReader.ReadInteger();
  // 0 is "none"; a negative override is no value any writer stores.
  if (kfdOverrideLengthBytes < 0 || kfdOverrideLengthChars < 0 || kfdOverrideLengthBytes > nxMaxRecordBufferSize ||
      kfdOverrideLengthChars > nxMaxRecordBufferSize)
    throw EnxKeyFieldDescriptorException(nxErrIncompatibleStream);
  const nxString name = aReader.ReadString();
  for (std::size_t i = 0; i < std::size(nxNullBehaviourNames); ++i)
    if (name == nxNullBehaviourNames[i]) {
      kfdNullBehaviour = static_cast<TnxNullBehaviour>(i);
      return;
    }
  throw EnxKeyFieldDescriptorException(nxErrIncompatibleStream);
}

void TnxKeyFieldDescriptor::CheckValid(bool aForBuild) {
  TnxLocalizedDictionaryItem::CheckValid(aForBuild);
  if (kfdFieldNumber == nxKeyFieldOfOwnerField) {
    if (Field()) return;
  } else {
    TnxFieldsDescriptor* fields = relatedFields(this);
    if (!fields || (kfdFieldNumber >= 0 && kfdFieldNumber < fields->FieldCount())) return;
  }
  throw EnxKeyFieldDescriptorException(nxErrInvalidDescNumber, u"Invalid field number: %d", {kfdFieldNumber});
}

bool TnxKeyFieldDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* o = platform::objectAs<TnxKeyFieldDescriptor>(aItem);
  return TnxLocalizedDictionaryItem::IsEqual(aItem) && o && kfdFieldNumber == o->kfdFieldNumber &&
         kfdDesc == o->kfdDesc && platform::sameTextAscii(kfdKeyFieldEngine, o->kfdKeyFieldEngine) &&
         kfdAscend == o->kfdAscend && kfdOverrideLengthBytes == o->kfdOverrideLengthBytes &&
         kfdOverrideLengthChars == o->kfdOverrideLengthChars && kfdNullBehaviour == o->kfdNullBehaviour;
}

void TnxTextKeyFieldDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxKeyFieldDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteBoolean(tkfIgnoreCase);
}

void TnxTextKeyFieldDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxKeyFieldDescriptor::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxTextKeyFieldDescriptorException(nxErrIncompatibleStream);
  tkfIgnoreCase = aReader.ReadBoolean();
}

bool TnxTextKeyFieldDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* o = platform::objectAs<TnxTextKeyFieldDescriptor>(aItem);
  return TnxKeyFieldDescriptor::IsEqual(aItem) && o && tkfIgnoreCase == o->tkfIgnoreCase;
}

void TnxExtTextKeyFieldDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxTextKeyFieldDescriptor::SaveToWriter(aWriter, aClientVersion);
  if (aClientVersion >= nxOldDictionaryClientVersion) {
    aWriter.WriteInteger(std::int32_t{2});
    SaveLocaleToWriter(aWriter, aClientVersion);
    return;
  }
  TnxLocaleDescriptor* locale = LocaleDescriptor();
  // The old form has no storage code page.
  if (locale && locale->OverrideStorageCodepage() != 0)
    throw EnxExtTextKeyFieldDescriptorException(nxErrIncompatibleVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteInteger(static_cast<std::int32_t>(locale ? locale->Locale() : 0));
  aWriter.WriteBoolean(locale && locale->IgnoreKanaType());
  aWriter.WriteBoolean(locale && locale->IgnoreNonSpace());
  aWriter.WriteBoolean(locale && locale->IgnoreSymbols());
  aWriter.WriteBoolean(locale && locale->IgnoreWidth());
  aWriter.WriteBoolean(locale && locale->UseStringSort());
}

void TnxExtTextKeyFieldDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxTextKeyFieldDescriptor::LoadFromReader(aReader);
  const std::int32_t version = aReader.ReadInteger();
  if (version < 1 || version > 2) throw EnxExtTextKeyFieldDescriptorException(nxErrIncompatibleStream);
  if (version == 2) {
    LoadLocaleFromReader(aReader);
    return;
  }
  RemoveLocaleDescriptor();
  const auto id = static_cast<std::uint32_t>(aReader.ReadInteger());
  bool options[5];
  for (bool& o : options) o = aReader.ReadBoolean();
  if (id == 0) return;
  TnxLocaleDescriptor* locale = AddLocaleDescriptor();
  locale->SetLocale(id);
  locale->SetIgnoreKanaType(options[0]);
  locale->SetIgnoreNonSpace(options[1]);
  locale->SetIgnoreSymbols(options[2]);
  locale->SetIgnoreWidth(options[3]);
  locale->SetUseStringSort(options[4]);
}

// ===========================================================================
// Composite keys

const platform::ClassInfo& TnxCompKeyDescriptor::DefaultKeyFieldClass() {
  return TnxKeyFieldDescriptor::staticClassInfo();
}

TnxCompKeyDescriptor::~TnxCompKeyDescriptor() { FreeKeyFields(); }

void TnxCompKeyDescriptor::beforeDestruction() {
  FreeKeyFields();
  TnxBaseKeyDescriptor::beforeDestruction();
}

void TnxCompKeyDescriptor::FreeKeyFields() noexcept {
  while (!ckdKeyFields.empty()) {
    TnxKeyFieldDescriptor* f = ckdKeyFields.back();
    ckdKeyFields.pop_back();
    platform::TObject::free(f);
  }
  ckdKeyLen = -1;
}

std::int32_t TnxCompKeyDescriptor::FieldNumberOf(const nxString& aFieldName) {
  return static_cast<TnxFieldsDescriptor*>(GetRelatedDescriptorOfType(TnxFieldsDescriptor::staticClassInfo()))
      ->GetFieldFromName(aFieldName);
}

TnxKeyFieldDescriptor* TnxCompKeyDescriptor::Add(std::int32_t aFieldNumber, const platform::ClassInfo* aClass) {
  return Insert(KeyFieldCount(), aFieldNumber, aClass);
}

TnxKeyFieldDescriptor* TnxCompKeyDescriptor::Add(const nxString& aFieldName, const platform::ClassInfo* aClass) {
  return Add(FieldNumberOf(aFieldName), aClass);
}

TnxKeyFieldDescriptor* TnxCompKeyDescriptor::Insert(std::int32_t aInx, std::int32_t aFieldNumber,
                                                    const platform::ClassInfo* aClass) {
  CheckReadOnly();
  if (aInx < 0 || aInx > KeyFieldCount())
    throw EnxCompKeyDescriptorException(nxErrInvalidDescNumber, u"Index out of bounds: %d", {aInx});
  TnxKeyFieldDescriptor* f =
      TnxKeyFieldDescriptor::CreateOfClass(aClass ? *aClass : DefaultKeyFieldClass(), this, aFieldNumber);
  ckdKeyFields.insert(ckdKeyFields.begin() + aInx, f);
  ckdKeyLen = -1;
  return f;
}

TnxKeyFieldDescriptor* TnxCompKeyDescriptor::Insert(std::int32_t aInx, const nxString& aFieldName,
                                                    const platform::ClassInfo* aClass) {
  return Insert(aInx, FieldNumberOf(aFieldName), aClass);
}

void TnxCompKeyDescriptor::Delete(std::int32_t aInx) {
  CheckReadOnly();
  if (aInx < 0 || aInx >= KeyFieldCount())
    throw EnxCompKeyDescriptorException(nxErrInvalidDescNumber, u"Index out of bounds: %d", {aInx});
  TnxKeyFieldDescriptor* f = ckdKeyFields[static_cast<std::size_t>(aInx)];
  ckdKeyFields.erase(ckdKeyFields.begin() + aInx);
  platform::TObject::free(f);
  ckdKeyLen = -1;
}

void TnxCompKeyDescriptor::Move(std::int32_t aFrom, std::int32_t aTo) {
  CheckReadOnly();
  for (std::int32_t i : {aFrom, aTo})
    if (i < 0 || i >= KeyFieldCount())
      throw EnxCompKeyDescriptorException(nxErrInvalidDescNumber, u"Index out of bounds: %d", {i});
  TnxKeyFieldDescriptor* f = ckdKeyFields[static_cast<std::size_t>(aFrom)];
  ckdKeyFields.erase(ckdKeyFields.begin() + aFrom);
  ckdKeyFields.insert(ckdKeyFields.begin() + aTo, f);
}

bool TnxCompKeyDescriptor::IsValidForTable(TnxDictionaryItem* aTable) {
  if (ckdKeyFields.empty()) return false;
  for (TnxKeyFieldDescriptor* f : ckdKeyFields)
    if (!f->IsValidForTable(aTable)) return false;
  return true;
}

std::uint32_t TnxCompKeyDescriptor::KeyLen() {
  if (ckdKeyLen >= 0) return static_cast<std::uint32_t>(ckdKeyLen);
  std::int64_t sum = NullBitmapBytes();
  for (TnxKeyFieldDescriptor* f : ckdKeyFields) sum += f->KeyLength();
  if (sum > nxMaxRecordBufferSize)
    throw EnxCompKeyDescriptorException(nxErrInvalidDesc, u"Key length %d exceeds the maximum of %d",
                                        {sum, nxMaxRecordBufferSize});
  ckdKeyLen = static_cast<std::int32_t>(sum);
  return static_cast<std::uint32_t>(sum);
}

bool TnxCompKeyDescriptor::CanContainNulls() {
  for (TnxKeyFieldDescriptor* f : ckdKeyFields)
    if (f->CanContainNulls()) return true;
  return false;
}

void TnxCompKeyDescriptor::Clear(bool aNotify) {
  TnxBaseKeyDescriptor::Clear(aNotify);
  FreeKeyFields();
}

void TnxCompKeyDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseKeyDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteInteger(KeyFieldCount());
  for (TnxKeyFieldDescriptor* f : ckdKeyFields) {
    aWriter.WriteString(classNameText(f->classInfo()));
    aWriter.WriteInteger(f->FieldNumber());
    f->SaveToWriter(aWriter, aClientVersion);
  }
}

void TnxCompKeyDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseKeyDescriptor::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxCompKeyDescriptorException(nxErrIncompatibleStream);
  const std::int32_t count = aReader.ReadInteger();
  if (count < 0 || count > aReader.Remaining()) throw EnxCompKeyDescriptorException(nxErrIncompatibleStream);
  for (std::int32_t i = 0; i < count; ++i) {
    const nxString name = aReader.ReadString();
    const platform::ClassInfo* cls = FindDescriptorClass<TnxKeyFieldDescriptor>(platform::toUtf8(name));
    if (!cls)
      throw EnxCompKeyDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                          {nxString(u"KeyFieldDescriptor"), name});
    const std::int32_t number = aReader.ReadInteger();
    Add(number, cls)->LoadFromReader(aReader);
  }
}

void TnxCompKeyDescriptor::CheckValid(bool aForBuild) {
  ckdKeyLen = -1;
  TnxBaseKeyDescriptor::CheckValid(aForBuild);
  if (ckdKeyFields.empty())
    throw EnxCompKeyDescriptorException(nxErrInvalidDesc, u"Composite key requires a minimum of one field");
  for (TnxKeyFieldDescriptor* f : ckdKeyFields) f->CheckValid(aForBuild);
  KeyLen();  // a key no key buffer can hold: 10004
}

bool TnxCompKeyDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* o = platform::objectAs<TnxCompKeyDescriptor>(aItem);
  if (!TnxBaseKeyDescriptor::IsEqual(aItem) || !o || o->KeyFieldCount() != KeyFieldCount()) return false;
  for (std::size_t i = 0; i < ckdKeyFields.size(); ++i)
    if (!ckdKeyFields[i]->IsEqual(o->ckdKeyFields[i])) return false;
  return true;
}

void TnxNoNullCompKeyDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxCompKeyDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
}

void TnxNoNullCompKeyDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxCompKeyDescriptor::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxNoNullCompKeyDescriptorException(nxErrIncompatibleStream);
}

void TnxNoNullCompKeyDescriptor::CheckValid(bool aForBuild) {
  TnxCompKeyDescriptor::CheckValid(aForBuild);
  for (std::int32_t i = 0; i < KeyFieldCount(); ++i) {
    TnxFieldDescriptor* f = KeyFields(i)->Field();
    if (!f || f->fdRequired) continue;
    if (f->fdType == nxtAutoInc || f->fdType == nxtRecRev || f->fdType == nxtRefNr) continue;
    TnxBaseDefaultValueDescriptor* d = f->DefaultValue();
    if (f->fdType == nxtInt64 && (platform::objectAs<TnxNextLSNDefaultValueDescriptor>(d) != nullptr)) continue;
    if (f->fdType == nxtGuid && (platform::objectAs<TnxAutoGuidDefaultValueDescriptor>(d) != nullptr)) continue;
    if ((platform::objectAs<TnxConstDefaultValueDescriptor>(d) != nullptr)) continue;
    throw EnxNoNullCompKeyDescriptorException(nxErrInvalidDesc, u"Field \"%s\" is not marked as required",
                                              {f->Name()});
  }
}

// ===========================================================================
// Index descriptors

namespace {
TnxFilesDescriptor* relatedFiles(TnxDictionaryItem* aItem) {
  TnxDictionaryItem* found = nullptr;
  if (!aItem->FindRelatedDescriptorOfType(TnxFilesDescriptor::staticClassInfo(), found, nullptr)) return nullptr;
  return platform::objectAs<TnxFilesDescriptor>(found);
}
}  // namespace

TnxClassList& TnxIndexDescriptor::GetList() { return gIndexDescriptorClasses; }

TnxIndexDescriptor::TnxIndexDescriptor(TnxPersistent* aParent, const nxString& aName, std::int32_t aFileNumber,
                                       const platform::ClassInfo* aKeyClass)
    : TnxDictionaryItem(aParent), idFileNumber(aFileNumber) {
  checkIdentifier<EnxIndexDescriptorException>(aName, nxErrInvalidIndexName, false);
  idName = aName;
  idSubscribedTo = relatedFiles(this);
  if (idSubscribedTo) idSubscribedTo->AddFileChangeNotify(this);
  try {
    idKeyDescriptor =
        TnxBaseKeyDescriptor::CreateOfClass(aKeyClass ? *aKeyClass : TnxCompKeyDescriptor::staticClassInfo(), this);
  } catch (...) {
    Unsubscribe();
    throw;
  }
}

TnxIndexDescriptor::~TnxIndexDescriptor() {
  nxFreeAndNil(idKeyDescriptor);
  Unsubscribe();
}

void TnxIndexDescriptor::beforeDestruction() {
  nxFreeAndNil(idKeyDescriptor);
  Unsubscribe();
  TnxDictionaryItem::beforeDestruction();
}

void TnxIndexDescriptor::Unsubscribe() noexcept {
  if (idSubscribedTo) std::exchange(idSubscribedTo, nullptr)->RemoveFileChangeNotify(this);
}

TnxIndexDescriptor* TnxIndexDescriptor::CreateStandalone(std::int32_t aNumber, const nxString& aName,
                                                         std::int32_t aFileNumber,
                                                         const platform::ClassInfo* aKeyClass,
                                                         const platform::ClassInfo* aClass) {
  const platform::ClassInfo& cls = aClass ? *aClass : staticClassInfo();
  const auto* funcs = cls.table<TnxIndexDescriptorClassFuncs>();
  if (!funcs || !cls.inheritsFrom(staticClassInfo()))
    throw EnxIndexDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                      {nxString(u"IndexDescriptor"), classNameText(cls)});
  TnxIndexDescriptor* result = funcs->create(nullptr, aName, aFileNumber, aKeyClass);
  result->idNumber = aNumber;
  return result;
}

TnxIndexDescriptor* TnxIndexDescriptor::CreateStandaloneFromReader(TnxReader& aReader) {
  const nxString indexName = aReader.ReadString();
  const platform::ClassInfo* indexClass = FindDescriptorClass<TnxIndexDescriptor>(platform::toUtf8(indexName));
  if (!indexClass)
    throw EnxIndexDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                      {nxString(u"IndexDescriptor"), indexName});
  const nxString keyName = aReader.ReadString();
  const platform::ClassInfo* keyClass = FindDescriptorClass<TnxBaseKeyDescriptor>(platform::toUtf8(keyName));
  if (!keyClass)
    throw EnxIndexDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                      {nxString(u"KeyDescriptor"), keyName});
  const std::int32_t number = aReader.ReadInteger();
  const nxString name = aReader.ReadString();
  const std::int32_t fileNumber = aReader.ReadInteger();
  TnxOwned<TnxIndexDescriptor> result(CreateStandalone(number, name, fileNumber, keyClass, indexClass));
  result->LoadFromReader(aReader);
  return result.release();
}

void TnxIndexDescriptor::SaveStandalone(TnxWriter& aWriter, std::int32_t aVersion) {
  aWriter.WriteString(classNameText(classInfo()));
  aWriter.WriteString(classNameText(idKeyDescriptor->classInfo()));
  aWriter.WriteInteger(idNumber);
  aWriter.WriteString(idName);
  aWriter.WriteInteger(idFileNumber);
  SaveToWriter(aWriter, aVersion);
}

TnxFileDescriptor* TnxIndexDescriptor::IndexFile() {
  TnxFilesDescriptor* files = relatedFiles(this);
  if (!files || idFileNumber < 0 || idFileNumber >= files->FileCount()) return nullptr;
  return files->Files(idFileNumber);
}

bool TnxIndexDescriptor::IsValidForTable(TnxDictionaryItem* aTable) {
  auto* files = static_cast<TnxFilesDescriptor*>(
      aTable->GetRelatedDescriptorOfType(TnxFilesDescriptor::staticClassInfo()));
  return idFileNumber >= 0 && idFileNumber < files->FileCount() && idKeyDescriptor->IsValidForTable(aTable);
}

TnxBaseKeyDescriptor* TnxIndexDescriptor::ReplaceKeyDescriptor(const platform::ClassInfo& aKeyClass) {
  CheckReadOnly();
  TnxBaseKeyDescriptor* key = TnxBaseKeyDescriptor::CreateOfClass(aKeyClass, this);
  nxFreeAndNil(idKeyDescriptor);
  idKeyDescriptor = key;
  return key;
}

void TnxIndexDescriptor::MakeIndexCacheable() {
  if (!platform::sameTextAscii(idName, u"Sequential Access Index")) {
    idDups = idAll;
    idIndexEngine = u"CacheKeylessBStarTree";
    return;
  }
  idDups = idNone;
  idIndexEngine = u"nx1xDefault";
  std::int32_t refNr = -1;
  if (TnxFieldsDescriptor* fields = relatedFields(this)) fields->HasRefNrField(refNr);
  nxFreeAndNil(idKeyDescriptor);
  auto* key = platform::create<TnxNoNullCompKeyDescriptor>(this);
  idKeyDescriptor = key;
  key->Add(refNr);
}

void TnxIndexDescriptor::HandleFileChange(bool aBefore, std::int32_t aOld, std::int32_t aNew) {
  if (aBefore) {
    if (aOld == idFileNumber && aNew < 0)
      throw EnxIndexDescriptorException(nxErrObjectInUse,
                                        u"Cannot remove file %d because it is still referenced by an index",
                                        {idFileNumber});
    return;
  }
  nxsdAdjustPosition(idFileNumber, aOld, aNew);
}

void TnxIndexDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  const std::int32_t version = idDups == idNull ? 2 : 1;
  // Older clients know no "duplicates only with NULL"; writing idAll or
  // idNone instead would change what the index accepts.
  if (version == 2 && aClientVersion < 20400) throw EnxIndexDescriptorException(nxErrIncompatibleVersion);
  aWriter.WriteInteger(version);
  aWriter.WriteString(idIndexEngine);
  aWriter.WriteString(idDesc);
  if (version == 1)
    aWriter.WriteBoolean(idDups == idAll);
  else
    aWriter.WriteInteger(std::int32_t{idDups});
  idKeyDescriptor->SaveToWriter(aWriter, aClientVersion);
}

void TnxIndexDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  const std::int32_t version = aReader.ReadInteger();
  if (version < 1 || version > 2) throw EnxIndexDescriptorException(nxErrIncompatibleStream);
  idIndexEngine = aReader.ReadString();
  idDesc = aReader.ReadString();
  if (version == 1) {
    idDups = aReader.ReadBoolean() ? idAll : idNone;
  } else {
    const std::int32_t dups = aReader.ReadInteger();
    if (dups < idNone || dups > idAll) throw EnxIndexDescriptorException(nxErrIncompatibleStream);
    idDups = static_cast<TnxIndexDups>(dups);
  }
  idKeyDescriptor->LoadFromReader(aReader);
}

void TnxIndexDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  checkIdentifier<EnxIndexDescriptorException>(idName, nxErrInvalidIndexName, false);
  if (TnxFilesDescriptor* files = relatedFiles(this))
    if (idFileNumber < 0 || idFileNumber >= files->FileCount())
      throw EnxIndexDescriptorException(nxErrInvalidDescNumber, u"Invalid file number: %d", {idFileNumber});
  idKeyDescriptor->CheckValid(aForBuild);
}

bool TnxIndexDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* o = platform::objectAs<TnxIndexDescriptor>(aItem);
  return TnxDictionaryItem::IsEqual(aItem) && o && idName == o->idName &&
         platform::sameTextAscii(idIndexEngine, o->idIndexEngine) && idDesc == o->idDesc && idFileNumber == o->idFileNumber &&
         idDups == o->idDups && idKeyDescriptor->IsEqual(o->idKeyDescriptor);
}

// ===========================================================================
// Start-up

void nxsdDataDictionaryKeysRegister() {
  TnxDescriptorClass<TnxRefKeyDescriptor>::Register();
  TnxDescriptorClass<TnxInt64KeyDescriptor>::Register();
  TnxDescriptorClass<TnxBlobCacheKeyDescriptor>::Register();
  TnxDescriptorClass<TnxCompKeyDescriptor>::Register();
  TnxDescriptorClass<TnxNoNullCompKeyDescriptor>::Register();
  TnxDescriptorClass<TnxKeyFieldDescriptor>::Register();
  TnxDescriptorClass<TnxTextKeyFieldDescriptor>::Register();
  TnxDescriptorClass<TnxExtTextKeyFieldDescriptor>::Register();
  TnxDescriptorClass<TnxIndexDescriptor>::Register();
}

void nxsdDataDictionaryKeysUnregister() {
  TnxDescriptorClass<TnxIndexDescriptor>::Unregister();
  TnxDescriptorClass<TnxExtTextKeyFieldDescriptor>::Unregister();
  TnxDescriptorClass<TnxTextKeyFieldDescriptor>::Unregister();
  TnxDescriptorClass<TnxKeyFieldDescriptor>::Unregister();
  TnxDescriptorClass<TnxNoNullCompKeyDescriptor>::Unregister();
  TnxDescriptorClass<TnxCompKeyDescriptor>::Unregister();
  TnxDescriptorClass<TnxBlobCacheKeyDescriptor>::Unregister();
  TnxDescriptorClass<TnxInt64KeyDescriptor>::Unregister();
  TnxDescriptorClass<TnxRefKeyDescriptor>::Unregister();
  nxFreeClassList(gKeyDescriptorClasses);
  nxFreeClassList(gKeyFieldDescriptorClasses);
  nxFreeClassList(gIndexDescriptorClasses);
}
