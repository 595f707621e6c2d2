#pragma once

// Where each region's release keeps its per-track tables and course blocks. Offsets are in
// the image file as stored (the same for Z64 and V64); addresses are the game's own pointers.

#include <cstdint>
#include <optional>
#include <string>

namespace tflux {

struct StringTableLayout {
    std::uint32_t pointerTableOffset;
    std::uint32_t poolOffset;
    std::uint32_t poolAddress;
    std::uint32_t poolSize;
};

struct ParamTableLayout {
    std::uint32_t poolOffset;
    std::uint32_t pointerTableOffset;
    std::uint32_t poolAddress;
};

struct RegionLayout {
    char region;
    StringTableLayout names;
    StringTableLayout subtitles;
    ParamTableLayout params;
    std::uint32_t attrTableOffset;
    std::uint32_t courseBase;
};

inline constexpr std::uint32_t kNamePointerCount = 31;  // the writer writes all 31
inline constexpr std::uint32_t kParamPoolSize = 800;
inline constexpr std::uint32_t kParamEntrySize = 8;
inline constexpr std::uint32_t kPointerTableSize = 96;  // 24 big-endian pointers

inline constexpr RegionLayout kRegionE{'E',
                                       {0x673D0, 0x6E310, 0x800D4310, 400},
                                       {0xDFC28, 0xDFCB0, 0x80119550, 368},
                                       {0xD3DD0, 0xD4128, 0x80140B00},
                                       0x694D8,
                                       0x2AD1E0};
inline constexpr RegionLayout kRegionJ{'J',
                                       {0x67430, 0x6E3F0, 0x800D43F0, 400},
                                       {0xDF8D8, 0xDF960, 0x80118DE0, 428},
                                       {0xD3A00, 0xD3D58, 0x80140390},
                                       0x695C8,
                                       0x2AD660};
inline constexpr RegionLayout kRegionP{'P',
                                       {0x5A1F0, 0x60C90, 0x800C6C90, 400},
                                       {0xF1618, 0xF16A0, 0x80125D30, 368},
                                       {0xE5850, 0xE5BA8, 0x8014C3C0},
                                       0x5C2FC,
                                       0x2BFE30};

// The layout for a region code ("E", "J", "P"); nullopt for anything else.
inline std::optional<RegionLayout> LayoutFor(const std::string& regionCode) {
    if (regionCode == "E")
        return kRegionE;
    if (regionCode == "J")
        return kRegionJ;
    if (regionCode == "P")
        return kRegionP;
    return std::nullopt;
}

}  // namespace tflux
