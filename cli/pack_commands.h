#pragma once

// The commands that look into, check, draw and build track packs.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "pack/load_payload.h"

namespace tflux::cli {

int PayloadList(const std::optional<std::string>& payloadFile, bool json, Streams io);
int PayloadCheck(const std::optional<std::string>& payloadFile, Streams io);
#ifdef TFLUX_COURSE_MAPS
int PayloadMap(const std::optional<std::string>& payloadFile, std::optional<int> track,
               const std::string& out, Streams io);
#endif
int PayloadFromImage(const std::string& image, const std::string& dir, Streams io);
int PayloadBuild(const std::string& sourceDir, const std::string& output, bool force, Streams io);

// The container of a --payload file or pack source folder, or the built-in one, with the files
// it was read from; a pack source's warnings go to `io.err`. A damaged container file is
// refused here, named.
LoadedPayload LoadPayloadFrom(const std::optional<std::string>& payloadFile, Streams io);
std::vector<std::uint8_t> LoadPayload(const std::optional<std::string>& payloadFile, Streams io);

// Refuses a damaged container before anything is written, naming `file` (the --payload given,
// or "" for the built-in one) in the error.
void CheckContainer(std::span<const std::uint8_t> container, const std::string& file);

// One warning for each track of the container whose course breaks a rule of the game; none for a
// container whose tracks cannot be read, which the patch refuses itself.
std::vector<std::string> InvalidCourseWarnings(std::span<const std::uint8_t> container);

}  // namespace tflux::cli
