#include "romtables/image_tracks.h"

#include <algorithm>

#include "rom/byteorder.h"
#include "rom/errors.h"
#include "rom/game.h"
#include "rom/identify.h"
#include "rom/text.h"
#include "romtables/regions.h"
#include "romtables/romtables.h"

namespace tflux {

namespace {

// The released game, and an image this tool has patched: both hold the same tables.
constexpr std::array<InternalName, 2> kKnownNames = {kGameNameZ64, kPatchedNameZ64};

void CheckFits(const std::string& text, std::size_t width, const char* what, int track) {
    if (text.size() > width) {
        throw EngineError("track " + std::to_string(track) + "'s " + what + " \"" + text +
                          "\" is " + Thousands(text.size()) + " bytes; a track record holds " +
                          std::to_string(width));
    }
}

}  // namespace

std::array<TrackRecord, kTrackCount> ReadImageTracks(const std::string& path, IoHook* hook) {
    RomState state;
    state.Io = hook;
    state.RomFile = File::Open(PathFromText(path), OpenMode::Read, Links::Follow, hook);
    const File::Stamp stamp = state.RomFile.Examine();
    const std::uint64_t size = stamp.size;
    if (size != kRomSize) {
        throw EngineError(path + " is " + Thousands(size) + " bytes, not an image of " +
                          Thousands(kRomSize));
    }
    std::array<std::uint8_t, 0x40> header{};
    state.RomFile.ReadAt(0, header);
    // The content decides the order, whatever the file's name says.
    const auto nameIs = [&](ImageOrder order) {
        std::array<std::uint8_t, 0x40> z64 = header;
        ToZ64(z64, order);
        const std::string_view name(reinterpret_cast<const char*>(z64.data()) + kInternalNameOffset,
                                    kInternalNameSize);
        return std::any_of(kKnownNames.begin(), kKnownNames.end(),
                           [name](const InternalName& known) { return NameText(known) == name; });
    };
    const auto order = std::find_if(kImageOrders.begin(), kImageOrders.end(), nameIs);
    if (order != kImageOrders.end()) {
        state.SetOrder(*order);
    } else {
        throw EngineError(path + " is not an image of T-Flux X: its internal name is neither \"" +
                          std::string(TrimmedName(NameText(kGameNameZ64))) + "\" nor \"" +
                          std::string(TrimmedName(NameText(kPatchedNameZ64))) + "\"");
    }
    state.RegionCode = std::string(1, char(header[RegionOffset(state.Order())]));
    const auto layout = LayoutFor(state.RegionCode);
    if (!layout) {
        throw EngineError(path + " has the region letter '" + state.RegionCode +
                          "', which is none of E, J and P");
    }
    ReadRomTables(state);

    std::array<TrackRecord, kTrackCount> tracks;
    for (int track = 1; track <= kTrackCount; ++track) {
        const auto i = static_cast<std::size_t>(track - 1);
        TrackRecord& record = tracks[i];
        record.name = state.TrackNames[i];
        record.subtitle = state.TrackSubtitles[i];
        CheckFits(record.name, kRecordNameSize, "name", track);
        CheckFits(record.subtitle, kRecordSubtitleSize, "subtitle", track);
        record.attribute = state.TrackAttrs[i];
        const TrackParamSet& params = state.TrackParams[i];
        for (std::size_t k = 0; k < std::min<std::size_t>(params.Count, kRecordParamSlots); ++k) {
            record.params.emplace_back(params.Codes[k], params.Values[k]);
        }
        const std::uint64_t offset = layout->courseBase + std::uint64_t(i) * kTrackBlockSize;
        state.RomFile.ReadAt(offset, record.block);
        ConvertBlock(record.block, offset, state.Order());
    }
    // Tables and blocks read from a file rewritten meanwhile could belong to two images.
    try {
        state.RomFile.ExpectUnchanged(stamp);
    } catch (const EngineError& e) {
        throw e.Within(path + ": ");
    }
    return tracks;
}

}  // namespace tflux
