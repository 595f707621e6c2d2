#include "app/qt_options.h"

#include <algorithm>
#include <span>
#include <string_view>

#include "rom/exit_status.h"

namespace {

// QGuiApplication's and QApplication's options, and those the X11 platform reads.
constexpr std::string_view kValueAfter[] = {"platform",
                                            "platformpluginpath",
                                            "platformtheme",
                                            "plugin",
                                            "qwindowgeometry",
                                            "qwindowicon",
                                            "qwindowtitle",
                                            "session",
                                            "display",
                                            "geometry",
                                            "title",
                                            "icon",
                                            "name",
                                            "visual",
                                            "style",
                                            "stylesheet"};
constexpr std::string_view kValueJoined[] = {"style", "stylesheet", "qmljsdebugger", "dialogs",
                                             "fontengine"};
constexpr std::string_view kFlags[] = {"reverse", "widgetcount", "nograb",
                                       "dograb",  "sync",        "testability"};

bool IsOneOf(std::span<const std::string_view> names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

QtOptionSplit SplitQtOptions(int argc, const char* const* argv) {
    QtOptionSplit split;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        // Past "--" every word is an argument, whatever it looks like.
        if (arg == "--") {
            split.rest.insert(split.rest.end(), argv + i, argv + argc);
            break;
        }
        std::string_view name = arg;
        if (name.starts_with("--")) {
            name.remove_prefix(2);
        } else if (name.starts_with("-")) {
            name.remove_prefix(1);
        } else {
            split.rest.emplace_back(arg);
            continue;
        }
        const std::size_t equals = name.find('=');
        if (equals != std::string_view::npos) {
            if (!IsOneOf(kValueJoined, name.substr(0, equals))) {
                split.rest.emplace_back(arg);
            }
        } else if (IsOneOf(kValueAfter, name) && i + 1 < argc) {
            split.namesPlatform = split.namesPlatform || name == "platform";
            ++i;  // the value, which Qt takes with the name
        } else if (!IsOneOf(kFlags, name)) {
            split.rest.emplace_back(arg);
        }
    }
    return split;
}

std::optional<int> ParseBesideQt(CLI::App& cli, int argc, const char* const* argv,
                                 bool* namesPlatform) {
    QtOptionSplit split = SplitQtOptions(argc, argv);
    if (namesPlatform != nullptr) {
        *namesPlatform = split.namesPlatform;
    }
    // CLI11 takes a vector of arguments last first.
    std::reverse(split.rest.begin(), split.rest.end());
    try {
        cli.parse(split.rest);
    } catch (const CLI::ParseError& e) {
        return tflux::ParseErrorExit(cli, e);
    }
    return std::nullopt;
}

void AddWindowOptions(CLI::App& cli, WindowStart& start) {
    cli.add_option("--pack", start.pack, "the track pack the patch applies");
    cli.add_flag("--tracks", start.tracks, "show the track view beside the window");
    cli.add_option("image", start.image, "the image to patch");
}
