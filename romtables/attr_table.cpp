#include <array>
#include <cstdint>

#include "rom/byteorder.h"
#include "romtables/romtables.h"
#include "romtables/table_common.h"

namespace tflux {

// The attribute bytes are the game's business; all 256 values pass through unchanged.

void ReadAttrTable(RomState& state) {
    const std::uint32_t offset = TableLayoutFor(state).attrTableOffset;
    std::array<std::uint8_t, kTrackCount> table{};
    state.RomFile.ReadAt(offset, table);
    ConvertBlock(table, offset, state.Order());
    state.TrackAttrs = table;
}

void WriteAttrTable(RomState& state) {
    const std::uint32_t offset = TableLayoutFor(state).attrTableOffset;
    std::array<std::uint8_t, kTrackCount> table = state.TrackAttrs;
    ConvertBlock(table, offset, state.Order());
    state.RomFile.WriteAt(offset, table);
}

}  // namespace tflux
