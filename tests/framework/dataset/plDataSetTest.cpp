// The dataset framework's buffer ring, navigation and editing, driven over
// the vector dataset and checked against traces of the ring.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "plDataLink.h"
#include "plVectorDataSet.h"

using namespace platform;
using pltest::TVectorDataSet;

namespace {

struct FreeObject {
  void operator()(TObject* aObject) const { TObject::free(aObject); }
};
template <class T>
using Owned = std::unique_ptr<T, FreeObject>;

// Ten rows, ID 1..10, NAME "n1".."n10" (required), viewed through a link
// that asks for a ring of four buffers.
class DataSetFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ds.reset(platform::create<TVectorDataSet>());
    ds->FieldDefs().Add(u"ID", ftInteger);
    ds->FieldDefs().Add(u"NAME", ftString, 10, true);
    for (int i = 1; i <= 10; ++i) {
      UnicodeString name(u"n");
      name.append(toU16(i));
      ds->AddRow({Variant(i), Variant(name)});
    }
    source.reset(platform::create<TDataSource>());
    source->SetDataSet(ds.get());
    link.reset(platform::create<TDataLink>());
    link->SetDataSource(source.get());
    link->SetBufferCount(4);
    ds->Open();
  }
  void TearDown() override {
    link.reset();
    source.reset();
    ds.reset();
  }
  static UnicodeString toU16(int aValue) { return Variant(aValue).toString(); }

  // "active [ids] B E": the active buffer, the IDs in the ring, BOF and EOF.
  std::string Trace() {
    std::string s = std::to_string(ds->ActiveRecord()) + " [";
    for (int i = 0; i < ds->RecordCountInBuffers(); ++i) {
      if (i) s += ",";
      const Variant v = ds->BufferValue(i, ds->FieldByName(u"ID"));
      s += v.isNull() ? std::string("-") : std::to_string(v.toInt32());
    }
    s += "]";
    if (ds->Bof()) s += " B";
    if (ds->Eof()) s += " E";
    return s;
  }
  int Id() { return ds->FieldByName(u"ID")->AsInteger(); }

  Owned<TVectorDataSet> ds;
  Owned<TDataSource> source;
  Owned<TDataLink> link;
};

TEST_F(DataSetFixture, ScriptedNavigationFollowsTheRing) {
  struct Step {
    const char* what;
    std::function<void(TDataSet&)> action;
    const char* trace;
  };
  const Step steps[] = {
      {"open", [](TDataSet&) {}, "0 [1,2,3,4] B"},
      {"next x3", [](TDataSet& d) { d.Next(); d.Next(); d.Next(); }, "3 [1,2,3,4]"},
      {"next past the ring", [](TDataSet& d) { d.Next(); }, "3 [2,3,4,5]"},
      {"moveby +3", [](TDataSet& d) { EXPECT_EQ(d.MoveBy(3), 3); }, "3 [5,6,7,8]"},
      {"moveby -5", [](TDataSet& d) { EXPECT_EQ(d.MoveBy(-5), -5); }, "0 [3,4,5,6]"},
      {"prior x2", [](TDataSet& d) { d.Prior(); d.Prior(); }, "0 [1,2,3,4]"},
      {"prior at the start", [](TDataSet& d) { d.Prior(); }, "0 [1,2,3,4] B"},
      {"moveby -1 at BOF", [](TDataSet& d) { EXPECT_EQ(d.MoveBy(-1), 0); }, "0 [1,2,3,4] B"},
      {"last", [](TDataSet& d) { d.Last(); }, "3 [7,8,9,10] E"},
      {"next at the end", [](TDataSet& d) { EXPECT_EQ(d.MoveBy(1), 0); }, "3 [7,8,9,10] E"},
      {"prior from the end", [](TDataSet& d) { d.Prior(); }, "2 [7,8,9,10]"},
      {"moveby +20 stops at EOF", [](TDataSet& d) { EXPECT_EQ(d.MoveBy(20), 1); }, "3 [7,8,9,10] E"},
      {"first", [](TDataSet& d) { d.First(); }, "0 [1,2,3,4] B"},
  };
  for (const Step& step : steps) {
    step.action(*ds);
    EXPECT_EQ(Trace(), step.trace) << step.what;
  }
}

TEST_F(DataSetFixture, ResyncExactAndCentredRereadsARowChangedUnderneath) {
  ASSERT_TRUE(ds->Locate(u"ID", Variant(5), {}));
  EXPECT_EQ(Trace(), "1 [4,5,6,7]");
  ds->SetRowValue(5, 1, Variant(u"changed"));  // row of ID 6
  ds->MoveBy(2);                               // ID 7, keep the ring
  EXPECT_EQ(Trace(), "3 [4,5,6,7]");
  EXPECT_EQ(ds->BufferValue(2, ds->FieldByName(u"NAME")).toString(), u"n6");
  ds->UpdateCursorPos();
  ds->Resync({rmExact, rmCenter});
  EXPECT_EQ(Trace(), "1 [6,7,8,9]");
  EXPECT_EQ(ds->BufferValue(0, ds->FieldByName(u"NAME")).toString(), u"changed");
  // The current (last) row vanishes underneath: an exact resync refuses, a
  // plain one settles on the row before it.
  ds->Last();
  ds->DeleteRow(9);
  ds->CursorPosChanged();
  ds->UpdateCursorPos();
  EXPECT_THROW(ds->Resync({rmExact}), EDatabaseError);
  ds->CursorPosChanged();
  ds->UpdateCursorPos();
  ds->Resync({});
  EXPECT_EQ(Id(), 9);
}

TEST_F(DataSetFixture, DeleteOfTheLastRowSettlesOnTheNewLast) {
  ds->Last();
  ds->Delete();
  EXPECT_EQ(Trace(), "3 [6,7,8,9]");
  EXPECT_EQ(ds->RowCount(), 9);
  ds->First();
  for (int i = 0; i < 9; ++i) ds->Delete();
  EXPECT_EQ(Trace(), "0 [] B E");
  EXPECT_TRUE(ds->IsEmpty());
  EXPECT_THROW(ds->Delete(), EDatabaseError);
}

TEST_F(DataSetFixture, InsertInTheMiddleLandsBeforeTheCurrentRow) {
  ds->MoveBy(4);
  EXPECT_EQ(Trace(), "3 [2,3,4,5]");
  ds->Insert();
  EXPECT_EQ(ds->State(), dsInsert);
  EXPECT_EQ(Trace(), "3 [2,3,4,-]");
  ds->FieldByName(u"ID")->SetAsInteger(55);
  ds->FieldByName(u"NAME")->SetAsString(u"mid");
  ds->Post();
  EXPECT_EQ(ds->State(), dsBrowse);
  EXPECT_EQ(Trace(), "3 [2,3,4,55]");
  ds->Next();
  EXPECT_EQ(Id(), 5);
  EXPECT_EQ(ds->RowCount(), 11);
}

TEST_F(DataSetFixture, AppendPostsAtTheEnd) {
  ds->Append();
  EXPECT_EQ(Trace(), "3 [8,9,10,-] E");
  ds->FieldByName(u"ID")->SetAsInteger(11);
  ds->FieldByName(u"NAME")->SetAsString(u"n11");
  ds->Post();
  EXPECT_EQ(Trace(), "3 [8,9,10,11]");
  EXPECT_EQ(ds->RowCount(), 11);
}

TEST_F(DataSetFixture, CancelOfAnInsertRestoresTheRing) {
  ds->MoveBy(2);
  const std::string before = Trace();
  ds->Insert();
  EXPECT_EQ(Trace(), "2 [1,2,-,3]");
  ds->FieldByName(u"ID")->SetAsInteger(99);
  ds->Cancel();
  EXPECT_EQ(Trace(), before);
  EXPECT_EQ(ds->RowCount(), 10);
}

TEST_F(DataSetFixture, MissingRequiredFieldKeepsTheInsert) {
  ds->Append();
  ds->FieldByName(u"ID")->SetAsInteger(11);
  try {
    ds->Post();
    FAIL() << "post without NAME";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), u"フィールド 'NAME' には値が必要です");
  }
  EXPECT_EQ(ds->State(), dsInsert);
  EXPECT_EQ(ds->FieldByName(u"ID")->AsInteger(), 11);
  ds->FieldByName(u"NAME")->SetAsString(u"late");
  ds->Post();
  EXPECT_EQ(ds->RowCount(), 11);
}

struct PostErrorCase {
  TDataAction action;
  bool posted;
  bool abort;
};
class PostErrorTest : public DataSetFixture, public ::testing::WithParamInterface<PostErrorCase> {
 public:
  void OnPostError(TDataSet* aDataSet, EDatabaseError&, TDataAction& aAction) {
    ++calls;
    if (GetParam().action == daRetry) aDataSet->FieldByName(u"NAME")->SetAsString(u"fixed");
    aAction = GetParam().action;
  }
  int calls = 0;
};

TEST_P(PostErrorTest, AnswerDecidesWhatHappens) {
  ds->OnPostError = TDataSetErrorEvent::Of<&PostErrorTest::OnPostError>(this);
  ds->Append();
  ds->FieldByName(u"ID")->SetAsInteger(11);
  bool aborted = false, failed = false;
  try {
    ds->Post();
  } catch (const EAbort&) {
    aborted = true;
  } catch (const EDatabaseError&) {
    failed = true;
  }
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(aborted, GetParam().abort);
  EXPECT_EQ(failed, !GetParam().posted && !GetParam().abort);
  EXPECT_EQ(ds->State(), GetParam().posted ? dsBrowse : dsInsert);
  EXPECT_EQ(ds->RowCount(), GetParam().posted ? 11 : 10);
}

INSTANTIATE_TEST_SUITE_P(Actions, PostErrorTest,
                         ::testing::Values(PostErrorCase{daRetry, true, false}, PostErrorCase{daAbort, false, true},
                                           PostErrorCase{daFail, false, false}));

TEST_F(DataSetFixture, LastPostsAPendingAppend) {
  ds->Append();
  ds->FieldByName(u"ID")->SetAsInteger(11);
  ds->FieldByName(u"NAME")->SetAsString(u"n11");
  ds->Last();
  EXPECT_EQ(ds->State(), dsBrowse);
  EXPECT_EQ(Trace(), "3 [8,9,10,11] E");
  // An unmodified insert is dropped instead.
  ds->Append();
  ds->First();
  EXPECT_EQ(ds->RowCount(), 11);
}

class FilterTest : public DataSetFixture {
 public:
  void EvenOnly(TDataSet* aDataSet, bool& aAccept) { aAccept = aDataSet->FieldByName(u"ID")->AsInteger() % 2 == 0; }
};

TEST_F(FilterTest, OnFilterRecordHidesRowsWhileFiltered) {
  ds->SetOnFilterRecord(TFilterRecordEvent::Of<&FilterTest::EvenOnly>(this));
  EXPECT_EQ(Trace(), "0 [1,2,3,4] B");  // not filtered yet
  ds->SetFiltered(true);
  EXPECT_EQ(Trace(), "0 [2,4,6,8] B");
  EXPECT_EQ(ds->RecordCount(), 5);
  ds->Last();
  EXPECT_EQ(Trace(), "3 [4,6,8,10] E");
  ds->SetFiltered(false);
  EXPECT_EQ(ds->RecordCount(), 10);
  // FindFirst and FindNext use the filter without Filtered.
  EXPECT_TRUE(ds->FindFirst());
  EXPECT_EQ(Id(), 2);
  EXPECT_TRUE(ds->FindNext());
  EXPECT_EQ(Id(), 4);
  EXPECT_TRUE(ds->FindLast());
  EXPECT_EQ(Id(), 10);
  EXPECT_FALSE(ds->FindNext());
  EXPECT_FALSE(ds->Found());
}

TEST_F(DataSetFixture, BookmarksAreRowNumbers) {
  ds->MoveBy(6);
  const TBookmark mark = ds->GetBookmark();
  ASSERT_EQ(mark.size(), 4u);
  ds->First();
  ds->GotoBookmark(mark);
  EXPECT_EQ(Id(), 7);
  EXPECT_EQ(Trace(), "1 [6,7,8,9]");
  EXPECT_TRUE(ds->BookmarkValid(mark));
  EXPECT_FALSE(ds->BookmarkValid(TBookmark{1, 2}));
  ds->First();
  EXPECT_LT(ds->CompareBookmarks(ds->GetBookmark(), mark), 0);
  EXPECT_EQ(ds->CompareBookmarks(mark, mark), 0);
}

TEST_F(DataSetFixture, LocateAndLookup) {
  EXPECT_TRUE(ds->Locate(u"NAME", Variant(u"N7"), {loCaseInsensitive}));
  EXPECT_EQ(Id(), 7);
  EXPECT_FALSE(ds->Locate(u"NAME", Variant(u"N7"), {}));
  EXPECT_EQ(Id(), 7);
  EXPECT_TRUE(ds->Locate(u"ID;NAME", [] {
    Variant v = Variant::createArray(0, 1, varVariant);
    v.arrayPut(0, Variant(3));
    v.arrayPut(1, Variant(u"n3"));
    return v;
  }(), {}));
  EXPECT_EQ(Id(), 3);
  const std::string before = Trace();
  EXPECT_EQ(ds->Lookup(u"ID", Variant(9), u"NAME").toString(), u"n9");
  EXPECT_TRUE(ds->Lookup(u"ID", Variant(99), u"NAME").isNull());
  EXPECT_EQ(Trace(), before);
}

TEST_F(DataSetFixture, EditChangesTheRowOnPostOnly) {
  ds->MoveBy(1);
  ds->Edit();
  EXPECT_EQ(ds->State(), dsEdit);
  ds->FieldByName(u"NAME")->SetAsString(u"two");
  EXPECT_TRUE(ds->Modified());
  ds->Cancel();
  EXPECT_EQ(ds->FieldByName(u"NAME")->AsString(), u"n2");
  ds->Edit();
  ds->FieldByName(u"NAME")->SetAsString(u"two");
  ds->Next();  // CheckBrowseMode posts
  EXPECT_EQ(ds->State(), dsBrowse);
  ds->Prior();
  EXPECT_EQ(ds->FieldByName(u"NAME")->AsString(), u"two");
  EXPECT_THROW(ds->FieldByName(u"NAME")->SetAsString(u"x"), EDatabaseError);  // browsing
}

TEST_F(DataSetFixture, ClosedDatasetRefusesAndReopens) {
  ds->Close();
  EXPECT_FALSE(ds->Active());
  EXPECT_EQ(ds->FieldCount(), 0);  // default fields go with the cursor
  EXPECT_THROW(ds->Next(), EDatabaseError);
  ds->Open();
  EXPECT_EQ(Trace(), "0 [1,2,3,4] B");
}

TEST_F(DataSetFixture, EmptyDatasetIsBofAndEof) {
  ds->Close();
  for (int i = 9; i >= 0; --i) ds->DeleteRow(i);
  ds->Open();
  EXPECT_TRUE(ds->Bof());
  EXPECT_TRUE(ds->Eof());
  EXPECT_TRUE(ds->IsEmpty());
  ds->Edit();  // on an empty dataset: an insert
  EXPECT_EQ(ds->State(), dsInsert);
  ds->Cancel();
  EXPECT_EQ(Trace(), "0 [] B E");
}

TEST_F(DataSetFixture, BlockReadMovesForwardOnly) {
  ds->SetBlockReadSize(5);
  EXPECT_EQ(ds->State(), dsBlockRead);
  ds->Next();
  EXPECT_EQ(Id(), 2);
  ds->SetBlockReadSize(0);
  EXPECT_EQ(ds->State(), dsBrowse);
}

TEST_F(DataSetFixture, GrowingTheLinkWindowFillsTheRing) {
  ds->Last();
  link->SetBufferCount(6);
  EXPECT_EQ(ds->BufferCount(), 6);
  EXPECT_EQ(Trace(), "5 [5,6,7,8,9,10] E");
  link->SetBufferCount(2);
  EXPECT_EQ(ds->BufferCount(), 2);
  EXPECT_EQ(Trace(), "1 [9,10] E");
  EXPECT_EQ(link->ActiveRecord(), 1);
}

}  // namespace

namespace {

TEST_F(DataSetFixture, ProviderDefaultsAndUpdateErrors) {
  EXPECT_FALSE(ds->PSIsSQLBased());
  EXPECT_FALSE(ds->PSInTransaction());
  EXPECT_EQ(ds->PSGetQuoteChar(), u"\"");
  EXPECT_TRUE(ds->PSGetIndexDefs({}).empty());
  EXPECT_EQ(ds->PSGetDefaultOrder(), nullptr);
  TParams none;
  TDataSet* result = ds.get();
  EXPECT_EQ(ds->PSExecuteStatement(u"select 1", none, result), 0);
  EXPECT_EQ(result, nullptr);

  const EUpdateError first = [&] {
    try {
      DatabaseError(u"boom");
    } catch (...) {
      return ds->PSGetUpdateException(std::current_exception(), nullptr);
    }
  }();
  EXPECT_EQ(first.Message(), u"boom");
  EXPECT_EQ(first.PreviousError(), 0);
  EXPECT_THROW(std::rethrow_exception(first.OriginalException()), EDatabaseError);
  const EUpdateError previous(u"m", u"", 42, 0, nullptr);
  const EUpdateError second =
      ds->PSGetUpdateException(std::make_exception_ptr(std::runtime_error("plain")), &previous);
  EXPECT_EQ(second.Message(), u"plain");
  EXPECT_EQ(second.PreviousError(), 42);
  // An update error passes through unchanged.
  EXPECT_EQ(ds->PSGetUpdateException(std::make_exception_ptr(previous), nullptr).ErrorCode(), 42);
}

TEST_F(DataSetFixture, BookmarkStrCarriesTheBytes) {
  ds->MoveBy(2);
  UnicodeString expected(4, u'\0');
  expected[0] = 2;
  EXPECT_EQ(ds->GetBookmarkStr(), expected);
  ds->Append();
  EXPECT_TRUE(ds->GetBookmark().empty());  // no bookmark of an unposted record
  ds->Cancel();
}

}  // namespace

namespace {

TEST_F(DataSetFixture, TemporaryStatesKeepModifiedApart) {
  ds->Edit();
  ds->FieldByName(u"NAME")->SetAsString(u"e");
  ASSERT_TRUE(ds->Modified());
  // A key-editing pass starts unmodified, learns of its own field writes,
  // and the edit's flag is back afterwards.
  const TDataSetState saved = ds->SetTempState(dsSetKey);
  EXPECT_FALSE(ds->Modified());
  ds->DataEvent(deFieldChange, reinterpret_cast<std::intptr_t>(ds->FieldByName(u"ID")));
  EXPECT_TRUE(ds->Modified());
  ds->RestoreState(saved);
  EXPECT_EQ(ds->State(), dsEdit);
  EXPECT_TRUE(ds->Modified());
  ds->Cancel();
  EXPECT_FALSE(ds->Modified());
}

}  // namespace
