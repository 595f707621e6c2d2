#pragma once

// The cartridge header checksum (CRC1 at 0x10, CRC2 at 0x14), shared by the patch and the
// stand-alone updater.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "rom/byteorder.h"
#include "rom/file.h"

namespace tflux {

inline constexpr std::size_t kChecksumStart = 0x1000;
inline constexpr std::size_t kChecksumEnd = 0x101000;  // also the smallest image with a checksum
inline constexpr std::size_t kCrcOffset = 0x10;

enum class CicVariant { Cic6101, Cic6102, Cic6103, Cic6105, Cic6106 };

struct HeaderCrc {
    std::uint32_t crc1 = 0;
    std::uint32_t crc2 = 0;
    friend bool operator==(const HeaderCrc&, const HeaderCrc&) = default;
};

// From the first four bytes; an unrecognised word is taken as Z64.
ImageOrder DetectOrder(std::span<const std::uint8_t> head);

// From the MD5 of the boot code (Z64 bytes 0x40..0xFFF); 6106 when none matches.
CicVariant DetectCic(std::span<const std::uint8_t> z64Head);
// "6101", "6102", ...; and the parser for --cic, which also takes the 7xxx names.
std::string CicName(CicVariant variant);
std::optional<CicVariant> ParseCic(const std::string& name);

// z64Head: at least kChecksumEnd bytes of the image in Z64 order.
HeaderCrc CalculateChecksum(std::span<const std::uint8_t> z64Head, CicVariant variant);

struct ChecksumReport {
    ImageOrder order = ImageOrder::Z64;
    CicVariant variant = CicVariant::Cic6106;
    HeaderCrc stored;
    HeaderCrc computed;
};

// Reads the checksummed range of an open image once and reports stored and computed words.
ChecksumReport VerifyChecksum(const File& image, std::optional<ImageOrder> order = std::nullopt,
                              std::optional<CicVariant> variant = std::nullopt);

// Recomputes CRC1/CRC2, writes them in the image's own order, leaving every other byte, and
// reads them back. Throws EngineError when the image is too short or the words do not stick.
ChecksumReport UpdateChecksum(File& image, std::optional<ImageOrder> order = std::nullopt,
                              std::optional<CicVariant> variant = std::nullopt);

}  // namespace tflux
