#pragma once

// The container built into the programs, in a library of its own so that the engine never
// depends on which container a front end chose.

#include <cstdint>
#include <span>

namespace tflux {

std::span<const std::uint8_t> BuiltInPayload();

}  // namespace tflux
