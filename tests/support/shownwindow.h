#ifndef SHOWNWINDOW_H
#define SHOWNWINDOW_H

#include "mainwindow.h"

#include <QtTest>
#include <QtWidgets>

#include <memory>

enum class WindowSize { Opened, Hint, Smallest };

// A main window on screen (offscreen in tests), with the hidden service boxes shown when asked;
// Opened grows to the size hint if need be. Null when it never got exposed.
inline std::unique_ptr<MainWindow> showWindow(bool serviceBoxes, WindowSize size = WindowSize::Hint)
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

#endif // SHOWNWINDOW_H
