#include "app/patch.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "payload/container.h"
#include "payload/track_record.h"
#include "rom/byteorder.h"
#include "rom/checksum.h"
#include "rom/errors.h"
#include "rom/game.h"
#include "rom/identify.h"
#include "rom/replacement.h"
#include "rom/text.h"
#include "romtables/regions.h"
#include "romtables/romtables.h"

namespace tflux {

namespace fs = std::filesystem;

namespace {

// A link at the output path stands for the file it points to: that file is replaced.
fs::path ResolveOutput(const std::string& outputPath, IoHook* hook) {
    const fs::path output = PathFromText(outputPath);
    if (Examine(output, Links::NoFollow, hook) == FileKind::Link) {
        return ResolveLinks(output, hook);
    }
    return output;
}

// Why the file at `path`, links followed, may not be used because it would sit directly in
// `dir`, which every patch empties; "" when it would not. A path that cannot even be resolved
// cannot be shown to be elsewhere, so that is a reason too.
std::string TempFolderCause(const std::string& path, const Folder& temp) {
    try {
        if (temp.Is(FolderOf(ResolveLinks(PathFromText(path), temp.Hook())))) {
            return path + " is in " + PathText(temp.Path()) + ", which every patch empties";
        }
    } catch (const EngineError& e) {
        return e.what();
    }
    return "";
}

PatchResult Refusal(std::string message, std::string cause) {
    PatchResult refusal;
    refusal.outcome = PatchOutcome::Refused;
    refusal.message = std::move(message);
    refusal.cause = std::move(cause);
    return refusal;
}

// Why a new file cannot be made in `dir`, or "" when it can.
std::string FolderCause(const fs::path& dir, IoHook* hook) {
    if (CanCreateFileIn(dir, hook)) {
        return "";
    }
    std::error_code missing;
    const FileKind kind = Examine(dir, Links::Follow, hook, &missing);
    if (kind == FileKind::None) {
        return PathText(dir) + ": " + missing.message();
    }
    if (kind != FileKind::Folder) {
        return PathText(dir) + " is not a folder";
    }
    return "cannot create a file in " + PathText(dir) + ": Permission denied";
}

void WriteCourseBlocks(RomState& state, const Folder& temp, std::uint32_t courseBase) {
    for (int track = 1; track <= kTrackCount; ++track) {
        const std::string record = std::to_string(track) + ".dat";
        File file = temp.OpenFile(record, OpenMode::Read);
        LoadDat(state, file, 1, track);
        const std::uint64_t offset =
            courseBase + static_cast<std::uint64_t>(track - 1) * kTrackBlockSize;
        ConvertBlock(state.TrackBlock, offset, state.Order());
        state.RomFile.WriteAt(offset, state.TrackBlock);
        file.Close();
        temp.Remove(record);
    }
}

void WriteInternalName(RomState& state) {
    std::array<std::uint8_t, kInternalNameSize> name{};
    std::memcpy(name.data(), kPatchedNameZ64.data(), name.size());
    ConvertBlock(name, kInternalNameOffset, state.Order());
    state.RomFile.WriteAt(kInternalNameOffset, name);
}

// Every run rewrites and removes files in the temporary folder: one the user keeps there would
// be lost.
std::optional<PatchResult> RefuseFilesInTempFolder(const PatchRequest& request,
                                                   const Folder& temp) {
    if (std::string why = TempFolderCause(request.inputPath, temp); !why.empty()) {
        return Refusal(kMsgInvalidInput, std::move(why));
    }
    if (std::string why = TempFolderCause(request.outputPath, temp); !why.empty()) {
        return Refusal(kMsgInvalidOutput, std::move(why));
    }
    return std::nullopt;
}

// The checks of the two files, up to the identified input left open in state.RomFile; `output`
// is the file the output path stands for.
std::optional<PatchResult> RefuseFiles(RomState& state, const PatchRequest& request,
                                       fs::path& output) {
    std::string cause;
    if (std::string message = CheckFile(request.inputPath, request.outputPath, state.Io, &cause);
        !message.empty()) {
        return Refusal(std::move(message), std::move(cause));
    }
    output = ResolveOutput(request.outputPath, state.Io);
    if (SameFile(PathFromText(request.inputPath), output, state.Io)) {
        return Refusal(kMsgOutputIsInput,
                       request.outputPath + " and " + request.inputPath + " are one file");
    }
    if (const RomCheckCode code = IdentifyRom(state, request.inputPath, &cause); code != kRomOk) {
        CloseRom(state);
        return Refusal(RomCheckMessage(code), std::move(cause));
    }
    // An output that is not there or may not be read is replaced as any other file is; one
    // whose reading fails fails the patch here, before anything is written.
    if (request.keepForeignOutput && !request.replaceForeignOutput) {
        if (ClassifyOutput(PathText(output), state.Io) == ExistingOutput::Foreign) {
            CloseRom(state);
            PatchResult refusal =
                Refusal(kMsgInvalidOutput,
                        request.outputPath + " already exists and is not a T-Flux KRN image");
            refusal.outputIsForeign = true;
            return refusal;
        }
    }
    if (!request.replaceGameImage && IsUnpatchedImage(PathText(output), state.Io)) {
        CloseRom(state);
        PatchResult refusal =
            Refusal(kMsgInvalidOutput, request.outputPath + " is an unpatched image of T-Flux X");
        refusal.outputIsGameImage = true;
        return refusal;
    }
    return std::nullopt;
}

// The copy is taken from the handle that was identified, and exactly the image's size of it, so
// the image checked is the one patched even if the path changes meanwhile; one that is cut
// short or rewritten meanwhile fails the patch.
void CopyInput(RomState& state, const File::Stamp& identified, FileReplacement& pending) {
    File input = std::move(state.RomFile);
    const std::uint64_t copied = CopyFileHead(input, pending.file(), kRomSize);
    input.ExpectUnchanged(identified, copied == kRomSize);
    input.Close();
    pending.file().Close();
    OpenRomOutput(state, pending.path());
}

// The tracks, the tables, the name and the checksums, into the copy in state.RomFile, which is
// flushed and closed: its data is on disk before it is renamed into place.
void WritePatch(RomState& state, const Folder& temp) {
    const RegionLayout layout = LayoutFor(state.RegionCode).value();
    WriteCourseBlocks(state, temp, layout.courseBase);
    WriteRomTables(state);
    WriteInternalName(state);
    UpdateChecksum(state.RomFile, state.Order());
    state.RomFile.Sync();
    state.RomFile.Close();
}

PatchResult Commit(FileReplacement& pending) {
    PatchResult done;
    done.outcome = PatchOutcome::Success;
    done.message = kMsgSuccess;
    if (const std::optional<EngineError> unflushed = pending.Commit()) {
        done.warning = unflushed->what();
        done.error = unflushed->Code();
    }
    return done;
}

PatchResult RunPatch(RomState& state, const PatchRequest& request, std::string& leftover) {
    const Folder temp = TempFolder(state.Io);
    // Runs sharing the folder take turns: each extracts, reads and removes the same names.
    const DirectoryLock turn(temp);
    if (std::optional<PatchResult> refusal = RefuseFilesInTempFolder(request, temp)) {
        return *refusal;
    }
    ExtractPayload(temp, request.container);
    fs::path output;
    if (std::optional<PatchResult> refusal = RefuseFiles(state, request, output)) {
        return *refusal;
    }
    ReadRomTables(state);
    // The files the user named are never taken for a killed run's, whatever they are called.
    const fs::path named[] = {output, PathFromText(request.inputPath)};
    RemoveAbandonedReplacements(FolderOf(output), named, state.Io);
    FileReplacement pending(output, state.Io, &leftover);
    CopyInput(state, state.RomStamp, pending);
    WritePatch(state, temp);
    return Commit(pending);
}

}  // namespace

namespace {

// The folder output is built beside its target and renamed into place, so the folder above it
// must take a new entry; when folders are to be made, the nearest one that exists must.
std::optional<OutputRefusal> CheckFolderParent(const std::string& outputPath, IoHook* hook) {
    const fs::path named = PathFromText(outputPath);
    const fs::path target = named.has_filename() ? named : named.parent_path();
    fs::path above = FolderOf(target);
    while (FolderOf(above) != above && Examine(above, Links::Follow, hook) == FileKind::None) {
        above = FolderOf(above);
    }
    if (std::string why = FolderCause(above, hook); !why.empty()) {
        return OutputRefusal{std::move(why)};
    }
    return std::nullopt;
}

std::optional<OutputRefusal> CheckFolderOutput(const std::string& outputPath, IoHook* hook) {
    std::error_code missing;
    const fs::path output = PathFromText(outputPath);
    switch (Examine(output, Links::Follow, hook, &missing)) {
        case FileKind::None:
            // Missing folders are made, but not below a file.
            if (missing && missing != std::errc::no_such_file_or_directory) {
                return OutputRefusal{outputPath + ": " + missing.message()};
            }
            return CheckFolderParent(outputPath, hook);
        case FileKind::Folder:
            // Replacing what a user keeps there, or mixing old files with new, would be worse
            // than asking for another folder.
            if (ListFolder(output, hook).empty()) {
                return CheckFolderParent(outputPath, hook);
            }
            return OutputRefusal{outputPath + " is a folder that already holds files"};
        default:
            return OutputRefusal{outputPath + " is not a folder"};
    }
}

std::optional<OutputRefusal> CheckFileOutput(const std::string& outputPath,
                                             std::span<const fs::path> inputs,
                                             bool replaceGameImage, IoHook* hook) {
    if (outputPath.empty()) {
        return OutputRefusal{"no output file was named"};
    }
    const fs::path output = ResolveOutput(outputPath, hook);
    // A name too long, a link loop: Examine throws, as the rename into place would fail after
    // all the work.
    const FileKind kind = Examine(output, Links::Follow, hook);
    if (kind == FileKind::Folder) {
        return OutputRefusal{outputPath + " is a folder"};
    }
    if (kind != FileKind::None && kind != FileKind::Regular) {
        return OutputRefusal{outputPath + " is not a file"};  // a device, a FIFO, a socket
    }
    for (const fs::path& input : inputs) {
        if (SameFile(input, output, hook)) {
            return OutputRefusal{outputPath + " is " + PathText(input) + ", which this reads"};
        }
    }
    if (kind == FileKind::Regular) {
        ExpectReplaceable(output, hook);
    }
    // The output is assembled beside its name, so its folder must take a new file. Asking is
    // enough: a scratch file there could itself be left behind.
    if (std::string why = FolderCause(FolderOf(output), hook); !why.empty()) {
        return OutputRefusal{std::move(why)};
    }
    if (!replaceGameImage && IsUnpatchedImage(PathText(output), hook)) {
        return OutputRefusal{outputPath + " is an unpatched image of T-Flux X", true};
    }
    return std::nullopt;
}

// Windows takes such a name for its device in every folder: the patch would write into the
// device, or fail at the rename after all the work.
std::optional<OutputRefusal> CheckDeviceName([[maybe_unused]] const std::string& outputPath) {
#ifdef _WIN32
    const fs::path named = PathFromText(outputPath);
    const fs::path last = named.has_filename() ? named.filename() : named.parent_path().filename();
    if (const std::string device = DeviceNamed(PathText(last)); !device.empty()) {
        return OutputRefusal{outputPath + " names the device " + device +
                             ", as it does in every folder and with any extension: choose "
                             "another name"};
    }
#endif
    return std::nullopt;
}

}  // namespace

std::optional<OutputRefusal> CheckOutput(const std::string& outputPath, OutputShape shape,
                                         std::span<const fs::path> inputs, bool replaceGameImage,
                                         IoHook* hook) {
    try {
        if (std::optional<OutputRefusal> device = CheckDeviceName(outputPath)) {
            return device;
        }
        return shape == OutputShape::Folder
                   ? CheckFolderOutput(outputPath, hook)
                   : CheckFileOutput(outputPath, inputs, replaceGameImage, hook);
    } catch (const std::exception& e) {
        // A name too long, a link loop, a file not ours: the write would fail after the work.
        return OutputRefusal{e.what()};
    }
}

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
    // Whether the output is an unpatched image is asked once the input is identified.
    if (std::optional<OutputRefusal> refusal =
            CheckOutput(outputPath, OutputShape::File, {}, true, hook)) {
        why = std::move(refusal->cause);
        return refuse(kMsgInvalidOutput);
    }
    return "";
}

ExistingOutput ClassifyOutput(const std::string& outputPath, IoHook* hook) {
    if (outputPath.empty() ||
        Examine(PathFromText(outputPath), Links::Follow, hook) != FileKind::Regular) {
        return ExistingOutput::None;
    }
    if (IsUnpatchedImage(outputPath, hook)) {
        return ExistingOutput::GameImage;
    }
    File file;
    try {
        file = File::Open(PathFromText(outputPath), OpenMode::Read, Links::Follow, hook);
    } catch (const EngineError& e) {
        // Nothing shows that a file this user may not read is an earlier output.
        if (e.Code() == std::errc::permission_denied ||
            e.Code() == std::errc::operation_not_permitted) {
            return ExistingOutput::Foreign;
        }
        throw;
    }
    if (file.Size() != kRomSize) {
        return ExistingOutput::Foreign;
    }
    std::array<std::uint8_t, kInternalNameSize> name{};
    file.ReadAt(kInternalNameOffset, name);
    file.Close();
    const std::string_view text(reinterpret_cast<const char*>(name.data()), name.size());
    const bool patched = std::any_of(
        kImageOrders.begin(), kImageOrders.end(),
        [&](ImageOrder order) { return text == NameText(StoredName(kPatchedNameZ64, order)); });
    return patched ? ExistingOutput::EarlierOutput : ExistingOutput::Foreign;
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

namespace {

// The image is in place by now: a failed read of it is worth a word, not a failed patch.
void AddHashes(const RomState& state, const PatchRequest& request, PatchResult& result) {
    try {
        result.hashes = HashImageFile(PathFromText(request.outputPath), state.Order(), state.Io);
    } catch (const std::exception& e) {
        result.warning += (result.warning.empty() ? "" : "\n") +
                          std::string("cannot hash the patched image: ") + e.what();
    }
}

}  // namespace

PatchResult PatchRom(RomState& state, const PatchRequest& request) {
    std::string leftover;
    try {
        PatchResult result = RunPatch(state, request, leftover);
        if (request.hashes && result.outcome == PatchOutcome::Success) {
            AddHashes(state, request, result);
        }
        return result;
    } catch (const std::exception& e) {
        CloseRom(state);
        PatchResult failed;
        failed.message = std::string(kMsgUnknown1) + "\n" + kMsgUnknown2;
        failed.cause = e.what();
        if (const auto* engine = dynamic_cast<const EngineError*>(&e)) {
            failed.error = engine->Code();
        }
        if (!leftover.empty()) {
            failed.cause += "\n" + leftover;
        }
        return failed;
    }
}

}  // namespace tflux
