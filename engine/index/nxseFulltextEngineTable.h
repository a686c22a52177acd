// Full-text table engines: for a table whose dictionary carries a full-text
// descriptor, a tree of table-side engines that mirrors the descriptor tree
// (full-text indices, each with a token extractor hub, a token filter hub and
// a token index hub and their children), the full-text's own indices engine
// ("Fulltext$Indices") and BLOB engine, and the bit-array storage handler
// that keeps one bit array per token in a BLOB of that engine.
//
// Every engine here is created by name: its descriptor's class name with
// "Descriptor" replaced by "TableEngine" (case ignored) in its family's
// registry; none raises the family's exception, 15503 'Unknown %s engine:
// "%s"' with the family word ("FulltextIndex", "TokenExtractor",
// "TokenFilter", "TokenIndex", "BitArrayStorageHandler").
//
// Bit array (the contents of one storage BLOB), little-endian:
//   0  u32  count of bits set
//   4  n    bitmap; bit b is bit (b and 7) of byte 4 + (b shr 3)
// The BLOB is as long as its highest bit ever set needs: it grows when a
// higher bit is set, never shrinks, and is deleted when its count reaches 0.
// Every inconsistency (a bit set twice, a clear bit cleared, a bit outside
// the bitmap, a failing length or read) raises 9729 "Key violation.".
//
// Ownership: the full-text table engine owns its full-text index engines,
// its indices engine and its BLOB engine, and the block accesses through
// which these two reach the table's files (one per file, with the engine's
// descriptor ID); every engine owns its children and
// the filter hub it has. The main indices engine and the descriptors are the
// table's. Thread safety: the tree is built once when the table is opened
// and only read afterwards, by every cursor of the table; storage handler
// operations run in the caller's transaction and take no lock.
#pragma once

#include <cstdint>
#include <vector>

#include "nxllOwners.h"
#include "nxsdDataDictionaryFulltext.h"
#include "nxsrEngineBases.h"
#include "nxsrIndexEngineBase.h"
#include "nxsrSubEngineBase.h"

class TnxFulltextTableEngine;
class TnxFulltextIndexTableEngine;
class TnxTokenExtractorHubTableEngine;
class TnxTokenFilterHubTableEngine;
class TnxTokenIndexHubTableEngine;
class TnxBitArrayTokenIndexTableEngine;
class TnxBaseTokenExtractorTableEngine;
class TnxBaseTokenFilterTableEngine;
class TnxBaseTokenIndexTableEngine;
class TnxBaseBitArrayStorageHandlerTableEngine;

NX_DECLARE_EXCEPTION(EnxFulltextTableEngineException, EnxBaseFulltextTableEngineException)
NX_DECLARE_EXCEPTION(EnxFulltextIndexTableEngineException, EnxBaseRegisterableEngineException)
NX_DECLARE_EXCEPTION(EnxBaseTokenExtractorTableEngineException, EnxBaseRegisterableEngineException)
NX_DECLARE_EXCEPTION(EnxBaseTokenFilterTableEngineException, EnxBaseRegisterableEngineException)
NX_DECLARE_EXCEPTION(EnxBaseTokenIndexTableEngineException, EnxBaseRegisterableEngineException)
NX_DECLARE_EXCEPTION(EnxBaseBitArrayStorageHandlerTableEngineException, EnxBaseRegisterableEngineException)
NX_DECLARE_EXCEPTION(EnxSimpleBitArrayStorageHandlerTableEngineException,
                     EnxBaseBitArrayStorageHandlerTableEngineException)

// Class-level virtual constructor of the table-side families: the full-text
// index engine above, the parent (hub or token index; nil for a hub or a
// full-text index), the descriptor and the transaction.
template <class R, class P, class D>
struct TnxFulltextTableClassFuncs {
  R* (*create)(TnxFulltextIndexTableEngine* aIndex, P* aParent, D* aDescriptor, TnxBaseTransaction* aTrans);
};
template <class T, class R, class P, class D>
inline constexpr TnxFulltextTableClassFuncs<R, P, D> nxFulltextTableFuncs{
    [](TnxFulltextIndexTableEngine* aIndex, P* aParent, D* aDescriptor, TnxBaseTransaction* aTrans) -> R* {
      return platform::create<T>(aIndex, aParent, aDescriptor, aTrans);
    }};

// ---------------------------------------------------------------------------
// Root and full-text indices

class TnxFulltextTableEngine : public TnxBaseFulltextTableEngine {
  PL_CLASS_INFO_DECL()
 public:
  // aDescriptor must be a TnxFulltextDescriptor; aFiles are the table's
  // block accesses by file number.
  TnxFulltextTableEngine(TnxDictionaryItem* aDescriptor, TnxBaseTransaction* aTrans,
                         TnxBaseIndicesEngine* aMainIndicesEngine, const TnxBlockAccessArray& aFiles);
  ~TnxFulltextTableEngine() override;
  TnxFulltextTableEngine(const TnxFulltextTableEngine&) = delete;
  TnxFulltextTableEngine& operator=(const TnxFulltextTableEngine&) = delete;

  std::int32_t FulltextIndexCount() const { return static_cast<std::int32_t>(ftteFulltextIndices.size()); }
  TnxFulltextIndexTableEngine* FulltextIndex(std::int32_t aIndex) const {
    return ftteFulltextIndices.at(static_cast<std::size_t>(aIndex));
  }

  TnxFulltextDescriptor* ftteFulltextDescriptor;
  TnxBlockAccessArray ftteFiles;
  TnxBaseIndicesEngine* ftteMainIndicesEngine;                    // the table's
  std::vector<TnxFulltextIndexTableEngine*> ftteFulltextIndices;  // owned
  TnxBaseIndicesEngine* ftteIndicesEngine = nullptr;              // owned; nil without token indices
  TnxBaseBlobEngine* ftteBlobEngine = nullptr;                    // owned; nil without a BLOB descriptor
  // The two engines' own accesses to the table's files: an engine's header
  // is found by the ID of the access it works through.
  std::vector<TnxOwned<TnxBlockAccess>> ftteIndicesFiles, ftteBlobFiles;

 private:
  void FreeParts() noexcept;
};

class TnxFulltextIndexTableEngine : public TnxBaseRegisterableEngine {
  PL_CLASS_INFO_DECL()
 public:
  // The family's virtual constructor (aIndex is nil: this is the index).
  TnxFulltextIndexTableEngine(TnxFulltextIndexTableEngine* aIndex, TnxFulltextTableEngine* aParent,
                              TnxFulltextIndexDescriptor* aDescriptor, TnxBaseTransaction* aTrans);
  ~TnxFulltextIndexTableEngine() override;
  TnxFulltextIndexTableEngine(const TnxFulltextIndexTableEngine&) = delete;
  TnxFulltextIndexTableEngine& operator=(const TnxFulltextIndexTableEngine&) = delete;
  static TnxClassList& GetList();
  static TnxFulltextIndexTableEngine* CreateFor(TnxFulltextTableEngine* aParent,
                                                TnxFulltextIndexDescriptor* aDescriptor, TnxBaseTransaction* aTrans);

  // -1: the hub itself; otherwise the hub's child.
  TnxBaseTokenExtractorTableEngine* fiteGetTokenExtractor(std::int32_t aIndex) const;
  TnxBaseTokenFilterTableEngine* fiteGetTokenFilter(std::int32_t aIndex) const;
  TnxBaseTokenIndexTableEngine* fiteGetTokenIndex(std::int32_t aIndex) const;
  std::int32_t TokenExtractorCount() const;
  std::int32_t TokenFilterCount() const;
  std::int32_t TokenIndexCount() const;

  TnxFulltextTableEngine* fiteParentFulltextTableEngine;
  TnxFulltextIndexDescriptor* fiteFulltextIndexDescriptor;
  TnxTokenExtractorHubTableEngine* fiteTokenExtractorHub = nullptr;  // owned
  TnxTokenFilterHubTableEngine* fiteTokenFilterHub = nullptr;        // owned
  TnxTokenIndexHubTableEngine* fiteTokenIndexHub = nullptr;          // owned

 private:
  void FreeParts() noexcept;
};

class TnxBaseTokenSourceTableEngine : public TnxBaseRegisterableEngine {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxBaseTokenSourceTableEngine(TnxFulltextIndexTableEngine* aIndex) : btsteParentFulltextIndex(aIndex) {}
  TnxFulltextIndexTableEngine* btsteParentFulltextIndex;
};

// ---------------------------------------------------------------------------
// Token extractors

class TnxBaseTokenExtractorTableEngine : public TnxBaseTokenSourceTableEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseTokenExtractorTableEngine(TnxFulltextIndexTableEngine* aIndex, TnxTokenExtractorHubTableEngine* aParent,
                                   TnxBaseTokenExtractorDescriptor* aDescriptor, TnxBaseTransaction* aTrans);
  ~TnxBaseTokenExtractorTableEngine() override;
  TnxBaseTokenExtractorTableEngine(const TnxBaseTokenExtractorTableEngine&) = delete;
  TnxBaseTokenExtractorTableEngine& operator=(const TnxBaseTokenExtractorTableEngine&) = delete;
  static TnxClassList& GetList();
  // The hub of a full-text index, or (aParent set) a hub's child.
  static TnxBaseTokenExtractorTableEngine* CreateFor(TnxFulltextIndexTableEngine* aIndex,
                                                     TnxBaseTokenExtractorDescriptor* aDescriptor,
                                                     TnxBaseTransaction* aTrans);
  static TnxBaseTokenExtractorTableEngine* CreateFor(TnxTokenExtractorHubTableEngine* aParent,
                                                     TnxBaseTokenExtractorDescriptor* aDescriptor,
                                                     TnxBaseTransaction* aTrans);

  // Nil and 0 without an own filter hub.
  TnxBaseTokenFilterTableEngine* bteteGetTokenFilter(std::int32_t aIndex) const;
  std::int32_t TokenFilterCount() const;

  TnxTokenExtractorHubTableEngine* bteteParent;
  TnxBaseTokenExtractorDescriptor* bteteTokenExtractorDescriptor;
  TnxTokenFilterHubTableEngine* bteteTokenFilterHub = nullptr;  // owned
};

class TnxTokenExtractorHubTableEngine : public TnxBaseTokenExtractorTableEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxTokenExtractorHubTableEngine(TnxFulltextIndexTableEngine* aIndex, TnxTokenExtractorHubTableEngine* aParent,
                                  TnxBaseTokenExtractorDescriptor* aDescriptor, TnxBaseTransaction* aTrans);
  ~TnxTokenExtractorHubTableEngine() override;
  // The created engine as a hub; another descriptor: invalid cast.
  static TnxTokenExtractorHubTableEngine* CreateFor(TnxFulltextIndexTableEngine* aIndex,
                                                    TnxBaseTokenExtractorDescriptor* aDescriptor,
                                                    TnxBaseTransaction* aTrans);
  TnxBaseTokenExtractorTableEngine* tehteGetTokenExtractor(std::int32_t aIndex) const;
  std::int32_t TokenExtractorCount() const { return static_cast<std::int32_t>(tehteTokenExtractors.size()); }

  TnxTokenExtractorHubDescriptor* tehteTokenExtractorHubDescriptor;
  std::vector<TnxBaseTokenExtractorTableEngine*> tehteTokenExtractors;  // owned
};

class TnxFieldTokenExtractorTableEngine : public TnxBaseTokenExtractorTableEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxFieldTokenExtractorTableEngine(TnxFulltextIndexTableEngine* aIndex, TnxTokenExtractorHubTableEngine* aParent,
                                    TnxBaseTokenExtractorDescriptor* aDescriptor, TnxBaseTransaction* aTrans);
  TnxFieldTokenExtractorDescriptor* fteteFieldTokenExtractorDescriptor;
};

// ---------------------------------------------------------------------------
// Token filters

class TnxBaseTokenFilterTableEngine : public TnxBaseTokenSourceTableEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseTokenFilterTableEngine(TnxFulltextIndexTableEngine* aIndex, TnxTokenFilterHubTableEngine* aParent,
                                TnxBaseTokenFilterDescriptor* aDescriptor, TnxBaseTransaction* aTrans);
  static TnxClassList& GetList();
  static TnxBaseTokenFilterTableEngine* CreateFor(TnxFulltextIndexTableEngine* aIndex,
                                                  TnxBaseTokenFilterDescriptor* aDescriptor,
                                                  TnxBaseTransaction* aTrans);
  static TnxBaseTokenFilterTableEngine* CreateFor(TnxTokenFilterHubTableEngine* aParent,
                                                  TnxBaseTokenFilterDescriptor* aDescriptor,
                                                  TnxBaseTransaction* aTrans);

  TnxTokenFilterHubTableEngine* btfteParent;
  TnxBaseTokenFilterDescriptor* btfteTokenFilterDescriptor;
};

class TnxTokenFilterHubTableEngine : public TnxBaseTokenFilterTableEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxTokenFilterHubTableEngine(TnxFulltextIndexTableEngine* aIndex, TnxTokenFilterHubTableEngine* aParent,
                               TnxBaseTokenFilterDescriptor* aDescriptor, TnxBaseTransaction* aTrans);
  ~TnxTokenFilterHubTableEngine() override;
  TnxTokenFilterHubTableEngine(const TnxTokenFilterHubTableEngine&) = delete;
  TnxTokenFilterHubTableEngine& operator=(const TnxTokenFilterHubTableEngine&) = delete;
  static TnxTokenFilterHubTableEngine* CreateFor(TnxFulltextIndexTableEngine* aIndex,
                                                 TnxBaseTokenFilterDescriptor* aDescriptor,
                                                 TnxBaseTransaction* aTrans);
  TnxBaseTokenFilterTableEngine* tfhteGetTokenFilter(std::int32_t aIndex) const;
  std::int32_t TokenFilterCount() const { return static_cast<std::int32_t>(tfhteTokenFilters.size()); }

  TnxTokenFilterHubDescriptor* tfhteTokenFilterHubDescriptor;
  std::vector<TnxBaseTokenFilterTableEngine*> tfhteTokenFilters;  // owned, descriptor order
};

// The filters only carry their descriptors to the cursor side.
#define NX_FT_TABLE_FILTER(Cls, Base)                                                                     \
  class Cls : public Base {                                                                               \
    PL_CLASS_INFO_DECL()                                                                                  \
   public:                                                                                                \
    using Base::Base;                                                                                     \
  };
NX_FT_TABLE_FILTER(TnxBaseSeparatorTokenFilterTableEngine, TnxBaseTokenFilterTableEngine)
NX_FT_TABLE_FILTER(TnxWideCharSeparatorTokenFilterTableEngine, TnxBaseSeparatorTokenFilterTableEngine)
NX_FT_TABLE_FILTER(TnxCategorySeparatorTokenFilterTableEngine, TnxBaseSeparatorTokenFilterTableEngine)
NX_FT_TABLE_FILTER(TnxBaseLocaleMappingTokenFilterTableEngine, TnxBaseTokenFilterTableEngine)
NX_FT_TABLE_FILTER(TnxLowercaseLocaleMappingTokenFilterTableEngine, TnxBaseLocaleMappingTokenFilterTableEngine)
NX_FT_TABLE_FILTER(TnxUppercaseLocaleMappingTokenFilterTableEngine, TnxBaseLocaleMappingTokenFilterTableEngine)
NX_FT_TABLE_FILTER(TnxCustomLocaleMappingTokenFilterTableEngine, TnxBaseLocaleMappingTokenFilterTableEngine)
NX_FT_TABLE_FILTER(TnxBaseFoldStringTokenFilterTableEngine, TnxBaseTokenFilterTableEngine)
NX_FT_TABLE_FILTER(TnxPreComposeFoldStringTokenFilterTableEngine, TnxBaseFoldStringTokenFilterTableEngine)
NX_FT_TABLE_FILTER(TnxDecomposeFoldStringTokenFilterTableEngine, TnxBaseFoldStringTokenFilterTableEngine)
NX_FT_TABLE_FILTER(TnxCustomFoldStringTokenFilterTableEngine, TnxBaseFoldStringTokenFilterTableEngine)
NX_FT_TABLE_FILTER(TnxStringReplaceTokenFilterTableEngine, TnxBaseTokenFilterTableEngine)
#undef NX_FT_TABLE_FILTER

// ---------------------------------------------------------------------------
// Token indices

class TnxBaseTokenIndexTableEngine : public TnxBaseRegisterableEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseTokenIndexTableEngine(TnxFulltextIndexTableEngine* aIndex, TnxTokenIndexHubTableEngine* aParent,
                               TnxBaseTokenIndexDescriptor* aDescriptor, TnxBaseTransaction* aTrans);
  ~TnxBaseTokenIndexTableEngine() override;
  TnxBaseTokenIndexTableEngine(const TnxBaseTokenIndexTableEngine&) = delete;
  TnxBaseTokenIndexTableEngine& operator=(const TnxBaseTokenIndexTableEngine&) = delete;
  static TnxClassList& GetList();
  static TnxBaseTokenIndexTableEngine* CreateFor(TnxFulltextIndexTableEngine* aIndex,
                                                 TnxBaseTokenIndexDescriptor* aDescriptor,
                                                 TnxBaseTransaction* aTrans);
  static TnxBaseTokenIndexTableEngine* CreateFor(TnxTokenIndexHubTableEngine* aParent,
                                                 TnxBaseTokenIndexDescriptor* aDescriptor,
                                                 TnxBaseTransaction* aTrans);

  TnxBaseTokenFilterTableEngine* btiteGetTokenFilter(std::int32_t aIndex) const;
  std::int32_t TokenFilterCount() const;

  TnxFulltextIndexTableEngine* btiteParentFulltextIndex;
  TnxTokenIndexHubTableEngine* btiteParent;
  TnxBaseTokenIndexDescriptor* btiteTokenIndexDescriptor;
  TnxTokenFilterHubTableEngine* btiteTokenFilterHub = nullptr;  // owned
};

class TnxTokenIndexHubTableEngine : public TnxBaseTokenIndexTableEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxTokenIndexHubTableEngine(TnxFulltextIndexTableEngine* aIndex, TnxTokenIndexHubTableEngine* aParent,
                              TnxBaseTokenIndexDescriptor* aDescriptor, TnxBaseTransaction* aTrans);
  ~TnxTokenIndexHubTableEngine() override;
  static TnxTokenIndexHubTableEngine* CreateFor(TnxFulltextIndexTableEngine* aIndex,
                                                TnxBaseTokenIndexDescriptor* aDescriptor,
                                                TnxBaseTransaction* aTrans);
  TnxBaseTokenIndexTableEngine* tihteGetTokenIndex(std::int32_t aIndex) const;
  std::int32_t TokenIndexCount() const { return static_cast<std::int32_t>(tihteTokenIndexs.size()); }

  TnxTokenIndexHubDescriptor* tihteTokenIndexHubDescriptor;
  std::vector<TnxBaseTokenIndexTableEngine*> tihteTokenIndexs;  // owned
};

class TnxBitArrayTokenIndexTableEngine : public TnxBaseTokenIndexTableEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxBitArrayTokenIndexTableEngine(TnxFulltextIndexTableEngine* aIndex, TnxTokenIndexHubTableEngine* aParent,
                                   TnxBaseTokenIndexDescriptor* aDescriptor, TnxBaseTransaction* aTrans);
  ~TnxBitArrayTokenIndexTableEngine() override;

  TnxBitArrayTokenIndexDescriptor* batiteBitArrayTokenIndexDescriptor;
  TnxBaseBitArrayStorageHandlerTableEngine* batiteBitArrayStorageHandlerTableEngine = nullptr;  // owned
  TnxBaseIndexEngine* batiteIndexEngine = nullptr;         // of the full-text's indices engine; may be nil
  TnxBaseIndexEngine* batiteReverseIndexEngine = nullptr;  // likewise
};

class TnxMainIndexTokenIndexTableEngine : public TnxBaseTokenIndexTableEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxMainIndexTokenIndexTableEngine(TnxFulltextIndexTableEngine* aIndex, TnxTokenIndexHubTableEngine* aParent,
                                    TnxBaseTokenIndexDescriptor* aDescriptor, TnxBaseTransaction* aTrans);

  TnxMainIndexTokenIndexDescriptor* mititeMainIndexTokenIndexDescriptor;
  TnxBaseIndexEngine* mititeMainIndexEngine;  // of the table's main indices engine
};

// ---------------------------------------------------------------------------
// Bit-array storage

class TnxBaseBitArrayStorageHandlerTableEngine : public TnxBaseRegisterableEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseBitArrayStorageHandlerTableEngine(TnxFulltextIndexTableEngine* aIndex,
                                           TnxBitArrayTokenIndexTableEngine* aParent,
                                           TnxBaseBitArrayStorageHandlerDescriptor* aDescriptor,
                                           TnxBaseTransaction* aTrans);
  static TnxClassList& GetList();
  // Nil for a nil descriptor.
  static TnxBaseBitArrayStorageHandlerTableEngine* CreateFor(TnxBitArrayTokenIndexTableEngine* aParent,
                                                             TnxBaseBitArrayStorageHandlerDescriptor* aDescriptor,
                                                             TnxBaseTransaction* aTrans);

  // A new bit array holding aBit alone; its BLOB number.
  virtual TnxBlobNr CreateNew(TnxBaseTransaction* aTrans, std::uint32_t aBit) = 0;
  virtual void SetBit(TnxBaseTransaction* aTrans, std::uint32_t aBit, TnxBlobNr aBitArrayRef) = 0;
  // True when the array became empty and its BLOB was deleted.
  virtual bool ClearBit(TnxBaseTransaction* aTrans, std::uint32_t aBit, TnxBlobNr aBitArrayRef) = 0;

  TnxBaseBitArrayStorageHandlerDescriptor* bbashBitArrayStorageHandlerDescriptor;
  TnxBitArrayTokenIndexTableEngine* bbashParentBitArrayTokenIndexTableEngine;
};

class TnxSimpleBitArrayStorageHandlerTableEngine : public TnxBaseBitArrayStorageHandlerTableEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxSimpleBitArrayStorageHandlerTableEngine(TnxFulltextIndexTableEngine* aIndex,
                                             TnxBitArrayTokenIndexTableEngine* aParent,
                                             TnxBaseBitArrayStorageHandlerDescriptor* aDescriptor,
                                             TnxBaseTransaction* aTrans);
  TnxBlobNr CreateNew(TnxBaseTransaction* aTrans, std::uint32_t aBit) override;
  void SetBit(TnxBaseTransaction* aTrans, std::uint32_t aBit, TnxBlobNr aBitArrayRef) override;
  bool ClearBit(TnxBaseTransaction* aTrans, std::uint32_t aBit, TnxBlobNr aBitArrayRef) override;

  TnxBaseBlobEngine* sbashBlobEngine;  // the full-text table engine's

 private:
  // One BLOB operation on the array; a damaged BLOB is a key violation.
  void Modify(TnxBaseTransaction* aTrans, TnxBlobNr aRef, const TnxBlobChange& aChange);
  [[noreturn]] static void KeyViolation();
};

// Write-only sinks of a BLOB read: exactly 4 bytes (the count) or exactly 1
// byte; any other length is an assertion failure.
class TnxCountStream : public TStream {
  PL_CLASS_INFO_DECL()
 public:
  std::int32_t Read(void* aBuffer, std::int32_t aCount) override;
  std::int32_t Write(const void* aBuffer, std::int32_t aCount) override;
  std::int64_t Seek(std::int64_t aOffset, TSeekOrigin aOrigin) override;
  std::uint32_t csCount = 0;
};

class TnxCurrentByteStream : public TStream {
  PL_CLASS_INFO_DECL()
 public:
  std::int32_t Read(void* aBuffer, std::int32_t aCount) override;
  std::int32_t Write(const void* aBuffer, std::int32_t aCount) override;
  std::int64_t Seek(std::int64_t aOffset, TSeekOrigin aOrigin) override;
  std::uint8_t cbsCurrentByte = 0;
};

// Module start-up: the 18 table engine classes under their class names;
// finalisation unregisters the full-text table engine and frees the five
// family lists.
void nxseFulltextEngineTableInitialize();
void nxseFulltextEngineTableFinalize();
