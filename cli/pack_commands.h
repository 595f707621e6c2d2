#pragma once

// The commands that look into, check, draw and build track packs.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cli/commands.h"

namespace tflux::cli {

int PayloadList(const std::optional<std::string>& payloadFile, bool json, Streams io);
int PayloadCheck(const std::optional<std::string>& payloadFile, Streams io);
int PayloadMap(const std::optional<std::string>& payloadFile, std::optional<int> track,
               const std::string& out, Streams io);
int PayloadFromImage(const std::string& image, const std::string& dir, Streams io);
int PayloadBuild(const std::string& sourceDir, const std::string& output, Streams io);

// The container of a --payload file or pack source folder, or the built-in one; a pack
// source's warnings go to `io.err`.
std::vector<std::uint8_t> LoadPayload(const std::optional<std::string>& payloadFile, Streams io);

// One warning line for each track of the container whose course breaks a rule of the game.
void WarnInvalidCourses(std::span<const std::uint8_t> container, Streams io);

}  // namespace tflux::cli
