// The node stream: golden bytes of every encoding, headers with and without
// the marker, nested versions, round trips, and a reader that refuses
// truncated, negative, huge and mutated data cleanly.
#include "nxsqlBaseStream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "nxsqlTestNodes.h"

using namespace sqltest;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(TnxMemoryStream& aStream) {
  const auto* p = static_cast<const std::uint8_t*>(aStream.Memory());
  return Bytes(p, p + aStream.Size());
}

void load(TnxMemoryStream& aStream, const Bytes& aBytes) {
  aStream.Clear();
  if (!aBytes.empty()) aStream.WriteBuffer(aBytes.data(), std::int32_t(aBytes.size()));
  aStream.SetPosition(0);
}

template <class F>
Bytes written(F aWrite) {
  TnxMemoryStream s;
  TnxSqlPSMWriter w(s);
  aWrite(w);
  return bytesOf(s);
}

Bytes header(std::string_view aClass, std::int32_t aVersion = 1) {
  Bytes b{0xFF, std::uint8_t(aVersion), std::uint8_t(aVersion >> 8), std::uint8_t(aVersion >> 16),
          std::uint8_t(aVersion >> 24), std::uint8_t(aClass.size())};
  b.insert(b.end(), aClass.begin(), aClass.end());
  return b;
}

Bytes cat(std::initializer_list<Bytes> aParts) {
  Bytes r;
  for (const Bytes& p : aParts) r.insert(r.end(), p.begin(), p.end());
  return r;
}

// The fields of a TTestItem named aName with nothing else set.
Bytes plainItemFields(const Bytes& aNameBytes) {
  const auto n = std::uint8_t(aNameBytes.size());
  return cat({{n, 0, 0, 0}, aNameBytes, {0}, Bytes(8, 0), {0, 0, 0, 0}, {0, 0, 0, 0}, {0}});
}

class SqlStreamTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { TestNodeClasses::Register(); }
  static void TearDownTestSuite() { TestNodeClasses::Unregister(); }
  void SetUp() override {
    savedCodePage = platform::ansiCodePage();
    platform::setAnsiCodePage(932);
    root.reset(platform::create<TTestRoot>(nullptr));
  }
  void TearDown() override { platform::setAnsiCodePage(savedCodePage); }

  // Reads one node from aBytes under root.
  TnxOwned<TnxSqlNode> read(const Bytes& aBytes, std::int64_t* aEnd = nullptr) {
    TnxMemoryStream s;
    load(s, aBytes);
    TnxSqlPSMReader r(s);
    TnxOwned<TnxSqlNode> n(r.ReadNode(root.get()));
    if (aEnd) *aEnd = s.Position();
    EXPECT_EQ(r.Version(), 1);
    return n;
  }

  std::uint16_t savedCodePage = 0;
  TnxOwned<TTestRoot> root;
};

TEST_F(SqlStreamTest, GoldenBytesOfEachEncoding) {
  struct Case {
    const char* what;
    std::function<void(TnxSqlPSMWriter&)> write;
    Bytes bytes;
  } cases[] = {
      {"Bool", [](auto& w) { w.WriteBool(true); w.WriteBool(false); }, {1, 0}},
      {"Byte", [](auto& w) { w.WriteByte(0xAB); }, {0xAB}},
      {"Int", [](auto& w) { w.WriteInt(-2); }, {0xFE, 0xFF, 0xFF, 0xFF}},
      {"Int64", [](auto& w) { w.WriteInt64(0x0102030405060708); }, {8, 7, 6, 5, 4, 3, 2, 1}},
      {"LString CP932", [](auto& w) { w.WriteLString(u"名前"); }, {4, 0, 0, 0, 0x96, 0xBC, 0x91, 0x4F}},
      {"LString empty", [](auto& w) { w.WriteLString(u""); }, {0, 0, 0, 0}},
      {"PString", [](auto& w) { w.WritePString("Ab"); }, {2, 'A', 'b'}},
      {"WString", [](auto& w) { w.WriteWString(u"ab"); }, {2, 0, 0, 0, 'a', 0, 'b', 0}},
      {"WString beyond Latin", [](auto& w) { w.WriteWString(u"名"); }, {1, 0, 0, 0, 0x0D, 0x54}},
      {"optional nil", [](auto& w) { w.WriteNodeOpt(nullptr); }, {0}},
  };
  for (const Case& c : cases) EXPECT_EQ(written(c.write), c.bytes) << c.what;
}

TEST_F(SqlStreamTest, NodeHeaderGoldenBytes) {
  TTestItem* item = root->Add(u"x");
  const Bytes expected = cat({header("TTestItem"), plainItemFields({'x'})});
  EXPECT_EQ(written([&](auto& w) { w.WriteNode(item); }), expected);
  EXPECT_EQ(written([&](auto& w) { w.WriteNodeOpt(item); }), cat({{1}, expected}));
  item->LayoutVersion = 3;
  EXPECT_EQ(written([&](auto& w) { w.WriteNode(item); }), cat({header("TTestItem", 3), plainItemFields({'x'})}));
}

TEST_F(SqlStreamTest, PStringIsCutAt255Bytes) {
  const std::string longName(300, 'n');
  const Bytes b = written([&](auto& w) { w.WritePString(longName); });
  ASSERT_EQ(b.size(), 256u);
  EXPECT_EQ(b[0], 255);
}

TEST_F(SqlStreamTest, TreeRoundTripIsEqual) {
  TTestItem* top = root->Add(u"top 名前");
  top->Flag = true;
  top->Num = -1234567890123;
  top->Wide = u"wide \U0001F600 \u540d";
  top->AddKid(u"k1")->AddKid(u"k11");
  top->AddKid(u"");
  auto* extra = platform::create<TTestTable>(top);
  extra->Name = u"extra";
  top->Extra = extra;
  const Bytes b = written([&](auto& w) { w.WriteNode(top); });
  std::int64_t end = 0;
  TnxOwned<TnxSqlNode> back = read(b, &end);
  EXPECT_EQ(end, std::int64_t(b.size()));
  EXPECT_TRUE(TnxSqlNode::NodesIdentical(back.get(), top));
  EXPECT_TRUE(back->Equals(top));
  EXPECT_EQ(back->Parent(), root.get());
  auto* backTop = static_cast<TTestItem*>(back.get());
  EXPECT_EQ(backTop->Kids[0]->Parent(), backTop);  // nodes read inside a node have it as parent
  EXPECT_TRUE(backTop->Extra->is<TTestTable>());
}

TEST_F(SqlStreamTest, HeaderWithoutMarkerReadsAsVersionOne) {
  const Bytes b = cat({{9}, Bytes{'T', 'T', 'e', 's', 't', 'I', 't', 'e', 'm'}, plainItemFields({'q'})});
  TnxOwned<TnxSqlNode> n = read(b);
  auto* item = static_cast<TTestItem*>(n.get());
  EXPECT_EQ(item->Name, u"q");
  EXPECT_EQ(item->LoadedVersion, 1);
}

TEST_F(SqlStreamTest, EmptyClassNameIsSkippedOnce) {
  const Bytes withMarker = cat({header(""), {9}, Bytes{'T', 'T', 'e', 's', 't', 'I', 't', 'e', 'm'},
                                plainItemFields({'s'})});
  EXPECT_EQ(static_cast<TTestItem*>(read(withMarker).get())->Name, u"s");
  // Twice empty names no class: refused.
  TnxMemoryStream s;
  load(s, cat({header(""), {0}, plainItemFields({'s'})}));
  TnxSqlPSMReader r(s);
  EXPECT_EQ(sqlError([&] { r.ReadNode(root.get()); }),
            u"Node stream is corrupt: node without class name at offset 7");
}

TEST_F(SqlStreamTest, NestedVersionsAreRestored) {
  TTestItem* top = root->Add(u"top");
  top->LayoutVersion = 3;
  TTestItem* kid = top->AddKid(u"kid");
  kid->LayoutVersion = 2;
  kid->AddKid(u"grandchild");  // version 1
  TnxOwned<TnxSqlNode> back = read(written([&](auto& w) { w.WriteNode(top); }));
  auto* t = static_cast<TTestItem*>(back.get());
  auto* k = static_cast<TTestItem*>(t->Kids[0]);
  auto* g = static_cast<TTestItem*>(k->Kids[0]);
  EXPECT_EQ(t->LoadedVersion, 3);
  EXPECT_EQ(t->VersionAfterKids, 3);
  EXPECT_EQ(k->LoadedVersion, 2);
  EXPECT_EQ(k->VersionAfterKids, 2);
  EXPECT_EQ(g->LoadedVersion, 1);
}

TEST_F(SqlStreamTest, UnregisteredClassNameIsNamed) {
  TnxMemoryStream s;
  load(s, cat({header("TnxSqlGhost"), plainItemFields({'x'})}));
  TnxSqlPSMReader r(s);
  EXPECT_EQ(sqlError([&] { r.ReadNode(root.get()); }),
            u"Type TnxSqlGhost is not registered with the PSM streaming system");
}

TEST_F(SqlStreamTest, TextTheCodePageCannotHoldIsRefused) {
  struct Case {
    std::uint16_t codePage;
    const char16_t* text;
    bool stored;
  } cases[] = {
      {932, u"名前", true},
      {932, u"caf\u00e9", false},       // no é in Shift-JIS
      {932, u"\u301c", false},          // a best fit that reads back as another character
      {1252, u"caf\u00e9", true},
      {1252, u"\uff41", false},         // full-width a would come back as 'a'
      {1252, u"名", false},
      {932, u"\U0001F600", false},
  };
  for (const Case& c : cases) {
    platform::setAnsiCodePage(c.codePage);
    TnxMemoryStream s;
    TnxSqlPSMWriter w(s);
    if (c.stored) {
      w.WriteLString(c.text);
      s.SetPosition(0);
      TnxSqlPSMReader r(s);
      EXPECT_EQ(r.ReadLString(), c.text);
    } else {
      const nxString error = sqlError([&] { w.WriteLString(c.text); });
      EXPECT_NE(error.find(c.text), nxString::npos) << platform::toUtf8(error);
      EXPECT_EQ(s.Size(), 0);  // nothing written
    }
  }
}

TEST_F(SqlStreamTest, CorruptLengthsAndCountsFailCleanly) {
  const Bytes item = cat({header("TTestItem"), plainItemFields({'x'})});
  // Offsets inside item: name length at 15, bool at 20, wide count at 29, kid count at 33.
  auto patched = [&](std::size_t aAt, Bytes aWith) {
    Bytes b = item;
    std::copy(aWith.begin(), aWith.end(), b.begin() + std::ptrdiff_t(aAt));
    return b;
  };
  struct Case {
    const char* what;
    Bytes bytes;
    const char16_t* error;
  } cases[] = {
      {"negative text length", patched(15, {0xFF, 0xFF, 0xFF, 0xFF}),
       u"Node stream is corrupt: invalid text length at offset 19"},
      {"huge text length", patched(15, {0xFF, 0xFF, 0xFF, 0x7F}),
       u"Node stream is corrupt: invalid text length at offset 19"},
      {"negative wide count", patched(29, {0x00, 0x00, 0x00, 0x80}),
       u"Node stream is corrupt: invalid text length at offset 33"},
      {"wide count past the end", patched(29, {0x04, 0, 0, 0}),
       u"Node stream is corrupt: invalid text length at offset 33"},
      {"negative kid count", patched(33, {0xFE, 0xFF, 0xFF, 0xFF}),
       u"Node stream is corrupt: invalid item count at offset 37"},
      {"huge kid count", patched(33, {0x00, 0x00, 0x00, 0x10}),
       u"Node stream is corrupt: invalid item count at offset 37"},
      {"bad Boolean", patched(20, {7}), u"Node stream is corrupt: invalid Boolean at offset 21"},
      {"truncated header", Bytes{0xFF, 1, 0}, u"Node stream is corrupt: unexpected end of data at offset 1"},
      {"truncated name", Bytes{0xFF, 1, 0, 0, 0, 9, 'T'}, u"Node stream is corrupt: unexpected end of data at offset 6"},
      {"empty stream", Bytes{}, u"Node stream is corrupt: unexpected end of data at offset 0"},
      {"truncated fields", Bytes(item.begin(), item.end() - 3),
       u"Node stream is corrupt: unexpected end of data at offset 33"},
  };
  for (const Case& c : cases) {
    TnxMemoryStream s;
    load(s, c.bytes);
    TnxSqlPSMReader r(s);
    EXPECT_EQ(sqlError([&] { r.ReadNode(root.get()); }), c.error) << c.what;
    EXPECT_EQ(r.Version(), 1) << c.what;
  }
}

TEST_F(SqlStreamTest, DeepNestingIsRefusedNotOverflowed) {
  // Every node holds the next as its only kid.
  const Bytes head = cat({header("TTestItem"), {0, 0, 0, 0}, {0}, Bytes(8, 0), {0, 0, 0, 0}, {1, 0, 0, 0}});
  const Bytes tail = {0};  // no extra node
  const std::int32_t depth = TnxSqlPSMReader::kMaxNodeDepth + 5;
  Bytes b;
  for (std::int32_t i = 0; i < depth; ++i) b.insert(b.end(), head.begin(), head.end());
  const Bytes leaf = cat({header("TTestItem"), plainItemFields({})});
  b.insert(b.end(), leaf.begin(), leaf.end());
  for (std::int32_t i = 0; i < depth; ++i) b.insert(b.end(), tail.begin(), tail.end());
  TnxMemoryStream s;
  load(s, b);
  TnxSqlPSMReader r(s);
  const nxString error = sqlError([&] { r.ReadNode(root.get()); });
  EXPECT_NE(error.find(u"nodes nested too deeply"), nxString::npos) << platform::toUtf8(error);
}

TEST_F(SqlStreamTest, MutatedStreamsNeverCrash) {
  TTestItem* top = root->Add(u"top 名前");
  top->Wide = u"wide";
  top->Num = 42;
  top->AddKid(u"k1")->AddKid(u"k11");
  top->AddKid(u"k2")->Flag = true;
  auto* extra = platform::create<TTestTable>(top);
  top->Extra = extra;
  const Bytes good = written([&](auto& w) { w.WriteNode(top); });
  std::mt19937 rng(20261211);
  int refused = 0;
  for (int round = 0; round < 4000; ++round) {
    Bytes b = good;
    const int mutations = 1 + int(rng() % 4);
    for (int m = 0; m < mutations; ++m) {
      switch (rng() % 3) {
        case 0:
          b[rng() % b.size()] = std::uint8_t(rng());
          break;
        case 1:
          b.resize(rng() % b.size());
          break;
        default: {
          const std::size_t at = rng() % b.size();
          const std::uint32_t v = (rng() % 2) ? 0x7FFFFFFF : std::uint32_t(rng());
          for (std::size_t i = 0; i < 4 && at + i < b.size(); ++i) b[at + i] = std::uint8_t(v >> (8 * i));
        }
      }
      if (b.empty()) break;
    }
    TnxMemoryStream s;
    load(s, b);
    TnxSqlPSMReader r(s);
    try {
      TnxOwned<TnxSqlNode> n(r.ReadNode(root.get()));
      EXPECT_LE(s.Position(), s.Size());
    } catch (const EnxInternalSQLException&) {
      ++refused;
    }
  }
  EXPECT_GT(refused, 1000);
}

}  // namespace
