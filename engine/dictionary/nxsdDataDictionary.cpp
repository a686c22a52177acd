#include "nxsdDataDictionary.h"

#include <cstring>
#include <string>

#include "nxllBde.h"
#include "nxllLockedFuncs.h"
#include "nxllMemoryManager.h"
#include "nxsdNativeVariantConverter.h"
#include "plErrors.h"
#include "plLocale.h"
#include "plString.h"

NX_IMPLEMENT_EXCEPTION(EnxBaseDictionaryException, EnxBaseException)
NX_IMPLEMENT_EXCEPTION(EnxDictionaryItemException, EnxBaseDictionaryException)
NX_IMPLEMENT_EXCEPTION(EnxFileDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxFilesDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxLocaleDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxBaseIndicesDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxMainIndicesDescriptorException, EnxBaseIndicesDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxInternalIndicesDescriptorException, EnxBaseIndicesDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxFieldsDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxBaseDefaultValueDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxConstDefaultValueDescriptorException, EnxBaseDefaultValueDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxBaseFieldValidationDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxMinMaxValidationDescriptorException, EnxBaseFieldValidationDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxNoChangeValidationDescriptorException, EnxBaseFieldValidationDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxSqlCheckValidationDescriptorException, EnxBaseFieldValidationDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxFieldValidationsDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxLocaleizedDictionaryItemException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxFieldDescriptorException, EnxLocaleizedDictionaryItemException)
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
NX_IMPLEMENT_EXCEPTION(EnxBaseBlockHeapDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxBaseHeapDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxBaseRecordDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxHeapRecordDescriptorException, EnxBaseRecordDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxBaseRecordCompressionDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxBaseBlobDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxHeapBlobDescriptorException, EnxBaseBlobDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxBaseAutoIncDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxAdvAutoIncDescriptorException, EnxBaseAutoIncDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxBaseStreamDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxBaseCustomDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxCustomDescsDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxTablesDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxBaseTableDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxNestedTableDescriptorException, EnxBaseTableDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxDataDictionaryException, EnxDictionaryItemException)

PL_CLASS_INFO_IMPL(TnxDictionaryItem, TnxBaseRegisterableDescriptor, "TnxDictionaryItem", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxFileDescriptor, TnxDictionaryItem, "TnxFileDescriptor", nullptr,
                         platform::bindClassTable(nxFileDescriptorFuncs<TnxFileDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxFilesDescriptor, TnxDictionaryItem, "TnxFilesDescriptor", nullptr,
                         platform::bindClassTable(nxFilesDescriptorFuncs<TnxFilesDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxBaseCustomDescriptor, TnxDictionaryItem, "TnxBaseCustomDescriptor", nullptr,
                         platform::bindClassTable(nxCustomDescriptorFuncs<TnxBaseCustomDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxLocaleDescriptor, TnxDictionaryItem, "TnxLocaleDescriptor", nullptr,
                         platform::bindClassTable(nxLocaleDescriptorFuncs<TnxLocaleDescriptor>))
PL_CLASS_INFO_IMPL(TnxLocalizedDictionaryItem, TnxDictionaryItem, "TnxLocalizedDictionaryItem", nullptr)
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
PL_CLASS_INFO_IMPL(TnxFileStorageDescriptor, TnxDictionaryItem, "TnxFileStorageDescriptor", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxBaseBlockHeapDescriptor, TnxDictionaryItem, "TnxBaseBlockHeapDescriptor", nullptr,
                         platform::bindClassTable(nxStorageDescriptorFuncs<TnxBaseBlockHeapDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxBaseHeapDescriptor, TnxDictionaryItem, "TnxBaseHeapDescriptor", nullptr,
                         platform::bindClassTable(nxStorageDescriptorFuncs<TnxBaseHeapDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxBaseRecordCompressionDescriptor, TnxDictionaryItem, "TnxBaseRecordCompressionDescriptor", nullptr,
                         platform::bindClassTable(nxStorageDescriptorFuncs<TnxBaseRecordCompressionDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxBaseRecordDescriptor, TnxFileStorageDescriptor, "TnxBaseRecordDescriptor", nullptr,
                         platform::bindClassTable(nxStorageDescriptorFuncs<TnxBaseRecordDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxHeapRecordDescriptor, TnxBaseRecordDescriptor, "TnxHeapRecordDescriptor", nullptr,
                         platform::bindClassTable(nxStorageDescriptorFuncs<TnxHeapRecordDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxBaseBlobDescriptor, TnxFileStorageDescriptor, "TnxBaseBlobDescriptor", nullptr,
                         platform::bindClassTable(nxStorageDescriptorFuncs<TnxBaseBlobDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxHeapBlobDescriptor, TnxBaseBlobDescriptor, "TnxHeapBlobDescriptor", nullptr,
                         platform::bindClassTable(nxStorageDescriptorFuncs<TnxHeapBlobDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxBaseAutoIncDescriptor, TnxFileStorageDescriptor, "TnxBaseAutoIncDescriptor", nullptr,
                         platform::bindClassTable(nxStorageDescriptorFuncs<TnxBaseAutoIncDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxAdvAutoIncDescriptor, TnxBaseAutoIncDescriptor, "TnxAdvAutoIncDescriptor", nullptr,
                         platform::bindClassTable(nxStorageDescriptorFuncs<TnxAdvAutoIncDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxBaseStreamDescriptor, TnxDictionaryItem, "TnxBaseStreamDescriptor", nullptr,
                         platform::bindClassTable(nxStorageDescriptorFuncs<TnxBaseStreamDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxFieldsDescriptor, TnxDictionaryItem, "TnxFieldsDescriptor", nullptr,
                         platform::bindClassTable(nxFieldsDescriptorFuncs<TnxFieldsDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxFieldDescriptor, TnxLocalizedDictionaryItem, "TnxFieldDescriptor", nullptr,
                         platform::bindClassTable(nxFieldDescriptorFuncs<TnxFieldDescriptor>))
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

std::atomic<bool> nxDisable30900LocaleFixes{false};

namespace {

thread_local std::int32_t tAssignDepth = 0;
thread_local bool tStrippedInformation = false;

TnxClassList gFileDescriptorClasses = nullptr;
TnxClassList gFilesDescriptorClasses = nullptr;
TnxClassList gCustomDescriptorClasses = nullptr;
TnxClassList gLocaleDescriptorClasses = nullptr;
TnxClassList gDefaultValueDescriptorClasses = nullptr;
TnxClassList gFieldDescriptorClasses = nullptr;
TnxClassList gFieldsDescriptorClasses = nullptr;
TnxClassList gBlockHeapDescriptorClasses = nullptr;
TnxClassList gHeapDescriptorClasses = nullptr;
TnxClassList gRecordCompressionDescriptorClasses = nullptr;
TnxClassList gRecordDescriptorClasses = nullptr;
TnxClassList gBlobDescriptorClasses = nullptr;
TnxClassList gAutoIncDescriptorClasses = nullptr;
TnxClassList gStreamDescriptorClasses = nullptr;
TnxClassList gKeyDescriptorClasses = nullptr;
TnxClassList gKeyFieldDescriptorClasses = nullptr;
TnxClassList gIndexDescriptorClasses = nullptr;
int gInitCount = 0;

const nxString kMissingInformation = u"$MissingInformation";

nxString classNameText(const platform::ClassInfo& aClass) { return platform::fromUtf8(aClass.name); }

char16_t asciiUpper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

bool sameTextAscii(platform::UnicodeStringView a, platform::UnicodeStringView b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (asciiUpper(a[i]) != asciiUpper(b[i])) return false;
  return true;
}

nxString trimControls(const nxString& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && s[b] < 33) ++b;
  while (e > b && s[e - 1] < 33) --e;
  return s.substr(b, e - b);
}

// Identifier check that raises with aException's class; the reason stays the
// pending message of the code.
template <class E>
void checkIdentifier(const nxString& aName, TnxResult aCode, bool aAllowEmpty) {
  if (nxValidateIdentifier(aName, aCode, aAllowEmpty, true) != 0) throw E(aCode);
}

struct AssignDepthGuard {
  AssignDepthGuard() { ++tAssignDepth; }
  ~AssignDepthGuard() { --tAssignDepth; }
  AssignDepthGuard(const AssignDepthGuard&) = delete;
  AssignDepthGuard& operator=(const AssignDepthGuard&) = delete;
};

}  // namespace

std::int32_t nxsdAssignDepth() { return tAssignDepth; }
bool nxsdStrippedInformation() { return tStrippedInformation; }
void nxsdSetStrippedInformation(bool aValue) { tStrippedInformation = aValue; }

bool nxsdAdjustPosition(std::int32_t& aPos, std::int32_t aOld, std::int32_t aNew) {
  const std::int32_t p = aPos;
  if (aOld == p)
    aPos = aNew;
  else if (aOld >= 0 && aOld < p && (aNew < 0 || aNew >= p))
    aPos = p - 1;
  else if ((aOld < 0 || aOld > p) && aNew >= 0 && aNew <= p)
    aPos = p + 1;
  return aPos != p;
}

// ===========================================================================
// TnxDictionaryItem

TnxDictionaryItem::TnxDictionaryItem(TnxPersistent* aParent) : diParent(aParent) {
  TnxDictionaryItem* parent = ParentItem();
  if (parent) {
    if (TnxDictionaryItem* dd = parent->FindDataDictionary()) diID = dd->NextItemID();
    parent->AttachChild(this);
  }
}

TnxDictionaryItem::~TnxDictionaryItem() {
  delete diChilds;
  diChilds = nullptr;
  if (diDetached) return;
  // Destroyed without beforeDestruction (stack object, failed construction):
  // the register and the parent must not keep this item.
  if (TnxDictionaryItem* parent = ParentItem()) {
    try {
      if (!diConstraintName.empty()) parent->UnregisterConstraintName(this, diConstraintName);
    } catch (...) {
    }
    try {
      parent->DetachChild(this);
    } catch (...) {
    }
  }
}

void TnxDictionaryItem::beforeDestruction() {
  // Unregistering may refuse; the item then stays alive and whole.
  SetConstraintName(nxString());
  delete diChilds;
  diChilds = nullptr;
  if (TnxDictionaryItem* parent = ParentItem()) parent->DetachChild(this);
  diDetached = true;
  diCustomStrings.reset();
  TnxBaseRegisterableDescriptor::beforeDestruction();
}

TnxDictionaryItem* TnxDictionaryItem::ParentItem() const { return platform::objectAs<TnxDictionaryItem>(diParent); }

TnxDictionaryItem* TnxDictionaryItem::FindDataDictionary() const {
  for (const TnxDictionaryItem* item = this; item; item = item->ParentItem())
    if (item->IsDataDictionary()) return const_cast<TnxDictionaryItem*>(item);
  return nullptr;
}

void TnxDictionaryItem::CheckReadOnly() {
  if (IsDataDictionary()) return;  // the data dictionary overrides this
  if (TnxDictionaryItem* dd = FindDataDictionary()) dd->CheckReadOnly();
}

std::int32_t TnxDictionaryItem::DictionaryUsableBlockSize(TnxBlockSize /*aBlockSize*/) {
  throw EnxDictionaryItemException(NotSupported(u"UsableBlockSize"));
}

platform::TStringList& TnxDictionaryItem::CustomStrings() {
  if (!diCustomStrings) diCustomStrings = std::make_unique<platform::TStringList>();
  return *diCustomStrings;
}

void TnxDictionaryItem::SetCustomStrings(const platform::TStringList* aStrings) {
  CheckReadOnly();
  if (!aStrings)
    diCustomStrings.reset();
  else if (aStrings != diCustomStrings.get())
    CustomStrings().assign(*aStrings);
}

void TnxDictionaryItem::SetConstraintName(const nxString& aName) {
  checkIdentifier<EnxDictionaryItemException>(aName, nxErrInvalidName, true);
  if (aName == diConstraintName) return;
  const nxString oldName = diConstraintName;
  if (!aName.empty()) RegisterConstraintName(this, aName);
  if (!oldName.empty()) {
    try {
      UnregisterConstraintName(this, oldName);
    } catch (...) {
      if (!aName.empty()) UnregisterConstraintName(this, aName);
      throw;
    }
  }
  diConstraintName = aName;
}

void TnxDictionaryItem::ActivateCache() {
  if (diCacheActive) return;
  diCacheActive = true;
  for (std::int32_t i = 0; i < ChildCount(); ++i) Childs(i)->ActivateCache();
}

void TnxDictionaryItem::DeactivateCache() {
  if (!diCacheActive) return;
  diCacheActive = false;
  for (std::int32_t i = 0; i < ChildCount(); ++i) Childs(i)->DeactivateCache();
}

void TnxDictionaryItem::AttachChild(TnxDictionaryItem* aItem) {
  if (!diChilds) diChilds = platform::create<TnxSortedList>();
  diChilds->Add(aItem);
}

void TnxDictionaryItem::DetachChild(TnxDictionaryItem* aItem) {
  if (!diChilds) return;
  diChilds->Remove(aItem);
  if (diChilds->Count() == 0) nxFreeAndNil(diChilds);
}

void TnxDictionaryItem::RegisterConstraintName(TnxDictionaryItem* aItem, const nxString& aName) {
  if (TnxDictionaryItem* parent = ParentItem()) parent->RegisterConstraintName(aItem, aName);
}

void TnxDictionaryItem::UnregisterConstraintName(TnxDictionaryItem* aItem, const nxString& aName) {
  if (TnxDictionaryItem* parent = ParentItem()) parent->UnregisterConstraintName(aItem, aName);
}

bool TnxDictionaryItem::IsCompatibleClass(const TnxDictionaryItem* aItem) const {
  return aItem && &aItem->classInfo() == &classInfo();
}

void TnxDictionaryItem::Clear(bool /*aNotify*/) {
  CheckReadOnly();
  diCustomStrings.reset();
}

bool TnxDictionaryItem::FindRelatedDescriptorOfType(const platform::ClassInfo& aType,
                                                    TnxDictionaryItem*& aDescriptor, TnxDictionaryItem* aFrom) {
  aDescriptor = nullptr;
  if (inheritsFrom(aType)) {
    aDescriptor = this;
    return true;
  }
  if (TnxDictionaryItem* parent = ParentItem())
    return parent->FindRelatedDescriptorOfType(aType, aDescriptor, aFrom ? aFrom : this);
  return false;
}

void TnxDictionaryItem::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  const bool old = aClientVersion < nxOldDictionaryClientVersion;
  aWriter.WriteInteger(std::int32_t{old ? 1 : 3});
  aWriter.WriteListBegin();
  if (diCustomStrings)
    for (int i = 0; i < diCustomStrings->count(); ++i) aWriter.WriteString(diCustomStrings->strings(i));
  if (IsDataDictionary() && tStrippedInformation &&
      (!diCustomStrings || diCustomStrings->values(kMissingInformation).empty()))
    aWriter.WriteString(u"$MissingInformation=True");
  aWriter.WriteListEnd();
  if (!old) {
    aWriter.WriteInteger(diID);
    aWriter.WriteString(diConstraintName);
  }
}

void TnxDictionaryItem::LoadFromReader(TnxReader& aReader) {
  const std::int32_t version = aReader.ReadInteger();
  if (version < 1 || version > 3) throw EnxDictionaryItemException(nxErrIncompatibleStream);
  diCustomStrings.reset();
  if (aReader.NextValue() != vaList) throw EnxDictionaryItemException(nxErrIncompatibleStream);
  aReader.ReadListBegin();
  while (!aReader.EndOfList()) CustomStrings().add(aReader.ReadString());
  aReader.ReadListEnd();
  if (version >= 2) {
    const std::int32_t id = aReader.ReadInteger();
    if (tAssignDepth <= 0) diID = id;
  }
  if (version >= 3) SetConstraintName(aReader.ReadString());
}

void TnxDictionaryItem::CheckValid(bool aForBuild) {
  if (!aForBuild || !diCustomStrings || diCustomStrings->count() <= 1) return;
  platform::TStringList& lines = *diCustomStrings;
  std::vector<nxString> seen;
  for (int i = lines.count() - 1; i >= 0; --i) {
    const nxString name = lines.names(i);
    if (!name.empty()) {
      bool dup = false;
      for (const nxString& s : seen)
        if (sameTextAscii(s, name)) {
          dup = true;
          break;
        }
      if (dup)
        lines.deleteAt(i);
      else
        seen.push_back(name);
    } else if (trimControls(lines.strings(i)).empty()) {
      lines.deleteAt(i);
    }
  }
}

bool TnxDictionaryItem::IsEqual(const TnxDictionaryItem* aItem) const {
  return aItem && (IsCompatibleClass(aItem) || aItem->IsCompatibleClass(this));
}

void TnxDictionaryItem::Assign(TnxPersistent* aSource) {
  TnxDictionaryItem* source = platform::objectAs<TnxDictionaryItem>(aSource);
  if (!source || &source->classInfo() != &classInfo()) {
    TnxBaseRegisterableDescriptor::Assign(aSource);
    return;
  }
  TnxMemoryStream stream;
  {
    TnxWriter writer(stream);
    source->SaveToWriter(writer, nxInProcessCopyClientVersion);
    writer.FlushBuffer();
  }
  stream.SetPosition(0);
  AssignDepthGuard depth;
  Clear(true);
  TnxReader reader(stream);
  LoadFromReader(reader);
}

bool TnxDictionaryItem::FindParentOfType(const platform::ClassInfo& aType, TnxPersistent*& aParent) const {
  for (TnxPersistent* p = diParent; p;) {
    if (p->inheritsFrom(aType)) {
      aParent = p;
      return true;
    }
    TnxDictionaryItem* item = platform::objectAs<TnxDictionaryItem>(p);
    p = item ? item->diParent : nullptr;
  }
  aParent = nullptr;
  return false;
}

TnxPersistent* TnxDictionaryItem::GetParentOfType(const platform::ClassInfo& aType) const {
  TnxPersistent* result = nullptr;
  if (!FindParentOfType(aType, result))
    throw EnxDictionaryItemException(nxErrObjectNotFound, u"No Parent of type %s could be found",
                                     {classNameText(aType)});
  return result;
}

TnxDictionaryItem* TnxDictionaryItem::GetRelatedDescriptorOfType(const platform::ClassInfo& aType) {
  TnxDictionaryItem* result = nullptr;
  if (!FindRelatedDescriptorOfType(aType, result, nullptr) || !result)
    throw EnxDictionaryItemException(nxErrObjectNotFound, u"No related Descriptor of type %s could be found",
                                     {classNameText(aType)});
  return result;
}

TnxIteratorResult TnxDictionaryItem::IterateReferencing(const TnxDictionaryItemIterator& aIterator, void* aCookie,
                                                        const TnxDictionaryItem* aItem, bool aRecursive) {
  TnxIteratorResult result = irContinue;
  for (std::int32_t i = 0; i < ChildCount(); ++i) {
    TnxDictionaryItem* child = Childs(i);
    if (child->References(aItem)) {
      result = aIterator(child, aCookie);
      if (result == irStop) return result;
    }
    if (aRecursive) {
      result = child->IterateReferencing(aIterator, aCookie, aItem, true);
      if (result == irStop) return result;
    }
  }
  return result;
}

bool TnxDictionaryItem::RequiresPack() {
  if (OwnRequiresPack()) return true;
  for (std::int32_t i = 0; i < ChildCount(); ++i)
    if (Childs(i)->RequiresPack()) return true;
  return false;
}

void TnxDictionaryItem::RegisterFileChanges() {
  TnxDictionaryItem* files = nullptr;
  if (FindRelatedDescriptorOfType(TnxFilesDescriptor::staticClassInfo(), files, nullptr) && files)
    static_cast<TnxFilesDescriptor*>(files)->AddFileChangeNotify(this);
}

void TnxDictionaryItem::UnregisterFileChanges() {
  TnxDictionaryItem* files = nullptr;
  if (FindRelatedDescriptorOfType(TnxFilesDescriptor::staticClassInfo(), files, nullptr) && files)
    static_cast<TnxFilesDescriptor*>(files)->RemoveFileChangeNotify(this);
}

// ===========================================================================
// TnxFileDescriptor

TnxFileDescriptor::TnxFileDescriptor(TnxPersistent* aParent, const nxString& aExtension)
    : TnxDictionaryItem(aParent), fdExtension(aExtension) {}

TnxClassList& TnxFileDescriptor::GetList() { return gFileDescriptorClasses; }

TnxFileDescriptor* TnxFileDescriptor::CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent,
                                                    const nxString& aExtension) {
  const auto* funcs = aClass.table<TnxFileDescriptorClassFuncs>();
  if (!funcs || !aClass.inheritsFrom(staticClassInfo()))
    throw EnxFileDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                     {nxString(u"FileDescriptor"), classNameText(aClass)});
  return funcs->create(aParent, aExtension);
}

void TnxFileDescriptor::SetDesc(const nxString& aValue) {
  CheckReadOnly();
  fdDesc = aValue;
}

void TnxFileDescriptor::SetBlockSize(TnxBlockSize aValue) {
  if (aValue == fdBlockSize) return;
  CheckReadOnly();
  fdBlockSize = aValue;
}

std::int32_t TnxFileDescriptor::BlockSizeBytes() const { return 4096 << static_cast<int>(fdBlockSize); }

void TnxFileDescriptor::SetBlockSizeBytes(std::int32_t aValue) {
  switch (aValue) {
    case 4096: SetBlockSize(nxbs4k); break;
    case 8192: SetBlockSize(nxbs8k); break;
    case 16384: SetBlockSize(nxbs16k); break;
    case 32768: SetBlockSize(nxbs32k); break;
    case 65536: SetBlockSize(nxbs64k); break;
    default:
      throw EnxFileDescriptorException(nxErrInvalidDesc, u"%d is not a valid BlockSize", {aValue});
  }
}

void TnxFileDescriptor::SetInitialSize(TnxGrowSize aValue) {
  CheckReadOnly();
  fdInitialSize = aValue;
}

void TnxFileDescriptor::SetGrowSize(TnxGrowSize aValue) {
  CheckReadOnly();
  fdGrowSize = aValue;
}

std::int32_t TnxFileDescriptor::UsableBlockSize() const {
  TnxDictionaryItem* dd = FindDataDictionary();
  if (!dd) throw EnxFileDescriptorException(NotSupported(u"UsableBlockSize"));
  return dd->DictionaryUsableBlockSize(fdBlockSize);
}

nxString TnxFileDescriptor::FileID() {
  return HasCustomStrings() ? CustomStrings().values(u"$FileID") : nxString();
}

void TnxFileDescriptor::SetFileID(const nxString& aValue) {
  CheckReadOnly();
  CustomStrings().setValue(u"$FileID", aValue);
}

void TnxFileDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteString(fdDesc);
  aWriter.WriteInteger(BlockSizeBytes());
  aWriter.WriteInteger(std::int32_t{fdInitialSize});
  aWriter.WriteInteger(std::int32_t{fdGrowSize});
}

void TnxFileDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxFileDescriptorException(nxErrIncompatibleStream);
  fdDesc = aReader.ReadString();
  SetBlockSizeBytes(aReader.ReadInteger());
  fdInitialSize = aReader.ReadInteger();
  fdGrowSize = aReader.ReadInteger();
}

void TnxFileDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  if (fdNumber == 0) {
    if (!fdExtension.empty())
      throw EnxFileDescriptorException(nxErrInvalidFileExt, u"Invalid file extension: \"%s\"", {fdExtension});
  } else {
    checkIdentifier<EnxFileDescriptorException>(fdExtension, nxErrInvalidFileExt, false);
  }
}

bool TnxFileDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = platform::objectAs<TnxFileDescriptor>(aItem);
  return other && fdExtension == other->fdExtension && fdDesc == other->fdDesc &&
         fdBlockSize == other->fdBlockSize && fdInitialSize == other->fdInitialSize &&
         fdGrowSize == other->fdGrowSize;
}

// ===========================================================================
// TnxFilesDescriptor

TnxFilesDescriptor::TnxFilesDescriptor(TnxPersistent* aParent) : TnxDictionaryItem(aParent) {}

TnxFilesDescriptor::~TnxFilesDescriptor() {
  FreeFiles();
  delete fidFileChangeNotifies;
}

void TnxFilesDescriptor::beforeDestruction() {
  TnxDictionaryItem::beforeDestruction();
  FreeFiles();
}

void TnxFilesDescriptor::FreeFiles() noexcept {
  std::vector<TnxFileDescriptor*> files;
  files.swap(FileDescriptor);
  for (TnxFileDescriptor* f : files) platform::TObject::free(f);
}

TnxClassList& TnxFilesDescriptor::GetList() { return gFilesDescriptorClasses; }

TnxFilesDescriptor* TnxFilesDescriptor::CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent) {
  const auto* funcs = aClass.table<TnxFilesDescriptorClassFuncs>();
  if (!funcs || !aClass.inheritsFrom(staticClassInfo()))
    throw EnxFilesDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                      {nxString(u"FilesDescriptor"), classNameText(aClass)});
  return funcs->create(aParent);
}

void TnxFilesDescriptor::Renumber(std::int32_t aFrom) {
  for (std::int32_t i = aFrom < 0 ? 0 : aFrom; i < FileCount(); ++i) FileDescriptor[static_cast<std::size_t>(i)]->fdNumber = i;
}

std::int32_t TnxFilesDescriptor::GetFileFromExt(const nxString& aFileExt) const {
  for (std::int32_t i = 0; i < FileCount(); ++i)
    if (sameTextAscii(FileDescriptor[static_cast<std::size_t>(i)]->fdExtension, aFileExt)) return i;
  return -1;
}

TnxFileDescriptor* TnxFilesDescriptor::AddFile(const nxString& aExtension, TnxBlockSize aBlockSize,
                                               const nxString& aDesc, const platform::ClassInfo* aClass) {
  CheckReadOnly();
  const bool valid = FileDescriptor.empty() ? aExtension.empty()
                                            : nxValidateIdentifier(aExtension, nxErrInvalidFileExt, false, true) == 0;
  if (!valid)
    throw EnxFilesDescriptorException(nxErrInvalidFileExt, u"Invalid file extension: \"%s\"", {aExtension});
  if (GetFileFromExt(aExtension) >= 0)
    throw EnxFilesDescriptorException(nxErrNameNotUnique, u"Duplicated file extension: \"%s\"", {aExtension});
  TnxFileDescriptor* file =
      TnxFileDescriptor::CreateOfClass(aClass ? *aClass : TnxFileDescriptor::staticClassInfo(), this, aExtension);
  try {
    file->fdDesc = aDesc;
    file->fdBlockSize = aBlockSize;
    FileDescriptor.push_back(file);
  } catch (...) {
    platform::TObject::free(file);
    throw;
  }
  file->fdNumber = FileCount() - 1;
  return file;
}

TnxFileDescriptor* TnxFilesDescriptor::InsertFileAt(std::int32_t aInx, const nxString& aExtension,
                                                    TnxBlockSize aBlockSize, const nxString& aDesc,
                                                    const platform::ClassInfo* aClass) {
  CheckReadOnly();
  if (aInx < 0 || aInx > FileCount())
    throw EnxFilesDescriptorException(nxErrInvalidDescNumber, u"Index out of bounds: %d", {aInx});
  NotifyFileChange(true, -1, aInx);
  TnxFileDescriptor* file = AddFile(aExtension, aBlockSize, aDesc, aClass);
  const std::int32_t pos = file->fdNumber;
  if (aInx < pos) {
    FileDescriptor.erase(FileDescriptor.begin() + pos);
    FileDescriptor.insert(FileDescriptor.begin() + aInx, file);
    Renumber(aInx);
    NotifyFileChange(false, -1, aInx);
  }
  return file;
}

void TnxFilesDescriptor::MoveFile(std::int32_t aFrom, std::int32_t aTo) {
  CheckReadOnly();
  const auto inside = [this](std::int32_t i) { return i >= 1 && i <= FileCount() - 1; };
  if (!inside(aFrom) || !inside(aTo))
    throw EnxFilesDescriptorException(nxErrInvalidDescNumber, u"Index out of bounds: %d",
                                      {inside(aFrom) ? aTo : aFrom});
  if (aFrom == aTo) return;
  NotifyFileChange(true, aFrom, aTo);
  TnxFileDescriptor* file = FileDescriptor[static_cast<std::size_t>(aFrom)];
  FileDescriptor.erase(FileDescriptor.begin() + aFrom);
  FileDescriptor.insert(FileDescriptor.begin() + aTo, file);
  Renumber(aFrom < aTo ? aFrom : aTo);
  NotifyFileChange(false, aFrom, aTo);
}

void TnxFilesDescriptor::RemoveFile(std::int32_t aInx) {
  CheckReadOnly();
  if (aInx == 0)
    throw EnxFilesDescriptorException(nxErrObjectInUse, u"Cannot remove the base file descriptor");
  if (aInx < 1 || aInx > FileCount() - 1) return;
  NotifyFileChange(true, aInx, -1);
  TnxFileDescriptor* file = FileDescriptor[static_cast<std::size_t>(aInx)];
  FileDescriptor.erase(FileDescriptor.begin() + aInx);
  // The descriptor goes even when an after-call fails: it is out of the list.
  struct FreeGuard {
    TnxFileDescriptor* f;
    ~FreeGuard() {
      try {
        platform::TObject::free(f);
      } catch (...) {
      }
    }
  } guard{file};
  Renumber(aInx);
  NotifyFileChange(false, aInx, -1);
}

void TnxFilesDescriptor::RenameFile(std::int32_t aInx, const nxString& aNewExtension) {
  CheckReadOnly();
  if (aInx < 1 || aInx > FileCount() - 1)
    throw EnxFilesDescriptorException(nxErrInvalidDescNumber, u"Index out of bounds: %d", {aInx});
  if (nxValidateIdentifier(aNewExtension, nxErrInvalidFileExt, false, true) != 0)
    throw EnxFilesDescriptorException(nxErrInvalidFileExt, u"Invalid file extension: \"%s\"", {aNewExtension});
  TnxFileDescriptor* file = FileDescriptor[static_cast<std::size_t>(aInx)];
  if (!sameTextAscii(file->fdExtension, aNewExtension) && GetFileFromExt(aNewExtension) >= 0)
    throw EnxFilesDescriptorException(nxErrNameNotUnique, u"Duplicated file extension: \"%s\"", {aNewExtension});
  file->fdExtension = aNewExtension;
}

void TnxFilesDescriptor::RenameFile(const nxString& aOldExtension, const nxString& aNewExtension) {
  RenameFile(GetFileFromExt(aOldExtension), aNewExtension);
}

void TnxFilesDescriptor::AddFileChangeNotify(TnxDictionaryItem* aItem) {
  if (!fidFileChangeNotifies) fidFileChangeNotifies = platform::create<TnxSortedList>();
  std::int32_t inx;
  if (!fidFileChangeNotifies->Find(aItem, inx)) fidFileChangeNotifies->Add(aItem);
}

void TnxFilesDescriptor::RemoveFileChangeNotify(TnxDictionaryItem* aItem) {
  if (!fidFileChangeNotifies) return;
  fidFileChangeNotifies->Remove(aItem);
  if (fidFileChangeNotifies->Count() == 0) nxFreeAndNil(fidFileChangeNotifies);
}

void TnxFilesDescriptor::NotifyFileChange(bool aBefore, std::int32_t aOld, std::int32_t aNew) {
  if (!fidFileChangeNotifies) return;
  // A handler may unsubscribe: walk a copy.
  std::vector<TnxDictionaryItem*> items;
  for (std::int32_t i = 0; i < fidFileChangeNotifies->Count(); ++i)
    items.push_back(static_cast<TnxDictionaryItem*>(fidFileChangeNotifies->Items(i)));
  for (TnxDictionaryItem* item : items) item->HandleFileChange(aBefore, aOld, aNew);
}

void TnxFilesDescriptor::Clear(bool aNotify) {
  TnxDictionaryItem::Clear(aNotify);
  const std::int32_t count = FileCount();
  if (aNotify)
    for (std::int32_t i = count - 1; i >= 0; --i) NotifyFileChange(true, i, -1);
  FreeFiles();
  if (aNotify)
    for (std::int32_t i = count - 1; i >= 0; --i) NotifyFileChange(false, i, -1);
}

void TnxFilesDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  if (aClientVersion < nxOldDictionaryClientVersion) throw EnxFilesDescriptorException(nxErrIncompatibleVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteInteger(FileCount());
  for (TnxFileDescriptor* file : FileDescriptor) {
    aWriter.WriteString(classNameText(file->classInfo()));
    aWriter.WriteString(file->fdExtension);
    file->SaveToWriter(aWriter, aClientVersion);
  }
}

void TnxFilesDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxFilesDescriptorException(nxErrIncompatibleStream);
  Clear(false);
  const std::int32_t count = aReader.ReadInteger();
  for (std::int32_t i = 0; i < count; ++i) {
    const nxString name = aReader.ReadString();
    const platform::ClassInfo* cls = FindDescriptorClass<TnxFileDescriptor>(platform::toUtf8(name));
    if (!cls)
      throw EnxFilesDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                        {nxString(u"FileDescriptor"), name});
    nxString ext = aReader.ReadString();
    if (i == 0) ext.clear();
    TnxFileDescriptor* file = TnxFileDescriptor::CreateOfClass(*cls, this, ext);
    try {
      FileDescriptor.push_back(file);
    } catch (...) {
      platform::TObject::free(file);
      throw;
    }
    file->fdNumber = i;
    file->LoadFromReader(aReader);
  }
}

void TnxFilesDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  if (FileDescriptor.empty())
    throw EnxFilesDescriptorException(nxErrInvalidRecordStruct, u"FilesDescriptor requires a minimum of one file");
  for (std::int32_t i = 0; i < FileCount(); ++i) {
    TnxFileDescriptor* file = FileDescriptor[static_cast<std::size_t>(i)];
    for (std::int32_t j = 0; j < i; ++j)
      if (sameTextAscii(FileDescriptor[static_cast<std::size_t>(j)]->fdExtension, file->fdExtension))
        throw EnxFilesDescriptorException(nxErrNameNotUnique, u"Duplicated file extension: \"%s\"",
                                          {file->fdExtension});
    file->fdNumber = i;
    file->CheckValid(aForBuild);
  }
}

bool TnxFilesDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = platform::objectAs<TnxFilesDescriptor>(aItem);
  if (!other || other->FileCount() != FileCount()) return false;
  for (std::size_t i = 0; i < FileDescriptor.size(); ++i)
    if (!FileDescriptor[i]->IsEqual(other->FileDescriptor[i])) return false;
  return true;
}

// ===========================================================================
// TnxBaseCustomDescriptor

const nxString& TnxBaseCustomDescriptor::CheckedName(const nxString& aName) {
  checkIdentifier<EnxBaseCustomDescriptorException>(aName, nxErrInvalidName, false);
  return aName;
}

// The name is checked before the item exists (no ID taken, no parent link).
TnxBaseCustomDescriptor::TnxBaseCustomDescriptor(TnxPersistent* aParent, const nxString& aName)
    : TnxDictionaryItem((CheckedName(aName), aParent)), bcdName(aName) {}

TnxClassList& TnxBaseCustomDescriptor::GetList() { return gCustomDescriptorClasses; }

TnxBaseCustomDescriptor* TnxBaseCustomDescriptor::CreateOfClass(const platform::ClassInfo& aClass,
                                                                TnxPersistent* aParent, const nxString& aName) {
  const auto* funcs = aClass.table<TnxCustomDescriptorClassFuncs>();
  if (!funcs || !aClass.inheritsFrom(staticClassInfo()))
    throw EnxBaseCustomDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                           {nxString(u"CustomDescriptor"), classNameText(aClass)});
  return funcs->create(aParent, aName);
}

void TnxBaseCustomDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  CheckedName(bcdName);
}

bool TnxBaseCustomDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = platform::objectAs<TnxBaseCustomDescriptor>(aItem);
  return other && bcdName == other->bcdName;
}

// ===========================================================================
// TnxLocaleDescriptor

TnxLocaleDescriptor::TnxLocaleDescriptor(TnxPersistent* aParent)
    : TnxDictionaryItem(aParent), ldLocale(platform::convertDefaultLocale(platform::LOCALE_SYSTEM_DEFAULT)) {}

TnxLocaleDescriptor::~TnxLocaleDescriptor() {
  FreeBuildVersion();
  if (ldNLSVersionInfoCurrent) nxFreeMem(ldNLSVersionInfoCurrent);
  ldNLSVersionInfoCurrent = nullptr;
}

TnxClassList& TnxLocaleDescriptor::GetList() { return gLocaleDescriptorClasses; }

TnxLocaleDescriptor* TnxLocaleDescriptor::CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent) {
  const auto* funcs = aClass.table<TnxLocaleDescriptorClassFuncs>();
  if (!funcs || !aClass.inheritsFrom(staticClassInfo()))
    throw EnxLocaleizedDictionaryItemException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                               {nxString(u"LocaleDescriptor"), classNameText(aClass)});
  return funcs->create(aParent);
}

void TnxLocaleDescriptor::FreeBuildVersion() noexcept {
  if (ldNLSVersionInfoBuild) nxFreeMem(ldNLSVersionInfoBuild);
  ldNLSVersionInfoBuild = nullptr;
}

TNLSVersionInfoEx& TnxLocaleDescriptor::BuildVersion() {
  if (!ldNLSVersionInfoBuild) {
    ldNLSVersionInfoBuild = static_cast<TNLSVersionInfoEx*>(nxAllocMem(sizeof(TNLSVersionInfoEx)));
    *ldNLSVersionInfoBuild = TNLSVersionInfoEx{};
    ldNLSVersionInfoBuild->dwNLSVersionInfoSize = sizeof(TNLSVersionInfoEx);
  }
  return *ldNLSVersionInfoBuild;
}

void TnxLocaleDescriptor::SetLocale(std::uint32_t aValue) {
  CheckReadOnly();
  ldLocale = aValue ? platform::convertDefaultLocale(aValue) : 0;
}

std::uint32_t TnxLocaleDescriptor::Flags() const {
  return (ldIgnoreNonSpace ? nxNORM_IGNORENONSPACE : 0) | (ldIgnoreSymbols ? nxNORM_IGNORESYMBOLS : 0) |
         (ldUseStringSort ? nxSORT_STRINGSORT : 0) | (ldIgnoreKanaType ? nxNORM_IGNOREKANATYPE : 0) |
         (ldIgnoreWidth ? nxNORM_IGNOREWIDTH : 0);
}

void TnxLocaleDescriptor::SetFlags(std::uint32_t aValue) {
  CheckReadOnly();
  ldIgnoreNonSpace = (aValue & nxNORM_IGNORENONSPACE) != 0;
  ldIgnoreSymbols = (aValue & nxNORM_IGNORESYMBOLS) != 0;
  ldUseStringSort = (aValue & nxSORT_STRINGSORT) != 0;
  ldIgnoreKanaType = (aValue & nxNORM_IGNOREKANATYPE) != 0;
  ldIgnoreWidth = (aValue & nxNORM_IGNOREWIDTH) != 0;
}

std::uint16_t TnxLocaleDescriptor::CompareCodepage() const {
  if (ldLocale == 0) return 0;
  try {
    return platform::localeAnsiCodePage(ldLocale);
  } catch (const platform::OsError& e) {
    nxRaiseOSError(e.code(), 0, u"GetLocaleInfoW");
  }
}

std::uint16_t TnxLocaleDescriptor::StorageCodepage() const {
  return ldOverrideStorageCodepage ? ldOverrideStorageCodepage : CompareCodepage();
}

bool TnxLocaleDescriptor::CurrentLocaleVersionEqualToBuildVersion() {
  if (ldLocale == 0 || !ldNLSVersionInfoBuild) return true;
  TNLSVersionInfoEx* current = ldNLSVersionInfoCurrent;
  if (!current) {
    auto* mine = static_cast<TNLSVersionInfoEx*>(nxAllocMem(sizeof(TNLSVersionInfoEx)));
    *mine = TNLSVersionInfoEx{};
    try {
      nxGetNLSVersionInfo(static_cast<std::int32_t>(ldLocale), *mine);
    } catch (...) {
      nxFreeMem(mine);
      throw;
    }
    void* volatile& target = reinterpret_cast<void* volatile&>(ldNLSVersionInfoCurrent);
    void* previous = nxLockedCompareExchangePointer(target, mine, nullptr);
    if (previous) {
      nxFreeMem(mine);
      current = static_cast<TNLSVersionInfoEx*>(previous);
    } else {
      current = mine;
    }
  }
  const TNLSVersionInfoEx& b = *ldNLSVersionInfoBuild;
  return current->dwNLSVersion == b.dwNLSVersion && current->dwDefinedVersion == b.dwDefinedVersion &&
         current->dwEffectiveId == b.dwEffectiveId && nxSameGUID(current->guidCustomVersion, b.guidCustomVersion);
}

void TnxLocaleDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  if (aClientVersion < nxOldDictionaryClientVersion) throw EnxLocaleDescriptorException(nxErrIncompatibleVersion);
  const std::int32_t version = aClientVersion >= nxLocaleFixesClientVersion && !nxDisable30900LocaleFixes ? 2 : 1;
  aWriter.WriteInteger(version);
  aWriter.WriteInteger(static_cast<std::int32_t>(ldLocale));
  aWriter.WriteBoolean(ldIgnoreKanaType);
  aWriter.WriteBoolean(ldIgnoreNonSpace);
  aWriter.WriteBoolean(ldIgnoreSymbols);
  aWriter.WriteBoolean(ldIgnoreWidth);
  aWriter.WriteBoolean(ldUseStringSort);
  aWriter.WriteInteger(std::int32_t{ldOverrideStorageCodepage});
  if (version >= 2) {
    aWriter.WriteBoolean(ldNLSVersionInfoBuild != nullptr);
    if (ldNLSVersionInfoBuild) {
      aWriter.WriteInteger(static_cast<std::int32_t>(ldNLSVersionInfoBuild->dwNLSVersion));
      aWriter.WriteInteger(static_cast<std::int32_t>(ldNLSVersionInfoBuild->dwDefinedVersion));
      aWriter.WriteInteger(static_cast<std::int32_t>(ldNLSVersionInfoBuild->dwEffectiveId));
      aWriter.WriteGuid(ldNLSVersionInfoBuild->guidCustomVersion);
    }
  }
}

void TnxLocaleDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  const std::int32_t version = aReader.ReadInteger();
  if (version != 1 && version != 2) throw EnxLocaleDescriptorException(nxErrIncompatibleStream);
  ldVersion = version;
  ldLocale = static_cast<std::uint32_t>(aReader.ReadInteger());
  ldIgnoreKanaType = aReader.ReadBoolean();
  ldIgnoreNonSpace = aReader.ReadBoolean();
  ldIgnoreSymbols = aReader.ReadBoolean();
  ldIgnoreWidth = aReader.ReadBoolean();
  ldUseStringSort = aReader.ReadBoolean();
  ldOverrideStorageCodepage = static_cast<std::uint16_t>(aReader.ReadInteger());
  if (version == 2 && aReader.ReadBoolean()) {
    TNLSVersionInfoEx& b = BuildVersion();
    b.dwNLSVersion = static_cast<std::uint32_t>(aReader.ReadInteger());
    b.dwDefinedVersion = static_cast<std::uint32_t>(aReader.ReadInteger());
    b.dwEffectiveId = static_cast<std::uint32_t>(aReader.ReadInteger());
    b.guidCustomVersion = aReader.ReadGuid();
  } else {
    FreeBuildVersion();
  }
}

void TnxLocaleDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  if (ldLocale != 0 && !nxIsValidLocale(static_cast<std::int32_t>(ldLocale)))
    throw EnxLocaleDescriptorException(nxErrInvalidLangDriver, u"Locale not supported/installed: %d",
                                       {static_cast<std::int64_t>(ldLocale)});
  if (ldOverrideStorageCodepage != 0 && !nxIsValidCodePage(ldOverrideStorageCodepage))
    throw EnxLocaleDescriptorException(nxErrInvalidLangDriver, u"Invalid codepage: %d",
                                       {std::int32_t{ldOverrideStorageCodepage}});
  if (!aForBuild) return;
  if (!nxDisable30900LocaleFixes && ldLocale != 0) {
    TNLSVersionInfoEx info{};
    nxGetNLSVersionInfo(static_cast<std::int32_t>(ldLocale), info);
    BuildVersion() = info;
  } else {
    FreeBuildVersion();
  }
}

bool TnxLocaleDescriptor::IsCompareable(const TnxLocaleDescriptor* aLocaleDescriptor) const {
  return TnxDictionaryItem::IsEqual(aLocaleDescriptor) && ldLocale == aLocaleDescriptor->ldLocale &&
         Flags() == aLocaleDescriptor->Flags();
}

bool TnxLocaleDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = platform::objectAs<TnxLocaleDescriptor>(aItem);
  return other && IsCompareable(other) && ldOverrideStorageCodepage == other->ldOverrideStorageCodepage;
}

// ===========================================================================
// TnxLocalizedDictionaryItem

TnxLocalizedDictionaryItem::~TnxLocalizedDictionaryItem() { nxFreeAndNil(ldiLocaleDescriptor); }

void TnxLocalizedDictionaryItem::beforeDestruction() {
  TnxDictionaryItem::beforeDestruction();
  nxFreeAndNil(ldiLocaleDescriptor);
}

TnxLocaleDescriptor* TnxLocalizedDictionaryItem::AddLocaleDescriptor(const platform::ClassInfo* aLocaleClass) {
  CheckReadOnly();
  nxFreeAndNil(ldiLocaleDescriptor);
  ldiLocaleDescriptor =
      TnxLocaleDescriptor::CreateOfClass(aLocaleClass ? *aLocaleClass : TnxLocaleDescriptor::staticClassInfo(), this);
  return ldiLocaleDescriptor;
}

void TnxLocalizedDictionaryItem::RemoveLocaleDescriptor() {
  CheckReadOnly();
  nxFreeAndNil(ldiLocaleDescriptor);
}

TnxLocaleDescriptor* TnxLocalizedDictionaryItem::UsedLocaleDescriptor() {
  if (CacheActive()) return ldiCachedLocaleDescriptor;
  return ldiLocaleDescriptor ? ldiLocaleDescriptor : FindInheritedLocaleDescriptor();
}

TnxLocaleDescriptor* TnxLocalizedDictionaryItem::FindInheritedLocaleDescriptor() {
  TnxDictionaryItem* parent = ParentItem();
  if (!parent) return nullptr;
  TnxDictionaryItem* found = nullptr;
  if (!parent->FindRelatedDescriptorOfType(TnxLocaleDescriptor::staticClassInfo(), found, this)) return nullptr;
  return platform::objectAs<TnxLocaleDescriptor>(found);
}

bool TnxLocalizedDictionaryItem::FindRelatedDescriptorOfType(const platform::ClassInfo& aType,
                                                             TnxDictionaryItem*& aDescriptor,
                                                             TnxDictionaryItem* aFrom) {
  if (aType.inheritsFrom(TnxLocaleDescriptor::staticClassInfo())) {
    aDescriptor = UsedLocaleDescriptor();
    return true;
  }
  return TnxDictionaryItem::FindRelatedDescriptorOfType(aType, aDescriptor, aFrom);
}

std::uint16_t TnxLocalizedDictionaryItem::UsedStorageCodePage() {
  if (CacheActive()) return ldiCachedStorageCodePage;
  TnxLocaleDescriptor* used = UsedLocaleDescriptor();
  return used ? used->StorageCodepage() : 0;
}

void TnxLocalizedDictionaryItem::ActivateCache() {
  if (!CacheActive()) {
    ldiCachedLocaleDescriptor = UsedLocaleDescriptor();
    ldiCachedStorageCodePage = ldiCachedLocaleDescriptor ? ldiCachedLocaleDescriptor->StorageCodepage() : 0;
  }
  TnxDictionaryItem::ActivateCache();
}

void TnxLocalizedDictionaryItem::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  if (ldiLocaleDescriptor) ldiLocaleDescriptor->CheckValid(aForBuild);
}

bool TnxLocalizedDictionaryItem::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = platform::objectAs<TnxLocalizedDictionaryItem>(aItem);
  if (!other) return false;
  if (!ldiLocaleDescriptor || !other->ldiLocaleDescriptor)
    return !ldiLocaleDescriptor && !other->ldiLocaleDescriptor;
  return ldiLocaleDescriptor->IsEqual(other->ldiLocaleDescriptor);
}

void TnxLocalizedDictionaryItem::SaveLocaleToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  if (aClientVersion < nxOldDictionaryClientVersion)
    throw EnxLocaleizedDictionaryItemException(nxErrIncompatibleVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteBoolean(ldiLocaleDescriptor != nullptr);
  if (ldiLocaleDescriptor) {
    aWriter.WriteString(classNameText(ldiLocaleDescriptor->classInfo()));
    ldiLocaleDescriptor->SaveToWriter(aWriter, aClientVersion);
  }
}

void TnxLocalizedDictionaryItem::LoadLocaleFromReader(TnxReader& aReader) {
  if (aReader.ReadInteger() != 1) throw EnxLocaleizedDictionaryItemException(nxErrIncompatibleStream);
  if (!aReader.ReadBoolean()) return;
  const nxString name = aReader.ReadString();
  const platform::ClassInfo* cls = FindDescriptorClass<TnxLocaleDescriptor>(platform::toUtf8(name));
  if (!cls)
    throw EnxLocaleizedDictionaryItemException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                               {nxString(u"LocaleDescriptor"), name});
  AddLocaleDescriptor(cls)->LoadFromReader(aReader);
}


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

nxString intText(std::int32_t v) { return platform::fromUtf8(std::to_string(v)); }

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
  aLength = nxFieldTypeSetup(aType, aUnits, aDecPl, aRequired);
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
  fdOffset = aReader.ReadInteger();
  fdLength = aReader.ReadInteger();
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
  TnxFieldDescriptor* field = nxsdReadFieldHeader(aReader, nullptr);
  try {
    field->LoadFromReader(aReader);
  } catch (...) {
    platform::TObject::free(field);
    throw;
  }
  return field;
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
  nxReleaseDiffCompressorInfo(fsdCachedDiffCompressorInfo);
  delete fsdFieldChangeNotifies;
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
    const auto* p = static_cast<const std::uint8_t*>(aValue);
    aSize = p[0];
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
  TnxFieldDescriptor* field = TnxFieldDescriptor::CreateOfClass(
      aClass ? *aClass : TnxFieldDescriptor::staticClassInfo(), this, aName, aDesc, aType, aUnits, aDecPl, aRequired);
  try {
    FieldDescriptor.push_back(field);
  } catch (...) {
    platform::TObject::free(field);
    throw;
  }
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
    AssignDepthGuard keepId;
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
  UpdateLogRecLenAlign();
}

void TnxFieldsDescriptor::UpdateLogRecLenAlign() { fsdLogRecLenAlign = roundUp4(fsdLogRecLen); }

void TnxFieldsDescriptor::MakeFieldsCacheable() {
  for (TnxFieldDescriptor* f : FieldDescriptor) f->MakeFieldCacheable();
}

void TnxFieldsDescriptor::AddFieldChangeNotify(TnxDictionaryItem* aItem) {
  if (!fsdFieldChangeNotifies) fsdFieldChangeNotifies = platform::create<TnxSortedList>();
  std::int32_t inx;
  if (!fsdFieldChangeNotifies->Find(aItem, inx)) fsdFieldChangeNotifies->Add(aItem);
}

void TnxFieldsDescriptor::RemoveFieldChangeNotify(TnxDictionaryItem* aItem) {
  if (!fsdFieldChangeNotifies) return;
  fsdFieldChangeNotifies->Remove(aItem);
  if (fsdFieldChangeNotifies->Count() == 0) nxFreeAndNil(fsdFieldChangeNotifies);
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
  PnxSpecialFieldsInfo info = nxNewSpecialFieldsInfo();
  try {
    FillSpecialFieldsInfo(*info, false);
  } catch (...) {
    nxReleaseSpecialFieldsInfo(info);
    throw;
  }
  aInfo = info;
}

void TnxFieldsDescriptor::GetDiffCompressionInfo(PnxDiffCompressorInfo& aDCI) {
  PnxDiffCompressorInfo cached = fsdCachedDiffCompressorInfo;
  if (aDCI && aDCI == cached) return;
  nxReleaseDiffCompressorInfo(aDCI);
  if (cached) {
    aDCI = nxAddRefDiffCompressorInfo(cached);
    return;
  }
  const std::int32_t rl = RecordLength();
  PnxDiffCompressorInfo info = nxNewDiffCompressorInfo(static_cast<std::uint16_t>(rl));
  try {
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
    nxDiffCompressorMarkRequired(info, blank.data(), marked.data());
  } catch (...) {
    nxReleaseDiffCompressorInfo(info);
    throw;
  }
  if (CacheActive()) {
    PnxDiffCompressorInfo installed =
        nxLockedCompareExchangeObject(fsdCachedDiffCompressorInfo, info, static_cast<PnxDiffCompressorInfo>(nullptr));
    if (installed) {
      nxReleaseDiffCompressorInfo(info);
      aDCI = nxAddRefDiffCompressorInfo(installed);
    } else {
      aDCI = nxAddRefDiffCompressorInfo(info);
    }
    return;
  }
  aDCI = info;
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
  nxReleaseDiffCompressorInfo(fsdCachedDiffCompressorInfo);
  TnxDictionaryItem::DeactivateCache();
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
      if (sameTextAscii(Fields(j)->fdName, f->fdName))
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
  if (fsdValidations) fsdValidations->CheckValid(aForBuild);
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
  TnxDictionaryItem::LoadFromReader(aReader);
  const std::int32_t version = aReader.ReadInteger();
  if (version != 1 && version != 2) throw EnxFieldsDescriptorException(nxErrIncompatibleStream);
  const std::int32_t count = aReader.ReadInteger();
  for (std::int32_t i = 0; i < count; ++i) {
    TnxFieldDescriptor* field = nxsdReadFieldHeader(aReader, this);
    try {
      FieldDescriptor.push_back(field);
    } catch (...) {
      platform::TObject::free(field);
      throw;
    }
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
// Storage engine descriptors

namespace {

// Builds a part of aClass in Base's family; 15499 with aWord otherwise.
template <class Base, class E>
Base* createStorageDescriptor(const platform::ClassInfo& aClass, TnxPersistent* aParent,
                              const std::string& aHeaderSection, const char16_t* aWord) {
  const auto* funcs = aClass.table<TnxStorageDescriptorClassFuncs>();
  if (!funcs || !aClass.inheritsFrom(Base::staticClassInfo()))
    throw E(nxErrUnsupportedDescriptor, u"%s class is not supported: %s", {nxString(aWord), classNameText(aClass)});
  return static_cast<Base*>(funcs->create(aParent, aHeaderSection));
}

// The class named next in the stream, in Base's family.
template <class Base, class E>
const platform::ClassInfo& readStorageClass(TnxReader& aReader, const char16_t* aWord) {
  const nxString name = aReader.ReadString();
  const platform::ClassInfo* cls = TnxDictionaryItem::FindDescriptorClass<Base>(platform::toUtf8(name));
  if (!cls) throw E(nxErrUnsupportedDescriptor, u"%s class is not supported: %s", {nxString(aWord), name});
  return *cls;
}

template <class T>
bool bothOrEqual(const T* a, const T* b) {
  if (!a || !b) return !a && !b;
  return a->IsEqual(b);
}

std::int32_t readVersion(TnxReader& aReader, std::int32_t aMin, std::int32_t aMax, TnxResult& aBad) {
  const std::int32_t v = aReader.ReadInteger();
  aBad = (v < aMin || v > aMax) ? nxErrIncompatibleStream : 0;
  return v;
}

}  // namespace

// --- block heap

TnxClassList& TnxBaseBlockHeapDescriptor::GetList() { return gBlockHeapDescriptorClasses; }

void TnxBaseBlockHeapDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteString(bbhdBlockHeapEngine);
}

void TnxBaseBlockHeapDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxBaseBlockHeapDescriptorException(nxErrIncompatibleStream);
  bbhdBlockHeapEngine = aReader.ReadString();
}

bool TnxBaseBlockHeapDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = platform::objectAs<TnxBaseBlockHeapDescriptor>(aItem);
  return TnxDictionaryItem::IsEqual(aItem) && other && sameTextAscii(bbhdBlockHeapEngine, other->bbhdBlockHeapEngine);
}

// --- heap

TnxClassList& TnxBaseHeapDescriptor::GetList() { return gHeapDescriptorClasses; }
TnxBaseHeapDescriptor::~TnxBaseHeapDescriptor() { nxFreeAndNil(bhdBlockHeapDescriptor); }
void TnxBaseHeapDescriptor::beforeDestruction() {
  nxFreeAndNil(bhdBlockHeapDescriptor);
  TnxDictionaryItem::beforeDestruction();
}

TnxBaseBlockHeapDescriptor* TnxBaseHeapDescriptor::AddBlockHeapDescriptor(const platform::ClassInfo* aClass) {
  CheckReadOnly();
  nxFreeAndNil(bhdBlockHeapDescriptor);
  bhdBlockHeapDescriptor = createStorageDescriptor<TnxBaseBlockHeapDescriptor, EnxBaseHeapDescriptorException>(
      aClass ? *aClass : TnxBaseBlockHeapDescriptor::staticClassInfo(), this, {}, u"BlockHeapDescriptor");
  return bhdBlockHeapDescriptor;
}

void TnxBaseHeapDescriptor::RemoveBlockHeapDescriptor() {
  CheckReadOnly();
  nxFreeAndNil(bhdBlockHeapDescriptor);
}

void TnxBaseHeapDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{aClientVersion >= nxOldDictionaryClientVersion ? 2 : 1});
  aWriter.WriteString(bhdHeapEngine);
  aWriter.WriteBoolean(bhdBlockHeapDescriptor != nullptr);
  if (bhdBlockHeapDescriptor) {
    aWriter.WriteString(classNameText(bhdBlockHeapDescriptor->classInfo()));
    bhdBlockHeapDescriptor->SaveToWriter(aWriter, aClientVersion);
  }
}

void TnxBaseHeapDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  TnxResult bad;
  const std::int32_t version = readVersion(aReader, 1, 2, bad);
  if (bad) throw EnxBaseHeapDescriptorException(bad);
  bhdHeapEngine = aReader.ReadString();
  if (aReader.ReadBoolean()) {
    AddBlockHeapDescriptor(&readStorageClass<TnxBaseBlockHeapDescriptor, EnxBaseHeapDescriptorException>(
                               aReader, u"BlockHeapDescriptor"))
        ->LoadFromReader(aReader);
  } else if (version == 1) {
    AddBlockHeapDescriptor();
  } else {
    nxFreeAndNil(bhdBlockHeapDescriptor);
  }
}

void TnxBaseHeapDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  if (!bhdBlockHeapDescriptor) AddBlockHeapDescriptor();
  bhdBlockHeapDescriptor->CheckValid(aForBuild);
}

bool TnxBaseHeapDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = platform::objectAs<TnxBaseHeapDescriptor>(aItem);
  return TnxDictionaryItem::IsEqual(aItem) && other && sameTextAscii(bhdHeapEngine, other->bhdHeapEngine) &&
         bothOrEqual<TnxDictionaryItem>(bhdBlockHeapDescriptor, other->bhdBlockHeapDescriptor);
}

// --- record compression

TnxClassList& TnxBaseRecordCompressionDescriptor::GetList() { return gRecordCompressionDescriptorClasses; }

void TnxBaseRecordCompressionDescriptor::SetRecordCompressionEngine(const nxString& aValue) {
  CheckReadOnly();
  brcdRecordCompressionEngine = aValue;
}

std::uint8_t TnxBaseRecordCompressionDescriptor::CompressType() {
  if (!HasCustomStrings()) return 0;
  const nxString v = CustomStrings().values(u"CompressType");
  if (v.empty()) return 0;
  try {
    return static_cast<std::uint8_t>(std::stoi(platform::toUtf8(v)));
  } catch (const std::exception&) {
    return 0;
  }
}

void TnxBaseRecordCompressionDescriptor::SetCompressType(std::uint8_t aValue) {
  CheckReadOnly();
  CustomStrings().setValue(u"CompressType", aValue ? intText(aValue) : nxString());
}

void TnxBaseRecordCompressionDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteString(brcdRecordCompressionEngine);
}

void TnxBaseRecordCompressionDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxBaseRecordCompressionDescriptorException(nxErrIncompatibleStream);
  brcdRecordCompressionEngine = aReader.ReadString();
}

bool TnxBaseRecordCompressionDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = platform::objectAs<TnxBaseRecordCompressionDescriptor>(aItem);
  return TnxDictionaryItem::IsEqual(aItem) && other &&
         sameTextAscii(brcdRecordCompressionEngine, other->brcdRecordCompressionEngine);
}

// --- file number part

TnxFileStorageDescriptor::TnxFileStorageDescriptor(TnxPersistent* aParent, const std::string& aHeaderSection)
    : TnxDictionaryItem(aParent), fsHeaderSection(aHeaderSection) {
  RegisterFileChanges();
  fsSubscribed = true;
}

// Also when destroyed without the destruction hook: the files descriptor must
// not keep calling a freed item.
TnxFileStorageDescriptor::~TnxFileStorageDescriptor() { Unsubscribe(); }

void TnxFileStorageDescriptor::Unsubscribe() noexcept {
  if (!fsSubscribed) return;
  fsSubscribed = false;
  try {
    UnregisterFileChanges();
  } catch (...) {
  }
}

void TnxFileStorageDescriptor::beforeDestruction() {
  Unsubscribe();
  TnxDictionaryItem::beforeDestruction();
}

void TnxFileStorageDescriptor::CheckFileNumber(std::int32_t aValue) const {
  TnxDictionaryItem* files = nullptr;
  if (const_cast<TnxFileStorageDescriptor*>(this)->FindRelatedDescriptorOfType(TnxFilesDescriptor::staticClassInfo(),
                                                                              files, nullptr) &&
      files && (aValue < 0 || aValue >= static_cast<TnxFilesDescriptor*>(files)->FileCount()))
    Raise(nxErrInvalidDescNumber, u"Invalid file number: %d", {aValue});
}

void TnxFileStorageDescriptor::SetFileNumber(std::int32_t aValue) {
  CheckReadOnly();
  CheckFileNumber(aValue);
  fsFileNumber = aValue;
}

void TnxFileStorageDescriptor::HandleFileChange(bool aBefore, std::int32_t aOld, std::int32_t aNew) {
  if (aBefore) {
    if (aOld == fsFileNumber && aNew < 0) {
      nxString text(u"Cannot remove file %d because it is still referenced by ");
      text.append(EngineKindText());
      Raise(nxErrObjectInUse, text, {fsFileNumber});
    }
    return;
  }
  nxsdAdjustPosition(fsFileNumber, aOld, aNew);
}

void TnxFileStorageDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  CheckFileNumber(fsFileNumber);
}

// --- record

TnxClassList& TnxBaseRecordDescriptor::GetList() { return gRecordDescriptorClasses; }

TnxBaseRecordDescriptor* TnxBaseRecordDescriptor::CreateOfClass(const platform::ClassInfo& aClass,
                                                                TnxPersistent* aParent,
                                                                const std::string& aHeaderSection) {
  return createStorageDescriptor<TnxBaseRecordDescriptor, EnxBaseRecordDescriptorException>(
      aClass, aParent, aHeaderSection, u"RecordDescriptor");
}

void TnxBaseRecordDescriptor::Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const {
  throw EnxBaseRecordDescriptorException(aCode, aText, aArgs);
}

void TnxBaseRecordDescriptor::SetRecordEngine(const nxString& aValue) {
  CheckReadOnly();
  brdRecordEngine = aValue;
}

void TnxBaseRecordDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  const bool now = aClientVersion >= nxOldDictionaryClientVersion;
  aWriter.WriteInteger(std::int32_t{now ? 2 : 1});
  aWriter.WriteString(brdRecordEngine);
  if (now) aWriter.WriteInteger(fsFileNumber);
}

void TnxBaseRecordDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  TnxResult bad;
  const std::int32_t version = readVersion(aReader, 1, 2, bad);
  if (bad) throw EnxBaseRecordDescriptorException(bad);
  brdRecordEngine = aReader.ReadString();
  if (version >= 2) fsFileNumber = aReader.ReadInteger();
}

bool TnxBaseRecordDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = platform::objectAs<TnxBaseRecordDescriptor>(aItem);
  return TnxDictionaryItem::IsEqual(aItem) && other && fsFileNumber == other->fsFileNumber &&
         sameTextAscii(brdRecordEngine, other->brdRecordEngine);
}

TnxHeapRecordDescriptor::~TnxHeapRecordDescriptor() {
  nxFreeAndNil(hrdHeapDescriptor);
  nxFreeAndNil(hrdRecordCompressionDescriptor);
}

void TnxHeapRecordDescriptor::beforeDestruction() {
  nxFreeAndNil(hrdHeapDescriptor);
  nxFreeAndNil(hrdRecordCompressionDescriptor);
  TnxBaseRecordDescriptor::beforeDestruction();
}

TnxBaseHeapDescriptor* TnxHeapRecordDescriptor::AddHeapDescriptor(const platform::ClassInfo* aClass) {
  CheckReadOnly();
  nxFreeAndNil(hrdHeapDescriptor);
  hrdHeapDescriptor = createStorageDescriptor<TnxBaseHeapDescriptor, EnxHeapRecordDescriptorException>(
      aClass ? *aClass : TnxBaseHeapDescriptor::staticClassInfo(), this, {}, u"HeapDescriptor");
  return hrdHeapDescriptor;
}

void TnxHeapRecordDescriptor::RemoveHeapDescriptor() {
  CheckReadOnly();
  nxFreeAndNil(hrdHeapDescriptor);
}

TnxBaseRecordCompressionDescriptor* TnxHeapRecordDescriptor::AddRecordCompressionDescriptor(
    const platform::ClassInfo* aClass) {
  CheckReadOnly();
  nxFreeAndNil(hrdRecordCompressionDescriptor);
  hrdRecordCompressionDescriptor =
      createStorageDescriptor<TnxBaseRecordCompressionDescriptor, EnxHeapRecordDescriptorException>(
          aClass ? *aClass : TnxBaseRecordCompressionDescriptor::staticClassInfo(), this, {},
          u"RecordCompressionDescriptor");
  return hrdRecordCompressionDescriptor;
}

void TnxHeapRecordDescriptor::RemoveRecordCompressionDescriptor() {
  CheckReadOnly();
  nxFreeAndNil(hrdRecordCompressionDescriptor);
}

void TnxHeapRecordDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseRecordDescriptor::SaveToWriter(aWriter, aClientVersion);
  const bool now = aClientVersion >= nxOldDictionaryClientVersion;
  aWriter.WriteInteger(std::int32_t{now ? 3 : 1});
  aWriter.WriteBoolean(hrdHeapDescriptor != nullptr);
  if (hrdHeapDescriptor) {
    aWriter.WriteString(classNameText(hrdHeapDescriptor->classInfo()));
    hrdHeapDescriptor->SaveToWriter(aWriter, aClientVersion);
  }
  if (!now) return;
  aWriter.WriteBoolean(hrdRecordCompressionDescriptor != nullptr);
  if (hrdRecordCompressionDescriptor) {
    aWriter.WriteString(classNameText(hrdRecordCompressionDescriptor->classInfo()));
    hrdRecordCompressionDescriptor->SaveToWriter(aWriter, aClientVersion);
  }
}

void TnxHeapRecordDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseRecordDescriptor::LoadFromReader(aReader);
  TnxResult bad;
  const std::int32_t version = readVersion(aReader, 1, 3, bad);
  if (bad) throw EnxBaseHeapDescriptorException(bad);
  if (aReader.ReadBoolean())
    AddHeapDescriptor(&readStorageClass<TnxBaseHeapDescriptor, EnxHeapRecordDescriptorException>(aReader,
                                                                                               u"HeapDescriptor"))
        ->LoadFromReader(aReader);
  else if (version == 1)
    AddHeapDescriptor();
  else
    nxFreeAndNil(hrdHeapDescriptor);
  nxFreeAndNil(hrdRecordCompressionDescriptor);
  if (version >= 3 && aReader.ReadBoolean())
    AddRecordCompressionDescriptor(
        &readStorageClass<TnxBaseRecordCompressionDescriptor, EnxHeapRecordDescriptorException>(
            aReader, u"RecordCompressionDescriptor"))
        ->LoadFromReader(aReader);
}

void TnxHeapRecordDescriptor::CheckValid(bool aForBuild) {
  TnxBaseRecordDescriptor::CheckValid(aForBuild);
  if (!hrdHeapDescriptor) AddHeapDescriptor();
  hrdHeapDescriptor->CheckValid(aForBuild);
  if (hrdRecordCompressionDescriptor) hrdRecordCompressionDescriptor->CheckValid(aForBuild);
}

bool TnxHeapRecordDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = platform::objectAs<TnxHeapRecordDescriptor>(aItem);
  return TnxBaseRecordDescriptor::IsEqual(aItem) && other &&
         bothOrEqual<TnxDictionaryItem>(hrdHeapDescriptor, other->hrdHeapDescriptor) &&
         bothOrEqual<TnxDictionaryItem>(hrdRecordCompressionDescriptor, other->hrdRecordCompressionDescriptor);
}

// --- BLOB

TnxClassList& TnxBaseBlobDescriptor::GetList() { return gBlobDescriptorClasses; }

TnxBaseBlobDescriptor* TnxBaseBlobDescriptor::CreateOfClass(const platform::ClassInfo& aClass,
                                                            TnxPersistent* aParent,
                                                            const std::string& aHeaderSection) {
  return createStorageDescriptor<TnxBaseBlobDescriptor, EnxBaseBlobDescriptorException>(aClass, aParent,
                                                                                       aHeaderSection,
                                                                                       u"BlobDescriptor");
}

void TnxBaseBlobDescriptor::Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const {
  throw EnxBaseBlobDescriptorException(aCode, aText, aArgs);
}

void TnxBaseBlobDescriptor::SetBlobEngine(const nxString& aValue) {
  CheckReadOnly();
  bbdBlobEngine = aValue;
}

void TnxBaseBlobDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  const bool now = aClientVersion >= nxOldDictionaryClientVersion;
  aWriter.WriteInteger(std::int32_t{now ? 2 : 1});
  aWriter.WriteString(bbdBlobEngine);
  if (now) aWriter.WriteInteger(fsFileNumber);
}

void TnxBaseBlobDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  TnxResult bad;
  const std::int32_t version = readVersion(aReader, 1, 2, bad);
  if (bad) throw EnxBaseBlobDescriptorException(bad);
  bbdBlobEngine = aReader.ReadString();
  if (version >= 2) fsFileNumber = aReader.ReadInteger();
}

bool TnxBaseBlobDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = platform::objectAs<TnxBaseBlobDescriptor>(aItem);
  return TnxDictionaryItem::IsEqual(aItem) && other && fsFileNumber == other->fsFileNumber &&
         sameTextAscii(bbdBlobEngine, other->bbdBlobEngine);
}

TnxHeapBlobDescriptor::~TnxHeapBlobDescriptor() { nxFreeAndNil(hbdHeapDescriptor); }

void TnxHeapBlobDescriptor::beforeDestruction() {
  nxFreeAndNil(hbdHeapDescriptor);
  TnxBaseBlobDescriptor::beforeDestruction();
}

TnxBaseHeapDescriptor* TnxHeapBlobDescriptor::AddHeapDescriptor(const platform::ClassInfo* aClass) {
  CheckReadOnly();
  nxFreeAndNil(hbdHeapDescriptor);
  hbdHeapDescriptor = createStorageDescriptor<TnxBaseHeapDescriptor, EnxHeapBlobDescriptorException>(
      aClass ? *aClass : TnxBaseHeapDescriptor::staticClassInfo(), this, {}, u"HeapDescriptor");
  return hbdHeapDescriptor;
}

void TnxHeapBlobDescriptor::RemoveHeapDescriptor() {
  CheckReadOnly();
  nxFreeAndNil(hbdHeapDescriptor);
}

void TnxHeapBlobDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseBlobDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{aClientVersion >= nxOldDictionaryClientVersion ? 2 : 1});
  aWriter.WriteBoolean(hbdHeapDescriptor != nullptr);
  if (hbdHeapDescriptor) {
    aWriter.WriteString(classNameText(hbdHeapDescriptor->classInfo()));
    hbdHeapDescriptor->SaveToWriter(aWriter, aClientVersion);
  }
}

void TnxHeapBlobDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseBlobDescriptor::LoadFromReader(aReader);
  TnxResult bad;
  const std::int32_t version = readVersion(aReader, 1, 2, bad);
  if (bad) throw EnxBaseHeapDescriptorException(bad);
  if (aReader.ReadBoolean())
    AddHeapDescriptor(
        &readStorageClass<TnxBaseHeapDescriptor, EnxHeapBlobDescriptorException>(aReader, u"HeapDescriptor"))
        ->LoadFromReader(aReader);
  else if (version == 1)
    AddHeapDescriptor();
  else
    nxFreeAndNil(hbdHeapDescriptor);
}

void TnxHeapBlobDescriptor::CheckValid(bool aForBuild) {
  TnxBaseBlobDescriptor::CheckValid(aForBuild);
  if (!hbdHeapDescriptor) AddHeapDescriptor();
  hbdHeapDescriptor->CheckValid(aForBuild);
}

bool TnxHeapBlobDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = platform::objectAs<TnxHeapBlobDescriptor>(aItem);
  return TnxBaseBlobDescriptor::IsEqual(aItem) && other &&
         bothOrEqual<TnxDictionaryItem>(hbdHeapDescriptor, other->hbdHeapDescriptor);
}

// --- auto-increment

TnxClassList& TnxBaseAutoIncDescriptor::GetList() { return gAutoIncDescriptorClasses; }

TnxBaseAutoIncDescriptor* TnxBaseAutoIncDescriptor::CreateOfClass(const platform::ClassInfo& aClass,
                                                                  TnxPersistent* aParent,
                                                                  const std::string& aHeaderSection) {
  return createStorageDescriptor<TnxBaseAutoIncDescriptor, EnxBaseAutoIncDescriptorException>(
      aClass, aParent, aHeaderSection, u"AutoIncDescriptor");
}

void TnxBaseAutoIncDescriptor::Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const {
  throw EnxBaseAutoIncDescriptorException(aCode, aText, aArgs);
}

void TnxBaseAutoIncDescriptor::SetAutoIncEngine(const nxString& aValue) {
  CheckReadOnly();
  baidAutoIncEngine = aValue;
}

void TnxBaseAutoIncDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteString(baidAutoIncEngine);
  aWriter.WriteInteger(fsFileNumber);
}

void TnxBaseAutoIncDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxBaseAutoIncDescriptorException(nxErrIncompatibleStream);
  baidAutoIncEngine = aReader.ReadString();
  fsFileNumber = aReader.ReadInteger();
}

bool TnxBaseAutoIncDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = platform::objectAs<TnxBaseAutoIncDescriptor>(aItem);
  return TnxDictionaryItem::IsEqual(aItem) && other && fsFileNumber == other->fsFileNumber &&
         sameTextAscii(baidAutoIncEngine, other->baidAutoIncEngine);
}

void TnxAdvAutoIncDescriptor::SetInitialValue(std::uint32_t aValue) {
  CheckReadOnly();
  aaidInitialValue = aValue;
}

void TnxAdvAutoIncDescriptor::SetStep(TnxAutoIncStepRange aValue) {
  CheckReadOnly();
  aaidStep = aValue;
}

void TnxAdvAutoIncDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseAutoIncDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{2});
  aWriter.WriteInteger(static_cast<std::int32_t>(aaidInitialValue));
  aWriter.WriteInteger(static_cast<std::int32_t>(aaidStep));
}

void TnxAdvAutoIncDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseAutoIncDescriptor::LoadFromReader(aReader);
  TnxResult bad;
  const std::int32_t version = readVersion(aReader, 1, 2, bad);
  if (bad) throw EnxAdvAutoIncDescriptorException(bad);
  const auto value = static_cast<std::uint32_t>(aReader.ReadInteger());
  const auto step = static_cast<std::uint32_t>(aReader.ReadInteger());
  aaidInitialValue = version == 1 ? value + step : value;
  aaidStep = step;
}

bool TnxAdvAutoIncDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = platform::objectAs<TnxAdvAutoIncDescriptor>(aItem);
  return TnxBaseAutoIncDescriptor::IsEqual(aItem) && other && aaidInitialValue == other->aaidInitialValue &&
         aaidStep == other->aaidStep;
}

// --- stream

TnxClassList& TnxBaseStreamDescriptor::GetList() { return gStreamDescriptorClasses; }

void TnxBaseStreamDescriptor::SetStreamEngine(const nxString& aValue) {
  CheckReadOnly();
  bsdStreamEngine = aValue;
}

void TnxBaseStreamDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteString(bsdStreamEngine);
}

void TnxBaseStreamDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxBaseStreamDescriptorException(nxErrIncompatibleStream);
  bsdStreamEngine = aReader.ReadString();
}

bool TnxBaseStreamDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = platform::objectAs<TnxBaseStreamDescriptor>(aItem);
  return TnxDictionaryItem::IsEqual(aItem) && other && sameTextAscii(bsdStreamEngine, other->bsdStreamEngine);
}

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
  if (size < 0 || size > INT32_MAX) throw EnxBaseKeyDescriptorException(nxErrIncompatibleStream);
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

namespace {
TnxFieldsDescriptor* relatedFields(TnxDictionaryItem* aItem) {
  TnxDictionaryItem* found = nullptr;
  if (!aItem->FindRelatedDescriptorOfType(TnxFieldsDescriptor::staticClassInfo(), found, nullptr)) return nullptr;
  return platform::objectAs<TnxFieldsDescriptor>(found);
}
}  // namespace

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
  KeyLengthChanged();
  kfdOverrideLengthBytes = aValue;
}

void TnxKeyFieldDescriptor::SetOverrideLengthChars(std::int32_t aValue) {
  if (aValue == kfdOverrideLengthChars) return;
  CheckReadOnly();
  KeyLengthChanged();
  kfdOverrideLengthChars = aValue;
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
         kfdDesc == o->kfdDesc && sameTextAscii(kfdKeyFieldEngine, o->kfdKeyFieldEngine) &&
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
  std::int32_t sum = NullBitmapBytes();
  for (TnxKeyFieldDescriptor* f : ckdKeyFields) sum += f->KeyLength();
  ckdKeyLen = sum;
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
  TnxIndexDescriptor* result = CreateStandalone(number, name, fileNumber, keyClass, indexClass);
  try {
    result->LoadFromReader(aReader);
  } catch (...) {
    platform::TObject::free(result);
    throw;
  }
  return result;
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

void TnxIndexDescriptor::MakeIndexCacheable() {
  if (!sameTextAscii(idName, u"Sequential Access Index")) {
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
         sameTextAscii(idIndexEngine, o->idIndexEngine) && idDesc == o->idDesc && idFileNumber == o->idFileNumber &&
         idDups == o->idDups && idKeyDescriptor->IsEqual(o->idKeyDescriptor);
}

// ===========================================================================
// Start-up

namespace {

// The module's descriptor classes in start-up order; the validation list
// class is also known under its former name.
#define NX_DICTIONARY_CLASSES(X) \
  X(TnxFileDescriptor) \
  X(TnxFilesDescriptor) \
  X(TnxLocaleDescriptor) \
  X(TnxConstDefaultValueDescriptor) \
  X(TnxCurrentDateTimeDefaultValueDescriptor) \
  X(TnxCurrentUserDefaultValueDescriptor) \
  X(TnxAutoGuidDefaultValueDescriptor) \
  X(TnxEmptyDefaultValueDescriptor) \
  X(TnxNextLSNDefaultValueDescriptor) \
  X(TnxFieldDescriptor) \
  X(TnxRefKeyDescriptor) \
  X(TnxInt64KeyDescriptor) \
  X(TnxBlobCacheKeyDescriptor) \
  X(TnxCompKeyDescriptor) \
  X(TnxNoNullCompKeyDescriptor) \
  X(TnxKeyFieldDescriptor) \
  X(TnxTextKeyFieldDescriptor) \
  X(TnxExtTextKeyFieldDescriptor) \
  X(TnxIndexDescriptor) \
  X(TnxFieldsDescriptor) \
  X(TnxBaseIndicesDescriptor) \
  X(TnxMainIndicesDescriptor) \
  X(TnxInternalIndicesDescriptor) \
  X(TnxBaseBlockHeapDescriptor) \
  X(TnxBaseHeapDescriptor) \
  X(TnxBaseRecordDescriptor) \
  X(TnxHeapRecordDescriptor) \
  X(TnxBaseBlobDescriptor) \
  X(TnxHeapBlobDescriptor) \
  X(TnxBaseCustomDescriptor) \
  X(TnxBaseAutoIncDescriptor) \
  X(TnxAdvAutoIncDescriptor) \
  X(TnxBaseStreamDescriptor) \
  X(TnxCustomDescsDescriptor) \
  X(TnxTablesDescriptor) \
  X(TnxNestedTableDescriptor) \
  X(TnxMinMaxValidationDescriptor) \
  X(TnxNoChangeValidationDescriptor) \
  X(TnxFieldValidationsDescriptor) \
  X(TnxBaseRecordCompressionDescriptor) \
  X(TnxSqlCheckValidationDescriptor) \
  X(TnxFieldsValidationsDescriptor)

void RegisterClasses() {
#define NX_REGISTER(C) TnxDescriptorClass<C>::Register();
  NX_DICTIONARY_CLASSES(NX_REGISTER)
#undef NX_REGISTER
  TnxDescriptorClass<TnxFieldValidationsDescriptor>::Register("TnxValidationsDescriptor");
}

void UnregisterClasses() {
  // Reverse order; the alias goes with its class.
  using Step = void (*)();
#define NX_UNREGISTER(C) &TnxDescriptorClass<C>::Unregister,
  static constexpr Step kSteps[] = {NX_DICTIONARY_CLASSES(NX_UNREGISTER)};
#undef NX_UNREGISTER
  for (std::size_t i = std::size(kSteps); i-- > 0;) kSteps[i]();
}

}  // namespace

void nxsdDataDictionaryInitialize(std::span<const nxString> aArguments) {
  if (gInitCount++ > 0) return;
  if (nxFindCmdLineSwitch(u"Disable30900LocaleFixes", aArguments)) nxDisable30900LocaleFixes = true;
  RegisterClasses();
}

void nxsdDataDictionaryInitialize() {
  if (gInitCount++ > 0) return;
  if (nxFindCmdLineSwitch(u"Disable30900LocaleFixes")) nxDisable30900LocaleFixes = true;
  RegisterClasses();
}

void nxsdDataDictionaryFinalize() {
  if (gInitCount <= 0 || --gInitCount > 0) return;
  UnregisterClasses();
  nxsdFreeIndicesClassLists();
  nxsdFreeTablesClassLists();
  nxFreeClassList(gFileDescriptorClasses);
  nxFreeClassList(gFilesDescriptorClasses);
  nxFreeClassList(gCustomDescriptorClasses);
  nxFreeClassList(gLocaleDescriptorClasses);
  nxFreeClassList(gDefaultValueDescriptorClasses);
  nxFreeClassList(gFieldDescriptorClasses);
  nxFreeClassList(gFieldsDescriptorClasses);
  nxFreeClassList(gBlockHeapDescriptorClasses);
  nxFreeClassList(gHeapDescriptorClasses);
  nxFreeClassList(gRecordCompressionDescriptorClasses);
  nxFreeClassList(gRecordDescriptorClasses);
  nxFreeClassList(gBlobDescriptorClasses);
  nxFreeClassList(gAutoIncDescriptorClasses);
  nxFreeClassList(gStreamDescriptorClasses);
  nxFreeClassList(gKeyDescriptorClasses);
  nxFreeClassList(gKeyFieldDescriptorClasses);
  nxFreeClassList(gIndexDescriptorClasses);
}
