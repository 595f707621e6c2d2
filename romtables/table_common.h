#pragma once

// What the four table routines share beyond the byte-order helpers: choosing the region's layout.

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "rom/byteorder.h"
#include "rom/errors.h"
#include "rom/file.h"
#include "rom/rom_state.h"
#include "rom/text.h"
#include "romtables/regions.h"

namespace tflux {

// Identification admits only E, J and P, so any other code here means the tables were asked
// for before the image was accepted; refuse rather than guess offsets.
inline RegionLayout TableLayoutFor(const RomState& state) {
    if (const auto layout = LayoutFor(state.RegionCode)) {
        return *layout;
    }
    throw EngineError("cannot place the track tables of " + PathText(state.RomFile.Path()) +
                      ": unknown region code \"" + state.RegionCode + "\"");
}

// Equal entries share one place in the pool: when an earlier entry equals entry i, entry i
// takes that entry's pointer and the caller writes nothing for it.
template <typename T, std::size_t N>
bool ShareEarlier(const std::array<T, N>& entries, std::size_t i,
                  std::span<std::int64_t> pointers) {
    const auto end = entries.begin() + static_cast<std::ptrdiff_t>(i);
    const auto earlier = std::find(entries.begin(), end, entries[i]);
    if (earlier == end) {
        return false;
    }
    pointers[i] = pointers[static_cast<std::size_t>(earlier - entries.begin())];
    return true;
}

// A pool and its pointer table, read as stored and returned in Z64 order (pool first, then
// table, each swapped the same way).
inline void ReadPoolAndPointers(const RomState& state, std::uint32_t poolOffset,
                                std::span<std::uint8_t> pool, std::uint32_t tableOffset,
                                std::span<std::uint8_t> table) {
    state.RomFile.ReadAt(poolOffset, pool);
    state.RomFile.ReadAt(tableOffset, table);
    ConvertBlock(pool, poolOffset, state.Order());
    ConvertBlock(table, tableOffset, state.Order());
}

// Stores the pointers big-endian into `table`, converts both buffers to the image's order and
// writes the table, then the pool.
inline void WritePointersAndPool(RomState& state, std::span<const std::int64_t> pointers,
                                 std::uint32_t tableOffset, std::span<std::uint8_t> table,
                                 std::uint32_t poolOffset, std::span<std::uint8_t> pool) {
    for (std::size_t k = 0; k < pointers.size(); ++k) {
        PutBE32(table, pointers[k], 4 * k + 1);
    }
    ConvertBlock(table, tableOffset, state.Order());
    ConvertBlock(pool, poolOffset, state.Order());
    state.RomFile.WriteAt(tableOffset, table);
    state.RomFile.WriteAt(poolOffset, pool);
}

}  // namespace tflux
