#include "nxsdDataDictionaryInt.h"

#include <algorithm>
#include <string>

#include "nxllBde.h"
#include "nxllMemoryManager.h"
#include "plString.h"

PL_CLASS_INFO_IMPL_TABLE(TnxBaseIndicesDescriptor, TnxDictionaryItem, "TnxBaseIndicesDescriptor", nullptr,
                         platform::bindClassTable(nxIndicesDescriptorFuncs<TnxBaseIndicesDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxMainIndicesDescriptor, TnxBaseIndicesDescriptor, "TnxMainIndicesDescriptor", nullptr,
                         platform::bindClassTable(nxIndicesDescriptorFuncs<TnxMainIndicesDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxInternalIndicesDescriptor, TnxBaseIndicesDescriptor, "TnxInternalIndicesDescriptor",
                         nullptr, platform::bindClassTable(nxIndicesDescriptorFuncs<TnxInternalIndicesDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxBaseFieldValidationDescriptor, TnxDictionaryItem, "TnxBaseFieldValidationDescriptor",
                         nullptr,
                         platform::bindClassTable(nxValidationDescriptorFuncs<TnxBaseFieldValidationDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxBaseFieldsValidationDescriptor, TnxBaseFieldValidationDescriptor,
                         "TnxBaseFieldsValidationDescriptor", nullptr,
                         platform::bindClassTable(nxValidationDescriptorFuncs<TnxBaseFieldsValidationDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxMinMaxValidationDescriptor, TnxBaseFieldValidationDescriptor,
                         "TnxMinMaxValidationDescriptor", nullptr,
                         platform::bindClassTable(nxValidationDescriptorFuncs<TnxMinMaxValidationDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxNoChangeValidationDescriptor, TnxBaseFieldValidationDescriptor,
                         "TnxNoChangeValidationDescriptor", nullptr,
                         platform::bindClassTable(nxValidationDescriptorFuncs<TnxNoChangeValidationDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxSqlCheckValidationDescriptor, TnxBaseFieldsValidationDescriptor,
                         "TnxSqlCheckValidationDescriptor", nullptr,
                         platform::bindClassTable(nxValidationDescriptorFuncs<TnxSqlCheckValidationDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxFieldValidationsDescriptor, TnxDictionaryItem, "TnxFieldValidationsDescriptor", nullptr,
                         platform::bindClassTable(nxValidationsDescriptorFuncs<TnxFieldValidationsDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxFieldsValidationsDescriptor, TnxFieldValidationsDescriptor,
                         "TnxFieldsValidationsDescriptor", nullptr,
                         platform::bindClassTable(nxValidationsDescriptorFuncs<TnxFieldsValidationsDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxCustomDescsDescriptor, TnxDictionaryItem, "TnxCustomDescsDescriptor", nullptr,
                         platform::bindClassTable(nxCustomDescsDescriptorFuncs<TnxCustomDescsDescriptor>))

namespace {

TnxClassList gIndicesDescriptorClasses = nullptr;
TnxClassList gValidationDescriptorClasses = nullptr;
TnxClassList gValidationsDescriptorClasses = nullptr;
TnxClassList gCustomDescsDescriptorClasses = nullptr;

using nxdd::bothOrEqual;
using nxdd::classNameText;
using nxdd::readClass;
using nxdd::readCount;
using nxdd::relatedMainIndices;
using platform::sameTextAscii;

template <class E>
void checkIdentifier(const nxString& aName, TnxResult aCode) {
  nxdd::checkIdentifier<E>(aName, aCode, false);
}


template <class E>
void readVersionOne(TnxReader& aReader) {
  if (aReader.ReadInteger() != 1) throw E(nxErrIncompatibleStream);
}

// Free each entry of an owned list, last first.
template <class T>
void freeAll(std::vector<T*>& aList) noexcept {
  while (!aList.empty()) {
    T* item = aList.back();
    aList.pop_back();
    try {
      platform::TObject::free(item);
    } catch (...) {
    }
  }
}

TnxFilesDescriptor* relatedFilesOf(TnxDictionaryItem* aItem) {
  TnxDictionaryItem* found = nullptr;
  if (!aItem->FindRelatedDescriptorOfType(TnxFilesDescriptor::staticClassInfo(), found, nullptr)) return nullptr;
  return platform::objectAs<TnxFilesDescriptor>(found);
}

}  // namespace

void nxsdRegisterIndexChanges(TnxDictionaryItem* aItem) {
  if (TnxMainIndicesDescriptor* list = relatedMainIndices(aItem)) list->AddIndexChangeNotify(aItem);
}

void nxsdUnregisterIndexChanges(TnxDictionaryItem* aItem) {
  if (TnxMainIndicesDescriptor* list = relatedMainIndices(aItem)) list->RemoveIndexChangeNotify(aItem);
}

// ===========================================================================
// TnxBaseIndicesDescriptor

TnxBaseIndicesDescriptor::TnxBaseIndicesDescriptor(TnxPersistent* aParent, const std::string& aHeaderSection)
    : TnxDictionaryItem(aParent), bidHeaderSection(aHeaderSection) {}

TnxBaseIndicesDescriptor::~TnxBaseIndicesDescriptor() {
  FreeIndices();
}

void TnxBaseIndicesDescriptor::beforeDestruction() {
  TnxDictionaryItem::beforeDestruction();
  FreeIndices();
  bidIndexChangeNotifies.reset();
}

void TnxBaseIndicesDescriptor::FreeIndices() noexcept { freeAll(IndexDescriptor); }

TnxClassList& TnxBaseIndicesDescriptor::GetList() { return gIndicesDescriptorClasses; }

TnxBaseIndicesDescriptor* TnxBaseIndicesDescriptor::CreateOfClass(const platform::ClassInfo& aClass,
                                                                 TnxPersistent* aParent,
                                                                 const std::string& aHeaderSection) {
  const auto* funcs = aClass.table<TnxIndicesDescriptorClassFuncs>();
  if (!funcs || !aClass.inheritsFrom(staticClassInfo()))
    throw EnxBaseIndicesDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                            {nxString(u"IndicesDescriptor"), classNameText(aClass)});
  return funcs->create(aParent, aHeaderSection);
}

void TnxBaseIndicesDescriptor::Raise(TnxResult aCode) const { throw EnxBaseIndicesDescriptorException(aCode); }
void TnxBaseIndicesDescriptor::Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const {
  throw EnxBaseIndicesDescriptorException(aCode, aText, aArgs);
}

void TnxBaseIndicesDescriptor::SetIndicesEngine(const nxString& aValue) {
  CheckReadOnly();
  bidIndicesEngine = aValue;
}

const platform::ClassInfo& TnxBaseIndicesDescriptor::DefaultKeyDescriptorClass() const {
  return TnxCompKeyDescriptor::staticClassInfo();
}

const platform::ClassInfo& TnxBaseIndicesDescriptor::DefaultIndexDescriptorClass() const {
  return TnxIndexDescriptor::staticClassInfo();
}

void TnxBaseIndicesDescriptor::NotifyIndexChange(bool aBefore, std::int32_t aFrom, std::int32_t aTo) {
  if (!bidIndexChangeNotifies) return;
  // A handler may unsubscribe: walk a copy.
  std::vector<TnxDictionaryItem*> items;
  for (std::int32_t i = 0; i < bidIndexChangeNotifies->Count(); ++i)
    items.push_back(static_cast<TnxDictionaryItem*>(bidIndexChangeNotifies->Items(i)));
  for (TnxDictionaryItem* item : items) item->HandleIndexChange(aBefore, aFrom, aTo);
}

void TnxBaseIndicesDescriptor::MakeIndicesCacheable() {
  for (TnxIndexDescriptor* index : IndexDescriptor) index->MakeIndexCacheable();
}

void TnxBaseIndicesDescriptor::AddIndexChangeNotify(TnxDictionaryItem* aItem) {
  if (!bidIndexChangeNotifies) bidIndexChangeNotifies = nxCreateOwned<TnxSortedList>();
  std::int32_t inx;
  if (!bidIndexChangeNotifies->Find(aItem, inx)) bidIndexChangeNotifies->Add(aItem);
}

void TnxBaseIndicesDescriptor::RemoveIndexChangeNotify(TnxDictionaryItem* aItem) {
  if (!bidIndexChangeNotifies) return;
  bidIndexChangeNotifies->Remove(aItem);
  if (bidIndexChangeNotifies->Count() == 0) bidIndexChangeNotifies.reset();
}

void TnxBaseIndicesDescriptor::Renumber(std::int32_t aFrom) {
  for (std::int32_t i = std::max(aFrom, 0); i < IndexCount(); ++i) Indices(i)->SetNumber(i);
}

void TnxBaseIndicesDescriptor::CheckName(const nxString& aName) const {
  if (nxValidateIdentifier(aName, nxErrInvalidIndexName, false, true) != 0) Raise(nxErrInvalidIndexName);
}

TnxIndexDescriptor* TnxBaseIndicesDescriptor::LoadIndex(const platform::ClassInfo& aIndexClass,
                                                        const platform::ClassInfo& aKeyClass, const nxString& aName,
                                                        std::int32_t aFileNumber) {
  const auto* funcs = aIndexClass.table<TnxIndexDescriptorClassFuncs>();
  if (!funcs || !aIndexClass.inheritsFrom(TnxIndexDescriptor::staticClassInfo()))
    Raise(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
          {nxString(u"IndexDescriptor"), classNameText(aIndexClass)});
  IndexDescriptor.reserve(IndexDescriptor.size() + 1);
  TnxIndexDescriptor* index = funcs->create(this, aName, aFileNumber, &aKeyClass);
  IndexDescriptor.push_back(index);
  index->SetNumber(IndexCount() - 1);
  return index;
}

TnxIndexDescriptor* TnxBaseIndicesDescriptor::AddIndex(const nxString& aName, std::int32_t aFileNumber,
                                                       TnxIndexDups aDups, const nxString& aDesc,
                                                       const platform::ClassInfo* aKeyClass,
                                                       const platform::ClassInfo* aIndexClass) {
  CheckReadOnly();
  CheckName(aName);
  if (GetIndexFromName(aName) >= 0) Raise(nxErrIndexExists, u"Duplicated index name: %s", {aName});
  if (TnxFilesDescriptor* files = relatedFilesOf(this))
    if (aFileNumber < 0 || aFileNumber >= files->FileCount())
      Raise(nxErrInvalidDescNumber, u"Invalid file number: %d", {aFileNumber});
  const platform::ClassInfo& indexClass = aIndexClass ? *aIndexClass : DefaultIndexDescriptorClass();
  const platform::ClassInfo& keyClass = aKeyClass ? *aKeyClass : DefaultKeyDescriptorClass();
  TnxIndexDescriptor* index = LoadIndex(indexClass, keyClass, aName, aFileNumber);
  index->SetDups(aDups);
  index->SetDesc(aDesc);
  NotifyIndexChange(false, -1, index->Number());
  return index;
}

TnxIndexDescriptor* TnxBaseIndicesDescriptor::AddIndex(const nxString& aName, std::int32_t aFileNumber, bool aDups,
                                                       const nxString& aDesc, const platform::ClassInfo* aKeyClass,
                                                       const platform::ClassInfo* aIndexClass) {
  return AddIndex(aName, aFileNumber, aDups ? idAll : idNone, aDesc, aKeyClass, aIndexClass);
}

TnxIndexDescriptor* TnxBaseIndicesDescriptor::AddIndex(TnxIndexDescriptor* aIndexDescriptor) {
  CheckReadOnly();
  TnxIndexDescriptor* index =
      AddIndex(aIndexDescriptor->Name(), aIndexDescriptor->FileNumber(), aIndexDescriptor->Dups(),
               aIndexDescriptor->Desc(), &aIndexDescriptor->KeyDescriptor()->classInfo(),
               &aIndexDescriptor->classInfo());
  try {
    // The copy carries the source's settings under its own ID; the source
    // takes that ID so both name the same index.
    aIndexDescriptor->SetID(index->ID());
    TnxMemoryStream stream;
    {
      TnxWriter writer(stream);
      aIndexDescriptor->SaveToWriter(writer, nxInProcessCopyClientVersion);
      writer.FlushBuffer();
    }
    stream.SetPosition(0);
    TnxReader reader(stream);
    index->LoadFromReader(reader);
  } catch (...) {
    RemoveIndex(index->Number());
    throw;
  }
  return index;
}

TnxIndexDescriptor* TnxBaseIndicesDescriptor::InsertIndexAt(std::int32_t aInx, const nxString& aName,
                                                            std::int32_t aFileNumber, TnxIndexDups aDups,
                                                            const nxString& aDesc,
                                                            const platform::ClassInfo* aKeyClass,
                                                            const platform::ClassInfo* aIndexClass) {
  CheckReadOnly();
  CheckName(aName);
  if (aInx < 0 || aInx > IndexCount()) Raise(nxErrInvalidDescNumber, u"Index out of bounds: %d", {aInx});
  NotifyIndexChange(true, -1, aInx);
  TnxIndexDescriptor* index = AddIndex(aName, aFileNumber, aDups, aDesc, aKeyClass, aIndexClass);
  if (aInx == IndexCount() - 1) return index;
  IndexDescriptor.pop_back();
  IndexDescriptor.insert(IndexDescriptor.begin() + aInx, index);
  Renumber(aInx);
  NotifyIndexChange(false, -1, aInx);
  return index;
}

TnxIndexDescriptor* TnxBaseIndicesDescriptor::InsertIndexAt(std::int32_t aInx, const nxString& aName,
                                                            std::int32_t aFileNumber, bool aDups,
                                                            const nxString& aDesc,
                                                            const platform::ClassInfo* aKeyClass,
                                                            const platform::ClassInfo* aIndexClass) {
  return InsertIndexAt(aInx, aName, aFileNumber, aDups ? idAll : idNone, aDesc, aKeyClass, aIndexClass);
}

void TnxBaseIndicesDescriptor::MoveIndex(std::int32_t aFrom, std::int32_t aTo) {
  CheckReadOnly();
  if (aFrom < 0 || aFrom >= IndexCount()) Raise(nxErrInvalidDescNumber, u"Index out of bounds: %d", {aFrom});
  if (aTo < 0 || aTo >= IndexCount()) Raise(nxErrInvalidDescNumber, u"Index out of bounds: %d", {aTo});
  if (aFrom == aTo) return;
  NotifyIndexChange(true, aFrom, aTo);
  TnxIndexDescriptor* index = IndexDescriptor[static_cast<std::size_t>(aFrom)];
  IndexDescriptor.erase(IndexDescriptor.begin() + aFrom);
  IndexDescriptor.insert(IndexDescriptor.begin() + aTo, index);
  Renumber(std::min(aFrom, aTo));
  NotifyIndexChange(false, aFrom, aTo);
}

void TnxBaseIndicesDescriptor::RemoveIndex(std::int32_t aInx) {
  CheckReadOnly();
  if (aInx < 0 || aInx >= IndexCount()) return;
  NotifyIndexChange(true, aInx, -1);
  TnxIndexDescriptor* index = IndexDescriptor[static_cast<std::size_t>(aInx)];
  platform::TObject::free(index);
  IndexDescriptor.erase(IndexDescriptor.begin() + aInx);
  Renumber(aInx);
  NotifyIndexChange(false, aInx, -1);
}

void TnxBaseIndicesDescriptor::RemoveIndex(const nxString& aName) { RemoveIndex(GetIndexFromName(aName)); }

std::int32_t TnxBaseIndicesDescriptor::GetIndexFromName(const nxString& aIndexName) const {
  for (std::int32_t i = 0; i < IndexCount(); ++i)
    if (sameTextAscii(Indices(i)->Name(), aIndexName)) return i;
  return -1;
}

TnxIndexDescriptor* TnxBaseIndicesDescriptor::GetDescriptorFromName(const nxString& aIndexName) const {
  const std::int32_t i = GetIndexFromName(aIndexName);
  return i < 0 ? nullptr : Indices(i);
}

bool TnxBaseIndicesDescriptor::HasIndex(std::span<const std::int32_t> aFields, std::int32_t& aIndex,
                                        TnxIndexDupsSet aDups) const {
  for (std::int32_t i = 0; i < IndexCount(); ++i) {
    TnxIndexDescriptor* index = Indices(i);
    if (!(aDups & nxIndexDupsBit(index->Dups()))) continue;
    auto* key = platform::objectAs<TnxCompKeyDescriptor>(index->KeyDescriptor());
    if (!key || key->Filter() || key->KeyFieldCount() != static_cast<std::int32_t>(aFields.size())) continue;
    bool same = true;
    for (std::int32_t k = 0; k < key->KeyFieldCount() && same; ++k)
      same = key->KeyFields(k)->FieldNumber() == aFields[static_cast<std::size_t>(k)];
    if (same) {
      aIndex = i;
      return true;
    }
  }
  aIndex = -1;
  return false;
}

void TnxBaseIndicesDescriptor::Clear(bool aNotify) {
  TnxDictionaryItem::Clear(aNotify);
  const std::int32_t count = IndexCount();
  if (aNotify)
    for (std::int32_t n = count - 1; n >= 0; --n) NotifyIndexChange(true, n, -1);
  FreeIndices();
  bidIndicesEngine = u"nx1xDefault";
  if (aNotify)
    for (std::int32_t n = count - 1; n >= 0; --n) NotifyIndexChange(false, n, -1);
}

void TnxBaseIndicesDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  if (aClientVersion < nxOldDictionaryClientVersion) Raise(nxErrIncompatibleVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteString(bidIndicesEngine);
  aWriter.WriteInteger(IndexCount());
  for (TnxIndexDescriptor* index : IndexDescriptor) {
    aWriter.WriteString(classNameText(index->classInfo()));
    aWriter.WriteString(classNameText(index->KeyDescriptor()->classInfo()));
    aWriter.WriteString(index->Name());
    aWriter.WriteInteger(index->FileNumber());
    index->SaveToWriter(aWriter, aClientVersion);
  }
}

void TnxBaseIndicesDescriptor::LoadFromReader(TnxReader& aReader) {
  FreeIndices();
  TnxDictionaryItem::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) Raise(nxErrIncompatibleStream);
  bidIndicesEngine = aReader.ReadString();
  const std::int32_t count = aReader.ReadInteger();
  if (count < 0) Raise(nxErrIncompatibleStream);
  for (std::int32_t i = 0; i < count; ++i) {
    const nxString indexName = aReader.ReadString();
    const platform::ClassInfo* indexClass = nxFindClassIn(TnxIndexDescriptor::GetList(), platform::toUtf8(indexName));
    if (!indexClass)
      Raise(nxErrUnsupportedDescriptor, u"%s class is not supported: %s", {nxString(u"IndexDescriptor"), indexName});
    const nxString keyName = aReader.ReadString();
    const platform::ClassInfo* keyClass = nxFindClassIn(TnxBaseKeyDescriptor::GetList(), platform::toUtf8(keyName));
    if (!keyClass)
      Raise(nxErrUnsupportedDescriptor, u"%s class is not supported: %s", {nxString(u"KeyDescriptor"), keyName});
    const nxString name = aReader.ReadString();
    const std::int32_t fileNumber = aReader.ReadInteger();
    LoadIndex(*indexClass, *keyClass, name, fileNumber)->LoadFromReader(aReader);
  }
}

void TnxBaseIndicesDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  if (IndexCount() == 0)
    Raise(nxErrInvalidIndexDescArray, u"IndicesDescriptor requires a minimum of one index", {});
  if (IndexCount() > nxMaxIndicesPerTable) Raise(nxErrTooManyIndices);
  for (std::int32_t i = 0; i < IndexCount(); ++i) {
    TnxIndexDescriptor* index = Indices(i);
    for (std::int32_t j = 0; j < i; ++j)
      if (sameTextAscii(Indices(j)->Name(), index->Name()))
        throw EnxBaseIndicesDescriptorException(nxErrNameNotUnique, u"Duplicated index name: %s", {index->Name()});
    index->SetNumber(i);
    index->CheckValid(aForBuild);
  }
}

bool TnxBaseIndicesDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = platform::objectAs<TnxBaseIndicesDescriptor>(aItem);
  if (!other || other->IndexCount() != IndexCount() || !sameTextAscii(bidIndicesEngine, other->bidIndicesEngine))
    return false;
  for (std::int32_t i = 0; i < IndexCount(); ++i)
    if (!Indices(i)->IsEqual(other->Indices(i))) return false;
  return true;
}

// ===========================================================================
// TnxMainIndicesDescriptor

TnxMainIndicesDescriptor::TnxMainIndicesDescriptor(TnxPersistent* aParent, const std::string& aHeaderSection)
    : TnxBaseIndicesDescriptor(aParent, aHeaderSection) {}

void TnxMainIndicesDescriptor::Raise(TnxResult aCode) const { throw EnxMainIndicesDescriptorException(aCode); }
void TnxMainIndicesDescriptor::Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const {
  throw EnxMainIndicesDescriptorException(aCode, aText, aArgs);
}

void TnxMainIndicesDescriptor::SetDefaultIndex(std::int32_t aValue) {
  CheckReadOnly();
  if (IndexCount() == 0) {
    midDefaultIndex = -1;
    return;
  }
  if (aValue < 0) aValue = 0;
  if (aValue >= IndexCount())
    throw EnxMainIndicesDescriptorException(nxErrInvalidDescNumber, u"Invalid default index number: %d", {aValue});
  midDefaultIndex = aValue;
}

void TnxMainIndicesDescriptor::NotifyIndexChange(bool aBefore, std::int32_t aFrom, std::int32_t aTo) {
  TnxBaseIndicesDescriptor::NotifyIndexChange(aBefore, aFrom, aTo);
  if (aBefore) return;
  nxsdAdjustPosition(midDefaultIndex, aFrom, aTo);
  if (IndexCount() > 0 && midDefaultIndex < 0) midDefaultIndex = 0;
}

void TnxMainIndicesDescriptor::Clear(bool aNotify) {
  TnxBaseIndicesDescriptor::Clear(aNotify);
  midDefaultIndex = -1;
}

void TnxMainIndicesDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseIndicesDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteInteger(midDefaultIndex);
}

void TnxMainIndicesDescriptor::LoadFromReader(TnxReader& aReader) {
  midDefaultIndex = -1;
  TnxBaseIndicesDescriptor::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) Raise(nxErrIncompatibleStream);
  SetDefaultIndex(aReader.ReadInteger());
}

void TnxMainIndicesDescriptor::CheckValid(bool aForBuild) {
  TnxBaseIndicesDescriptor::CheckValid(aForBuild);
  if (midDefaultIndex < 0) midDefaultIndex = 0;
  if (midDefaultIndex >= IndexCount())
    throw EnxBaseIndicesDescriptorException(nxErrInvalidDescNumber, u"Invalid default index number: %d",
                                            {midDefaultIndex});
}

bool TnxMainIndicesDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = platform::objectAs<TnxMainIndicesDescriptor>(aItem);
  return TnxBaseIndicesDescriptor::IsEqual(aItem) && other && other->midDefaultIndex == midDefaultIndex;
}

// ===========================================================================
// TnxInternalIndicesDescriptor

void TnxInternalIndicesDescriptor::Raise(TnxResult aCode) const {
  throw EnxInternalIndicesDescriptorException(aCode);
}
void TnxInternalIndicesDescriptor::Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const {
  throw EnxInternalIndicesDescriptorException(aCode, aText, aArgs);
}

void TnxInternalIndicesDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  if (aClientVersion < nxInternalIndicesClientVersion) Raise(nxErrIncompatibleVersion);
  TnxBaseIndicesDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
}

void TnxInternalIndicesDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseIndicesDescriptor::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) Raise(nxErrIncompatibleStream);
}

// ===========================================================================
// Validations

TnxBaseFieldValidationDescriptor::TnxBaseFieldValidationDescriptor(TnxPersistent* aParent, const nxString& aName)
    : TnxDictionaryItem(aParent) {
  checkIdentifier<EnxBaseFieldValidationDescriptorException>(aName, nxErrInvalidName);
  bvdName = aName;
}

TnxClassList& TnxBaseFieldValidationDescriptor::GetList() { return gValidationDescriptorClasses; }

TnxBaseFieldValidationDescriptor* TnxBaseFieldValidationDescriptor::CreateOfClass(const platform::ClassInfo& aClass,
                                                                                 TnxPersistent* aParent,
                                                                                 const nxString& aName) {
  const auto* funcs = aClass.table<TnxValidationDescriptorClassFuncs>();
  if (!funcs || !aClass.inheritsFrom(staticClassInfo()))
    throw EnxBaseFieldValidationDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                                    {nxString(u"ValidationDescriptor"), classNameText(aClass)});
  return funcs->create(aParent, aName);
}

void TnxBaseFieldValidationDescriptor::Raise(TnxResult aCode) const {
  throw EnxBaseFieldValidationDescriptorException(aCode);
}
void TnxBaseFieldValidationDescriptor::Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const {
  throw EnxBaseFieldValidationDescriptorException(aCode, aText, aArgs);
}

void TnxBaseFieldValidationDescriptor::SetApplyAt(TnxApplyAtSet aValue) {
  CheckReadOnly();
  bvdApplyAt = aValue & nxApplyAtBoth;
}

TnxFieldDescriptor& TnxBaseFieldValidationDescriptor::RelatedField() {
  return *static_cast<TnxFieldDescriptor*>(GetRelatedDescriptorOfType(TnxFieldDescriptor::staticClassInfo()));
}

void TnxBaseFieldValidationDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  if (aClientVersion < nxOldDictionaryClientVersion) Raise(nxErrIncompatibleVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteBoolean((bvdApplyAt & nxApplyAtBit(aaServer)) != 0);
  aWriter.WriteBoolean((bvdApplyAt & nxApplyAtBit(aaClient)) != 0);
}

void TnxBaseFieldValidationDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) Raise(nxErrIncompatibleStream);
  TnxApplyAtSet applyAt = 0;
  if (aReader.ReadBoolean()) applyAt |= nxApplyAtBit(aaServer);
  if (aReader.ReadBoolean()) applyAt |= nxApplyAtBit(aaClient);
  bvdApplyAt = applyAt;
}

void TnxBaseFieldValidationDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  if (nxValidateIdentifier(bvdName, nxErrInvalidName, false, true) != 0) Raise(nxErrInvalidName);
}

bool TnxBaseFieldValidationDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = platform::objectAs<TnxBaseFieldValidationDescriptor>(aItem);
  return TnxDictionaryItem::IsEqual(aItem) && other && other->ApplyAt() == ApplyAt();
}

// --- key fields of MinMax and NoChange

namespace {

void freeKeyField(TnxValidationKeyField& aHolder) noexcept {
  if (TnxKeyFieldDescriptor* kf = std::exchange(aHolder.kf, nullptr)) {
    try {
      platform::TObject::free(kf);
    } catch (...) {
    }
  }
}

TnxKeyFieldDescriptor* addKeyField(TnxBaseFieldValidationDescriptor* aOwner, TnxValidationKeyField& aHolder,
                                   const platform::ClassInfo* aClass) {
  aOwner->CheckReadOnly();
  TnxKeyFieldDescriptor* kf = TnxKeyFieldDescriptor::CreateOfClass(
      aClass ? *aClass : TnxKeyFieldDescriptor::staticClassInfo(), aOwner, nxKeyFieldOfOwnerField);
  freeKeyField(aHolder);
  aHolder.kf = kf;
  return kf;
}

void saveKeyField(const TnxValidationKeyField& aHolder, TnxWriter& aWriter, std::int32_t aClientVersion) {
  aWriter.WriteBoolean(aHolder.kf != nullptr);
  if (aHolder.kf) {
    aWriter.WriteString(classNameText(aHolder.kf->classInfo()));
    aHolder.kf->SaveToWriter(aWriter, aClientVersion);
  }
}

template <class E>
void loadKeyField(TnxBaseFieldValidationDescriptor* aOwner, TnxValidationKeyField& aHolder, TnxReader& aReader) {
  freeKeyField(aHolder);
  if (!aReader.ReadBoolean()) return;
  const platform::ClassInfo& cls = readClass<E>(aReader, TnxKeyFieldDescriptor::GetList(), u"KeyFieldDescriptor",
                                                TnxKeyFieldDescriptor::staticClassInfo());
  aHolder.kf = TnxKeyFieldDescriptor::CreateOfClass(cls, aOwner, nxKeyFieldOfOwnerField);
  aHolder.kf->LoadFromReader(aReader);
}

template <class E>
void checkKeyFieldValidation(TnxBaseFieldValidationDescriptor* aOwner, TnxValidationKeyField& aHolder,
                             bool aForBuild) {
  TnxFieldDescriptor& field = aOwner->RelatedField();
  if (nxFieldTypeIn(field.fdType, aOwner->GetInvalidFieldTypes()))
    throw E(nxErrInvalidFieldDesc, u"\"%s\" is not supported for field type \"%s\"",
            {classNameText(aOwner->classInfo()),
             nxString(field.fdType < nxFieldTypeCount ? nxFieldTypeNames[field.fdType] : u"")});
  if (!aHolder.kf) addKeyField(aOwner, aHolder, nullptr);
  aHolder.kf->CheckValid(aForBuild);
}

}  // namespace

// ===========================================================================
// TnxMinMaxValidationDescriptor

TnxMinMaxValidationDescriptor::~TnxMinMaxValidationDescriptor() { freeKeyField(mmvdKeyField); }

void TnxMinMaxValidationDescriptor::beforeDestruction() {
  freeKeyField(mmvdKeyField);
  TnxBaseFieldValidationDescriptor::beforeDestruction();
}

void TnxMinMaxValidationDescriptor::Raise(TnxResult aCode) const {
  throw EnxMinMaxValidationDescriptorException(aCode);
}
void TnxMinMaxValidationDescriptor::Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const {
  throw EnxMinMaxValidationDescriptorException(aCode, aText, aArgs);
}

TnxKeyFieldDescriptor* TnxMinMaxValidationDescriptor::AddKeyField(const platform::ClassInfo* aClass) {
  return addKeyField(this, mmvdKeyField, aClass);
}

void TnxMinMaxValidationDescriptor::RemoveKeyField() {
  CheckReadOnly();
  freeKeyField(mmvdKeyField);
}

void TnxMinMaxValidationDescriptor::CheckValid(bool aForBuild) {
  TnxBaseFieldValidationDescriptor::CheckValid(aForBuild);
  checkKeyFieldValidation<EnxMinMaxValidationDescriptorException>(this, mmvdKeyField, aForBuild);
}

void TnxMinMaxValidationDescriptor::SetMin(std::vector<std::uint8_t> aValue) {
  CheckReadOnly();
  mmvdMin = std::move(aValue);
}

void TnxMinMaxValidationDescriptor::SetMax(std::vector<std::uint8_t> aValue) {
  CheckReadOnly();
  mmvdMax = std::move(aValue);
}

platform::Variant TnxMinMaxValidationDescriptor::BoundAsVariant(const std::vector<std::uint8_t>& aBound) {
  if (aBound.empty()) return platform::Variant();
  TnxFieldDescriptor& field = RelatedField();
  // A bound shorter than the field (a changed field) reads as zero-padded.
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::max(field.fdLength, 0)), 0);
  std::copy_n(aBound.begin(), std::min(aBound.size(), buffer.size()), buffer.begin());
  return field.fdGetBufferAsVariant(buffer.data());
}

void TnxMinMaxValidationDescriptor::SetBoundAsVariant(std::vector<std::uint8_t>& aBound,
                                                      const platform::Variant& aValue) {
  CheckReadOnly();
  aBound.clear();
  if (aValue.isEmpty() || aValue.isNull()) return;
  TnxFieldDescriptor& field = RelatedField();
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::max(field.fdLength, 0)), 0);
  field.fdSetBufferAsVariant(buffer.data(), aValue);
  aBound = std::move(buffer);
}

platform::Variant TnxMinMaxValidationDescriptor::MinAsVariant() { return BoundAsVariant(mmvdMin); }
platform::Variant TnxMinMaxValidationDescriptor::MaxAsVariant() { return BoundAsVariant(mmvdMax); }
void TnxMinMaxValidationDescriptor::SetMinAsVariant(const platform::Variant& aValue) {
  SetBoundAsVariant(mmvdMin, aValue);
}
void TnxMinMaxValidationDescriptor::SetMaxAsVariant(const platform::Variant& aValue) {
  SetBoundAsVariant(mmvdMax, aValue);
}

void TnxMinMaxValidationDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseFieldValidationDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  for (const std::vector<std::uint8_t>* bound : {&mmvdMin, &mmvdMax}) {
    aWriter.WriteBoolean(!bound->empty());
    if (!bound->empty()) aWriter.Write(bound->data(), static_cast<std::int32_t>(bound->size()));
  }
  saveKeyField(mmvdKeyField, aWriter, aClientVersion);
}

void TnxMinMaxValidationDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseFieldValidationDescriptor::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) Raise(nxErrIncompatibleStream);
  const std::int32_t length = RelatedField().fdLength;
  if (length < 0) Raise(nxErrIncompatibleStream);
  for (std::vector<std::uint8_t>* bound : {&mmvdMin, &mmvdMax}) {
    bound->clear();
    if (!aReader.ReadBoolean()) continue;
    // Grown by what the stream delivers, so a damaged length cannot size a
    // buffer before the bytes are there.
    constexpr std::int32_t kChunk = 4096;
    for (std::int32_t done = 0; done < length;) {
      const std::int32_t n = std::min(kChunk, length - done);
      bound->resize(static_cast<std::size_t>(done + n));
      aReader.Read(bound->data() + done, n);
      done += n;
    }
  }
  loadKeyField<EnxMinMaxValidationDescriptorException>(this, mmvdKeyField, aReader);
}

bool TnxMinMaxValidationDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = platform::objectAs<TnxMinMaxValidationDescriptor>(aItem);
  return TnxBaseFieldValidationDescriptor::IsEqual(aItem) && other && mmvdMin == other->mmvdMin &&
         mmvdMax == other->mmvdMax && bothOrEqual(mmvdKeyField.kf, other->mmvdKeyField.kf);
}

// ===========================================================================
// TnxNoChangeValidationDescriptor

TnxNoChangeValidationDescriptor::~TnxNoChangeValidationDescriptor() { freeKeyField(ncvdKeyField); }

void TnxNoChangeValidationDescriptor::beforeDestruction() {
  freeKeyField(ncvdKeyField);
  TnxBaseFieldValidationDescriptor::beforeDestruction();
}

void TnxNoChangeValidationDescriptor::Raise(TnxResult aCode) const {
  throw EnxNoChangeValidationDescriptorException(aCode);
}
void TnxNoChangeValidationDescriptor::Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const {
  throw EnxNoChangeValidationDescriptorException(aCode, aText, aArgs);
}

TnxKeyFieldDescriptor* TnxNoChangeValidationDescriptor::AddKeyField(const platform::ClassInfo* aClass) {
  return addKeyField(this, ncvdKeyField, aClass);
}

void TnxNoChangeValidationDescriptor::RemoveKeyField() {
  CheckReadOnly();
  freeKeyField(ncvdKeyField);
}

void TnxNoChangeValidationDescriptor::CheckValid(bool aForBuild) {
  TnxBaseFieldValidationDescriptor::CheckValid(aForBuild);
  checkKeyFieldValidation<EnxNoChangeValidationDescriptorException>(this, ncvdKeyField, aForBuild);
}

void TnxNoChangeValidationDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseFieldValidationDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  saveKeyField(ncvdKeyField, aWriter, aClientVersion);
}

void TnxNoChangeValidationDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseFieldValidationDescriptor::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) Raise(nxErrIncompatibleStream);
  loadKeyField<EnxNoChangeValidationDescriptorException>(this, ncvdKeyField, aReader);
}

bool TnxNoChangeValidationDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = platform::objectAs<TnxNoChangeValidationDescriptor>(aItem);
  return TnxBaseFieldValidationDescriptor::IsEqual(aItem) && other &&
         bothOrEqual(ncvdKeyField.kf, other->ncvdKeyField.kf);
}

// ===========================================================================
// TnxSqlCheckValidationDescriptor

void TnxSqlCheckValidationDescriptor::Raise(TnxResult aCode) const {
  throw EnxSqlCheckValidationDescriptorException(aCode);
}
void TnxSqlCheckValidationDescriptor::Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const {
  throw EnxSqlCheckValidationDescriptorException(aCode, aText, aArgs);
}

void TnxSqlCheckValidationDescriptor::SetApplyAt(TnxApplyAtSet aValue) {
  CheckReadOnly();
  bvdApplyAt = aValue & nxApplyAtBit(aaServer);
}

void TnxSqlCheckValidationDescriptor::SetConstraint(const nxString& aValue) {
  CheckReadOnly();
  scvdConstraint = aValue;
}

void TnxSqlCheckValidationDescriptor::SetErrorMessage(const nxString& aValue) {
  CheckReadOnly();
  scvdErrorMessage = aValue;
}

void TnxSqlCheckValidationDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseFieldsValidationDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteWideString(scvdConstraint);
  aWriter.WriteString(scvdErrorMessage);
}

void TnxSqlCheckValidationDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseFieldsValidationDescriptor::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) Raise(nxErrIncompatibleStream);
  scvdConstraint = aReader.ReadWideString();
  scvdErrorMessage = aReader.ReadString();
}

bool TnxSqlCheckValidationDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = platform::objectAs<TnxSqlCheckValidationDescriptor>(aItem);
  return TnxBaseFieldsValidationDescriptor::IsEqual(aItem) && other && scvdConstraint == other->scvdConstraint;
}

// ===========================================================================
// Validation containers

TnxFieldValidationsDescriptor::~TnxFieldValidationsDescriptor() { FreeValidations(); }

void TnxFieldValidationsDescriptor::beforeDestruction() {
  TnxDictionaryItem::beforeDestruction();
  FreeValidations();
}

void TnxFieldValidationsDescriptor::FreeValidations() noexcept { freeAll(ValidationDescriptor); }

TnxClassList& TnxFieldValidationsDescriptor::GetList() { return gValidationsDescriptorClasses; }

TnxFieldValidationsDescriptor* TnxFieldValidationsDescriptor::CreateOfClass(const platform::ClassInfo& aClass,
                                                                           TnxPersistent* aParent) {
  const auto* funcs = aClass.table<TnxValidationsDescriptorClassFuncs>();
  if (!funcs || !aClass.inheritsFrom(staticClassInfo()))
    throw EnxFieldValidationsDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                                 {nxString(u"ValidationsDescriptor"), classNameText(aClass)});
  return funcs->create(aParent);
}

const platform::ClassInfo& TnxFieldValidationsDescriptor::AllowedValidationClass() const {
  return TnxBaseFieldValidationDescriptor::staticClassInfo();
}

const platform::ClassInfo& TnxFieldsValidationsDescriptor::AllowedValidationClass() const {
  return TnxBaseFieldsValidationDescriptor::staticClassInfo();
}

TnxBaseFieldValidationDescriptor* TnxFieldValidationsDescriptor::AddValidation(const nxString& aName,
                                                                             const platform::ClassInfo* aClass) {
  CheckReadOnly();
  checkIdentifier<EnxBaseFieldValidationDescriptorException>(aName, nxErrInvalidName);
  if (GetValidationDescriptorFromName(aName) >= 0)
    throw EnxFieldValidationsDescriptorException(nxErrNameNotUnique, u"Duplicated validation descriptor name: %s",
                                                 {aName});
  const platform::ClassInfo& allowed = AllowedValidationClass();
  if (aClass && !aClass->inheritsFrom(allowed))
    throw EnxFieldValidationsDescriptorException(
        nxErrInvalidParam, u"%s.AddValidation: aClass must be of type %s but is of type %s",
        {classNameText(classInfo()), classNameText(allowed), classNameText(*aClass)});
  ValidationDescriptor.reserve(ValidationDescriptor.size() + 1);
  TnxBaseFieldValidationDescriptor* validation =
      TnxBaseFieldValidationDescriptor::CreateOfClass(aClass ? *aClass : allowed, this, aName);
  ValidationDescriptor.push_back(validation);
  return validation;
}

void TnxFieldValidationsDescriptor::RemoveValidation(std::int32_t aInx) {
  CheckReadOnly();
  if (aInx < 0 || aInx >= ValidationCount()) return;
  TnxBaseFieldValidationDescriptor* validation = ValidationDescriptor[static_cast<std::size_t>(aInx)];
  platform::TObject::free(validation);
  ValidationDescriptor.erase(ValidationDescriptor.begin() + aInx);
}

void TnxFieldValidationsDescriptor::RemoveValidation(const nxString& aName) {
  CheckReadOnly();
  RemoveValidation(GetValidationDescriptorFromName(aName));
}

std::int32_t TnxFieldValidationsDescriptor::GetValidationDescriptorFromName(
    const nxString& aValidationDescriptorName) const {
  for (std::int32_t i = 0; i < ValidationCount(); ++i)
    if (sameTextAscii(Validations(i)->Name(), aValidationDescriptorName)) return i;
  return -1;
}

std::int32_t TnxFieldValidationsDescriptor::GetValidationDescriptorFromClassName(
    const nxString& aValidationDescriptorClassName) const {
  for (std::int32_t i = 0; i < ValidationCount(); ++i)
    if (sameTextAscii(classNameText(Validations(i)->classInfo()), aValidationDescriptorClassName)) return i;
  return -1;
}

void TnxFieldValidationsDescriptor::Clear(bool aNotify) {
  TnxDictionaryItem::Clear(aNotify);
  FreeValidations();
}

void TnxFieldValidationsDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  if (aClientVersion < nxOldDictionaryClientVersion)
    throw EnxFieldValidationsDescriptorException(nxErrIncompatibleVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteInteger(ValidationCount());
  for (TnxBaseFieldValidationDescriptor* validation : ValidationDescriptor) {
    aWriter.WriteString(classNameText(validation->classInfo()));
    aWriter.WriteString(validation->Name());
    validation->SaveToWriter(aWriter, aClientVersion);
  }
}

void TnxFieldValidationsDescriptor::LoadFromReader(TnxReader& aReader) {
  FreeValidations();
  TnxDictionaryItem::LoadFromReader(aReader);
  readVersionOne<EnxFieldValidationsDescriptorException>(aReader);
  const std::int32_t count = readCount<EnxFieldValidationsDescriptorException>(aReader);
  for (std::int32_t i = 0; i < count; ++i) {
    const platform::ClassInfo& cls =
        readClass<EnxFieldValidationsDescriptorException>(aReader, TnxBaseFieldValidationDescriptor::GetList(),
                                                          u"ValidationDescriptor",
                                                          TnxBaseFieldValidationDescriptor::staticClassInfo());
    const nxString name = aReader.ReadString();
    ValidationDescriptor.reserve(ValidationDescriptor.size() + 1);
    TnxBaseFieldValidationDescriptor* validation = TnxBaseFieldValidationDescriptor::CreateOfClass(cls, this, name);
    ValidationDescriptor.push_back(validation);
    validation->LoadFromReader(aReader);
  }
}

void TnxFieldValidationsDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  for (std::int32_t i = 0; i < ValidationCount(); ++i) {
    for (std::int32_t j = 0; j < i; ++j)
      if (sameTextAscii(Validations(j)->Name(), Validations(i)->Name()))
        throw EnxFieldValidationsDescriptorException(nxErrNameNotUnique,
                                                     u"Duplicated validation descriptor name: %s",
                                                     {Validations(i)->Name()});
    Validations(i)->CheckValid(aForBuild);
  }
}

bool TnxFieldValidationsDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = platform::objectAs<TnxFieldValidationsDescriptor>(aItem);
  if (!other || other->ValidationCount() != ValidationCount()) return false;
  for (std::int32_t i = 0; i < ValidationCount(); ++i)
    if (!Validations(i)->IsEqual(other->Validations(i))) return false;
  return true;
}

// ===========================================================================
// TnxCustomDescsDescriptor

TnxCustomDescsDescriptor::~TnxCustomDescsDescriptor() { FreeCustoms(); }

void TnxCustomDescsDescriptor::beforeDestruction() {
  TnxDictionaryItem::beforeDestruction();
  FreeCustoms();
}

void TnxCustomDescsDescriptor::FreeCustoms() noexcept { freeAll(CustomDescriptor); }

TnxClassList& TnxCustomDescsDescriptor::GetList() { return gCustomDescsDescriptorClasses; }

TnxCustomDescsDescriptor* TnxCustomDescsDescriptor::CreateOfClass(const platform::ClassInfo& aClass,
                                                                 TnxPersistent* aParent) {
  const auto* funcs = aClass.table<TnxCustomDescsDescriptorClassFuncs>();
  if (!funcs || !aClass.inheritsFrom(staticClassInfo()))
    throw EnxCustomDescsDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                            {nxString(u"CustomDescsDescriptor"), classNameText(aClass)});
  return funcs->create(aParent);
}

TnxBaseCustomDescriptor* TnxCustomDescsDescriptor::AddCustom(const nxString& aName,
                                                             const platform::ClassInfo* aClass) {
  CheckReadOnly();
  checkIdentifier<EnxCustomDescsDescriptorException>(aName, nxErrInvalidName);
  if (GetCustomDescriptorFromName(aName) >= 0)
    throw EnxCustomDescsDescriptorException(nxErrNameNotUnique, u"Duplicated custom descriptor name: %s", {aName});
  CustomDescriptor.reserve(CustomDescriptor.size() + 1);
  TnxBaseCustomDescriptor* custom = TnxBaseCustomDescriptor::CreateOfClass(
      aClass ? *aClass : TnxBaseCustomDescriptor::staticClassInfo(), this, aName);
  CustomDescriptor.push_back(custom);
  return custom;
}

void TnxCustomDescsDescriptor::RemoveCustom(std::int32_t aInx) {
  CheckReadOnly();
  if (aInx < 0 || aInx >= CustomCount()) return;
  TnxBaseCustomDescriptor* custom = CustomDescriptor[static_cast<std::size_t>(aInx)];
  platform::TObject::free(custom);
  CustomDescriptor.erase(CustomDescriptor.begin() + aInx);
}

void TnxCustomDescsDescriptor::RemoveCustom(const nxString& aName) {
  CheckReadOnly();
  RemoveCustom(GetCustomDescriptorFromName(aName));
}

std::int32_t TnxCustomDescsDescriptor::GetCustomDescriptorFromName(const nxString& aCustomDescriptorName) const {
  for (std::int32_t i = 0; i < CustomCount(); ++i)
    if (sameTextAscii(Customs(i)->Name(), aCustomDescriptorName)) return i;
  return -1;
}

void TnxCustomDescsDescriptor::Clear(bool aNotify) {
  TnxDictionaryItem::Clear(aNotify);
  while (!CustomDescriptor.empty()) {
    TnxBaseCustomDescriptor* custom = CustomDescriptor.back();
    custom->Clear(aNotify);
    CustomDescriptor.pop_back();
    platform::TObject::free(custom);
  }
}

void TnxCustomDescsDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  if (aClientVersion < nxOldDictionaryClientVersion) throw EnxCustomDescsDescriptorException(nxErrIncompatibleVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteInteger(CustomCount());
  for (TnxBaseCustomDescriptor* custom : CustomDescriptor) {
    aWriter.WriteString(classNameText(custom->classInfo()));
    aWriter.WriteString(custom->Name());
    custom->SaveToWriter(aWriter, aClientVersion);
  }
}

void TnxCustomDescsDescriptor::LoadFromReader(TnxReader& aReader) {
  FreeCustoms();
  TnxDictionaryItem::LoadFromReader(aReader);
  readVersionOne<EnxCustomDescsDescriptorException>(aReader);
  const std::int32_t count = readCount<EnxCustomDescsDescriptorException>(aReader);
  for (std::int32_t i = 0; i < count; ++i) {
    const platform::ClassInfo& cls =
        readClass<EnxCustomDescsDescriptorException>(aReader, TnxBaseCustomDescriptor::GetList(), u"CustomDescriptor",
                                                     TnxBaseCustomDescriptor::staticClassInfo());
    const nxString name = aReader.ReadString();
    CustomDescriptor.reserve(CustomDescriptor.size() + 1);
    TnxBaseCustomDescriptor* custom = TnxBaseCustomDescriptor::CreateOfClass(cls, this, name);
    CustomDescriptor.push_back(custom);
    custom->LoadFromReader(aReader);
  }
}

void TnxCustomDescsDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  for (std::int32_t i = 0; i < CustomCount(); ++i) {
    for (std::int32_t j = 0; j < i; ++j)
      if (sameTextAscii(Customs(j)->Name(), Customs(i)->Name()))
        throw EnxCustomDescsDescriptorException(nxErrNameNotUnique, u"Duplicated custom descriptor name: %s",
                                                {Customs(i)->Name()});
    Customs(i)->CheckValid(aForBuild);
  }
}

bool TnxCustomDescsDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = platform::objectAs<TnxCustomDescsDescriptor>(aItem);
  if (!other || other->CustomCount() != CustomCount()) return false;
  for (std::int32_t i = 0; i < CustomCount(); ++i)
    if (!Customs(i)->IsEqual(other->Customs(i))) return false;
  return true;
}

// ===========================================================================
// Validations of fields and of the fields descriptor

void nxsdSaveValidations(TnxFieldValidationsDescriptor* aValidations, TnxWriter& aWriter,
                         std::int32_t aClientVersion) {
  aWriter.WriteBoolean(aValidations != nullptr);
  if (!aValidations) return;
  aWriter.WriteString(classNameText(aValidations->classInfo()));
  aValidations->SaveToWriter(aWriter, aClientVersion);
}

const platform::ClassInfo* nxsdFindValidationsClass(const nxString& aName, const platform::ClassInfo& aBase) {
  const platform::ClassInfo* cls = nxFindClassIn(TnxFieldValidationsDescriptor::GetList(), platform::toUtf8(aName));
  return cls && cls->inheritsFrom(aBase) ? cls : nullptr;
}

TnxFieldValidationsDescriptor* TnxFieldDescriptor::AddValidations(const platform::ClassInfo* aClass) {
  CheckReadOnly();
  TnxFieldValidationsDescriptor* validations = TnxFieldValidationsDescriptor::CreateOfClass(
      aClass ? *aClass : TnxFieldValidationsDescriptor::staticClassInfo(), this);
  nxFreeAndNil(fdValidations);
  fdValidations = validations;
  return validations;
}

TnxFieldValidationsDescriptor* TnxFieldDescriptor::EnsureValidations() {
  return fdValidations ? fdValidations : AddValidations();
}

void TnxFieldDescriptor::RemoveValidations() {
  CheckReadOnly();
  nxFreeAndNil(fdValidations);
}

TnxFieldsValidationsDescriptor* TnxFieldsDescriptor::AddValidations(const platform::ClassInfo* aClass) {
  CheckReadOnly();
  const platform::ClassInfo& cls = aClass ? *aClass : TnxFieldsValidationsDescriptor::staticClassInfo();
  if (!cls.inheritsFrom(TnxFieldsValidationsDescriptor::staticClassInfo()))
    throw EnxFieldsDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                       {nxString(u"ValidationsDescriptor"), classNameText(cls)});
  auto* validations = static_cast<TnxFieldsValidationsDescriptor*>(TnxFieldValidationsDescriptor::CreateOfClass(cls, this));
  nxFreeAndNil(fsdValidations);
  fsdValidations = validations;
  return validations;
}

TnxFieldsValidationsDescriptor* TnxFieldsDescriptor::EnsureValidations() {
  return fsdValidations ? fsdValidations : AddValidations();
}

void TnxFieldsDescriptor::RemoveValidations() {
  CheckReadOnly();
  nxFreeAndNil(fsdValidations);
}

// ===========================================================================
// Start-up

void nxsdDataDictionaryIndicesRegister() {
  TnxDescriptorClass<TnxBaseIndicesDescriptor>::Register();
  TnxDescriptorClass<TnxMainIndicesDescriptor>::Register();
  TnxDescriptorClass<TnxInternalIndicesDescriptor>::Register();
  TnxDescriptorClass<TnxBaseCustomDescriptor>::Register();
  TnxDescriptorClass<TnxCustomDescsDescriptor>::Register();
  // AddValidation without a class makes the containers' base classes: their
  // streams name them.
  TnxDescriptorClass<TnxBaseFieldValidationDescriptor>::Register();
  TnxDescriptorClass<TnxBaseFieldsValidationDescriptor>::Register();
  TnxDescriptorClass<TnxMinMaxValidationDescriptor>::Register();
  TnxDescriptorClass<TnxNoChangeValidationDescriptor>::Register();
  TnxDescriptorClass<TnxFieldValidationsDescriptor>::Register();
  TnxDescriptorClass<TnxSqlCheckValidationDescriptor>::Register();
  TnxDescriptorClass<TnxFieldsValidationsDescriptor>::Register();
  // The list's former name, which older streams carry.
  TnxDescriptorClass<TnxFieldValidationsDescriptor>::Register("TnxValidationsDescriptor");
}

void nxsdDataDictionaryIndicesUnregister() {
  TnxDescriptorClass<TnxFieldsValidationsDescriptor>::Unregister();
  TnxDescriptorClass<TnxSqlCheckValidationDescriptor>::Unregister();
  TnxDescriptorClass<TnxFieldValidationsDescriptor>::Unregister();
  TnxDescriptorClass<TnxNoChangeValidationDescriptor>::Unregister();
  TnxDescriptorClass<TnxMinMaxValidationDescriptor>::Unregister();
  TnxDescriptorClass<TnxBaseFieldsValidationDescriptor>::Unregister();
  TnxDescriptorClass<TnxBaseFieldValidationDescriptor>::Unregister();
  TnxDescriptorClass<TnxCustomDescsDescriptor>::Unregister();
  TnxDescriptorClass<TnxBaseCustomDescriptor>::Unregister();
  TnxDescriptorClass<TnxInternalIndicesDescriptor>::Unregister();
  TnxDescriptorClass<TnxMainIndicesDescriptor>::Unregister();
  TnxDescriptorClass<TnxBaseIndicesDescriptor>::Unregister();
  nxFreeClassList(gIndicesDescriptorClasses);
  nxFreeClassList(gValidationDescriptorClasses);
  nxFreeClassList(gValidationsDescriptorClasses);
  nxFreeClassList(gCustomDescsDescriptorClasses);
}
