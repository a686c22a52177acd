// Referential integrity: the engines that act on a table's references when
// the server cursor notifies a record insert, change or delete.
//
// A reference relates the own table (of the notifying cursor) to a target
// table: the target cursor engine opens it, the source engines set the own
// record's values into the leading key fields of the target index, and the
// action engines run on the target range those values select (cascade,
// clear, set default, block, target required). The references of a table
// are notified last to first; the actions of one reference in descriptor
// order.
//
// Notification arguments: entries of 8 bytes, value first. Insert: [nil, new
// record, reference]; delete: [deleted record, reference]; modify: [new
// record, old record, Boolean, reference]. Only entries 0 and 1 are read.
//
// Errors: violations (9734, 9733) and failing target operations come back as
// results with an annotated pending message ("Referential Integrity
// Violation. " own(fields) " -> " target(fields) ": " text); a missing or
// unsuitable target index (9997, 10023, 10004), an unconvertible source
// value (10002) and unknown engine classes (15503) raise. After-change
// violations and a failing cascade delete mark the transaction corrupted.
//
// Ownership: the engine belongs to its cursor and lives as long as it; each
// level owns the level below; a target cursor engine owns its open cursor.
// Thread safety: notifications run on the thread of the cursor's operation.
// The server may ask a target cursor to close from another thread; the
// target cursor engine's padlock and in-use count keep such a request away
// from a cursor in use (it is then refused) and the next notification
// reopens a closed one.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

#include "nxllOwners.h"
#include "nxllSync.h"
#include "nxsdDataDictionaryRefInt.h"
#include "nxsdServerBaseCursor.h"
#include "nxsrFieldMapper.h"

class TnxRefIntegrityEngine;
class TnxReferenceEngine;
class TnxBaseTargetCursorEngine;
class TnxBaseSourceEngine;
class TnxBaseActionEngine;

NX_DECLARE_EXCEPTION(EnxReferenceEngineException, EnxBaseRegisterableEngineException)
NX_DECLARE_EXCEPTION(EnxBaseTargetCursorEngineException, EnxBaseRegisterableEngineException)
NX_DECLARE_EXCEPTION(EnxBaseSourceEngineException, EnxBaseRegisterableEngineException)
NX_DECLARE_EXCEPTION(EnxBaseActionEngineException, EnxBaseRegisterableEngineException)
NX_DECLARE_EXCEPTION(EnxBaseDeleteActionEngineException, EnxBaseActionEngineException)
NX_DECLARE_EXCEPTION(EnxBaseModifyActionEngineException, EnxBaseActionEngineException)
NX_DECLARE_EXCEPTION(EnxClearDeleteActionEngineException, EnxBaseDeleteActionEngineException)
NX_DECLARE_EXCEPTION(EnxSetDefaultDeleteActionEngineException, EnxBaseDeleteActionEngineException)
NX_DECLARE_EXCEPTION(EnxCascadeModifyActionEngineException, EnxBaseModifyActionEngineException)
NX_DECLARE_EXCEPTION(EnxClearModifyActionEngineException, EnxBaseModifyActionEngineException)
NX_DECLARE_EXCEPTION(EnxSetDefaultModifyActionEngineException, EnxBaseModifyActionEngineException)

enum TnxValueUseType : std::uint8_t { vutRangeStart, vutRangeEnd, vutCompare, vutRecordModify, vutRecordDelete };

// The arguments of one notification (see the header comment).
using TnxNotifyArgs = std::span<const std::uint64_t>;
inline void* nxNotifyArgRecord(TnxNotifyArgs aArgs, std::size_t aIndex) {
  return aIndex < aArgs.size() ? reinterpret_cast<void*>(static_cast<std::uintptr_t>(aArgs[aIndex])) : nullptr;
}
inline std::uint64_t nxNotifyArg(const void* aRecord) {
  return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(aRecord));
}

// Class-level virtual constructor of the four families below the engine.
template <class P, class D, class R>
struct TnxRefIntClassFuncs {
  R* (*create)(P* aParent, D* aDescriptor);
};
template <class T, class P, class D, class R>
inline constexpr TnxRefIntClassFuncs<P, D, R> nxRefIntFuncs{
    [](P* aParent, D* aDescriptor) -> R* { return platform::create<T>(aParent, aDescriptor); }};

// ---------------------------------------------------------------------------

class TnxRefIntegrityEngine : public TnxBaseRegisterableEngine {
  PL_CLASS_INFO_DECL()
 public:
  // REQUIRES: aDescriptor and aCursor outlive the engine.
  TnxRefIntegrityEngine(TnxRefIntegrityDescriptor* aDescriptor, TnxAbstractCursor* aCursor);
  ~TnxRefIntegrityEngine() override;
  TnxRefIntegrityEngine(const TnxRefIntegrityEngine&) = delete;
  TnxRefIntegrityEngine& operator=(const TnxRefIntegrityEngine&) = delete;
  static TnxClassList& GetList();

  // 0 at once for an action no reference wants in that phase.
  virtual TnxResult Notify(TnxEngineAction aAction, bool aBefore, TnxNotifyArgs aArgs);

  TnxRefIntegrityDescriptor* Descriptor() const { return rieDescriptor; }
  TnxAbstractCursor* Cursor() const { return rieCursor; }
  TnxEngineActions& Actions(bool aBefore) { return rieActions[aBefore ? 1 : 0]; }
  std::int32_t ReferenceCount() const { return static_cast<std::int32_t>(rieReferences.size()); }
  TnxReferenceEngine* References(std::int32_t aIndex) const {
    return rieReferences.at(static_cast<std::size_t>(aIndex)).get();
  }

 private:
  TnxRefIntegrityDescriptor* rieDescriptor;
  TnxAbstractCursor* rieCursor;
  std::array<TnxEngineActions, 2> rieActions{};  // [0] after, [1] before
  std::vector<TnxOwned<TnxReferenceEngine>> rieReferences;
};

class TnxReferenceEngine : public TnxBaseRegisterableEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxReferenceEngine(TnxRefIntegrityEngine* aParent, TnxReferenceDescriptor* aDescriptor);
  ~TnxReferenceEngine() override;
  TnxReferenceEngine(const TnxReferenceEngine&) = delete;
  TnxReferenceEngine& operator=(const TnxReferenceEngine&) = delete;
  static TnxClassList& GetList();
  static TnxReferenceEngine* CreateFor(TnxRefIntegrityEngine* aParent, TnxReferenceDescriptor* aDescriptor);

  virtual void BuildActionMapping();
  virtual void MapActions(TnxBaseActionEngine* aAction, TnxEngineActions aActions, bool aBefore);
  virtual void PrepareTarget();
  virtual void UnprepareTarget();
  // False: a NULL source value with SkipOnNull (no range was set).
  virtual bool SetTargetRange(const void* aRecord, bool* aHasNull);
  virtual bool KeyChanged(const void* aNewRecord, const void* aOldRecord);
  virtual TnxResult Notify(TnxEngineAction aAction, bool aBefore, TnxNotifyArgs aArgs);
  virtual TnxResult AnnotateViolation(TnxResult aErrorCode);

  TnxRefIntegrityEngine* Parent() const { return reParent; }
  TnxReferenceDescriptor* Descriptor() const { return reDescriptor; }
  TnxBaseTargetCursorEngine* TargetCursor() const { return reTargetCursor.get(); }
  TnxFieldsDescriptor* TargetFields() const { return reFieldsDescriptor; }
  std::uint8_t* TargetRecordBuffer1() { return reTargetRecordBuffer1.data(); }
  std::uint8_t* TargetRecordBuffer2() { return reTargetRecordBuffer2.data(); }
  bool TargetPrepared() const { return reTargetCursorPrepared; }
  std::int32_t SourceCount() const { return static_cast<std::int32_t>(reSources.size()); }
  TnxBaseSourceEngine* Sources(std::int32_t aIndex) const { return reSources.at(static_cast<std::size_t>(aIndex)).get(); }

 private:
  TnxRefIntegrityEngine* reParent;
  TnxReferenceDescriptor* reDescriptor;
  TnxOwned<TnxBaseTargetCursorEngine> reTargetCursor;
  TnxFieldsDescriptor* reFieldsDescriptor = nullptr;
  bool reTargetCursorPrepared = false;
  std::int32_t reTargetRecordLength = 0;
  std::vector<std::uint8_t> reTargetRecordBuffer1, reTargetRecordBuffer2;
  TnxCompKeyDescriptor* reTargetKeyDescriptor = nullptr;
  std::array<std::array<std::vector<TnxBaseActionEngine*>, nxEngineActionCount>, 2> reActionMapping;  // [before]
  std::vector<TnxOwned<TnxBaseSourceEngine>> reSources;
  std::vector<TnxOwned<TnxBaseActionEngine>> reActions;
};

// ---------------------------------------------------------------------------
// Target cursors

class TnxBaseTargetCursorEngine : public TnxBaseRegisterableEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseTargetCursorEngine(TnxReferenceEngine* aParent, TnxBaseTargetCursorDescriptor* aDescriptor);
  ~TnxBaseTargetCursorEngine() override;
  TnxBaseTargetCursorEngine(const TnxBaseTargetCursorEngine&) = delete;
  TnxBaseTargetCursorEngine& operator=(const TnxBaseTargetCursorEngine&) = delete;
  static TnxClassList& GetList();

  // Opens the target on first need and switches it to the target index.
  TnxAbstractCursor* GetCursor();
  void BeginUse();
  void EndUse();
  // From the target cursor, maybe on another thread: closes an idle cursor.
  virtual void RequestClose();
  bool IsOpen() const { return btceCursor != nullptr; }

 protected:
  virtual TnxResult OpenCursor(TnxAbstractCursor* aSourceCursor, TnxAbstractCursor*& aCursor) = 0;
  // The CursorOpen of the table and relative engines.
  TnxResult OpenTable(TnxAbstractCursor* aSourceCursor, const nxString& aTableName, const nxString& aPassword,
                      bool aAllowSystem, TnxAbstractCursor*& aCursor);

  TnxReferenceEngine* btceParent;
  TnxBaseTargetCursorDescriptor* btceDescriptor;

 private:
  static void FreeCursor(TnxAbstractCursor* aCursor) noexcept;

  TnxIntfPtr<InxRequestCloseHandler> btceRequestClose;
  TnxPadlock btcePadlock;
  std::atomic<std::int32_t> btceInUse{0};
  TnxAbstractCursor* btceCursor = nullptr;  // owned
};

class TnxCloneTargetCursorEngine : public TnxBaseTargetCursorEngine {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseTargetCursorEngine::TnxBaseTargetCursorEngine;

 protected:
  TnxResult OpenCursor(TnxAbstractCursor* aSourceCursor, TnxAbstractCursor*& aCursor) override;
};

class TnxTableTargetCursorEngine : public TnxBaseTargetCursorEngine {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseTargetCursorEngine::TnxBaseTargetCursorEngine;

 protected:
  TnxResult OpenCursor(TnxAbstractCursor* aSourceCursor, TnxAbstractCursor*& aCursor) override;
};

class TnxRelativeTargetCursorEngine : public TnxBaseTargetCursorEngine {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseTargetCursorEngine::TnxBaseTargetCursorEngine;

 protected:
  TnxResult OpenCursor(TnxAbstractCursor* aSourceCursor, TnxAbstractCursor*& aCursor) override;
};

// ---------------------------------------------------------------------------
// Sources

class TnxBaseSourceEngine : public TnxBaseRegisterableEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseSourceEngine(TnxReferenceEngine* aParent, TnxBaseSourceDescriptor* aDescriptor);
  TnxBaseSourceEngine(const TnxBaseSourceEngine&) = delete;
  TnxBaseSourceEngine& operator=(const TnxBaseSourceEngine&) = delete;
  static TnxClassList& GetList();

  virtual nxString GetSourceName() = 0;
  virtual nxString GetTargetName() = 0;
  // Binds the source to key field aTargetField of the target table.
  virtual void Initialize(std::int32_t aTargetField, TnxAbstractCursor* aTargetCursor);
  virtual TnxResult SetValueTo(TnxValueUseType aType, void* aTargetBuffer, const void* aSourceBuffer,
                               bool* aSourceIsNull) = 0;
  virtual TnxResult ClearField(TnxValueUseType aType, void* aTargetBuffer);
  // The target field's default, NULL without a default-value handler.
  virtual TnxResult SetFieldToDefault(TnxValueUseType aType, TnxAbstractCursor* aTargetCursor, void* aTargetBuffer);

  TnxBaseSourceDescriptor* Descriptor() const { return bseDescriptor; }

 protected:
  TnxReferenceEngine* bseParent;
  TnxBaseSourceDescriptor* bseDescriptor;
  TnxFieldsDescriptor* bseSourceFields = nullptr;
  TnxFieldsDescriptor* bseTargetFields = nullptr;
  std::int32_t bseTargetField = -1;
  std::int32_t bseTargetOffset = 0;
};

// A field of the own table, converted strictly into the key field's type.
class TnxFieldSourceEngine : public TnxBaseSourceEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxFieldSourceEngine(TnxReferenceEngine* aParent, TnxBaseSourceDescriptor* aDescriptor);

  nxString GetSourceName() override { return fseSourceName; }
  nxString GetTargetName() override { return fseTargetName; }
  void Initialize(std::int32_t aTargetField, TnxAbstractCursor* aTargetCursor) override;
  TnxResult SetValueTo(TnxValueUseType aType, void* aTargetBuffer, const void* aSourceBuffer,
                       bool* aSourceIsNull) override;

 private:
  std::int32_t fseSourceOffset = 0;
  TnxMappingMethod fseMapper;
  TnxOwned<TnxBaseFieldMapper> fseMapperInst;
  nxString fseSourceName;
  nxString fseTargetName;
};

// ---------------------------------------------------------------------------
// Actions

class TnxBaseActionEngine : public TnxBaseRegisterableEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseActionEngine(TnxReferenceEngine* aParent, TnxBaseActionDescriptor* aDescriptor);
  TnxBaseActionEngine(const TnxBaseActionEngine&) = delete;
  TnxBaseActionEngine& operator=(const TnxBaseActionEngine&) = delete;
  static TnxClassList& GetList();

  virtual TnxResult Execute(TnxEngineAction aAction, bool aBefore, TnxNotifyArgs aArgs);
  virtual TnxEngineActions RequiredBeforeActions() { return {}; }
  virtual TnxEngineActions RequiredAfterActions() { return {}; }
  virtual bool WantsNewOnAfterModify() { return false; }

  TnxBaseActionDescriptor* Descriptor() const { return baeDescriptor; }

 protected:
  // The target cursor of the reference (opened by the range just set).
  TnxAbstractCursor* Target();
  // Marks the target cursor's database transaction corrupted.
  void CorruptTransaction();

  TnxReferenceEngine* baeParent;
  TnxBaseActionDescriptor* baeDescriptor;
};

// The engines that rewrite every record of the range; the subclass says
// what happens to the key fields of one record.
class TnxBaseModifyLoopActionEngine : public TnxBaseActionEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseModifyLoopActionEngine(TnxReferenceEngine* aParent, TnxBaseActionDescriptor* aDescriptor);

 protected:
  TnxResult ModifyLoop(TnxNotifyArgs aArgs);
  virtual TnxResult ChangeRecord(TnxBaseSourceEngine* aSource, void* aRecord, TnxNotifyArgs aArgs) = 0;
  [[noreturn]] virtual void RaiseAction(TnxResult aCode) = 0;
};

#define NX_DECLARE_REFINT_LOOP_ACTION(Cls)                                                             \
  class Tnx##Cls : public TnxBaseModifyLoopActionEngine {                                              \
    PL_CLASS_INFO_DECL()                                                                               \
   public:                                                                                             \
    Tnx##Cls(TnxReferenceEngine* aParent, TnxBaseActionDescriptor* aDescriptor);                       \
    TnxResult Execute(TnxEngineAction aAction, bool aBefore, TnxNotifyArgs aArgs) override;            \
    TnxEngineActions RequiredAfterActions() override;                                                  \
                                                                                                       \
   protected:                                                                                          \
    TnxResult ChangeRecord(TnxBaseSourceEngine* aSource, void* aRecord, TnxNotifyArgs aArgs) override; \
    [[noreturn]] void RaiseAction(TnxResult aCode) override;                                           \
  };

#define NX_DECLARE_REFINT_TEST_ACTION(Cls)                                                   \
  class Tnx##Cls : public TnxBaseActionEngine {                                              \
    PL_CLASS_INFO_DECL()                                                                     \
   public:                                                                                   \
    Tnx##Cls(TnxReferenceEngine* aParent, TnxBaseActionDescriptor* aDescriptor);             \
    TnxResult Execute(TnxEngineAction aAction, bool aBefore, TnxNotifyArgs aArgs) override;  \
    TnxEngineActions RequiredBeforeActions() override;                                       \
    TnxEngineActions RequiredAfterActions() override;                                        \
    bool WantsNewOnAfterModify() override;                                                   \
  };

NX_DECLARE_REFINT_TEST_ACTION(CascadeDeleteActionEngine)
NX_DECLARE_REFINT_LOOP_ACTION(ClearDeleteActionEngine)
NX_DECLARE_REFINT_LOOP_ACTION(SetDefaultDeleteActionEngine)
NX_DECLARE_REFINT_TEST_ACTION(BlockDeleteActionEngine)
NX_DECLARE_REFINT_LOOP_ACTION(CascadeModifyActionEngine)
NX_DECLARE_REFINT_LOOP_ACTION(ClearModifyActionEngine)
NX_DECLARE_REFINT_LOOP_ACTION(SetDefaultModifyActionEngine)
NX_DECLARE_REFINT_TEST_ACTION(BlockModifyActionEngine)
NX_DECLARE_REFINT_TEST_ACTION(TargetRequiredActionEngine)
#undef NX_DECLARE_REFINT_LOOP_ACTION
#undef NX_DECLARE_REFINT_TEST_ACTION

// Module start-up and finalisation (counted): registers the fifteen engine
// classes in their families.
void nxseRefIntEngineInitialize();
void nxseRefIntEngineFinalize();
