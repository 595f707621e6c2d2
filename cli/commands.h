#pragma once

// The command-line front end's commands. Each presents what an engine call returns and gives
// the process's exit code: 0 done, 1 refused, 2 usage, 3 failed.

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>

#include "rom/exit_status.h"

namespace tflux::cli {

struct Streams {
    std::ostream& out;
    std::ostream& err;
};

// Runs a command's body and gives its exit status. What it throws is presented as a failure: on
// standard error, the program's name and the error's text, whose cause lines an EngineError
// carries in it; the status is then kExitFailed.
int Presenting(Streams io, const std::function<int()>& body);

// `force` lets the patch replace an output that is an unpatched image of the game; `hashes`
// prints the output's CRC32, MD5 and SHA-1 after the verdict.
int Patch(const std::string& input, const std::optional<std::string>& output,
          const std::optional<std::string>& payloadFile, bool force, bool hashes, Streams io);
int Identify(const std::string& input, bool json, Streams io);
int PayloadUnpack(const std::optional<std::string>& payloadFile, const std::string& dir,
                  Streams io);
int PayloadPack(const std::string& sourceDir, const std::string& output, Streams io);

}  // namespace tflux::cli
