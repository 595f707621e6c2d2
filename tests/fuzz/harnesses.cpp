#include <array>

#include "tests/fuzz/harness.h"

namespace tflux::fuzz {

std::span<const Harness> Harnesses() {
    static constexpr std::array<Harness, 8> kHarnesses = {{
        {"container", FuzzContainer},
        {"track_record", FuzzTrackRecord},
        {"tables", FuzzTables},
        {"identify", FuzzIdentify},
        {"checksum", FuzzChecksum},
        {"checksum_update", FuzzChecksumUpdate},
        {"course", FuzzCourse},
        {"pack_source", FuzzPackSource},
    }};
    return kHarnesses;
}

}  // namespace tflux::fuzz
