#pragma once

// The command-line front end's commands. Each presents what an engine call returns and gives
// the process's exit code: 0 done, 1 refused, 2 usage, 3 failed.

#include <filesystem>
#include <functional>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>

#include "app/patch.h"
#include "rom/exit_status.h"

namespace tflux::cli {

struct Streams {
    std::ostream& out;
    std::ostream& err;
};

// Runs a command's body and gives its exit status. What it throws is presented on standard
// error, the program's name and the error's text, whose cause lines an EngineError carries in
// it; the status is then ExitStatusOf the error.
int Presenting(Streams io, const std::function<int()>& body);

// Presenting for a command that writes `output`: a stop request (Ctrl-C, a hang-up, a plain
// kill) waits until the output is in place or its unfinished files and folders are gone, says
// which, and then takes effect.
int Writing(const std::string& output, Streams io, const std::function<int()>& body);

// When a command that reads `inputs` may not write `output`, says why on standard error as the
// patch says it (the message, then the cause) and gives the refusal's status; nullopt when it
// may. `force` lets an unpatched image of the game be replaced.
std::optional<int> RefuseOutput(const std::string& output, OutputShape shape,
                                std::span<const std::filesystem::path> inputs, bool force,
                                Streams io);

// `force` lets the patch replace an output that is an unpatched image of the game; `hashes`
// prints the output's CRC32, MD5 and SHA-1 after the verdict.
int Patch(const std::string& input, const std::optional<std::string>& output,
          const std::optional<std::string>& payloadFile, bool force, bool hashes, Streams io);
int Identify(const std::string& input, bool json, Streams io);
int PayloadUnpack(const std::optional<std::string>& payloadFile, const std::string& dir,
                  Streams io);
int PayloadPack(const std::string& sourceDir, const std::string& output, bool force, Streams io);

}  // namespace tflux::cli
