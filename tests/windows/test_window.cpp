// tflux-krn.exe for real, under Wine on a virtual display: the window opens with its title and
// size, Enter on Patch writes the bytes tflux-krn-cli.exe writes, an output that is the input is
// refused through the save dialog, and a picture of the window is kept.
//
//   window_tests TFLUX-KRN.EXE TFLUX-KRN-CLI.EXE SCREENSHOT.png

// Windows' own headers need <windows.h> before them.
#include <windows.h>

#include <gdiplus.h>
#include <objidl.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/Form1_win32.h"
#include "romtables/sample_image.h"
#include "support/test_util.h"

namespace {

namespace fs = std::filesystem;

struct Programs {
    fs::path window;
    fs::path cli;
    fs::path screenshot;
};
Programs& Given() {
    static Programs programs;
    return programs;
}

// A Linux path as Wine's Z: drive names it.
fs::path Native(const std::string& path) {
    return path.starts_with("/") ? fs::path("Z:" + path) : fs::path(path);
}

class Process {
  public:
    explicit Process(const std::wstring& commandLine) {
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        std::wstring line = commandLine;
        started_ = CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                  nullptr, &startup, &info_) != 0;
    }
    ~Process() {
        if (started_) {
            if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) {
                TerminateProcess(info_.hProcess, 99);
            }
            CloseHandle(info_.hThread);
            CloseHandle(info_.hProcess);
        }
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool Started() const { return started_; }
    DWORD Id() const { return info_.dwProcessId; }
    // The exit status, or nullopt when it is still running after `ms`.
    std::optional<DWORD> Wait(DWORD ms) const {
        if (WaitForSingleObject(info_.hProcess, ms) != WAIT_OBJECT_0) {
            return std::nullopt;
        }
        DWORD status = 0;
        GetExitCodeProcess(info_.hProcess, &status);
        return status;
    }

  private:
    PROCESS_INFORMATION info_{};
    bool started_ = false;
};

std::wstring Quoted(const fs::path& path) {
    return L"\"" + path.wstring() + L"\"";
}

// The first top-level window of the process with that class, waited for up to 90 s: Wine starts
// slowly on a busy machine.
HWND WaitForWindow(DWORD process, const wchar_t* className) {
    struct Search {
        DWORD process;
        const wchar_t* className;
        HWND found = nullptr;
    };
    for (int tries = 0; tries < 900; ++tries) {
        Search search{process, className};
        EnumWindows(
            [](HWND hwnd, LPARAM data) -> BOOL {
                auto* s = reinterpret_cast<Search*>(data);
                DWORD owner = 0;
                GetWindowThreadProcessId(hwnd, &owner);
                wchar_t name[64] = {};
                GetClassNameW(hwnd, name, 64);
                if (owner == s->process && std::wstring(name) == s->className &&
                    IsWindowVisible(hwnd)) {
                    s->found = hwnd;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr) {
            return search.found;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return nullptr;
}

// A dialog goes away; waited for up to 10 s.
bool WaitGone(HWND hwnd) {
    for (int tries = 0; tries < 100 && IsWindow(hwnd); ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return !IsWindow(hwnd);
}

// The save dialog's name box: the first edit control that takes text.
HWND NameBox(HWND dialog) {
    HWND found = nullptr;
    EnumChildWindows(
        dialog,
        [](HWND hwnd, LPARAM data) -> BOOL {
            wchar_t name[32] = {};
            GetClassNameW(hwnd, name, 32);
            if (std::wstring(name) == L"Edit" && IsWindowVisible(hwnd)) {
                *reinterpret_cast<HWND*>(data) = hwnd;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

// Enter on a button of the window, as a keyboard user presses it.
void PressEnter(HWND button) {
    PostMessageW(button, WM_KEYDOWN, VK_RETURN, 1);
    PostMessageW(button, WM_KEYUP, VK_RETURN, 1 | (1u << 30) | (1u << 31));
}

// The client area as the screen shows it, saved as a PNG; false when the picture is blank.
bool SaveScreenshot(HWND hwnd, const fs::path& target) {
    RECT client;
    GetClientRect(hwnd, &client);
    POINT origin{0, 0};
    ClientToScreen(hwnd, &origin);
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, client.right, client.bottom);
    HGDIOBJ old = SelectObject(dc, bitmap);
    BitBlt(dc, 0, 0, client.right, client.bottom, screen, origin.x, origin.y, SRCCOPY);
    // The artwork and the yellow paths give many colours; a blank grab gives one.
    const COLORREF corner = GetPixel(dc, 0, 0);
    bool varied = false;
    for (int y = 0; y < client.bottom && !varied; y += 7) {
        for (int x = 0; x < client.right && !varied; x += 7) {
            varied = GetPixel(dc, x, y) != corner;
        }
    }
    SelectObject(dc, old);
    ReleaseDC(nullptr, screen);
    bool saved = false;
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartup(&token, &input, nullptr);
    {
        Gdiplus::Bitmap picture(bitmap, nullptr);
        // image/png's encoder, as GDI+ lists it.
        const CLSID png = {
            0x557cf406, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}};
        saved = picture.Save(target.wstring().c_str(), &png, nullptr) == Gdiplus::Ok;
    }
    Gdiplus::GdiplusShutdown(token);
    DeleteObject(bitmap);
    DeleteDC(dc);
    return saved && varied;
}

TEST(Window, PatchesByKeyboardAsTheCommandLineDoesAndRefusesItsInputAsOutput) {
    const tflux::test::ScratchDir dir;
    const fs::path input = dir / "T-Flux X (USA).z64";
    tflux::WriteSampleImage(input, {.region = 'E', .v64 = false, .seed = 3});
    const fs::path expected = dir / "cli.z64";
    {
        Process cli(Quoted(Given().cli) + L" patch " + Quoted(input) + L" " + Quoted(expected));
        ASSERT_TRUE(cli.Started());
        ASSERT_EQ(cli.Wait(60000), std::optional<DWORD>(0));
    }

    Process window(Quoted(Given().window) + L" " + Quoted(input));
    ASSERT_TRUE(window.Started());
    HWND form = WaitForWindow(window.Id(), L"TFluxKrnForm1");
    ASSERT_NE(form, nullptr) << "no window appeared";
    wchar_t title[128] = {};
    GetWindowTextW(form, title, 128);
    EXPECT_EQ(tflux::win32::Utf8(title), "Orvane's T-Flux KRN Track Pack");
    RECT client;
    GetClientRect(form, &client);
    const UINT dpi = GetDpiForWindow(form);
    if (const char* screen = std::getenv("TFLUX_SCREEN_DPI")) {
        EXPECT_EQ(dpi, UINT(std::atoi(screen))) << "the window did not take the screen's scale";
    }
    EXPECT_EQ(client.right, MulDiv(321, int(dpi), 96));
    EXPECT_EQ(client.bottom, MulDiv(98, int(dpi), 96));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(SaveScreenshot(form, Given().screenshot));

    // Enter on Patch: the derived output, byte for byte the command line's.
    HWND patch = GetDlgItem(form, tflux::win32::kIdPatch);
    ASSERT_NE(patch, nullptr);
    PressEnter(patch);
    HWND done = WaitForWindow(window.Id(), L"#32770");
    ASSERT_NE(done, nullptr) << "the patch said nothing";
    const fs::path output = dir / "T-Flux X (USA)_krn.z64";
    EXPECT_EQ(tflux::test::ReadBytes(output), tflux::test::ReadBytes(expected));
    PostMessageW(done, WM_CLOSE, 0, 0);
    ASSERT_TRUE(WaitGone(done));

    // The input named as the output in the save dialog: refused, and the input stays whole.
    const std::vector<std::uint8_t> before = tflux::test::ReadBytes(input);
    PostMessageW(GetDlgItem(form, tflux::win32::kIdROMOut), BM_CLICK, 0, 0);
    HWND save = WaitForWindow(window.Id(), L"#32770");
    ASSERT_NE(save, nullptr) << "no save dialog";
    HWND name = NameBox(save);
    ASSERT_NE(name, nullptr);
    SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(input.wstring().c_str()));
    PostMessageW(save, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(WaitGone(save));
    PressEnter(patch);
    HWND refused = WaitForWindow(window.Id(), L"#32770");
    ASSERT_NE(refused, nullptr) << "the refusal said nothing";
    EXPECT_EQ(tflux::test::ReadBytes(input), before);
    PostMessageW(refused, WM_CLOSE, 0, 0);
    ASSERT_TRUE(WaitGone(refused));

    // A name that no ANSI code page holds: patched like any other.
    const fs::path japanese = dir.path() / L"\u30c8\u30e9\u30c3\u30af \u65e5\u672c.z64";
    PostMessageW(GetDlgItem(form, tflux::win32::kIdROMOut), BM_CLICK, 0, 0);
    save = WaitForWindow(window.Id(), L"#32770");
    ASSERT_NE(save, nullptr) << "no save dialog";
    name = NameBox(save);
    ASSERT_NE(name, nullptr);
    SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(japanese.wstring().c_str()));
    PostMessageW(save, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(WaitGone(save));
    PressEnter(patch);
    done = WaitForWindow(window.Id(), L"#32770");
    ASSERT_NE(done, nullptr) << "the patch to a Japanese name said nothing";
    EXPECT_EQ(tflux::test::ReadBytes(japanese), tflux::test::ReadBytes(expected));
    PostMessageW(done, WM_CLOSE, 0, 0);
    ASSERT_TRUE(WaitGone(done));

    PostMessageW(form, WM_CLOSE, 0, 0);
    EXPECT_EQ(window.Wait(10000), std::optional<DWORD>(0));
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (argc != 4) {
        std::fprintf(stderr,
                     "usage: window_tests TFLUX-KRN.EXE TFLUX-KRN-CLI.EXE SCREENSHOT.png\n");
        return 2;
    }
    Given() = {Native(argv[1]), Native(argv[2]), Native(argv[3])};
    return RUN_ALL_TESTS();
}
