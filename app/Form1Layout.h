#pragma once

// Form1's colours and places as Qt's types: the window is built from these, and its tests check
// the window against them.

#include <QColor>
#include <QPoint>
#include <QRect>
#include <QSize>

#include "app/form1_geometry.h"

namespace form1 {

constexpr QColor ToQColor(tflux::form::Rgb rgb) {
    return QColor(rgb.red, rgb.green, rgb.blue);
}
constexpr QRect ToQRect(geometry::Rect r) {
    return QRect(r.x, r.y, r.width, r.height);
}
constexpr QPoint ToQPoint(geometry::Point p) {
    return QPoint(p.x, p.y);
}

inline constexpr QSize kClientSize{geometry::kClientSize.x, geometry::kClientSize.y};

// ---- colours ----

inline constexpr QColor kBackdrop = ToQColor(geometry::kBackdrop);
inline constexpr QColor kShadowColour = ToQColor(geometry::kShadowColour);
inline constexpr QColor kCaptionColour = ToQColor(geometry::kCaptionColour);
inline constexpr QColor kPathColour = ToQColor(geometry::kPathColour);
inline constexpr QColor kLineColour = ToQColor(geometry::kLineColour);
// The status line: before any input, for an accepted image and for anything refused.
inline constexpr QColor kIdleColour = ToQColor(tflux::form::kIdleRgb);
inline constexpr QColor kAcceptedColour = ToQColor(tflux::form::kAcceptedRgb);
inline constexpr QColor kRefusedColour = ToQColor(tflux::form::kRefusedRgb);
inline constexpr QColor kDropColour = ToQColor(geometry::kDropColour);
inline constexpr QColor kButtonFace = ToQColor(geometry::kButtonFace);
inline constexpr QColor kButtonShade = ToQColor(geometry::kButtonShade);
inline constexpr QColor kButtonText = ToQColor(geometry::kButtonText);
inline constexpr QColor kButtonFocus = ToQColor(geometry::kButtonFocus);

// ---- geometry ----

inline constexpr QPoint kShadowOffset = ToQPoint(geometry::kShadowOffset);
inline constexpr QRect kPicBack = ToQRect(geometry::kPicBack);
inline constexpr QRect kLabel1 = ToQRect(geometry::kLabel1);
inline constexpr QRect kLabel3 = ToQRect(geometry::kLabel3);
inline constexpr QRect kCmdROMIn = ToQRect(geometry::kCmdROMIn);
inline constexpr QRect kCmdROMOut = ToQRect(geometry::kCmdROMOut);
inline constexpr QRect kLine1 = ToQRect(geometry::kLine1);
inline constexpr QRect kLblStatus = ToQRect(geometry::kLblStatus);
inline constexpr QRect kCmdPatch = ToQRect(geometry::kCmdPatch);
inline constexpr QRect kCmdTracks = ToQRect(geometry::kCmdTracks);
inline constexpr QPoint kLblROMIn = ToQPoint(geometry::kLblROMIn);
inline constexpr QPoint kLblROMOut = ToQPoint(geometry::kLblROMOut);
inline constexpr QRect kTxtROMIn = ToQRect(geometry::kTxtROMIn);
inline constexpr QRect kTxtROMOut = ToQRect(geometry::kTxtROMOut);
inline constexpr QRect kPicture1 = ToQRect(geometry::kPicture1);
inline constexpr QPoint kLblWidth = ToQPoint(geometry::kLblWidth);

}  // namespace form1
