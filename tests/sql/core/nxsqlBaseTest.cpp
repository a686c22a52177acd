// The node protocol, the raisers with real token locations, the registry
// and the node utilities.
#include "nxsqlBase.h"

#include <gtest/gtest.h>

#include "nxSQLTok.h"
#include "nxsqlTestNodes.h"

using namespace sqltest;

namespace {

class SqlNodeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { TestNodeClasses::Register(); }
  static void TearDownTestSuite() { TestNodeClasses::Unregister(); }
};

TEST_F(SqlNodeTest, ConstructionSetsParentAndOwner) {
  TnxOwned<TTestRoot> root(platform::create<TTestRoot>(nullptr));
  TTestItem* a = root->Add(u"a");
  TTestItem* b = a->AddKid(u"b");
  EXPECT_EQ(root->Owner(), nullptr);
  EXPECT_EQ(a->Parent(), root.get());
  EXPECT_EQ(a->Owner(), root.get());
  EXPECT_EQ(b->Parent(), a);
  EXPECT_EQ(b->Owner(), root.get());  // the parent's owner
  EXPECT_TRUE(root->IsParentTo(b));
  EXPECT_TRUE(a->IsParentTo(b));
  EXPECT_FALSE(b->IsParentTo(a));
  EXPECT_FALSE(b->IsParentTo(b));
}

TEST_F(SqlNodeTest, NodeUnderOwnerlessParentFailsAnAssertion) {
  TnxOwned<TTestItem> loose(platform::create<TTestItem>(nullptr));
  EXPECT_THROW(platform::create<TTestItem>(loose.get()), platform::AssertionFailed);
}

TEST_F(SqlNodeTest, NodesIdenticalTable) {
  TnxOwned<TTestRoot> root(platform::create<TTestRoot>(nullptr));
  TTestItem* x = root->Add(u"x");
  TTestItem* sameAsX = root->Add(u"x");
  TTestItem* y = root->Add(u"y");
  struct Case {
    const TnxSqlNode* n1;
    const TnxSqlNode* n2;
    bool identical;
  } cases[] = {
      {nullptr, nullptr, true}, {x, nullptr, false}, {nullptr, x, false},
      {x, sameAsX, true},       {x, y, false},       {x, root.get(), false},
  };
  for (const Case& c : cases) EXPECT_EQ(TnxSqlNode::NodesIdentical(c.n1, c.n2), c.identical);
}

TEST_F(SqlNodeTest, AssignFromAnotherClassNamesTheSourceFirst) {
  TnxOwned<TTestRoot> root(platform::create<TTestRoot>(nullptr));
  TTestItem* item = root->Add(u"x");
  EXPECT_EQ(sqlError([&] { item->Assign(*root); }), u"TTestRoot not compatible with TTestItem");
  EXPECT_EQ(sqlError([&] { root->Assign(*item); }), u"TTestItem not compatible with TTestRoot");
  // Same class: copies, and Clone builds an equal node under the new parent.
  TTestItem* other = root->Add(u"y");
  other->Assign(*item);
  EXPECT_EQ(other->Name, u"x");
  TnxOwned<TnxSqlNode> copy(item->Clone(root.get()));
  EXPECT_TRUE(TnxSqlNode::NodesIdentical(copy.get(), item));
  EXPECT_EQ(copy->Parent(), root.get());
}

TEST_F(SqlNodeTest, BindColumnClimbsToTheNodeThatKnowsTheColumn) {
  TnxOwned<TTestRoot> root(platform::create<TTestRoot>(nullptr));
  auto* table = root->Add<TTestTable>(u"t");
  TTestItem* expr = table->AddKid(u"e")->AddKid(u"f");
  bool outer = false;
  EXPECT_EQ(expr->BindColumn(nullptr, false, u"", u"", u"known", u"", expr, bsNormal, outer, true), fakeProxy(1));
}

TEST_F(SqlNodeTest, BindColumnStopsAtAContextBoundary) {
  TnxOwned<TTestRoot> root(platform::create<TTestRoot>(nullptr));
  auto* table = root->Add<TTestTable>(u"t");
  auto* routine = platform::create<TTestBoundary>(table);
  table->Kids.push_back(routine);
  TTestItem* inner = routine->AddKid(u"ref");
  bool outer = false;
  // The enclosing table knows the column, but the routine does not let the reference out.
  EXPECT_EQ(inner->BindColumn(nullptr, false, u"", u"", u"known", u"", inner, bsNormal, outer, false), nullptr);
  EXPECT_EQ(routine->ContextParent(), nullptr);
  EXPECT_EQ(inner->ContextParent(), routine);
  EXPECT_EQ(sqlError([&] {
              inner->BindColumn(nullptr, false, u"", u"", u"known", u" at line 3, pos 7", inner, bsNormal, outer,
                                true);
            }),
            u"Unknown column known at line 3, pos 7");
  EXPECT_EQ(sqlError([&] {
              inner->BindColumn(nullptr, false, u"", u"T", u"known", u"at line 1, pos 2", inner, bsNormal, outer,
                                true);
            }),
            u"No node could resolve the column T.known at line 1, pos 2");
}

TEST_F(SqlNodeTest, LoggingReachesTheRootAndAParentlessNodeLogsNothing) {
  TnxOwned<TTestRoot> root(platform::create<TTestRoot>(nullptr));
  TTestItem* deep = root->Add(u"a")->AddKid(u"b");
  EXPECT_TRUE(deep->GetLogging());
  EXPECT_FALSE(deep->GetVerboseLogging());
  deep->LogNormal(u"line");
  ASSERT_EQ(root->Log.size(), 1u);
  EXPECT_EQ(root->Log[0], u"line");

  TnxOwned<TTestItem> loose(platform::create<TTestItem>(nullptr));
  EXPECT_FALSE(loose->GetLogging());
  EXPECT_FALSE(loose->GetVerboseLogging());
  loose->LogNormal(u"lost");
  loose->LogVerbose(u"lost");
  loose->Indent();
  loose->Outdent();
}

TEST_F(SqlNodeTest, OwnerSelectIsTheNearestSelectAndIsCached) {
  TnxOwned<TTestRoot> root(platform::create<TTestRoot>(nullptr));
  auto* outerSelect = root->Add<TnxSqlSELECT>(u"outer");
  auto* innerSelect = platform::create<TnxSqlSELECT>(outerSelect);
  outerSelect->Kids.push_back(innerSelect);
  TTestItem* expr = innerSelect->AddKid(u"e");
  TTestItem* plain = root->Add(u"plain");
  EXPECT_EQ(expr->GetOwnerSelect(), innerSelect);
  EXPECT_EQ(innerSelect->GetOwnerSelect(), innerSelect);  // the search starts at the node itself
  EXPECT_EQ(outerSelect->OwnerSelect(), outerSelect);
  EXPECT_EQ(plain->GetOwnerSelect(), nullptr);
}

TEST_F(SqlNodeTest, BaseDefaultsOfValuelessNodes) {
  TnxOwned<TTestRoot> root(platform::create<TTestRoot>(nullptr));
  TTestItem* item = root->Add(u"x");
  EXPECT_EQ(item->GetVersion(), 1);
  EXPECT_EQ(item->GetSize(nullptr), 0);
  EXPECT_EQ(item->GetDecimals(nullptr), 0);
  EXPECT_THROW(item->GetType(nullptr), platform::AssertionFailed);
}

class SqlRaiserTest : public SqlNodeTest {
 protected:
  static void SetUpTestSuite() {
    SqlNodeTest::SetUpTestSuite();
    nxSQLTokInitialize();
  }
  static void TearDownTestSuite() {
    nxSQLTokFinalize();
    SqlNodeTest::TearDownTestSuite();
  }
};

TEST_F(SqlRaiserTest, EveryRaiserText) {
  // "foo" stands at line 2, pos 3 and "bar" at line 3, pos 6 of this text.
  const std::u16string text = u"SELECT\n  foo\nFROM \"bar\"";
  TTokenListPtr tokens;
  TnxOwned<TnxSQLTokenizer> tokenizer(platform::create<TnxSQLTokenizer>());
  ASSERT_TRUE(tokenizer->Tokenize(text.data(), std::int32_t(text.size()), false, false, tokens));
  PTokenRecord foo = tokens->TokenPtr(1);
  PTokenRecord bar = tokens->TokenPtr(3);
  ASSERT_EQ(TokenRecToStr(foo), u"foo");

  TnxOwned<TTestRoot> root(platform::create<TTestRoot>(nullptr));
  TTestItem* item = root->Add(u"a + b");
  struct Case {
    std::function<void()> raise;
    const char16_t* text;
  } cases[] = {
      {[] { TnxSqlNode::StatementError(u"boom"); }, u"Error in statement: boom"},
      {[] { TnxSqlNode::ErrorUnknownColumn(u"c"); }, u"Error in statement: Unknown column: c"},
      {[] { TnxSqlNode::ErrorUnknownQualifiedColumn(u"t", u"c"); }, u"Error in statement: Unknown column: t.c"},
      {[&] { TnxSqlNode::ErrorUnknownColumnAt(foo); },
       u"Error in statement: Unknown column: foo at line 2, pos 3"},
      {[] { TnxSqlNode::ErrorUnresolvedIdentifier(u"\"q\"", u"'n'", u" here"); },
       u"Error in statement: Unable to resolve the identifier \"q\".\"n\" here"},
      {[] { TnxSqlNode::ErrorUnresolvedIdentifier(u"", u"n", u""); },
       u"Error in statement: Unable to resolve the identifier \"n\""},
      {[] { TnxSqlNode::ErrorUnableToOpenTable(u"t1", u"(locked)"); },
       u"Error in statement: Unable to open table: \"t1\" (locked)"},
      {[&] { TnxSqlNode::ErrorUnableToOpenTableAt(u"bar", bar); },
       u"Error in statement: Unable to open table: \"bar\"  at line 3, pos 6"},
      {[] { TnxSqlNode::ErrorUnableToOpenTableAt(u"bar", nullptr); },
       u"Error in statement: Unable to open table: \"bar\""},
      {[] { TnxSqlNode::ErrorInvalidColumnReference(u""); }, u"Error in statement: Invalid column reference"},
      {[] { TnxSqlNode::ErrorInvalidColumnReference(u"x"); }, u"Error in statement: Invalid column reference:x"},
      {[&] { item->ErrorTypeMismatch(u" in +"); }, u"Error in statement: Type mismatch in + [a + b]"},
      {[] { TnxSqlNode::ErrorNotImplemented(u"Foo"); }, u"Error in statement: Method not implemented:Foo"},
  };
  for (const Case& c : cases) EXPECT_EQ(sqlError(c.raise), c.text);
}

TEST_F(SqlRaiserTest, TemporaryTableNamePrefixes) {
  const std::u16string text = u"###g ##g #l l \"###q\" \"#q\"";
  TTokenListPtr tokens;
  TnxOwned<TnxSQLTokenizer> tokenizer(platform::create<TnxSQLTokenizer>());
  ASSERT_TRUE(tokenizer->Tokenize(text.data(), std::int32_t(text.size()), false, false, tokens));
  const nxString globalError = u"The name of a global temporary table must start with a ### prefix";
  const nxString localError = u"The name of a local temporary table must start with either a # or a ## prefix";
  struct Case {
    std::int32_t token;
    const char16_t* global;  // nullptr: accepted
    const char16_t* local;
  } cases[] = {
      {0, nullptr, nullptr},
      {1, globalError.c_str(), nullptr},
      {2, globalError.c_str(), nullptr},
      {3, globalError.c_str(), localError.c_str()},
      {4, nullptr, nullptr},
      {5, globalError.c_str(), nullptr},
  };
  for (const Case& c : cases) {
    PTokenRecord t = tokens->TokenPtr(c.token);
    SCOPED_TRACE(platform::toUtf8(TokenRecToStr(t)));
    EXPECT_EQ(sqlError([&] { nxSqlCheckGlobalTempName(t); }), c.global ? c.global : u"<no exception>");
    EXPECT_EQ(sqlError([&] { nxSqlCheckLocalTempName(t); }), c.local ? c.local : u"<no exception>");
  }
}

// ---- registry

TEST_F(SqlNodeTest, RegistryCreatesByNameInAnyCaseAndRefusesTwins) {
  TnxOwned<TTestRoot> root(platform::create<TTestRoot>(nullptr));
  TnxOwned<TnxSqlNode> n(CreateSqlNodeByClassName("ttestitem", root.get()));
  ASSERT_TRUE(n);
  EXPECT_TRUE(n->is<TTestItem>());
  EXPECT_EQ(n->Parent(), root.get());
  EXPECT_EQ(CreateSqlNodeByClassName("", root.get()), nullptr);
  EXPECT_EQ(sqlError([] { RegisterSqlNodeClass(TTestItem::staticClassInfo()); }), u"Class already registered");
  EXPECT_EQ(sqlError([&] { CreateSqlNodeByClassName("TnxSqlNobody", root.get()); }),
            u"Type TnxSqlNobody is not registered with the PSM streaming system");
}

TEST_F(SqlNodeTest, AbstractClassesCannotBeRegistered) {
  EXPECT_THROW(RegisterSqlNodeClass(TnxSqlRootNode::staticClassInfo()), platform::AssertionFailed);
}

// ---- utilities

TEST(SqlNodeUtilities, TriStateConversions) {
  using platform::Variant;
  struct Case {
    Variant v;
    TnxSqlTriStateBool t;
  } cases[] = {
      {Variant::null(), tsbUnknown}, {Variant(false), tsbFalse}, {Variant(true), tsbTrue},
      {Variant(0), tsbFalse},        {Variant(), tsbFalse},      {Variant(u"x"), tsbFalse},
  };
  for (const Case& c : cases) EXPECT_EQ(nxVarToTriStateBool(c.v), c.t);
  EXPECT_TRUE(nxTriStateBoolToVar(tsbUnknown).isNull());
  EXPECT_EQ(nxTriStateBoolToVar(tsbTrue).type(), platform::varBoolean);
  EXPECT_TRUE(nxTriStateBoolToVar(tsbTrue).toBoolean());
  EXPECT_FALSE(nxTriStateBoolToVar(tsbFalse).toBoolean());
  for (TnxSqlTriStateBool t : {tsbUnknown, tsbFalse, tsbTrue}) EXPECT_EQ(nxVarToTriStateBool(nxTriStateBoolToVar(t)), t);
}

TEST(SqlNodeUtilities, FieldTypeTextOfEveryType) {
  const char16_t* expected[nxFieldTypeCount] = {
      u" BOOL",     u" CHAR",      u" NCHAR",       u" TINYINT",     u" WORD",       u" DWORD",
      u" SHORTINT", u" SMALLINT",  u" INT",         u" LARGEINT",    u" AUTOINC",    u" FLOAT(2)",
      u" REAL(2)",  u" EXTENDED(2)", u" MONEY(2)",  u" DATE",        u" TIME",       u" DATETIME",
      u" INTERVAL", u" BLOB",      u" TEXT",        u" IMAGE",       u" BYTEARRAY",  u" SHORTSTRING(10)",
      u" NULLSTRING(10)", u" NVARCHAR(10)", u" RECREV", u" GUID",    u" DECIMAL(10, 2)", u" NTEXT",
      u" FMTBCD(10, 2)", u" REFNR"};
  for (int t = 0; t < nxFieldTypeCount; ++t)
    EXPECT_EQ(nxSqlFieldTypeText(TnxFieldType(t), 2, 10), expected[t]) << "type " << t;
  struct Case {
    TnxFieldType type;
    std::int32_t dec, size;
    const char16_t* text;
  } cases[] = {
      {nxtDouble, 0, 0, u" REAL"},        {nxtSingle, 0, 8, u" FLOAT"},
      {nxtWideString, 0, 40, u" NVARCHAR(40)"}, {nxtBCD, 2, 10, u" DECIMAL(10, 2)"},
      {nxtCurrency, -1, 0, u" MONEY(-1)"}, {nxtFmtBCD, 0, 32, u" FMTBCD(32, 0)"},
      {nxtInt32, 5, 5, u" INT"},
  };
  for (const Case& c : cases) EXPECT_EQ(nxSqlFieldTypeText(c.type, c.dec, c.size), c.text);
}

TEST(SqlNodeUtilities, NamesAndQuotes) {
  EXPECT_EQ(nxSqlSanitizeName(u"a b!#$%&()+-.09@AZ[]^_az{}~"), u"a b!#$%&()+-.09@AZ[]^_az{}~");
  EXPECT_EQ(nxSqlSanitizeName(u"a\"b'c*d/e:f;g<h=i>j?k\\l|m`n,o\tp"), u"a_b_c_d_e_f_g_h_i_j_k_l_m_n_o_p");
  EXPECT_EQ(nxSqlSanitizeName(u"\u00e9\u540d"), u"__");  // Latin-1 letters too: only the listed set stays

  struct Quote {
    const char16_t* in;
    const char16_t* out;
  } quotes[] = {
      {u"\"name\"", u"name"}, {u"'name'", u"name"}, {u"\"name'", u"\"name'"}, {u"\"", u""},
      {u"", u""},             {u"name", u"name"},   {u"\"\"", u""},         {u"'a\"", u"'a\""},
  };
  for (const Quote& q : quotes) EXPECT_EQ(nxStripQuotes(q.in), q.out) << platform::toUtf8(q.in);

  struct Needs {
    const char16_t* name;
    bool needs;
  } needs[] = {
      {u"", false},   {u"a", false},    {u"_a1", false}, {u"@v", false}, {u"1a", true},
      {u"a b", true}, {u"a-b", true},   {u"Z9_@", false}, {u"\u540d", true}, {u"a\u00e9", true},
  };
  for (const Needs& n : needs) EXPECT_EQ(nxSqlNameNeedsQuotes(n.name), n.needs) << platform::toUtf8(n.name);
}

TEST(SqlNodeUtilities, CharPosAndSplit) {
  EXPECT_EQ(nxCharPos(u':', u"ab:cd:e"), 3);
  EXPECT_EQ(nxCharPos(u':', u"abc"), 0);
  EXPECT_EQ(nxCharPos(u':', u""), 0);
  EXPECT_EQ(nxCharPos(u'a', u"a"), 1);

  struct Split {
    const char16_t* s;
    const char16_t* third;   // after the first ':'
    const char16_t* fourth;  // before it
  } splits[] = {
      {u"parent:child", u"child", u"parent"}, {u"nocolon", u"nocolon", u""}, {u":x", u"x", u""},
      {u"x:", u"", u"x"},                     {u"a:b:c", u"b:c", u"a"},      {u"", u"", u""},
  };
  for (const Split& c : splits) {
    nxString third = u"old", fourth = u"old";
    nxSplitAtChar(u':', c.s, third, fourth);
    EXPECT_EQ(third, c.third);
    EXPECT_EQ(fourth, c.fourth);
  }
  // The source may be one of the outputs.
  nxString s = u"a:b", before;
  nxSplitAtChar(u':', s, s, before);
  EXPECT_EQ(s, u"b");
  EXPECT_EQ(before, u"a");
}

TEST(SqlNodeUtilities, ReservedWords) {
  nxSQLTokInitialize();
  EXPECT_TRUE(nxSqlIsReservedWord(u"select"));
  EXPECT_TRUE(nxSqlIsReservedWord(u"FROM"));
  EXPECT_FALSE(nxSqlIsReservedWord(u"qbnk"));
  EXPECT_FALSE(nxSqlIsReservedWord(u""));
  nxSQLTokFinalize();
}

}  // namespace
