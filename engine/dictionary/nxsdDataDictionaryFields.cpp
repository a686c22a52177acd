#include "nxsdDataDictionaryInt.h"

#include <algorithm>
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

NX_IMPLEMENT_EXCEPTION(EnxFieldsDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxBaseDefaultValueDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxConstDefaultValueDescriptorException, EnxBaseDefaultValueDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxBaseFieldValidationDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxMinMaxValidationDescriptorException, EnxBaseFieldValidationDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxNoChangeValidationDescriptorException, EnxBaseFieldValidationDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxSqlCheckValidationDescriptorException, EnxBaseFieldValidationDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxFieldValidationsDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxFieldDescriptorException, EnxLocaleizedDictionaryItemException)

PL_CLASS_INFO_IMPL_TABLE(TnxBaseDefaultValueDescriptor, TnxDictionaryItem, "TnxBaseDefaultValueDescriptor", nullptr,
                         platform::bindClassTable(nxDefaultValueDescriptorFuncs<TnxBaseDefaultValueDescriptor>))
#define NX_DEFAULT_CLASS(C)                                                                          \
  PL_CLASS_INFO_IMPL_TABLE(C, TnxBaseDefaultValueDescriptor, #C, nullptr, \
                           platform::bindClassTable(nxDefaultValueDescriptorFuncs<C>))
NX_DEFAULT_CLASS(TnxConstDefaultValueDescriptor)
NX_DEFAULT_CLASS(TnxCurrentDateTimeDefaultValueDescriptor)
NX_DEFAULT_CLASS(TnxCurrentUserDefaultValueDescriptor)
NX_DEFAULT_CLASS(TnxAutoGuidDefaultValueDescriptor)
NX_DEFAULT_CLASS(TnxEmptyDefaultValueDescriptor)
NX_DEFAULT_CLASS(TnxNextLSNDefaultValueDescriptor)
#undef NX_DEFAULT_CLASS
PL_CLASS_INFO_IMPL_TABLE(TnxFieldsDescriptor, TnxDictionaryItem, "TnxFieldsDescriptor", nullptr,
                         platform::bindClassTable(nxFieldsDescriptorFuncs<TnxFieldsDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxFieldDescriptor, TnxLocalizedDictionaryItem, "TnxFieldDescriptor", nullptr,
                         platform::bindClassTable(nxFieldDescriptorFuncs<TnxFieldDescriptor>))

namespace {

// The registries of the families of this file.
TnxClassList gDefaultValueDescriptorClasses = nullptr;
TnxClassList gFieldDescriptorClasses = nullptr;
TnxClassList gFieldsDescriptorClasses = nullptr;

}  // namespace

// ===========================================================================
// Default values

namespace {

nxString fieldTypeName(TnxFieldType aType) {
  return aType < nxFieldTypeCount ? nxString(nxFieldTypeNames[aType]) : nxString();
}

[[noreturn]] void raiseNotForFieldType(const platform::ClassInfo& aClass, TnxFieldType aType) {
  throw EnxBaseDefaultValueDescriptorException(nxErrInvalidFieldDesc,
                                               u"\"%s\" is not supported for field type \"%s\"",
                                               {classNameText(aClass), fieldTypeName(aType)});
}

// No default of any class goes on a BLOB field.
TnxPersistent* checkedDefaultParent(TnxPersistent* aParent, const platform::ClassInfo& aClass) {
  if (auto* field = platform::objectAs<TnxFieldDescriptor>(aParent))
    if (nxFieldTypeIn(field->fdType, nxBlobFieldTypes)) raiseNotForFieldType(aClass, field->fdType);
  return aParent;
}

}  // namespace

TnxBaseDefaultValueDescriptor::TnxBaseDefaultValueDescriptor(TnxPersistent* aParent)
    : TnxDictionaryItem(checkedDefaultParent(aParent, staticClassInfo())) {}

TnxClassList& TnxBaseDefaultValueDescriptor::GetList() { return gDefaultValueDescriptorClasses; }

TnxBaseDefaultValueDescriptor* TnxBaseDefaultValueDescriptor::CreateOfClass(const platform::ClassInfo& aClass,
                                                                            TnxPersistent* aParent) {
  const auto* funcs = aClass.table<TnxDefaultValueDescriptorClassFuncs>();
  if (!funcs || !aClass.inheritsFrom(staticClassInfo()))
    throw EnxBaseDefaultValueDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                                 {nxString(u"DefaultValueDescriptor"), classNameText(aClass)});
  checkedDefaultParent(aParent, aClass);
  return funcs->create(aParent);
}

TnxFieldDescriptor* TnxBaseDefaultValueDescriptor::Field() const {
  TnxPersistent* p = nullptr;
  return FindParentOfType(TnxFieldDescriptor::staticClassInfo(), p) ? static_cast<TnxFieldDescriptor*>(p) : nullptr;
}

void TnxBaseDefaultValueDescriptor::SetApplyAt(TnxApplyAtSet aValue) {
  CheckReadOnly();
  bdvApplyAt = aValue & nxApplyAtBoth;
}
void TnxBaseDefaultValueDescriptor::SetApplyOnInsert(bool aValue) {
  CheckReadOnly();
  bdvApplyOnInsert = aValue;
}
void TnxBaseDefaultValueDescriptor::SetApplyOnModify(bool aValue) {
  CheckReadOnly();
  bdvApplyOnModify = aValue;
}
void TnxBaseDefaultValueDescriptor::SetOverwriteNonNull(bool aValue) {
  CheckReadOnly();
  bdvOverwriteNonNull = aValue;
}

void TnxBaseDefaultValueDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  const bool old = aClientVersion < nxOldDictionaryClientVersion;
  if (old && !(bdvApplyOnInsert && !bdvApplyOnModify && !bdvOverwriteNonNull && bdvApplyAt == nxApplyAtBoth))
    throw EnxBaseDefaultValueDescriptorException(nxErrIncompatibleVersion);
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  if (old) return;
  aWriter.WriteIdent(u"BDVD");
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteBoolean(bdvApplyOnInsert);
  aWriter.WriteBoolean(bdvApplyOnModify);
  aWriter.WriteBoolean(bdvOverwriteNonNull);
  aWriter.WriteBoolean((bdvApplyAt & nxApplyAtBit(aaServer)) != 0);
  aWriter.WriteBoolean((bdvApplyAt & nxApplyAtBit(aaClient)) != 0);
}

void TnxBaseDefaultValueDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  if (aReader.NextValue() != vaIdent) {
    bdvApplyAt = nxApplyAtBoth;
    bdvApplyOnInsert = true;
    bdvApplyOnModify = false;
    bdvOverwriteNonNull = false;
    return;
  }
  if (aReader.ReadIdent() != u"BDVD" || aReader.ReadInteger() != 1)
    throw EnxBaseDefaultValueDescriptorException(nxErrIncompatibleStream);
  bdvApplyOnInsert = aReader.ReadBoolean();
  bdvApplyOnModify = aReader.ReadBoolean();
  bdvOverwriteNonNull = aReader.ReadBoolean();
  TnxApplyAtSet at = 0;
  if (aReader.ReadBoolean()) at |= nxApplyAtBit(aaServer);
  if (aReader.ReadBoolean()) at |= nxApplyAtBit(aaClient);
  bdvApplyAt = at;
}

void TnxBaseDefaultValueDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  if (TnxFieldDescriptor* field = Field())
    if (nxFieldTypeIn(field->fdType, GetInvalidFieldTypes())) raiseNotForFieldType(classInfo(), field->fdType);
}

bool TnxBaseDefaultValueDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = platform::objectAs<TnxBaseDefaultValueDescriptor>(aItem);
  return other && bdvApplyAt == other->bdvApplyAt && bdvApplyOnInsert == other->bdvApplyOnInsert &&
         bdvApplyOnModify == other->bdvApplyOnModify && bdvOverwriteNonNull == other->bdvOverwriteNonNull;
}

TnxConstDefaultValueDescriptor::TnxConstDefaultValueDescriptor(TnxPersistent* aParent)
    : TnxBaseDefaultValueDescriptor(aParent) {
  TnxFieldDescriptor& field = RelatedField();
  cdvFieldType = field.fdType;
  cdvFieldCodePage = field.UsedStorageCodePage();
  cdvFieldUnits = field.fdUnits;
  cdvFieldDecPl = field.fdDecPl;
  cdvFieldLength = field.fdLength;
  cdvDefaultValue.assign(static_cast<std::size_t>(field.fdLength > 0 ? field.fdLength : 0), 0);
}

TnxFieldDescriptor& TnxConstDefaultValueDescriptor::RelatedField() const {
  return *static_cast<TnxFieldDescriptor*>(GetParentOfType(TnxFieldDescriptor::staticClassInfo()));
}

void TnxConstDefaultValueDescriptor::FitToField(bool aConvert) {
  TnxFieldDescriptor& field = RelatedField();
  const std::uint16_t cp = field.UsedStorageCodePage();
  if (field.fdType == cdvFieldType && cp == cdvFieldCodePage && field.fdUnits == cdvFieldUnits &&
      field.fdDecPl == cdvFieldDecPl && field.fdLength == cdvFieldLength)
    return;
  std::vector<std::uint8_t> old(static_cast<std::size_t>(field.fdLength > 0 ? field.fdLength : 0), 0);
  old.swap(cdvDefaultValue);
  const TnxFieldType oldType = cdvFieldType;
  const std::uint16_t oldCp = cdvFieldCodePage;
  const std::int32_t oldUnits = cdvFieldUnits, oldDecPl = cdvFieldDecPl;
  cdvFieldType = field.fdType;
  cdvFieldCodePage = cp;
  cdvFieldUnits = field.fdUnits;
  cdvFieldDecPl = field.fdDecPl;
  cdvFieldLength = field.fdLength;
  if (!aConvert) return;
  try {
    platform::Variant value;
    nxFieldBufferToVariant(oldType, oldCp, oldUnits, oldDecPl, old.data(), old.size(), value);
    field.fdSetBufferAsVariant(cdvDefaultValue.data(), value);
  } catch (const platform::OutOfMemory&) {
    throw;
  } catch (...) {
    throw EnxConstDefaultValueDescriptorException(nxErrInvalidFieldXform, u"Invalid field transformation.");
  }
}

platform::Variant TnxConstDefaultValueDescriptor::AsVariant() {
  FitToField(true);
  return RelatedField().fdGetBufferAsVariant(cdvDefaultValue.data());
}

void TnxConstDefaultValueDescriptor::SetAsVariant(const platform::Variant& aValue) {
  CheckReadOnly();
  FitToField(false);
  RelatedField().fdSetBufferAsVariant(cdvDefaultValue.data(), aValue);
}

void TnxConstDefaultValueDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseDefaultValueDescriptor::SaveToWriter(aWriter, aClientVersion);
  FitToField(true);
  aWriter.WriteInteger(std::int32_t{1});
  if (!cdvDefaultValue.empty())
    aWriter.Write(cdvDefaultValue.data(), static_cast<std::int32_t>(cdvDefaultValue.size()));
}

void TnxConstDefaultValueDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseDefaultValueDescriptor::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxConstDefaultValueDescriptorException(nxErrIncompatibleStream);
  if (!cdvDefaultValue.empty())
    aReader.Read(cdvDefaultValue.data(), static_cast<std::int32_t>(cdvDefaultValue.size()));
}

bool TnxConstDefaultValueDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseDefaultValueDescriptor::IsEqual(aItem)) return false;
  const auto* other = platform::objectAs<TnxConstDefaultValueDescriptor>(aItem);
  return other && cdvDefaultValue == other->cdvDefaultValue;
}

TnxFieldTypes TnxCurrentDateTimeDefaultValueDescriptor::GetInvalidFieldTypes() const {
  return ~(nxFieldTypeBit(nxtDate) | nxFieldTypeBit(nxtTime) | nxFieldTypeBit(nxtDateTime));
}

TnxFieldTypes TnxCurrentUserDefaultValueDescriptor::GetInvalidFieldTypes() const { return ~nxStringFieldTypes; }

TnxFieldTypes TnxAutoGuidDefaultValueDescriptor::GetInvalidFieldTypes() const { return ~nxFieldTypeBit(nxtGuid); }

TnxFieldTypes TnxEmptyDefaultValueDescriptor::GetInvalidFieldTypes() const {
  return nxFieldTypeBit(nxtDate) | nxFieldTypeBit(nxtTime) | nxFieldTypeBit(nxtDateTime) |
         nxFieldTypeBit(nxtInterval) | nxFieldTypeBit(nxtBlob) | nxFieldTypeBit(nxtBlobMemo) |
         nxFieldTypeBit(nxtBlobGraphic);
}

TnxNextLSNDefaultValueDescriptor::TnxNextLSNDefaultValueDescriptor(TnxPersistent* aParent)
    : TnxBaseDefaultValueDescriptor(aParent) {
  bdvApplyAt = nxApplyAtBit(aaServer);
  bdvApplyOnInsert = true;
  bdvApplyOnModify = true;
  bdvOverwriteNonNull = true;
}

TnxFieldTypes TnxNextLSNDefaultValueDescriptor::GetInvalidFieldTypes() const { return ~nxFieldTypeBit(nxtInt64); }

void TnxNextLSNDefaultValueDescriptor::SetApplyAt(TnxApplyAtSet) {
  CheckReadOnly();
  bdvApplyAt = nxApplyAtBit(aaServer);
}
void TnxNextLSNDefaultValueDescriptor::SetApplyOnInsert(bool) {
  CheckReadOnly();
  bdvApplyOnInsert = true;
}
void TnxNextLSNDefaultValueDescriptor::SetOverwriteNonNull(bool) {
  CheckReadOnly();
  bdvOverwriteNonNull = true;
}

// ===========================================================================
// TnxFieldDescriptor

bool nxsdFieldTypeFromName(const nxString& aName, TnxFieldType& aType) {
  for (int i = 0; i < nxFieldTypeCount; ++i)
    if (nxFieldTypeNames[static_cast<std::size_t>(i)] == aName) {
      aType = static_cast<TnxFieldType>(i);
      return true;
    }
  return false;
}

namespace {

nxString lowerAscii(const nxString& s) {
  nxString r = s;
  for (char16_t& c : r)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  return r;
}

}  // namespace

const nxString& TnxFieldDescriptor::CheckedName(const nxString& aName) {
  checkIdentifier<EnxFieldDescriptorException>(aName, nxErrInvalidFieldName, false);
  return aName;
}

TnxFieldDescriptor::TnxFieldDescriptor(TnxPersistent* aParent, const nxString& aName, const nxString& aDesc,
                                       TnxFieldType aType, std::int32_t aUnits, std::int32_t aDecPl,
                                       bool aRequired)
    : TnxLocalizedDictionaryItem((CheckedName(aName), aParent)),
      fdName(aName),
      fdNameLowerCase(lowerAscii(aName)),
      fdDesc(aDesc),
      fdType(aType),
      fdUnits(aUnits),
      fdDecPl(aDecPl),
      fdRequired(aRequired) {
  SetupField(fdType, fdUnits, fdDecPl, fdRequired, fdLength);
}

TnxFieldDescriptor::~TnxFieldDescriptor() {
  nxFreeAndNil(fdDefaultValue);
  nxFreeAndNil(fdValidations);
}

void TnxFieldDescriptor::beforeDestruction() {
  nxFreeAndNil(fdDefaultValue);
  nxFreeAndNil(fdValidations);
  TnxLocalizedDictionaryItem::beforeDestruction();
}

TnxClassList& TnxFieldDescriptor::GetList() { return gFieldDescriptorClasses; }

TnxFieldDescriptor* TnxFieldDescriptor::CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent,
                                                      const nxString& aName, const nxString& aDesc,
                                                      TnxFieldType aType, std::int32_t aUnits, std::int32_t aDecPl,
                                                      bool aRequired) {
  const auto* funcs = aClass.table<TnxFieldDescriptorClassFuncs>();
  if (!funcs || !aClass.inheritsFrom(staticClassInfo()))
    throw EnxFieldDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                      {nxString(u"FieldDescriptor"), classNameText(aClass)});
  return funcs->create(aParent, aName, aDesc, aType, aUnits, aDecPl, aRequired);
}

void TnxFieldDescriptor::SetupField(TnxFieldType aType, std::int32_t& aUnits, std::int32_t& aDecPl,
                                    bool& aRequired, std::int32_t& aLength) {
  if (aType >= nxFieldTypeCount) return;
  std::int32_t units = aUnits, decPl = aDecPl;
  bool required = aRequired;
  const std::int64_t length = nxFieldTypeSetup(aType, units, decPl, required);
  if (length < 0) throw EnxFieldDescriptorException(nxErrInvalidFieldDesc, u"Units must be > 0");
  if (length > nxMaxRecordBufferSize)
    throw EnxFieldDescriptorException(nxErrInvalidFieldDesc, u"Units of %d are too large for a field of type %s",
                                      {aUnits, nxString(nxFieldTypeNames[aType])});
  aUnits = units;
  aDecPl = decPl;
  aRequired = required;
  aLength = static_cast<std::int32_t>(length);
}

std::int32_t TnxFieldDescriptor::QueryInterface(const platform::Guid& aIID, void** aObj) {
  if (aIID == InxFieldDescriptor::IID) {
    *aObj = static_cast<InxFieldDescriptor*>(this);
    return nxS_OK;
  }
  return TnxLocalizedDictionaryItem::QueryInterface(aIID, aObj);
}

void TnxFieldDescriptor::UpdateSetup() { SetupField(fdType, fdUnits, fdDecPl, fdRequired, fdLength); }

TnxBaseDefaultValueDescriptor* TnxFieldDescriptor::AddDefaultValue(const platform::ClassInfo* aClass) {
  CheckReadOnly();
  nxFreeAndNil(fdDefaultValue);
  fdDefaultValue = TnxBaseDefaultValueDescriptor::CreateOfClass(
      aClass ? *aClass : TnxConstDefaultValueDescriptor::staticClassInfo(), this);
  return fdDefaultValue;
}

void TnxFieldDescriptor::RemoveDefaultValue() {
  CheckReadOnly();
  nxFreeAndNil(fdDefaultValue);
}

platform::Variant TnxFieldDescriptor::fdGetBufferAsVariant(const void* aFieldBuffer) {
  platform::Variant result;
  if (!aFieldBuffer) return platform::Variant::null();
  nxFieldBufferToVariant(fdType, UsedStorageCodePage(), fdUnits, fdDecPl, aFieldBuffer,
                         static_cast<std::size_t>(fdLength), result);
  return result;
}

void TnxFieldDescriptor::fdSetBufferAsVariant(void* aFieldBuffer, const platform::Variant& aValue) {
  const auto length = static_cast<std::size_t>(fdLength > 0 ? fdLength : 0);
  if (aValue.isNullOrEmpty()) {
    std::memset(aFieldBuffer, 0, length);
    return;
  }
  try {
    nxVariantToFieldBuffer(fdType, UsedStorageCodePage(), fdUnits, fdDecPl, aValue, aFieldBuffer, length);
  } catch (...) {
    std::memset(aFieldBuffer, 0, length);
    throw;
  }
}

nxString TnxFieldDescriptor::ToString() const {
  nxString result;
  result.append(u"[").append(intText(fdNumber)).append(u"] ").append(fdName).append(u" - ");
  const nxString type = fieldTypeName(fdType);
  result.append(type.size() > 3 ? type.substr(3) : type);
  if (fdType == nxtByteArray || fdType == nxtFmtBCD || nxFieldTypeIn(fdType, nxStringFieldTypes)) {
    result.append(u"(").append(intText(fdUnits));
    if (fdType == nxtFmtBCD) result.append(u",").append(intText(fdDecPl));
    result.append(u")");
  }
  return result;
}

void TnxFieldDescriptor::MakeFieldCacheable() {
  if (!platform::objectAs<TnxNextLSNDefaultValueDescriptor>(fdDefaultValue)) RemoveDefaultValue();
  RemoveValidations();
}

void TnxFieldDescriptor::Clear(bool aNotify) {
  TnxLocalizedDictionaryItem::Clear(aNotify);
  // A copied stream without these parts must not leave the old ones behind.
  nxFreeAndNil(fdDefaultValue);
  nxFreeAndNil(fdValidations);
  RemoveLocaleDescriptor();
}

bool TnxFieldDescriptor::FindRelatedDescriptorOfType(const platform::ClassInfo& aType,
                                                     TnxDictionaryItem*& aDescriptor, TnxDictionaryItem* aFrom) {
  if (aType.inheritsFrom(TnxBaseDefaultValueDescriptor::staticClassInfo())) {
    aDescriptor = fdDefaultValue;
    return true;
  }
  if (aType.inheritsFrom(TnxFieldValidationsDescriptor::staticClassInfo())) {
    aDescriptor = fdValidations && fdValidations->inheritsFrom(aType) ? fdValidations : nullptr;
    return true;
  }
  return TnxLocalizedDictionaryItem::FindRelatedDescriptorOfType(aType, aDescriptor, aFrom);
}

void TnxFieldDescriptor::SaveHeader(TnxWriter& aWriter, std::int32_t aClientVersion) {
  aWriter.WriteString(classNameText(classInfo()));
  aWriter.WriteString(fdName);
  aWriter.WriteString(fdDesc);
  if (fdType == nxtRefNr && aClientVersion < 47005) {
    aWriter.WriteString(nxFieldTypeNames[nxtInt64]);
    nxsdSetStrippedInformation(true);
  } else {
    aWriter.WriteString(fieldTypeName(fdType));
  }
  aWriter.WriteInteger(fdUnits);
  aWriter.WriteInteger(fdDecPl);
  aWriter.WriteBoolean(fdRequired);
}

TnxFieldDescriptor* nxsdReadFieldHeader(TnxReader& aReader, TnxPersistent* aParent) {
  const nxString className = aReader.ReadString();
  const platform::ClassInfo* cls = TnxDictionaryItem::FindDescriptorClass<TnxFieldDescriptor>(platform::toUtf8(className));
  if (!cls)
    throw EnxFieldDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                      {nxString(u"FieldDescriptor"), className});
  const nxString name = aReader.ReadString();
  const nxString desc = aReader.ReadString();
  TnxFieldType type{};
  if (!nxsdFieldTypeFromName(aReader.ReadString(), type)) throw EnxFieldDescriptorException(nxErrIncompatibleStream);
  const std::int32_t units = aReader.ReadInteger();
  const std::int32_t decPl = aReader.ReadInteger();
  const bool required = aReader.ReadBoolean();
  {
    std::int32_t u = units, d = decPl;
    bool r = required;
    if (!nxFieldLengthFits(nxFieldTypeSetup(type, u, d, r))) throw EnxFieldDescriptorException(nxErrIncompatibleStream);
  }
  return TnxFieldDescriptor::CreateOfClass(*cls, aParent, name, desc, type, units, decPl, required);
}

void TnxFieldDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  const bool old = aClientVersion < nxOldDictionaryClientVersion;
  if (old && (LocaleDescriptor() || fdValidations)) throw EnxFieldDescriptorException(nxErrIncompatibleVersion);
  TnxLocalizedDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  const std::int32_t version = old ? 1 : 3;
  aWriter.WriteInteger(version);
  aWriter.WriteInteger(fdOffset);
  aWriter.WriteInteger(fdLength);
  aWriter.WriteBoolean(fdDefaultValue != nullptr);
  if (fdDefaultValue) {
    aWriter.WriteString(classNameText(fdDefaultValue->classInfo()));
    fdDefaultValue->SaveToWriter(aWriter, aClientVersion);
  }
  aWriter.WriteBoolean(fdNoClientAccess);
  if (version >= 2) SaveLocaleToWriter(aWriter, aClientVersion);
  if (version >= 3) nxsdSaveValidations(fdValidations, aWriter, aClientVersion);
}

void TnxFieldDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxLocalizedDictionaryItem::LoadFromReader(aReader);
  const std::int32_t version = aReader.ReadInteger();
  if (version < 1 || version > 3) throw EnxFieldDescriptorException(nxErrIncompatibleStream);
  const std::int32_t offset = aReader.ReadInteger();
  const std::int32_t length = aReader.ReadInteger();
  // The length sizes a constant default below and the record layout later.
  if (!nxFieldLengthFits(length) || offset < 0 || offset > nxMaxRecordBufferSize)
    throw EnxFieldDescriptorException(nxErrIncompatibleStream);
  fdOffset = offset;
  fdLength = length;
  if (aReader.ReadBoolean()) {
    const nxString name = aReader.ReadString();
    const platform::ClassInfo* cls = FindDescriptorClass<TnxBaseDefaultValueDescriptor>(platform::toUtf8(name));
    if (!cls)
      throw EnxFieldDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                        {nxString(u"DefaultValueDescriptor"), name});
    AddDefaultValue(cls)->LoadFromReader(aReader);
  }
  fdNoClientAccess = aReader.ReadBoolean();
  if (version >= 2) LoadLocaleFromReader(aReader);
  nxFreeAndNil(fdValidations);
  if (version >= 3 && aReader.ReadBoolean()) {
    const nxString name = aReader.ReadString();
    const platform::ClassInfo* cls = nxsdFindValidationsClass(name, TnxFieldValidationsDescriptor::staticClassInfo());
    if (!cls)
      throw EnxFieldDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                        {nxString(u"ValidationsDescriptor"), name});
    AddValidations(cls)->LoadFromReader(aReader);
  }
}

TnxFieldDescriptor* TnxFieldDescriptor::CreateStandaloneFromReader(TnxReader& aReader) {
  if (aReader.ReadInteger() != 1) throw EnxFieldDescriptorException(nxErrIncompatibleStream);
  TnxOwned<TnxFieldDescriptor> field(nxsdReadFieldHeader(aReader, nullptr));
  field->LoadFromReader(aReader);
  return field.release();
}

void TnxFieldDescriptor::SaveStandalone(TnxWriter& aWriter, std::int32_t aVersion) {
  if (fdType == nxtRefNr && aVersion < 47005) throw EnxFieldDescriptorException(nxErrIncompatibleVersion);
  aWriter.WriteInteger(std::int32_t{1});
  SaveHeader(aWriter, aVersion);
  SaveToWriter(aWriter, aVersion);
}

void TnxFieldDescriptor::CheckValid(bool aForBuild) {
  TnxLocalizedDictionaryItem::CheckValid(aForBuild);
  checkIdentifier<EnxFieldDescriptorException>(fdName, nxErrInvalidFieldName, false);
  std::int32_t units = fdUnits, decPl = fdDecPl, length = fdLength;
  bool required = fdRequired;
  SetupField(fdType, units, decPl, required, length);
  const auto wrong = [this](const char16_t* aWhat, std::int32_t aExpected, std::int32_t aFound) {
    nxString text(aWhat);
    text.append(u" is wrong for field %d (%s). Expected %d found %d.");
    throw EnxFieldDescriptorException(nxErrInvalidRecordStruct, text,
                                      {fdNumber, fdName, aExpected, aFound});
  };
  if (units != fdUnits) wrong(u"fdUnits", units, fdUnits);
  if (decPl != fdDecPl) wrong(u"fdDecPl", decPl, fdDecPl);
  if (required != fdRequired)
    throw EnxFieldDescriptorException(nxErrInvalidRecordStruct,
                                      u"fdRequired is wrong for field %d (%s). Expected %s found %s.",
                                      {fdNumber, fdName, nxString(required ? u"True" : u"False"),
                                       nxString(fdRequired ? u"True" : u"False")});
  if (length != fdLength) wrong(u"fdLength", length, fdLength);
  if (fdDefaultValue) fdDefaultValue->CheckValid(aForBuild);
  if (fdValidations) fdValidations->CheckValid(aForBuild);
  if (fdType == nxtInterval)
    throw EnxFieldDescriptorException(nxErrInvalidFieldDesc, u"Interval is not supported as a field type");
  if ((fdType == nxtByteArray || nxFieldTypeIn(fdType, nxStringFieldTypes)) && fdUnits <= 0)
    throw EnxFieldDescriptorException(nxErrInvalidFieldDesc, u"Units must be > 0");
}

bool TnxFieldDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxLocalizedDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = platform::objectAs<TnxFieldDescriptor>(aItem);
  if (!other || fdName != other->fdName || fdDesc != other->fdDesc) return false;
  if (fdType >= nxFieldTypeCount || other->fdType >= nxFieldTypeCount ||
      !nxFieldTypeStorageCompatible[other->fdType][fdType])
    return false;
  if (fdUnits != other->fdUnits || fdDecPl != other->fdDecPl || fdOffset != other->fdOffset ||
      fdLength != other->fdLength || fdRequired != other->fdRequired || fdNoClientAccess != other->fdNoClientAccess)
    return false;
  if (!nxsdBothOrEqual(fdValidations, other->fdValidations)) return false;
  return nxsdBothOrEqual(fdDefaultValue, other->fdDefaultValue);
}


void TnxFieldDescriptor::ChangeName(const nxString& aNewName) {
  CheckReadOnly();
  checkIdentifier<EnxFieldDescriptorException>(aNewName, nxErrInvalidFieldName, false);
  auto* fields = static_cast<TnxFieldsDescriptor*>(GetParentOfType(TnxFieldsDescriptor::staticClassInfo()));
  if (fields->GetFieldFromName(aNewName) >= 0)
    throw EnxFieldDescriptorException(nxErrNameNotUnique, u"Duplicated field name: %s", {aNewName});
  fdName = aNewName;
  fdNameLowerCase = lowerAscii(aNewName);
}

// ===========================================================================
// TnxFieldsDescriptor

namespace {

constexpr std::int32_t roundUp4(std::int32_t v) { return (v + 3) / 4 * 4; }

[[noreturn]] void raiseFieldIndex(std::int32_t aIndex) {
  throw EnxFieldsDescriptorException(nxErrInvalidDescNumber, u"Index out of bounds: %d", {aIndex});
}

}  // namespace

TnxFieldsDescriptor::TnxFieldsDescriptor(TnxPersistent* aParent) : TnxDictionaryItem(aParent) {}

TnxFieldsDescriptor::~TnxFieldsDescriptor() {
  nxFreeAndNil(fsdValidations);
  FreeFields();
  nxReleaseSpecialFieldsInfo(fsdCachedSpecialFieldsInfo);
  ReleaseCachedDiffCompressorInfo();
}

void TnxFieldsDescriptor::beforeDestruction() {
  nxFreeAndNil(fsdValidations);
  TnxDictionaryItem::beforeDestruction();
  fsdFieldHashList.clear();
  FreeFields();
}

void TnxFieldsDescriptor::FreeFields() noexcept {
  std::vector<TnxFieldDescriptor*> fields;
  fields.swap(FieldDescriptor);
  fsdFieldHashList.clear();
  for (TnxFieldDescriptor* f : fields) platform::TObject::free(f);
}

TnxClassList& TnxFieldsDescriptor::GetList() { return gFieldsDescriptorClasses; }

TnxFieldsDescriptor* TnxFieldsDescriptor::CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent) {
  const auto* funcs = aClass.table<TnxFieldsDescriptorClassFuncs>();
  if (!funcs || !aClass.inheritsFrom(staticClassInfo()))
    throw EnxFieldsDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                       {nxString(u"FieldsDescriptor"), classNameText(aClass)});
  return funcs->create(aParent);
}

std::int32_t TnxFieldsDescriptor::RecordLength() const {
  if (CacheActive()) return fsdCachedGetRecordLength;
  return roundUp4(fsdLogRecLen) + 4 * ((FieldCount() + 31) / 32);
}

TnxMemoryPool TnxFieldsDescriptor::RecordAllocator() const {
  if (CacheActive()) return fsdRecordAllocator;
  return nxGetPool(static_cast<std::size_t>(RecordLength()) + 4);
}

std::int32_t TnxFieldsDescriptor::OriginalFieldCount() {
  if (HasCustomStrings()) {
    const nxString v = CustomStrings().values(u"OriginalFieldCount");
    if (!v.empty()) {
      try {
        return std::stoi(platform::toUtf8(v));
      } catch (const std::exception&) {
      }
    }
  }
  return FieldCount();
}

void TnxFieldsDescriptor::SetOriginalFieldCount(std::int32_t aValue) {
  CheckReadOnly();
  CustomStrings().setValue(u"OriginalFieldCount", aValue ? intText(aValue) : nxString());
}

void TnxFieldsDescriptor::RangeCheck(std::int32_t aField) const {
  if (aField < 0 || aField >= FieldCount()) raiseFieldIndex(aField);
}

void TnxFieldsDescriptor::InitRecord(void* aData) const {
  if (!aData || FieldDescriptor.empty()) return;
  auto* p = static_cast<std::uint8_t*>(aData);
  std::memset(p, 0, static_cast<std::size_t>(RecordLength()));
  std::memset(p + fsdLogRecLenAlign, 0xFF, static_cast<std::size_t>((FieldCount() + 7) / 8));
}

bool TnxFieldsDescriptor::IsRecordFieldNull(std::int32_t aField, const void* aData) const {
  RangeCheck(aField);
  return !aData || IsRecordFieldNullFast(aField, aData);
}

void TnxFieldsDescriptor::SetRecordFieldNull(std::int32_t aField, void* aData, bool aIsNull) const {
  RangeCheck(aField);
  std::uint8_t& bits = static_cast<std::uint8_t*>(aData)[fsdLogRecLenAlign + (aField >> 3)];
  const auto mask = static_cast<std::uint8_t>(1u << (aField & 7));
  if (aIsNull) {
    bits |= mask;
    std::memset(FieldAddress(aField, aData), 0, static_cast<std::size_t>(Fields(aField)->fdLength));
  } else {
    bits &= static_cast<std::uint8_t>(~mask);
  }
}

void TnxFieldsDescriptor::SetRecordField(std::int32_t aField, void* aData, const void* aValue) const {
  RangeCheck(aField);
  if (!aValue) return SetRecordFieldNull(aField, aData, true);
  SetRecordFieldNull(aField, aData, false);
  std::memcpy(FieldAddress(aField, aData), aValue, static_cast<std::size_t>(Fields(aField)->fdLength));
}

void TnxFieldsDescriptor::GetRecordField(std::int32_t aField, const void* aData, bool& aIsNull,
                                         void* aValue) const {
  RangeCheck(aField);
  aIsNull = !aData || IsRecordFieldNullFast(aField, aData);
  if (!aIsNull && aValue)
    std::memcpy(aValue, FieldAddress(aField, const_cast<void*>(aData)),
                static_cast<std::size_t>(Fields(aField)->fdLength));
}

bool TnxFieldsDescriptor::GetRecordFieldForFilter(std::int32_t aField, const void* aData, TnxFieldType& aType,
                                                  std::int32_t& aSize, const void*& aValue) const {
  if (aField < 0 || aField >= FieldCount()) return false;
  const TnxFieldDescriptor* f = Fields(aField);
  aType = f->fdType;
  aSize = f->fdLength;
  const bool isNull = !aData || IsRecordFieldNullFast(aField, aData);
  aValue = isNull ? nullptr : FieldAddress(aField, const_cast<void*>(aData));
  return !isNull;
}

const void* TnxFieldsDescriptor::GetRecordFieldForFilter(std::int32_t aField, const void* aData) const {
  if (!aData || IsRecordFieldNullFast(aField, aData)) return nullptr;
  return FieldAddress(aField, const_cast<void*>(aData));
}

std::int32_t TnxFieldsDescriptor::QueryInterface(const platform::Guid& aIID, void** aObj) {
  if (aIID == InxFieldsSource::IID) {
    *aObj = static_cast<InxFieldsSource*>(this);
    return nxS_OK;
  }
  return TnxDictionaryItem::QueryInterface(aIID, aObj);
}

InxFieldDescriptor* TnxFieldsDescriptor::GetFieldDescriptor(std::int32_t aIndex) {
  if (aIndex < 0 || aIndex >= FieldCount()) return nullptr;
  return Fields(aIndex);
}

bool TnxFieldsDescriptor::GetFieldForFilter(std::int32_t aField, const char* /*aName*/, const void* aData,
                                            std::uint16_t& aType, std::uint16_t& aSize, bool& aIsNull,
                                            const void*& aValue, std::uint16_t& aCodePage) {
  if (aField < 0 || aField >= FieldCount()) return false;
  TnxFieldDescriptor* f = Fields(aField);
  aIsNull = !aData || IsRecordFieldNullFast(aField, aData);
  aType = f->fdType;
  aSize = static_cast<std::uint16_t>(f->fdUnits);
  aCodePage = f->UsedStorageCodePage();
  aValue = aData ? FieldAddress(aField, const_cast<void*>(aData)) : nullptr;
  if (f->fdType == nxtShortString && aData) {
    // A damaged length byte must not send the filter past the field.
    const auto* p = static_cast<const std::uint8_t*>(aValue);
    aSize = std::min<std::uint16_t>(p[0], static_cast<std::uint16_t>(f->fdUnits));
    aValue = p + 1;
  }
  return true;
}

platform::Variant TnxFieldsDescriptor::fsdGetFieldByIndexAsVariant(const void* aRecordBuffer, std::int32_t aIndex) {
  RangeCheck(aIndex);
  if (!aRecordBuffer || IsRecordFieldNullFast(aIndex, aRecordBuffer)) return platform::Variant::null();
  return Fields(aIndex)->fdGetBufferAsVariant(FieldAddress(aIndex, const_cast<void*>(aRecordBuffer)));
}

void TnxFieldsDescriptor::fsdSetFieldByIndexAsVariant(void* aRecordBuffer, std::int32_t aIndex,
                                                      const platform::Variant& aValue) {
  if (aValue.isNullOrEmpty()) return SetRecordFieldNull(aIndex, aRecordBuffer, true);
  RangeCheck(aIndex);
  SetRecordFieldNull(aIndex, aRecordBuffer, false);
  Fields(aIndex)->fdSetBufferAsVariant(FieldAddress(aIndex, aRecordBuffer), aValue);
}

platform::Variant TnxFieldsDescriptor::fsdGetFieldByNameAsVariant(const void* aRecordBuffer, const nxString& aName) {
  return fsdGetFieldByIndexAsVariant(aRecordBuffer, GetFieldFromName(aName));
}

void TnxFieldsDescriptor::fsdSetFieldByNameAsVariant(void* aRecordBuffer, const nxString& aName,
                                                     const platform::Variant& aValue) {
  const std::int32_t index = GetFieldFromName(aName);
  RangeCheck(index);
  fsdSetFieldByIndexAsVariant(aRecordBuffer, index, aValue);
}

nxString TnxFieldsDescriptor::RecordBufferToString(const void* aRecordBuffer) {
  nxString result;
  for (std::int32_t i = 0; i < FieldCount(); ++i) {
    result.append(Fields(i)->fdName).append(u": ");
    if (IsRecordFieldNull(i, aRecordBuffer))
      result.append(u"<?>");
    else
      result.append(fsdGetFieldByIndexAsVariant(aRecordBuffer, i).toString());
    result.append(u"\r\n");
  }
  return result;
}

// --- the list

void TnxFieldsDescriptor::UpdateAlignForDictionary() {
  TnxDictionaryItem* dd = FindDataDictionary();
  if (!dd)
    throw EnxFieldsDescriptorException(nxErrObjectNotFound, u"No Parent of type %s could be found",
                                       {nxString(u"TnxDataDictionary")});
  fsdLogRecLenAlign = dd->DictionaryVersion() == 1 ? fsdLogRecLen : roundUp4(fsdLogRecLen);
}

void TnxFieldsDescriptor::RecomputeOffsets(std::int32_t aFrom) {
  if (aFrom < 0) aFrom = 0;
  std::int32_t offset = aFrom > 0 ? Fields(aFrom - 1)->fdOffset + Fields(aFrom - 1)->fdLength : 0;
  for (std::int32_t i = aFrom; i < FieldCount(); ++i) {
    TnxFieldDescriptor* f = Fields(i);
    f->fdNumber = i;
    f->fdOffset = offset;
    offset += f->fdLength;
  }
  fsdLogRecLen = offset;
}

TnxFieldDescriptor* TnxFieldsDescriptor::AddField(const nxString& aName, const nxString& aDesc, TnxFieldType aType,
                                                  std::int32_t aUnits, std::int32_t aDecPl, bool aRequired,
                                                  const platform::ClassInfo* aClass) {
  CheckReadOnly();
  checkIdentifier<EnxFieldsDescriptorException>(aName, nxErrInvalidFieldName, false);
  if (GetFieldFromName(aName) >= 0)
    throw EnxFieldsDescriptorException(nxErrNameNotUnique, u"Duplicated field name: %s", {aName});
  const std::int32_t oldAlign = fsdLogRecLenAlign;
  UpdateAlignForDictionary();  // the dictionary must be there before anything changes
  fsdLogRecLenAlign = oldAlign;
  TnxOwned<TnxFieldDescriptor> owned(TnxFieldDescriptor::CreateOfClass(
      aClass ? *aClass : TnxFieldDescriptor::staticClassInfo(), this, aName, aDesc, aType, aUnits, aDecPl, aRequired));
  const std::int64_t lrl = std::int64_t{fsdLogRecLen} + owned->fdLength;
  const std::int64_t recordLength = (lrl + 3) / 4 * 4 + 4 * ((std::int64_t{FieldCount()} + 1 + 31) / 32);
  if (recordLength > nxMaxRecordBufferSize)
    throw EnxFieldsDescriptorException(nxErrInvalidRecordStruct, u"Record length %d exceeds the maximum of %d",
                                       {recordLength, nxMaxRecordBufferSize});
  FieldDescriptor.push_back(owned.get());
  TnxFieldDescriptor* field = owned.release();
  field->fdNumber = FieldCount() - 1;
  field->fdOffset = fsdLogRecLen;
  fsdLogRecLen += field->fdLength;
  UpdateAlignForDictionary();
  return field;
}

TnxFieldDescriptor* TnxFieldsDescriptor::AddField(TnxFieldDescriptor* aFieldDescriptor) {
  TnxFieldDescriptor* field =
      AddField(aFieldDescriptor->fdName, aFieldDescriptor->fdDesc, aFieldDescriptor->fdType,
               aFieldDescriptor->fdUnits, aFieldDescriptor->fdDecPl, aFieldDescriptor->fdRequired,
               &aFieldDescriptor->classInfo());
  const std::int32_t offset = field->fdOffset, length = field->fdLength;
  try {
    TnxMemoryStream stream;
    {
      TnxWriter writer(stream);
      aFieldDescriptor->SaveToWriter(writer, nxInProcessCopyClientVersion);
      writer.FlushBuffer();
    }
    stream.SetPosition(0);
    TnxAssignDepthGuard keepId;
    TnxReader reader(stream);
    field->LoadFromReader(reader);
  } catch (...) {
    // Out again without notifications: nobody was told it came.
    FieldDescriptor.pop_back();
    fsdLogRecLen -= length;
    try {
      UpdateAlignForDictionary();
    } catch (...) {
    }
    platform::TObject::free(field);
    throw;
  }
  field->fdOffset = offset;
  field->fdLength = length;
  return field;
}

TnxFieldDescriptor* TnxFieldsDescriptor::InsertFieldAt(std::int32_t aInx, const nxString& aName,
                                                       const nxString& aDesc, TnxFieldType aType,
                                                       std::int32_t aUnits, std::int32_t aDecPl, bool aRequired,
                                                       const platform::ClassInfo* aClass) {
  CheckReadOnly();
  checkIdentifier<EnxFieldsDescriptorException>(aName, nxErrInvalidFieldName, false);
  if (aInx < 0 || aInx > FieldCount()) raiseFieldIndex(aInx);
  fsdFieldChangeNotification(true, -1, aInx);
  TnxFieldDescriptor* field = AddField(aName, aDesc, aType, aUnits, aDecPl, aRequired, aClass);
  const std::int32_t pos = field->fdNumber;
  if (aInx < pos) {
    FieldDescriptor.erase(FieldDescriptor.begin() + pos);
    FieldDescriptor.insert(FieldDescriptor.begin() + aInx, field);
    RecomputeOffsets(aInx);
    UpdateAlignForDictionary();
    fsdFieldChangeNotification(false, -1, aInx);
  }
  return field;
}

void TnxFieldsDescriptor::MoveField(std::int32_t aFrom, std::int32_t aTo) {
  CheckReadOnly();
  const auto inside = [this](std::int32_t i) { return i >= 0 && i < FieldCount(); };
  if (!inside(aFrom)) raiseFieldIndex(aFrom);
  if (!inside(aTo)) raiseFieldIndex(aTo);
  if (aFrom == aTo) return;
  const std::int32_t oldAlign = fsdLogRecLenAlign;
  UpdateAlignForDictionary();
  fsdLogRecLenAlign = oldAlign;
  fsdFieldChangeNotification(true, aFrom, aTo);
  TnxFieldDescriptor* field = Fields(aFrom);
  FieldDescriptor.erase(FieldDescriptor.begin() + aFrom);
  FieldDescriptor.insert(FieldDescriptor.begin() + aTo, field);
  RecomputeOffsets(aFrom < aTo ? aFrom : aTo);
  UpdateAlignForDictionary();
  fsdFieldChangeNotification(false, aFrom, aTo);
}

void TnxFieldsDescriptor::RemoveField(std::int32_t aInx) {
  CheckReadOnly();
  if (aInx < 0 || aInx >= FieldCount()) return;
  const std::int32_t oldAlign = fsdLogRecLenAlign;
  UpdateAlignForDictionary();
  fsdLogRecLenAlign = oldAlign;
  fsdFieldChangeNotification(true, aInx, -1);
  TnxFieldDescriptor* field = Fields(aInx);
  const bool behind = aInx < FieldCount() - 1;
  FieldDescriptor.erase(FieldDescriptor.begin() + aInx);
  fsdFieldHashList.clear();
  // The descriptor goes even when an after-call fails: it is out of the list.
  struct FreeGuard {
    TnxFieldDescriptor* f;
    ~FreeGuard() {
      try {
        platform::TObject::free(f);
      } catch (...) {
      }
    }
  } guard{field};
  RecomputeOffsets(aInx);
  UpdateAlignForDictionary();
  if (behind) fsdFieldChangeNotification(false, aInx, -1);
}

void TnxFieldsDescriptor::UpdateSetupAndOffsets() {
  std::int32_t offset = 0;
  for (TnxFieldDescriptor* f : FieldDescriptor) {
    f->fdOffset = offset;
    f->UpdateSetup();
    offset += f->fdLength;
  }
  fsdLogRecLen = offset;
  // A version-1 dictionary keeps the bitmap right behind the fields, as its
  // check expects; without a dictionary the bitmap is rounded.
  if (FindDataDictionary())
    UpdateAlignForDictionary();
  else
    UpdateLogRecLenAlign();
}

void TnxFieldsDescriptor::UpdateLogRecLenAlign() { fsdLogRecLenAlign = roundUp4(fsdLogRecLen); }

void TnxFieldsDescriptor::MakeFieldsCacheable() {
  for (TnxFieldDescriptor* f : FieldDescriptor) f->MakeFieldCacheable();
}

void TnxFieldsDescriptor::AddFieldChangeNotify(TnxDictionaryItem* aItem) {
  if (!fsdFieldChangeNotifies) fsdFieldChangeNotifies = nxCreateOwned<TnxSortedList>();
  std::int32_t inx;
  if (!fsdFieldChangeNotifies->Find(aItem, inx)) fsdFieldChangeNotifies->Add(aItem);
}

void TnxFieldsDescriptor::RemoveFieldChangeNotify(TnxDictionaryItem* aItem) {
  if (!fsdFieldChangeNotifies) return;
  fsdFieldChangeNotifies->Remove(aItem);
  if (fsdFieldChangeNotifies->Count() == 0) fsdFieldChangeNotifies.reset();
}

void TnxFieldsDescriptor::fsdFieldChangeNotification(bool aBefore, std::int32_t aOldField, std::int32_t aNewField) {
  if (!fsdFieldChangeNotifies) return;
  // A handler may unsubscribe: walk a copy.
  std::vector<TnxDictionaryItem*> items;
  for (std::int32_t i = 0; i < fsdFieldChangeNotifies->Count(); ++i)
    items.push_back(static_cast<TnxDictionaryItem*>(fsdFieldChangeNotifies->Items(i)));
  for (TnxDictionaryItem* item : items) item->HandleFieldChange(aBefore, aOldField, aNewField);
}

void TnxFieldsDescriptor::GetFields(platform::TStringList& aStrings) const {
  aStrings.clear();
  for (TnxFieldDescriptor* f : FieldDescriptor) aStrings.addObject(f->fdName, f);
}

void TnxFieldsDescriptor::Clear(bool aNotify) {
  TnxDictionaryItem::Clear(aNotify);
  nxFreeAndNil(fsdValidations);
  const std::int32_t count = FieldCount();
  if (aNotify)
    for (std::int32_t i = count - 1; i >= 0; --i) fsdFieldChangeNotification(true, i, -1);
  fsdLogRecLen = 0;
  fsdLogRecLenAlign = 0;
  FreeFields();
  if (aNotify)
    for (std::int32_t i = count - 1; i >= 0; --i) fsdFieldChangeNotification(false, i, -1);
}

// --- lookups

std::int32_t TnxFieldsDescriptor::GetFieldFromName(const nxString& aFieldName) const {
  return GetFieldFromNameFast(lowerAscii(aFieldName));
}

std::int32_t TnxFieldsDescriptor::GetFieldFromNameFast(const nxString& aLowerName) const {
  if (!fsdFieldHashList.empty()) {
    for (TnxFieldDescriptor* f = fsdFieldHashList[nxElfHashStr(aLowerName) % fsdFieldHashList.size()]; f;
         f = f->fdSameHashNext)
      if (f->fdNameLowerCase == aLowerName) return f->fdNumber;
    return -1;
  }
  for (std::int32_t i = 0; i < FieldCount(); ++i)
    if (Fields(i)->fdNameLowerCase == aLowerName) return i;
  return -1;
}

void TnxFieldsDescriptor::FillSpecialFieldsInfo(TnxSpecialFieldsInfo& aInfo, bool aRebuildHash) {
  nxInitSpecialFieldsInfo(&aInfo);
  const auto n = static_cast<std::size_t>(FieldCount());
  aInfo.sfiBlobFields.assign(n, -1);
  aInfo.sfiFieldsToBlobFields.assign(n, -1);
  std::int32_t blobs = 0;
  for (std::int32_t i = 0; i < FieldCount(); ++i) {
    TnxFieldDescriptor* f = Fields(i);
    f->fdBlobIndex = -1;
    int kind = -1;
    switch (f->fdType) {
      case nxtInt64:
        if (auto* lsn = platform::objectAs<TnxNextLSNDefaultValueDescriptor>(f->fdDefaultValue))
          kind = lsn->ApplyOnModify() ? sftModifyLSN : sftInsertLSN;
        break;
      case nxtAutoInc: kind = sftAutoInc; break;
      case nxtRecRev: kind = sftRecRev; break;
      case nxtRefNr: kind = sftRefNr; break;
      case nxtGuid:
        if (auto* g = platform::objectAs<TnxAutoGuidDefaultValueDescriptor>(f->fdDefaultValue))
          if (g->ApplyOnInsert() && !g->ApplyOnModify() && !g->OverwriteNonNull()) kind = sftAutoGuid;
        break;
      default:
        if (nxFieldTypeIn(f->fdType, nxBlobFieldTypes)) {
          aInfo.sfiBlobFields[static_cast<std::size_t>(blobs)] = i;
          aInfo.sfiFieldsToBlobFields[static_cast<std::size_t>(i)] = blobs;
          f->fdBlobIndex = blobs++;
        }
    }
    if (kind >= 0 && aInfo.sfiFields[static_cast<std::size_t>(kind)] < 0) {
      aInfo.sfiFields[static_cast<std::size_t>(kind)] = i;
      aInfo.sfiOffsets[static_cast<std::size_t>(kind)] = f->fdOffset;
    }
  }
  aInfo.sfiBlobFields.resize(static_cast<std::size_t>(blobs));
  if (blobs == 0) aInfo.sfiFieldsToBlobFields.clear();
  if (aRebuildHash) {
    fsdFieldHashList.assign(n, nullptr);
    for (TnxFieldDescriptor* f : FieldDescriptor) {
      TnxFieldDescriptor*& head = fsdFieldHashList[nxElfHashStr(f->fdNameLowerCase) % n];
      f->fdSameHashNext = head;
      head = f;
    }
  }
}

bool TnxFieldsDescriptor::HasSpecial(TnxSpecialFieldType aKind, std::int32_t& aField) {
  if (CacheActive() && fsdCachedSpecialFieldsInfo) {
    aField = fsdCachedSpecialFieldsInfo->sfiFields[aKind];
  } else {
    TnxSpecialFieldsInfo info{};
    FillSpecialFieldsInfo(info, false);
    aField = info.sfiFields[aKind];
  }
  return aField >= 0;
}

bool TnxFieldsDescriptor::HasBlobFields(TnxBlobFields& aBlobFields) {
  if (CacheActive() && fsdCachedSpecialFieldsInfo) {
    aBlobFields = fsdCachedSpecialFieldsInfo->sfiBlobFields;
  } else {
    aBlobFields.clear();
    for (std::int32_t i = 0; i < FieldCount(); ++i)
      if (nxFieldTypeIn(Fields(i)->fdType, nxBlobFieldTypes)) aBlobFields.push_back(i);
  }
  return !aBlobFields.empty();
}

bool TnxFieldsDescriptor::HasBlobFields(TnxList* aBlobFields) {
  TnxBlobFields blobs;
  const bool any = HasBlobFields(blobs);
  if (!aBlobFields) return any;
  aBlobFields->Clear();
  for (std::int32_t b : blobs) aBlobFields->Add(reinterpret_cast<void*>(static_cast<std::intptr_t>(b)));
  return aBlobFields->Count() > 0;
}

bool TnxFieldsDescriptor::HasSameFields(const TnxFieldsDescriptor* aSource, TnxList* aBlobFields) {
  if (aBlobFields) aBlobFields->Clear();
  if (!aSource || aSource->FieldCount() != FieldCount() || FieldDescriptor.empty()) return false;
  for (std::int32_t i = 0; i < FieldCount(); ++i) {
    const TnxFieldDescriptor* mine = Fields(i);
    const TnxFieldDescriptor* theirs = aSource->Fields(i);
    if (mine->fdLength != theirs->fdLength || mine->fdType >= nxFieldTypeCount ||
        theirs->fdType >= nxFieldTypeCount || !nxFieldTypeStorageCompatible[mine->fdType][theirs->fdType])
      return false;
    if (aBlobFields && nxFieldTypeIn(mine->fdType, nxBlobFieldTypes))
      aBlobFields->Add(reinterpret_cast<void*>(static_cast<std::intptr_t>(i)));
  }
  return true;
}

void TnxFieldsDescriptor::GetSpecialFieldsInfo(PnxSpecialFieldsInfo& aInfo) {
  nxReleaseSpecialFieldsInfo(aInfo);
  if (CacheActive() && fsdCachedSpecialFieldsInfo) {
    aInfo = nxAddRefSpecialFieldsInfo(fsdCachedSpecialFieldsInfo);
    return;
  }
  auto info = TnxCountedRef<TnxSpecialFieldsInfo>::adopt(nxNewSpecialFieldsInfo());
  FillSpecialFieldsInfo(*info, false);
  aInfo = info.release();
}

void TnxFieldsDescriptor::GetDiffCompressionInfo(PnxDiffCompressorInfo& aDCI) {
  PnxDiffCompressorInfo cached = fsdCachedDiffCompressorInfo.load(std::memory_order_acquire);
  if (aDCI && aDCI == cached) return;
  nxReleaseDiffCompressorInfo(aDCI);
  if (cached) {
    aDCI = nxAddRefDiffCompressorInfo(cached);
    return;
  }
  const std::int32_t rl = RecordLength();
  auto info = TnxCountedRef<TnxDiffCompressorInfo>::adopt(nxNewDiffCompressorInfo(static_cast<std::uint16_t>(rl)));
  {
    std::vector<std::uint8_t> blank(static_cast<std::size_t>(rl) + 4), marked(static_cast<std::size_t>(rl) + 4);
    InitRecord(blank.data());
    InitRecord(marked.data());
    TnxSpecialFieldsInfo sfi{};
    FillSpecialFieldsInfo(sfi, false);
    for (TnxSpecialFieldType kind : {sftRecRev, sftRefNr, sftModifyLSN, sftInsertLSN}) {
      const std::int32_t field = sfi.sfiFields[kind];
      if (field < 0) continue;
      std::vector<std::uint8_t> ones(static_cast<std::size_t>(Fields(field)->fdLength), 0xFF);
      SetRecordField(field, marked.data(), ones.data());
    }
    nxDiffCompressorMarkRequired(info.get(), blank.data(), marked.data());
  }
  if (CacheActive()) {
    PnxDiffCompressorInfo installed = nullptr;
    if (fsdCachedDiffCompressorInfo.compare_exchange_strong(installed, info.get(), std::memory_order_acq_rel,
                                                            std::memory_order_acquire)) {
      aDCI = nxAddRefDiffCompressorInfo(info.release());  // the cache keeps the first count
    } else {
      aDCI = nxAddRefDiffCompressorInfo(installed);
    }
    return;
  }
  aDCI = info.release();
}

void TnxFieldsDescriptor::ActivateCache() {
  if (CacheActive()) return;
  fsdCachedGetRecordLength = RecordLength();
  fsdRecordAllocator = nxGetPool(static_cast<std::size_t>(fsdCachedGetRecordLength) + 4);
  TnxDictionaryItem::ActivateCache();
  if (fsdCachedSpecialFieldsInfo && fsdCachedSpecialFieldsInfo->sfiRefCount > 1)
    nxReleaseSpecialFieldsInfo(fsdCachedSpecialFieldsInfo);
  if (!fsdCachedSpecialFieldsInfo) fsdCachedSpecialFieldsInfo = nxNewSpecialFieldsInfo();
  FillSpecialFieldsInfo(*fsdCachedSpecialFieldsInfo, true);
}

void TnxFieldsDescriptor::DeactivateCache() {
  fsdFieldHashList.clear();
  fsdRecordAllocator = TnxMemoryPool{};
  nxReleaseSpecialFieldsInfo(fsdCachedSpecialFieldsInfo);
  ReleaseCachedDiffCompressorInfo();
  TnxDictionaryItem::DeactivateCache();
}

void TnxFieldsDescriptor::ReleaseCachedDiffCompressorInfo() noexcept {
  PnxDiffCompressorInfo cached = fsdCachedDiffCompressorInfo.exchange(nullptr, std::memory_order_acq_rel);
  nxReleaseDiffCompressorInfo(cached);
}

// --- check, equality, stream

void TnxFieldsDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  if (FieldDescriptor.empty())
    throw EnxFieldsDescriptorException(nxErrInvalidRecordStruct, u"FieldsDescriptor requires a minimum of one field");
  std::int32_t offset = 0;
  std::array<bool, 4> seen{};  // autoinc, recrev, refnr
  bool lsnModify = false, lsnInsert = false;
  for (std::int32_t i = 0; i < FieldCount(); ++i) {
    TnxFieldDescriptor* f = Fields(i);
    if (f->fdOffset != offset)
      throw EnxFieldsDescriptorException(nxErrInvalidRecordStruct,
                                         u"fdOffset is wrong for field %d (%s). Expected %d found %d.",
                                         {i, f->fdName, offset, f->fdOffset});
    for (std::int32_t j = 0; j < i; ++j)
      if (platform::sameTextAscii(Fields(j)->fdName, f->fdName))
        throw EnxFieldsDescriptorException(nxErrNameNotUnique, u"Duplicated field name: %s", {f->fdName});
    f->fdNumber = i;
    f->CheckValid(aForBuild);
    const auto once = [&](std::size_t aSlot, TnxResult aCode, const char16_t* aText) {
      if (seen[aSlot]) throw EnxFieldsDescriptorException(aCode, aText);
      seen[aSlot] = true;
    };
    switch (f->fdType) {
      case nxtAutoInc: once(0, nxErrDuplicateAutoInc, u"Duplicated autoinc field"); break;
      case nxtRecRev: once(1, nxErrDuplicateRecRev, u"Duplicated RecRev field"); break;
      case nxtRefNr: once(2, nxErrDuplicateRefNr, u"Duplicated RefNr field"); break;
      case nxtInt64:
        if (auto* lsn = platform::objectAs<TnxNextLSNDefaultValueDescriptor>(f->fdDefaultValue)) {
          bool& flag = lsn->ApplyOnModify() ? lsnModify : lsnInsert;
          if (flag) throw EnxFieldsDescriptorException(nxErrDuplicateLSN, u"Duplicated LSN field");
          flag = true;
        }
        break;
      default: break;
    }
    offset += f->fdLength;
  }
  CheckRecordLayout(false);
  if (fsdValidations) fsdValidations->CheckValid(aForBuild);
}

void TnxFieldsDescriptor::CheckRecordLayout(bool aReading) const {
  const auto wrong = [](const char16_t* aText, TnxFormatArgs aArgs) {
    throw EnxFieldsDescriptorException(nxErrInvalidRecordStruct, aText, aArgs);
  };
  std::int64_t sum = 0;
  for (std::int32_t i = 0; i < FieldCount(); ++i) {
    const TnxFieldDescriptor* f = Fields(i);
    std::int32_t units = f->fdUnits, decPl = f->fdDecPl, length = f->fdLength;
    bool required = f->fdRequired;
    TnxFieldDescriptor::SetupField(f->fdType, units, decPl, required, length);
    if (length != f->fdLength)
      wrong(u"fdLength is wrong for field %d (%s). Expected %d found %d.", {i, f->fdName, length, f->fdLength});
    if (f->fdOffset != sum)
      wrong(u"fdOffset is wrong for field %d (%s). Expected %d found %d.", {i, f->fdName, sum, f->fdOffset});
    sum += f->fdLength;
  }
  const std::int64_t recordLength = (sum + 3) / 4 * 4 + 4 * ((std::int64_t{FieldCount()} + 31) / 32);
  if (recordLength > nxMaxRecordBufferSize) {
    if (aReading) throw EnxFieldsDescriptorException(nxErrIncompatibleStream);
    wrong(u"Record length %d exceeds the maximum of %d", {recordLength, nxMaxRecordBufferSize});
  }
  if (fsdLogRecLen != sum) wrong(u"fsdLogRecLen is wrong. Expected %d found %d.", {sum, fsdLogRecLen});
  const TnxDictionaryItem* dd = FindDataDictionary();
  const std::int64_t align = dd && dd->DictionaryVersion() == 1 ? sum : (sum + 3) / 4 * 4;
  if (fsdLogRecLenAlign != align)
    wrong(u"fsdLogRecLenAlign is wrong. Expected %d found %d.", {align, fsdLogRecLenAlign});
}

bool TnxFieldsDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = platform::objectAs<TnxFieldsDescriptor>(aItem);
  if (!other || other->FieldCount() != FieldCount() || fsdLogRecLen != other->fsdLogRecLen ||
      fsdLogRecLenAlign != other->fsdLogRecLenAlign || !nxsdBothOrEqual(fsdValidations, other->fsdValidations))
    return false;
  for (std::int32_t i = 0; i < FieldCount(); ++i)
    if (!Fields(i)->IsEqual(other->Fields(i))) return false;
  return true;
}

void TnxFieldsDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  if (aClientVersion < nxOldDictionaryClientVersion) throw EnxFieldsDescriptorException(nxErrIncompatibleVersion);
  aWriter.WriteInteger(std::int32_t{2});
  aWriter.WriteInteger(FieldCount());
  for (TnxFieldDescriptor* f : FieldDescriptor) {
    f->SaveHeader(aWriter, aClientVersion);
    f->SaveToWriter(aWriter, aClientVersion);
  }
  aWriter.WriteInteger(fsdLogRecLen);
  aWriter.WriteInteger(fsdLogRecLenAlign);
  nxsdSaveValidations(fsdValidations, aWriter, aClientVersion);
}

void TnxFieldsDescriptor::LoadFromReader(TnxReader& aReader) {
  // A list read over old fields would mix them: start empty.
  FreeFields();
  fsdLogRecLen = 0;
  fsdLogRecLenAlign = 0;
  try {
    LoadFieldsFromReader(aReader);
    CheckRecordLayout(true);
  } catch (...) {
    // No record is ever read or written through a layout that failed.
    FreeFields();
    fsdLogRecLen = 0;
    fsdLogRecLenAlign = 0;
    throw;
  }
}

void TnxFieldsDescriptor::LoadFieldsFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  const std::int32_t version = aReader.ReadInteger();
  if (version != 1 && version != 2) throw EnxFieldsDescriptorException(nxErrIncompatibleStream);
  const std::int32_t count = aReader.ReadInteger();
  if (count < 0 || count > aReader.Remaining()) throw EnxFieldsDescriptorException(nxErrIncompatibleStream);
  for (std::int32_t i = 0; i < count; ++i) {
    TnxOwned<TnxFieldDescriptor> owned(nxsdReadFieldHeader(aReader, this));
    FieldDescriptor.push_back(owned.get());
    TnxFieldDescriptor* field = owned.release();
    field->fdNumber = i;
    field->LoadFromReader(aReader);
  }
  fsdLogRecLen = aReader.ReadInteger();
  fsdLogRecLenAlign = aReader.ReadInteger();
  nxFreeAndNil(fsdValidations);
  if (version >= 2 && aReader.ReadBoolean()) {
    const nxString name = aReader.ReadString();
    const platform::ClassInfo* cls =
        nxsdFindValidationsClass(name, TnxFieldsValidationsDescriptor::staticClassInfo());
    if (!cls)
      throw EnxFieldsDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                         {nxString(u"ValidationsDescriptor"), name});
    AddValidations(cls)->LoadFromReader(aReader);
  }
}

// ===========================================================================
// Start-up

void nxsdDataDictionaryFieldsRegister() {
  TnxDescriptorClass<TnxConstDefaultValueDescriptor>::Register();
  TnxDescriptorClass<TnxCurrentDateTimeDefaultValueDescriptor>::Register();
  TnxDescriptorClass<TnxCurrentUserDefaultValueDescriptor>::Register();
  TnxDescriptorClass<TnxAutoGuidDefaultValueDescriptor>::Register();
  TnxDescriptorClass<TnxEmptyDefaultValueDescriptor>::Register();
  TnxDescriptorClass<TnxNextLSNDefaultValueDescriptor>::Register();
  TnxDescriptorClass<TnxFieldDescriptor>::Register();
  TnxDescriptorClass<TnxFieldsDescriptor>::Register();
}

void nxsdDataDictionaryFieldsUnregister() {
  TnxDescriptorClass<TnxFieldsDescriptor>::Unregister();
  TnxDescriptorClass<TnxFieldDescriptor>::Unregister();
  TnxDescriptorClass<TnxNextLSNDefaultValueDescriptor>::Unregister();
  TnxDescriptorClass<TnxEmptyDefaultValueDescriptor>::Unregister();
  TnxDescriptorClass<TnxAutoGuidDefaultValueDescriptor>::Unregister();
  TnxDescriptorClass<TnxCurrentUserDefaultValueDescriptor>::Unregister();
  TnxDescriptorClass<TnxCurrentDateTimeDefaultValueDescriptor>::Unregister();
  TnxDescriptorClass<TnxConstDefaultValueDescriptor>::Unregister();
  nxFreeClassList(gDefaultValueDescriptorClasses);
  nxFreeClassList(gFieldDescriptorClasses);
  nxFreeClassList(gFieldsDescriptorClasses);
}
