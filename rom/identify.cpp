#include "rom/identify.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <string_view>

#include "rom/errors.h"
#include "rom/game.h"
#include "rom/text.h"

namespace tflux {

namespace {

// Header bytes as a person can read them in one line: others as \xNN.
std::string Printable(std::string_view bytes) {
    std::string text;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F) {
            text += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", b);
            text += escaped;
        }
    }
    return text;
}

std::string NameCause(const std::array<std::uint8_t, kInternalNameSize>& name) {
    std::string_view shown(reinterpret_cast<const char*>(name.data()), name.size());
    // A patched image is named in Z64 order whichever order it is stored in; others as stored.
    const bool patched = shown == NameText(kPatchedNameZ64) || shown == NameText(kPatchedNameV64);
    if (patched) {
        shown = NameText(kPatchedNameZ64);
    }
    const std::string quoted = "internal name is \"" + Printable(TrimmedName(shown)) + "\"";
    return patched ? quoted + ": this image has already been patched"
                   : quoted + ", not \"" + std::string(TrimmedName(NameText(kGameNameZ64))) + "\"";
}

// Why a file could not be opened for reading, from the error its opening gave. The file layer
// only knows "not a regular file"; a folder is the usual mistake, and is named as one.
std::string DescribeUnreadable(const std::string& path, const std::exception& error, IoHook* hook) {
    try {
        if (!path.empty() && Examine(PathFromText(path), Links::Follow, hook) == FileKind::Folder) {
            return path + " is a folder";
        }
    } catch (const EngineError&) {
        // Not even its kind can be told: the opening's own error says more.
    }
    return error.what();
}

void SetCause(std::string* cause, std::string text) {
    if (cause != nullptr) {
        *cause = std::move(text);
    }
}

// IdentifyRom, keeping the error that made it give up (for codes 1 and -1) in `failure`.
RomCheckCode Identify(RomState& state, const std::string& path, std::string* cause,
                      std::optional<EngineError>* failure) {
    CloseRom(state);
    RomCheckCode code = kRomAccessError;
    try {
        // Regular files only: a folder, a FIFO or a device is "not a file" and never blocks.
        state.RomFile = File::Open(PathFromText(path), OpenMode::Read, Links::Follow, state.Io);
        code = kRomUnknownError;
        state.RomStamp = state.RomFile.Examine();
        if (const std::uint64_t size = state.RomStamp.size; size != kRomSize) {
            SetCause(cause, path + " is " + Thousands(size) + " bytes, not " + Thousands(kRomSize));
            return kRomNotTFlux;
        }
        std::array<std::uint8_t, kInternalNameSize> name{};
        state.RomFile.ReadAt(kInternalNameOffset, name);
        const std::string_view text(reinterpret_cast<const char*>(name.data()), name.size());
        // The content decides the order, whatever the file's name says.
        const auto order = std::find_if(
            kImageOrders.begin(), kImageOrders.end(),
            [&](ImageOrder stored) { return text == NameText(StoredName(kGameNameZ64, stored)); });
        if (order == kImageOrders.end()) {
            SetCause(cause, NameCause(name));
            return kRomNotTFlux;
        }
        state.SetOrder(*order);
        std::array<std::uint8_t, 1> region{};
        state.RomFile.ReadAt(RegionOffset(*order), region);
        state.RegionCode = std::string(1, static_cast<char>(region[0]));
        if (RegionFromCode(state.RegionCode)) {
            return kRomOk;
        }
        SetCause(cause, "region letter is '" + Printable(state.RegionCode) + "'");
        return kRomBadRegion;
    } catch (const std::exception& e) {
        // The error caught is the cause: looking again could find nothing wrong.
        SetCause(cause, code == kRomAccessError ? DescribeUnreadable(path, e, state.Io) : e.what());
        if (failure != nullptr) {
            const auto* engine = dynamic_cast<const EngineError*>(&e);
            *failure = engine != nullptr ? *engine : EngineError(e.what());
        }
        return code;
    }
}

}  // namespace

RomCheckCode IdentifyRom(RomState& state, const std::string& path, std::string* cause) {
    return Identify(state, path, cause, nullptr);
}

std::string RomCheckMessage(int code) {
    switch (code) {
        case kRomOk:
            return "Successful";
        case kRomAccessError:
            return "File access error";
        case kRomNotTFlux:
            return "Not T-Flux X";
        case kRomBadRegion:
            return "Bad ROM region code";
        case kRomUnknownError:
            return "Unknown error";
        default:
            return "(Invalid error number)";
    }
}

std::string RegionName(const std::string& regionCode) {
    const auto region = RegionFromCode(regionCode);
    if (!region) {
        return "";
    }
    constexpr std::array<const char*, kRegions.size()> names = {"North American", "Japanese",
                                                                "PAL"};
    return names[RegionIndex(*region)];
}

bool CanOpenForReading(const std::string& path, IoHook* hook) {
    return UnreadableCause(path, hook).empty();
}

std::string UnreadableCause(const std::string& path, IoHook* hook) {
    try {
        File probe = File::Open(PathFromText(path), OpenMode::Read, Links::Follow, hook);
        return "";
    } catch (const std::exception& e) {
        return DescribeUnreadable(path, e, hook);
    }
}

bool IsUnpatchedImage(const std::string& path, IoHook* hook) {
    RomState probe;
    probe.Io = hook;
    std::optional<EngineError> failure;
    const RomCheckCode code = Identify(probe, path, nullptr, &failure);
    // Closed here rather than by CloseRom, which keeps quiet about a failure: a disk that fails
    // on this file fails the patch before it writes anything.
    probe.RomFile.Close();
    // Absent, not a file, or not ours to read: nobody's dump is lost by replacing it. A read
    // that fails on a file that is there is another matter.
    if (failure && failure->Code() && failure->Code() != std::errc::no_such_file_or_directory &&
        failure->Code() != std::errc::not_a_directory &&
        failure->Code() != std::errc::permission_denied &&
        failure->Code() != std::errc::operation_not_permitted) {
        throw *failure;
    }
    return code == kRomOk;
}

InputStatus CheckInput(RomState& state, const std::string& path) {
    InputStatus status;
    status.cause = UnreadableCause(path, state.Io);
    status.readable = status.cause.empty();
    if (!status.readable) {
        status.text = "Invalid input file";
        return status;
    }
    status.code = IdentifyRom(state, path, &status.cause);
    CloseRom(state);
    if (status.code != kRomOk) {
        status.text = "File Error: " + RomCheckMessage(status.code);
        return status;
    }
    status.accepted = true;
    status.text = "File Version: " + RegionName(state.RegionCode) + " (" +
                  std::string(OrderLabel(state.Order())) + ")";
    return status;
}

void CloseRom(RomState& state) {
    try {
        state.RomFile.Close();
    } catch (const std::exception&) {
        // Closing is best effort: the handle is gone either way.
    }
    state.RomFile = File();
}

void OpenRomOutput(RomState& state, const std::filesystem::path& path) {
    CloseRom(state);
    state.RomFile = File::Open(path, OpenMode::ReadWrite, Links::NoFollow, state.Io);
}

}  // namespace tflux
