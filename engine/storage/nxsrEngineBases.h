// Abstract bases of the engines that act above the records: full-text
// table and cursor engines, referential-integrity engines (each a family of
// registerable engines found by the descriptor's class name), the sort
// engine of result sets and the SQL engine component.
// Registries follow nxllRegisterableEngine: filled at start-up, read after.
#pragma once

#include <cstdint>
#include <vector>

#include "nxllComponent.h"
#include "nxllRegisterableEngine.h"
#include "nxsdDataDictionary.h"
#include "nxsdServerEngine.h"
#include "nxsrSubEngineBase.h"

class TnxBaseIndicesEngine;

// The base library has no exception class of its registerable engines yet.
NX_DECLARE_EXCEPTION(EnxBaseRegisterableEngineException, EnxBaseException)
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

// The merge sort of result sets implements it (server engine).
class TnxBaseSortEngine : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  // bsDict: a copy of aDict whose only index is aIndexDesc; bsDictNoIdx: the
  // copy without indices; the key engine of that index.
  TnxBaseSortEngine(TnxAbstractDatabase* aDB, TnxDataDictionary* aDict, TnxIndexDescriptor* aIndexDesc);
  ~TnxBaseSortEngine() override;

  virtual TnxResult Get(PnxRecordBuffer aRecord) = 0;
  virtual TnxResult Put(PnxRecordBuffer aRecord) = 0;
  virtual bool Iterate(PnxRecordBuffer aData, bool aKeyChanged, const TnxRecordIterator& aIterator, void* aCookie) = 0;
  virtual bool IterateSameKey(PnxRecordBuffer aData, const TnxRecordIterator& aIterator, void* aCookie) = 0;

  TnxAbstractDatabase* bsDB;
  TnxDataDictionary* bsDict = nullptr;       // owned
  TnxDataDictionary* bsDictNoIdx = nullptr;  // owned
  TnxBaseKeyEngine* bsKeyEngine = nullptr;   // owned
  std::uint32_t bsRecLen = 0;
  std::uint32_t bsRecLenBuf = 0;
};

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
