// The client dataset over a real server cursor: record buffers, opening and
// closing, fetching and navigation, through a test dataset whose engine
// cursor is wrapped in a recording cursor.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "nxClientTestKit.h"
#include "nxTestDataset.h"
#include "nxdbConversion.h"
#include "plDataLink.h"

namespace {

using namespace platform;

constexpr int kRecords = 50;
constexpr int kRing = 10;

// A link that keeps a ring of buffers and records the data events it hears.
class RecordingLink : public TDataLink {
 public:
  std::vector<std::string> events;
  void DataEvent(TDataEvent aEvent, std::intptr_t aInfo) override {
    static const char* const names[] = {"FieldChange", "RecordChange", "DataSetChange", "DataSetScroll",
                                        "LayoutChange", "UpdateRecord", "UpdateState", "CheckBrowseMode",
                                        "PropertyChange", "FieldListChange", "FocusControl", "ParentScroll",
                                        "ConnectChange", "ReconcileError", "DisabledStateChange"};
    std::string e = names[aEvent];
    if (aEvent == deDataSetScroll) e += "(" + std::to_string(aInfo) + ")";
    events.push_back(e);
    TDataLink::DataEvent(aEvent, aInfo);
  }
};

// An extended field that the framework has no type for (as a mapper class
// the conversion registry may lack).
class UnmappedExtendedMapper : public TnxExtendedVclFieldMapper {
  PL_CLASS_INFO_DECL()
 public:
  static TFieldType VclFieldType() { return ftUnknown; }
};
PL_CLASS_INFO_IMPL_TABLE(UnmappedExtendedMapper, TnxExtendedVclFieldMapper, "UnmappedExtendedMapper", nullptr,
                         bindClassTable(nxVclFieldMapperFuncs<UnmappedExtendedMapper>))

class ClientDataset : public ::testing::Test {
 protected:
  ClientDataset() { nxdbConversionInitialize(); }
  ~ClientDataset() override {
    for (auto it = datasets_.rbegin(); it != datasets_.rend(); ++it) TObject::free(*it);
    TObject::free(link_.release());
    TObject::free(source_);
    nxdbConversionFinalize();
  }

  // The ten bytes of "Span" in record aID.
  static std::vector<std::uint8_t> SpanBytes(std::int32_t aID) {
    std::vector<std::uint8_t> b(10);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(aID * 7 + static_cast<int>(i));
    return b;
  }

  // Table aName: "ID" 1..aCount in index "ByID", "Name" "N<ID>", a RecRev
  // "Rev", a RefNr "Ref" and an extended "Span" holding SpanBytes(ID).
  void BuildNav(int aCount, const nxString& aName = u"nav") {
    TnxOwned<TnxServerDataDict> dict(create<TnxServerDataDict>());
    TnxFieldsDescriptor* f = dict->FieldsDescriptor();
    f->AddField(u"ID", u"", nxtInt32, 0, 0, false);
    f->AddField(u"Name", u"", nxtShortString, 20, 0, false);
    f->AddField(u"Rev", u"", nxtRecRev, 0, 0, false);
    f->AddField(u"Ref", u"", nxtRefNr, 0, 0, false);
    f->AddField(u"Span", u"", nxtExtended, 0, 0, false);
    TnxIndexDescriptor* index = dict->EnsureIndicesDescriptor()->AddIndex(u"ByID", 0, idNone, u"");
    objectAs<TnxCompKeyDescriptor>(index->KeyDescriptor())->Add(0);
    ASSERT_EQ(kit.BuildTable(aName, dict.get()), 0u);
    db = db ? db : kit.Database();
    db->Open();
    TnxAbstractCursor* c = nullptr;
    ASSERT_EQ(db->AbstractDatabase()->CursorOpen(c, aName, u"", omReadWrite, smShared, 0, u"", 0, false, {}, 500,
                                                 nullptr),
              0u);
    TnxFieldsDescriptor* fields = c->FieldsDescriptor();
    std::vector<std::uint8_t> rec(static_cast<std::size_t>(fields->RecordLength()));
    for (std::int32_t id = 1; id <= aCount; ++id) {
      fields->InitRecord(rec.data());
      fields->SetRecordField(0, rec.data(), &id);
      fields->fsdSetFieldByIndexAsVariant(rec.data(), 1, Variant(u"N" + toU16(std::to_string(id))));
      fields->SetRecordField(4, rec.data(), SpanBytes(id).data());
      ASSERT_EQ(c->RecordInsert(nxltNoLock, rec.data(), nullptr), 0u);
    }
    TObject::free(c);
  }

  static nxString toU16(const std::string& a) { return nxString(a.begin(), a.end()); }

  // A recording dataset on "nav" by "ByID" with a ring of kRing buffers.
  TnxTestDataset* Dataset(bool aReduction = true, int aRing = kRing) {
    auto* ds = create<TnxTestDataset>(nullptr);
    datasets_.push_back(ds);
    ds->SetDatabase(db);
    ds->SetTableName(u"nav");
    ds->SetIndexName(u"ByID");
    ds->SetRecordCalls(true);
    if (!aReduction) ds->AddDataSetOption(dsoDisableClientMessageReduction);
    if (!source_) source_ = create<TDataSource>(nullptr);
    source_->SetDataSet(ds);
    link_ = std::make_unique<RecordingLink>();
    link_->SetDataSource(source_);
    link_->SetBufferCount(aRing);
    return ds;
  }

  static std::int32_t ID(TnxTestDataset* aDs) { return aDs->FieldByName(u"ID")->AsInteger(); }

  // The IDs the filled buffers of the ring hold, in ring order.
  static std::vector<std::int32_t> RingIDs(TnxTestDataset* aDs) {
    std::vector<std::int32_t> ids;
    for (int i = 0; i < aDs->RecordCountInBuffers(); ++i) {
      std::int32_t id = 0;
      std::memcpy(&id, aDs->Buffers(i) + aDs->FieldsDescriptor()->Fields(0)->fdOffset, 4);
      ids.push_back(id);
    }
    return ids;
  }

  // The calls (not the option changes) the recorder logged since aFrom.
  static std::string CallsSince(TnxTestDataset* aDs, std::size_t aFrom = 0) {
    std::string s;
    const auto& calls = aDs->Recorder()->Calls();
    for (std::size_t i = aFrom; i < calls.size(); ++i) s += (s.empty() ? "" : " ") + calls[i].name;
    return s;
  }

  nxtest::ClientTestKit kit;
  TnxDatabase* db = nullptr;
  TDataSource* source_ = nullptr;
  std::unique_ptr<RecordingLink> link_;
  std::vector<TnxTestDataset*> datasets_;
};

// ---------------------------------------------------------------------------
// Layout

TEST_F(ClientDataset, RecordBufferHoldsRecordBookmarkCalculatedFieldsAndRecordInfo) {
  BuildNav(3);
  TnxTestDataset* ds = Dataset();
  // Persistent fields: two data fields and one calculated field.
  for (const char16_t* name : {u"ID", u"Name"}) {
    TField* f = createField(name == nxString(u"ID") ? TIntegerField::staticClassInfo()
                                                    : TStringField::staticClassInfo(),
                            nullptr);
    f->SetFieldName(name);
    if (name == nxString(u"Name")) f->SetSize(20);
    f->SetDataSet(ds);
  }
  TField* twice = createField(TIntegerField::staticClassInfo(), nullptr);
  twice->SetFieldName(u"Twice");
  twice->SetFieldKind(fkCalculated);
  twice->SetDataSet(ds);
  ds->Open();
  std::int32_t bookmarkSize = 0;
  ASSERT_EQ(ds->AbstractCursor()->sbcGetBookmarkSize(bookmarkSize), 0u);
  const std::int32_t recordLength = ds->FieldsDescriptor()->RecordLength();
  EXPECT_GT(bookmarkSize, 24);  // 24 and the key of "ByID"
  EXPECT_EQ(ds->RecordLength(), recordLength);
  EXPECT_EQ(ds->OffsetBookmark(), recordLength);
  EXPECT_EQ(ds->OffsetCalcFlds(), recordLength + bookmarkSize);
  EXPECT_EQ(ds->OffsetRecInfos(), recordLength + bookmarkSize + twice->DataSize() + 1);
  EXPECT_EQ(ds->RecordBufferSize(), ds->OffsetRecInfos() + 5);
  EXPECT_EQ(ds->BookmarkSize(), bookmarkSize);
  // The ring plus the spare buffer.
  EXPECT_EQ(ds->RecordBufferCount(), kRing + 1);
  // The bookmark part holds the engine's bookmark of the record.
  std::vector<std::uint8_t> engine(static_cast<std::size_t>(bookmarkSize));
  ASSERT_EQ(ds->AbstractCursor()->SetToBookmark(ds->ActiveBuffer() + ds->OffsetBookmark(), bookmarkSize), 0u);
  ASSERT_EQ(ds->AbstractCursor()->GetBookmark(engine.data(), bookmarkSize), 0u);
  EXPECT_EQ(0, std::memcmp(engine.data(), ds->ActiveBuffer() + ds->OffsetBookmark(), engine.size()));
  ds->Close();
  EXPECT_EQ(ds->RecordBufferCount(), 0);
  // Reopening takes buffers of the same layout again, and gives them back.
  ds->Open();
  EXPECT_EQ(ds->RecordBufferCount(), kRing + 1);
  ds->Close();
  EXPECT_EQ(ds->RecordBufferCount(), 0);
}

TEST_F(ClientDataset, CursorComponentIsNamedAfterTheDataset) {
  BuildNav(0);
  TnxTestDataset* ds = Dataset();
  ds->SetName(u"Answers");
  EXPECT_EQ(ds->CursorComponent()->Name(), u"Answers_Cursor");
  ds->SetName(u"Questions");
  EXPECT_EQ(ds->CursorComponent()->Name(), u"Questions_Cursor");
}

}  // namespace
