// tflux-krn.exe: the window on Windows. Its arguments are read as the system's wide strings, so
// that any path can be named whatever the code page.

// Windows' own headers need <windows.h> before them.
#include <windows.h>

#include <shellapi.h>

#include <CLI/CLI.hpp>
#include <string>
#include <system_error>
#include <vector>

#include "app/Form1_win32.h"

namespace {

constexpr char kHelp[] =
    "Usage: tflux-krn [--help] [--version] [--tracks] [--pack PATH] [IMAGE]\n"
    "\n"
    "Opens the window that turns an image of T-Flux X into the T-Flux KRN track-pack edition:\n"
    "choose the image with the first \"...\" button, drop it on the window or name it here,\n"
    "then press Patch.\n"
    "\n"
    "  IMAGE        the image to patch, chosen as the input\n"
    "  --pack PATH  patch with this track pack instead of the built-in one: a pack source\n"
    "               folder (trackpack.json and its courses) or a container file\n"
    "  --tracks     open the track list beside the window\n"
    "  --help       show this text\n"
    "  --version    show the version\n";

// The command line in the engine's narrow form, the program's name first. Throws
// std::system_error for an argument that form cannot hold.
std::vector<std::string> Arguments() {
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    for (int i = 0; i < count && wide != nullptr; ++i) {
        arguments.push_back(tflux::win32::Native(wide[i]));
    }
    LocalFree(wide);
    return arguments;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    CLI::App cli{"", "tflux-krn"};
    tflux::win32::WindowStart start;
    bool version = false;
    cli.set_help_flag();
    bool help = false;
    cli.add_flag("-h,--help", help);
    cli.add_flag("--version", version);
    cli.add_flag("--tracks", start.tracks);
    cli.add_option("--pack", start.pack);
    cli.add_option("IMAGE", start.image);
    std::vector<std::string> arguments;
    try {
        arguments = Arguments();
    } catch (const std::system_error& e) {
        tflux::win32::ShowStartMessage(std::string("A file name cannot be read: ") + e.what(),
                                       true);
        return 2;
    }
    if (!arguments.empty()) {
        arguments.erase(arguments.begin());
    }
    // CLI11 takes them last first.
    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    try {
        cli.parse(reversed);
    } catch (const CLI::ParseError& e) {
        tflux::win32::ShowStartMessage(std::string(e.what()) + "\n\n" + kHelp, true);
        return 2;
    }
    if (help || version) {
        tflux::win32::ShowStartMessage(
            help ? std::string(kHelp) : std::string("tflux-krn ") + TFLUX_VERSION, false);
        return 0;
    }
    return tflux::win32::RunForm1(instance, start, show);
}
