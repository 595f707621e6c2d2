// tflux-krn-cli: the patch without a window, over the same engine calls the window makes.

#include <CLI/CLI.hpp>
#include <csignal>
#include <iostream>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "cli/commands.h"
#include "cli/pack_commands.h"
#include "rom/exit_status.h"

namespace {

using namespace tflux::cli;

// What the command line gives; the commands that take the same kind of argument share a field.
struct Arguments {
    std::string input;
    std::optional<std::string> output;
    std::optional<std::string> payloadFile;
    bool json = false;
    bool force = false;
    bool hashes = false;
    std::string dir;
    std::string source;
    std::string image;
    std::optional<int> mapTrack;
};

// The (sub)commands, to tell which one the command line chose.
struct Commands {
    CLI::App* patch = nullptr;
    CLI::App* identify = nullptr;
    CLI::App* list = nullptr;
    CLI::App* unpack = nullptr;
    CLI::App* pack = nullptr;
    CLI::App* check = nullptr;
    CLI::App* map = nullptr;
    CLI::App* fromImage = nullptr;
    CLI::App* build = nullptr;
};

constexpr const char* kReplaceImage =
    "Replace the output even when it is an unpatched image of T-Flux X";

void SetUpProcess() {
#ifdef SIGXFSZ
    // Past a file-size limit a write then fails with EFBIG, which the patch reports and tidies
    // up after, instead of the process dying with its unfinished file left behind.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
#ifdef __GLIBC__
    // A run lasts a moment: memory freed is kept for the next allocation instead of going back
    // to the system, which would fault every page in again for each of the 24 courses judged.
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
#endif
}

void AddImageCommands(CLI::App& app, Arguments& a, Commands& c) {
    c.patch = app.add_subcommand("patch", "Patch an image (OUTPUT defaults to INPUT with _krn)");
    c.patch->add_option("--payload", a.payloadFile,
                        "Container file to use instead of the built-in one");
    c.patch->add_option("INPUT", a.input, "Image of T-Flux X (.z64, .v64 or .n64)")->required();
    c.patch->add_option("OUTPUT", a.output, "Where to write the patched image");
    c.patch->add_flag("--force", a.force, kReplaceImage);
    c.patch->add_flag("--hashes", a.hashes,
                      "Print the patched image's CRC32, MD5 and SHA-1 after the verdict");

    c.identify = app.add_subcommand("identify", "Say whether an image can be patched");
    c.identify->add_option("INPUT", a.input, "Image to look at")->required();
    c.identify->add_flag("--json", a.json, "Print JSON");
}

void AddContainerCommands(CLI::App& payload, Arguments& a, Commands& c) {
    const char* const kOtherPayload = "Container file instead of the built-in one";
    c.list = payload.add_subcommand("list", "List tracks 1 to 24 as the patch applies them");
    c.list->add_option("--payload", a.payloadFile, kOtherPayload);
    c.list->add_flag("--json", a.json, "Print JSON");
    c.unpack = payload.add_subcommand("unpack", "Write the 25 files of the payload into DIR");
    c.unpack->add_option("--payload", a.payloadFile, kOtherPayload);
    c.unpack->add_option("DIR", a.dir, "New or empty folder to write into")->required();
    c.pack =
        payload.add_subcommand("pack", "Build a container from the files payload unpack writes");
    c.pack
        ->add_option("SOURCE_DIR", a.source,
                     "Folder with 0.dat.exe and 1.dat .. 24.dat (or 0.dat .. 24.dat by entry)")
        ->required();
    c.pack->add_option("OUTPUT", a.dir, "Container file to write")->required();
    c.pack->add_flag("--force", a.force, kReplaceImage);
    c.check = payload.add_subcommand("check", "Check the 24 courses against the game's rules");
    c.check->add_option("--payload", a.payloadFile, kOtherPayload);
}

void AddPackCommands(CLI::App& payload, Arguments& a, Commands& c) {
#ifdef TFLUX_COURSE_MAPS
    // A build without the map library offers no maps rather than a command that fails.
    c.map = payload.add_subcommand("map", "Draw the courses from above as PNG pictures");
    c.map->add_option("--payload", a.payloadFile, "Container file instead of the built-in one");
    c.map->add_option("--track", a.mapTrack, "Only this track (1 to 24)")->check(CLI::Range(1, 24));
    c.map
        ->add_option("OUT", a.dir,
                     "New or empty folder for 01.png .. 24.png and overview.png; with --track, "
                     "a PNG file or a folder")
        ->required();
#endif
    c.fromImage = payload.add_subcommand(
        "from-image", "Write an image's 24 tracks as a pack source that payload build takes");
    c.fromImage->add_option("IMAGE", a.image, "Image of T-Flux X, patched or not")->required();
    c.fromImage->add_option("DIR", a.dir, "New or empty folder to write")->required();
    c.build = payload.add_subcommand("build", "Build a container from a pack source folder");
    c.build->add_option("SOURCE", a.source, "Folder with trackpack.json and its courses")
        ->required();
    c.build->add_option("OUT", a.dir, "Container file to write")->required();
    c.build->add_flag("--force", a.force, kReplaceImage);
}

int Run(const Commands& c, const Arguments& a, Streams io) {
    if (*c.patch)
        return Patch(a.input, a.output, a.payloadFile, a.force, a.hashes, io);
    if (*c.identify)
        return Identify(a.input, a.json, io);
    if (*c.list)
        return PayloadList(a.payloadFile, a.json, io);
    if (*c.unpack)
        return PayloadUnpack(a.payloadFile, a.dir, io);
    if (*c.pack)
        return PayloadPack(a.source, a.dir, a.force, io);
    if (*c.check)
        return PayloadCheck(a.payloadFile, io);
#ifdef TFLUX_COURSE_MAPS
    if (*c.map)
        return PayloadMap(a.payloadFile, a.mapTrack, a.dir, io);
#endif
    if (*c.fromImage)
        return PayloadFromImage(a.image, a.dir, io);
    if (*c.build)
        return PayloadBuild(a.source, a.dir, a.force, io);
    return tflux::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    SetUpProcess();
    const tflux::Utf8Console console;
    CLI::App app{"Turns an image of T-Flux X into the T-Flux KRN track-pack edition.",
                 "tflux-krn-cli"};
    // A path that starts with a slash, which Windows takes too, is a path, not an option; the
    // subcommands inherit this.
    app.allow_windows_style_options(false);
    app.set_version_flag("--version", std::string("tflux-krn-cli ") + TFLUX_VERSION);
    app.require_subcommand(1);
    Arguments arguments;
    Commands commands;
    AddImageCommands(app, arguments, commands);
    CLI::App* payload = app.add_subcommand("payload", "Look into the track payload");
    payload->require_subcommand(1);
    AddContainerCommands(*payload, arguments, commands);
    AddPackCommands(*payload, arguments, commands);
    try {
        tflux::ParseCommandLine(app, argc, argv);
    } catch (const CLI::ParseError& e) {
        return tflux::ParseErrorExit(app, e);
    }
    return Run(commands, arguments, Streams{std::cout, std::cerr});
}
