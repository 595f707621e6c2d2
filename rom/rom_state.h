#pragma once

// The state that one patch run works on: the open ROM file, what identification found, and the
// per-track tables that the readers fill, the track records override and the writers write.
// Arrays are 0-based: element k - 1 belongs to track k.

#include <array>
#include <cstdint>
#include <string>

#include "rom/file.h"
#include "rom/game.h"

namespace tflux {

struct TrackParamSet {
    std::uint8_t Count = 0;  // 0..6; positions past Count keep older values
    std::array<std::uint8_t, 6> Codes{};
    std::array<float, 6> Values{};

    friend bool operator==(const TrackParamSet&, const TrackParamSet&) = default;
};

struct RomState {
    File RomFile;                // the one open image: the input, later the output
    File::Stamp RomStamp;        // the input as identification found it, before reading it
    std::string RegionCode;      // "E", "J" or "P" once accepted; whatever letter was read
    bool IsByteSwapped = false;  // V64
    bool IsWordSwapped = false;  // N64: every 32-bit word little-endian
    std::array<std::string, kTrackCount> TrackNames;  // raw bytes, one byte a character
    std::array<std::string, kTrackCount> TrackSubtitles;
    std::array<std::uint8_t, kTrackCount> TrackAttrs{};
    std::array<TrackParamSet, kTrackCount> TrackParams{};
    std::array<std::uint8_t, kTrackBlockSize> TrackBlock{};
    IoHook* Io = nullptr;  // fault seam handed to every file the run opens

    ImageOrder Order() const {
        return IsByteSwapped ? ImageOrder::V64 : IsWordSwapped ? ImageOrder::N64 : ImageOrder::Z64;
    }
    void SetOrder(ImageOrder order) {
        IsByteSwapped = order == ImageOrder::V64;
        IsWordSwapped = order == ImageOrder::N64;
    }
};

}  // namespace tflux
