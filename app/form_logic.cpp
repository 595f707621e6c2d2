#include "app/form_logic.h"

#include <algorithm>
#include <array>
#include <exception>
#include <span>

#include "course/course.h"
#include "pack/track_summary.h"
#include "payload/builtin_payload.h"
#include "payload/container.h"
#include "rom/errors.h"
#include "rom/exit_status.h"
#include "rom/file.h"
#include "rom/game.h"
#include "rom/text.h"

namespace tflux::form {

namespace fs = std::filesystem;

namespace {

std::string JoinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        if (!line.empty()) {
            text += (text.empty() ? "" : "\n") + line;
        }
    }
    return text;
}

}  // namespace

StatusLine NoInputStatus() {
    return StatusLine{kNoInput, kIdleRgb, "", ""};
}

StatusLine StatusOf(const InputStatus& status) {
    StatusLine line;
    if (status.accepted) {
        line.text = status.text;
        line.colour = kAcceptedRgb;
        return line;
    }
    line.text = status.readable ? status.text : kInvalidInputFile;
    line.colour = kRefusedRgb;
    // Worded as Patch words the same refusal: one reason, wherever the user looks.
    line.message = status.readable ? RomCheckMessage(status.code) : kMsgInvalidInput;
    line.cause = status.cause;
    return line;
}

std::string StatusText(const StatusLine& line, const ChosenPack& pack) {
    const std::string packStatus = PackStatus(pack);
    return packStatus.empty() ? line.text : line.text + " \u00b7 " + packStatus;
}

std::string StatusDetail(const StatusLine& line, const ChosenPack& pack) {
    return JoinLines({line.message, line.cause,
                      pack.path ? "Track pack: " + pack.path->string() : std::string()});
}

SaveStart OutputDialogStart(const std::string& inputPath, const std::string& outputPath) {
    const fs::path proposal = !outputPath.empty()  ? PathFromText(outputPath)
                              : !inputPath.empty() ? PathFromText(DeriveOutputPath(inputPath))
                                                   : fs::path();
    return SaveStart{proposal.parent_path(), PathText(proposal.filename())};
}

PatchRequest WindowRequest(const std::string& inputPath, const std::string& outputPath,
                           std::span<const std::uint8_t> container) {
    PatchRequest request{inputPath, outputPath, container};
    request.hashes = true;
    request.keepForeignOutput = true;
    return request;
}

std::string ReplaceQuestion(const PatchResult& result) {
    if (result.outcome != PatchOutcome::Refused ||
        !(result.outputIsGameImage || result.outputIsForeign)) {
        return "";
    }
    return result.cause + ".\nReplace it with the patched image?";
}

PatchRequest Answered(PatchRequest request, const PatchResult& result) {
    request.replaceGameImage = request.replaceGameImage || result.outputIsGameImage;
    request.replaceForeignOutput = request.replaceForeignOutput || result.outputIsForeign;
    return request;
}

FormMessage PatchMessage(const PatchResult& result, const std::string& outputPath) {
    if (result.outcome != PatchOutcome::Success) {
        return FormMessage{MessageIcon::Critical, result.message, result.cause};
    }
    // A success whose folder could not be flushed still says so: the image may not survive a
    // crash. The hashes let a user check, or tell a friend, which patched file they have.
    std::string detail = outputPath;
    if (result.hashes) {
        detail += "\nCRC32 " + result.hashes->z64.crc32 + "\nSHA-1 " + result.hashes->z64.sha1 +
                  " (of the image in Z64 order)";
    }
    if (!result.warning.empty()) {
        detail += "\n" + result.warning;
    }
    return FormMessage{MessageIcon::Information, result.message, detail};
}

FormMessage InputFailureMessage(const std::string& path, const std::string& why) {
    return FormMessage{MessageIcon::Critical, kMsgInvalidInput, path + ": " + why};
}

FormMessage FailureMessage(const std::string& cause) {
    return FormMessage{MessageIcon::Critical, std::string(kMsgUnknown1) + "\n" + kMsgUnknown2,
                       cause};
}

ChosenPack BuiltInPack() {
    const auto builtIn = BuiltInPayload();
    ChosenPack pack;
    pack.container.assign(builtIn.begin(), builtIn.end());
    return pack;
}

std::string PackLabel(const ChosenPack& pack) {
    if (!pack.path) {
        return kBuiltInPackLabel;
    }
    fs::path shown = *pack.path;
    if (!shown.has_filename()) {
        shown = shown.parent_path();  // a folder given with its trailing separator
    }
    return PathText(shown.filename());
}

std::string PackStatus(const ChosenPack& pack) {
    return pack.path ? "pack: " + PackLabel(pack) : "";
}

std::optional<FormMessage> RefusePackOutput(const ChosenPack& pack, const std::string& outputPath,
                                            IoHook* hook) {
    if (pack.files.empty()) {
        return std::nullopt;
    }
    if (std::optional<OutputRefusal> refusal =
            CheckOutput(outputPath, OutputShape::File, pack.files, true, hook)) {
        return FormMessage{MessageIcon::Critical, kMsgInvalidOutput, refusal->cause};
    }
    return std::nullopt;
}

PackOffer ReadPack(const std::optional<fs::path>& path) {
    PackOffer offer;
    try {
        LoadedPayload loaded = LoadPayload(path);
        ChosenPack pack{path, loaded.kind, std::move(loaded.container), std::move(loaded.files)};
        if (pack.kind == PayloadKind::Container) {
            try {
                // A damaged container is refused now rather than by the patch after it.
                offer.concerns = InvalidCourseLines(pack.container);
            } catch (const EngineError& e) {
                throw e.Within(path->string() + ": ");
            }
        }
        // A pack source's courses were checked as it was read: its warnings name them.
        offer.concerns.insert(offer.concerns.end(), loaded.warnings.begin(), loaded.warnings.end());
        if (!offer.concerns.empty()) {
            offer.question = PackLabel(pack) + " can be used, but:\n" + JoinLines(offer.concerns) +
                             "\nUse it for the next patch?";
        }
        offer.pack = std::move(pack);
    } catch (const std::exception& e) {
        // A pack that is refused is the user's to mend; only a failure is "unknown".
        offer.refusal = ExitStatusOf(e) == kExitRefused
                            ? FormMessage{MessageIcon::Critical, kMsgInvalidPack, e.what()}
                            : FailureMessage(e.what());
    }
    return offer;
}

std::optional<ChosenPack> TakePack(PackOffer offer,
                                   const std::function<void(const FormMessage&)>& show,
                                   const std::function<bool(const std::string&)>& ask) {
    if (!offer.pack) {
        show(*offer.refusal);
        return std::nullopt;
    }
    if (!offer.question.empty() && !ask(offer.question)) {
        return std::nullopt;
    }
    return std::move(offer.pack);
}

}  // namespace tflux::form
