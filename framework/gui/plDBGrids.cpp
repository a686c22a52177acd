#include "plDBGrids.h"

#include <QAbstractTableModel>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QTableView>
#include <string>
#include <unordered_map>

#include "plGuiInt.h"

namespace platform {

// Outside the anonymous namespace: TDBGridPriv holds one, and a unity batch
// includes this file, where that would make TDBGridPriv's linkage unclear.
class TGridModel;

namespace {

bool isTextBlob(TFieldType aType) { return aType == ftMemo || aType == ftWideMemo || aType == ftFmtMemo; }

bool isNumeric(TFieldType aType) {
  switch (aType) {
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftFloat:
    case ftCurrency:
    case ftBCD:
    case ftAutoInc:
    case ftLargeint:
    case ftFMTBcd:
    case ftLongWord:
    case ftShortint:
    case ftByte:
    case ftExtended:
    case ftSingle:
      return true;
    default:
      return false;
  }
}

}  // namespace

struct TDBGridPriv {
  struct Row {
    TBookmark bookmark;
    std::vector<Variant> values;  // per field of the dataset
    std::vector<QString> texts;   // per shown column
  };

  TDBGrid* grid = nullptr;
  QPointer<QTableView> view;
  QPointer<TGridModel> model;
  TGuiDataLink* link = nullptr;
  std::vector<TColumn> given;
  std::vector<TColumn> shown;
  std::vector<UnicodeString> fieldNames;
  std::vector<Row> rows;
  std::unordered_map<std::string, int> index;  // by bookmark bytes
  static std::string key(const TBookmark& aBookmark) { return std::string(aBookmark.begin(), aBookmark.end()); }
  bool allLoaded = true;
  bool rowSelect = true;
  enum Work { wRefresh, wLocate, wFetch };
  bool pending[3] = {false, false, false};
  bool syncing = false;  // the grid selects a row itself
  bool moving = false;   // the grid moves the dataset itself

  TDataSet* dataSet() const { return link ? link->OpenDataSet() : nullptr; }
  void buildColumns();
  void clear();
  // Work runs after the current event: never inside a data event of the dataset.
  void schedule(Work aWork);
  void refresh();
  bool fetchPage();
  void readRow(TDataSet* aDataSet, Row& aRow) const;
  void syncSelection(bool aFetch);
  void selectRow(int aRow);
  void moveTo(int aRow);
  void recordChanged();
  void applyWidths();
  int fieldIndex(UnicodeStringView aName) const {
    for (std::size_t i = 0; i < fieldNames.size(); ++i)
      if (sameTextAscii(fieldNames[i], aName)) return static_cast<int>(i);
    return -1;
  }
  void paintCell(QPainter* aPainter, const QStyleOptionViewItem& aOption, const QModelIndex& aIndex) const;
};

namespace {

Qt::Alignment cellAlign(TAlignment aAlignment) {
  switch (aAlignment) {
    case taRightJustify:
      return Qt::AlignRight | Qt::AlignVCenter;
    case taCenter:
      return Qt::AlignHCenter | Qt::AlignVCenter;
    default:
      return Qt::AlignLeft | Qt::AlignVCenter;
  }
}

}  // namespace

class TGridModel : public QAbstractTableModel {
 public:
  TGridModel(TDBGridPriv* aGrid, QObject* aParent) : QAbstractTableModel(aParent), gm(aGrid) {}
  int rowCount(const QModelIndex& aParent) const override {
    return aParent.isValid() ? 0 : static_cast<int>(gm->rows.size());
  }
  int columnCount(const QModelIndex& aParent) const override {
    return aParent.isValid() ? 0 : static_cast<int>(gm->shown.size());
  }
  QVariant data(const QModelIndex& aIndex, int aRole) const override {
    if (!aIndex.isValid()) return {};
    const auto r = static_cast<std::size_t>(aIndex.row());
    const auto c = static_cast<std::size_t>(aIndex.column());
    if (r >= gm->rows.size() || c >= gm->shown.size()) return {};
    if (aRole == Qt::DisplayRole) return gm->rows[r].texts[c];
    if (aRole == Qt::TextAlignmentRole) return QVariant::fromValue(cellAlign(gm->shown[c].Alignment));
    return {};
  }
  QVariant headerData(int aSection, Qt::Orientation aOrientation, int aRole) const override {
    if (aOrientation != Qt::Horizontal || aSection < 0 || aSection >= static_cast<int>(gm->shown.size())) return {};
    const TColumn& col = gm->shown[static_cast<std::size_t>(aSection)];
    if (aRole == Qt::DisplayRole) return toQ(col.Title);
    if (aRole == Qt::TextAlignmentRole) return QVariant::fromValue(cellAlign(col.TitleAlignment));
    return {};
  }
  Qt::ItemFlags flags(const QModelIndex& aIndex) const override {
    return aIndex.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
  }
  bool canFetchMore(const QModelIndex& aParent) const override { return !aParent.isValid() && !gm->allLoaded; }
  void fetchMore(const QModelIndex& aParent) override {
    if (!aParent.isValid()) gm->schedule(TDBGridPriv::wFetch);
  }
  void BeginReset() { beginResetModel(); }
  void EndReset() { endResetModel(); }
  void BeginInsert(int aFirst, int aLast) { beginInsertRows(QModelIndex(), aFirst, aLast); }
  void EndInsert() { endInsertRows(); }
  void RowChanged(int aRow) {
    emit dataChanged(index(aRow, 0), index(aRow, std::max(0, columnCount(QModelIndex()) - 1)));
  }

 private:
  TDBGridPriv* gm;
};

namespace {

class TCellDelegate : public QStyledItemDelegate {
 public:
  TCellDelegate(const TDBGridPriv* aGrid, QObject* aParent) : QStyledItemDelegate(aParent), cd(aGrid) {}
  void paint(QPainter* aPainter, const QStyleOptionViewItem& aOption, const QModelIndex& aIndex) const override {
    cd->paintCell(aPainter, aOption, aIndex);
  }

 private:
  const TDBGridPriv* cd;
};

class TGridMouseFilter : public QObject {
 public:
  TGridMouseFilter(TDBGrid* aGrid, QObject* aParent) : QObject(aParent), mf(aGrid) {}
  bool eventFilter(QObject* aObject, QEvent* aEvent) override {
    if (aEvent->type() == QEvent::MouseMove && mf->OnMouseMove) {
      auto* e = static_cast<QMouseEvent*>(aEvent);
      QWidget* grid = mf->Priv().widget;
      const QPoint p = grid ? static_cast<QWidget*>(aObject)->mapTo(grid, e->position().toPoint()) : QPoint();
      TShiftState shift = 0;
      if (e->modifiers() & Qt::ShiftModifier) shift |= ssShift;
      if (e->modifiers() & Qt::AltModifier) shift |= ssAlt;
      if (e->modifiers() & Qt::ControlModifier) shift |= ssCtrl;
      if (e->buttons() & Qt::LeftButton) shift |= ssLeft;
      if (e->buttons() & Qt::RightButton) shift |= ssRight;
      guiCall([&] { mf->OnMouseMove(mf, shift, p.x(), p.y()); });
    }
    return QObject::eventFilter(aObject, aEvent);
  }

 private:
  TDBGrid* mf;
};

QTableView* makeTable() {
  RequireApplication();
  return new QTableView();
}

}  // namespace

// ---------------------------------------------------------------------------

Variant TDrawCellArgs::FieldValue(UnicodeStringView aFieldName) const {
  if (!dcGrid || Row < 0 || Row >= static_cast<int>(dcGrid->rows.size())) return {};
  const int i = dcGrid->fieldIndex(aFieldName);
  if (i < 0) return {};
  return dcGrid->rows[static_cast<std::size_t>(Row)].values[static_cast<std::size_t>(i)];
}

void TDBGridPriv::paintCell(QPainter* aPainter, const QStyleOptionViewItem& aOption, const QModelIndex& aIndex) const {
  const auto r = static_cast<std::size_t>(aIndex.row());
  const auto c = static_cast<std::size_t>(aIndex.column());
  if (r >= rows.size() || c >= shown.size()) return;
  TDrawCellArgs args;
  args.dcGrid = this;
  args.Row = aIndex.row();
  args.Column = aIndex.column();
  args.ColumnInfo = &shown[c];
  args.Selected = (aOption.state & QStyle::State_Selected) != 0;
  args.Text = fromQ(rows[r].texts[c]);
  args.BrushColor = args.Selected ? clHighlight : grid->Color();
  args.FontColor = args.Selected ? clHighlightText : shown[c].FontColor;
  if (grid->OnDrawColumnCell) guiCall([&] { grid->OnDrawColumnCell(grid, args); });
  QColor brush, pen;
  guiCall([&] {
    brush = toQColor(args.BrushColor);
    pen = toQColor(args.FontColor);
  });
  aPainter->save();
  aPainter->fillRect(aOption.rect, brush);
  aPainter->setPen(pen);
  aPainter->setFont(aOption.font);
  const QRect text = aOption.rect.adjusted(3, 0, -3, 0);
  aPainter->drawText(text, static_cast<int>(cellAlign(shown[c].Alignment)),
                     aOption.fontMetrics.elidedText(rows[r].texts[c], Qt::ElideRight, text.width()));
  aPainter->restore();
}

void TDBGridPriv::buildColumns() {
  fieldNames.clear();
  TDataSet* ds = dataSet();
  if (ds)
    for (int i = 0; i < ds->FieldCount(); ++i) fieldNames.push_back(ds->Fields().Fields(i)->FieldName());
  if (!given.empty()) {
    shown = given;
    for (TColumn& col : shown)
      if (col.Title.empty()) {
        TField* f = ds ? ds->FindField(col.FieldName) : nullptr;
        col.Title = f ? f->DisplayName() : col.FieldName;
      }
    return;
  }
  shown.clear();
  if (!ds) return;
  for (int i = 0; i < ds->FieldCount(); ++i) {
    TField* f = ds->Fields().Fields(i);
    if (!f->Visible()) continue;
    TColumn col;
    col.FieldName = f->FieldName();
    col.Title = f->DisplayName();
    col.Alignment = isNumeric(f->DataType()) ? taRightJustify : taLeftJustify;
    shown.push_back(col);
  }
}

void TDBGridPriv::applyWidths() {
  if (!view) return;
  for (std::size_t i = 0; i < shown.size(); ++i) view->setColumnWidth(static_cast<int>(i), shown[i].Width);
}

void TDBGridPriv::clear() {
  if (!model) return;
  model->BeginReset();
  rows.clear();
  index.clear();
  allLoaded = true;
  buildColumns();
  model->EndReset();
  applyWidths();
}

void TDBGridPriv::schedule(Work aWork) {
  if (pending[aWork] || !view) return;
  pending[aWork] = true;
  QMetaObject::invokeMethod(
      view,
      [this, aWork] {
        pending[aWork] = false;
        guiCall([this, aWork] {
          switch (aWork) {
            case wRefresh:
              refresh();
              break;
            case wLocate:
              syncSelection(true);
              break;
            case wFetch:
              fetchPage();
              break;
          }
        });
      },
      Qt::QueuedConnection);
}

void TDBGridPriv::refresh() {
  if (!model) return;
  TDataSet* ds = dataSet();
  model->BeginReset();
  rows.clear();
  index.clear();
  allLoaded = ds == nullptr;
  buildColumns();
  model->EndReset();
  applyWidths();
  if (!ds) return;
  fetchPage();
  syncSelection(true);
}

void TDBGridPriv::readRow(TDataSet* aDataSet, Row& aRow) const {
  aRow.bookmark = aDataSet->GetBookmark();
  aRow.values.assign(fieldNames.size(), Variant());
  for (std::size_t i = 0; i < fieldNames.size(); ++i) {
    TField* f = aDataSet->FindField(fieldNames[i]);
    if (!f) continue;
    if (f->IsNull())
      aRow.values[i] = Variant::null();
    else if (!f->IsBlob() || isTextBlob(f->DataType()))
      aRow.values[i] = f->AsVariant();
  }
  aRow.texts.assign(shown.size(), QString());
  for (std::size_t c = 0; c < shown.size(); ++c) {
    TField* f = aDataSet->FindField(shown[c].FieldName);
    if (!f || f->IsNull() || (f->IsBlob() && !isTextBlob(f->DataType()))) continue;
    aRow.texts[c] = toQ(f->AsString());
  }
}

bool TDBGridPriv::fetchPage() {
  TDataSet* ds = dataSet();
  if (allLoaded || !model || !TDataSetScan::CanScan(ds)) return false;
  std::vector<Row> page;
  {
    TDataSetScan scan(ds);
    if (rows.empty()) {
      ds->First();
    } else {
      ds->GotoBookmark(rows.back().bookmark);
      ds->Next();
    }
    while (!ds->Eof() && static_cast<int>(page.size()) < TDBGrid::PageSize) {
      Row r;
      readRow(ds, r);
      page.push_back(std::move(r));
      ds->Next();
    }
    if (ds->Eof()) allLoaded = true;
  }
  if (page.empty()) return false;
  const int first = static_cast<int>(rows.size());
  model->BeginInsert(first, first + static_cast<int>(page.size()) - 1);
  for (Row& r : page) {
    index[key(r.bookmark)] = static_cast<int>(rows.size());
    rows.push_back(std::move(r));
  }
  model->EndInsert();
  return true;
}

void TDBGridPriv::syncSelection(bool aFetch) {
  TDataSet* ds = dataSet();
  if (!ds || !view) return;
  const TBookmark bm = ds->GetBookmark();
  if (bm.empty()) return;
  auto it = index.find(key(bm));
  while (it == index.end() && aFetch && !allLoaded) {
    if (!fetchPage()) break;
    it = index.find(key(bm));
  }
  if (it != index.end())
    selectRow(it->second);
  else if (!aFetch && !allLoaded)
    schedule(wLocate);
}

void TDBGridPriv::selectRow(int aRow) {
  if (!view || !model) return;
  const int column = std::max(0, view->currentIndex().column());
  const QModelIndex idx = model->index(aRow, std::min(column, std::max(0, model->columnCount(QModelIndex()) - 1)));
  if (!idx.isValid()) return;
  syncing = true;
  view->selectionModel()->setCurrentIndex(
      idx, QItemSelectionModel::ClearAndSelect | (rowSelect ? QItemSelectionModel::Rows : QItemSelectionModel::NoUpdate));
  if (!rowSelect) view->selectionModel()->select(idx, QItemSelectionModel::ClearAndSelect);
  view->scrollTo(idx);
  syncing = false;
}

void TDBGridPriv::moveTo(int aRow) {
  TDataSet* ds = dataSet();
  if (!ds || aRow < 0 || aRow >= static_cast<int>(rows.size())) return;
  if (ds->GetBookmark() == rows[static_cast<std::size_t>(aRow)].bookmark) return;
  moving = true;
  try {
    ds->GotoBookmark(rows[static_cast<std::size_t>(aRow)].bookmark);
  } catch (...) {
    moving = false;
    throw;
  }
  moving = false;
}

void TDBGridPriv::recordChanged() {
  TDataSet* ds = dataSet();
  if (!ds || !model) return;
  const auto it = index.find(key(ds->GetBookmark()));
  if (it == index.end()) return;
  readRow(ds, rows[static_cast<std::size_t>(it->second)]);
  model->RowChanged(it->second);
}

// ---------------------------------------------------------------------------

PL_CLASS_INFO_IMPL(TDBGrid, TControl, "TDBGrid", &factoryFor<TDBGrid>)

TDBGrid::TDBGrid(TComponent* aOwner) : TControl(aOwner, new TControlPriv(makeTable())) {
  dgPriv = std::make_unique<TDBGridPriv>();
  TDBGridPriv& p = *dgPriv;
  p.grid = this;
  auto* view = static_cast<QTableView*>(Priv().widget.data());
  p.view = view;
  p.model = new TGridModel(&p, view);
  view->setModel(p.model);
  view->setItemDelegate(new TCellDelegate(&p, view));
  view->setEditTriggers(QAbstractItemView::NoEditTriggers);
  view->setSelectionMode(QAbstractItemView::SingleSelection);
  view->setSelectionBehavior(QAbstractItemView::SelectRows);
  view->verticalHeader()->hide();
  view->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  view->horizontalHeader()->setHighlightSections(false);
  view->setWordWrap(false);
  view->viewport()->setMouseTracking(true);
  view->viewport()->installEventFilter(new TGridMouseFilter(this, view));
  QObject::connect(view->selectionModel(), &QItemSelectionModel::currentChanged, view,
                   [&p](const QModelIndex& aCurrent, const QModelIndex&) {
                     if (p.syncing || !aCurrent.isValid()) return;
                     guiCall([&p, row = aCurrent.row()] { p.moveTo(row); });
                   });
  SetColor(clWindow);

  p.link = platform::create<TGuiDataLink>();
  TGuiDataLink& link = *p.link;
  link.onActive = [&p] {
    p.clear();
    if (p.link->Open()) p.schedule(TDBGridPriv::wRefresh);
  };
  link.onChanged = [&p] {
    TDataSet* ds = p.link->DataSet();
    if (guiScanning(ds)) return;
    if (p.moving)
      p.syncSelection(false);
    else
      p.schedule(TDBGridPriv::wRefresh);
  };
  link.onScrolled = [&p] {
    if (!guiScanning(p.link->DataSet())) p.syncSelection(false);
  };
  link.onLayout = [&p] {
    if (guiScanning(p.link->DataSet())) return;
    p.clear();
    p.schedule(TDBGridPriv::wRefresh);
  };
  link.onRecord = [&p](TField*) {
    if (!guiScanning(p.link->DataSet())) p.recordChanged();
  };
}

TDBGrid::~TDBGrid() {
  dgPriv->link->DropCallbacks();
  TObject::free(dgPriv->link);
}

TDataSource* TDBGrid::DataSource() const { return dgPriv->link->DataSource(); }

void TDBGrid::SetDataSource(TDataSource* aSource) {
  dgPriv->link->SetDataSource(aSource);
  dgPriv->clear();
  if (dgPriv->dataSet()) dgPriv->schedule(TDBGridPriv::wRefresh);
}

void TDBGrid::AddColumn(const TColumn& aColumn) {
  dgPriv->given.push_back(aColumn);
  dgPriv->clear();
  if (dgPriv->dataSet()) dgPriv->schedule(TDBGridPriv::wRefresh);
}

void TDBGrid::ClearColumns() {
  dgPriv->given.clear();
  dgPriv->clear();
  if (dgPriv->dataSet()) dgPriv->schedule(TDBGridPriv::wRefresh);
}

int TDBGrid::ColumnCount() const { return static_cast<int>(dgPriv->shown.size()); }

const TColumn& TDBGrid::Columns(int aIndex) const { return dgPriv->shown.at(static_cast<std::size_t>(aIndex)); }

void TDBGrid::SetRowSelect(bool aValue) {
  dgPriv->rowSelect = aValue;
  if (QTableView* v = dgPriv->view)
    v->setSelectionBehavior(aValue ? QAbstractItemView::SelectRows : QAbstractItemView::SelectItems);
}

void TDBGrid::ApplyColors() {
  QTableView* v = dgPriv->view;
  if (!v) return;
  QPalette p = v->palette();
  p.setColor(QPalette::Base, toQColor(Color()));
  p.setColor(QPalette::Text, toQColor(Font().Color));
  v->setPalette(p);
  v->verticalHeader()->setDefaultSectionSize(QFontMetrics(v->font()).height() + 4);
}

int TDBGrid::LoadedRowCount() const { return static_cast<int>(dgPriv->rows.size()); }
bool TDBGrid::AllRowsLoaded() const { return dgPriv->allLoaded; }

int TDBGrid::SelectedRow() const {
  QTableView* v = dgPriv->view;
  if (!v) return -1;
  const QModelIndex i = v->currentIndex();
  return i.isValid() ? i.row() : -1;
}

UnicodeString TDBGrid::CellText(int aRow, int aColumn) const {
  if (aRow < 0 || aRow >= LoadedRowCount() || aColumn < 0 || aColumn >= ColumnCount()) return {};
  return fromQ(dgPriv->rows[static_cast<std::size_t>(aRow)].texts[static_cast<std::size_t>(aColumn)]);
}

TRect TDBGrid::CellRect(int aRow, int aColumn) const {
  QTableView* v = dgPriv->view;
  if (!v || !dgPriv->model) return {};
  const QRect r = v->visualRect(dgPriv->model->index(aRow, aColumn));
  if (!r.isValid()) return {};
  const QPoint p = v->viewport()->mapTo(v, r.topLeft());
  return TRect{p.x(), p.y(), p.x() + r.width(), p.y() + r.height()};
}

}  // namespace platform
