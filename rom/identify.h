#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "rom/game.h"
#include "rom/rom_state.h"

namespace tflux {

// Results of IdentifyRom.
enum RomCheckCode : std::int16_t {
    kRomOk = 0,
    kRomAccessError = 1,
    kRomNotTFlux = 2,
    kRomBadRegion = 3,
    kRomUnknownError = -1,
};

// Decides whether `path` is an image this tool patches. Never throws. On 0, 2 and 3 the image
// is left open for reading in state.RomFile; the caller always calls CloseRom afterwards.
// For any code but 0, `cause` (when given) receives what was found instead of the game:
// "... is 4,096 bytes, not 16,777,216", "region letter is 'U'".
RomCheckCode IdentifyRom(RomState& state, const std::string& path, std::string* cause = nullptr);

// The status text for a code; "(Invalid error number)" for a value that is none of them.
std::string RomCheckMessage(int code);

// Never throws; closing nothing does nothing.
void CloseRom(RomState& state);

// Whether `path` names a regular file that can be opened for reading (never blocks).
bool CanOpenForReading(const std::string& path, IoHook* hook = nullptr);
// "" when it can; otherwise why not: "... : No such file or directory", "... is a folder".
std::string UnreadableCause(const std::string& path, IoHook* hook = nullptr);

// An image that identification accepts: somebody's dump of the game, which a patch must not
// replace unasked. A file that is absent or that this user may not read is not one; a read
// that fails on a file that is there throws, since what it holds cannot be told.
bool IsUnpatchedImage(const std::string& path, IoHook* hook = nullptr);

// What the window's status line says about an input path, and whether the image is accepted:
// "Invalid input file", "File Error: " + message, or "File Version: " + region + " (Z64)".
struct InputStatus {
    bool accepted = false;
    bool readable = false;  // false: "Invalid input file"
    RomCheckCode code = kRomAccessError;
    std::string text;
    std::string cause;  // for a refusal: why, as UnreadableCause and IdentifyRom say
};
InputStatus CheckInput(RomState& state, const std::string& path);

// "North American", "Japanese", "PAL"; "" for anything else.
std::string RegionName(const std::string& regionCode);

// Opens `path` (an existing copy of the input) for reading and writing, without truncation:
// the checksum step reads back what the patch wrote.
void OpenRomOutput(RomState& state, const std::filesystem::path& path);

}  // namespace tflux
