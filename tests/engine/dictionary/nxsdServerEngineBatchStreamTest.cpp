// The batch stream access over streams built byte by byte: the layout
// cases, the cache check, and mutated streams whose decoding must stay
// inside the stream.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <span>
#include <vector>

#include "nxllBde.h"
#include "nxllUtils.h"
#include "nxsdServerEngine.h"
#include "nxFakeServerEngine.h"
#include "nxStepBound.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Little-endian stream bytes.
struct Writer {
  Bytes b;
  Writer& U32(std::uint32_t v) { return Raw(&v, 4); }
  Writer& I64(std::int64_t v) { return Raw(&v, 8); }
  Writer& Raw(const void* p, std::size_t n) {
    const auto* q = static_cast<const std::uint8_t*>(p);
    b.insert(b.end(), q, q + n);
    return *this;
  }
  Writer& Put(const Bytes& aBytes) { return Raw(aBytes.data(), aBytes.size()); }
  std::uint32_t Size() const { return static_cast<std::uint32_t>(b.size()); }
};

class BatchStream : public ::testing::Test {
 protected:
  void SetUp() override {
    nxllUtilsInitialize();
    nxsdDataDictionaryInitialize(std::span<const nxString>());
    engine = platform::create<TnxFakeServerEngine>();
    TnxOwned<TnxDataDictionary> dict(platform::create<TnxDataDictionary>());
    dict->AddBlobDescriptor();
    TnxFieldsDescriptor* f = dict->FieldsDescriptor();
    f->AddField(u"ID", u"", nxtInt32, 0, 0, false);
    f->AddField(u"REF", u"", nxtRefNr, 0, 0, false);
    TnxFieldDescriptor* lsn = f->AddField(u"MLSN", u"", nxtInt64, 0, 0, false);
    lsn->AddDefaultValue(&TnxNextLSNDefaultValueDescriptor::staticClassInfo())->SetApplyOnModify(true);
    f->AddField(u"MEMO", u"", nxtBlobMemo, 0, 0, false);
    engine->feStore.AddTable(u"/b", u"t", *dict.get());
    TnxAbstractSession* s = nullptr;
    ASSERT_EQ(engine->SessionOpen(s, u"u", u"", u"", 0), 0);
    session = s;
    TnxAbstractDatabase* db = nullptr;
    ASSERT_EQ(session->DatabaseOpen(db, u"Path", u"/b", nullptr, omReadOnly, smShared, 0), 0);
    TnxAbstractCursor* c = nullptr;
    ASSERT_EQ(db->CursorOpen(c, u"t", u"", omReadOnly, smShared, 0, u"", -1, false, {}, 0, nullptr), 0);
    cursor = c;
    fields = cursor->FieldsDescriptor();
    rl = cursor->RecordLength();
  }
  void TearDown() override {
    TnxAbstractServerObject::Free(session);
    platform::TObject::free(engine);
    nxsdDataDictionaryFinalize();
    nxllUtilsFinalize();
  }

  Bytes Record(std::int32_t aID, TnxRefNr aRef, TnxLSN aLSN, std::int64_t aMemo = -1) {
    Bytes r(rl, 0);
    fields->InitRecord(r.data());
    fields->SetRecordField(0, r.data(), &aID);
    fields->SetRecordField(1, r.data(), &aRef);
    fields->SetRecordField(2, r.data(), &aLSN);
    if (aMemo >= 0) fields->SetRecordField(3, r.data(), &aMemo);
    return r;
  }
  TnxOwned<TnxBatchStreamAccess> Access(const Bytes& aBytes, TnxRecordGetBatchExOptions aOptions = {}) {
    auto* stream = platform::create<TnxMemoryStream>();
    if (!aBytes.empty()) stream->WriteBuffer(aBytes.data(), static_cast<std::int32_t>(aBytes.size()));
    return TnxOwned<TnxBatchStreamAccess>(cursor->CreateBatchStreamAccess(stream, aOptions));
  }
  static int Entries(TnxBatchStreamAccess& aAccess) {
    aAccess.Reset(false);
    TnxBatchStreamEntry e{};
    int n = 0;
    nxtest::StepBound step;
    while (step() && aAccess.Next(e)) ++n;
    return n;
  }

  TnxFakeServerEngine* engine = nullptr;
  TnxAbstractSession* session = nullptr;
  TnxAbstractCursor* cursor = nullptr;
  TnxFieldsDescriptor* fields = nullptr;
  std::uint32_t rl = 0;
};

TEST_F(BatchStream, LayoutCases) {
  const Bytes r1 = Record(1, 1, 10), r2 = Record(2, 2, 20), r3 = Record(3, 3, 30);
  auto three = [&] {
    Writer w;
    w.U32(0).U32(3);
    for (const Bytes* r : {&r1, &r2, &r3}) w.U32(rl).Put(*r);
    return w;
  };
  struct Case {
    const char* name;
    Bytes bytes;
    bool reset;
    std::int32_t count;
    std::uint32_t innerError;
    int entries;
    std::uint32_t invalid;
  } cases[] = {
      {"seven bytes", Bytes(7, 0xFF), false, 0, 0, 0, 0},
      {"header with 8706", Writer().U32(8706).U32(0).b, false, 0, 8706, 0, 0},
      {"three entries and 4 stray bytes", three().U32(0xAABBCCDD).b, true, 3, 0, 3, 0},
      {"three entries and one invalid info", three().U32(1).I64(77).I64(770).b, true, 3, 0, 3, 1},
      {"three entries and an invalid count too large", three().U32(2).I64(77).I64(770).b, true, 3, 0, 3, 0},
      {"no entries, an invalid list at 8", Writer().U32(0).U32(0).U32(1).I64(5).I64(50).b, false, 0, 0, 0, 1},
      {"a count above what the stream holds", Writer().U32(0).U32(5).U32(rl).Put(r1).b, true, 5, 0, 1, 0},
      {"an entry reaching past the end", Writer().U32(0).U32(2).U32(rl).Put(r1).U32(rl + 100).Put(r2).b, true, 2, 0, 1,
       0},
      {"a record entry shorter than a record", Writer().U32(0).U32(1).U32(4).U32(1).b, true, 1, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto access = Access(c.bytes);
    EXPECT_EQ(access->Reset(false), c.reset);
    EXPECT_EQ(access->Count(), c.count);
    EXPECT_EQ(access->InnerError(), c.innerError);
    EXPECT_EQ(Entries(*access), c.entries);
    EXPECT_EQ(access->InvalidCount(), c.invalid);
  }

  // A 7-byte stream keeps its bytes: there is no header to change.
  auto seven = Access(Bytes(7, 0xFF));
  seven->SetInnerError(5);
  EXPECT_EQ(seven->InnerError(), 0u);
  EXPECT_EQ(seven->Size(), 7);
  EXPECT_EQ(seven->Memory()[0], 0xFF);

  // The invalid info reads back.
  auto withInfo = Access(three().U32(1).I64(77).I64(770).b);
  Entries(*withInfo);
  EXPECT_EQ(withInfo->InvalidInfo(0).rciRefNr, 77);
  EXPECT_EQ(withInfo->InvalidInfo(0).rciModifyLSN, 770);

  // Clear keeping the error: the header stays with count 0.
  auto header = Access(three().b);
  header->SetInnerError(8706);
  header->Clear(true);
  EXPECT_EQ(header->Size(), 8);
  EXPECT_EQ(header->InnerError(), 8706u);
  EXPECT_EQ(header->Count(), 0);
  header->Clear(true);
  EXPECT_EQ(header->Size(), 8);
  auto plain = Access(three().b);
  plain->Clear(true);
  EXPECT_EQ(plain->Size(), 0);
}

TEST_F(BatchStream, ErrorEntriesAndBlobBlocks) {
  // Entry 0: a result entry 15444; entry 1: a record whose memo holds the
  // offset of an error block with S = 2; entry 2: a record with data.
  const Bytes r = Record(1, 1, 10);
  Writer w;
  w.U32(0).U32(3);
  w.U32(nxBatchResultFlag | 8).U32(15444).U32(0);
  const std::uint32_t second = w.Size();
  const std::uint32_t errorBlock = second + 4 + rl;
  w.U32(rl + 6).Put(Record(2, 2, 20, errorBlock)).U32(nxBatchResultFlag | 2).Raw("\0\0", 2);
  const std::uint32_t third = w.Size();
  const std::uint32_t dataBlock = third + 4 + rl;
  w.U32(rl + 4 + 3).Put(Record(3, 3, 30, dataBlock)).U32(3).Raw("abc", 3);
  auto access = Access(w.b, {gboBlobs});
  ASSERT_TRUE(access->Options().contains(gboBlobs));
  access->Reset(false);

  TnxBatchStreamEntry e{};
  ASSERT_TRUE(access->Next(e));
  EXPECT_EQ(e.bseResult, 15444);
  EXPECT_EQ(e.bseRecord, nullptr);
  EXPECT_EQ(e.bseCacheInfo, nullptr);
  TnxBatchBlobAccess blob{};
  EXPECT_FALSE(access->GetBlobAccess(e, 3, blob));
  EXPECT_EQ(blob.bbaResult, 15444);

  ASSERT_TRUE(access->Next(e));
  EXPECT_EQ(e.bseEntryBase - e.bseStreamBase, second);
  EXPECT_TRUE(access->GetBlobAccess(e, 3, blob));
  EXPECT_EQ(blob.bbaResult, nxErrGeneral);
  EXPECT_EQ(blob.bbaBlobData, nullptr);
  EXPECT_EQ(blob.bbaOffset, errorBlock);
  EXPECT_FALSE(access->GetBlobAccess(e, 0, blob));
  EXPECT_EQ(blob.bbaResult, nxErrNotABlob);

  ASSERT_TRUE(access->Next(e));
  ASSERT_TRUE(access->GetBlobAccess(e, 3, blob));
  EXPECT_EQ(blob.bbaResult, 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(blob.bbaBlobData), blob.bbaSize), "abc");
  TnxBatchBlobAccesses all;
  EXPECT_TRUE(access->GetBlobAccesses(e, all, true));
  EXPECT_EQ(all.size(), 1u);
  EXPECT_FALSE(access->Next(e));
  EXPECT_EQ(e.bseEntryBase, nullptr);
  (void)r;
}

TEST_F(BatchStream, CheckCacheValidInStepThenOutOfOrder) {
  Writer w;
  w.U32(0).U32(3);
  for (std::int32_t i = 1; i <= 3; ++i) w.U32(rl).Put(Record(i, i, i * 10));
  auto access = Access(w.b);
  // The client holds the versions of entries 1 and 3, and one of a record
  // that is gone.
  const TnxIndexedRecordCacheInfo infos[] = {{1, 10, 0}, {3, 30, 1}, {9, 90, 2}};
  EXPECT_FALSE(access->CheckCacheValid(3, infos, nullptr));
  TnxBatchStreamEntry e{};
  access->Reset(false);
  ASSERT_TRUE(access->Next(e));
  EXPECT_EQ(e.bseResult, nxBatchCacheValid);
  ASSERT_NE(e.bseCacheInfo, nullptr);
  EXPECT_EQ(nxBatchGetCacheInfo(e.bseCacheInfo).irciRefNr, 1);
  EXPECT_EQ(nxBatchGetCacheInfo(e.bseCacheInfo).irciIndex, 0);
  ASSERT_TRUE(access->Next(e));
  EXPECT_EQ(e.bseResult, 0);
  ASSERT_NE(e.bseRecord, nullptr);
  ASSERT_TRUE(access->Next(e));
  EXPECT_EQ(e.bseResult, nxBatchCacheValid);
  EXPECT_EQ(nxBatchGetCacheInfo(e.bseCacheInfo).irciRefNr, 3);
  EXPECT_EQ(nxBatchGetCacheInfo(e.bseCacheInfo).irciIndex, 1);
  EXPECT_FALSE(access->Next(e));
  ASSERT_EQ(access->InvalidCount(), 1u);
  EXPECT_EQ(access->InvalidInfo(0).rciRefNr, 9);

  // All versions held in order: True, and no invalid list.
  auto exact = Access(w.b);
  const TnxIndexedRecordCacheInfo all[] = {{1, 10, 0}, {2, 20, 1}, {3, 30, 2}};
  EXPECT_TRUE(exact->CheckCacheValid(3, all, nullptr));
  EXPECT_EQ(exact->Size(), w.Size());
  // The sequential form: a changed version is not cache-valid.
  auto seq = Access(w.b);
  EXPECT_FALSE(seq->CheckCacheValidSeq({{1, 10}, {2, 21}, {3, 30}}, nullptr));
  seq->Reset(false);
  int valid = 0;
  for (TnxBatchStreamEntry x{}; seq->Next(x);) valid += x.bseResult == nxBatchCacheValid;
  EXPECT_EQ(valid, 2);
}

TEST_F(BatchStream, CachedBlobsComeFromTheCacheCursor) {
  // The client holds BLOB 7 ("hello"): the server sent a marked block.
  TnxFakeTable& table = *engine->feStore.FindFolder(u"/b")->Find(u"t");
  table.blobs[7] = {'h', 'e', 'l', 'l', 'o'};
  Writer w;
  w.U32(0).U32(1);
  const std::uint32_t block = w.Size() + 4 + rl;
  w.U32(rl + 4 + 5 + 8).Put(Record(1, 1, 10, block)).U32(nxBatchResultFlag | 5).U32(nxBatchCacheValid).Raw("\0", 1).I64(7);
  auto access = Access(w.b, {gboBlobs, gboBlobNrs});
  access->Reset(false);
  TnxBatchStreamEntry e{};
  ASSERT_TRUE(access->Next(e));
  TnxBatchBlobAccesses blobs;
  access->CheckEntryForCachedBlobs(e, cursor, blobs);
  ASSERT_EQ(blobs.size(), 1u);
  EXPECT_TRUE(blobs[0].bbaInCache);
  EXPECT_EQ(blobs[0].bbaResult, 0);
  TnxBatchBlobAccess again{};
  ASSERT_TRUE(access->GetBlobAccess(e, 3, again));
  ASSERT_NE(again.bbaBlobData, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(again.bbaBlobData), again.bbaSize), "hello");

  // A number the cache does not hold keeps the block's error.
  Bytes other = w.b;
  const std::int64_t missing = 8;
  std::memcpy(other.data() + block + 4 + 5, &missing, 8);
  auto second = Access(other, {gboBlobs, gboBlobNrs});
  second->Reset(false);
  ASSERT_TRUE(second->Next(e));
  second->CheckEntryForCachedBlobs(e, cursor, blobs);
  ASSERT_EQ(blobs.size(), 1u);
  EXPECT_FALSE(blobs[0].bbaInCache);
  EXPECT_NE(blobs[0].bbaResult, 0);
}

TEST_F(BatchStream, OverwriteEntryCopiesARecordFromAnotherBatch) {
  Writer a, b;
  a.U32(0).U32(2).U32(rl).Put(Record(1, 1, 10)).U32(rl).Put(Record(2, 2, 20));
  b.U32(0).U32(1).U32(rl).Put(Record(9, 9, 90));
  auto target = Access(a.b);
  auto source = Access(b.b);
  TnxBatchStreamEntry t{}, src{};
  target->Reset(false);
  ASSERT_TRUE(target->Next(t));
  ASSERT_TRUE(target->Next(t));
  source->Reset(false);
  ASSERT_TRUE(source->Next(src));
  TnxBatchBlobAccesses blobs;
  EXPECT_TRUE(target->OverwriteEntry(t, src, blobs, false));
  const Bytes want = Record(9, 9, 90);
  EXPECT_EQ(Bytes(t.bseRecord, t.bseRecord + rl), want);
  // An entry of another stream is refused.
  EXPECT_FALSE(target->OverwriteEntry(src, t, blobs, false));
}

TEST_F(BatchStream, MutatedStreamsNeverLeadOutside) {
  // A valid stream with BLOB blocks, numbers and bookmarks-free records.
  Writer w;
  w.U32(0).U32(4);
  for (std::int32_t i = 1; i <= 4; ++i) {
    const std::uint32_t block = w.Size() + 4 + rl;
    w.U32(rl + 4 + 5 + 8).Put(Record(i, i, i * 10, block)).U32(5).Raw("12345", 5).I64(100 + i);
  }
  w.U32(1).I64(7).I64(70);
  std::mt19937 random(20250420);
  for (int round = 0; round < 3000; ++round) {
    Bytes bytes = w.b;
    const int flips = 1 + static_cast<int>(random() % 6);
    for (int k = 0; k < flips; ++k) bytes[random() % bytes.size()] = static_cast<std::uint8_t>(random());
    if (random() % 3 == 0) bytes.resize(random() % bytes.size());
    auto access = Access(bytes, {gboBlobs, gboBlobNrs});
    const std::uint8_t* begin = access->Memory();
    const std::uint8_t* end = begin + access->Size();
    auto inside = [&](const std::uint8_t* p, std::size_t n) { return p >= begin && p + n <= end; };
    access->Reset(false);
    TnxBatchStreamEntry e{};
    int guard = 0;
    while (access->Next(e) && ++guard < 100) {
      ASSERT_TRUE(inside(e.bseEntryBase, 4 + static_cast<std::size_t>(e.bseSize))) << round;
      if (e.bseRecord) {
        ASSERT_TRUE(inside(e.bseRecord, rl)) << round;
      }
      if (e.bseCacheInfo) {
        ASSERT_TRUE(inside(e.bseCacheInfo, nxBatchCacheInfoSize)) << round;
      }
      TnxBatchBlobAccesses blobs;
      access->GetBlobAccesses(e, blobs, false);
      for (const auto& b : blobs) {
        ASSERT_TRUE(inside(b.bbaBase, 4 + static_cast<std::size_t>(b.bbaSize) + 8)) << round;
        if (b.bbaBlobData) {
          ASSERT_TRUE(inside(b.bbaBlobData, b.bbaSize)) << round;
        }
      }
    }
    for (std::uint32_t i = 0; i < access->InvalidCount(); ++i) access->InvalidInfo(i);
  }
}

}  // namespace
