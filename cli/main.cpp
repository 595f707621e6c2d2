// tflux-krn-cli: the patch without a window, over the same engine calls the window makes.

#include <CLI/CLI.hpp>
#include <clocale>
#include <csignal>
#include <iostream>

#include "cli/commands.h"
#include "cli/pack_commands.h"
#include "rom/exit_status.h"

int main(int argc, char** argv) {
#ifdef _WIN32
    // Arguments arrive in the ANSI code page; with the C runtime set to it, a file name made
    // from them names the file the user typed.
    std::setlocale(LC_CTYPE, "");
#endif
#ifdef SIGXFSZ
    // Past a file-size limit a write then fails with EFBIG, which the patch reports and tidies
    // up after, instead of the process dying with its unfinished file left behind.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    using namespace tflux::cli;
    CLI::App app{"Turns an image of T-Flux X into the T-Flux KRN track-pack edition.",
                 "tflux-krn-cli"};
    app.set_version_flag("--version", std::string("tflux-krn-cli ") + TFLUX_VERSION);
    app.require_subcommand(1);

    std::string input;
    std::optional<std::string> output;
    std::optional<std::string> payloadFile;
    bool json = false;
    std::string dir;

    auto* patch =
        app.add_subcommand("patch", "Patch an image (OUTPUT defaults to INPUT with _krn)");
    patch->add_option("--payload", payloadFile,
                      "Container file to use instead of the built-in one");
    patch->add_option("INPUT", input, "Image of T-Flux X (.z64 or .v64)")->required();
    patch->add_option("OUTPUT", output, "Where to write the patched image");
    bool force = false;
    patch->add_flag("--force", force,
                    "Replace OUTPUT even when it is an unpatched image of T-Flux X");

    auto* identify = app.add_subcommand("identify", "Say whether an image can be patched");
    identify->add_option("INPUT", input, "Image to look at")->required();
    identify->add_flag("--json", json, "Print JSON");

    auto* payload = app.add_subcommand("payload", "Look into the track payload");
    payload->require_subcommand(1);
    auto* list = payload->add_subcommand("list", "List tracks 1 to 24 as the patch applies them");
    list->add_option("--payload", payloadFile, "Container file instead of the built-in one");
    list->add_flag("--json", json, "Print JSON");
    auto* unpack = payload->add_subcommand("unpack", "Write the 25 files of the payload into DIR");
    unpack->add_option("--payload", payloadFile, "Container file instead of the built-in one");
    unpack->add_option("DIR", dir, "Existing folder")->required();
    std::string source;
    auto* pack = payload->add_subcommand("pack", "Build a container from 0.dat .. 24.dat");
    pack->add_option("SOURCE_DIR", source, "Folder with 0.dat .. 24.dat")->required();
    pack->add_option("OUTPUT", dir, "Container file to write")->required();
    auto* check = payload->add_subcommand("check", "Check the 24 courses against the game's rules");
    check->add_option("--payload", payloadFile, "Container file instead of the built-in one");
    std::optional<int> mapTrack;
    auto* map = payload->add_subcommand("map", "Draw the courses from above as PNG pictures");
    map->add_option("--payload", payloadFile, "Container file instead of the built-in one");
    map->add_option("--track", mapTrack, "Only this track (1 to 24)")->check(CLI::Range(1, 24));
    map->add_option("OUT", dir,
                    "Folder for 01.png .. 24.png and overview.png; with --track, a PNG file "
                    "or a folder")
        ->required();
    std::string image;
    auto* fromImage = payload->add_subcommand(
        "from-image", "Write an image's 24 tracks as a pack source that payload build takes");
    fromImage->add_option("IMAGE", image, "Image of T-Flux X, patched or not")->required();
    fromImage->add_option("DIR", dir, "Folder to write (new, or without a trackpack.json)")
        ->required();
    auto* build = payload->add_subcommand("build", "Build a container from a pack source folder");
    build->add_option("SOURCE", source, "Folder with trackpack.json and its courses")->required();
    build->add_option("OUT", dir, "Container file to write")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return tflux::ParseErrorExit(app, e);
    }

    Streams io{std::cout, std::cerr};
    if (*patch)
        return Patch(input, output, payloadFile, force, io);
    if (*identify)
        return Identify(input, json, io);
    if (*list)
        return PayloadList(payloadFile, json, io);
    if (*unpack)
        return PayloadUnpack(payloadFile, dir, io);
    if (*pack)
        return PayloadPack(source, dir, io);
    if (*check)
        return PayloadCheck(payloadFile, io);
    if (*map)
        return PayloadMap(payloadFile, mapTrack, dir, io);
    if (*fromImage)
        return PayloadFromImage(image, dir, io);
    if (*build)
        return PayloadBuild(source, dir, io);
    return tflux::kExitUsage;
}
