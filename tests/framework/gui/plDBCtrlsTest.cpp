// Data-aware controls over an in-memory dataset: the paged grid and its
// two-way record sync, the edit, memo and picture, and the navigator.
#include <gtest/gtest.h>

#include "plDBCtrls.h"
#include "plDBGrids.h"
#include "plDataLink.h"
#include "plGuiTestSupport.h"
#include "plVectorDataSet.h"

using namespace platform;
using namespace pltest;

namespace {

class DBControls : public GuiTest {
 protected:
  void SetUp() override {
    form.reset(platform::create<TForm>());
    form->SetClientSize(800, 600);
    ds.reset(platform::create<TVectorDataSet>());
    source.reset(platform::create<TDataSource>());
    source->SetDataSet(ds.get());
  }
  void TearDown() override {
    form.reset();
    source.reset();
    ds.reset();
  }
  TDBGrid* makeGrid() {
    TDBGrid* grid = platform::create<TDBGrid>(form.get());
    grid->SetParent(form.get());
    grid->SetBounds(0, 0, 600, 400);
    grid->SetDataSource(source.get());
    return grid;
  }
  int currentId() { return ds->FieldByName(u"ID")->AsInteger(); }

  Owned<TForm> form;
  Owned<TVectorDataSet> ds;
  Owned<TDataSource> source;
};

class CellPainter : public TObject {
 public:
  int calls = 0;
  void Draw(TDBGrid*, TDrawCellArgs& aArgs) {
    ++calls;
    if (!aArgs.Selected && aArgs.FieldValue(u"ID").toInt32() % 2 == 0) aArgs.BrushColor = 0x00FF9BFF;
  }
};

TEST_F(DBControls, GridPagesThroughFiftyThousandRowsAndFollowsTheDataSet) {
  ds->FieldDefs().Add(u"ID", ftInteger);
  ds->FieldDefs().Add(u"NAME", ftString, 20);
  for (int i = 1; i <= 50000; ++i) ds->AddRow({Variant(i), Variant(u"row " + fromUtf8(std::to_string(i)))});
  TDBGrid* grid = makeGrid();
  CellPainter painter;
  grid->OnDrawColumnCell = TDrawColumnCellEvent::Of<&CellPainter::Draw>(&painter);
  ds->Open();
  Application().ProcessMessages();

  // The first page only, the dataset's record selected.
  EXPECT_EQ(grid->LoadedRowCount(), TDBGrid::PageSize);
  EXPECT_FALSE(grid->AllRowsLoaded());
  ASSERT_EQ(grid->ColumnCount(), 2);
  EXPECT_EQ(grid->Columns(1).Title, u"NAME");
  EXPECT_EQ(grid->CellText(2, 1), u"row 3");
  EXPECT_EQ(grid->SelectedRow(), 0);
  EXPECT_EQ(currentId(), 1);

  // Clicking the third row moves the dataset there.
  const TRect third = grid->CellRect(2, 1);
  ASSERT_GT(third.Width(), 0);
  ProbeClick(grid, third.Left + 5, (third.Top + third.Bottom) / 2);
  EXPECT_EQ(currentId(), 3);
  EXPECT_EQ(grid->SelectedRow(), 2);

  // Painting reads the cache only: the current record stays.
  const TBookmark before = ds->GetBookmark();
  const TSnapshot shot = GrabControl(grid);
  SaveScreenshot(grid, artifactPath("gui/grid-draw-cell.png"));
  EXPECT_EQ(ds->GetBookmark(), before);
  EXPECT_EQ(currentId(), 3);
  EXPECT_GT(painter.calls, 0);
  // The handler's brush: even rows pink, odd rows in the window colour,
  // the selected row in the selection colour.
  const TRect even = grid->CellRect(1, 1);
  const TRect odd = grid->CellRect(0, 1);
  EXPECT_EQ(shot.At(even.Right - 3, (even.Top + even.Bottom) / 2), (TRgb{255, 155, 255}));
  EXPECT_EQ(shot.At(odd.Right - 3, (odd.Top + odd.Bottom) / 2), ColorToRgbTriple(clWindow));
  EXPECT_EQ(shot.At(third.Right - 3, (third.Top + third.Bottom) / 2), ColorToRgbTriple(clHighlight));

  // Scrolling to the end of what is loaded reads more pages.
  ProbeWheel(grid, 300, 200, 120);
  EXPECT_GT(grid->LoadedRowCount(), TDBGrid::PageSize);
  EXPECT_EQ(currentId(), 3);

  // Moving the dataset to its last row selects it, reading up to it.
  ds->Last();
  Application().ProcessMessages();
  EXPECT_TRUE(grid->AllRowsLoaded());
  EXPECT_EQ(grid->LoadedRowCount(), 50000);
  EXPECT_EQ(grid->SelectedRow(), 49999);
  EXPECT_EQ(grid->CellText(49999, 0), u"50000");
  EXPECT_EQ(currentId(), 50000);
  ds->Prior();
  EXPECT_EQ(grid->SelectedRow(), 49998);
}

TEST_F(DBControls, GridRebuildsOnCloseReopenAndPost) {
  ds->FieldDefs().Add(u"ID", ftInteger);
  ds->FieldDefs().Add(u"NAME", ftString, 20);
  for (int i = 1; i <= 5; ++i) ds->AddRow({Variant(i), Variant(u"n")});
  TDBGrid* grid = makeGrid();
  ds->Open();
  Application().ProcessMessages();
  EXPECT_EQ(grid->LoadedRowCount(), 5);
  EXPECT_TRUE(grid->AllRowsLoaded());

  // A posted append shows after the event.
  ds->Append();
  ds->FieldByName(u"ID")->SetAsInteger(6);
  ds->Post();
  Application().ProcessMessages();
  EXPECT_EQ(grid->LoadedRowCount(), 6);
  EXPECT_EQ(grid->SelectedRow(), 5);

  // Closing drops the rows at once; reopening with other fields rebuilds
  // the columns.
  ds->Close();
  EXPECT_EQ(grid->LoadedRowCount(), 0);
  EXPECT_EQ(grid->ColumnCount(), 0);
  while (ds->RowCount() > 0) ds->DeleteRow(0);
  ds->FieldDefs().Clear();
  ds->FieldDefs().Add(u"CODE", ftString, 10);
  ds->FieldDefs().Add(u"RATE", ftFloat);
  ds->FieldDefs().Add(u"NOTE", ftString, 10);
  ds->AddRow({Variant(u"A"), Variant(62.5), Variant()});
  ds->Open();
  Application().ProcessMessages();
  ASSERT_EQ(grid->ColumnCount(), 3);
  EXPECT_EQ(grid->Columns(0).FieldName, u"CODE");
  EXPECT_EQ(grid->Columns(1).Alignment, taRightJustify);
  EXPECT_EQ(grid->CellText(0, 1), u"62.5");
  EXPECT_EQ(grid->CellText(0, 2), u"");  // NULL
}

TEST_F(DBControls, GridWithGivenColumnsAndCellSelection) {
  ds->FieldDefs().Add(u"ID", ftInteger);
  ds->FieldDefs().Add(u"CKMARK", ftString, 4);
  ds->AddRow({Variant(7), Variant(u"◆")});
  ds->AddRow({Variant(8), Variant()});
  TDBGrid* grid = makeGrid();
  grid->AddColumn({u"ckmark", u"チェック", taCenter, taCenter, clRed, 80});
  grid->AddColumn({u"missing", u"", taLeftJustify, taLeftJustify, clWindowText, 60});
  grid->SetRowSelect(false);
  struct Mover : TObject {
    std::vector<std::pair<int, int>> moves;
    void Move(TObject*, TShiftState, int aX, int aY) { moves.emplace_back(aX, aY); }
  } mover;
  grid->OnMouseMove = TMouseMoveEvent::Of<&Mover::Move>(&mover);
  ds->Open();
  Application().ProcessMessages();
  ASSERT_EQ(grid->ColumnCount(), 2);
  EXPECT_EQ(grid->Columns(0).Title, u"チェック");
  EXPECT_EQ(grid->Columns(1).Title, u"missing");
  EXPECT_EQ(grid->CellText(0, 0), u"◆");
  EXPECT_EQ(grid->CellText(0, 1), u"");

  const TRect cell = grid->CellRect(1, 0);
  ProbeClick(grid, cell.Left + 4, cell.Top + 4);
  EXPECT_EQ(currentId(), 8);
  ProbeMouseMove(grid, cell.Left + 10, cell.Top + 3);
  ASSERT_FALSE(mover.moves.empty());
  EXPECT_EQ(mover.moves.back(), std::make_pair(cell.Left + 10, cell.Top + 3));
}

TEST_F(DBControls, GridNeverPostsAPendingEdit) {
  ds->FieldDefs().Add(u"ID", ftInteger);
  for (int i = 1; i <= 3; ++i) ds->AddRow({Variant(i)});
  TDBGrid* grid = makeGrid();
  ds->Open();
  ds->Append();  // before the grid's first read
  Application().ProcessMessages();
  EXPECT_EQ(ds->State(), dsInsert);
  ds->Cancel();
  Application().ProcessMessages();
  EXPECT_EQ(grid->LoadedRowCount(), 3);
}

TEST_F(DBControls, EditMemoAndImageFollowTheCurrentRecord) {
  ds->FieldDefs().Add(u"ID", ftInteger);
  ds->FieldDefs().Add(u"NOTE", ftWideMemo);
  ds->FieldDefs().Add(u"FIG", ftGraphic);
  const auto png = EncodePicture("PNG", 10, 8, clRed);
  const auto bmp = EncodePicture("BMP", 12, 9, clBlue);
  const auto jpeg = EncodePicture("JPEG", 16, 16, clGreen);
  struct Input {
    int id;
    const char16_t* note;  // null: NULL
    std::vector<std::uint8_t> fig;  // empty: NULL
  };
  const Input inputs[] = {{1, u"一行目\n二行目", png}, {2, u"b", bmp}, {3, nullptr, jpeg}, {4, u"d", {}},
                          {5, u"e", {1, 2, 3, 4}}};
  ds->Open();
  for (const Input& in : inputs) {
    ds->Append();
    ds->FieldByName(u"ID")->SetAsInteger(in.id);
    if (in.note) ds->FieldByName(u"NOTE")->SetAsString(in.note);
    if (!in.fig.empty()) ds->FieldByName(u"FIG")->SetAsBytes(in.fig);
    ds->Post();
  }
  ds->Close();

  auto* id = platform::create<TDBEdit>(form.get());
  id->SetParent(form.get());
  id->SetDataSource(source.get());
  id->SetDataField(u"ID");
  auto* note = platform::create<TDBMemo>(form.get());
  note->SetParent(form.get());
  note->SetDataSource(source.get());
  note->SetDataField(u"NOTE");
  auto* fig = platform::create<TDBImage>(form.get());
  fig->SetParent(form.get());
  fig->SetBounds(0, 100, 100, 100);
  fig->SetDataSource(source.get());
  fig->SetDataField(u"FIG");
  EXPECT_EQ(id->Text(), u"");  // closed

  ds->Open();
  struct Row {
    UnicodeString id, note;
    int width, height;
  };
  const Row expected[] = {{u"1", u"一行目\n二行目", 10, 8}, {u"2", u"b", 12, 9}, {u"3", u"", 16, 16},
                          {u"4", u"d", 0, 0},               {u"5", u"e", 0, 0}};
  for (const Row& row : expected) {
    SCOPED_TRACE(toUtf8(row.id));
    EXPECT_EQ(id->Text(), row.id);
    EXPECT_EQ(note->Text(), row.note);
    EXPECT_EQ(fig->HasPicture(), row.width > 0);
    EXPECT_EQ(fig->PictureWidth(), row.width);
    EXPECT_EQ(fig->PictureHeight(), row.height);
    ds->Next();
  }
  // The picture is drawn; hidden, it is not.
  ds->First();
  const TSnapshot shot = GrabControl(fig);
  EXPECT_EQ(shot.At(3, 3), (TRgb{255, 0, 0}));
  fig->SetVisible(false);
  EXPECT_FALSE(fig->Visible());

  // A text set in code shows until the record changes; field edits show at once.
  id->SetText(u"◆");
  EXPECT_EQ(id->Text(), u"◆");
  ds->Edit();
  ds->FieldByName(u"ID")->SetAsInteger(11);
  EXPECT_EQ(id->Text(), u"11");
  ds->Cancel();
  EXPECT_EQ(id->Text(), u"1");
  id->SetFontColor(clWindow);
  EXPECT_EQ(id->Font().Color, clWindow);
  ds->Close();
  EXPECT_EQ(id->Text(), u"");
  EXPECT_FALSE(fig->HasPicture());
}

TEST_F(DBControls, NavigatorLastPostsAPendingAppend) {
  ds->FieldDefs().Add(u"ID", ftInteger);
  ds->FieldDefs().Add(u"START", ftDateTime);
  ds->AddRow({Variant(1), Variant()});
  ds->AddRow({Variant(2), Variant()});
  auto* nav = platform::create<TDBNavigator>(form.get());
  nav->SetParent(form.get());
  nav->SetVisible(false);
  nav->SetDataSource(source.get());
  ds->Open();
  nav->BtnClick(nbLast);
  EXPECT_EQ(currentId(), 2);
  nav->BtnClick(nbFirst);
  EXPECT_EQ(currentId(), 1);
  nav->BtnClick(nbNext);
  EXPECT_EQ(currentId(), 2);
  nav->BtnClick(nbPrior);
  EXPECT_EQ(currentId(), 1);

  int posts = 0;
  ds->OnInternalPost = [&posts] { ++posts; };
  ds->Append();
  ds->FieldByName(u"ID")->SetAsInteger(3);
  nav->BtnClick(nbLast);
  EXPECT_EQ(posts, 1);
  EXPECT_EQ(ds->State(), dsBrowse);
  EXPECT_EQ(ds->RowCount(), 3);
  EXPECT_EQ(ds->RecordCount(), 3);
  EXPECT_EQ(currentId(), 3);

  ds->Edit();
  ds->FieldByName(u"ID")->SetAsInteger(30);
  nav->BtnClick(nbLast);
  EXPECT_EQ(posts, 2);
  EXPECT_EQ(ds->State(), dsBrowse);
  EXPECT_EQ(currentId(), 30);
  ds->OnInternalPost = nullptr;
}

}  // namespace
