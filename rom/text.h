#pragma once

// Text for people, shared by every message and listing: numbers with their digits grouped, and
// the one-byte texts of images and records as UTF-8.

#include <concepts>
#include <filesystem>
#include <string>
#include <string_view>

namespace tflux {

// A number rounded to whole units, with thousands separators: 16777216 -> "16,777,216".
// Beyond a long long (huge coordinates, infinity, NaN) the digits printf gives.
std::string Thousands(double value);
// Counts and sizes: every value a file can have is exact in a double.
template <std::integral Count>
std::string Thousands(Count value) {
    return Thousands(static_cast<double>(value));
}

// Image and record texts are one byte a character (Latin-1); JSON, terminals and Cairo want
// UTF-8. Every byte is converted, NUL and control bytes included.
std::string Latin1ToUtf8(std::string_view bytes);

// Paths as the engine's text, UTF-8 on every system. A path's own form is bytes on Linux and
// UTF-16 on Windows, where std::filesystem would read and write narrow text in the C runtime's
// code page, which cannot name every file.
std::filesystem::path PathFromText(std::string_view utf8);
std::string PathText(const std::filesystem::path& path);

#ifdef _WIN32
// UTF-8 and the system's wide strings, both ways; what is not valid in one shows as U+FFFD.
std::wstring WideFromUtf8(std::string_view utf8);
std::string Utf8FromWide(std::wstring_view wide);
#endif

}  // namespace tflux
