// Full-text descriptors: the "Fulltext" custom descriptor of a table level
// with its full-text indexes. A full-text index names a location index (a
// unique main index over one nxtWord32 or nxtAutoInc field) and owns three
// hubs: token extractors (where the text comes from), token filters (applied
// to every token) and token indexes (where the tokens are kept). Extractors
// and token indexes own a filter hub of their own. Bit-array token indexes
// keep their B*-trees in the full-text descriptor's token indices list
// (header section "Fulltext$Indices") and their bit arrays in its BLOB
// descriptor ("Fulltext$Blob"). The descriptors only describe; the storage
// layer's engines split and transform text from what they read here.
//
// Ownership: a hub owns its members; a member's Number always equals its
// position in the hub, and its Name is read from the hub at that position.
// Field extractors follow the renumbering of the fields, full-text indexes
// and main-index token indexes that of the main indices (removing a
// referenced field or index is refused with 15502).
//
// Streams (tagged values; each class level appends its part after its
// parent's part):
//   full-text item: the item part, Integer 1; index item: Integer 1;
//   numbered item: Integer 1, Integer Number (must equal the position);
//   token source, token filter: Integer 1; token extractor: Integer 1, its
//   filter hub; hub: Integer 1, list of (name, class name, member stream);
//   full-text index: Integer 1, extractor hub, filter hub, index hub;
//   Fulltext: custom part, Integer 1, list of (class, name, location index
//   number, index stream), Boolean + class + BLOB descriptor, Boolean +
//   class + token indices descriptor.
// The full-text items write no locale part: a locale descriptor of their
// own is not streamed.
//
// Implemented in nxsdDataDictionaryFulltext.cpp (items, filters, extractors,
// full-text indexes, the descriptor, start-up) and
// nxsdDataDictionaryFulltextTokens.cpp (token indexes, storage handlers,
// token keys, the token indices list), sharing the private
// nxsdDataDictionaryFulltextInt.h.
//
// Registries: full-text indexes, token extractors, token filters, token
// indexes and bit-array storage handlers are this module's own families;
// it also registers into the custom descriptor, indices and key descriptor
// families. Filled by nxsdDataDictionaryFulltextRegister from the
// dictionary's start-up table. Not locked: see nxsdDataDictionaryItems.h.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "nxllWideStringCategories.h"
#include "nxsdDataDictionary.h"

#define NX_FT_EXCEPTIONS(X)                                                  \
  X(BaseFulltextDictionaryItem, EnxDictionaryItemException)                  \
  X(FulltextIndexDescriptor, EnxBaseFulltextDictionaryItemException)         \
  X(BaseFulltextIndexDictionaryItem, EnxBaseFulltextDictionaryItemException) \
  X(NumberedFulltextIndexDictionaryItem, EnxBaseFulltextIndexDictionaryItemException)   \
  X(BaseTokenSourceDescriptor, EnxNumberedFulltextIndexDictionaryItemException)         \
  X(BaseTokenExtractorDescriptor, EnxBaseTokenSourceDescriptorException)                \
  X(TokenExtractorHubDescriptor, EnxBaseTokenExtractorDescriptorException)              \
  X(FieldTokenExtractorDescriptor, EnxBaseTokenExtractorDescriptorException)            \
  X(BaseTokenFilterDescriptor, EnxBaseTokenSourceDescriptorException)                   \
  X(TokenFilterHubDescriptor, EnxBaseTokenFilterDescriptorException)                    \
  X(BaseSeparatorTokenFilterDescriptor, EnxBaseTokenFilterDescriptorException)          \
  X(WideCharSeparatorTokenFilterDescriptor, EnxBaseSeparatorTokenFilterDescriptorException) \
  X(CategorySeparatorTokenFilterDescriptor, EnxBaseSeparatorTokenFilterDescriptorException) \
  X(BaseLocaleMappingTokenFilterDescriptor, EnxBaseTokenFilterDescriptorException)      \
  X(LowercaseLocaleMappingTokenFilterDescriptor, EnxBaseLocaleMappingTokenFilterDescriptorException) \
  X(UppercaseLocaleMappingTokenFilterDescriptor, EnxBaseLocaleMappingTokenFilterDescriptorException) \
  X(CustomLocaleMappingTokenFilterDescriptor, EnxBaseLocaleMappingTokenFilterDescriptorException)    \
  X(BaseFoldStringTokenFilterDescriptor, EnxBaseTokenFilterDescriptorException)         \
  X(PreComposeFoldStringTokenFilterDescriptor, EnxBaseFoldStringTokenFilterDescriptorException) \
  X(DecomposeFoldStringTokenFilterDescriptor, EnxBaseFoldStringTokenFilterDescriptorException)  \
  X(CustomFoldStringTokenFilterDescriptor, EnxBaseFoldStringTokenFilterDescriptorException)     \
  X(StringReplaceTokenFilterDescriptor, EnxBaseTokenFilterDescriptorException)          \
  X(BaseTokenIndexDescriptor, EnxNumberedFulltextIndexDictionaryItemException)          \
  X(TokenIndexHubDescriptor, EnxBaseTokenIndexDescriptorException)                      \
  X(BitArrayTokenIndexDescriptor, EnxBaseTokenIndexDescriptorException)                 \
  X(MainIndexTokenIndexDescriptor, EnxBaseTokenIndexDescriptorException)                \
  X(BaseBitArrayStorageHandlerDescriptor, EnxBaseFulltextIndexDictionaryItemException)  \
  X(SimpleBitArrayStorageHandlerDescriptor, EnxBaseBitArrayStorageHandlerDescriptorException)

#define NX_FT_DECLARE_EXCEPTION(Cls, Parent) NX_DECLARE_EXCEPTION(Enx##Cls##Exception, Parent)
NX_FT_EXCEPTIONS(NX_FT_DECLARE_EXCEPTION)
#undef NX_FT_DECLARE_EXCEPTION
NX_DECLARE_EXCEPTION(EnxFulltextDescriptorException, EnxBaseCustomDescriptorException)
NX_DECLARE_EXCEPTION(EnxTokenIndicesDescriptorException, EnxBaseIndicesDescriptorException)
NX_DECLARE_EXCEPTION(EnxBitArrayTokenKeyDescriptorException, EnxBaseKeyDescriptorException)
NX_DECLARE_EXCEPTION(EnxMainIndexTokenKeyDescriptorException, EnxBaseKeyDescriptorException)

inline constexpr const char16_t* nxFulltextDescriptorName = u"Fulltext";
inline constexpr const char* nxFulltextBlobSection = "Fulltext$Blob";
inline constexpr const char* nxFulltextIndicesSection = "Fulltext$Indices";
inline constexpr const char16_t* nxDefaultMemberName = u"Default";
// Limits of a bit-array token index's MaxTokenSize.
inline constexpr std::int32_t nxMinTokenSize = 1;
inline constexpr std::int32_t nxMaxTokenSize = 1024;
// Clients that can read a main-index token key with its location.
inline constexpr std::int32_t nxTokenLocationClientVersion = 20700;

// Flags stored for the storage layer's string mapping and folding.
inline constexpr std::uint32_t nxLCMAP_LOWERCASE = 0x100;
inline constexpr std::uint32_t nxLCMAP_UPPERCASE = 0x200;
inline constexpr std::uint32_t nxMAP_PRECOMPOSED = 0x20;
inline constexpr std::uint32_t nxMAP_COMPOSITE = 0x40;

class TnxFulltextDescriptor;
class TnxFulltextIndexDescriptor;
class TnxTokenExtractorHubDescriptor;
class TnxTokenFilterHubDescriptor;
class TnxTokenIndexHubDescriptor;
class TnxTokenIndicesDescriptor;

// Class-level virtual constructor of the full-text item families (aParent only).
struct TnxFulltextItemClassFuncs {
  TnxDictionaryItem* (*create)(TnxPersistent* aParent);
};
template <class T>
inline constexpr TnxFulltextItemClassFuncs nxFulltextItemFuncs{
    [](TnxPersistent* aParent) -> TnxDictionaryItem* { return platform::create<T>(aParent); }};

// Raising with the class's own exception class.
#define NX_FT_RAISE_DECL() \
  [[noreturn]] void DoRaise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const override;

// ---------------------------------------------------------------------------
// Item levels

class TnxBaseFulltextDictionaryItem : public TnxLocalizedDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  using TnxLocalizedDictionaryItem::TnxLocalizedDictionaryItem;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;

  // With the class's own exception class; aText empty: the code's own text.
  [[noreturn]] virtual void DoRaise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const;
  [[noreturn]] void Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const {
    DoRaise(aCode, aText, aArgs);
    throw EnxBaseFulltextDictionaryItemException(aCode);  // DoRaise always throws
  }
  [[noreturn]] void Raise(TnxResult aCode) const { Raise(aCode, nxString(), {}); }
  // The full-text descriptor above this item; nil when none.
  TnxFulltextDescriptor* FindFulltextDescriptor() const;
};

class TnxBaseFulltextIndexDictionaryItem : public TnxBaseFulltextDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseFulltextDictionaryItem::TnxBaseFulltextDictionaryItem;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  NX_FT_RAISE_DECL()
};

class TnxNumberedFulltextIndexDictionaryItem : public TnxBaseFulltextIndexDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseFulltextIndexDictionaryItem::TnxBaseFulltextIndexDictionaryItem;
  // Its position in the hub that holds it; 0 outside a hub.
  std::int32_t Number() const { return nfidiNumber; }
  void SetNumber(std::int32_t aValue) { nfidiNumber = aValue; }
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  NX_FT_RAISE_DECL()

 private:
  std::int32_t nfidiNumber = 0;
};

class TnxBaseTokenSourceDescriptor : public TnxNumberedFulltextIndexDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  using TnxNumberedFulltextIndexDictionaryItem::TnxNumberedFulltextIndexDictionaryItem;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  NX_FT_RAISE_DECL()
};

// The members of a hub under their names, in order; owns the members.
class TnxFulltextMemberList {
 public:
  TnxFulltextMemberList() = default;
  ~TnxFulltextMemberList() { Clear(); }
  TnxFulltextMemberList(const TnxFulltextMemberList&) = delete;
  TnxFulltextMemberList& operator=(const TnxFulltextMemberList&) = delete;

  std::int32_t Count() const { return static_cast<std::int32_t>(fmlItems.size()); }
  TnxNumberedFulltextIndexDictionaryItem* Item(std::int32_t aIndex) const;
  const nxString& Name(std::int32_t aIndex) const;
  // -1 when absent; names compare with ASCII letters case-insensitive.
  std::int32_t IndexOfName(const nxString& aName) const;
  std::int32_t IndexOf(const TnxDictionaryItem* aItem) const;
  // Takes aItem and sets its Number.
  void Append(const nxString& aName, TnxNumberedFulltextIndexDictionaryItem* aItem);
  // Frees the member and renumbers those behind it; outside: nothing.
  void RemoveAt(std::int32_t aIndex);
  void Clear() noexcept;
  bool Equal(const TnxFulltextMemberList& aOther) const;

 private:
  std::vector<std::pair<nxString, TnxNumberedFulltextIndexDictionaryItem*>> fmlItems;
};

// ---------------------------------------------------------------------------
// Token filters

class TnxBaseTokenFilterDescriptor : public TnxBaseTokenSourceDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseTokenSourceDescriptor::TnxBaseTokenSourceDescriptor;
  static TnxClassList& GetList();
  // Its name in the parent filter hub; empty otherwise.
  nxString Name() const;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  NX_FT_RAISE_DECL()
};

class TnxTokenFilterHubDescriptor : public TnxBaseTokenFilterDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseTokenFilterDescriptor::TnxBaseTokenFilterDescriptor;
  ~TnxTokenFilterHubDescriptor() override;

  std::int32_t TokenFilterCount() const { return tfhdTokenFilters.Count(); }
  TnxBaseTokenFilterDescriptor* tfhdGetTokenFilter(std::int32_t aIndex) const;
  const nxString& tfhdGetTokenFilterName(std::int32_t aIndex) const { return tfhdTokenFilters.Name(aIndex); }
  std::int32_t IndexOf(const TnxDictionaryItem* aItem) const { return tfhdTokenFilters.IndexOf(aItem); }

  // An empty name becomes "Default"; aClass nil: the wide-character separator.
  TnxBaseTokenFilterDescriptor* AddTokenFilter(const nxString& aName, const platform::ClassInfo* aClass = nullptr);
  void RemoveTokenFilter(TnxBaseTokenFilterDescriptor* aDescriptor);
  void RemoveTokenFilter(const nxString& aName);
  void RemoveTokenFilter(std::int32_t aIndex);
  virtual void ClearMembers();

  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  NX_FT_RAISE_DECL()

 protected:
  void beforeDestruction() override;

 private:
  TnxFulltextMemberList tfhdTokenFilters;
};

class TnxBaseSeparatorTokenFilterDescriptor : public TnxBaseTokenFilterDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseTokenFilterDescriptor::TnxBaseTokenFilterDescriptor;
  std::int32_t SeparatorDistance() const { return bstfsSeparatorDistance; }
  void SetSeparatorDistance(std::int32_t aValue);
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  NX_FT_RAISE_DECL()

 private:
  std::int32_t bstfsSeparatorDistance = 1;
};

class TnxWideCharSeparatorTokenFilterDescriptor : public TnxBaseSeparatorTokenFilterDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseSeparatorTokenFilterDescriptor::TnxBaseSeparatorTokenFilterDescriptor;
  char16_t SeparatorChar() const { return wcstfsSeparatorChar; }
  void SetSeparatorChar(char16_t aValue);
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  NX_FT_RAISE_DECL()

 private:
  char16_t wcstfsSeparatorChar = u' ';
};

class TnxCategorySeparatorTokenFilterDescriptor : public TnxBaseSeparatorTokenFilterDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseSeparatorTokenFilterDescriptor::TnxBaseSeparatorTokenFilterDescriptor;
  static constexpr TnxCharacterCategories DefaultCategories{
      ccSeparatorSpace,          ccSeparatorLine,         ccSeparatorParagraph, ccPunctuationOpen,
      ccPunctuationClose,        ccPunctuationInitialQuote, ccPunctuationFinalQuote, ccPunctuationOther,
      ccSegmentSeparator,        ccWhiteSpace,            ccSpaceOther};
  const TnxCharacterCategories& SeparatorCategories() const { return cstfsSeparatorCategories; }
  void SetSeparatorCategories(const TnxCharacterCategories& aValue);
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  NX_FT_RAISE_DECL()

 private:
  TnxCharacterCategories cstfsSeparatorCategories = DefaultCategories;
};

class TnxBaseLocaleMappingTokenFilterDescriptor : public TnxBaseTokenFilterDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseTokenFilterDescriptor::TnxBaseTokenFilterDescriptor;
  // LCMapString flags the filter maps with.
  virtual std::uint32_t Flags() const { return 0; }
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  NX_FT_RAISE_DECL()
};

class TnxLowercaseLocaleMappingTokenFilterDescriptor : public TnxBaseLocaleMappingTokenFilterDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseLocaleMappingTokenFilterDescriptor::TnxBaseLocaleMappingTokenFilterDescriptor;
  std::uint32_t Flags() const override { return nxLCMAP_LOWERCASE; }
  NX_FT_RAISE_DECL()
};

class TnxUppercaseLocaleMappingTokenFilterDescriptor : public TnxBaseLocaleMappingTokenFilterDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseLocaleMappingTokenFilterDescriptor::TnxBaseLocaleMappingTokenFilterDescriptor;
  std::uint32_t Flags() const override { return nxLCMAP_UPPERCASE; }
  NX_FT_RAISE_DECL()
};

class TnxCustomLocaleMappingTokenFilterDescriptor : public TnxBaseLocaleMappingTokenFilterDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseLocaleMappingTokenFilterDescriptor::TnxBaseLocaleMappingTokenFilterDescriptor;
  std::uint32_t Flags() const override { return clmtfdFlags; }
  void SetFlags(std::uint32_t aValue);
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  NX_FT_RAISE_DECL()

 private:
  std::uint32_t clmtfdFlags = 0;
};

class TnxBaseFoldStringTokenFilterDescriptor : public TnxBaseTokenFilterDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseTokenFilterDescriptor::TnxBaseTokenFilterDescriptor;
  // FoldString flags the filter folds with.
  virtual std::uint32_t Flags() const { return 0; }
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  NX_FT_RAISE_DECL()
};

class TnxPreComposeFoldStringTokenFilterDescriptor : public TnxBaseFoldStringTokenFilterDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseFoldStringTokenFilterDescriptor::TnxBaseFoldStringTokenFilterDescriptor;
  std::uint32_t Flags() const override { return nxMAP_PRECOMPOSED; }
  NX_FT_RAISE_DECL()
};

class TnxDecomposeFoldStringTokenFilterDescriptor : public TnxBaseFoldStringTokenFilterDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseFoldStringTokenFilterDescriptor::TnxBaseFoldStringTokenFilterDescriptor;
  std::uint32_t Flags() const override { return nxMAP_COMPOSITE; }
  NX_FT_RAISE_DECL()
};

class TnxCustomFoldStringTokenFilterDescriptor : public TnxBaseFoldStringTokenFilterDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseFoldStringTokenFilterDescriptor::TnxBaseFoldStringTokenFilterDescriptor;
  std::uint32_t Flags() const override { return cfstfdFlags; }
  void SetFlags(std::uint32_t aValue);
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  NX_FT_RAISE_DECL()

 private:
  std::uint32_t cfstfdFlags = 0;
};

enum TnxStringReplaceKind : std::uint8_t { srkWhole = 0, srkOne = 1, srkAll = 2 };

struct TnxStringReplaceTokenFilterItem {
  nxString srtfiOldPattern;
  nxString srtfiNewPattern;
  TnxStringReplaceKind srtfiReplaceKind = srkWhole;
  bool srtfiIgnoreCase = false;
  bool operator==(const TnxStringReplaceTokenFilterItem&) const = default;
};

// The item operations do not check read-only; an index outside the items
// raises "Index out of bounds: %d" without a code.
class TnxStringReplaceTokenFilterDescriptor : public TnxBaseTokenFilterDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseTokenFilterDescriptor::TnxBaseTokenFilterDescriptor;
  const std::vector<TnxStringReplaceTokenFilterItem>& Items() const { return srtfdItems; }
  std::int32_t ItemCount() const { return static_cast<std::int32_t>(srtfdItems.size()); }
  std::int32_t AddItem(const nxString& aOldPattern, const nxString& aNewPattern, TnxStringReplaceKind aReplaceKind,
                       bool aIgnoreCase);
  void RemoveItem(std::int32_t aIndex);
  // Exchanges the two items.
  void MoveItem(std::int32_t aFrom, std::int32_t aTo);
  const nxString& srtfdGetOldPattern(std::int32_t aIndex) const { return At(aIndex).srtfiOldPattern; }
  void srtfdSetOldPattern(std::int32_t aIndex, const nxString& aValue) { At(aIndex).srtfiOldPattern = aValue; }
  const nxString& srtfdGetNewPattern(std::int32_t aIndex) const { return At(aIndex).srtfiNewPattern; }
  void srtfdSetNewPattern(std::int32_t aIndex, const nxString& aValue) { At(aIndex).srtfiNewPattern = aValue; }
  TnxStringReplaceKind srtfdGetReplaceKind(std::int32_t aIndex) const { return At(aIndex).srtfiReplaceKind; }
  void srtfdSetReplaceKind(std::int32_t aIndex, TnxStringReplaceKind aValue) { At(aIndex).srtfiReplaceKind = aValue; }
  bool srtfdGetIgnoreCase(std::int32_t aIndex) const { return At(aIndex).srtfiIgnoreCase; }
  void srtfdSetIgnoreCase(std::int32_t aIndex, bool aValue) { At(aIndex).srtfiIgnoreCase = aValue; }

  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  NX_FT_RAISE_DECL()

 private:
  void CheckIndex(std::int32_t aIndex) const;
  TnxStringReplaceTokenFilterItem& At(std::int32_t aIndex) {
    CheckIndex(aIndex);
    return srtfdItems[static_cast<std::size_t>(aIndex)];
  }
  const TnxStringReplaceTokenFilterItem& At(std::int32_t aIndex) const {
    CheckIndex(aIndex);
    return srtfdItems[static_cast<std::size_t>(aIndex)];
  }
  std::vector<TnxStringReplaceTokenFilterItem> srtfdItems;
};

// ---------------------------------------------------------------------------
// Token extractors

class TnxBaseTokenExtractorDescriptor : public TnxBaseTokenSourceDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxBaseTokenExtractorDescriptor(TnxPersistent* aParent);
  ~TnxBaseTokenExtractorDescriptor() override;
  static TnxClassList& GetList();

  // Its name in the parent extractor hub; empty otherwise.
  nxString Name() const;
  TnxTokenFilterHubDescriptor* TokenFilterHub() const { return btedTokenFilterHub; }
  std::int32_t TokenFilterCount() const;
  // -1: the hub itself.
  TnxBaseTokenFilterDescriptor* btedGetTokenFilter(std::int32_t aIndex) const;
  const nxString& btedGetTokenFilterName(std::int32_t aIndex) const;
  TnxBaseTokenFilterDescriptor* AddTokenFilter(const nxString& aName, const platform::ClassInfo* aClass = nullptr);
  void RemoveTokenFilter(TnxBaseTokenFilterDescriptor* aDescriptor);
  void RemoveTokenFilter(const nxString& aName);
  void RemoveTokenFilter(std::int32_t aIndex);
  void ClearTokenFilter();

  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  NX_FT_RAISE_DECL()

 protected:
  void beforeDestruction() override;

 private:
  TnxTokenFilterHubDescriptor* btedTokenFilterHub = nullptr;  // owned
};

class TnxTokenExtractorHubDescriptor : public TnxBaseTokenExtractorDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseTokenExtractorDescriptor::TnxBaseTokenExtractorDescriptor;
  ~TnxTokenExtractorHubDescriptor() override;

  std::int32_t TokenExtractorCount() const { return tehdTokenExtractors.Count(); }
  TnxBaseTokenExtractorDescriptor* tehdGetTokenExtractor(std::int32_t aIndex) const;
  const nxString& tehdGetTokenExtractorName(std::int32_t aIndex) const { return tehdTokenExtractors.Name(aIndex); }
  std::int32_t IndexOf(const TnxDictionaryItem* aItem) const { return tehdTokenExtractors.IndexOf(aItem); }

  // An empty name fails the identifier check; aClass nil: the field extractor.
  TnxBaseTokenExtractorDescriptor* AddTokenExtractor(const nxString& aName,
                                                     const platform::ClassInfo* aClass = nullptr);
  // An empty (trimmed) name: the name of field aFieldNumber.
  TnxBaseTokenExtractorDescriptor* AddFieldTokenExtractor(std::int32_t aFieldNumber, const nxString& aName = {},
                                                          const platform::ClassInfo* aClass = nullptr);
  TnxTokenExtractorHubDescriptor* AddTokenExtractorHub(const nxString& aName,
                                                       const platform::ClassInfo* aClass = nullptr);
  void RemoveTokenExtractor(TnxBaseTokenExtractorDescriptor* aDescriptor);
  void RemoveTokenExtractor(const nxString& aName);
  void RemoveTokenExtractor(std::int32_t aIndex);
  virtual void ClearMembers();

  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  NX_FT_RAISE_DECL()

 protected:
  void beforeDestruction() override;

 private:
  TnxFulltextMemberList tehdTokenExtractors;
};

class TnxFieldTokenExtractorDescriptor : public TnxBaseTokenExtractorDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxFieldTokenExtractorDescriptor(TnxPersistent* aParent);
  ~TnxFieldTokenExtractorDescriptor() override;

  std::int32_t FieldNumber() const { return ftedFieldNumber; }
  // -1 always; otherwise 0 .. field count - 1 of the related fields (9999).
  void SetFieldNumber(std::int32_t aValue);
  // Nil while the number is negative or outside the fields.
  TnxFieldDescriptor* Field() const;

  void HandleFieldChange(bool aBefore, std::int32_t aOld, std::int32_t aNew) override;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  NX_FT_RAISE_DECL()

 protected:
  void beforeDestruction() override;

 private:
  void Unsubscribe() noexcept;
  std::int32_t ftedFieldNumber = -1;
  TnxFieldsDescriptor* ftedSubscribedTo = nullptr;
};

// ---------------------------------------------------------------------------
// Token indexes

class TnxBaseTokenIndexDescriptor : public TnxNumberedFulltextIndexDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxBaseTokenIndexDescriptor(TnxPersistent* aParent);
  ~TnxBaseTokenIndexDescriptor() override;
  static TnxClassList& GetList();

  // Its name in the parent index hub; empty otherwise.
  nxString Name() const;
  TnxTokenFilterHubDescriptor* TokenFilterHub() const { return btidTokenFilterHub; }
  std::int32_t TokenFilterCount() const;
  TnxBaseTokenFilterDescriptor* btidGetTokenFilter(std::int32_t aIndex) const;
  const nxString& btidGetTokenFilterName(std::int32_t aIndex) const;
  TnxBaseTokenFilterDescriptor* AddTokenFilter(const nxString& aName, const platform::ClassInfo* aClass = nullptr);
  void RemoveTokenFilter(TnxBaseTokenFilterDescriptor* aDescriptor);
  void RemoveTokenFilter(const nxString& aName);
  void RemoveTokenFilter(std::int32_t aIndex);
  void ClearTokenFilter();

  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  NX_FT_RAISE_DECL()

 protected:
  void beforeDestruction() override;

 private:
  TnxTokenFilterHubDescriptor* btidTokenFilterHub = nullptr;  // owned
};

class TnxTokenIndexHubDescriptor : public TnxBaseTokenIndexDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseTokenIndexDescriptor::TnxBaseTokenIndexDescriptor;
  ~TnxTokenIndexHubDescriptor() override;

  std::int32_t TokenIndexCount() const { return tihdTokenIndexes.Count(); }
  TnxBaseTokenIndexDescriptor* tihdGetTokenIndex(std::int32_t aIndex) const;
  const nxString& tihdGetTokenIndexName(std::int32_t aIndex) const { return tihdTokenIndexes.Name(aIndex); }
  std::int32_t IndexOf(const TnxDictionaryItem* aItem) const { return tihdTokenIndexes.IndexOf(aItem); }

  // An empty name becomes "Default"; aClass nil: the bit-array token index.
  TnxBaseTokenIndexDescriptor* AddTokenIndex(const nxString& aName, const platform::ClassInfo* aClass = nullptr);
  void RemoveTokenIndex(TnxBaseTokenIndexDescriptor* aDescriptor);
  void RemoveTokenIndex(const nxString& aName);
  void RemoveTokenIndex(std::int32_t aIndex);
  virtual void ClearMembers();

  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  NX_FT_RAISE_DECL()

 protected:
  void beforeDestruction() override;

 private:
  TnxFulltextMemberList tihdTokenIndexes;
};

class TnxBaseBitArrayStorageHandlerDescriptor : public TnxBaseFulltextIndexDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseFulltextIndexDictionaryItem::TnxBaseFulltextIndexDictionaryItem;
  static TnxClassList& GetList();
  NX_FT_RAISE_DECL()
};

// Its check gives the full-text descriptor the default BLOB descriptor.
class TnxSimpleBitArrayStorageHandlerDescriptor : public TnxBaseBitArrayStorageHandlerDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseBitArrayStorageHandlerDescriptor::TnxBaseBitArrayStorageHandlerDescriptor;
  void CheckValid(bool aForBuild) override;
  NX_FT_RAISE_DECL()
};

// Its B*-trees live in the full-text descriptor's token indices list under
// "<full-text index>$<Name>" and "<full-text index>$<Name>$Reverse".
class TnxBitArrayTokenIndexDescriptor : public TnxBaseTokenIndexDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseTokenIndexDescriptor::TnxBaseTokenIndexDescriptor;
  ~TnxBitArrayTokenIndexDescriptor() override;

  TnxBaseBitArrayStorageHandlerDescriptor* BitArrayStorageHandler() const { return batidBitArrayStorageHandler; }
  std::int32_t MaxTokenSize() const { return batidMaxTokenSize; }
  // Clamped to 1 .. 1024.
  void SetMaxTokenSize(std::int32_t aValue);
  bool PerFieldIndex() const { return batidPerFieldIndex; }
  void SetPerFieldIndex(bool aValue);
  bool PerLocationIndex() const { return batidPerLocationIndex; }
  void SetPerLocationIndex(bool aValue);
  bool SegmentIndex() const { return batidSegmentIndex; }
  void SetSegmentIndex(bool aValue);

  nxString IndexName() const;
  nxString ReverseIndexName() const { return IndexName() + u"$Reverse"; }
  // Nil when absent.
  TnxIndexDescriptor* IndexDescriptor() const;
  TnxIndexDescriptor* ReverseIndexDescriptor() const;
  // Class arguments nil: TnxBitArrayTokenKeyDescriptor and the list's default.
  TnxIndexDescriptor* AddIndex(std::int32_t aFileNumber, const platform::ClassInfo* aKeyClass = nullptr,
                               const platform::ClassInfo* aIndexClass = nullptr);
  void RemoveIndex();
  TnxIndexDescriptor* AddReverseIndex(std::int32_t aFileNumber, const platform::ClassInfo* aKeyClass = nullptr,
                                      const platform::ClassInfo* aIndexClass = nullptr);
  void RemoveReverseIndex();
  // aHandlerClass nil: TnxSimpleBitArrayStorageHandlerDescriptor.
  TnxBaseBitArrayStorageHandlerDescriptor* AddBitArrayStorageHandler(
      const platform::ClassInfo* aHandlerClass = nullptr);
  void RemoveBitArrayStorageHandler();

  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  NX_FT_RAISE_DECL()

 protected:
  void beforeDestruction() override;

 private:
  TnxIndexDescriptor* FindIndex(const nxString& aName) const;
  void RemoveNamedIndex(const nxString& aName) noexcept;
  TnxIndexDescriptor* CreateIndex(const nxString& aName, std::int32_t aFileNumber,
                                  const platform::ClassInfo* aKeyClass, const platform::ClassInfo* aIndexClass);
  void RemoveIndexes() noexcept;

  TnxBaseBitArrayStorageHandlerDescriptor* batidBitArrayStorageHandler = nullptr;  // owned
  std::int32_t batidMaxTokenSize = 20;
  bool batidPerFieldIndex = false;
  bool batidPerLocationIndex = true;
  bool batidSegmentIndex = false;
};

class TnxMainIndexTokenIndexDescriptor : public TnxBaseTokenIndexDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxMainIndexTokenIndexDescriptor(TnxPersistent* aParent);
  ~TnxMainIndexTokenIndexDescriptor() override;

  std::int32_t MainIndexNumber() const { return mitidMainIndexNumber; }
  void SetMainIndexNumber(std::int32_t aValue);
  bool IgnoreCase() const { return mitidIgnoreCase; }
  void SetIgnoreCase(bool aValue);
  // Validates the number first.
  TnxIndexDescriptor* MainIndex();

  void HandleIndexChange(bool aBefore, std::int32_t aOld, std::int32_t aNew) override;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  NX_FT_RAISE_DECL()

 protected:
  void beforeDestruction() override;

 private:
  // The main index at aNumber, nil without a main indices list.
  TnxIndexDescriptor* ValidatedIndex(std::int32_t aNumber);
  void Unsubscribe() noexcept;
  std::int32_t mitidMainIndexNumber = -1;
  bool mitidIgnoreCase = true;
  TnxMainIndicesDescriptor* mitidSubscribedTo = nullptr;
};

// ---------------------------------------------------------------------------
// Token keys and the token indices list

// Key of a bit-array token index's B*-tree: 2 x MaxTokenSize + 4 bytes, 2
// more with PerFieldIndex. No range check here: the key engine refuses a
// negative size (15494).
class TnxBitArrayTokenKeyDescriptor : public TnxBaseKeyDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseKeyDescriptor::TnxBaseKeyDescriptor;
  std::int32_t MaxTokenSize() const { return batkdMaxTokenSize; }
  void SetMaxTokenSize(std::int32_t aValue);
  bool PerFieldIndex() const { return batkdPerFieldIndex; }
  void SetPerFieldIndex(bool aValue);
  bool Reverse() const { return batkdReverse; }
  void SetReverse(bool aValue);
  std::uint32_t Locale() const { return batkdLocale; }
  void SetLocale(std::uint32_t aValue);
  std::uint32_t Flags() const { return batkdFlags; }
  void SetFlags(std::uint32_t aValue);

  // A size no key can have answers UINT32_MAX.
  std::uint32_t KeyLen() override;
  bool CanContainNulls() override { return false; }
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 private:
  std::int32_t batkdMaxTokenSize = 20;
  bool batkdPerFieldIndex = false;
  bool batkdReverse = false;
  std::uint32_t batkdLocale = 0;
  std::uint32_t batkdFlags = 0;
};

// Key of a main index serving a main-index token index: 2 x MaxTokenSize + 2
// bytes, 4 more with IncludeLocation. Streamed as version 1, or 2 with the
// location (12039 for a client below 20700).
class TnxMainIndexTokenKeyDescriptor : public TnxBaseKeyDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseKeyDescriptor::TnxBaseKeyDescriptor;
  std::int32_t MaxTokenSize() const { return mitkdMaxTokenSize; }
  void SetMaxTokenSize(std::int32_t aValue);
  bool IncludeLocation() const { return mitkdIncludeLocation; }
  void SetIncludeLocation(bool aValue);
  std::uint32_t Locale() const { return mitkdLocale; }
  void SetLocale(std::uint32_t aValue);
  std::uint32_t Flags() const { return mitkdFlags; }
  void SetFlags(std::uint32_t aValue);

  std::uint32_t KeyLen() override;
  bool CanContainNulls() override { return false; }
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 private:
  std::int32_t mitkdMaxTokenSize = 20;
  bool mitkdIncludeLocation = false;
  std::uint32_t mitkdLocale = 0;
  std::uint32_t mitkdFlags = 0;
};

// May be empty (all its token indexes gone), unlike the table's indices.
class TnxTokenIndicesDescriptor : public TnxBaseIndicesDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseIndicesDescriptor::TnxBaseIndicesDescriptor;
  void CheckValid(bool aForBuild) override;

 protected:
  [[noreturn]] void Raise(TnxResult aCode) const override;
  [[noreturn]] void Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const override;
};

// ---------------------------------------------------------------------------
// Full-text indexes and the full-text descriptor

class TnxFulltextIndexDescriptor : public TnxBaseFulltextDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  // 10068 for a name that is no identifier; a negative number takes the
  // default location index; an invalid one: 10004.
  TnxFulltextIndexDescriptor(TnxPersistent* aParent, std::int32_t aLocationIndexNumber, const nxString& aName);
  ~TnxFulltextIndexDescriptor() override;
  static TnxClassList& GetList();

  const nxString& Name() const { return fidName; }
  std::int32_t LocationIndexNumber() const { return fidLocationIndexNumber; }
  void SetLocationIndexNumber(std::int32_t aValue);
  // The main index of the location index number (10004 when not valid).
  TnxIndexDescriptor* LocationIndex();
  // The default location index of the related main indices; -1 when none.
  std::int32_t DefaultLocationIndex();

  TnxTokenExtractorHubDescriptor* TokenExtractorHub() const { return fidTokenExtractorHub; }
  TnxTokenFilterHubDescriptor* TokenFilterHub() const { return fidTokenFilterHub; }
  TnxTokenIndexHubDescriptor* TokenIndexHub() const { return fidTokenIndexHub; }
  std::int32_t TokenExtractorCount() const;
  std::int32_t TokenFilterCount() const;
  std::int32_t TokenIndexCount() const;
  // -1: the hub itself.
  TnxBaseTokenExtractorDescriptor* fidGetTokenExtractor(std::int32_t aIndex) const;
  TnxBaseTokenFilterDescriptor* fidGetTokenFilter(std::int32_t aIndex) const;
  TnxBaseTokenIndexDescriptor* fidGetTokenIndex(std::int32_t aIndex) const;
  const nxString& fidGetTokenExtractorName(std::int32_t aIndex) const;
  const nxString& fidGetTokenFilterName(std::int32_t aIndex) const;
  const nxString& fidGetTokenIndexName(std::int32_t aIndex) const;

  TnxBaseTokenExtractorDescriptor* AddTokenExtractor(const nxString& aName,
                                                     const platform::ClassInfo* aClass = nullptr);
  TnxBaseTokenExtractorDescriptor* AddFieldTokenExtractor(std::int32_t aFieldNumber, const nxString& aName = {},
                                                          const platform::ClassInfo* aClass = nullptr);
  TnxTokenExtractorHubDescriptor* AddTokenExtractorHub(const nxString& aName,
                                                       const platform::ClassInfo* aClass = nullptr);
  void RemoveTokenExtractor(TnxBaseTokenExtractorDescriptor* aDescriptor);
  void RemoveTokenExtractor(const nxString& aName);
  void RemoveTokenExtractor(std::int32_t aIndex);
  void ClearTokenExtractor();
  TnxBaseTokenFilterDescriptor* AddTokenFilter(const nxString& aName, const platform::ClassInfo* aClass = nullptr);
  void RemoveTokenFilter(TnxBaseTokenFilterDescriptor* aDescriptor);
  void RemoveTokenFilter(const nxString& aName);
  void RemoveTokenFilter(std::int32_t aIndex);
  void ClearTokenFilter();
  TnxBaseTokenIndexDescriptor* AddTokenIndex(const nxString& aName, const platform::ClassInfo* aClass = nullptr);
  void RemoveTokenIndex(TnxBaseTokenIndexDescriptor* aDescriptor);
  void RemoveTokenIndex(const nxString& aName);
  void RemoveTokenIndex(std::int32_t aIndex);
  void ClearTokenIndex();

  void HandleIndexChange(bool aBefore, std::int32_t aOld, std::int32_t aNew) override;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  NX_FT_RAISE_DECL()

 protected:
  void beforeDestruction() override;

 private:
  void ValidateLocationIndex(std::int32_t aNumber);
  void FreeParts() noexcept;

  nxString fidName;
  std::int32_t fidLocationIndexNumber = -1;
  TnxTokenExtractorHubDescriptor* fidTokenExtractorHub = nullptr;  // owned
  TnxTokenFilterHubDescriptor* fidTokenFilterHub = nullptr;        // owned
  TnxTokenIndexHubDescriptor* fidTokenIndexHub = nullptr;          // owned
  TnxMainIndicesDescriptor* fidSubscribedTo = nullptr;
};

class TnxFulltextDescriptor : public TnxBaseCustomDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseCustomDescriptor::TnxBaseCustomDescriptor;
  ~TnxFulltextDescriptor() override;

  std::int32_t FulltextIndexCount() const { return static_cast<std::int32_t>(ftdFulltextIndices.size()); }
  TnxFulltextIndexDescriptor* FulltextIndex(std::int32_t aIndex) const {
    return ftdFulltextIndices.at(static_cast<std::size_t>(aIndex));
  }
  TnxBaseBlobDescriptor* BlobDescriptor() const { return ftdBlobDescriptor; }
  TnxTokenIndicesDescriptor* IndicesDescriptor() const { return ftdIndicesDescriptor; }
  TnxTokenIndicesDescriptor* ForceIndicesDescriptor();

  // An empty name becomes "Default"; a name in use: 10009; aClass nil:
  // TnxFulltextIndexDescriptor; a negative location: the default one.
  TnxFulltextIndexDescriptor* AddFulltextIndex(const nxString& aName, const platform::ClassInfo* aClass = nullptr,
                                               std::int32_t aLocationIndexNumber = -1);
  void RemoveFulltextIndex(TnxFulltextIndexDescriptor* aDescriptor);
  void RemoveFulltextIndex(std::int32_t aIndex);
  void RemoveFulltextIndex(const nxString& aName);
  // -1 when absent.
  std::int32_t GetFulltextIndexFromName(const nxString& aName) const;
  // aBlobClass nil: TnxHeapBlobDescriptor, header section "Fulltext$Blob".
  TnxBaseBlobDescriptor* AddBlobDescriptor(const platform::ClassInfo* aBlobClass = nullptr);
  void RemoveBlobDescriptor();
  // aIndicesClass nil: TnxTokenIndicesDescriptor, header section "Fulltext$Indices".
  TnxTokenIndicesDescriptor* AddIndicesDescriptor(const platform::ClassInfo* aIndicesClass = nullptr);
  void RemoveIndicesDescriptor();

  bool FindRelatedDescriptorOfType(const platform::ClassInfo& aType, TnxDictionaryItem*& aDescriptor,
                                   TnxDictionaryItem* aFrom) override;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  void beforeDestruction() override;

 private:
  void FreeParts() noexcept;
  std::vector<TnxFulltextIndexDescriptor*> ftdFulltextIndices;  // owned
  TnxBaseBlobDescriptor* ftdBlobDescriptor = nullptr;           // owned
  TnxTokenIndicesDescriptor* ftdIndicesDescriptor = nullptr;    // owned
};

// The "Fulltext" custom descriptor of a table level checked-cast to aClass
// (nil: TnxFulltextDescriptor; another class: invalid cast); nil when the
// table has none.
TnxFulltextDescriptor* nxFindFulltextDescriptor(TnxBaseTableDescriptor* aTable,
                                                const platform::ClassInfo* aClass = nullptr);

#undef NX_FT_RAISE_DECL

// Entries of the dictionary's start-up table.
void nxsdDataDictionaryFulltextRegister();
void nxsdDataDictionaryFulltextUnregister();
