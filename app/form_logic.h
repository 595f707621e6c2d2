#pragma once

// What the main window decides, without any toolkit: the status line for an identification, the
// output it proposes, the question a patch needs before it may replace a file, the messages it
// shows and the track pack it patches with. The Qt window and the Win32 window only present
// these. Texts are UTF-8.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/patch.h"
#include "pack/load_payload.h"
#include "rom/identify.h"
#include "rom/rom_state.h"

namespace tflux::form {

struct Rgb {
    std::uint8_t red = 0;
    std::uint8_t green = 0;
    std::uint8_t blue = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

// The status line before any input, for an accepted image and for anything refused.
inline constexpr Rgb kIdleRgb{255, 255, 255};
inline constexpr Rgb kAcceptedRgb{0, 255, 0};
inline constexpr Rgb kRefusedRgb{255, 0, 0};

inline constexpr const char* kCaption = "Orvane's T-Flux KRN Track Pack";
inline constexpr const char* kFilter = "N64 ROMs (*.*64)|*.*64";
inline constexpr const char* kInputTitle = "Select input ROM file...";
inline constexpr const char* kOutputTitle = "Select output ROM file...";
// The track view's choices of pack, and the container files its dialog lists.
inline constexpr const char* kPackTitle = "Select track pack file...";
inline constexpr const char* kPackFolderTitle = "Select track pack folder...";
inline constexpr const char* kPackFilter = "Track packs (*.dat)|*.dat|All files (*)|*";
inline constexpr const char* kNoInput = "No input ROM selected.";
inline constexpr const char* kInvalidInputFile = "Invalid input file";
inline constexpr const char* kMsgInvalidPack = "Invalid track pack";
inline constexpr const char* kBuiltInPackLabel = "built-in pack";

// ---- the status line ----

struct StatusLine {
    std::string text;  // what the line shows
    Rgb colour = kIdleRgb;
    // For a refusal, the message box's text and its cause, as Patch would show them; "" when
    // there is nothing to add to the line.
    std::string message;
    std::string cause;
};

StatusLine NoInputStatus();
StatusLine StatusOf(const InputStatus& status);

struct ChosenPack;
// What the line shows: its text, and the pack when it is not the built-in one.
std::string StatusText(const StatusLine& line, const ChosenPack& pack);
// The refusal as the message box words it, its cause and the pack's path, one a line: what the
// line's tooltip and a screen reader's description say; "" when there is nothing to add.
std::string StatusDetail(const StatusLine& line, const ChosenPack& pack);

// ---- paths ----

// Where the output dialog opens and the name it offers: the current output's folder and name,
// or those proposed for the input.
struct SaveStart {
    std::filesystem::path folder;  // empty: the process's current folder
    std::string name;
};
SaveStart OutputDialogStart(const std::string& inputPath, const std::string& outputPath);

// ---- before a patch ----

// The request for the window's Patch button: the hashes are shown, and a file of the user's at
// the output is only replaced once they have said so.
PatchRequest WindowRequest(const std::string& inputPath, const std::string& outputPath,
                           std::span<const std::uint8_t> container);

// The question that may let a refused patch through, naming the file ("" when the refusal
// stands), and the request that runs it again once the user says yes.
std::string ReplaceQuestion(const PatchResult& result);
PatchRequest Answered(PatchRequest request, const PatchResult& result);

// ---- messages ----

enum class MessageIcon { Information, Critical };

struct FormMessage {
    MessageIcon icon = MessageIcon::Critical;
    std::string text;
    std::string detail;
};

FormMessage PatchMessage(const PatchResult& result, const std::string& outputPath);
// A choice of input that failed on the way.
FormMessage InputFailureMessage(const std::string& path, const std::string& why);
// A failure of the window's own look at the files before a patch.
FormMessage FailureMessage(const std::string& cause);

// ---- the track pack ----

struct ChosenPack {
    std::optional<std::filesystem::path> path;  // nullopt: the built-in pack
    PayloadKind kind = PayloadKind::BuiltIn;
    std::vector<std::uint8_t> container;
    // What it was read from: a patch must not write over it.
    std::vector<std::filesystem::path> files;
};

ChosenPack BuiltInPack();
// "built-in pack", or the name of the folder or file it was read from.
std::string PackLabel(const ChosenPack& pack);
// What the status line adds for a pack other than the built-in one: "" for the built-in one.
std::string PackStatus(const ChosenPack& pack);

struct PackOffer {
    std::optional<ChosenPack> pack;      // nullopt: refused, and `refusal` says why
    std::optional<FormMessage> refusal;  // the pack's file, line and track where known
    // Courses that break the game's rules and risky choices, one line each: the pack is only
    // taken after the user has read `question` and said yes.
    std::vector<std::string> concerns;
    std::string question;
};

// Why a patch with `pack` may not write `outputPath` (it would write over the pack itself), or
// nullopt when it may.
std::optional<FormMessage> RefusePackOutput(const ChosenPack& pack, const std::string& outputPath,
                                            IoHook* hook = nullptr);

// Reads a pack through the same library as the command line's --payload: a pack source folder
// or a container file (nullopt: the built-in pack). Never throws.
PackOffer ReadPack(const std::optional<std::filesystem::path>& path);

// What a window does with a pack it is asked to use: a refusal is shown, a pack with concerns is
// taken only when the user says yes to the question. The pack to use, or nullopt.
std::optional<ChosenPack> TakePack(PackOffer offer,
                                   const std::function<void(const FormMessage&)>& show,
                                   const std::function<bool(const std::string&)>& ask);

}  // namespace tflux::form
