#include "app/patch.h"

#include <array>
#include <cstring>
#include <random>
#include <span>

#include "payload/container.h"
#include "payload/track_record.h"
#include "rom/byteorder.h"
#include "rom/checksum.h"
#include "rom/errors.h"
#include "rom/identify.h"
#include "romtables/regions.h"
#include "romtables/romtables.h"

namespace tflux {

namespace fs = std::filesystem;

namespace {

fs::path ParentOf(const fs::path& path) {
    const fs::path parent = path.parent_path();
    return parent.empty() ? fs::path(".") : parent;
}

// A new, uniquely named file in `dir`; hidden, so a file manager does not show a half-made image.
// The name does not grow with the output's, which may already be as long as names can be.
File CreateUniqueFile(const fs::path& dir, IoHook* hook, fs::path& created) {
    std::random_device entropy;
    for (int attempt = 0;; ++attempt) {
        static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
        std::string suffix;
        for (int i = 0; i < 8; ++i) {
            suffix += kDigits[entropy() % (sizeof kDigits - 1)];
        }
        const fs::path candidate = dir / (".tflux-krn-" + suffix + ".tmp");
        try {
            File file = File::Open(candidate, OpenMode::CreateExclusive, Links::NoFollow, hook);
            created = candidate;
            return file;
        } catch (const EngineError&) {
            std::error_code ec;
            if (attempt >= 16 || !fs::exists(fs::symlink_status(candidate, ec))) {
                throw;
            }
        }
    }
}

// The file the patch assembles beside the output; removed unless it was renamed into place.
class PendingOutput {
  public:
    PendingOutput(const fs::path& output, IoHook* hook) : hook_(hook) {
        file_ = CreateUniqueFile(ParentOf(output), hook, path_);
    }
    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;
    ~PendingOutput() {
        if (!committed_) {
            try {
                file_ = File();
                RemoveFile(path_, nullptr);
            } catch (const std::exception&) {
                // Nothing more can be done; the caller already reports the failure.
            }
        }
    }
    File& file() { return file_; }
    const fs::path& path() const { return path_; }
    void Commit(const fs::path& output) {
        RenameFile(path_, output, hook_);
        committed_ = true;
    }

  private:
    IoHook* hook_;
    File file_;
    fs::path path_;
    bool committed_ = false;
};

// A link at the output path stands for the file it points to: that file is replaced.
fs::path ResolveOutput(const std::string& outputPath) {
    std::error_code ec;
    if (fs::is_symlink(fs::symlink_status(outputPath, ec))) {
        const fs::path target = fs::weakly_canonical(outputPath, ec);
        if (!ec) {
            return target;
        }
    }
    return outputPath;
}

bool SameFile(const std::string& input, const fs::path& output) {
    std::error_code ec;
    return fs::exists(output, ec) && fs::equivalent(input, output, ec);
}

PatchResult Refusal(std::string message) {
    return {PatchOutcome::Refused, std::move(message), ""};
}

void WriteCourseBlocks(RomState& state, const std::string& dir, std::uint32_t courseBase) {
    for (int track = 1; track <= kTrackCount; ++track) {
        const fs::path record = dir + std::to_string(track) + ".dat";
        File file = File::Open(record, OpenMode::Read, Links::NoFollow, state.Io);
        LoadDat(state, file, 1, track);
        if (state.IsByteSwapped) {
            SwapPairs(state.TrackBlock, kTrackBlockSize);
        }
        state.RomFile.WriteAt(courseBase + static_cast<std::uint64_t>(track - 1) * kTrackBlockSize,
                              state.TrackBlock);
        file.Close();
        RemoveFile(record, state.Io);
    }
}

void WriteInternalName(RomState& state) {
    std::array<std::uint8_t, kInternalNameSize> name{};
    std::memcpy(name.data(), kNewInternalName, name.size());
    if (state.IsByteSwapped) {
        SwapPairs(name, name.size());
    }
    state.RomFile.WriteAt(kInternalNameOffset, name);
}

PatchResult RunPatch(RomState& state, const PatchRequest& request) {
    std::string dir = TempPath();
    if (dir.empty() || dir.back() != fs::path::preferred_separator) {
        dir += fs::path::preferred_separator;
    }
    ExtractPayload(
        dir, request.payload ? std::span<const std::uint8_t>(*request.payload) : BuiltInPayload(),
        state.Io);

    if (std::string message = CheckFile(request.inputPath, request.outputPath, state.Io);
        !message.empty()) {
        return Refusal(std::move(message));
    }
    const fs::path output = ResolveOutput(request.outputPath);
    if (SameFile(request.inputPath, output)) {
        return Refusal(kMsgOutputIsInput);
    }
    if (const std::int16_t code = IdentifyRom(state, request.inputPath); code != kRomOk) {
        CloseRom(state);
        return Refusal(RomCheckMessage(code));
    }
    ReadRomTables(state);

    // The copy is taken from the handle that was identified, so the image checked is the one
    // patched even if the path changes meanwhile.
    File input = std::move(state.RomFile);
    PendingOutput pending(output, state.Io);
    CopyPermissions(output, pending.file());  // a replaced output keeps them
    CopyFileContents(input, pending.file());
    input.Close();
    pending.file().Close();
    OpenRomOutput(state, pending.path());

    const RegionLayout layout = LayoutFor(state.RegionCode).value();
    WriteCourseBlocks(state, dir, layout.courseBase);
    WriteRomTables(state);
    WriteInternalName(state);
    UpdateChecksum(state.RomFile, state.IsByteSwapped ? ImageOrder::V64 : ImageOrder::Z64);
    state.RomFile.Sync();
    state.RomFile.Close();
    pending.Commit(output);
    try {
        SyncDirectory(ParentOf(output), state.Io);
    } catch (const EngineError&) {
        // The complete image is in place; some file systems cannot flush a folder.
    }
    return {PatchOutcome::Success, kMsgSuccess, ""};
}

}  // namespace

std::string CheckFile(const std::string& inputPath, const std::string& outputPath, IoHook* hook) {
    if (!CanOpenForReading(inputPath, hook)) {
        return kMsgInvalidInput;
    }
    try {
        if (outputPath.empty()) {
            return kMsgInvalidOutput;
        }
        const fs::path output = ResolveOutput(outputPath);
        std::error_code ec;
        const fs::file_status status = fs::status(output, ec);
        if (fs::exists(status)) {
            if (!fs::is_regular_file(status)) {
                return kMsgInvalidOutput;
            }
            // Opening for writing proves the file may be replaced, without changing a byte.
            File existing = File::Open(output, OpenMode::Write, Links::Follow, hook);
        }
        // The patched image is assembled beside the output, so its folder must take a new file.
        // Asking is enough: a scratch file there could itself be left behind.
        if (!CanCreateFileIn(ParentOf(output), hook)) {
            return kMsgInvalidOutput;
        }
    } catch (const std::exception&) {
        return kMsgInvalidOutput;
    }
    return "";
}

std::string DeriveOutputPath(const std::string& inputPath) {
    std::size_t nameStart = inputPath.find_last_of("/");
#if defined(_WIN32)
    nameStart = inputPath.find_last_of("/\\");
#endif
    nameStart = nameStart == std::string::npos ? 0 : nameStart + 1;
    const std::size_t dot = inputPath.rfind('.');
    if (dot == std::string::npos || dot < nameStart) {
        return inputPath + "_krn";
    }
    return inputPath.substr(0, dot) + "_krn" + inputPath.substr(dot);
}

PatchResult PatchRom(RomState& state, const PatchRequest& request) {
    try {
        return RunPatch(state, request);
    } catch (const std::exception& e) {
        CloseRom(state);
        return {PatchOutcome::Failed, std::string(kMsgUnknown1) + "\n" + kMsgUnknown2, e.what()};
    }
}

}  // namespace tflux
