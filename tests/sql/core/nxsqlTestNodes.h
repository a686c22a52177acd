// Node classes for the tests of the SQL node base: a root that records its
// log, an item node with a field of every stream encoding and owned
// children, a table node that resolves one column, and a context boundary.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "nxsqlBase.h"
#include "nxsqlBaseStream.h"

namespace sqltest {

// A field proxy stand-in: BindColumn answers its address.
inline TnxSqlFieldProxy* fakeProxy(int aTag) {
  static char slots[8];
  return reinterpret_cast<TnxSqlFieldProxy*>(&slots[aTag]);
}

class TTestItem : public TnxSqlNode {
  PL_CLASS_INFO_DECL()
 public:
  using TnxSqlNode::TnxSqlNode;
  ~TTestItem() override {
    for (TnxSqlNode* k : Kids) platform::TObject::free(k);
    platform::TObject::free(Extra);
  }

  TTestItem* AddKid(const nxString& aName) {
    auto* k = platform::create<TTestItem>(this);
    k->Name = aName;
    Kids.push_back(k);
    return k;
  }

  std::int32_t GetVersion() const override { return LayoutVersion; }
  void Assign(const TnxSqlNode& Source) override {
    if (!Source.is<TTestItem>()) ErrorNotCompatible(Source);
    Name = static_cast<const TTestItem&>(Source).Name;
  }
  TnxSqlNode* Clone(TnxSqlNode* AParent) const override {
    auto* n = platform::create<TTestItem>(AParent);
    n->Assign(*this);
    return n;
  }
  bool Equals(const TnxSqlNode* ANode) const override {
    const auto* o = platform::objectAs<TTestItem>(ANode);
    if (!o || o->Name != Name || o->Flag != Flag || o->Num != Num || o->Wide != Wide ||
        o->Kids.size() != Kids.size() || !NodesIdentical(Extra, o->Extra))
      return false;
    for (std::size_t i = 0; i < Kids.size(); ++i)
      if (!NodesIdentical(Kids[i], o->Kids[i])) return false;
    return true;
  }
  void SaveToStream(TnxSqlPSMWriter& S) const override {
    S.WriteLString(Name);
    S.WriteBool(Flag);
    S.WriteInt64(Num);
    S.WriteWString(Wide);
    S.WriteInt(std::int32_t(Kids.size()));
    for (const TnxSqlNode* k : Kids) S.WriteNode(k);
    S.WriteNodeOpt(Extra);
  }
  void LoadFromStream(TnxSqlPSMReader& S) override {
    LoadedVersion = S.Version();
    Name = S.ReadLString();
    Flag = S.ReadBool();
    Num = S.ReadInt64();
    Wide = S.ReadWString();
    const std::int32_t n = S.ReadCount(TnxSqlPSMReader::kMinNodeBytes);
    for (std::int32_t i = 0; i < n; ++i) Kids.push_back(S.ReadNode(this));
    Extra = S.ReadNodeOpt(this);
    VersionAfterKids = S.Version();
  }
  nxString ToString() const override { return Name; }
  void Traverse(const TnxSqlCallback& Callback, platform::TObject* UserData, bool IncludeNested) override {
    Callback(this, UserData);
    for (TnxSqlNode* k : Kids) k->Traverse(Callback, UserData, IncludeNested);
  }

  nxString Name;
  bool Flag = false;
  std::int64_t Num = 0;
  nxString Wide;
  std::vector<TnxSqlNode*> Kids;  // owned
  TnxSqlNode* Extra = nullptr;    // owned
  std::int32_t LayoutVersion = 1;
  std::int32_t LoadedVersion = 0;
  std::int32_t VersionAfterKids = 0;
};

// Resolves the column Column (any table) to fakeProxy(1).
class TTestTable : public TTestItem {
  PL_CLASS_INFO_DECL()
 public:
  using TTestItem::TTestItem;
  TnxSqlFieldProxy* BindColumn(TnxSqlContext* Context, bool aInAggregate, const nxString& DatabaseName,
                               const nxString& TableName, const nxString& ColumnName, const nxString& SourceLoc,
                               TnxSqlNode* BindingNode, TnxSqlBindingStyle BindingStyle, bool& aIsOuterReference,
                               bool MustSucceed) override {
    if (ColumnName == Column) return fakeProxy(1);
    return TnxSqlNode::BindColumn(Context, aInAggregate, DatabaseName, TableName, ColumnName, SourceLoc,
                                  BindingNode, BindingStyle, aIsOuterReference, MustSucceed);
  }
  nxString Column = u"known";
};

class TTestBoundary : public TTestItem {
  PL_CLASS_INFO_DECL()
 public:
  using TTestItem::TTestItem;
  bool IsContextBoundary() const override { return true; }
};

// Stands in for the SELECT class of the query module (registered under its name).
class TnxSqlSELECT : public TTestItem {
  PL_CLASS_INFO_DECL()
 public:
  using TTestItem::TTestItem;
};

class TTestRoot : public TnxSqlRootNode {
  PL_CLASS_INFO_DECL()
 public:
  using TnxSqlRootNode::TnxSqlRootNode;
  ~TTestRoot() override {
    for (TnxSqlNode* k : Kids) platform::TObject::free(k);
  }
  template <class T = TTestItem>
  T* Add(const nxString& aName) {
    auto* k = platform::create<T>(this);
    k->Name = aName;
    Kids.push_back(k);
    return k;
  }
  void Assign(const TnxSqlNode& Source) override {
    if (!Source.is<TTestRoot>()) ErrorNotCompatible(Source);
  }
  TnxSqlNode* Clone(TnxSqlNode* AParent) const override { return platform::create<TTestRoot>(AParent); }
  bool Equals(const TnxSqlNode* ANode) const override { return ANode && ANode->is<TTestRoot>(); }
  void SaveToStream(TnxSqlPSMWriter&) const override {}
  void LoadFromStream(TnxSqlPSMReader&) override {}
  nxString ToString() const override { return u"ROOT"; }
  void Traverse(const TnxSqlCallback& Callback, platform::TObject* UserData, bool IncludeNested) override {
    Callback(this, UserData);
    for (TnxSqlNode* k : Kids) k->Traverse(Callback, UserData, IncludeNested);
  }
  void LogNormal(const nxString& S) override {
    if (Parent()) return TnxSqlRootNode::LogNormal(S);
    Log.push_back(S);
  }
  bool GetLogging() const override { return Parent() ? TnxSqlRootNode::GetLogging() : true; }

  std::vector<TnxSqlNode*> Kids;  // owned
  std::vector<nxString> Log;
};

// Registers the test classes for one suite.
struct TestNodeClasses {
  static void Register() {
    nxsqlBaseInitialize();
    for (const platform::ClassInfo* c : classes()) RegisterSqlNodeClass(*c);
  }
  static void Unregister() {
    for (const platform::ClassInfo* c : classes()) UnregisterSqlNodeClass(*c);
    nxsqlBaseFinalize();
  }
  static std::vector<const platform::ClassInfo*> classes() {
    return {&TTestItem::staticClassInfo(), &TTestTable::staticClassInfo(), &TTestBoundary::staticClassInfo(),
            &TnxSqlSELECT::staticClassInfo(), &TTestRoot::staticClassInfo()};
  }
};

// The text of the EnxInternalSQLException that aCall raises ("" when none).
inline nxString sqlError(const std::function<void()>& aCall) {
  try {
    aCall();
  } catch (const EnxInternalSQLException& e) {
    return e.ErrorString();
  }
  return u"<no exception>";
}

}  // namespace sqltest

