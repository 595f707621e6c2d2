#include "app/Form1_win32.h"

// Windows' own headers need <windows.h> before them.
#include <windows.h>

#include <commctrl.h>
#include <commdlg.h>
#include <gdiplus.h>
#include <objidl.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/Form1_win32_tracks.h"
#include "app/form1_geometry.h"
#include "app/form_logic.h"
#include "app/patch.h"
#include "rom/identify.h"
#include "rom/rom_state.h"
#include "rom/text.h"

namespace tflux::win32 {

namespace g = form1::geometry;

void ShowStartMessage(const std::string& text, bool error) {
    MessageBoxW(nullptr, Wide(text).c_str(), Wide(form::kCaption).c_str(),
                MB_OK | (error ? MB_ICONERROR : MB_ICONINFORMATION));
}

namespace {

constexpr wchar_t kClassName[] = L"TFluxKrnForm1";
constexpr UINT kPatchDone = WM_APP + 1;

COLORREF Colour(g::Rgb rgb) {
    return RGB(rgb.red, rgb.green, rgb.blue);
}

// ---- the artwork, kept as PNG resources and decoded once ----

struct GdiplusSession {
    ULONG_PTR token = 0;
    GdiplusSession() {
        Gdiplus::GdiplusStartupInput input;
        Gdiplus::GdiplusStartup(&token, &input, nullptr);
    }
    ~GdiplusSession() { Gdiplus::GdiplusShutdown(token); }
    GdiplusSession(const GdiplusSession&) = delete;
    GdiplusSession& operator=(const GdiplusSession&) = delete;
};

std::unique_ptr<Gdiplus::Bitmap> LoadArt(const wchar_t* name) {
    HRSRC found = FindResourceW(nullptr, name, MAKEINTRESOURCEW(10));  // RT_RCDATA
    HGLOBAL loaded = found != nullptr ? LoadResource(nullptr, found) : nullptr;
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr) {
        return nullptr;
    }
    IStream* stream =
        SHCreateMemStream(static_cast<const BYTE*>(bytes), UINT(SizeofResource(nullptr, found)));
    if (stream == nullptr) {
        return nullptr;
    }
    std::unique_ptr<Gdiplus::Bitmap> bitmap(Gdiplus::Bitmap::FromStream(stream));
    stream->Release();
    if (bitmap && bitmap->GetLastStatus() != Gdiplus::Ok) {
        bitmap.reset();
    }
    return bitmap;
}

// A picture and its render at twice the size, for screens scaled past 100%.
struct Artwork {
    std::unique_ptr<Gdiplus::Bitmap> normal;
    std::unique_ptr<Gdiplus::Bitmap> sharp;
    Gdiplus::Bitmap* For(int dpi) const { return dpi > 96 && sharp ? sharp.get() : normal.get(); }
};

// ---- dialogs ----

// The open-file dialog, wide so that any path can be chosen, starting in the current folder;
// the path as chosen, or "" on cancel. The file need not exist.
std::wstring ShowFileDialog(HWND owner, const char* title, const char* filter) {
    std::wstring file(32768, L'\0');
    const std::wstring filters = DialogFilter(filter);
    const std::wstring caption = Wide(title);
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = owner;
    ofn.hInstance = GetModuleHandleW(nullptr);
    ofn.lpstrFilter = filters.c_str();
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = DWORD(file.size());
    ofn.lpstrTitle = caption.c_str();
    ofn.Flags = OFN_EXPLORER | OFN_LONGNAMES;
    if (!GetOpenFileNameW(&ofn)) {
        return {};
    }
    return file.c_str();
}

// The save dialog for the output, in `folder` with `name` proposed. It asks nothing about an
// existing file: the window asks once, when it knows whether the file is the user's.
std::wstring ShowSaveDialog(HWND owner, const char* title, const char* filter,
                            const form::SaveStart& start) {
    std::wstring file = Wide(start.name);
    file.resize(32768, L'\0');
    const std::wstring filters = DialogFilter(filter);
    const std::wstring caption = Wide(title);
    const std::wstring folder = start.folder.wstring();
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = owner;
    ofn.lpstrFilter = filters.c_str();
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = DWORD(file.size());
    ofn.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
    ofn.lpstrTitle = caption.c_str();
    ofn.Flags = OFN_EXPLORER | OFN_LONGNAMES | OFN_NOREADONLYRETURN;
    if (!GetSaveFileNameW(&ofn)) {
        return {};
    }
    return file.c_str();
}

// A task dialog whose expanded part holds the detail; a message box where there is none.
void ShowMessage(HWND owner, const form::FormMessage& message) {
    const std::wstring caption = Wide(form::kCaption);
    const std::wstring text = Wide(message.text);
    const std::wstring detail = Wide(message.detail);
    const bool information = message.icon == form::MessageIcon::Information;
    TASKDIALOGCONFIG config{};
    config.cbSize = sizeof(config);
    config.hwndParent = owner;
    config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION | TDF_SIZE_TO_CONTENT;
    config.dwCommonButtons = TDCBF_OK_BUTTON;
    config.pszWindowTitle = caption.c_str();
    config.pszMainIcon = information ? TD_INFORMATION_ICON : TD_ERROR_ICON;
    config.pszContent = text.c_str();
    config.pszExpandedInformation = detail.empty() ? nullptr : detail.c_str();
    if (SUCCEEDED(TaskDialogIndirect(&config, nullptr, nullptr, nullptr))) {
        return;
    }
    const std::wstring whole = detail.empty() ? text : text + L"\n\n" + detail;
    MessageBoxW(owner, whole.c_str(), caption.c_str(),
                MB_OK | (information ? MB_ICONINFORMATION : MB_ICONERROR));
}

bool AskYesNo(HWND owner, const std::string& question) {
    return MessageBoxW(owner, Wide(question).c_str(), Wide(form::kCaption).c_str(),
                       MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
}

// ---- the window ----

class Form1 {
  public:
    explicit Form1(HINSTANCE instance) : instance_(instance), pack_(form::BuiltInPack()) {}
    ~Form1() {
        DeleteFonts();
        CloseRom(state_);
    }
    Form1(const Form1&) = delete;
    Form1& operator=(const Form1&) = delete;

    bool Create(int show);
    void Open(const WindowStart& start);
    HWND Handle() const { return hwnd_; }
    // Keys the window answers itself: Enter on a focused button, Ctrl+Q and Ctrl+W.
    bool Translate(MSG& msg);

    template <class Owner>
    friend LRESULT CALLBACK ::tflux::win32::WindowProcedure(HWND, UINT, WPARAM, LPARAM);

  private:
    LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);
    int Scale(int pixels) const { return MulDiv(pixels, dpi_, 96); }
    RECT Scaled(const g::Rect& r) const {
        return {Scale(r.x), Scale(r.y), Scale(r.x + r.width), Scale(r.y + r.height)};
    }
    void MakeFonts();
    void DeleteFonts();
    void PlaceControls();
    void Paint(HDC dc);
    void PaintText(HDC dc, const std::wstring& text, int x, int y, COLORREF colour, UINT format,
                   RECT* box = nullptr);
    void PaintPath(HDC dc, const std::string& path, g::Point corner);
    void DrawButton(const DRAWITEMSTRUCT& item);

    void cmdROMIn_Click();
    void cmdROMOut_Click();
    void cmdPatch_Click();
    void ShowTracks();
    void ChooseInput(const std::string& path);
    void SetOutput(const std::string& path);
    void InputCheck();
    void Present(const form::FormMessage& message) { ShowMessage(hwnd_, message); }
    bool UsePack(const std::optional<std::filesystem::path>& path);
    void Patch();
    PatchResult RunPatchBusy(const PatchRequest& request);
    void SetBusy(bool busy);
    void UpdateStatusTip();

    HINSTANCE instance_;
    HWND hwnd_ = nullptr;
    HWND cmdROMIn = nullptr;
    HWND cmdROMOut = nullptr;
    HWND cmdPatch = nullptr;
    HWND cmdTracks = nullptr;
    HWND tip_ = nullptr;
    int dpi_ = 96;
    HFONT font_ = nullptr;
    Artwork background_;
    Artwork paths_;

    RomState state_;
    std::string txtROMIn;  // the paths, as the Qt window keeps them in hidden text boxes
    std::string txtROMOut;
    form::StatusLine status_ = form::NoInputStatus();
    form::ChosenPack pack_;
    std::wstring tipText_;
    bool patching_ = false;
    bool closeRequested_ = false;
    bool dropHovering_ = false;
    std::unique_ptr<TrackList> tracks_;
};

bool Form1::Create(int show) {
    background_ = {LoadArt(L"BACKGROUND"), LoadArt(L"BACKGROUND2X")};
    paths_ = {LoadArt(L"PATHS"), LoadArt(L"PATHS2X")};

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = WindowProcedure<Form1>;
    wc.hInstance = instance_;
    wc.hIcon = LoadIconW(instance_, L"APPICON");
    wc.hIconSm = static_cast<HICON>(LoadImageW(instance_, L"APPICON", IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), 0));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    wc.lpszClassName = kClassName;
    RegisterClassExW(&wc);

    constexpr DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    hwnd_ =
        CreateWindowExW(WS_EX_ACCEPTFILES, kClassName, Wide(form::kCaption).c_str(), style,
                        CW_USEDEFAULT, CW_USEDEFAULT, 400, 200, nullptr, nullptr, instance_, this);
    if (hwnd_ == nullptr) {
        return false;
    }
    dpi_ = int(GetDpiForWindow(hwnd_));
    MakeFonts();
    // Created in the tab order: Patch first, as the focus starts there, then the browse buttons.
    const auto button = [&](const wchar_t* caption, int id, const wchar_t* name) {
        HWND b = CreateWindowExW(0, L"BUTTON", caption,
                                 WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW, 0, 0, 1, 1,
                                 hwnd_, reinterpret_cast<HMENU>(INT_PTR(id)), instance_, nullptr);
        // What a screen reader names it by when the caption says too little.
        SetPropW(b, L"TfluxAccessibleName", const_cast<wchar_t*>(name));
        return b;
    };
    cmdPatch = button(L"Patch", kIdPatch, L"Patch");
    cmdROMIn = button(L"...", kIdROMIn, L"Choose input ROM");
    cmdROMOut = button(L"...", kIdROMOut, L"Choose output ROM");
    cmdTracks = button(L"24", kIdTracks, L"Tracks");
    tip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP,
                           CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, hwnd_,
                           nullptr, instance_, nullptr);
    PlaceControls();
    ShowWindow(hwnd_, show);
    SetFocus(cmdPatch);
    return true;
}

void Form1::MakeFonts() {
    DeleteFonts();
    // The classic dialog font at the 13-pixel line every position assumes, scaled with the screen.
    font_ = CreateFontW(-Scale(11), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                        OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                        DEFAULT_PITCH | FF_SWISS, L"MS Shell Dlg 2");
    for (HWND b : {cmdROMIn, cmdROMOut, cmdPatch, cmdTracks}) {
        if (b != nullptr) {
            SendMessageW(b, WM_SETFONT, WPARAM(font_), TRUE);
        }
    }
}

void Form1::DeleteFonts() {
    if (font_ != nullptr) {
        DeleteObject(font_);
        font_ = nullptr;
    }
}

// The window's size and its controls' places for the screen's scale.
void Form1::PlaceControls() {
    RECT frame{0, 0, Scale(g::kClientSize.x), Scale(g::kClientSize.y)};
    const DWORD style = DWORD(GetWindowLongPtrW(hwnd_, GWL_STYLE));
    const DWORD exStyle = DWORD(GetWindowLongPtrW(hwnd_, GWL_EXSTYLE));
    AdjustWindowRectExForDpi(&frame, style, FALSE, exStyle, UINT(dpi_));
    SetWindowPos(hwnd_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    const auto place = [&](HWND control, const g::Rect& r) {
        const RECT box = Scaled(r);
        MoveWindow(control, box.left, box.top, box.right - box.left, box.bottom - box.top, TRUE);
    };
    place(cmdROMIn, g::kCmdROMIn);
    place(cmdROMOut, g::kCmdROMOut);
    place(cmdPatch, g::kCmdPatch);
    place(cmdTracks, g::kCmdTracks);
    UpdateStatusTip();
}

void Form1::Open(const WindowStart& start) {
    // A refused pack has said why; the built-in one serves meanwhile.
    if (start.pack) {
        UsePack(PathFromText(*start.pack));
    }
    if (start.image) {
        ChooseInput(*start.image);
    }
    if (start.tracks) {
        ShowTracks();
    }
}

bool Form1::Translate(MSG& msg) {
    if (tracks_ && tracks_->Translate(msg)) {
        return true;
    }
    if (msg.message != WM_KEYDOWN || (msg.hwnd != hwnd_ && GetParent(msg.hwnd) != hwnd_)) {
        return false;
    }
    const bool control = (GetKeyState(VK_CONTROL) & 0x8000) != 0;
    if (control && (msg.wParam == 'Q' || msg.wParam == 'W')) {
        PostMessageW(hwnd_, WM_CLOSE, 0, 0);
        return true;
    }
    if (control && msg.wParam == 'T') {
        ShowTracks();
        return true;
    }
    // Buttons outside a dialog answer only Space; Enter is what keyboard users press first.
    if (msg.wParam == VK_RETURN && GetParent(msg.hwnd) == hwnd_ && (msg.lParam & (1 << 30)) == 0) {
        SendMessageW(msg.hwnd, BM_CLICK, 0, 0);
        return true;
    }
    return false;
}

LRESULT Form1::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(hwnd_, &ps);
            Paint(dc);
            EndPaint(hwnd_, &ps);
            return 0;
        }
        case WM_PRINTCLIENT:
            // A picture of the window, as a screenshot or a thumbnail asks for it.
            Paint(reinterpret_cast<HDC>(wparam));
            return 0;
        case WM_ERASEBKGND:
            return 1;  // painted whole in WM_PAINT
        case WM_DRAWITEM:
            DrawButton(*reinterpret_cast<const DRAWITEMSTRUCT*>(lparam));
            return TRUE;
        case WM_COMMAND:
            if (HIWORD(wparam) == BN_CLICKED && !patching_) {
                switch (LOWORD(wparam)) {
                    case kIdROMIn:
                        cmdROMIn_Click();
                        break;
                    case kIdROMOut:
                        cmdROMOut_Click();
                        break;
                    case kIdPatch:
                        cmdPatch_Click();
                        break;
                    case kIdTracks:
                        ShowTracks();
                        break;
                }
            }
            return 0;
        case WM_DROPFILES: {
            auto* drop = reinterpret_cast<HDROP>(wparam);
            // One file is an input; anything else is not taken.
            if (!patching_ && DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0) == 1) {
                std::wstring name(DragQueryFileW(drop, 0, nullptr, 0) + 1, L'\0');
                DragQueryFileW(drop, 0, name.data(), UINT(name.size()));
                DragFinish(drop);
                ChooseInput(Utf8(name.c_str()));
                return 0;
            }
            DragFinish(drop);
            return 0;
        }
        case WM_SETCURSOR:
            if (patching_) {
                SetCursor(LoadCursorW(nullptr, IDC_WAIT));
                return TRUE;
            }
            break;
        case WM_DPICHANGED: {
            dpi_ = HIWORD(wparam);
            MakeFonts();
            const RECT* suggested = reinterpret_cast<const RECT*>(lparam);
            SetWindowPos(hwnd_, nullptr, suggested->left, suggested->top, 0, 0,
                         SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
            PlaceControls();
            InvalidateRect(hwnd_, nullptr, FALSE);
            return 0;
        }
        case WM_CLOSE:
            // A patch running finishes first; then the window closes.
            if (patching_) {
                closeRequested_ = true;
                return 0;
            }
            DestroyWindow(hwnd_);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            break;
    }
    return DefWindowProcW(hwnd_, message, wparam, lparam);
}

// ---- painting ----

void Form1::PaintText(HDC dc, const std::wstring& text, int x, int y, COLORREF colour, UINT format,
                      RECT* box) {
    RECT shadow{};
    RECT place{};
    if (box != nullptr) {
        place = *box;
    } else {
        SIZE size{};
        GetTextExtentPoint32W(dc, text.c_str(), int(text.size()), &size);
        place = {x, y, x + size.cx, y + size.cy};
    }
    shadow = place;
    OffsetRect(&shadow, Scale(g::kShadowOffset.x), Scale(g::kShadowOffset.y));
    SetTextColor(dc, Colour(g::kShadowColour));
    DrawTextW(dc, text.c_str(), int(text.size()), &shadow, format | DT_NOPREFIX);
    SetTextColor(dc, colour);
    DrawTextW(dc, text.c_str(), int(text.size()), &place, format | DT_NOPREFIX);
}

// A path wider than the picture is right-aligned, so that its end, the file name, shows.
void Form1::PaintPath(HDC dc, const std::string& path, g::Point corner) {
    const std::wstring text = path.empty() ? std::wstring(L"     ") : Wide(path);
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), int(text.size()), &size);
    const RECT pic = Scaled(g::kPicBack);
    const int room = pic.right - pic.left;
    // The label one pixel inside the right edge, its shadow at the edge.
    const int left = size.cx > room ? room - size.cx - Scale(1) : Scale(corner.x);
    RECT label{pic.left + left, pic.top + Scale(corner.y), pic.left + left + size.cx,
               pic.top + Scale(corner.y) + size.cy};
    PaintText(dc, text, 0, 0, Colour(g::kPathColour), DT_SINGLELINE | DT_LEFT | DT_TOP, &label);
}

void Form1::Paint(HDC target) {
    RECT client;
    GetClientRect(hwnd_, &client);
    // Drawn off screen first, so that nothing flickers.
    HDC dc = CreateCompatibleDC(target);
    HBITMAP canvas = CreateCompatibleBitmap(target, client.right, client.bottom);
    HGDIOBJ oldBitmap = SelectObject(dc, canvas);
    HBRUSH backdrop = CreateSolidBrush(Colour(g::kBackdrop));
    FillRect(dc, &client, backdrop);
    DeleteObject(backdrop);
    {
        Gdiplus::Graphics graphics(dc);
        graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
        if (Gdiplus::Bitmap* art = background_.For(dpi_)) {
            graphics.DrawImage(art, 0, 0, Scale(323), Scale(98));
        }
        const RECT pic = Scaled(g::kPicBack);
        if (Gdiplus::Bitmap* art = paths_.For(dpi_)) {
            graphics.DrawImage(art, int(pic.left), int(pic.top), int(pic.right - pic.left),
                               int(pic.bottom - pic.top));
        }
    }
    HGDIOBJ oldFont = SelectObject(dc, font_);
    SetBkMode(dc, TRANSPARENT);

    // The paths, clipped to the picture behind them.
    const RECT pic = Scaled(g::kPicBack);
    SaveDC(dc);
    IntersectClipRect(dc, pic.left, pic.top, pic.right, pic.bottom);
    PaintPath(dc, txtROMIn, g::kLblROMIn);
    PaintPath(dc, txtROMOut, g::kLblROMOut);
    RestoreDC(dc, -1);

    RECT caption = Scaled(g::kLabel1);
    PaintText(dc, L"ROM In:", 0, 0, Colour(g::kCaptionColour), DT_SINGLELINE | DT_LEFT | DT_TOP,
              &caption);
    caption = Scaled(g::kLabel3);
    PaintText(dc, L"ROM Out:", 0, 0, Colour(g::kCaptionColour), DT_SINGLELINE | DT_LEFT | DT_TOP,
              &caption);

    // The separator and its shadow.
    RECT line = Scaled(g::kLine1);
    line.bottom = line.top + std::max(1, Scale(1));
    RECT shade = line;
    OffsetRect(&shade, Scale(1), Scale(1));
    HBRUSH black = CreateSolidBrush(Colour(g::kShadowColour));
    HBRUSH pink = CreateSolidBrush(Colour(g::kLineColour));
    FillRect(dc, &shade, black);
    FillRect(dc, &line, pink);
    DeleteObject(black);
    DeleteObject(pink);

    RECT status = Scaled(g::kLblStatus);
    const std::string text =
        patching_ ? "Patching " + PathText(PathFromText(txtROMOut).filename()) + "..."
                  : form::StatusText(status_, pack_);
    const g::Rgb colour = patching_ ? form::kIdleRgb : status_.colour;
    PaintText(dc, Wide(text), 0, 0, Colour(colour), DT_SINGLELINE | DT_LEFT | DT_VCENTER, &status);

    if (dropHovering_) {
        HBRUSH edge = CreateSolidBrush(Colour(g::kDropColour));
        FrameRect(dc, &client, edge);
        DeleteObject(edge);
    }
    SelectObject(dc, oldFont);
    BitBlt(target, 0, 0, client.right, client.bottom, dc, 0, 0, SRCCOPY);
    SelectObject(dc, oldBitmap);
    DeleteObject(canvas);
    DeleteDC(dc);
}

// Night-blue buttons with white captions, to sit in the artwork rather than on it.
void Form1::DrawButton(const DRAWITEMSTRUCT& item) {
    HDC dc = item.hDC;
    RECT box = item.rcItem;
    const bool pressed = (item.itemState & ODS_SELECTED) != 0;
    const bool disabled = (item.itemState & ODS_DISABLED) != 0;
    const bool focused = (item.itemState & ODS_FOCUS) != 0;
    HBRUSH face = CreateSolidBrush(Colour(pressed ? g::kButtonShade : g::kButtonFace));
    FillRect(dc, &box, face);
    DeleteObject(face);
    HBRUSH frame = CreateSolidBrush(Colour(focused ? g::kButtonFocus : g::kButtonShade));
    FrameRect(dc, &box, frame);
    DeleteObject(frame);
    wchar_t caption[16] = {};
    GetWindowTextW(item.hwndItem, caption, 16);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, disabled ? RGB(0x80, 0x80, 0x90) : Colour(g::kButtonText));
    HGDIOBJ old = SelectObject(dc, font_);
    DrawTextW(dc, caption, -1, &box, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(dc, old);
}

// The status line says why a file is refused when the mouse rests on it.
void Form1::UpdateStatusTip() {
    if (tip_ == nullptr) {
        return;
    }
    tipText_ = Wide(form::StatusDetail(status_, pack_));
    TOOLINFOW info{};
    info.cbSize = sizeof(info);
    info.uFlags = TTF_SUBCLASS;
    info.hwnd = hwnd_;
    info.uId = 1;
    info.rect = Scaled(g::kLblStatus);
    info.lpszText = tipText_.data();
    SendMessageW(tip_, TTM_DELTOOLW, 0, LPARAM(&info));
    if (!tipText_.empty()) {
        SendMessageW(tip_, TTM_SETMAXTIPWIDTH, 0, Scale(480));
        SendMessageW(tip_, TTM_ADDTOOLW, 0, LPARAM(&info));
    }
}

// ---- what the buttons do ----

void Form1::cmdROMIn_Click() {
    const std::wstring path = ShowFileDialog(hwnd_, form::kInputTitle, form::kFilter);
    if (!path.empty()) {
        ChooseInput(Utf8(path));
    }
}

void Form1::ChooseInput(const std::string& path) {
    if (patching_) {
        return;
    }
    try {
        txtROMIn = path;
        InputCheck();
        SetOutput(DeriveOutputPath(path));
    } catch (const std::exception& e) {
        // An input is not left half chosen: cleared, it shows "Invalid input file", and the
        // message says why.
        txtROMIn.clear();
        InputStatus refused;
        refused.text = form::kInvalidInputFile;
        status_ = form::StatusOf(refused);
        InvalidateRect(hwnd_, nullptr, FALSE);
        Present(form::InputFailureMessage(path, e.what()));
    }
}

void Form1::SetOutput(const std::string& path) {
    txtROMOut = path;
    InvalidateRect(hwnd_, nullptr, FALSE);
}

void Form1::InputCheck() {
    // A file the window cannot open is not worth identifying. Otherwise the engine decides and
    // words the status; the window gives it its colour and the cause.
    InputStatus status;
    status.text = form::kInvalidInputFile;
    status.cause = UnreadableCause(txtROMIn, state_.Io);
    if (status.cause.empty()) {
        status = CheckInput(state_, txtROMIn);
    }
    status_ = form::StatusOf(status);
    UpdateStatusTip();
    InvalidateRect(hwnd_, nullptr, FALSE);
}

void Form1::cmdROMOut_Click() {
    const std::wstring path = ShowSaveDialog(hwnd_, form::kOutputTitle, form::kFilter,
                                             form::OutputDialogStart(txtROMIn, txtROMOut));
    if (path.empty()) {
        return;
    }
    SetOutput(Utf8(path));
}

bool Form1::UsePack(const std::optional<std::filesystem::path>& path) {
    if (patching_) {
        return false;
    }
    std::optional<form::ChosenPack> taken = form::TakePack(
        form::ReadPack(path), [this](const form::FormMessage& refusal) { Present(refusal); },
        [this](const std::string& question) { return AskYesNo(hwnd_, question); });
    if (!taken) {
        return false;
    }
    pack_ = std::move(*taken);
    UpdateStatusTip();
    InvalidateRect(hwnd_, nullptr, FALSE);
    if (tracks_) {
        tracks_->Show(pack_.container, form::PackLabel(pack_));
    }
    return true;
}

void Form1::ShowTracks() {
    if (!tracks_) {
        tracks_ = std::make_unique<TrackList>(
            instance_, hwnd_,
            [this](const std::optional<std::filesystem::path>& path) { return UsePack(path); });
    }
    tracks_->Show(pack_.container, form::PackLabel(pack_));
}

void Form1::cmdPatch_Click() {
    Patch();
    if (std::exchange(closeRequested_, false)) {
        DestroyWindow(hwnd_);
    }
}

void Form1::Patch() {
    if (const std::optional<form::FormMessage> refusal =
            form::RefusePackOutput(pack_, txtROMOut, state_.Io)) {
        Present(*refusal);
        return;
    }
    const std::string output = txtROMOut;
    PatchRequest request = form::WindowRequest(txtROMIn, output, pack_.container);
    PatchResult result = RunPatchBusy(request);
    // A file of the user's at the output is replaced only when they say so, each question once.
    for (int asked = 0; asked < 2; ++asked) {
        const std::string question = form::ReplaceQuestion(result);
        if (question.empty()) {
            break;
        }
        // Asked to close meanwhile: nothing was written, and nobody is there to answer.
        if (closeRequested_ || !AskYesNo(hwnd_, question)) {
            return;
        }
        request = form::Answered(request, result);
        result = RunPatchBusy(request);
    }
    // Closing after a success needs no word; a refusal or a failure still has to be heard.
    if (closeRequested_ && result.outcome == PatchOutcome::Success) {
        return;
    }
    Present(form::PatchMessage(result, output));
}

// The patch on a thread of its own while this one keeps the window painting and hears a close
// request; a slow disk can take seconds to flush 16 MiB.
PatchResult Form1::RunPatchBusy(const PatchRequest& request) {
    SetBusy(true);
    PatchResult result;
    std::atomic<bool> done{false};
    {
        std::jthread worker([&] {
            try {
                result = PatchRom(state_, request);
            } catch (const std::exception& e) {  // out of memory on the way out
                result.outcome = PatchOutcome::Failed;
                result.message = form::FailureMessage(e.what()).text;
                result.cause = e.what();
            }
            done = true;
            PostMessageW(hwnd_, kPatchDone, 0, 0);
        });
        MSG msg;
        while (!done && GetMessageW(&msg, nullptr, 0, 0) > 0) {
            if (msg.message == kPatchDone) {
                continue;
            }
            if (!Translate(msg) && !IsDialogMessageW(hwnd_, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
        }
    }
    SetBusy(false);
    return result;
}

void Form1::SetBusy(bool busy) {
    patching_ = busy;
    for (HWND b : {cmdROMIn, cmdROMOut, cmdPatch, cmdTracks}) {
        EnableWindow(b, busy ? FALSE : TRUE);
    }
    DragAcceptFiles(hwnd_, busy ? FALSE : TRUE);
    if (!busy) {
        SetFocus(cmdPatch);
    }
    // The cursor says so at once, not only when the mouse next moves.
    SetCursor(LoadCursorW(nullptr, busy ? IDC_WAIT : IDC_ARROW));
    InvalidateRect(hwnd_, nullptr, FALSE);
    UpdateWindow(hwnd_);
}

}  // namespace

int RunForm1(HINSTANCE instance, const WindowStart& start, int show) {
    const GdiplusSession gdiplus;
    // The folder chooser of the track list is a shell object.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES | ICC_LISTVIEW_CLASSES |
                                                        ICC_TAB_CLASSES | ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    Form1 form(instance);
    if (!form.Create(show)) {
        ShowStartMessage("The window could not be created.", true);
        return 1;
    }
    form.Open(start);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (form.Translate(msg) || IsDialogMessageW(form.Handle(), &msg)) {
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    if (SUCCEEDED(com)) {
        CoUninitialize();
    }
    return int(msg.wParam);
}

}  // namespace tflux::win32
