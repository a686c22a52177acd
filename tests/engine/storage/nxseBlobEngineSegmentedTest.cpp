// Segmented BLOBs: root kinds, tiny/data/link-list roots and the changes
// between them, appends, second link-list levels, truncation back into the
// root, file BLOBs and links, random writes against a model, and damaged
// trees.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "nxAllocationLimit.h"
#include "nxExpectCode.h"
#include "nxseTableTestSupport.h"

// GCC 12 reports string concatenation of a literal and a temporary as an
// overlapping copy (a known false positive of -Wrestrict).
#pragma GCC diagnostic ignored "-Wrestrict"

NX_TEST_ALLOCATION_LIMIT()

namespace {

using namespace nxtest;

class BlobTest : public TableTest {
 public:
  Table& table(std::int32_t aVersion = 47005) {
    if (tables_.empty()) {
      version_ = aVersion;
      Table& t = newTable();
      t.dict.reset(newBlobDictionary());
      TnxOwned<TestTransaction> trans(newTransaction());
      t.file = newFile(trans.get());
      t.file->SetVadurVersion(aVersion);
      attach(t, trans.get());
      t.dict->WriteToFile(t.stream.get(), trans.get(), 47501);
      t.file->SetMaxID(t.dict->CurrentID());
      t.records.reset(TnxBaseRecordEngine::CreateEngine(t.dict.get(), {t.recordAccess.get()}, trans.get()));
      attachBlobs(t, trans.get());
      trans->Commit();
    }
    return *tables_.front();
  }
  TnxSegmentedBlobEngine* blobs() { return platform::objectAs<TnxSegmentedBlobEngine>(table().blobs.get()); }
  TnxBaseHeapEngine* heap() { return blobs()->beHeapEngine.get(); }

  TnxBlobNr add(TnxBaseTransaction* aTrans) {
    TnxBlobNr nr = 0;
    blobs()->AddBlob(aTrans, nr);
    return nr;
  }
  void write(TnxBaseTransaction* aTrans, TnxBlobNr aNr, std::uint32_t aOffset, const std::string& aData) {
    blobs()->Write(aTrans, aNr, aOffset, static_cast<std::uint32_t>(aData.size()), aData.data());
  }
  std::string read(TnxBaseTransaction* aTrans, TnxBlobNr aNr, std::uint32_t aOffset = 0,
                   std::uint32_t aLen = 0xFFFFFFFFu) {
    TnxAnsiStringStream stream;
    EXPECT_EQ(blobs()->Read(aTrans, aNr, aOffset, aLen, nullptr, stream), 0u);
    return stream.DataString();
  }
  std::uint32_t length(TnxBaseTransaction* aTrans, TnxBlobNr aNr) {
    std::uint32_t result = 0;
    EXPECT_EQ(blobs()->GetBlobLength(aTrans, aNr, nullptr, result), 0u);
    return result;
  }
  // The root segment's bytes.
  std::string root(TnxBaseTransaction* aTrans, TnxBlobNr aNr) {
    std::uint16_t size = 0;
    TnxPinnedBlock pin;
    std::uint8_t* p =
        nxGetPinnedSegment(*heap(), aTrans, static_cast<TnxHeapRef>(aNr) & heap()->bheHeapRefMask, false, size, pin);
    std::string result(reinterpret_cast<char*>(p), size);
    pin.Release();
    return result;
  }
  std::string segment(TnxBaseTransaction* aTrans, TnxHeapRef aRef) {
    return root(aTrans, static_cast<TnxBlobNr>(aRef));
  }
  // Link-list levels above the data segments (0 for a root holding data).
  int height(TnxBaseTransaction* aTrans, TnxBlobNr aNr) {
    std::string s = root(aTrans, aNr);
    int h = 0;
    while (s[0] == 5) {
      ++h;
      s = segment(aTrans, nxseGetU64(reinterpret_cast<const std::uint8_t*>(s.data()) + 1));
    }
    return h;
  }
  // Live segments of the heap: the BLOB's data segments appear and go.
  std::size_t liveSegments(TnxBaseTransaction* aTrans) {
    std::size_t count = 0;
    TnxBaseFile* file = table().file;
    const std::uint32_t used = file->Trans() == aTrans ? file->TransUsedBlocks() : file->UsedBlocks();
    for (TnxBlockNumber n = 1; n < used; ++n) {
      TnxPinnedBlock blockPin([&](TnxReleaseMethod& r) { return manager_->GetBlock(file, aTrans, n, false, r); });
      PnxBlock block = blockPin.Block();
      if (std::memcmp(block, "NXHD", 4) == 0) count += nxseGetU16(block + 16);
      blockPin.Release();
    }
    return count;
  }
  static std::string bytes(std::size_t aCount, std::uint32_t aSeed) {
    std::string s(aCount, '\0');
    std::mt19937 rng(aSeed);
    for (char& c : s) c = static_cast<char>(rng());
    return s;
  }

  std::int32_t version_ = 47005;
};

TEST_F(BlobTest, AnEmptyBlobHasNoBytes) {
  TnxOwned<TestTransaction> trans(newTransaction());
  const TnxBlobNr nr = add(trans.get());
  EXPECT_EQ(length(trans.get(), nr), 0u);
  EXPECT_EQ(read(trans.get(), nr), "");
  EXPECT_EQ(root(trans.get(), nr), std::string(13, '\0'));
  trans->Commit();
  EXPECT_EQ(checkFile(), "");
}

TEST_F(BlobTest, SmallWritesStayInTheRootAsTinyThenData) {
  TnxOwned<TestTransaction> trans(newTransaction());
  const TnxBlobNr nr = add(trans.get());
  write(trans.get(), nr, 0, "abc");
  std::string r = root(trans.get(), nr);
  EXPECT_EQ(r.size(), 13u);
  EXPECT_EQ(r[0], 3);
  EXPECT_EQ(r[12], 3);
  EXPECT_EQ(read(trans.get(), nr), "abc");
  write(trans.get(), nr, 3, "defghijkl");
  r = root(trans.get(), nr);
  EXPECT_EQ(r.size(), 13u);
  EXPECT_EQ(r[0], 4);
  EXPECT_EQ(read(trans.get(), nr), "abcdefghijkl");
  EXPECT_EQ(read(trans.get(), nr, 4, 3), "efg");
  EXPECT_EQ(read(trans.get(), nr, 12, 3), "");
  write(trans.get(), nr, 1, "XY");  // overwrite inside
  EXPECT_EQ(read(trans.get(), nr), "aXYdefghijkl");
  trans->Commit();
  EXPECT_EQ(checkFile(), "");
}

TEST_F(BlobTest, OffsetsBeyondTheLengthAndEmptyWrites) {
  TnxOwned<TestTransaction> trans(newTransaction());
  const TnxBlobNr nr = add(trans.get());
  write(trans.get(), nr, 0, "hello");
  write(trans.get(), nr, 5, " world");  // at the length: an append
  EXPECT_EQ(read(trans.get(), nr), "hello world");
  expectCode([&] { write(trans.get(), nr, 12, "x"); }, 9998, u"Offset value is greater than the length of the BLOB");
  expectCode([&] { blobs()->Truncate(trans.get(), nr, 12); }, 10029, u"Truncate length is greater than length");
  const std::string before = root(trans.get(), nr);
  blobs()->Write(trans.get(), nr, 3, 0, "");
  EXPECT_EQ(root(trans.get(), nr), before);
  trans->Commit();
}

TEST_F(BlobTest, ABlobLargerThanTheRootsRoomBecomesALinkList) {
  TnxOwned<TestTransaction> trans(newTransaction());
  const TnxBlobNr nr = add(trans.get());
  write(trans.get(), nr, 0, "prefix-bytes");
  const std::string big = bytes(20000, 1);
  write(trans.get(), nr, 12, big);
  EXPECT_EQ(root(trans.get(), nr)[0], 5);
  EXPECT_EQ(height(trans.get(), nr), 1);
  EXPECT_EQ(length(trans.get(), nr), 20012u);
  EXPECT_EQ(read(trans.get(), nr), "prefix-bytes" + big);
  // From inside the third data segment across the following ones.
  const std::string r = root(trans.get(), nr);
  const std::uint32_t secondEnd = nxseGetU32(reinterpret_cast<const std::uint8_t*>(r.data()) + 1 + 12 + 8);
  EXPECT_EQ(read(trans.get(), nr, secondEnd + 10, 9000), ("prefix-bytes" + big).substr(secondEnd + 10, 9000));
  trans->Commit();
  EXPECT_EQ(checkFile(), "");
}

TEST_F(BlobTest, AppendsGrowTheLastDataSegmentBeforeAddingOthers) {
  TnxOwned<TestTransaction> trans(newTransaction());
  const TnxBlobNr nr = add(trans.get());
  std::string model = bytes(5000, 2);
  write(trans.get(), nr, 0, model);
  const std::size_t items = (root(trans.get(), nr).size() - 1) / 12;
  const std::size_t segments = liveSegments(trans.get());
  // A small append fits into the last data segment (its block has room).
  write(trans.get(), nr, 5000, "tail");
  model += "tail";
  EXPECT_EQ((root(trans.get(), nr).size() - 1) / 12, items);
  EXPECT_EQ(liveSegments(trans.get()), segments);
  // A large one fills it up to the largest segment, then adds segments.
  const std::string more = bytes(30000, 3);
  write(trans.get(), nr, static_cast<std::uint32_t>(model.size()), more);
  model += more;
  EXPECT_GT((root(trans.get(), nr).size() - 1) / 12, items);
  EXPECT_EQ(read(trans.get(), nr), model);
  trans->Commit();
  EXPECT_EQ(checkFile(), "");
}

TEST_F(BlobTest, ARootWhoseBlockIsFullGetsASecondLevel) {
  TnxOwned<TestTransaction> trans(newTransaction());
  const TnxBlobNr nr = add(trans.get());
  // Other small BLOBs crowd the root's block.
  std::vector<TnxBlobNr> others;
  for (int i = 0; i < 200; ++i) {
    others.push_back(add(trans.get()));
    write(trans.get(), others.back(), 0, bytes(12, static_cast<std::uint32_t>(i)));
  }
  const std::string big = bytes(200000, 4);
  for (std::uint32_t at = 0; at < big.size(); at += 25000) write(trans.get(), nr, at, big.substr(at, 25000));
  EXPECT_EQ(height(trans.get(), nr), 2);
  EXPECT_EQ(read(trans.get(), nr), big);
  EXPECT_EQ(read(trans.get(), nr, 123456, 50000), big.substr(123456, 50000));
  // Overwrites across the levels.
  std::string model = big;
  const std::string patch = bytes(70000, 5);
  write(trans.get(), nr, 60000, patch);
  model.replace(60000, patch.size(), patch);
  EXPECT_EQ(read(trans.get(), nr), model);
  for (std::size_t i = 0; i < others.size(); i += 37)
    EXPECT_EQ(read(trans.get(), others[i]), bytes(12, static_cast<std::uint32_t>(i)));
  trans->Commit();
  EXPECT_EQ(checkFile(), "");
}

TEST_F(BlobTest, TruncationCollapsesBackIntoTheRoot) {
  TnxOwned<TestTransaction> trans(newTransaction());
  const std::size_t emptyHeap = liveSegments(trans.get());
  const TnxBlobNr nr = add(trans.get());
  const std::string big = bytes(50000, 6);
  write(trans.get(), nr, 0, big);
  blobs()->Truncate(trans.get(), nr, 30000);
  EXPECT_EQ(read(trans.get(), nr), big.substr(0, 30000));
  blobs()->Truncate(trans.get(), nr, 3000);
  EXPECT_EQ(read(trans.get(), nr), big.substr(0, 3000));
  blobs()->Truncate(trans.get(), nr, 5);
  std::string r = root(trans.get(), nr);
  EXPECT_EQ(r[0], 3);
  EXPECT_EQ(r[12], 5);
  EXPECT_EQ(read(trans.get(), nr), big.substr(0, 5));
  EXPECT_EQ(liveSegments(trans.get()), emptyHeap + 1);  // the root alone
  write(trans.get(), nr, 5, big.substr(5, 40000));
  blobs()->Truncate(trans.get(), nr, 0);
  EXPECT_EQ(root(trans.get(), nr), std::string(13, '\0'));
  EXPECT_EQ(liveSegments(trans.get()), emptyHeap + 1);
  trans->Commit();
  EXPECT_EQ(checkFile(), "");
}

TEST_F(BlobTest, TruncatingASecondLevelTreePullsSingleListsUp) {
  TnxOwned<TestTransaction> trans(newTransaction());
  const TnxBlobNr nr = add(trans.get());
  for (int i = 0; i < 250; ++i) write(trans.get(), add(trans.get()), 0, bytes(12, static_cast<std::uint32_t>(i)));
  const std::string big = bytes(400000, 7);
  write(trans.get(), nr, 0, big);
  ASSERT_EQ(height(trans.get(), nr), 2);
  blobs()->Truncate(trans.get(), nr, 9000);
  EXPECT_EQ(height(trans.get(), nr), 1);
  EXPECT_EQ(read(trans.get(), nr), big.substr(0, 9000));
  trans->Commit();
  EXPECT_EQ(checkFile(), "");
}

TEST_F(BlobTest, DeletingALinkListBlobFreesEverySegment) {
  TnxOwned<TestTransaction> trans(newTransaction());
  const std::size_t before = liveSegments(trans.get());
  const TnxBlobNr nr = add(trans.get());
  write(trans.get(), nr, 0, bytes(100000, 8));
  EXPECT_GT(liveSegments(trans.get()), before + 20);
  blobs()->DeleteBlob(trans.get(), nr);
  EXPECT_EQ(liveSegments(trans.get()), before);
  EXPECT_THROW(length(trans.get(), nr), EnxBaseException);  // its block went back to the file
  trans->Commit();
  EXPECT_EQ(checkFile(), "");
}

TEST_F(BlobTest, FreeBlobFreesOnlyEmptyBlobs) {
  TnxOwned<TestTransaction> trans(newTransaction());
  const TnxBlobNr full = add(trans.get());
  write(trans.get(), full, 0, "data");
  const TnxBlobNr empty = add(trans.get());
  EXPECT_FALSE(blobs()->FreeBlob(trans.get(), full));
  EXPECT_EQ(read(trans.get(), full), "data");
  EXPECT_FALSE(blobs()->FreeBlob(nullptr, empty));
  EXPECT_TRUE(blobs()->FreeBlob(trans.get(), empty));
  expectCode([&] { length(trans.get(), empty); }, 15493, u"segment deleted");
  trans->Commit();
}

// Bytes changed in place in one operation, across every root kind and tree
// height, with growth past the end, against a model.
TEST_F(BlobTest, ModifyChangesBytesInPlaceInEveryTreeShape) {
  struct Case {
    const char* what;
    std::size_t length;
    bool crowded;  // other BLOBs fill the root's block: a second level
    int height;  // at least; 0: the bytes are in the root
  };
  const Case cases[] = {{"tiny root", 5, false, 0},
                        {"data root", 300, false, 0},
                        {"link list", 8000, false, 1},
                        {"two levels", 200000, true, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TnxOwned<TestTransaction> trans(newTransaction());
    const TnxBlobNr nr = add(trans.get());
    if (c.crowded)
      for (int i = 0; i < 200; ++i) write(trans.get(), add(trans.get()), 0, bytes(12, static_cast<std::uint32_t>(i)));
    std::string model = bytes(c.length, static_cast<std::uint32_t>(c.length));
    for (std::size_t at = 0; at < model.size(); at += 25000)
      write(trans.get(), nr, static_cast<std::uint32_t>(at), model.substr(at, 25000));
    const int h = height(trans.get(), nr);
    ASSERT_EQ(h > 0, c.height > 0);
    ASSERT_GE(h, c.height);
    trans->Commit();
    const std::string before = model;
    // A rolled-back change leaves the bytes as they were.
    trans.reset(newTransaction());
    blobs()->Modify(trans.get(), nr, [&](TnxBlobBytes& b) { b.At(static_cast<std::uint32_t>(before.size() / 2)) ^= 1; });
    trans->Rollback();
    trans.reset(newTransaction());
    ASSERT_EQ(read(trans.get(), nr), before);
    const std::size_t n = model.size();
    const std::size_t offsets[] = {0, 1, 3, n / 3, n / 2, n - 1};
    blobs()->Modify(trans.get(), nr, [&](TnxBlobBytes& b) {
      ASSERT_EQ(b.Length(), n);
      for (std::size_t at : offsets) {
        EXPECT_EQ(b.At(static_cast<std::uint32_t>(at)), static_cast<std::uint8_t>(model[at])) << at;
        b.At(static_cast<std::uint32_t>(at)) ^= 0x5A;
        model[at] = static_cast<char>(model[at] ^ 0x5A);
      }
      b.Grow(static_cast<std::uint32_t>(n + 40));
      EXPECT_EQ(b.Length(), n + 40);
      b.At(static_cast<std::uint32_t>(n + 39)) = 0x7F;
      b.At(0) ^= 0x01;  // a byte held before the growth, reached again
    });
    model.append(39, '\0');
    model.push_back('\x7F');
    model[0] = static_cast<char>(model[0] ^ 0x01);
    EXPECT_EQ(read(trans.get(), nr), model);
    // Others see the change only once it is committed.
    TnxOwned<TestTransaction> reader(newTransaction());
    EXPECT_EQ(read(reader.get(), nr), before);
    trans->Commit();
    EXPECT_EQ(checkFile(), "");
    EXPECT_EQ(read(reader.get(), nr), model);
    reader->Commit();
  }
}

TEST_F(BlobTest, ModifyRefusesFileBlobsAndLinks) {
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxBlobNr file = 0, link = 0;
  blobs()->AddFileBlob(trans.get(), u"a.b", file);
  blobs()->AddBlobLink(trans.get(), u"other", 7, link);
  for (const TnxBlobNr nr : {file, link})
    expectCode([&] { blobs()->Modify(trans.get(), nr, [](TnxBlobBytes&) { FAIL() << "called"; }); }, 10502);
  trans->Commit();
}

TEST_F(BlobTest, FileBlobsKeepTheirNameByVersion) {
  table(29999);
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxBlobNr nr = 0;
  blobs()->AddFileBlob(trans.get(), u"a.b", nr);
  std::string r = root(trans.get(), nr);
  EXPECT_EQ(r.size(), 13u);
  EXPECT_EQ(r[0], 1);
  EXPECT_EQ(r.substr(1, 4), std::string("a.b\0", 4));
  nxString name;
  EXPECT_TRUE(blobs()->IsFileBlob(trans.get(), nr, name));
  EXPECT_EQ(name, u"a.b");
  expectCode([&] { write(trans.get(), nr, 0, "x"); }, 10502);
  expectCode([&] { blobs()->Truncate(trans.get(), nr, 1); }, 10502);
  // The external file's length and bytes.
  fs_.putFile("/db/a.b", {'1', '2', '3', '4', '5'});
  EXPECT_EQ(length(trans.get(), nr), 5u);
  EXPECT_EQ(read(trans.get(), nr, 1, 3), "234");
  blobs()->Truncate(trans.get(), nr, 0);
  EXPECT_EQ(root(trans.get(), nr)[0], 0);
  EXPECT_FALSE(blobs()->IsFileBlob(trans.get(), nr, name));
  trans->Commit();
}

TEST_F(BlobTest, AFileBlobReadsOnlyWhatItsFileHolds) {
  // A whole BLOB is read with the largest length: the memory taken must
  // follow the file, not the length asked for.
  table();
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxBlobNr nr = 0;
  blobs()->AddFileBlob(trans.get(), u"pic.bin", nr);
  std::string bytes(200000, 0);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  fs_.putFile("/db/pic.bin", std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
  const struct {
    std::uint32_t offset, length;
    std::string expected;
  } cases[] = {
      {0, 0xFFFFFFFFu, bytes},
      {199990, 0xFFFFFFFFu, bytes.substr(199990)},
      {70000, 70000, bytes.substr(70000, 70000)},
      {200000, 0xFFFFFFFFu, ""},
      {0xFFFFFFF0u, 0xFFFFFFFFu, ""},
      {5, 0, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(read(trans.get(), nr, c.offset, c.length), c.expected) << c.offset;
  trans->Commit();
}

TEST_F(BlobTest, LinksAndWideNamesFromVersion30000) {
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxBlobNr file = 0, link = 0;
  blobs()->AddFileBlob(trans.get(), u"ü.txt", file);
  EXPECT_EQ(root(trans.get(), file)[0], 6);
  nxString name;
  EXPECT_TRUE(blobs()->IsFileBlob(trans.get(), file, name));
  EXPECT_EQ(name, u"ü.txt");
  blobs()->AddBlobLink(trans.get(), u"other", 0x1234567800000002ll, link);
  EXPECT_EQ(root(trans.get(), link)[0], 7);
  TnxBlobNr source = 0;
  EXPECT_TRUE(blobs()->IsBlobLink(trans.get(), link, name, source));
  EXPECT_EQ(name, u"other");
  EXPECT_EQ(source, 0x1234567800000002ll);
  std::uint32_t len = 0;
  EXPECT_EQ(blobs()->GetBlobLength(
                trans.get(), link,
                [&](const nxString& aTable, TnxBlobNr aNr, std::uint32_t& aLength) {
                  EXPECT_EQ(aTable, u"other");
                  EXPECT_EQ(aNr, source);
                  aLength = 77;
                  return TnxResult{0};
                },
                len),
            0u);
  EXPECT_EQ(len, 77u);
  TnxAnsiStringStream stream;
  EXPECT_EQ(blobs()->Read(
                trans.get(), link, 5, 2,
                [](const nxString&, TnxBlobNr, std::uint32_t aOffset, std::uint32_t aLen, TStream& aStream) {
                  const std::string s = std::to_string(aOffset) + "/" + std::to_string(aLen);
                  aStream.WriteBuffer(s.data(), static_cast<std::int32_t>(s.size()));
                  return TnxResult{0};
                },
                stream),
            0u);
  EXPECT_EQ(stream.DataString(), "5/2");
  expectCode([&] { write(trans.get(), link, 0, "x"); }, 10502);
  trans->Commit();
}

TEST_F(BlobTest, IncBlobNrAddsACounterThatNamesTheSameBlob) {
  TnxOwned<TestTransaction> trans(newTransaction());
  const TnxBlobNr nr = add(trans.get());
  write(trans.get(), nr, 0, "same");
  TnxBlobNr next = nr;
  blobs()->IncBlobNr(next);
  EXPECT_EQ(next, nr + 65536);
  EXPECT_EQ(read(trans.get(), next), "same");
  trans->Commit();
}

TEST_F(BlobTest, BlobsSurviveReopening) {
  TnxBlobNr nr = 0;
  const std::string big = bytes(30000, 9);
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    nr = add(trans.get());
    write(trans.get(), nr, 0, big);
    trans->Commit();
  }
  closeAll();
  tables_.clear();
  Table& t = openExisting();
  ASSERT_TRUE(t.blobs);
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxAnsiStringStream stream;
  EXPECT_EQ(t.blobs->Read(trans.get(), nr, 0, 0xFFFFFFFFu, nullptr, stream), 0u);
  EXPECT_EQ(stream.DataString(), big);
  // The heap's directory is read back: a new BLOB goes to a listed block.
  TnxBlobNr second = 0;
  t.blobs->AddBlob(trans.get(), second);
  EXPECT_NE(second, 0);
  trans->Commit();
}

// Random writes, appends, truncations and reads of three BLOBs against
// strings, with commits and a rollback; one BLOB grows past two link-list
// levels on 4 KB blocks.
TEST_F(BlobTest, RandomChangesMatchTheModel) {
  std::mt19937 rng(2026);
  table();
  std::vector<TnxBlobNr> nrs;
  std::vector<std::string> models(3);
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    for (int i = 0; i < 3; ++i) nrs.push_back(add(trans.get()));
    trans->Commit();
  }
  int deepest = 0;
  for (int round = 0; round < 8; ++round) {
    TnxOwned<TestTransaction> trans(newTransaction());
    const auto saved = models;
    for (int step = 0; step < 40; ++step) {
      const std::size_t which = rng() % 3;
      std::string& model = models[which];
      const unsigned op = rng() % 10;
      if (op < 6) {
        const auto offset = static_cast<std::uint32_t>(rng() % (model.size() + 1));
        std::uint32_t len;
        switch (rng() % 4) {
          case 0:
            len = 1 + rng() % 12;
            break;
          case 1:
            len = 1 + rng() % 3000;
            break;
          case 2:
            len = 1 + rng() % 40000;
            break;
          default:
            len = which == 0 ? 150000 + rng() % 150000 : 1 + rng() % 10000;
        }
        const std::string data = bytes(len, static_cast<std::uint32_t>(rng()));
        write(trans.get(), nrs[which], offset, data);
        if (offset + data.size() > model.size()) model.resize(offset + data.size());
        model.replace(offset, data.size(), data);
      } else if (op < 8) {
        const auto len = static_cast<std::uint32_t>(rng() % 3 == 0 ? rng() % (model.size() + 1)
                                                                   : model.size() - (rng() % (model.size() / 8 + 1)));
        blobs()->Truncate(trans.get(), nrs[which], len);
        model.resize(len);
      } else {
        const auto offset = static_cast<std::uint32_t>(rng() % (model.size() + 2));
        const auto len = static_cast<std::uint32_t>(rng() % 60000);
        const std::string expected = offset < model.size() ? model.substr(offset, len) : std::string();
        ASSERT_EQ(read(trans.get(), nrs[which], offset, len), expected) << "round " << round << " step " << step;
      }
      ASSERT_EQ(length(trans.get(), nrs[which]), model.size());
      deepest = std::max(deepest, height(trans.get(), nrs[which]));
    }
    for (int i = 0; i < 3; ++i) ASSERT_EQ(read(trans.get(), nrs[i]), models[i]) << "round " << round;
    if (round == 5) {
      trans->Rollback();
      blobs()->Rollback(trans.get());
      models = saved;
    } else {
      trans->Commit();
    }
  }
  TnxOwned<TestTransaction> trans(newTransaction());
  for (int i = 0; i < 3; ++i) ASSERT_EQ(read(trans.get(), nrs[i]), models[i]);
  trans->Commit();
  EXPECT_GE(deepest, 2);
  EXPECT_EQ(checkFile(), "");
}

// ---- Damaged trees -----------------------------------------------------------------------------------

class BlobDamageTest : public BlobTest {
 public:
  void SetUp() override {
    BlobTest::SetUp();
    uncheckedFiles_.insert("/db/t.nx1");  // damaged on purpose
  }
  // A root (or any segment) with the given bytes: its heap reference.
  TnxBlobNr raw(TnxBaseTransaction* aTrans, const std::string& aBytes) {
    const TnxHeapPiece pieces[] = {{aBytes.data(), static_cast<std::uint32_t>(aBytes.size())}};
    return static_cast<TnxBlobNr>(heap()->AllocSegment(aTrans, pieces));
  }
  static std::string item(TnxHeapRef aRef, std::uint32_t aEnd) {
    std::string s(12, '\0');
    nxsePutU64(reinterpret_cast<std::uint8_t*>(s.data()), aRef);
    nxsePutU32(reinterpret_cast<std::uint8_t*>(s.data()) + 8, aEnd);
    return s;
  }
  // Every operation on aNr ends in a clear engine error (or an answer),
  // never outside the tree.
  void expectRefused(TnxBaseTransaction* aTrans, TnxBlobNr aNr, const char* aWhat) {
    TnxAnsiStringStream stream;
    EXPECT_EQ(blobs()->Read(aTrans, aNr, 0, 100000, nullptr, stream), 11896u) << aWhat;
    std::vector<std::function<void()>> ops = {
        [&] { write(aTrans, aNr, 0, "x"); },
        [&] { write(aTrans, aNr, 5, bytes(9000, 1)); },
        [&] { blobs()->Truncate(aTrans, aNr, 1); },
        [&] { blobs()->DeleteBlob(aTrans, aNr); },
    };
    for (auto& op : ops) {
      try {
        op();
      } catch (const EnxBaseException& e) {
        EXPECT_TRUE(e.ErrorCode() == 11896 || e.ErrorCode() == 9998 || e.ErrorCode() == 10029)
            << aWhat << ": " << e.ErrorCode();
      }
    }
  }
};

TEST_F(BlobDamageTest, RootsWhoseSizeDoesNotMatchTheirTag) {
  TnxOwned<TestTransaction> trans(newTransaction());
  expectRefused(trans.get(), raw(trans.get(), std::string(14, '\0')), "empty root of 14 bytes");
  expectRefused(trans.get(), raw(trans.get(), std::string("\x03") + std::string(11, 'a') + '\x0C'), "tiny length 12");
  expectRefused(trans.get(), raw(trans.get(), std::string("\x04") + std::string(5, 'a')), "short data root");
  expectRefused(trans.get(), raw(trans.get(), std::string("\x05") + std::string(14, 'a')), "link list of 15 bytes");
  expectRefused(trans.get(), raw(trans.get(), std::string("\x09") + std::string(12, 'a')), "unknown tag");
  std::uint32_t len = 0;
  EXPECT_EQ(
      blobs()->GetBlobLength(trans.get(), raw(trans.get(), std::string("\x08") + std::string(12, 'a')), nullptr, len),
      11896u);
  trans->Commit();
}

TEST_F(BlobDamageTest, LinkListsThatLie) {
  TnxOwned<TestTransaction> trans(newTransaction());
  const auto data = static_cast<TnxHeapRef>(raw(trans.get(), std::string("\x04") + std::string(10, 'd')));
  const auto other = static_cast<TnxHeapRef>(raw(trans.get(), std::string("\x07") + std::string(12, 'x')));
  expectRefused(trans.get(), raw(trans.get(), "\x05" + item(data, 10) + item(data, 5)), "falling ends");
  expectRefused(trans.get(), raw(trans.get(), "\x05" + item(data, 12)), "data shorter than its item");
  expectRefused(trans.get(), raw(trans.get(), "\x05" + item(nxMakeHeapRef(90000, 1), 10)), "child outside the file");
  expectRefused(trans.get(), raw(trans.get(), "\x05" + item(other, 12)), "child with a root tag");
  expectRefused(trans.get(), raw(trans.get(), "\x05" + item(data, 0)), "zero end");
  trans->Commit();
}

TEST_F(BlobDamageTest, ReferenceLoopsEndAtTheDepthLimit) {
  TnxOwned<TestTransaction> trans(newTransaction());
  // A list that names itself, and two lists that name each other.
  const TnxBlobNr self = raw(trans.get(), std::string(13, '\x05'));
  {
    std::uint16_t size = 0;
    TnxPinnedBlock pin;
    std::uint8_t* p = nxGetPinnedSegment(*heap(), trans.get(), static_cast<TnxHeapRef>(self), true, size, pin);
    nxsePutU64(p + 1, static_cast<TnxHeapRef>(self));
    nxsePutU32(p + 9, 100);
    pin.Release();
  }
  expectRefused(trans.get(), self, "self loop");
  const TnxBlobNr a = raw(trans.get(), std::string(13, '\x05'));
  const TnxBlobNr b = raw(trans.get(), "\x05" + item(static_cast<TnxHeapRef>(a), 100));
  {
    std::uint16_t size = 0;
    TnxPinnedBlock pin;
    std::uint8_t* p = nxGetPinnedSegment(*heap(), trans.get(), static_cast<TnxHeapRef>(a), true, size, pin);
    nxsePutU64(p + 1, static_cast<TnxHeapRef>(b));
    nxsePutU32(p + 9, 100);
    pin.Release();
  }
  expectRefused(trans.get(), a, "two-list loop");
  trans->Commit();
}

TEST_F(BlobDamageTest, TheCheckerFindsALinkListThatLies) {
  TnxOwned<TestTransaction> trans(newTransaction());
  const TnxBlobNr nr = add(trans.get());
  write(trans.get(), nr, 0, bytes(20000, 1));
  trans->Commit();
  EXPECT_EQ(checkFile(), "");
  trans.reset(newTransaction());
  std::uint16_t size = 0;
  TnxPinnedBlock pin;
  std::uint8_t* p = nxGetPinnedSegment(*heap(), trans.get(), static_cast<TnxHeapRef>(nr), true, size, pin);
  nxsePutU32(p + 9, nxseGetU32(p + 9) - 1);  // the first item's end
  pin.Release();
  trans->Commit();
  EXPECT_NE(checkFile().find("data segment"), std::string::npos);
}

TEST_F(BlobDamageTest, RandomDamageToATreeNeverEscapes) {
  std::mt19937 rng(99);
  for (int round = 0; round < 30; ++round) {
    TnxOwned<TestTransaction> trans(newTransaction());
    const TnxBlobNr nr = add(trans.get());
    write(trans.get(), nr, 0, bytes(60000, static_cast<std::uint32_t>(round)));
    // Damage a few bytes of the root's link list.
    {
      std::uint16_t size = 0;
      TnxPinnedBlock pin;
      std::uint8_t* p = nxGetPinnedSegment(*heap(), trans.get(), static_cast<TnxHeapRef>(nr), true, size, pin);
      for (int k = 0; k < 2; ++k) p[1 + rng() % (size - 1)] = static_cast<std::uint8_t>(rng());
      pin.Release();
    }
    for (auto op : {3, 0, 1, 2}) {
      try {
        if (op == 3) {
          TnxAnsiStringStream stream;
          const std::uint32_t result = blobs()->Read(trans.get(), nr, 0, 100000, nullptr, stream);
          EXPECT_TRUE(result == 0 || result == 11896) << result;
        }
        if (op == 0) write(trans.get(), nr, 100, bytes(5000, 3));
        if (op == 1) blobs()->Truncate(trans.get(), nr, 700);
        if (op == 2) blobs()->DeleteBlob(trans.get(), nr);
      } catch (const EnxBaseException& e) {
        EXPECT_NE(e.ErrorCode(), 0);
      }
    }
    trans->Rollback();
    blobs()->Rollback(trans.get());
  }
}

}  // namespace
