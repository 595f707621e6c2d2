#include <algorithm>
#include <cmath>
#include <optional>
#include <set>
#include <string>

#include "rom/errors.h"
#include "rom/file.h"
#include "romtables/regions.h"
#include "romtables/romtables.h"
#include "tests/fuzz/fuzz_support.h"

namespace tflux::fuzz {

namespace {

namespace fs = std::filesystem;

enum AreaIndex {
    kNamePointers,
    kNamePool,
    kSubPointers,
    kSubPool,
    kParamPointers,
    kParamPool,
    kAttrs
};

// A string a reader would never produce, so that an entry the reader kept shows.
const std::string kKept = "kept\x01";

void Prefill(RomState& state) {
    state.TrackNames.fill(kKept);
    state.TrackSubtitles.fill(kKept);
}

void CheckStrings(const std::array<std::string, kTrackCount>& strings, std::uint32_t poolSize,
                  const char* what) {
    for (const std::string& s : strings) {
        Require(s == kKept || (s.size() < poolSize && s.find('\0') == std::string::npos),
                std::string("a ") + what + " longer than its pool");
    }
}

void CheckParams(const std::array<TrackParamSet, kTrackCount>& sets) {
    for (const TrackParamSet& set : sets) {
        Require(set.Count <= 6, "more than six parameters");
        for (std::size_t k = 0; k < set.Count; ++k) {
            Require(set.Codes[k] != 0 && std::isfinite(set.Values[k]),
                    "a parameter with code 0 or a value that is not finite");
        }
    }
}

// Bytes the distinct strings take in a pool, terminators included.
std::size_t PoolBytes(const std::array<std::string, kTrackCount>& strings) {
    std::size_t bytes = 0;
    for (const std::string& s : std::set<std::string>(strings.begin(), strings.end())) {
        bytes += s.size() + 1;
    }
    return bytes;
}

std::size_t ParamBytes(const std::array<TrackParamSet, kTrackCount>& sets) {
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < sets.size(); ++i) {
        if (std::find(sets.begin(), sets.begin() + static_cast<std::ptrdiff_t>(i), sets[i]) ==
            sets.begin() + static_cast<std::ptrdiff_t>(i)) {
            bytes += (sets[i].Count + 1u) * kParamEntrySize;
        }
    }
    return bytes;
}

// Written back and read again, every string is the one read or cut short, and all of them
// are whole while the distinct ones fit the pool with room to spare.
void CheckStringsKept(const std::array<std::string, kTrackCount>& before,
                      const std::array<std::string, kTrackCount>& after, std::size_t room,
                      const char* what) {
    const bool fits = PoolBytes(before) < room;
    for (std::size_t i = 0; i < before.size(); ++i) {
        const bool prefix = before[i].compare(0, after[i].size(), after[i]) == 0 &&
                            after[i].size() <= before[i].size();
        Require(prefix, std::string("a ") + what + " written back reads as another");
        Require(!fits || after[i] == before[i],
                std::string("a ") + what + " that fits the pool was cut when written back");
    }
}

void CheckParamsKept(const std::array<TrackParamSet, kTrackCount>& before,
                     const std::array<TrackParamSet, kTrackCount>& after) {
    const bool fits = ParamBytes(before) < kParamPoolSize;
    for (std::size_t i = 0; i < before.size(); ++i) {
        const TrackParamSet& b = before[i];
        const TrackParamSet& a = after[i];
        bool prefix = a.Count <= b.Count;
        for (std::size_t k = 0; prefix && k < a.Count; ++k) {
            prefix = a.Codes[k] == b.Codes[k] && a.Values[k] == b.Values[k];
        }
        Require(prefix, "a parameter list written back reads as another");
        Require(!fits || a.Count == b.Count,
                "a parameter list that fits the pool was cut when written back");
    }
}

void ReadAll(RomState& state) {
    ReadNameTable(state);
    ReadSubtitleTable(state);
    ReadParamTable(state);
    ReadAttrTable(state);
}

}  // namespace

std::vector<Area> TableAreas(char region) {
    const RegionLayout layout = LayoutFor(std::string(1, region)).value_or(kRegionE);
    return {{layout.names.pointerTableOffset, kPointerTableSize},
            {layout.names.poolOffset, layout.names.poolSize},
            {layout.subtitles.pointerTableOffset, kPointerTableSize},
            {layout.subtitles.poolOffset, layout.subtitles.poolSize},
            {layout.params.pointerTableOffset, kPointerTableSize},
            {layout.params.poolOffset, kParamPoolSize},
            {layout.attrTableOffset, kTrackCount}};
}

Outcome FuzzTables(Input data) {
    const std::uint8_t flags = data.size() > 0 ? data[0] : 0;
    const char region = kTableRegions[flags & 3];
    const bool v64 = (flags & kTablesV64) != 0;
    const unsigned cutValue = data.size() >= kTablesHeader ? (data[1] << 8) | data[2] : 0;
    const Input body = data.size() > kTablesHeader ? data.subspan(kTablesHeader) : Input();

    // Only the areas are written: the file is sparse, so a run costs a few kilobytes of I/O.
    const fs::path path = ScratchFolder() / "tables.z64";
    WriteFileBytes(path, {});
    const std::vector<Area> areas = TableAreas(region);
    {
        File image = File::Open(path, OpenMode::ReadWrite, Links::NoFollow);
        std::size_t used = 0;
        for (const Area& area : areas) {
            Bytes bytes(area.size, 0);
            const std::size_t n =
                std::min<std::size_t>(area.size, body.size() - std::min(used, body.size()));
            std::copy_n(body.begin() + static_cast<std::ptrdiff_t>(std::min(used, body.size())), n,
                        bytes.begin());
            used += area.size;
            image.WriteAt(area.offset, bytes);
        }
        image.Close();
    }
    std::optional<std::uint64_t> cut;
    if ((flags & kTablesCut) != 0) {
        const Area& area = areas[cutValue % areas.size()];
        cut = area.offset + (cutValue / areas.size()) % (area.size + 1);
        fs::resize_file(path, *cut);
    }
    // A reader fails exactly when its areas are not all in the file.
    const auto whole = [&](std::initializer_list<AreaIndex> used) {
        return std::all_of(used.begin(), used.end(), [&](AreaIndex i) {
            return !cut || areas[i].offset + areas[i].size <= *cut;
        });
    };

    RomState state;
    state.RegionCode = std::string(1, region);
    state.IsByteSwapped = v64;
    Prefill(state);
    state.RomFile = File::Open(path, OpenMode::Read, Links::NoFollow);
    const bool known = region != 'X';
    const struct {
        void (*read)(RomState&);
        bool readable;
        const char* name;
    } readers[] = {
        {ReadNameTable, known && whole({kNamePointers, kNamePool}), "name"},
        {ReadSubtitleTable, known && whole({kSubPointers, kSubPool}), "subtitle"},
        {ReadParamTable, known && whole({kParamPointers, kParamPool}), "parameter"},
        {ReadAttrTable, known && whole({kAttrs}), "attribute"},
    };
    bool all = true;
    for (const auto& reader : readers) {
        bool read = false;
        try {
            reader.read(state);
            read = true;
        } catch (const EngineError&) {
        }
        Require(read == reader.readable, std::string("the ") + reader.name + " table reader " +
                                             (read ? "read areas the file does not hold"
                                                   : "refused a table the file holds"));
        all = all && read;
    }
    if (!known) {
        return Outcome::Refused;
    }
    const RegionLayout layout = *LayoutFor(state.RegionCode);
    CheckStrings(state.TrackNames, layout.names.poolSize, "name");
    CheckStrings(state.TrackSubtitles, layout.subtitles.poolSize, "subtitle");
    CheckParams(state.TrackParams);
    if (!all) {
        return Outcome::Refused;
    }

    state.RomFile = File::Open(path, OpenMode::ReadWrite, Links::NoFollow);
    WriteRomTables(state);
    state.RomFile.Close();
    RomState again;
    again.RegionCode = state.RegionCode;
    again.IsByteSwapped = v64;
    again.RomFile = File::Open(path, OpenMode::Read, Links::NoFollow);
    ReadAll(again);
    // The name pool's last two bytes hold the reserved "x".
    CheckStringsKept(state.TrackNames, again.TrackNames, layout.names.poolSize - 2, "name");
    CheckStringsKept(state.TrackSubtitles, again.TrackSubtitles, layout.subtitles.poolSize,
                     "subtitle");
    CheckParamsKept(state.TrackParams, again.TrackParams);
    Require(again.TrackAttrs == state.TrackAttrs, "the attributes changed when written back");
    return Outcome::Accepted;
}

}  // namespace tflux::fuzz
