#pragma once

// Exit statuses shared by every program: 0 when it did what it was asked, 2 when the command
// line was wrong. What else a program exits with is its own and is in its --help or man page.

#include <CLI/CLI.hpp>

namespace tflux {

inline constexpr int kExitUsage = 2;

// CLI11 ends a parse that cannot go on with an exception. Help and version print on standard
// output and exit 0; any other parse error prints its message on standard error and exits
// kExitUsage, not CLI11's own code for that error, so a script can tell it from a failure.
inline int ParseErrorExit(const CLI::App& app, const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : kExitUsage;
}

}  // namespace tflux
