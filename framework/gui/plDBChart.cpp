#include "plDBChart.h"

#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QMouseEvent>
#include <QtCharts/QBarSeries>
#include <QtCharts/QCategoryAxis>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>
#include <algorithm>
#include <cmath>
#include <limits>

#include "plGuiInt.h"

namespace platform {

struct TDBChartPriv {
  TDBChart* chart = nullptr;
  QPointer<QChartView> view;
  TChartAxis left{this, akLeft};
  TChartAxis right{this, akRight};
  TChartAxis bottom{this, akBottom};
  std::vector<TChartSeries*> series;  // not owned
  UnicodeString title;
  bool allowZoom = false;
  bool allowPan = false;
  bool zoomed = false;
  double zoomMin = 0, zoomMax = 0;
  QPointer<QValueAxis> xAxis;
  // The bottom axis's labels by x, when the series carry labels.
  std::vector<std::pair<double, QString>> categories;

  QChart* qchart() const { return view ? view->chart() : nullptr; }
  void rebuild();
  // The x range without zoom: fixed, or the data's.
  std::pair<double, double> fullX() const;
  std::pair<double, double> autoY(TVertAxis aAxis) const;
  std::pair<double, double> visibleX() const { return zoomed ? std::make_pair(zoomMin, zoomMax) : fullX(); }
  void setVisibleX(double aMin, double aMax) {
    if (!(aMax > aMin)) return;
    zoomed = true;
    zoomMin = aMin;
    zoomMax = aMax;
    setXRange(aMin, aMax);
  }
  void undoZoom() {
    zoomed = false;
    const auto [lo, hi] = fullX();
    setXRange(lo, hi);
  }
  // Qt draws the labels of categories outside the range at the axis's end,
  // all on top of each other: only the labels inside the range are kept.
  void setXRange(double aMin, double aMax) {
    if (!xAxis) return;
    if (auto* cat = qobject_cast<QCategoryAxis*>(xAxis.data())) {
      for (const QString& label : cat->categoriesLabels()) cat->remove(label);
      for (const auto& [pos, text] : categories)
        if (pos >= aMin && pos <= aMax) cat->append(text, pos);
    }
    xAxis->setRange(aMin, aMax);
  }
  bool hasLabels() const {
    for (const TChartSeries* s : series)
      for (const TChartSeries::Point& p : s->Points())
        if (!p.label.empty()) return true;
    return false;
  }
};

namespace {

class TChartView : public QChartView {
 public:
  TChartView() : QChartView(new QChart()) {
    setRenderHint(QPainter::Antialiasing);
    chart()->legend()->hide();
    chart()->setAnimationOptions(QChart::NoAnimation);
  }
  TDBChartPriv* owner = nullptr;

 protected:
  void mousePressEvent(QMouseEvent* aEvent) override {
    if (owner && ((aEvent->button() == Qt::LeftButton && owner->allowZoom) ||
                  (aEvent->button() == Qt::RightButton && owner->allowPan))) {
      cvButton = aEvent->button();
      cvPress = aEvent->position();
      cvStart = owner->visibleX();
      aEvent->accept();
      return;
    }
    QChartView::mousePressEvent(aEvent);
  }
  void mouseMoveEvent(QMouseEvent* aEvent) override {
    if (owner && cvButton == Qt::RightButton) {
      const double width = chart()->plotArea().width();
      if (width > 0) {
        const double span = cvStart.second - cvStart.first;
        double shift = -(aEvent->position().x() - cvPress.x()) / width * span;
        if (owner->bottom.Inverted()) shift = -shift;
        owner->setVisibleX(cvStart.first + shift, cvStart.second + shift);
      }
      aEvent->accept();
      return;
    }
    QChartView::mouseMoveEvent(aEvent);
  }
  void mouseReleaseEvent(QMouseEvent* aEvent) override {
    if (owner && cvButton == Qt::LeftButton && aEvent->button() == Qt::LeftButton) {
      cvButton = Qt::NoButton;
      const double dx = aEvent->position().x() - cvPress.x();
      if (dx > 3) {
        const double a = valueAt(cvPress.x()), b = valueAt(aEvent->position().x());
        owner->setVisibleX(std::min(a, b), std::max(a, b));
      } else if (dx < -3) {
        owner->undoZoom();
      }
      aEvent->accept();
      return;
    }
    if (cvButton == Qt::RightButton && aEvent->button() == Qt::RightButton) {
      cvButton = Qt::NoButton;
      aEvent->accept();
      return;
    }
    QChartView::mouseReleaseEvent(aEvent);
  }

 private:
  double valueAt(double aX) const {
    const QRectF plot = chart()->plotArea();
    const auto [lo, hi] = cvStart;
    double ratio = plot.width() > 0 ? (aX - plot.left()) / plot.width() : 0;
    ratio = std::clamp(ratio, 0.0, 1.0);
    if (owner->bottom.Inverted()) ratio = 1 - ratio;
    return lo + ratio * (hi - lo);
  }
  Qt::MouseButton cvButton = Qt::NoButton;
  QPointF cvPress;
  std::pair<double, double> cvStart;
};

QChartView* makeChartView() {
  RequireApplication();
  return new TChartView();
}

void configure(QValueAxis* aAxis, const TChartAxis& aSettings, double aMin, double aMax) {
  aAxis->setRange(aMin, aMax);
  // Numbers and dates: a compact Latin face keeps one label per step of a
  // 23-step axis from being elided.
  QFont labels(QStringLiteral("DejaVu Sans"));
  labels.setPixelSize(11);
  aAxis->setLabelsFont(labels);
  if (aSettings.Automatic() && !qobject_cast<QCategoryAxis*>(aAxis)) aAxis->applyNiceNumbers();
  aAxis->setReverse(aSettings.Inverted());
  aAxis->setLabelsAngle(-aSettings.LabelsAngle());
  aAxis->setTitleText(toQ(aSettings.Title()));
  aAxis->setTitleBrush(toQColor(aSettings.TitleColor()));
  aAxis->setLabelFormat(QStringLiteral("%g"));
  if (aSettings.Increment() > 0 && !qobject_cast<QCategoryAxis*>(aAxis)) {
    const double steps = (aMax - aMin) / aSettings.Increment();
    if (std::abs(steps - std::round(steps)) < 1e-9 && steps <= 200) {
      aAxis->setTickCount(static_cast<int>(std::round(steps)) + 1);
    } else {
      aAxis->setTickType(QValueAxis::TicksDynamic);
      aAxis->setTickAnchor(aMin);
      aAxis->setTickInterval(aSettings.Increment());
    }
  }
}

}  // namespace

std::pair<double, double> TDBChartPriv::fullX() const {
  if (!bottom.Automatic()) return {bottom.axMinimum, bottom.axMaximum};
  double lo = std::numeric_limits<double>::infinity(), hi = -lo;
  for (const TChartSeries* s : series)
    for (const TChartSeries::Point& p : s->Points()) {
      lo = std::min(lo, p.x);
      hi = std::max(hi, p.x);
    }
  if (!std::isfinite(lo)) return {0, 1};
  if (hasLabels()) return {lo - 0.5, hi + 0.5};
  if (hi == lo) return {lo - 1, hi + 1};
  return {lo, hi};
}

std::pair<double, double> TDBChartPriv::autoY(TVertAxis aAxis) const {
  double lo = 0, hi = -std::numeric_limits<double>::infinity();
  for (const TChartSeries* s : series) {
    if (s->VertAxis() != aBothVertAxis && s->VertAxis() != aAxis) continue;
    for (const TChartSeries::Point& p : s->Points()) {
      lo = std::min(lo, p.y);
      hi = std::max(hi, p.y);
    }
  }
  if (!std::isfinite(hi) || hi <= lo) hi = lo + 1;
  return {lo, hi + (hi - lo) * 0.05};
}

void TDBChartPriv::rebuild() {
  QChart* c = qchart();
  if (!c) return;
  c->removeAllSeries();
  for (QAbstractAxis* a : c->axes()) {
    c->removeAxis(a);
    delete a;
  }
  c->setTitle(toQ(title));

  // Bottom axis: labels at their x when the series carry them.
  QValueAxis* x;
  categories.clear();
  if (hasLabels()) {
    auto* cat = new QCategoryAxis();
    cat->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    std::vector<std::pair<double, UnicodeString>> labels;
    for (const TChartSeries* s : series)
      for (const TChartSeries::Point& p : s->Points())
        if (!p.label.empty()) labels.emplace_back(p.x, p.label);
    std::stable_sort(labels.begin(), labels.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    QStringList seen;
    double last = -std::numeric_limits<double>::infinity();
    for (const auto& [pos, text] : labels) {
      const QString t = toQ(text);
      if (pos <= last || seen.contains(t)) continue;
      categories.emplace_back(pos, t);
      seen << t;
      last = pos;
    }
    x = cat;
  } else {
    x = new QValueAxis();
  }
  const auto [xlo, xhi] = visibleX();
  configure(x, bottom, xlo, xhi);
  x->setVisible(bottom.axVisible);
  c->addAxis(x, Qt::AlignBottom);
  xAxis = x;
  setXRange(xlo, xhi);

  auto yRange = [this](const TChartAxis& aAxis, TVertAxis aWhich) {
    return aAxis.Automatic() ? autoY(aWhich) : std::make_pair(aAxis.axMinimum, aAxis.axMaximum);
  };
  auto* y = new QValueAxis();
  const auto [ylo, yhi] = yRange(left, aLeftAxis);
  configure(y, left, ylo, yhi);
  y->setVisible(left.axVisible);
  c->addAxis(y, Qt::AlignLeft);

  bool wantRight = !right.Title().empty();
  for (const TChartSeries* s : series) wantRight = wantRight || s->VertAxis() != aLeftAxis;
  QValueAxis* r = nullptr;
  if (wantRight) {
    r = new QValueAxis();
    bool onlyBoth = true;
    for (const TChartSeries* s : series) onlyBoth = onlyBoth && s->VertAxis() != aRightAxis;
    if (right.Automatic() && onlyBoth) {
      // A right axis that only repeats the left one shows the same scale.
      configure(r, left, ylo, yhi);
      r->setRange(y->min(), y->max());
      r->setTitleText(toQ(right.Title()));
      r->setTitleBrush(toQColor(right.TitleColor()));
    } else {
      const auto [rlo, rhi] = yRange(right, aRightAxis);
      configure(r, right, rlo, rhi);
    }
    r->setVisible(right.axVisible);
    c->addAxis(r, Qt::AlignRight);
  }

  for (TChartSeries* s : series) {
    const QColor color = toQColor(s->Color());
    QAbstractSeries* q = nullptr;
    if (auto* bars = objectAs<TBarSeries>(s)) {
      auto* set = new QBarSet(toQ(s->Title()));
      set->setColor(color);
      set->setBorderColor(color.darker(130));
      set->setLabelColor(Qt::black);
      for (const TChartSeries::Point& p : s->Points()) set->append(p.y);
      auto* b = new QBarSeries();
      b->append(set);
      b->setBarWidth(bars->BarWidthPercent() / 100.0);
      b->setLabelsVisible(bars->MarksVisible());
      b->setLabelsPosition(QAbstractBarSeries::LabelsOutsideEnd);
      b->setLabelsFormat(QStringLiteral("@value"));
      q = b;
    } else if (auto* points = objectAs<TPointSeries>(s)) {
      auto* sc = new QScatterSeries();
      sc->setMarkerShape(points->PointerStyle() == psDiamond  ? QScatterSeries::MarkerShapeRotatedRectangle
                         : points->PointerStyle() == psCircle ? QScatterSeries::MarkerShapeCircle
                                                              : QScatterSeries::MarkerShapeRectangle);
      sc->setMarkerSize(points->PointerSize());
      sc->setColor(color);
      sc->setBorderColor(color);
      for (const TChartSeries::Point& p : s->Points()) sc->append(p.x, p.y);
      q = sc;
    } else if (auto* line = objectAs<TLineSeries>(s)) {
      auto* l = new QLineSeries();
      QPen pen(color);
      pen.setWidth(line->PenWidth());
      l->setPen(pen);
      l->setPointsVisible(line->PointerVisible());
      l->setMarkerSize(line->PointerSize());
      for (const TChartSeries::Point& p : s->Points()) l->append(p.x, p.y);
      q = l;
    }
    if (!q) continue;
    c->addSeries(q);
    q->attachAxis(x);
    q->attachAxis(s->VertAxis() == aRightAxis && r ? r : y);
  }
}

// ---------------------------------------------------------------------------
// Axis

void TChartAxis::SetMinMax(double aMinimum, double aMaximum) {
  if (!(aMaximum > aMinimum)) throw RangeError("Axis maximum must exceed its minimum");
  axAutomatic = false;
  axMinimum = aMinimum;
  axMaximum = aMaximum;
  if (axKind == akBottom) axChart->zoomed = false;
  axChart->rebuild();
}

void TChartAxis::SetAutomatic(bool aValue) {
  axAutomatic = aValue;
  axChart->rebuild();
}

double TChartAxis::Minimum() const {
  if (axKind == akBottom) return axChart->visibleX().first;
  return axAutomatic ? axChart->autoY(axKind == akLeft ? aLeftAxis : aRightAxis).first : axMinimum;
}

double TChartAxis::Maximum() const {
  if (axKind == akBottom) return axChart->visibleX().second;
  return axAutomatic ? axChart->autoY(axKind == akLeft ? aLeftAxis : aRightAxis).second : axMaximum;
}

void TChartAxis::SetIncrement(double aStep) {
  if (aStep < 0) throw RangeError("Axis increment must not be negative");
  axIncrement = aStep;
  axChart->rebuild();
}

void TChartAxis::SetInverted(bool aValue) {
  axInverted = aValue;
  axChart->rebuild();
}

void TChartAxis::SetLabelsAngle(int aDegrees) {
  axLabelsAngle = aDegrees;
  axChart->rebuild();
}

void TChartAxis::SetTitle(const UnicodeString& aCaption, TColor aColor) {
  ColorToRGB(aColor);
  axTitle = aCaption;
  axTitleColor = aColor;
  axChart->rebuild();
}

void TChartAxis::SetVisible(bool aValue) {
  axVisible = aValue;
  axChart->rebuild();
}

// ---------------------------------------------------------------------------
// Series

PL_CLASS_INFO_IMPL(TChartSeries, TComponent, "TChartSeries", nullptr)

struct TChartSeries::Binding {
  TDataSource* source = platform::create<TDataSource>();
  TGuiDataLink* link = platform::create<TGuiDataLink>();
  QObject context;  // pending refills die with it
  ~Binding() {
    link->DropCallbacks();
    TObject::free(link);
    TObject::free(source);
  }
};

TChartSeries::TChartSeries(TComponent* aOwner) : TComponent(aOwner) {
  RequireApplication();
  csBinding = std::make_unique<Binding>();
  csBinding->link->SetDataSource(csBinding->source);
  TGuiDataLink& link = *csBinding->link;
  link.onActive = [this] {
    if (csBinding->link->Open()) {
      Schedule();
    } else {
      csPoints.clear();
      Changed();
    }
  };
  link.onChanged = [this] {
    if (!guiScanning(csBinding->link->DataSet())) Schedule();
  };
  link.onLayout = link.onChanged;
  link.onScrolled = [] {};  // moving is no change of the data
}

TChartSeries::~TChartSeries() = default;

void TChartSeries::beforeDestruction() {
  SetParentChart(nullptr);
  TComponent::beforeDestruction();
}

void TChartSeries::SetParentChart(TDBChart* aChart) {
  if (aChart == csChart) return;
  if (csChart) {
    auto& list = csChart->chPriv->series;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
    csChart->chPriv->rebuild();
  }
  csChart = aChart;
  if (csChart) {
    csChart->chPriv->series.push_back(this);
    csChart->chPriv->rebuild();
  }
}

TDataSet* TChartSeries::DataSet() const { return csBinding->source->DataSet(); }

void TChartSeries::SetDataSet(TDataSet* aDataSet) {
  csBinding->source->SetDataSet(aDataSet);
  if (!aDataSet) {
    csPoints.clear();
    Changed();
  }
}

void TChartSeries::SetXValues(const UnicodeString& aFieldName) {
  csXField = aFieldName;
  Schedule();
}

void TChartSeries::SetYValues(const UnicodeString& aFieldName) {
  csYField = aFieldName;
  Schedule();
}

void TChartSeries::SetXLabelsSource(const UnicodeString& aFieldName) {
  csLabelField = aFieldName;
  Schedule();
}

void TChartSeries::SetColor(TColor aColor) {
  ColorToRGB(aColor);
  csColor = aColor;
  Changed();
}

void TChartSeries::SetVertAxis(TVertAxis aAxis) {
  csVertAxis = aAxis;
  Changed();
}

void TChartSeries::Clear() {
  csPoints.clear();
  Changed();
}

void TChartSeries::AddXY(double aX, double aY, const UnicodeString& aLabel) {
  csPoints.push_back(Point{aX, aY, aLabel});
  Changed();
}

void TChartSeries::Changed() {
  if (csChart) csChart->chPriv->rebuild();
}

void TChartSeries::Schedule() {
  if (csPending || !csBinding->link->Open()) return;
  csPending = true;
  QMetaObject::invokeMethod(
      &csBinding->context,
      [this] {
        csPending = false;
        guiCall([this] { RefreshData(); });
      },
      Qt::QueuedConnection);
}

void TChartSeries::RefreshData() {
  TDataSet* ds = csBinding->link->OpenDataSet();
  if (!ds) {
    csPoints.clear();
    Changed();
    return;
  }
  if (!TDataSetScan::CanScan(ds)) return;  // the post or cancel that ends the edit refills
  std::vector<Point> points;
  {
    TDataSetScan scan(ds);
    TField* xf = csXField.empty() ? nullptr : ds->FieldByName(csXField);
    TField* yf = csYField.empty() ? nullptr : ds->FieldByName(csYField);
    TField* lf = csLabelField.empty() ? nullptr : ds->FieldByName(csLabelField);
    int ordinal = 0;
    for (ds->First(); !ds->Eof(); ds->Next(), ++ordinal) {
      // A record without a value has no point; the ordinal still counts it.
      if (!yf || yf->IsNull() || (xf && xf->IsNull())) continue;
      points.push_back(Point{xf ? xf->AsFloat() : ordinal, yf->AsFloat(), lf && !lf->IsNull() ? lf->AsString() : u""});
    }
  }
  csPoints = std::move(points);
  Changed();
}

PL_CLASS_INFO_IMPL(TPointSeries, TChartSeries, "TPointSeries", &factoryFor<TPointSeries>)

TPointSeries::TPointSeries(TComponent* aOwner) : TChartSeries(aOwner) {}

void TPointSeries::SetPointer(TPointerStyle aStyle, int aWidth, int aHeight) {
  psStyle = aStyle;
  psSize = std::max(1, std::max(aWidth, aHeight));
  Changed();
}

PL_CLASS_INFO_IMPL(TLineSeries, TChartSeries, "TLineSeries", &factoryFor<TLineSeries>)

TLineSeries::TLineSeries(TComponent* aOwner) : TChartSeries(aOwner) {}

void TLineSeries::SetPenWidth(int aWidth) {
  lsPenWidth = std::max(1, aWidth);
  Changed();
}

void TLineSeries::SetPointer(TPointerStyle aStyle, int aWidth, int aHeight) {
  lsPointer = true;
  lsPointerStyle = aStyle;
  lsPointerSize = std::max(1, std::max(aWidth, aHeight));
  Changed();
}

PL_CLASS_INFO_IMPL(TBarSeries, TChartSeries, "TBarSeries", &factoryFor<TBarSeries>)

TBarSeries::TBarSeries(TComponent* aOwner) : TChartSeries(aOwner) {}

void TBarSeries::SetBarWidthPercent(int aPercent) {
  if (aPercent < 1 || aPercent > 100) throw RangeError("Bar width must be 1 to 100 percent");
  bsWidth = aPercent;
  Changed();
}

void TBarSeries::SetMarksVisible(bool aValue) {
  bsMarks = aValue;
  Changed();
}

// ---------------------------------------------------------------------------
// Chart

PL_CLASS_INFO_IMPL(TDBChart, TControl, "TDBChart", &factoryFor<TDBChart>)

TDBChart::TDBChart(TComponent* aOwner) : TControl(aOwner, new TControlPriv(makeChartView())) {
  chPriv = std::make_unique<TDBChartPriv>();
  chPriv->chart = this;
  auto* view = static_cast<TChartView*>(Priv().widget.data());
  chPriv->view = view;
  view->owner = chPriv.get();
  chPriv->rebuild();
}

TDBChart::~TDBChart() {
  for (TChartSeries* s : chPriv->series) s->csChart = nullptr;
  if (auto* view = static_cast<TChartView*>(chPriv->view.data())) view->owner = nullptr;
}

void TDBChart::SetTitle(const UnicodeString& aTitle) {
  chPriv->title = aTitle;
  if (QChart* c = chPriv->qchart()) c->setTitle(toQ(aTitle));
}

const UnicodeString& TDBChart::Title() const { return chPriv->title; }
TChartAxis& TDBChart::LeftAxis() { return chPriv->left; }
TChartAxis& TDBChart::RightAxis() { return chPriv->right; }
TChartAxis& TDBChart::BottomAxis() { return chPriv->bottom; }
void TDBChart::SetAllowZoom(bool aValue) { chPriv->allowZoom = aValue; }
void TDBChart::SetAllowPanning(bool aValue) { chPriv->allowPan = aValue; }
void TDBChart::UndoZoom() { chPriv->undoZoom(); }
int TDBChart::SeriesCount() const { return static_cast<int>(chPriv->series.size()); }
TChartSeries* TDBChart::Series(int aIndex) const { return chPriv->series.at(static_cast<std::size_t>(aIndex)); }

TRect TDBChart::PlotRect() const {
  QChart* c = chPriv->qchart();
  if (!c || !chPriv->view) return {};
  const QRectF plot = c->plotArea();
  const QPoint tl = chPriv->view->mapFromScene(plot.topLeft());
  const QPoint br = chPriv->view->mapFromScene(plot.bottomRight());
  return TRect{tl.x(), tl.y(), br.x(), br.y()};
}

}  // namespace platform
