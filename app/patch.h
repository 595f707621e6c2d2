#pragma once

// The whole patch, from payload extraction to the verified output, without any window. The
// window's Patch button and `tflux-krn-cli patch` both call PatchRom and only present its result.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <system_error>

#include "rom/digest.h"
#include "rom/rom_state.h"

namespace tflux {

inline constexpr const char* kMsgInvalidInput = "Invalid input ROM file";
inline constexpr const char* kMsgInvalidOutput = "Invalid output file";
inline constexpr const char* kMsgOutputIsInput = "The output file must not be the input ROM file.";
inline constexpr const char* kMsgSuccess = "Patch successful.";
inline constexpr const char* kMsgUnknown1 = "An unknown error occured.";
inline constexpr const char* kMsgUnknown2 = "Rebooting may solve the problem.";

struct PatchRequest {
    std::string inputPath;
    std::string outputPath;
    // The container whose updater and track records the patch applies: the built-in one, or
    // the bytes of a --payload file. It must outlive the call.
    std::span<const std::uint8_t> container;
    // An output that is itself an unpatched image of the game is replaced only when asked to.
    bool replaceGameImage = false;
    // The window's rule: any other file at the output that is not an earlier output of this
    // program is replaced only when asked to as well. The command line replaces it, as ever.
    bool keepForeignOutput = false;
    bool replaceForeignOutput = false;
    // The patched image's hashes, for a user who checks or shares which file they have.
    bool hashes = false;
};

enum class PatchOutcome { Success, Refused, Failed };

struct PatchResult {
    PatchOutcome outcome = PatchOutcome::Failed;
    std::string message;  // the text the user is shown
    std::string cause;    // why it was refused, or what went wrong and with which file
    // The system's reason for a failure, when the system gave one (a full disk, say).
    std::error_code error;
    // For a success that the user should still hear about: the image is in place, but its
    // folder could not be flushed (the cause is in `error`).
    std::string warning;
    // Refused only because the output is a game image that may be somebody's only dump: asking
    // the user and running again with replaceGameImage lets it through.
    bool outputIsGameImage = false;
    // Refused only because keepForeignOutput found a file of the user's at the output; running
    // again with replaceForeignOutput lets it through.
    bool outputIsForeign = false;
    // Of the output, when asked for and the patch succeeded.
    std::optional<ImageDigests> hashes;
};

// "" when the input can be read and the output written; otherwise the message for the first
// path that fails, and in `cause` (when given) why. Never removes or empties anything at the
// output path.
std::string CheckFile(const std::string& inputPath, const std::string& outputPath,
                      IoHook* hook = nullptr, std::string* cause = nullptr);

enum class OutputShape { File, Folder };

struct OutputRefusal {
    std::string cause;
    // Refused only because it is an unpatched image of the game, which the user may replace.
    bool gameImage = false;
};

// Why a command that reads `inputs` may not write `outputPath`, or nullopt when it may. A file
// output is absent or a regular file that may be replaced, none of the inputs (links followed),
// in a folder that takes a new file, and no unpatched image of the game unless
// `replaceGameImage`; a folder output is absent or an empty folder. On Windows, neither is named
// as a device is (see DeviceNamed). Changes nothing.
std::optional<OutputRefusal> CheckOutput(const std::string& outputPath, OutputShape shape,
                                         std::span<const std::filesystem::path> inputs,
                                         bool replaceGameImage, IoHook* hook = nullptr);

enum class ExistingOutput {
    None,           // nothing there, or nothing a patch could replace (the checks say why)
    EarlierOutput,  // an image this program patched
    GameImage,      // an unpatched image of the game, somebody's dump
    Foreign,        // any other file
};

// What lies at `outputPath`, links followed. Throws EngineError when a file is there but
// cannot be read as far as telling needs; one this user may not read is Foreign.
ExistingOutput ClassifyOutput(const std::string& outputPath, IoHook* hook = nullptr);

// The output path the window proposes for an input: "_krn" before the file name's extension.
std::string DeriveOutputPath(const std::string& inputPath);

// Runs the patch on `state` (its tables hold this run's values afterwards). Never throws.
PatchResult PatchRom(RomState& state, const PatchRequest& request);

}  // namespace tflux
