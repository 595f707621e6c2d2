#pragma once

// The program's window on Windows: Form1 drawn and driven with the plain Win32 API. What it
// shows and asks comes from the toolkit-free form logic, as in the Qt window.

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>

namespace tflux::win32 {

// What the command line asks the window to start with.
struct WindowStart {
    std::optional<std::string> image;  // UTF-8
    std::optional<std::string> pack;   // UTF-8
    bool tracks = false;
};

// The window's control identifiers, which a test finds the buttons by.
inline constexpr int kIdROMIn = 101;
inline constexpr int kIdROMOut = 102;
inline constexpr int kIdPatch = 103;
inline constexpr int kIdTracks = 104;

// Shows Form1 and runs its message loop until it closes; the process's exit status.
int RunForm1(HINSTANCE instance, const WindowStart& start, int show);

// The engine's paths and words are UTF-8; the system's are wide strings. Both ways.
std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);
// "N64 ROMs (*.*64)|*.*64" as the file dialogs take it: every "|" a NUL, and one more at the end.
std::wstring DialogFilter(const char* filter);

// The window procedure of a class of windows that each belong to one `Owner`: the owner comes as
// the creation parameter, is kept with the window, and handles every message from then on. An
// owner declares this a friend and has `HWND hwnd_` and `LRESULT Handle(UINT, WPARAM, LPARAM)`.
template <class Owner>
LRESULT CALLBACK WindowProcedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        auto* created =
            static_cast<Owner*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
        created->hwnd_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(created));
    }
    auto* owner = reinterpret_cast<Owner*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    return owner != nullptr ? owner->Handle(message, wparam, lparam)
                            : DefWindowProcW(hwnd, message, wparam, lparam);
}

// A message box with the window's caption, for what is said before the window exists.
void ShowStartMessage(const std::string& text, bool error);

}  // namespace tflux::win32
