#include "nxsqlBase.h"

#include <memory>

#include "nxSQLTok.h"
#include "nxllLockedFuncs.h"
#include "plFormat.h"

NX_IMPLEMENT_EXCEPTION(EnxInternalSQLException, EnxBaseException)

NX_SQL_ABSTRACT_NODE_CLASS_IMPL(TnxSqlNode, TnxObject)
NX_SQL_ABSTRACT_NODE_CLASS_IMPL(TnxSqlRootNode, TnxSqlNode)

// ------------------------------------------------------------------ nodes

TnxSqlNode::TnxSqlNode(TnxSqlNode* AParent) : FParent(AParent) {
  if (!AParent) return;
  if (AParent->is<TnxSqlRootNode>()) {
    FOwner = static_cast<TnxSqlRootNode*>(AParent);
  } else {
    nxAssert(AParent->FOwner != nullptr, "node created under a parent without owner");
    FOwner = AParent->FOwner;
  }
}

TnxSqlNode* TnxSqlNode::CreateOfClass(const platform::ClassInfo& aClass, TnxSqlNode* AParent) {
  const auto* funcs = aClass.table<TnxSqlNodeClassFuncs>();
  nxAssert(funcs != nullptr && aClass.inheritsFrom(TnxSqlNode::staticClassInfo()), "not a concrete node class");
  return funcs->create(AParent);
}

TnxSqlFieldProxy* TnxSqlNode::BindColumn(TnxSqlContext* Context, bool aInAggregate, const nxString& DatabaseName,
                                         const nxString& TableName, const nxString& ColumnName,
                                         const nxString& SourceLoc, TnxSqlNode* BindingNode,
                                         TnxSqlBindingStyle BindingStyle, bool& aIsOuterReference,
                                         bool MustSucceed) {
  if (TnxSqlNode* p = GetContextParent())
    return p->BindColumn(Context, aInAggregate, DatabaseName, TableName, ColumnName, SourceLoc, BindingNode,
                         BindingStyle, aIsOuterReference, MustSucceed);
  if (!MustSucceed) return nullptr;
  if (!TableName.empty())
    throw EnxInternalSQLException(u"No node could resolve the column %s.%s %s", {TableName, ColumnName, SourceLoc});
  throw EnxInternalSQLException(u"Unknown column %s", {ColumnName + SourceLoc});
}

std::int32_t TnxSqlNode::GetDecimals(TnxSqlContext*) { return 0; }
std::int32_t TnxSqlNode::GetSize(TnxSqlContext*) { return 0; }

TnxFieldType TnxSqlNode::GetType(TnxSqlContext*) {
  nxAssert(false, "GetType of a node without a value");
  return nxtBoolean;
}

void TnxSqlNode::LogNormal(const nxString& S) {
  if (FParent) FParent->LogNormal(S);
}
void TnxSqlNode::LogVerbose(const nxString& S) {
  if (FParent) FParent->LogVerbose(S);
}
bool TnxSqlNode::GetLogging() const { return FParent && FParent->GetLogging(); }
bool TnxSqlNode::GetVerboseLogging() const { return FParent && FParent->GetVerboseLogging(); }
void TnxSqlNode::Indent() {
  if (FParent) FParent->Indent();
}
void TnxSqlNode::Outdent() {
  if (FParent) FParent->Outdent();
}

bool TnxSqlNode::NodesIdentical(const TnxSqlNode* N1, const TnxSqlNode* N2) {
  if (!N1 || !N2) return !N1 && !N2;
  return N1->Equals(N2);
}

bool TnxSqlNode::IsParentTo(const TnxSqlNode* aChildNode) const {
  if (!aChildNode) return false;
  for (const TnxSqlNode* p = aChildNode->FParent; p; p = p->FParent)
    if (p == this) return true;
  return false;
}

TnxSqlNode* TnxSqlNode::GetOwnerSelect() {
  if (FOwnerSelect) return FOwnerSelect;
  // The SELECT class belongs to a higher module; its registration is its identity here.
  const platform::ClassInfo* selectClass = FindSqlNodeClass("TnxSqlSELECT");
  if (!selectClass) return nullptr;
  for (TnxSqlNode* p = this; p; p = p->FParent)
    if (p->inheritsFrom(*selectClass)) {
      FOwnerSelect = p;
      return p;
    }
  return nullptr;
}

// ---------------------------------------------------------------- raisers

void TnxSqlNode::StatementError(const nxString& aText) {
  throw EnxInternalSQLException(u"Error in statement: %s", {aText});
}

void TnxSqlNode::ErrorUnknownColumn(const nxString& aName) { StatementError(u"Unknown column: " + aName); }

void TnxSqlNode::ErrorUnknownQualifiedColumn(const nxString& aTable, const nxString& aColumn) {
  ErrorUnknownColumn(aTable + u"." + aColumn);
}

void TnxSqlNode::ErrorUnknownColumnAt(PTokenRecord aToken) {
  ErrorUnknownColumn(TokenRecToStr(aToken) + TokenRecToLocation(aToken));
}

void TnxSqlNode::ErrorUnresolvedIdentifier(const nxString& aQualifier, const nxString& aName,
                                           const nxString& aSuffix) {
  nxString text = u"Unable to resolve the identifier ";
  if (!aQualifier.empty()) text += u"\"" + nxStripQuotes(aQualifier) + u"\".";
  text += u"\"" + nxStripQuotes(aName) + u"\"" + aSuffix;
  StatementError(text);
}

void TnxSqlNode::ErrorUnableToOpenTable(const nxString& aName, const nxString& aText) {
  StatementError(u"Unable to open table: \"" + aName + u"\" " + aText);
}

void TnxSqlNode::ErrorUnableToOpenTableAt(const nxString& aName, PTokenRecord aToken) {
  nxString text = u"Unable to open table: \"" + aName + u"\"";
  if (aToken) text += u" " + TokenRecToLocation(aToken);
  StatementError(text);
}

void TnxSqlNode::ErrorInvalidColumnReference(const nxString& aText) {
  StatementError(aText.empty() ? nxString(u"Invalid column reference") : u"Invalid column reference:" + aText);
}

void TnxSqlNode::ErrorNotImplemented(const nxString& aName) { StatementError(u"Method not implemented:" + aName); }

void TnxSqlNode::ErrorTypeMismatch(const nxString& aText) const {
  StatementError(u"Type mismatch" + aText + u" [" + ToString() + u"]");
}

void TnxSqlNode::ErrorNotCompatible(const TnxSqlNode& Source) const {
  const std::string_view sourceName = Source.className();
  const std::string_view ownName = className();
  throw EnxInternalSQLException(u"%s not compatible with %s",
                                {nxString(sourceName.begin(), sourceName.end()),
                                 nxString(ownName.begin(), ownName.end())});
}

// --------------------------------------------------------------- registry

namespace {

TnxUseCount gBaseUseCount{0};
// Sorted, case-insensitive; created on the first registration.
std::unique_ptr<platform::ClassRegistry> gNodeClasses;

}  // namespace

void RegisterSqlNodeClass(const platform::ClassInfo& aNodeClass) {
  nxAssert(aNodeClass.table<TnxSqlNodeClassFuncs>() != nullptr &&
               aNodeClass.inheritsFrom(TnxSqlNode::staticClassInfo()),
           "not a concrete node class");
  if (!gNodeClasses) gNodeClasses = std::make_unique<platform::ClassRegistry>();
  if (!gNodeClasses->add(aNodeClass)) throw EnxInternalSQLException(u"Class already registered");
}

void UnregisterSqlNodeClass(const platform::ClassInfo& aNodeClass) {
  if (gNodeClasses) gNodeClasses->removeClass(aNodeClass);
}

const platform::ClassInfo* FindSqlNodeClass(std::string_view aClassName) {
  return gNodeClasses ? gNodeClasses->find(aClassName) : nullptr;
}

TnxSqlNode* CreateSqlNodeByClassName(std::string_view aClassName, TnxSqlNode* AParent) {
  if (aClassName.empty()) return nullptr;
  const platform::ClassInfo* cls = FindSqlNodeClass(aClassName);
  if (!cls)
    throw EnxInternalSQLException(u"Type %s is not registered with the PSM streaming system",
                                  {nxString(aClassName.begin(), aClassName.end())});
  return TnxSqlNode::CreateOfClass(*cls, AParent);
}

void nxsqlBaseInitialize() {
  static const TnxModuleDependency deps[] = {{nxSQLTokInitialize, nxSQLTokFinalize}};
  nxUseCountStart(gBaseUseCount, deps, [] {
    if (!gNodeClasses) gNodeClasses = std::make_unique<platform::ClassRegistry>();
  });
}

void nxsqlBaseFinalize() {
  static const TnxModuleDependency deps[] = {{nxSQLTokInitialize, nxSQLTokFinalize}};
  nxUseCountFinish(gBaseUseCount, deps, [] { gNodeClasses.reset(); });
}

// --------------------------------------------------------------- utilities

TnxSqlTriStateBool nxVarToTriStateBool(const platform::Variant& V) {
  if (V.isNull()) return tsbUnknown;
  if (V.isEmpty() || V.isArray()) return tsbFalse;
  try {
    return platform::varCompareValue(V, platform::Variant(true)) == platform::VarRelationship::Equal ? tsbTrue
                                                                                                   : tsbFalse;
  } catch (const platform::RuntimeError&) {
    return tsbFalse;  // a value that cannot meet True is not True
  }
}

platform::Variant nxTriStateBoolToVar(TnxSqlTriStateBool T) {
  switch (T) {
    case tsbFalse:
      return platform::Variant(false);
    case tsbTrue:
      return platform::Variant(true);
    default:
      return platform::Variant::null();
  }
}

namespace {

constexpr std::u16string_view kTypeWords[nxFieldTypeCount] = {
    u" BOOL",     u" CHAR",      u" NCHAR",      u" TINYINT",   u" WORD",        u" DWORD",      u" SHORTINT",
    u" SMALLINT", u" INT",       u" LARGEINT",   u" AUTOINC",   u" FLOAT",       u" REAL",       u" EXTENDED",
    u" MONEY",    u" DATE",      u" TIME",       u" DATETIME",  u" INTERVAL",    u" BLOB",       u" TEXT",
    u" IMAGE",    u" BYTEARRAY", u" SHORTSTRING", u" NULLSTRING", u" NVARCHAR",  u" RECREV",     u" GUID",
    u" DECIMAL",  u" NTEXT",     u" FMTBCD",     u" REFNR"};

nxString intText(std::int32_t aValue) { return platform::format(u"%d", {aValue}); }

}  // namespace

nxString nxSqlFieldTypeText(TnxFieldType DataType, std::int32_t DecimalPlaces, std::int32_t Size) {
  if (DataType >= nxFieldTypeCount) return {};
  nxString result(kTypeWords[DataType]);
  switch (DataType) {
    case nxtSingle:
    case nxtDouble:
    case nxtExtended:
    case nxtCurrency:
      if (DecimalPlaces != 0) result += u"(" + intText(DecimalPlaces) + u")";
      break;
    case nxtShortString:
    case nxtNullString:
    case nxtWideString:
      result += u"(" + intText(Size) + u")";
      break;
    case nxtBCD:
    case nxtFmtBCD:
      result += u"(" + intText(Size) + u", " + intText(DecimalPlaces) + u")";
      break;
    default:
      break;
  }
  return result;
}

namespace {

bool isLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }
bool isNameDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

bool isSafeNameChar(char16_t c) {
  if (isLetter(c) || isNameDigit(c)) return true;
  switch (c) {
    case u' ': case u'!': case u'#': case u'$': case u'%': case u'&': case u'(': case u')':
    case u'+': case u'-': case u'.': case u'@': case u'[': case u']': case u'^': case u'_':
    case u'{': case u'}': case u'~':
      return true;
    default:
      return false;
  }
}

}  // namespace

nxString nxSqlSanitizeName(platform::UnicodeStringView Name) {
  nxString result(Name);
  for (char16_t& c : result)
    if (!isSafeNameChar(c)) c = u'_';
  return result;
}

bool nxSqlIsReservedWord(platform::UnicodeStringView S) { return nxSqlIsReservedWordW(S); }

bool nxSqlNameNeedsQuotes(platform::UnicodeStringView S) {
  if (S.empty()) return false;
  if (!(S[0] == u'@' || S[0] == u'_' || isLetter(S[0]))) return true;
  for (std::size_t i = 1; i < S.size(); ++i)
    if (!(S[i] == u'@' || S[i] == u'_' || isLetter(S[i]) || isNameDigit(S[i]))) return true;
  return false;
}

std::int32_t nxCharPos(char16_t Ch, platform::UnicodeStringView S) {
  const std::size_t i = S.find(Ch);
  return i == platform::UnicodeStringView::npos ? 0 : std::int32_t(i + 1);
}

void nxSplitAtChar(char16_t Ch, platform::UnicodeStringView S, nxString& aAfter, nxString& aBefore) {
  const std::size_t i = S.find(Ch);
  if (i == platform::UnicodeStringView::npos) {
    aBefore.clear();
    aAfter.assign(S);
    return;
  }
  // Copies first: S may view one of the outputs.
  nxString before(S.substr(0, i));
  nxString after(S.substr(i + 1));
  aAfter = std::move(after);
  aBefore = std::move(before);
}

nxString nxStripQuotes(platform::UnicodeStringView S) {
  if (!S.empty() && (S.front() == u'\'' || S.front() == u'"') && S.back() == S.front())
    return S.size() < 2 ? nxString() : nxString(S.substr(1, S.size() - 2));
  return nxString(S);
}

void nxSqlCheckGlobalTempName(PTokenRecord aToken) {
  if (!TokenRecToUnquoted(aToken).starts_with(u"###"))
    throw EnxInternalSQLException(u"The name of a global temporary table must start with a ### prefix");
}

void nxSqlCheckLocalTempName(PTokenRecord aToken) {
  if (!TokenRecToUnquoted(aToken).starts_with(u"#"))
    throw EnxInternalSQLException(
        u"The name of a local temporary table must start with either a # or a ## prefix");
}
