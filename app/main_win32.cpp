// tflux-krn.exe: the window on Windows.

#include <windows.h>

#include <CLI/CLI.hpp>
#include <string>

#include "app/Form1_win32.h"
#include "rom/exit_status.h"

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

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    CLI::App cli{"", "tflux-krn"};
    tflux::win32::WindowStart start;
    bool version = false;
    // An image named with forward slashes is an image, not an option.
    cli.allow_windows_style_options(false);
    cli.set_help_flag();
    bool help = false;
    cli.add_flag("-h,--help", help);
    cli.add_flag("--version", version);
    cli.add_flag("--tracks", start.tracks);
    cli.add_option("--pack", start.pack);
    cli.add_option("IMAGE", start.image);
    try {
        tflux::ParseCommandLine(cli, 0, nullptr);  // Windows reads them wide, not from argv
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
