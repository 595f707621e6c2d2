#pragma once

// Form1's colours and where its controls sit, in the window's own pixels, without a toolkit:
// the Qt window and the Win32 window are both built from these.

#include "app/form_logic.h"

namespace form1::geometry {

struct Point {
    int x = 0;
    int y = 0;
};

struct Rect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

using tflux::form::Rgb;

inline constexpr Point kClientSize{321, 98};

// ---- colours ----

inline constexpr Rgb kBackdrop{0, 0, 0};           // behind the artwork
inline constexpr Rgb kShadowColour{0, 0, 0};       // every text's shadow
inline constexpr Rgb kCaptionColour{0, 255, 255};  // "ROM In:", "ROM Out:"
inline constexpr Rgb kPathColour{255, 255, 0};
inline constexpr Rgb kLineColour{255, 128, 255};  // the separator
// The window's edge while a file that a drop would take is over it.
inline constexpr Rgb kDropColour{0, 255, 255};
// Night-blue buttons with white captions, to sit in the artwork rather than on it.
inline constexpr Rgb kButtonFace{0x22, 0x2a, 0x66};
inline constexpr Rgb kButtonShade{0x10, 0x12, 0x36};
inline constexpr Rgb kButtonText{255, 255, 255};
inline constexpr Rgb kButtonFocus{0, 255, 255};

// ---- geometry ----

// Each shadow lies this far below and right of its text.
inline constexpr Point kShadowOffset{1, 1};

inline constexpr Rect kPicBack{64, 8, 225, 41};  // the picture the paths are shown on
inline constexpr Rect kLabel1{0, 8, 57, 17};     // "ROM In:"
inline constexpr Rect kLabel3{0, 32, 57, 17};    // "ROM Out:"
inline constexpr Rect kCmdROMIn{296, 8, 17, 17};
inline constexpr Rect kCmdROMOut{296, 32, 17, 17};
inline constexpr Rect kLine1{16, 56, 289, 1};
inline constexpr Rect kLblStatus{8, 72, 241, 17};
inline constexpr Rect kCmdPatch{256, 64, 57, 25};
// The track list's button, at the status line's far end in the status panel: the one free
// place in reach of the keyboard. The line's longest words end well before it.
inline constexpr Rect kCmdTracks{232, 72, 17, 17};
// Labels that size themselves to their text: only the corner is fixed. The path labels' in
// the picture behind them.
inline constexpr Point kLblROMIn{0, 0};
inline constexpr Point kLblROMOut{0, 24};
// Below the client area: controls that hold state, not anything to see.
inline constexpr Rect kTxtROMIn{0, 104, 225, 19};
inline constexpr Rect kTxtROMOut{0, 128, 225, 19};
inline constexpr Rect kPicture1{232, 104, 25, 25};
inline constexpr Point kLblWidth{0, 152};

}  // namespace form1::geometry
