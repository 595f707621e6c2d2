#include "rom/byteorder.h"

#include <cstring>
#include <string>
#include <utility>

#include "rom/errors.h"

namespace tflux {

void ThrowOutsideBuffer(std::size_t size, std::size_t offset, const char* what) {
    throw EngineError(std::string(what) + " outside its buffer (offset " + std::to_string(offset) +
                      " of " + std::to_string(size) + " bytes)");
}

namespace {

void CheckRange(std::size_t size, std::size_t offset, std::size_t count, const char* what) {
    if (offset > size || size - offset < count) {
        ThrowOutsideBuffer(size, offset, what);
    }
}

}  // namespace

namespace {

// Whole images are converted while they are hashed or written, so the bulk goes eight bytes at a
// time; a byte at a time costs more than the hashes do.
template <typename Step>
std::size_t ForEachEightBytes(std::span<std::uint8_t> buffer, std::size_t n, Step step) {
    std::size_t k = 0;
    for (; k + 8 <= n; k += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, buffer.data() + k, 8);
        word = step(word);
        std::memcpy(buffer.data() + k, &word, 8);
    }
    return k;
}

}  // namespace

void SwapPairs(std::span<std::uint8_t> buffer, std::size_t n) {
    CheckRange(buffer.size(), 0, n, "pair swap");
    std::size_t k = ForEachEightBytes(buffer, n, [](std::uint64_t w) {
        return ((w & 0x00FF00FF00FF00FFull) << 8) | ((w >> 8) & 0x00FF00FF00FF00FFull);
    });
    for (; k + 1 < n; k += 2) {
        std::swap(buffer[k], buffer[k + 1]);
    }
}

void ReverseWords(std::span<std::uint8_t> buffer) {
    std::size_t k = ForEachEightBytes(buffer, buffer.size() & ~std::size_t{3}, [](std::uint64_t w) {
        // Reversing all eight bytes reverses both words and exchanges them; rotating puts them
        // back in their places.
        const std::uint64_t reversed = __builtin_bswap64(w);
        return (reversed << 32) | (reversed >> 32);
    });
    for (; k + 3 < buffer.size(); k += 4) {
        std::swap(buffer[k], buffer[k + 3]);
        std::swap(buffer[k + 1], buffer[k + 2]);
    }
}

void PutBE32(std::span<std::uint8_t> buffer, std::int64_t value, std::size_t position) {
    if (value < 0 || value > 0xFFFFFFFFLL) {
        throw EngineError("Overflow: " + std::to_string(value) + " does not fit 32 bits");
    }
    CheckRange(buffer.size(), position == 0 ? buffer.size() + 1 : position - 1, 4,
               "big-endian write");
    const std::size_t o = position - 1;
    const auto v = static_cast<std::uint32_t>(value);
    buffer[o] = static_cast<std::uint8_t>(v >> 24);
    buffer[o + 1] = static_cast<std::uint8_t>(v >> 16);
    buffer[o + 2] = static_cast<std::uint8_t>(v >> 8);
    buffer[o + 3] = static_cast<std::uint8_t>(v);
}

std::uint16_t GetBE16(std::span<const std::uint8_t> buffer, std::size_t position) {
    CheckRange(buffer.size(), position == 0 ? buffer.size() + 1 : position - 1, 2,
               "big-endian read");
    const std::size_t o = position - 1;
    return static_cast<std::uint16_t>((buffer[o] << 8) | buffer[o + 1]);
}

void PutBE16(std::span<std::uint8_t> buffer, std::uint16_t value, std::size_t position) {
    CheckRange(buffer.size(), position == 0 ? buffer.size() + 1 : position - 1, 2,
               "big-endian write");
    const std::size_t o = position - 1;
    buffer[o] = static_cast<std::uint8_t>(value >> 8);
    buffer[o + 1] = static_cast<std::uint8_t>(value);
}

std::int32_t GetLE32(std::span<const std::uint8_t> buffer, std::size_t offset) {
    CheckRange(buffer.size(), offset, 4, "little-endian read");
    const std::uint32_t v =
        std::uint32_t{buffer[offset]} | (std::uint32_t{buffer[offset + 1]} << 8) |
        (std::uint32_t{buffer[offset + 2]} << 16) | (std::uint32_t{buffer[offset + 3]} << 24);
    return static_cast<std::int32_t>(v);
}

void PutLE32(std::span<std::uint8_t> buffer, std::int32_t value, std::size_t offset) {
    CheckRange(buffer.size(), offset, 4, "little-endian write");
    const auto v = static_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i) {
        buffer[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

void ToZ64(std::span<std::uint8_t> bytes, ImageOrder order) {
    switch (order) {
        case ImageOrder::Z64:
            break;
        case ImageOrder::V64:
            SwapPairs(bytes, bytes.size());
            break;
        case ImageOrder::N64:
            ReverseWords(bytes);
            break;
    }
}

void ConvertBlock(std::span<std::uint8_t> block, std::uint64_t offset, ImageOrder order) {
    if (order == ImageOrder::N64 && (offset % 4 != 0 || block.size() % 4 != 0)) {
        throw EngineError("cannot convert " + std::to_string(block.size()) + " bytes at offset " +
                          std::to_string(offset) + " from N64 order: not whole words");
    }
    ToZ64(block, order);
}

}  // namespace tflux
