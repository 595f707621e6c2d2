#pragma once

#include <filesystem>
#include <span>

#include "pack/load_payload.h"

namespace tflux::cli {

// Draws tracks[k] to pngs[k] and, unless `overview` is empty, the sheet of them all, through the
// maps module beside this program, loaded for this call. Throws the EngineError the drawing
// threw, or std::runtime_error when the module cannot be loaded.
void DrawMaps(std::span<const PackEntry> tracks, std::span<const std::filesystem::path> pngs,
              const std::filesystem::path& overview = {});

}  // namespace tflux::cli
