// Simple BLOBs: chains of "NXBH" blocks, file BLOBs and links, writes,
// truncations and reads against a model, and damaged chains.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>

#include "nxExpectCode.h"
#include "nxseBlobEngineSimple.h"
#include "nxseTableTestSupport.h"

namespace {

using namespace nxtest;

constexpr std::uint32_t kCap = 4092 - 27;  // data bytes per 4 KB block

class SimpleBlobTest : public TableTest {
 protected:
  void SetUp() override {
    TableTest::SetUp();
    nxseBlobEngineSimpleInitialize();
  }
  void TearDown() override {
    engine_.reset();
    access_.reset();
    nxseBlobEngineSimpleFinalize();
    TableTest::TearDown();
  }

  // A table whose BLOB descriptor names "nx1xSimple"; the engine made
  // with the table.
  Table& table() {
    if (!tables_.empty()) return *tables_.front();
    TnxServerDataDict* dict = newDictionary(16);
    dict->AddBlobDescriptor(&TnxBaseBlobDescriptor::staticClassInfo())->SetBlobEngine(u"nx1xSimple");
    Table& t = createTable(dict);
    attachEngine(t);
    return t;
  }
  void attachEngine(Table& t) {
    engine_.reset();
    access_.reset(platform::create<TnxBlockAccess>(t.file, t.main.get(), u"t", t.dict->BlobDescriptor()->ID()));
    engine_.reset(TnxBaseBlobEngine::CreateEngine(t.dict.get(), {access_.get()}, nullptr));
  }
  TnxSimpleBlobEngine* engine() {
    table();
    return platform::objectAs<TnxSimpleBlobEngine>(engine_.get());
  }
  // Reopens the committed file.
  void reopen() {
    engine_.reset();
    access_.reset();
    closeAll();
    tables_.clear();
    attachEngine(openExisting());
  }

  std::string read(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, std::uint32_t aOffset = 0,
                   std::uint32_t aLen = 0x7FFFFFFF) {
    TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
    EXPECT_EQ(engine()->Read(aTrans, aBlobNr, aOffset, aLen, {}, *stream), 0u);
    return std::string(static_cast<const char*>(stream->Memory()), static_cast<std::size_t>(stream->Size()));
  }
  std::uint32_t length(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr) {
    std::uint32_t n = 0;
    EXPECT_EQ(engine()->GetBlobLength(aTrans, aBlobNr, {}, n), 0u);
    return n;
  }
  void write(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, std::uint32_t aOffset, const std::string& aData) {
    engine()->Write(aTrans, aBlobNr, aOffset, static_cast<std::uint32_t>(aData.size()), aData.data());
  }
  // The committed image of block aBlock.
  std::vector<std::uint8_t> block(TnxBlockNumber aBlock) {
    const std::vector<std::uint8_t> d = disk();
    return std::vector<std::uint8_t>(d.begin() + aBlock * 4096, d.begin() + (aBlock + 1) * 4096);
  }
  std::uint32_t usedBlocks() { return nxseGetU32(disk().data() + nxseHdr::UsedBlocks); }
  std::uint32_t freeCount() { return nxseGetU32(disk().data() + nxseHdr::FreeCount); }

  // Changes committed bytes of the file and reopens it.
  template <class F>
  void damage(F&& aChange) {
    engine_.reset();
    access_.reset();
    closeAll();
    tables_.clear();
    std::vector<std::uint8_t> d = disk();
    aChange(d);
    putDisk(d);
    attachEngine(openExisting());
  }

  static std::string pattern(std::size_t aSize, char aSeed) {
    std::string s(aSize, '\0');
    for (std::size_t i = 0; i < aSize; ++i) s[i] = static_cast<char>(aSeed + i * 7 % 251);
    return s;
  }

  TnxOwned<TnxBlockAccess> access_;
  TnxOwned<TnxBaseBlobEngine> engine_;
};

TEST_F(SimpleBlobTest, TenBytesTakeOneBlockAndReadsStopAtTheLength) {
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxBlobNr nr = 0;
  engine()->AddBlob(trans.get(), nr);
  EXPECT_EQ(length(trans.get(), nr), 0u);
  EXPECT_EQ(read(trans.get(), nr), "");
  write(trans.get(), nr, 0, "0123456789");
  trans->Commit();
  const std::vector<std::uint8_t> b = block(static_cast<TnxBlockNumber>(nr));
  EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "NXBH");
  EXPECT_EQ(b[16], 0);
  EXPECT_EQ(nxseGetU32(b.data() + 17), 0xFFFFFFFFu);
  EXPECT_EQ(nxseGetU32(b.data() + 21), 10u);
  EXPECT_EQ(nxseGetU16(b.data() + 25), 10u);
  EXPECT_EQ(nxseGetI32(b.data() + 4092), engine()->bseID);
  EXPECT_EQ(read(nullptr, nr, 4, 100), "456789");
  EXPECT_EQ(read(nullptr, nr, 10, 5), "");
  EXPECT_EQ(checkFile(), "");
}

TEST_F(SimpleBlobTest, AppendToAFullBlockStartsASecondBlock) {
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxBlobNr nr = 0;
  engine()->AddBlob(trans.get(), nr);
  const std::string a = pattern(kCap, 'a'), b = pattern(kCap, 'b');
  write(trans.get(), nr, 0, a);
  const std::uint32_t before = table().file->TransUsedBlocks();
  write(trans.get(), nr, kCap, b);
  EXPECT_EQ(table().file->TransUsedBlocks(), before + 1);
  trans->Commit();
  const std::vector<std::uint8_t> first = block(static_cast<TnxBlockNumber>(nr));
  const TnxBlockNumber second = nxseGetU32(first.data() + 17);
  EXPECT_NE(second, 0xFFFFFFFFu);
  EXPECT_EQ(nxseGetU16(first.data() + 25), kCap);
  EXPECT_EQ(nxseGetU16(block(second).data() + 25), kCap);
  EXPECT_EQ(read(nullptr, nr), a + b);
  EXPECT_EQ(read(nullptr, nr, kCap - 3, 6), a.substr(kCap - 3) + b.substr(0, 3));
  EXPECT_EQ(checkFile(), "");
}

TEST_F(SimpleBlobTest, TruncateToZeroFreesTheTailAndFreeBlobTheFirstBlock) {
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxBlobNr nr = 0;
  engine()->AddBlob(trans.get(), nr);
  write(trans.get(), nr, 0, pattern(2 * kCap + 100, 'x'));
  trans->Commit();
  const std::uint32_t free0 = freeCount();
  trans.reset(newTransaction());
  EXPECT_FALSE(engine()->FreeBlob(trans.get(), nr));  // not empty: nothing changes
  engine()->Truncate(trans.get(), nr, 0);
  EXPECT_EQ(length(trans.get(), nr), 0u);
  EXPECT_EQ(read(trans.get(), nr), "");
  trans->Commit();
  EXPECT_EQ(freeCount(), free0 + 2);
  EXPECT_EQ(checkFile(), "");
  // A rewrite from 0 refills the chain from its first block; the stale used
  // count left by the truncation does not leak old bytes.
  trans.reset(newTransaction());
  write(trans.get(), nr, 0, "abc");
  EXPECT_EQ(read(trans.get(), nr), "abc");
  engine()->Truncate(trans.get(), nr, 0);
  EXPECT_TRUE(engine()->FreeBlob(trans.get(), nr));
  trans->Commit();
  EXPECT_EQ(freeCount(), free0 + 3);
  EXPECT_EQ(checkFile(), "");
}

TEST_F(SimpleBlobTest, DeleteBlobFreesEveryBlockOfTheChain) {
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxBlobNr keep = 0, gone = 0;
  engine()->AddBlob(trans.get(), keep);
  write(trans.get(), keep, 0, "kept");
  engine()->AddBlob(trans.get(), gone);
  write(trans.get(), gone, 0, pattern(3 * kCap + 1, 'g'));
  trans->Commit();
  const std::uint32_t free0 = freeCount();
  trans.reset(newTransaction());
  engine()->DeleteBlob(trans.get(), gone);
  trans->Commit();
  EXPECT_EQ(freeCount(), free0 + 4);
  EXPECT_EQ(read(nullptr, keep), "kept");
  EXPECT_EQ(checkFile(), "");
}

TEST_F(SimpleBlobTest, RefusedChangesAndBadNumbers) {
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxBlobNr data = 0, file = 0, link = 0;
  engine()->AddBlob(trans.get(), data);
  write(trans.get(), data, 0, "12345");
  engine()->AddFileBlob(trans.get(), u"pic.bin", file);
  engine()->AddBlobLink(trans.get(), u"other", 77, link);
  expectFailsWith(10502, "Cannot write to a file BLOB", [&] { write(trans.get(), file, 0, "x"); });
  expectFailsWith(10502, "Cannot write to a file BLOB", [&] { engine()->Truncate(trans.get(), file, 1); });
  expectFails(10502, [&] { write(trans.get(), link, 0, "x"); }, "write to a link");
  expectFails(10502, [&] { engine()->Truncate(trans.get(), link, 3); }, "truncate a link");
  expectFailsWith(9998, "Offset value is greater than the length of the BLOB", [&] { write(trans.get(), data, 6, "x"); });
  expectFailsWith(10029, "Truncate length is greater than length of BLOB",
                  [&] { engine()->Truncate(trans.get(), data, 6); });
  expectFails(15490, [&] { engine()->Write(trans.get(), data, 5, 0x7FFFFFFBu, "x"); }, "end beyond 2^31-1");
  expectFailsWith(10030, "Number is not a valid DazavAV BLOB number", [&] { length(trans.get(), 0); });
  expectFails(15409, [&] { length(trans.get(), 5000); }, "block beyond the file");
  expectFails(8962, [&] { length(trans.get(), 1); }, "block 1 belongs to another engine");
  // Writing 0 bytes at the length changes nothing; at length + 1 it is refused.
  engine()->Write(trans.get(), data, 5, 0, nullptr);
  EXPECT_EQ(read(trans.get(), data), "12345");
  // A link cut to nothing becomes an empty BLOB.
  engine()->Truncate(trans.get(), link, 0);
  nxString name;
  TnxBlobNr source = 0;
  EXPECT_FALSE(engine()->IsBlobLink(trans.get(), link, name, source));
  EXPECT_EQ(length(trans.get(), link), 0u);
  write(trans.get(), link, 0, "now data");
  EXPECT_EQ(read(trans.get(), link), "now data");
  trans->Commit();
  EXPECT_EQ(checkFile(), "");
}

TEST_F(SimpleBlobTest, FileBlobsAndLinksKeepTheirNames) {
  const std::vector<std::uint8_t> picture{1, 2, 3, 4, 5, 6, 7};
  fs_.putFile("/db/pic.bin", picture);
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxBlobNr file = 0, link = 0;
  engine()->AddFileBlob(trans.get(), u"pic.bin", file);
  engine()->AddBlobLink(trans.get(), u"Other table", 0x1234567890ull, link);
  trans->Commit();
  reopen();
  const std::vector<std::uint8_t> f = block(static_cast<TnxBlockNumber>(file));
  EXPECT_EQ(f[16], 1);
  EXPECT_EQ(nxseGetU16(f.data() + 27), 7u);
  EXPECT_EQ(nxseGetU32(f.data() + 21), 8u);
  const std::vector<std::uint8_t> l = block(static_cast<TnxBlockNumber>(link));
  EXPECT_EQ(l[16], 2);
  EXPECT_EQ(nxseGetU32(l.data() + 27), 11u);
  EXPECT_EQ(nxseGetU64(l.data() + 31 + 11), 0x1234567890ull);
  EXPECT_EQ(nxseGetU32(l.data() + 21), 23u);

  nxString name;
  TnxBlobNr source = 0;
  EXPECT_TRUE(engine()->IsFileBlob(nullptr, file, name));
  EXPECT_EQ(name, u"pic.bin");
  EXPECT_FALSE(engine()->IsBlobLink(nullptr, file, name, source));
  EXPECT_TRUE(engine()->IsBlobLink(nullptr, link, name, source));
  EXPECT_EQ(name, u"Other table");
  EXPECT_EQ(source, 0x1234567890);
  EXPECT_EQ(length(nullptr, file), 7u);
  EXPECT_EQ(read(nullptr, file, 2, 3), "\x03\x04\x05");

  // A link reaches the other table through the caller's methods.
  std::uint32_t n = 0;
  auto lengthOf = [](const nxString& aTable, TnxBlobNr aNr, std::uint32_t& aLength) -> TnxResult {
    aLength = aTable == u"Other table" && aNr == 0x1234567890 ? 42 : 0;
    return 0;
  };
  EXPECT_EQ(engine()->GetBlobLength(nullptr, link, lengthOf, n), 0u);
  EXPECT_EQ(n, 42u);
  auto readOf = [](const nxString&, TnxBlobNr, std::uint32_t aOffset, std::uint32_t aLen, TStream& aStream) {
    const std::string text = std::to_string(aOffset) + "/" + std::to_string(aLen);
    aStream.WriteBuffer(text.data(), static_cast<std::int32_t>(text.size()));
    return TnxResult{0};
  };
  TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
  EXPECT_EQ(engine()->Read(nullptr, link, 3, 9, readOf, *stream), 0u);
  EXPECT_EQ(std::string(static_cast<const char*>(stream->Memory()), stream->Size()), "3/9");
  EXPECT_EQ(checkFile(), "");
}

TEST_F(SimpleBlobTest, CountedNumbersNameTheSameBlob) {
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxBlobNr nr = 0;
  engine()->AddBlob(trans.get(), nr);
  write(trans.get(), nr, 0, "same");
  TnxBlobNr counted = nr;
  engine()->IncBlobNr(counted);
  EXPECT_EQ(counted, nr + (TnxBlobNr{1} << 32));
  EXPECT_EQ(read(trans.get(), counted), "same");
  trans->Commit();
}

// Appends, overwrites at any offset, truncations and reads against a
// string, committed in batches and checked by the independent checker.
TEST_F(SimpleBlobTest, RandomChangesMatchAModel) {
  std::mt19937 rng(29);
  std::vector<TnxBlobNr> numbers(3);
  std::vector<std::string> model(3);
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    for (TnxBlobNr& nr : numbers) engine()->AddBlob(trans.get(), nr);
    trans->Commit();
  }
  for (int batch = 0; batch < 12; ++batch) {
    TnxOwned<TestTransaction> trans(newTransaction());
    for (int step = 0; step < 25; ++step) {
      const std::size_t which = rng() % numbers.size();
      std::string& m = model[which];
      const TnxBlobNr nr = numbers[which];
      const std::uint32_t size = static_cast<std::uint32_t>(m.size());
      // Lengths around block boundaries matter most.
      const std::uint32_t len = rng() % 4 == 0 ? kCap - size % kCap + rng() % 3 : rng() % 2500;
      switch (rng() % 5) {
        case 0: {  // append
          const std::string data = pattern(len, static_cast<char>(rng()));
          write(trans.get(), nr, size, data);
          m += data;
          break;
        }
        case 1:
        case 2: {  // overwrite inside, possibly past the end
          const std::uint32_t offset = size ? rng() % (size + 1) : 0;
          const std::string data = pattern(len, static_cast<char>(rng()));
          write(trans.get(), nr, offset, data);
          if (offset + data.size() > m.size()) m.resize(offset + data.size());
          m.replace(offset, data.size(), data);
          break;
        }
        case 3: {  // truncate
          const std::uint32_t to = rng() % 8 == 0 ? 0 : (size ? rng() % (size + 1) : 0);
          engine()->Truncate(trans.get(), nr, to);
          m.resize(to);
          break;
        }
        default: {  // read a range
          const std::uint32_t offset = size ? rng() % (size + 1) : 0;
          const std::uint32_t n = rng() % 9000;
          EXPECT_EQ(read(trans.get(), nr, offset, n), m.substr(offset, n));
        }
      }
      ASSERT_EQ(length(trans.get(), nr), m.size());
    }
    trans->Commit();
    for (std::size_t i = 0; i < numbers.size(); ++i) ASSERT_EQ(read(nullptr, numbers[i]), model[i]) << batch;
    ASSERT_EQ(checkFile(), "") << batch;
  }
  reopen();
  for (std::size_t i = 0; i < numbers.size(); ++i) EXPECT_EQ(read(nullptr, numbers[i]), model[i]);
}

TEST_F(SimpleBlobTest, ModifyCopiesOnlyTheBlocksOfTheBytesItReaches) {
  const std::uint32_t cap = engine()->DataSize();
  struct Case {
    const char* what;
    std::uint32_t length;
    std::vector<std::uint32_t> offsets;  // in the order reached
    std::int32_t copied;                 // blocks the change copies
  };
  const Case cases[] = {{"one block", 10, {0, 9, 3}, 1},
                        {"last byte of four blocks", 3 * cap + 5, {3 * cap + 4}, 1},
                        {"forward and back", 3 * cap + 5, {cap - 1, cap, 2 * cap + 1, 1}, 3},
                        {"full blocks", 2 * cap, {2 * cap - 1, cap - 1}, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TnxOwned<TestTransaction> trans(newTransaction());
    TnxBlobNr nr = 0;
    engine()->AddBlob(trans.get(), nr);
    std::string model = pattern(c.length, 'a');
    write(trans.get(), nr, 0, model);
    trans->Commit();
    const std::string before = model;

    trans.reset(newTransaction());
    engine()->Modify(trans.get(), nr, [&](TnxBlobBytes& b) {
      ASSERT_EQ(b.Length(), c.length);
      std::uint8_t& firstReached = b.At(c.offsets.front());
      for (std::uint32_t at : c.offsets) {
        EXPECT_EQ(b.At(at), static_cast<std::uint8_t>(model[at])) << at;
        b.At(at) ^= 0x5A;
        model[at] = static_cast<char>(model[at] ^ 0x5A);
      }
      // A byte handed out first is still the BLOB's after the walk.
      firstReached ^= 0x01;
      model[c.offsets.front()] = static_cast<char>(model[c.offsets.front()] ^ 0x01);
    });
    EXPECT_EQ(trans->BlockCount(), c.copied);
    EXPECT_EQ(read(trans.get(), nr), model);
    TnxOwned<TestTransaction> reader(newTransaction());
    EXPECT_EQ(read(reader.get(), nr), before);
    trans->Commit();
    EXPECT_EQ(read(reader.get(), nr), model);
    reader->Commit();

    // Growth appends zeros; a rolled-back change leaves the bytes as they were.
    trans.reset(newTransaction());
    engine()->Modify(trans.get(), nr, [&](TnxBlobBytes& b) {
      b.Grow(c.length + cap);
      EXPECT_EQ(b.Length(), c.length + cap);
      b.At(c.length + cap - 1) = 0x7F;
      b.At(0) ^= 0x01;
    });
    std::string grown = model;
    grown.append(cap - 1, '\0');
    grown.push_back('\x7F');
    grown[0] = static_cast<char>(grown[0] ^ 0x01);
    EXPECT_EQ(read(trans.get(), nr), grown);
    trans->Rollback();
    trans.reset(newTransaction());
    EXPECT_EQ(read(trans.get(), nr), model);
    trans->Commit();
    EXPECT_EQ(checkFile(), "");
  }
}

// Growth inside one change: zeros up to the new length, whatever a
// truncation left past the old one, across as many blocks as it needs, with
// the bytes reached before a growth still the BLOB's after it.
TEST_F(SimpleBlobTest, ModifyGrowsInPlaceWithZerosFromAnyShape) {
  const std::uint32_t cap = engine()->DataSize();
  struct Case {
    const char* what;
    std::uint32_t written;    // bytes written first
    std::uint32_t truncated;  // then cut to this length
    std::vector<std::uint32_t> grows;
  };
  const Case cases[] = {{"empty", 0, 0, {5}},
                        {"cut to nothing from two blocks", 2 * cap, 0, {cap + 10}},
                        {"cut inside its last block", cap + 100, cap + 3, {cap + 50}},
                        {"full blocks, one more byte", 2 * cap, 2 * cap, {2 * cap + 1}},
                        {"three new blocks at once", 20, 20, {3 * cap + 7}},
                        {"byte by byte over a block end", cap - 2, cap - 2, {cap - 1, cap, cap + 1, cap + 2}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TnxOwned<TestTransaction> trans(newTransaction());
    TnxBlobNr nr = 0;
    engine()->AddBlob(trans.get(), nr);
    std::string model = pattern(c.written, 's');
    if (!model.empty()) write(trans.get(), nr, 0, model);
    engine()->Truncate(trans.get(), nr, c.truncated);
    model.resize(c.truncated);
    trans->Commit();

    trans.reset(newTransaction());
    engine()->Modify(trans.get(), nr, [&](TnxBlobBytes& b) {
      std::uint8_t* reached = model.empty() ? nullptr : &b.At(0);
      for (std::uint32_t to : c.grows) {
        b.Grow(to);
        ASSERT_EQ(b.Length(), to);
        for (std::uint32_t at = static_cast<std::uint32_t>(model.size()); at < to; ++at)
          ASSERT_EQ(b.At(at), 0) << "byte " << at << " of growth to " << to;
        model.resize(to, '\0');
        b.At(to - 1) = 0x42;
        model[to - 1] = '\x42';
      }
      if (reached) {
        *reached ^= 0x10;
        model[0] = static_cast<char>(model[0] ^ 0x10);
      }
    });
    EXPECT_EQ(length(trans.get(), nr), model.size());
    EXPECT_EQ(read(trans.get(), nr), model);
    trans->Commit();
    EXPECT_EQ(read(nullptr, nr), model);
    EXPECT_EQ(checkFile(), "");
  }
  reopen();
  EXPECT_EQ(checkFile(), "");
}

TEST_F(SimpleBlobTest, AWriteCopiesTheFirstBlockAndTheBlocksItWritesOnly) {
  const std::uint32_t cap = engine()->DataSize();
  struct Case {
    const char* what;
    std::uint32_t offset;
    std::uint32_t length;
    std::int32_t copied;
  };
  const Case cases[] = {{"append in the last block", 3 * cap + 5, 10, 2},
                        {"inside the third block", 2 * cap + 7, 20, 2},
                        {"across the second and third", 2 * cap - 3, 6, 3},
                        {"inside the first", 4, 4, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TnxOwned<TestTransaction> trans(newTransaction());
    TnxBlobNr nr = 0;
    engine()->AddBlob(trans.get(), nr);
    std::string model = pattern(3 * cap + 5, 'k');
    write(trans.get(), nr, 0, model);
    trans->Commit();
    trans.reset(newTransaction());
    const std::string part = pattern(c.length, 'Q');
    write(trans.get(), nr, c.offset, part);
    EXPECT_EQ(trans->BlockCount(), c.copied);
    model.resize(std::max<std::size_t>(model.size(), c.offset + c.length));
    model.replace(c.offset, c.length, part);
    EXPECT_EQ(read(trans.get(), nr), model);
    trans->Commit();
    EXPECT_EQ(read(nullptr, nr), model);
    EXPECT_EQ(checkFile(), "");
  }
}

TEST_F(SimpleBlobTest, ModifyRefusesFileBlobsLinksAndBytesBeyondTheEnd) {
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxBlobNr file = 0, link = 0, data = 0;
  engine()->AddFileBlob(trans.get(), u"a.b", file);
  engine()->AddBlobLink(trans.get(), u"other", 7, link);
  for (const TnxBlobNr nr : {file, link})
    expectCode([&] { engine()->Modify(trans.get(), nr, [](TnxBlobBytes&) { FAIL() << "called"; }); }, 10502);
  engine()->AddBlob(trans.get(), data);
  write(trans.get(), data, 0, "0123");
  expectCode([&] { engine()->Modify(trans.get(), data, [](TnxBlobBytes& b) { b.At(4); }); }, nxErrInvalidBlobOffset);
  trans->Commit();
}

TEST_F(SimpleBlobTest, DamagedChainsGiveErrorsNotCrashes) {
  TnxBlobNr nr = 0, file = 0;
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    engine()->AddBlob(trans.get(), nr);
    write(trans.get(), nr, 0, pattern(3 * kCap, 'd'));
    engine()->AddFileBlob(trans.get(), u"f.bin", file);
    trans->Commit();
  }
  const TnxBlockNumber first = static_cast<TnxBlockNumber>(nr);
  const TnxBlockNumber second = nxseGetU32(block(first).data() + 17);
  const std::vector<std::uint8_t> good = disk();
  auto at = [](std::vector<std::uint8_t>& d, TnxBlockNumber b, std::uint32_t o) { return d.data() + b * 4096 + o; };
  struct Case {
    const char* what;
    std::function<void(std::vector<std::uint8_t>&)> change;
    TnxResult code;
    TnxResult writeCode = 0;  // when writing fails otherwise
  };
  const Case cases[] = {
      {"used count beyond the block", [&](auto& d) { nxsePutU16(at(d, second, 25), kCap + 1); }, 11896},
      {"chain points back to its start", [&](auto& d) { nxsePutU32(at(d, second, 17), first); }, 11896},
      {"chain ends before the length", [&](auto& d) { nxsePutU32(at(d, second, 17), 0xFFFFFFFFu); }, 11896},
      {"length beyond what the file holds", [&](auto& d) { nxsePutU32(at(d, first, 21), 0x7FFFFFF0u); }, 11896},
      {"next block outside the file", [&](auto& d) { nxsePutU32(at(d, first, 17), 90000); }, 15409},
      {"next block is not a BLOB block", [&](auto& d) { std::memcpy(at(d, second, 0), "NXDH", 4); }, 11896},
      {"unknown kind", [&](auto& d) { *at(d, first, 16) = 7; }, 11896},
      {"data turned into a link the reader cannot follow",
       [&](auto& d) {
         *at(d, first, 16) = 2;
         nxsePutU32(at(d, first, 27), 5);  // a name that fits the block
       },
       11896, 10502},
      {"file name longer than the block",
       [&](auto& d) { nxsePutU16(at(d, static_cast<TnxBlockNumber>(file), 27), 5000); }, 11896},
  };
  for (const Case& c : cases) {
    damage([&](std::vector<std::uint8_t>& d) {
      d = good;
      c.change(d);
    });
    const TnxBlobNr target = std::string(c.what).find("file name") != std::string::npos ? file : nr;
    expectFails(c.code, [&] {
      TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
      std::uint32_t n = 0;
      engine()->GetBlobLength(nullptr, target, {}, n);
      engine()->Read(nullptr, target, 0, 0x7FFFFFFF, {}, *stream);
    }, c.what);
    expectFails(c.writeCode ? c.writeCode : c.code, [&] {
      TnxOwned<TestTransaction> trans(newTransaction());
      engine()->Write(trans.get(), target, 0, 0, nullptr);
      if (target == nr) {
        std::uint32_t n = 0;
        engine()->GetBlobLength(trans.get(), target, {}, n);
        engine()->Write(trans.get(), target, n, 1, "x");
        engine()->Truncate(trans.get(), target, 1);
        engine()->DeleteBlob(trans.get(), target);
      }
    }, c.what);
    EXPECT_NE(checkFile(), "") << c.what;
  }
}

}  // namespace
