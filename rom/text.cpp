#include "rom/text.h"

#include <cmath>
#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#endif

namespace tflux {

namespace {

std::string GroupDigits(const std::string& digits) {
    std::string grouped;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) {
            grouped += ',';
        }
        grouped += digits[i];
    }
    return grouped;
}

}  // namespace

std::string Thousands(double value) {
    if (!(std::fabs(value) < 1e18)) {
        char text[400];
        std::snprintf(text, sizeof text, "%.0f", std::fabs(value));
        const std::string digits = text;
        const bool numeric = digits[0] >= '0' && digits[0] <= '9';  // not "inf" or "nan"
        return (value < 0 ? "-" : "") + (numeric ? GroupDigits(digits) : digits);
    }
    const long long whole = std::llround(value);
    return (whole < 0 ? "-" : "") + GroupDigits(std::to_string(whole < 0 ? -whole : whole));
}

std::string Latin1ToUtf8(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80) {
            text += c;
        } else {
            text += static_cast<char>(0xC0 | (b >> 6));
            text += static_cast<char>(0x80 | (b & 0x3F));
        }
    }
    return text;
}

#ifdef _WIN32

std::wstring WideFromUtf8(std::string_view utf8) {
    const int length = static_cast<int>(utf8.size());
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, wide.data(), n);
    return wide;
}

std::string Utf8FromWide(std::wstring_view wide) {
    // A file name may hold a lone surrogate, which is no character at all.
    const int length = static_cast<int>(wide.size());
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, utf8.data(), n, nullptr, nullptr);
    return utf8;
}

std::filesystem::path PathFromText(std::string_view utf8) {
    return WideFromUtf8(utf8);
}

std::string PathText(const std::filesystem::path& path) {
    return Utf8FromWide(path.native());
}

#else

std::filesystem::path PathFromText(std::string_view utf8) {
    return std::filesystem::path(utf8);
}

std::string PathText(const std::filesystem::path& path) {
    return path.native();
}

#endif

}  // namespace tflux
