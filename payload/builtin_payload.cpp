#include "payload/builtin_payload.h"

extern "C" const std::uint8_t tflux_payload_begin[];
extern "C" const std::uint8_t tflux_payload_end[];

namespace tflux {

std::span<const std::uint8_t> BuiltInPayload() {
    return {tflux_payload_begin, tflux_payload_end};
}

}  // namespace tflux
