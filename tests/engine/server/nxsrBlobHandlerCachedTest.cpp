// The BLOB handler of cache cursors on a real cache table: temporary numbers,
// local copies through "$CachedBlobs", the cache infos with their flushed
// states, and a record copy that takes over flushed local content.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "nxExpectCode.h"
#include "nxllBaseCompressor.h"
#include "nxllStreams.h"
#include "nxsrBlobHandlerCached.h"
#include "nxsrServerEngineCursorTestSupport.h"

namespace nxcachedblobtest {

// Stores a record as it is: the record compression a cache dictionary names.
class CachedBlobPassCompressor : public TnxBaseCompressor {
  PL_CLASS_INFO_DECL()
};
std::uint32_t cachedPassCompress(const void* aSource, void* aTarget, std::uint32_t aSourceSize, std::uint32_t) {
  std::memcpy(aTarget, aSource, aSourceSize);
  return aSourceSize;
}
void cachedPassUncompress(const void* aSource, void* aTarget, std::uint32_t aSourceSize, std::uint32_t) {
  std::memcpy(aTarget, aSource, aSourceSize);
}
constexpr TnxCompressorClassFuncs kCachedPassFuncs{&cachedPassCompress, &cachedPassUncompress};

}  // namespace

PL_CLASS_INFO_IMPL_TABLE(nxcachedblobtest::CachedBlobPassCompressor, TnxBaseCompressor, "CachedBlobPassCompressor", nullptr,
                         platform::bindClassTable(nxcachedblobtest::kCachedPassFuncs))

namespace nxcachedblobtest {

constexpr std::uint8_t kCacheCompressType = 11;
constexpr std::int32_t kMemo = 2;  // ID, Name, Memo
constexpr TnxBlobNr kTemporary1 = 0xFFFFFFFF00000001ull;
constexpr TnxBlobNr kTemporary2 = 0xFFFFFFFF00000002ull;

class CachedBlobTest : public nxtest::CursorTestBase {
 protected:
  void SetUp() override {
    StartEngine();
    nxRegisterCompressor(kCacheCompressType, &CachedBlobPassCompressor::staticClassInfo());
    TnxOwned<TnxServerDataDict> dict(nxtest::tableDictionary(false, true));
    platform::objectAs<TnxCompKeyDescriptor>(
        dict->EnsureIndicesDescriptor()->AddIndex(u"ByID", 0, idNone, u"")->KeyDescriptor())
        ->Add(0);
    dict->MakeCacheable(true);
    dict->MakeCache(false);
    ASSERT_EQ(dict->CachingState(), tcsIsCache);
    fixture_.Fs().makeDirectory("/data/cache");
    TnxAbstractDatabase* cacheDb = nullptr;
    ASSERT_EQ(sessions_.front()->DatabaseCacheOpen(cacheDb, u"Path", u"/data/cache", nullptr, omReadWrite, smShared,
                                                   0),
              0u);
    ASSERT_EQ(static_cast<TnxServerDatabase*>(cacheDb)->Folder()->sfTableBuild(false, u"copy", u"", false,
                                                                               dict.get(), tsPersistent),
              0u)
        << platform::toUtf8(nxtest::pendingMessage());
    TnxAbstractCursor* opened = nullptr;
    ASSERT_EQ(cacheDb->CursorCacheOpen(opened, u"copy", u"", omReadWrite, smShared, 0, u"Sequential Access Index",
                                       -1, false, {}, 500),
              0u)
        << platform::toUtf8(nxtest::pendingMessage());
    cursor_ = static_cast<TnxServerTableCursor*>(opened);
    handler_ = platform::objectAs<TnxCachedBlobHandler>(cursor_->BlobHandler());
    ASSERT_NE(handler_, nullptr) << "a cache cursor gets the cached handler";
    ASSERT_NE(cursor_->CacheableInfo(), nullptr);
    ASSERT_GE(cursor_->CacheableInfo()->ciCachedBlobsIndex, 0);
    ASSERT_NE(cursor_->Table()->InternalIndicesEngine(), nullptr);
  }
  void TearDown() override {
    CursorTestBase::TearDown();
    nxRegisterCompressor(kCacheCompressType, nullptr);
  }
  TnxBlobCacheInfos Infos(const TnxRecID& aRecID = nxNullRecID) {
    TnxBlobCacheInfos infos;
    EXPECT_EQ(cursor_->ascGetBlobCacheInfos(aRecID, infos), 0u);
    return infos;
  }
  // aResult and the bytes a read of the BLOB gives.
  std::string Read(TnxBlobNr aBlobNr, TnxResult& aResult, const TnxRecID& aRecID = nxNullRecID) {
    TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
    aResult = cursor_->BlobRead(aRecID, kMemo, aBlobNr, 0, 1000, *stream, false, nullptr);
    return std::string(static_cast<const char*>(stream->Memory()), static_cast<std::size_t>(stream->Size()));
  }
  TnxResult Write(TnxBlobNr aBlobNr, const std::string& aText, const TnxRecID& aRecID = nxNullRecID) {
    return cursor_->BlobWrite(aRecID, kMemo, aBlobNr, 0, static_cast<std::uint32_t>(aText.size()), aText.data());
  }
  TnxResult AddToCache(TnxBlobNr aBlobNr, const std::string& aText, const TnxRecID& aRecID = nxNullRecID) {
    return cursor_->BlobAddToCache(aRecID, kMemo, aBlobNr, static_cast<std::uint32_t>(aText.size()), aText.data());
  }

  // Stores a record copy (ID, Memo) and answers its identity. The copy's
  // RefNr is made its own storage reference: the cursor's BLOB operations
  // read the record they name by that reference.
  TnxRecID InsertCopy(std::int32_t aID, TnxBlobNr aMemo) {
    std::vector<std::uint8_t>& record = record_;
    record = RecordOf(cursor_);
    TnxFieldsDescriptor* fields = cursor_->Table()->TableDescriptor()->FieldsDescriptor();
    TnxSpecialFieldsInfo* sfi = cursor_->Table()->SFI();
    cursor_->RecordBufferClear(record.data());
    fields->SetRecordField(0, record.data(), &aID);
    TnxRefNr refNr = 999;
    fields->SetRecordField(sfi->sfiFields[sftRefNr], record.data(), &refNr);
    const TnxLSN lsn = 5;
    fields->SetRecordField(sfi->sfiFields[sftModifyLSN], record.data(), &lsn);
    const TnxLSN insertLSN = 3;
    fields->SetRecordField(sfi->sfiFields[sftInsertLSN], record.data(), &insertLSN);
    if (aMemo != 0) fields->SetRecordField(kMemo, record.data(), &aMemo);
    EXPECT_EQ(cursor_->RecordInsert(nxltNoLock, record.data(), nullptr), 0u)
        << platform::toUtf8(nxtest::pendingMessage());
    refNr = cursor_->sacGetRefNr();
    fields->SetRecordField(sfi->sfiFields[sftRefNr], record.data(), &refNr);
    EXPECT_EQ(cursor_->RecordModify(record.data(), true, nullptr), 0u) << platform::toUtf8(nxtest::pendingMessage());
    EXPECT_EQ(cursor_->RecordGet(nxltNoLock, record.data()), 0u);
    const TnxRecID recID = cursor_->acGetRecID(record.data());
    EXPECT_TRUE(nxRecIDIsValid(recID));
    return recID;
  }

  TnxServerTableCursor* cursor_ = nullptr;
  TnxCachedBlobHandler* handler_ = nullptr;
  std::vector<std::uint8_t> record_;
};

TEST_F(CachedBlobTest, CreatedBlobsGetTemporaryNumbersReportedInternal) {
  TnxBlobNr first = 0, second = 0;
  ASSERT_EQ(cursor_->BlobCreate(nxNullRecID, kMemo, first), 0u);
  ASSERT_EQ(cursor_->BlobCreate(nxNullRecID, kMemo, second), 0u);
  EXPECT_EQ(first, kTemporary1);
  EXPECT_EQ(second, kTemporary2);
  ASSERT_EQ(Write(second, "abc"), 0u);
  const TnxBlobCacheInfos infos = Infos();
  ASSERT_EQ(infos.size(), 2u);
  for (std::size_t i = 0; i < infos.size(); ++i) {
    EXPECT_EQ(infos[i].bciBlobNr, i == 0 ? kTemporary1 : kTemporary2);
    EXPECT_TRUE(infos[i].bciBlobNrInternal);
    EXPECT_EQ(infos[i].bciState, cbsiCreated);
    EXPECT_EQ(infos[i].bciFieldNo, kMemo);
    EXPECT_NE(infos[i].bciCacheBlobNr, 0u);
    EXPECT_EQ(infos[i].bciLength, i == 0 ? 0u : 3u);
    EXPECT_FALSE(infos[i].bciFlushed);
  }
  TnxResult result = 0;
  EXPECT_EQ(Read(second, result), "abc");
  EXPECT_EQ(result, 0u);
}

TEST_F(CachedBlobTest, UnfetchedBlobReadsThreeUntilAddedToTheCache) {
  constexpr TnxBlobNr kRemote = 77;
  const TnxRecID recID = InsertCopy(1, kRemote);
  TnxResult result = 0;
  Read(kRemote, result, recID);
  EXPECT_EQ(result, 3u) << "no local copy yet";
  ASSERT_EQ(AddToCache(kRemote, "remote bytes", recID), 0u) << platform::toUtf8(nxtest::pendingMessage());
  EXPECT_EQ(Read(kRemote, result, recID), "remote bytes");
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(AddToCache(kRemote, "again", recID), 9729u);
  EXPECT_EQ(Read(kRemote, result, recID), "remote bytes");
  EXPECT_TRUE(Infos(recID).empty()) << "a local copy is no change";
}

TEST_F(CachedBlobTest, DeletingACreatedBlobLeavesAnInfoOnlyOnceItWasFlushed) {
  struct Case {
    bool flushed;
    std::size_t infos;
  } cases[] = {{false, 0}, {true, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flushed);
    TnxBlobNr number = 0;
    ASSERT_EQ(cursor_->BlobCreate(nxNullRecID, kMemo, number), 0u);
    ASSERT_EQ(Write(number, "x"), 0u);
    if (c.flushed) {
      ASSERT_EQ(cursor_->ascSetBlobCacheFlushed(nxNullRecID, kMemo, number, nullptr), 0u);
    }
    ASSERT_EQ(cursor_->BlobDelete(nxNullRecID, kMemo, number), 0u);
    const TnxBlobCacheInfos infos = Infos();
    ASSERT_EQ(infos.size(), c.infos);
    if (c.flushed) {
      EXPECT_EQ(infos[0].bciState, cbsiDeleted);
      EXPECT_EQ(infos[0].bciCacheBlobNr, 0u) << "the local BLOB went";
      EXPECT_FALSE(infos[0].bciFlushed);
      EXPECT_TRUE(infos[0].bciEverFlushed);
      ASSERT_EQ(cursor_->BlobsCancel(0), 0u);
    }
    EXPECT_TRUE(Infos().empty());
  }
}

TEST_F(CachedBlobTest, WritingIntoAFlushedModifiedBlobClearsFlushedButKeepsEverFlushed) {
  constexpr TnxBlobNr kRemote = 90;
  const TnxRecID recID = InsertCopy(1, kRemote);
  ASSERT_EQ(AddToCache(kRemote, "original", recID), 0u);
  ASSERT_EQ(Write(kRemote, "O", recID), 0u);
  TnxBlobCacheInfos infos = Infos(recID);
  ASSERT_EQ(infos.size(), 1u);
  EXPECT_EQ(infos[0].bciState, cbsiModified);
  EXPECT_FALSE(infos[0].bciBlobNrInternal);
  EXPECT_EQ(infos[0].bciLength, 8u);
  ASSERT_EQ(cursor_->ascSetBlobCacheFlushed(recID, kMemo, kRemote, nullptr), 0u);
  infos = Infos(recID);
  ASSERT_EQ(infos.size(), 1u);
  EXPECT_TRUE(infos[0].bciFlushed);
  EXPECT_TRUE(infos[0].bciEverFlushed);
  ASSERT_EQ(Write(kRemote, "Or", recID), 0u);
  infos = Infos(recID);
  ASSERT_EQ(infos.size(), 1u);
  EXPECT_FALSE(infos[0].bciFlushed) << "the change goes out once more";
  EXPECT_TRUE(infos[0].bciEverFlushed);
  TnxResult result = 0;
  EXPECT_EQ(Read(kRemote, result, recID), "Original");
  // The local copy itself is unchanged.
  TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
  ASSERT_EQ(handler_->BlobRead(nullptr, recID, kMemo, true, kRemote, 0, 100, *stream, nullptr), 0u);
  EXPECT_EQ(std::string(static_cast<const char*>(stream->Memory()), static_cast<std::size_t>(stream->Size())),
            "original");
}

TEST_F(CachedBlobTest, RecordCopyCarryingTheFlushedNumberTakesOverTheLocalContent) {
  constexpr TnxBlobNr kAssigned = 500;
  const TnxRecID recID = InsertCopy(1, 0);
  TnxBlobNr temporary = 0;
  ASSERT_EQ(cursor_->BlobCreate(recID, kMemo, temporary), 0u) << platform::toUtf8(nxtest::pendingMessage());
  ASSERT_EQ(Write(temporary, "new content", recID), 0u);
  ASSERT_EQ(Infos(recID).size(), 1u);

  // The other side stored it under its own number.
  TnxBlobNr assigned = kAssigned;
  ASSERT_EQ(cursor_->ascSetBlobCacheFlushed(recID, kMemo, temporary, &assigned), 0u);
  TnxBlobCacheInfos infos = Infos(recID);
  ASSERT_EQ(infos.size(), 1u);
  EXPECT_EQ(infos[0].bciBlobNr, kAssigned);
  EXPECT_FALSE(infos[0].bciBlobNrInternal);

  TnxFieldsDescriptor* fields = cursor_->Table()->TableDescriptor()->FieldsDescriptor();
  fields->SetRecordField(kMemo, record_.data(), &assigned);
  ASSERT_EQ(cursor_->RecordModify(record_.data(), true, nullptr), 0u) << platform::toUtf8(nxtest::pendingMessage());
  EXPECT_TRUE(Infos(recID).empty()) << "the record's infos went";
  TnxResult result = 0;
  EXPECT_EQ(Read(kAssigned, result, recID), "new content") << "the flushed content is the local copy now";
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(AddToCache(kAssigned, "other", recID), 9729u);
}

TEST_F(CachedBlobTest, LinksAreNotSupported) {
  TnxBlobNr number = 0;
  // Links are made inside the caller's transaction only.
  ASSERT_EQ(cursor_->ServerDatabase()->TransactionStart(false, false), 0u);
  EXPECT_EQ(cursor_->sbcBlobCreateLink(nxNullRecID, kMemo, u"other", 5, number), 12289u);
  EXPECT_EQ(cursor_->ServerDatabase()->TransactionRollback(), 0u);
}

}  // namespace
