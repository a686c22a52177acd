#include "nxsdDataDictionaryRefInt.h"

#include <algorithm>
#include <utility>

#include "nxllBde.h"
#include "nxsdServerEngine.h"
#include "plString.h"

using platform::sameTextAscii;

NX_IMPLEMENT_EXCEPTION(EnxRefIntegrityDescriptorException, EnxBaseCustomDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxReferenceDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxBaseTargetCursorDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxCloneTargetCursorDescriptorException, EnxBaseTargetCursorDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxTableTargetCursorDescriptorException, EnxBaseTargetCursorDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxRelativeTargetCursorDescriptorException, EnxBaseTargetCursorDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxBaseSourceDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxFieldSourceDescriptorException, EnxBaseSourceDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxBaseActionDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxBaseDeleteActionDescriptorException, EnxBaseActionDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxBaseModifyActionDescriptorException, EnxBaseActionDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxCascadeDeleteActionDescriptorException, EnxBaseDeleteActionDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxClearDeleteActionDescriptorException, EnxBaseDeleteActionDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxSetDefaultDeleteActionDescriptorException, EnxBaseDeleteActionDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxBlockDeleteActionDescriptorException, EnxBaseDeleteActionDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxCascadeModifyActionDescriptorException, EnxBaseModifyActionDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxClearModifyActionDescriptorException, EnxBaseModifyActionDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxSetDefaultModifyActionDescriptorException, EnxBaseModifyActionDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxBlockModifyActionDescriptorException, EnxBaseModifyActionDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxTargetRequiredActionDescriptorException, EnxBaseActionDescriptorException)

#define NX_ITEM_CLASS(Cls, Parent) \
  PL_CLASS_INFO_IMPL_TABLE(Cls, Parent, #Cls, nullptr, platform::bindClassTable(nxRefIntegrityItemFuncs<Cls>))

PL_CLASS_INFO_IMPL(TnxBaseTargetCursorDescriptor, TnxDictionaryItem, "TnxBaseTargetCursorDescriptor", nullptr)
NX_ITEM_CLASS(TnxCloneTargetCursorDescriptor, TnxBaseTargetCursorDescriptor)
NX_ITEM_CLASS(TnxTableTargetCursorDescriptor, TnxBaseTargetCursorDescriptor)
NX_ITEM_CLASS(TnxRelativeTargetCursorDescriptor, TnxBaseTargetCursorDescriptor)
PL_CLASS_INFO_IMPL(TnxBaseSourceDescriptor, TnxDictionaryItem, "TnxBaseSourceDescriptor", nullptr)
NX_ITEM_CLASS(TnxFieldSourceDescriptor, TnxBaseSourceDescriptor)
PL_CLASS_INFO_IMPL(TnxBaseActionDescriptor, TnxDictionaryItem, "TnxBaseActionDescriptor", nullptr)
NX_ITEM_CLASS(TnxCascadeDeleteActionDescriptor, TnxBaseActionDescriptor)
NX_ITEM_CLASS(TnxClearDeleteActionDescriptor, TnxBaseActionDescriptor)
NX_ITEM_CLASS(TnxSetDefaultDeleteActionDescriptor, TnxBaseActionDescriptor)
NX_ITEM_CLASS(TnxBlockDeleteActionDescriptor, TnxBaseActionDescriptor)
NX_ITEM_CLASS(TnxCascadeModifyActionDescriptor, TnxBaseActionDescriptor)
NX_ITEM_CLASS(TnxClearModifyActionDescriptor, TnxBaseActionDescriptor)
NX_ITEM_CLASS(TnxSetDefaultModifyActionDescriptor, TnxBaseActionDescriptor)
NX_ITEM_CLASS(TnxBlockModifyActionDescriptor, TnxBaseActionDescriptor)
NX_ITEM_CLASS(TnxTargetRequiredActionDescriptor, TnxBaseActionDescriptor)
#undef NX_ITEM_CLASS

namespace {

// A reference's constructor takes its target cursor class as well.
struct TnxReferenceClassFuncs {
  TnxReferenceDescriptor* (*create)(TnxPersistent* aParent, const platform::ClassInfo* aTargetCursorClass);
};
template <class T>
inline constexpr TnxReferenceClassFuncs nxReferenceFuncs{
    [](TnxPersistent* aParent, const platform::ClassInfo* aTargetCursorClass) -> TnxReferenceDescriptor* {
      return platform::create<T>(aParent, aTargetCursorClass);
    }};

TnxClassList gReferenceClasses;
TnxClassList gTargetCursorClasses;
TnxClassList gSourceClasses;
TnxClassList gActionClasses;

nxString classText(const platform::ClassInfo& aClass) { return platform::fromUtf8(aClass.name); }

template <class E>
[[noreturn]] void raiseUnsupported(const char16_t* aFamily, const nxString& aName) {
  throw E(nxErrUnsupportedDescriptor, u"%s class is not supported: %s", {nxString(aFamily), aName});
}

// Builds an item of aClass through the family's table; any class outside
// the family (or without the table) is unsupported.
template <class T, class E>
T* createItem(const platform::ClassInfo& aClass, const platform::ClassInfo& aBase, const char16_t* aFamily,
              TnxPersistent* aParent) {
  const auto* funcs = aClass.table<TnxRefIntegrityItemClassFuncs>();
  if (!funcs || !aClass.inheritsFrom(aBase)) raiseUnsupported<E>(aFamily, classText(aClass));
  return static_cast<T*>(funcs->create(aParent));
}

// A class name read from the stream, looked up in aList.
template <class E>
const platform::ClassInfo& readReferenceClass(TnxReader& aReader, TnxClassList& aList, const char16_t* aFamily,
                                     const platform::ClassInfo& aBase) {
  const nxString name = aReader.ReadString();
  const platform::ClassInfo* cls = nxFindClassIn(aList, platform::toUtf8(name));
  if (!cls || !cls->inheritsFrom(aBase)) raiseUnsupported<E>(aFamily, name);
  return *cls;
}

TnxFieldsDescriptor* referenceRelatedFields(TnxDictionaryItem* aItem) {
  TnxDictionaryItem* found = nullptr;
  if (!aItem->FindRelatedDescriptorOfType(TnxFieldsDescriptor::staticClassInfo(), found, nullptr)) return nullptr;
  return platform::objectAs<TnxFieldsDescriptor>(found);
}

TnxBaseTableDescriptor* referenceOwningTable(const TnxDictionaryItem* aItem) {
  TnxPersistent* found = nullptr;
  if (!aItem->FindParentOfType(TnxBaseTableDescriptor::staticClassInfo(), found)) return nullptr;
  return static_cast<TnxBaseTableDescriptor*>(found);
}

template <class T>
void freeReferences(std::vector<T*>& aList) noexcept {
  while (!aList.empty()) {
    T* item = aList.back();
    aList.pop_back();
    platform::TObject::free(item);
  }
}

template <class T>
void removeAt(std::vector<T*>& aList, std::int32_t aIndex) {
  if (aIndex < 0 || aIndex >= static_cast<std::int32_t>(aList.size())) return;
  T* item = aList[static_cast<std::size_t>(aIndex)];
  aList.erase(aList.begin() + aIndex);
  platform::TObject::free(item);
}

template <class T>
void removeItem(std::vector<T*>& aList, T* aItem) {
  const auto it = std::find(aList.begin(), aList.end(), aItem);
  if (it != aList.end()) removeAt(aList, static_cast<std::int32_t>(it - aList.begin()));
}

template <class T>
bool listsEqual(const std::vector<T*>& a, const std::vector<T*>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (!a[i]->IsEqual(b[i])) return false;
  return true;
}

// The part shared by sources and actions.
// REQUIRES: an old client's SkipOnNull already refused.
void writeSkipOnNull(TnxWriter& aWriter, std::int32_t aClientVersion, bool aSkipOnNull) {
  if (aClientVersion < nxOldDictionaryClientVersion) {
    aWriter.WriteInteger(std::int32_t{1});
  } else {
    aWriter.WriteInteger(std::int32_t{2});
    aWriter.WriteBoolean(aSkipOnNull);
  }
}

}  // namespace

// ===========================================================================
// Target cursors

TnxClassList& TnxBaseTargetCursorDescriptor::GetList() { return gTargetCursorClasses; }

TnxBaseTargetCursorDescriptor* TnxBaseTargetCursorDescriptor::CreateOfClass(const platform::ClassInfo& aClass,
                                                                            TnxPersistent* aParent) {
  return createItem<TnxBaseTargetCursorDescriptor, EnxBaseTargetCursorDescriptorException>(
      aClass, staticClassInfo(), u"TargetCursorDescriptor", aParent);
}

void TnxBaseTargetCursorDescriptor::RaiseStream(TnxResult aCode) const {
  throw EnxBaseTargetCursorDescriptorException(aCode);
}

void TnxBaseTargetCursorDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
}

void TnxBaseTargetCursorDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) RaiseStream(nxErrIncompatibleStream);
}

bool TnxBaseTargetCursorDescriptor::References(const TnxDictionaryItem* aItem) const {
  const auto* table = platform::objectAs<TnxBaseTableDescriptor>(aItem);
  if (!table) return false;
  try {
    // Resolving a path reads the tree only; the name is not cached.
    return sameTextAscii(table->btdFullName(),
                         const_cast<TnxBaseTargetCursorDescriptor*>(this)->ReferencedTableName());
  } catch (const EnxBaseException&) {
    return false;  // an unresolvable path references nothing
  }
}

nxString TnxCloneTargetCursorDescriptor::ReferencedTableName() {
  TnxBaseTableDescriptor* table = referenceOwningTable(this);
  return table ? table->btdFullName() : nxString();
}

void TnxCloneTargetCursorDescriptor::RaiseStream(TnxResult aCode) const {
  throw EnxCloneTargetCursorDescriptorException(aCode);
}

void TnxCloneTargetCursorDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseTargetCursorDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
}

void TnxCloneTargetCursorDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseTargetCursorDescriptor::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) RaiseStream(nxErrIncompatibleStream);
}

namespace {
template <class E>
[[noreturn]] void raiseTargetName(TnxResult aCode, const char16_t* aPrefix, const nxString& aName) {
  if (aName.empty()) throw E(aCode, nxString(aPrefix) + u"must be set");
  throw E(aCode, nxString(aPrefix) + u"Invalid [%s]", {aName});
}
}  // namespace

void TnxTableTargetCursorDescriptor::SetTableName(const nxString& aValue) {
  CheckReadOnly();
  const TnxResult code = nxCheckTableNameWithChild(aValue, true, false);
  if (code != 0) throw EnxTableTargetCursorDescriptorException(code);
  ttcTableName = aValue;
}

void TnxTableTargetCursorDescriptor::SetPassword(const nxString& aValue) {
  CheckReadOnly();
  ttcPassword = aValue;
}

void TnxTableTargetCursorDescriptor::RaiseStream(TnxResult aCode) const {
  throw EnxTableTargetCursorDescriptorException(aCode);
}

void TnxTableTargetCursorDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  const bool old = aClientVersion < nxOldDictionaryClientVersion;
  if (old && !ttcPassword.empty()) RaiseStream(nxErrIncompatibleVersion);
  TnxBaseTargetCursorDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{old ? 1 : 2});
  aWriter.WriteString(ttcTableName);
  if (!old) aWriter.WriteWideString(ttcPassword);
}

void TnxTableTargetCursorDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseTargetCursorDescriptor::LoadFromReader(aReader);
  const std::int32_t version = aReader.ReadInteger();
  if (version != 1 && version != 2) RaiseStream(nxErrIncompatibleStream);
  ttcTableName = aReader.ReadString();
  ttcPassword = version >= 2 ? aReader.ReadWideString() : nxString();
}

void TnxTableTargetCursorDescriptor::CheckValid(bool aForBuild) {
  TnxBaseTargetCursorDescriptor::CheckValid(aForBuild);
  const TnxResult code = nxCheckTableNameWithChild(ttcTableName, true, false);
  if (code != 0)
    raiseTargetName<EnxTableTargetCursorDescriptorException>(code, u"Referential Integrity Target Table Name ",
                                                             ttcTableName);
}

bool TnxTableTargetCursorDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseTargetCursorDescriptor::IsEqual(aItem)) return false;
  const auto* other = platform::objectAs<TnxTableTargetCursorDescriptor>(aItem);
  return other && sameTextAscii(ttcTableName, other->ttcTableName);
}

void TnxRelativeTargetCursorDescriptor::SetTableName(const nxString& aValue) {
  CheckReadOnly();
  if (aValue.empty() || nxCheckChildTableNames(aValue) != 0)
    throw EnxTableTargetCursorDescriptorException(nxErrInvalidTableName);
  rtcTableName = aValue;
}

TnxBaseTableDescriptor& TnxRelativeTargetCursorDescriptor::ResolvedTable() {
  TnxBaseTableDescriptor* from = nullptr;
  if (!rtcTableName.empty() && rtcTableName[0] == u'.')
    from = referenceOwningTable(this);
  else
    from = platform::objectAs<TnxBaseTableDescriptor>(FindDataDictionary());
  if (!from) throw EnxTableTargetCursorDescriptorException(nxErrNoSuchTable);
  return *from->GetChild(rtcTableName);
}

nxString TnxRelativeTargetCursorDescriptor::ReferencedTableName() { return ResolvedTable().btdFullName(); }

void TnxRelativeTargetCursorDescriptor::RaiseStream(TnxResult aCode) const {
  throw EnxRelativeTargetCursorDescriptorException(aCode);
}

void TnxRelativeTargetCursorDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseTargetCursorDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteString(rtcTableName);
}

void TnxRelativeTargetCursorDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseTargetCursorDescriptor::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) RaiseStream(nxErrIncompatibleStream);
  rtcTableName = aReader.ReadString();
}

void TnxRelativeTargetCursorDescriptor::CheckValid(bool aForBuild) {
  TnxBaseTargetCursorDescriptor::CheckValid(aForBuild);
  if (rtcTableName.empty() || nxCheckChildTableNames(rtcTableName) != 0)
    raiseTargetName<EnxTableTargetCursorDescriptorException>(nxErrInvalidTableName,
                                                             u"Referential Integrity Target Table ", rtcTableName);
  ResolvedTable();
}

bool TnxRelativeTargetCursorDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseTargetCursorDescriptor::IsEqual(aItem)) return false;
  const auto* other = platform::objectAs<TnxRelativeTargetCursorDescriptor>(aItem);
  return other && sameTextAscii(rtcTableName, other->rtcTableName);
}

// ===========================================================================
// Sources

TnxClassList& TnxBaseSourceDescriptor::GetList() { return gSourceClasses; }

TnxBaseSourceDescriptor* TnxBaseSourceDescriptor::CreateOfClass(const platform::ClassInfo& aClass,
                                                                TnxPersistent* aParent) {
  return createItem<TnxBaseSourceDescriptor, EnxBaseSourceDescriptorException>(aClass, staticClassInfo(),
                                                                               u"SourceDescriptor", aParent);
}

void TnxBaseSourceDescriptor::SetSkipOnNull(bool aValue) {
  CheckReadOnly();
  bsdSkipOnNull = aValue;
}

void TnxBaseSourceDescriptor::RaiseStream(TnxResult aCode) const { throw EnxBaseSourceDescriptorException(aCode); }

void TnxBaseSourceDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  if (aClientVersion < nxOldDictionaryClientVersion && bsdSkipOnNull) RaiseStream(nxErrIncompatibleVersion);
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  writeSkipOnNull(aWriter, aClientVersion, bsdSkipOnNull);
}

void TnxBaseSourceDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  const std::int32_t version = aReader.ReadInteger();
  if (version != 1 && version != 2) RaiseStream(nxErrIncompatibleStream);
  bsdSkipOnNull = version == 2 ? aReader.ReadBoolean() : false;
}

TnxFieldSourceDescriptor::TnxFieldSourceDescriptor(TnxPersistent* aParent) : TnxBaseSourceDescriptor(aParent) {
  fsdSubscribedTo = referenceRelatedFields(this);
  if (fsdSubscribedTo) fsdSubscribedTo->AddFieldChangeNotify(this);
}

TnxFieldSourceDescriptor::~TnxFieldSourceDescriptor() { Unsubscribe(); }

void TnxFieldSourceDescriptor::beforeDestruction() {
  Unsubscribe();
  TnxBaseSourceDescriptor::beforeDestruction();
}

void TnxFieldSourceDescriptor::Unsubscribe() noexcept {
  if (fsdSubscribedTo) std::exchange(fsdSubscribedTo, nullptr)->RemoveFieldChangeNotify(this);
}

TnxFieldDescriptor* TnxFieldSourceDescriptor::Field() {
  TnxFieldsDescriptor* fields = referenceRelatedFields(this);
  if (!fields || fsdFieldNumber < 0 || fsdFieldNumber >= fields->FieldCount()) return nullptr;
  return fields->Fields(fsdFieldNumber);
}

void TnxFieldSourceDescriptor::HandleFieldChange(bool aBefore, std::int32_t aOld, std::int32_t aNew) {
  if (aBefore) {
    if (aOld == fsdFieldNumber && aNew < 0) {
      TnxFieldDescriptor* f = Field();
      throw EnxFieldSourceDescriptorException(nxErrObjectInUse,
                                              u"Cannot remove field %s because it is still referenced by an index",
                                              {f ? f->Name() : platform::fromUtf8(std::to_string(fsdFieldNumber))});
    }
    return;
  }
  // An unset source (-1) must not take the number of an inserted field.
  if (fsdFieldNumber >= 0) nxsdAdjustPosition(fsdFieldNumber, aOld, aNew);
}

void TnxFieldSourceDescriptor::RaiseStream(TnxResult aCode) const { throw EnxFieldSourceDescriptorException(aCode); }

void TnxFieldSourceDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseSourceDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteInteger(fsdFieldNumber);
}

void TnxFieldSourceDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseSourceDescriptor::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) RaiseStream(nxErrIncompatibleStream);
  fsdFieldNumber = aReader.ReadInteger();
}

void TnxFieldSourceDescriptor::CheckValid(bool aForBuild) {
  TnxBaseSourceDescriptor::CheckValid(aForBuild);
  TnxFieldsDescriptor* fields = referenceRelatedFields(this);
  if (fields && (fsdFieldNumber < 0 || fsdFieldNumber >= fields->FieldCount()))
    throw EnxFieldSourceDescriptorException(nxErrInvalidDesc, u"Invalid field number: %d",
                                            {fsdFieldNumber});
}

bool TnxFieldSourceDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseSourceDescriptor::IsEqual(aItem)) return false;
  const auto* other = platform::objectAs<TnxFieldSourceDescriptor>(aItem);
  return other && fsdFieldNumber == other->fsdFieldNumber;
}

// ===========================================================================
// Actions

TnxClassList& TnxBaseActionDescriptor::GetList() { return gActionClasses; }

TnxBaseActionDescriptor* TnxBaseActionDescriptor::CreateOfClass(const platform::ClassInfo& aClass,
                                                                TnxPersistent* aParent) {
  return createItem<TnxBaseActionDescriptor, EnxBaseActionDescriptorException>(aClass, staticClassInfo(),
                                                                               u"ActionDescriptor", aParent);
}

void TnxBaseActionDescriptor::SetSkipOnNull(bool aValue) {
  CheckReadOnly();
  badSkipOnNull = aValue;
}

void TnxBaseActionDescriptor::RaiseStream(TnxResult aCode) const { throw EnxBaseActionDescriptorException(aCode); }

void TnxBaseActionDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  if (aClientVersion < nxOldDictionaryClientVersion && badSkipOnNull) RaiseStream(nxErrIncompatibleVersion);
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  writeSkipOnNull(aWriter, aClientVersion, badSkipOnNull);
}

void TnxBaseActionDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  const std::int32_t version = aReader.ReadInteger();
  if (version != 1 && version != 2) RaiseStream(nxErrIncompatibleStream);
  badSkipOnNull = version == 2 ? aReader.ReadBoolean() : false;
}

// ===========================================================================
// References

PL_CLASS_INFO_IMPL_TABLE(TnxReferenceDescriptor, TnxDictionaryItem, "TnxReferenceDescriptor", nullptr,
                         platform::bindClassTable(nxReferenceFuncs<TnxReferenceDescriptor>))

TnxClassList& TnxReferenceDescriptor::GetList() { return gReferenceClasses; }

TnxReferenceDescriptor* TnxReferenceDescriptor::CreateOfClass(const platform::ClassInfo& aClass,
                                                              TnxPersistent* aParent,
                                                              const platform::ClassInfo* aTargetCursorClass) {
  const auto* funcs = aClass.table<TnxReferenceClassFuncs>();
  if (!funcs || !aClass.inheritsFrom(staticClassInfo()))
    raiseUnsupported<EnxReferenceDescriptorException>(u"ReferenceDescriptor", classText(aClass));
  return funcs->create(aParent, aTargetCursorClass);
}

TnxReferenceDescriptor::TnxReferenceDescriptor(TnxPersistent* aParent, const platform::ClassInfo* aTargetCursorClass)
    : TnxDictionaryItem(aParent) {
  rdTargetCursor = TnxBaseTargetCursorDescriptor::CreateOfClass(
      aTargetCursorClass ? *aTargetCursorClass : TnxTableTargetCursorDescriptor::staticClassInfo(), this);
}

TnxReferenceDescriptor::~TnxReferenceDescriptor() { FreeParts(); }

void TnxReferenceDescriptor::beforeDestruction() {
  FreeParts();
  TnxDictionaryItem::beforeDestruction();
}

void TnxReferenceDescriptor::FreeParts() noexcept {
  freeReferences(rdSources);
  freeReferences(rdActions);
  if (rdTargetCursor) platform::TObject::free(std::exchange(rdTargetCursor, nullptr));
}

TnxBaseSourceDescriptor* TnxReferenceDescriptor::AddSource(const platform::ClassInfo* aClass) {
  rdSources.reserve(rdSources.size() + 1);
  TnxBaseSourceDescriptor* source = TnxBaseSourceDescriptor::CreateOfClass(
      aClass ? *aClass : TnxFieldSourceDescriptor::staticClassInfo(), this);
  rdSources.push_back(source);
  return source;
}

void TnxReferenceDescriptor::RemoveSource(TnxBaseSourceDescriptor* aDescriptor) { removeItem(rdSources, aDescriptor); }
void TnxReferenceDescriptor::RemoveSource(std::int32_t aIndex) { removeAt(rdSources, aIndex); }

TnxBaseActionDescriptor* TnxReferenceDescriptor::AddAction(const platform::ClassInfo* aClass) {
  rdActions.reserve(rdActions.size() + 1);
  TnxBaseActionDescriptor* action = TnxBaseActionDescriptor::CreateOfClass(
      aClass ? *aClass : TnxBlockDeleteActionDescriptor::staticClassInfo(), this);
  rdActions.push_back(action);
  return action;
}

void TnxReferenceDescriptor::RemoveAction(TnxBaseActionDescriptor* aDescriptor) { removeItem(rdActions, aDescriptor); }
void TnxReferenceDescriptor::RemoveAction(std::int32_t aIndex) { removeAt(rdActions, aIndex); }

void TnxReferenceDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  rdTargetCursor->SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteString(rdTargetIndex);
  aWriter.WriteListBegin();
  for (TnxBaseSourceDescriptor* source : rdSources) {
    aWriter.WriteString(classText(source->classInfo()));
    source->SaveToWriter(aWriter, aClientVersion);
  }
  aWriter.WriteListEnd();
  aWriter.WriteListBegin();
  for (TnxBaseActionDescriptor* action : rdActions) {
    aWriter.WriteString(classText(action->classInfo()));
    action->SaveToWriter(aWriter, aClientVersion);
  }
  aWriter.WriteListEnd();
}

void TnxReferenceDescriptor::LoadFromReader(TnxReader& aReader) {
  freeReferences(rdSources);
  freeReferences(rdActions);
  TnxDictionaryItem::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxReferenceDescriptorException(nxErrIncompatibleStream);
  rdTargetCursor->LoadFromReader(aReader);
  rdTargetIndex = aReader.ReadString();
  aReader.ReadListBegin();
  while (!aReader.EndOfList())
    AddSource(&readReferenceClass<EnxReferenceDescriptorException>(aReader, gSourceClasses, u"SourceDescriptor",
                                                          TnxBaseSourceDescriptor::staticClassInfo()))
        ->LoadFromReader(aReader);
  aReader.ReadListEnd();
  aReader.ReadListBegin();
  while (!aReader.EndOfList())
    AddAction(&readReferenceClass<EnxReferenceDescriptorException>(aReader, gActionClasses, u"ActionDescriptor",
                                                          TnxBaseActionDescriptor::staticClassInfo()))
        ->LoadFromReader(aReader);
  aReader.ReadListEnd();
}

void TnxReferenceDescriptor::RaiseBuild(const char16_t* aText) const {
  nxString text;
  if (const auto* dictionary = platform::objectAs<TnxDataDictionary>(FindDataDictionary()))
    text = u"TableName: " + dictionary->BaseName() + u" - ";
  // Marked text: the table name must not be read as a format.
  throw EnxReferenceDescriptorException(u"%s", {text + aText});
}

void TnxReferenceDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  rdTargetCursor->CheckValid(aForBuild);
  if (aForBuild && rdSources.empty()) RaiseBuild(u"Referential Integrity Descriptor - No Referencing Fields");
  for (TnxBaseSourceDescriptor* source : rdSources) source->CheckValid(aForBuild);
  if (aForBuild && rdTargetIndex.empty()) RaiseBuild(u"Referential Integrity Descriptor - Target Index Missing");
  if (aForBuild && rdActions.empty()) RaiseBuild(u"Referential Integrity Descriptor - No Actions Selected");
  for (TnxBaseActionDescriptor* action : rdActions) action->CheckValid(aForBuild);
}

bool TnxReferenceDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = platform::objectAs<TnxReferenceDescriptor>(aItem);
  return other && rdTargetCursor->IsEqual(other->rdTargetCursor) &&
         sameTextAscii(rdTargetIndex, other->rdTargetIndex) && listsEqual(rdSources, other->rdSources) &&
         listsEqual(rdActions, other->rdActions);
}

bool TnxReferenceDescriptor::References(const TnxDictionaryItem* aItem) const {
  const auto* index = platform::objectAs<TnxIndexDescriptor>(aItem);
  if (!index || !sameTextAscii(index->Name(), rdTargetIndex)) return false;
  TnxBaseTableDescriptor* table = referenceOwningTable(index);
  return table && rdTargetCursor->References(table);
}

// ===========================================================================
// TnxRefIntegrityDescriptor

PL_CLASS_INFO_IMPL_TABLE(TnxRefIntegrityDescriptor, TnxBaseCustomDescriptor, "TnxRefIntegrityDescriptor", nullptr,
                         platform::bindClassTable(nxCustomDescriptorFuncs<TnxRefIntegrityDescriptor>))

TnxRefIntegrityDescriptor::~TnxRefIntegrityDescriptor() { FreeReferences(); }

void TnxRefIntegrityDescriptor::beforeDestruction() {
  FreeReferences();
  TnxBaseCustomDescriptor::beforeDestruction();
}

void TnxRefIntegrityDescriptor::FreeReferences() noexcept { freeReferences(ridReferences); }

TnxReferenceDescriptor* TnxRefIntegrityDescriptor::AddReference(const platform::ClassInfo* aReferenceClass,
                                                                const platform::ClassInfo* aTargetCursorClass) {
  ridReferences.reserve(ridReferences.size() + 1);
  TnxReferenceDescriptor* reference = TnxReferenceDescriptor::CreateOfClass(
      aReferenceClass ? *aReferenceClass : TnxReferenceDescriptor::staticClassInfo(), this, aTargetCursorClass);
  ridReferences.push_back(reference);
  return reference;
}

void TnxRefIntegrityDescriptor::RemoveReference(TnxReferenceDescriptor* aDescriptor) {
  removeItem(ridReferences, aDescriptor);
}
void TnxRefIntegrityDescriptor::RemoveReference(std::int32_t aIndex) { removeAt(ridReferences, aIndex); }

void TnxRefIntegrityDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseCustomDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteListBegin();
  for (TnxReferenceDescriptor* reference : ridReferences) {
    aWriter.WriteString(classText(reference->classInfo()));
    aWriter.WriteString(classText(reference->TargetCursor()->classInfo()));
    reference->SaveToWriter(aWriter, aClientVersion);
  }
  aWriter.WriteListEnd();
}

void TnxRefIntegrityDescriptor::LoadFromReader(TnxReader& aReader) {
  FreeReferences();
  TnxBaseCustomDescriptor::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxRefIntegrityDescriptorException(nxErrIncompatibleStream);
  aReader.ReadListBegin();
  while (!aReader.EndOfList()) {
    const platform::ClassInfo& referenceClass = readReferenceClass<EnxRefIntegrityDescriptorException>(
        aReader, gReferenceClasses, u"ReferenceDescriptor", TnxReferenceDescriptor::staticClassInfo());
    const platform::ClassInfo& cursorClass = readReferenceClass<EnxRefIntegrityDescriptorException>(
        aReader, gTargetCursorClasses, u"TargetCursorDescriptor", TnxBaseTargetCursorDescriptor::staticClassInfo());
    AddReference(&referenceClass, &cursorClass)->LoadFromReader(aReader);
  }
  aReader.ReadListEnd();
}

void TnxRefIntegrityDescriptor::CheckValid(bool aForBuild) {
  TnxBaseCustomDescriptor::CheckValid(aForBuild);
  for (TnxReferenceDescriptor* reference : ridReferences) reference->CheckValid(aForBuild);
}

bool TnxRefIntegrityDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseCustomDescriptor::IsEqual(aItem)) return false;
  const auto* other = platform::objectAs<TnxRefIntegrityDescriptor>(aItem);
  return other && listsEqual(ridReferences, other->ridReferences);
}

// ===========================================================================
// Look-ups

TnxRefIntegrityDescriptor* nxEnsureRefIntegrityDescriptor(TnxDataDictionary* aDictionary) {
  TnxCustomDescsDescriptor* customs = aDictionary->CustomDescsDescriptor();
  const std::int32_t inx = customs->GetCustomDescriptorFromName(nxRefIntegrityDescriptorName);
  if (inx < 0)
    return static_cast<TnxRefIntegrityDescriptor*>(
        customs->AddCustom(nxRefIntegrityDescriptorName, &TnxRefIntegrityDescriptor::staticClassInfo()));
  auto* found = platform::objectAs<TnxRefIntegrityDescriptor>(customs->Customs(inx));
  if (!found) throw EnxRefIntegrityDescriptorException(u"Invalid class typecast");
  return found;
}

TnxRefIntegrityDescriptor* nxFindRefIntegrityDescriptor(TnxBaseTableDescriptor* aTableDescriptor) {
  TnxCustomDescsDescriptor* customs = aTableDescriptor->CustomDescsDescriptor();
  if (!customs) return nullptr;
  const std::int32_t inx = customs->GetCustomDescriptorFromName(nxRefIntegrityDescriptorName);
  return inx < 0 ? nullptr : platform::objectAs<TnxRefIntegrityDescriptor>(customs->Customs(inx));
}

// ===========================================================================
// Start-up

void nxsdDataDictionaryRefIntRegister() {
  nxRegisterClassIn(TnxBaseCustomDescriptor::GetList(), TnxRefIntegrityDescriptor::staticClassInfo(), {});
  nxRegisterClassIn(gReferenceClasses, TnxReferenceDescriptor::staticClassInfo(), {});
  nxRegisterClassIn(gTargetCursorClasses, TnxCloneTargetCursorDescriptor::staticClassInfo(), {});
  nxRegisterClassIn(gTargetCursorClasses, TnxTableTargetCursorDescriptor::staticClassInfo(), {});
  nxRegisterClassIn(gTargetCursorClasses, TnxRelativeTargetCursorDescriptor::staticClassInfo(), {});
  nxRegisterClassIn(gSourceClasses, TnxFieldSourceDescriptor::staticClassInfo(), {});
  for (const platform::ClassInfo* cls :
       {&TnxCascadeDeleteActionDescriptor::staticClassInfo(), &TnxClearDeleteActionDescriptor::staticClassInfo(),
        &TnxSetDefaultDeleteActionDescriptor::staticClassInfo(), &TnxBlockDeleteActionDescriptor::staticClassInfo(),
        &TnxCascadeModifyActionDescriptor::staticClassInfo(), &TnxClearModifyActionDescriptor::staticClassInfo(),
        &TnxSetDefaultModifyActionDescriptor::staticClassInfo(), &TnxBlockModifyActionDescriptor::staticClassInfo(),
        &TnxTargetRequiredActionDescriptor::staticClassInfo()})
    nxRegisterClassIn(gActionClasses, *cls, {});
}

void nxsdDataDictionaryRefIntUnregister() {
  nxUnregisterClassIn(TnxBaseCustomDescriptor::GetList(), TnxRefIntegrityDescriptor::staticClassInfo());
  nxFreeClassList(gReferenceClasses);
  nxFreeClassList(gTargetCursorClasses);
  nxFreeClassList(gSourceClasses);
  nxFreeClassList(gActionClasses);
}
