#include <filesystem>
#include <string>

#include "rom/errors.h"
#include "rom/file.h"
#include "rom/identify.h"
#include "romtables/romtables.h"
#include "tests/fuzz/fuzz_support.h"

namespace tflux::fuzz {

Outcome FuzzIdentify(Input data) {
    const std::uint8_t sizeChoice = data.size() > 0 ? data[0] % 4 : 0;
    const Input bytes = data.size() > 1 ? data.subspan(1) : Input();
    const std::uint64_t sizes[] = {bytes.size(), kRomSize, kRomSize - 1, kRomSize + 1};
    const std::uint64_t size = sizes[sizeChoice];

    // Past the input the image is a hole in a sparse file: zeros, at no cost.
    const auto path = ScratchFolder() / "identify.z64";
    WriteFileBytes(path, bytes);
    std::filesystem::resize_file(path, size);

    RomState state;
    const std::int16_t code = IdentifyRom(state, path.string());
    Require(code == kRomOk || code == kRomNotTFlux || code == kRomBadRegion,
            "a readable file identified as " + RomCheckMessage(code));
    Require(state.RomFile.IsOpen(), "identification left no image open");
    const bool knownRegion =
        state.RegionCode == "E" || state.RegionCode == "J" || state.RegionCode == "P";
    Require(code != kRomOk || (size == kRomSize && knownRegion),
            "an image of the wrong size or region was accepted");
    Require(code != kRomBadRegion || (size == kRomSize && !knownRegion),
            "a bad region was reported for an image that has a good one");
    if (code == kRomOk) {
        // What a patch does next with an accepted image.
        ReadRomTables(state);
    }
    CloseRom(state);

    RomState checked;
    const InputStatus status = CheckInput(checked, path.string());
    Require(status.readable && status.code == code && status.accepted == (code == kRomOk),
            "the status line disagrees with identification");
    if (code == kRomOk) {
        const std::string expected = "File Version: " + RegionName(state.RegionCode) + " (" +
                                     std::string(OrderLabel(state.Order())) + ")";
        Require(status.text == expected,
                "status \"" + status.text + "\", not \"" + expected + "\"");
    } else {
        Require(status.text == "File Error: " + RomCheckMessage(code),
                "status \"" + status.text + "\" for a refused image");
    }
    return code == kRomOk ? Outcome::Accepted : Outcome::Refused;
}

}  // namespace tflux::fuzz
