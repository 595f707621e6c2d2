#include <CLI/CLI.hpp>
#include <QApplication>
#include <QStyleFactory>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/Form1.h"
#include "app/qt_options.h"
#include "rom/exit_status.h"

namespace {

constexpr char kNeedsDisplay[] =
    "tflux-krn needs a display to open its window; tflux-krn-cli does the same patch without "
    "one (tflux-krn-cli patch INPUT [OUTPUT]).\n";

constexpr char kHelp[] =
    "Usage: tflux-krn [--help] [--version] [--tracks] [--pack PATH] [IMAGE]\n"
    "\n"
    "Opens the window that turns an image of T-Flux X into the T-Flux KRN track-pack edition:\n"
    "choose the image with the first \"...\" button, drop it on the window or name it here,\n"
    "then press Patch.\n"
    "Without a display, tflux-krn-cli does the same patch: tflux-krn-cli patch INPUT [OUTPUT].\n"
    "\n"
    "  IMAGE        the image to patch, chosen as the input\n"
    "  --pack PATH  patch with this track pack instead of the built-in one: a pack source\n"
    "               folder (trackpack.json and its courses) or a container file\n"
    "  --tracks     show the track view too: the pack's 24 tracks, their maps and the\n"
    "               choice of pack (the \"24\" button or Ctrl+T opens it later)\n"
    "  --help       show this text and exit\n"
    "  --version    show the version and exit\n"
    "\n"
    "Qt's own options (-platform NAME, -reverse, ...) are passed on to Qt.\n";

bool IsSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// Where Qt would otherwise stop the program with its plugin list and an abort.
bool NoDisplay() {
#if defined(_WIN32) || defined(__APPLE__)
    return false;
#else
    return !IsSet("QT_QPA_PLATFORM") && !IsSet("DISPLAY") && !IsSet("WAYLAND_DISPLAY");
#endif
}

// A display that is named but cannot be reached ends Qt's start with a fatal message.
void StartupMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtFatalMsg) {
        std::fputs(kNeedsDisplay, stderr);
        std::fprintf(stderr, "(%s)\n", qPrintable(message));
        std::_Exit(1);
    }
    std::fprintf(stderr, "%s\n", qPrintable(message));
}

}  // namespace

int main(int argc, char* argv[]) {
#ifdef SIGXFSZ
    // A write past a file-size limit fails the patch with its cause instead of ending the window.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    // Parsed before the window system is reached, so that --help, --version and a mistyped
    // option are answered without a display.
    CLI::App cli{"", "tflux-krn"};
    cli.set_version_flag("--version", std::string("tflux-krn ") + TFLUX_VERSION);
    WindowStart start;
    AddWindowOptions(cli, start);
    // A few options and a paragraph read better as written than as CLI11 lays them out.
    cli.formatter_fn(
        [](const CLI::App*, std::string, CLI::AppFormatMode) { return std::string(kHelp); });
    bool namesPlatform = false;
    if (const std::optional<int> status = ParseBesideQt(cli, argc, argv, &namesPlatform)) {
        return *status;
    }
    if (!namesPlatform && NoDisplay()) {
        std::fputs(kNeedsDisplay, stderr);
        return 1;
    }
    const QtMessageHandler previous = qInstallMessageHandler(StartupMessages);
    QApplication app(argc, argv);
    qInstallMessageHandler(previous);
    QApplication::setApplicationName(QStringLiteral("tflux-krn"));
    QApplication::setApplicationVersion(QStringLiteral(TFLUX_VERSION));
    // The window is laid out to the pixel; one style everywhere keeps it looking as drawn.
    if (QStyle* style = QStyleFactory::create(QStringLiteral("Fusion"))) {
        QApplication::setStyle(style);
    }
    Form1 form;
    QApplication::setWindowIcon(form.windowIcon());
    form.show();
    form.Open(start);
    return QApplication::exec();
}
