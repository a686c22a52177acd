#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "nxllBde.h"
#include "nxllStreams.h"
#include "nxsdFilterEngineSimpleExpression.h"
#include "nxsdKeyEngineTestSupport.h"
#include "nxsdTestSupport.h"
#include "plDateTime.h"

namespace {

using nxsdkeytest::Owned;
using nxsdtest::expectCode;
using Bytes = std::vector<std::uint8_t>;
using Record = std::vector<std::uint8_t>;

// Builds CANExpr bytes; nodes are numbered as added and laid out with the
// root first.
class ExprBuilder {
 public:
  int Field(std::uint16_t aNumber, const std::string& aName) {
    const std::uint16_t lit = Literal(Bytes(aName.begin(), aName.end() + 0), true);
    return Add(nxCANField, 0, {aNumber, lit}, {});
  }
  int Const(std::uint16_t aType, const Bytes& aValue) {
    return Add(nxCANConst, 0, {aType, static_cast<std::uint16_t>(aValue.size()), Literal(aValue, false)}, {});
  }
  template <class T>
  int ConstOf(std::uint16_t aType, T aValue) {
    Bytes b(sizeof aValue);
    std::memcpy(b.data(), &aValue, sizeof aValue);
    return Const(aType, b);
  }
  int Text(const std::string& aText) {
    Bytes b(aText.begin(), aText.end());
    b.push_back(0);
    return Const(nxCANText, b);
  }
  int Unary(std::uint32_t aOp, int a) { return Add(nxCANUnary, aOp, {0}, {{0, a}}); }
  int Binary(std::uint32_t aOp, int a, int b) { return Add(nxCANBinary, aOp, {0, 0}, {{0, a}, {1, b}}); }
  int Compare(std::uint32_t aOp, bool aIgnoreCase, std::uint16_t aPartial, int a, int b) {
    return Add(nxCANCompare, aOp, {aIgnoreCase ? std::uint16_t{1} : std::uint16_t{0}, aPartial, 0, 0},
               {{2, a}, {3, b}});
  }
  int Continue(std::uint16_t aFlag) { return Add(nxCANContinue, 0, {aFlag}, {}); }

  Bytes Build(int aRoot) const {
    std::vector<std::size_t> offset(nodes_.size());
    std::size_t at = 0;
    auto place = [&](std::size_t i) {
      offset[i] = at;
      at += 8 + 2 * nodes_[i].operands.size();
    };
    place(static_cast<std::size_t>(aRoot));
    for (std::size_t i = 0; i < nodes_.size(); ++i)
      if (i != static_cast<std::size_t>(aRoot)) place(i);
    Bytes out(10 + at + literals_.size());
    const auto nodeStart = std::uint16_t{10};
    const auto literalStart = static_cast<std::uint16_t>(10 + at);
    const auto total = static_cast<std::uint16_t>(out.size());
    const std::uint16_t header[5] = {1, total, static_cast<std::uint16_t>(nodes_.size()), nodeStart, literalStart};
    std::memcpy(out.data(), header, 10);
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
      std::vector<std::uint16_t> ops = nodes_[i].operands;
      for (auto [pos, child] : nodes_[i].children) ops[pos] = static_cast<std::uint16_t>(offset[static_cast<std::size_t>(child)]);
      std::uint8_t* p = out.data() + nodeStart + offset[i];
      std::memcpy(p, &nodes_[i].cls, 4);
      std::memcpy(p + 4, &nodes_[i].op, 4);
      if (!ops.empty()) std::memcpy(p + 8, ops.data(), ops.size() * 2);
    }
    if (!literals_.empty()) std::memcpy(out.data() + literalStart, literals_.data(), literals_.size());
    return out;
  }

 private:
  struct Node {
    std::uint32_t cls, op;
    std::vector<std::uint16_t> operands;
    std::vector<std::pair<std::size_t, int>> children;
  };
  int Add(std::uint32_t aCls, std::uint32_t aOp, std::vector<std::uint16_t> aOperands,
          std::vector<std::pair<std::size_t, int>> aChildren) {
    nodes_.push_back({aCls, aOp, std::move(aOperands), std::move(aChildren)});
    return static_cast<int>(nodes_.size() - 1);
  }
  std::uint16_t Literal(Bytes aBytes, bool aTerminate) {
    const auto at = static_cast<std::uint16_t>(literals_.size());
    if (aTerminate) aBytes.push_back(0);
    literals_.insert(literals_.end(), aBytes.begin(), aBytes.end());
    return at;
  }
  std::vector<Node> nodes_;
  Bytes literals_;
};

TnxCANExpr expr(const Bytes& aBytes) { return std::make_shared<const std::vector<std::uint8_t>>(aBytes); }

class SimpleFilterTest : public nxsdkeytest::KeyEngineTest {
 protected:
  Owned<TnxBaseFilterEngine> Engine(const Bytes& aExpr, std::int32_t aCodePage = -1, bool aActive = true) {
    Owned<TnxSimpleExpressionFilterDescriptor> d(
        platform::create<TnxSimpleExpressionFilterDescriptor>(expr(aExpr), aCodePage));
    Owned<TnxBaseFilterEngine> e(
        TnxBaseFilterEngine::CreateFor(d.get(), TnxIntfPtr<InxFieldsSource>(table.fields)));
    e->SetActive(aActive);
    return e;
  }
  bool Matches(const Bytes& aExpr, const Record& aRecord) { return Engine(aExpr)->MatchesBuffer(aRecord.data()); }
};

TEST_F(SimpleFilterTest, NullsSortBelowValues) {
  const auto f = AddField(u"N", nxtInt32);
  const auto g = AddField(u"M", nxtInt32);
  Record r = NewRecord();
  auto cmp = [&](std::uint32_t op, bool twoFields) {
    ExprBuilder b;
    const int l = b.Field(1, "N");
    const int rr = twoFields ? b.Field(2, "M") : b.ConstOf<std::int32_t>(nxCANInt32, 20);
    return b.Build(b.Binary(op, l, rr));
  };
  EXPECT_FALSE(Matches(cmp(coGT, false), r));
  EXPECT_TRUE(Matches(cmp(coLT, false), r));
  EXPECT_TRUE(Matches(cmp(coEQ, true), r));  // two nulls are equal
  EXPECT_FALSE(Matches(cmp(coNE, true), r));
  Set<std::int32_t>(r, f, 25);
  EXPECT_TRUE(Matches(cmp(coGT, false), r));
  EXPECT_FALSE(Matches(cmp(coEQ, true), r));  // a value against a null
  Set<std::int32_t>(r, g, 25);
  EXPECT_TRUE(Matches(cmp(coGE, true), r));
}

TEST_F(SimpleFilterTest, BooleanFieldNotAndConnectives) {
  const auto flag = AddField(u"Flag", nxtBoolean);
  const auto n = AddField(u"N", nxtInt32);
  ExprBuilder lone;
  const Bytes loneExpr = lone.Build(lone.Field(1, "Flag"));
  ExprBuilder notEq;
  const Bytes notExpr =
      notEq.Build(notEq.Unary(coNOT, notEq.Binary(coEQ, notEq.Field(2, "N"), notEq.ConstOf<std::int32_t>(nxCANInt32, 1))));
  ExprBuilder blank;
  const Bytes blankExpr = blank.Build(blank.Unary(coISBLANK, blank.Field(2, "N")));
  ExprBuilder andOr;
  // (N > 0 AND N < 10) OR Flag
  const Bytes andOrExpr = andOr.Build(andOr.Binary(
      coOR,
      andOr.Binary(coAND, andOr.Binary(coGT, andOr.Field(2, "N"), andOr.ConstOf<std::int32_t>(nxCANInt32, 0)),
                   andOr.Binary(coLT, andOr.Field(2, "N"), andOr.ConstOf<std::int32_t>(nxCANInt32, 10))),
      andOr.Binary(coEQ, andOr.Field(1, "Flag"), andOr.ConstOf<std::uint16_t>(nxCANBoolean, 0xFFFF))));

  struct Case {
    int flag;  // -1 null
    int n;     // -1000 null
    bool lone, notEq, blank, andOr;
  } cases[] = {
      {1, 1, true, false, false, true},    {0, 2, false, true, false, true},
      {-1, -1000, true, true, true, false}, {0, 50, false, true, false, false},
  };
  for (const Case& c : cases) {
    Record r = NewRecord();
    if (c.flag >= 0) Set<std::uint8_t>(r, flag, static_cast<std::uint8_t>(c.flag));
    if (c.n != -1000) Set<std::int32_t>(r, n, c.n);
    EXPECT_EQ(Matches(loneExpr, r), c.lone) << c.flag << "/" << c.n;
    EXPECT_EQ(Matches(notExpr, r), c.notEq) << c.flag << "/" << c.n;
    EXPECT_EQ(Matches(blankExpr, r), c.blank) << c.flag << "/" << c.n;
    EXPECT_EQ(Matches(andOrExpr, r), c.andOr) << c.flag << "/" << c.n;
  }
}

TEST_F(SimpleFilterTest, TextRules) {
  AddField(u"S", nxtNullString, 20);
  const auto w = AddField(u"W", nxtWideString, 20);
  struct Case {
    std::uint32_t op;
    bool ignoreCase;
    std::uint16_t partial;
    const char* value;
    const char* constant;
    bool expected;
  } cases[] = {
      {coLIKE, false, 0, "xaby", "ab", true},   {coLIKE, false, 0, "xaby", "ba", false},
      {coLIKE, false, 0, "xaby", "", false},    {coLIKE, true, 0, "xABy", "ab", true},
      {coLIKE, false, 0, "xABy", "ab", false},  {coEQ, false, 3, "abcd", "abcx", true},
      {coEQ, false, 0, "abcd", "abcx", false},  {coEQ, true, 0, "ABC", "abc", true},
      {coEQ, false, 0, "ABC", "abc", false},    {coNE, false, 0, "ABC", "abc", true},
      {coLT, false, 0, "apple", "banana", true}, {coGT, false, 0, "apple", "banana", false},
      {coEQ, false, 0, "", "", true},
  };
  for (const Case& c : cases) {
    for (int field : {1, 2}) {
      Record r = NewRecord();
      if (field == 1)
        SetNull(r, 0, c.value);
      else
        SetWide(r, w, platform::fromUtf8(c.value));
      ExprBuilder b;
      const Bytes e = b.Build(b.Compare(c.op, c.ignoreCase, c.partial, b.Field(static_cast<std::uint16_t>(field), ""),
                                        b.Text(c.constant)));
      EXPECT_EQ(Matches(e, r), c.expected) << c.op << " " << c.value << " " << c.constant << " field " << field;
    }
  }
  // A partial length cuts an 8-bit text before LIKE looks into it; a wide
  // string is searched whole.
  for (auto [field, expected] : {std::pair{1, false}, std::pair{2, true}}) {
    Record r = NewRecord();
    SetNull(r, 0, "xaby");
    SetWide(r, w, u"xaby");
    ExprBuilder b;
    const Bytes e = b.Build(b.Compare(coLIKE, false, 2, b.Field(static_cast<std::uint16_t>(field), ""), b.Text("ab")));
    EXPECT_EQ(Matches(e, r), expected) << field;
  }
  // A UTF-16 constant.
  Record r = NewRecord();
  SetWide(r, w, u"\u30A2\u30A4");
  ExprBuilder b;
  const std::u16string text = u"\u30A2\u30A4";
  Bytes wide{4, 0};
  wide.insert(wide.end(), reinterpret_cast<const std::uint8_t*>(text.data()),
              reinterpret_cast<const std::uint8_t*>(text.data()) + 4);
  EXPECT_TRUE(Matches(b.Build(b.Binary(coEQ, b.Field(2, "W"), b.Const(nxCANWideText, wide))), r));
}

TEST_F(SimpleFilterTest, FloatAndDateTimeTolerances) {
  const auto f = AddField(u"F", nxtDouble);
  const auto dt = AddField(u"DT", nxtDateTime);
  const auto t = AddField(u"T", nxtTime);
  const auto c = AddField(u"C", nxtCurrency);
  auto floatEq = [&](double aField, double aConst) {
    Record r = NewRecord();
    Set(r, f, aField);
    ExprBuilder b;
    return Matches(b.Build(b.Binary(coEQ, b.Field(1, "F"), b.ConstOf(nxCANFloat, aConst))), r);
  };
  EXPECT_TRUE(floatEq(0.0, 5e-17));
  EXPECT_FALSE(floatEq(1.0, 1.0000001));
  EXPECT_TRUE(floatEq(1.5, 1.5));

  const double day = (platform::encodeDate(2024, 6, 1) + platform::kDateDelta) * 86400000.0 + 43200000.0;
  for (auto [delta, expected] : {std::pair{50.0, true}, std::pair{100.0, false}}) {
    Record r = NewRecord();
    Set(r, dt, day);
    ExprBuilder b;
    EXPECT_EQ(Matches(b.Build(b.Binary(coEQ, b.Field(2, "DT"), b.ConstOf(nxCANTimeStamp, day + delta))), r), expected)
        << delta;
  }
  Record r = NewRecord();
  Set<std::int32_t>(r, t, 3723000);
  ExprBuilder b;
  EXPECT_TRUE(Matches(b.Build(b.Binary(coEQ, b.ConstOf<std::int32_t>(nxCANTime, 3723000), b.Field(3, "T"))), r));
  // A currency field as a float: 1.5 is stored as 15000.
  Record rc = NewRecord();
  Set<std::int64_t>(rc, c, 15000);
  ExprBuilder bc;
  EXPECT_TRUE(Matches(bc.Build(bc.Binary(coEQ, bc.Field(4, "C"), bc.ConstOf(nxCANFloat, 1.5))), rc));
}

TEST_F(SimpleFilterTest, EmptyInactiveAndUnknownOperators) {
  AddField(u"N", nxtInt32);
  Record r = NewRecord();
  EXPECT_TRUE(Matches(Bytes{}, r));
  ExprBuilder b;
  const Bytes never = b.Build(b.Continue(0));
  EXPECT_FALSE(Matches(never, r));
  EXPECT_TRUE(Engine(never, -1, false)->MatchesBuffer(r.data()));
  ExprBuilder u;
  EXPECT_FALSE(Matches(u.Build(u.Binary(99, u.Field(1, "N"), u.Field(1, "N"))), r));
  ExprBuilder out;  // a field number outside the record
  EXPECT_FALSE(Matches(out.Build(out.Binary(coEQ, out.Field(9, "X"), out.ConstOf<std::int32_t>(nxCANInt32, 1))), r));
  ExprBuilder c;
  EXPECT_TRUE(Matches(c.Build(c.Continue(1)), r));
}

TEST_F(SimpleFilterTest, DescriptorStreamVersions) {
  AddField(u"N", nxtInt32);
  ExprBuilder b;
  const Bytes e = b.Build(b.Binary(coGT, b.Field(1, "N"), b.ConstOf<std::int32_t>(nxCANInt32, 5)));
  struct Case {
    const char16_t* text;
    std::int32_t codePage, clientVersion;
    std::uint8_t version;
  } cases[] = {
      {u"", -1, 30002, 1},       {u"N > 5", -1, 30002, 3}, {u"N > 5", 932, 30001, 3},
      {u"N > 5", 932, 30002, 4}, {u"", 1252, 30002, 4},    {u"", 1252, 30001, 1},
  };
  for (const Case& c : cases) {
    TnxSimpleExpressionFilterDescriptor d(expr(e), c.text, c.codePage);
    TnxMemoryStream m;
    ASSERT_EQ(d.WriteToStream(m, c.clientVersion), 0);
    const auto* p = static_cast<const std::uint8_t*>(m.Memory());
    const std::size_t nameLen = p[0];
    ASSERT_EQ(std::string(reinterpret_cast<const char*>(p + 1), nameLen), "TnxSimpleExpressionFilterDescriptor");
    EXPECT_EQ(p[1 + nameLen], c.version);
    m.SetPosition(0);
    TnxBaseFilterDescriptor* back = nullptr;
    ASSERT_EQ(TnxBaseFilterDescriptor::CreateFromStream(m, back), 0);
    Owned<TnxBaseFilterDescriptor> owned(back);
    auto* s = platform::objectAs<TnxSimpleExpressionFilterDescriptor>(back);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(*s->Expression(), e);
    EXPECT_EQ(s->FilterText(), c.version >= 3 ? nxString(c.text) : nxString());
    EXPECT_EQ(s->CodePage(), c.version == 4 ? c.codePage : -1);
  }
  // Version 2 (8-bit text), bad versions and a cut text.
  auto body = [&](std::uint8_t aVersion, const Bytes& aTail) {
    Bytes b2{aVersion, static_cast<std::uint8_t>(e.size()), 0};
    b2.insert(b2.end(), e.begin(), e.end());
    b2.insert(b2.end(), aTail.begin(), aTail.end());
    TnxMemoryStream m;
    m.WriteBuffer(b2.data(), static_cast<std::int32_t>(b2.size()));
    m.SetPosition(0);
    return Owned<TnxSimpleExpressionFilterDescriptor>(platform::create<TnxSimpleExpressionFilterDescriptor>(m));
  };
  EXPECT_EQ(body(2, {3, 0, 'a', 'b', 'c'})->FilterText(), u"abc");
  expectCode([&] { body(0, {}); }, nxErrIncompatibleStream);
  expectCode([&] { body(5, {}); }, nxErrIncompatibleStream);
  expectCode([&] { body(3, {4, 0, 'a', 0}); }, nxErrIncompatibleStream);
  expectCode([&] { body(4, {0, 0, 1}); }, nxErrIncompatibleStream);
}

// A memory stream that keeps the largest read asked of it.
class WatchedStream : public TnxMemoryStream {
 public:
  std::int32_t Read(void* aBuffer, std::int32_t aCount) override {
    largest = std::max(largest, aCount);
    return TnxMemoryStream::Read(aBuffer, aCount);
  }
  std::int32_t largest = 0;
};

// Lengths that claim more than the stream holds are damage, found before a
// buffer of that size is made or read into.
TEST_F(SimpleFilterTest, StreamLengthsBeyondTheStreamAreRefused) {
  const struct Case {
    const char* what;
    Bytes stream;
  } cases[] = {
      {"empty", {}},
      {"no length", {1, 5}},
      {"expression longer than the stream", {1, 0xFF, 0xFF, 1, 2}},
      {"8-bit text longer than the stream", {2, 0, 0, 0xFF, 0xFF, 'a'}},
      {"wide text longer than the stream", {3, 0, 0, 0xFF, 0xFF, 'a', 0}},
      {"wide text of an odd byte more", {3, 0, 0, 2, 0, 'a', 0, 'b'}},
      {"code page cut", {4, 0, 0, 0, 0, 1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WatchedStream m;
    if (!c.stream.empty()) m.WriteBuffer(c.stream.data(), static_cast<std::int32_t>(c.stream.size()));
    m.SetPosition(0);
    expectCode<EnxSimpleExpressionFilterDescriptorException>(
        [&] { Owned<TnxSimpleExpressionFilterDescriptor>(platform::create<TnxSimpleExpressionFilterDescriptor>(m)); },
        nxErrIncompatibleStream);
    EXPECT_LE(m.largest, static_cast<std::int32_t>(c.stream.size()));
  }
}

TEST_F(SimpleFilterTest, EngineCopiesAndDescribesItsDescriptor) {
  AddField(u"N", nxtInt32);
  ExprBuilder b;
  const Bytes e = b.Build(b.Continue(1));
  TnxSimpleExpressionFilterDescriptor d(e.data(), u"text", 932);
  EXPECT_EQ(*d.Expression(), e);
  Owned<TnxBaseFilterEngine> engine(TnxBaseFilterEngine::CreateFor(&d, TnxIntfPtr<InxFieldsSource>(table.fields)));
  auto* se = static_cast<TnxSimpleExpressionFilterEngine*>(engine.get());
  EXPECT_EQ(se->sfeCodePage, 932);
  EXPECT_EQ(se->sfeExpression, d.Expression());  // shared, not copied
  Owned<TnxBaseFilterDescriptor> again(engine->CreateDescriptor());
  auto* ad = platform::objectAs<TnxSimpleExpressionFilterDescriptor>(again.get());
  ASSERT_NE(ad, nullptr);
  EXPECT_EQ(ad->CodePage(), 932);
  EXPECT_EQ(ad->FilterText(), u"text");
  TnxSimpleExpressionFilterDescriptor none(static_cast<const void*>(nullptr), -1);
  EXPECT_TRUE(none.Expression()->empty());
}

// Offsets that leave the expression, cycles and cut literals are refused.
TEST_F(SimpleFilterTest, MalformedExpressionsAreRefused) {
  ExprBuilder b;
  const Bytes good = b.Build(b.Binary(coEQ, b.Field(1, "N"), b.Text("abc")));
  auto set16 = [](Bytes e, std::size_t at, std::uint16_t v) {
    std::memcpy(e.data() + at, &v, 2);
    return e;
  };
  const std::uint16_t nodeStart = 10;
  std::vector<Bytes> bad = {
      Bytes{1, 0, 5},                                   // shorter than the header
      set16(good, 2, static_cast<std::uint16_t>(good.size() + 1)),  // total beyond the bytes
      set16(good, 2, 9),                                // total below the header
      set16(good, 6, 4),                                // node area inside the header
      set16(good, 6, static_cast<std::uint16_t>(good.size())),  // node area at the end
      set16(good, 8, 0xFFF0),                           // literal pool outside
      set16(good, nodeStart + 8, 0),                    // the root is its own left operand: a cycle
      set16(good, nodeStart + 10, 0xFFF0),              // right operand outside
  };
  // The text literal without its terminator.
  Bytes cut = good;
  cut.pop_back();
  cut = set16(cut, 2, static_cast<std::uint16_t>(cut.size()));
  bad.push_back(cut);
  for (std::size_t i = 0; i < bad.size(); ++i)
    expectCode([&] { TnxSimpleExpressionFilterDescriptor d(expr(bad[i]), -1); }, nxErrInvalidFilter);
  EXPECT_NO_THROW(TnxSimpleExpressionFilterDescriptor(expr(good), -1));
  // A chain deeper than any compiled filter.
  ExprBuilder deep;
  int n = deep.Continue(1);
  for (int i = 0; i < 600; ++i) n = deep.Unary(coNOT, n);
  expectCode([&] { TnxSimpleExpressionFilterDescriptor d(expr(deep.Build(n)), -1); }, nxErrInvalidFilter);
}

// Random damage never reads outside the expression: a descriptor is refused
// or evaluates (under the sanitizers this checks every read).
TEST_F(SimpleFilterTest, FuzzedExpressions) {
  AddField(u"N", nxtInt32);
  AddField(u"S", nxtNullString, 10);
  AddField(u"W", nxtWideString, 10);
  Record r = NewRecord();
  Set<std::int32_t>(r, 0, 5);
  SetNull(r, 1, "abc");
  ExprBuilder b;
  const Bytes good = b.Build(b.Binary(
      coAND, b.Compare(coLIKE, true, 2, b.Field(2, "S"), b.Text("AB")),
      b.Binary(coOR, b.Unary(coNOT, b.Binary(coLT, b.Field(1, "N"), b.ConstOf(nxCANFloat, 2.5))),
               b.Binary(coEQ, b.Field(3, "W"), b.ConstOf<std::uint16_t>(nxCANBoolean, 1)))));
  EXPECT_TRUE(Matches(good, r));
  std::mt19937 rng(7);
  int accepted = 0;
  for (int i = 0; i < 20000; ++i) {
    Bytes e = good;
    for (int k = 1 + static_cast<int>(rng() % 3); k > 0; --k) e[rng() % e.size()] = static_cast<std::uint8_t>(rng());
    if (rng() % 8 == 0) e.resize(rng() % e.size());
    try {
      Owned<TnxBaseFilterEngine> engine = Engine(e);
      engine->MatchesBuffer(r.data());
      ++accepted;
    } catch (const EnxBaseException& ex) {
      ASSERT_EQ(ex.ErrorCode(), nxErrInvalidFilter);
    }
  }
  EXPECT_GT(accepted, 0);
}

// The filter of a key reads the key's fields.
TEST_F(SimpleFilterTest, FilterOverAKeyEngine) {
  const auto n = AddField(u"N", nxtInt32);
  const auto s = AddField(u"S", nxtShortString, 10);
  auto* k = NewKey();
  k->Add(s)->SetOverrideLengthChars(2);
  k->Add(n);
  auto keyEngine = nxsdkeytest::KeyEngineTest::Engine(k);
  ExprBuilder b;
  // S (as the key holds it: two characters) = 'ab'
  const Bytes e = b.Build(b.Binary(coEQ, b.Field(1, "S"), b.Text("ab")));
  TnxSimpleExpressionFilterDescriptor d(expr(e), -1);
  Owned<TnxBaseFilterEngine> filter(
      TnxBaseFilterEngine::CreateFor(&d, TnxIntfPtr<InxFieldsSource>(static_cast<InxFieldsSource*>(keyEngine.get()))));
  filter->SetActive(true);
  Record r = NewRecord();
  SetShort(r, s, "abcd");
  PnxKeyBuffer key = keyEngine->AllocKey();
  ASSERT_EQ(keyEngine->BuildKey(r.data(), key, 0, false), 0);
  EXPECT_TRUE(filter->MatchesKey(key));
  EXPECT_FALSE(Matches(e, r));  // the record holds the whole text
  keyEngine->FreeKey(key);
}

}  // namespace
