// Pictures of the window for docs/, service boxes shown on request: a test-only program, never
// installed, so the tool itself keeps no option of its own.
//     talvik-window-shot OUT.png FAMILY POINT_SIZE [--service-boxes]
#include "mainwindow.h"

#include <QtWidgets>

int main(int argc, char *argv[])
{
    // As the tool's main does, so QT_SCALE_FACTOR pictures show what a high-density screen gets.
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QApplication app(argc, argv);
    QStringList args = QApplication::arguments();
    const bool serviceBoxes = args.removeAll(QStringLiteral("--service-boxes")) > 0;
    if (args.size() != 4) {
        qCritical("usage: talvik-window-shot OUT.png FAMILY POINT_SIZE [--service-boxes]");
        return 2;
    }
    const QFont font(args[2], args[3].toInt());
    if (QFontInfo(font).family() != font.family()) {
        qCritical("font %s is not installed", qPrintable(font.family()));
        return 1;
    }
    QApplication::setFont(font);

    MainWindow window;
    for (QGroupBox *box : window.findChildren<QGroupBox *>())
        box->setVisible(box->isVisibleTo(&window) || serviceBoxes);
    window.centralWidget()->layout()->activate();
    window.resize(window.size().expandedTo(window.sizeHint()));
    window.show();
    return window.grab().save(args[1]) ? 0 : 1;
}
