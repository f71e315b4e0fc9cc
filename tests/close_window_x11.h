#pragma once

#include <QByteArray>
#include <QString>

// Asks the top-level window titled `title` on the X display `display` to close, the way a
// window manager does when the operator clicks the window's close button: a
// WM_DELETE_WINDOW message. False when the display cannot be opened or has no such window
// (yet); the caller may try again.
bool close_window_x11(const QByteArray &display, const QString &title);

// True once the X server at `display` accepts a client: a server may name its display a
// moment before a client can connect.
bool display_accepts(const QByteArray &display);
