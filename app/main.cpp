#include <QApplication>
#include <QStyleFactory>
#include <csignal>

#include "app/Form1.h"

int main(int argc, char* argv[]) {
#ifdef SIGXFSZ
    // A write past a file-size limit fails the patch with its cause instead of ending the window.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tflux-krn"));
    // The window is laid out to the pixel; one style everywhere keeps it looking as drawn.
    if (QStyle* style = QStyleFactory::create(QStringLiteral("Fusion"))) {
        QApplication::setStyle(style);
    }
    Form1 form;
    QApplication::setWindowIcon(form.windowIcon());
    form.show();
    return QApplication::exec();
}
