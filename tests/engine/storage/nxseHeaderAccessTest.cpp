// Header formats: block 0 byte for byte, allocation through the free-block
// cache and map blocks, named sections, sub-header blocks, block checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "nxExpectCode.h"
#include "nxseTableTestSupport.h"

namespace {

using namespace nxtest;

// An engine that reserves 16 bytes per block and 48 header bytes, keeps the
// password it is given in its header area, and codes nothing.
class PlainEngine : public TnxBaseEncryptionEngine {
  PL_CLASS_INFO_DECL()
 public:
  PlainEngine(const nxString& aName, const TnxUnicodeStrings& aPasswords, bool aForServer, bool aCreating,
              void* aHeader)
      : TnxBaseEncryptionEngine(aName, aPasswords, aForServer, aCreating, aHeader) {}
  void CodeBlock(const std::uint8_t* aIn, std::uint8_t* aOut, std::uint32_t, std::uint32_t aLen) override {
    std::memcpy(aOut, aIn, aLen);
  }
  void DecodeBlock(std::uint8_t*, std::uint32_t, std::uint32_t) override {}
  void ChangePassword(void* aHeader, const nxString& aNewPassword) override {
    auto* area = static_cast<std::uint8_t*>(aHeader);
    area[0] = static_cast<std::uint8_t>(aNewPassword.size());
    for (std::size_t i = 0; i < aNewPassword.size() && i < 47; ++i) area[1 + i] = static_cast<std::uint8_t>(aNewPassword[i]);
  }
  static std::int32_t beeReservedSpacePerBlock(TnxBlockSize) { return 16; }
  static std::int32_t beeReservedHeaderSpace() { return 48; }
};
PL_CLASS_INFO_IMPL_TABLE(PlainEngine, TnxBaseEncryptionEngine, "PlainEngine", nullptr,
                         platform::bindClassTable(nxEncryptionEngineFuncs<PlainEngine>))

class HeaderAccessTest : public TableTest {
 protected:
  void SetUp() override {
    TableTest::SetUp();
    rawFiles_.insert("/db/t.nx1");  // blocks allocated here are never formatted
  }
  // A new committed file with aBlocks blocks after block 0 (owner aID).
  TnxBaseFile* fileWithBlocks(std::uint32_t aBlocks, std::int32_t aID = 7) {
    TnxOwned<TestTransaction> trans(newTransaction());
    TnxBaseFile* file = newFile(trans.get());
    access_.reset(platform::create<TnxBlockAccess>(file, nullptr, u"t", 0));
    {
      TnxOwned<TnxBaseFileHeaderAccess> header(access_->HeaderAccess(trans.get(), true));
      for (std::uint32_t i = 0; i < aBlocks; ++i) {
        TnxPinnedBlock blockPin([&](TnxReleaseMethod& r) { return header->GetNewBlock(trans.get(), aID, r); });
        PnxBlock block = blockPin.Block();
        nxseSetSignature(block, "DATA");
        blockPin.Release();
      }
    }
    trans->Commit();
    return file;
  }
  void freeBlocks(TnxBaseTransaction* aTrans, std::initializer_list<TnxBlockNumber> aBlocks, std::int32_t aID = 7) {
    TnxOwned<TnxBaseFileHeaderAccess> header(access_->HeaderAccess(aTrans, true));
    for (TnxBlockNumber n : aBlocks) {
      TnxPinnedBlock blockPin([&](TnxReleaseMethod& r) { return access_->GetBlock(aTrans, n, true, r, aID); });
      PnxBlock block = blockPin.Block();
      header->DeleteBlock(aTrans, block);
      blockPin.Release();
    }
  }
  TnxBlockNumber allocate(TnxBaseTransaction* aTrans, std::int32_t aID = 7) {
    TnxOwned<TnxBaseFileHeaderAccess> header(access_->HeaderAccess(aTrans, true));
    TnxPinnedBlock blockPin([&](TnxReleaseMethod& r) { return header->GetNewBlock(aTrans, aID, r); });
    PnxBlock block = blockPin.Block();
    const TnxBlockNumber n = nxseThisBlock(block);
    EXPECT_EQ(nxseGetI32(block + 4092), aID);
    blockPin.Release();
    return n;
  }
  std::vector<std::uint32_t> cache(TnxBaseTransaction* aTrans) {
    TnxOwned<TnxBaseFileHeaderAccess> header(access_->HeaderAccess(aTrans, false));
    std::vector<std::uint32_t> result;
    for (std::uint32_t i = 0; i < nxseGetU32(header->Header + 28); ++i)
      result.push_back(nxseGetU32(header->Header + 104 + 4 * i));
    return result;
  }
  std::int32_t firstMap(TnxBaseTransaction* aTrans) {
    TnxOwned<TnxBaseFileHeaderAccess> header(access_->HeaderAccess(aTrans, false));
    return nxseGetI32(header->Header + 24);
  }

  // The blocks here are allocated but never formatted by an engine.
  std::string rawCheck() { return checkFile("/db/t.nx1", 0, true); }

  TnxOwned<TnxBlockAccess> access_;
};

TEST_F(HeaderAccessTest, NewVersion2FileHasTheDocumentedBlockZero) {
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxBaseFile* file = newFile(trans.get());
  trans->Commit();
  EXPECT_EQ(file->BlockSizeBytes(), 4092u);
  const std::vector<std::uint8_t> d = disk();
  ASSERT_GE(d.size(), 4096u);
  EXPECT_EQ(std::memcmp(d.data(), "NX!2", 4), 0);
  EXPECT_EQ(nxseGetU32(d.data() + 4), 0u);
  EXPECT_EQ(d[16], 0);                        // 4 KB
  EXPECT_EQ(nxseGetU16(d.data() + 17), 0u);   // no encryption header
  EXPECT_EQ(nxseGetU32(d.data() + 20), 4092u);
  EXPECT_EQ(nxseGetI32(d.data() + 24), -1);
  EXPECT_EQ(nxseGetU32(d.data() + 28), 0u);
  EXPECT_EQ(nxseGetU32(d.data() + 32), 1u);
  EXPECT_EQ(nxseGetU32(d.data() + 36), 47005u);
  EXPECT_EQ(d[40], 0);  // no encryption engine
  EXPECT_EQ(d[72], 11);
  EXPECT_EQ(std::memcmp(d.data() + 73, "nx1xDefault", 11), 0);
  EXPECT_EQ(nxseGetU16(d.data() + 256), 4091u);
  EXPECT_EQ(d[258], 0);
  EXPECT_EQ(rawCheck(), "");

  // Read back from the disk.
  closeAll();
  TnxBaseFile* again = openTable("/db/t.nx1");
  EXPECT_EQ(again->BlockSizeBytes(), 4092u);
  EXPECT_EQ(again->UsedBlocks(), 1u);
  EXPECT_EQ(again->VadurVersion(), 47005);
  EXPECT_EQ(again->StreamEngineName(), u"nx1xDefault");
}

TEST_F(HeaderAccessTest, NewEncryptedFileReservesItsHeaderAreaAndChangesThePasswordThere) {
  TnxBaseEncryptionEngine::Register(PlainEngine::staticClassInfo(), u"Plain", false, 1);
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    TnxBaseFile* file = TnxBaseFile::Alloc(true, u"/db/e.nx1", manager_);
    files_.push_back(file);
    file->SetBlockSize(nxbs4k);
    file->SetVadurVersion(47005);
    file->SetEncryptionEngineName(u"Plain");
    file->OpenFile(omReadWrite, smExclusive, false, true);
    ASSERT_EQ(file->AddHeader(trans.get(), {}, kNX2), 0);
    EXPECT_EQ(file->BlockSizeBytes(), 4076u);
    EXPECT_EQ(file->CheckSumSize(), 0u);
    access_.reset(platform::create<TnxBlockAccess>(file, nullptr, u"e", 0));
    {
      TnxOwned<TnxBaseFileHeaderAccess> header(access_->HeaderAccess(trans.get(), true));
      EXPECT_EQ(nxseGetU32(header->Header + 20), 4076u);
      EXPECT_EQ(nxseGetU16(header->Header + 17), 48u);
      EXPECT_EQ(nxseGetU16(header->Header + 256), 4027u);
      EXPECT_EQ(file->HeaderAccessFactory()->GetEncryptionEngineHeader(header->Header), header->Header + 4027);
      EXPECT_EQ(header->Header[40], 5);
      // Sections end below the encryption header area.
      EXPECT_EQ(header->RegisterHeaderSection(u"Record", 20, true, false), 4027 - 20);
    }
    access_->ChangePassword(trans.get(), u"secret");
    trans->Commit();
    const std::vector<std::uint8_t> d = disk("/db/e.nx1");
    EXPECT_EQ(d[4027], 6);
    EXPECT_EQ(std::memcmp(d.data() + 4028, "secret", 6), 0);
    access_.reset();
  }
  closeAll();
  TnxOwned<TnxServerDataDict> dict(newDictionary());
  dict->SetEncryptionEngine(u"Plain");
  EXPECT_EQ(dict->UsableBlockSize(nxbs4k), 4076);  // what the file records in block 0
  TnxBaseEncryptionEngine::Unregister(PlainEngine::staticClassInfo());
}

TEST_F(HeaderAccessTest, TwentyFirstFreedBlockBecomesAMapBlockAndAllocationTakesTheNewestEntry) {
  fileWithBlocks(30);
  TnxOwned<TestTransaction> trans(newTransaction());
  freeBlocks(trans.get(), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20});
  EXPECT_EQ(cache(trans.get()).size(), 20u);
  EXPECT_EQ(firstMap(trans.get()), -1);
  freeBlocks(trans.get(), {21});
  EXPECT_EQ(cache(trans.get()), (std::vector<std::uint32_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(firstMap(trans.get()), 21);
  {
    TnxPinnedBlock mapPin([&](TnxReleaseMethod& r) {
      return access_->GetBlock(trans.get(), 21, false, r, 0x7FFFFFFF);
    });
    PnxBlock map = mapPin.Block();
    EXPECT_EQ(std::memcmp(map, "FBMH", 4), 0);
    EXPECT_EQ(nxseGetI32(map + 16), -1);
    EXPECT_EQ(nxseGetU32(map + 20), (4092u - 28) / 4);
    ASSERT_EQ(nxseGetU32(map + 24), 15u);
    EXPECT_EQ(nxseGetU32(map + 28), 6u);
    EXPECT_EQ(nxseGetU32(map + 28 + 4 * 14), 20u);
    mapPin.Release();
  }
  EXPECT_EQ(allocate(trans.get()), 5u);
  trans->Commit();
  EXPECT_EQ(rawCheck(), "");
}

TEST_F(HeaderAccessTest, EmptyCacheRefillsFifteenFromTheMapAndTakesTheEmptiedMapBlock) {
  fileWithBlocks(30);
  TnxOwned<TestTransaction> trans(newTransaction());
  freeBlocks(trans.get(), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21});
  trans->Commit();
  TnxOwned<TestTransaction> second(newTransaction());
  for (TnxBlockNumber expected : {5u, 4u, 3u, 2u, 1u}) EXPECT_EQ(allocate(second.get()), expected);
  EXPECT_TRUE(cache(second.get()).empty());
  // The map held exactly 15: they all move and the map block itself is
  // the block handed out.
  EXPECT_EQ(allocate(second.get(), 9), 21u);
  EXPECT_EQ(firstMap(second.get()), -1);
  EXPECT_EQ(cache(second.get()).size(), 15u);
  EXPECT_EQ(allocate(second.get()), 20u);
  second->Commit();
  EXPECT_EQ(rawCheck(), "");
}

TEST_F(HeaderAccessTest, RefillFromALargerMapLeavesTheRestInTheMap) {
  fileWithBlocks(60);
  TnxOwned<TestTransaction> trans(newTransaction());
  for (TnxBlockNumber n = 1; n <= 40; ++n) freeBlocks(trans.get(), {n});
  // 20 fills the cache, the 21st becomes a map of 15 (5 left), then 15 more
  // fill the cache to 20 and the next spill moves 15 into the first map.
  std::vector<std::uint32_t> c = cache(trans.get());
  const std::int32_t map = firstMap(trans.get());
  ASSERT_NE(map, -1);
  TnxPinnedBlock blockPin([&](TnxReleaseMethod& r) {
    return access_->GetBlock(trans.get(), static_cast<TnxBlockNumber>(map), false, r, 0x7FFFFFFF);
  });
  PnxBlock block = blockPin.Block();
  const std::uint32_t mapCount = nxseGetU32(block + 24);
  blockPin.Release();
  EXPECT_EQ(c.size() + mapCount, 39u);  // the map block itself is not free
  while (!cache(trans.get()).empty()) allocate(trans.get());
  allocate(trans.get());
  EXPECT_EQ(cache(trans.get()).size(), 14u);  // 15 refilled, one handed out
  EXPECT_EQ(firstMap(trans.get()), map);
  trans->Commit();
  EXPECT_EQ(rawCheck(), "");
}

TEST_F(HeaderAccessTest, FreedBlockReachesTheDiskAsAFreedBlock) {
  fileWithBlocks(3);
  TnxOwned<TestTransaction> trans(newTransaction());
  freeBlocks(trans.get(), {2});
  trans->Commit();
  const std::vector<std::uint8_t> d = disk();
  const std::uint8_t* b = d.data() + 2 * 4096;
  EXPECT_EQ(std::memcmp(b, "DEAD", 4), 0);
  EXPECT_EQ(nxseGetU32(b + 4), 2u);
  EXPECT_GT(nxseGetU64(b + 8), 0u);
  EXPECT_TRUE(std::all_of(b + 16, b + 4096, [](std::uint8_t x) { return x == 0; }));
  EXPECT_EQ(rawCheck(), "");
  // Reopened, the block comes back through the cache.
  closeAll();
  TnxBaseFile* file = openTable("/db/t.nx1");
  access_.reset(platform::create<TnxBlockAccess>(file, nullptr, u"t", 0));
  TnxOwned<TestTransaction> again(newTransaction());
  EXPECT_EQ(allocate(again.get()), 2u);
  again->Commit();
}

TEST_F(HeaderAccessTest, SectionRegistrationAtTheRoomLimit) {
  TnxOwned<TestTransaction> trans(newTransaction());
  newFile(trans.get());
  access_.reset(platform::create<TnxBlockAccess>(files_.back(), nullptr, u"t", 0));
  TnxOwned<TnxBaseFileHeaderAccess> header(access_->HeaderAccess(trans.get(), true));
  // Fill the block until between 55 and 260 bytes are left.
  auto room = [&](std::uint32_t& aPos, std::uint32_t& aLow) {
    aPos = 258;
    aLow = nxseGetU16(header->Header + 256);
    while (header->Header[aPos] != 0) {
      aLow = nxseGetU16(header->Header + aPos + 1 + header->Header[aPos]);
      aPos += 3u + header->Header[aPos];
    }
    return aLow - aPos;
  };
  std::uint32_t pos = 0, lastOffset = 0;
  for (int n = 0; room(pos, lastOffset) >= 260; ++n)
    header->RegisterHeaderSection(u"S" + platform::fromUtf8(std::to_string(n)), 200, true, false);
  const std::uint32_t left = room(pos, lastOffset);
  // Exactly name length + size + 3 fails and changes nothing.
  const nxString name = u"AB";
  const std::uint32_t size = left - 2 - 3;
  ASSERT_LT(size, 256u);
  const std::vector<std::uint8_t> before(header->Header, header->Header + 4096);
  expectFails(9473, [&] { header->RegisterHeaderSection(name, static_cast<std::uint8_t>(size), true, false); });
  EXPECT_TRUE(std::equal(before.begin(), before.end(), header->Header));
  // One byte more succeeds; the directory still ends at a zero byte.
  const std::uint16_t offset = header->RegisterHeaderSection(name, static_cast<std::uint8_t>(size - 1), true, false);
  EXPECT_EQ(offset, lastOffset - (size - 1));
  EXPECT_EQ(header->Header[pos + 5], 0);
  EXPECT_EQ(pos + 5, offset - 1u);
  EXPECT_EQ(header->RegisterHeaderSection(u"ab", static_cast<std::uint8_t>(size - 1), false, false), offset);
  header.reset();
  trans->Rollback();
}

TEST_F(HeaderAccessTest, SectionDuplicatesOverwriteAndLookups) {
  TnxOwned<TestTransaction> trans(newTransaction());
  newFile(trans.get());
  access_.reset(platform::create<TnxBlockAccess>(files_.back(), nullptr, u"t", 0));
  TnxOwned<TnxBaseFileHeaderAccess> header(access_->HeaderAccess(trans.get(), true));
  const std::uint16_t first = header->RegisterHeaderSection(u"Record", 20, true, false);
  EXPECT_EQ(first, 4091 - 20);
  const std::uint16_t second = header->RegisterHeaderSection(u"Stream", 8, true, false);
  EXPECT_EQ(second, first - 8);
  expectFails(10009, [&] { header->RegisterHeaderSection(u"RECORD", 20, true, false); });
  EXPECT_EQ(header->RegisterHeaderSection(u"record", 20, true, true), first);
  expectFails(8961, [&] { header->RegisterHeaderSection(u"Record", 21, false, false); });
  expectFails(8712, [&] { header->RegisterHeaderSection(u"Blob", 20, false, false); });
  TnxOwned<TnxBaseFileHeaderAccess> reader(access_->HeaderAccess(trans.get(), false));
  expectFails(9218, [&] { reader->RegisterHeaderSection(u"Other", 4, true, false); });
  reader.reset();
  header.reset();
  trans->Rollback();
}

TEST_F(HeaderAccessTest, SubHeadersOverflowIntoChildHeaderBlocksAndAreFoundAgain) {
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxBaseFile* file = newFile(trans.get());
  access_.reset(platform::create<TnxBlockAccess>(file, nullptr, u"t", 0));
  auto subHeader = [&](std::int32_t aID) {
    TnxOwned<TnxBaseFileHeaderAccess> header(access_->HeaderAccess(trans.get(), false));
    return platform::objectAs<Tnx2xFileHeaderAccess>(header.get())->GetHeaderBlockForID(trans.get(), aID);
  };
  std::map<std::int32_t, TnxBlockNumber> blocks;
  for (std::int32_t id = 10; id <= 320; id += 10) blocks[id] = subHeader(id);  // 32 IDs
  // The 32nd went into a new overflow block.
  {
    TnxOwned<TnxBaseFileHeaderAccess> header(access_->HeaderAccess(trans.get(), false));
    const std::uint16_t s = header->RegisterHeaderSection(u"SubHeaders", 253, false, false);
    EXPECT_EQ(header->Header[s + 252], 31);
    EXPECT_EQ(nxseGetI32(header->Header + s + 8 * 30), 310);
    const TnxBlockNumber chain = nxseGetU32(header->Header + s + 248);
    ASSERT_NE(chain, 0u);
    TnxPinnedBlock overflowPin([&](TnxReleaseMethod& r) {
      return access_->GetBlock(trans.get(), chain, false, r, 0x7FFFFFFE);
    });
    PnxBlock overflow = overflowPin.Block();
    EXPECT_EQ(std::memcmp(overflow, "CHOF", 4), 0);
    EXPECT_EQ(nxseGetU16(overflow + 20), (4092u - 24) / 8);
    EXPECT_EQ(nxseGetU16(overflow + 22), 1u);
    EXPECT_EQ(nxseGetI32(overflow + 24), 320);
    overflowPin.Release();
  }
  // A smaller ID pushes the section's last entry (310) into the overflow.
  blocks[155] = subHeader(155);
  {
    TnxOwned<TnxBaseFileHeaderAccess> header(access_->HeaderAccess(trans.get(), false));
    const std::uint16_t s = header->RegisterHeaderSection(u"SubHeaders", 253, false, false);
    EXPECT_EQ(nxseGetI32(header->Header + s + 8 * 30), 300);
    TnxPinnedBlock overflowPin([&](TnxReleaseMethod& r) {
      return access_->GetBlock(trans.get(), nxseGetU32(header->Header + s + 248), false, r, 0x7FFFFFFE);
    });
    PnxBlock overflow = overflowPin.Block();
    EXPECT_EQ(nxseGetU16(overflow + 22), 2u);
    EXPECT_EQ(nxseGetI32(overflow + 24), 310);
    EXPECT_EQ(nxseGetI32(overflow + 32), 320);
    overflowPin.Release();
  }
  trans->Commit();
  EXPECT_EQ(rawCheck(), "");
  // After reopening, every ID finds its block without a transaction.
  closeAll();
  TnxBaseFile* again = openTable("/db/t.nx1");
  access_.reset(platform::create<TnxBlockAccess>(again, nullptr, u"t", 0));
  for (const auto& [id, block] : blocks) {
    TnxOwned<TnxBaseFileHeaderAccess> header(access_->HeaderAccess(nullptr, false));
    EXPECT_EQ(platform::objectAs<Tnx2xFileHeaderAccess>(header.get())->GetHeaderBlockForID(nullptr, id), block) << id;
  }
  TnxOwned<TnxBaseFileHeaderAccess> header(access_->HeaderAccess(nullptr, false));
  expectFails(8961, [&] { platform::objectAs<Tnx2xFileHeaderAccess>(header.get())->GetHeaderBlockForID(nullptr, 999); });
}

TEST_F(HeaderAccessTest, BlockChecksNameTheOwnerAndSignature) {
  fileWithBlocks(2);
  TnxBaseFileHeaderAccessFactory* factory = files_.back()->HeaderAccessFactory();
  std::vector<std::uint8_t> block(4096, 0);
  std::memcpy(block.data(), "DATA", 4);
  nxsePutU32(block.data() + 4, 1);
  nxsePutI32(block.data() + 4092, 0x7FFFFFFF);
  expectFailsWith(8962, "has the BlockOwnerID of the free block map but has a signature of \"DATA\"",
                       [&] { factory->ValidateBlock(block.data(), 1); });
  nxsePutI32(block.data() + 4092, 0x7FFFFFFE);
  expectFailsWith(8962, "child header overflow block but has a signature of \"DATA\"",
                       [&] { factory->ValidateBlock(block.data(), 1); });
  files_.back()->SetMaxID(5);
  nxsePutI32(block.data() + 4092, 6);
  expectFailsWith(8962, "Expected BlockOwnerID smaller or equal to 5 but found 6",
                       [&] { factory->ValidateBlock(block.data(), 1); });
  expectFailsWith(8962, "Expected BlockOwnerID 5 but found 6", [&] { factory->VerifyID(block.data(), 1, 5); });
  expectFailsWith(8962, "Block 2 is identified as block 1", [&] { factory->VerifyID(block.data(), 2, 6); });
  factory->VerifyID(block.data(), 1, 6);
  nxsePutI32(block.data() + 4092, 0);
  std::memcpy(block.data(), "NX!1", 4);
  nxsePutU32(block.data() + 4, 0);
  expectFailsWith(8962, "Block 0 has not the correct signature", [&] { factory->ValidateBlock(block.data(), 0); });
}

// Block 0 fields out of range refuse the open with 8961.
TEST_F(HeaderAccessTest, DamagedBlockZeroIsRefusedOnOpen) {
  fileWithBlocks(3);
  closeAll();
  const std::vector<std::uint8_t> good = disk();
  struct Case {
    const char* what;
    std::uint32_t offset;
    std::uint32_t width;
    std::uint32_t value;
  };
  const Case cases[] = {
      {"block size code 5", 16, 1, 5},        {"usable size", 20, 4, 4096},
      {"usable size tiny", 20, 4, 100},       {"free count 21", 28, 4, 21},
      {"first free beyond used", 24, 4, 4},   {"first free zero", 24, 4, 0},
      {"used blocks zero", 32, 4, 0},         {"section top beyond usable", 256, 2, 4092},
      {"section top below directory", 256, 2, 258}, {"stream name length", 72, 1, 40},
      {"encryption header size", 17, 2, 4000},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> bad = good;
    for (std::uint32_t i = 0; i < c.width; ++i) bad[c.offset + i] = static_cast<std::uint8_t>(c.value >> (8 * i));
    putDisk(bad);
    TnxBaseFile* file = TnxBaseFile::Alloc(true, u"/db/t.nx1", manager_);
    files_.push_back(file);
    file->OpenFile(omReadWrite, smExclusive, false, false);
    TnxReleaseMethod release;
    PnxBlock header = nullptr;
    bool readOnly = false;
    expectFails(8961, [&] { manager_->AddFile(file, nullptr, {}, false, release, header, readOnly); }, c.what);
    closeAll();
  }
}

TEST_F(HeaderAccessTest, DamagedMapAndOverflowBlocksGiveClearErrors) {
  fileWithBlocks(30);
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    for (TnxBlockNumber n = 1; n <= 21; ++n) freeBlocks(trans.get(), {n});
    trans->Commit();
  }
  closeAll();
  const std::vector<std::uint8_t> good = disk();
  auto tryAllocating = [&](std::vector<std::uint8_t> aImage, const char* aWhat) {
    // Empty the cache so that the next allocation reads the map.
    nxsePutU32(aImage.data() + 28, 0);
    putDisk(aImage);
    TnxBaseFile* file = openTable("/db/t.nx1");
    access_.reset(platform::create<TnxBlockAccess>(file, nullptr, u"t", 0));
    TnxOwned<TestTransaction> trans(newTransaction());
    expectFails(8962, [&] { allocate(trans.get()); }, aWhat);
    trans->Rollback();
    access_.reset();
    closeAll();
  };
  const std::uint32_t map = 21 * 4096;
  std::vector<std::uint8_t> bad = good;
  nxsePutU32(bad.data() + map + 24, 5000);
  tryAllocating(bad, "map count above capacity");
  bad = good;
  nxsePutU32(bad.data() + map + 28 + 4 * 14, 999);
  tryAllocating(bad, "map entry beyond the file");
  bad = good;
  nxsePutU32(bad.data() + map + 20, 7);
  tryAllocating(bad, "map capacity");
  bad = good;
  std::memcpy(bad.data() + map, "XXXX", 4);
  tryAllocating(bad, "map signature");
}

TEST_F(HeaderAccessTest, CycleInTheOverflowChainStops) {
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxBaseFile* file = newFile(trans.get());
  access_.reset(platform::create<TnxBlockAccess>(file, nullptr, u"t", 0));
  for (std::int32_t id = 1; id <= 32; ++id) {
    TnxOwned<TnxBaseFileHeaderAccess> header(access_->HeaderAccess(trans.get(), false));
    platform::objectAs<Tnx2xFileHeaderAccess>(header.get())->GetHeaderBlockForID(trans.get(), id);
  }
  trans->Commit();
  closeAll();
  std::vector<std::uint8_t> bad = disk();
  // The overflow block points to itself.
  std::uint32_t chain = 0;
  for (std::uint32_t n = 1; n * 4096 < bad.size(); ++n)
    if (std::memcmp(bad.data() + n * 4096, "CHOF", 4) == 0) chain = n;
  ASSERT_NE(chain, 0u);
  nxsePutU32(bad.data() + chain * 4096 + 16, chain);
  putDisk(bad);
  TnxBaseFile* again = openTable("/db/t.nx1");
  access_.reset(platform::create<TnxBlockAccess>(again, nullptr, u"t", 0));
  TnxOwned<TnxBaseFileHeaderAccess> header(access_->HeaderAccess(nullptr, false));
  expectFails(8962, [&] { platform::objectAs<Tnx2xFileHeaderAccess>(header.get())->GetHeaderBlockForID(nullptr, 1000); });
}

TEST_F(HeaderAccessTest, DamagedSectionsAndSubHeaderDirectoryAreRefused) {
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxBaseFile* file = newFile(trans.get());
  access_.reset(platform::create<TnxBlockAccess>(file, nullptr, u"t", 0));
  for (std::int32_t id = 1; id <= 33; ++id) {
    TnxOwned<TnxBaseFileHeaderAccess> header(access_->HeaderAccess(trans.get(), false));
    platform::objectAs<Tnx2xFileHeaderAccess>(header.get())->GetHeaderBlockForID(trans.get(), id);
  }
  trans->Commit();
  closeAll();
  const std::vector<std::uint8_t> good = disk();
  // "SubHeaders" is the first section: name at 259, offset at 269, section at 4091 - 253.
  ASSERT_EQ(std::memcmp(good.data() + 259, "SubHeaders", 10), 0);
  const std::uint32_t section = 4091 - 253;
  std::uint32_t chain = nxseGetU32(good.data() + section + 248);
  struct Case {
    const char* what;
    std::uint32_t offset;
    std::uint32_t width;
    std::uint32_t value;
    TnxResult code;
  };
  const Case cases[] = {
      {"section offset above the top", 269, 2, 4095, 8961},
      {"section offset inside the directory", 269, 2, 270, 8961},
      {"name running into the sections", 258, 1, 250, 8961},
      {"SubHeaders count above 31", section + 252, 1, 40, 8961},
      {"overflow chain beyond the file", section + 248, 4, 5000, 8961},
      {"overflow count above capacity", chain * 4096 + 22, 2, 600, 8962},
      {"overflow capacity", chain * 4096 + 20, 2, 3, 8962},
      {"sub-header block beyond the file", section + 4, 4, 5000, 8961},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> bad = good;
    for (std::uint32_t i = 0; i < c.width; ++i) bad[c.offset + i] = static_cast<std::uint8_t>(c.value >> (8 * i));
    putDisk(bad);
    TnxBaseFile* again = openTable("/db/t.nx1");
    access_.reset(platform::create<TnxBlockAccess>(again, nullptr, u"t", 0));
    {
      TnxOwned<TnxBaseFileHeaderAccess> header(access_->HeaderAccess(nullptr, false));
      const std::int32_t id = c.offset == section + 4 ? 1 : 33;
      expectFails(c.code, [&] { platform::objectAs<Tnx2xFileHeaderAccess>(header.get())->GetHeaderBlockForID(nullptr, id); },
                  c.what);
    }
    access_.reset();
    closeAll();
  }
}

// A version 1 file (written here byte by byte: version 1 files are never
// created): the free chain, the fixed sections, and what it refuses.
TEST_F(HeaderAccessTest, Version1FileIsReadAndChangedButNeverCreated) {
  std::vector<std::uint8_t> image(4 * 4096, 0);
  std::uint8_t* h = image.data();
  std::memcpy(h, "NX!1", 4);
  h[16] = 0;
  nxsePutU32(h + 20, 4096);
  nxsePutI32(h + 24, 3);  // free chain 3 -> 1
  nxsePutU32(h + 28, 2);
  nxsePutU32(h + 32, 4);
  nxsePutU32(h + 36, 30000);
  for (std::uint32_t n = 1; n < 4; ++n) {
    std::memcpy(h + n * 4096, n == 2 ? "DATA" : "DEAD", 4);
    nxsePutU32(h + n * 4096 + 4, n);
  }
  nxsePutI32(h + 3 * 4096 + 16, 1);
  nxsePutI32(h + 1 * 4096 + 16, -1);
  putDisk(image, "/db/t.nx1", true);
  TnxBaseFile* file = openTable("/db/t.nx1");
  EXPECT_EQ(file->BlockSizeBytes(), 4096u);
  access_.reset(platform::create<TnxBlockAccess>(file, nullptr, u"t", 0));
  TnxOwned<TestTransaction> trans(newTransaction());
  {
    TnxOwned<TnxBaseFileHeaderAccess> header(access_->HeaderAccess(trans.get(), true));
    EXPECT_EQ(header->RegisterHeaderSection(u"record", 20, true, false), 1024);
    EXPECT_EQ(header->RegisterHeaderSection(u"Indices", 200, false, false), 1536);
    expectFails(12289, [&] { header->RegisterHeaderSection(u"SubHeaders", 253, true, false); });
    expectFails(12289, [&] { header->ChangePassword(u"x"); });
    TnxPinnedBlock bPin([&](TnxReleaseMethod& r) { return header->GetNewBlock(trans.get(), 5, r); });
    PnxBlock b = bPin.Block();
    EXPECT_EQ(nxseThisBlock(b), 3u);
    bPin.Release();
    bPin.Pin([&](TnxReleaseMethod& r) { return header->GetNewBlock(trans.get(), 5, r); });
    b = bPin.Block();
    EXPECT_EQ(nxseThisBlock(b), 1u);
    header->DeleteBlock(trans.get(), b);
    bPin.Release();
    EXPECT_EQ(header->AvailableBlocks(), 1u);
    bPin.Pin([&](TnxReleaseMethod& r) { return header->GetNewBlock(trans.get(), 5, r); });
    b = bPin.Block();
    EXPECT_EQ(nxseThisBlock(b), 1u);
    bPin.Release();
    bPin.Pin([&](TnxReleaseMethod& r) { return header->GetNewBlock(trans.get(), 5, r); });
    b = bPin.Block();
    EXPECT_EQ(nxseThisBlock(b), 4u);  // chain empty: the file grows
    bPin.Release();
  }
  trans->Commit();
  expectFails(12289, [] { Tnx1xFileHeaderAccessFactory::ValidateDictionary(nullptr, true); });
  TnxOwned<TestTransaction> other(newTransaction());
  TnxBaseFile* fresh = TnxBaseFile::Alloc(true, u"/db/v1.nx1", manager_);
  files_.push_back(fresh);
  fresh->OpenFile(omReadWrite, smExclusive, false, true);
  expectFailsWith(12289, "Can't create new files with v1 header",
                       [&] { fresh->AddHeader(other.get(), {}, kNX1); });
  other->Rollback();
}

// Damaged free chains: every allocation either hands out a block no one
// holds or fails with a clear error; none loops and none hands a block out
// twice. The checker reports both chains as broken.
TEST_F(HeaderAccessTest, CycleInTheVersion1FreeChainIsRefused) {
  // Blocks 1..5 freed, chained 3 -> 1 -> 3 with a count of 4.
  std::vector<std::uint8_t> image(6 * 4096, 0);
  std::uint8_t* h = image.data();
  std::memcpy(h, "NX!1", 4);
  nxsePutU32(h + 20, 4096);
  nxsePutI32(h + 24, 3);
  nxsePutU32(h + 28, 4);
  nxsePutU32(h + 32, 6);
  nxsePutU32(h + 36, 30000);
  for (std::uint32_t n = 1; n < 6; ++n) {
    std::memcpy(h + n * 4096, "DEAD", 4);
    nxsePutU32(h + n * 4096 + 4, n);
    nxsePutI32(h + n * 4096 + 16, -1);
  }
  nxsePutI32(h + 3 * 4096 + 16, 1);
  nxsePutI32(h + 1 * 4096 + 16, 3);
  putDisk(image);
  EXPECT_NE(checkFile("/db/t.nx1", 0, true).find("free chain broken at 3"), std::string::npos);
  access_.reset(platform::create<TnxBlockAccess>(openTable("/db/t.nx1"), nullptr, u"t", 0));
  TnxOwned<TestTransaction> trans(newTransaction());
  std::set<TnxBlockNumber> handedOut;
  bool refused = false;
  for (int i = 0; i < 10 && !refused; ++i) {
    try {
      // Unformatted on purpose: the chain alone must not give a block twice.
      TnxOwned<TnxBaseFileHeaderAccess> header(access_->HeaderAccess(trans.get(), true));
      TnxPinnedBlock blockPin([&](TnxReleaseMethod& r) { return header->GetNewBlock(trans.get(), 7, r); });
      PnxBlock block = blockPin.Block();
      const TnxBlockNumber n = nxseThisBlock(block);
      blockPin.Release();
      EXPECT_TRUE(handedOut.insert(n).second) << "block " << n << " handed out twice";
    } catch (const EnxBaseException& e) {
      refused = true;
      EXPECT_TRUE(e.ErrorCode() == 8961 || e.ErrorCode() == 8962) << platform::toUtf8(e.Message());
    }
  }
  EXPECT_TRUE(refused);
  EXPECT_EQ(handedOut, (std::set<TnxBlockNumber>{1, 3}));
  trans->Rollback();
}

TEST_F(HeaderAccessTest, CycleInTheFreeBlockMapChainIsRefused) {
  fileWithBlocks(30);
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    for (TnxBlockNumber n = 1; n <= 21; ++n) freeBlocks(trans.get(), {n});
    trans->Commit();
  }
  closeAll();
  // Map block 21 (15 entries) links to itself; the cache is emptied so that
  // allocation goes to the map at once.
  std::vector<std::uint8_t> bad = disk();
  ASSERT_EQ(std::memcmp(bad.data() + 21 * 4096, "FBMH", 4), 0);
  nxsePutI32(bad.data() + 21 * 4096 + 16, 21);
  nxsePutU32(bad.data() + 28, 0);
  putDisk(bad);
  EXPECT_NE(checkFile("/db/t.nx1", 0, true).find("free map chain broken at 21"), std::string::npos);
  access_.reset(platform::create<TnxBlockAccess>(openTable("/db/t.nx1"), nullptr, u"t", 0));
  TnxOwned<TestTransaction> trans(newTransaction());
  std::set<TnxBlockNumber> handedOut;
  bool refused = false;
  for (int i = 0; i < 40 && !refused; ++i) {
    try {
      EXPECT_TRUE(handedOut.insert(allocate(trans.get())).second) << "block handed out twice";
    } catch (const EnxBaseException& e) {
      refused = true;
      EXPECT_EQ(e.ErrorCode(), 8962) << platform::toUtf8(e.Message());
    }
  }
  EXPECT_TRUE(refused);
  EXPECT_EQ(handedOut.size(), 16u);  // the 15 entries and the map block itself
  trans->Rollback();
}

TEST_F(HeaderAccessTest, ChangesNeedAnAccessFetchedForChange) {
  fileWithBlocks(2);
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxOwned<TnxBaseFileHeaderAccess> header(access_->HeaderAccess(trans.get(), false));
  TnxReleaseMethod release;
  expectFails(9218, [&] { header->GetNewBlock(trans.get(), 1, release); });
  std::vector<std::uint8_t> block(4096, 0);
  nxsePutU32(block.data() + 4, 1);
  expectFails(9218, [&] { header->DeleteBlock(trans.get(), block.data()); });
  header.reset();
  trans->Rollback();
}

TEST_F(HeaderAccessTest, RollbackUndoesAllocationsAndFrees) {
  fileWithBlocks(25);
  TnxOwned<TestTransaction> trans(newTransaction());
  for (TnxBlockNumber n = 1; n <= 21; ++n) freeBlocks(trans.get(), {n});
  allocate(trans.get());
  trans->Rollback();
  TnxOwned<TestTransaction> again(newTransaction());
  EXPECT_TRUE(cache(again.get()).empty());
  EXPECT_EQ(firstMap(again.get()), -1);
  EXPECT_EQ(allocate(again.get()), 26u);
  again->Commit();
  EXPECT_EQ(rawCheck(), "");
}

}  // namespace
