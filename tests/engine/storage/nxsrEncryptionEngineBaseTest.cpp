#include "nxsrEncryptionEngineBase.h"

#include <gtest/gtest.h>

#include "nxExpectCode.h"
#include "nxsrTemporaryStorageBase.h"
#include "nxsrTestSupport.h"

namespace {

// XOR with the randomizer's low byte: enough to see which offset the file
// layer passes.
template <int Priority>
class XorEngine : public TnxBaseEncryptionEngine {
  PL_CLASS_INFO_DECL()
 public:
  XorEngine(const nxString& aName, const TnxUnicodeStrings& aPasswords, bool aForServer, bool aCreating,
            void* aHeader)
      : TnxBaseEncryptionEngine(aName, aPasswords, aForServer, aCreating, aHeader) {
    if (!aPasswords.empty() && aPasswords[0] == u"bad") throw EnxBaseEncryptionEngineException(10015);
  }
  void CodeBlock(const std::uint8_t* aIn, std::uint8_t* aOut, std::uint32_t aRandomizer,
                 std::uint32_t aLen) override {
    for (std::uint32_t i = 0; i < aLen; ++i) aOut[i] = aIn[i] ^ static_cast<std::uint8_t>(aRandomizer >> 12);
  }
  void DecodeBlock(std::uint8_t* aBlock, std::uint32_t aLen, std::uint32_t aRandomizer) override {
    for (std::uint32_t i = 0; i < aLen; ++i) aBlock[i] ^= static_cast<std::uint8_t>(aRandomizer >> 12);
  }
  static std::int32_t beeReservedSpacePerBlock(TnxBlockSize) { return 16 * Priority; }
  static std::int32_t beeReservedHeaderSpace() { return 48; }
  static constexpr int kPriority = Priority;
};
using XorOne = XorEngine<1>;
using XorTwo = XorEngine<2>;
template <>
PL_CLASS_INFO_IMPL_TABLE(XorOne, TnxBaseEncryptionEngine, "XorOne", nullptr,
                         platform::bindClassTable(nxEncryptionEngineFuncs<XorOne>))
template <>
PL_CLASS_INFO_IMPL_TABLE(XorTwo, TnxBaseEncryptionEngine, "XorTwo", nullptr,
                         platform::bindClassTable(nxEncryptionEngineFuncs<XorTwo>))

class EncryptionRegistryTest : public ::testing::Test {
 protected:
  void TearDown() override {
    TnxBaseEncryptionEngine::Unregister(XorOne::staticClassInfo());
    TnxBaseEncryptionEngine::Unregister(XorTwo::staticClassInfo());
  }
};

TEST_F(EncryptionRegistryTest, NothingRegisteredListsOnlyNoEncryption) {
  platform::TStringList list;
  TnxBaseEncryptionEngine::GetRegisteredEngines(list, false);
  ASSERT_EQ(list.count(), 1);
  EXPECT_EQ(list.strings(0), u"");
}

TEST_F(EncryptionRegistryTest, TheHighestPriorityWinsUntilItLeaves) {
  TnxBaseEncryptionEngine::Register(XorOne::staticClassInfo(), u"Xor", false, 1);
  TnxBaseEncryptionEngine::Register(XorTwo::staticClassInfo(), u"xor", false, 2);
  TnxBaseEncryptionEngine::Register(XorOne::staticClassInfo(), u"Other", true, 1);
  EXPECT_THROW(TnxBaseEncryptionEngine::Register(XorTwo::staticClassInfo(), u"XOR", false, 2),
               platform::StringListError);
  platform::TStringList list;
  TnxBaseEncryptionEngine::GetRegisteredEngines(list, false);
  ASSERT_EQ(list.count(), 2);
  EXPECT_EQ(list.strings(1), u"Xor");
  EXPECT_TRUE(TnxBaseEncryptionEngine::HasEngine(u"XOR", false));
  EXPECT_FALSE(TnxBaseEncryptionEngine::HasEngine(u"Xor", true));

  TnxBaseEncryptionEngine* engine = nullptr;
  EXPECT_EQ(TnxBaseEncryptionEngine::CreateEngine(u"Xor", {}, nullptr, true, false, engine), 0);
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(engine->className(), "XorTwo");
  platform::TObject::free(engine);
  EXPECT_EQ(TnxBaseEncryptionEngine::ReservedSpacePerBlock(u"Xor", false, nxbs4k), 32);
  EXPECT_EQ(TnxBaseEncryptionEngine::ReservedHeaderSpace(u"Xor", false), 48);

  TnxBaseEncryptionEngine::Unregister(XorTwo::staticClassInfo());
  EXPECT_EQ(TnxBaseEncryptionEngine::CreateEngine(u"Xor", {}, nullptr, true, false, engine), 0);
  EXPECT_EQ(engine->className(), "XorOne");
  platform::TObject::free(engine);
  // A constructor that refuses answers its code.
  EXPECT_EQ(TnxBaseEncryptionEngine::CreateEngine(u"Xor", {u"bad"}, nullptr, false, false, engine), 10015);
  EXPECT_EQ(engine, nullptr);
}

TEST_F(EncryptionRegistryTest, UnknownNames) {
  TnxBaseEncryptionEngine* engine = nullptr;
  EXPECT_EQ(TnxBaseEncryptionEngine::CreateEngine(u"Nope", {}, nullptr, true, false, engine), 15503);
  nxtest::expectCode([] { throw EnxBaseException(15503); }, 15503, u"Unknown encryption engine: \"Nope\"");
  EXPECT_EQ(TnxBaseEncryptionEngine::ReservedHeaderSpace(u"", false), 0);
  nxtest::expectCode<EnxBaseEncryptionEngineException>(
      [] { TnxBaseEncryptionEngine::ReservedSpacePerBlock(u"", false, nxbs4k); }, 15503);
  nxtest::expectCode<EnxBaseEncryptionEngineException>(
      [] { TnxBaseEncryptionEngine::ReservedHeaderSpace(u"Nope", false); }, 15503, u"\"Nope\"");
}

TEST_F(EncryptionRegistryTest, BaseBehaviour) {
  TnxBaseEncryptionEngine::Register(XorOne::staticClassInfo(), u"Xor", false, 1);
  TnxBaseEncryptionEngine* raw = nullptr;
  ASSERT_EQ(TnxBaseEncryptionEngine::CreateEngine(u"Xor", {}, nullptr, true, false, raw), 0);
  TnxOwned<TnxBaseEncryptionEngine> engine(raw);
  EXPECT_EQ(engine->AuthenticatePassword({u"x"}), 0);
  EXPECT_EQ(engine->ExtractPassword(), u"");
  nxtest::expectCode<EnxBaseEncryptionEngineException>([&] { engine->ChangePassword(nullptr, u"n"); }, 12289,
                                                       u"ChangePassword not supported by XorOne");
  // The block number becomes the byte offset (block 3 of 4 KB: 12288).
  std::uint8_t in[8] = {1, 2, 3, 4, 5, 6, 7, 8}, out[8];
  std::vector<std::uint8_t> cookie{9}, checksum;
  engine->CodeBlockEx(in, out, 4096 / 512, 3 * 512, cookie, checksum);
  EXPECT_EQ(out[0], 1 ^ static_cast<std::uint8_t>((3 * 512 * 8) >> 12));
  engine->DecodeBlockEx(out, 8, 3 * 512, cookie);
  EXPECT_TRUE(cookie.empty());
  EXPECT_EQ(out[7], 8);
  EXPECT_THROW(engine->beeAddChecksumForCookie(cookie, 0, checksum), platform::AssertionFailed);
}

TEST(TemporaryStorage, TheNullStorageHasNoSpace) {
  nxllBaseLibraryInitialize();
  {
    TnxBufferManager manager(u"/tmp");
    EXPECT_EQ(manager.TempStoreSize(), 0);
    manager.SetTempStoreSize(64);  // no storage class registered
    EXPECT_TRUE(manager.TempStore()->is<TnxNullTempStorage>());
    platform::TStringList captions, values, statics;
    manager.GetStatsCaptions(captions);
    manager.GetStatsValues(values);
    TnxBufferManager::GetStatsValuesStatic(statics);
    // The temporary storage's rows come last.
    const int n = captions.count();
    ASSERT_GE(n, 2);
    EXPECT_EQ(captions.strings(n - 2), u"Temporary Storage Total Size");
    EXPECT_EQ(captions.strings(n - 1), u"Temporary Storage Used Size");
    for (const platform::TStringList* list : {&values, &statics}) {
      ASSERT_EQ(list->count(), n);
      EXPECT_EQ(list->strings(n - 2), u"0 kbyte");
      EXPECT_EQ(list->strings(n - 1), u"0 kbyte");
    }
    TnxNullTempStorage storage;
    std::uint8_t block[16];
    EXPECT_FALSE(storage.HasSpaceFor(nxbs4k));
    nxtest::expectCode([&] { storage.WriteBlock(block, nxbs4k); }, 12289,
                       u"WriteBlock is not supported by TnxNullTempStorage");
    nxtest::expectCode([&] { storage.ReadBlock(1, nxbs4k, block); }, 12289, u"ReadBlock");
    nxtest::expectCode([&] { storage.PeekBlock(1, nxbs4k, block); }, 12289, u"PeekBlock");
    nxtest::expectCode([&] { storage.ReleaseBlock(1, nxbs4k); }, 12289, u"ReleaseBlock");
  }
  nxllBaseLibraryFinalize();
}

// An encrypted file: every block but block 0 is stored coded, at its own
// offset, and read back decoded.
class EncryptedFileTest : public nxtest::StorageTest {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    TnxBaseEncryptionEngine::Register(XorOne::staticClassInfo(), u"Xor", false, 1);
  }
  void TearDown() override {
    StorageTest::TearDown();
    TnxBaseEncryptionEngine::Unregister(XorOne::staticClassInfo());
  }
};

TEST_F(EncryptedFileTest, BlocksAreCodedOnDiskAndReadBackPlain) {
  TnxBaseFile* file = TnxBaseFile::Alloc(true, u"/db/e.nx1", manager_);
  files_.push_back(file);
  file->SetEncryptionEngineName(u"Xor");
  file->SetVadurVersion(47005);
  file->OpenFile(omReadWrite, smExclusive, false, true);
  TnxOwned<nxtest::TestTransaction> trans(newTransaction());
  ASSERT_EQ(file->AddHeader(trans.get(), {}, nxtest::kTestSignature), 0);
  ASSERT_NE(file->EncryptionEngine(), nullptr);
  TnxBlockAccess access(file, nullptr, u"e", 0);
  {
    TnxOwned<TnxBaseFileHeaderAccess> header(access.HeaderAccess(trans.get(), true));
    TnxPinnedBlock blockPin([&](TnxReleaseMethod& r) { return header->GetNewBlock(trans.get(), 0, r); });
    PnxBlock block = blockPin.Block();
    block[16] = 0x5A;
    blockPin.Release();
  }
  trans->Commit();
  std::vector<std::uint8_t> disk;
  fs_.contents("/db/e.nx1", disk);
  ASSERT_EQ(disk.size(), 4u * nxtest::kBlock);  // grown to at least 3 blocks beyond the header
  EXPECT_EQ(std::memcmp(disk.data(), "TST!", 4), 0);  // block 0 as is
  EXPECT_EQ(disk[nxtest::kBlock + 16], 0x5A ^ 1);    // block 1 coded with its offset 4096
  manager_->RemoveFile(file);
  TnxReleaseMethod release;
  PnxBlock header = nullptr;
  bool readOnly = true;
  ASSERT_EQ(manager_->AddFile(file, nullptr, {}, false, release, header, readOnly), 0);
  TnxPinnedBlock(header, release).Release();
  EXPECT_FALSE(readOnly);
  EXPECT_EQ(committedByte(file, 1), 0x5A);
}

}  // namespace
