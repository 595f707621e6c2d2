#pragma once

// Text for people, shared by every message and listing: numbers with their digits grouped, and
// the one-byte texts of images and records as UTF-8.

#include <concepts>
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

}  // namespace tflux
