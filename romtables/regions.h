#pragma once

// Where each region's release keeps its per-track tables and course blocks. Offsets are in
// the image file as stored (the same for Z64 and V64); addresses are the game's own pointers.

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "rom/game.h"

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
    Region region;
    StringTableLayout names;
    StringTableLayout subtitles;
    ParamTableLayout params;
    std::uint32_t attrTableOffset;
    std::uint32_t courseBase;
};

// One row a release, in the order of Region: the region, the name and subtitle tables (pointer
// table, pool, pool address, pool size), the parameter table (pool, pointer table, pool
// address), the attribute table and the first course block.
// clang-format off
inline constexpr std::array<RegionLayout, kRegions.size()> kRegionLayouts = {{
    {Region::E, {0x673D0, 0x6E310, 0x800D4310, 400}, {0xDFC28, 0xDFCB0, 0x80119550, 368},
                {0xD3DD0, 0xD4128, 0x80140B00}, 0x694D8, 0x2AD1E0},
    {Region::J, {0x67430, 0x6E3F0, 0x800D43F0, 400}, {0xDF8D8, 0xDF960, 0x80118DE0, 428},
                {0xD3A00, 0xD3D58, 0x80140390}, 0x695C8, 0x2AD660},
    {Region::P, {0x5A1F0, 0x60C90, 0x800C6C90, 400}, {0xF1618, 0xF16A0, 0x80125D30, 368},
                {0xE5850, 0xE5BA8, 0x8014C3C0}, 0x5C2FC, 0x2BFE30},
}};
// clang-format on

constexpr const RegionLayout& LayoutFor(Region region) {
    return kRegionLayouts[RegionIndex(region)];
}

inline constexpr const RegionLayout& kRegionE = LayoutFor(Region::E);
inline constexpr const RegionLayout& kRegionJ = LayoutFor(Region::J);
inline constexpr const RegionLayout& kRegionP = LayoutFor(Region::P);

// The layout for a region code ("E", "J", "P"); nullopt for anything else.
inline std::optional<RegionLayout> LayoutFor(const std::string& regionCode) {
    if (const auto region = RegionFromCode(regionCode)) {
        return LayoutFor(*region);
    }
    return std::nullopt;
}

// The budgets the pack is held to are what these layouts leave.
constexpr bool LayoutsMatchBudgets() {
    std::uint32_t smallestSubtitles = kRegionLayouts[0].subtitles.poolSize;
    for (std::size_t i = 0; i < kRegionLayouts.size(); ++i) {
        const RegionLayout& layout = kRegionLayouts[i];
        if (layout.region != kRegions[i] || layout.names.poolSize != kNamePoolSize) {
            return false;
        }
        smallestSubtitles = std::min(smallestSubtitles, layout.subtitles.poolSize);
    }
    return smallestSubtitles == kSubtitlePoolBudget;
}
static_assert(LayoutsMatchBudgets());

}  // namespace tflux
