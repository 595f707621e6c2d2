#pragma once

// The 24 tracks an image holds, as a pack would carry them: names, subtitles, attribute
// bytes and parameter sets from its tables, and each course block.

#include <array>
#include <string>

#include "payload/track_record.h"

namespace tflux {

// Reads an image of the game, as released or as this tool patched it, in either byte order;
// element t is track t + 1, its block in Z64 order. Throws EngineError saying what the file
// is when it is not such an image, or when a text does not fit a track record, and fails
// ("the input changed while it was read") when the file changes meanwhile.
std::array<TrackRecord, kTrackCount> ReadImageTracks(const std::string& path,
                                                     IoHook* hook = nullptr);

}  // namespace tflux
