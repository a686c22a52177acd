// Colours and fonts of the window layer.
//
// A colour is a 32-bit value $00BBGGRR (red in the low byte). Values with
// the high byte $FF are system colours: the low byte names an entry of the
// current palette (clWindow is the palette's base colour, clWindowText its
// text colour), resolved only when drawn, so a text in clWindow on a
// clWindow background cannot be seen.
//
// A font names a family and a height in pixels. Western UI families have no
// Japanese glyphs, so they resolve to the CJK family of the system
// (kCjkFontFamily) at the same pixel size.
#pragma once

#include <cstdint>

#include "nxllComponent.h"
#include "plString.h"

namespace platform {

using TColor = std::uint32_t;

inline constexpr TColor clBlack = 0x00000000;
inline constexpr TColor clGreen = 0x00008000;
inline constexpr TColor clNavy = 0x00800000;
inline constexpr TColor clPurple = 0x00800080;
inline constexpr TColor clTeal = 0x00808000;
inline constexpr TColor clRed = 0x000000FF;
inline constexpr TColor clBlue = 0x00FF0000;
inline constexpr TColor clWhite = 0x00FFFFFF;

inline constexpr TColor clSystemColor = 0xFF000000;
inline constexpr TColor clMenu = clSystemColor | 4;
inline constexpr TColor clWindow = clSystemColor | 5;
inline constexpr TColor clWindowText = clSystemColor | 8;
inline constexpr TColor clHighlight = clSystemColor | 13;
inline constexpr TColor clHighlightText = clSystemColor | 14;
inline constexpr TColor clBtnFace = clSystemColor | 15;

struct TRgb {
  std::uint8_t r = 0, g = 0, b = 0;
  friend bool operator==(const TRgb&, const TRgb&) = default;
};

// The colour as $00BBGGRR, system colours resolved through the palette of
// the running application (its defaults before one exists). An unknown
// system colour or a value with other high bits raises ConvertError.
TColor ColorToRGB(TColor aColor);
TRgb ColorToRgbTriple(TColor aColor);
inline constexpr TColor RGBToColor(std::uint8_t aRed, std::uint8_t aGreen, std::uint8_t aBlue) {
  return TColor(aRed) | TColor(aGreen) << 8 | TColor(aBlue) << 16;
}

inline constexpr char16_t kCjkFontFamily[] = u"Noto Sans CJK JP";

struct TFont {
  UnicodeString Name = u"Tahoma";
  int Height = 13;  // pixels
  TColor Color = clWindowText;
  bool Bold = false;
};

// The family that draws aName (a Western UI family maps to kCjkFontFamily).
UnicodeString ResolveFontFamily(UnicodeStringView aName);

// Events of the window layer: delegates called on the GUI thread.
using TNotifyEvent = TnxMethod<TObject*>;
enum TMouseButton : std::uint8_t { mbLeft, mbRight, mbMiddle };
using TShiftState = std::uint8_t;  // ssShift | ssAlt | ssCtrl | ssLeft | ssRight
inline constexpr TShiftState ssShift = 1, ssAlt = 2, ssCtrl = 4, ssLeft = 8, ssRight = 16;
using TMouseMoveEvent = TnxMethod<TObject*, TShiftState, int, int>;

enum TAlignment : std::uint8_t { taLeftJustify, taRightJustify, taCenter };

struct TRect {
  int Left = 0, Top = 0, Right = 0, Bottom = 0;
  int Width() const { return Right - Left; }
  int Height() const { return Bottom - Top; }
};

}  // namespace platform
