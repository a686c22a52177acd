// Data-bound charts over an in-memory dataset: refills on open, close and
// change, fixed series, axes, and zoom and panning by mouse drags.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "plDBChart.h"
#include "plDataLink.h"
#include "plGuiTestSupport.h"
#include "plVectorDataSet.h"

using namespace platform;
using namespace pltest;

namespace {

constexpr TColor kOrange = 0x000080FF;

class DBCharts : public GuiTest {
 protected:
  void SetUp() override {
    form.reset(platform::create<TForm>());
    form->SetClientSize(900, 700);
    ds.reset(platform::create<TVectorDataSet>());
    chart = platform::create<TDBChart>(form.get());
    chart->SetParent(form.get());
    chart->SetBounds(0, 0, 900, 700);
  }
  void TearDown() override {
    form.reset();
    ds.reset();
  }
  // Mean row of the pixels in aColor inside the plot, -1 for none.
  double meanRowOf(TRgb aColor) {
    const TSnapshot shot = GrabControl(chart);
    const TRect plot = chart->PlotRect();
    double sum = 0;
    int n = 0;
    for (int y = std::max(0, plot.Top); y < std::min(shot.Height, plot.Bottom); ++y)
      for (int x = std::max(0, plot.Left); x < std::min(shot.Width, plot.Right); ++x)
        if (shot.At(x, y) == aColor) {
          sum += y;
          ++n;
        }
    return n ? sum / n : -1;
  }

  Owned<TForm> form;
  Owned<TVectorDataSet> ds;
  TDBChart* chart = nullptr;
};

TEST_F(DBCharts, PointChartFillsRefillsAndInvertsItsAxis) {
  ds->FieldDefs().Add(u"category_number", ftInteger);
  ds->FieldDefs().Add(u"corate", ftFloat);
  ds->AddRow({Variant(2), Variant(38.0)});
  ds->AddRow({Variant(5), Variant(62.0)});
  ds->AddRow({Variant(7), Variant()});  // no rate: no point
  auto* points = platform::create<TPointSeries>(form.get());
  points->SetParentChart(chart);
  points->SetDataSet(ds.get());
  points->SetXValues(u"corate");
  points->SetYValues(u"category_number");
  points->SetPointer(psDiamond, 8, 8);
  points->SetColor(kOrange);
  auto* pass = platform::create<TLineSeries>(form.get());
  pass->SetParentChart(chart);
  pass->SetColor(clBlue);
  pass->SetPenWidth(3);
  for (int y = 0; y <= 24; ++y) pass->AddXY(70, y);
  chart->BottomAxis().SetMinMax(0, 100);
  chart->BottomAxis().SetIncrement(10);
  chart->BottomAxis().SetTitle(u"正解率（％）");
  chart->LeftAxis().SetMinMax(1, 23);
  chart->LeftAxis().SetIncrement(1);
  chart->LeftAxis().SetInverted(true);
  chart->LeftAxis().SetTitle(u"No.");
  chart->RightAxis().SetTitle(u"70～合格圏", clBlue);

  ds->Open();
  EXPECT_EQ(points->Count(), 0);  // filled after the event
  Application().ProcessMessages();
  ASSERT_EQ(points->Count(), 2);
  EXPECT_EQ(points->XValue(0), 38.0);
  EXPECT_EQ(points->YValue(0), 2.0);
  EXPECT_EQ(pass->Count(), 25);
  EXPECT_EQ(chart->BottomAxis().Minimum(), 0.0);
  EXPECT_EQ(chart->BottomAxis().Maximum(), 100.0);
  SaveScreenshot(chart, artifactPath("gui/chart-points.png"));

  // Category 2 of 1..23 drawn near the top: the axis runs downward.
  const TRect plot = chart->PlotRect();
  const double row = meanRowOf(TRgb{255, 128, 0});
  ASSERT_GT(row, 0);
  EXPECT_LT(row, plot.Top + plot.Height() / 3.0);
  chart->LeftAxis().SetInverted(false);
  EXPECT_GT(meanRowOf(TRgb{255, 128, 0}), plot.Top + plot.Height() / 2.0);

  // Moving is no change; a posted edit, a close and a reopen are.
  ds->Last();
  Application().ProcessMessages();
  EXPECT_EQ(points->Count(), 2);
  ds->First();
  ds->Edit();
  ds->FieldByName(u"corate")->SetAsFloat(90);
  ds->Post();
  Application().ProcessMessages();
  EXPECT_EQ(points->XValue(0), 90.0);
  EXPECT_EQ(ds->FieldByName(u"category_number")->AsInteger(), 2);  // still on its record
  ds->Close();
  EXPECT_EQ(points->Count(), 0);
  EXPECT_EQ(pass->Count(), 25);  // built in code, kept
  ds->AddRow({Variant(9), Variant(75.0)});
  ds->Open();
  Application().ProcessMessages();
  EXPECT_EQ(points->Count(), 3);
}

class DateChart : public DBCharts {
 protected:
  void SetUp() override {
    DBCharts::SetUp();
    ds->FieldDefs().Add(u"study_date", ftDate);
    ds->FieldDefs().Add(u"crate", ftInteger);
    ds->FieldDefs().Add(u"pass", ftInteger);
    for (int d = 0; d < 20; ++d)
      ds->AddRow({Variant::fromDate(DateTime(45000 + d)), Variant(40 + d * 3), Variant(70)});
    pass = platform::create<TLineSeries>(form.get());
    pass->SetParentChart(chart);
    pass->SetDataSet(ds.get());
    pass->SetYValues(u"pass");
    pass->SetXLabelsSource(u"study_date");
    pass->SetColor(clBlue);
    pass->SetPenWidth(3);
    pass->SetVertAxis(aBothVertAxis);
    rate = platform::create<TLineSeries>(form.get());
    rate->SetParentChart(chart);
    rate->SetDataSet(ds.get());
    rate->SetYValues(u"crate");
    rate->SetXLabelsSource(u"study_date");
    rate->SetColor(kOrange);
    rate->SetPenWidth(2);
    rate->SetPointer(psCircle, 5, 5);
    rate->SetVertAxis(aBothVertAxis);
    chart->SetTitle(u"解答日別正解率の推移");
    chart->LeftAxis().SetMinMax(0, 100);
    chart->LeftAxis().SetIncrement(10);
    chart->RightAxis().SetMinMax(0, 100);
    chart->RightAxis().SetIncrement(10);
    chart->BottomAxis().SetLabelsAngle(90);
    chart->SetAllowZoom(true);
    chart->SetAllowPanning(true);
    form->Show();
    ds->Open();
    Application().ProcessMessages();
  }
  // The centre x of each run of inked pixel columns in the band of the
  // bottom axis's labels (below the tick marks and the right axis's "0").
  std::vector<int> LabelColumns() {
    const TSnapshot shot = GrabControl(chart);
    const TRect plot = chart->PlotRect();
    const int top = plot.Bottom + 12, bottom = std::min(shot.Height - 1, plot.Bottom + 60);
    std::vector<int> centres;
    int runStart = -1;
    for (int x = plot.Left - 10; x <= std::min(shot.Width - 1, plot.Right + 10); ++x) {
      const bool ink = shot.CountOther(TRect{x, top, x + 1, bottom}, TRgb{255, 255, 255}) > 0;
      if (ink && runStart < 0) runStart = x;
      if (!ink && runStart >= 0) {
        centres.push_back((runStart + x - 1) / 2);
        runStart = -1;
      }
    }
    if (runStart >= 0) centres.push_back(runStart);
    return centres;
  }
  TLineSeries *pass = nullptr, *rate = nullptr;
};

TEST_F(DateChart, LinesByDateLabelsOnBothAxes) {
  ASSERT_EQ(rate->Count(), 20);
  EXPECT_EQ(rate->XValue(3), 3.0);
  EXPECT_EQ(rate->YValue(3), 49.0);
  ds->First();
  EXPECT_EQ(rate->Label(0), ds->FieldByName(u"study_date")->AsString());
  EXPECT_FALSE(rate->Label(0).empty());
  EXPECT_EQ(pass->YValue(19), 70.0);
  EXPECT_EQ(chart->BottomAxis().LabelsAngle(), 90);
  EXPECT_EQ(chart->BottomAxis().Minimum(), -0.5);
  EXPECT_EQ(chart->BottomAxis().Maximum(), 19.5);
  SaveScreenshot(chart, artifactPath("gui/chart-lines.png"));
}

TEST_F(DateChart, DragsZoomResetAndPanTheXRange) {
  const TRect plot = chart->PlotRect();
  ASSERT_GT(plot.Width(), 100);
  const int y = (plot.Top + plot.Bottom) / 2;
  auto xAt = [&](double aFraction) { return plot.Left + static_cast<int>(plot.Width() * aFraction); };

  // Left to right: the dragged quarter fills the plot.
  ProbeDrag(chart, mbLeft, xAt(0.25), y, xAt(0.5), y);
  EXPECT_NEAR(chart->BottomAxis().Minimum(), 4.5, 0.2);
  EXPECT_NEAR(chart->BottomAxis().Maximum(), 9.5, 0.2);
  SaveScreenshot(chart, artifactPath("gui/chart-zoomed.png"));
  // One upright label under each day in the range (5 to 9), nothing piled
  // up at the ends of the axis.
  const std::vector<int> zoomedLabels = LabelColumns();
  ASSERT_EQ(zoomedLabels.size(), 5u);
  const double zlo = chart->BottomAxis().Minimum(), zhi = chart->BottomAxis().Maximum();
  for (int day = 5; day <= 9; ++day)
    EXPECT_NEAR(zoomedLabels[static_cast<std::size_t>(day - 5)],
                plot.Left + (day - zlo) / (zhi - zlo) * plot.Width(), 8)
        << day;

  // Right drag: the range moves against the mouse, keeping its width.
  const double lo = chart->BottomAxis().Minimum(), hi = chart->BottomAxis().Maximum();
  ProbeDrag(chart, mbRight, xAt(0.6), y, xAt(0.4), y);
  const double shift = (hi - lo) * 0.2;
  EXPECT_NEAR(chart->BottomAxis().Minimum(), lo + shift, 0.1);
  EXPECT_NEAR(chart->BottomAxis().Maximum(), hi + shift, 0.1);

  // Right to left with the left button: the whole range again.
  ProbeDrag(chart, mbLeft, xAt(0.7), y, xAt(0.3), y);
  EXPECT_EQ(chart->BottomAxis().Minimum(), -0.5);
  EXPECT_EQ(chart->BottomAxis().Maximum(), 19.5);
  EXPECT_EQ(LabelColumns().size(), 20u);

  // Without zoom allowed a drag changes nothing.
  chart->SetAllowZoom(false);
  ProbeDrag(chart, mbLeft, xAt(0.25), y, xAt(0.5), y);
  EXPECT_EQ(chart->BottomAxis().Maximum(), 19.5);
}

TEST_F(DBCharts, BarsOfMinutesByDateWithMarks) {
  ds->FieldDefs().Add(u"study_date", ftDate);
  ds->FieldDefs().Add(u"studymin", ftInteger);
  for (int d = 0; d < 5; ++d) ds->AddRow({Variant::fromDate(DateTime(45000 + d)), Variant(10 * (d + 1))});
  auto* bars = platform::create<TBarSeries>(form.get());
  bars->SetParentChart(chart);
  bars->SetDataSet(ds.get());
  bars->SetYValues(u"studymin");
  bars->SetXLabelsSource(u"study_date");
  bars->SetBarWidthPercent(15);
  bars->SetColor(clTeal);
  bars->SetMarksVisible(true);
  bars->SetVertAxis(aBothVertAxis);
  chart->BottomAxis().SetLabelsAngle(90);
  chart->LeftAxis().SetTitle(u"(分)");
  chart->RightAxis().SetTitle(u"(分)");
  EXPECT_THROW(bars->SetBarWidthPercent(0), RangeError);
  ds->Open();
  Application().ProcessMessages();
  ASSERT_EQ(bars->Count(), 5);
  EXPECT_EQ(bars->YValue(4), 50.0);
  // Teal bars are drawn in the plot.
  const TSnapshot shot = GrabControl(chart);
  SaveScreenshot(chart, artifactPath("gui/chart-bars.png"));
  const TRect plot = chart->PlotRect();
  EXPECT_GT(plot.Width() * plot.Height() - shot.CountOther(plot, TRgb{0, 128, 128}), 20);
  // Freeing the series takes it off the chart.
  TObject::free(bars);
  EXPECT_EQ(chart->SeriesCount(), 0);
}

}  // namespace
