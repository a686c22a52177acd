// Validation engines: they enforce a table's field validations (minimum and
// maximum, no change), required fields and SQL CHECK constraints on a pair of
// record buffers (old, new; a nil buffer means there is no such record, e.g.
// no old record on insert). A violation raises the engine's exception with a
// message that names the validation and the field; a validation never
// changes a record.
//
// Structure: a TnxValidationsHandler holds container engines, the table-level
// one (TnxFieldsValidationsEngine) and one per field
// (TnxFieldValidationsEngine); each container holds its validation engines.
// The two container classes and TnxBaseValidationEngine root three engine
// families of their own; each engine is found by its descriptor's class name
// with "Descriptor" replaced by "Engine" (15503 when unknown).
//
// CHECK constraints: the SQL layer supplies the statement class through
// SqlCheckStatementClass. Without it the SQL check engine is still built, and
// its first check raises 12289.
//
// Ownership: a handler owns its containers, a container its engines, an SQL
// check engine its statement. Descriptors and the cursor are not owned and
// must outlive the handler.
// Thread safety: a handler belongs to one cursor or dataset and runs under its
// serialization; a statement keeps the pointers of one call at a time.
// Engines hold no lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "nxllOwners.h"
#include "nxllRegisterableEngine.h"
#include "nxsdDataDictionary.h"
#include "plVariant.h"

class TnxAbstractCursor;  // nxsdServerEngine.h
class TnxCompositeKeyFieldEngine;
class TnxBaseValidationEngine;
class TnxBaseSqlCheckStatement;
class TnxFieldsValidationsEngine;
class TnxFieldValidationsEngine;

NX_DECLARE_EXCEPTION(EnxBaseValidationsEngineException, EnxBaseException)
NX_DECLARE_EXCEPTION(EnxFieldsValidationsEngineException, EnxBaseValidationsEngineException)
NX_DECLARE_EXCEPTION(EnxFieldValidationsEngineException, EnxBaseValidationsEngineException)
NX_DECLARE_EXCEPTION(EnxBaseFieldValidationEngineException, EnxBaseException)
NX_DECLARE_EXCEPTION(EnxMinMaxValidationEngineException, EnxBaseFieldValidationEngineException)
NX_DECLARE_EXCEPTION(EnxNoChangeValidationEngineException, EnxBaseFieldValidationEngineException)
NX_DECLARE_EXCEPTION(EnxSqlCheckValidationEngineException, EnxBaseFieldValidationEngineException)
NX_DECLARE_EXCEPTION(EnxNotNullValidationEngineException, EnxBaseFieldValidationEngineException)
NX_DECLARE_EXCEPTION(EnxBaseSqlCheckStatementException, EnxBaseException)

// An exception class as a value: its metadata and how to raise it.
struct TnxExceptionClassRef {
  const platform::ClassInfo& (*info)();
  void (*raise)(TnxResult aCode, const nxString& aText);
};
template <class E>
inline constexpr TnxExceptionClassRef nxExceptionClassRef{
    &E::staticClassInfo, [](TnxResult aCode, const nxString& aText) { throw E(aCode, aText); }};

// ---------------------------------------------------------------------------
// Containers

class TnxBaseValidationsEngine : public TnxBaseRegisterableEngine {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxBaseValidationsEngine(TnxFieldsDescriptor* aFieldsDescriptor) : bveFieldsDescriptor(aFieldsDescriptor) {}
  TnxBaseValidationsEngine(const TnxBaseValidationsEngine&) = delete;
  TnxBaseValidationsEngine& operator=(const TnxBaseValidationsEngine&) = delete;

  TnxFieldsDescriptor* FieldsDescriptor() const { return bveFieldsDescriptor; }
  std::int32_t EngineCount() const { return static_cast<std::int32_t>(veEngines.size()); }
  TnxBaseValidationEngine* Engines(std::int32_t aIndex) const {
    return veEngines.at(static_cast<std::size_t>(aIndex)).get();
  }
  virtual void ValidateRecord(const void* aOldRecord, const void* aNewRecord) = 0;

 protected:
  // Keeps aEngine when not nil.
  void AddEngine(TnxBaseValidationEngine* aEngine);

  TnxFieldsDescriptor* bveFieldsDescriptor = nullptr;
  std::vector<TnxOwned<TnxBaseValidationEngine>> veEngines;  // in descriptor order
};

struct TnxFieldsValidationsEngineClassFuncs {
  TnxFieldsValidationsEngine* (*create)(TnxFieldsDescriptor* aFieldsDescriptor, TnxAbstractCursor* aCursor,
                                        TnxApplyAt aApplyAt, TnxFieldsValidationsDescriptor* aValidationsDescriptor);
};
template <class T>
inline constexpr TnxFieldsValidationsEngineClassFuncs nxFieldsValidationsEngineFuncs{
    [](TnxFieldsDescriptor* aFieldsDescriptor, TnxAbstractCursor* aCursor, TnxApplyAt aApplyAt,
       TnxFieldsValidationsDescriptor* aValidationsDescriptor) -> TnxFieldsValidationsEngine* {
      return platform::create<T>(aFieldsDescriptor, aCursor, aApplyAt, aValidationsDescriptor);
    }};

// The table level: the CHECK constraints of the fields descriptor.
class TnxFieldsValidationsEngine : public TnxBaseValidationsEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxFieldsValidationsEngine(TnxFieldsDescriptor* aFieldsDescriptor, TnxAbstractCursor* aCursor, TnxApplyAt aApplyAt,
                             TnxFieldsValidationsDescriptor* aValidationsDescriptor);
  static TnxClassList& GetList();
  // Nil without a table-level container or when none of its validations
  // applies at aApplyAt. The engine class is cached in aFieldsDescriptor;
  // unknown: 15503 "Unknown Validations engine: "<name>"".
  static TnxFieldsValidationsEngine* CreateFor(TnxFieldsDescriptor* aFieldsDescriptor, TnxApplyAt aApplyAt,
                                               TnxAbstractCursor* aCursor);
  void ValidateRecord(const void* aOldRecord, const void* aNewRecord) override;

 protected:
  TnxFieldsValidationsDescriptor* veFieldsValidationsDescriptor = nullptr;
};

struct TnxFieldValidationsEngineClassFuncs {
  TnxFieldValidationsEngine* (*create)(TnxFieldsDescriptor* aFieldsDescriptor, TnxAbstractCursor* aCursor,
                                       TnxApplyAt aApplyAt, TnxFieldValidationsDescriptor* aValidationsDescriptor,
                                       TnxFieldDescriptor* aFieldDescriptor);
};
template <class T>
inline constexpr TnxFieldValidationsEngineClassFuncs nxFieldValidationsEngineFuncs{
    [](TnxFieldsDescriptor* aFieldsDescriptor, TnxAbstractCursor* aCursor, TnxApplyAt aApplyAt,
       TnxFieldValidationsDescriptor* aValidationsDescriptor,
       TnxFieldDescriptor* aFieldDescriptor) -> TnxFieldValidationsEngine* {
      return platform::create<T>(aFieldsDescriptor, aCursor, aApplyAt, aValidationsDescriptor, aFieldDescriptor);
    }};

// One field: the required check (server side only), then its validations.
class TnxFieldValidationsEngine : public TnxBaseValidationsEngine {
  PL_CLASS_INFO_DECL()
 public:
  // aValidationsDescriptor may be nil (a required field without validations).
  TnxFieldValidationsEngine(TnxFieldsDescriptor* aFieldsDescriptor, TnxAbstractCursor* aCursor, TnxApplyAt aApplyAt,
                            TnxFieldValidationsDescriptor* aValidationsDescriptor,
                            TnxFieldDescriptor* aFieldDescriptor);
  static TnxClassList& GetList();
  // Nil when the field has nothing to check at aApplyAt; unknown container
  // class: 15503 "Unknown Validations engine: "<name>"".
  static TnxFieldValidationsEngine* CreateFor(TnxFieldsDescriptor* aFieldsDescriptor, std::int32_t aFieldIndex,
                                              TnxApplyAt aApplyAt, TnxAbstractCursor* aCursor);
  void ValidateRecord(const void* aOldRecord, const void* aNewRecord) override;

  TnxFieldDescriptor* FieldDescriptor() const { return veFieldDescriptor; }

 protected:
  TnxFieldDescriptor* veFieldDescriptor = nullptr;
  std::int32_t veFieldIndex = -1;
  TnxFieldValidationsDescriptor* veFieldValidationsDescriptor = nullptr;
};

// ---------------------------------------------------------------------------
// Validations

struct TnxValidationEngineClassFuncs {
  TnxBaseValidationEngine* (*create)(TnxBaseValidationsEngine* aParent, TnxAbstractCursor* aCursor,
                                     TnxBaseFieldValidationDescriptor* aDescriptor);
};
template <class T>
inline constexpr TnxValidationEngineClassFuncs nxValidationEngineFuncs{
    [](TnxBaseValidationsEngine* aParent, TnxAbstractCursor* aCursor,
       TnxBaseFieldValidationDescriptor* aDescriptor) -> TnxBaseValidationEngine* {
      return platform::create<T>(aParent, aCursor, aDescriptor);
    }};

class TnxBaseValidationEngine : public TnxBaseRegisterableEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseValidationEngine(TnxBaseValidationsEngine* aParent, TnxAbstractCursor* aCursor,
                          TnxBaseFieldValidationDescriptor* aDescriptor);
  TnxBaseValidationEngine(const TnxBaseValidationEngine&) = delete;
  TnxBaseValidationEngine& operator=(const TnxBaseValidationEngine&) = delete;
  static TnxClassList& GetList();
  // Nil for a nil descriptor and for one that does not apply at aApplyAt;
  // unknown class: 15503 "Unknown Validation engine: "<name>"".
  static TnxBaseValidationEngine* CreateFor(TnxBaseValidationsEngine* aParent,
                                            TnxBaseFieldValidationDescriptor* aDescriptor, TnxApplyAt aApplyAt,
                                            TnxAbstractCursor* aCursor);

  const nxString& Name() const { return bveName; }
  TnxBaseFieldValidationDescriptor* Descriptor() const { return bveDescriptor; }

 protected:
  TnxBaseValidationsEngine* bveParent = nullptr;
  TnxBaseFieldValidationDescriptor* bveDescriptor = nullptr;
  nxString bveName;
  TnxAbstractCursor* bveCursor = nullptr;
};

class TnxBaseFieldValidationEngine : public TnxBaseValidationEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseFieldValidationEngine(TnxBaseValidationsEngine* aParent, TnxAbstractCursor* aCursor,
                               TnxBaseFieldValidationDescriptor* aDescriptor);

  // The class of the exceptions RaiseError raises.
  virtual const TnxExceptionClassRef& ExceptionClass() const = 0;
  // The text after "failed: ": the placeholder of the code's standard text.
  virtual void GetErrorText(nxString& aText);
  // 'Field validation "<name>" for field "<field>" failed: <error text>'.
  [[noreturn]] virtual void RaiseError(TnxResult aErrorCode);
  // aOldField / aNewField: the field's bytes in the old / new buffer, nil
  // when that buffer is nil or the field is NULL there.
  virtual void ValidateField(const void* aOldField, const void* aOldRecord, const void* aNewField,
                             const void* aNewRecord) = 0;

  const nxString& FieldName() const { return bfvFieldName; }

 protected:
  [[noreturn]] void Raise(TnxResult aErrorCode, const nxString& aText);
  nxString bfvFieldName;  // empty under the table-level container
};

class TnxMinMaxValidationEngine : public TnxBaseFieldValidationEngine {
  PL_CLASS_INFO_DECL()
 public:
  // aDescriptor must be a TnxMinMaxValidationDescriptor with a key field.
  TnxMinMaxValidationEngine(TnxBaseValidationsEngine* aParent, TnxAbstractCursor* aCursor,
                            TnxBaseFieldValidationDescriptor* aDescriptor);
  ~TnxMinMaxValidationEngine() override;
  const TnxExceptionClassRef& ExceptionClass() const override;
  // A NULL new value passes; 9730 below the minimum, 9731 above the maximum,
  // compared as the validation's key field compares.
  void ValidateField(const void* aOldField, const void* aOldRecord, const void* aNewField,
                     const void* aNewRecord) override;

 protected:
  TnxMinMaxValidationDescriptor* mmveMinMaxDescriptor = nullptr;
  TnxOwned<TnxCompositeKeyFieldEngine> mmveKeyFieldEngine;
  const std::uint8_t* mmveMin = nullptr;  // nil: no bound
  const std::uint8_t* mmveMax = nullptr;
  std::vector<std::uint8_t> mmveMinBuffer;  // the bounds, at least a field long
  std::vector<std::uint8_t> mmveMaxBuffer;
};

class TnxNoChangeValidationEngine : public TnxBaseFieldValidationEngine {
  PL_CLASS_INFO_DECL()
 public:
  // aDescriptor must be a TnxNoChangeValidationDescriptor with a key field.
  TnxNoChangeValidationEngine(TnxBaseValidationsEngine* aParent, TnxAbstractCursor* aCursor,
                              TnxBaseFieldValidationDescriptor* aDescriptor);
  ~TnxNoChangeValidationEngine() override;
  const TnxExceptionClassRef& ExceptionClass() const override;
  // Only with both records: a changed value or a value becoming NULL raises
  // 10502; a NULL may receive a value.
  void ValidateField(const void* aOldField, const void* aOldRecord, const void* aNewField,
                     const void* aNewRecord) override;

 protected:
  TnxNoChangeValidationDescriptor* ncveNoChangeDescriptor = nullptr;
  TnxOwned<TnxCompositeKeyFieldEngine> ncveKeyFieldEngine;
};

// The required flag of a field; named "$required".
class TnxNotNullValidationEngine : public TnxBaseFieldValidationEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxNotNullValidationEngine(TnxBaseValidationsEngine* aParent, TnxAbstractCursor* aCursor,
                             TnxBaseFieldValidationDescriptor* aDescriptor);
  const TnxExceptionClassRef& ExceptionClass() const override;
  void ValidateField(const void* aOldField, const void* aOldRecord, const void* aNewField,
                     const void* aNewRecord) override;
};

// Validations that may stand at table level.
class TnxBaseFieldsValidationEngine : public TnxBaseFieldValidationEngine {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseFieldValidationEngine::TnxBaseFieldValidationEngine;
  virtual void ValidateRecord(const void* aOldRecord, const void* aNewRecord) = 0;
  // Without a field name: 'Fields validation "<name>" failed: <error text>'.
  [[noreturn]] void RaiseError(TnxResult aErrorCode) override;
};

class TnxSqlCheckValidationEngine : public TnxBaseFieldsValidationEngine {
  PL_CLASS_INFO_DECL()
 public:
  // aDescriptor must be a TnxSqlCheckValidationDescriptor. The statement is
  // compiled here when SqlCheckStatementClass is set (its failures pass
  // through).
  TnxSqlCheckValidationEngine(TnxBaseValidationsEngine* aParent, TnxAbstractCursor* aCursor,
                              TnxBaseFieldValidationDescriptor* aDescriptor);
  ~TnxSqlCheckValidationEngine() override;
  const TnxExceptionClassRef& ExceptionClass() const override;
  // The descriptor's error message when it has one.
  void GetErrorText(nxString& aText) override;
  // 12289 without a statement; 9751 when the condition is False or its
  // evaluation raises; an unknown result passes.
  void ValidateField(const void* aOldField, const void* aOldRecord, const void* aNewField,
                     const void* aNewRecord) override;
  void ValidateRecord(const void* aOldRecord, const void* aNewRecord) override;

  TnxBaseSqlCheckStatement* Statement() const { return scveSqlCheckStatement.get(); }

 protected:
  TnxSqlCheckValidationDescriptor* scveSqlCheckDescriptor = nullptr;
  TnxOwned<TnxBaseSqlCheckStatement> scveSqlCheckStatement;  // nil without a statement class
};

// ---------------------------------------------------------------------------
// The handler

class TnxValidationsHandler : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  // REQUIRES: aFieldsDescriptor outlives the handler. Use CreateFor.
  explicit TnxValidationsHandler(TnxFieldsDescriptor* aFieldsDescriptor);
  TnxValidationsHandler(const TnxValidationsHandler&) = delete;
  TnxValidationsHandler& operator=(const TnxValidationsHandler&) = delete;

  // Nil when no container engine applies at aApplyAt.
  static TnxValidationsHandler* CreateFor(TnxFieldsDescriptor* aFieldsDescriptor, TnxApplyAt aApplyAt,
                                          TnxAbstractCursor* aCursor);
  // The table level first, then the fields in order; the first violation
  // raises and ends the run.
  void ValidateRecord(const void* aOldRecord, const void* aNewRecord);
  // aField -1: the table level; otherwise that field; nothing where there is
  // no container.
  void ValidateField(const void* aOldRecord, const void* aNewRecord, std::int32_t aField);

  TnxFieldsValidationsEngine* FieldsEngine() const { return vhFieldsEngine; }
  // Nil for a field without checks or outside the list.
  TnxFieldValidationsEngine* FieldEngine(std::int32_t aField) const;

 private:
  TnxFieldsDescriptor* vhFieldsDescriptor = nullptr;
  std::vector<TnxOwned<TnxBaseValidationsEngine>> vhEngines;
  TnxFieldsValidationsEngine* vhFieldsEngine = nullptr;
  std::vector<TnxFieldValidationsEngine*> vhEnginesByIndex;  // one per field, nil = none
};

// ---------------------------------------------------------------------------
// The CHECK statement

struct TnxSqlCheckStatementClassFuncs {
  TnxBaseSqlCheckStatement* (*create)(TnxFieldsDescriptor* aFieldsDescriptor, TnxFieldDescriptor* aFieldDescriptor,
                                      TnxAbstractCursor* aCursor, const nxString& aSqlText);
};
template <class T>
inline constexpr TnxSqlCheckStatementClassFuncs nxSqlCheckStatementFuncs{
    [](TnxFieldsDescriptor* aFieldsDescriptor, TnxFieldDescriptor* aFieldDescriptor, TnxAbstractCursor* aCursor,
       const nxString& aSqlText) -> TnxBaseSqlCheckStatement* {
      return platform::create<T>(aFieldsDescriptor, aFieldDescriptor, aCursor, aSqlText);
    }};

// Column handles of ResolveCheckColumn: the checked field itself (NEW), and
// the offset that marks the old record.
inline constexpr std::int32_t nxCheckColumnField = 0xFFFF;
inline constexpr std::int32_t nxCheckColumnOld = 0x10000;

// One compiled CHECK condition; the SQL layer supplies the concrete class.
// Its expression context resolves and reads columns through
// ResolveCheckColumn and GetCheckColumnValue.
class TnxBaseSqlCheckStatement : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  // aFieldDescriptor: the field of a field-level check, nil at table level.
  TnxBaseSqlCheckStatement(TnxFieldsDescriptor* aFieldsDescriptor, TnxFieldDescriptor* aFieldDescriptor,
                           TnxAbstractCursor* aCursor, const nxString& aSqlText);
  TnxBaseSqlCheckStatement(const TnxBaseSqlCheckStatement&) = delete;
  TnxBaseSqlCheckStatement& operator=(const TnxBaseSqlCheckStatement&) = delete;

  // Evaluates with the four pointers of this call set; any exception of the
  // evaluation counts as False. The pointers are cleared in every case.
  bool ValidateField(const void* aOldField, const void* aOldRecord, const void* aNewField, const void* aNewRecord);

  // The column handle of aName: at field level "NEW" is nxCheckColumnField
  // and "OLD" that plus nxCheckColumnOld; otherwise an "OLD$" prefix adds
  // nxCheckColumnOld to the field's number. An unknown name answers the
  // negative lookup result; a BLOB field -1 unless BlobsSupported.
  std::int32_t ResolveCheckColumn(const nxString& aName, TnxFieldType& aType, TnxLocaleDescriptor*& aLocaleDescriptor,
                                  std::int32_t& aDecPl, std::int32_t& aUnits);
  // Null for a missing buffer, a NULL field or an unknown handle.
  void GetCheckColumnValue(std::int32_t aHandle, platform::Variant& aValue);

  virtual bool BlobsSupported() { return false; }
  // The value of a BLOB column; the base answers Null.
  virtual void GetBlobValue(TnxFieldDescriptor* aFieldDescriptor, bool aOld, platform::Variant& aValue,
                            TnxBlobNr aBlobNr);

 protected:
  // True unless the condition is False for the records of this call.
  virtual bool EvaluateCheck() = 0;

  TnxFieldsDescriptor* bscsFieldsDescriptor = nullptr;
  TnxFieldDescriptor* bscsFieldDescriptor = nullptr;
  std::int32_t bscsFieldIndex = -1;
  std::int32_t bscsFieldSize = 0;
  TnxFieldType bscsFieldType = nxtBoolean;
  std::uint16_t bscsFieldCodepage = 0;
  std::int32_t bscsFieldUnits = 0;
  std::int32_t bscsFieldDecPl = 0;
  TnxAbstractCursor* bscsCursor = nullptr;
  const void* bscsOldRecord = nullptr;
  const void* bscsOldField = nullptr;
  const void* bscsNewRecord = nullptr;
  const void* bscsNewField = nullptr;
};

// The SQL layer's CHECK statement class (a TnxBaseSqlCheckStatement class
// carrying a TnxSqlCheckStatementClassFuncs table); nil until the SQL
// engine's module installs it. Read when an SQL check engine is built.
extern std::atomic<const platform::ClassInfo*> SqlCheckStatementClass;
// Installs aClass when nothing is installed; True when it did.
bool nxInstallSqlCheckStatementClass(const platform::ClassInfo& aClass);
// Resets the reference to nil only when it still holds aClass.
bool nxResetSqlCheckStatementClass(const platform::ClassInfo& aClass);

// Module start-up and finalisation, counted; listed in the dictionary's
// start-up table (registers the container and validation engines).
void nxsdValidationEngineInitialize();
void nxsdValidationEngineFinalize();
