// The execution context handed to every evaluation and execution of a
// statement tree: the database proxy, the locals and their values, the
// chain of execution scopes that drives blocks and loops (LEAVE, ITERATE,
// RETURN), the counters of the statement last run, and the stamps on which
// the value caches of expression nodes key.
//
// Stamps: ContextID and Generation come from two process-wide 64-bit atomic
// counters, so a ContextID is unique across threads and a Generation never
// repeats within a process run (a 32-bit counter would wrap and let a stale
// cached value through). Every movement of control takes a new Generation.
//
// Ownership: the context does not own its database proxy, its string-literal
// locale or the definitions of the locals handed to DefineLocals; it owns
// the definitions of its two internal locals and its value list. Scope
// records live on the stack frames of the block and loop executions.
//
// Thread safety: a context is used by one thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "nxsqlBase.h"
#include "nxsqlBaseVariantList.h"
#include "plDateTime.h"

class TnxSqlDatabaseProxy;
class TnxLocaleDescriptor;
class TnxList;

enum TnxSqlDefaultType : std::uint8_t {
  dtNull,
  dtLiteral,
  dtEmpty,
  dtDate,
  dtTime,
  dtDateTime,
  dtNewGuid,
  dtCurrentUser,
  dtNextLSN,
};

enum TnxSqlTriggerAction : std::uint8_t { taNone, taInserting, taUpdating, taDeleting };

enum TnxSqlExecScopeType : std::uint8_t { estMainBlock = 0, estBlock = 1, estLoop = 2 };

// What the context needs of a local's definition (parameter and local
// definitions implement it). Not reference counted: the definition's owner
// keeps it alive while the context uses it.
class InxSqlLocalDef {
 public:
  virtual nxString LocalName() const = 0;
  virtual TnxFieldType LocalDataType() const = 0;
  virtual std::int32_t LocalSize() const = 0;
  virtual std::int32_t LocalDecimals() const = 0;
  virtual std::int32_t LocalLocale() const = 0;  // locale id, 0 for none
  virtual TnxSqlDefaultType LocalDefaultType() const = 0;
  // The default literal's value evaluated with aContext (dtLiteral only).
  virtual platform::Variant LocalDefaultValue(TnxSqlContext& aContext) = 0;

 protected:
  ~InxSqlLocalDef() = default;
};

// The definition of the context's internal locals: Int32, no default.
class TnxSqlParmDefInternal : public TnxObject, public InxSqlLocalDef {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxSqlParmDefInternal(nxString aName) : FNameStr(std::move(aName)) {}
  nxString LocalName() const override { return FNameStr; }
  TnxFieldType LocalDataType() const override { return nxtInt32; }
  std::int32_t LocalSize() const override { return 0; }
  std::int32_t LocalDecimals() const override { return 0; }
  std::int32_t LocalLocale() const override { return 0; }
  TnxSqlDefaultType LocalDefaultType() const override { return dtNull; }
  platform::Variant LocalDefaultValue(TnxSqlContext&) override { return platform::Variant::null(); }

 private:
  nxString FNameStr;
};

// One execution scope, placed by the caller on its own stack frame.
struct TnxSqlExecScope {
  TnxSqlExecScope* esPrev = nullptr;
  std::int32_t FPC = -1;
  std::int32_t FEndPC = -1;
  TnxSqlExecScopeType FScopeType = estMainBlock;
  bool FBreakCalled = false;

  explicit TnxSqlExecScope(TnxSqlExecScopeType aScopeType) : FScopeType(aScopeType) { Reset(); }
  TnxSqlExecScope(const TnxSqlExecScope&) = delete;
  TnxSqlExecScope& operator=(const TnxSqlExecScope&) = delete;

  void Reset() {
    FPC = -1;
    FEndPC = -1;
    FBreakCalled = false;
  }
  bool Next() { return ++FPC < FEndPC; }
  bool Done() const { return FPC >= FEndPC; }
  void Break() {
    FPC = FEndPC;
    FBreakCalled = true;
  }
  // Loop scopes only: ends the current round.
  void Continue();
  void Free() {}
};

// A local given to DefineLocals.
struct TnxSqlLocalItem {
  nxString Name;
  InxSqlLocalDef* Def;
};

using TnxSqlExternalColumnResolver =
    std::function<std::int32_t(const nxString& ColumnName, TnxFieldType& ColType, std::int32_t& ColSize,
                               std::int32_t& ColDec, TnxLocaleDescriptor*& ColLocaleDesc)>;
using TnxSqlExternalColumnGetter = std::function<platform::Variant(std::int32_t Index)>;

class TnxSqlContext : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  TnxSqlContext(TnxSqlDatabaseProxy* aDatabase, platform::DateTime aStartDateTime,
                TnxLocaleDescriptor* aDefaultStringLiteralLocale);
  ~TnxSqlContext() override;

  // ---- scopes
  void PushExecScope(TnxSqlExecScope& Scope);
  TnxSqlExecScope* PopExecScope(bool aFree);
  void SetEndPC(std::int32_t EndPC);
  bool Next();
  std::int32_t PC();
  bool Done();
  bool BreakCalled();
  void Break();     // LEAVE
  void Continue();  // ITERATE
  void Return();
  TnxSqlExecScope* ExecScopesTail() const { return FExecScopesTail; }

  // ---- locals
  // Defines aList and the two internal locals, each set to its default.
  void DefineLocals(std::span<const TnxSqlLocalItem> aList);
  // The value slot and definition of a local; null when unknown.
  platform::Variant* LookUpLocal(const nxString& VarName, InxSqlLocalDef*& LocalDef);
  std::int32_t LookUpLocalIndex(const nxString& VarName) const;
  TnxLocaleDescriptor* LookUpLocalLocaleDesc(const nxString& VarName);
  platform::Variant GetValue(const nxString& VarName);
  platform::Variant TryGetValue(const nxString& VarName);
  void SetValue(const nxString& VarName, const platform::Variant& Value, TnxLocaleDescriptor* aLocale);
  void SetToDefault(const nxString& VarName);

  void IncGeneration();
  void UpdateTime();

  // ---- properties
  TnxSqlDatabaseProxy* DatabaseProxy() const { return FDataBase; }
  TnxSqlDatabaseProxy* DataBase() const { return FDataBase; }
  TnxLocaleDescriptor* DefaultStringLiteralLocale() const { return FDefaultStringLiteralLocale; }
  platform::DateTime StartDateTime() const { return FStartDateTime; }
  TnxSqlTriggerAction TriggerAction() const { return FTriggerAction; }
  void SetTriggerAction(TnxSqlTriggerAction aAction) { FTriggerAction = aAction; }
  std::int32_t RowsAffected() const { return FRowsAffected; }
  void SetRowsAffected(std::int32_t aValue) { FRowsAffected = aValue; }
  std::int32_t RowsRead() const { return FRowsRead; }
  void SetRowsRead(std::int32_t aValue) { FRowsRead = aValue; }
  bool IsSqlFilter() const { return FIsSqlFilter; }
  void SetIsSqlFilter(bool aValue) { FIsSqlFilter = aValue; }
  std::uint32_t ExceptionErrorCode() const { return FExceptionErrorCode; }
  const nxString& ExceptionMessage() const { return FExceptionMessage; }
  void SetException(std::uint32_t aCode, const nxString& aMessage) {
    FExceptionErrorCode = aCode;
    FExceptionMessage = aMessage;
  }
  const TnxSqlExternalColumnResolver& ExternalColumnResolver() const { return FExternalColumnResolver; }
  void SetExternalColumnResolver(TnxSqlExternalColumnResolver aResolver) {
    FExternalColumnResolver = std::move(aResolver);
  }
  const TnxSqlExternalColumnGetter& ExternalColumnGetter() const { return FExternalColumnGetter; }
  void SetExternalColumnGetter(TnxSqlExternalColumnGetter aGetter) { FExternalColumnGetter = std::move(aGetter); }

  // Public state read and written by the statements.
  bool AllowNull = false;
  const std::uint8_t* fIteratorValues = nullptr;  // current index key of a grouped walk
  void* fIteratorData = nullptr;
  TnxList* GlobalFilters = nullptr;
  std::int32_t FetchStatus = -1;
  bool ExecDirect = false;
  bool PadValues = true;
  const std::int64_t ContextID;
  std::int64_t Generation = 0;
  std::int64_t RecordsRead = 0;

 private:
  struct LocalEntry {
    nxString Name;
    InxSqlLocalDef* Def;
    std::int32_t Slot;  // index in FLocalValues
  };
  TnxSqlExecScope& Innermost();
  // The innermost scope of aType, ending the scopes inside it on the way.
  TnxSqlExecScope* EndScopesUpTo(TnxSqlExecScopeType aType);
  const LocalEntry* FindLocal(const nxString& VarName) const;

  TnxSqlDatabaseProxy* FDataBase;
  TnxIntfPtr<InxVariantList> FLocalValues;
  std::vector<LocalEntry> FLocals;  // sorted by name, case-insensitive
  std::uint32_t FExceptionErrorCode = 0;
  nxString FExceptionMessage;
  TnxSqlExecScope* FExecScopesTail = nullptr;
  TnxSqlExternalColumnResolver FExternalColumnResolver;
  TnxSqlExternalColumnGetter FExternalColumnGetter;
  TnxSqlTriggerAction FTriggerAction = taNone;
  platform::DateTime FStartDateTime;
  std::int32_t FRowsAffected = 0;
  std::int32_t FRowsRead = 0;
  bool FIsSqlFilter = false;
  TnxLocaleDescriptor* FDefaultStringLiteralLocale;
  std::vector<TnxOwned<TnxSqlParmDefInternal>> FInternalDefs;
};
