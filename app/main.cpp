#include <QApplication>
#include <QStyleFactory>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "app/Form1.h"

int main(int argc, char* argv[]) {
#ifdef SIGXFSZ
    // A write past a file-size limit fails the patch with its cause instead of ending the window.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    // Answered before the window system is reached, so that it works without a display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("tflux-krn %s\n", TFLUX_VERSION);
            return 0;
        }
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tflux-krn"));
    QApplication::setApplicationVersion(QStringLiteral(TFLUX_VERSION));
    // The window is laid out to the pixel; one style everywhere keeps it looking as drawn.
    if (QStyle* style = QStyleFactory::create(QStringLiteral("Fusion"))) {
        QApplication::setStyle(style);
    }
    Form1 form;
    QApplication::setWindowIcon(form.windowIcon());
    form.show();
    return QApplication::exec();
}
