#include "app/Form1_win32_tracks.h"

// Windows' own headers need <windows.h> before them.
#include <windows.h>

#include <commctrl.h>
#include <commdlg.h>
#include <shlobj.h>

#include <algorithm>
#include <exception>
#include <iterator>
#include <utility>

#include "app/Form1_win32.h"
#include "app/form_logic.h"
#include "pack/load_payload.h"
#include "rom/text.h"

namespace tflux::win32 {

namespace {

constexpr wchar_t kClassName[] = L"TFluxKrnTracks";
constexpr int kIdList = 201;
constexpr int kIdBuiltIn = 202;
constexpr int kIdFolder = 203;
constexpr int kIdContainer = 204;

struct Column {
    const wchar_t* title;
    int width;
};
constexpr Column kColumns[] = {{L"#", 36},      {L"Name", 150},  {L"Subtitle", 150},
                               {L"Venue", 100}, {L"Length", 70}, {L"Shapes", 190},
                               {L"Valid", 150}};

std::string Cell(const TrackSummary& t, int column) {
    switch (column) {
        case 0:
            return std::to_string(t.track);
        case 1:
            return t.name;
        case 2:
            return t.subtitle;
        case 3:
            return t.venue;
        case 4:
            return Thousands(t.length);
        case 5:
            return t.shapes;
        default:
            return t.problems.empty() ? "\u2713 valid" : "\u26A0 " + VerdictText(t.problems.size());
    }
}

}  // namespace

TrackList::TrackList(HINSTANCE instance, HWND owner, Choose choose)
    : instance_(instance), owner_(owner), choose_(std::move(choose)) {}

TrackList::~TrackList() {
    if (hwnd_ != nullptr) {
        DestroyWindow(hwnd_);
    }
    if (font_ != nullptr) {
        DeleteObject(font_);
    }
}

bool TrackList::Create() {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = WindowProcedure<TrackList>;
    wc.hInstance = instance_;
    wc.hIcon = LoadIconW(instance_, L"APPICON");
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClassName;
    RegisterClassExW(&wc);
    const std::wstring title = Wide("T-Flux KRN \u2013 Tracks");
    hwnd_ = CreateWindowExW(0, kClassName, title.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                            CW_USEDEFAULT, 1, 1, owner_, nullptr, instance_, this);
    if (hwnd_ == nullptr) {
        return false;
    }
    const int dpi = int(GetDpiForWindow(hwnd_));
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, UINT(dpi));
    font_ = CreateFontIndirectW(&metrics.lfMessageFont);
    const auto child = [&](const wchar_t* cls, const wchar_t* text, DWORD style, int id) {
        HWND w = CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 1, 1, hwnd_,
                                 reinterpret_cast<HMENU>(INT_PTR(id)), instance_, nullptr);
        SendMessageW(w, WM_SETFONT, WPARAM(font_), TRUE);
        return w;
    };
    label_ = child(L"STATIC", L"", SS_LEFT | SS_NOPREFIX | SS_CENTERIMAGE, 0);
    builtIn_ = child(L"BUTTON", L"&Built-in Pack", WS_TABSTOP | BS_PUSHBUTTON, kIdBuiltIn);
    folder_ = child(L"BUTTON", L"Pack &Folder...", WS_TABSTOP | BS_PUSHBUTTON, kIdFolder);
    container_ = child(L"BUTTON", L"&Container File...", WS_TABSTOP | BS_PUSHBUTTON, kIdContainer);
    list_ = child(WC_LISTVIEWW, L"Tracks",
                  WS_TABSTOP | WS_BORDER | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS, kIdList);
    ListView_SetExtendedListViewStyle(list_, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
    for (int c = 0; c < int(std::size(kColumns)); ++c) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.pszText = const_cast<wchar_t*>(kColumns[c].title);
        column.cx = MulDiv(kColumns[c].width, dpi, 96);
        ListView_InsertColumn(list_, c, &column);
    }
    problems_ =
        child(L"EDIT", L"",
              WS_TABSTOP | WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, 0);
    SetWindowPos(hwnd_, nullptr, 0, 0, MulDiv(900, dpi, 96), MulDiv(620, dpi, 96),
                 SWP_NOMOVE | SWP_NOZORDER);
    return true;
}

void TrackList::Layout() {
    RECT client;
    GetClientRect(hwnd_, &client);
    const int dpi = int(GetDpiForWindow(hwnd_));
    const auto s = [dpi](int v) { return MulDiv(v, dpi, 96); };
    const int w = client.right;
    const int h = client.bottom;
    const int bw = s(120);
    MoveWindow(container_, w - s(8) - bw, s(8), bw, s(26), TRUE);
    MoveWindow(folder_, w - s(16) - 2 * bw, s(8), bw, s(26), TRUE);
    MoveWindow(builtIn_, w - s(24) - 3 * bw, s(8), bw, s(26), TRUE);
    MoveWindow(label_, s(8), s(8), std::max(0, w - s(40) - 3 * bw), s(26), TRUE);
    const int problemsHeight = s(90);
    MoveWindow(list_, s(8), s(42), w - s(16), std::max(0, h - s(58) - problemsHeight), TRUE);
    MoveWindow(problems_, s(8), h - s(8) - problemsHeight, w - s(16), problemsHeight, TRUE);
}

void TrackList::Show(std::span<const std::uint8_t> container, const std::string& label) {
    if (hwnd_ == nullptr && !Create()) {
        return;
    }
    packLabel_ = label;
    tracks_.clear();
    error_.clear();
    try {
        for (const PackEntry& entry : ReadPackTracks(container)) {
            tracks_.push_back(SummarizeTrack(entry));
        }
    } catch (const std::exception& e) {
        tracks_.clear();
        error_ = e.what();
    }
    SetWindowTextW(label_, Wide("Pack: " + label).c_str());
    Fill();
    Layout();
    ShowWindow(hwnd_, SW_SHOW);
    SetForegroundWindow(hwnd_);
    SetFocus(list_);
}

void TrackList::Fill() {
    ListView_DeleteAllItems(list_);
    for (int row = 0; row < int(tracks_.size()); ++row) {
        const TrackSummary& t = tracks_[std::size_t(row)];
        for (int c = 0; c < int(std::size(kColumns)); ++c) {
            std::wstring text = Wide(Cell(t, c));
            LVITEMW item{};
            item.mask = LVIF_TEXT;
            item.iItem = row;
            item.iSubItem = c;
            item.pszText = text.data();
            if (c == 0) {
                ListView_InsertItem(list_, &item);
            } else {
                ListView_SetItem(list_, &item);
            }
        }
    }
    if (!tracks_.empty()) {
        ListView_SetItemState(list_, 0, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    }
    ShowProblems(tracks_.empty() ? -1 : 0);
}

void TrackList::ShowProblems(int row) {
    std::string text;
    if (!error_.empty()) {
        text = error_;
    } else if (row >= 0 && row < int(tracks_.size())) {
        const TrackSummary& t = tracks_[std::size_t(row)];
        if (t.problems.empty()) {
            text = "Track " + std::to_string(t.track) + " is valid by every rule the game keeps.";
        } else {
            text = "Track " + std::to_string(t.track) + " is not valid:";
            for (const std::string& problem : t.problems) {
                text += "\r\n" + problem;
            }
        }
    }
    SetWindowTextW(problems_, Wide(text).c_str());
}

void TrackList::ChooseFolder() {
    BROWSEINFOW info{};
    info.hwndOwner = hwnd_;
    const std::wstring title = Wide(form::kPackFolderTitle);
    info.lpszTitle = title.c_str();
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&info);
    if (chosen == nullptr) {
        return;
    }
    std::wstring path(32768, L'\0');
    const bool named =
        SHGetPathFromIDListEx(chosen, path.data(), DWORD(path.size()), GPFIDL_DEFAULT);
    CoTaskMemFree(chosen);
    if (named) {
        choose_(std::filesystem::path(path.c_str()));
    }
}

void TrackList::ChooseContainer() {
    std::wstring file(32768, L'\0');
    const std::wstring filters = DialogFilter(form::kPackFilter);
    const std::wstring title = Wide(form::kPackTitle);
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = hwnd_;
    ofn.lpstrFilter = filters.c_str();
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = DWORD(file.size());
    ofn.lpstrTitle = title.c_str();
    ofn.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST;
    if (GetOpenFileNameW(&ofn)) {
        choose_(std::filesystem::path(file.c_str()));
    }
}

bool TrackList::Translate(MSG& msg) {
    return hwnd_ != nullptr && IsWindowVisible(hwnd_) && IsDialogMessageW(hwnd_, &msg);
}

LRESULT TrackList::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_SIZE:
            Layout();
            return 0;
        case WM_COMMAND:
            if (HIWORD(wparam) == BN_CLICKED) {
                switch (LOWORD(wparam)) {
                    case kIdBuiltIn:
                        choose_(std::nullopt);
                        break;
                    case kIdFolder:
                        ChooseFolder();
                        break;
                    case kIdContainer:
                        ChooseContainer();
                        break;
                }
            }
            return 0;
        case WM_NOTIFY: {
            const auto* header = reinterpret_cast<const NMHDR*>(lparam);
            if (header->idFrom == UINT_PTR(kIdList) && header->code == LVN_ITEMCHANGED) {
                const auto* change = reinterpret_cast<const NMLISTVIEW*>(lparam);
                if ((change->uNewState & LVIS_SELECTED) != 0) {
                    ShowProblems(change->iItem);
                }
            }
            return 0;
        }
        case WM_CLOSE:
            // Closed, it is only hidden: the main window shows it again as it was.
            ShowWindow(hwnd_, SW_HIDE);
            return 0;
        default:
            break;
    }
    return DefWindowProcW(hwnd_, message, wparam, lparam);
}

}  // namespace tflux::win32
