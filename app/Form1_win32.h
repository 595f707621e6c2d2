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

// The engine's paths and words are narrow strings that it names files by as the C++ library
// converts them; the window converts the same way, so that a path reaches the engine as the
// system named it. A wide path the narrow form cannot hold throws std::system_error.
std::string Native(const std::wstring& wide);
std::wstring Shown(const std::string& text);

// UTF-8 (the track list's names) and the system's wide strings, both ways.
std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);
// "N64 ROMs (*.*64)|*.*64" as the file dialogs take it: every "|" a NUL, and one more at the end.
std::wstring DialogFilter(const char* filter);

// A message box with the window's caption, for what is said before the window exists.
void ShowStartMessage(const std::string& text, bool error);

}  // namespace tflux::win32
