#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "rom/byteorder.h"
#include "romtables/romtables.h"
#include "romtables/table_common.h"

namespace tflux {

namespace {

using StringArray = std::array<std::string, kTrackCount>;

// The name pool ends in a string "x" that the game's 31st name pointer refers to.
constexpr std::uint8_t kReservedName = 0x78;

void ReadStringTable(const RomState& state, const StringTableLayout& layout, StringArray& strings) {
    std::vector<std::uint8_t> pool(layout.poolSize);
    std::array<std::uint8_t, kPointerTableSize> table{};
    ReadPoolAndPointers(state, layout.poolOffset, pool, layout.pointerTableOffset, table);
    for (std::size_t k = 0; k < strings.size(); ++k) {
        const std::uint32_t pointer = GetBE32(table, 4 * k + 1);
        // A pointer outside the pool, or a string that runs off its end, tells us nothing
        // trustworthy: the entry keeps what it held.
        if (pointer < layout.poolAddress || pointer - layout.poolAddress >= pool.size()) {
            continue;
        }
        const auto begin = pool.begin() + (pointer - layout.poolAddress);
        const auto end = std::find(begin, pool.end(), std::uint8_t{0});
        if (end != pool.end()) {
            strings[k].assign(begin, end);
        }
    }
}

// Names and subtitles are laid out alike; the name table alone keeps the reserved "x" at the
// pool's end and has pointers 25 to 31 beyond the tracks'.
void WriteStringTable(RomState& state, const StringTableLayout& layout, const StringArray& strings,
                      bool isNameTable) {
    const std::size_t size = layout.poolSize;
    const std::size_t pointerCount = isNameTable ? kNamePointerCount : kTrackCount;
    const std::int64_t address = layout.poolAddress;
    const std::int64_t endOfPool = address + static_cast<std::int64_t>(size) - 1;

    std::vector<std::uint8_t> pool(size, 0);
    std::vector<std::uint8_t> table(4 * pointerCount, 0);
    // Entries the loop does not reach, and name entries 25 to 30, designate the pool's last
    // byte, which is always 0: an empty string.
    std::vector<std::int64_t> pointers(pointerCount, endOfPool);
    if (isNameTable) {
        pool[size - kNameReservedTail] = kReservedName;
        pointers[pointerCount - 1] = address + static_cast<std::int64_t>(size - kNameReservedTail);
    }

    std::size_t w = 0;
    for (std::size_t i = 0; i < strings.size(); ++i) {
        if (w == size || (isNameTable && w == size - kNameReservedTail)) {
            break;
        }
        if (ShareEarlier(strings, i, pointers)) {
            continue;
        }
        pointers[i] = address + static_cast<std::int64_t>(w);
        for (const char c : strings[i]) {
            pool[w++] = static_cast<std::uint8_t>(c);
            if (w == size) {
                break;
            }
        }
        if (w < size) {
            pool[w++] = 0;
        } else {
            // Cut at the pool's end: the last byte becomes the terminator, so the end-of-pool
            // pointer still designates an empty string.
            pool[size - 1] = 0;
        }
    }

    WritePointersAndPool(state, pointers, layout.pointerTableOffset, table, layout.poolOffset,
                         pool);
}

}  // namespace

void ReadNameTable(RomState& state) {
    ReadStringTable(state, TableLayoutFor(state).names, state.TrackNames);
}

void ReadSubtitleTable(RomState& state) {
    ReadStringTable(state, TableLayoutFor(state).subtitles, state.TrackSubtitles);
}

void WriteNameTable(RomState& state) {
    WriteStringTable(state, TableLayoutFor(state).names, state.TrackNames, true);
}

void WriteSubtitleTable(RomState& state) {
    WriteStringTable(state, TableLayoutFor(state).subtitles, state.TrackSubtitles, false);
}

}  // namespace tflux
