#include "rom/checksum.h"

#include <bit>
#include <cstdio>
#include <string>
#include <vector>

#include "rom/byteorder.h"
#include "rom/digest.h"
#include "rom/errors.h"
#include "rom/text.h"

namespace tflux {

namespace {

constexpr std::size_t kBootStart = 0x40;
constexpr std::size_t kBootEnd = 0x1000;
// The 6105 boot code mixes in a 64-word table of its own instead of the running a5.
constexpr std::size_t kTable6105 = 0x750;

struct KnownBoot {
    const char* md5;
    CicVariant variant;
};

// 7101 computes as 6102 and 7102 as 6101, so each hash maps to the member that carries its
// algorithm.
constexpr KnownBoot kKnownBoots[] = {
    {"900b4a5b68edb71f4c7ed52acd814fc5", CicVariant::Cic6101},
    {"e24dd796b2fa16511521139d28c8356b", CicVariant::Cic6102},
    {"955894c2e40a698bf98a67b78a4e28fa", CicVariant::Cic6101},
    {"319038097346e12c26c3c21b56f86f23", CicVariant::Cic6103},
    {"ff22a296e55d34ab0a077dc2ba5f5796", CicVariant::Cic6105},
    {"6460387749ac0bd925aa5430bc7864fe", CicVariant::Cic6106},
};

struct NamedCic {
    const char* name;
    CicVariant variant;
};

constexpr NamedCic kCicNames[] = {
    {"6101", CicVariant::Cic6101}, {"7102", CicVariant::Cic6101}, {"6102", CicVariant::Cic6102},
    {"7101", CicVariant::Cic6102}, {"6103", CicVariant::Cic6103}, {"7103", CicVariant::Cic6103},
    {"6105", CicVariant::Cic6105}, {"7105", CicVariant::Cic6105}, {"6106", CicVariant::Cic6106},
    {"7106", CicVariant::Cic6106},
};

std::string Hex(std::span<const std::uint8_t> bytes) {
    std::string text;
    char two[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        text += two;
    }
    return text;
}

std::uint32_t WordAt(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return GetBE32(bytes, offset + 1);
}

// Reads the checksummed range once, in Z64 order; the only buffer a checksum pass holds.
ChecksumReport Examine(const File& image, std::optional<ImageOrder> order,
                       std::optional<CicVariant> variant) {
    const File::Stamp stamp = image.Examine();
    const std::uint64_t size = stamp.size;
    if (size < kChecksumEnd) {
        throw EngineError("cannot checksum " + PathText(image.Path()) + ": the image is " +
                          Thousands(size) +
                          " bytes long, too short to hold a checksum (it needs at least " +
                          std::to_string(kChecksumEnd) + " bytes)");
    }
    std::vector<std::uint8_t> head(kChecksumEnd);
    image.ReadAt(0, head);
    // Words computed over a file rewritten meanwhile would be right for neither version.
    try {
        image.ExpectUnchanged(stamp);
    } catch (const EngineError& e) {
        throw e.Within("cannot checksum " + PathText(image.Path()) + ": ");
    }
    ChecksumReport report;
    report.order = order ? *order : DetectOrder(head);
    ToZ64(head, report.order);
    report.variant = variant ? *variant : DetectCic(head);
    report.stored = {WordAt(head, kCrcOffset), WordAt(head, kCrcOffset + 4)};
    report.computed = CalculateChecksum(head, report.variant);
    return report;
}

}  // namespace

ImageOrder DetectOrder(std::span<const std::uint8_t> head) {
    if (head.size() < 4) {
        return ImageOrder::Z64;
    }
    const std::uint32_t first = WordAt(head, 0);
    if (first == 0x37804012) {
        return ImageOrder::V64;
    }
    if (first == 0x40123780) {
        return ImageOrder::N64;
    }
    return ImageOrder::Z64;
}

CicVariant DetectCic(std::span<const std::uint8_t> z64Head) {
    if (z64Head.size() < kBootEnd) {
        throw EngineError("the image is too short to hold a boot code (" +
                          Thousands(z64Head.size()) + " bytes)");
    }
    const std::string digest = Hex(Md5(z64Head.subspan(kBootStart, kBootEnd - kBootStart)));
    for (const KnownBoot& known : kKnownBoots) {
        if (digest == known.md5) {
            return known.variant;
        }
    }
    return CicVariant::Cic6106;
}

std::string CicName(CicVariant variant) {
    for (const NamedCic& entry : kCicNames) {
        if (entry.variant == variant) {
            return entry.name;
        }
    }
    return "unknown";
}

std::optional<CicVariant> ParseCic(const std::string& name) {
    for (const NamedCic& entry : kCicNames) {
        if (name == entry.name) {
            return entry.variant;
        }
    }
    return std::nullopt;
}

HeaderCrc CalculateChecksum(std::span<const std::uint8_t> z64Head, CicVariant variant) {
    if (z64Head.size() < kChecksumEnd) {
        throw EngineError("the image is " + Thousands(z64Head.size()) +
                          " bytes long, too short to hold a checksum (it needs at least " +
                          std::to_string(kChecksumEnd) + " bytes)");
    }
    std::uint32_t seed = 0x3F;
    std::uint32_t multiplier = 0x5D588B65;
    switch (variant) {
        case CicVariant::Cic6101:
        case CicVariant::Cic6102:
            break;
        case CicVariant::Cic6103:
            seed = 0x78;
            multiplier = 0x6C078965;
            break;
        case CicVariant::Cic6105:
            seed = 0x91;
            break;
        case CicVariant::Cic6106:
            seed = 0x85;
            multiplier = 0x6C078965;
            break;
    }
    const std::uint32_t start = seed * multiplier + 1;
    std::uint32_t a1 = start, a2 = start, a3 = start, a4 = start, a5 = start, a6 = start;
    std::size_t i = 0;
    for (std::size_t offset = kChecksumStart; offset < kChecksumEnd; offset += 4, ++i) {
        const std::uint32_t d = WordAt(z64Head, offset);
        const std::uint32_t sum = a6 + d;
        if (sum < a6) {
            ++a4;
        }
        a6 = sum;
        a3 ^= d;
        const std::uint32_t r = std::rotl(d, static_cast<int>(d & 31));
        a5 += r;
        a2 ^= a2 > d ? r : (a6 ^ d);
        if (variant == CicVariant::Cic6105) {
            a1 += d ^ WordAt(z64Head, kTable6105 + 4 * (i & 63));
        } else {
            a1 += a5 ^ d;
        }
    }
    switch (variant) {
        case CicVariant::Cic6103:
            return {(a6 ^ a4) + a3, (a5 ^ a2) + a1};
        case CicVariant::Cic6106:
            return {a6 * a4 + a3, a5 * a2 + a1};
        default:
            return {a6 ^ a4 ^ a3, a5 ^ a2 ^ a1};
    }
}

ChecksumReport VerifyChecksum(const File& image, std::optional<ImageOrder> order,
                              std::optional<CicVariant> variant) {
    return Examine(image, order, variant);
}

ChecksumReport UpdateChecksum(File& image, std::optional<ImageOrder> order,
                              std::optional<CicVariant> variant) {
    ChecksumReport report = Examine(image, order, variant);
    std::array<std::uint8_t, 8> words{};
    PutBE32(words, report.computed.crc1, 1);
    PutBE32(words, report.computed.crc2, 5);
    // 0x10 is word-aligned, so the image's own order applies to these eight bytes alone.
    ToZ64(words, report.order);
    image.WriteAt(kCrcOffset, words);

    std::array<std::uint8_t, 8> back{};
    image.ReadAt(kCrcOffset, back);
    if (back != words) {
        throw EngineError("cannot update the checksum of " + PathText(image.Path()) +
                          ": the words written at 0x10 read back differently");
    }
    ToZ64(back, report.order);
    report.stored = {WordAt(back, 0), WordAt(back, 4)};
    return report;
}

}  // namespace tflux
