#pragma once

// Exit statuses shared by every program: 0 when it did what it was asked, 1 when it refused the
// input, 2 when the command line was wrong, 3 when it failed. A program that never refuses or
// never fails does without those; its --help or man page says which it uses.

#include <CLI/CLI.hpp>
#include <algorithm>
#include <exception>
#include <system_error>

#include "rom/command_line.h"
#include "rom/errors.h"

namespace tflux {

inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitFailed = 3;

// Parses the arguments as CommandLineArguments gives them.
inline void ParseCommandLine(CLI::App& app, int argc, char** argv) {
    std::vector<std::string> arguments = CommandLineArguments(argc, argv);
    std::reverse(arguments.begin(), arguments.end());  // CLI11 takes them last first
    app.parse(arguments);
}

// CLI11 ends a parse that cannot go on with an exception. Help and version print on standard
// output and exit 0; any other parse error prints its message on standard error and exits
// kExitUsage, not CLI11's own code for that error, so a script can tell it from a failure.
inline int ParseErrorExit(const CLI::App& app, const CLI::ParseError& error) {
    return app.exit(error) == 0 ? kExitOk : kExitUsage;
}

// The status for a command that stopped on `error`: a refusal (1) when the input or the named
// output is at fault, whether the engine found the fault itself or the system said the file is
// missing, not a file or not the user's to use; a failure (3) when the system failed at its own
// work (a full disk, an I/O error) or something unforeseen happened.
inline int ExitStatusOf(const std::exception& error) {
    const auto* engine = dynamic_cast<const EngineError*>(&error);
    if (engine == nullptr) {
        return kExitFailed;
    }
    const std::error_code& code = engine->Code();
    if (!code) {
        return kExitRefused;
    }
    for (const std::errc refusal :
         {std::errc::no_such_file_or_directory, std::errc::not_a_directory,
          std::errc::is_a_directory, std::errc::permission_denied,
          std::errc::operation_not_permitted, std::errc::too_many_symbolic_link_levels,
          std::errc::filename_too_long, std::errc::file_exists, std::errc::file_too_large}) {
        if (code == refusal) {
            return kExitRefused;
        }
    }
    return kExitFailed;
}

}  // namespace tflux
