// Two-dimensional charts whose series read their points from datasets.
//
// A series bound to a dataset refills itself whenever the dataset opens or
// its data change (after the current event, by walking the dataset and
// putting it back on its record, only while it is browsing) and empties
// when it closes; moving through the records does not refill. A series
// without a dataset holds the points added in code.
//
// Points: y from the YValues field; x from the XValues field, or else the
// record's ordinal (0, 1, ...) with the XLabelsSource field's text as the
// label under it. A chart whose series carry labels shows them on the
// bottom axis at their x.
//
// Mouse: with zoom allowed a left drag to the right shows the dragged x
// range, a left drag to the left shows the whole range again; with panning
// allowed a right drag moves the x range.
// Thread safety: GUI thread only.
#pragma once

#include <memory>
#include <vector>

#include "plControls.h"
#include "plDataSet.h"

namespace platform {

class TDBChart;
struct TDBChartPriv;

enum TVertAxis : std::uint8_t { aLeftAxis, aRightAxis, aBothVertAxis };
enum TPointerStyle : std::uint8_t { psRectangle, psCircle, psDiamond };
enum TAxisKind : std::uint8_t { akLeft, akRight, akBottom };

class TChartAxis {
 public:
  TChartAxis(const TChartAxis&) = delete;
  TChartAxis& operator=(const TChartAxis&) = delete;
  // A fixed range; Automatic follows the data.
  void SetMinMax(double aMinimum, double aMaximum);
  void SetAutomatic(bool aValue);
  bool Automatic() const { return axAutomatic; }
  // The range shown now (zoom and panning included).
  double Minimum() const;
  double Maximum() const;
  // Distance between labels; 0 lets the chart choose.
  void SetIncrement(double aStep);
  double Increment() const { return axIncrement; }
  void SetInverted(bool aValue);
  bool Inverted() const { return axInverted; }
  // Degrees counter-clockwise.
  void SetLabelsAngle(int aDegrees);
  int LabelsAngle() const { return axLabelsAngle; }
  void SetTitle(const UnicodeString& aCaption, TColor aColor = clBlack);
  const UnicodeString& Title() const { return axTitle; }
  TColor TitleColor() const { return axTitleColor; }
  void SetVisible(bool aValue);

 private:
  friend class TDBChart;
  friend struct TDBChartPriv;
  TChartAxis(TDBChartPriv* aChart, TAxisKind aKind) : axChart(aChart), axKind(aKind) {}
  TDBChartPriv* axChart;
  TAxisKind axKind;
  bool axAutomatic = true;
  double axMinimum = 0;
  double axMaximum = 100;
  double axIncrement = 0;
  bool axInverted = false;
  int axLabelsAngle = 0;
  UnicodeString axTitle;
  TColor axTitleColor = clBlack;
  bool axVisible = true;
};

class TChartSeries : public TComponent {
  PL_CLASS_INFO_DECL()
 public:
  ~TChartSeries() override;
  void beforeDestruction() override;

  TDBChart* ParentChart() const { return csChart; }
  void SetParentChart(TDBChart* aChart);
  TDataSet* DataSet() const;
  void SetDataSet(TDataSet* aDataSet);
  void SetXValues(const UnicodeString& aFieldName);
  void SetYValues(const UnicodeString& aFieldName);
  void SetXLabelsSource(const UnicodeString& aFieldName);
  TColor Color() const { return csColor; }
  void SetColor(TColor aColor);
  TVertAxis VertAxis() const { return csVertAxis; }
  void SetVertAxis(TVertAxis aAxis);
  void SetTitle(const UnicodeString& aTitle) { csTitle = aTitle; }
  const UnicodeString& Title() const { return csTitle; }

  // Points added in code (a series without a dataset).
  void Clear();
  void AddXY(double aX, double aY, const UnicodeString& aLabel = {});
  int Count() const { return static_cast<int>(csPoints.size()); }
  double XValue(int aIndex) const { return csPoints.at(static_cast<std::size_t>(aIndex)).x; }
  double YValue(int aIndex) const { return csPoints.at(static_cast<std::size_t>(aIndex)).y; }
  const UnicodeString& Label(int aIndex) const { return csPoints.at(static_cast<std::size_t>(aIndex)).label; }
  // Reads the dataset now (the data events do it after the current event).
  void RefreshData();

  struct Point {
    double x;
    double y;
    UnicodeString label;
  };
  const std::vector<Point>& Points() const { return csPoints; }

 protected:
  explicit TChartSeries(TComponent* aOwner);
  void Changed();

 private:
  friend class TDBChart;
  struct Binding;
  void Schedule();
  TDBChart* csChart = nullptr;
  std::unique_ptr<Binding> csBinding;
  UnicodeString csXField, csYField, csLabelField, csTitle;
  TColor csColor = clRed;
  TVertAxis csVertAxis = aLeftAxis;
  std::vector<Point> csPoints;
  bool csPending = false;
};

class TPointSeries : public TChartSeries {
  PL_CLASS_INFO_DECL()
 public:
  explicit TPointSeries(TComponent* aOwner = nullptr);
  void SetPointer(TPointerStyle aStyle, int aWidth, int aHeight);
  TPointerStyle PointerStyle() const { return psStyle; }
  int PointerSize() const { return psSize; }

 private:
  TPointerStyle psStyle = psRectangle;
  int psSize = 8;
};

class TLineSeries : public TChartSeries {
  PL_CLASS_INFO_DECL()
 public:
  explicit TLineSeries(TComponent* aOwner = nullptr);
  void SetPenWidth(int aWidth);
  int PenWidth() const { return lsPenWidth; }
  // Markers on the points; hidden by default.
  void SetPointer(TPointerStyle aStyle, int aWidth, int aHeight);
  bool PointerVisible() const { return lsPointer; }
  int PointerSize() const { return lsPointerSize; }

 private:
  int lsPenWidth = 1;
  bool lsPointer = false;
  TPointerStyle lsPointerStyle = psCircle;
  int lsPointerSize = 5;
};

class TBarSeries : public TChartSeries {
  PL_CLASS_INFO_DECL()
 public:
  explicit TBarSeries(TComponent* aOwner = nullptr);
  void SetBarWidthPercent(int aPercent);
  int BarWidthPercent() const { return bsWidth; }
  // Each bar labelled with its value.
  void SetMarksVisible(bool aValue);
  bool MarksVisible() const { return bsMarks; }

 private:
  int bsWidth = 70;
  bool bsMarks = false;
};

class TDBChart : public TControl {
  PL_CLASS_INFO_DECL()
 public:
  explicit TDBChart(TComponent* aOwner = nullptr);
  ~TDBChart() override;

  void SetTitle(const UnicodeString& aTitle);
  const UnicodeString& Title() const;
  TChartAxis& LeftAxis();
  TChartAxis& RightAxis();
  TChartAxis& BottomAxis();
  void SetAllowZoom(bool aValue);
  void SetAllowPanning(bool aValue);
  // Shows the whole x range again.
  void UndoZoom();
  int SeriesCount() const;
  TChartSeries* Series(int aIndex) const;
  // The plot area in the chart's coordinates (for drags).
  TRect PlotRect() const;

 private:
  friend class TChartSeries;
  friend class TChartAxis;
  friend struct TDBChartPriv;
  std::unique_ptr<TDBChartPriv> chPriv;
};

}  // namespace platform
