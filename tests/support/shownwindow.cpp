#include "shownwindow.h"

#include <QtTest>
#include <QtWidgets>

std::unique_ptr<MainWindow> showWindow(bool serviceBoxes, WindowSize size)
{
    auto window = std::make_unique<MainWindow>();
    for (QGroupBox *box : window->findChildren<QGroupBox *>())
        box->setVisible(box->isVisibleTo(window.get()) || serviceBoxes);
    // Boxes shown in a window not shown yet leave the layouts' cached sizes behind.
    window->centralWidget()->layout()->activate();
    const QSize hint = window->sizeHint();
    window->resize(size == WindowSize::Smallest ? window->minimumSize()
                   : size == WindowSize::Hint   ? hint
                                                : window->size().expandedTo(hint));
    window->show();
    return QTest::qWaitForWindowExposed(window.get()) ? std::move(window) : nullptr;
}
