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
