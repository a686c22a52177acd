#include "nxsqlBaseContext.h"

#include <algorithm>
#include <cmath>

#include "plCaseFold.h"
#include "plGuid.h"

PL_CLASS_INFO_IMPL(TnxSqlParmDefInternal, TnxObject, "TnxSqlParmDefInternal", nullptr)
PL_CLASS_INFO_IMPL(TnxSqlContext, TnxObject, "TnxSqlContext", nullptr)

namespace {

std::atomic<std::int64_t> gContextCounter{0};
std::atomic<std::int64_t> gGenerationCounter{0};

bool nameLess(const nxString& a, const nxString& b) { return platform::compareFoldCase(a, b) < 0; }

}  // namespace

void TnxSqlExecScope::Continue() {
  if (FScopeType != estLoop) throw EnxInternalSQLException(u"Continue is not allowed here");
  FPC = FEndPC;
}

TnxSqlContext::TnxSqlContext(TnxSqlDatabaseProxy* aDatabase, platform::DateTime aStartDateTime,
                             TnxLocaleDescriptor* aDefaultStringLiteralLocale)
    : ContextID(gContextCounter.fetch_add(1) + 1),
      FDataBase(aDatabase),
      FStartDateTime(aStartDateTime),
      FDefaultStringLiteralLocale(aDefaultStringLiteralLocale) {}

TnxSqlContext::~TnxSqlContext() = default;

void TnxSqlContext::IncGeneration() { Generation = gGenerationCounter.fetch_add(1) + 1; }

void TnxSqlContext::UpdateTime() { FStartDateTime = platform::now(); }

// ------------------------------------------------------------------ scopes

TnxSqlExecScope& TnxSqlContext::Innermost() {
  nxAssert(FExecScopesTail != nullptr, "no execution scope");
  return *FExecScopesTail;
}

void TnxSqlContext::PushExecScope(TnxSqlExecScope& Scope) {
  IncGeneration();
  Scope.esPrev = FExecScopesTail;
  FExecScopesTail = &Scope;
}

TnxSqlExecScope* TnxSqlContext::PopExecScope(bool aFree) {
  IncGeneration();
  TnxSqlExecScope* scope = FExecScopesTail;
  if (!scope) return nullptr;
  FExecScopesTail = scope->esPrev;
  scope->esPrev = nullptr;
  if (aFree) scope->Free();
  return scope;
}

void TnxSqlContext::SetEndPC(std::int32_t EndPC) { Innermost().FEndPC = EndPC; }

bool TnxSqlContext::Next() {
  IncGeneration();
  return Innermost().Next();
}

std::int32_t TnxSqlContext::PC() { return Innermost().FPC; }

bool TnxSqlContext::Done() {
  IncGeneration();
  return Innermost().Done();
}

bool TnxSqlContext::BreakCalled() { return Innermost().FBreakCalled; }

TnxSqlExecScope* TnxSqlContext::EndScopesUpTo(TnxSqlExecScopeType aType) {
  for (TnxSqlExecScope* s = FExecScopesTail; s; s = s->esPrev) {
    if (s->FScopeType == aType) return s;
    s->Break();
  }
  return nullptr;
}

void TnxSqlContext::Break() {
  IncGeneration();
  TnxSqlExecScope* loop = EndScopesUpTo(estLoop);
  if (!loop) throw EnxInternalSQLException(u"BREAK may not appear outside loops");
  loop->Break();
}

void TnxSqlContext::Continue() {
  IncGeneration();
  TnxSqlExecScope* loop = EndScopesUpTo(estLoop);
  if (!loop) throw EnxInternalSQLException(u"CONTINUE may not appear outside loops");
  loop->FPC = loop->FEndPC;  // the round ends; the loop decides on the next one
}

void TnxSqlContext::Return() {
  IncGeneration();
  TnxSqlExecScope* main = EndScopesUpTo(estMainBlock);
  if (!main) throw EnxInternalSQLException(u"RETURN may not appear outside loops");
  main->Break();
}

// ------------------------------------------------------------------ locals

void TnxSqlContext::DefineLocals(std::span<const TnxSqlLocalItem> aList) {
  std::vector<LocalEntry> locals;
  locals.reserve(aList.size() + 2);
  for (const TnxSqlLocalItem& item : aList) locals.push_back({item.Name, item.Def, 0});
  std::vector<TnxOwned<TnxSqlParmDefInternal>> internals;
  for (const char16_t* name : {u"$SQL$NO_HASH_JOIN", u"$SQL$NO_MERGE_JOIN"}) {
    internals.emplace_back(platform::create<TnxSqlParmDefInternal>(name));
    locals.push_back({name, internals.back().get(), 0});
  }
  // One name is one local: the first definition of a name wins.
  std::stable_sort(locals.begin(), locals.end(),
                   [](const LocalEntry& a, const LocalEntry& b) { return nameLess(a.Name, b.Name); });
  locals.erase(std::unique(locals.begin(), locals.end(),
                           [](const LocalEntry& a, const LocalEntry& b) {
                             return platform::compareFoldCase(a.Name, b.Name) == 0;
                           }),
               locals.end());
  for (std::size_t i = 0; i < locals.size(); ++i) locals[i].Slot = std::int32_t(i);

  TnxIntfPtr<InxVariantList> values;
  nxNewVariantList(std::int32_t(locals.size()), values);
  for (std::int32_t i = 0; i < values->GetCount(); ++i) values->SetValue(i, platform::Variant::null(), nullptr);

  FLocals = std::move(locals);
  FLocalValues = std::move(values);
  FInternalDefs = std::move(internals);
  for (const LocalEntry& e : FLocals) SetToDefault(e.Name);
}

const TnxSqlContext::LocalEntry* TnxSqlContext::FindLocal(const nxString& VarName) const {
  const auto it = std::lower_bound(FLocals.begin(), FLocals.end(), VarName,
                                   [](const LocalEntry& e, const nxString& n) { return nameLess(e.Name, n); });
  if (it == FLocals.end() || platform::compareFoldCase(it->Name, VarName) != 0) return nullptr;
  return &*it;
}

platform::Variant* TnxSqlContext::LookUpLocal(const nxString& VarName, InxSqlLocalDef*& LocalDef) {
  const LocalEntry* e = FindLocal(VarName);
  if (!e) return nullptr;
  LocalDef = e->Def;
  return FLocalValues->GetValuePtr(e->Slot);
}

std::int32_t TnxSqlContext::LookUpLocalIndex(const nxString& VarName) const {
  const LocalEntry* e = FindLocal(VarName);
  return e ? std::int32_t(e - FLocals.data()) : -1;
}

TnxLocaleDescriptor* TnxSqlContext::LookUpLocalLocaleDesc(const nxString& VarName) {
  const LocalEntry* e = FindLocal(VarName);
  if (!e) return nullptr;
  TnxLocaleDescriptor* locale = nullptr;
  platform::Variant ignored;
  FLocalValues->GetValue(e->Slot, locale, ignored);
  return locale;
}

platform::Variant TnxSqlContext::GetValue(const nxString& VarName) {
  const LocalEntry* e = FindLocal(VarName);
  if (!e)
    throw EnxInternalSQLException(u"Error in TnxSqlContext.GetValue - local variable %s not found", {VarName});
  return FLocalValues->GetValueFast(e->Slot);
}

platform::Variant TnxSqlContext::TryGetValue(const nxString& VarName) {
  const LocalEntry* e = FindLocal(VarName);
  return e ? FLocalValues->GetValueFast(e->Slot) : platform::Variant::null();
}

void TnxSqlContext::SetValue(const nxString& VarName, const platform::Variant& Value,
                             TnxLocaleDescriptor* aLocale) {
  const LocalEntry* e = FindLocal(VarName);
  if (!e)
    throw EnxInternalSQLException(u"Error in TnxSqlContext.SetValue - local variable %s not found", {VarName});
  FLocalValues->SetValue(e->Slot, Value, aLocale);
}

void TnxSqlContext::SetToDefault(const nxString& VarName) {
  const LocalEntry* e = FindLocal(VarName);
  if (!e)
    throw EnxInternalSQLException(u"Error in TnxSqlContext.SetValue - local variable %s not found", {VarName});
  FLocalValues->SetValue(e->Slot, platform::Variant());
  platform::Variant value;
  switch (e->Def->LocalDefaultType()) {
    case dtLiteral:
      value = e->Def->LocalDefaultValue(*this);
      break;
    case dtDate:
      value = platform::Variant::fromDate(std::trunc(FStartDateTime));
      break;
    case dtTime:
      value = platform::Variant::fromDate(std::fabs(FStartDateTime - std::trunc(FStartDateTime)));
      break;
    case dtDateTime:
      value = platform::Variant::fromDate(FStartDateTime);
      break;
    case dtNewGuid:
      value = platform::Variant::fromOleStr(platform::guidToString(platform::newGuid()));
      break;
    case dtNull:
    case dtEmpty:
      value = platform::Variant::null();
      break;
    default:
      return;  // left unassigned
  }
  FLocalValues->SetValue(e->Slot, value);
}
