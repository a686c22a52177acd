// Stream chains, named streams and the dictionary stored in "DICT".
#include <gtest/gtest.h>

#include "nxseTableTestSupport.h"

namespace {

using namespace nxtest;

class StreamEngineTest : public TableTest {
 protected:
  Table& table() {
    if (tables_.empty()) createTable(newDictionary());
    return *tables_.front();
  }
  TnxSimpleStreamEngine* engine() { return platform::objectAs<TnxSimpleStreamEngine>(table().stream.get()); }
  static TnxOwned<TnxMemoryStream> bytes(std::size_t aCount, std::uint8_t aSeed = 1) {
    TnxOwned<TnxMemoryStream> s(platform::create<TnxMemoryStream>());
    for (std::size_t i = 0; i < aCount; ++i) {
      const auto b = static_cast<std::uint8_t>(aSeed + i * 7);
      s->WriteBuffer(&b, 1);
    }
    return s;
  }
  static bool same(TnxMemoryStream& a, TnxMemoryStream& b) {
    return a.Size() == b.Size() &&
           (a.Size() == 0 || std::memcmp(a.Memory(), b.Memory(), static_cast<std::size_t>(a.Size())) == 0);
  }
  std::uint32_t chainLength(TnxBaseTransaction* aTrans, TnxBlockNumber aFirst) {
    std::uint32_t n = 0;
    for (TnxBlockNumber b = aFirst; b != 0xFFFFFFFFu; ++n) {
      TnxPinnedBlock blockPin([&](TnxReleaseMethod& r) {
        return table().streamAccess->GetBlock(aTrans, b, false, r, engine()->bseID);
      });
      PnxBlock block = blockPin.Block();
      b = nxseGetU32(block + 16);
      blockPin.Release();
    }
    return n;
  }
};

TEST_F(StreamEngineTest, StreamBlockBoundaryAtUsableSizeMinus32) {
  struct Case {
    std::size_t length;
    std::uint32_t blocks;
  };
  for (const Case c : {Case{0, 1}, Case{1, 1}, Case{4060, 1}, Case{4061, 2}, Case{3 * 4060, 3}, Case{3 * 4060 + 1, 4}}) {
    TnxOwned<TestTransaction> trans(newTransaction());
    TnxOwned<TnxMemoryStream> data = bytes(c.length);
    TnxBlockNumber nr = 0;
    engine()->WriteStream(trans.get(), nr, *data, true, {'U', 'S', 'E', 'R'});
    EXPECT_EQ(chainLength(trans.get(), nr), c.blocks) << c.length;
    TnxOwned<TnxMemoryStream> back(platform::create<TnxMemoryStream>());
    engine()->ReadStream(trans.get(), nr, *back);
    EXPECT_TRUE(same(*data, *back)) << c.length;
    EXPECT_EQ(back->Position(), 0);
    engine()->DeleteStream(trans.get(), nr);
    trans->Commit();
  }
  EXPECT_EQ(checkFile(), "");
}

TEST_F(StreamEngineTest, RewritingDictWithLessKeepsTheFirstBlockAndFreesTheRest) {
  Table& t = table();
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxOwned<TnxMemoryStream> big = bytes(10000);
  ASSERT_EQ(engine()->WriteNamedStream(trans.get(), u"DICT", *big), 0);
  TnxOwned<TnxBaseFileHeaderAccess> header(t.streamAccess->HeaderAccess(trans.get(), false));
  const TnxBlockNumber first = nxseGetU32(header->Header + engine()->seHeaderSection);
  header.reset();
  EXPECT_EQ(chainLength(trans.get(), first), 3u);
  TnxOwned<TnxMemoryStream> small = bytes(10);
  ASSERT_EQ(engine()->WriteNamedStream(trans.get(), u"dict", *small), 0);
  header.reset(t.streamAccess->HeaderAccess(trans.get(), false));
  EXPECT_EQ(nxseGetU32(header->Header + engine()->seHeaderSection), first);
  EXPECT_EQ(header->AvailableBlocks(), 2u);  // the two freed blocks sit in the cache
  header.reset();
  EXPECT_EQ(chainLength(trans.get(), first), 1u);
  TnxOwned<TnxMemoryStream> back(platform::create<TnxMemoryStream>());
  ASSERT_EQ(engine()->ReadNamedStream(trans.get(), u"Dict", *back), 0);
  EXPECT_TRUE(same(*small, *back));
  trans->Commit();
  EXPECT_EQ(checkFile(), "");
}

TEST_F(StreamEngineTest, NamedStreamsAndTheirMap) {
  TnxOwned<TestTransaction> trans(newTransaction());
  std::int32_t count = -1;
  ASSERT_EQ(engine()->GetNamedStreamCount(trans.get(), count), 0);
  EXPECT_EQ(count, 0);  // "DICT" is not counted
  platform::TStringList names;
  ASSERT_EQ(engine()->GetNamedStreamList(trans.get(), names), 0);
  ASSERT_EQ(names.count(), 1);
  EXPECT_EQ(names.strings(0), u"DICT");

  TnxOwned<TnxMemoryStream> b = bytes(5000, 2), a = bytes(30, 3);
  ASSERT_EQ(engine()->WriteNamedStream(trans.get(), u"beta", *b), 0);
  ASSERT_EQ(engine()->WriteNamedStream(trans.get(), u"Alpha", *a), 0);
  ASSERT_EQ(engine()->GetNamedStreamList(trans.get(), names), 0);
  ASSERT_EQ(names.count(), 3);
  EXPECT_EQ(names.strings(0), u"Alpha");
  EXPECT_EQ(names.strings(1), u"beta");
  EXPECT_EQ(names.strings(2), u"DICT");
  ASSERT_EQ(engine()->GetNamedStreamCount(trans.get(), count), 0);
  EXPECT_EQ(count, 2);
  // Rewriting by another case replaces the stream.
  TnxOwned<TnxMemoryStream> b2 = bytes(9000, 4);
  ASSERT_EQ(engine()->WriteNamedStream(trans.get(), u"BETA", *b2), 0);
  TnxOwned<TnxMemoryStream> back(platform::create<TnxMemoryStream>());
  ASSERT_EQ(engine()->ReadNamedStream(trans.get(), u"beta", *back), 0);
  EXPECT_TRUE(same(*b2, *back));
  EXPECT_EQ(engine()->ReadNamedStream(trans.get(), u"gamma", *back), 8712);
  EXPECT_EQ(engine()->DeleteNamedStream(trans.get(), u"gamma"), 8712);
  trans->Commit();
  EXPECT_EQ(checkFile(), "");

  // Deleting the last user stream removes the map.
  TnxOwned<TestTransaction> second(newTransaction());
  ASSERT_EQ(engine()->DeleteNamedStream(second.get(), u"alpha"), 0);
  ASSERT_EQ(engine()->DeleteNamedStream(second.get(), u"Beta"), 0);
  TnxOwned<TnxBaseFileHeaderAccess> header(table().streamAccess->HeaderAccess(second.get(), false));
  EXPECT_EQ(nxseGetU32(header->Header + engine()->seHeaderSection + 4), 0u);
  header.reset();
  ASSERT_EQ(engine()->GetNamedStreamList(second.get(), names), 0);
  ASSERT_EQ(names.count(), 1);
  EXPECT_EQ(names.strings(0), u"DICT");
  second->Commit();
  EXPECT_EQ(checkFile(), "");
}

TEST_F(StreamEngineTest, DictionaryComesBackFromTheFile) {
  TnxServerDataDict* dict = newDictionary(40);
  dict->FieldsDescriptor()->AddField(u"Name", u"", nxtWideString, 20, 0, false);
  createTable(dict);
  const std::int32_t fields = dict->FieldsDescriptor()->FieldCount();
  closeAll();
  Table& t = openExisting();
  EXPECT_EQ(t.dict->FieldsDescriptor()->FieldCount(), fields);
  EXPECT_EQ(t.dict->FieldsDescriptor()->Fields(1)->Name(), u"Name");
  EXPECT_TRUE(t.dict->ReadOnly());
  EXPECT_EQ(t.dict->HeaderSignature(), kNX2);
  // Without "DICT" the dictionary is missing.
  TnxOwned<TestTransaction> trans(newTransaction());
  ASSERT_EQ(t.stream->DeleteNamedStream(trans.get(), u"DICT"), 0);
  TnxOwned<TnxServerDataDict> other(platform::create<TnxServerDataDict>());
  expectFailsWith(9992, "The data dictionary is missing", [&] { other->ReadFromFile(t.stream.get(), trans.get()); });
  trans->Rollback();
}

TEST_F(StreamEngineTest, StreamEngineIsTheOneNamedInBlockZero) {
  TnxOwned<TnxServerDataDict> dict(newDictionary());
  dict->StreamDescriptor()->SetStreamEngine(u"SomethingElse");
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxBaseFile* file = newFile(trans.get());
  TnxOwned<TnxBlockAccess> main(platform::create<TnxBlockAccess>(file, nullptr, u"t", 0));
  TnxOwned<TnxBlockAccess> access(platform::create<TnxBlockAccess>(file, main.get(), u"t", 0));
  TnxOwned<TnxBaseStreamEngine> stream(TnxBaseStreamEngine::CreateEngine(dict.get(), access.get(), trans.get()));
  EXPECT_NE(platform::objectAs<TnxSimpleStreamEngine>(stream.get()), nullptr);
  file->SetStreamEngineName(u"Unknown");
  expectFailsWith(15503, "Unknown stream engine: \"Unknown\"",
                  [&] { TnxBaseStreamEngine::CreateEngine(dict.get(), access.get(), trans.get()); });
  stream.reset();
  trans->Rollback();
}

TEST_F(StreamEngineTest, UsableBlockSizeFollowsHeaderFormat) {
  TnxOwned<TnxServerDataDict> dict(newDictionary());
  EXPECT_EQ(dict->UsableBlockSize(nxbs4k), 4092);
  EXPECT_EQ(dict->UsableBlockSize(nxbs64k), 65532);
  dict->SetHeaderSignature(kNX1);
  EXPECT_EQ(dict->UsableBlockSize(nxbs4k), 4096);
}

TEST_F(StreamEngineTest, DamagedStreamsGiveClearErrors) {
  Table& t = table();
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    TnxOwned<TnxMemoryStream> data = bytes(9000);
    ASSERT_EQ(t.stream->WriteNamedStream(trans.get(), u"blob", *data), 0);
    trans->Commit();
  }
  const std::vector<std::uint8_t> good = disk();
  closeAll();
  // Locate the chain of the "blob" stream and the map on disk.
  std::vector<std::uint32_t> user, map;
  for (std::uint32_t n = 1; n * 4096 < good.size(); ++n) {
    const std::uint8_t* b = good.data() + n * 4096;
    if (std::memcmp(b, "NXSH", 4) != 0) continue;
    if (std::memcmp(b + 20, "USER", 4) == 0) user.push_back(n);
    if (std::memcmp(b + 20, "SMAP", 4) == 0) map.push_back(n);
  }
  ASSERT_EQ(user.size(), 3u);
  ASSERT_EQ(map.size(), 1u);
  struct Case {
    const char* what;
    std::uint32_t block;
    std::uint32_t offset;
    std::uint32_t value;
    TnxResult code;
    bool remove = false;  // delete the stream instead of reading it
  };
  const Case cases[] = {
      {"length beyond the file", user[0], 24, 0x7FFFFFF0u, 8962},
      {"length beyond the chain", user[0], 24, 4 * 4060, 8962},
      {"cycle in the chain", user[1], 16, user[0], 8962, true},
      {"later block of another stream", user[1], 28, user[0] + 1, 8962},
      {"later block with a length", user[2], 24, 5, 8962},
      {"link beyond the file", user[1], 16, 5000, 15409},
      {"not a stream block", user[2], 0, 0x58585858u, 15421},
      {"map count too large", map[0], 32, 1000000, 8962},
      {"map entry beyond the file", map[0], 32 + 4 + 1 + 4, 5000, 8962},
      {"map name length beyond the stream", map[0], 36, 200, 8962},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> bad = good;
    if (c.offset == 36)
      bad[c.block * 4096 + 36] = static_cast<std::uint8_t>(c.value);
    else
      nxsePutU32(bad.data() + c.block * 4096 + c.offset, c.value);
    putDisk(bad);
    Table& o = openExisting();
    TnxOwned<TnxMemoryStream> back(platform::create<TnxMemoryStream>());
    if (c.remove) {
      TnxOwned<TestTransaction> trans(newTransaction());
      expectFails(c.code, [&] { o.stream->DeleteNamedStream(trans.get(), u"blob"); }, c.what);
      trans->Rollback();
    } else {
      expectFails(c.code, [&] { o.stream->ReadNamedStream(nullptr, u"blob", *back); }, c.what);
    }
    closeAll();
    tables_.clear();
  }
}

}  // namespace
