#include "plGuiProbe.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QFontInfo>
#include <QImage>
#include <QMouseEvent>
#include <QPixmap>
#include <QWheelEvent>

#include "plErrors.h"
#include "plGuiInt.h"

namespace platform {

namespace {

QWidget* widgetOf(TControl* aControl) {
  QWidget* w = aControl ? aControl->Priv().widget.data() : nullptr;
  if (!w) throw RuntimeError("The control has no window");
  return w;
}

// Makes the widget paintable: a control of a hidden window is laid out
// once its window has been shown (offscreen nothing appears).
void prepare(QWidget* aWidget) {
  QWidget* top = aWidget->window();
  if (!top->isVisible()) top->show();
  QApplication::sendPostedEvents();
  QApplication::processEvents();
}

struct Target {
  QWidget* widget;
  QPoint pos;
};

Target targetAt(TControl* aControl, int aX, int aY) {
  QWidget* w = widgetOf(aControl);
  prepare(w);
  QWidget* child = w->childAt(aX, aY);
  QWidget* target = child ? child : w;
  return Target{target, target->mapFrom(w, QPoint(aX, aY))};
}

Qt::MouseButton toQButton(TMouseButton aButton) {
  switch (aButton) {
    case mbRight:
      return Qt::RightButton;
    case mbMiddle:
      return Qt::MiddleButton;
    default:
      return Qt::LeftButton;
  }
}

void sendMouse(const Target& aTarget, QEvent::Type aType, Qt::MouseButton aButton, Qt::MouseButtons aButtons) {
  const QPointF local(aTarget.pos);
  const QPointF global(aTarget.widget->mapToGlobal(aTarget.pos));
  QMouseEvent e(aType, local, global, aButton, aButtons, Qt::NoModifier);
  QApplication::sendEvent(aTarget.widget, &e);
}

}  // namespace

int TSnapshot::CountOther(const TRect& aRect, TRgb aColor) const {
  int n = 0;
  for (int y = std::max(0, aRect.Top); y < std::min(Height, aRect.Bottom); ++y)
    for (int x = std::max(0, aRect.Left); x < std::min(Width, aRect.Right); ++x)
      if (!(At(x, y) == aColor)) ++n;
  return n;
}

TRect ControlRect(TControl* aControl, TControl* aAncestor) {
  QWidget* w = widgetOf(aControl);
  QWidget* a = widgetOf(aAncestor);
  prepare(w);
  if (!a->isAncestorOf(w) && a != w) throw RuntimeError("Not a control inside the other");
  const QPoint p = w->mapTo(a, QPoint(0, 0));
  return TRect{p.x(), p.y(), p.x() + w->width(), p.y() + w->height()};
}

TSnapshot GrabControl(TControl* aControl) {
  QWidget* w = widgetOf(aControl);
  prepare(w);
  const QImage image = w->grab().toImage().convertToFormat(QImage::Format_RGB32);
  TSnapshot s;
  s.Width = image.width();
  s.Height = image.height();
  s.Pixels.reserve(static_cast<std::size_t>(s.Width) * static_cast<std::size_t>(s.Height));
  for (int y = 0; y < s.Height; ++y)
    for (int x = 0; x < s.Width; ++x) {
      const QRgb p = image.pixel(x, y);
      s.Pixels.push_back(TRgb{static_cast<std::uint8_t>(qRed(p)), static_cast<std::uint8_t>(qGreen(p)),
                              static_cast<std::uint8_t>(qBlue(p))});
    }
  return s;
}

void SaveScreenshot(TControl* aControl, const std::string& aPath) {
  QWidget* w = widgetOf(aControl);
  prepare(w);
  const QString path = QString::fromStdString(aPath);
  QDir().mkpath(QFileInfo(path).absolutePath());
  if (!w->grab().save(path, "PNG")) throw OsError(0, "Cannot write the screenshot " + aPath);
}

void ProbeClick(TControl* aControl, int aX, int aY, TMouseButton aButton) {
  const Target t = targetAt(aControl, aX, aY);
  const Qt::MouseButton b = toQButton(aButton);
  sendMouse(t, QEvent::MouseButtonPress, b, b);
  sendMouse(t, QEvent::MouseButtonRelease, b, Qt::NoButton);
  QApplication::processEvents();
}

void ProbeDrag(TControl* aControl, TMouseButton aButton, int aFromX, int aFromY, int aToX, int aToY) {
  const Target from = targetAt(aControl, aFromX, aFromY);
  QWidget* w = widgetOf(aControl);
  const Qt::MouseButton b = toQButton(aButton);
  sendMouse(from, QEvent::MouseButtonPress, b, b);
  const int steps = 8;
  for (int i = 1; i <= steps; ++i) {
    const QPoint p(aFromX + (aToX - aFromX) * i / steps, aFromY + (aToY - aFromY) * i / steps);
    sendMouse(Target{from.widget, from.widget->mapFrom(w, p)}, QEvent::MouseMove, Qt::NoButton, b);
  }
  sendMouse(Target{from.widget, from.widget->mapFrom(w, QPoint(aToX, aToY))}, QEvent::MouseButtonRelease, b,
            Qt::NoButton);
  QApplication::processEvents();
}

void ProbeMouseMove(TControl* aControl, int aX, int aY) {
  sendMouse(targetAt(aControl, aX, aY), QEvent::MouseMove, Qt::NoButton, Qt::NoButton);
  QApplication::processEvents();
}

void ProbeWheel(TControl* aControl, int aX, int aY, int aSteps) {
  const Target t = targetAt(aControl, aX, aY);
  for (int i = 0; i < std::abs(aSteps); ++i) {
    const QPoint delta(0, aSteps > 0 ? -120 : 120);
    QWheelEvent e(QPointF(t.pos), QPointF(t.widget->mapToGlobal(t.pos)), QPoint(), delta, Qt::NoButton,
                  Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(t.widget, &e);
    QApplication::processEvents();
  }
}

UnicodeString DrawnFontFamily(TControl* aControl) { return fromQ(QFontInfo(widgetOf(aControl)->font()).family()); }

std::vector<std::uint8_t> EncodePicture(std::string_view aFormat, int aWidth, int aHeight, TColor aColor) {
  QImage image(aWidth, aHeight, QImage::Format_RGB32);
  image.fill(toQColor(aColor));
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  if (!image.save(&buffer, std::string(aFormat).c_str())) throw ConvertError("Cannot encode " + std::string(aFormat));
  return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

}  // namespace platform
