// Abstract bases of the engines that act above the records: full-text
// table and cursor engines, referential-integrity engines (each a family of
// registerable engines found by the descriptor's class name), the sort
// engine of result sets and the SQL engine component.
// Registries follow nxllRegisterableEngine: filled at start-up, read after.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "nxllComponent.h"
#include "nxllRegisterableEngine.h"
#include "nxsdDataDictionary.h"
#include "nxsdServerEngine.h"
#include "nxsrSubEngineBase.h"

class TnxBaseIndicesEngine;

NX_DECLARE_EXCEPTION(EnxBaseFulltextTableEngineException, EnxBaseRegisterableEngineException)
NX_DECLARE_EXCEPTION(EnxBaseFulltextCursorEngineException, EnxBaseRegisterableEngineException)
NX_DECLARE_EXCEPTION(EnxBaseRefIntegrityEngineException, EnxBaseRegisterableEngineException)
NX_DECLARE_EXCEPTION(EnxBaseSortEngineException, EnxServerException)

class TnxBaseFulltextTableEngine;

// Virtual constructors of the families.
struct TnxFulltextTableEngineClassFuncs {
  TnxBaseFulltextTableEngine* (*create)(TnxDictionaryItem* aDescriptor, TnxBaseTransaction* aTrans,
                                        TnxBaseIndicesEngine* aMainIndicesEngine, const TnxBlockAccessArray& aFiles);
};
template <class T>
inline constexpr TnxFulltextTableEngineClassFuncs nxFulltextTableEngineFuncs{
    [](TnxDictionaryItem* aDescriptor, TnxBaseTransaction* aTrans, TnxBaseIndicesEngine* aMain,
       const TnxBlockAccessArray& aFiles) -> TnxBaseFulltextTableEngine* {
      return platform::create<T>(aDescriptor, aTrans, aMain, aFiles);
    }};

class TnxBaseFulltextTableEngine : public TnxBaseRegisterableEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseFulltextTableEngine(TnxDictionaryItem* aDescriptor, TnxBaseTransaction*, TnxBaseIndicesEngine*,
                             const TnxBlockAccessArray&)
      : ftteDescriptor(aDescriptor) {}
  static TnxClassList& GetList();
  // The class named as the descriptor's with "Descriptor" replaced by
  // "TableEngine"; 15503 "Unknown Fulltext engine: ..." when none.
  static TnxBaseFulltextTableEngine* CreateFor(TnxDictionaryItem* aDescriptor, const TnxBlockAccessArray& aFiles,
                                               TnxBaseIndicesEngine* aMainIndicesEngine, TnxBaseTransaction* aTrans);

  TnxDictionaryItem* ftteDescriptor;
};

class TnxBaseFulltextCursorEngine;
struct TnxFulltextCursorEngineClassFuncs {
  TnxBaseFulltextCursorEngine* (*create)(TnxBaseFulltextTableEngine* aTableEngine, TnxAbstractCursor* aCursor);
};
template <class T>
inline constexpr TnxFulltextCursorEngineClassFuncs nxFulltextCursorEngineFuncs{
    [](TnxBaseFulltextTableEngine* aTableEngine, TnxAbstractCursor* aCursor) -> TnxBaseFulltextCursorEngine* {
      return platform::create<T>(aTableEngine, aCursor);
    }};

class TnxBaseFulltextCursorEngine : public TnxBaseRegisterableEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseFulltextCursorEngine(TnxBaseFulltextTableEngine* aTableEngine, TnxAbstractCursor* aCursor)
      : ftceTableEngine(aTableEngine), ftceCursor(aCursor) {}
  static TnxClassList& GetList();
  // Nil for a nil table engine; else the class named as the table engine's
  // with "TableEngine" replaced by "CursorEngine".
  static TnxBaseFulltextCursorEngine* CreateFor(TnxBaseFulltextTableEngine* aTableEngine, TnxAbstractCursor* aCursor);
  virtual TnxResult UpdateIndex(TnxBaseTransaction* aTrans, PnxRecordBuffer aOldRecord, TnxRefNr aOldRefNr,
                                PnxRecordBuffer aNewRecord, TnxRefNr aNewRefNr) = 0;

  TnxBaseFulltextTableEngine* ftceTableEngine;
  TnxAbstractCursor* ftceCursor;
};

class TnxBaseRefIntegrityEngine;
struct TnxRefIntegrityEngineClassFuncs {
  TnxBaseRefIntegrityEngine* (*create)(TnxDictionaryItem* aDescriptor, TnxAbstractCursor* aCursor);
};
template <class T>
inline constexpr TnxRefIntegrityEngineClassFuncs nxRefIntegrityEngineFuncs{
    [](TnxDictionaryItem* aDescriptor, TnxAbstractCursor* aCursor) -> TnxBaseRefIntegrityEngine* {
      return platform::create<T>(aDescriptor, aCursor);
    }};

class TnxBaseRefIntegrityEngine : public TnxBaseRegisterableEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseRefIntegrityEngine(TnxDictionaryItem* aDescriptor, TnxAbstractCursor* aCursor)
      : brieDescriptor(aDescriptor), brieCursor(aCursor) {}
  static TnxClassList& GetList();
  // Nil for a nil descriptor; the class named as the descriptor's with
  // "Descriptor" replaced by "Engine".
  static TnxBaseRefIntegrityEngine* CreateFor(TnxDictionaryItem* aDescriptor, TnxAbstractCursor* aCursor);
  virtual TnxResult Notify(TnxEngineAction aAction, bool aBefore, TnxFormatArgs aArgs) = 0;

  TnxDictionaryItem* brieDescriptor;
  TnxAbstractCursor* brieCursor;
};

// Sorts records of one layout by the key of one index. The merge sort of
// the server engine implements it.
class TnxBaseSortEngine : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  // bsDict: a copy of aDict whose only index is aIndexDesc; bsDictNoIdx: the
  // copy without indices; the key engine of that index.
  TnxBaseSortEngine(TnxAbstractDatabase* aDB, TnxDataDictionary* aDict, TnxIndexDescriptor* aIndexDesc);
  ~TnxBaseSortEngine() override;
  TnxBaseSortEngine(const TnxBaseSortEngine&) = delete;
  TnxBaseSortEngine& operator=(const TnxBaseSortEngine&) = delete;

  // Nil aRecord skips one record; 8706 when none is left.
  virtual TnxResult Get(PnxRecordBuffer aRecord) = 0;
  virtual TnxResult Put(PnxRecordBuffer aRecord) = 0;
  // *aData not nil: each record is copied there before the iterator runs;
  // nil: it points at the engine's copy (valid until the next record).
  // aData nil: the engine uses a pointer of its own. aKeyChanged, when
  // given, tells before each record whether its key differs from the one
  // before it.
  virtual bool Iterate(PPnxRecordBuffer aData, bool* aKeyChanged, const TnxRecordIterator& aIterator,
                       void* aCookie) = 0;
  // The next record and every following one of the same key.
  virtual bool IterateSameKey(PPnxRecordBuffer aData, const TnxRecordIterator& aIterator, void* aCookie) = 0;

  TnxAbstractDatabase* bsDB;
  TnxDataDictionary* bsDict = nullptr;       // owned
  TnxDataDictionary* bsDictNoIdx = nullptr;  // owned
  TnxBaseKeyEngine* bsKeyEngine = nullptr;   // owned
  std::uint32_t bsRecLen = 0;
  std::uint32_t bsRecLenBuf = 0;
};

// The virtual constructor a sort engine class carries in its class table.
struct TnxSortEngineClassFuncs {
  TnxBaseSortEngine* (*create)(TnxAbstractDatabase* aDB, TnxDataDictionary* aDict, TnxIndexDescriptor* aIndexDesc);
};
template <class T>
inline constexpr TnxSortEngineClassFuncs nxSortEngineFuncs{
    [](TnxAbstractDatabase* aDB, TnxDataDictionary* aDict, TnxIndexDescriptor* aIndexDesc) -> TnxBaseSortEngine* {
      return platform::create<T>(aDB, aDict, aIndexDesc);
    }};

// The sort engine class that reorders tables; nil until a sort engine
// module sets it at start-up.
extern std::atomic<const platform::ClassInfo*> nxDefaultSortEngineClass;

// A sorter of aClass, which must carry TnxSortEngineClassFuncs.
TnxBaseSortEngine* nxCreateSortEngine(const platform::ClassInfo& aClass, TnxAbstractDatabase* aDB,
                                      TnxDataDictionary* aDict, TnxIndexDescriptor* aIndexDesc);

// The SQL engine component the server database hands statements to.
class TnxBaseSqlEngine : public TnxStateComponent {
  PL_CLASS_INFO_DECL()
 public:
  using TnxStateComponent::TnxStateComponent;
  virtual void PrepareShutdown() = 0;
  virtual TnxResult StatementAlloc(TnxAbstractDatabase* aDatabase, TnxAbstractStatement*& aStatement,
                                   TnxWord32 aTimeout) = 0;
};

void nxsrEngineBasesFinalize();
