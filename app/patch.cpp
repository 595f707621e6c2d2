#include "app/patch.h"

#include <array>
#include <cstring>
#include <random>
#include <span>
#include <string_view>
#include <vector>

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

constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
constexpr std::string_view kPendingPrefix = ".tflux-krn-";
constexpr std::string_view kPendingSuffix = ".tmp";
constexpr std::size_t kPendingRandom = 8;

// The names CreateUniqueFile gives, and no others.
bool IsPendingName(const std::string& name) {
    if (name.size() != kPendingPrefix.size() + kPendingRandom + kPendingSuffix.size() ||
        !name.starts_with(kPendingPrefix) || !name.ends_with(kPendingSuffix)) {
        return false;
    }
    const std::string_view random(name.data() + kPendingPrefix.size(), kPendingRandom);
    return random.find_first_not_of(kDigits) == std::string_view::npos;
}

// A new, uniquely named file in `dir`; hidden, so a file manager does not show a half-made image.
// The name does not grow with the output's, which may already be as long as names can be.
File CreateUniqueFile(const fs::path& dir, IoHook* hook, fs::path& created) {
    std::random_device entropy;
    for (int attempt = 0;; ++attempt) {
        std::string name(kPendingPrefix);
        for (std::size_t i = 0; i < kPendingRandom; ++i) {
            name += kDigits[entropy() % (sizeof kDigits - 1)];
        }
        name += kPendingSuffix;
        const fs::path candidate = dir / name;
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
// When even the removal fails, `leftover` says so, since the file then stays.
class PendingOutput {
  public:
    PendingOutput(const fs::path& output, IoHook* hook, std::string& leftover)
        : hook_(hook), leftover_(leftover) {
        file_ = CreateUniqueFile(ParentOf(output), hook, path_);
    }
    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;
    ~PendingOutput() {
        if (!committed_) {
            try {
                file_ = File();
                RemoveFile(path_, hook_);
            } catch (const std::exception& e) {
                leftover_ = e.what();
            }
        }
    }
    // Marks the file as this run's for as long as the run lives (see RemoveAbandonedFiles).
    void Hold() {
        lock_ = File::Open(path_, OpenMode::Read, Links::NoFollow, hook_);
        if (TryLockFile(lock_) == FileLock::InUse) {
            throw EngineError("cannot lock " + path_.string() + ": another run is removing it");
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
    std::string& leftover_;
    File lock_;
    File file_;
    fs::path path_;
    bool committed_ = false;
};

// A killed run leaves its unfinished file behind. A live run holds a lock on its own, so one
// that nobody holds is abandoned, and the next run into the same folder removes it. The files
// the user named are never taken for one, whatever they are called.
void RemoveAbandonedFiles(const fs::path& output, const fs::path& input, IoHook* hook) {
    std::vector<fs::path> candidates;
    std::error_code ec;
    for (fs::directory_iterator it(ParentOf(output), ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code same;
        if (IsPendingName(it->path().filename().string()) &&
            !fs::equivalent(it->path(), output, same) && !fs::equivalent(it->path(), input, same)) {
            candidates.push_back(it->path());
        }
    }
    for (const fs::path& candidate : candidates) {
        try {
            const File file = File::Open(candidate, OpenMode::Read, Links::NoFollow, hook);
            if (TryLockFile(file) == FileLock::Taken) {
                RemoveFile(candidate, hook);
            }
        } catch (const EngineError&) {
            // Not a regular file, or not removable: left as it is; the patch goes on.
        }
    }
}

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

// Whether the file at `path`, links followed, would sit directly in `dir`.
bool InFolder(const std::string& path, const fs::path& dir) {
    std::error_code ec;
    const fs::path resolved = fs::weakly_canonical(path, ec);
    return !ec && fs::equivalent(ParentOf(resolved), dir, ec);
}

PatchResult Refusal(std::string message, std::string cause) {
    return {PatchOutcome::Refused, std::move(message), std::move(cause), false};
}

std::string TempFolderCause(const std::string& path, const std::string& dir) {
    return path + " is in " + dir + ", which every patch empties";
}

// Why a new file cannot be made in `dir`, or "" when it can.
std::string FolderCause(const fs::path& dir, IoHook* hook) {
    if (CanCreateFileIn(dir, hook)) {
        return "";
    }
    std::error_code ec;
    const fs::file_status status = fs::status(dir, ec);
    if (ec) {
        return dir.string() + ": " + ec.message();
    }
    if (!fs::is_directory(status)) {
        return dir.string() + " is not a folder";
    }
    return "cannot create a file in " + dir.string() + ": Permission denied";
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

PatchResult RunPatch(RomState& state, const PatchRequest& request, std::string& leftover) {
    std::string dir = TempPath();
    if (dir.empty() || dir.back() != fs::path::preferred_separator) {
        dir += fs::path::preferred_separator;
    }
    // Runs sharing the folder take turns: each extracts, reads and removes the same names.
    const DirectoryLock turn(dir, state.Io);
    // So every run rewrites and removes files there: one the user keeps there would be lost.
    if (InFolder(request.inputPath, dir)) {
        return Refusal(kMsgInvalidInput, TempFolderCause(request.inputPath, dir));
    }
    if (InFolder(request.outputPath, dir)) {
        return Refusal(kMsgInvalidOutput, TempFolderCause(request.outputPath, dir));
    }
    ExtractPayload(dir, request.container, state.Io);

    std::string cause;
    if (std::string message = CheckFile(request.inputPath, request.outputPath, state.Io, &cause);
        !message.empty()) {
        return Refusal(std::move(message), std::move(cause));
    }
    const fs::path output = ResolveOutput(request.outputPath);
    if (SameFile(request.inputPath, output)) {
        return Refusal(kMsgOutputIsInput,
                       request.outputPath + " and " + request.inputPath + " are one file");
    }
    if (const std::int16_t code = IdentifyRom(state, request.inputPath, &cause); code != kRomOk) {
        CloseRom(state);
        return Refusal(RomCheckMessage(code), std::move(cause));
    }
    // Only a look: an output that cannot be read is replaced as any other file is.
    if (!request.replaceGameImage && IsUnpatchedImage(output.string())) {
        CloseRom(state);
        PatchResult refusal =
            Refusal(kMsgInvalidOutput, request.outputPath + " is an unpatched image of T-Flux X");
        refusal.outputIsGameImage = true;
        return refusal;
    }
    ReadRomTables(state);

    // The copy is taken from the handle that was identified, so the image checked is the one
    // patched even if the path changes meanwhile.
    File input = std::move(state.RomFile);
    RemoveAbandonedFiles(output, request.inputPath, state.Io);
    PendingOutput pending(output, state.Io, leftover);
    pending.Hold();
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

std::string CheckFile(const std::string& inputPath, const std::string& outputPath, IoHook* hook,
                      std::string* cause) {
    std::string why = UnreadableCause(inputPath, hook);
    const auto refuse = [&](const char* message) {
        if (cause != nullptr) {
            *cause = std::move(why);
        }
        return std::string(message);
    };
    if (!why.empty()) {
        return refuse(kMsgInvalidInput);
    }
    try {
        if (outputPath.empty()) {
            why = "no output file was named";
            return refuse(kMsgInvalidOutput);
        }
        const fs::path output = ResolveOutput(outputPath);
        std::error_code ec;
        const fs::file_status status = fs::status(output, ec);
        // A name too long, a link loop: the rename into place would fail after all the work.
        if (ec && status.type() != fs::file_type::not_found) {
            why = outputPath + ": " + ec.message();
            return refuse(kMsgInvalidOutput);
        }
        if (fs::exists(status)) {
            if (!fs::is_regular_file(status)) {
                why = outputPath + (fs::is_directory(status) ? " is a folder" : " is not a file");
                return refuse(kMsgInvalidOutput);
            }
            // Opening for writing proves the file may be replaced, without changing a byte.
            File existing = File::Open(output, OpenMode::Write, Links::Follow, hook);
        }
        // The patched image is assembled beside the output, so its folder must take a new file.
        // Asking is enough: a scratch file there could itself be left behind.
        why = FolderCause(ParentOf(output), hook);
        if (!why.empty()) {
            return refuse(kMsgInvalidOutput);
        }
    } catch (const std::exception& e) {
        why = e.what();
        return refuse(kMsgInvalidOutput);
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
    std::string leftover;
    try {
        return RunPatch(state, request, leftover);
    } catch (const std::exception& e) {
        CloseRom(state);
        std::string cause = e.what();
        if (!leftover.empty()) {
            cause += "\n" + leftover;
        }
        return {PatchOutcome::Failed, std::string(kMsgUnknown1) + "\n" + kMsgUnknown2, cause};
    }
}

}  // namespace tflux
