// Table encryption: key block wrapping, passwords, block layout and damage.
#include "nxseEncryptionEngineBlowfishRC4.h"

#include <gtest/gtest.h>

#include "nxExpectCode.h"
#include "nxseTableTestSupport.h"

namespace {

using namespace nxtest;

class EncryptionEngineTest : public TableTest {
 protected:
  void SetUp() override {
    TableTest::SetUp();
    nxseEncryptionEngineBlowfishRC4Initialize();
  }
  void TearDown() override {
    TableTest::TearDown();
    nxseEncryptionEngineBlowfishRC4Finalize();
  }

  // A new encrypted file with one data block holding aByte at 16.
  TnxBaseFile* newEncrypted(const TnxUnicodeStrings& aPasswords, std::uint8_t aByte = 0x77) {
    TnxOwned<TestTransaction> trans(newTransaction());
    TnxBaseFile* file = TnxBaseFile::Alloc(true, u"/db/e.nx1", manager_);
    files_.push_back(file);
    file->SetVadurVersion(47005);
    file->SetStreamEngineName(u"nx1xDefault");
    file->SetEncryptionEngineName(u"nx1xDefault");
    file->OpenFile(omReadWrite, smExclusive, false, true);
    EXPECT_EQ(file->AddHeader(trans.get(), aPasswords, kNX2), 0);
    access_.reset(platform::create<TnxBlockAccess>(file, nullptr, u"e", 0));
    {
      TnxOwned<TnxBaseFileHeaderAccess> header(access_->HeaderAccess(trans.get(), true));
      TnxPinnedBlock blockPin([&](TnxReleaseMethod& r) { return header->GetNewBlock(trans.get(), 0, r); });
      PnxBlock block = blockPin.Block();
      nxseSetSignature(block, "DATA");
      block[16] = aByte;
      blockPin.Release();
    }
    trans->Commit();
    return file;
  }
  // Closes the file in the manager and opens it again with aPasswords.
  TnxResult reopen(TnxBaseFile* aFile, const TnxUnicodeStrings& aPasswords) {
    manager_->RemoveFile(aFile);
    TnxReleaseMethod release;
    PnxBlock header = nullptr;
    bool readOnly = false;
    const TnxResult result = manager_->AddFile(aFile, nullptr, aPasswords, false, release, header, readOnly);
    TnxPinnedBlock(header, release).Release();
    return result;
  }

  TnxOwned<TnxBlockAccess> access_;
};

TEST_F(EncryptionEngineTest, LayoutOfTheBlocksAndTheKeyBlock) {
  TnxBaseFile* file = newEncrypted({u"A"});
  EXPECT_EQ(file->BlockSizeBytes(), 4076u);  // 4096 - 16 reserved - 4 owner ID
  std::vector<std::uint8_t> d = disk("/db/e.nx1");
  ASSERT_GE(d.size(), 2 * 4096u);
  EXPECT_EQ(nxseGetU16(d.data() + 17), 48u);
  std::uint8_t* keyBlock = file->HeaderAccessFactory()->GetEncryptionEngineHeader(d.data());
  EXPECT_EQ(keyBlock - d.data(), 4027);
  // Block 1 on disk is coded: neither its signature nor its byte is visible.
  EXPECT_NE(std::memcmp(d.data() + 4096, "DATA", 4), 0);
  EXPECT_EQ(committedByte(file, 1), 0x77);
  // Equal contents encode differently (a random IV per write).
  auto* engine = file->EncryptionEngine();
  std::vector<std::uint8_t> plain(4096, 1), a(4096), b(4096);
  engine->CodeBlock(plain.data(), a.data(), 0, 4096);
  engine->CodeBlock(plain.data(), b.data(), 0, 4096);
  EXPECT_NE(a, b);
  engine->DecodeBlock(a.data(), 4096, 0);
  EXPECT_TRUE(std::equal(a.begin(), a.begin() + 4080, plain.begin()));
}

TEST_F(EncryptionEngineTest, PasswordsAtOpen) {
  TnxBaseFile* file = newEncrypted({u"A"});
  EXPECT_EQ(reopen(file, {u"B"}), 10015);
  EXPECT_EQ(reopen(file, {}), 10015);
  ASSERT_EQ(reopen(file, {u"B", u"A"}), 0);
  EXPECT_EQ(file->EncryptionEngine()->ExtractPassword(), u"A");
  EXPECT_EQ(committedByte(file, 1), 0x77);
  EXPECT_EQ(file->EncryptionEngine()->AuthenticatePassword({u"A"}), 0);
  EXPECT_EQ(file->EncryptionEngine()->AuthenticatePassword({u"x", u"y"}), 10015);
}

TEST_F(EncryptionEngineTest, WithoutPasswordAnyListOpens) {
  TnxBaseFile* file = newEncrypted({});
  for (const TnxUnicodeStrings& list : {TnxUnicodeStrings{}, TnxUnicodeStrings{u"Q"}, TnxUnicodeStrings{u"a", u"b"}}) {
    ASSERT_EQ(reopen(file, list), 0);
    EXPECT_EQ(file->EncryptionEngine()->ExtractPassword(), u"");
    EXPECT_EQ(file->EncryptionEngine()->AuthenticatePassword({u"anything"}), 0);
    EXPECT_EQ(committedByte(file, 1), 0x77);
  }
}

TEST_F(EncryptionEngineTest, SeveralPasswordsWhenCreating) {
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxBaseFile* file = TnxBaseFile::Alloc(true, u"/db/m.nx1", manager_);
  files_.push_back(file);
  file->SetVadurVersion(47005);
  file->SetEncryptionEngineName(u"nx1xDefault");
  file->OpenFile(omReadWrite, smExclusive, false, true);
  EXPECT_EQ(file->AddHeader(trans.get(), {u"A", u"B"}, kNX2), 9986);
  EXPECT_EQ(file->EncryptionEngine(), nullptr);
  trans->Rollback();
}

TEST_F(EncryptionEngineTest, ChangePasswordKeepsTheDataKey) {
  TnxBaseFile* file = newEncrypted({u"A"});
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    access_->ChangePassword(trans.get(), u"C");
    trans->Commit();
  }
  EXPECT_EQ(file->EncryptionEngine()->ExtractPassword(), u"C");
  EXPECT_EQ(reopen(file, {u"A"}), 10015);
  ASSERT_EQ(reopen(file, {u"C"}), 0);
  EXPECT_EQ(committedByte(file, 1), 0x77);  // written under the old password
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    access_->ChangePassword(trans.get(), u"");
    trans->Commit();
  }
  ASSERT_EQ(reopen(file, {u"zzz"}), 0);  // the built-in passphrase
  EXPECT_EQ(committedByte(file, 1), 0x77);
}

TEST_F(EncryptionEngineTest, AFlippedBitIsCorruption) {
  TnxBaseFile* file = newEncrypted({u"A"});
  manager_->RemoveFile(file);
  std::vector<std::uint8_t> d;
  fs_.contents("/db/e.nx1", d);
  // A flipped bit in the data, in the IV and in the check value.
  for (std::size_t at : {4096u + 100u, 4096u + 4080u, 4096u + 4090u}) {
    std::vector<std::uint8_t> bad = d;
    bad[at] ^= 0x04;
    fs_.putFile("/db/e.nx1", bad);
    ASSERT_EQ(reopen(file, {u"A"}), 0);
    expectFails(8962, [&] { (void)committedByte(file, 1); }, "flipped bit");
    manager_->RemoveFile(file);
  }
}

TEST_F(EncryptionEngineTest, UserAndServerModesUseDifferentPassphrases) {
  TnxUnicodeStrings none;
  std::vector<std::uint8_t> keyBlock(48);
  TnxBaseEncryptionEngine* user = nullptr;
  ASSERT_EQ(TnxBaseEncryptionEngine::CreateEngine(u"nx1xDefault", none, keyBlock.data(), true, false, user), 0);
  TnxOwned<TnxBaseEncryptionEngine> own(user);
  TnxBaseEncryptionEngine* server = nullptr;
  EXPECT_EQ(TnxBaseEncryptionEngine::CreateEngine(u"nx1xDefault", none, keyBlock.data(), false, true, server), 10015);
  EXPECT_EQ(server, nullptr);
  TnxBaseEncryptionEngine* again = nullptr;
  ASSERT_EQ(TnxBaseEncryptionEngine::CreateEngine(u"nx1xDefault", none, keyBlock.data(), false, false, again), 0);
  platform::TObject::free(again);
}

TEST_F(EncryptionEngineTest, IterateBlocksGivesADecryptedCopy) {
  TnxBaseFile* file = newEncrypted({u"A"}, 0x3C);
  struct Seen {
    std::vector<std::uint8_t> bytes;
  } seen;
  TnxBlockIterator it{[](void*, void* aCookie, TnxBlockNumber aNr, PnxBlock aBlock) {
                        auto* s = static_cast<Seen*>(aCookie);
                        if (aNr == 1 && aBlock) s->bytes.assign(aBlock, aBlock + 32);
                        return birContinue;
                      },
                      nullptr};
  file->IterateBlocks(&seen, it);
  ASSERT_EQ(seen.bytes.size(), 32u);
  EXPECT_EQ(std::memcmp(seen.bytes.data(), "DATA", 4), 0);
  EXPECT_EQ(seen.bytes[16], 0x3C);
}

}  // namespace
