#include "plGraphics.h"

#include <QApplication>
#include <QFont>
#include <QPalette>

#include "plErrors.h"
#include "plGuiInt.h"

namespace platform {

namespace {

QPalette::ColorRole systemRole(TColor aColor) {
  switch (aColor) {
    case clMenu:
    case clBtnFace:
      return QPalette::Window;
    case clWindow:
      return QPalette::Base;
    case clWindowText:
      return QPalette::Text;
    case clHighlight:
      return QPalette::Highlight;
    case clHighlightText:
      return QPalette::HighlightedText;
    default:
      throw ConvertError("Unknown system colour " + std::to_string(aColor & 0xFF));
  }
}

}  // namespace

TColor ColorToRGB(TColor aColor) {
  if ((aColor & 0xFF000000u) == 0) return aColor;
  if ((aColor & 0xFF000000u) != clSystemColor) throw ConvertError("Invalid colour value " + std::to_string(aColor));
  const QPalette::ColorRole role = systemRole(aColor);
  const QPalette palette = qApp ? QApplication::palette() : QPalette();
  const QColor c = palette.color(QPalette::Active, role);
  return RGBToColor(static_cast<std::uint8_t>(c.red()), static_cast<std::uint8_t>(c.green()),
                    static_cast<std::uint8_t>(c.blue()));
}

TRgb ColorToRgbTriple(TColor aColor) {
  const TColor c = ColorToRGB(aColor);
  return TRgb{static_cast<std::uint8_t>(c & 0xFF), static_cast<std::uint8_t>(c >> 8 & 0xFF),
              static_cast<std::uint8_t>(c >> 16 & 0xFF)};
}

UnicodeString ResolveFontFamily(UnicodeStringView aName) {
  static constexpr UnicodeStringView western[] = {u"Tahoma", u"MS Sans Serif", u"Segoe UI", u"Arial", u""};
  for (UnicodeStringView w : western)
    if (sameTextAscii(aName, w)) return kCjkFontFamily;
  return UnicodeString(aName);
}

QFont toQFont(const TFont& aFont) {
  QFont f(toQ(ResolveFontFamily(aFont.Name)));
  f.setPixelSize(aFont.Height > 0 ? aFont.Height : 1);
  f.setBold(aFont.Bold);
  return f;
}

}  // namespace platform
