#include "payload/modIEEE754.h"

#include <bit>

namespace tflux {

float BytesToSingle(std::span<const std::uint8_t, 4> bytes, bool bigEndian, std::uint8_t& status) {
    std::uint32_t bits = 0;
    for (int i = 0; i < 4; ++i) {
        const std::uint8_t b =
            bigEndian ? bytes[static_cast<std::size_t>(i)] : bytes[static_cast<std::size_t>(3 - i)];
        bits = (bits << 8) | b;
    }
    status = kSingleOk;
    if ((bits & 0x7F800000u) == 0x7F800000u) {
        // The game has no use for infinities or NaNs; they read as 0.
        status = kSingleNotFinite;
        return 0.0f;
    }
    if ((bits & 0x7FFFFFFFu) == 0) {
        return 0.0f;  // a negative zero reads as positive
    }
    return std::bit_cast<float>(bits);
}

void SingleToBytes(float value, bool bigEndian, std::span<std::uint8_t, 4> bytes) {
    std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    if ((bits & 0x7FFFFFFFu) == 0) {
        bits = 0;  // a negative zero is stored as positive
    }
    for (int i = 0; i < 4; ++i) {
        const auto b = static_cast<std::uint8_t>(bits >> (24 - 8 * i));
        bytes[static_cast<std::size_t>(bigEndian ? i : 3 - i)] = b;
    }
}

}  // namespace tflux
