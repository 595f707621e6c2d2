#pragma once

// The container a patch applies, wherever the user's tracks come from: the built-in pack, a
// container file, or a pack source folder compiled in memory with this program's own updater.
// The window and the command-line tool both choose through LoadPayload.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "course/course.h"
#include "pack/pack_source.h"
#include "payload/track_record.h"

namespace tflux {

enum class PayloadKind { BuiltIn, Container, PackSource };

struct LoadedPayload {
    PayloadKind kind = PayloadKind::BuiltIn;
    std::vector<std::uint8_t> container;
    // A pack source's sound but risky choices, one line each.
    std::vector<std::string> warnings;
    // What it was read from: the container file, or the pack source's files.
    std::vector<std::filesystem::path> files;
};

// The largest container file read; the built-in one is a small fraction of it.
inline constexpr std::size_t kMaxPayloadFile = 64u << 20;

// No path: the built-in pack. A folder: the pack source in it, compiled (throws EngineError
// with every problem of the source). Anything else: the file's bytes, read but not checked;
// the patch checks a container before it uses it.
LoadedPayload LoadPayload(const std::optional<std::filesystem::path>& path);

// A container of the pack with the built-in container's checksum updater as entry 0, as every
// pack this program compiles carries it.
std::vector<std::uint8_t> BuildPackWithOwnUpdater(const PackSource& pack);

// One track of a container, as the patch will number it.
struct PackEntry {
    int track = 0;
    TrackRecord record;
    Course course;
};

// The container's 24 tracks in track order (element t is track t + 1). Throws EngineError
// naming the entry for a damaged container or record.
std::vector<PackEntry> ReadPackTracks(std::span<const std::uint8_t> container);

}  // namespace tflux
