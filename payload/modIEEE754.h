#pragma once

// Exact conversion between four bytes and an IEEE-754 single, as the game stores its track
// parameter values.

#include <cstdint>
#include <span>

namespace tflux {

inline constexpr std::uint8_t kSingleOk = 0;
inline constexpr std::uint8_t kSingleNotFinite = 2;

// bigEndian: bytes[0] is the most significant byte. An infinity or NaN pattern yields 0 with
// status kSingleNotFinite; a negative zero pattern yields +0.
float BytesToSingle(std::span<const std::uint8_t, 4> bytes, bool bigEndian, std::uint8_t& status);

// A negative zero is stored as 00 00 00 00.
void SingleToBytes(float value, bool bigEndian, std::span<std::uint8_t, 4> bytes);

}  // namespace tflux
