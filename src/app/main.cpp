#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // Without these Qt 5 lays the window out in device pixels: tiny on a high-density screen,
    // with blurry icons. They only take effect before the application object exists; Qt 6
    // always scales.
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
#endif
    QApplication app(argc, argv);
    MainWindow window;
    window.show();
    return app.exec();
}
