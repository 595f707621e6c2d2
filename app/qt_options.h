#pragma once

// Qt takes options of its own from the command line a QApplication is given (-platform NAME,
// -style NAME, -reverse, ...; one dash or two, the value after the name or after '='). The
// programs with a window parse their own options from what is left, so that Qt's pass through
// to Qt and anything else is an unknown option, with or without a display to start Qt on.

#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

struct QtOptionSplit {
    std::vector<std::string> rest;  // without the program name, in order
    bool namesPlatform = false;     // -platform was given, which may need no display
};

QtOptionSplit SplitQtOptions(int argc, const char* const* argv);

// Parses what is not Qt's with `cli`. nullopt when the program goes on; otherwise the status to
// exit with (help, version or a usage error, already printed). `namesPlatform` as above.
std::optional<int> ParseBesideQt(CLI::App& cli, int argc, const char* const* argv,
                                 bool* namesPlatform = nullptr);

// What the window is started on: `tflux-krn [--tracks] [--pack PATH] [IMAGE]`.
struct WindowStart {
    std::optional<std::string> pack;   // a pack source folder or a container file
    std::optional<std::string> image;  // the input, as if dropped on the window
    bool tracks = false;               // the track view shown beside the window
};

// Adds the window's own options to `cli`; the parse fills `start`.
void AddWindowOptions(CLI::App& cli, WindowStart& start);
