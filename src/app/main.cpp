#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // Without these Qt 5 lays the window out in device pixels: tiny on a high-density screen,
    // with blurry icons. They only take effect before the application object exists.
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QApplication app(argc, argv);
    MainWindow window;
    window.show();
    return app.exec();
}
