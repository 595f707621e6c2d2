#include "romtables/sample_image.h"

#include <array>
#include <cstring>
#include <fstream>
#include <string>

#include "rom/byteorder.h"
#include "rom/checksum.h"
#include "rom/errors.h"
#include "rom/game.h"
#include "rom/identify.h"
#include "rom/text.h"
#include "romtables/regions.h"

namespace tflux {

namespace {

constexpr std::size_t kVersionOffset = 0x3F;  // the byte after the region letter, in Z64

class XorShift {
  public:
    explicit XorShift(std::uint32_t seed) : state_(seed == 0 ? 0x9E3779B9u : seed) {}
    std::uint32_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }

  private:
    std::uint32_t state_;
};

constexpr std::array<const char*, 12> kWords = {"Harbor", "Mesa",   "Cobalt", "Rift",
                                                "Ember",  "Glade",  "Vector", "Summit",
                                                "Drift",  "Quartz", "Nova",   "Basin"};

std::string SampleName(XorShift& rng, int track) {
    return std::string(kWords[rng.Next() % kWords.size()]) + " " + std::to_string(track);
}

void PutString(std::vector<std::uint8_t>& image, std::size_t offset, const std::string& text) {
    std::memcpy(image.data() + offset, text.data(), text.size());
    image[offset + text.size()] = 0;
}

// A string table as the game stores it: strings back to back from the pool's start.
void WriteStringTable(std::vector<std::uint8_t>& image, const StringTableLayout& layout,
                      XorShift& rng, std::uint32_t pointerCount) {
    std::memset(image.data() + layout.poolOffset, 0, layout.poolSize);
    std::uint32_t used = 0;
    const std::uint32_t endOfPool = layout.poolAddress + layout.poolSize - 1;
    for (std::uint32_t k = 0; k < pointerCount; ++k) {
        std::uint32_t pointer = endOfPool;
        if (k < static_cast<std::uint32_t>(kTrackCount)) {
            const std::string text = SampleName(rng, static_cast<int>(k) + 1);
            if (used + text.size() + 1 < layout.poolSize) {
                PutString(image, layout.poolOffset + used, text);
                pointer = layout.poolAddress + used;
                used += static_cast<std::uint32_t>(text.size()) + 1;
            }
        }
        PutBE32(image, pointer, layout.pointerTableOffset + 4 * k + 1);
    }
}

void WriteParamTable(std::vector<std::uint8_t>& image, const ParamTableLayout& layout,
                     XorShift& rng) {
    std::memset(image.data() + layout.poolOffset, 0, kParamPoolSize);
    std::uint32_t next = 0;
    for (std::uint32_t track = 0; track < static_cast<std::uint32_t>(kTrackCount); ++track) {
        PutBE32(image, layout.poolAddress + next, layout.pointerTableOffset + 4 * track + 1);
        const std::uint32_t count = 1 + rng.Next() % 3;
        for (std::uint32_t e = 0; e < count; ++e) {
            const std::uint32_t at = layout.poolOffset + next;
            image[at + 1] = static_cast<std::uint8_t>(1 + rng.Next() % 40);
            const float value = static_cast<float>(rng.Next() % 4000) / 8.0f;
            std::uint32_t bits = 0;
            std::memcpy(&bits, &value, sizeof bits);
            PutBE32(image, bits, at + 4 + 1);
            next += kParamEntrySize;
        }
        next += kParamEntrySize;  // terminator: eight zero bytes
    }
}

}  // namespace

std::vector<std::uint8_t> MakeSampleImage(const SampleOptions& options) {
    std::vector<std::uint8_t> image(kRomSize);
    XorShift rng(options.seed * 2654435761u + 17);
    for (std::size_t i = 0; i < image.size(); i += 4) {
        PutBE32(image, rng.Next(), i + 1);
    }
    const std::array<std::uint8_t, 16> header = {0x80, 0x37, 0x12, 0x40, 0x00, 0x00, 0x00, 0x0F,
                                                 0x80, 0x00, 0x04, 0x00, 0x00, 0x00, 0x14, 0x49};
    std::memcpy(image.data(), header.data(), header.size());
    std::memset(image.data() + 0x18, 0, 8);
    std::memcpy(image.data() + kInternalNameOffset, kGameNameZ64.data(), kInternalNameSize);
    std::memset(image.data() + 0x34, 0, 7);
    image[0x3B] = 'N';
    image[0x3C] = 'T';
    image[0x3D] = 'X';
    image[kRegionOffsetZ64] = static_cast<std::uint8_t>(options.region);
    image[kVersionOffset] = 0;

    // Unknown regions still get tables, laid out as the North American release.
    const RegionLayout& layout = LayoutFor(RegionFromLetter(options.region).value_or(Region::E));
    WriteStringTable(image, layout.names, rng, kNamePointerCount);
    WriteStringTable(image, layout.subtitles, rng, kTrackCount);
    WriteParamTable(image, layout.params, rng);
    for (int i = 0; i < kTrackCount; ++i) {
        image[layout.attrTableOffset + static_cast<std::uint32_t>(i)] =
            static_cast<std::uint8_t>(rng.Next());
    }

    const HeaderCrc crc = CalculateChecksum(image, DetectCic(image));
    PutBE32(image, crc.crc1, kCrcOffset + 1);
    PutBE32(image, crc.crc2, kCrcOffset + 4 + 1);
    if (options.v64) {
        SwapPairs(image, image.size());
    }
    return image;
}

void WriteSampleImage(const std::filesystem::path& path, const SampleOptions& options) {
    const std::vector<std::uint8_t> image = MakeSampleImage(options);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
    out.close();
    if (!out) {
        throw EngineError("cannot write " + PathText(path));
    }
}

}  // namespace tflux
