#include "app/Form1_win32.h"

#include <algorithm>
#include <system_error>

// The window's text is UTF-8, as the engine's; Windows takes and gives wide strings.

namespace tflux::win32 {

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty()) {
        return {};
    }
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring wide(std::size_t(std::max(n, 0)), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), wide.data(), n);
    return wide;
}

std::string Utf8(const std::wstring& wide) {
    if (wide.empty()) {
        return {};
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string utf8(std::size_t(std::max(n, 0)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), utf8.data(), n, nullptr,
                        nullptr);
    return utf8;
}

std::string Native(const std::wstring& wide) {
    return std::filesystem::path(wide).string();
}

std::wstring Shown(const std::string& text) {
    try {
        return std::filesystem::path(text).wstring();
    } catch (const std::system_error&) {
        return Wide(text);
    }
}

// "N64 ROMs (*.*64)|*.*64" as the dialogs take it: every "|" a NUL, and one more at the end.
std::wstring DialogFilter(const char* filter) {
    std::wstring wide = Wide(filter);
    std::replace(wide.begin(), wide.end(), L'|', L'\0');
    wide.push_back(L'\0');
    return wide;
}

}  // namespace tflux::win32
