#include "rom/text.h"

#include <cmath>
#include <cstdio>

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

}  // namespace tflux
