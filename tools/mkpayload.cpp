// Build-time tool: compiles a pack source folder (or takes 24 finished record files), puts the
// checksum updater beside them as entry 0 and writes the payload container.

#include <CLI/CLI.hpp>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "pack/pack_source.h"
#include "payload/container.h"
#include "payload/track_record.h"
#include "rom/errors.h"
#include "rom/exit_status.h"
#include "rom/file.h"
#include "rom/text.h"

namespace fs = std::filesystem;

namespace {

// The updater is a few hundred kilobytes; anything far larger is the wrong file.
constexpr std::size_t kMaxUpdater = 64u << 20;

std::vector<std::vector<std::uint8_t>> CompileSource(const fs::path& dir) {
    const tflux::PackSource pack = tflux::LoadPackSource(dir);
    for (const std::string& warning : pack.warnings) {
        std::cerr << "tflux-krn-mkpayload: warning: " << warning << '\n';
    }
    const tflux::PoolUsage& u = pack.usage;
    std::cout << "tflux-krn-mkpayload: " << tflux::PathText(dir) << ": names " << u.nameBytes << "/"
              << tflux::kNamePoolBudget << " bytes, subtitles " << u.subtitleBytes << "/"
              << tflux::kSubtitlePoolBudget << " bytes, parameter entries " << u.paramEntries << "/"
              << tflux::kParamPoolEntries << '\n';
    return tflux::CompilePack(pack);
}

// All 24 are read and measured before anything is written.
std::vector<std::vector<std::uint8_t>> ReadTrackDir(const fs::path& dir) {
    std::vector<std::vector<std::uint8_t>> records;
    std::string wrong;
    for (int entry = 1; entry <= tflux::kTrackCount; ++entry) {
        const fs::path path = dir / (std::to_string(entry) + ".dat");
        const std::string bytes = tflux::ReadWholeFile(path, tflux::kTrackRecordSize + 1);
        if (bytes.size() != tflux::kTrackRecordSize) {
            wrong += (wrong.empty() ? "" : "\n") + tflux::PathText(path) + " is " +
                     tflux::Thousands(bytes.size()) + " bytes; a track record file is exactly " +
                     tflux::Thousands(tflux::kTrackRecordSize) + " bytes";
            continue;
        }
        records.emplace_back(bytes.begin(), bytes.end());
    }
    if (!wrong.empty()) {
        throw tflux::EngineError(wrong);
    }
    return records;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Packs the payload container: the checksum updater and 24 track records.",
                 "tflux-krn-mkpayload"};
    std::string pack, trackDir, updater, output;
    auto* packOption =
        app.add_option("--pack", pack, "Pack source folder (trackpack.json and its courses)");
    auto* dirOption =
        app.add_option("--track-dir", trackDir, "Folder of 1.dat .. 24.dat, taken as they are");
    packOption->excludes(dirOption);
    app.add_option("--updater", updater, "The checksum updater, packed as entry 0")->required();
    app.add_option("--output", output, "The container file to write")->required();
    try {
        app.parse(argc, argv);
        if (pack.empty() == trackDir.empty()) {
            throw CLI::ValidationError("give one of --pack and --track-dir");
        }
    } catch (const CLI::ParseError& e) {
        return tflux::ParseErrorExit(app, e);
    }
    try {
        // A failed run must leave no container behind, or the build could take it as current.
        tflux::RemoveFile(output);
        std::vector<std::vector<std::uint8_t>> entries;
        const std::string program = tflux::ReadWholeFile(updater, kMaxUpdater);
        if (program.empty()) {
            throw tflux::EngineError(updater + " is empty");
        }
        entries.emplace_back(program.begin(), program.end());
        for (auto& record : pack.empty() ? ReadTrackDir(trackDir) : CompileSource(pack)) {
            entries.push_back(std::move(record));
        }
        const fs::path out(output);
        if (out.has_parent_path()) {
            tflux::CreateDirectories(out.parent_path());
        }
        tflux::WriteFileWhole(out, tflux::PackContainer(entries));
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "tflux-krn-mkpayload: " << e.what() << '\n';
        return 1;
    }
}
