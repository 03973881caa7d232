#ifndef SHOWNWINDOW_H
#define SHOWNWINDOW_H

#include "mainwindow.h"

#include <memory>

enum class WindowSize { Opened, Hint, Smallest };

// A main window on screen (offscreen in tests), with the hidden service boxes shown when asked;
// Opened grows to the size hint if need be. Null when it never got exposed.
std::unique_ptr<MainWindow> showWindow(bool serviceBoxes, WindowSize size = WindowSize::Hint);

#endif // SHOWNWINDOW_H
