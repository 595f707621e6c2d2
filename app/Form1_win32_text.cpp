#include "app/Form1_win32.h"

#include <algorithm>

#include "rom/text.h"

// The window's text is UTF-8, as the engine's; Windows takes and gives wide strings.

namespace tflux::win32 {

std::wstring Wide(const std::string& utf8) {
    return WideFromUtf8(utf8);
}

std::string Utf8(const std::wstring& wide) {
    return Utf8FromWide(wide);
}

// "N64 ROMs (*.*64)|*.*64" as the dialogs take it: every "|" a NUL, and one more at the end.
std::wstring DialogFilter(const char* filter) {
    std::wstring wide = Wide(filter);
    std::replace(wide.begin(), wide.end(), L'|', L'\0');
    wide.push_back(L'\0');
    return wide;
}

}  // namespace tflux::win32
