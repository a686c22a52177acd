// Looking at and driving the window from outside: snapshots of controls,
// their pixels, PNG files, synthetic mouse input and picture bytes. Tests and
// screenshots use it; the program itself does not.
//
// Coordinates are in the control's own pixels. Input goes to the deepest
// visible child under the point, through the application's normal event
// dispatch (and so through the error-dialog boundary).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "plControls.h"
#include "plGraphics.h"

namespace platform {

struct TSnapshot {
  int Width = 0;
  int Height = 0;
  std::vector<TRgb> Pixels;  // row by row
  TRgb At(int aX, int aY) const { return Pixels.at(static_cast<std::size_t>(aY * Width + aX)); }
  // Pixels of the rectangle that differ from aColor.
  int CountOther(const TRect& aRect, TRgb aColor) const;
};

// aControl's rectangle in the coordinates of aAncestor.
TRect ControlRect(TControl* aControl, TControl* aAncestor);

// Lays out and draws the control (shown or not) and copies its pixels.
TSnapshot GrabControl(TControl* aControl);
// Writes the control's picture as a PNG file, creating missing folders.
void SaveScreenshot(TControl* aControl, const std::string& aPath);

void ProbeClick(TControl* aControl, int aX, int aY, TMouseButton aButton = mbLeft);
void ProbeDrag(TControl* aControl, TMouseButton aButton, int aFromX, int aFromY, int aToX, int aToY);
void ProbeMouseMove(TControl* aControl, int aX, int aY);
// Wheel steps away from the user (positive: down the list).
void ProbeWheel(TControl* aControl, int aX, int aY, int aSteps);

// The family the control's text is drawn with.
UnicodeString DrawnFontFamily(TControl* aControl);

// A picture of one colour encoded as "BMP", "PNG" or "JPEG".
std::vector<std::uint8_t> EncodePicture(std::string_view aFormat, int aWidth, int aHeight, TColor aColor);

}  // namespace platform
