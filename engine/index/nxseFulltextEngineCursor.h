// Full-text cursor engines: what a cursor does when a record of a table with
// a full-text descriptor is inserted, changed or deleted. Every cursor builds
// from the table-side tree (nxseFulltextEngineTable.h) a tree of its own:
// per full-text index an old and a new token pipeline (extractors that take
// the text of fields, filters that cut it at separators and normalise it)
// and the token indices, which collect the distinct words of the old and the
// new record, work out which words went and which came, and update their
// storage (bit arrays under a B*-tree of tokens, or keys of a main index).
//
// Cursor engines are created by name: the table engine's class name with
// "TableEngine" replaced by "CursorEngine" in the family's registry; none
// raises the family's exception, 15503 'Unknown %s engine: "%s"'.
//
// Tokens are reference-counted (InxToken); a filter that passes a token
// unchanged hands on the same object, one that changes it makes a new one.
// Every consumer resets a token source before it reads it, so one source
// can be read by several token indices in turn.
//
// Order: the full-text indices of a table are updated last to first, the
// token indices of one full-text index first to last. Every inconsistency
// between a record and the stored index raises 9729 "Key violation.".
//
// Record location (bit-array token indices): the 32-bit value in the first
// key field of the full-text index's location index; segment = location shr
// 19, bit = location and $7FFFF; segment $FFFF holds the segment index.
//
// Ownership: each engine owns its children, its filter hubs and its key
// buffers and index paths; tokens live as long as a reference is held; the
// unique token containers live for one update. Thread safety: a cursor-side
// tree belongs to one cursor and runs on the thread of its operation; the
// table-side tree it reads is shared and never changes.
//
// Implemented in nxseFulltextEngineCursor.cpp (roots, tokens, the unique
// container, start-up), nxseFulltextEngineCursorTokens.cpp (extractors and
// filters) and nxseFulltextEngineCursorIndices.cpp (token indices).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "nxllOwners.h"
#include "nxllWideStringCategories.h"
#include "nxllWideStringList.h"
#include "nxsdKeyEngineToken.h"
#include "nxsdServerEngine.h"
#include "nxseFulltextEngineTable.h"

class TnxFulltextCursorEngine;
class TnxFulltextIndexCursorEngine;
class TnxTokenExtractorHubCursorEngine;
class TnxTokenFilterHubCursorEngine;
class TnxTokenIndexHubCursorEngine;
class TnxBaseTokenExtractorCursorEngine;
class TnxBaseTokenFilterCursorEngine;
class TnxBaseTokenIndexCursorEngine;

NX_DECLARE_EXCEPTION(EnxFulltextCursorEngineException, EnxBaseFulltextCursorEngineException)
NX_DECLARE_EXCEPTION(EnxFulltextIndexCursorEngineException, EnxBaseRegisterableEngineException)
NX_DECLARE_EXCEPTION(EnxBaseTokenSourceCursorEngineException, EnxBaseRegisterableEngineException)
NX_DECLARE_EXCEPTION(EnxBaseTokenExtractorCursorEngineException, EnxBaseTokenSourceCursorEngineException)
NX_DECLARE_EXCEPTION(EnxBaseTokenFilterCursorEngineException, EnxBaseTokenSourceCursorEngineException)
NX_DECLARE_EXCEPTION(EnxBaseTokenIndexCursorEngineException, EnxBaseRegisterableEngineException)
NX_DECLARE_EXCEPTION(EnxBitArrayTokenIndexCursorEngineException, EnxBaseTokenIndexCursorEngineException)
NX_DECLARE_EXCEPTION(EnxMainIndexTokenIndexCursorEngineException, EnxBaseTokenIndexCursorEngineException)

// Segment number of the entries of the segment index.
inline constexpr std::uint16_t nxFulltextSegmentIndexSegment = 0xFFFF;

// ---------------------------------------------------------------------------
// Tokens

class InxToken : public InxInterface {
 public:
  static constexpr platform::Guid IID{0x3F0B6C52, 0x8D1E, 0x4A7B, {0x9E, 0x25, 0x61, 0xC4, 0x0A, 0x7D, 0xB3, 0x18}};
  // The text: UTF-16 units, no terminator.
  virtual const TnxWideString& GetToken() = 0;
  // Distance from the previous token.
  virtual std::int32_t GetDistance() = 0;
  // Number of the extractor the text came from.
  virtual std::int16_t GetField() = 0;

 protected:
  ~InxToken() = default;
};

using TnxTokenPtr = TnxIntfPtr<InxToken>;

class TnxToken : public TnxInterfacedObject, public InxToken {
  PL_CLASS_INFO_DECL()
 public:
  TnxToken(TnxWideString aToken, std::int32_t aDistance, std::int16_t aField)
      : tknToken(std::move(aToken)), tknDistance(aDistance), tknField(aField) {}
  NX_INTERFACED_OBJECT_BASICS()
  const TnxWideString& GetToken() override { return tknToken; }
  std::int32_t GetDistance() override { return tknDistance; }
  std::int16_t GetField() override { return tknField; }

  // A new token behind a reference.
  static TnxTokenPtr Make(TnxWideString aToken, std::int32_t aDistance, std::int16_t aField);

 protected:
  const TnxInterfaceEntry* interfaceTable() const override;

 private:
  const TnxWideString tknToken;
  const std::int32_t tknDistance;
  const std::int16_t tknField;
};

// ---------------------------------------------------------------------------
// Token sources

class TnxBaseTokenSourceCursorEngine : public TnxBaseRegisterableEngine {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxBaseTokenSourceCursorEngine(TnxFulltextIndexCursorEngine* aIndex)
      : btsceParentFulltextIndexCursorEngine(aIndex) {}
  // Starts over; a consumer calls it before reading.
  virtual void Reset() {}
  // The next token; empty when there are no more.
  virtual TnxTokenPtr NextToken() { return {}; }

  TnxFulltextIndexCursorEngine* btsceParentFulltextIndexCursorEngine;
};

// Class-level virtual constructors of the cursor families.
struct TnxTokenExtractorCursorClassFuncs {
  TnxBaseTokenExtractorCursorEngine* (*create)(TnxFulltextIndexCursorEngine* aIndex,
                                               TnxTokenExtractorHubCursorEngine* aParent,
                                               TnxBaseTokenExtractorTableEngine* aTableEngine);
};
struct TnxTokenFilterCursorClassFuncs {
  TnxBaseTokenFilterCursorEngine* (*create)(TnxFulltextIndexCursorEngine* aIndex,
                                            TnxTokenFilterHubCursorEngine* aParent,
                                            TnxBaseTokenSourceCursorEngine* aTokenSource,
                                            TnxBaseTokenFilterTableEngine* aTableEngine);
};
struct TnxTokenIndexCursorClassFuncs {
  TnxBaseTokenIndexCursorEngine* (*create)(TnxFulltextIndexCursorEngine* aIndex,
                                           TnxTokenIndexHubCursorEngine* aParent,
                                           TnxBaseTokenIndexTableEngine* aTableEngine,
                                           TnxBaseTokenSourceCursorEngine* aTokenSourceOld,
                                           TnxBaseTokenSourceCursorEngine* aTokenSourceNew);
};
struct TnxFulltextIndexCursorClassFuncs {
  TnxFulltextIndexCursorEngine* (*create)(TnxFulltextCursorEngine* aParent,
                                          TnxFulltextIndexTableEngine* aTableEngine);
};

// ---------------------------------------------------------------------------
// Token extractors

class TnxBaseTokenExtractorCursorEngine : public TnxBaseTokenSourceCursorEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseTokenExtractorCursorEngine(TnxFulltextIndexCursorEngine* aIndex, TnxTokenExtractorHubCursorEngine* aParent,
                                    TnxBaseTokenExtractorTableEngine* aTableEngine);
  ~TnxBaseTokenExtractorCursorEngine() override;
  TnxBaseTokenExtractorCursorEngine(const TnxBaseTokenExtractorCursorEngine&) = delete;
  TnxBaseTokenExtractorCursorEngine& operator=(const TnxBaseTokenExtractorCursorEngine&) = delete;
  static TnxClassList& GetList();
  static TnxBaseTokenExtractorCursorEngine* CreateFor(TnxFulltextIndexCursorEngine* aIndex,
                                                      TnxTokenExtractorHubCursorEngine* aParent,
                                                      TnxBaseTokenExtractorTableEngine* aTableEngine);

  // Through the own filter hub when there is one.
  void Reset() override;
  TnxTokenPtr NextToken() override;
  // The record whose text the next reading takes; aReadOrg: BLOBs as they
  // were before the change.
  virtual void Initialize(PnxRecordBuffer aRecord, const TnxRecID& aRecID, bool aReadOrg) = 0;
  virtual void ResetInternal() = 0;
  virtual TnxTokenPtr NextTokenInternal() = 0;

  TnxTokenExtractorHubCursorEngine* bteceParent;
  TnxBaseTokenExtractorTableEngine* bteceTokenExtractorTableEngine;
  TnxBaseTokenSourceCursorEngine* bteceTokenFilterHubSource = nullptr;  // owned redirector
  TnxTokenFilterHubCursorEngine* bteceTokenFilterHub = nullptr;         // owned

 protected:
  // Construction step of the subclasses: the own filter hub, when the
  // table-side engine has one.
  void CreateOwnFilterHub();
};

// Reads an extractor's own tokens, for the filter hub over it.
class TnxTokenExtractorSourceRedirectorCursorEngine : public TnxBaseTokenSourceCursorEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxTokenExtractorSourceRedirectorCursorEngine(TnxFulltextIndexCursorEngine* aIndex,
                                                TnxBaseTokenExtractorCursorEngine* aParent)
      : TnxBaseTokenSourceCursorEngine(aIndex), tesrceParent(aParent) {}
  void Reset() override { tesrceParent->ResetInternal(); }
  TnxTokenPtr NextToken() override { return tesrceParent->NextTokenInternal(); }
  TnxBaseTokenExtractorCursorEngine* tesrceParent;
};

class TnxTokenExtractorHubCursorEngine : public TnxBaseTokenExtractorCursorEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxTokenExtractorHubCursorEngine(TnxFulltextIndexCursorEngine* aIndex, TnxTokenExtractorHubCursorEngine* aParent,
                                   TnxBaseTokenExtractorTableEngine* aTableEngine);
  ~TnxTokenExtractorHubCursorEngine() override;
  virtual void CreateChildEngines();
  void Initialize(PnxRecordBuffer aRecord, const TnxRecID& aRecID, bool aReadOrg) override;
  void ResetInternal() override;
  // Every token leaving the hub carries the position of its extractor.
  TnxTokenPtr NextTokenInternal() override;

  std::int32_t TokenExtractorCount() const { return static_cast<std::int32_t>(tehceTokenExtractors.size()); }
  TnxBaseTokenExtractorCursorEngine* tehceGetTokenExtractor(std::int32_t aIndex) const;

  TnxTokenExtractorHubTableEngine* tehceTokenExtractorHubTableEngine;
  std::vector<TnxBaseTokenExtractorCursorEngine*> tehceTokenExtractors;  // owned
  std::int32_t tehceCurrentExtractor = 0;
};

// The text of one field: string fields (code-page converted) and memo BLOBs
// read through the cursor. At most one token per record.
class TnxFieldTokenExtractorCursorEngine : public TnxBaseTokenExtractorCursorEngine {
  PL_CLASS_INFO_DECL()
 public:
  using FieldToToken = bool (TnxFieldTokenExtractorCursorEngine::*)(TnxWideString& aText);

  TnxFieldTokenExtractorCursorEngine(TnxFulltextIndexCursorEngine* aIndex, TnxTokenExtractorHubCursorEngine* aParent,
                                     TnxBaseTokenExtractorTableEngine* aTableEngine);
  void Initialize(PnxRecordBuffer aRecord, const TnxRecID& aRecID, bool aReadOrg) override;
  void ResetInternal() override { fteceUsed = false; }
  TnxTokenPtr NextTokenInternal() override;

  TnxFieldTokenExtractorTableEngine* fteceFieldTokenExtractorTableEngine;
  TnxFieldsDescriptor* fteceFieldsDescriptor;
  TnxFieldDescriptor* fteceField;
  std::int32_t fteceDistance = 0;
  std::int16_t fteceFieldNumber = 0;
  PnxRecordBuffer fteceRecord = nullptr;
  TnxRecID fteceRecID{0, 0};
  bool fteceReadOrg = false;
  bool fteceUsed = false;
  FieldToToken fteceFieldToToken = nullptr;
  std::uint16_t fteceCodepage = 0;

 private:
  bool BlobMemoToToken(TnxWideString& aText);
  bool BlobWideMemoToToken(TnxWideString& aText);
  bool ShortStringToToken(TnxWideString& aText);
  bool NullStringToToken(TnxWideString& aText);
  bool WideStringToToken(TnxWideString& aText);
  // The whole BLOB of the field; false when there is none or it cannot be read.
  bool ReadBlob(std::vector<std::uint8_t>& aBytes);
  TnxWideString Widen(const std::uint8_t* aBytes, std::size_t aCount, const char* aAction) const;
};

// ---------------------------------------------------------------------------
// Token filters

class TnxBaseTokenFilterCursorEngine : public TnxBaseTokenSourceCursorEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseTokenFilterCursorEngine(TnxFulltextIndexCursorEngine* aIndex, TnxTokenFilterHubCursorEngine* aParent,
                                 TnxBaseTokenSourceCursorEngine* aTokenSource,
                                 TnxBaseTokenFilterTableEngine* aTableEngine);
  static TnxClassList& GetList();
  static TnxBaseTokenFilterCursorEngine* CreateFor(TnxFulltextIndexCursorEngine* aIndex,
                                                   TnxTokenFilterHubCursorEngine* aParent,
                                                   TnxBaseTokenSourceCursorEngine* aTokenSource,
                                                   TnxBaseTokenFilterTableEngine* aTableEngine);
  void Reset() override;

  TnxTokenFilterHubCursorEngine* btfceParent;
  TnxBaseTokenFilterTableEngine* btfceTokenFilterTableEngine;
  TnxBaseTokenSourceCursorEngine* btfceTokenSource;
};

class TnxTokenFilterHubCursorEngine : public TnxBaseTokenFilterCursorEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxTokenFilterHubCursorEngine(TnxFulltextIndexCursorEngine* aIndex, TnxTokenFilterHubCursorEngine* aParent,
                                TnxBaseTokenSourceCursorEngine* aTokenSource,
                                TnxBaseTokenFilterTableEngine* aTableEngine);
  ~TnxTokenFilterHubCursorEngine() override;
  TnxTokenFilterHubCursorEngine(const TnxTokenFilterHubCursorEngine&) = delete;
  TnxTokenFilterHubCursorEngine& operator=(const TnxTokenFilterHubCursorEngine&) = delete;
  // The created engine as a hub; another table engine: invalid cast.
  static TnxTokenFilterHubCursorEngine* CreateHub(TnxFulltextIndexCursorEngine* aIndex,
                                                  TnxBaseTokenSourceCursorEngine* aTokenSource,
                                                  TnxTokenFilterHubTableEngine* aTableEngine);
  virtual void CreateChildEngines();
  void Reset() override { tfhceTokenSource->Reset(); }
  TnxTokenPtr NextToken() override { return tfhceTokenSource->NextToken(); }

  std::int32_t TokenFilterCount() const { return static_cast<std::int32_t>(tfhceTokenFilters.size()); }
  // -1: the hub itself.
  TnxBaseTokenSourceCursorEngine* tfhceGetTokenFilter(std::int32_t aIndex) const;

  TnxTokenFilterHubTableEngine* tfhceTokenFilterHubTableEngine;
  std::vector<TnxBaseTokenFilterCursorEngine*> tfhceTokenFilters;  // owned, in order
  TnxBaseTokenSourceCursorEngine* tfhceTokenSource;                // end of the chain
};

// Cuts tokens at separators: the first word of an input keeps its distance
// (raised to the separator distance when it begins with separators), every
// later word gets the larger of 1 and the separator distance. An input
// without any separator passes as the same token; one of separators only
// gives nothing.
class TnxBaseSeparatorTokenFilterCursorEngine : public TnxBaseTokenFilterCursorEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseSeparatorTokenFilterCursorEngine(TnxFulltextIndexCursorEngine* aIndex, TnxTokenFilterHubCursorEngine* aParent,
                                          TnxBaseTokenSourceCursorEngine* aTokenSource,
                                          TnxBaseTokenFilterTableEngine* aTableEngine);
  void Reset() override;
  TnxTokenPtr NextToken() override;
  virtual bool IsSeparator(char16_t aChar) = 0;

  TnxTokenPtr bstfceInputToken;
  std::size_t bstfceInputPos = 0;
  std::int32_t bstfceNextDistance = 0;
  std::int32_t bstfceSeparatorDistance;
};

class TnxWideCharSeparatorTokenFilterCursorEngine : public TnxBaseSeparatorTokenFilterCursorEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxWideCharSeparatorTokenFilterCursorEngine(TnxFulltextIndexCursorEngine* aIndex,
                                              TnxTokenFilterHubCursorEngine* aParent,
                                              TnxBaseTokenSourceCursorEngine* aTokenSource,
                                              TnxBaseTokenFilterTableEngine* aTableEngine);
  bool IsSeparator(char16_t aChar) override { return aChar == wcstfceSeparatorChar; }
  char16_t wcstfceSeparatorChar;
};

class TnxCategorySeparatorTokenFilterCursorEngine : public TnxBaseSeparatorTokenFilterCursorEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxCategorySeparatorTokenFilterCursorEngine(TnxFulltextIndexCursorEngine* aIndex,
                                              TnxTokenFilterHubCursorEngine* aParent,
                                              TnxBaseTokenSourceCursorEngine* aTokenSource,
                                              TnxBaseTokenFilterTableEngine* aTableEngine);
  bool IsSeparator(char16_t aChar) override { return nxWideCharInCategories(aChar, cstfceSeparatorCategories); }
  TnxCharacterCategories cstfceSeparatorCategories;
};

// Passes every token's text through a transformer made at construction.
class TnxTransformerTokenFilterCursorEngine : public TnxBaseTokenFilterCursorEngine {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseTokenFilterCursorEngine::TnxBaseTokenFilterCursorEngine;
  TnxTokenPtr NextToken() override;
  TnxWideStringTransformerPtr ttfceTransformer;
};

#define NX_FT_TRANSFORMER_FILTER(Cls, Base)                                                                   \
  class Cls : public Base {                                                                                   \
    PL_CLASS_INFO_DECL()                                                                                      \
   public:                                                                                                    \
    Cls(TnxFulltextIndexCursorEngine* aIndex, TnxTokenFilterHubCursorEngine* aParent,                        \
        TnxBaseTokenSourceCursorEngine* aTokenSource, TnxBaseTokenFilterTableEngine* aTableEngine);           \
  };
#define NX_FT_TRANSFORMER_BASE(Cls)                                  \
  class Cls : public TnxTransformerTokenFilterCursorEngine {         \
    PL_CLASS_INFO_DECL()                                             \
   public:                                                           \
    using TnxTransformerTokenFilterCursorEngine::TnxTransformerTokenFilterCursorEngine; \
  };
NX_FT_TRANSFORMER_BASE(TnxBaseLocaleMappingTokenFilterCursorEngine)
NX_FT_TRANSFORMER_BASE(TnxBaseFoldStringTokenFilterCursorEngine)
NX_FT_TRANSFORMER_FILTER(TnxLowercaseLocaleMappingTokenFilterCursorEngine, TnxBaseLocaleMappingTokenFilterCursorEngine)
NX_FT_TRANSFORMER_FILTER(TnxUppercaseLocaleMappingTokenFilterCursorEngine, TnxBaseLocaleMappingTokenFilterCursorEngine)
NX_FT_TRANSFORMER_FILTER(TnxCustomLocaleMappingTokenFilterCursorEngine, TnxBaseLocaleMappingTokenFilterCursorEngine)
NX_FT_TRANSFORMER_FILTER(TnxPreComposeFoldStringTokenFilterCursorEngine, TnxBaseFoldStringTokenFilterCursorEngine)
NX_FT_TRANSFORMER_FILTER(TnxDecomposeFoldStringTokenFilterCursorEngine, TnxBaseFoldStringTokenFilterCursorEngine)
NX_FT_TRANSFORMER_FILTER(TnxCustomFoldStringTokenFilterCursorEngine, TnxBaseFoldStringTokenFilterCursorEngine)
#undef NX_FT_TRANSFORMER_FILTER
#undef NX_FT_TRANSFORMER_BASE

// Replaces text by the descriptor's items, in order; a token that comes out
// unchanged is passed on as the same object.
class TnxStringReplaceTokenFilterCursorEngine : public TnxBaseTokenFilterCursorEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxStringReplaceTokenFilterCursorEngine(TnxFulltextIndexCursorEngine* aIndex, TnxTokenFilterHubCursorEngine* aParent,
                                          TnxBaseTokenSourceCursorEngine* aTokenSource,
                                          TnxBaseTokenFilterTableEngine* aTableEngine);
  TnxTokenPtr NextToken() override;
  std::vector<TnxStringReplaceTokenFilterItem> srtfceItems;
};

// ---------------------------------------------------------------------------
// The distinct tokens of one record

// Per field and/or combined, the distinct transformed token texts of one
// record in comparer order.
class TnxUniqueTokenContainer : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  TnxUniqueTokenContainer(TnxBaseTokenSourceCursorEngine* aTokenSource, TnxWideStringComparerPtr aComparer,
                          TnxWideStringTransformerPtr aTransformer, bool aCombined, bool aPerField);
  ~TnxUniqueTokenContainer() override;
  TnxUniqueTokenContainer(const TnxUniqueTokenContainer&) = delete;
  TnxUniqueTokenContainer& operator=(const TnxUniqueTokenContainer&) = delete;

  // Nil when the container keeps none.
  TnxWideStringList* Combined() const { return utcCombined; }
  // Nil for a field no token came from.
  TnxWideStringList* PerField(std::int32_t aField) const;
  // One more than the highest field a per-field list exists for.
  std::int32_t PerFieldCount() const { return static_cast<std::int32_t>(utcPerField.size()); }

  TnxWideStringList* utcCombined = nullptr;          // owned
  std::vector<TnxWideStringList*> utcPerField;       // owned entries
  TnxWideStringComparerPtr utcComparer;
  TnxWideStringTransformerPtr utcTransformer;

 private:
  TnxWideStringList* NewList();
  void FreeLists() noexcept;
};

// ---------------------------------------------------------------------------
// Token indices

// The record a token belongs to: its location and its record id.
struct TnxTokenLocation {
  std::uint32_t tlLocation = 0;
  TnxRecID tlRecID{0, 0};
};

class TnxBaseTokenIndexCursorEngine : public TnxBaseRegisterableEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseTokenIndexCursorEngine(TnxFulltextIndexCursorEngine* aIndex, TnxTokenIndexHubCursorEngine* aParent,
                                TnxBaseTokenIndexTableEngine* aTableEngine,
                                TnxBaseTokenSourceCursorEngine* aTokenSourceOld,
                                TnxBaseTokenSourceCursorEngine* aTokenSourceNew);
  ~TnxBaseTokenIndexCursorEngine() override;
  TnxBaseTokenIndexCursorEngine(const TnxBaseTokenIndexCursorEngine&) = delete;
  TnxBaseTokenIndexCursorEngine& operator=(const TnxBaseTokenIndexCursorEngine&) = delete;
  static TnxClassList& GetList();
  static TnxBaseTokenIndexCursorEngine* CreateFor(TnxFulltextIndexCursorEngine* aIndex,
                                                  TnxTokenIndexHubCursorEngine* aParent,
                                                  TnxBaseTokenIndexTableEngine* aTableEngine,
                                                  TnxBaseTokenSourceCursorEngine* aTokenSourceOld,
                                                  TnxBaseTokenSourceCursorEngine* aTokenSourceNew);

  // Old record nil: insert; new record nil: delete. The base answers 12289
  // with "bticeUpdateIndex is not supported by <class>" pending.
  virtual TnxResult bticeUpdateIndex(TnxBaseTransaction* aTrans, PnxRecordBuffer aOldRecord,
                                     const TnxRecID& aOldRecID, PnxRecordBuffer aNewRecord,
                                     const TnxRecID& aNewRecID);

  // -1: the hub; nil and 0 without own filters.
  TnxBaseTokenSourceCursorEngine* TokenFilterOld(std::int32_t aIndex) const;
  TnxBaseTokenSourceCursorEngine* TokenFilterNew(std::int32_t aIndex) const;
  std::int32_t TokenFilterOldCount() const;
  std::int32_t TokenFilterNewCount() const;

  TnxFulltextIndexCursorEngine* bticeParentFulltextIndexCursorEngine;
  TnxTokenIndexHubCursorEngine* bticeParentTokenIndexHubCursorEngine;
  TnxBaseTokenIndexTableEngine* bticeTokenIndexTableEngine;
  TnxTokenFilterHubCursorEngine* bticeTokenFilterHubOld = nullptr;  // owned
  TnxTokenFilterHubCursorEngine* bticeTokenFilterHubNew = nullptr;  // owned
  TnxBaseTokenSourceCursorEngine* bticeTokenSourceOld;
  TnxBaseTokenSourceCursorEngine* bticeTokenSourceNew;
};

class TnxTokenIndexHubCursorEngine : public TnxBaseTokenIndexCursorEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxTokenIndexHubCursorEngine(TnxFulltextIndexCursorEngine* aIndex, TnxTokenIndexHubCursorEngine* aParent,
                               TnxBaseTokenIndexTableEngine* aTableEngine,
                               TnxBaseTokenSourceCursorEngine* aTokenSourceOld,
                               TnxBaseTokenSourceCursorEngine* aTokenSourceNew);
  ~TnxTokenIndexHubCursorEngine() override;
  virtual void CreateChildEngines();
  // Every child in order; the first non-zero result stops.
  TnxResult bticeUpdateIndex(TnxBaseTransaction* aTrans, PnxRecordBuffer aOldRecord, const TnxRecID& aOldRecID,
                             PnxRecordBuffer aNewRecord, const TnxRecID& aNewRecID) override;

  std::int32_t TokenIndexCount() const { return static_cast<std::int32_t>(tihceTokenIndexs.size()); }
  TnxBaseTokenIndexCursorEngine* tihceGetTokenIndex(std::int32_t aIndex) const;

  TnxTokenIndexHubTableEngine* tihceTokenIndexHubTableEngine;
  std::vector<TnxBaseTokenIndexCursorEngine*> tihceTokenIndexs;  // owned
};

// Works out the removed and added words of a change; the subclasses store
// one word.
class TnxBaseProcessingTokenIndexCursorEngine : public TnxBaseTokenIndexCursorEngine {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseTokenIndexCursorEngine::TnxBaseTokenIndexCursorEngine;

  virtual std::int32_t GetCompareFlags() { return 0; }
  virtual std::int32_t GetMaxTokenSize() = 0;
  virtual void ProcessToken(TnxBaseTransaction* aTrans, const TnxWideString& aToken, bool aAdd,
                            const TnxTokenLocation& aLocation, std::int16_t aField) = 0;

  void ProcessList(TnxBaseTransaction* aTrans, const TnxWideStringList* aList, bool aAdd,
                   const TnxTokenLocation& aLocation, std::int16_t aField);
  void ProcessAllTokens(TnxBaseTransaction* aTrans, const TnxUniqueTokenContainer& aContainer, bool aAdd,
                        const TnxTokenLocation& aLocation);
  // Removes the words only in aOld, adds those only in aNew (comparer order).
  void ProcessListChanges(TnxBaseTransaction* aTrans, const TnxWideStringList* aOld,
                          const TnxTokenLocation& aLocation, std::int16_t aField, const TnxWideStringList* aNew);
  void ProcessTokenChanges(TnxBaseTransaction* aTrans, const TnxUniqueTokenContainer& aOld,
                           const TnxTokenLocation& aLocation, const TnxUniqueTokenContainer& aNew);

  TnxWideStringComparerPtr bpticeComparer;
  TnxWideStringTransformerPtr bpticeTransformer;

 protected:
  // Construction step after the subclass has its key engines: the comparer
  // and transformer of the words.
  void SetupProcessing();
};

class TnxBitArrayTokenIndexCursorEngine : public TnxBaseProcessingTokenIndexCursorEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxBitArrayTokenIndexCursorEngine(TnxFulltextIndexCursorEngine* aIndex, TnxTokenIndexHubCursorEngine* aParent,
                                    TnxBaseTokenIndexTableEngine* aTableEngine,
                                    TnxBaseTokenSourceCursorEngine* aTokenSourceOld,
                                    TnxBaseTokenSourceCursorEngine* aTokenSourceNew);
  ~TnxBitArrayTokenIndexCursorEngine() override;

  std::int32_t GetMaxTokenSize() override;
  void ProcessToken(TnxBaseTransaction* aTrans, const TnxWideString& aToken, bool aAdd,
                    const TnxTokenLocation& aLocation, std::int16_t aField) override;
  // Always 0; failures raise.
  TnxResult bticeUpdateIndex(TnxBaseTransaction* aTrans, PnxRecordBuffer aOldRecord, const TnxRecID& aOldRecID,
                             PnxRecordBuffer aNewRecord, const TnxRecID& aNewRecID) override;

  TnxBitArrayTokenIndexTableEngine* baticeBitArrayTokenIndexTableEngine;
  TnxBaseBitArrayStorageHandlerTableEngine* baticeBitArrayStorageHandlerTableEngine = nullptr;
  TnxBaseIndexEngine* baticeIndexEngine = nullptr;
  TnxBaseIndexEngine* baticeReverseIndexEngine = nullptr;
  TnxBitArrayTokenKeyEngine* baticeKeyEngine = nullptr;
  TnxBitArrayTokenKeyEngine* baticeReverseKeyEngine = nullptr;
  bool baticePerFieldIndex;
  bool baticePerLocationIndex;
  bool baticeSegmentIndex;
  TnxFieldsDescriptor* baticeFieldsDescriptor = nullptr;
  std::int32_t baticeLocationField = -1;
  PnxKeyBuffer baticeKeyBuffer = nullptr;         // owned
  PnxKeyBuffer baticeReverseKeyBuffer = nullptr;  // owned
  TnxBaseIndexPath* baticeIndexPath = nullptr;         // owned
  TnxBaseIndexPath* baticeReverseIndexPath = nullptr;  // owned

 private:
  void ProcessSegment(TnxBaseTransaction* aTrans, const TnxWideString& aToken, bool aAdd, std::uint16_t aSegment,
                      std::uint32_t aBit, std::int16_t aField);
  void FreeParts() noexcept;
};

class TnxMainIndexTokenIndexCursorEngine : public TnxBaseProcessingTokenIndexCursorEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxMainIndexTokenIndexCursorEngine(TnxFulltextIndexCursorEngine* aIndex, TnxTokenIndexHubCursorEngine* aParent,
                                     TnxBaseTokenIndexTableEngine* aTableEngine,
                                     TnxBaseTokenSourceCursorEngine* aTokenSourceOld,
                                     TnxBaseTokenSourceCursorEngine* aTokenSourceNew);
  ~TnxMainIndexTokenIndexCursorEngine() override;

  // 1 (ignore case) with the descriptor's IgnoreCase.
  std::int32_t GetCompareFlags() override;
  std::int32_t GetMaxTokenSize() override;
  void ProcessToken(TnxBaseTransaction* aTrans, const TnxWideString& aToken, bool aAdd,
                    const TnxTokenLocation& aLocation, std::int16_t aField) override;
  TnxResult bticeUpdateIndex(TnxBaseTransaction* aTrans, PnxRecordBuffer aOldRecord, const TnxRecID& aOldRecID,
                             PnxRecordBuffer aNewRecord, const TnxRecID& aNewRecID) override;

  TnxMainIndexTokenIndexTableEngine* miticeMainIndexTokenIndexTableEngine;
  TnxEngineNotify miticeNotify;
  TnxBaseIndexEngine* miticeIndexEngine;
  TnxMainIndexTokenKeyEngine* miticeKeyEngine;
  PnxKeyBuffer miticeKeyBuffer = nullptr;     // owned
  TnxBaseIndexPath* miticeIndexPath = nullptr;  // owned
  TnxFieldsDescriptor* miticeFieldsDescriptor = nullptr;
  std::int32_t miticeLocationField = -1;

 private:
  void FreeParts() noexcept;
};

// ---------------------------------------------------------------------------
// Roots

class TnxFulltextIndexCursorEngine : public TnxBaseRegisterableEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxFulltextIndexCursorEngine(TnxFulltextCursorEngine* aParent, TnxFulltextIndexTableEngine* aTableEngine);
  ~TnxFulltextIndexCursorEngine() override;
  TnxFulltextIndexCursorEngine(const TnxFulltextIndexCursorEngine&) = delete;
  TnxFulltextIndexCursorEngine& operator=(const TnxFulltextIndexCursorEngine&) = delete;
  static TnxClassList& GetList();
  static TnxFulltextIndexCursorEngine* CreateFor(TnxFulltextCursorEngine* aParent,
                                                 TnxFulltextIndexTableEngine* aTableEngine);

  virtual TnxResult ficeUpdateIndex(TnxBaseTransaction* aTrans, PnxRecordBuffer aOldRecord, const TnxRecID& aOldRecID,
                                    PnxRecordBuffer aNewRecord, const TnxRecID& aNewRecID);

  // -1: the hub itself.
  TnxBaseTokenExtractorCursorEngine* ficeGetTokenExtractorOld(std::int32_t aIndex) const;
  TnxBaseTokenExtractorCursorEngine* ficeGetTokenExtractorNew(std::int32_t aIndex) const;
  TnxBaseTokenSourceCursorEngine* ficeGetTokenFilterOld(std::int32_t aIndex) const;
  TnxBaseTokenSourceCursorEngine* ficeGetTokenFilterNew(std::int32_t aIndex) const;
  TnxBaseTokenIndexCursorEngine* ficeGetTokenIndex(std::int32_t aIndex) const;
  std::int32_t TokenExtractorCount() const;
  std::int32_t TokenFilterCount() const;
  std::int32_t TokenIndexCount() const;

  TnxFulltextCursorEngine* ficeParentFulltextCursorEngine;
  TnxFulltextIndexTableEngine* ficeFulltextIndexTableEngine;
  TnxTokenExtractorHubCursorEngine* ficeTokenExtractorHubOld = nullptr;  // owned
  TnxTokenExtractorHubCursorEngine* ficeTokenExtractorHubNew = nullptr;  // owned
  TnxTokenFilterHubCursorEngine* ficeTokenFilterHubOld = nullptr;        // owned
  TnxTokenFilterHubCursorEngine* ficeTokenFilterHubNew = nullptr;        // owned
  TnxTokenIndexHubCursorEngine* ficeTokenIndexHub = nullptr;             // owned

 private:
  void FreeParts() noexcept;
};

class TnxFulltextCursorEngine : public TnxBaseFulltextCursorEngine {
  PL_CLASS_INFO_DECL()
 public:
  // aTableEngine must be a TnxFulltextTableEngine. aCursor may be nil when
  // no field needs a BLOB read (the records then carry no record id).
  TnxFulltextCursorEngine(TnxBaseFulltextTableEngine* aTableEngine, TnxAbstractCursor* aCursor);
  ~TnxFulltextCursorEngine() override;
  TnxFulltextCursorEngine(const TnxFulltextCursorEngine&) = delete;
  TnxFulltextCursorEngine& operator=(const TnxFulltextCursorEngine&) = delete;

  virtual void CreateChildEngines();
  // Insert: old record nil and old reference 0; delete: new record nil and
  // new reference 0; change: both. The full-text indices last to first; the
  // first non-zero result stops. The update helpers are freed in every case.
  TnxResult UpdateIndex(TnxBaseTransaction* aTrans, PnxRecordBuffer aOldRecord, TnxRefNr aOldRefNr,
                        PnxRecordBuffer aNewRecord, TnxRefNr aNewRefNr) override;

  // Named objects a token index may keep during one UpdateIndex; nil when
  // none. Setting nil removes and frees; another object replaces (freeing
  // the old one) or adds.
  platform::TObject* ftceGetTempUpdateHelper(const nxString& aName) const;
  void ftceSetTempUpdateHelper(const nxString& aName, platform::TObject* aObject);

  std::int32_t FulltextIndexCount() const { return static_cast<std::int32_t>(ftceFulltextIndices.size()); }
  TnxFulltextIndexCursorEngine* FulltextIndex(std::int32_t aIndex) const {
    return ftceFulltextIndices.at(static_cast<std::size_t>(aIndex));
  }

  TnxFulltextTableEngine* ftceFulltextTableEngine;
  TnxAbstractCursor* ftceFulltextCursor;
  std::vector<TnxFulltextIndexCursorEngine*> ftceFulltextIndices;  // owned
  std::unique_ptr<std::map<nxString, platform::TObject*>> ftceUpdateHelpers;  // owns its objects

 private:
  void FreeUpdateHelpers() noexcept;
};

// Module start-up: the 17 cursor engine classes under their class names;
// finalisation unregisters the full-text cursor engine and frees the four
// family lists.
void nxseFulltextEngineCursorInitialize();
void nxseFulltextEngineCursorFinalize();
