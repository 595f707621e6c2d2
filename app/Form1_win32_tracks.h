#pragma once

// The track list on Windows: the pack's 24 tracks as the game will number them, in a list
// view, and the buttons that choose the pack the next patch uses.

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/Form1_win32.h"
#include "pack/track_summary.h"

namespace tflux::win32 {

class TrackList {
  public:
    // Asks the window to patch with a pack (nullopt: the built-in one); whether it was taken.
    using Choose = std::function<bool(const std::optional<std::filesystem::path>&)>;

    TrackList(HINSTANCE instance, HWND owner, Choose choose);
    ~TrackList();
    TrackList(const TrackList&) = delete;
    TrackList& operator=(const TrackList&) = delete;

    // Shows the window with the container's tracks; `label` names the pack.
    void Show(std::span<const std::uint8_t> container, const std::string& label);
    // Tab and the buttons' keys inside the track list's window.
    bool Translate(MSG& msg);

    template <class Owner>
    friend LRESULT CALLBACK WindowProcedure(HWND, UINT, WPARAM, LPARAM);

  private:
    LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);
    bool Create();
    void Layout();
    void Fill();
    void ShowProblems(int row);
    void ChooseFolder();
    void ChooseContainer();

    HINSTANCE instance_;
    HWND owner_;
    Choose choose_;
    HWND hwnd_ = nullptr;
    HWND label_ = nullptr;
    HWND list_ = nullptr;
    HWND problems_ = nullptr;
    HWND builtIn_ = nullptr;
    HWND folder_ = nullptr;
    HWND container_ = nullptr;
    HFONT font_ = nullptr;
    std::string packLabel_;
    std::vector<TrackSummary> tracks_;
    std::string error_;  // why the tracks could not be read, shown in place of the list
};

}  // namespace tflux::win32
