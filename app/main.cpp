#include <QApplication>
#include <QStyleFactory>

#include "app/Form1.h"

int main(int argc, char* argv[]) {
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
