#pragma once

#include <cstdint>
#include <span>

#include "rom/file.h"
#include "rom/rom_state.h"

namespace tflux {

inline constexpr std::size_t kTrackRecordSize = 2109;

// Parses the track record at the 1-based `position` of `file` and overrides track `track`
// (1..24) of the state's arrays; the course block goes to state.TrackBlock (Z64 order).
// A record that cannot be read whole throws EngineError and changes nothing.
void LoadDat(RomState& state, const File& file, std::uint64_t position, int track);

// The same for a record already in memory (at least kTrackRecordSize bytes).
void LoadDat(RomState& state, std::span<const std::uint8_t> record, int track);

}  // namespace tflux
