// Build-time tool: compiles the readable track pack (or takes 24 finished record files), puts
// the checksum updater beside them as entry 0 and packs the payload container.

#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "payload/container.h"
#include "payload/track_record.h"
#include "rom/errors.h"
#include "rom/file.h"
#include "tools/trackpack.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kUsage =
    "usage: tflux-krn-mkpayload (--tracks FILE.json | --track-dir DIR) --updater PATH\n"
    "                           --work DIR --output PATH\n"
    "\n"
    "  --tracks FILE.json  compile the 24 tracks of a readable track pack\n"
    "  --track-dir DIR     take DIR/1.dat .. DIR/24.dat as they are (2109 bytes each)\n"
    "  --updater PATH      the checksum updater, packed as entry 0\n"
    "  --work DIR          where 0.dat .. 24.dat are assembled\n"
    "  --output PATH       the payload container to write\n";

struct UsageError {
    std::string message;
};

struct Options {
    std::optional<fs::path> tracks;
    std::optional<fs::path> trackDir;
    fs::path updater;
    fs::path work;
    fs::path output;
};

Options ParseArguments(const std::vector<std::string_view>& args) {
    Options options;
    std::optional<fs::path> updater, work, output;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        std::string_view value;
        bool inlineValue = false;
        if (const auto eq = arg.find('='); arg.starts_with("--") && eq != arg.npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            inlineValue = true;
        }
        std::optional<fs::path>* target = nullptr;
        if (arg == "--tracks") {
            target = &options.tracks;
        } else if (arg == "--track-dir") {
            target = &options.trackDir;
        } else if (arg == "--updater") {
            target = &updater;
        } else if (arg == "--work") {
            target = &work;
        } else if (arg == "--output") {
            target = &output;
        } else {
            throw UsageError{"unknown argument \"" + std::string(args[i]) + "\""};
        }
        if (!inlineValue) {
            if (i + 1 >= args.size()) {
                throw UsageError{std::string(arg) + " needs a value"};
            }
            value = args[++i];
        }
        if (value.empty()) {
            throw UsageError{std::string(arg) + " needs a value"};
        }
        if (*target) {
            throw UsageError{std::string(arg) + " is given twice"};
        }
        *target = fs::path(value);
    }
    if (options.tracks.has_value() == options.trackDir.has_value()) {
        throw UsageError{"give exactly one of --tracks and --track-dir"};
    }
    if (!updater || !work || !output) {
        throw UsageError{"--updater, --work and --output are all needed"};
    }
    options.updater = *updater;
    options.work = *work;
    options.output = *output;
    return options;
}

void MakeDirectory(const fs::path& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        throw tflux::EngineError("cannot create the directory " + dir.string() + ": " +
                                 ec.message());
    }
}

// Written from scratch: binary writes never truncate, and a stale longer file would keep its
// tail.
void WriteFresh(const fs::path& path, std::span<const std::uint8_t> bytes) {
    tflux::RemoveFile(path);
    tflux::File file = tflux::File::Open(path, tflux::OpenMode::CreateExclusive);
    file.WriteAt(0, bytes);
    file.Close();
}

std::vector<std::vector<std::uint8_t>> CompileTracks(const fs::path& packPath) {
    const tflux::TrackPack pack = tflux::LoadTrackPack(packPath);
    for (const std::string& warning : pack.warnings) {
        std::cerr << "tflux-krn-mkpayload: warning: " << warning << '\n';
    }
    std::vector<std::vector<std::uint8_t>> records;
    for (const tflux::TrackSource& track : pack.tracks) {
        records.push_back(tflux::CompileTrackRecord(track));
    }
    const tflux::PoolUsage& u = pack.usage;
    std::cout << "tflux-krn-mkpayload: " << packPath.string() << ": names " << u.nameBytes << "/"
              << tflux::kNamePoolBudget << " bytes, subtitles " << u.subtitleBytes << "/"
              << tflux::kSubtitlePoolBudget << " bytes, parameter entries " << u.paramEntries << "/"
              << tflux::kParamPoolEntries << '\n';
    return records;
}

// All 24 are read and measured before anything is written, so a wrong directory leaves the
// work directory as it was.
std::vector<std::vector<std::uint8_t>> ReadTrackDir(const fs::path& dir) {
    std::vector<std::vector<std::uint8_t>> records;
    std::string wrong;
    for (int entry = 1; entry <= tflux::kTrackCount; ++entry) {
        const fs::path path = dir / (std::to_string(entry) + ".dat");
        tflux::File file = tflux::File::Open(path, tflux::OpenMode::Read);
        const std::uint64_t size = file.Size();
        if (size != tflux::kTrackRecordSize) {
            wrong += (wrong.empty() ? "" : "\n") + path.string() + " is " + std::to_string(size) +
                     " bytes; a track record file is exactly " +
                     std::to_string(tflux::kTrackRecordSize) + " bytes";
            continue;
        }
        std::vector<std::uint8_t> record(tflux::kTrackRecordSize);
        file.ReadAt(0, record);
        file.Close();
        records.push_back(std::move(record));
    }
    if (!wrong.empty()) {
        throw tflux::EngineError(wrong);
    }
    return records;
}

void Run(const Options& options) {
    // A failed run must leave no container behind, or the build could take it as current.
    tflux::RemoveFile(options.output);
    const auto records =
        options.tracks ? CompileTracks(*options.tracks) : ReadTrackDir(*options.trackDir);

    MakeDirectory(options.work);
    if (options.output.has_parent_path()) {
        MakeDirectory(options.output.parent_path());
    }

    {
        tflux::File updater = tflux::File::Open(options.updater, tflux::OpenMode::Read);
        if (updater.Size() == 0) {
            throw tflux::EngineError(options.updater.string() + " is empty");
        }
        const fs::path copy = options.work / "0.dat";
        tflux::RemoveFile(copy);
        tflux::File to = tflux::File::Open(copy, tflux::OpenMode::CreateExclusive);
        tflux::CopyFileContents(updater, to);
        to.Close();
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
        WriteFresh(options.work / (std::to_string(i + 1) + ".dat"), records[i]);
    }

    tflux::PackPayload(options.work, options.output);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::cout << kUsage;
        return 0;
    }
    try {
        Run(ParseArguments(args));
        return 0;
    } catch (const UsageError& e) {
        std::cerr << "tflux-krn-mkpayload: " << e.message << "\n\n" << kUsage;
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "tflux-krn-mkpayload: " << e.what() << '\n';
        return 1;
    }
}
