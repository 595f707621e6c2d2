#include "pack/load_payload.h"

#include "payload/builtin_payload.h"
#include "payload/container.h"
#include "rom/file.h"

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
        return loaded;
    }
    const std::string bytes = ReadWholeFile(*path, kMaxPayloadFile);
    loaded.kind = PayloadKind::Container;
    loaded.container.assign(bytes.begin(), bytes.end());
    return loaded;
}

}  // namespace tflux
