#pragma once

// The maps' pictures as PNG files, made for speed rather than the last byte of size.

#include <cairo.h>

#include <cstdint>
#include <filesystem>
#include <vector>

namespace tflux::map {

// An RGB24 image surface as an 8-bit RGB PNG. Throws EngineError with libpng's reason when the
// surface cannot be encoded.
std::vector<std::uint8_t> EncodePng(cairo_surface_t* surface);

// The surface encoded and written whole to `png`: a failed write leaves what was there before.
// Throws EngineError naming the file.
void WritePng(cairo_surface_t* surface, const std::filesystem::path& png);

}  // namespace tflux::map
