#include "nxsdDataDictionaryFulltext.h"

#include <algorithm>
#include <cassert>
#include <limits>
#include <utility>

#include "nxllBde.h"
#include "plCollation.h"
#include "plString.h"

using platform::sameTextAscii;

#define NX_FT_IMPLEMENT_EXCEPTION(Cls, Parent) NX_IMPLEMENT_EXCEPTION(Enx##Cls##Exception, Parent)
NX_FT_EXCEPTIONS(NX_FT_IMPLEMENT_EXCEPTION)
#undef NX_FT_IMPLEMENT_EXCEPTION
NX_IMPLEMENT_EXCEPTION(EnxFulltextDescriptorException, EnxBaseCustomDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxTokenIndicesDescriptorException, EnxBaseIndicesDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxBitArrayTokenKeyDescriptorException, EnxBaseKeyDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxMainIndexTokenKeyDescriptorException, EnxBaseKeyDescriptorException)

// Class metadata: abstract levels without a constructor table, registered
// classes with one.
#define NX_FT_CLASS(Cls, Parent) PL_CLASS_INFO_IMPL(Tnx##Cls, Parent, "Tnx" #Cls, nullptr)
#define NX_FT_CLASS_TABLE(Cls, Parent) \
  PL_CLASS_INFO_IMPL_TABLE(Tnx##Cls, Parent, "Tnx" #Cls, nullptr, platform::bindClassTable(nxFulltextItemFuncs<Tnx##Cls>))
#define NX_FT_RAISE_IMPL(Cls)                                                                        \
  void Tnx##Cls::DoRaise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const {       \
    if (aText.empty()) throw Enx##Cls##Exception(aCode);                                             \
    throw Enx##Cls##Exception(aCode, aText, aArgs);                                                  \
  }

NX_FT_CLASS(BaseFulltextDictionaryItem, TnxLocalizedDictionaryItem)
NX_FT_CLASS(BaseFulltextIndexDictionaryItem, TnxBaseFulltextDictionaryItem)
NX_FT_CLASS(NumberedFulltextIndexDictionaryItem, TnxBaseFulltextIndexDictionaryItem)
NX_FT_CLASS(BaseTokenSourceDescriptor, TnxNumberedFulltextIndexDictionaryItem)
NX_FT_CLASS(BaseTokenFilterDescriptor, TnxBaseTokenSourceDescriptor)
NX_FT_CLASS_TABLE(TokenFilterHubDescriptor, TnxBaseTokenFilterDescriptor)
NX_FT_CLASS(BaseSeparatorTokenFilterDescriptor, TnxBaseTokenFilterDescriptor)
NX_FT_CLASS_TABLE(WideCharSeparatorTokenFilterDescriptor, TnxBaseSeparatorTokenFilterDescriptor)
NX_FT_CLASS_TABLE(CategorySeparatorTokenFilterDescriptor, TnxBaseSeparatorTokenFilterDescriptor)
NX_FT_CLASS(BaseLocaleMappingTokenFilterDescriptor, TnxBaseTokenFilterDescriptor)
NX_FT_CLASS_TABLE(LowercaseLocaleMappingTokenFilterDescriptor, TnxBaseLocaleMappingTokenFilterDescriptor)
NX_FT_CLASS_TABLE(UppercaseLocaleMappingTokenFilterDescriptor, TnxBaseLocaleMappingTokenFilterDescriptor)
NX_FT_CLASS_TABLE(CustomLocaleMappingTokenFilterDescriptor, TnxBaseLocaleMappingTokenFilterDescriptor)
NX_FT_CLASS(BaseFoldStringTokenFilterDescriptor, TnxBaseTokenFilterDescriptor)
NX_FT_CLASS_TABLE(PreComposeFoldStringTokenFilterDescriptor, TnxBaseFoldStringTokenFilterDescriptor)
NX_FT_CLASS_TABLE(DecomposeFoldStringTokenFilterDescriptor, TnxBaseFoldStringTokenFilterDescriptor)
NX_FT_CLASS_TABLE(CustomFoldStringTokenFilterDescriptor, TnxBaseFoldStringTokenFilterDescriptor)
NX_FT_CLASS_TABLE(StringReplaceTokenFilterDescriptor, TnxBaseTokenFilterDescriptor)
NX_FT_CLASS(BaseTokenExtractorDescriptor, TnxBaseTokenSourceDescriptor)
NX_FT_CLASS_TABLE(TokenExtractorHubDescriptor, TnxBaseTokenExtractorDescriptor)
NX_FT_CLASS_TABLE(FieldTokenExtractorDescriptor, TnxBaseTokenExtractorDescriptor)
NX_FT_CLASS(BaseTokenIndexDescriptor, TnxNumberedFulltextIndexDictionaryItem)
NX_FT_CLASS_TABLE(TokenIndexHubDescriptor, TnxBaseTokenIndexDescriptor)
NX_FT_CLASS_TABLE(BitArrayTokenIndexDescriptor, TnxBaseTokenIndexDescriptor)
NX_FT_CLASS_TABLE(MainIndexTokenIndexDescriptor, TnxBaseTokenIndexDescriptor)
NX_FT_CLASS(BaseBitArrayStorageHandlerDescriptor, TnxBaseFulltextIndexDictionaryItem)
NX_FT_CLASS_TABLE(SimpleBitArrayStorageHandlerDescriptor, TnxBaseBitArrayStorageHandlerDescriptor)
PL_CLASS_INFO_IMPL_TABLE(TnxBitArrayTokenKeyDescriptor, TnxBaseKeyDescriptor, "TnxBitArrayTokenKeyDescriptor",
                         nullptr, platform::bindClassTable(nxKeyDescriptorFuncs<TnxBitArrayTokenKeyDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxMainIndexTokenKeyDescriptor, TnxBaseKeyDescriptor, "TnxMainIndexTokenKeyDescriptor",
                         nullptr, platform::bindClassTable(nxKeyDescriptorFuncs<TnxMainIndexTokenKeyDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxTokenIndicesDescriptor, TnxBaseIndicesDescriptor, "TnxTokenIndicesDescriptor", nullptr,
                         platform::bindClassTable(nxIndicesDescriptorFuncs<TnxTokenIndicesDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxFulltextDescriptor, TnxBaseCustomDescriptor, "TnxFulltextDescriptor", nullptr,
                         platform::bindClassTable(nxCustomDescriptorFuncs<TnxFulltextDescriptor>))

namespace {

// A full-text index is built with its name and location index number.
struct TnxFulltextIndexClassFuncs {
  TnxFulltextIndexDescriptor* (*create)(TnxPersistent* aParent, std::int32_t aLocationIndexNumber,
                                        const nxString& aName);
};
template <class T>
inline constexpr TnxFulltextIndexClassFuncs nxFulltextIndexFuncs{
    [](TnxPersistent* aParent, std::int32_t aLocationIndexNumber, const nxString& aName)
        -> TnxFulltextIndexDescriptor* { return platform::create<T>(aParent, aLocationIndexNumber, aName); }};

TnxClassList gFulltextIndexClasses = nullptr;
TnxClassList gTokenExtractorClasses = nullptr;
TnxClassList gTokenFilterClasses = nullptr;
TnxClassList gTokenIndexClasses = nullptr;
TnxClassList gStorageHandlerClasses = nullptr;

nxString classNameText(const platform::ClassInfo& aClass) { return platform::fromUtf8(aClass.name); }
nxString intText(std::int32_t aValue) { return platform::fromUtf8(std::to_string(aValue)); }

constexpr const char16_t* kUnsupported = u"%s class is not supported: %s";
constexpr const char16_t* kIndexInUse = u"Cannot remove index %s because it is still referenced by a fulltext index";
constexpr const char16_t* kFieldInUse = u"Cannot remove field %s because it is still referenced by an index";

void readVersionOne(TnxReader& aReader, const TnxBaseFulltextDictionaryItem& aItem) {
  if (aReader.ReadInteger() != 1) aItem.Raise(nxErrIncompatibleStream);
}

// A class name read from a stream, looked up in aList below aBase.
const platform::ClassInfo& readClass(TnxReader& aReader, const TnxClassList& aList, const platform::ClassInfo& aBase,
                                     const std::function<void(const nxString&)>& aRaise) {
  const nxString name = aReader.ReadString();
  const platform::ClassInfo* cls = nxFindClassIn(aList, platform::toUtf8(name));
  if (!cls || !cls->inheritsFrom(aBase)) aRaise(name);
  return *cls;
}

// A member of aClass (which must carry the item table and descend from
// aBase) under aParent.
template <class T>
T* createMember(const TnxBaseFulltextDictionaryItem& aOwner, const platform::ClassInfo& aClass,
                const platform::ClassInfo& aBase, const char16_t* aWord, TnxPersistent* aParent) {
  const auto* funcs = aClass.table<TnxFulltextItemClassFuncs>();
  if (!funcs || !aClass.inheritsFrom(aBase))
    aOwner.Raise(nxErrUnsupportedDescriptor, kUnsupported, {nxString(aWord), classNameText(aClass)});
  return static_cast<T*>(funcs->create(aParent));
}

// The add operation every hub shares: name checks, creation, appending.
template <class T>
T* hubAdd(TnxBaseFulltextDictionaryItem& aHub, TnxFulltextMemberList& aList, nxString aName, bool aDefaultName,
          const platform::ClassInfo& aClass, const platform::ClassInfo& aBase, const char16_t* aWord) {
  if (aName.empty() && aDefaultName) aName = nxDefaultMemberName;
  if (nxValidateIdentifier(aName, nxErrInvalidName, false, true) != 0) aHub.Raise(nxErrInvalidName);
  if (aList.IndexOfName(aName) >= 0) aHub.Raise(nxErrNameNotUnique);
  T* member = createMember<T>(aHub, aClass, aBase, aWord, &aHub);
  try {
    aList.Append(aName, member);
  } catch (...) {
    platform::TObject::free(member);
    throw;
  }
  return member;
}

// Reads a hub's member list: each entry goes through the hub's add
// operation, then reads its own stream.
void readMembers(TnxReader& aReader, const TnxBaseFulltextDictionaryItem& aHub, const TnxClassList& aList,
                 const platform::ClassInfo& aBase, const char16_t* aWord,
                 const std::function<TnxDictionaryItem*(const nxString&, const platform::ClassInfo&)>& aAdd) {
  aReader.ReadListBegin();
  while (!aReader.EndOfList()) {
    const nxString name = aReader.ReadString();
    const platform::ClassInfo& cls = readClass(aReader, aList, aBase, [&](const nxString& aName) {
      aHub.Raise(nxErrUnsupportedDescriptor, kUnsupported, {nxString(aWord), aName});
    });
    aAdd(name, cls)->LoadFromReader(aReader);
  }
  aReader.ReadListEnd();
}

void writeMembers(TnxWriter& aWriter, std::int32_t aClientVersion, const TnxFulltextMemberList& aList) {
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteListBegin();
  for (std::int32_t i = 0; i < aList.Count(); ++i) {
    aWriter.WriteString(aList.Name(i));
    aWriter.WriteString(classNameText(aList.Item(i)->classInfo()));
    aList.Item(i)->SaveToWriter(aWriter, aClientVersion);
  }
  aWriter.WriteListEnd();
}

void checkMembers(const TnxBaseFulltextDictionaryItem& aHub, const TnxFulltextMemberList& aList, bool aForBuild) {
  for (std::int32_t i = 0; i < aList.Count(); ++i) {
    if (nxValidateIdentifier(aList.Name(i), nxErrInvalidName, false, true) != 0) aHub.Raise(nxErrInvalidName);
    aList.Item(i)->CheckValid(aForBuild);
  }
}

TnxFieldsDescriptor* relatedFields(TnxDictionaryItem* aItem) {
  TnxDictionaryItem* found = nullptr;
  if (!aItem->FindRelatedDescriptorOfType(TnxFieldsDescriptor::staticClassInfo(), found, nullptr)) return nullptr;
  return platform::objectAs<TnxFieldsDescriptor>(found);
}

TnxMainIndicesDescriptor* relatedMainIndices(TnxDictionaryItem* aItem) {
  TnxDictionaryItem* found = nullptr;
  if (!aItem->FindRelatedDescriptorOfType(TnxMainIndicesDescriptor::staticClassInfo(), found, nullptr))
    return nullptr;
  return platform::objectAs<TnxMainIndicesDescriptor>(found);
}

// Locale and compare flags of an item's used locale; 0 and 0 without one.
std::pair<std::uint32_t, std::uint32_t> usedLocale(TnxLocalizedDictionaryItem& aItem) {
  TnxLocaleDescriptor* locale = aItem.UsedLocaleDescriptor();
  if (!locale) return {0, 0};
  return {locale->Locale(), locale->Flags()};
}

template <class T>
T* parentAs(const TnxDictionaryItem& aItem) {
  return platform::objectAs<T>(aItem.ParentItem());
}

const nxString kEmpty;

// Without leading and trailing blanks and control characters.
nxString trimmed(const nxString& aText) {
  std::size_t first = 0, last = aText.size();
  while (first < last && aText[first] <= u' ') ++first;
  while (last > first && aText[last - 1] <= u' ') --last;
  return aText.substr(first, last - first);
}

}  // namespace

// ===========================================================================
// Item levels

void TnxBaseFulltextDictionaryItem::DoRaise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const {
  if (aText.empty()) throw EnxBaseFulltextDictionaryItemException(aCode);
  throw EnxBaseFulltextDictionaryItemException(aCode, aText, aArgs);
}

TnxFulltextDescriptor* TnxBaseFulltextDictionaryItem::FindFulltextDescriptor() const {
  TnxPersistent* found = nullptr;
  if (!FindParentOfType(TnxFulltextDescriptor::staticClassInfo(), found)) return nullptr;
  return static_cast<TnxFulltextDescriptor*>(found);
}

void TnxBaseFulltextDictionaryItem::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxLocalizedDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
}

void TnxBaseFulltextDictionaryItem::LoadFromReader(TnxReader& aReader) {
  TnxLocalizedDictionaryItem::LoadFromReader(aReader);
  readVersionOne(aReader, *this);
}

NX_FT_RAISE_IMPL(BaseFulltextIndexDictionaryItem)

void TnxBaseFulltextIndexDictionaryItem::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseFulltextDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
}

void TnxBaseFulltextIndexDictionaryItem::LoadFromReader(TnxReader& aReader) {
  TnxBaseFulltextDictionaryItem::LoadFromReader(aReader);
  readVersionOne(aReader, *this);
}

NX_FT_RAISE_IMPL(NumberedFulltextIndexDictionaryItem)

void TnxNumberedFulltextIndexDictionaryItem::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseFulltextIndexDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteInteger(nfidiNumber);
}

void TnxNumberedFulltextIndexDictionaryItem::LoadFromReader(TnxReader& aReader) {
  TnxBaseFulltextIndexDictionaryItem::LoadFromReader(aReader);
  readVersionOne(aReader, *this);
  // The hub placed this member already; the stream must agree.
  if (aReader.ReadInteger() != nfidiNumber) Raise(nxErrIncompatibleStream);
}

NX_FT_RAISE_IMPL(BaseTokenSourceDescriptor)

void TnxBaseTokenSourceDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxNumberedFulltextIndexDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
}

void TnxBaseTokenSourceDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxNumberedFulltextIndexDictionaryItem::LoadFromReader(aReader);
  readVersionOne(aReader, *this);
}

// ===========================================================================
// TnxFulltextMemberList

TnxNumberedFulltextIndexDictionaryItem* TnxFulltextMemberList::Item(std::int32_t aIndex) const {
  return fmlItems.at(static_cast<std::size_t>(aIndex)).second;
}

const nxString& TnxFulltextMemberList::Name(std::int32_t aIndex) const {
  return fmlItems.at(static_cast<std::size_t>(aIndex)).first;
}

std::int32_t TnxFulltextMemberList::IndexOfName(const nxString& aName) const {
  for (std::size_t i = 0; i < fmlItems.size(); ++i)
    if (sameTextAscii(fmlItems[i].first, aName)) return static_cast<std::int32_t>(i);
  return -1;
}

std::int32_t TnxFulltextMemberList::IndexOf(const TnxDictionaryItem* aItem) const {
  for (std::size_t i = 0; i < fmlItems.size(); ++i)
    if (fmlItems[i].second == aItem) return static_cast<std::int32_t>(i);
  return -1;
}

void TnxFulltextMemberList::Append(const nxString& aName, TnxNumberedFulltextIndexDictionaryItem* aItem) {
  fmlItems.emplace_back(aName, aItem);
  aItem->SetNumber(Count() - 1);
}

void TnxFulltextMemberList::RemoveAt(std::int32_t aIndex) {
  if (aIndex < 0 || aIndex >= Count()) return;
  TnxNumberedFulltextIndexDictionaryItem* item = fmlItems[static_cast<std::size_t>(aIndex)].second;
  platform::TObject::free(item);
  fmlItems.erase(fmlItems.begin() + aIndex);
  for (std::int32_t i = aIndex; i < Count(); ++i) Item(i)->SetNumber(i);
}

void TnxFulltextMemberList::Clear() noexcept {
  while (!fmlItems.empty()) {
    TnxNumberedFulltextIndexDictionaryItem* item = fmlItems.back().second;
    fmlItems.pop_back();
    try {
      platform::TObject::free(item);
    } catch (...) {
    }
  }
}

bool TnxFulltextMemberList::Equal(const TnxFulltextMemberList& aOther) const {
  if (Count() != aOther.Count()) return false;
  for (std::int32_t i = 0; i < Count(); ++i)
    if (!Item(i)->IsEqual(aOther.Item(i))) return false;
  return true;
}

// ===========================================================================
// Token filters

TnxClassList& TnxBaseTokenFilterDescriptor::GetList() { return gTokenFilterClasses; }
NX_FT_RAISE_IMPL(BaseTokenFilterDescriptor)

nxString TnxBaseTokenFilterDescriptor::Name() const {
  auto* hub = parentAs<TnxTokenFilterHubDescriptor>(*this);
  if (!hub) return {};
  assert(hub->IndexOf(this) == Number());
  return hub->tfhdGetTokenFilterName(Number());
}

void TnxBaseTokenFilterDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseTokenSourceDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
}

void TnxBaseTokenFilterDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseTokenSourceDescriptor::LoadFromReader(aReader);
  readVersionOne(aReader, *this);
}

NX_FT_RAISE_IMPL(TokenFilterHubDescriptor)

TnxTokenFilterHubDescriptor::~TnxTokenFilterHubDescriptor() { tfhdTokenFilters.Clear(); }

void TnxTokenFilterHubDescriptor::beforeDestruction() {
  tfhdTokenFilters.Clear();
  TnxBaseTokenFilterDescriptor::beforeDestruction();
}

TnxBaseTokenFilterDescriptor* TnxTokenFilterHubDescriptor::tfhdGetTokenFilter(std::int32_t aIndex) const {
  return static_cast<TnxBaseTokenFilterDescriptor*>(tfhdTokenFilters.Item(aIndex));
}

TnxBaseTokenFilterDescriptor* TnxTokenFilterHubDescriptor::AddTokenFilter(const nxString& aName,
                                                                          const platform::ClassInfo* aClass) {
  return hubAdd<TnxBaseTokenFilterDescriptor>(
      *this, tfhdTokenFilters, aName, true,
      aClass ? *aClass : TnxWideCharSeparatorTokenFilterDescriptor::staticClassInfo(),
      TnxBaseTokenFilterDescriptor::staticClassInfo(), u"TokenFilterDescriptor");
}

void TnxTokenFilterHubDescriptor::RemoveTokenFilter(TnxBaseTokenFilterDescriptor* aDescriptor) {
  tfhdTokenFilters.RemoveAt(tfhdTokenFilters.IndexOf(aDescriptor));
}
void TnxTokenFilterHubDescriptor::RemoveTokenFilter(const nxString& aName) {
  tfhdTokenFilters.RemoveAt(tfhdTokenFilters.IndexOfName(aName));
}
void TnxTokenFilterHubDescriptor::RemoveTokenFilter(std::int32_t aIndex) { tfhdTokenFilters.RemoveAt(aIndex); }
void TnxTokenFilterHubDescriptor::ClearMembers() { tfhdTokenFilters.Clear(); }

void TnxTokenFilterHubDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseTokenFilterDescriptor::SaveToWriter(aWriter, aClientVersion);
  writeMembers(aWriter, aClientVersion, tfhdTokenFilters);
}

void TnxTokenFilterHubDescriptor::LoadFromReader(TnxReader& aReader) {
  tfhdTokenFilters.Clear();
  TnxBaseTokenFilterDescriptor::LoadFromReader(aReader);
  readVersionOne(aReader, *this);
  readMembers(aReader, *this, gTokenFilterClasses, TnxBaseTokenFilterDescriptor::staticClassInfo(),
              u"TokenFilterDescriptor",
              [this](const nxString& aName, const platform::ClassInfo& aClass) -> TnxDictionaryItem* {
                return AddTokenFilter(aName, &aClass);
              });
}

void TnxTokenFilterHubDescriptor::CheckValid(bool aForBuild) {
  TnxBaseTokenFilterDescriptor::CheckValid(aForBuild);
  checkMembers(*this, tfhdTokenFilters, aForBuild);
}

bool TnxTokenFilterHubDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* o = platform::objectAs<TnxTokenFilterHubDescriptor>(aItem);
  return TnxBaseTokenFilterDescriptor::IsEqual(aItem) && o && tfhdTokenFilters.Equal(o->tfhdTokenFilters);
}

NX_FT_RAISE_IMPL(BaseSeparatorTokenFilterDescriptor)

void TnxBaseSeparatorTokenFilterDescriptor::SetSeparatorDistance(std::int32_t aValue) {
  CheckReadOnly();
  bstfsSeparatorDistance = aValue;
}

void TnxBaseSeparatorTokenFilterDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseTokenFilterDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteInteger(bstfsSeparatorDistance);
}

void TnxBaseSeparatorTokenFilterDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseTokenFilterDescriptor::LoadFromReader(aReader);
  readVersionOne(aReader, *this);
  bstfsSeparatorDistance = aReader.ReadInteger();
}

NX_FT_RAISE_IMPL(WideCharSeparatorTokenFilterDescriptor)

void TnxWideCharSeparatorTokenFilterDescriptor::SetSeparatorChar(char16_t aValue) {
  CheckReadOnly();
  wcstfsSeparatorChar = aValue;
}

void TnxWideCharSeparatorTokenFilterDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseSeparatorTokenFilterDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteInteger(static_cast<std::int32_t>(wcstfsSeparatorChar));
}

void TnxWideCharSeparatorTokenFilterDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseSeparatorTokenFilterDescriptor::LoadFromReader(aReader);
  readVersionOne(aReader, *this);
  const std::int32_t code = aReader.ReadInteger();
  if (code < 0 || code > 0xFFFF) Raise(nxErrIncompatibleStream);
  wcstfsSeparatorChar = static_cast<char16_t>(code);
}

NX_FT_RAISE_IMPL(CategorySeparatorTokenFilterDescriptor)

void TnxCategorySeparatorTokenFilterDescriptor::SetSeparatorCategories(const TnxCharacterCategories& aValue) {
  CheckReadOnly();
  cstfsSeparatorCategories = aValue;
}

void TnxCategorySeparatorTokenFilterDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseSeparatorTokenFilterDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.Write(cstfsSeparatorCategories.Bits, sizeof cstfsSeparatorCategories.Bits);
}

void TnxCategorySeparatorTokenFilterDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseSeparatorTokenFilterDescriptor::LoadFromReader(aReader);
  readVersionOne(aReader, *this);
  cstfsSeparatorCategories = TnxCharacterCategories();
  aReader.Read(cstfsSeparatorCategories.Bits, sizeof cstfsSeparatorCategories.Bits);
}

NX_FT_RAISE_IMPL(BaseLocaleMappingTokenFilterDescriptor)

void TnxBaseLocaleMappingTokenFilterDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseTokenFilterDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
}

void TnxBaseLocaleMappingTokenFilterDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseTokenFilterDescriptor::LoadFromReader(aReader);
  readVersionOne(aReader, *this);
}

NX_FT_RAISE_IMPL(LowercaseLocaleMappingTokenFilterDescriptor)
NX_FT_RAISE_IMPL(UppercaseLocaleMappingTokenFilterDescriptor)
NX_FT_RAISE_IMPL(CustomLocaleMappingTokenFilterDescriptor)

void TnxCustomLocaleMappingTokenFilterDescriptor::SetFlags(std::uint32_t aValue) {
  CheckReadOnly();
  clmtfdFlags = aValue;
}

void TnxCustomLocaleMappingTokenFilterDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseLocaleMappingTokenFilterDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteInteger(static_cast<std::int64_t>(clmtfdFlags));
}

void TnxCustomLocaleMappingTokenFilterDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseLocaleMappingTokenFilterDescriptor::LoadFromReader(aReader);
  readVersionOne(aReader, *this);
  clmtfdFlags = static_cast<std::uint32_t>(aReader.ReadInt64());
}

NX_FT_RAISE_IMPL(BaseFoldStringTokenFilterDescriptor)

void TnxBaseFoldStringTokenFilterDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseTokenFilterDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
}

void TnxBaseFoldStringTokenFilterDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseTokenFilterDescriptor::LoadFromReader(aReader);
  readVersionOne(aReader, *this);
}

NX_FT_RAISE_IMPL(PreComposeFoldStringTokenFilterDescriptor)
NX_FT_RAISE_IMPL(DecomposeFoldStringTokenFilterDescriptor)
NX_FT_RAISE_IMPL(CustomFoldStringTokenFilterDescriptor)

void TnxCustomFoldStringTokenFilterDescriptor::SetFlags(std::uint32_t aValue) {
  CheckReadOnly();
  cfstfdFlags = aValue;
}

void TnxCustomFoldStringTokenFilterDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseFoldStringTokenFilterDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteInteger(static_cast<std::int64_t>(cfstfdFlags));
}

void TnxCustomFoldStringTokenFilterDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseFoldStringTokenFilterDescriptor::LoadFromReader(aReader);
  readVersionOne(aReader, *this);
  cfstfdFlags = static_cast<std::uint32_t>(aReader.ReadInt64());
}

NX_FT_RAISE_IMPL(StringReplaceTokenFilterDescriptor)

void TnxStringReplaceTokenFilterDescriptor::CheckIndex(std::int32_t aIndex) const {
  if (aIndex < 0 || aIndex >= ItemCount())
    throw EnxStringReplaceTokenFilterDescriptorException(u"Index out of bounds: %d", {aIndex});
}

std::int32_t TnxStringReplaceTokenFilterDescriptor::AddItem(const nxString& aOldPattern, const nxString& aNewPattern,
                                                            TnxStringReplaceKind aReplaceKind, bool aIgnoreCase) {
  srtfdItems.push_back({aOldPattern, aNewPattern, aReplaceKind, aIgnoreCase});
  return ItemCount() - 1;
}

void TnxStringReplaceTokenFilterDescriptor::RemoveItem(std::int32_t aIndex) {
  CheckIndex(aIndex);
  srtfdItems.erase(srtfdItems.begin() + aIndex);
}

void TnxStringReplaceTokenFilterDescriptor::MoveItem(std::int32_t aFrom, std::int32_t aTo) {
  CheckIndex(aFrom);
  CheckIndex(aTo);
  std::swap(srtfdItems[static_cast<std::size_t>(aFrom)], srtfdItems[static_cast<std::size_t>(aTo)]);
}

void TnxStringReplaceTokenFilterDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseTokenFilterDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteInteger(ItemCount());
  aWriter.WriteListBegin();
  for (const TnxStringReplaceTokenFilterItem& item : srtfdItems) {
    aWriter.WriteString(item.srtfiOldPattern);
    aWriter.WriteString(item.srtfiNewPattern);
    aWriter.WriteInteger(static_cast<std::int32_t>(item.srtfiReplaceKind));
    aWriter.WriteBoolean(item.srtfiIgnoreCase);
  }
  aWriter.WriteListEnd();
}

void TnxStringReplaceTokenFilterDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseTokenFilterDescriptor::LoadFromReader(aReader);
  readVersionOne(aReader, *this);
  const std::int32_t count = aReader.ReadInteger();
  // Each item takes at least four bytes of stream.
  if (count < 0 || count > aReader.Remaining() / 4) Raise(nxErrIncompatibleStream);
  std::vector<TnxStringReplaceTokenFilterItem> items;
  items.reserve(static_cast<std::size_t>(count));
  aReader.ReadListBegin();
  for (std::int32_t i = 0; i < count; ++i) {
    if (aReader.EndOfList()) Raise(nxErrIncompatibleStream);
    TnxStringReplaceTokenFilterItem item;
    item.srtfiOldPattern = aReader.ReadString();
    item.srtfiNewPattern = aReader.ReadString();
    const std::int32_t kind = aReader.ReadInteger();
    if (kind < srkWhole || kind > srkAll) Raise(nxErrIncompatibleStream);
    item.srtfiReplaceKind = static_cast<TnxStringReplaceKind>(kind);
    item.srtfiIgnoreCase = aReader.ReadBoolean();
    items.push_back(std::move(item));
  }
  if (!aReader.EndOfList()) Raise(nxErrIncompatibleStream);
  aReader.ReadListEnd();
  srtfdItems = std::move(items);
}

// ===========================================================================
// Token extractors

TnxClassList& TnxBaseTokenExtractorDescriptor::GetList() { return gTokenExtractorClasses; }
NX_FT_RAISE_IMPL(BaseTokenExtractorDescriptor)

TnxBaseTokenExtractorDescriptor::TnxBaseTokenExtractorDescriptor(TnxPersistent* aParent)
    : TnxBaseTokenSourceDescriptor(aParent) {
  btedTokenFilterHub = platform::create<TnxTokenFilterHubDescriptor>(this);
}

TnxBaseTokenExtractorDescriptor::~TnxBaseTokenExtractorDescriptor() { nxFreeAndNil(btedTokenFilterHub); }

void TnxBaseTokenExtractorDescriptor::beforeDestruction() {
  nxFreeAndNil(btedTokenFilterHub);
  TnxBaseTokenSourceDescriptor::beforeDestruction();
}

nxString TnxBaseTokenExtractorDescriptor::Name() const {
  auto* hub = parentAs<TnxTokenExtractorHubDescriptor>(*this);
  if (!hub) return {};
  assert(hub->IndexOf(this) == Number());
  return hub->tehdGetTokenExtractorName(Number());
}

std::int32_t TnxBaseTokenExtractorDescriptor::TokenFilterCount() const {
  return btedTokenFilterHub->TokenFilterCount();
}

TnxBaseTokenFilterDescriptor* TnxBaseTokenExtractorDescriptor::btedGetTokenFilter(std::int32_t aIndex) const {
  if (aIndex == -1) return btedTokenFilterHub;
  return btedTokenFilterHub->tfhdGetTokenFilter(aIndex);
}

const nxString& TnxBaseTokenExtractorDescriptor::btedGetTokenFilterName(std::int32_t aIndex) const {
  return btedTokenFilterHub->tfhdGetTokenFilterName(aIndex);
}

TnxBaseTokenFilterDescriptor* TnxBaseTokenExtractorDescriptor::AddTokenFilter(const nxString& aName,
                                                                              const platform::ClassInfo* aClass) {
  CheckReadOnly();
  return btedTokenFilterHub->AddTokenFilter(aName, aClass);
}

void TnxBaseTokenExtractorDescriptor::RemoveTokenFilter(TnxBaseTokenFilterDescriptor* aDescriptor) {
  CheckReadOnly();
  btedTokenFilterHub->RemoveTokenFilter(aDescriptor);
}
void TnxBaseTokenExtractorDescriptor::RemoveTokenFilter(const nxString& aName) {
  CheckReadOnly();
  btedTokenFilterHub->RemoveTokenFilter(aName);
}
void TnxBaseTokenExtractorDescriptor::RemoveTokenFilter(std::int32_t aIndex) {
  CheckReadOnly();
  btedTokenFilterHub->RemoveTokenFilter(aIndex);
}
void TnxBaseTokenExtractorDescriptor::ClearTokenFilter() {
  CheckReadOnly();
  btedTokenFilterHub->ClearMembers();
}

void TnxBaseTokenExtractorDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseTokenSourceDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  btedTokenFilterHub->SaveToWriter(aWriter, aClientVersion);
}

void TnxBaseTokenExtractorDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseTokenSourceDescriptor::LoadFromReader(aReader);
  readVersionOne(aReader, *this);
  btedTokenFilterHub->LoadFromReader(aReader);
}

void TnxBaseTokenExtractorDescriptor::CheckValid(bool aForBuild) {
  TnxBaseTokenSourceDescriptor::CheckValid(aForBuild);
  btedTokenFilterHub->CheckValid(aForBuild);
}

bool TnxBaseTokenExtractorDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* o = platform::objectAs<TnxBaseTokenExtractorDescriptor>(aItem);
  return TnxBaseTokenSourceDescriptor::IsEqual(aItem) && o && btedTokenFilterHub->IsEqual(o->btedTokenFilterHub);
}

NX_FT_RAISE_IMPL(TokenExtractorHubDescriptor)

TnxTokenExtractorHubDescriptor::~TnxTokenExtractorHubDescriptor() { tehdTokenExtractors.Clear(); }

void TnxTokenExtractorHubDescriptor::beforeDestruction() {
  tehdTokenExtractors.Clear();
  TnxBaseTokenExtractorDescriptor::beforeDestruction();
}

TnxBaseTokenExtractorDescriptor* TnxTokenExtractorHubDescriptor::tehdGetTokenExtractor(std::int32_t aIndex) const {
  return static_cast<TnxBaseTokenExtractorDescriptor*>(tehdTokenExtractors.Item(aIndex));
}

TnxBaseTokenExtractorDescriptor* TnxTokenExtractorHubDescriptor::AddTokenExtractor(const nxString& aName,
                                                                                   const platform::ClassInfo* aClass) {
  CheckReadOnly();
  return hubAdd<TnxBaseTokenExtractorDescriptor>(
      *this, tehdTokenExtractors, aName, false,
      aClass ? *aClass : TnxFieldTokenExtractorDescriptor::staticClassInfo(),
      TnxBaseTokenExtractorDescriptor::staticClassInfo(), u"TokenExtractorDescriptor");
}

TnxBaseTokenExtractorDescriptor* TnxTokenExtractorHubDescriptor::AddFieldTokenExtractor(
    std::int32_t aFieldNumber, const nxString& aName, const platform::ClassInfo* aClass) {
  CheckReadOnly();
  nxString name = trimmed(aName);
  if (name.empty())
    if (TnxFieldsDescriptor* fields = relatedFields(this)) {
      if (aFieldNumber < 0 || aFieldNumber >= fields->FieldCount())
        Raise(nxErrInvalidDescNumber, u"Invalid field number: %d", {aFieldNumber});
      name = fields->Fields(aFieldNumber)->Name();
    }
  const platform::ClassInfo& cls = aClass ? *aClass : TnxFieldTokenExtractorDescriptor::staticClassInfo();
  if (!cls.inheritsFrom(TnxFieldTokenExtractorDescriptor::staticClassInfo()))
    throw platform::ConvertError("Invalid class typecast");
  auto* extractor = static_cast<TnxFieldTokenExtractorDescriptor*>(AddTokenExtractor(name, &cls));
  try {
    extractor->SetFieldNumber(aFieldNumber);
  } catch (...) {
    RemoveTokenExtractor(extractor);
    throw;
  }
  return extractor;
}

TnxTokenExtractorHubDescriptor* TnxTokenExtractorHubDescriptor::AddTokenExtractorHub(
    const nxString& aName, const platform::ClassInfo* aClass) {
  const platform::ClassInfo& cls = aClass ? *aClass : TnxTokenExtractorHubDescriptor::staticClassInfo();
  if (!cls.inheritsFrom(TnxTokenExtractorHubDescriptor::staticClassInfo()))
    throw platform::ConvertError("Invalid class typecast");
  return static_cast<TnxTokenExtractorHubDescriptor*>(AddTokenExtractor(aName, &cls));
}

void TnxTokenExtractorHubDescriptor::RemoveTokenExtractor(TnxBaseTokenExtractorDescriptor* aDescriptor) {
  CheckReadOnly();
  tehdTokenExtractors.RemoveAt(tehdTokenExtractors.IndexOf(aDescriptor));
}
void TnxTokenExtractorHubDescriptor::RemoveTokenExtractor(const nxString& aName) {
  CheckReadOnly();
  tehdTokenExtractors.RemoveAt(tehdTokenExtractors.IndexOfName(aName));
}
void TnxTokenExtractorHubDescriptor::RemoveTokenExtractor(std::int32_t aIndex) {
  CheckReadOnly();
  tehdTokenExtractors.RemoveAt(aIndex);
}
void TnxTokenExtractorHubDescriptor::ClearMembers() {
  CheckReadOnly();
  tehdTokenExtractors.Clear();
}

void TnxTokenExtractorHubDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseTokenExtractorDescriptor::SaveToWriter(aWriter, aClientVersion);
  writeMembers(aWriter, aClientVersion, tehdTokenExtractors);
}

void TnxTokenExtractorHubDescriptor::LoadFromReader(TnxReader& aReader) {
  ClearMembers();
  TnxBaseTokenExtractorDescriptor::LoadFromReader(aReader);
  readVersionOne(aReader, *this);
  readMembers(aReader, *this, gTokenExtractorClasses, TnxBaseTokenExtractorDescriptor::staticClassInfo(),
              u"TokenExtractorDescriptor",
              [this](const nxString& aName, const platform::ClassInfo& aClass) -> TnxDictionaryItem* {
                return AddTokenExtractor(aName, &aClass);
              });
}

void TnxTokenExtractorHubDescriptor::CheckValid(bool aForBuild) {
  TnxBaseTokenExtractorDescriptor::CheckValid(aForBuild);
  checkMembers(*this, tehdTokenExtractors, aForBuild);
}

bool TnxTokenExtractorHubDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* o = platform::objectAs<TnxTokenExtractorHubDescriptor>(aItem);
  return TnxBaseTokenExtractorDescriptor::IsEqual(aItem) && o && tehdTokenExtractors.Equal(o->tehdTokenExtractors);
}

NX_FT_RAISE_IMPL(FieldTokenExtractorDescriptor)

TnxFieldTokenExtractorDescriptor::TnxFieldTokenExtractorDescriptor(TnxPersistent* aParent)
    : TnxBaseTokenExtractorDescriptor(aParent) {
  ftedSubscribedTo = relatedFields(this);
  if (ftedSubscribedTo) ftedSubscribedTo->AddFieldChangeNotify(this);
}

TnxFieldTokenExtractorDescriptor::~TnxFieldTokenExtractorDescriptor() { Unsubscribe(); }

void TnxFieldTokenExtractorDescriptor::beforeDestruction() {
  Unsubscribe();
  TnxBaseTokenExtractorDescriptor::beforeDestruction();
}

void TnxFieldTokenExtractorDescriptor::Unsubscribe() noexcept {
  if (ftedSubscribedTo) std::exchange(ftedSubscribedTo, nullptr)->RemoveFieldChangeNotify(this);
}

TnxFieldDescriptor* TnxFieldTokenExtractorDescriptor::Field() const {
  TnxFieldsDescriptor* fields = relatedFields(const_cast<TnxFieldTokenExtractorDescriptor*>(this));
  if (!fields || ftedFieldNumber < 0 || ftedFieldNumber >= fields->FieldCount()) return nullptr;
  return fields->Fields(ftedFieldNumber);
}

void TnxFieldTokenExtractorDescriptor::SetFieldNumber(std::int32_t aValue) {
  CheckReadOnly();
  if (aValue == ftedFieldNumber) return;
  if (aValue != -1)
    if (TnxFieldsDescriptor* fields = relatedFields(this))
      if (aValue < 0 || aValue >= fields->FieldCount())
        Raise(nxErrInvalidDescNumber, u"Invalid field number: %d", {aValue});
  ftedFieldNumber = aValue;
}

void TnxFieldTokenExtractorDescriptor::HandleFieldChange(bool aBefore, std::int32_t aOld, std::int32_t aNew) {
  if (ftedFieldNumber < 0) return;
  if (aBefore) {
    if (aOld == ftedFieldNumber && aNew < 0) {
      TnxFieldDescriptor* f = Field();
      Raise(nxErrObjectInUse, kFieldInUse, {f ? f->Name() : intText(ftedFieldNumber)});
    }
    return;
  }
  nxsdAdjustPosition(ftedFieldNumber, aOld, aNew);
}

void TnxFieldTokenExtractorDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseTokenExtractorDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteInteger(ftedFieldNumber);
}

void TnxFieldTokenExtractorDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseTokenExtractorDescriptor::LoadFromReader(aReader);
  readVersionOne(aReader, *this);
  ftedFieldNumber = aReader.ReadInteger();
}

void TnxFieldTokenExtractorDescriptor::CheckValid(bool aForBuild) {
  TnxBaseTokenExtractorDescriptor::CheckValid(aForBuild);
  if (TnxFieldsDescriptor* fields = relatedFields(this))
    if (ftedFieldNumber < 0 || ftedFieldNumber >= fields->FieldCount())
      Raise(nxErrInvalidDescNumber, u"Invalid field number: %d", {ftedFieldNumber});
}

bool TnxFieldTokenExtractorDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* o = platform::objectAs<TnxFieldTokenExtractorDescriptor>(aItem);
  return TnxBaseTokenExtractorDescriptor::IsEqual(aItem) && o && ftedFieldNumber == o->ftedFieldNumber;
}

// ===========================================================================
// Token indexes

TnxClassList& TnxBaseTokenIndexDescriptor::GetList() { return gTokenIndexClasses; }
NX_FT_RAISE_IMPL(BaseTokenIndexDescriptor)

TnxBaseTokenIndexDescriptor::TnxBaseTokenIndexDescriptor(TnxPersistent* aParent)
    : TnxNumberedFulltextIndexDictionaryItem(aParent) {
  btidTokenFilterHub = platform::create<TnxTokenFilterHubDescriptor>(this);
}

TnxBaseTokenIndexDescriptor::~TnxBaseTokenIndexDescriptor() { nxFreeAndNil(btidTokenFilterHub); }

void TnxBaseTokenIndexDescriptor::beforeDestruction() {
  nxFreeAndNil(btidTokenFilterHub);
  TnxNumberedFulltextIndexDictionaryItem::beforeDestruction();
}

nxString TnxBaseTokenIndexDescriptor::Name() const {
  auto* hub = parentAs<TnxTokenIndexHubDescriptor>(*this);
  if (!hub) return {};
  assert(hub->IndexOf(this) == Number());
  return hub->tihdGetTokenIndexName(Number());
}

std::int32_t TnxBaseTokenIndexDescriptor::TokenFilterCount() const { return btidTokenFilterHub->TokenFilterCount(); }

TnxBaseTokenFilterDescriptor* TnxBaseTokenIndexDescriptor::btidGetTokenFilter(std::int32_t aIndex) const {
  if (aIndex == -1) return btidTokenFilterHub;
  return btidTokenFilterHub->tfhdGetTokenFilter(aIndex);
}

const nxString& TnxBaseTokenIndexDescriptor::btidGetTokenFilterName(std::int32_t aIndex) const {
  return btidTokenFilterHub->tfhdGetTokenFilterName(aIndex);
}

TnxBaseTokenFilterDescriptor* TnxBaseTokenIndexDescriptor::AddTokenFilter(const nxString& aName,
                                                                          const platform::ClassInfo* aClass) {
  CheckReadOnly();
  return btidTokenFilterHub->AddTokenFilter(aName, aClass);
}

void TnxBaseTokenIndexDescriptor::RemoveTokenFilter(TnxBaseTokenFilterDescriptor* aDescriptor) {
  CheckReadOnly();
  btidTokenFilterHub->RemoveTokenFilter(aDescriptor);
}
void TnxBaseTokenIndexDescriptor::RemoveTokenFilter(const nxString& aName) {
  CheckReadOnly();
  btidTokenFilterHub->RemoveTokenFilter(aName);
}
void TnxBaseTokenIndexDescriptor::RemoveTokenFilter(std::int32_t aIndex) {
  CheckReadOnly();
  btidTokenFilterHub->RemoveTokenFilter(aIndex);
}
void TnxBaseTokenIndexDescriptor::ClearTokenFilter() {
  CheckReadOnly();
  btidTokenFilterHub->ClearMembers();
}

void TnxBaseTokenIndexDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxNumberedFulltextIndexDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  btidTokenFilterHub->SaveToWriter(aWriter, aClientVersion);
}

void TnxBaseTokenIndexDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxNumberedFulltextIndexDictionaryItem::LoadFromReader(aReader);
  readVersionOne(aReader, *this);
  btidTokenFilterHub->LoadFromReader(aReader);
}

void TnxBaseTokenIndexDescriptor::CheckValid(bool aForBuild) {
  TnxNumberedFulltextIndexDictionaryItem::CheckValid(aForBuild);
  btidTokenFilterHub->CheckValid(aForBuild);
}

bool TnxBaseTokenIndexDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* o = platform::objectAs<TnxBaseTokenIndexDescriptor>(aItem);
  return TnxNumberedFulltextIndexDictionaryItem::IsEqual(aItem) && o &&
         btidTokenFilterHub->IsEqual(o->btidTokenFilterHub);
}

NX_FT_RAISE_IMPL(TokenIndexHubDescriptor)

TnxTokenIndexHubDescriptor::~TnxTokenIndexHubDescriptor() { tihdTokenIndexes.Clear(); }

void TnxTokenIndexHubDescriptor::beforeDestruction() {
  tihdTokenIndexes.Clear();
  TnxBaseTokenIndexDescriptor::beforeDestruction();
}

TnxBaseTokenIndexDescriptor* TnxTokenIndexHubDescriptor::tihdGetTokenIndex(std::int32_t aIndex) const {
  return static_cast<TnxBaseTokenIndexDescriptor*>(tihdTokenIndexes.Item(aIndex));
}

TnxBaseTokenIndexDescriptor* TnxTokenIndexHubDescriptor::AddTokenIndex(const nxString& aName,
                                                                       const platform::ClassInfo* aClass) {
  return hubAdd<TnxBaseTokenIndexDescriptor>(*this, tihdTokenIndexes, aName, true,
                                             aClass ? *aClass : TnxBitArrayTokenIndexDescriptor::staticClassInfo(),
                                             TnxBaseTokenIndexDescriptor::staticClassInfo(), u"TokenIndexDescriptor");
}

void TnxTokenIndexHubDescriptor::RemoveTokenIndex(TnxBaseTokenIndexDescriptor* aDescriptor) {
  tihdTokenIndexes.RemoveAt(tihdTokenIndexes.IndexOf(aDescriptor));
}
void TnxTokenIndexHubDescriptor::RemoveTokenIndex(const nxString& aName) {
  tihdTokenIndexes.RemoveAt(tihdTokenIndexes.IndexOfName(aName));
}
void TnxTokenIndexHubDescriptor::RemoveTokenIndex(std::int32_t aIndex) { tihdTokenIndexes.RemoveAt(aIndex); }
void TnxTokenIndexHubDescriptor::ClearMembers() { tihdTokenIndexes.Clear(); }

void TnxTokenIndexHubDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseTokenIndexDescriptor::SaveToWriter(aWriter, aClientVersion);
  writeMembers(aWriter, aClientVersion, tihdTokenIndexes);
}

void TnxTokenIndexHubDescriptor::LoadFromReader(TnxReader& aReader) {
  tihdTokenIndexes.Clear();
  TnxBaseTokenIndexDescriptor::LoadFromReader(aReader);
  readVersionOne(aReader, *this);
  readMembers(aReader, *this, gTokenIndexClasses, TnxBaseTokenIndexDescriptor::staticClassInfo(),
              u"TokenIndexDescriptor",
              [this](const nxString& aName, const platform::ClassInfo& aClass) -> TnxDictionaryItem* {
                return AddTokenIndex(aName, &aClass);
              });
}

void TnxTokenIndexHubDescriptor::CheckValid(bool aForBuild) {
  TnxBaseTokenIndexDescriptor::CheckValid(aForBuild);
  checkMembers(*this, tihdTokenIndexes, aForBuild);
}

bool TnxTokenIndexHubDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* o = platform::objectAs<TnxTokenIndexHubDescriptor>(aItem);
  return TnxBaseTokenIndexDescriptor::IsEqual(aItem) && o && tihdTokenIndexes.Equal(o->tihdTokenIndexes);
}

// --- storage handlers

TnxClassList& TnxBaseBitArrayStorageHandlerDescriptor::GetList() { return gStorageHandlerClasses; }
NX_FT_RAISE_IMPL(BaseBitArrayStorageHandlerDescriptor)
NX_FT_RAISE_IMPL(SimpleBitArrayStorageHandlerDescriptor)

void TnxSimpleBitArrayStorageHandlerDescriptor::CheckValid(bool aForBuild) {
  TnxBaseBitArrayStorageHandlerDescriptor::CheckValid(aForBuild);
  if (TnxFulltextDescriptor* fulltext = FindFulltextDescriptor())
    if (!fulltext->BlobDescriptor()) fulltext->AddBlobDescriptor();
}

// --- bit-array token indexes

NX_FT_RAISE_IMPL(BitArrayTokenIndexDescriptor)

TnxBitArrayTokenIndexDescriptor::~TnxBitArrayTokenIndexDescriptor() {
  RemoveIndexes();
  nxFreeAndNil(batidBitArrayStorageHandler);
}

void TnxBitArrayTokenIndexDescriptor::beforeDestruction() {
  RemoveIndexes();
  nxFreeAndNil(batidBitArrayStorageHandler);
  TnxBaseTokenIndexDescriptor::beforeDestruction();
}

void TnxBitArrayTokenIndexDescriptor::RemoveIndexes() noexcept {
  // Nothing to do while the whole full-text descriptor goes (its token
  // indices list goes first).
  TnxFulltextDescriptor* fulltext = FindFulltextDescriptor();
  if (!fulltext || !fulltext->IndicesDescriptor()) return;
  try {
    const nxString name = IndexName();
    RemoveNamedIndex(name);
    RemoveNamedIndex(name + u"$Reverse");
  } catch (...) {
    // A name that cannot be made has no index.
  }
}

void TnxBitArrayTokenIndexDescriptor::SetMaxTokenSize(std::int32_t aValue) {
  CheckReadOnly();
  batidMaxTokenSize = std::clamp(aValue, nxMinTokenSize, nxMaxTokenSize);
}

void TnxBitArrayTokenIndexDescriptor::SetPerFieldIndex(bool aValue) {
  CheckReadOnly();
  batidPerFieldIndex = aValue;
}

void TnxBitArrayTokenIndexDescriptor::SetPerLocationIndex(bool aValue) {
  CheckReadOnly();
  batidPerLocationIndex = aValue;
}

void TnxBitArrayTokenIndexDescriptor::SetSegmentIndex(bool aValue) {
  CheckReadOnly();
  batidSegmentIndex = aValue;
}

nxString TnxBitArrayTokenIndexDescriptor::IndexName() const {
  TnxPersistent* found = nullptr;
  nxString fulltextName;
  if (FindParentOfType(TnxFulltextIndexDescriptor::staticClassInfo(), found))
    fulltextName = static_cast<TnxFulltextIndexDescriptor*>(found)->Name();
  return fulltextName + u"$" + Name();
}

TnxIndexDescriptor* TnxBitArrayTokenIndexDescriptor::FindIndex(const nxString& aName) const {
  TnxFulltextDescriptor* fulltext = FindFulltextDescriptor();
  if (!fulltext || !fulltext->IndicesDescriptor()) return nullptr;
  return fulltext->IndicesDescriptor()->GetDescriptorFromName(aName);
}

TnxIndexDescriptor* TnxBitArrayTokenIndexDescriptor::IndexDescriptor() const { return FindIndex(IndexName()); }

TnxIndexDescriptor* TnxBitArrayTokenIndexDescriptor::ReverseIndexDescriptor() const {
  return FindIndex(ReverseIndexName());
}

void TnxBitArrayTokenIndexDescriptor::RemoveNamedIndex(const nxString& aName) noexcept {
  try {
    TnxFulltextDescriptor* fulltext = FindFulltextDescriptor();
    if (fulltext && fulltext->IndicesDescriptor()) fulltext->IndicesDescriptor()->RemoveIndex(aName);
  } catch (...) {
    // Only a read-only dictionary refuses; its owners checked before.
  }
}

TnxIndexDescriptor* TnxBitArrayTokenIndexDescriptor::CreateIndex(const nxString& aName, std::int32_t aFileNumber,
                                                                 const platform::ClassInfo* aKeyClass,
                                                                 const platform::ClassInfo* aIndexClass) {
  TnxLocaleDescriptor* locale = UsedLocaleDescriptor();
  TnxFulltextDescriptor* fulltext = FindFulltextDescriptor();
  if (!fulltext) GetParentOfType(TnxFulltextDescriptor::staticClassInfo());  // raises
  TnxIndexDescriptor* index = fulltext->ForceIndicesDescriptor()->AddIndex(
      aName, aFileNumber, idNone, nxString(),
      aKeyClass ? aKeyClass : &TnxBitArrayTokenKeyDescriptor::staticClassInfo(), aIndexClass);
  auto* key = platform::objectAs<TnxBitArrayTokenKeyDescriptor>(index->KeyDescriptor());
  if (!key) {
    fulltext->IndicesDescriptor()->RemoveIndex(index->Number());
    throw platform::ConvertError("Invalid class typecast");
  }
  key->SetPerFieldIndex(batidPerFieldIndex);
  key->SetMaxTokenSize(batidMaxTokenSize);
  key->SetLocale(locale ? locale->Locale() : 0);
  key->SetFlags(locale ? locale->Flags() : 0);
  return index;
}

TnxIndexDescriptor* TnxBitArrayTokenIndexDescriptor::AddIndex(std::int32_t aFileNumber,
                                                              const platform::ClassInfo* aKeyClass,
                                                              const platform::ClassInfo* aIndexClass) {
  CheckReadOnly();
  RemoveIndex();
  return CreateIndex(IndexName(), aFileNumber, aKeyClass, aIndexClass);
}

void TnxBitArrayTokenIndexDescriptor::RemoveIndex() {
  if (TnxFulltextDescriptor* fulltext = FindFulltextDescriptor())
    if (fulltext->IndicesDescriptor()) fulltext->IndicesDescriptor()->RemoveIndex(IndexName());
}

TnxIndexDescriptor* TnxBitArrayTokenIndexDescriptor::AddReverseIndex(std::int32_t aFileNumber,
                                                                     const platform::ClassInfo* aKeyClass,
                                                                     const platform::ClassInfo* aIndexClass) {
  CheckReadOnly();
  RemoveReverseIndex();
  TnxIndexDescriptor* index = CreateIndex(ReverseIndexName(), aFileNumber, aKeyClass, aIndexClass);
  try {
    static_cast<TnxBitArrayTokenKeyDescriptor*>(index->KeyDescriptor())->SetReverse(true);
  } catch (...) {
    RemoveReverseIndex();
    throw;
  }
  return index;
}

void TnxBitArrayTokenIndexDescriptor::RemoveReverseIndex() {
  if (TnxFulltextDescriptor* fulltext = FindFulltextDescriptor())
    if (fulltext->IndicesDescriptor()) fulltext->IndicesDescriptor()->RemoveIndex(ReverseIndexName());
}

TnxBaseBitArrayStorageHandlerDescriptor* TnxBitArrayTokenIndexDescriptor::AddBitArrayStorageHandler(
    const platform::ClassInfo* aHandlerClass) {
  CheckReadOnly();
  nxFreeAndNil(batidBitArrayStorageHandler);
  // The handler is never stored and is made anew after every read: it takes
  // no ID, so reading a dictionary leaves its ID counter as stored.
  auto* dictionary = platform::objectAs<TnxDataDictionary>(FindDataDictionary());
  const std::int32_t counter = dictionary ? dictionary->CurrentID() : 0;
  batidBitArrayStorageHandler = createMember<TnxBaseBitArrayStorageHandlerDescriptor>(
      *this, aHandlerClass ? *aHandlerClass : TnxSimpleBitArrayStorageHandlerDescriptor::staticClassInfo(),
      TnxBaseBitArrayStorageHandlerDescriptor::staticClassInfo(), u"BitArrayStorageHandlerDescriptor", this);
  if (dictionary) dictionary->SetCurrentID(counter);
  batidBitArrayStorageHandler->SetID(0);
  return batidBitArrayStorageHandler;
}

void TnxBitArrayTokenIndexDescriptor::RemoveBitArrayStorageHandler() {
  CheckReadOnly();
  nxFreeAndNil(batidBitArrayStorageHandler);
}

void TnxBitArrayTokenIndexDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseTokenIndexDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteInteger(batidMaxTokenSize);
  aWriter.WriteBoolean(batidPerFieldIndex);
  aWriter.WriteBoolean(batidPerLocationIndex);
  aWriter.WriteBoolean(batidSegmentIndex);
}

void TnxBitArrayTokenIndexDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseTokenIndexDescriptor::LoadFromReader(aReader);
  readVersionOne(aReader, *this);
  const std::int32_t size = aReader.ReadInteger();
  // Taken as written, but no key can hold a size outside the setter's range.
  if (size < nxMinTokenSize || size > nxMaxTokenSize) Raise(nxErrIncompatibleStream);
  batidMaxTokenSize = size;
  batidPerFieldIndex = aReader.ReadBoolean();
  batidPerLocationIndex = aReader.ReadBoolean();
  batidSegmentIndex = aReader.ReadBoolean();
}

void TnxBitArrayTokenIndexDescriptor::CheckValid(bool aForBuild) {
  TnxBaseTokenIndexDescriptor::CheckValid(aForBuild);
  const auto [locale, flags] = usedLocale(*this);
  TnxIndexDescriptor* indexes[] = {IndexDescriptor(), ReverseIndexDescriptor()};
  for (int i = 0; i < 2; ++i) {
    if (!indexes[i]) continue;
    auto* key = platform::objectAs<TnxBitArrayTokenKeyDescriptor>(indexes[i]->KeyDescriptor());
    if (!key) Raise(nxErrInvalidDesc);
    if (key->PerFieldIndex() != batidPerFieldIndex) key->SetPerFieldIndex(batidPerFieldIndex);
    if (key->MaxTokenSize() != batidMaxTokenSize) key->SetMaxTokenSize(batidMaxTokenSize);
    if (key->Reverse() != (i == 1)) key->SetReverse(i == 1);
    if (key->Locale() != locale) key->SetLocale(locale);
    if (key->Flags() != flags) key->SetFlags(flags);
  }
  if ((indexes[0] || indexes[1]) && !batidBitArrayStorageHandler) AddBitArrayStorageHandler();
  if (batidBitArrayStorageHandler) batidBitArrayStorageHandler->CheckValid(aForBuild);
}

bool TnxBitArrayTokenIndexDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* o = platform::objectAs<TnxBitArrayTokenIndexDescriptor>(aItem);
  return TnxBaseTokenIndexDescriptor::IsEqual(aItem) && o && batidMaxTokenSize == o->batidMaxTokenSize &&
         batidPerFieldIndex == o->batidPerFieldIndex && batidPerLocationIndex == o->batidPerLocationIndex &&
         batidSegmentIndex == o->batidSegmentIndex &&
         nxsdBothOrEqual(batidBitArrayStorageHandler, o->batidBitArrayStorageHandler);
}

// --- main-index token indexes

NX_FT_RAISE_IMPL(MainIndexTokenIndexDescriptor)

TnxMainIndexTokenIndexDescriptor::TnxMainIndexTokenIndexDescriptor(TnxPersistent* aParent)
    : TnxBaseTokenIndexDescriptor(aParent) {
  mitidSubscribedTo = relatedMainIndices(this);
  if (mitidSubscribedTo) mitidSubscribedTo->AddIndexChangeNotify(this);
}

TnxMainIndexTokenIndexDescriptor::~TnxMainIndexTokenIndexDescriptor() { Unsubscribe(); }

void TnxMainIndexTokenIndexDescriptor::beforeDestruction() {
  Unsubscribe();
  TnxBaseTokenIndexDescriptor::beforeDestruction();
}

void TnxMainIndexTokenIndexDescriptor::Unsubscribe() noexcept {
  if (mitidSubscribedTo) std::exchange(mitidSubscribedTo, nullptr)->RemoveIndexChangeNotify(this);
}

TnxIndexDescriptor* TnxMainIndexTokenIndexDescriptor::ValidatedIndex(std::int32_t aNumber) {
  TnxMainIndicesDescriptor* indices = relatedMainIndices(this);
  if (!indices) return nullptr;
  if (aNumber < 0 || aNumber >= indices->IndexCount()) Raise(nxErrNoSuchIndex);
  TnxIndexDescriptor* index = indices->Indices(aNumber);
  if (!platform::objectAs<TnxMainIndexTokenKeyDescriptor>(index->KeyDescriptor()))
    Raise(nxErrInvalidDesc, u"Index must use a TnxMainIndexTokenIndexKeyDescriptor", {});
  return index;
}

void TnxMainIndexTokenIndexDescriptor::SetMainIndexNumber(std::int32_t aValue) {
  CheckReadOnly();
  if (aValue >= 0) ValidatedIndex(aValue);
  mitidMainIndexNumber = aValue;
}

void TnxMainIndexTokenIndexDescriptor::SetIgnoreCase(bool aValue) {
  CheckReadOnly();
  mitidIgnoreCase = aValue;
}

TnxIndexDescriptor* TnxMainIndexTokenIndexDescriptor::MainIndex() { return ValidatedIndex(mitidMainIndexNumber); }

void TnxMainIndexTokenIndexDescriptor::HandleIndexChange(bool aBefore, std::int32_t aOld, std::int32_t aNew) {
  if (mitidMainIndexNumber < 0) return;
  if (aBefore) {
    if (aOld == mitidMainIndexNumber && aNew < 0) {
      TnxMainIndicesDescriptor* indices = relatedMainIndices(this);
      const nxString name = indices && aOld < indices->IndexCount() ? indices->Indices(aOld)->Name()
                                                                      : intText(aOld);
      Raise(nxErrObjectInUse, kIndexInUse, {name});
    }
    return;
  }
  nxsdAdjustPosition(mitidMainIndexNumber, aOld, aNew);
}

void TnxMainIndexTokenIndexDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseTokenIndexDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteInteger(mitidMainIndexNumber);
  aWriter.WriteBoolean(mitidIgnoreCase);
}

void TnxMainIndexTokenIndexDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseTokenIndexDescriptor::LoadFromReader(aReader);
  readVersionOne(aReader, *this);
  mitidMainIndexNumber = aReader.ReadInteger();
  mitidIgnoreCase = aReader.ReadBoolean();
}

void TnxMainIndexTokenIndexDescriptor::CheckValid(bool aForBuild) {
  TnxBaseTokenIndexDescriptor::CheckValid(aForBuild);
  TnxIndexDescriptor* index = ValidatedIndex(mitidMainIndexNumber);
  auto [locale, flags] = usedLocale(*this);
  if (mitidIgnoreCase) flags |= platform::NORM_IGNORECASE;
  if (!index) return;
  auto* key = static_cast<TnxMainIndexTokenKeyDescriptor*>(index->KeyDescriptor());
  if (key->Locale() != locale) key->SetLocale(locale);
  if (key->Flags() != flags) key->SetFlags(flags);
}

bool TnxMainIndexTokenIndexDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* o = platform::objectAs<TnxMainIndexTokenIndexDescriptor>(aItem);
  return TnxBaseTokenIndexDescriptor::IsEqual(aItem) && o && mitidMainIndexNumber == o->mitidMainIndexNumber;
}

// ===========================================================================
// Token keys

namespace {
// Key lengths are computed wide: a size no key can have gives UINT32_MAX,
// which every key user refuses (15494).
std::uint32_t tokenKeyLen(std::int32_t aMaxTokenSize, std::int64_t aExtra) {
  const std::int64_t len = std::int64_t{2} * aMaxTokenSize + aExtra;
  if (aMaxTokenSize < 0 || len > std::numeric_limits<std::uint32_t>::max())
    return std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::uint32_t>(len);
}
}  // namespace

void TnxBitArrayTokenKeyDescriptor::SetMaxTokenSize(std::int32_t aValue) {
  CheckReadOnly();
  batkdMaxTokenSize = aValue;
}
void TnxBitArrayTokenKeyDescriptor::SetPerFieldIndex(bool aValue) {
  CheckReadOnly();
  batkdPerFieldIndex = aValue;
}
void TnxBitArrayTokenKeyDescriptor::SetReverse(bool aValue) {
  CheckReadOnly();
  batkdReverse = aValue;
}
void TnxBitArrayTokenKeyDescriptor::SetLocale(std::uint32_t aValue) {
  CheckReadOnly();
  batkdLocale = aValue;
}
void TnxBitArrayTokenKeyDescriptor::SetFlags(std::uint32_t aValue) {
  CheckReadOnly();
  batkdFlags = aValue;
}

std::uint32_t TnxBitArrayTokenKeyDescriptor::KeyLen() {
  return tokenKeyLen(batkdMaxTokenSize, batkdPerFieldIndex ? 6 : 4);
}

void TnxBitArrayTokenKeyDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseKeyDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteInteger(batkdMaxTokenSize);
  aWriter.WriteBoolean(batkdPerFieldIndex);
  aWriter.WriteBoolean(batkdReverse);
  aWriter.WriteInteger(static_cast<std::int64_t>(batkdLocale));
  aWriter.WriteInteger(static_cast<std::int64_t>(batkdFlags));
}

void TnxBitArrayTokenKeyDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseKeyDescriptor::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxBitArrayTokenKeyDescriptorException(nxErrIncompatibleStream);
  batkdMaxTokenSize = aReader.ReadInteger();
  batkdPerFieldIndex = aReader.ReadBoolean();
  batkdReverse = aReader.ReadBoolean();
  batkdLocale = static_cast<std::uint32_t>(aReader.ReadInt64());
  batkdFlags = static_cast<std::uint32_t>(aReader.ReadInt64());
}

bool TnxBitArrayTokenKeyDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* o = platform::objectAs<TnxBitArrayTokenKeyDescriptor>(aItem);
  return TnxBaseKeyDescriptor::IsEqual(aItem) && o && batkdMaxTokenSize == o->batkdMaxTokenSize &&
         batkdPerFieldIndex == o->batkdPerFieldIndex && batkdReverse == o->batkdReverse &&
         batkdLocale == o->batkdLocale && batkdFlags == o->batkdFlags;
}

void TnxMainIndexTokenKeyDescriptor::SetMaxTokenSize(std::int32_t aValue) {
  CheckReadOnly();
  mitkdMaxTokenSize = aValue;
}
void TnxMainIndexTokenKeyDescriptor::SetIncludeLocation(bool aValue) {
  CheckReadOnly();
  mitkdIncludeLocation = aValue;
}
void TnxMainIndexTokenKeyDescriptor::SetLocale(std::uint32_t aValue) {
  CheckReadOnly();
  mitkdLocale = aValue;
}
void TnxMainIndexTokenKeyDescriptor::SetFlags(std::uint32_t aValue) {
  CheckReadOnly();
  mitkdFlags = aValue;
}

std::uint32_t TnxMainIndexTokenKeyDescriptor::KeyLen() {
  return tokenKeyLen(mitkdMaxTokenSize, mitkdIncludeLocation ? 6 : 2);
}

void TnxMainIndexTokenKeyDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  if (mitkdIncludeLocation && aClientVersion < nxTokenLocationClientVersion)
    throw EnxFilesDescriptorException(nxErrIncompatibleVersion);
  TnxBaseKeyDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{mitkdIncludeLocation ? 2 : 1});
  aWriter.WriteInteger(mitkdMaxTokenSize);
  aWriter.WriteInteger(static_cast<std::int64_t>(mitkdLocale));
  aWriter.WriteInteger(static_cast<std::int64_t>(mitkdFlags));
  if (mitkdIncludeLocation) aWriter.WriteBoolean(true);
}

void TnxMainIndexTokenKeyDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseKeyDescriptor::LoadFromReader(aReader);
  const std::int32_t version = aReader.ReadInteger();
  if (version != 1 && version != 2) throw EnxMainIndexTokenKeyDescriptorException(nxErrIncompatibleStream);
  mitkdMaxTokenSize = aReader.ReadInteger();
  mitkdLocale = static_cast<std::uint32_t>(aReader.ReadInt64());
  mitkdFlags = static_cast<std::uint32_t>(aReader.ReadInt64());
  mitkdIncludeLocation = version == 2 ? aReader.ReadBoolean() : false;
}

bool TnxMainIndexTokenKeyDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* o = platform::objectAs<TnxMainIndexTokenKeyDescriptor>(aItem);
  return TnxBaseKeyDescriptor::IsEqual(aItem) && o && mitkdMaxTokenSize == o->mitkdMaxTokenSize &&
         mitkdIncludeLocation == o->mitkdIncludeLocation && mitkdLocale == o->mitkdLocale &&
         mitkdFlags == o->mitkdFlags;
}

void TnxTokenIndicesDescriptor::Raise(TnxResult aCode) const { throw EnxTokenIndicesDescriptorException(aCode); }
void TnxTokenIndicesDescriptor::Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const {
  throw EnxTokenIndicesDescriptorException(aCode, aText, aArgs);
}

// ===========================================================================
// Full-text indexes

PL_CLASS_INFO_IMPL_TABLE(TnxFulltextIndexDescriptor, TnxBaseFulltextDictionaryItem, "TnxFulltextIndexDescriptor",
                         nullptr, platform::bindClassTable(nxFulltextIndexFuncs<TnxFulltextIndexDescriptor>))

TnxClassList& TnxFulltextIndexDescriptor::GetList() { return gFulltextIndexClasses; }
NX_FT_RAISE_IMPL(FulltextIndexDescriptor)

TnxFulltextIndexDescriptor::TnxFulltextIndexDescriptor(TnxPersistent* aParent, std::int32_t aLocationIndexNumber,
                                                       const nxString& aName)
    : TnxBaseFulltextDictionaryItem(aParent), fidName(aName) {
  if (nxValidateIdentifier(fidName, nxErrInvalidName, false, true) != 0) Raise(nxErrInvalidName);
  if (aLocationIndexNumber < 0) aLocationIndexNumber = DefaultLocationIndex();
  ValidateLocationIndex(aLocationIndexNumber);
  fidLocationIndexNumber = aLocationIndexNumber;
  try {
    fidTokenExtractorHub = platform::create<TnxTokenExtractorHubDescriptor>(this);
    fidTokenFilterHub = platform::create<TnxTokenFilterHubDescriptor>(this);
    fidTokenIndexHub = platform::create<TnxTokenIndexHubDescriptor>(this);
    fidSubscribedTo = relatedMainIndices(this);
    if (fidSubscribedTo) fidSubscribedTo->AddIndexChangeNotify(this);
  } catch (...) {
    FreeParts();
    throw;
  }
}

TnxFulltextIndexDescriptor::~TnxFulltextIndexDescriptor() { FreeParts(); }

void TnxFulltextIndexDescriptor::beforeDestruction() {
  FreeParts();
  TnxBaseFulltextDictionaryItem::beforeDestruction();
}

void TnxFulltextIndexDescriptor::FreeParts() noexcept {
  if (fidSubscribedTo) std::exchange(fidSubscribedTo, nullptr)->RemoveIndexChangeNotify(this);
  nxFreeAndNil(fidTokenIndexHub);
  nxFreeAndNil(fidTokenFilterHub);
  nxFreeAndNil(fidTokenExtractorHub);
}

namespace {
bool isLocationIndex(TnxMainIndicesDescriptor* aIndices, std::int32_t aNumber) {
  if (!aIndices || aNumber < 0 || aNumber >= aIndices->IndexCount()) return false;
  TnxIndexDescriptor* index = aIndices->Indices(aNumber);
  if (index->Dups() == idAll) return false;
  auto* key = platform::objectAs<TnxCompKeyDescriptor>(index->KeyDescriptor());
  if (!key || key->KeyFieldCount() != 1) return false;
  TnxFieldDescriptor* field = key->KeyFields(0)->Field();
  return field && (field->GetFieldType() == nxtWord32 || field->GetFieldType() == nxtAutoInc);
}
}  // namespace

std::int32_t TnxFulltextIndexDescriptor::DefaultLocationIndex() {
  TnxMainIndicesDescriptor* indices = relatedMainIndices(this);
  if (!indices) return -1;
  if (isLocationIndex(indices, indices->DefaultIndex())) return indices->DefaultIndex();
  for (std::int32_t i = 0; i < indices->IndexCount(); ++i)
    if (isLocationIndex(indices, i)) return i;
  return -1;
}

void TnxFulltextIndexDescriptor::ValidateLocationIndex(std::int32_t aNumber) {
  if (!isLocationIndex(relatedMainIndices(this), aNumber))
    Raise(nxErrInvalidDesc, u"Invalid location index (%d)", {aNumber});
}

void TnxFulltextIndexDescriptor::SetLocationIndexNumber(std::int32_t aValue) {
  CheckReadOnly();
  if (aValue < 0) aValue = DefaultLocationIndex();
  if (aValue == fidLocationIndexNumber) return;
  ValidateLocationIndex(aValue);
  fidLocationIndexNumber = aValue;
}

TnxIndexDescriptor* TnxFulltextIndexDescriptor::LocationIndex() {
  ValidateLocationIndex(fidLocationIndexNumber);
  return relatedMainIndices(this)->Indices(fidLocationIndexNumber);
}

std::int32_t TnxFulltextIndexDescriptor::TokenExtractorCount() const {
  return fidTokenExtractorHub->TokenExtractorCount();
}
std::int32_t TnxFulltextIndexDescriptor::TokenFilterCount() const { return fidTokenFilterHub->TokenFilterCount(); }
std::int32_t TnxFulltextIndexDescriptor::TokenIndexCount() const { return fidTokenIndexHub->TokenIndexCount(); }

TnxBaseTokenExtractorDescriptor* TnxFulltextIndexDescriptor::fidGetTokenExtractor(std::int32_t aIndex) const {
  if (aIndex == -1) return fidTokenExtractorHub;
  return fidTokenExtractorHub->tehdGetTokenExtractor(aIndex);
}
TnxBaseTokenFilterDescriptor* TnxFulltextIndexDescriptor::fidGetTokenFilter(std::int32_t aIndex) const {
  if (aIndex == -1) return fidTokenFilterHub;
  return fidTokenFilterHub->tfhdGetTokenFilter(aIndex);
}
TnxBaseTokenIndexDescriptor* TnxFulltextIndexDescriptor::fidGetTokenIndex(std::int32_t aIndex) const {
  if (aIndex == -1) return fidTokenIndexHub;
  return fidTokenIndexHub->tihdGetTokenIndex(aIndex);
}
const nxString& TnxFulltextIndexDescriptor::fidGetTokenExtractorName(std::int32_t aIndex) const {
  return aIndex == -1 ? kEmpty : fidTokenExtractorHub->tehdGetTokenExtractorName(aIndex);
}
const nxString& TnxFulltextIndexDescriptor::fidGetTokenFilterName(std::int32_t aIndex) const {
  return aIndex == -1 ? kEmpty : fidTokenFilterHub->tfhdGetTokenFilterName(aIndex);
}
const nxString& TnxFulltextIndexDescriptor::fidGetTokenIndexName(std::int32_t aIndex) const {
  return aIndex == -1 ? kEmpty : fidTokenIndexHub->tihdGetTokenIndexName(aIndex);
}

TnxBaseTokenExtractorDescriptor* TnxFulltextIndexDescriptor::AddTokenExtractor(const nxString& aName,
                                                                               const platform::ClassInfo* aClass) {
  CheckReadOnly();
  return fidTokenExtractorHub->AddTokenExtractor(aName, aClass);
}
TnxBaseTokenExtractorDescriptor* TnxFulltextIndexDescriptor::AddFieldTokenExtractor(
    std::int32_t aFieldNumber, const nxString& aName, const platform::ClassInfo* aClass) {
  CheckReadOnly();
  return fidTokenExtractorHub->AddFieldTokenExtractor(aFieldNumber, aName, aClass);
}
TnxTokenExtractorHubDescriptor* TnxFulltextIndexDescriptor::AddTokenExtractorHub(const nxString& aName,
                                                                                 const platform::ClassInfo* aClass) {
  CheckReadOnly();
  return fidTokenExtractorHub->AddTokenExtractorHub(aName, aClass);
}
void TnxFulltextIndexDescriptor::RemoveTokenExtractor(TnxBaseTokenExtractorDescriptor* aDescriptor) {
  CheckReadOnly();
  fidTokenExtractorHub->RemoveTokenExtractor(aDescriptor);
}
void TnxFulltextIndexDescriptor::RemoveTokenExtractor(const nxString& aName) {
  CheckReadOnly();
  fidTokenExtractorHub->RemoveTokenExtractor(aName);
}
void TnxFulltextIndexDescriptor::RemoveTokenExtractor(std::int32_t aIndex) {
  CheckReadOnly();
  fidTokenExtractorHub->RemoveTokenExtractor(aIndex);
}
void TnxFulltextIndexDescriptor::ClearTokenExtractor() {
  CheckReadOnly();
  fidTokenExtractorHub->ClearMembers();
}
TnxBaseTokenFilterDescriptor* TnxFulltextIndexDescriptor::AddTokenFilter(const nxString& aName,
                                                                         const platform::ClassInfo* aClass) {
  CheckReadOnly();
  return fidTokenFilterHub->AddTokenFilter(aName, aClass);
}
void TnxFulltextIndexDescriptor::RemoveTokenFilter(TnxBaseTokenFilterDescriptor* aDescriptor) {
  CheckReadOnly();
  fidTokenFilterHub->RemoveTokenFilter(aDescriptor);
}
void TnxFulltextIndexDescriptor::RemoveTokenFilter(const nxString& aName) {
  CheckReadOnly();
  fidTokenFilterHub->RemoveTokenFilter(aName);
}
void TnxFulltextIndexDescriptor::RemoveTokenFilter(std::int32_t aIndex) {
  CheckReadOnly();
  fidTokenFilterHub->RemoveTokenFilter(aIndex);
}
void TnxFulltextIndexDescriptor::ClearTokenFilter() {
  CheckReadOnly();
  fidTokenFilterHub->ClearMembers();
}
TnxBaseTokenIndexDescriptor* TnxFulltextIndexDescriptor::AddTokenIndex(const nxString& aName,
                                                                       const platform::ClassInfo* aClass) {
  CheckReadOnly();
  return fidTokenIndexHub->AddTokenIndex(aName, aClass);
}
void TnxFulltextIndexDescriptor::RemoveTokenIndex(TnxBaseTokenIndexDescriptor* aDescriptor) {
  CheckReadOnly();
  fidTokenIndexHub->RemoveTokenIndex(aDescriptor);
}
void TnxFulltextIndexDescriptor::RemoveTokenIndex(const nxString& aName) {
  CheckReadOnly();
  fidTokenIndexHub->RemoveTokenIndex(aName);
}
void TnxFulltextIndexDescriptor::RemoveTokenIndex(std::int32_t aIndex) {
  CheckReadOnly();
  fidTokenIndexHub->RemoveTokenIndex(aIndex);
}
void TnxFulltextIndexDescriptor::ClearTokenIndex() {
  CheckReadOnly();
  fidTokenIndexHub->ClearMembers();
}

void TnxFulltextIndexDescriptor::HandleIndexChange(bool aBefore, std::int32_t aOld, std::int32_t aNew) {
  if (fidLocationIndexNumber < 0) return;
  if (aBefore) {
    if (aOld == fidLocationIndexNumber && aNew < 0) {
      TnxMainIndicesDescriptor* indices = relatedMainIndices(this);
      const nxString name = indices && aOld < indices->IndexCount() ? indices->Indices(aOld)->Name()
                                                                      : intText(aOld);
      Raise(nxErrObjectInUse, kIndexInUse, {name});
    }
    return;
  }
  nxsdAdjustPosition(fidLocationIndexNumber, aOld, aNew);
}

void TnxFulltextIndexDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseFulltextDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  fidTokenExtractorHub->SaveToWriter(aWriter, aClientVersion);
  fidTokenFilterHub->SaveToWriter(aWriter, aClientVersion);
  fidTokenIndexHub->SaveToWriter(aWriter, aClientVersion);
}

void TnxFulltextIndexDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseFulltextDictionaryItem::LoadFromReader(aReader);
  readVersionOne(aReader, *this);
  fidTokenExtractorHub->LoadFromReader(aReader);
  fidTokenFilterHub->LoadFromReader(aReader);
  fidTokenIndexHub->LoadFromReader(aReader);
}

void TnxFulltextIndexDescriptor::CheckValid(bool aForBuild) {
  TnxBaseFulltextDictionaryItem::CheckValid(aForBuild);
  if (nxValidateIdentifier(fidName, nxErrInvalidName, false, true) != 0) Raise(nxErrInvalidName);
  ValidateLocationIndex(fidLocationIndexNumber);
  fidTokenExtractorHub->CheckValid(aForBuild);
  fidTokenFilterHub->CheckValid(aForBuild);
  fidTokenIndexHub->CheckValid(aForBuild);
}

bool TnxFulltextIndexDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* o = platform::objectAs<TnxFulltextIndexDescriptor>(aItem);
  return TnxBaseFulltextDictionaryItem::IsEqual(aItem) && o &&
         fidLocationIndexNumber == o->fidLocationIndexNumber &&
         fidTokenExtractorHub->IsEqual(o->fidTokenExtractorHub) && fidTokenFilterHub->IsEqual(o->fidTokenFilterHub) &&
         fidTokenIndexHub->IsEqual(o->fidTokenIndexHub);
}

// ===========================================================================
// TnxFulltextDescriptor

TnxFulltextDescriptor::~TnxFulltextDescriptor() { FreeParts(); }

void TnxFulltextDescriptor::beforeDestruction() {
  FreeParts();
  TnxBaseCustomDescriptor::beforeDestruction();
}

// The token indices list goes first, so the token indexes find nothing of
// theirs to remove.
void TnxFulltextDescriptor::FreeParts() noexcept {
  nxFreeAndNil(ftdIndicesDescriptor);
  while (!ftdFulltextIndices.empty()) {
    TnxFulltextIndexDescriptor* index = ftdFulltextIndices.back();
    ftdFulltextIndices.pop_back();
    platform::TObject::free(index);
  }
  nxFreeAndNil(ftdBlobDescriptor);
}

std::int32_t TnxFulltextDescriptor::GetFulltextIndexFromName(const nxString& aName) const {
  for (std::size_t i = 0; i < ftdFulltextIndices.size(); ++i)
    if (sameTextAscii(ftdFulltextIndices[i]->Name(), aName)) return static_cast<std::int32_t>(i);
  return -1;
}

TnxFulltextIndexDescriptor* TnxFulltextDescriptor::AddFulltextIndex(const nxString& aName,
                                                                    const platform::ClassInfo* aClass,
                                                                    std::int32_t aLocationIndexNumber) {
  const nxString name = aName.empty() ? nxString(nxDefaultMemberName) : aName;
  if (GetFulltextIndexFromName(name) >= 0) throw EnxFulltextDescriptorException(nxErrNameNotUnique);
  const platform::ClassInfo& cls = aClass ? *aClass : TnxFulltextIndexDescriptor::staticClassInfo();
  const auto* funcs = cls.table<TnxFulltextIndexClassFuncs>();
  if (!funcs || !cls.inheritsFrom(TnxFulltextIndexDescriptor::staticClassInfo()))
    throw EnxFulltextDescriptorException(nxErrUnsupportedDescriptor, kUnsupported,
                                         {nxString(u"FulltextIndexDescriptor"), classNameText(cls)});
  ftdFulltextIndices.reserve(ftdFulltextIndices.size() + 1);
  TnxFulltextIndexDescriptor* index = funcs->create(this, aLocationIndexNumber, name);
  ftdFulltextIndices.push_back(index);
  return index;
}

void TnxFulltextDescriptor::RemoveFulltextIndex(std::int32_t aIndex) {
  if (aIndex < 0 || aIndex >= FulltextIndexCount()) return;
  TnxFulltextIndexDescriptor* index = ftdFulltextIndices[static_cast<std::size_t>(aIndex)];
  platform::TObject::free(index);
  ftdFulltextIndices.erase(ftdFulltextIndices.begin() + aIndex);
}

void TnxFulltextDescriptor::RemoveFulltextIndex(TnxFulltextIndexDescriptor* aDescriptor) {
  const auto it = std::find(ftdFulltextIndices.begin(), ftdFulltextIndices.end(), aDescriptor);
  if (it != ftdFulltextIndices.end()) RemoveFulltextIndex(static_cast<std::int32_t>(it - ftdFulltextIndices.begin()));
}

void TnxFulltextDescriptor::RemoveFulltextIndex(const nxString& aName) {
  RemoveFulltextIndex(GetFulltextIndexFromName(aName));
}

TnxBaseBlobDescriptor* TnxFulltextDescriptor::AddBlobDescriptor(const platform::ClassInfo* aBlobClass) {
  CheckReadOnly();
  nxFreeAndNil(ftdBlobDescriptor);
  ftdBlobDescriptor = TnxBaseBlobDescriptor::CreateOfClass(
      aBlobClass ? *aBlobClass : TnxHeapBlobDescriptor::staticClassInfo(), this, nxFulltextBlobSection);
  return ftdBlobDescriptor;
}

void TnxFulltextDescriptor::RemoveBlobDescriptor() {
  CheckReadOnly();
  nxFreeAndNil(ftdBlobDescriptor);
}

TnxTokenIndicesDescriptor* TnxFulltextDescriptor::AddIndicesDescriptor(const platform::ClassInfo* aIndicesClass) {
  CheckReadOnly();
  const platform::ClassInfo& cls = aIndicesClass ? *aIndicesClass : TnxTokenIndicesDescriptor::staticClassInfo();
  if (!cls.inheritsFrom(TnxTokenIndicesDescriptor::staticClassInfo()))
    throw EnxFulltextDescriptorException(nxErrUnsupportedDescriptor, kUnsupported,
                                         {nxString(u"IndicesDescriptor"), classNameText(cls)});
  nxFreeAndNil(ftdIndicesDescriptor);
  ftdIndicesDescriptor =
      static_cast<TnxTokenIndicesDescriptor*>(TnxBaseIndicesDescriptor::CreateOfClass(cls, this, nxFulltextIndicesSection));
  return ftdIndicesDescriptor;
}

void TnxFulltextDescriptor::RemoveIndicesDescriptor() {
  CheckReadOnly();
  nxFreeAndNil(ftdIndicesDescriptor);
}

TnxTokenIndicesDescriptor* TnxFulltextDescriptor::ForceIndicesDescriptor() {
  return ftdIndicesDescriptor ? ftdIndicesDescriptor : AddIndicesDescriptor();
}

bool TnxFulltextDescriptor::FindRelatedDescriptorOfType(const platform::ClassInfo& aType,
                                                        TnxDictionaryItem*& aDescriptor, TnxDictionaryItem* aFrom) {
  const auto answer = [&](TnxDictionaryItem* aPart) {
    aDescriptor = aPart && aPart->inheritsFrom(aType) ? aPart : nullptr;
    return true;
  };
  if (aType.inheritsFrom(TnxTokenIndicesDescriptor::staticClassInfo())) return answer(ftdIndicesDescriptor);
  if (aType.inheritsFrom(TnxBaseBlobDescriptor::staticClassInfo())) return answer(ftdBlobDescriptor);
  return TnxBaseCustomDescriptor::FindRelatedDescriptorOfType(aType, aDescriptor, aFrom);
}

void TnxFulltextDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseCustomDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteListBegin();
  for (TnxFulltextIndexDescriptor* index : ftdFulltextIndices) {
    aWriter.WriteString(classNameText(index->classInfo()));
    aWriter.WriteString(index->Name());
    aWriter.WriteInteger(index->LocationIndexNumber());
    index->SaveToWriter(aWriter, aClientVersion);
  }
  aWriter.WriteListEnd();
  aWriter.WriteBoolean(ftdBlobDescriptor != nullptr);
  if (ftdBlobDescriptor) {
    aWriter.WriteString(classNameText(ftdBlobDescriptor->classInfo()));
    ftdBlobDescriptor->SaveToWriter(aWriter, aClientVersion);
  }
  aWriter.WriteBoolean(ftdIndicesDescriptor != nullptr);
  if (ftdIndicesDescriptor) {
    aWriter.WriteString(classNameText(ftdIndicesDescriptor->classInfo()));
    ftdIndicesDescriptor->SaveToWriter(aWriter, aClientVersion);
  }
}

void TnxFulltextDescriptor::LoadFromReader(TnxReader& aReader) {
  FreeParts();
  TnxBaseCustomDescriptor::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxFulltextDescriptorException(nxErrIncompatibleStream);
  const auto unsupported = [](const char16_t* aWord) {
    return [aWord](const nxString& aName) {
      throw EnxFulltextDescriptorException(nxErrUnsupportedDescriptor, kUnsupported, {nxString(aWord), aName});
    };
  };
  aReader.ReadListBegin();
  while (!aReader.EndOfList()) {
    const platform::ClassInfo& cls =
        readClass(aReader, gFulltextIndexClasses, TnxFulltextIndexDescriptor::staticClassInfo(),
                  unsupported(u"FulltextIndexDescriptor"));
    const nxString name = aReader.ReadString();
    const std::int32_t location = aReader.ReadInteger();
    AddFulltextIndex(name, &cls, location)->LoadFromReader(aReader);
  }
  aReader.ReadListEnd();
  if (aReader.ReadBoolean())
    AddBlobDescriptor(&readClass(aReader, TnxBaseBlobDescriptor::GetList(), TnxBaseBlobDescriptor::staticClassInfo(),
                                 unsupported(u"BlobDescriptor")))
        ->LoadFromReader(aReader);
  if (aReader.ReadBoolean())
    AddIndicesDescriptor(&readClass(aReader, TnxBaseIndicesDescriptor::GetList(),
                                    TnxTokenIndicesDescriptor::staticClassInfo(),
                                    unsupported(u"IndicesDescriptor")))
        ->LoadFromReader(aReader);
}

void TnxFulltextDescriptor::CheckValid(bool aForBuild) {
  TnxBaseCustomDescriptor::CheckValid(aForBuild);
  for (TnxFulltextIndexDescriptor* index : ftdFulltextIndices) index->CheckValid(aForBuild);
  if (ftdBlobDescriptor) ftdBlobDescriptor->CheckValid(aForBuild);
  if (ftdIndicesDescriptor) ftdIndicesDescriptor->CheckValid(aForBuild);
}

bool TnxFulltextDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* o = platform::objectAs<TnxFulltextDescriptor>(aItem);
  if (!TnxBaseCustomDescriptor::IsEqual(aItem) || !o || o->FulltextIndexCount() != FulltextIndexCount()) return false;
  for (std::size_t i = 0; i < ftdFulltextIndices.size(); ++i)
    if (!ftdFulltextIndices[i]->IsEqual(o->ftdFulltextIndices[i])) return false;
  return nxsdBothOrEqual(ftdBlobDescriptor, o->ftdBlobDescriptor) &&
         nxsdBothOrEqual(ftdIndicesDescriptor, o->ftdIndicesDescriptor);
}

TnxFulltextDescriptor* nxFindFulltextDescriptor(TnxBaseTableDescriptor* aTable, const platform::ClassInfo* aClass) {
  TnxCustomDescsDescriptor* customs = aTable ? aTable->CustomDescsDescriptor() : nullptr;
  if (!customs) return nullptr;
  const std::int32_t inx = customs->GetCustomDescriptorFromName(nxFulltextDescriptorName);
  if (inx < 0) return nullptr;
  TnxBaseCustomDescriptor* found = customs->Customs(inx);
  const platform::ClassInfo& cls = aClass ? *aClass : TnxFulltextDescriptor::staticClassInfo();
  if (!found->inheritsFrom(cls) || !found->inheritsFrom(TnxFulltextDescriptor::staticClassInfo()))
    throw platform::ConvertError("Invalid class typecast");
  return static_cast<TnxFulltextDescriptor*>(found);
}

// ===========================================================================
// Start-up

void nxsdDataDictionaryFulltextRegister() {
  nxRegisterClassIn(TnxBaseCustomDescriptor::GetList(), TnxFulltextDescriptor::staticClassInfo(), {});
  nxRegisterClassIn(TnxBaseIndicesDescriptor::GetList(), TnxTokenIndicesDescriptor::staticClassInfo(), {});
  nxRegisterClassIn(gFulltextIndexClasses, TnxFulltextIndexDescriptor::staticClassInfo(), {});
  nxRegisterClassIn(gTokenExtractorClasses, TnxTokenExtractorHubDescriptor::staticClassInfo(), {});
  nxRegisterClassIn(gTokenExtractorClasses, TnxFieldTokenExtractorDescriptor::staticClassInfo(), {});
  for (const platform::ClassInfo* cls : {&TnxTokenFilterHubDescriptor::staticClassInfo(),
                                         &TnxWideCharSeparatorTokenFilterDescriptor::staticClassInfo(),
                                         &TnxCategorySeparatorTokenFilterDescriptor::staticClassInfo(),
                                         &TnxLowercaseLocaleMappingTokenFilterDescriptor::staticClassInfo(),
                                         &TnxUppercaseLocaleMappingTokenFilterDescriptor::staticClassInfo(),
                                         &TnxCustomLocaleMappingTokenFilterDescriptor::staticClassInfo(),
                                         &TnxPreComposeFoldStringTokenFilterDescriptor::staticClassInfo(),
                                         &TnxDecomposeFoldStringTokenFilterDescriptor::staticClassInfo(),
                                         &TnxCustomFoldStringTokenFilterDescriptor::staticClassInfo(),
                                         &TnxStringReplaceTokenFilterDescriptor::staticClassInfo()})
    nxRegisterClassIn(gTokenFilterClasses, *cls, {});
  nxRegisterClassIn(gTokenIndexClasses, TnxTokenIndexHubDescriptor::staticClassInfo(), {});
  nxRegisterClassIn(TnxBaseKeyDescriptor::GetList(), TnxBitArrayTokenKeyDescriptor::staticClassInfo(), {});
  nxRegisterClassIn(TnxBaseKeyDescriptor::GetList(), TnxMainIndexTokenKeyDescriptor::staticClassInfo(), {});
  nxRegisterClassIn(gStorageHandlerClasses, TnxSimpleBitArrayStorageHandlerDescriptor::staticClassInfo(), {});
  nxRegisterClassIn(gTokenIndexClasses, TnxBitArrayTokenIndexDescriptor::staticClassInfo(), {});
  nxRegisterClassIn(gTokenIndexClasses, TnxMainIndexTokenIndexDescriptor::staticClassInfo(), {});
}

void nxsdDataDictionaryFulltextUnregister() {
  nxUnregisterClassIn(TnxBaseKeyDescriptor::GetList(), TnxMainIndexTokenKeyDescriptor::staticClassInfo());
  nxUnregisterClassIn(TnxBaseKeyDescriptor::GetList(), TnxBitArrayTokenKeyDescriptor::staticClassInfo());
  nxUnregisterClassIn(TnxBaseIndicesDescriptor::GetList(), TnxTokenIndicesDescriptor::staticClassInfo());
  nxUnregisterClassIn(TnxBaseCustomDescriptor::GetList(), TnxFulltextDescriptor::staticClassInfo());
  nxFreeClassList(gFulltextIndexClasses);
  nxFreeClassList(gTokenExtractorClasses);
  nxFreeClassList(gTokenFilterClasses);
  nxFreeClassList(gTokenIndexClasses);
  nxFreeClassList(gStorageHandlerClasses);
}
