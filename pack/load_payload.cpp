#include "pack/load_payload.h"

#include "payload/builtin_payload.h"
#include "payload/container.h"
#include "rom/errors.h"
#include "rom/file.h"
#include "rom/game.h"

namespace tflux {

std::vector<std::uint8_t> BuildPackWithOwnUpdater(const PackSource& pack) {
    const auto builtIn = BuiltInPayload();
    const auto entries = LocatePayloadEntries(builtIn, builtIn.size());
    return BuildPackContainer(builtIn.subspan(entries[0].offset, entries[0].length), pack);
}

LoadedPayload LoadPayload(const std::optional<std::filesystem::path>& path) {
    LoadedPayload loaded;
    if (!path) {
        const auto builtIn = BuiltInPayload();
        loaded.container.assign(builtIn.begin(), builtIn.end());
        return loaded;
    }
    if (Examine(*path) == FileKind::Folder) {
        PackSource pack = LoadPackSource(*path);
        loaded.kind = PayloadKind::PackSource;
        loaded.container = BuildPackWithOwnUpdater(pack);
        loaded.warnings = std::move(pack.warnings);
        loaded.files = std::move(pack.files);
        return loaded;
    }
    const std::string bytes = ReadWholeFile(*path, kMaxPayloadFile);
    loaded.kind = PayloadKind::Container;
    loaded.files = {*path};
    loaded.container.assign(bytes.begin(), bytes.end());
    return loaded;
}

std::vector<PackEntry> ReadPackTracks(std::span<const std::uint8_t> container) {
    const auto entries = LocatePayloadEntries(container, container.size());
    std::vector<PackEntry> tracks(kTrackCount);
    for (int entry = 1; entry < kPayloadEntries; ++entry) {
        const PayloadEntry& e = entries[static_cast<std::size_t>(entry)];
        PackEntry& t = tracks[static_cast<std::size_t>(TrackOfEntry(entry) - 1)];
        t.track = TrackOfEntry(entry);
        try {
            t.record = ReadTrackRecord(container.subspan(e.offset, e.length));
        } catch (const EngineError& error) {
            throw error.Within("entry " + std::to_string(entry) + ": ");
        }
        t.course = DecodeCourse(t.record.block);
    }
    return tracks;
}

}  // namespace tflux
