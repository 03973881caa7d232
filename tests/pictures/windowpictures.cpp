// Pictures of the window for docs/, drawn offscreen into the working directory: DejaVu Sans
// 10 pt, 12 pt and with the service boxes shown; at a Qt scale factor above 1 only the 10 pt
// window, as window-scale2.png. Run by scripts/screenshots; never installed.
#include "shownwindow.h"

#include <tuple>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const bool scaled = app.devicePixelRatio() > 1;
    for (const auto &[name, points, serviceBoxes] : {std::tuple{"window-10pt", 10, false},
                                                     {"window-12pt", 12, false},
                                                     {"window-service-boxes", 10, true}}) {
        QApplication::setFont(QFont(QStringLiteral("DejaVu Sans"), points));
        const auto window = showWindow(serviceBoxes, WindowSize::Opened);
        const QString file = scaled ? "window-scale2.png" : QString(name) + ".png";
        if (!window || !window->grab().save(file))
            qFatal("window-pictures: cannot draw %s", qPrintable(file));
        if (scaled)
            break;
    }
    return 0;
}
