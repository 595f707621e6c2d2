#pragma once

// Every byte-order conversion of the engine lives here: pair swapping (V64), word reversal
// (little-endian word order), and the big- and little-endian integer fields of the image,
// the track records and the payload container. Every accessor checks its bounds, because
// the bytes come from files the user hands us.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "rom/game.h"

namespace tflux {

// Exchanges bytes 1 and 2, 3 and 4, ... over the first n bytes. An odd last byte stays.
void SwapPairs(std::span<std::uint8_t> buffer, std::size_t n);

// Reverses the four bytes of every whole 32-bit word (little-endian word order <-> Z64).
void ReverseWords(std::span<std::uint8_t> buffer);

// Converts an image's bytes between its own order and Z64 (each conversion is its own inverse).
// N64 converts whole words only: `bytes` starts on a word.
void ToZ64(std::span<std::uint8_t> bytes, ImageOrder order);

// The same for a block read from, or about to be written to, an image at file offset `offset`.
// Every block the engine moves starts on a word and is whole words long; one that is not cannot
// be converted from N64 and throws EngineError.
void ConvertBlock(std::span<std::uint8_t> block, std::uint64_t offset, ImageOrder order);

[[noreturn]] void ThrowOutsideBuffer(std::size_t size, std::size_t offset, const char* what);

// Big-endian 32-bit number at a 1-based position, as the table routines address their
// buffers. Throws EngineError when the four bytes are not all inside the buffer.
// Inline: the header checksum reads a quarter of a million words through it.
inline std::uint32_t GetBE32(std::span<const std::uint8_t> buffer, std::size_t position) {
    const std::size_t o = position - 1;
    if (position == 0 || o > buffer.size() || buffer.size() - o < 4) {
        ThrowOutsideBuffer(buffer.size(), position == 0 ? buffer.size() + 1 : o, "big-endian read");
    }
    std::uint32_t v = 0;
    std::memcpy(&v, buffer.data() + o, sizeof v);  // one load, and one swap where needed
    if constexpr (std::endian::native == std::endian::little) {
        v = (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
    }
    return v;
}

// Stores value big-endian at a 1-based position. A value outside 0..2^32-1 is an overflow:
// EngineError, and nothing is stored.
void PutBE32(std::span<std::uint8_t> buffer, std::int64_t value, std::size_t position);

// Big-endian 16-bit number at a 1-based position (course block radii and bank angles).
std::uint16_t GetBE16(std::span<const std::uint8_t> buffer, std::size_t position);
void PutBE16(std::span<std::uint8_t> buffer, std::uint16_t value, std::size_t position);

// Little-endian signed 32-bit number at a 0-based offset (payload container fields).
std::int32_t GetLE32(std::span<const std::uint8_t> buffer, std::size_t offset);
void PutLE32(std::span<std::uint8_t> buffer, std::int32_t value, std::size_t offset);

}  // namespace tflux
