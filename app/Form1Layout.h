#pragma once

// The window's colours and where its controls sit, in the window's own pixels: the window is
// built from these, and its tests check the window against them.

#include <QColor>
#include <QPoint>
#include <QRect>
#include <QSize>

#include "app/form_logic.h"

namespace form1 {

inline constexpr QSize kClientSize{321, 98};

// ---- colours ----

inline const QColor kBackdrop{Qt::black};      // behind the artwork
inline const QColor kShadowColour{Qt::black};  // every text's shadow
inline const QColor kCaptionColour{Qt::cyan};  // "ROM In:", "ROM Out:"
inline const QColor kPathColour{Qt::yellow};
inline constexpr QColor kLineColour{255, 128, 255};  // the separator
// The status line: before any input, for an accepted image and for anything refused.
constexpr QColor ToQColor(tflux::form::Rgb rgb) {
    return QColor(rgb.red, rgb.green, rgb.blue);
}
inline constexpr QColor kIdleColour = ToQColor(tflux::form::kIdleRgb);
inline constexpr QColor kAcceptedColour = ToQColor(tflux::form::kAcceptedRgb);
inline constexpr QColor kRefusedColour = ToQColor(tflux::form::kRefusedRgb);
// The window's edge while a file that a drop would take is over it.
inline const QColor kDropColour{Qt::cyan};
// Night-blue buttons with white captions, to sit in the artwork rather than on it.
inline constexpr QColor kButtonFace{0x22, 0x2a, 0x66};
inline constexpr QColor kButtonShade{0x10, 0x12, 0x36};
inline const QColor kButtonText{Qt::white};
inline const QColor kButtonFocus{Qt::cyan};

// ---- geometry ----

// Each shadow lies this far below and right of its text.
inline constexpr QPoint kShadowOffset{1, 1};

inline constexpr QRect kPicBack{64, 8, 225, 41};  // the picture the paths are shown on
inline constexpr QRect kLabel1{0, 8, 57, 17};     // "ROM In:"
inline constexpr QRect kLabel3{0, 32, 57, 17};    // "ROM Out:"
inline constexpr QRect kCmdROMIn{296, 8, 17, 17};
inline constexpr QRect kCmdROMOut{296, 32, 17, 17};
inline constexpr QRect kLine1{16, 56, 289, 1};
inline constexpr QRect kLblStatus{8, 72, 241, 17};
inline constexpr QRect kCmdPatch{256, 64, 57, 25};
// Labels that size themselves to their text: only the corner is fixed. The path labels' in
// the picture behind them.
inline constexpr QPoint kLblROMIn{0, 0};
inline constexpr QPoint kLblROMOut{0, 24};
// Below the client area: controls that hold state, not anything to see.
inline constexpr QRect kTxtROMIn{0, 104, 225, 19};
inline constexpr QRect kTxtROMOut{0, 128, 225, 19};
inline constexpr QRect kPicture1{232, 104, 25, 25};
inline constexpr QPoint kLblWidth{0, 152};

}  // namespace form1
