// Private to the window layer: the Qt side of its objects. Included only by
// the layer's .cpp files.
#pragma once

#include <QColor>
#include <QPointer>
#include <QString>
#include <QWidget>

#include "plControls.h"
#include "plGraphics.h"
#include "plString.h"

namespace platform {

inline QString toQ(UnicodeStringView aText) {
  return QString(reinterpret_cast<const QChar*>(aText.data()), static_cast<qsizetype>(aText.size()));
}
inline UnicodeString fromQ(const QString& aText) {
  return UnicodeString(reinterpret_cast<const char16_t*>(aText.utf16()), static_cast<std::size_t>(aText.size()));
}
inline QColor toQColor(TColor aColor) {
  const TRgb c = ColorToRgbTriple(aColor);
  return QColor(c.r, c.g, c.b);
}
QFont toQFont(const TFont& aFont);

// Raises unless TApplication::Initialize has run (a widget made before
// would end the process).
void RequireApplication();

// The drawing object of one control. The widget is deleted with the
// control unless its parent's deletion took it first.
struct TControlPriv {
  explicit TControlPriv(QWidget* aWidget) : widget(aWidget) {}
  ~TControlPriv() { delete widget.data(); }
  TControlPriv(const TControlPriv&) = delete;
  TControlPriv& operator=(const TControlPriv&) = delete;
  QPointer<QWidget> widget;
  // Where children of the control go (the widget itself by default).
  QPointer<QWidget> client;
  // Lays out the children aligned to the client's edges (made on demand).
  QPointer<QObject> alignFilter;
  QWidget* clientWidget() const { return client ? client.data() : widget.data(); }
};

// Calls aCall through the application's error dialog boundary.
template <class F>
void guiCall(F&& aCall) {
  try {
    aCall();
  } catch (...) {
    Application().HandleException();
  }
}

}  // namespace platform

// ---------------------------------------------------------------------------
// The data side shared by the data-aware controls and the charts.

#include <functional>

#include "plDataLink.h"

namespace platform {

// A data link that hands its events to the control that owns it. "Open"
// means the link is active on a dataset that has finished opening: a link
// turns active while its dataset is still opening (no fields, no records),
// so onActive runs when that state ends (and when the dataset closes).
class TGuiDataLink : public TDataLink {
 public:
  std::function<void()> onActive, onChanged, onScrolled, onLayout;
  std::function<void(TField*)> onRecord;
  bool Open() const { return glOpen; }
  TDataSet* OpenDataSet() const { return glOpen ? DataSet() : nullptr; }
  void DropCallbacks() {
    onActive = onChanged = onScrolled = onLayout = nullptr;
    onRecord = nullptr;
  }

 protected:
  void ActiveChanged() override { CheckOpen(); }
  void DataEvent(TDataEvent aEvent, std::intptr_t aInfo) override {
    TDataLink::DataEvent(aEvent, aInfo);
    if (aEvent == deUpdateState) CheckOpen();
  }
  void DataSetChanged() override {
    if (glOpen && onChanged) onChanged();
  }
  void DataSetScrolled(int) override {
    if (!glOpen) return;
    if (onScrolled)
      onScrolled();
    else
      DataSetChanged();
  }
  void LayoutChanged() override {
    if (!glOpen) return;
    if (onLayout)
      onLayout();
    else
      DataSetChanged();
  }
  void RecordChanged(TField* aField) override {
    if (glOpen && onRecord) onRecord(aField);
  }

 private:
  void CheckOpen() {
    TDataSet* ds = DataSet();
    const bool open = Active() && ds && ds->Active();
    if (open == glOpen) return;
    glOpen = open;
    if (onActive) onActive();
  }
  bool glOpen = false;
};

// Walks a dataset for a control (a grid's page, a chart's points) and puts
// it back on the record it was on. The data events this causes are the
// scan's own: controls ask guiScanning and ignore them. Only a browsing
// dataset may be walked (moving would post a pending edit).
class TDataSetScan {
 public:
  explicit TDataSetScan(TDataSet* aDataSet);
  ~TDataSetScan();
  TDataSetScan(const TDataSetScan&) = delete;
  TDataSetScan& operator=(const TDataSetScan&) = delete;
  static bool CanScan(TDataSet* aDataSet);

 private:
  TDataSet* dsDataSet;
  TBookmark dsSaved;
};
bool guiScanning(const TDataSet* aDataSet);

}  // namespace platform
