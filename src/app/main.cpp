#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // Qt 5 draws at one pixel per point on high-density screens unless asked before the
    // application object exists.
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QApplication app(argc, argv);
    MainWindow window;
    window.show();
    return app.exec();
}
