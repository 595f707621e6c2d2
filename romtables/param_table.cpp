#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

#include "payload/modIEEE754.h"
#include "rom/byteorder.h"
#include "romtables/romtables.h"
#include "romtables/table_common.h"

namespace tflux {

namespace {

// An entry is: 0, code, 0, 0, then the value as a big-endian single. Code 0 ends a list.
constexpr std::size_t kCodeByte = 1;
constexpr std::size_t kValueByte = 4;
constexpr std::size_t kMaxEntries = std::tuple_size_v<decltype(TrackParamSet::Codes)>;

// The pool's last entry is never given to a parameter: it is always a terminator, so that
// the tracks left over when the pool fills can designate it and read an empty list.
constexpr std::size_t kLastEntry = kParamPoolSize - kParamEntrySize;

}  // namespace

void ReadParamTable(RomState& state) {
    const ParamTableLayout layout = TableLayoutFor(state).params;
    std::array<std::uint8_t, kParamPoolSize> pool{};
    std::array<std::uint8_t, kPointerTableSize> table{};
    ReadPoolAndPointers(state, layout.poolOffset, pool, layout.pointerTableOffset, table);
    for (std::size_t i = 0; i < state.TrackParams.size(); ++i) {
        TrackParamSet& set = state.TrackParams[i];
        set.Count = 0;
        const std::uint32_t slot = GetBE32(table, 4 * i + 1);
        // Below the pool there is no list; like one past the pool, it reads as empty.
        if (slot < layout.poolAddress) {
            continue;
        }
        for (std::size_t o = slot - layout.poolAddress; o <= kLastEntry && set.Count < kMaxEntries;
             o += kParamEntrySize) {
            const std::uint8_t code = pool[o + kCodeByte];
            if (code == 0) {
                break;
            }
            std::uint8_t status = 0;
            set.Codes[set.Count] = code;
            set.Values[set.Count] = BytesToSingle(
                std::span<const std::uint8_t, 4>(pool.data() + o + kValueByte, 4), true, status);
            ++set.Count;
        }
    }
}

void WriteParamTable(RomState& state) {
    const ParamTableLayout layout = TableLayoutFor(state).params;
    const std::int64_t address = layout.poolAddress;
    std::array<std::uint8_t, kParamPoolSize> pool{};
    std::array<std::uint8_t, kPointerTableSize> table{};
    std::array<std::int64_t, kTrackCount> slots{};
    slots.fill(address + static_cast<std::int64_t>(kLastEntry));

    const auto& sets = state.TrackParams;
    std::size_t next = 0;
    for (std::size_t i = 0; i < sets.size(); ++i) {
        // Full: the remaining tracks keep the last entry's address, even those whose set is
        // already in the pool.
        if (next == kParamPoolSize) {
            break;
        }
        // Positions past Count take part: sets that differ only there get lists of their own.
        if (ShareEarlier(sets, i, slots)) {
            continue;
        }
        slots[i] = address + static_cast<std::int64_t>(next);
        const std::size_t count = std::min<std::size_t>(sets[i].Count, kMaxEntries);
        for (std::size_t c = 0; c < count && next < kLastEntry; ++c) {
            pool[next + kCodeByte] = sets[i].Codes[c];
            SingleToBytes(sets[i].Values[c], true,
                          std::span<std::uint8_t, 4>(pool.data() + next + kValueByte, 4));
            next += kParamEntrySize;
        }
        next += kParamEntrySize;  // the terminator: an entry left at zero
    }

    WritePointersAndPool(state, slots, layout.pointerTableOffset, table, layout.poolOffset, pool);
}

}  // namespace tflux
