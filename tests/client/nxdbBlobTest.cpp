// BLOB streams and the dataset's BLOB field classes over the real server
// cursors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nxClientTestKit.h"
#include "nxTestDataset.h"
#include "nxsdDataDictionaryStorage.h"

namespace {

using namespace platform;

struct FreeStream {
  void operator()(TStream* aStream) const { TObject::free(aStream); }
};
using StreamPtr = std::unique_ptr<TStream, FreeStream>;

class DatasetBlob : public ::testing::Test {
 protected:
  DatasetBlob() { nxdbConversionInitialize(); }
  ~DatasetBlob() override {
    for (auto it = datasets_.rbegin(); it != datasets_.rend(); ++it) TObject::free(*it);
    nxdbConversionFinalize();
  }

  // "ID" 1..aCount (index "ByID"); with aBlobs a memo "Memo", a BLOB "Pic"
  // and a wide memo "Wide".
  void Build(int aCount, bool aBlobs = true) {
    TnxOwned<TnxServerDataDict> dict(create<TnxServerDataDict>());
    TnxFieldsDescriptor* f = dict->FieldsDescriptor();
    f->AddField(u"ID", u"", nxtInt32, 0, 0, false);
    if (aBlobs) {
      f->AddField(u"Memo", u"", nxtBlobMemo, 0, 0, false);
      f->AddField(u"Pic", u"", nxtBlob, 0, 0, false);
      f->AddField(u"Wide", u"", nxtBlobWideMemo, 0, 0, false);
      auto* blob = objectAs<TnxHeapBlobDescriptor>(dict->AddBlobDescriptor());
      blob->AddHeapDescriptor()->AddBlockHeapDescriptor();
    }
    TnxIndexDescriptor* index = dict->EnsureIndicesDescriptor()->AddIndex(u"ByID", 0, idNone, u"");
    objectAs<TnxCompKeyDescriptor>(index->KeyDescriptor())->Add(0);
    ASSERT_EQ(kit.BuildTable(u"t", dict.get()), 0u);
    db = kit.Database();
    db->Open();
    TnxAbstractCursor* c = nullptr;
    ASSERT_EQ(db->AbstractDatabase()->CursorOpen(c, u"t", u"", omReadWrite, smShared, 0, u"", 0, false, {}, 500,
                                                 nullptr),
              0u);
    std::vector<std::uint8_t> rec(static_cast<std::size_t>(c->FieldsDescriptor()->RecordLength()));
    for (std::int32_t id = 1; id <= aCount; ++id) {
      c->FieldsDescriptor()->InitRecord(rec.data());
      c->FieldsDescriptor()->SetRecordField(0, rec.data(), &id);
      ASSERT_EQ(c->RecordInsert(nxltNoLock, rec.data(), nullptr), 0u);
    }
    TObject::free(c);
  }

  TnxTestDataset* Dataset() {
    auto* ds = create<TnxTestDataset>(nullptr);
    datasets_.push_back(ds);
    ds->SetDatabase(db);
    ds->SetTableName(u"t");
    ds->SetIndexName(u"ByID");
    ds->SetTimeout(500);
    return ds;
  }

  static std::string Bytes(TnxTestDataset* aDs, const char16_t* aField) {
    StreamPtr s(aDs->CreateBlobStream(aDs->FieldByName(aField), bmRead));
    std::string out(static_cast<std::size_t>(s->Size()), '\0');
    if (!out.empty()) s->ReadBuffer(out.data(), static_cast<std::int32_t>(out.size()));
    return out;
  }

  static void Write(TnxTestDataset* aDs, const char16_t* aField, const std::vector<std::string>& aChunks) {
    StreamPtr s(aDs->CreateBlobStream(aDs->FieldByName(aField), bmWrite));
    for (const std::string& c : aChunks) s->WriteBuffer(c.data(), static_cast<std::int32_t>(c.size()));
  }

  nxtest::ClientTestKit kit;
  TnxDatabase* db = nullptr;
  std::vector<TnxTestDataset*> datasets_;
};

TEST_F(DatasetBlob, WriteStreamsReplaceAppendAndEmpty) {
  Build(1);
  for (const bool cached : {false, true}) {
    SCOPED_TRACE(cached ? "cached" : "direct");
    TnxTestDataset* ds = Dataset();
    if (cached) ds->AddDataSetOption(dsoCachedBlobStreams);
    ds->Open();
    ds->Edit();
    Write(ds, u"Pic", {"old content that is long"});
    ds->Post();
    ds->Edit();
    // The first chunk replaces the whole BLOB, the second appends.
    Write(ds, u"Pic", {"abc", "de"});
    EXPECT_TRUE(static_cast<TBlobField*>(ds->FieldByName(u"Pic"))->Modified());
    ds->Post();
    ds->Refresh();
    EXPECT_EQ(Bytes(ds, u"Pic"), "abcde");
    // A write stream closed without writing leaves the field empty.
    ds->Edit();
    Write(ds, u"Pic", {});
    ds->Post();
    ds->Refresh();
    EXPECT_EQ(Bytes(ds, u"Pic"), "");
    ds->Close();
  }
}

TEST_F(DatasetBlob, AnOpenStreamBlocksScrollAndCancelDetachesIt) {
  Build(2);
  TnxTestDataset* ds = Dataset();
  ds->Open();
  StreamPtr reader(ds->CreateBlobStream(ds->FieldByName(u"Pic"), bmRead));
  try {
    ds->Next();
    ADD_FAILURE() << "scroll with an open stream";
  } catch (const EnxDatabaseError& e) {
    EXPECT_NE(e.Message().find(u"All BLOB streams must be freed before executing this operation"), nxString::npos);
  }
  reader.reset();
  ds->Edit();
  StreamPtr writer(ds->CreateBlobStream(ds->FieldByName(u"Pic"), bmWrite));
  ds->Cancel();
  EXPECT_EQ(ds->BlobStreamsHead(), nullptr);
  // The detached stream writes nothing.
  EXPECT_EQ(writer->Write("x", 1), 0);
  writer.reset();
  ds->Next();
  EXPECT_EQ(ds->FieldByName(u"ID")->AsInteger(), 2);
}

TEST_F(DatasetBlob, MemoFieldsRoundTripText) {
  Build(1);
  TnxTestDataset* ds = Dataset();
  ds->Open();
  EXPECT_TRUE(objectAs<TnxMemoField>(ds->FieldByName(u"Memo")));
  EXPECT_TRUE(objectAs<TnxWideMemoField>(ds->FieldByName(u"Wide")));
  ds->Edit();
  ds->FieldByName(u"Wide")->SetAsString(u"abc");
  ds->FieldByName(u"Memo")->SetAsString(u"memo text");
  ds->Post();
  ds->Refresh();
  EXPECT_EQ(Bytes(ds, u"Wide").size(), 6u);
  EXPECT_EQ(ds->FieldByName(u"Wide")->AsString(), u"abc");
  EXPECT_EQ(ds->FieldByName(u"Memo")->AsString(), u"memo text");
}

TEST_F(DatasetBlob, AddFileBlobNeedsEditState) {
  Build(1);
  TnxTestDataset* ds = Dataset();
  ds->Open();
  try {
    ds->AddFileBlob(ds->FieldByName(u"Pic"), u"/data/some.bin");
    ADD_FAILURE() << "browse state accepted";
  } catch (const EnxDatabaseError& e) {
    EXPECT_NE(e.Message().find(u"DataSet not in editing mode"), nxString::npos);
  }
}

TEST_F(DatasetBlob, MarkingFollowsTheTableBlobFields) {
  Build(1, false);
  TnxTestDataset* plain = Dataset();
  plain->Open();
  plain->MarkAllBlobs();
  EXPECT_TRUE(plain->MarkedBlobsByBlobIdx().empty());
}

TEST_F(DatasetBlob, MarksPersistAcrossCloseAndTakeEffectAtOpen) {
  Build(1);
  TnxTestDataset* ds = Dataset();
  ds->Open();
  ds->SetBlobMarked(ds->FieldByName(u"Pic"), true);
  ds->Close();
  EXPECT_TRUE(ds->MarkedBlobsByBlobIdx().empty());
  ds->Open();
  EXPECT_TRUE(ds->BlobMarked(ds->FieldByName(u"Pic")));
  EXPECT_FALSE(ds->BlobMarked(ds->FieldByName(u"Memo")));
  EXPECT_EQ(ds->AbstractCursor()->MarkedBlobs(), ds->MarkedBlobsByBlobIdx());
  EXPECT_FALSE(ds->MarkedBlobsByBlobIdx().empty());
  ds->ClearMarkedBlobs();
  EXPECT_FALSE(ds->BlobMarked(ds->FieldByName(u"Pic")));
}

TEST_F(DatasetBlob, ReadBlobIntoStreamCopiesLargeBlobsInChunks) {
  Build(1);
  TnxTestDataset* ds = Dataset();
  ds->Open();
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 4096);
  ds->Edit();
  Write(ds, u"Pic", {big});
  ds->Post();
  for (const bool snapshot : {false, true}) {
    SCOPED_TRACE(snapshot ? "snapshot" : "plain");
    StreamPtr copy(ds->ReadBlobAsStream(ds->FieldByName(u"Pic"), snapshot));
    auto* mem = static_cast<TnxMemoryStream*>(copy.get());
    ASSERT_EQ(mem->Size(), static_cast<std::int64_t>(big.size()));
    EXPECT_EQ(std::memcmp(mem->Memory(), big.data(), big.size()), 0);
  }
}

TEST_F(DatasetBlob, ReadsFollowChangesByAnotherCursorAfterTheFetch) {
  Build(1);
  TnxTestDataset* writer = Dataset();
  writer->Open();
  writer->Edit();
  Write(writer, u"Pic", {"first version"});
  writer->Post();
  TnxTestDataset* reader = Dataset();
  reader->Open();
  ASSERT_EQ(Bytes(reader, u"Pic"), "first version");
  // Replaced after the reader fetched its record: the reader sees the new bytes.
  writer->Edit();
  Write(writer, u"Pic", {"second"});
  writer->Post();
  EXPECT_EQ(Bytes(reader, u"Pic"), "second");
  // Deleted meanwhile: an empty BLOB and no error.
  writer->Delete();
  EXPECT_EQ(Bytes(reader, u"Pic"), "");
}

}  // namespace
