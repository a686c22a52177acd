#include <algorithm>
#include <cassert>
#include <limits>
#include <utility>

#include "nxsdDataDictionaryFulltextInt.h"
#include "plCollation.h"

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

using namespace nxft;

namespace {
TnxClassList gTokenIndexClasses = nullptr;
TnxClassList gStorageHandlerClasses = nullptr;
}  // namespace

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

namespace {
// A token index's own locale is not part of its stream; its stored token key
// carries the locale the index was built with. Checked right after a read, a
// key whose locale or flags differ from the inherited ones gives the item that
// locale back as its own, so keys built after reopening equal those built
// before. Like the storage handler, that descriptor is never stored: it takes
// no ID, and reading leaves the dictionary's ID counter as stored.
void takeOwnLocaleFromStoredKey(TnxLocalizedDictionaryItem& aItem, std::uint32_t aKeyLocale,
                                std::uint32_t aKeyFlags) {
  if (aItem.LocaleDescriptor()) return;
  TnxDictionaryItem* found = aItem.FindDataDictionary();
  auto* dictionary = platform::objectAs<TnxDataDictionary>(found);
  if (!dictionary || !dictionary->DictionaryIsReading()) return;
  if (aKeyLocale == 0 || std::pair{aKeyLocale, aKeyFlags} == usedLocale(aItem)) return;
  const std::int32_t counter = dictionary->CurrentID();
  TnxLocaleDescriptor* own = aItem.AddLocaleDescriptor();
  dictionary->SetCurrentID(counter);
  own->SetID(0);
  own->SetLocale(aKeyLocale);
  own->SetFlags(aKeyFlags);
}
}  // namespace

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
  TnxIndexDescriptor* indexes[] = {IndexDescriptor(), ReverseIndexDescriptor()};
  for (TnxIndexDescriptor* index : indexes)
    if (auto* key = index ? platform::objectAs<TnxBitArrayTokenKeyDescriptor>(index->KeyDescriptor()) : nullptr) {
      takeOwnLocaleFromStoredKey(*this, key->Locale(), key->Flags());
      break;
    }
  const auto [locale, flags] = usedLocale(*this);
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
  if (!index) return;
  auto* key = static_cast<TnxMainIndexTokenKeyDescriptor*>(index->KeyDescriptor());
  takeOwnLocaleFromStoredKey(*this, key->Locale(),
                             mitidIgnoreCase ? key->Flags() & ~std::uint32_t{platform::NORM_IGNORECASE} : key->Flags());
  auto [locale, flags] = usedLocale(*this);
  if (mitidIgnoreCase) flags |= platform::NORM_IGNORECASE;
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

void TnxTokenIndicesDescriptor::CheckValid(bool aForBuild) {
  // An empty list is no broken dictionary: it only holds nothing yet.
  if (IndexCount() == 0)
    TnxDictionaryItem::CheckValid(aForBuild);
  else
    TnxBaseIndicesDescriptor::CheckValid(aForBuild);
}

void TnxTokenIndicesDescriptor::Raise(TnxResult aCode) const { throw EnxTokenIndicesDescriptorException(aCode); }
void TnxTokenIndicesDescriptor::Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const {
  throw EnxTokenIndicesDescriptorException(aCode, aText, aArgs);
}

