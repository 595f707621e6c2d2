#include "rom/identify.h"

#include <array>

#include "rom/errors.h"

namespace tflux {

namespace {

constexpr std::string_view kNameZ64 = "T-FLUX X            ";
constexpr std::string_view kNameV64 = "-TLFXUX             ";
constexpr std::uint64_t kRegionOffsetZ64 = 0x3E;
constexpr std::uint64_t kRegionOffsetV64 = 0x3F;

}  // namespace

std::int16_t IdentifyRom(RomState& state, const std::string& path) {
    CloseRom(state);
    std::int16_t code = kRomAccessError;
    try {
        // Regular files only: a folder, a FIFO or a device is "not a file" and never blocks.
        state.RomFile = File::Open(path, OpenMode::Read, Links::Follow, state.Io);
        code = kRomUnknownError;
        if (state.RomFile.Size() != kRomSize) {
            return kRomNotTFlux;
        }
        std::array<std::uint8_t, kInternalNameSize> name{};
        state.RomFile.ReadAt(kInternalNameOffset, name);
        const std::string_view text(reinterpret_cast<const char*>(name.data()), name.size());
        std::uint64_t regionOffset = 0;
        if (text == kNameZ64) {
            state.IsByteSwapped = false;
            regionOffset = kRegionOffsetZ64;
        } else if (text == kNameV64) {
            state.IsByteSwapped = true;
            regionOffset = kRegionOffsetV64;
        } else {
            return kRomNotTFlux;
        }
        std::array<std::uint8_t, 1> region{};
        state.RomFile.ReadAt(regionOffset, region);
        state.RegionCode = std::string(1, static_cast<char>(region[0]));
        if (state.RegionCode == "E" || state.RegionCode == "P" || state.RegionCode == "J") {
            return kRomOk;
        }
        return kRomBadRegion;
    } catch (const std::exception&) {
        return code;
    }
}

std::string RomCheckMessage(int code) {
    switch (code) {
        case kRomOk:
            return "Successful";
        case kRomAccessError:
            return "File access error";
        case kRomNotTFlux:
            return "Not T-Flux X";
        case kRomBadRegion:
            return "Bad ROM region code";
        case kRomUnknownError:
            return "Unknown error";
        default:
            return "(Invalid error number)";
    }
}

std::string RegionName(const std::string& regionCode) {
    if (regionCode == "E")
        return "North American";
    if (regionCode == "J")
        return "Japanese";
    if (regionCode == "P")
        return "PAL";
    return "";
}

bool CanOpenForReading(const std::string& path, IoHook* hook) {
    try {
        File probe = File::Open(path, OpenMode::Read, Links::Follow, hook);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

InputStatus CheckInput(RomState& state, const std::string& path) {
    InputStatus status;
    status.readable = CanOpenForReading(path, state.Io);
    if (!status.readable) {
        status.text = "Invalid input file";
        return status;
    }
    status.code = IdentifyRom(state, path);
    CloseRom(state);
    if (status.code != kRomOk) {
        status.text = "File Error: " + RomCheckMessage(status.code);
        return status;
    }
    status.accepted = true;
    status.text = "File Version: " + RegionName(state.RegionCode) +
                  (state.IsByteSwapped ? " (V64)" : " (Z64)");
    return status;
}

void CloseRom(RomState& state) {
    try {
        state.RomFile.Close();
    } catch (const std::exception&) {
        // Closing is best effort: the handle is gone either way.
    }
    state.RomFile = File();
}

void OpenRomOutput(RomState& state, const std::filesystem::path& path) {
    CloseRom(state);
    state.RomFile = File::Open(path, OpenMode::ReadWrite, Links::NoFollow, state.Io);
}

}  // namespace tflux
