// Data sources and links: the events a link hears, its record window,
// disabled controls, master links and circles.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

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

class RecordingLink : public TDataLink {
 public:
  std::vector<std::string> events;

 protected:
  void ActiveChanged() override { events.push_back(Active() ? "active" : "inactive"); }
  void CheckBrowseMode() override { events.push_back("checkbrowse"); }
  void DataSetChanged() override { events.push_back("changed"); }
  void DataSetScrolled(int aDistance) override { events.push_back("scrolled " + std::to_string(aDistance)); }
  void EditingChanged() override { events.push_back(Editing() ? "editing" : "browsing"); }
  void LayoutChanged() override { events.push_back("layout"); }
  void RecordChanged(TField* aField) override {
    events.push_back(aField ? "field " + toUtf8(aField->FieldName()) : "record");
  }
  void UpdateData() override { events.push_back("update"); }
};

Owned<TVectorDataSet> makeDataSet(int aRows) {
  Owned<TVectorDataSet> ds(platform::create<TVectorDataSet>());
  ds->FieldDefs().Add(u"ID", ftInteger);
  ds->FieldDefs().Add(u"NAME", ftString, 10);
  for (int i = 1; i <= aRows; ++i) ds->AddRow({Variant(i), Variant(u"n")});
  return ds;
}

TEST(DataLinks, RecordingLinkSeesEditFieldPostScrollClose) {
  auto ds = makeDataSet(3);
  Owned<TDataSource> source(platform::create<TDataSource>());
  source->SetDataSet(ds.get());
  Owned<RecordingLink> link(platform::create<RecordingLink>());
  link->SetDataSource(source.get());
  EXPECT_TRUE(link->events.empty());  // the dataset is closed
  ds->Open();
  EXPECT_EQ(link->events, std::vector<std::string>{"active"});
  link->events.clear();

  ds->Edit();
  ds->FieldByName(u"NAME")->SetAsString(u"x");
  ds->Post();
  ds->Next();
  ds->Close();
  const std::vector<std::string> expected = {"checkbrowse", "editing",     "record",   "field NAME",
                                             "update",      "checkbrowse", "browsing", "changed",
                                             "checkbrowse", "scrolled 1",  "inactive"};
  EXPECT_EQ(link->events, expected);
}

TEST(DataLinks, WindowFollowsTheActiveRecordAsGridsNeed) {
  auto ds = makeDataSet(10);
  Owned<TDataSource> source(platform::create<TDataSource>());
  source->SetDataSet(ds.get());
  Owned<RecordingLink> grid(platform::create<RecordingLink>());
  grid->SetBufferCount(3);
  grid->SetDataSource(source.get());
  ds->Open();
  EXPECT_EQ(ds->BufferCount(), 3);
  EXPECT_EQ(grid->RecordCount(), 3);
  grid->events.clear();

  ds->Next();
  ds->Next();  // inside the window: no rows move
  ds->Next();  // the ring rotates, the window keeps the active row at its end
  ds->Prior();
  ds->Prior();
  ds->Prior();  // back to the top: the window scrolls up
  EXPECT_EQ(grid->events, (std::vector<std::string>{"checkbrowse", "scrolled 0", "checkbrowse", "scrolled 0",
                                                     "checkbrowse", "scrolled 1", "checkbrowse", "scrolled 0",
                                                     "checkbrowse", "scrolled 0", "checkbrowse", "scrolled -1"}));
  EXPECT_EQ(grid->ActiveRecord(), 0);

  // A grid paints its rows by making each one active in turn.
  TField* id = ds->FieldByName(u"ID");
  std::vector<int> rows;
  const int save = grid->ActiveRecord();
  for (int i = 0; i < grid->RecordCount(); ++i) {
    grid->SetActiveRecord(i);
    rows.push_back(id->AsInteger());
  }
  grid->SetActiveRecord(save);
  EXPECT_EQ(rows, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(id->AsInteger(), 1);

  // A second link with a larger window grows the ring; the first link keeps
  // its window of three around the active record.
  Owned<TDataLink> big(platform::create<TDataLink>());
  big->SetBufferCount(5);
  big->SetDataSource(source.get());
  EXPECT_EQ(ds->BufferCount(), 5);
  ds->Last();
  EXPECT_EQ(big->ActiveRecord(), 4);
  EXPECT_EQ(grid->ActiveRecord(), 2);
  EXPECT_EQ(grid->FirstRecord(), 2);
  big.reset();
  EXPECT_EQ(ds->BufferCount(), 3);
}

TEST(DataLinks, DisabledControlsHearOneChangeAtTheEnd) {
  auto ds = makeDataSet(5);
  Owned<TDataSource> source(platform::create<TDataSource>());
  source->SetDataSet(ds.get());
  ds->Open();
  Owned<RecordingLink> link(platform::create<RecordingLink>());
  link->SetDataSource(source.get());
  link->events.clear();
  ds->DisableControls();
  ds->DisableControls();
  ds->Next();
  ds->Edit();
  ds->FieldByName(u"NAME")->SetAsString(u"y");
  ds->Post();
  ds->Last();
  ds->EnableControls();
  EXPECT_TRUE(link->events.empty());
  ds->EnableControls();
  EXPECT_EQ(link->events, std::vector<std::string>{"changed"});
  EXPECT_FALSE(ds->ControlsDisabled());
  // A disabled source keeps its links inactive.
  source->SetEnabled(false);
  EXPECT_FALSE(link->Active());
  source->SetEnabled(true);
  EXPECT_TRUE(link->Active());
}

class MasterDetail : public ::testing::Test {
 public:
  void OnChange(TMasterDataLink*) { ++changes; }
  void OnDisable(TMasterDataLink*) { ++disables; }
  int changes = 0;
  int disables = 0;
};

TEST_F(MasterDetail, MasterLinkFollowsItsFields) {
  auto master = makeDataSet(3);
  auto detail = makeDataSet(1);
  Owned<TDataSource> source(platform::create<TDataSource>());
  source->SetDataSet(master.get());
  master->Open();
  detail->Open();
  Owned<TMasterDataLink> link(platform::create<TMasterDataLink>(detail.get()));
  link->OnMasterChange = TnxMethod<TMasterDataLink*>::Of<&MasterDetail::OnChange>(this);
  link->OnMasterDisable = TnxMethod<TMasterDataLink*>::Of<&MasterDetail::OnDisable>(this);
  link->SetFieldNames(u"ID");
  link->SetDataSource(source.get());
  ASSERT_EQ(link->Fields().size(), 1u);
  EXPECT_EQ(link->Fields()[0], master->FieldByName(u"ID"));
  EXPECT_EQ(changes, 1);
  master->Next();
  EXPECT_EQ(changes, 2);
  master->Edit();  // the whole record changes
  EXPECT_EQ(changes, 3);
  master->FieldByName(u"NAME")->SetAsString(u"z");  // not a master field
  EXPECT_EQ(changes, 3);
  master->FieldByName(u"ID")->SetAsInteger(20);
  EXPECT_EQ(changes, 4);
  master->Cancel();
  master->Close();
  EXPECT_EQ(disables, 1);
  EXPECT_TRUE(link->Fields().empty());
}

// A dataset with a master source of its own.
class DetailDataSet : public TVectorDataSet {
 public:
  TDataSource* GetDataSource() const override { return master; }
  TDataSource* master = nullptr;
};

TEST(DataLinks, CircularLinksAreRefused) {
  Owned<DetailDataSet> a(platform::create<DetailDataSet>());
  Owned<DetailDataSet> b(platform::create<DetailDataSet>());
  Owned<TDataSource> sa(platform::create<TDataSource>());
  Owned<TDataSource> sb(platform::create<TDataSource>());
  sa->SetDataSet(a.get());
  sb->SetDataSet(b.get());
  b->master = sa.get();  // b follows a
  EXPECT_TRUE(a->IsLinkedTo(sb.get()));  // a following b would close a circle
  EXPECT_FALSE(b->IsLinkedTo(sa.get()));
  // A source cannot take a dataset that follows that very source.
  Owned<DetailDataSet> c(platform::create<DetailDataSet>());
  Owned<TDataSource> sc(platform::create<TDataSource>());
  c->master = sc.get();
  try {
    sc->SetDataSet(c.get());
    FAIL() << "circle accepted";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), u"データリンクが循環しています");
  }
  EXPECT_EQ(sc->DataSet(), nullptr);
  c->master = nullptr;
}

TEST(DataLinks, FreeingTheDataSetDetachesSourcesAndLinks) {
  auto ds = makeDataSet(2);
  Owned<TDataSource> source(platform::create<TDataSource>());
  source->SetDataSet(ds.get());
  ds->Open();
  Owned<RecordingLink> link(platform::create<RecordingLink>());
  link->SetDataSource(source.get());
  ds.reset();
  EXPECT_EQ(source->DataSet(), nullptr);
  EXPECT_FALSE(link->Active());
  source.reset();
  EXPECT_EQ(link->DataSource(), nullptr);
}

}  // namespace
