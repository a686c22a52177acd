// Storage test kit: a header format of its own under the signature "TST!"
// (block 0 holds the block size code at 16, the usable size at 20, the used
// block count at 32 and the version at 36), an in-memory file system
// installed for the test, table files built byte by byte, a transaction
// driven as the server drives one, and a journal that records its calls.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "nxllBaseLibrary.h"
#include "nxsrBufferManager.h"
#include "nxsrFileImplWin32.h"
#include "nxsrTimeoutHandling.h"
#include "nxTestWatchdog.h"
#include "plFaultFileSystem.h"
#include "plOs.h"

namespace nxtest {

inline constexpr TnxBlockSignature kTestSignature{'T', 'S', 'T', '!'};
inline constexpr std::uint32_t kBlock = 4096;

inline std::uint32_t readU32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline void writeU32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }

class TestHeaderAccess : public TnxBaseFileHeaderAccess {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseFileHeaderAccess::TnxBaseFileHeaderAccess;
  std::uint32_t UsedBlocks() override { return readU32(Header + 32); }
  std::uint32_t AvailableBlocks() override { return 0; }
  // Appends a block at the end of the file.
  PnxBlock GetNewBlock(TnxBaseTransaction* aTrans, std::int32_t, TnxReleaseMethod& aReleaseMethod) override {
    if (!bfhaIsDirty) throw EnxFileHeaderAccessException(9218);
    const std::uint32_t n = UsedBlocks();
    writeU32(Header + 32, n + 1);
    bfhaHeaderFile->SetTransUsedBlocks(n + 1);
    PnxBlock block = bfhaHeaderFile->BufMgr()->AddBlock(bfhaHeaderFile, aTrans, n, aReleaseMethod);
    nxBlockHeader(block)->bchThisBlock = n;
    return block;
  }
  void DeleteBlock(TnxBaseTransaction*, PnxBlock) override {}
  std::uint16_t RegisterHeaderSection(const nxString&, std::uint8_t, bool, bool) override {
    throw EnxFileHeaderAccessException(12289);
  }
};

class TestHeaderFactory : public TnxBaseFileHeaderAccessFactory {
  PL_CLASS_INFO_DECL()
 public:
  // Validation of block 0 fails while this names the file (a fault inside
  // a commit).
  static inline TnxBaseFile* failValidationOfHeaderOf = nullptr;

  TestHeaderFactory(const TnxBlockSignature& aSignature, TnxBaseFile* aFile, PnxBlock aHeader)
      : TnxBaseFileHeaderAccessFactory(aSignature, aFile, aHeader) {
    if (aSignature != nxNoSignature) {
      std::memset(aHeader, 0, aFile->BlockBytes());
      std::memcpy(aHeader, aSignature.data(), 4);
      aHeader[16] = static_cast<std::uint8_t>(aFile->BlockSize());
      writeU32(aHeader + 20, aFile->BlockBytes());
      writeU32(aHeader + 32, 1);
      writeU32(aHeader + 36, static_cast<std::uint32_t>(aFile->VadurVersion()));
      aFile->SetBlockSizeBytes(aFile->BlockBytes());
      aFile->SetUsedBlocks(1);
    } else {
      aFile->SetBlockSize(static_cast<TnxBlockSize>(aHeader[16]));
      aFile->SetBlockSizeBytes(readU32(aHeader + 20));
      aFile->SetUsedBlocks(readU32(aHeader + 32));
      aFile->SetVadurVersion(static_cast<std::int32_t>(readU32(aHeader + 36)));
    }
  }
  const platform::ClassInfo& HeaderAccessClass() override { return TestHeaderAccess::staticClassInfo(); }
  std::uint32_t GetUsedBlocks(const std::uint8_t* aHeader) override { return readU32(aHeader + 32); }
  void ValidateBlock(const std::uint8_t* aBlock, TnxBlockNumber aBlockNum) override {
    if (aBlockNum == 0 && failValidationOfHeaderOf == bfhafFile)
      throw EnxFileHeaderAccessException(8962, u"injected header fault");
    TnxBaseFileHeaderAccessFactory::ValidateBlock(aBlock, aBlockNum);
  }
};

inline PL_CLASS_INFO_IMPL_TABLE(TestHeaderAccess, TnxBaseFileHeaderAccess, "TestHeaderAccess", nullptr,
                                platform::bindClassTable(nxFileHeaderAccessFuncs<TestHeaderAccess>))
inline PL_CLASS_INFO_IMPL_TABLE(TestHeaderFactory, TnxBaseFileHeaderAccessFactory, "TestHeaderFactory", nullptr,
                                platform::bindClassTable(nxFileHeaderAccessFactoryFuncs<TestHeaderFactory>))

// Drives commit and rollback as the server does.
class TestTransaction : public TnxBaseTransaction {
  PL_CLASS_INFO_DECL()
 public:
  TestTransaction(TnxBufferManager* aManager) : TnxBaseTransaction(aManager, nullptr, false, false) {}

  TnxResult Commit() override {
    TnxBaseTransactionLevel* level = btTransLevelsTail;
    if (!level->StopNested()) return 0;
    if (level->tlLevel > 0) {
      btBufferManager->CommitTransaction(this, nullptr, false);
    } else {
      TnxFlushList list;
      btBufferManager->CommitTransaction(this, &list, false);
      list.Flush(false);
    }
    platform::TObject::free(level);
    return 0;
  }
  TnxResult Rollback() override {
    TnxBaseTransactionLevel* level = btTransLevelsTail;
    if (!level->StopNested()) {
      level->MarkCorrupted();
      return 0;
    }
    btBufferManager->RollbackTransaction(this);
    platform::TObject::free(level);
    return 0;
  }
  bool Done() const { return btTransLevelsTail == nullptr; }
};
inline PL_CLASS_INFO_IMPL(TestTransaction, TnxBaseTransaction, "TestTransaction", nullptr)

// Records its calls in order.
class RecordingJournal : public TnxBaseJournalEngine {
  PL_CLASS_INFO_DECL()
 public:
  RecordingJournal(std::vector<std::string>* aLog) : TnxBaseJournalEngine(u"journal"), rjLog(aLog) {}
  void PrepareJournal() override { rjLog->push_back("PrepareJournal"); }
  void AddBlock(TnxBaseTransaction*, TnxReadOnlyBlock* aBlock) override {
    rjLog->push_back("AddBlock " + std::to_string(aBlock->robBlockNum));
  }
  void FinalizeJournal() override { rjLog->push_back("FinalizeJournal"); }
  ~RecordingJournal() override { rjLog->push_back("freed"); }

 private:
  std::vector<std::string>* rjLog;
};
inline PL_CLASS_INFO_IMPL(RecordingJournal, TnxBaseJournalEngine, "RecordingJournal", nullptr)

// Bytes of a table file of aBlocks blocks in the test format; block n
// carries its number and the byte aFill + n at offset 16 (block 0 excepted).
inline std::vector<std::uint8_t> tableImage(std::uint32_t aBlocks, std::int32_t aVersion = 47005,
                                            std::uint8_t aFill = 0x40) {
  std::vector<std::uint8_t> data(std::size_t{aBlocks} * kBlock, 0);
  for (std::uint32_t n = 0; n < aBlocks; ++n) {
    std::uint8_t* b = data.data() + std::size_t{n} * kBlock;
    std::memcpy(b, n == 0 ? "TST!" : "DATA", 4);
    writeU32(b + 4, n);
    if (n > 0) b[16] = static_cast<std::uint8_t>(aFill + n);
  }
  std::uint8_t* h = data.data();
  h[16] = nxbs4k;
  writeU32(h + 20, kBlock);
  writeU32(h + 32, aBlocks);
  writeU32(h + 36, static_cast<std::uint32_t>(aVersion));
  return data;
}

// An in-memory file system, the storage modules and the test format for
// the life of the fixture; a buffer manager; helpers to open table files.
class StorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nxllBaseLibraryInitialize();
    nxsrBufferManagerInitialize();
    nxsrFileImplWin32Initialize();
    TnxBaseFileHeaderAccessFactory::Register(TestHeaderFactory::staticClassInfo(), kTestSignature);
    previous_ = platform::setCurrentFileSystem(&fs_);
    fs_.makeDirectory("/db");
    manager_ = platform::create<TnxBufferManager>(u"/db");
  }
  void TearDown() override {
    for (TnxBaseFile* file : files_) {
      manager_->RemoveFile(file);
      if (file->FileIsOpen()) {
        if (auto* w = platform::objectAs<TnxBaseWin32File>(file)) w->dfiWriteRequest.clear();
        file->CloseFile();
      }
      platform::TObject::free(file);
    }
    platform::TObject::free(manager_);
    platform::setCurrentFileSystem(previous_ == &platform::posixFileSystem() ? nullptr : previous_);
    TnxBaseFileHeaderAccessFactory::UnRegister(TestHeaderFactory::staticClassInfo());
    nxsrBufferManagerFinalize();
    TestHeaderFactory::failValidationOfHeaderOf = nullptr;
    nxllBaseLibraryFinalize();
  }

  // Opens (and registers with the manager) a table file already on disk.
  TnxBaseFile* openTable(const std::string& aPath, TnxOpenMode aMode = omReadWrite) {
    TnxBaseFile* file = TnxBaseFile::Alloc(true, platform::fromUtf8(aPath), manager_);
    files_.push_back(file);
    file->OpenFile(aMode, smExclusive, false, false);
    TnxReleaseMethod release;
    PnxBlock header = nullptr;
    bool readOnly = false;
    const TnxResult result = manager_->AddFile(file, nullptr, {}, false, release, header, readOnly);
    EXPECT_EQ(result, 0);
    TnxPinnedBlock(header, release).Release();
    return file;
  }
  TnxBaseFile* tableOf(std::uint32_t aBlocks, const std::string& aPath = "/db/t.nx1") {
    fs_.putFile(aPath, tableImage(aBlocks));
    return openTable(aPath);
  }
  TestTransaction* newTransaction() { return platform::create<TestTransaction>(manager_); }

  // Byte 16 of block n as a reader without transaction sees it.
  std::uint8_t committedByte(TnxBaseFile* aFile, TnxBlockNumber aBlock) {
    TnxPinnedBlock imagePin([&](TnxReleaseMethod& r) { return manager_->GetBlock(aFile, nullptr, aBlock, false, r); });
    PnxBlock image = imagePin.Block();
    const std::uint8_t value = image[16];
    imagePin.Release();
    return value;
  }
  // Byte 16 of block n in the file as the disk holds it.
  std::uint8_t diskByte(const std::string& aPath, TnxBlockNumber aBlock) {
    std::vector<std::uint8_t> data;
    fs_.contents(aPath, data);
    const std::size_t at = std::size_t{aBlock} * kBlock + 16;
    return at < data.size() ? data[at] : 0;
  }
  void setByte(TnxBaseFile* aFile, TnxBaseTransaction* aTrans, TnxBlockNumber aBlock, std::uint8_t aValue) {
    TnxPinnedBlock imagePin([&](TnxReleaseMethod& r) { return manager_->GetBlock(aFile, aTrans, aBlock, true, r); });
    PnxBlock image = imagePin.Block();
    image[16] = aValue;
    imagePin.Release();
  }
  std::uint8_t seenByte(TnxBaseFile* aFile, TnxBaseTransaction* aTrans, TnxBlockNumber aBlock) {
    TnxPinnedBlock imagePin([&](TnxReleaseMethod& r) { return manager_->GetBlock(aFile, aTrans, aBlock, false, r); });
    PnxBlock image = imagePin.Block();
    const std::uint8_t value = image[16];
    imagePin.Release();
    return value;
  }
  // Block numbers in the order the file system saw them written.
  std::vector<std::int64_t> writtenBlocks(const std::string& aPath) {
    std::vector<std::int64_t> result;
    for (const auto& w : fs_.writes())
      if (w.path == aPath) result.push_back(w.offset / kBlock);
    return result;
  }

  platform::FaultFileSystem fs_;
  platform::FileSystem* previous_ = nullptr;
  TnxBufferManager* manager_ = nullptr;
  std::vector<TnxBaseFile*> files_;
};

}  // namespace nxtest
