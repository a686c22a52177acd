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
  // "Rev", a RefNr "Ref", an extended "Span" holding SpanBytes(ID) and an
  // Int64 "LSN" that takes the next LSN by default.
  void BuildNav(int aCount, const nxString& aName = u"nav") {
    TnxOwned<TnxServerDataDict> dict(create<TnxServerDataDict>());
    TnxFieldsDescriptor* f = dict->FieldsDescriptor();
    f->AddField(u"ID", u"", nxtInt32, 0, 0, false);
    f->AddField(u"Name", u"", nxtShortString, 20, 0, false);
    f->AddField(u"Rev", u"", nxtRecRev, 0, 0, false);
    f->AddField(u"Ref", u"", nxtRefNr, 0, 0, false);
    f->AddField(u"Span", u"", nxtExtended, 0, 0, false);
    f->AddField(u"LSN", u"", nxtInt64, 0, 0, false)
        ->AddDefaultValue(&TnxNextLSNDefaultValueDescriptor::staticClassInfo());
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

// ---------------------------------------------------------------------------
// Navigation

// The positioning calls of a log (fetches and bookmark reads left out), and
// the hint options in force at the first of them.
struct StepCalls {
  std::string positioning;
  int fetches = 0;
  TnxAbstractCursorOptions firstHints;
};

StepCalls Summarise(const std::vector<TnxRecordedCall>& aCalls, std::size_t aFrom) {
  StepCalls r;
  bool first = true;
  for (std::size_t i = aFrom; i < aCalls.size(); ++i) {
    const std::string& n = aCalls[i].name;
    if (n == "RecordGetNext" || n == "RecordGetPrior") {
      ++r.fetches;
    } else if (n != "GetBookmark") {
      r.positioning += (r.positioning.empty() ? "" : " ") + n;
      if (first) r.firstHints = aCalls[i].options;
      first = false;
    }
  }
  r.firstHints.exclude(acoRecordGetFollowedByGetBookmark);
  return r;
}

// Changes "Name" of record aID through another session.
void RenameThroughOtherSession(TnxBaseServerEngine* aEngine, std::int32_t aID, const nxString& aName) {
  TnxSession* other = create<TnxSession>(nullptr);
  other->SetServerEngine(aEngine);
  TnxDatabase* otherDb = create<TnxDatabase>(nullptr);
  otherDb->SetSession(other);
  otherDb->SetAliasPath(u"/data");
  otherDb->Open();
  TnxAbstractCursor* c = nullptr;
  ASSERT_EQ(otherDb->AbstractDatabase()->CursorOpen(c, u"nav", u"", omReadWrite, smShared, 1000, u"", 0, false, {},
                                                    500, nullptr),
            0u);
  TnxFieldsDescriptor* fields = c->FieldsDescriptor();
  std::vector<std::uint8_t> rec(static_cast<std::size_t>(fields->RecordLength()));
  while (c->RecordGetNext(nxltNoLock, rec.data()) == 0) {
    std::int32_t id = 0;
    std::memcpy(&id, rec.data() + fields->Fields(0)->fdOffset, 4);
    if (id != aID) continue;
    ASSERT_EQ(c->RecordGet(nxltWriteLock, rec.data()), 0u);
    fields->fsdSetFieldByIndexAsVariant(rec.data(), 1, Variant(aName));
    ASSERT_EQ(c->RecordModify(rec.data(), true, nullptr), 0u);
    break;
  }
  TObject::free(c);
  TObject::free(otherDb);
  TObject::free(other);
}

struct NavStep {
  const char* what;
  std::int32_t id;
  bool bof;
  bool eof;
  // Positioning calls with and without client message reduction.
  const char* reduced;
  const char* unreduced;
  int fetches;
  // The hint of the first positioning call under reduction (none: empty).
  std::vector<TnxAbstractCursorOption> hint;
};

TEST_F(ClientDataset, NavigationScriptFetchesTheExpectedRecordsAndCursorCalls) {
  BuildNav(kRecords);
  const std::vector<NavStep> script = {
      // Under reduction the fresh cursor is not moved to its beginning.
      {"Open", 1, true, false, "GetIndexID", "GetIndexID SetToBegin", kRing, {}},
      {"First", 1, true, false, "SetToBegin", "SetToBegin", kRing, {acoSetToBeginFollowedByRecordGetNext}},
      {"Next x25", 26, false, false, "", "", 16, {}},
      {"Prior x3", 23, false, false, "", "", 0, {}},
      // Past the start of the ring: one record before its first.
      {"MoveBy(-7)", 16, false, false, "SetToBookmark", "SetToBookmark", 1, {}},
      {"Last", 50, false, true, "SetToEnd", "SetToEnd", kRing, {acoSetToEndFollowedByRecordGetPrior}},
      // (Resync reactivates the buffers: EOF clears.)
      {"Resync after another session renamed 50", 50, false, false, "SetToBookmark RecordGet", "SetToBookmark RecordGet",
       kRing - 1, {}},
  };
  for (bool reduction : {true, false}) {
    SCOPED_TRACE(reduction ? "with reduction" : "without reduction");
    TnxTestDataset* ds = Dataset(reduction);
    std::size_t from = 0;
    for (const NavStep& step : script) {
      SCOPED_TRACE(step.what);
      const std::string what = step.what;
      if (what == "Open") ds->Open();
      if (what == "First") ds->First();
      if (what == "Next x25")
        for (int i = 0; i < 25; ++i) ds->Next();
      if (what == "Prior x3")
        for (int i = 0; i < 3; ++i) ds->Prior();
      if (what == "MoveBy(-7)") {
        EXPECT_EQ(ds->MoveBy(-7), -7);
      }
      if (what == "Last") ds->Last();
      if (what.starts_with("Resync")) {
        RenameThroughOtherSession(kit.engine, 50, reduction ? u"changed" : u"again");
        ds->UpdateCursorPos();
        ds->Resync({});
        EXPECT_EQ(ds->FieldByName(u"Name")->AsString(), reduction ? u"changed" : u"again");
      }
      EXPECT_EQ(ID(ds), step.id);
      EXPECT_EQ(ds->Bof(), step.bof);
      EXPECT_EQ(ds->Eof(), step.eof);
      // The ring holds consecutive records around the active one.
      const std::vector<std::int32_t> ring = RingIDs(ds);
      ASSERT_FALSE(ring.empty());
      EXPECT_EQ(ring[static_cast<std::size_t>(ds->ActiveRecord())], step.id);
      for (std::size_t i = 1; i < ring.size(); ++i) EXPECT_EQ(ring[i], ring[i - 1] + 1);
      const StepCalls calls = Summarise(ds->Recorder()->Calls(), from);
      EXPECT_EQ(calls.positioning, reduction ? step.reduced : step.unreduced);
      EXPECT_EQ(calls.fetches, step.fetches);
      TnxAbstractCursorOptions hint;
      if (reduction)
        for (auto o : step.hint) hint.include(o);
      EXPECT_TRUE(calls.firstHints == hint);
      from = ds->Recorder()->Calls().size();
    }
    ds->Close();
    EXPECT_EQ(ds->RecordBufferCount(), 0);
  }
}

struct FlipStep {
  const char* what;
  std::int32_t id;
  bool bof;
  bool eof;
};

TEST_F(ClientDataset, FlipOrderPresentsTheCursorOrderReversed) {
  BuildNav(kRecords);
  for (bool reduction : {true, false}) {
    SCOPED_TRACE(reduction ? "with reduction" : "without reduction");
    TnxTestDataset* ds = Dataset(reduction);
    ds->SetFlipOrder(true);
    ds->Open();
    // Even a fresh cursor must be moved to its end.
    EXPECT_EQ(Summarise(ds->Recorder()->Calls(), 0).positioning, "GetIndexID SetToEnd");
    EXPECT_TRUE(ds->Recorder()->Inner()->CursorOptions().contains(acoFlipOrder));
    const std::vector<FlipStep> script = {
        {"Open", 50, true, false},   {"Next", 49, false, false},  {"MoveBy(12)", 37, false, false},
        {"Last", 1, false, true},    {"Next", 1, false, true},    {"Prior", 2, false, false},
        {"First", 50, true, false},  {"Prior", 50, true, false},
    };
    for (const FlipStep& step : script) {
      SCOPED_TRACE(step.what);
      const std::string what = step.what;
      if (what == "Next") ds->Next();
      if (what == "Prior") ds->Prior();
      if (what == "MoveBy(12)") ds->MoveBy(12);
      if (what == "Last") ds->Last();
      if (what == "First") ds->First();
      EXPECT_EQ(ID(ds), step.id);
      EXPECT_EQ(ds->Bof(), step.bof);
      EXPECT_EQ(ds->Eof(), step.eof);
      const std::vector<std::int32_t> ring = RingIDs(ds);
      for (std::size_t i = 1; i < ring.size(); ++i) EXPECT_EQ(ring[i], ring[i - 1] - 1);
    }
    ds->Close();
  }
}

TEST_F(ClientDataset, FlipOrderChangedWhileOpenKeepsTheRecord) {
  BuildNav(kRecords);
  TnxTestDataset* ds = Dataset();
  ds->Open();
  ds->MoveBy(25);
  ASSERT_EQ(ID(ds), 26);
  ds->SetFlipOrder(true);
  EXPECT_EQ(ID(ds), 26);
  EXPECT_TRUE(ds->Recorder()->Inner()->CursorOptions().contains(acoFlipOrder));
  ds->Next();
  EXPECT_EQ(ID(ds), 25);
  ds->Prior();
  ds->Prior();
  EXPECT_EQ(ID(ds), 27);
  ds->SetFlipOrder(false);
  EXPECT_EQ(ID(ds), 27);
  EXPECT_FALSE(ds->Recorder()->Inner()->CursorOptions().contains(acoFlipOrder));
  ds->Next();
  EXPECT_EQ(ID(ds), 28);
}

TEST_F(ClientDataset, RecNoNeedsTheOptionAndRoundTrips) {
  BuildNav(kRecords);
  TnxTestDataset* ds = Dataset();
  ds->Open();
  ds->MoveBy(4);
  EXPECT_FALSE(ds->IsSequenced());
  EXPECT_EQ(ds->RecNo(), -1);
  ds->SetRecNo(30);
  EXPECT_EQ(ID(ds), 5);
  ds->Close();

  ds->AddDataSetOption(dsoRecNoSupport);
  ds->Open();
  ASSERT_TRUE(ds->IsSequenced());
  EXPECT_EQ(ds->RecNo(), 1);
  for (std::int32_t n : {17, 3, 50, 44}) {
    ds->SetRecNo(n);
    EXPECT_EQ(ID(ds), n);
    EXPECT_EQ(ds->RecNo(), n);
  }
  // Reversed, number 1 is the cursor's last record.
  ds->SetFlipOrder(true);
  ds->SetRecNo(1);
  EXPECT_EQ(ID(ds), 50);
  EXPECT_EQ(ds->RecNo(), 1);
  ds->SetRecNo(10);
  EXPECT_EQ(ID(ds), 41);
  // A number past the end changes nothing.
  ds->SetRecNo(500);
  EXPECT_EQ(ID(ds), 41);
}

TEST_F(ClientDataset, WriteOnlyDatasetOpensEmptyWithoutReading) {
  BuildNav(5);
  TnxTestDataset* ds = Dataset();
  ds->SetWriteOnly(true);
  ds->Open();
  EXPECT_TRUE(ds->IsEmpty());
  EXPECT_TRUE(ds->Bof());
  EXPECT_TRUE(ds->Eof());
  ds->First();
  ds->Last();
  EXPECT_TRUE(ds->IsEmpty());
  for (const char* read : {"RecordGet", "RecordGetNext", "RecordGetPrior", "SetToBegin", "SetToEnd"})
    EXPECT_EQ(ds->Recorder()->CountOf(read), 0) << read;
}

TEST_F(ClientDataset, BlockReadSizeSetBeforeOpenReadsNoRecordDuringOpen) {
  BuildNav(5);
  TnxTestDataset* ds = Dataset();
  ds->SetBlockReadSize(3);
  ds->Open();
  for (const char* read : {"RecordGet", "RecordGetNext", "RecordGetPrior", "RecordGetBatch"})
    EXPECT_EQ(ds->Recorder()->CountOf(read), 0) << read;
  ds->Close();
  EXPECT_EQ(ds->RecordBufferCount(), 0);
  EXPECT_EQ(ds->BlockReadSize(), 3);
}

// ---------------------------------------------------------------------------
// Fetch results

struct FetchCase {
  TnxResult code;
  bool flip;
  bool doCheck;
  TGetResult expect;  // when nothing is raised
  bool raises;
};

TEST_F(ClientDataset, FetchMapsEndCodesAndRaisesLockAndTimeoutErrors) {
  BuildNav(5);
  const std::vector<FetchCase> cases = {
      {8705, false, false, grBOF, false},  {8706, false, false, grEOF, false},
      {8705, true, false, grEOF, false},   {8706, true, false, grBOF, false},
      {8708, false, false, grError, false}, {8708, false, true, grError, true},
      // Lock errors and the time-out raise even without DoCheck.
      {10249, false, false, grError, true}, {10241, false, false, grError, true},
      {10255, true, false, grError, true},  {15461, false, false, grError, true},
  };
  TnxTestDataset* ds = Dataset();
  ds->Open();
  for (const FetchCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.code << (c.flip ? " flipped" : "") << (c.doCheck ? " checked" : ""));
    ds->SetFlipOrder(c.flip);
    // Forward under FlipOrder is the cursor's backward.
    ds->Recorder()->Inject(c.flip ? "RecordGetPrior" : "RecordGetNext", c.code);
    if (c.raises) {
      EXPECT_EQ(nxtest::clientErrorCode([&] { ds->GetRecord(ds->TempBuffer(), gmNext, c.doCheck); }), c.code);
    } else {
      EXPECT_EQ(ds->GetRecord(ds->TempBuffer(), gmNext, c.doCheck), c.expect);
    }
  }
}

TEST_F(ClientDataset, ServerFilterTimeoutRepeatsUntilTheHandlerCancels) {
  BuildNav(5);
  TnxTestDataset* ds = Dataset();
  ds->Open();
  struct Handler {
    int calls = 0;
    int cancelAt = 0;
    void OnTimeout(TObject*, bool& aCancel) { aCancel = ++calls == cancelAt; }
  } handler;
  ds->OnServerFilterTimeout = TnxServerFilterTimeoutEvent::Of<&Handler::OnTimeout>(&handler);
  // Twice timed out, then the cursor answers.
  handler.cancelAt = 0;
  ASSERT_EQ(ds->AbstractCursor()->SetToBegin(), 0u);
  ds->Recorder()->Inject("RecordGetNext", 15444, 2);
  const int before = ds->Recorder()->CountOf("RecordGetNext");
  EXPECT_EQ(ds->GetRecord(ds->TempBuffer(), gmNext, true), grOK);
  EXPECT_EQ(handler.calls, 2);
  EXPECT_EQ(ds->Recorder()->CountOf("RecordGetNext") - before, 3);
  // Cancelled: the fetch ends with the time-out, raised only when checked.
  handler.calls = 0;
  handler.cancelAt = 1;
  ds->Recorder()->Inject("RecordGetNext", 15444, 2);
  EXPECT_EQ(ds->GetRecord(ds->TempBuffer(), gmNext, false), grError);
  handler.calls = 0;
  ds->Recorder()->Inject("RecordGetNext", 15444, 2);
  EXPECT_EQ(nxtest::clientErrorCode([&] { ds->GetRecord(ds->TempBuffer(), gmNext, true); }), 15444u);
}

// ---------------------------------------------------------------------------
// Fields

TEST_F(ClientDataset, RecRevRefNrAndNextLSNFieldsAreInternalCalculatedFieldsFromTheRecord) {
  BuildNav(5);
  TnxTestDataset* ds = Dataset();
  ds->Open();
  ds->MoveBy(2);
  for (const char16_t* name : {u"Rev", u"Ref", u"LSN"}) {
    TField* f = ds->FieldByName(name);
    EXPECT_EQ(f->FieldKind(), fkInternalCalc) << toUtf8(name);
    EXPECT_FALSE(f->Required()) << toUtf8(name);
  }
  EXPECT_FALSE(ds->FieldByName(u"Ref")->IsNull());
  // The RefNr is the one the engine's bookmark of the record carries.
  const std::uint8_t* bookmark = ds->ActiveBuffer() + ds->OffsetBookmark();
  ASSERT_EQ(bookmark[8], 4);  // on a record
  std::int64_t refNr = 0;
  std::memcpy(&refNr, bookmark + 12, 8);
  EXPECT_EQ(ds->FieldByName(u"Ref")->AsLargeInt(), refNr);
  EXPECT_EQ(ds->FieldByName(u"ID")->FieldKind(), fkData);
}

TEST_F(ClientDataset, EngineFieldWithoutFrameworkTypeHasNoFieldButKeepsItsBytes) {
  BuildNav(5);
  {
    TnxTestDataset* ds = Dataset();
    ds->Open();
    EXPECT_NE(ds->FindField(u"Span"), nullptr);
    ds->Close();
  }
  RegisterVadurFieldMapper(UnmappedExtendedMapper::staticClassInfo());
  struct Restore {
    ~Restore() { RegisterVadurFieldMapper(TnxExtendedVclFieldMapper::staticClassInfo()); }
  } restore;
  TnxTestDataset* ds = Dataset();
  ds->Open();
  EXPECT_EQ(ds->FindField(u"Span"), nullptr);
  EXPECT_EQ(ds->FieldDefs().Find(u"Span"), nullptr);
  EXPECT_NE(ds->FindField(u"ID"), nullptr);
  const std::int32_t offset = ds->FieldsDescriptor()->Fields(4)->fdOffset;
  for (int step = 0; step < 3; ++step, ds->Next()) {
    const std::vector<std::uint8_t> expected = SpanBytes(ID(ds));
    EXPECT_EQ(0, std::memcmp(ds->ActiveBuffer() + offset, expected.data(), expected.size())) << ID(ds);
  }
}

// ---------------------------------------------------------------------------
// Events

TEST_F(ClientDataset, DataLinkSeesTheEventsOfOpenScrollAndClose) {
  BuildNav(kRecords);
  TnxTestDataset* ds = Dataset(true, 3);
  ds->Open();
  ds->Next();
  ds->Next();
  ds->Next();  // beyond the ring of three
  ds->Last();
  ds->Close();
  const std::vector<std::string> expected = {
      "UpdateState", "UpdateState",                      // opening, browsing
      "CheckBrowseMode", "DataSetScroll(0)",             // inside the ring
      "CheckBrowseMode", "DataSetScroll(0)",
      "CheckBrowseMode", "DataSetScroll(-1)",            // one fetched, the ring moved
      "CheckBrowseMode", "DataSetChange",                // Last refills the ring
      "UpdateState"};                                     // closed
  EXPECT_EQ(link_->events, expected);
  // Swallowed events reach no link, yet the dataset moves.
  ds->Open();
  link_->events.clear();
  ds->IgnoreDataEvents() = true;
  ds->MoveBy(5);
  ds->Close();
  EXPECT_TRUE(link_->events.empty());
  ds->IgnoreDataEvents() = false;
  ds->Open();
  EXPECT_EQ(ID(ds), 1);
  EXPECT_FALSE(link_->events.empty());
}

// ---------------------------------------------------------------------------
// Session, database, time-outs and the cursor component

struct TimeoutCase {
  std::int32_t dataset;
  std::int32_t database;
  std::int32_t session;
  std::int32_t effective;
};

TEST_F(ClientDataset, TimeoutInheritsFromDatabaseAndSessionAndReachesTheCursor) {
  BuildNav(3);
  const std::vector<TimeoutCase> cases = {
      {-1, -1, -1, 10000}, {-1, -1, 2500, 2500}, {-1, 3000, 2500, 3000}, {700, 3000, 2500, 700}, {0, 3000, 2500, 0},
  };
  TnxTestDataset* ds = Dataset();
  for (const TimeoutCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.dataset << " " << c.database << " " << c.session);
    kit.session->SetTimeout(c.session);
    db->SetTimeout(c.database);
    ds->SetTimeout(c.dataset);
    EXPECT_EQ(ds->dsEffectiveTimeout(), c.effective);
    ds->Open();
    EXPECT_EQ(ds->Recorder()->Inner()->Timeout(), static_cast<TnxWord32>(c.effective));
    ds->Close();
  }
  // A change while open reaches the engine cursor at once, from either level.
  ds->SetTimeout(-1);
  ds->Open();
  ds->SetTimeout(1234);
  EXPECT_EQ(ds->Recorder()->Inner()->Timeout(), 1234u);
  ds->SetTimeout(-1);
  db->SetTimeout(4321);
  EXPECT_EQ(ds->Recorder()->Inner()->Timeout(), 4321u);
}

TEST_F(ClientDataset, TimeoutWithoutDatabaseAndSessionIsTenSeconds) {
  auto* ds = create<TnxTestDataset>(nullptr);
  datasets_.push_back(ds);
  ASSERT_EQ(ds->Session(), nullptr);
  EXPECT_EQ(ds->dsEffectiveTimeout(), 10000);
}

TEST_F(ClientDataset, DatabaseSessionAndAliasResolveEachOther) {
  BuildNav(3);
  auto* ds = create<TnxTestDataset>(nullptr);
  datasets_.push_back(ds);
  ds->SetTableName(u"nav");
  // A database brings its session along.
  ds->SetDatabase(db);
  EXPECT_EQ(ds->Session(), kit.session);
  EXPECT_EQ(ds->AliasName(), u"");
  // An alias drops the database and resolves through the session.
  ASSERT_EQ(kit.session->AddAliasEx(u"Data", u"/data", true), 0u);
  ds->SetAliasName(u"  Data\t");
  EXPECT_EQ(ds->AliasName(), u"Data");
  TnxDatabase* implicit = ds->Database();
  ASSERT_NE(implicit, nullptr);
  EXPECT_NE(implicit, db);
  EXPECT_TRUE(implicit->Implicit());
  EXPECT_EQ(implicit->AliasName(), u"Data");
  ds->Open();
  EXPECT_EQ(ds->RecordCount(), 3);
  // Closed, an explicit database replaces the alias again.
  ds->Close();
  ds->SetDatabase(db);
  EXPECT_EQ(ds->AliasName(), u"");
  EXPECT_EQ(ds->Database(), db);
  // Properties that need a closed dataset refuse while it is open.
  ds->Open();
  EXPECT_THROW(ds->SetAliasName(u"Other"), EDatabaseError);
  EXPECT_THROW(ds->SetDatabase(nullptr), EDatabaseError);
  EXPECT_EQ(ds->Database(), db);
}

TEST_F(ClientDataset, NewDatasetTakesTheDefaultSessionAndItsDefaultDatabase) {
  BuildNav(3);
  kit.session->SetDefault(true);
  db->SetDefault(true);
  auto* ds = create<TnxTestDataset>(nullptr);
  datasets_.push_back(ds);
  EXPECT_EQ(ds->Session(), kit.session);
  EXPECT_EQ(ds->Database(), db);
  kit.session->SetDefault(false);
}

TEST_F(ClientDataset, OpeningStartsTheCursorComponentAndItsDatabaseClosesTheDataset) {
  BuildNav(3);
  db->Close();
  kit.session->Close();
  TnxTestDataset* ds = Dataset();
  ds->Open();
  EXPECT_TRUE(ds->CursorComponent()->Active());
  EXPECT_TRUE(db->Active());
  EXPECT_TRUE(kit.session->Active());
  // Closing the dataset stops its cursor component only.
  ds->Close();
  EXPECT_FALSE(ds->CursorComponent()->Active());
  EXPECT_TRUE(db->Active());
  // The database going down closes the dataset and frees its engine cursor.
  ds->Open();
  db->Close();
  EXPECT_FALSE(ds->Active());
  EXPECT_EQ(ds->AbstractCursor(), nullptr);
  EXPECT_EQ(ds->RecordBufferCount(), 0);
  EXPECT_FALSE(ds->CursorComponent()->Active());
  // And so does the session.
  ds->Open();
  kit.session->Close();
  EXPECT_FALSE(ds->Active());
  EXPECT_FALSE(db->Active());
  // Reopening starts the chain again.
  ds->Open();
  EXPECT_TRUE(kit.session->Active());
  EXPECT_EQ(ds->RecordCount(), 3);
}

TEST_F(ClientDataset, FailedOpenLeavesTheDatasetClosedWithoutCursor) {
  BuildNav(3);
  TnxTestDataset* ds = Dataset();
  ds->SetTableName(u"missing");
  EXPECT_THROW(ds->Open(), EnxDatabaseError);
  EXPECT_FALSE(ds->Active());
  EXPECT_EQ(ds->AbstractCursor(), nullptr);
  EXPECT_EQ(ds->FieldsDescriptor(), nullptr);
  EXPECT_EQ(ds->RecordBufferCount(), 0);
  EXPECT_FALSE(ds->CursorComponent()->Active());
  // A fetch that fails during the open gives the engine cursor back too.
  ds->SetTableName(u"nav");
  ds->InjectAtOpen("RecordGetNext", 10249);
  EXPECT_EQ(nxtest::clientErrorCode([&] { ds->Open(); }), 10249u);
  EXPECT_FALSE(ds->Active());
  EXPECT_EQ(ds->AbstractCursor(), nullptr);
  EXPECT_EQ(ds->FieldsDescriptor(), nullptr);
  EXPECT_EQ(ds->RecordBufferCount(), 0);
  EXPECT_FALSE(ds->CursorComponent()->Active());
  ds->Open();
  EXPECT_EQ(ds->RecordCount(), 3);
}

TEST_F(ClientDataset, OptimisticLocksOptionIsRefusedWhileEditing) {
  BuildNav(3);
  TnxTestDataset* ds = Dataset();
  ds->Open();
  // In browse state the option may change.
  EXPECT_TRUE(ds->AddDataSetOption(dsoOptimisticLocks));
  EXPECT_FALSE(ds->AddDataSetOption(dsoOptimisticLocks));
  EXPECT_TRUE(ds->HasAllDataSetOptions({dsoOptimisticLocks}));
  EXPECT_TRUE(ds->RemoveDataSetOption(dsoOptimisticLocks));
  EXPECT_FALSE(ds->HasAnyDataSetOptions({dsoOptimisticLocks, dsoRecNoSupport}));
  ds->Edit();
  ASSERT_EQ(ds->State(), dsEdit);
  EXPECT_EQ(nxtest::clientErrorMessage([&] { ds->AddDataSetOption(dsoOptimisticLocks); }),
            u"DazavAV: <unnamed TnxTestDataset instance>: DataSet in editing mode [no error code]");
  EXPECT_FALSE(ds->HasAnyDataSetOptions({dsoOptimisticLocks}));
  // Other options may change while editing.
  EXPECT_TRUE(ds->AddDataSetOption(dsoRecNoSupport));
  ds->Cancel();
  // Changing the key-as-variant field needs a closed dataset.
  EXPECT_THROW(ds->AddDataSetOption(dsoAddKeyAsVariantField), EDatabaseError);
  // Pre-caching of marked BLOBs follows onto the cursor.
  ds->AddDataSetOption(dsoPreCacheMarkedBlobs);
  EXPECT_TRUE(ds->AbstractCursor()->CursorOptions().contains(acoPreCacheMarkedBlobs));
  ds->RemoveDataSetOption(dsoPreCacheMarkedBlobs);
  EXPECT_FALSE(ds->AbstractCursor()->CursorOptions().contains(acoPreCacheMarkedBlobs));
}

TEST_F(ClientDataset, LoadedOpensWhenTheStoredActiveStateSaysSo) {
  BuildNav(3);
  auto* ds = create<TnxTestDataset>(nullptr);
  datasets_.push_back(ds);
  ds->BeginLoading();
  ds->SetDatabase(db);
  ds->SetTableName(u"nav");
  ds->SetActiveRuntime(true);
  EXPECT_FALSE(ds->Active());
  ds->EndLoading();
  EXPECT_TRUE(ds->Active());
  // Opening and closing keep the stored state in step.
  ds->Close();
  EXPECT_FALSE(ds->ActiveRuntime());
  ds->Open();
  EXPECT_TRUE(ds->ActiveRuntime());
  EXPECT_FALSE(ds->ActiveDesigntime());
  ds->SetActiveRuntime(false);
  EXPECT_FALSE(ds->Active());
}

TEST_F(ClientDataset, FreeingTheSessionClosesTheDatasetAndForgetsIt) {
  BuildNav(3);
  TnxSession* other = create<TnxSession>(nullptr);
  other->SetServerEngine(kit.engine);
  TnxDatabase* otherDb = create<TnxDatabase>(nullptr);
  otherDb->SetSession(other);
  otherDb->SetAliasPath(u"/data");
  auto* ds = create<TnxTestDataset>(nullptr);
  datasets_.push_back(ds);
  ds->SetDatabase(otherDb);
  ds->SetTableName(u"nav");
  ds->Open();
  ASSERT_EQ(ds->Session(), other);
  TObject::free(otherDb);
  EXPECT_FALSE(ds->Active());
  TObject::free(other);
  EXPECT_EQ(ds->Session(), nullptr);
  EXPECT_EQ(ds->Database(), nullptr);
  EXPECT_EQ(ds->RecordBufferCount(), 0);
}

TEST_F(ClientDataset, BlockReadOptionsAreASetWithoutSideEffects) {
  auto* ds = create<TnxTestDataset>(nullptr);
  datasets_.push_back(ds);
  EXPECT_TRUE(ds->HasAllBlockReadOptions({gboBlobs, gboBookmarks}));
  EXPECT_FALSE(ds->AddBlockReadOption(gboBlobs));
  EXPECT_TRUE(ds->RemoveBlockReadOption(gboBlobs));
  EXPECT_FALSE(ds->HasAnyBlockReadOptions({gboBlobs}));
  EXPECT_TRUE(ds->HasAnyBlockReadOptions({gboBlobs, gboBookmarks}));
  EXPECT_TRUE(ds->AddBlockReadOptions({gboBlobs, gboBookmarks}));
  EXPECT_FALSE(ds->RemoveBlockReadOptions({gboBlobNrs}));
}

// A dataset whose engine open yields no cursor (a statement without result).
class NoResultDataset : public TnxTestDataset {
 public:
  using TnxTestDataset::TnxTestDataset;
  int opens = 0;

 protected:
  void dsOpenEngineCursor() override { ++opens; }
};

TEST_F(ClientDataset, OpenWithoutEngineCursorStaysClosedSilently) {
  BuildNav(1);
  auto* ds = create<NoResultDataset>(nullptr);
  datasets_.push_back(ds);
  ds->SetDatabase(db);
  EXPECT_THROW(ds->Open(), EAbort);
  EXPECT_EQ(ds->opens, 1);
  EXPECT_FALSE(ds->Active());
  EXPECT_EQ(ds->RecordBufferCount(), 0);
  EXPECT_FALSE(ds->CursorComponent()->Active());
}

}  // namespace
