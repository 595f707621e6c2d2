#pragma once

// Exit statuses shared by every program: 0 when it did what it was asked, 1 when it refused the
// input, 2 when the command line was wrong, 3 when it failed. A program that never refuses or
// never fails does without those; its --help or man page says which it uses.

#include <CLI/CLI.hpp>

namespace tflux {

inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitFailed = 3;

// CLI11 ends a parse that cannot go on with an exception. Help and version print on standard
// output and exit 0; any other parse error prints its message on standard error and exits
// kExitUsage, not CLI11's own code for that error, so a script can tell it from a failure.
inline int ParseErrorExit(const CLI::App& app, const CLI::ParseError& error) {
    return app.exit(error) == 0 ? kExitOk : kExitUsage;
}

}  // namespace tflux
