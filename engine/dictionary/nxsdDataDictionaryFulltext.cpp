#include "nxsdDataDictionaryFulltextInt.h"

#include <algorithm>
#include <cassert>
#include <utility>

#include "nxllBde.h"
#include "plString.h"

using platform::sameTextAscii;

#define NX_FT_IMPLEMENT_EXCEPTION(Cls, Parent) NX_IMPLEMENT_EXCEPTION(Enx##Cls##Exception, Parent)
NX_FT_EXCEPTIONS(NX_FT_IMPLEMENT_EXCEPTION)
#undef NX_FT_IMPLEMENT_EXCEPTION
NX_IMPLEMENT_EXCEPTION(EnxFulltextDescriptorException, EnxBaseCustomDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxTokenIndicesDescriptorException, EnxBaseIndicesDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxBitArrayTokenKeyDescriptorException, EnxBaseKeyDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxMainIndexTokenKeyDescriptorException, EnxBaseKeyDescriptorException)

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
PL_CLASS_INFO_IMPL_TABLE(TnxFulltextDescriptor, TnxBaseCustomDescriptor, "TnxFulltextDescriptor", nullptr,
                         platform::bindClassTable(nxCustomDescriptorFuncs<TnxFulltextDescriptor>))

using namespace nxft;

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
  nxRegisterClassIn(TnxBaseTokenIndexDescriptor::GetList(), TnxTokenIndexHubDescriptor::staticClassInfo(), {});
  nxRegisterClassIn(TnxBaseKeyDescriptor::GetList(), TnxBitArrayTokenKeyDescriptor::staticClassInfo(), {});
  nxRegisterClassIn(TnxBaseKeyDescriptor::GetList(), TnxMainIndexTokenKeyDescriptor::staticClassInfo(), {});
  nxRegisterClassIn(TnxBaseBitArrayStorageHandlerDescriptor::GetList(), TnxSimpleBitArrayStorageHandlerDescriptor::staticClassInfo(), {});
  nxRegisterClassIn(TnxBaseTokenIndexDescriptor::GetList(), TnxBitArrayTokenIndexDescriptor::staticClassInfo(), {});
  nxRegisterClassIn(TnxBaseTokenIndexDescriptor::GetList(), TnxMainIndexTokenIndexDescriptor::staticClassInfo(), {});
}

void nxsdDataDictionaryFulltextUnregister() {
  nxUnregisterClassIn(TnxBaseKeyDescriptor::GetList(), TnxMainIndexTokenKeyDescriptor::staticClassInfo());
  nxUnregisterClassIn(TnxBaseKeyDescriptor::GetList(), TnxBitArrayTokenKeyDescriptor::staticClassInfo());
  nxUnregisterClassIn(TnxBaseIndicesDescriptor::GetList(), TnxTokenIndicesDescriptor::staticClassInfo());
  nxUnregisterClassIn(TnxBaseCustomDescriptor::GetList(), TnxFulltextDescriptor::staticClassInfo());
  nxFreeClassList(gFulltextIndexClasses);
  nxFreeClassList(gTokenExtractorClasses);
  nxFreeClassList(gTokenFilterClasses);
  nxFreeClassList(TnxBaseTokenIndexDescriptor::GetList());
  nxFreeClassList(TnxBaseBitArrayStorageHandlerDescriptor::GetList());
}

