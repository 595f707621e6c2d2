// libFuzzer's entry point for one harness, chosen when the fuzzer is built
// (TFLUX_FUZZ_HARNESS). Anything but a normal return is a finding: an uncaught FuzzFailure or
// exception aborts, and the sanitizers report their own.

#include <cstddef>
#include <cstdint>

#include "tests/fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tflux::fuzz::TFLUX_FUZZ_HARNESS(std::span<const std::uint8_t>(data, size));
    return 0;
}
