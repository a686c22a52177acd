#include "nxsrFileImplWin32.h"

#include <gtest/gtest.h>

#include "nxExpectCode.h"
#include "nxsrTestSupport.h"

namespace {

using nxtest::StorageTest;

class TableFileTest : public StorageTest {
 protected:
  TnxBaseFile* alloc(const char16_t* aName) {
    TnxBaseFile* file = TnxBaseFile::Alloc(true, aName, manager_);
    files_.push_back(file);
    return file;
  }
};

TEST_F(TableFileTest, AllocPicksTheTableClassAndKeepsTheFolder) {
  fs_.setCurrentFolder("/db");
  TnxBaseFile* table = alloc(u"sub/../t.nx1");
  EXPECT_EQ(table->className(), "TnxOverlappedWin32File");
  EXPECT_EQ(table->Path(), u"/db/");
  EXPECT_EQ(table->FileName(), u"/db/t.nx1");
  EXPECT_EQ(table->ExpandRelativeFileName(u"  other.nx1\t"), u"/db/other.nx1");
  EXPECT_EQ(table->ExpandRelativeFileName(u"/abs/x.nx1"), u"/abs/x.nx1");
  TnxOwned<TnxBaseFile> plain(TnxBaseFile::Alloc(false, u"/db/p.tmp", manager_));
  EXPECT_EQ(plain->className(), "TnxBaseWin32File");
  plain->SetAttributes(TnxFileAttributes{nxfaTemporary});
  EXPECT_EQ(plain->FileName(), u"(memory)");
  EXPECT_EQ(plain->GetFileID().size(), 16u);
}

TEST_F(TableFileTest, OpenRefusals) {
  TnxBaseFile* file = alloc(u"/db/missing.nx1");
  nxtest::expectCode<EnxOverlappedWin32FileException>(
      [&] { file->OpenFile(omReadWrite, smExclusive, false, false); }, 9221,
      u"INTERNAL: File could not be opened [/db/missing.nx1, error 2,");
  // Everything but CloseFile refuses after a failed open; CloseFile forgets it.
  nxtest::expectCode([&] { file->FileSize(); }, 9221);
  nxtest::expectCode([&] { static_cast<TnxBaseWin32File*>(file)->ReopenFile(); }, 9221);
  file->CloseFile();
  nxtest::expectCode([&] { file->FileSize(); }, 15360, u"TnxBaseFile contains invalid data");

  fs_.putFile("/db/t.nx1", nxtest::tableImage(4));
  TnxBaseFile* first = alloc(u"/db/t.nx1");
  first->OpenFile(omReadWrite, smExclusive, false, false);
  nxtest::expectCode([&] { first->OpenFile(omReadWrite, smExclusive, false, false); }, 15360);
  TnxBaseFile* second = alloc(u"/db/t.nx1");
  nxtest::expectCode([&] { second->OpenFile(omReadOnly, smShared, false, false); }, 9221);
  first->CloseFile();
  second->CloseFile();
  second->OpenFile(omReadOnly, smShared, false, false);
  EXPECT_TRUE(second->FileIsOpen());
}

TEST_F(TableFileTest, OnDiskFactsOfTheName) {
  fs_.putFile("/db/Table.NX1", nxtest::tableImage(4));
  fs_.setReadOnly("/db/Table.NX1", true);
  fs_.setSymlink("/db/Table.NX1", true);
  TnxBaseFile* file = alloc(u"/db/table.nx1");
  file->OpenFile(omReadWrite, smShared, false, false);
  EXPECT_EQ(file->Name(), u"/db/Table.NX1");
  EXPECT_EQ(file->OpenMode(), omReadOnly);
  EXPECT_TRUE(file->IsLink());
  TnxReleaseMethod release;
  PnxBlock header = nullptr;
  bool readOnly = false;
  ASSERT_EQ(manager_->AddFile(file, nullptr, {}, false, release, header, readOnly), 0);
  EXPECT_TRUE(readOnly);
  EXPECT_EQ(nxtest::readU32(header + 32), 4u);
  TnxPinnedBlock(header, release).Release();
}

TEST_F(TableFileTest, ANewerVersionIsRefusedNamingIt) {
  fs_.putFile("/db/new.nx1", nxtest::tableImage(4, 47502));
  TnxBaseFile* file = alloc(u"/db/new.nx1");
  file->OpenFile(omReadWrite, smExclusive, false, false);
  TnxReleaseMethod release;
  PnxBlock header = nullptr;
  bool readOnly = false;
  EXPECT_EQ(manager_->AddFile(file, nullptr, {}, false, release, header, readOnly), 15415);
  EXPECT_EQ(header, nullptr);
  EXPECT_EQ(file->BlockZero(), nullptr);
  EXPECT_EQ(file->HeaderAccessFactory(), nullptr);
  nxtest::expectCode([] { throw EnxBaseException(15415); }, 15415,
                     u"Table \"/db/new.nx1\" was created with version 4.7502 of DazavAV, which is newer than this "
                     u"server's version (4.7501).");
}

TEST_F(TableFileTest, HeaderFormatRegistry) {
  fs_.putFile("/db/x.nx1", std::vector<std::uint8_t>(nxtest::kBlock, 'Q'));
  TnxBaseFile* file = alloc(u"/db/x.nx1");
  file->OpenFile(omReadWrite, smExclusive, false, false);
  TnxReleaseMethod release;
  PnxBlock header = nullptr;
  bool readOnly = false;
  nxtest::expectCode<EnxFileHeaderAccessException>(
      [&] { manager_->AddFile(file, nullptr, {}, false, release, header, readOnly); }, 9992,
      u"\"/db/x.nx1\" is not a DazavAV formatted file, or its file header is corrupt");
  EXPECT_THROW(TnxBaseFileHeaderAccessFactory::Register(nxtest::TestHeaderFactory::staticClassInfo(),
                                                        nxtest::kTestSignature),
               platform::StringListError);
  EXPECT_EQ(TnxBaseFileHeaderAccessFactory::GetAdditionalReservedSpace(nxtest::kTestSignature), 0);
  nxtest::expectCode([] { TnxBaseFileHeaderAccessFactory::GetAdditionalReservedSpace({'N', 'X', '!', '9'}); },
                     15504);
  TnxBaseFileHeaderAccessFactory::UnRegister(nxtest::TestHeaderFactory::staticClassInfo());
  nxtest::expectCode([&] { manager_->AddFile(file, nullptr, {}, false, release, header, readOnly); }, 15414);
  TnxBaseFileHeaderAccessFactory::Register(nxtest::TestHeaderFactory::staticClassInfo(), nxtest::kTestSignature);
}

TEST_F(TableFileTest, IteratingBlocks) {
  struct Seen {
    std::vector<TnxBlockNumber> blocks;
    TnxBlockNumber stopAt;
  };
  const TnxBlockIterator iterator{
      [](void*, void* aCookie, TnxBlockNumber aNr, PnxBlock aBlock) {
        auto* seen = static_cast<Seen*>(aCookie);
        seen->blocks.push_back(aBlock ? nxBlockHeader(aBlock)->bchThisBlock : 999);
        return aNr == seen->stopAt ? birStop : birContinue;
      },
      nullptr};
  fs_.putFile("/db/empty.nx1", {});
  TnxBaseFile* empty = alloc(u"/db/empty.nx1");
  empty->OpenFile(omReadOnly, smShared, false, false);
  Seen none{{}, 99};
  EXPECT_EQ(empty->IterateBlocks(&none, iterator), birContinue);
  EXPECT_TRUE(none.blocks.empty());

  fs_.putFile("/db/five.nx1", nxtest::tableImage(5));
  TnxBaseFile* five = alloc(u"/db/five.nx1");
  five->OpenFile(omReadOnly, smShared, false, false);
  Seen all{{}, 99}, some{{}, 2};
  EXPECT_EQ(five->IterateBlocksRaw(&all, iterator), birContinue);
  EXPECT_EQ(all.blocks, (std::vector<TnxBlockNumber>{0, 1, 2, 3, 4}));
  EXPECT_EQ(five->IterateBlocks(&some, iterator), birStop);
  EXPECT_EQ(some.blocks, (std::vector<TnxBlockNumber>{0, 1, 2}));
}

TEST_F(TableFileTest, LargestFileByFileSystemType) {
  EXPECT_EQ(nxCalcMaxFileSize(u"/db"), 0);
  fs_.setFileSystemType("vfat");
  EXPECT_EQ(nxCalcMaxFileSize(u"/db"), 4294967294ll);
  fs_.putFile("/db/t.nx1", nxtest::tableImage(4));
  TnxBaseFile* file = openTable("/db/t.nx1");
  EXPECT_EQ(file->MaxBlocks(), 4294967294u >> 12);
}

TEST_F(TableFileTest, PositionedAndPlainIO) {
  fs_.putFile("/db/t.nx1", nxtest::tableImage(2));
  TnxBaseFile* table = alloc(u"/db/t.nx1");
  table->OpenFile(omReadWrite, smExclusive, false, false);
  std::uint8_t buffer[4];
  nxtest::expectCode<EnxOverlappedWin32FileException>([&] { table->ReadFile(4, buffer); }, 9217);
  nxtest::expectCode<EnxOverlappedWin32FileException>([&] { table->WriteFileExact(4, buffer); }, 9218);
  nxtest::expectCode([&] { table->ReadFileExactAt(4, buffer, 2 * nxtest::kBlock - 2); }, 9217,
                     u"Could not read exact number of bytes from file [/db/t.nx1, 4 bytes]");
  table->CloseFile();

  TnxOwned<TnxBaseFile> plain(TnxBaseFile::Alloc(false, u"/db/t.nx1", manager_));
  plain->OpenFile(omReadWrite, smExclusive, true, false);
  EXPECT_EQ(plain->PositionFileEOF(), 2 * nxtest::kBlock);
  plain->WriteFileExact(4, "abcd");
  EXPECT_EQ(plain->FileSize(), 2 * nxtest::kBlock + 4);
  std::vector<std::uint8_t> durable;
  fs_.durableContents("/db/t.nx1", durable);
  EXPECT_EQ(durable.size(), 2 * nxtest::kBlock + 4);  // write-through: durable at once
  EXPECT_EQ(plain->ReadFileAt(4, buffer, 2 * nxtest::kBlock), 4u);
  EXPECT_EQ(std::memcmp(buffer, "abcd", 4), 0);
  EXPECT_NE(plain->GetFileID().find(u"/db/t.nx1;"), nxString::npos);
  plain->CloseFile();
}

}  // namespace
