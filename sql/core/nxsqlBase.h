// The base of every SQL node: the node protocol, the class-level error
// raisers, the node class registry and the plain routines the node modules
// share (tri-state truth, SQL type text, names). The node stream, the
// variant lists and the execution context are the families nxsqlBaseStream,
// nxsqlBaseVariantList and nxsqlBaseContext of this module.
//
// Ownership: a node owns the children it holds in its own fields and lists
// and frees them when it is destroyed; FParent is a plain back pointer. Nodes
// are made with platform::create (or the virtual constructor CreateOfClass)
// and destroyed with TObject::free.
//
// Class metadata: every node class declares PL_CLASS_INFO_DECL() and defines
// NX_SQL_NODE_CLASS_IMPL (concrete) or NX_SQL_ABSTRACT_NODE_CLASS_IMPL; its
// metadata name is the name the node stream stores. The virtual constructor
// Create(AParent) is the class table TnxSqlNodeClassFuncs of each concrete
// class.
//
// Life of the module: nxsqlBaseInitialize / nxsqlBaseFinalize are counted;
// the registry is filled by the start-up calls of the SQL modules and only
// read while statements run, so lookups need no lock.
//
// Thread safety: a node tree is used by one thread at a time; nodes take no
// locks.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "CocoaBaseW.h"
#include "nxllBase.h"
#include "nxllException.h"
#include "nxllTypes.h"
#include "nxsdTypes.h"
#include "plObject.h"
#include "plString.h"
#include "plVariant.h"

NX_DECLARE_EXCEPTION(EnxInternalSQLException, EnxBaseException)

class TnxSqlNode;
class TnxSqlRootNode;
class TnxSqlContext;
class TnxSqlFieldProxy;
class TnxSqlPSMReader;
class TnxSqlPSMWriter;

enum TnxSqlTriStateBool : std::uint8_t { tsbUnknown = 0, tsbFalse = 1, tsbTrue = 2 };

enum TnxSqlBindingStyle : std::uint8_t { bsNormal, bsCorrelation, bsEmbedded };

// Called by Traverse for a node and then its children.
using TnxSqlCallback = std::function<void(TnxSqlNode* aNode, platform::TObject* aUserData)>;

// The virtual constructor of a concrete node class.
struct TnxSqlNodeClassFuncs {
  TnxSqlNode* (*create)(TnxSqlNode* aParent);
};
template <class T>
inline constexpr TnxSqlNodeClassFuncs nxSqlNodeFuncs{
    [](TnxSqlNode* aParent) -> TnxSqlNode* { return platform::create<T>(aParent); }};

#define NX_SQL_NODE_CLASS_IMPL(Cls, Parent) \
  PL_CLASS_INFO_IMPL_TABLE(Cls, Parent, #Cls, nullptr, ::platform::bindClassTable(nxSqlNodeFuncs<Cls>))
#define NX_SQL_ABSTRACT_NODE_CLASS_IMPL(Cls, Parent) PL_CLASS_INFO_IMPL(Cls, Parent, #Cls, nullptr)

class TnxSqlNode : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  // REQUIRES: AParent, when given, is a root node or has an owner (else an
  // assertion fails).
  explicit TnxSqlNode(TnxSqlNode* AParent);
  ~TnxSqlNode() override = default;

  // The virtual constructor of aClass; aClass must be a concrete node class.
  static TnxSqlNode* CreateOfClass(const platform::ClassInfo& aClass, TnxSqlNode* AParent);

  // ---- virtual operations, in slot order
  // Layout version written before the node's data in the node stream.
  virtual std::int32_t GetVersion() const { return 1; }
  // True where name resolution must not leave the node (routine definitions).
  virtual bool IsContextBoundary() const { return false; }
  virtual void PrepareDestroy() {}
  // Copies a node of the same class; another class raises ErrorNotCompatible.
  virtual void Assign(const TnxSqlNode& Source) = 0;
  // Climbs the context parents; nodes that know tables answer.
  virtual TnxSqlFieldProxy* BindColumn(TnxSqlContext* Context, bool aInAggregate, const nxString& DatabaseName,
                                       const nxString& TableName, const nxString& ColumnName,
                                       const nxString& SourceLoc, TnxSqlNode* BindingNode,
                                       TnxSqlBindingStyle BindingStyle, bool& aIsOuterReference, bool MustSucceed);
  virtual TnxSqlNode* Clone(TnxSqlNode* AParent) const = 0;
  virtual bool Equals(const TnxSqlNode* ANode) const = 0;
  virtual std::int32_t GetDecimals(TnxSqlContext* Context);
  virtual std::int32_t GetSize(TnxSqlContext* Context);
  // A node that has a value overrides it; the base fails an assertion.
  virtual TnxFieldType GetType(TnxSqlContext* Context);
  virtual void LoadFromStream(TnxSqlPSMReader& Stream) = 0;
  virtual void SaveToStream(TnxSqlPSMWriter& Stream) const = 0;
  virtual nxString ToString() const = 0;
  virtual void Traverse(const TnxSqlCallback& Callback, platform::TObject* UserData, bool IncludeNested) = 0;
  // Logging reaches the root block through the parents; nothing without one.
  virtual void LogNormal(const nxString& S);
  virtual void LogVerbose(const nxString& S);
  virtual bool GetLogging() const;
  virtual bool GetVerboseLogging() const;
  virtual void Indent();
  virtual void Outdent();

  // ---- non-virtual operations
  static bool NodesIdentical(const TnxSqlNode* N1, const TnxSqlNode* N2);
  bool IsParentTo(const TnxSqlNode* aChildNode) const;
  TnxSqlNode* GetContextParent() const { return IsContextBoundary() ? nullptr : FParent; }
  // The nearest enclosing TnxSqlSELECT (this node included), cached once found.
  TnxSqlNode* GetOwnerSelect();

  TnxSqlNode* Parent() const { return FParent; }
  TnxSqlRootNode* Owner() const { return FOwner; }
  void SetOwner(TnxSqlRootNode* aOwner) { FOwner = aOwner; }
  TnxSqlNode* ContextParent() const { return GetContextParent(); }
  TnxSqlNode* OwnerSelect() { return GetOwnerSelect(); }
  std::int32_t SourceLine() const { return FSourceLine; }
  void SetSourceLine(std::int32_t aLine) { FSourceLine = aLine; }
  bool Logging() const { return GetLogging(); }
  bool VerboseLogging() const { return GetVerboseLogging(); }
  void NormalLogging(const nxString& S) { LogNormal(S); }

  // ---- class-level raisers (EnxInternalSQLException)
  [[noreturn]] static void StatementError(const nxString& aText);
  [[noreturn]] static void ErrorUnknownColumn(const nxString& aName);
  [[noreturn]] static void ErrorUnknownQualifiedColumn(const nxString& aTable, const nxString& aColumn);
  [[noreturn]] static void ErrorUnknownColumnAt(PTokenRecord aToken);
  [[noreturn]] static void ErrorUnresolvedIdentifier(const nxString& aQualifier, const nxString& aName,
                                                     const nxString& aSuffix);
  [[noreturn]] static void ErrorUnableToOpenTable(const nxString& aName, const nxString& aText);
  [[noreturn]] static void ErrorUnableToOpenTableAt(const nxString& aName, PTokenRecord aToken);
  [[noreturn]] static void ErrorInvalidColumnReference(const nxString& aText);
  [[noreturn]] static void ErrorNotImplemented(const nxString& aName);
  [[noreturn]] void ErrorTypeMismatch(const nxString& aText) const;
  // "%s not compatible with %s": Source's class, then this node's; no wrapper.
  [[noreturn]] void ErrorNotCompatible(const TnxSqlNode& Source) const;

 protected:
  TnxSqlNode* FParent;
  TnxSqlRootNode* FOwner = nullptr;
  TnxSqlNode* FOwnerSelect = nullptr;  // the nearest TnxSqlSELECT; not owned
  std::int32_t FSourceLine = 0;
};

// Base of statement nodes: the owner of the nodes below it.
class TnxSqlRootNode : public TnxSqlNode {
  PL_CLASS_INFO_DECL()
 public:
  using TnxSqlNode::TnxSqlNode;
};

// ---- node class registry

// Adds a concrete node class under its metadata name; a name already present
// (in any letter case) raises "Class already registered".
void RegisterSqlNodeClass(const platform::ClassInfo& aNodeClass);
// Removes the class (finalisation and tests); an absent class is ignored.
void UnregisterSqlNodeClass(const platform::ClassInfo& aNodeClass);
// Null for an empty name; an unknown name raises "Type %s is not registered
// with the PSM streaming system".
TnxSqlNode* CreateSqlNodeByClassName(std::string_view aClassName, TnxSqlNode* AParent);
// The registered class of that name, or null.
const platform::ClassInfo* FindSqlNodeClass(std::string_view aClassName);

// Counted start-up of the module (registers this module's node classes).
void nxsqlBaseInitialize();
void nxsqlBaseFinalize();

// ---- node utilities

TnxSqlTriStateBool nxVarToTriStateBool(const platform::Variant& V);
platform::Variant nxTriStateBoolToVar(TnxSqlTriStateBool T);
// The SQL type word with a leading blank and its suffix: " DECIMAL(10, 2)".
nxString nxSqlFieldTypeText(TnxFieldType DataType, std::int32_t DecimalPlaces, std::int32_t Size);
nxString nxSqlSanitizeName(platform::UnicodeStringView Name);
bool nxSqlIsReservedWord(platform::UnicodeStringView S);
bool nxSqlNameNeedsQuotes(platform::UnicodeStringView S);
// 1-based position of the first Ch, 0 when absent.
std::int32_t nxCharPos(char16_t Ch, platform::UnicodeStringView S);
// Note the order: aAfter receives the text after the first Ch, aBefore the
// text before it; without Ch aBefore is empty and aAfter all of S.
void nxSplitAtChar(char16_t Ch, platform::UnicodeStringView S, nxString& aAfter, nxString& aBefore);
nxString nxStripQuotes(platform::UnicodeStringView S);
void nxSqlCheckGlobalTempName(PTokenRecord aToken);
void nxSqlCheckLocalTempName(PTokenRecord aToken);
