// The execution context: unique ids across threads, a new generation on
// every movement of control, LEAVE / ITERATE / RETURN over nested scopes,
// and locals with their defaults.
#include "nxsqlBaseContext.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <set>
#include <vector>

#include "nxTestWatchdog.h"
#include "nxsqlTestNodes.h"
#include "plGuid.h"

using namespace sqltest;
using platform::Variant;

namespace {

class FakeLocalDef final : public InxSqlLocalDef {
 public:
  FakeLocalDef(nxString aName, TnxSqlDefaultType aDefault, Variant aLiteral = {})
      : name(std::move(aName)), defaultType(aDefault), literal(std::move(aLiteral)) {}
  nxString LocalName() const override { return name; }
  TnxFieldType LocalDataType() const override { return nxtInt32; }
  std::int32_t LocalSize() const override { return 0; }
  std::int32_t LocalDecimals() const override { return 0; }
  std::int32_t LocalLocale() const override { return 0; }
  TnxSqlDefaultType LocalDefaultType() const override { return defaultType; }
  Variant LocalDefaultValue(TnxSqlContext& aContext) override {
    seenContext = &aContext;
    return literal;
  }

  nxString name;
  TnxSqlDefaultType defaultType;
  Variant literal;
  TnxSqlContext* seenContext = nullptr;
};

const platform::DateTime kScriptStart = platform::encodeDateTime(2026, 12, 11, 13, 45, 30, 250);
const platform::DateTime kStatementStart = platform::encodeDateTime(2026, 12, 12, 0, 0, 1, 0);

TnxOwned<TnxSqlContext> newContext(platform::DateTime aStart = kScriptStart) {
  return TnxOwned<TnxSqlContext>(platform::create<TnxSqlContext>(nullptr, aStart, nullptr));
}

TEST(SqlContext, CreationState) {
  auto a = newContext();
  auto b = newContext();
  EXPECT_NE(a->ContextID, b->ContextID);
  EXPECT_GT(b->ContextID, a->ContextID);
  EXPECT_EQ(a->FetchStatus, -1);
  EXPECT_TRUE(a->PadValues);
  EXPECT_FALSE(a->AllowNull);
  EXPECT_EQ(a->GlobalFilters, nullptr);
  EXPECT_EQ(a->StartDateTime(), kScriptStart);
  EXPECT_EQ(a->ExecScopesTail(), nullptr);
  EXPECT_EQ(a->LookUpLocalIndex(u"a"), -1);  // no locals defined
  EXPECT_TRUE(a->TryGetValue(u"a").isNull());
}

TEST(SqlContext, ContextIdsAreDistinctAcrossThreads) {
  nxtest::Watchdog watchdog;
  constexpr int kThreads = 8, kPerThread = 2000;
  std::vector<std::vector<std::int64_t>> ids(kThreads);
  nxtest::runThreads(kThreads, [&](int aIndex) {
    for (int i = 0; i < kPerThread; ++i) {
      auto c = newContext();
      c->IncGeneration();
      ids[std::size_t(aIndex)].push_back(c->ContextID);
    }
  });
  std::set<std::int64_t> all;
  for (const auto& v : ids) all.insert(v.begin(), v.end());
  EXPECT_EQ(all.size(), std::size_t(kThreads * kPerThread));
}

TEST(SqlContext, EveryScopeMovementTakesANewGeneration) {
  auto c = newContext();
  TnxSqlExecScope main(estMainBlock), loop(estLoop);
  std::set<std::int64_t> seen{c->Generation};
  auto moved = [&](const char* aWhat) {
    EXPECT_TRUE(seen.insert(c->Generation).second) << aWhat;
  };
  c->PushExecScope(main);
  moved("push");
  c->SetEndPC(5);
  c->Next();
  moved("next");
  c->Done();
  moved("done");
  c->PushExecScope(loop);
  moved("push loop");
  c->SetEndPC(2);
  c->Continue();
  moved("continue");
  c->Break();
  moved("break");
  c->PopExecScope(true);
  moved("pop");
  c->Return();
  moved("return");
  c->PopExecScope(true);
  moved("pop main");
  const std::int64_t before = c->Generation;
  c->IncGeneration();
  EXPECT_GT(c->Generation, before);
}

TEST(SqlContext, ScopeRecordSteps) {
  TnxSqlExecScope s(estBlock);
  EXPECT_EQ(s.FPC, -1);
  EXPECT_EQ(s.FEndPC, -1);
  EXPECT_TRUE(s.Done());
  s.FEndPC = 2;
  EXPECT_TRUE(s.Next());
  EXPECT_TRUE(s.Next());
  EXPECT_FALSE(s.Next());
  EXPECT_TRUE(s.Done());
  s.Reset();
  EXPECT_EQ(s.FPC, -1);
  EXPECT_EQ(sqlError([&] { s.Continue(); }), u"Continue is not allowed here");
  TnxSqlExecScope l(estLoop);
  l.FEndPC = 4;
  l.Next();
  l.Continue();
  EXPECT_TRUE(l.Done());
  EXPECT_FALSE(l.FBreakCalled);
  l.Break();
  EXPECT_TRUE(l.FBreakCalled);
}

// main block { loop { block { <statement> } } }, each scope at its first statement.
struct NestedScopes {
  TnxSqlExecScope main{estMainBlock}, loop{estLoop}, block{estBlock};
  explicit NestedScopes(TnxSqlContext& c) {
    for (TnxSqlExecScope* s : {&main, &loop, &block}) {
      c.PushExecScope(*s);
      c.SetEndPC(3);
      c.Next();
    }
  }
};

TEST(SqlContext, LeaveEndsTheBlockAndTheLoop) {
  auto c = newContext();
  NestedScopes s(*c);
  c->Break();
  EXPECT_TRUE(s.block.Done());
  EXPECT_TRUE(s.block.FBreakCalled);
  EXPECT_TRUE(s.loop.Done());
  EXPECT_TRUE(s.loop.FBreakCalled);  // the loop runs no further round
  EXPECT_FALSE(s.main.Done());
  EXPECT_FALSE(s.main.FBreakCalled);
  EXPECT_FALSE(c->Next());  // the block stops at once
  EXPECT_TRUE(c->BreakCalled());
}

TEST(SqlContext, IterateEndsTheBlockAndTheRound) {
  auto c = newContext();
  NestedScopes s(*c);
  c->Continue();
  EXPECT_TRUE(s.block.Done());
  EXPECT_TRUE(s.block.FBreakCalled);
  EXPECT_TRUE(s.loop.Done());
  EXPECT_FALSE(s.loop.FBreakCalled);  // the loop evaluates its condition again
  EXPECT_FALSE(s.main.Done());
}

TEST(SqlContext, ReturnUnwindsToTheMainBlock) {
  auto c = newContext();
  NestedScopes s(*c);
  c->Return();
  for (TnxSqlExecScope* scope : {&s.block, &s.loop, &s.main}) {
    EXPECT_TRUE(scope->Done());
    EXPECT_TRUE(scope->FBreakCalled);
  }
}

TEST(SqlContext, ControlStatementsOutsideTheirScopes) {
  {
    auto c = newContext();
    TnxSqlExecScope main(estMainBlock), block(estBlock);
    c->PushExecScope(main);
    c->SetEndPC(3);
    c->PushExecScope(block);
    c->SetEndPC(3);
    EXPECT_EQ(sqlError([&] { c->Break(); }), u"BREAK may not appear outside loops");
    EXPECT_EQ(sqlError([&] { c->Continue(); }), u"CONTINUE may not appear outside loops");
    EXPECT_TRUE(block.Done());  // the scopes passed on the way are ended
    EXPECT_TRUE(main.Done());
  }
  {
    auto c = newContext();
    TnxSqlExecScope loop(estLoop);
    c->PushExecScope(loop);
    EXPECT_EQ(sqlError([&] { c->Return(); }), u"RETURN may not appear outside loops");
  }
  auto c = newContext();
  EXPECT_EQ(sqlError([&] { c->Break(); }), u"BREAK may not appear outside loops");
  EXPECT_EQ(sqlError([&] { c->Return(); }), u"RETURN may not appear outside loops");
  EXPECT_THROW(c->Next(), platform::AssertionFailed);
  EXPECT_THROW(c->SetEndPC(1), platform::AssertionFailed);
  EXPECT_EQ(c->PopExecScope(false), nullptr);
}

TEST(SqlContext, PushAndPopLinkTheCallersRecords) {
  auto c = newContext();
  TnxSqlExecScope outer(estMainBlock), inner(estBlock);
  c->PushExecScope(outer);
  c->PushExecScope(inner);
  EXPECT_EQ(c->ExecScopesTail(), &inner);
  EXPECT_EQ(inner.esPrev, &outer);
  EXPECT_EQ(c->PopExecScope(true), &inner);
  EXPECT_EQ(inner.esPrev, nullptr);
  EXPECT_EQ(c->ExecScopesTail(), &outer);
}

TEST(SqlContext, LocalsWithTheirDefaults) {
  auto c = newContext();
  FakeLocalDef a(u"a", dtLiteral, Variant(42));
  FakeLocalDef b(u"B", dtDate);
  FakeLocalDef t(u"t", dtTime);
  FakeLocalDef dt(u"dt", dtDateTime);
  FakeLocalDef g(u"g", dtNewGuid);
  FakeLocalDef n(u"n", dtNull);
  FakeLocalDef e(u"e", dtEmpty);
  FakeLocalDef user(u"user", dtCurrentUser);
  const TnxSqlLocalItem items[] = {{u"a", &a}, {u"B", &b}, {u"dt", &dt}, {u"e", &e},
                                   {u"g", &g}, {u"n", &n}, {u"t", &t},   {u"user", &user}};
  c->DefineLocals(items);

  EXPECT_EQ(c->GetValue(u"A").toInt32(), 42);  // names compare without case
  EXPECT_EQ(a.seenContext, c.get());
  EXPECT_EQ(c->GetValue(u"b").toDateTime(), platform::encodeDate(2026, 12, 11));
  EXPECT_NEAR(c->GetValue(u"t").toDateTime(), platform::encodeTime(13, 45, 30, 250), 1e-9);
  EXPECT_EQ(c->GetValue(u"dt").toDateTime(), kScriptStart);
  const Variant guid = c->GetValue(u"g");
  EXPECT_EQ(guid.type(), platform::varOleStr);
  EXPECT_EQ(guid.ustring().size(), 38u);
  EXPECT_NO_THROW(platform::stringToGuid(guid.ustring()));
  EXPECT_TRUE(c->GetValue(u"n").isNull());
  EXPECT_TRUE(c->GetValue(u"e").isNull());
  EXPECT_TRUE(c->GetValue(u"user").isEmpty());  // kinds without a value here stay unassigned
  EXPECT_TRUE(c->GetValue(u"$SQL$NO_HASH_JOIN").isNull());

  // A default of the date kind sees the start of the statement that resets it.
  static platform::DateTime fakeNow;
  fakeNow = kStatementStart;
  platform::setNowSource([] { return fakeNow; });
  c->UpdateTime();
  platform::setNowSource(nullptr);
  c->SetToDefault(u"b");
  EXPECT_EQ(c->GetValue(u"b").toDateTime(), platform::encodeDate(2026, 12, 12));
  c->SetToDefault(u"g");
  EXPECT_NE(c->GetValue(u"g").ustring(), guid.ustring());
}

TEST(SqlContext, LookUpFindsTheLocalsAndTheInternalOnes) {
  auto c = newContext();
  FakeLocalDef a(u"a", dtNull), b(u"b", dtNull);
  const TnxSqlLocalItem items[] = {{u"a", &a}, {u"b", &b}};
  c->DefineLocals(items);
  std::set<std::int32_t> indices;
  for (const char16_t* name : {u"a", u"b", u"$SQL$NO_HASH_JOIN", u"$sql$no_merge_join"}) {
    const std::int32_t i = c->LookUpLocalIndex(name);
    EXPECT_GE(i, 0) << platform::toUtf8(name);
    indices.insert(i);
  }
  EXPECT_EQ(indices.size(), 4u);
  EXPECT_EQ(c->LookUpLocalIndex(u"c"), -1);

  InxSqlLocalDef* def = nullptr;
  Variant* slot = c->LookUpLocal(u"A", def);
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(def, &a);
  *slot = Variant(5);
  EXPECT_EQ(c->GetValue(u"a").toInt32(), 5);
  Variant* internal = c->LookUpLocal(u"$SQL$NO_MERGE_JOIN", def);
  ASSERT_NE(internal, nullptr);
  EXPECT_EQ(def->LocalDataType(), nxtInt32);
  EXPECT_EQ(def->LocalDefaultType(), dtNull);
  EXPECT_EQ(c->LookUpLocal(u"zz", def), nullptr);
}

TEST(SqlContext, UnknownLocals) {
  auto c = newContext();
  FakeLocalDef a(u"a", dtNull);
  const TnxSqlLocalItem items[] = {{u"a", &a}};
  c->DefineLocals(items);
  EXPECT_TRUE(c->TryGetValue(u"nope").isNull());
  EXPECT_EQ(sqlError([&] { c->GetValue(u"nope"); }),
            u"Error in TnxSqlContext.GetValue - local variable nope not found");
  EXPECT_EQ(sqlError([&] { c->SetValue(u"nope", Variant(1), nullptr); }),
            u"Error in TnxSqlContext.SetValue - local variable nope not found");
  EXPECT_EQ(sqlError([&] { c->SetToDefault(u"nope"); }),
            u"Error in TnxSqlContext.SetValue - local variable nope not found");
  EXPECT_EQ(c->LookUpLocalLocaleDesc(u"nope"), nullptr);
}

TEST(SqlContext, SetValueStoresTheLocale) {
  auto c = newContext();
  FakeLocalDef a(u"a", dtNull);
  const TnxSqlLocalItem items[] = {{u"a", &a}};
  c->DefineLocals(items);
  auto* locale = reinterpret_cast<TnxLocaleDescriptor*>(&a);  // never dereferenced
  c->SetValue(u"a", Variant(u"x"), locale);
  EXPECT_EQ(c->LookUpLocalLocaleDesc(u"A"), locale);
  EXPECT_EQ(c->GetValue(u"a").toString(), u"x");
}

TEST(SqlContext, OneNameIsOneLocal) {
  auto c = newContext();
  FakeLocalDef first(u"x", dtLiteral, Variant(1)), second(u"X", dtLiteral, Variant(2));
  const TnxSqlLocalItem items[] = {{u"x", &first}, {u"X", &second}};
  c->DefineLocals(items);
  EXPECT_EQ(c->GetValue(u"x").toInt32(), 1);
  EXPECT_GE(c->LookUpLocalIndex(u"$SQL$NO_HASH_JOIN"), 0);
  InxSqlLocalDef* def = nullptr;
  c->LookUpLocal(u"X", def);
  EXPECT_EQ(def, &first);
}

}  // namespace
